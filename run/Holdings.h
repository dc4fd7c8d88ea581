#pragma once

#include "FirmwareKind.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace updater::run {

// What a device holds of one kind of firmware, as far as any run knows.
enum class HeldState
{
    NotStarted,       // no job of this kind reached the erase: the old firmware is intact
    MayBeHalfWritten, // erased or partly written, not finished
    Written,          // the device acknowledged every unit of the file
};

// "written", "may be half-written", "not started": the report's words.
const char *heldStateName(HeldState state);
std::optional<HeldState> heldStateNamed(const std::string &name);

// One kind of firmware on one device: the file it was (or is being) given, that
// file's CRC-32, how far it got, and when it was written.
struct FirmwareHeld
{
    std::string path;
    std::optional<std::uint32_t> crc32;
    HeldState state = HeldState::NotStarted;
    std::optional<std::chrono::system_clock::time_point> writtenAt;

    bool operator==(const FirmwareHeld &) const = default;
};

// By kind (kindInfo order): what the device holds of it, or nothing known.
using Holdings = std::array<std::optional<FirmwareHeld>, 2>;

inline std::optional<FirmwareHeld> &held(Holdings &h, FirmwareKind kind)
{
    return h[static_cast<int>(kind)];
}
inline const std::optional<FirmwareHeld> &held(const Holdings &h, FirmwareKind kind)
{
    return h[static_cast<int>(kind)];
}

// "DSP firmware written; ARM firmware may be half-written".
std::string holdingsText(const Holdings &holdings);

// "DSP firmware dsp.hex (CRC-32 0badf00d) written; ARM firmware arm.bin (CRC-32
// 12345678) not started": the same with each file, for a trace.
std::string holdingsDetail(const Holdings &holdings);

// "0badf00d": how the report and the summary write a CRC-32.
std::string crcText(std::uint32_t crc);

} // namespace updater::run
