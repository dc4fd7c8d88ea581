#pragma once

#include "CliTestSupport.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace faulttest {

// One line of an updater-cli trace file: "    301 ms  > state 1  FE FD FC  (3 bytes)".
struct TraceLine
{
    qint64 ms = 0;
    QString text; // what follows the time: "> state 1  FE FD FC  (3 bytes)", "exit: 1"
    bool sent() const { return text.startsWith("> "); }
};

std::vector<TraceLine> readTrace(const QString &path);
// Milliseconds of the n-th unit sent (n from 1), if the trace has it.
std::optional<qint64> unitSentAt(const std::vector<TraceLine> &trace, int n);
// Milliseconds of the first line that starts with prefix, if any.
std::optional<qint64> lineAt(const std::vector<TraceLine> &trace, const QString &prefix);
int unitsSent(const std::vector<TraceLine> &trace);

// updater-cli started with --trace, watched while it runs, so that a test can act
// at a given step of the job (close the device's line, shrink the file).
class WatchedCli
{
public:
    WatchedCli(const QStringList &args, const QString &tracePath);
    ~WatchedCli();
    // Waits until the job has sent n units; false when it ended first or after
    // timeoutMs.
    bool waitForUnitsSent(int n, int timeoutMs = 30000);
    clitest::Finished finish(int timeoutMs = 60000);

private:
    std::unique_ptr<QProcess> process_;
    QString tracePath_;
};

// Runs every case on its own thread, at most `parallel` at a time, in the order
// given (put the longest first). Each thread can run processes: it has a Qt event
// dispatcher. Failures that cases report with EXPECT_* count for the calling test.
void runInParallel(int count, int parallel, const std::function<void(int)> &runCase);

// How many cases run at once: UPDATER_FAULT_JOBS when set, otherwise eight.
int parallelCases();

} // namespace faulttest
