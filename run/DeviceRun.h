#pragma once

#include "DevicePresenter.h"
#include "DeviceRecord.h"
#include "FirmwareKind.h"
#include "RunHost.h"
#include "RunOutcome.h"
#include "RunTime.h"
#include "TraceLog.h"

#include "DeviceLink.h"
#include "UpdateJob.h"

#include <QObject>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace updater::run {

using updater::LinkTarget;

// One device of a run and the firmware it gets.
struct DeviceEntry
{
    std::string name;     // as the fleet file gives it; its trace file is named after it
    std::string linkText; // "10.0.0.7:8899", "COM3", "/dev/ttyUSB0"
    LinkTarget link;
    std::string dspPath; // "" none
    std::string armPath; // "" none
    // The kind of firmware the window chose while no file is given: the job then
    // asks for one.
    FirmwareKind chosen = FirmwareKind::Dsp;
    // By kind: the CRC-32 of dspPath and armPath, once checked.
    std::array<std::optional<std::uint32_t>, 2> crc32;
    // What an earlier run's report says the device holds: where this run starts
    // from, and what it keeps where this run does not reach. A device given no
    // firmware file and holding firmware so is already written: not contacted.
    Holdings earlier;
};

// Where a device stands, for a progress bar or a table row.
struct DeviceRow
{
    std::string status; // the last status text or what the device waits for
    // The file being sent: its length (0 while no job sends one), how much of it
    // counts as sent, and the time since its first byte went out.
    std::uint32_t fileLength = 0;
    std::uint32_t fileBytesSent = 0;
    std::chrono::milliseconds sending{0};
};

// Where the running job stands, for a front end that shows its place.
struct JobView
{
    JobFields fields;
    ArmCounters arm;
};

// The update of one device, for every front end: its job, link, host and trace.
//
// start() opens the device's link and writes its firmware files one after the
// other (DSP first); between them the link is closed as at the end of a run and
// opened again after the device's restart, tried for a while. A failed attempt
// (link not opened, time-out, lost link, a line that answered too often) runs again
// after a pause, as often as the settings allow, from the firmware that failed.
//
// The verdict is made once per job, after the job has ended and the link has
// been drained (or, with keepLinkOpen, listened to until quiet): only then is a
// job's success told, or the run's failure.
//
// Lives on the thread that runs the event loop of its link; its job is ticked
// through tick() by a supervisor thread.
class DeviceRun : public QObject, private LinkEvents
{
public:
    struct Settings
    {
        unsigned retries = 0;
        int retryPauseMs = 3000;
        // After the DSP firmware the inverter restarts: the link is opened again
        // only after this wait, then tried every reopenEveryMs for reopenForMs.
        int restartWaitMs = 3000;
        int reopenForMs = 60000;
        int reopenEveryMs = 1000;
        // A link closed during a job ends the job at once; otherwise the job's wait
        // runs out as for any missing answer.
        bool endJobWhenLinkLost = true;
        // What a failure of the second firmware's wake-up suggests: "try
        // --restart-wait 6" (front ends name their own setting; "" none).
        std::string longerRestartWait;
        // The window's DownLoad: the link stays as the technician set it. It is
        // used as it stands, opened again first when it was open and has closed
        // since, and left open after the job; the line is listened to until quiet
        // before the verdict.
        bool keepLinkOpen = false;
    };

    enum class Phase
    {
        Idle,
        Opening,
        Reopening, // the device restarts after a firmware: tried again for a while
        Running,
        Closing, // the job has ended: the link is drained or listened to
        Pausing, // before another attempt
        Done,
    };

    // The line is listened to after a job until it has been quiet this long, at
    // most kLongestListenMs.
    static constexpr int kQuietMs = 500;
    static constexpr int kLongestListenMs = 5000;
    // After the first of two firmwares a TCP link is kept open until the inverter
    // hangs up as it restarts, at most this long; the restart wait counts from then.
    static constexpr int kLongestHangUpWaitMs = 5000;

    // link: the device's link (nullptr: the programs' link object).
    DeviceRun(DeviceEntry device, const Settings &settings, DevicePresenter &presenter,
              std::unique_ptr<DeviceLink> link = nullptr, RunTime &time = systemTime());
    ~DeviceRun() override;

    // Another run of the device, or another device: the link and firmware files of
    // the next start(), its settings, and a fresh record of what the device holds.
    // The link stays open as it is. Only while not busy().
    void reset(DeviceEntry device, const Settings &settings);
    // The window's Set Port: target becomes the device's link and is opened now,
    // closing the one before. Only while not busy().
    void openLink(LinkTarget target, std::string linkText);

    DeviceTrace &trace() { return trace_; }
    void note(const std::string &what, const std::string &text) { trace_.log().note(what, text); }
    // started: a job begins (the supervisor must tick); finished: start()'s run is done.
    void setCallbacks(std::function<void()> started, std::function<void()> finished)
    {
        jobStarted_ = std::move(started);
        finished_ = std::move(finished);
    }

    void start();
    // Supervisor thread: one tick of the job, if one runs.
    void tick();
    bool jobRunning() const { return jobRunning_.load(); }
    // On the run's thread: where the run stands. Busy from the start until the run
    // is done (or a job the window started was refused).
    Phase phase() const { return phase_; }
    bool busy() const { return phase_ != Phase::Idle && phase_ != Phase::Done; }
    // Abandons whatever runs at once, closes the link, and records where it stood;
    // signal names what interrupted the run (0: the run ended otherwise).
    void interrupt(int signal);
    // Closes the link; the window is closing. Nothing is told any more.
    void shutDown();

    const DeviceEntry &device() const { return device_; }
    bool twoFirmwares() const { return !device_.dspPath.empty() && !device_.armPath.empty(); }
    bool linkOpen() const { return link_->isOpen(); }
    DeviceOutcome outcome() const { return record_.outcome(); }
    bool done() const { return phase_ == Phase::Done; }
    DeviceRow row() const;
    JobView jobView() const;
    // The firmware of the job under way, or of the last one.
    FirmwareKind firmware() const;
    DeviceResult result() const;
    // Where the run stopped and what that means for the device (DeviceRecord::stopped).
    std::string whereItStopped() const;
    // What the device may hold after every attempt (see DeviceResult).
    std::string deviceHolds() const { return record_.deviceHolds(); }

private:
    // LinkEvents.
    void linkOpened() override;
    void linkOpenFailed(const std::string &reason) override;
    void linkLost() override;

    void setPhase(Phase phase);
    void open();
    void linkFailed(const std::string &reason);
    void startJob();
    void lostInJob();
    void jobIdle();
    // The line has been listened to after a successful job (keepLinkOpen).
    void listen();
    // The job has ended and its link is drained (sent: all of it was written).
    void verdict(JobEnd end, bool sent);
    // Closes the link once what was handed to it is written, counting answers
    // meanwhile; then the verdict on the job that ended so.
    void drainThenDecide(const JobEnd &end);
    // The first of two firmwares is written: wait for the restart, then reopen.
    void awaitRestart();
    // The inverter hung up after the first of two firmwares, or its time ran out.
    void hungUp();
    // The second firmware's wake-up went unanswered soon after the restart: the
    // link is opened again while the reopen time lasts.
    bool wakeAgain(const JobEnd &end);
    void failed(DeviceOutcome outcome, JobEnd end, std::string why = {});
    void finish(DeviceOutcome outcome);
    void say(const std::string &text);
    std::string stopped(const std::string &word) const;
    std::string firmwarePath() const;
    std::chrono::milliseconds since(RunTime::Clock::time_point start) const;

    DeviceEntry device_;
    Settings settings_;
    DevicePresenter &presenter_;
    RunTime &time_;
    DeviceTrace trace_;
    RunHost host_;
    UpdateJob job_;
    TracingSink sink_;
    std::unique_ptr<DeviceLink> link_;
    // The one wait of the phase machine: the restart, the next try of a link, the
    // retry pause, the quiet after a job.
    std::unique_ptr<RunTimer> timer_;
    std::function<void()> jobStarted_, finished_;
    std::atomic<bool> jobRunning_{false};

    Phase phase_ = Phase::Idle;
    bool linkWasOpen_ = false;  // the link has been open since it was last chosen
    bool openedForJob_ = false; // a link open event now starts the job
    std::size_t stage_ = 0;     // 0 the first firmware, 1 the second
    int jobUnitsBefore_ = 0;    // units sent before the job of this attempt
    bool linkLost_ = false;
    bool awaitingHangUp_ = false; // after the first firmware: until the inverter hangs up
    bool decided_ = false;        // the verdict of the last job has been made
    std::string linkError_;
    RunTime::Clock::time_point startedAt_, reopenSince_, jobEndedAt_;
    mutable std::optional<RunTime::Clock::time_point> sendingSince_;
    DeviceRecord record_;
    int attempts_ = 0;
    std::chrono::milliseconds duration_{0};
    std::string message_;
};

} // namespace updater::run
