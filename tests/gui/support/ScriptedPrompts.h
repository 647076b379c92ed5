// UserPrompts that answer from a script and remember every message box and dialog.
#pragma once

#include "gui/UserPrompts.h"

#include <deque>
#include <functional>
#include <vector>

class ScriptedPrompts : public UserPrompts {
public:
    QMessageBox::StandardButton message(const PromptMessage &message) override;
    int execDialog(QDialog &dialog) override;

    // Every message box asked for, in order.
    std::vector<PromptMessage> messages;
    // Answers of the next message boxes. When none is left a box answers its default button, or
    // else the first of Ok, No and Cancel that it offers.
    std::deque<QMessageBox::StandardButton> answers;
    // Runs while a message box is open, before it is answered; unset: nothing.
    std::function<void(const PromptMessage &)> onMessage;
    // Runs in place of the dialog's modal loop and answers its result; unset: Rejected.
    std::function<int(QDialog &)> onDialog;
    int dialogsRun = 0;
};
