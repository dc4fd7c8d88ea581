#include "SignalsPlatform.h"

#include <csignal>

namespace updater {

// SIGHUP: the terminal or the remote session closed. SIGPIPE is ignored: a reader
// of standard output that goes away must not kill a job halfway.
void watchPlatformSignals(bool hangUp, void (*watch)(int), void (*)(int))
{
    if (hangUp)
        watch(SIGHUP);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace updater
