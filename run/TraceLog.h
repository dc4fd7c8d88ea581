#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace updater::run {

// The support log of one job (--trace): one line per unit sent and per byte
// received that moved the job, with the milliseconds since the start, the
// direction, the job state and the bytes in hex; the status texts, messages and
// link errors in order. Bytes that the job ignores are gathered into one line per
// run, so a device that floods the line cannot make the log grow without bound.
// Any thread. Every line is flushed, so the log survives a crash or a kill.
class TraceLog
{
public:
    // Blocks of more than this many bytes are shortened to their first and last bytes.
    static constexpr std::size_t kWholeBlock = 24;
    // A run of ignored bytes is written once it has lasted this long, so a flood
    // that never stops still leaves a line now and then.
    static constexpr std::chrono::milliseconds kLongestRun{1000};

    ~TraceLog();

    // Returns an empty string, or why the file cannot be written. A write that
    // fails later is told once to onFailure; the log then stops.
    std::string open(const std::string &path,
                     std::function<void(const std::string &)> onFailure = {});
    bool isOpen() const;
    // Writes what waits and closes the file; later lines are dropped.
    void close();
    // Counts the milliseconds of the lines from now on (a log of the next job).
    void restartClock();

    void sent(int jobState, const std::uint8_t *data, std::size_t length);
    // A received byte, before the job handles it; then, once it has, whether the
    // job acted on it. A line that the handling writes (a unit sent) puts the
    // byte's own line first.
    void received(int jobState, std::uint8_t byte);
    void handled(bool acted);
    // A line without bytes: what ("line 1003", "message", "link", "exit") and text.
    void note(const std::string &what, const std::string &text);

private:
    using Clock = std::chrono::steady_clock;
    struct Received
    {
        Clock::time_point at;
        int jobState = -1;
        std::uint8_t byte = 0;
        std::thread::id handler; // the thread that hands the byte to the job
    };
    struct IgnoredRun
    {
        Clock::time_point since;
        int jobState = -1;
        std::uint64_t count = 0;
        std::array<std::uint8_t, 8> first{};
    };

    void write(const std::string &rest);
    void writeLocked(Clock::time_point at, const std::string &rest);
    // Writes the run of ignored bytes, and the received byte still waiting for its
    // line when asked to (a line that its handling caused comes next).
    void flushLocked(bool withReceived = true);
    void reportFailure(const std::string &reason);

    struct Closer
    {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    mutable std::mutex mutex_; // guards everything below but failed_
    std::unique_ptr<std::FILE, Closer> file_;
    std::string path_;
    std::function<void(const std::string &)> onFailure_;
    std::atomic<bool> failed_{false};
    bool hasReceived_ = false;
    Received received_;
    IgnoredRun run_;
    Clock::time_point start_ = Clock::now();
};

// Which trace file a device's run writes, and when it is open: a fleet gives each
// device a path that is opened when the device starts and closed when it is done,
// so that only the traces of the devices under way are open; the window opens one
// file per job; updater-cli opens its one trace before anything is contacted.
class DeviceTrace
{
public:
    TraceLog &log() { return log_; }
    // Opens path now; returns the fault. A write that fails later goes to onFailure.
    std::string open(const std::string &path,
                     std::function<void(const std::string &)> onFailure = {})
    {
        return log_.open(path, std::move(onFailure));
    }
    // The file opened when the device starts.
    void setPath(std::string path) { path_ = std::move(path); }
    // The device starts: its file is opened unless it is already; returns the fault.
    std::string openForStart()
    {
        return path_.empty() || log_.isOpen() ? std::string() : log_.open(path_);
    }
    // The window: the trace of its next job, in place of the one before, its
    // times counted from now.
    std::string openForJob(const std::string &path)
    {
        log_.close();
        std::string error = log_.open(path);
        log_.restartClock();
        return error;
    }
    void close() { log_.close(); }

private:
    TraceLog log_;
    std::string path_;
};

// "FA 66 6C", or for a long block "02 01 FE 00 11 22 33 44 ... 1A 10 (1029 bytes)".
std::string hexBytes(const std::uint8_t *data, std::size_t length, std::size_t whole);

} // namespace updater::run
