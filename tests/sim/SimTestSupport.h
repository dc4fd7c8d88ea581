#pragma once

#include "SimDevice.h"
#include "WireUnits.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using testsupport::Bytes;
using testsupport::dataBlock;
using testsupport::endBlock;
using testsupport::eraseCommand;
using testsupport::headerBlock;
using testsupport::hexText;
using testsupport::kAck;
using testsupport::kCc;
using testsupport::kEot;
using testsupport::kNak;
using testsupport::randomBytes;
using testsupport::record;
using testsupport::wakeUp;

// Feeds the bytes in pieces of at most `piece` (whole by default, as a unit
// arrives from a host); returns every answer and notes whether a job ended.
struct Fed
{
    Bytes replies;
    int unitsDone = 0;
    bool jobEnded = false;
};
Fed feed(updater::sim::SimDevice &device, const Bytes &bytes, std::size_t piece = SIZE_MAX);
// Feeds each unit in turn and returns each unit's answer.
std::vector<Bytes> answers(updater::sim::SimDevice &device, const std::vector<Bytes> &units);

// All the units of an ARM job for the image, in order (wake-up, '1', header,
// data blocks, EOT, end block).
std::vector<Bytes> armUnits(const Bytes &image, bool twoPath = false);

bool contains(const std::vector<std::string> &lines, const std::string &part);

} // namespace simtest
