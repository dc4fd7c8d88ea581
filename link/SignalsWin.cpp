#include "SignalsPlatform.h"

#include <windows.h>

#include <csignal>

namespace updater {

namespace {

void (*gNote)(int) = nullptr;

// Runs on a thread of its own that the system starts for the event. Ctrl+Break
// interrupts as Ctrl+C does (the C runtime already turns Ctrl+C into SIGINT).
// Closing the console window ends the process once this returns, so the handler
// gives the run the few seconds the system allows to abandon its job, say where
// it stopped and close its files.
BOOL WINAPI consoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_BREAK_EVENT:
        gNote(SIGINT);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        gNote(SIGTERM);
        ::Sleep(4000);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

// No hang-up signal on Windows: the console's own events stand for it.
void watchPlatformSignals(bool, void (*)(int), void (*note)(int))
{
    gNote = note;
    ::SetConsoleCtrlHandler(&consoleEvent, TRUE);
}

} // namespace updater
