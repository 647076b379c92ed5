#include "gui/AboutDialog.h"
#include "gui/LegalDialog.h"
#include "gui/NicListItem.h"
#include "gui/NicSelectDialog.h"
#include "gui/ProgressDialog.h"

#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextCodec>
#include <QtTest>
#include <QWindow>
#include <gtest/gtest.h>

namespace {

QVariantMap nic(const char *name, const char *ip, const char *mac = "AA:BB:CC:DD:EE:FF")
{
    QVariantMap entry;
    if (name)
        entry.insert("ifName", QString::fromUtf8(name));
    if (ip)
        entry.insert("ipAddress", QString::fromUtf8(ip));
    entry.insert("macAddress", QString::fromUtf8(mac));
    return entry;
}

QLabel *rowLabel(QListWidget *list, int row, const char *name)
{
    QWidget *w = list->itemWidget(list->item(row));
    return w ? w->findChild<QLabel *>(QString::fromLatin1(name)) : nullptr;
}

TEST(NicSelectDialog, OneRowPerInterfaceWithTheInterfaceInUsePreselected)
{
    const QVariantList nics{nic("eth0", "10.0.0.1"), nic(nullptr, nullptr), nic("wlan0", "")};
    NicSelectDialog dialog(nics, 2, nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Network List");
    EXPECT_EQ(dialog.size(), QSize(420, 400));
    EXPECT_TRUE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowContextHelpButtonHint);
    QListWidget *list = dialog.listWidget();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->currentRow(), 2);
    EXPECT_EQ(list->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    EXPECT_TRUE(list->wordWrap());

    EXPECT_EQ(rowLabel(list, 0, "label_NicName")->text(), "eth0");
    EXPECT_EQ(rowLabel(list, 0, "label_IpAddress")->text(), "10.0.0.1");
    EXPECT_EQ(rowLabel(list, 1, "label_NicName")->text(), "(name)") << "an entry without a name keeps the form's text";
    EXPECT_EQ(rowLabel(list, 1, "label_IpAddress")->text(), "0.0.0.0");
    EXPECT_EQ(rowLabel(list, 2, "label_IpAddress")->text(), "") << "an empty address is shown empty";
    int heights = 0;
    for (int i = 0; i < list->count(); ++i) {
        QWidget *row = list->itemWidget(list->item(i));
        EXPECT_EQ(list->item(i)->sizeHint(), row->frameSize());
        heights += row->frameGeometry().height();
    }
    EXPECT_EQ(list->minimumHeight(), heights);
    EXPECT_EQ(qobject_cast<NicListItem *>(list->itemWidget(list->item(0)))->macAddress(), "AA:BB:CC:DD:EE:FF");
}

TEST(NicSelectDialog, AnswerAndSelectedRow)
{
    const QVariantList three{nic("a", "1.1.1.1"), nic("b", "2.2.2.2"), nic("c", "3.3.3.3")};
    const struct {
        const char *what;
        QVariantList nics;
        int row;
        int click; // a row the user clicks first, or -1
        bool ok;
        int result, selected;
    } cases[] = {
        {"OK on the preselected row", three, 1, -1, true, QDialog::Accepted, 1},
        {"OK on a clicked row", three, 1, 2, true, QDialog::Accepted, 2},
        {"row outside the list", three, 5, -1, true, QDialog::Accepted, -1},
        {"no row", three, -1, -1, true, QDialog::Accepted, -1},
        {"empty list", {}, 0, -1, true, QDialog::Accepted, -1},
        {"Cancel keeps the row argument", three, 1, 2, false, QDialog::Rejected, 1},
        {"Cancel outside the list", three, 7, -1, false, QDialog::Rejected, 7},
    };
    for (const auto &c : cases) {
        NicSelectDialog dialog(c.nics, c.row, nullptr);
        if (c.click >= 0)
            dialog.listWidget()->setCurrentRow(c.click);
        QPushButton *button = dialog.findChild<QPushButton *>(c.ok ? "btn_OK" : "btn_Cancel");
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), c.ok ? "OK" : "Cancel");
        button->click();
        EXPECT_EQ(dialog.result(), c.result) << c.what;
        EXPECT_EQ(dialog.selectedRow(), c.selected) << c.what;
    }

    // The close button rejects like Cancel.
    NicSelectDialog dialog(three, 0, nullptr);
    dialog.show();
    dialog.close();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(dialog.selectedRow(), 0);
}

TEST(NicListItem, LongNamesAreBrokenIntoLinesNarrowerThan240Pixels)
{
    NicListItem shortRow(QStringLiteral("eth0"), QStringLiteral("10.0.0.1"), QString());
    auto *nameLabel = shortRow.findChild<QLabel *>("label_NicName");
    ASSERT_NE(nameLabel, nullptr);
    EXPECT_EQ(nameLabel->text(), "eth0");
    EXPECT_EQ(shortRow.maximumSize(), QSize(400, 450));
    EXPECT_TRUE(nameLabel->wordWrap());
    EXPECT_EQ(nameLabel->textFormat(), Qt::PlainText);
    for (const char *name : {"label", "label_NicName", "label_2", "label_IpAddress"})
        EXPECT_EQ(shortRow.findChild<QLabel *>(name)->font().pointSize(), 12) << name;

    const QFontMetrics metrics = nameLabel->fontMetrics();
    const QString longName = QStringLiteral("Intel(R) Ethernet Connection (7) I219-LM #2 - Virtual Switch Adapter");
    ASSERT_GT(metrics.horizontalAdvance(longName), 240);
    int breaks = 0;
    const QString wrapped = NicListItem::wrapToWidth(*nameLabel, longName, breaks);
    const QStringList lines = wrapped.split('\n');
    EXPECT_EQ(breaks, lines.size() - 1);
    EXPECT_GE(breaks, 1);
    EXPECT_EQ(lines.join(QString()), longName) << "nothing is lost or added but the breaks";
    for (int i = 0; i < lines.size(); ++i) {
        EXPECT_LT(metrics.horizontalAdvance(lines[i]), 240) << lines[i].toStdString();
        if (i + 1 < lines.size()) { // each line is broken only where the next character would reach 240
            EXPECT_GE(metrics.horizontalAdvance(lines[i]) + metrics.horizontalAdvance(lines[i + 1].at(0)), 240);
        }
    }

    NicListItem longRow(longName, QStringLiteral("10.0.0.2"), QString());
    EXPECT_EQ(longRow.findChild<QLabel *>("label_NicName")->text(), wrapped);
    EXPECT_EQ(longRow.name(), longName);
    EXPECT_GT(longRow.minimumHeight(), shortRow.minimumHeight());

    // Line feeds: kept as they are in a narrow name, counted as breaks in a wide one.
    breaks = 0;
    EXPECT_EQ(NicListItem::wrapToWidth(*nameLabel, QStringLiteral("a\nb"), breaks), "a\nb");
    EXPECT_EQ(breaks, 0);
    const QString withFeed = QStringLiteral("ab\n") + longName;
    breaks = 0;
    const QString wrappedFeed = NicListItem::wrapToWidth(*nameLabel, withFeed, breaks);
    EXPECT_TRUE(wrappedFeed.startsWith("ab\n"));
    EXPECT_EQ(breaks, wrappedFeed.count('\n'));
}

class DialogParent : public QWidget {
    Q_OBJECT
public:
    QList<int> values;
public slots:
    void slotDialogCallback(int value) { values << value; }
};

TEST(ProgressDialog, FixedFormWithoutCloseButton)
{
    ProgressDialog dialog(6, nullptr);
    EXPECT_EQ(dialog.objectName(), "ProgressDialog");
    EXPECT_EQ(dialog.windowTitle(), "Setting of the patch");
    EXPECT_EQ(dialog.size(), QSize(331, 51));
    EXPECT_EQ(dialog.minimumSize(), QSize(331, 51));
    EXPECT_EQ(dialog.maximumSize(), QSize(331, 51));
    EXPECT_TRUE(dialog.isModal());
    EXPECT_FALSE(dialog.isSizeGripEnabled());
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinMaxButtonsHint);
    QProgressBar *bar = dialog.progressBar();
    EXPECT_EQ(bar->geometry(), QRect(10, 10, 221, 31));
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 6);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(bar->isTextVisible());
    auto *abort = dialog.findChild<QPushButton *>("abortButton");
    ASSERT_NE(abort, nullptr);
    EXPECT_EQ(abort->text(), "Abort");
    EXPECT_EQ(abort->geometry(), QRect(240, 10, 81, 31));
    EXPECT_EQ(abort->font().pointSize(), 12);
}

TEST(ProgressDialog, FinishesOnceWhenTheBarIsFull)
{
    const struct {
        int maximum;
        QList<int> steps;
        int finishedAfter; // index of the step that fills the bar, -1 never
        int value;
    } cases[] = {
        {6, {1, 1, 1, 1, 1, 1, 1}, 5, 6},
        {6, {0, -3, 1}, -1, 1},
        {0, {1, 1}, -1, 0},
        {6, {4, 10, 1}, 1, 6},
        {1, {1}, 0, 1},
    };
    for (const auto &c : cases) {
        DialogParent parent;
        ProgressDialog dialog(c.maximum, &parent);
        QSignalSpy finished(&dialog, &ProgressDialog::progressFinish);
        for (int i = 0; i < c.steps.size(); ++i) {
            dialog.slotSetValue(c.steps[i]);
            EXPECT_EQ(finished.count(), (c.finishedAfter >= 0 && i >= c.finishedAfter) ? 1 : 0)
                << "maximum " << c.maximum << " step " << i;
        }
        if (finished.count()) {
            EXPECT_EQ(finished[0][0].toInt(), 0);
        }
        EXPECT_EQ(dialog.progressBar()->value(), c.value);
        EXPECT_EQ(parent.values, c.finishedAfter >= 0 ? QList<int>{0} : QList<int>{}) << "the parent hears it";
    }
}

TEST(ProgressDialog, OnlyAbortClosesItWhileApplyRuns)
{
    DialogParent parent;
    auto *dialog = new ProgressDialog(4, &parent);
    QSignalSpy finished(dialog, &ProgressDialog::progressFinish);
    dialog->show();
    QTest::keyClick(dialog, Qt::Key_Escape);
    EXPECT_TRUE(dialog->isVisible()) << "Esc does not close it";
    // A close request of the window system (Alt+F4 and the like).
    ASSERT_NE(dialog->windowHandle(), nullptr);
    EXPECT_FALSE(dialog->windowHandle()->close());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(finished.count(), 0);

    dialog->findChild<QPushButton *>("abortButton")->click();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished[0][0].toInt(), 1);
    EXPECT_EQ(parent.values, QList<int>{1});
    EXPECT_FALSE(dialog->isVisible());

    // The program closes a finished dialog itself.
    auto *second = new ProgressDialog(1, &parent);
    second->show();
    second->slotSetValue(1);
    EXPECT_TRUE(second->isVisible()) << "a full bar leaves it open";
    EXPECT_TRUE(second->close());
    EXPECT_FALSE(second->isVisible());
}

TEST(AboutAndLegal, Forms)
{
    AboutDialog about(nullptr);
    EXPECT_EQ(about.windowTitle(), "QZ Config Tool");
    EXPECT_EQ(about.size(), QSize(350, 90));
    EXPECT_TRUE(about.windowFlags() & Qt::WindowCloseButtonHint);
    for (const char *name : {"label_Text1", "label_Text2"}) {
        auto *label = about.findChild<QLabel *>(name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->alignment(), Qt::AlignCenter) << name;
        EXPECT_EQ(label->font().pointSize(), 12) << name;
        EXPECT_EQ(label->font().family(), "Yu Gothic UI") << name;
        EXPECT_NE(label->text(), "TextLabel") << name;
    }

    LegalDialog legal(nullptr);
    EXPECT_EQ(legal.windowTitle(), "Legal");
    EXPECT_EQ(legal.minimumSize(), QSize(400, 300));
    EXPECT_TRUE(legal.isSizeGripEnabled());
    legal.show();
    legal.resize(100, 100);
    EXPECT_EQ(legal.size(), QSize(400, 300)) << "it cannot be made smaller";
    EXPECT_EQ(legal.textBrowser()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    EXPECT_EQ(legal.textBrowser()->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

TEST(AboutAndLegal, LegalTextIsReadAsPlainText)
{
    QTemporaryDir dir;
    LegalDialog legal(nullptr);
    EXPECT_FALSE(legal.loadText(dir.path()));
    EXPECT_TRUE(legal.textBrowser()->toPlainText().isEmpty());

    const QString text = QString::fromUtf8("<h1>Licence</h1>\n\nPermission is granted & so on.\n\u00a9 \u30c6\u30b9\u30c8\n");
    QFile file(dir.filePath("Legal.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QTextCodec::codecForName("UTF-16LE")->fromUnicode(text)); // with its byte-order mark
    file.close();
    EXPECT_TRUE(legal.loadText(dir.path()));
    EXPECT_EQ(legal.textBrowser()->toPlainText(), text);
}

} // namespace

#include "dialogs_test.moc"
