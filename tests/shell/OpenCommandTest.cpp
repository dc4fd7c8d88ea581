// File > Open: the firmware type dialog, then the file dialog, and what the lines
// show afterwards on each path.
#include "ShellRig.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
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

// The full path typed into the file dialog is the file taken, also beside a file
// that its first letters name, and also when the keys come to a dialog that the
// window system has not given the keyboard (a tool typing into it); a name
// without an extension still gets "hex".
TEST(OpenCommand, ATypedPathOpensThatFile)
{
    QTemporaryDir dir;
    shelltest::writeFile(dir.path(), "a.hex", shelltest::hexImage(1));
    const QString arm = shelltest::writeFile(dir.path(), "arm.bin", shelltest::binaryImage(10));
    const QString hex = QDir(dir.path()).filePath(QStringLiteral("a.hex"));
    const struct
    {
        QString typed;
        bool focused;
        QString opened;
    } rows[] = {{arm, true, arm},
                {arm, false, arm},
                {QDir(dir.path()).filePath(QStringLiteral("a")), true, hex}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.typed.toStdString() + (row.focused ? "" : " without focus"));
        WindowRig rig;
        rig.modals.expect([](QWidget *w) { chooseType(w, "armRadio"); });
        rig.modals.expect([&](QWidget *w) {
            auto *name = w->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            qobject_cast<QFileDialog *>(w)->setDirectory(dir.path()); // the folder last used
            QTest::qWait(300);
            if (row.focused)
                name->setFocus();
            else
                name->clearFocus();
            QTest::keyClicks(name, row.typed, Qt::NoModifier, 20);
            QTest::qWait(200);
            if (QAbstractItemView *popup = name->completer()->popup(); popup->isVisible())
                popup->hide();
            if (row.focused) {
                QTest::keyClick(name, Qt::Key_Return);
                return;
            }
            QPushButton *open = w->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))
                                    ->button(QDialogButtonBox::Open);
            if (open->isEnabled())
                open->click();
            else // nothing to click: the test fails on the dialog left open
                ADD_FAILURE() << "Open is disabled; the name field reads "
                              << name->text().toStdString();
        });
        rig.command(57601);
        EXPECT_EQ(rig.view->firmwarePath(), row.opened);
        EXPECT_TRUE(rig.modals.unexpected().isEmpty());
    }
}

// The file dialog starts in the folder of the last file chosen, also after the
// program was started again; the first time in the documents folder.
TEST(OpenCommand, TheFileDialogStartsInTheLastFolderUsedElseTheDocumentsFolder)
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    ASSERT_TRUE(QDir().mkpath(documents));
    QTemporaryDir dir;
    const QString path = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(10));
    QStringList started;
    for (int run = 0; run < 2; ++run) {
        WindowRig rig;
        rig.modals.expect([](QWidget *w) { chooseType(w, "armRadio"); });
        rig.modals.expect([&](QWidget *w) {
            started << qobject_cast<QFileDialog *>(w)->directory().absolutePath();
            shelltest::typeFileName(w, path);
            QMetaObject::invokeMethod(w, "accept");
        });
        rig.command(57601);
        EXPECT_EQ(rig.view->firmwarePath(), path);
    }
    EXPECT_EQ(started,
              (QStringList{QDir(documents).absolutePath(), QDir(dir.path()).absolutePath()}));
}

// A firmware file named on the command line (or dropped on the program's icon)
// opens as File > Open does: the type is asked, the file taken.
TEST(OpenCommand, AFileOnTheCommandLineAsksTheTypeAndOpensIt)
{
    QTemporaryDir dir;
    const QString path = shelltest::writeFile(dir.path(), "lcd.bin", shelltest::binaryImage(10));
    const QString missing = dir.filePath(QStringLiteral("gone.hex"));
    {
        WindowRig rig({path}, [](QWidget *w) { chooseType(w, "armRadio"); });
        EXPECT_TRUE(WindowRig::waitFor([&] { return rig.view->firmwarePath() == path; }, 5000));
        EXPECT_EQ(rig.view->firmwareType(), 1);
        EXPECT_EQ(rig.view->lineText(1002), QStringLiteral("File:  ") + path);
        EXPECT_TRUE(rig.modals.unexpected().isEmpty());
    }
    shelltest::SeenBox box;
    WindowRig rig({missing}, [&](QWidget *w) {
        box = shelltest::readBox(w);
        QMetaObject::invokeMethod(w, "accept");
    });
    EXPECT_TRUE(WindowRig::waitFor([&] { return !box.text.isEmpty(); }, 5000));
    EXPECT_EQ(box.text, missing + QStringLiteral(": no such file"));
    EXPECT_EQ(rig.view->firmwarePath(), QString());
}
