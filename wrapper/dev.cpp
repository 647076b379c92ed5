#include "wrapper/dev.h"

dev::dev(const propertyMap &properties, IVeltoNotify *notify) : m_properties(properties), m_notify(notify)
{
    m_properties["Connect"] = "1";
}

dev::~dev()
{
}

bool dev::add(const std::string &, const propertyMap &)
{
    return false;
}

bool dev::remove(const std::string &, const propertyMap &)
{
    return false;
}

bool dev::setIfDifferent(const propertyMap &event, const std::string &key)
{
    auto incoming = event.find(key);
    if (incoming == event.end())
        return false;
    auto stored = m_properties.find(key);
    if (stored != m_properties.end() && stored->second == incoming->second)
        return false;
    m_properties[key] = incoming->second;
    return true;
}

std::string dev::value(const std::string &key) const
{
    auto it = m_properties.find(key);
    return it == m_properties.end() ? std::string() : it->second;
}

bool dev::change(const std::string &topic, const propertyMap &event)
{
    const std::string name = value("VeltoLabel");
    if (topic == "velto_connect") {
        if (setIfDifferent(event, "Connect") && m_notify)
            m_notify->notifyConnectState(name, value("Connect"));
    } else if (topic == "velto_fs") {
        if (setIfDifferent(event, "Fs") && m_notify)
            m_notify->notifySampleRate(name, value("Fs"));
    } else if (topic == "velto_latency") {
        if (setIfDifferent(event, "Latency") && m_notify)
            m_notify->notifyLatency(name, value("Latency"));
    } else if (topic == "velto_io_ch") {
        bool changed = setIfDifferent(event, "TxNum");
        changed = setIfDifferent(event, "RxNum") || changed;
        if (changed && m_notify)
            m_notify->notifyChannelCount(name, value("TxNum"), value("RxNum"));
    } else if (topic == "device_lock") {
        if (setIfDifferent(event, "DeviceLock") && m_notify)
            m_notify->notifyLockState(name, value("DeviceLock"));
    } else if (topic == "AES67_State") {
        bool changed = setIfDifferent(event, "AES67Enabled");
        changed = setIfDifferent(event, "AES67Reboot") || changed;
        if (changed && m_notify)
            m_notify->notifyAes67State(name, value("AES67Enabled"), value("AES67Reboot"));
    } else {
        return false;
    }
    return true;
}

bool dev::get(const std::string &topic, propertyMap &out)
{
    if (topic != "velto_device")
        return false;
    out = m_properties;
    return true;
}
