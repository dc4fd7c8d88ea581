#include "Signals.h"

#include <csignal>

namespace updater::cli {

namespace {

volatile std::sig_atomic_t gSignal = 0;

void noteSignal(int signal)
{
    gSignal = signal;
}

} // namespace

void watchSignals()
{
    std::signal(SIGINT, noteSignal);
    std::signal(SIGTERM, noteSignal);
#ifdef SIGHUP
    std::signal(SIGHUP, noteSignal);
#endif
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

int pendingSignal()
{
    return gSignal;
}

} // namespace updater::cli
