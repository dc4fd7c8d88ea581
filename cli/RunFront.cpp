#include "RunFront.h"

#include "CliPresenter.h"
#include "FleetFile.h"
#include "Report.h"

#include "RunOutcome.h"
#include "Signals.h"
#include "Texts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

namespace updater::cli {

namespace {

constexpr int kPollMs = 100;
constexpr int kPollsPerRedraw = 5;

} // namespace

RunFront::RunFront(const CliOptions &options)
    : options_(options), console_(options.fleetPath.empty() && !options.quiet && isTerminal(stderr))
{
    showTable_ = fleet() && !options_.quiet && isTerminal(stdout);
    showProgress_ = !fleet() && !options_.quiet && isTerminal(stderr);
    connect(&poller_, &QTimer::timeout, this, &RunFront::poll);
}

RunFront::~RunFront() = default;

namespace {

// A path the run writes (or the fleet file it reads) must be a plain file, or a
// folder for --trace-dir: a FIFO would block the run in open(), a device (the
// serial port itself) would take the text. Returns the fault, or "".
std::string notAPlainFile(const std::string &option, const std::string &path, bool folder)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
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

} // namespace

std::optional<int> RunFront::prepare()
{
    if (auto refused = readDevices())
        return refused;
    if (auto refused = checkOutputs())
        return refused;
    run::DeviceRun::Settings settings;
    settings.retries = options_.retries;
    settings.restartWaitMs = static_cast<int>(options_.restartWait) * 1000;
    const bool echo = !showTable_ && (!fleet() || !options_.quiet);
    run_ = std::make_unique<run::FleetRun>(
        devices_, settings, options_.jobs, [this, echo](const run::DeviceEntry &d) {
            return std::make_unique<CliPresenter>(
                console_, echo, fleet() ? d.name + " " + d.linkText + " " : std::string());
        });
    for (const auto &r : run_->runs()) {
        if (options_.check) // nothing is written
            continue;
        if (!options_.traceDir.empty()) {
            r->trace().setPath(tracePath(r->device())); // opened when the device starts
            continue;
        }
        if (options_.tracePath.empty())
            continue;
        if (const std::string error = r->trace().open(
                options_.tracePath, [this](const std::string &why) { console_.error(why); });
            !error.empty()) {
            console_.error(error);
            return run::kExitRefused;
        }
        r->note("start", std::string(texts::kAppTitle));
    }
    // Every firmware file once, before any device is contacted.
    const auto refused = run::checkFirmwareFiles(devices_, firmware_);
    // A signal during the checks ends the run before any device is contacted.
    if (const int signal = pendingSignal(); signal != 0) {
        console_.error("interrupted while the firmware files were checked; no device was "
                       "contacted");
        return 128 + signal;
    }
    if (refused) {
        const std::string fault = refused->path + ": " + refused->fault;
        console_.error(std::string(texts::kFileRefused));
        console_.error(fault);
        for (const auto &r : run_->runs()) {
            if (!options_.traceDir.empty() && !options_.check) // one open file at a time
                r->trace().open(tracePath(r->device()));
            r->note("message", std::string(texts::kFileRefused) + "\n" + fault);
            r->note("exit", std::to_string(run::kExitRefused));
            r->trace().close();
        }
        return run::kExitRefused;
    }
    return std::nullopt;
}

std::optional<int> RunFront::readDevices()
{
    if (!fleet()) {
        run::DeviceEntry one;
        one.link = linkTarget(options_);
        one.linkText = linkText(options_);
        one.name = one.linkText;
        one.dspPath = options_.dspPath;
        one.armPath = options_.armPath;
        devices_.push_back(one);
        return std::nullopt;
    }
    std::string error = notAPlainFile("--fleet", options_.fleetPath, false);
    if (error.empty())
        error = readFleetFile(options_.fleetPath, options_.dspPath, options_.armPath, devices_);
    if (error.empty() && !options_.onlyFailedPath.empty())
        error = keepOnlyFailed();
    if (error.empty())
        return std::nullopt;
    console_.error(error);
    return run::kExitRefused;
}

// The devices that the earlier report lists as not succeeded, each with the
// firmware it still needs: a device that failed in its ARM firmware had its DSP
// firmware written.
std::string RunFront::keepOnlyFailed()
{
    const std::string &path = options_.onlyFailedPath;
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
    for (run::DeviceEntry &d : devices_) {
        const auto found = failed.find(d.name);
        if (found == failed.end())
            continue;
        if (found->second.value(QStringLiteral("firmware")).toString() == QStringLiteral("arm") &&
            !d.armPath.empty())
            d.dspPath.clear();
        kept.push_back(std::move(d));
    }
    devices_ = std::move(kept);
    if (devices_.empty())
        return path + ": no device of " + options_.fleetPath + " failed; nothing to run";
    return {};
}

std::optional<int> RunFront::checkOutputs()
{
    const auto refuse = [this](const std::string &why) {
        console_.error(why);
        return run::kExitRefused;
    };
    for (const auto &[option, path, folder] : {std::tuple{"--report", options_.reportPath, false},
                                               {"--trace", options_.tracePath, false},
                                               {"--trace-dir", options_.traceDir, true}}) {
        if (const std::string fault = notAPlainFile(option, path, folder);
            !path.empty() && !fault.empty())
            return refuse(fault);
    }
    // Files this run writes are emptied when opened: never one that it reads.
    std::vector<std::pair<std::string, std::string>> inputs = {{"fleet file", options_.fleetPath}};
    for (const run::DeviceEntry &d : devices_) {
        inputs.emplace_back("firmware file", d.dspPath);
        inputs.emplace_back("firmware file", d.armPath);
    }
    std::vector<std::array<std::string, 3>> outputs; // option, file, what it is
    if (!options_.reportPath.empty())
        outputs.push_back({"--report", options_.reportPath, "report"});
    for (const run::DeviceEntry &d : devices_) {
        if (const std::string trace = tracePath(d); !trace.empty())
            outputs.push_back(
                {options_.traceDir.empty() ? "--trace" : "--trace-dir", trace, "trace"});
    }
    for (const auto &[option, output, noun] : outputs) {
        if (const std::string clash = run::overwritesInput(option, output, noun, inputs);
            !clash.empty())
            return refuse(clash);
    }
    if (!options_.reportPath.empty() && !options_.check &&
        !std::ofstream(options_.reportPath, std::ios::app))
        return refuse(options_.reportPath + ": cannot write the report");
    if (!options_.traceDir.empty()) {
        const QString dir = QString::fromStdString(options_.traceDir);
        if (!QDir().mkpath(dir) || !QFileInfo(dir).isWritable())
            return refuse(options_.traceDir + ": cannot write traces in this folder");
    }
    return std::nullopt;
}

std::string RunFront::tracePath(const run::DeviceEntry &device) const
{
    return options_.traceDir.empty() ? options_.tracePath
                                     : options_.traceDir + "/" + device.name + ".trace";
}

std::optional<int> RunFront::start(std::function<void(int)> finished)
{
    startedAt_ = std::chrono::system_clock::now();
    finished_ = std::move(finished);
    if (auto refused = prepare())
        return refused;
    if (options_.check) {
        for (const auto &r : run_->runs()) {
            const run::DeviceEntry &d = r->device();
            std::string firmware;
            for (const std::string &path : {d.dspPath, d.armPath})
                firmware += path.empty() ? "" : (firmware.empty() ? " " : ", ") + path;
            std::fputs((d.name + " " + d.linkText + ":" + firmware + "\n").c_str(), stdout);
        }
        std::fflush(stdout);
        return run::kExitSuccess; // every file checked; nothing contacted
    }
    whenSignalled(this, [this](int signal) { run_->interrupt(signal); });
    // Only a live table or a progress bar needs a look at the runs.
    if (showTable_ || showProgress_)
        poller_.start(kPollMs);
    if (!options_.reportPath.empty())
        run_->setOnChange([this] { writeReport(std::nullopt); });
    run_->start([this](int status) {
        QMetaObject::invokeMethod(
            this, [this, status] { ended(status); }, Qt::QueuedConnection);
    });
    return std::nullopt;
}

void RunFront::poll()
{
    ++polls_;
    if (showTable_ && polls_ % kPollsPerRedraw == 0)
        drawTable();
    if (!showProgress_)
        return;
    const run::DeviceRow row = run_->runs().front()->row();
    if (row.fileLength > 0)
        console_.drawProgress({row.fileBytesSent, row.fileLength, row.sending});
}

namespace {

std::string failedStep(const run::DeviceResult &r)
{
    if (r.outcome == run::DeviceOutcome::Success || !r.failedFirmware)
        return {};
    return std::string(run::kindInfo(*r.failedFirmware).name) + " " + stepName(r.end.step);
}

} // namespace

namespace {

// Where a device goes in the live table: the failed first (a technician must see
// them however many run), then the running, the waiting, and last the finished
// good ones.
int tableGroup(run::DeviceOutcome o)
{
    switch (o) {
    case run::DeviceOutcome::Running:
        return 1;
    case run::DeviceOutcome::Waiting:
        return 2;
    case run::DeviceOutcome::Success:
        return 3;
    default:
        return 0;
    }
}

std::vector<std::string> tableRow(const run::DeviceRun &r)
{
    const run::DeviceRow row = r.row();
    std::string percent, rate, left;
    if (row.fileLength > 0) {
        percent = std::to_string(std::uint64_t(row.fileBytesSent) * 100 / row.fileLength) + "%";
        const double seconds = std::chrono::duration<double>(row.sending).count();
        if (row.fileBytesSent > 0 && seconds > 0) {
            const double perSecond = row.fileBytesSent / seconds;
            char text[32];
            std::snprintf(text, sizeof text, "%.1f KiB/s", perSecond / 1024);
            rate = text;
            left = minutesSeconds(
                static_cast<long long>((row.fileLength - row.fileBytesSent) / perSecond));
        }
    }
    return {r.device().name, r.device().linkText, row.status, percent, rate, left};
}

} // namespace

void RunFront::drawTable()
{
    std::vector<const run::DeviceRun *> order;
    std::array<int, 4> counts{}; // failed, running, waiting, succeeded
    for (int group = 0; group < 4; ++group) {
        for (const auto &r : run_->runs()) {
            if (tableGroup(r->outcome()) == group) {
                order.push_back(r.get());
                ++counts[group];
            }
        }
    }
    const TerminalSize size = terminalSize();
    std::vector<std::vector<std::string>> rows = {{"name", "link", "step", "%", "rate", "left"}};
    const std::size_t room = static_cast<std::size_t>(std::max(3, size.rows - 4));
    for (const run::DeviceRun *r : order) {
        if (rows.size() >= room)
            break;
        rows.push_back(tableRow(*r));
    }
    // One column short of the edge, so that no line wraps: link and step give way first.
    const std::size_t width = static_cast<std::size_t>(std::max(20, size.columns - 1));
    std::string text = columns(rows, width, {1, 2, 0});
    if (order.size() + 1 > rows.size())
        text += "(" + std::to_string(order.size() + 1 - rows.size()) + " more)\n";
    text += columns(
        {{std::to_string(counts[1]) + " running, " + std::to_string(counts[3]) + " succeeded, " +
          std::to_string(counts[0]) + " failed, " + std::to_string(counts[2]) + " waiting"}},
        width);
    live_.draw(text, size.columns);
}

std::string RunFront::summary() const
{
    std::vector<std::vector<std::string>> rows = {
        {"name", "outcome", "failed step", "duration", "attempts"}};
    int succeeded = 0;
    std::vector<std::string> halfWritten;
    for (const auto &r : run_->runs()) {
        const run::DeviceResult x = r->result();
        rows.push_back({r->device().name, run::outcomeName(x.outcome), failedStep(x),
                        minutesSeconds(x.duration.count() / 1000), std::to_string(x.attempts)});
        succeeded += x.outcome == run::DeviceOutcome::Success ? 1 : 0;
        if (x.mayBeHalfWritten)
            halfWritten.push_back(r->device().name);
    }
    const std::size_t count = run_->runs().size();
    std::string text = columns(rows);
    text += std::to_string(count) + (count == 1 ? " device: " : " devices: ") +
            std::to_string(succeeded) + " succeeded, " + std::to_string(count - succeeded) +
            " failed\n";
    if (!halfWritten.empty()) {
        text += "may be half-written, run the update again:";
        for (const std::string &name : halfWritten)
            text += " " + name;
        text += "\n";
    }
    for (const auto &r : run_->runs()) {
        if (r->outcome() != run::DeviceOutcome::Success)
            text += r->device().name + ": " + r->deviceHolds() + "\n";
    }
    return text;
}

bool RunFront::writeReport(std::optional<int> status)
{
    RunReport report;
    report.start = startedAt_;
    report.end = std::chrono::system_clock::now();
    report.ended = status.has_value();
    report.firmware = firmware_;
    report.jobs = options_.jobs;
    report.retries = options_.retries;
    report.exitStatus = status.value_or(0);
    report.signal = run_->signal();
    for (const auto &r : run_->runs())
        report.devices.push_back({&r->device(), r->result()});
    // Written whole and renamed into place: a crash or a power cut leaves the
    // report of the run so far, never half of one.
    QSaveFile out(QString::fromStdString(options_.reportPath));
    const std::string json = reportJson(report);
    if (out.open(QIODevice::WriteOnly) &&
        out.write(json.data(), static_cast<qint64>(json.size())) ==
            static_cast<qint64>(json.size()) &&
        out.commit())
        return true;
    if (!reportFailed_)
        console_.error(options_.reportPath +
                       ": cannot write the report: " + out.errorString().toStdString());
    reportFailed_ = true;
    return false;
}

void RunFront::ended(int status)
{
    poller_.stop();
    console_.clearProgress();
    if (showTable_)
        drawTable();
    if (fleet()) {
        std::fputs(("\n" + summary()).c_str(), stdout);
        std::fflush(stdout);
    }
    // A report that could not be written fails a run that had succeeded.
    if (!options_.reportPath.empty() && !writeReport(status) && status == run::kExitSuccess)
        status = run::kExitFailed;
    if (finished_)
        finished_(status);
}

int runUpdate(const CliOptions &options, QCoreApplication &app)
{
    RunFront front(options);
    const auto refused = front.start([&app](int status) {
        QMetaObject::invokeMethod(
            &app, [&app, status] { app.exit(status); }, Qt::QueuedConnection);
    });
    if (refused)
        return *refused;
    return app.exec();
}

} // namespace updater::cli
