// Drives the main window through its sequences the way veltoWrapper and the user would: reports
// come from a worker thread of the fake wrapper and reach the window through Qt's queued
// connection; time passes only on the manual scheduler.
#pragma once

#include "gui/MainWindow.h"
#include "tests/gui/support/GuiTestEnvironment.h"

#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The main window with its sequence state readable.
class ProbeWindow : public MainWindow {
public:
    using MainWindow::MainWindow;

    int step() const { return applyStep; }
    bool isConfirmed() const { return confirmed; }
    void setConfirmed(bool on) { confirmed = on; }
    bool isFailureReported() const { return failureReported; }
    ProgressDialog *progress() const { return progressDialog; }
    int interval() const { return sendInterval; }
    const QVariantList &interfaces() const { return interfaceList; }
    int chosenRow() const { return chosenIfIndex; }
    const QVariantMap &shownInterface() const { return currentIf; }
    const QString &wanted() const { return wantedMac; }
    bool switchPending() const { return ifChanged; }
    void setSwitchPending(bool on) { ifChanged = on; }
    const QVariantList &ktv() const { return ktvQueue; }
    const QVariantList &rqa() const { return rqaQueue; }
    const QStringList &failed() const { return failedDevices; }

    QStringList wantedKeys()
    {
        QStringList keys;
        wantedDeviceKeys(keys);
        return keys;
    }
    bool foundKeys(QStringList &keys) { return foundDeviceKeys(keys); }
    bool check(const QStringList &wanted, const QStringList &found) { return checkDevices(wanted, found); }
    using MainWindow::deviceFromName;
    using MainWindow::deviceLineFromMap;
};

struct NicEntry {
    QString name;
    QString mac;
    QString ip;
};

class MainWindowDriver {
public:
    explicit MainWindowDriver(GuiTestEnvironment &env) : env(env) {}

    // Constructs the window and shows it; start-up is then due.
    ProbeWindow &create();
    ProbeWindow &create(const AppServices &services);
    // Lets the queued reports of the worker reach the window.
    void deliver();
    // Runs `report` on a worker thread, then delivers what it emitted.
    void report(const std::function<void(IVeltoNotify &)> &report);
    void reportInterfaces(const std::vector<NicEntry> &nics);
    void reportInterfaceInUse(const NicEntry &nic);
    void addDevice(const std::string &name, const std::string &model);
    void setConnected(const std::string &name, bool connected);
    void answerPreferredMaster(const std::string &device, unsigned short status);
    void answerBatch(const std::string &device, unsigned short status);

    // From construction to the ready state: start-up, the interface list, the interface in use
    // (`inUse`), browsing and Confirm enabled.
    void startUp(const std::vector<NicEntry> &nics, const NicEntry &inUse);

    // The log pane's text, and the text a list of log entries gives there.
    QString logText() const;
    static QString entries(const QStringList &appended);

    // Device names as the devices announce themselves.
    static std::string ktvName(int unit);
    static std::string rqaName(int unit);

    GuiTestEnvironment &env;
    std::unique_ptr<ProbeWindow> window;
};
