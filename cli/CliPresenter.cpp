#include "CliPresenter.h"

#include <QTime>

namespace updater::cli {

std::string CliPresenter::lead() const
{
    if (prefix_.empty())
        return {};
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss ")).toStdString() + prefix_;
}

void CliPresenter::statusLine(StatusLine line, const std::string &text)
{
    if (echo_ && line != StatusLine::File && !text.empty())
        console_.out(lead() + text);
}

void CliPresenter::message(MessageKind kind, const std::string &text)
{
    if (!echo_)
        return;
    if (kind == MessageKind::Success || kind == MessageKind::TimeOut) {
        console_.out(lead() + text);
        return;
    }
    // A refused or failed file: the message's lines name the file and the fault.
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        console_.error(lead() + text.substr(start, end - start));
        start = end + 1;
    }
}

void CliPresenter::linkError(LinkFault, const QString &, const QString &text)
{
    if (echo_)
        console_.error(lead() + text.toStdString());
}

void CliPresenter::fault(const std::string &text)
{
    if (echo_)
        console_.error(lead() + text);
}

void CliPresenter::note(const std::string &text)
{
    if (echo_)
        console_.out(lead() + text);
}

} // namespace updater::cli
