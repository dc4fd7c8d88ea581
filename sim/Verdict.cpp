#include "Verdict.h"

#include <array>
#include <cstdio>

namespace updater::sim {

std::uint32_t crc32(const std::uint8_t *data, std::size_t size)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string hexByte(std::uint8_t byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

namespace {

std::string jobLine(const Verdict &v)
{
    if (v.protocol == Protocol::None)
        return "no job: no erase command or wake-up sequence was received";
    std::string line = v.protocol == Protocol::Dsp ? "DSP job" : "ARM job";
    if (v.protocol == Protocol::Arm)
        line += std::string(" (wake-up answered '") + v.wakeUpReply + "')";
    return line + (v.complete ? ", complete" : ", incomplete");
}

} // namespace

std::string formatVerdict(const Verdict &v)
{
    std::string out = "verdict: " + jobLine(v) + "\n";
    if (v.protocol != Protocol::None) {
        out += "  units: " + std::to_string(v.units) + " (" + v.unitSummary + ")\n";
        out += "  image: " + v.imageDescription + "\n";
    }
    if (v.matchesExpected)
        out += "  expected: " + v.expectedDescription + "\n";
    for (const auto &fault : v.faults)
        out += "  fault injected: " + fault + "\n";
    if (v.deviations.empty())
        out += "  deviations: none\n";
    for (const auto &deviation : v.deviations)
        out += "  deviation: " + deviation + "\n";
    out += std::string("result: ") + (v.passed() ? "PASS" : "FAIL") + "\n";
    return out;
}

} // namespace updater::sim
