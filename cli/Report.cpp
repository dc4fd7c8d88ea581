#include "Report.h"

#include "RunWords.h"
#include "Texts.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace updater::cli {

namespace {

QString text(const std::string &s)
{
    return QString::fromStdString(s);
}

// "2024-05-01T12:00:03.250Z"
QString isoTime(std::chrono::system_clock::time_point time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(ms.count(), Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonObject deviceJson(const RunReport::Device &d)
{
    const run::DeviceResult &x = d.result;
    const bool failed = x.outcome != run::DeviceOutcome::Success && x.failedFirmware;
    return {
        {"name", text(d.device->name)},
        {"link", text(d.device->linkText)},
        {"outcome", run::outcomeName(x.outcome)},
        {"firmware",
         failed ? QJsonValue(run::kindInfo(*x.failedFirmware).reportKey) : QJsonValue()},
        {"failedStep", failed ? QJsonValue(run::stepKey(x.end.step)) : QJsonValue()},
        {"jobState", failed ? QJsonValue(x.end.state) : QJsonValue()},
        {"deviceHolds", text(x.deviceHolds)},
        {"unitsSent", x.unitsSent},
        {"bytesSent", static_cast<qint64>(x.bytesSent)},
        {"durationMs", static_cast<qint64>(x.duration.count())},
        {"attempts", x.attempts},
        {"message", text(x.message)},
    };
}

} // namespace

std::string reportJson(const RunReport &r)
{
    QJsonArray firmware;
    for (const run::FirmwareSummary &f : r.firmware)
        firmware.append(QJsonObject{
            {"kind", run::kindInfo(f.kind).reportKey},
            {"path", text(f.path)},
            {"size", static_cast<qint64>(f.size)},
            {"crc32", QStringLiteral("%1").arg(f.crc32, 8, 16, QLatin1Char('0'))},
        });
    QJsonArray devices;
    for (const RunReport::Device &d : r.devices)
        devices.append(deviceJson(d));
    const QJsonObject run{
        {"start", isoTime(r.start)},
        {"end", r.ended ? QJsonValue(isoTime(r.end)) : QJsonValue()},
        {"versions", QJsonObject{{"updater", texts::kAppTitle}, {"qt", qVersion()}}},
        {"firmware", firmware},
        {"jobs", static_cast<int>(r.jobs)},
        {"retries", static_cast<int>(r.retries)},
        {"interruptedBy", r.signal == 0 ? QJsonValue() : QJsonValue(r.signal)},
        {"exitStatus", r.ended ? QJsonValue(r.exitStatus) : QJsonValue()},
        {"devices", devices},
    };
    return QJsonDocument(run).toJson(QJsonDocument::Indented).toStdString();
}

bool ReportWriter::write(const run::FleetRun &run, std::optional<int> status)
{
    RunReport report = head_;
    report.end = std::chrono::system_clock::now();
    report.ended = status.has_value();
    report.exitStatus = status.value_or(0);
    report.signal = run.signal();
    for (const auto &r : run.runs())
        report.devices.push_back({&r->device(), r->result()});
    // Written whole and renamed into place: a crash or a power cut leaves the
    // report of the run so far, never half of one.
    QSaveFile out(QString::fromStdString(path_));
    const std::string json = reportJson(report);
    if (out.open(QIODevice::WriteOnly) &&
        out.write(json.data(), static_cast<qint64>(json.size())) ==
            static_cast<qint64>(json.size()) &&
        out.commit())
        return true;
    if (!failed_)
        console_.error(path_ + ": cannot write the report: " + out.errorString().toStdString());
    failed_ = true;
    return false;
}

} // namespace updater::cli
