// DSP boot loader: an erase command, then one binary record per line of the
// Intel HEX file. The device acknowledges the erase and each record with 0xCC.
#include "HexFile.h"
#include "Texts.h"
#include "UpdateJob.h"

namespace updater {

namespace {

constexpr std::uint8_t kAck = 0xCC;
constexpr std::uint8_t kEraseCommand[8] = {0xFA, 'f', 'l', 'a', 's', 'h', 'b', 0x96};

// The erase counts as 2048 bytes of the file.
constexpr std::uint32_t kEraseProgressNumerator = 2048 * 100;
constexpr std::int32_t kEraseTimeoutMs = 20000;
constexpr std::int32_t kEraseIntervalMs = 50;
constexpr std::int32_t kRecordTimeoutMs = 5000;
constexpr std::int32_t kRecordIntervalMs = 4;
constexpr std::int32_t kRecordsPerProgress = 50;

} // namespace

UpdateJob::Ending UpdateJob::dspRows(unsigned byte)
{
    if (byte != kAck)
        return Ending::None;
    switch (f_.jobState) {
    case 2:
        f_.readyToSend = true;
        f_.jobState = 3;
        host_.setLineText(kConnectLineId, texts::kEraseDone);
        return Ending::None;
    case 3:
        f_.readyToSend = true;
        return Ending::None;
    case 6:
        f_.jobState = -1;
        host_.setLineText(kProgramLineId, texts::kProgramingDone);
        return Ending::Success;
    default:
        return Ending::None;
    }
}

UpdateJob::Ending UpdateJob::dspSender()
{
    switch (f_.jobState) {
    case 0:
        return dspLoad();
    case 1:
        dspErase();
        return Ending::None;
    case 3:
        if (f_.readyToSend)
            dspNextRecord();
        return Ending::None;
    default:
        return Ending::None; // 2 and 6 wait for an acknowledgement
    }
}

// Reads the whole file into the image and checks it; nothing is sent for a file
// that is refused.
UpdateJob::Ending UpdateJob::dspLoad()
{
    const FileError opened = firmwareFile_.open(f_.firmwarePath);
    if (opened != FileError::None)
        return refuse(opened);
    f_.fileOpen = true;
    const std::int32_t length = firmwareFile_.length();
    firmwareImage_ = std::make_unique_for_overwrite<std::uint8_t[]>(length);
    const std::size_t got = firmwareFile_.read(firmwareImage_.get(), length);
    f_.fileLength = static_cast<std::int32_t>(got);
    f_.jobState = 1;
    f_.readyToSend = true;
    f_.readPos = 0;
    closeFileLocked();
    dsp_.inLine = false;
    if (got != static_cast<std::size_t>(length))
        return refuse(FileError::ReadFailed);
    const HexCheck check = checkIntelHex(firmwareImage_.get(), got);
    if (!check.ok()) {
        lastError_ = f_.firmwarePath + ": " + describe(check);
        f_.jobState = -1;
        return Ending::FileRefused;
    }
    return Ending::None;
}

void UpdateJob::dspErase()
{
    send(kEraseCommand, sizeof kEraseCommand);
    f_.jobState = 2;
    f_.timeoutMs = kEraseTimeoutMs;
    f_.sendIntervalMs = kEraseIntervalMs;
    f_.elapsedMs = 0;
    host_.setProgressPos(kEraseProgressNumerator / static_cast<std::uint32_t>(f_.fileLength));
    f_.bytesSent = 0;
    host_.setLineText(kConnectLineId, texts::kErase);
}

// Converts the next line of the image into the record it spells and sends it.
// The file was checked at load, so every line up to the end-of-file record
// yields a well-formed record of at most 68 bytes.
void UpdateJob::dspNextRecord()
{
    if (f_.readPos >= f_.fileLength)
        return;
    std::uint8_t record[kMaxRecordBytes];
    std::size_t length = 0;
    int high = 0;
    bool lineEnded = false;
    std::int32_t pos = f_.readPos;
    const std::uint8_t *image = firmwareImage_.get();
    while (pos < f_.fileLength) {
        const std::uint8_t c = image[pos++];
        if (c == ':') {
            dsp_.inLine = true;
        } else if (c == '\r' || (c == '\n' && dsp_.inLine)) {
            // CR ends a line; so does LF in a file without CR. An LF outside a
            // line (the one after CR) is skipped below.
            f_.readPos = pos;
            dsp_.inLine = false;
            lineEnded = true;
            break;
        } else if (dsp_.inLine) {
            const int value = hexDigitValue(c);
            if (dsp_.digitCount % 2 == 0)
                high = value;
            else if (length < kMaxRecordBytes)
                record[length++] = static_cast<std::uint8_t>(high * 16 + value);
            ++dsp_.digitCount;
        }
    }
    if (!lineEnded)
        f_.readPos = f_.fileLength;
    if (length == 0)
        return;
    f_.readyToSend = false;
    dsp_.digitCount = 0;
    send(record, length);
    if (length == 5)
        f_.jobState = 6; // the record without data bytes is the last one
    f_.bytesSent += static_cast<std::uint32_t>(2 * length + 4);
    f_.timeoutMs = kRecordTimeoutMs;
    f_.sendIntervalMs = kRecordIntervalMs;
    f_.elapsedMs = 0;
    if (++dsp_.linesSinceProgress == kRecordsPerProgress) {
        host_.setProgressPos(f_.bytesSent * 100u / static_cast<std::uint32_t>(f_.fileLength));
        dsp_.linesSinceProgress = 0;
    }
    host_.setLineText(kProgramLineId, texts::kPrograming);
}

} // namespace updater
