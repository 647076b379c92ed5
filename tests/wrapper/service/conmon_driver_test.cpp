// The control-and-monitoring driver inside a running service layer, against the simulated local
// server over loopback: start-up, device queries and their watch on the fake clock, the commands
// that reach the devices, and the whole road from browsing to the program's notifications.
#include <gtest/gtest.h>

#include <net/if.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "testnet/tn_conmon_server.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_clock.h"
#include "tests/wrapper/service/driver_fixture.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_fw.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/veltoConnector.h"
#include "wrapper/veltoMain.h"

namespace {

using namespace std::chrono;
using driver_fixture::wait_until;
using wrapper_test::recorder;
using wrapper_test::result;

const char k_ktv[] = "T001-KTV4-S";
const char k_rqa[] = "T002-RQA-310";

// The simulated server, run by a thread of its own; the test reaches it under the lock.
class server_runner {
public:
    server_runner()
    {
        m_server = tn_conmon_server_new(0, nullptr);
        EXPECT_NE(m_server, nullptr);
        EXPECT_EQ(tn_conmon_server_load_text(m_server, tn_conmon_default_devices), 0);
    }
    ~server_runner()
    {
        stop();
        tn_conmon_server_delete(m_server);
    }
    void start()
    {
        m_run = true;
        m_thread = std::thread([this] {
            while (m_run) {
                {
                    std::lock_guard<std::mutex> guard(m_lock);
                    tn_conmon_server_poll(m_server, 0);
                }
                std::this_thread::sleep_for(milliseconds(1));
            }
        });
    }
    void stop()
    {
        m_run = false;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    template <class F> auto with(F f) -> decltype(f(static_cast<tn_conmon_server *>(nullptr)))
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return f(m_server);
    }
    // Answers what has arrived, and what is due, now.
    void answer()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        tn_conmon_server_poll(m_server, 0);
    }
    uint16_t port() { return tn_conmon_server_get_port(m_server); }
    unsigned count(uint16_t opcode)
    {
        return with([&](tn_conmon_server *s) { return tn_conmon_server_request_count(s, opcode); });
    }
    tn_conmon_device device(const char *name)
    {
        return with([&](tn_conmon_server *s) { return *tn_conmon_server_device(s, name); });
    }

private:
    tn_conmon_server *m_server = nullptr;
    std::mutex m_lock;
    std::thread m_thread;
    std::atomic<bool> m_run{false};
};

// Runs `job` on the worker thread, as a task, and returns its result.
uint32_t on_worker(std::function<uint32_t()> job)
{
    return driver_fixture::on_worker<uint32_t>(std::move(job));
}

bool driver_ready()
{
    return on_worker([] { return wfa_conmon_is_ready() ? 1u : 0u; }) == 1;
}

uint32_t device_state(const char *name)
{
    return on_worker([=] { return wfa_device_state(wfa_device_lookup(name)); });
}

// Pauses of the worker do not wait: they are recorded and move the fake clock.
struct pause_log {
    qz_test::fake_clock *clock = nullptr;
    std::mutex lock;
    std::vector<unsigned> pauses;
    static void hook(unsigned ms, void *context)
    {
        auto *self = static_cast<pause_log *>(context);
        {
            std::lock_guard<std::mutex> guard(self->lock);
            self->pauses.push_back(ms);
        }
        self->clock->advance(ms / 1000, (ms % 1000) * 1000);
    }
    size_t count(unsigned ms)
    {
        std::lock_guard<std::mutex> guard(lock);
        size_t n = 0;
        for (unsigned p : pauses) {
            n += p == ms ? 1 : 0;
        }
        return n;
    }
};

// The lines the service layer logs, from the environment's logger (attached on the worker).
class log_capture {
public:
    static void attach()
    {
        clear();
        driver_fixture::on_worker<uint32_t>(listen);
    }
    // Attached by the worker's initialisation, before the start-up logs anything; set it while the
    // layer is stopped.
    static void attach_at_start()
    {
        clear();
        wfa_set_init_step(listen);
    }
    // Lines at `level` that contain `part`.
    static size_t count(unsigned level, const std::string &part)
    {
        std::lock_guard<std::mutex> guard(s_lock);
        size_t n = 0;
        for (const auto &line : s_lines) {
            n += line.first == level && line.second.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

private:
    static void clear()
    {
        std::lock_guard<std::mutex> guard(s_lock);
        s_lines.clear();
    }
    static uint32_t listen()
    {
        qnb_logger *logger = wfa_env()->logger;
        qnb_log_set_master_level(logger, QNB_LOG_DEBUG);
        qnb_log_set_threshold(logger, QNB_LOG_SINK_CALLBACK, QNB_LOG_DEBUG);
        qnb_log_set_callback(logger, capture);
        return 0;
    }
    static void capture(qnb_logger *, const char *, unsigned level, const char *text, size_t length)
    {
        std::lock_guard<std::mutex> guard(s_lock);
        s_lines.emplace_back(level, std::string(text, length));
    }
    static std::mutex s_lock;
    static std::vector<std::pair<unsigned, std::string>> s_lines;
};
std::mutex log_capture::s_lock;
std::vector<std::pair<unsigned, std::string>> log_capture::s_lines;

// ---- on the fake clock ---------------------------------------------------------------------------

class ConmonDriver : public ::testing::Test {
protected:
    void SetUp() override { paused.clock = &clock; }
    void TearDown() override { wfa_stop(); }

    void start(uint16_t port)
    {
        wfa_conmon_set_port(port);
        wfa_set_pause_hook(pause_log::hook, &paused);
        uint16_t id = 0;
        ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
    }
    void start_ready()
    {
        server.start();
        start(server.port());
        ASSERT_TRUE(wait_until(driver_ready));
    }
    // Moves the clock one second at a time. Each second the worker runs its time-outs at the new
    // time, the server answers what they sent, and the worker reads the answers (stamping what it
    // sends next with the time before the next move). A task posted to the worker runs in a pass
    // after every task of lower key (the watches) and after the socket processing of the pass it
    // was posted in.
    void seconds_pass(unsigned n, server_runner *peer = nullptr)
    {
        server_runner &s = peer ? *peer : server;
        on_worker([] { return 0u; });
        for (unsigned i = 0; i < n; i++) {
            clock.advance(1);
            on_worker([] { return 0u; });
            s.answer();
            on_worker([] { return 0u; });
        }
    }
    void add_and_query(const char *name)
    {
        ASSERT_EQ(on_worker([=] {
                      uint32_t r = wfa_device_add(name);
                      return r ? r : wfa_conmon_query(name);
                  }),
                  0u);
    }
    size_t count_code(uint16_t code)
    {
        size_t n = 0;
        for (const result &r : results.results()) {
            n += r.code == code ? 1 : 0;
        }
        return n;
    }
    // The KTV4-S reported, then 24 preferred-master settings to it that the server never answers:
    // every slot of the request table waits.
    void fill_request_table()
    {
        start_ready();
        add_and_query(k_ktv);
        ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
        server.with([](tn_conmon_server *s) {
            tn_conmon_server_set_unanswered(s, TN_CONMON_OP_SEND_MESSAGE, true);
            return 0;
        });
        const unsigned before = server.count(TN_CONMON_OP_SEND_MESSAGE);
        std::vector<uint8_t> params(33, 0);
        std::memcpy(params.data(), k_ktv, sizeof k_ktv);
        params[32] = 1;
        uint16_t id = 0;
        for (int i = 0; i < 24; ++i)
            ASSERT_EQ(wfa_request(18, params.data(), &id), ERR_NOERR);
        ASSERT_TRUE(wait_until([&] { return server.count(TN_CONMON_OP_SEND_MESSAGE) == before + 24; }));
        table_filled_at = server.count(TN_CONMON_OP_SEND_MESSAGE) - 24;
    }
    unsigned controls(const char *name) { return server.device(name).control_count; }
    // Adds `count` RQA-310 units to the server, unit ids from `first` on; their names.
    std::vector<std::string> add_rqa310s(int count, int first)
    {
        std::vector<std::string> names;
        server.with([&](tn_conmon_server *s) {
            for (int i = 0; i < count; ++i) {
                char name[32];
                std::snprintf(name, sizeof name, "T%03X-RQA-310", first + i);
                tn_conmon_device d;
                tn_conmon_device_defaults(&d, name, "RQA-310", first + i);
                EXPECT_EQ(tn_conmon_server_add_device(s, &d), 0);
                names.push_back(name);
            }
            return 0;
        });
        return names;
    }

    qz_test::fake_clock clock{1700000000u, 0};
    wrapper_test::layer_guard guard;
    server_runner server;
    pause_log paused;
    recorder results;
    unsigned table_filled_at = 0; // Send Messages before fill_request_table's settings
};

TEST_F(ConmonDriver, WithoutAServerStartUpRetriesWithFiveSecondPausesAndIsNeverReady)
{
    // A server that never answers: each attempt waits out its 5 s, disconnects and connects again.
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_silent(s, true);
        return 0;
    });
    server.start();
    start(server.port());
    seconds_pass(20);
    EXPECT_GE(server.count(TN_CONMON_OP_CONNECT), 3u);
    EXPECT_FALSE(driver_ready());
    wfa_stop();

    // Nothing listening at all: the refused link costs a 5 s pause per attempt.
    uint16_t port = 0;
    {
        server_runner gone;
        port = gone.port();
    }
    start(port);
    EXPECT_TRUE(wait_until([&] { return paused.count(5000) >= 3; }));
    EXPECT_FALSE(driver_ready());
    EXPECT_EQ(count_code(WFA_CBACK_INF_INIT), 0u);
}

TEST_F(ConmonDriver, UnansweredRegistrationsFallBackToRegisteringAfterSixSeconds)
{
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_REGISTER, true);
        return 0;
    });
    server.start();
    start(server.port());
    ASSERT_TRUE(wait_until([&] { return server.count(TN_CONMON_OP_REGISTER) == 6; }));
    seconds_pass(5);
    EXPECT_EQ(server.count(TN_CONMON_OP_REGISTER), 6u) << "still waiting at 5 s";
    seconds_pass(1);
    ASSERT_TRUE(wait_until([&] { return server.count(TN_CONMON_OP_REGISTER) == 12; })) << "registering again at 6 s";
    // Every round gives its slots back: many rounds later the driver still registers.
    seconds_pass(30);
    EXPECT_GE(server.count(TN_CONMON_OP_REGISTER), 36u);
    EXPECT_EQ(server.count(TN_CONMON_OP_SUBSCRIBE), 0u);
    EXPECT_FALSE(driver_ready());

    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_REGISTER, false);
        return 0;
    });
    seconds_pass(7);
    EXPECT_TRUE(wait_until(driver_ready));
}

TEST_F(ConmonDriver, OnlyTheRegistrationsLeftUnconfirmedAreSentAgain)
{
    // Every third datagram of the server is lost: two of each six answers, so a round that sends
    // all six again could never get through.
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_loss(s, 3);
        return 0;
    });
    server.start();
    start(server.port());
    ASSERT_TRUE(wait_until([&] { return server.count(TN_CONMON_OP_REGISTER) == 6; }));
    for (int i = 0; i < 4 && !driver_ready(); i++)
        seconds_pass(6);
    EXPECT_TRUE(wait_until(driver_ready));
    EXPECT_LT(server.count(TN_CONMON_OP_REGISTER), 12u);
}

TEST_F(ConmonDriver, BrowsingAskedForDuringTheStartUpWaitsForItAtMostThirtySeconds)
{
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_REGISTER, true); // connected, never ready
        return 0;
    });
    server.start();
    start(server.port());
    ASSERT_TRUE(wait_until([&] { return server.count(TN_CONMON_OP_REGISTER) >= 6; }));
    const uint8_t forever[2] = {0xFF, 0xFF};
    uint16_t id = 0;
    ASSERT_EQ(wfa_request(1, forever, &id), ERR_NOERR);
    seconds_pass(3);
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 0u) << "a start waits for the local server";
    // A stop takes the place of the start that waits: both are answered, nothing browses.
    ASSERT_EQ(wfa_request(2, nullptr, &id), ERR_NOERR);
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_DEVICE_LIST) == 1; }));
    EXPECT_EQ(count_code(WFA_CBACK_INF_BROWSE_STOP), 1u);
    // A start that waits in vain is refused as before once 30 s have passed.
    ASSERT_EQ(wfa_request(1, forever, &id), ERR_NOERR);
    seconds_pass(28);
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 1u);
    seconds_pass(3);
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_DEVICE_LIST) == 2; }));
    EXPECT_EQ(results.results().back().status, ERR_PROGRESS);
}

// A device that answers nothing is given up after its fourth query, and queried again once a
// pause has passed, one query a time: 1 s after the first giving-up, 2 s after the second. One that
// leaves the table while it waits is never queried again.
TEST_F(ConmonDriver, ASilentDeviceIsGivenUpAfterFourQueriesThenQueriedAgainAfterGrowingPauses)
{
    auto silence = [&](const char *name, bool silent) {
        server.with([=](tn_conmon_server *s) {
            tn_conmon_server_device(s, name)->silent = silent;
            return 0;
        });
    };
    silence(k_ktv, true);
    silence(k_rqa, true);
    start_ready();
    log_capture::attach();
    const unsigned global = server.count(TN_CONMON_OP_SUBSCRIBE);
    add_and_query(k_ktv);
    add_and_query(k_rqa);
    seconds_pass(43);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_QUERYING));
    seconds_pass(1);
    // The first query and three restarts, each subscribing with its first request and again with
    // each of its three re-sends.
    EXPECT_EQ(server.count(TN_CONMON_OP_SUBSCRIBE) - global, 2u * 4u * 4u);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_FAILED));
    EXPECT_EQ(log_capture::count(QNB_LOG_WARNING, "does not answer its queries"), 2u);
    seconds_pass(1);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_QUERYING)) << "queried again after 1 s";
    seconds_pass(11);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_FAILED)) << "given up after one query";
    seconds_pass(1);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_FAILED)) << "the pause is 2 s now";
    EXPECT_EQ(on_worker([] { return wfa_device_remove(k_rqa); }), 0u);
    const unsigned removed_at = controls(k_rqa);
    seconds_pass(1);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_QUERYING));
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE), 0u);

    silence(k_ktv, false);
    for (int i = 0; i < 10 && count_code(WFA_CBACK_INF_DEVICE) == 0; i++) {
        seconds_pass(1);
    }
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE), 1u);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_READY));
    EXPECT_EQ(log_capture::count(QNB_LOG_INFO, "T001-KTV4-S answers its queries again"), 1u);
    seconds_pass(5);
    EXPECT_EQ(controls(k_rqa), removed_at) << "the removed device is never queried again";
    // Every re-send of the failed queries released its slot: a device found again is reported.
    silence(k_rqa, false);
    add_and_query(k_rqa);
    seconds_pass(1);
    EXPECT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_DEVICE) == 2; }));
}

TEST_F(ConmonDriver, AnUnansweredRequestIsSentAgainAtThreeSeconds)
{
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_reply_delay_ms(s, 3500);
        return 0;
    });
    start_ready();
    add_and_query(k_rqa);
    ASSERT_TRUE(wait_until([&] { return controls(k_rqa) == 1; }));
    seconds_pass(2);
    EXPECT_EQ(controls(k_rqa), 1u);
    seconds_pass(1);
    EXPECT_TRUE(wait_until([&] { return controls(k_rqa) == 2; })) << "re-sent when more than 2 s have passed";
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_reply_delay_ms(s, 0);
        return 0;
    });
    for (int i = 0; i < 10 && count_code(WFA_CBACK_INF_DEVICE) == 0; i++) {
        seconds_pass(1);
    }
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE), 1u) << "the late answers complete the query";
}

TEST_F(ConmonDriver, ManufacturerVersionsAreAskedOnlyOfDevicesThatHaveThem)
{
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_device(s, k_rqa)->capabilities &= ~0x1000u;
        // A software device announces them but has none.
        tn_conmon_device soft;
        tn_conmon_device_defaults(&soft, "T003-KTV4-S", "KTV4-S", 3);
        std::memcpy(soft.model_id, "PvaWin01", 8);
        return tn_conmon_server_add_device(s, &soft);
    });
    start_ready();
    add_and_query(k_ktv);
    add_and_query(k_rqa);
    add_and_query("T003-KTV4-S");
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_DEVICE) == 3; }));
    std::map<std::string, std::vector<uint8_t>> records;
    for (const result &r : results.results()) {
        if (r.code == WFA_CBACK_INF_DEVICE) {
            records[wfa_get_text(r.payload.data(), r.payload.size(), WFA_DI_NAME, 32)] = r.payload;
        }
    }
    EXPECT_EQ(controls(k_ktv), 3u) << "versions, interface status, manufacturer versions";
    EXPECT_EQ(controls(k_rqa), 2u) << "never asked for manufacturer versions";
    EXPECT_EQ(controls("T003-KTV4-S"), 2u) << "a software device is not asked either";
    EXPECT_EQ(wfa_get_text(records[k_ktv].data(), WFA_DEVICE_INFO_SIZE, WFA_DI_MODEL_NAME, 32), "KTV4-S");
    EXPECT_EQ(wfa_get_text(records[k_rqa].data(), WFA_DEVICE_INFO_SIZE, WFA_DI_MODEL_NAME, 32), "");
}

std::vector<uint8_t> status_body(uint16_t type, std::vector<uint8_t> rest)
{
    std::vector<uint8_t> body = {0x07, 0x26, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), 0, 0, 0, 0};
    for (uint8_t b : rest) {
        body.push_back(b);
    }
    return body;
}

// Status messages the devices send of their own accord, each turned into its result (or none).
TEST_F(ConmonDriver, StatusMessagesBecomeResults)
{
    start_ready();
    add_and_query(k_ktv);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
    std::vector<uint8_t> bitmap(34, 0);
    bitmap[1] = 4; // byte count
    bitmap[2] = 0x81;
    bitmap[5] = 0x01;
    std::vector<uint8_t> too_many(34, 0);
    too_many[1] = 33;
    const struct {
        const char *what;
        const char *device;
        std::vector<uint8_t> body;
        int code; // -1: nothing is posted
        size_t size;
        size_t value_at;
        uint8_t value;
    } rows[] = {
        {"receive-channel change", k_ktv, status_body(0x102, bitmap), WFA_CBACK_INF_RX_CH_PATCH_CHANGE, 66, 32, 0x81},
        {"more than 32 bytes of change", k_ktv, status_body(0x102, too_many), -1, 0, 0, 0},
        {"property change", k_ktv, status_body(0x106, {0, 0, 0, 0}), WFA_CBACK_INF_PROPERTY_CHANGE, 124, 0, 'T'},
        {"lock status", k_ktv, status_body(0x1009, {1}), WFA_CBACK_INF_DEVICE_LOCK, 33, 32, 1},
        {"AES67 status", k_ktv, status_body(0x1007, {1, 1}), WFA_CBACK_INF_AES67_STATUS, 34, 33, 1},
        {"a device not in the table", k_rqa, status_body(0x1009, {1}), -1, 0, 0, 0},
        {"metering status", k_ktv, status_body(0xE1, {}), -1, 0, 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const size_t before = results.size();
        ASSERT_EQ(server.with([&](tn_conmon_server *srv) {
                      return tn_conmon_server_send_status(srv, row.device, row.body.data(), row.body.size());
                  }),
                  0);
        // A lock status of the known device marks the end of what this row caused.
        std::vector<uint8_t> marker = status_body(0x1009, {0});
        server.with([&](tn_conmon_server *srv) {
            return tn_conmon_server_send_status(srv, k_ktv, marker.data(), marker.size());
        });
        ASSERT_TRUE(wait_until([&] {
            for (size_t i = before; i < results.size(); i++) {
                const result r = results.results()[i];
                if (r.code == WFA_CBACK_INF_DEVICE_LOCK && r.payload.size() == 33 && r.payload[32] == 0) {
                    return true;
                }
            }
            return false;
        }));
        std::vector<result> caused;
        for (size_t i = before; i < results.size(); i++) {
            caused.push_back(results.results()[i]);
        }
        caused.pop_back(); // the marker
        if (row.code < 0) {
            EXPECT_TRUE(caused.empty());
            continue;
        }
        ASSERT_EQ(caused.size(), 1u);
        EXPECT_EQ(caused[0].code, row.code);
        EXPECT_EQ(caused[0].status, ERR_NOERR);
        ASSERT_EQ(caused[0].payload.size(), row.size);
        EXPECT_EQ(wfa_get_text(caused[0].payload.data(), row.size, 0, 32), k_ktv);
        EXPECT_EQ(caused[0].payload[row.value_at], row.value);
    }
}

// A device leaves the table only after its query is done with it.
TEST_F(ConmonDriver, RemovingADeviceEndsItsQueryFirst)
{
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_device(s, k_ktv)->silent = true;
        return 0;
    });
    start_ready();
    add_and_query(k_ktv);
    seconds_pass(3);
    EXPECT_EQ(on_worker([] { return wfa_device_remove(k_ktv); }), 0u);
    seconds_pass(15); // past the watch's restart time: nothing touches the removed device
    EXPECT_EQ(on_worker([] { return wfa_device_lookup(k_ktv) ? 1u : 0u; }), 0u);
    const unsigned subscribes = server.count(TN_CONMON_OP_SUBSCRIBE);
    seconds_pass(12);
    EXPECT_EQ(server.count(TN_CONMON_OP_SUBSCRIBE), subscribes) << "no query restarted";
}

std::vector<uint8_t> upgrade_status(uint16_t state, uint16_t result, uint32_t done, uint32_t total)
{
    std::vector<uint8_t> rest(16, 0);
    const uint32_t flags = 0x06; // result and progress present
    const uint32_t words[] = {flags, done, total};
    rest[0] = static_cast<uint8_t>(state >> 8);
    rest[1] = static_cast<uint8_t>(state);
    rest[2] = static_cast<uint8_t>(result >> 8);
    rest[3] = static_cast<uint8_t>(result);
    for (int w = 0; w < 3; w++) {
        for (int b = 0; b < 4; b++) {
            rest[4 + 4 * w + b] = static_cast<uint8_t>(words[w] >> (24 - 8 * b));
        }
    }
    return status_body(0x70, rest);
}

// Firmware settings that name a file, so that an upgrade can be asked for.
void write_firmware_settings()
{
    wfa_fw_settings settings{};
    std::u16string folder = u"/fw/", file = u"ktv.qnbr";
    std::copy(folder.begin(), folder.end(), settings.folder);
    std::copy(file.begin(), file.end(), settings.file_name);
    wfa_fw_settings_write(settings);
}

// An upgrade: started once the device acknowledges, its progress reported, ended by its last phase;
// one that the device never acknowledges times out after 10 s.
TEST_F(ConmonDriver, UpgradeIsAcknowledgedReportedAndTimedOut)
{
    start_ready();
    add_and_query(k_ktv);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
    write_firmware_settings();

    ASSERT_EQ(on_worker([] { return wfa_conmon_watch_upgrade_start(k_ktv, 0x51); }), 0u);
    EXPECT_TRUE(wait_until([&] { return server.device(k_ktv).last_type == 0x71; }));
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_UPGRADE_REQUESTED));
    auto deliver = [&](const std::vector<uint8_t> &body) {
        server.with([&](tn_conmon_server *s) { return tn_conmon_server_send_status(s, k_ktv, body.data(), body.size()); });
    };
    deliver(upgrade_status(1, 0, 0, 0));
    result started{};
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_START_UPDATE, &started));
    EXPECT_EQ(started.status, ERR_NOERR);
    EXPECT_EQ(started.request_id, 0x51);
    EXPECT_EQ(started.payload.size(), static_cast<size_t>(WFA_UPGRADE_RECORD_SIZE));

    // Large byte counts still give the right percentage.
    deliver(upgrade_status(4, 0, 0xF0000000u, 0xFFFFFFFFu));
    deliver(upgrade_status(2, 0x112, 10, 10));
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_UPDATE_STATUS) == 2; }));
    std::vector<result> updates;
    for (const result &r : results.results()) {
        if (r.code == WFA_CBACK_INF_UPDATE_STATUS) {
            updates.push_back(r);
        }
    }
    uint16_t percent = 0;
    wfa_get_u16(updates[0].payload.data(), updates[0].payload.size(), 34, &percent);
    EXPECT_EQ(updates[0].payload[32], 1);
    EXPECT_EQ(percent, 93);
    EXPECT_EQ(updates[1].payload[32], 2);
    EXPECT_EQ(updates[1].status, ERR_VLPI_UPGRADE_VLT_BAD_CRC);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_READY));

    ASSERT_EQ(on_worker([] { return wfa_conmon_watch_upgrade_start(k_ktv, 0x52); }), 0u);
    seconds_pass(9);
    EXPECT_EQ(count_code(WFA_CBACK_INF_START_UPDATE), 1u);
    seconds_pass(1);
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_START_UPDATE) == 2; }));
    EXPECT_EQ(results.results().back().status, ERR_TIMEOUT);
    EXPECT_EQ(device_state(k_ktv), static_cast<uint32_t>(WFA_DEVICE_READY));
}

size_t questions_running()
{
    return on_worker([] { return static_cast<uint32_t>(wfa_conmon_question_count()); });
}

// A question keeps its own request id: a sample-rate question put while the device upgrades leaves
// the upgrade's results the upgrade's id. A question to a device whose query the end of browsing
// ended (it cannot become ready) ends with that query.
TEST_F(ConmonDriver, AQuestionChangesNothingElseOfItsDeviceAndEndsWithAnEndedQuery)
{
    start_ready();
    add_and_query(k_ktv);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
    write_firmware_settings();
    ASSERT_EQ(on_worker([] { return wfa_conmon_watch_upgrade_start(k_ktv, 0x51); }), 0u);
    ASSERT_EQ(on_worker([] { return wfa_conmon_ask(k_ktv, WFA_QUESTION_SAMPLE_RATE, 0x99); }), 0u);
    const std::vector<uint8_t> acknowledged = upgrade_status(1, 0, 0, 0);
    server.with([&](tn_conmon_server *s) {
        return tn_conmon_server_send_status(s, k_ktv, acknowledged.data(), acknowledged.size());
    });
    result started{};
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_START_UPDATE, &started));
    EXPECT_EQ(started.request_id, 0x51);

    server.with([](tn_conmon_server *s) {
        tn_conmon_server_device(s, k_rqa)->silent = true;
        return 0;
    });
    add_and_query(k_rqa);
    const size_t before = questions_running();
    ASSERT_EQ(on_worker([] { return wfa_conmon_ask(k_rqa, WFA_QUESTION_LOCK, 0); }), 0u);
    EXPECT_EQ(questions_running(), before + 1);
    on_worker([] {
        wfa_conmon_finish_queries();
        return 0u;
    });
    EXPECT_EQ(questions_running(), before) << "a question left to a device that cannot become ready";
}

// Commands on devices answered by the driver's own rules.
TEST_F(ConmonDriver, DeviceCommandsCheckTheirArgumentsAndTheDevice)
{
    start_ready();
    add_and_query(k_ktv);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
    struct row {
        const char *what;
        std::function<uint32_t()> call;
        uint32_t expected;
    } rows[] = {
        {"unknown device", [] { return wfa_conmon_set_pmas("nobody", 1); }, WFA_E_NOT_FOUND},
        {"32000 refused", [] { return wfa_conmon_set_srate(k_ktv, 32000, 5); }, WFA_E_BAD_ARGUMENT},
        {"reboot mode 2", [] { return wfa_conmon_reboot(k_ktv, 2, 5); }, WFA_E_BAD_ARGUMENT},
        {"unknown type", [] { return wfa_conmon_send_type(k_ktv, 0x62, nullptr); }, WFA_E_UNKNOWN_TYPE},
        {"no firmware file", [] { return wfa_conmon_watch_upgrade_start(k_ktv, 5); }, WFA_E_EMPTY_PATH},
        {"32-character name", [] { return wfa_device_add("T003-ABCDEFGHIJKLMNOPQRSTUVWXYZ01"); },
         wfa_internal_from_library(QNB_ERR_TRUNCATED)},
        {"remove unknown", [] { return wfa_device_remove("nobody"); }, 13u},
    };
    for (const row &r : rows) {
        EXPECT_EQ(on_worker(r.call), r.expected) << r.what;
    }
    EXPECT_EQ(count_code(WFA_CBACK_INF_SET_FS), 0u) << "a refused rate posts no success";
    // The status record: name and the first interface's link-speed code; no second interface.
    std::vector<uint8_t> stat(WFA_DEVICE_STAT_SIZE, 0xAA);
    EXPECT_EQ(on_worker([&] { return wfa_device_get_stat(k_ktv, stat.data()); }), 0u);
    const uint16_t speed = server.device(k_ktv).link_speed[0];
    EXPECT_EQ(stat[32], speed == 1000 ? 3 : speed == 100 ? 2 : speed == 10 ? 1 : speed == 0 ? 0 : 255);
    EXPECT_EQ(stat[33], 255);
    EXPECT_EQ(wfa_get_text(stat.data(), stat.size(), 0, 32), k_ktv);
    EXPECT_EQ(on_worker([&] {
                  wfa_device_add(k_rqa);
                  wfa_conmon_query(k_rqa);
                  return wfa_device_get_stat(k_rqa, stat.data());
              }),
              WFA_E_NOT_READY)
        << "still querying";
    // A reboot takes the device away until its next status message, which queries it again.
    // The state is read in the same worker job: the server's next status message may follow at once.
    EXPECT_EQ(on_worker([] {
                  uint32_t r = wfa_conmon_reboot(k_ktv, 1, 9);
                  return r ? r : wfa_device_state(wfa_device_lookup(k_ktv));
              }),
              static_cast<uint32_t>(WFA_DEVICE_REBOOTING));
    EXPECT_TRUE(wait_until([&] { return server.device(k_ktv).reboots == 1; }));
    EXPECT_EQ(server.device(k_ktv).reset_mode, 1u);
    EXPECT_EQ(on_worker([] { return wfa_conmon_set_pmas(k_ktv, 1); }), WFA_E_WRONG_STATE);
}

// More requests at once than the client's table of 24 has slots: those refused are sent on the next
// passes, which the server's answers bring, and never wait out the 2 s of a lost answer. The fake
// clock stands still throughout, so anything that waited for it would never arrive.
TEST_F(ConmonDriver, RequestsBeyondAFullRequestTableAreSentOnTheNextPasses)
{
    // 40 devices queried in one pass take two requests each (the subscription, the versions query).
    const std::vector<std::string> names = add_rqa310s(40, 0x10);
    start_ready();
    ASSERT_EQ(on_worker([&] {
                  for (const std::string &n : names) {
                      uint32_t r = wfa_device_add(n.c_str());
                      if (!r)
                          r = wfa_conmon_query(n.c_str());
                      if (r)
                          return r;
                  }
                  return 0u;
              }),
              0u);
    EXPECT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_DEVICE) == names.size(); }))
        << count_code(WFA_CBACK_INF_DEVICE) << " of " << names.size() << " devices reported";

    // 60 preferred-master commands posted together, each a control message holding a slot until
    // the server answers it: all succeed.
    auto set_pmas = [&](int n) {
        std::vector<uint8_t> params(33, 0);
        std::memcpy(params.data(), names[0].c_str(), names[0].size());
        params[32] = 1;
        for (int i = 0; i < n; ++i) {
            uint16_t id = static_cast<uint16_t>(100 + i);
            ASSERT_EQ(wfa_request(18, params.data(), &id), ERR_NOERR);
        }
    };
    set_pmas(60);
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_SET_PMAS) == 60; }));
    for (const result &r : results.results()) {
        if (r.code == WFA_CBACK_INF_SET_PMAS) {
            EXPECT_EQ(r.status, ERR_NOERR);
        }
    }

    // Answers withheld: the slots stay taken and the commands sent wait for their answers. A
    // command refused by the full table waits for room, and fails only once more than 2 whole
    // seconds have passed; the ones sent fail when their answer has not come in 5 s.
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_SEND_MESSAGE, true);
        return 0;
    });
    const unsigned sent_before = server.count(TN_CONMON_OP_SEND_MESSAGE);
    set_pmas(30);
    // Each of the 30 has been tried: its message reached the server, or it waits for room, or it
    // was answered.
    auto tried = [&] {
        return server.count(TN_CONMON_OP_SEND_MESSAGE) - sent_before + driver_fixture::tasks_named("proc_set_pmas") +
               (count_code(WFA_CBACK_INF_SET_PMAS) - 60);
    };
    EXPECT_TRUE(wait_until([&] { return tried() == 30; })) << tried();
    EXPECT_EQ(count_code(WFA_CBACK_INF_SET_PMAS), 60u) << "answered before the server or the table";
    seconds_pass(2);
    EXPECT_EQ(count_code(WFA_CBACK_INF_SET_PMAS), 60u) << "still waiting at 2 s";
    seconds_pass(1);
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_SET_PMAS) > 60; }));
    const size_t refused = count_code(WFA_CBACK_INF_SET_PMAS) - 60;
    ASSERT_LT(refused, 30u) << "the table had room for some";
    seconds_pass(3);
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_SET_PMAS) == 90; }));
    size_t failed = 0;
    for (const result &r : results.results())
        failed += r.code == WFA_CBACK_INF_SET_PMAS && r.status != ERR_NOERR ? 1 : 0;
    EXPECT_EQ(failed, 30u);
}

// A reboot that the full request table refuses waits for room like the other commands, and fails
// once more than 2 s have passed without one.
TEST_F(ConmonDriver, ARebootWaitsForRoomInAFullRequestTable)
{
    ASSERT_NO_FATAL_FAILURE(fill_request_table());
    std::vector<uint8_t> params(33, 0);
    std::memcpy(params.data(), k_ktv, sizeof k_ktv);
    params[32] = 1;
    uint16_t id = 0;
    ASSERT_EQ(wfa_request(10, params.data(), &id), ERR_NOERR);
    EXPECT_EQ(driver_fixture::tasks_named("proc_reboot_device"), 1u) << "refused at once";
    seconds_pass(2);
    EXPECT_EQ(count_code(WFA_CBACK_INF_REBOOT), 0u);
    seconds_pass(1);
    result reboot{};
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_REBOOT, &reboot));
    EXPECT_NE(reboot.status, ERR_NOERR);
    EXPECT_EQ(server.device(k_ktv).reboots, 0u);
}

// The questions asked of every device found (sample rate, preferred master, lock state, AES67
// state) do not wait for room in a full request table: each is sent bare at once, and the device's
// answer arrives while the table is still full.
TEST_F(ConmonDriver, QuestionsAreAskedAtOnceWhileTheRequestTableIsFull)
{
    ASSERT_NO_FATAL_FAILURE(fill_request_table());
    const unsigned before = table_filled_at;
    std::vector<uint8_t> params;
    uint16_t id = 0;

    const uint16_t questions[] = {WFA_CBACK_INF_GET_FS, WFA_CBACK_INF_GET_PMAS, WFA_CBACK_INF_DEVICE_LOCK,
                                  WFA_CBACK_INF_AES67_STATUS};
    std::map<uint16_t, size_t> answered;
    for (uint16_t q : questions) {
        answered[q] = count_code(q);
        params.assign(34, 0);
        std::memcpy(params.data(), k_ktv, sizeof k_ktv);
        ASSERT_EQ(wfa_request(q, params.data(), &id), ERR_NOERR);
    }
    for (uint16_t q : questions) {
        SCOPED_TRACE(q);
        EXPECT_TRUE(wait_until([&] { return count_code(q) > answered[q]; })) << "answered while the table is full";
    }
    // Each is sent once at most; the preferred-master question may be answered before it is sent,
    // by a clocking status that the settings above bring.
    EXPECT_GE(server.count(TN_CONMON_OP_SEND_MESSAGE), before + 24 + 3);
    EXPECT_LE(server.count(TN_CONMON_OP_SEND_MESSAGE), before + 24 + 4);
}

// A question whose answer (the device's status message) does not come is asked again each time
// more than 2 whole seconds have passed, 10 times; then its missing answer is logged, once, and it
// is asked less and less often (after 4, 8, 16, then 30 s), but never given up while its device is
// there.
TEST_F(ConmonDriver, AnUnansweredQuestionIsAskedTenTimesThenLessOftenWithOneWarning)
{
    start_ready();
    add_and_query(k_ktv);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
    log_capture::attach();
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_device(s, k_ktv)->silent = true;
        return 0;
    });
    const unsigned before = controls(k_ktv);
    ASSERT_EQ(on_worker([] { return wfa_conmon_ask(k_ktv, WFA_QUESTION_LOCK, 0); }), 0u);
    ASSERT_TRUE(wait_until([&] { return controls(k_ktv) == before + 1; })) << "asked at once";
    seconds_pass(2);
    EXPECT_EQ(controls(k_ktv), before + 1) << "not again within 2 s";
    // Asked at 0, 3, 6, ... 27 s; the clock stands at 2 s here and at 29 s after the loop.
    for (unsigned asked = 2; asked <= WFA_QUESTION_TRIES; asked++) {
        seconds_pass(3);
        ASSERT_TRUE(wait_until([&] { return controls(k_ktv) == before + asked; })) << "asking " << asked;
    }
    EXPECT_EQ(questions_running(), 1u) << "the last asking still waits";
    EXPECT_EQ(log_capture::count(QNB_LOG_WARNING, "question"), 0u);
    seconds_pass(1);
    EXPECT_EQ(questions_running(), 1u);
    EXPECT_EQ(log_capture::count(QNB_LOG_WARNING, std::string(k_ktv) + ": the lock state question is still "
                                                  "unanswered, asked 10 times (the device's status message did "
                                                  "not come); asking it less often"),
              1u);
    ASSERT_TRUE(wait_until([&] { return controls(k_ktv) == before + WFA_QUESTION_TRIES + 1; })) << "asking 11 at 30 s";
    // Then after more than 4, 8 and 16 s.
    unsigned asked = WFA_QUESTION_TRIES + 1;
    for (unsigned wait : {4u, 8u, 16u}) {
        SCOPED_TRACE(wait);
        seconds_pass(wait);
        EXPECT_EQ(controls(k_ktv), before + asked);
        seconds_pass(1);
        ASSERT_TRUE(wait_until([&] { return controls(k_ktv) == before + asked + 1; }));
        asked++;
    }
    EXPECT_EQ(log_capture::count(QNB_LOG_WARNING, "question"), 1u) << "logged once";
    EXPECT_EQ(questions_running(), 1u);
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LOCK), 0u);
}

// The device's status message answers its question whether it answers an asking or came of its
// own accord: the question ends and is not asked again.
TEST_F(ConmonDriver, AQuestionEndsWithItsStatusMessageAskedForOrNot)
{
    start_ready();
    add_and_query(k_ktv);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
    const unsigned before = controls(k_ktv);
    ASSERT_EQ(on_worker([] { return wfa_conmon_ask(k_ktv, WFA_QUESTION_SAMPLE_RATE, 0x77); }), 0u);
    result fs{};
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_GET_FS, &fs));
    EXPECT_EQ(fs.request_id, 0x77);
    EXPECT_TRUE(wait_until([] { return questions_running() == 0; }));

    server.with([](tn_conmon_server *s) {
        tn_conmon_server_device(s, k_ktv)->silent = true;
        return 0;
    });
    ASSERT_EQ(on_worker([] { return wfa_conmon_ask(k_ktv, WFA_QUESTION_AES67, 0); }), 0u);
    ASSERT_TRUE(wait_until([&] { return controls(k_ktv) == before + 2; }));
    const std::vector<uint8_t> aes67 = status_body(0x1007, {1, 0});
    server.with([&](tn_conmon_server *s) {
        tn_conmon_server_device(s, k_ktv)->silent = false;
        return tn_conmon_server_send_status(s, k_ktv, aes67.data(), aes67.size());
    });
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_AES67_STATUS));
    EXPECT_TRUE(wait_until([] { return questions_running() == 0; }));
    seconds_pass(7);
    EXPECT_EQ(controls(k_ktv), before + 2) << "neither question asked again";
}

// A device that leaves the table ends its questions. Questions never wait for room in the request
// table: 7 silent devices asked 4 questions each, 28 questions, take the slots they may (they leave
// 8 of the 24 to queries and commands; the server answers no Send Message) and are sent bare
// beyond them, all at once; each is asked 10 times, then less often, and goes on being asked.
TEST_F(ConmonDriver, QuestionsEndWithTheirDeviceAndNeverWaitForRoom)
{
    const std::vector<std::string> names = add_rqa310s(7, 0x30);
    start_ready();
    add_and_query(k_ktv);
    for (const std::string &n : names)
        add_and_query(n.c_str());
    ASSERT_TRUE(wait_until([&] { return count_code(WFA_CBACK_INF_DEVICE) == names.size() + 1; }));
    log_capture::attach();
    server.with([&](tn_conmon_server *s) {
        tn_conmon_server_device(s, k_ktv)->silent = true;
        for (const std::string &n : names)
            tn_conmon_server_device(s, n.c_str())->silent = true;
        return 0;
    });
    auto ask_all = [](const char *name) {
        return on_worker([=] {
            uint32_t r = 0;
            for (uint32_t q = 0; q < WFA_QUESTIONS && r == 0; q++)
                r = wfa_conmon_ask(name, q, 0);
            return r;
        });
    };

    // Gone: its questions end with it.
    const unsigned ktv_before = controls(k_ktv);
    ASSERT_EQ(ask_all(k_ktv), 0u);
    EXPECT_EQ(questions_running(), 4u);
    EXPECT_EQ(on_worker([] { return wfa_device_remove(k_ktv); }), 0u);
    EXPECT_EQ(questions_running(), 0u);
    seconds_pass(6);
    EXPECT_EQ(controls(k_ktv), ktv_before + 4) << "asked once each, never again";
    EXPECT_EQ(on_worker([] { return wfa_conmon_ask(k_ktv, WFA_QUESTION_LOCK, 0); }), WFA_E_NOT_FOUND);

    // Waiting for room.
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_SEND_MESSAGE, true);
        return 0;
    });
    const unsigned sent_before = server.count(TN_CONMON_OP_SEND_MESSAGE);
    for (const std::string &n : names)
        ASSERT_EQ(ask_all(n.c_str()), 0u);
    ASSERT_TRUE(wait_until([&] { return server.count(TN_CONMON_OP_SEND_MESSAGE) == sent_before + 28; }))
        << "every first asking sent at once";
    seconds_pass(8);
    EXPECT_EQ(questions_running(), 28u);
    for (int i = 0; i < 120 && log_capture::count(QNB_LOG_WARNING, "asked 10 times") < 28; i++)
        seconds_pass(1);
    EXPECT_EQ(questions_running(), 28u);
    EXPECT_GE(server.count(TN_CONMON_OP_SEND_MESSAGE), sent_before + 28 * WFA_QUESTION_TRIES);
    EXPECT_EQ(log_capture::count(QNB_LOG_WARNING, "question is still unanswered, asked 10 times"), 28u);
    EXPECT_EQ(log_capture::count(QNB_LOG_ERROR, "error sending message"), 0u) << "a refusal tried again is no error";
}

// Stopping the layer while the driver waits in any state returns at once and leaves nothing behind.
TEST_F(ConmonDriver, StopInEveryStateReturnsAtOnce)
{
    struct row {
        const char *state;
        std::function<void(tn_conmon_server *)> setup;
        bool query;
    } rows[] = {
        {"connecting", [](tn_conmon_server *s) { tn_conmon_server_set_silent(s, true); }, false},
        {"registering",
         [](tn_conmon_server *s) { tn_conmon_server_set_unanswered(s, TN_CONMON_OP_REGISTER, true); }, false},
        {"subscribing",
         [](tn_conmon_server *s) { tn_conmon_server_set_unanswered(s, TN_CONMON_OP_SUBSCRIBE, true); }, false},
        {"querying", [](tn_conmon_server *s) { tn_conmon_server_device(s, k_ktv)->silent = true; }, true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.state);
        server_runner local;
        local.with([&](tn_conmon_server *s) {
            r.setup(s);
            return 0;
        });
        local.start();
        wfa_conmon_set_port(local.port());
        uint16_t id = 0;
        ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
        if (r.query) {
            ASSERT_TRUE(wait_until(driver_ready));
            add_and_query(k_ktv);
        }
        seconds_pass(2, &local);
        auto before = steady_clock::now();
        wfa_stop();
        EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - before).count(), 1000);
    }
    // Without a server and with the real pause: the 5 s pause is cut short by the stop too. The
    // driver logs the failed link as it begins to pause.
    wfa_set_pause_hook(nullptr, nullptr);
    uint16_t port = 0;
    {
        server_runner gone;
        port = gone.port();
    }
    wfa_conmon_set_port(port);
    log_capture::attach_at_start();
    uint16_t id = 0;
    ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
    ASSERT_TRUE(wait_until([] {
        return log_capture::count(QNB_LOG_NOTICE, "conmon: no local server, trying again") +
                   log_capture::count(QNB_LOG_WARNING, "conmon: link to the local server lost") >
               0;
    }));
    auto before = steady_clock::now();
    wfa_stop();
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - before).count(), 1000);
}

// A server that restarted (at once, or away for 3 s) no longer knows the driver's link: the first
// preferred-master setting after it is reported failed, never set, and the driver connects,
// registers and subscribes again, so that the next setting reaches the device. A setting the server
// never answers fails after the local request time-out.
TEST_F(ConmonDriver, ALinkTheServerLostIsMadeAgainAndItsSettingsAnswerFromTheServer)
{
    start_ready();
    add_and_query(k_ktv);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
    auto set_pmas = [&](uint16_t request_id) {
        wfa_pmas_answer answer{};
        answer.size = 33;
        std::memcpy(answer.record, k_ktv, sizeof k_ktv);
        answer.request_id = request_id;
        const size_t from = results.results().size();
        EXPECT_EQ(on_worker([&] { return wfa_conmon_set_pmas(k_ktv, 1, &answer); }), 0u);
        auto answered = [&](result *out) {
            const std::vector<result> all = results.results();
            for (size_t i = from; i < all.size(); i++) {
                if (all[i].code == WFA_CBACK_INF_SET_PMAS) {
                    *out = all[i];
                    return true;
                }
            }
            return false;
        };
        result r{};
        for (int i = 0; i < 8 && !wait_until([&] { return answered(&r); }, milliseconds(300)); i++) {
            seconds_pass(1);
        }
        EXPECT_EQ(r.request_id, request_id);
        return r.status;
    };
    EXPECT_EQ(set_pmas(1), ERR_NOERR);
    for (uint32_t down_ms : {0u, 3000u}) {
        SCOPED_TRACE(down_ms);
        const unsigned connects = server.count(TN_CONMON_OP_CONNECT);
        const unsigned before = controls(k_ktv);
        server.with([&](tn_conmon_server *s) { return tn_conmon_server_restart(s, down_ms); });
        EXPECT_NE(set_pmas(2), ERR_NOERR) << "a setting the server refused or never saw";
        seconds_pass(down_ms / 1000 + 12);
        EXPECT_TRUE(wait_until(driver_ready));
        EXPECT_GT(server.count(TN_CONMON_OP_CONNECT), connects);
        EXPECT_TRUE(server.with([](tn_conmon_server *s) { return tn_conmon_server_is_subscribed(s, 2, nullptr); }));
        EXPECT_EQ(set_pmas(3), ERR_NOERR);
        EXPECT_GT(controls(k_ktv), before);
    }
    server.with([](tn_conmon_server *s) {
        tn_conmon_server_set_unanswered(s, TN_CONMON_OP_SEND_MESSAGE, true);
        return 0;
    });
    EXPECT_NE(set_pmas(4), ERR_NOERR) << "unanswered";
}

TEST_F(ConmonDriver, RestartStopsFullyAndReachesReadyAgain)
{
    start_ready();
    add_and_query(k_ktv);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE));
    const unsigned connects = server.count(TN_CONMON_OP_CONNECT);
    EXPECT_EQ(on_worker([] {
                  uint32_t r = wfa_conmon_restart();
                  return r ? r : (wfa_conmon_is_ready() ? 1u : 0u);
              }),
              0u);
    EXPECT_TRUE(wait_until([&] { return server.count(TN_CONMON_OP_DISCONNECT) >= 1; }));
    EXPECT_TRUE(wait_until(driver_ready));
    EXPECT_EQ(server.count(TN_CONMON_OP_CONNECT), connects + 1);
}

// ---- the whole road, through the program's interface ---------------------------------------------

// The program's side: every notification as a line of text.
class notes : public IVeltoNotify {
public:
    void notifyInitDone() override { note("init"); }
    void notifyDeviceAdded(const std::string &device, const std::string &modelId, const std::string &manfId,
                           const std::string &modelName, const std::string &qnbFirm, const std::string &qnbSoft,
                           const std::string &manfFirm, const std::string &manfSoft) override
    {
        note("added " + device + " " + modelId + " " + manfId + " " + modelName + " " + qnbFirm + " " + qnbSoft + " " +
             manfFirm + " " + manfSoft);
    }
    void notifyDeviceRemoved(const std::string &device) override { note("removed " + device); }
    void notifyChannelCount(const std::string &, const std::string &, const std::string &) override {}
    void notifyConnectState(const std::string &device, const std::string &state) override
    {
        note("connect " + device + " " + state);
    }
    void notifySampleRate(const std::string &device, const std::string &fs) override { note("fs " + device + " " + fs); }
    void notifyLatency(const std::string &, const std::string &) override {}
    void notifyLockState(const std::string &device, const std::string &lock) override
    {
        note("lock " + device + " " + lock);
    }
    void notifyAes67State(const std::string &device, const std::string &enabled, const std::string &reboot) override
    {
        note("aes67 " + device + " " + enabled + " " + reboot);
    }
    void notifyPatchList(const std::string &, const std::string &, const std::list<wfa_patch_entry> &) override {}
    void notifyIfList(const unsigned char &, const std::list<std::wstring> &, const std::list<std::string> &,
                      const std::list<std::string> &) override
    {
    }
    void notifyCurrentIf(const std::wstring &, const std::string &) override {}
    void notifyReserved() override {}
    void notifyPatchResult(const std::string &, const unsigned short &) override {}
    void notifyBatchPatchResult(const std::string &, const unsigned short &) override {}
    void notifyPreferredMasterResult(const std::string &device, const unsigned short &status) override
    {
        note("pmas-result " + device + " " + std::to_string(status));
    }
    void notifyLatencyResult(const std::string &, const unsigned short &) override {}
    void notifySampleRateResult(const std::string &device, const unsigned short &status) override
    {
        note("fs-result " + device + " " + std::to_string(status));
    }

    bool has(const std::string &prefix)
    {
        return wait_until([&] {
            std::lock_guard<std::mutex> guard(m_lock);
            for (const std::string &line : m_lines) {
                if (line.compare(0, prefix.size(), prefix) == 0) {
                    return true;
                }
            }
            return false;
        });
    }
    std::string find(const std::string &prefix)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const std::string &line : m_lines) {
            if (line.compare(0, prefix.size(), prefix) == 0) {
                return line;
            }
        }
        return "";
    }

private:
    void note(const std::string &line)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(line);
    }
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

// The program's wrapper, whose commands are also written down before they go to the layer.
class loggedMain : public veltoMain {
public:
    explicit loggedMain(IVeltoNotify *notify) : veltoMain(notify) {}
    std::vector<uint32_t> commands()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_commands;
    }

protected:
    veltoConnector *makeConnector() override
    {
        return new veltoConnector(this, [this](uint32_t command, const void *params, uint16_t *request_id) {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_commands.push_back(command);
            }
            return wfa_request(command, params, request_id);
        });
    }

private:
    std::mutex m_lock;
    std::vector<uint32_t> m_commands;
};

std::string hex_id(const uint8_t id[8])
{
    char text[17];
    for (int i = 0; i < 8; i++) {
        std::snprintf(text + 2 * i, 3, "%02x", id[i]);
    }
    return text;
}

TEST(ConmonDriverRoad, DevicesFoundAnsweredAndSet)
{
    wrapper_test::layer_guard guard;
    dnssd_fake::reset();
    server_runner server;
    server.with([](tn_conmon_server *s) {
        tn_conmon_device *d = tn_conmon_server_device(s, k_rqa);
        d->rate_count = 2;
        d->rates[0] = 44100;
        d->rates[1] = 48000;
        d->rate = 48000;
        return 0;
    });
    server.start();
    wfa_conmon_set_port(server.port());
    const uint32_t lo = if_nametoindex("lo");
    for (const char *name : {k_ktv, k_rqa}) {
        tn_conmon_device d = server.device(name);
        dnssd_fake::announce({"_netaudio-arc._udp", name, lo, std::string(name) + ".local", 4440,
                              dnssd_fake::txt({"arcp_vers=2.1"})});
        dnssd_fake::announce({"_netaudio-cmc._udp", name, lo, std::string(name) + ".local", 8800,
                              dnssd_fake::txt({"id=" + hex_id(d.device_id), "process=" + std::to_string(d.process)})});
    }

    notes program;
    {
        loggedMain wrapper(&program);
        ASSERT_TRUE(wrapper.init());
        ASSERT_TRUE(wait_until(driver_ready));
        ASSERT_TRUE(wrapper.startBrowse());

        for (const char *name : {k_ktv, k_rqa}) {
            SCOPED_TRACE(name);
            tn_conmon_device d = server.device(name);
            ASSERT_TRUE(program.has(std::string("added ") + name));
            char firmware[64];
            std::snprintf(firmware, sizeof firmware, "%u.%u.%u.%u", d.firmware.major, d.firmware.minor,
                          d.firmware.bugfix, d.firmware.build);
            std::string added = program.find(std::string("added ") + name);
            EXPECT_NE(added.find(std::string(" ") + d.model_name + " "), std::string::npos) << added;
            EXPECT_NE(added.find(firmware), std::string::npos) << added;
            // The follow-up queries reach the device and their answers the program.
            EXPECT_TRUE(program.has("fs " + std::string(name) + " " + std::to_string(d.rate)));
            EXPECT_TRUE(program.has("lock " + std::string(name)));
            EXPECT_TRUE(program.has("aes67 " + std::string(name)));
        }

        ASSERT_TRUE(wrapper.setSampleRate(k_rqa, 44100));
        EXPECT_TRUE(program.has(std::string("fs-result ") + k_rqa + " 0"));
        EXPECT_TRUE(wait_until([&] { return server.device(k_rqa).rate == 44100; }));
        ASSERT_TRUE(wrapper.setPreferredMaster(k_ktv, true));
        EXPECT_TRUE(program.has(std::string("pmas-result ") + k_ktv + " 0"));
        EXPECT_TRUE(wait_until([&] { return server.device(k_ktv).preferred_master; }));

        // The server's subscription events drive the connect state.
        server.with([](tn_conmon_server *s) { return tn_conmon_server_set_online(s, k_rqa, false); });
        EXPECT_TRUE(program.has(std::string("connect ") + k_rqa));

        // A property change queues the properties refresh.
        server.with([](tn_conmon_server *s) { return tn_conmon_server_property_change(s, k_ktv); });
        EXPECT_TRUE(wait_until([&] {
            for (uint32_t c : wrapper.commands()) {
                if (c == 39) {
                    return true;
                }
            }
            return false;
        }));
    }
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
}

} // namespace
