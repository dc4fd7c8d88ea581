#include "DialogUnits.h"

#include <QApplication>
#include <QFontDatabase>

// Its Latin letters have the metrics of the Windows dialog font (6 x 13 pixels at
// 8 points, 96 dpi), so the templates come out at their intended size, and it
// carries the glyphs of the Chinese messages; the package depends on it. Without
// it, the desktop's own font.
QFont dialogFont(int pointSize)
{
    QFont font = QFontDatabase::hasFamily(QStringLiteral("WenQuanYi Micro Hei"))
                     ? QFont(QStringLiteral("WenQuanYi Micro Hei"))
                     : QApplication::font();
    font.setPointSize(pointSize);
    return font;
}
