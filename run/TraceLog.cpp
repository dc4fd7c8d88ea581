#include "TraceLog.h"

#include "SystemFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace updater::run {

namespace {

constexpr std::size_t kHeadBytes = 8;
constexpr std::size_t kTailBytes = 4;

void appendHex(std::string &out, const std::uint8_t *data, std::size_t count)
{
    char text[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, i + 1 < count ? "%02X " : "%02X", data[i]);
        out += text;
    }
}

} // namespace

std::string hexBytes(const std::uint8_t *data, std::size_t length, std::size_t whole)
{
    std::string out;
    if (length <= whole) {
        appendHex(out, data, length);
        return out;
    }
    appendHex(out, data, kHeadBytes);
    out += " ... ";
    appendHex(out, data + length - kTailBytes, kTailBytes);
    return out;
}

TraceLog::~TraceLog()
{
    std::lock_guard lock(mutex_);
    if (file_ && !failed_.load())
        flushLocked();
}

bool TraceLog::isOpen() const
{
    std::lock_guard lock(mutex_);
    return file_ != nullptr && !failed_.load();
}

void TraceLog::close()
{
    std::lock_guard lock(mutex_);
    if (file_ && !failed_.load())
        flushLocked();
    file_.reset();
}

void TraceLog::restartClock()
{
    std::lock_guard lock(mutex_);
    start_ = Clock::now();
}

std::string TraceLog::open(const std::string &path,
                           std::function<void(const std::string &)> onFailure)
{
    std::lock_guard lock(mutex_);
    file_.reset(openFile(path, "w"));
    if (!file_)
        return path + ": cannot write the trace file: " + std::strerror(errno);
    failed_.store(false); // a file that failed before is not this one
    path_ = path;
    onFailure_ = std::move(onFailure);
    return {};
}

void TraceLog::sent(int jobState, const std::uint8_t *data, std::size_t length)
{
    if (!isOpen())
        return;
    write("> state " + std::to_string(jobState) + "  " + hexBytes(data, length, kWholeBlock) +
          "  (" + std::to_string(length) + (length == 1 ? " byte)" : " bytes)"));
}

void TraceLog::received(int jobState, std::uint8_t byte)
{
    if (!isOpen())
        return;
    std::lock_guard lock(mutex_);
    if (hasReceived_)
        flushLocked(); // a byte left undecided keeps its own line
    received_ = {Clock::now(), jobState, byte, std::this_thread::get_id()};
    hasReceived_ = true;
}

void TraceLog::handled(bool acted)
{
    if (!isOpen())
        return;
    std::lock_guard lock(mutex_);
    if (!std::exchange(hasReceived_, false))
        return; // a line that the byte caused has written it already
    if (acted) {
        hasReceived_ = true;
        flushLocked();
        return;
    }
    const Received &r = received_;
    if (run_.count > 0 && (run_.jobState != r.jobState || r.at - run_.since >= kLongestRun))
        flushLocked();
    if (run_.count == 0) {
        run_.since = r.at;
        run_.jobState = r.jobState;
    }
    if (run_.count < run_.first.size())
        run_.first[run_.count] = r.byte;
    ++run_.count;
}

void TraceLog::note(const std::string &what, const std::string &text)
{
    if (!isOpen())
        return;
    write(what + ": " + text);
}

void TraceLog::write(const std::string &rest)
{
    // The time is taken under the lock, so the lines stay in time order. A line of
    // another thread (a tick) says nothing about the byte being handled meanwhile.
    std::lock_guard lock(mutex_);
    flushLocked(received_.handler == std::this_thread::get_id());
    writeLocked(Clock::now(), rest);
}

void TraceLog::flushLocked(bool withReceived)
{
    if (run_.count > 0) {
        const std::size_t shown = std::min<std::size_t>(run_.count, run_.first.size());
        writeLocked(run_.since, "< state " + std::to_string(run_.jobState) + "  " +
                                    hexBytes(run_.first.data(), shown, shown) +
                                    (run_.count > shown ? " ..." : "") + "  (" +
                                    std::to_string(run_.count) +
                                    (run_.count == 1 ? " byte" : " bytes") + " ignored)");
        run_.count = 0;
    }
    if (withReceived && std::exchange(hasReceived_, false)) {
        writeLocked(received_.at, "< state " + std::to_string(received_.jobState) + "  " +
                                      hexBytes(&received_.byte, 1, 1));
    }
}

void TraceLog::writeLocked(Clock::time_point at, const std::string &rest)
{
    if (failed_.load())
        return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - start_).count();
    errno = 0;
    if (std::fprintf(file_.get(), "%8lld ms  %s\n", static_cast<long long>(ms), rest.c_str()) < 0 ||
        std::fflush(file_.get()) != 0)
        reportFailure(errno != 0 ? std::strerror(errno) : "write error");
}

// Told once; the job goes on without its log.
void TraceLog::reportFailure(const std::string &reason)
{
    failed_.store(true);
    if (onFailure_)
        onFailure_(path_ + ": cannot write the trace file: " + reason +
                   "; the update goes on without it");
}

} // namespace updater::run
