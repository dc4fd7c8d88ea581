// The window's commands beyond DownLoad, Open and Set Port: Stop, Save Support Log and
// Update DSP and LCD ARM, with the trace of each job that the support log copies.
#include "CUpdaterView.h"

#include "DeviceRun.h"
#include "MessageBox.h"
#include "RunWords.h"
#include "StatusTexts.h"
#include "Strings.h"
#include "SystemFile.h"
#include "Texts.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QSaveFile>
#include <QTemporaryDir>

#include <filesystem>

namespace res = updater::res;

QString CUpdaterView::openJobTrace()
{
    if (!traceDir_)
        traceDir_ = std::make_unique<QTemporaryDir>();
    if (!traceDir_->isValid())
        return {};
    const QString path = traceDir_->filePath(QStringLiteral("job-%1.trace").arg(++traces_));
    if (!run_->trace().openForJob(path.toStdString()).empty())
        return {};
    run_->note("start", updater::texts::kAppTitle);
    return path;
}

void CUpdaterView::keepJobTrace(const QString &path, bool started)
{
    if (path.isEmpty())
        return;
    if (!started) {
        run_->trace().close();
        QFile::remove(path);
        return;
    }
    if (!tracePath_.isEmpty())
        QFile::remove(tracePath_);
    tracePath_ = path;
}

namespace {

// The same file by any name or link.
bool sameFile(const QString &a, const QString &b)
{
    std::error_code ec;
    return !a.isEmpty() && !b.isEmpty() &&
           std::filesystem::equivalent(updater::systemPath(a.toStdString()),
                                       updater::systemPath(b.toStdString()), ec);
}

} // namespace

void CUpdaterView::OnSaveSupportLog()
{
    if (tracePath_.isEmpty()) {
        showAppMessage(window(), QString::fromUtf8(res::kNoSupportLog));
        return;
    }
    QFileDialog dialog(window());
    dialog.setObjectName(QStringLiteral("saveLogDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("log"));
    dialog.selectFile(
        QStringLiteral("updater-support-%1.log")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString target = QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
    if (sameFile(target, firmwarePath_)) {
        showAppMessage(window(),
                       target + QStringLiteral(": this is the firmware file; give the support log "
                                               "another name"));
        return;
    }
    QFile trace(tracePath_);
    QSaveFile out(target);
    const QByteArray text = trace.open(QIODevice::ReadOnly) ? trace.readAll() : QByteArray();
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        showAppMessage(window(), target + QStringLiteral(": cannot write the support log: ") +
                                     out.errorString());
        return;
    }
    showState(QStringLiteral("Support log saved to ") + target);
}

void CUpdaterView::OnStop()
{
    if (!jobRunning() || !askYesNo(window(), QString::fromUtf8(res::kStopDuringJob)))
        return;
    if (!jobRunning())
        return; // it ended while the question was open
    if (bothRun_.load()) {
        run_->interrupt(0); // its final box says where it stopped
        return;
    }
    // Where it stands, before abandoning resets the job's fields.
    const updater::run::JobView job = run_->jobView();
    const statustext::JobPlace place = statustext::placeOf(job.fields, job.arm, facts_);
    run_->interrupt(0); // closes the file and the link
    const QString said = statustext::stopped(place);
    run_->note("stop", said.toStdString());
    linkState_ = linkName_ + QStringLiteral(" closed");
    showState(QStringLiteral("Stopped ") + statustext::whereText(place));
    showAppMessage(window(), said);
}

namespace {

QString capitalised(const std::string &text)
{
    QString s = QString::fromStdString(text);
    if (!s.isEmpty())
        s[0] = s[0].toUpper();
    return s;
}

} // namespace

QString CUpdaterView::pickFirmware(int firmwareType)
{
    const bool dsp = firmwareType == updater::kDspFirmware;
    QFileDialog dialog(window());
    dialog.setObjectName(dsp ? QStringLiteral("dspFileDialog") : QStringLiteral("armFileDialog"));
    dialog.setWindowTitle(QString::fromUtf8(dsp ? res::kPickDspFile : res::kPickArmFile));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dsp)
        dialog.setDefaultSuffix(QStringLiteral("hex"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
}

void CUpdaterView::OnUpdateBoth()
{
    if (!idle())
        return;
    if (linkDevice_.linkText.empty()) {
        showAppMessage(window(), QString::fromUtf8(updater::texts::kNoLink));
        return;
    }
    const QString dsp = pickFirmware(updater::kDspFirmware);
    const QString arm = dsp.isEmpty() ? QString() : pickFirmware(updater::kArmFirmware);
    if (arm.isEmpty())
        return;
    // Both files are checked before the inverter is contacted.
    bothFacts_ = {readFirmwareFacts(updater::kDspFirmware, dsp),
                  readFirmwareFacts(updater::kArmFirmware, arm)};
    for (const FirmwareFacts &facts : bothFacts_) {
        if (!facts.fault.isEmpty()) {
            showAppMessage(window(), QString::fromUtf8(updater::texts::kFileRefused) +
                                         QLatin1Char('\n') + facts.path + QStringLiteral(": ") +
                                         facts.fault);
            return;
        }
    }
    updater::run::DeviceEntry device = linkDevice_;
    device.dspPath = dsp.toStdString();
    device.armPath = arm.toStdString();
    device.crc32 = {bothFacts_[0].file.crc32, bothFacts_[1].file.crc32};
    // As updater-cli runs both: the link is opened afresh, a link lost during a job
    // ends it at once, and after the DSP firmware the inverter's restart is waited for.
    run_->reset(device, updater::run::DeviceRun::Settings{});
    bothRun_.store(true);
    lastFault_.clear();
    keepJobTrace(openJobTrace(), true);
    run_->start();
}

void CUpdaterView::jobStarted()
{
    if (!bothRun_.load())
        return;
    const updater::run::DeviceEntry &device = run_->device();
    const std::string &path =
        run_->firmware() == updater::run::FirmwareKind::Dsp ? device.dspPath : device.armPath;
    setLine(updater::kIdFileLine,
            QString::fromUtf8(res::kFileLinePrefix) + QString::fromStdString(path));
}

void CUpdaterView::note(const std::string &text)
{
    showState(capitalised(text));
}

void CUpdaterView::runFinished()
{
    if (bothRun_.load()) {
        bothFinished();
        return;
    }
    if (run_->busy() || !updater::run::answerOutcome(run_->outcome()))
        return; // the job's own box has said how it ended
    // The job ended well, but the line did not: no success box, this one instead.
    const updater::run::DeviceResult result = run_->result();
    showFailure(result);
    showRunFailure(
        window(),
        QStringLiteral("The update failed: the device acknowledged the whole firmware, "
                       "but its line cannot be trusted.\n%1.\nThe inverter now "
                       "holds: %2.")
            .arg(capitalised(result.message), QString::fromStdString(run_->deviceHolds())));
}

void CUpdaterView::showFailure(const updater::run::DeviceResult &result)
{
    showState(QStringLiteral("Failed: %1; update again")
                  .arg(QString::fromLatin1(updater::run::outcomeName(result.outcome))),
              capitalised(result.message));
}

const FirmwareFacts &CUpdaterView::factsOf(const std::string &path) const
{
    for (const FirmwareFacts &facts : bothFacts_) {
        if (bothRun_.load() && facts.path.toStdString() == path)
            return facts;
    }
    return facts_;
}

void CUpdaterView::bothFinished()
{
    if (!bothRun_.load() || run_->busy())
        return;
    const updater::run::DeviceResult result = run_->result();
    QString text;
    const bool success = result.outcome == updater::run::DeviceOutcome::Success;
    if (success) {
        text = QString::fromUtf8(updater::texts::kSuccess) +
               QStringLiteral("\nThe inverter now holds the new DSP firmware and the new LCD ARM "
                              "firmware.");
    } else {
        // What ended it, where the run stopped, and what the inverter holds now.
        QStringList lines;
        const QString where = capitalised(lastFault_);
        const QString message = QString::fromStdString(result.message); // "time out！" as it stands
        if (result.outcome == updater::run::DeviceOutcome::Interrupted)
            lines << QStringLiteral("The update was stopped.");
        else if (!where.contains(message)) // a message of the run's own is already in it
            lines << message;
        if (!lines.contains(where))
            lines << where;
        lines << QStringLiteral("The inverter now holds: %1.")
                     .arg(QString::fromStdString(run_->deviceHolds()));
        lines.removeAll(QString());
        text = lines.join(QLatin1Char('\n'));
    }
    // The window as it was: its own link, settings and file.
    bothRun_.store(false);
    run_->reset(downLoadDevice(), windowSettings());
    setLine(updater::kIdFileLine, QString::fromUtf8(res::kFileLinePrefix) + firmwarePath_);
    // As DownLoad's boxes: success informs, a line that cannot be trusted stops;
    // a time-out or a lost link warns as its own box would.
    if (success) {
        showSuccessMessage(window(), text);
        return;
    }
    if (result.outcome != updater::run::DeviceOutcome::Interrupted)
        showFailure(result);
    if (updater::run::answerOutcome(result.outcome))
        showRunFailure(window(), text);
    else
        showAppMessage(window(), text);
}
