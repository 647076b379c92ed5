// Start-up, the interface check and switch, the interface chooser, browsing, and the dispatcher of
// veltoManager's reports.
#include "gui/MainWindow.h"

#include "gui/NicSelectDialog.h"
#include "gui/Scheduler.h"
#include "gui/UserPrompts.h"
#include "gui/veltoManager.h"
#include "ui_MainWindow.h"

#include <QCoreApplication>
#include <QSettings>

namespace {

const QString kTitle = QStringLiteral("QZ Config Tool");
const QString kNoMac = QStringLiteral("00:00:00:00:00:00");
const QString kIfName = QStringLiteral("ifName");
const QString kMacAddress = QStringLiteral("macAddress");
const QString kIpAddress = QStringLiteral("ipAddress");
const QString kApplicationFailed = QStringLiteral("Application execution failed.\nApplication will now close.");
const QString kPleaseWait = QStringLiteral("Please wait ...");

// Delays of the start-up and interface sequence, in milliseconds.
constexpr int kFirstInterfaceCheck = 12000; // start-up -> interface list
constexpr int kListToCheck = 2000;          // interface list -> interface check
constexpr int kReportToBrowse = 3000;       // interface in use -> browsing
constexpr int kBrowseToConfirm = 2000;      // browsing -> Confirm enabled
constexpr int kChooserToSwitch = 2000;      // chooser -> switch of interface
constexpr int kTerminateToReinit = 3000;

} // namespace

// ---- helpers ----

void MainWindow::log(const QString &text)
{
    ui->outputTextBrowser->append(text);
}

void MainWindow::showCritical(const QString &text)
{
    PromptMessage error;
    error.icon = QMessageBox::Critical;
    error.parent = this;
    error.title = kTitle;
    error.text = text;
    error.buttons = QMessageBox::Ok;
    services.promptsOrDefault().message(error);
}

void MainWindow::failApplication()
{
    showCritical(kApplicationFailed);
    close();
}

void MainWindow::later(int ms, std::function<void()> task)
{
    services.schedulerOrDefault().singleShot(ms, this, std::move(task));
}

void MainWindow::enterBusyState()
{
    for (QWidget *w : std::initializer_list<QWidget *>{ui->menuBar, ui->menuOutput, ui->menuAbout, ui->ktv4sSpinBox,
                                                       ui->area1SpinBox, ui->area2SpinBox, ui->area3SpinBox,
                                                       ui->area4SpinBox, ui->outputTextBrowser, this})
        w->setCursor(Qt::BusyCursor);
    for (QWidget *w : std::initializer_list<QWidget *>{ui->outputTextBrowser, ui->ktv4sSpinBox, ui->area1SpinBox,
                                                       ui->area2SpinBox, ui->area3SpinBox, ui->area4SpinBox})
        w->setEnabled(false);
}

void MainWindow::leaveBusyState()
{
    for (QWidget *w : std::initializer_list<QWidget *>{ui->menuBar, ui->menuOutput, ui->menuAbout, ui->ktv4sSpinBox,
                                                       ui->area1SpinBox, ui->area2SpinBox, ui->area3SpinBox,
                                                       ui->area4SpinBox, ui->outputTextBrowser, this})
        w->setCursor(Qt::ArrowCursor);
    ui->outputTextBrowser->setEnabled(true);
    ui->ktv4sSpinBox->setEnabled(true);
    // The areas above the KTV4-S count keep the state the count rule gave them.
    const int areas = ui->ktv4sSpinBox->value();
    QSpinBox *const areaBoxes[] = {ui->area1SpinBox, ui->area2SpinBox, ui->area3SpinBox, ui->area4SpinBox};
    for (int i = 0; i < 4 && i < areas; ++i)
        areaBoxes[i]->setEnabled(true);
}

// ---- start-up ----

void MainWindow::startup()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tormel"));
    QCoreApplication::setApplicationName(QStringLiteral("DIDodiviVidi"));
    QSettings::setDefaultFormat(QSettings::IniFormat);
    restoreWindowPosition();
    restoreDeviceCounts();

    bool filesOk = true;
    switch (jsonManager.loadSetting(services.filePath(QStringLiteral("QZSetting.json")), sendInterval)) {
    case QzJsonManager::CannotOpen:
        showCritical(QStringLiteral("Setting file not found.\n"
                                    "Check the \"QZSetting.json\" is in the same directory as exe file."));
        filesOk = false;
        break;
    case QzJsonManager::Unreadable:
        showCritical(QStringLiteral("Failed to read the setting file.\nCheck the contents of the \"QZSetting.json\"."));
        filesOk = false;
        break;
    default:
        break;
    }

    // The wrapper is started even when the settings file failed, so that both problems show.
    if (!manager || !manager->initApi()) {
        failApplication();
        return;
    }
    if (!filesOk) {
        close();
        return;
    }

    switch (jsonManager.loadPatch(services.filePath(QStringLiteral("QZVeltoPatch.json")))) {
    case QzJsonManager::CannotOpen:
        showCritical(QStringLiteral("Setting file not found.\nPlease check if the \"QZVeltoPatch.json\" file is in "
                                    "the same directory as the exe file."));
        close();
        return;
    case QzJsonManager::Unreadable:
        showCritical(QStringLiteral(
            "Failed to read the settings file.\nPlease check the contents of the \"QZVeltoPatch.json\" file."));
        close();
        return;
    default:
        break;
    }

    log(QStringLiteral("Setup Network"));
    log(kPleaseWait);
    later(kFirstInterfaceCheck, [this] { getIFList(); });
    enterBusyState();
}

// ---- interface check ----

void MainWindow::getIFList()
{
    chooserRequested = false;
    if (manager)
        manager->routeGet(QStringLiteral("veltoIfList"), QVariantMap());
    later(kListToCheck, [this] { checkIF(); });
}

void MainWindow::checkIF()
{
    const QString savedMac = loadSavedMac();
    wantedMac = kNoMac;
    for (const QVariant &item : qAsConst(interfaceList)) {
        if (item.toMap().value(kMacAddress).toString() == savedMac) {
            wantedMac = savedMac;
            break;
        }
    }
    later(0, [this] { getIF(); });
}

void MainWindow::getIF()
{
    currentIf.insert(kIfName, QStringLiteral("None"));
    currentIf.insert(kIpAddress, QStringLiteral("0.0.0.0"));
    currentIf.insert(kMacAddress, kNoMac);
    if (manager)
        manager->routeGet(QStringLiteral("veltoGetIf"), QVariantMap());
    awaitReport(AwaitedReport::InterfaceInUse);
}

void MainWindow::onNicSelected(const QVariantMap &info)
{
    reportArrived(AwaitedReport::InterfaceInUse);
    reportArrived(AwaitedReport::InterfaceSwitch);
    reportedIf.clear();
    reportedIf.insert(kIfName, info.value(kIfName));
    reportedIf.insert(kMacAddress, info.value(kMacAddress));
    later(0, [this] { slotVeltoNicSelect(); });
}

void MainWindow::slotVeltoNicSelect()
{
    // Switch to the wanted interface when another one is in use.
    if (wantedMac != kNoMac) {
        if (reportedIf.value(kMacAddress).toString() != wantedMac) {
            for (const QVariant &item : qAsConst(interfaceList)) {
                const QVariantMap entry = item.toMap();
                if (entry.value(kMacAddress).toString() != wantedMac)
                    continue;
                ifChanged = true;
                if (manager)
                    manager->routeSet(QStringLiteral("veltoSetIf"), entry);
                wantedMac = kNoMac;
                awaitReport(AwaitedReport::InterfaceSwitch);
                return;
            }
        }
        wantedMac = kNoMac;
    }

    // Show the interface in use and go on.
    const QString reportedName = reportedIf.value(kIfName).toString();
    for (int i = 0; i < interfaceList.size(); ++i) {
        const QVariantMap entry = interfaceList.at(i).toMap();
        if (entry.value(kIfName).toString() != reportedName)
            continue;
        chosenIfIndex = i;
        currentIf.insert(kIfName, entry.value(kIfName).toString());
        currentIf.insert(kIpAddress, entry.value(kIpAddress).toString());
        currentIf.insert(kMacAddress, entry.value(kMacAddress).toString());
        break;
    }
    ui->label_IfName->setText(elideText(currentIf.value(kIfName).toString(), ui->label_IfName));
    ui->label_IpAddress->setText(currentIf.value(kIpAddress).toString());
    ui->applyPushButton->setEnabled(false);
    ui->confirmPushButton->setEnabled(false);
    if (ifChanged) {
        restartOnNewInterface();
        return;
    }
    later(kReportToBrowse, [this] { startBrowse(); });
}

void MainWindow::restartOnNewInterface()
{
    ifChanged = false;
    if (applyStep != 0) {
        // Leaving in the middle of Apply would leave the devices half written.
        if (!restartPending)
            log(QStringLiteral("The network interface has changed.\n"
                               "The application will restart when the settings have been applied.\n"));
        restartPending = true;
        return;
    }
    // The new interface is in use: the program starts again on it.
    services.exitLoop(restartExitCode);
}

void MainWindow::restartIfPending()
{
    if (!restartPending)
        return;
    restartPending = false;
    services.exitLoop(restartExitCode);
}

// ---- the interface chooser ----

void MainWindow::on_actionNetworkList_clicked()
{
    ui->actionNetwork_List->setEnabled(false);
    chooserRequested = true;
    if (manager)
        manager->routeGet(QStringLiteral("veltoIfList"), QVariantMap());
    awaitReport(AwaitedReport::InterfaceList);
}

void MainWindow::onNicCollected()
{
    reportArrived(AwaitedReport::InterfaceList);
    QVariantMap unused;
    if (manager)
        manager->getResult(QStringLiteral("veltoIfListResult"), unused, interfaceList);
    if (chooserRequested)
        later(0, [this] { slotNicSelectDialog(); });
}

void MainWindow::slotNicSelectDialog()
{
    if (interfaceList.isEmpty()) {
        PromptMessage info;
        info.icon = QMessageBox::Information;
        info.parent = nullptr;
        info.title = QStringLiteral("NIC List");
        info.text = QStringLiteral("対応するインタフェースが存在しません。");
        info.buttons = QMessageBox::Ok;
        services.promptsOrDefault().message(info);
        ui->actionNetwork_List->setEnabled(true);
        return;
    }

    // The entry is taken from the list the user chose from, even if a newer list arrives meanwhile.
    const QVariantList shown = interfaceList;
    auto dialog = std::make_unique<NicSelectDialog>(shown, chosenIfIndex, this);
    const int result = services.promptsOrDefault().execDialog(*dialog);
    const int row = dialog->selectedRow();
    // OK without a chosen row leaves everything as Cancel does.
    if (result != QDialog::Accepted || row < 0 || row >= shown.size()) {
        dialog.reset();
        ui->actionNetwork_List->setEnabled(true);
        return;
    }

    chosenIfIndex = row;
    chosenIf = shown.at(row).toMap();
    ui->applyPushButton->setEnabled(false);
    ui->confirmPushButton->setEnabled(false);
    dialog.reset();
    enterBusyState();
    log(QStringLiteral("Change Network"));
    log(kPleaseWait);
    if (!stopBrowsing())
        return; // the window is closing
    saveSettings(chosenIf);
    if (currentIf.value(kIfName).toString() != chosenIf.value(kIfName).toString())
        later(kChooserToSwitch, [this] { setIF(); });
    else
        later(kReportToBrowse, [this] { startBrowse(); });
}

void MainWindow::setIF()
{
    ifChanged = true;
    if (manager)
        manager->routeSet(QStringLiteral("veltoSetIf"), chosenIf);
    awaitReport(AwaitedReport::InterfaceSwitch);
}

// ---- browsing ----

void MainWindow::startBrowse()
{
    // Browsing that still runs is stopped first, so that every device is reported again.
    if (browsing && !stopBrowsing())
        return;
    log(QStringLiteral("Browsing start"));
    log(QStringLiteral("OK"));
    QVariantMap args;
    args.insert(QStringLiteral("connect"), true);
    if (!manager || !manager->routeSet(QStringLiteral("vltMngConnect"), args)) {
        failApplication();
        return;
    }
    browsing = true;
    later(kBrowseToConfirm, [this] { enableConfirmNWList(); });
}

void MainWindow::stopBrowse()
{
    stopBrowsing();
}

bool MainWindow::stopBrowsing()
{
    QVariantMap args;
    args.insert(QStringLiteral("connect"), false);
    if (!manager || !manager->routeSet(QStringLiteral("vltMngConnect"), args)) {
        failApplication();
        return false;
    }
    browsing = false;
    return true;
}

void MainWindow::enableConfirmNWList()
{
    ui->actionNetwork_List->setEnabled(true);
    ui->confirmPushButton->setEnabled(true);
    leaveBusyState();
}

// ---- waiting for reports ----

void MainWindow::awaitReport(AwaitedReport report)
{
    awaitedReport = report;
    const quint64 wait = ++reportWait;
    later(reportTimeout, [this, wait] {
        if (wait == reportWait && awaitedReport != AwaitedReport::None)
            reportMissing(awaitedReport);
    });
}

void MainWindow::reportArrived(AwaitedReport report)
{
    if (awaitedReport != report)
        return;
    awaitedReport = AwaitedReport::None;
    ++reportWait;
}

void MainWindow::reportMissing(AwaitedReport report)
{
    awaitedReport = AwaitedReport::None;
    ++reportWait;
    switch (report) {
    case AwaitedReport::InterfaceInUse:
        log(QStringLiteral("Failed to get the network interface in use.\n"
                           "Please check the network settings of the PC.\n"));
        leaveBusyState();
        break;
    case AwaitedReport::InterfaceSwitch:
        // The switch is given up: a report that comes later is no longer its confirmation.
        ifChanged = false;
        log(QStringLiteral("Failed to change the network interface.\nPlease check the network settings of the PC.\n"));
        leaveBusyState();
        break;
    case AwaitedReport::InterfaceList:
        log(QStringLiteral("Failed to get the network interface list.\n"
                           "Please check the network settings of the PC.\n"));
        break;
    case AwaitedReport::None:
        return;
    }
    // The user can choose an interface; Confirm needs browsing and stays as it is.
    ui->actionNetwork_List->setEnabled(true);
}

// ---- the wrapper's stop and restart ----

void MainWindow::terminateAPI()
{
    if (manager)
        manager->terminateApi();
    later(kTerminateToReinit, [this] { reinitAPI(); });
}

void MainWindow::reinitAPI()
{
    if (manager)
        manager->reinitApi();
}

// ---- reports of veltoManager ----

void MainWindow::slotCallback(const QString &cmnd, const QVariantMap &info)
{
    if (cmnd == QLatin1String("vltApi_Clb_PreferredMaster"))
        onPreferredMasterAnswer(info);
    else if (cmnd == QLatin1String("vltApi_Clb_Patches"))
        onPatchesAnswer(info);
    else if (cmnd == QLatin1String("vltApi_Clb_Send_Patches"))
        onSendPatches(info);
    else if (cmnd == QLatin1String("vltApi_Clb_Error_SetStatus") || cmnd == QLatin1String("vltApi_Clb_Error_GetSetPrm"))
        onErrorAnswer(info, cmnd);
    else if (cmnd == QLatin1String("vltApi_Clb_Nic_Colect"))
        onNicCollected();
    else if (cmnd == QLatin1String("vltApi_Clb_Nic_Select"))
        onNicSelected(info);
}

void MainWindow::onSendPatches(const QVariantMap &info)
{
    if (applyStep == 0)
        return;
    // The batch was handed over; its result follows. Only a name that names no device is logged.
    QString deviceKey, line;
    answerDevice(info, deviceKey, line);
}

// ---- device keys ----

QString MainWindow::makeDeviceKey(int unitId, const QString &model)
{
    return QzJsonManager::makeDeviceKey(unitId, model);
}

bool MainWindow::splitDeviceKey(QString key, QString &unitId, QString &model)
{
    const QStringList parts = key.split(QLatin1Char(':'), Qt::KeepEmptyParts);
    bool ok = false;
    const uint id = parts.at(0).toUInt(&ok, 16);
    unitId = QString::number(id, 10);
    if (parts.size() < 2) {
        model.clear();
        return false;
    }
    model = parts.at(1);
    return ok;
}
