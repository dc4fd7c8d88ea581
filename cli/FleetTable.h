#pragma once

#include <string>
#include <vector>

namespace updater::cli {

// Text in columns: each column as wide as its widest cell, two spaces between,
// the last column not padded. One line per row, the header first.
std::string columns(const std::vector<std::vector<std::string>> &rows);

// "1:05" (minutes and seconds), "-" for a negative number.
std::string minutesSeconds(long long seconds);

// Redraws a block of lines in place on a terminal: the block drawn last is
// overwritten (cursor up, clear to the end of the screen).
class LiveTable
{
public:
    void draw(const std::string &lines);
    // Leaves the block drawn last as it is; the next draw starts below it.

private:
    int drawnLines_ = 0;
};

// Rows of the terminal on standard output (24 when it cannot be told).
int terminalRows();

} // namespace updater::cli
