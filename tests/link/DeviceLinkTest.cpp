// The link as a device's run holds it: open a target, and hear what became of it
// from the event loop.
#include "FileDownCom.h"
#include "LinkTestSupport.h"
#include "PortName.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace linktest;

namespace {

// Each event as text; a lost link says how many reports had come before it.
class RecordingEvents : public updater::LinkEvents
{
public:
    explicit RecordingEvents(const RecordingReporter &reporter) : reporter_(reporter) {}
    void linkOpened() override { seen.push_back("opened"); }
    void linkOpenFailed(const std::string &reason) override { seen.push_back("failed: " + reason); }
    void linkLost() override
    {
        seen.push_back("lost after " + std::to_string(reporter_.count()) + " report");
    }
    std::vector<std::string> seen;

private:
    const RecordingReporter &reporter_;
};

// The device end of one case.
struct Device
{
    Pty pty;
    std::unique_ptr<PlainListener> listener = std::make_unique<PlainListener>();
    std::string port() const { return std::to_string(listener->port()); }
};

updater::LinkTarget serialPath(const std::string &path)
{
    updater::LinkTarget target;
    target.tcp = false;
    target.serialPath = path;
    return target;
}

updater::LinkTarget loopback(quint16 port)
{
    updater::LinkTarget target;
    target.tcpAddress = "127.0.0.1";
    target.tcpPort = port;
    return target;
}

struct OpenCase
{
    const char *name;
    std::function<updater::LinkTarget(Device &)> target;
    // What the link tells once open() has returned, and after hangUp, if any.
    std::function<std::vector<std::string>(const Device &)> told;
    std::function<void(Device &)> hangUp;
};

const OpenCase kOpenCases[] = {
    {"pseudo-terminal", [](Device &d) { return serialPath(d.pty.name().toStdString()); },
     [](const Device &) {
         return std::vector<std::string>{"opened", "lost after 1 report"};
     },
     [](Device &d) { d.pty.closeDevice(); }},
    {"COM number of a pseudo-terminal",
     [](Device &d) {
         ::setenv("UPDATER_COM7", d.pty.name().toLocal8Bit().constData(), 1);
         updater::LinkTarget target;
         target.tcp = false;
         target.comNumber = 7;
         return target;
     },
     [](const Device &) { return std::vector<std::string>{"opened"}; }, nullptr},
    {"COM number of no device",
     [](Device &) {
         ::setenv("UPDATER_COM7", "/dev/no-such-port-here", 1);
         updater::LinkTarget target;
         target.tcp = false;
         target.comNumber = 7;
         return target;
     },
     [](const Device &) {
         return std::vector<std::string>{"failed: COM7 (/dev/no-such-port-here): no such port"};
     },
     nullptr},
    {"device path of no device", [](Device &) { return serialPath("/dev/no-such-port-here"); },
     [](const Device &) {
         return std::vector<std::string>{"failed: /dev/no-such-port-here: no such port"};
     },
     nullptr},
    {"127.0.0.1", [](Device &d) { return loopback(d.listener->port()); },
     [](const Device &) {
         return std::vector<std::string>{"opened", "lost after 1 report"};
     },
     [](Device &d) {
         if (auto peer = d.listener->accept())
             peer->close();
     }},
    {"127.0.0.1 where nothing listens",
     [](Device &d) {
         const quint16 port = d.listener->port();
         d.listener->close();
         return loopback(port);
     },
     [](const Device &d) {
         return std::vector<std::string>{"failed: 127.0.0.1:" + d.port() + ": Connection refused"};
     },
     nullptr},
};

} // namespace

TEST(DeviceLinkOpen, TellsFromTheEventLoopWhetherTheLinkOpenedAndWhenItWasLost)
{
    for (const OpenCase &row : kOpenCases) {
        SCOPED_TRACE(row.name);
        Device device;
        RecordingSink sink;
        RecordingReporter reporter;
        RecordingEvents events(reporter);
        CFileDownCom link;
        link.attach(&sink, &reporter, &events);
        const updater::LinkTarget target = row.target(device);
        const std::string port = device.port(); // before a hang-up closes the listener
        link.open(target);
        ::unsetenv("UPDATER_COM7");
        EXPECT_TRUE(events.seen.empty()) << "told from inside open()";
        std::vector<std::string> told = row.told(device);
        const std::size_t beforeHangUp = row.hangUp ? told.size() - 1 : told.size();
        ASSERT_TRUE(waitUntil([&] { return events.seen.size() >= beforeHangUp; }))
            << (events.seen.empty() ? "nothing told" : events.seen.back());
        EXPECT_EQ(link.isOpen(), told.front() == "opened");
        if (row.hangUp) {
            row.hangUp(device);
            ASSERT_TRUE(waitUntil([&] { return events.seen.size() >= told.size(); }));
            EXPECT_FALSE(link.isOpen());
        }
        spinFor(50);
        EXPECT_EQ(events.seen, told);
        EXPECT_EQ(link.serialLine(), !target.tcp);
    }
}

TEST(DeviceLinkOpen, NothingIsToldOfALinkClosedBeforeTheEventLoopRan)
{
    Pty pty;
    RecordingSink sink;
    RecordingReporter reporter;
    RecordingEvents events(reporter);
    CFileDownCom link;
    link.attach(&sink, &reporter, &events);
    link.open(serialPath(pty.name().toStdString()));
    EXPECT_TRUE(link.isOpen());
    link.close();
    std::vector<bool> dones;
    link.open(serialPath(pty.name().toStdString()));
    link.closeWhenSent([&](bool sent) { dones.push_back(sent); });
    link.close();
    spinFor(700); // longer than the quiet a serial close once sent waits for
    EXPECT_TRUE(events.seen.empty()) << events.seen.front();
    EXPECT_TRUE(dones.empty());
    EXPECT_FALSE(link.isOpen());
}
