#include "CUpdaterApp.h"

#include "Artwork.h"
#include "CMainFrame.h"
#include "CUpdaterDoc.h"
#include "CUpdaterView.h"
#include "Dialogs.h"
#include "Strings.h"
#include "Texts.h"
#include "UpdaterVersion.h"

#include <QApplication>
#include <QIcon>

namespace res = updater::res;

namespace {
// Where the settings of the toolkit are kept; the program stores nothing of its own.
constexpr const char kSettingsOrganisation[] = "应用程序向导生成的本地应用程序";
} // namespace

CUpdaterApp::CUpdaterApp() = default;

CUpdaterApp::~CUpdaterApp()
{
    // The view shuts down its threads before the document goes.
    frame_.reset();
}

bool CUpdaterApp::InitInstance(bool showWindow)
{
    QCoreApplication::setOrganizationName(QString::fromUtf8(kSettingsOrganisation));
    QCoreApplication::setApplicationName(QString::fromUtf8(updater::texts::kAppTitle));
    QApplication::setApplicationDisplayName(QString());
    // Every window's icon; the desktop entry of that name shows the same picture.
    QApplication::setWindowIcon(res::applicationIconSet());
    QGuiApplication::setDesktopFileName(QStringLiteral(UPDATER_APP_ID));

    document_ = std::make_unique<CUpdaterDoc>();
    frame_ = std::make_unique<CMainFrame>();
    connect(frame_.get(), &CMainFrame::aboutRequested, this, &CUpdaterApp::OnAppAbout);
    frame_->view()->OnInitialUpdate();
    if (showWindow)
        frame_->show();
    return true;
}

void CUpdaterApp::OnAppAbout()
{
    CAboutDlg dialog(frame_.get());
    dialog.exec();
}
