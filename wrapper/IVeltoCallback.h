// The wrapper's internal event interface: the event dispatcher reports every result of the service
// layer through it, on the worker thread. veltoMain implements it and forwards to the device table
// or straight to IVeltoNotify. The slot order is fixed.
#pragma once

#include <list>
#include <map>
#include <string>

#include "wrapper/veltoWrapper.h"

// One device's properties; numbers travel as decimal text. "VeltoLabel" is the device name.
typedef std::map<std::string, std::string> propertyMap;

class IVeltoCallback {
public:
    virtual void onInitFinished() = 0;
    virtual void onBrowseStopped() = 0;
    virtual void onDeviceFound(const propertyMap &properties) = 0;
    virtual void onDeviceLost(const propertyMap &properties) = 0;
    virtual void onConnectChanged(const propertyMap &properties) = 0;
    virtual void onChannelCountChanged(const propertyMap &properties) = 0;
    virtual void onSampleRateChanged(const propertyMap &properties) = 0;
    virtual void onLatencyChanged(const propertyMap &properties) = 0;
    virtual void onDeviceLockChanged(const propertyMap &properties) = 0;
    virtual void onAes67StateChanged(const propertyMap &properties) = 0;
    virtual void onPatchList(const propertyMap &properties, const std::list<wfa_patch_entry> &patches) = 0;
    virtual void onSetPatchResult(const std::string &device, const unsigned short &status) = 0;
    virtual void onSetBatchPatchResult(const std::string &device, const unsigned short &status) = 0;
    virtual void onSetPreferredMasterResult(const std::string &device, const unsigned short &status) = 0;
    virtual void onSetLatencyResult(const std::string &device, const unsigned short &status) = 0;
    virtual void onSetSampleRateResult(const std::string &device, const unsigned short &status) = 0;
    virtual void onIfList(const unsigned char &count, const std::list<std::wstring> &names,
                          const std::list<std::string> &macs, const std::list<std::string> &ips) = 0;
    virtual void onIf(const std::wstring &ifName, const std::string &macAddress,
                      const unsigned char &flag) = 0;
    virtual void onUnusedEvent(const std::string &first, const std::string &second,
                               const std::string &third) = 0;
    virtual ~IVeltoCallback() {}
};
