#include "JobStates.h"

namespace updater {

const char *stepName(JobStep step)
{
    switch (step) {
    case JobStep::NotStarted:
        return "before anything was sent";
    case JobStep::Connecting:
        return "while connecting";
    case JobStep::Erasing:
        return "during the erase";
    case JobStep::Programming:
        return "while programming";
    }
    return "";
}

const char *whatTheDeviceHolds(JobStep step)
{
    static constexpr const char *kHolds[] = {
        "the device is unchanged",
        "the device has not been erased",
        "the device may be partly erased",
        "the device may be half-written; run the update again",
    };
    return kHolds[static_cast<int>(step)];
}

} // namespace updater
