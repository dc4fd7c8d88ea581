#include "RunFront.h"

#include "CliPresenter.h"
#include "FleetSetup.h"

#include "RunOutcome.h"
#include "Signals.h"
#include "Texts.h"

#include <QCoreApplication>

namespace updater::cli {

RunFront::RunFront(const CliOptions &options)
    : options_(options),
      console_(options.fleetPath.empty() && !options.quiet && isTerminal(stderr)),
      display_(options_, console_), report_(options.reportPath, console_)
{
}

RunFront::~RunFront() = default;

std::optional<int> RunFront::prepare()
{
    const auto refuse = [this](const std::string &why) {
        console_.error(why);
        return run::kExitRefused;
    };
    if (const std::string fault = readDevices(options_, devices_, earlier_); !fault.empty())
        return refuse(fault);
    if (const std::string fault = checkOutputs(options_, devices_); !fault.empty())
        return refuse(fault);
    const auto refused = run::checkFirmwareFiles(devices_, report_.head().firmware);
    // A signal during the checks ends the run before any device is contacted.
    if (const int signal = pendingSignal(); signal != 0) {
        console_.error("interrupted while the firmware files were checked; no device was "
                       "contacted");
        return 128 + signal;
    }
    if (!refused) {
        for (const std::string &note :
             startFromEarlier(devices_, report_.head().firmware, !options_.onlyFailedPath.empty()))
            console_.error("note: " + note);
    }
    if (!options_.check) {
        if (const std::string fault = makeTraceDir(options_); !fault.empty())
            return refuse(fault);
    }
    run::DeviceRun::Settings settings;
    settings.retries = options_.retries;
    settings.restartWaitMs = static_cast<int>(options_.restartWait) * 1000;
    settings.longerRestartWait = "--restart-wait";
    const bool echo = !display_.showsTable() && (!fleet() || !options_.quiet);
    run_ = std::make_unique<run::FleetRun>(
        devices_, settings, options_.jobs, [this, echo](const run::DeviceEntry &d) {
            return std::make_unique<CliPresenter>(
                console_, echo, fleet() ? d.name + " " + d.linkText + " " : std::string());
        });
    if (auto failed = openTraces())
        return failed;
    if (refused)
        return refuseFirmware(*refused);
    return std::nullopt;
}

std::optional<int> RunFront::openTraces()
{
    for (const auto &r : run_->runs()) {
        if (options_.check) // nothing is written
            continue;
        if (!options_.traceDir.empty()) {
            r->trace().setPath(tracePath(options_, r->device())); // opened when the device starts
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
    return std::nullopt;
}

int RunFront::refuseFirmware(const run::Refusal &refused)
{
    const std::string fault = refused.path + ": " + refused.fault;
    console_.error(std::string(texts::kFileRefused));
    console_.error(fault);
    for (const auto &r : run_->runs()) {
        if (!options_.traceDir.empty() && !options_.check) // one open file at a time
            r->trace().open(tracePath(options_, r->device()));
        r->note("message", std::string(texts::kFileRefused) + "\n" + fault);
        r->note("exit", std::to_string(run::kExitRefused));
        r->trace().close();
    }
    return run::kExitRefused;
}

std::optional<int> RunFront::start(std::function<void(int)> finished)
{
    RunReport &head = report_.head();
    head.start = std::chrono::system_clock::now();
    head.jobs = options_.jobs;
    head.retries = options_.retries;
    finished_ = std::move(finished);
    if (auto refused = prepare())
        return refused;
    if (options_.check) {
        RunDisplay::listChecked(*run_, report_.head().firmware);
        return run::kExitSuccess; // every file checked; nothing contacted
    }
    whenSignalled(this, [this](int signal) { run_->interrupt(signal); });
    display_.start(*run_);
    if (report_.wanted()) {
        report_.keep(earlier_);
        run_->setOnChange([this] { report_.write(*run_, std::nullopt); });
    }
    run_->start([this](int status) {
        QMetaObject::invokeMethod(
            this, [this, status] { ended(status); }, Qt::QueuedConnection);
    });
    return std::nullopt;
}

void RunFront::ended(int status)
{
    display_.ended();
    // A report or a summary that could not be written fails a run that had succeeded.
    if (report_.wanted() && !report_.write(*run_, status) && status == run::kExitSuccess)
        status = run::kExitFailed;
    if (!options_.summaryPath.empty() &&
        !writeSummary(options_.summaryPath, report_.head(), *run_, status, console_) &&
        status == run::kExitSuccess)
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
