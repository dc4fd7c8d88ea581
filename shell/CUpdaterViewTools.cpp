// The window's commands beyond DownLoad, Open and Set Port: Stop, Save Support Log and
// Update DSP and LCD ARM, with the trace of each job that the support log copies.
#include "CUpdaterView.h"

#include "DeviceRun.h"
#include "Dialogs.h"
#include "HexFile.h"
#include "MessageBox.h"
#include "RunWords.h"
#include "StatusTexts.h"
#include "Strings.h"
#include "SystemFile.h"
#include "Texts.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <filesystem>

namespace res = updater::res;

QString CUpdaterView::logsFolder()
{
    const QString logs = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
                         QStringLiteral("/logs");
    return QDir().mkpath(logs) ? logs : QString();
}

namespace {

// The user's documents folder, or the home folder where there is none.
QString documentsFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

constexpr char kFirmwareFolderKey[] = "firmwareFolder";

} // namespace

QString CUpdaterView::firmwareFolder()
{
    const QString last = QSettings().value(QLatin1String(kFirmwareFolderKey)).toString();
    return !last.isEmpty() && QFileInfo(last).isDir() ? last : documentsFolder();
}

void CUpdaterView::keepFirmwareFolder(const QString &file)
{
    QSettings().setValue(QLatin1String(kFirmwareFolderKey), QFileInfo(file).absolutePath());
}

QString CUpdaterView::openJobTrace()
{
    QString folder = logsFolder();
    if (folder.isEmpty()) { // the job is traced all the same, for Save Support Log
        if (!traceDir_)
            traceDir_ = std::make_unique<QTemporaryDir>();
        if (!traceDir_->isValid())
            return {};
        folder = traceDir_->path();
    }
    // Named by the time it starts, so that the names sort as the jobs ran.
    const QString stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QString path = QDir(folder).filePath(QStringLiteral("job-%1.trace").arg(stamp));
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = QDir(folder).filePath(QStringLiteral("job-%1-%2.trace").arg(stamp).arg(n));
    if (!run_->trace().openForJob(path.toStdString()).empty())
        return {};
    run_->note("start", updater::texts::kAppTitle);
    // The newest are kept, this one among them.
    QDir logs(folder);
    const QStringList traces =
        logs.entryList({QStringLiteral("job-*.trace")}, QDir::Files, QDir::Name);
    for (qsizetype i = 0; i + kKeptTraces < traces.size(); ++i)
        logs.remove(traces[i]);
    return path;
}

void CUpdaterView::keepJobTrace(const QString &path, bool started)
{
    if (path.isEmpty())
        return;
    if (!started) { // refused before anything was sent: nothing to keep
        run_->trace().close();
        QFile::remove(path);
        return;
    }
    tracePath_ = path;
}

void CUpdaterView::OnOpenLogFolder()
{
    const QString logs = logsFolder();
    if (logs.isEmpty() || !QDesktopServices::openUrl(QUrl::fromLocalFile(logs)))
        showAppMessage(window(),
                       QStringLiteral("The logs folder cannot be opened: ") +
                           QDir::toNativeSeparators(QStandardPaths::writableLocation(
                                                        QStandardPaths::AppLocalDataLocation) +
                                                    QStringLiteral("/logs")));
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

// A file by its canonical path and, where the system gives them, its device and
// number: a link, a second hard link and the path itself are one file.
bool isKnown(const QString &path, const std::vector<KnownFile> &files)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const updater::run::FileNumber number = updater::run::fileNumber(path.toStdString());
    return std::any_of(files.begin(), files.end(), [&](const KnownFile &known) {
        return (!canonical.isEmpty() && known.path == canonical) ||
               (number.known && known.number == number);
    });
}

KnownFile knownFile(const QString &path)
{
    return {QFileInfo(path).canonicalFilePath(), updater::run::fileNumber(path.toStdString())};
}

// Why an existing file must not become a support log, or "": one that is no plain
// file, and one that holds firmware or any other binary data, whatever its name or
// history (a support log saved before may have been replaced by a firmware file
// since). A text file, a support log among them, is replaced once the technician
// said so in the file dialog.
QString notToReplace(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    if (!info.isFile())
        return QStringLiteral("this is not a plain file");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("this file cannot be read");
    const QByteArray head = file.read(qint64(updater::kOpeningBytes));
    switch (updater::imageTextKind(reinterpret_cast<const std::uint8_t *>(head.constData()),
                                   std::size_t(head.size()))) {
    case updater::TextKind::None:
        return QStringLiteral("this file holds binary data, not a support log");
    case updater::TextKind::IntelHex:
        return QStringLiteral("this is an Intel HEX file, not a support log");
    case updater::TextKind::SupportLog:
    case updater::TextKind::Other:
        break;
    }
    return {};
}

} // namespace

void CUpdaterView::noteFirmwareUsed(const QString &path)
{
    if (!path.isEmpty() && !isKnown(path, usedFirmware_))
        usedFirmware_.push_back(knownFile(path));
}

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
    dialog.setDirectory(documentsFolder());
    dialog.selectFile(
        QStringLiteral("updater-support-%1.log")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString target = QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
    const QString another = QStringLiteral("; give the support log another name");
    if (sameFile(target, firmwarePath_)) {
        showAppMessage(window(), target + QStringLiteral(": this is the firmware file") + another);
        return;
    }
    if (isKnown(target, usedFirmware_)) {
        showAppMessage(window(), target +
                                     QStringLiteral(": this is the firmware file of an earlier "
                                                    "update") +
                                     another);
        return;
    }
    if (const QString why = notToReplace(target); !why.isEmpty()) {
        showAppMessage(window(), target + QStringLiteral(": ") + why + another);
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
    if (!jobRunning() || !askAboutJob(window(), QString::fromUtf8(res::kStopDuringJob)))
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
    // The line of the step it stopped in says so, after the texts the job had posted.
    const bool program = place.step == updater::JobStep::Programming;
    post([this, program, step = place.step] {
        setLine(program ? updater::kIdProgramLine : updater::kIdConnectLine,
                program                             ? QStringLiteral("Program stopped")
                : step == updater::JobStep::Erasing ? QStringLiteral("Erase stopped")
                                                    : QStringLiteral("Connection stopped"));
    });
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
    FirmwareFileDialog dialog(window());
    dialog.setObjectName(dsp ? QStringLiteral("dspFileDialog") : QStringLiteral("armFileDialog"));
    dialog.setWindowTitle(QString::fromUtf8(dsp ? res::kPickDspFile : res::kPickArmFile));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dsp)
        dialog.setDefaultSuffix(QStringLiteral("hex"));
    dialog.setDirectory(firmwareFolder());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    keepFirmwareFolder(dialog.selectedFiles().constFirst());
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
    noteFirmwareUsed(dsp);
    noteFirmwareUsed(arm);
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
