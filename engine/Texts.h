#pragma once

#include "UpdaterVersion.h"

// The program's own texts, used exactly as they stand. UTF-8.
namespace updater::texts {

inline constexpr const char kNoLink[] = "Please set COM Port or IP Address first!";
inline constexpr const char kNoFile[] = "Please open file first!";
inline constexpr const char kSuccess[] = "Download file success!";
inline constexpr const char kTimeOut[] = "time out\xEF\xBC\x81"; // full-width U+FF01

inline constexpr const char kConnecting[] = "Connecting...";
inline constexpr const char kErase[] = "Erase...";
inline constexpr const char kEraseDone[] = "Erase Done.";
inline constexpr const char kPrograming[] = "Programing...";
inline constexpr const char kProgramingDone[] = "Programing Done.";
inline constexpr const char kConnectionFailed[] = "Connection failed";
inline constexpr const char kEraseFailed[] = "Erase failed";
inline constexpr const char kProgramFailed[] = "Program failed";

// First line of the box that refuses a firmware file before anything is sent.
inline constexpr const char kFileRefused[] = "Firmware file refused!";
// First line of the box that ends a job whose file failed while it was being sent.
inline constexpr const char kFileFailed[] = "Firmware file read failed!";

inline constexpr const char kAppTitle[] = UPDATER_APP_TITLE; // "Updater V10.14"

} // namespace updater::texts
