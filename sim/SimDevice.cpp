#include "SimDevice.h"

#include <algorithm>

namespace updater::sim {

namespace {

constexpr std::uint8_t kDspFirst = 0xFA; // first byte of the erase command
constexpr std::uint8_t kArmFirst = 0xFE; // first byte of the wake-up sequence
constexpr std::uint8_t kNak = 0x15;

// Bytes that some state of the host would take as a reply; noise avoids them
// unless any byte is asked for.
bool meaningful(std::uint8_t b)
{
    return b == 0xCC || b == 0x06 || b == '1' || b == '2' || b == '4' || b == '9';
}

void strike(std::string &first, int &count, int unit, const std::string &name)
{
    if (count++ == 0)
        first = "unit " + std::to_string(unit) + " (" + name + ")";
}

std::string tallyText(const char *what, int count, const std::string &first)
{
    return std::string(what) + " for " + std::to_string(count) + " unit" + (count == 1 ? "" : "s") +
           ", from " + first + " on";
}

} // namespace

SimDevice::SimDevice(Faults faults, Expectation expected)
    : faults_(faults), expected_(std::move(expected))
{
}

SimDevice::~SimDevice() = default;

Step SimDevice::receiveByte(std::uint8_t byte)
{
    std::size_t used = 0;
    return receive(&byte, 1, used);
}

Step SimDevice::receive(const std::uint8_t *bytes, std::size_t length, std::size_t &used)
{
    Step step;
    used = 0;
    if (length == 0)
        return step;
    if (!loader_) {
        if (bytes[0] == kDspFirst)
            loader_ = std::make_unique<DspBootLoader>();
        else if (bytes[0] == kArmFirst)
            loader_ = std::make_unique<ArmBootLoader>(faults_.wakeUpTwo);
    }
    FeedResult result;
    if (loader_) {
        result = loader_->feed(bytes, length, used);
    } else {
        result.stray = true;
        used = 1;
    }
    if (result.stray) {
        step.stray = true;
        if (strayCount_++ == 0) {
            strayFirst_ = bytes[used - 1];
            strayWhere_ =
                units_ == 0 ? "before the first unit" : "after unit " + std::to_string(units_);
        }
        return step;
    }
    if (!result.unitDone)
        return step;
    ++units_;
    flushStray(deviations_);
    strayCount_ = 0;
    for (const auto &problem : result.problems)
        deviations_.push_back("unit " + std::to_string(units_) + " (" + result.unitName +
                              "): " + problem);
    step.unitDone = true;
    step.reply = std::move(result.reply);
    if (result.accepted)
        applyFaults(result, step.reply, step.noiseLeft);
    step.jobEnded = result.lastUnit;
    return step;
}

void SimDevice::applyFaults(const FeedResult &result, std::vector<std::uint8_t> &reply,
                            std::size_t &noiseLeft)
{
    const auto from = [this](int k) { return k > 0 && units_ >= k; };
    if (from(faults_.silentFrom) || (jobsBefore_ == 0 && from(faults_.silentOnceFrom))) {
        strike(silent_.first, silent_.count, units_, result.unitName);
        reply.clear();
    } else if (from(faults_.nakFrom)) {
        strike(nak_.first, nak_.count, units_, result.unitName);
        reply = {kNak};
    } else if (from(faults_.noiseFrom)) {
        strike(noise_.first, noise_.count, units_, result.unitName);
        const auto bytes = static_cast<std::size_t>(faults_.noiseBytes);
        reply = noise(std::min(bytes, noisePiece_));
        noiseLeft = bytes - reply.size();
    } else if (from(faults_.duplicateFrom)) {
        strike(duplicate_.first, duplicate_.count, units_, result.unitName);
        const auto once = reply;
        reply.insert(reply.end(), once.begin(), once.end());
    }
}

std::vector<std::uint8_t> SimDevice::noise(std::size_t count)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(count);
    while (bytes.size() < count) {
        noiseState_ ^= noiseState_ << 13;
        noiseState_ ^= noiseState_ >> 17;
        noiseState_ ^= noiseState_ << 5;
        const auto b = static_cast<std::uint8_t>(noiseState_ >> 24);
        if (faults_.noiseAny || !meaningful(b))
            bytes.push_back(b);
    }
    return bytes;
}

void SimDevice::flushStray(std::vector<std::string> &deviations) const
{
    if (strayCount_ == 0)
        return;
    deviations.push_back(std::to_string(strayCount_) + " unexpected byte" +
                         (strayCount_ == 1 ? "" : "s") + " " + strayWhere_ + " (first " +
                         hexByte(strayFirst_) + ")");
}

Verdict SimDevice::verdict(bool withImage) const
{
    Verdict v;
    if (loader_)
        loader_->finish(v, expected_, withImage);
    v.units = units_;
    // Deviations in the order they were seen, then what the boot loader found at the end.
    std::vector<std::string> all = deviations_;
    flushStray(all);
    all.insert(all.end(), v.deviations.begin(), v.deviations.end());
    v.deviations = std::move(all);
    if (silent_.count > 0)
        v.faults.push_back(tallyText("no answer", silent_.count, silent_.first));
    if (nak_.count > 0)
        v.faults.push_back(tallyText("NAK (0x15) instead of the answer", nak_.count, nak_.first));
    if (noise_.count > 0)
        v.faults.push_back(tallyText(faults_.noiseAny
                                         ? "noise of any byte value instead of the answer"
                                         : "noise instead of the answer",
                                     noise_.count, noise_.first));
    if (duplicate_.count > 0)
        v.faults.push_back(tallyText("answer sent twice", duplicate_.count, duplicate_.first));
    return v;
}

void SimDevice::newJob()
{
    jobsBefore_ += jobStarted() ? 1 : 0;
    loader_.reset();
    units_ = 0;
    deviations_.clear();
    strayCount_ = 0;
    silent_ = nak_ = noise_ = duplicate_ = Tally{};
}

} // namespace updater::sim
