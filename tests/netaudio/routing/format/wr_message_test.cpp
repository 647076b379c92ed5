// Routing message format: requests against hand-computed bytes, the readers against well-formed,
// truncated and hostile replies (buffers sized exactly, so the sanitizers see any byte read past
// what arrived), capability version gates and the range clamp rule.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "netaudio/routing/wr_message.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes packet_of(const wgcp_builder &b)
{
    uint16_t length = wgcp_header_get_length(b.packet);
    return bytes(b.packet, b.packet + length);
}

bytes header(uint16_t version, uint16_t length, uint16_t opcode)
{
    return {uint8_t(version >> 8), uint8_t(version), uint8_t(length >> 8), uint8_t(length), 0, 0,
            uint8_t(opcode >> 8), uint8_t(opcode), 0, 0};
}

bytes cat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A reply under construction; the length field follows the size.
struct wire {
    bytes b;
    wire(uint16_t version, uint16_t opcode, uint16_t result) : b(10, 0)
    {
        put16(0, version);
        put16(4, 0x0042);
        put16(6, opcode);
        put16(8, result);
    }
    void fix() { b[2] = uint8_t(b.size() >> 8), b[3] = uint8_t(b.size()); }
    void grow(size_t n)
    {
        if (b.size() < n)
            b.resize(n, 0);
        fix();
    }
    void put8(size_t at, uint8_t v) { grow(at + 1), b[at] = v; }
    void put16(size_t at, uint16_t v) { grow(at + 2), b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v); }
    void put32(size_t at, uint32_t v) { put16(at, uint16_t(v >> 16)), put16(at + 2, uint16_t(v)); }
    void list(uint8_t count, size_t stride) { put8(10, count), put8(11, count), grow(12 + count * stride); }
    uint16_t align(size_t a)
    {
        grow((b.size() + a - 1) / a * a);
        return uint16_t(b.size());
    }
    uint16_t str(const std::string &s)
    {
        uint16_t at = uint16_t(b.size());
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
        fix();
        return at;
    }
    uint16_t words(const std::vector<uint16_t> &v, size_t alignment)
    {
        uint16_t at = align(alignment);
        for (size_t i = 0; i < v.size(); ++i)
            put16(at + 2 * i, v[i]);
        return at;
    }
};

// The bytes in a heap block of exactly their size.
struct exact {
    std::unique_ptr<uint8_t[]> p;
    size_t n;
    explicit exact(const bytes &b) : p(new uint8_t[b.empty() ? 1 : b.size()]), n(b.size())
    {
        if (n)
            memcpy(p.get(), b.data(), n);
    }
};

wgcp_builder fresh_builder()
{
    wgcp_builder b;
    memset(&b, 0xEE, sizeof b); // stale bytes of an earlier request
    b.limit = 0;
    return b;
}

// ---------------------------------------------------------------------------------------------
// Requests

TEST(WrMessageRequest, PropertiesQueryBytes)
{
    wgcp_builder b = fresh_builder();
    ASSERT_EQ(wr_msg_build_properties_query(&b, wr_msg_protocol_version(0x2729)), 0);
    bytes expect = cat(header(0x2729, 42, 0x1100),
                       {15, 15, 0x02, 0x01, 0x82, 0x04, 0x82, 0x05, 0x02, 0x10, 0x02, 0x11, 0x83, 0x01, 0x83, 0x02,
                        0x83, 0x06, 0x03, 0x10, 0x03, 0x11, 0x03, 0x03, 0x80, 0x21, 0x00, 0xF0, 0x80, 0x60, 0x00,
                        0x22});
    EXPECT_EQ(packet_of(b), expect);
}

TEST(WrMessageRequest, IdListsFoldedBytes)
{
    struct {
        std::vector<uint16_t> ids;
        bytes entries; // count, then the ranges
    } cases[] = {
        {{1, 2, 3, 7}, {2, 2, 0, 1, 0, 3, 0, 0, 0, 7}},
        {{3}, {1, 1, 0, 0, 0, 3}},
        {{4, 5}, {1, 1, 0, 4, 0, 5}},
        {{3, 2, 1}, {3, 3, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1}},
        {{0, 9, 0}, {1, 1, 0, 0, 0, 9}},
        {{}, {0, 0}},
    };
    for (auto &c : cases) {
        wgcp_builder b = fresh_builder();
        size_t written = 99;
        ASSERT_EQ(wr_msg_build_id_list(&b, 0x2729, WR_OP_RX_UNSUBSCRIBE, c.ids.data(), c.ids.size(), &written), 0);
        bytes expect = cat(header(0x2729, uint16_t(10 + c.entries.size()), 0x3014), c.entries);
        EXPECT_EQ(packet_of(b), expect) << c.ids.size();
        EXPECT_EQ(written, c.ids.size());
    }

    // A whole device cleared: one range {1, 64}.
    std::vector<uint16_t> all;
    for (uint16_t i = 1; i <= 64; ++i)
        all.push_back(i);
    wgcp_builder b = fresh_builder();
    ASSERT_EQ(wr_msg_build_id_list(&b, 0x2600, WR_OP_RX_UNSUBSCRIBE, all.data(), all.size(), nullptr), 0);
    EXPECT_EQ(packet_of(b), cat(header(0x2600, 16, 0x3014), {1, 1, 0, 1, 0, 64}));
}

TEST(WrMessageRequest, IdListCutAtTheLimitSaysHowManyWent)
{
    // Every other id: one range each. A limit of 12 + 3 x 4 bytes carries three.
    std::vector<uint16_t> ids = {1, 3, 4, 5, 7, 9, 11};
    wgcp_builder b = fresh_builder();
    b.limit = 24;
    size_t written = 0;
    ASSERT_EQ(wr_msg_build_id_list(&b, 0x2729, WR_OP_RX_UNSUBSCRIBE, ids.data(), ids.size(), &written), 0);
    EXPECT_EQ(packet_of(b), cat(header(0x2729, 24, 0x3014), {3, 3, 0, 0, 0, 1, 0, 3, 0, 5, 0, 0, 0, 7}));
    EXPECT_EQ(written, 5u); // 1, 3-5, 7
    EXPECT_EQ(wr_msg_fold_ids(ids.data(), ids.size(), nullptr, 0, nullptr), 5u);
}

TEST(WrMessageRequest, SubscribeWithReservedAreaAndSharedNames)
{
    wgcp_builder b = fresh_builder();
    wr_msg_list l;
    ASSERT_EQ(wr_msg_subscribe_begin(&l, &b, 0x2729, 3), 0);
    ASSERT_EQ(wr_msg_subscribe_add(&l, 1, "01", "T001-KTV4-S"), 0);
    ASSERT_EQ(wr_msg_subscribe_add(&l, 2, "02", "T001-KTV4-S"), 0);
    ASSERT_EQ(wr_msg_subscribe_add(&l, 5, nullptr, ""), 0); // clear record
    EXPECT_EQ(wr_msg_subscribe_add(&l, 6, "03", "x"), QNB_ERR_NOBUFS);
    EXPECT_EQ(wr_msg_subscribe_add(&l, 6, "03", nullptr), QNB_ERR_INVALIDPARAMETER); // half a record

    // Head 12, records at stride 6 from 12, 3 x 20 reserved up to 72, then the names.
    bytes expect = header(0x2729, 0, 0x3010);
    expect.resize(72, 0);
    expect[10] = 3, expect[11] = 3;
    const uint8_t records[] = {0, 1, 0, 72, 0, 75, 0, 2, 0, 87, 0, 75, 0, 5, 0, 0, 0, 0};
    memcpy(expect.data() + 12, records, sizeof records);
    for (const char *s : {"01", "T001-KTV4-S", "02"})
        expect.insert(expect.end(), s, s + strlen(s) + 1);
    expect[3] = uint8_t(expect.size());
    EXPECT_EQ(packet_of(b), expect);

    // A device reads the records back.
    exact e(packet_of(b));
    wr_msg_response m;
    wr_msg_entries list;
    ASSERT_EQ(wr_msg_response_init(&m, e.p.get(), e.n), 0);
    ASSERT_EQ(wr_msg_read_list(&m, WR_SUBSCRIBE_RECORD_SIZE, &list), 0);
    wr_msg_subscribe_record r;
    ASSERT_EQ(wr_msg_read_subscribe_record(&m, &list, 1, &r), 0);
    EXPECT_EQ(r.rx_id, 2);
    EXPECT_STREQ(r.tx_channel, "02");
    EXPECT_STREQ(r.tx_device, "T001-KTV4-S");
    ASSERT_EQ(wr_msg_read_subscribe_record(&m, &list, 2, &r), 0);
    EXPECT_STREQ(r.tx_channel, "");
}

TEST(WrMessageRequest, ItemsThatDoNotFitAreNotAdded)
{
    wgcp_builder b = fresh_builder();
    b.limit = 12 + 2 * 20 + 10;
    wr_msg_list l;
    ASSERT_EQ(wr_msg_subscribe_begin(&l, &b, 0x2729, 2), 0);
    ASSERT_EQ(wr_msg_subscribe_add(&l, 1, "01", "dev"), 0); // 3 + 4 bytes of names
    bytes before = packet_of(b);
    EXPECT_EQ(wr_msg_subscribe_add(&l, 2, "02", "other"), QNB_ERR_MSGSIZE);
    EXPECT_EQ(packet_of(b), before); // count, capacity and length unchanged
    EXPECT_EQ(wr_msg_subscribe_add(&l, 3, "01", "dev"), 0); // shared names need no room

    wgcp_builder small = fresh_builder();
    small.limit = 40;
    EXPECT_EQ(wr_msg_subscribe_begin(&l, &small, 0x2729, 2), QNB_ERR_MSGSIZE);
}

TEST(WrMessageRequest, VersionHeaderTowardsOlderAndNewerDevices)
{
    struct {
        uint16_t arcp, sent;
    } cases[] = {{0x2800, 0x2729}, {0xFFFF, 0x2729}, {0x2729, 0x2729}, {0x2600, 0x2600}, {0x0000, 0x0000}};
    for (auto &c : cases) {
        wgcp_builder b = fresh_builder();
        ASSERT_EQ(wr_msg_build_range_query(&b, wr_msg_protocol_version(c.arcp), WR_OP_RX_CHANNELS, 17), 0);
        EXPECT_EQ(packet_of(b), cat(header(c.sent, 16, 0x3000), {1, 1, 0, 17, 0, 0})) << std::hex << c.arcp;
    }
    wgcp_builder b = fresh_builder();
    ASSERT_EQ(wr_msg_build_empty(&b, wr_msg_protocol_version(0x2800), WR_OP_PERFORMANCE), 0);
    EXPECT_EQ(packet_of(b), header(0x2729, 10, 0x3300));
}

TEST(WrMessageRequest, UnicastPerformanceRoomForFiveAndAlignedValues)
{
    wgcp_builder b = fresh_builder();
    wr_msg_list l;
    ASSERT_EQ(wr_msg_unicast_performance_begin(&l, &b, 0x2729), 0);
    ASSERT_EQ(wr_msg_property_add_u32(&l, 0x8205, 1000000), 0);
    ASSERT_EQ(wr_msg_property_add_u16(&l, 0x0211, 16), 0);
    // Capacity byte 5, count 2, entries area 12..31, the u32 at 32.
    bytes expect = cat(header(0x2729, 36, 0x1101), {5, 2, 0x82, 0x05, 0, 32, 0x02, 0x11, 0, 16});
    expect.resize(32, 0);
    expect.insert(expect.end(), {0x00, 0x0F, 0x42, 0x40});
    EXPECT_EQ(packet_of(b), expect);
}

TEST(WrMessageRequest, LabelAndRenameRecords)
{
    wgcp_builder b = fresh_builder();
    wr_msg_list l;
    ASSERT_EQ(wr_msg_label_begin(&l, &b, 0x2729, 1), 0);
    ASSERT_EQ(wr_msg_label_add(&l, 0, 3, "Vox"), 0);
    EXPECT_EQ(packet_of(b), cat(header(0x2729, 22, 0x2011), {1, 1, 0, 0, 0, 3, 0, 18, 'V', 'o', 'x', 0}));

    ASSERT_EQ(wr_msg_rx_rename_begin(&l, &b, 0x2729, 1), 0);
    ASSERT_EQ(wr_msg_rx_rename_add(&l, 4, nullptr), 0); // default name: offset 0
    EXPECT_EQ(packet_of(b), cat(header(0x2729, 16, 0x3001), {1, 1, 0, 4, 0, 0}));
}

// ---------------------------------------------------------------------------------------------
// Results, versions, clamp rule, property table

TEST(WrMessageResult, ResultMap)
{
    struct {
        uint16_t result;
        qnb_error error;
    } cases[] = {
        {0x0001, 0},
        {0x8001, 0},
        {0x8112, 0},
        {0x8000, 0},
        {0x0003, QNB_ERR_FAULT}, // an error code in the low nibble is no success
        {0x000F, QNB_ERR_FAULT},
        {0x0010, QNB_ERR_VERSION},
        {0x0025, QNB_ERR_MSGSIZE},
        {0x0031, QNB_ERR_NOTSUPPORTED},
        {0x00F0, QNB_ERR_INVALIDSTATE},
        {0x0103, QNB_ERR_INVALIDDATA},
        {0x0110, QNB_ERR_MSGSIZE},
        {0x0601, QNB_ERR_POLICY},
        {0x0200, QNB_ERR_FAULT},
    };
    for (auto &c : cases)
        EXPECT_EQ(wr_msg_result_to_error(c.result), c.error) << std::hex << c.result;
    EXPECT_TRUE(wr_msg_result_is_reply(0x8103));
    EXPECT_FALSE(wr_msg_result_is_reply(0x0103));
    EXPECT_TRUE(wr_msg_result_has_more(0x8112));
    EXPECT_TRUE(wr_msg_result_is_unsupported(0x003F));
}

TEST(WrMessageVersion, Packing)
{
    EXPECT_EQ(wr_msg_arcp_version_pack(2, 7, 41), 0x2729);
    EXPECT_EQ(wr_msg_arcp_version_pack(2, 8, 0), 0x2800);
    EXPECT_EQ(wr_msg_arcp_version_pack(2, 16, 0), 0x2F00); // minor saturates, never wraps to 2.0
    EXPECT_EQ(wr_msg_arcp_version_pack(16, 0, 0), 0xF000);
    EXPECT_EQ(wr_msg_arcp_version_pack(2, 7, 300), 0x27FF);
    EXPECT_LT(wr_msg_router_version_pack(2, 255, 65535), wr_msg_router_version_pack(3, 0, 0));
    EXPECT_EQ(wr_msg_router_version_from_record(0x03010200), wr_msg_router_version_pack(3, 1, 2));
}

TEST(WrMessageRange, ClampRule)
{
    struct {
        uint16_t first, last;
        bool any;
        uint16_t a, b;
    } cases[] = {
        {0, 7, true, 7, 7},   {0, 8, true, 8, 8},   {0, 9, false, 0, 0}, {0, 0, false, 0, 0},
        {1, 0, true, 1, 8},   {3, 5, true, 3, 5},   {3, 99, true, 3, 8}, {5, 3, false, 0, 0},
        {9, 0, false, 0, 0},  {8, 8, true, 8, 8},
    };
    for (auto &c : cases) {
        uint16_t a = 0, b = 0;
        EXPECT_EQ(wr_msg_range_clamp({c.first, c.last}, 8, &a, &b), c.any) << c.first << "," << c.last;
        if (c.any) {
            EXPECT_EQ(a, c.a);
            EXPECT_EQ(b, c.b);
        }
    }
    EXPECT_FALSE(wr_msg_range_clamp({1, 0}, 0, nullptr, nullptr)); // a device without channels
}

TEST(WrMessageProperty, TableBitsAndKinds)
{
    unsigned seen = 0;
    for (uint16_t id : wr_msg_property_ids)
        seen |= 1u << wr_msg_property_bit(id);
    seen |= 1u << wr_msg_property_bit(0x8304);
    EXPECT_EQ(seen, 0xFFFFu); // 16 distinct bits
    EXPECT_EQ(wr_msg_property_bit(0x1234), -1);
    EXPECT_EQ(wr_msg_property_kind(0x8021), WR_PROPERTY_STRING);
    EXPECT_EQ(wr_msg_property_kind(0x8205), WR_PROPERTY_U32);
    EXPECT_EQ(wr_msg_property_kind(0x0211), WR_PROPERTY_U16);
}

// ---------------------------------------------------------------------------------------------
// Replies

wire capabilities_reply(uint16_t version)
{
    wire w(version, WR_OP_CAPABILITIES, 0x0001);
    uint16_t fields[] = {0x0100, 64, 32, 0, 8, 4, 12, 20, 40, 0, 2};
    for (size_t i = 0; i < sizeof fields / 2; ++i)
        w.put16(10 + 2 * i, fields[i]);
    w.put32(32, 0x00030002);
    w.put16(36, 1);
    w.put16(38, 0x11);
    return w;
}

TEST(WrMessageCapabilities, VersionGates)
{
    struct {
        uint16_t version;
        uint16_t rx_flow_max, interfaces;
        uint32_t flag_word;
        uint16_t mask;
        uint32_t flags;
    } cases[] = {
        {0x2500, 0, 0, 0, 0, 0},
        {0x25FF, 0, 0, 0, 0, 0},
        {0x2600, 20, 2, 0, 0, 0},
        {0x2702, 20, 2, 0, 0, 0},
        {0x2703, 20, 2, 0x00030002, 0, WR_CAPABILITY_FLAG0 | WR_CAPABILITY_FLAG1 | WR_CAPABILITY_FLAG2},
        {0x2711, 20, 2, 0x00030002, 0x11, 7},
    };
    for (auto &c : cases) {
        exact e(capabilities_reply(c.version).b);
        wr_msg_response m;
        wr_msg_capabilities caps;
        ASSERT_EQ(wr_msg_response_init(&m, e.p.get(), e.n), 0);
        ASSERT_EQ(wr_msg_read_capabilities(&m, &caps), 0) << std::hex << c.version;
        EXPECT_EQ(caps.word, 0x0100);
        EXPECT_EQ(caps.tx_channels, 64);
        EXPECT_EQ(caps.rx_flow_slots, 4);
        EXPECT_EQ(caps.rx_flow_max, c.rx_flow_max);
        EXPECT_EQ(caps.tx_label_slots, c.rx_flow_max ? 40 : 0);
        EXPECT_EQ(caps.interfaces, c.interfaces);
        EXPECT_EQ(caps.flag_word, c.flag_word);
        EXPECT_EQ(caps.array_mask, c.mask);
        EXPECT_EQ(caps.array_switch, c.mask ? 1 : 0);
        EXPECT_EQ(wr_msg_capability_flags(&caps, nullptr), c.flags);
    }

    // Gated fields whose bytes did not come are 0; the base fields must be there.
    wire shortw = capabilities_reply(0x2711);
    shortw.b.resize(34);
    shortw.fix();
    exact e(shortw.b);
    wr_msg_response m;
    wr_msg_capabilities caps;
    ASSERT_EQ(wr_msg_response_init(&m, e.p.get(), e.n), 0);
    ASSERT_EQ(wr_msg_read_capabilities(&m, &caps), 0);
    EXPECT_EQ(caps.interfaces, 2);
    EXPECT_EQ(caps.flag_word, 0u);
    EXPECT_EQ(wr_msg_capabilities_array_size(&caps), 40u);

    // Before 0x2703, a device without channels has capability flag 1.
    wire none(0x2600, WR_OP_CAPABILITIES, 1);
    none.grow(WR_CAPABILITIES_SIZE);
    exact en(none.b);
    ASSERT_EQ(wr_msg_response_init(&m, en.p.get(), en.n), 0);
    ASSERT_EQ(wr_msg_read_capabilities(&m, &caps), 0);
    EXPECT_EQ(wr_msg_capability_flags(&caps, nullptr), unsigned(WR_CAPABILITY_FLAG1));
}

wire tx_page()
{
    wire w(0x2729, WR_OP_TX_CHANNELS, 0x8112);
    w.list(2, WR_TX_ENTRY_SIZE);
    uint16_t fmt = w.words({0, 1, 0x0302, 48000, 44100, 32000, 0, 7, 8, 9}, 4); // A = 3, B = 2
    uint16_t n1 = w.str("01"), n2 = w.str("02");
    uint16_t entries[] = {1, 0x0106, fmt, n1, 2, 0x0000, 0, n2};
    for (size_t i = 0; i < 8; ++i)
        w.put16(12 + 2 * i, entries[i]);
    return w;
}

wire rx_page(uint16_t flags, const char *channel, const char *device, uint8_t value_length)
{
    wire w(0x2729, WR_OP_RX_CHANNELS, 0x0001);
    w.list(1, WR_RX_ENTRY_SIZE);
    uint16_t value = w.words({uint16_t(value_length << 8), 123}, 2);
    uint16_t name = w.str("In 1"), ch = w.str(channel), dev = w.str(device);
    uint16_t entry[] = {1, flags, 0, ch, dev, name, 0x0503, 0x0102, 0, value};
    for (size_t i = 0; i < 10; ++i)
        w.put16(12 + 2 * i, entry[i]);
    return w;
}

struct reply {
    exact e;
    wr_msg_response m;
    wr_msg_entries list;
    qnb_error init, list_error;
    reply(const bytes &b, uint16_t stride) : e(b)
    {
        init = wr_msg_response_init(&m, e.p.get(), e.n);
        list_error = wr_msg_read_list(&m, stride, &list);
    }
};

TEST(WrMessageChannels, TxEntriesWithFormat)
{
    reply r(tx_page().b, WR_TX_ENTRY_SIZE);
    ASSERT_EQ(r.init, 0);
    ASSERT_EQ(r.list_error, 0);
    ASSERT_EQ(r.list.count, 2);
    wr_msg_tx_entry t;
    ASSERT_EQ(wr_msg_read_tx_entry(&r.m, &r.list, 0, &t), 0);
    EXPECT_EQ(t.id, 1);
    EXPECT_EQ(t.status, 3);
    EXPECT_TRUE(t.value_valid);
    EXPECT_STREQ(t.name, "01");
    ASSERT_TRUE(t.format.present);
    EXPECT_EQ(t.format.word, 1u);
    EXPECT_EQ(t.format.a_count, 3);
    EXPECT_EQ(t.format.count, 2);
    EXPECT_EQ(t.format.values[0], 48000);
    EXPECT_EQ(t.format.values[1], 44100);
    EXPECT_EQ(t.format.extra[0], 7);
    EXPECT_EQ(t.format.extra[2], 9);
    ASSERT_EQ(wr_msg_read_tx_entry(&r.m, &r.list, 1, &t), 0);
    EXPECT_FALSE(t.format.present);
    EXPECT_FALSE(t.value_valid);
    EXPECT_EQ(wr_msg_read_tx_entry(&r.m, &r.list, 2, &t), QNB_ERR_INVALIDDATA);

    // A count B above A keeps the A values only.
    wire w = tx_page();
    w.put8(wgcp_load_be16(&w.b[16]) + 5, 9);
    reply more(w.b, WR_TX_ENTRY_SIZE);
    ASSERT_EQ(wr_msg_read_tx_entry(&more.m, &more.list, 0, &t), 0);
    EXPECT_EQ(t.format.count, 3);
    EXPECT_EQ(t.format.values[2], 32000);
}

TEST(WrMessageChannels, RxEntrySubscriptionModeAndValue)
{
    const uint16_t bit3 = 0x0008, bit8 = 0x0100, bit10 = 0x0400;
    struct {
        uint16_t flags;
        const char *channel, *device;
        uint8_t value_length;
        bool kept;
        uint16_t value;
        uint8_t mode;
    } cases[] = {
        {0x0030 | bit8, "01", "T001-KTV4-S", 2, true, 123, 0},
        {0x0030, "01", "T001-KTV4-S", 2, true, WR_VALUE_NONE, 0}, // flags lack bit 8
        {bit8, "01", "T001-KTV4-S", 1, true, WR_VALUE_NONE, 0},   // value block too short
        {bit3 | bit10, "01", ".", 0, true, WR_VALUE_NONE, 5},     // local device, mode bit 0
        {bit10, "01", ".", 0, false, WR_VALUE_NONE, 4},
        {0, "01", "bad.name", 0, false, WR_VALUE_NONE, 0},
        {0, "", "T001-KTV4-S", 0, false, WR_VALUE_NONE, 0},
        {0, "0123456789012345678901234567890123", "dev", 0, false, WR_VALUE_NONE, 0},
    };
    for (auto &c : cases) {
        reply r(rx_page(c.flags, c.channel, c.device, c.value_length).b, WR_RX_ENTRY_SIZE);
        wr_msg_rx_entry x;
        ASSERT_EQ(wr_msg_read_rx_entry(&r.m, &r.list, 0, &x), 0) << c.device;
        EXPECT_STREQ(x.name, "In 1");
        EXPECT_EQ(x.mode, c.mode);
        EXPECT_EQ(x.value, c.value);
        EXPECT_EQ(x.status, (c.flags >> 4) & 3);
        EXPECT_EQ(x.flow_flag_count, 1); // mask 0b101: up to the first clear bit
        EXPECT_TRUE(x.flow_flags[0]);
        EXPECT_FALSE(x.flow_flags[1]);
        if (c.kept) {
            EXPECT_STREQ(x.tx_channel, c.channel);
            EXPECT_STREQ(x.tx_device, c.device);
            EXPECT_EQ(x.subscription_status, 2);
        } else {
            EXPECT_STREQ(x.tx_channel, "");
            EXPECT_STREQ(x.tx_device, "");
            EXPECT_EQ(x.subscription_status, 0);
        }
    }
}

TEST(WrMessageReplies, NamesPropertiesLabelsArrays)
{
    // 0x1003: names record and version record, 4-aligned.
    wire n(0x2729, WR_OP_NAMES_EXT, 1);
    n.grow(16);
    uint16_t first = n.str("T001-KTV4-S"), third = n.str("Stage Left");
    uint16_t names = n.words({0, first, 0, third, 0}, 4);
    uint16_t version = n.words({0, 0, 0x0301, 0x0500, 0x2729}, 4);
    n.put16(12, names);
    n.put16(14, version);
    reply rn(n.b, 4);
    wr_msg_names_ext ne;
    ASSERT_EQ(wr_msg_read_names_ext(&rn.m, &ne), 0);
    EXPECT_STREQ(ne.first, "T001-KTV4-S");
    EXPECT_STREQ(ne.second, "");
    EXPECT_STREQ(ne.third, "Stage Left");
    EXPECT_EQ(ne.router_version, wr_msg_router_version_pack(3, 1, 5));
    EXPECT_EQ(ne.arcp_version, 0x2729);

    // 0x1100: inline, u32 by offset and the string property.
    wire p(0x2729, WR_OP_PROPERTIES, 1);
    p.list(3, WR_PROPERTY_SIZE);
    uint16_t u32 = p.words({0x0001, 0x86A0}, 4);
    uint16_t text = p.str("ABCDEFGHIJKLMNOPQRST");
    uint16_t props[] = {0x0211, 16, 0x8205, u32, 0x8021, text};
    for (size_t i = 0; i < 6; ++i)
        p.put16(12 + 2 * i, props[i]);
    reply rp(p.b, WR_PROPERTY_SIZE);
    wr_msg_property prop;
    uint32_t v32 = 0;
    char t[WR_PROPERTY_TEXT_SIZE];
    ASSERT_EQ(wr_msg_find_property(&rp.m, &rp.list, 0x8205, &prop), 0);
    ASSERT_EQ(wr_msg_property_u32(&rp.m, &rp.list, &prop, &v32), 0);
    EXPECT_EQ(v32, 100000u);
    ASSERT_EQ(wr_msg_find_property(&rp.m, &rp.list, 0x8021, &prop), 0);
    ASSERT_EQ(wr_msg_property_text(&rp.m, &rp.list, &prop, t), 0);
    EXPECT_STREQ(t, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(wr_msg_find_property(&rp.m, &rp.list, 0x0310, &prop), QNB_ERR_NOTFOUND);

    // 0x3300 and a per-device array of 2 x 2 u32 values.
    wire perf(0x2729, WR_OP_PERFORMANCE, 1);
    perf.put16(14, 48), perf.put16(16, 96);
    reply rf(perf.b, 4);
    uint16_t a = 0, b = 0;
    ASSERT_EQ(wr_msg_read_performance(&rf.m, &a, &b), 0);
    EXPECT_EQ(a, 48);
    EXPECT_EQ(b, 96);

    wire arr(0x2729, WR_OP_DEVICE_ARRAY0, 1);
    arr.put16(14, 1), arr.put16(16, 2), arr.put16(18, 2), arr.put32(20, 5), arr.put32(24, 6);
    arr.put16(10, arr.words({0, 1, 0, 2, 0, 3, 0, 4}, 4));
    reply ra(arr.b, 4);
    wr_msg_device_array da;
    ASSERT_EQ(wr_msg_read_device_array(&ra.m, true, &da), 0);
    EXPECT_EQ(da.count, 4u);
    uint32_t last = 0;
    ASSERT_EQ(wr_msg_device_array_value(&ra.m, &da, 3, &last), 0);
    EXPECT_EQ(last, 4u);
    EXPECT_EQ(wr_msg_device_array_value(&ra.m, &da, 4, &last), QNB_ERR_INVALIDDATA);
}

// Hostile replies: each case breaks one thing and names the error its reader must return.
TEST(WrMessageReplies, HostileFieldsAreRefused)
{
    struct hostile {
        const char *what;
        std::function<wire()> make;
        uint16_t stride; // of the reply's entry list
        std::function<qnb_error(const reply &)> read;
        qnb_error expect;
    };
    auto tx0 = [](const reply &r) {
        wr_msg_tx_entry t;
        return wr_msg_read_tx_entry(&r.m, &r.list, 0, &t);
    };
    auto rx0 = [](const reply &r) {
        wr_msg_rx_entry x;
        return wr_msg_read_rx_entry(&r.m, &r.list, 0, &x);
    };
    hostile cases[] = {
        {"count beyond the bytes", [] { wire w = tx_page(); w.put8(11, 40); return w; }, 8,
         [](const reply &r) { return r.list_error; }, QNB_ERR_INVALIDDATA},
        {"name inside the entry area", [] { wire w = tx_page(); w.put16(18, 14); return w; }, 8, tx0,
         QNB_ERR_INVALIDDATA},
        {"name at the length", [] { wire w = tx_page(); w.put16(18, uint16_t(w.b.size())); return w; }, 8, tx0,
         QNB_ERR_INVALIDDATA},
        {"name without its NUL", [] { wire w = tx_page(); w.b.pop_back(); w.fix(); return w; }, 8,
         [](const reply &r) { wr_msg_tx_entry t; return wr_msg_read_tx_entry(&r.m, &r.list, 1, &t); },
         QNB_ERR_INVALIDDATA},
        {"tx name too long", [] { wire w = tx_page(); w.put16(18, w.str(std::string(33, 'a'))); return w; }, 8, tx0,
         QNB_ERR_INVALIDPARAMETER},
        {"tx name against the rule", [] { wire w = tx_page(); w.put16(18, w.str("a=b")); return w; }, 8, tx0,
         QNB_ERR_INVALIDPARAMETER},
        {"format misaligned", [] { wire w = tx_page(); w.put16(16, 30); return w; }, 8, tx0, QNB_ERR_INVALIDDATA},
        {"format count beyond the bytes",
         [] { wire w = tx_page(); w.put8(wgcp_load_be16(&w.b[16]) + 4, 200); return w; }, 8, tx0,
         QNB_ERR_INVALIDDATA},
        {"value block at the end",
         [] { wire w = rx_page(0x100, "01", "d", 2); w.grow(w.b.size() + 1); w.put16(30, uint16_t(w.b.size() - 2));
              return w; }, 20,
         rx0, QNB_ERR_INVALIDDATA},
        {"rx name too long",
         [] { wire w = rx_page(0, "01", "d", 0); w.put16(22, w.str(std::string(33, 'r'))); return w; }, 20, rx0,
         QNB_ERR_INVALIDPARAMETER},
        {"subscription offset outside", [] { wire w = rx_page(0, "01", "d", 0); w.put16(18, 0xFFF0); return w; }, 20,
         rx0, QNB_ERR_INVALIDDATA},
        {"truncated datagram", [] { wire w = tx_page(); w.put16(2, uint16_t(w.b.size() + 1)); return w; }, 8,
         [](const reply &r) { return r.init; }, QNB_ERR_INVALIDDATA},
        {"length below the header", [] { wire w = tx_page(); w.put16(2, 8); return w; }, 8,
         [](const reply &r) { return r.init; }, QNB_ERR_INVALIDDATA},
        {"capabilities too short", [] { wire w = capabilities_reply(0x2729); w.b.resize(20); w.fix(); return w; }, 4,
         [](const reply &r) { wr_msg_capabilities c; return wr_msg_read_capabilities(&r.m, &c); },
         QNB_ERR_INVALIDDATA},
        {"capabilities above the caps", [] { wire w = capabilities_reply(0x2729); w.put16(14, 60000); return w; }, 4,
         [](const reply &r) { wr_msg_capabilities c; return wr_msg_read_capabilities(&r.m, &c); },
         QNB_ERR_INVALIDDATA},
        {"names record misaligned", [] { wire w(0x2729, 0x1003, 1); w.grow(24); w.put16(12, 18); return w; }, 4,
         [](const reply &r) { wr_msg_names_ext n; return wr_msg_read_names_ext(&r.m, &n); }, QNB_ERR_INVALIDDATA},
        {"names record name outside",
         [] { wire w(0x2729, 0x1003, 1); w.grow(16); w.put16(12, w.words({0, 0x200, 0, 0, 0}, 4)); return w; }, 4,
         [](const reply &r) { wr_msg_names_ext n; return wr_msg_read_names_ext(&r.m, &n); }, QNB_ERR_INVALIDDATA},
        {"device name too long", [] { wire w(0x2729, 0x1002, 1); w.str(std::string(40, 'n')); return w; }, 4,
         [](const reply &r) { char n[WR_NAME_SIZE]; return wr_msg_read_names(&r.m, n); }, QNB_ERR_TRUNCATED},
        {"property u32 misaligned",
         [] { wire w(0x2729, 0x1100, 1); w.list(1, 4); w.put16(12, 0x8205); w.put16(14, 18); w.grow(24); return w; }, 4,
         [](const reply &r) { wr_msg_property p; uint32_t v;
                              wr_msg_read_property(&r.m, &r.list, 0, &p);
                              return wr_msg_property_u32(&r.m, &r.list, &p, &v); },
         QNB_ERR_INVALIDDATA},
        {"array values missing",
         [] { wire w(0x2729, 0x4010, 1); w.put16(16, 10); w.put16(18, 2); w.put16(10, 28); w.grow(28 + 4 * 19);
              return w; }, 4,
         [](const reply &r) { wr_msg_device_array a; return wr_msg_read_device_array(&r.m, true, &a); },
         QNB_ERR_INVALIDDATA},
    };
    for (auto &c : cases) {
        reply r(c.make().b, c.stride);
        EXPECT_EQ(c.read(r), c.expect) << c.what;
    }
}

// Every reader over every truncation and over random mutations of well-formed replies. Whatever
// the bytes, nothing is read outside them, and what a reader accepts obeys its rules.
void read_everything(const uint8_t *data, size_t n)
{
    wr_msg_response m;
    if (wr_msg_response_init(&m, data, n))
        return;
    wr_msg_capabilities caps;
    if (wr_msg_read_capabilities(&m, &caps) == 0) {
        ASSERT_LE(caps.rx_channels, WR_MSG_MAX_CHANNELS);
        ASSERT_LE(caps.interfaces, WR_MSG_MAX_INTERFACES);
    }
    char name[WR_NAME_SIZE];
    if (wr_msg_read_names(&m, name) == 0) {
        ASSERT_LT(strlen(name), size_t(WR_NAME_SIZE));
    }
    wr_msg_names_ext ne;
    wr_msg_read_names_ext(&m, &ne);
    uint16_t a, b;
    wr_msg_read_performance(&m, &a, &b);
    for (bool wide : {false, true}) {
        wr_msg_device_array da;
        if (wr_msg_read_device_array(&m, wide, &da) == 0)
            for (uint32_t i = 0; i < da.count; ++i) {
                uint32_t v;
                ASSERT_EQ(wr_msg_device_array_value(&m, &da, i, &v), 0);
            }
    }
    for (uint16_t stride : {4, 6, 8, 20}) {
        wr_msg_entries l;
        if (wr_msg_read_list(&m, stride, &l))
            continue;
        ASSERT_LE(l.end, m.size < 12 ? 12u : m.size);
        for (uint16_t i = 0; i <= l.count; ++i) {
            wr_msg_tx_entry t;
            if (wr_msg_read_tx_entry(&m, &l, i, &t) == 0) {
                ASSERT_TRUE(wr_msg_name_is_valid(t.name));
                ASSERT_LE(t.format.count, t.format.a_count);
            }
            wr_msg_rx_entry x;
            if (wr_msg_read_rx_entry(&m, &l, i, &x) == 0 && x.tx_channel[0]) {
                ASSERT_TRUE(wr_msg_name_is_valid(x.tx_channel));
            }
            wr_msg_label lb;
            wr_msg_read_label(&m, &l, i, &lb);
            wr_msg_subscribe_record sr;
            wr_msg_read_subscribe_record(&m, &l, i, &sr);
            wr_msg_rename_record rr;
            wr_msg_read_rename_record(&m, &l, i, &rr);
            wr_msg_value_record vr;
            wr_msg_read_value_record(&m, &l, i, &vr);
            wr_msg_property p;
            if (wr_msg_read_property(&m, &l, i, &p) == 0) {
                uint32_t v;
                char t2[WR_PROPERTY_TEXT_SIZE];
                wr_msg_property_u32(&m, &l, &p, &v);
                if (wr_msg_property_text(&m, &l, &p, t2) == 0) {
                    ASSERT_LE(strlen(t2), size_t(WR_PROPERTY_TEXT_MAX));
                }
            }
        }
    }
}

TEST(WrMessageReplies, TruncationAndRandomSweep)
{
    std::vector<bytes> seeds = {tx_page().b, rx_page(0x0508, "01", "T001-KTV4-S", 2).b, capabilities_reply(0x2711).b};
    {
        wgcp_builder b = fresh_builder();
        wr_msg_list l;
        wr_msg_subscribe_begin(&l, &b, 0x2729, 2);
        wr_msg_subscribe_add(&l, 1, "01", "dev");
        wr_msg_subscribe_add(&l, 2, "02", "dev");
        seeds.push_back(packet_of(b));
    }
    std::mt19937 rng(2024);
    for (const bytes &seed : seeds) {
        for (size_t cut = 0; cut <= seed.size(); ++cut) {
            for (bool keep_length : {false, true}) {
                bytes d(seed.begin(), seed.begin() + cut);
                if (!keep_length && cut >= 4)
                    wgcp_store_be16(d.data() + 2, uint16_t(cut));
                exact e(d);
                read_everything(e.p.get(), e.n);
            }
        }
        for (int i = 0; i < 3000; ++i) {
            bytes d = seed;
            for (int k = 1 + int(rng() % 4); k > 0; --k)
                d[rng() % d.size()] = uint8_t(rng());
            if (rng() % 4 == 0)
                d.resize(rng() % (d.size() + 1));
            exact e(d);
            read_everything(e.p.get(), e.n);
        }
    }
}

} // namespace
