#include "CliRun.h"

#include "DeviceRun.h"
#include "ExitStatus.h"
#include "Signals.h"

#include "FirmwareCheck.h"

#include "PortName.h"
#include "Texts.h"

namespace updater::cli {

namespace {

// The progress bar is redrawn every 100 ms.
constexpr int kPollMs = 100;

// Where the job stood, for the line that tells a technician what the device holds.
std::string stepText(const JobEnd &end, int units, const std::string &lastStatus)
{
    std::string where =
        " (job state " + std::to_string(end.state) + ", " + std::to_string(units) + " units sent";
    if (end.step != JobStep::NotStarted && !lastStatus.empty())
        where += ", last status \"" + lastStatus + "\"";
    return stepName(end.step) + where + "): " + whatTheDeviceHolds(end.step);
}

} // namespace

namespace {

bool showsProgress(const CliOptions &options)
{
    return !options.quiet && isTerminal(stderr);
}

} // namespace

CliRun::CliRun(const CliOptions &options, QObject *parent)
    : QObject(parent), options_(options), console_(showsProgress(options)), host_(console_, trace_),
      job_(host_), sink_(job_, trace_), link_(&sink_, &host_)
{
    host_.attach(&link_);
    // The job ends on whatever thread ran its last step; the rest happens here.
    host_.setOnIdle(
        [this] { QMetaObject::invokeMethod(this, &CliRun::jobIdle, Qt::QueuedConnection); });
    whenSignalled(this, [this](int signal) {
        if (!stopped_)
            interrupted(signal);
    });
    connect(&poller_, &QTimer::timeout, this, &CliRun::poll);
    if (showsProgress(options))
        poller_.start(kPollMs);
}

CliRun::~CliRun()
{
    supervisor_.reset();
    link_.CloseLink();
}

std::optional<int> CliRun::start()
{
    if (!options_.tracePath.empty()) {
        if (const std::string clash = overwritesInput("--trace", options_.tracePath, "trace",
                                                      {{"firmware file", options_.firmwarePath}});
            !clash.empty()) {
            console_.error(clash);
            return kExitRefused;
        }
        const auto traceFailed = [this](const std::string &reason) { console_.error(reason); };
        if (const std::string error = trace_.open(options_.tracePath, traceFailed);
            !error.empty()) {
            console_.error(error);
            return kExitRefused;
        }
    }
    trace_.note("start", std::string(texts::kAppTitle) + ", " +
                             firmwareName(options_.firmwareType) + " firmware " +
                             options_.firmwarePath);
    if (auto refused = checkFirmwareFile())
        return refused;
    if (options_.link == CliOptions::Link::Serial)
        return openSerial();
    // TCP: the outcome of the attempt comes later, on this thread.
    connect(&link_, &CFileDownCom::linkOpenChanged, this, [this](bool open) {
        if (open && !jobStarted_)
            startJob();
    });
    host_.setOnConnectFailed([this](const std::string &) {
        if (!jobStarted_)
            stop(kExitNoLink); // the host has said why
    });
    trace_.note("link",
                "connecting to " + options_.tcpAddress + ":" + std::to_string(options_.tcpPort));
    link_.OpenTcpLink(QString::fromStdString(options_.tcpAddress), options_.tcpPort);
    return std::nullopt;
}

// The file is checked whole before the link is opened, so a file that would be
// refused never reaches the device. The job checks it again when it loads it.
std::optional<int> CliRun::checkFirmwareFile()
{
    const std::string fault = firmwareFault(options_.firmwareType, options_.firmwarePath);
    if (fault.empty())
        return std::nullopt;
    host_.showMessage(MessageKind::FileRefused, std::string(texts::kFileRefused) + "\n" +
                                                    options_.firmwarePath + ": " + fault);
    trace_.note("exit", std::to_string(kExitRefused));
    return kExitRefused;
}

std::optional<int> CliRun::openSerial()
{
    const QString device = options_.comNumber != 0 ? comPortDeviceName(options_.comNumber)
                                                   : QString::fromStdString(options_.serialPath);
    std::string name = options_.serialText;
    if (device.toStdString() != name)
        name += " (" + device.toStdString() + ")";
    if (options_.comNumber != 0)
        link_.OpenLink(kSerialLink, options_.comNumber, 0, 0);
    else
        link_.OpenSerialDevice(device);
    trace_.note("link", "serial port " + name + (link_.linkOpen() ? " open" : " not opened"));
    if (!link_.linkOpen()) {
        console_.error(name + ": " + link_.openErrorText().toStdString());
        trace_.note("exit", std::to_string(kExitNoLink));
        return kExitNoLink;
    }
    startJob();
    return std::nullopt;
}

void CliRun::startJob()
{
    jobStarted_ = true;
    job_.setFirmware(options_.firmwareType, options_.firmwarePath);
    job_.downLoad(link_.linkOpen());
    supervisor_ = std::make_unique<Supervisor>([this] { job_.jobTick(); });
}

void CliRun::jobIdle()
{
    if (stopped_)
        return;
    switch (job_.lastOutcome()) {
    case JobOutcome::Success:
        stop(kExitSuccess, true);
        return;
    case JobOutcome::FileRefused:
        stop(kExitRefused, true);
        return;
    case JobOutcome::TimedOut:
    case JobOutcome::FileFailed:
    case JobOutcome::None:
    case JobOutcome::Abandoned:
        stop(kExitFailed, true);
        return;
    }
}

void CliRun::poll()
{
    if (!jobStarted_ || stopped_ || !host_.progressVisible())
        return;
    const JobFields f = job_.fields();
    if (f.fileLength <= 0)
        return; // the job has not taken the file's length yet
    if (f.bytesSent > 0 && !programmingSince_)
        programmingSince_ = std::chrono::steady_clock::now();
    Progress p;
    p.fileBytesSent = f.bytesSent;
    p.fileLength = static_cast<std::uint32_t>(f.fileLength);
    if (programmingSince_)
        p.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - *programmingSince_);
    console_.drawProgress(p);
}

void CliRun::interrupted(int signal)
{
    const int status = 128 + signal;
    if (!jobStarted_) {
        console_.error("interrupted before the update started: nothing was sent to the device");
        stop(status);
        return;
    }
    const int units = host_.unitsSent();
    const std::string lastStatus = host_.lastStatus();
    const int state = job_.abandon(); // closes the firmware file
    const JobEnd end = job_.lastEnd();
    if (state == kNoJob && end.outcome != JobOutcome::Abandoned)
        return; // the job had just ended; its own outcome decides
    const std::string said = "interrupted " + stepText(end, units, lastStatus);
    trace_.note("signal", said); // a closed terminal no longer shows it
    console_.error(said);
    stop(status);
}

void CliRun::stop(int exitStatus, bool afterJob)
{
    if (stopped_)
        return;
    stopped_ = true;
    poller_.stop();
    supervisor_.reset(); // the tick never waits for this thread, so this returns
    console_.clearProgress();
    // A device that acknowledges twice releases units early, so the job can end
    // while some of them still wait in the link.
    if (afterJob && !link_.CloseLinkWhenSent()) {
        trace_.note("link", "closed before everything handed to it was written");
        if (exitStatus == kExitSuccess) {
            console_.error("the link closed before the whole firmware was written to it: "
                           "the device may be incomplete; run the update again");
            exitStatus = kExitFailed;
        }
    }
    link_.CloseLink();
    trace_.note("exit", std::to_string(exitStatus));
    emit finished(exitStatus);
}

} // namespace updater::cli
