#include "SimTestSupport.h"

#include <algorithm>

namespace simtest {

Fed feed(updater::sim::SimDevice &device, const Bytes &bytes, std::size_t piece)
{
    Fed fed;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = std::min(bytes.size(), at + std::min(piece, bytes.size()));
        for (std::size_t used = 0; at < end; at += used) {
            const auto step = device.receive(bytes.data() + at, end - at, used);
            fed.replies.insert(fed.replies.end(), step.reply.begin(), step.reply.end());
            fed.unitsDone += step.unitDone ? 1 : 0;
            fed.jobEnded = fed.jobEnded || step.jobEnded;
        }
    }
    return fed;
}

std::vector<Bytes> answers(updater::sim::SimDevice &device, const std::vector<Bytes> &units)
{
    std::vector<Bytes> out;
    for (const auto &unit : units)
        out.push_back(feed(device, unit).replies);
    return out;
}

std::vector<Bytes> armUnits(const Bytes &image, bool twoPath)
{
    std::vector<Bytes> units = {wakeUp()};
    if (twoPath)
        units.push_back({'4'});
    units.push_back({'1'});
    units.push_back(headerBlock());
    int n = 1;
    for (std::size_t at = 0; at < image.size(); at += 1024, ++n)
        units.push_back(dataBlock(
            n, Bytes(image.begin() + static_cast<long>(at),
                     image.begin() + static_cast<long>(std::min(at + 1024, image.size())))));
    units.push_back({kEot});
    units.push_back(endBlock());
    return units;
}

bool contains(const std::vector<std::string> &lines, const std::string &part)
{
    for (const auto &line : lines)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

} // namespace simtest
