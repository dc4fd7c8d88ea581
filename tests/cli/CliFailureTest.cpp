#include "CliTestSupport.h"
#include "WireUnits.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace clitest;

// Exit status 2: the command line or the firmware file is refused, and the device
// is never contacted.

TEST(CliRefusal, AHexFileWithABadChecksumIsRefusedNamingFileAndLineBeforeAnythingIsSent)
{
    Sim sim({});
    const Finished cli = runCli({"--tcp", sim.tcpTarget(), "--dsp", samples().badHex});
    EXPECT_EQ(cli.status, 2);
    EXPECT_TRUE(cli.err.contains("Firmware file refused!")) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains(samples().badHex + ": line 3: checksum mismatch"))
        << cli.err.toStdString();
    EXPECT_EQ(cli.out, QString());
    const Finished verdict = sim.terminate();
    EXPECT_FALSE(verdict.out.contains("verdict"))
        << "the simulator saw no job: " << verdict.out.toStdString();
}

TEST(CliRefusal, AMissingOrEmptyFirmwareFileIsRefusedByName)
{
    const QString missing = samples().dir + "/nothere.hex";
    Finished cli = runCli({"--tcp", "127.0.0.1", "--dsp", missing});
    EXPECT_EQ(cli.status, 2);
    EXPECT_TRUE(cli.err.contains(missing + ": the file does not exist")) << cli.err.toStdString();

    const QString empty = samples().dir + "/empty.bin";
    QFile(empty).open(QIODevice::WriteOnly);
    cli = runCli({"--tcp", "127.0.0.1", "--arm", empty});
    EXPECT_EQ(cli.status, 2);
    EXPECT_TRUE(cli.err.contains(empty + ": the file is empty")) << cli.err.toStdString();
}

TEST(CliRefusal, UsageErrorsExitWithTwoAndAReason)
{
    const QString hex = samples().dspHex;
    const QList<QPair<QStringList, QString>> cases = {
        {{}, "no link"},
        {{"--tcp", "127.0.0.1"}, "no firmware file"},
        {{"--tcp", "127.0.0.1", "--dsp", hex, "--dsp", hex}, "give --dsp once"},
        {{"--tcp", "127.0.0.1", "--fleet", "site.csv"}, "--fleet takes the links from"},
        {{"--tcp", "127.0.0.1", "--dsp", hex, "--report", "r.json"}, "go with --fleet"},
        {{"--tcp", "127.0.0.1", "--serial", "COM1", "--dsp", hex}, "give one link"},
        {{"--tcp", "300.1.1.1", "--dsp", hex}, "not an IPv4 address"},
        {{"--tcp", "10.0.0.256", "--dsp", hex}, "not an IPv4 address"},
        {{"--serial", "COM0", "--dsp", hex}, "COM ports are numbered 1 to 99"},
        {{"--tcp", "127.0.0.1:0", "--dsp", hex}, "TCP port must be 1 to 65535"},
        {{"--serial", "COM100", "--dsp", hex}, "COM ports are numbered 1 to 99"},
        {{"--serial", "COM1", "--dsp", hex, "--bogus"}, "unknown argument \"--bogus\""},
        {{"--serial", "COM1", "--dsp"}, "--dsp needs a value"},
        {{"--serial", "", "--dsp", hex}, "--serial needs a port name"},
        {{"--quiet=no", "--serial", "COM1", "--dsp", hex}, "--quiet takes no value"},
        {{"--fleet", "site.csv", "--dsp", hex, "--jobs", "0"}, "from 1 to 1024"},
        {{"--tcp", "127.0.0.1", "--dsp", hex, "--only-failed", "r.json"}, "go with --fleet"},
        // They print and end: an exit status of 0 must not read as an update.
        {{"--version", "--tcp", "127.0.0.1", "--dsp", hex}, "--version goes alone"},
        {{"--tcp", "127.0.0.1", "--dsp", hex, "--list-ports"}, "--list-ports goes alone"},
        {{"--list-ports", "--fleet", "site.csv"}, "--list-ports goes alone"},
        {{"--list-ports", "--quiet"}, "--list-ports goes alone"},
        {{"--version", "--list-ports"}, "--version goes alone"},
        {{"--list-ports=all"}, "--list-ports takes no value"},
        // Addresses that reach no inverter: this PC itself, every host, a group.
        {{"--tcp", "0.0.0.0", "--dsp", hex}, "0.0.0.0 is not the address of an inverter"},
        {{"--tcp", "000.0.0.0:8899", "--dsp", hex}, "0.0.0.0 is not the address of an inverter"},
        {{"--tcp", "255.255.255.255", "--dsp", hex}, "a broadcast address, not the address of"},
        {{"--tcp", "224.0.0.1", "--dsp", hex}, "a multicast address, not the address of"},
        {{"--tcp", "239.255.255.250:8899", "--dsp", hex}, "a multicast address, not the"},
        // An option given twice is a mistake in a script, not a choice of the last one.
        {{"--tcp", "127.0.0.1", "--dsp", hex, "--trace", "a.log", "--trace", "b.log"},
         "give --trace once"},
        {{"--tcp", "127.0.0.1", "--arm", hex, "--arm=" + hex}, "give --arm once"},
        {{"--fleet", "site.csv", "--dsp", hex, "--jobs", "2", "--jobs", "3"}, "give --jobs once"},
        {{"--fleet", "site.csv", "--fleet", "other.csv", "--dsp", hex}, "give --fleet once"},
        {{"--fleet", "site.csv", "--dsp", hex, "--report", "a.json", "--report=b.json"},
         "give --report once"},
        {{"--tcp", "127.0.0.1", "--dsp", hex, "--quiet", "-q"}, "give --quiet once"},
    };
    for (const auto &[args, reason] : cases) {
        const Finished cli = runCli(args);
        EXPECT_EQ(cli.status, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(cli.err.contains(reason)) << cli.err.toStdString();
        EXPECT_TRUE(cli.err.contains("--help")) << cli.err.toStdString();
    }
}

// What the run writes, and the fleet file it reads, must be plain files (a folder
// for --trace-dir): a FIFO would block the program in open(), the serial port
// would take the trace's text before the erase command.
TEST(CliRefusal, PathsThatAreNoPlainFilesAreRefusedBeforeAnythingIsOpened)
{
    Sim sim({}, true);
    const QString hex = samples().dspHex;
    const QString fifo = samples().dir + "/fifo";
    ::mkfifo(fifo.toLocal8Bit().constData(), 0600);
    const QString fleet = samples().dir + "/paths.csv";
    QFile f(fleet);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("name,link\nd,tcp:127.0.0.1:1\n");
    f.close();
    const QList<QPair<QStringList, QString>> cases = {
        {{"--serial", sim.device(), "--dsp", hex, "--trace", sim.device()},
         "is a character device"},
        {{"--tcp", "127.0.0.1", "--dsp", hex, "--trace", fifo}, "is a FIFO"},
        {{"--fleet", fifo, "--dsp", hex}, "is a FIFO"},
        {{"--fleet", fleet, "--dsp", hex, "--report", fifo}, "is a FIFO"},
        {{"--fleet", fleet, "--dsp", hex, "--report", "/dev/full"}, "is a character device"},
        {{"--fleet", fleet, "--dsp", hex, "--trace-dir", hex}, "not a folder"},
        {{"--fleet", samples().dir, "--dsp", hex}, "is a folder"},
    };
    for (const auto &[args, reason] : cases) {
        const Finished cli = runCli(args, 5000);
        EXPECT_EQ(cli.status, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(cli.err.contains(reason)) << cli.err.toStdString();
    }
    EXPECT_FALSE(sim.terminate().out.contains("verdict")) << "nothing reached the device";
}

TEST(CliRefusal, ATraceFileThatIsTheFirmwareFileByAnyNameIsRefusedAndTheFileKept)
{
    const QString firmware = samples().dir + "/kept.bin";
    QFile::copy(samples().armImage, firmware);
    QFile::link(firmware, samples().dir + "/kept-symlink.bin");
    ::link(firmware.toLocal8Bit().constData(), (samples().dir + "/kept-hard.bin").toLocal8Bit());
    const QString names[] = {firmware, samples().dir + "/./kept.bin",
                             samples().dir + "/kept-symlink.bin", samples().dir + "/kept-hard.bin"};
    for (const QString &trace : names) {
        // The image given as either kind, and as the second firmware of a whole inverter.
        const QStringList firmwareArgs[] = {{"--arm", firmware},
                                            {"--dsp", firmware},
                                            {"--dsp", samples().dspHex, "--arm", firmware}};
        for (const QStringList &given : firmwareArgs) {
            const Finished cli =
                runCli(QStringList{"--tcp", "127.0.0.1", "--trace", trace} + given);
            EXPECT_EQ(cli.status, 2) << trace.toStdString();
            EXPECT_TRUE(cli.err.contains("this is the firmware file")) << cli.err.toStdString();
            EXPECT_EQ(readFile(firmware), readFile(samples().armImage)) << trace.toStdString();
        }
    }
}

TEST(CliRefusal, HelpListsTheExitStatusesAndVersionNamesTheProgram)
{
    const Finished help = runCli({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *part : {"--serial PORT", "--tcp ADDR[:PORT]", "--trace FILE", "143"})
        EXPECT_TRUE(help.out.contains(part)) << part;
    EXPECT_TRUE(help.out.contains("firmware file failed while it was being sent"));
    const Finished version = runCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Updater V10.14\n");
}

// Exit status 3: the link cannot be opened; the reason goes to standard error.

TEST(CliLink, AMissingSerialDeviceExitsWithThree)
{
    const Finished cli = runCli({"--serial", "/dev/ttyNoSuchPort", "--dsp", samples().dspHex});
    EXPECT_EQ(cli.status, 3);
    EXPECT_TRUE(cli.err.contains("/dev/ttyNoSuchPort: no such port")) << cli.err.toStdString();
    EXPECT_EQ(cli.out, QString());
}

TEST(CliLink, AComPortNameSaysWhichDeviceItStandsFor)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("UPDATER_COM9", samples().dir + "/no-adapter");
    const Finished cli = runCli({"--serial", "COM9", "--arm", samples().armImage}, 60000, env);
    EXPECT_EQ(cli.status, 3);
    EXPECT_TRUE(cli.err.contains("COM9 (" + samples().dir + "/no-adapter): no such port"))
        << cli.err.toStdString();
}

TEST(CliLink, AFileOrADeviceThatIsNoSerialPortExitsWithThree)
{
    for (const QString &port :
         {samples().dspBin, QString("/dev/null"), QString("/dev/zero"), QString("/dev/tty")}) {
        const Finished cli = runCli({"--serial", port, "--dsp", samples().dspHex});
        EXPECT_EQ(cli.status, 3);
        EXPECT_TRUE(cli.err.contains(port + ": not a serial port")) << cli.err.toStdString();
    }
}

TEST(CliLink, ARefusedConnectionExitsWithThreeAndTheReason)
{
    const QString target = "127.0.0.1:" + QString::number(closedPort());
    const Finished cli = runCli({"--tcp", target, "--arm", samples().armImage});
    EXPECT_EQ(cli.status, 3);
    EXPECT_TRUE(cli.err.contains("Cannot connect to 127.0.0.1 port")) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("refused")) << cli.err.toStdString();
    EXPECT_EQ(cli.out, QString());
}

// A connection that the device drops during the job ends the job at once: nothing
// more can reach the device, so its wait is not run out.
TEST(CliLink, AConnectionDroppedDuringTheJobEndsItAtOnceSayingWhereItStopped)
{
    Sim sim({"--drop-after", "5"});
    QElapsedTimer clock;
    clock.start();
    const Finished cli = runCli({"--tcp", sim.tcpTarget(), "--arm", samples().armImage});
    EXPECT_LT(clock.elapsed(), 4000) << "a lost link does not wait for the 5 s time-out";
    EXPECT_EQ(cli.status, 1);
    EXPECT_TRUE(cli.err.contains("was closed")) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("link lost while programming (job state 10, 5 units sent"))
        << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("the device may be half-written")) << cli.err.toStdString();
    EXPECT_FALSE(cli.out.contains(kTimeOut)) << cli.out.toStdString();
    const Finished verdict = sim.finish();
    EXPECT_EQ(verdict.status, 1);
    EXPECT_TRUE(verdict.out.contains("connection dropped after unit 5"))
        << verdict.out.toStdString();
}

// A device that acknowledges every record twice lets the job end while records
// still wait in the link. When the line is then hung up they never leave: the run
// must not end as a success, whatever the device acknowledged.
TEST(CliLink, ALineHungUpBeforeTheLastRecordsLeftIsNoSuccess)
{
    // 4096 records: far more than a pseudo-terminal holds once its reader stops.
    const QString hex = samples().dir + "/4096-records.hex";
    QFile file(hex);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::fromStdString(testsupport::hexOfRecords(4096)));
    file.close();
    Sim sim({"--duplicate-from", "1", "--drop-after", "2100", "--hang-up", "--fast-line"}, true);
    const Finished cli = runCli({"--serial", sim.device(), "--dsp", hex});
    EXPECT_EQ(cli.status, 1);
    EXPECT_TRUE(cli.err.contains("the link closed before the whole firmware was written to it"))
        << cli.err.toStdString();
    EXPECT_TRUE(sim.finish().out.contains("line hung up after unit 2100"));
}

// No device on a 9600-baud line answers a unit before the unit has crossed it:
// answers that come sooner are noise or another device's.
TEST(CliLink, AnswersSoonerThanA9600BaudLineCarriesTheUnitFailTheRun)
{
    Sim sim({"--fast-line", "--expect", samples().armImage}, true);
    const Finished cli = runCli({"--serial", sim.device(), "--arm", samples().armImage});
    EXPECT_EQ(cli.status, 1);
    EXPECT_TRUE(cli.err.contains("answers came faster than a 9600-baud line can carry the units"))
        << cli.err.toStdString();
    EXPECT_FALSE(cli.out.contains("Download file success!")) << cli.out.toStdString();
    EXPECT_TRUE(sim.finish().out.contains("result: PASS"));
}

TEST(CliLink, ASerialPortInUseByAnotherUpdateExitsWithThreeAndSaysItIsBusy)
{
    Sim sim({"--delay-ms", "100"}, true);
    QProcess first;
    first.start(QStringLiteral(UPDATER_CLI_PATH),
                {"--serial", sim.device(), "--arm", samples().armImage});
    QByteArray said;
    while (!said.contains("Connecting...") && first.waitForReadyRead(10000))
        said += first.readAllStandardOutput();
    ASSERT_TRUE(said.contains("Connecting...")) << "the first update holds the port";
    const Finished second = runCli({"--serial", sim.device(), "--arm", samples().armImage});
    EXPECT_EQ(second.status, 3);
    EXPECT_TRUE(second.err.contains(sim.device() + ": the port is busy"))
        << second.err.toStdString();
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(first.exitCode(), 0) << "the first update goes on undisturbed";
}

// One device, whichever way the command line names it: --dsp alone, --dsp with
// --arm (the DSP firmware fails first), or a fleet file of one row. The same
// failure ends with the same exit status, the same words on standard error and
// the same last lines in the trace.
TEST(CliOneDevice, TheSameFailureEndsTheSameWayThroughEveryPath)
{
    struct Failure
    {
        const char *name;
        QStringList sim;  // the simulated device's fault
        bool noDevice;    // nothing listens on the port
        bool badFile;     // the DSP file has a wrong checksum on line 3
        const char *said; // stdout text after which SIGTERM comes ("" none)
        int status;
        QString err;       // on standard error, whatever the path
        QStringList trace; // the trace's last notes, in order
    };
    const Failure failures[] = {
        {"refused file", {}, false, true, "", 2, "line 3: checksum mismatch", {"exit: 2"}},
        {"no link",
         {},
         true,
         false,
         "",
         3,
         "Connection refused",
         {"end: link not opened", "exit: 3"}},
        {"time-out",
         {"--nak-from", "3"},
         false,
         false,
         "",
         1,
         "time-out while programming (job state 3, 3 units sent",
         {"message: " + kTimeOut, "end: time-out", "exit: 1"}},
        {"lost link",
         {"--drop-after", "5"},
         false,
         false,
         "",
         1,
         "link lost while programming (job state 3, ",
         {"end: link lost", "exit: 1"}},
        {"interrupt",
         {"--silent-from", "1"},
         false,
         false,
         "Erase...",
         143,
         "interrupted during the erase (job state 2, 1 unit sent",
         {"signal: ", "interrupted during the erase", "end: interrupted", "exit: 143"}},
    };
    for (const Failure &f : failures) {
        for (const char *path : {"--dsp", "--dsp --arm", "--fleet"}) {
            SCOPED_TRACE(std::string(f.name) + " through " + path);
            Sim sim(f.sim);
            const QString target =
                f.noDevice ? "127.0.0.1:" + QString::number(closedPort()) : sim.tcpTarget();
            const QString hex = f.badFile ? samples().badHex : samples().dspHex;
            const QString dir = samples().dir + "/one-device";
            QStringList args = {"--dsp", hex};
            QString trace = dir + "/d.trace";
            if (QString(path) == "--fleet") {
                QDir().mkpath(dir);
                QFile fleet(dir + "/one.csv");
                EXPECT_TRUE(fleet.open(QIODevice::WriteOnly));
                fleet.write(("name,link\nd,tcp:" + target + "\n").toUtf8());
                fleet.close();
                args += {"--fleet", fleet.fileName(), "--trace-dir", dir};
            } else {
                trace = dir + "-" + QString(path).mid(2).replace(' ', '_') + ".trace";
                args += {"--tcp", target, "--trace", trace};
                if (QString(path) == "--dsp --arm")
                    args += {"--arm", samples().armImage};
            }
            const Finished cli = *f.said ? runCliUntil(args, f.said, SIGTERM) : runCli(args);
            EXPECT_EQ(cli.status, f.status) << cli.err.toStdString();
            EXPECT_TRUE(cli.err.contains(f.err)) << cli.err.toStdString();
            const QString log = QString::fromUtf8(readFile(trace));
            qsizetype at = 0;
            for (const QString &note : f.trace) {
                at = log.indexOf(note, at);
                ASSERT_GE(at, 0) << "missing, or out of order: " << note.toStdString() << "\n"
                                 << log.right(1500).toStdString();
            }
        }
    }
}
