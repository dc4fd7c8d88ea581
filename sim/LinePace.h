#pragma once

#include "SimDevice.h"

#include <chrono>
#include <cstddef>

namespace updater::sim {

// When a device behind a serial line can answer a unit at the earliest: once the
// unit's last byte could have arrived. A byte takes 10 bit times on the line
// (start, 8 data, stop), so the last byte of an L-byte unit comes L - 1 byte times
// after the first, and the first came no later than the read that held it. A
// device behind a line that really is that slow adds no time of its own.
class LinePace
{
public:
    using Clock = std::chrono::steady_clock;

    // baud 0: no line to wait for; an answer may leave as soon as its unit is in.
    explicit LinePace(int baud = 0) : baud_(baud) {}

    // The device took used bytes of a read made at readAt and made step of them.
    // Returns the earliest time at which the step's answer may leave.
    Clock::time_point took(Clock::time_point readAt, std::size_t used, const Step &step);
    // Forgets a unit begun: the next byte that belongs to a unit starts one.
    void reset() { inUnit_ = false; }

private:
    long long baud_;
    bool inUnit_ = false;
    Clock::time_point first_;
    std::size_t length_ = 0;
};

} // namespace updater::sim
