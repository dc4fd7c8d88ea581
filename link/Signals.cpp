#include "Signals.h"
#include "SignalsPlatform.h"

#include <QObject>
#include <QTimer>

#include <cerrno>
#include <csignal>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace updater {

namespace {

volatile std::sig_atomic_t gSignal = 0;
#ifdef Q_OS_UNIX
int gWakePipe[2] = {-1, -1}; // the handler writes a byte; the event loop reads it
#endif

void noteSignal(int signal)
{
    gSignal = signal;
#ifdef Q_OS_UNIX
    if (gWakePipe[1] >= 0) {
        // The interrupted code may be about to read errno.
        const int saved = errno;
        const char byte = 0;
        [[maybe_unused]] const auto written = ::write(gWakePipe[1], &byte, 1);
        errno = saved;
    }
#endif
}

// A signal that was ignored when the program started (nohup, a background job of
// a non-interactive shell) stays ignored: whoever started the program asked so.
void watch(int signal)
{
#ifdef Q_OS_UNIX
    struct sigaction current = {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
        return;
#endif
    std::signal(signal, noteSignal);
}

} // namespace

void watchSignals(bool hangUp)
{
#ifdef Q_OS_UNIX
    if (gWakePipe[0] < 0 && ::pipe(gWakePipe) == 0) {
        for (const int fd : gWakePipe)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
#endif
    watch(SIGINT);
    watch(SIGTERM);
    watchPlatformSignals(hangUp, &watch, &noteSignal);
}

int pendingSignal()
{
    return gSignal;
}

void whenSignalled(QObject *context, std::function<void(int)> handler)
{
#ifdef Q_OS_UNIX
    if (gWakePipe[0] >= 0) {
        auto *notifier = new QSocketNotifier(gWakePipe[0], QSocketNotifier::Read, context);
        QObject::connect(notifier, &QSocketNotifier::activated, context, [handler] {
            char bytes[16];
            while (::read(gWakePipe[0], bytes, sizeof bytes) > 0) {
            }
            if (gSignal != 0)
                handler(gSignal);
        });
        return;
    }
#endif
    auto *timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [handler] {
        if (gSignal != 0)
            handler(gSignal);
    });
    timer->start(250);
}

} // namespace updater
