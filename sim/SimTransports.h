#pragma once

#include "SimSession.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <vector>

class QSocketNotifier;

namespace updater {
class TcpStream;
}

namespace updater::sim {

class Listener;
class ListenerSet;

// The WiFi module's side of the TCP link: one host at a time; a second host that
// connects while one is served is turned away.
class TcpTransport : public QObject
{
    Q_OBJECT
public:
    TcpTransport(SimSession &session, QObject *parent = nullptr);
    // Listens; on success returns "ADDR:PORT" with the port actually taken.
    bool listen(const QString &address, quint16 port, QString &boundOrError);
    void close();

private:
    friend class ListenerSet;
    void accept(qintptr descriptor);

    SimSession &session_;
    Listener *server_;
    TcpStream *socket_ = nullptr;
};

// The listening ports of many transports watched by the event loop as one
// descriptor (Linux), so that a wake-up of a fleet's one thread does not look at
// every port. Elsewhere each transport accepts by itself.
class ListenerSet : public QObject
{
public:
    explicit ListenerSet(QObject *parent = nullptr);
    ~ListenerSet() override;
    // Takes over the accepting of a transport that listens already; it must
    // outlive this set.
    void watch(TcpTransport &transport);

private:
    void acceptAll();

    int epoll_ = -1;
    QSocketNotifier *notifier_ = nullptr;
    std::vector<TcpTransport *> transports_;
};

// The device's end of a serial line: the master side of a pseudo-terminal. The
// host opens the device path (the slave side) as its serial port. The transport
// holds the slave side open itself until the host's first byte arrives, so that it
// can tell when the host closes the port (reading the master then fails).
class PtyTransport : public QObject
{
    Q_OBJECT
public:
    // hangUpAfterJob: the device's restart after a job hangs up the line for good;
    // otherwise the line stays, so that its path serves the next job. hangUpOnDrop:
    // a dropped line is hung up; otherwise it goes dead (read, never answered).
    PtyTransport(SimSession &session, bool hangUpAfterJob, bool hangUpOnDrop,
                 QObject *parent = nullptr);
    ~PtyTransport() override;
    // Creates the pseudo-terminal; on success returns its device path.
    bool open(QString &pathOrError);
    void close();

private:
    void readable();
    void writable();
    void write(const char *data, std::size_t length);
    std::size_t writeSome(const char *data, std::size_t length);
    void discardOutput();
    bool holdSlave();
    void hangUp();

    SimSession &session_;
    bool hangUpAfterJob_;
    bool hangUpOnDrop_;
    int master_ = -1;
    int hold_ = -1;
    QString path_;
    QSocketNotifier *notifier_ = nullptr;
    QSocketNotifier *writeNotifier_ = nullptr;
    QByteArray output_; // written, not yet taken by the line
};

} // namespace updater::sim
