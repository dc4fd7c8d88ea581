#include "CliTestSupport.h"
#include "FleetTable.h"
#include "PortList.h"

#include <QRegularExpression>

#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

using namespace clitest;

namespace {

// Moves what waits on the terminal's master side into seen, without blocking.
void drain(int master, QByteArray &seen)
{
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(master, buffer, sizeof buffer)) > 0)
        seen.append(buffer, static_cast<qsizetype>(n));
}

// Runs updater-cli with standard error (or standard output) on a pseudo-terminal
// of the given size, as on a technician's console, and returns what it wrote
// there. The terminal is read while the program runs, so that it never fills up
// and blocks the program.
QByteArray onATerminal(const QStringList &args, int &status, bool stdoutInstead = false,
                       winsize size = {24, 80, 0, 0})
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, &size) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return {};
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    QProcess cli;
    if (stdoutInstead)
        cli.setStandardOutputFile(QString::fromLocal8Bit(name));
    else
        cli.setStandardErrorFile(QString::fromLocal8Bit(name));
    cli.start(QStringLiteral(UPDATER_CLI_PATH), args);
    QByteArray seen;
    for (int waited = 0; !cli.waitForFinished(50) && waited < 60000; waited += 50)
        drain(master, seen);
    EXPECT_EQ(cli.state(), QProcess::NotRunning);
    drain(master, seen);
    status = cli.exitCode();
    ::close(slave);
    ::close(master);
    return seen;
}

// Starts a job of the firmware against the simulator, waits until the program has
// said the status text, then sends the signal. Returns what the program said.
Finished interruptAfter(const char *status, int signal, Sim &sim, const char *option = "--arm",
                        const QString &firmware = samples().armImage, const QStringList &more = {})
{
    return runCliUntil(QStringList{"--tcp", sim.tcpTarget(), option, firmware} + more, status,
                       signal);
}

} // namespace

// With both firmwares the bar shows the file being sent, each in its turn.
TEST(CliTerminal, AProgressBarWithPercentBytesRateAndTimeLeftIsDrawnOnATerminal)
{
    for (const QStringList &firmware :
         {QStringList{"--arm", samples().armImage},
          QStringList{"--dsp", samples().dspHex, "--arm", samples().armImage}}) {
        SCOPED_TRACE(firmware.join(' ').toStdString());
        Sim sim({"--devices", "1"}); // it serves the second job too
        int status = -1;
        const QByteArray seen =
            onATerminal(QStringList{"--tcp", sim.tcpTarget()} + firmware, status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(seen.contains("%")) << seen.toStdString();
        EXPECT_TRUE(seen.contains("KiB of 9.8 KiB")) << seen.toStdString();
        EXPECT_TRUE(seen.contains("KiB/s")) << seen.toStdString();
        EXPECT_TRUE(seen.contains("left")) << seen.toStdString();
        EXPECT_TRUE(seen.endsWith("\r\x1b[K")) << "the bar is cleared at the end";
    }
}

// A fleet's live table on terminals of several widths: no line reaches the edge
// (a wrapped line would make the redraw creep down the screen), the header stays,
// each link is shown whole or its column is left out with a note, the names that
// share their beginning stay apart, the summary fits too.
TEST(CliTerminal, TheLiveTableFitsEachTerminalWithWholeLinksAndDistinctNames)
{
    Sim sim({"--devices", "7", "--delay-ms", "2"});
    QString rows = "name,link\n";
    for (int i = 0; i < 7; ++i)
        rows += QString("plantA-block05-string%1-inverter,tcp:127.0.0.1:%2\n")
                    .arg(i)
                    .arg(sim.port() + i);
    const QString fleet = samples().dir + "/narrow.csv";
    QFile f(fleet);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(rows.toUtf8());
    f.close();
    for (const unsigned short width : {50, 60, 80, 100}) {
        SCOPED_TRACE(width);
        int status = -1;
        const QString seen = QString::fromUtf8(onATerminal(
            {"--fleet", fleet, "--dsp", samples().dspHex}, status, true, {24, width, 0, 0}));
        EXPECT_EQ(status, 0);
        // Every table drawn stays off the edge; the summary after it fits 80 columns.
        const qsizetype summary = seen.lastIndexOf("\r\n\r\n");
        for (const QString &line : seen.left(summary).split("\r\n"))
            EXPECT_LT(line.section("\x1b[J", -1).size(), width) << line.toStdString();
        for (const QString &line : seen.mid(summary).split("\r\n"))
            EXPECT_LE(line.size(), std::min<int>(width, 80)) << line.toStdString();
        // The last table drawn, before the summary.
        const qsizetype last = seen.lastIndexOf("\x1b[J");
        ASSERT_GE(last, 0) << seen.toStdString();
        const QStringList lines =
            seen.mid(last + 3, seen.indexOf("\r\n\r\n", last) - last - 3).split("\r\n");
        ASSERT_GE(lines.size(), 9) << seen.toStdString();
        EXPECT_TRUE(lines[0].startsWith("name")) << lines[0].toStdString();
        QSet<QString> names;
        for (int i = 1; i <= 7; ++i) {
            names.insert(lines[i].section("  ", 0, 0));
            const QString link = QString("  127.0.0.1:%1  ").arg(sim.port() + i - 1);
            EXPECT_TRUE(lines[i].contains(link)) << lines[i].toStdString();
        }
        EXPECT_EQ(names.size(), 7) << lines.join('\n').toStdString();
        EXPECT_EQ(lines.last(), "0 running, 7 succeeded, 0 failed, 0 waiting");
    }
}

TEST(CliTerminal, QuietDrawsNoProgressEvenOnATerminal)
{
    Sim sim({});
    int status = -1;
    const QByteArray seen =
        onATerminal({"--tcp", sim.tcpTarget(), "--arm", samples().armImage, "--quiet"}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(seen, QByteArray());
}

TEST(CliTerminal, SigintDuringProgrammingAbandonsTheJobAndSaysTheDeviceMayBeHalfWritten)
{
    Sim sim({"--delay-ms", "150"});
    const Finished cli = interruptAfter("Programing...", SIGINT, sim);
    EXPECT_EQ(cli.status, 130);
    EXPECT_TRUE(cli.err.contains("interrupted while programming")) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("half-written")) << cli.err.toStdString();
    EXPECT_FALSE(cli.out.contains(kSuccess));
    EXPECT_FALSE(cli.out.contains(kTimeOut)) << "an abandoned job shows no time-out";
    const Finished verdict = sim.finish();
    EXPECT_TRUE(verdict.out.contains("incomplete")) << verdict.out.toStdString();
}

TEST(CliTerminal, SigtermAndSighupDuringProgrammingExitWith143And129)
{
    for (const auto &[signal, status] : {std::pair{SIGTERM, 143}, std::pair{SIGHUP, 129}}) {
        Sim sim({"--delay-ms", "150"});
        const Finished cli = interruptAfter("Programing...", signal, sim);
        EXPECT_EQ(cli.status, status);
        EXPECT_TRUE(cli.err.contains("interrupted while programming")) << cli.err.toStdString();
    }
}

// With both firmwares, the units counted are the ARM job's own.
TEST(CliTerminal, AnInterruptInTheArmJobAfterTheDspCountsTheArmJobsUnits)
{
    Sim sim({"--devices", "1"});
    const Finished cli = runCliUntil({"--tcp", sim.tcpTarget(), "--dsp", samples().dspHex, "--arm",
                                      samples().armImage, "--restart-wait", "0"},
                                     "Connecting...", SIGINT);
    EXPECT_EQ(cli.status, 130);
    const QRegularExpression units(
        "ARM firmware: interrupted \\w+ \\w+ \\(job state \\d+, (\\d+) units? sent");
    const QRegularExpressionMatch m = units.match(cli.err);
    ASSERT_TRUE(m.hasMatch()) << cli.err.toStdString();
    EXPECT_LE(m.captured(1).toInt(), 13) << "the ARM job sends 13 units; the DSP job sent 380";
}

// Under nohup, or as a background job of a non-interactive shell, a signal is
// ignored when the program starts: it stays ignored, and the update goes on.
TEST(CliTerminal, ASignalIgnoredAtStartStaysIgnoredAndTheUpdateGoesOn)
{
    for (const auto &[signal, name] :
         {std::pair{SIGHUP, "HUP"}, std::pair{SIGINT, "INT"}, std::pair{SIGTERM, "TERM"}}) {
        Sim sim({"--delay-ms", "150"});
        const Finished cli = runCliUntil({"--tcp", sim.tcpTarget(), "--arm", samples().armImage},
                                         "Programing...", signal, name);
        EXPECT_EQ(cli.status, 0) << name << ": " << cli.err.toStdString();
        EXPECT_TRUE(cli.out.contains(kSuccess)) << cli.out.toStdString();
    }
}

// The files are checked before any device is contacted; reading a 1.9 GB image
// through takes seconds, and a signal meanwhile ends the program at once.
TEST(CliTerminal, ASignalWhileTheFilesAreCheckedEndsTheProgramAtOnce)
{
    const QString image = samples().dir + "/large.bin";
    QFile sparse(image);
    ASSERT_TRUE(sparse.open(QIODevice::WriteOnly) && sparse.resize(1900LL << 20));
    for (const auto &[signal, status] :
         {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}, std::pair{SIGHUP, 129}}) {
        QProcess cli;
        cli.start(QStringLiteral(UPDATER_CLI_PATH),
                  {"--tcp", "127.0.0.1:" + QString::number(closedPort()), "--arm", image});
        ASSERT_TRUE(cli.waitForStarted());
        QThread::msleep(300);
        ::kill(static_cast<pid_t>(cli.processId()), signal);
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(cli.waitForFinished(30000));
        EXPECT_LT(clock.elapsed(), 1000);
        EXPECT_EQ(cli.exitCode(), status);
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        EXPECT_TRUE(err.contains("interrupted while the firmware files were checked"))
            << err.toStdString();
    }
}

TEST(CliTerminal, AnInterruptWhileTheEraseIsUnansweredNamesTheErase)
{
    Sim sim({"--silent-from", "1"});
    const QString trace = samples().dir + "/erase-interrupted.trace";
    const Finished cli =
        interruptAfter("Erase...", SIGINT, sim, "--dsp", samples().dspHex, {"--trace", trace});
    EXPECT_EQ(cli.status, 130);
    EXPECT_TRUE(cli.err.contains("interrupted during the erase (job state 2"))
        << cli.err.toStdString();
    // The trace says it too: after a hang-up nobody reads standard error.
    EXPECT_TRUE(readFile(trace).contains("interrupted during the erase"));
    EXPECT_TRUE(cli.err.contains("partly erased")) << cli.err.toStdString();
}

// --list-ports: every port with the COM number that opens it, the devices named by
// UPDATER_COM<n> among them even where the system counts no serial port.

TEST(CliPorts, WithNoPortsTheListingSaysSoAndTtySNIsComNPlusOne)
{
    using updater::cli::PortInfo;
    for (int n = 1; n <= 99; ++n)
        qunsetenv(("UPDATER_COM" + std::to_string(n)).c_str());
    EXPECT_EQ(updater::cli::portListing({}), "no serial ports found\n");

    const PortInfo usb{"/dev/ttyUSB0", "ttyUSB0", "USB-RS485 Cable", "FTDI", "A10K",
                       0x0403,         0x6001};
    const PortInfo uart{"/dev/ttyS2", "ttyS2", {}, {}, {}, {}, {}};
    EXPECT_EQ(
        updater::cli::portListing({usb, uart}),
        "/dev/ttyUSB0: USB-RS485 Cable; manufacturer FTDI; serial number A10K; USB 0403:6001\n"
        "/dev/ttyS2: COM3\n");
}

TEST(CliPorts, APseudoTerminalNamedThroughUpdaterComIsListedWithItsComNumber)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const QString pty = QString::fromLocal8Bit(name);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("UPDATER_COM7", pty);
    env.insert("UPDATER_COM8", samples().dir + "/no-adapter");
    env.insert("UPDATER_COM9", samples().dir);
    env.insert("UPDATER_COM10", samples().dspBin);
    const Finished cli = runCli({"--list-ports"}, 60000, env);
    ::close(slave);
    ::close(master);
    EXPECT_EQ(cli.status, 0);
    const QStringList lines = cli.outLines();
    EXPECT_TRUE(lines.contains(pty + ": COM7 (UPDATER_COM7)")) << cli.out.toStdString();
    EXPECT_TRUE(lines.contains(samples().dir + "/no-adapter: COM8 (UPDATER_COM8); not present"))
        << cli.out.toStdString();
    EXPECT_TRUE(lines.contains(samples().dir + ": COM9 (UPDATER_COM9); not a serial port"))
        << cli.out.toStdString();
    EXPECT_TRUE(lines.contains(samples().dspBin + ": COM10 (UPDATER_COM10); not a serial port"))
        << cli.out.toStdString();
}

// The table's layout on its own: what a narrow terminal keeps of each cell.
TEST(FleetTable, CutsKeepLinksWholeAndCellsApartCountingDisplayWidth)
{
    // The step, then the name give way, then the rate is left out, then the link.
    const std::vector<updater::cli::GiveWay> steps = {{2, 12}, {0, 16}, {3, 0},
                                                      {2, 8},  {0, 10}, {1, 0}};
    const auto row = [](const std::string &name, const std::string &link) {
        return std::vector<std::string>{name, link, "Programing...", "12.3 KiB/s"};
    };
    const std::vector<std::string> header = {"name", "link", "step", "rate"};
    struct Case
    {
        std::size_t width;
        std::vector<std::vector<std::string>> rows;
        std::string expected;
    };
    const auto fleet = [&](const std::string &a, const std::string &b) {
        return std::vector<std::vector<std::string>>{header, row(a, "127.0.0.1:47104"),
                                                     row(b, "127.0.0.1:47105")};
    };
    const Case cases[] = {
        {60, fleet("plantA-block05-string3", "plantA-block05-string4"),
         "name               link             step          rate\n"
         "…-block05-string3  127.0.0.1:47104  Programing…   12.3 KiB/s\n"
         "…-block05-string4  127.0.0.1:47105  Programing…   12.3 KiB/s\n"},
        {50, fleet("plantA-block05-string3", "plantA-block05-string4"),
         "name                 link             step\n"
         "…tA-block05-string3  127.0.0.1:47104  Programing…\n"
         "…tA-block05-string4  127.0.0.1:47105  Programing…\n"
         "no room for rate\n"},
        {50,
         {header, row("plantA-block05-string3", "127.0.0.1:47104"),
          row("Wechselrichter Süd 1", "127.0.0.1:47105"),
          row("plantA-block05-string4", "127.0.0.1:47106")},
         "name                 link             step\n"
         "…tA-block05-string3  127.0.0.1:47104  Programing…\n"
         "Wechselrichter Süd…  127.0.0.1:47105  Programing…\n"
         "…tA-block05-string4  127.0.0.1:47106  Programing…\n"
         "no room for rate\n"},
        {40, fleet("plantA-block05-string3-inverter", "plantA-block05-string4-inverter"),
         "name           link             step\n"
         "…ng3-inverter  127.0.0.1:47104  Program…\n"
         "…ng4-inverter  127.0.0.1:47105  Program…\n"
         "no room for rate\n"},
        {22, fleet("north-03-string1-inverter-west", "north-03-string2-inverter-west"),
         "name          step\n"
         "…1-inverter…  Program…\n"
         "…2-inverter…  Program…\n"
         "no room for rate, link\n"},
        {22, fleet("中文逆变器一号", "中文逆变器二号"),
         "name          step\n"
         "…逆变器一号   Program…\n"
         "…逆变器二号   Program…\n"
         "no room for rate, link\n"},
    };
    for (const Case &c : cases) {
        const std::string text = updater::cli::columns(c.rows, c.width, steps);
        EXPECT_EQ(text, c.expected) << c.width << "\n" << text;
        std::size_t from = 0;
        for (std::size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1)
            EXPECT_LE(updater::cli::displayWidth(text.substr(from, end - from)), c.width);
    }
}
