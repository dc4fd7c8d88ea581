#pragma once

#include "BootLoader.h"
#include "Verdict.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace updater::sim {

// Faults the simulated device injects on purpose. Units are numbered from 1 within
// a job, in the order they arrive (DSP: the erase command is unit 1; ARM: the
// wake-up sequence is unit 1). 0 turns a fault off.
struct Faults
{
    int silentFrom = 0;     // answer nothing from this unit on
    int silentOnceFrom = 0; // the same in the first job only: a later attempt passes
    int nakFrom = 0;        // answer NAK (0x15) instead of the acknowledgement
    int noiseFrom = 0;      // answer noise instead of the acknowledgement
    int noiseBytes = 3;     // how many bytes of noise: a device that floods the line
    bool noiseAny = false;  // noise of every byte value, reply bytes included
    int duplicateFrom = 0;  // answer every acknowledgement twice
    bool wakeUpTwo = false; // ARM: answer the wake-up with '2', then expect the digit '4'
};

// What one received byte made the device do.
struct Step
{
    std::vector<std::uint8_t> reply; // bytes to send back at once (often none)
    std::size_t noiseLeft = 0;       // noise due after reply, beyond the piece (see noise())
    bool stray = false;              // the byte belongs to no unit and was skipped
    bool unitDone = false;           // the byte completed a unit
    bool jobEnded = false;           // the job's last unit was answered: the verdict is final
};

// The simulated inverter: recognises the boot loader that the host talks to from
// the first bytes (0xFA opens the DSP erase command, 0xFE the ARM wake-up), feeds
// every byte to it and applies the injected faults to its answers. It has no clock
// and no I/O: the transport delivers bytes and sends what comes back.
class SimDevice
{
public:
    SimDevice(Faults faults, Expectation expected);
    ~SimDevice();

    Step receiveByte(std::uint8_t byte);
    // Takes bytes up to the end of the first unit they complete (or of a stray
    // byte); used says how many. Feeding them one at a time does the same.
    Step receive(const std::uint8_t *bytes, std::size_t length, std::size_t &used);

    int units() const { return units_; } // units of the current job
    bool jobStarted() const { return loader_ != nullptr || strayCount_ > 0; }
    // The current job as it stands; final once a step reported jobEnded. Without
    // withImage a DSP job's image (its HEX text) is left empty.
    Verdict verdict(bool withImage = true) const;
    // Forgets the current job: the next byte may start a new one.
    void newJob();

    // A reply of noise holds at most this many bytes; Step::noiseLeft says how
    // many more are due, to be drawn with noise(). Whole by default.
    void setNoisePiece(std::size_t bytes) { noisePiece_ = bytes; }
    // The next count bytes of noise, as the reply's noise would have gone on.
    std::vector<std::uint8_t> noise(std::size_t count);

private:
    void applyFaults(const FeedResult &result, std::vector<std::uint8_t> &reply,
                     std::size_t &noiseLeft);
    void flushStray(std::vector<std::string> &deviations) const;

    // How often an injected fault struck, for the verdict.
    struct Tally
    {
        int count = 0;
        std::string first; // "unit 5 (data block 2)"
    };

    Faults faults_;
    Expectation expected_;
    std::unique_ptr<BootLoader> loader_;
    int units_ = 0;
    int jobsBefore_ = 0; // jobs that had started before this one
    std::vector<std::string> deviations_;
    int strayCount_ = 0;
    std::uint8_t strayFirst_ = 0;
    std::string strayWhere_;
    Tally silent_, nak_, noise_, duplicate_;
    std::uint32_t noiseState_ = 0x2545F491u; // fixed seed: runs repeat exactly
    std::size_t noisePiece_ = SIZE_MAX;
};

} // namespace updater::sim
