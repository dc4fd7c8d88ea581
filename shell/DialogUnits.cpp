#include "DialogUnits.h"

#include <QApplication>
#include <QFontDatabase>
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

QFont dialogFont(int pointSize)
{
#if defined(Q_OS_WIN)
    QFont font(QStringLiteral("MS Shell Dlg"));
#else
    // Its Latin letters have the metrics of the Windows dialog font (6 x 13 pixels
    // at 8 points, 96 dpi), so the templates come out at their intended size, and
    // it carries the glyphs of the Chinese messages.
    QFont font = QFontDatabase::hasFamily(QStringLiteral("WenQuanYi Micro Hei"))
                     ? QFont(QStringLiteral("WenQuanYi Micro Hei"))
                     : QApplication::font();
#endif
    font.setPointSize(pointSize);
    return font;
}
