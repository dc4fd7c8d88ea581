#pragma once

#include "DeviceLink.h"
#include "SerialPort.h"
#include "SocketModbus.h"

#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace updater {
class IByteSink;
class ILinkReporter;

inline constexpr int kSerialLink = 0; // "Serial Port" in the Set Port dialog
inline constexpr int kTcpLink = 1;    // "TCP/IP"
} // namespace updater

// The link object: the serial link and the TCP link in one. Whichever link the
// user chose last carries the sends; every byte it receives goes to the owner's
// receiveByte, one call per byte in arrival order: on the communication thread
// for a serial port, on the thread that created this object for TCP. Never on
// the caller of SendOnCurrentLink.
//
// Create, open and close it on one thread (the UI thread in the window), which
// must run a Qt event loop. Destroy it only when nothing sends on it any more
// (the supervisor has stopped); destruction ends the communication thread.
//
// As a DeviceLink it tells what becomes of the link through LinkEvents, on that
// thread from its event loop. linkOpenChanged says every change of linkOpen(),
// also one that close() makes.
class CFileDownCom : public CSocketModbus, public CSerialPort, public updater::DeviceLink
{
    Q_OBJECT

public:
    // Attach the byte sink, reporter and events before the first open.
    explicit CFileDownCom(QObject *parent = nullptr);
    CFileDownCom(updater::IByteSink *owner, updater::ILinkReporter *reporter,
                 QObject *parent = nullptr);
    ~CFileDownCom() override;

    // DeviceLink.
    void attach(updater::IByteSink *sink, updater::ILinkReporter *reporter,
                updater::LinkEvents *events) override;
    // A serial port is opened here, at once; its linkOpened() or linkOpenFailed()
    // still comes from the event loop. A TCP connection is started here, and its
    // completion comes later: linkOpened(), or a report of the failure and
    // linkOpenFailed() with the same cause.
    void open(const updater::LinkTarget &target) override;
    bool isOpen() const override { return linkOpen(); }
    bool serialLine() const override { return linkType_.load() == updater::kSerialLink; }
    void send(const std::uint8_t *data, std::size_t length) override
    {
        SendOnCurrentLink(data, length);
    }
    void close() override { CloseLink(); }
    void closeWhenSent(std::function<void(bool sent)> done,
                       std::function<bool()> settled = {}) override
    {
        CloseLinkWhenSentLater(std::move(done), std::move(settled));
    }

    // Opens the link chosen in the Set Port dialog and closes the one chosen
    // before, of either kind. linkType 0: COM port comPort; 1: TCP to ipAddress
    // (first octet in the most significant byte) and tcpPort. linkOpen is false
    // until the port has opened or the connection has completed.
    void OpenLink(int linkType, unsigned comPort, quint32 ipAddress, int tcpPort);
    // A serial link on a device path given directly (command line): open().
    bool OpenSerialDevice(const QString &devicePath);
    // A TCP link to a host given as text (dotted address or name): open().
    void OpenTcpLink(const QString &host, quint16 tcpPort);

    // Send on the current link. Any thread, also with the job lock held: returns
    // at once and never waits for another thread. Nothing is sent when no link
    // has been chosen.
    void SendOnCurrentLink(const std::uint8_t *data, std::size_t length);

    // True while the link chosen last can carry a job. Any thread.
    bool linkOpen() const { return linkOpen_.load(); }
    int linkType() const { return linkType_.load(); }
    // Ends the communication thread, closes the port and the socket. Nothing
    // more is told of the link closed: no event, no done of a close once sent.
    void CloseLink();
    // The longest a link is written out and listened to after a job.
    static constexpr int kTcpDrainMs = 5000;
    // Closes the link once every block handed to it has been written, and what
    // the device still sends goes to the owner until the link closes: a TCP
    // connection is written out without holding up the thread's other links (see
    // CloseSocketWhenSentLater) until the device closes it or stays quiet; a
    // serial port is written out here (at most as long as the waiting bytes need
    // at 9600 baud plus 2 s) and then listened to until its line has been quiet
    // kQuietMs (the device restarts), at most kTcpDrainMs. done(sent) comes on the creating thread
    // from its event loop; sent is false when something handed over was never written. Not at all
    // when CloseLink() or another open comes first. A serial port stops listening
    // early once settled() holds (the owner has heard enough); a TCP connection
    // is read to its end all the same, so that a device that still reads gets
    // every byte. Call once nothing sends any more (the job has ended).
    void CloseLinkWhenSentLater(std::function<void(bool sent)> done,
                                std::function<bool()> settled = {});
    // Where received bytes go from now on (nullptr: dropped).
    void setOwner(updater::IByteSink *owner) { owner_.store(owner); }

signals:
    void linkOpenChanged(bool open);

protected:
    int OnByteReceived(std::uint8_t byte) override;
    void OnPortLost() override;
    void OnPortLostReported() override;
    bool ReportsPortFailures() const override { return !whenQuiet_; }
    void OnConnect(bool connected, const QString &reason) override;
    void OnReceive() override;
    void OnClose(const QString &reason) override;

private:
    void setLinkOpen(bool open);
    void failTcp(const std::string &label, const QString &address, int tcpPort,
                 const QString &cause);
    // Calls call with the events from the event loop, unless the link has been
    // closed or opened again by then.
    void tell(std::function<void(updater::LinkEvents &)> call);
    void handOn(const char *data, std::size_t length);
    void watchQuiet();

    std::atomic<updater::IByteSink *> owner_;
    updater::ILinkReporter *reporter_;
    updater::LinkEvents *events_ = nullptr;
    QObject *eventsHome_; // a child: what it still holds goes with this object
    // Bumped by every close, so that nothing told of a link comes after it.
    std::uint64_t generation_ = 0;
    updater::LinkTarget target_; // the link opened last
    std::atomic<int> linkType_{-1};
    std::atomic<bool> linkOpen_{false};
    std::array<std::uint8_t, 1052> receiveBuffer_{}; // each pass reads at most 1050
    bool receiving_ = false;
    // The serial line after a job: when it last carried a byte, and what is called
    // once it has been quiet (see CloseLinkWhenSentLater).
    std::atomic<std::int64_t> lastByteAt_{0}; // steady clock, nanoseconds
    QTimer *quietWatch_ = nullptr;
    std::chrono::steady_clock::time_point quietSince_;
    std::function<void()> whenQuiet_;
    std::function<bool()> settled_;
};
