#pragma once

#include <QString>

namespace updater {

// What a link reports.
enum class LinkFault
{
    PortError,     // a step of the serial port failed; the port may still be open
    ConnectFailed, // a TCP connection could not be made; the link is not open
    Closed,        // the link chosen last went away by itself (see reportLinkClosed)
};

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
    // Each failure is reported once, here, with what the link saw.
    virtual void reportLinkError(LinkFault fault, const QString &caption, const QString &text) = 0;
    // The link chosen last went away by itself: the device closed the connection
    // or the port hung up. text says so as an error box would; status in a few
    // words for a status line ("Connection to 127.0.0.1:8899 closed"). Only the
    // side that knows whether a job was using the link can tell whether that is
    // an error; by default it is reported as one.
    virtual void reportLinkClosed(const QString &caption, const QString &text,
                                  const QString &status)
    {
        (void)status;
        reportLinkError(LinkFault::Closed, caption, text);
    }
};

} // namespace updater
