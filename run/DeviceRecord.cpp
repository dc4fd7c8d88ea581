#include "DeviceRecord.h"

#include "RunWords.h"

#include <algorithm>

namespace updater::run {

void DeviceRecord::reset(Holdings given, Holdings earlier)
{
    *this = DeviceRecord{};
    gets_ = {given[0].has_value(), given[1].has_value()};
    given_ = std::move(given);
    earlier_ = std::move(earlier);
}

void DeviceRecord::reached(FirmwareKind kind, JobStep step, bool written)
{
    const int k = index(kind);
    auto &furthest = furthest_[k];
    furthest = furthest ? std::max(*furthest, step) : step;
    if (written && !written_[k])
        writtenAt_[k] = std::chrono::system_clock::now();
    written_[k] = written_[k] || written;
}

Holdings DeviceRecord::holds() const
{
    Holdings holds = earlier_;
    for (int k = 0; k < 2; ++k) {
        if (!gets_[k])
            continue;
        FirmwareHeld now = given_[k].value_or(FirmwareHeld{});
        if (written_[k]) {
            now.state = HeldState::Written;
            now.writtenAt = writtenAt_[k];
        } else if (furthest_[k] && *furthest_[k] >= JobStep::Erasing) {
            now.state = HeldState::MayBeHalfWritten;
        } else if (holds[k]) {
            continue; // this run did not reach the erase: what was there stays
        } else {
            now.state = HeldState::NotStarted;
        }
        holds[k] = now;
    }
    return holds;
}

bool DeviceRecord::mayBeHalfWritten() const
{
    const Holdings h = holds();
    return std::any_of(h.begin(), h.end(), [](const std::optional<FirmwareHeld> &f) {
        return f && f->state == HeldState::MayBeHalfWritten;
    });
}

bool DeviceRecord::touched() const
{
    return mayBeHalfWritten() || written_[0] || written_[1];
}

std::string DeviceRecord::deviceHolds() const
{
    if (outcome_ == DeviceOutcome::Success || outcome_ == DeviceOutcome::AlreadyWritten)
        return "every firmware written";
    // What an earlier run left is said per firmware.
    if (earlier_[0] || earlier_[1])
        return holdingsText(holds());
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
    std::string text = stoppedAt(word, units, lastStatus);
    // What the failure suggests beyond its place ("the inverter may still be restarting").
    if (!why_.empty() && !answerOutcome(outcome_) && outcome_ != DeviceOutcome::Success)
        text += "; " + why_;
    return text;
}

std::string DeviceRecord::stoppedAt(const std::string &word, int units,
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
    if (!failedFirmware_ || end_.state == kNoJob) {
        // An earlier attempt, or an earlier run, may have left the device half-written.
        if (dspWritten && two())
            return text + "before its job started: the device holds the new DSP firmware";
        if (!mayBeHalfWritten())
            return text + "before the update started: nothing was sent to the device";
        const JobStep furthest =
            failedFirmware_ ? furthest_[index(*failedFirmware_)].value_or(JobStep::NotStarted)
                            : JobStep::NotStarted;
        return text + "before its job started: " +
               (furthest >= JobStep::Erasing && !(earlier_[0] || earlier_[1])
                    ? whatTheDeviceHolds(furthest)
                    : holdingsText(holds()) + "; run the update again");
    }
    text += std::string(stepName(end_.step)) + " (job state " + std::to_string(end_.state) + ", " +
            unitsText(units) + " sent";
    if (end_.step != JobStep::NotStarted && !lastStatus.empty())
        text += ", last status \"" + lastStatus + "\"";
    return text + "): " + whatTheDeviceHolds(end_.step);
}

} // namespace updater::run
