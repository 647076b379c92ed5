// The configuration-service driver inside a running service layer, against the simulated
// configuration service over loopback. The service runs on a thread of the test; time moves only on
// the fake clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testnet/tn_config_service.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"
#include "tests/wrapper/service/driver_fixture.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_tcb.h"

namespace {

using namespace std::chrono;
using driver_fixture::wait_until;
using wrapper_test::recorder;
using wrapper_test::result;

const char *k_two = "interface 02:00:00:00:00:01 Ethernet\n"
                    "interface 02:00:00:00:00:02 Ethernet 2\n"
                    "current 02:00:00:00:00:01\n";
const uint8_t k_mac1[6] = {2, 0, 0, 0, 0, 1};
const uint8_t k_mac2[6] = {2, 0, 0, 0, 0, 2};

std::atomic<int> g_restarts{0};

// The simulated service, answered from a thread of its own; the test reaches it only through with().
class service_thread {
public:
    explicit service_thread(const char *installation)
    {
        qnb_error err = QNB_ERR_SUCCESS;
        m_svc = tn_config_service_new(0, &err);
        EXPECT_NE(m_svc, nullptr) << err;
        if (m_svc && installation)
            tn_config_service_load_text(m_svc, installation);
    }
    ~service_thread()
    {
        m_quit = true;
        if (m_thread.joinable())
            m_thread.join();
        tn_config_service_delete(m_svc);
    }
    void run()
    {
        m_thread = std::thread([this] {
            while (!m_quit) {
                tn_wait_readable(tn_config_service_get_socket(m_svc), 2);
                std::lock_guard<std::mutex> lock(m_lock);
                tn_config_service_process(m_svc);
            }
        });
    }
    template <class F> auto with(F f) -> decltype(f(static_cast<tn_config_service *>(nullptr)))
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return f(m_svc);
    }
    unsigned count(uint16_t opcode)
    {
        return with([=](tn_config_service *s) { return tn_config_service_request_count(s, opcode); });
    }
    uint16_t port() const { return tn_config_service_get_port(m_svc); }

private:
    tn_config_service *m_svc = nullptr;
    std::mutex m_lock;
    std::thread m_thread;
    std::atomic<bool> m_quit{false};
};

// Runs `job` on the worker thread, as a task, and hands back its result.
uint32_t on_worker(std::function<uint32_t()> job)
{
    return driver_fixture::on_worker<uint32_t>(std::move(job));
}

std::vector<uint8_t> set_if_args(const char16_t *name)
{
    std::vector<uint8_t> args(WFA_INTERFACE_RECORD_SIZE, 0);
    wfa_interface_record record{};
    std::u16string text(name);
    std::memcpy(record.name, text.data(), text.size() * sizeof(char16_t));
    wfa_interface_record_write(record, args.data(), args.size(), 0);
    return args;
}

wfa_interface_record read_record(const result &r)
{
    wfa_interface_record record{};
    EXPECT_TRUE(wfa_interface_record_read(r.payload.data(), r.payload.size(), 0, &record));
    return record;
}

std::u16string name_of(const wfa_interface_record &record)
{
    size_t n = 0;
    while (n < WFA_IF_NAME_UNITS && record.name[n])
        ++n;
    return std::u16string(record.name, n);
}

bool mac_is(const wfa_interface_record &record, const uint8_t mac[6])
{
    return std::memcmp(record.mac, mac, 6) == 0;
}

class CmmDriver : public ::testing::Test {
public:
    // The interface list's records live in the driver: they are copied while the result is handled.
    static void callback(void *context, uint16_t status, const uint8_t *frame, size_t size)
    {
        auto *self = static_cast<CmmDriver *>(context);
        uint16_t code = 0;
        std::memcpy(&code, frame, 2);
        if (code == WFA_CBACK_INF_IF_LIST) {
            wfa_interface_list list{};
            wfa_interface_list_read(frame + WFA_FRAME_HEADER, size - WFA_FRAME_HEADER, &list);
            std::lock_guard<std::mutex> lock(self->m_lists_lock);
            self->m_lists.emplace_back(list.records, list.records + list.count);
        }
        recorder::callback(&self->results, status, frame, size);
    }

    void start(const char *installation = k_two, std::function<void(tn_config_service *)> prepare = nullptr)
    {
        service.reset(new service_thread(installation));
        if (prepare)
            service->with([&](tn_config_service *s) {
                prepare(s);
                return 0;
            });
        service->run();
        g_restarts = 0;
        wfa_cmm_set_port(service->port());
        wfa_cmm_set_conmon_restart([] { ++g_restarts; });
        uint16_t id = 0;
        ASSERT_EQ(wfa_start(callback, this, &id), ERR_NOERR);
    }

    void TearDown() override { wfa_stop(); }

    result ask(uint32_t command, const std::vector<uint8_t> &args = {}, uint16_t request_id = 0x4321)
    {
        const size_t before = results.size();
        uint16_t id = request_id;
        EXPECT_EQ(wfa_request(command, args.empty() ? nullptr : args.data(), &id), ERR_NOERR);
        result r{};
        EXPECT_TRUE(results.waitForCode(static_cast<uint16_t>(command), &r, before)) << "no answer to " << command;
        return r;
    }

    // Asks for the current interface until the driver knows it.
    bool ready()
    {
        return wait_until([&] { return ask(13).status == ERR_NOERR; });
    }

    size_t count_code(uint16_t code)
    {
        size_t n = 0;
        for (const result &r : results.results())
            n += r.code == code ? 1 : 0;
        return n;
    }

    // Moves the clock and lets the worker run a pass with the new time before the next check.
    void advance(uint32_t seconds)
    {
        clock.advance(seconds);
        ask(13);
    }

    // The service sees a request before the worker, which sent it, has read the clock for its
    // time-out. An answer from the worker comes only after that pass: wait for one before moving
    // the clock, or the time-out starts at the moved time.
    void settle() { ask(13); }

    std::vector<wfa_interface_record> last_list()
    {
        std::lock_guard<std::mutex> lock(m_lists_lock);
        return m_lists.empty() ? std::vector<wfa_interface_record>() : m_lists.back();
    }

    qz_test::fake_clock clock{1700000000u, 0};
    wrapper_test::layer_guard guard;
    std::unique_ptr<service_thread> service;
    recorder results;
    std::mutex m_lists_lock;
    std::vector<std::vector<wfa_interface_record>> m_lists;
};

TEST_F(CmmDriver, InterfaceListAndCurrentInterfaceAreTheServices)
{
    start(k_two, [](tn_config_service *s) {
        const uint8_t none[6] = {};
        tn_config_service_add_interface(s, "No MAC", none); // not an interface the layer can use
    });
    ASSERT_TRUE(ready());

    result list = ask(11, {}, 0x1111);
    EXPECT_EQ(list.status, ERR_NOERR);
    EXPECT_EQ(list.request_id, 0x1111);
    ASSERT_EQ(list.payload.size(), size_t{WFA_IF_LIST_SIZE});
    EXPECT_EQ(list.payload[0], 2);
    std::vector<wfa_interface_record> records = last_list();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(name_of(records[0]), u"Ethernet");
    EXPECT_TRUE(mac_is(records[0], k_mac1));
    EXPECT_EQ(name_of(records[1]), u"Ethernet 2");
    EXPECT_TRUE(mac_is(records[1], k_mac2));

    result current = ask(13, {}, 0x2222);
    EXPECT_EQ(current.status, ERR_NOERR);
    EXPECT_EQ(current.request_id, 0x2222);
    EXPECT_EQ(name_of(read_record(current)), u"Ethernet");
    EXPECT_TRUE(mac_is(read_record(current), k_mac1));

    // The start-up's own reading of the state is not a change.
    EXPECT_EQ(g_restarts.load(), 0);
    for (const result &r : results.results())
        EXPECT_FALSE(r.code == WFA_CBACK_INF_GET_IF && r.request_id == 0);
}

TEST_F(CmmDriver, SetInterfaceSwitchesAndTheChangeArrivesUnasked)
{
    start();
    ASSERT_TRUE(ready());
    const size_t before = results.size();
    uint16_t id = 0;
    std::vector<uint8_t> args = set_if_args(u"Ethernet 2");
    ASSERT_EQ(wfa_request(12, args.data(), &id), ERR_NOERR);
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_SET_CONFIG) == 1; }));
    cmm_set_config seen{};
    ASSERT_TRUE(service->with([&](tn_config_service *s) { return tn_config_service_last_set_config(s, &seen); }));
    EXPECT_EQ(seen.flags, uint32_t{CMM_SET_CONFIG});
    ASSERT_EQ(seen.config.count, 1);
    EXPECT_EQ(std::memcmp(seen.config.interfaces[0].mac, k_mac2, 6), 0); // the MAC is the service's own

    clock.advance(1); // the service's change takes a second
    result changed{};
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_GET_IF, &changed, before));
    EXPECT_EQ(changed.request_id, 0);
    EXPECT_EQ(changed.status, ERR_NOERR);
    EXPECT_EQ(name_of(read_record(changed)), u"Ethernet 2");
    EXPECT_TRUE(mac_is(read_record(changed), k_mac2));
    EXPECT_TRUE(wait_until([&] { return g_restarts.load() == 1; })); // restarted after the report
    EXPECT_EQ(count_code(WFA_CBACK_INF_SET_IF), 0u); // request id 0: nothing waits for an answer
    EXPECT_EQ(name_of(read_record(ask(13))), u"Ethernet 2");

    // A state that repeats the interface in use is no change; the next real one is reported.
    const size_t unasked = count_code(WFA_CBACK_INF_GET_IF);
    service->with([](tn_config_service *s) { return tn_config_service_set_device_name(s, "OTHER-NAME"); });
    service->with([](tn_config_service *s) { return tn_config_service_set_current(s, k_mac1); });
    ASSERT_TRUE(wait_until([&] { return g_restarts.load() == 2; }));
    std::vector<result> all = results.results();
    size_t reports = 0;
    for (const result &r : all)
        reports += r.code == WFA_CBACK_INF_GET_IF && r.request_id == 0 ? 1 : 0;
    EXPECT_EQ(reports, 2u);
    EXPECT_EQ(count_code(WFA_CBACK_INF_GET_IF), unasked + 1);
}

TEST_F(CmmDriver, SetInterfaceRefusals)
{
    start();
    ASSERT_TRUE(ready());
    struct row {
        const char16_t *name;
        uint16_t status;
    } rows[] = {
        {u"Ethernet", ERR_INTERFACE_SAME}, // the interface in use: the service is not asked
        {u"Wi-Fi", ERR_NOT_FOUND},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(static_cast<int>(r.status));
        result answer = ask(12, set_if_args(r.name), 0x55);
        EXPECT_EQ(answer.status, r.status);
        EXPECT_EQ(answer.request_id, 0x55);
        EXPECT_EQ(answer.payload, std::vector<uint8_t>(WFA_INTERFACE_RECORD_SIZE, 0));
    }
    EXPECT_EQ(service->count(CMM_OPCODE_SET_CONFIG), 0u);

    // While the service walks a change through, another one is refused.
    service->with([](tn_config_service *s) {
        tn_config_service_set_change_delay_ms(s, 4000);
        return 0;
    });
    uint16_t id = 0;
    std::vector<uint8_t> args = set_if_args(u"Ethernet 2");
    ASSERT_EQ(wfa_request(12, args.data(), &id), ERR_NOERR); // accepted: nothing is answered
    result busy{};
    ASSERT_TRUE(wait_until([&] {
        busy = ask(12, set_if_args(u"Ethernet 2"), 0x56);
        return busy.status != ERR_VLPI_OTHER; // the first change's answer is still on its way
    }));
    EXPECT_EQ(busy.status, ERR_INTERFACE_CHANGING);
    EXPECT_EQ(service->count(CMM_OPCODE_SET_CONFIG), 1u);
}

TEST_F(CmmDriver, ForeignLockRefusesTheChangeButNotTheStart)
{
    start(k_two, [](tn_config_service *s) { tn_config_service_set_foreign_lock(s, true); });
    ASSERT_TRUE(ready());
    result answer = ask(12, set_if_args(u"Ethernet 2"), 0x57);
    EXPECT_EQ(answer.status, ERR_INTERFACE_LOCKED);
    EXPECT_EQ(service->count(CMM_OPCODE_SET_CONFIG), 0u);
    // Taking the lock is refused too; giving up one not held changes nothing.
    EXPECT_EQ(on_worker([] { return wfa_cmm_set_lock(1); }), WFA_E_WRONG_STATE);
    EXPECT_EQ(on_worker([] { return wfa_cmm_set_lock(0); }), 1u);
}

TEST_F(CmmDriver, LockIsTakenAndGivenUp)
{
    start();
    ASSERT_TRUE(ready());
    auto own_lock = [&] {
        return service->with([](tn_config_service *s) {
            const cmm_state *state = tn_config_service_get_state(s);
            for (unsigned i = 0; i < state->process_count; ++i)
                if (state->processes[i].pid == static_cast<uint32_t>(getpid()))
                    return state->processes[i].lock;
            return 99u;
        });
    };
    EXPECT_EQ(on_worker([] { return wfa_cmm_set_lock(1); }), 0u);
    ASSERT_TRUE(wait_until([&] { return own_lock() == 1; }));
    ASSERT_TRUE(wait_until([&] { return on_worker([] { return wfa_cmm_set_lock(1); }) == 1; }));
    // Holding the lock never keeps us from giving it up.
    EXPECT_EQ(on_worker([] { return wfa_cmm_set_lock(0); }), 0u);
    ASSERT_TRUE(wait_until([&] { return own_lock() == 0; }));
    cmm_set_config seen{};
    service->with([&](tn_config_service *s) { return tn_config_service_last_set_config(s, &seen); });
    EXPECT_EQ(seen.flags, uint32_t{CMM_SET_LOCK});
}

TEST_F(CmmDriver, RequestIdIsAnsweredOnConfirmationOrAfterFiveSeconds)
{
    start();
    ASSERT_TRUE(ready());

    // Confirmed: the answer carries the request id, and the change is not reported twice.
    size_t before = results.size();
    uint16_t id = 0x77;
    std::vector<uint8_t> args = set_if_args(u"Ethernet 2");
    ASSERT_EQ(wfa_request(12, args.data(), &id), ERR_NOERR);
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_SET_CONFIG) == 1; }));
    settle();
    clock.advance(1);
    result confirmed{};
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_SET_IF, &confirmed, before));
    EXPECT_EQ(confirmed.request_id, 0x77);
    EXPECT_EQ(confirmed.status, ERR_NOERR);
    EXPECT_EQ(name_of(read_record(confirmed)), u"Ethernet 2");
    ASSERT_TRUE(wait_until([&] { return g_restarts.load() == 1; }));
    for (const result &r : results.results())
        EXPECT_FALSE(r.code == WFA_CBACK_INF_GET_IF && r.request_id == 0);

    // Not confirmed within 5 s: ERR_TIMEOUT with the wanted interface; the late change is then
    // reported as a change.
    service->with([](tn_config_service *s) {
        tn_config_service_set_change_delay_ms(s, 8000);
        return 0;
    });
    before = results.size();
    id = 0x78;
    args = set_if_args(u"Ethernet");
    ASSERT_EQ(wfa_request(12, args.data(), &id), ERR_NOERR);
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_SET_CONFIG) == 2; }));
    settle();
    advance(4);
    EXPECT_EQ(count_code(WFA_CBACK_INF_SET_IF), 1u);
    clock.advance(1);
    result late{};
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_SET_IF, &late, before));
    EXPECT_EQ(late.request_id, 0x78);
    EXPECT_EQ(late.status, ERR_TIMEOUT);
    EXPECT_EQ(name_of(read_record(late)), u"Ethernet");
    EXPECT_TRUE(mac_is(read_record(late), k_mac1));
    clock.advance(3);
    ASSERT_TRUE(wait_until([&] { return g_restarts.load() == 2; }));
    result changed{};
    for (const result &r : results.results())
        if (r.code == WFA_CBACK_INF_GET_IF && r.request_id == 0)
            changed = r;
    EXPECT_EQ(changed.code, WFA_CBACK_INF_GET_IF);
    EXPECT_EQ(name_of(read_record(changed)), u"Ethernet");
    EXPECT_EQ(count_code(WFA_CBACK_INF_SET_IF), 2u);
    EXPECT_EQ(g_restarts.load(), 2);
}

TEST_F(CmmDriver, FirstStartWithoutAudioInterfaceSetsTheFirstListed)
{
    const char *unset = "interface 02:00:00:00:00:01 Ethernet\n"
                        "interface 02:00:00:00:00:02 Ethernet 2\n";
    start(unset, [](tn_config_service *s) { tn_config_service_set_status(s, CMM_OPCODE_SET_CONFIG, 258); });
    // The service refuses: after more than 5 s without the interface the driver asks again.
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_SET_CONFIG) == 1; }));
    EXPECT_EQ(ask(13).status, ERR_PROGRESS);
    EXPECT_EQ(ask(11).status, ERR_PROGRESS);
    advance(6);
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_SET_CONFIG) == 2; }));
    service->with([](tn_config_service *s) {
        tn_config_service_set_status(s, CMM_OPCODE_SET_CONFIG, 0);
        return 0;
    });
    settle();
    advance(6);
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_SET_CONFIG) == 3; }));
    cmm_set_config seen{};
    service->with([&](tn_config_service *s) { return tn_config_service_last_set_config(s, &seen); });
    EXPECT_EQ(std::memcmp(seen.config.interfaces[0].mac, k_mac1, 6), 0);
    EXPECT_EQ(ask(13).status, ERR_PROGRESS); // not ready until the service confirms
    clock.advance(1);
    ASSERT_TRUE(ready());
    EXPECT_EQ(name_of(read_record(ask(13))), u"Ethernet");
    // The start-up's own change is neither reported nor a restart.
    EXPECT_EQ(g_restarts.load(), 0);
    for (const result &r : results.results())
        EXPECT_FALSE(r.code == WFA_CBACK_INF_GET_IF && r.request_id == 0);
}

TEST_F(CmmDriver, SilentServiceIsAskedAgainAfterMoreThanFiveSecondsAndNeverReady)
{
    start(k_two, [](tn_config_service *s) { tn_config_service_set_silent(s, true); });
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_STATE_QUERY) == 1; }));
    settle();
    advance(5);
    ask(11);
    EXPECT_FALSE(wait_until([&] { return service->count(CMM_OPCODE_STATE_QUERY) > 1; }, milliseconds(100)));
    advance(1);
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_STATE_QUERY) == 2; }));
    EXPECT_GE(service->count(CMM_OPCODE_REFRESH), 1u);
    settle();
    advance(6);
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_STATE_QUERY) == 3; }));
    EXPECT_EQ(ask(11).status, ERR_PROGRESS);
    EXPECT_EQ(ask(12, set_if_args(u"Ethernet 2")).status, ERR_PROGRESS);
    EXPECT_EQ(ask(13).status, ERR_PROGRESS);
    EXPECT_EQ(count_code(WFA_CBACK_INF_INIT), 0u);
}

TEST_F(CmmDriver, LostLinkIsConnectedAgainAndAnInterfaceChangedMeanwhileIsReported)
{
    start();
    ASSERT_TRUE(ready());
    // The service restarts and forgets us; while we are away it moves to the other interface.
    service->with([](tn_config_service *s) {
        tn_config_service_forget_clients(s);
        return tn_config_service_set_current(s, k_mac2);
    });
    for (int i = 0; i < 3; ++i)
        advance(10); // keepalives go unanswered ...
    const size_t before = results.size();
    advance(2); // ... and after 31 s the link is given up
    ASSERT_TRUE(wait_until([&] { return service->count(CMM_OPCODE_STATE_QUERY) == 2; }));
    result changed{};
    ASSERT_TRUE(wait_until([&] {
        std::vector<result> all = results.results();
        for (size_t i = before; i < all.size(); ++i)
            if (all[i].code == WFA_CBACK_INF_GET_IF && all[i].request_id == 0) {
                changed = all[i];
                return true;
            }
        return false;
    }));
    EXPECT_EQ(name_of(read_record(changed)), u"Ethernet 2");
    EXPECT_TRUE(wait_until([&] { return g_restarts.load() == 1; }));
    EXPECT_EQ(name_of(read_record(ask(13))), u"Ethernet 2");
}

TEST_F(CmmDriver, StopInTheMiddleReturnsAtOnce)
{
    struct row {
        const char *what;
        std::function<void(tn_config_service *)> prepare;
        std::function<void(CmmDriver &)> reach;
    } rows[] = {
        {"connecting", [](tn_config_service *s) { tn_config_service_set_silent(s, true); },
         [](CmmDriver &t) {
             ASSERT_TRUE(wait_until([&] { return t.service->count(CMM_OPCODE_STATE_QUERY) == 1; }));
         }},
        {"confirming", [](tn_config_service *s) { tn_config_service_set_current(s, nullptr); },
         [](CmmDriver &t) {
             ASSERT_TRUE(wait_until([&] { return t.service->count(CMM_OPCODE_SET_CONFIG) == 1; }));
         }},
        {"watching", nullptr,
         [](CmmDriver &t) {
             ASSERT_TRUE(t.ready());
             uint16_t id = 9;
             std::vector<uint8_t> args = set_if_args(u"Ethernet 2");
             ASSERT_EQ(wfa_request(12, args.data(), &id), ERR_NOERR);
             ASSERT_TRUE(wait_until([&] { return t.service->count(CMM_OPCODE_SET_CONFIG) == 1; }));
         }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        start(k_two, r.prepare);
        r.reach(*this);
        auto t0 = steady_clock::now();
        wfa_stop();
        EXPECT_LT(steady_clock::now() - t0, milliseconds(500));
        EXPECT_FALSE(wfa_is_started());
        service.reset();
    }
}

} // namespace
