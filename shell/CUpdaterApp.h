#pragma once

#include <QObject>
#include <QStringList>

#include <memory>

class CMainFrame;
class CUpdaterDoc;

// The application: starts the program (settings names, document, main window,
// the view's initial update) and handles the command that belongs to no window:
// About. There is no New: a new document would blank the file line while
// DownLoad still sent the file chosen before. Construct it after the QApplication.
class CUpdaterApp : public QObject
{
    Q_OBJECT
public:
    CUpdaterApp();
    ~CUpdaterApp() override;

    // Initialisation of the instance. Returns false when the program must end.
    // showWindow false leaves the main window hidden (tests show it themselves).
    // arguments: the command line after the program's name; a firmware file named
    // there opens as File > Open does, once the window is up.
    bool InitInstance(bool showWindow = true, const QStringList &arguments = {});

    CMainFrame *mainFrame() const { return frame_.get(); }
    CUpdaterDoc *document() const { return document_.get(); }

    // About Updater: the About dialog, modal to the main window.
    void OnAppAbout();

private:
    std::unique_ptr<CUpdaterDoc> document_;
    std::unique_ptr<CMainFrame> frame_;
};
