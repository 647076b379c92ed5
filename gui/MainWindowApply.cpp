// Confirm (the found devices against the wanted counts) and Apply: the preferred master, then the
// clear step, then the patch step, one device at a time.
#include "gui/MainWindow.h"

#include "gui/ProgressDialog.h"
#include "gui/veltoManager.h"
#include "ui_MainWindow.h"

namespace {

const QString kKtv = QStringLiteral("KTV4-S");
const QString kRqa = QStringLiteral("RQA-310");
const QString kUnitId = QStringLiteral("unitID");
const QString kModel = QStringLiteral("manfModel");
const QString kNetVeltoName = QStringLiteral("netVeltoName");
const QString kCommunicationFailed = QStringLiteral(
    "Device communication has failed.\nPlease check the network settings between the device and the PC.\n");
const QString kApplyFailed = QStringLiteral("Failed to apply settings.\nPlease check your device status.\n");
const QString kPlanUnreadable =
    QStringLiteral("Failed to read the settings file.\nPlease check the contents of the \"QZVeltoPatch.json\" file.");

// The most receive channels one batch carries, and the highest transmit channel number.
constexpr int kMaxBatchChannels = 256;
constexpr int kMaxTxChannel = 0xFFFE;
// From the last preferred-master answer to the clear step, in milliseconds.
constexpr int kPreferredMasterToClear = 3000;
// First unit id of each RQA-310 area: the areas own 1-25, 26-49, 50-73 and 74-97.
constexpr int kAreaFirstUnit[] = {1, 26, 50, 74};

QString deviceLine(uint unitId, const QString &model)
{
    return QStringLiteral("UnitID : ") + QStringLiteral("%1").arg(unitId, 3, 10, QLatin1Char('0')) +
           QStringLiteral(" Model : ") + model;
}

// A device as the plan names it: its model and its unit id in decimal ("RQA-310 id 26").
QString planDeviceName(const QString &key)
{
    QString unitId, model;
    if (!MainWindow::splitDeviceKey(key, unitId, model))
        return key;
    return model + QStringLiteral(" id ") + unitId;
}

} // namespace

// ---- Confirm ----

bool MainWindow::wantedDeviceKeys(QStringList &keys)
{
    const int ktv = ui->ktv4sSpinBox->value();
    for (int unit = 1; unit <= ktv; ++unit)
        keys << makeDeviceKey(unit, kKtv);
    const int areaCounts[] = {ui->area1SpinBox->value(), ui->area2SpinBox->value(), ui->area3SpinBox->value(),
                              ui->area4SpinBox->value()};
    // Area 1 always counts; area n only with at least n KTV4-S units.
    for (int area = 0; area < 4 && (area == 0 || area < ktv); ++area) {
        for (int i = 0; i < areaCounts[area]; ++i)
            keys << makeDeviceKey(kAreaFirstUnit[area] + i, kRqa);
    }
    return true;
}

bool MainWindow::foundDeviceKeys(QStringList &keys)
{
    if (!manager)
        return false;
    QVariantMap unused;
    QVariantList devices;
    if (!manager->getResult(QStringLiteral("veltoDevices"), unused, devices))
        return false;
    for (const QVariant &item : qAsConst(devices)) {
        const QVariantMap record = item.toMap();
        if (!record.value(QStringLiteral("connect")).toBool())
            continue;
        bool ok = false;
        uint unit = record.value(kUnitId).toString().toUInt(&ok, 16);
        if (!ok)
            unit = 0; // a name without a unit id never matches a wanted device
        keys << makeDeviceKey(static_cast<int>(unit), record.value(kModel).toString());
    }
    return true;
}

bool MainWindow::checkDevices(const QStringList &wanted, const QStringList &found)
{
    QStringList lines;
    for (const QString &key : wanted) {
        if (found.contains(key))
            continue;
        QString unitId, model;
        splitDeviceKey(key, unitId, model);
        lines << QStringLiteral("UnitID : ") + unitId + QStringLiteral(" ") + QStringLiteral("Model : ") + model;
    }
    if (lines.isEmpty())
        return true;
    reportMissingDevices(lines);
    return false;
}

void MainWindow::reportMissingDevices(const QStringList &lines)
{
    QString text = QStringLiteral("Could not detect device.\nPlease check the connection of the following device.\n");
    for (const QString &line : lines)
        text += line + QLatin1Char('\n');
    log(text);
}

void MainWindow::on_confirmPushButton_clicked()
{
    ui->actionNetwork_List->setEnabled(false);
    QStringList wanted, found;
    const bool haveWanted = wantedDeviceKeys(wanted);
    const bool haveFound = foundDeviceKeys(found);
    if (haveWanted && haveFound) {
        if (checkDevices(wanted, found)) {
            log(QStringLiteral("Device detection successful.\nPlease press the Apply button to apply settings.\n"));
            ui->applyPushButton->setEnabled(true);
            confirmed = true;
        } else {
            ui->applyPushButton->setEnabled(false);
        }
    } else if (!haveFound) {
        log(kCommunicationFailed);
        ui->applyPushButton->setEnabled(false);
    }
    ui->actionNetwork_List->setEnabled(true);
}

// ---- devices of answers and queues ----

bool MainWindow::deviceFromName(const QString &name, QString &deviceKey, QString &line)
{
    const QStringList parts = name.split(QLatin1Char('-'), Qt::KeepEmptyParts);
    if (parts.size() < 5)
        return false;
    // The unit id rule of device names: one 'T' (either case) and three hexadecimal digits.
    const QString digits = veltoManager::unitIdOf(parts.at(0));
    if (digits.isEmpty())
        return false;
    const uint unit = digits.toUInt(nullptr, 16);
    const QString model = parts.at(2) + QLatin1Char('-') + parts.at(3);
    if (model != kKtv && model != kRqa)
        return false;
    deviceKey = makeDeviceKey(static_cast<int>(unit), model);
    line = deviceLine(unit, model);
    return true;
}

bool MainWindow::deviceLineFromMap(const QVariantMap &map, QString &line)
{
    if (!map.contains(kUnitId) || !map.contains(kModel))
        return false;
    bool ok = false;
    const uint unit = map.value(kUnitId).toUInt(&ok);
    if (!ok)
        return false;
    line = deviceLine(unit, map.value(kModel).toString()) + QLatin1Char('\n');
    return true;
}

QString MainWindow::deviceKeyOfMap(const QVariantMap &map)
{
    return makeDeviceKey(map.value(kUnitId).toInt(), map.value(kModel).toString());
}

bool MainWindow::answerDevice(const QVariantMap &info, QString &deviceKey, QString &line)
{
    if (ktvQueue.isEmpty() && rqaQueue.isEmpty())
        return false;
    if (deviceFromName(info.value(kNetVeltoName).toString(), deviceKey, line))
        return true;
    log(QStringLiteral("Failed to communicate with the device.\nCheck the state of the devices.\n"));
    return false;
}

bool MainWindow::answerOfDeviceInFlight(const QVariantMap &info, QString &deviceKey, QString &line)
{
    if (!answerDevice(info, deviceKey, line))
        return false;
    // A late or repeated answer, or one for a device that has no command outstanding, moves nothing.
    if (deviceInFlight.isEmpty() || deviceKey != deviceInFlight)
        return false;
    deviceInFlight.clear();
    return true;
}

bool MainWindow::removeQueuedDevice(const QString &deviceKey)
{
    for (QVariantList *queue : {&ktvQueue, &rqaQueue}) {
        for (int i = 0; i < queue->size(); ++i) {
            if (deviceKeyOfMap(queue->at(i).toMap()) == deviceKey) {
                queue->removeAt(i);
                return true;
            }
        }
    }
    return false;
}

void MainWindow::queueWantedDevices(const QStringList &wantedKeys, bool preferredMaster)
{
    ktvQueue.clear();
    rqaQueue.clear();
    for (const QString &key : wantedKeys) {
        const QStringList parts = key.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        if (parts.size() < 2)
            continue;
        const uint unit = parts.at(0).toUInt(nullptr, 16);
        const QString model = parts.at(1);
        QVariantMap map;
        map.insert(kUnitId, unit);
        map.insert(kModel, model);
        if (preferredMaster)
            map.insert(QStringLiteral("isPrefferdMaster"), model == kKtv && unit == 1 ? 1 : 0);
        if (model == kKtv)
            ktvQueue.append(map);
        else if (model == kRqa)
            rqaQueue.append(map);
    }
}

// ---- Apply ----

bool MainWindow::deviceChannelCounts(QMap<QString, QPair<int, int>> &counts)
{
    if (!manager)
        return false;
    QVariantMap unused;
    QVariantList devices;
    if (!manager->getResult(QStringLiteral("veltoDevices"), unused, devices))
        return false;
    // The first record of a key counts, as when a command looks the device up.
    for (const QVariant &item : qAsConst(devices)) {
        const QVariantMap record = item.toMap();
        bool ok = false;
        uint unit = record.value(kUnitId).toString().toUInt(&ok, 16);
        if (!ok)
            unit = 0;
        const QString key = makeDeviceKey(static_cast<int>(unit), record.value(kModel).toString());
        if (!counts.contains(key))
            counts.insert(key, qMakePair(record.value(QStringLiteral("txChNum")).toInt(),
                                         record.value(QStringLiteral("rxChNum")).toInt()));
    }
    return true;
}

QString MainWindow::planFault(const QStringList &wantedKeys, const QMap<QString, QPair<int, int>> &counts)
{
    // Every device is cleared before it is patched: a plan that cannot be carried out for every
    // wanted device as it stands must not get that far. Each entry that will be sent names a
    // receive channel of its device and a transmit channel of a wanted transmitter, both within
    // the counts the devices reported.
    if (!jsonManager.planUsable())
        return jsonManager.planFault();
    for (const QString &key : wantedKeys) {
        QList<QVariantMap> entries;
        if (!jsonManager.devicePatches(key, entries))
            return jsonManager.planFault();
        const QString device = QStringLiteral("device ") + planDeviceName(key);
        const int rxCount = counts.value(key).second;
        if (rxCount < 1 || rxCount > kMaxBatchChannels)
            return device + QStringLiteral(": it reports %1 receive channels; 1 to %2 can be cleared and patched")
                                .arg(rxCount)
                                .arg(kMaxBatchChannels);
        for (const QVariantMap &entry : qAsConst(entries)) {
            const QString txKey = makeDeviceKey(entry.value(QStringLiteral("txId")).toInt(),
                                                entry.value(QStringLiteral("txDevType")).toString());
            if (!wantedKeys.contains(txKey))
                continue; // left out of the patch step
            const QPair<int, int> tx = counts.value(txKey);
            const int rxCh = entry.value(QStringLiteral("rxCh")).toInt();
            const int txCh = entry.value(QStringLiteral("txCh")).toInt();
            if (rxCh < 1 || rxCh > rxCount)
                return device + QStringLiteral(": \"rxCh\" %1 is outside 1 to %2, the receive channels of the device")
                                    .arg(rxCh)
                                    .arg(rxCount);
            const QString place = device + QStringLiteral(", \"rxCh\" %1: ").arg(rxCh);
            if (tx.second < 1)
                return place + QStringLiteral("the transmitting device ") + planDeviceName(txKey) +
                       QStringLiteral(" reports no receive channels and cannot be used");
            const int txLimit = qMin(tx.first, kMaxTxChannel);
            if (txCh < 1 || txCh > txLimit)
                return place + QStringLiteral("\"txCh\" %1 is outside 1 to %2, the transmit channels of ")
                                   .arg(txCh)
                                   .arg(txLimit) +
                       planDeviceName(txKey);
        }
    }
    return QString();
}

bool MainWindow::checkPlan(const QStringList &wantedKeys)
{
    QMap<QString, QPair<int, int>> counts;
    if (!deviceChannelCounts(counts)) {
        log(kCommunicationFailed);
        return false;
    }
    const QString fault = planFault(wantedKeys, counts);
    if (fault.isEmpty())
        return true;
    refusePlan(fault);
    return false;
}

void MainWindow::refusePlan(const QString &fault)
{
    log(kPlanUnreadable);
    log(QStringLiteral("QZVeltoPatch.json, ") + fault + QLatin1Char('.'));
}

void MainWindow::on_applyPushButton_clicked()
{
    ui->actionNetwork_List->setEnabled(false);
    QStringList wanted, found;
    wantedDeviceKeys(wanted);
    if (!foundDeviceKeys(found)) {
        log(kCommunicationFailed);
        ui->applyPushButton->setEnabled(false);
        ui->actionNetwork_List->setEnabled(true);
        return;
    }
    ui->applyPushButton->setEnabled(false);
    if (!checkDevices(wanted, found))
        return;
    if (!checkPlan(wanted)) {
        ui->actionNetwork_List->setEnabled(true);
        return;
    }
    failureReported = false;
    startPreferredMaster(wanted);
}

void MainWindow::startPreferredMaster(const QStringList &wantedKeys)
{
    ++applyGeneration;
    deviceInFlight.clear();
    queueWantedDevices(wantedKeys, true);
    applyStep = 1;
    sendNextHead();
}

void MainWindow::onPreferredMasterAnswer(const QVariantMap &info)
{
    if (applyStep != 1)
        return;
    QString deviceKey, line;
    if (!answerOfDeviceInFlight(info, deviceKey, line))
        return;
    const bool removed = removeQueuedDevice(deviceKey);
    if (info.value(QStringLiteral("result")).toUInt() != 0) {
        // Nothing more is sent; Confirm and Apply start again.
        reportApplyFailure();
        if (removed) {
            log(line);
            log(deviceKey);
        }
        endApply();
        return;
    }
    if (ktvQueue.isEmpty() && rqaQueue.isEmpty()) {
        const quint64 generation = applyGeneration;
        later(kPreferredMasterToClear, [this, generation] {
            if (generation == applyGeneration)
                startClear();
        });
        return;
    }
    sendNextHead();
}

void MainWindow::startClear()
{
    QStringList wanted, found;
    wantedDeviceKeys(wanted);
    if (!foundDeviceKeys(found)) {
        log(kCommunicationFailed);
        ui->applyPushButton->setEnabled(false);
        endApply();
        return;
    }
    ui->applyPushButton->setEnabled(false);
    if (!checkDevices(wanted, found) || !checkPlan(wanted)) {
        endApply();
        return;
    }
    startClearStep(wanted);
}

void MainWindow::startClearStep(const QStringList &wantedKeys)
{
    queueWantedDevices(wantedKeys, false);
    failedDevices.clear();
    const int maximum = 2 * static_cast<int>(ktvQueue.size() + rqaQueue.size());
    closeProgressDialog();
    progressDialog = new ProgressDialog(maximum, this);
    connect(this, &MainWindow::rcvSetPatch, progressDialog, &ProgressDialog::slotSetValue);
    progressDialog->show();
    applyStep = 2;
    sendNextHead();
}

void MainWindow::startPatchStep(const QStringList &wantedKeys)
{
    // Devices whose clear failed stay failed unless this step patches them.
    const QStringList clearFailed = failedDevices;
    ktvQueue.clear();
    rqaQueue.clear();
    failedDevices.clear();
    for (const QString &key : wantedKeys) {
        QList<QVariantMap> entries;
        if (!jsonManager.devicePatches(key, entries)) {
            refusePlan(jsonManager.planFault());
            endApply();
            return;
        }
        QVariantList patches;
        for (const QVariantMap &entry : qAsConst(entries)) {
            const int txId = entry.value(QStringLiteral("txId")).toInt();
            const QString txModel = entry.value(QStringLiteral("txDevType")).toString();
            if (!wantedKeys.contains(makeDeviceKey(txId, txModel)))
                continue;
            QVariantMap patch;
            patch.insert(kUnitId, txId);
            patch.insert(kModel, txModel);
            patch.insert(QStringLiteral("txCh"), entry.value(QStringLiteral("txCh")).toInt());
            patch.insert(QStringLiteral("rxCh"), entry.value(QStringLiteral("rxCh")).toInt());
            patches.append(patch);
        }
        if (patches.isEmpty())
            continue;
        const QStringList parts = key.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        QVariantMap map;
        map.insert(QStringLiteral("txChPatch"), patches);
        map.insert(kUnitId, parts.at(0).toUInt(nullptr, 16));
        map.insert(kModel, parts.value(1));
        if (parts.value(1) == kKtv)
            ktvQueue.append(map);
        else if (parts.value(1) == kRqa)
            rqaQueue.append(map);
    }
    for (const QString &key : clearFailed) {
        bool queued = false;
        for (const QVariantList *queue : {&ktvQueue, &rqaQueue}) {
            for (const QVariant &item : *queue)
                queued = queued || deviceKeyOfMap(item.toMap()) == key;
        }
        if (!queued)
            failedDevices << key;
    }
    applyStep = 3;
    if (ktvQueue.isEmpty() && rqaQueue.isEmpty())
        finishPatchStep();
    else
        sendNextHead();
}

void MainWindow::sendHead(const QVariantList &queue)
{
    if (queue.isEmpty())
        return;
    QString command;
    switch (applyStep) {
    case 1:
        command = QStringLiteral("veltopreferredMaster");
        break;
    case 2:
        command = QStringLiteral("veltoPatchClear");
        break;
    case 3:
        command = QStringLiteral("veltoPatch");
        break;
    default:
        return;
    }
    // The head stays queued until its answer removes it.
    const QVariantMap head = queue.first().toMap();
    deviceInFlight = deviceKeyOfMap(head);
    if (manager && manager->routeSet(command, head))
        return;
    endApply();
    log(kApplyFailed);
    QString line;
    if (deviceLineFromMap(head, line))
        log(line);
}

void MainWindow::sendNextHead()
{
    sendHead(ktvQueue.isEmpty() ? rqaQueue : ktvQueue);
}

void MainWindow::setKtvPatch()
{
    if (applyStep == 2 || applyStep == 3)
        sendHead(ktvQueue);
}

void MainWindow::setRqaPatch()
{
    if (applyStep == 2 || applyStep == 3)
        sendHead(rqaQueue);
}

void MainWindow::reportApplyFailure()
{
    if (failureReported)
        return;
    failureReported = true;
    log(kApplyFailed);
}

void MainWindow::onPatchesAnswer(const QVariantMap &info)
{
    if (applyStep != 2 && applyStep != 3)
        return;
    QString deviceKey, line;
    if (!answerOfDeviceInFlight(info, deviceKey, line))
        return;
    const bool removed = removeQueuedDevice(deviceKey);
    if (info.value(QStringLiteral("result")).toUInt() != 0) {
        reportApplyFailure();
        if (removed) {
            log(line);
            failedDevices << deviceKey;
        }
    }
    if (removed)
        emit rcvSetPatch(1);
    nextCommand();
}

void MainWindow::onErrorAnswer(const QVariantMap &info, const QString &callbackName)
{
    if (applyStep == 0)
        return;
    QString deviceKey, line, text;
    if (callbackName == QLatin1String("vltApi_Clb_Error_SetStatus")) {
        if (!answerDevice(info, deviceKey, line))
            return;
        text = line + QStringLiteral(" ErrorCode:") + QString::number(info.value(QStringLiteral("devState")).toInt());
    } else {
        text = QStringLiteral("UnitID:Unknown Model:Unknown");
        // The device is still identified by the name the answer carries, without a message of its own.
        if (!deviceFromName(info.value(kNetVeltoName).toString(), deviceKey, line))
            return;
    }
    // An error answer is final: no further answer follows for this command.
    if ((applyStep != 2 && applyStep != 3) || deviceInFlight.isEmpty() || deviceKey != deviceInFlight)
        return;
    deviceInFlight.clear();
    reportApplyFailure();
    log(text);
    if (removeQueuedDevice(deviceKey)) {
        failedDevices << deviceKey;
        emit rcvSetPatch(1);
    }
    nextCommand();
}

void MainWindow::nextCommand()
{
    if (!ktvQueue.isEmpty() || !rqaQueue.isEmpty()) {
        const bool ktv = !ktvQueue.isEmpty();
        const quint64 generation = applyGeneration;
        later(sendInterval, [this, ktv, generation] {
            if (generation != applyGeneration)
                return;
            if (ktv)
                setKtvPatch();
            else
                setRqaPatch();
        });
        return;
    }
    if (applyStep == 2) {
        QStringList wanted, found;
        wantedDeviceKeys(wanted);
        if (!foundDeviceKeys(found)) {
            log(kCommunicationFailed);
            ui->applyPushButton->setEnabled(false);
            return;
        }
        if (!checkDevices(wanted, found)) {
            // The step stands until the user aborts.
            ui->applyPushButton->setEnabled(false);
            return;
        }
        failureReported = false;
        startPatchStep(wanted);
        return;
    }
    if (applyStep == 3)
        finishPatchStep();
}

void MainWindow::finishPatchStep()
{
    if (failedDevices.isEmpty())
        log(QStringLiteral("Apply succeed.\n"));
    closeProgressDialog();
    endApply();
}

void MainWindow::endApply()
{
    failureReported = false;
    confirmed = false;
    applyStep = 0;
    ++applyGeneration;
    deviceInFlight.clear();
    ktvQueue.clear();
    rqaQueue.clear();
    restartIfPending();
}

void MainWindow::closeProgressDialog()
{
    if (!progressDialog)
        return;
    progressDialog->close();
    progressDialog->deleteLater();
    progressDialog = nullptr;
}

void MainWindow::slotDialogCallback(int value)
{
    if (value == 1) {
        log(QStringLiteral("Apply aborted.\n"));
        endApply();
        ui->actionNetwork_List->setEnabled(true);
        // The dialog closes itself; it goes once its abort has been handled.
        if (progressDialog) {
            progressDialog->deleteLater();
            progressDialog = nullptr;
        }
    } else if (value == 0) {
        ui->actionNetwork_List->setEnabled(true);
    }
}
