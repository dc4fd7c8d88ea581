// Many jobs in one window against updater-sim --repeat, which hangs up after each
// job as an inverter restarts: every DownLoad opens the link again. Every tenth
// job sends the LCD ARM image, the others the DSP file. Prints the resident memory
// and the open descriptors after the first job and every hundredth; fails when a
// job fails, or memory grows by more than 1 MB or a descriptor stays open (/proc).
//   window_soak [jobs]          (default 200; offscreen: QT_QPA_PLATFORM=offscreen)
#include "ShellRig.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>

#include <cstdio>

namespace {

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLong();
    }
    return -1;
}

long openDescriptors()
{
    return long(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System).size());
}

// Runs the event loop until pred holds, waking only for events: no sleep of its own
// stands between a reply and the next unit.
bool waitUntil(const std::function<bool()> &pred, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!pred() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return pred();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const int jobs = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 200;
    QTemporaryDir dir;
    const QString hex = shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(100));
    const QString bin = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(3000));
    shelltest::SimProcess sim({"--repeat", "--restart-ms", "50"});
    shelltest::WindowRig rig;
    if (!sim.started() || !rig.setPortTcp(sim.port()))
        return 1;
    std::printf("%6s %10s %12s\n", "job", "RSS (kB)", "descriptors");
    long firstKb = 0, firstFds = 0;
    int failed = 0;
    QElapsedTimer clock;
    clock.start();
    for (int job = 1; job <= jobs; ++job) {
        // The file is chosen as a dropped file is, through the type dialog: Qt's own
        // file dialog keeps about 18 kB each time it is shown, in any Qt program.
        const bool arm = job % 10 == 0;
        if (job == 1 || arm || job % 10 == 1) {
            rig.modals.expect([arm](QWidget *w) {
                w->findChild<QAbstractButton *>(arm ? "armRadio" : "dspRadio")->click();
                w->findChild<QAbstractButton *>("okButton")->click();
            });
            rig.view->openDroppedFile(arm ? bin : hex);
        }
        QString said;
        rig.modals.expect([&said](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            said = box ? box->text() : w->windowTitle();
            QMetaObject::invokeMethod(w, box ? "accept" : "reject");
        });
        rig.command(32773);
        const bool ended =
            waitUntil([&] { return !said.isEmpty() && rig.commandsEnabled(true); }, 30000);
        // The inverter restarts: the next DownLoad opens the link again.
        const bool hungUp = waitUntil([&] { return !rig.view->linkOpen(); }, 5000);
        if (!ended || !hungUp || said != QStringLiteral("Download file success!")) {
            ++failed;
            std::fprintf(stderr, "job %d: %s\n", job, ended ? qPrintable(said) : "no end in 30 s");
        }
        if (job == 1 || job % 100 == 0 || job == jobs) {
            if (job == 1) {
                firstKb = residentKb();
                firstFds = openDescriptors();
            }
            std::printf("%6d %10ld %12ld\n", job, residentKb(), openDescriptors());
            std::fflush(stdout);
        }
    }
    const long grownKb = residentKb() - firstKb;
    const long grownFds = openDescriptors() - firstFds;
    const int passed = int(sim.output().count(QStringLiteral("result: PASS")));
    std::printf("%d jobs in %.1f s, %d failed, %d passed by updater-sim; since job 1 resident "
                "memory %+ld kB, descriptors %+ld\n",
                jobs, clock.elapsed() / 1000.0, failed, passed, grownKb, grownFds);
    rig.frame->close();
    return failed == 0 && passed == jobs && grownKb <= 1024 && grownFds == 0 ? 0 : 1;
}
