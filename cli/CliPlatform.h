#pragma once

#include <string>
#include <vector>

// What updater-cli does in the platform's own way (one file per platform:
// CliPlatformPosix.cpp, CliPlatformWin.cpp).
namespace updater::cli {

// The arguments after the program's name as UTF-8 text. On Windows they are read
// as the UTF-16 command line, so that a file name outside the ANSI code page
// arrives whole.
std::vector<std::string> programArguments(int argc, char *argv[]);

// Readies standard output and standard error for UTF-8 text (a Windows console
// shows it in its own code page otherwise; the console's is restored at exit).
void prepareConsole();

// The lines of --help that depend on the platform: the serial ports, how a run is
// stopped, and the exit status of a stopped run.
struct PlatformHelp
{
    const char *serialPort;
    const char *stopping;
    const char *stopStatus;
};
const PlatformHelp &platformHelp();

} // namespace updater::cli
