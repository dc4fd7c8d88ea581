#pragma once

#include <QString>

#include <chrono>
#include <string>

namespace updater::cli {

// "2024-05-01T12:00:03.250Z": a time as reports and summaries write it.
QString isoTime(std::chrono::system_clock::time_point time);

// Writes text into a temporary file beside path, flushes it to the disk and
// renames it into place: a crash or a power cut leaves the file before or the
// file after, never half of one. Returns "" or why it failed.
std::string writeWhole(const std::string &path, const std::string &text);

} // namespace updater::cli
