#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

// Paths are UTF-8 text throughout the program (the command line, the window's file
// dialog, the fleet file, the traces and reports). These hand them to the system
// in its own form: the bytes as they are on POSIX systems, wide characters on
// Windows, so that a name outside the system's ANSI code page opens too.
namespace updater {

// The path named by UTF-8 text; an empty path for text that is not UTF-8 where
// the system needs it converted (Windows).
std::filesystem::path systemPath(const std::string &utf8);
// The path as UTF-8 text, with the system's own separators.
std::string utf8Path(const std::filesystem::path &path);
// The path with the system's own separators ('\\' on Windows), as messages show it.
std::string nativeSeparators(const std::string &utf8);
// std::fopen for a UTF-8 path (one file per platform: SystemFilePosix.cpp,
// SystemFileWin.cpp). mode is fopen's ("rb", "w"); errno says why on failure.
std::FILE *openFile(const std::string &utf8, const char *mode);

} // namespace updater
