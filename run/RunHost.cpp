#include "RunHost.h"

#include "DeviceLink.h"
#include "UpdateJob.h"

namespace updater::run {

void RunHost::sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t jobState)
{
    if (trace_.isOpen())
        trace_.sent(jobState, data, length);
    ++unitsSent_;
    bytesSent_ += length;
    answers_.unitSent(length, jobState, time_.now());
    link_->send(data, length);
}

void RunHost::setLineText(StatusLine line, const std::string &text)
{
    {
        std::lock_guard lock(linesMutex_);
        std::optional<std::string> &shown = line == StatusLine::File      ? fileLine_
                                            : line == StatusLine::Connect ? connectLine_
                                                                          : programLine_;
        if (shown == text)
            return; // "Programing..." is written for every unit; it is shown once
        shown = text;
        if (!text.empty() && line != StatusLine::File)
            lastStatus_ = text;
    }
    if (!text.empty())
        trace_.note("line " + std::to_string(static_cast<int>(line)), text);
    if (!muted_.load())
        presenter_.statusLine(line, text);
}

void RunHost::setProgressVisible(bool visible)
{
    {
        std::lock_guard lock(linesMutex_);
        if (!visible && heldSuccess_) {
            heldHide_ = true;
            return;
        }
    }
    progressVisible_.store(visible);
    presenter_.progressVisible(visible);
}

void RunHost::setProgressPos(std::uint32_t percent)
{
    presenter_.progressPos(percent);
}

void RunHost::newJob(std::int32_t firmwareType, bool serialLine)
{
    answers_.start(firmwareType, serialLine);
    std::lock_guard lock(linesMutex_);
    heldSuccess_.reset();
    heldHide_ = false;
    heldOther_.reset();
    connectLine_.reset();
    programLine_.reset();
    fileLine_.reset();
}

std::string RunHost::lastMessage() const
{
    std::lock_guard lock(linesMutex_);
    return lastMessage_;
}

std::string RunHost::lastStatus() const
{
    std::lock_guard lock(linesMutex_);
    return lastStatus_;
}

void RunHost::showMessage(MessageKind kind, const std::string &text)
{
    {
        std::lock_guard lock(linesMutex_);
        lastMessage_ = text;
        if (kind == MessageKind::Success) {
            heldSuccess_ = text;
            return;
        }
        if (holdMessages_.load()) {
            heldOther_ = {kind, text};
            return;
        }
    }
    trace_.note("message", text);
    presenter_.message(kind, text);
}

void RunHost::tellSuccess()
{
    std::optional<std::string> text;
    bool hide = false;
    {
        std::lock_guard lock(linesMutex_);
        text.swap(heldSuccess_);
        hide = std::exchange(heldHide_, false);
    }
    if (!text)
        return;
    trace_.note("message", *text);
    if (hide)
        presenter_.progressPos(100);
    presenter_.message(MessageKind::Success, *text);
    if (hide) {
        progressVisible_.store(false);
        presenter_.progressVisible(false);
    }
}

void RunHost::dropSuccess()
{
    std::lock_guard lock(linesMutex_);
    heldSuccess_.reset();
    heldHide_ = false;
}

void RunHost::tellHeld()
{
    std::optional<std::pair<MessageKind, std::string>> held;
    {
        std::lock_guard lock(linesMutex_);
        held.swap(heldOther_);
    }
    if (!held)
        return;
    trace_.note("message", held->second);
    presenter_.message(held->first, held->second);
}

void RunHost::dropHeld()
{
    std::lock_guard lock(linesMutex_);
    heldSuccess_.reset();
    heldHide_ = false;
    heldOther_.reset();
}

void RunHost::idleChanged(bool idle)
{
    presenter_.idleChanged(idle);
    if (idle && onIdle_)
        onIdle_();
}

void RunHost::reportLinkError(LinkFault fault, const QString &caption, const QString &text)
{
    trace_.note("link", (caption + QStringLiteral(": ") + text).toStdString());
    if (!muted_.load())
        presenter_.linkError(fault, caption, text);
    if (fault == LinkFault::ConnectFailed && onConnectFailed_)
        onConnectFailed_(text.toStdString());
}

void RunHost::reportLinkClosed(const QString &caption, const QString &text, const QString &status)
{
    trace_.note("link", status.toStdString());
    // The device hangs up as it restarts once it has acknowledged the last unit:
    // the job's own ending says how it went; the hang-up is no error to show.
    bool jobAnswered = false;
    {
        std::lock_guard lock(linesMutex_);
        jobAnswered = heldSuccess_.has_value();
    }
    if (!muted_.load() && !jobAnswered)
        presenter_.linkClosed(caption, text, status);
}

void TracingSink::receiveByte(std::uint8_t byte)
{
    answers_.byteReceived(byte, time_.now());
    if (!trace_.isOpen()) {
        job_.receiveByte(byte);
        return;
    }
    trace_.received(job_.jobState(), byte);
    trace_.handled(job_.handleByte(byte));
}

} // namespace updater::run
