#pragma once

#include <cstddef>
#include <cstdint>

namespace updater {

// CRC-32 as zlib and most archivers compute it (reflected polynomial 0xEDB88320).
// crc is the value of the bytes before these, so a file may be taken in pieces.
std::uint32_t crc32(const std::uint8_t *data, std::size_t size, std::uint32_t crc = 0);

} // namespace updater
