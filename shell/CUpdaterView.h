#pragma once

#include "BlockingRelay.h"
#include "DevicePresenter.h"
#include "DeviceRun.h"
#include "FirmwareFacts.h"

#include <QFont>
#include <QString>
#include <QWidget>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CStaticText;
class QProgressBar;
class QTemporaryDir;
class QTimer;

namespace updater::run {
class RunTicker;
} // namespace updater::run

// The form of the main window: progress bar 1000, file line 1002 and status lines
// 1003 and 1004. It owns the device run (the update job and the link object) and
// the supervisor that ticks it, handles Open, Set Port and DownLoad, and presents
// the run: lines, progress bar and boxes.
//
// Calls from any thread reach the widgets only through queued calls to the UI
// thread, also when made on the UI thread, so the texts keep their order.
class CUpdaterView : public QWidget, public updater::run::DevicePresenter
{
    Q_OBJECT
public:
    // Preset of the IPv4 address in Set Port: 10.10.100.254, the inverter's WiFi
    // module as delivered.
    static constexpr std::uint32_t kPresetIpAddress = 0x0A0A64FE;
    static constexpr std::int32_t kPresetTcpPort = 8899;

    explicit CUpdaterView(QWidget *parent = nullptr);
    ~CUpdaterView() override;

    // Lays the form out with font (the system's dialog font unless a test gives
    // another), smaller where it would not fit the room the window leaves.
    void setFormFont(const QFont &font);

    // Initial update: starts the supervisor (once, however often it runs) and
    // blanks the three lines.
    void OnInitialUpdate();

    // Commands.
    void OnFileOpen();
    // A file dropped on the window: the type is asked, and the file takes the place
    // of the file dialog.
    void openDroppedFile(const QString &path);
    void OnSetPort();
    void OnDownLoad();
    // File > Save Support Log...: the last job's trace (updater-cli --trace's
    // lines) to a file the user names.
    void OnSaveSupportLog();
    // Tool > Update DSP and LCD ARM...: both files picked and checked, then one run
    // through the device run: DSP, the inverter's restart, the link opened again,
    // LCD ARM; one box at the end says what the inverter holds.
    void OnUpdateBoth();
    // Tool > Stop: asks, then abandons the job as a signal ends updater-cli's and
    // says where it stopped.
    void OnStop();

    // The window is closing: closes the firmware file, ends a running job without
    // a message, stops the supervisor and closes the links. Safe to call twice.
    void shutDown();

    // Text of line 1002, 1003 or 1004 as shown.
    QString lineText(int lineId) const;
    QProgressBar *progressBar() const { return progressBar_; }
    QString firmwarePath() const { return firmwarePath_; }
    int firmwareType() const { return firmwareType_; }
    // No job runs and no link is being opened for one: Open, Set Port and DownLoad
    // are enabled.
    bool idle() const;
    // A job is under way: started, and neither ended nor showing its time-out; or
    // the link is being opened again for one.
    bool jobRunning() const;
    // Where the run's job stands, and whether its link is open.
    updater::run::JobView jobView() const { return run_->jobView(); }
    bool linkOpen() const { return run_->linkOpen(); }
    // The link of the window's jobs, opened now (Set Port's own step).
    void openLink(const updater::LinkTarget &target, const std::string &text)
    {
        run_->openLink(target, text);
    }
    bool supervisorRunning() const { return supervisorThread_ != nullptr; }

    // A line of the form, from any thread.
    void setLineText(updater::StatusLine line, const std::string &text);

    // DevicePresenter.
    void statusLine(updater::StatusLine line, const std::string &text) override
    {
        setLineText(line, text);
    }
    void progressVisible(bool visible) override;
    void progressPos(std::uint32_t percent) override;
    void message(updater::MessageKind kind, const std::string &text) override;
    void idleChanged(bool idle) override;
    void linkError(updater::LinkFault fault, const QString &caption, const QString &text) override;
    // A link that goes away while a job uses it is an error; otherwise (an
    // inverter restarts after its update) it is only told on the status bar.
    void linkClosed(const QString &caption, const QString &text, const QString &status) override;
    void phaseChanged() override;
    void fault(const std::string &text) override { lastFault_ = text; }
    void note(const std::string &text) override;
    void linkChanged(bool open) override;

signals:
    // Open, Set Port and DownLoad are enabled exactly while this is true.
    void commandsEnabled(bool enabled);
    // What the status bar shows while no prompt covers it (empty: "Ready"), and
    // what stands behind it: the file and the link, one line each.
    void statusChanged(const QString &text, const QString &details);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void layOutForm();
    // The status bar's text; the details are made afresh.
    // more: a line of details before the file's and the link's.
    void showState(const QString &text, const QString &more = {});
    void setLinkState(const QString &text);
    // While the run is busy: the job's progress on the status bar.
    void showProgress();
    // The trace of the job about to start, in a folder of its own; "" without one.
    QString openJobTrace();
    // The job started (or its link is being opened): its trace is the one Save
    // Support Log saves. Otherwise it was refused, and the trace is dropped.
    void keepJobTrace(const QString &path, bool started);
    static updater::run::DeviceRun::Settings windowSettings();
    // The device of DownLoad: the link Set Port chose and the file Open chose.
    updater::run::DeviceEntry downLoadDevice() const;
    // A job of the run began: the file line names its file during a run of both.
    void jobStarted();
    // A run ended: a run of both firmwares says how in one box; DownLoad's run
    // says why when it failed after its job had ended (the job's boxes say the rest).
    void runFinished();
    // The status bar after a run that failed: "Failed: too many answers; update again".
    void showFailure(const updater::run::DeviceResult &result);
    void bothFinished();
    // A file dialog for one firmware of the run of both; "" when cancelled.
    QString pickFirmware(int firmwareType);
    // What was read of the file at path (the one opened, or one of a run of both).
    const FirmwareFacts &factsOf(const std::string &path) const;
    // Open firmware file: the type dialog, then the file dialog unless a dropped
    // file is given.
    void openFirmware(const QString &dropped);
    CStaticText *line(int lineId) const;
    void setLine(int lineId, const QString &text);
    void post(std::function<void()> work);

    BlockingRelay relay_;
    // Outlives the run, whose trace file is open in it.
    std::unique_ptr<QTemporaryDir> traceDir_;
    QString tracePath_; // the last job's trace
    int traces_ = 0;
    std::unique_ptr<updater::run::DeviceRun> run_;
    std::unique_ptr<updater::run::RunTicker> supervisorThread_;
    QString firmwarePath_;
    int firmwareType_ = 0;
    FirmwareFacts facts_; // of firmwarePath_, read when it was chosen
    // The link Set Port chose: "10.10.100.254:8899", "COM3 (/dev/ttyUSB0)", and
    // with its kind: "TCP 10.10.100.254:8899".
    QString linkTarget_;
    QString linkName_;
    bool tcpLink_ = false;
    unsigned comNumber_ = 0;
    QString linkState_;
    // The link Set Port chose, as a device of the run: the run of both opens it.
    updater::run::DeviceEntry linkDevice_;
    // A run of both firmwares is under way; read by the threads that end its jobs.
    std::atomic<bool> bothRun_{false};
    std::array<FirmwareFacts, 2> bothFacts_;
    std::string lastFault_; // what the run said of its failure
    QTimer *progressTimer_ = nullptr;
    QFont formFont_; // before it is fitted
    std::vector<std::pair<int, QWidget *>> formControls_;
    QProgressBar *progressBar_ = nullptr;
    CStaticText *fileLine_ = nullptr;
    CStaticText *connectLine_ = nullptr;
    CStaticText *programLine_ = nullptr;
    bool shutDown_ = false;
};
