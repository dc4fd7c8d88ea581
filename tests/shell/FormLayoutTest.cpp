// The form inside the window of fixed size, whatever font the system gives: the
// system's dialog font, one wider and one taller than the templates were drawn
// for. Built into the Linux window tests and, for wine's fonts, the Windows ones.
#include "ShellRig.h"

#include "CMainFrame.h"
#include "CUpdaterView.h"
#include "DialogUnits.h"

#include <QApplication>
#include <QFontInfo>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QToolBar>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using shelltest::WindowRig;

struct FontCase
{
    const char *name;
    const char *family; // "" the system's dialog font
    int pointSize;
    int stretch; // percent
};

class FormLayout : public ::testing::TestWithParam<FontCase>
{
};

TEST_P(FormLayout, KeepsEveryControlInsideTheClientAreaBetweenToolBarAndStatusBar)
{
    const FontCase &c = GetParam();
    WindowRig rig;
    QFont font = *c.family ? QFont(QString::fromLatin1(c.family)) : dialogFont(8);
    font.setPointSize(c.pointSize);
    font.setStretch(c.stretch);
    rig.view->setFormFont(font);
    rig.view->progressBar()->show();
    QApplication::processEvents();

    const QRect client = rig.frame->rect();
    const int top = std::max(rig.frame->menuBar()->geometry().bottom(),
                             rig.frame->toolBar()->geometry().bottom());
    const int bottom = rig.frame->statusBar()->geometry().top();
    EXPECT_EQ(rig.frame->frameGeometry().size(), QSize(407, 262));
    for (QWidget *control : rig.view->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        const QRect placed(control->mapTo(rig.frame, QPoint(0, 0)), control->size());
        const std::string name = control->objectName().toStdString();
        EXPECT_TRUE(client.contains(placed)) << name;
        EXPECT_GT(placed.top(), top) << name << " under the toolbar";
        EXPECT_LT(placed.bottom(), bottom) << name << " under the status bar";
    }
    // Smaller only as far as it has to be, and still legible.
    const int given = QFontInfo(font).pixelSize();
    const int used = QFontInfo(rig.view->font()).pixelSize();
    EXPECT_LE(used, given);
    EXPECT_GE(used, 8);
    // The status lines still hold a line of their text.
    const QFontMetrics metrics(rig.view->font());
    for (const char *line : {"connectLine", "programLine"})
        EXPECT_GE(rig.view->findChild<QWidget *>(QLatin1String(line))->height(), metrics.height())
            << line;
}

INSTANTIATE_TEST_SUITE_P(Fonts, FormLayout,
                         ::testing::Values(FontCase{"SystemDialogFont", "", 8, 100},
                                           FontCase{"WideFallback", "DejaVu Sans", 8, 200},
                                           FontCase{"TallSerifFallback", "DejaVu Serif", 12, 100}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
