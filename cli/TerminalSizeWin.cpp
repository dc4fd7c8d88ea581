#include "FleetTable.h"

#include <windows.h>

namespace updater::cli {

// The console window's visible part, not its scroll-back buffer.
TerminalSize terminalSize()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0)
        return {};
    const int rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (rows <= 0 || columns <= 0)
        return {};
    return {rows, columns};
}

} // namespace updater::cli
