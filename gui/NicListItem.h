// One row of the network interface chooser: the interface's name and IP address.
#pragma once

#include <QString>
#include <QWidget>

#include <memory>

class QLabel;
namespace Ui {
class NicListItem;
}

class NicListItem : public QWidget {
    Q_OBJECT
public:
    NicListItem(const QString &name, const QString &ip, const QString &mac);
    ~NicListItem() override;

    QString name() const { return nicName; }
    QString ipAddress() const { return ip; }
    QString macAddress() const { return mac; }

    // Breaks `text` into lines narrower than 240 pixels of the label's font; `breaks` counts the
    // line breaks it added or met. A text no wider than 240 pixels is answered unchanged.
    static QString wrapToWidth(const QLabel &label, const QString &text, int &breaks);

private:
    std::unique_ptr<Ui::NicListItem> ui;
    QString nicName;
    QString ip;
    QString mac;
};
