#include "gui/NicSelectDialog.h"

#include "gui/NicListItem.h"
#include "ui_NicSelectDialog.h"

#include <QListWidgetItem>
#include <QVariantMap>

NicSelectDialog::NicSelectDialog(QVariantList nics, int row, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::NicListSelectDialog>()), selected(row)
{
    ui->setupUi(this);
    fillList(nics, row);
}

NicSelectDialog::~NicSelectDialog() = default;

QListWidget *NicSelectDialog::listWidget() const
{
    return ui->listWidget;
}

void NicSelectDialog::fillList(const QVariantList &nics, int row)
{
    int totalHeight = 0;
    for (const QVariant &nic : nics) {
        const QVariantMap entry = nic.toMap();
        auto *rowWidget = new NicListItem(entry.value(QStringLiteral("ifName")).toString(),
                                          entry.value(QStringLiteral("ipAddress")).toString(),
                                          entry.value(QStringLiteral("macAddress")).toString());
        totalHeight += rowWidget->frameGeometry().height();
        ui->listWidget->setWordWrap(true);
        auto *item = new QListWidgetItem(nullptr, QListWidgetItem::Type);
        item->setSizeHint(rowWidget->frameSize());
        ui->listWidget->addItem(item);
        ui->listWidget->setItemWidget(item, rowWidget);
    }
    ui->listWidget->setCurrentRow(row);
    ui->listWidget->setMinimumHeight(totalHeight);
    ui->listWidget->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(ui->btn_OK, &QPushButton::clicked, this, &NicSelectDialog::slotClickOK);
    connect(ui->btn_Cancel, &QPushButton::clicked, this, &NicSelectDialog::slotClickCancel);
}

void NicSelectDialog::slotClickOK()
{
    selected = ui->listWidget->currentRow();
    accept();
}

void NicSelectDialog::slotClickCancel()
{
    reject();
}
