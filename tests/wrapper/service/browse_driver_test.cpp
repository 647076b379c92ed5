// The browse driver inside a running service layer, over the scripted DNS-SD backend. The
// control-and-monitoring side (device table, device queries, the local server's identity) is a fake
// that records what the driver asks of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_clock.h"
#include "tests/wrapper/service/driver_fixture.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_browse.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_tcb.h"

namespace {

using namespace std::chrono;
using driver_fixture::wait_until;
using wrapper_test::recorder;
using wrapper_test::result;

const char k_media[] = "_netaudio-arc._udp";
const char k_conmon[] = "_netaudio-cmc._udp";
const uint32_t k_wire = 5;
const char k_server_id[] = "02515afffe0000aa";

dnssd_fake::service media(const std::string &name, uint32_t interface_index = k_wire)
{
    return {k_media, name, interface_index, name + ".local", 4440, dnssd_fake::txt({"arcp_vers=2.1"})};
}

dnssd_fake::service conmon(const std::string &name, const char *id = "02515afffe000001", int process = 2)
{
    return {k_conmon, name, k_wire, name + ".local", 8800,
            dnssd_fake::txt({std::string("id=") + id, "process=" + std::to_string(process)})};
}

// The control-and-monitoring driver as the browse driver sees it.
struct fake_conmon {
    std::mutex lock;
    bool ready = false;
    std::set<std::string> table;
    std::vector<std::string> calls;
    uint32_t add_result = 0;

    std::vector<std::string> log()
    {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
    void note(const std::string &call)
    {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call);
    }
};

fake_conmon *g_conmon = nullptr;

const wfa_browse_conmon_calls k_fake_calls = {
    [] {
        std::lock_guard<std::mutex> guard(g_conmon->lock);
        return g_conmon->ready;
    },
    [](uint8_t id[8], uint16_t *process) {
        const uint8_t server[8] = {0x02, 0x51, 0x5a, 0xff, 0xfe, 0x00, 0x00, 0xaa};
        std::memcpy(id, server, 8);
        *process = 2;
        return true;
    },
    [](const char *name) {
        std::lock_guard<std::mutex> guard(g_conmon->lock);
        return g_conmon->table.count(name) != 0;
    },
    [](const char *name) -> uint32_t {
        std::lock_guard<std::mutex> guard(g_conmon->lock);
        g_conmon->calls.push_back(std::string("add:") + name);
        if (g_conmon->add_result == 0) {
            g_conmon->table.insert(name);
        }
        return g_conmon->add_result;
    },
    [](const char *name) -> uint32_t {
        std::lock_guard<std::mutex> guard(g_conmon->lock);
        g_conmon->calls.push_back(std::string("remove:") + name);
        return g_conmon->table.erase(name) != 0 ? 0 : WFA_E_NOT_FOUND;
    },
    [](const char *name) -> uint32_t {
        g_conmon->note(std::string("query:") + name);
        return 0;
    },
    [] { g_conmon->note("finish"); },
};

// Runs `job` on the worker thread, as a task of the scheduler, and returns its result.
uint32_t on_worker(std::function<uint32_t()> job)
{
    return driver_fixture::on_worker<uint32_t>(std::move(job));
}

// The worker has done what was asked of it before now: a task posted to it runs after the tasks
// of lower key (the browse duration) in a pass that reads the clock after the post, and after
// the socket processing of the pass it was posted in.
void settle()
{
    on_worker([] { return 0u; });
}

class BrowseDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        dnssd_fake::reset();
        g_conmon = &conmon_side;
        wfa_browse_set_conmon_calls(&k_fake_calls);
        uint16_t id = 0;
        ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
    }
    void TearDown() override
    {
        wfa_stop();
        wfa_browse_set_conmon_calls(nullptr);
        g_conmon = nullptr;
        EXPECT_EQ(dnssd_fake::live_references(), 0u) << "the browse object released every reference";
    }

    uint32_t browse(uint16_t count, std::vector<int32_t> indices, uint16_t request_id, int32_t duration)
    {
        return on_worker([=] { return wfa_browse_watch_timeout(count, indices.data(), request_id, duration); });
    }

    bool called(const std::string &call)
    {
        return wait_until([&] {
            auto log = conmon_side.log();
            return std::find(log.begin(), log.end(), call) != log.end();
        });
    }

    size_t count_code(uint16_t code)
    {
        size_t n = 0;
        for (const result &r : results.results()) {
            n += r.code == code ? 1 : 0;
        }
        return n;
    }

    qz_test::fake_clock clock{1700000000u, 0};
    wrapper_test::layer_guard guard;
    fake_conmon conmon_side;
    recorder results;
};

TEST_F(BrowseDriver, DeviceEntersWhenItsSecondServiceIsKnown)
{
    ASSERT_EQ(browse(0, {}, 7, -1), 0u);
    dnssd_fake::announce(media("dev1"));
    // A conmon-only device elsewhere lets the test know the media device has been seen.
    dnssd_fake::announce(media("dev2"));
    dnssd_fake::announce(conmon("dev2", "02515afffe000002"));
    ASSERT_TRUE(called("query:dev2"));
    EXPECT_EQ(conmon_side.log(), (std::vector<std::string>{"add:dev2", "query:dev2"})) << "dev1 has one service";

    dnssd_fake::announce(conmon("dev1"));
    ASSERT_TRUE(called("query:dev1"));
    auto log = conmon_side.log();
    EXPECT_EQ(std::vector<std::string>(log.begin() + 2, log.end()),
              (std::vector<std::string>{"add:dev1", "query:dev1"}));
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 0u) << "no duration, no device list";
}

TEST_F(BrowseDriver, TheLocalServerIsIgnoredOnceTheDriverIsReady)
{
    {
        std::lock_guard<std::mutex> g(conmon_side.lock);
        conmon_side.ready = true;
    }
    ASSERT_EQ(browse(0, {}, 0, -1), 0u);
    dnssd_fake::announce(media("this-pc"));
    dnssd_fake::announce(conmon("this-pc", k_server_id, 2));
    dnssd_fake::announce(media("same-id-other-process"));
    dnssd_fake::announce(conmon("same-id-other-process", k_server_id, 3));
    ASSERT_TRUE(called("query:same-id-other-process"));
    for (const std::string &call : conmon_side.log()) {
        EXPECT_EQ(call.find("this-pc"), std::string::npos) << call;
    }
}

TEST_F(BrowseDriver, RemovalPostsLostDeviceOnlyForKnownDevices)
{
    conmon_side.add_result = WFA_E_BAD_ARGUMENT; // dev2 cannot enter the table
    ASSERT_EQ(browse(0, {}, 0, -1), 0u);
    dnssd_fake::announce(media("dev2"));
    dnssd_fake::announce(conmon("dev2"));
    ASSERT_TRUE(called("add:dev2"));
    {
        std::lock_guard<std::mutex> g(conmon_side.lock);
        conmon_side.add_result = 0;
    }
    dnssd_fake::announce(media("dev1"));
    dnssd_fake::announce(conmon("dev1", "02515afffe000003"));
    ASSERT_TRUE(called("query:dev1"));

    dnssd_fake::withdraw(k_media, "dev2", k_wire);
    dnssd_fake::withdraw(k_conmon, "dev2", k_wire);
    dnssd_fake::withdraw(k_conmon, "dev1", k_wire); // dev1 keeps its media service: no loss yet
    dnssd_fake::withdraw(k_media, "dev1", k_wire);
    result lost;
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_LOST_DEVICE, &lost));
    ASSERT_TRUE(called("remove:dev1"));
    EXPECT_EQ(lost.request_id, 0);
    EXPECT_EQ(lost.status, ERR_NOERR);
    ASSERT_EQ(lost.payload.size(), static_cast<size_t>(WFA_DEVICE_INFO_SIZE));
    EXPECT_EQ(wfa_get_text(lost.payload.data(), lost.payload.size(), 0, WFA_NAME_FIELD), "dev1");
    for (size_t i = WFA_NAME_FIELD; i < lost.payload.size(); i++) {
        ASSERT_EQ(lost.payload[i], 0) << "only the name is filled";
    }
    settle();
    EXPECT_EQ(count_code(WFA_CBACK_INF_LOST_DEVICE), 1u) << "dev2 never entered the table";
}

TEST_F(BrowseDriver, DurationEndsWithTheDeviceListAndUnwatchedSockets)
{
    ASSERT_EQ(browse(0, {}, 0x42, 5), 0u);
    clock.advance(4, 999999);
    settle();
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 0u);

    clock.advance(0, 1);
    result list;
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE_LIST, &list));
    EXPECT_EQ(list.request_id, 0x42);
    EXPECT_EQ(list.status, ERR_DURATION_EXPIRE);
    EXPECT_EQ(list.payload.size(), static_cast<size_t>(WFA_DEVICE_LIST_INFO_SIZE));
    ASSERT_TRUE(called("finish"));

    // Browsing goes on in the library, but nobody watches its sockets until the next command 1.
    dnssd_fake::announce(media("late"));
    dnssd_fake::announce(conmon("late"));
    settle();
    EXPECT_TRUE(dnssd_fake::live_resolves().empty());
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 1u);

    ASSERT_EQ(browse(0, {}, 0, -1), 0u);
    ASSERT_TRUE(called("query:late"));
}

TEST_F(BrowseDriver, DurationZeroExpiresOnTheFirstPass)
{
    ASSERT_EQ(browse(0, {}, 9, 0), 0u);
    result list;
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_DEVICE_LIST, &list));
    EXPECT_EQ(list.request_id, 9);
    // A new command 1 replaces a pending duration.
    ASSERT_EQ(browse(0, {}, 10, 3), 0u);
    ASSERT_EQ(browse(0, {}, 11, -1), 0u);
    clock.advance(10);
    settle();
    EXPECT_EQ(count_code(WFA_CBACK_INF_DEVICE_LIST), 1u);
}

TEST_F(BrowseDriver, OnlyTheFirstTwoInterfacesAreBrowsed)
{
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    ASSERT_EQ(browse(3, {5, 6, 7}, 0, -1), 0u);
    dnssd_fake::announce(media("on5", 5));
    dnssd_fake::announce(media("on6", 6));
    dnssd_fake::announce(media("on7", 7));
    ASSERT_TRUE(wait_until([] { return dnssd_fake::live_resolves().size() == 2; }));
    settle();
    std::set<std::string> names;
    for (const auto &r : dnssd_fake::live_resolves()) {
        names.insert(r.name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"on5", "on6"}));
}

TEST_F(BrowseDriver, ResolveDeadlinesAreKeptWithoutReadySockets)
{
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    ASSERT_EQ(browse(0, {}, 0, -1), 0u);
    dnssd_fake::announce(media("quiet"));
    ASSERT_TRUE(wait_until([] { return dnssd_fake::live_resolves().size() == 1; }));
    settle(); // the resolve's deadline is taken before the clock moves
    clock.advance(29);
    settle();
    EXPECT_EQ(dnssd_fake::live_resolves().size(), 1u);
    clock.advance(1, 1);
    EXPECT_TRUE(wait_until([] { return dnssd_fake::live_resolves().empty(); })) << "the overdue resolve ended";
}

TEST_F(BrowseDriver, ProcessingWaitsForReadySocketsOrAPassedDeadline)
{
    // Everything inside one task, so the worker's own passes cannot interfere.
    uint32_t r = on_worker([] {
        uint32_t started = wfa_browse_watch_timeout(0, nullptr, 0, -1);
        dnssd_fake::announce(media("dev1"));
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        wfa_browse_get_fdset(&set);
        wfa_browse_process_fdset(&set, 0); // nothing ready, no deadline: the browse object is left alone
        size_t before = dnssd_fake::live_resolves().size();
        wfa_browse_process_fdset(&set, 1);
        size_t after = dnssd_fake::live_resolves().size();
        return started | static_cast<uint32_t>(before << 4) | static_cast<uint32_t>(after << 8);
    });
    EXPECT_EQ(r & 0xF, 0u);
    EXPECT_EQ((r >> 4) & 0xF, 0u) << "not processed without a ready socket";
    EXPECT_EQ((r >> 8) & 0xF, 1u) << "processed with one";
    EXPECT_EQ(on_worker([] {
                  qnb_socket_set set;
                  qnb_socket_set_clear(&set);
                  return wfa_browse_process_fdset(nullptr, 0) | wfa_browse_get_fdset(nullptr) |
                         (wfa_browse_process_fdset(&set, 0) << 1);
              }),
              WFA_E_NULL);
}

TEST_F(BrowseDriver, StopAndFailedStartLeaveNoSocketsWatched)
{
    ASSERT_EQ(browse(0, {}, 0, -1), 0u);
    EXPECT_EQ(dnssd_fake::live_browses(), 3u) << "media, conmon and safe mode";
    on_worker([] {
        wfa_browse_stop();
        wfa_browse_stop(); // a second stop is harmless
        return 0u;
    });
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    EXPECT_EQ(on_worker([] {
                  qnb_socket_set set;
                  qnb_socket_set_clear(&set);
                  return wfa_browse_get_fdset(&set);
              }),
              wfa_internal_from_library(QNB_ERR_INVALIDSTATE));

    dnssd_fake::fail_next_browse(-65537);
    EXPECT_EQ(browse(0, {}, 0, -1), wfa_internal_from_library(QNB_ERR_DNSSDFAIL));
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    ASSERT_EQ(browse(1, {k_wire}, 0, -1), 0u);
    ASSERT_EQ(browse(1, {k_wire}, 0, -1), 0u) << "a second command 1 restarts browsing";
    EXPECT_EQ(dnssd_fake::live_browses(), 3u);
}

TEST_F(BrowseDriver, AResetLayerDropsTheControlAndMonitoringStandIn)
{
    wfa_stop();
    ASSERT_TRUE(wfa_state_reset());
    guard.silence_conmon();
    uint16_t id = 0;
    ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
    ASSERT_EQ(browse(0, {}, 0, -1), 0u);
    const size_t before = dnssd_fake::references_created();
    dnssd_fake::announce(media("dev1"));
    dnssd_fake::announce(conmon("dev1"));
    // Both resolves answered and ended: the driver has judged dev1 with its own driver calls.
    ASSERT_TRUE(wait_until([before] {
        return dnssd_fake::references_created() >= before + 2 && dnssd_fake::live_resolves().empty();
    }));
    on_worker([] { return 0u; });
    wfa_browse_set_conmon_calls(&k_fake_calls);
    dnssd_fake::announce(media("dev2"));
    dnssd_fake::announce(conmon("dev2", "02515afffe000002"));
    ASSERT_TRUE(called("query:dev2"));
    EXPECT_EQ(conmon_side.log(), (std::vector<std::string>{"add:dev2", "query:dev2"}));
}

} // namespace
