#pragma once

#include "FirmwareFile.h"
#include "HexFile.h"
#include "JobHost.h"
#include "JobLock.h"
#include "JobStates.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace updater {

inline constexpr int kDspFirmware = 0;
inline constexpr int kArmFirmware = 1;
inline constexpr int kTickMs = 50;

// How a job ended.
enum class JobOutcome
{
    None,        // no job has ended yet, or one is running
    Success,     // the device acknowledged the last unit
    TimedOut,    // a wait ran out
    FileRefused, // the firmware file was refused before anything was sent
    FileFailed,  // the firmware file failed while the job was sending it
    Abandoned,   // abandon() ended the job
};

// The end of the last job: how, and where it stood then.
struct JobEnd
{
    JobOutcome outcome = JobOutcome::None;
    std::int32_t state = kNoJob; // jobState at the ending (for a success, the last state)
    JobStep step = JobStep::NotStarted;
};

// The job fields, with their widths and their values at construction.
struct JobFields
{
    std::uint32_t bytesSent = 0;
    std::int32_t elapsedMs = 0;
    std::int32_t jobState = -1;
    std::int32_t timeoutMs = 5000;
    bool timeoutInProgress = false;
    bool idle = true;
    bool fileOpen = false;
    std::int32_t fileLength = 0;
    bool readyToSend = false;
    std::int32_t readPos = 0;
    std::int8_t dspTickCalls = 0;
    std::int32_t sendIntervalMs = 200;
    std::int32_t firmwareType = kDspFirmware;
    std::string firmwarePath;
};

// State the DSP sender keeps for the whole program; it carries over between jobs.
struct DspCounters
{
    std::int32_t linesSinceProgress = 0;
};

// Counters of the ARM protocol; they carry over between jobs.
struct ArmCounters
{
    std::int32_t blockNumber = 0;
    std::int32_t blocksSinceProgress = 0;
};

// One update job and the two device protocols that run inside it.
//
// Three sides drive it: the commands (downLoad, setFirmware), the supervisor
// (jobTick every 50 counted milliseconds) and the links (receiveByte for every
// byte received). Each public operation is one step under the job lock, so a tick
// and the handling of one received byte never interleave. The lock is released
// while a message box is open. Observers take the lock too, so a host must not
// call them from inside one of its callbacks.
class UpdateJob : public IByteSink
{
public:
    explicit UpdateJob(IJobHost &host);
    ~UpdateJob() override;
    UpdateJob(const UpdateJob &) = delete;
    UpdateJob &operator=(const UpdateJob &) = delete;

    // Open firmware file command: the type and path the next job will use.
    void setFirmware(int firmwareType, std::string path);

    // DownLoad command. linkOpen is the link object's flag.
    void downLoad(bool linkOpen);

    // Job tick: one call per 50 counted milliseconds. The argument is ignored.
    void jobTick(int unused = 0);

    // Receive side: the byte handler, then for DSP firmware the DSP sender.
    void receiveByte(std::uint8_t byte) override;
    // The same, telling whether the byte moved the job (changed its state or its
    // readiness to send, or ended it); false for a byte that the job ignored.
    bool handleByte(std::uint8_t byte);

    // Ends a running job at once without a message: closes the file and resets the
    // fields as the time-out ending does. Returns the state the job was in (-1 if
    // none was running).
    int abandon();

    // Closes the firmware file if a job has it open (the main window is closing).
    void closeFirmwareFile();

    // Observers.
    JobFields fields() const;
    DspCounters dspCounters() const;
    ArmCounters armCounters() const;
    int jobState() const;
    bool idle() const;
    JobOutcome lastOutcome() const;
    JobEnd lastEnd() const;
    // Why the last job ended when it was refused or failed: names the file, and for
    // HEX the line and the fault ("fw.hex: line 7: checksum mismatch").
    std::string lastError() const;

private:
    // What a locked step leaves for its caller to finish outside the lock.
    enum class Ending
    {
        None,
        Success,
        TimeOut,
        FileRefused,
        FileFailed,
    };

    Ending byteHandler(unsigned byte);
    Ending tickLocked();
    void finish(std::unique_lock<JobLock> &lock, Ending ending);
    void showMessage(std::unique_lock<JobLock> &lock, MessageKind kind, const std::string &text);
    void noteEnd(JobOutcome outcome, std::int32_t state);
    Ending ended(Ending ending); // the job ends now, in the state it is in
    void resetAfterFailure();
    void closeFileLocked();
    void writeTimeoutLine();
    Ending refuse(FileError error);

    // DSP protocol.
    Ending dspSender();
    Ending dspRows(unsigned byte);
    Ending dspLoad();
    void dspErase();
    void dspNextRecord();

    // ARM protocol.
    Ending armSender();
    Ending armRows(unsigned byte);
    Ending armOpen();
    Ending armDataBlock();
    void armWait(std::int32_t timeoutMs, std::int32_t sendIntervalMs);
    void send(const std::uint8_t *data, std::size_t length);

    IJobHost &host_;
    mutable JobLock jobLock_;
    JobFields f_;
    DspCounters dsp_;
    ArmCounters arm_;
    FirmwareFile firmwareFile_;
    HexRecords records_;                       // what a DSP job sends
    std::vector<std::uint8_t> image_;          // what an ARM job sends, read before the wake-up
    std::array<std::uint8_t, 1029> message_{}; // every ARM message is built here
    JobEnd lastEnd_;
    std::int32_t endingState_ = kNoJob; // jobState when a row or a file ended the job
    std::string lastError_;
};

} // namespace updater
