#include "FirmwareFacts.h"

#include <QFile>

QString groupedNumber(std::uint64_t value)
{
    QString digits = QString::number(value);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(' '));
    return digits;
}

QString FirmwareFacts::summary() const
{
    const QString type = QLatin1String(updater::run::kindInfo(file.kind).label);
    if (!fault.isEmpty())
        return type + QStringLiteral(" refused: ") + fault;
    const QString crc =
        QStringLiteral("CRC-32 %1").arg(file.crc32, 8, 16, QLatin1Char('0')).toUpper();
    if (dsp()) {
        return QStringLiteral("%1, %2 bytes in %3 records, %4")
            .arg(type, groupedNumber(file.dataBytes),
                 groupedNumber(std::uint64_t(file.dataRecords)), crc);
    }
    return QStringLiteral("%1, %2 bytes, %3").arg(type, groupedNumber(file.size), crc);
}

FirmwareFacts readFirmwareFacts(int firmwareType, const QString &path)
{
    FirmwareFacts facts;
    facts.path = path;
    facts.file.kind = updater::run::kindOfType(firmwareType);
    const std::string fault =
        updater::run::firmwareFault(facts.file.kind, path.toStdString(), &facts.file);
    facts.fault = QString::fromStdString(fault);
    return facts;
}
