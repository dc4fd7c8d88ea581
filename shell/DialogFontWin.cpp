#include "DialogUnits.h"

#include <QApplication>
#include <QFontInfo>

namespace {

// Whether the system draws the font with the face it names.
bool hasOwnFace(const QFont &font)
{
    return QFontInfo(font).family().compare(font.family(), Qt::CaseInsensitive) == 0;
}

} // namespace

// The system's message font, the one its dialogs use: Qt's font for message boxes.
// A system that names a face it cannot draw ("MS Shell Dlg" or Tahoma under wine
// without its own fonts) would have Qt draw the first face it knows, a serif one
// with taller lines: a sans-serif face that is there takes its place.
QFont dialogFont(int pointSize)
{
    QFont font = QApplication::font("QMessageBox");
    font.setPointSize(pointSize);
    if (hasOwnFace(font))
        return font;
    for (const char *face : {"Tahoma", "Segoe UI", "Microsoft Sans Serif", "Arial", "DejaVu Sans",
                             "Liberation Sans", "Noto Sans"}) {
        QFont other = font;
        other.setFamily(QLatin1String(face));
        if (hasOwnFace(other))
            return other;
    }
    return font;
}
