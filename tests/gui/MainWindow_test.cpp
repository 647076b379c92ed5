#include "gui/AboutDialog.h"
#include "gui/LegalDialog.h"
#include "gui/MainWindow.h"
#include "tests/gui/support/GuiTestEnvironment.h"

#include <QAction>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTextBrowser>
#include <QtTest>
#include <gtest/gtest.h>

namespace {

class TestWindow : public MainWindow {
public:
    using MainWindow::MainWindow;
    void setConfirmed(bool on) { confirmed = on; }
    bool isConfirmed() const { return confirmed; }
    int interval() const { return sendInterval; }
    void restorePosition() { restoreWindowPosition(); }
    void restoreCounts() { restoreDeviceCounts(); }
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { window = std::make_unique<TestWindow>(env.services()); }

    template <typename T>
    T *child(const char *name)
    {
        T *w = window->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QSpinBox *spin(const char *name) { return child<QSpinBox>(name); }
    QStringList storedCounts()
    {
        auto s = env.settings();
        QStringList out;
        for (const char *key : {"DEVICE/KTV4S", "DEVICE/Area1", "DEVICE/Area2", "DEVICE/Area3", "DEVICE/Area4"})
            out << s->value(QLatin1String(key)).toString();
        return out;
    }
    QList<bool> areasEnabled()
    {
        return {spin("area1SpinBox")->isEnabled(), spin("area2SpinBox")->isEnabled(), spin("area3SpinBox")->isEnabled(),
                spin("area4SpinBox")->isEnabled()};
    }

    GuiTestEnvironment env;
    std::unique_ptr<TestWindow> window;
};

TEST_F(MainWindowTest, FormAsDesigned)
{
    EXPECT_EQ(window->windowTitle(), "QZ Config Tool");
    EXPECT_EQ(window->size(), QSize(725, 400));
    EXPECT_EQ(window->minimumSize(), QSize(725, 400));
    EXPECT_EQ(window->maximumSize(), QSize(725, 400));
    EXPECT_TRUE(window->isWindow());
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    for (Qt::WindowType absent : {Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint,
                                  Qt::WindowMaximizeButtonHint, Qt::WindowSystemMenuHint})
        EXPECT_FALSE(flags & absent) << absent;
    EXPECT_EQ(window->font().family(), "Yu Gothic UI");
    EXPECT_EQ(window->font().pointSize(), 8);
    EXPECT_TRUE(window->isAnimated());
    EXPECT_EQ(window->centralWidget()->objectName(), "centralWidget");

    const struct {
        const char *name, *cls, *parent;
        QRect geometry;
        const char *text;
        int pointSize;
    } widgets[] = {
        {"output", "QLabel", "centralWidget", {390, 90, 61, 21}, "Log", 12},
        {"outputTextBrowser", "QTextBrowser", "centralWidget", {390, 120, 321, 201}, "", 12},
        {"confirmPushButton", "QPushButton", "centralWidget", {395, 340, 81, 31}, "Confirm", 12},
        {"applyPushButton", "QPushButton", "centralWidget", {495, 340, 81, 31}, "Apply", 12},
        {"closePushButton", "QPushButton", "centralWidget", {630, 340, 81, 31}, "Close", 12},
        {"devGrpBox", "QGroupBox", "centralWidget", {10, 110, 361, 211}, "Number of Devices", 12},
        {"ktv4s", "QLabel", "devGrpBox", {20, 30, 71, 25}, "KTV4-S :", 12},
        {"ktv4sSpinBox", "QSpinBox", "devGrpBox", {100, 30, 51, 25}, nullptr, 12},
        {"rqaGrpBox", "QGroupBox", "devGrpBox", {20, 80, 321, 121}, "RQA-310", 12},
        {"area1", "QLabel", "rqaGrpBox", {20, 30, 61, 25}, "Area #1 :", 12},
        {"area1SpinBox", "QSpinBox", "rqaGrpBox", {90, 30, 51, 25}, nullptr, 12},
        {"area2", "QLabel", "rqaGrpBox", {180, 30, 61, 25}, "Area #2 :", 12},
        {"area2SpinBox", "QSpinBox", "rqaGrpBox", {250, 30, 51, 25}, nullptr, 12},
        {"area3", "QLabel", "rqaGrpBox", {20, 80, 61, 25}, "Area #3 :", 12},
        {"area3SpinBox", "QSpinBox", "rqaGrpBox", {90, 80, 51, 25}, nullptr, 12},
        {"area4", "QLabel", "rqaGrpBox", {180, 80, 61, 25}, "Area #4 :", 12},
        {"area4SpinBox", "QSpinBox", "rqaGrpBox", {250, 80, 51, 25}, nullptr, 12},
        {"infoLabel_1", "QLabel", "centralWidget", {10, 30, 451, 16}, "Select the number of devices want to use,", 12},
        {"infoLabel_2", "QLabel", "centralWidget", {10, 50, 451, 16}, "then press the Confirm button.", 12},
        {"groupBox", "QGroupBox", "centralWidget", {470, 20, 241, 81}, "Network", 10},
        {"label", "QLabel", "groupBox", {10, 20, 91, 21}, "Name:", 10},
        {"label_3", "QLabel", "groupBox", {10, 50, 91, 21}, "IP Address:", 10},
        {"label_IfName", "QLabel", "groupBox", {110, 20, 131, 21}, "None", 10},
        {"label_IpAddress", "QLabel", "groupBox", {110, 50, 131, 21}, "0.0.0.0", 10},
    };
    for (const auto &w : widgets) {
        QWidget *widget = child<QWidget>(w.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_STREQ(widget->metaObject()->className(), w.cls) << w.name;
        EXPECT_EQ(widget->parentWidget()->objectName(), QLatin1String(w.parent)) << w.name;
        EXPECT_EQ(widget->geometry(), w.geometry) << w.name;
        EXPECT_EQ(widget->font().pointSize(), w.pointSize) << w.name;
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            EXPECT_EQ(label->text(), QLatin1String(w.text)) << w.name;
        } else if (auto *button = qobject_cast<QPushButton *>(widget)) {
            EXPECT_EQ(button->text(), QLatin1String(w.text)) << w.name;
        } else if (auto *group = qobject_cast<QGroupBox *>(widget)) {
            EXPECT_EQ(group->title(), QLatin1String(w.text)) << w.name;
        }
    }
    EXPECT_FALSE(child<QPushButton>("confirmPushButton")->autoDefault());
    EXPECT_FALSE(child<QPushButton>("confirmPushButton")->isDefault());
    EXPECT_FALSE(child<QPushButton>("closePushButton")->isDefault());
    EXPECT_FALSE(child<QPushButton>("closePushButton")->isCheckable());
    EXPECT_EQ(child<QGroupBox>("devGrpBox")->font().family(), "Yu Gothic UI");
    auto *log = child<QTextBrowser>("outputTextBrowser");
    EXPECT_TRUE(log->toPlainText().isEmpty());
    EXPECT_EQ(log->viewport()->cursor().shape(), Qt::ArrowCursor);

    const struct {
        const char *name;
        int min, max, value;
    } spins[] = {{"ktv4sSpinBox", 1, 4, 1}, {"area1SpinBox", 2, 25, 9}, {"area2SpinBox", 1, 24, 8},
                 {"area3SpinBox", 1, 24, 8}, {"area4SpinBox", 1, 24, 8}};
    for (const auto &s : spins) {
        EXPECT_EQ(spin(s.name)->minimum(), s.min) << s.name;
        EXPECT_EQ(spin(s.name)->maximum(), s.max) << s.name;
        EXPECT_EQ(spin(s.name)->value(), s.value) << s.name;
        EXPECT_EQ(spin(s.name)->singleStep(), 1) << s.name;
    }
    EXPECT_FALSE(spin("ktv4sSpinBox")->isAccelerated());
    EXPECT_EQ(spin("ktv4sSpinBox")->buttonSymbols(), QAbstractSpinBox::UpDownArrows);
    EXPECT_EQ(spin("ktv4sSpinBox")->displayIntegerBase(), 10);
}

TEST_F(MainWindowTest, MenusAndTheirEntries)
{
    QMenuBar *bar = window->menuBar();
    EXPECT_EQ(bar->objectName(), "menuBar");
    QStringList titles;
    for (QAction *a : bar->actions())
        titles << a->text();
    EXPECT_EQ(titles, QStringList({"Option", "About"}));

    const auto entries = [](QMenu *menu) {
        QStringList out;
        for (QAction *a : menu->actions())
            out << (a->isSeparator() ? QStringLiteral("-") : a->objectName() + "=" + a->text());
        return out;
    };
    auto *option = child<QMenu>("menuOutput");
    auto *about = child<QMenu>("menuAbout");
    EXPECT_EQ(option->title(), "Option");
    EXPECT_EQ(about->title(), "About");
    EXPECT_EQ(entries(option), QStringList({"actionClear=Clear log", "-", "actionNetwork_List=Network List", "-"}));
    EXPECT_EQ(entries(about), QStringList({"actionAboutQZConfig=About QZ Config Tool", "actionLegal=Legal"}));
    for (const char *name : {"actionClear", "actionNetwork_List", "actionAboutQZConfig", "actionLegal"})
        EXPECT_EQ(child<QAction>(name)->font().family(), "Yu Gothic UI") << name;
}

TEST_F(MainWindowTest, StartsWithTheSequenceControlsDisabled)
{
    EXPECT_FALSE(child<QPushButton>("applyPushButton")->isEnabled());
    EXPECT_FALSE(child<QPushButton>("confirmPushButton")->isEnabled());
    EXPECT_TRUE(child<QPushButton>("closePushButton")->isEnabled());
    EXPECT_FALSE(child<QAction>("actionNetwork_List")->isEnabled());
    EXPECT_TRUE(spin("ktv4sSpinBox")->isEnabled());
    EXPECT_EQ(areasEnabled(), (QList<bool>{true, false, false, false}));
    EXPECT_EQ(window->interval(), MainWindow::defaultSendInterval);

    // start-up is deferred, not run by the constructor
    ASSERT_EQ(env.scheduler.requests().size(), 1u);
    EXPECT_EQ(env.scheduler.requests()[0].delay, 0);
    EXPECT_EQ(env.wrapper->wrappersCreated.load(), 0);
    env.scheduler.runDue();
    EXPECT_EQ(QCoreApplication::organizationName(), "Tormel");
    EXPECT_EQ(QCoreApplication::applicationName(), "DIDodiviVidi");
    EXPECT_EQ(QSettings::defaultFormat(), QSettings::IniFormat);
}

TEST_F(MainWindowTest, KtvCountEnablesTheAreasAndEveryCountChangeIsSavedAtOnce)
{
    const struct {
        int ktv;
        QList<bool> areas;
    } cases[] = {{4, {true, true, true, true}}, {2, {true, true, false, false}}, {3, {true, true, true, false}},
                 {1, {true, false, false, false}}};
    for (const auto &c : cases) {
        child<QPushButton>("applyPushButton")->setEnabled(true);
        window->setConfirmed(true);
        spin("ktv4sSpinBox")->setValue(c.ktv);
        EXPECT_EQ(areasEnabled(), c.areas) << c.ktv;
        EXPECT_FALSE(child<QPushButton>("applyPushButton")->isEnabled()) << c.ktv;
        EXPECT_FALSE(window->isConfirmed()) << c.ktv;
        EXPECT_EQ(storedCounts(), QStringList({QString::number(c.ktv), "9", "8", "8", "8"}));
    }
    const char *areas[] = {"area1SpinBox", "area2SpinBox", "area3SpinBox", "area4SpinBox"};
    for (int i = 0; i < 4; ++i) {
        child<QPushButton>("applyPushButton")->setEnabled(true);
        window->setConfirmed(true);
        spin(areas[i])->setValue(3 + i);
        EXPECT_FALSE(child<QPushButton>("applyPushButton")->isEnabled()) << areas[i];
        EXPECT_FALSE(window->isConfirmed()) << areas[i];
        EXPECT_EQ(storedCounts().at(1 + i), QString::number(3 + i)) << areas[i];
    }
    EXPECT_EQ(storedCounts(), QStringList({"1", "3", "4", "5", "6"}));
}

TEST_F(MainWindowTest, StoredCountsAreRestoredWithinTheirRanges)
{
    const struct {
        const char *ktv, *a1, *a2, *a3, *a4; // null: absent
        QList<int> expected;
    } cases[] = {
        {"0", "1", "0", "25", nullptr, {1, 9, 8, 8, 8}},
        {"5", "26", "-1", "x", "", {1, 9, 8, 8, 8}},
        {"abc", "25", "24", "1", "24", {1, 25, 24, 1, 24}},
        {"4", "2", "1", "24", "7", {4, 2, 1, 24, 7}},
        {"3", "20", "5", "6", "7", {3, 20, 5, 6, 7}},
        {"2", "0x5", "1e1", "3.0", "6", {2, 9, 8, 8, 6}},
        {nullptr, nullptr, nullptr, nullptr, nullptr, {1, 9, 8, 8, 8}},
    };
    for (const auto &c : cases) {
        // Start from another state each time so that every count really changes or stays.
        window = std::make_unique<TestWindow>(env.services());
        {
            auto s = env.settings();
            s->clear();
            const char *values[] = {c.ktv, c.a1, c.a2, c.a3, c.a4};
            const char *keys[] = {"DEVICE/KTV4S", "DEVICE/Area1", "DEVICE/Area2", "DEVICE/Area3", "DEVICE/Area4"};
            for (int i = 0; i < 5; ++i) {
                if (values[i])
                    s->setValue(QLatin1String(keys[i]), QString::fromLatin1(values[i]));
            }
        }
        window->restoreCounts();
        const QList<int> shown{spin("ktv4sSpinBox")->value(), spin("area1SpinBox")->value(), spin("area2SpinBox")->value(),
                               spin("area3SpinBox")->value(), spin("area4SpinBox")->value()};
        EXPECT_EQ(shown, c.expected) << (c.ktv ? c.ktv : "(absent)");
        // A count that changed saved all five; the stored counts never lose a later box's value.
        const QStringList stored = storedCounts();
        if (shown != QList<int>{1, 9, 8, 8, 8}) {
            QStringList expected;
            for (int v : c.expected)
                expected << QString::number(v);
            EXPECT_EQ(stored, expected);
        }
        EXPECT_EQ(areasEnabled().mid(1), (QList<bool>{c.expected[0] >= 2, c.expected[0] >= 3, c.expected[0] >= 4}));
    }
}

TEST_F(MainWindowTest, SavedPositionIsUsedOnceAndForgotten)
{
    {
        auto s = env.settings();
        s->setValue("APP/PosX", 123);
        s->setValue("APP/PosY", 45);
        s->setValue("APP/Width", 1);
        s->setValue("APP/Height", 1);
    }
    window->restorePosition();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->geometry().topLeft(), QPoint(123, 45));
    EXPECT_EQ(window->size(), QSize(725, 400));
    EXPECT_TRUE(window->windowFlags() & Qt::WindowTitleHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    auto s = env.settings();
    for (const char *key : {"APP/PosX", "APP/PosY", "APP/Width", "APP/Height"}) {
        EXPECT_TRUE(s->contains(QLatin1String(key))) << key;
        EXPECT_TRUE(s->value(QLatin1String(key)).toString().isEmpty()) << key;
    }

    // With one key empty the window is left where it is; the keys are still emptied.
    auto other = std::make_unique<TestWindow>(env.services());
    s->setValue("APP/PosX", 300);
    s->setValue("APP/PosY", 200);
    s->setValue("APP/Width", 725);
    s->setValue("APP/Height", QString());
    s->sync();
    const QRect before = other->geometry();
    other->restorePosition();
    EXPECT_FALSE(other->isVisible());
    EXPECT_EQ(other->geometry(), before);
    s->sync();
    EXPECT_TRUE(s->value("APP/PosX").toString().isEmpty());
}

TEST_F(MainWindowTest, SettingsOfAChosenInterface)
{
    spin("ktv4sSpinBox")->setValue(2);
    spin("area2SpinBox")->setValue(11);
    window->move(40, 60);
    EXPECT_TRUE(window->saveSettings({{"ifName", "eth0"}, {"macAddress", "AA:BB:CC:DD:EE:FF"}, {"ipAddress", "10.0.0.1"}}));
    auto s = env.settings();
    EXPECT_EQ(s->value("NIC/MAC_Address").toString(), "AA:BB:CC:DD:EE:FF");
    EXPECT_EQ(storedCounts(), QStringList({"2", "9", "11", "8", "8"}));
    EXPECT_EQ(s->value("APP/PosX").toInt(), window->geometry().left());
    EXPECT_EQ(s->value("APP/PosY").toInt(), window->geometry().top());
    EXPECT_EQ(s->value("APP/Width").toInt(), 725);
    EXPECT_EQ(s->value("APP/Height").toInt(), 400);

    const struct {
        const char *stored;
        const char *read;
    } macs[] = {
        {"AA:BB:CC:DD:EE:FF", "AA:BB:CC:DD:EE:FF"}, {"aa:bb:cc:dd:ee:ff", "aa:bb:cc:dd:ee:ff"},
        {"AA-BB-CC-DD-EE-FF", "00:00:00:00:00:00"}, {"AA:BB:CC:DD:EE", "00:00:00:00:00:00"},
        {"AA:BB:CC:DD:EE:FF:00", "00:00:00:00:00:00"}, {":::::", ":::::"}, {"", "00:00:00:00:00:00"},
    };
    for (const auto &m : macs) {
        s->setValue("NIC/MAC_Address", QString::fromLatin1(m.stored));
        s->sync();
        EXPECT_EQ(window->loadSavedMac(), QLatin1String(m.read)) << m.stored;
    }
    s->remove("NIC/MAC_Address");
    s->sync();
    EXPECT_EQ(window->loadSavedMac(), "00:00:00:00:00:00");
}

TEST_F(MainWindowTest, CloseAsksOnlyOnceTheDevicesAreConfirmed)
{
    window->show();
    child<QPushButton>("closePushButton")->click();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(env.prompts.messages.empty());

    window->show();
    window->setConfirmed(true);
    child<QPushButton>("closePushButton")->click(); // the default answer: No
    ASSERT_EQ(env.prompts.messages.size(), 1u);
    const PromptMessage &ask = env.prompts.messages[0];
    EXPECT_EQ(ask.icon, QMessageBox::Warning);
    EXPECT_EQ(ask.parent, nullptr);
    EXPECT_EQ(ask.title, "QZ Config Tool");
    EXPECT_EQ(ask.text, "Exit the application?");
    EXPECT_EQ(ask.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(ask.defaultButton, QMessageBox::No);
    EXPECT_TRUE(window->isVisible());

    env.prompts.answers.push_back(QMessageBox::Yes);
    child<QPushButton>("closePushButton")->click();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, ClearLogAsksFirst)
{
    auto *log = child<QTextBrowser>("outputTextBrowser");
    log->append("Setup Network");
    env.prompts.answers = {QMessageBox::No, QMessageBox::Yes};
    child<QAction>("actionClear")->trigger();
    EXPECT_EQ(log->toPlainText(), "Setup Network");
    child<QAction>("actionClear")->trigger();
    EXPECT_TRUE(log->toPlainText().isEmpty());
    ASSERT_EQ(env.prompts.messages.size(), 2u);
    EXPECT_EQ(env.prompts.messages[0].icon, QMessageBox::Question);
    EXPECT_EQ(env.prompts.messages[0].parent, window.get());
    EXPECT_EQ(env.prompts.messages[0].text, "Clear log text.\nAre you sure?");
    EXPECT_EQ(env.prompts.messages[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(env.prompts.messages[0].defaultButton, QMessageBox::NoButton);
}

TEST_F(MainWindowTest, LegalShowsTheFileOrSaysItIsMissing)
{
    child<QAction>("actionLegal")->trigger();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(env.prompts.messages.size(), 1u);
    EXPECT_EQ(env.prompts.messages[0].icon, QMessageBox::Critical);
    EXPECT_EQ(env.prompts.messages[0].parent, window.get());
    EXPECT_EQ(env.prompts.messages[0].title, "QZ Config Tool");
    EXPECT_EQ(env.prompts.messages[0].text,
              "Setting file not found.\nCheck the \"Legal.txt\" is in the same directory as exe file.");
    EXPECT_EQ(env.prompts.messages[0].buttons, QMessageBox::Ok);
    EXPECT_TRUE(window->findChildren<LegalDialog *>().isEmpty()) << "no dialog stays";

    env.writeFile("Legal.txt", "Line <b>one</b>\n\nLine &amp; two\n");
    child<QAction>("actionLegal")->trigger();
    const auto dialogs = window->findChildren<LegalDialog *>();
    ASSERT_EQ(dialogs.size(), 1);
    EXPECT_TRUE(dialogs[0]->isVisible());
    EXPECT_FALSE(dialogs[0]->isModal());
    EXPECT_EQ(dialogs[0]->textBrowser()->toPlainText(), "Line <b>one</b>\n\nLine &amp; two\n");
    EXPECT_EQ(env.prompts.messages.size(), 1u);
    dialogs[0]->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window->findChildren<LegalDialog *>().isEmpty());
}

TEST_F(MainWindowTest, AboutRunsModally)
{
    QString first, second;
    env.prompts.onDialog = [&](QDialog &dialog) {
        EXPECT_NE(qobject_cast<AboutDialog *>(&dialog), nullptr);
        EXPECT_EQ(dialog.parentWidget(), window.get());
        first = dialog.findChild<QLabel *>("label_Text1")->text();
        second = dialog.findChild<QLabel *>("label_Text2")->text();
        return int(QDialog::Accepted);
    };
    child<QAction>("actionAboutQZConfig")->trigger();
    EXPECT_EQ(env.prompts.dialogsRun, 1);
    EXPECT_EQ(first, "QZ Config Tool V1.2.0");
    EXPECT_TRUE(second.startsWith("\n ")) << second.toStdString();
    EXPECT_GT(second.size(), 2);
    EXPECT_TRUE(window->findChildren<AboutDialog *>().isEmpty());
}

TEST_F(MainWindowTest, InterfaceNamesAreCutToTheLabel)
{
    QLabel *label = child<QLabel>("label_IfName");
    const QFontMetrics metrics = label->fontMetrics();
    EXPECT_EQ(window->elideText("eth0", label), "eth0");
    EXPECT_EQ(window->elideText("", label), "");

    const QString longName = QString(60, QLatin1Char('W'));
    const QString cut = window->elideText(longName, label);
    ASSERT_TRUE(cut.endsWith("...")) << cut.toStdString();
    const QString kept = cut.chopped(3);
    EXPECT_TRUE(longName.startsWith(kept));
    EXPECT_LT(metrics.horizontalAdvance(kept), 120);
    EXPECT_GE(metrics.horizontalAdvance(kept) + metrics.horizontalAdvance(QLatin1Char('W')), 120);

    const QString lines = "ab\ncd\n" + longName + "\nlast";
    const QString shown = window->elideText(lines, label);
    EXPECT_TRUE(shown.startsWith("ab\ncd\n")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("...")) << shown.toStdString();
    EXPECT_FALSE(shown.contains("last"));
}

} // namespace
