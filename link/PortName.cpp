#include "PortName.h"

#include <QByteArray>

namespace updater {

PortNaming hostPortNaming()
{
#ifdef Q_OS_WIN
    return PortNaming::Windows;
#else
    return PortNaming::Posix;
#endif
}

QString comPortDeviceName(unsigned portNumber, PortNaming naming)
{
    if (portNumber == 0)
        return {};
    const QString number = QString::number(portNumber);
    if (naming == PortNaming::Windows) {
        // From COM10 on, Windows opens the port only through the device namespace.
        return portNumber <= 9 ? QStringLiteral("COM") + number
                               : QStringLiteral("\\\\.\\COM") + number;
    }
    const QByteArray variable = "UPDATER_COM" + number.toLatin1();
    const QString chosen = qEnvironmentVariable(variable.constData());
    if (!chosen.isEmpty())
        return chosen;
    return QStringLiteral("/dev/ttyS") + QString::number(portNumber - 1);
}

QString comPortDeviceName(unsigned portNumber)
{
    return comPortDeviceName(portNumber, hostPortNaming());
}

std::string comDeviceNote(unsigned comNumber, PortNaming naming)
{
    const std::string com = "COM" + std::to_string(comNumber);
    const std::string device = comPortDeviceName(comNumber, naming).toStdString();
    // Windows opens COM10 and up as \\.\COM10: the same port.
    if (device.empty() || device == com || device == "\\\\.\\" + com)
        return {};
    return " (" + device + ")";
}

std::string comDeviceNote(unsigned comNumber)
{
    return comDeviceNote(comNumber, hostPortNaming());
}

std::string linkLabel(const LinkTarget &target, PortNaming naming)
{
    if (target.tcp)
        return target.tcpAddress + ":" + std::to_string(target.tcpPort);
    if (target.comNumber == 0)
        return target.serialPath.empty() ? std::string("no serial port") : target.serialPath;
    return "COM" + std::to_string(target.comNumber) + comDeviceNote(target.comNumber, naming);
}

std::string linkLabel(const LinkTarget &target)
{
    return linkLabel(target, hostPortNaming());
}

} // namespace updater
