#pragma once

#include "DeviceLink.h"

#include <QString>

#include <string>

namespace updater {

enum class PortNaming
{
    Windows, // "COM1".."COM9", "\\.\COM10" and up
    Posix,   // $UPDATER_COM<n> when set, otherwise /dev/ttyS<n-1>
};

// The naming rules of the platform the program was built for.
PortNaming hostPortNaming();

// Device name of COM port portNumber (1 to 99 in the Set Port dialog) under the
// given rules. Empty for port 0, which names no port.
QString comPortDeviceName(unsigned portNumber, PortNaming naming);
QString comPortDeviceName(unsigned portNumber);

// " (/dev/ttyUSB0)": the device that COM port comNumber opens, as a message adds
// it after the COM name; "" where that device is the COM port itself (COM3, and
// \\.\COM10 on Windows).
std::string comDeviceNote(unsigned comNumber, PortNaming naming);
std::string comDeviceNote(unsigned comNumber);

// A link as a technician reads it in a message: "COM3 (/dev/ttyUSB0)" (the COM
// name and the device it opens), "COM3" where the device is the COM port itself,
// "/dev/ttyUSB0", "10.0.0.7:8899".
std::string linkLabel(const LinkTarget &target, PortNaming naming);
std::string linkLabel(const LinkTarget &target);

} // namespace updater
