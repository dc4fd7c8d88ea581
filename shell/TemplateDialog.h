#pragma once

#include "Templates.h"

#include <QDialog>

#include <utility>
#include <vector>

class DialogUnits;
class QLineEdit;

// Creates the controls of a template inside parent, placed by the dialog-unit
// geometry, named by the template and chained in the template's tab order.
// Returns (control ID, widget) pairs in template order.
std::vector<std::pair<int, QWidget *>>
createControls(QWidget *parent, const updater::res::DialogTemplate &t, const DialogUnits &units);
// Places the controls that createControls made by the template again, in units.
void placeControls(const std::vector<std::pair<int, QWidget *>> &controls,
                   const updater::res::DialogTemplate &t, const DialogUnits &units);

// A modal dialog built from a template, with the data exchange of a classic dialog:
// values go to the controls when it is first shown, and come back, validated,
// when OK is pressed; a failed check keeps it open.
class TemplateDialog : public QDialog
{
    Q_OBJECT
public:
    TemplateDialog(const updater::res::DialogTemplate &t, QWidget *parent);

    // The control with this ID, or nullptr.
    QWidget *control(int id) const;

    void accept() override;

protected:
    // saveAndValidate false: members to controls. true: controls to members;
    // returns false when a check failed (after telling the user).
    virtual bool doDataExchange(bool saveAndValidate);

    // Tells the user why the field is refused, then gives it the focus with all of
    // its text selected.
    void failField(QLineEdit *field, const QString &message);

    void showEvent(QShowEvent *event) override;

private:
    std::vector<std::pair<int, QWidget *>> controls_;
    bool initialised_ = false;
};
