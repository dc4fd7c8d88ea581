#include "StatusTexts.h"

#include <QFileInfo>

namespace statustext {

QString portNotOpened(unsigned comNumber, const QString &device, updater::PortOpenError error,
                      const QString &errorText)
{
    using updater::PortOpenError;
    const QString com = QStringLiteral("COM%1").arg(comNumber);
    // Where the number names the device itself (COM3 on Windows) it is said once.
    const QString where = device == com ? QString() : QStringLiteral(" (%1)").arg(device);
    QString reason;
    switch (error) {
    case PortOpenError::NoSuchPort:
        reason = QStringLiteral("no such port");
        break;
    case PortOpenError::Busy:
        reason = QStringLiteral("in use by another program");
        break;
    case PortOpenError::PermissionDenied: {
        // The group that may open it: dialout on most systems.
        const QString group = QFileInfo(device).group();
        if (group.isEmpty() || group == QLatin1String("root"))
            return com + QStringLiteral(" could not be opened: permission denied") + where;
        return com + QStringLiteral(" could not be opened: permission denied") + where +
               QStringLiteral("; join the %1 group").arg(group);
    }
    case PortOpenError::NotASerialPort:
        reason = QStringLiteral("not a serial port");
        break;
    default:
        reason = errorText;
        break;
    }
    return com + QStringLiteral(" could not be opened: ") + reason + where;
}

} // namespace statustext
