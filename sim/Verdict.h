#pragma once

#include "Crc32.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace updater::sim {

enum class Protocol
{
    None, // no unit recognised yet
    Dsp,  // erase command 0xFA "flashb" 0x96, then Intel HEX records acknowledged with 0xCC
    Arm,  // wake-up 0xFE 0xFD 0xFC, digits, then YMODEM-1K style blocks acknowledged with ACK
};

// What the simulated device makes of one job: what it received, the image it
// rebuilt, and every way in which the host's bytes departed from the protocol.
struct Verdict
{
    Protocol protocol = Protocol::None;
    bool complete = false;   // the last unit of the job was received and answered
    int units = 0;           // units received, whether they passed the checks or not
    std::string unitSummary; // "erase command, 132 records" / "wake-up, '1', header, ..."
    char wakeUpReply = 0;    // ARM: '1' or '2'

    // The rebuilt image. DSP: the received records as Intel HEX text, one ':' line
    // per record with upper-case digits and CR LF (when asked for). ARM: the data bytes of the data
    // blocks, cut to the expected size when one is known.
    std::vector<std::uint8_t> image;
    std::string imageDescription;

    // DSP: the data bytes of the type-00 records placed at their addresses (extended
    // segment and linear addresses applied), gaps filled with 0xFF.
    std::vector<std::uint8_t> dspData;
    std::uint32_t dspDataStart = 0;

    std::optional<bool> matchesExpected; // set when an expected image was given
    std::string expectedDescription;

    std::vector<std::string> deviations; // each names the unit and the fault
    std::vector<std::string> faults;     // faults that the simulator injected on purpose

    bool passed() const { return complete && deviations.empty() && matchesExpected.value_or(true); }
};

using ::updater::crc32;

// The verdict as the simulator prints it, several lines ending in "result: PASS"
// or "result: FAIL".
std::string formatVerdict(const Verdict &verdict);

// "0x3A"
std::string hexByte(std::uint8_t byte);

} // namespace updater::sim
