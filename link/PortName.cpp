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

} // namespace updater
