#include "RunOutcome.h"

#include <algorithm>

namespace updater::run {

const char *outcomeName(DeviceOutcome outcome)
{
    switch (outcome) {
    case DeviceOutcome::Waiting:
        return "waiting";
    case DeviceOutcome::Running:
        return "in progress";
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
    case DeviceOutcome::AlreadyWritten:
        return "already written";
    }
    return "";
}

int exitStatus(const std::vector<DeviceEnd> &ends, int signal)
{
    if (signal != 0)
        return 128 + signal;
    if (std::all_of(ends.begin(), ends.end(), [](DeviceEnd e) { return succeeded(e.outcome); }))
        return kExitSuccess;
    if (ends.size() == 1 && !ends.front().touched) {
        if (ends.front().outcome == DeviceOutcome::FileRefused)
            return kExitRefused;
        if (ends.front().outcome == DeviceOutcome::LinkNotOpened)
            return kExitNoLink;
    }
    return kExitFailed;
}

} // namespace updater::run
