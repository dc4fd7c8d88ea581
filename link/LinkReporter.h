#pragma once

#include <QString>

namespace updater {

// Caption of the serial link's error box (shown with the stop icon).
inline constexpr const char kPortErrorCaption[] = "Application Error";

// Where a link shows its errors: the window with a message box (stop icon, OK
// button), the command-line tool on standard error.
//
// The link calls it only on the thread that created the link object (the UI
// thread in the window), never on its communication thread, so an implementation
// may block until the user has closed the message. A communication thread that
// meets a failure hands the text over to that thread and goes on at once; it never
// waits for the UI thread.
class ILinkReporter
{
public:
    virtual ~ILinkReporter() = default;
    virtual void reportLinkError(const QString &caption, const QString &text) = 0;
};

} // namespace updater
