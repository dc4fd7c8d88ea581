#include "DeviceRun.h"

#include "PortName.h"

#include <QTimer>

#include <algorithm>

namespace updater::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

} // namespace

const char *firmwareName(int type)
{
    return type == kDspFirmware ? "DSP" : "ARM";
}

const char *outcomeName(DeviceOutcome outcome)
{
    switch (outcome) {
    case DeviceOutcome::Waiting:
        return "waiting";
    case DeviceOutcome::Running:
        return "running";
    case DeviceOutcome::Success:
        return "success";
    case DeviceOutcome::LinkNotOpened:
        return "link not opened";
    case DeviceOutcome::TimedOut:
        return "time-out";
    case DeviceOutcome::LinkLost:
        return "link lost";
    case DeviceOutcome::FileFailed:
        return "file failed";
    case DeviceOutcome::Interrupted:
        return "interrupted";
    case DeviceOutcome::NotStarted:
        return "not started";
    }
    return "";
}

DeviceRun::DeviceRun(const FleetDevice &device, const Settings &settings, Console &console)
    : device_(device), settings_(settings), console_(console), host_(console_, trace_), job_(host_),
      sink_(job_, trace_), link_(&sink_, &host_),
      prefix_(settings.prefix ? device.name + " " + device.linkText + " " : std::string())
{
    host_.attach(&link_);
    host_.setEcho(settings_.echo, prefix_);
    // The job ends on whatever thread ran its last step; the rest happens here.
    host_.setOnIdle([this] {
        QMetaObject::invokeMethod(
            this, [this] { jobIdle(); }, Qt::QueuedConnection);
    });
    QObject::connect(&link_, &CFileDownCom::linkOpenChanged, this, [this](bool open) {
        if (open && (phase_ == Phase::Opening || phase_ == Phase::Reopening))
            startJob();
        else if (!open && phase_ == Phase::Running)
            linkLostInJob();
    });
    host_.setOnConnectFailed([this](const std::string &reason) {
        if (phase_ == Phase::Opening || phase_ == Phase::Reopening)
            linkFailed(reason);
    });
}

DeviceRun::~DeviceRun()
{
    link_.CloseLink();
}

int DeviceRun::firmwareType() const
{
    const bool dspFirst = !device_.dspPath.empty();
    return stage_ == 0 && dspFirst ? kDspFirmware : kArmFirmware;
}

std::string DeviceRun::firmwarePath() const
{
    return firmwareType() == kDspFirmware ? device_.dspPath : device_.armPath;
}

bool DeviceRun::done() const
{
    return phase_ == Phase::Done;
}

void DeviceRun::say(const std::string &text)
{
    trace_.note("run", text);
    if (settings_.echo)
        console_.out(prefix_ + text);
}

void DeviceRun::start()
{
    startedAt_ = Clock::now();
    result_.outcome = DeviceOutcome::Running;
    result_.attempts = 1;
    trace_.note("start", device_.name + " " + device_.linkText);
    phase_ = Phase::Opening;
    openLink();
}

void DeviceRun::openLink()
{
    const CliOptions &l = device_.link;
    if (l.link == CliOptions::Link::Tcp) {
        trace_.note("link", "connecting to " + device_.linkText);
        link_.OpenTcpLink(QString::fromStdString(l.tcpAddress), l.tcpPort);
        return;
    }
    if (l.comNumber != 0)
        link_.OpenLink(kSerialLink, l.comNumber, 0, 0);
    else
        link_.OpenSerialDevice(QString::fromStdString(l.serialPath));
    if (link_.linkOpen()) {
        trace_.note("link", "serial port " + device_.linkText + " open");
        startJob(); // when the port opened with its configuration, no signal came
        return;
    }
    const QString device =
        l.comNumber != 0 ? comPortDeviceName(l.comNumber) : QString::fromStdString(l.serialPath);
    linkFailed(device.toStdString() + ": " + link_.openErrorText().toStdString());
}

void DeviceRun::reopenSoon()
{
    QTimer::singleShot(settings_.reopenEveryMs, this, [this] {
        if (phase_ == Phase::Reopening)
            openLink();
    });
}

void DeviceRun::linkFailed(const std::string &reason)
{
    trace_.note("link", reason);
    if (phase_ == Phase::Reopening && since(reopenSince_).count() < settings_.reopenForMs) {
        reopenSoon();
        return;
    }
    host_.setEcho(settings_.echo, prefix_);
    linkError_ = reason;
    failed(DeviceOutcome::LinkNotOpened, JobEnd{});
}

void DeviceRun::startJob()
{
    if (phase_ == Phase::Running)
        return;
    if (phase_ == Phase::Reopening)
        host_.setEcho(settings_.echo, prefix_);
    phase_ = Phase::Running;
    linkLost_ = false;
    programming_ = false;
    host_.newJob();
    trace_.note("job", std::string(firmwareName(firmwareType())) + " firmware " + firmwarePath());
    job_.setFirmware(firmwareType(), firmwarePath());
    jobRunning_.store(true);
    if (jobStarted_)
        jobStarted_();
    job_.downLoad(link_.linkOpen());
}

void DeviceRun::linkLostInJob()
{
    // A restarting inverter may take a connection and drop it again: while the
    // second firmware's job has sent no more than its wake-up, and the minute
    // for the restart is not over, the link is opened again.
    const JobStep step = stepOf(firmwareType(), job_.jobState());
    if (stage_ > 0 && step <= JobStep::Connecting &&
        since(reopenSince_).count() < settings_.reopenForMs) {
        job_.abandon();
        jobRunning_.store(false);
        trace_.note("link", "lost before the device was erased; opening it again");
        phase_ = Phase::Reopening;
        host_.setEcho(false, {});
        reopenSoon();
        return;
    }
    linkLost_ = true; // the job notices by its time-out, as a single run does
}

void DeviceRun::tick()
{
    if (jobRunning_.load())
        job_.jobTick();
}

void DeviceRun::jobIdle()
{
    if (phase_ != Phase::Running)
        return;
    jobRunning_.store(false);
    phase_ = Phase::Closing;
    const JobEnd end = job_.lastEnd();
    // The device restarts after an update and may close the link first: what the
    // job handed to the link is written before it closes, without holding up others.
    link_.CloseLinkWhenSentLater([this, end](bool sent) { closed(end, sent); });
}

void DeviceRun::closed(JobEnd end, bool sent)
{
    if (phase_ != Phase::Closing)
        return;
    if (end.outcome != JobOutcome::Success) {
        const bool file =
            end.outcome == JobOutcome::FileFailed || end.outcome == JobOutcome::FileRefused;
        failed(file ? DeviceOutcome::FileFailed
                    : (linkLost_ ? DeviceOutcome::LinkLost : DeviceOutcome::TimedOut),
               end);
        return;
    }
    if (!sent) {
        trace_.note("link", "closed before everything handed to it was written");
        linkError_ = "the link closed before the whole firmware was written to it";
        failed(DeviceOutcome::LinkLost, end);
        return;
    }
    const bool more = stage_ == 0 && !device_.dspPath.empty() && !device_.armPath.empty();
    if (!more) {
        finish(DeviceOutcome::Success);
        return;
    }
    ++stage_;
    phase_ = Phase::Reopening;
    reopenSince_ = Clock::now();
    say("DSP firmware written; opening the link again for the ARM firmware");
    host_.setEcho(false, {}); // a restarting device refuses for a while: said once
    openLink();
}

void DeviceRun::failed(DeviceOutcome outcome, JobEnd end)
{
    result_.firmwareType = firmwareType();
    result_.end = end;
    const bool again = outcome == DeviceOutcome::LinkNotOpened ||
                       outcome == DeviceOutcome::TimedOut || outcome == DeviceOutcome::LinkLost;
    if (!again || result_.attempts > static_cast<int>(settings_.retries)) {
        finish(outcome);
        return;
    }
    phase_ = Phase::Pausing;
    say(std::string(outcomeName(outcome)) + "; attempt " + std::to_string(result_.attempts + 1) +
        " of " + std::to_string(settings_.retries + 1) + " in " +
        std::to_string(settings_.retryPauseMs / 1000) + " s");
    QTimer::singleShot(settings_.retryPauseMs, this, [this] {
        if (phase_ != Phase::Pausing)
            return;
        ++result_.attempts;
        linkError_.clear(); // each attempt ends with its own message
        phase_ = Phase::Opening;
        openLink();
    });
}

void DeviceRun::finish(DeviceOutcome outcome)
{
    phase_ = Phase::Done;
    result_.outcome = outcome;
    if (outcome == DeviceOutcome::Success) {
        result_.firmwareType = -1;
        result_.end = job_.lastEnd();
    }
    result_.duration = since(startedAt_);
    result_.message = linkError_.empty() ? host_.lastMessage() : linkError_;
    link_.CloseLink();
    trace_.note("end", outcomeName(outcome));
    if (outcome != DeviceOutcome::Success && outcome != DeviceOutcome::Interrupted)
        say(std::string(outcomeName(outcome)) + ": " + whereItStopped());
    if (finished_)
        finished_();
}

void DeviceRun::interrupt()
{
    if (phase_ == Phase::Done)
        return;
    if (phase_ == Phase::Idle) {
        phase_ = Phase::Done;
        result_.outcome = DeviceOutcome::NotStarted;
        return;
    }
    JobEnd end{JobOutcome::Abandoned, kNoJob, JobStep::NotStarted};
    if (phase_ == Phase::Running || phase_ == Phase::Closing) {
        job_.abandon(); // closes the firmware file
        end = job_.lastEnd();
        if (phase_ == Phase::Closing && end.outcome == JobOutcome::Success &&
            !(stage_ == 0 && !device_.dspPath.empty() && !device_.armPath.empty())) {
            finish(DeviceOutcome::Success); // only the closing of the link was cut short
            return;
        }
    }
    jobRunning_.store(false);
    result_.firmwareType = firmwareType();
    result_.end = end;
    finish(DeviceOutcome::Interrupted);
}

DeviceResult DeviceRun::result() const
{
    DeviceResult r = result_;
    r.unitsSent = host_.unitsSent();
    r.bytesSent = host_.bytesSent();
    if (phase_ != Phase::Done && phase_ != Phase::Idle)
        r.duration = since(startedAt_);
    return r;
}

std::string DeviceRun::whereItStopped() const
{
    if (result_.outcome == DeviceOutcome::Success)
        return "every firmware written";
    if (result_.outcome == DeviceOutcome::NotStarted || result_.firmwareType < 0)
        return "the device is unchanged";
    const JobStep step = result_.end.step;
    std::string text = std::string(firmwareName(result_.firmwareType)) + " firmware";
    if (step != JobStep::NotStarted)
        text += std::string(" ") + stepName(step) + " (job state " +
                std::to_string(result_.end.state) + ")";
    return text + ": " + whatTheDeviceHolds(step);
}

DeviceRow DeviceRun::row() const
{
    DeviceRow r;
    switch (phase_) {
    case Phase::Idle:
        r.status = "waiting";
        return r;
    case Phase::Opening:
        r.status = "opening the link";
        return r;
    case Phase::Reopening:
        r.status = "waiting for the device to restart";
        return r;
    case Phase::Pausing:
        r.status = "attempt " + std::to_string(result_.attempts + 1) + " soon";
        return r;
    case Phase::Closing:
    case Phase::Done:
        r.status = phase_ == Phase::Done ? outcomeName(result_.outcome) : "closing the link";
        return r;
    case Phase::Running:
        break;
    }
    r.status = std::string(firmwareName(firmwareType())) + " " + host_.lastStatus();
    const JobFields f = job_.fields();
    if (f.fileLength <= 0)
        return r;
    if (f.bytesSent > 0 && !programming_) { // the rate counts from the first byte seen sent
        programming_ = true;
        programmingSince_ = Clock::now();
    }
    const auto sent =
        std::min<std::uint32_t>(f.bytesSent, static_cast<std::uint32_t>(f.fileLength));
    r.percent = static_cast<int>(std::uint64_t(sent) * 100 / std::uint32_t(f.fileLength));
    const double seconds = programming_ ? since(programmingSince_).count() / 1000.0 : 0;
    if (sent > 0 && seconds > 0) {
        r.bytesPerSecond = sent / seconds;
        r.secondsLeft = static_cast<int>((f.fileLength - sent) / r.bytesPerSecond);
    }
    return r;
}

} // namespace updater::cli
