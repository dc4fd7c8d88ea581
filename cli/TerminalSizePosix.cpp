#include "FleetTable.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace updater::cli {

TerminalSize terminalSize()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0)
        return {size.ws_row, size.ws_col};
    return {};
}

} // namespace updater::cli
