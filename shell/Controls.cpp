#include "Controls.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTextOption>

CStaticText::CStaticText(const QString &text, QWidget *parent) : QWidget(parent), text_(text) {}

void CStaticText::setText(const QString &text)
{
    if (text == text_)
        return;
    text_ = text;
    update();
}

void CStaticText::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    QTextOption option(Qt::AlignLeft | Qt::AlignTop);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    painter.setClipRect(rect());
    painter.drawText(QRectF(rect()), text_, option);
}

namespace {
constexpr int kMaxOctet = 255;
}

CIpAddressCtrl::CIpAddressCtrl(QWidget *parent) : QFrame(parent)
{
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            auto *dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot);
        }
        auto *edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("octet%1").arg(i));
        edit->setFrame(false);
        edit->setAlignment(Qt::AlignCenter);
        edit->setMaxLength(3);
        edit->setValidator(new QIntValidator(0, 999, edit));
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textEdited, this, [this, i] { onEdited(i); });
        fields_[static_cast<std::size_t>(i)] = edit;
        layout->addWidget(edit, 1);
    }
    setFocusProxy(fields_[0]);
}

std::uint32_t CIpAddressCtrl::address() const
{
    std::uint32_t address = 0;
    for (QLineEdit *edit : fields_) {
        const int octet = qBound(0, edit->text().toInt(), kMaxOctet);
        address = (address << 8) | static_cast<std::uint32_t>(octet);
    }
    return address;
}

void CIpAddressCtrl::setAddress(std::uint32_t address)
{
    for (int i = 0; i < 4; ++i) {
        const auto octet = (address >> (8 * (3 - i))) & 0xFFu;
        fields_[static_cast<std::size_t>(i)]->setText(QString::number(octet));
    }
}

void CIpAddressCtrl::onEdited(int index)
{
    QLineEdit *edit = fields_[static_cast<std::size_t>(index)];
    if (edit->text().toInt() > kMaxOctet)
        edit->setText(QString::number(kMaxOctet));
    if (edit->text().size() == 3 && index < 3) {
        QLineEdit *next = fields_[static_cast<std::size_t>(index + 1)];
        next->setFocus();
        next->selectAll();
    }
}

bool CIpAddressCtrl::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QFrame::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    for (int i = 0; i < 3; ++i) {
        if (watched == fields_[static_cast<std::size_t>(i)] && key->text() == QLatin1String(".")) {
            QLineEdit *next = fields_[static_cast<std::size_t>(i + 1)];
            next->setFocus();
            next->selectAll();
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}
