#include "MessageBox.h"

#include "Strings.h"
#include "Texts.h"

#include <QApplication>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPointer>
#include <QSpacerItem>

namespace {

// Room that a title bar takes besides its caption: the window icon and the
// minimise, maximise and close buttons.
constexpr int kTitleBarRoom = 100;

// A box sizes itself by its text alone, so a short text leaves the window system
// too little room for the caption: keep it wide enough for the caption in bold.
void fitCaption(QMessageBox &box)
{
    auto *grid = qobject_cast<QGridLayout *>(box.layout());
    if (grid == nullptr)
        return;
    QFont titleFont = QApplication::font();
    titleFont.setBold(true);
    const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + kTitleBarRoom;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

// The box on screen, if any: one box at a time, on the UI thread.
QPointer<QMessageBox> openBox;
// The open box is a question about the running job.
bool openBoxAsksAboutJob = false;

// A box that comes while another is open waits until that one is answered.
// False when the window it belongs to has closed meanwhile.
bool waitForOpenBox(QWidget *parent)
{
    while (openBox) {
        QEventLoop wait;
        QObject::connect(openBox, &QDialog::finished, &wait, &QEventLoop::quit);
        QObject::connect(openBox, &QObject::destroyed, &wait, &QEventLoop::quit);
        if (wait.exec() != 0)
            return false; // the program is ending
    }
    return parent == nullptr || parent->window()->isVisible();
}

int execBox(QWidget *parent, QMessageBox::Icon icon, const QString &caption, const QString &text,
            QMessageBox::StandardButtons buttons,
            QMessageBox::StandardButton defaultButton = QMessageBox::NoButton,
            bool aboutJob = false)
{
    if (!waitForOpenBox(parent))
        return defaultButton;
    QMessageBox box(icon, caption, text, buttons, parent);
    box.setObjectName(QStringLiteral("appMessageBox"));
    box.setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    fitCaption(box);
    openBox = &box;
    openBoxAsksAboutJob = aboutJob;
    // The next box may open as soon as this one is answered, before its exec()
    // has returned through the event loops that opened meanwhile.
    QObject::connect(&box, &QDialog::finished, [&box] {
        if (openBox == &box)
            openBox = nullptr;
    });
    const int answer = box.exec();
    if (openBox == &box)
        openBox = nullptr;
    return answer;
}

QString appTitle()
{
    return QString::fromUtf8(updater::texts::kAppTitle);
}

} // namespace

void showAppMessage(QWidget *parent, const QString &text)
{
    execBox(parent, QMessageBox::Warning, appTitle(), text, QMessageBox::Ok);
}

void showSuccessMessage(QWidget *parent, const QString &text)
{
    execBox(parent, QMessageBox::Information, QString::fromUtf8(updater::texts::kAppTitle), text,
            QMessageBox::Ok);
}

void showRunFailure(QWidget *parent, const QString &text)
{
    execBox(parent, QMessageBox::Critical, QString::fromUtf8(updater::texts::kAppTitle), text,
            QMessageBox::Ok);
}

void showLinkError(QWidget *parent, const QString &caption, const QString &text)
{
    execBox(parent, QMessageBox::Critical, caption, text, QMessageBox::Ok);
}

bool askYesNo(QWidget *parent, const QString &text)
{
    return execBox(parent, QMessageBox::Question, appTitle(), text,
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

bool askAboutJob(QWidget *parent, const QString &text)
{
    return execBox(parent, QMessageBox::Question, appTitle(), text,
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No, true) == QMessageBox::Yes;
}

void closeJobQuestion()
{
    if (openBox && openBoxAsksAboutJob)
        openBox->done(QMessageBox::No);
}
