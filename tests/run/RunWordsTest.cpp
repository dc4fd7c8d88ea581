// The words every front end tells a run in; the one read of a firmware file.
#include "RunWords.h"
#include "FirmwareCheck.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

using namespace std::chrono_literals;

TEST(RunWords, MinutesAndSeconds)
{
    for (const auto &[seconds, text] :
         {std::pair{0LL, "0:00"}, std::pair{5LL, "0:05"}, std::pair{65LL, "1:05"},
          std::pair{760LL, "12:40"}, std::pair{6000LL, "100:00"}, std::pair{-1LL, "-"}})
        EXPECT_EQ(updater::run::minutesSeconds(seconds), text) << seconds;
}

TEST(RunWords, TimeLeftIsTheRestAtTheRateSoFarRoundedToTheNearestSecond)
{
    const struct
    {
        std::uint64_t sent, total;
        std::chrono::milliseconds sending;
        std::optional<long long> left;
    } rows[] = {
        {1000, 4000, 10s, 30},        // 3000 bytes at 100 bytes/s
        {3000, 4000, 1400ms, 0},      // 0.47 s: rounded down
        {3000, 4000, 1500ms, 1},      // 0.5 s: rounded up
        {4000, 4000, 10s, 0},         // all of it sent, the last answer awaited
        {0, 4000, 10s, std::nullopt}, // nothing sent: no rate yet
        {1000, 4000, 0ms, std::nullopt},
        {5000, 4000, 10s, std::nullopt}, // more than the file: no time at all
    };
    for (const auto &row : rows)
        EXPECT_EQ(updater::run::secondsLeft(row.sent, row.total, row.sending), row.left)
            << row.sent << " of " << row.total << " in " << row.sending.count() << " ms";
}

// One read gives the check, the report's size and CRC-32, and the records the
// window counts progress in.
TEST(FirmwareRead, OneReadGivesTheCheckTheSizeTheCrcAndTheRecords)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string hex = dir.filePath(QStringLiteral("fw.hex")).toStdString();
    const std::string image = dir.filePath(QStringLiteral("fw.bin")).toStdString();
    // Two data records (2 and 3 bytes), an extended address record, the end record.
    std::ofstream(hex, std::ios::binary) << ":020000040000FA\r\n"
                                            ":020000001122CB\r\n"
                                            ":0300100033445521\r\n"
                                            ":00000001FF\r\n";
    std::ofstream(image, std::ios::binary).write("\0\1\2\3\4\5\6\7\10", 9); // no text
    using updater::run::FirmwareKind;
    updater::run::FirmwareSummary dsp, arm;
    ASSERT_EQ(updater::run::firmwareFault(FirmwareKind::Dsp, hex, &dsp), "");
    EXPECT_EQ(std::tuple(dsp.size, dsp.records, dsp.dataRecords, dsp.dataBytes),
              std::tuple(66u, 4, 2, 5u));
    EXPECT_EQ(dsp.dataThrough, (std::vector<std::uint64_t>{0, 2, 5, 5}));
    ASSERT_EQ(updater::run::firmwareFault(FirmwareKind::Arm, image, &arm), "");
    // As zlib computes it for the bytes 00 to 08.
    EXPECT_EQ(std::tuple(arm.size, arm.dataBytes, arm.crc32, arm.records),
              std::tuple(9u, 9u, 0xBCE14302u, 0));
}
