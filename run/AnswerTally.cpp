#include "AnswerTally.h"

#include "JobStates.h"
#include "RunWords.h"
#include "SerialPort.h"
#include "UpdateJob.h"

namespace updater::run {

void AnswerTally::start(std::int32_t firmwareType, bool serialLine)
{
    std::lock_guard lock(mutex_);
    firmwareType_ = firmwareType;
    serial_ = serialLine;
    count_ = Count{};
    lastLength_ = 0;
}

void AnswerTally::unitSent(std::size_t length, std::int32_t jobState, Clock::time_point at)
{
    std::lock_guard lock(mutex_);
    // The ARM wake-up and digits are answered by digits, not by ACK.
    if (firmwareType_ == kDspFirmware || jobState >= num(ArmState::SendHeader))
        ++count_.units;
    lastSentAt_ = at;
    lastLength_ = length;
}

void AnswerTally::byteReceived(std::uint8_t byte, Clock::time_point at)
{
    std::lock_guard lock(mutex_);
    lastByteAt_ = at;
    if (firmwareType_ < 0 || byte != (firmwareType_ == kDspFirmware ? kDspAck : kArmAck))
        return;
    ++count_.answers;
    // The device answers once the last byte of the unit is in; two bytes of slack
    // for the clocks of the two ends.
    if (serial_ && lastLength_ > 2 && at - lastSentAt_ < CSerialPort::LineTime(lastLength_ - 2))
        ++count_.early;
}

AnswerTally::Count AnswerTally::count() const
{
    std::lock_guard lock(mutex_);
    return count_;
}

AnswerTally::Clock::time_point AnswerTally::lastByteAt() const
{
    std::lock_guard lock(mutex_);
    return lastByteAt_;
}

std::string AnswerTally::Count::text() const
{
    std::string text = std::to_string(answers) + " acknowledgements for " + unitsText(units);
    if (early > 0)
        text +=
            ", " + std::to_string(early) + " of them before their unit could have crossed the line";
    return text;
}

std::string answersFault(const AnswerTally::Count &count)
{
    constexpr const char *kMayHold = "; the device may hold a damaged firmware; update again";
    if (count.answers > count.units)
        return std::to_string(count.answers) + " acknowledgements for " + unitsText(count.units) +
               ": noise on the line, a second device, or a device that answers twice" + kMayHold;
    if (count.early > 0)
        return "answers came faster than a 9600-baud line can carry the units (" +
               std::to_string(count.early) + " of " + std::to_string(count.answers) +
               "): noise on the line, or a port that is not a 9600-baud line" + kMayHold;
    return {};
}

} // namespace updater::run
