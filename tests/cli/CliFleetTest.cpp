#include "CliTestSupport.h"
#include "FleetFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

#include <csignal>

using namespace clitest;

namespace {

QString writeFleetFile(const QString &name, const QString &text)
{
    const QString path = samples().dir + "/" + name;
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text.toUtf8());
    return path;
}

QString tcpRow(const QString &name, quint16 port, const QString &extra = {})
{
    return name + ",tcp:127.0.0.1:" + QString::number(port) + extra + "\n";
}

} // namespace

// Eight devices at once: three clean, one that answers every unit twice from its
// fifth (more answers than units: a noisy line, tried again), one silent from its
// third unit, one that drops the connection after its third unit, one whose first
// attempt goes silent and whose retry passes, and one whose connection is refused. Each ends on its
// own; the report, the summary and the exit status tell which.
TEST(CliFleet, EightDevicesEndEachOnItsOwnAndTheReportSummaryAndExitStatusSayHow)
{
    Sim sim({"--devices", "7", "--duplicate-from", "5@2", "--silent-from", "3@4", "--drop-after",
             "3@5", "--silent-once-from", "3@6"});
    const quint16 p = sim.port();
    const QString report = samples().dir + "/fleet-report.json";
    const QString traces = samples().dir + "/fleet-traces";
    // The fleet file in a folder of its own names inv-7's ARM image from there, not
    // from the working directory; the DSP file's name holds a backslash.
    const QString fleet = writeFleetFile(
        "site/site.csv", "# site A\nname,link,arm\n" + tcpRow("inv-1", p, ",") +
                             tcpRow("inv-2", p + 1, ",") + tcpRow("inv-3", p + 2, ",") +
                             tcpRow("inv-4", p + 3, ",") + tcpRow("inv-5", p + 4, ",") + "\n" +
                             tcpRow("inv-6", p + 5, ",") + tcpRow("inv-7", p + 6, ",../arm.bin") +
                             tcpRow("inv-8", closedPort(), ","));
    const QString dsp = samples().dir + "/site/dsp\\v2.hex";
    QFile::copy(samples().dspHex, dsp);
    const Finished cli = runCli({"--fleet", fleet, "--dsp", dsp, "--retries", "1", "--jobs", "8",
                                 "--report", report, "--trace-dir", traces});
    EXPECT_EQ(cli.status, 1) << cli.err.toStdString();

    const QJsonObject run = QJsonDocument::fromJson(readFile(report)).object();
    EXPECT_EQ(run["exitStatus"].toInt(), 1);
    const QJsonArray firmware = run["firmware"].toArray();
    ASSERT_EQ(firmware.size(), 2) << "each firmware file once";
    EXPECT_EQ(firmware[0].toObject()["size"].toInt(), readFile(samples().dspHex).size());
    EXPECT_EQ(firmware[0].toObject()["path"].toString().toStdString(), dsp.toStdString());
    struct Expected
    {
        const char *outcome;
        int attempts;
        const char *firmware; // the one that failed
        const char *step;
    };
    const Expected expected[] = {
        {"success", 1, nullptr, nullptr},       {"too many answers", 2, "dsp", "programming"},
        {"success", 1, nullptr, nullptr},       {"time-out", 2, "dsp", "programming"},
        {"link lost", 2, "dsp", "programming"}, {"success", 2, nullptr, nullptr},
        {"success", 1, nullptr, nullptr},       {"link not opened", 2, "dsp", "not started"},
    };
    const QJsonArray devices = run["devices"].toArray();
    ASSERT_EQ(devices.size(), 8);
    for (int i = 0; i < 8; ++i) {
        const QJsonObject d = devices[i].toObject();
        const Expected &e = expected[i];
        SCOPED_TRACE(d["name"].toString().toStdString());
        EXPECT_EQ(d["name"].toString(), QString("inv-%1").arg(i + 1));
        EXPECT_EQ(d["outcome"].toString(), e.outcome);
        EXPECT_EQ(d["attempts"].toInt(), e.attempts);
        EXPECT_EQ(d["firmware"].toString(), e.firmware ? e.firmware : "");
        EXPECT_EQ(d["failedStep"].toString(), e.step ? e.step : "");
        if (e.firmware == nullptr) {
            EXPECT_EQ(d["message"].toString(), kSuccess);
        }
        EXPECT_TRUE(QFile::exists(traces + "/" + d["name"].toString() + ".trace"));
    }
    EXPECT_EQ(devices[6].toObject()["unitsSent"].toInt(),
              devices[0].toObject()["unitsSent"].toInt() + 15)
        << "inv-7 also had its own ARM image: wake-up, digit, header, 10 blocks, EOT, end block";
    EXPECT_EQ(devices[6].toObject()["bytesSent"].toInt() -
                  devices[0].toObject()["bytesSent"].toInt(),
              3 + 1 + 133 + 10 * 1029 + 1 + 133);
    int dspBytes = 8; // the erase command, then each line's digit pairs as bytes
    for (const QByteArray &line : readFile(samples().dspHex).split('\n'))
        dspBytes += static_cast<int>(line.trimmed().size() / 2);
    EXPECT_EQ(devices[0].toObject()["bytesSent"].toInt(), dspBytes);

    // Each line not on a terminal carries the time of day: when each device failed.
    EXPECT_TRUE(QRegularExpression("\\n\\d\\d:\\d\\d:\\d\\d inv-4 127\\.0\\.0\\.1:" +
                                   QString::number(p + 3) + " Programing\\.\\.\\.\\n")
                    .match(cli.out)
                    .hasMatch())
        << "one line per status change, named";
    EXPECT_TRUE(cli.out.contains("8 devices: 4 succeeded, 4 failed")) << cli.out.toStdString();
    EXPECT_TRUE(cli.out.contains("may be half-written, run the update again: inv-2 inv-4 inv-5"))
        << cli.out.toStdString();
    const QStringList summary = cli.out.section("\n\n", -1).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(summary.size(), 9);
    EXPECT_TRUE(summary[0].startsWith("name")) << summary[0].toStdString();
    EXPECT_TRUE(summary[4].contains("time-out") && summary[4].contains("DSP while programming"))
        << summary[4].toStdString();

    const QString verdicts = sim.terminate().out;
    // inv-2 took both of its attempts whole: it reads everything it was sent.
    EXPECT_EQ(verdicts.count("result: PASS"), 3 + 2 + 1 + 1) << verdicts.toStdString();
    EXPECT_TRUE(
        verdicts.contains("device 7 (127.0.0.1:" + QString::number(p + 6) + ")\nverdict: ARM job"))
        << verdicts.toStdString();
}

// A row that would not do is refused before any device is contacted, naming the
// file and the line.
TEST(CliFleet, FleetFileFaultsAreRefusedNamingFileAndLineBeforeAnyDeviceIsContacted)
{
    Sim sim({"--devices", "1"});
    const QString ok = tcpRow("a", sim.port());
    // Serial ports named two ways: COM64 and its default device (none on a test
    // machine: a row let through opens nothing), COM2 through its variable and a
    // link to that device.
    const QString tty = samples().dir + "/ttyInverter";
    const QString byId = samples().dir + "/by-id-inverter";
    QFile(tty).open(QIODevice::WriteOnly);
    QFile::link(tty, byId);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("UPDATER_COM64");
    env.insert("UPDATER_COM2", tty);
    // The name whose trace file would be that of "a b".
    const QString folded = QString::fromStdString(updater::cli::traceFileName("a b")).chopped(6);
    const QList<QPair<QString, QString>> cases = {
        {"name,link,colour\n", ":1: unknown column \"colour\""},
        {"name,dsp\n", ":1: the header line must name the columns name and link"},
        {"name,link\n" + ok + "a,tcp:10.0.0.7\n", ":3: name \"a\" already on line 2"},
        {"name,link\n" + ok + "b,tcp:127.0.0.1:" + QString::number(sim.port()) + "\n",
         ":3: 127.0.0.1:" + QString::number(sim.port()) + " already on line 2"},
        {"name,link\n" + ok + "b,tcp:127.0.0.01:" + QString::number(sim.port()) + "\n",
         ":3: 127.0.0.1:" + QString::number(sim.port()) + " already on line 2"},
        {"name,link\n" + ok + "b,tcp:10.0.0.010\nc,tcp:10.0.0.10:8899\n",
         ":4: 10.0.0.10:8899 already on line 3"},
        {"name,link\n# serial\n" + ok + "b,serial:COM3\nc,serial:com3\n",
         ":5: COM3 already on line 4"},
        {"name,link\n" + ok + "b,serial:COM64\nc,serial:/dev/ttyS63\n",
         ":4: /dev/ttyS63 already on line 3 as COM64"},
        {"name,link\n" + ok + "b,serial:" + byId + "\nc,serial:COM2\n",
         ":4: COM2 already on line 3 as " + byId},
        {"name,link\n" + ok + "A,tcp:10.0.0.7\n", ":3: name \"A\" already on line 2"},
        {"name,link\n" + tcpRow(QString(64, 'n'), sim.port()) + QString(65, 'n') +
             ",tcp:10.0.0.7\n",
         ":3: name \"" + QString(65, 'n') + "\""},
        // Saved as "CSV UTF-8": a byte order mark, and the header as the sheet shows it.
        {"\xEF\xBB\xBFName,LINK\n" + ok + "a,tcp:10.0.0.7\n", ":3: name \"a\" already on line 2"},
        {"name,link,\x1b[2J\n", ":1: unknown column \"\\x1b[2J\""},
        {"name,link\n" + ok + "b" + QChar(0) + "c,tcp:10.0.0.7\n", ":3: name \"b\\x00c\""},
        {"name,link\n" + ok + "b,tcp:10.0.0.7\xC2\x9B" + "2J\n",
         ":3: link \"tcp:10.0.0.7\\xc2\\x9b2J\""},
        {"name,link,dsp\nb,tcp:10.0.0.7,\x1b[2J.hex\n", ":2: dsp \"\\x1b[2J.hex\""},
        {"name,link\n" + ok + "b,tcp:10.0.0.300\n",
         ":3: link \"tcp:10.0.0.300\": \"10.0.0.300\" is not an IPv4 address"},
        {"name,link\n" + ok + "b,udp:10.0.0.7\n", ":3: link \"udp:10.0.0.7\": give tcp:"},
        // Every bad row in one pass, and names from a sheet in any script.
        {"name,link\nb/c,tcp:10.0.0.7\nd,udp:10.0.0.8\n" + ok, ":2: name \"b/c\"\n:3: link \"udp:"},
        {"name,link\n" + tcpRow("Süd 1", sim.port()) + "SÜD 1,tcp:10.0.0.7\n",
         ":3: name \"SÜD 1\" already on line 2 as \"Süd 1\""},
        {"name,link\n" + ok + tcpRow("इन्वर्टर-1", sim.port()),
         ":3: 127.0.0.1:" + QString::number(sim.port()) + " already on line 2"},
        {"name,link\n" + ok + tcpRow("中文 逆变器_1.a", sim.port()),
         ":3: 127.0.0.1:" + QString::number(sim.port()) + " already on line 2"},
        // A German sheet: ';' between the fields; blank rows and empty columns after the last.
        {"\xEF\xBB\xBFname;link\n" + QString(ok).replace(',', ';') + "a;tcp:10.0.0.7\n",
         ":3: name \"a\" already on line 2"},
        {"name,link,,\n,,,\n" + tcpRow("a", sim.port(), ",,") + ",,\na,tcp:10.0.0.7,,\n",
         ":5: name \"a\" already on line 3"},
        {"name,link\na b,tcp:10.0.0.7\n" + folded + ",tcp:10.0.0.8\n",
         ":3: name \"" + folded + "\": its trace file " + folded + ".trace is that of \"a b\""},
        {"name,link,dsp\nb,tcp:10.0.0.7,missing.hex\n",
         ":2: dsp file " + samples().dir + "/missing.hex: no such file"},
        {"name,link\n" + ok + "b,tcp:10.0.0.7,x\n", ":3: 3 fields, but the header names 2"},
        {"name,link,dsp\nb,tcp:127.0.0.1:1," + samples().badHex + "\n",
         samples().badHex + ": line 3: checksum mismatch"},
        {"# nothing\n", ": no header line"},
    };
    for (const auto &[text, reason] : cases) {
        const QString fleet = writeFleetFile("refused.csv", text);
        const Finished cli = runCli({"--fleet", fleet, "--dsp", samples().dspHex}, 60000, env);
        EXPECT_EQ(cli.status, 2) << text.toStdString();
        for (const QString &part : reason.split('\n')) {
            const QString where = part.startsWith(":") ? fleet : QString();
            EXPECT_TRUE(cli.err.contains(where + part)) << text.toStdString() << "\n"
                                                        << cli.err.toStdString();
        }
    }
    const Finished none = runCli({"--fleet", writeFleetFile("nofirmware.csv", "name,link\n" + ok)});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(none.err.contains(":2: no firmware for \"a\"")) << none.err.toStdString();
    // A sheet saved in a legacy code page: its bytes are shown, not passed to the terminal.
    QFile legacy(samples().dir + "/legacy.csv");
    legacy.open(QIODevice::WriteOnly);
    legacy.write("name,link\nS\xFC"
                 "d,tcp:10.0.0.7\n");
    legacy.close();
    const Finished shown = runCli({"--fleet", legacy.fileName(), "--dsp", samples().dspHex});
    EXPECT_TRUE(shown.err.contains(":2: name \"S\\xfcd\"")) << shown.err.toStdString();
    // A report that would empty the fleet file it was given.
    const QString fleet = writeFleetFile("kept.csv", "name,link\n" + ok);
    const Finished clash = runCli({"--fleet", fleet, "--dsp", samples().dspHex, "--report", fleet});
    EXPECT_EQ(clash.status, 2);
    EXPECT_TRUE(clash.err.contains("this is the fleet file")) << clash.err.toStdString();
    EXPECT_EQ(readFile(fleet), ("name,link\n" + ok).toUtf8());
    EXPECT_FALSE(sim.terminate().out.contains("verdict")) << "no device was contacted";
}

// A trace file per device, named safely on every system: a name other than plain
// ASCII is folded to it and followed by a hash of the name, so that names folded
// alike keep files of their own.
TEST(CliFleet, EachDeviceGetsATraceFileNameOfItsOwnSafeOnEverySystem)
{
    const std::pair<const char *, const char *> cases[] = {
        {"inv-07.a_b", "inv-07\\.a_b\\.trace"},
        {"Wechselrichter Süd 1", "Wechselrichter_Sud_1-[0-9a-f]{8}\\.trace"},
        {"中文 逆变器1", "______1-[0-9a-f]{8}\\.trace"},
        {"COM1", "COM1-[0-9a-f]{8}\\.trace"},
        {"nul.x", "nul\\.x-[0-9a-f]{8}\\.trace"},
    };
    for (const auto &[name, pattern] : cases) {
        const QString file = QString::fromStdString(updater::cli::traceFileName(name));
        EXPECT_TRUE(QRegularExpression(QString("^") + pattern + "$").match(file).hasMatch())
            << name << ": " << file.toStdString();
    }
    QSet<std::string> files;
    for (const char *name : {"a b", "a_b", "a-b", "Süd", "Sud",
                             "Su\xCC\x88"
                             "d"})
        files.insert(updater::cli::traceFileName(name));
    EXPECT_EQ(files.size(), 6);
}

// Both firmwares of one inverter in one run: the DSP job, then, once the device has
// closed the link as it restarts, the link opened again and the ARM job.
TEST(CliFleet, DspThenArmInOneRunOpensTheLinkAgainAfterTheDeviceClosedIt)
{
    Sim sim({"--devices", "1"});
    const QString trace = samples().dir + "/dsp-then-arm.trace";
    const Finished cli = runCli({"--tcp", sim.tcpTarget(), "--dsp", samples().dspHex, "--arm",
                                 samples().armImage, "--restart-wait", "1", "--trace", trace});
    EXPECT_EQ(cli.status, 0) << cli.err.toStdString();
    // One success for the device, once both firmwares are written.
    QStringList dsp = kDspLines;
    dsp.removeAll(kSuccess);
    const QStringList wanted = dsp +
                               QStringList{"DSP firmware written; opening the link again for "
                                           "the ARM firmware"} +
                               kArmLines;
    EXPECT_EQ(cli.outLines(), wanted) << cli.out.toStdString();
    // The ARM wake-up waits for the inverter's restart: nothing goes out before.
    const QString log = QString::fromUtf8(readFile(trace));
    const auto msOf = [&log](const QString &note, qsizetype from) {
        const qsizetype at = log.indexOf(note, from);
        const qsizetype line = log.lastIndexOf('\n', at) + 1;
        return at < 0 ? -1 : log.mid(line, log.indexOf(" ms", line) - line).trimmed().toInt();
    };
    const qsizetype written = log.indexOf("DSP firmware written");
    ASSERT_GE(written, 0) << log.toStdString();
    EXPECT_GE(msOf("link: connecting", written) - msOf("DSP firmware written", 0), 1000)
        << log.toStdString();
    const QString verdicts = sim.terminate().out;
    EXPECT_EQ(verdicts.count("result: PASS"), 2) << verdicts.toStdString();
}

// What a device may hold outlives the attempt that failed before it could send
// anything, and an interrupt between the two firmwares: the report, the summary
// and the message say what the device got.
TEST(CliFleet, WhatTheDeviceHoldsOutlivesALaterAttemptAndAnInterruptBetweenFirmwares)
{
    {
        SCOPED_TRACE("silent from record 100, then gone");
        Sim sim({"--silent-from", "100"}); // serves one connection only
        const QString report = samples().dir + "/gone-report.json";
        const Finished cli =
            runCli({"--fleet", writeFleetFile("gone.csv", "name,link\n" + tcpRow("d", sim.port())),
                    "--dsp", samples().dspHex, "--retries", "1", "--report", report});
        EXPECT_EQ(cli.status, 1) << "a half-written device is not untouched";
        EXPECT_TRUE(cli.err.contains("link not opened before its job started: the device may be "
                                     "half-written"))
            << cli.err.toStdString();
        const QJsonObject d =
            QJsonDocument::fromJson(readFile(report)).object()["devices"].toArray()[0].toObject();
        EXPECT_EQ(d["outcome"].toString(), "link not opened");
        EXPECT_EQ(d["failedStep"].toString(), "not started");
        EXPECT_TRUE(d["deviceHolds"].toString().contains("half-written"))
            << d["deviceHolds"].toString().toStdString();
        EXPECT_TRUE(cli.out.contains("may be half-written, run the update again: d"))
            << cli.out.toStdString();
    }
    {
        SCOPED_TRACE("interrupted while the inverter restarts");
        Sim sim({"--devices", "1"});
        const QString report = samples().dir + "/restart-report.json";
        const Finished cli = runCliUntil(
            {"--fleet", writeFleetFile("restart.csv", "name,link\n" + tcpRow("d", sim.port())),
             "--dsp", samples().dspHex, "--arm", samples().armImage, "--restart-wait", "5",
             "--report", report},
            "DSP firmware written", SIGTERM);
        EXPECT_EQ(cli.status, 143) << cli.err.toStdString();
        const QJsonObject run = QJsonDocument::fromJson(readFile(report)).object();
        EXPECT_EQ(run["exitStatus"].toInt(), 143);
        EXPECT_EQ(run["interruptedBy"].toInt(), SIGTERM);
        const QJsonObject d = run["devices"].toArray()[0].toObject();
        EXPECT_EQ(d["outcome"].toString(), "interrupted");
        EXPECT_EQ(d["deviceHolds"].toString(), "DSP firmware written; ARM firmware not started");
        EXPECT_NE(d["message"].toString(), kSuccess);
        EXPECT_TRUE(cli.out.contains("d: DSP firmware written; ARM firmware not started"))
            << cli.out.toStdString();
    }
}

// The report is rewritten whole whenever a device starts or ends: a run that is
// killed leaves the report of the run so far.
TEST(CliFleet, AKilledRunLeavesAValidReportOfTheRunSoFar)
{
    Sim sim({"--devices", "2", "--delay-ms", "20"});
    const QString report = samples().dir + "/killed-report.json";
    const QString fleet = writeFleetFile("killed.csv", "name,link\n" + tcpRow("a", sim.port()) +
                                                           tcpRow("b", sim.port() + 1));
    const Finished cli = runCliUntil(
        {"--fleet", fleet, "--dsp", samples().dspHex, "--report", report, "--jobs", "1"},
        "a 127.0.0.1:" + QString::number(sim.port()) + " Programing...", SIGKILL);
    EXPECT_EQ(cli.status, -1) << "killed";
    QJsonParseError error;
    const QJsonObject run = QJsonDocument::fromJson(readFile(report), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << readFile(report).toStdString();
    EXPECT_TRUE(run["exitStatus"].isNull());
    const QJsonArray devices = run["devices"].toArray();
    ASSERT_EQ(devices.size(), 2);
    EXPECT_EQ(devices[0].toObject()["outcome"].toString(), "in progress");
    EXPECT_EQ(devices[1].toObject()["outcome"].toString(), "waiting");
}

QJsonObject deviceIn(const QString &report, const QString &name)
{
    for (const QJsonValue &d :
         QJsonDocument::fromJson(readFile(report)).object()["devices"].toArray())
        if (d.toObject()["name"].toString() == name)
            return d.toObject();
    return {};
}

QString heldState(const QJsonObject &device, const char *kind)
{
    return device["holds"].toObject()[kind].toObject()["state"].toString();
}

// What each inverter holds outlives the run that left it: a re-run of the failed
// devices starts from it, keeps it where it reaches nothing, keeps the rest of the
// site in the same report, and is refused when a firmware a device still needs
// is not given.
TEST(CliAcrossRuns, ReRunningTheFailedKeepsWhatEachInverterHolds)
{
    Sim sim({"--devices", "3", "--silent-from", "5@2"});
    const quint16 p = sim.port();
    const QString fleet = writeFleetFile("site.csv", "name,link\n" + tcpRow("a", p) +
                                                         tcpRow("b", p + 1) + tcpRow("c", p + 2));
    const QString report = samples().dir + "/site-report.json";
    const QStringList both = {"--dsp", samples().dspHex, "--arm", samples().armImage};
    const Finished first = runCli(QStringList{"--fleet", fleet, "--report", report} + both);
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(heldState(deviceIn(report, "b"), "dsp"), "may be half-written");
    EXPECT_EQ(heldState(deviceIn(report, "a"), "arm"), "written");
    sim.terminate(); // the site is gone: nothing can be reached now

    struct Case
    {
        const char *name;
        QStringList firmware;
        int status;
        const char *said; // on standard error or output
    };
    for (const Case &c : {
             Case{"the DSP firmware forgotten",
                  {"--arm", samples().armImage},
                  2,
                  "b needs the DSP firmware"},
             Case{"b out of reach", both, 1, "may be half-written, run the update again: b"},
         }) {
        SCOPED_TRACE(c.name);
        const Finished again =
            runCli(QStringList{"--fleet", fleet, "--only-failed", report, "--report", report} +
                   c.firmware);
        EXPECT_EQ(again.status, c.status) << again.err.toStdString();
        EXPECT_TRUE((again.err + again.out).contains(c.said))
            << again.err.toStdString() << again.out.toStdString();
    }
    // The summary for a ticket names the firmware and what the failed device holds.
    const QString summary = samples().dir + "/site-summary.txt";
    runCli(QStringList{"--fleet", fleet, "--only-failed", report, "--summary", summary} + both);
    const QString ticket = QString::fromUtf8(readFile(summary));
    EXPECT_TRUE(ticket.contains(
        QRegularExpression(R"(DSP firmware \S+ \(\d+ bytes, CRC-32 [0-9a-f]{8}\))")))
        << ticket.toStdString();
    EXPECT_TRUE(ticket.contains("b (127.0.0.1:" + QString::number(p + 1) +
                                "): link not opened; holds: DSP firmware may be half-written"))
        << ticket.toStdString();
    // The re-run's report is the site's: a and c kept, b as it may now be.
    const QJsonObject b = deviceIn(report, "b");
    EXPECT_EQ(b["outcome"].toString(), "link not opened");
    EXPECT_EQ(heldState(b, "dsp"), "may be half-written");
    EXPECT_EQ(deviceIn(report, "a")["outcome"].toString(), "success");
    EXPECT_EQ(deviceIn(report, "c")["outcome"].toString(), "success");
}

// A device that an earlier report shows holding a firmware, the same file by its
// CRC-32, written, does not get it again; one holding every firmware is not
// contacted at all.
TEST(CliAcrossRuns, SkipWrittenSendsOnlyWhatEachInverterLacks)
{
    Sim sim({"--devices", "2"});
    const quint16 p = sim.port();
    const QString fleet =
        writeFleetFile("skip.csv", "name,link\n" + tcpRow("a", p) + tcpRow("b", p + 1));
    const QString dspOnly = samples().dir + "/skip-1.json";
    const QString both = samples().dir + "/skip-2.json";
    const QString none = samples().dir + "/skip-3.json";
    const QStringList firmware = {"--dsp", samples().dspHex, "--arm", samples().armImage};
    ASSERT_EQ(runCli({"--fleet", fleet, "--dsp", samples().dspHex, "--report", dspOnly}).status, 0);
    const Finished arm = runCli(
        QStringList{"--fleet", fleet, "--skip-written", dspOnly, "--report", both} + firmware);
    EXPECT_EQ(arm.status, 0) << arm.err.toStdString();
    const QJsonObject a = deviceIn(both, "a");
    EXPECT_EQ(heldState(a, "dsp"), "written");
    const auto writtenAt = [](const QJsonObject &d) {
        return d["holds"].toObject()["dsp"].toObject()["writtenAt"].toString();
    };
    EXPECT_EQ(writtenAt(a), writtenAt(deviceIn(dspOnly, "a")));
    EXPECT_FALSE(writtenAt(a).isEmpty());
    EXPECT_EQ(heldState(a, "arm"), "written");
    const Finished nothing =
        runCli(QStringList{"--fleet", fleet, "--skip-written", both, "--report", none} + firmware);
    EXPECT_EQ(nothing.status, 0) << nothing.err.toStdString();
    EXPECT_EQ(deviceIn(none, "b")["outcome"].toString(), "already written");
    // Two DSP jobs in the first run, two ARM jobs in the second, none in the third.
    const QString verdicts = sim.terminate().out;
    EXPECT_EQ(verdicts.count("result: PASS"), 4) << verdicts.toStdString();
    EXPECT_EQ(verdicts.count("ARM"), verdicts.count("DSP")) << verdicts.toStdString();
}

// --check refuses what the run refuses, lists every firmware file with its size
// and CRC-32 and every serial port that is not there, and contacts and makes nothing.
TEST(CliAcrossRuns, CheckRefusesWhatTheRunRefusesAndMakesNothing)
{
    Sim sim({"--devices", "1"});
    const QString fleet = writeFleetFile("check.csv", "name,link\n" + tcpRow("a", sim.port()) +
                                                          "z,serial:/dev/ttyNOSUCH9\n");
    const QString traces = samples().dir + "/check-traces/deeper";
    struct Case
    {
        const char *name;
        QStringList extra;
        int status;
        const char *said;
    };
    for (const Case &c : {
             Case{"a report in a folder that is not there",
                  {"--report", samples().dir + "/missing/r.json"},
                  2,
                  "cannot write the report"},
             Case{"a report where no file can be made",
                  {"--report", "/proc/r.json"},
                  2,
                  "cannot write the report"},
             Case{"everything well", {"--trace-dir", traces}, 0, "(no such port)"},
         }) {
        SCOPED_TRACE(c.name);
        const Finished checked =
            runCli(QStringList{"--fleet", fleet, "--check", "--dsp", samples().dspHex} + c.extra);
        EXPECT_EQ(checked.status, c.status) << checked.err.toStdString();
        EXPECT_TRUE((checked.err + checked.out).contains(c.said)) << checked.out.toStdString();
        if (c.status == 0)
            EXPECT_TRUE(checked.out.contains(QRegularExpression(R"(bytes, CRC-32 [0-9a-f]{8}\))")))
                << checked.out.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(samples().dir + "/check-traces")) << "--check makes nothing";
    EXPECT_FALSE(sim.terminate().out.contains("verdict")) << "no device was contacted";
}

// An interrupted fleet ends with its signal, its report says so, and its summary
// names the device left during its erase as half-written. (How many devices run
// at once and how the exit status sums them up is the fleet run's own, tested
// there.)
TEST(CliFleet, AnInterruptedFleetEndsWithItsSignalAndNamesTheHalfWrittenDevice)
{
    Sim sim({"--devices", "4", "--silent-from", "1@4", "--delay-ms", "5"});
    const quint16 p = sim.port();
    {
        SCOPED_TRACE("interrupted while device c waits for its erase");
        const QString report = samples().dir + "/interrupted-report.json";
        const Finished cli =
            runCliUntil({"--fleet", writeFleetFile("stop.csv", "name,link\n" + tcpRow("c", p + 3)),
                         "--dsp", samples().dspHex, "--report", report},
                        "c 127.0.0.1:" + QString::number(p + 3) + " Erase...", SIGTERM);
        EXPECT_EQ(cli.status, 143);
        const QJsonObject run = QJsonDocument::fromJson(readFile(report)).object();
        EXPECT_EQ(run["exitStatus"].toInt(), 143);
        EXPECT_EQ(run["interruptedBy"].toInt(), SIGTERM);
        EXPECT_TRUE(cli.out.contains("may be half-written, run the update again: c"))
            << cli.out.toStdString();
    }
}
