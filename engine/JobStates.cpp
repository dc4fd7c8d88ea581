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

} // namespace updater
