// What Windows reads from the two programs' resources: the manifest (the rights
// they run with, how they scale on each monitor, the Windows versions they know),
// the version block and the icon. Read with the system's own calls, as Explorer's
// properties page and the program loader do.
#include "UpdaterVersion.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A program of the build, by its path from the build folder.
std::wstring builtProgram(const wchar_t *relative)
{
    wchar_t self[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    path.erase(path.find_last_of(L"\\/") + 1); // ...\tests\win\ -> the build folder
    return path + L"..\\..\\" + relative;
}

std::string manifestOf(const std::wstring &program)
{
    HMODULE module = ::LoadLibraryExW(program.c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr)
        return {};
    std::string text;
    if (HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
        const auto *bytes =
            static_cast<const char *>(::LockResource(::LoadResource(module, found)));
        text.assign(bytes, ::SizeofResource(module, found));
    }
    const bool hasIcon = ::FindResourceW(module, MAKEINTRESOURCEW(128),
                                         MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */) != nullptr;
    ::FreeLibrary(module);
    return hasIcon ? text : "no icon 128";
}

std::wstring versionValue(const std::wstring &program, const wchar_t *name)
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(program.c_str(), &ignored);
    std::vector<char> block(size);
    if (size == 0 || !::GetFileVersionInfoW(program.c_str(), 0, size, block.data()))
        return L"(no version block)";
    struct Translation
    {
        WORD language;
        WORD codePage;
    } *translation = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                          reinterpret_cast<void **>(&translation), &length) ||
        length < sizeof *translation)
        return L"(no translation)";
    wchar_t key[128];
    swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
             translation->codePage, name);
    wchar_t *value = nullptr;
    if (!::VerQueryValueW(block.data(), key, reinterpret_cast<void **>(&value), &length))
        return L"(no " + std::wstring(name) + L")";
    return std::wstring(value);
}

std::wstring wide(const char *text)
{
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

struct ProgramCase
{
    const char *name;
    const wchar_t *path;
};

class Resources : public ::testing::TestWithParam<ProgramCase>
{
};

TEST_P(Resources, CarryTheManifestTheIconAndTheVersionBlock)
{
    const std::wstring program = builtProgram(GetParam().path);
    const std::string manifest = manifestOf(program);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find(">PerMonitorV2"), std::string::npos) << manifest;
    for (const char *os : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a",  // Windows 7
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",  // 8
                           "1f676c76-80e1-4239-95bb-83d0f6d0da78",  // 8.1
                           "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) // 10 and 11
        EXPECT_NE(manifest.find(os), std::string::npos) << os;
    EXPECT_EQ(versionValue(program, L"FileVersion"), wide(UPDATER_FILE_VERSION_TEXT));
    EXPECT_EQ(versionValue(program, L"ProductName"), wide(UPDATER_APP_TITLE));
}

INSTANTIATE_TEST_SUITE_P(Programs, Resources,
                         ::testing::Values(ProgramCase{"Window", L"shell\\updater.exe"},
                                           ProgramCase{"CommandLine", L"cli\\updater-cli.exe"}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
