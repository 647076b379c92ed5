// The program's name and version.
#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class AboutDialog;
}

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget *parent = nullptr);
    ~AboutDialog() override;

    static const char *const programName;
    static const char *const programVersion;

private:
    std::unique_ptr<Ui::AboutDialog> ui;
};
