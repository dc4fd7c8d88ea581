#include "Verdict.h"

#include <array>
#include <cstdio>

namespace updater::sim {

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
