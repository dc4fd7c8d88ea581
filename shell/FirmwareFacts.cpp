#include "FirmwareFacts.h"

#include "FirmwareCheck.h"
#include "HexFile.h"

#include <QFile>

namespace {

constexpr const char *kTypeNames[] = {"DSP Firmware", "LCD ARM Firmware"};

// The binary record of a line: count, address (2 bytes), type, data, checksum.
constexpr std::size_t kCountByte = 0;
constexpr std::size_t kTypeByte = 3;
constexpr std::uint8_t kDataRecord = 0x00;

void countRecords(FirmwareFacts &facts)
{
    QFile file(facts.path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray text = file.readAll();
    updater::HexRecords records;
    if (!updater::checkIntelHex(reinterpret_cast<const std::uint8_t *>(text.constData()),
                                static_cast<std::size_t>(text.size()), &records)
             .ok())
        return;
    facts.records = static_cast<int>(records.count());
    facts.dataThrough.reserve(records.count());
    for (std::size_t i = 0; i < records.count(); ++i) {
        const std::uint8_t *record = records.data(i);
        if (records.length(i) > kTypeByte && record[kTypeByte] == kDataRecord &&
            record[kCountByte] > 0) {
            ++facts.dataRecords;
            facts.dataBytes += record[kCountByte];
        }
        facts.dataThrough.push_back(facts.dataBytes);
    }
}

} // namespace

QString groupedNumber(std::uint64_t value)
{
    QString digits = QString::number(value);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(' '));
    return digits;
}

QString FirmwareFacts::summary() const
{
    const QString type = QLatin1String(kTypeNames[firmwareType == 0 ? 0 : 1]);
    if (!fault.isEmpty())
        return type + QStringLiteral(" refused: ") + fault;
    const QString crc = QStringLiteral("CRC-32 %1").arg(crc32, 8, 16, QLatin1Char('0')).toUpper();
    if (firmwareType == 0) {
        return QStringLiteral("%1, %2 bytes in %3 records, %4")
            .arg(type, groupedNumber(dataBytes), groupedNumber(std::uint64_t(dataRecords)), crc);
    }
    return QStringLiteral("%1, %2 bytes, %3").arg(type, groupedNumber(fileBytes), crc);
}

FirmwareFacts readFirmwareFacts(int firmwareType, const QString &path)
{
    FirmwareFacts facts;
    facts.path = path;
    facts.firmwareType = firmwareType == 0 ? 0 : 1;
    const auto kind =
        facts.firmwareType == 0 ? updater::run::FirmwareKind::Dsp : updater::run::FirmwareKind::Arm;
    updater::run::FirmwareSummary checked;
    const std::string fault =
        updater::run::firmwareFault(kind, QFile::encodeName(path).toStdString(), &checked);
    if (!fault.empty()) {
        facts.fault = QString::fromStdString(fault);
        return facts;
    }
    facts.fileBytes = checked.size;
    facts.crc32 = checked.crc32;
    facts.dataBytes = checked.size;
    if (facts.firmwareType == 0) {
        facts.dataBytes = 0;
        countRecords(facts);
    }
    return facts;
}
