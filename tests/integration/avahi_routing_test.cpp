// A routing device opened by name against a real avahi-daemon (started by avahi-netns.sh in a
// private network namespace): a simulated routing device is advertised through DNS-SD, the client
// resolves it, queries it and reaches ACTIVE with its channel counts and TXT versions.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "testnet/tn_routing_device.h"
#include "tests/integration/avahi_support.h"

namespace {

using qz_integration::registration;
using qz_integration::txt;

int g_done = 0;
qnb_error g_result = -1;

void on_done(wr_device *, wr_request *, qnb_error result)
{
    ++g_done;
    g_result = result;
}

TEST(AvahiRouting, ADeviceOpenedByNameReachesActive)
{
    tn_routing_device_config cfg;
    tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_KTV4S, 7);
    cfg.arcp_version = 0x2800;
    qnb_error err = 0;
    tn_routing_device *sim = tn_routing_device_new(&cfg, &err);
    ASSERT_NE(sim, nullptr) << err;
    registration service(tn_routing_device_get_name(sim), "_netaudio-arc._udp", tn_routing_device_get_port(sim),
                         txt({"arcp_vers=2.8.0", "arcp_min=2.6.0", "router_vers=4.2.1", "router_info=qz-testnet"}));
    ASSERT_TRUE(service.ok());

    wr_devices *devices = nullptr;
    ASSERT_EQ(wr_devices_new(nullptr, &devices), 0);
    wr_device *device = nullptr;
    ASSERT_EQ(wr_device_open(devices, tn_routing_device_get_name(sim), &device), 0);
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);

    auto run_until = [&](const std::function<bool()> &done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            qnb_socket_set set;
            qnb_socket_set_clear(&set);
            wr_devices_get_sockets(devices, &set);
            qnb_socket_set_add(&set, tn_routing_device_get_socket(sim));
            service.add_to(&set);
            unsigned ready = 0;
            qnb_socket_set_wait(&set, 20, &ready);
            service.process_if_ready(&set);
            tn_routing_device_process(sim);
            wr_devices_process(devices, &set);
            if (wr_device_get_state(device) == WR_DEVICE_STATE_RESOLVED && g_done == 0 &&
                wr_devices_requests_in_use(devices) == 0)
                wr_device_query_capabilities(device, on_done, nullptr);
            if (done())
                return true;
        }
        return false;
    };
    ASSERT_TRUE(run_until([&] { return g_done > 0; })) << "state " << wr_device_state_name(wr_device_get_state(device));
    EXPECT_EQ(g_result, 0);
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_ACTIVE);
    EXPECT_EQ(wr_device_num_txchannels(device), 64);
    EXPECT_EQ(wr_device_num_rxchannels(device), 64);
    EXPECT_EQ(device->arcp_version, 0x2800);
    EXPECT_EQ(device->router_version.major, 4);
    EXPECT_EQ(tn_routing_device_request_count(sim, 0x1000), 1u);

    wr_device_close(device);
    EXPECT_EQ(wr_devices_delete(devices), 0);
    tn_routing_device_delete(sim);
}

} // namespace
