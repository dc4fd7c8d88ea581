// The Set Port dialog: presets, and the checks of its fields when OK is pressed.
#include "ShellRig.h"

#include "Controls.h"
#include "Dialogs.h"
#include "FileDownCom.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

using shelltest::SeenBox;
using shelltest::WindowRig;

namespace {

QLineEdit *edit(QWidget *dialog, const char *name)
{
    return dialog->findChild<QLineEdit *>(QLatin1String(name));
}

QRadioButton *radio(QWidget *dialog, const char *name)
{
    return dialog->findChild<QRadioButton *>(QLatin1String(name));
}

void clickOk(QWidget *dialog)
{
    dialog->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
}

struct Presets
{
    QString com;
    bool serial = false;
    bool tcp = false;
    quint32 ip = 0;
    QString port;
};

Presets readPresets(QWidget *dialog)
{
    return {edit(dialog, "comEdit")->text(), radio(dialog, "serialRadio")->isChecked(),
            radio(dialog, "tcpRadio")->isChecked(),
            dialog->findChild<CIpAddressCtrl *>(QStringLiteral("ipAddress"))->address(),
            edit(dialog, "portEdit")->text()};
}

// What the user saw when OK was refused, and where the dialog put the focus.
struct Refusal
{
    SeenBox box;
    QString focusName;
    bool allSelected = false;
    bool stayedOpen = false;
};

// Opens Set Port from the menu, fills it in, presses OK, answers the message and
// cancels the dialog.
Refusal refuse(WindowRig &rig, const QString &com, const QString &port, bool tcp)
{
    Refusal r;
    rig.modals.expect([&](QWidget *w) {
        radio(w, tcp ? "tcpRadio" : "serialRadio")->click();
        edit(w, "comEdit")->setText(com);
        edit(w, "portEdit")->setText(port);
        clickOk(w);
    });
    rig.modals.expectBox(&r.box);
    rig.modals.expect([&](QWidget *w) {
        r.stayedOpen = w->isVisible();
        auto *focus = qobject_cast<QLineEdit *>(w->focusWidget());
        r.focusName = focus ? focus->objectName() : QString();
        r.allSelected = focus && focus->selectedText() == focus->text();
        QMetaObject::invokeMethod(w, "reject");
    });
    rig.command(32778);
    return r;
}

// Runs a Set Port dialog of its own and presses OK; returns whether it closed.
bool acceptDirectly(CComSelDlg &dialog, const QString &com, const QString &port,
                    shelltest::ModalAnswerer &modals)
{
    modals.expect([&](QWidget *w) {
        edit(w, "comEdit")->setText(com);
        edit(w, "portEdit")->setText(port);
        clickOk(w);
    });
    return dialog.exec() == QDialog::Accepted;
}

const QString kRangeMessage = QString::fromUtf8("请输入一个在 1 和 99 之间的整数。");
const QString kPositiveMessage = QString::fromUtf8("请输入一个正整数。");
const QString kIntegerMessage = QString::fromUtf8("请输入一个整数。");

} // namespace

TEST(SetPortDialog, OpensWithThePresetsEveryTimeWhateverWasEnteredBefore)
{
    WindowRig rig;
    Presets first;
    Presets second;
    QString caption;
    rig.modals.expect([&](QWidget *w) {
        first = readPresets(w);
        caption = w->windowTitle();
        radio(w, "tcpRadio")->click();
        edit(w, "comEdit")->setText(QStringLiteral("42"));
        edit(w, "portEdit")->setText(QStringLiteral("502"));
        w->findChild<QPushButton *>(QStringLiteral("cancelButton"))->click();
    });
    rig.command(32778);
    rig.modals.expect([&](QWidget *w) {
        second = readPresets(w);
        QMetaObject::invokeMethod(w, "reject");
    });
    rig.command(32778);
    EXPECT_EQ(caption, QStringLiteral("Set Port"));
    for (const Presets &p : {first, second}) {
        EXPECT_EQ(p.com, QStringLiteral("1"));
        EXPECT_TRUE(p.serial);
        EXPECT_FALSE(p.tcp);
        EXPECT_EQ(p.ip, 0x0A0A64FEu); // 10.10.100.254
        EXPECT_EQ(p.port, QStringLiteral("8899"));
    }
    EXPECT_FALSE(rig.view->linkOpen()); // Cancel opened nothing
}

TEST(SetPortDialogRefusals, ComZeroAndComHundredGiveTheRangeMessageWith1And99)
{
    WindowRig rig;
    for (const QString &com : {QStringLiteral("0"), QStringLiteral("100")}) {
        const Refusal r = refuse(rig, com, QStringLiteral("8899"), false);
        EXPECT_EQ(r.box.text, kRangeMessage) << com.toStdString();
        EXPECT_EQ(r.box.caption, QStringLiteral("Updater V10.14"));
        EXPECT_EQ(r.box.icon, QMessageBox::Warning);
        EXPECT_TRUE(r.stayedOpen);
        EXPECT_EQ(r.focusName, QStringLiteral("comEdit"));
        EXPECT_TRUE(r.allSelected);
    }
}

TEST(SetPortDialogRefusals, MinusOneReadsAsAHugeNumberAndGivesTheRangeMessage)
{
    WindowRig rig;
    const Refusal r = refuse(rig, QStringLiteral("-1"), QStringLiteral("8899"), false);
    EXPECT_EQ(r.box.text, kRangeMessage);
    EXPECT_EQ(r.focusName, QStringLiteral("comEdit"));
}

TEST(SetPortDialogRefusals, EmptyComOrOneStartingWithALetterAsksForAPositiveInteger)
{
    WindowRig rig;
    for (const QString &com : {QString(), QStringLiteral("a7"), QStringLiteral("  ")}) {
        const Refusal r = refuse(rig, com, QStringLiteral("8899"), false);
        EXPECT_EQ(r.box.text, kPositiveMessage) << com.toStdString();
        EXPECT_EQ(r.focusName, QStringLiteral("comEdit"));
    }
}

TEST(SetPortDialogRefusals, TcpIpWithAnEmptyComIsRefusedToo)
{
    WindowRig rig;
    const Refusal r = refuse(rig, QString(), QStringLiteral("8899"), true);
    EXPECT_EQ(r.box.text, kPositiveMessage);
    EXPECT_EQ(r.focusName, QStringLiteral("comEdit"));
    EXPECT_FALSE(rig.view->linkOpen());
}

TEST(SetPortDialogRefusals, PortOfLettersAsksForAnIntegerWithTheFocusOnThePort)
{
    WindowRig rig;
    const Refusal r = refuse(rig, QStringLiteral("3"), QStringLiteral("abc"), false);
    EXPECT_EQ(r.box.text, kIntegerMessage);
    EXPECT_EQ(r.focusName, QStringLiteral("portEdit"));
    EXPECT_TRUE(r.allSelected);
}

TEST(SetPortDialogReads, ComOf7FollowedByALetterReadsAs7)
{
    WindowRig rig;
    CComSelDlg dialog(rig.frame);
    EXPECT_TRUE(acceptDirectly(dialog, QStringLiteral("7a"), QStringLiteral("8899"), rig.modals));
    EXPECT_EQ(dialog.comPort, 7u);
    EXPECT_EQ(dialog.linkType, 0);
}

TEST(SetPortDialogRefusals, PortOutside1To65535GivesTheRangeMessageWithTheFocusOnThePort)
{
    WindowRig rig;
    for (const QString &port : {QStringLiteral("0"), QStringLiteral("-5"), QStringLiteral("65536"),
                                QStringLiteral("70000")}) {
        const Refusal r = refuse(rig, QStringLiteral("3"), port, true);
        EXPECT_EQ(r.box.text, QString::fromUtf8("请输入一个在 1 和 65535 之间的整数。"))
            << port.toStdString();
        EXPECT_TRUE(r.stayedOpen);
        EXPECT_EQ(r.focusName, QStringLiteral("portEdit"));
        EXPECT_TRUE(r.allSelected);
    }
    EXPECT_FALSE(rig.view->linkOpen());
}

TEST(SetPortDialogReads, PortsFrom1To65535AreReadAsTheCLibraryReadsThem)
{
    WindowRig rig;
    for (const auto &[text, value] :
         {std::pair{QStringLiteral("1"), 1}, std::pair{QStringLiteral("65535"), 65535},
          std::pair{QStringLiteral(" +502x"), 502}}) {
        CComSelDlg dialog(rig.frame);
        EXPECT_TRUE(acceptDirectly(dialog, QStringLiteral("99"), text, rig.modals));
        EXPECT_EQ(dialog.tcpPort, value) << text.toStdString();
        EXPECT_EQ(dialog.comPort, 99u);
    }
}

TEST(SetPortDialogReads, RadioChoiceEnablesAndDisablesNothing)
{
    WindowRig rig;
    CComSelDlg dialog(rig.frame);
    dialog.ipAddress = 0xC0A80A01; // 192.168.10.1
    bool allEnabled = false;
    rig.modals.expect([&](QWidget *w) {
        radio(w, "tcpRadio")->click();
        const bool comEnabled = edit(w, "comEdit")->isEnabled();
        radio(w, "serialRadio")->click();
        allEnabled = comEnabled && edit(w, "portEdit")->isEnabled() &&
                     w->findChild<CIpAddressCtrl *>(QStringLiteral("ipAddress"))->isEnabled();
        radio(w, "tcpRadio")->click();
        clickOk(w);
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(allEnabled);
    EXPECT_EQ(dialog.linkType, 1);
    EXPECT_EQ(dialog.ipAddress, 0xC0A80A01u);
}

TEST(SetPortDialog, TabGoesFromOkToCancelToComToPortToTheAddressAndOkIsTheDefault)
{
    WindowRig rig;
    CComSelDlg dialog(rig.frame);
    QStringList chain;
    bool okIsDefault = false;
    rig.modals.expect([&](QWidget *w) {
        okIsDefault = w->findChild<QPushButton *>(QStringLiteral("okButton"))->isDefault();
        QWidget *focus = w->focusWidget();
        for (int i = 0; i < 5 && focus; ++i) {
            chain << (focus->objectName().startsWith(QStringLiteral("octet"))
                          ? focus->parentWidget()->objectName()
                          : focus->objectName());
            focus = focus->nextInFocusChain();
            while (focus && focus->focusPolicy() != Qt::StrongFocus)
                focus = focus->nextInFocusChain();
        }
        QTest::keyClick(w, Qt::Key_Return); // Enter presses the default button
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(okIsDefault);
    EXPECT_EQ(chain, (QStringList{"okButton", "cancelButton", "comEdit", "portEdit", "ipAddress"}));
}

// The link stays chosen: DownLoad connects again, once it has a file to send.
TEST(SetPortDialog, TcpLinkThatCannotConnectShowsTheLinkErrorBoxAndDownLoadAsksForTheFile)
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    } // nothing listens there any more
    WindowRig rig;
    SeenBox linkError;
    rig.modals.expect([&](QWidget *w) {
        radio(w, "tcpRadio")->click();
        w->findChild<CIpAddressCtrl *>(QStringLiteral("ipAddress"))->setAddress(0x7F000001);
        edit(w, "portEdit")->setText(QString::number(closedPort));
        clickOk(w);
    });
    rig.modals.expectBox(&linkError);
    rig.command(32778);
    ASSERT_TRUE(WindowRig::waitFor([&] { return !linkError.caption.isEmpty(); }, 15000));
    EXPECT_EQ(linkError.caption, QStringLiteral("Application Error"));
    EXPECT_EQ(linkError.icon, QMessageBox::Critical);
    EXPECT_EQ(linkError.parent, rig.frame);
    SeenBox noFile;
    rig.modals.expectBox(&noFile);
    rig.command(32773);
    EXPECT_EQ(noFile.text, QStringLiteral("Please open file first!"));
}

TEST(IpAddressField, BlankOctetsCountAsZero)
{
    CIpAddressCtrl ip;
    ip.setAddress(0xC0A80101); // 192.168.1.1
    EXPECT_EQ(ip.field(0)->text(), QStringLiteral("192"));
    EXPECT_EQ(ip.field(3)->text(), QStringLiteral("1"));
    ip.field(2)->clear();
    EXPECT_EQ(ip.address(), 0xC0A80001u);
}

// Keys typed after a click into the first part of the preset 10.10.100.254;
// '\b' is Backspace.
TEST(IpAddressField, TypedKeysGiveTheAddressThatOkReads)
{
    const struct
    {
        const char *keys;
        quint32 address;
        const char *box;
    } rows[] = {
        {"127.0.0.1", 0x7F000001, nullptr},
        {"192.168.1.10", 0xC0A8010A, nullptr},
        {"10.10.100.254", 0x0A0A64FE, nullptr},
        {"\b.5.6.7.8", 0x05060708, nullptr}, // a '.' in an empty part stays there
        {"300.1.1.1", 0xFF010101,
         "300 is not a valid entry. Please specify a value between 0 and 255."},
        {"1.2.3\b\b\b9", 0x010900FE, nullptr}, // back from the emptied third part
    };
    for (const auto &row : rows) {
        shelltest::ModalAnswerer modals;
        SeenBox box;
        CComSelDlg dialog;
        dialog.ipAddress = 0x0A0A64FE;
        modals.expect([&](QWidget *w) {
            QTest::mouseClick(edit(w, "octet0"), Qt::LeftButton);
            // No widget: each key goes where the keyboard's would, to the focus.
            QTest::keyClicks(static_cast<QWidget *>(nullptr), QLatin1String(row.keys));
            clickOk(w);
        });
        if (row.box)
            modals.expect([&](QWidget *w) {
                box = shelltest::readBox(w);
                qobject_cast<QMessageBox *>(w)->button(QMessageBox::Ok)->click();
                dialog.activateWindow(); // as a window manager does when a box closes
            });
        ASSERT_EQ(dialog.exec(), QDialog::Accepted) << row.keys;
        EXPECT_EQ(dialog.ipAddress, row.address) << row.keys;
        EXPECT_EQ(box.text, QString::fromUtf8(row.box)) << row.keys;
        EXPECT_EQ(box.caption, row.box ? QStringLiteral("Updater V10.14") : QString());
        EXPECT_EQ(modals.pending(), 0u) << row.keys;
    }
}

// 0.0.0.0 reaches the PC itself: a program listening there would take the update.
TEST(SetPort, TheZeroAddressIsRefusedWithABoxNamingItAndNothingConnects)
{
    QTcpServer local;
    ASSERT_TRUE(local.listen(QHostAddress::AnyIPv4, 0));
    WindowRig rig;
    SeenBox box;
    rig.modals.expect([&](QWidget *w) {
        radio(w, "tcpRadio")->click();
        w->findChild<CIpAddressCtrl *>(QStringLiteral("ipAddress"))->setAddress(0);
        edit(w, "portEdit")->setText(QString::number(local.serverPort()));
        clickOk(w);
    });
    rig.modals.expectBox(&box);
    rig.command(32778);
    EXPECT_TRUE(WindowRig::waitFor([&] { return !box.text.isEmpty(); }, 3000));
    EXPECT_TRUE(box.text.startsWith(QStringLiteral("0.0.0.0 is not"))) << box.text.toStdString();
    EXPECT_EQ(box.caption, QStringLiteral("Updater V10.14"));
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    QTest::qWait(300);
    EXPECT_FALSE(local.hasPendingConnections());
    EXPECT_FALSE(rig.view->linkOpen());
}
