// The communication thread on QSerialPort: a QThread running its own event loop,
// with a worker object that owns the port.
#include "PortThread.h"
#include "QueuedCall.h"

#include <QSerialPort>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace updater {

namespace {

constexpr const char kLineStep[] = "SetCommState()";
constexpr const char kReadStep[] = "ReadFile()";
constexpr const char kWriteStep[] = "WriteFile()";
// The thread only has to finish the byte it is handing on.
constexpr unsigned long kStopWaitMs = 5000;

// Lives on the communication thread; every member except requestStop runs there.
class QtPortWorker : public QObject
{
public:
    explicit QtPortWorker(IPortEvents &events) : events_(events) {}

    PortOpenResult open(const QString &deviceName);
    void flush();
    void shutdown();
    void requestStop() { stopRequested_.store(true); }
    // Any thread: the port is closed and the thread does nothing more with this
    // object. Said through an atomic as well as by QThread::wait, whose handover
    // a thread checker does not see in a Qt that was not built for it.
    bool shutDown() const { return shutDown_.load(std::memory_order_acquire); }

private:
    void configure(PortOpenResult &result);
    void onReadyRead();
    void onErrorOccurred(QSerialPort::SerialPortError error);

    IPortEvents &events_;
    QSerialPort *port_ = nullptr; // child of this object while open
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> shutDown_{false};
    SendBlock writeBuffer_{};
    std::array<char, 1024> readChunk_{};
};

PortOpenResult QtPortWorker::open(const QString &deviceName)
{
    PortOpenResult result;
    auto port = std::make_unique<QSerialPort>(this);
    port->setPortName(deviceName);
    if (!port->open(QIODevice::ReadWrite)) {
        switch (port->error()) {
        case QSerialPort::DeviceNotFoundError:
            result.error = PortOpenError::NoSuchPort;
            break;
        case QSerialPort::PermissionError: // also what a port in use gives
            result.error = PortOpenError::PermissionDenied;
            break;
        case QSerialPort::OpenError:
            result.error = PortOpenError::Busy;
            break;
        default:
            result.error = PortOpenError::Other;
            break;
        }
        result.systemText = port->errorString();
        return result;
    }
    port_ = port.release();
    result.opened = true;
    configure(result);
    port_->clear(QSerialPort::AllDirections); // nothing left over from before the open
    connect(port_, &QSerialPort::readyRead, this, &QtPortWorker::onReadyRead);
    connect(port_, &QSerialPort::errorOccurred, this, &QtPortWorker::onErrorOccurred);
    connect(port_, &QSerialPort::bytesWritten, this,
            [this](qint64 count) { events_.portWritten(std::size_t(count)); });
    return result;
}

// QSerialPort opens the port raw (no character translation). The first step that
// fails ends the configuration.
void QtPortWorker::configure(PortOpenResult &result)
{
    const bool lineSet =
        port_->setBaudRate(QSerialPort::Baud9600) && port_->setDataBits(QSerialPort::Data8) &&
        port_->setParity(QSerialPort::NoParity) && port_->setStopBits(QSerialPort::OneStop) &&
        port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!lineSet) {
        result.failures.append({QString::fromLatin1(kLineStep), port_->errorString()});
        port_->clearError();
        return;
    }
    // DTR off, RTS on. Ports without modem lines refuse these; the data line
    // works regardless, so that is not an error.
    port_->setDataTerminalReady(false);
    port_->setRequestToSend(true);
    port_->clearError();
}

void QtPortWorker::flush()
{
    const std::size_t length = events_.takeSendBuffer(writeBuffer_);
    if (length == 0 || port_ == nullptr || stopRequested_.load())
        return;
    const qint64 written =
        port_->write(reinterpret_cast<const char *>(writeBuffer_.data()), qint64(length));
    // No flush() here: it writes at once whether or not the driver has room, and
    // QSerialPort 6.4 on Linux takes the EAGAIN of a full driver for a write error
    // that closes the port. Its write notifier writes only when there is room, on
    // the next pass of this thread's loop.
    if (written != qint64(length))
        return; // errorOccurred reports it
}

void QtPortWorker::onReadyRead()
{
    while (port_ != nullptr && !stopRequested_.load()) {
        const qint64 count = port_->read(readChunk_.data(), qint64(readChunk_.size()));
        if (count <= 0)
            return; // a failed read delivers nothing; errorOccurred reports it
        for (qint64 i = 0; i < count && !stopRequested_.load(); ++i)
            events_.portByte(static_cast<std::uint8_t>(readChunk_[std::size_t(i)]));
    }
}

void QtPortWorker::onErrorOccurred(QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError || port_ == nullptr)
        return;
    const QString text = port_->errorString();
    const QString step =
        QString::fromLatin1(error == QSerialPort::WriteError ? kWriteStep : kReadStep);
    // A read, write or resource error means the device has gone (unplugged, hung
    // up) or no longer works; going on would repeat the failure at every turn of
    // the loop. Other errors (a modem-line request the port does not support)
    // leave the data line working.
    const bool lost = error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
                      error == QSerialPort::ResourceError;
    if (lost) {
        port_->close();
        port_->deleteLater(); // we are inside one of its signals
        port_ = nullptr;
    } else {
        port_->clearError();
    }
    events_.portFailed(step, text, lost);
}

void QtPortWorker::shutdown()
{
    stopRequested_.store(true);
    delete port_; // closes it
    port_ = nullptr;
    QThread::currentThread()->quit();
    shutDown_.store(true, std::memory_order_release);
}

class QtPortThread : public PortThread
{
public:
    QtPortThread(std::unique_ptr<QThread> thread, std::unique_ptr<QtPortWorker> worker)
        : thread_(std::move(thread)), worker_(std::move(worker))
    {
    }

    void wake() override
    {
        QtPortWorker *w = worker_.get();
        postCall(w, [w] { w->flush(); });
    }

    bool stop() override
    {
        QtPortWorker *w = worker_.get();
        w->requestStop();
        postCall(w, [w] { w->shutdown(); });
        if (!thread_->wait(kStopWaitMs) || !w->shutDown())
            return false;
        worker_.reset();
        thread_.reset();
        return true;
    }

    ~QtPortThread() override
    {
        if (thread_ != nullptr && !stop()) {
            // Stuck: deleting a running QThread would abort the program.
            (void)thread_.release();
            (void)worker_.release();
        }
    }

private:
    std::unique_ptr<QThread> thread_;
    std::unique_ptr<QtPortWorker> worker_;
};

} // namespace

std::unique_ptr<PortThread> startQtPortThread(IPortEvents &events, const QString &deviceName,
                                              PortOpenResult &result)
{
    auto thread = std::make_unique<QThread>();
    thread->setObjectName(QStringLiteral("serial ") + deviceName);
    QThread *t = thread.get();
    // Both signals come from the new thread itself.
    QObject::connect(
        t, &QThread::started, t, [] { countPortThread(1); }, Qt::DirectConnection);
    QObject::connect(
        t, &QThread::finished, t, [] { countPortThread(-1); }, Qt::DirectConnection);
    auto worker = std::make_unique<QtPortWorker>(events);
    worker->moveToThread(t);
    t->start();
    // The worker never waits for the caller while it opens the port, so waiting
    // for its answer here cannot deadlock. A plain mutex and condition rather than
    // a future: a thread checker sees the answer handed over.
    std::mutex answerLock;
    std::condition_variable answered;
    std::optional<PortOpenResult> answer;
    QtPortWorker *w = worker.get();
    postCall(w, [&, w, deviceName] {
        PortOpenResult opened = w->open(deviceName);
        std::lock_guard<std::mutex> lock(answerLock);
        answer = std::move(opened);
        answered.notify_one();
    });
    {
        std::unique_lock<std::mutex> lock(answerLock);
        answered.wait(lock, [&] { return answer.has_value(); });
        result = std::move(*answer);
    }
    auto portThread = std::make_unique<QtPortThread>(std::move(thread), std::move(worker));
    if (!result.opened) {
        portThread->stop();
        return nullptr;
    }
    return portThread;
}

} // namespace updater
