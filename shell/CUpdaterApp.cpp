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
#include <QWindow>

namespace res = updater::res;

namespace {
// Where the settings are kept: the toolkit's, and the folder File > Open last used.
constexpr const char kSettingsOrganisation[] = "应用程序向导生成的本地应用程序";
// How often, and how many times at most, the start looks whether the window is on
// screen before it opens a file named on the command line.
constexpr int kOnScreenPollMs = 50;
constexpr int kOnScreenPolls = 60;
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
    // icon) opens as File > Open opens it, once the window is on screen: its
    // dialogs open over the window.
    for (const QString &argument : arguments) {
        if (argument.startsWith(QLatin1Char('-')))
            continue;
        auto *wait = new QTimer(frame_.get());
        wait->setInterval(kOnScreenPollMs);
        connect(wait, &QTimer::timeout, frame_.get(),
                [wait, frame = frame_.get(), argument, polls = 0]() mutable {
                    const QWindow *window = frame->windowHandle();
                    if ((window == nullptr || !window->isExposed()) && ++polls < kOnScreenPolls)
                        return;
                    wait->deleteLater();
                    wait->stop();
                    frame->view()->openNamedFile(argument);
                });
        wait->start();
        break;
    }
    return true;
}

void CUpdaterApp::OnAppAbout()
{
    CAboutDlg dialog(frame_.get());
    dialog.exec();
}
