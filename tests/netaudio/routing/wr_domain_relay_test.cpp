// Routing devices found through a managed-domain server and reached through it: their requests go
// to the fake server as relay records, the server passes them to a simulated routing device over
// loopback and wraps the device's replies (or a transport error) back. On the fake clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <vector>

#include "netaudio/messaging/tlv_message.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/routing/wr_channel.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "testnet/tn_routing_device.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_domain_server.h"

namespace {

const uint8_t k_managed[DOMAIN_ID_SIZE] = {0x33, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

struct completion {
    int calls = 0;
    qnb_error result = -1;
};
completion g_done;

void on_done(wr_device *, wr_request *, qnb_error result)
{
    g_done.calls++;
    g_done.result = result;
}

struct DomainRelay : ::testing::Test {
    qz_test::fake_clock clock;
    fake_domain_server server;
    qnb_env env{};
    wr_devices *devices = nullptr;
    tn_routing_device *sim = nullptr;
    std::vector<wr_device *> opened;

    void SetUp() override
    {
        g_done = completion{};
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_RQA310, 1);
        qnb_error err = 0;
        sim = tn_routing_device_new(&cfg, &err);
        ASSERT_NE(sim, nullptr) << err;
        server.attach(&env);
        server.set_domain(k_managed, 3, 2);
        server.devices = {entry(tn_routing_device_get_name(sim), 0x0A000005, tn_routing_device_get_port(sim)),
                          entry("T002-RQA310-0002-QZ", 0x0A000006, 0)};
        ASSERT_EQ(wr_devices_new(&env, &devices), 0);
    }
    void TearDown() override
    {
        for (wr_device *d : opened)
            wr_device_close(d);
        server.pump();
        EXPECT_EQ(wr_devices_delete(devices), 0);
        tn_routing_device_delete(sim);
    }

    static fake_domain_device entry(const std::string &name, uint32_t address, uint16_t relay_port)
    {
        fake_domain_device d;
        d.name = name;
        d.model = "RQA-310";
        d.address[0] = address;
        d.address[1] = 7;
        d.relay_port = relay_port;
        d.services = {{"_netaudio-arc._udp", fake_domain_txt({"arcp_vers=2.7.41", "router_vers=4.0.2"}), 4440}};
        return d;
    }

    // The server relays, the device answers, the server brings the answers back, the container
    // checks its deadlines.
    void pump(int rounds = 1)
    {
        for (int i = 0; i < rounds; ++i) {
            server.pump();
            tn_routing_device_poll(sim, 2);
            server.pump();
            wr_devices_process(devices, nullptr);
        }
    }
    bool wait_done()
    {
        for (int i = 0; i < 100 && g_done.calls == 0; ++i)
            pump();
        return g_done.calls > 0;
    }

    wr_device *open_resolved(const char *name)
    {
        wr_device *d = nullptr;
        EXPECT_EQ(wr_device_open(devices, name, &d), 0);
        if (!d)
            return nullptr;
        opened.push_back(d);
        server.pump();
        EXPECT_EQ(d->state, WR_DEVICE_STATE_RESOLVED);
        EXPECT_TRUE(d->via_domain);
        return d;
    }
};

TEST_F(DomainRelay, ADeviceFoundThroughTheServerBecomesActiveAndTakesASubscription)
{
    wr_device *d = open_resolved(tn_routing_device_get_name(sim));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(wr_device_query_capabilities(d, on_done, nullptr), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(g_done.result, 0);
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
    EXPECT_EQ(wr_device_num_txchannels(d), 2);
    EXPECT_EQ(wr_device_num_rxchannels(d), 2);
    EXPECT_STREQ(wr_device_get_name(d), tn_routing_device_get_name(sim));
    EXPECT_EQ(tn_routing_device_request_count(sim, 0x1000), 1u);
    EXPECT_EQ(server.relayed, tn_routing_device_log_count(sim)) << "every request went through the server";

    g_done = completion{};
    ASSERT_EQ(wr_rxchannel_subscribe(wr_device_rxchannel_by_id(d, 2), on_done, nullptr, "T002-RQA310-0002-QZ", "01"),
              0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(g_done.result, 0);
    tn_routing_subscription sub;
    ASSERT_TRUE(tn_routing_device_get_subscription(sim, 2, &sub));
    EXPECT_STREQ(sub.tx_channel, "01");
    EXPECT_STREQ(sub.tx_device, "T002-RQA310-0002-QZ");
    EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
}

TEST_F(DomainRelay, ATransportErrorCompletesTheRequestWithItsMappedError)
{
    struct row {
        const char *device;
        uint16_t failure_status; // 0: the server's unreachable status (4)
        qnb_error error;
    } rows[] = {
        {"T002-RQA310-0002-QZ", 0, QNB_ERR_SYSTEM}, // no route to that device
        {nullptr, 2, QNB_ERR_INVALIDPARAMETER},
        {nullptr, 5, QNB_ERR_INVALIDDATA},
        {nullptr, 6, QNB_ERR_POLICY},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.failure_status);
        server.relay_failure_status = r.failure_status;
        wr_device *d = open_resolved(r.device ? r.device : tn_routing_device_get_name(sim));
        ASSERT_NE(d, nullptr);
        g_done = completion{};
        ASSERT_EQ(wr_device_query_capabilities(d, on_done, nullptr), 0);
        server.pump();
        EXPECT_EQ(g_done.calls, 1);
        EXPECT_EQ(g_done.result, r.error);
        EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
    }
    EXPECT_EQ(server.relayed, 0u);
    EXPECT_EQ(wr_devices_process_domain_error(devices, 999, QNB_ERR_SYSTEM), QNB_ERR_INVALIDPARAMETER);

    // The error finds its request by domain request id: another request in flight goes on.
    server.relay_failure_status = 0;
    wr_device *lost = open_resolved("T002-RQA310-0002-QZ");
    wr_device *live = open_resolved(tn_routing_device_get_name(sim));
    ASSERT_TRUE(lost && live);
    g_done = completion{};
    ASSERT_EQ(wr_device_query_capabilities(live, on_done, nullptr), 0);
    ASSERT_EQ(wr_device_query_capabilities(lost, on_done, nullptr), 0);
    server.pump();
    EXPECT_EQ(g_done.calls, 1);
    EXPECT_EQ(g_done.result, QNB_ERR_SYSTEM);
    for (int i = 0; i < 100 && g_done.calls < 2; ++i)
        pump();
    EXPECT_EQ(g_done.result, 0);
    EXPECT_EQ(wr_device_get_state(live), WR_DEVICE_STATE_ACTIVE);

    // A record the server refuses to take fails the send at once.
    wr_device *refused = open_resolved(tn_routing_device_get_name(sim));
    ASSERT_NE(refused, nullptr);
    server.fail_transport = true;
    EXPECT_EQ(wr_device_query_capabilities(refused, on_done, nullptr), QNB_ERR_NOTCONN);
    EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
}

TEST_F(DomainRelay, MalformedRelayRecordsAreRefusedWithoutTouchingARequest)
{
    wr_device *d = open_resolved(tn_routing_device_get_name(sim));
    ASSERT_NE(d, nullptr);
    g_done = completion{};
    ASSERT_EQ(wr_device_query_capabilities(d, on_done, nullptr), 0);
    // A record as the server would send it, then cut or bent.
    struct row {
        const char *what;
        uint16_t length; // of the routing message, as the body claims
        uint16_t offset; // of the message, from the record start
        size_t body;     // bytes of body reserved
        uint16_t header_length; // the routing header's own length field
    } rows[] = {
        {"length beyond the message", 200, 24, 12, 10},
        {"no message", 10, 0, 12, 10},
        {"short body", 10, 24, 4, 10},
        {"routing header longer than the message", 10, 24, 12, 40},
        {"routing header too short", 4, 24, 12, 4},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        uint8_t buffer[256];
        tlv_builder b;
        tlv_record rec;
        uint8_t *body = nullptr;
        ASSERT_EQ(tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES), 0);
        ASSERT_EQ(tlv_msg_add_response_u16(&b, &rec, TLV_RECORD_0x2004, 1), 0);
        ASSERT_EQ(tlv_msg_reserve_body(&rec, uint16_t(r.body), &body), 0);
        uint8_t packet[12] = {0x27, 0x29, 0, 0, 0, 0, 0x10, 0x00, 0, 1, 0, 0};
        packet[3] = uint8_t(r.header_length);
        uint16_t at = 0;
        ASSERT_NE(tlv_msg_add_bytes(&rec, packet, sizeof packet, &at), nullptr);
        wgcp_store_be16(body, r.length);
        if (r.body >= 4)
            wgcp_store_be16(body + 2, r.offset ? at : 0);
        if (r.body >= 12) {
            wgcp_store_be32(body + 4, d->domain_address[0]);
            wgcp_store_be16(body + 8, uint16_t(d->domain_address[1]));
        }
        tlv_view view;
        ASSERT_EQ(tlv_view_init(&view, buffer, b.position), 0);
        EXPECT_EQ(wr_devices_process_domain_relay(devices, &view), QNB_ERR_INVALIDDATA);
        EXPECT_EQ(g_done.calls, 0);
        EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_QUERYING);
    }
    // Every cut of a good record is refused or dropped, never read past its end.
    uint8_t buffer[256];
    tlv_builder b;
    tlv_record rec;
    uint8_t *body = nullptr;
    ASSERT_EQ(tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES), 0);
    ASSERT_EQ(tlv_msg_add_response_u16(&b, &rec, TLV_RECORD_0x2004, 1), 0);
    ASSERT_EQ(tlv_msg_reserve_body(&rec, 12, &body), 0);
    uint8_t packet[12] = {0x27, 0x29, 0, 12, 0, 0, 0x10, 0x00, 0, 1, 0, 0};
    uint16_t at = 0;
    ASSERT_NE(tlv_msg_add_bytes(&rec, packet, sizeof packet, &at), nullptr);
    wgcp_store_be16(body, sizeof packet);
    wgcp_store_be16(body + 2, at);
    for (size_t cut = 0; cut < b.position; ++cut) {
        std::vector<uint8_t> bytes(buffer, buffer + cut);
        if (cut >= 2)
            wgcp_store_be16(bytes.data(), uint16_t(cut));
        tlv_view view;
        if (tlv_view_init(&view, bytes.data(), bytes.size()) == 0 && view.type == TLV_RECORD_0x2004) {
            EXPECT_EQ(wr_devices_process_domain_relay(devices, &view), QNB_ERR_INVALIDDATA) << cut;
        }
    }
    EXPECT_EQ(g_done.calls, 0);
}

TEST_F(DomainRelay, AReplyWithAnotherSequenceNumberOrFromAnotherDeviceIsDroppedUntilTheDeadline)
{
    struct row {
        const char *what;
        unsigned faults;
        int word;       // of the source address the server reports; -1: the device's own
        uint32_t value;
    } rows[] = {
        {"renumbered", TN_ROUTING_FAULT_WRONG_SEQNUM, -1, 0},
        {"from another device", 0, 0, 0x0A000006},
        {"from another device at the same first word", 0, 1, 8},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        tn_routing_device_clear_log(sim);
        tn_routing_device_set_faults(sim, r.faults, 0);
        server.relay_edit = [r](std::vector<uint8_t> &, uint32_t *address) {
            if (r.word >= 0)
                address[r.word] = r.value;
        };
        wr_device *d = open_resolved(tn_routing_device_get_name(sim));
        ASSERT_NE(d, nullptr);
        g_done = completion{};
        ASSERT_EQ(wr_device_query_capabilities(d, on_done, nullptr), 0);
        pump(3);
        EXPECT_EQ(g_done.calls, 0);
        EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_QUERYING) << "a stray reply never fails the device";
        // Resent once through the server after 1 s, timed out 3 s after the first send.
        clock.advance(1, 100000);
        pump(3);
        EXPECT_EQ(tn_routing_device_request_count(sim, 0x1000), 2u);
        EXPECT_EQ(g_done.calls, 0);
        clock.advance(2);
        pump();
        EXPECT_EQ(g_done.calls, 1);
        EXPECT_EQ(g_done.result, QNB_ERR_TIMEDOUT);
        EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
    }
}

TEST_F(DomainRelay, OnlyARequestThroughTheServerIsLimitedTo1388Bytes)
{
    // A device reached by socket (an ad-hoc container) keeps the full 1400 bytes.
    wr_devices *adhoc = nullptr;
    ASSERT_EQ(wr_devices_new(nullptr, &adhoc), 0);
    wr_device_config cfg{};
    cfg.flags = WR_CONFIG_ADDRESSES;
    cfg.count = 1;
    cfg.addresses[0].address = htonl(INADDR_LOOPBACK);
    cfg.addresses[0].port = tn_routing_device_get_port(sim);
    wr_device *direct = nullptr;
    ASSERT_EQ(wr_device_open_with_config(adhoc, &cfg, &direct), 0);
    wr_device *relayed = open_resolved(tn_routing_device_get_name(sim));
    ASSERT_NE(relayed, nullptr);

    struct row {
        wr_device *device;
        uint32_t limit;
    } rows[] = {{direct, WR_MESSAGE_MAX}, {relayed, WR_DOMAIN_MESSAGE_MAX}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.limit);
        wr_request *req = nullptr;
        wgcp_builder *b = nullptr;
        ASSERT_EQ(wr_device_begin_request(r.device, on_done, 0x1000, &req, &b), 0);
        uint32_t length = wgcp_header_get_length(b->packet);
        EXPECT_EQ(wgcp_message_add_length(b, r.limit - length + 1), 0u);
        EXPECT_EQ(wgcp_message_add_length(b, r.limit - length), r.limit);
        ASSERT_EQ(wr_device_send(r.device, req), 0);
        wr_devices_cancel_request(r.device->container, req);
    }
    // The longest message went through the server whole.
    server.pump();
    tn_routing_device_poll(sim, 50);
    tn_routing_device_poll(sim, 50);
    std::vector<size_t> sizes;
    tn_routing_log_entry e;
    for (size_t i = 0; i < tn_routing_device_log_count(sim); ++i)
        if (tn_routing_device_log_at(sim, i, &e))
            sizes.push_back(e.size);
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<size_t>{WR_DOMAIN_MESSAGE_MAX, WR_MESSAGE_MAX}));
    EXPECT_EQ(server.relayed, 1u);

    wr_device_close(direct);
    EXPECT_EQ(wr_devices_delete(adhoc), 0);
}

} // namespace
