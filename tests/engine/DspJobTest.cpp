// DSP jobs driven through the engine's public operations, in counted ticks.
#include "EngineRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <thread>

using namespace enginetest;

namespace {

const Bytes kErase = {0xFA, 0x66, 0x6C, 0x61, 0x73, 0x68, 0x62, 0x96};
constexpr std::uint8_t kCC = 0xCC;
const std::string kTimeOut = "time out\xEF\xBC\x81";

// The records a HEX text spells, decoded independently of the engine.
std::vector<Bytes> decodeHex(const std::string &text)
{
    std::vector<Bytes> records;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        Bytes record;
        for (std::size_t i = colon + 1; i + 1 < line.size() && line[i] != '\r'; i += 2)
            record.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
        records.push_back(record);
    }
    return records;
}

std::string makeHexWithObjcopy(const TempDir &dir, std::size_t size, unsigned seed)
{
    const std::string bin = dir.write("image.bin", randomBytes(size, seed));
    const std::string hex = dir.path("image.hex").string();
    const std::string cmd = std::string(OBJCOPY_PATH) +
                            " -I binary -O ihex --change-addresses 0x2FF00 " + bin + " " + hex;
    if (std::system(cmd.c_str()) != 0)
        return {};
    return hex;
}

// A record line for count data bytes of value fill at address, with its checksum.
std::string hexLine(std::uint8_t count, std::uint16_t address, std::uint8_t type,
                    std::uint8_t fill = 0x55)
{
    Bytes r = {count, static_cast<std::uint8_t>(address >> 8),
               static_cast<std::uint8_t>(address & 0xFF), type};
    for (int i = 0; i < count; ++i)
        r.push_back(fill);
    std::uint8_t sum = 0;
    for (auto b : r)
        sum = static_cast<std::uint8_t>(sum + b);
    r.push_back(static_cast<std::uint8_t>(0x100 - sum));
    static const char digits[] = "0123456789ABCDEF";
    std::string s = ":";
    for (auto b : r) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// n data records of 16 bytes and the end-of-file record, CR LF line ends.
std::string sixteenByteRecords(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += hexLine(16, static_cast<std::uint16_t>(i * 16), 0x00) + "\r\n";
    return text + ":00000001FF\r\n";
}

} // namespace

TEST(DspJob, ObjcopyFileGoesOutRecordForRecordAndEndsInSuccess)
{
#ifdef _WIN32
    GTEST_SKIP() << "objcopy is a Linux program, which a Windows test cannot run";
#endif
    TempDir dir;
    const std::string hex = makeHexWithObjcopy(dir, 3000, 7);
    ASSERT_FALSE(hex.empty()) << "objcopy failed";
    const Bytes text = readFile(hex);
    const auto records = decodeHex(std::string(text.begin(), text.end()));
    ASSERT_GT(records.size(), 100u);
    bool extended = false;
    for (const auto &r : records)
        extended = extended || r[3] == 0x02 || r[3] == 0x04;
    ASSERT_TRUE(extended) << "the file should carry extended-address records";

    Rig rig;
    rig.useDevice();
    rig.startJob(0, hex);
    rig.runUntilIdle();

    ASSERT_EQ(rig.host.sent.size(), records.size() + 1);
    EXPECT_EQ(rig.host.sent[0].bytes, kErase);
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(rig.host.sent[i + 1].bytes, records[i]) << "record " << i;
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{"Download file success!"});
    EXPECT_EQ(rig.host.line(1003), "Erase Done.");
    EXPECT_EQ(rig.host.line(1004), "Programing Done.");
    EXPECT_FALSE(rig.host.progressVisible);
    EXPECT_TRUE(rig.job.idle());
    EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Success);
    EXPECT_EQ(rig.host.idleEvents, (std::vector<bool>{false, true}));
}

TEST(DspJob, LfLineEndsAndLowerCaseDigitsGiveTheSameRecordsAsCrLf)
{
    TempDir dir;
    const std::string crlf = hexLine(3, 0x1234, 0, 0xAB) + "\r\n" + ":00000001FF\r\n";
    std::string lf = crlf;
    for (std::size_t p; (p = lf.find('\r')) != std::string::npos;)
        lf.erase(p, 1);
    std::string cr = crlf;
    for (std::size_t p; (p = cr.find('\n')) != std::string::npos;)
        cr.erase(p, 1);
    std::string lower = "junk before the colon " + crlf;
    for (auto &c : lower)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');

    std::vector<std::vector<Bytes>> results;
    for (const auto &text : {crlf, lf, cr, lower}) {
        Rig rig;
        rig.useDevice();
        rig.startJob(0, dir.write("f.hex", text));
        rig.runUntilIdle();
        EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Success) << text;
        std::vector<Bytes> units;
        for (const auto &s : rig.host.sent)
            units.push_back(s.bytes);
        results.push_back(units);
    }
    const std::vector<Bytes> expected = {
        kErase, {0x03, 0x12, 0x34, 0x00, 0xAB, 0xAB, 0xAB, 0xB6}, {0x00, 0x00, 0x00, 0x01, 0xFF}};
    for (const auto &r : results)
        EXPECT_EQ(r, expected);
}

TEST(DspJob, EndRecordWithoutLineEndIsStillSent)
{
    TempDir dir;
    Rig rig;
    rig.useDevice();
    rig.startJob(0, dir.write("f.hex", ":00000001FF"));
    rig.runUntilIdle();
    ASSERT_EQ(rig.host.sent.size(), 2u);
    EXPECT_EQ(rig.host.sent[1].bytes, (Bytes{0x00, 0x00, 0x00, 0x01, 0xFF}));
    EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Success);
}

TEST(DspJob, AfterConstructionTheFileLoadsOnTick5AndTheEraseGoesOutOnTick6)
{
    TempDir dir;
    Rig rig;
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(2)));
    for (int t = 1; t <= 4; ++t) {
        rig.tick();
        EXPECT_EQ(rig.state(), 0) << "tick " << t;
    }
    rig.tick();
    EXPECT_EQ(rig.state(), 1);
    EXPECT_TRUE(rig.host.sent.empty());
    rig.tick();
    EXPECT_EQ(rig.state(), 2);
    ASSERT_EQ(rig.host.sent.size(), 1u);
    EXPECT_EQ(rig.host.sent[0].bytes, kErase);
    EXPECT_EQ(rig.host.sent[0].tick, 6);
    EXPECT_EQ(rig.host.line(1003), "Erase...");
}

TEST(DspJob, AfterADspSuccessTheNextJobLoadsOnTick1AndErasesOnTick2)
{
    TempDir dir;
    const std::string file = dir.write("f.hex", sixteenByteRecords(2));
    Rig rig;
    rig.useDevice();
    rig.startJob(0, file);
    rig.runUntilIdle();
    ASSERT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Success);

    rig.responder = nullptr;
    rig.host.sent.clear();
    rig.host.tick = 0;
    rig.job.downLoad(true);
    rig.tick();
    EXPECT_EQ(rig.state(), 1);
    rig.tick();
    EXPECT_EQ(rig.state(), 2);
    ASSERT_EQ(rig.host.sent.size(), 1u);
    EXPECT_EQ(rig.host.sent[0].tick, 2);
}

TEST(DspJob, ByteInState0LoadsAtOnceAndByteInState1SendsTheEraseAtOnce)
{
    TempDir dir;
    Rig rig;
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(1)));
    rig.deliver({0x00});
    EXPECT_EQ(rig.state(), 1);
    EXPECT_TRUE(rig.host.sent.empty());
    rig.deliver({0x42});
    EXPECT_EQ(rig.state(), 2);
    ASSERT_EQ(rig.host.sent.size(), 1u);
    EXPECT_EQ(rig.host.sent[0].bytes, kErase);
    // The tick's own two calls then find nothing to do.
    for (int t = 0; t < 10; ++t)
        rig.tick();
    EXPECT_EQ(rig.host.sent.size(), 1u);
    EXPECT_EQ(rig.state(), 2);
}

TEST(DspJob, TwoAcknowledgementsInARowSendTwoRecords)
{
    TempDir dir;
    Rig rig;
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(4)));
    rig.deliver({0x00, 0x00}); // load, erase
    rig.deliver({kCC});        // erase acknowledged: record 1
    ASSERT_EQ(rig.host.sent.size(), 2u);
    rig.deliver({kCC, kCC}); // records 2 and 3 without waiting
    ASSERT_EQ(rig.host.sent.size(), 4u);
    EXPECT_EQ(rig.host.sent[3].bytes[2], 0x20); // address low byte of the third record
    rig.deliver({0x13, 0x37});                  // other bytes change nothing
    EXPECT_EQ(rig.host.sent.size(), 4u);
}

TEST(DspJob, ProgressMovesAfterEraseAndAfterRecords50And100)
{
    TempDir dir;
    const std::string text = sixteenByteRecords(120);
    ASSERT_EQ(text.size(), 5413u); // 120 lines of 45 characters and the end line
    Rig rig;
    rig.useDevice();
    rig.startJob(0, dir.write("f.hex", text));
    rig.runUntilIdle();
    ASSERT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Success);
    // The erase counts as 2048 of the file's 5413 bytes (37.8 %); each 16-byte
    // record as 46, so 50 records are 2300 (42.5 %) and 100 are 4600 (84.98 %).
    EXPECT_EQ(rig.host.progress, (std::vector<std::uint32_t>{37, 42, 84}));
    EXPECT_EQ(rig.host.progressRecordCounts[1], 51); // erase + 50 records
    EXPECT_EQ(rig.host.progressRecordCounts[2], 101);
}

TEST(DspJob, RecordsSinceProgressCarryOverToTheNextJob)
{
    TempDir dir;
    const std::string file = dir.write("f.hex", sixteenByteRecords(29)); // 30 records
    Rig rig;
    rig.useDevice();
    rig.startJob(0, file);
    rig.runUntilIdle();
    EXPECT_EQ(rig.job.dspCounters().linesSinceProgress, 30);
    rig.host.progress.clear();
    rig.host.progressRecordCounts.clear();
    rig.host.sent.clear();
    rig.job.downLoad(true);
    rig.runUntilIdle();
    ASSERT_EQ(rig.host.progress.size(), 2u); // erase, then after this job's 20th record
    EXPECT_EQ(rig.host.progressRecordCounts[1], 21);
}

TEST(DspJobEnding, EraseWithoutAcknowledgementTimesOutAfter20050CountedMs)
{
    TempDir dir;
    Rig rig;
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(3)));
    for (int t = 0; t < 6; ++t)
        rig.tick(); // erase on tick 6
    ASSERT_EQ(rig.state(), 2);
    for (int t = 0; t < 400; ++t)
        rig.tick(); // elapsed 20000: still waiting
    EXPECT_EQ(rig.state(), 2);
    EXPECT_TRUE(rig.host.messages.empty());
    rig.tick(); // 20050
    EXPECT_EQ(rig.state(), -1);
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{kTimeOut});
    EXPECT_EQ(rig.host.line(1003), "Erase failed");
    EXPECT_TRUE(rig.host.progressVisible); // left at its last position
    const auto f = rig.job.fields();
    EXPECT_TRUE(f.idle);
    EXPECT_EQ(f.timeoutMs, 5000);
    EXPECT_EQ(f.sendIntervalMs, 200);
    EXPECT_EQ(f.elapsedMs, 0);
    EXPECT_FALSE(f.fileOpen);
    const updater::JobEnd end = rig.job.lastEnd();
    EXPECT_EQ(end.outcome, updater::JobOutcome::TimedOut);
    EXPECT_EQ(end.state, 2);
    EXPECT_EQ(end.step, updater::JobStep::Erasing);
    EXPECT_EQ(rig.host.messageKinds, std::vector{updater::MessageKind::TimeOut});
}

TEST(DspJobEnding, UnansweredRecordTimesOutAfter5050WithProgramFailed)
{
    TempDir dir;
    Rig rig;
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(3)));
    rig.deliver({0, 0, kCC}); // load, erase, acknowledge: first record out
    ASSERT_EQ(rig.host.sent.size(), 2u);
    for (int t = 0; t < 100; ++t)
        rig.tick(); // 5000
    EXPECT_EQ(rig.state(), 3);
    rig.tick(); // 5050
    EXPECT_EQ(rig.state(), -1);
    EXPECT_EQ(rig.host.line(1004), "Program failed");
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{kTimeOut});
    EXPECT_EQ(rig.job.lastEnd().step, updater::JobStep::Programming);
}

TEST(DspJobEnding, LastRecordUnansweredTimesOutWithProgramFailed)
{
    TempDir dir;
    Rig rig;
    rig.startJob(0, dir.write("f.hex", ":00000001FF\r\n"));
    rig.deliver({0, 0, kCC});
    ASSERT_EQ(rig.state(), 6);
    for (int t = 0; t < 101; ++t)
        rig.tick();
    EXPECT_EQ(rig.host.line(1004), "Program failed");
    EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::TimedOut);
}

TEST(DspJobEnding, TimeOutLeavesTheJobReadyForAnImmediateRestart)
{
    TempDir dir;
    Rig rig;
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(2)));
    rig.runUntilIdle();
    ASSERT_EQ(rig.job.lastOutcome(), updater::JobOutcome::TimedOut);
    rig.useDevice();
    rig.host.sent.clear();
    rig.host.tick = 0;
    rig.job.downLoad(true);
    rig.runUntilIdle();
    EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::Success);
    ASSERT_FALSE(rig.host.sent.empty());
    EXPECT_EQ(rig.host.sent[0].tick, 6); // sendIntervalMs is back at 200
}

TEST(DspJobEnding, SuccessEnablesTheCommandsOnlyWhenTheBoxIsClosed)
{
    TempDir dir;
    Rig rig;
    rig.useDevice();
    bool idleWhileBoxOpen = true;
    bool visibleWhileBoxOpen = false;
    rig.host.onMessage = [&](const std::string &) {
        const auto f = rig.job.fields();
        idleWhileBoxOpen = f.idle;
        visibleWhileBoxOpen = rig.host.progressVisible;
        EXPECT_EQ(f.jobState, -1);
    };
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(1)));
    rig.runUntilIdle();
    EXPECT_FALSE(idleWhileBoxOpen);
    EXPECT_TRUE(visibleWhileBoxOpen);
    EXPECT_TRUE(rig.job.idle());
    EXPECT_FALSE(rig.host.progressVisible);
}

TEST(DownLoadCommand, WithoutALinkAsksForThePortEvenWithoutAFile)
{
    Rig rig;
    rig.job.downLoad(false);
    EXPECT_EQ(rig.host.messages,
              std::vector<std::string>{"Please set COM Port or IP Address first!"});
    EXPECT_FALSE(rig.host.progressVisible);
    EXPECT_EQ(rig.state(), -1);
    EXPECT_TRUE(rig.job.idle());
    for (int t = 0; t < 10; ++t)
        rig.tick();
    EXPECT_TRUE(rig.host.sent.empty());
}

TEST(DownLoadCommand, WithALinkButNoFileAsksForTheFile)
{
    Rig rig;
    rig.job.downLoad(true);
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{"Please open file first!"});
    EXPECT_EQ(rig.state(), -1);
    EXPECT_TRUE(rig.host.texts.empty());
    EXPECT_TRUE(rig.host.idleEvents.empty());
}

TEST(DownLoadCommand, StartsInState0WithBarShownAndLinesBlanked)
{
    TempDir dir;
    Rig rig;
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(1)));
    EXPECT_EQ(rig.state(), 0);
    EXPECT_TRUE(rig.host.progressVisible);
    EXPECT_FALSE(rig.job.idle());
    const std::vector<std::pair<int, std::string>> blanked = {{1004, ""}, {1003, ""}};
    EXPECT_EQ(rig.host.texts, blanked);
    rig.job.downLoad(true); // disabled while a job runs
    EXPECT_TRUE(rig.host.messages.empty());
}

TEST(DownLoadCommand, ByteWithNoJobChangesNothing)
{
    Rig rig;
    const auto before = rig.job.fields();
    rig.deliver({0xCC, 0x06, 0x31});
    const auto after = rig.job.fields();
    EXPECT_EQ(after.jobState, before.jobState);
    EXPECT_EQ(after.readyToSend, before.readyToSend);
    EXPECT_TRUE(rig.host.sent.empty());
    EXPECT_TRUE(rig.host.texts.empty());
}

// A DSP job whose erase command went out and was not answered.
static void startUnansweredErase(Rig &rig, TempDir &dir)
{
    rig.startJob(0, dir.write("f.hex", sixteenByteRecords(3)));
    for (int t = 0; t < 6; ++t)
        rig.tick();
}

TEST(DspJobEnding, ReplyWhileTheTimeOutBoxIsOpenIsHandledFromAnotherThread)
{
    TempDir dir;
    Rig rig;
    startUnansweredErase(rig, dir);
    int stateAfterLateReply = -2;
    rig.host.onMessage = [&](const std::string &) {
        // The box is open on the supervisor's side; the receiving thread must not
        // find the job lock held.
        std::thread receiver([&] { rig.job.receiveByte(0xCC); });
        receiver.join();
        stateAfterLateReply = rig.job.jobState();
    };
    for (int t = 0; t < 401; ++t)
        rig.tick();
    EXPECT_EQ(stateAfterLateReply, 3);   // the late 0xCC was handled...
    EXPECT_EQ(rig.host.sent.size(), 2u); // ...and sent the first record
    EXPECT_EQ(rig.state(), -1);          // the reset ends the job regardless
    EXPECT_TRUE(rig.job.idle());
    EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::TimedOut);
}

TEST(DspJobEnding, TicksWhileTheTimeOutBoxIsOpenShowNoSecondBox)
{
    TempDir dir;
    Rig rig;
    startUnansweredErase(rig, dir);
    rig.host.onMessage = [&](const std::string &) {
        if (rig.host.messages.size() > 1)
            return; // a second box: the test has failed already
        std::thread supervisor([&] {
            for (int t = 0; t < 3; ++t)
                rig.job.jobTick(); // the wait has run out on each of them too
        });
        supervisor.join();
    };
    for (int t = 0; t < 401; ++t)
        rig.tick();
    EXPECT_EQ(rig.host.messages, std::vector<std::string>{kTimeOut});
    EXPECT_EQ(std::count(rig.host.texts.begin(), rig.host.texts.end(),
                         std::pair<int, std::string>(1003, "Erase failed")),
              1);
    EXPECT_EQ(rig.state(), -1);
    EXPECT_EQ(rig.job.lastEnd().state, 2);
}
