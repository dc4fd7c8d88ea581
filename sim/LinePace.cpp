#include "LinePace.h"

#include <algorithm>

namespace updater::sim {

LinePace::Clock::time_point LinePace::took(Clock::time_point readAt, std::size_t used,
                                           const Step &step)
{
    if (step.stray)
        return readAt; // a byte of no unit: the next unit's first byte dates it
    if (!inUnit_) {
        inUnit_ = true;
        first_ = readAt;
        length_ = 0;
    }
    length_ += used;
    if (!step.unitDone)
        return readAt;
    inUnit_ = false;
    if (baud_ <= 0 || length_ < 2)
        return readAt;
    // 10 bit times a byte, in nanoseconds, rounded up: never a moment early.
    constexpr long long kBitsNs = 10LL * 1000000000LL;
    const auto lineTime = std::chrono::nanoseconds(
        (static_cast<long long>(length_ - 1) * kBitsNs + baud_ - 1) / baud_);
    return std::max(readAt, first_ + std::chrono::duration_cast<Clock::duration>(lineTime));
}

} // namespace updater::sim
