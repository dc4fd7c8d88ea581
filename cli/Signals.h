#pragma once

// The signals that end a run: SIGINT (Ctrl+C), SIGTERM, and SIGHUP (the terminal
// or the remote session closed). Each is noted for the run to poll; the run then
// abandons what is under way and exits with 128 + the signal's number.
namespace updater::cli {

// Installs the handlers, and ignores SIGPIPE: a reader of standard output that
// goes away must not kill a job halfway.
void watchSignals();
// The last signal noted, 0 for none.
int pendingSignal();

} // namespace updater::cli
