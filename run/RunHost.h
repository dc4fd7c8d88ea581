#pragma once

#include "AnswerTally.h"
#include "DevicePresenter.h"
#include "RunTime.h"
#include "TraceLog.h"

#include "JobHost.h"
#include "LinkReporter.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace updater {
class DeviceLink;
class UpdateJob;
} // namespace updater

namespace updater::run {

// The host of one device's job and the reporter of its link: sends go to the
// link, everything shown goes to the trace and then to the front end's presenter.
// Counts what was sent and keeps the last status and message for the run's own
// texts.
//
// A job's success is not the device's: the run decides once the link has been
// drained and the answers counted. Until then the job's success message and the
// hiding of its progress bar are held back; the run tells them (tellSuccess) or
// drops them (dropSuccess) and says its own verdict.
class RunHost : public IJobHost, public ILinkReporter
{
public:
    RunHost(DevicePresenter &presenter, TraceLog &trace, RunTime &time)
        : presenter_(presenter), trace_(trace), time_(time)
    {
    }

    // The link this host sends on; it outlives every call made to it.
    void attach(DeviceLink *link) { link_ = link; }
    // While muted (a restarting device is being reached again) status texts and
    // link errors are traced but not shown.
    void setMuted(bool muted) { muted_.store(muted); }
    // Another job of firmwareType starts on this host: its status texts are all
    // shown again, and its answers are counted afresh.
    void newJob(std::int32_t firmwareType, bool serialLine);
    // Called, from whatever thread ends the job, once the job is idle again.
    void setOnIdle(std::function<void()> onIdle) { onIdle_ = std::move(onIdle); }
    // Called, on the link's thread, when a TCP connection could not be made.
    // reason names the address, the port and the cause.
    void setOnConnectFailed(std::function<void(const std::string &reason)> f)
    {
        onConnectFailed_ = std::move(f);
    }

    void sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t jobState) override;
    void setLineText(StatusLine line, const std::string &text) override;
    void setProgressVisible(bool visible) override;
    void setProgressPos(std::uint32_t percent) override;
    void showMessage(MessageKind kind, const std::string &text) override;
    void idleChanged(bool idle) override;

    void reportLinkError(LinkFault fault, const QString &caption, const QString &text) override;
    void reportLinkClosed(const QString &caption, const QString &text,
                          const QString &status) override;

    // The success the last job ended with, held back: shown now, with the progress
    // bar at 100 % until the message has been seen. On the run's thread.
    void tellSuccess();
    // The run failed after all: the held success is never shown.
    void dropSuccess();
    // While set (a job the run may try again), every message a job ends with is
    // held back, not only a success: the run tells it (tellHeld) once it fails,
    // or drops it (dropHeld) when it tries again.
    void setHoldMessages(bool hold) { holdMessages_.store(hold); }
    void tellHeld();
    void dropHeld();

    bool progressVisible() const { return progressVisible_.load(); }
    // The acknowledgements of the last job against its units.
    AnswerTally &answers() { return answers_; }
    const AnswerTally &answers() const { return answers_; }
    int unitsSent() const { return unitsSent_.load(); }
    std::uint64_t bytesSent() const { return bytesSent_.load(); }
    // The message that ended the last job ("" before the first).
    std::string lastMessage() const;
    // The last status text that was not empty ("" before the first).
    std::string lastStatus() const;

private:
    DevicePresenter &presenter_;
    TraceLog &trace_;
    RunTime &time_;
    DeviceLink *link_ = nullptr;
    std::function<void()> onIdle_;
    std::function<void(const std::string &)> onConnectFailed_;
    std::atomic<bool> muted_{false};
    std::atomic<bool> progressVisible_{false};
    std::atomic<int> unitsSent_{0};
    std::atomic<std::uint64_t> bytesSent_{0};
    AnswerTally answers_;
    mutable std::mutex linesMutex_; // guards the texts below; a leaf lock
    // The lines as shown; none after newJob(), so that even a blank comes through.
    std::optional<std::string> fileLine_, connectLine_, programLine_;
    std::string lastStatus_, lastMessage_;
    std::optional<std::string> heldSuccess_; // the job's success message, not yet told
    std::atomic<bool> holdMessages_{false};
    std::optional<std::pair<MessageKind, std::string>> heldOther_;
    bool heldHide_ = false; // the progress bar to hide after it
};

// Where the link hands every received byte: traced, then given to the job.
class TracingSink : public IByteSink
{
public:
    TracingSink(UpdateJob &job, TraceLog &trace, AnswerTally &answers, RunTime &time)
        : job_(job), trace_(trace), answers_(answers), time_(time)
    {
    }
    void receiveByte(std::uint8_t byte) override;

private:
    UpdateJob &job_;
    TraceLog &trace_;
    AnswerTally &answers_;
    RunTime &time_;
};

} // namespace updater::run
