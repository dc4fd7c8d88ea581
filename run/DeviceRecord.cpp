#include "DeviceRecord.h"

#include "RunWords.h"

#include <algorithm>

namespace updater::run {

void DeviceRecord::reset(bool dsp, bool arm)
{
    *this = DeviceRecord{};
    gets_ = {dsp, arm};
}

void DeviceRecord::reached(FirmwareKind kind, JobStep step, bool written)
{
    auto &furthest = furthest_[index(kind)];
    furthest = furthest ? std::max(*furthest, step) : step;
    written_[index(kind)] = written_[index(kind)] || written;
}

bool DeviceRecord::mayBeHalfWritten() const
{
    for (int k = 0; k < 2; ++k) {
        if (!written_[k] && furthest_[k] && *furthest_[k] >= JobStep::Erasing)
            return true;
    }
    return false;
}

std::string DeviceRecord::deviceHolds() const
{
    if (outcome_ == DeviceOutcome::Success)
        return "every firmware written";
    std::string text;
    for (const FirmwareKindInfo &kind : kFirmwareKinds) {
        const int k = index(kind.kind);
        if (!gets_[k])
            continue;
        const std::string name = std::string(kind.name) + " firmware";
        if (!text.empty())
            text += "; ";
        const JobStep step = furthest_[k].value_or(JobStep::NotStarted);
        if (written_[k])
            text += name + " written";
        else if (!two())
            text += whatTheDeviceHolds(step);
        else if (step == JobStep::NotStarted)
            text += name + " not started";
        else
            text += name + ": " + whatTheDeviceHolds(step);
    }
    return text;
}

void DeviceRecord::failed(DeviceOutcome outcome, FirmwareKind kind, const JobEnd &end,
                          std::string why)
{
    outcome_ = outcome;
    failedFirmware_ = kind;
    end_ = end;
    why_ = std::move(why);
    reached(kind, end.step);
}

void DeviceRecord::succeeded(const JobEnd &end)
{
    outcome_ = DeviceOutcome::Success;
    failedFirmware_.reset();
    end_ = end;
    why_.clear();
}

std::string DeviceRecord::stopped(const std::string &word, int units,
                                  const std::string &lastStatus) const
{
    if (outcome_ == DeviceOutcome::Success)
        return "every firmware written";
    // Which firmware, when the device gets two: "DSP firmware: time-out while ...".
    const bool dspWritten = written_[index(FirmwareKind::Dsp)];
    std::string text;
    if (two() && failedFirmware_)
        text = dspWritten ? "DSP firmware written; ARM firmware: " : "DSP firmware: ";
    // The answers' count says itself what was seen.
    if (answerOutcome(outcome_) && !why_.empty())
        return text + why_;
    if (!word.empty())
        text += word + " ";
    if (!failedFirmware_ || end_.state == kNoJob)
        return text + (dspWritten && two()
                           ? "before its job started: the device holds the new DSP firmware"
                           : "before the update started: nothing was sent to the device");
    text += std::string(stepName(end_.step)) + " (job state " + std::to_string(end_.state) + ", " +
            unitsText(units) + " sent";
    if (end_.step != JobStep::NotStarted && !lastStatus.empty())
        text += ", last status \"" + lastStatus + "\"";
    return text + "): " + whatTheDeviceHolds(end_.step);
}

} // namespace updater::run
