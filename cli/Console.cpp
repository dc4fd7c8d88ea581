#include "Console.h"

#include "RunWords.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace updater::cli {

bool isTerminal(std::FILE *stream)
{
#ifdef _WIN32
    return ::_isatty(::_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) == 1;
#endif
}

namespace {

constexpr int kBarWidth = 24;

} // namespace

std::string kibText(double bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    return text;
}

std::string progressText(const Progress &p)
{
    const std::uint64_t sent = std::min(p.fileBytesSent, p.fileLength);
    const unsigned percent =
        p.fileLength == 0 ? 0 : static_cast<unsigned>(sent * 100 / p.fileLength);
    const int filled = static_cast<int>(percent * kBarWidth / 100);
    std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]";
    char text[64];
    std::snprintf(text, sizeof text, " %3u%%  ", percent);
    std::string line = bar + text + kibText(static_cast<double>(sent)) + " of " +
                       kibText(static_cast<double>(p.fileLength));
    if (const auto left = run::secondsLeft(sent, p.fileLength, p.elapsed)) {
        const double rate =
            static_cast<double>(sent) / std::chrono::duration<double>(p.elapsed).count();
        line += "  " + kibText(rate) + "/s  " + run::minutesSeconds(*left) + " left";
    }
    return line;
}

void Console::out(const std::string &line)
{
    std::lock_guard lock(mutex_);
    clearLocked();
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void Console::error(const std::string &line)
{
    std::lock_guard lock(mutex_);
    clearLocked();
    // Each line of a fault with several (every bad row of a fleet file) is one of its own.
    std::string text;
    for (std::size_t start = 0; start <= line.size();) {
        const std::size_t end = std::min(line.find('\n', start), line.size());
        text += "updater-cli: " + line.substr(start, end - start) + "\n";
        start = end + 1;
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

void Console::drawProgress(const Progress &progress)
{
    if (!progressBar_)
        return;
    std::lock_guard lock(mutex_);
    // Return to the line's start and overwrite it; ESC [K clears what is left.
    std::fputs(("\r" + progressText(progress) + "\x1b[K").c_str(), stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void Console::clearProgress()
{
    std::lock_guard lock(mutex_);
    clearLocked();
}

void Console::clearLocked()
{
    if (!drawn_)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
}

} // namespace updater::cli
