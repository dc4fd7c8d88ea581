#include "MergeReports.h"

#include "ReportFile.h"

#include "FirmwareCheck.h"
#include "RunOutcome.h"
#include "Texts.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cstdio>
#include <map>

namespace updater::cli {

namespace {

// How a device's outcome counts in the sums of a site and of all of them.
enum Group
{
    Succeeded,
    AlreadyWritten,
    Failed,
    NotReached,
    kGroups
};
constexpr std::array<const char *, kGroups> kGroupKeys = {"succeeded", "alreadyWritten", "failed",
                                                          "notReached"};
constexpr std::array<const char *, kGroups> kGroupWords = {"succeeded", "already written", "failed",
                                                           "not reached"};

Group groupOf(const QString &outcome)
{
    if (outcome == QLatin1String("success"))
        return Succeeded;
    if (outcome == QLatin1String("already written"))
        return AlreadyWritten;
    if (outcome == QLatin1String("not started"))
        return NotReached;
    return Failed; // a fault, an interrupted job, or a run left in progress
}

struct Counts
{
    std::array<int, kGroups> of{};
    int devices() const { return of[0] + of[1] + of[2] + of[3]; }
    QJsonObject json() const
    {
        QJsonObject o{{"devices", devices()}};
        for (int g = 0; g < kGroups; ++g)
            o.insert(QLatin1String(kGroupKeys[g]), of[g]);
        return o;
    }
    std::string text() const
    {
        std::string out = std::to_string(devices()) + (devices() == 1 ? " device" : " devices");
        for (int g = 0; g < kGroups; ++g)
            out += std::string(g == 0 ? ": " : ", ") + std::to_string(of[g]) + " " + kGroupWords[g];
        return out;
    }
};

// The report at path as its JSON object; returns the fault, naming the file.
std::string readReport(const std::string &path, QJsonObject &report)
{
    const QString name = QString::fromStdString(path);
    if (QFileInfo info(name); info.exists() && !info.isFile())
        return path + ": not a report file (a folder, FIFO or device)";
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return path + ": cannot read the report: " + file.errorString().toStdString();
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError)
        return path +
               ": not a report of updater-cli --report: " + parse.errorString().toStdString() +
               " at byte " + std::to_string(parse.offset);
    if (!doc.isObject() || !doc.object().value(QLatin1String("devices")).isArray())
        return path + ": not a report of updater-cli --report: no device list";
    report = doc.object();
    const QJsonArray devices = report.value(QLatin1String("devices")).toArray();
    for (qsizetype i = 0; i < devices.size(); ++i) {
        const QJsonObject d = devices[i].toObject();
        const QString deviceName = d.value(QLatin1String("name")).toString();
        if (deviceName.isEmpty())
            return path + ": device " + std::to_string(i + 1) + " has no name";
        if (!d.value(QLatin1String("outcome")).isString())
            return path + ": device \"" + deviceName.toStdString() + "\" has no outcome";
    }
    return {};
}

// "time-out in the DSP firmware's programming; <what it holds>"
std::string failedLine(const QString &site, const QJsonObject &d)
{
    std::string line = site.toStdString() + " " +
                       d.value(QLatin1String("name")).toString().toStdString() + ": " +
                       d.value(QLatin1String("outcome")).toString().toStdString();
    const QString firmware = d.value(QLatin1String("firmware")).toString();
    const QString step = d.value(QLatin1String("failedStep")).toString();
    if (!step.isEmpty())
        line += " at " + (firmware.isEmpty() ? std::string() : firmware.toStdString() + " ") +
                step.toStdString();
    if (const QString holds = d.value(QLatin1String("deviceHolds")).toString(); !holds.isEmpty())
        line += "; " + holds.toStdString();
    return line;
}

} // namespace

MergedReports mergeReports(const std::vector<std::string> &paths,
                           std::chrono::system_clock::time_point now)
{
    MergedReports merged;
    if (paths.empty()) {
        merged.fault = "--merge-reports: no report given";
        return merged;
    }
    std::map<QString, std::string> sitePaths;
    QJsonArray sites, devices;
    Counts total;
    std::string failedLines;
    for (const std::string &path : paths) {
        QJsonObject report;
        if (std::string fault = readReport(path, report); !fault.empty()) {
            merged.fault = std::move(fault);
            return merged;
        }
        const QString site = QFileInfo(QString::fromStdString(path)).absoluteDir().dirName();
        if (const auto [it, added] = sitePaths.emplace(site, path); !added) {
            merged.fault = path + ": site \"" + site.toStdString() +
                           "\" (the report's folder) is " + it->second + " already";
            return merged;
        }
        Counts counts;
        for (const QJsonValue &value : report.value(QLatin1String("devices")).toArray()) {
            QJsonObject d = value.toObject();
            const Group group = groupOf(d.value(QLatin1String("outcome")).toString());
            ++counts.of[group];
            if (group == Failed)
                failedLines += failedLine(site, d) + "\n";
            d.insert(QLatin1String("site"), site);
            devices.append(d);
        }
        for (int g = 0; g < kGroups; ++g)
            total.of[g] += counts.of[g];
        QJsonObject entry{
            {"site", site}, {"report", QString::fromStdString(path)}, {"counts", counts.json()}};
        for (const char *key : {"start", "end", "exitStatus", "interruptedBy", "firmware"})
            entry.insert(QLatin1String(key), report.value(QLatin1String(key)));
        sites.append(entry);
        merged.summary += site.toStdString() + ": " + counts.text() + "\n";
    }
    merged.allWritten = total.of[Failed] == 0 && total.of[NotReached] == 0;
    merged.summary += "all sites: " + total.text() + "\n" + failedLines;
    const QJsonObject all{
        {"merged", isoTime(now)},
        {"versions", QJsonObject{{"updater", texts::kAppTitle}, {"qt", qVersion()}}},
        {"exitStatus", merged.allWritten ? run::kExitSuccess : run::kExitFailed},
        {"total", total.json()},
        {"sites", sites},
        {"devices", devices},
    };
    merged.json = QJsonDocument(all).toJson(QJsonDocument::Indented).toStdString();
    return merged;
}

int runMergeReports(const std::vector<std::string> &paths, const std::string &output)
{
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const std::string &path : paths)
        inputs.emplace_back("report", path);
    std::string fault = run::overwritesInput("--report", output, "merged report", inputs);
    MergedReports merged;
    if (fault.empty()) {
        merged = mergeReports(paths, std::chrono::system_clock::now());
        fault = merged.fault;
    }
    if (fault.empty()) {
        // Written whole and renamed into place, as a run's report is.
        if (const std::string why = writeWhole(output, merged.json); !why.empty())
            fault = output + ": cannot write the merged report: " + why;
    }
    if (!fault.empty()) {
        std::fprintf(stderr, "updater-cli: %s\n", fault.c_str());
        return run::kExitRefused;
    }
    std::fputs(merged.summary.c_str(), stdout);
    return merged.allWritten ? run::kExitSuccess : run::kExitFailed;
}

} // namespace updater::cli
