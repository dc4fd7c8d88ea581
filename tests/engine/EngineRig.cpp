#include "EngineRig.h"

#include <fstream>
#include <random> // TempDir names

namespace enginetest {

void FakeHost::sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t jobState)
{
    Bytes unit(data, data + length);
    sent.push_back({unit, tick, jobState});
    if (onSend)
        onSend(unit);
}

void FakeHost::setLineText(updater::StatusLine line, const std::string &text)
{
    texts.emplace_back(static_cast<int>(line), text);
}

void FakeHost::setProgressPos(std::uint32_t percent)
{
    progress.push_back(percent);
    progressRecordCounts.push_back(static_cast<int>(sent.size()));
}

void FakeHost::showMessage(updater::MessageKind kind, const std::string &text)
{
    messages.push_back(text);
    messageKinds.push_back(kind);
    if (onMessage)
        onMessage(text);
}

std::string FakeHost::line(int id) const
{
    for (auto it = texts.rbegin(); it != texts.rend(); ++it)
        if (it->first == id)
            return it->second;
    return "";
}

Rig::Rig()
{
    host.onSend = [this](const Bytes &unit) {
        if (!responder)
            return;
        const Bytes reply = responder(host.sent.size() - 1, unit);
        pending.insert(pending.end(), reply.begin(), reply.end());
    };
}

void Rig::useDevice(updater::sim::Faults faults)
{
    device_ = std::make_unique<updater::sim::SimDevice>(faults, updater::sim::Expectation{});
    responder = [this](std::size_t, const Bytes &unit) {
        Bytes reply;
        for (const std::uint8_t b : unit) {
            const updater::sim::Step step = device_->receiveByte(b);
            reply.insert(reply.end(), step.reply.begin(), step.reply.end());
            if (step.jobEnded)
                device_->newJob(); // the next job may be of the other kind
        }
        return reply;
    };
}

void Rig::startJob(int firmwareType, const std::string &path)
{
    job.setFirmware(firmwareType, path);
    job.downLoad(true);
}

void Rig::tick()
{
    ++host.tick;
    job.jobTick();
    deliverPending();
}

int Rig::runUntilIdle(int maxTicks)
{
    int n = 0;
    while (n < maxTicks && !job.idle()) {
        tick();
        ++n;
    }
    return n;
}

void Rig::deliver(const Bytes &bytes)
{
    for (std::uint8_t b : bytes)
        job.receiveByte(b);
}

void Rig::deliverPending()
{
    while (!pending.empty()) {
        const std::uint8_t b = pending.front();
        pending.pop_front();
        job.receiveByte(b);
    }
}

TempDir::TempDir()
{
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() /
           ("engine-test-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir_);
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string TempDir::write(const std::string &name, const Bytes &content) const
{
    const auto p = path(name);
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char *>(content.data()),
              static_cast<std::streamsize>(content.size()));
    return p.string();
}

std::string TempDir::write(const std::string &name, const std::string &content) const
{
    return write(name, Bytes(content.begin(), content.end()));
}

Bytes readFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace enginetest
