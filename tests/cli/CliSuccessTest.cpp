#include "CliTestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace clitest;

TEST(CliSuccess, DspFirmwareOverTcpArrivesByteForByte)
{
    expectExactUpdate("--dsp", samples().dspHex, false);
}

TEST(CliSuccess, ArmFirmwareOverTcpArrivesByteForByte)
{
    expectExactUpdate("--arm", samples().armImage, false);
}

TEST(CliSuccess, DspFirmwareOverAPseudoTerminalArrivesByteForByte)
{
    expectExactUpdate("--dsp", samples().dspHex, true);
}

TEST(CliSuccess, ArmFirmwareOverAPseudoTerminalTakesTheTwoPathAndArrivesByteForByte)
{
    expectExactUpdate("--arm", samples().armImage, true, {"--wake-two"});
}

TEST(CliSuccess, LateAcknowledgementsStillGiveAnExactArmImage)
{
    expectExactUpdate("--arm", samples().armImage, false, {"--delay-ms", "30"});
}

TEST(CliSuccess, LateAcknowledgementsStillGiveAnExactDspImage)
{
    expectExactUpdate("--dsp", samples().dspHex, false, {"--delay-ms", "5"});
}

TEST(CliSuccess, AComPortNameIsOpenedThroughItsUpdaterComVariable)
{
    Sim sim({"--expect", samples().armImage}, true);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("UPDATER_COM7", sim.device());
    const Finished cli = runCli({"--serial", "COM7", "--arm", samples().armImage}, 60000, env);
    EXPECT_EQ(cli.status, 0) << cli.err.toStdString();
    EXPECT_EQ(cli.outLines().last(), kSuccess);
    EXPECT_TRUE(sim.finish().out.contains("result: PASS"));
}

// Zero-padded octets, common in address lists kept in a spreadsheet, are decimal:
// 127.0.0.010 is 127.0.0.10, not the octal 127.0.0.8.
TEST(CliSuccess, AZeroPaddedAddressIsReadAsDecimal)
{
    QProcess sim;
    sim.start(UPDATER_SIM_PATH, {"--listen", "127.0.0.10:0"});
    ASSERT_TRUE(sim.waitForReadyRead(5000));
    const QString port = QString::fromUtf8(sim.readLine()).trimmed().section(':', -1);
    const Finished cli = runCli({"--tcp", "127.0.0.010:" + port, "--arm", samples().armImage});
    sim.kill();
    sim.waitForFinished();
    EXPECT_EQ(cli.status, 0) << cli.err.toStdString();
    EXPECT_EQ(cli.outLines().last(), kSuccess);
}

TEST(CliSuccess, TheTraceHoldsEveryUnitAndReplyWithStateTextsAndTheOutcomeInOrder)
{
    const QString trace = samples().dir + "/trace.log";
    Sim sim({});
    const Finished cli =
        runCli({"--tcp", sim.tcpTarget(), "--arm", samples().armImage, "--trace", trace});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    const QString log = QString::fromUtf8(readFile(trace));
    const QStringList wanted = {
        "> state 1  FE FD FC  (3 bytes)",
        "line 1003: Connecting...",
        "< state 2  31",
        "> state 6  31  (1 byte)",
        "< state 7  39",
        "> state 8  01 00 FF 50 72 6F 6A 65 ... 00 00 99 C9  (133 bytes)",
        "line 1003: Erase...",
        "< state 9  06",
        "line 1003: Erase Done.",
        "(1029 bytes)",
        "line 1004: Programing...",
        "> state 12  04  (1 byte)",
        "> state 14  01 00 FF 00 00 00 00 00 ... 00 00 00 00  (133 bytes)",
        "< state 15  06",
        "line 1004: Programing Done.",
        "message: " + kSuccess,
        "exit: 0",
    };
    qsizetype at = 0;
    for (const QString &part : wanted) {
        const qsizetype found = log.indexOf(part, at);
        ASSERT_GE(found, 0) << "missing, or out of order: " << part.toStdString() << "\n"
                            << log.left(3000).toStdString();
        at = found;
    }
    EXPECT_EQ(log.count("(1029 bytes)"), 10) << "one line per data block";
    EXPECT_EQ(log.count("< state"), 15) << "one line per received byte";
}

// A unit of up to 24 bytes is traced whole, a longer one by its first and last bytes:
// records of 19 and 20 data bytes are 24 and 25 bytes on the wire.
TEST(CliSuccess, TheTraceShowsAUnitOf24BytesWholeAndALongerOneByItsEnds)
{
    const auto line = [](int address, int count) {
        QByteArray r;
        r.append(char(count)).append(char(address >> 8)).append(char(address & 0xFF)).append('\0');
        for (int i = 0; i < count; ++i)
            r.append(char(0xA0 + i));
        int sum = 0;
        for (const char c : r)
            sum += static_cast<unsigned char>(c);
        r.append(char(-sum & 0xFF));
        return ":" + r.toHex().toUpper() + "\r\n";
    };
    const QString hex = samples().dir + "/odd-records.hex";
    QFile file(hex);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(line(0, 19) + line(19, 20) + ":00000001FF\r\n");
    file.close();
    const QString trace = samples().dir + "/odd-records.log";
    Sim sim({});
    const Finished cli = runCli({"--tcp", sim.tcpTarget(), "--dsp", hex, "--trace", trace});
    ASSERT_EQ(cli.status, 0) << cli.err.toStdString();
    const QString log = QString::fromUtf8(readFile(trace));
    EXPECT_TRUE(log.contains("  13 00 00 00 A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF B0 B1 "
                             "B2 62  (24 bytes)"))
        << log.toStdString();
    EXPECT_TRUE(log.contains("  14 00 13 00 A0 A1 A2 A3 ... B1 B2 B3 9B  (25 bytes)"))
        << log.toStdString();
}

// The device restarts right after its last answer: the host still gets that answer.
TEST(CliSuccess, ADeviceThatRestartsAtOnceAfterItsLastAnswerStillGetsTheWholeImage)
{
    expectExactUpdate("--arm", samples().armImage, true, {"--restart-ms", "0"});
    expectExactUpdate("--dsp", samples().dspHex, false, {"--restart-ms", "0"});
}
