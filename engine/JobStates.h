#pragma once

#include <cstdint>

// The states of the two device protocols. jobState holds their numbers (-1 when
// no job runs); the trace and the tests speak the numbers, the code the names.
namespace updater {

inline constexpr std::int32_t kNoJob = -1;

enum class DspState : std::int32_t
{
    Load = 0,        // read and check the HEX file
    Erase = 1,       // send the erase command
    Erasing = 2,     // wait for the erase acknowledgement
    Programming = 3, // one record per acknowledgement
    LastRecord = 6,  // the end-of-file record went out: its acknowledgement ends the job
};

enum class ArmState : std::int32_t
{
    Open = 0,       // open the image
    WakeUp = 1,     // send 0xFE 0xFD 0xFC
    AwaitDigit = 2, // '1' goes on at once, '2' asks for a '4' first
    SendFour = 4,
    AwaitFour = 5,
    SendOne = 6,
    AwaitNine = 7,
    SendHeader = 8,
    Erasing = 9,       // the header block's ACK comes once the device has erased
    DataBlock = 10,    // one 1029-byte block per ACK
    LastBlockAck = 11, // the block that reached the end of the image
    SendEot = 12,
    EotAck = 13,
    SendEndBlock = 14,
    EndBlockAck = 15, // its ACK ends the job
};

constexpr std::int32_t num(DspState s)
{
    return static_cast<std::int32_t>(s);
}
constexpr std::int32_t num(ArmState s)
{
    return static_cast<std::int32_t>(s);
}

static_assert(num(DspState::Erasing) == 2 && num(DspState::Programming) == 3 &&
              num(DspState::LastRecord) == 6);
static_assert(num(ArmState::AwaitDigit) == 2 && num(ArmState::SendFour) == 4 &&
              num(ArmState::Erasing) == 9 && num(ArmState::DataBlock) == 10 &&
              num(ArmState::EndBlockAck) == 15);

// The byte that acknowledges a unit: the DSP erase command and each record, and
// the ARM header, data blocks, EOT and end block.
inline constexpr std::uint8_t kDspAck = 0xCC;
inline constexpr std::uint8_t kArmAck = 0x06;

// Where a job stood, for telling a technician what the device may hold (the
// words of each step: run/RunWords.h).
enum class JobStep
{
    NotStarted,  // nothing sent yet: the device is unchanged
    Connecting,  // wake-up and digit exchange: not erased
    Erasing,     // the erase was asked for: the device may be partly erased
    Programming, // the device may be half-written
};

// The step of jobState state of a job of firmware type firmwareType (0 DSP, 1 ARM).
constexpr JobStep stepOf(std::int32_t firmwareType, std::int32_t state)
{
    if (firmwareType == 0) {
        if (state <= num(DspState::Erase))
            return JobStep::NotStarted;
        return state == num(DspState::Erasing) ? JobStep::Erasing : JobStep::Programming;
    }
    if (state <= num(ArmState::WakeUp))
        return JobStep::NotStarted;
    if (state < num(ArmState::Erasing))
        return JobStep::Connecting;
    return state == num(ArmState::Erasing) ? JobStep::Erasing : JobStep::Programming;
}

} // namespace updater
