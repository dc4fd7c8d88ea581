#include "RunRig.h"

#include "LinkReporter.h"
#include "SerialPort.h"
#include "WireUnits.h"

#include <QCoreApplication>

#include <algorithm>
#include <fstream>

namespace runtest {

class CountedTimer : public updater::run::RunTimer
{
public:
    explicit CountedTimer(CountedTime &time) : time_(time) { time_.waits_.push_back(&wait_); }
    ~CountedTimer() override { std::erase(time_.waits_, &wait_); }
    void start(std::chrono::milliseconds after, std::function<void()> due) override
    {
        wait_ = {time_.now() + after, std::move(due), true};
    }
    void stop() override { wait_ = {}; }

private:
    CountedTime &time_;
    CountedTime::Wait wait_;
};

std::unique_ptr<updater::run::RunTimer> CountedTime::timer()
{
    return std::make_unique<CountedTimer>(*this);
}

void CountedTime::advance(std::chrono::microseconds step)
{
    const Clock::time_point until = now_ + step;
    for (;;) {
        Wait *next = nullptr;
        for (Wait *w : waits_) {
            if (w->armed && w->due <= until && (next == nullptr || w->due < next->due))
                next = w;
        }
        if (next == nullptr)
            break;
        now_ = std::max(now_, next->due);
        next->armed = false;
        const std::function<void()> call = std::move(next->call);
        call();
    }
    now_ = until;
}

void FakeLink::open(const updater::LinkTarget &target)
{
    close();
    ++opens;
    target_ = target;
    opening_ = true;
    ended_ = false;
    fresh_ = true;
    device_.newJob(); // a new connection meets the boot loader afresh
}

void FakeLink::send(const std::uint8_t *data, std::size_t length)
{
    if (!open_)
        return;
    if (std::exchange(fresh_, false) && length > 0) {
        jobs.push_back(data[0]);
        jobsAt.push_back(time_.now());
    }
    if (!answers || time_.now() < restartUntil_)
        return;
    const auto due = time_.now() + (paced && !target_.tcp ? CSerialPort::LineTime(length)
                                                          : std::chrono::microseconds(0));
    std::size_t done = 0;
    while (done < length) {
        std::size_t used = 0;
        const updater::sim::Step step = device_.receive(data + done, length - done, used);
        done += std::max<std::size_t>(used, 1);
        std::vector<std::uint8_t> reply = step.reply;
        if (step.noiseLeft > 0) {
            const std::vector<std::uint8_t> more = device_.noise(step.noiseLeft);
            reply.insert(reply.end(), more.begin(), more.end());
        }
        for (std::uint8_t byte : reply)
            pending_.push_back({byte, due});
        if (step.jobEnded && !ended_)
            endedAt_ = due;
        ended_ = ended_ || step.jobEnded;
    }
}

void FakeLink::close()
{
    open_ = opening_ = false;
    drained_ = nullptr;
    pending_.clear();
    ++closes;
}

void FakeLink::closeWhenSent(std::function<void(bool)> done, std::function<bool()>)
{
    drained_ = std::move(done);
}

void FakeLink::hangUp()
{
    if (!open_)
        return;
    open_ = false;
    pending_.clear();
    if (drained_) {
        const auto done = std::move(drained_);
        drained_ = nullptr;
        done(writesAll);
        return;
    }
    reporter_->reportLinkClosed(QStringLiteral("Updater"), QStringLiteral("connection closed"),
                                QStringLiteral("closed"));
    events_->linkLost();
}

bool FakeLink::pump()
{
    if (opening_ && opensEnd) {
        opening_ = false;
        open_ = acceptOpens;
        if (acceptOpens)
            events_->linkOpened();
        else
            events_->linkOpenFailed("refused");
        return true;
    }
    if (!pending_.empty() && open_) {
        const Answer answer = pending_.front();
        if (answer.due > time_.now())
            time_.advance(
                std::chrono::duration_cast<std::chrono::microseconds>(answer.due - time_.now()));
        pending_.pop_front();
        sink_->receiveByte(answer.byte);
        if (hangUpWithLastAnswer && ended_ && pending_.empty()) {
            ended_ = false;
            hangUp();
        }
        return true;
    }
    if (drained_ && drainsEnd) {
        open_ = false;
        ++closes;
        const auto done = std::move(drained_);
        drained_ = nullptr;
        done(writesAll);
        return true;
    }
    if (open_ && ended_ && hangUpAtEnd && time_.now() >= endedAt_ + hangUpAfter) {
        ended_ = false;
        hangUp();
        restartUntil_ = time_.now() + restartFor;
        return true;
    }
    return false;
}

RunRig::RunRig(DeviceRun::Settings settings, updater::sim::Faults faults, bool tcp)
    : settings(settings), presenter_(std::make_unique<Recorder>(told))
{
    auto fake = std::make_unique<FakeLink>(time, faults);
    link = fake.get();
    updater::run::DeviceEntry entry;
    entry.name = entry.linkText = tcp ? "10.0.0.7:8899" : "/dev/ttyUSB0";
    entry.link.tcp = tcp;
    entry.link.tcpAddress = "10.0.0.7";
    entry.link.serialPath = "/dev/ttyUSB0";
    run = std::make_unique<DeviceRun>(entry, settings, *presenter_, std::move(fake), time);
    run->setCallbacks({}, [this] { ++told.finished; });
}

RunRig::~RunRig()
{
    run.reset();
}

std::string RunRig::dspFile(int records)
{
    const std::string path = dir_.filePath("fw.hex").toStdString();
    std::ofstream(path, std::ios::binary) << testsupport::hexOfRecords(records);
    return path;
}

std::string RunRig::armFile(std::size_t bytes)
{
    const std::string path = dir_.filePath("fw.bin").toStdString();
    const testsupport::Bytes image = testsupport::randomBytes(bytes, 7);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
    return path;
}

void RunRig::start(const std::string &dsp, const std::string &arm)
{
    updater::run::DeviceEntry entry = run->device();
    entry.dspPath = dsp;
    entry.armPath = arm;
    run->reset(entry, settings);
    run->start();
    settle();
}

void RunRig::settle()
{
    for (int quiet = 0; quiet < 2;) {
        QCoreApplication::processEvents();
        quiet = link->pump() ? 0 : quiet + 1;
    }
}

void RunRig::step()
{
    time.advance(50ms);
    run->tick();
    settle();
}

void RunRig::runFor(std::chrono::milliseconds limit)
{
    for (auto left = limit; left.count() > 0 && run->busy(); left -= 50ms)
        step();
}

} // namespace runtest
