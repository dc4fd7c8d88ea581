#pragma once

// Version data of the program, as the About dialog and the Windows version block
// show it.
namespace updater::res {

inline constexpr const char kFileVersion[] = "1.0.1.4";
inline constexpr const char kProductVersion[] = "1.0.1.4";
inline constexpr const char kProductName[] = "Updater V10.14";
inline constexpr const char kFileDescription[] = "EXE file";
inline constexpr const char kInternalName[] = "Updater.exe";
inline constexpr const char kAboutVersion[] = "Version : 10.14";

} // namespace updater::res
