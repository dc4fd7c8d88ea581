#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace updater::run {

// Counts a job's acknowledgements against the units that await one. Each unit
// of the erase and the programming is answered by one byte (0xCC for DSP, ACK
// for ARM), and a byte alone cannot be told from noise. A run can: a line that
// carries more answers than units were sent (noise, a second device on the
// line, a device that answers twice) has released units before the device
// took the ones before them. On a serial line an answer that comes before its
// unit could have crossed a 9600-baud line is counted the same way.
//
// Bytes go on being counted after the job has ended, while the link is drained
// and the device restarts: that is where a noisy line shows most.
class AnswerTally
{
public:
    using Clock = std::chrono::steady_clock;

    // A job of firmwareType (0 DSP, 1 ARM) starts; the count starts again.
    void start(std::int32_t firmwareType, bool serialLine);
    // A unit of length bytes was handed to the link in jobState, at `at`.
    void unitSent(std::size_t length, std::int32_t jobState, Clock::time_point at);
    // A byte arrived, before the job has handled it.
    void byteReceived(std::uint8_t byte, Clock::time_point at);

    struct Count
    {
        int units = 0;   // units that await an acknowledgement
        int answers = 0; // acknowledgement bytes received
        int early = 0;   // of them, before their unit could have left a 9600-baud line
        // The line carried more than the device could have sent it: either fails the run.
        bool tooMany() const { return answers > units || early > 0; }
        // "412 acknowledgements for 376 units, 3 of them before their unit could
        // have crossed the line"
        std::string text() const;
    };
    Count count() const;
    // When the last byte of any kind arrived (the epoch before the first).
    Clock::time_point lastByteAt() const;

private:
    mutable std::mutex mutex_; // a leaf lock: bytes and sends come from different threads
    std::int32_t firmwareType_ = -1;
    bool serial_ = false;
    Count count_;
    Clock::time_point lastSentAt_{};
    Clock::time_point lastByteAt_{};
    std::size_t lastLength_ = 0;
};

// What a run says of a line whose answers fail it ("" when they do not):
// "412 acknowledgements for 376 units: noise on the line, a second device, or a
// device that answers twice; ...", or that answers came too early.
std::string answersFault(const AnswerTally::Count &count);

} // namespace updater::run
