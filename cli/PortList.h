#pragma once

#include <QList>
#include <QString>

#include <optional>
#include <string>

namespace updater::cli {

// A serial port of this machine, as the system describes it.
struct PortInfo
{
    QString device; // the path that opens it: "/dev/ttyUSB0", "\\.\COM3"
    QString name;   // the system's short name: "ttyUSB0", "COM3"
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId; // USB ids, where the port is a USB device
    std::optional<quint16> productId;
};

// The serial ports that the system enumerates.
QList<PortInfo> systemPorts();

// What updater-cli --list-ports prints: one line per port with its device path,
// the COM numbers that open it, and what the system knows of it, then one line
// for each device named by UPDATER_COM<n> that is not among the ports (a
// pseudo-terminal, a symbolic link under /dev/serial, a device that is not
// plugged in). Says so when there is no port at all.
std::string portListing(const QList<PortInfo> &ports);

} // namespace updater::cli
