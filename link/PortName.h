#pragma once

#include <QString>

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

} // namespace updater
