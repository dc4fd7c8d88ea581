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
#include <QTimer>

namespace res = updater::res;

namespace {
// Where the settings are kept: the toolkit's, and the folder File > Open last used.
constexpr const char kSettingsOrganisation[] = "应用程序向导生成的本地应用程序";
} // namespace

CUpdaterApp::CUpdaterApp() = default;

CUpdaterApp::~CUpdaterApp()
{
    // The view shuts down its threads before the document goes.
    frame_.reset();
}

bool CUpdaterApp::InitInstance(bool showWindow, const QStringList &arguments)
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
    // A firmware file named on the command line (a file dropped on the program's
    // icon) opens once the window is up, as File > Open opens it.
    for (const QString &argument : arguments) {
        if (argument.startsWith(QLatin1Char('-')))
            continue;
        QTimer::singleShot(0, frame_->view(),
                           [view = frame_->view(), argument] { view->openNamedFile(argument); });
        break;
    }
    return true;
}

void CUpdaterApp::OnAppAbout()
{
    CAboutDlg dialog(frame_.get());
    dialog.exec();
}
