#include "TraceLog.h"

#include <cerrno>
#include <cstring>

namespace updater::cli {

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

std::string TraceLog::open(const std::string &path)
{
    file_.reset(std::fopen(path.c_str(), "w"));
    if (!file_)
        return path + ": cannot write the trace file: " + std::strerror(errno);
    return {};
}

void TraceLog::sent(int jobState, const std::uint8_t *data, std::size_t length)
{
    if (!file_)
        return;
    write("> state " + std::to_string(jobState) + "  " + hexBytes(data, length, kWholeBlock) +
          "  (" + std::to_string(length) + (length == 1 ? " byte)" : " bytes)"));
}

void TraceLog::received(int jobState, std::uint8_t byte)
{
    if (!file_)
        return;
    write("< state " + std::to_string(jobState) + "  " + hexBytes(&byte, 1, 1));
}

void TraceLog::note(const std::string &what, const std::string &text)
{
    if (!file_)
        return;
    write(what + ": " + text);
}

void TraceLog::write(const std::string &rest)
{
    // The time is taken under the lock, so the lines stay in time order.
    std::lock_guard lock(mutex_);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start_)
                        .count();
    std::fprintf(file_.get(), "%8lld ms  %s\n", static_cast<long long>(ms), rest.c_str());
    std::fflush(file_.get());
}

} // namespace updater::cli
