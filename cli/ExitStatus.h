#pragma once

// updater-cli's exit statuses; a signal that ends a run gives 128 + its number.
namespace updater::cli {

inline constexpr int kExitSuccess = 0; // every firmware reached every device
inline constexpr int kExitFailed = 1;  // a time-out, a lost link or a file that failed mid-job
inline constexpr int kExitRefused = 2; // usage, or a firmware or fleet file refused: nothing sent
inline constexpr int kExitNoLink = 3;  // the link could not be opened

} // namespace updater::cli
