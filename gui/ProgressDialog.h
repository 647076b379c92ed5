// The progress of an Apply: a bar counting answered devices and the Abort button. progressFinish
// carries 0 when the bar has reached its maximum and 1 when the user aborted. While Apply runs
// neither Esc nor the window manager closes the dialog; only Abort or the program does.
#pragma once

#include <QDialog>

#include <memory>

class QProgressBar;
namespace Ui {
class ProgressDialog;
}

class ProgressDialog : public QDialog {
    Q_OBJECT
public:
    // Connects progressFinish to the parent's slotDialogCallback(int) when the parent has one.
    ProgressDialog(const int &maximum, QWidget *parent = nullptr);
    ~ProgressDialog() override;

    QProgressBar *progressBar() const;

signals:
    void progressFinish(int value);

public slots:
    void slotSetValue(int value);
    void on_abortButton_clicked();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    std::unique_ptr<Ui::ProgressDialog> ui;
};
