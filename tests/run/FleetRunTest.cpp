#include "FleetRun.h"
#include "RunRig.h"

#include "WireUnits.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

namespace runtest {
namespace {

using updater::run::DeviceOutcome;
using updater::run::FleetRun;
using updater::run::outcomeName;

// Devices run at most `jobs` at once, in the order given; the exit status sums
// them up; a signal ends every device at once.
struct FleetCase
{
    const char *name;
    int devices;
    unsigned jobs;
    int silentDevice;   // -1 none: this device stops answering at its 3rd unit
    int noLinkDevice;   // -1 none: this device's link never opens
    int interruptAfter; // ticks; 0 never
    int exitStatus;
    std::vector<DeviceOutcome> outcomes;
};

class Fleet : public ::testing::TestWithParam<FleetCase>
{
};

TEST_P(Fleet, RunsItsDevicesAtMostJobsAtOnceAndSumsThemUp)
{
    const FleetCase &c = GetParam();
    QTemporaryDir dir;
    const std::string hex = dir.filePath("fw.hex").toStdString();
    std::ofstream(hex, std::ios::binary) << testsupport::hexOfRecords(10);

    CountedTime time;
    std::vector<FakeLink *> links;
    std::vector<Told> told(c.devices);
    std::vector<updater::run::DeviceEntry> devices;
    for (int i = 0; i < c.devices; ++i) {
        updater::run::DeviceEntry d;
        d.name = d.linkText = "10.0.0." + std::to_string(i + 1) + ":8899";
        d.link.tcpAddress = "10.0.0." + std::to_string(i + 1);
        d.dspPath = hex;
        devices.push_back(d);
    }
    int index = 0;
    FleetRun fleet(
        devices, {}, c.jobs,
        [&](const updater::run::DeviceEntry &) { return std::make_unique<Recorder>(told[index]); },
        [&](const updater::run::DeviceEntry &) {
            updater::sim::Faults faults;
            faults.silentFrom = index == c.silentDevice ? 3 : 0;
            auto link = std::make_unique<FakeLink>(time, faults);
            link->acceptOpens = index != c.noLinkDevice;
            links.push_back(link.get());
            ++index;
            return link;
        },
        &time);
    for (std::size_t i = 0; i < fleet.runs().size(); ++i)
        fleet.runs()[i]->trace().setPath(dir.filePath(QString("d%1.trace").arg(i)).toStdString());
    int status = -1;
    fleet.start([&](int s) { status = s; });
    std::size_t mostAtOnce = 0;
    for (int step = 1; step < 4000 && status < 0; ++step) {
        if (step == c.interruptAfter)
            fleet.interrupt(15);
        time.advance(50ms);
        fleet.tick();
        for (int quiet = 0; quiet < 2;) {
            QCoreApplication::processEvents();
            bool any = false;
            for (FakeLink *l : links)
                any = l->pump() || any;
            quiet = any ? 0 : quiet + 1;
        }
        mostAtOnce = std::max<std::size_t>(mostAtOnce,
                                           std::count_if(fleet.runs().begin(), fleet.runs().end(),
                                                         [](const auto &r) { return r->busy(); }));
    }
    EXPECT_EQ(status, c.exitStatus);
    EXPECT_LE(mostAtOnce, c.jobs);
    std::vector<DeviceOutcome> outcomes;
    for (const auto &r : fleet.runs())
        outcomes.push_back(r->outcome());
    EXPECT_EQ(outcomes, c.outcomes);
    // Each device's trace ends with its own outcome; the run's exit status is a
    // device's own only when it is the only one.
    for (std::size_t i = 0; i < fleet.runs().size(); ++i) {
        fleet.runs()[i]->trace().close();
        std::ifstream in(dir.filePath(QString("d%1.trace").arg(i)).toStdString());
        const std::string log((std::istreambuf_iterator<char>(in)), {});
        if (outcomes[i] != DeviceOutcome::NotStarted) {
            EXPECT_NE(log.find(std::string("end: ") + outcomeName(outcomes[i])), std::string::npos)
                << log;
        }
        EXPECT_EQ(log.find("exit: ") != std::string::npos, c.devices == 1 && !log.empty()) << log;
    }
}

constexpr auto S = DeviceOutcome::Success;

INSTANTIATE_TEST_SUITE_P(
    Run, Fleet,
    ::testing::Values(
        FleetCase{"AllWritten", 4, 2, -1, -1, 0, 0, {S, S, S, S}},
        FleetCase{"OneSilent", 3, 3, 1, -1, 0, 1, {S, DeviceOutcome::TimedOut, S}},
        FleetCase{"OneDeviceWithoutItsLink", 1, 1, -1, 0, 0, 3, {DeviceOutcome::LinkNotOpened}},
        // Only a run of one device says which failure it was.
        FleetCase{"FirstOfTwoWithoutItsLink", 2, 1, -1, 0, 0, 1, {DeviceOutcome::LinkNotOpened, S}},
        FleetCase{
            "Interrupted",
            3,
            1,
            -1,
            -1,
            3,
            143,
            {DeviceOutcome::Interrupted, DeviceOutcome::NotStarted, DeviceOutcome::NotStarted}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace runtest
