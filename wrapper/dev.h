// One device record of the wrapper: the device's property map, reporting each change of a property
// to IVeltoNotify, and only a change.
#pragma once

#include <string>

#include "wrapper/IVeltoCallback.h"

class dev {
public:
    // Copies the properties and sets "Connect" to "1".
    dev(const propertyMap &properties, IVeltoNotify *notify);
    virtual ~dev();

    // A record takes no adds or removes of its own (false).
    virtual bool add(const std::string &topic, const propertyMap &properties);
    virtual bool remove(const std::string &topic, const propertyMap &properties);
    // Stores the topic's properties of `event`; when one of them differs from the stored value the
    // topic's notification goes out with the stored values. False for an unknown topic.
    virtual bool change(const std::string &topic, const propertyMap &event);
    // "velto_device": a copy of the whole record.
    virtual bool get(const std::string &topic, propertyMap &out);

private:
    // Stores `key` of `event` when present and different; true when it changed.
    bool setIfDifferent(const propertyMap &event, const std::string &key);
    std::string value(const std::string &key) const;

    propertyMap m_properties;
    IVeltoNotify *m_notify;
};
