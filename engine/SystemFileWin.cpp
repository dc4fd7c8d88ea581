#include "SystemFile.h"

#include <cerrno>
#include <cwchar>

namespace updater {

// _wfopen takes the path as UTF-16: std::fopen would read it in the ANSI code page.
std::FILE *openFile(const std::string &utf8, const char *mode)
{
    const std::filesystem::path path = systemPath(utf8);
    if (path.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    std::wstring wideMode;
    for (const char *c = mode; *c != '\0'; ++c)
        wideMode.push_back(wchar_t(*c));
    return ::_wfopen(path.c_str(), wideMode.c_str());
}

} // namespace updater
