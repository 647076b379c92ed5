#include "gui/ProgressDialog.h"

#include "ui_ProgressDialog.h"

#include <QCloseEvent>
#include <QKeyEvent>

ProgressDialog::ProgressDialog(const int &maximum, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      ui(std::make_unique<Ui::ProgressDialog>())
{
    ui->setupUi(this);
    if (parent && parent->metaObject()->indexOfSlot("slotDialogCallback(int)") >= 0)
        connect(this, SIGNAL(progressFinish(int)), parent, SLOT(slotDialogCallback(int)));
    ui->progressBar->setValue(0);
    ui->progressBar->setMaximum(maximum);
}

ProgressDialog::~ProgressDialog() = default;

QProgressBar *ProgressDialog::progressBar() const
{
    return ui->progressBar;
}

void ProgressDialog::slotSetValue(int value)
{
    if (value <= 0)
        return;
    QProgressBar *bar = ui->progressBar;
    if (bar->value() < bar->maximum()) {
        // A step that would pass the maximum fills the bar (the bar ignores values beyond it).
        const qint64 next = static_cast<qint64>(bar->value()) + value;
        bar->setValue(next >= bar->maximum() ? bar->maximum() : static_cast<int>(next));
        if (bar->value() == bar->maximum())
            emit progressFinish(0);
    }
}

void ProgressDialog::on_abortButton_clicked()
{
    emit progressFinish(1);
    close();
}

void ProgressDialog::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ProgressDialog::closeEvent(QCloseEvent *event)
{
    // The title bar offers no close button; a close request from outside the program is ignored.
    if (event->spontaneous()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}
