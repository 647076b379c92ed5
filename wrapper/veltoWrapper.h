// veltoWrapper's public interface: the one exported function `instance` and the interfaces a program
// uses to drive the device service. The slot order of every interface is fixed: callers built
// against this header depend on it.
#pragma once

#include <list>
#include <map>
#include <string>

#if defined(VELTOWRAPPER_BUILD)
#define VELTOWRAPPER_EXPORT __attribute__((visibility("default")))
#else
#define VELTOWRAPPER_EXPORT
#endif

// One transmit side of a patch: the transmit device's name (empty for no subscription) and its
// transmit channel number (0xFFFF for no subscription). In a list, entry i is receive channel i + 1.
struct wfa_patch_entry {
    std::string name;
    unsigned short value = 0xFFFF;
};

// Called by veltoWrapper on its worker thread. Implementations hand the data to their own thread.
class IVeltoNotify {
public:
    virtual void notifyInitDone() = 0;
    virtual void notifyDeviceAdded(const std::string &device, const std::string &modelId,
                                   const std::string &manfId, const std::string &modelName,
                                   const std::string &qnbFirmVer, const std::string &qnbSoftVer,
                                   const std::string &manfFirmVer, const std::string &manfSoftVer) = 0;
    virtual void notifyDeviceRemoved(const std::string &device) = 0;
    virtual void notifyChannelCount(const std::string &device, const std::string &txNum,
                                    const std::string &rxNum) = 0;
    virtual void notifyConnectState(const std::string &device, const std::string &connect) = 0;
    virtual void notifySampleRate(const std::string &device, const std::string &fs) = 0;
    virtual void notifyLatency(const std::string &device, const std::string &latency) = 0;
    virtual void notifyLockState(const std::string &device, const std::string &lock) = 0;
    virtual void notifyAes67State(const std::string &device, const std::string &enabled,
                                  const std::string &reboot) = 0;
    virtual void notifyPatchList(const std::string &device, const std::string &rxNum,
                                 const std::list<wfa_patch_entry> &patches) = 0;
    virtual void notifyIfList(const unsigned char &count, const std::list<std::wstring> &names,
                              const std::list<std::string> &macs, const std::list<std::string> &ips) = 0;
    virtual void notifyCurrentIf(const std::wstring &ifName, const std::string &macAddress) = 0;
    virtual void notifyReserved() = 0;
    virtual void notifyPatchResult(const std::string &device, const unsigned short &status) = 0;
    virtual void notifyBatchPatchResult(const std::string &device, const unsigned short &status) = 0;
    virtual void notifyPreferredMasterResult(const std::string &device, const unsigned short &status) = 0;
    virtual void notifyLatencyResult(const std::string &device, const unsigned short &status) = 0;
    virtual void notifySampleRateResult(const std::string &device, const unsigned short &status) = 0;
    virtual ~IVeltoNotify() {}
};

// The wrapper. Operations run on the caller's thread and return once their command is queued
// (true) or refused (false); answers arrive through IVeltoNotify.
class IVeltoWrapper {
public:
    virtual bool init() = 0;
    virtual bool stop() = 0;
    virtual int isBrowsing() = 0;
    virtual bool startBrowse() = 0;
    virtual bool stopBrowse() = 0;
    virtual bool getDeviceList(std::list<std::map<std::string, std::string>> *out) = 0;
    virtual bool requestPatchList(const std::string &device) = 0;
    virtual bool setPatch(const std::string &rxDevice, const unsigned short &rxChannel,
                          const wfa_patch_entry &tx) = 0;
    virtual bool setBatchPatch(const std::string &rxDevice, const unsigned short &count,
                               const std::list<wfa_patch_entry> &entries) = 0;
    virtual bool setPreferredMaster(const std::string &device, const bool &on) = 0;
    virtual bool setSampleRate(const std::string &device, const unsigned short &rate) = 0;
    virtual bool setLatency(const std::string &device, const unsigned short &latency) = 0;
    virtual bool requestIfList() = 0;
    virtual bool requestIf() = 0;
    virtual bool setIf(const std::wstring &ifName, const std::string &macAddress) = 0;
    virtual ~IVeltoWrapper() {}
};

class IVeltoFactory {
public:
    virtual IVeltoWrapper *create(IVeltoNotify *notify) = 0;
    virtual ~IVeltoFactory() {}
};

// A new factory on every call; the caller deletes it.
extern "C" VELTOWRAPPER_EXPORT IVeltoFactory *instance();
