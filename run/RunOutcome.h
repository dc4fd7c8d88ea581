#pragma once

#include <string>
#include <vector>

namespace updater::run {

// How a device's update ended, or where it stands.
enum class DeviceOutcome
{
    Waiting,       // not started yet
    Running,       // opening its link, running a job, or pausing before another attempt
    Success,       // the device acknowledged every firmware
    LinkNotOpened, // no such port, port busy, connection refused or unreachable
    TimedOut,      // the device stopped answering
    LinkLost,      // the link closed during the job, or before all of it was written
    // The job ended well, but its line carried more acknowledgements than units
    // (noise, a second device, a device that answers twice): units went out
    // before the device had taken the ones before them.
    TooManyAnswers,
    // As many acknowledgements as units, but some came sooner than their unit
    // could have crossed a 9600-baud line: noise, or a port that is not such a line.
    EarlyAnswers,
    FileRefused, // the job refused a firmware file when it loaded it: nothing was sent
    FileFailed,  // a firmware file failed while it was being sent
    Interrupted, // Ctrl+C or SIGTERM ended the run while it was under way
    NotStarted,  // the run was interrupted before this device's turn
    // Not contacted: an earlier report shows it holding every firmware of the run,
    // the same files by their CRC-32, written.
    AlreadyWritten,
};

// "link not opened", "time-out", "in progress": the summary's and the report's word for it.
const char *outcomeName(DeviceOutcome outcome);

// The outcomes that the count of the device's answers decides.
constexpr bool answerOutcome(DeviceOutcome outcome)
{
    return outcome == DeviceOutcome::TooManyAnswers || outcome == DeviceOutcome::EarlyAnswers;
}

// The exit statuses of a run; a signal that ends a run gives 128 + its number.
inline constexpr int kExitSuccess = 0; // every firmware reached every device
inline constexpr int kExitFailed = 1;  // a time-out, a lost link or a file that failed mid-job
inline constexpr int kExitRefused = 2; // usage, or a firmware or fleet file refused: nothing sent
inline constexpr int kExitNoLink = 3;  // the link could not be opened

// How a device's run ended, as the exit status sums it up.
struct DeviceEnd
{
    DeviceOutcome outcome = DeviceOutcome::Waiting;
    // The device is not as it was (a firmware written or half-written): its
    // failure is never one that left it untouched.
    bool touched = false;
};

// Success, or nothing needed doing.
constexpr bool succeeded(DeviceOutcome outcome)
{
    return outcome == DeviceOutcome::Success || outcome == DeviceOutcome::AlreadyWritten;
}

// The exit status of a run whose devices ended so: 128 + signal when a signal
// ended it; 0 when every device succeeded or was already written; for one device
// left untouched, 2 for a file the job refused and 3 for a link that did not
// open; otherwise 1.
int exitStatus(const std::vector<DeviceEnd> &ends, int signal);

} // namespace updater::run
