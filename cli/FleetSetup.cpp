#include "FleetSetup.h"

#include "FleetFile.h"

#include "FirmwareCheck.h"
#include "SystemFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <tuple>

namespace updater::cli {

namespace {

// A path the run writes (or the fleet file it reads) must be a plain file, or a
// folder for --trace-dir: a FIFO would block the run in open(), a device (the
// serial port itself) would take the text. Returns the fault, or "".
std::string notAPlainFile(const std::string &option, const std::string &path, bool folder)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(systemPath(path), ec);
    if (!fs::exists(status))
        return {};
    const fs::file_type type = status.type();
    const char *what = type == fs::file_type::fifo                   ? "a FIFO (named pipe)"
                       : type == fs::file_type::character            ? "a character device"
                       : type == fs::file_type::block                ? "a block device"
                       : type == fs::file_type::socket               ? "a socket"
                       : type == fs::file_type::directory && !folder ? "a folder"
                       : type != fs::file_type::directory && folder  ? "not a folder"
                                                                     : nullptr;
    if (what == nullptr)
        return {};
    return option + " " + path + ": " + (folder && type != fs::file_type::directory ? "" : "is ") +
           what + (folder ? "" : "; give a file");
}

// The devices that the earlier report lists as not succeeded, each with the
// firmware it still needs: a device that failed in its ARM firmware had its DSP
// firmware written.
std::string keepOnlyFailed(const CliOptions &options, std::vector<run::DeviceEntry> &devices)
{
    const std::string &path = options.onlyFailedPath;
    if (const std::string fault = notAPlainFile("--only-failed", path, false); !fault.empty())
        return fault;
    QFile file(QString::fromStdString(path));
    QJsonParseError parse;
    const QJsonDocument report = file.open(QIODevice::ReadOnly)
                                     ? QJsonDocument::fromJson(file.readAll(), &parse)
                                     : QJsonDocument();
    const QJsonValue listed = report.object().value(QStringLiteral("devices"));
    if (!listed.isArray())
        return path + ": not a report of updater-cli --report";
    std::map<std::string, QJsonObject> failed;
    for (const QJsonValue &d : listed.toArray()) {
        const QJsonObject o = d.toObject();
        if (o.value(QStringLiteral("outcome")).toString() != QStringLiteral("success"))
            failed.emplace(o.value(QStringLiteral("name")).toString().toStdString(), o);
    }
    std::vector<run::DeviceEntry> kept;
    for (run::DeviceEntry &d : devices) {
        const auto found = failed.find(d.name);
        if (found == failed.end())
            continue;
        if (found->second.value(QStringLiteral("firmware")).toString() == QStringLiteral("arm") &&
            !d.armPath.empty())
            d.dspPath.clear();
        kept.push_back(std::move(d));
    }
    devices = std::move(kept);
    if (devices.empty())
        return path + ": no device of " + options.fleetPath + " failed; nothing to run";
    return {};
}

} // namespace

std::string readDevices(const CliOptions &options, std::vector<run::DeviceEntry> &devices)
{
    if (options.fleetPath.empty()) {
        run::DeviceEntry one;
        one.link = linkTarget(options);
        one.linkText = linkText(options);
        one.name = one.linkText;
        one.dspPath = options.dspPath;
        one.armPath = options.armPath;
        devices.push_back(one);
        return {};
    }
    std::string error = notAPlainFile("--fleet", options.fleetPath, false);
    if (error.empty())
        error = readFleetFile(options.fleetPath, options.dspPath, options.armPath, devices);
    if (error.empty() && !options.onlyFailedPath.empty())
        error = keepOnlyFailed(options, devices);
    return error;
}

std::string checkOutputs(const CliOptions &options, const std::vector<run::DeviceEntry> &devices)
{
    for (const auto &[option, path, folder] : {std::tuple{"--report", options.reportPath, false},
                                               {"--trace", options.tracePath, false},
                                               {"--trace-dir", options.traceDir, true}}) {
        if (const std::string fault = notAPlainFile(option, path, folder);
            !path.empty() && !fault.empty())
            return fault;
    }
    // Files this run writes are emptied when opened: never one that it reads.
    std::vector<std::pair<std::string, std::string>> inputs = {{"fleet file", options.fleetPath}};
    for (const run::DeviceEntry &d : devices) {
        inputs.emplace_back("firmware file", d.dspPath);
        inputs.emplace_back("firmware file", d.armPath);
    }
    std::vector<std::array<std::string, 3>> outputs; // option, file, what it is
    if (!options.reportPath.empty())
        outputs.push_back({"--report", options.reportPath, "report"});
    for (const run::DeviceEntry &d : devices) {
        if (const std::string trace = tracePath(options, d); !trace.empty())
            outputs.push_back(
                {options.traceDir.empty() ? "--trace" : "--trace-dir", trace, "trace"});
    }
    for (const auto &[option, output, noun] : outputs) {
        if (std::string clash = run::overwritesInput(option, output, noun, inputs); !clash.empty())
            return clash;
    }
    if (!options.reportPath.empty() && !options.check) {
        const std::unique_ptr<std::FILE, int (*)(std::FILE *)> report(
            openFile(options.reportPath, "a"), &std::fclose);
        if (!report)
            return options.reportPath + ": cannot write the report";
    }
    if (!options.traceDir.empty()) {
        const QString dir = QString::fromStdString(options.traceDir);
        if (!QDir().mkpath(dir) || !QFileInfo(dir).isWritable())
            return options.traceDir + ": cannot write traces in this folder";
    }
    return {};
}

std::string tracePath(const CliOptions &options, const run::DeviceEntry &device)
{
    return options.traceDir.empty()
               ? options.tracePath
               : utf8Path(systemPath(options.traceDir) / systemPath(device.name + ".trace"));
}

} // namespace updater::cli
