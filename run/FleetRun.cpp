#include "FleetRun.h"

#include "UpdateJob.h"

#include <algorithm>
#include <set>

namespace updater::run {

std::optional<Refusal> checkFirmwareFiles(const std::vector<DeviceEntry> &devices,
                                          std::vector<FirmwareSummary> &summaries)
{
    std::set<std::pair<FirmwareKind, std::string>> checked;
    for (const DeviceEntry &d : devices) {
        for (const auto &[kind, path] :
             {std::pair{FirmwareKind::Dsp, d.dspPath}, {FirmwareKind::Arm, d.armPath}}) {
            if (path.empty() || !checked.emplace(kind, path).second)
                continue;
            FirmwareSummary summary;
            if (std::string fault = firmwareFault(kind, path, &summary); !fault.empty())
                return Refusal{path, std::move(fault)};
            summaries.push_back(summary);
        }
    }
    return std::nullopt;
}

FleetRun::FleetRun(std::vector<DeviceEntry> devices, const DeviceRun::Settings &settings,
                   unsigned jobs, const PresenterFor &presenterFor, const LinkFor &linkFor,
                   RunTime *time)
    : ownTicks_(time == nullptr), jobs_(std::max(1u, jobs))
{
    for (DeviceEntry &d : devices) {
        presenters_.push_back(presenterFor(d));
        std::unique_ptr<DeviceLink> link = linkFor ? linkFor(d) : nullptr;
        runs_.push_back(std::make_unique<DeviceRun>(std::move(d), settings, *presenters_.back(),
                                                    std::move(link),
                                                    time != nullptr ? *time : systemTime()));
        runs_.back()->setCallbacks(
            [this] {
                if (ticker_)
                    ticker_->wake();
            },
            [this] {
                QMetaObject::invokeMethod(
                    this, [this] { deviceDone(); }, Qt::QueuedConnection);
            });
    }
}

FleetRun::~FleetRun()
{
    ticker_.reset();
}

void FleetRun::start(std::function<void(int)> finished)
{
    finished_ = std::move(finished);
    // One thread ticks every job; it sleeps while none runs.
    if (ownTicks_) {
        std::vector<DeviceRun *> runs;
        for (const auto &run : runs_)
            runs.push_back(run.get());
        ticker_ = std::make_unique<RunTicker>(std::move(runs));
    }
    launch();
}

void FleetRun::tick()
{
    for (const auto &run : runs_)
        run->tick();
}

void FleetRun::launch()
{
    std::size_t active = 0;
    for (std::size_t i = 0; i < next_; ++i)
        active += runs_[i]->done() ? 0 : 1;
    const std::size_t first = next_;
    while (!ended_ && next_ < runs_.size() && active < jobs_) {
        ++active;
        runs_[next_++]->start();
    }
    if (!ended_ && active == 0 && next_ == runs_.size()) {
        end(0);
        return;
    }
    if (next_ != first && changed_)
        changed_();
}

void FleetRun::deviceDone()
{
    if (ended_)
        return;
    if (changed_)
        changed_();
    launch();
    if (ended_)
        return; // the traces still open get the exit status
    for (const auto &run : runs_) {
        if (run->done())
            run->trace().close();
    }
}

void FleetRun::interrupt(int signal)
{
    end(signal);
}

int FleetRun::exitStatus() const
{
    std::vector<DeviceEnd> ends;
    for (const auto &run : runs_)
        ends.push_back({run->outcome(), run->result().touched});
    return run::exitStatus(ends, signal_);
}

void FleetRun::end(int signal)
{
    if (ended_)
        return;
    ended_ = true;
    signal_ = signal;
    // Every running job is abandoned at once; the results tell where each stood.
    for (const auto &run : runs_)
        run->interrupt(signal);
    ticker_.reset();
    const int status = exitStatus();
    // The exit status is one device's own only when it is the only one; in a fleet
    // each trace ends with its own device's outcome.
    if (runs_.size() == 1)
        runs_.front()->note("exit", std::to_string(status));
    if (finished_)
        finished_(status);
}

} // namespace updater::run
