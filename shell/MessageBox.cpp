#include "MessageBox.h"

#include "Strings.h"
#include "Texts.h"

#include <QMessageBox>

namespace {

void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &caption, const QString &text)
{
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("appMessageBox"));
    box.setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    box.exec();
}

} // namespace

void showAppMessage(QWidget *parent, const QString &text)
{
    showBox(parent, QMessageBox::Warning, QString::fromUtf8(updater::texts::kAppTitle), text);
}

void showLinkError(QWidget *parent, const QString &caption, const QString &text)
{
    showBox(parent, QMessageBox::Critical, caption, text);
}
