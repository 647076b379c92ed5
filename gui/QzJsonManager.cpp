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

bool QzJsonManager::readEntries(const QJsonArray &rxChs, QList<QVariantMap> &entries)
{
    for (const QJsonValue &element : rxChs) {
        const QJsonObject entry = element.toObject();
        int rxCh = 0, txCh = 0, txId = 0;
        bool hasRxCh = false, hasTxCh = false, hasId = false;
        QString txDevType;
        for (const QString &key : sortedKeys(entry)) {
            const QJsonValue value = entry.value(key);
            if (key == QLatin1String("rxCh")) {
                if (!integerPart(value, rxCh))
                    return false;
                hasRxCh = true;
            } else if (key == QLatin1String("txCh")) {
                if (!integerPart(value, txCh))
                    return false;
                hasTxCh = true;
            } else if (key == QLatin1String("id")) {
                if (!integerPart(value, txId))
                    return false;
                hasId = true;
            } else if (key == QLatin1String("devType")) {
                if (!value.isString())
                    return false;
                txDevType = value.toString();
            }
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

bool QzJsonManager::readDevice(const QJsonObject &device, bool withEntries, DeviceObject &out)
{
    QString idText;
    QString model;
    bool haveId = false, haveModel = false;
    for (const QString &key : sortedKeys(device)) {
        if (withEntries)
            qDebug("%s", qPrintable(key));
        const QJsonValue value = device.value(key);
        if (key == QLatin1String("id")) {
            int id = 0;
            if (!integerPart(value, id))
                return false;
            idText = QString::asprintf("%03d", id);
            haveId = true;
        } else if (key == QLatin1String("devType")) {
            if (!value.isString())
                return false;
            model = value.toString();
            haveModel = true;
        } else if (key == QLatin1String("rxChs") && withEntries) {
            if (!value.isArray())
                return false;
            if (!readEntries(value.toArray(), out.entries))
                return false;
        }
        if (!withEntries && haveId && haveModel)
            break;
    }
    out.key = makeDeviceKey(idText.toInt(nullptr, 10), model);
    return true;
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
