#include "BootLoader.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace updater::sim {

namespace {

constexpr std::array<std::uint8_t, 3> kWakeUp = {0xFE, 0xFD, 0xFC};
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kPad = 0x1A;
constexpr std::size_t kShortBlock = 133;
constexpr std::size_t kDataBlock = 1029;
constexpr std::size_t kPayload = 1024;
constexpr std::size_t kMaxListed = 4; // byte mismatches listed per unit

// Block 0 as the host always sends it: "Project.bin", "125600", zeros, check bytes.
std::array<std::uint8_t, kShortBlock> headerBlock()
{
    std::array<std::uint8_t, kShortBlock> b{};
    b[0] = kSoh;
    b[2] = 0xFF;
    const char name[] = "Project.bin";
    const char length[] = "125600";
    std::copy(name, name + 11, b.begin() + 3);
    std::copy(length, length + 6, b.begin() + 15);
    b[131] = 0x99;
    b[132] = 0xC9;
    return b;
}

// The empty block 0 that closes the batch.
std::array<std::uint8_t, kShortBlock> endBlock()
{
    std::array<std::uint8_t, kShortBlock> b{};
    b[0] = kSoh;
    b[2] = 0xFF;
    return b;
}

void compareBytes(const std::vector<std::uint8_t> &got,
                  const std::array<std::uint8_t, kShortBlock> &wanted,
                  std::vector<std::string> &problems)
{
    std::size_t listed = 0;
    std::size_t more = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (got[i] == wanted[i])
            continue;
        if (listed++ < kMaxListed)
            problems.push_back("offset " + std::to_string(i) + " is " + hexByte(got[i]) +
                               ", expected " + hexByte(wanted[i]));
        else
            ++more;
    }
    if (more > 0)
        problems.push_back("and " + std::to_string(more) + " more bytes differ");
}

FeedResult answered(std::string name, std::vector<std::string> problems, std::uint8_t reply)
{
    FeedResult r;
    r.unitDone = true;
    r.unitName = std::move(name);
    r.problems = std::move(problems);
    r.accepted = r.problems.empty();
    if (r.accepted)
        r.reply = {reply};
    return r;
}

} // namespace

FeedResult ArmBootLoader::feed(std::uint8_t byte)
{
    switch (phase_) {
    case Phase::WakeUp: {
        unit_.push_back(byte);
        if (unit_.size() < kWakeUp.size())
            return {};
        std::vector<std::string> problems;
        for (std::size_t i = 0; i < kWakeUp.size(); ++i) {
            if (unit_[i] != kWakeUp[i])
                problems.push_back("byte " + std::to_string(i) + " is " + hexByte(unit_[i]) +
                                   ", expected " + hexByte(kWakeUp[i]));
        }
        unit_.clear();
        auto r = answered("wake-up", std::move(problems), wakeUpTwo_ ? '2' : '1');
        if (r.accepted)
            phase_ = wakeUpTwo_ ? Phase::DigitFour : Phase::DigitOne;
        return r;
    }
    case Phase::DigitFour:
        sawFour_ = true;
        return digit(byte, '4', '4', Phase::DigitOne);
    case Phase::DigitOne:
        return digit(byte, '1', '9', Phase::Header);
    case Phase::Header:
    case Phase::Blocks:
    case Phase::End:
        return blockByte(byte);
    case Phase::Done:
        break;
    }
    FeedResult r;
    r.stray = true;
    return r;
}

// Single-digit units: whatever byte arrives is the host's digit.
FeedResult ArmBootLoader::digit(std::uint8_t byte, std::uint8_t awaited, char answer, Phase next)
{
    std::vector<std::string> problems;
    if (byte != awaited)
        problems.push_back("received " + hexByte(byte) + ", expected " + hexByte(awaited));
    auto r = answered(std::string("digit '") + static_cast<char>(awaited) + "'",
                      std::move(problems), static_cast<std::uint8_t>(answer));
    if (r.accepted)
        phase_ = next;
    return r;
}

// Blocks are framed by their first byte: SOH 133 bytes, STX 1029 bytes, EOT alone.
FeedResult ArmBootLoader::blockByte(std::uint8_t byte)
{
    if (unit_.empty()) {
        if (byte == kEot && phase_ == Phase::Blocks) {
            auto r = answered("EOT", {}, kAck);
            sawEot_ = true;
            phase_ = Phase::End;
            return r;
        }
        if (byte == kSoh)
            unitLength_ = kShortBlock;
        else if (byte == kStx)
            unitLength_ = kDataBlock;
        else {
            FeedResult r;
            r.stray = true;
            return r;
        }
    }
    unit_.push_back(byte);
    if (unit_.size() < unitLength_)
        return {};
    auto r = completeBlock();
    unit_.clear();
    return r;
}

FeedResult ArmBootLoader::completeBlock()
{
    std::vector<std::string> problems;
    if (phase_ == Phase::Blocks && unitLength_ == kDataBlock)
        return checkDataBlock();
    if (phase_ == Phase::Header) {
        if (unitLength_ != kShortBlock)
            problems.push_back("a 1024-byte block where the header block was expected");
        else
            compareBytes(unit_, headerBlock(), problems);
        auto r = answered("header block", std::move(problems), kAck);
        if (r.accepted) {
            sawHeader_ = true;
            phase_ = Phase::Blocks;
        }
        return r;
    }
    if (phase_ == Phase::Blocks) {
        problems.push_back("a 128-byte block where a data block or EOT was expected");
        return answered("block 0", std::move(problems), kAck);
    }
    // Phase::End
    if (unitLength_ != kShortBlock)
        problems.push_back("a 1024-byte block where the end block was expected");
    else
        compareBytes(unit_, endBlock(), problems);
    auto r = answered("end block", std::move(problems), kAck);
    if (r.accepted) {
        r.lastUnit = true;
        phase_ = Phase::Done;
    }
    return r;
}

FeedResult ArmBootLoader::checkDataBlock()
{
    std::vector<std::string> problems;
    const auto number = static_cast<std::uint8_t>(nextBlock_ & 0xFF);
    if (unit_[1] != number)
        problems.push_back("block number " + hexByte(unit_[1]) + ", expected " + hexByte(number));
    if (unit_[2] != static_cast<std::uint8_t>(0xFF - unit_[1]))
        problems.push_back("complement " + hexByte(unit_[2]) + " does not match block number " +
                           hexByte(unit_[1]));
    if (unit_[1027] != kPad || unit_[1028] != 0x10)
        problems.push_back("trailer " + hexByte(unit_[1027]) + " " + hexByte(unit_[1028]) +
                           ", expected 0x1A 0x10");
    auto r = answered("data block " + std::to_string(nextBlock_), std::move(problems), kAck);
    if (r.accepted) {
        data_.insert(data_.end(), unit_.begin() + 3, unit_.begin() + 3 + kPayload);
        ++nextBlock_;
        ++dataBlocks_;
    }
    return r;
}

namespace {

// Checks what the last data block carries beyond the image's end: 0x1A only.
void checkPadding(const std::vector<std::uint8_t> &data, std::uint64_t size, Verdict &v)
{
    for (std::size_t i = size; i < data.size(); ++i) {
        if (data[i] != kPad) {
            v.deviations.push_back("last data block: padding at image offset " + std::to_string(i) +
                                   " is " + hexByte(data[i]) + ", expected 0x1A");
            return;
        }
    }
}

void compareImage(const std::vector<std::uint8_t> &data, Verdict &v, const Expectation &e)
{
    const std::uint64_t size = e.file ? e.file->size() : *e.size;
    const std::uint64_t blocks = (size + kPayload - 1) / kPayload;
    const std::string name = e.file ? e.name : std::to_string(size) + " bytes";
    v.matchesExpected = data.size() == blocks * kPayload;
    if (!*v.matchesExpected) {
        v.expectedDescription = "differs from " + name + ": " + std::to_string(blocks) +
                                " data blocks expected, " + std::to_string(data.size() / kPayload) +
                                " received";
        return;
    }
    checkPadding(data, size, v);
    if (e.file) {
        const auto mismatch = std::mismatch(e.file->begin(), e.file->end(), data.begin());
        if (mismatch.first != e.file->end()) {
            v.matchesExpected = false;
            v.expectedDescription = "differs from " + name + " at offset " +
                                    std::to_string(mismatch.first - e.file->begin());
            return;
        }
    }
    v.expectedDescription = "matches " + name + " (" + std::to_string(size) + " bytes)";
}

} // namespace

// The image is the data itself: it is always filled in.
void ArmBootLoader::finish(Verdict &v, const Expectation &expected, bool) const
{
    v.protocol = Protocol::Arm;
    v.complete = phase_ == Phase::Done;
    v.wakeUpReply = wakeUpTwo_ ? '2' : '1';
    std::string summary = "wake-up";
    if (sawFour_)
        summary += ", digit '4'";
    if (phase_ > Phase::DigitOne)
        summary += ", digit '1'";
    if (sawHeader_)
        summary += ", header block, " + std::to_string(dataBlocks_) + " data blocks";
    if (sawEot_)
        summary += ", EOT";
    if (v.complete)
        summary += ", end block";
    v.unitSummary = summary;
    if (!unit_.empty())
        v.deviations.push_back("the job stopped inside a unit: " + std::to_string(unit_.size()) +
                               " bytes of it received");
    v.image = data_;
    if (expected.file || expected.size) {
        compareImage(data_, v, expected);
        const std::uint64_t size = expected.file ? expected.file->size() : *expected.size;
        if (size < v.image.size())
            v.image.resize(size);
    }
    std::size_t padding = 0;
    while (padding < v.image.size() && v.image[v.image.size() - 1 - padding] == kPad)
        ++padding;
    char text[160];
    std::snprintf(text, sizeof text, "%zu bytes in %d data blocks, crc32 %08X", v.image.size(),
                  dataBlocks_, static_cast<unsigned>(crc32(v.image.data(), v.image.size())));
    v.imageDescription = text;
    if (padding > 0 && !expected.file && !expected.size)
        v.imageDescription += "; the last " + std::to_string(padding) +
                              " bytes are 0x1A and may be padding (give --expect-size)";
}

} // namespace updater::sim
