#include "ShellRig.h"

#include "WireUnits.h"

#include "Controls.h"
#include "Dialogs.h"
#include "FileDownCom.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

namespace shelltest {

namespace {
constexpr int kPollMs = 10;
constexpr int kUnexpectedAfterPolls = 300; // 3 s without a handler
} // namespace

ModalAnswerer::ModalAnswerer()
{
    timer_.setInterval(kPollMs);
    connect(&timer_, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer_.start();
}

void ModalAnswerer::expect(Handler handler)
{
    pending_.push_back(std::move(handler));
}

void ModalAnswerer::expectBox(SeenBox *seen)
{
    expect([seen](QWidget *w) {
        *seen = readBox(w);
        auto *box = qobject_cast<QMessageBox *>(w);
        if (box && box->button(QMessageBox::Ok))
            box->button(QMessageBox::Ok)->click();
        else
            QMetaObject::invokeMethod(w, "reject"); // not a box with OK: the test fails on it
    });
}

void ModalAnswerer::poll()
{
    QWidget *top = QApplication::activeModalWidget();
    if (top != lastTop_.data()) {
        lastTop_ = top;
        eligible_ = true;
        unansweredPolls_ = 0;
    }
    if (!top)
        return;
    if (top == kept_.data()) {
        unansweredPolls_ = 0;
        return;
    }
    if (eligible_ && !pending_.empty()) {
        eligible_ = false;
        Handler handler = std::move(pending_.front());
        pending_.pop_front();
        QPointer<QWidget> target(top);
        QMetaObject::invokeMethod(
            this,
            [this, handler = std::move(handler), target]() mutable {
                if (target && target->isVisible()) {
                    handler(target.data());
                    return;
                }
                // The window closed before its turn: the handler waits for the next.
                pending_.push_front(std::move(handler));
                lastTop_ = nullptr;
            },
            Qt::QueuedConnection);
        return;
    }
    // Nobody expects this window, or its handler left it open: close it so that
    // the test fails instead of hanging.
    if (++unansweredPolls_ < kUnexpectedAfterPolls)
        return;
    unansweredPolls_ = 0;
    unexpected_.append(QString::fromLatin1(top->metaObject()->className()) + QStringLiteral(": ") +
                       (readBox(top).text.isEmpty() ? top->windowTitle() : readBox(top).text));
    ADD_FAILURE() << "modal window left open: " << unexpected_.constLast().toStdString();
    QMetaObject::invokeMethod(top, "reject", Qt::QueuedConnection);
}

void typeFileName(QWidget *fileDialog, const QString &name)
{
    // The name field as the user types into it; selectFile() leaves a focused
    // field alone.
    fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(name);
}

SeenBox readBox(QWidget *widget)
{
    SeenBox seen;
    seen.caption = widget->windowTitle();
    seen.parent = widget->parentWidget();
    seen.width = widget->width();
    if (auto *box = qobject_cast<QMessageBox *>(widget)) {
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
    }
    return seen;
}

UrlCatcher::UrlCatcher(const QString &scheme) : scheme_(scheme)
{
    QDesktopServices::setUrlHandler(scheme, this, "open");
}

UrlCatcher::~UrlCatcher()
{
    QDesktopServices::unsetUrlHandler(scheme_);
}

WindowRig::WindowRig(const QStringList &arguments, ModalAnswerer::Handler first)
{
    if (first)
        modals.expect(std::move(first));
    app.InitInstance(false, arguments);
    frame = app.mainFrame();
    view = frame->view();
    frame->show();
    if (!QTest::qWaitForWindowExposed(frame))
        ADD_FAILURE() << "the main window was not shown";
}

WindowRig::~WindowRig()
{
    if (frame)
        frame->close();
}

void WindowRig::command(int commandId)
{
    QAction *action = frame->menuAction(commandId);
    if (action == nullptr) {
        ADD_FAILURE() << "no command " << commandId;
        return;
    }
    action->trigger();
}

bool WindowRig::setPortTcp(quint16 port, int waitMs, SeenBox *refusal)
{
    modals.expect([port](QWidget *w) {
        auto *dialog = qobject_cast<CComSelDlg *>(w);
        dialog->findChild<QRadioButton *>(QStringLiteral("tcpRadio"))->click();
        auto *ip = dialog->findChild<CIpAddressCtrl *>(QStringLiteral("ipAddress"));
        ip->setAddress(0x7F000001);
        dialog->findChild<QLineEdit *>(QStringLiteral("portEdit"))->setText(QString::number(port));
        dialog->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
    });
    if (refusal)
        modals.expectBox(refusal);
    command(32778);
    return waitFor([this] { return view->linkOpen(); }, waitMs);
}

bool WindowRig::setPortSerial(unsigned comNumber)
{
    modals.expect([comNumber](QWidget *w) {
        w->findChild<QRadioButton *>(QStringLiteral("serialRadio"))->click();
        w->findChild<QLineEdit *>(QStringLiteral("comEdit"))->setText(QString::number(comNumber));
        w->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
    });
    command(32778);
    // The port opens, or fails to, from the event loop.
    waitFor([this] { return !frame->statusText().endsWith(QLatin1String(" opening")); });
    return view->linkOpen();
}

void WindowRig::openFile(int firmwareType, const QString &path)
{
    modals.expect([firmwareType](QWidget *w) {
        const char *radio = firmwareType == 1 ? "armRadio" : "dspRadio";
        w->findChild<QRadioButton *>(QLatin1String(radio))->click();
        w->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
    });
    modals.expect([path](QWidget *w) {
        typeFileName(w, path);
        QMetaObject::invokeMethod(w, "accept");
    });
    command(57601);
}

bool WindowRig::waitFor(const std::function<bool()> &pred, int timeoutMs)
{
    return QTest::qWaitFor(pred, timeoutMs);
}

bool WindowRig::commandsEnabled(bool enabled) const
{
    for (int id : {57601, 32778, 32773}) {
        if (frame->menuAction(id)->isEnabled() != enabled)
            return false;
    }
    return frame->accelerator(QStringLiteral("Ctrl+O"))->isEnabled() == enabled;
}

QByteArray hexImage(int records)
{
    return QByteArray::fromStdString(testsupport::hexOfRecords(records));
}

QByteArray binaryImage(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((i / 1024 * 31 + i * 7) & 0xFF);
    return data;
}

QString writeFile(const QString &dir, const QString &name, const QByteArray &data)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return {};
    return path;
}

} // namespace shelltest
