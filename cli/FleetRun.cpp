#include "FleetRun.h"

#include "ExitStatus.h"
#include "Signals.h"

#include "Texts.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <set>

namespace updater::cli {

namespace {

constexpr int kPollMs = 100;
constexpr int kPollsPerRedraw = 5;

} // namespace

FleetRun::FleetRun(const CliOptions &options)
    : options_(options),
      // With both firmwares for one device, the progress bar of a single run.
      console_(options.fleetPath.empty() && !options.quiet && isTerminal(stderr))
{
    showTable_ = fleet() && !options_.quiet && isTerminal(stdout);
    connect(&poller_, &QTimer::timeout, this, &FleetRun::poll);
    whenSignalled(this, [this](int signal) { end(signal); });
}

FleetRun::~FleetRun()
{
    supervisor_.reset();
}

std::optional<int> FleetRun::prepare()
{
    if (fleet()) {
        if (std::string error =
                readFleetFile(options_.fleetPath, options_.dspPath, options_.armPath, devices_);
            !error.empty()) {
            console_.error(error);
            return kExitRefused;
        }
    } else {
        FleetDevice one;
        one.link = options_;
        one.linkText = options_.link == CliOptions::Link::Tcp
                           ? options_.tcpAddress + ":" + std::to_string(options_.tcpPort)
                           : options_.serialText;
        one.name = one.linkText;
        one.dspPath = options_.dspPath;
        one.armPath = options_.armPath;
        devices_.push_back(one);
    }
    // Every firmware file once, before any device is contacted.
    std::set<std::pair<int, std::string>> checked;
    for (const FleetDevice &d : devices_) {
        for (const auto &[type, path] :
             {std::pair{kDspFirmware, d.dspPath}, {kArmFirmware, d.armPath}}) {
            if (path.empty() || !checked.emplace(type, path).second)
                continue;
            FirmwareSummary summary;
            if (const std::string fault = firmwareFault(type, path, &summary); !fault.empty()) {
                console_.error(std::string(texts::kFileRefused));
                console_.error(path + ": " + fault);
                return kExitRefused;
            }
            firmware_.push_back(summary);
        }
    }
    // Files this run writes are emptied when opened: never one that it reads.
    std::vector<std::pair<std::string, std::string>> inputs = {{"fleet file", options_.fleetPath}};
    for (const FirmwareSummary &f : firmware_)
        inputs.emplace_back("firmware file", f.path);
    std::vector<std::array<std::string, 3>> outputs; // option, file, what it is
    if (!options_.reportPath.empty())
        outputs.push_back({"--report", options_.reportPath, "report"});
    for (const FleetDevice &d : devices_) {
        if (const std::string trace = tracePath(d); !trace.empty())
            outputs.push_back(
                {options_.traceDir.empty() ? "--trace" : "--trace-dir", trace, "trace"});
    }
    for (const auto &[option, output, noun] : outputs) {
        if (const std::string clash = overwritesInput(option, output, noun, inputs);
            !clash.empty()) {
            console_.error(clash);
            return kExitRefused;
        }
    }
    if (!options_.reportPath.empty() && !std::ofstream(options_.reportPath, std::ios::app)) {
        console_.error(options_.reportPath + ": cannot write the report");
        return kExitRefused;
    }
    if (!options_.traceDir.empty() && !QDir().mkpath(QString::fromStdString(options_.traceDir))) {
        console_.error(options_.traceDir + ": cannot make the trace folder");
        return kExitRefused;
    }
    DeviceRun::Settings settings;
    settings.retries = options_.retries;
    settings.echo = !showTable_ && (!fleet() || !options_.quiet);
    settings.prefix = fleet();
    for (const FleetDevice &d : devices_) {
        runs_.push_back(std::make_unique<DeviceRun>(d, settings, console_));
        DeviceRun &run = *runs_.back();
        if (const std::string trace = tracePath(d); !trace.empty()) {
            if (const std::string error = run.openTrace(trace); !error.empty()) {
                console_.error(error);
                return kExitRefused;
            }
        }
        run.setCallbacks([this] { supervisor_->wake(); },
                         [this] {
                             QMetaObject::invokeMethod(
                                 this, [this] { deviceDone(); }, Qt::QueuedConnection);
                         });
    }
    return std::nullopt;
}

std::string FleetRun::tracePath(const FleetDevice &device) const
{
    return options_.traceDir.empty() ? options_.tracePath
                                     : options_.traceDir + "/" + device.name + ".trace";
}

std::optional<int> FleetRun::start()
{
    startedAt_ = std::chrono::system_clock::now();
    if (auto refused = prepare())
        return refused;
    // One thread ticks every job; it sleeps while none runs.
    supervisor_ = std::make_unique<Supervisor>(
        [this] {
            for (const auto &run : runs_)
                run->tick();
        },
        std::chrono::milliseconds(kTickMs),
        [this] {
            return std::any_of(runs_.begin(), runs_.end(),
                               [](const auto &run) { return run->jobRunning(); });
        });
    // Only a live table or a progress bar needs a look at the runs.
    if (showTable_ || (!fleet() && !options_.quiet && isTerminal(stderr)))
        poller_.start(kPollMs);
    launch();
    return std::nullopt;
}

void FleetRun::launch()
{
    while (!ended_ && next_ < runs_.size() && active_ < options_.jobs) {
        ++active_;
        runs_[next_++]->start();
    }
    if (!ended_ && active_ == 0 && next_ == runs_.size())
        end(0);
}

void FleetRun::deviceDone()
{
    if (ended_)
        return;
    active_ = 0;
    for (std::size_t i = 0; i < next_; ++i)
        active_ += runs_[i]->done() ? 0 : 1;
    launch();
}

void FleetRun::poll()
{
    ++polls_;
    if (showTable_ && polls_ % kPollsPerRedraw == 0)
        drawTable();
    if (!fleet()) {
        const DeviceRow row = runs_.front()->row();
        if (row.percent >= 0) {
            Progress p;
            p.fileLength = 100;
            p.fileBytesSent = static_cast<std::uint32_t>(row.percent);
            console_.drawProgress(p);
        }
    }
}

std::vector<std::string> FleetRun::resultRow(const DeviceRun &run) const
{
    const DeviceResult r = run.result();
    const bool failed = r.outcome != DeviceOutcome::Success && r.firmwareType >= 0;
    return {run.device().name, outcomeName(r.outcome),
            failed ? std::string(firmwareName(r.firmwareType)) + " " + stepName(r.end.step) : "",
            minutesSeconds(r.duration.count() / 1000), std::to_string(r.attempts)};
}

void FleetRun::drawTable()
{
    std::vector<std::vector<std::string>> rows = {{"name", "link", "step", "%", "rate", "left"}};
    // The running devices first, then the finished, then the waiting ones.
    std::vector<const DeviceRun *> order;
    for (int pass = 0; pass < 3; ++pass) {
        for (const auto &run : runs_) {
            const DeviceOutcome o = run->outcome();
            const int group = o == DeviceOutcome::Running ? 0 : o == DeviceOutcome::Waiting ? 2 : 1;
            if (group == pass)
                order.push_back(run.get());
        }
    }
    const std::size_t room = static_cast<std::size_t>(std::max(3, terminalRows() - 3));
    for (const DeviceRun *run : order) {
        if (rows.size() >= room)
            break;
        const DeviceRow r = run->row();
        char rate[32] = "";
        if (r.bytesPerSecond > 0)
            std::snprintf(rate, sizeof rate, "%.1f KiB/s", r.bytesPerSecond / 1024);
        rows.push_back({run->device().name, run->device().linkText, r.status,
                        r.percent >= 0 ? std::to_string(r.percent) + "%" : "", rate,
                        r.secondsLeft >= 0 ? minutesSeconds(r.secondsLeft) : ""});
    }
    std::string text = columns(rows);
    if (order.size() + 1 > rows.size())
        text += "(" + std::to_string(order.size() + 1 - rows.size()) + " more)\n";
    live_.draw(text);
}

std::string FleetRun::summary() const
{
    std::vector<std::vector<std::string>> rows = {
        {"name", "outcome", "failed step", "duration", "attempts"}};
    int succeeded = 0;
    std::vector<std::string> halfWritten;
    for (const auto &run : runs_) {
        rows.push_back(resultRow(*run));
        const DeviceResult r = run->result();
        succeeded += r.outcome == DeviceOutcome::Success ? 1 : 0;
        if (r.outcome != DeviceOutcome::Success && r.firmwareType >= 0 &&
            r.end.step >= JobStep::Erasing)
            halfWritten.push_back(run->device().name);
    }
    std::string text = columns(rows);
    text += std::to_string(runs_.size()) + " devices: " + std::to_string(succeeded) +
            " succeeded, " + std::to_string(runs_.size() - succeeded) + " failed\n";
    if (!halfWritten.empty()) {
        text += "may be half-written, run the update again:";
        for (const std::string &name : halfWritten)
            text += " " + name;
        text += "\n";
    }
    return text;
}

int FleetRun::exitStatus(int signal) const
{
    if (signal != 0)
        return 128 + signal;
    bool allSucceeded = true;
    for (const auto &run : runs_)
        allSucceeded = allSucceeded && run->outcome() == DeviceOutcome::Success;
    if (allSucceeded)
        return kExitSuccess;
    // One device with both firmwares: the exit status of a single run.
    if (!fleet() && runs_.front()->outcome() == DeviceOutcome::LinkNotOpened)
        return kExitNoLink;
    return kExitFailed;
}

void FleetRun::end(int signal)
{
    if (ended_)
        return;
    ended_ = true;
    poller_.stop();
    // Every running job is abandoned at once; the summary tells where each stood.
    for (const auto &run : runs_)
        run->interrupt();
    supervisor_.reset();
    console_.clearProgress();
    const int status = exitStatus(signal);
    if (showTable_)
        drawTable();
    if (fleet()) {
        std::fputs(("\n" + summary()).c_str(), stdout);
        std::fflush(stdout);
    } else if (status != kExitSuccess) {
        const DeviceRun &run = *runs_.front();
        console_.error(std::string(signal != 0 ? "interrupted" : outcomeName(run.outcome())) +
                       ": " + run.whereItStopped());
    }
    if (!options_.reportPath.empty()) {
        RunReport report;
        report.start = startedAt_;
        report.end = std::chrono::system_clock::now();
        report.firmware = firmware_;
        report.jobs = options_.jobs;
        report.retries = options_.retries;
        report.exitStatus = status;
        report.signal = signal;
        for (const auto &run : runs_)
            report.devices.push_back({&run->device(), run->result(), run->whereItStopped()});
        std::ofstream out(options_.reportPath, std::ios::trunc);
        out << reportJson(report);
        if (!out)
            console_.error(options_.reportPath + ": cannot write the report");
    }
    if (onFinished_)
        onFinished_(status);
}

int runFleet(const CliOptions &options, QCoreApplication &app)
{
    FleetRun run(options);
    run.setOnFinished([&app](int status) {
        QMetaObject::invokeMethod(
            &app, [&app, status] { app.exit(status); }, Qt::QueuedConnection);
    });
    if (const auto status = run.start())
        return *status;
    return app.exec();
}

} // namespace updater::cli
