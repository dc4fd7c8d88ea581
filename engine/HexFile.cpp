#include "HexFile.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

namespace updater {

const char *hexFaultText(HexFault fault)
{
    switch (fault) {
    case HexFault::None:
        return "no fault";
    case HexFault::NotHexDigit:
        return "a character that is not a hex digit";
    case HexFault::OddDigits:
        return "odd number of hex digits";
    case HexFault::TooLong:
        return "the line spells more than 68 bytes";
    case HexFault::TooShort:
        return "the record is shorter than 5 bytes";
    case HexFault::CountMismatch:
        return "the byte count disagrees with the line's length";
    case HexFault::Checksum:
        return "checksum mismatch";
    case HexFault::NoRecord:
        return "no record on this line";
    case HexFault::EarlyZeroLength:
        return "a record without data bytes before the end-of-file record";
    case HexFault::NoEndRecord:
        return "no end-of-file record";
    case HexFault::UnknownType:
        return "a record type above 05";
    case HexFault::AddressLength:
        return "an address record (type 02 or 04) whose data is not 2 bytes";
    case HexFault::StartLength:
        return "a start address record (type 03 or 05) whose data is not 4 bytes";
    case HexFault::EndWithData:
        return "an end-of-file record with data bytes";
    case HexFault::Overlap:
        return "data that overlaps earlier data with different values";
    case HexFault::LineTooLong:
        static_assert(kLongestRecordLine == 521);
        return "the line is longer than any Intel HEX record (521 characters)";
    case HexFault::CrossesSegment:
        return "the record crosses a 64 KiB boundary";
    }
    return "unknown fault";
}

std::string describe(const HexCheck &check)
{
    std::string text = hexFaultText(check.fault);
    if (check.fault == HexFault::Overlap) {
        char address[16];
        std::snprintf(address, sizeof address, "0x%08X", unsigned(check.address));
        text += std::string(" (address ") + address + ", first given on line " +
                std::to_string(check.firstLine) + ")";
    }
    if (check.line > 0)
        return "line " + std::to_string(check.line) + ": " + text;
    return text;
}

namespace {

// hexDigitValue of every character, looked up: the digits of a firmware image
// fall at random between 0-9 and A-F, which a chain of comparisons mispredicts.
constexpr auto kDigitValues = [] {
    std::array<std::int8_t, 256> values{};
    for (int c = 0; c < 256; ++c)
        values[std::size_t(c)] = std::int8_t(hexDigitValue(std::uint8_t(c)));
    return values;
}();

enum class OpeningLine
{
    Record,        // a ':' and hex digits whose byte count fits the line
    TextWithColon, // printable text with a ':': a damaged record
    Other,
};

// What a line (without its line end) looks like; endRecord tells an end-of-file record.
OpeningLine classify(const std::uint8_t *line, std::size_t size, bool &endRecord)
{
    endRecord = false;
    const auto *colon = static_cast<const std::uint8_t *>(std::memchr(line, ':', size));
    if (colon == nullptr)
        return OpeningLine::Other;
    const std::uint8_t *digits = colon + 1;
    const auto count = static_cast<std::size_t>(line + size - digits);
    const bool allDigits =
        std::all_of(digits, line + size, [](std::uint8_t c) { return kDigitValues[c] >= 0; });
    if (allDigits && count >= 10 && count % 2 == 0 &&
        std::size_t(kDigitValues[digits[0]] * 16 + kDigitValues[digits[1]]) + 5 == count / 2) {
        endRecord = count == 10 && digits[6] == '0' && digits[7] == '1';
        return OpeningLine::Record;
    }
    const bool printable = std::all_of(
        line, line + size, [](std::uint8_t c) { return (c >= 0x20 && c < 0x7F) || c == '\t'; });
    return printable ? OpeningLine::TextWithColon : OpeningLine::Other;
}

} // namespace

bool beginsAsIntelHex(const std::uint8_t *head, std::size_t size)
{
    int records = 0;
    int texts = 0;
    int others = 0;
    std::size_t pos = 0;
    for (std::size_t looked = 0; looked < kOpeningLines && pos < size; ++pos) {
        std::size_t end = pos;
        while (end < size && head[end] != '\r' && head[end] != '\n' &&
               end - pos <= kLongestRecordLine)
            ++end;
        if (end - pos > kLongestRecordLine) {
            ++others; // no record is this long: what follows is not looked at
            break;
        }
        if (end == pos)
            continue; // an empty line, or the LF of a CR LF
        ++looked;
        bool endRecord = false;
        switch (classify(head + pos, end - pos, endRecord)) {
        case OpeningLine::Record:
            ++records;
            break;
        case OpeningLine::TextWithColon:
            ++texts;
            break;
        case OpeningLine::Other:
            ++others;
            break;
        }
        if (endRecord)
            break; // what follows the end-of-file record is not part of the text
        pos = end;
    }
    return records > 0 && records + texts > others;
}

namespace {

// One character of a text: a code point, or kNotText for what no text holds.
constexpr std::uint32_t kNotText = 0xFFFFFFFF;

bool textCharacter(std::uint32_t c)
{
    if (c == '\t' || c == '\r' || c == '\n')
        return true;
    if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        return false; // control characters: no text file holds them
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

enum class Encoding
{
    Utf8,
    Utf16Le,
    Utf16Be,
};

// The characters of head in the encoding, each non-ASCII one as '?'; false at the
// first that is no text character. A character cut by the end of head counts as
// text when head was cut from a longer file.
bool decodeText(const std::uint8_t *head, std::size_t size, Encoding encoding, bool asciiOnly,
                bool cut, std::string &text)
{
    text.clear();
    text.reserve(size);
    std::size_t i = 0;
    const auto unit16 = [&](std::size_t at) {
        return encoding == Encoding::Utf16Le ? std::uint32_t(head[at] | head[at + 1] << 8)
                                             : std::uint32_t(head[at] << 8 | head[at + 1]);
    };
    while (i < size) {
        std::uint32_t c = kNotText;
        if (encoding == Encoding::Utf8) {
            const std::uint8_t lead = head[i];
            const int more = lead < 0x80                   ? 0
                             : lead >= 0xC2 && lead < 0xE0 ? 1
                             : lead >= 0xE0 && lead < 0xF0 ? 2
                             : lead >= 0xF0 && lead < 0xF5 ? 3
                                                           : -1;
            if (more < 0)
                return false;
            if (i + std::size_t(more) >= size)
                return cut;
            c = more == 0 ? lead : lead & (0x3F >> more);
            for (int k = 1; k <= more; ++k) {
                if ((head[i + std::size_t(k)] & 0xC0) != 0x80)
                    return false;
                c = c << 6 | (head[i + std::size_t(k)] & 0x3F);
            }
            // Overlong forms are no text either.
            if ((more == 2 && c < 0x800) || (more == 3 && c < 0x10000))
                return false;
            i += std::size_t(more) + 1;
        } else {
            if (i + 1 >= size)
                return cut;
            c = unit16(i);
            i += 2;
            if (c >= 0xD800 && c < 0xDC00) {
                if (i + 1 >= size)
                    return cut;
                const std::uint32_t low = unit16(i);
                if (low < 0xDC00 || low > 0xDFFF)
                    return false;
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (!textCharacter(c) || (asciiOnly && c >= 0x80))
            return false;
        text += c < 0x80 ? char(c) : '?';
    }
    return true;
}

// A line of a trace: "     301 ms  > state 1  FE FD FC  (3 bytes)".
bool traceLine(std::string_view line)
{
    const std::size_t digits = line.find_first_not_of(' ');
    if (digits == std::string_view::npos)
        return false;
    const std::size_t after = line.find_first_not_of("0123456789", digits);
    return after != digits && after != std::string_view::npos &&
           line.substr(after).rfind(" ms  ", 0) == 0;
}

} // namespace

TextKind imageTextKind(const std::uint8_t *head, std::size_t size)
{
    if (beginsAsIntelHex(head, std::min(size, kOpeningBytes)))
        return TextKind::IntelHex;
    const bool cut = size > kTextProbeBytes;
    size = std::min(size, kTextProbeBytes);
    // With a byte order mark, any text; without one, UTF-16 only of ASCII
    // characters, which a binary image hardly ever looks like.
    std::string text;
    bool isText = false;
    if (size >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF)
        isText = decodeText(head + 3, size - 3, Encoding::Utf8, false, cut, text);
    else if (size >= 2 && head[0] == 0xFF && head[1] == 0xFE)
        isText = decodeText(head + 2, size - 2, Encoding::Utf16Le, false, cut, text);
    else if (size >= 2 && head[0] == 0xFE && head[1] == 0xFF)
        isText = decodeText(head + 2, size - 2, Encoding::Utf16Be, false, cut, text);
    else
        isText = decodeText(head, size, Encoding::Utf8, false, cut, text) ||
                 decodeText(head, size, Encoding::Utf16Le, true, cut, text) ||
                 decodeText(head, size, Encoding::Utf16Be, true, cut, text);
    if (!isText)
        return TextKind::None;
    // What the text is, by its lines: a record, with blanks around it, after
    // comments, makes it a HEX text; a line of a trace, a support log.
    bool trace = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        const std::size_t first = line.find_first_not_of(" \t");
        const std::size_t last = line.find_last_not_of(" \t");
        line = first == std::string_view::npos ? std::string_view()
                                               : line.substr(first, last - first + 1);
        bool endRecord = false;
        if (!line.empty() && line.size() <= kLongestRecordLine &&
            classify(reinterpret_cast<const std::uint8_t *>(line.data()), line.size(), endRecord) ==
                OpeningLine::Record)
            return TextKind::IntelHex;
        trace = trace || traceLine(std::string_view(text.data() + pos, end - pos));
        pos = end + 1;
    }
    return trace ? TextKind::SupportLog : TextKind::Other;
}

// One line as the DSP sender will see it: the digits after its first ':'.
class HexChecker::LineChecker
{
public:
    // Takes characters of the line, none of them a line end. The state is kept in
    // locals meanwhile: a record byte stored could otherwise be any of it.
    void take(const std::uint8_t *text, std::size_t count)
    {
        length_ += count;
        std::size_t i = 0;
        if (!inLine_) {
            while (i < count && text[i] != ':') // text before the ':' is skipped
                ++i;
            if (i == count)
                return;
            inLine_ = true;
            ++i;
        }
        int digits = digits_;
        int high = high_;
        std::size_t bytes = bytes_;
        bool badChar = badChar_;
        bool tooLong = tooLong_;
        for (; i < count; ++i) {
            const int value = kDigitValues[text[i]];
            if (value < 0) {
                badChar = true;
                continue;
            }
            if (digits % 2 == 0) {
                high = value;
            } else if (bytes < record_.size()) {
                record_[bytes] = static_cast<std::uint8_t>(high * 16 + value);
                ++bytes;
            } else {
                tooLong = true;
            }
            ++digits;
        }
        digits_ = digits;
        high_ = high;
        bytes_ = bytes;
        badChar_ = badChar;
        tooLong_ = tooLong;
    }

    HexFault fault() const
    {
        if (!inLine_)
            return HexFault::NoRecord;
        if (badChar_)
            return HexFault::NotHexDigit;
        if (digits_ % 2 != 0)
            return HexFault::OddDigits;
        if (tooLong_)
            return HexFault::TooLong;
        if (bytes_ < 5)
            return HexFault::TooShort;
        if (static_cast<std::size_t>(record_[0]) + 5 != bytes_)
            return HexFault::CountMismatch;
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < bytes_; ++i)
            sum = static_cast<std::uint8_t>(sum + record_[i]);
        return sum == 0 ? HexFault::None : HexFault::Checksum;
    }

    // No byte that may still come can make the line pass.
    bool failed() const { return badChar_ || tooLong_; }
    std::size_t length() const { return length_; }
    std::size_t bytes() const { return bytes_; }
    const std::uint8_t *record() const { return record_.data(); }
    std::uint8_t type() const { return record_[3]; }

private:
    std::array<std::uint8_t, kMaxRecordBytes> record_{};
    std::size_t bytes_ = 0;
    std::size_t length_ = 0;
    int digits_ = 0;
    int high_ = 0;
    bool inLine_ = false;
    bool badChar_ = false;
    bool tooLong_ = false;
};

HexChecker::HexChecker(HexRecords *records)
    : lineChecker_(std::make_unique<LineChecker>()), records_(records)
{
    if (records_ != nullptr) {
        records_->bytes_.clear();
        records_->ends_.clear();
    }
}

HexChecker::~HexChecker() = default;

void HexChecker::feed(const std::uint8_t *data, std::size_t size)
{
    const auto lineEnd = [](std::uint8_t c) { return c == '\r' || c == '\n'; };
    for (std::size_t i = 0; i < size && !done_;) {
        const std::uint8_t c = data[i];
        // CR LF is one line end; CR alone and LF alone are one each.
        if (std::exchange(afterCr_, false) && c == '\n') {
            ++i;
            continue;
        }
        if (lineEnd(c)) {
            afterCr_ = c == '\r';
            endLine();
            ++i;
            continue;
        }
        // The line up to its end, or up to the end of these bytes, or as far as
        // shows it longer than any record.
        std::size_t end = i + 1;
        while (end < size && !lineEnd(data[end]) && end - i <= kLongestRecordLine)
            ++end;
        lineChecker_->take(data + i, end - i);
        i = end;
        if (lineChecker_->length() > kLongestRecordLine) {
            result_.fault = HexFault::LineTooLong;
            result_.line = line_;
            done_ = true;
        }
    }
}

void HexChecker::endLine()
{
    const LineChecker &checker = *lineChecker_;
    const HexFault fault = checker.fault();
    if (fault != HexFault::None) {
        result_.fault = fault;
        result_.line = line_;
        done_ = true;
        return;
    }
    if (checker.bytes() > 5) {
        if (const HexFault fault = checkRecord(checker.record(), checker.bytes());
            fault != HexFault::None) {
            result_.fault = fault;
            result_.line = line_;
            done_ = true;
            return;
        }
    }
    ++result_.records;
    if (records_ != nullptr) {
        records_->bytes_.insert(records_->bytes_.end(), checker.record(),
                                checker.record() + checker.bytes());
        records_->ends_.push_back(static_cast<std::uint32_t>(records_->bytes_.size()));
    }
    if (checker.bytes() == 5) {
        // The first record without data bytes is the last one the device gets.
        if (checker.type() != 0x01) {
            result_.fault = HexFault::EarlyZeroLength;
            result_.line = line_;
        }
        done_ = true;
        return;
    }
    ++line_;
    *lineChecker_ = LineChecker();
}

// A record with data bytes: its type and length, and where its data goes.
HexFault HexChecker::checkRecord(const std::uint8_t *record, std::size_t size)
{
    const std::uint8_t type = record[3];
    const std::uint8_t *data = record + 4;
    const std::size_t length = size - 5;
    switch (type) {
    case 0x00:
        break;
    case 0x01:
        return HexFault::EndWithData;
    case 0x02:
    case 0x04:
        if (length != 2)
            return HexFault::AddressLength;
        segmented_ = type == 0x02;
        base_ = std::uint32_t(data[0] << 8 | data[1]) << (segmented_ ? 4 : 16);
        return HexFault::None;
    case 0x03:
    case 0x05:
        return length == 4 ? HexFault::None : HexFault::StartLength;
    default:
        return HexFault::UnknownType;
    }
    // Data: the device keeps a 16-bit offset within the 64 KiB that the last address
    // record gave, so data past 0xFFFF would land at the start of it.
    const std::uint32_t offset = std::uint32_t(record[1] << 8 | record[2]);
    if (offset + length > 0x10000)
        return HexFault::CrossesSegment;
    const auto clash = image_.write(base_ + offset, data, length, line_);
    if (!clash)
        return HexFault::None;
    result_.address = clash->address;
    result_.firstLine = clash->firstLine;
    return HexFault::Overlap;
}

bool HexChecker::settled() const
{
    return done_ || lineChecker_->failed();
}

bool HexChecker::failed() const
{
    return (done_ && !result_.ok()) || lineChecker_->failed();
}

std::size_t HexChecker::lineBytes() const
{
    return lineChecker_->length();
}

HexCheck HexChecker::finish()
{
    // A last line without a line end counts; the file may also end with its last
    // line end.
    if (!done_ && lineChecker_->length() > 0)
        endLine();
    if (!done_) {
        result_.fault = HexFault::NoEndRecord;
        result_.line = 0;
        done_ = true;
    }
    if (!result_.ok() && records_ != nullptr) {
        records_->bytes_.clear();
        records_->ends_.clear();
    }
    return result_;
}

HexCheck checkIntelHex(const std::uint8_t *data, std::size_t size, HexRecords *records)
{
    HexChecker checker(records);
    if (records != nullptr) {
        // Every line spells at most half its characters; a record line has at least 11.
        records->bytes_.reserve(size / 2 + 1);
        records->ends_.reserve(size / 11 + 1);
    }
    checker.feed(data, size);
    return checker.finish();
}

} // namespace updater
