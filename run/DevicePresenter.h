#pragma once

#include "JobHost.h"
#include "LinkReporter.h"

#include <QString>

#include <cstdint>
#include <string>

namespace updater::run {

// How a front end shows one device's run: the window with its form and boxes,
// updater-cli with lines, a progress bar or a table. The run has already traced
// whatever it hands over.
class DevicePresenter
{
public:
    virtual ~DevicePresenter() = default;

    // A line of the form changed (UTF-8; the same text is not handed over twice in
    // a row). Any thread, with the job lock held: return at once, never wait.
    virtual void statusLine(StatusLine line, const std::string &text) = 0;
    // The progress bar (0..100, may run past 100): any thread, job lock held.
    virtual void progressVisible(bool visible) { (void)visible; }
    virtual void progressPos(std::uint32_t percent) { (void)percent; }
    // The message that ends a job (or refuses to start one). Any thread, no lock
    // held; the window blocks here until its box is closed. A job's success comes
    // only once the run has found the device's answers sound, on the run's thread.
    virtual void message(MessageKind kind, const std::string &text) = 0;
    // The job's idle flag changed. Any thread, job lock held.
    virtual void idleChanged(bool idle) { (void)idle; }
    // The link's own reports, on the thread that created the link.
    virtual void linkError(LinkFault fault, const QString &caption, const QString &text) = 0;
    virtual void linkClosed(const QString &caption, const QString &text, const QString &status)
    {
        (void)status;
        linkError(LinkFault::Closed, caption, text);
    }
    // What went wrong, in one line, beyond the job's own message: "time-out while
    // programming (job state 3, 41 units sent, ...): the device may be half-written;
    // run the update again". On the run's thread.
    virtual void fault(const std::string &text) { (void)text; }
    // The device's link opened or closed (also by the far end). On the run's thread.
    virtual void linkChanged(bool open) { (void)open; }
    // What the run itself says between jobs ("DSP firmware written; opening the
    // link again for the ARM firmware"), on the run's thread.
    virtual void note(const std::string &text) { (void)text; }
    // The run's phase changed (DeviceRun::phase()): a front end that enables its
    // commands by it looks again. On the run's thread.
    virtual void phaseChanged() {}
};

} // namespace updater::run
