// The serial ports as Windows lists them: every port under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, described where the Ports device class has
// a friendly name, a manufacturer and USB ids for it.
#include "PortList.h"

#include <QMap>
#include <QRegularExpression>

#include <algorithm>

#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

namespace updater::cli {

namespace {

// A registry key closed when it goes out of scope.
class RegistryKey
{
public:
    RegistryKey() = default;
    ~RegistryKey()
    {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;
    HKEY *out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// A string value of the key, or empty.
QString stringValue(HKEY key, const wchar_t *name)
{
    wchar_t data[256] = {};
    DWORD type = 0;
    DWORD size = sizeof data - sizeof(wchar_t); // room for the terminator
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return QString::fromWCharArray(data);
}

QString deviceProperty(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property)
{
    wchar_t data[512] = {};
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, &type,
                                           reinterpret_cast<BYTE *>(data),
                                           sizeof data - sizeof(wchar_t), nullptr) ||
        (type != REG_SZ && type != REG_MULTI_SZ))
        return {};
    return QString::fromWCharArray(data); // the first string of a list
}

std::optional<quint16> usbId(const QString &hardwareId, const QString &field)
{
    const QRegularExpressionMatch match =
        QRegularExpression(field + QStringLiteral("_([0-9A-Fa-f]{4})")).match(hardwareId);
    if (!match.hasMatch())
        return std::nullopt;
    return quint16(match.captured(1).toUShort(nullptr, 16));
}

// What the Ports device class says of each port, by its name ("COM3").
QMap<QString, PortInfo> describedPorts()
{
    QMap<QString, PortInfo> described;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return described;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        RegistryKey key;
        *key.out() = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key.get() == INVALID_HANDLE_VALUE) {
            *key.out() = nullptr;
            continue;
        }
        const QString name = stringValue(key.get(), L"PortName");
        if (name.isEmpty())
            continue;
        PortInfo port;
        port.description = deviceProperty(set, device, SPDRP_FRIENDLYNAME);
        if (port.description.isEmpty())
            port.description = deviceProperty(set, device, SPDRP_DEVICEDESC);
        port.manufacturer = deviceProperty(set, device, SPDRP_MFG);
        const QString hardwareId = deviceProperty(set, device, SPDRP_HARDWAREID);
        port.vendorId = usbId(hardwareId, QStringLiteral("VID"));
        port.productId = usbId(hardwareId, QStringLiteral("PID"));
        described.insert(name, port);
    }
    SetupDiDestroyDeviceInfoList(set);
    return described;
}

// COM2 before COM10.
bool comOrder(const PortInfo &a, const PortInfo &b)
{
    if (a.name.size() != b.name.size())
        return a.name.size() < b.name.size();
    return a.name < b.name;
}

} // namespace

QList<PortInfo> systemPorts()
{
    QList<PortInfo> ports;
    RegistryKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                      key.out()) != ERROR_SUCCESS)
        return ports; // no serial port has ever been there
    const QMap<QString, PortInfo> described = describedPorts();
    for (DWORD i = 0;; ++i) {
        wchar_t valueName[256] = {};
        wchar_t data[64] = {};
        DWORD nameLength = DWORD(std::size(valueName));
        DWORD type = 0;
        DWORD size = sizeof data - sizeof(wchar_t);
        const LONG status = RegEnumValueW(key.get(), i, valueName, &nameLength, nullptr, &type,
                                          reinterpret_cast<BYTE *>(data), &size);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        PortInfo port = described.value(QString::fromWCharArray(data));
        port.name = QString::fromWCharArray(data);
        port.device = QStringLiteral("\\\\.\\") + port.name;
        ports << port;
    }
    std::sort(ports.begin(), ports.end(), comOrder);
    return ports;
}

} // namespace updater::cli
