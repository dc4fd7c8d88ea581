#include "DeviceRun.h"

#include "ProgramLink.h"
#include "QueuedCall.h"

#include <algorithm>

namespace updater::run {

namespace {

// How a job that did not succeed ended, in the words of a run's outcomes.
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

// Outcomes after which another attempt may do better.
bool worthAnotherAttempt(DeviceOutcome outcome)
{
    return outcome == DeviceOutcome::LinkNotOpened || outcome == DeviceOutcome::TimedOut ||
           outcome == DeviceOutcome::LinkLost || answerOutcome(outcome);
}

// The firmware files a device gets, by kind, not started yet.
Holdings givenFirmware(const DeviceEntry &d)
{
    Holdings given;
    for (const FirmwareKindInfo &kind : kFirmwareKinds) {
        const std::string &path = kind.kind == FirmwareKind::Dsp ? d.dspPath : d.armPath;
        if (!path.empty())
            held(given, kind.kind) = FirmwareHeld{path, d.crc32[static_cast<int>(kind.kind)],
                                                  HeldState::NotStarted, std::nullopt};
    }
    return given;
}

} // namespace

DeviceRun::DeviceRun(DeviceEntry device, const Settings &settings, DevicePresenter &presenter,
                     std::unique_ptr<DeviceLink> link, RunTime &time)
    : device_(std::move(device)), settings_(settings), presenter_(presenter), time_(time),
      host_(presenter_, trace_.log(), time_), job_(host_),
      sink_(job_, trace_.log(), host_.answers(), time_),
      link_(link ? std::move(link) : makeProgramLink()), timer_(time_.timer())
{
    record_.reset(givenFirmware(device_), device_.earlier);
    link_->attach(&sink_, &host_, this);
    host_.attach(link_.get());
    // The job ends on whatever thread ran its last step; the rest happens here.
    host_.setOnIdle([this] { postCall(this, [this] { jobIdle(); }); });
}

DeviceRun::~DeviceRun()
{
    timer_->stop();
    link_->attach(nullptr, nullptr, nullptr);
    link_->close();
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
    awaitingHangUp_ = false;
    linkError_.clear();
    record_.reset(givenFirmware(device_), device_.earlier);
    attempts_ = 0;
    duration_ = {};
    message_.clear();
    setPhase(Phase::Idle);
}

void DeviceRun::openLink(LinkTarget target, std::string linkText)
{
    if (busy())
        return;
    device_.link = std::move(target);
    device_.linkText = std::move(linkText);
    device_.name = device_.linkText;
    linkWasOpen_ = false;
    openedForJob_ = false;
    note("link", "opening " + device_.linkText);
    link_->open(device_.link);
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
    if (stage_ == 0 && !device_.dspPath.empty())
        return FirmwareKind::Dsp;
    if (!device_.armPath.empty())
        return FirmwareKind::Arm;
    return device_.chosen;
}

std::string DeviceRun::firmwarePath() const
{
    return firmware() == FirmwareKind::Dsp ? device_.dspPath : device_.armPath;
}

std::chrono::milliseconds DeviceRun::since(RunTime::Clock::time_point start) const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(time_.now() - start);
}

void DeviceRun::say(const std::string &text)
{
    note("run", text);
    presenter_.note(text);
}

void DeviceRun::start()
{
    if (busy())
        return;
    startedAt_ = time_.now();
    // The update matters more than its log: it goes on without one.
    if (const std::string error = trace_.openForStart(); !error.empty())
        presenter_.fault(error);
    stage_ = 0;
    awaitingHangUp_ = false;
    record_.reset(givenFirmware(device_), device_.earlier);
    if (device_.dspPath.empty() && device_.armPath.empty() &&
        (device_.earlier[0] || device_.earlier[1])) {
        // Every firmware of the run is on the device already: it is not contacted.
        record_.setOutcome(DeviceOutcome::AlreadyWritten);
        note("end", outcomeName(DeviceOutcome::AlreadyWritten));
        setPhase(Phase::Done);
        if (finished_)
            finished_();
        return;
    }
    record_.setOutcome(DeviceOutcome::Running);
    attempts_ = 1;
    linkError_.clear();
    jobUnitsBefore_ = host_.unitsSent();
    note("start", device_.name + " " + device_.linkText);
    note("holds", holdingsDetail(record_.holds()));
    setPhase(Phase::Opening);
    // A link that is open as it was chosen is used as it stands: a WiFi module
    // serves one connection at a time, and may refuse a new one while it has not
    // yet seen the old one go.
    if (link_->isOpen() && linkWasOpen_) {
        note("link", device_.linkText + " open");
        startJob();
        return;
    }
    // The window's DownLoad opens the link the technician chose again: the
    // inverter hung up as it restarted, or its WiFi module was not yet up when
    // the link was chosen. Without a link or a file its job says what is missing.
    if (settings_.keepLinkOpen && (device_.linkText.empty() || firmwarePath().empty())) {
        startJob();
        return;
    }
    open();
}

void DeviceRun::open()
{
    openedForJob_ = true;
    note("link", (device_.link.tcp ? "connecting to " : "opening ") + device_.linkText);
    link_->open(device_.link);
}

void DeviceRun::linkOpened()
{
    linkWasOpen_ = true;
    presenter_.linkChanged(true);
    if (!std::exchange(openedForJob_, false))
        return;
    note("link", device_.linkText + " open");
    if (phase_ == Phase::Opening || phase_ == Phase::Reopening)
        startJob();
}

void DeviceRun::linkOpenFailed(const std::string &reason)
{
    note("link", reason);
    // A TCP link has said why itself; a serial port is told here, once per attempt.
    if (!device_.link.tcp && phase_ != Phase::Reopening)
        presenter_.linkError(LinkFault::PortError, QString(), QString::fromStdString(reason));
    if (!std::exchange(openedForJob_, false))
        return;
    if (phase_ == Phase::Opening || phase_ == Phase::Reopening)
        linkFailed(reason);
}

void DeviceRun::linkLost()
{
    presenter_.linkChanged(false);
    if (phase_ == Phase::Running)
        lostInJob();
    else if (phase_ == Phase::Closing && awaitingHangUp_)
        hungUp();
    else if (phase_ == Phase::Closing && settings_.keepLinkOpen)
        listen(); // the inverter hung up as it restarts: nothing more comes
}

void DeviceRun::linkFailed(const std::string &reason)
{
    if (phase_ == Phase::Reopening && since(reopenSince_).count() < settings_.reopenForMs) {
        timer_->start(std::chrono::milliseconds(settings_.reopenEveryMs), [this] { open(); });
        return;
    }
    host_.setMuted(false);
    linkError_ = reason;
    failed(DeviceOutcome::LinkNotOpened, JobEnd{});
}

void DeviceRun::startJob()
{
    timer_->stop();
    decided_ = false;
    host_.setMuted(false);
    setPhase(Phase::Running);
    linkLost_ = false;
    sendingSince_.reset();
    const FirmwareKindInfo &kind = kindInfo(firmware());
    host_.newJob(kind.type, link_->serialLine());
    // The firmware after a restart may find the inverter not yet up: its job's
    // time-out is told only once no other wake-up follows.
    host_.setHoldMessages(stage_ > 0);
    jobUnitsBefore_ = host_.unitsSent();
    note("job", std::string(kind.name) + " firmware " + firmwarePath());
    job_.setFirmware(kind.type, firmwarePath());
    jobRunning_.store(true);
    if (jobStarted_)
        jobStarted_();
    // Without a file the job asks for one, also while the link the window chose is
    // closed for a moment.
    const bool askForFile =
        settings_.keepLinkOpen && !device_.linkText.empty() && firmwarePath().empty();
    job_.downLoad(link_->isOpen() || askForFile);
    if (job_.idle()) { // refused without a link or a file; its message has been shown
        jobRunning_.store(false);
        record_.setOutcome(DeviceOutcome::Waiting);
        setPhase(Phase::Idle);
    }
}

void DeviceRun::lostInJob()
{
    const JobFields f = job_.fields();
    // The job's own ending is under way (its last answer came just before the
    // close, or its wait ran out): that ending decides.
    if (!settings_.endJobWhenLinkLost || f.jobState == kNoJob || f.timeoutInProgress) {
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
        note("link", "lost before the device was erased; opening it again");
        setPhase(Phase::Reopening);
        host_.setMuted(true);
        timer_->start(std::chrono::milliseconds(settings_.reopenEveryMs), [this] { open(); });
        return;
    }
    // Nothing more can reach the device: the job ends now, not when its wait runs out.
    link_->close();
    failed(DeviceOutcome::LinkLost, job_.lastEnd());
}

void DeviceRun::tick()
{
    if (jobRunning_.load())
        job_.jobTick();
}

void DeviceRun::jobIdle()
{
    // A queued call may find the next job already under way.
    if (phase_ != Phase::Running || !job_.idle())
        return;
    jobRunning_.store(false);
    setPhase(Phase::Closing);
    const JobEnd end = job_.lastEnd();
    jobEndedAt_ = time_.now();
    if (settings_.keepLinkOpen) {
        // The link stays as the technician set it; what the device still sends is
        // counted until the line is quiet or the inverter hangs up.
        if (end.outcome == JobOutcome::Success && link_->isOpen())
            timer_->start(std::chrono::milliseconds(kQuietMs), [this] { listen(); });
        else
            verdict(end, true);
        return;
    }
    // Before a second firmware the restart is waited for from the moment the
    // inverter hangs up: a TCP link stays open until then, its answers counted.
    if (end.outcome == JobOutcome::Success && stage_ == 0 && twoFirmwares() && link_->isOpen() &&
        device_.link.tcp) {
        awaitingHangUp_ = true;
        host_.setMuted(true); // the hang-up is the restart, not a fault
        timer_->start(std::chrono::milliseconds(kLongestHangUpWaitMs), [this] { hungUp(); });
        return;
    }
    // The device restarts after an update and may close the link first: what the
    // job handed to the link is written before it closes, without holding up others.
    // Answers that keep coming are counted meanwhile; once they outnumber the
    // units the verdict stands, and a serial line is not listened to any longer.
    drainThenDecide(end);
}

void DeviceRun::drainThenDecide(const JobEnd &end)
{
    link_->closeWhenSent(
        [this, end](bool sent) {
            presenter_.linkChanged(false);
            verdict(end, sent);
        },
        [this] { return host_.answers().count().tooMany(); });
}

void DeviceRun::hungUp()
{
    if (!std::exchange(awaitingHangUp_, false))
        return;
    timer_->stop();
    if (!link_->isOpen()) {
        note("link", "the device hung up");
        presenter_.linkChanged(false);
        verdict(job_.lastEnd(), true);
        return;
    }
    // It never hung up: what is left is drained, and the restart counts from then.
    note("link", "the device did not hang up; closing the link");
    drainThenDecide(job_.lastEnd());
}

void DeviceRun::listen()
{
    if (phase_ != Phase::Closing || decided_)
        return;
    const auto quietSince = std::max(jobEndedAt_, host_.answers().lastByteAt());
    const auto quiet = since(quietSince);
    const bool heard = host_.answers().count().tooMany();
    if (link_->isOpen() && !heard && quiet.count() < kQuietMs &&
        since(jobEndedAt_).count() < kLongestListenMs) {
        timer_->start(std::chrono::milliseconds(kQuietMs) - quiet, [this] { listen(); });
        return;
    }
    timer_->stop();
    verdict(job_.lastEnd(), true);
}

void DeviceRun::verdict(JobEnd end, bool sent)
{
    if (phase_ != Phase::Closing || decided_)
        return;
    if (end.outcome != JobOutcome::Success) {
        if (wakeAgain(end))
            return;
        failed(outcomeOf(end, linkLost_), end);
        return;
    }
    if (!sent) {
        host_.dropSuccess();
        note("link", "closed before everything handed to it was written");
        const std::string why = "the link closed before the whole firmware was written to it";
        presenter_.fault(why + ": the device may be incomplete; run the update again");
        linkError_ = why;
        failed(DeviceOutcome::LinkLost, end);
        return;
    }
    const AnswerTally::Count count = host_.answers().count();
    if (count.tooMany()) {
        host_.dropSuccess();
        note("answers", count.text());
        const DeviceOutcome outcome = count.answers > count.units ? DeviceOutcome::TooManyAnswers
                                                                  : DeviceOutcome::EarlyAnswers;
        linkError_ = answersFault(count);
        failed(outcome, end, linkError_);
        return;
    }
    record_.reached(firmware(), end.step, true);
    if (stage_ > 0 || !twoFirmwares()) {
        finish(DeviceOutcome::Success);
        return;
    }
    ++stage_;
    // A device that gets two firmwares is told one success, once both are written.
    host_.dropSuccess();
    say("DSP firmware written; opening the link again for the ARM firmware");
    awaitRestart();
}

void DeviceRun::awaitRestart()
{
    setPhase(Phase::Reopening);
    note("run",
         "waiting " + std::to_string(settings_.restartWaitMs) + " ms for the device to restart");
    host_.setMuted(true); // a restarting device refuses for a while: said once
    // A wake-up sent before the restart would reach the boot loader that has
    // just finished, or a WiFi module that stays up and swallows it.
    timer_->start(std::chrono::milliseconds(settings_.restartWaitMs), [this] {
        reopenSince_ = time_.now();
        open();
    });
}

bool DeviceRun::wakeAgain(const JobEnd &end)
{
    // Only the wake-up of the firmware after a restart, only a time-out, and only
    // while the time for the restart lasts.
    if (stage_ == 0 || end.outcome != JobOutcome::TimedOut || end.step > JobStep::Connecting ||
        linkLost_ || since(reopenSince_).count() >= settings_.reopenForMs)
        return false;
    host_.dropHeld();
    note("run", "no answer to the wake-up: the device may still be restarting; opening the "
                "link again");
    link_->close();
    setPhase(Phase::Reopening);
    host_.setMuted(true);
    timer_->start(std::chrono::milliseconds(settings_.reopenEveryMs), [this] { open(); });
    return true;
}

void DeviceRun::failed(DeviceOutcome outcome, JobEnd end, std::string why)
{
    host_.dropSuccess();
    host_.tellHeld();
    // The second firmware's wake-up never answered: the restart may take longer.
    if (stage_ > 0 && end.step <= JobStep::Connecting && outcome != DeviceOutcome::Interrupted) {
        const int seconds = 2 * std::max(settings_.restartWaitMs / 1000, 3);
        why = "the inverter may still be restarting" +
              (settings_.longerRestartWait.empty()
                   ? std::string()
                   : ": try " + settings_.longerRestartWait + " " + std::to_string(seconds));
    }
    record_.failed(outcome, firmware(), end, std::move(why));
    if (outcome == DeviceOutcome::LinkLost && linkError_.empty())
        linkError_ = stopped("link lost");
    if (!worthAnotherAttempt(outcome) || attempts_ > static_cast<int>(settings_.retries)) {
        finish(outcome);
        return;
    }
    setPhase(Phase::Pausing);
    say(std::string(outcomeName(outcome)) + "; attempt " + std::to_string(attempts_ + 1) + " of " +
        std::to_string(settings_.retries + 1) + " in " +
        std::to_string(settings_.retryPauseMs / 1000) + " s");
    timer_->start(std::chrono::milliseconds(settings_.retryPauseMs), [this] {
        ++attempts_;
        linkError_.clear(); // each attempt ends with its own message
        setPhase(Phase::Opening);
        open();
    });
}

void DeviceRun::finish(DeviceOutcome outcome)
{
    timer_->stop();
    decided_ = true;
    if (outcome == DeviceOutcome::Success)
        record_.succeeded(job_.lastEnd());
    else
        record_.setOutcome(outcome);
    duration_ = since(startedAt_);
    message_ = linkError_.empty() ? host_.lastMessage() : linkError_;
    if (!settings_.keepLinkOpen || outcome == DeviceOutcome::Interrupted) {
        const bool wasOpen = link_->isOpen();
        link_->close();
        if (wasOpen)
            presenter_.linkChanged(false);
    }
    note("end", outcomeName(outcome));
    note("holds", holdingsDetail(record_.holds()));
    // A front end that shows the success in a box waits there, the run still busy
    // (its commands disabled) as while a job's box is open.
    if (outcome == DeviceOutcome::Success)
        host_.tellSuccess();
    setPhase(Phase::Done);
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
        record_.setOutcome(DeviceOutcome::NotStarted);
        return;
    }
    timer_->stop();
    JobEnd end{JobOutcome::Abandoned, kNoJob, JobStep::NotStarted};
    if (phase_ == Phase::Running || phase_ == Phase::Closing) {
        job_.abandon(); // closes the firmware file
        end = job_.lastEnd();
        // Only the closing of the link was cut short: the answers so far decide.
        if (end.outcome == JobOutcome::Success && !host_.answers().count().tooMany()) {
            record_.reached(firmware(), end.step, true);
            if (stage_ > 0 || !twoFirmwares()) {
                finish(DeviceOutcome::Success);
                return;
            }
            ++stage_; // the DSP firmware is written; the ARM firmware's job never began
            end = JobEnd{JobOutcome::Abandoned, kNoJob, JobStep::NotStarted};
        }
    }
    awaitingHangUp_ = false;
    host_.dropSuccess();
    jobRunning_.store(false);
    record_.failed(DeviceOutcome::Interrupted, firmware(), end);
    const std::string said = stopped("interrupted");
    if (signal != 0)
        note("signal", said); // after a hang-up nobody reads the terminal
    presenter_.fault(said);
    linkError_ = said; // the message of a job that ended before would mislead
    finish(DeviceOutcome::Interrupted);
}

void DeviceRun::shutDown()
{
    timer_->stop();
    job_.abandon();
    jobRunning_.store(false);
    link_->attach(nullptr, nullptr, nullptr);
    link_->close();
}

DeviceResult DeviceRun::result() const
{
    DeviceResult r;
    r.outcome = record_.outcome();
    r.failedFirmware = record_.failedFirmware();
    r.end = record_.end();
    r.attempts = attempts_;
    r.message = message_;
    // A job under way has reached its step: a report made now says what the
    // device may hold if the run goes no further.
    DeviceRecord record = record_;
    if (phase_ == Phase::Running || phase_ == Phase::Closing) {
        const JobFields f = job_.fields();
        if (f.jobState != kNoJob)
            record.reached(firmware(), stepOf(f.firmwareType, f.jobState));
    }
    r.deviceHolds = record.deviceHolds();
    r.mayBeHalfWritten = record.mayBeHalfWritten();
    r.holds = record.holds();
    r.touched = record.touched();
    r.unitsSent = host_.unitsSent();
    r.bytesSent = host_.bytesSent();
    r.lastStatus = host_.lastStatus();
    r.duration = busy() ? since(startedAt_) : duration_;
    return r;
}

std::string DeviceRun::whereItStopped() const
{
    return stopped({});
}

std::string DeviceRun::stopped(const std::string &word) const
{
    return record_.stopped(word, host_.unitsSent() - jobUnitsBefore_, host_.lastStatus());
}

JobView DeviceRun::jobView() const
{
    return {job_.fields(), job_.armCounters()};
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
        r.status = "attempt " + std::to_string(attempts_ + 1) + " soon";
        return r;
    case Phase::Closing:
    case Phase::Done:
        r.status = phase_ == Phase::Done ? outcomeName(record_.outcome()) : "closing the link";
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
        sendingSince_ = time_.now();
    if (sendingSince_)
        r.sending = since(*sendingSince_);
    return r;
}

} // namespace updater::run
