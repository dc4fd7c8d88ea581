#pragma once

#include "Console.h"
#include "TraceLog.h"

#include "JobHost.h"
#include "LinkReporter.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

class CFileDownCom;

namespace updater {
class UpdateJob;
}

namespace updater::cli {

// What the update job shows, said on a terminal: each new status text on its own
// line, the final message last, nothing that waits for an answer. Also where the
// link reports its errors (standard error).
class CliHost : public IJobHost, public ILinkReporter
{
public:
    CliHost(Console &console, TraceLog &trace) : console_(console), trace_(trace) {}

    // The link this host sends on; it outlives every call made to it.
    void attach(CFileDownCom *link) { link_ = link; }
    // One of many devices: every line said starts with prefix ("inv-07 10.0.0.7:8899 "),
    // or, with echo false, nothing is said (a table shows the devices instead).
    void setEcho(bool echo, std::string prefix)
    {
        echo_ = echo;
        prefix_ = std::move(prefix);
    }
    // Another job starts on this host: its status texts are all said again.
    void newJob();
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
    void setProgressVisible(bool visible) override { progressVisible_.store(visible); }
    void setProgressPos(std::uint32_t) override {} // the bar follows the job's byte count
    void showMessage(MessageKind kind, const std::string &text) override;
    void idleChanged(bool idle) override;

    void reportLinkError(LinkFault fault, const QString &caption, const QString &text) override;

    bool progressVisible() const { return progressVisible_.load(); }
    int unitsSent() const { return unitsSent_.load(); }
    std::uint64_t bytesSent() const { return bytesSent_.load(); }
    // The message that ended the last job ("" before the first).
    std::string lastMessage() const;
    // The status text printed last ("" before the first).
    std::string lastStatus() const;

private:
    Console &console_;
    TraceLog &trace_;
    CFileDownCom *link_ = nullptr;
    std::function<void()> onIdle_;
    std::function<void(const std::string &)> onConnectFailed_;
    std::atomic<bool> progressVisible_{false};
    std::atomic<int> unitsSent_{0};
    std::atomic<std::uint64_t> bytesSent_{0};
    bool echo_ = true;
    std::string prefix_;
    mutable std::mutex linesMutex_; // guards the texts below; a leaf lock
    std::string connectLine_, programLine_, lastStatus_, lastMessage_;
};

// Where the link hands every received byte: logged for --trace, then given to the job.
class TracingSink : public IByteSink
{
public:
    TracingSink(UpdateJob &job, TraceLog &trace) : job_(job), trace_(trace) {}
    void receiveByte(std::uint8_t byte) override;

private:
    UpdateJob &job_;
    TraceLog &trace_;
};

} // namespace updater::cli
