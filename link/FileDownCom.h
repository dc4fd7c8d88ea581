#pragma once

#include "SerialPort.h"
#include "SocketModbus.h"

#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

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
class CFileDownCom : public CSocketModbus, public CSerialPort
{
    Q_OBJECT

public:
    CFileDownCom(updater::IByteSink *owner, updater::ILinkReporter *reporter,
                 QObject *parent = nullptr);
    ~CFileDownCom() override;

    // Opens the link chosen in the Set Port dialog and closes the one chosen
    // before, of either kind. linkType 0: COM port comPort; 1: TCP to ipAddress
    // (first octet in the most significant byte) and tcpPort. linkOpen is false
    // until the port has opened or the connection has completed.
    void OpenLink(int linkType, unsigned comPort, quint32 ipAddress, int tcpPort);
    // A serial link on a device path given directly (command line).
    bool OpenSerialDevice(const QString &devicePath);
    // A TCP link to a host given as text (dotted address or name).
    void OpenTcpLink(const QString &host, quint16 tcpPort);

    // Send on the current link. Any thread, also with the job lock held: returns
    // at once and never waits for another thread. Nothing is sent when no link
    // has been chosen.
    void SendOnCurrentLink(const std::uint8_t *data, std::size_t length);

    // True while the link chosen last can carry a job. Any thread.
    bool linkOpen() const { return linkOpen_.load(); }
    int linkType() const { return linkType_.load(); }
    // Ends the communication thread, closes the port and the socket.
    void CloseLink();
    // Closes the link once every block handed to it has been written: a serial
    // port waits as long as the waiting bytes need at 9600 baud plus 2 s, a TCP
    // connection at most kTcpDrainMs. True when nothing was left unwritten. Call
    // on the creating thread once nothing sends any more (the job has ended).
    bool CloseLinkWhenSent();
    static constexpr int kTcpDrainMs = 5000;
    // The same, but without holding up the thread's other links (see
    // CloseSocketWhenSentLater), and what the device still sends goes to the owner
    // until the link closes: a TCP connection until the device closes it or stays
    // quiet; a serial port, once written, until its line has been quiet kQuietMs
    // (the device restarts), at most kTcpDrainMs. done(sent) comes on the
    // creating thread; not at all when CloseLink() comes first. A serial port
    // stops listening early once settled() holds (the owner has heard enough); a
    // TCP connection is read to its end all the same, so that a device that
    // still reads gets every byte.
    void CloseLinkWhenSentLater(std::function<void(bool sent)> done,
                                std::function<bool()> settled = {});
    // Where received bytes go from now on (nullptr: dropped).
    void setOwner(updater::IByteSink *owner) { owner_.store(owner); }

signals:
    void linkOpenChanged(bool open);

protected:
    int OnByteReceived(std::uint8_t byte) override;
    void OnPortLost() override;
    bool ReportsPortFailures() const override { return !whenQuiet_; }
    void OnConnect(bool connected, const QString &reason) override;
    void OnReceive() override;
    void OnClose(const QString &reason) override;

private:
    void beginLink(int linkType);
    void setLinkOpen(bool open);
    void reportTcpFailure(const QString &address, int tcpPort, const QString &reason);
    void handOn(const char *data, std::size_t length);
    void watchQuiet();

    std::atomic<updater::IByteSink *> owner_;
    updater::ILinkReporter *reporter_;
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
