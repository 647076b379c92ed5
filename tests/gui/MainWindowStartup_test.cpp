// Start-up, the interface check and switch, the chooser and browsing, driven on the manual
// scheduler with reports from the fake wrapper's own thread.
#include "gui/NicSelectDialog.h"
#include "tests/gui/support/MainWindowDriver.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTextBrowser>
#include <gtest/gtest.h>

namespace {

const NicEntry kEth0{"eth0", "00:11:22:33:44:55", "192.168.1.10"};
const NicEntry kEth1{"eth1", "66:77:88:99:AA:BB", "10.0.0.5"};
const NicEntry kWlan{"wlan0", "CC:DD:EE:FF:00:11", "172.16.0.2"};

const QString kAppFailed = "Application execution failed.\nApplication will now close.";

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { env.writeSampleFiles(); }

    void saveMac(const QString &mac)
    {
        auto s = env.settings();
        s->setValue("NIC/MAC_Address", mac);
    }
    template <typename T>
    T *child(const char *name)
    {
        T *w = drive.window->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    std::vector<int> delays() const
    {
        std::vector<int> out;
        for (const auto &r : env.scheduler.requests())
            out.push_back(r.delay);
        return out;
    }
    std::vector<std::string> messageTexts() const
    {
        std::vector<std::string> out;
        for (const PromptMessage &m : env.prompts.messages)
            out.push_back(m.text.toStdString());
        return out;
    }
    bool busy()
    {
        return drive.window->cursor().shape() == Qt::BusyCursor && !child<QTextBrowser>("outputTextBrowser")->isEnabled() &&
               !child<QSpinBox>("ktv4sSpinBox")->isEnabled() && !child<QSpinBox>("area1SpinBox")->isEnabled();
    }
    bool ready()
    {
        return child<QPushButton>("confirmPushButton")->isEnabled() && child<QAction>("actionNetwork_List")->isEnabled() &&
               !busy() && drive.window->cursor().shape() == Qt::ArrowCursor;
    }
    // Runs the chooser: `row` is made current (-1: none) and the dialog is answered with `ok`.
    void chooserAnswers(int row, bool ok)
    {
        env.prompts.onDialog = [row, ok, this](QDialog &dialog) {
            auto *chooser = qobject_cast<NicSelectDialog *>(&dialog);
            EXPECT_NE(chooser, nullptr);
            if (!chooser)
                return int(QDialog::Rejected);
            EXPECT_EQ(chooser->listWidget()->currentRow(), drive.window->chosenRow()) << "the interface in use is preselected";
            chooser->listWidget()->setCurrentRow(row);
            if (ok)
                chooser->slotClickOK();
            else
                chooser->slotClickCancel();
            return chooser->result();
        };
    }

    GuiTestEnvironment env;
    MainWindowDriver drive{env};
};

TEST_F(StartupTest, HappyStartUpChecksTheInterfaceThenBrowsesAndEnablesConfirm)
{
    saveMac(kEth1.mac);
    ProbeWindow &w = drive.create();
    EXPECT_TRUE(env.wrapper->ops().empty());

    env.scheduler.runDue();
    EXPECT_EQ(env.wrapper->ops(), (std::vector<std::string>{"init"}));
    EXPECT_EQ(env.wrapper->factoriesDeleted.load(), 1) << "the factory goes as soon as the wrapper exists";
    EXPECT_EQ(drive.logText(), MainWindowDriver::entries({"Setup Network", "Please wait ..."}));
    EXPECT_EQ(w.interval(), 500);
    EXPECT_TRUE(busy());
    EXPECT_EQ(drive.window->menuBar()->cursor().shape(), Qt::BusyCursor);

    env.scheduler.advance(11999);
    EXPECT_EQ(env.wrapper->ops().size(), 1u) << "nothing before 12000 ms";
    env.scheduler.advance(1);
    EXPECT_EQ(env.wrapper->ops().back(), "requestIfList");
    drive.reportInterfaces({kEth0, kEth1});
    EXPECT_EQ(w.interfaces().size(), 2);
    EXPECT_EQ(env.prompts.dialogsRun, 0) << "the start-up list does not open the chooser";

    env.scheduler.advance(1999);
    EXPECT_EQ(env.wrapper->ops().back(), "requestIfList");
    env.scheduler.advance(1);
    EXPECT_EQ(env.wrapper->ops().back(), "requestIf");
    EXPECT_EQ(w.wanted(), kEth1.mac);

    drive.reportInterfaceInUse(kEth1);
    env.scheduler.runDue();
    EXPECT_EQ(w.wanted(), "00:00:00:00:00:00");
    EXPECT_EQ(child<QLabel>("label_IfName")->text(), "eth1");
    EXPECT_EQ(child<QLabel>("label_IpAddress")->text(), "10.0.0.5");
    EXPECT_EQ(w.chosenRow(), 1);
    EXPECT_TRUE(env.wrapper->callsOf("setIf").empty());

    env.scheduler.advance(2999);
    EXPECT_EQ(env.wrapper->ops().back(), "requestIf");
    env.scheduler.advance(1);
    EXPECT_EQ(env.wrapper->ops().back(), "startBrowse");
    EXPECT_FALSE(ready());
    env.scheduler.advance(1999);
    EXPECT_FALSE(child<QPushButton>("confirmPushButton")->isEnabled());
    env.scheduler.advance(1);
    EXPECT_TRUE(ready());
    EXPECT_FALSE(child<QPushButton>("applyPushButton")->isEnabled());
    EXPECT_EQ(drive.logText(), MainWindowDriver::entries({"Setup Network", "Please wait ...", "Browsing start", "OK"}));

    EXPECT_EQ(env.wrapper->ops(),
              (std::vector<std::string>{"init", "requestIfList", "requestIf", "startBrowse"}));
    EXPECT_EQ(delays(), (std::vector<int>{0, 12000, 2000, 0, MainWindow::reportTimeout, 0, 3000, 2000}));
    EXPECT_TRUE(env.exitCodes.empty());
    EXPECT_TRUE(env.prompts.messages.empty());

    // The wait for the interface report has ended: its time-out does nothing.
    env.scheduler.advance(MainWindow::reportTimeout);
    EXPECT_EQ(drive.logText(), MainWindowDriver::entries({"Setup Network", "Please wait ...", "Browsing start", "OK"}));
}

TEST_F(StartupTest, AnotherInterfaceInUseIsSwitchedAndTheNextReportRestarts)
{
    saveMac(kEth1.mac);
    ProbeWindow &w = drive.create();
    env.scheduler.runDue();
    env.scheduler.advance(12000);
    drive.reportInterfaces({kEth0, kEth1});
    env.scheduler.advance(2000);
    drive.reportInterfaceInUse(kEth0);
    env.scheduler.runDue();

    const auto setIf = env.wrapper->callsOf("setIf");
    ASSERT_EQ(setIf.size(), 1u);
    EXPECT_EQ(setIf[0].ifName, L"eth1");
    EXPECT_EQ(setIf[0].mac, "66:77:88:99:AA:BB");
    EXPECT_TRUE(w.switchPending());
    EXPECT_TRUE(env.exitCodes.empty()) << "the program waits for the switch to take effect";

    env.scheduler.advance(10000);
    EXPECT_TRUE(env.wrapper->callsOf("startBrowse").empty()) << "no browsing while the switch is pending";

    // The next report, whatever it names, ends the event loop with the restart code.
    drive.reportInterfaceInUse(kEth0);
    env.scheduler.runDue();
    EXPECT_EQ(env.exitCodes, std::vector<int>{MainWindow::restartExitCode});
    EXPECT_EQ(env.wrapper->callsOf("setIf").size(), 1u);
    EXPECT_EQ(child<QLabel>("label_IfName")->text(), "eth0");
}

TEST_F(StartupTest, WhatIsWantedDecidesWhetherToSwitch)
{
    const struct {
        const char *what;
        const char *savedMac; // null: nothing saved
        bool listArrives;
        NicEntry inUse;
        bool switches;
        const char *shownName, *shownIp;
    } cases[] = {
        {"the wanted interface is in use", "66:77:88:99:AA:BB", true, kEth1, false, "eth1", "10.0.0.5"},
        {"nothing saved", nullptr, true, kEth0, false, "eth0", "192.168.1.10"},
        {"saved MAC not in the list", "01:02:03:04:05:06", true, kEth0, false, "eth0", "192.168.1.10"},
        {"saved MAC differs in letter case", "66:77:88:99:aa:bb", true, kEth0, false, "eth0", "192.168.1.10"},
        {"saved MAC with '-'", "66-77-88-99-AA-BB", true, kEth0, false, "eth0", "192.168.1.10"},
        {"saved MAC with five parts", "66:77:88:99:AA", true, kEth0, false, "eth0", "192.168.1.10"},
        {"list not there in time", "66:77:88:99:AA:BB", false, kEth0, false, "None", "0.0.0.0"},
        {"interface in use not in the list", nullptr, true, kWlan, false, "None", "0.0.0.0"},
        {"another interface in use", "66:77:88:99:AA:BB", true, kEth0, true, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        GuiTestEnvironment e;
        e.writeSampleFiles();
        if (c.savedMac)
            e.settings()->setValue("NIC/MAC_Address", QString::fromLatin1(c.savedMac));
        MainWindowDriver d(e);
        d.create();
        e.scheduler.runDue();
        e.scheduler.advance(12000);
        if (c.listArrives)
            d.reportInterfaces({kEth0, kEth1});
        e.scheduler.advance(2000);
        d.reportInterfaceInUse(c.inUse);
        e.scheduler.runDue();
        e.scheduler.advance(5000);
        EXPECT_EQ(e.wrapper->callsOf("setIf").size(), c.switches ? 1u : 0u);
        EXPECT_EQ(e.wrapper->callsOf("startBrowse").size(), c.switches ? 0u : 1u);
        EXPECT_EQ(d.window->wanted(), "00:00:00:00:00:00");
        if (!c.switches) {
            EXPECT_EQ(d.window->findChild<QLabel *>("label_IfName")->text(), QLatin1String(c.shownName));
            EXPECT_EQ(d.window->findChild<QLabel *>("label_IpAddress")->text(), QLatin1String(c.shownIp));
            EXPECT_TRUE(d.window->findChild<QPushButton *>("confirmPushButton")->isEnabled());
        }
    }
}

TEST_F(StartupTest, EveryStartUpFailureShowsItsMessageAndCloses)
{
    const QString settingMissing =
        "Setting file not found.\nCheck the \"QZSetting.json\" is in the same directory as exe file.";
    const QString settingBad = "Failed to read the setting file.\nCheck the contents of the \"QZSetting.json\".";
    const QString planMissing = "Setting file not found.\nPlease check if the \"QZVeltoPatch.json\" file is in the "
                                "same directory as the exe file.";
    const QString planBad = "Failed to read the settings file.\nPlease check the contents of the \"QZVeltoPatch.json\" file.";
    const struct {
        const char *what;
        std::function<void(GuiTestEnvironment &)> arrange;
        QStringList messages;
        bool initCalled;
    } cases[] = {
        {"settings file missing", [](GuiTestEnvironment &e) { QFile::remove(e.filePath("QZSetting.json")); },
         {settingMissing}, true},
        {"settings file not JSON", [](GuiTestEnvironment &e) { e.writeFile("QZSetting.json", "{\"sendInterval\": "); },
         {settingBad}, true},
        {"settings interval not a number",
         [](GuiTestEnvironment &e) { e.writeFile("QZSetting.json", "{\"sendInterval\": \"500\"}"); }, {settingBad}, true},
        {"settings file missing and the wrapper fails",
         [](GuiTestEnvironment &e) {
             QFile::remove(e.filePath("QZSetting.json"));
             e.wrapper->setAnswer("init", false);
         },
         {settingMissing, kAppFailed}, true},
        {"no wrapper factory", [](GuiTestEnvironment &e) { e.wrapper->factoryYieldsNothing = true; }, {kAppFailed}, false},
        {"factory yields no wrapper", [](GuiTestEnvironment &e) { e.wrapper->createYieldsNothing = true; }, {kAppFailed},
         false},
        {"wrapper does not initialise", [](GuiTestEnvironment &e) { e.wrapper->setAnswer("init", false); }, {kAppFailed},
         true},
        {"plan missing", [](GuiTestEnvironment &e) { QFile::remove(e.filePath("QZVeltoPatch.json")); }, {planMissing},
         true},
        {"plan not JSON", [](GuiTestEnvironment &e) { e.writeFile("QZVeltoPatch.json", "{\"devs\": [ {"); }, {planBad},
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        GuiTestEnvironment e;
        e.writeSampleFiles();
        c.arrange(e);
        MainWindowDriver d(e);
        d.create();
        e.scheduler.runDue();
        QStringList shown;
        for (const PromptMessage &m : e.prompts.messages) {
            shown << m.text;
            EXPECT_EQ(m.icon, QMessageBox::Critical);
            EXPECT_EQ(m.title, "QZ Config Tool");
            EXPECT_EQ(m.buttons, QMessageBox::Ok);
        }
        EXPECT_EQ(shown, c.messages);
        EXPECT_FALSE(d.window->isVisible()) << "the window closes";
        EXPECT_EQ(e.wrapper->callsOf("init").size(), c.initCalled ? 1u : 0u);
        EXPECT_EQ(e.scheduler.pendingCount(), 0) << "nothing goes on";
        EXPECT_TRUE(d.logText().isEmpty());
    }
}

TEST_F(StartupTest, RefusedBrowsingIsFatal)
{
    for (const char *op : {"startBrowse", "stopBrowse"}) {
        SCOPED_TRACE(op);
        GuiTestEnvironment e;
        e.writeSampleFiles();
        MainWindowDriver d(e);
        d.create();
        if (std::string(op) == "startBrowse") {
            e.wrapper->setAnswer("startBrowse", false);
            d.startUp({kEth0}, kEth0);
        } else {
            d.startUp({kEth0}, kEth0);
            e.wrapper->setAnswer("stopBrowse", false);
            e.prompts.onDialog = [](QDialog &dialog) {
                auto *chooser = qobject_cast<NicSelectDialog *>(&dialog);
                chooser->slotClickOK();
                return chooser->result();
            };
            d.window->findChild<QAction *>("actionNetwork_List")->trigger();
            d.reportInterfaces({kEth0});
            e.scheduler.runDue();
        }
        ASSERT_EQ(e.prompts.messages.size(), 1u);
        EXPECT_EQ(e.prompts.messages[0].text, kAppFailed);
        EXPECT_EQ(e.prompts.messages[0].icon, QMessageBox::Critical);
        EXPECT_FALSE(d.window->isVisible());
        e.scheduler.advance(60000);
        EXPECT_FALSE(d.window->findChild<QPushButton *>("confirmPushButton")->isEnabled());
    }
}

TEST_F(StartupTest, ChooserCancelKeepsEverything)
{
    saveMac(kEth0.mac);
    drive.create();
    drive.startUp({kEth0, kEth1}, kEth0);
    env.wrapper->clearCalls();
    const QString logBefore = drive.logText();

    for (int row : {1, -1}) {
        // Cancel, and OK with no row chosen, both leave everything as it was.
        SCOPED_TRACE(row);
        chooserAnswers(row, row >= 0 ? false : true);
        child<QAction>("actionNetwork_List")->trigger();
        EXPECT_FALSE(child<QAction>("actionNetwork_List")->isEnabled());
        EXPECT_EQ(env.wrapper->ops().back(), "requestIfList");
        drive.reportInterfaces({kEth0, kEth1});
        env.scheduler.runDue();
        EXPECT_TRUE(child<QAction>("actionNetwork_List")->isEnabled());
        env.scheduler.advance(10000);
        EXPECT_EQ(env.wrapper->ops(), (std::vector<std::string>(env.wrapper->ops().size(), "requestIfList")));
        EXPECT_EQ(env.settings()->value("NIC/MAC_Address").toString(), kEth0.mac);
        EXPECT_EQ(drive.logText(), logBefore);
        EXPECT_TRUE(ready());
    }
    EXPECT_EQ(env.prompts.dialogsRun, 2);
}

TEST_F(StartupTest, ChooserOnTheInterfaceInUseRestartsBrowsing)
{
    drive.create();
    drive.startUp({kEth0, kEth1}, kEth0);
    drive.window->move(70, 80);
    env.wrapper->clearCalls();
    chooserAnswers(0, true);
    child<QAction>("actionNetwork_List")->trigger();
    drive.reportInterfaces({kEth0, kEth1});
    env.scheduler.runDue();

    EXPECT_TRUE(busy());
    EXPECT_EQ(env.wrapper->ops(), (std::vector<std::string>{"requestIfList", "stopBrowse"}));
    auto s = env.settings();
    EXPECT_EQ(s->value("NIC/MAC_Address").toString(), kEth0.mac);
    EXPECT_EQ(s->value("APP/PosX").toInt(), drive.window->geometry().left());
    EXPECT_FALSE(s->value("APP/Height").toString().isEmpty());
    EXPECT_TRUE(drive.logText().endsWith(MainWindowDriver::entries({"Change Network", "Please wait ..."})));

    env.scheduler.advance(2999);
    EXPECT_EQ(env.wrapper->ops().back(), "stopBrowse");
    env.scheduler.advance(1);
    EXPECT_EQ(env.wrapper->ops(), (std::vector<std::string>{"requestIfList", "stopBrowse", "startBrowse"}));
    EXPECT_FALSE(child<QAction>("actionNetwork_List")->isEnabled());
    env.scheduler.advance(2000);
    EXPECT_TRUE(ready());
    EXPECT_TRUE(env.wrapper->callsOf("setIf").empty());
}

TEST_F(StartupTest, ChooserOnAnotherInterfaceSwitchesAndRestarts)
{
    drive.create();
    drive.startUp({kEth0, kEth1}, kEth0);
    env.wrapper->clearCalls();
    chooserAnswers(1, true);
    child<QAction>("actionNetwork_List")->trigger();
    drive.reportInterfaces({kEth0, kEth1});
    env.scheduler.runDue();
    EXPECT_EQ(env.settings()->value("NIC/MAC_Address").toString(), kEth1.mac);

    // A newer list arriving before the switch does not change what was chosen.
    env.prompts.onDialog = [](QDialog &) { return int(QDialog::Rejected); };
    drive.reportInterfaces({kWlan});
    env.scheduler.runDue();

    env.scheduler.advance(1999);
    EXPECT_TRUE(env.wrapper->callsOf("setIf").empty());
    env.scheduler.advance(1);
    const auto setIf = env.wrapper->callsOf("setIf");
    ASSERT_EQ(setIf.size(), 1u);
    EXPECT_EQ(setIf[0].ifName, L"eth1");
    EXPECT_TRUE(env.exitCodes.empty());

    drive.reportInterfaceInUse(kEth1);
    env.scheduler.runDue();
    EXPECT_EQ(env.exitCodes, std::vector<int>{MainWindow::restartExitCode});
    EXPECT_EQ(env.wrapper->callsOf("startBrowse").size(), 0u);
}

TEST_F(StartupTest, ChooserWithoutInterfacesSaysSo)
{
    drive.create();
    drive.startUp({kEth0}, kEth0);
    child<QAction>("actionNetwork_List")->trigger();
    // A report whose lists hold no interface.
    drive.report([](IVeltoNotify &notify) { notify.notifyIfList(1, {}, {}, {}); });
    EXPECT_TRUE(drive.window->interfaces().isEmpty());
    env.scheduler.runDue();
    ASSERT_EQ(env.prompts.messages.size(), 1u);
    const PromptMessage &box = env.prompts.messages[0];
    EXPECT_EQ(box.icon, QMessageBox::Information);
    EXPECT_EQ(box.parent, nullptr);
    EXPECT_EQ(box.title, "NIC List");
    EXPECT_EQ(box.text, QString::fromUtf8("\xE5\xAF\xBE\xE5\xBF\x9C\xE3\x81\x99\xE3\x82\x8B\xE3\x82\xA4\xE3\x83\xB3"
                                          "\xE3\x82\xBF\xE3\x83\x95\xE3\x82\xA7\xE3\x83\xBC\xE3\x82\xB9\xE3\x81\x8C"
                                          "\xE5\xAD\x98\xE5\x9C\xA8\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93"
                                          "\xE3\x80\x82"));
    EXPECT_EQ(env.prompts.dialogsRun, 0);
    EXPECT_TRUE(child<QAction>("actionNetwork_List")->isEnabled());
}

TEST_F(StartupTest, OnceAskedForEveryListOpensTheChooserUntilTheNextCheck)
{
    drive.create();
    drive.startUp({kEth0}, kEth0);
    chooserAnswers(0, false);
    child<QAction>("actionNetwork_List")->trigger();
    drive.reportInterfaces({kEth0});
    env.scheduler.runDue();
    EXPECT_EQ(env.prompts.dialogsRun, 1);
    drive.reportInterfaces({kEth0, kEth1});
    env.scheduler.runDue();
    EXPECT_EQ(env.prompts.dialogsRun, 2);
    drive.window->getIFList();
    drive.reportInterfaces({kEth0});
    env.scheduler.runDue();
    EXPECT_EQ(env.prompts.dialogsRun, 2);
}

TEST_F(StartupTest, UnaskedReportWhileReadyRestartsBrowsingAfterStoppingIt)
{
    drive.create();
    drive.startUp({kEth0, kEth1}, kEth0);
    drive.addDevice(MainWindowDriver::ktvName(1), "KTV4-S");
    child<QPushButton>("applyPushButton")->setEnabled(true);
    env.wrapper->clearCalls();

    drive.reportInterfaceInUse(kEth1);
    env.scheduler.runDue();
    EXPECT_EQ(child<QLabel>("label_IfName")->text(), "eth1");
    EXPECT_FALSE(child<QPushButton>("applyPushButton")->isEnabled());
    EXPECT_FALSE(child<QPushButton>("confirmPushButton")->isEnabled());
    env.scheduler.advance(3000);
    EXPECT_EQ(env.wrapper->ops(), (std::vector<std::string>{"stopBrowse", "startBrowse"}))
        << "browsing is stopped first so that every device is reported again";
    QStringList found;
    EXPECT_TRUE(drive.window->foundKeys(found));
    EXPECT_TRUE(found.isEmpty()) << "the device table starts empty";
    env.scheduler.advance(2000);
    EXPECT_TRUE(ready());
    EXPECT_TRUE(env.exitCodes.empty());
}

TEST_F(StartupTest, ReportsThatNeverComeEndTheWaitWithAMessage)
{
    const QString noInterface =
        "Failed to get the network interface in use.\nPlease check the network settings of the PC.\n";
    const QString noSwitch = "Failed to change the network interface.\nPlease check the network settings of the PC.\n";
    const QString noList = "Failed to get the network interface list.\nPlease check the network settings of the PC.\n";

    // The interface in use is never reported at start-up.
    {
        GuiTestEnvironment e;
        e.writeSampleFiles();
        MainWindowDriver d(e);
        d.create();
        e.scheduler.runDue();
        e.scheduler.advance(14000);
        e.scheduler.advance(MainWindow::reportTimeout - 1);
        EXPECT_FALSE(d.logText().contains(noInterface));
        e.scheduler.advance(1);
        EXPECT_TRUE(d.logText().endsWith(noInterface)) << d.logText().toStdString();
        EXPECT_EQ(d.window->cursor().shape(), Qt::ArrowCursor);
        EXPECT_TRUE(d.window->findChild<QSpinBox *>("ktv4sSpinBox")->isEnabled());
        EXPECT_TRUE(d.window->findChild<QAction *>("actionNetwork_List")->isEnabled());
        EXPECT_FALSE(d.window->findChild<QPushButton *>("confirmPushButton")->isEnabled());
        // A late report still goes on as usual.
        d.reportInterfaceInUse(kEth0);
        e.scheduler.runDue();
        e.scheduler.advance(5000);
        EXPECT_TRUE(d.window->findChild<QPushButton *>("confirmPushButton")->isEnabled());
    }
    // The switch is never confirmed.
    {
        GuiTestEnvironment e;
        e.writeSampleFiles();
        e.settings()->setValue("NIC/MAC_Address", kEth1.mac);
        MainWindowDriver d(e);
        d.create();
        e.scheduler.runDue();
        e.scheduler.advance(12000);
        d.reportInterfaces({kEth0, kEth1});
        e.scheduler.advance(2000);
        d.reportInterfaceInUse(kEth0);
        e.scheduler.runDue();
        ASSERT_EQ(e.wrapper->callsOf("setIf").size(), 1u);
        e.scheduler.advance(MainWindow::reportTimeout);
        EXPECT_TRUE(d.logText().endsWith(noSwitch));
        EXPECT_TRUE(d.window->findChild<QAction *>("actionNetwork_List")->isEnabled());
        EXPECT_TRUE(e.exitCodes.empty());
        // The switch was given up: a late report of the interface restarts nothing.
        EXPECT_FALSE(d.window->switchPending());
        d.reportInterfaceInUse(kEth1);
        e.scheduler.runDue();
        e.scheduler.advance(5000);
        EXPECT_TRUE(e.exitCodes.empty());
        EXPECT_TRUE(d.window->findChild<QPushButton *>("confirmPushButton")->isEnabled());
    }
    // The list asked for by Network List is never reported.
    {
        drive.create();
        drive.startUp({kEth0}, kEth0);
        child<QAction>("actionNetwork_List")->trigger();
        env.scheduler.advance(MainWindow::reportTimeout);
        EXPECT_TRUE(drive.logText().endsWith(noList));
        EXPECT_TRUE(child<QAction>("actionNetwork_List")->isEnabled());
        EXPECT_TRUE(ready());
    }
}

TEST_F(StartupTest, DispatcherComparesNamesExactly)
{
    drive.create();
    drive.startUp({kEth0}, kEth0);
    env.wrapper->clearCalls();
    const QString log = drive.logText();
    const size_t requests = env.scheduler.requests().size();
    for (const char *name : {"vltApi_Clb_Fin_Init", "vltapi_clb_nic_select", "VLTAPI_CLB_NIC_COLECT", "vltApi_Patches",
                             "vltApi_Clb_Patch", "vltApi_Clb_Nic_Select ", ""}) {
        QVariantMap info{{"ifName", "eth9"}, {"macAddress", "01:02:03:04:05:06"}};
        drive.window->slotCallback(QString::fromLatin1(name), info);
    }
    env.scheduler.advance(10000);
    EXPECT_EQ(env.scheduler.requests().size(), requests);
    EXPECT_EQ(drive.logText(), log);
    EXPECT_TRUE(env.wrapper->ops().empty());
    EXPECT_TRUE(ready());
}

TEST(DeviceKeys, SplitIntoUnitIdAndModel)
{
    const struct {
        const char *key;
        const char *unitId, *model;
        bool ok;
    } cases[] = {
        {"01A:KTV4-S", "26", "KTV4-S", true}, {"0G1:KTV4-S", "0", "KTV4-S", false},
        {"061:RQA-310", "97", "RQA-310", true}, {"001:", "1", "", true},
        {"001", "1", "", false},                {"", "0", "", false},
        {":RQA-310", "0", "RQA-310", false},   {"001:RQA:310", "1", "RQA", true},
    };
    for (const auto &c : cases) {
        QString unitId = "x", model = "x";
        EXPECT_EQ(MainWindow::splitDeviceKey(QString::fromLatin1(c.key), unitId, model), c.ok) << c.key;
        EXPECT_EQ(unitId, QLatin1String(c.unitId)) << c.key;
        EXPECT_EQ(model, QLatin1String(c.model)) << c.key;
    }
    EXPECT_EQ(MainWindow::makeDeviceKey(26, "RQA-310"), "01A:RQA-310");
    EXPECT_EQ(MainWindow::makeDeviceKey(97, "RQA-310"), "061:RQA-310");
}

} // namespace
