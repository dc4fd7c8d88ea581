#pragma once

#include "SimDevice.h"

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

// Wire constants, restated here rather than taken from the simulator.
inline constexpr std::uint8_t kCc = 0xCC;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kEot = 0x04;

Bytes eraseCommand();                       // FA 'f' 'l' 'a' 's' 'h' 'b' 96
Bytes record(const std::string &hexDigits); // "00000001FF" -> its bytes
Bytes wakeUp();                             // FE FD FC
Bytes headerBlock();                        // the fixed 133-byte block 0
Bytes endBlock();                           // the empty 133-byte block 0
// Data block n (1029 bytes) carrying payload, padded with 0x1A to 1024 bytes.
Bytes dataBlock(int n, const Bytes &payload);
// Fixed-seed pseudo-random bytes.
Bytes randomBytes(std::size_t count, unsigned seed);
// Intel HEX text (CR LF, upper case) of data at address 0, 16 bytes a record.
std::string hexText(const Bytes &data);

// Feeds the bytes one at a time; returns every answer and notes whether a job ended.
struct Fed
{
    Bytes replies;
    int unitsDone = 0;
    bool jobEnded = false;
};
Fed feed(updater::sim::SimDevice &device, const Bytes &bytes);
// Feeds each unit in turn and returns each unit's answer.
std::vector<Bytes> answers(updater::sim::SimDevice &device, const std::vector<Bytes> &units);

// All the units of an ARM job for the image, in order (wake-up, '1', header,
// data blocks, EOT, end block).
std::vector<Bytes> armUnits(const Bytes &image, bool twoPath = false);

bool contains(const std::vector<std::string> &lines, const std::string &part);

} // namespace simtest
