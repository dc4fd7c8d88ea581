#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace updater::cli {

// True when the stream (stdout or stderr) goes to a terminal.
bool isTerminal(std::FILE *stream);

// How far the job is, for the progress bar.
struct Progress
{
    std::uint32_t fileBytesSent = 0; // how much of the file counts as sent
    std::uint32_t fileLength = 0;
    std::chrono::milliseconds elapsed{0}; // since the job started
};

// The terminal: status texts and the final message on standard output, errors
// and the progress bar on standard error. Any thread; each call writes whole
// lines, and a progress bar that is drawn is cleared before another line goes out.
class Console
{
public:
    // progressBar: draw the bar at all (standard error is a terminal, no --quiet).
    explicit Console(bool progressBar) : progressBar_(progressBar) {}

    void out(const std::string &line);   // standard output
    void error(const std::string &line); // standard error, "updater-cli: " before each line
    void drawProgress(const Progress &progress);
    void clearProgress();

private:
    void clearLocked();

    std::mutex mutex_; // a leaf lock: nothing else is taken while it is held
    const bool progressBar_;
    bool drawn_ = false;
};

// "43.8 KiB"
std::string kibText(double bytes);

// "[#######.............]  35%  43.8 KiB of 125.0 KiB  19.6 KiB/s  0:04 left"
std::string progressText(const Progress &progress);

} // namespace updater::cli
