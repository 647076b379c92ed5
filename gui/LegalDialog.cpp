#include "gui/LegalDialog.h"

#include "ui_LegalDialog.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

LegalDialog::LegalDialog(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::LegalDialog>())
{
    setWindowTitle(tr("Legal"));
    setSizeGripEnabled(true);
    setMinimumSize(400, 300);
    ui->setupUi(this);
}

LegalDialog::~LegalDialog() = default;

QTextBrowser *LegalDialog::textBrowser() const
{
    return ui->textBrowser;
}

bool LegalDialog::loadText(const QString &directory)
{
    const QString dir = directory.isEmpty() ? QCoreApplication::applicationDirPath() : directory;
    QFile file(dir + QStringLiteral("/Legal.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QTextStream stream(&file);
    stream.setAutoDetectUnicode(true);
    ui->textBrowser->setPlainText(stream.readAll());
    file.close();
    return true;
}
