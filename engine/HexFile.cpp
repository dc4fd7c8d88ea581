#include "HexFile.h"

#include <array>

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
    }
    return "unknown fault";
}

std::string describe(const HexCheck &check)
{
    if (check.line > 0)
        return "line " + std::to_string(check.line) + ": " + hexFaultText(check.fault);
    return hexFaultText(check.fault);
}

namespace {

// One line as the DSP sender will see it: the digits after its first ':'.
class LineChecker
{
public:
    void take(std::uint8_t c)
    {
        if (!inLine_) {
            inLine_ = (c == ':'); // text before the ':' is skipped
            return;
        }
        const int value = hexDigitValue(c);
        if (value < 0) {
            badChar_ = true;
            return;
        }
        if (digits_ % 2 == 0) {
            high_ = value;
        } else if (bytes_ < record_.size()) {
            record_[bytes_] = static_cast<std::uint8_t>(high_ * 16 + value);
            ++bytes_;
        } else {
            tooLong_ = true;
        }
        ++digits_;
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

    bool hasText() const { return inLine_ || anyText_; }
    void noteText() { anyText_ = true; }
    std::size_t bytes() const { return bytes_; }
    const std::uint8_t *record() const { return record_.data(); }
    std::uint8_t type() const { return record_[3]; }

private:
    std::array<std::uint8_t, kMaxRecordBytes> record_{};
    std::size_t bytes_ = 0;
    int digits_ = 0;
    int high_ = 0;
    bool inLine_ = false;
    bool badChar_ = false;
    bool tooLong_ = false;
    bool anyText_ = false;
};

} // namespace

HexCheck checkIntelHex(const std::uint8_t *data, std::size_t size, HexRecords *records)
{
    HexCheck result;
    if (records != nullptr) {
        // Every line spells at most half its characters; a record line has at least 11.
        records->bytes_.clear();
        records->ends_.clear();
        records->bytes_.reserve(size / 2 + 1);
        records->ends_.reserve(size / 11 + 1);
    }
    const auto refuse = [&](HexFault fault, int atLine) {
        result.fault = fault;
        result.line = atLine;
        if (records != nullptr) {
            records->bytes_.clear();
            records->ends_.clear();
        }
        return result;
    };
    int line = 1;
    std::size_t pos = 0;
    while (pos < size) {
        LineChecker checker;
        while (pos < size && data[pos] != '\r' && data[pos] != '\n') {
            checker.noteText();
            checker.take(data[pos]);
            ++pos;
        }
        const bool atEnd = pos >= size;
        if (!atEnd) {
            // CR LF is one line end; CR alone and LF alone are one each.
            if (data[pos] == '\r' && pos + 1 < size && data[pos + 1] == '\n')
                ++pos;
            ++pos;
        }
        if (atEnd && !checker.hasText())
            break; // the file ends with its last line end
        if (const HexFault fault = checker.fault(); fault != HexFault::None)
            return refuse(fault, line);
        ++result.records;
        if (records != nullptr) {
            records->bytes_.insert(records->bytes_.end(), checker.record(),
                                   checker.record() + checker.bytes());
            records->ends_.push_back(static_cast<std::uint32_t>(records->bytes_.size()));
        }
        if (checker.bytes() == 5) {
            // The first record without data bytes is the last one the device gets.
            if (checker.type() != 0x01)
                return refuse(HexFault::EarlyZeroLength, line);
            return result;
        }
        ++line;
    }
    return refuse(HexFault::NoEndRecord, 0);
}

} // namespace updater
