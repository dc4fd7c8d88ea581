#pragma once

#include "Console.h"

#include "DevicePresenter.h"

#include <string>

namespace updater::cli {

// One device's run said on a terminal: each new status text on its own line on
// standard output, the final message last, errors on standard error, nothing
// that waits for an answer. In a fleet every line starts with the device's name
// and link, after the time of day (a site log shows when each device failed);
// while a live table shows the devices nothing is said.
class CliPresenter : public run::DevicePresenter
{
public:
    CliPresenter(Console &console, bool echo, std::string prefix)
        : console_(console), echo_(echo), prefix_(std::move(prefix))
    {
    }

    void statusLine(StatusLine line, const std::string &text) override;
    void message(MessageKind kind, const std::string &text) override;
    void linkError(LinkFault fault, const QString &caption, const QString &text) override;
    void fault(const std::string &text) override;
    void note(const std::string &text) override;

private:
    // "12:03:07 inv-07 10.0.0.7:8899 " in a fleet, "" for one device.
    std::string lead() const;

    Console &console_;
    const bool echo_;
    const std::string prefix_; // "inv-07 10.0.0.7:8899 " in a fleet
};

} // namespace updater::cli
