// The main window as the user finds it: title, size, menus, toolbar, status bar,
// accelerators and the commands' enabling.
#include "ShellRig.h"

#include "Artwork.h"
#include "Controls.h"
#include "FileDownCom.h"
#include "SimPeers.h"

#include <QAction>
#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSizeGrip>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>

#include <gtest/gtest.h>

using shelltest::SeenBox;
using shelltest::WindowRig;

namespace {

// CRC-32 as zlib computes it, bit by bit.
QString crc32Text(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFF;
    for (char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return QStringLiteral("%1").arg(~crc, 8, 16, QLatin1Char('0')).toUpper();
}

QStringList menuTitles(QMenuBar *bar)
{
    QStringList titles;
    for (QAction *action : bar->actions())
        titles << action->text();
    return titles;
}

// (text, command ID, prompt) of the items of a menu, in order.
QStringList menuItems(QMenu *menu)
{
    QStringList items;
    for (QAction *action : menu->actions())
        items << QStringLiteral("%1|%2|%3")
                     .arg(action->text())
                     .arg(action->data().toInt())
                     .arg(action->statusTip());
    return items;
}

} // namespace

TEST(MainWindow, OpensAt407By262WithItsTitleAndNoMaximiseOrResizing)
{
    WindowRig rig;
    EXPECT_EQ(rig.frame->windowTitle(), QStringLiteral("Zerant Updater"));
    EXPECT_EQ(rig.frame->frameGeometry().size(), QSize(407, 262));
    EXPECT_EQ(rig.frame->minimumSize(), rig.frame->maximumSize());
    const Qt::WindowFlags flags = rig.frame->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    rig.frame->showMinimized();
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.frame->isMinimized(); }, 2000));
}

TEST(MainWindow, TitleStaysAfterOpeningAFile)
{
    WindowRig rig;
    rig.modals.expect([](QWidget *w) { QMetaObject::invokeMethod(w, "reject"); });
    rig.command(57601);
    EXPECT_EQ(rig.frame->windowTitle(), QStringLiteral("Zerant Updater"));
}

TEST(MainWindow, MenusListTheirItemsWithCommandIdsAndPrompts)
{
    WindowRig rig;
    QMenuBar *bar = rig.frame->menuBar();
    // Alt+F, Alt+T and Alt+H open them.
    ASSERT_EQ(menuTitles(bar), (QStringList{"&File", "&Tool", "&Help"}));
    EXPECT_EQ(menuItems(bar->actions()[0]->menu()),
              (QStringList{"Open|57601|Open firmware file", "|0|",
                           "Save Support &Log...|32783|Save the log of the last update for the "
                           "service"}));
    EXPECT_EQ(menuItems(bar->actions()[1]->menu()),
              (QStringList{"Set Port|32778|Set COM Port", "DownLoad|32773|Start updating",
                           "&Update DSP and LCD ARM...|32782|Write the DSP firmware, then the LCD "
                           "ARM firmware, in one run",
                           "|0|", "&Stop|32781|Stop the running download"}));
    EXPECT_EQ(menuItems(bar->actions()[2]->menu()),
              (QStringList{"About Updater(&A)...|57664|Direction for use",
                           "Open Log &Folder|32784|Open the folder that keeps the trace of "
                           "every update"}));
}

TEST(MainWindow, HoveringAMenuItemShowsItsPromptAndLeavingShowsReady)
{
    WindowRig rig;
    EXPECT_EQ(rig.frame->statusText(), QStringLiteral("Ready"));
    QAction *setPort = rig.frame->menuAction(32778);
    setPort->showStatusText(rig.frame);
    EXPECT_EQ(rig.frame->statusText(), QStringLiteral("Set COM Port"));
    QStatusTipEvent leave{QString()};
    QApplication::sendEvent(rig.frame, &leave);
    EXPECT_EQ(rig.frame->statusText(), QStringLiteral("Ready"));
}

TEST(MainWindow, ToolbarHasThreeButtonsWithSeparatorsBetweenThem)
{
    WindowRig rig;
    QStringList layout;
    for (QAction *action : rig.frame->toolBar()->actions())
        layout << (action->isSeparator() ? QStringLiteral("|") : action->data().toString());
    EXPECT_EQ(layout, (QStringList{"57601", "|", "32778", "|", "32773"}));
    for (int id : {57601, 32778, 32773}) {
        QWidget *button = rig.frame->toolBar()->widgetForAction(rig.frame->toolAction(id));
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->size(), QSize(52, 32)) << id;
    }
    EXPECT_EQ(rig.frame->toolBar()->iconSize(), QSize(45, 25));
}

TEST(MainWindow, HoveringAToolbarButtonShowsItsPromptAndATooltipWithItsKey)
{
    WindowRig rig;
    const std::pair<int, QString> buttons[] = {{57601, "Open firmware file (Ctrl+O)"},
                                               {32778, "Set COM Port"},
                                               {32773, "Start updating (F5)"}};
    for (const auto &[id, tip] : buttons) {
        QWidget *button = rig.frame->toolBar()->widgetForAction(rig.frame->toolAction(id));
        QTest::mouseMove(button, button->rect().center());
        EXPECT_TRUE(WindowRig::waitFor(
            [&] { return rig.frame->statusText() == rig.frame->toolAction(id)->statusTip(); },
            2000));
        QHelpEvent help(QEvent::ToolTip, button->rect().center(),
                        button->mapToGlobal(button->rect().center()));
        QApplication::sendEvent(button, &help);
        EXPECT_TRUE(QToolTip::isVisible()) << id;
        EXPECT_EQ(QToolTip::text(), tip);
        QToolTip::hideText();
    }
    EXPECT_EQ(rig.frame->statusText(), QStringLiteral("Start updating"));
    QTest::mouseMove(rig.view, rig.view->rect().center());
    EXPECT_TRUE(WindowRig::waitFor(
        [&] { return rig.frame->statusText() == QStringLiteral("Ready"); }, 2000));
}

TEST(MainWindow, DisabledToolbarButtonKeepsItsColouredImage)
{
    const QImage strip = updater::res::toolbarStrip();
    EXPECT_EQ(strip.size(), QSize(135, 25));
    WindowRig rig;
    QAction *open = rig.frame->toolAction(57601);
    const QImage normal = open->icon().pixmap(QSize(45, 25), QIcon::Normal).toImage();
    const QImage disabled = open->icon().pixmap(QSize(45, 25), QIcon::Disabled).toImage();
    EXPECT_EQ(normal.convertToFormat(QImage::Format_RGB32),
              disabled.convertToFormat(QImage::Format_RGB32));
    EXPECT_EQ(normal.convertToFormat(QImage::Format_RGB32),
              strip.copy(0, 0, 45, 25).convertToFormat(QImage::Format_RGB32));
    // The three images differ from one another: each command has its own picture.
    EXPECT_NE(strip.copy(0, 0, 45, 25), strip.copy(45, 0, 45, 25));
    EXPECT_NE(strip.copy(45, 0, 45, 25), strip.copy(90, 0, 45, 25));
}

TEST(MainWindow, StatusBarShowsReadyAndThreeLockIndicators)
{
    WindowRig rig;
    EXPECT_EQ(rig.frame->statusText(), QStringLiteral("Ready"));
    for (int id : {59137, 59138, 59139}) {
        auto *pane =
            rig.frame->statusBar()->findChild<QWidget *>(QStringLiteral("indicator%1").arg(id));
        EXPECT_NE(pane, nullptr) << id;
    }
    EXPECT_EQ(rig.frame->findChild<QSizeGrip *>(), nullptr); // the window has a fixed size
}

TEST(MainWindow, OffersCtrlOAndF5ButNotCtrlNCtrlSOrCtrlP)
{
    WindowRig rig;
    ASSERT_NE(rig.frame->accelerator(QStringLiteral("Ctrl+O")), nullptr);
    EXPECT_EQ(rig.frame->accelerator(QStringLiteral("Ctrl+O"))->data().toInt(), 57601);
    ASSERT_NE(rig.frame->accelerator(QStringLiteral("F5")), nullptr);
    EXPECT_EQ(rig.frame->accelerator(QStringLiteral("F5"))->data().toInt(), 32773);
    for (const char *keys : {"Ctrl+N", "Ctrl+S", "Ctrl+P"}) {
        EXPECT_EQ(rig.frame->accelerator(QLatin1String(keys)), nullptr) << keys;
        for (QAction *action : rig.frame->findChildren<QAction *>())
            EXPECT_NE(action->shortcut(), QKeySequence(QLatin1String(keys))) << keys;
    }
}

TEST(MainWindow, CtrlOOpensTheFirmwareTypeDialog)
{
    WindowRig rig;
    QString caption;
    rig.modals.expect([&](QWidget *w) {
        caption = w->windowTitle();
        QMetaObject::invokeMethod(w, "reject");
    });
    rig.frame->activateWindow();
    QTest::keyClick(rig.frame, Qt::Key_O, Qt::ControlModifier);
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.modals.pending() == 0; }, 5000));
    EXPECT_EQ(caption, QStringLiteral("Select Firmware type"));
}

TEST(MainWindow, StartsWithEmptyLinesAndTheProgressBarHidden)
{
    WindowRig rig;
    QApplication::processEvents();
    for (int id : {1002, 1003, 1004})
        EXPECT_EQ(rig.view->lineText(id), QString()) << id;
    EXPECT_FALSE(rig.view->progressBar()->isVisible());
    EXPECT_TRUE(rig.commandsEnabled(true));
    EXPECT_TRUE(rig.view->supervisorRunning());
}

// What the window shows is what DownLoad sends: no New command blanks the file line.
TEST(MainWindow, CtrlNLeavesTheFileLineAndTheFileMenuHasNoNew)
{
    QTemporaryDir dir;
    const QString path = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(8));
    WindowRig rig;
    rig.openFile(1, path);
    ASSERT_EQ(rig.view->lineText(1002), QStringLiteral("File:  ") + path);
    rig.frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(rig.frame));
    QTest::keyClick(rig.frame, Qt::Key_N, Qt::ControlModifier);
    QApplication::processEvents();
    EXPECT_EQ(rig.view->lineText(1002), QStringLiteral("File:  ") + path);
    for (QAction *item : rig.frame->menuBar()->actions()[0]->menu()->actions())
        EXPECT_NE(item->data().toInt(), 57600) << item->text().toStdString();
}

// Keys a technician uses without the mouse: Alt+T opens the Tool menu, F5 is DownLoad.
TEST(MainWindow, AltTOpensTheToolMenuAndF5GivesDownLoad)
{
    WindowRig rig;
    rig.frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(rig.frame));
    QTest::keyClick(rig.frame, Qt::Key_T, Qt::AltModifier);
    EXPECT_TRUE(WindowRig::waitFor(
        [&] {
            return QApplication::activePopupWidget() == rig.frame->menuBar()->actions()[1]->menu();
        },
        2000));
    if (QWidget *popup = QApplication::activePopupWidget())
        popup->close();
    SeenBox box;
    rig.modals.expectBox(&box);
    QTest::keyClick(rig.frame, Qt::Key_F5);
    EXPECT_TRUE(WindowRig::waitFor([&] { return !box.text.isEmpty(); }, 5000));
    EXPECT_EQ(box.text, QStringLiteral("Please set COM Port or IP Address first!"));
}

TEST(MainWindow, AboutShowsVersionStepsAndIconAndIsAlwaysEnabled)
{
    WindowRig rig;
    QStringList texts;
    QString caption;
    QSize iconSize;
    rig.modals.expect([&](QWidget *w) {
        caption = w->windowTitle();
        for (int i = 1; i <= 6; ++i)
            texts << w->findChild<CStaticText *>(QStringLiteral("step%1").arg(i))->text();
        texts << w->findChild<CStaticText *>(QStringLiteral("versionText"))->text();
        iconSize = w->findChild<QLabel *>(QStringLiteral("icon"))->pixmap().size();
        QTest::keyClick(w, Qt::Key_Escape);
    });
    rig.command(57664);
    EXPECT_EQ(caption, QStringLiteral("About Updater"));
    ASSERT_EQ(texts.size(), 7);
    EXPECT_EQ(texts[0], QStringLiteral("Step 1: Connect to the inverter by RS485 cable or WIFI."));
    EXPECT_EQ(texts[4], QStringLiteral("Step 5: Wait until the update finished. "));
    EXPECT_EQ(texts[5], QStringLiteral("Step 6: finished update."));
    EXPECT_EQ(texts[6], QStringLiteral("Version : 10.14"));
    EXPECT_EQ(iconSize, QSize(32, 32));
    EXPECT_TRUE(rig.frame->menuAction(57664)->isEnabled());
}

TEST(MainWindow, DownLoadWithoutALinkAsksForThePortFirst)
{
    WindowRig rig;
    SeenBox box;
    rig.modals.expectBox(&box);
    rig.command(32773);
    EXPECT_EQ(box.text, QStringLiteral("Please set COM Port or IP Address first!"));
    EXPECT_EQ(box.caption, QStringLiteral("Updater V10.14"));
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.parent, rig.frame);
    EXPECT_FALSE(rig.view->progressBar()->isVisible());
    EXPECT_EQ(rig.view->jobView().fields.jobState, -1);
}

TEST(MainWindow, SettingsAreKeptUnderTheWizardOrganisationAndTheApplicationTitle)
{
    WindowRig rig;
    EXPECT_EQ(QCoreApplication::organizationName(),
              QString::fromUtf8("应用程序向导生成的本地应用程序"));
    EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("Updater V10.14"));
    // Nothing is added to the window titles by the window system's title format.
    EXPECT_TRUE(QGuiApplication::applicationDisplayName().isEmpty());
}

// The protocols' estimate may run past 100: the bar shows it as full.
TEST(MainWindow, TheProgressBarShowsAnEstimatePastTheEndAsFull)
{
    WindowRig rig;
    rig.view->progressVisible(true);
    for (const auto &[percent, shown] : {std::pair{40u, 40}, {130u, 100}}) {
        rig.view->progressPos(percent);
        EXPECT_TRUE(
            WindowRig::waitFor([&] { return rig.view->progressBar()->value() == shown; }, 2000))
            << percent << " shown as " << rig.view->progressBar()->value();
    }
}

TEST(MainWindow, FormControlsFitInsideTheViewAtTheirDialogUnitPlaces)
{
    WindowRig rig;
    rig.view->progressBar()->show();
    for (QWidget *control : rig.view->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(rig.view->rect().contains(control->geometry()))
            << control->objectName().toStdString();
}

// Once a file is chosen the status bar says what DownLoad will send, and the
// pane's tooltip keeps it together with the link.
TEST(StatusBar, AfterOpenItShowsWhatWillBeSentOrWhyItWouldBeRefused)
{
    QTemporaryDir dir;
    const QByteArray hex = shelltest::hexImage(512); // 512 records of 16 bytes
    const QByteArray image = shelltest::binaryImage(125600);
    QByteArray damaged = hex;
    damaged[damaged.indexOf("\r\n", damaged.indexOf("\r\n") + 2) - 1] ^= 1; // line 2's checksum
    WindowRig rig;
    rig.openFile(0, shelltest::writeFile(dir.path(), "dsp.hex", hex));
    EXPECT_EQ(rig.frame->statusText(),
              "DSP Firmware, 8 192 bytes in 512 records, CRC-32 " + crc32Text(hex));
    rig.openFile(1, shelltest::writeFile(dir.path(), "lcd.bin", image));
    EXPECT_EQ(rig.frame->statusText(),
              "LCD ARM Firmware, 125 600 bytes, CRC-32 " + crc32Text(image));
    // A prompt covers it only while a menu item is highlighted.
    rig.frame->menuAction(32778)->showStatusText(rig.frame);
    EXPECT_EQ(rig.frame->statusText(), QStringLiteral("Set COM Port"));
    QStatusTipEvent leave{QString()};
    QApplication::sendEvent(rig.frame, &leave);
    EXPECT_EQ(rig.frame->statusText(),
              "LCD ARM Firmware, 125 600 bytes, CRC-32 " + crc32Text(image));
    // Address and start records carry no data: neither bytes nor records.
    const QByteArray withAddresses =
        ":020000040000FA\r\n" +
        shelltest::hexImage(4).replace(":00000001FF", ":0400000500000000F7\r\n:00000001FF");
    rig.openFile(0, shelltest::writeFile(dir.path(), "address.hex", withAddresses));
    EXPECT_EQ(rig.frame->statusText(),
              "DSP Firmware, 64 bytes in 4 records, CRC-32 " + crc32Text(withAddresses));
    rig.openFile(0, shelltest::writeFile(dir.path(), "bad.hex", damaged));
    EXPECT_EQ(rig.frame->statusText(), "DSP Firmware refused: line 2: checksum mismatch");
    rig.openFile(0, shelltest::writeFile(dir.path(), "lcd2.bin", image));
    EXPECT_TRUE(rig.frame->statusText().startsWith("DSP Firmware refused: line 1: "))
        << rig.frame->statusText().toStdString();
}

// After Set Port: the link and its state; a COM port that did not open says why at
// once, from the link's own open error, and again when DownLoad tries it.
TEST(StatusBar, AfterSetPortItShowsTheLinkAndItsStateOrWhyTheComPortDidNotOpen)
{
    QTemporaryDir dir;
    const QByteArray image = shelltest::binaryImage(3000);
    testsupport::TcpSimDevice device;
    shelltest::SimProcess sim({"--pty"});
    qputenv("UPDATER_COM42", "/dev/no-such-port-41");
    qputenv("UPDATER_COM43", sim.device().toLocal8Bit());
    WindowRig rig;
    rig.openFile(1, shelltest::writeFile(dir.path(), "lcd.bin", image));
    ASSERT_TRUE(rig.setPortTcp(device.port()));
    const QString link = "TCP 127.0.0.1:" + QString::number(device.port());
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.frame->statusText() == link + " connected"; }));
    EXPECT_EQ(rig.frame->statusDetails(), "LCD ARM Firmware, 3 000 bytes, CRC-32 " +
                                              crc32Text(image) + "\n" + link + " connected");
    // The earlier link's closing is not told as the new one's state.
    QStringList states;
    QObject::connect(rig.view, &CUpdaterView::statusChanged,
                     [&](const QString &text) { states << text; });
    ASSERT_TRUE(rig.setPortSerial(43));
    EXPECT_EQ(rig.frame->statusText(), "COM43 (" + sim.device() + ") open");
    ASSERT_TRUE(rig.setPortTcp(device.port()));
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.frame->statusText() == link + " connected"; }));
    EXPECT_EQ(states.filter(QStringLiteral(" closed")), QStringList())
        << states.join(" | ").toStdString();
    ASSERT_TRUE(rig.setPortSerial(43));

    EXPECT_FALSE(rig.setPortSerial(42));
    EXPECT_EQ(rig.frame->statusText(),
              "COM42 could not be opened: no such port (/dev/no-such-port-41)");
    CFileDownCom otherProgram(nullptr, nullptr); // holds the port as another program would
    ASSERT_TRUE(otherProgram.OpenSerialDevice(sim.device()));
    EXPECT_FALSE(rig.setPortSerial(43));
    const QString busy =
        "COM43 could not be opened: the port is busy (in use by another program) (" + sim.device() +
        ")";
    EXPECT_EQ(rig.frame->statusText(), busy);
    // DownLoad tries the chosen port again, and says why it still cannot.
    SeenBox box;
    rig.modals.expectBox(&box);
    rig.command(32773);
    EXPECT_TRUE(WindowRig::waitFor([&] { return !box.text.isEmpty(); }, 3000));
    EXPECT_EQ(box.text, busy);
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.commandsEnabled(true); }, 3000));
    EXPECT_EQ(rig.frame->statusText(), busy);
}

// A text wraps at spaces and after path separators, never in or after "(/", in a
// grouped number or between "CRC-32" and its value; what does not fit ends in an
// ellipsis, and the tooltip shows the whole text before its own.
TEST(StaticText, WrapsAtSeparatorsAndElidesWithTheWholeTextInTheTooltip)
{
    const QString path =
        QStringLiteral("COM42 could not be opened: no such port (/dev/serial/by-id/"
                       "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0)");
    const QString summary =
        QStringLiteral("DSP Firmware, 8 192 bytes in 512 records, CRC-32 1A2B3C4D");
    const QString tooLong = path + QStringLiteral(" and more besides, ") + path;
    CStaticText text;
    text.setToolTip(QStringLiteral("the file\nthe link"));
    const int line = text.fontMetrics().lineSpacing();
    const int widths[] = {
        text.fontMetrics().horizontalAdvance(summary.left(summary.indexOf("CRC") + 7)),
        text.fontMetrics().horizontalAdvance(summary.left(summary.indexOf("192") + 1)),
        text.fontMetrics().horizontalAdvance(path.left(path.indexOf("(/") + 1)),
        text.fontMetrics().horizontalAdvance(path.left(path.indexOf("(/") + 3)),
        text.fontMetrics().horizontalAdvance(path.left(path.indexOf("(/") + 2)) + 2};
    for (const int width : widths) {
        text.setFixedSize(width, 8 * line);
        for (const QString &shown : {path, summary}) {
            text.setText(shown);
            const QStringList lines = text.shownLines();
            EXPECT_EQ(lines.join(QString())
                          .remove(QChar(0x200B))
                          .remove(QChar(0x2060))
                          .replace(QChar(0xA0), ' '),
                      shown)
                << width;
            for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
                const QString end =
                    QString(lines[i]).remove(QChar(0x200B)).remove(QChar(0x2060)).trimmed();
                EXPECT_FALSE(end.endsWith('(') || end.endsWith("(/") || end.endsWith("CRC-32") ||
                             end.endsWith(" 8"))
                    << width << ": " << lines.join(" | ").toStdString();
            }
        }
    }
    text.setFixedSize(200, 2 * line);
    text.setText(tooLong);
    const QStringList lines = text.shownLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].endsWith(QChar(0x2026))) << lines[1].toStdString();
    text.show();
    QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), text.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&text, &help);
    EXPECT_EQ(QToolTip::text(), tooLong + QStringLiteral("\n\nthe file\nthe link"));
    QToolTip::hideText();
    text.setText(path.left(10));
    QApplication::sendEvent(&text, &help);
    EXPECT_EQ(QToolTip::text(), QStringLiteral("the file\nthe link"));
    QToolTip::hideText();
}
