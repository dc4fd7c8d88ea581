#pragma once

#include "CliHost.h"
#include "CliOptions.h"
#include "Console.h"
#include "TraceLog.h"

#include "FileDownCom.h"
#include "Supervisor.h"
#include "UpdateJob.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace updater::cli {

// One run of updater-cli: checks the firmware file, opens the link, runs the job
// with the supervisor ticking it, and ends with the job's exit status. Lives on
// the main thread, which runs the Qt event loop (and, for TCP, receives the bytes).
class CliRun : public QObject
{
    Q_OBJECT
public:
    explicit CliRun(const CliOptions &options, QObject *parent = nullptr);
    ~CliRun() override;

    // Checks the file and opens the link. Returns the exit status when the run is
    // already over (file refused, link not opened), or nothing while it goes on.
    std::optional<int> start();

signals:
    void finished(int exitStatus);

private:
    std::optional<int> checkFirmwareFile();
    std::optional<int> openSerial();
    void startJob();
    void jobIdle();
    void poll();
    void interrupted(int signal);
    // afterJob: the job ended by itself, so whatever it handed to the link is
    // written before the link closes; otherwise the link closes at once.
    void stop(int exitStatus, bool afterJob = false);

    CliOptions options_;
    Console console_;
    TraceLog trace_;
    CliHost host_;
    UpdateJob job_;
    TracingSink sink_;
    CFileDownCom link_;
    std::unique_ptr<Supervisor> supervisor_; // stopped before the link and the job go
    QTimer poller_;                          // the progress bar
    bool jobStarted_ = false;
    bool stopped_ = false;
    std::optional<std::chrono::steady_clock::time_point> programmingSince_;
};

} // namespace updater::cli
