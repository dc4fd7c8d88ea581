#include "DialogUnits.h"

#include "Templates.h"

#include <QFontInfo>
#include <QFontMetrics>

namespace {

// Rounds units x base / divisor to the nearest pixel.
int scale(int units, int base, int divisor)
{
    const long long product = static_cast<long long>(units) * base;
    const long long half = divisor / 2;
    return static_cast<int>(product >= 0 ? (product + half) / divisor
                                         : -((-product + half) / divisor));
}

} // namespace

DialogUnits::DialogUnits(const QFont &font)
{
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // Average width of the 52 letters, rounded to the nearest pixel.
    baseX_ = qMax(1, (letters / 26 + 1) / 2);
    baseY_ = qMax(1, metrics.height());
}

int DialogUnits::toPixelsX(int units) const
{
    return scale(units, baseX_, 4);
}

int DialogUnits::toPixelsY(int units) const
{
    return scale(units, baseY_, 8);
}

QRect DialogUnits::toPixels(int x, int y, int w, int h) const
{
    return QRect(toPixelsX(x), toPixelsY(y), toPixelsX(w), toPixelsY(h));
}

QSize DialogUnits::toPixels(int w, int h) const
{
    return QSize(toPixelsX(w), toPixelsY(h));
}

QFont fittingFont(const QFont &font, const updater::res::DialogTemplate &t, const QSize &area)
{
    constexpr int kSmallestPixels = 8; // still legible
    constexpr int kNarrowest = 50;     // percent of the face's own width
    const auto fits = [&](const QFont &f) {
        const QSize need = DialogUnits(f).toPixels(t.w, t.h);
        return need.width() <= area.width() && need.height() <= area.height();
    };
    int pixels = QFontInfo(font).pixelSize();
    if (pixels <= 0)
        return font; // no font engine to measure with (a platform without fonts)
    QFont fitted = font;
    // Smaller first; a face too wide even then is drawn narrower.
    while (!fits(fitted) && pixels > kSmallestPixels)
        fitted.setPixelSize(--pixels);
    for (int stretch = fitted.stretch() > 0 ? fitted.stretch() : 100;
         !fits(fitted) && stretch > kNarrowest;)
        fitted.setStretch(stretch -= 5);
    return fitted;
}
