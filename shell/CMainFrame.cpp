#include "CMainFrame.h"

#include "Artwork.h"
#include "CUpdaterView.h"
#include "Controls.h"
#include "FileDownCom.h"
#include "LockKeys.h"
#include "MessageBox.h"
#include "Strings.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

namespace res = updater::res;

namespace {

constexpr int kIndicatorPollMs = 250;

// keys: the accelerator named in the toolbar button's tooltip, if any.
QAction *commandAction(QObject *parent, int id, const char *text, const char *prompt,
                       const char *keys = nullptr)
{
    auto *action = new QAction(QString::fromUtf8(text), parent);
    action->setObjectName(QStringLiteral("command%1").arg(id));
    action->setData(id);
    action->setStatusTip(QString::fromUtf8(prompt));
    action->setToolTip(keys
                           ? QStringLiteral("%1 (%2)").arg(action->statusTip(), QLatin1String(keys))
                           : action->statusTip());
    action->setIconVisibleInMenu(false);
    return action;
}

// The one local file of a drag, or an empty string when it carries anything else.
QString droppedFile(const QMimeData *mime)
{
    if (mime == nullptr || mime->urls().size() != 1 || !mime->urls().constFirst().isLocalFile())
        return {};
    const QString path = mime->urls().constFirst().toLocalFile();
    return QFileInfo(path).isFile() ? path : QString();
}

// A toolbar image that looks the same on a disabled button.
QIcon toolbarIcon(int index)
{
    const QPixmap image = QPixmap::fromImage(res::toolbarImage(index));
    QIcon icon;
    for (QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled, QIcon::Active, QIcon::Selected})
        icon.addPixmap(image, mode);
    return icon;
}

} // namespace

CMainFrame::CMainFrame(QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      view_(new CUpdaterView(this))
{
    setObjectName(QStringLiteral("mainFrame"));
    setWindowTitle(QString::fromUtf8(res::kWindowTitle));
    setCentralWidget(view_);
    createMenus();
    createToolBar();
    createStatusBar();
    createAccelerators();
    connect(view_, &CUpdaterView::commandsEnabled, this, &CMainFrame::enableCommands);
    connect(view_, &CUpdaterView::statusChanged, this, &CMainFrame::showState);
    setFixedSize(kOuterSize);
    setAcceptDrops(true);
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::createMenus()
{
    QAction *open =
        commandAction(this, updater::kIdFileOpen, res::kItemOpen, res::kPromptOpen, res::kKeyOpen);
    QAction *setPort =
        commandAction(this, updater::kIdSetPort, res::kItemSetPort, res::kPromptSetPort);
    QAction *downLoad = commandAction(this, updater::kIdDownLoad, res::kItemDownLoad,
                                      res::kPromptDownLoad, res::kKeyDownLoad);
    QAction *about = commandAction(this, updater::kIdAppAbout, res::kItemAbout, res::kPromptAbout);
    QAction *saveLog = commandAction(this, res::kIdSaveSupportLog, res::kItemSaveSupportLog,
                                     res::kPromptSaveSupportLog);
    connect(saveLog, &QAction::triggered, view_, &CUpdaterView::OnSaveSupportLog);
    QAction *openLogs = commandAction(this, res::kIdOpenLogFolder, res::kItemOpenLogFolder,
                                      res::kPromptOpenLogFolder);
    connect(openLogs, &QAction::triggered, view_, &CUpdaterView::OnOpenLogFolder);
    QAction *updateBoth =
        commandAction(this, res::kIdUpdateBoth, res::kItemUpdateBoth, res::kPromptUpdateBoth);
    connect(updateBoth, &QAction::triggered, view_, &CUpdaterView::OnUpdateBoth);
    stop_ = commandAction(this, res::kIdStop, res::kItemStop, res::kPromptStop);
    stop_->setEnabled(false);
    connect(stop_, &QAction::triggered, view_, &CUpdaterView::OnStop);
    connect(open, &QAction::triggered, view_, &CUpdaterView::OnFileOpen);
    connect(setPort, &QAction::triggered, view_, &CUpdaterView::OnSetPort);
    connect(downLoad, &QAction::triggered, view_, &CUpdaterView::OnDownLoad);
    connect(about, &QAction::triggered, this, &CMainFrame::aboutRequested);

    QMenu *file = menuBar()->addMenu(QString::fromUtf8(res::kMenuFile));
    file->addAction(open);
    file->addSeparator();
    file->addAction(saveLog);
    QMenu *tool = menuBar()->addMenu(QString::fromUtf8(res::kMenuTool));
    tool->addAction(setPort);
    tool->addAction(downLoad);
    tool->addAction(updateBoth);
    tool->addSeparator();
    tool->addAction(stop_);
    QMenu *help = menuBar()->addMenu(QString::fromUtf8(res::kMenuHelp));
    help->addAction(about);
    help->addAction(openLogs);
    menuActions_ = {open, setPort, downLoad, about, stop_, saveLog, updateBoth, openLogs};
}

void CMainFrame::createToolBar()
{
    toolBar_ = new QToolBar(this);
    toolBar_->setObjectName(QStringLiteral("toolBar"));
    toolBar_->setIconSize(QSize(res::kToolbarImageWidth, res::kToolbarImageHeight));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar_->setAllowedAreas(Qt::AllToolBarAreas);
    toolBar_->setMovable(true);
    toolBar_->setFloatable(true);
    const int ids[] = {updater::kIdFileOpen, updater::kIdSetPort, updater::kIdDownLoad};
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            toolBar_->addSeparator();
        QAction *action = menuAction(ids[i]);
        action->setIcon(toolbarIcon(i));
        toolBar_->addAction(action);
        QWidget *button = toolBar_->widgetForAction(action);
        button->setFixedSize(kToolButtonSize);
        toolActions_.append(action);
    }
    addToolBar(Qt::TopToolBarArea, toolBar_);
}

void CMainFrame::createStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("statusBar"));
    bar->setSizeGripEnabled(false); // the window has a fixed size
    // The pane shows the view's state, or "Ready", while no prompt covers it. It
    // has room for two lines: a file's summary or a port's fault takes two.
    readyPane_ = new CStaticText(QString::fromUtf8(res::kReady), bar);
    readyPane_->setObjectName(QStringLiteral("messagePane"));
    readyPane_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    readyPane_->setFixedHeight(2 * readyPane_->fontMetrics().lineSpacing());
    bar->addWidget(readyPane_, 1);
    const char *names[] = {res::kIndicatorCaps, res::kIndicatorNum, res::kIndicatorScrl};
    for (std::size_t i = 0; i < indicators_.size(); ++i) {
        auto *pane = new QLabel(bar);
        pane->setObjectName(QStringLiteral("indicator%1").arg(res::kIdIndicatorCaps + int(i)));
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(QString::fromUtf8(names[i])) +
                              8);
        pane->setProperty("indicatorText", QString::fromUtf8(names[i]));
        bar->addPermanentWidget(pane);
        indicators_[i] = pane;
    }
    indicatorTimer_ = new QTimer(this);
    connect(indicatorTimer_, &QTimer::timeout, this, &CMainFrame::updateIndicators);
    indicatorTimer_->start(kIndicatorPollMs);
    updateIndicators();
}

// Ctrl+O and F5, enabled with their commands. No Ctrl+N: the window offers no New.
void CMainFrame::createAccelerators()
{
    const struct
    {
        const char *name;
        int id;
        const char *keys;
        void (CUpdaterView::*handler)();
    } keys[] = {
        {"acceleratorOpen", updater::kIdFileOpen, res::kKeyOpen, &CUpdaterView::OnFileOpen},
        {"acceleratorDownLoad", updater::kIdDownLoad, res::kKeyDownLoad, &CUpdaterView::OnDownLoad},
    };
    for (const auto &key : keys) {
        auto *action = new QAction(this);
        action->setObjectName(QLatin1String(key.name));
        action->setData(key.id);
        action->setShortcut(QKeySequence(QLatin1String(key.keys)));
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, view_, key.handler);
        addAction(action);
        accelerators_.append(action);
    }
}

QAction *CMainFrame::menuAction(int commandId) const
{
    for (QAction *action : menuActions_) {
        if (action->data().toInt() == commandId)
            return action;
    }
    return nullptr;
}

QAction *CMainFrame::toolAction(int commandId) const
{
    for (QAction *action : toolActions_) {
        if (action->data().toInt() == commandId)
            return action;
    }
    return nullptr;
}

QAction *CMainFrame::accelerator(const QString &keys) const
{
    const QKeySequence sequence(keys);
    for (QAction *action : accelerators_) {
        if (action->shortcut() == sequence)
            return action;
    }
    return nullptr;
}

QString CMainFrame::statusText() const
{
    const QString prompt = statusBar()->currentMessage();
    return prompt.isEmpty() ? readyPane_->text() : prompt;
}

QString CMainFrame::statusDetails() const
{
    return readyPane_->toolTip();
}

QString CMainFrame::indicatorText(int indicatorId) const
{
    const int index = indicatorId - res::kIdIndicatorCaps;
    if (index < 0 || index >= int(indicators_.size()))
        return {};
    return indicators_[std::size_t(index)]->text();
}

void CMainFrame::enableCommands(bool enabled)
{
    for (int id :
         {updater::kIdFileOpen, updater::kIdSetPort, updater::kIdDownLoad, res::kIdUpdateBoth})
        menuAction(id)->setEnabled(enabled);
    for (QAction *key : accelerators_)
        key->setEnabled(enabled);
    stop_->setEnabled(!enabled);
    // The prompt of a command just given (the mouse still on DownLoad) gives way
    // to the job's own state.
    if (!enabled && disabledPrompt(statusBar()->currentMessage()))
        statusBar()->clearMessage();
}

bool CMainFrame::disabledPrompt(const QString &tip) const
{
    for (QAction *action : menuActions_) {
        if (!action->isEnabled() && !tip.isEmpty() && action->statusTip() == tip)
            return true;
    }
    return false;
}

bool CMainFrame::event(QEvent *event)
{
    // A disabled command's prompt would cover the job's state while the mouse
    // rests on its button: it is not shown.
    if (event->type() == QEvent::StatusTip &&
        disabledPrompt(static_cast<QStatusTipEvent *>(event)->tip())) {
        statusBar()->clearMessage();
        return true;
    }
    return QMainWindow::event(event);
}

void CMainFrame::showState(const QString &text, const QString &details)
{
    readyPane_->setText(text.isEmpty() ? QString::fromUtf8(res::kReady) : text);
    readyPane_->setToolTip(details);
}

void CMainFrame::updateIndicators()
{
    const LockKey keys[] = {LockKey::Caps, LockKey::Num, LockKey::Scroll};
    for (std::size_t i = 0; i < indicators_.size(); ++i) {
        const bool on = lockKeyOn(keys[i]);
        indicators_[i]->setText(on ? indicators_[i]->property("indicatorText").toString()
                                   : QString());
    }
}

void CMainFrame::closeEvent(QCloseEvent *event)
{
    // Ending a job leaves the device half-written: only when the user says so.
    if (view_->jobRunning() && !askAboutJob(this, QString::fromUtf8(res::kCloseDuringJob))) {
        event->ignore();
        return;
    }
    // The firmware file is closed first, then the job, the supervisor and the links
    // are shut down; a running job ends without a message.
    indicatorTimer_->stop();
    view_->shutDown();
    event->accept();
}

void CMainFrame::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // The frame's decorations are known only once the window is on screen.
    QTimer::singleShot(0, this, &CMainFrame::fitOuterSize);
}

void CMainFrame::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    // A window manager that frames the window late reports the frame with a move.
    fitOuterSize();
}

void CMainFrame::fitOuterSize()
{
    const QSize decoration = frameGeometry().size() - geometry().size();
    const QSize inner = kOuterSize - decoration;
    if (inner != size())
        setFixedSize(inner);
}

void CMainFrame::dragEnterEvent(QDragEnterEvent *event)
{
    if (view_->idle() && !droppedFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent *event)
{
    const QString path = droppedFile(event->mimeData());
    if (!view_->idle() || path.isEmpty())
        return;
    event->acceptProposedAction();
    // The type dialog opens once the drop is over: the program the file came from
    // waits for the drop to end.
    QMetaObject::invokeMethod(
        view_, [view = view_, path] { view->openDroppedFile(path); }, Qt::QueuedConnection);
}
