// The wrapper the program holds: forwards each IVeltoWrapper operation to the connector (as a
// command of the service layer) or reads the device table, and forwards each IVeltoCallback event
// of the worker thread to the device table or to IVeltoNotify.
#pragma once

#include "wrapper/IVeltoCallback.h"
#include "wrapper/devs.h"
#include "wrapper/veltoConnector.h"

class veltoMain : public IVeltoWrapper, public IVeltoCallback {
public:
    explicit veltoMain(IVeltoNotify *notify);
    ~veltoMain() override;

    // IVeltoWrapper
    bool init() override;
    bool stop() override;
    int isBrowsing() override;
    bool startBrowse() override;
    bool stopBrowse() override;
    bool getDeviceList(std::list<std::map<std::string, std::string>> *out) override;
    bool requestPatchList(const std::string &device) override;
    bool setPatch(const std::string &rxDevice, const unsigned short &rxChannel,
                  const wfa_patch_entry &tx) override;
    bool setBatchPatch(const std::string &rxDevice, const unsigned short &count,
                       const std::list<wfa_patch_entry> &entries) override;
    bool setPreferredMaster(const std::string &device, const bool &on) override;
    bool setSampleRate(const std::string &device, const unsigned short &rate) override;
    bool setLatency(const std::string &device, const unsigned short &latency) override;
    bool requestIfList() override;
    bool requestIf() override;
    bool setIf(const std::wstring &ifName, const std::string &macAddress) override;

    // IVeltoCallback (worker thread)
    void onInitFinished() override;
    void onBrowseStopped() override;
    void onDeviceFound(const propertyMap &properties) override;
    void onDeviceLost(const propertyMap &properties) override;
    void onConnectChanged(const propertyMap &properties) override;
    void onChannelCountChanged(const propertyMap &properties) override;
    void onSampleRateChanged(const propertyMap &properties) override;
    void onLatencyChanged(const propertyMap &properties) override;
    void onDeviceLockChanged(const propertyMap &properties) override;
    void onAes67StateChanged(const propertyMap &properties) override;
    void onPatchList(const propertyMap &properties, const std::list<wfa_patch_entry> &patches) override;
    void onSetPatchResult(const std::string &device, const unsigned short &status) override;
    void onSetBatchPatchResult(const std::string &device, const unsigned short &status) override;
    void onSetPreferredMasterResult(const std::string &device, const unsigned short &status) override;
    void onSetLatencyResult(const std::string &device, const unsigned short &status) override;
    void onSetSampleRateResult(const std::string &device, const unsigned short &status) override;
    void onIfList(const unsigned char &count, const std::list<std::wstring> &names,
                  const std::list<std::string> &macs, const std::list<std::string> &ips) override;
    void onIf(const std::wstring &ifName, const std::string &macAddress, const unsigned char &flag) override;
    void onUnusedEvent(const std::string &first, const std::string &second, const std::string &third) override;

protected:
    // The connector this wrapper uses; tests give one whose commands they record.
    virtual veltoConnector *makeConnector();

private:
    IVeltoNotify *m_notify;
    veltoConnector *m_connector;
    devs *m_devs;
};
