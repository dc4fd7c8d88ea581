#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace updater {

class IByteSink;
class ILinkReporter;

// The link a device is reached by.
struct LinkTarget
{
    bool tcp = true;
    unsigned comNumber = 0; // serial: n of "COM<n>", 0 when a device path was given
    std::string serialPath; // serial: the device path, when no COM name was given
    std::string tcpAddress; // tcp: dotted IPv4 address or host name
    std::uint16_t tcpPort = 8899;
};

// What a link tells whoever holds it. Always on the thread that opens the link,
// from its event loop: never from inside open(), close() or closeWhenSent().
class LinkEvents
{
public:
    virtual ~LinkEvents() = default;
    // The link is open and can carry a job: a serial port that opened with its
    // configuration, a TCP connection that completed.
    virtual void linkOpened() = 0;
    // The link could not be opened; reason names the port or the address and the
    // cause: "COM3 (/dev/ttyUSB0): no such port", "127.0.0.1:8899: connection refused".
    virtual void linkOpenFailed(const std::string &reason) = 0;
    // An open link went away by itself (the device hung up, the adapter was
    // pulled out), after the reporter has said why. Not after close().
    virtual void linkLost() = 0;
};

// One device's link, as a run uses it: open a target, send blocks, close once
// what was handed over is written. Received bytes go to the sink one at a time,
// in arrival order; what the link has to report goes to the reporter.
class DeviceLink
{
public:
    virtual ~DeviceLink() = default;

    // Where bytes, reports and events go; before the first open().
    virtual void attach(IByteSink *sink, ILinkReporter *reporter, LinkEvents *events) = 0;
    // Closes whatever is open and opens target; linkOpened() or linkOpenFailed() follows.
    virtual void open(const LinkTarget &target) = 0;
    // True while the link can carry a job. Any thread.
    virtual bool isOpen() const = 0;
    // The link opened last is a serial line (answers cross it at 9600 baud).
    virtual bool serialLine() const = 0;
    // Hands a block over for sending. Any thread, also with the job lock held:
    // returns at once. Nothing is sent while no link is open.
    virtual void send(const std::uint8_t *data, std::size_t length) = 0;
    // Closes at once; no event follows.
    virtual void close() = 0;
    // Closes once every block handed over has been written, while what the device
    // still sends goes to the sink: a TCP connection until the device closes it or
    // stays quiet, a serial line until it has been quiet (at most a few seconds;
    // earlier once settled() holds). done(sent) follows from the event loop;
    // sent is false when something handed over was never written. Not at all
    // when close() comes first.
    virtual void closeWhenSent(std::function<void(bool sent)> done,
                               std::function<bool()> settled = {}) = 0;
};

} // namespace updater
