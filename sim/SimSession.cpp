#include "SimSession.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <utility>

namespace updater::sim {

namespace {

// A pseudo-terminal stands for the inverter's RS485 line, which runs at 9600 baud.
constexpr int kLineBaud = 9600;
// Noise goes to the transport in pieces of this size, as it takes them.
constexpr std::size_t kNoisePiece = 64 * 1024;

} // namespace

SimSession::SimSession(const SimOptions &options, Expectation expected, DueTimer &answers,
                       QObject *parent)
    : QObject(parent), options_(options), device_(options.faults, std::move(expected)),
      pace_(options.pty && !options.fastLine ? kLineBaud : 0), answers_(answers),
      answersClient_(answers.addClient([this] { flushDue(); }))
{
    device_.setNoisePiece(kNoisePiece);
    restartTimer_.setSingleShot(true);
    connect(&restartTimer_, &QTimer::timeout, this, &SimSession::restart);
}

SimSession::~SimSession()
{
    answers_.removeClient(answersClient_);
}

void SimSession::connectionOpened(Writer write, Dropper drop, Dropper hangUp, Backlog backlog)
{
    write_ = std::move(write);
    drop_ = std::move(drop);
    hangUp_ = std::move(hangUp);
    backlog_ = std::move(backlog);
    connected_ = true;
    cut_ = false;
    dropWhenFlushed_ = false;
    restarting_ = restartWhenFlushed_ = false;
    restartTimer_.stop();
    answers_.cancel(answersClient_);
    pending_.clear();
    noiseLeft_ = 0;
    pace_.reset();
    device_.newJob();
}

void SimSession::bytesReceived(const char *data, std::size_t length)
{
    const auto readAt = DueTimer::Clock::now();
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(data);
    for (std::size_t i = 0, used = 0; i < length; i += used) {
        if (cut_ || !connected_ || restarting_)
            return; // a restarting device hears nothing
        const Step step = device_.receive(bytes + i, length - i, used);
        const auto earliest = pace_.took(readAt, used, step);
        if (!step.reply.empty())
            send(step, earliest);
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

// The answer leaves at the earliest time the line allows, or --delay-ms after the
// unit was in if that is later.
void SimSession::send(const Step &step, DueTimer::Clock::time_point earliest)
{
    const auto *bytes = reinterpret_cast<const char *>(step.reply.data());
    const auto now = DueTimer::Clock::now();
    const int delay = device_.units() >= options_.delayFrom ? options_.delayMs : 0;
    auto due = std::max(now + std::chrono::milliseconds(delay), earliest);
    if (due <= now && pending_.empty() && noiseLeft_ == 0) {
        write_(bytes, step.reply.size());
        noiseLeft_ = step.noiseLeft;
        pumpNoise();
        return;
    }
    // Answers leave in the order of their units, a late one holding up the rest.
    if (!pending_.empty())
        due = std::max(due, pending_.back().due);
    pending_.push_back({due, QByteArray(bytes, qsizetype(step.reply.size())), step.noiseLeft});
    if (pending_.size() == 1 && noiseLeft_ == 0)
        answers_.wakeAt(answersClient_, due);
}

void SimSession::flushDue()
{
    const auto now = DueTimer::Clock::now();
    while (noiseLeft_ == 0 && !pending_.empty() && pending_.front().due <= now) {
        const Answer answer = std::move(pending_.front());
        pending_.pop_front();
        if (!connected_)
            continue;
        write_(answer.bytes.constData(), std::size_t(answer.bytes.size()));
        noiseLeft_ = answer.noise;
        pumpNoise();
    }
    if (noiseLeft_ > 0)
        return; // goes on once the transport has taken the noise written so far
    if (!pending_.empty()) {
        answers_.wakeAt(answersClient_, pending_.front().due);
        return;
    }
    if (dropWhenFlushed_ && connected_) {
        dropWhenFlushed_ = false;
        drop_();
    }
    if (std::exchange(restartWhenFlushed_, false))
        restartTimer_.start(options_.restartMs);
}

// A flood of noise is drawn and written a piece at a time while the transport
// holds less than a piece: 100 MB of it never sits in memory, and a host that
// stops reading leaves the device waiting on the event loop, not stuck in a write.
void SimSession::pumpNoise()
{
    while (noiseLeft_ > 0 && connected_ && backlog_() < kNoisePiece) {
        const auto piece = device_.noise(std::min(noiseLeft_, kNoisePiece));
        noiseLeft_ -= piece.size();
        write_(reinterpret_cast<const char *>(piece.data()), piece.size());
    }
    if (!connected_)
        noiseLeft_ = 0;
}

void SimSession::outputDrained()
{
    if (noiseLeft_ == 0)
        return;
    pumpNoise();
    if (noiseLeft_ == 0)
        flushDue();
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
    noiseLeft_ = 0;
    pace_.reset();
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
    if (options_.pty && options_.fastLine)
        verdict.faults.push_back("answers sent as soon as each unit was in, sooner than a "
                                 "9600-baud line carries the unit");
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
