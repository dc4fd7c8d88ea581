#include "EarlierReport.h"

#include "ReportFile.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#include <set>
#include <tuple>

namespace updater::cli {

namespace {

QString key(const char *text)
{
    return QString::fromLatin1(text);
}

std::optional<std::uint32_t> crcOf(const QJsonValue &value)
{
    bool ok = false;
    const QString text = value.toString();
    const std::uint32_t crc = text.toUInt(&ok, 16);
    return ok && text.size() == 8 ? std::optional(crc) : std::nullopt;
}

} // namespace

std::string readEarlierReport(const std::string &option, const std::string &path,
                              EarlierReport &report)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return option + " " + path +
               ": cannot read the report: " + file.errorString().toStdString();
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parse);
    const QJsonValue listed = doc.object().value(key("devices"));
    if (!listed.isArray())
        return path + ": not a report of updater-cli --report";
    report.path = path;
    report.entries = listed.toArray();
    for (const QJsonValue &value : report.entries) {
        const QJsonObject o = value.toObject();
        const QString outcome = o.value(key("outcome")).toString();
        report.devices[o.value(key("name")).toString().toStdString()] = {
            o, holdingsOf(o), outcome == key("success") || outcome == key("already written")};
    }
    return {};
}

run::Holdings holdingsOf(const QJsonObject &entry)
{
    run::Holdings holds;
    const QJsonObject given = entry.value(key("holds")).toObject();
    if (given.isEmpty()) {
        if (entry.value(key("firmware")).toString() == key("arm"))
            run::held(holds, run::FirmwareKind::Dsp) =
                run::FirmwareHeld{{}, std::nullopt, run::HeldState::Written, std::nullopt};
        return holds;
    }
    for (const run::FirmwareKindInfo &kind : run::kFirmwareKinds) {
        const QJsonObject h = given.value(key(kind.reportKey)).toObject();
        const auto state = run::heldStateNamed(h.value(key("state")).toString().toStdString());
        if (!state)
            continue;
        run::FirmwareHeld f{h.value(key("path")).toString().toStdString(),
                            crcOf(h.value(key("crc32"))), *state, std::nullopt};
        const QDateTime at =
            QDateTime::fromString(h.value(key("writtenAt")).toString(), Qt::ISODateWithMs);
        if (at.isValid())
            f.writtenAt = std::chrono::system_clock::time_point(
                std::chrono::milliseconds(at.toMSecsSinceEpoch()));
        run::held(holds, kind.kind) = f;
    }
    return holds;
}

QJsonObject holdingsJson(const run::Holdings &holds)
{
    QJsonObject o;
    for (const run::FirmwareKindInfo &kind : run::kFirmwareKinds) {
        const std::optional<run::FirmwareHeld> &h = run::held(holds, kind.kind);
        if (!h)
            continue;
        o.insert(
            key(kind.reportKey),
            QJsonObject{
                {"path", QString::fromStdString(h->path)},
                {"crc32", h->crc32 ? QJsonValue(QString::fromStdString(run::crcText(*h->crc32)))
                                   : QJsonValue()},
                {"state", key(run::heldStateName(h->state))},
                {"writtenAt", h->writtenAt ? QJsonValue(isoTime(*h->writtenAt)) : QJsonValue()},
            });
    }
    return o;
}

std::vector<std::string> startFromEarlier(std::vector<run::DeviceEntry> &devices,
                                          const std::vector<run::FirmwareSummary> &summaries,
                                          bool onlyFailed)
{
    // (kind, file, CRC-32 the report names): said once, however many devices.
    std::set<std::tuple<int, std::string, std::uint32_t>> differs;
    std::vector<std::string> notes;
    for (run::DeviceEntry &d : devices) {
        for (const run::FirmwareKindInfo &kind : run::kFirmwareKinds) {
            std::string &path = kind.kind == run::FirmwareKind::Dsp ? d.dspPath : d.armPath;
            if (path.empty())
                continue;
            const int k = static_cast<int>(kind.kind);
            for (const run::FirmwareSummary &s : summaries) {
                if (s.kind == kind.kind && s.path == path)
                    d.crc32[k] = s.crc32;
            }
            const std::optional<run::FirmwareHeld> &was = run::held(d.earlier, kind.kind);
            if (!was || was->state != run::HeldState::Written)
                continue;
            const bool same = was->crc32 && d.crc32[k] && *was->crc32 == *d.crc32[k];
            if (was->crc32 && !same && differs.emplace(k, path, *was->crc32).second)
                notes.push_back(std::string(kind.name) + " firmware " + path + " (CRC-32 " +
                                run::crcText(d.crc32[k].value_or(0)) +
                                ") is not the file the earlier report names as written (CRC-32 " +
                                run::crcText(*was->crc32) + ")" +
                                (onlyFailed ? ": a device that holds that one keeps it"
                                            : ": devices that hold that one get this one"));
            if (onlyFailed || same)
                path.clear();
        }
    }
    return notes;
}

} // namespace updater::cli
