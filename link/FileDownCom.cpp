#include "FileDownCom.h"

#include "JobHost.h"
#include "LinkReporter.h"
#include "PortName.h"
#include "QueuedCall.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

namespace {
// Each receive pass reads at most this many bytes; the rest waits for the next.
constexpr qint64 kReceiveChunk = 1050;
} // namespace

CFileDownCom::CFileDownCom(QObject *parent) : CFileDownCom(nullptr, nullptr, parent) {}

CFileDownCom::CFileDownCom(updater::IByteSink *owner, updater::ILinkReporter *reporter,
                           QObject *parent)
    : CSocketModbus(parent), CSerialPort(reporter), owner_(owner), reporter_(reporter),
      eventsHome_(new QObject(this))
{
}

CFileDownCom::~CFileDownCom()
{
    // End the communication thread while this object can still take its bytes.
    // Whoever listens may be going away too: no signal from here on.
    blockSignals(true);
    CloseLink();
}

void CFileDownCom::attach(updater::IByteSink *sink, updater::ILinkReporter *reporter,
                          updater::LinkEvents *events)
{
    owner_.store(sink);
    reporter_ = reporter;
    SetPortReporter(reporter);
    events_ = events;
}

void CFileDownCom::open(const updater::LinkTarget &target)
{
    CloseLink();
    target_ = target;
    const std::string label = updater::linkLabel(target);
    if (target.tcp) {
        linkType_.store(updater::kTcpLink);
        const QString address = QString::fromStdString(target.tcpAddress);
        if (target.tcpPort == 0) {
            failTcp(label, address, 0, QStringLiteral("the TCP port must be 1 to 65535"));
            return;
        }
        ConnectTo(address, target.tcpPort); // OnConnect tells how it ended
        return;
    }
    linkType_.store(updater::kSerialLink);
    const bool opened = target.comNumber != 0
                            ? OpenPort(target.comNumber)
                            : OpenPortDevice(QString::fromStdString(target.serialPath));
    setLinkOpen(opened);
    if (opened) {
        tell([](updater::LinkEvents &events) { events.linkOpened(); });
        return;
    }
    // Not reported here: whoever opened says so, with the reason.
    const std::string reason = label + ": " + openErrorText().toStdString();
    tell([reason](updater::LinkEvents &events) { events.linkOpenFailed(reason); });
}

void CFileDownCom::OpenLink(int linkType, unsigned comPort, quint32 ipAddress, int tcpPort)
{
    updater::LinkTarget target;
    target.tcp = linkType == updater::kTcpLink;
    if (linkType == updater::kSerialLink) {
        target.comNumber = comPort;
    } else if (linkType == updater::kTcpLink) {
        target.tcpAddress = updater::ipv4AddressText(ipAddress).toStdString();
        if (tcpPort < 1 || tcpPort > 65535) {
            CloseLink();
            linkType_.store(linkType);
            target_ = target;
            failTcp(target.tcpAddress + ":" + std::to_string(tcpPort),
                    QString::fromStdString(target.tcpAddress), tcpPort,
                    QStringLiteral("the TCP port must be 1 to 65535"));
            return;
        }
        target.tcpPort = quint16(tcpPort);
    } else {
        CloseLink(); // no such link: nothing is open afterwards
        linkType_.store(linkType);
        return;
    }
    open(target);
}

bool CFileDownCom::OpenSerialDevice(const QString &devicePath)
{
    updater::LinkTarget target;
    target.tcp = false;
    target.serialPath = devicePath.toStdString();
    open(target);
    return linkOpen();
}

void CFileDownCom::OpenTcpLink(const QString &host, quint16 tcpPort)
{
    updater::LinkTarget target;
    target.tcpAddress = host.toStdString();
    target.tcpPort = tcpPort;
    open(target);
}

void CFileDownCom::CloseLink()
{
    ++generation_;
    if (quietWatch_ != nullptr)
        quietWatch_->stop();
    whenQuiet_ = nullptr; // closed before the line went quiet: nobody waits any more
    ClosePort();
    CloseSocket();
    setLinkOpen(false);
}

void CFileDownCom::tell(std::function<void(updater::LinkEvents &)> call)
{
    updater::postCall(eventsHome_, [this, generation = generation_, call = std::move(call)] {
        if (generation == generation_ && events_ != nullptr)
            call(*events_);
    });
}

void CFileDownCom::CloseLinkWhenSentLater(std::function<void(bool)> done,
                                          std::function<bool()> settled)
{
    // done comes from the event loop, and not at all once the link has been
    // closed or opened again; the generation is the one after the close below.
    struct Pending
    {
        std::uint64_t generation = 0;
        std::function<void(bool)> done;
    };
    auto pending = std::make_shared<Pending>();
    pending->done = std::move(done);
    const auto finish = [this, pending](bool sent) {
        updater::postCall(eventsHome_, [this, pending, sent] {
            if (pending->generation == generation_)
                pending->done(sent);
        });
    };
    if (linkType_.load() == updater::kTcpLink) {
        CloseSocketWhenSentLater(kTcpDrainMs, finish, [this](const char *data, std::size_t length) {
            handOn(data, length);
        });
        CloseLink();
        pending->generation = generation_;
        return;
    }
    if (linkType_.load() != updater::kSerialLink || !linkOpen()) {
        // A port that failed says at once whether bytes were left; no link, none.
        const bool sent = linkType_.load() != updater::kSerialLink || WaitUntilWritten();
        CloseLink();
        pending->generation = generation_;
        finish(sent);
        return;
    }
    const bool sent = WaitUntilWritten();
    whenQuiet_ = [this, sent, done = std::move(pending->done)] {
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

void CFileDownCom::failTcp(const std::string &label, const QString &address, int tcpPort,
                           const QString &cause)
{
    const QString text =
        QStringLiteral("Cannot connect to %1 port %2: %3").arg(address).arg(tcpPort).arg(cause);
    if (reporter_ != nullptr)
        reporter_->reportLinkError(updater::LinkFault::ConnectFailed,
                                   QString::fromLatin1(updater::kPortErrorCaption), text);
    const std::string reason = label + ": " + cause.toStdString();
    tell([reason](updater::LinkEvents &events) { events.linkOpenFailed(reason); });
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

void CFileDownCom::OnPortLostReported()
{
    // A port that goes away while it is closed once written is no loss: done says
    // how the close went.
    if (linkType_.load() == updater::kSerialLink && !whenQuiet_)
        tell([](updater::LinkEvents &events) { events.linkLost(); });
}

void CFileDownCom::OnConnect(bool connected, const QString &reason)
{
    if (connected) {
        setLinkOpen(true);
        tell([](updater::LinkEvents &events) { events.linkOpened(); });
        return;
    }
    failTcp(updater::linkLabel(target_), address(), port(), reason);
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
    tell([](updater::LinkEvents &events) { events.linkLost(); });
}
