#include "Holdings.h"

#include <cstdio>

namespace updater::run {

const char *heldStateName(HeldState state)
{
    switch (state) {
    case HeldState::NotStarted:
        return "not started";
    case HeldState::MayBeHalfWritten:
        return "may be half-written";
    case HeldState::Written:
        return "written";
    }
    return "";
}

std::optional<HeldState> heldStateNamed(const std::string &name)
{
    for (HeldState s : {HeldState::NotStarted, HeldState::MayBeHalfWritten, HeldState::Written}) {
        if (name == heldStateName(s))
            return s;
    }
    return std::nullopt;
}

std::string holdingsText(const Holdings &holdings)
{
    std::string text;
    for (const FirmwareKindInfo &kind : kFirmwareKinds) {
        const std::optional<FirmwareHeld> &h = held(holdings, kind.kind);
        if (!h)
            continue;
        if (!text.empty())
            text += "; ";
        text += std::string(kind.name) + " firmware " + heldStateName(h->state);
    }
    return text;
}

std::string holdingsDetail(const Holdings &holdings)
{
    std::string text;
    for (const FirmwareKindInfo &kind : kFirmwareKinds) {
        const std::optional<FirmwareHeld> &h = held(holdings, kind.kind);
        if (!h)
            continue;
        text += (text.empty() ? "" : "; ") + std::string(kind.name) + " firmware " +
                (h->path.empty() ? "(file not known)" : h->path) +
                (h->crc32 ? " (CRC-32 " + crcText(*h->crc32) + ")" : "") + " " +
                heldStateName(h->state);
    }
    return text;
}

std::string crcText(std::uint32_t crc)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(crc));
    return text;
}

} // namespace updater::run
