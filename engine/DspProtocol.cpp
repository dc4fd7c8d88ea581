// DSP boot loader: an erase command, then one binary record per line of the
// Intel HEX file. The device acknowledges the erase and each record with 0xCC.
#include "HexFile.h"
#include "Texts.h"
#include "UpdateJob.h"

namespace updater {

namespace {

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
    if (byte != kDspAck)
        return Ending::None;
    switch (f_.jobState) {
    case num(DspState::Erasing):
        f_.readyToSend = true;
        f_.jobState = num(DspState::Programming);
        host_.setLineText(StatusLine::Connect, texts::kEraseDone);
        return Ending::None;
    case num(DspState::Programming):
        f_.readyToSend = true;
        return Ending::None;
    case num(DspState::LastRecord):
        host_.setLineText(StatusLine::Program, texts::kProgramingDone);
        return ended(Ending::Success);
    default:
        return Ending::None;
    }
}

UpdateJob::Ending UpdateJob::dspSender()
{
    switch (f_.jobState) {
    case num(DspState::Load):
        return dspLoad();
    case num(DspState::Erase):
        dspErase();
        return Ending::None;
    case num(DspState::Programming):
        if (f_.readyToSend)
            dspNextRecord();
        return Ending::None;
    default:
        return Ending::None; // the other states wait for an acknowledgement
    }
}

// Reads the whole file, checks it and decodes it into the records that are sent;
// nothing is sent for a file that is refused.
UpdateJob::Ending UpdateJob::dspLoad()
{
    const FileError opened = firmwareFile_.open(f_.firmwarePath, FirmwareLimit::Hex);
    if (opened != FileError::None)
        return refuse(opened);
    f_.fileOpen = true;
    const std::int32_t length = firmwareFile_.length();
    const auto text = std::make_unique_for_overwrite<std::uint8_t[]>(length);
    const std::size_t got = firmwareFile_.read(text.get(), length);
    f_.fileLength = static_cast<std::int32_t>(got);
    f_.jobState = num(DspState::Erase);
    f_.readyToSend = true;
    f_.readPos = 0;
    closeFileLocked();
    if (got != static_cast<std::size_t>(length))
        return refuse(FileError::ReadFailed);
    const HexCheck check = checkIntelHex(text.get(), got, &records_);
    if (!check.ok()) {
        lastError_ = f_.firmwarePath + ": " + describe(check);
        return ended(Ending::FileRefused);
    }
    return Ending::None;
}

void UpdateJob::dspErase()
{
    send(kEraseCommand, sizeof kEraseCommand);
    f_.jobState = num(DspState::Erasing);
    f_.timeoutMs = kEraseTimeoutMs;
    f_.sendIntervalMs = kEraseIntervalMs;
    f_.elapsedMs = 0;
    host_.setProgressPos(kEraseProgressNumerator / static_cast<std::uint32_t>(f_.fileLength));
    f_.bytesSent = 0;
    host_.setLineText(StatusLine::Connect, texts::kErase);
}

// Sends the record of the next line; readPos counts the records sent. Progress
// counts each record as the characters of its line: two digits a byte, the ':'
// and the line end.
void UpdateJob::dspNextRecord()
{
    const auto next = static_cast<std::size_t>(f_.readPos);
    if (next >= records_.count())
        return;
    const std::size_t length = records_.length(next);
    ++f_.readPos;
    f_.readyToSend = false;
    send(records_.data(next), length);
    if (length == 5)
        f_.jobState = num(DspState::LastRecord); // the record without data bytes is the last one
    f_.bytesSent += static_cast<std::uint32_t>(2 * length + 4);
    f_.timeoutMs = kRecordTimeoutMs;
    f_.sendIntervalMs = kRecordIntervalMs;
    f_.elapsedMs = 0;
    if (++dsp_.linesSinceProgress == kRecordsPerProgress) {
        host_.setProgressPos(f_.bytesSent * 100u / static_cast<std::uint32_t>(f_.fileLength));
        dsp_.linesSinceProgress = 0;
    }
    host_.setLineText(StatusLine::Program, texts::kPrograming);
}

} // namespace updater
