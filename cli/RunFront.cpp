#include "RunFront.h"

#include "CliPresenter.h"
#include "FleetFile.h"
#include "Report.h"

#include "RunOutcome.h"
#include "Signals.h"
#include "Texts.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>

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

std::optional<int> RunFront::prepare()
{
    if (fleet()) {
        if (std::string error =
                readFleetFile(options_.fleetPath, options_.dspPath, options_.armPath, devices_);
            !error.empty()) {
            console_.error(error);
            return run::kExitRefused;
        }
    } else {
        run::DeviceSpec one;
        one.link = linkSpec(options_);
        one.linkText = linkText(options_);
        one.name = one.linkText;
        one.dspPath = options_.dspPath;
        one.armPath = options_.armPath;
        devices_.push_back(one);
    }
    // Files this run writes are emptied when opened: never one that it reads.
    std::vector<std::pair<std::string, std::string>> inputs = {{"fleet file", options_.fleetPath}};
    for (const run::DeviceSpec &d : devices_) {
        inputs.emplace_back("firmware file", d.dspPath);
        inputs.emplace_back("firmware file", d.armPath);
    }
    std::vector<std::array<std::string, 3>> outputs; // option, file, what it is
    if (!options_.reportPath.empty())
        outputs.push_back({"--report", options_.reportPath, "report"});
    for (const run::DeviceSpec &d : devices_) {
        if (const std::string trace = tracePath(d); !trace.empty())
            outputs.push_back(
                {options_.traceDir.empty() ? "--trace" : "--trace-dir", trace, "trace"});
    }
    for (const auto &[option, output, noun] : outputs) {
        if (const std::string clash = run::overwritesInput(option, output, noun, inputs);
            !clash.empty()) {
            console_.error(clash);
            return run::kExitRefused;
        }
    }
    if (!options_.reportPath.empty() && !std::ofstream(options_.reportPath, std::ios::app)) {
        console_.error(options_.reportPath + ": cannot write the report");
        return run::kExitRefused;
    }
    if (!options_.traceDir.empty() && !QDir().mkpath(QString::fromStdString(options_.traceDir))) {
        console_.error(options_.traceDir + ": cannot make the trace folder");
        return run::kExitRefused;
    }
    run::DeviceRun::Settings settings;
    settings.retries = options_.retries;
    settings.restartWaitMs = static_cast<int>(options_.restartWait) * 1000;
    const bool echo = !showTable_ && (!fleet() || !options_.quiet);
    run_ = std::make_unique<run::FleetRun>(
        devices_, settings, options_.jobs, [this, echo](const run::DeviceSpec &d) {
            return std::make_unique<CliPresenter>(
                console_, echo, fleet() ? d.name + " " + d.linkText + " " : std::string());
        });
    for (const auto &r : run_->runs()) {
        const std::string trace = tracePath(r->device());
        if (trace.empty())
            continue;
        if (const std::string error =
                r->openTrace(trace, [this](const std::string &why) { console_.error(why); });
            !error.empty()) {
            console_.error(error);
            return run::kExitRefused;
        }
        r->note("start", std::string(texts::kAppTitle));
    }
    // Every firmware file once, before any device is contacted.
    if (const auto refused = run::checkFirmwareFiles(devices_, firmware_)) {
        const std::string fault = refused->path + ": " + refused->fault;
        console_.error(std::string(texts::kFileRefused));
        console_.error(fault);
        for (const auto &r : run_->runs()) {
            r->note("message", std::string(texts::kFileRefused) + "\n" + fault);
            r->note("exit", std::to_string(run::kExitRefused));
        }
        return run::kExitRefused;
    }
    return std::nullopt;
}

std::string RunFront::tracePath(const run::DeviceSpec &device) const
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
    whenSignalled(this, [this](int signal) { run_->interrupt(signal); });
    // Only a live table or a progress bar needs a look at the runs.
    if (showTable_ || showProgress_)
        poller_.start(kPollMs);
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

void RunFront::drawTable()
{
    std::vector<std::vector<std::string>> rows = {{"name", "link", "step", "%", "rate", "left"}};
    // The running devices first, then the finished, then the waiting ones.
    std::vector<const run::DeviceRun *> order;
    for (int pass = 0; pass < 3; ++pass) {
        for (const auto &r : run_->runs()) {
            const run::DeviceOutcome o = r->outcome();
            const int group = o == run::DeviceOutcome::Running   ? 0
                              : o == run::DeviceOutcome::Waiting ? 2
                                                                 : 1;
            if (group == pass)
                order.push_back(r.get());
        }
    }
    const std::size_t room = static_cast<std::size_t>(std::max(3, terminalRows() - 3));
    for (const run::DeviceRun *r : order) {
        if (rows.size() >= room)
            break;
        const run::DeviceRow row = r->row();
        std::string percent, rate, left;
        if (row.fileLength > 0) {
            const Progress p{row.fileBytesSent, row.fileLength, row.sending};
            percent = std::to_string(std::uint64_t(p.fileBytesSent) * 100 / p.fileLength) + "%";
            const double seconds = std::chrono::duration<double>(p.elapsed).count();
            if (p.fileBytesSent > 0 && seconds > 0) {
                const double perSecond = p.fileBytesSent / seconds;
                char text[32];
                std::snprintf(text, sizeof text, "%.1f KiB/s", perSecond / 1024);
                rate = text;
                left = minutesSeconds(
                    static_cast<long long>((p.fileLength - p.fileBytesSent) / perSecond));
            }
        }
        rows.push_back({r->device().name, r->device().linkText, row.status, percent, rate, left});
    }
    std::string text = columns(rows);
    if (order.size() + 1 > rows.size())
        text += "(" + std::to_string(order.size() + 1 - rows.size()) + " more)\n";
    live_.draw(text);
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
    text += std::to_string(count) + " devices: " + std::to_string(succeeded) + " succeeded, " +
            std::to_string(count - succeeded) + " failed\n";
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

void RunFront::writeReport(int status)
{
    RunReport report;
    report.start = startedAt_;
    report.end = std::chrono::system_clock::now();
    report.firmware = firmware_;
    report.jobs = options_.jobs;
    report.retries = options_.retries;
    report.exitStatus = status;
    report.signal = run_->signal();
    for (const auto &r : run_->runs())
        report.devices.push_back({&r->device(), r->result()});
    std::ofstream out(options_.reportPath, std::ios::trunc);
    out << reportJson(report);
    if (!out)
        console_.error(options_.reportPath + ": cannot write the report");
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
    if (!options_.reportPath.empty())
        writeReport(status);
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
