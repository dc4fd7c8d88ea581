#pragma once

#include "FirmwareKind.h"
#include "Holdings.h"
#include "RunOutcome.h"

#include "UpdateJob.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace updater::run {

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
    std::string message; // the message that ended the last job, or why the run failed
    std::string lastStatus;
    // What the device may hold after every attempt: "DSP firmware written; ARM
    // firmware not started". An attempt that failed early does not undo what an
    // earlier one reached.
    std::string deviceHolds;
    bool mayBeHalfWritten = false; // a firmware was erased or partly written, not finished
    // Per kind of firmware: the file, its CRC-32 and how far it got, this run's or
    // carried forward from an earlier run's report.
    Holdings holds;
    // The device is not as it was: a firmware may be half-written, or written.
    bool touched = false;
};

// The record of one device across the attempts of a run: per firmware the
// furthest step any attempt reached and whether it was written, and how the run
// ended. It says what the device may hold and where the run stopped.
class DeviceRecord
{
public:
    // A device that gets the firmware given (by kind: its file and CRC-32), having
    // held what earlier says an earlier run left on it; nothing reached yet.
    void reset(Holdings given, Holdings earlier = {});

    // An attempt's job of kind ended at step (written: it succeeded).
    void reached(FirmwareKind kind, JobStep step, bool written = false);
    bool written(FirmwareKind kind) const { return written_[index(kind)]; }
    // Per kind: what this run wrote or may have half-written, else what the
    // earlier run left, else the file this run would have sent, not started.
    Holdings holds() const;
    bool mayBeHalfWritten() const;
    // Not as it was before the run: a firmware may be half-written, or written.
    bool touched() const;
    // "every firmware written", "DSP firmware written; ARM firmware not started",
    // "the device may be half-written; run the update again".
    std::string deviceHolds() const;

    // The run failed in the job of kind that ended so; its cause: outcome and,
    // for outcomes that tell more than their name, why (said after where it stopped).
    void failed(DeviceOutcome outcome, FirmwareKind kind, const JobEnd &end, std::string why = {});
    void succeeded(const JobEnd &end);
    DeviceOutcome outcome() const { return outcome_; }
    void setOutcome(DeviceOutcome outcome) { outcome_ = outcome; }
    const std::optional<FirmwareKind> &failedFirmware() const { return failedFirmware_; }
    const JobEnd &end() const { return end_; }
    const std::string &why() const { return why_; }

    // Where the run stopped and what that means for the device: "time-out while
    // programming (job state 3, 41 units sent, last status "Programing..."): the
    // device may be half-written; run the update again", with the firmware named
    // first when the device gets two. word goes before the step ("interrupted");
    // units and lastStatus are those of the job that stopped.
    std::string stopped(const std::string &word, int units, const std::string &lastStatus) const;

private:
    std::string stoppedAt(const std::string &word, int units, const std::string &lastStatus) const;
    static int index(FirmwareKind kind) { return static_cast<int>(kind); }
    bool two() const { return gets_[0] && gets_[1]; }

    std::array<bool, 2> gets_{};
    Holdings given_, earlier_;
    std::array<std::optional<std::chrono::system_clock::time_point>, 2> writtenAt_;
    std::array<std::optional<JobStep>, 2> furthest_;
    std::array<bool, 2> written_{};
    DeviceOutcome outcome_ = DeviceOutcome::Waiting;
    std::optional<FirmwareKind> failedFirmware_;
    JobEnd end_;
    std::string why_;
};

} // namespace updater::run
