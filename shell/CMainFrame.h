#pragma once

#include <QMainWindow>
#include <QSize>

#include <array>

class CStaticText;
class CUpdaterView;
class QAction;
class QLabel;
class QTimer;
class QToolBar;

// The main window: fixed outer size 407 x 262, title "Zerant Updater", menu,
// toolbar, the view as its form, and a status bar with the lock indicators. A
// firmware file dropped on it opens as File > Open would.
class CMainFrame : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr QSize kOuterSize{407, 262};
    static constexpr QSize kToolButtonSize{52, 32}; // image size plus 7 each way

    explicit CMainFrame(QWidget *parent = nullptr);
    ~CMainFrame() override;

    CUpdaterView *view() const { return view_; }
    QToolBar *toolBar() const { return toolBar_; }

    // The menu item or toolbar button of a command, by command ID (nullptr if none).
    QAction *menuAction(int commandId) const;
    QAction *toolAction(int commandId) const;
    // The accelerator of a key sequence such as "Ctrl+O", or nullptr.
    QAction *accelerator(const QString &keys) const;

    // The text of the message pane: the prompt shown, or else the view's state
    // (what will be sent, the link, the job's progress), or "Ready".
    QString statusText() const;
    // The message pane's tooltip: the file and the link, one line each.
    QString statusDetails() const;
    // The text of the three lock indicators; empty while the lock is off.
    QString indicatorText(int indicatorId) const;

signals:
    void aboutRequested();

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void createMenus();
    void createToolBar();
    void createStatusBar();
    void createAccelerators();
    void enableCommands(bool enabled);
    // tip is the prompt of a command that is disabled.
    bool disabledPrompt(const QString &tip) const;
    void showState(const QString &text, const QString &details);
    void updateIndicators();
    void fitOuterSize();

    CUpdaterView *view_;
    QToolBar *toolBar_ = nullptr;
    CStaticText *readyPane_ = nullptr;
    std::array<QLabel *, 3> indicators_{};
    QTimer *indicatorTimer_ = nullptr;
    QList<QAction *> menuActions_;
    QAction *stop_ = nullptr; // enabled while the other commands are not
    QList<QAction *> toolActions_;
    QList<QAction *> accelerators_;
};
