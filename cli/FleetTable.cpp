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

// The first n columns' worth of text.
std::string cut(const std::string &text, std::size_t n)
{
    std::size_t shown = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((text[i] & 0xC0) != 0x80 && shown++ == n)
            return text.substr(0, i);
    }
    return text;
}

} // namespace

std::string columns(const std::vector<std::vector<std::string>> &rows, std::size_t maxWidth,
                    const std::vector<std::size_t> &narrowFirst)
{
    std::vector<std::size_t> width;
    for (const auto &row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], shownWidth(row[i]));
    }
    // Too wide for the terminal: the columns named first give way, down to a few
    // characters each; a line that is still too wide is cut at the edge.
    std::size_t total = width.empty() ? 0 : 2 * (width.size() - 1);
    for (const std::size_t w : width)
        total += w;
    constexpr std::size_t kNarrowest = 6;
    for (const std::size_t column : narrowFirst) {
        if (column < width.size() && total > maxWidth && width[column] > kNarrowest) {
            const std::size_t less = std::min(total - maxWidth, width[column] - kNarrowest);
            width[column] -= less;
            total -= less;
        }
    }
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::string cell = cut(row[i], width[i]);
            line += cell;
            if (i + 1 < row.size())
                line += std::string(width[i] - shownWidth(cell) + 2, ' ');
        }
        line = cut(line.substr(0, line.find_last_not_of(' ') + 1), maxWidth);
        out += line + "\n";
    }
    return out;
}

void LiveTable::draw(const std::string &lines, int columns)
{
    std::string out;
    // Lines drawn for another width have wrapped differently: start afresh.
    if (drawnLines_ > 0 && columns != drawnColumns_)
        out = "\x1b[H\x1b[2J";
    else if (drawnLines_ > 0)
        out = "\x1b[" + std::to_string(drawnLines_) + "A\r";
    out += "\x1b[J" + lines;
    drawnLines_ = static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
    drawnColumns_ = columns;
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

TerminalSize terminalSize()
{
#ifdef __unix__
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
        return {size.ws_row, size.ws_col};
#endif
    return {};
}

} // namespace updater::cli
