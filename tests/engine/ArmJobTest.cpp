// ARM jobs driven through the engine's public operations, in counted ticks.
#include "EngineRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

using namespace enginetest;

namespace {

constexpr std::uint8_t kAck = 0x06;
const Bytes kWakeUp = {0xFE, 0xFD, 0xFC};
const std::string kTimeOut = "time out\xEF\xBC\x81";

std::uint16_t crc16Xmodem(const std::uint8_t *data, std::size_t n)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// Starts an ARM job on a file of the given bytes after construction and runs it
// to its end.
struct ArmRun
{
    TempDir dir;
    Rig rig;
    Bytes image;
    std::string path;

    explicit ArmRun(Bytes content, bool twoPath = false) : image(std::move(content))
    {
        path = dir.write("lcd.bin", image);
        rig.useDevice({.wakeUpTwo = twoPath});
        rig.startJob(1, path);
        rig.runUntilIdle();
    }

    std::vector<Sent> dataBlocks() const
    {
        std::vector<Sent> blocks;
        for (const auto &s : rig.host.sent)
            if (s.bytes.size() == 1029)
                blocks.push_back(s);
        return blocks;
    }
};

void expectBlocksCarryTheImage(const ArmRun &run)
{
    const auto blocks = run.dataBlocks();
    const std::size_t expectedBlocks = (run.image.size() + 1023) / 1024;
    ASSERT_EQ(blocks.size(), expectedBlocks);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const Bytes &b = blocks[i].bytes;
        const auto n = static_cast<std::uint8_t>((i + 1) & 0xFF);
        EXPECT_EQ(b[0], 0x02);
        EXPECT_EQ(b[1], n) << "block " << i + 1;
        EXPECT_EQ(b[2], static_cast<std::uint8_t>(0xFF - n)) << "block " << i + 1;
        const std::size_t offset = i * 1024;
        const std::size_t count = std::min<std::size_t>(1024, run.image.size() - offset);
        EXPECT_TRUE(std::equal(b.begin() + 3, b.begin() + 3 + count, run.image.begin() + offset))
            << "block " << i + 1;
        EXPECT_TRUE(std::all_of(b.begin() + 3 + count, b.begin() + 1027,
                                [](std::uint8_t x) { return x == 0x1A; }))
            << "padding of block " << i + 1;
        EXPECT_EQ(b[1027], 0x1A);
        EXPECT_EQ(b[1028], 0x10);
    }
}

} // namespace

TEST(ArmJob, HeaderCheckBytesAreTheCrc16OfItsDataBytes)
{
    const Bytes h = headerBlock();
    EXPECT_EQ(crc16Xmodem(h.data() + 3, 128), 0x99C9);
    const Bytes e = endBlock();
    EXPECT_EQ(crc16Xmodem(e.data() + 3, 128), 0x0000);
}

TEST(ArmJob, OnePathSendsEveryMessageOnItsTick)
{
    ArmRun run(randomBytes(2500, 1));
    const auto &sent = run.rig.host.sent;
    ASSERT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
    ASSERT_EQ(sent.size(), 8u); // wake-up, '1', header, 3 blocks, EOT, end block
    EXPECT_EQ(sent[0].bytes, kWakeUp);
    EXPECT_EQ(sent[1].bytes, Bytes{0x31});
    EXPECT_EQ(sent[2].bytes, headerBlock());
    EXPECT_EQ(sent[6].bytes, Bytes{0x04});
    EXPECT_EQ(sent[7].bytes, endBlock());
    expectBlocksCarryTheImage(run);
    // After construction (sendIntervalMs 200) the file opens on tick 5.
    const std::vector<int> ticks = {6, 8, 10, 12, 13, 14, 15, 17};
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].tick, ticks[i]) << "message " << i;
    EXPECT_EQ(run.rig.host.messages, std::vector<std::string>{"Download file success!"});
    EXPECT_EQ(run.rig.host.line(1003), "Erase Done.");
    EXPECT_EQ(run.rig.host.line(1004), "Programing Done.");
    EXPECT_FALSE(run.rig.host.progressVisible);
    EXPECT_FALSE(run.rig.job.fields().fileOpen);
}

TEST(ArmJob, TwoPathSendsDigitFourThenDigitOne)
{
    ArmRun run(randomBytes(100, 2), true);
    const auto &sent = run.rig.host.sent;
    ASSERT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[0].bytes, kWakeUp);
    EXPECT_EQ(sent[1].bytes, Bytes{0x34});
    EXPECT_EQ(sent[2].bytes, Bytes{0x31});
    EXPECT_EQ(sent[3].bytes, headerBlock());
    const std::vector<int> ticks = {6, 8, 10, 12, 14, 15, 17};
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].tick, ticks[i]) << "message " << i;
    expectBlocksCarryTheImage(run);
}

TEST(ArmJob, StatusTextsFollowThePhases)
{
    ArmRun run(randomBytes(10, 3));
    std::vector<std::pair<int, std::string>> shown;
    for (const auto &t : run.rig.host.texts)
        if (shown.empty() || shown.back() != t)
            shown.push_back(t);
    const std::vector<std::pair<int, std::string>> expected = {{1004, ""},
                                                               {1003, ""},
                                                               {1003, "Connecting..."},
                                                               {1003, "Erase..."},
                                                               {1003, "Erase Done."},
                                                               {1004, "Programing..."},
                                                               {1004, "Programing Done."}};
    EXPECT_EQ(shown, expected);
}

TEST(ArmFileSizes, OneByteFileGoesOutAsOnePaddedBlock)
{
    ArmRun run({0xA5}); // a byte that no text holds
    ASSERT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
    const auto blocks = run.dataBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].bytes[1], 0x01);
    EXPECT_EQ(blocks[0].bytes[2], 0xFE);
    EXPECT_EQ(blocks[0].bytes[3], 0xA5);
    EXPECT_EQ(blocks[0].state, 11); // the short block is the last
    expectBlocksCarryTheImage(run);
}

TEST(ArmFileSizes, WholeMultipleOf1024EndsWithEotAndEndBlockLikeAnyOtherFile)
{
    for (std::size_t size : {1024u, 3072u}) {
        ArmRun run(randomBytes(size, 4));
        EXPECT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success) << size;
        expectBlocksCarryTheImage(run);
        const auto &sent = run.rig.host.sent;
        ASSERT_GE(sent.size(), 2u);
        EXPECT_EQ(sent[sent.size() - 2].bytes, Bytes{0x04});
        EXPECT_EQ(sent.back().bytes, endBlock());
        EXPECT_EQ(run.dataBlocks().back().state, 11);
    }
}

TEST(ArmFileSizes, File1025BytesHasAFullAndAOneByteBlock)
{
    ArmRun run(randomBytes(1025, 5));
    EXPECT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
    ASSERT_EQ(run.dataBlocks().size(), 2u);
    expectBlocksCarryTheImage(run);
}

TEST(ArmFileSizes, File125600BytesIs123BlocksWithA672ByteLastBlock)
{
    ArmRun run(randomBytes(125600, 6));
    EXPECT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
    const auto blocks = run.dataBlocks();
    ASSERT_EQ(blocks.size(), 123u);
    const Bytes &last = blocks.back().bytes;
    EXPECT_EQ(last[1], 123);
    EXPECT_EQ(std::count(last.begin() + 3 + 672, last.begin() + 1027, 0x1A), 352);
    expectBlocksCarryTheImage(run);
    // One block per tick: the job takes exactly the protocol's minimum.
    EXPECT_EQ(run.rig.host.tick, 5 + 1 + 2 + 2 + 2 + 122 + 1 + 2 + 0);
}

TEST(ArmFileSizes, BlockNumbersWrapAfter255)
{
    ArmRun run(randomBytes(300 * 1024 + 17, 7));
    EXPECT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
    const auto blocks = run.dataBlocks();
    ASSERT_EQ(blocks.size(), 301u);
    EXPECT_EQ(blocks[255].bytes[1], 0x00); // block 256
    EXPECT_EQ(blocks[255].bytes[2], 0xFF);
    EXPECT_EQ(blocks[256].bytes[1], 0x01); // block 257
    EXPECT_EQ(blocks[256].bytes[2], 0xFE);
    expectBlocksCarryTheImage(run);
}

TEST(ArmProgress, BarMovesAfterEveryThirdBlock)
{
    ArmRun run(randomBytes(7 * 1024, 8));
    // 3 and 6 of 7 blocks: 42.9 % and 85.7 %, rounded down.
    EXPECT_EQ(run.rig.host.progress, (std::vector<std::uint32_t>{42, 85}));
    EXPECT_EQ(run.rig.job.armCounters().blocksSinceProgress, 1);
}

TEST(ArmProgress, SecondJobNumbersBlocksFromOneWhileProgressCountCarriesOver)
{
    ArmRun run(randomBytes(2 * 1024 + 1, 9)); // 3 blocks
    ASSERT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
    // The end block closes the batch: the numbering starts afresh before any header.
    EXPECT_EQ(run.rig.job.armCounters().blockNumber, 1);
    run.rig.host.sent.clear();
    run.rig.host.progress.clear();
    run.rig.job.setFirmware(1, run.dir.write("two.bin", randomBytes(1024 + 1, 10)));
    EXPECT_EQ(run.rig.job.armCounters().blocksSinceProgress, 0);
    run.rig.job.downLoad(true);
    run.rig.runUntilIdle();
    const auto blocks = run.dataBlocks();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].bytes[1], 1);
    EXPECT_EQ(blocks[1].bytes[1], 2);
    EXPECT_EQ(blocks[1].bytes[2], 0xFD);
    EXPECT_EQ(run.rig.job.armCounters().blockNumber, 1);
    EXPECT_TRUE(run.rig.host.progress.empty()); // only 2 blocks: the count is now 2
    EXPECT_EQ(run.rig.job.armCounters().blocksSinceProgress, 2);
}

TEST(ArmProgress, SecondJobsBarCountsOnlyTheBytesOfItsOwnBlocks)
{
    ArmRun run(randomBytes(3 * 1024, 20)); // 3 blocks: the bar moved once, the count is 0
    ASSERT_EQ(run.rig.host.progress, std::vector<std::uint32_t>{100});
    run.rig.host.progress.clear();
    run.rig.startJob(1, run.dir.write("two.bin", randomBytes(4 * 1024, 21)));
    run.rig.runUntilIdle();
    EXPECT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
    // After its third block: 3072 of 4096 bytes, not 6144 counting the first job's.
    EXPECT_EQ(run.rig.host.progress, std::vector<std::uint32_t>{75});
}

TEST(ArmJobStart, TicksOfOpenAndWakeUpDependOnThePreviousJob)
{
    TempDir dir;
    const std::string arm = dir.write("a.bin", randomBytes(10, 11));
    const std::string dsp = dir.write("d.hex", std::string(":00000001FF\r\n"));
    Rig rig;
    rig.useDevice();
    const auto wakeUpTick = [&](int type, const std::string &path) {
        rig.host.sent.clear();
        rig.host.tick = 0;
        rig.job.setFirmware(type, path);
        rig.job.downLoad(true);
        rig.runUntilIdle();
        EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Success);
        return rig.host.sent.empty() ? -1 : rig.host.sent[0].tick;
    };
    EXPECT_EQ(wakeUpTick(1, arm), 6); // after construction
    EXPECT_EQ(wakeUpTick(1, arm), 3); // after an ARM success
    EXPECT_EQ(wakeUpTick(0, dsp), 3); // DSP erase after an ARM success
    EXPECT_EQ(wakeUpTick(1, arm), 2); // after a DSP success
}

TEST(ArmTimeOut, NoReplyToWakeUpEndsAt5050WithConnectionFailed)
{
    TempDir dir;
    Rig rig;
    rig.startJob(1, dir.write("a.bin", randomBytes(10, 12)));
    for (int t = 0; t < 6 + 100; ++t)
        rig.tick();
    EXPECT_EQ(rig.state(), 2);
    rig.tick();
    EXPECT_EQ(rig.state(), -1);
    EXPECT_EQ(rig.host.line(1003), "Connection failed");
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{kTimeOut});
    EXPECT_FALSE(rig.job.fields().fileOpen);
    EXPECT_EQ(rig.job.lastEnd().state, 2);
    EXPECT_EQ(rig.job.lastEnd().step, updater::JobStep::Connecting);
}

TEST(ArmTimeOut, NoAckToHeaderEndsAt10050WithEraseFailed)
{
    TempDir dir;
    Rig rig;
    rig.useDevice({.silentFrom = 3}); // wake-up, '1', then the header block
    rig.startJob(1, dir.write("a.bin", randomBytes(10, 13)));
    for (int t = 0; t < 10 + 200; ++t)
        rig.tick(); // header on tick 10, then 10000 counted ms
    EXPECT_EQ(rig.state(), 9);
    rig.tick();
    EXPECT_EQ(rig.state(), -1);
    EXPECT_EQ(rig.host.line(1003), "Erase failed");
    EXPECT_EQ(rig.job.lastEnd().step, updater::JobStep::Erasing);
}

TEST(ArmTimeOut, NoAckToDataBlockEndsAt5050WithProgramFailed)
{
    TempDir dir;
    Rig rig;
    rig.useDevice({.silentFrom = 4}); // from the first data block on
    rig.startJob(1, dir.write("a.bin", randomBytes(5000, 14)));
    for (int t = 0; t < 12 + 100; ++t)
        rig.tick(); // block 1 on tick 12
    EXPECT_EQ(rig.state(), 10);
    rig.tick();
    EXPECT_EQ(rig.state(), -1);
    EXPECT_EQ(rig.host.line(1004), "Program failed");
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{kTimeOut});
    EXPECT_EQ(rig.job.lastEnd().state, 10);
    EXPECT_EQ(rig.job.lastEnd().step, updater::JobStep::Programming);
}

TEST(ArmTimeOut, ReplyAfterTheLastTickInsideTheWaitDoesNotSaveTheStep)
{
    TempDir dir;
    Rig rig;
    rig.startJob(1, dir.write("a.bin", randomBytes(10, 15)));
    for (int t = 0; t < 6 + 100; ++t)
        rig.tick(); // elapsed 5000 after the wake-up
    rig.deliver({'1'});
    EXPECT_EQ(rig.state(), 6);
    rig.tick();
    EXPECT_EQ(rig.state(), -1);
    EXPECT_EQ(rig.host.line(1003), "Connection failed");
    EXPECT_EQ(rig.host.sent.size(), 1u);
}

// The wait for '9' after the digit '1' is 1000 counted ms: a tick adds 50 and the
// job gives up only when the count exceeds the wait, on the 21st tick after the '1'.
TEST(ArmTimeOut, WaitForNineAfterDigitOneEndsOnThe21stTickAndANineBeforeItGoesOn)
{
    constexpr int kLastTickInWait = 1000 / 50;
    TempDir dir;
    const std::string path = dir.write("a.bin", randomBytes(10, 22));
    for (const bool nineOnTheLastTick : {false, true}) {
        SCOPED_TRACE(nineOnTheLastTick ? "'9' before the last tick" : "no '9'");
        Rig rig;
        rig.useDevice({.silentFrom = 2}); // answers the wake-up, not the '1'
        rig.startJob(1, path);
        while (rig.host.sent.size() < 2 && rig.host.tick < 20)
            rig.tick();
        ASSERT_EQ(rig.host.sent.back().bytes, Bytes{'1'});
        const int oneSent = rig.host.tick;
        for (int t = 1; t < kLastTickInWait; ++t)
            rig.tick();
        if (nineOnTheLastTick) {
            rig.deliver({'9'});
            rig.tick();
            ASSERT_EQ(rig.host.sent.size(), 3u);
            EXPECT_EQ(rig.host.sent[2].bytes, headerBlock());
            EXPECT_EQ(rig.host.sent[2].tick, oneSent + kLastTickInWait);
            EXPECT_EQ(rig.state(), 9);
            continue;
        }
        rig.tick();
        EXPECT_EQ(rig.state(), 7) << "gave up inside the wait";
        rig.tick();
        EXPECT_EQ(rig.state(), -1) << "still waiting after the wait ran out";
        EXPECT_EQ(rig.host.line(1003), "Connection failed");
        EXPECT_EQ(rig.job.lastEnd().state, 7);
    }
}

TEST(ArmTimeOut, NakAndNoiseAreIgnoredUntilTheWaitRunsOut)
{
    TempDir dir;
    const std::string path = dir.write("a.bin", randomBytes(3000, 16));
    // From the first data block on, NAK or noise instead of ACK.
    for (const updater::sim::Faults faults :
         {updater::sim::Faults{.nakFrom = 4}, updater::sim::Faults{.noiseFrom = 4}}) {
        Rig rig;
        rig.useDevice(faults);
        rig.startJob(1, path);
        rig.runUntilIdle();
        EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::TimedOut);
        EXPECT_EQ(rig.host.line(1004), "Program failed");
        EXPECT_EQ(std::count_if(rig.host.sent.begin(), rig.host.sent.end(),
                                [](const Sent &s) { return s.bytes.size() == 1029; }),
                  1); // nothing resent
    }
}

TEST(ArmAck, DuplicateAckInState10ReleasesTheNextBlock)
{
    TempDir dir;
    Rig rig;
    rig.useDevice({.silentFrom = 4}); // from the first data block on
    rig.startJob(1, dir.write("a.bin", randomBytes(4000, 17)));
    for (int t = 0; t < 12; ++t)
        rig.tick();
    ASSERT_EQ(rig.host.sent.back().bytes.size(), 1029u);
    rig.deliver({0x06, 0x06}); // one ACK for block 1, a duplicate
    rig.tick();                // block 2
    EXPECT_EQ(rig.host.sent.back().bytes[1], 2);
    rig.tick(); // the duplicate was absorbed: block 2 is still unanswered
    EXPECT_EQ(rig.host.sent.back().bytes[1], 2);
    rig.deliver({0x06});
    rig.tick();
    EXPECT_EQ(rig.host.sent.back().bytes[1], 3);
}

// The image is read once, before the wake-up: what is sent is what was checked,
// whatever happens to the file during the job.
TEST(ArmFileFailure, AnImageChangedDuringTheJobStillGoesOutAsItWasRead)
{
    const std::vector<std::pair<const char *, std::function<void(const std::string &)>>> changes = {
        {"shrunk", [](const std::string &path) { std::filesystem::resize_file(path, 1500); }},
        {"rewritten in place",
         [](const std::string &path) {
             std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out)
                 .write(std::string(5000, '\x5A').data(), 5000);
         }},
        {"removed", [](const std::string &path) { std::filesystem::remove(path); }},
    };
    for (const auto &[what, change] : changes) {
        SCOPED_TRACE(what);
        TempDir dir;
        const Bytes image = randomBytes(5000, 18);
        const std::string path = dir.write("a.bin", image);
        Rig rig;
        rig.useDevice();
        rig.startJob(1, path);
        for (int t = 0; t < 12; ++t)
            rig.tick(); // block 1 out
        ASSERT_EQ(rig.host.sent.back().bytes.size(), 1029u);
        change(path);
        rig.runUntilIdle();
        EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Success);
        Bytes sent;
        for (const Sent &s : rig.host.sent)
            if (s.bytes.size() == 1029)
                sent.insert(sent.end(), s.bytes.begin() + 3, s.bytes.begin() + 1027);
        sent.resize(image.size());
        EXPECT_EQ(sent, image);
    }
}

TEST(ArmFileFailure, AbandonClosesTheFileAndResetsTheJob)
{
    TempDir dir;
    Rig rig;
    rig.useDevice();
    rig.startJob(1, dir.write("a.bin", randomBytes(5000, 19)));
    for (int t = 0; t < 12; ++t)
        rig.tick();
    EXPECT_FALSE(rig.job.fields().fileOpen); // read whole before the wake-up
    EXPECT_EQ(rig.job.abandon(), 10);
    const auto f = rig.job.fields();
    EXPECT_FALSE(f.fileOpen);
    EXPECT_TRUE(f.idle);
    EXPECT_EQ(f.jobState, -1);
    EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Abandoned);
    const auto before = rig.host.sent.size();
    for (int t = 0; t < 10; ++t)
        rig.tick();
    EXPECT_EQ(rig.host.sent.size(), before);
    EXPECT_EQ(rig.job.abandon(), -1);
}

// A DSP HEX text chosen as an LCD ARM image would be written into the display
// controller as it stands, and so would any other text: a compiled image holds
// bytes that are no text (its vector table) within its first 4 KiB.
TEST(ArmFileFailure, TextIsRefusedBeforeAnythingIsSent)
{
    const std::string data = ":0300300002337A1E";
    const std::string end = ":00000001FF";
    const std::string hex = data + "\r\n" + data + "\r\n" + end + "\r\n";
    const auto utf16 = [](const std::string &text, bool bigEndian, bool bom) {
        std::string out = bom ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
        for (const char c : text)
            out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
        return out;
    };
    std::string comments;
    for (int i = 0; i < 9; ++i)
        comments += "; built from lcd-main.c, revision " + std::to_string(i) + "\r\n";
    const char *const kHex =
        "the file is an Intel HEX file for DSP Firmware, not an LCD ARM Firmware image";
    const char *const kLog =
        "the file is a support log of an update, not an LCD ARM Firmware image";
    const char *const kText = "the file is a text file, not an LCD ARM Firmware image";
    const char *const kSent = "";
    const std::vector<std::tuple<const char *, std::string, const char *>> cases = {
        {"HEX", hex, kHex},
        {"HEX with LF", data + "\n" + end, kHex},
        {"HEX cut short before its end record", data + "\r\n" + data + "\r\n", kHex},
        {"HEX with blanks at line ends", data + "  \r\n" + data + "\t\r\n" + end + " \r\n", kHex},
        {"HEX with CR line ends", data + "\r" + end + "\r", kHex},
        {"HEX after 9 comment lines", comments + hex, kHex},
        {"HEX in UTF-8 with BOM", "\xEF\xBB\xBF" + hex, kHex},
        {"HEX in UTF-16LE with BOM", utf16(hex, false, true), kHex},
        {"HEX in UTF-16BE with BOM", utf16(hex, true, true), kHex},
        {"HEX in UTF-16LE", utf16(hex, false, false), kHex},
        {"HEX in UTF-16BE", utf16(hex, true, false), kHex},
        {"a support log",
         "       0 ms  start Updater V10.14\n     301 ms  > state 1  FE FD FC  (3 bytes)\n"
         "     301 ms  line 1003: Connecting...\n",
         kLog},
        {"a line that is not quite a record", end + "x", kText},
        {"prose in UTF-8", "Release notes\r\nFirmware f\xC3\xBCr das Display\r\n", kText},
        {"prose in UTF-16", utf16("Release notes\r\n", false, true) + "\xAC\x20", kText},
        {"4 KiB of text, then an image", std::string(4096, 'A') + "\x01\x02", kText},
        {"a HEX line, then an image", data + "\r\n" + std::string(3000, '\0') + "\x02\x01", kSent},
        {"an image with one non-text byte in its first 4 KiB",
         std::string(4095, 'A') + "\x01" + std::string(100, 'A'), kSent},
        {"an image of one NUL", std::string(1, '\0'), kSent},
    };
    for (const auto &[what, text, reason] : cases) {
        SCOPED_TRACE(what);
        ArmRun run(Bytes(text.begin(), text.end()));
        const auto &messages = run.rig.host.messages;
        ASSERT_EQ(messages.size(), 1u);
        if (*reason == '\0') {
            EXPECT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::Success);
            expectBlocksCarryTheImage(run);
            continue;
        }
        EXPECT_TRUE(run.rig.host.sent.empty());
        EXPECT_EQ(run.rig.job.lastOutcome(), updater::JobOutcome::FileRefused);
        EXPECT_EQ(messages[0], "Firmware file refused!\n" + run.path + ": " + reason);
        EXPECT_FALSE(run.rig.job.fields().fileOpen);
    }
}
