#include "DataExchange.h"

#include <limits>

namespace {

constexpr qsizetype kMaxChars = 63;

struct Scanned
{
    bool negative = false;
    bool overflow = false; // more than 32 bits of magnitude
    std::uint64_t magnitude = 0;
};

std::optional<Scanned> scanDecimal(const QString &full)
{
    const QString text = full.left(kMaxChars);
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    Scanned s;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        s.negative = text[i] == u'-';
        ++i;
    }
    const qsizetype firstDigit = i;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        s.magnitude = s.magnitude * 10 + static_cast<unsigned>(text[i].unicode() - u'0');
        if (s.magnitude > std::numeric_limits<std::uint32_t>::max()) {
            s.overflow = true;
            s.magnitude = std::uint64_t{std::numeric_limits<std::uint32_t>::max()} + 1;
        }
    }
    if (i == firstDigit)
        return std::nullopt;
    return s;
}

} // namespace

std::optional<std::uint32_t> scanUnsigned(const QString &text)
{
    const auto s = scanDecimal(text);
    if (!s)
        return std::nullopt;
    if (s->overflow)
        return std::numeric_limits<std::uint32_t>::max();
    const auto value = static_cast<std::uint32_t>(s->magnitude);
    return s->negative ? static_cast<std::uint32_t>(0u - value) : value;
}

std::optional<std::int32_t> scanSigned(const QString &text)
{
    const auto s = scanDecimal(text);
    if (!s)
        return std::nullopt;
    const std::int64_t value = s->negative ? -static_cast<std::int64_t>(s->magnitude)
                                           : static_cast<std::int64_t>(s->magnitude);
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}
