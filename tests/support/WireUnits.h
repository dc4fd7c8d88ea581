#pragma once

// The units that travel on the wire, built by the tests themselves from the
// documented bytes rather than taken from the program, so that a change to the
// program's constants shows up as a failing test. Shared by every test folder.
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

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
// hexText of `records` records of 16 bytes each, byte i of record r being r*7 + i*13.
std::string hexOfRecords(int records);

} // namespace testsupport
