#include "CliPlatform.h"

namespace updater::cli {

std::vector<std::string> programArguments(int argc, char *argv[])
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

void prepareConsole() {}

const PlatformHelp &platformHelp()
{
    static constexpr PlatformHelp help{
        "  --serial PORT     RS485 on a serial port: COM1 to COM99 (named by the port-naming\n"
        "                    rule, see README) or a device path such as /dev/ttyUSB0;\n"
        "                    9600 baud, 8 data bits, no parity, 1 stop bit\n",
        "Ctrl+C, SIGTERM or SIGHUP (the terminal or the remote session\n"
        "closing) abandons the job and says at which step it stopped.\n",
        "  129  hung up (SIGHUP); 130 interrupted by Ctrl+C (SIGINT); 143 stopped by SIGTERM\n"};
    return help;
}

} // namespace updater::cli
