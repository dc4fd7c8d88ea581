#include "RunRig.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace runtest {
namespace {

using updater::run::DeviceOutcome;
using updater::run::outcomeName;

constexpr const char *kSuccess = "Download file success!";

bool toldSuccess(const Told &told)
{
    return std::count(told.messages.begin(), told.messages.end(), kSuccess) > 0;
}

bool anyContains(const std::vector<std::string> &texts, const std::string &part)
{
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string &t) { return t.find(part) != std::string::npos; });
}

DeviceRun::Settings cliSettings()
{
    DeviceRun::Settings s;
    s.retryPauseMs = 3000;
    s.restartWaitMs = 3000;
    return s;
}

DeviceRun::Settings windowSettings()
{
    DeviceRun::Settings s;
    s.endJobWhenLinkLost = false;
    s.keepLinkOpen = true;
    return s;
}

// One verdict per run: a job's success is told only when the device's answers
// were sound, and a run that fails after its job ended tells no success at all.
struct VerdictCase
{
    const char *name;
    bool dsp;
    bool tcp;
    updater::sim::Faults faults;
    bool paced;
    bool writesAll;
    DeviceOutcome outcome;
    const char *said; // in the run's fault, "" none
};

class Verdicts : public ::testing::TestWithParam<VerdictCase>
{
};

TEST_P(Verdicts, AreToldOnceAndOnlyWhenSound)
{
    const VerdictCase &c = GetParam();
    RunRig rig(cliSettings(), c.faults, c.tcp);
    rig.link->paced = c.paced;
    rig.link->writesAll = c.writesAll;
    rig.start(c.dsp ? rig.dspFile() : "", c.dsp ? "" : rig.armFile());
    rig.runFor(120s);

    ASSERT_TRUE(rig.run->done());
    EXPECT_EQ(outcomeName(rig.run->outcome()), std::string(outcomeName(c.outcome)));
    EXPECT_EQ(toldSuccess(rig.told), c.outcome == DeviceOutcome::Success);
    EXPECT_EQ(rig.told.finished, 1);
    if (*c.said != '\0') {
        EXPECT_TRUE(anyContains(rig.told.faults, c.said)) << rig.told.faults.size();
    } else {
        EXPECT_TRUE(rig.told.faults.empty()) << rig.told.faults.front();
    }
}

updater::sim::Faults duplicateFrom(int unit)
{
    updater::sim::Faults f;
    f.duplicateFrom = unit;
    return f;
}

updater::sim::Faults silentFrom(int unit)
{
    updater::sim::Faults f;
    f.silentFrom = unit;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Run, Verdicts,
    ::testing::Values(
        VerdictCase{"DspTcp", true, true, {}, true, true, DeviceOutcome::Success, ""},
        VerdictCase{"ArmTcp", false, true, {}, true, true, DeviceOutcome::Success, ""},
        VerdictCase{"DspLinePace", true, false, {}, true, true, DeviceOutcome::Success, ""},
        VerdictCase{"ArmLinePace", false, false, {}, true, true, DeviceOutcome::Success, ""},
        VerdictCase{"DspAnswersTwice", true, true, duplicateFrom(5), true, true,
                    DeviceOutcome::TooManyAnswers, "acknowledgements for 14 units"},
        VerdictCase{"ArmAnswersTwice", false, true, duplicateFrom(5), true, true,
                    DeviceOutcome::TooManyAnswers, "a device that answers twice"},
        VerdictCase{"DspFasterThanItsLine",
                    true,
                    false,
                    {},
                    false,
                    true,
                    DeviceOutcome::EarlyAnswers,
                    "faster than a 9600-baud line"},
        VerdictCase{"DspSilent", true, true, silentFrom(4), true, true, DeviceOutcome::TimedOut,
                    "time-out while programming"},
        VerdictCase{"ArmNotAllWritten",
                    false,
                    true,
                    {},
                    true,
                    false,
                    DeviceOutcome::LinkLost,
                    "before the whole firmware was written"}),
    [](const auto &info) { return std::string(info.param.name); });

// The window's DownLoad keeps the link and listens to the line until it is quiet
// (or the inverter hangs up) before its verdict.
struct WindowCase
{
    const char *name;
    bool hangsUp;
    updater::sim::Faults faults;
    DeviceOutcome outcome;
    bool linkOpenAfter;
};

class WindowDownLoad : public ::testing::TestWithParam<WindowCase>
{
};

TEST_P(WindowDownLoad, KeepsTheLinkAndWaitsForTheLineBeforeItsVerdict)
{
    const WindowCase &c = GetParam();
    RunRig rig(windowSettings(), c.faults);
    rig.link->hangUpAtEnd = c.hangsUp;
    rig.run->openLink(rig.run->device().link, rig.run->device().linkText);
    rig.settle();
    ASSERT_TRUE(rig.run->linkOpen());
    rig.start(rig.dspFile(), "");
    const int opens = rig.link->opens;
    // The verdict waits for the quiet after the last answer.
    while (rig.run->busy() && rig.run->jobRunning())
        rig.step();
    const auto ended = rig.time.now();
    rig.runFor(10s);
    ASSERT_TRUE(rig.run->done());
    EXPECT_EQ(outcomeName(rig.run->outcome()), std::string(outcomeName(c.outcome)));
    EXPECT_EQ(toldSuccess(rig.told), c.outcome == DeviceOutcome::Success);
    EXPECT_EQ(rig.link->opens, opens) << "the link as the technician set it is used";
    EXPECT_EQ(rig.run->linkOpen(), c.linkOpenAfter);
    if (!c.hangsUp && c.outcome == DeviceOutcome::Success) {
        EXPECT_GE(rig.time.now() - ended, std::chrono::milliseconds(DeviceRun::kQuietMs));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Run, WindowDownLoad,
    ::testing::Values(WindowCase{"Quiet", false, {}, DeviceOutcome::Success, true},
                      WindowCase{"HangsUp", true, {}, DeviceOutcome::Success, false},
                      WindowCase{"AnswersTwice", true, duplicateFrom(3),
                                 DeviceOutcome::TooManyAnswers, false},
                      WindowCase{"Silent", false, silentFrom(2), DeviceOutcome::TimedOut, true}),
    [](const auto &info) { return std::string(info.param.name); });

// A window's DownLoad whose link closed since it was set (the inverter restarted)
// opens it again; one that never opened is refused by the job's own message.
TEST(WindowDownLoad, OpensAgainOnlyALinkThatWasOpen)
{
    RunRig rig(windowSettings());
    rig.start(rig.dspFile(), "");
    EXPECT_FALSE(rig.run->busy());
    EXPECT_EQ(rig.link->opens, 0);
    ASSERT_EQ(rig.told.messages.size(), 1u); // the job asks for a link

    rig.run->openLink(rig.run->device().link, rig.run->device().linkText);
    rig.settle();
    rig.link->hangUp();
    rig.settle();
    rig.start(rig.dspFile(), "");
    rig.runFor(30s);
    EXPECT_EQ(rig.link->opens, 2);
    EXPECT_EQ(rig.run->outcome(), DeviceOutcome::Success);
}

// An inverter hangs up once it has acknowledged its last unit, often before the
// run has seen its job end: that is its normal end, never a lost link to report.
struct HangUpCase
{
    const char *name;
    bool window;
    bool dsp;
    bool tcp;
};

class HangUpWithLastAnswer : public ::testing::TestWithParam<HangUpCase>
{
};

TEST_P(HangUpWithLastAnswer, IsNoFault)
{
    const HangUpCase &c = GetParam();
    RunRig rig(c.window ? windowSettings() : cliSettings(), {}, c.tcp);
    rig.link->hangUpWithLastAnswer = true;
    if (c.window) {
        rig.run->openLink(rig.run->device().link, rig.run->device().linkText);
        rig.settle();
    }
    rig.start(c.dsp ? rig.dspFile() : "", c.dsp ? "" : rig.armFile());
    rig.runFor(60s);
    ASSERT_TRUE(rig.run->done());
    EXPECT_EQ(rig.run->outcome(), DeviceOutcome::Success);
    EXPECT_TRUE(toldSuccess(rig.told));
    EXPECT_TRUE(rig.told.linkClosed.empty()) << rig.told.linkClosed.front();
    EXPECT_TRUE(rig.told.faults.empty()) << rig.told.faults.front();
}

INSTANTIATE_TEST_SUITE_P(Run, HangUpWithLastAnswer,
                         ::testing::Values(HangUpCase{"CliDspTcp", false, true, true},
                                           HangUpCase{"CliArmTcp", false, false, true},
                                           HangUpCase{"CliDspSerial", false, true, false},
                                           HangUpCase{"WindowDspTcp", true, true, true},
                                           HangUpCase{"WindowArmTcp", true, false, true}),
                         [](const auto &info) { return std::string(info.param.name); });

// The link lost, or never there, in each phase of a run of both firmwares; what
// the device holds afterwards.
struct LostCase
{
    const char *name;
    int hangUpInState; // the DSP job's state in which the device hangs up; 0 never
    int silentFrom;    // the unit from which the device does not answer
    bool dspOnly;
    bool refuseReopen; // after the DSP firmware the link never opens again
    bool refuseFirst;
    DeviceOutcome outcome;
    const char *holds;
};

class LinkLost : public ::testing::TestWithParam<LostCase>
{
};

TEST_P(LinkLost, EndsTheRunWithWhatTheDeviceHolds)
{
    const LostCase &c = GetParam();
    RunRig rig(cliSettings(), silentFrom(c.silentFrom));
    rig.link->acceptOpens = !c.refuseFirst;
    rig.start(rig.dspFile(40), c.dspOnly ? "" : rig.armFile());
    for (int i = 1; i < 4000 && rig.run->busy(); ++i) {
        if (c.hangUpInState != 0 && rig.run->jobView().fields.jobState == c.hangUpInState)
            rig.link->hangUp();
        if (c.refuseReopen && rig.run->phase() == DeviceRun::Phase::Reopening)
            rig.link->acceptOpens = false;
        rig.step();
    }
    ASSERT_TRUE(rig.run->done());
    EXPECT_EQ(outcomeName(rig.run->outcome()), std::string(outcomeName(c.outcome)));
    EXPECT_EQ(rig.run->deviceHolds(), c.holds);
    // A run that failed tells no success, not even of a firmware it wrote.
    EXPECT_FALSE(toldSuccess(rig.told));
    EXPECT_FALSE(rig.run->linkOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Run, LinkLost,
    ::testing::Values(
        LostCase{"NeverOpened", 0, 0, false, false, true, DeviceOutcome::LinkNotOpened,
                 "DSP firmware not started; ARM firmware not started"},
        LostCase{"WhileErasing", 2, 1, true, false, false, DeviceOutcome::LinkLost,
                 "the device may be partly erased"},
        LostCase{"WhileProgramming", 3, 5, false, false, false, DeviceOutcome::LinkLost,
                 "DSP firmware: the device may be half-written; run the update again; ARM "
                 "firmware not started"},
        LostCase{"RestartNeverEnds", 0, 0, false, true, false, DeviceOutcome::LinkNotOpened,
                 "DSP firmware written; ARM firmware not started"}),
    [](const auto &info) { return std::string(info.param.name); });

// After the DSP firmware the inverter restarts: nothing goes to it before the
// restart wait is over, and the link is tried again until it opens. A WiFi module
// that takes the connection and drops it before the ARM erase is opened again,
// without another attempt and without writing the DSP firmware twice.
TEST(TwoFirmwares, WaitForTheRestartAndOpenTheLinkAgainUntilTheArmJobRuns)
{
    RunRig rig(cliSettings());
    rig.start(rig.dspFile(), rig.armFile());
    while (rig.run->busy() && rig.run->phase() != DeviceRun::Phase::Reopening)
        rig.step();
    const auto dspDone = rig.time.now();
    rig.link->acceptOpens = false;
    while (rig.run->busy() && rig.link->opens < 3)
        rig.step();
    EXPECT_GE(rig.time.now() - dspDone, std::chrono::milliseconds(3000 + 1000));
    rig.link->acceptOpens = true;
    while (rig.run->busy() && rig.run->phase() != DeviceRun::Phase::Running)
        rig.step();
    const int opens = rig.link->opens;
    rig.link->hangUp(); // before the ARM wake-up went out
    rig.runFor(60s);
    EXPECT_EQ(rig.run->outcome(), DeviceOutcome::Success);
    EXPECT_EQ(rig.link->opens, opens + 1);
    EXPECT_EQ(rig.run->result().attempts, 1);
    EXPECT_EQ(rig.link->jobs, (std::vector<std::uint8_t>{0xFA, 0xFE})); // the DSP firmware once
    EXPECT_EQ(rig.run->deviceHolds(), "every firmware written");
    EXPECT_EQ(std::count(rig.told.messages.begin(), rig.told.messages.end(), kSuccess), 1)
        << "one success for the device";
}

// The restart wait counts from the inverter's hang-up (or, when it never hangs
// up, from the end of the drain); a wake-up the restarting inverter leaves
// unanswered is sent again while the time for the restart lasts, and a run that
// still fails says the restart may take longer.
struct RestartCase
{
    const char *name;
    bool hangsUp;
    std::chrono::milliseconds hangUpAfter, restartFor;
    std::chrono::milliseconds wakeUpNotBefore; // after the DSP job's end
    std::vector<std::uint8_t> jobs;
    DeviceOutcome outcome;
    const char *said; // in the run's fault, "" none
};

class Restart : public ::testing::TestWithParam<RestartCase>
{
};

TEST_P(Restart, CountsFromTheHangUpAndWakesTheInverterAgain)
{
    const RestartCase &c = GetParam();
    DeviceRun::Settings settings = cliSettings();
    settings.reopenForMs = 20000;
    settings.longerRestartWait = "--restart-wait";
    RunRig rig(settings);
    rig.link->hangUpAtEnd = c.hangsUp;
    rig.link->hangUpAfter = c.hangUpAfter;
    rig.link->restartFor = c.restartFor;
    rig.start(rig.dspFile(), rig.armFile());
    while (rig.run->busy() && rig.run->jobRunning())
        rig.step();
    const auto dspEnded = rig.time.now();
    rig.runFor(120s);
    ASSERT_TRUE(rig.run->done());
    EXPECT_EQ(outcomeName(rig.run->outcome()), std::string(outcomeName(c.outcome)));
    EXPECT_EQ(rig.link->jobs, c.jobs);
    ASSERT_GE(rig.link->jobsAt.size(), 2u);
    EXPECT_GE(rig.link->jobsAt[1] - dspEnded, c.wakeUpNotBefore);
    const bool timedOut = anyContains(rig.told.messages, "time out");
    EXPECT_EQ(timedOut, c.outcome != DeviceOutcome::Success) << "said only of the last wake-up";
    if (*c.said != '\0') {
        EXPECT_TRUE(anyContains(rig.told.faults, c.said)) << rig.told.faults.back();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Run, Restart,
    ::testing::Values(
        RestartCase{
            "HangsUpLate", true, 1500ms, 0ms, 4500ms, {0xFA, 0xFE}, DeviceOutcome::Success, ""},
        RestartCase{"NeverHangsUp",
                    false,
                    0ms,
                    0ms,
                    3000ms + std::chrono::milliseconds(DeviceRun::kLongestHangUpWaitMs),
                    {0xFA, 0xFE},
                    DeviceOutcome::Success,
                    ""},
        RestartCase{"StillRestarting",
                    true,
                    300ms,
                    6000ms,
                    3300ms,
                    {0xFA, 0xFE, 0xFE},
                    DeviceOutcome::Success,
                    ""},
        RestartCase{"NeverBack",
                    true,
                    300ms,
                    600s,
                    3300ms,
                    {0xFA, 0xFE, 0xFE, 0xFE, 0xFE},
                    DeviceOutcome::TimedOut,
                    "the inverter may still be restarting: try --restart-wait 6"}),
    [](const auto &info) { return std::string(info.param.name); });

// A device left half-written, or holding one firmware of two, is never said to be
// untouched: not when a later attempt finds no link, nor when a signal ends the
// pause before it.
struct TouchedCase
{
    const char *name;
    bool interruptInPause;
    int exitStatus;
};

class Touched : public ::testing::TestWithParam<TouchedCase>
{
};

TEST_P(Touched, NeverEndsAsUntouched)
{
    const TouchedCase &c = GetParam();
    DeviceRun::Settings settings = cliSettings();
    settings.retries = 1;
    updater::sim::Faults once;
    once.silentOnceFrom = 5;
    RunRig rig(settings, once);
    rig.start(rig.dspFile(), "");
    while (rig.run->busy() && rig.run->phase() != DeviceRun::Phase::Pausing)
        rig.step();
    if (c.interruptInPause)
        rig.run->interrupt(15);
    rig.link->acceptOpens = false;
    rig.runFor(60s);
    ASSERT_TRUE(rig.run->done());
    const updater::run::DeviceResult r = rig.run->result();
    EXPECT_TRUE(r.mayBeHalfWritten);
    EXPECT_EQ(updater::run::exitStatus({{r.outcome, r.touched}}, c.interruptInPause ? 15 : 0),
              c.exitStatus);
    EXPECT_FALSE(anyContains(rig.told.faults, "nothing was sent")) << rig.told.faults.back();
    EXPECT_TRUE(anyContains(rig.told.faults, "may be half-written")) << rig.told.faults.back();
}

INSTANTIATE_TEST_SUITE_P(Run, Touched,
                         ::testing::Values(TouchedCase{"RetryFindsNoLink", false, 1},
                                           TouchedCase{"InterruptedInThePause", true, 143}),
                         [](const auto &info) { return std::string(info.param.name); });

// Attempts: a device silent the first time is written by the second, after the
// pause; what an attempt wrote is not undone by a later failure.
TEST(Attempts, ResumeFromTheFirmwareThatFailed)
{
    DeviceRun::Settings settings = cliSettings();
    settings.retries = 1;
    updater::sim::Faults once;
    once.silentOnceFrom = 3;
    RunRig rig(settings, once);
    rig.start(rig.dspFile(), "");
    while (rig.run->busy() && rig.run->phase() != DeviceRun::Phase::Pausing)
        rig.step();
    const int opens = rig.link->opens;
    rig.runFor(2900ms);
    EXPECT_EQ(rig.link->opens, opens) << "the pause is kept";
    rig.runFor(60s);
    EXPECT_EQ(rig.run->outcome(), DeviceOutcome::Success);
    EXPECT_EQ(rig.run->result().attempts, 2);
    EXPECT_TRUE(anyContains(rig.told.messages, "time out"));
}

// A later attempt resumes from the firmware that failed; what an earlier one
// wrote stays written.
TEST(Attempts, KeepWhatAnEarlierAttemptWrote)
{
    DeviceRun::Settings settings = cliSettings();
    settings.retries = 1;
    settings.reopenForMs = 2000;
    RunRig rig(settings);
    rig.start(rig.dspFile(), rig.armFile());
    while (rig.run->busy() && rig.run->phase() != DeviceRun::Phase::Reopening)
        rig.step();
    rig.link->acceptOpens = false;
    while (rig.run->busy() && rig.run->phase() != DeviceRun::Phase::Pausing)
        rig.step();
    rig.link->acceptOpens = true;
    rig.runFor(60s);
    EXPECT_EQ(rig.run->outcome(), DeviceOutcome::Success);
    EXPECT_EQ(rig.run->result().attempts, 2);
    EXPECT_EQ(rig.run->result().message, kSuccess) << "the last attempt's message, not the first's";
    EXPECT_EQ(std::count(rig.told.messages.begin(), rig.told.messages.end(), kSuccess), 1);
    // The DSP firmware once; the ARM firmware after the attempt that found no link.
    EXPECT_EQ(rig.link->jobs, (std::vector<std::uint8_t>{0xFA, 0xFE}));
}

// An interrupt in each phase ends the run at once and says where it stood.
struct InterruptCase
{
    const char *name;
    DeviceRun::Phase at;
    DeviceOutcome outcome;
};

class Interrupt : public ::testing::TestWithParam<InterruptCase>
{
};

TEST_P(Interrupt, EndsTheRunAtOnce)
{
    const InterruptCase &c = GetParam();
    DeviceRun::Settings settings = cliSettings();
    settings.retries = 2;
    updater::sim::Faults once;
    once.silentOnceFrom = c.at == DeviceRun::Phase::Pausing ? 3 : 0;
    RunRig rig(settings, once);
    rig.link->hangUpAtEnd = false;
    rig.link->opensEnd = c.at != DeviceRun::Phase::Opening;
    rig.link->drainsEnd = c.at != DeviceRun::Phase::Closing;
    rig.start(rig.dspFile(), rig.armFile());
    for (int i = 0; i < 4000 && rig.run->phase() != c.at && rig.run->busy(); ++i)
        rig.step();
    ASSERT_EQ(rig.run->phase(), c.at);
    rig.run->interrupt(15);
    EXPECT_TRUE(rig.run->done());
    EXPECT_EQ(outcomeName(rig.run->outcome()), std::string(outcomeName(c.outcome)));
    EXPECT_EQ(rig.told.finished, 1);
    EXPECT_FALSE(rig.run->linkOpen());
    rig.runFor(10s);
    EXPECT_EQ(rig.told.finished, 1) << "nothing runs after an interrupt";
}

INSTANTIATE_TEST_SUITE_P(
    Run, Interrupt,
    ::testing::Values(
        InterruptCase{"Opening", DeviceRun::Phase::Opening, DeviceOutcome::Interrupted},
        // Between the firmwares: the ARM firmware was never started.
        InterruptCase{"Closing", DeviceRun::Phase::Closing, DeviceOutcome::Interrupted},
        InterruptCase{"Running", DeviceRun::Phase::Running, DeviceOutcome::Interrupted},
        InterruptCase{"Reopening", DeviceRun::Phase::Reopening, DeviceOutcome::Interrupted},
        InterruptCase{"Pausing", DeviceRun::Phase::Pausing, DeviceOutcome::Interrupted}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace runtest
