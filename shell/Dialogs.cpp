#include "Dialogs.h"

#include "Controls.h"
#include "DataExchange.h"
#include "Strings.h"

#include <QButtonGroup>
#include <QEvent>
#include <QLineEdit>
#include <QRadioButton>

namespace res = updater::res;

namespace {

QButtonGroup *radioGroup(TemplateDialog *dialog, int firstId, int secondId)
{
    auto *group = new QButtonGroup(dialog);
    group->addButton(qobject_cast<QRadioButton *>(dialog->control(firstId)), 0);
    group->addButton(qobject_cast<QRadioButton *>(dialog->control(secondId)), 1);
    return group;
}

// Checks the button of the group whose index is `index`; any other index clears
// them all.
void selectRadio(QButtonGroup *group, int index)
{
    group->setExclusive(false);
    for (QAbstractButton *button : group->buttons())
        button->setChecked(group->id(button) == index);
    group->setExclusive(true);
}

} // namespace

CComSelDlg::CComSelDlg(QWidget *parent) : TemplateDialog(res::setPortTemplate(), parent)
{
    linkGroup_ = radioGroup(this, res::kIdSerialRadio, res::kIdTcpRadio);
}

bool CComSelDlg::doDataExchange(bool saveAndValidate)
{
    auto *comEdit = qobject_cast<QLineEdit *>(control(res::kIdComEdit));
    auto *portEdit = qobject_cast<QLineEdit *>(control(res::kIdPortEdit));
    auto *ip = qobject_cast<CIpAddressCtrl *>(control(res::kIdIpAddress));
    if (!saveAndValidate) {
        comEdit->setText(QString::number(comPort));
        selectRadio(linkGroup_, linkType);
        ip->setAddress(ipAddress);
        portEdit->setText(QString::number(tcpPort));
        return true;
    }
    // Every check runs whichever link type is chosen; the first failure ends the
    // exchange and leaves the values read so far in the members.
    const auto com = scanUnsigned(comEdit->text());
    if (!com) {
        failField(comEdit, QString::fromUtf8(res::kNeedPositiveInteger));
        return false;
    }
    comPort = *com;
    if (comPort < 1 || comPort > 99) {
        failField(comEdit, QString::fromUtf8(res::kNeedIntegerInRange).arg(1).arg(99));
        return false;
    }
    linkType = linkGroup_->checkedId();
    ipAddress = ip->address();
    const auto port = scanSigned(portEdit->text());
    if (!port) {
        failField(portEdit, QString::fromUtf8(res::kNeedInteger));
        return false;
    }
    tcpPort = *port;
    // A port no connection can use is refused here, as the COM number is.
    if (tcpPort < 1 || tcpPort > 65535) {
        failField(portEdit, QString::fromUtf8(res::kNeedIntegerInRange).arg(1).arg(65535));
        return false;
    }
    return true;
}

CDownTypeDlg::CDownTypeDlg(QWidget *parent) : TemplateDialog(res::downTypeTemplate(), parent)
{
    typeGroup_ = radioGroup(this, res::kIdDspRadio, res::kIdArmRadio);
}

bool CDownTypeDlg::doDataExchange(bool saveAndValidate)
{
    if (saveAndValidate)
        firmwareType = typeGroup_->checkedId();
    else
        selectRadio(typeGroup_, firmwareType);
    return true;
}

CAboutDlg::CAboutDlg(QWidget *parent) : TemplateDialog(res::aboutTemplate(), parent) {}

void FirmwareFileDialog::showEvent(QShowEvent *event)
{
    QFileDialog::showEvent(event);
    // Qt's own dialog has a name field; a platform's dialog takes the name itself.
    if (name_ == nullptr && (name_ = findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))))
        name_->installEventFilter(this);
}

bool FirmwareFileDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == name_ && event->type() == QEvent::KeyPress && !name_->hasFocus())
        name_->setFocus(Qt::OtherFocusReason);
    return QFileDialog::eventFilter(watched, event);
}
