#include "SimSession.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <utility>

namespace updater::sim {

SimSession::SimSession(const SimOptions &options, Expectation expected, DueTimer &answers,
                       QObject *parent)
    : QObject(parent), options_(options), device_(options.faults, std::move(expected)),
      answers_(answers), answersClient_(answers.addClient([this] { flushDue(); }))
{
    restartTimer_.setSingleShot(true);
    connect(&restartTimer_, &QTimer::timeout, this, &SimSession::restart);
}

SimSession::~SimSession()
{
    answers_.removeClient(answersClient_);
}

void SimSession::connectionOpened(Writer write, Dropper drop, Dropper hangUp)
{
    write_ = std::move(write);
    drop_ = std::move(drop);
    hangUp_ = std::move(hangUp);
    connected_ = true;
    cut_ = false;
    dropWhenFlushed_ = false;
    restarting_ = restartWhenFlushed_ = false;
    restartTimer_.stop();
    answers_.cancel(answersClient_);
    pending_.clear();
    device_.newJob();
}

void SimSession::bytesReceived(const char *data, std::size_t length)
{
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(data);
    for (std::size_t i = 0, used = 0; i < length; i += used) {
        if (cut_ || !connected_ || restarting_)
            return; // a restarting device hears nothing
        const Step step = device_.receive(bytes + i, length - i, used);
        if (!step.reply.empty())
            send(step.reply);
        if (step.jobEnded) {
            judge();
            device_.newJob();
            if (!options_.stay) {
                restarting_ = restartWhenFlushed_ = true;
                flushDue();
            }
        } else if (step.unitDone && options_.dropAfter > 0 &&
                   device_.units() >= options_.dropAfter) {
            // Judged now, while the device still knows the job; the line goes once
            // the answers already due have left.
            cut_ = true;
            dropWhenFlushed_ = true;
            judge();
            device_.newJob();
            flushDue();
        }
    }
}

void SimSession::send(const std::vector<std::uint8_t> &reply)
{
    const auto *bytes = reinterpret_cast<const char *>(reply.data());
    const int delay = device_.units() >= options_.delayFrom ? options_.delayMs : 0;
    if (delay == 0 && pending_.empty()) {
        write_(bytes, reply.size());
        return;
    }
    // Answers leave in the order of their units, a late one holding up the rest.
    auto due = DueTimer::Clock::now() + std::chrono::milliseconds(delay);
    if (!pending_.empty())
        due = std::max(due, pending_.back().first);
    pending_.emplace_back(due, QByteArray(bytes, qsizetype(reply.size())));
    if (pending_.size() == 1)
        answers_.wakeAt(answersClient_, due);
}

void SimSession::flushDue()
{
    const auto now = DueTimer::Clock::now();
    while (!pending_.empty() && pending_.front().first <= now) {
        if (connected_)
            write_(pending_.front().second.constData(),
                   std::size_t(pending_.front().second.size()));
        pending_.pop_front();
    }
    if (!pending_.empty()) {
        answers_.wakeAt(answersClient_, pending_.front().first);
        return;
    }
    if (dropWhenFlushed_ && connected_) {
        dropWhenFlushed_ = false;
        drop_();
    }
    if (std::exchange(restartWhenFlushed_, false))
        restartTimer_.start(options_.restartMs);
}

// The device comes back from its restart; a host still connected finds the TCP
// connection closed or the pseudo-terminal hung up.
void SimSession::restart()
{
    restarting_ = false;
    if (connected_ && hangUp_) {
        cut_ = true;
        hangUp_();
    }
}

void SimSession::connectionClosed()
{
    if (!connected_)
        return;
    connected_ = false;
    answers_.cancel(answersClient_);
    restartTimer_.stop();
    restarting_ = restartWhenFlushed_ = false;
    pending_.clear();
    if (device_.jobStarted() || jobs_ == 0)
        judge();
    device_.newJob();
    if (!options_.repeat)
        emit servedEnough();
}

void SimSession::shutDown()
{
    if (device_.jobStarted())
        judge();
    device_.newJob();
}

// The image, needed only to be saved, is rebuilt only then: a fleet's devices
// end their jobs within moments of each other.
void SimSession::judge()
{
    Verdict verdict = device_.verdict(!options_.savePath.empty());
    ++jobs_;
    if (options_.delayMs > 0 && options_.delayFrom <= 1)
        verdict.faults.push_back("every answer delayed by " + std::to_string(options_.delayMs) +
                                 " ms");
    else if (options_.delayMs > 0)
        verdict.faults.push_back("answers delayed by " + std::to_string(options_.delayMs) +
                                 " ms from unit " + std::to_string(options_.delayFrom) + " on");
    if (cut_ && options_.dropAfter > 0)
        verdict.faults.push_back(
            (options_.hangUp ? "line hung up after unit " : "connection dropped after unit ") +
            std::to_string(options_.dropAfter));
    allPassed_ = allPassed_ && verdict.passed();
    const std::string text =
        (options_.label.empty() ? "" : options_.label + "\n") + formatVerdict(verdict);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    saveImage(verdict);
}

void SimSession::saveImage(const Verdict &verdict)
{
    if (options_.savePath.empty() || verdict.protocol == Protocol::None)
        return;
    std::ofstream out(options_.savePath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(verdict.image.data()),
              static_cast<std::streamsize>(verdict.image.size()));
    out.close();
    if (!out)
        std::fprintf(stderr, "updater-sim: %s: cannot write the rebuilt image\n",
                     options_.savePath.c_str());
    else
        std::printf("saved: %s (%zu bytes)\n", options_.savePath.c_str(), verdict.image.size());
    std::fflush(stdout);
}

} // namespace updater::sim
