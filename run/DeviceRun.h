#pragma once

#include "DevicePresenter.h"
#include "FirmwareKind.h"
#include "RunHost.h"
#include "RunOutcome.h"
#include "TraceLog.h"

#include "FileDownCom.h"
#include "UpdateJob.h"

#include <QObject>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace updater::run {

// The link a device is reached by.
struct LinkTarget
{
    bool tcp = true;
    unsigned comNumber = 0; // serial: n of "COM<n>", 0 when a device path was given
    std::string serialPath; // serial: the device path, when no COM name was given
    std::string tcpAddress; // tcp: dotted IPv4 address
    std::uint16_t tcpPort = 8899;
};

// One device of a run and the firmware it gets.
struct DeviceEntry
{
    std::string name;     // also the name of its trace file
    std::string linkText; // "10.0.0.7:8899", "COM3", "/dev/ttyUSB0"
    LinkTarget link;
    std::string dspPath; // "" none
    std::string armPath; // "" none
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

// What the run knows of a device once it has finished.
struct DeviceResult
{
    DeviceOutcome outcome = DeviceOutcome::Waiting;
    std::optional<FirmwareKind> failedFirmware; // the firmware the failure was in
    JobEnd end;                                 // where that job stood
    int attempts = 0;
    int unitsSent = 0;
    std::uint64_t bytesSent = 0;
    std::chrono::milliseconds duration{0};
    std::string message; // the message that ended the last job, or why the link failed
    std::string lastStatus;
    // What the device may hold after every attempt: "DSP firmware written; ARM
    // firmware not started". An attempt that failed early does not undo what an
    // earlier one reached.
    std::string deviceHolds;
    bool mayBeHalfWritten = false; // a firmware was erased or partly written, not finished
};

// The update of one device, for every front end: its job, link, host and trace.
//
// start() opens the device's link (or takes the one the front end has open, see
// chooseLink) and writes its firmware files one after the other (DSP first); between them the link
// is closed as at the end of a run and opened again, tried for a while as the device restarts. A
// failed attempt (link not opened, time-out, lost link) runs again after a pause, as often as the
// settings allow, from the firmware that failed.
//
// downLoadOnCurrentLink() runs one job on the link as the front end opened it and
// leaves the link open afterwards: the window's DownLoad. A link that the front
// end chose (chooseLink) and that has closed since it was open is opened again
// first.
//
// Lives on the thread that runs the event loop of its TCP link; its job is ticked
// through tick() by a supervisor thread.
class DeviceRun : public QObject
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
    };

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

    DeviceRun(DeviceEntry device, const Settings &settings, DevicePresenter &presenter);
    ~DeviceRun() override;

    // Another run of the device, or another device: the link and firmware files of
    // the next start(), its settings, and a fresh record of what the device holds.
    // The link stays as it is. Only while not busy().
    void reset(DeviceEntry device, const Settings &settings);
    // The front end opens a link of its own choosing (the window's Set Port): from
    // now on it is the device's link, which downLoadOnCurrentLink() opens again
    // once it has been open and closed. Call before opening it; only while not busy().
    void chooseLink(LinkTarget link, std::string linkText);

    // Opens the trace file (before anything is contacted); returns the fault. A
    // write that fails later is told to onFailure.
    std::string openTrace(const std::string &path,
                          std::function<void(const std::string &)> onFailure = {})
    {
        return trace_.open(path, std::move(onFailure));
    }
    // The trace file opened when the device starts (and closed by closeTrace()),
    // so that a fleet holds open only the traces of the devices under way.
    void setTracePath(std::string path) { tracePath_ = std::move(path); }
    void closeTrace() { trace_.close(); }
    // The window: the trace of its next job, in place of the one before, with its
    // times counted from now.
    std::string openJobTrace(const std::string &path)
    {
        trace_.close();
        const std::string error = trace_.open(path);
        trace_.restartClock();
        return error;
    }
    void note(const std::string &what, const std::string &text) { trace_.note(what, text); }
    // started: a job begins (the supervisor must tick); finished: start()'s run is done.
    void setCallbacks(std::function<void()> started, std::function<void()> finished)
    {
        jobStarted_ = std::move(started);
        finished_ = std::move(finished);
    }

    void start();
    // The window: one job on the link as it stands (opened again first, see
    // above). The job itself refuses to start without a link or a file: false when
    // it did so (its box has been shown).
    bool downLoadOnCurrentLink();
    // Supervisor thread: one tick of the job, if one runs.
    void tick();
    bool jobRunning() const { return jobRunning_.load(); }
    // On the run's thread: where the run stands. Busy from the start of a job or of
    // the opening of a link until the run is done or the window's job has ended.
    Phase phase() const { return phase_; }
    bool busy() const { return phase_ != Phase::Idle && phase_ != Phase::Done; }
    // Abandons whatever runs at once, closes the link, and records where it stood;
    // signal names what interrupted the run (0: the run ended otherwise).
    void interrupt(int signal);

    UpdateJob &job() { return job_; }
    const UpdateJob &job() const { return job_; }
    CFileDownCom &link() { return link_; }
    const DeviceEntry &device() const { return device_; }
    bool twoFirmwares() const { return !device_.dspPath.empty() && !device_.armPath.empty(); }
    DeviceOutcome outcome() const { return result_.outcome; }
    bool done() const;
    DeviceRow row() const;
    DeviceResult result() const;
    // Where the run stopped and what that means for the device: "while programming
    // (job state 3, 41 units sent, last status "Programing..."): the device may be
    // half-written; run the update again", with the firmware named first when the
    // device gets two.
    std::string whereItStopped() const;
    // What the device may hold after every attempt (see DeviceResult).
    std::string deviceHolds() const;

private:
    void setPhase(Phase phase);
    void openLink();
    void linkFailed(const std::string &reason);
    void reopenSoon();
    void startJob();
    void linkLostInJob();
    void jobIdle();
    void closed(JobEnd end, bool sent);
    // After a job that succeeded: the device answered more often than it was sent
    // units; the run fails (true) as one that did not end well.
    bool answeredTooOften();
    // The window's job succeeded: a warning follows if the device goes on answering.
    void checkAnswersAfterSuccess();
    void failed(DeviceOutcome outcome, JobEnd end);
    void finish(DeviceOutcome outcome);
    void say(const std::string &text);
    // whereItStopped() with the outcome's word before the step: "interrupted while ...".
    std::string stopped(const std::string &outcome) const;
    FirmwareKind firmware() const;
    // An attempt's job of kind ended at step (written: it succeeded).
    void reached(FirmwareKind kind, JobStep step, bool written = false);
    bool mayBeHalfWritten() const;
    std::string firmwarePath() const;

    DeviceEntry device_;
    Settings settings_;
    DevicePresenter &presenter_;
    TraceLog trace_;
    RunHost host_;
    UpdateJob job_;
    TracingSink sink_;
    CFileDownCom link_;
    std::function<void()> jobStarted_, finished_;
    std::atomic<bool> jobRunning_{false};
    std::string tracePath_;

    Phase phase_ = Phase::Idle;
    bool onCurrentLink_ = false; // a job of downLoadOnCurrentLink()
    bool linkWasOpen_ = false;   // the link of chooseLink() has been open
    std::size_t stage_ = 0;      // 0 the first firmware, 1 the second
    int jobUnitsBefore_ = 0;     // units sent before the job of this attempt
    bool linkLost_ = false;
    int jobsStarted_ = 0;
    std::string linkError_;
    std::chrono::steady_clock::time_point startedAt_, reopenSince_;
    mutable std::optional<std::chrono::steady_clock::time_point> sendingSince_;
    DeviceResult result_;
    // Per firmware kind, the furthest step any attempt reached, and whether it was written.
    std::array<std::optional<JobStep>, 2> furthest_;
    std::array<bool, 2> written_{};
};

} // namespace updater::run
