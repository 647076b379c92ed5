// The legal text of the file "Legal.txt" beside the program, shown as plain text.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class QTextBrowser;
namespace Ui {
class LegalDialog;
}

class LegalDialog : public QDialog {
    Q_OBJECT
public:
    explicit LegalDialog(QWidget *parent = nullptr);
    ~LegalDialog() override;

    // Reads "Legal.txt" of `directory` (empty: the program file's directory) into the browser;
    // false, with the browser left empty, when the file cannot be opened.
    bool loadText(const QString &directory = QString());

    QTextBrowser *textBrowser() const;

private:
    std::unique_ptr<Ui::LegalDialog> ui;
};
