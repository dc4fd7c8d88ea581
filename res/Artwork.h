#pragma once

#include <QImage>

// The program's pictures, drawn by code so that they need no image files.
namespace updater::res {

inline constexpr int kToolbarImageWidth = 45;
inline constexpr int kToolbarImageHeight = 25;
inline constexpr int kToolbarImageCount = 3;

// The toolbar strip: 135 x 25 pixels, three 45 x 25 images side by side on a light
// green gradient: a blue folder (Open), a serial-cable plug (Set Port) and a blue
// downward arrow (DownLoad).
QImage toolbarStrip();

// Image `index` (0 to 2) cut from the strip.
QImage toolbarImage(int index);

// The 32 x 32 application icon: an inverter box with a download arrow.
QImage applicationIcon();

} // namespace updater::res
