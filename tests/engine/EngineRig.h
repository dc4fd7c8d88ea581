#pragma once

// A fake host and the simulated inverter around one UpdateJob. Time moves only
// when the test calls tick(); the device's replies are delivered, byte by byte,
// right after the step that provoked them.
#include "JobHost.h"
#include "SimDevice.h"
#include "UpdateJob.h"
#include "WireUnits.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace enginetest {

using testsupport::Bytes;
using testsupport::endBlock;
using testsupport::headerBlock;
using testsupport::randomBytes;

struct Sent
{
    Bytes bytes;
    int tick;  // the tick during or after which the unit left
    int state; // jobState right after the step that sent it
};

class FakeHost : public updater::IJobHost
{
public:
    void sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t jobState) override;
    void setLineText(updater::StatusLine line, const std::string &text) override;
    void setProgressVisible(bool visible) override { progressVisible = visible; }
    void setProgressPos(std::uint32_t percent) override;
    void showMessage(updater::MessageKind kind, const std::string &text) override;
    void idleChanged(bool idle) override { idleEvents.push_back(idle); }

    std::vector<Sent> sent;
    std::vector<std::string> messages;
    std::vector<updater::MessageKind> messageKinds;
    std::vector<std::pair<int, std::string>> texts; // every line write, in order
    std::vector<std::uint32_t> progress;            // every bar move, in order
    std::vector<int> progressRecordCounts;          // units sent when the bar moved
    std::vector<bool> idleEvents;
    bool progressVisible = false;
    int tick = 0;
    std::function<void(const Bytes &)> onSend;
    std::function<void(const std::string &)> onMessage;

    std::string line(int id) const; // current text of a line ("" if never written)
};

// Replies to each unit the host sends. The default replies nothing.
using Responder = std::function<Bytes(std::size_t unitIndex, const Bytes &unit)>;

class Rig
{
public:
    Rig();
    FakeHost host;
    updater::UpdateJob job{host};
    Responder responder;
    std::deque<std::uint8_t> pending;

    // The simulated inverter answers every unit from now on, with these faults.
    void useDevice(updater::sim::Faults faults = {});
    void startJob(int firmwareType, const std::string &path);
    void tick();
    // Ticks until the job is idle again or maxTicks have run. Returns the ticks run.
    int runUntilIdle(int maxTicks = 100000);
    void deliver(const Bytes &bytes);
    void deliverPending();
    int state() const { return job.jobState(); }

private:
    std::unique_ptr<updater::sim::SimDevice> device_;
};

// A temporary folder removed with the object.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    std::filesystem::path path(const std::string &name) const { return dir_ / name; }
    std::string write(const std::string &name, const Bytes &content) const;
    std::string write(const std::string &name, const std::string &content) const;

private:
    std::filesystem::path dir_;
};

Bytes readFile(const std::filesystem::path &path);

} // namespace enginetest
