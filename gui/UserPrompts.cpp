#include "gui/UserPrompts.h"

#include <QDialog>

UserPrompts::~UserPrompts() = default;

QMessageBox::StandardButton WidgetPrompts::message(const PromptMessage &message)
{
    QMessageBox box(message.icon, message.title, message.text, message.buttons, message.parent);
    if (message.defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(message.defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

int WidgetPrompts::execDialog(QDialog &dialog)
{
    return dialog.exec();
}

WidgetPrompts &WidgetPrompts::shared()
{
    static WidgetPrompts prompts;
    return prompts;
}
