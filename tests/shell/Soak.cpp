// Many jobs in one window against updater-sim --repeat, which hangs up after each
// job as an inverter restarts: every DownLoad opens the link again. Prints the
// resident memory and the open descriptors after the first job and then every
// hundredth, and fails when a job fails or either grows (Linux, /proc).
//   updater_soak [jobs]          (default 200; offscreen: QT_QPA_PLATFORM=offscreen)
#include "ShellRig.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

namespace {

int kReportEvery = 100;

// Resident memory in kB, from /proc/self/status.
long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLong();
    }
    return -1;
}

qsizetype openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
}

// Runs the event loop until pred holds, waking only for events: no sleep of its own
// stands between a reply and the next unit.
bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const int jobs = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 200;
    if (argc > 2)
        kReportEvery = QString::fromLocal8Bit(argv[2]).toInt();
    if (jobs < 1) {
        std::fprintf(stderr, "usage: updater_soak [jobs]\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString hex = shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(100));
    const QString bin = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(3000));
    shelltest::SimProcess sim({"--repeat", "--restart-ms", "50"});
    if (!sim.started())
        return 1;

    shelltest::WindowRig rig;
    if (!rig.setPortTcp(sim.port())) {
        std::fprintf(stderr, "updater_soak: no connection to updater-sim\n");
        return 1;
    }
    std::printf("%6s %10s %12s\n", "job", "RSS (kB)", "descriptors");
    long firstKb = 0;
    qsizetype firstFds = 0;
    int failed = 0;
    QElapsedTimer clock;
    clock.start();
    for (int job = 1; job <= jobs; ++job) {
        // Every tenth job sends the LCD ARM image, the others the DSP file. The file
        // is chosen as a dropped file is, through the type dialog: Qt's own file
        // dialog keeps about 18 kB for each time it is shown, in any Qt program.
        const bool arm = job % 10 == 0;
        if (job == 1 || arm || job % 10 == 1) {
            rig.modals.expect([arm](QWidget *w) {
                w->findChild<QAbstractButton *>(arm ? QStringLiteral("armRadio")
                                                    : QStringLiteral("dspRadio"))
                    ->click();
                w->findChild<QAbstractButton *>(QStringLiteral("okButton"))->click();
            });
            rig.view->openDroppedFile(arm ? bin : hex);
        }
        QString said;
        rig.modals.expect([&said](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            said = box ? box->text() : w->windowTitle();
            if (box && box->button(QMessageBox::Ok))
                box->button(QMessageBox::Ok)->click();
            else
                QMetaObject::invokeMethod(w, "reject");
        });
        rig.command(32773);
        const bool ended =
            waitUntil([&] { return !said.isEmpty() && rig.commandsEnabled(true); }, 30000);
        // The inverter restarts: the next DownLoad opens the link again.
        const bool hungUp = waitUntil([&] { return !rig.view->link().linkOpen(); }, 5000);
        if (!ended || !hungUp || said != QStringLiteral("Download file success!")) {
            ++failed;
            std::fprintf(stderr, "job %d: %s\n", job,
                         ended ? qPrintable(said) : "did not end within 30 s");
        }
        if (job == 1 || job % kReportEvery == 0 || job == jobs) {
            const long kb = residentKb();
            const qsizetype fds = openDescriptors();
            if (job == 1) {
                firstKb = kb;
                firstFds = fds;
            }
            std::printf("%6d %10ld %12lld\n", job, kb, static_cast<long long>(fds));
            std::fflush(stdout);
        }
    }
    const long grownKb = residentKb() - firstKb;
    const qsizetype grownFds = openDescriptors() - firstFds;
    const int passed = int(sim.output().count(QStringLiteral("result: PASS")));
    std::printf("%d jobs in %.1f s, %d failed; updater-sim: %d passed; resident memory %+ld kB "
                "and descriptors %+lld since job 1\n",
                jobs, clock.elapsed() / 1000.0, failed, passed, grownKb,
                static_cast<long long>(grownFds));
    rig.frame->close();
    const bool flat = grownKb <= 1024 && grownFds == 0;
    return failed == 0 && passed == jobs && flat ? 0 : 1;
}
