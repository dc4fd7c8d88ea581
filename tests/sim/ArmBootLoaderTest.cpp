#include "LinePace.h"
#include "SimTestSupport.h"

#include <gtest/gtest.h>

using namespace simtest;
using updater::sim::Expectation;
using updater::sim::Protocol;
using updater::sim::SimDevice;

namespace {

Expectation expectSize(std::uint64_t size)
{
    Expectation e;
    e.size = size;
    return e;
}

} // namespace

TEST(ArmBootLoader, AnswersOneThenNineThenAckForEveryBlockAndRebuildsTheImage)
{
    const Bytes image = randomBytes(2500, 11);
    SimDevice device({}, expectSize(image.size()));
    const auto replies = answers(device, armUnits(image));
    ASSERT_EQ(replies.size(), 8u); // wake-up, '1', header, 3 data blocks, EOT, end block
    EXPECT_EQ(replies[0], Bytes{'1'});
    EXPECT_EQ(replies[1], Bytes{'9'});
    for (std::size_t i = 2; i < replies.size(); ++i)
        EXPECT_EQ(replies[i], Bytes{kAck}) << "unit " << i + 1;
    const auto v = device.verdict();
    EXPECT_EQ(v.protocol, Protocol::Arm);
    EXPECT_TRUE(v.passed()) << v.deviations.size();
    EXPECT_EQ(v.image, image) << "the 0x1A padding is cut at the expected size";
}

TEST(ArmBootLoader, TakesTheTwoPathWhenAskedAndThenWantsTheDigitFour)
{
    updater::sim::Faults faults;
    faults.wakeUpTwo = true;
    SimDevice device(faults, {});
    const auto replies = answers(device, armUnits(randomBytes(10, 12), true));
    EXPECT_EQ(replies[0], Bytes{'2'});
    EXPECT_EQ(replies[1], Bytes{'4'});
    EXPECT_EQ(replies[2], Bytes{'9'});
    const auto v = device.verdict();
    EXPECT_EQ(v.wakeUpReply, '2');
    EXPECT_TRUE(v.passed());
}

TEST(ArmBootLoader, WithoutAKnownSizeKeepsTheWholeLastBlockAndSaysItMayBePadding)
{
    SimDevice device({}, {});
    answers(device, armUnits(Bytes(100, 0x55)));
    const auto v = device.verdict();
    EXPECT_TRUE(v.passed());
    EXPECT_EQ(v.image.size(), 1024u);
    EXPECT_NE(v.imageDescription.find("the last 924 bytes are 0x1A"), std::string::npos);
}

TEST(ArmBootLoader, AcceptsEotAfterAFullLastBlock)
{
    const Bytes image = randomBytes(2048, 13);
    Expectation expected;
    expected.file = image;
    expected.name = "image.bin";
    SimDevice device({}, expected);
    answers(device, armUnits(image));
    const auto v = device.verdict();
    EXPECT_TRUE(v.passed());
    EXPECT_EQ(v.expectedDescription, "matches image.bin (2048 bytes)");
}

TEST(ArmBootLoader, NumbersBlocksModulo256)
{
    const Bytes image = randomBytes(257 * 1024, 14);
    SimDevice device({}, expectSize(image.size()));
    const auto units = armUnits(image);
    EXPECT_EQ(units[3 + 255][1], 0x00) << "block 256";
    EXPECT_EQ(units[3 + 255][2], 0xFF);
    answers(device, units);
    EXPECT_TRUE(device.verdict().passed());
}

// Deviations: each names the unit, and the unit is not acknowledged.

TEST(ArmBootLoader, ReportsAWrongBlockNumberAndDoesNotAcknowledgeTheBlock)
{
    SimDevice device({}, {});
    auto units = armUnits(randomBytes(3000, 15));
    units[4] = dataBlock(3, Bytes(1024, 0x00)); // block 2 numbered 3
    const auto replies = answers(device, std::vector<Bytes>(units.begin(), units.begin() + 5));
    EXPECT_TRUE(replies[4].empty());
    const auto v = device.verdict();
    EXPECT_TRUE(contains(v.deviations, "unit 5 (data block 2): block number 0x03, expected 0x02"));
    EXPECT_FALSE(v.passed());
}

TEST(ArmBootLoader, ReportsABadComplementAndABadTrailer)
{
    SimDevice device({}, {});
    auto units = armUnits(randomBytes(100, 16));
    units[3][2] = 0x00;
    units[3][1028] = 0x00;
    answers(device, std::vector<Bytes>(units.begin(), units.begin() + 4));
    const auto v = device.verdict();
    EXPECT_TRUE(contains(v.deviations, "complement 0x00 does not match block number 0x01"));
    EXPECT_TRUE(contains(v.deviations, "trailer 0x1A 0x00, expected 0x1A 0x10"));
    SimDevice first({}, {});
    units[3] = dataBlock(1, Bytes(100, 0x55));
    units[3][1027] = 0x00;
    answers(first, std::vector<Bytes>(units.begin(), units.begin() + 4));
    EXPECT_TRUE(contains(first.verdict().deviations, "trailer 0x00 0x10, expected 0x1A 0x10"));
}

TEST(ArmBootLoader, ReportsAHeaderBlockThatDoesNotCarryTheFixedNameLengthAndCheckBytes)
{
    SimDevice device({}, {});
    auto units = armUnits(randomBytes(100, 17));
    units[2][15] = '9'; // "925600"
    const auto replies = answers(device, std::vector<Bytes>(units.begin(), units.begin() + 3));
    EXPECT_TRUE(replies[2].empty());
    EXPECT_TRUE(contains(device.verdict().deviations,
                         "unit 3 (header block): offset 15 is 0x39, expected 0x31"));
}

TEST(ArmBootLoader, ReportsAWrongDigitAndPaddingThatIsNotSubstitute)
{
    SimDevice device({}, {});
    EXPECT_EQ(feed(device, wakeUp()).replies, Bytes{'1'});
    EXPECT_TRUE(feed(device, {'4'}).replies.empty());
    EXPECT_TRUE(
        contains(device.verdict().deviations, "unit 2 (digit '1'): received 0x34, expected 0x31"));

    SimDevice padded({}, expectSize(10));
    auto units = armUnits(Bytes(10, 0x77));
    units[3][3 + 10] = 0x00; // where the padding starts
    answers(padded, units);
    EXPECT_TRUE(
        contains(padded.verdict().deviations, "padding at image offset 10 is 0x00, expected 0x1A"));
}

TEST(ArmBootLoader, ReportsAnImageThatDiffersFromTheExpectedFileAtItsOffset)
{
    const Bytes image = randomBytes(1500, 18);
    Bytes sent = image;
    sent[1200] ^= 0xFF;
    Expectation expected;
    expected.file = image;
    expected.name = "image.bin";
    SimDevice device({}, expected);
    answers(device, armUnits(sent));
    const auto v = device.verdict();
    EXPECT_TRUE(v.complete);
    EXPECT_FALSE(v.passed());
    EXPECT_EQ(v.expectedDescription, "differs from image.bin at offset 1200");
}

// However the extra block is filled, even with padding only, the count decides.
TEST(ArmBootLoader, ADataBlockMoreOrLessThanTheExpectedImageHoldsFailsTheJob)
{
    const Bytes image = randomBytes(1500, 20); // 2 data blocks
    const auto extended = [&](const Bytes &tail) {
        Bytes sent = image;
        sent.insert(sent.end(), tail.begin(), tail.end());
        return sent;
    };
    Expectation file;
    file.file = image;
    file.name = "image.bin";
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {extended(Bytes(1024, 0x1A)), "2 data blocks expected, 3 received"},
        {extended(randomBytes(1024, 21)), "2 data blocks expected, 3 received"},
        {Bytes(image.begin(), image.begin() + 1000), "2 data blocks expected, 1 received"},
    };
    for (const auto &[sent, why] : cases) {
        for (const Expectation &expected : {file, expectSize(image.size())}) {
            SimDevice device({}, expected);
            answers(device, armUnits(sent));
            const auto v = device.verdict();
            EXPECT_TRUE(v.complete);
            EXPECT_FALSE(v.passed()) << why;
            EXPECT_NE(v.expectedDescription.find(why), std::string::npos) << v.expectedDescription;
        }
    }
}

TEST(ArmBootLoader, AJobThatStopsBeforeTheEndBlockIsIncomplete)
{
    SimDevice device({}, {});
    auto units = armUnits(randomBytes(100, 19));
    units.pop_back();
    answers(device, units);
    const auto v = device.verdict();
    EXPECT_FALSE(v.complete);
    EXPECT_FALSE(v.passed());
    EXPECT_EQ(v.unitSummary, "wake-up, digit '1', header block, 1 data blocks, EOT");
}

namespace {

using Clock = updater::sim::LinePace::Clock;
using namespace std::chrono_literals;

// The earliest time of each answer to a read made at `at`.
std::vector<Clock::time_point> readAt(SimDevice &device, updater::sim::LinePace &pace,
                                      Clock::time_point at, const Bytes &bytes)
{
    std::vector<Clock::time_point> times;
    for (std::size_t i = 0, used = 0; i < bytes.size(); i += used) {
        const auto step = device.receive(bytes.data() + i, bytes.size() - i, used);
        const auto earliest = pace.took(at, used, step);
        if (!step.reply.empty())
            times.push_back(earliest);
    }
    return times;
}

using Times = std::vector<Clock::time_point>;

} // namespace

// A byte takes 10 bits at 9600 baud: the last byte of a unit of L bytes comes
// (L - 1) x 1041666.7 ns after the first, whatever pieces the reads cut it into.
TEST(LinePace, AnswersNoEarlierThanTheUnitsLastByteCouldHaveCrossedTheLine)
{
    SimDevice device({}, {});
    updater::sim::LinePace pace(9600);
    const auto units = armUnits(randomBytes(3072, 31));
    const Clock::time_point t0{1s};
    EXPECT_EQ(readAt(device, pace, t0, units[0]), Times{t0 + 2083334ns});   // wake-up: 3 bytes
    EXPECT_EQ(readAt(device, pace, t0, units[1]), Times{t0});               // the digit '1'
    EXPECT_EQ(readAt(device, pace, t0, units[2]), Times{t0 + 137500000ns}); // header: 133
    // A data block of 1029 bytes in three reads, dated by the first.
    const Bytes &block = units[3];
    EXPECT_TRUE(readAt(device, pace, t0, Bytes(block.begin(), block.begin() + 1)).empty());
    EXPECT_TRUE(
        readAt(device, pace, t0 + 10ms, Bytes(block.begin() + 1, block.begin() + 500)).empty());
    EXPECT_EQ(readAt(device, pace, t0 + 20ms, Bytes(block.begin() + 500, block.end())),
              Times{t0 + 1070833334ns});
    // A stray byte read earlier does not date the next block; a block whose last
    // bytes came later than the line needs is answered at once.
    EXPECT_TRUE(readAt(device, pace, t0, Bytes{0x55}).empty());
    EXPECT_EQ(readAt(device, pace, t0 + 2s, units[4]), Times{t0 + 2s + 1070833334ns});
    EXPECT_TRUE(
        readAt(device, pace, t0 + 4s, Bytes(units[5].begin(), units[5].begin() + 1)).empty());
    EXPECT_EQ(readAt(device, pace, t0 + 6s, Bytes(units[5].begin() + 1, units[5].end())),
              Times{t0 + 6s});
    // Without a line (--fast-line): as soon as the unit is in.
    SimDevice fast({}, {});
    updater::sim::LinePace none(0);
    EXPECT_TRUE(readAt(fast, none, t0, Bytes{0xFE}).empty());
    EXPECT_EQ(readAt(fast, none, t0 + 5ms, Bytes{0xFD, 0xFC}), Times{t0 + 5ms});
}
