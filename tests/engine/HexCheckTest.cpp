// Firmware files that must be refused before anything is sent to the device.
#include "EngineRig.h"
#include "HexFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

using namespace enginetest;

namespace {

const std::string kEnd = ":00000001FF";
const std::string kData = ":0300300002337A1E"; // 3 data bytes, correct checksum

struct BadFile
{
    const char *what;
    std::string text;
    int line;
    const char *reason;
    const char *detail = ""; // also in the description of the fault
    bool hexText = true;     // opens as an Intel HEX text (an image that is not one is sent)
};

const char *const kAddressLength = "an address record (type 02 or 04) whose data is not 2 bytes";
const char *const kStartLength = "a start address record (type 03 or 05) whose data is not 4 bytes";
const char *const kOverlap = "data that overlaps earlier data with different values";
const char *const kHexAsImage =
    "the file is an Intel HEX file for DSP Firmware, not an LCD ARM Firmware image";
const char *const kLongLine = "the line is longer than any Intel HEX record (521 characters)";
const char *const kCrosses = "the record crosses a 64 KiB boundary";
const std::string kCrossing = ":10FFF800000102030405060708090A0B0C0D0E0F81"; // 0xFFF8..0x10007

std::vector<BadFile> badFiles()
{
    return {
        {"checksum", kData + "\r\n:0300300002337A1F\r\n" + kEnd + "\r\n", 2, "checksum mismatch"},
        {"odd digits", kData + "\r\n:0300300002337A1\r\n" + kEnd + "\r\n", 2,
         "odd number of hex digits"},
        {"not a digit", ":03003000G2337A1E\r\n" + kEnd + "\r\n", 1,
         "a character that is not a hex digit"},
        {"blank inside", ":0300300002 337A1E\r\n" + kEnd + "\r\n", 1,
         "a character that is not a hex digit"},
        {"second colon", ":0300300002:337A1E\r\n" + kEnd + "\r\n", 1,
         "a character that is not a hex digit"},
        {"too long", ":40" + std::string(68 * 2, '0') + "\r\n" + kEnd + "\r\n", 1,
         "the line spells more than 68 bytes"},
        {"too short", kData + "\r\n:0000\r\n" + kEnd + "\r\n", 2,
         "the record is shorter than 5 bytes"},
        {"count", ":0400300002337A1D\r\n" + kEnd + "\r\n", 1,
         "the byte count disagrees with the line's length"},
        {"no end", kData + "\r\n" + kData + "\r\n", 0, "no end-of-file record"},
        {"blank line", kData + "\r\n\r\n" + kEnd + "\r\n", 2, "no record on this line"},
        {"text line", kData + "\r\nhello\r\n" + kEnd + "\r\n", 2, "no record on this line"},
        {"early zero length", kData + "\r\n:0000000000\r\n" + kData + "\r\n" + kEnd, 2,
         "a record without data bytes before the end-of-file record"},
        {"lf blank line", kData + "\n\n" + kEnd + "\n", 2, "no record on this line"},
        {"zero bytes", std::string(4096, '\0') + kEnd, 1, kLongLine, "", false},
        // 521 characters may be a record; one more ends the check at once.
        {"521 characters", ":" + std::string(520, '0') + "\r\n" + kEnd, 1,
         "the line spells more than 68 bytes"},
        {"522 characters", kData + "\r\n:" + std::string(521, '0'), 2, kLongLine, "", false},
        {"type 06", ":0100000655A4\r\n" + kEnd, 1, "a record type above 05"},
        {"type 02 with 3 bytes", ":03000002100000EB\r\n" + kEnd, 1, kAddressLength},
        {"type 04 with 1 byte", kData + "\r\n:0100000401FA\r\n" + kEnd, 2, kAddressLength},
        {"type 03 with 2 bytes", kData + "\r\n:020000031234B5\r\n" + kEnd, 2, kStartLength},
        {"type 05 with 5 bytes", ":050000050001020304EC\r\n" + kEnd, 1, kStartLength},
        {"type 01 with data", kData + "\r\n:0100000100FE\r\n" + kEnd, 2,
         "an end-of-file record with data bytes"},
        {"overlap", kData + "\r\n:02003100339901\r\n" + kEnd, 2, kOverlap,
         "(address 0x00000032, first given on line 1)"},
        // The line named is the one that gave the address, not one that ends just before it.
        {"overlap at the first byte of a record right after another",
         kData + "\r\n:010033005577\r\n:010033006666\r\n" + kEnd, 3, kOverlap,
         "(address 0x00000033, first given on line 2)"},
        {"overlap at the last byte of the clashing record",
         kData + "\r\n:0200330055AACC\r\n:03003100337A9986\r\n" + kEnd, 3, kOverlap,
         "(address 0x00000033, first given on line 2)"},
        {"overlap at the last byte of a record right before another",
         ":010033005577\r\n" + kData + "\r\n:02003100339901\r\n" + kEnd, 3, kOverlap,
         "(address 0x00000032, first given on line 2)"},
        {"overlap through a segment address",
         ":020000040001F9\r\n:01001000AA45\r\n:020000021000EC\r\n:01001000BB34\r\n" + kEnd, 4,
         kOverlap, "(address 0x00010010, first given on line 2)"},
        // The device keeps a 16-bit offset within the 64 KiB it was given.
        {"record crossing 64 KiB with no address record",
         kData + "\r\n" + kCrossing + "\r\n" + kEnd, 2, kCrosses},
        {"record crossing 64 KiB after a linear address",
         ":020000040001F9\r\n" + kCrossing + "\r\n" + kEnd, 2, kCrosses},
        {"record crossing 64 KiB after a segment address",
         ":020000021000EC\r\n:0100000011EE\r\n:02FFFF002233AB\r\n" + kEnd, 3, kCrosses},
    };
}

} // namespace

TEST(HexCheck, EachFaultIsFoundOnItsLine)
{
    for (const auto &bad : badFiles()) {
        const auto check = updater::checkIntelHex(
            reinterpret_cast<const std::uint8_t *>(bad.text.data()), bad.text.size());
        EXPECT_FALSE(check.ok()) << bad.what;
        EXPECT_EQ(check.line, bad.line) << bad.what;
        EXPECT_STREQ(updater::hexFaultText(check.fault), bad.reason) << bad.what;
        EXPECT_NE(updater::describe(check).find(bad.detail), std::string::npos)
            << updater::describe(check);
    }
}

TEST(HexCheck, WellFormedVariantsAreAccepted)
{
    const std::vector<std::string> good = {
        kData + "\r\n" + kEnd + "\r\n",
        kData + "\n" + kEnd + "\n",
        kData + "\r" + kEnd,
        "  lead text" + kData + "\r\n" + kEnd + "\r\n",
        ":0300300002337a1e\r\n" + kEnd + "\r\n",
        kEnd + "\r\n\r\nanything after the end is not looked at: zz\r\n",
        ":3F" + std::string(2 * 66, '0') + "C1\r\n" + kEnd,        // 63 data bytes: 68 in all
        ":10FFF000000102030405060708090A0B0C0D0E0F89\r\n" + kEnd,  // up to 0xFFFF
        kData + "\r\n" + kData + "\r\n:02003100337A20\r\n" + kEnd, // same values
        ":020000021000EC\r\n:0400000300001234B3\r\n" + kData + "\r\n" + kEnd,
        // The same offsets in other 64 KiB segments are other addresses.
        ":020000040001F9\r\n:04000005000123458E\r\n" + kData +
            "\r\n:020000040002F8\r\n:0300300011223367\r\n:020000023000CC\r\n:01003000448B\r\n" +
            kEnd,
    };
    for (const auto &text : good) {
        const auto check = updater::checkIntelHex(
            reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
        EXPECT_TRUE(check.ok()) << text << ": " << updater::describe(check);
    }
}

// What toolchains write: linear and segment address records, start address
// records, 16- and 32-byte records, data across 64 KiB boundaries.
TEST(HexCheck, FilesFromObjcopyAndSrecCatInTheirLayoutsAreAccepted)
{
#ifdef _WIN32
    GTEST_SKIP() << "objcopy is a Linux program, which a Windows test cannot run";
#endif
    TempDir dir;
    const std::string image = dir.write("image.bin", randomBytes(70000, 5));
    std::vector<std::string> commands = {std::string(OBJCOPY_PATH) +
                                         " -I binary -O ihex --change-addresses 0x1FFF0 " + image +
                                         " @"};
    const bool srecCat = std::system("command -v srec_cat >/dev/null 2>&1") == 0;
    for (const char *layout :
         {"-offset 0x10000 -o @ -intel",
          "-offset 0x1FFF0 -o @ -intel -address-length=4 -output_block_size=16 "
          "-execution-start-address=0x12345",
          "-offset 0x1FFF0 -o @ -intel -address-length=3 -output_block_size=32 "
          "-execution-start-address=0x12345",
          "-crop 0 30000 -offset 0x100 -o @ -intel -address-length=2 "
          "-execution-start-address=0x1234"}) {
        if (srecCat)
            commands.push_back("srec_cat " + image + " -binary " + layout);
    }
    const std::string hex = dir.path("made.hex").string();
    for (std::string command : commands) {
        command.replace(command.find('@'), 1, hex);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const Bytes text = readFile(hex);
        const auto check = updater::checkIntelHex(text.data(), text.size());
        EXPECT_TRUE(check.ok()) << command << ": " << updater::describe(check);
        EXPECT_EQ(check.records, std::count(text.begin(), text.end(), '\n')) << command;
    }
    if (!srecCat)
        GTEST_SKIP() << "srec_cat is not installed: only objcopy's layout was checked";
}

// As DSP Firmware each is refused naming its line; chosen as an LCD ARM image, a
// HEX text with a damaged line is still a HEX text, refused as one.
TEST(RefusedFile, EachBadHexFileEndsTheJobBeforeAnythingIsSent)
{
    TempDir dir;
    for (const int type : {0, 1})
        for (const auto &bad : badFiles()) {
            if (type == 1 && !bad.hexText)
                continue;
            const std::string path = dir.write("bad.hex", bad.text);
            Rig rig;
            rig.useDevice();
            rig.startJob(type, path);
            rig.runUntilIdle(20);
            EXPECT_TRUE(rig.host.sent.empty()) << bad.what;
            EXPECT_EQ(rig.job.lastOutcome(), updater::JobOutcome::FileRefused) << bad.what;
            ASSERT_EQ(rig.host.messages.size(), 1u) << bad.what << " as type " << type;
            const std::string &message = rig.host.messages[0];
            EXPECT_NE(message.find(path), std::string::npos) << message;
            EXPECT_NE(message.find(type == 0 ? bad.reason : kHexAsImage), std::string::npos)
                << message;
            if (type == 0 && bad.line > 0) {
                EXPECT_NE(message.find("line " + std::to_string(bad.line) + ":"), std::string::npos)
                    << message;
            }
            const auto f = rig.job.fields();
            EXPECT_TRUE(f.idle);
            EXPECT_EQ(f.jobState, -1);
            EXPECT_EQ(f.timeoutMs, 5000);
            EXPECT_EQ(f.sendIntervalMs, 200);
            EXPECT_FALSE(f.fileOpen);
        }
}

TEST(RefusedFile, MissingEmptySpecialAndOversizedFilesAreRefusedForBothFirmwareTypes)
{
    TempDir dir;
    const std::string empty = dir.write("empty.bin", Bytes{});
    std::filesystem::create_directory(dir.path("folder"));
    // Sparse files of zero bytes, larger than any inverter's flash holds: refused by
    // their size before they are read.
    const auto sized = [&](const char *name, std::uintmax_t size) {
        const std::string path = dir.write(name, Bytes{});
        std::filesystem::resize_file(path, size);
        return path;
    };
    const std::string image = sized("big.bin", (16u << 20) + 1);
    const std::string hex = sized("big.hex", (64u << 20) + 1);
    const char *const kImageLimit = "larger than 16 MiB";
    const char *const kHexLimit = "larger than 64 MiB";
    struct Case
    {
        std::string path;
        std::string dspReason;
        std::string armReason;
    };
    const std::vector<Case> cases = {
        {dir.path("missing.hex").string(), "does not exist", "does not exist"},
        {empty, "empty", "empty"},
        {dir.path("folder").string(), "not a regular file", "not a regular file"},
#ifndef _WIN32 // a device file; Windows has none by a path the check can be given
        {"/dev/zero", "not a regular file", "not a regular file"},
#endif
        {image, "line 1: the line is longer than any Intel HEX record", kImageLimit},
        {hex, kHexLimit, kImageLimit},
    };
    for (int type : {0, 1}) {
        for (const auto &[path, dspReason, armReason] : cases) {
            const std::string &reason = type == 0 ? dspReason : armReason;
            Rig rig;
            int stateWhileBoxOpen = -2;
            rig.host.onMessage = [&](const std::string &) { stateWhileBoxOpen = rig.state(); };
            rig.startJob(type, path);
            const int ticks = rig.runUntilIdle(20);
            EXPECT_EQ(ticks, 5) << path;              // refused on the tick that opens the file
            EXPECT_EQ(stateWhileBoxOpen, -1) << path; // no tick can open the file again
            EXPECT_TRUE(rig.host.sent.empty()) << path;
            EXPECT_EQ(rig.host.messageKinds, std::vector{updater::MessageKind::FileRefused});
            EXPECT_EQ(rig.job.lastEnd().outcome, updater::JobOutcome::FileRefused) << path;
            EXPECT_EQ(rig.job.lastEnd().step, updater::JobStep::NotStarted) << path;
            ASSERT_EQ(rig.host.messages.size(), 1u);
            EXPECT_NE(rig.host.messages[0].find(path), std::string::npos);
            EXPECT_NE(rig.host.messages[0].find(reason), std::string::npos) << rig.host.messages[0];
        }
    }
}

TEST(RefusedFile, NoStepRunsWhileTheRefusalBoxIsOpen)
{
    TempDir dir;
    Rig rig;
    const std::string path = dir.write("bad.hex", std::string("nonsense\r\n"));
    int sentWhileOpen = -1;
    rig.host.onMessage = [&](const std::string &) {
        rig.job.receiveByte(0x00); // a byte would have loaded the file again
        rig.job.jobTick();
        sentWhileOpen = static_cast<int>(rig.host.sent.size());
        EXPECT_FALSE(rig.job.idle());
    };
    rig.startJob(0, path);
    rig.runUntilIdle(20);
    EXPECT_EQ(sentWhileOpen, 0);
    EXPECT_EQ(rig.host.messages.size(), 1u);
    EXPECT_TRUE(rig.job.idle());
}
