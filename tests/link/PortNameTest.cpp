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
