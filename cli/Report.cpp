#include "Report.h"

#include "ReportFile.h"

#include "RunWords.h"
#include "Texts.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>

namespace updater::cli {

namespace {

QString text(const std::string &s)
{
    return QString::fromStdString(s);
}

QJsonObject deviceJson(const RunReport::Device &d)
{
    const run::DeviceResult &x = d.result;
    const bool failed = !run::succeeded(x.outcome) && x.failedFirmware;
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
        {"holds", holdingsJson(x.holds)},
    };
}

} // namespace

std::string reportJson(const RunReport &r, const QJsonArray &kept)
{
    QJsonArray firmware;
    for (const run::FirmwareSummary &f : r.firmware)
        firmware.append(QJsonObject{
            {"kind", run::kindInfo(f.kind).reportKey},
            {"path", text(f.path)},
            {"size", static_cast<qint64>(f.size)},
            {"crc32", QStringLiteral("%1").arg(f.crc32, 8, 16, QLatin1Char('0'))},
        });
    // The earlier run's devices in their order, each replaced by this run's entry
    // when it ran again; then the devices new to this run.
    std::map<QString, QJsonObject> now;
    for (const RunReport::Device &d : r.devices)
        now.emplace(text(d.device->name), deviceJson(d));
    QJsonArray devices;
    for (const QJsonValue &k : kept) {
        const QString name = k.toObject().value(QStringLiteral("name")).toString();
        const auto found = now.find(name);
        devices.append(found == now.end() ? k : found->second);
        if (found != now.end())
            now.erase(found);
    }
    for (const RunReport::Device &d : r.devices) {
        if (const auto found = now.find(text(d.device->name)); found != now.end())
            devices.append(found->second);
    }
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
    // A crash or a power cut leaves the report of the run so far, never half of one.
    const std::string why = writeWhole(path_, reportJson(report, kept_));
    if (why.empty())
        return true;
    if (!failed_)
        console_.error(path_ + ": cannot write the report: " + why);
    failed_ = true;
    return false;
}

void ReportWriter::keep(const EarlierReport &earlier)
{
    const QFileInfo mine(QString::fromStdString(path_));
    const QFileInfo theirs(QString::fromStdString(earlier.path));
    if (!earlier.path.empty() && mine.exists() &&
        mine.canonicalFilePath() == theirs.canonicalFilePath())
        kept_ = earlier.entries;
}

bool writeSummary(const std::string &path, const RunReport &head, const run::FleetRun &run,
                  int status, Console &console)
{
    std::string text = "Firmware update of " + std::to_string(run.runs().size()) +
                       (run.runs().size() == 1 ? " inverter\n" : " inverters\n");
    text += "start " + isoTime(head.start).toStdString() + ", end " +
            isoTime(std::chrono::system_clock::now()).toStdString() + ", exit status " +
            std::to_string(status) + "\n";
    for (const run::FirmwareSummary &f : head.firmware)
        text += std::string(run::kindInfo(f.kind).name) + " firmware " + f.path + " (" +
                std::to_string(f.size) + " bytes, CRC-32 " + run::crcText(f.crc32) + ")\n";
    std::map<std::string, int> counts;
    std::string failed;
    for (const auto &r : run.runs()) {
        const run::DeviceResult x = r->result();
        ++counts[run::outcomeName(x.outcome)];
        if (run::succeeded(x.outcome))
            continue;
        failed += "  " + r->device().name + " (" + r->device().linkText +
                  "): " + run::outcomeName(x.outcome) + "; holds: " + x.deviceHolds + "; next: " +
                  (x.outcome == run::DeviceOutcome::LinkNotOpened && !x.touched
                       ? "check its link, then run again with --only-failed"
                       : "run again with --only-failed") +
                  "\n";
    }
    std::string line;
    for (const auto &[outcome, count] : counts)
        line += (line.empty() ? "" : ", ") + std::to_string(count) + " " + outcome;
    text += line + "\n";
    if (!failed.empty())
        text += "failed:\n" + failed;
    const std::string why = writeWhole(path, text);
    if (why.empty())
        return true;
    console.error(path + ": cannot write the summary: " + why);
    return false;
}

} // namespace updater::cli
