// Every fault the simulated inverter can inject, at the first, a middle and the
// last unit of a DSP and an ARM job, over loopback TCP and over a pseudo-terminal.
// Each run must end the way a technician can trust: the failed phase and
// "time out！" within the step's wait plus one second, or, where the link went
// away, "link lost" at once; success only when the device received the whole
// image; a line that answers more often than it was sent units (a device that
// answers twice, noise that holds acknowledgements) a failure that says so; and a
// fresh update right after it succeeds.
#include "FaultSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

using namespace clitest;
using namespace faulttest;

namespace {

enum class Fault
{
    Silence,
    Nak,
    Noise,
    NoiseWithAnswers, // random bytes, acknowledgements among them
    Duplicate,
    LateAnswer,
    Drop,       // TCP: the device closes the connection; pseudo-terminal: the line goes dead
    ClosedLine, // pseudo-terminal only: the device's end is closed
};

struct FaultCase
{
    bool arm = false;
    bool pty = false;
    Fault fault = Fault::Silence;
    const char *position = "";
    int unit = 1;
    bool lastUnit = false;
};

// Units of the sample ARM image (10000 bytes): 1 wake-up, 2 digit '1', 3 header
// block, 4 to 13 the data blocks, 14 EOT, 15 end block. DSP: 1 the erase command,
// then one unit per line of the HEX file, the end-of-file record last.
constexpr int kArmUnits = 15;

int dspUnits()
{
    static const int units = int(readFile(samples().dspHex).count(':')) + 1;
    return units;
}

// The wait that follows a unit, in milliseconds.
int waitAfter(const FaultCase &c)
{
    if (!c.arm)
        return c.unit == 1 ? 20000 : 5000; // erase, record
    switch (c.unit) {
    case 1:
        return 5000; // wake-up
    case 2:
        return 1000; // digit
    case 3:
        return 10000; // header block
    case 14:
        return 1000; // EOT
    case 15:
        return 10000; // end block
    default:
        return 5000; // data block
    }
}

QStringList failedLines(const FaultCase &c)
{
    if (!c.arm) {
        if (c.unit == 1)
            return {"Erase...", "Erase failed", kTimeOut};
        return {"Erase...", "Erase Done.", "Programing...", "Program failed", kTimeOut};
    }
    if (c.unit <= 2)
        return {"Connecting...", "Connection failed", kTimeOut};
    if (c.unit == 3)
        return {"Connecting...", "Erase...", "Erase failed", kTimeOut};
    return {"Connecting...", "Erase...",       "Erase Done.",
            "Programing...", "Program failed", kTimeOut};
}

// The link goes away during the job: the connection is closed or the line hung up,
// also when the device restarts after the last unit without answering it.
bool linkGoesAway(const FaultCase &c)
{
    if (c.fault == Fault::ClosedLine || (c.fault == Fault::Drop && !c.pty))
        return true;
    const bool unanswered =
        c.fault == Fault::Silence || c.fault == Fault::Nak || c.fault == Fault::Noise;
    return unanswered && c.lastUnit;
}

// Noise answering the ARM wake-up gives a '2' first (fixed seed): the host asks
// for the digit '4', which this device does not expect, and the step times out.
bool noiseTakesTheOtherWakeUpPath(const FaultCase &c)
{
    return c.fault == Fault::NoiseWithAnswers && c.arm && c.unit == 1;
}

bool answersBeyondUnits(const FaultCase &c)
{
    return (c.fault == Fault::Duplicate || c.fault == Fault::NoiseWithAnswers) &&
           !noiseTakesTheOtherWakeUpPath(c);
}

QStringList simFaultOptions(const FaultCase &c)
{
    const QString k = QString::number(c.unit);
    switch (c.fault) {
    case Fault::Silence:
        return {"--silent-from", k};
    case Fault::Nak:
        return {"--nak-from", k};
    case Fault::Noise:
        return {"--noise-from", k};
    case Fault::NoiseWithAnswers:
        return {"--noise-from", k, "--noise-any", "--noise-bytes", "65536"};
    case Fault::Duplicate:
        return {"--duplicate-from", k};
    case Fault::LateAnswer:
        return {"--delay-ms", QString::number(waitAfter(c) + 1500), "--delay-from", k};
    case Fault::Drop:
        // The device judges the last unit complete and answers it before it could
        // drop, so there the line goes after the unit before it.
        if (c.lastUnit)
            return {"--drop-after", QString::number(c.unit - 1)};
        return {"--silent-from", k, "--drop-after", k};
    case Fault::ClosedLine:
        return {"--silent-from", k};
    }
    return {};
}

const char *faultName(Fault f)
{
    switch (f) {
    case Fault::Silence:
        return "silence";
    case Fault::Nak:
        return "NAK";
    case Fault::Noise:
        return "noise";
    case Fault::NoiseWithAnswers:
        return "noise holding acknowledgements";
    case Fault::Duplicate:
        return "duplicate acknowledgement";
    case Fault::LateAnswer:
        return "acknowledgement later than the wait";
    case Fault::Drop:
        return "dropped connection";
    case Fault::ClosedLine:
        return "closed pseudo-terminal";
    }
    return "";
}

std::string caseName(const FaultCase &c)
{
    return std::string(c.arm ? "ARM" : "DSP") +
           (c.pty ? " over a pseudo-terminal: " : " over TCP: ") + faultName(c.fault) + " at the " +
           c.position + " unit (" + std::to_string(c.unit) + ")";
}

std::vector<FaultCase> matrix(bool arm, bool pty)
{
    const int last = arm ? kArmUnits : dspUnits();
    const int middle = arm ? 8 : last / 2; // ARM: data block 5
    std::vector<Fault> faults = {
        Fault::Silence,   Fault::Nak,        Fault::Noise, Fault::NoiseWithAnswers,
        Fault::Duplicate, Fault::LateAnswer, Fault::Drop};
    if (pty)
        faults.push_back(Fault::ClosedLine);
    std::vector<FaultCase> cases;
    for (Fault fault : faults) {
        cases.push_back({arm, pty, fault, "first", 1, false});
        cases.push_back({arm, pty, fault, "middle", middle, false});
        cases.push_back({arm, pty, fault, "last", last, true});
    }
    // The longest waits first, so that they overlap with the many short cases.
    std::stable_sort(cases.begin(), cases.end(), [](const FaultCase &a, const FaultCase &b) {
        return waitAfter(a) > waitAfter(b);
    });
    return cases;
}

void expectEndInTime(const FaultCase &c, const QString &tracePath)
{
    const std::vector<TraceLine> trace = readTrace(tracePath);
    EXPECT_EQ(unitsSent(trace), c.unit) << "nothing is sent after the unit left unanswered";
    const auto sent = unitSentAt(trace, c.unit);
    const auto message = lineAt(trace, "message: " + kTimeOut);
    const auto exit = lineAt(trace, "exit: ");
    ASSERT_TRUE(sent && message && exit) << clitest::readFile(tracePath).toStdString();
    const int wait = waitAfter(c);
    EXPECT_GE(*message - *sent, wait - 100) << "the job gave up before its wait ran out";
    EXPECT_LE(*message - *sent, wait + 1000) << "the time-out came late";
    EXPECT_LE(*exit - *sent, wait + 1000) << "the program ended late";
}

// A lost link ends the job at once, with the status lines of the step it reached.
void expectLinkLostAtOnce(const FaultCase &c, const Finished &done, const QString &tracePath)
{
    QStringList lines = failedLines(c);
    lines.removeLast(); // "time out！"
    lines.removeLast(); // "... failed"
    EXPECT_EQ(done.outLines(), lines) << done.out.toStdString();
    EXPECT_TRUE(done.err.contains("link lost")) << done.err.toStdString();
    const std::vector<TraceLine> trace = readTrace(tracePath);
    // A device that drops the line once the unit before the last is answered may
    // be gone before the last unit's tick: then nothing more is sent.
    const int units = unitsSent(trace);
    EXPECT_LE(units, c.unit) << "nothing is sent after the unit left unanswered";
    EXPECT_GE(units, c.fault == Fault::Drop && c.lastUnit ? c.unit - 1 : c.unit);
    const auto sent = unitSentAt(trace, units);
    const auto exit = lineAt(trace, "exit: ");
    ASSERT_TRUE(sent && exit) << clitest::readFile(tracePath).toStdString();
    EXPECT_LE(*exit - *sent, 1500) << "a lost link does not wait for the step's time-out";
}

void runFaultCase(const FaultCase &c, const QString &dir, int index)
{
    SCOPED_TRACE(caseName(c));
    const QString file = c.arm ? samples().armImage : samples().dspHex;
    const QString tracePath = dir + "/trace-" + QString::number(index) + ".log";
    Sim sim(QStringList{"--expect", file} + simFaultOptions(c), c.pty);
    WatchedCli cli({c.pty ? "--serial" : "--tcp", c.pty ? sim.device() : sim.tcpTarget(),
                    c.arm ? "--arm" : "--dsp", file},
                   tracePath);
    Finished verdict;
    if (c.fault == Fault::ClosedLine) {
        EXPECT_TRUE(cli.waitForUnitsSent(c.unit));
        verdict = sim.terminate(); // its end of the line closes with it
    }
    const Finished done = cli.finish();
    if (c.fault != Fault::ClosedLine)
        verdict = sim.finish(30000);

    if (done.status == 0) {
        EXPECT_TRUE(verdict.out.contains("result: PASS") && verdict.out.contains("complete"))
            << "success was reported for an image the device did not receive whole:\n"
            << verdict.out.toStdString();
    }
    if (answersBeyondUnits(c)) {
        // The job itself ends well; the answers beyond the units fail the run, and
        // no success is told.
        EXPECT_EQ(done.status, 1) << done.err.toStdString();
        EXPECT_FALSE(done.out.contains(kSuccess)) << done.out.toStdString();
        EXPECT_TRUE(done.err.contains(" units: noise on the line, a second device, or a device "
                                      "that answers twice; the device may hold a damaged "
                                      "firmware; update again"))
            << done.err.toStdString();
        EXPECT_TRUE(lineAt(readTrace(tracePath), "end: too many answers"));
        if (c.fault == Fault::Duplicate) {
            // Released early, the last units still reach the device before the link
            // closes: every line of the job but the success, which is never told.
            QStringList lines = c.arm ? kArmLines : kDspLines;
            lines.removeAll(kSuccess);
            EXPECT_EQ(done.outLines(), lines);
            EXPECT_TRUE(verdict.out.contains("expected: matches")) << verdict.out.toStdString();
        }
    } else if (noiseTakesTheOtherWakeUpPath(c)) {
        EXPECT_EQ(done.status, 1) << done.err.toStdString();
        EXPECT_EQ(done.outLines(), failedLines(c)) << done.out.toStdString();
    } else if (linkGoesAway(c)) {
        EXPECT_EQ(done.status, 1) << done.err.toStdString();
        expectLinkLostAtOnce(c, done, tracePath);
    } else {
        EXPECT_EQ(done.status, 1) << done.err.toStdString();
        EXPECT_EQ(done.outLines(), failedLines(c)) << done.out.toStdString();
        expectEndInTime(c, tracePath);
    }
    if (c.fault == Fault::Drop && !c.pty) {
        EXPECT_TRUE(done.err.contains("was closed")) << done.err.toStdString();
    }
    if (c.fault == Fault::ClosedLine) {
        EXPECT_TRUE(done.err.contains("ReadFile() Failed")) << done.err.toStdString();
    }

    // Ready for the next job: a fresh updater-cli on a healthy device.
    expectExactUpdate(c.arm ? "--arm" : "--dsp", file, c.pty);
}

void runMatrix(bool arm, bool pty)
{
    samples(); // made once, before the threads start
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::vector<FaultCase> cases = matrix(arm, pty);
    runInParallel(int(cases.size()), parallelCases(),
                  [&](int i) { runFaultCase(cases[std::size_t(i)], dir.path(), i); });
}

} // namespace

TEST(FaultMatrix, DspOverTcpEndsEveryFaultSoundlyAndTheNextJobSucceeds)
{
    runMatrix(false, false);
}

TEST(FaultMatrix, DspOverAPseudoTerminalEndsEveryFaultSoundlyAndTheNextJobSucceeds)
{
    runMatrix(false, true);
}

TEST(FaultMatrix, ArmOverTcpEndsEveryFaultSoundlyAndTheNextJobSucceeds)
{
    runMatrix(true, false);
}

TEST(FaultMatrix, ArmOverAPseudoTerminalEndsEveryFaultSoundlyAndTheNextJobSucceeds)
{
    runMatrix(true, true);
}
