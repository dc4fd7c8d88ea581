#pragma once

#include <functional>

class QObject;

// The signals that end a run: SIGINT (Ctrl+C), SIGTERM, and SIGHUP (the terminal
// or the remote session closed). The run is told on its own thread; it then
// abandons what is under way and exits with 128 + the signal's number.
namespace updater {

// Installs the handlers (SIGHUP only with hangUp), and ignores SIGPIPE: a reader
// of standard output that goes away must not kill a job halfway. A signal that
// was ignored when the program started (nohup) is left ignored.
void watchSignals(bool hangUp = true);
// Calls handler with the signal on context's thread when one comes, also for one
// that came before. On POSIX the handler wakes the event loop through a pipe, so
// that no timer has to look; elsewhere a timer looks four times a second.
void whenSignalled(QObject *context, std::function<void(int)> handler);
// The signal that has come, 0 none: for work that runs before the event loop
// (the checks of the firmware files) to look at between its pieces.
int pendingSignal();

} // namespace updater
