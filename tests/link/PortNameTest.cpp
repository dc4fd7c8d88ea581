#include "PortName.h"

#include <gtest/gtest.h>

#include <cstdlib>

using updater::comPortDeviceName;
using updater::PortNaming;

TEST(PortNameOnWindows, PortsUpToNineAreNamedPlainly)
{
    EXPECT_EQ(comPortDeviceName(1, PortNaming::Windows), "COM1");
    EXPECT_EQ(comPortDeviceName(9, PortNaming::Windows), "COM9");
}

TEST(PortNameOnWindows, PortsFromTenOnGoThroughTheDeviceNamespace)
{
    EXPECT_EQ(comPortDeviceName(10, PortNaming::Windows), "\\\\.\\COM10");
    EXPECT_EQ(comPortDeviceName(99, PortNaming::Windows), "\\\\.\\COM99");
}

TEST(PortNameOnPosix, ComNIsTheNMinusFirstStandardSerialDevice)
{
    ::unsetenv("UPDATER_COM1");
    ::unsetenv("UPDATER_COM12");
    EXPECT_EQ(comPortDeviceName(1, PortNaming::Posix), "/dev/ttyS0");
    EXPECT_EQ(comPortDeviceName(12, PortNaming::Posix), "/dev/ttyS11");
}

TEST(PortNameOnPosix, AnEnvironmentVariableNamesTheDeviceOfOnePort)
{
    ::setenv("UPDATER_COM3", "/dev/ttyUSB0", 1);
    EXPECT_EQ(comPortDeviceName(3, PortNaming::Posix), "/dev/ttyUSB0");
    EXPECT_EQ(comPortDeviceName(4, PortNaming::Posix), "/dev/ttyS3");
    ::setenv("UPDATER_COM3", "", 1);
    EXPECT_EQ(comPortDeviceName(3, PortNaming::Posix), "/dev/ttyS2");
    ::unsetenv("UPDATER_COM3");
}

TEST(PortName, PortZeroNamesNoDeviceUnderEitherRules)
{
    EXPECT_TRUE(comPortDeviceName(0, PortNaming::Windows).isEmpty());
    EXPECT_TRUE(comPortDeviceName(0, PortNaming::Posix).isEmpty());
}

TEST(LinkLabel, NamesTheLinkAsTheTechnicianChoseItAndWhatItOpens)
{
    ::setenv("UPDATER_COM3", "/dev/ttyUSB0", 1);
    const auto serial = [](unsigned com, std::string path) {
        updater::LinkTarget target;
        target.tcp = false;
        target.comNumber = com;
        target.serialPath = std::move(path);
        return target;
    };
    updater::LinkTarget tcp;
    tcp.tcpAddress = "10.0.0.7";
    const struct
    {
        updater::LinkTarget target;
        PortNaming naming;
        std::string label;
    } rows[] = {
        {serial(3, ""), PortNaming::Posix, "COM3 (/dev/ttyUSB0)"},
        {serial(4, ""), PortNaming::Posix, "COM4 (/dev/ttyS3)"},
        {serial(0, "/dev/ttyUSB0"), PortNaming::Posix, "/dev/ttyUSB0"},
        {serial(3, ""), PortNaming::Windows, "COM3"},
        {serial(10, ""), PortNaming::Windows, "COM10"},
        {serial(0, "COM3"), PortNaming::Windows, "COM3"},
        {tcp, PortNaming::Posix, "10.0.0.7:8899"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(updater::linkLabel(row.target, row.naming), row.label);
    ::unsetenv("UPDATER_COM3");
}
