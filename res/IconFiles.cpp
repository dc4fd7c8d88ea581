// updater-icons DIR NAME: writes the application icon for the desktop's icon theme,
// drawn by the same code as the window's icon: DIR/hicolor/<n>x<n>/apps/NAME.png for
// every size, DIR/hicolor/scalable/apps/NAME.svg where the SVG module is there, and
// DIR/updater.ico for the Windows resource file. Run by the build.

#include "Artwork.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>
#include <QPainter>
#ifdef UPDATER_HAVE_SVG
#include <QSvgGenerator>
#endif

#include <cstdio>

namespace res = updater::res;

namespace {

bool save(const QImage &image, const QString &path)
{
    if (!QDir().mkpath(QFileInfo(path).path()) || !image.save(path)) {
        std::fprintf(stderr, "updater-icons: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fputs("usage: updater-icons DIR NAME\n", stderr);
        return 2;
    }
    // Drawing needs the GUI module but no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (const int size : res::kIconSizes) {
        const QString folder = QStringLiteral("/hicolor/%1x%1/apps/").arg(size);
        if (!save(res::applicationIcon(size), dir + folder + name + ".png"))
            return 1;
    }
#ifdef UPDATER_HAVE_SVG
    const QString svgPath = dir + "/hicolor/scalable/apps/" + name + ".svg";
    QDir().mkpath(QFileInfo(svgPath).path());
    QSvgGenerator svg;
    svg.setFileName(svgPath);
    svg.setSize(QSize(res::kIconUnits, res::kIconUnits));
    svg.setViewBox(QRect(0, 0, res::kIconUnits, res::kIconUnits));
    svg.setTitle(QStringLiteral("Updater"));
    QPainter painter;
    if (!painter.begin(&svg)) {
        std::fprintf(stderr, "updater-icons: cannot write %s\n", qPrintable(svgPath));
        return 1;
    }
    res::paintApplicationIcon(painter);
    painter.end();
#endif
    // The executable's icon on Windows: one 32 x 32 image. Only a Windows build
    // needs it, so elsewhere a missing ICO writer is no failure.
    QImageWriter ico(dir + "/updater.ico", "ico");
    if (!ico.write(res::applicationIcon())) {
        std::fprintf(stderr, "updater-icons: cannot write %s/updater.ico: %s\n", qPrintable(dir),
                     qPrintable(ico.errorString()));
#ifdef Q_OS_WIN
        return 1;
#endif
    }
    return 0;
}
