#include "SimOptions.h"

#include <gtest/gtest.h>

#include <filesystem>

using updater::sim::parseSimOptions;
using updater::sim::SimOptions;

namespace {

std::string parse(std::vector<std::string> args, SimOptions &o)
{
    return parseSimOptions(args, o);
}

} // namespace

TEST(SimOptions, DefaultToTcpOnLoopbackPort8899)
{
    SimOptions o;
    EXPECT_EQ(parse({}, o), "");
    EXPECT_EQ(o.listenAddress, "127.0.0.1");
    EXPECT_EQ(o.listenPort, 8899);
    EXPECT_FALSE(o.pty);
    EXPECT_FALSE(o.repeat);
    EXPECT_FALSE(o.stay);
    EXPECT_EQ(o.restartMs, 300);
    EXPECT_EQ(o.faults.noiseBytes, 3);
    EXPECT_FALSE(o.fastLine) << "a pseudo-terminal answers as a 9600-baud line would";
}

TEST(SimOptions, TakeEveryFaultWithItsUnit)
{
    SimOptions o;
    EXPECT_EQ(
        parse({"--listen",      "127.0.0.1:0", "--silent-from",    "4", "--nak-from", "5",
               "--noise-from",  "6",           "--duplicate-from", "7", "--delay-ms", "30",
               "--delay-from",  "9",           "--drop-after",     "8", "--wake-two", "--repeat",
               "--expect-size", "125600"},
              o),
        "");
    EXPECT_EQ(o.listenPort, 0);
    EXPECT_EQ(o.faults.silentFrom, 4);
    EXPECT_EQ(o.faults.nakFrom, 5);
    EXPECT_EQ(o.faults.noiseFrom, 6);
    EXPECT_EQ(o.faults.duplicateFrom, 7);
    EXPECT_EQ(o.delayMs, 30);
    EXPECT_EQ(o.delayFrom, 9);
    EXPECT_EQ(o.dropAfter, 8);
    EXPECT_TRUE(o.faults.wakeUpTwo);
    EXPECT_TRUE(o.repeat);
    EXPECT_EQ(o.expectSize, 125600u);
    SimOptions restart;
    EXPECT_EQ(parse({"--stay", "--restart-ms", "0", "--noise-bytes", "5000000"}, restart), "");
    EXPECT_TRUE(restart.stay);
    EXPECT_EQ(restart.restartMs, 0);
    EXPECT_EQ(restart.faults.noiseBytes, 5000000);
    SimOptions line;
    EXPECT_EQ(parse({"--pty", "--fast-line", "--noise-from", "3", "--noise-any"}, line), "");
    EXPECT_TRUE(line.fastLine);
    EXPECT_TRUE(line.faults.noiseAny);
    SimOptions fleet;
    EXPECT_EQ(parse({"--devices", "3", "--silent-from", "2@3", "--delay-ms", "0@1"}, fleet), "");
    ASSERT_EQ(fleet.deviceFaults.size(), 2u);
    EXPECT_EQ(fleet.deviceFaults[0].device, 3) << "K@D may name the last device";
    EXPECT_EQ(fleet.deviceFaults[0].value, 2);
}

TEST(SimOptions, RefuseBadValuesWithAReason)
{
    SimOptions o;
    EXPECT_NE(parse({"--silent-from", "0"}, o).find("--silent-from wants a whole number"),
              std::string::npos);
    EXPECT_NE(parse({"--listen", "8899"}, o).find("--listen wants ADDR:PORT"), std::string::npos);
    EXPECT_NE(parse({"--drop-after"}, o).find("needs a value"), std::string::npos);
    EXPECT_NE(parse({"--bogus"}, o).find("unknown option \"--bogus\""), std::string::npos);
    EXPECT_NE(parse({"--pty", "--hang-up"}, o).find("--hang-up goes with --drop-after"),
              std::string::npos);
    EXPECT_NE(parse({"--devices", "3", "--silent-from", "2@4"}, o)
                  .find("names device 4, but --devices serves 3"),
              std::string::npos);
    SimOptions both;
    const std::string error = parse({"--pty", "--listen", "127.0.0.1:1"}, both);
    EXPECT_NE(error.find("exclude"), std::string::npos);
    // The expected file is read and the image written where a file can be.
    const std::string folder = std::filesystem::temp_directory_path().string();
    for (const auto &[args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--expect", folder}, "--expect " + folder + ": a folder"},
             {{"--save", folder}, "--save " + folder + ": a folder"},
             {{"--expect", "/dev/null"}, "--expect /dev/null: not a regular file"},
             {{"--save", "/no-such-folder/image.hex"}, "folder /no-such-folder does not exist"},
             {{"--fast-line"}, "--fast-line goes with --pty"},
             {{"--pty", "--devices", "2"}, "--devices serves TCP: no --pty"},
             {{"--devices", "1", "--pty"}, "--devices serves TCP: no --pty"},
             {{"--pty", "--noise-any"}, "--noise-any goes with --noise-from"}}) {
        SimOptions fresh;
        EXPECT_NE(parse(args, fresh).find(reason), std::string::npos) << reason;
    }
}
