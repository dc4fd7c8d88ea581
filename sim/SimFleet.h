#pragma once

#include "DueTimer.h"
#include "SimSession.h"
#include "SimTransports.h"

#include <QObject>

#include <memory>
#include <vector>

namespace updater::sim {

// Many simulated inverters at once (--devices N): each its own device model,
// faults and listening port, on consecutive ports, all served by one event loop.
class SimFleet : public QObject
{
public:
    SimFleet(const SimOptions &options, const Expectation &expected, QObject *parent = nullptr);

    // Listens on N consecutive ports from the options' port (0: a free range).
    // Returns the first port, or 0 with why in error.
    quint16 listen(QString &error);
    void shutDown();
    bool allPassed() const;

private:
    bool listenFrom(quint16 first, QString &error);

    SimOptions options_;
    Expectation expected_;
    DueTimer answers_;
    std::vector<std::unique_ptr<SimSession>> sessions_;
    std::vector<std::unique_ptr<TcpTransport>> transports_;
    std::unique_ptr<ListenerSet> listeners_; // goes before the transports it watches
};

} // namespace updater::sim
