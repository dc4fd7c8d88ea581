#pragma once

#include "DevicePresenter.h"
#include "DeviceRun.h"
#include "FirmwareCheck.h"

#include "RunTicker.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace updater::run {

// A firmware file refused before any device was contacted.
struct Refusal
{
    std::string path;
    std::string fault; // "line 7: checksum mismatch"
};

// Checks every firmware file of the devices once, DSP before ARM. Fills summaries
// with the files that passed; returns the first refusal.
std::optional<Refusal> checkFirmwareFiles(const std::vector<DeviceEntry> &devices,
                                          std::vector<FirmwareSummary> &summaries);

// A run over one device or many. Every device has its own job and link; one
// supervisor thread ticks every running job and this thread's event loop serves
// every TCP link, so the threads stay the same however many devices run. Up to
// `jobs` devices run at once, in the order given.
class FleetRun : public QObject
{
public:
    using PresenterFor = std::function<std::unique_ptr<DevicePresenter>(const DeviceEntry &)>;
    // The link of a device (nullptr or none given: the programs' link object).
    using LinkFor = std::function<std::unique_ptr<DeviceLink>(const DeviceEntry &)>;

    // time: a test's counted time, whose caller ticks the jobs itself (tick());
    // otherwise a supervisor thread ticks them every 50 ms.
    FleetRun(std::vector<DeviceEntry> devices, const DeviceRun::Settings &settings, unsigned jobs,
             const PresenterFor &presenterFor, const LinkFor &linkFor = {},
             RunTime *time = nullptr);
    ~FleetRun() override;

    const std::vector<std::unique_ptr<DeviceRun>> &runs() const { return runs_; }
    // Starts the first devices; finished(exit status) follows on this thread.
    void start(std::function<void(int)> finished);
    // Called on this thread whenever a device has started or ended.
    void setOnChange(std::function<void()> changed) { changed_ = std::move(changed); }
    // Abandons every running job at once and ends the run with 128 + signal.
    void interrupt(int signal);
    bool ended() const { return ended_; }
    // The signal that ended the run, 0 none.
    int signal() const { return signal_; }
    int exitStatus() const;
    // One tick of every running job: the supervisor's, or a test's in counted time.
    void tick();

private:
    void launch();
    void deviceDone();
    void end(int signal);

    std::vector<std::unique_ptr<DevicePresenter>> presenters_;
    // Made before the supervisor starts, never changed after: its thread reads them.
    std::vector<std::unique_ptr<DeviceRun>> runs_;
    std::unique_ptr<RunTicker> ticker_; // goes before the runs it ticks
    bool ownTicks_ = true;
    unsigned jobs_;
    std::size_t next_ = 0; // the next device to start
    bool ended_ = false;
    int signal_ = 0;
    std::function<void(int)> finished_;
    std::function<void()> changed_;
};

} // namespace updater::run
