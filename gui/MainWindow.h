// The program's one window: the wanted device counts, the interface in use, the log pane and the
// Confirm / Apply / Close buttons, with the program's settings behind it.
#pragma once

#include "gui/AppServices.h"
#include "gui/QzJsonManager.h"

#include <QMainWindow>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

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

signals:
    void rcvSetPatch(int value);

public slots:
    void startup();
    void slotCallback(const QString &cmnd, const QVariantMap &info);
    void on_ktv4sSpinBox_valueChanged(int n);
    void on_closePushButton_clicked();
    void on_area1SpinBox_valueChanged(int);
    void on_area2SpinBox_valueChanged(int);
    void on_area3SpinBox_valueChanged(int);
    void on_area4SpinBox_valueChanged(int);

protected:
    // The window position saved before a restart, used once; the keys are emptied afterwards.
    void restoreWindowPosition();
    // The five wanted counts, each checked against its range.
    void restoreDeviceCounts();
    void withdrawConfirm();

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

public:
    // Pacing of Apply when "QZSetting.json" does not set "sendInterval".
    static constexpr int defaultSendInterval = 500;
};
