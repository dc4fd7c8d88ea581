#include "CliPlatform.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

namespace updater::cli {

namespace {

std::string utf8(const wchar_t *text)
{
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return {};
    std::string out(std::size_t(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(std::size_t(length - 1)); // without the terminating zero
    return out;
}

UINT gConsoleOutput = 0; // the console's code page before the program changed it

void restoreConsole()
{
    ::SetConsoleOutputCP(gConsoleOutput);
}

} // namespace

// argv holds the arguments in the ANSI code page, with '?' for what it lacks.
std::vector<std::string> programArguments(int argc, char *argv[])
{
    int count = 0;
    wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr)
        return std::vector<std::string>(argv + 1, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(utf8(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

void prepareConsole()
{
    gConsoleOutput = ::GetConsoleOutputCP();
    if (gConsoleOutput == 0 || gConsoleOutput == CP_UTF8)
        return; // no console (output to a file or a pipe), or already UTF-8
    if (::SetConsoleOutputCP(CP_UTF8))
        std::atexit(&restoreConsole);
}

const PlatformHelp &platformHelp()
{
    static constexpr PlatformHelp help{
        "  --serial PORT     RS485 on a COM port: COM1 to COM99 (COM10 and up also as\n"
        "                    \\\\.\\COM10); --list-ports shows this PC's COM ports;\n"
        "                    9600 baud, 8 data bits, no parity, 1 stop bit\n",
        "Ctrl+C or Ctrl+Break abandons the job and says at which step it\n"
        "stopped; so does closing the console window, which gives the program a few\n"
        "seconds to close its trace and report.\n",
        "  130  interrupted by Ctrl+C or Ctrl+Break; 143 stopped by closing the console\n"};
    return help;
}

} // namespace updater::cli
