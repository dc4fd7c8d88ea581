#include "SystemFile.h"

namespace updater {

std::filesystem::path systemPath(const std::string &utf8)
{
    try {
        return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
    } catch (const std::exception &) {
        return {}; // not UTF-8: no such file
    }
}

std::string utf8Path(const std::filesystem::path &path)
{
    try {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    } catch (const std::exception &) {
        return {};
    }
}

std::string nativeSeparators(const std::string &utf8)
{
    std::filesystem::path path = systemPath(utf8);
    const std::string native = utf8Path(path.make_preferred());
    return native.empty() ? utf8 : native;
}

} // namespace updater
