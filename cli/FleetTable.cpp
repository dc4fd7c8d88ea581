#include "FleetTable.h"

#include <algorithm>
#include <cstdio>

#ifdef __unix__
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace updater::cli {

namespace {

// Width on a terminal: UTF-8 continuation bytes take no column.
std::size_t shownWidth(const std::string &text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

} // namespace

std::string columns(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<std::size_t> width;
    for (const auto &row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], shownWidth(row[i]));
    }
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(width[i] - shownWidth(row[i]) + 2, ' ');
        }
        out += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return out;
}

std::string minutesSeconds(long long seconds)
{
    if (seconds < 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

void LiveTable::draw(const std::string &lines)
{
    std::string out;
    if (drawnLines_ > 0)
        out = "\x1b[" + std::to_string(drawnLines_) + "A\r";
    out += "\x1b[J" + lines;
    drawnLines_ = static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

int terminalRows()
{
#ifdef __unix__
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
#endif
    return 24;
}

} // namespace updater::cli
