// Takes the picture of the main window that the README shows: a DSP update in
// progress over TCP on 127.0.0.1 against a slow simulated inverter.
//   updater_screenshot <output.png>
#include "ShellRig.h"

#include "SimPeers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: updater_screenshot <output.png>\n");
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    // A fixed folder, so that the picture is the same each time it is taken.
    QDir dir(QDir::temp().filePath(QStringLiteral("updater-firmware")));
    dir.mkpath(QStringLiteral("."));
    const QString hexPath =
        shelltest::writeFile(dir.path(), "inverter-dsp.hex", shelltest::hexImage(400));
    testsupport::TcpSimDevice device{testsupport::PeerOptions::slow(10)};

    shelltest::WindowRig rig;
    rig.frame->move(0, 0);
    if (!rig.setPortTcp(device.port())) {
        std::fprintf(stderr, "updater_screenshot: no connection to the scripted device\n");
        return 1;
    }
    rig.openFile(0, hexPath);
    rig.command(32773);
    QProgressBar *bar = rig.view->progressBar();
    if (!shelltest::WindowRig::waitFor([&] { return bar->isVisible() && bar->value() >= 45; },
                                       30000)) {
        std::fprintf(stderr, "updater_screenshot: the update did not get under way\n");
        return 1;
    }
    QApplication::processEvents();
    // The screen's pixels where a window system draws; the widgets' own rendering
    // where there is no screen to read back.
    QPixmap picture;
    if (QScreen *screen = rig.frame->screen()) {
        const QRect area = rig.frame->frameGeometry();
        picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    }
    if (picture.isNull() || QGuiApplication::platformName() == QLatin1String("offscreen"))
        picture = rig.frame->grab();
    if (!picture.save(output, "PNG")) {
        std::fprintf(stderr, "updater_screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %dx%d\n", argv[1], picture.width(), picture.height());
    // The update is still under way: closing asks first.
    rig.modals.expect([](QWidget *w) {
        if (auto *question = qobject_cast<QMessageBox *>(w))
            question->button(QMessageBox::Yes)->click();
    });
    rig.frame->close();
    dir.removeRecursively();
    return 0;
}
