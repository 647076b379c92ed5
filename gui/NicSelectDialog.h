// The modal chooser of the PC's network interface: one row per interface entry ({ifName,
// ipAddress, macAddress}), the row of the interface in use preselected. After OK, selectedRow()
// is the chosen row (-1 when no row was current).
#pragma once

#include <QDialog>
#include <QVariantList>

#include <memory>

namespace Ui {
class NicListSelectDialog;
}

class NicSelectDialog : public QDialog {
    Q_OBJECT
public:
    NicSelectDialog(QVariantList nics, int row, QWidget *parent = nullptr);
    ~NicSelectDialog() override;

    int selectedRow() const { return selected; }

    // The list of rows, for those who drive the dialog without a user.
    class QListWidget *listWidget() const;

public slots:
    void slotClickOK();
    void slotClickCancel();

private:
    void fillList(const QVariantList &nics, int row);

    std::unique_ptr<Ui::NicListSelectDialog> ui;
    int selected;
};
