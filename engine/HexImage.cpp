#include "HexImage.h"

#include <algorithm>
#include <iterator>

namespace updater {

namespace {

// Copies what [source, source + size) at address sourceAt holds of part's range,
// which starts at partAt.
void copyInto(std::vector<std::uint8_t> &part, std::uint64_t partAt, const std::uint8_t *source,
              std::size_t size, std::uint64_t sourceAt)
{
    const std::uint64_t low = std::max(partAt, sourceAt);
    const std::uint64_t high = std::min<std::uint64_t>(partAt + part.size(), sourceAt + size);
    if (low < high)
        std::copy(source + (low - sourceAt), source + (high - sourceAt),
                  part.begin() + static_cast<std::ptrdiff_t>(low - partAt));
}

} // namespace

void HexImage::Run::prepend(const std::vector<std::uint8_t> &part)
{
    if (head < part.size()) {
        // Room below for at least as much again as the run holds.
        const std::size_t room = std::max(part.size(), size());
        std::vector<std::uint8_t> grown(room + size());
        std::copy(bytes(), bytes() + size(), grown.begin() + static_cast<std::ptrdiff_t>(room));
        buffer = std::move(grown);
        head = room;
    }
    head -= part.size();
    std::copy(part.begin(), part.end(), buffer.begin() + static_cast<std::ptrdiff_t>(head));
}

std::optional<HexImage::Clash> HexImage::write(std::uint32_t address, const std::uint8_t *data,
                                               std::size_t size, int line)
{
    const std::uint64_t begin = address;
    const std::uint64_t end = begin + size;
    // The runs that overlap or touch [begin, end): from first up to last.
    auto first = runs_.upper_bound(begin);
    if (first != runs_.begin()) {
        const auto before = std::prev(first);
        if (before->first + before->second.size() >= begin)
            first = before;
    }
    auto last = first;
    auto base = runs_.end(); // the largest of them
    std::uint64_t start = begin;
    std::uint64_t stop = end;
    for (; last != runs_.end() && last->first <= end; ++last) {
        const Run &run = last->second;
        const std::uint64_t from = std::max(begin, last->first);
        const std::uint64_t to = std::min<std::uint64_t>(end, last->first + run.size());
        for (std::uint64_t a = from; a < to; ++a) {
            if (run.bytes()[a - last->first] != data[a - begin]) {
                const auto clash = static_cast<std::uint32_t>(a);
                return Clash{clash, firstLineAt(clash)};
            }
        }
        start = std::min(start, last->first);
        stop = std::max<std::uint64_t>(stop, last->first + run.size());
        if (base == runs_.end() || run.size() > base->second.size())
            base = last;
    }
    pieces_.push_back({address, static_cast<std::uint32_t>(size), line});
    if (base == runs_.end()) {
        runs_.emplace(begin, Run{std::vector<std::uint8_t>(data, data + size), 0});
        return std::nullopt;
    }
    // The bytes of [from, to) from the other runs and the new data.
    const auto gather = [&](std::uint64_t from, std::uint64_t to) {
        std::vector<std::uint8_t> part(to - from);
        for (auto r = first; r != last; ++r) {
            if (r != base)
                copyInto(part, from, r->second.bytes(), r->second.size(), r->first);
        }
        copyInto(part, from, data, size, begin);
        return part;
    };
    Run &run = base->second;
    const std::uint64_t baseBegin = base->first;
    const std::uint64_t baseEnd = baseBegin + run.size();
    if (stop > baseEnd) {
        const std::vector<std::uint8_t> right = gather(baseEnd, stop);
        run.buffer.insert(run.buffer.end(), right.begin(), right.end());
    }
    if (start < baseBegin)
        run.prepend(gather(start, baseBegin));
    for (auto r = first; r != last;)
        r = r == base ? std::next(r) : runs_.erase(r);
    auto node = runs_.extract(base);
    node.key() = start;
    runs_.insert(std::move(node));
    return std::nullopt;
}

int HexImage::firstLineAt(std::uint32_t address) const
{
    for (const Piece &p : pieces_) {
        if (address >= p.address && address - p.address < p.size)
            return p.line;
    }
    return 0;
}

} // namespace updater
