#include "RunOutcome.h"

#include <algorithm>

namespace updater::run {

const char *outcomeName(DeviceOutcome outcome)
{
    switch (outcome) {
    case DeviceOutcome::Waiting:
        return "waiting";
    case DeviceOutcome::Running:
        return "running";
    case DeviceOutcome::Success:
        return "success";
    case DeviceOutcome::LinkNotOpened:
        return "link not opened";
    case DeviceOutcome::TimedOut:
        return "time-out";
    case DeviceOutcome::LinkLost:
        return "link lost";
    case DeviceOutcome::TooManyAnswers:
        return "too many answers";
    case DeviceOutcome::EarlyAnswers:
        return "early answers";
    case DeviceOutcome::FileRefused:
        return "file refused";
    case DeviceOutcome::FileFailed:
        return "file failed";
    case DeviceOutcome::Interrupted:
        return "interrupted";
    case DeviceOutcome::NotStarted:
        return "not started";
    }
    return "";
}

int exitStatus(const std::vector<DeviceOutcome> &outcomes, int signal)
{
    if (signal != 0)
        return 128 + signal;
    if (std::all_of(outcomes.begin(), outcomes.end(),
                    [](DeviceOutcome o) { return o == DeviceOutcome::Success; }))
        return kExitSuccess;
    if (outcomes.size() == 1 && outcomes.front() == DeviceOutcome::FileRefused)
        return kExitRefused;
    if (outcomes.size() == 1 && outcomes.front() == DeviceOutcome::LinkNotOpened)
        return kExitNoLink;
    return kExitFailed;
}

} // namespace updater::run
