#include "wrapper/veltoMain.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>

#include "wrapper/service/wfa_main.h"

namespace {

// Nothing may throw across the library's boundary: a failure is reported as false.
template <class Operation> bool guarded(Operation operation)
{
    try {
        return operation();
    } catch (...) {
        return false;
    }
}

// A decimal count as the device table stores it; false when the text is not a number.
bool parseCount(const std::string &text, int *out)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE)
        return false;
    if (value > INT_MAX)
        value = INT_MAX;
    if (value < INT_MIN)
        value = INT_MIN;
    *out = static_cast<int>(value);
    return true;
}

std::string labelOf(const propertyMap &properties, const char *key)
{
    auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
}

} // namespace

veltoMain::veltoMain(IVeltoNotify *notify) : m_notify(notify), m_connector(nullptr), m_devs(nullptr)
{
}

veltoMain::~veltoMain()
{
    if (m_connector)
        m_connector->stop();
    delete m_connector;
    delete m_devs;
}

veltoConnector *veltoMain::makeConnector()
{
    return new (std::nothrow) veltoConnector(this);
}

bool veltoMain::init()
{
    return guarded([this] {
        if (!m_notify)
            return false;
        // A running worker keeps its connector and table: nothing is touched.
        if (wfa_is_started())
            return false;
        delete m_connector;
        m_connector = nullptr;
        delete m_devs;
        m_devs = nullptr;
        m_devs = new (std::nothrow) devs(m_notify);
        if (!m_devs)
            return false;
        m_connector = makeConnector();
        if (!m_connector)
            return false;
        return m_connector->init();
    });
}

bool veltoMain::stop()
{
    if (!m_connector)
        return false;
    m_connector->stop();
    return true;
}

int veltoMain::isBrowsing()
{
    return m_connector ? m_connector->isBrowsing() : 0;
}

bool veltoMain::startBrowse()
{
    return guarded([this] {
        if (!m_connector)
            return false;
        // A new browse forgets the devices of the last one (the service layer empties its table
        // too), so that every device it finds is reported again.
        if (m_devs)
            m_devs->clear();
        return m_connector->startBrowse();
    });
}

bool veltoMain::stopBrowse()
{
    return guarded([this] { return m_connector && m_connector->stopBrowse(); });
}

bool veltoMain::getDeviceList(std::list<std::map<std::string, std::string>> *out)
{
    return guarded([this, out] {
        if (!out)
            return false;
        if (m_devs)
            m_devs->query("velto_device", *out);
        return true;
    });
}

bool veltoMain::requestPatchList(const std::string &device)
{
    return guarded([this, &device] {
        if (!m_connector || !m_devs)
            return false;
        propertyMap properties;
        properties["VeltoLabel"] = device;
        if (!m_devs->get("velto_device", properties))
            return false;
        // The channel counts arrive after the device itself; without them there is nothing to ask.
        int count = 0;
        if (!parseCount(labelOf(properties, "RxNum"), &count))
            return false;
        return m_connector->requestBatchPatch(device, count);
    });
}

bool veltoMain::setPatch(const std::string &rxDevice, const unsigned short &rxChannel, const wfa_patch_entry &tx)
{
    return guarded([&] { return m_connector && m_connector->setPatch(rxDevice, rxChannel, tx); });
}

bool veltoMain::setBatchPatch(const std::string &rxDevice, const unsigned short &count,
                              const std::list<wfa_patch_entry> &entries)
{
    return guarded([&] { return m_connector && m_connector->setBatchPatch(rxDevice, count, entries); });
}

bool veltoMain::setPreferredMaster(const std::string &device, const bool &on)
{
    return guarded([&] { return m_connector && m_connector->setPreferredMaster(device, on); });
}

bool veltoMain::setSampleRate(const std::string &device, const unsigned short &rate)
{
    return guarded([&] { return m_connector && m_connector->setSampleRate(device, rate); });
}

bool veltoMain::setLatency(const std::string &device, const unsigned short &latency)
{
    return guarded([&] { return m_connector && m_connector->setLatency(device, latency); });
}

bool veltoMain::requestIfList()
{
    return guarded([this] { return m_connector && m_connector->requestIfList(); });
}

bool veltoMain::requestIf()
{
    return guarded([this] { return m_connector && m_connector->requestIf(); });
}

bool veltoMain::setIf(const std::wstring &ifName, const std::string &macAddress)
{
    return guarded([&] {
        if (!m_connector)
            return false;
        m_connector->setIf(ifName, macAddress);
        return true;
    });
}

// ---- IVeltoCallback --------------------------------------------------------------------------------

void veltoMain::onInitFinished()
{
    if (m_notify)
        m_notify->notifyInitDone();
}

void veltoMain::onBrowseStopped()
{
    if (m_devs)
        m_devs->remove("initialise", propertyMap());
}

void veltoMain::onDeviceFound(const propertyMap &properties)
{
    if (m_devs)
        m_devs->add("velto_device", properties);
}

void veltoMain::onDeviceLost(const propertyMap &properties)
{
    if (m_devs)
        m_devs->remove("velto_device", properties);
}

void veltoMain::onConnectChanged(const propertyMap &properties)
{
    if (m_devs)
        m_devs->change("velto_connect", properties);
}

void veltoMain::onChannelCountChanged(const propertyMap &properties)
{
    if (m_devs)
        m_devs->change("velto_io_ch", properties);
}

void veltoMain::onSampleRateChanged(const propertyMap &properties)
{
    if (m_devs)
        m_devs->change("velto_fs", properties);
}

void veltoMain::onLatencyChanged(const propertyMap &properties)
{
    if (m_devs)
        m_devs->change("velto_latency", properties);
}

void veltoMain::onDeviceLockChanged(const propertyMap &properties)
{
    if (m_devs)
        m_devs->change("device_lock", properties);
}

void veltoMain::onAes67StateChanged(const propertyMap &properties)
{
    if (m_devs)
        m_devs->change("AES67_State", properties);
}

void veltoMain::onPatchList(const propertyMap &properties, const std::list<wfa_patch_entry> &patches)
{
    if (m_notify)
        m_notify->notifyPatchList(labelOf(properties, "VeltoLabel"), labelOf(properties, "RxNum"), patches);
}

void veltoMain::onSetPatchResult(const std::string &device, const unsigned short &status)
{
    if (m_notify)
        m_notify->notifyPatchResult(device, status);
}

void veltoMain::onSetBatchPatchResult(const std::string &device, const unsigned short &status)
{
    if (m_notify)
        m_notify->notifyBatchPatchResult(device, status);
}

void veltoMain::onSetPreferredMasterResult(const std::string &device, const unsigned short &status)
{
    if (m_notify)
        m_notify->notifyPreferredMasterResult(device, status);
}

void veltoMain::onSetLatencyResult(const std::string &device, const unsigned short &status)
{
    if (m_notify)
        m_notify->notifyLatencyResult(device, status);
}

void veltoMain::onSetSampleRateResult(const std::string &device, const unsigned short &status)
{
    if (m_notify)
        m_notify->notifySampleRateResult(device, status);
}

void veltoMain::onIfList(const unsigned char &count, const std::list<std::wstring> &names,
                         const std::list<std::string> &macs, const std::list<std::string> &ips)
{
    if (m_notify)
        m_notify->notifyIfList(count, names, macs, ips);
}

void veltoMain::onIf(const std::wstring &ifName, const std::string &macAddress, const unsigned char &)
{
    if (m_notify)
        m_notify->notifyCurrentIf(ifName, macAddress);
}

void veltoMain::onUnusedEvent(const std::string &, const std::string &, const std::string &)
{
}
