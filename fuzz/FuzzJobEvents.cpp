// Any sequence of ticks, received bytes and restarts applied to a job of either
// firmware type. Checks the engine's invariants after every event.
#include "FuzzHost.h"
#include "UpdateJob.h"

#include <set>

namespace {

// Input layout: byte 0 picks the firmware type (bit 0) and, with byte 1, the
// length of the ARM image; then events: 0xF0 tick, 0xF1 a hundred ticks,
// 0xF2 DownLoad again, 0xF3 abandon, anything else a received byte.
constexpr std::uint8_t kTick = 0xF0;
constexpr std::uint8_t kManyTicks = 0xF1;
constexpr std::uint8_t kDownLoad = 0xF2;
constexpr std::uint8_t kAbandon = 0xF3;

const char kHexFile[] = ":020000040001F9\r\n"
                        ":10000000000102030405060708090A0B0C0D0E0F78\r\n"
                        ":0300100010111296\r\n"
                        ":00000001FF\r\n";

class Checker
{
public:
    Checker(const fuzzing::RecordingHost &host, const updater::UpdateJob &job, int type)
        : host_(host), job_(job), type_(type)
    {
    }

    void afterEvent()
    {
        const updater::JobFields f = job_.fields();
        static const std::set<int> dspStates = {-1, 0, 1, 2, 3, 6};
        const bool known = type_ == updater::kDspFirmware
                               ? dspStates.count(f.jobState) == 1
                               : f.jobState >= -1 && f.jobState <= 15 && f.jobState != 3;
        if (!known)
            fuzzing::fail("jobState outside its protocol's states");
        if (f.idle != (f.jobState == -1))
            fuzzing::fail("idle and jobState disagree");
        if (f.idle != host_.idleNow)
            fuzzing::fail("the host was not told of the idle flag");
        if (f.idle && f.fileOpen)
            fuzzing::fail("the file is open with no job");
        for (std::size_t i = seen_; i < host_.units.size(); ++i)
            checkUnit(host_.units[i], sendsAllowed_);
        seen_ = host_.units.size();
        sendsAllowed_ = !f.idle;
    }

    void restarted() { sendsAllowed_ = true; }

private:
    void checkUnit(const std::vector<std::uint8_t> &u, bool allowed)
    {
        if (!allowed)
            fuzzing::fail("a unit was sent after the job ended");
        if (u.empty() || u.size() > 1029)
            fuzzing::fail("a unit of impossible length");
        if (type_ != updater::kArmFirmware)
            return;
        if (u.size() == 133 && u[3] == 'P')
            nextBlock_ = 1; // the header block numbers the data blocks from 1
        if (u.size() != 1029)
            return;
        if (u[0] != 0x02 || u[1] != static_cast<std::uint8_t>(nextBlock_) ||
            u[2] != static_cast<std::uint8_t>(0xFF - u[1]) || u[1027] != 0x1A || u[1028] != 0x10)
            fuzzing::fail("a data block with a wrong frame or number");
        ++nextBlock_;
    }

    const fuzzing::RecordingHost &host_;
    const updater::UpdateJob &job_;
    int type_;
    std::size_t seen_ = 0;
    bool sendsAllowed_ = true;
    int nextBlock_ = 1;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int type = data[0] & 1;
    std::string path;
    if (type == updater::kDspFirmware) {
        path = fuzzing::writeScratchFile(
            "events.hex", reinterpret_cast<const std::uint8_t *>(kHexFile), sizeof kHexFile - 1);
    } else {
        const std::size_t length = 1 + (((data[0] >> 1) << 8) | data[1]) % 4000;
        std::vector<std::uint8_t> image(length);
        for (std::size_t i = 0; i < length; ++i)
            image[i] = static_cast<std::uint8_t>(i * 7);
        path = fuzzing::writeScratchFile("events.bin", image.data(), image.size());
    }
    fuzzing::RecordingHost host;
    updater::UpdateJob job(host);
    Checker checker(host, job, type);
    job.setFirmware(type, path);
    job.downLoad(true);
    checker.restarted();
    checker.afterEvent();
    for (std::size_t i = 2; i < size; ++i) {
        switch (data[i]) {
        case kTick:
            job.jobTick();
            break;
        case kManyTicks:
            for (int t = 0; t < 100; ++t)
                job.jobTick();
            break;
        case kDownLoad:
            if (job.idle()) {
                checker.afterEvent();
                job.downLoad(true);
                checker.restarted();
            }
            break;
        case kAbandon:
            job.abandon();
            break;
        default:
            job.receiveByte(data[i]);
            break;
        }
        checker.afterEvent();
    }
    return 0;
}
