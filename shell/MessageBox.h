#pragma once

#include <QString>

class QWidget;

// The program's boxes open one at a time: a box asked for while another is open
// waits until that one is answered, and is not shown at all once the window it
// belongs to has closed meanwhile.

// The program's message box: caption "Updater V10.14", an OK button only and the
// warning icon, modal to parent. Returns when the user has closed it.
void showAppMessage(QWidget *parent, const QString &text);
// The same with the information icon: a job whose device was found written.
void showSuccessMessage(QWidget *parent, const QString &text);
// The same with the stop icon: a run that failed after its job had ended.
void showRunFailure(QWidget *parent, const QString &text);

// The link's error box: the link's caption ("Application Error") and the stop icon.
void showLinkError(QWidget *parent, const QString &caption, const QString &text);

// A question with the caption "Updater V10.14", Yes and No, No by default. True
// when the user chose Yes.
bool askYesNo(QWidget *parent, const QString &text);
// The same about the running job (stop it, close the window): it closes itself,
// answered No, when closeJobQuestion() is called because the job has ended.
bool askAboutJob(QWidget *parent, const QString &text);
void closeJobQuestion();
