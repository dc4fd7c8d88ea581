#pragma once

#include "Supervisor.h"

#include <memory>
#include <vector>

namespace updater::run {

class DeviceRun;

// The supervisor thread of a front end: every 50 ms one tick of each of its runs'
// jobs, asleep while none runs, woken when one starts. The runs outlive it.
class RunTicker
{
public:
    explicit RunTicker(std::vector<DeviceRun *> runs);
    // A job has started: tick from now on. Any thread.
    void wake() { supervisor_->wake(); }

private:
    std::vector<DeviceRun *> runs_; // before the thread that reads them
    std::unique_ptr<Supervisor> supervisor_;
};

} // namespace updater::run
