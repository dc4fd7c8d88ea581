#include "FleetTable.h"

#include <QList>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <map>
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

// text in at most w columns; shared: how many characters it has in common at its
// beginning with the cells it must be told apart from.
Text cut(const Text &text, std::size_t w, Cut how, std::size_t shared)
{
    if (width(text) <= w)
        return text;
    if (w < 2)
        return head(text, w);
    const Text rest = text.substr(std::min(shared, text.size()));
    if (how == Cut::KeepStart || (how == Cut::SkipShared && w < 3)) {
        // "Programing…", not "Programing.…"
        Text kept = head(text, w - 1);
        while (kept.size() > 1 && (kept.back() == U'.' || kept.back() == U' '))
            kept.pop_back();
        return kept + kEllipsis;
    }
    if (how == Cut::KeepEnd || width(rest) + 1 <= w)
        return kEllipsis + tail(text, w - 1);
    return kEllipsis + head(rest, w - 2) + kEllipsis;
}

// How many characters the texts have in common at their beginning.
std::size_t sharedStart(const std::vector<const Text *> &texts)
{
    std::size_t shared = texts.empty() ? 0 : texts.front()->size();
    for (const Text *t : texts) {
        const Text &first = *texts.front();
        const auto end = std::mismatch(first.begin(), first.begin() + shared, t->begin(), t->end());
        shared = static_cast<std::size_t>(end.first - first.begin());
    }
    return shared;
}

std::size_t distinctCount(const std::vector<Text> &cells)
{
    return std::set<Text>(cells.begin(), cells.end()).size();
}

// One column of the table: its cells, the header first, and its width uncut.
struct Column
{
    std::vector<Text> cells;
    std::size_t natural = 0;

    // The cells cut to w, the header first. A cell keeps its beginning, but
    // different cells whose beginnings would read alike keep their ends, or what
    // follows what they share, whichever keeps more of them apart.
    std::vector<Text> cutTo(std::size_t w) const
    {
        std::vector<Text> out;
        std::map<Text, std::vector<std::size_t>> alike; // rows by their cut beginning
        for (std::size_t r = 0; r < cells.size(); ++r) {
            out.push_back(cut(cells[r], w, Cut::KeepStart, 0));
            if (r > 0)
                alike[out.back()].push_back(r);
        }
        for (const auto &[start, rows] : alike) {
            std::vector<const Text *> texts;
            for (const std::size_t r : rows)
                texts.push_back(&cells[r]);
            const std::size_t shared = sharedStart(texts);
            std::vector<Text> ends;
            std::vector<Text> rests;
            for (const Text *t : texts) {
                ends.push_back(cut(*t, w, Cut::KeepEnd, shared));
                rests.push_back(cut(*t, w, Cut::SkipShared, shared));
            }
            const std::size_t apart = distinctCount(ends);
            if (apart < 2 && distinctCount(rests) < 2)
                continue; // the same cell each time, or no cut tells them apart
            const std::vector<Text> &better = distinctCount(rests) > apart ? rests : ends;
            for (std::size_t k = 0; k < rows.size(); ++k)
                out[rows[k]] = better[k];
        }
        return out;
    }
    // The narrowest width from `from` on at which different cells stay apart.
    std::size_t leastWidth(std::size_t from) const
    {
        const std::vector<Text> body(cells.begin() + std::min<std::size_t>(1, cells.size()),
                                     cells.end());
        const std::size_t distinct = distinctCount(body);
        std::size_t w = std::min(from, natural);
        for (; w < natural; ++w) {
            const std::vector<Text> cut = cutTo(w);
            if (distinctCount(std::vector<Text>(cut.begin() + 1, cut.end())) == distinct)
                break;
        }
        return w;
    }
};

std::vector<Column> tableColumns(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<Column> out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out.resize(std::max(out.size(), rows[r].size()));
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i].cells.push_back(i < rows[r].size() ? decoded(rows[r][i]) : Text());
            out[i].natural = std::max(out[i].natural, width(out[i].cells.back()));
        }
    }
    return out;
}

// The width of each column once the table has given way, step by step, to fit
// maxWidth; shown: which columns are not left out, leftOut: the headers of those
// that are.
std::vector<std::size_t> fitWidths(const std::vector<Column> &table,
                                   const std::vector<GiveWay> &steps, std::size_t maxWidth,
                                   std::vector<bool> &shown, std::string &leftOut)
{
    std::vector<std::size_t> w;
    for (const Column &c : table)
        w.push_back(c.natural);
    shown.assign(table.size(), true);
    const auto total = [&w, &shown] {
        std::size_t sum = 0;
        for (std::size_t i = 0; i < w.size(); ++i)
            sum += shown[i] ? w[i] + 2 : 0;
        return sum < 2 ? 0 : sum - 2;
    };
    std::vector<std::size_t> cut; // the columns cut, in turn
    for (const GiveWay &step : steps) {
        const std::size_t over = total() > maxWidth ? total() - maxWidth : 0;
        if (over == 0)
            break;
        if (step.column >= table.size() || !shown[step.column])
            continue;
        if (step.width == 0) {
            shown[step.column] = false;
            leftOut += (leftOut.empty() ? "" : ", ") + encoded(table[step.column].cells[0]);
            continue;
        }
        const std::size_t least = table[step.column].leastWidth(step.width);
        if (w[step.column] > least) {
            w[step.column] -= std::min(w[step.column] - least, over);
            cut.push_back(step.column);
        }
    }
    // Room freed by a column left out goes back to the columns cut, the last first.
    for (auto i = cut.rbegin(); i != cut.rend() && total() < maxWidth; ++i) {
        if (shown[*i])
            w[*i] += std::min(table[*i].natural - w[*i], maxWidth - total());
    }
    return w;
}

} // namespace

std::size_t displayWidth(const std::string &text)
{
    return width(decoded(text));
}

std::string columns(const std::vector<std::vector<std::string>> &rows, std::size_t maxWidth,
                    const std::vector<GiveWay> &steps)
{
    const std::vector<Column> table = tableColumns(rows);
    std::vector<bool> shown;
    std::string leftOut;
    const std::vector<std::size_t> w = fitWidths(table, steps, maxWidth, shown, leftOut);
    std::vector<std::vector<Text>> cells;
    for (std::size_t i = 0; i < table.size(); ++i)
        cells.push_back(shown[i] ? table[i].cutTo(w[i]) : std::vector<Text>());
    std::string out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        Text line;
        for (std::size_t i = 0; i < table.size(); ++i) {
            if (shown[i])
                line += cells[i][r] + Text(w[i] - width(cells[i][r]) + 2, U' ');
        }
        line.erase(line.find_last_not_of(U' ') + 1);
        out += encoded(cut(line, maxWidth, Cut::KeepStart, 0)) + "\n";
    }
    if (!leftOut.empty())
        out += encoded(cut(decoded("no room for " + leftOut), maxWidth, Cut::KeepStart, 0)) + "\n";
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
