#include "TemplateDialog.h"

#include "Artwork.h"
#include "Controls.h"
#include "DialogUnits.h"
#include "MessageBox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

using updater::res::ControlKind;
using updater::res::ControlTemplate;

namespace {

QWidget *createControl(QWidget *parent, const ControlTemplate &c)
{
    const QString text = QString::fromUtf8(c.text);
    switch (c.kind) {
    case ControlKind::PushButton: {
        auto *button = new QPushButton(text, parent);
        button->setDefault((c.style & updater::res::kStyleDefault) != 0);
        button->setAutoDefault(false);
        return button;
    }
    case ControlKind::Edit:
        return new QLineEdit(parent);
    case ControlKind::Static:
        return new CStaticText(text, parent);
    case ControlKind::RadioButton:
        return new QRadioButton(text, parent);
    case ControlKind::IpAddress:
        return new CIpAddressCtrl(parent);
    case ControlKind::ProgressBar: {
        auto *bar = new QProgressBar(parent);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    case ControlKind::Icon: {
        auto *icon = new QLabel(parent);
        icon->setPixmap(QPixmap::fromImage(updater::res::applicationIcon()));
        icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return icon;
    }
    }
    return new QWidget(parent);
}

} // namespace

std::vector<std::pair<int, QWidget *>>
createControls(QWidget *parent, const updater::res::DialogTemplate &t, const DialogUnits &units)
{
    std::vector<std::pair<int, QWidget *>> controls;
    QWidget *previousTabStop = nullptr;
    for (const ControlTemplate &c : t.controls) {
        QWidget *widget = createControl(parent, c);
        widget->setObjectName(QString::fromLatin1(c.name));
        if (c.style & updater::res::kStyleHidden)
            widget->hide();
        if (c.style & updater::res::kStyleTabStop) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        } else if (c.kind == ControlKind::RadioButton) {
            widget->setFocusPolicy(Qt::ClickFocus);
        }
        controls.emplace_back(c.id, widget);
    }
    placeControls(controls, t, units);
    return controls;
}

void placeControls(const std::vector<std::pair<int, QWidget *>> &controls,
                   const updater::res::DialogTemplate &t, const DialogUnits &units)
{
    for (std::size_t i = 0; i < controls.size() && i < t.controls.size(); ++i) {
        const ControlTemplate &c = t.controls[i];
        QRect area = units.toPixels(c.x, c.y, c.w, c.h);
        if (c.kind == ControlKind::Icon)
            area.setSize(QSize(32, 32)); // an icon control takes the size of its icon
        controls[i].second->setGeometry(area);
    }
}

TemplateDialog::TemplateDialog(const updater::res::DialogTemplate &t, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("dialog%1").arg(t.id));
    setWindowTitle(QString::fromUtf8(t.caption));
    setModal(true);
    setFont(dialogFont(t.pointSize));
    const DialogUnits units(font());
    setFixedSize(units.toPixels(t.w, t.h));
    controls_ = createControls(this, t, units);
    if (auto *ok = qobject_cast<QPushButton *>(control(updater::res::kIdOk)))
        connect(ok, &QPushButton::clicked, this, &TemplateDialog::accept);
    if (auto *cancel = qobject_cast<QPushButton *>(control(updater::res::kIdCancel)))
        connect(cancel, &QPushButton::clicked, this, &TemplateDialog::reject);
}

QWidget *TemplateDialog::control(int id) const
{
    for (const auto &[controlId, widget] : controls_) {
        if (controlId == id && id != updater::res::kNoId)
            return widget;
    }
    return nullptr;
}

void TemplateDialog::accept()
{
    if (doDataExchange(true))
        QDialog::accept();
}

bool TemplateDialog::doDataExchange(bool)
{
    return true;
}

void TemplateDialog::failField(QLineEdit *field, const QString &message)
{
    showAppMessage(this, message);
    field->setFocus(Qt::OtherFocusReason);
    field->selectAll();
}

void TemplateDialog::showEvent(QShowEvent *event)
{
    if (!initialised_) {
        initialised_ = true;
        doDataExchange(false);
        // The first control with a tab stop takes the focus.
        for (const auto &[id, widget] : controls_) {
            if (widget->focusPolicy() == Qt::StrongFocus) {
                widget->setFocus(Qt::OtherFocusReason);
                break;
            }
        }
    }
    QDialog::showEvent(event);
}
