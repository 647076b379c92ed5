// The started service layer with both local services at once: the simulated configuration service
// and the simulated control-and-monitoring server over loopback, DNS-SD from the fake, seen through
// the program's interface. Start-up, an interface change and stopping in the middle of each phase.
#include <gtest/gtest.h>

#include <net/if.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netaudio/conmon/cmm_codec.h"
#include "testnet/tn_config_service.h"
#include "testnet/tn_conmon_server.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_clock.h"
#include "tests/wrapper/service/driver_fixture.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_trace.h"
#include "wrapper/veltoConnector.h"
#include "wrapper/veltoMain.h"

namespace {

using namespace std::chrono;

const char k_ktv[] = "T001-KTV4-S";
const char k_rqa[] = "T002-RQA-310";
const char k_two[] = "interface 02:00:00:00:00:01 Ethernet\n"
                     "interface 02:00:00:00:00:02 Ethernet 2\n"
                     "current 02:00:00:00:00:01\n";
const uint8_t k_mac2[6] = {2, 0, 0, 0, 0, 2};

template <class Condition> bool wait_until(Condition condition, milliseconds limit = seconds(10))
{
    auto deadline = steady_clock::now() + limit;
    while (!condition()) {
        if (steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

int signal_pass(TCB *task)
{
    std::promise<void> *ran = nullptr;
    std::memcpy(&ran, task->parameters, sizeof ran);
    ran->set_value();
    return tcb_finish(task);
}

// Returns once the worker has run a pass that read the clock after the call: a task posted to it
// runs after the tasks of lower key (the start-up's watches) of such a pass.
void worker_pass()
{
    std::promise<void> ran;
    std::promise<void> *pointer = &ran;
    ASSERT_NE(tcb_post(signal_pass, "test_pass", &pointer, sizeof pointer), nullptr);
    ASSERT_EQ(ran.get_future().wait_for(seconds(10)), std::future_status::ready);
}

// Both simulated services, each answered from a thread of its own; the test reaches them under
// the lock.
class services {
public:
    services()
    {
        m_config = tn_config_service_new(0, nullptr);
        m_conmon = tn_conmon_server_new(0, nullptr);
        EXPECT_TRUE(m_config && m_conmon);
        EXPECT_EQ(tn_config_service_load_text(m_config, k_two), QNB_ERR_SUCCESS);
        tn_config_service_set_change_delay_ms(m_config, 0);
        EXPECT_EQ(tn_conmon_server_load_text(m_conmon, tn_conmon_default_devices), 0);
    }
    ~services()
    {
        m_run = false;
        if (m_thread.joinable())
            m_thread.join();
        tn_conmon_server_delete(m_conmon);
        tn_config_service_delete(m_config);
    }
    void start()
    {
        wfa_cmm_set_port(tn_config_service_get_port(m_config));
        wfa_conmon_set_port(tn_conmon_server_get_port(m_conmon));
        m_run = true;
        m_thread = std::thread([this] {
            while (m_run) {
                tn_wait_readable(tn_config_service_get_socket(m_config), 1);
                std::lock_guard<std::mutex> lock(m_lock);
                tn_config_service_process(m_config);
                tn_conmon_server_poll(m_conmon, 0);
            }
        });
    }
    template <class F> auto with(F f) -> decltype(f(static_cast<tn_config_service *>(nullptr),
                                                    static_cast<tn_conmon_server *>(nullptr)))
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return f(m_config, m_conmon);
    }
    unsigned conmon_count(uint16_t opcode)
    {
        return with([=](tn_config_service *, tn_conmon_server *s) { return tn_conmon_server_request_count(s, opcode); });
    }

private:
    tn_config_service *m_config = nullptr;
    tn_conmon_server *m_conmon = nullptr;
    std::mutex m_lock;
    std::thread m_thread;
    std::atomic<bool> m_run{false};
};

std::string hex_id(const uint8_t id[8])
{
    char text[17];
    for (int i = 0; i < 8; i++)
        std::snprintf(text + 2 * i, 3, "%02x", id[i]);
    return text;
}

void announce_devices(services &svc)
{
    const uint32_t lo = if_nametoindex("lo");
    for (const char *name : {k_ktv, k_rqa}) {
        tn_conmon_device d =
            svc.with([&](tn_config_service *, tn_conmon_server *s) { return *tn_conmon_server_device(s, name); });
        dnssd_fake::announce({"_netaudio-arc._udp", name, lo, std::string(name) + ".local", 4440,
                              dnssd_fake::txt({"arcp_vers=2.1"})});
        dnssd_fake::announce({"_netaudio-cmc._udp", name, lo, std::string(name) + ".local", 8800,
                              dnssd_fake::txt({"id=" + hex_id(d.device_id), "process=" + std::to_string(d.process)})});
    }
}

// The program's side: the notifications it gets, and the trace lines of the results that are only
// traced (the layer's initialisation-finished event among them).
class program : public wrapper_test::mock_notify {
public:
    program()
    {
        using ::testing::_;
        ON_CALL(*this, notifyDeviceAdded(_, _, _, _, _, _, _, _))
            .WillByDefault([this](const std::string &device, const std::string &, const std::string &,
                                  const std::string &, const std::string &, const std::string &,
                                  const std::string &, const std::string &) { note("added " + device); });
        ON_CALL(*this, notifyIfList(_, _, _, _))
            .WillByDefault([this](const unsigned char &count, const std::list<std::wstring> &names,
                                  const std::list<std::string> &macs, const std::list<std::string> &) {
                std::string line = "list " + std::to_string(count);
                auto mac = macs.begin();
                for (const std::wstring &n : names)
                    line += " " + std::string(n.begin(), n.end()) + "=" + (mac != macs.end() ? *mac++ : "");
                note(line);
            });
        ON_CALL(*this, notifyCurrentIf(_, _)).WillByDefault([this](const std::wstring &n, const std::string &mac) {
            note("current " + std::string(n.begin(), n.end()) + "=" + mac);
        });
        wfa_trace_set_sink(&program::trace, this);
    }
    ~program() override { wfa_trace_set_sink(nullptr, nullptr); }

    size_t count(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        size_t n = 0;
        for (const std::string &l : m_lines)
            n += l == line ? 1 : 0;
        return n;
    }
    bool has(const std::string &line, size_t times = 1)
    {
        return wait_until([&] { return count(line) >= times; });
    }
    std::string last(const std::string &prefix)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto it = m_lines.rbegin(); it != m_lines.rend(); ++it)
            if (it->compare(0, prefix.size(), prefix) == 0)
                return *it;
        return "";
    }

private:
    static void trace(const char *text, void *context)
    {
        std::string line(text);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        static_cast<program *>(context)->note(line);
    }
    void note(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back(line);
    }
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

using nice_program = ::testing::NiceMock<program>;

const char k_init[] = "WFA_CBACK_INF_INIT";

// The readiness check is what announces the layer ready; once none waits, and both drivers stay
// ready on an interface that does not change, no announcement can follow.
size_t readiness_checks()
{
    return driver_fixture::tasks_named("wfa_main_check_initialized");
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override { dnssd_fake::reset(); }
    void TearDown() override
    {
        wfa_stop();
        EXPECT_EQ(dnssd_fake::live_references(), 0u);
    }
    wrapper_test::layer_guard guard;
    services svc;
};

TEST_F(Startup, ReadyOnTheServicesInterfaceFindsDevicesAndRestartsOnAnInterfaceChange)
{
    svc.start();
    announce_devices(svc);
    nice_program notes;
    veltoMain wrapper(&notes);
    ASSERT_TRUE(wrapper.init());
    ASSERT_TRUE(notes.has(k_init));

    ASSERT_TRUE(wrapper.requestIfList());
    EXPECT_TRUE(notes.has("list 2 Ethernet=02:00:00:00:00:01 Ethernet 2=02:00:00:00:00:02")) << notes.last("list");
    ASSERT_TRUE(wrapper.requestIf());
    EXPECT_TRUE(notes.has("current Ethernet=02:00:00:00:00:01")) << notes.last("current");

    ASSERT_TRUE(wrapper.startBrowse());
    EXPECT_TRUE(notes.has(std::string("added ") + k_ktv));
    EXPECT_TRUE(notes.has(std::string("added ") + k_rqa));
    EXPECT_EQ(notes.count(k_init), 1u);

    // The change is reported unasked, the control-and-monitoring start-up runs again from a full
    // stop, and the layer announces itself ready on the new interface.
    const unsigned connects = svc.conmon_count(TN_CONMON_OP_CONNECT);
    ASSERT_TRUE(wrapper.setIf(L"Ethernet 2", "02:00:00:00:00:02"));
    EXPECT_TRUE(notes.has("current Ethernet 2=02:00:00:00:00:02")) << notes.last("current");
    EXPECT_TRUE(wait_until([&] { return svc.conmon_count(TN_CONMON_OP_DISCONNECT) >= 1; }));
    EXPECT_TRUE(wait_until([&] { return svc.conmon_count(TN_CONMON_OP_CONNECT) == connects + 1; }));
    EXPECT_TRUE(notes.has(k_init, 2));

    // A new browse finds the devices again.
    ASSERT_TRUE(wrapper.stopBrowse());
    ASSERT_TRUE(wrapper.startBrowse());
    EXPECT_TRUE(notes.has(std::string("added ") + k_ktv, 2));
    EXPECT_TRUE(notes.has(std::string("added ") + k_rqa, 2));
    EXPECT_EQ(readiness_checks(), 0u);
    EXPECT_EQ(notes.count(k_init), 2u);
    wrapper.stop();
}

// An interface change while the start-up still waits for the control-and-monitoring server: one
// readiness check goes on waiting, and the layer announces itself ready once, not once per check.
// The clock moves only while the start-up waits for nothing but its own time-out.
TEST_F(Startup, AChangeBeforeReadyStillAnnouncesReadyOnce)
{
    qz_test::fake_clock clock{1700000000u, 0};
    svc.with([](tn_config_service *, tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_SUBSCRIBE, true);
        return 0;
    });
    svc.start();
    nice_program notes;
    veltoMain wrapper(&notes);
    ASSERT_TRUE(wrapper.init());
    ASSERT_TRUE(wait_until([&] { return svc.conmon_count(TN_CONMON_OP_SUBSCRIBE) >= 1; }));
    const unsigned first_link = svc.conmon_count(TN_CONMON_OP_REGISTER);
    svc.with([](tn_config_service *c, tn_conmon_server *) { return tn_config_service_set_current(c, k_mac2); });
    EXPECT_TRUE(notes.has("current Ethernet 2=02:00:00:00:00:02")) << notes.last("current");
    // The new link has registered and asked for its subscription, which goes unanswered.
    ASSERT_TRUE(wait_until([&] { return svc.conmon_count(TN_CONMON_OP_SUBSCRIBE) >= 2; }));
    const unsigned registers = svc.conmon_count(TN_CONMON_OP_REGISTER);
    const unsigned new_link = registers - first_link;
    ASSERT_GT(new_link, 0u);
    EXPECT_EQ(notes.count(k_init), 0u);
    svc.with([](tn_config_service *, tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_SUBSCRIBE, false);
        return 0;
    });
    // Given up after more than 5 s: the subscription is asked for again (the registrations the
    // server confirmed stand), on a clock that now stands still.
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(svc.conmon_count(TN_CONMON_OP_SUBSCRIBE), 2u) << "second " << i;
        clock.advance(1);
        worker_pass();
    }
    ASSERT_TRUE(notes.has(k_init));
    EXPECT_EQ(svc.conmon_count(TN_CONMON_OP_SUBSCRIBE), 3u);
    EXPECT_EQ(svc.conmon_count(TN_CONMON_OP_REGISTER), registers) << "the registrations confirmed stand";
    EXPECT_EQ(readiness_checks(), 0u);
    EXPECT_EQ(notes.count(k_init), 1u);
    wrapper.stop();
}

// Stopping while the start-up waits in any phase returns at once. A phase is reached once the
// service has the request whose answer the start-up then waits for.
TEST_F(Startup, StopInTheMiddleOfEachPhaseReturnsAtOnce)
{
    using setup_fn = std::function<void(tn_config_service *, tn_conmon_server *)>;
    using reached_fn = std::function<bool(tn_config_service *, tn_conmon_server *)>;
    auto config_has = [](uint16_t opcode) -> reached_fn {
        return [=](tn_config_service *c, tn_conmon_server *) { return tn_config_service_request_count(c, opcode) > 0; };
    };
    auto conmon_has = [](uint16_t opcode) -> reached_fn {
        return [=](tn_config_service *, tn_conmon_server *s) { return tn_conmon_server_request_count(s, opcode) > 0; };
    };
    struct row {
        const char *phase;
        setup_fn setup;
        reached_fn reached;
        bool browse;
    } rows[] = {
        {"configuration service silent",
         [](tn_config_service *c, tn_conmon_server *) { tn_config_service_set_silent(c, true); },
         config_has(CMM_OPCODE_STATE_QUERY), false},
        {"choosing the first interface",
         [](tn_config_service *c, tn_conmon_server *) {
             tn_config_service_set_current(c, nullptr);
             tn_config_service_set_change_delay_ms(c, 60000);
         },
         config_has(CMM_OPCODE_SET_CONFIG), false},
        {"control-and-monitoring server silent",
         [](tn_config_service *, tn_conmon_server *s) { tn_conmon_server_set_silent(s, true); },
         conmon_has(TN_CONMON_OP_CONNECT), false},
        {"registering",
         [](tn_config_service *, tn_conmon_server *s) { tn_conmon_server_set_unanswered(s, TN_CONMON_OP_REGISTER, true); },
         conmon_has(TN_CONMON_OP_REGISTER), false},
        {"querying a silent device",
         [](tn_config_service *, tn_conmon_server *s) { tn_conmon_server_device(s, k_ktv)->silent = true; },
         [](tn_config_service *, tn_conmon_server *s) { return tn_conmon_server_device(s, k_ktv)->control_count > 0; },
         true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.phase);
        dnssd_fake::reset();
        services local;
        local.with([&](tn_config_service *c, tn_conmon_server *s) {
            r.setup(c, s);
            return 0;
        });
        local.start();
        announce_devices(local);
        nice_program notes;
        veltoMain wrapper(&notes);
        ASSERT_TRUE(wrapper.init());
        if (r.browse) {
            ASSERT_TRUE(notes.has(k_init));
            ASSERT_TRUE(wrapper.startBrowse());
            ASSERT_TRUE(notes.has(std::string("added ") + k_rqa));
        }
        ASSERT_TRUE(wait_until([&] { return local.with(r.reached); }));
        auto before = steady_clock::now();
        wrapper.stop();
        EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - before).count(), 1000);
        EXPECT_FALSE(wfa_is_started());
    }
    // In the middle of the restart that follows an interface change.
    svc.with([](tn_config_service *, tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_REGISTER, false);
        return 0;
    });
    svc.start();
    nice_program notes;
    veltoMain wrapper(&notes);
    ASSERT_TRUE(wrapper.init());
    ASSERT_TRUE(notes.has(k_init));
    svc.with([](tn_config_service *, tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_REGISTER, true);
        return 0;
    });
    const unsigned registers = svc.conmon_count(TN_CONMON_OP_REGISTER);
    ASSERT_TRUE(wrapper.setIf(L"Ethernet 2", "02:00:00:00:00:02"));
    ASSERT_TRUE(wait_until([&] { return svc.conmon_count(TN_CONMON_OP_REGISTER) > registers; }));
    auto before = steady_clock::now();
    wrapper.stop();
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - before).count(), 1000);
    EXPECT_EQ(notes.count(k_init), 1u);
}

} // namespace
