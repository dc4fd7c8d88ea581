#include "SimTestSupport.h"

#include "SimOptions.h"

#include <gtest/gtest.h>

#include <set>

using namespace simtest;
using updater::sim::Faults;
using updater::sim::SimDevice;

namespace {

std::vector<Bytes> answersTo(const Faults &faults, const std::vector<Bytes> &units)
{
    SimDevice device(faults, {});
    return answers(device, units);
}

} // namespace

TEST(FaultInjection, SilentFromUnitKAnswersNothingFromThatUnitOn)
{
    Faults faults;
    faults.silentFrom = 3;
    const auto answers = answersTo(faults, armUnits(randomBytes(10, 21)));
    EXPECT_EQ(answers[0], Bytes{'1'});
    EXPECT_EQ(answers[1], Bytes{'9'});
    for (std::size_t i = 2; i < answers.size(); ++i)
        EXPECT_TRUE(answers[i].empty()) << "unit " << i + 1;
}

TEST(FaultInjection, NakReplacesTheAcknowledgementOfUnitK)
{
    Faults faults;
    faults.nakFrom = 2;
    SimDevice device(faults, {});
    EXPECT_EQ(feed(device, eraseCommand()).replies, Bytes{kCc});
    EXPECT_EQ(feed(device, record("00000001FF")).replies, Bytes{kNak});
    const auto v = device.verdict();
    ASSERT_EQ(v.faults.size(), 1u);
    EXPECT_EQ(v.faults[0], "NAK (0x15) instead of the answer for 1 unit, from unit 2 "
                           "(record 1) on");
    EXPECT_TRUE(v.deviations.empty()) << "an injected fault is not the host's deviation";
}

TEST(FaultInjection, NoiseIsThreeBytesThatNoStateOfTheHostTakesForAReply)
{
    Faults faults;
    faults.noiseFrom = 1;
    SimDevice device(faults, {});
    Bytes all;
    for (int job = 0; job < 50; ++job) {
        const Bytes noise = feed(device, wakeUp()).replies;
        EXPECT_EQ(noise.size(), 3u);
        all.insert(all.end(), noise.begin(), noise.end());
        device.newJob();
    }
    for (std::uint8_t b : all) {
        EXPECT_NE(b, kCc);
        EXPECT_NE(b, kAck);
        for (char digit : {'1', '2', '4', '9'})
            EXPECT_NE(b, static_cast<std::uint8_t>(digit));
    }
}

// As random bytes on a disturbed line: every value, 0xCC, ACK and the digits too.
TEST(FaultInjection, NoiseAnyDrawsEveryByteValue)
{
    Faults faults;
    faults.noiseFrom = 1;
    faults.noiseBytes = 4096;
    faults.noiseAny = true;
    SimDevice device(faults, {});
    const Bytes noise = feed(device, wakeUp()).replies;
    EXPECT_EQ(std::set<std::uint8_t>(noise.begin(), noise.end()).size(), 256u);
}

// A flood is drawn a piece at a time, never held whole, and is the same bytes.
TEST(FaultInjection, AFloodOfNoiseComesInPiecesThatMakeTheSameBytesAsTheWhole)
{
    Faults faults;
    faults.noiseFrom = 1;
    faults.noiseBytes = 10000;
    SimDevice whole(faults, {}), pieces(faults, {});
    pieces.setNoisePiece(4096);
    const Bytes unit = wakeUp();
    std::size_t used = 0;
    const auto step = pieces.receive(unit.data(), unit.size(), used);
    EXPECT_EQ(step.noiseLeft, 10000u - 4096u);
    Bytes drawn = step.reply;
    const Bytes rest = pieces.noise(step.noiseLeft);
    drawn.insert(drawn.end(), rest.begin(), rest.end());
    EXPECT_EQ(drawn, feed(whole, unit).replies);
    faults.noiseBytes = 100000000;
    SimDevice flood(faults, {});
    flood.setNoisePiece(65536);
    const auto first = flood.receive(unit.data(), unit.size(), used);
    EXPECT_EQ(first.reply.size(), 65536u);
    EXPECT_EQ(first.noiseLeft, 100000000u - 65536u);
}

TEST(FaultInjection, DuplicateSendsEveryAcknowledgementTwiceFromUnitK)
{
    Faults faults;
    faults.duplicateFrom = 2;
    const auto answers = answersTo(faults, armUnits(randomBytes(10, 22)));
    EXPECT_EQ(answers[0], Bytes{'1'});
    EXPECT_EQ(answers[1], (Bytes{'9', '9'}));
    EXPECT_EQ(answers[2], (Bytes{kAck, kAck}));
}

TEST(FaultInjection, ARefusedUnitStaysUnansweredWhateverFaultIsAsked)
{
    Faults faults;
    faults.nakFrom = 1;
    SimDevice device(faults, {});
    Bytes erase = eraseCommand();
    erase[7] = 0x00;
    EXPECT_TRUE(feed(device, erase).replies.empty());
}

TEST(FaultInjection, TheSameRunGivesTheSameNoiseEveryTime)
{
    Faults faults;
    faults.noiseFrom = 2;
    const auto units = armUnits(randomBytes(10, 23));
    EXPECT_EQ(answersTo(faults, units), answersTo(faults, units));
}

TEST(Verdict, PrintsUnitsImageFaultsDeviationsAndTheResultLast)
{
    Faults faults;
    faults.silentFrom = 2;
    SimDevice device(faults, {});
    feed(device, eraseCommand());
    feed(device, record("0300000001020300"));
    const std::string text = updater::sim::formatVerdict(device.verdict());
    EXPECT_NE(text.find("verdict: DSP job, incomplete\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  units: 2 (erase command, 1 records)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  deviation: unit 2 (record 1): checksum"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 13), "result: FAIL\n");
}

TEST(Verdict, Crc32IsTheOneZlibComputes)
{
    const std::string check = "123456789";
    EXPECT_EQ(
        updater::sim::crc32(reinterpret_cast<const std::uint8_t *>(check.data()), check.size()),
        0xCBF43926u);
}
