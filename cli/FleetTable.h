#pragma once

#include <string>
#include <vector>

namespace updater::cli {

// One way a table wider than its terminal gives way; the ways are tried in turn
// until the table fits. A column is cut down to width (with '…'; no narrower than
// keeps its different cells apart), or with width 0 left out and named in a note
// below the table. A cut keeps a cell's beginning, or its end where the beginning
// is what the cells share ("…block05-string3"). The room that a column left out
// frees goes back to the columns cut, the last cut first. A column no way names
// is never cut: a link or a number cut short reads as another one.
struct GiveWay
{
    std::size_t column = 0;
    std::size_t width = 0;
};

// Text in columns: each column as wide as its widest cell on a terminal (a wide
// character takes two columns, a mark none), two spaces between, the last column
// not padded. One line per row, the header first. At most maxWidth columns a
// line: the table gives way in the steps given; a line still too wide is cut at
// the edge.
std::string columns(const std::vector<std::vector<std::string>> &rows,
                    std::size_t maxWidth = std::string::npos,
                    const std::vector<GiveWay> &steps = {});

// How many columns text takes on a terminal.
std::size_t displayWidth(const std::string &text);

// Text broken into lines of at most maxWidth columns at its spaces, each line
// after the first indented by two: the lines under a table.
std::string wrapped(const std::string &text, std::size_t maxWidth);

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
