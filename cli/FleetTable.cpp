#include "FleetTable.h"

#include <QList>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <set>

namespace updater::cli {

namespace {

using Text = std::u32string;

constexpr char32_t kEllipsis = U'\u2026';

Text decoded(const std::string &text)
{
    const QList<uint> points = QString::fromStdString(text).toUcs4();
    return Text(points.begin(), points.end());
}

std::string encoded(const Text &text)
{
    return QString::fromUcs4(text.data(), static_cast<qsizetype>(text.size())).toStdString();
}

// Columns of a character on a terminal: none for a combining mark or a format
// character, two for the wide characters of East Asian scripts.
std::size_t charWidth(char32_t c)
{
    if (c < 0x300)
        return c == 0 ? 0 : 1;
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing ||
        category == QChar::Other_Format || (c >= 0x1160 && c <= 0x11FF))
        return 0;
    const bool wide = (c >= 0x1100 && c <= 0x115F) || c == 0x2329 || c == 0x232A ||
                      (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) || (c >= 0xAC00 && c <= 0xD7A3) ||
                      (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE10 && c <= 0xFE19) ||
                      (c >= 0xFE30 && c <= 0xFE6F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                      (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

std::size_t width(const Text &text)
{
    std::size_t n = 0;
    for (const char32_t c : text)
        n += charWidth(c);
    return n;
}

// The first n columns of text, with the marks that go with the last character.
Text head(const Text &text, std::size_t n)
{
    std::size_t used = 0;
    std::size_t i = 0;
    for (; i < text.size() && used + charWidth(text[i]) <= n; ++i)
        used += charWidth(text[i]);
    return text.substr(0, i);
}

// The last n columns of text, starting with a character, not with a mark.
Text tail(const Text &text, std::size_t n)
{
    std::size_t used = 0;
    std::size_t i = text.size();
    while (i > 0 && used + charWidth(text[i - 1]) <= n)
        used += charWidth(text[--i]);
    while (i < text.size() && charWidth(text[i]) == 0)
        ++i;
    return text.substr(i);
}

enum class Cut
{
    KeepStart,
    KeepEnd,
    SkipShared
};

// text in at most w columns; shared: how many characters the column's cells
// have in common at their beginning.
Text cutTo(const Text &text, std::size_t w, Cut how, std::size_t shared)
{
    if (width(text) <= w)
        return text;
    if (w < 2)
        return head(text, w);
    const Text rest = text.substr(std::min(shared, text.size()));
    if (how == Cut::KeepStart || (how == Cut::SkipShared && w < 3))
        return head(text, w - 1) + kEllipsis;
    if (how == Cut::KeepEnd || width(rest) + 1 <= w)
        return kEllipsis + tail(text, w - 1);
    return kEllipsis + head(rest, w - 2) + kEllipsis;
}

// One column of the table: its cells below the header, how wide it is and may get.
struct Column
{
    std::vector<Text> cells; // the rows' cells, the header first
    std::size_t natural = 0;
    std::size_t narrowest = 0; // 0: never cut
    int cutRank = 0;
    std::size_t shared = 0;
    std::size_t distinct = 0; // different cells below the header

    // How many different cells remain below the header when cut to w.
    std::size_t distinctAt(std::size_t w, Cut how) const
    {
        std::set<Text> seen;
        for (std::size_t r = 1; r < cells.size(); ++r)
            seen.insert(cutTo(cells[r], w, how, shared));
        return seen.size();
    }
    // The cut at w that keeps the most cells apart, the beginning kept if it can.
    Cut bestCut(std::size_t w) const
    {
        Cut best = Cut::KeepStart;
        std::size_t most = distinctAt(w, best);
        for (const Cut how : {Cut::KeepEnd, Cut::SkipShared}) {
            if (most < distinct && distinctAt(w, how) > most) {
                best = how;
                most = distinctAt(w, how);
            }
        }
        return best;
    }
    // Narrowest width that keeps different cells apart, at least narrowest.
    std::size_t leastWidth() const
    {
        std::size_t w = std::min(narrowest, natural);
        while (w < natural && distinctAt(w, bestCut(w)) < distinct)
            ++w;
        return w;
    }
};

std::vector<Column> tableColumns(const std::vector<std::vector<std::string>> &rows,
                                 const std::vector<ColumnFit> &fit)
{
    std::vector<Column> out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out.resize(std::max(out.size(), rows[r].size()));
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i].cells.push_back(i < rows[r].size() ? decoded(rows[r][i]) : Text());
            out[i].natural = std::max(out[i].natural, width(out[i].cells.back()));
        }
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        Column &c = out[i];
        c.narrowest = i < fit.size() ? fit[i].narrowest : 0;
        c.cutRank = i < fit.size() ? fit[i].cutRank : 0;
        std::set<Text> different(c.cells.begin() + std::min<std::size_t>(1, c.cells.size()),
                                 c.cells.end());
        c.distinct = different.size();
        if (c.cells.size() > 1) {
            const Text &first = c.cells[1];
            c.shared = first.size();
            for (std::size_t r = 2; r < c.cells.size(); ++r) {
                const auto end = std::mismatch(first.begin(), first.begin() + c.shared,
                                               c.cells[r].begin(), c.cells[r].end());
                c.shared = static_cast<std::size_t>(end.first - first.begin());
            }
        }
    }
    return out;
}

// The widths of the shown columns (absent: left out), narrowed to fit maxWidth
// where the cuts allow.
std::vector<std::size_t> fitWidths(const std::vector<Column> &table, const std::vector<bool> &shown,
                                   std::size_t maxWidth, bool &fits)
{
    std::vector<std::size_t> w(table.size(), 0);
    std::vector<std::size_t> least(table.size(), 0);
    std::size_t total = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!shown[i])
            continue;
        w[i] = table[i].natural;
        least[i] = table[i].narrowest == 0 ? w[i] : table[i].leastWidth();
        total += w[i];
        ++count;
    }
    total += count == 0 ? 0 : 2 * (count - 1);
    // One column at a time from the column of the lowest rank that can still give
    // way, the widest among equals.
    while (total > maxWidth) {
        std::size_t next = table.size();
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (!shown[i] || w[i] <= least[i])
                continue;
            if (next == table.size() || table[i].cutRank < table[next].cutRank ||
                (table[i].cutRank == table[next].cutRank && w[i] > w[next]))
                next = i;
        }
        if (next == table.size())
            break;
        --w[next];
        --total;
    }
    fits = total <= maxWidth;
    return w;
}

} // namespace

std::size_t displayWidth(const std::string &text)
{
    return width(decoded(text));
}

std::string columns(const std::vector<std::vector<std::string>> &rows, std::size_t maxWidth,
                    const std::vector<ColumnFit> &fit)
{
    const std::vector<Column> table = tableColumns(rows, fit);
    std::vector<bool> shown(table.size(), true);
    bool fits = false;
    std::vector<std::size_t> w = fitWidths(table, shown, maxWidth, fits);
    // Still too wide: columns are left out, the lowest rank first.
    std::vector<std::pair<int, std::size_t>> droppable;
    for (std::size_t i = 0; i < table.size() && i < fit.size(); ++i) {
        if (fit[i].dropRank > 0)
            droppable.emplace_back(fit[i].dropRank, i);
    }
    std::sort(droppable.begin(), droppable.end());
    std::string leftOut;
    for (const auto &[rank, i] : droppable) {
        if (fits)
            break;
        shown[i] = false;
        leftOut += (leftOut.empty() ? "" : ", ") + encoded(table[i].cells[0]);
        w = fitWidths(table, shown, maxWidth, fits);
    }
    std::vector<Cut> how(table.size(), Cut::KeepStart);
    for (std::size_t i = 0; i < table.size(); ++i)
        how[i] = table[i].bestCut(w[i]);
    std::string out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        Text line;
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (!shown[i])
                continue;
            const Text cell =
                cutTo(table[i].cells[r], w[i], r == 0 ? Cut::KeepStart : how[i], table[i].shared);
            line += cell + Text(w[i] - width(cell) + 2, U' ');
        }
        line.erase(line.find_last_not_of(U' ') + 1);
        out += encoded(cutTo(line, maxWidth, Cut::KeepStart, 0)) + "\n";
    }
    if (!leftOut.empty())
        out +=
            encoded(cutTo(decoded("no room for " + leftOut), maxWidth, Cut::KeepStart, 0)) + "\n";
    return out;
}

std::string wrapped(const std::string &text, std::size_t maxWidth)
{
    std::string out;
    std::size_t used = 0; // columns taken on the line so far
    std::size_t start = 0;
    do {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        const std::string word = text.substr(start, end - start);
        const std::size_t w = displayWidth(word);
        if (start > 0 && used + 1 + w > maxWidth) {
            out += "\n  ";
            used = 2;
        } else if (start > 0) {
            out += ' ';
            ++used;
        }
        out += word;
        used += w;
        start = end + 1;
    } while (start <= text.size());
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

} // namespace updater::cli
