#include "gui/NicListItem.h"

#include "ui_NicListItem.h"

#include <QFontMetrics>

namespace {
constexpr int kWrapWidth = 240;
}

NicListItem::NicListItem(const QString &name, const QString &ipText, const QString &macText)
    : QWidget(nullptr), ui(std::make_unique<Ui::NicListItem>()), nicName(name), ip(ipText), mac(macText)
{
    ui->setupUi(this);
    if (!ip.isNull())
        ui->label_IpAddress->setText(ip);
    if (!nicName.isNull()) {
        ui->label_NicName->setWordWrap(true);
        const int h1 = ui->label_NicName->sizeHint().height();
        ui->label_NicName->setText(nicName);
        const int h2 = frameGeometry().height();
        const int h3 = ui->label_NicName->sizeHint().height();
        int breaks = 0;
        ui->label_NicName->setText(wrapToWidth(*ui->label_NicName, nicName, breaks));
        setMinimumHeight(h2 + h3 + (breaks * h1) / 4 - h1);
    }
}

NicListItem::~NicListItem() = default;

QString NicListItem::wrapToWidth(const QLabel &label, const QString &text, int &breaks)
{
    const QFontMetrics metrics = label.fontMetrics();
    if (metrics.horizontalAdvance(text) <= kWrapWidth)
        return text;
    QString answer;
    QString line;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n')) {
            answer += line + QLatin1Char('\n');
            line.clear();
            ++breaks;
            continue;
        }
        if (metrics.horizontalAdvance(c) + metrics.horizontalAdvance(line) >= kWrapWidth) {
            ++breaks;
            answer += line + QLatin1Char('\n');
            line.clear();
        }
        line += c;
    }
    return answer + line;
}
