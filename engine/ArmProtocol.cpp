// ARM boot loader: a wake-up sequence and a digit exchange, then the image in
// YMODEM-1K framing (a fixed header block, 1029-byte data blocks, EOT, an end
// block). The device acknowledges each block with ACK; nothing is ever resent.
#include "Texts.h"
#include "UpdateJob.h"

#include <algorithm>
#include <cstring>

namespace updater {

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kPad = 0x1A;
constexpr std::uint8_t kWakeUp[3] = {0xFE, 0xFD, 0xFC};
constexpr std::size_t kDataBytes = 1024;
constexpr std::size_t kDataBlockLength = 1029;
constexpr std::size_t kShortBlockLength = 133;
constexpr std::int32_t kBlocksPerProgress = 3;

// The header block is the same in every job: "Project.bin", "125600", zeros, and
// the CRC-16 of its 128 data bytes.
constexpr std::array<std::uint8_t, kShortBlockLength> makeHeaderBlock()
{
    std::array<std::uint8_t, kShortBlockLength> block{};
    block[0] = kSoh;
    block[1] = 0x00;
    block[2] = 0xFF;
    const char name[] = "Project.bin";
    for (std::size_t i = 0; i < sizeof name - 1; ++i)
        block[3 + i] = static_cast<std::uint8_t>(name[i]);
    const char length[] = "125600";
    for (std::size_t i = 0; i < sizeof length - 1; ++i)
        block[15 + i] = static_cast<std::uint8_t>(length[i]);
    block[131] = 0x99;
    block[132] = 0xC9;
    return block;
}

// The end block: block 0 with an empty file name, closing the batch.
constexpr std::array<std::uint8_t, kShortBlockLength> makeEndBlock()
{
    std::array<std::uint8_t, kShortBlockLength> block{};
    block[0] = kSoh;
    block[1] = 0x00;
    block[2] = 0xFF;
    return block;
}

constexpr auto kHeaderBlock = makeHeaderBlock();
constexpr auto kEndBlock = makeEndBlock();

} // namespace

UpdateJob::Ending UpdateJob::armRows(unsigned byte)
{
    const auto advance = [this](ArmState next) {
        f_.readyToSend = true;
        f_.jobState = num(next);
    };
    switch (f_.jobState) {
    case num(ArmState::AwaitDigit):
        if (byte == '1')
            advance(ArmState::SendOne);
        else if (byte == '2')
            advance(ArmState::SendFour);
        break;
    case num(ArmState::AwaitFour):
        if (byte == '4')
            advance(ArmState::SendOne);
        break;
    case num(ArmState::AwaitNine):
        if (byte == '9')
            advance(ArmState::SendHeader);
        break;
    case num(ArmState::Erasing):
        if (byte == kArmAck) {
            advance(ArmState::DataBlock);
            host_.setLineText(StatusLine::Connect, texts::kEraseDone);
        }
        break;
    case num(ArmState::DataBlock):
        if (byte == kArmAck)
            advance(ArmState::DataBlock);
        break;
    case num(ArmState::LastBlockAck):
        if (byte == kArmAck)
            advance(ArmState::SendEot);
        break;
    case num(ArmState::EotAck):
        if (byte == kArmAck)
            advance(ArmState::SendEndBlock);
        break;
    case num(ArmState::EndBlockAck):
        if (byte == kArmAck) {
            host_.setLineText(StatusLine::Program, texts::kProgramingDone);
            return ended(Ending::Success);
        }
        break;
    default:
        break;
    }
    return Ending::None;
}

UpdateJob::Ending UpdateJob::armSender()
{
    const auto sendOne = [this](std::uint8_t byte) {
        message_[0] = byte;
        send(message_.data(), 1);
    };
    switch (f_.jobState) {
    case num(ArmState::Open):
        return armOpen();
    case num(ArmState::WakeUp):
        send(kWakeUp, sizeof kWakeUp);
        f_.timeoutMs = 5000;
        f_.sendIntervalMs = 50;
        f_.elapsedMs = 0;
        host_.setLineText(StatusLine::Connect, texts::kConnecting);
        f_.jobState = num(ArmState::AwaitDigit);
        break;
    case num(ArmState::SendFour):
        if (!f_.readyToSend)
            break;
        sendOne('4');
        armWait(1000, 50);
        f_.jobState = num(ArmState::AwaitFour);
        break;
    case num(ArmState::SendOne):
        if (!f_.readyToSend)
            break;
        sendOne('1');
        armWait(1000, 50);
        f_.jobState = num(ArmState::AwaitNine);
        break;
    case num(ArmState::SendHeader):
        if (!f_.readyToSend)
            break;
        send(kHeaderBlock.data(), kHeaderBlock.size());
        arm_.blockNumber = 1;
        armWait(10000, 50);
        host_.setLineText(StatusLine::Connect, texts::kErase);
        f_.jobState = num(ArmState::Erasing);
        break;
    case num(ArmState::DataBlock):
        if (f_.readyToSend)
            return armDataBlock();
        break;
    case num(ArmState::SendEot):
        if (!f_.readyToSend)
            break;
        sendOne(kEot);
        armWait(1000, 50);
        f_.jobState = num(ArmState::EotAck);
        break;
    case num(ArmState::SendEndBlock):
        if (!f_.readyToSend)
            break;
        send(kEndBlock.data(), kEndBlock.size());
        arm_.blockNumber = 1;
        armWait(10000, 50);
        f_.jobState = num(ArmState::EndBlockAck);
        break;
    default:
        break;
    }
    return Ending::None;
}

void UpdateJob::armWait(std::int32_t timeoutMs, std::int32_t sendIntervalMs)
{
    f_.readyToSend = false;
    f_.elapsedMs = 0;
    f_.timeoutMs = timeoutMs;
    f_.sendIntervalMs = sendIntervalMs;
}

// Reads the whole image and closes the file: the blocks are cut from that copy, so
// what goes out is what was checked, whatever happens to the file meanwhile.
// Nothing is sent for a file that cannot be opened or read, is empty, larger than
// any inverter's flash, or text (a DSP HEX text, a support log) chosen as an image.
UpdateJob::Ending UpdateJob::armOpen()
{
    image_.clear();
    FileError opened = firmwareFile_.open(f_.firmwarePath, FirmwareLimit::Image);
    if (opened == FileError::None)
        opened = firmwareFile_.readAll(image_);
    if (opened == FileError::None)
        opened = imageTextError(image_.data(), image_.size());
    f_.fileLength = firmwareFile_.length();
    firmwareFile_.close();
    if (opened != FileError::None) {
        image_ = {};
        return refuse(opened);
    }
    f_.readyToSend = true;
    f_.jobState = num(ArmState::WakeUp);
    return Ending::None;
}

// Builds and sends the data block numbered blockNumber from the next 1024 bytes
// of the file. The block that reaches the end of the file, short or full, is the
// last one: its ACK leads to EOT.
UpdateJob::Ending UpdateJob::armDataBlock()
{
    const std::int64_t n = arm_.blockNumber;
    const std::int64_t left = static_cast<std::int64_t>(f_.fileLength) - (n - 1) * 1024;
    if (n < 1 || left <= 0)
        return Ending::None; // never read beyond the end of the file
    const std::size_t count = static_cast<std::size_t>(std::min<std::int64_t>(left, kDataBytes));
    message_[0] = kStx;
    message_[1] = static_cast<std::uint8_t>(n & 0xFF);
    message_[2] = static_cast<std::uint8_t>(0xFF - (n & 0xFF));
    std::copy_n(image_.begin() + (n - 1) * std::int64_t(kDataBytes), count, &message_[3]);
    std::fill(message_.begin() + 3 + count, message_.begin() + 3 + kDataBytes, kPad);
    message_[1027] = kPad;
    message_[1028] = 0x10;
    ++arm_.blockNumber;
    f_.readyToSend = false;
    if (left <= static_cast<std::int64_t>(kDataBytes))
        f_.jobState = num(ArmState::LastBlockAck);
    f_.elapsedMs = 0;
    f_.timeoutMs = 5000;
    f_.sendIntervalMs = 5;
    send(message_.data(), kDataBlockLength);
    f_.bytesSent += kDataBytes;
    if (++arm_.blocksSinceProgress >= kBlocksPerProgress) {
        host_.setProgressPos(f_.bytesSent * 100u / static_cast<std::uint32_t>(f_.fileLength));
        arm_.blocksSinceProgress = 0;
    }
    host_.setLineText(StatusLine::Program, texts::kPrograming);
    return Ending::None;
}

} // namespace updater
