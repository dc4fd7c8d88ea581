#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace updater {

// The bytes that the data records of a HEX text give their addresses, kept as
// runs of written addresses that neither overlap nor touch, so that a text that
// gives one address two values is found, and one that repeats a value is not.
// Memory grows with the bytes and records written, whatever the addresses; a
// sequential image is one run. Joined runs go into the largest of them, which
// can grow at either end, so records in any order cost O(n log n).
class HexImage
{
public:
    // The first address given another value, and the line that gave it first.
    struct Clash
    {
        std::uint32_t address = 0;
        int firstLine = 0;
    };

    // Writes size bytes from address on (address + size at most 2^32), for the
    // given line. Returns the first clash with bytes written before; then nothing
    // is written.
    std::optional<Clash> write(std::uint32_t address, const std::uint8_t *data, std::size_t size,
                               int line);

private:
    int firstLineAt(std::uint32_t address) const;

    struct Run
    {
        std::vector<std::uint8_t> buffer; // the bytes from head on; below head, room to grow
        std::size_t head = 0;
        std::size_t size() const { return buffer.size() - head; }
        const std::uint8_t *bytes() const { return buffer.data() + head; }
        void prepend(const std::vector<std::uint8_t> &part);
    };
    std::map<std::uint64_t, Run> runs_; // first address -> bytes
    struct Piece
    {
        std::uint32_t address;
        std::uint32_t size;
        int line;
    };
    std::vector<Piece> pieces_; // every write in file order: names the line of a clash
};

} // namespace updater
