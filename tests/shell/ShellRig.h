#pragma once

// Drives the real window in tests: starts the application, answers the modal
// dialogs and message boxes as they open, and writes firmware files.
#include "CMainFrame.h"
#include "CUpdaterApp.h"
#include "CUpdaterView.h"
#include "UpdateJob.h"

#include <QByteArray>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

#include <deque>
#include <functional>
#include <memory>
#include <ostream>

// Test failures show texts as text.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace shelltest {

// What a message box showed.
struct SeenBox
{
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QWidget *parent = nullptr;
    int width = 0;
};

// Answers modal windows in the order expected. Each handler runs (as a queued
// call, so it may open further modal windows) when a modal window comes to the
// top; the same window is handed out again only after another one covered it.
// A modal window that nobody expects is closed after a while and remembered.
class ModalAnswerer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(QWidget *)>;

    ModalAnswerer();
    void expect(Handler handler);
    // Expects a message box: records it and presses OK.
    void expectBox(SeenBox *seen);
    // A handler leaves this window open on purpose (it closes it later): it is
    // not closed as unexpected while it is on top.
    void keepOpen(QWidget *window) { kept_ = window; }

    std::size_t pending() const { return pending_.size(); }
    const QStringList &unexpected() const { return unexpected_; }

private:
    void poll();

    QTimer timer_;
    std::deque<Handler> pending_;
    QPointer<QWidget> lastTop_;
    QPointer<QWidget> kept_;
    bool eligible_ = true;
    int unansweredPolls_ = 0;
    QStringList unexpected_;
};

SeenBox readBox(QWidget *widget);

// Types a file name (or a full path) into the name field of an open-file dialog.
void typeFileName(QWidget *fileDialog, const QString &name);

// Takes the URLs the program hands to the desktop (QDesktopServices::openUrl)
// for a scheme, in place of the desktop's own program, while it lives.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    explicit UrlCatcher(const QString &scheme);
    ~UrlCatcher() override;
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls << url; }

private:
    QString scheme_;
};

// The program as the user starts it, with its window shown; arguments: its
// command line after the program's name, and first: the answer to a dialog that
// it opens as it starts.
class WindowRig
{
public:
    explicit WindowRig(const QStringList &arguments = {}, ModalAnswerer::Handler first = {});
    ~WindowRig();

    ModalAnswerer modals;
    CUpdaterApp app;
    CMainFrame *frame = nullptr;
    CUpdaterView *view = nullptr;

    // Gives a command as the menu does.
    void command(int commandId);
    // Tool > Set Port with "TCP/IP", 127.0.0.1 and the given port; waits until the
    // connection is up (for at most waitMs). refusal: the box that says why the
    // connection was refused, expected.
    bool setPortTcp(quint16 port, int waitMs = 10000, SeenBox *refusal = nullptr);
    // Tool > Set Port with "Serial Port" and COM comNumber; true when it opened.
    bool setPortSerial(unsigned comNumber);
    // File > Open with the given type (0 DSP, 1 ARM) and file.
    void openFile(int firmwareType, const QString &path);
    // Runs the event loop until pred holds or timeoutMs has passed.
    static bool waitFor(const std::function<bool()> &pred, int timeoutMs = 10000);
    // True when the three commands that follow the job are all enabled (or all
    // disabled, for false).
    bool commandsEnabled(bool enabled) const;
};

// A program of the tests' own (the simulator, updater-cli) in a process of its own,
// standard output and error in one temporary file (POSIX only). Started with
// fork() and exec(), which ThreadSanitizer follows: QProcess's start goes around
// it, and the tool then reports races on data that its own locks guard in the
// window's threads.
class ChildProcess
{
public:
    ChildProcess(const QString &program, const QStringList &arguments);
    ~ChildProcess() { terminate(); }
    QByteArray output() const;    // everything it printed so far
    bool waitForFinished(int ms); // true once it has ended
    void terminate();             // SIGTERM; then SIGKILL if it is still there after 3 s
    int exitCode() const { return exitCode_; } // -1 until it ended normally

private:
    QTemporaryFile output_;
    qint64 pid_ = -1;
    int exitCode_ = -1;
};

// updater-sim in a process of its own: the independently written simulated
// inverter, serving TCP on a free port of 127.0.0.1 or a pseudo-terminal (--pty).
class SimProcess
{
public:
    explicit SimProcess(const QStringList &arguments);
    bool started() const { return !where_.isEmpty(); }
    quint16 port() const { return where_.section(QLatin1Char(':'), -1).toUShort(); }
    QString device() const { return where_; } // with --pty
    QString output() const { return QString::fromLocal8Bit(process_.output()); }
    void stop() { process_.terminate(); }

private:
    ChildProcess process_;
    QString where_;
};

// An Intel HEX file of `records` data records of 16 bytes each and the end record,
// lines ended by CR LF.
QByteArray hexImage(int records);
// A binary image of `size` bytes with a pattern that differs from block to block.
QByteArray binaryImage(int size);
// Writes data to dir/name and returns the path.
QString writeFile(const QString &dir, const QString &name, const QByteArray &data);

} // namespace shelltest
