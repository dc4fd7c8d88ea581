#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

// Converts dialog units to pixels through the metrics of a dialog's font, the same
// way for the form and every dialog: a horizontal unit is a quarter of the font's
// average character width, a vertical unit an eighth of its height.
class DialogUnits
{
public:
    explicit DialogUnits(const QFont &font);

    int baseX() const { return baseX_; } // average character width in pixels
    int baseY() const { return baseY_; } // character height in pixels

    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    QRect toPixels(int x, int y, int w, int h) const;
    QSize toPixels(int w, int h) const;

private:
    int baseX_;
    int baseY_;
};

namespace updater::res {
struct DialogTemplate;
} // namespace updater::res

// The font the system's dialogs use, at the templates' point size (one file per
// platform: DialogFontPosix.cpp, DialogFontWin.cpp).
QFont dialogFont(int pointSize);

// font, or a smaller size of it, with which the template's whole area fits into
// area: the form keeps every control inside a window of fixed size whatever font
// the system gives. Never below a legible size: a face too wide even then is drawn
// narrower.
QFont fittingFont(const QFont &font, const updater::res::DialogTemplate &t, const QSize &area);
