// Helpers shared by the service-layer and wrapper tests: a recorder for the layer's results, a
// guard that leaves the process-wide state as a fresh library has it, and mocks of the two
// callback interfaces.
#pragma once

#include <gmock/gmock.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "netaudio/platform/qnb_time.h"
#include "wrapper/IVeltoCallback.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/veltoConnector.h"

namespace wrapper_test {

struct result {
    uint16_t code;
    uint16_t request_id;
    uint16_t status;
    std::vector<uint8_t> payload;
    std::thread::id thread;
    qnb_timeval at{}; // the library clock when it arrived
};

// Collects the frames the service layer hands to its result callback (on the worker thread).
class recorder {
public:
    static void callback(void *context, uint16_t status, const uint8_t *frame, size_t size)
    {
        auto *self = static_cast<recorder *>(context);
        result r;
        std::memcpy(&r.code, frame, 2);
        std::memcpy(&r.request_id, frame + 2, 2);
        r.status = status;
        r.payload.assign(frame + WFA_FRAME_HEADER, frame + size);
        r.thread = std::this_thread::get_id();
        qnb_time_now(&r.at);
        std::lock_guard<std::mutex> lock(self->m_lock);
        self->m_results.push_back(r);
        self->m_changed.notify_all();
    }

    // Waits (at most 10 s, so a broken worker fails the test instead of hanging it) until `count`
    // results have arrived.
    bool waitForCount(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_results.size() >= count; });
    }

    // Waits for the first result with `code` after the first `from` results.
    bool waitForCode(uint16_t code, result *out = nullptr, size_t from = 0)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        bool found = m_changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (size_t i = from; i < m_results.size(); ++i)
                if (m_results[i].code == code)
                    return true;
            return false;
        });
        if (found && out) {
            for (size_t i = from; i < m_results.size(); ++i)
                if (m_results[i].code == code) {
                    *out = m_results[i];
                    break;
                }
        }
        return found;
    }

    std::vector<result> results()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_results;
    }

    size_t size()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_results.size();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<result> m_results;
};

// Every test starts and ends with the state of a freshly loaded library. The control-and-monitoring
// driver is pointed at a loopback port that is bound but never answers, so that it neither reaches
// a real local server nor pauses the worker for a refused link; tests that need a server set their
// own port after the guard.
class layer_guard {
public:
    layer_guard()
    {
        reset();
        m_silent = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_silent >= 0 && ::bind(m_silent, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            ::getsockname(m_silent, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
        silence_conmon();
    }
    // Points the driver at the silent port again, for tests that reset the layer themselves.
    void silence_conmon() const
    {
        if (m_port != 0)
            wfa_conmon_set_port(m_port);
    }
    ~layer_guard()
    {
        wfa_stop();
        reset();
        if (m_silent >= 0)
            ::close(m_silent);
    }

private:
    int m_silent = -1;
    uint16_t m_port = 0;
    static void reset()
    {
        wfa_stop();
        EXPECT_TRUE(wfa_state_reset());
    }
};

struct sent {
    uint32_t command;
    std::vector<uint8_t> args; // the table's size of bytes, or empty for a null block
    uint16_t request_id;
};

// Stands in for wfa_request: records every command with exactly the bytes the service layer would
// copy, and answers with `answer`.
struct commandLog {
    std::vector<sent> commands;
    uint16_t answer = ERR_NOERR;

    veltoConnector::requestFunction function()
    {
        return [this](uint32_t command, const void *params, uint16_t *request_id) {
            sent s{command, {}, *request_id};
            if (params && command < WFA_COMMAND_COUNT) {
                const uint8_t *p = static_cast<const uint8_t *>(params);
                s.args.assign(p, p + wfa_command_table[command].size);
            }
            commands.push_back(s);
            return answer;
        };
    }
};

class mock_notify : public IVeltoNotify {
public:
    MOCK_METHOD(void, notifyInitDone, (), (override));
    MOCK_METHOD(void, notifyDeviceAdded,
                (const std::string &, const std::string &, const std::string &, const std::string &,
                 const std::string &, const std::string &, const std::string &, const std::string &),
                (override));
    MOCK_METHOD(void, notifyDeviceRemoved, (const std::string &), (override));
    MOCK_METHOD(void, notifyChannelCount, (const std::string &, const std::string &, const std::string &),
                (override));
    MOCK_METHOD(void, notifyConnectState, (const std::string &, const std::string &), (override));
    MOCK_METHOD(void, notifySampleRate, (const std::string &, const std::string &), (override));
    MOCK_METHOD(void, notifyLatency, (const std::string &, const std::string &), (override));
    MOCK_METHOD(void, notifyLockState, (const std::string &, const std::string &), (override));
    MOCK_METHOD(void, notifyAes67State, (const std::string &, const std::string &, const std::string &),
                (override));
    MOCK_METHOD(void, notifyPatchList,
                (const std::string &, const std::string &, const std::list<wfa_patch_entry> &), (override));
    MOCK_METHOD(void, notifyIfList,
                (const unsigned char &, const std::list<std::wstring> &, const std::list<std::string> &,
                 const std::list<std::string> &),
                (override));
    MOCK_METHOD(void, notifyCurrentIf, (const std::wstring &, const std::string &), (override));
    MOCK_METHOD(void, notifyReserved, (), (override));
    MOCK_METHOD(void, notifyPatchResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, notifyBatchPatchResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, notifyPreferredMasterResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, notifyLatencyResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, notifySampleRateResult, (const std::string &, const unsigned short &), (override));
};

class mock_callback : public IVeltoCallback {
public:
    MOCK_METHOD(void, onInitFinished, (), (override));
    MOCK_METHOD(void, onBrowseStopped, (), (override));
    MOCK_METHOD(void, onDeviceFound, (const propertyMap &), (override));
    MOCK_METHOD(void, onDeviceLost, (const propertyMap &), (override));
    MOCK_METHOD(void, onConnectChanged, (const propertyMap &), (override));
    MOCK_METHOD(void, onChannelCountChanged, (const propertyMap &), (override));
    MOCK_METHOD(void, onSampleRateChanged, (const propertyMap &), (override));
    MOCK_METHOD(void, onLatencyChanged, (const propertyMap &), (override));
    MOCK_METHOD(void, onDeviceLockChanged, (const propertyMap &), (override));
    MOCK_METHOD(void, onAes67StateChanged, (const propertyMap &), (override));
    MOCK_METHOD(void, onPatchList, (const propertyMap &, const std::list<wfa_patch_entry> &), (override));
    MOCK_METHOD(void, onSetPatchResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, onSetBatchPatchResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, onSetPreferredMasterResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, onSetLatencyResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, onSetSampleRateResult, (const std::string &, const unsigned short &), (override));
    MOCK_METHOD(void, onIfList,
                (const unsigned char &, const std::list<std::wstring> &, const std::list<std::string> &,
                 const std::list<std::string> &),
                (override));
    MOCK_METHOD(void, onIf, (const std::wstring &, const std::string &, const unsigned char &), (override));
    MOCK_METHOD(void, onUnusedEvent, (const std::string &, const std::string &, const std::string &),
                (override));
};

} // namespace wrapper_test
