// The program's one window: the wanted device counts, the interface in use, the log pane and the
// Confirm / Apply / Close buttons, with the program's settings behind it. It runs the program's
// sequences on the GUI thread: start-up and the interface check (MainWindowNetwork.cpp), Confirm
// and Apply (MainWindowApply.cpp).
#pragma once

#include "gui/AppServices.h"
#include "gui/QzJsonManager.h"

#include <QMainWindow>
#include <QMap>
#include <QPair>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>

class ProgressDialog;
class QLabel;
class veltoManager;
namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const AppServices &services = AppServices(), QWidget *parent = nullptr);
    ~MainWindow() override;

    // The five device counts, group "DEVICE".
    void saveDeviceCounts();
    // The chosen interface's MAC, the five counts and the window's geometry, in one go.
    bool saveSettings(const QVariantMap &entry);
    // "NIC/MAC_Address" when it has six ':'-separated parts, else "00:00:00:00:00:00".
    QString loadSavedMac();
    // `text` cut to what fits 120 pixels of the label's font, "..." marking the cut.
    QString elideText(QString text, QLabel *label);

    // Menu entries (connected to the actions' triggered()).
    void on_actionClear_clicked();
    void on_actionLegal_clicked();
    void on_actionAboutQZConfig_clicked();
    void on_actionNetworkList_clicked();

    // A device key: the unit id as "%03X", ':' and the model.
    static QString makeDeviceKey(int unitId, const QString &model);
    // Splits a device key into its unit id (written in decimal) and its model; false when the
    // unit id is not hexadecimal or the key has no ':'.
    static bool splitDeviceKey(QString key, QString &unitId, QString &model);

signals:
    void rcvSetPatch(int value);

public slots:
    void startup();
    void startBrowse();
    void stopBrowse();
    void getIFList();
    void checkIF();
    void getIF();
    void setIF();
    void enableConfirmNWList();
    void terminateAPI();
    void reinitAPI();
    void slotCallback(const QString &cmnd, const QVariantMap &info);
    void setKtvPatch();
    void setRqaPatch();
    void startClear();
    void on_ktv4sSpinBox_valueChanged(int n);
    void on_confirmPushButton_clicked();
    void on_applyPushButton_clicked();
    void on_closePushButton_clicked();
    void on_area1SpinBox_valueChanged(int);
    void on_area2SpinBox_valueChanged(int);
    void on_area3SpinBox_valueChanged(int);
    void on_area4SpinBox_valueChanged(int);
    void slotNicSelectDialog();
    void slotVeltoNicSelect();
    void slotDialogCallback(int value);

public:
    // Exit code of the event loop that asks main for a restart.
    static constexpr int restartExitCode = 9999;
    // Pacing of Apply when "QZSetting.json" does not set "sendInterval".
    static constexpr int defaultSendInterval = 500;
    // How long a report of the interface in use, or an interface list the user asked for, may
    // take before the window stops waiting for it.
    static constexpr int reportTimeout = 30000;

protected:
    // ---- settings ----
    // The window position saved before a restart, used once; the keys are emptied afterwards.
    void restoreWindowPosition();
    // The five wanted counts, each checked against its range.
    void restoreDeviceCounts();
    void withdrawConfirm();

    // ---- start-up, interface and browsing ----
    void log(const QString &text);
    void showCritical(const QString &text);
    // "Application execution failed.": the message, then the window closes.
    void failApplication();
    void enterBusyState();
    void leaveBusyState();
    // Runs `task` after `ms` on the window.
    void later(int ms, std::function<void()> task);
    // Stops browsing; false (and the window closes) when that failed.
    bool stopBrowsing();
    void onNicCollected();
    void onNicSelected(const QVariantMap &info);
    void onSendPatches(const QVariantMap &info);
    // Reports the window waits for; a report that does not come within reportTimeout ends the
    // wait with a message.
    enum class AwaitedReport { None, InterfaceInUse, InterfaceSwitch, InterfaceList };
    void awaitReport(AwaitedReport report);
    void reportArrived(AwaitedReport report);
    void reportMissing(AwaitedReport report);
    // The restart onto a new interface; deferred while Apply runs, done once Apply has ended.
    void restartOnNewInterface();
    void restartIfPending();

    // ---- Confirm ----
    bool wantedDeviceKeys(QStringList &keys);
    bool foundDeviceKeys(QStringList &keys);
    bool checkDevices(const QStringList &wanted, const QStringList &found);
    void reportMissingDevices(const QStringList &lines);

    // ---- Apply ----
    // The device an answer names, while an Apply step holds queued devices.
    bool answerDevice(const QVariantMap &info, QString &deviceKey, QString &line);
    // answerDevice, and the device is the one whose command is in flight.
    bool answerOfDeviceInFlight(const QVariantMap &info, QString &deviceKey, QString &line);
    static bool deviceFromName(const QString &name, QString &deviceKey, QString &line);
    static bool deviceLineFromMap(const QVariantMap &map, QString &line);
    static QString deviceKeyOfMap(const QVariantMap &map);
    bool removeQueuedDevice(const QString &deviceKey);
    // The plan gives every wanted device its patches, with channels the devices have; reports
    // it when not.
    bool checkPlan(const QStringList &wantedKeys);
    // What stops the plan from being carried out for the wanted devices with `counts`, naming the
    // device and entry; empty when nothing does.
    QString planFault(const QStringList &wantedKeys, const QMap<QString, QPair<int, int>> &counts);
    // The plan's read-error text, then the fault that caused it.
    void refusePlan(const QString &fault);
    // Device key -> {transmit count, receive count} of the devices found.
    bool deviceChannelCounts(QMap<QString, QPair<int, int>> &counts);
    // Empties both queues and fills them with one map per wanted device.
    void queueWantedDevices(const QStringList &wantedKeys, bool preferredMaster);
    void startPreferredMaster(const QStringList &wantedKeys);
    void startClearStep(const QStringList &wantedKeys);
    void startPatchStep(const QStringList &wantedKeys);
    // Sends the running step's command for the head of `queue`.
    void sendHead(const QVariantList &queue);
    void sendNextHead();
    void nextCommand();
    void finishPatchStep();
    // Ends the running Apply, however it stops: nothing more is sent, no timer of it acts any
    // more, and the sequence is idle again (a restart that waited for it is done).
    void endApply();
    void reportApplyFailure();
    void onPreferredMasterAnswer(const QVariantMap &info);
    void onPatchesAnswer(const QVariantMap &info);
    void onErrorAnswer(const QVariantMap &info, const QString &callbackName);
    void closeProgressDialog();

    AppServices services;
    std::unique_ptr<Ui::MainWindow> ui;
    veltoManager *manager = nullptr;
    QzJsonManager jsonManager;
    ProgressDialog *progressDialog = nullptr;
    QVariantList ktvQueue;
    QVariantList rqaQueue;
    QStringList failedDevices;
    bool failureReported = false;
    bool confirmed = false;
    int applyStep = 0;
    int sendInterval = defaultSendInterval;
    QVariantList interfaceList;
    int chosenIfIndex = -1;
    QVariantMap currentIf;
    bool chooserRequested = false;
    QString wantedMac;
    bool ifChanged = false;
    QVariantMap reportedIf;

    // The interface entry the chooser was accepted with, kept for setIF.
    QVariantMap chosenIf;
    // Browsing was started and not stopped since.
    bool browsing = false;
    // The report waited for, and the number of its wait (a timer of an earlier wait does nothing).
    AwaitedReport awaitedReport = AwaitedReport::None;
    quint64 reportWait = 0;
    // Each Apply, and each end of one, takes a new number; its timers do nothing once it changed.
    quint64 applyGeneration = 0;
    // Key of the device whose command is waiting for its answer; empty when none is.
    QString deviceInFlight;
    // The interface switch took effect while Apply ran: the program restarts once Apply has ended.
    bool restartPending = false;
};
