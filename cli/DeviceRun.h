#pragma once

#include "CliHost.h"
#include "Console.h"
#include "FleetFile.h"
#include "TraceLog.h"

#include "FileDownCom.h"
#include "UpdateJob.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace updater::cli {

// How a device's update ended, or where it stands.
enum class DeviceOutcome
{
    Waiting,       // not started yet
    Running,       // opening its link, running a job, or pausing before another attempt
    Success,       // the device acknowledged every firmware
    LinkNotOpened, // no such port, port busy, connection refused or unreachable
    TimedOut,      // the device stopped answering
    LinkLost,      // the link closed during the job (the job then timed out)
    FileFailed,    // a firmware file failed while it was being sent
    Interrupted,   // Ctrl+C or SIGTERM ended the run while it was under way
    NotStarted,    // the run was interrupted before this device's turn
};

const char *outcomeName(DeviceOutcome outcome);
// "DSP" or "ARM".
const char *firmwareName(int type);

// Where a device stands for the live table and the summary.
struct DeviceRow
{
    std::string status; // the last status text or what the device waits for
    int percent = -1;   // -1: no job is sending a file
    double bytesPerSecond = 0;
    int secondsLeft = -1;
};

// What the run knows of a device once it has finished.
struct DeviceResult
{
    DeviceOutcome outcome = DeviceOutcome::Waiting;
    int firmwareType = -1; // the firmware the failure was in (-1: none)
    JobEnd end;            // where that job stood
    int attempts = 0;
    int unitsSent = 0;
    std::uint64_t bytesSent = 0;
    std::chrono::milliseconds duration{0};
    std::string message; // the message that ended the last job, or why the link failed
};

// The update of one device of a run: its own job, link, host, trace and counters.
// The firmware files go one after the other (DSP first); between them the link is
// closed as at the end of a run and opened again, tried for up to a minute while
// the device restarts. A failed attempt (link not opened, time-out, lost link) is
// run again after a pause, as often as retries allows, from the firmware that failed.
//
// Lives on the main thread, which runs the event loop of every TCP link. Its job is
// ticked by the run's one supervisor through tick().
class DeviceRun : public QObject
{
public:
    struct Settings
    {
        unsigned retries = 0;
        int retryPauseMs = 3000;
        int reopenForMs = 60000;
        int reopenEveryMs = 1000;
        bool echo = true;   // status texts on the console (else a table shows them)
        bool prefix = true; // each line starts with the name and the link
    };

    DeviceRun(const FleetDevice &device, const Settings &settings, Console &console);
    ~DeviceRun() override;

    // Opens the trace file (before anything is contacted); returns the fault.
    std::string openTrace(const std::string &path) { return trace_.open(path); }
    // started: a job begins (the supervisor must tick); finished: the device is done.
    void setCallbacks(std::function<void()> started, std::function<void()> finished)
    {
        jobStarted_ = std::move(started);
        finished_ = std::move(finished);
    }

    void start();
    // Supervisor thread: one tick of the job, if one runs.
    void tick();
    bool jobRunning() const { return jobRunning_.load(); }
    // Abandons whatever runs at once, closes the link, and records where it stood.
    void interrupt();

    const FleetDevice &device() const { return device_; }
    DeviceOutcome outcome() const { return result_.outcome; }
    bool done() const;
    DeviceRow row() const;
    DeviceResult result() const;
    // "DSP while programming: the device may be half-written; run the update again"
    std::string whereItStopped() const;

private:
    void openLink();
    void linkFailed(const std::string &reason);
    void reopenSoon();
    void startJob();
    void linkLostInJob();
    void jobIdle();
    void closed(JobEnd end, bool sent);
    void failed(DeviceOutcome outcome, JobEnd end);
    void finish(DeviceOutcome outcome);
    void say(const std::string &text);
    int firmwareType() const;
    std::string firmwarePath() const;

    const FleetDevice &device_;
    Settings settings_;
    Console &console_;
    TraceLog trace_;
    CliHost host_;
    UpdateJob job_;
    TracingSink sink_;
    CFileDownCom link_;
    const std::string prefix_; // before each line said: "inv-07 10.0.0.7:8899 "
    std::function<void()> jobStarted_, finished_;
    std::atomic<bool> jobRunning_{false};

    enum class Phase
    {
        Idle,
        Opening,
        Reopening, // the device restarts after a firmware: tried again for a while
        Running,
        Closing,
        Pausing, // before another attempt
        Done,
    };
    Phase phase_ = Phase::Idle;
    std::size_t stage_ = 0; // 0 the first firmware, 1 the second
    bool linkLost_ = false;
    std::string linkError_;
    std::chrono::steady_clock::time_point startedAt_, reopenSince_;
    mutable std::chrono::steady_clock::time_point programmingSince_;
    mutable bool programming_ = false;
    DeviceResult result_;
};

} // namespace updater::cli
