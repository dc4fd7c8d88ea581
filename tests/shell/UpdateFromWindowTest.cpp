// Whole updates driven from the window's own commands over TCP on 127.0.0.1
// against the simulated inverter, with the message boxes answered as a user would.
#include "ShellRig.h"

#include "FileDownCom.h"
#include "SimPeers.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

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
        const auto sockets = [&] { return rig.view->link().findChildren<QTcpSocket *>().size(); };
        const qsizetype before = sockets();
        record.heldSafely = holdBox && WindowRig::waitFor(holdBox, 3000) && sockets() == before;
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
    const auto hungUp = [&] { return !rig.view->link().linkOpen(); };
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
    EXPECT_EQ(first.box.icon, QMessageBox::Warning);
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
    EXPECT_EQ(rig.view->job().jobState(), -1);
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

// The inverter closes the link as it restarts after each update: the next
// DownLoad opens the same link again and goes on, job after job.
TEST(Reconnect, DownLoadConnectsAgainToTheAddressSetPortChoseAfterTheInverterHungUp)
{
    QTemporaryDir dir;
    shelltest::SimProcess sim({"--repeat", "--restart-ms", "100"});
    ASSERT_TRUE(sim.started());
    WindowRig rig;
    ASSERT_TRUE(rig.setPortTcp(sim.port()));
    rig.openFile(0, shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(40)));
    for (int job = 1; job <= 3; ++job) {
        EXPECT_EQ(runJob(rig, 20000).box.text, QStringLiteral("Download file success!")) << job;
        EXPECT_TRUE(WindowRig::waitFor([&] { return !rig.view->link().linkOpen(); }, 5000));
    }
    EXPECT_EQ(sim.output().count("result: PASS"), 3) << sim.output().toStdString();

    // Only when the link cannot be opened again does DownLoad say why.
    sim.stop();
    SeenBox box;
    rig.modals.expectBox(&box);
    rig.command(32773);
    EXPECT_TRUE(WindowRig::waitFor([&] { return !box.text.isEmpty(); }, 12000));
    EXPECT_EQ(box.text, "Cannot connect to 127.0.0.1 port " + QString::number(sim.port()) +
                            ": Connection refused");
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.commandsEnabled(true); }, 2000));
    EXPECT_EQ(rig.view->job().jobState(), -1);
    EXPECT_TRUE(rig.modals.unexpected().isEmpty());
}

TEST(Reconnect, DownLoadOpensTheComPortAgainAfterTheInverterHungUpOrTheAdapterWasPluggedInAgain)
{
    QTemporaryDir dir;
    const QString image = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(2000));
    WindowRig rig;
    QString device;
    for (int job = 1; job <= 2; ++job) {
        // Each simulated inverter hangs up its pseudo-terminal after its job, which
        // then goes away: the next one comes under the same COM number.
        shelltest::SimProcess sim({"--pty", "--restart-ms", "100"});
        ASSERT_TRUE(sim.started());
        device = sim.device();
        qputenv("UPDATER_COM45", device.toLocal8Bit());
        if (job == 1) {
            ASSERT_TRUE(rig.setPortSerial(45));
            rig.openFile(1, image);
        }
        EXPECT_EQ(runJob(rig, 20000).box.text, QStringLiteral("Download file success!")) << job;
        EXPECT_TRUE(WindowRig::waitFor([&] { return !rig.view->link().linkOpen(); }, 5000));
        EXPECT_TRUE(WindowRig::waitFor([&] { return sim.output().contains("result: PASS"); }))
            << sim.output().toStdString();
    }
    SeenBox box;
    rig.modals.expectBox(&box);
    rig.command(32773);
    EXPECT_EQ(box.text, "COM45 could not be opened: no such port (" + device + ")");
    EXPECT_EQ(box.caption, QStringLiteral("Application Error"));
    EXPECT_TRUE(rig.commandsEnabled(true));
    EXPECT_EQ(rig.frame->statusText(), box.text);
    qunsetenv("UPDATER_COM45");
}

// Set Port chose a port that did not open: DownLoad asks for the port, as before.
TEST(Reconnect, APortThatNeverOpenedIsNotOpenedAgain)
{
    QTemporaryDir dir;
    shelltest::SimProcess sim({"--pty"});
    ASSERT_TRUE(sim.started());
    qputenv("UPDATER_COM46", "/dev/no-such-port-45");
    WindowRig rig;
    rig.openFile(1, shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(2000)));
    EXPECT_FALSE(rig.setPortSerial(46));
    qputenv("UPDATER_COM46", sim.device().toLocal8Bit());
    SeenBox box;
    rig.modals.expectBox(&box);
    rig.command(32773);
    EXPECT_EQ(box.text, QStringLiteral("Please set COM Port or IP Address first!"));
    EXPECT_FALSE(rig.view->link().linkOpen());
    qunsetenv("UPDATER_COM46");
}

// A link lost during a job: the first box says where the job stood and what the
// inverter may hold; the job keeps its wait and ends with its time-out.
TEST(LinkLost, TheBoxNamesTheLinkTheRecordAndWhatTheInverterMayHoldThenTheTimeOutFollows)
{
    QTemporaryDir dir;
    // Unit 1 is the erase command: unit 12 is record 11, after whose answer record
    // 12 of 41 (40 data records and the end record) goes out.
    shelltest::SimProcess sim({"--drop-after", "12"});
    ASSERT_TRUE(sim.started());
    WindowRig rig;
    ASSERT_TRUE(rig.setPortTcp(sim.port()));
    rig.openFile(0, shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(40)));
    SeenBox lost;
    rig.modals.expectBox(&lost);
    const JobRecord record = runJob(rig, 15000);
    EXPECT_EQ(lost.text, "The connection to 127.0.0.1:" + QString::number(sim.port()) +
                             " was lost while programming (record 12 of 41). The inverter may "
                             "be half-written: keep it powered and run the update again.");
    EXPECT_EQ(lost.caption, QStringLiteral("Application Error"));
    EXPECT_EQ(record.box.text, QString::fromUtf8("time out\xEF\xBC\x81"));
    EXPECT_EQ(rig.view->lineText(1004), QStringLiteral("Program failed"));
}

TEST(LinkLost, APortThatHangsUpDuringTheArmJobNamesTheBlock)
{
    QTemporaryDir dir;
    // Units: wake-up, digit, header block, then data blocks: unit 5 is block 2 of 5.
    shelltest::SimProcess sim({"--pty", "--drop-after", "5", "--hang-up"});
    ASSERT_TRUE(sim.started());
    qputenv("UPDATER_COM47", sim.device().toLocal8Bit());
    WindowRig rig;
    ASSERT_TRUE(rig.setPortSerial(47));
    rig.openFile(1, shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(5000)));
    SeenBox lost;
    rig.modals.expectBox(&lost);
    EXPECT_EQ(runJob(rig, 15000).box.text, QString::fromUtf8("time out\xEF\xBC\x81"));
    // The next block may or may not have gone out before the hang-up was seen.
    const QString lead =
        "The connection to COM47 (" + sim.device() + ") was lost while programming (block ";
    EXPECT_TRUE(lost.text == lead + "2 of 5). The inverter may be half-written: keep it powered "
                                    "and run the update again." ||
                lost.text == lead + "3 of 5). The inverter may be half-written: keep it powered "
                                    "and run the update again.")
        << lost.text.toStdString();
    qunsetenv("UPDATER_COM47");
}

// While programming, the status bar counts the percent, the data bytes of the
// records sent of those of the file, and the time left.
TEST(Progress, WhileProgrammingTheStatusBarShowsPercentBytesSentOfTheTotalAndTimeLeft)
{
    QTemporaryDir dir;
    shelltest::SimProcess sim({"--delay-ms", "5"});
    ASSERT_TRUE(sim.started());
    WindowRig rig;
    ASSERT_TRUE(rig.setPortTcp(sim.port()));
    rig.openFile(0, shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(300)));
    QStringList seen;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (seen.isEmpty() || seen.constLast() != rig.frame->statusText())
            seen << rig.frame->statusText();
    });
    watch.start(20);
    EXPECT_EQ(runJob(rig, 30000).box.text, QStringLiteral("Download file success!"));
    const QRegularExpression shape(
        QStringLiteral("^(\\d+) %, ([\\d ]+) of 4 800 bytes(, \\d+:\\d\\d left)?$"));
    int matched = 0;
    int lastPercent = -1;
    bool timeLeft = false;
    for (const QString &text : seen) {
        const QRegularExpressionMatch m = shape.match(text);
        if (!m.hasMatch())
            continue;
        ++matched;
        EXPECT_GE(m.captured(1).toInt(), lastPercent) << text.toStdString();
        EXPECT_EQ(m.captured(1).toInt(), QString(m.captured(2)).remove(' ').toInt() * 100 / 4800);
        lastPercent = m.captured(1).toInt();
        timeLeft = timeLeft || !m.captured(3).isEmpty();
    }
    EXPECT_GE(matched, 3) << seen.join(" | ").toStdString();
    EXPECT_TRUE(timeLeft) << seen.join(" | ").toStdString();
}

TEST(Progress, DuringTheEraseWaitTheStatusBarCountsTheSecondsWaitedOf20)
{
    QTemporaryDir dir;
    shelltest::SimProcess sim({"--silent-from", "1"});
    ASSERT_TRUE(sim.started());
    WindowRig rig;
    ASSERT_TRUE(rig.setPortTcp(sim.port()));
    rig.openFile(0, shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(10)));
    rig.command(32773);
    for (const char *text : {"Erasing: 1 s of 20 s", "Erasing: 2 s of 20 s"})
        EXPECT_TRUE(WindowRig::waitFor(
            [&] { return rig.frame->statusText() == QLatin1String(text); }, 4000))
            << text << " / " << rig.frame->statusText().toStdString();
    rig.modals.expect(
        [](QWidget *w) { qobject_cast<QMessageBox *>(w)->button(QMessageBox::Yes)->click(); });
    EXPECT_TRUE(rig.frame->close());
}

// Tool > Stop: only during a job; asked as the close question is, No the default;
// Yes abandons the job at once and says where it stopped.
TEST(Stop, AsksFirstAndYesAbandonsTheJobSayingWhereItStoppedAndWhatTheInverterMayHold)
{
    QTemporaryDir dir;
    shelltest::SimProcess sim({"--repeat", "--delay-ms", "20", "--restart-ms", "100"});
    ASSERT_TRUE(sim.started());
    WindowRig rig;
    QAction *stop = rig.frame->menuAction(32781);
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->text(), QStringLiteral("&Stop"));
    EXPECT_FALSE(stop->isEnabled());
    ASSERT_TRUE(rig.setPortTcp(sim.port()));
    rig.openFile(0, shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(200)));
    rig.command(32773);
    ASSERT_TRUE(WindowRig::waitFor([&] { return rig.view->job().fields().readPos >= 5; }, 10000));
    EXPECT_TRUE(stop->isEnabled());

    SeenBox question;
    rig.modals.expect([&](QWidget *w) {
        question = shelltest::readBox(w);
        EXPECT_EQ(qobject_cast<QMessageBox *>(w)->defaultButton()->text(), "&No");
        qobject_cast<QMessageBox *>(w)->button(QMessageBox::No)->click();
    });
    rig.command(32781);
    EXPECT_EQ(question.text, "A download is running. Stopping now may leave the inverter "
                             "half-written. Stop anyway?");
    EXPECT_EQ(question.caption, QStringLiteral("Updater V10.14"));
    EXPECT_EQ(rig.view->job().jobState(), 3); // No: the job goes on

    SeenBox stopped;
    rig.modals.expect(
        [](QWidget *w) { qobject_cast<QMessageBox *>(w)->button(QMessageBox::Yes)->click(); });
    rig.modals.expectBox(&stopped);
    rig.command(32781);
    EXPECT_TRUE(WindowRig::waitFor([&] { return !stopped.text.isEmpty(); }, 3000));
    const QRegularExpression said(QStringLiteral(
        "^The download was stopped while programming \\(record (\\d+) of 201\\)\\. The "
        "inverter may be half-written: keep it powered and run the update again\\.$"));
    EXPECT_TRUE(said.match(stopped.text).hasMatch()) << stopped.text.toStdString();
    EXPECT_EQ(rig.view->job().jobState(), -1);
    EXPECT_FALSE(rig.view->job().fields().fileOpen);
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.commandsEnabled(true); }, 2000));
    EXPECT_FALSE(stop->isEnabled());
    // Nothing more comes of the stopped job, and DownLoad starts afresh.
    QTest::qWait(600);
    EXPECT_EQ(runJob(rig, 30000).box.text, QStringLiteral("Download file success!"));
    EXPECT_TRUE(rig.modals.unexpected().isEmpty());
}

namespace {

// A trace's lines without their times, leaving out those that name how the link
// was reached and the command line's exit status.
QStringList traceLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read ") + path};
    QStringList lines;
    const QRegularExpression timed(QStringLiteral("^ *\\d+ ms  (.*)$"));
    for (const QString &line : QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = timed.match(line);
        if (!m.hasMatch())
            lines << QStringLiteral("untimed: ") + line;
        else if (!m.captured(1).startsWith(QStringLiteral("link: ")) &&
                 !m.captured(1).startsWith(QStringLiteral("exit: ")))
            lines << m.captured(1);
    }
    return lines;
}

// File > Save Support Log..., answering the file dialog with path.
void saveSupportLog(WindowRig &rig, const QString &path)
{
    rig.modals.expect([path](QWidget *w) {
        shelltest::typeFileName(w, path);
        QMetaObject::invokeMethod(w, "accept");
    });
    rig.command(32783);
}

} // namespace

// The support log is the last job's trace, as updater-cli --trace writes it.
TEST(SupportLog, SavesTheLastJobsTraceAsUpdaterCliTraceWritesIt)
{
    QTemporaryDir dir;
    const QString hex = shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(30));
    shelltest::SimProcess sim({"--repeat", "--restart-ms", "100"});
    ASSERT_TRUE(sim.started());
    WindowRig rig;
    // DownLoad refused before a job started: still no log.
    SeenBox noLink;
    rig.modals.expectBox(&noLink);
    rig.command(32773);
    EXPECT_EQ(noLink.text, QStringLiteral("Please set COM Port or IP Address first!"));
    SeenBox none;
    rig.modals.expectBox(&none);
    rig.command(32783);
    EXPECT_EQ(none.text, QStringLiteral("No update has run yet: there is no support log to save."));

    ASSERT_TRUE(rig.setPortTcp(sim.port()));
    rig.openFile(0, hex);
    EXPECT_EQ(runJob(rig, 20000).box.text, QStringLiteral("Download file success!"));
    EXPECT_TRUE(WindowRig::waitFor([&] { return !rig.view->link().linkOpen(); }, 5000));
    EXPECT_EQ(runJob(rig, 20000).box.text, QStringLiteral("Download file success!"));
    const QString saved = dir.filePath("support.log");
    saveSupportLog(rig, saved);
    EXPECT_EQ(rig.frame->statusText(), "Support log saved to " + saved);

    // The same job through updater-cli --trace, against the same device.
    EXPECT_TRUE(WindowRig::waitFor([&] { return !rig.view->link().linkOpen(); }, 5000));
    QProcess cli;
    cli.start(QStringLiteral(UPDATER_CLI_PATH),
              {"--tcp", "127.0.0.1:" + QString::number(sim.port()), "--dsp", hex, "--trace",
               dir.filePath("cli.log")});
    ASSERT_TRUE(cli.waitForFinished(20000));
    EXPECT_EQ(cli.exitCode(), 0) << cli.readAll().toStdString();
    const QStringList window = traceLines(saved);
    EXPECT_EQ(window, traceLines(dir.filePath("cli.log")));
    EXPECT_EQ(window.count(QStringLiteral("message: Download file success!")), 1);
    EXPECT_TRUE(window.contains(QStringLiteral("> state 1  FA 66 6C 61 73 68 62 96  (8 bytes)")));
    QFile first(saved);
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    EXPECT_TRUE(first.readLine().startsWith("       0 ms  start: Updater V10.14"));

    // The firmware file is never overwritten by the log, even when the file dialog
    // was told to replace it.
    SeenBox refused;
    rig.modals.expect([&](QWidget *w) {
        shelltest::typeFileName(w, hex);
        QMetaObject::invokeMethod(w, "accept");
    });
    rig.modals.expect([](QWidget *w) {
        if (auto *replace = qobject_cast<QMessageBox *>(w))
            replace->button(QMessageBox::Yes)->click();
    });
    rig.modals.expectBox(&refused);
    rig.command(32783);
    EXPECT_EQ(refused.text, hex + ": this is the firmware file; give the support log another name");
    EXPECT_EQ(QFile(hex).size(), shelltest::hexImage(30).size());
}

namespace {

// Tool > Update DSP and LCD ARM..., answering its two file dialogs; the run's
// final box is recorded in box. Returns the texts the status bar and the status
// lines showed on the way.
QStringList updateBoth(WindowRig &rig, const QString &dsp, const QString &arm, SeenBox *box,
                       int timeoutMs = 30000)
{
    QStringList seen;
    const auto note = [&seen](const QString &text) {
        if (!text.trimmed().isEmpty() && !seen.contains(text))
            seen << text;
    };
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        note(rig.frame->statusText());
        for (int id : {1002, 1003, 1004})
            note(rig.view->lineText(id));
    });
    watch.start(20);
    for (const QString &path : {dsp, arm}) {
        rig.modals.expect([path](QWidget *w) {
            shelltest::typeFileName(w, path);
            QMetaObject::invokeMethod(w, "accept");
        });
    }
    rig.modals.expectBox(box);
    rig.command(32782);
    EXPECT_TRUE(WindowRig::waitFor(
        [&] { return !box->text.isEmpty() && rig.commandsEnabled(true); }, timeoutMs));
    return seen;
}

} // namespace

// DSP, the inverter's restart, the link opened again, LCD ARM: one run, with the
// phases on the lines as for single jobs and one box at the end.
TEST(BothFirmwares, OneRunWritesDspThenArmAndEndsWithOneBoxSayingWhatTheInverterHolds)
{
    QTemporaryDir dir;
    const QString dsp = shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(30));
    const QString arm = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(4000));
    shelltest::SimProcess sim({"--repeat", "--restart-ms", "100"});
    ASSERT_TRUE(sim.started());
    WindowRig rig;
    ASSERT_TRUE(rig.setPortTcp(sim.port()));
    SeenBox box;
    const QStringList seen = updateBoth(rig, dsp, arm, &box);
    EXPECT_EQ(box.text, "Download file success!\nThe inverter now holds the new DSP firmware and "
                        "the new LCD ARM firmware.");
    EXPECT_EQ(box.caption, QStringLiteral("Updater V10.14"));
    for (const QString &text :
         {"File:  " + dsp, "File:  " + arm, QStringLiteral("Erase Done."),
          QStringLiteral("Programing..."), QStringLiteral("Programing Done."),
          QStringLiteral("DSP firmware written; opening the link again for the ARM firmware")})
        EXPECT_TRUE(seen.contains(text))
            << text.toStdString() << " in " << seen.join(" | ").toStdString();
    EXPECT_TRUE(WindowRig::waitFor([&] { return sim.output().count("result: PASS") == 2; }))
        << sim.output().toStdString();
    EXPECT_TRUE(sim.output().contains("DSP job"));
    EXPECT_TRUE(sim.output().contains("ARM job"));
    // The window is as it was: no file chosen, DownLoad still asks for one.
    EXPECT_EQ(rig.view->lineText(1002), QStringLiteral("File:  "));
    EXPECT_TRUE(rig.modals.unexpected().isEmpty())
        << rig.modals.unexpected().join('\n').toStdString();
}

TEST(BothFirmwares, AFailureInTheArmFirmwareSaysTheDspFirmwareIsWrittenAndWhereTheArmStopped)
{
    QTemporaryDir dir;
    // The DSP job's 7 units pass; the ARM job's unit 9 (data block 6) is not answered.
    const QString dsp = shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(5));
    const QString arm = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(10000));
    shelltest::SimProcess sim({"--repeat", "--restart-ms", "100", "--silent-from", "9"});
    ASSERT_TRUE(sim.started());
    WindowRig rig;
    ASSERT_TRUE(rig.setPortTcp(sim.port()));
    SeenBox box;
    updateBoth(rig, dsp, arm, &box);
    EXPECT_TRUE(box.text.startsWith(QString::fromUtf8("time out\xEF\xBC\x81\nDSP firmware written; "
                                                      "ARM firmware: time-out while programming")))
        << box.text.toStdString();
    EXPECT_TRUE(box.text.endsWith("The inverter now holds: DSP firmware written; ARM firmware: the "
                                  "device may be half-written; run the update again."))
        << box.text.toStdString();
    EXPECT_EQ(rig.view->lineText(1004), QStringLiteral("Program failed"));
    EXPECT_TRUE(rig.modals.unexpected().isEmpty())
        << rig.modals.unexpected().join('\n').toStdString();
}

TEST(BothFirmwares, AFileThatWouldBeRefusedIsSaidBeforeTheInverterIsContacted)
{
    QTemporaryDir dir;
    QByteArray hex = shelltest::hexImage(5);
    hex[hex.indexOf("\r\n", hex.indexOf("\r\n") + 2) - 1] ^= 1;
    const QString dsp = shelltest::writeFile(dir.path(), "dsp.hex", hex);
    const QString arm = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(4000));
    testsupport::TcpSimDevice device;
    WindowRig rig;
    ASSERT_TRUE(rig.setPortTcp(device.port()));
    SeenBox box;
    updateBoth(rig, dsp, arm, &box, 5000);
    EXPECT_EQ(box.text, "Firmware file refused!\n" + dsp + ": line 2: checksum mismatch");
    EXPECT_EQ(device.received(), QByteArray());
}

TEST(ClosingTheWindow, WhileAJobWaitsForTheDeviceAsksAndOnlyYesEndsItWithoutHanging)
{
    WindowRig rig;
    SilentArmSetup setup(rig);
    ASSERT_TRUE(setup.linked);
    rig.command(32773);
    // State 2: the file is open and the wake-up sequence has gone out.
    ASSERT_TRUE(WindowRig::waitFor([&] { return rig.view->job().jobState() == 2; }, 5000));
    ASSERT_TRUE(rig.view->job().fields().fileOpen);
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
    EXPECT_FALSE(rig.view->job().fields().fileOpen);
    EXPECT_EQ(rig.view->job().jobState(), -1);
    EXPECT_FALSE(rig.view->supervisorRunning());
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
    EXPECT_EQ(rig.view->job().jobState(), -1);
}
