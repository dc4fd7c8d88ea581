#include "RunWords.h"

#include <cmath>
#include <cstdio>

namespace updater::run {

static_assert(stepWords(JobStep::NotStarted).step == JobStep::NotStarted &&
              stepWords(JobStep::Connecting).step == JobStep::Connecting &&
              stepWords(JobStep::Erasing).step == JobStep::Erasing &&
              stepWords(JobStep::Programming).step == JobStep::Programming);

std::string unitsText(int units)
{
    return std::to_string(units) + (units == 1 ? " unit" : " units");
}

std::string minutesSeconds(long long seconds)
{
    if (seconds < 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

std::optional<long long> secondsLeft(std::uint64_t sent, std::uint64_t total,
                                     std::chrono::milliseconds sending)
{
    if (sent == 0 || sent > total || sending.count() <= 0)
        return std::nullopt;
    const double seconds = std::chrono::duration<double>(sending).count();
    return std::llround(seconds * double(total - sent) / double(sent));
}

std::string whatTheDeviceHolds(JobStep step)
{
    const StepWords &w = stepWords(step);
    return std::string("the device ") + w.state + (*w.runAdvice ? "; " : "") + w.runAdvice;
}

std::string whatTheInverterHolds(JobStep step)
{
    const StepWords &w = stepWords(step);
    return std::string("The inverter ") + w.state + (*w.windowAdvice ? ": " : "") + w.windowAdvice +
           ".";
}

} // namespace updater::run
