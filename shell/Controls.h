#pragma once

#include <QFrame>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <cstdint>

class QKeyEvent;
class QLineEdit;

// A left-aligned static text. Long texts wrap at word boundaries and after the
// separators of a path, or anywhere when a word is wider than the control; what
// does not fit ends in an ellipsis, and the tooltip then shows the whole text.
class CStaticText : public QWidget
{
    Q_OBJECT
public:
    explicit CStaticText(const QString &text = {}, QWidget *parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString &text);
    // Left and top unless told otherwise.
    void setAlignment(Qt::Alignment alignment);
    // The lines as they are drawn at the control's size.
    QStringList shownLines() const;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    // The lines to draw; elided: some of the text did not fit.
    QStringList layOut(bool *elided) const;

    QString text_;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignTop;
};

// An IPv4 address field of four octets. A blank octet counts as 0; an octet typed
// above 255 is corrected to 255 with a warning. A third digit moves to the next
// octet; '.' does so only from an octet with digits, and not right after a third
// digit has moved on. Backspace in an empty octet goes back to the previous one.
// Clicking into an octet selects it.
class CIpAddressCtrl : public QFrame
{
    Q_OBJECT
public:
    explicit CIpAddressCtrl(QWidget *parent = nullptr);

    // First octet in the most significant byte.
    std::uint32_t address() const;
    void setAddress(std::uint32_t address);

    QLineEdit *field(int index) const { return fields_[static_cast<std::size_t>(index)]; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onEdited(int index);
    bool onKeyPress(int index, const QKeyEvent &key);
    void moveTo(int index, bool selectAll);

    std::array<QLineEdit *, 4> fields_{};
    // The octet that a third digit has just moved to; a '.' typed next there
    // belongs to the octet before and is swallowed.
    QLineEdit *movedTo_ = nullptr;
    // The octet that a mouse press is giving the focus to.
    QLineEdit *clickedInto_ = nullptr;
};
