// The communication thread on Windows: the Win32 communications API with
// overlapped reads and writes.
//
// The port is opened for exclusive use at 9600 baud, 8N1, raw, no flow control.
// Reads return at once with what the driver holds (ReadIntervalTimeout MAXDWORD);
// a write of n bytes may take up to 5 n + 50 ms. The thread waits for a received
// character (WaitCommEvent), a block to write, the end of a write or its stop,
// and at most 5 ms: some drivers (and wine) complete WaitCommEvent without the
// event in the mask, so the count of waiting bytes is asked of ClearCommError
// on every pass and only counts that the system returns are trusted.
#include "PortThread.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include <windows.h>

namespace updater {

namespace {

constexpr const char kReadStep[] = "ReadFile()";
constexpr const char kWriteStep[] = "WriteFile()";
constexpr const char kQueueStep[] = "ClearCommError()";
constexpr DWORD kPollMs = 5;
constexpr DWORD kInputQueue = 1024;
constexpr DWORD kOutputQueue = 512;
// A received character only: drivers without modem lines (and wine on a
// pseudo-terminal) refuse to wait for EV_CTS, and nothing here looks at CTS.
constexpr DWORD kEventMask = EV_RXCHAR;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// The system's own words for error, in the user's language, without the line end.
QString systemText(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    if (length == 0 || text == nullptr)
        return QStringLiteral("system error %1").arg(error);
    const QString result = QString::fromWCharArray(text, int(length)).trimmed();
    LocalFree(text);
    return result;
}

// A handle closed when it goes out of scope.
class Handle
{
public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    Handle(Handle &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void reset()
    {
        if (valid())
            CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

PortOpenError openError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return PortOpenError::NoSuchPort;
    case ERROR_ACCESS_DENIED: // what a port open in another program gives
    case ERROR_SHARING_VIOLATION:
        return PortOpenError::Busy;
    default:
        return PortOpenError::Other;
    }
}

// Opens the device for exclusive use, overlapped. Invalid when it cannot be had;
// result then says why, from the call that failed.
Handle openDevice(const QString &deviceName, PortOpenResult &result)
{
    const std::wstring name = deviceName.toStdWString();
    Handle port(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
    if (!port.valid()) {
        const DWORD error = GetLastError();
        result.error = openError(error);
        result.systemText = systemText(error);
        return Handle();
    }
    // A file or pipe is no serial port.
    if (GetFileType(port.get()) != FILE_TYPE_CHAR) {
        result.error = PortOpenError::NotASerialPort;
        result.systemText = QStringLiteral("not a serial port");
        return Handle();
    }
    return port;
}

// Queues, time-outs, event mask and line settings, in that order; the first step
// that fails is recorded and ends the configuration. Returns the line settings
// found at the open, to be restored on close.
std::optional<DCB> configure(HANDLE port, PortOpenResult &result)
{
    const auto failed = [&result](const char *step) {
        result.failures.append({QString::fromLatin1(step), systemText(GetLastError())});
    };
    SetupComm(port, kInputQueue, kOutputQueue);
    PurgeComm(port, kPurgeAll);
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 5;
    timeouts.WriteTotalTimeoutConstant = 50;
    if (!SetCommTimeouts(port, &timeouts)) {
        failed("SetCommTimeouts()");
        return std::nullopt;
    }
    if (!SetCommMask(port, kEventMask)) {
        failed("SetCommMask()");
        return std::nullopt;
    }
    DCB line{};
    line.DCBlength = sizeof line;
    if (!GetCommState(port, &line)) {
        failed("GetCommState()");
        return std::nullopt;
    }
    const DCB before = line;
    line.XonLim = 256;
    line.XoffLim = 256;
    line.fBinary = TRUE;
    line.fParity = FALSE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fErrorChar = FALSE;
    line.fNull = FALSE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.fAbortOnError = FALSE; // a line error must not stop every later read
    wchar_t definition[] = L"baud=9600 parity=N data=8 stop=1";
    if (!BuildCommDCBW(definition, &line)) {
        failed("BuildCommDCB()");
        return before;
    }
    // BuildCommDCB may switch flow control on again; the line has none.
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    if (!SetCommState(port, &line))
        failed("SetCommState()");
    return before;
}

// One overlapped operation with its own manual-reset event.
struct Overlapped
{
    Overlapped() { io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(io.hEvent); }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;
    OVERLAPPED io{};
    bool pending = false;
};

class Win32PortThread : public PortThread
{
public:
    Win32PortThread(IPortEvents &events, Handle port, std::optional<DCB> saved)
        : events_(events), port_(std::move(port)), saved_(saved),
          wakeEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        countPortThread(1); // counted from here, so the count holds once the open returns
        thread_.start([this] { run(); });
    }

    ~Win32PortThread() override
    {
        thread_.stopOrLeave([this] { return stop(); }); // see stop()
    }

    void wake() override { SetEvent(wakeEvent_.get()); }

    bool stop() override
    {
        stopRequested_.store(true);
        SetEvent(stopEvent_.get());
        return thread_.join();
    }

private:
    void run();
    bool readPort();
    bool startWrite();
    bool finishWrite();
    void armCommWait();
    void commWaitDone();
    void fail(const char *step, DWORD error);
    void closePort();

    IPortEvents &events_;
    Handle port_;
    std::optional<DCB> saved_; // the line settings the port had before we opened it
    Handle wakeEvent_;         // auto-reset: a block waits in the send buffer
    Handle stopEvent_;
    std::atomic<bool> stopRequested_{false};
    EndingThread thread_;

    // Communication thread only.
    Overlapped commWait_;
    bool commWaitWorks_ = true;
    DWORD commEvents_ = 0; // written by the system while commWait_ is pending
    Overlapped read_;
    Overlapped write_;
    bool takeWanted_ = false; // woken for a block not yet taken
    SendBlock taken_{};
    std::vector<std::uint8_t> output_; // taken from the send buffer, not yet written
    std::size_t outputDone_ = 0;
    std::array<std::uint8_t, kInputQueue> readChunk_{};
};

void Win32PortThread::run()
{
    output_.reserve(2 * kSendBufferSize);
    PurgeComm(port_.get(), kPurgeAll); // nothing left over from before the open
    armCommWait();
    bool ok = true;
    while (ok && !stopRequested_.load()) {
        HANDLE handles[] = {stopEvent_.get(), wakeEvent_.get(), commWait_.io.hEvent,
                            write_.io.hEvent};
        const DWORD count = write_.pending ? 4 : 3;
        const DWORD woken = WaitForMultipleObjects(count, handles, FALSE, kPollMs);
        if (stopRequested_.load())
            break;
        if (woken == WAIT_OBJECT_0 + 1)
            takeWanted_ = true;
        commWaitDone();
        ok = readPort() && (!write_.pending || finishWrite());
        // output_ stays as it is while the system writes from it.
        if (ok && !write_.pending) {
            if (std::exchange(takeWanted_, false)) {
                const std::size_t length = events_.takeSendBuffer(taken_);
                output_.insert(output_.end(), taken_.begin(),
                               taken_.begin() + std::ptrdiff_t(length));
            }
            if (outputDone_ < output_.size())
                ok = startWrite();
        }
        if (ok && !commWait_.pending)
            armCommWait();
    }
    closePort();
    countPortThread(-1);
    thread_.ended();
}

// Starts waiting for a received character, unless one is already waiting. A
// driver that cannot wait is read every 5 ms instead.
void Win32PortThread::armCommWait()
{
    if (!commWaitWorks_)
        return;
    ResetEvent(commWait_.io.hEvent);
    if (WaitCommEvent(port_.get(), &commEvents_, &commWait_.io))
        return; // already there; the next pass reads it
    if (GetLastError() == ERROR_IO_PENDING)
        commWait_.pending = true;
    else
        commWaitWorks_ = false;
}

// Takes the end of a wait for a character without blocking. Neither the mask it
// leaves nor its failure is looked at: the count of waiting bytes decides, and a
// port that has gone fails the next read.
void Win32PortThread::commWaitDone()
{
    if (!commWait_.pending)
        return;
    DWORD unused = 0;
    if (GetOverlappedResult(port_.get(), &commWait_.io, &unused, FALSE)) {
        commWait_.pending = false;
    } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
        commWait_.pending = false;
        commWaitWorks_ = false; // a wait that fails would fail at once every pass
    }
}

// Hands on every byte waiting in the driver, one at a time, each before the next
// is taken. False when the port failed.
bool Win32PortThread::readPort()
{
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        // Line errors (framing, overrun, parity) are cleared here and not reported.
        if (!ClearCommError(port_.get(), &errors, &status)) {
            fail(kQueueStep, GetLastError());
            return false;
        }
        if (status.cbInQue == 0)
            return true;
        const DWORD wanted = std::min<DWORD>(status.cbInQue, DWORD(readChunk_.size()));
        ResetEvent(read_.io.hEvent);
        DWORD count = 0;
        if (!ReadFile(port_.get(), readChunk_.data(), wanted, nullptr, &read_.io) &&
            GetLastError() != ERROR_IO_PENDING) {
            fail(kReadStep, GetLastError());
            return false;
        }
        // The read time-outs make it end at once with what is there.
        if (!GetOverlappedResult(port_.get(), &read_.io, &count, TRUE)) {
            fail(kReadStep, GetLastError());
            return false;
        }
        if (count == 0)
            return true;
        for (DWORD i = 0; i < count; ++i) {
            if (stopRequested_.load())
                return true;
            events_.portByte(readChunk_[i]);
        }
    }
}

// Starts writing what was taken and is not written yet. False when the port failed.
bool Win32PortThread::startWrite()
{
    ResetEvent(write_.io.hEvent);
    const DWORD length = DWORD(output_.size() - outputDone_);
    if (!WriteFile(port_.get(), output_.data() + outputDone_, length, nullptr, &write_.io) &&
        GetLastError() != ERROR_IO_PENDING) {
        fail(kWriteStep, GetLastError());
        return false;
    }
    write_.pending = true; // finished, done at once or not, by finishWrite
    return finishWrite();
}

// Counts what a write has taken once it has ended; it goes on with the rest on
// the next pass. False when the port failed or the write took nothing in its time.
bool Win32PortThread::finishWrite()
{
    DWORD count = 0;
    if (!GetOverlappedResult(port_.get(), &write_.io, &count, FALSE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return true;
        write_.pending = false;
        fail(kWriteStep, error);
        return false;
    }
    write_.pending = false;
    if (count == 0) {
        fail(kWriteStep, ERROR_WRITE_FAULT); // nothing went out within the write time-out
        return false;
    }
    outputDone_ += count;
    events_.portWritten(count);
    if (outputDone_ == output_.size()) {
        output_.clear();
        outputDone_ = 0;
    }
    return true;
}

void Win32PortThread::fail(const char *step, DWORD error)
{
    closePort();
    events_.portFailed(QString::fromLatin1(step), systemText(error), true);
}

// Ends what is pending before the records it writes into go away, restores the
// port's settings and closes it.
void Win32PortThread::closePort()
{
    if (!port_.valid())
        return;
    CancelIo(port_.get());
    SetCommMask(port_.get(), 0); // ends a pending WaitCommEvent
    DWORD unused = 0;
    for (Overlapped *operation : {&commWait_, &read_, &write_}) {
        if (operation->pending)
            GetOverlappedResult(port_.get(), &operation->io, &unused, TRUE);
        operation->pending = false;
    }
    if (saved_)
        SetCommState(port_.get(), &*saved_);
    port_.reset();
}

} // namespace

std::unique_ptr<PortThread> startNativePortThread(IPortEvents &events, const QString &deviceName,
                                                  PortOpenResult &result)
{
    Handle port = openDevice(deviceName, result);
    if (!port.valid())
        return nullptr;
    result.opened = true;
    const std::optional<DCB> saved = configure(port.get(), result);
    return std::make_unique<Win32PortThread>(events, std::move(port), saved);
}

} // namespace updater
