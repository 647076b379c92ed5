// The program's two JSON files: "QZSetting.json" (the pacing of Apply) and "QZVeltoPatch.json"
// (the patch plan). Devices are named by their device key: the unit id as "%03X", ':' and the model.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QzJsonManager : public QObject {
    Q_OBJECT
public:
    // Return codes of the load operations.
    enum LoadResult { Loaded = 0, CannotOpen = 1, Unreadable = 2 };

    explicit QzJsonManager(QObject *parent = nullptr);

    // Replaces the stored plan by the file's object.
    virtual int loadPatch(const QString &path);
    // Reads "sendInterval" (milliseconds, integer part) into sendInterval when the file holds one;
    // a value that is not a number, or a negative one, is code 2.
    virtual int loadSetting(const QString &path, int &sendInterval);
    // Appends the key of every device object of the plan, in plan order.
    virtual bool deviceKeys(QStringList &keys);
    // Replaces entries with the patch entries of the device named by deviceKey (maps with
    // "txDevType", "txId", "rxCh", "txCh"); false when a device object of the plan is malformed.
    virtual bool devicePatches(const QString &deviceKey, QList<QVariantMap> &entries);

    // The plan has a non-empty "devs" array as its first key.
    bool planUsable() const;
    // What makes the plan unusable or a device object of it malformed, naming the place ("device 2
    // of \"devs\": \"id\" must be a number"); empty when there is nothing wrong with it.
    QString planFault() const;

    static QString makeDeviceKey(int unitId, const QString &model);

private:
    struct DeviceObject {
        QString key;
        QList<QVariantMap> entries;
    };
    static int readDocument(const QString &path, QJsonObject &object);
    // On failure `fault`, when given, says which value is wrong, going on from the name of the
    // device object (": \"id\" must be a number", ", entry 2 of \"rxChs\": ...").
    static bool readDevice(const QJsonObject &device, bool withEntries, DeviceObject &out, QString *fault = nullptr);
    static bool readEntries(const QJsonArray &rxChs, QList<QVariantMap> &entries, QString *fault);

    QJsonObject plan;
};
