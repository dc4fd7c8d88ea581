#pragma once

#include "JobStates.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The words in which every front end tells a run: times, the steps of a job and
// what a device holds after one. Firmware names are in FirmwareKind.h, a link's
// in PortName.h (linkLabel).
namespace updater::run {

// "1 unit", "41 units"
std::string unitsText(int units);

// "1:05", "12:40": minutes and seconds; "-" for a negative count.
std::string minutesSeconds(long long seconds);

// The seconds it takes to send the rest of a file at the rate so far, rounded to
// the nearest; none until some of it was seen sent over a measured time, or when
// more was sent than the file holds.
std::optional<long long> secondsLeft(std::uint64_t sent, std::uint64_t total,
                                     std::chrono::milliseconds sending);

// How a job step is told; one row per JobStep, in its order.
struct StepWords
{
    JobStep step;
    const char *name;  // "while programming": where a job stopped
    const char *key;   // "programming": the report's failedStep
    const char *state; // "may be half-written": the device after a job that stopped there
    // What to do then: the run's record says it only where the device may be
    // half-written, the window for every step that sent something.
    const char *runAdvice;
    const char *windowAdvice;
};

inline constexpr std::array<StepWords, 4> kJobSteps = {{
    {JobStep::NotStarted, "before anything was sent", "not started", "is unchanged", "", ""},
    {JobStep::Connecting, "while connecting", "connecting", "has not been erased", "",
     "run the update again"},
    {JobStep::Erasing, "during the erase", "erasing", "may be partly erased", "",
     "keep it powered and run the update again"},
    {JobStep::Programming, "while programming", "programming", "may be half-written",
     "run the update again", "keep it powered and run the update again"},
}};

constexpr const StepWords &stepWords(JobStep step)
{
    return kJobSteps[static_cast<int>(step)];
}

// "while programming"
constexpr const char *stepName(JobStep step)
{
    return stepWords(step).name;
}

// "programming"
constexpr const char *stepKey(JobStep step)
{
    return stepWords(step).key;
}

// What the device may hold after a job that ended at step, as a run records it:
// "the device may be half-written; run the update again".
std::string whatTheDeviceHolds(JobStep step);

// The same as the window says it, with what to do: "The inverter may be
// half-written: keep it powered and run the update again."
std::string whatTheInverterHolds(JobStep step);

} // namespace updater::run
