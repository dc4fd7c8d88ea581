#include "UpdateJob.h"

#include "Texts.h"

#include <utility>

namespace updater {

UpdateJob::UpdateJob(IJobHost &host) : host_(host) {}

UpdateJob::~UpdateJob() = default;

void UpdateJob::setFirmware(int firmwareType, std::string path)
{
    std::lock_guard lock(jobLock_);
    f_.firmwareType = firmwareType;
    f_.firmwarePath = std::move(path);
}

void UpdateJob::downLoad(bool linkOpen)
{
    std::unique_lock lock(jobLock_);
    if (!f_.idle)
        return; // the command is disabled while a job runs
    if (!linkOpen) {
        showMessage(lock, MessageKind::Precondition, texts::kNoLink);
        return;
    }
    if (f_.firmwarePath.empty()) {
        showMessage(lock, MessageKind::Precondition, texts::kNoFile);
        return;
    }
    f_.idle = false;
    host_.idleChanged(false);
    host_.setProgressVisible(true);
    f_.bytesSent = 0;
    f_.elapsedMs = 0;
    f_.jobState = 0;
    f_.dspTickCalls = 1;
    lastEnd_ = {};
    lastError_.clear();
    host_.setLineText(StatusLine::Program, "");
    host_.setLineText(StatusLine::Connect, "");
}

void UpdateJob::jobTick(int)
{
    std::unique_lock lock(jobLock_);
    finish(lock, tickLocked());
}

UpdateJob::Ending UpdateJob::tickLocked()
{
    if (f_.jobState == kNoJob)
        return Ending::None;
    f_.elapsedMs += kTickMs;
    if (f_.elapsedMs > f_.timeoutMs)
        return Ending::TimeOut;
    if (f_.elapsedMs <= f_.sendIntervalMs)
        return Ending::None;
    if (f_.firmwareType == kDspFirmware) {
        // The tick drives only the first two DSP steps (load, erase); the rest
        // is paced by the device's acknowledgements.
        if (f_.dspTickCalls < 3) {
            const Ending ending = dspSender();
            ++f_.dspTickCalls;
            return ending;
        }
        return Ending::None;
    }
    if (f_.firmwareType == kArmFirmware)
        return armSender();
    return Ending::None;
}

void UpdateJob::receiveByte(std::uint8_t byte)
{
    handleByte(byte);
}

bool UpdateJob::handleByte(std::uint8_t byte)
{
    std::unique_lock lock(jobLock_);
    const auto before = std::pair(f_.jobState, f_.readyToSend);
    Ending ending = byteHandler(byte);
    if (ending == Ending::None && f_.firmwareType == kDspFirmware)
        ending = dspSender();
    const bool moved = ending != Ending::None || before != std::pair(f_.jobState, f_.readyToSend);
    finish(lock, ending);
    return moved;
}

UpdateJob::Ending UpdateJob::byteHandler(unsigned byte)
{
    if (f_.jobState == kNoJob)
        return Ending::None;
    if (f_.firmwareType == kDspFirmware)
        return dspRows(byte);
    if (f_.firmwareType == kArmFirmware)
        return armRows(byte);
    return Ending::None;
}

void UpdateJob::showMessage(std::unique_lock<JobLock> &lock, MessageKind kind,
                            const std::string &text)
{
    lock.unlock();
    host_.showMessage(kind, text);
    lock.lock();
}

void UpdateJob::noteEnd(JobOutcome outcome, std::int32_t state)
{
    lastEnd_ = {outcome, state, stepOf(f_.firmwareType, state)};
}

UpdateJob::Ending UpdateJob::ended(Ending ending)
{
    endingState_ = f_.jobState;
    f_.jobState = kNoJob;
    return ending;
}

void UpdateJob::finish(std::unique_lock<JobLock> &lock, Ending ending)
{
    switch (ending) {
    case Ending::None:
        return;
    case Ending::Success:
        // The rows have ended the job and written "Programing Done.".
        showMessage(lock, MessageKind::Success, texts::kSuccess);
        f_.idle = true;
        host_.idleChanged(true);
        closeFileLocked();
        host_.setProgressVisible(false);
        noteEnd(JobOutcome::Success, endingState_);
        return;
    case Ending::TimeOut: {
        if (f_.timeoutInProgress)
            return;
        f_.timeoutInProgress = true;
        const std::int32_t state = f_.jobState;
        writeTimeoutLine();
        // The job keeps its state while the box is open: a reply that comes
        // meanwhile is still handled, and the reset below ends the job regardless.
        showMessage(lock, MessageKind::TimeOut, texts::kTimeOut);
        f_.timeoutInProgress = false;
        resetAfterFailure();
        noteEnd(JobOutcome::TimedOut, state);
        return;
    }
    case Ending::FileRefused:
    case Ending::FileFailed: {
        // The job has ended already, so no step of it runs while the box is open.
        const bool refused = ending == Ending::FileRefused;
        const std::string text =
            std::string(refused ? texts::kFileRefused : texts::kFileFailed) + "\n" + lastError_;
        showMessage(lock, refused ? MessageKind::FileRefused : MessageKind::FileFailed, text);
        if (refused)
            host_.setProgressVisible(false); // nothing was sent: no progress to show
        resetAfterFailure();
        noteEnd(refused ? JobOutcome::FileRefused : JobOutcome::FileFailed, endingState_);
        return;
    }
    }
}

void UpdateJob::writeTimeoutLine()
{
    const int state = f_.jobState;
    if (f_.firmwareType == kDspFirmware) {
        if (state == num(DspState::Erasing))
            host_.setLineText(StatusLine::Connect, texts::kEraseFailed);
        else if (state > num(DspState::Erasing))
            host_.setLineText(StatusLine::Program, texts::kProgramFailed);
    } else if (f_.firmwareType == kArmFirmware) {
        if (state < num(ArmState::Erasing))
            host_.setLineText(StatusLine::Connect, texts::kConnectionFailed);
        else if (state == num(ArmState::Erasing))
            host_.setLineText(StatusLine::Connect, texts::kEraseFailed);
        else
            host_.setLineText(StatusLine::Program, texts::kProgramFailed);
    }
}

void UpdateJob::resetAfterFailure()
{
    closeFileLocked();
    f_.jobState = kNoJob;
    f_.elapsedMs = 0;
    f_.timeoutInProgress = false;
    f_.timeoutMs = 5000;
    f_.bytesSent = 0;
    f_.fileOpen = false;
    f_.sendIntervalMs = 200;
    if (!f_.idle) {
        f_.idle = true;
        host_.idleChanged(true);
    }
}

void UpdateJob::closeFileLocked()
{
    if (f_.fileOpen) {
        firmwareFile_.close();
        f_.readPos = 0;
        f_.fileOpen = false;
    }
}

UpdateJob::Ending UpdateJob::refuse(FileError error)
{
    lastError_ = f_.firmwarePath + ": " + fileErrorText(error);
    closeFileLocked();
    return ended(Ending::FileRefused);
}

int UpdateJob::abandon()
{
    std::lock_guard lock(jobLock_);
    const int state = f_.jobState;
    if (state != kNoJob || !f_.idle) {
        resetAfterFailure();
        noteEnd(JobOutcome::Abandoned, state);
    }
    return state;
}

void UpdateJob::closeFirmwareFile()
{
    std::lock_guard lock(jobLock_);
    closeFileLocked();
}

void UpdateJob::send(const std::uint8_t *data, std::size_t length)
{
    host_.sendBlock(data, length, f_.jobState);
}

JobFields UpdateJob::fields() const
{
    std::lock_guard lock(jobLock_);
    return f_;
}

DspCounters UpdateJob::dspCounters() const
{
    std::lock_guard lock(jobLock_);
    return dsp_;
}

ArmCounters UpdateJob::armCounters() const
{
    std::lock_guard lock(jobLock_);
    return arm_;
}

int UpdateJob::jobState() const
{
    std::lock_guard lock(jobLock_);
    return f_.jobState;
}

bool UpdateJob::idle() const
{
    std::lock_guard lock(jobLock_);
    return f_.idle;
}

JobOutcome UpdateJob::lastOutcome() const
{
    std::lock_guard lock(jobLock_);
    return lastEnd_.outcome;
}

JobEnd UpdateJob::lastEnd() const
{
    std::lock_guard lock(jobLock_);
    return lastEnd_;
}

std::string UpdateJob::lastError() const
{
    std::lock_guard lock(jobLock_);
    return lastError_;
}

} // namespace updater
