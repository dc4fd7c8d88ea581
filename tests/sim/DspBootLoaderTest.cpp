#include "SimTestSupport.h"

#include <gtest/gtest.h>

using namespace simtest;
using updater::sim::Expectation;
using updater::sim::Protocol;
using updater::sim::SimDevice;

namespace {

// Records of a HEX text, as the host sends them: the bytes each line spells.
std::vector<Bytes> recordsOf(const std::string &text)
{
    std::vector<Bytes> records;
    std::size_t at = 0;
    while ((at = text.find(':', at)) != std::string::npos) {
        const std::size_t end = text.find('\r', at);
        records.push_back(record(text.substr(at + 1, end - at - 1)));
        at = end;
    }
    return records;
}

Bytes textBytes(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

} // namespace

TEST(DspBootLoader, AcknowledgesTheEraseCommandAndEveryRecordWithCcAndPassesAWholeJob)
{
    const std::string hex = hexText(randomBytes(100, 1));
    SimDevice device({}, {});
    EXPECT_EQ(feed(device, eraseCommand()).replies, Bytes{kCc});
    const auto records = recordsOf(hex);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Fed fed = feed(device, records[i]);
        EXPECT_EQ(fed.replies, Bytes{kCc}) << "record " << i + 1;
        EXPECT_EQ(fed.jobEnded, i + 1 == records.size());
    }
    const auto v = device.verdict();
    EXPECT_EQ(v.protocol, Protocol::Dsp);
    EXPECT_TRUE(v.complete);
    EXPECT_TRUE(v.passed());
    EXPECT_EQ(v.units, 1 + 8);
    EXPECT_EQ(v.image, textBytes(hex)) << "the rebuilt HEX text is the file's own text";
    const auto withoutImage = device.verdict(false);
    EXPECT_TRUE(withoutImage.image.empty());
    EXPECT_EQ(withoutImage.imageDescription, v.imageDescription) << "the text is still counted";
}

// However the bytes are cut into pieces: one at a time, a record split across
// reads, several records in one read.
TEST(DspBootLoader, TellsRecordsApartByTheirByteCountWhenTheyArriveBackToBack)
{
    const std::string hex = hexText(randomBytes(40, 2));
    Bytes stream = eraseCommand();
    for (const auto &r : recordsOf(hex))
        stream.insert(stream.end(), r.begin(), r.end());
    Bytes withBadRecord = stream;
    withBadRecord[eraseCommand().size() + 21 + 20] ^= 0x01; // the second record's checksum
    std::string badVerdict;
    for (const std::size_t piece :
         {std::size_t(1), std::size_t(2), std::size_t(7), stream.size()}) {
        SCOPED_TRACE("pieces of " + std::to_string(piece));
        SimDevice device({}, {});
        const Fed fed = feed(device, stream, piece);
        EXPECT_EQ(fed.replies, Bytes(5, kCc)) << "erase, three data records, end-of-file record";
        EXPECT_TRUE(fed.jobEnded);
        EXPECT_TRUE(device.verdict().passed());

        SimDevice refusing({}, {});
        EXPECT_EQ(feed(refusing, withBadRecord, piece).replies, Bytes(4, kCc));
        const std::string text = formatVerdict(refusing.verdict());
        EXPECT_NE(text.find("unit 3 (record 2): checksum"), std::string::npos) << text;
        if (badVerdict.empty())
            badVerdict = text;
        EXPECT_EQ(text, badVerdict);
    }
}

namespace {

// A type-00 record of the payload at the address, with its checksum.
Bytes dataRecord(std::uint16_t address, const Bytes &payload)
{
    Bytes r = {std::uint8_t(payload.size()), std::uint8_t(address >> 8), std::uint8_t(address), 0};
    r.insert(r.end(), payload.begin(), payload.end());
    std::uint8_t sum = 0;
    for (const std::uint8_t b : r)
        sum = std::uint8_t(sum + b);
    r.push_back(std::uint8_t(0x100 - sum));
    return r;
}

// A session through the boot loader itself, one byte at a time (piece 1) or in
// pieces of that size: its answers and faults, rebuilt text and verdict.
std::string session(const Bytes &stream, std::size_t piece)
{
    updater::sim::DspBootLoader loader;
    std::string out;
    for (std::size_t at = 0, used = 1; at < stream.size(); at += used) {
        const auto r =
            piece == 1 ? loader.feed(stream[at])
                       : loader.feed(stream.data() + at, std::min(piece, stream.size() - at), used);
        out.append(r.reply.begin(), r.reply.end());
        for (const auto &problem : r.problems)
            out += r.unitName + ": " + problem + "\n";
    }
    updater::sim::Verdict v;
    loader.finish(v, {}, true);
    return out + "\n" + std::string(v.image.begin(), v.image.end()) + formatVerdict(v);
}

} // namespace

// Each record is framed by its own count, from none to 255 data bytes.
TEST(DspBootLoader, FramesEveryRecordAlikeFedByteByByteOrInPieces)
{
    Bytes good = eraseCommand();
    for (const Bytes &r : {dataRecord(0x0000, {0x55}), dataRecord(0x0010, randomBytes(16, 5)),
                           dataRecord(0x0100, randomBytes(255, 6)), record("00000001FF")})
        good.insert(good.end(), r.begin(), r.end());
    Bytes badChecksum = good;
    badChecksum[8 + 6 + 4 + 16] ^= 0x01; // the second record's checksum
    const Bytes cutShort(good.begin(), good.end() - 3);
    for (const Bytes &stream : {good, badChecksum, cutShort}) {
        const std::string inOnePiece = session(stream, stream.size());
        EXPECT_EQ(session(stream, 1), inOnePiece);
        EXPECT_EQ(session(stream, 7), inOnePiece);
    }
    EXPECT_NE(session(good, 1).find("result: PASS"), std::string::npos) << session(good, 1);
    EXPECT_NE(session(badChecksum, 1).find("record 2: checksum"), std::string::npos);
}

TEST(DspBootLoader, PlacesDataAtTheAddressesOfExtendedAddressRecords)
{
    SimDevice device({}, {});
    feed(device, eraseCommand());
    feed(device, record("020000021000EC"));   // segment 0x1000: base 0x10000
    feed(device, record("03001000010203E7")); // 3 bytes at offset 0x0010
    feed(device, record("02002000AABB79"));   // 2 bytes at 0x0020, a gap before them
    feed(device, record("0100110022CC"));     // writes over the byte at 0x0011
    feed(device, record("00000001FF"));
    const auto v = device.verdict();
    ASSERT_TRUE(v.passed());
    EXPECT_EQ(v.dspDataStart, 0x10010u);
    Bytes wanted(0x12, 0xFF);
    wanted[0] = 0x01, wanted[1] = 0x22, wanted[2] = 0x03, wanted[0x10] = 0xAA, wanted[0x11] = 0xBB;
    EXPECT_EQ(v.dspData, wanted);
}

TEST(DspBootLoader, MatchesTheExpectedFileRecordForRecordWhateverItsLineEnds)
{
    const std::string hex = hexText(randomBytes(64, 3));
    std::string lfOnly = hex;
    for (std::size_t at; (at = lfOnly.find('\r')) != std::string::npos;)
        lfOnly.erase(at, 1);
    Expectation expected;
    expected.file = textBytes(lfOnly);
    expected.name = "sample.hex";
    SimDevice device({}, expected);
    feed(device, eraseCommand());
    for (const auto &r : recordsOf(hex))
        feed(device, r);
    const auto v = device.verdict();
    ASSERT_TRUE(v.matchesExpected.has_value());
    EXPECT_TRUE(*v.matchesExpected) << v.expectedDescription;
    EXPECT_TRUE(v.passed());
}

// Failures: each is a deviation, and the unit is not acknowledged.

TEST(DspBootLoader, ReportsARecordWithAWrongChecksumAndDoesNotAcknowledgeIt)
{
    SimDevice device({}, {});
    feed(device, eraseCommand());
    const Fed fed = feed(device, record("0300000001020300")); // checksum should be 0xF7
    EXPECT_TRUE(fed.replies.empty());
    const auto v = device.verdict();
    EXPECT_FALSE(v.passed());
    ASSERT_EQ(v.deviations.size(), 1u);
    EXPECT_EQ(v.deviations[0], "unit 2 (record 1): checksum 0x00, expected 0xF7");
}

TEST(DspBootLoader, ReportsACorruptedEraseCommandByteAndStaysUnerased)
{
    SimDevice device({}, {});
    Bytes erase = eraseCommand();
    erase[3] = 'A';
    EXPECT_TRUE(feed(device, erase).replies.empty());
    const auto v = device.verdict();
    EXPECT_TRUE(contains(v.deviations, "unit 1 (erase command): byte 3 is 0x41, expected 0x61"));
    EXPECT_FALSE(v.complete);
}

TEST(DspBootLoader, ReportsAnUnknownRecordTypeAndAnEndRecordThatCarriesData)
{
    SimDevice device({}, {});
    feed(device, eraseCommand());
    EXPECT_TRUE(feed(device, record("0100000701F7")).replies.empty());
    EXPECT_TRUE(feed(device, record("01000001AA54")).replies.empty());
    const auto v = device.verdict();
    EXPECT_TRUE(contains(v.deviations, "unit 2 (record 1): record type 0x07 is not"));
    EXPECT_TRUE(contains(v.deviations, "unit 3 (record 2): record type 0x01 with 1 data bytes"));
}

TEST(DspBootLoader, ReportsBytesBeforeTheFirstUnitOnceWithTheirCount)
{
    SimDevice device({}, {});
    Bytes stream = {0x00, 0x55, 0x55};
    const Bytes erase = eraseCommand();
    stream.insert(stream.end(), erase.begin(), erase.end());
    EXPECT_EQ(feed(device, stream).replies, Bytes{kCc});
    const auto v = device.verdict();
    ASSERT_EQ(v.deviations.size(), 1u);
    EXPECT_EQ(v.deviations[0], "3 unexpected bytes before the first unit (first 0x00)");
}

TEST(DspBootLoader, AJobWithoutTheEndOfFileRecordIsIncompleteAndFails)
{
    SimDevice device({}, {});
    feed(device, eraseCommand());
    feed(device, record("03000000010203F7"));
    feed(device, record("03")); // the job stops inside the next record
    const auto v = device.verdict();
    EXPECT_FALSE(v.complete);
    EXPECT_FALSE(v.passed());
    EXPECT_TRUE(contains(v.deviations, "stopped inside a unit: 1 bytes"));
}

TEST(DspBootLoader, AMissingRecordMakesTheExpectedFileComparisonFail)
{
    const std::string hex = hexText(randomBytes(48, 4));
    Expectation expected;
    expected.file = textBytes(hex);
    expected.name = "sample.hex";
    SimDevice device({}, expected);
    feed(device, eraseCommand());
    const auto records = recordsOf(hex);
    for (std::size_t i = 0; i < records.size(); ++i)
        if (i != 1)
            feed(device, records[i]);
    const auto v = device.verdict();
    EXPECT_TRUE(v.complete);
    EXPECT_FALSE(v.passed());
    EXPECT_EQ(v.expectedDescription, "differs from sample.hex at record 2");
}
