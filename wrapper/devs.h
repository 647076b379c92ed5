// The wrapper's device table: one dev per device the service layer reported, keyed by device name.
// The worker thread changes it; the caller's thread reads it (getDeviceList, requestPatchList).
// Every operation holds the table's lock only while it touches the table: notifications are
// collected under the lock and delivered to IVeltoNotify after it is released, in order.
#pragma once

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
    bool addDeviceLocked(const propertyMap &properties);
    bool removeDeviceLocked(const propertyMap &properties);
    bool clearLocked();
    bool collectLocked(const std::string &topic, std::list<propertyMap> &out);
    dev *findLocked(const propertyMap &properties);

    mutable std::mutex m_lock;
    std::map<std::string, dev *> m_table;
    std::unique_ptr<deferredNotify> m_deferred;
};
