// Engine throughput with an instant device: DSP records converted and handed to
// the host per second on a 1 MiB image, heap allocations per record, and the ticks
// an ARM job of 125600 bytes takes against the protocol's minimum. Also the
// fastest that ARM job can end on a 9600-baud line, with every send on a tick.
#include "JobHost.h"
#include "UpdateJob.h"

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

std::atomic<std::uint64_t> gAllocations{0};
std::atomic<std::size_t> gLargestAllocation{0};

void noteAllocation(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    std::size_t largest = gLargestAllocation.load(std::memory_order_relaxed);
    while (size > largest && !gLargestAllocation.compare_exchange_weak(largest, size)) {
    }
}

} // namespace

// The replaced operators below pair malloc with free themselves.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(std::size_t size)
{
    noteAllocation(size);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size)
{
    return operator new(size);
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete[](void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

// Counts what the engine sends; the device answers every unit at once.
class InstantHost : public updater::IJobHost
{
public:
    void sendBlock(const std::uint8_t *, std::size_t length, std::int32_t) override
    {
        ++units;
        bytes += length;
        replyDue = true;
    }
    void setLineText(updater::StatusLine, const std::string &) override {}
    void setProgressVisible(bool) override {}
    void setProgressPos(std::uint32_t) override {}
    void showMessage(updater::MessageKind, const std::string &text) override { lastMessage = text; }

    std::uint64_t units = 0;
    std::uint64_t bytes = 0;
    bool replyDue = false;
    std::string lastMessage;
};

std::string hexImage(std::size_t size)
{
    std::mt19937 gen(1);
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size / 16 * 45 + 64);
    const auto put = [&](std::uint8_t b, std::uint8_t &sum) {
        text += digits[b >> 4];
        text += digits[b & 15];
        sum = static_cast<std::uint8_t>(sum + b);
    };
    for (std::size_t addr = 0; addr < size; addr += 16) {
        if (addr % 0x10000 == 0) { // extended linear address record
            std::uint8_t sum = 0;
            text += ':';
            for (std::uint8_t b :
                 {std::uint8_t(2), std::uint8_t(0), std::uint8_t(0), std::uint8_t(4),
                  std::uint8_t(addr >> 24), std::uint8_t(addr >> 16)})
                put(b, sum);
            put(static_cast<std::uint8_t>(0x100 - sum), sum);
            text += "\r\n";
        }
        std::uint8_t sum = 0;
        text += ':';
        put(16, sum);
        put(static_cast<std::uint8_t>(addr >> 8), sum);
        put(static_cast<std::uint8_t>(addr), sum);
        put(0, sum);
        for (int i = 0; i < 16; ++i)
            put(static_cast<std::uint8_t>(gen()), sum);
        put(static_cast<std::uint8_t>(0x100 - sum), sum);
        text += "\r\n";
    }
    return text + ":00000001FF\r\n";
}

long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void benchDsp(const std::filesystem::path &dir)
{
    const std::string path = (dir / "bench.hex").string();
    std::ofstream(path, std::ios::binary) << hexImage(1 << 20);
    InstantHost host;
    updater::UpdateJob job(host);
    job.setFirmware(updater::kDspFirmware, path);
    job.downLoad(true);
    while (job.jobState() != 2)
        job.jobTick(); // load, then the erase command
    host.replyDue = false;
    const std::uint64_t unitsBefore = host.units;
    const std::uint64_t allocationsBefore = gAllocations.load();
    const auto start = std::chrono::steady_clock::now();
    job.receiveByte(0xCC);
    while (host.replyDue) {
        host.replyDue = false;
        job.receiveByte(0xCC);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::uint64_t records = host.units - unitsBefore;
    const std::uint64_t allocations = gAllocations.load() - allocationsBefore;
    std::printf("DSP: %llu records of a 1 MiB image in %.3f s: %.0f records/s "
                "(aim: well over 1,000,000)\n",
                static_cast<unsigned long long>(records), seconds, records / seconds);
    std::printf("DSP: heap allocations during the transfer: %llu (%.4f per record)\n",
                static_cast<unsigned long long>(allocations),
                records ? static_cast<double>(allocations) / records : 0.0);
    std::printf("DSP: outcome: %s\n", host.lastMessage.c_str());
}

// Runs an ARM job against a device whose answer to each unit comes msPerByte
// after every byte of the unit and of the answer has crossed the line (0: at
// once), in counted time: an answer that lands before a tick is handled before
// it. Returns when the job ended, in ms from its start (the last answer's
// arrival); ticks receives the tick of its last send.
double armJobMs(updater::UpdateJob &job, InstantHost &host, double msPerByte, int &ticks)
{
    job.downLoad(true);
    int tick = 0;
    std::uint64_t lastUnits = 0;
    std::uint64_t lastBytes = 0;
    bool answerDue = false;
    std::uint8_t answer = 0;
    double answerAt = 0;
    double endMs = 0;
    while (!job.idle()) {
        if (answerDue && answerAt < 50.0 * (tick + 1)) {
            answerDue = false;
            endMs = answerAt;
            job.receiveByte(answer);
            continue;
        }
        job.jobTick();
        ++tick;
        if (host.units != lastUnits) {
            ticks = tick;
            const std::uint64_t unitBytes = host.bytes - lastBytes;
            lastUnits = host.units;
            lastBytes = host.bytes;
            const int state = job.jobState();
            // The boot loader's replies: '1' to the wake-up, '9' to '1', ACK otherwise.
            answer = state == 2 ? '1' : state == 7 ? '9' : 0x06;
            answerAt = 50.0 * tick + static_cast<double>(unitBytes + 1) * msPerByte;
            answerDue = true;
        }
    }
    return endMs;
}

void benchArm(const std::filesystem::path &dir)
{
    const std::string path = (dir / "bench.bin").string();
    {
        std::vector<char> image(125600);
        std::mt19937 gen(2);
        for (auto &c : image)
            c = static_cast<char>(gen());
        std::ofstream(path, std::ios::binary).write(image.data(), image.size());
    }
    InstantHost host;
    updater::UpdateJob job(host);
    job.setFirmware(updater::kArmFirmware, path);
    const long rssBefore = peakRssKiB();
    gLargestAllocation = 0;
    int ticks = 0;
    armJobMs(job, host, 0, ticks);
    // Open on tick 5 (construction), wake-up 6, '1' two ticks later, header two
    // later, block 1 two later, one block per tick, EOT next tick, end block two later.
    const int blocks = (125600 + 1023) / 1024;
    const int minimum = 5 + 1 + 2 + 2 + 2 + (blocks - 1) + 1 + 2;
    std::printf("ARM: 125600-byte job took %d ticks; protocol minimum %d ticks (%s)\n", ticks,
                minimum, ticks == minimum ? "equal" : "DIFFERENT");
    std::printf("ARM: largest heap allocation during the job: %zu bytes; peak RSS %ld KiB "
                "(before the job %ld KiB)\n",
                gLargestAllocation.load(), peakRssKiB(), rssBefore);
    std::printf("ARM: outcome: %s\n", host.lastMessage.c_str());

    // The same job on a 9600-baud line (10 bits a byte), from a job that starts
    // as the first after construction, as updater-cli's does.
    InstantHost lineHost;
    updater::UpdateJob lineJob(lineHost);
    lineJob.setFirmware(updater::kArmFirmware, path);
    const double lineMs = armJobMs(lineJob, lineHost, 10.0 / 9600 * 1000, ticks);
    std::printf("ARM at 9600 baud: the job ends %.1f ms after its start, its last send on tick %d "
                "(outcome: %s)\n",
                lineMs, ticks, lineHost.lastMessage.c_str());
}

} // namespace

int main()
{
    const auto dir = std::filesystem::temp_directory_path() / "updater-engine-bench";
    std::filesystem::create_directories(dir);
    benchDsp(dir);
    benchArm(dir);
    std::filesystem::remove_all(dir);
    return 0;
}
