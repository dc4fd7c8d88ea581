#pragma once

// A device's run on a link of the tests' own, in counted time: the link hands
// what the job sends to a simulated inverter and its answers back to the run;
// timers and the clock move only when the rig says so.

#include "DeviceRun.h"
#include "RunTime.h"
#include "SimDevice.h"

#include <QTemporaryDir>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace runtest {

using namespace std::chrono_literals;
using updater::run::DeviceRun;

class CountedTime : public updater::run::RunTime
{
public:
    Clock::time_point now() const override { return now_; }
    std::unique_ptr<updater::run::RunTimer> timer() override;
    // Moves the clock by step, firing the waits that come due on the way.
    void advance(std::chrono::microseconds step);

private:
    friend class CountedTimer;
    struct Wait
    {
        Clock::time_point due;
        std::function<void()> call;
        bool armed = false;
    };
    Clock::time_point now_{std::chrono::hours(1)};
    std::vector<Wait *> waits_;
};

// The link: opens when the test says, answers as a simulated inverter.
class FakeLink : public updater::DeviceLink
{
public:
    FakeLink(CountedTime &time, updater::sim::Faults faults) : time_(time), device_(faults, {}) {}

    void attach(updater::IByteSink *sink, updater::ILinkReporter *reporter,
                updater::LinkEvents *events) override
    {
        sink_ = sink;
        reporter_ = reporter;
        events_ = events;
    }
    void open(const updater::LinkTarget &target) override;
    bool isOpen() const override { return open_; }
    bool serialLine() const override { return !target_.tcp; }
    void send(const std::uint8_t *data, std::size_t length) override;
    void close() override;
    void closeWhenSent(std::function<void(bool)> done, std::function<bool()> settled) override;

    // What the test does to the link. Events come as the link's would: later.
    bool acceptOpens = true; // opens succeed; otherwise "refused"
    bool opensEnd = true;    // an open ends at all (a TCP connection that hangs)
    bool drainsEnd = true;   // a close once sent ends (a device that keeps reading)
    bool answers = true;     // the device answers
    bool writesAll = true;   // closeWhenSent finds everything written
    bool hangUpAtEnd = true; // the inverter hangs up after its last acknowledgement
    std::chrono::milliseconds hangUpAfter{0}; // this long after it
    // After that hang-up the inverter restarts this long: connections are taken
    // (its WiFi module stays up), nothing is answered.
    std::chrono::milliseconds restartFor{0};
    // ...at once with it: the hang-up comes before the run has seen its job end.
    bool hangUpWithLastAnswer = false;
    // Answers come when their unit has crossed a 9600-baud line (serial), or at once.
    bool paced = true;
    // Delivers opens, answers and closes that are due; returns whether any was.
    bool pump();
    void hangUp(); // the device closes the link during whatever runs

    int opens = 0;
    int closes = 0;
    // The first byte each connection carried: 0xFA a DSP job's erase, 0xFE an ARM wake-up.
    std::vector<std::uint8_t> jobs;
    std::vector<CountedTime::Clock::time_point> jobsAt; // when each went out
    updater::sim::SimDevice &device() { return device_; }

private:
    CountedTime &time_;
    updater::sim::SimDevice device_;
    updater::IByteSink *sink_ = nullptr;
    updater::ILinkReporter *reporter_ = nullptr;
    updater::LinkEvents *events_ = nullptr;
    updater::LinkTarget target_;
    bool open_ = false;
    bool opening_ = false;
    bool ended_ = false; // the device answered its last unit
    CountedTime::Clock::time_point endedAt_, restartUntil_;
    bool fresh_ = false; // nothing sent on this connection yet
    struct Answer
    {
        std::uint8_t byte;
        CountedTime::Clock::time_point due; // once its unit has crossed the line
    };
    std::deque<Answer> pending_;
    std::function<void(bool)> drained_;
};

// What the run told its front end.
struct Told
{
    std::vector<std::string> messages; // "Download file success!", "time out！"
    std::vector<std::string> faults;
    std::vector<std::string> linkErrors;
    std::vector<std::string> linkClosed; // what the front end was told of a hang-up
    int finished = 0;
};

// A front end that records what it is told.
class Recorder : public updater::run::DevicePresenter
{
public:
    explicit Recorder(Told &told) : told_(told) {}
    void statusLine(updater::StatusLine, const std::string &) override {}
    void message(updater::MessageKind, const std::string &text) override
    {
        told_.messages.push_back(text);
    }
    void linkError(updater::LinkFault, const QString &, const QString &text) override
    {
        told_.linkErrors.push_back(text.toStdString());
    }
    void linkClosed(const QString &, const QString &text, const QString &) override
    {
        told_.linkClosed.push_back(text.toStdString());
    }
    void fault(const std::string &text) override { told_.faults.push_back(text); }

private:
    Told &told_;
};

// A device, its firmware and its run.
class RunRig
{
public:
    explicit RunRig(DeviceRun::Settings settings, updater::sim::Faults faults = {},
                    bool tcp = true);
    ~RunRig();

    // A DSP file of records records, an ARM image of bytes bytes, in a folder of the rig's.
    std::string dspFile(int records = 12);
    std::string armFile(std::size_t bytes = 3000);

    // Runs the device from start() until the run is no longer busy or limit passes,
    // in 50 ms ticks of counted time.
    void start(const std::string &dsp, const std::string &arm);
    void runFor(std::chrono::milliseconds limit);
    void step();   // one tick
    void settle(); // what is due now: queued calls, opens, answers

    DeviceRun::Settings settings;
    CountedTime time;
    FakeLink *link = nullptr;
    Told told;
    std::unique_ptr<DeviceRun> run;

private:
    QTemporaryDir dir_;
    std::unique_ptr<updater::run::DevicePresenter> presenter_;
};

} // namespace runtest
