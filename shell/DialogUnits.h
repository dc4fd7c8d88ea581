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

// The font of the templates at the given point size.
QFont dialogFont(int pointSize);
