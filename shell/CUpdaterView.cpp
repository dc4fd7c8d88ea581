#include "CUpdaterView.h"

#include "Controls.h"
#include "DeviceRun.h"
#include "DialogUnits.h"
#include "Dialogs.h"
#include "FileDownCom.h"
#include "MessageBox.h"
#include "PortName.h"
#include "QueuedCall.h"
#include "RunTicker.h"
#include "SocketModbus.h"
#include "StatusTexts.h"
#include "Strings.h"
#include "TemplateDialog.h"
#include "Templates.h"
#include "Texts.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMetaObject>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace res = updater::res;

namespace {

// How often the status bar's progress is brought up to date during a job.
constexpr int kProgressEveryMs = 250;

bool onUiThread(const QObject *object)
{
    return QThread::currentThread() == object->thread();
}

} // namespace

CUpdaterView::CUpdaterView(QWidget *parent) : QWidget(parent), relay_(this)
{
    run_ = std::make_unique<updater::run::DeviceRun>(updater::run::DeviceEntry{}, windowSettings(),
                                                     *this);
    run_->setCallbacks([this] { jobStarted(); },
                       [this] {
                           // Once the run has unwound: its final box opens an event loop.
                           QMetaObject::invokeMethod(
                               this, [this] { runFinished(); }, Qt::QueuedConnection);
                       });
    setObjectName(QStringLiteral("view"));
    const res::DialogTemplate &form = res::formTemplate();
    formFont_ = dialogFont(form.pointSize);
    setFont(formFont_);
    formControls_ = createControls(this, form, DialogUnits(font()));
    for (const auto &[id, widget] : formControls_) {
        switch (id) {
        case updater::kIdProgressBar:
            progressBar_ = qobject_cast<QProgressBar *>(widget);
            break;
        case updater::kIdFileLine:
            fileLine_ = qobject_cast<CStaticText *>(widget);
            break;
        case updater::kIdConnectLine:
            connectLine_ = qobject_cast<CStaticText *>(widget);
            break;
        case updater::kIdProgramLine:
            programLine_ = qobject_cast<CStaticText *>(widget);
            break;
        }
    }
    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(kProgressEveryMs);
    connect(progressTimer_, &QTimer::timeout, this, &CUpdaterView::showProgress);
}

CUpdaterView::~CUpdaterView()
{
    shutDown();
}

void CUpdaterView::setFormFont(const QFont &font)
{
    formFont_ = font;
    layOutForm();
}

// The window has a fixed size: the form takes the room that the menu, the toolbar
// and the status bar leave, and its font is made smaller where the system's
// does not fit there.
void CUpdaterView::layOutForm()
{
    const res::DialogTemplate &form = res::formTemplate();
    setFont(fittingFont(formFont_, form, size()));
    placeControls(formControls_, form, DialogUnits(font()));
}

void CUpdaterView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layOutForm();
}

updater::run::DeviceRun::Settings CUpdaterView::windowSettings()
{
    // The window keeps the link that Set Port opened between jobs, and a job keeps
    // its own waits when the link goes away: after the link-lost box it ends with
    // "time out！" as any job whose answers stay away.
    updater::run::DeviceRun::Settings settings;
    settings.endJobWhenLinkLost = false;
    settings.keepLinkOpen = true;
    return settings;
}

updater::run::DeviceEntry CUpdaterView::downLoadDevice() const
{
    updater::run::DeviceEntry device = linkDevice_;
    const std::string path = firmwarePath_.toStdString();
    const bool dsp = firmwareType_ == updater::kDspFirmware;
    device.chosen = dsp ? updater::run::FirmwareKind::Dsp : updater::run::FirmwareKind::Arm;
    (dsp ? device.dspPath : device.armPath) = path;
    if (facts_.valid() && facts_.path == firmwarePath_ && facts_.dsp() == dsp)
        device.crc32[static_cast<int>(device.chosen)] = facts_.file.crc32;
    return device;
}

void CUpdaterView::OnInitialUpdate()
{
    // One supervisor per view: a later initial update only blanks the lines.
    if (!supervisorThread_ && !shutDown_)
        // It sleeps while no job runs (a tick would do nothing) and wakes with DownLoad.
        supervisorThread_ = std::make_unique<updater::run::RunTicker>(
            std::vector<updater::run::DeviceRun *>{run_.get()});
    for (int id : {updater::kIdFileLine, updater::kIdConnectLine, updater::kIdProgramLine})
        setLine(id, QString());
}

void CUpdaterView::OnFileOpen()
{
    openFirmware(QString());
}

void CUpdaterView::openDroppedFile(const QString &path)
{
    openFirmware(path);
}

void CUpdaterView::openFirmware(const QString &dropped)
{
    if (!idle())
        return;
    CDownTypeDlg typeDialog(window());
    typeDialog.firmwareType = updater::kDspFirmware;
    if (typeDialog.exec() != QDialog::Accepted)
        return;
    firmwareType_ = typeDialog.firmwareType;

    if (!dropped.isEmpty()) {
        firmwarePath_ = dropped;
    } else {
        QFileDialog fileDialog(window());
        fileDialog.setObjectName(QStringLiteral("openFileDialog"));
        fileDialog.setAcceptMode(QFileDialog::AcceptOpen);
        fileDialog.setFileMode(QFileDialog::ExistingFile);
        fileDialog.setDefaultSuffix(QStringLiteral("hex"));
        if (fileDialog.exec() == QDialog::Accepted && !fileDialog.selectedFiles().isEmpty())
            firmwarePath_ = fileDialog.selectedFiles().constFirst();
    }
    // Shown, told to the job and written in its messages as the system writes paths.
    firmwarePath_ = QDir::toNativeSeparators(firmwarePath_);
    // What DownLoad will send, read now (the type may have changed with the path kept).
    if (!firmwarePath_.isEmpty()) {
        facts_ = readFirmwareFacts(firmwareType_, firmwarePath_);
        showState(facts_.summary());
    }

    setLine(updater::kIdFileLine, QString::fromUtf8(res::kFileLinePrefix) + firmwarePath_);
    setLine(updater::kIdConnectLine, QStringLiteral(" "));
    setLine(updater::kIdProgramLine, QStringLiteral(" "));
}

void CUpdaterView::OnSetPort()
{
    if (!idle())
        return;
    CComSelDlg dialog(window());
    dialog.comPort = 1;
    dialog.linkType = updater::kSerialLink;
    dialog.ipAddress = kPresetIpAddress;
    dialog.tcpPort = kPresetTcpPort;
    if (dialog.exec() != QDialog::Accepted)
        return;
    if (dialog.linkType == updater::kTcpLink && dialog.ipAddress == 0) {
        showAppMessage(window(), QString::fromUtf8(res::kZeroAddress));
        return; // the link stays as it was
    }
    tcpLink_ = dialog.linkType == updater::kTcpLink;
    comNumber_ = dialog.comPort;
    const QString com = QStringLiteral("COM%1").arg(dialog.comPort);
    // DownLoad opens this link again once the inverter has closed it.
    updater::run::LinkTarget target;
    target.tcp = tcpLink_;
    target.comNumber = tcpLink_ ? 0 : dialog.comPort;
    target.tcpAddress = updater::ipv4AddressText(dialog.ipAddress).toStdString();
    target.tcpPort = static_cast<std::uint16_t>(dialog.tcpPort);
    linkDevice_ = {};
    linkDevice_.link = target;
    linkDevice_.linkText =
        tcpLink_ ? target.tcpAddress + ":" + std::to_string(dialog.tcpPort) : com.toStdString();
    linkDevice_.name = linkDevice_.linkText;
    linkTarget_ = QString::fromStdString(updater::linkLabel(target));
    linkName_ = tcpLink_ ? QStringLiteral("TCP ") + linkTarget_ : linkTarget_;
    setLinkState(linkName_ +
                 (tcpLink_ ? QStringLiteral(" connecting") : QStringLiteral(" opening")));
    // The run opens it and says how it went (linkChanged, linkError).
    run_->openLink(target, linkDevice_.linkText);
}

void CUpdaterView::linkChanged(bool open)
{
    // The run closes it after a run of both or a Stop; the device or the system
    // closing it says so through linkClosed as well.
    setLinkState(linkName_ + (!open      ? QStringLiteral(" closed")
                              : tcpLink_ ? QStringLiteral(" connected")
                                         : QStringLiteral(" open")));
}

void CUpdaterView::setLinkState(const QString &text)
{
    linkState_ = text;
    showState(text);
}

void CUpdaterView::showState(const QString &text, const QString &more)
{
    QStringList details;
    if (!more.isEmpty())
        details << more;
    if (!facts_.path.isEmpty())
        details << facts_.summary();
    if (!linkState_.isEmpty())
        details << linkState_;
    emit statusChanged(text, details.join(QLatin1Char('\n')));
}

void CUpdaterView::OnDownLoad()
{
    if (!idle())
        return;
    run_->reset(downLoadDevice(), windowSettings());
    const QString trace = openJobTrace();
    run_->start();
    keepJobTrace(trace, run_->busy());
    if (run_->phase() == updater::run::DeviceRun::Phase::Opening) // a TCP connection takes a while
        setLinkState(linkName_ + QStringLiteral(" connecting again"));
}

void CUpdaterView::shutDown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    // From here on no thread waits for a message box: the supervisor and the
    // communication thread can be joined even while an ending is under way. The
    // run abandons its job (closing the firmware file) and closes its link.
    relay_.close();
    run_->shutDown();
    supervisorThread_.reset();
}

QString CUpdaterView::lineText(int lineId) const
{
    const CStaticText *text = line(lineId);
    return text ? text->text() : QString();
}

bool CUpdaterView::idle() const
{
    return !run_->busy();
}

bool CUpdaterView::jobRunning() const
{
    using Phase = updater::run::DeviceRun::Phase;
    const Phase phase = run_->phase();
    if (phase == Phase::Opening || phase == Phase::Reopening || phase == Phase::Pausing)
        return true;
    const updater::JobFields fields = run_->jobView().fields;
    return fields.jobState != updater::kNoJob && !fields.timeoutInProgress;
}

void CUpdaterView::setLineText(updater::StatusLine line, const std::string &text)
{
    const int lineId = static_cast<int>(line);
    post([this, lineId, text = QString::fromStdString(text)] { setLine(lineId, text); });
}

void CUpdaterView::progressVisible(bool visible)
{
    const auto apply = [this, visible] {
        if (visible) {
            progressBar_->setRange(0, 100);
            progressBar_->setValue(0);
        }
        progressBar_->setVisible(visible);
    };
    // The run hides it on this thread once the success box is closed: at once,
    // before the commands are enabled again.
    if (!visible && onUiThread(this))
        apply();
    else
        post(apply);
}

void CUpdaterView::progressPos(std::uint32_t percent)
{
    // The protocols' estimate may run past 100; the bar shows it as full.
    const int value = static_cast<int>(std::min<std::uint32_t>(percent, 100));
    post([this, value] { progressBar_->setValue(value); });
}

void CUpdaterView::message(updater::MessageKind kind, const std::string &text)
{
    if (bothRun_.load())
        return; // the run of both firmwares ends with one box of its own
    const QString message = QString::fromStdString(text);
    const auto show = [this, kind, message] {
        if (kind != updater::MessageKind::Success) {
            showAppMessage(window(), message);
            return;
        }
        // The run has found the device written: said on the status bar too while
        // the box is open, the bar at 100 %.
        showState(QStringLiteral("Done: download file success"));
        showSuccessMessage(window(), message);
        showState(linkState_);
    };
    if (onUiThread(this)) {
        if (!relay_.isClosed())
            show();
        return;
    }
    relay_.runAndWait(show);
}

void CUpdaterView::idleChanged(bool idle)
{
    // Only DownLoad clears idle, on the UI thread, which owns supervisorThread_.
    if (!idle && supervisorThread_)
        supervisorThread_->wake();
    // The run may still be busy with the job's end: it says so by phaseChanged.
    post([this] { emit commandsEnabled(this->idle()); });
}

void CUpdaterView::phaseChanged()
{
    emit commandsEnabled(idle());
    if (run_->busy() && !progressTimer_->isActive()) {
        progressTimer_->start();
    } else if (!run_->busy() && progressTimer_->isActive()) {
        progressTimer_->stop();
        showState(linkState_);
    }
}

void CUpdaterView::showProgress()
{
    const updater::run::JobView job = run_->jobView();
    const updater::JobFields &fields = job.fields;
    if (fields.jobState == updater::kNoJob)
        return; // between jobs the run's own notes stand
    const updater::run::DeviceRow row = run_->row();
    const FirmwareFacts &facts = factsOf(fields.firmwarePath);
    const statustext::JobPlace place = statustext::placeOf(fields, job.arm, facts);
    const QString progress = statustext::progressText(place, fields, row.fileBytesSent,
                                                      row.fileLength, row.sending, facts);
    if (!bothRun_.load()) {
        showState(progress);
        return;
    }
    showState((fields.firmwareType == updater::kDspFirmware ? QStringLiteral("DSP: ")
                                                            : QStringLiteral("LCD ARM: ")) +
              progress);
}

void CUpdaterView::linkError(updater::LinkFault fault, const QString &caption, const QString &text)
{
    if (caption.isEmpty() && !tcpLink_) {
        // The COM port did not open: "COM45 could not be opened: no such port
        // (/dev/ttyUSB9)". Set Port says it on the status bar, a run in a box too.
        const QString why = QStringLiteral("COM%1 could not be opened: ").arg(comNumber_) +
                            text.section(QStringLiteral(": "), 1) +
                            QString::fromStdString(updater::comDeviceNote(comNumber_));
        setLinkState(why);
        if (!bothRun_.load() && run_->busy())
            showLinkError(window(), QString::fromLatin1(updater::kPortErrorCaption), why);
        return;
    }
    if (fault == updater::LinkFault::ConnectFailed)
        setLinkState(text);
    if (!bothRun_.load()) // its final box says it
        showLinkError(window(), caption, text);
}

void CUpdaterView::linkClosed(const QString &caption, const QString &, const QString &)
{
    setLinkState(linkName_ + QStringLiteral(" closed"));
    if (!jobRunning() || bothRun_.load())
        return;
    // The job keeps its wait and ends with its time-out; this box says where it
    // stood and what the inverter may hold, in place of the system's words.
    const updater::run::JobView job = run_->jobView();
    const statustext::JobPlace place = statustext::placeOf(job.fields, job.arm, facts_);
    showLinkError(window(), caption, statustext::linkLost(linkTarget_, place));
}

CStaticText *CUpdaterView::line(int lineId) const
{
    switch (lineId) {
    case updater::kIdFileLine:
        return fileLine_;
    case updater::kIdConnectLine:
        return connectLine_;
    case updater::kIdProgramLine:
        return programLine_;
    default:
        return nullptr;
    }
}

void CUpdaterView::setLine(int lineId, const QString &text)
{
    if (CStaticText *target = line(lineId))
        target->setText(text);
}

void CUpdaterView::post(std::function<void()> work)
{
    updater::postCall(this, std::move(work));
}
