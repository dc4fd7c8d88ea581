// The window as built for Windows, run under wine: one DSP update over TCP on
// 127.0.0.1 from the window's own commands to "Download file success!", with the
// device hanging up while the box is open, as an inverter restarts after a job.
#include "ShellRig.h"

#include "FileDownCom.h"
#include "SimPeers.h"

#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using shelltest::WindowRig;

TEST(WindowUnderWine, DspUpdateOverTcpEndsInSuccessAndOutlivesTheDeviceHangingUp)
{
    QTemporaryDir dir;
    const QByteArray hex = shelltest::hexImage(120);
    WindowRig rig;
    testsupport::TcpSimDevice device; // hangs up 300 ms after its last acknowledgement
    ASSERT_TRUE(rig.setPortTcp(device.port()));
    rig.openFile(0, shelltest::writeFile(dir.path(), "dsp.hex", hex));

    shelltest::SeenBox box;
    bool hungUpUnderTheBox = false;
    rig.modals.expect([&](QWidget *w) {
        box = shelltest::readBox(w);
        hungUpUnderTheBox = WindowRig::waitFor([&] { return !rig.view->linkOpen(); }, 3000);
        qobject_cast<QMessageBox *>(w)->button(QMessageBox::Ok)->click();
    });
    rig.command(32773);
    ASSERT_TRUE(WindowRig::waitFor([&] { return !box.text.isEmpty(); }, 30000));
    EXPECT_EQ(box.text, QStringLiteral("Download file success!"));
    EXPECT_TRUE(hungUpUnderTheBox);
    EXPECT_TRUE(WindowRig::waitFor([&] { return rig.commandsEnabled(true); }));
    EXPECT_EQ(rig.frame->statusText(),
              "TCP 127.0.0.1:" + QString::number(device.port()) + " closed");
    EXPECT_EQ(rig.view->lineText(1004), QStringLiteral("Programing Done."));
    EXPECT_FALSE(rig.view->progressBar()->isVisible());
    EXPECT_TRUE(device.verdict().passed()) << updater::sim::formatVerdict(device.verdict());
    const auto records = device.verdict().image; // the records as the device took them
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(records.data()), qsizetype(records.size())),
              hex);
    EXPECT_TRUE(rig.modals.unexpected().isEmpty())
        << rig.modals.unexpected().join('\n').toStdString();
}
