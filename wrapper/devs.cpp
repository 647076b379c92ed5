#include "wrapper/devs.h"

#include <functional>
#include <vector>

// Records IVeltoNotify calls made under the table's lock, to be made once it is released.
class devs::deferredNotify : public IVeltoNotify {
public:
    explicit deferredNotify(IVeltoNotify *target) : m_target(target) {}

    std::vector<std::function<void()>> take()
    {
        std::vector<std::function<void()>> calls;
        calls.swap(m_calls);
        return calls;
    }

    void notifyInitDone() override { later([](IVeltoNotify *t) { t->notifyInitDone(); }); }
    void notifyDeviceAdded(const std::string &device, const std::string &modelId, const std::string &manfId,
                           const std::string &modelName, const std::string &qnbFirmVer,
                           const std::string &qnbSoftVer, const std::string &manfFirmVer,
                           const std::string &manfSoftVer) override
    {
        later([=](IVeltoNotify *t) {
            t->notifyDeviceAdded(device, modelId, manfId, modelName, qnbFirmVer, qnbSoftVer, manfFirmVer,
                                 manfSoftVer);
        });
    }
    void notifyDeviceRemoved(const std::string &device) override
    {
        later([=](IVeltoNotify *t) { t->notifyDeviceRemoved(device); });
    }
    void notifyChannelCount(const std::string &device, const std::string &txNum,
                            const std::string &rxNum) override
    {
        later([=](IVeltoNotify *t) { t->notifyChannelCount(device, txNum, rxNum); });
    }
    void notifyConnectState(const std::string &device, const std::string &connect) override
    {
        later([=](IVeltoNotify *t) { t->notifyConnectState(device, connect); });
    }
    void notifySampleRate(const std::string &device, const std::string &fs) override
    {
        later([=](IVeltoNotify *t) { t->notifySampleRate(device, fs); });
    }
    void notifyLatency(const std::string &device, const std::string &latency) override
    {
        later([=](IVeltoNotify *t) { t->notifyLatency(device, latency); });
    }
    void notifyLockState(const std::string &device, const std::string &lock) override
    {
        later([=](IVeltoNotify *t) { t->notifyLockState(device, lock); });
    }
    void notifyAes67State(const std::string &device, const std::string &enabled,
                          const std::string &reboot) override
    {
        later([=](IVeltoNotify *t) { t->notifyAes67State(device, enabled, reboot); });
    }
    void notifyPatchList(const std::string &device, const std::string &rxNum,
                         const std::list<wfa_patch_entry> &patches) override
    {
        later([=](IVeltoNotify *t) { t->notifyPatchList(device, rxNum, patches); });
    }
    void notifyIfList(const unsigned char &count, const std::list<std::wstring> &names,
                      const std::list<std::string> &macs, const std::list<std::string> &ips) override
    {
        const unsigned char n = count;
        later([=](IVeltoNotify *t) { t->notifyIfList(n, names, macs, ips); });
    }
    void notifyCurrentIf(const std::wstring &ifName, const std::string &macAddress) override
    {
        later([=](IVeltoNotify *t) { t->notifyCurrentIf(ifName, macAddress); });
    }
    void notifyReserved() override { later([](IVeltoNotify *t) { t->notifyReserved(); }); }
    void notifyPatchResult(const std::string &device, const unsigned short &status) override
    {
        const unsigned short s = status;
        later([=](IVeltoNotify *t) { t->notifyPatchResult(device, s); });
    }
    void notifyBatchPatchResult(const std::string &device, const unsigned short &status) override
    {
        const unsigned short s = status;
        later([=](IVeltoNotify *t) { t->notifyBatchPatchResult(device, s); });
    }
    void notifyPreferredMasterResult(const std::string &device, const unsigned short &status) override
    {
        const unsigned short s = status;
        later([=](IVeltoNotify *t) { t->notifyPreferredMasterResult(device, s); });
    }
    void notifyLatencyResult(const std::string &device, const unsigned short &status) override
    {
        const unsigned short s = status;
        later([=](IVeltoNotify *t) { t->notifyLatencyResult(device, s); });
    }
    void notifySampleRateResult(const std::string &device, const unsigned short &status) override
    {
        const unsigned short s = status;
        later([=](IVeltoNotify *t) { t->notifySampleRateResult(device, s); });
    }

private:
    template <class Call> void later(Call call)
    {
        if (!m_target)
            return;
        IVeltoNotify *target = m_target;
        m_calls.emplace_back([target, call] { call(target); });
    }

    IVeltoNotify *m_target;
    std::vector<std::function<void()>> m_calls;
};

namespace {

std::string label(const propertyMap &properties)
{
    auto it = properties.find("VeltoLabel");
    return it == properties.end() ? std::string() : it->second;
}

std::string valueOf(const propertyMap &properties, const char *key)
{
    auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
}

} // namespace

devs::devs(IVeltoNotify *notify) : m_deferred(new deferredNotify(notify))
{
}

devs::~devs()
{
    clear();
}

template <class Operation> bool devs::locked(Operation operation)
{
    bool result;
    bool changed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        result = operation();
        std::vector<std::function<void()>> calls = m_deferred->take();
        changed = !calls.empty();
        if (changed) {
            std::lock_guard<std::mutex> queue(m_queueLock);
            for (auto &call : calls)
                m_queue.push_back(std::move(call));
        }
    }
    // Only a change delivers: a reader (getDeviceList) never makes IVeltoNotify calls.
    if (changed)
        deliver();
    return result;
}

void devs::deliver()
{
    std::unique_lock<std::mutex> queue(m_queueLock);
    if (m_delivering)
        return;
    m_delivering = true;
    while (!m_queue.empty()) {
        std::function<void()> call = std::move(m_queue.front());
        m_queue.pop_front();
        queue.unlock();
        try {
            call();
        } catch (...) {
            // The rest stays queued for the next delivery.
            queue.lock();
            m_delivering = false;
            throw;
        }
        queue.lock();
    }
    m_delivering = false;
}

dev *devs::findLocked(const propertyMap &properties)
{
    auto it = m_table.find(label(properties));
    return it == m_table.end() ? nullptr : it->second;
}

bool devs::addDeviceLocked(const propertyMap &properties)
{
    const std::string name = label(properties);
    if (m_table.count(name))
        return true;
    dev *record = new dev(properties, m_deferred.get());
    m_table[name] = record;
    propertyMap stored;
    record->get("velto_device", stored);
    m_deferred->notifyDeviceAdded(name, valueOf(stored, "ModelID"), valueOf(stored, "ManfID"),
                                  valueOf(stored, "ModelName"), valueOf(stored, "QnbFirmVer"),
                                  valueOf(stored, "QnbSoftVer"), valueOf(stored, "manfFirmVer"),
                                  valueOf(stored, "manfSoftVer"));
    return true;
}

bool devs::removeDeviceLocked(const propertyMap &properties)
{
    const std::string name = label(properties);
    auto it = m_table.find(name);
    if (it == m_table.end())
        return false;
    delete it->second;
    m_table.erase(it);
    m_deferred->notifyDeviceRemoved(name);
    return true;
}

bool devs::clearLocked()
{
    for (auto &entry : m_table) {
        m_deferred->notifyDeviceRemoved(entry.first);
        delete entry.second;
    }
    m_table.clear();
    return true;
}

bool devs::collectLocked(const std::string &topic, std::list<propertyMap> &out)
{
    for (auto &entry : m_table) {
        propertyMap properties;
        if (entry.second->get(topic, properties))
            out.push_back(properties);
    }
    return true;
}

bool devs::add(const std::string &topic, const propertyMap &properties)
{
    return locked([&] {
        if (topic == "velto_device")
            return addDeviceLocked(properties);
        dev *record = findLocked(properties);
        return record ? record->add(topic, properties) : false;
    });
}

bool devs::remove(const std::string &topic, const propertyMap &properties)
{
    return locked([&] {
        if (topic == "initialise")
            return clearLocked();
        if (topic == "velto_device")
            return removeDeviceLocked(properties);
        dev *record = findLocked(properties);
        return record ? record->remove(topic, properties) : false;
    });
}

bool devs::change(const std::string &topic, const propertyMap &properties)
{
    return locked([&] {
        dev *record = findLocked(properties);
        return record ? record->change(topic, properties) : false;
    });
}

bool devs::get(const std::string &topic, propertyMap &out)
{
    return locked([&] {
        dev *record = findLocked(out);
        return record ? record->get(topic, out) : false;
    });
}

bool devs::query(const std::string &topic, std::list<propertyMap> &out)
{
    return locked([&] { return topic == "velto_device" ? collectLocked(topic, out) : false; });
}

bool devs::collect(const std::string &topic, std::list<propertyMap> &out)
{
    return locked([&] { return collectLocked(topic, out); });
}

bool devs::clear()
{
    return locked([&] { return clearLocked(); });
}

bool devs::addDevice(const propertyMap &properties)
{
    return locked([&] { return addDeviceLocked(properties); });
}

bool devs::removeDevice(const propertyMap &properties)
{
    return locked([&] { return removeDeviceLocked(properties); });
}

dev *devs::find(const std::string &name)
{
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_table.find(name);
    return it == m_table.end() ? nullptr : it->second;
}

size_t devs::size() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_table.size();
}
