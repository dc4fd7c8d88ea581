// The share of an idle program's CPU that the 50 ms supervisor costs: the
// supervisor ticking a job that has not been started, beside a plain thread that
// only wakes every 50 ms (what any wake-up costs on this machine).
//
//   supervisor_idle_bench [SECONDS]   (default 10)
#include "JobHost.h"
#include "Supervisor.h"
#include "UpdateJob.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace {

class NoHost : public updater::IJobHost
{
public:
    void sendBlock(const std::uint8_t *, std::size_t, std::int32_t) override {}
    void setLineText(updater::StatusLine, const std::string &) override {}
    void setProgressVisible(bool) override {}
    void setProgressPos(std::uint32_t) override {}
    void showMessage(updater::MessageKind, const std::string &) override {}
};

double cpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void report(const char *label, double cpu, int seconds, std::uint64_t wakeUps)
{
    std::printf("%-36s CPU %.4f s in %d s = %.4f%% of one core, %.1f us per wake-up\n", label, cpu,
                seconds, 100.0 * cpu / seconds, wakeUps ? cpu * 1e6 / double(wakeUps) : 0.0);
}

} // namespace

int main(int argc, char **argv)
{
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    {
        NoHost host;
        updater::UpdateJob job(host);
        const double cpu0 = cpuSeconds();
        std::uint64_t ticks = 0;
        {
            updater::Supervisor supervisor([&job] { job.jobTick(); });
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            ticks = supervisor.ticks();
        }
        report("supervisor, no job", cpuSeconds() - cpu0, seconds, ticks);
    }
    std::atomic<bool> stop{false};
    std::uint64_t wakeUps = 0;
    const double cpu0 = cpuSeconds();
    std::thread plain([&] {
        auto next = std::chrono::steady_clock::now();
        while (!stop.load()) {
            next += std::chrono::milliseconds(50);
            std::this_thread::sleep_until(next);
            ++wakeUps;
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    plain.join();
    report("plain thread waking every 50 ms", cpuSeconds() - cpu0, seconds, wakeUps);
    return 0;
}
