#include "Controls.h"

#include "MessageBox.h"

#include <QEvent>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTextLayout>
#include <QTextOption>
#include <QToolTip>

#include <algorithm>

CStaticText::CStaticText(const QString &text, QWidget *parent) : QWidget(parent), text_(text) {}

void CStaticText::setText(const QString &text)
{
    if (text == text_)
        return;
    text_ = text;
    update();
}

void CStaticText::setAlignment(Qt::Alignment alignment)
{
    alignment_ = alignment;
    update();
}

namespace {

constexpr QChar kZeroWidthSpace(0x200B);
constexpr QChar kWordJoiner(0x2060);
constexpr QChar kNoBreakSpace(0xA0);

// The text as it is laid out: a path may break after each of its separators but
// the first (never in or after "(/"), and a grouped number ("8 192") or a CRC-32 and its value
// stay on one line.
QString wrappable(const QString &text)
{
    QString shown;
    shown.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool inNumber = c == QLatin1Char(' ') && i > 0 && i + 1 < text.size() &&
                              text[i - 1].isDigit() && text[i + 1].isDigit();
        shown += inNumber ? kNoBreakSpace : c;
        const bool separator = c == QLatin1Char('/') || c == QLatin1Char('\\');
        // A path's first separator is joined to what follows: "(/dev" breaks
        // before the "(", not after the "/".
        const bool first = i == 0 || text[i - 1].isSpace() || text[i - 1] == QLatin1Char('(');
        if (separator && i + 1 < text.size() && !text[i + 1].isSpace() &&
            text[i + 1] != QLatin1Char('/') && text[i + 1] != QLatin1Char('\\') &&
            text[i + 1] != QLatin1Char(')'))
            shown += first ? kWordJoiner : kZeroWidthSpace;
    }
    return shown.replace(QStringLiteral("CRC-32 "), QStringLiteral("CRC-32") + kNoBreakSpace);
}

} // namespace

QStringList CStaticText::layOut(bool *elided) const
{
    const QString shown = wrappable(text_);
    QTextOption option(alignment_);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    QTextLayout layout(shown, font());
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width());
        lines << shown.mid(line.textStart(), line.textLength());
    }
    layout.endLayout();
    // What does not fit ends the last line that does in an ellipsis.
    const QFontMetrics metrics(font());
    const qsizetype fit = std::max(1, height() / metrics.lineSpacing());
    if (elided)
        *elided = lines.size() > fit;
    if (lines.size() > fit) {
        const QString rest = lines.mid(fit - 1).join(QString());
        lines = lines.mid(0, fit - 1);
        lines << metrics.elidedText(rest, Qt::ElideRight, width());
    }
    return lines;
}

QStringList CStaticText::shownLines() const
{
    return layOut(nullptr);
}

bool CStaticText::event(QEvent *event)
{
    // A text cut short shows whole in the tooltip, before the tooltip's own text.
    bool elided = false;
    if (event->type() == QEvent::ToolTip && (layOut(&elided), elided)) {
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(),
                           toolTip().isEmpty() ? text_ : text_ + QStringLiteral("\n\n") + toolTip(),
                           this);
        return true;
    }
    return QWidget::event(event);
}

void CStaticText::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.setClipRect(rect());
    const QStringList lines = layOut(nullptr);
    const int lineHeight = fontMetrics().lineSpacing();
    const int textHeight = int(lines.size()) * lineHeight;
    int y = 0;
    if (alignment_ & Qt::AlignVCenter)
        y = (height() - textHeight) / 2;
    else if (alignment_ & Qt::AlignBottom)
        y = height() - textHeight;
    const Qt::Alignment across = (alignment_ & Qt::AlignHorizontal_Mask) | Qt::AlignTop;
    for (const QString &line : lines) {
        painter.drawText(QRect(0, y, width(), lineHeight), int(across), line);
        y += lineHeight;
    }
}

namespace {
constexpr int kMaxOctet = 255;
// The warning for an octet above 255; %1 is the value typed.
constexpr const char kOctetOutOfRange[] =
    "%1 is not a valid entry. Please specify a value between 0 and 255.";
} // namespace

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
    QLineEdit *edit = field(index);
    const int value = edit->text().toInt();
    if (value > kMaxOctet) {
        edit->setText(QString::number(kMaxOctet));
        showAppMessage(window(), QString::fromUtf8(kOctetOutOfRange).arg(value));
    }
    if (edit->text().size() == 3 && index < 3) {
        moveTo(index + 1, true);
        movedTo_ = field(index + 1);
    }
}

bool CIpAddressCtrl::onKeyPress(int index, const QKeyEvent &key)
{
    if (key.key() >= Qt::Key_Shift && key.key() <= Qt::Key_Alt)
        return false; // a modifier alone types nothing
    QLineEdit *edit = field(index);
    const bool justMovedHere = edit == movedTo_;
    movedTo_ = nullptr;
    if (key.text() == QLatin1String(".")) {
        if (!justMovedHere && index < 3 && !edit->text().isEmpty())
            moveTo(index + 1, true);
        return true; // never part of an octet
    }
    if (key.key() == Qt::Key_Backspace && index > 0 && edit->text().isEmpty()) {
        moveTo(index - 1, false);
        return true;
    }
    return false;
}

void CIpAddressCtrl::moveTo(int index, bool selectAll)
{
    QLineEdit *edit = field(index);
    edit->setFocus(Qt::OtherFocusReason);
    if (selectAll)
        edit->selectAll();
    else
        edit->end(false);
}

bool CIpAddressCtrl::eventFilter(QObject *watched, QEvent *event)
{
    const auto it = std::find(fields_.begin(), fields_.end(), watched);
    if (it == fields_.end())
        return QFrame::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress:
        return onKeyPress(static_cast<int>(it - fields_.begin()), *static_cast<QKeyEvent *>(event));
    case QEvent::FocusIn:
        // A click that gives an octet the focus selects it, so that what is typed
        // replaces it; a click in the octet that has the focus places the caret.
        if (static_cast<QFocusEvent *>(event)->reason() == Qt::MouseFocusReason)
            clickedInto_ = *it;
        break;
    case QEvent::FocusOut:
        if (*it == movedTo_)
            movedTo_ = nullptr;
        clickedInto_ = nullptr;
        break;
    case QEvent::MouseButtonPress:
        if (*it == clickedInto_) {
            clickedInto_ = nullptr;
            (*it)->selectAll();
            return true;
        }
        break;
    default:
        break;
    }
    return QFrame::eventFilter(watched, event);
}
