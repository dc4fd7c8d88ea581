#pragma once

#include <string>
#include <vector>

namespace updater::cli {

// Text in columns: each column as wide as its widest cell, two spaces between,
// the last column not padded. One line per row, the header first.
// At most maxWidth columns a line: the columns listed in narrowFirst are cut first.
std::string columns(const std::vector<std::vector<std::string>> &rows,
                    std::size_t maxWidth = std::string::npos,
                    const std::vector<std::size_t> &narrowFirst = {});

// Redraws a block of lines in place on a terminal: the block drawn last is
// overwritten (cursor up, clear to the end of the screen).
class LiveTable
{
public:
    // columns: the terminal's width now; when it changed the screen is drawn afresh.
    void draw(const std::string &lines, int columns);
    // Leaves the block drawn last as it is; the next draw starts below it.

private:
    int drawnLines_ = 0;
    int drawnColumns_ = 0;
};

// The terminal on standard output (24 x 80 when it cannot be told).
struct TerminalSize
{
    int rows = 24;
    int columns = 80;
};
TerminalSize terminalSize();

} // namespace updater::cli
