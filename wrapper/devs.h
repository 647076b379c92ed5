// The wrapper's device table: one dev per device the service layer reported, keyed by device name.
// The worker thread changes it; the caller's thread reads it (getDeviceList, requestPatchList) and
// empties it when browsing starts again. Every operation holds the table's lock only while it
// touches the table: its notifications are queued under that lock, so the queue holds them in the
// order the table changed, and delivered to IVeltoNotify after the lock is released, by one thread
// at a time: a thread that finds another delivering leaves its notifications to that one. So the
// "added" and "removed" of a device reach IVeltoNotify in the order they happened, whichever thread
// made them, and no thread ever waits for another's IVeltoNotify call.
#pragma once

#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "wrapper/IVeltoCallback.h"
#include "wrapper/dev.h"

class devs {
public:
    explicit devs(IVeltoNotify *notify);
    // Reports every device still known as removed (in name order), then frees the table.
    virtual ~devs();

    // By topic: "velto_device" adds a device; other topics go to the named device.
    virtual bool add(const std::string &topic, const propertyMap &properties);
    // "initialise" empties the table, "velto_device" removes the named device; other topics go to
    // the named device.
    virtual bool remove(const std::string &topic, const propertyMap &properties);
    // The named device's change; false for an unknown device.
    virtual bool change(const std::string &topic, const propertyMap &properties);
    // A copy of the named device's properties; false for an unknown device.
    virtual bool get(const std::string &topic, propertyMap &out);
    // "velto_device": every device's properties in name order.
    virtual bool query(const std::string &topic, std::list<propertyMap> &out);
    virtual bool collect(const std::string &topic, std::list<propertyMap> &out);
    // Reports every device removed (name order) and empties the table.
    virtual bool clear();
    // A device not yet known is stored and reported added; a known one is left as it is.
    virtual bool addDevice(const propertyMap &properties);
    // A known device is removed and reported; an unknown one gives false.
    virtual bool removeDevice(const propertyMap &properties);
    // The named record or null (worker thread: the record lives until the worker removes it).
    virtual dev *find(const std::string &name);

    size_t size() const;

private:
    class deferredNotify;

    template <class Operation> bool locked(Operation operation);
    // Delivers the queued notifications unless another thread is delivering them.
    void deliver();
    bool addDeviceLocked(const propertyMap &properties);
    bool removeDeviceLocked(const propertyMap &properties);
    bool clearLocked();
    bool collectLocked(const std::string &topic, std::list<propertyMap> &out);
    dev *findLocked(const propertyMap &properties);

    mutable std::mutex m_lock;
    std::map<std::string, dev *> m_table;
    std::unique_ptr<deferredNotify> m_deferred;
    // Notifications not yet delivered, in the order of the table's changes, and whether a thread is
    // delivering them (both under m_queueLock, which is taken inside m_lock or alone).
    std::mutex m_queueLock;
    std::deque<std::function<void()>> m_queue;
    bool m_delivering = false;
};
