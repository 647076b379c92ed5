#include "gui/AboutDialog.h"

#include "ui_AboutDialog.h"

const char *const AboutDialog::programName = "QZ Config Tool";
const char *const AboutDialog::programVersion = "V1.2.0";

AboutDialog::AboutDialog(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::AboutDialog>())
{
    ui->setupUi(this);
    ui->label_Text1->setText(QString::fromLatin1(programName) + QLatin1Char(' ') + QString::fromLatin1(programVersion));
    ui->label_Text2->setText(QStringLiteral("\n ") +
                             tr("Sets up the audio routing of KTV4-S and RQA-310 units."));
}

AboutDialog::~AboutDialog() = default;
