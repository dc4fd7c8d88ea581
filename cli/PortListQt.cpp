// The serial ports as QSerialPortInfo finds them (udev and sysfs on Linux).
#include "PortList.h"

#include <QSerialPortInfo>

#include <algorithm>

namespace updater::cli {

QList<PortInfo> systemPorts()
{
    QList<PortInfo> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        PortInfo port{info.systemLocation(),
                      info.portName(),
                      info.description(),
                      info.manufacturer(),
                      info.serialNumber(),
                      {},
                      {}};
        if (info.hasVendorIdentifier())
            port.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            port.productId = info.productIdentifier();
        ports << port;
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo &a, const PortInfo &b) { return a.device < b.device; });
    return ports;
}

} // namespace updater::cli
