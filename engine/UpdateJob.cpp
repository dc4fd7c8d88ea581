#include "UpdateJob.h"

#include "Texts.h"

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
        lock.unlock();
        host_.showMessage(texts::kNoLink);
        return;
    }
    if (f_.firmwarePath.empty()) {
        lock.unlock();
        host_.showMessage(texts::kNoFile);
        return;
    }
    f_.idle = false;
    host_.idleChanged(false);
    host_.setProgressVisible(true);
    f_.bytesSent = 0;
    f_.elapsedMs = 0;
    f_.jobState = 0;
    f_.dspTickCalls = 1;
    lastOutcome_ = JobOutcome::None;
    lastError_.clear();
    host_.setLineText(kProgramLineId, "");
    host_.setLineText(kConnectLineId, "");
}

void UpdateJob::jobTick(int)
{
    std::unique_lock lock(jobLock_);
    finish(lock, tickLocked());
}

UpdateJob::Ending UpdateJob::tickLocked()
{
    if (f_.jobState == -1)
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
    std::unique_lock lock(jobLock_);
    Ending ending = byteHandler(byte);
    if (ending == Ending::None && f_.firmwareType == kDspFirmware)
        ending = dspSender();
    finish(lock, ending);
}

UpdateJob::Ending UpdateJob::byteHandler(unsigned byte)
{
    if (f_.jobState == -1)
        return Ending::None;
    if (f_.firmwareType == kDspFirmware)
        return dspRows(byte);
    if (f_.firmwareType == kArmFirmware)
        return armRows(byte);
    return Ending::None;
}

void UpdateJob::finish(std::unique_lock<std::recursive_mutex> &lock, Ending ending)
{
    switch (ending) {
    case Ending::None:
        return;
    case Ending::Success:
        // The rows have set jobState to -1 and written "Programing Done.".
        lock.unlock();
        host_.showMessage(texts::kSuccess);
        lock.lock();
        f_.idle = true;
        host_.idleChanged(true);
        closeFileLocked();
        host_.setProgressVisible(false);
        lastOutcome_ = JobOutcome::Success;
        return;
    case Ending::TimeOut:
        if (f_.timeoutInProgress)
            return;
        f_.timeoutInProgress = true;
        writeTimeoutLine();
        // The job keeps its state while the box is open: a reply that comes
        // meanwhile is still handled, and the reset below ends the job regardless.
        lock.unlock();
        host_.showMessage(texts::kTimeOut);
        lock.lock();
        f_.timeoutInProgress = false;
        resetAfterFailure();
        lastOutcome_ = JobOutcome::TimedOut;
        return;
    case Ending::FileRefused:
    case Ending::FileFailed: {
        // jobState is already -1, so no step of the job runs while the box is open.
        const bool refused = ending == Ending::FileRefused;
        const std::string text =
            std::string(refused ? texts::kFileRefused : texts::kFileFailed) + "\n" + lastError_;
        lock.unlock();
        host_.showMessage(text);
        lock.lock();
        if (refused)
            host_.setProgressVisible(false); // nothing was sent: no progress to show
        resetAfterFailure();
        lastOutcome_ = refused ? JobOutcome::FileRefused : JobOutcome::FileFailed;
        return;
    }
    }
}

void UpdateJob::writeTimeoutLine()
{
    const int state = f_.jobState;
    if (f_.firmwareType == kDspFirmware) {
        if (state == 2)
            host_.setLineText(kConnectLineId, texts::kEraseFailed);
        else if (state > 2)
            host_.setLineText(kProgramLineId, texts::kProgramFailed);
    } else if (f_.firmwareType == kArmFirmware) {
        if (state < 9)
            host_.setLineText(kConnectLineId, texts::kConnectionFailed);
        else if (state == 9)
            host_.setLineText(kConnectLineId, texts::kEraseFailed);
        else
            host_.setLineText(kProgramLineId, texts::kProgramFailed);
    }
}

void UpdateJob::resetAfterFailure()
{
    closeFileLocked();
    f_.jobState = -1;
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
    f_.jobState = -1;
    return Ending::FileRefused;
}

int UpdateJob::abandon()
{
    std::lock_guard lock(jobLock_);
    const int state = f_.jobState;
    if (state != -1 || !f_.idle) {
        resetAfterFailure();
        lastOutcome_ = JobOutcome::Abandoned;
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
    host_.sendBlock(data, length);
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
    return lastOutcome_;
}

std::string UpdateJob::lastError() const
{
    std::lock_guard lock(jobLock_);
    return lastError_;
}

} // namespace updater
