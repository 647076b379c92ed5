#include "netaudio/conmon/conmon_local.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "netaudio/conmon/conmon_channel.h"

namespace {

typedef std::vector<uint8_t> bytes;

void put16(bytes &b, size_t at, uint16_t v)
{
    if (b.size() < at + 2)
        b.resize(at + 2);
    memcpy(&b[at], &v, 2);
}
void put32(bytes &b, size_t at, uint32_t v)
{
    if (b.size() < at + 4)
        b.resize(at + 4);
    memcpy(&b[at], &v, 4);
}
void put_text(bytes &b, size_t at, const std::string &s)
{
    if (b.size() < at + s.size())
        b.resize(at + s.size());
    memcpy(&b[at], s.data(), s.size());
}

bytes message(uint16_t version, uint16_t opcode, uint16_t kind, size_t size, uint16_t id = 1)
{
    bytes b(size, 0);
    put16(b, 0, version);
    put16(b, 2, (uint16_t)size);
    put16(b, 4, id);
    put16(b, 6, opcode);
    put16(b, 8, kind);
    return b;
}

// A Connect response of the newer form with `records` 36-byte interface records.
bytes connect_response(unsigned records)
{
    bytes b = message(0x1503, CONMON_LOCAL_CONNECT, CONMON_KIND_RESPONSE, 324 + 36 * records);
    put16(b, 10, 1);
    put_text(b, 12, "PC-SERVER");
    put_text(b, 44, "local.");
    put_text(b, 300, "\x01\x02\x03\x04\x05\x06\x07\x08");
    put16(b, 308, 77);
    put16(b, 310, (uint16_t)records);
    put16(b, 312, 36);
    put16(b, 314, 324);
    for (unsigned i = 0; i < records; ++i) {
        size_t at = 324 + 36 * i;
        put32(b, at, 10 + i);
        put32(b, at + 20, 0x0100007F + (i << 24)); // 127.0.0.1 + i, network order
    }
    return b;
}

bytes channel_message(uint16_t type, const bytes &body, uint16_t seq = 5)
{
    bytes m(24 + body.size(), 0);
    m[0] = (uint8_t)(type >> 8);
    m[1] = (uint8_t)type;
    m[2] = (uint8_t)(m.size() >> 8);
    m[3] = (uint8_t)m.size();
    m[4] = (uint8_t)(seq >> 8);
    m[5] = (uint8_t)seq;
    memcpy(&m[16], CONMON_VENDOR_STANDARD, 8);
    if (!body.empty())
        memcpy(&m[24], body.data(), body.size());
    return m;
}

bytes channel_event(uint16_t opcode, uint16_t type, uint16_t class_, const bytes &inner)
{
    size_t at = opcode == CONMON_LOCAL_NAMED_CHANNEL_MESSAGE ? 48 : 16;
    bytes b = message(0x1503, opcode, CONMON_KIND_EVENT, at + inner.size());
    put16(b, 10, type);
    put16(b, 12, class_);
    if (opcode == CONMON_LOCAL_NAMED_CHANNEL_MESSAGE)
        put_text(b, 16, "T001-KTV4");
    memcpy(&b[at], inner.data(), inner.size());
    return b;
}

bytes subscription_list(uint16_t opcode, uint16_t kind, unsigned count)
{
    bytes b = message(0x1503, opcode, kind, 16 + 72 * count);
    put16(b, 10, (uint16_t)count);
    put16(b, 12, 1);
    for (unsigned i = 0; i < count; ++i) {
        size_t at = 16 + 72 * i;
        b[at] = 1;
        put16(b, at + 2, (uint16_t)i);
        put_text(b, at + 4, "dev" + std::to_string(i));
        b[at + 36] = (uint8_t)i;
        put16(b, at + 46, 17);
        put16(b, at + 48, 6);
    }
    return b;
}

TEST(ConmonLocalBuild, ConnectBothForms)
{
    uint8_t buf[CONMON_LOCAL_BUFFER_SIZE];
    size_t len = 0;
    ASSERT_EQ(conmon_local_build_connect(buf, sizeof buf, 0x1503, 1, "wfa_conmon_client", false, &len), 0);
    bytes expect = {0x03, 0x15, 0x2C, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00};
    put_text(expect, 10, "wfa_conmon_client");
    expect.resize(44, 0);
    EXPECT_EQ(bytes(buf, buf + len), expect);

    ASSERT_EQ(conmon_local_build_connect(buf, sizeof buf, 0x1503, 2, "x", true, &len), 0);
    EXPECT_EQ(len, 44u);
    EXPECT_EQ(buf[42], 10);

    ASSERT_EQ(conmon_local_build_connect(buf, sizeof buf, 0x1300, 0x0203, "wfa_conmon_client", false, &len), 0);
    bytes old = {0x00, 0x13, 0x1C, 0x00, 0x03, 0x02, 0x00, 0x01, 0x00, 0x00};
    put_text(old, 10, "wfa_conmon_client");
    old.push_back(0);
    EXPECT_EQ(bytes(buf, buf + len), old);
    EXPECT_EQ(conmon_local_build_connect(buf, 43, 0x1503, 1, "a", false, &len), QNB_ERR_MSGSIZE);
}

TEST(ConmonLocalBuild, RegisterAndSubscribe)
{
    uint8_t buf[64];
    size_t len = 0;
    ASSERT_EQ(conmon_local_build_register(buf, sizeof buf, 0x1503, 7, CONMON_LOCAL_REGISTER, 2, 1, 0, &len), 0);
    EXPECT_EQ(bytes(buf, buf + len),
              (bytes{0x03, 0x15, 0x10, 0x00, 0x07, 0x00, 0x00, 0x03, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00}));
    ASSERT_EQ(conmon_local_build_register(buf, sizeof buf, 0x1000, 8, CONMON_LOCAL_DEREGISTER, 1, 0, 4444, &len), 0);
    EXPECT_EQ(bytes(buf, buf + len),
              (bytes{0x00, 0x10, 0x0E, 0x00, 0x08, 0x00, 0x01, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}));

    ASSERT_EQ(conmon_local_build_subscribe(buf, sizeof buf, 0x1503, 3, CONMON_LOCAL_SUBSCRIBE, 6, 0, "T001-KTV4", &len),
              0);
    bytes sub = {0x03, 0x15, 0x22, 0x00, 0x03, 0x00, 0x10, 0x03, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00};
    put_text(sub, 14, "T001-KTV4");
    sub.resize(34, 0);
    EXPECT_EQ(bytes(buf, buf + len), sub);

    ASSERT_EQ(conmon_local_build_subscribe(buf, sizeof buf, 0x1503, 4, CONMON_LOCAL_UNSUBSCRIBE, 2, 0, nullptr, &len),
              0);
    bytes global = {0x03, 0x15, 0x19, 0x00, 0x04, 0x00, 0x11, 0x03, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
    global.resize(25, 0);
    EXPECT_EQ(bytes(buf, buf + len), global);

    ASSERT_EQ(conmon_local_build_subscribe(buf, sizeof buf, 0x1000, 5, CONMON_LOCAL_SUBSCRIBE, 2, 9, "ab", &len), 0);
    EXPECT_EQ(len, 25u); // 23 + name, the name at 12
    EXPECT_EQ(buf[12], 'a');
    EXPECT_EQ(conmon_local_build_subscribe(buf, sizeof buf, 0x1503, 5, CONMON_LOCAL_SUBSCRIBE, 6, 0,
                                           "0123456789012345678901234567890X", &len),
              QNB_ERR_INVALIDPARAMETER);
}

TEST(ConmonLocalBuild, SendMessageCarriesTheChannelMessage)
{
    const uint8_t body[8] = {0x07, 0x26, 0x00, 0x61, 0x00, 0x0F, 0x42, 0x40};
    uint8_t inner[CONMON_CHANNEL_PACKET_SIZE];
    size_t inner_len = 0;
    ASSERT_EQ(conmon_message_build(inner, sizeof inner, 0xFFFF, CONMON_VENDOR_STANDARD, body, sizeof body, &inner_len),
              0);
    bytes head = {0xFF, 0xFF, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put_text(head, 16, "Quenbary");
    head.insert(head.end(), body, body + 8);
    EXPECT_EQ(bytes(inner, inner + inner_len), head);

    uint8_t buf[CONMON_LOCAL_BUFFER_SIZE];
    size_t len = 0;
    ASSERT_EQ(
        conmon_local_build_send_message(buf, sizeof buf, 0x1503, 0x0102, 0, nullptr, "T001", inner, inner_len, &len),
        0);
    bytes expect = {0x03, 0x15, 0x54, 0x00, 0x02, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
    expect.resize(20, 0);
    put_text(expect, 20, "T001");
    expect.resize(52, 0);
    expect.insert(expect.end(), head.begin(), head.end());
    EXPECT_EQ(bytes(buf, buf + len), expect);
    EXPECT_EQ(conmon_local_validate(buf, len, 0x1503), 0u);

    ASSERT_EQ(conmon_local_build_send_message(buf, sizeof buf, 0x1503, 9, 2, nullptr, nullptr, inner, inner_len, &len),
              0);
    EXPECT_EQ(len, 36u + 8u);
    EXPECT_EQ(buf[12], 0xFF);
    EXPECT_EQ(conmon_message_build(inner, sizeof inner, 1, CONMON_VENDOR_STANDARD, buf, 1449, &inner_len),
              QNB_ERR_INVALIDPARAMETER);
}

TEST(ConmonLocalValidate, Rows)
{
    struct row {
        const char *what;
        bytes m;
        uint16_t version;
        unsigned expect;
    };
    bytes wrong_length = message(0x1503, CONMON_LOCAL_KEEPALIVE, 1, 10);
    put16(wrong_length, 2, 12);
    bytes inner_short = channel_event(CONMON_LOCAL_CHANNEL_MESSAGE, 2, 1, channel_message(0x11, bytes(16, 0)));
    put16(inner_short, 2, (uint16_t)(inner_short.size() - 1));
    inner_short.pop_back();
    bytes inner_tiny = channel_event(CONMON_LOCAL_CHANNEL_MESSAGE, 2, 1, channel_message(0x11, bytes(16, 0)));
    inner_tiny[19] = 20; // own length 20 < 24
    bytes sub_short = subscription_list(CONMON_LOCAL_SUBSCRIBE, CONMON_KIND_RESPONSE, 2);
    put16(sub_short, 10, 3);
    bytes legacy = message(0x1503, CONMON_LOCAL_LEGACY_METERING_ADDRESSES, 2, 20 + 8 * (1 + 2 * 2));
    put16(legacy, 14, 2);
    put16(legacy, 16, 1);
    bytes legacy_bad = legacy;
    put16(legacy_bad, 16, 2);
    bytes old_connect = message(0x1100, CONMON_LOCAL_CONNECT, 1, 56 + 88);
    put16(old_connect, 54, 1);
    bytes old_connect_bad = old_connect;
    put16(old_connect_bad, 54, 2);
    bytes connect_request = message(0x1503, CONMON_LOCAL_CONNECT, 0, 44);
    memset(&connect_request[10], 'a', 32);

    const row rows[] = {
        {"9 bytes", bytes(9, 0), 0x1503, 4},
        {"version 0x0FFF", message(0x0FFF, 0, 0, 10), 0x1503, 3},
        {"version 0x2000", message(0x2000, 0, 0, 10), 0x1503, 3},
        {"head length differs", wrong_length, 0x1503, 4},
        {"keepalive", message(0x1503, 0, 1, 10), 0x1503, 0},
        {"error kinds pass", message(0x1503, 0x0777, 7, 10), 0x1503, 0},
        {"unknown opcode", message(0x1503, 0x0777, 1, 10), 0x1503, 9},
        {"networks changed as request", message(0x1503, CONMON_LOCAL_NETWORKS_CHANGED, 0, 16), 0x1503, 6},
        {"networks changed event", message(0x1503, CONMON_LOCAL_NETWORKS_CHANGED, 2, 16), 0x1503, 0},
        {"channel message as request",
         channel_event(CONMON_LOCAL_CHANNEL_MESSAGE, 2, 1, channel_message(1, bytes(8, 0))), 0x1503, 6},
        {"register as event", message(0x1503, CONMON_LOCAL_REGISTER, 2, 16), 0x1503, 6},
        {"register response", message(0x1503, CONMON_LOCAL_REGISTER, 1, 10), 0x1503, 0},
        {"register class 2",
         [] {
             bytes b = message(0x1503, CONMON_LOCAL_REGISTER, 0, 16);
             put16(b, 12, 2);
             return b;
         }(),
         0x1503, 7},
        {"connect response 0x1503 two records", connect_response(2), 0x1503, 0},
        {"connect response short", message(0x1503, CONMON_LOCAL_CONNECT, 1, 300), 0x1503, 4},
        {"connect as event", connect_response(0), 0x1503, 6},
        {"old connect response", old_connect, 0x1100, 0},
        {"old connect response count", old_connect_bad, 0x1100, 7},
        {"connect request without terminator", connect_request, 0x1503, 7},
        {"inner message past the end", inner_short, 0x1503, 4},
        {"inner message below a head", inner_tiny, 0x1503, 7},
        {"subscribe response short", sub_short, 0x1503, 4},
        {"subscribe response", subscription_list(CONMON_LOCAL_SUBSCRIBE, 1, 2), 0x1503, 0},
        {"subscriptions changed as response", subscription_list(CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, 1, 1), 0x1503, 6},
        {"legacy metering", legacy, 0x1503, 0},
        {"legacy metering count", legacy_bad, 0x1503, 7},
        {"dns domain short", message(0x1503, CONMON_LOCAL_DNS_DOMAIN_NAME_CHANGED, 2, 265), 0x1503, 4},
    };
    for (const row &r : rows) {
        bytes m = r.m;
        if (std::string(r.what) == "channel message as request")
            put16(m, 8, 0);
        if (std::string(r.what) == "connect as event")
            put16(m, 8, 2);
        EXPECT_EQ(conmon_local_validate(m.data(), m.size(), r.version), r.expect) << r.what;
    }
}

TEST(ConmonLocalRead, ConnectResponseKeepsTwoNetworks)
{
    bytes m = connect_response(3);
    conmon_connection_data d;
    ASSERT_EQ(conmon_local_read_connect_response(m.data(), m.size(), 0x1503, &d), 0);
    EXPECT_STREQ(d.device_name, "PC-SERVER");
    EXPECT_STREQ(d.dns_domain_name, "local.");
    EXPECT_EQ(d.process, 77);
    EXPECT_EQ(d.server_flags, 1);
    ASSERT_EQ(d.networks.count, 2);
    EXPECT_EQ(d.networks.entries[0].interface_index, 10u);
    EXPECT_EQ(d.networks.entries[1].interface_index, 11u);
    EXPECT_EQ(d.networks.entries[1].address[1], 0x0100007Fu + (1u << 24));

    // The older form: 88-byte records with the index at 64 and the address at 80.
    bytes old = message(0x1100, CONMON_LOCAL_CONNECT, 1, 56 + 88);
    put_text(old, 12, "OLD");
    put16(old, 54, 1);
    put32(old, 56 + 64, 4);
    put32(old, 56 + 68, 0xAABBCCDD);
    put16(old, 56 + 74, 0x1234);
    put32(old, 56 + 80, 0x0100007F);
    ASSERT_EQ(conmon_local_read_connect_response(old.data(), old.size(), 0x1100, &d), 0);
    ASSERT_EQ(d.networks.count, 1);
    EXPECT_EQ(d.networks.entries[0].interface_index, 4u);
    EXPECT_EQ(d.networks.entries[0].value_b, 0x1234);
    EXPECT_EQ(d.networks.entries[0].value_c, 0xAABBCCDDu);
    EXPECT_EQ(d.networks.entries[0].address[1], 0x0100007Fu);
}

TEST(ConmonLocalRead, ChannelEventsAndSubscriptions)
{
    bytes named = channel_event(CONMON_LOCAL_NAMED_CHANNEL_MESSAGE, 2, 1, channel_message(0x11, bytes(12, 7)));
    conmon_local_channel_event ev;
    ASSERT_EQ(conmon_local_read_channel_event(named.data(), named.size(), &ev), 0);
    EXPECT_TRUE(ev.named);
    EXPECT_STREQ(ev.sender_name, "T001-KTV4");
    EXPECT_EQ(ev.message_length, 36u);
    EXPECT_EQ(ev.message, named.data() + 48);

    bytes list = subscription_list(CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, 2, 2);
    uint16_t count = 0;
    bool subs = false;
    ASSERT_EQ(conmon_local_read_subscription_list(list.data(), list.size(), 0x1503, &count, &subs), 0);
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(subs);
    conmon_subscription_record r;
    ASSERT_EQ(conmon_local_read_subscription_record(list.data(), list.size(), 0x1503, 1, &r), 0);
    EXPECT_STREQ(r.name, "dev1");
    EXPECT_EQ(r.status, 17);
    EXPECT_EQ(r.channel_type, 6);
    EXPECT_EQ(r.device_id[0], 1);
    EXPECT_EQ(conmon_local_read_subscription_record(list.data(), list.size(), 0x1503, 2, &r), QNB_ERR_INVALIDDATA);

    // The older 48-byte form has no channel type: it counts as 6.
    bytes old = message(0x1000, CONMON_LOCAL_SUBSCRIBE, 1, 12 + 48);
    put16(old, 10, 1);
    put_text(old, 12 + 4, "oldname");
    ASSERT_EQ(conmon_local_read_subscription_record(old.data(), old.size(), 0x1000, 0, &r), 0);
    EXPECT_STREQ(r.name, "oldname");
    EXPECT_EQ(r.channel_type, 6);
}

// Every reader given every prefix and random corruptions of valid messages: nothing is read past
// the bytes given (ASan), and no prefix passes validation.
TEST(ConmonLocalRead, HostileInput)
{
    std::vector<std::pair<bytes, uint16_t>> samples = {
        {connect_response(3), 0x1503},
        {[] {
             bytes b = message(0x1100, CONMON_LOCAL_CONNECT, 1, 56 + 88 * 2);
             put16(b, 54, 2);
             return b;
         }(),
         0x1100},
        {[] {
             bytes b = message(0x1503, CONMON_LOCAL_NETWORKS_CHANGED, 2, 16 + 36 * 2);
             put16(b, 10, 2);
             put16(b, 12, 36);
             put16(b, 14, 16);
             return b;
         }(),
         0x1503},
        {[] {
             bytes b = message(0x1100, CONMON_LOCAL_NETWORKS_CHANGED, 2, 12 + 88);
             put16(b, 10, 1);
             return b;
         }(),
         0x1100},
        {channel_event(CONMON_LOCAL_CHANNEL_MESSAGE, 2, 1, channel_message(0x60, bytes(64, 1))), 0x1503},
        {channel_event(CONMON_LOCAL_NAMED_CHANNEL_MESSAGE, 2, 1, channel_message(0x60, bytes(64, 1))), 0x1503},
        {subscription_list(CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, 2, 3), 0x1503},
        {subscription_list(CONMON_LOCAL_SUBSCRIBE, 1, 2), 0x1000},
        {message(0x1503, CONMON_LOCAL_DEVICE_NAME_CHANGED, 2, 42), 0x1503},
        {message(0x1503, CONMON_LOCAL_DNS_DOMAIN_NAME_CHANGED, 2, 266), 0x1503},
    };
    std::mt19937 rng(1234);
    auto exercise = [](const bytes &m, size_t n, uint16_t version) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
        if (n)
            memcpy(exact.get(), m.data(), n);
        const uint8_t *p = exact.get();
        unsigned fault = conmon_local_validate(p, n, version);
        conmon_connection_data d;
        conmon_networks nw;
        conmon_local_channel_event ev;
        char name[CONMON_NAME_SIZE];
        char dns[CONMON_DNS_NAME_SIZE];
        conmon_local_read_connect_response(p, n, version, &d);
        conmon_local_read_networks_changed(p, n, version, &nw);
        if (conmon_local_read_channel_event(p, n, &ev) == 0) {
            EXPECT_GE(ev.message, p);
            EXPECT_LE(ev.message + ev.message_length, p + n);
        }
        conmon_local_read_device_name(p, n, name);
        conmon_local_read_dns_domain_name(p, n, dns);
        uint16_t count = 0;
        bool subs = false;
        if (conmon_local_read_subscription_list(p, n, version, &count, &subs) == 0) {
            conmon_subscription_record r;
            for (unsigned i = 0; i <= count; ++i)
                conmon_local_read_subscription_record(p, n, version, i, &r);
        }
        EXPECT_LE(d.networks.count, 2);
        EXPECT_LE(nw.count, 2);
        return fault;
    };
    for (const auto &s : samples) {
        EXPECT_EQ(exercise(s.first, s.first.size(), s.second), 0u);
        for (size_t n = 0; n < s.first.size(); ++n)
            EXPECT_NE(exercise(s.first, n, s.second), 0u) << "prefix " << n;
        for (int round = 0; round < 300; ++round) {
            bytes m = s.first;
            for (int k = 0; k < 4; ++k)
                m[rng() % m.size()] = (uint8_t)rng();
            exercise(m, m.size(), s.second);
        }
    }
}

TEST(ConmonChannelMessage, ViewIsBoundedByItsOwnLength)
{
    bytes m = channel_message(0x60, bytes(40, 3), 0x1234);
    conmon_channel_message v;
    ASSERT_EQ(conmon_channel_message_view(m.data(), m.size(), true, &v), 0);
    EXPECT_EQ(v.head.sequence, 0x1234);
    EXPECT_EQ(v.body_length, 40u);
    EXPECT_EQ(memcmp(v.head.vendor_id, CONMON_VENDOR_STANDARD, 8), 0);
    for (size_t n = 0; n < m.size(); ++n) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[n ? n : 1]);
        memcpy(exact.get(), m.data(), n);
        EXPECT_NE(conmon_channel_message_view(exact.get(), n, false, &v), 0) << n;
    }
    m.push_back(0); // one byte more than the head says
    EXPECT_EQ(conmon_channel_message_view(m.data(), m.size(), true, &v), QNB_ERR_INVALIDDATA);
    EXPECT_EQ(conmon_channel_message_view(m.data(), m.size(), false, &v), 0);
    m[2] = 0;
    m[3] = 23; // a length below the head
    EXPECT_EQ(conmon_channel_message_view(m.data(), m.size(), false, &v), QNB_ERR_INVALIDDATA);
}

TEST(ConmonLocalTables, FlaggedStatusIsASystemError)
{
    EXPECT_EQ(conmon_local_kind_error(0x0004), QNB_ERR_INVALIDDATA);
    EXPECT_EQ(conmon_local_kind_error(0x1001), QNB_ERR_SYSTEM);
    EXPECT_STREQ(conmon_local_kind_name(0x3004), "Invalid size");
}

} // namespace
