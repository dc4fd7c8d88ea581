#pragma once

#include <array>

namespace updater::run {

// The two kinds of firmware an inverter takes, in the order a run writes them.
enum class FirmwareKind
{
    Dsp, // Intel HEX, one binary record per line, each acknowledged with 0xCC
    Arm, // binary image in 1024-byte blocks, each acknowledged with ACK
};

// How each kind is named where a run shows or records it.
struct FirmwareKindInfo
{
    FirmwareKind kind;
    int type;              // the job's firmware type: 0 DSP, 1 LCD ARM
    const char *name;      // "DSP": status lines, trace, summary
    const char *reportKey; // "dsp": the report's JSON
    const char *label;     // "DSP Firmware": the window, as its type dialog names it
};

inline constexpr std::array<FirmwareKindInfo, 2> kFirmwareKinds = {{
    {FirmwareKind::Dsp, 0, "DSP", "dsp", "DSP Firmware"},
    {FirmwareKind::Arm, 1, "ARM", "arm", "LCD ARM Firmware"},
}};

constexpr const FirmwareKindInfo &kindInfo(FirmwareKind kind)
{
    return kFirmwareKinds[static_cast<int>(kind)];
}

// The kind of the job's firmware type (anything but 0 is the LCD ARM firmware).
constexpr FirmwareKind kindOfType(int type)
{
    return type == 0 ? FirmwareKind::Dsp : FirmwareKind::Arm;
}

} // namespace updater::run
