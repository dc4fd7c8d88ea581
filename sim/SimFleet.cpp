#include "SimFleet.h"

#include <QHostAddress>
#include <QTcpServer>

namespace updater::sim {

namespace {
constexpr int kRangeTries = 50;
constexpr int kLowest = 10000, kBelowOutgoing = 32768;
} // namespace

SimFleet::SimFleet(const SimOptions &options, const Expectation &expected, QObject *parent)
    : QObject(parent), options_(options), expected_(expected)
{
}

bool SimFleet::listenFrom(quint16 first, QString &error)
{
    listeners_.reset();
    transports_.clear();
    sessions_.clear();
    listeners_ = std::make_unique<ListenerSet>();
    const QString address = QString::fromStdString(options_.listenAddress);
    for (int d = 1; d <= options_.devices; ++d) {
        const int port = first + d - 1;
        if (port > 65535) {
            error = QStringLiteral("no room for %1 ports from %2").arg(options_.devices).arg(first);
            return false;
        }
        SimOptions o = deviceOptions(options_, d);
        o.repeat = true; // restarts after a job as one device does, and serves the next
        o.label = "device " + std::to_string(d) + " (" + options_.listenAddress + ":" +
                  std::to_string(port) + ")";
        sessions_.push_back(std::make_unique<SimSession>(o, expected_, answers_));
        transports_.push_back(std::make_unique<TcpTransport>(*sessions_.back()));
        QString where;
        if (!transports_.back()->listen(address, static_cast<quint16>(port), where)) {
            error = where;
            return false;
        }
        listeners_->watch(*transports_.back());
    }
    return true;
}

quint16 SimFleet::listen(QString &error)
{
    if (options_.listenPort != 0)
        return listenFrom(options_.listenPort, error) ? options_.listenPort : 0;
    // A free range: the system picks the first port; the rest must be free too.
    for (int attempt = 0; attempt < kRangeTries; ++attempt) {
        QTcpServer probe;
        QHostAddress host(QString::fromStdString(options_.listenAddress));
        if (!probe.listen(host, 0)) {
            error =
                QStringLiteral("cannot listen on %1: %2").arg(host.toString(), probe.errorString());
            return 0;
        }
        quint16 first = probe.serverPort();
        probe.close();
        // Every other try starts below the system's range for outgoing connections,
        // whose ports a host's closed connections may hold for a while.
        if (attempt % 2 == 1 && options_.devices < kBelowOutgoing - kLowest)
            first = quint16(kLowest + first % (kBelowOutgoing - kLowest - options_.devices));
        if (listenFrom(first, error))
            return first;
    }
    error = QStringLiteral("found no %1 free consecutive ports").arg(options_.devices);
    return 0;
}

void SimFleet::shutDown()
{
    for (auto &session : sessions_)
        session->shutDown();
}

bool SimFleet::allPassed() const
{
    for (const auto &session : sessions_) {
        if (!session->allPassed())
            return false;
    }
    return true;
}

} // namespace updater::sim
