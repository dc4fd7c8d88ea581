#include "RunTicker.h"

#include "DeviceRun.h"

#include <algorithm>

namespace updater::run {

RunTicker::RunTicker(std::vector<DeviceRun *> runs) : runs_(std::move(runs))
{
    supervisor_ = std::make_unique<Supervisor>(
        [this] {
            for (DeviceRun *run : runs_)
                run->tick();
        },
        std::chrono::milliseconds(kTickMs),
        [this] {
            return std::any_of(runs_.begin(), runs_.end(),
                               [](const DeviceRun *run) { return run->jobRunning(); });
        });
}

} // namespace updater::run
