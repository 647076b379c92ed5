// The simulated routing devices, spoken to with raw bytes over loopback: what they answer to the
// requests of the open chain, channel pages, subscribe and clear, and how they misbehave on
// request. Time moves only on the fake clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "netaudio/discovery/wt_dnssd.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "testnet/tn_routing_device.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"

namespace {

using bytes = std::vector<uint8_t>;

// A request: header (version 0x2729, result 0), then the body as given.
bytes request(uint16_t opcode, uint16_t seqnum, const bytes &body = {})
{
    bytes m(10);
    wgcp_store_be16(&m[0], 0x2729);
    wgcp_store_be16(&m[4], seqnum);
    wgcp_store_be16(&m[6], opcode);
    m.insert(m.end(), body.begin(), body.end());
    wgcp_store_be16(&m[2], static_cast<uint16_t>(m.size()));
    return m;
}

bytes be16s(std::initializer_list<uint16_t> values)
{
    bytes b;
    for (uint16_t v : values) {
        b.push_back(static_cast<uint8_t>(v >> 8));
        b.push_back(static_cast<uint8_t>(v));
    }
    return b;
}

// A 0x3010 body as the client writes it: head, 20 bytes reserved per record, records of 6 bytes
// at stride 6, the strings after the reserved area (each distinct string once).
struct sub {
    uint16_t rx;
    std::string channel, device;
};
bytes subscribe_body(const std::vector<sub> &records)
{
    size_t n = records.size();
    bytes b(2 + 20 * n, 0);
    b[0] = static_cast<uint8_t>(n);
    b[1] = static_cast<uint8_t>(n);
    std::vector<std::pair<std::string, uint16_t>> strings;
    auto offset = [&](const std::string &s) -> uint16_t {
        if (s.empty())
            return 0;
        for (auto &e : strings)
            if (e.first == s)
                return e.second;
        uint16_t at = static_cast<uint16_t>(10 + b.size());
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
        strings.emplace_back(s, at);
        return at;
    };
    for (size_t i = 0; i < n; ++i) {
        uint16_t ch = offset(records[i].channel), dv = offset(records[i].device);
        wgcp_store_be16(&b[2 + 6 * i], records[i].rx);
        wgcp_store_be16(&b[2 + 6 * i + 2], ch);
        wgcp_store_be16(&b[2 + 6 * i + 4], dv);
    }
    return b;
}

uint16_t u16(const bytes &m, size_t at)
{
    return at + 2 <= m.size() ? wgcp_load_be16(&m[at]) : 0xDEAD;
}

std::string text_at(const bytes &m, uint16_t offset)
{
    std::string s;
    for (size_t i = offset; offset && i < m.size() && m[i]; ++i)
        s.push_back(static_cast<char>(m[i]));
    return s;
}

struct rx_view {
    uint16_t id;
    std::string name, channel, device;
    uint16_t status;
};

std::vector<rx_view> rx_entries(const bytes &m)
{
    std::vector<rx_view> out;
    for (unsigned i = 0; m.size() >= 12 && i < m[11]; ++i) {
        size_t at = 12 + 20u * i;
        out.push_back({u16(m, at), text_at(m, u16(m, at + 10)), text_at(m, u16(m, at + 6)),
                       text_at(m, u16(m, at + 8)), u16(m, at + 14)});
    }
    return out;
}

class RoutingDevice : public ::testing::Test {
protected:
    qz_test::fake_clock clock;
    tn_routing_set *set = nullptr;
    tn_routing_device *ktv = nullptr;
    tn_routing_device *rqa = nullptr;
    tn_udp_peer peer{};
    uint16_t seq = 100;

    void SetUp() override
    {
        set = tn_routing_set_new();
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_KTV4S, 1);
        qnb_error err = QNB_ERR_SUCCESS;
        ASSERT_NE(nullptr, ktv = tn_routing_set_add(set, &cfg, &err)) << err;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_RQA310, 2);
        ASSERT_NE(nullptr, rqa = tn_routing_set_add(set, &cfg, &err)) << err;
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_open(&peer, 0));
    }

    void TearDown() override
    {
        tn_udp_peer_close(&peer);
        tn_routing_set_delete(set);
    }

    void send(tn_routing_device *dev, const bytes &m)
    {
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_send(&peer, m.data(), m.size(), tn_routing_device_get_port(dev)));
        ASSERT_TRUE(tn_wait_readable(tn_routing_device_get_socket(dev), 1000));
        tn_routing_device_process(dev);
    }

    // The next datagram the peer receives; empty when none comes within `wait_ms`.
    bytes receive(int wait_ms = 1000)
    {
        bytes b(2048);
        size_t size = b.size();
        if (tn_udp_peer_receive(&peer, b.data(), &size, wait_ms) != QNB_ERR_SUCCESS)
            return {};
        b.resize(size);
        return b;
    }

    bytes ask(tn_routing_device *dev, uint16_t opcode, const bytes &body = {})
    {
        send(dev, request(opcode, ++seq, body));
        return receive();
    }
};

TEST_F(RoutingDevice, OpenChainAnswersCapabilitiesAvailabilityAndNames)
{
    struct {
        tn_routing_device *dev;
        uint16_t tx, rx;
    } models[] = {{ktv, 64, 64}, {rqa, 2, 2}};
    for (auto &m : models) {
        bytes caps = ask(m.dev, 0x1000);
        ASSERT_EQ(40u, caps.size());
        EXPECT_EQ(0x2729, u16(caps, 0));
        EXPECT_EQ(40, u16(caps, 2));
        EXPECT_EQ(seq, u16(caps, 4));
        EXPECT_EQ(0x1000, u16(caps, 6));
        EXPECT_EQ(0x0001, u16(caps, 8));
        EXPECT_EQ(m.tx, u16(caps, 12));
        EXPECT_EQ(m.rx, u16(caps, 14));
        EXPECT_EQ(0, u16(caps, 16));
        EXPECT_EQ(0, u16(caps, 28));

        bytes avail = ask(m.dev, 0x1102);
        ASSERT_GE(avail.size(), 12u);
        EXPECT_EQ(16, avail[11]);
        EXPECT_EQ(12u + 4 * 16, avail.size());

        bytes names = ask(m.dev, 0x1002);
        EXPECT_EQ(tn_routing_device_get_name(m.dev), text_at(names, 10));
        EXPECT_EQ(names.size(), u16(names, 2));
    }
    EXPECT_STREQ("T001-KTV4S-0001-QZ", tn_routing_device_get_name(ktv));

    bytes ext = ask(ktv, 0x1003);
    uint16_t names = u16(ext, 12), version = u16(ext, 14);
    ASSERT_EQ(0, names % 4);
    ASSERT_EQ(0, version % 4);
    EXPECT_EQ("T001-KTV4S-0001-QZ", text_at(ext, u16(ext, names + 2)));
    EXPECT_EQ(0x04020100u, wgcp_load_be32(&ext[version + 4]));
    EXPECT_EQ(0x2729, u16(ext, version + 8));

    // Properties: the requested ids that the device knows, 32-bit values by offset.
    bytes props = ask(ktv, 0x1100, {0, 2, 0x82, 0x05, 0x12, 0x34});
    ASSERT_EQ(1, props[11]);
    EXPECT_EQ(0x8205, u16(props, 12));
    uint16_t at = u16(props, 14);
    ASSERT_EQ(0, at % 4);
    EXPECT_EQ(1000000u, wgcp_load_be32(&props[at]));
    bytes perf = ask(ktv, 0x3300);
    ASSERT_EQ(18u, perf.size());
    EXPECT_EQ(0u, wgcp_load_be32(&perf[10]));
}

// 0x1101 entries {id, value}; ids with bit 15 carry their u32 value by offset.
bytes performance_body(const std::vector<std::pair<uint16_t, uint32_t>> &props)
{
    bytes b = {5, static_cast<uint8_t>(props.size())};
    b.resize(2 + 4 * 5, 0);
    for (size_t i = 0; i < props.size(); ++i) {
        uint16_t field = static_cast<uint16_t>(props[i].second);
        if (props[i].first & 0x8000) {
            while ((10 + b.size()) % 4)
                b.push_back(0);
            field = static_cast<uint16_t>(10 + b.size());
            b.resize(b.size() + 4);
            wgcp_store_be32(&b[b.size() - 4], props[i].second);
        }
        wgcp_store_be16(&b[2 + 4 * i], props[i].first);
        wgcp_store_be16(&b[2 + 4 * i + 2], field);
    }
    return b;
}

TEST_F(RoutingDevice, UnicastPerformanceEchoesAcceptedAndRefusedEntries)
{
    struct {
        std::vector<std::pair<uint16_t, uint32_t>> props;
        uint16_t result;
        std::vector<std::pair<uint16_t, uint16_t>> echo; // {id, inline value} or {1|2, id}; 0xFFFF: by offset
        uint32_t latency;
    } cases[] = {
        {{{0x8205, 2000000}, {0x0211, 32}}, 0x0001, {{0x8205, 0xFFFF}, {0x0211, 32}}, 2000000},
        {{{0x0201, 44100}, {0x8205, 0}}, 0x0100, {{1, 0x0201}, {2, 0x8205}}, 2000000},
        {{{0x0310, 8}}, 0x0001, {{0x0310, 8}}, 2000000},
    };
    for (auto &c : cases) {
        bytes reply = ask(ktv, 0x1101, performance_body(c.props));
        EXPECT_EQ(c.result, u16(reply, 8));
        ASSERT_EQ(c.echo.size(), reply[11]);
        for (size_t i = 0; i < c.echo.size(); ++i) {
            EXPECT_EQ(c.echo[i].first, u16(reply, 12 + 4 * i));
            if (c.echo[i].second != 0xFFFF) {
                EXPECT_EQ(c.echo[i].second, u16(reply, 14 + 4 * i));
            } else {
                EXPECT_EQ(c.props[i].second, wgcp_load_be32(&reply[u16(reply, 14 + 4 * i)]));
            }
        }
        EXPECT_EQ(c.latency, tn_routing_device_latency_ns(ktv));
    }
    // A property made unavailable for setting is refused from then on, and PROP_AVAIL says so.
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_routing_device_set_property(ktv, 0x8205, 1000000, 0x1));
    EXPECT_EQ(1, u16(ask(ktv, 0x1101, performance_body({{0x8205, 5000000}})), 12));
    bytes avail = ask(ktv, 0x1102);
    for (unsigned i = 0; i < avail[11]; ++i) {
        if (u16(avail, 12 + 4 * i) == 0x8205) {
            EXPECT_EQ(1, u16(avail, 14 + 4 * i));
        }
    }

    // A body given by the test replaces the answer.
    const uint8_t flows[] = {1, 1, 0, 1, 0, 0};
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_routing_device_set_body(ktv, 0x3200, 0x0001, flows, sizeof flows));
    bytes reply = ask(ktv, 0x3200, be16s({0x0101, 1, 0}));
    EXPECT_EQ(bytes(std::begin(flows), std::end(flows)), bytes(reply.begin() + 10, reply.end()));
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_routing_device_set_body(ktv, 0x3200, 0, nullptr, 0));
    EXPECT_EQ(12u, ask(ktv, 0x3200, be16s({0x0101, 1, 0})).size());
}

TEST_F(RoutingDevice, ChannelPagesFollowTheFirstAskedId)
{
    struct {
        uint16_t opcode, first;
        unsigned entries;
        uint16_t result;
        uint16_t first_id;
    } pages[] = {
        {0x3000, 1, 16, 0x8112, 1}, {0x3000, 49, 16, 0x0001, 49}, {0x3000, 60, 5, 0x0001, 60},
        {0x3000, 0, 16, 0x8112, 1}, {0x2000, 33, 16, 0x8112, 33}, {0x3000, 65, 0, 0x0001, 0},
    };
    for (auto &p : pages) {
        bytes page = ask(ktv, p.opcode, be16s({0x0101, p.first, 0}));
        SCOPED_TRACE(p.first);
        ASSERT_GE(page.size(), 12u);
        EXPECT_EQ(p.result, u16(page, 8));
        EXPECT_EQ(p.entries, page[11]);
        EXPECT_EQ(page.size(), u16(page, 2));
        if (p.entries) {
            EXPECT_EQ(p.first_id, u16(page, 12));
            size_t size = p.opcode == 0x2000 ? 8 : 20;
            uint16_t format = u16(page, 12 + 4);
            EXPECT_EQ(0, format % 4);
            EXPECT_EQ(48000u, wgcp_load_be32(&page[format]));
            char want[8];
            snprintf(want, sizeof want, "%02u", p.first_id);
            EXPECT_EQ(want, text_at(page, u16(page, 12 + (size == 8 ? 6 : 10))));
        } else {
            EXPECT_EQ(12u, page.size());
        }
    }
}

TEST_F(RoutingDevice, SubscriptionsAreStoredShownByPagesAndCleared)
{
    bytes reply = ask(ktv, 0x3010,
                      subscribe_body({{1, "01", "T002-RQA310-0002-QZ"},
                                      {2, "02", "T002-RQA310-0002-QZ"},
                                      {3, "07", "T0FF-OTHER-0001-QZ"},
                                      {4, "05", "."}}));
    ASSERT_EQ(10u, reply.size());
    EXPECT_EQ(0x0001, u16(reply, 8));
    EXPECT_EQ(4u, tn_routing_device_subscription_count(ktv));

    tn_routing_subscription s;
    ASSERT_TRUE(tn_routing_device_get_subscription(ktv, 2, &s));
    EXPECT_STREQ("02", s.tx_channel);
    EXPECT_STREQ("T002-RQA310-0002-QZ", s.tx_device);

    std::vector<rx_view> rx = rx_entries(ask(ktv, 0x3000, be16s({0x0101, 1, 0})));
    ASSERT_GE(rx.size(), 5u);
    // A device of the set with that channel: resolved; unknown device: unresolved; "." resolves
    // against the device itself.
    EXPECT_EQ("01", rx[0].channel);
    EXPECT_EQ("T002-RQA310-0002-QZ", rx[0].device);
    EXPECT_EQ(2, rx[0].status);
    EXPECT_EQ(2, rx[1].status);
    EXPECT_EQ(1, rx[2].status);
    EXPECT_EQ(".", rx[3].device);
    EXPECT_EQ(2, rx[3].status);
    EXPECT_EQ("", rx[4].channel);
    EXPECT_EQ(0, rx[4].status);

    // A device that joins the set later resolves the subscriptions to it from then on.
    tn_routing_device_config cfg;
    tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_RQA310, 0xFF);
    snprintf(cfg.name, sizeof cfg.name, "%s", "T0FF-OTHER-0001-QZ");
    cfg.tx_count = 8;
    ASSERT_NE(nullptr, tn_routing_set_add(set, &cfg, nullptr));
    ASSERT_TRUE(tn_routing_device_get_subscription(ktv, 3, &s));
    EXPECT_EQ(2, s.status);

    // Clearing one record by empty offsets, then the whole device by the id list {1, n}.
    ask(ktv, 0x3010, subscribe_body({{4, "", ""}}));
    EXPECT_EQ(3u, tn_routing_device_subscription_count(ktv));
    reply = ask(ktv, 0x3014, be16s({0x0101, 1, 64}));
    EXPECT_EQ(0x0001, u16(reply, 8));
    EXPECT_EQ(0u, tn_routing_device_subscription_count(ktv));

    // An id list with a run and a single id: {1, 3} {0, 7}.
    for (uint16_t id : {1, 2, 3, 5, 7})
        tn_routing_device_set_subscription(ktv, id, "01", ".");
    ask(ktv, 0x3014, be16s({0x0202, 1, 3, 0, 7}));
    EXPECT_EQ(1u, tn_routing_device_subscription_count(ktv));
    ASSERT_TRUE(tn_routing_device_get_subscription(ktv, 5, &s));
    EXPECT_EQ(2, s.status);

    FILE *f = tmpfile();
    ASSERT_NE(nullptr, f);
    tn_routing_device_dump_subscriptions(ktv, f);
    rewind(f);
    char line[128] = "";
    ASSERT_NE(nullptr, fgets(line, sizeof line, f));
    EXPECT_STREQ("T001-KTV4S-0001-QZ 5 05 01@. 2\n", line);
    EXPECT_EQ(nullptr, fgets(line, sizeof line, f));
    fclose(f);
}

TEST_F(RoutingDevice, TxtRecordCarriesTheVersionKeysTheResolverReads)
{
    tn_routing_device_config cfg = *tn_routing_device_get_config(ktv);
    snprintf(cfg.name, sizeof cfg.name, "%s", "SAFE-ONE");
    cfg.safe_mode = true;
    cfg.arcp_version = 0x2800;
    tn_routing_device *safe = tn_routing_set_add(set, &cfg, nullptr);
    ASSERT_NE(nullptr, safe);
    struct {
        tn_routing_device *dev;
        const char *arcp;
        bool safe;
    } cases[] = {{ktv, "2.7.41", false}, {safe, "2.8.0", true}};
    for (auto &c : cases) {
        uint8_t txt[256];
        size_t size = tn_routing_device_txt(c.dev, txt, sizeof txt);
        ASSERT_GT(size, 0u);
        uint8_t length = 0;
        uint16_t n = static_cast<uint16_t>(size);
        const char *v = static_cast<const char *>(wt_dnssd_txt_value(n, txt, "arcp_vers", &length));
        ASSERT_NE(nullptr, v);
        EXPECT_EQ(c.arcp, std::string(v, length));
        v = static_cast<const char *>(wt_dnssd_txt_value(n, txt, "router_vers", &length));
        ASSERT_NE(nullptr, v);
        EXPECT_EQ("4.2.1", std::string(v, length));
        EXPECT_EQ(c.safe, wt_dnssd_txt_contains_key(n, txt, "safe"));
    }
    // A name the set already holds is refused.
    EXPECT_EQ(nullptr, tn_routing_set_add(set, &cfg, nullptr));
}

TEST_F(RoutingDevice, BadRecordsAreRefusedAndTheRestApplied)
{
    bytes body = subscribe_body({{1, "01", "T002-RQA310-0002-QZ"}, {99, "01", "X"}, {3, "a.b", "X"}, {0, "01", "X"}});
    EXPECT_EQ(0x0100, u16(ask(ktv, 0x3010, body), 8));
    EXPECT_EQ(1u, tn_routing_device_subscription_count(ktv));

    // Hostile offsets: past the end, into the header, an unterminated string at the very end.
    bytes hostile = {1, 1, 0, 2, 0xFF, 0xF0, 0, 4};
    EXPECT_EQ(0x0100, u16(ask(ktv, 0x3010, hostile), 8));
    bytes unterminated = {1, 1, 0, 2, 0, 18, 0, 18, 'a', 'b'};
    EXPECT_EQ(0x0100, u16(ask(ktv, 0x3010, unterminated), 8));
    // A count beyond the bytes sent.
    EXPECT_EQ(0x0100, u16(ask(ktv, 0x3010, {200, 200, 0, 1}), 8));
    EXPECT_EQ(1u, tn_routing_device_subscription_count(ktv));

    // Datagrams that are not requests get no answer at all.
    bytes wrong_length = request(0x1000, 1);
    wgcp_store_be16(&wrong_length[2], 12);
    bytes not_request = request(0x1000, 1);
    wgcp_store_be16(&not_request[8], 1);
    for (const bytes &m : {wrong_length, not_request, bytes{0x27, 0x29, 0}}) {
        send(ktv, m);
        EXPECT_TRUE(receive(20).empty());
    }
    EXPECT_GE(tn_routing_device_log_count(ktv), 3u);
}

TEST_F(RoutingDevice, MisbehavesOnRequest)
{
    // Silence, then one dropped request.
    tn_routing_device_set_silent(ktv, true);
    send(ktv, request(0x1000, 1));
    EXPECT_TRUE(receive(20).empty());
    tn_routing_device_set_silent(ktv, false);
    tn_routing_device_drop_nth(ktv, 2);
    EXPECT_FALSE(ask(ktv, 0x1000).empty());
    send(ktv, request(0x1000, 2));
    EXPECT_TRUE(receive(20).empty());
    EXPECT_FALSE(ask(ktv, 0x1000).empty());
    EXPECT_EQ(4u, tn_routing_device_request_count(ktv, 0x1000));

    // A delay on the library clock.
    tn_routing_device_set_delay_ms(ktv, 1500);
    send(ktv, request(0x1002, 7));
    EXPECT_TRUE(receive(20).empty());
    clock.advance(1, 400000);
    tn_routing_device_process(ktv);
    EXPECT_TRUE(receive(20).empty());
    clock.advance(0, 100000);
    tn_routing_device_process(ktv);
    EXPECT_EQ(7, u16(receive(), 4));
    tn_routing_device_set_delay_ms(ktv, 0);

    // One answer held back: the next one overtakes it.
    tn_routing_device_delay_nth(ktv, 1, 500);
    send(ktv, request(0x1002, 20));
    send(ktv, request(0x1002, 21));
    EXPECT_EQ(21, u16(receive(), 4));
    clock.advance(0, 500000);
    tn_routing_device_process(ktv);
    EXPECT_EQ(20, u16(receive(), 4));

    // Duplicates, another sequence number and opcode, only for the opcode asked.
    tn_routing_device_set_faults(ktv, TN_ROUTING_FAULT_DUPLICATE | TN_ROUTING_FAULT_WRONG_SEQNUM |
                                          TN_ROUTING_FAULT_WRONG_OPCODE, 0x1002);
    send(ktv, request(0x1002, 8));
    bytes a = receive(), b = receive();
    EXPECT_EQ(a, b);
    EXPECT_EQ(8 + 0x100, u16(a, 4));
    EXPECT_EQ(0x1802, u16(a, 6));
    EXPECT_EQ(0x1000, u16(ask(ktv, 0x1000), 6));
    EXPECT_TRUE(receive(20).empty());

    // Truncated answers, with the length field kept or rewritten.
    tn_routing_device_set_faults(ktv, TN_ROUTING_FAULT_TRUNCATE, 0);
    tn_routing_device_set_truncate(ktv, 5, false);
    bytes cut = ask(ktv, 0x1000);
    EXPECT_EQ(35u, cut.size());
    EXPECT_EQ(40, u16(cut, 2));
    tn_routing_device_set_truncate(ktv, 5, true);
    EXPECT_EQ(35, u16(ask(ktv, 0x1000), 2));

    // From another port.
    tn_routing_device_set_faults(ktv, TN_ROUTING_FAULT_OTHER_PORT, 0);
    EXPECT_FALSE(ask(ktv, 0x1000).empty());
    EXPECT_EQ(tn_routing_device_get_other_port(ktv), qnb_sockaddr_get_port(&peer.last_source));
    tn_routing_device_set_faults(ktv, 0, 0);

    // An error result per opcode, without a body.
    tn_routing_device_set_result(ktv, 0x1000, 0x0601);
    bytes bare = ask(ktv, 0x1000);
    EXPECT_EQ(10u, bare.size());
    EXPECT_EQ(0x0601, u16(bare, 8));
    EXPECT_EQ(0x0001, u16(ask(ktv, 0x1002), 8));
}

} // namespace

TEST_F(RoutingDevice, VanishesAfterItsLastAnswerAndThroughItsImpairment)
{
    // Silent once it has answered two clears; other requests before do not count.
    tn_routing_device_vanish_after(ktv, 0x3014, 2);
    const bytes clear_all = be16s({0x0101, 1, 0});
    EXPECT_FALSE(ask(ktv, 0x1000).empty());
    EXPECT_FALSE(ask(ktv, 0x3014, clear_all).empty());
    EXPECT_FALSE(tn_routing_device_get_silent(ktv));
    EXPECT_FALSE(ask(ktv, 0x3014, clear_all).empty());
    EXPECT_TRUE(tn_routing_device_get_silent(ktv));
    send(ktv, request(0x1000, ++seq));
    EXPECT_TRUE(receive(20).empty());

    // Everything lost on the way: the request is not even logged, only counted as received.
    tn_routing_device_set_impairment(rqa, 100, 0, 0, 7);
    size_t logged = tn_routing_device_log_count(rqa);
    const unsigned long received = tn_routing_device_received(rqa);
    send(rqa, request(0x1000, ++seq));
    EXPECT_TRUE(receive(20).empty());
    EXPECT_EQ(logged, tn_routing_device_log_count(rqa));
    EXPECT_EQ(1u, tn_routing_device_impaired(rqa));
    EXPECT_EQ(received + 1, tn_routing_device_received(rqa));
}
