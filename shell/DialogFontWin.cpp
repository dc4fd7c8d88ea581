#include "DialogUnits.h"

#include <QApplication>

// Qt's application font on Windows is the system's message font, the one its
// dialogs use. The templates' "MS Shell Dlg" is only an alias that the system
// maps to it: asked for by that name, a system without the mapping (wine) gives
// a serif face with taller lines.
QFont dialogFont(int pointSize)
{
    QFont font = QApplication::font();
    font.setPointSize(pointSize);
    return font;
}
