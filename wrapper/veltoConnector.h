// The bridge between the wrapper classes and the service layer: starts and stops the layer, turns
// wrapper calls into numbered commands with their argument blocks, keeps the browsing flag, and
// dispatches the layer's results (onWfaEvent) to IVeltoCallback on the worker thread, queuing the
// follow-up commands some of them need.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "wrapper/IVeltoCallback.h"

class veltoConnector {
public:
    // How commands reach the service layer: wfa_request by default; tests record them instead.
    typedef std::function<uint16_t(uint32_t command, const void *params, uint16_t *request_id)> requestFunction;

    explicit veltoConnector(IVeltoCallback *callback, requestFunction request = requestFunction());
    // Does not stop the layer: the owner stops it first.
    virtual ~veltoConnector();

    // Starts the service layer with this connector's dispatcher; true when it started.
    virtual bool init();
    virtual bool isReady();
    // Stops the layer when this connector started it; true.
    virtual bool stop();
    virtual int isBrowsing();
    virtual bool startBrowse();
    virtual bool stopBrowse();
    // Asks for the patch list of `count` receive channels (at most 256); a count below 1 sends
    // nothing and gives true.
    virtual bool requestBatchPatch(const std::string &device, int count);
    virtual bool setPatch(const std::string &rxDevice, const unsigned short &rxChannel,
                          const wfa_patch_entry &tx);
    // Count 0 sends nothing and gives true; more than 256 entries cannot be carried (false).
    virtual bool setBatchPatch(const std::string &device, const unsigned short &count,
                               const std::list<wfa_patch_entry> &entries);
    virtual bool setPreferredMaster(const std::string &device, const bool &on);
    virtual bool setSampleRate(const std::string &device, const unsigned short &rate);
    virtual bool setLatency(const std::string &device, const unsigned short &latency);
    virtual bool requestIfList();
    // The name is cut to 63 UTF-16 units; the MAC text is not used. Always true.
    virtual bool setIf(const std::wstring &ifName, const std::string &macAddress);
    virtual bool requestIf();

    // The dispatcher: one result frame of the service layer (worker thread).
    void onWfaEvent(uint16_t status, const uint8_t *frame, size_t size);
    // The service layer's result callback; `context` is the connector.
    static void dispatch(void *context, uint16_t status, const uint8_t *frame, size_t size);

private:
    // Queues `command` with request id 0; true when the status's error bit is clear.
    bool send(uint32_t command, const std::vector<uint8_t> &arguments);
    // A device-name argument block of `size` bytes with the name in its first 32.
    static std::vector<uint8_t> nameBlock(const std::string &device, size_t size);

    void onBrowseStop();
    void onDevice(const uint8_t *payload, size_t size);
    void onIfList(const uint8_t *payload, size_t size);
    void onBatchList(const uint8_t *payload, size_t size);

    IVeltoCallback *m_callback;
    std::atomic<int> m_browsing;
    // The browse stop events answer the stops in the order they were queued. For each stop still
    // unanswered, the number of starts queued before it: its event clears the browsing flag only
    // when no start has been queued since (a stop followed at once by a start leaves browsing on).
    std::mutex m_browseLock;
    std::deque<unsigned long long> m_pendingStops;
    unsigned long long m_startsQueued = 0;
    uint8_t m_ready;
    requestFunction m_request;
};
