#include "PortList.h"

#include "PortName.h"

#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <map>

namespace updater::cli {

namespace {

constexpr unsigned kLastComNumber = 99;

// Symbolic links such as /dev/serial/by-id/... name the device they point to.
QString samePath(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

QString environmentName(unsigned number)
{
    return QStringLiteral("UPDATER_COM") + QString::number(number);
}

bool namedByEnvironment(unsigned number)
{
    return hostPortNaming() == PortNaming::Posix &&
           !qEnvironmentVariableIsEmpty(environmentName(number).toLatin1().constData());
}

// "COM3 (UPDATER_COM3)" where the environment names the device, else "COM1".
QString comText(unsigned number)
{
    const QString com = QStringLiteral("COM") + QString::number(number);
    return namedByEnvironment(number) ? com + " (" + environmentName(number) + ")" : com;
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString portLine(const PortInfo &port, const std::vector<unsigned> &coms)
{
    QStringList fields;
    for (const unsigned number : coms)
        fields << comText(number);
    if (!port.description.isEmpty())
        fields << port.description;
    if (!port.manufacturer.isEmpty())
        fields << "manufacturer " + port.manufacturer;
    if (!port.serialNumber.isEmpty())
        fields << "serial number " + port.serialNumber;
    if (port.vendorId && port.productId)
        fields << "USB " + hex4(*port.vendorId) + ":" + hex4(*port.productId);
    return fields.isEmpty() ? port.device : port.device + ": " + fields.join(QStringLiteral("; "));
}

} // namespace

std::string portListing(const QList<PortInfo> &ports)
{
    // Which COM numbers open which device; several may open the same one.
    std::map<QString, std::vector<unsigned>> comsOf;
    for (unsigned number = 1; number <= kLastComNumber; ++number)
        comsOf[samePath(comPortDeviceName(number))].push_back(number);

    QStringList lines;
    std::vector<bool> listed(kLastComNumber + 1, false);
    for (const PortInfo &port : ports) {
        std::vector<unsigned> coms;
        for (const QString &key : {samePath(port.device), port.name}) {
            if (const auto it = comsOf.find(key); it != comsOf.end() && coms.empty())
                coms = it->second;
        }
        for (const unsigned number : coms)
            listed[number] = true;
        lines << portLine(port, coms);
    }
    // Devices named by UPDATER_COM<n> that the system does not count as serial ports.
    for (unsigned number = 1; number <= kLastComNumber; ++number) {
        if (listed[number] || !namedByEnvironment(number))
            continue;
        const QString device = comPortDeviceName(number);
        std::vector<unsigned> coms;
        for (const unsigned other : comsOf[samePath(device)]) {
            if (!listed[other] && namedByEnvironment(other)) {
                coms.push_back(other);
                listed[other] = true;
            }
        }
        QString line = portLine(PortInfo{device, {}, {}, {}, {}, {}, {}}, coms);
        const QFileInfo info(device);
        if (!info.exists())
            line += QStringLiteral("; not present");
        else if (info.isDir() || info.isFile()) // no device: a folder or a plain file
            line += QStringLiteral("; not a serial port");
        lines << line;
    }
    if (lines.isEmpty())
        return "no serial ports found\n";
    return (lines.join('\n') + '\n').toStdString();
}

} // namespace updater::cli
