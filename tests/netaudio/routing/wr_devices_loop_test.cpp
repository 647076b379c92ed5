// The routing container in event-loop mode: one loop of the library runs the container, a
// simulated device and the DNS-SD fake's replies without an owner's pass, and its timers run on
// the fake clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <vector>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_loop.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "testnet/tn_routing_device.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_clock.h"
#include "tests/support/routing_client.h"

namespace {

const char *kName = "T001-KTV4S-0001-QZ";
const char *kType = "_netaudio-arc._udp";

struct completion {
    int calls = 0;
    qnb_error result = -1;
};

class RoutingLoop : public ::testing::Test {
public:
    void SetUp() override
    {
        dnssd_fake::reset();
        current = this;
        ASSERT_EQ(qnb_env_create_event_loop(&env), 0);
        ASSERT_EQ(wr_devices_new(&env, &devices), 0);
    }

    void TearDown() override
    {
        if (device)
            wr_device_close(device);
        EXPECT_EQ(wr_devices_delete(devices), 0);
        if (sim) {
            qnb_event_loop_set_socket(env.event_loop, tn_routing_device_get_socket(sim), QNB_EVENT_LOOP_SET_READ,
                                      nullptr, nullptr, QNB_EVENT_LOOP_CHANGE_ONLY);
            tn_routing_device_delete(sim);
        }
        EXPECT_EQ(qnb_event_loop_destroy(env.event_loop), 0);
        EXPECT_EQ(dnssd_fake::live_references(), 0u);
        dnssd_fake::reset();
        current = nullptr;
    }

    unsigned watched() const { return qnb_event_loop_socket_count(env.event_loop, QNB_EVENT_LOOP_SET_READ); }

    // A simulated KTV4-S unit answering through the same loop.
    void start_sim()
    {
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_KTV4S, 1);
        qnb_error err = 0;
        sim = tn_routing_device_new(&cfg, &err);
        ASSERT_NE(sim, nullptr) << err;
        ASSERT_EQ(qnb_event_loop_set_socket(
                      env.event_loop, tn_routing_device_get_socket(sim), QNB_EVENT_LOOP_SET_READ,
                      [](qnb_event_loop *, int, unsigned, void *s) {
                          tn_routing_device_process(static_cast<tn_routing_device *>(s));
                      },
                      sim, QNB_EVENT_LOOP_ADD_ONLY),
                  0);
    }

    void open_sim()
    {
        ASSERT_EQ(qz_test::open_loopback_device(devices, tn_routing_device_get_port(sim), &device), 0);
        watch(device);
    }

    void watch(wr_device *d)
    {
        wr_device_set_changed_callback(d, [](wr_device *, uint32_t bits) { current->changes.push_back(bits); });
    }

    // Runs passes until everything has settled (two quiet passes of a short real wait).
    void pump()
    {
        int quiet = 0;
        for (int round = 0; round < 200; ++round) {
            unsigned ran = 0;
            ASSERT_EQ(qnb_event_loop_run_once(env.event_loop, 5, &ran), 0);
            if (ran == 0 && ++quiet == 2)
                return;
            if (ran)
                quiet = 0;
        }
        ADD_FAILURE() << "the loop did not settle";
    }

    static void on_done(wr_device *, wr_request *, qnb_error result)
    {
        current->done.calls++;
        current->done.result = result;
    }

    static RoutingLoop *current;
    qz_test::fake_clock clock;
    qnb_env env{};
    wr_devices *devices = nullptr;
    wr_device *device = nullptr;
    tn_routing_device *sim = nullptr;
    completion done;
    std::vector<uint32_t> changes;
};

RoutingLoop *RoutingLoop::current = nullptr;

TEST_F(RoutingLoop, ADeviceIsQueriedAndSubscribedWithoutAnOwnersPass)
{
    qnb_socket_set set;
    qnb_socket_set_clear(&set);
    EXPECT_EQ(wr_devices_get_sockets(devices, &set), QNB_ERR_NOTSUPPORTED);
    EXPECT_EQ(wr_devices_process(devices, &set), QNB_ERR_NOTSUPPORTED);
    EXPECT_EQ(watched(), 1u); // the comms socket
    start_sim();
    open_sim();
    ASSERT_EQ(wr_device_query_capabilities(device, on_done, nullptr), 0);
    pump();
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, 0);
    ASSERT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_ACTIVE);
    EXPECT_EQ(wr_device_num_rxchannels(device), 64);

    std::vector<wr_batch_item> items = qz_test::batch_items(40, "T002-RQA310-0002-QZ");
    done = completion{};
    wr_request *r = nullptr;
    ASSERT_EQ(wr_device_batch_subscribe(device, on_done, &r, items.size(), items.data()), 0);
    pump();
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(tn_routing_device_request_count(sim, 0x3010), 3u);
    EXPECT_EQ(tn_routing_device_subscription_count(sim), 40u);
    EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
}

TEST_F(RoutingLoop, TheLoopsTimerResendsOnceAndTimesOutAfterThreeSeconds)
{
    start_sim();
    tn_routing_device_set_silent(sim, true);
    open_sim();
    ASSERT_EQ(wr_device_query_capabilities(device, on_done, nullptr), 0);
    pump();
    ASSERT_TRUE(qnb_timer_is_armed(devices->deadline_timer));
    clock.advance(0, 999999);
    pump();
    EXPECT_EQ(tn_routing_device_request_count(sim, 0x1000), 1u);
    clock.advance(0, 1);
    pump();
    EXPECT_EQ(tn_routing_device_request_count(sim, 0x1000), 2u); // resent after 1 s
    clock.advance(1, 999999);
    pump();
    EXPECT_EQ(done.calls, 0);
    clock.advance(0, 1);
    pump();
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, QNB_ERR_TIMEDOUT);
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_ERROR);
    EXPECT_EQ(tn_routing_device_request_count(sim, 0x1000), 2u);
    EXPECT_FALSE(qnb_timer_is_armed(devices->deadline_timer)); // nothing left to wait for
}

TEST_F(RoutingLoop, ClosedDevicesAreFreedAfterThePass)
{
    start_sim();
    // Closed from its own completion: parked while the callback runs, freed after the pass.
    open_sim();
    static size_t parked_in_callback;
    parked_in_callback = 0;
    ASSERT_EQ(wr_device_query_capabilities(device,
                                           [](wr_device *d, wr_request *, qnb_error) {
                                               wr_device_close(d);
                                               current->device = nullptr;
                                               parked_in_callback = current->devices->deferred_deletions.count;
                                           },
                                           nullptr),
              0);
    pump();
    EXPECT_EQ(parked_in_callback, 1u);
    EXPECT_EQ(devices->deferred_deletions.count, 0u);

    // Closed with a request in flight: the reply finds no request and no callback runs.
    open_sim();
    ASSERT_EQ(wr_device_query_capabilities(device, on_done, nullptr), 0);
    wr_device_close(device);
    device = nullptr;
    EXPECT_EQ(devices->deferred_deletions.count, 1u);
    pump();
    EXPECT_EQ(devices->deferred_deletions.count, 0u);
    EXPECT_EQ(tn_routing_device_request_count(sim, 0x1000), 2u);
    EXPECT_EQ(done.calls, 0);

    // One still parked goes with the container (TearDown deletes it).
    open_sim();
    wr_device_close(device);
    device = nullptr;
    EXPECT_EQ(devices->deferred_deletions.count, 1u);
}

TEST_F(RoutingLoop, ANamedDeviceResolvesInItsWakeUpsAndRetriesOnTheTimer)
{
    const uint32_t eth = devices->loopback.index + 10;
    dnssd_fake::announce({kType, kName, eth, "dev.local", 4455, dnssd_fake::txt({"arcp_vers=2.7.41", "router_vers=4.0.2"})});
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::fail);
    ASSERT_EQ(wr_device_open(devices, kName, &device), 0);
    watch(device);
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);
    EXPECT_EQ(watched(), 2u); // the comms socket and the resolve
    pump();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    EXPECT_EQ(watched(), 1u);

    // Started again 5 s later, by the loop's timer. The answer names another host: its address
    // query takes the resolve's place in the loop.
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::answer);
    clock.advance(WR_RESOLVE_RETRY_S - 1);
    pump();
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    clock.advance(1);
    pump();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);
    ASSERT_EQ(dnssd_fake::live_references(), 1u);
    EXPECT_EQ(dnssd_fake::live_queries(), 1u);
    EXPECT_EQ(watched(), 2u);
    dnssd_fake::answer_queries("dev.local", eth, htonl(0x0A000007));
    pump();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVED);
    EXPECT_EQ(device->addresses->entries[0].address.sin.sin_addr.s_addr, htonl(0x0A000007));
    EXPECT_EQ(watched(), 1u);
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    // Every wake-up reports the addresses, one report per wake-up.
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0], uint32_t{WR_CHANGE_ADDRESSES});
    EXPECT_EQ(changes[1], uint32_t{WR_CHANGE_ADDRESSES});
    EXPECT_EQ(changes[2], uint32_t{WR_CHANGE_ADDRESSES | WR_CHANGE_STATE});
}

} // namespace
