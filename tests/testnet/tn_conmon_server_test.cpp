// The simulated control-and-monitoring server, spoken to with raw bytes from a loopback peer.
// Time moves only on the fake clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "testnet/tn_conmon_server.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"

namespace {

typedef std::vector<uint8_t> bytes;

uint16_t h16(const bytes &m, size_t at)
{
    uint16_t v = 0;
    if (at + 2 <= m.size())
        memcpy(&v, m.data() + at, 2);
    return v;
}

void put16(bytes &m, size_t at, uint16_t v)
{
    if (m.size() < at + 2)
        m.resize(at + 2);
    memcpy(m.data() + at, &v, 2);
}

// A local request: head, then the body bytes placed by the caller.
bytes request(uint16_t version, uint16_t id, uint16_t opcode, size_t length)
{
    bytes m(length, 0);
    put16(m, 0, version);
    put16(m, 2, static_cast<uint16_t>(length));
    put16(m, 4, id);
    put16(m, 6, opcode);
    return m;
}

void put_text(bytes &m, size_t at, const char *text)
{
    memcpy(m.data() + at, text, strlen(text) + 1);
}

bytes connect_new(uint16_t id)
{
    bytes m = request(0x1503, id, TN_CONMON_OP_CONNECT, 44);
    put_text(m, 10, "wfa_conmon_client");
    return m;
}

bytes connect_old(uint16_t version, uint16_t id)
{
    bytes m = request(version, id, TN_CONMON_OP_CONNECT, 10 + 18);
    put_text(m, 10, "wfa_conmon_client");
    return m;
}

bytes register_req(uint16_t id, uint16_t type, uint16_t cls)
{
    bytes m = request(0x1503, id, TN_CONMON_OP_REGISTER, 16);
    put16(m, 10, type);
    put16(m, 12, cls);
    return m;
}

bytes subscribe_req(uint16_t id, uint16_t type, const char *name)
{
    bytes m = request(0x1503, id, TN_CONMON_OP_SUBSCRIBE, 25 + strlen(name));
    put16(m, 10, type);
    put_text(m, 14, name);
    return m;
}

// Send Message on the control channel with a vendor body.
bytes send_req(uint16_t id, const char *target, const bytes &body)
{
    bytes m = request(0x1503, id, TN_CONMON_OP_SEND_MESSAGE, 76 + body.size());
    put_text(m, 20, target);
    uint8_t *c = m.data() + 52;
    wgcp_store_be16(c, 0xFFFF);
    wgcp_store_be16(c + 2, static_cast<uint16_t>(24 + body.size()));
    memcpy(c + 16, "Quenbary", 8);
    memcpy(c + 24, body.data(), body.size());
    return m;
}

bytes vendor(uint16_t type, size_t size)
{
    bytes b(size, 0);
    wgcp_store_be16(b.data(), 0x0726);
    wgcp_store_be16(b.data() + 2, type);
    wgcp_store_be32(b.data() + 4, 1000000);
    return b;
}

class ConmonServer : public ::testing::Test {
protected:
    qz_test::fake_clock clock;
    tn_conmon_server *srv = nullptr;
    tn_udp_peer peer{};

    void SetUp() override
    {
        srv = tn_conmon_server_new(0, nullptr);
        ASSERT_NE(nullptr, srv);
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_load_text(srv, tn_conmon_default_devices));
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_open(&peer, 0));
    }

    void TearDown() override
    {
        tn_udp_peer_close(&peer);
        tn_conmon_server_delete(srv);
    }

    // Sends, lets the server answer, and collects everything it sent back.
    std::vector<bytes> exchange(const bytes &m)
    {
        EXPECT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_send(&peer, m.data(), m.size(), tn_conmon_server_get_port(srv)));
        EXPECT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_poll(srv, 200));
        return collect();
    }

    std::vector<bytes> collect()
    {
        std::vector<bytes> got;
        for (;;) {
            bytes b(TN_CONMON_MAX_MESSAGE);
            size_t size = b.size();
            if (tn_udp_peer_receive(&peer, b.data(), &size, 20))
                return got;
            b.resize(size);
            got.push_back(b);
        }
    }

    // Connect, register for status messages of other devices, subscribe globally.
    void open_link()
    {
        ASSERT_EQ(1u, exchange(connect_new(1)).size());
        ASSERT_EQ(1u, exchange(register_req(2, 2, 1)).size());
        ASSERT_EQ(1u, exchange(subscribe_req(3, 2, "")).size());
    }
};

TEST_F(ConmonServer, ConnectAnswersInTheFormOfTheLinkVersion)
{
    struct row {
        uint16_t server_version;
        bool fixed_form;
        uint16_t client_version;
        uint16_t kind, version;
        size_t length; // with three interface records
    } rows[] = {
        {0x1503, true, 0x1503, 1, 0x1503, 324 + 3 * 36},
        {0x1300, true, 0x1503, 4, 0x1300, 10},          // old server: "Invalid size"
        {0x1300, false, 0x1300, 1, 0x1300, 324 + 3 * 36}, // the fall-back form
        {0x1503, false, 0x1100, 1, 0x1100, 56 + 3 * 88},
    };
    tn_conmon_interface records[3] = {};
    for (unsigned i = 0; i < 3; ++i) {
        records[i].index = 10 + i;
        records[i].address = htonl(0x0A000001u + i);
    }
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_set_interfaces(srv, records, 3));
    const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_set_device_id(srv, id, 9));
    for (const row &r : rows) {
        SCOPED_TRACE(r.server_version);
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_set_version(srv, r.server_version));
        std::vector<bytes> got = exchange(r.fixed_form ? connect_new(7) : connect_old(r.client_version, 7));
        ASSERT_EQ(1u, got.size());
        const bytes &m = got[0];
        EXPECT_EQ(r.version, h16(m, 0));
        EXPECT_EQ(m.size(), h16(m, 2));
        EXPECT_EQ(7, h16(m, 4));
        EXPECT_EQ(TN_CONMON_OP_CONNECT, h16(m, 6));
        EXPECT_EQ(r.kind, h16(m, 8));
        ASSERT_EQ(r.length, m.size());
        if (r.kind != 1)
            continue;
        EXPECT_STREQ("PC-CONMON", reinterpret_cast<const char *>(m.data() + 12));
        bool old = r.client_version < 0x1200;
        EXPECT_EQ(0, memcmp(id, m.data() + (old ? 44 : 300), 8));
        EXPECT_EQ(3, h16(m, old ? 54 : 310));
        uint32_t index, address;
        memcpy(&index, m.data() + (old ? 56 + 88 + 64 : 324 + 36), 4);
        memcpy(&address, m.data() + (old ? 56 + 88 + 80 : 324 + 36 + 20), 4);
        EXPECT_EQ(11u, index);
        EXPECT_EQ(htonl(0x0A000002u), address);
    }
}

TEST_F(ConmonServer, QueriesAreAnsweredInChannelMessagesFromTheSubscribedDevice)
{
    open_link();
    // The per-device subscription's record carries the id the device's messages come from.
    std::vector<bytes> got = exchange(subscribe_req(4, 6, "T001-KTV4-S"));
    ASSERT_EQ(1u, got.size());
    ASSERT_EQ(16u + 72u, got[0].size());
    EXPECT_EQ(1, h16(got[0], 10));
    EXPECT_EQ(TN_CONMON_STATUS_CONNECTED, h16(got[0], 16 + 46));
    EXPECT_EQ(6, h16(got[0], 16 + 48));
    bytes record_id(got[0].begin() + 16 + 36, got[0].begin() + 16 + 44);

    tn_conmon_device *dev = tn_conmon_server_device(srv, "T001-KTV4-S");
    ASSERT_NE(nullptr, dev);
    struct row {
        bytes body;
        uint16_t answer;
        size_t offset; // a field of the answer to check (big-endian u32), 0 for none
        uint32_t value;
    } rows[] = {
        {vendor(0x61, 8), 0x60, 28, 0x1000},
        {vendor(0x13, 16), 0x11, 0, 0},
        {vendor(0xC1, 8), 0xC0, 32, 1u << 24 | 3u << 16},
        {vendor(0x1008, 8), 0x1009, 0, 0},
        {vendor(0x1006, 12), 0x1007, 0, 0},
        {vendor(0x21, 40), 0x20, 0, 0},
    };
    rows[5].body[9] = 0x02; // preferred master flag, byte 12 = 1
    rows[5].body[12] = 1;
    uint16_t id = 10;
    for (const row &r : rows) {
        SCOPED_TRACE(r.answer);
        got = exchange(send_req(id, "T001-KTV4-S", r.body));
        ASSERT_EQ(2u, got.size());
        EXPECT_EQ(id++, h16(got[0], 4));
        EXPECT_EQ(TN_CONMON_OP_SEND_MESSAGE, h16(got[0], 6));
        EXPECT_EQ(1, h16(got[0], 8));
        const bytes &ev = got[1];
        EXPECT_EQ(TN_CONMON_OP_CHANNEL_MESSAGE, h16(ev, 6));
        EXPECT_EQ(2, h16(ev, 8));
        EXPECT_EQ(2, h16(ev, 10));
        EXPECT_EQ(1, h16(ev, 12));
        ASSERT_GE(ev.size(), 16u + 24u + 8u);
        EXPECT_EQ(ev.size() - 16, wgcp_load_be16(ev.data() + 18));
        EXPECT_EQ(0, memcmp(record_id.data(), ev.data() + 16 + 8, 8));
        EXPECT_EQ(0, memcmp("Quenbary", ev.data() + 16 + 16, 8));
        EXPECT_EQ(r.answer, wgcp_load_be16(ev.data() + 40 + 2));
        if (r.offset) {
            EXPECT_EQ(r.value, wgcp_load_be32(ev.data() + 40 + r.offset));
        }
    }
    EXPECT_TRUE(dev->preferred_master);

    // A supported rate is taken, another one is not; both are answered with the rate status.
    for (uint32_t rate : {96000u, 32000u}) {
        bytes body = vendor(0x81, 16);
        wgcp_store_be32(body.data() + 8, 1);
        wgcp_store_be32(body.data() + 12, rate);
        got = exchange(send_req(id++, "T001-KTV4-S", body));
        ASSERT_EQ(2u, got.size());
        EXPECT_EQ(96000u, wgcp_load_be32(got[1].data() + 40 + 12));
    }
    EXPECT_EQ(96000u, dev->rate);

    // An unknown device: answered "Not Found", no channel message.
    got = exchange(send_req(id, "T0FF-NOBODY", vendor(0x61, 8)));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(13, h16(got[0], 8));
}

// The property questions a device is sent are counted as they reach the socket, those a lossy
// link then loses included; other control messages are not questions.
TEST_F(ConmonServer, PropertyQuestionsAreCountedBeforeTheLossyLink)
{
    open_link();
    tn_conmon_device *dev = tn_conmon_server_device(srv, "T001-KTV4-S");
    ASSERT_NE(nullptr, dev);
    uint16_t id = 30;
    for (uint16_t type : {0x81, 0x21, 0x1006, 0x1008, 0x61, 0x13})
        exchange(send_req(id++, "T001-KTV4-S", vendor(type, 16)));
    EXPECT_EQ(4u, dev->questions);
    tn_conmon_server_set_impairment(srv, 100, 0, 0, 1); // every datagram lost, both ways
    EXPECT_TRUE(exchange(send_req(id++, "T001-KTV4-S", vendor(0x1008, 8))).empty());
    EXPECT_EQ(5u, dev->questions);
    EXPECT_EQ(6u, dev->control_count) << "the lost one never reached the device";
}

TEST_F(ConmonServer, MisbehaviourOnRequest)
{
    open_link();
    // Register and Send Message left unanswered; the device still answers.
    tn_conmon_server_set_unanswered(srv, TN_CONMON_OP_REGISTER, true);
    tn_conmon_server_set_unanswered(srv, TN_CONMON_OP_SEND_MESSAGE, true);
    EXPECT_TRUE(exchange(register_req(20, 3, 1)).empty());
    EXPECT_TRUE(tn_conmon_server_is_registered(srv, 3, 1));
    std::vector<bytes> got = exchange(send_req(21, "T002-RQA-310", vendor(0x61, 8)));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(TN_CONMON_OP_CHANNEL_MESSAGE, h16(got[0], 6));
    tn_conmon_server_set_unanswered(srv, TN_CONMON_OP_SEND_MESSAGE, false);

    // A silent device: only the Send Message answer.
    tn_conmon_server_device(srv, "T002-RQA-310")->silent = true;
    EXPECT_EQ(1u, exchange(send_req(22, "T002-RQA-310", vendor(0x61, 8))).size());
    tn_conmon_server_device(srv, "T002-RQA-310")->silent = false;

    // A delayed answer goes out once the library clock has passed the delay.
    tn_conmon_server_set_reply_delay_ms(srv, 1500);
    EXPECT_EQ(1u, exchange(send_req(23, "T002-RQA-310", vendor(0x61, 8))).size());
    clock.advance(1, 400000);
    tn_conmon_server_process(srv);
    EXPECT_TRUE(collect().empty());
    clock.advance(0, 100000);
    tn_conmon_server_process(srv);
    EXPECT_EQ(1u, collect().size());
    tn_conmon_server_set_reply_delay_ms(srv, 0);

    // Named channel messages carry the sender's name at 16 and the channel message at 48.
    tn_conmon_server_set_named_messages(srv, true);
    got = exchange(send_req(24, "T002-RQA-310", vendor(0x1008, 8)));
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(TN_CONMON_OP_NAMED_CHANNEL_MESSAGE, h16(got[1], 6));
    EXPECT_STREQ("T002-RQA-310", reinterpret_cast<const char *>(got[1].data() + 16));
    EXPECT_EQ(got[1].size() - 48, wgcp_load_be16(got[1].data() + 48 + 2));
    tn_conmon_server_set_named_messages(srv, false);

    // Every second datagram lost, then every second one doubled.
    tn_conmon_server_set_loss(srv, 2);
    EXPECT_EQ(1u, exchange(send_req(25, "T002-RQA-310", vendor(0x61, 8))).size());
    tn_conmon_server_set_loss(srv, 0);
    tn_conmon_server_set_duplication(srv, 2);
    EXPECT_EQ(3u, exchange(send_req(26, "T002-RQA-310", vendor(0x61, 8))).size());
    tn_conmon_server_set_duplication(srv, 0);

    // Silent server: nothing at all.
    tn_conmon_server_set_silent(srv, true);
    EXPECT_TRUE(exchange(connect_new(27)).empty());
    EXPECT_EQ(2u, tn_conmon_server_request_count(srv, TN_CONMON_OP_CONNECT));
}

TEST_F(ConmonServer, RebootTakesTheDeviceAwayAndBringsItBack)
{
    open_link();
    ASSERT_EQ(1u, exchange(subscribe_req(4, 6, "T001-KTV4-S")).size());
    bytes reset = vendor(0x90, 12);
    wgcp_store_be16(reset.data() + 8, 1);
    wgcp_store_be16(reset.data() + 10, 1);
    std::vector<bytes> got = exchange(send_req(5, "T001-KTV4-S", reset));
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(TN_CONMON_OP_SUBSCRIPTIONS_CHANGED, h16(got[1], 6));
    EXPECT_EQ(TN_CONMON_STATUS_DISCONNECTED, h16(got[1], 16 + 46));
    tn_conmon_device *dev = tn_conmon_server_device(srv, "T001-KTV4-S");
    EXPECT_EQ(1u, dev->reboots);
    EXPECT_EQ(1, dev->reset_mode);
    EXPECT_EQ(13, h16(exchange(send_req(6, "T001-KTV4-S", vendor(0x61, 8)))[0], 8));

    clock.advance(3);
    tn_conmon_server_process(srv);
    got = collect();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(TN_CONMON_STATUS_CONNECTED, h16(got[0], 16 + 46));
    EXPECT_EQ(0x11, wgcp_load_be16(got[1].data() + 40 + 2));

    // A property change and a device that leaves the installation.
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_property_change(srv, "T001-KTV4-S"));
    got = collect();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x106, wgcp_load_be16(got[0].data() + 40 + 2));
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_set_online(srv, "T001-KTV4-S", false));
    got = collect();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(TN_CONMON_STATUS_DISCONNECTED, h16(got[0], 16 + 46));

    // Removed and added again: the subscription that stayed in place sees it come back.
    tn_conmon_device copy = *dev;
    copy.online = true;
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_remove_device(srv, "T001-KTV4-S"));
    EXPECT_EQ(1u, collect().size());
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_add_device(srv, &copy));
    got = collect();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(TN_CONMON_STATUS_CONNECTED, h16(got[0], 16 + 46));
}

TEST_F(ConmonServer, MalformedRequestsAreAnsweredWithTheirKind)
{
    struct row {
        const char *what;
        bytes message;
        size_t sent_size; // bytes actually sent (0: all)
        uint16_t kind;    // 0: no answer
    } rows[] = {
        {"before Connect", register_req(1, 2, 1), 0, 11},
        {"Connect without terminated name", request(0x1503, 2, TN_CONMON_OP_CONNECT, 44), 0, 7},
        {"Connect", connect_new(3), 0, 1},
        {"version 0x0FFF", request(0x0FFF, 4, TN_CONMON_OP_KEEPALIVE, 10), 0, 3},
        {"length field differs from the datagram", request(0x1503, 5, TN_CONMON_OP_KEEPALIVE, 12), 11, 4},
        {"channel type 9", register_req(6, 9, 1), 0, 7},
        {"class 2", register_req(7, 2, 2), 0, 7},
        {"Subscribe channel type 0", subscribe_req(8, 0, ""), 0, 7},
        {"unknown opcode", request(0x1503, 9, 0x0777, 10), 0, 5},
        {"keepalive", request(0x1503, 10, TN_CONMON_OP_KEEPALIVE, 10), 0, 1},
        {"Disconnect", request(0x1503, 11, TN_CONMON_OP_DISCONNECT, 10), 0, 0},
        {"after Disconnect", request(0x1503, 12, TN_CONMON_OP_KEEPALIVE, 10), 0, 11},
    };
    memset(rows[1].message.data() + 10, 'n', 34);
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        size_t n = r.sent_size ? r.sent_size : r.message.size();
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_send(&peer, r.message.data(), n, tn_conmon_server_get_port(srv)));
        tn_conmon_server_poll(srv, 200);
        std::vector<bytes> got = collect();
        if (r.kind == 0) {
            EXPECT_TRUE(got.empty());
            continue;
        }
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(h16(r.message, 4), h16(got[0], 4));
        EXPECT_EQ(h16(r.message, 6), h16(got[0], 6));
        EXPECT_EQ(r.kind, h16(got[0], 8));
    }
}

TEST_F(ConmonServer, OlderLinkSpeaksOlderForms)
{
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_set_version(srv, 0x1050));
    std::vector<bytes> got = exchange(connect_new(1));
    ASSERT_EQ(1u, got.size());
    ASSERT_EQ(4, h16(got[0], 8)); // the client falls back to the server's version
    ASSERT_EQ(1u, exchange(connect_old(0x1050, 2)).size());
    bytes reg = request(0x1050, 3, TN_CONMON_OP_REGISTER, 14);
    put16(reg, 10, 2);
    put16(reg, 12, 1);
    ASSERT_EQ(1, h16(exchange(reg)[0], 8));
    bytes sub = request(0x1050, 4, TN_CONMON_OP_SUBSCRIBE, 23 + 11);
    put16(sub, 10, 6);
    put_text(sub, 12, "T001-KTV4-S");
    got = exchange(sub);
    ASSERT_EQ(1u, got.size());
    ASSERT_EQ(12u + 48u, got[0].size());
    EXPECT_EQ(0x1050, h16(got[0], 0));
    EXPECT_EQ(1, h16(got[0], 10));
    EXPECT_EQ(1, got[0][12]); // flags byte: device id present
    EXPECT_STREQ("T001-KTV4-S", reinterpret_cast<const char *>(got[0].data() + 12 + 4));
    EXPECT_EQ(TN_CONMON_STATUS_CONNECTED, h16(got[0], 12 + 46));
}

TEST(TnConmonServer, DeviceDescriptionText)
{
    tn_conmon_server *srv = tn_conmon_server_new(0, nullptr);
    ASSERT_NE(nullptr, srv);
    const char *good = "device T003-Hall-KTV4-S KTV4-S 3   # a comment\n"
                       "firmware 5.1.2.99\n"
                       "model-name KTV4-S\n"
                       "manufacturer Tormel Audio\n"
                       "rates 48000 96000\n"
                       "rate 96000\n"
                       "lock 1\n"
                       "aes67 1 1\n"
                       "interface 02:00:00:00:00:31 169.254.3.1\n"
                       "interface 02:00:00:00:00:32 169.254.3.2 255.255.0.0 100\n"
                       "\n"
                       "device T004-RQA-310 RQA-310\n";
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_conmon_server_load_text(srv, good));
    tn_conmon_device *d = tn_conmon_server_device(srv, "T003-Hall-KTV4-S");
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(5, d->firmware.major);
    EXPECT_EQ(99u, d->firmware.build);
    EXPECT_STREQ("Tormel Audio", d->manufacturer_name);
    EXPECT_EQ(96000u, d->rate);
    EXPECT_EQ(2u, d->rate_count);
    EXPECT_TRUE(d->locked && d->aes67_enabled && d->aes67_reboot_needed);
    EXPECT_EQ(2u, d->interface_count);
    EXPECT_EQ(100, d->link_speed[1]);
    EXPECT_EQ(3, d->instance);
    ASSERT_NE(nullptr, tn_conmon_server_device(srv, "T004-RQA-310"));
    EXPECT_STREQ("RQA-310", tn_conmon_server_device(srv, "T004-RQA-310")->model_name);

    const char *bad[] = {
        "firmware 1.2.3.4\n",                                  // no device yet
        "device T005-A KTV4-X\n",                              // unknown model
        "device T005.A KTV4-S\n",                              // '.' in a name
        "device T005-AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA KTV4-S\n", // 32 characters
        "device T003-Hall-KTV4-S KTV4-S\n",                    // already known
        "device T005-A KTV4-S\nfirmware 1.2.3\n",
        "device T005-A KTV4-S\nfirmware 256.0.0.0\n",
        "device T005-A KTV4-S\nrates 1 2 3 4 5 6 7 8 9\n",
        "device T005-A KTV4-S\ninterface 02:00:00:00:00:31 999.1.1.1\n",
        "device T005-A KTV4-S\nlock 2\n",
        "device T005-A KTV4-S\nbogus 1\n",
    };
    for (const char *text : bad) {
        SCOPED_TRACE(text);
        qnb_error err = tn_conmon_server_load_text(srv, text);
        EXPECT_TRUE(err == QNB_ERR_INVALIDDATA || err == QNB_ERR_ALREADY) << err;
    }
    EXPECT_EQ(2u, tn_conmon_server_device_count(srv));
    tn_conmon_server_delete(srv);
}

} // namespace
