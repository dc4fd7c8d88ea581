#include "CliHost.h"

#include "FileDownCom.h"
#include "Texts.h"
#include "UpdateJob.h"

namespace updater::cli {

void CliHost::sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t jobState)
{
    if (trace_.isOpen())
        trace_.sent(jobState, data, length);
    ++unitsSent_;
    bytesSent_ += length;
    link_->SendOnCurrentLink(data, length);
}

void CliHost::setLineText(StatusLine line, const std::string &text)
{
    if (line == StatusLine::File)
        return;
    {
        std::lock_guard lock(linesMutex_);
        std::string &shown = line == StatusLine::Connect ? connectLine_ : programLine_;
        if (shown == text)
            return; // "Programing..." is written for every unit; it is said once
        shown = text;
        if (text.empty())
            return;
        lastStatus_ = text;
    }
    trace_.note("line " + std::to_string(static_cast<int>(line)), text);
    if (echo_)
        console_.out(prefix_ + text);
}

void CliHost::newJob()
{
    std::lock_guard lock(linesMutex_);
    connectLine_.clear();
    programLine_.clear();
}

std::string CliHost::lastMessage() const
{
    std::lock_guard lock(linesMutex_);
    return lastMessage_;
}

std::string CliHost::lastStatus() const
{
    std::lock_guard lock(linesMutex_);
    return lastStatus_;
}

void CliHost::showMessage(MessageKind kind, const std::string &text)
{
    trace_.note("message", text);
    {
        std::lock_guard lock(linesMutex_);
        lastMessage_ = text;
    }
    if (!echo_)
        return;
    if (kind == MessageKind::Success || kind == MessageKind::TimeOut) {
        console_.out(prefix_ + text);
        return;
    }
    // A refused or failed file: the message's lines name the file and the fault.
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        console_.error(prefix_ + text.substr(start, end - start));
        start = end + 1;
    }
}

void CliHost::idleChanged(bool idle)
{
    if (idle && onIdle_)
        onIdle_();
}

void CliHost::reportLinkError(LinkFault fault, const QString &caption, const QString &text)
{
    trace_.note("link", (caption + QStringLiteral(": ") + text).toStdString());
    if (echo_)
        console_.error(prefix_ + text.toStdString());
    if (fault == LinkFault::ConnectFailed && onConnectFailed_)
        onConnectFailed_(text.toStdString());
}

void TracingSink::receiveByte(std::uint8_t byte)
{
    if (!trace_.isOpen()) {
        job_.receiveByte(byte);
        return;
    }
    trace_.received(job_.jobState(), byte);
    trace_.handled(job_.handleByte(byte));
}

} // namespace updater::cli
