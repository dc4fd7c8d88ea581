#pragma once

#include <QIcon>
#include <QImage>

class QPainter;

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

// The application icon: an inverter box with a download arrow. Drawn in a square of
// 32 units, so that every size, and the scalable file of the desktop's icon theme,
// comes from the same drawing.
inline constexpr int kIconUnits = 32;
// The sizes of the icon theme's files and of the window's icon set.
inline constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// Draws the icon into the square (0, 0) to (32, 32) of the painter's coordinates.
void paintApplicationIcon(QPainter &painter);

// The icon as an image of size x size pixels (32 x 32: the About box's picture).
QImage applicationIcon(int size = kIconUnits);

// The icon in every size of kIconSizes: the icon of every window of the program.
QIcon applicationIconSet();

} // namespace updater::res
