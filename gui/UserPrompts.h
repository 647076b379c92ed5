// Modal interaction with the user: message boxes and modal dialogs. The program's logic asks
// through this interface so that tests can answer instead of a user.
#pragma once

#include <QMessageBox>
#include <QString>

class QDialog;
class QWidget;

struct PromptMessage {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget *parent = nullptr;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

class UserPrompts {
public:
    virtual ~UserPrompts();

    // Shows a modal message box and answers the button that closed it.
    virtual QMessageBox::StandardButton message(const PromptMessage &message) = 0;

    // Runs a dialog modally and answers its result (QDialog::Accepted or QDialog::Rejected).
    virtual int execDialog(QDialog &dialog) = 0;
};

// Real message boxes and QDialog::exec.
class WidgetPrompts : public UserPrompts {
public:
    QMessageBox::StandardButton message(const PromptMessage &message) override;
    int execDialog(QDialog &dialog) override;

    static WidgetPrompts &shared();
};
