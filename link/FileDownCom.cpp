#include "FileDownCom.h"

#include "JobHost.h"
#include "LinkReporter.h"

#include <algorithm>

namespace {
// Each receive pass reads at most this many bytes; the rest waits for the next.
constexpr qint64 kReceiveChunk = 1050;
} // namespace

CFileDownCom::CFileDownCom(updater::IByteSink *owner, updater::ILinkReporter *reporter,
                           QObject *parent)
    : CSocketModbus(parent), CSerialPort(reporter), owner_(owner), reporter_(reporter)
{
}

CFileDownCom::~CFileDownCom()
{
    // End the communication thread while this object can still take its bytes.
    // Whoever listens may be going away too: no signal from here on.
    blockSignals(true);
    CloseLink();
}

void CFileDownCom::beginLink(int linkType)
{
    CloseLink();
    linkType_.store(linkType);
}

void CFileDownCom::OpenLink(int linkType, unsigned comPort, quint32 ipAddress, int tcpPort)
{
    beginLink(linkType);
    if (linkType == updater::kSerialLink) {
        setLinkOpen(OpenPort(comPort));
    } else if (linkType == updater::kTcpLink) {
        if (tcpPort < 1 || tcpPort > 65535) {
            reportTcpFailure(updater::ipv4AddressText(ipAddress), tcpPort,
                             QStringLiteral("the TCP port must be 1 to 65535"));
            return;
        }
        ConnectTo(updater::ipv4AddressText(ipAddress), quint16(tcpPort));
    }
}

bool CFileDownCom::OpenSerialDevice(const QString &devicePath)
{
    beginLink(updater::kSerialLink);
    setLinkOpen(OpenPortDevice(devicePath));
    return linkOpen();
}

void CFileDownCom::OpenTcpLink(const QString &host, quint16 tcpPort)
{
    beginLink(updater::kTcpLink);
    ConnectTo(host, tcpPort);
}

void CFileDownCom::CloseLink()
{
    if (quietWatch_ != nullptr)
        quietWatch_->stop();
    whenQuiet_ = nullptr; // closed before the line went quiet: nobody waits any more
    ClosePort();
    CloseSocket();
    setLinkOpen(false);
}

bool CFileDownCom::CloseLinkWhenSent()
{
    bool sent = true;
    if (linkType_.load() == updater::kSerialLink)
        sent = WaitUntilWritten();
    else if (linkType_.load() == updater::kTcpLink)
        sent = CloseSocketWhenSent(kTcpDrainMs);
    CloseLink();
    return sent;
}

void CFileDownCom::CloseLinkWhenSentLater(std::function<void(bool)> done,
                                          std::function<bool()> settled)
{
    if (linkType_.load() == updater::kTcpLink) {
        CloseSocketWhenSentLater(
            kTcpDrainMs, std::move(done),
            [this](const char *data, std::size_t length) { handOn(data, length); });
        CloseLink();
        return;
    }
    if (linkType_.load() != updater::kSerialLink || !linkOpen()) {
        done(CloseLinkWhenSent());
        return;
    }
    const bool sent = WaitUntilWritten();
    whenQuiet_ = [this, sent, done = std::move(done)] {
        CloseLink();
        done(sent);
    };
    settled_ = std::move(settled);
    quietSince_ = std::chrono::steady_clock::now();
    if (quietWatch_ == nullptr) {
        quietWatch_ = new QTimer(this);
        connect(quietWatch_, &QTimer::timeout, this, [this] { watchQuiet(); });
    }
    quietWatch_->start(50);
}

void CFileDownCom::watchQuiet()
{
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const auto lastByte = steady_clock::time_point(nanoseconds(lastByteAt_.load()));
    const bool quiet = now - std::max(lastByte, quietSince_) >= milliseconds(kQuietMs);
    if (linkOpen() && !quiet && now - quietSince_ < milliseconds(kTcpDrainMs) &&
        !(settled_ && settled_()))
        return;
    quietWatch_->stop();
    std::exchange(whenQuiet_, nullptr)();
}

void CFileDownCom::handOn(const char *data, std::size_t length)
{
    updater::IByteSink *sink = owner_.load();
    for (std::size_t i = 0; sink != nullptr && i < length; ++i)
        sink->receiveByte(static_cast<std::uint8_t>(data[i]));
}

void CFileDownCom::SendOnCurrentLink(const std::uint8_t *data, std::size_t length)
{
    switch (linkType_.load()) {
    case updater::kSerialLink:
        QueueSend(data, length);
        break;
    case updater::kTcpLink:
        SocketSend(data, length);
        break;
    default:
        break; // no link chosen: nothing is sent
    }
}

void CFileDownCom::setLinkOpen(bool open)
{
    if (linkOpen_.exchange(open) != open)
        emit linkOpenChanged(open);
}

void CFileDownCom::reportTcpFailure(const QString &address, int tcpPort, const QString &reason)
{
    const QString text =
        QStringLiteral("Cannot connect to %1 port %2: %3").arg(address).arg(tcpPort).arg(reason);
    if (reporter_ != nullptr)
        reporter_->reportLinkError(updater::LinkFault::ConnectFailed,
                                   QString::fromLatin1(updater::kPortErrorCaption), text);
}

int CFileDownCom::OnByteReceived(std::uint8_t byte)
{
    lastByteAt_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count());
    if (updater::IByteSink *sink = owner_.load())
        sink->receiveByte(byte);
    return 0;
}

void CFileDownCom::OnPortLost()
{
    if (linkType_.load() == updater::kSerialLink)
        setLinkOpen(false);
}

void CFileDownCom::OnConnect(bool connected, const QString &reason)
{
    if (connected) {
        setLinkOpen(true);
        return;
    }
    reportTcpFailure(address(), port(), reason);
}

void CFileDownCom::OnReceive()
{
    // A message box opened by the byte handler (the success ending) runs a nested
    // event loop; bytes arriving meanwhile wait for the outer pass so that they
    // stay in order.
    if (receiving_)
        return;
    receiving_ = true;
    for (;;) {
        const qint64 count = Receive(receiveBuffer_.data(), kReceiveChunk);
        if (count <= 0)
            break;
        for (qint64 i = 0; i < count; ++i) {
            if (updater::IByteSink *sink = owner_.load())
                sink->receiveByte(receiveBuffer_[std::size_t(i)]);
        }
    }
    receiving_ = false;
}

void CFileDownCom::OnClose(const QString &reason)
{
    if (linkType_.load() != updater::kTcpLink)
        return;
    setLinkOpen(false);
    if (reporter_ != nullptr) {
        reporter_->reportLinkClosed(
            QString::fromLatin1(updater::kPortErrorCaption),
            QStringLiteral("The connection to %1 was closed: %2").arg(peerText(), reason),
            QStringLiteral("Connection to %1 closed").arg(peerText()));
    }
}
