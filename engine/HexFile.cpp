#include "HexFile.h"

#include <array>
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
    }
    return "unknown fault";
}

std::string describe(const HexCheck &check)
{
    if (check.line > 0)
        return "line " + std::to_string(check.line) + ": " + hexFaultText(check.fault);
    return hexFaultText(check.fault);
}

// One line as the DSP sender will see it: the digits after its first ':'.
class HexChecker::LineChecker
{
public:
    void take(std::uint8_t c)
    {
        ++length_;
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
    for (std::size_t i = 0; i < size && !done_; ++i) {
        const std::uint8_t c = data[i];
        // CR LF is one line end; CR alone and LF alone are one each.
        if (std::exchange(afterCr_, false) && c == '\n')
            continue;
        if (c == '\r' || c == '\n') {
            afterCr_ = c == '\r';
            endLine();
        } else {
            lineChecker_->take(c);
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

bool HexChecker::settled() const
{
    return done_ || lineChecker_->failed();
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
