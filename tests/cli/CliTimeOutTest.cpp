#include "CliTestSupport.h"
#include "TraceLog.h"

#include <gtest/gtest.h>

using namespace clitest;

namespace {

// Runs a job against a simulator with the given fault, expects exit status 1 and
// exactly these status lines followed by "time out！".
void expectTimeOut(const QString &option, const QString &file, const QStringList &fault,
                   const QStringList &lines, bool pty = false)
{
    Sim sim(fault, pty);
    const Finished cli =
        runCli({pty ? "--serial" : "--tcp", pty ? sim.device() : sim.tcpTarget(), option, file});
    EXPECT_EQ(cli.status, 1) << cli.err.toStdString();
    EXPECT_EQ(cli.outLines(), lines + QStringList{kTimeOut}) << cli.out.toStdString();
    const Finished verdict = sim.finish();
    EXPECT_TRUE(verdict.out.contains("incomplete")) << verdict.out.toStdString();
    EXPECT_TRUE(verdict.out.contains("result: FAIL")) << verdict.out.toStdString();
}

} // namespace

// Unit numbers of the ARM job: 1 wake-up, 2 digit '1', 3 header block, 4 to 13 the
// ten data blocks of the sample image, 14 EOT, 15 end block.

TEST(CliTimeOut, ArmWithoutAReplyToTheDigitOneFailsConnecting)
{
    expectTimeOut("--arm", samples().armImage, {"--silent-from", "2"},
                  {"Connecting...", "Connection failed"});
}

TEST(CliTimeOut, ArmWithoutAReplyOverAPseudoTerminalFailsConnecting)
{
    expectTimeOut("--arm", samples().armImage, {"--silent-from", "2"},
                  {"Connecting...", "Connection failed"}, true);
}

TEST(CliTimeOut, ArmWithoutAnAckOfTheHeaderBlockFailsErasing)
{
    expectTimeOut("--arm", samples().armImage, {"--silent-from", "3"},
                  {"Connecting...", "Erase...", "Erase failed"});
}

TEST(CliTimeOut, ArmWithNoiseInsteadOfTheAckOfEotFailsProgramming)
{
    expectTimeOut("--arm", samples().armImage, {"--noise-from", "14"},
                  {"Connecting...", "Erase...", "Erase Done.", "Programing...", "Program failed"});
}

TEST(CliTimeOut, DspWithoutAnAckOfTheEraseCommandFailsErasing)
{
    expectTimeOut("--dsp", samples().dspHex, {"--silent-from", "1"}, {"Erase...", "Erase failed"});
}

TEST(CliTimeOut, DspWithANakForARecordFailsProgramming)
{
    expectTimeOut("--dsp", samples().dspHex, {"--nak-from", "3"},
                  {"Erase...", "Erase Done.", "Programing...", "Program failed"});
}

// 1 MB of noise instead of the '9': one trace line for the run, not one per byte.
TEST(CliTimeOut, ALineFloodedWithNoiseLeavesATraceThatGrowsWithTheUnitsSent)
{
    const QString trace = samples().dir + "/flood.log";
    Sim sim({"--noise-from", "2", "--noise-bytes", "1000000"});
    const Finished cli =
        runCli({"--tcp", sim.tcpTarget(), "--arm", samples().armImage, "--trace", trace});
    EXPECT_EQ(cli.status, 1) << cli.err.toStdString();
    const QByteArray log = readFile(trace);
    EXPECT_LT(log.size(), 4000) << log.left(2000).toStdString();
    EXPECT_TRUE(log.contains("bytes ignored)")) << log.left(2000).toStdString();
}

// Ignored bytes are gathered per job state: bytes that came before the ARM job's
// first tick (a module's greeting) and after it keep a line each.
TEST(CliTimeOut, IgnoredBytesOfTwoJobStatesKeepALineEach)
{
    const QString path = samples().dir + "/two-states.log";
    {
        updater::run::TraceLog trace;
        ASSERT_EQ(trace.open(path.toStdString()), "");
        for (const int state : {0, 0, 1}) {
            trace.received(state, 0x55);
            trace.handled(false);
        }
    }
    const QString log = QString::fromUtf8(readFile(path));
    EXPECT_TRUE(log.contains("< state 0  55 55  (2 bytes ignored)")) << log.toStdString();
    EXPECT_TRUE(log.contains("< state 1  55  (1 byte ignored)")) << log.toStdString();
}
