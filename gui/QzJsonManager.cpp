#include "gui/QzJsonManager.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTextStream>
#include <QtDebug>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The integer part of a JSON number (250.9 gives 250). False for a value that is not a number or
// whose integer part does not fit an int.
bool integerPart(const QJsonValue &value, int &out)
{
    if (!value.isDouble())
        return false;
    const double d = std::trunc(value.toDouble());
    if (!std::isfinite(d) || d < std::numeric_limits<int>::min() || d > std::numeric_limits<int>::max())
        return false;
    out = static_cast<int>(d);
    return true;
}

// Keys in character-code order.
QStringList sortedKeys(const QJsonObject &object)
{
    QStringList keys = object.keys();
    std::sort(keys.begin(), keys.end());
    return keys;
}

} // namespace

QzJsonManager::QzJsonManager(QObject *parent) : QObject(parent) {}

QString QzJsonManager::makeDeviceKey(int unitId, const QString &model)
{
    return QString::asprintf("%03X", static_cast<unsigned>(unitId)) + QLatin1Char(':') + model;
}

int QzJsonManager::readDocument(const QString &path, QJsonObject &object)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return CannotOpen;
    // The locale's encoding unless the text starts with a byte-order mark.
    QTextStream stream(&file);
    stream.setAutoDetectUnicode(true);
    const QString text = stream.readAll();
    file.close();

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return Unreadable;
    object = document.isObject() ? document.object() : QJsonObject();
    return Loaded;
}

int QzJsonManager::loadSetting(const QString &path, int &sendInterval)
{
    QJsonObject object;
    const int rc = readDocument(path, object);
    if (rc != Loaded)
        return rc;
    for (const QString &key : sortedKeys(object)) {
        if (key != QLatin1String("sendInterval"))
            continue;
        int interval = 0;
        if (!integerPart(object.value(key), interval) || interval < 0)
            return Unreadable;
        sendInterval = interval;
    }
    return Loaded;
}

int QzJsonManager::loadPatch(const QString &path)
{
    QJsonObject object;
    const int rc = readDocument(path, object);
    if (rc == Loaded)
        plan = object;
    return rc;
}

bool QzJsonManager::planUsable() const
{
    if (plan.isEmpty())
        return false;
    const QStringList keys = sortedKeys(plan);
    if (keys.first() != QLatin1String("devs"))
        return false;
    return !plan.value(QLatin1String("devs")).toArray().isEmpty();
}

bool QzJsonManager::readEntries(const QJsonArray &rxChs, QList<QVariantMap> &entries, QString *fault)
{
    for (int index = 0; index < rxChs.size(); ++index) {
        const QJsonObject entry = rxChs.at(index).toObject();
        int rxCh = 0, txCh = 0, txId = 0;
        bool hasRxCh = false, hasTxCh = false, hasId = false;
        QString txDevType;
        for (const QString &key : sortedKeys(entry)) {
            const QJsonValue value = entry.value(key);
            bool good = true;
            if (key == QLatin1String("rxCh"))
                good = hasRxCh = integerPart(value, rxCh);
            else if (key == QLatin1String("txCh"))
                good = hasTxCh = integerPart(value, txCh);
            else if (key == QLatin1String("id"))
                good = hasId = integerPart(value, txId);
            else if (key == QLatin1String("devType"))
                good = value.isString();
            if (!good) {
                if (fault)
                    *fault = QStringLiteral(", entry %1 of \"rxChs\": \"%2\" must be a %3")
                                 .arg(index + 1)
                                 .arg(key, key == QLatin1String("devType") ? QStringLiteral("text")
                                                                           : QStringLiteral("number"));
                return false;
            }
            if (key == QLatin1String("devType"))
                txDevType = value.toString();
        }
        // An entry that does not say which channels it joins patches nothing.
        if (!hasRxCh || !hasTxCh || !hasId) {
            qWarning("patch plan: entry without \"rxCh\", \"txCh\" or \"id\" left out");
            continue;
        }
        QVariantMap map;
        map.insert(QStringLiteral("txDevType"), txDevType);
        map.insert(QStringLiteral("txId"), txId);
        map.insert(QStringLiteral("rxCh"), rxCh);
        map.insert(QStringLiteral("txCh"), txCh);
        entries.append(map);
    }
    return true;
}

bool QzJsonManager::readDevice(const QJsonObject &device, bool withEntries, DeviceObject &out, QString *fault)
{
    QString idText;
    QString model;
    bool haveId = false, haveModel = false;
    for (const QString &key : sortedKeys(device)) {
        if (withEntries)
            qDebug("%s", qPrintable(key));
        const QJsonValue value = device.value(key);
        QString wrong;
        if (key == QLatin1String("id")) {
            int id = 0;
            if (!integerPart(value, id)) {
                wrong = QStringLiteral(": \"id\" must be a number");
            } else {
                idText = QString::asprintf("%03d", id);
                haveId = true;
            }
        } else if (key == QLatin1String("devType")) {
            if (!value.isString()) {
                wrong = QStringLiteral(": \"devType\" must be a text");
            } else {
                model = value.toString();
                haveModel = true;
            }
        } else if (key == QLatin1String("rxChs") && withEntries) {
            if (!value.isArray())
                wrong = QStringLiteral(": \"rxChs\" must be an array");
            else if (!readEntries(value.toArray(), out.entries, fault))
                return false;
        }
        if (!wrong.isEmpty()) {
            if (fault)
                *fault = wrong;
            return false;
        }
        if (!withEntries && haveId && haveModel)
            break;
    }
    out.key = makeDeviceKey(idText.toInt(nullptr, 10), model);
    return true;
}

QString QzJsonManager::planFault() const
{
    const QString devs = QStringLiteral("devs");
    if (!plan.contains(devs))
        return QStringLiteral("the plan has no \"devs\"");
    const QString first = sortedKeys(plan).first();
    if (first != devs)
        return QStringLiteral("\"%1\" comes before \"devs\" in character order; \"devs\" must be the first key")
            .arg(first);
    const QJsonArray devices = plan.value(devs).toArray();
    if (devices.isEmpty())
        return QStringLiteral("\"devs\" must be an array that holds at least one device");
    for (int index = 0; index < devices.size(); ++index) {
        DeviceObject device;
        QString fault;
        if (!readDevice(devices.at(index).toObject(), true, device, &fault))
            return QStringLiteral("device %1 of \"devs\"").arg(index + 1) + fault;
    }
    return QString();
}

bool QzJsonManager::devicePatches(const QString &deviceKey, QList<QVariantMap> &entries)
{
    if (!planUsable())
        return true;
    const QJsonArray devs = plan.value(QLatin1String("devs")).toArray();
    for (const QJsonValue &element : devs) {
        DeviceObject device;
        if (!readDevice(element.toObject(), true, device))
            return false;
        if (device.key == deviceKey)
            entries = device.entries;
    }
    return true;
}

bool QzJsonManager::deviceKeys(QStringList &keys)
{
    if (!planUsable())
        return false;
    const QJsonArray devs = plan.value(QLatin1String("devs")).toArray();
    for (const QJsonValue &element : devs) {
        DeviceObject device;
        if (!readDevice(element.toObject(), false, device))
            return false;
        keys.append(device.key);
    }
    return true;
}
