#include "FaultSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

namespace faulttest {

std::vector<TraceLine> readTrace(const QString &path)
{
    std::vector<TraceLine> lines;
    const QByteArray all = clitest::readFile(path);
    for (const QByteArray &raw : all.split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const qsizetype unit = line.indexOf(" ms  ");
        if (unit < 0)
            continue; // a line still being written
        bool ok = false;
        const qint64 ms = line.left(unit).trimmed().toLongLong(&ok);
        if (ok)
            lines.push_back({ms, line.mid(unit + 5)});
    }
    return lines;
}

std::optional<qint64> unitSentAt(const std::vector<TraceLine> &trace, int n)
{
    int seen = 0;
    for (const TraceLine &line : trace) {
        if (line.sent() && ++seen == n)
            return line.ms;
    }
    return std::nullopt;
}

std::optional<qint64> lineAt(const std::vector<TraceLine> &trace, const QString &prefix)
{
    for (const TraceLine &line : trace) {
        if (line.text.startsWith(prefix))
            return line.ms;
    }
    return std::nullopt;
}

int unitsSent(const std::vector<TraceLine> &trace)
{
    int count = 0;
    for (const TraceLine &line : trace)
        count += line.sent() ? 1 : 0;
    return count;
}

WatchedCli::WatchedCli(const QStringList &args, const QString &tracePath)
    : process_(std::make_unique<QProcess>()), tracePath_(tracePath)
{
    process_->start(QStringLiteral(UPDATER_CLI_PATH), args + QStringList{"--trace", tracePath});
}

WatchedCli::~WatchedCli()
{
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

bool WatchedCli::waitForUnitsSent(int n, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (unitsSent(readTrace(tracePath_)) >= n)
            return true;
        if (process_->waitForFinished(10))
            return unitsSent(readTrace(tracePath_)) >= n;
    }
    return false;
}

clitest::Finished WatchedCli::finish(int timeoutMs)
{
    clitest::Finished f;
    if (!process_->waitForFinished(timeoutMs)) {
        ADD_FAILURE() << "updater-cli did not end within " << timeoutMs << " ms";
        process_->kill();
        process_->waitForFinished();
    }
    f.status = process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -1;
    f.out = QString::fromUtf8(process_->readAllStandardOutput());
    f.err = QString::fromUtf8(process_->readAllStandardError());
    return f;
}

void runInParallel(int count, int parallel, const std::function<void(int)> &runCase)
{
    std::atomic<int> next{0};
    std::vector<std::unique_ptr<QThread>> workers;
    for (int w = 0; w < std::max(1, parallel); ++w) {
        workers.emplace_back(QThread::create([&] {
            for (int i = next++; i < count; i = next++)
                runCase(i);
        }));
        workers.back()->start();
    }
    for (auto &worker : workers)
        worker->wait();
}

int parallelCases()
{
    bool ok = false;
    const int jobs = qEnvironmentVariableIntValue("UPDATER_FAULT_JOBS", &ok);
    return ok && jobs > 0 ? jobs : 8;
}

} // namespace faulttest
