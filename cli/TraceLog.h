#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace updater::cli {

// The support log of one job (--trace): one line per unit sent and per byte
// received, with the milliseconds since the start, the direction, the job state
// and the bytes in hex; the status texts, messages and link errors in order.
// Any thread. Every line is flushed, so the log survives a crash or a kill.
class TraceLog
{
public:
    // Blocks of more than this many bytes are shortened to their first and last bytes.
    static constexpr std::size_t kWholeBlock = 24;

    // Returns an empty string, or why the file cannot be written.
    std::string open(const std::string &path);
    bool isOpen() const { return file_ != nullptr; }

    void sent(int jobState, const std::uint8_t *data, std::size_t length);
    void received(int jobState, std::uint8_t byte);
    // A line without bytes: what ("line 1003", "message", "link", "exit") and text.
    void note(const std::string &what, const std::string &text);

private:
    void write(const std::string &rest);

    struct Closer
    {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::mutex mutex_;
    std::unique_ptr<std::FILE, Closer> file_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// "FA 66 6C", or for a long block "02 01 FE 00 11 22 33 44 ... 1A 10 (1029 bytes)".
std::string hexBytes(const std::uint8_t *data, std::size_t length, std::size_t whole);

} // namespace updater::cli
