// File > Open: the firmware type dialog, then the file dialog, and what the lines
// show afterwards on each path.
#include "ShellRig.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

using shelltest::WindowRig;

namespace {

void chooseType(QWidget *typeDialog, const char *radioName)
{
    typeDialog->findChild<QRadioButton *>(QLatin1String(radioName))->click();
    typeDialog->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
}

} // namespace

TEST(OpenCommand, ChoosingArmAndAFileSetsTypePathAndTheThreeLines)
{
    QTemporaryDir dir;
    const QString path = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(10));
    WindowRig rig;
    rig.openFile(1, path);
    EXPECT_EQ(rig.view->firmwareType(), 1);
    EXPECT_EQ(rig.view->firmwarePath(), path);
    EXPECT_EQ(rig.view->lineText(1002), QStringLiteral("File:  ") + path);
    EXPECT_EQ(rig.view->lineText(1003), QStringLiteral(" "));
    EXPECT_EQ(rig.view->lineText(1004), QStringLiteral(" "));
    EXPECT_EQ(rig.view->firmwareType(), 1);
}

TEST(OpenCommand, TypeDialogReopensOnDspFirmwareWhateverWasChosenBefore)
{
    QTemporaryDir dir;
    const QString path = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(10));
    WindowRig rig;
    rig.openFile(1, path);
    bool dspChecked = false;
    bool armChecked = true;
    QString caption;
    rig.modals.expect([&](QWidget *w) {
        caption = w->windowTitle();
        dspChecked = w->findChild<QRadioButton *>(QStringLiteral("dspRadio"))->isChecked();
        armChecked = w->findChild<QRadioButton *>(QStringLiteral("armRadio"))->isChecked();
        QMetaObject::invokeMethod(w, "reject");
    });
    rig.command(57601);
    EXPECT_EQ(caption, QStringLiteral("Select Firmware type"));
    EXPECT_TRUE(dspChecked);
    EXPECT_FALSE(armChecked);
}

TEST(OpenCommandCancel, CancellingTheTypeDialogChangesNothing)
{
    QTemporaryDir dir;
    const QString path = shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(1));
    WindowRig rig;
    rig.openFile(0, path);
    rig.view->setLineText(updater::StatusLine::Connect,
                          "Erase Done."); // as a finished job leaves it
    rig.view->setLineText(updater::StatusLine::Program, "Programing Done.");
    WindowRig::waitFor([&] { return rig.view->lineText(1004) == "Programing Done."; });
    rig.modals.expect([](QWidget *w) {
        w->findChild<QRadioButton *>(QStringLiteral("armRadio"))->click();
        w->findChild<QPushButton *>(QStringLiteral("cancelButton"))->click();
    });
    rig.command(57601);
    EXPECT_EQ(rig.view->firmwareType(), 0);
    EXPECT_EQ(rig.view->firmwarePath(), path);
    EXPECT_EQ(rig.view->lineText(1002), QStringLiteral("File:  ") + path);
    EXPECT_EQ(rig.view->lineText(1003), QStringLiteral("Erase Done."));
    EXPECT_EQ(rig.view->lineText(1004), QStringLiteral("Programing Done."));
}

TEST(OpenCommandCancel, CancellingTheFileDialogTakesTheTypeAndKeepsTheOldPath)
{
    QTemporaryDir dir;
    const QString path = shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(1));
    WindowRig rig;
    rig.openFile(0, path);
    rig.modals.expect([](QWidget *w) { chooseType(w, "armRadio"); });
    rig.modals.expect([](QWidget *w) { qobject_cast<QFileDialog *>(w)->reject(); });
    rig.command(57601);
    EXPECT_EQ(rig.view->firmwareType(), 1);
    EXPECT_EQ(rig.view->firmwarePath(), path);
    EXPECT_EQ(rig.view->lineText(1002), QStringLiteral("File:  ") + path);
    EXPECT_EQ(rig.view->lineText(1003), QStringLiteral(" "));
    EXPECT_EQ(rig.view->lineText(1004), QStringLiteral(" "));
}

TEST(OpenCommandCancel, CancellingTheFirstFileDialogLeavesTheFileLineWithThePrefixOnly)
{
    WindowRig rig;
    rig.modals.expect([](QWidget *w) { chooseType(w, "dspRadio"); });
    rig.modals.expect([](QWidget *w) { qobject_cast<QFileDialog *>(w)->reject(); });
    rig.command(57601);
    EXPECT_EQ(rig.view->lineText(1002), QStringLiteral("File:  "));
    EXPECT_EQ(rig.view->firmwarePath(), QString());
}

TEST(OpenCommand, FileDialogListsEveryFileAndAddsHexToANameWithoutExtension)
{
    QTemporaryDir dir;
    shelltest::writeFile(dir.path(), "fw.hex", shelltest::hexImage(1));
    shelltest::writeFile(dir.path(), "readme.txt", "x");
    WindowRig rig;
    QString suffix;
    QStringList filters;
    rig.modals.expect([](QWidget *w) { chooseType(w, "dspRadio"); });
    rig.modals.expect([&](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        suffix = dialog->defaultSuffix();
        filters = dialog->nameFilters();
        shelltest::typeFileName(dialog, QDir(dir.path()).filePath(QStringLiteral("fw")));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    rig.command(57601);
    EXPECT_EQ(suffix, QStringLiteral("hex"));
    EXPECT_TRUE(filters.isEmpty() || filters == QStringList{QStringLiteral("All Files (*)")})
        << filters.join(';').toStdString();
    EXPECT_EQ(rig.view->firmwarePath(), QDir(dir.path()).filePath(QStringLiteral("fw.hex")));
}

// A firmware file dropped on the window opens as File > Open would: the type is
// asked, and the dropped file takes the place of the file dialog. Only one local
// file is taken.
TEST(OpenCommand, AFileDroppedOnTheWindowAsksTheTypeAndOpensIt)
{
    QTemporaryDir dir;
    const QString path = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(10));
    const QString other = shelltest::writeFile(dir.path(), "dsp.hex", shelltest::hexImage(1));
    WindowRig rig;
    const QPoint at = rig.frame->rect().center();
    const auto accepts = [&](const QList<QUrl> &urls) {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(rig.frame, &enter);
        return enter.isAccepted();
    };
    EXPECT_FALSE(accepts({QUrl::fromLocalFile(path), QUrl::fromLocalFile(other)}));
    EXPECT_FALSE(accepts({QUrl::fromLocalFile(dir.path())}));
    EXPECT_FALSE(accepts({QUrl(QStringLiteral("https://example.com/lcd.bin"))}));
    ASSERT_TRUE(accepts({QUrl::fromLocalFile(path)}));

    bool armPreset = true;
    rig.modals.expect([&](QWidget *w) {
        armPreset = w->findChild<QRadioButton *>(QStringLiteral("armRadio"))->isChecked();
        chooseType(w, "armRadio");
    });
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path)});
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(rig.frame, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.view->firmwarePath() == path; }, 5000));
    EXPECT_FALSE(armPreset); // the type dialog opens on DSP Firmware, as for File > Open
    EXPECT_EQ(rig.view->firmwareType(), 1);
    EXPECT_EQ(rig.view->lineText(1002), QStringLiteral("File:  ") + path);
    EXPECT_EQ(rig.view->firmwarePath(), path);
    EXPECT_TRUE(rig.modals.unexpected().isEmpty());
}
