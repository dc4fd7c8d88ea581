#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// Reads numbers from edit controls the way the C library's formatted input does:
// leading white space is skipped, then an optional sign and decimal digits; the
// number ends at the first other character and the rest is ignored. Only the first
// 63 characters of the text are looked at. nullopt when no digit could be read.

// "%lu": a '-' negates modulo 2^32, so "-1" reads as 4294967295. A value beyond
// 32 bits reads as 4294967295, never as a wrapped small number.
std::optional<std::uint32_t> scanUnsigned(const QString &text);

// "%d": a value beyond 32 bits reads as the nearest bound.
std::optional<std::int32_t> scanSigned(const QString &text);
