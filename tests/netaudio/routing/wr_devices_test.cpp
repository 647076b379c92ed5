// The routing container and device object without a device on the other side: the request pool,
// sequence numbers, pairing of datagrams with requests, opening and the device getters. A plain
// loopback socket stands in for a device where a datagram must arrive.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "tests/support/fake_clock.h"
#include "tests/support/routing_client.h"

namespace {

std::vector<qnb_error> g_results;

void record(void *, wr_request *, qnb_error result)
{
    g_results.push_back(result);
}

void record_device(wr_device *, wr_request *, qnb_error result)
{
    g_results.push_back(result);
}

class RoutingContainer : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_results.clear();
        ASSERT_EQ(wr_devices_new(nullptr, &devices), 0);
        ASSERT_EQ(qnb_socket_open_udp(&peer, AF_INET), 0);
        qnb_sockaddr any;
        qnb_sockaddr_set(&any, htonl(INADDR_LOOPBACK), 0);
        ASSERT_EQ(qnb_socket_bind(peer, &any), 0);
        ASSERT_EQ(qnb_socket_get_name(peer, &peer_address), 0);
    }

    void TearDown() override
    {
        if (device)
            wr_device_close(device);
        EXPECT_EQ(wr_devices_delete(devices), 0);
        qnb_socket_close(&peer);
    }

    wr_device *open_peer()
    {
        EXPECT_EQ(qz_test::open_loopback_device(devices, qnb_sockaddr_get_port(&peer_address), &device), 0);
        return device;
    }

    // The next datagram that reached the peer, and where it came from.
    std::vector<uint8_t> receive(qnb_sockaddr *from)
    {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        qnb_socket_set_add(&set, peer);
        unsigned ready = 0;
        qnb_socket_set_wait(&set, 500, &ready);
        std::vector<uint8_t> b(1500);
        size_t n = b.size();
        if (ready == 0 || qnb_socket_recvfrom(peer, b.data(), &n, from) != 0)
            return {};
        b.resize(n);
        return b;
    }

    void reply(std::vector<uint8_t> m, const qnb_sockaddr &to, uint16_t result, uint16_t opcode = 0)
    {
        wgcp_store_be16(&m[8], result);
        if (opcode)
            wgcp_store_be16(&m[6], opcode);
        size_t n = m.size();
        ASSERT_EQ(qnb_socket_sendto(peer, m.data(), &n, &to), 0);
    }

    void process()
    {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        wr_devices_get_sockets(devices, &set);
        unsigned ready = 0;
        qnb_socket_set_wait(&set, 200, &ready);
        wr_devices_process(devices, &set);
    }

    qz_test::fake_clock clock;
    wr_devices *devices = nullptr;
    wr_device *device = nullptr;
    qnb_socket peer = QNB_SOCKET_INVALID;
    qnb_sockaddr peer_address;
};

TEST_F(RoutingContainer, PoolOfSixteenRefusesTheSeventeenthAndHandsSlotsOutRoundRobin)
{
    std::vector<wr_request *> taken;
    for (int i = 0; i < 16; ++i) {
        wr_request *r = nullptr;
        ASSERT_EQ(wr_devices_allocate_request(devices, nullptr, record, &r), 0);
        taken.push_back(r);
    }
    wr_request *extra = nullptr;
    EXPECT_EQ(wr_devices_allocate_request(devices, nullptr, record, &extra), QNB_ERR_NOBUFS);
    ASSERT_EQ(wr_devices_set_request_result(devices, taken[3], QNB_ERR_POLICY), 0);
    ASSERT_EQ(wr_devices_complete_request(devices, taken[3], 0), 0);
    EXPECT_EQ(g_results, std::vector<qnb_error>{QNB_ERR_POLICY}); // the override wins
    ASSERT_EQ(wr_devices_allocate_request(devices, nullptr, record, &extra), 0);
    EXPECT_EQ(extra, taken[3]);
    // A freed slot is no request any more.
    ASSERT_EQ(wr_devices_cancel_request(devices, taken[0]), 0);
    EXPECT_EQ(wr_devices_cancel_request(devices, taken[0]), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(wr_devices_complete_request(devices, taken[0], 0), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(g_results.size(), 1u);
    // Round robin: the next slot after the last one handed out, not the lowest free one.
    ASSERT_EQ(wr_devices_cancel_request(devices, taken[5]), 0);
    wr_request *next = nullptr;
    ASSERT_EQ(wr_devices_allocate_request(devices, nullptr, record, &next), 0);
    EXPECT_EQ(next, taken[5]);
    EXPECT_EQ(wr_devices_set_num_requests(devices, 32), QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(wr_devices_requests_in_use(devices), 15u); // the old pool stays
    for (wr_request *r : taken)
        wr_devices_cancel_request(devices, r);
    EXPECT_EQ(wr_devices_set_num_requests(devices, 0), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(wr_devices_set_num_requests(devices, 4096), 0);
    EXPECT_EQ(wr_devices_set_max_handles(devices, 200), 0);
    EXPECT_EQ(wr_devices_get_max_handles(devices), 200u);
    EXPECT_EQ(wr_devices_set_max_handles(devices, 100), QNB_ERR_INVALIDPARAMETER);
}

TEST_F(RoutingContainer, SequenceNumbersRunAcrossDevicesAndWrap)
{
    ASSERT_NE(open_peer(), nullptr);
    devices->seqnum = 0xFFFE;
    std::vector<uint16_t> seen;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(wr_device_query_capabilities(device, record_device, nullptr), 0);
        qnb_sockaddr from;
        std::vector<uint8_t> m = receive(&from);
        ASSERT_GE(m.size(), 10u);
        seen.push_back(wgcp_load_be16(&m[4]));
        EXPECT_EQ(wgcp_load_be16(&m[0]), 0x2729);
        EXPECT_EQ(wgcp_load_be16(&m[6]), 0x1000);
    }
    EXPECT_EQ(seen, (std::vector<uint16_t>{0xFFFE, 0xFFFF, 0x0000}));
}

TEST_F(RoutingContainer, OnlyAResponseFromTheDeviceWithTheRequestsOpcodeCompletesIt)
{
    ASSERT_NE(open_peer(), nullptr);
    ASSERT_EQ(wr_device_query_capabilities(device, record_device, nullptr), 0);
    qnb_sockaddr client;
    std::vector<uint8_t> m = receive(&client);
    ASSERT_GE(m.size(), 10u);
    reply(m, client, 0); // a request, not a response
    process();
    reply(m, client, 0x0001, 0x1100); // another opcode
    process();
    EXPECT_TRUE(g_results.empty());
    // From another port of the same host.
    qnb_socket other = QNB_SOCKET_INVALID;
    ASSERT_EQ(qnb_socket_open_udp(&other, AF_INET), 0);
    std::vector<uint8_t> o = m;
    wgcp_store_be16(&o[8], 0x0001);
    size_t n = o.size();
    ASSERT_EQ(qnb_socket_sendto(other, o.data(), &n, &client), 0);
    process();
    qnb_socket_close(&other);
    EXPECT_TRUE(g_results.empty());
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_QUERYING);
    EXPECT_EQ(wr_devices_requests_in_use(devices), 1u);
    // An error result from the device itself ends the query.
    reply(m, client, 0x0030);
    process();
    EXPECT_EQ(g_results, std::vector<qnb_error>{QNB_ERR_NOTSUPPORTED});
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_ERROR);
}

TEST_F(RoutingContainer, OpeningChecksItsConfiguration)
{
    wr_device_config cfg;
    memset(&cfg, 0, sizeof cfg);
    wr_device *d = nullptr;
    EXPECT_EQ(wr_device_open_with_config(devices, &cfg, &d), QNB_ERR_INVALIDPARAMETER); // no name, no addresses
    cfg.flags = WR_CONFIG_ADDRESSES;
    cfg.count = 2;
    EXPECT_EQ(wr_device_open_with_config(devices, &cfg, &d), QNB_ERR_NOTFOUND); // every address 0
    EXPECT_EQ(devices->devices.count, 0u);
    cfg.addresses[1].address = htonl(0x7F000002);
    ASSERT_EQ(wr_device_open_with_config(devices, &cfg, &d), 0);
    device = d;
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_RESOLVED);
    EXPECT_EQ(qnb_sockaddr_get_port(&d->addresses->entries[1].address), 4440);
    EXPECT_EQ(wr_devices_delete(devices), QNB_ERR_INVALIDSTATE);
    // Reading needs ACTIVE.
    wr_request *r = nullptr;
    EXPECT_EQ(wr_device_update(d, record_device, &r, WR_UPDATE_RXCHANNELS), QNB_ERR_INVALIDSTATE);
    size_t count = 0;
    wr_rxchannel *rx = nullptr;
    EXPECT_EQ(wr_device_get_rxchannels(d, &count, &rx), QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(wr_device_get_latency_ms(d), 0u);
    EXPECT_STREQ(wr_device_state_name(WR_DEVICE_STATE_ACTIVE), "ACTIVE");
    EXPECT_STREQ(wr_device_state_name(77), "UNKNOWN");
    EXPECT_EQ(wr_device_get_state(nullptr), WR_DEVICE_STATE_ERROR);
}

TEST_F(RoutingContainer, ADeviceClosedInsideItsOwnCompletionIsFreedAfterwards)
{
    ASSERT_NE(open_peer(), nullptr);
    static wr_device **slot;
    slot = &device;
    ASSERT_EQ(wr_device_query_capabilities(
                  device, [](wr_device *d, wr_request *, qnb_error) {
                      wr_device_close(d);
                      *slot = nullptr;
                  },
                  nullptr),
              0);
    qnb_sockaddr client;
    std::vector<uint8_t> m = receive(&client);
    ASSERT_GE(m.size(), 10u);
    reply(m, client, 0x0100);
    process();
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(devices->devices.count, 0u);
}

TEST_F(RoutingContainer, LosingTheDomainClosesEveryDevice)
{
    ASSERT_NE(open_peer(), nullptr);
    wr_devices_domain_state_changed(devices, 0, 0);
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_ERROR);
    EXPECT_EQ(wr_device_get_error(device), QNB_ERR_POLICY);
}

} // namespace
