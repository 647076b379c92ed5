#include "tests/gui/support/ScriptedPrompts.h"

#include <QDialog>

QMessageBox::StandardButton ScriptedPrompts::message(const PromptMessage &message)
{
    messages.push_back(message);
    if (onMessage)
        onMessage(message);
    if (!answers.empty()) {
        const QMessageBox::StandardButton answer = answers.front();
        answers.pop_front();
        return answer;
    }
    if (message.defaultButton != QMessageBox::NoButton)
        return message.defaultButton;
    for (QMessageBox::StandardButton b : {QMessageBox::Ok, QMessageBox::No, QMessageBox::Cancel}) {
        if (message.buttons & b)
            return b;
    }
    return QMessageBox::NoButton;
}

int ScriptedPrompts::execDialog(QDialog &dialog)
{
    ++dialogsRun;
    const int result = onDialog ? onDialog(dialog) : QDialog::Rejected;
    dialog.setResult(result);
    return result;
}
