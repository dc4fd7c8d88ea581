#include "SerialPort.h"

#include "LinkReporter.h"
#include "PortName.h"
#include "QueuedCall.h"

#include <QCoreApplication>
#include <QObject>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace updater {

namespace {
std::atomic<int> gRunningThreads{0};
} // namespace

const char *portOpenErrorText(PortOpenError error)
{
    switch (error) {
    case PortOpenError::None:
        return "no error";
    case PortOpenError::NoSuchPort:
        return "no such port";
    case PortOpenError::Busy:
        return "the port is busy (in use by another program)";
    case PortOpenError::NotASerialPort:
        return "not a serial port";
    case PortOpenError::PermissionDenied:
        return "permission denied";
    case PortOpenError::Other:
        return "the port cannot be opened";
    }
    return "";
}

QString PortOpenResult::errorText() const
{
    if (error == PortOpenError::Other && !systemText.isEmpty())
        return systemText;
    return QString::fromLatin1(portOpenErrorText(error));
}

int runningPortThreads()
{
    return gRunningThreads.load();
}

void countPortThread(int delta)
{
    gRunningThreads += delta;
}

} // namespace updater

CSerialPort::CSerialPort(updater::ILinkReporter *reporter)
    : reporter_(reporter), home_(std::make_unique<QObject>())
{
}

CSerialPort::~CSerialPort()
{
    ClosePort();
}

int CSerialPort::runningThreads()
{
    return updater::runningPortThreads();
}

bool CSerialPort::OpenPort(unsigned portNumber)
{
    ClosePort();
    portNumber_ = portNumber;
    portName_ = updater::comPortDeviceName(portNumber);
    return openCurrent();
}

bool CSerialPort::OpenPortDevice(const QString &devicePath)
{
    ClosePort();
    portNumber_ = 0;
    portName_ = devicePath;
    return openCurrent();
}

bool CSerialPort::openCurrent()
{
    openError_ = updater::PortOpenError::NoSuchPort;
    openErrorText_ = QString::fromLatin1(updater::portOpenErrorText(openError_));
    if (portName_.isEmpty())
        return false;
    updater::PortOpenResult result;
    std::unique_ptr<updater::PortThread> thread =
        updater::startNativePortThread(*this, portName_, result);
    openError_ = result.error;
    openErrorText_ = result.errorText();
    if (thread == nullptr)
        return false;
    {
        std::lock_guard<std::mutex> lock(sendLock_);
        thread_ = std::move(thread);
        resetSendState();
    }
    portOpen_.store(true);
    for (const auto &[step, text] : result.failures)
        ReportPortError(step, text);
    return true;
}

void CSerialPort::ClosePort()
{
    std::unique_ptr<updater::PortThread> thread;
    {
        std::lock_guard<std::mutex> lock(sendLock_);
        thread = std::move(thread_);
        resetSendState();
    }
    portOpen_.store(false);
    if (thread == nullptr)
        return;
    stopThread(std::move(thread));
    // A failure of the old port that has not been shown yet would otherwise mark
    // the next port as lost.
    QCoreApplication::removePostedEvents(home_.get());
    errorPending_.store(false);
}

void CSerialPort::stopThread(std::unique_ptr<updater::PortThread> thread)
{
    if (thread->stop())
        return;
    // The thread is stuck in the byte handler (a message box nobody will answer).
    // It hands on no more bytes; leave it rather than hang the caller.
    qWarning("serial %s: communication thread did not end; left behind", qPrintable(portName_));
    (void)thread.release();
}

void CSerialPort::resetSendState()
{
    sendLength_ = 0;
    writeRequested_ = false;
    waitingBlocks_.clear();
    unwritten_ = 0;
    portLost_ = false;
    writtenChanged_.notify_all();
}

bool CSerialPort::QueueSend(const std::uint8_t *data, std::size_t length)
{
    {
        std::lock_guard<std::mutex> lock(sendLock_);
        if (thread_ == nullptr || !portOpen_.load())
            return false; // no port: the job notices the missing reply
        if (length <= kSendBufferSize) {
            if (length == 0)
                return true;
            // The buffer is only ever copied under the lock, never while written from.
            if (waitingBlocks_.empty() && length <= kSendBufferSize - sendLength_) {
                std::memcpy(sendBuffer_.data() + sendLength_, data, length);
                sendLength_ += length;
            } else {
                waitingBlocks_.emplace_back(data, data + length);
            }
            unwritten_ += length;
            if (!writeRequested_) {
                writeRequested_ = true;
                thread_->wake();
            }
            return true;
        }
    }
    portFailed(QStringLiteral("QueueSend()"),
               QStringLiteral("A block of %1 bytes is longer than the send buffer of %2 "
                              "bytes; it was not sent.")
                   .arg(length)
                   .arg(kSendBufferSize),
               false);
    return false;
}

bool CSerialPort::WaitUntilWritten(std::chrono::milliseconds atMost)
{
    constexpr std::chrono::milliseconds kGrace{2000};
    std::unique_lock<std::mutex> lock(sendLock_);
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(LineTime(unwritten_));
    writtenChanged_.wait_for(lock, std::min(limit + kGrace, atMost),
                             [this] { return unwritten_ == 0 || portLost_ || thread_ == nullptr; });
    return unwritten_ == 0;
}

std::size_t CSerialPort::takeSendBuffer(updater::SendBlock &out)
{
    std::lock_guard<std::mutex> lock(sendLock_);
    const std::size_t length = std::exchange(sendLength_, 0);
    std::memcpy(out.data(), sendBuffer_.data(), length);
    while (!waitingBlocks_.empty() &&
           waitingBlocks_.front().size() <= kSendBufferSize - sendLength_) {
        const std::vector<std::uint8_t> &block = waitingBlocks_.front();
        std::memcpy(sendBuffer_.data() + sendLength_, block.data(), block.size());
        sendLength_ += block.size();
        waitingBlocks_.pop_front();
    }
    writeRequested_ = sendLength_ > 0;
    if (writeRequested_ && thread_ != nullptr)
        thread_->wake(); // come back for the blocks that moved up
    return length;
}

void CSerialPort::portWritten(std::size_t count)
{
    std::lock_guard<std::mutex> lock(sendLock_);
    unwritten_ -= std::min(count, unwritten_);
    if (unwritten_ == 0)
        writtenChanged_.notify_all();
}

void CSerialPort::portFailed(const QString &step, const QString &systemText, bool lost)
{
    if (lost) {
        std::lock_guard<std::mutex> lock(sendLock_);
        portLost_ = true;
        writtenChanged_.notify_all();
    }
    // One box at a time: failures met while one is waiting to be closed are not
    // shown again (a failing port would otherwise stack up boxes).
    const bool show = !errorPending_.exchange(true);
    if (!show && !lost)
        return;
    updater::postCall(home_.get(), [this, step, systemText, lost, show] {
        if (lost) {
            portOpen_.store(false);
            OnPortLost();
        }
        if (show) {
            if (ReportsPortFailures()) {
                if (lost)
                    ReportPortLost(step, systemText);
                else
                    ReportPortError(step, systemText);
            }
            errorPending_.store(false);
        }
        if (lost)
            OnPortLostReported();
    });
}

QString CSerialPort::portText() const
{
    return portNumber_ != 0 ? QString::number(portNumber_) : portName_;
}

QString CSerialPort::portErrorText(const QString &step, const QString &systemText) const
{
    return QStringLiteral("WARNING:  %1 Failed with the following error: \n%2\nPort: %3\n")
        .arg(step, systemText, portText());
}

void CSerialPort::ReportPortError(const QString &step, const QString &systemText)
{
    if (reporter_ != nullptr)
        reporter_->reportLinkError(updater::LinkFault::PortError,
                                   QString::fromLatin1(updater::kPortErrorCaption),
                                   portErrorText(step, systemText));
}

void CSerialPort::ReportPortLost(const QString &step, const QString &systemText)
{
    const QString port = portNumber_ != 0 ? QStringLiteral("COM") + portText() : portText();
    if (reporter_ != nullptr)
        reporter_->reportLinkClosed(QString::fromLatin1(updater::kPortErrorCaption),
                                    portErrorText(step, systemText),
                                    QStringLiteral("Connection on %1 closed").arg(port));
}
