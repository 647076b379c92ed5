// Hostile replies to every request of the routing client: a simulated device brings the client's
// device to where the request is asked, then random and truncated replies carrying the request's
// sequence number and opcode are handed to the container. Nothing may read outside the reply (the
// sanitizer builds run this), every request still ends exactly once, and no stored name is ever
// longer than a name.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <random>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "testnet/tn_routing_device.h"
#include "tests/support/fake_clock.h"
#include "tests/support/routing_client.h"

namespace {

int g_calls = 0;

void on_done(wr_device *, wr_request *, qnb_error)
{
    ++g_calls;
}

class HostileReplies : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(wr_devices_new(nullptr, &devices), 0);
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_RQA310, 1);
        cfg.label_slots = 4;
        cfg.tx_count = 6;
        cfg.rx_count = 6;
        qnb_error err = 0;
        sim = tn_routing_device_new(&cfg, &err);
        ASSERT_NE(sim, nullptr);
        qnb_sockaddr_set(&source, htonl(INADDR_LOOPBACK), tn_routing_device_get_port(sim));
    }

    void TearDown() override
    {
        if (device)
            wr_device_close(device);
        EXPECT_EQ(wr_devices_delete(devices), 0);
        tn_routing_device_delete(sim);
    }

    void pump()
    {
        for (int i = 0; i < 4; ++i) {
            tn_routing_device_poll(sim, 2);
            qnb_socket_set set;
            qnb_socket_set_clear(&set);
            wr_devices_get_sockets(devices, &set);
            unsigned ready = 0;
            qnb_socket_set_wait(&set, 2, &ready);
            wr_devices_process(devices, &set);
        }
    }

    void open(bool active)
    {
        if (device)
            wr_device_close(device);
        ASSERT_EQ(qz_test::open_loopback_device(devices, tn_routing_device_get_port(sim), &device), 0);
        if (!active)
            return;
        tn_routing_device_set_silent(sim, false);
        g_calls = 0;
        ASSERT_EQ(wr_device_query_capabilities(device, on_done, nullptr), 0);
        for (int i = 0; i < 50 && g_calls == 0; ++i)
            pump();
        ASSERT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_ACTIVE);
        tn_routing_device_set_silent(sim, true);
    }

    // A reply to `r`: random bytes behind a header that carries its sequence number and opcode.
    std::vector<uint8_t> hostile(const wr_request *r, std::mt19937 &rng)
    {
        size_t size = 10 + rng() % 200;
        std::vector<uint8_t> m(size);
        for (auto &b : m)
            b = uint8_t(rng());
        static const uint16_t results[] = {0x0001, 0x8112, 0x8001, 0x0103, 0x0030, 0x0601, 0x000F, 0x0100};
        wgcp_store_be16(&m[0], uint16_t(0x2500 + rng() % 0x300));
        wgcp_store_be16(&m[2], uint16_t(size));
        wgcp_store_be16(&m[4], r->seqnum);
        wgcp_store_be16(&m[6], wgcp_load_be16(r->packet.packet + 6));
        wgcp_store_be16(&m[8], results[rng() % 8]);
        if (size > 12 && rng() % 2)
            m[11] = uint8_t(rng() % 8); // a count that often fits
        // Offsets that point inside the message more often than chance would.
        for (size_t i = 12; i + 1 < size; i += 2) {
            if (rng() % 3 == 0)
                wgcp_store_be16(&m[i], uint16_t(rng() % (size + 8)));
        }
        if (rng() % 4 == 0)
            m.resize(10 + rng() % (size - 9)); // cut short, length field unchanged
        return m;
    }

    void check_names()
    {
        EXPECT_LT(strlen(device->reported_name), sizeof device->reported_name);
        EXPECT_LT(strlen(device->distinct_name), sizeof device->distinct_name);
        for (uint16_t i = 0; i < device->num_rxchannels && device->rxchannels; ++i) {
            EXPECT_LE(strlen(device->rxchannels[i].name), 32u);
            EXPECT_LE(strlen(device->rxchannels[i].sub_text), 65u);
        }
    }

    qz_test::fake_clock clock;
    wr_devices *devices = nullptr;
    wr_device *device = nullptr;
    tn_routing_device *sim = nullptr;
    qnb_sockaddr source;
};

using sender = qnb_error (*)(wr_device *d, wr_request **r);

qnb_error send_caps(wr_device *d, wr_request **r)
{
    return wr_device_query_capabilities(d, on_done, r);
}
qnb_error send_rx(wr_device *d, wr_request **r)
{
    wr_device_mark_changed(d, WR_UPDATE_RXCHANNELS);
    return wr_device_update(d, on_done, r, WR_UPDATE_RXCHANNELS);
}
qnb_error send_tx(wr_device *d, wr_request **r)
{
    wr_device_mark_changed(d, WR_UPDATE_TXCHANNELS);
    return wr_device_update(d, on_done, r, WR_UPDATE_TXCHANNELS);
}
qnb_error send_labels(wr_device *d, wr_request **r)
{
    wr_device_mark_changed(d, WR_UPDATE_TXLABELS);
    return wr_device_update(d, on_done, r, WR_UPDATE_TXLABELS);
}
qnb_error send_properties(wr_device *d, wr_request **r)
{
    wr_device_mark_changed(d, WR_UPDATE_PROPERTIES);
    return wr_device_update(d, on_done, r, WR_UPDATE_PROPERTIES);
}
qnb_error send_label_add(wr_device *d, wr_request **r)
{
    return wr_txlabel_add(wr_device_txchannel_by_id(d, 1), on_done, r, "Label", WR_LABEL_MOVE);
}
qnb_error send_performance(wr_device *d, wr_request **r)
{
    return wr_device_set_unicast_performance_us(d, 1500, 16, on_done, r);
}
qnb_error send_batch(wr_device *d, wr_request **r)
{
    static wr_batch_item items[20];
    for (int i = 0; i < 20; ++i) {
        memset(&items[i], 0, sizeof items[i]);
        items[i].rx_channel = uint16_t(i % 6 + 1);
        snprintf(items[i].tx_channel, sizeof items[i].tx_channel, "0%d", i % 6 + 1);
        snprintf(items[i].tx_device, sizeof items[i].tx_device, "dev");
    }
    return wr_device_batch_subscribe(d, on_done, r, 20, items);
}

TEST_F(HostileReplies, EveryRequestSurvivesRandomAndTruncatedReplies)
{
    struct {
        const char *what;
        sender send;
        bool active;
    } cases[] = {
        {"capabilities", send_caps, false}, {"rx pages", send_rx, true},          {"tx pages", send_tx, true},
        {"labels", send_labels, true},      {"properties", send_properties, true}, {"label change", send_label_add, true},
        {"performance", send_performance, true}, {"batch", send_batch, true},
    };
    std::mt19937 rng(20261209);
    for (auto &k : cases) {
        SCOPED_TRACE(k.what);
        for (int round = 0; round < 150; ++round) {
            if (!device || wr_device_get_state(device) != (k.active ? WR_DEVICE_STATE_ACTIVE : WR_DEVICE_STATE_RESOLVED))
                open(k.active);
            ASSERT_NE(device, nullptr);
            tn_routing_device_set_silent(sim, true);
            g_calls = 0;
            wr_request *r = nullptr;
            qnb_error err = k.send(device, &r);
            if (err || !r)
                continue;
            // Follow-ups reuse the slot: keep answering while the request lives.
            for (int step = 0; step < 12 && g_calls == 0 && wr_devices_request_is_live(devices, r); ++step) {
                std::vector<uint8_t> m = hostile(r, rng);
                wr_devices_process_socket_message(devices, m.data(), m.size(), &source);
            }
            if (device)
                check_names();
            clock.advance(4);
            wr_devices_process(devices, nullptr);
            EXPECT_EQ(g_calls, 1);
            EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
            if (k.active && round % 10 == 9) {
                wr_device_close(device);
                device = nullptr;
            }
        }
    }
}

} // namespace
