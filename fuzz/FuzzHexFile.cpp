// Any byte string as a DSP firmware file. A file the check accepts must go out as
// exactly the records its lines spell, up to the end-of-file record, and must not
// pass as an LCD ARM image; a file it refuses must not make the job send anything.
#include "FuzzHost.h"
#include "HexFile.h"
#include "UpdateJob.h"

#include <algorithm>
#include <cstring>

namespace {

using Record = std::vector<std::uint8_t>;

int digit(std::uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The records of a well-formed file, read independently of the engine: one per
// line (CR, CR LF or LF), the digits after the line's ':', up to the first record
// without data bytes.
std::vector<Record> referenceRecords(const std::uint8_t *data, std::size_t size)
{
    std::vector<Record> records;
    std::size_t pos = 0;
    while (pos < size) {
        std::size_t end = pos;
        while (end < size && data[end] != '\r' && data[end] != '\n')
            ++end;
        const void *colon = std::memchr(data + pos, ':', end - pos);
        if (colon) {
            Record r;
            const auto *p = static_cast<const std::uint8_t *>(colon) + 1;
            for (; p + 2 <= data + end; p += 2)
                r.push_back(static_cast<std::uint8_t>(digit(p[0]) * 16 + digit(p[1])));
            records.push_back(r);
            if (r.size() == 5)
                return records;
        }
        pos = end;
        if (pos < size && data[pos] == '\r' && pos + 1 < size && data[pos + 1] == '\n')
            ++pos;
        ++pos;
    }
    return records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const updater::HexCheck check = updater::checkIntelHex(data, size);
    const std::string path = fuzzing::writeScratchFile("file.hex", data, size);

    fuzzing::RecordingHost host;
    updater::UpdateJob job(host);
    job.setFirmware(updater::kDspFirmware, path);
    job.downLoad(true);
    // An instant device: every unit is acknowledged with 0xCC.
    for (int tick = 0; tick < 10 && !job.idle(); ++tick) {
        const std::size_t before = host.units.size();
        job.jobTick();
        while (host.units.size() != before && !job.idle()) {
            const std::size_t now = host.units.size();
            job.receiveByte(0xCC);
            if (host.units.size() == now)
                break;
        }
    }
    if (!check.ok()) {
        if (!host.units.empty())
            fuzzing::fail("a refused file made the job send");
        if (job.lastOutcome() != updater::JobOutcome::FileRefused)
            fuzzing::fail("a refused file did not end the job as refused");
        return 0;
    }
    if (job.lastOutcome() != updater::JobOutcome::Success)
        fuzzing::fail("an accepted file did not end in success");
    if (updater::imageTextKind(data, std::min(size, updater::kOpeningBytes)) ==
        updater::TextKind::None)
        fuzzing::fail("an accepted file would pass as an LCD ARM image");
    const std::vector<Record> expected = referenceRecords(data, size);
    if (host.units.size() != expected.size() + 1)
        fuzzing::fail("the number of records differs from the file's lines");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (host.units[i + 1] != expected[i])
            fuzzing::fail("a record differs from its line's digits");
        if (expected[i].size() > updater::kMaxRecordBytes)
            fuzzing::fail("a record longer than the record buffer was accepted");
        const Record &r = expected[i];
        if (r.size() > 5 && r[3] == 0x00 && (r[1] << 8 | r[2]) + r[0] > 0x10000)
            fuzzing::fail("a record across a 64 KiB boundary was accepted");
    }
    return 0;
}
