#include "FleetSetup.h"

#include "EarlierReport.h"
#include "FleetFile.h"

#include "FirmwareCheck.h"
#include "SystemFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTemporaryFile>

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

// Each device starts from what the earlier report says it holds. With
// --only-failed only the devices it lists as not succeeded run, and every one of
// them must be given each firmware it does not hold written.
std::string startFromReport(const CliOptions &options, std::vector<run::DeviceEntry> &devices,
                            EarlierReport &earlier)
{
    const bool onlyFailed = !options.onlyFailedPath.empty();
    const std::string option = onlyFailed ? "--only-failed" : "--skip-written";
    const std::string &path = onlyFailed ? options.onlyFailedPath : options.skipWrittenPath;
    if (const std::string fault = notAPlainFile(option, path, false); !fault.empty())
        return fault;
    if (std::string fault = readEarlierReport(option, path, earlier); !fault.empty())
        return fault;
    std::vector<run::DeviceEntry> kept;
    std::string missing;
    for (run::DeviceEntry &d : devices) {
        const auto found = earlier.devices.find(d.name);
        if (found != earlier.devices.end())
            d.earlier = found->second.holds;
        if (!onlyFailed) {
            kept.push_back(std::move(d));
            continue;
        }
        if (found == earlier.devices.end() || found->second.succeeded)
            continue;
        for (const run::FirmwareKindInfo &kind : run::kFirmwareKinds) {
            const std::optional<run::FirmwareHeld> &h = run::held(d.earlier, kind.kind);
            const bool given =
                !(kind.kind == run::FirmwareKind::Dsp ? d.dspPath : d.armPath).empty();
            // A report from before holdings were kept says only that the DSP
            // firmware was written when the ARM firmware failed.
            const bool needed = h ? h->state != run::HeldState::Written
                                  : kind.kind == run::FirmwareKind::Arm &&
                                        run::held(d.earlier, run::FirmwareKind::Dsp).has_value();
            if (needed && !given)
                missing += "\n" + d.name + " needs the " + kind.name + " firmware (" + path + ": " +
                           run::holdingsText(d.earlier) + "): give --" + kind.reportKey +
                           " FILE or a " + kind.reportKey + " column";
        }
        kept.push_back(std::move(d));
    }
    devices = std::move(kept);
    if (!missing.empty())
        return "a device would be left without the firmware it needs; nothing was contacted:" +
               missing;
    if (devices.empty())
        return path + ": no device of " + options.fleetPath + " failed; nothing to run";
    return {};
}

// A file can be made at path (or an existing one written): tried with a file of
// our own in its folder that goes again at once, so that a folder the system
// refuses (read-only, /proc) is found before the run, and nothing is left.
bool canWriteAt(const std::string &path)
{
    const QFileInfo info(QString::fromStdString(path));
    if (info.exists())
        return info.isFile() && info.isWritable();
    QTemporaryFile probe(info.absolutePath() + QStringLiteral("/.updater-XXXXXX"));
    return probe.open();
}

// The nearest folder of path that exists, and whether a folder can be made in it.
bool canMakeFolderAt(const std::string &path)
{
    QFileInfo info(QString::fromStdString(path));
    while (!info.exists() && !info.absoluteFilePath().isEmpty() &&
           info.absoluteFilePath() != info.absolutePath())
        info = QFileInfo(info.absolutePath());
    if (!info.isDir())
        return false;
    QTemporaryDir probe(info.absoluteFilePath() + QStringLiteral("/.updater-XXXXXX"));
    return probe.isValid();
}

} // namespace

std::string readDevices(const CliOptions &options, std::vector<run::DeviceEntry> &devices,
                        EarlierReport &earlier)
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
    if (error.empty() && (!options.onlyFailedPath.empty() || !options.skipWrittenPath.empty()))
        error = startFromReport(options, devices, earlier);
    return error;
}

std::string checkOutputs(const CliOptions &options, const std::vector<run::DeviceEntry> &devices)
{
    for (const auto &[option, path, folder] : {std::tuple{"--report", options.reportPath, false},
                                               {"--summary", options.summaryPath, false},
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
    if (!options.summaryPath.empty())
        outputs.push_back({"--summary", options.summaryPath, "summary"});
    for (const run::DeviceEntry &d : devices) {
        if (const std::string trace = tracePath(options, d); !trace.empty())
            outputs.push_back(
                {options.traceDir.empty() ? "--trace" : "--trace-dir", trace, "trace"});
    }
    for (const auto &[option, output, noun] : outputs) {
        if (std::string clash = run::overwritesInput(option, output, noun, inputs); !clash.empty())
            return clash;
    }
    // Checked as the run will write them, and nothing made: the report and the
    // summary are first written once the run has started.
    for (const auto &[path, what] : {std::pair{options.reportPath, "the report"},
                                     {options.summaryPath, "the summary"},
                                     {options.tracePath, "the trace file"}}) {
        if (!path.empty() && !canWriteAt(path))
            return path + ": cannot write " + what;
    }
    if (!options.traceDir.empty() && !canMakeFolderAt(options.traceDir))
        return options.traceDir + ": cannot write traces in this folder";
    return {};
}

std::string makeTraceDir(const CliOptions &options)
{
    const QString dir = QString::fromStdString(options.traceDir);
    if (options.traceDir.empty() || (QDir().mkpath(dir) && QFileInfo(dir).isWritable()))
        return {};
    return options.traceDir + ": cannot write traces in this folder";
}

std::string tracePath(const CliOptions &options, const run::DeviceEntry &device)
{
    return options.traceDir.empty()
               ? options.tracePath
               : utf8Path(systemPath(options.traceDir) / systemPath(traceFileName(device.name)));
}

} // namespace updater::cli
