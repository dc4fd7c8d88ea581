// The link as a device's run holds it: open a target, and hear what became of it
// from the event loop.
#include "FileDownCom.h"
#include "LinkTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
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
        seen.push_back("lost after reports: " + std::to_string(reporter_.count()));
    }
    std::vector<std::string> seen;

private:
    const RecordingReporter &reporter_;
};

updater::LinkTarget target(bool tcp, unsigned com, const std::string &path, quint16 port = 0)
{
    return {tcp, com, path, "127.0.0.1", port};
}

} // namespace

// The device end is a pseudo-terminal ("pty", also as COM7) or a listener on
// 127.0.0.1, closed before the open where nothing listens; a device that hangs up
// is lost.
TEST(DeviceLinkOpen, TellsFromTheEventLoopWhetherTheLinkOpenedAndWhenItWasLost)
{
    const struct
    {
        bool tcp;
        unsigned com;
        std::string path, com7; // "pty": the pseudo-terminal's name
        bool listening, hangUp;
        std::vector<std::string> told; // "{port}": the listener's
    } rows[] = {
        {false, 0, "pty", "", true, true, {"opened", "lost after reports: 1"}},
        {false, 7, "", "pty", true, false, {"opened"}},
        {false,
         7,
         "",
         "/dev/no-such-port-here",
         true,
         false,
         {"failed: COM7 (/dev/no-such-port-here): no such port"}},
        {false,
         0,
         "/dev/no-such-port-here",
         "",
         true,
         false,
         {"failed: /dev/no-such-port-here: no such port"}},
        {true, 0, "", "", true, true, {"opened", "lost after reports: 1"}},
        {true, 0, "", "", false, false, {"failed: 127.0.0.1:{port}: Connection refused"}},
    };
    for (const auto &row : rows) {
        Pty pty;
        PlainListener listener;
        const auto named = [&](const std::string &path) {
            return path == "pty" ? pty.name().toStdString() : path;
        };
        SCOPED_TRACE(row.told.back() + " " + row.path + row.com7);
        std::vector<std::string> told = row.told;
        if (const auto at = told.back().find("{port}"); at != std::string::npos)
            told.back().replace(at, 6, std::to_string(listener.port()));
        if (!row.listening)
            listener.close();
        if (!row.com7.empty())
            ::setenv("UPDATER_COM7", named(row.com7).c_str(), 1);
        RecordingSink sink;
        RecordingReporter reporter;
        RecordingEvents events(reporter);
        CFileDownCom link;
        link.attach(&sink, &reporter, &events);
        link.open(target(row.tcp, row.com, named(row.path), listener.port()));
        ::unsetenv("UPDATER_COM7");
        EXPECT_TRUE(events.seen.empty()) << "told from inside open()";
        EXPECT_TRUE(waitUntil([&] { return !events.seen.empty(); }));
        EXPECT_EQ(link.isOpen(), told.front() == "opened");
        EXPECT_EQ(link.serialLine(), !row.tcp);
        if (row.hangUp && row.tcp) {
            if (auto peer = listener.accept())
                peer->close();
        } else if (row.hangUp) {
            pty.closeDevice();
        }
        EXPECT_TRUE(waitUntil([&] { return events.seen.size() >= told.size(); }));
        spinFor(50);
        EXPECT_EQ(events.seen, told);
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
    link.open(target(false, 0, pty.name().toStdString()));
    EXPECT_TRUE(link.isOpen());
    link.close();
    bool done = false;
    link.open(target(false, 0, pty.name().toStdString()));
    link.closeWhenSent([&](bool) { done = true; });
    link.close();
    spinFor(700); // longer than the quiet a serial close once sent waits for
    EXPECT_EQ(events.seen, std::vector<std::string>{});
    EXPECT_FALSE(done);
    EXPECT_FALSE(link.isOpen());
}
