#include "DeviceRun.h"

#include "PortName.h"
#include "QueuedCall.h"

#include <QTimer>

#include <algorithm>

namespace updater::run {

namespace {

using Clock = std::chrono::steady_clock;

// "1 unit", "41 units"
std::string unitsText(int units)
{
    return std::to_string(units) + (units == 1 ? " unit" : " units");
}

// How a job of the window ended, in the words of a run's outcomes.
DeviceOutcome outcomeOf(const JobEnd &end, bool linkLost)
{
    switch (end.outcome) {
    case JobOutcome::Success:
        return DeviceOutcome::Success;
    case JobOutcome::FileRefused:
        return DeviceOutcome::FileRefused;
    case JobOutcome::FileFailed:
        return DeviceOutcome::FileFailed;
    case JobOutcome::Abandoned:
        return DeviceOutcome::Interrupted;
    default:
        return linkLost ? DeviceOutcome::LinkLost : DeviceOutcome::TimedOut;
    }
}

std::chrono::milliseconds since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

} // namespace

DeviceRun::DeviceRun(DeviceEntry device, const Settings &settings, DevicePresenter &presenter)
    : device_(std::move(device)), settings_(settings), presenter_(presenter),
      host_(presenter_, trace_), job_(host_), sink_(job_, trace_, host_.answers()),
      link_(&sink_, &host_)
{
    host_.attach(&link_);
    // The job ends on whatever thread ran its last step; the rest happens here.
    host_.setOnIdle([this] { postCall(this, [this] { jobIdle(); }); });
    QObject::connect(&link_, &CFileDownCom::linkOpenChanged, this, [this](bool open) {
        linkWasOpen_ = linkWasOpen_ || open;
        if (open && (phase_ == Phase::Opening || phase_ == Phase::Reopening))
            startJob();
        else if (!open && phase_ == Phase::Running)
            // After the link has said why it closed: the cause before the conclusion.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (phase_ == Phase::Running && !link_.linkOpen())
                        linkLostInJob();
                },
                Qt::QueuedConnection);
    });
    host_.setOnConnectFailed([this](const std::string &reason) {
        if (phase_ == Phase::Opening || phase_ == Phase::Reopening)
            linkFailed(reason);
    });
}

DeviceRun::~DeviceRun()
{
    link_.setOwner(nullptr);
    link_.CloseLink();
}

void DeviceRun::reset(DeviceEntry device, const Settings &settings)
{
    if (busy())
        return;
    if (device.linkText != device_.linkText)
        linkWasOpen_ = false;
    device_ = std::move(device);
    settings_ = settings;
    stage_ = 0;
    jobUnitsBefore_ = host_.unitsSent();
    linkLost_ = false;
    linkError_.clear();
    result_ = DeviceResult{};
    furthest_ = {};
    written_ = {};
    setPhase(Phase::Idle);
}

void DeviceRun::chooseLink(LinkTarget link, std::string linkText)
{
    if (busy())
        return;
    device_.link = std::move(link);
    device_.linkText = std::move(linkText);
    device_.name = device_.linkText;
    linkWasOpen_ = false;
}

void DeviceRun::setPhase(Phase phase)
{
    if (phase_ == phase)
        return;
    phase_ = phase;
    presenter_.phaseChanged();
}

FirmwareKind DeviceRun::firmware() const
{
    if (onCurrentLink_)
        return kindOfType(job_.fields().firmwareType);
    return stage_ == 0 && !device_.dspPath.empty() ? FirmwareKind::Dsp : FirmwareKind::Arm;
}

std::string DeviceRun::firmwarePath() const
{
    return firmware() == FirmwareKind::Dsp ? device_.dspPath : device_.armPath;
}

bool DeviceRun::done() const
{
    return phase_ == Phase::Done;
}

void DeviceRun::say(const std::string &text)
{
    trace_.note("run", text);
    presenter_.note(text);
}

void DeviceRun::start()
{
    startedAt_ = Clock::now();
    if (!tracePath_.empty() && !trace_.isOpen()) {
        // The update matters more than its log: it goes on without one.
        if (const std::string error = trace_.open(tracePath_); !error.empty())
            presenter_.fault(error);
    }
    result_.outcome = DeviceOutcome::Running;
    result_.attempts = 1;
    trace_.note("start", device_.name + " " + device_.linkText);
    setPhase(Phase::Opening);
    // The link the front end opened for this device (chooseLink) is used as it
    // stands: a WiFi module serves one connection at a time, and may refuse a new
    // one while it has not yet seen the old one go.
    if (link_.linkOpen() && linkWasOpen_) {
        trace_.note("link", device_.linkText + " open");
        startJob();
        return;
    }
    openLink();
}

void DeviceRun::openLink()
{
    const LinkTarget &l = device_.link;
    if (l.tcp) {
        trace_.note("link", "connecting to " + device_.linkText);
        link_.OpenTcpLink(QString::fromStdString(l.tcpAddress), l.tcpPort);
        return;
    }
    const std::string path =
        l.comNumber != 0 ? comPortDeviceName(l.comNumber).toStdString() : l.serialPath;
    // "COM9 (/dev/ttyUSB0)": the port as the technician named it, and what it opened.
    const std::string name = device_.linkText == path ? path : device_.linkText + " (" + path + ")";
    if (l.comNumber != 0)
        link_.OpenLink(kSerialLink, l.comNumber, 0, 0);
    else
        link_.OpenSerialDevice(QString::fromStdString(l.serialPath));
    trace_.note("link", "serial port " + name + (link_.linkOpen() ? " open" : " not opened"));
    if (link_.linkOpen()) {
        startJob(); // a port that opened with its configuration sends no signal
        return;
    }
    const std::string reason = name + ": " + link_.openErrorText().toStdString();
    if (phase_ != Phase::Reopening)
        presenter_.linkError(LinkFault::PortError, QString(), QString::fromStdString(reason));
    linkFailed(reason);
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
    if (onCurrentLink_) { // the window's DownLoad: nothing was sent, the link stays closed
        onCurrentLink_ = false;
        setPhase(Phase::Idle);
        return;
    }
    if (phase_ == Phase::Reopening && since(reopenSince_).count() < settings_.reopenForMs) {
        reopenSoon();
        return;
    }
    host_.setMuted(false);
    linkError_ = reason;
    failed(DeviceOutcome::LinkNotOpened, JobEnd{});
}

void DeviceRun::startJob()
{
    if (phase_ == Phase::Running)
        return;
    host_.setMuted(false);
    setPhase(Phase::Running);
    ++jobsStarted_;
    linkLost_ = false;
    sendingSince_.reset();
    const FirmwareKindInfo &kind = kindInfo(firmware());
    host_.newJob(onCurrentLink_ ? job_.fields().firmwareType : kind.type,
                 link_.linkType() == kSerialLink);
    jobUnitsBefore_ = host_.unitsSent();
    if (onCurrentLink_) { // the front end chose the firmware itself
        trace_.note("job", std::string(kind.name) + " firmware " + job_.fields().firmwarePath);
    } else {
        trace_.note("job", std::string(kind.name) + " firmware " + firmwarePath());
        job_.setFirmware(kind.type, firmwarePath());
    }
    jobRunning_.store(true);
    if (jobStarted_)
        jobStarted_();
    job_.downLoad(link_.linkOpen());
    if (onCurrentLink_ && job_.idle()) { // refused without a link or a file; its box was shown
        jobRunning_.store(false);
        onCurrentLink_ = false;
        setPhase(Phase::Idle);
    }
}

bool DeviceRun::downLoadOnCurrentLink()
{
    if (busy())
        return false; // the command is disabled while a job runs
    onCurrentLink_ = true;
    trace_.note("start", device_.name + " " + device_.linkText);
    // The inverter closes the link as it restarts after an update (or an adapter
    // was pulled out): the link is still the one the front end chose, and is opened
    // again before the job starts. Without a file the job asks for one first.
    if (!link_.linkOpen() && linkWasOpen_) {
        if (job_.fields().firmwarePath.empty()) {
            onCurrentLink_ = false;
            job_.downLoad(true);
            return false;
        }
        startedAt_ = Clock::now();
        trace_.note("link", "opening " + device_.linkText + " again");
        setPhase(Phase::Opening);
        openLink();
        return true;
    }
    startJob();
    return busy();
}

void DeviceRun::linkLostInJob()
{
    const JobFields f = job_.fields();
    // The job's own ending is under way (its last answer came just before the
    // close, or its wait ran out): that ending decides.
    if (onCurrentLink_ || !settings_.endJobWhenLinkLost || f.jobState == kNoJob ||
        f.timeoutInProgress) {
        linkLost_ = true;
        return;
    }
    // A restarting inverter may take a connection and drop it again: while the
    // second firmware's job has sent no more than its wake-up, and the time for
    // the restart is not over, the link is opened again.
    const JobStep step = stepOf(f.firmwareType, f.jobState);
    const bool reopen = stage_ > 0 && step <= JobStep::Connecting &&
                        since(reopenSince_).count() < settings_.reopenForMs;
    job_.abandon();
    jobRunning_.store(false);
    if (reopen) {
        trace_.note("link", "lost before the device was erased; opening it again");
        setPhase(Phase::Reopening);
        host_.setMuted(true);
        reopenSoon();
        return;
    }
    // Nothing more can reach the device: the job ends now, not when its wait runs out.
    setPhase(Phase::Closing);
    link_.CloseLink();
    failed(DeviceOutcome::LinkLost, job_.lastEnd());
}

void DeviceRun::tick()
{
    if (jobRunning_.load())
        job_.jobTick();
}

void DeviceRun::jobIdle()
{
    // A queued call may find the next window job already under way.
    if (phase_ != Phase::Running || !job_.idle())
        return;
    jobRunning_.store(false);
    if (onCurrentLink_) { // the window's job: the link stays as the technician set it
        trace_.note("end", outcomeName(outcomeOf(job_.lastEnd(), linkLost_)));
        onCurrentLink_ = false;
        setPhase(Phase::Idle);
        if (job_.lastEnd().outcome == JobOutcome::Success)
            checkAnswersAfterSuccess();
        return;
    }
    setPhase(Phase::Closing);
    const JobEnd end = job_.lastEnd();
    // The device restarts after an update and may close the link first: what the
    // job handed to the link is written before it closes, without holding up others.
    // Answers that keep coming are counted meanwhile; once they outnumber the
    // units the verdict stands, and a serial line is not listened to any longer.
    link_.CloseLinkWhenSentLater([this, end](bool sent) { closed(end, sent); },
                                 [this] { return host_.answers().count().tooMany(); });
}

void DeviceRun::closed(JobEnd end, bool sent)
{
    if (phase_ != Phase::Closing)
        return;
    switch (end.outcome) {
    case JobOutcome::Success:
        break;
    case JobOutcome::FileRefused:
        failed(DeviceOutcome::FileRefused, end);
        return;
    case JobOutcome::FileFailed:
        failed(DeviceOutcome::FileFailed, end);
        return;
    default:
        failed(linkLost_ ? DeviceOutcome::LinkLost : DeviceOutcome::TimedOut, end);
        return;
    }
    if (!sent) {
        trace_.note("link", "closed before everything handed to it was written");
        linkError_ = "the link closed before the whole firmware was written to it";
        presenter_.fault(linkError_ + ": the device may be incomplete; run the update again");
        failed(DeviceOutcome::LinkLost, end);
        return;
    }
    if (answeredTooOften())
        return;
    reached(firmware(), end.step, true);
    if (stage_ > 0 || !twoFirmwares()) {
        finish(DeviceOutcome::Success);
        return;
    }
    ++stage_;
    setPhase(Phase::Reopening);
    say("DSP firmware written; opening the link again for the ARM firmware");
    trace_.note("run", "waiting " + std::to_string(settings_.restartWaitMs) +
                           " ms for the device to restart");
    host_.setMuted(true); // a restarting device refuses for a while: said once
    // A wake-up sent before the restart would reach the boot loader that has
    // just finished, or a WiFi module that stays up and swallows it.
    QTimer::singleShot(settings_.restartWaitMs, this, [this] {
        if (phase_ != Phase::Reopening)
            return;
        reopenSince_ = Clock::now();
        openLink();
    });
}

void DeviceRun::checkAnswersAfterSuccess()
{
    // The job's success has been told. Answers go on being counted while the
    // device restarts; another job started meanwhile counts its own.
    const int job = jobsStarted_;
    QTimer::singleShot(2 * CFileDownCom::kQuietMs, this, [this, job] {
        if (job != jobsStarted_)
            return;
        const AnswerTally::Count count = host_.answers().count();
        if (!count.tooMany())
            return;
        trace_.note("answers", count.text());
        presenter_.warning(kAnsweredTooOften);
    });
}

bool DeviceRun::answeredTooOften()
{
    const AnswerTally::Count count = host_.answers().count();
    if (!count.tooMany())
        return false;
    trace_.note("answers", count.text());
    linkError_ = kAnsweredTooOften;
    failed(DeviceOutcome::NoisyLine, job_.lastEnd());
    return true;
}

void DeviceRun::failed(DeviceOutcome outcome, JobEnd end)
{
    result_.failedFirmware = firmware();
    result_.end = end;
    reached(firmware(), end.step);
    if (outcome == DeviceOutcome::LinkLost && linkError_.empty())
        linkError_ = stopped("link lost");
    const bool again = outcome == DeviceOutcome::LinkNotOpened ||
                       outcome == DeviceOutcome::TimedOut || outcome == DeviceOutcome::LinkLost ||
                       outcome == DeviceOutcome::NoisyLine;
    if (!again || result_.attempts > static_cast<int>(settings_.retries)) {
        finish(outcome);
        return;
    }
    setPhase(Phase::Pausing);
    say(std::string(outcomeName(outcome)) + "; attempt " + std::to_string(result_.attempts + 1) +
        " of " + std::to_string(settings_.retries + 1) + " in " +
        std::to_string(settings_.retryPauseMs / 1000) + " s");
    QTimer::singleShot(settings_.retryPauseMs, this, [this] {
        if (phase_ != Phase::Pausing)
            return;
        ++result_.attempts;
        linkError_.clear(); // each attempt ends with its own message
        setPhase(Phase::Opening);
        openLink();
    });
}

void DeviceRun::finish(DeviceOutcome outcome)
{
    onCurrentLink_ = false;
    setPhase(Phase::Done);
    result_.outcome = outcome;
    if (outcome == DeviceOutcome::Success) {
        result_.failedFirmware.reset();
        result_.end = job_.lastEnd();
    }
    result_.duration = since(startedAt_);
    result_.message = linkError_.empty() ? host_.lastMessage() : linkError_;
    link_.CloseLink();
    trace_.note("end", outcomeName(outcome));
    if (outcome != DeviceOutcome::Success && outcome != DeviceOutcome::Interrupted)
        presenter_.fault(stopped(outcomeName(outcome)));
    if (finished_)
        finished_();
}

void DeviceRun::interrupt(int signal)
{
    if (phase_ == Phase::Done)
        return;
    if (phase_ == Phase::Idle) {
        setPhase(Phase::Done);
        result_.outcome = DeviceOutcome::NotStarted;
        return;
    }
    JobEnd end{JobOutcome::Abandoned, kNoJob, JobStep::NotStarted};
    if (phase_ == Phase::Running || phase_ == Phase::Closing) {
        job_.abandon(); // closes the firmware file
        end = job_.lastEnd();
        if (end.outcome == JobOutcome::Success && (stage_ > 0 || !twoFirmwares())) {
            finish(DeviceOutcome::Success); // only the closing of the link was cut short
            return;
        }
    }
    jobRunning_.store(false);
    result_.failedFirmware = firmware();
    result_.end = end;
    reached(firmware(), end.step);
    const std::string said = stopped("interrupted");
    if (signal != 0)
        trace_.note("signal", said); // after a hang-up nobody reads the terminal
    presenter_.fault(said);
    linkError_ = said; // the message of a job that ended before would mislead
    finish(DeviceOutcome::Interrupted);
}

void DeviceRun::reached(FirmwareKind kind, JobStep step, bool written)
{
    auto &furthest = furthest_[static_cast<int>(kind)];
    furthest = furthest ? std::max(*furthest, step) : step;
    written_[static_cast<int>(kind)] = written_[static_cast<int>(kind)] || written;
}

bool DeviceRun::mayBeHalfWritten() const
{
    for (int k = 0; k < 2; ++k) {
        if (!written_[k] && furthest_[k] && *furthest_[k] >= JobStep::Erasing)
            return true;
    }
    return false;
}

std::string DeviceRun::deviceHolds() const
{
    if (result_.outcome == DeviceOutcome::Success)
        return "every firmware written";
    std::string text;
    for (const FirmwareKindInfo &kind : kFirmwareKinds) {
        const int k = static_cast<int>(kind.kind);
        if ((kind.kind == FirmwareKind::Dsp ? device_.dspPath : device_.armPath).empty())
            continue;
        const std::string name = std::string(kind.name) + " firmware";
        if (!text.empty())
            text += "; ";
        const JobStep step = furthest_[k].value_or(JobStep::NotStarted);
        if (written_[k])
            text += name + " written";
        else if (!twoFirmwares())
            text += whatTheDeviceHolds(step);
        else if (step == JobStep::NotStarted)
            text += name + " not started";
        else
            text += name + ": " + whatTheDeviceHolds(step);
    }
    return text;
}

DeviceResult DeviceRun::result() const
{
    DeviceResult r = result_;
    r.deviceHolds = deviceHolds();
    r.mayBeHalfWritten = mayBeHalfWritten();
    r.unitsSent = host_.unitsSent();
    r.bytesSent = host_.bytesSent();
    r.lastStatus = host_.lastStatus();
    if (phase_ != Phase::Done && phase_ != Phase::Idle)
        r.duration = since(startedAt_);
    return r;
}

std::string DeviceRun::whereItStopped() const
{
    return stopped({});
}

std::string DeviceRun::stopped(const std::string &outcome) const
{
    if (result_.outcome == DeviceOutcome::Success)
        return "every firmware written";
    // Which firmware, when the device gets two: "DSP firmware: time-out while ...".
    std::string text;
    if (twoFirmwares() && result_.failedFirmware)
        text = stage_ > 0 ? "DSP firmware written; ARM firmware: " : "DSP firmware: ";
    if (result_.outcome == DeviceOutcome::NoisyLine)
        return text + kAnsweredTooOften;
    if (!outcome.empty())
        text += outcome + " ";
    const JobEnd &end = result_.end;
    if (!result_.failedFirmware || end.state == kNoJob)
        return text + (stage_ > 0 ? "before its job started: the device holds the new DSP firmware"
                                  : "before the update started: nothing was sent to the device");
    text += std::string(stepName(end.step)) + " (job state " + std::to_string(end.state) + ", " +
            unitsText(host_.unitsSent() - jobUnitsBefore_) + " sent";
    const std::string last = host_.lastStatus();
    if (end.step != JobStep::NotStarted && !last.empty())
        text += ", last status \"" + last + "\"";
    return text + "): " + whatTheDeviceHolds(end.step);
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
    r.status = std::string(kindInfo(firmware()).name) + " " + host_.lastStatus();
    const JobFields f = job_.fields();
    if (f.fileLength <= 0 || !host_.progressVisible())
        return r;
    r.fileLength = static_cast<std::uint32_t>(f.fileLength);
    r.fileBytesSent = std::min(f.bytesSent, r.fileLength);
    if (r.fileBytesSent > 0 && !sendingSince_) // the rate counts from the first byte seen sent
        sendingSince_ = Clock::now();
    if (sendingSince_)
        r.sending = since(*sendingSince_);
    return r;
}

} // namespace updater::run
