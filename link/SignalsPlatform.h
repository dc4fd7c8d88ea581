#pragma once

// The platform's own ways of ending a run, beside SIGINT and SIGTERM (one file per
// platform: SignalsPosix.cpp, SignalsWin.cpp). watch installs the handler for a C
// signal (leaving one that was ignored at start ignored); note records a signal
// as the handler does.
namespace updater {

void watchPlatformSignals(bool hangUp, void (*watch)(int signal), void (*note)(int signal));

} // namespace updater
