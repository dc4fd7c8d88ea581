// Whole updates driven from the window's own commands over TCP on 127.0.0.1
// against the simulated inverter, with the message boxes answered as a user would.
#include "ShellRig.h"

#include "FileDownCom.h"
#include "SimPeers.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

#include <gtest/gtest.h>

using shelltest::ChildProcess;
using shelltest::SeenBox;
using shelltest::WindowRig;
using testsupport::PeerOptions;
using testsupport::TcpSimDevice;

namespace {

// Everything the window showed while one job ran.
struct JobRecord
{
    bool disabledWhileRunning = false;
    bool aboutEnabledWhileRunning = false;
    bool barShownWhileRunning = false;
    int highestBarValue = -1;
    bool heldSafely = false; // held open until holdBox, with the socket beneath it still there
    SeenBox box;
};

// Gives DownLoad, answers the ending's box and waits until the commands are
// enabled again. With holdBox, the box stays open until that holds (the device hangs up).
JobRecord runJob(WindowRig &rig, int timeoutMs, const std::function<bool()> &holdBox = {})
{
    JobRecord record;
    QProgressBar *bar = rig.view->progressBar();
    auto watch = QObject::connect(bar, &QProgressBar::valueChanged, [&](int value) {
        record.highestBarValue = std::max(record.highestBarValue, value);
    });
    bool boxSeen = false;
    rig.modals.expect([&](QWidget *w) {
        record.disabledWhileRunning = rig.commandsEnabled(false);
        record.aboutEnabledWhileRunning = rig.frame->menuAction(57664)->isEnabled();
        record.barShownWhileRunning = bar->isVisible();
        record.box = shelltest::readBox(w);
        const bool linkBefore = rig.view->linkOpen();
        record.heldSafely =
            holdBox && WindowRig::waitFor(holdBox, 3000) && rig.view->linkOpen() == linkBefore;
        boxSeen = true;
        qobject_cast<QMessageBox *>(w)->button(QMessageBox::Ok)->click();
    });
    rig.command(32773);
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.commandsEnabled(false); }, 2000));
    EXPECT_TRUE(
        WindowRig::waitFor([&] { return boxSeen && rig.commandsEnabled(true); }, timeoutMs));
    QObject::disconnect(watch);
    return record;
}

// An ARM firmware file chosen and a TCP link to a device that never answers.
struct SilentArmSetup
{
    explicit SilentArmSetup(WindowRig &rig, const QByteArray &image = shelltest::binaryImage(3000))
    {
        linked = rig.setPortTcp(device.port());
        rig.openFile(1, shelltest::writeFile(dir.path(), "lcd.bin", image));
    }
    QTemporaryDir dir;
    TcpSimDevice device{PeerOptions::silent()};
    bool linked = false;
};

} // namespace

TEST(UpdateFromWindow, DspThenArmUpdateRunToSuccessOverTcp)
{
    QTemporaryDir dir;
    const QByteArray hex = shelltest::hexImage(120);
    const QByteArray image = shelltest::binaryImage(5000);
    const QString hexPath = shelltest::writeFile(dir.path(), "dsp.hex", hex);
    const QString binPath = shelltest::writeFile(dir.path(), "lcd.bin", image);
    WindowRig rig;

    // The device hangs up while the success box is open: not an error, and no crash.
    const auto hungUp = [&] { return !rig.view->linkOpen(); };
    TcpSimDevice dsp;
    ASSERT_TRUE(rig.setPortTcp(dsp.port()));
    rig.openFile(0, hexPath);
    const JobRecord first = runJob(rig, 20000, hungUp);
    EXPECT_TRUE(first.heldSafely);
    EXPECT_EQ(rig.frame->statusText(), "TCP 127.0.0.1:" + QString::number(dsp.port()) + " closed");
    EXPECT_TRUE(first.disabledWhileRunning);
    EXPECT_TRUE(first.barShownWhileRunning);
    EXPECT_GT(first.highestBarValue, 0);
    EXPECT_EQ(first.box.text, QStringLiteral("Download file success!"));
    EXPECT_EQ(first.box.caption, QStringLiteral("Updater V10.14"));
    EXPECT_EQ(first.box.icon, QMessageBox::Information);
    EXPECT_EQ(first.box.parent, rig.frame);
    EXPECT_TRUE(dsp.finished());
    EXPECT_TRUE(dsp.verdict().passed()) << updater::sim::formatVerdict(dsp.verdict());
    const auto records = dsp.verdict().image; // the records as the device took them
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(records.data()), qsizetype(records.size())),
              hex);
    EXPECT_EQ(rig.view->lineText(1003), QStringLiteral("Erase Done."));
    EXPECT_EQ(rig.view->lineText(1004), QStringLiteral("Programing Done."));
    EXPECT_FALSE(rig.view->progressBar()->isVisible());

    TcpSimDevice arm;
    ASSERT_TRUE(rig.setPortTcp(arm.port()));
    EXPECT_TRUE(WindowRig::waitFor([&] {
        return rig.frame->statusText() ==
               "TCP 127.0.0.1:" + QString::number(arm.port()) + " connected";
    }));
    rig.openFile(1, binPath);
    const JobRecord second = runJob(rig, 20000, hungUp);
    EXPECT_TRUE(second.heldSafely);
    EXPECT_TRUE(second.disabledWhileRunning);
    EXPECT_EQ(second.box.text, QStringLiteral("Download file success!"));
    EXPECT_TRUE(arm.finished());
    EXPECT_TRUE(arm.verdict().passed()) << updater::sim::formatVerdict(arm.verdict());
    const auto blocks = arm.verdict().image; // the data bytes of blocks 1 to 5
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(blocks.data()), qsizetype(blocks.size())),
              image + QByteArray(5 * 1024 - 5000, '\x1A'));
    EXPECT_EQ(rig.view->lineText(1003), QStringLiteral("Erase Done."));
    EXPECT_EQ(rig.view->lineText(1004), QStringLiteral("Programing Done."));
    EXPECT_FALSE(rig.view->progressBar()->isVisible());
    EXPECT_TRUE(rig.modals.unexpected().isEmpty())
        << rig.modals.unexpected().join('\n').toStdString();
}

TEST(UpdateFromWindow, SilentDeviceEndsTheArmJobWithConnectionFailedAndTimeOut)
{
    WindowRig rig;
    SilentArmSetup setup(rig);
    ASSERT_TRUE(setup.linked);
    const JobRecord record = runJob(rig, 15000);
    EXPECT_EQ(record.box.text, QString::fromUtf8("time out\xEF\xBC\x81"));
    EXPECT_EQ(record.box.caption, QStringLiteral("Updater V10.14"));
    EXPECT_EQ(record.box.parent, rig.frame);
    // Room for the whole caption beside the title bar's icon and buttons.
    EXPECT_GE(record.box.width, QFontMetrics(QFont()).horizontalAdvance(record.box.caption) + 100);
    EXPECT_TRUE(record.disabledWhileRunning);
    EXPECT_TRUE(record.aboutEnabledWhileRunning);
    EXPECT_EQ(rig.view->lineText(1003), QStringLiteral("Connection failed"));
    // After a time-out the bar stays where it was, and DownLoad can be given again.
    EXPECT_TRUE(rig.view->progressBar()->isVisible());
    EXPECT_EQ(rig.view->jobView().fields.jobState, -1);
    EXPECT_EQ(setup.device.received().left(3), QByteArray("\xFE\xFD\xFC", 3));
}

TEST(UpdateFromWindow, RefusedFirmwareFileHidesTheProgressBarAgain)
{
    // An empty image, and a DSP HEX text whose second line is damaged, as an image.
    QByteArray hex = shelltest::hexImage(20);
    hex[hex.indexOf("\r\n", hex.indexOf("\r\n") + 2) - 1] ^= 1;
    for (const auto &[image, reason] :
         {std::pair{QByteArray(), "the file is empty"},
          {hex, "the file is an Intel HEX file for DSP Firmware, not an LCD ARM Firmware image"}}) {
        WindowRig rig;
        SilentArmSetup setup(rig, image);
        EXPECT_EQ(runJob(rig, 5000).box.text,
                  "Firmware file refused!\n" + setup.dir.path() + "/lcd.bin: " + reason);
        EXPECT_FALSE(rig.view->progressBar()->isVisible());
        EXPECT_EQ(setup.device.received(), QByteArray());
    }
}

TEST(UpdateFromWindow, DownLoadWithALinkButNoFileAsksForTheFile)
{
    WindowRig rig;
    TcpSimDevice device{PeerOptions::silent()};
    ASSERT_TRUE(rig.setPortTcp(device.port()));
    SeenBox box;
    rig.modals.expectBox(&box);
    rig.command(32773);
    EXPECT_EQ(box.text, QStringLiteral("Please open file first!"));
    EXPECT_TRUE(rig.commandsEnabled(true));
}

namespace {

// A window whose Set Port chose updater-sim, started with args: over TCP, or as
// COM com over its pseudo-terminal; with a firmware file of type open (none when
// file is empty).
struct SimWindow
{
    SimWindow(const QStringList &args, int type, const QByteArray &file, unsigned com = 0)
        : sim(com != 0 ? args + QStringList{"--pty"} : args)
    {
        if (com != 0)
            qputenv(("UPDATER_COM" + QByteArray::number(com)).constData(),
                    sim.device().toLocal8Bit());
        linked = sim.started() && (com != 0 ? rig.setPortSerial(com) : rig.setPortTcp(sim.port()));
        path = shelltest::writeFile(dir.path(), type == 1 ? "lcd.bin" : "dsp.hex", file);
        if (!file.isEmpty())
            rig.openFile(type, path);
    }
    QTemporaryDir dir;
    shelltest::SimProcess sim;
    WindowRig rig;
    QString path;
    bool linked = false;
};

// The texts the status bar and the three lines show, each once, in order.
struct SeenTexts
{
    explicit SeenTexts(WindowRig &rig)
    {
        QObject::connect(&timer, &QTimer::timeout, [this, &rig] {
            for (const QString &text : {rig.frame->statusText(), rig.view->lineText(1002),
                                        rig.view->lineText(1003), rig.view->lineText(1004)}) {
                if (!text.trimmed().isEmpty() && !texts.contains(text))
                    texts << text;
            }
        });
        timer.start(20);
    }
    QTimer timer;
    QStringList texts;
};

const QString kSuccess = QStringLiteral("Download file success!");
const QString kTimeOut = QString::fromUtf8("time out\xEF\xBC\x81");

} // namespace

// The inverter closes the link as it restarts after each update: the next
// DownLoad opens the same link again and goes on; only when that fails, it says why.
TEST(Reconnect, DownLoadConnectsAgainToTheAddressSetPortChoseAfterTheInverterHungUp)
{
    SimWindow w({"--repeat", "--restart-ms", "100"}, 0, shelltest::hexImage(40));
    ASSERT_TRUE(w.linked);
    for (int job = 1; job <= 3; ++job) {
        EXPECT_EQ(runJob(w.rig, 20000).box.text, kSuccess) << job;
        EXPECT_TRUE(WindowRig::waitFor([&] { return !w.rig.view->linkOpen(); }, 5000));
    }
    EXPECT_EQ(w.sim.output().count("result: PASS"), 3) << w.sim.output().toStdString();
    w.sim.stop();
    SeenBox box;
    w.rig.modals.expectBox(&box);
    w.rig.command(32773);
    EXPECT_TRUE(WindowRig::waitFor([&] { return w.rig.commandsEnabled(true); }, 12000));
    EXPECT_EQ(box.text, "Cannot connect to 127.0.0.1 port " + QString::number(w.sim.port()) +
                            ": Connection refused");
    EXPECT_EQ(w.rig.view->jobView().fields.jobState, -1);
}

TEST(Reconnect, DownLoadOpensTheComPortAgainAfterTheInverterHungUpOrTheAdapterWasPluggedInAgain)
{
    SimWindow w({"--restart-ms", "100"}, 1, shelltest::binaryImage(2000), 45);
    ASSERT_TRUE(w.linked);
    EXPECT_EQ(runJob(w.rig, 20000).box.text, kSuccess);
    EXPECT_TRUE(WindowRig::waitFor([&] { return !w.rig.view->linkOpen(); }, 5000));
    // The simulator hung up its pseudo-terminal and went away: the next inverter
    // comes under the same COM number, as an adapter plugged in again.
    shelltest::SimProcess next({"--pty", "--restart-ms", "100"});
    qputenv("UPDATER_COM45", next.device().toLocal8Bit());
    EXPECT_EQ(runJob(w.rig, 20000).box.text, kSuccess);
    EXPECT_TRUE(WindowRig::waitFor([&] { return next.output().contains("result: PASS"); }));
    EXPECT_TRUE(WindowRig::waitFor([&] { return !w.rig.view->linkOpen(); }, 5000));
    next.stop();
    SeenBox box;
    w.rig.modals.expectBox(&box);
    w.rig.command(32773);
    EXPECT_TRUE(WindowRig::waitFor([&] { return !box.text.isEmpty(); }, 3000));
    EXPECT_EQ(box.text, "COM45 could not be opened: no such port (" + next.device() + ")");
    EXPECT_EQ(box.caption, QStringLiteral("Application Error"));
    EXPECT_EQ(w.rig.frame->statusText(), box.text);
}

// Set Port chose a link that did not open (the WiFi module not yet up, the adapter
// not yet plugged in): DownLoad opens it again, and says why only if that fails.
TEST(Reconnect, ALinkThatDidNotOpenAtSetPortIsOpenedAgainByDownLoad)
{
    QTcpServer probe; // a port of 127.0.0.1 where nothing listens yet
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    const QString refused =
        "Cannot connect to 127.0.0.1 port " + QString::number(port) + ": Connection refused";
    const struct
    {
        const char *name;
        unsigned com; // 0: TCP
        bool deviceComes;
    } rows[] = {{"tcp", 0, true}, {"tcp, still refused", 0, false}, {"serial", 46, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        WindowRig rig;
        rig.openFile(1, shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(2000)));
        SeenBox box;
        if (row.com == 0) {
            EXPECT_FALSE(rig.setPortTcp(port, 3000, &box));
            EXPECT_EQ(box.text, refused);
        } else {
            qputenv("UPDATER_COM46", "/dev/no-such-port-45");
            EXPECT_FALSE(rig.setPortSerial(row.com));
        }
        std::unique_ptr<shelltest::SimProcess> sim;
        if (row.deviceComes) {
            sim = std::make_unique<shelltest::SimProcess>(
                row.com == 0 ? QStringList{"--listen", "127.0.0.1:" + QString::number(port)}
                             : QStringList{"--pty"});
            if (row.com != 0)
                qputenv("UPDATER_COM46", sim->device().toLocal8Bit());
            EXPECT_EQ(runJob(rig, 20000).box.text, kSuccess);
            EXPECT_TRUE(WindowRig::waitFor([&] { return sim->output().contains("result: PASS"); }));
        } else {
            EXPECT_EQ(runJob(rig, 20000).box.text, refused);
            EXPECT_EQ(rig.frame->statusText(), refused);
        }
        EXPECT_TRUE(rig.modals.unexpected().isEmpty());
    }
}

// A link lost during a job: the first box says where the job stood and what the
// inverter may hold; the job keeps its wait and ends with its time-out.
TEST(LinkLost, TheBoxNamesTheLinkTheRecordOrBlockAndWhatTheInverterMayHold)
{
    // DSP: unit 1 is the erase command, unit 12 record 11, after whose answer record
    // 12 of 41 goes out. ARM: wake-up, digit, header block, then unit 5 is block 2
    // of 5; block 3 may have gone out before the hang-up is seen.
    const struct
    {
        QStringList args;
        unsigned com;
        const char *where;
    } rows[] = {{{"--drop-after", "12"}, 0, "record 12 of 41"},
                {{"--drop-after", "5", "--hang-up"}, 47, "block [23] of 5"}};
    for (const auto &row : rows) {
        SimWindow w(row.args, row.com == 0 ? 0 : 1,
                    row.com == 0 ? shelltest::hexImage(40) : shelltest::binaryImage(5000), row.com);
        ASSERT_TRUE(w.linked);
        SeenTexts seen(w.rig);
        SeenBox box;
        // The box stays open while the job's wait runs out: the time-out's box
        // waits for it instead of opening on top of it.
        bool alone = false;
        w.rig.modals.expect([&](QWidget *lost) {
            box = shelltest::readBox(lost);
            w.rig.modals.keepOpen(lost);
            auto *poll = new QTimer(lost);
            QObject::connect(poll, &QTimer::timeout, lost, [&, lost, poll, after = 0]() mutable {
                const updater::JobFields job = w.rig.view->jobView().fields;
                if (job.timeoutInProgress)
                    ++after;
                const bool ended = job.jobState == -1; // its time-out came and went meanwhile
                if (!ended && after < 15 && QApplication::activeModalWidget() == lost)
                    return;
                alone = !ended && after >= 15 && QApplication::activeModalWidget() == lost;
                poll->stop();
                qobject_cast<QMessageBox *>(lost)->button(QMessageBox::Ok)->click();
            });
            poll->start(20);
        });
        EXPECT_EQ(runJob(w.rig, 15000).box.text, kTimeOut);
        EXPECT_TRUE(alone);
        // Meanwhile the status bar counts the wait, not a time left.
        EXPECT_FALSE(
            seen.texts.filter(QRegularExpression(" bytes; no answer for 3 s of 5 s$")).isEmpty())
            << seen.texts.join(" | ").toStdString();
        const QString link = row.com == 0 ? "127.0.0.1:" + QString::number(w.sim.port())
                                          : "COM47 \\(" + w.sim.device() + "\\)";
        EXPECT_TRUE(QRegularExpression("^The connection to " + link + " was lost while " +
                                       "programming \\(" + row.where + "\\)\\. The inverter may " +
                                       "be half-written: keep it powered and run the update "
                                       "again\\.$")
                        .match(box.text)
                        .hasMatch())
            << box.text.toStdString();
        EXPECT_EQ(box.caption, QStringLiteral("Application Error"));
        EXPECT_EQ(w.rig.view->lineText(1004), QStringLiteral("Program failed"));
    }
}

// While programming the status bar counts the percent, the data bytes of the
// records sent of those of the file and the time left; in the erase wait, seconds.
TEST(Progress, TheStatusBarShowsPercentBytesSentOfTheTotalAndTimeLeftOrTheSecondsWaited)
{
    SimWindow w({"--delay-ms", "5"}, 0, shelltest::hexImage(300));
    ASSERT_TRUE(w.linked);
    SeenTexts seen(w.rig);
    EXPECT_EQ(runJob(w.rig, 30000).box.text, kSuccess);
    const QRegularExpression shape(
        QStringLiteral("^(\\d+) %, ([\\d ]+) of 4 800 bytes(, \\d+:\\d\\d left)?$"));
    int matched = 0, lastPercent = -1;
    bool timeLeft = false;
    for (const QString &text : seen.texts) {
        const QRegularExpressionMatch m = shape.match(text);
        if (!m.hasMatch())
            continue;
        ++matched;
        EXPECT_GE(m.captured(1).toInt(), lastPercent) << text.toStdString();
        EXPECT_EQ(m.captured(1).toInt(), QString(m.captured(2)).remove(' ').toInt() * 100 / 4800);
        lastPercent = m.captured(1).toInt();
        timeLeft = timeLeft || !m.captured(3).isEmpty();
    }
    EXPECT_GE(matched, 3) << seen.texts.join(" | ").toStdString();
    EXPECT_TRUE(timeLeft) << seen.texts.join(" | ").toStdString();

    SimWindow silent({"--silent-from", "1"}, 0, shelltest::hexImage(10));
    ASSERT_TRUE(silent.linked);
    silent.rig.command(32773);
    for (const char *text : {"Erasing: 1 s of 20 s", "Erasing: 2 s of 20 s"})
        EXPECT_TRUE(WindowRig::waitFor(
            [&] { return silent.rig.frame->statusText() == QLatin1String(text); }, 4000))
            << text << " / " << silent.rig.frame->statusText().toStdString();
    silent.rig.modals.expect(
        [](QWidget *w) { qobject_cast<QMessageBox *>(w)->button(QMessageBox::Yes)->click(); });
    EXPECT_TRUE(silent.rig.frame->close());
}

// The mouse left on the DownLoad button: its prompt gives way to the job.
TEST(Progress, WithTheMouseOnDownLoadThePaneShowsTheJob)
{
    SimWindow w({"--delay-ms", "10"}, 0, shelltest::hexImage(100));
    ASSERT_TRUE(w.linked);
    QWidget *button = w.rig.frame->toolBar()->widgetForAction(w.rig.frame->toolAction(32773));
    QTest::mouseMove(button, button->rect().center());
    ASSERT_TRUE(WindowRig::waitFor([&] { return w.rig.frame->statusText() == "Start updating"; }));
    SeenBox box;
    w.rig.modals.expectBox(&box);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_TRUE(WindowRig::waitFor(
        [&] { return w.rig.frame->statusText().contains(QRegularExpression("^\\d+ %, ")); }, 5000))
        << w.rig.frame->statusText().toStdString();
    EXPECT_TRUE(WindowRig::waitFor([&] { return w.rig.commandsEnabled(true); }, 20000));
    EXPECT_EQ(box.text, kSuccess);
}

// After the job's last answer the line is listened to until the inverter hangs up
// or it is quiet, also while the success box is open: the pane says so and then
// shows the ending, not the last unit's wait.
TEST(Progress, BesideTheSuccessBoxThePaneShowsTheEnding)
{
    const struct
    {
        int type;
        unsigned com; // 0: TCP
    } rows[] = {{0, 0}, {1, 48}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.com);
        SimWindow w({"--stay"}, row.type,
                    row.type == 0 ? shelltest::hexImage(20) : shelltest::binaryImage(2000),
                    row.com);
        ASSERT_TRUE(w.linked);
        SeenTexts seen(w.rig);
        QString beside;
        const JobRecord job = runJob(w.rig, 20000, [&] {
            beside = w.rig.frame->statusText();
            return false; // held open 3 s
        });
        EXPECT_EQ(job.box.text, kSuccess);
        EXPECT_EQ(beside, QStringLiteral("Done: download file success"));
        // After the last answer, while the line is listened to: what it waits for.
        const qsizetype after = seen.texts.indexOf("Done: waiting for the inverter to restart");
        EXPECT_GE(after, 0) << seen.texts.join(" | ").toStdString();
        EXPECT_TRUE(seen.texts.mid(after).filter(QStringLiteral("no answer")).isEmpty())
            << seen.texts.join(" | ").toStdString();
    }
}

// Acknowledgements beyond the units sent (a device that answers twice, noise or a
// second device on the line): no success box; a stop box says why and what the
// inverter may hold. The device's own verdict and the box agree: it took every
// unit whole and sent each answer twice from the given unit on, and the box counts
// exactly those answers for those units.
TEST(Progress, MoreAnswersThanUnitsShowNoSuccessBoxButWhyTheUpdateFailed)
{
    for (const int from : {1, 3}) {
        SCOPED_TRACE(from);
        SimWindow w({"--duplicate-from", QString::number(from)}, 0, shelltest::hexImage(30));
        ASSERT_TRUE(w.linked);
        const JobRecord job = runJob(w.rig, 20000);
        EXPECT_NE(job.box.text, kSuccess);
        EXPECT_EQ(job.box.icon, QMessageBox::Critical);
        EXPECT_TRUE(job.box.text.startsWith("The update failed: the device acknowledged the whole "
                                            "firmware, but its line cannot be trusted.\n") &&
                    job.box.text.contains("a device that answers twice") &&
                    job.box.text.contains("The inverter now holds: "))
            << job.box.text.toStdString();
        EXPECT_TRUE(w.rig.frame->statusText().startsWith("Failed: too many answers"))
            << w.rig.frame->statusText().toStdString();

        ASSERT_TRUE(WindowRig::waitFor([&] { return w.sim.output().contains("result: "); }, 5000))
            << w.sim.output().toStdString();
        const QString verdict = w.sim.output();
        const int units = 32; // the erase command, 30 data records and the end record
        const int twice = units + 1 - from;
        EXPECT_TRUE(verdict.contains("verdict: DSP job, complete") &&
                    verdict.contains(QStringLiteral("units: %1 (").arg(units)) &&
                    verdict.contains(QStringLiteral("answer sent twice for %1 units").arg(twice)) &&
                    verdict.contains("result: PASS"))
            << verdict.toStdString();
        EXPECT_TRUE(job.box.text.contains(
            QStringLiteral("%1 acknowledgements for %2 units").arg(units + twice).arg(units)))
            << job.box.text.toStdString();
    }
}

// Tool > Stop: only during a job; asked as the close question is, No the default;
// Yes abandons the job at once and says where it stopped.
TEST(Stop, AsksFirstAndYesAbandonsTheJobSayingWhereItStoppedAndWhatTheInverterMayHold)
{
    SimWindow w({"--repeat", "--delay-ms", "20", "--restart-ms", "100"}, 0,
                shelltest::hexImage(200));
    ASSERT_TRUE(w.linked);
    QAction *stop = w.rig.frame->menuAction(32781);
    ASSERT_NE(stop, nullptr);
    EXPECT_FALSE(stop->isEnabled());
    w.rig.command(32773);
    ASSERT_TRUE(WindowRig::waitFor([&] { return w.rig.view->jobView().fields.readPos >= 5; }));
    EXPECT_TRUE(stop->isEnabled());
    SeenBox question, stopped;
    for (auto button : {QMessageBox::No, QMessageBox::Yes}) {
        w.rig.modals.expect([&, button](QWidget *box) {
            question = shelltest::readBox(box);
            EXPECT_EQ(qobject_cast<QMessageBox *>(box)->defaultButton()->text(), "&No");
            qobject_cast<QMessageBox *>(box)->button(button)->click();
        });
        if (button == QMessageBox::Yes)
            w.rig.modals.expectBox(&stopped);
        w.rig.command(32781);
        EXPECT_EQ(w.rig.view->jobView().fields.jobState, button == QMessageBox::No ? 3 : -1);
    }
    EXPECT_EQ(question.text, "A download is running. Stopping now may leave the inverter "
                             "half-written. Stop anyway?");
    EXPECT_TRUE(WindowRig::waitFor([&] { return !stopped.text.isEmpty(); }, 3000));
    EXPECT_TRUE(QRegularExpression(
                    QStringLiteral("^The download was stopped while programming \\(record "
                                   "\\d+ of 201\\)\\. The inverter may be half-written: keep "
                                   "it powered and run the update again\\.$"))
                    .match(stopped.text)
                    .hasMatch())
        << stopped.text.toStdString();
    EXPECT_FALSE(w.rig.view->jobView().fields.fileOpen);
    EXPECT_TRUE(WindowRig::waitFor([&] { return w.rig.commandsEnabled(true); }, 2000));
    EXPECT_FALSE(stop->isEnabled());
    EXPECT_EQ(w.rig.view->lineText(1004), QStringLiteral("Program stopped"));
    // Nothing more comes of the stopped job, and DownLoad starts afresh.
    QTest::qWait(600);
    EXPECT_EQ(runJob(w.rig, 30000).box.text, kSuccess);
    EXPECT_TRUE(w.rig.modals.unexpected().isEmpty());
}

// A Stop or close question left open while the job ends closes itself: the
// ending's box is shown alone, and the window stays.
TEST(Stop, AQuestionLeftOpenWhileTheJobEndsClosesItselfAndTheEndingIsShown)
{
    const std::pair<const char *, std::function<void(WindowRig &)>> asks[] = {
        {"stop", [](WindowRig &rig) { rig.command(32781); }},
        {"close", [](WindowRig &rig) { EXPECT_FALSE(rig.frame->close()); }},
    };
    for (const auto &[name, ask] : asks) {
        SCOPED_TRACE(name);
        SimWindow w({"--delay-ms", "20"}, 0, shelltest::hexImage(40));
        ASSERT_TRUE(w.linked);
        w.rig.command(32773);
        ASSERT_TRUE(WindowRig::waitFor([&] { return w.rig.view->jobView().fields.readPos >= 3; }));
        QPointer<QWidget> question;
        SeenBox ending;
        bool questionGone = false;
        w.rig.modals.expect([&](QWidget *box) {
            question = box;
            w.rig.modals.keepOpen(box);
            // Left unanswered; answered No only if it never goes by itself.
            QTimer::singleShot(8000, box, [box] {
                qobject_cast<QMessageBox *>(box)->button(QMessageBox::No)->click();
            });
        });
        w.rig.modals.expect([&](QWidget *box) {
            ending = shelltest::readBox(box);
            questionGone = !question || !question->isVisible();
            qobject_cast<QMessageBox *>(box)->button(QMessageBox::Ok)->click();
        });
        ask(w.rig);
        EXPECT_TRUE(WindowRig::waitFor([&] { return w.rig.commandsEnabled(true); }, 10000));
        EXPECT_EQ(ending.text, kSuccess);
        EXPECT_TRUE(questionGone);
        EXPECT_TRUE(w.rig.frame->isVisible());
        EXPECT_TRUE(w.rig.modals.unexpected().isEmpty());
    }
}

namespace {

// A trace's lines without their times and the lines that say how the link was
// reached and the command line's exit status.
QStringList traceLines(const QString &path)
{
    QFile file(path);
    QStringList lines;
    const QRegularExpression timed(QStringLiteral("^ *\\d+ ms  (.*)$"));
    file.open(QIODevice::ReadOnly);
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)) {
        const QString text = timed.match(line).captured(1);
        if (!text.startsWith(QStringLiteral("link: ")) &&
            !text.startsWith(QStringLiteral("exit: ")))
            lines << (text.isEmpty() ? "untimed: " + line : text);
    }
    return lines;
}

// The job traces kept in folder logs, oldest first.
QStringList jobTraces(const QString &logs)
{
    return QDir(logs).entryList({QStringLiteral("*.trace")}, QDir::Files, QDir::Name);
}

// Answers a file dialog with path.
std::function<void(QWidget *)> typePath(const QString &path)
{
    return [path](QWidget *w) {
        shelltest::typeFileName(w, path);
        QMetaObject::invokeMethod(w, "accept");
    };
}

} // namespace

// The support log is the last job's trace, as updater-cli --trace writes it.
TEST(SupportLog, SavesTheLastJobsTraceAsUpdaterCliTraceWritesIt)
{
    SimWindow w({"--repeat", "--restart-ms", "100"}, 0, {});
    ASSERT_TRUE(w.linked);
    const QString hex = shelltest::writeFile(w.dir.path(), "dsp.hex", shelltest::hexImage(30));
    SeenBox none; // a DownLoad refused before a job started leaves no log
    w.rig.modals.expectBox(&none);
    w.rig.modals.expectBox(&none);
    w.rig.command(32773);
    w.rig.command(32783);
    EXPECT_EQ(none.text, QStringLiteral("No update has run yet: there is no support log to save."));
    // Every job's trace is kept in the logs folder, which Help opens.
    const QString logs =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + "/logs";
    EXPECT_EQ(jobTraces(logs), QStringList());
    w.rig.openFile(0, hex);
    for (int job = 1; job <= 2; ++job) {
        EXPECT_EQ(runJob(w.rig, 20000).box.text, kSuccess);
        EXPECT_TRUE(WindowRig::waitFor([&] { return !w.rig.view->linkOpen(); }, 5000));
    }
    EXPECT_EQ(jobTraces(logs).size(), 2);
    shelltest::UrlCatcher desktop(QStringLiteral("file"));
    w.rig.command(32784);
    EXPECT_EQ(desktop.urls, QList<QUrl>{QUrl::fromLocalFile(logs)});
    // The support log is offered in the documents folder.
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    ASSERT_TRUE(QDir().mkpath(documents));
    const QString saved = w.dir.filePath("support.log");
    QString offered;
    w.rig.modals.expect([&](QWidget *dialog) {
        offered = qobject_cast<QFileDialog *>(dialog)->directory().absolutePath() + "/" +
                  dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->text();
        typePath(saved)(dialog);
    });
    w.rig.command(32783);
    EXPECT_TRUE(QRegularExpression("^" +
                                   QRegularExpression::escape(QDir(documents).absolutePath()) +
                                   "/updater-support-\\d{8}-\\d{6}\\.log$")
                    .match(offered)
                    .hasMatch())
        << offered.toStdString();
    EXPECT_EQ(w.rig.frame->statusText(), "Support log saved to " + saved);
    // The same job through updater-cli --trace, against the same device.
    ChildProcess cli(QStringLiteral(UPDATER_CLI_PATH),
                     {"--tcp", "127.0.0.1:" + QString::number(w.sim.port()), "--dsp", hex,
                      "--trace", w.dir.filePath("cli.log")});
    ASSERT_TRUE(cli.waitForFinished(20000));
    EXPECT_EQ(cli.exitCode(), 0) << cli.output().toStdString();
    const QStringList window = traceLines(saved);
    EXPECT_EQ(window, traceLines(w.dir.filePath("cli.log")));
    EXPECT_EQ(window.count(QStringLiteral("message: Download file success!")), 1);
    EXPECT_TRUE(window.contains(QStringLiteral("> state 1  FA 66 6C 61 73 68 62 96  (8 bytes)")));
    QFile first(saved);
    EXPECT_TRUE(first.open(QIODevice::ReadOnly) &&
                first.readLine().startsWith("       0 ms  start: Updater V10.14"));
    // Never over the firmware file, even when the file dialog was told to replace it.
    SeenBox refused;
    w.rig.modals.expect(typePath(hex));
    w.rig.modals.expect([](QWidget *box) {
        if (auto *replace = qobject_cast<QMessageBox *>(box))
            replace->button(QMessageBox::Yes)->click();
    });
    w.rig.modals.expectBox(&refused);
    w.rig.command(32783);
    EXPECT_EQ(refused.text, hex + ": this is the firmware file; give the support log another name");
    EXPECT_EQ(QFile(hex).size(), shelltest::hexImage(30).size());
    // Nor over the firmware of an earlier update, nor over any other firmware; a text
    // file is replaced once the technician said so, a support log of its own too.
    const QString other = shelltest::writeFile(w.dir.path(), "other.hex", shelltest::hexImage(5));
    w.rig.openFile(0, other);
    QFile::link(hex, w.dir.filePath("dsp-link.hex"));
    const QString image =
        shelltest::writeFile(w.dir.path(), "lcd.bin", shelltest::binaryImage(3000));
    const QString notes = shelltest::writeFile(w.dir.path(), "notes.txt", "to do\n");
    const QString kAnother = QStringLiteral("; give the support log another name");
    const auto readAll = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QList<QPair<QString, QString>> targets = {
        {hex, hex + ": this is the firmware file of an earlier update" + kAnother},
        {w.dir.filePath("dsp-link.hex"), w.dir.filePath("dsp-link.hex") +
                                             ": this is the firmware file of an earlier update" +
                                             kAnother},
        {other, other + ": this is the firmware file" + kAnother},
        {image, image + ": this file holds binary data, not a support log" + kAnother},
        {notes, QString()},
        {saved, QString()},
    };
    const auto save = [&](const QString &target, const QString &said) {
        SCOPED_TRACE(target.toStdString());
        const QByteArray before = readAll(target);
        SeenBox box;
        w.rig.modals.expect(typePath(target));
        w.rig.modals.expect([](QWidget *box) {
            if (auto *replace = qobject_cast<QMessageBox *>(box))
                replace->button(QMessageBox::Yes)->click();
        });
        if (!said.isEmpty())
            w.rig.modals.expectBox(&box);
        w.rig.command(32783);
        EXPECT_EQ(box.text, said);
        if (!said.isEmpty())
            EXPECT_EQ(readAll(target), before);
        else
            EXPECT_EQ(w.rig.frame->statusText(), "Support log saved to " + target);
    };
    for (const auto &[target, said] : targets)
        save(target, said);
    EXPECT_EQ(traceLines(notes), window);
    // A firmware copied over a support log it saved is firmware all the same.
    QFile::remove(saved);
    QFile::copy(image, saved);
    save(saved, saved + ": this file holds binary data, not a support log" + kAnother);
}

// Tool > Update DSP and LCD ARM...: DSP, the inverter's restart, the link opened
// again, LCD ARM in one run, with the phases on the lines as for single jobs and
// one box at the end that says what the inverter holds. Files are checked before
// the inverter is contacted.
TEST(BothFirmwares, OneRunWritesDspThenArmAndEndsWithOneBoxSayingWhatTheInverterHolds)
{
    const auto run = [](SimWindow &w, const QByteArray &dsp, QStringList *seen = nullptr,
                        const QByteArray &image = shelltest::binaryImage(10000)) {
        shelltest::writeFile(w.dir.path(), "dsp.hex", dsp);
        const QString arm = shelltest::writeFile(w.dir.path(), "lcd.bin", image);
        SeenTexts texts(w.rig);
        SeenBox box;
        w.rig.modals.expect(typePath(w.path));
        w.rig.modals.expect(typePath(arm));
        w.rig.modals.expectBox(&box);
        w.rig.command(32782);
        EXPECT_TRUE(WindowRig::waitFor(
            [&] { return !box.text.isEmpty() && w.rig.commandsEnabled(true); }, 30000));
        EXPECT_TRUE(w.rig.modals.unexpected().isEmpty());
        if (seen)
            *seen = texts.texts;
        return box;
    };
    {
        SimWindow w({"--repeat", "--restart-ms", "100"}, 0, {});
        ASSERT_TRUE(w.linked);
        QByteArray damaged = shelltest::hexImage(5);
        damaged[damaged.indexOf("\r\n", damaged.indexOf("\r\n") + 2) - 1] ^= 1;
        EXPECT_EQ(run(w, damaged).text,
                  "Firmware file refused!\n" + w.path + ": line 2: checksum mismatch");
        EXPECT_EQ(run(w, shelltest::hexImage(5), nullptr, QByteArray()).text,
                  "Firmware file refused!\n" + w.dir.filePath("lcd.bin") + ": the file is empty");
        EXPECT_EQ(w.sim.output().count("verdict"), 0); // nothing was sent
        QStringList seen;
        const SeenBox success = run(w, shelltest::hexImage(30), &seen);
        EXPECT_EQ(success.text,
                  kSuccess + "\nThe inverter now holds the new DSP firmware and the new LCD ARM "
                             "firmware.");
        EXPECT_EQ(success.icon, QMessageBox::Information);
        for (const QString &text :
             {"File:  " + w.path, "File:  " + w.dir.filePath("lcd.bin"),
              QStringLiteral("Erase Done."), QStringLiteral("Programing Done."),
              QStringLiteral("DSP firmware written; opening the link again for the ARM firmware")})
            EXPECT_TRUE(seen.contains(text))
                << text.toStdString() << " in " << seen.join(" | ").toStdString();
        EXPECT_TRUE(WindowRig::waitFor([&] { return w.sim.output().count("result: PASS") == 2; }));
        EXPECT_EQ(w.rig.view->lineText(1002), QStringLiteral("File:  ")); // the window as it was
        EXPECT_EQ(w.rig.frame->statusText(),
                  "TCP 127.0.0.1:" + QString::number(w.sim.port()) + " closed");
        // DownLoad then sends the window's own file.
        const QString own =
            shelltest::writeFile(w.dir.path(), "own.bin", shelltest::binaryImage(1500));
        w.rig.openFile(1, own);
        EXPECT_EQ(runJob(w.rig, 20000).box.text, kSuccess);
        EXPECT_TRUE(WindowRig::waitFor([&] { return w.sim.output().count("result: PASS") == 3; }));
        EXPECT_TRUE(w.sim.output().section("verdict: ", -1).startsWith("ARM job"))
            << w.sim.output().toStdString();
    }

    // The DSP job's 7 units pass; the ARM job's unit 9 (data block 6) is not answered.
    SimWindow silent({"--repeat", "--restart-ms", "100", "--silent-from", "9"}, 0, {});
    ASSERT_TRUE(silent.linked);
    const SeenBox timedOut = run(silent, shelltest::hexImage(5));
    EXPECT_EQ(timedOut.icon, QMessageBox::Warning);
    const QString box = timedOut.text;
    EXPECT_TRUE(
        box.startsWith(kTimeOut +
                       "\nDSP firmware written; ARM firmware: time-out while programming") &&
        box.endsWith("The inverter now holds: DSP firmware written; ARM firmware: the "
                     "device may be half-written; run the update again."))
        << box.toStdString();
    EXPECT_EQ(silent.rig.view->lineText(1004), QStringLiteral("Program failed"));

    // A device that answers twice: the run stops after the DSP firmware and says why, once.
    SimWindow twice({"--repeat", "--restart-ms", "100", "--duplicate-from", "1"}, 0, {});
    ASSERT_TRUE(twice.linked);
    const SeenBox failed = run(twice, shelltest::hexImage(5));
    EXPECT_EQ(failed.icon, QMessageBox::Critical);
    EXPECT_TRUE(twice.rig.frame->statusText().startsWith("Failed: too many answers"))
        << twice.rig.frame->statusText().toStdString();
    EXPECT_EQ(failed.text,
              "DSP firmware: 14 acknowledgements for 7 units: noise on the line, a second device, "
              "or a device that answers twice; the device may hold a damaged firmware; update "
              "again\n"
              "The inverter now holds: DSP firmware: the device may be half-written; run the "
              "update again; ARM firmware not started.");
}

TEST(ClosingTheWindow, WhileAJobWaitsForTheDeviceAsksAndOnlyYesEndsItWithoutHanging)
{
    WindowRig rig;
    SilentArmSetup setup(rig);
    ASSERT_TRUE(setup.linked);
    rig.command(32773);
    // State 2: the image was read whole and the wake-up sequence has gone out.
    ASSERT_TRUE(WindowRig::waitFor([&] { return rig.view->jobView().fields.jobState == 2; }, 5000));
    SeenBox question;
    for (auto button : {QMessageBox::No, QMessageBox::Yes}) {
        rig.modals.expect([&, button](QWidget *w) {
            question = shelltest::readBox(w);
            EXPECT_EQ(qobject_cast<QMessageBox *>(w)->defaultButton()->text(), "&No");
            qobject_cast<QMessageBox *>(w)->button(button)->click();
        });
    }
    EXPECT_FALSE(rig.frame->close());
    EXPECT_EQ(question.text, "A download is running. Closing now may leave the inverter "
                             "half-written. Close anyway?");
    EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(rig.frame->close());
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_FALSE(rig.view->jobView().fields.fileOpen);
    EXPECT_EQ(rig.view->jobView().fields.jobState, -1);
    EXPECT_FALSE(rig.view->supervisorRunning());
}

// The logs folder keeps the newest 200 traces; the trace of a job closed with the
// window says where it stopped.
TEST(ClosingTheWindow, TheJobsTraceIsKeptWithWhereItStopped)
{
    WindowRig rig;
    const QString logs =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + "/logs";
    ASSERT_TRUE(QDir().mkpath(logs));
    for (int i = 0; i < 200; ++i)
        shelltest::writeFile(
            logs, QStringLiteral("job-20000101-000000-%1.trace").arg(i, 3, 10, QLatin1Char('0')),
            "old");
    SilentArmSetup setup(rig);
    ASSERT_TRUE(setup.linked);
    rig.command(32773);
    ASSERT_TRUE(WindowRig::waitFor([&] { return rig.view->jobView().fields.jobState == 2; }, 5000));
    rig.modals.expect(
        [](QWidget *w) { qobject_cast<QMessageBox *>(w)->button(QMessageBox::Yes)->click(); });
    EXPECT_TRUE(rig.frame->close());
    const QStringList traces = jobTraces(logs);
    ASSERT_EQ(traces.size(), 200);
    EXPECT_EQ(traces.first(), QStringLiteral("job-20000101-000000-001.trace"));
    const QStringList lines = traceLines(QDir(logs).filePath(traces.last()));
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last(), QStringLiteral("closed: The window was closed while connecting. The "
                                           "inverter has not been erased: run the update again."))
        << lines.join('\n').toStdString();
}

TEST(ClosingTheWindow, WhileTheTimeOutBoxIsOpenReleasesTheSupervisor)
{
    WindowRig rig;
    SilentArmSetup setup(rig);
    ASSERT_TRUE(setup.linked);
    qint64 closeMs = -1;
    bool closed = false;
    rig.modals.expect([&](QWidget *w) {
        QElapsedTimer clock;
        clock.start();
        closed = rig.frame->close(); // the supervisor waits for this very box
        closeMs = clock.elapsed();
        w->close();
    });
    rig.command(32773);
    ASSERT_TRUE(WindowRig::waitFor([&] { return closeMs >= 0; }, 15000));
    EXPECT_TRUE(closed);
    EXPECT_LT(closeMs, 2000);
    EXPECT_FALSE(rig.view->supervisorRunning());
    EXPECT_EQ(rig.view->jobView().fields.jobState, -1);
}
