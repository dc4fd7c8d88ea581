#include "BootLoader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <span>

namespace updater::sim {

namespace {

constexpr std::array<std::uint8_t, 8> kEraseCommand = {0xFA, 'f', 'l', 'a', 's', 'h', 'b', 0x96};
constexpr std::uint8_t kAck = 0xCC;
constexpr std::size_t kRecordOverhead = 5; // count, address high, address low, type, checksum

enum RecordType : std::uint8_t
{
    kData = 0x00,
    kEndOfFile = 0x01,
    kSegmentAddress = 0x02,
    kStartSegment = 0x03,
    kLinearAddress = 0x04,
    kStartLinear = 0x05,
};

using Record = std::span<const std::uint8_t>;

std::vector<std::string> checkRecord(const std::vector<std::uint8_t> &r)
{
    std::vector<std::string> problems;
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < r.size(); ++i)
        sum += r[i];
    const auto wanted = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
    if (r.back() != wanted)
        problems.push_back("checksum " + hexByte(r.back()) + ", expected " + hexByte(wanted));
    const std::uint8_t count = r[0];
    const std::uint8_t type = r[3];
    std::size_t wantedCount = count;
    if (type == kEndOfFile)
        wantedCount = 0;
    else if (type == kSegmentAddress || type == kLinearAddress)
        wantedCount = 2;
    else if (type == kStartSegment || type == kStartLinear)
        wantedCount = 4;
    else if (type != kData)
        problems.push_back("record type " + hexByte(type) + " is not an Intel HEX type");
    if (wantedCount != count)
        problems.push_back("record type " + hexByte(type) + " with " + std::to_string(count) +
                           " data bytes, expected " + std::to_string(wantedCount));
    return problems;
}

// Appends the record's line to the text: ':', two upper-case digits a byte, CR LF.
void appendHexLine(Record record, std::vector<std::uint8_t> &text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    text.push_back(':');
    for (std::uint8_t b : record) {
        text.push_back(std::uint8_t(kDigits[b >> 4]));
        text.push_back(std::uint8_t(kDigits[b & 0x0F]));
    }
    text.push_back('\r');
    text.push_back('\n');
}

// Calls use(address, value) for every data byte of the type-00 records, in order.
template <typename Use> void forEachDataByte(const std::vector<Record> &records, Use use)
{
    std::uint32_t base = 0;
    for (const auto &r : records) {
        const std::uint32_t value = (std::uint32_t{r[4]} << 8) | (r.size() > 6 ? r[5] : 0);
        if (r[3] == kSegmentAddress)
            base = value << 4;
        else if (r[3] == kLinearAddress)
            base = value << 16;
        else if (r[3] == kData) {
            const std::uint32_t offset = (std::uint32_t{r[1]} << 8) | r[2];
            for (std::size_t i = 0; i < r[0] && 4 + i < r.size(); ++i)
                use(base + offset + static_cast<std::uint32_t>(i), r[4 + i]);
        }
    }
}

// Places the data of type-00 records at their addresses, a later record writing
// over an earlier one; gaps read 0xFF. Returns the lowest address.
std::uint32_t placeData(const std::vector<Record> &records, std::vector<std::uint8_t> &out)
{
    bool any = false;
    std::uint32_t low = 0xFFFFFFFF, high = 0;
    forEachDataByte(records, [&](std::uint32_t address, std::uint8_t) {
        any = true;
        low = std::min(low, address);
        high = std::max(high, address);
    });
    out.clear();
    if (!any)
        return 0;
    out.assign(std::size_t(high - low) + 1, 0xFF);
    forEachDataByte(records,
                    [&](std::uint32_t address, std::uint8_t value) { out[address - low] = value; });
    return low;
}

void compareRecords(const std::vector<Record> &got, Verdict &v, const Expectation &expected)
{
    const auto wanted = hexRecords(*expected.file);
    const std::size_t common = std::min(got.size(), wanted.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (!std::ranges::equal(got[i], wanted[i])) {
            v.matchesExpected = false;
            v.expectedDescription =
                "differs from " + expected.name + " at record " + std::to_string(i + 1);
            return;
        }
    }
    v.matchesExpected = got.size() == wanted.size();
    v.expectedDescription = (*v.matchesExpected ? "matches " : "differs from ") + expected.name +
                            " (" + std::to_string(wanted.size()) + " records expected, " +
                            std::to_string(got.size()) + " received)";
}

} // namespace

FeedResult BootLoader::feed(const std::uint8_t *bytes, std::size_t length, std::size_t &used)
{
    FeedResult r;
    used = 0;
    while (used < length) {
        r = feed(bytes[used++]);
        if (r.stray || r.unitDone)
            break;
    }
    return r;
}

FeedResult DspBootLoader::feed(std::uint8_t byte)
{
    switch (phase_) {
    case Phase::Erase:
        return eraseByte(byte);
    case Phase::Records:
        return recordByte(byte);
    case Phase::Done:
        break;
    }
    FeedResult r;
    r.stray = true;
    return r;
}

FeedResult DspBootLoader::eraseByte(std::uint8_t byte)
{
    FeedResult r;
    unit_.push_back(byte);
    if (unit_.size() < kEraseCommand.size())
        return r;
    r.unitDone = true;
    r.unitName = "erase command";
    for (std::size_t i = 0; i < kEraseCommand.size(); ++i) {
        if (unit_[i] != kEraseCommand[i])
            r.problems.push_back("byte " + std::to_string(i) + " is " + hexByte(unit_[i]) +
                                 ", expected " + hexByte(kEraseCommand[i]));
    }
    unit_.clear();
    r.accepted = r.problems.empty();
    if (r.accepted) {
        r.reply = {kAck};
        phase_ = Phase::Records;
    }
    return r;
}

// Records are framed by their own byte count: the first byte n announces a record
// of n + 5 bytes, so records that arrive back to back are still told apart.
FeedResult DspBootLoader::recordByte(std::uint8_t byte)
{
    unit_.push_back(byte);
    if (unit_.size() < unit_[0] + kRecordOverhead)
        return {};
    return completeRecord();
}

FeedResult DspBootLoader::feed(const std::uint8_t *bytes, std::size_t length, std::size_t &used)
{
    if (phase_ != Phase::Records || length == 0)
        return BootLoader::feed(bytes, length, used);
    used = 0;
    if (unit_.empty())
        unit_.push_back(bytes[used++]);
    const std::size_t missing = unit_[0] + kRecordOverhead - unit_.size();
    const std::size_t take = std::min(missing, length - used);
    unit_.insert(unit_.end(), bytes + used, bytes + used + take);
    used += take;
    return take == missing ? completeRecord() : FeedResult{};
}

FeedResult DspBootLoader::completeRecord()
{
    FeedResult r;
    ++recordsSeen_;
    r.unitDone = true;
    r.unitName = "record " + std::to_string(recordsSeen_);
    r.problems = checkRecord(unit_);
    r.accepted = r.problems.empty();
    if (r.accepted) {
        r.reply = {kAck};
        recordBytes_.insert(recordBytes_.end(), unit_.begin(), unit_.end());
        recordEnds_.push_back(recordBytes_.size());
        if (unit_[3] == kEndOfFile) {
            r.lastUnit = true;
            phase_ = Phase::Done;
        }
    }
    unit_.clear();
    return r;
}

void DspBootLoader::finish(Verdict &v, const Expectation &expected, bool withImage) const
{
    std::vector<Record> records;
    records.reserve(recordEnds_.size());
    for (std::size_t i = 0, begin = 0; i < recordEnds_.size(); begin = recordEnds_[i++])
        records.emplace_back(recordBytes_.data() + begin, recordEnds_[i] - begin);
    v.protocol = Protocol::Dsp;
    v.complete = phase_ == Phase::Done;
    v.unitSummary = "erase command, " + std::to_string(recordsSeen_) + " records";
    if (phase_ == Phase::Erase && unit_.empty() && recordsSeen_ == 0)
        v.unitSummary = "an incomplete or refused erase command";
    if (!unit_.empty())
        v.deviations.push_back("the job stopped inside a unit: " + std::to_string(unit_.size()) +
                               " bytes of it received");
    std::size_t textLength = 0; // ':', two digits a byte, CR LF
    for (const Record &record : records)
        textLength += record.size() * 2 + 3;
    v.image.clear();
    if (withImage) {
        v.image.reserve(textLength);
        for (const Record &record : records)
            appendHexLine(record, v.image);
    }
    v.dspDataStart = placeData(records, v.dspData);
    char text[160];
    std::snprintf(text, sizeof text,
                  "Intel HEX, %zu records, %zu bytes as text; data %zu bytes from 0x%08X, "
                  "crc32 %08X",
                  records.size(), textLength, v.dspData.size(),
                  static_cast<unsigned>(v.dspDataStart),
                  static_cast<unsigned>(crc32(v.dspData.data(), v.dspData.size())));
    v.imageDescription = text;
    if (expected.file)
        compareRecords(records, v, expected);
    else if (expected.size) {
        v.matchesExpected = v.dspData.size() == *expected.size;
        v.expectedDescription = std::to_string(*expected.size) + " data bytes expected";
    }
}

std::vector<std::vector<std::uint8_t>> hexRecords(const std::vector<std::uint8_t> &text)
{
    std::vector<std::vector<std::uint8_t>> records;
    std::vector<std::uint8_t> record;
    bool inLine = false;
    int high = -1;
    auto endLine = [&] {
        if (inLine && !record.empty())
            records.push_back(record);
        record.clear();
        inLine = false;
        high = -1;
    };
    for (std::uint8_t c : text) {
        if (c == '\r' || c == '\n') {
            endLine();
            if (!records.empty() && records.back().size() > 3 && records.back()[3] == 0x01)
                break;
            continue;
        }
        if (c == ':') {
            inLine = true;
            continue;
        }
        if (!inLine)
            continue;
        const int value = c <= '9' && c >= '0'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : 0;
        if (high < 0) {
            high = value;
        } else {
            record.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    endLine();
    return records;
}

} // namespace updater::sim
