#include "gui/veltoManager.h"

#include <mutex>
#include <QStringList>

#include <map>

namespace {

const QString kNetVeltoName = QStringLiteral("netVeltoName");
const QString kResult = QStringLiteral("result");

// The most receive channels one batch can carry.
constexpr int kMaxBatchChannels = 256;
// Transmit channel numbers that name a channel (0 and 0xFFFF mean "none").
constexpr int kMinTxChannel = 1;
constexpr int kMaxTxChannel = 0xFFFE;

QVariantMap resultMap(const std::string &device, unsigned short status)
{
    QVariantMap map;
    map.insert(kNetVeltoName, QString::fromStdString(device));
    map.insert(kResult, QVariant::fromValue<ushort>(status));
    return map;
}

} // namespace

veltoManager::veltoManager(VeltoFactoryFunction factory) : QObject(nullptr), factory(std::move(factory)) {}

veltoManager::~veltoManager()
{
    // veltoWrapper's destructor ends its worker; no report arrives once it has returned.
    if (wrapper) {
        IVeltoWrapper *w = wrapper;
        wrapper = nullptr;
        delete w;
    }
}

// ---- API lifecycle ----

bool veltoManager::initApi()
{
    return createApi();
}

bool veltoManager::createApi()
{
    if (!wrapper && factory) {
        if (IVeltoFactory *f = factory()) {
            wrapper = f->create(this);
            delete f;
        }
    }
    if (!wrapper)
        return false;
    return wrapper->init();
}

bool veltoManager::terminateApi()
{
    return wrapper ? wrapper->stop() : false;
}

bool veltoManager::reinitApi()
{
    return wrapper ? wrapper->init() : false;
}

// ---- commands ----

bool veltoManager::routeGet(const QString &cmd, const QVariantMap &args)
{
    if (cmd == QLatin1String("vltMngPatch"))
        return requestPatches(cmd, args);
    if (cmd == QLatin1String("veltoGetIf"))
        return requestCurrentIf(cmd, args);
    if (cmd == QLatin1String("veltoIfList"))
        return requestIfList(cmd, args);
    return false;
}

bool veltoManager::routeSet(const QString &cmd, const QVariantMap &args)
{
    if (cmd == QLatin1String("vltMngConnect"))
        return connectDevices(cmd, args);
    if (cmd == QLatin1String("veltoPatch"))
        return setPatch(cmd, args);
    if (cmd == QLatin1String("veltoPatchClear"))
        return clearPatch(cmd, args);
    if (cmd == QLatin1String("veltopreferredMaster"))
        return setPreferredMaster(cmd, args);
    if (cmd == QLatin1String("veltoSetIf"))
        return setIf(cmd, args);
    return false;
}

bool veltoManager::routeUp(QVariant &, QVariant &, baseRouter *)
{
    return true;
}

bool veltoManager::connectDevices(const QString &, const QVariantMap &args)
{
    if (!wrapper)
        return false;
    if (args.value(QStringLiteral("connect")).toBool()) {
        {
            std::lock_guard<std::mutex> lock(tableLock);
            deviceTable.clear();
        }
        return wrapper->startBrowse();
    }
    return wrapper->stopBrowse();
}

bool veltoManager::requestPatches(const QString &, const QVariantMap &args)
{
    if (!wrapper)
        return false;
    return wrapper->requestPatchList(args.value(kNetVeltoName).toString().toStdString());
}

bool veltoManager::requestIfList(const QString &, const QVariantMap &)
{
    if (!wrapper)
        return false;
    wrapper->requestIfList();
    return true;
}

bool veltoManager::requestCurrentIf(const QString &, const QVariantMap &)
{
    if (!wrapper)
        return false;
    wrapper->requestIf();
    return true;
}

bool veltoManager::setIf(const QString &, const QVariantMap &args)
{
    if (!wrapper)
        return false;
    const std::wstring name = toWide(args.value(QStringLiteral("ifName")).toString());
    const std::string mac = args.value(QStringLiteral("macAddress")).toString().toStdString();
    return wrapper->setIf(name, mac);
}

bool veltoManager::findDevice(const int &unitId, const QString &model, QString &name, int &rxChNum)
{
    std::lock_guard<std::mutex> lock(tableLock);
    for (auto it = deviceTable.constBegin(); it != deviceTable.constEnd(); ++it) {
        const QVariantMap record = it.value().toMap();
        bool ok = false;
        uint id = record.value(QStringLiteral("unitID")).toString().toUInt(&ok, 16);
        if (!ok)
            id = 0;
        if (static_cast<long long>(id) != unitId || record.value(QStringLiteral("manfModel")).toString() != model)
            continue;
        name = it.key();
        rxChNum = record.value(QStringLiteral("rxChNum")).toInt();
        break;
    }
    return true;
}

bool veltoManager::findReceiver(const QVariantMap &args, QString &name, int &rxChNum)
{
    name.clear();
    rxChNum = 0;
    findDevice(args.value(QStringLiteral("unitID")).toInt(), args.value(QStringLiteral("manfModel")).toString(),
               name, rxChNum);
    return !name.isEmpty() && rxChNum >= 1 && rxChNum <= kMaxBatchChannels;
}

bool veltoManager::clearPatch(const QString &, const QVariantMap &args)
{
    QString name;
    int rxChNum = 0;
    if (!wrapper || !findReceiver(args, name, rxChNum))
        return false;
    const std::list<wfa_patch_entry> entries(static_cast<size_t>(rxChNum), wfa_patch_entry{std::string(), 0xFFFF});
    return wrapper->setBatchPatch(name.toStdString(), static_cast<unsigned short>(rxChNum), entries);
}

bool veltoManager::setPatch(const QString &, const QVariantMap &args)
{
    QString name;
    int rxChNum = 0;
    if (!wrapper || !findReceiver(args, name, rxChNum))
        return false;

    // Receive channel -> {transmit device, transmit channel}; a later patch of a channel wins.
    std::map<int, std::pair<QString, QVariant>> patches;
    const QVariantList txChPatch = args.value(QStringLiteral("txChPatch")).toList();
    for (const QVariant &item : txChPatch) {
        const QVariantMap patch = item.toMap();
        QString txName;
        int txRxChNum = 0;
        findDevice(patch.value(QStringLiteral("unitID")).toInt(), patch.value(QStringLiteral("manfModel")).toString(),
                   txName, txRxChNum);
        if (txName.isEmpty() || txRxChNum == 0)
            continue;
        patches[patch.value(QStringLiteral("rxCh")).toInt()] = {txName, patch.value(QStringLiteral("txCh"))};
    }

    std::list<wfa_patch_entry> entries;
    for (int rxCh = 1; rxCh <= rxChNum; ++rxCh) {
        auto it = patches.find(rxCh);
        if (it == patches.end()) {
            entries.push_back(wfa_patch_entry{std::string(), 0xFFFF});
            continue;
        }
        // A channel number that does not fit the wire is refused rather than cut to 16 bits.
        bool ok = false;
        const int txCh = it->second.second.toInt(&ok);
        if (!ok || txCh < kMinTxChannel || txCh > kMaxTxChannel)
            return false;
        entries.push_back(wfa_patch_entry{it->second.first.toStdString(), static_cast<unsigned short>(txCh)});
    }
    return wrapper->setBatchPatch(name.toStdString(), static_cast<unsigned short>(rxChNum), entries);
}

bool veltoManager::setPreferredMaster(const QString &, const QVariantMap &args)
{
    if (!wrapper)
        return false;
    const QString kUnit = QStringLiteral("unitID"), kModel = QStringLiteral("manfModel"),
                  kFlag = QStringLiteral("isPrefferdMaster");
    if (!args.contains(kUnit) || !args.contains(kModel) || !args.contains(kFlag))
        return false;
    QString name;
    int rxChNum = 0;
    findDevice(args.value(kUnit).toInt(), args.value(kModel).toString(), name, rxChNum);
    if (name.isEmpty())
        return false;
    const bool on = (args.value(kFlag).toInt() & 0xFF) != 0;
    return wrapper->setPreferredMaster(name.toStdString(), on);
}

QVariantMap veltoManager::emptyResult(const QString &, const QVariantMap &)
{
    return QVariantMap();
}

// ---- results ----

bool veltoManager::getResult(const QString &name, QVariantMap &map, QVariantList &list)
{
    if (name == QLatin1String("veltoDevices"))
        return listDevices(name, list);
    if (name == QLatin1String("veltoIfListResult"))
        return ifListResult(name, list);
    if (name == QLatin1String("veltoIfResult"))
        return currentIfResult(name, map);
    return false;
}

bool veltoManager::listDevices(const QString &, QVariantList &out)
{
    std::lock_guard<std::mutex> lock(tableLock);
    for (auto it = deviceTable.constBegin(); it != deviceTable.constEnd(); ++it)
        out.append(it.value());
    return true;
}

bool veltoManager::ifListResult(const QString &, QVariantList &out)
{
    std::lock_guard<std::mutex> lock(tableLock);
    out.clear();
    out.append(nicList);
    return true;
}

bool veltoManager::currentIfResult(const QString &, QVariantMap &out)
{
    std::lock_guard<std::mutex> lock(tableLock);
    out.insert(QStringLiteral("ifName"), currentNic.value(QStringLiteral("ifName")).toString());
    out.insert(QStringLiteral("macAddress"), currentNic.value(QStringLiteral("macAddress")).toString());
    return true;
}

// ---- unit ids ----

QString veltoManager::unitIdFromName(const QString &name)
{
    return unitIdOf(name);
}

QString veltoManager::unitIdOf(const QString &name)
{
    const QString first = name.section(QLatin1Char('-'), 0, 0);
    if (first.size() != 4 || (first.at(0) != QLatin1Char('T') && first.at(0) != QLatin1Char('t')))
        return QString();
    // Digits only: no sign, no blank, no "0x" (a number conversion would accept them).
    for (int i = 1; i < 4; ++i) {
        const ushort c = first.at(i).unicode();
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return QString();
    }
    return first.mid(1);
}

// ---- wide strings ----

QString veltoManager::fromWide(const std::wstring &text)
{
    // Accepts one code point per element as well as UTF-16 code units (surrogates pair up).
    QString out;
    out.reserve(static_cast<int>(text.size()));
    for (wchar_t wc : text) {
        const char32_t c = static_cast<char32_t>(wc);
        if (c < 0x10000) {
            out.append(QChar(static_cast<ushort>(c)));
        } else if (c <= 0x10FFFF) {
            out.append(QChar(QChar::highSurrogate(c)));
            out.append(QChar(QChar::lowSurrogate(c)));
        } else {
            out.append(QChar(QChar::ReplacementCharacter));
        }
    }
    return out;
}

std::wstring veltoManager::toWide(const QString &text)
{
    return text.toStdWString();
}

// ---- IVeltoNotify ----

void veltoManager::notifyInitDone()
{
    emit signalCallback(QStringLiteral("vltApi_Clb_Fin_Init"), QVariantMap());
}

void veltoManager::notifyDeviceAdded(const std::string &device, const std::string &modelId, const std::string &manfId,
                                     const std::string &modelName, const std::string &, const std::string &,
                                     const std::string &, const std::string &)
{
    const QString name = QString::fromStdString(device);
    const QString model = QString::fromStdString(modelName);
    QVariantMap record;
    record.insert(kNetVeltoName, name);
    record.insert(QStringLiteral("veltoModel"), QString::fromStdString(modelId));
    record.insert(QStringLiteral("unitID"), unitIdFromName(name));
    record.insert(QStringLiteral("manfID"), QString::fromStdString(manfId));
    record.insert(QStringLiteral("manfModel"), model);
    record.insert(QStringLiteral("connect"), true);
    int channels = 0;
    if (model == QLatin1String("KTV4-S"))
        channels = 64;
    else if (model == QLatin1String("RQA-310"))
        channels = 2;
    if (channels) {
        record.insert(QStringLiteral("txChNum"), channels);
        record.insert(QStringLiteral("rxChNum"), channels);
    }
    std::lock_guard<std::mutex> lock(tableLock);
    if (!deviceTable.contains(name))
        deviceTable.insert(name, record);
}

void veltoManager::notifyDeviceRemoved(const std::string &device)
{
    std::lock_guard<std::mutex> lock(tableLock);
    deviceTable.remove(QString::fromStdString(device));
}

void veltoManager::notifyChannelCount(const std::string &device, const std::string &txNum, const std::string &rxNum)
{
    const QString name = QString::fromStdString(device);
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = deviceTable.find(name);
    if (it == deviceTable.end())
        return;
    QVariantMap record = it.value().toMap();
    record.insert(QStringLiteral("txChNum"), QString::fromStdString(txNum).toInt(nullptr, 10));
    record.insert(QStringLiteral("rxChNum"), QString::fromStdString(rxNum).toInt(nullptr, 10));
    it.value() = record;
}

void veltoManager::notifyConnectState(const std::string &device, const std::string &connect)
{
    const QString name = QString::fromStdString(device);
    std::lock_guard<std::mutex> lock(tableLock);
    auto it = deviceTable.find(name);
    if (it == deviceTable.end())
        return;
    QVariantMap record = it.value().toMap();
    record.insert(QStringLiteral("connect"), connect == "1");
    it.value() = record;
}

void veltoManager::notifySampleRate(const std::string &, const std::string &) {}

void veltoManager::notifyLatency(const std::string &, const std::string &) {}

void veltoManager::notifyLockState(const std::string &, const std::string &) {}

void veltoManager::notifyAes67State(const std::string &, const std::string &, const std::string &) {}

void veltoManager::notifyPatchList(const std::string &device, const std::string &rxNum,
                                   const std::list<wfa_patch_entry> &patches)
{
    QVariantList list;
    for (const wfa_patch_entry &entry : patches) {
        QVariantMap item;
        item.insert(QStringLiteral("isPatch"), QVariant::fromValue<short>(static_cast<short>(entry.value)));
        item.insert(kNetVeltoName, QString::fromStdString(entry.name));
        list.append(item);
    }
    QVariantMap info;
    info.insert(kNetVeltoName, QString::fromStdString(device));
    info.insert(QStringLiteral("rxChNum"), QString::fromStdString(rxNum));
    info.insert(QStringLiteral("rxChPatch"), list);
    emit signalCallback(QStringLiteral("vltApi_Patches"), info);
}

void veltoManager::notifyIfList(const unsigned char &count, const std::list<std::wstring> &names,
                                const std::list<std::string> &macs, const std::list<std::string> &ips)
{
    {
        std::lock_guard<std::mutex> lock(tableLock);
        nicList.clear();
        if (count == 0)
            return;
        // The three lists pair up by position, as far as all of them reach.
        auto name = names.begin();
        auto mac = macs.begin();
        auto ip = ips.begin();
        for (; name != names.end() && mac != macs.end() && ip != ips.end(); ++name, ++mac, ++ip) {
            QVariantMap entry;
            entry.insert(QStringLiteral("ifName"), fromWide(*name));
            entry.insert(QStringLiteral("macAddress"), QString::fromStdString(*mac));
            entry.insert(QStringLiteral("ipAddress"), QString::fromStdString(*ip));
            nicList.append(entry);
        }
    }
    emit signalCallback(QStringLiteral("vltApi_Clb_Nic_Colect"), QVariantMap());
}

void veltoManager::notifyCurrentIf(const std::wstring &ifName, const std::string &macAddress)
{
    QVariantMap current;
    {
        std::lock_guard<std::mutex> lock(tableLock);
        currentNic.insert(QStringLiteral("ifName"), fromWide(ifName));
        currentNic.insert(QStringLiteral("macAddress"), QString::fromStdString(macAddress));
        current = currentNic;
    }
    emit signalCallback(QStringLiteral("vltApi_Clb_Nic_Select"), current);
}

void veltoManager::notifyReserved() {}

void veltoManager::notifyPatchResult(const std::string &device, const unsigned short &status)
{
    emit signalCallback(QStringLiteral("vltApi_Clb_Patch"), resultMap(device, status));
}

void veltoManager::notifyBatchPatchResult(const std::string &device, const unsigned short &status)
{
    const unsigned short value = status;
    QVariantMap info = resultMap(device, value);
    if (value == 2) {
        emit signalCallback(QStringLiteral("vltApi_Clb_Send_Patches"), info);
    } else if (value == 0x8010) {
        emit signalCallback(QStringLiteral("vltApi_Clb_Error_GetSetPrm"), info);
    } else if (value >= 0x8020 && value <= 0x8024) {
        info.insert(QStringLiteral("devState"), static_cast<int>(value));
        emit signalCallback(QStringLiteral("vltApi_Clb_Error_SetStatus"), info);
    } else {
        emit signalCallback(QStringLiteral("vltApi_Clb_Patches"), info);
    }
}

void veltoManager::notifyPreferredMasterResult(const std::string &device, const unsigned short &status)
{
    emit signalCallback(QStringLiteral("vltApi_Clb_PreferredMaster"), resultMap(device, status));
}

void veltoManager::notifyLatencyResult(const std::string &, const unsigned short &) {}

void veltoManager::notifySampleRateResult(const std::string &, const unsigned short &) {}
