// Flow tables and their reply handlers against a recording device: table growth, the limits that
// send a device to ERROR, flow names by version, transport kinds, paging (with pages that make no
// progress), flow marks, rx flow subscriptions, the re-reads after 0x3201/0x2201, the batch
// packers, and truncated or mutated records (buffers sized exactly, for the sanitizers).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "netaudio/routing/wr_flow.h"

namespace {

struct fake_device {
    std::vector<std::pair<qnb_error, std::string>> errors;
    uint32_t reported = 0;
    std::vector<unsigned> marked, cleared;
    wgcp_builder packet{};
    int sends = 0;
    qnb_error send_result = 0;
    int completions = 0;
    qnb_error result = -1;
    qnb_error override_result = 0;
    int batches = 0;
    uint16_t rx_channels = 8;
    std::map<uint16_t, std::string> subscriptions;
};

fake_device *dev(void *d)
{
    return static_cast<fake_device *>(d);
}

const wr_flow_host_ops k_ops = {
    [](void *d, qnb_error e, const char *text) { dev(d)->errors.emplace_back(e, text); },
    [](void *d, uint32_t bits) { dev(d)->reported |= bits; },
    [](void *d, unsigned kind) { dev(d)->marked.push_back(kind); },
    [](void *d, unsigned kind) { dev(d)->cleared.push_back(kind); },
    [](void *d, wr_request *) { return &dev(d)->packet; },
    [](void *d, wr_request *) {
        dev(d)->sends++;
        return dev(d)->send_result;
    },
    [](void *d, wr_request *, qnb_error e) {
        dev(d)->completions++;
        dev(d)->result = e;
    },
    [](void *d, wr_request *, qnb_error e) { dev(d)->override_result = e; },
    [](void *d, wr_request *, qnb_error) { dev(d)->batches++; },
    [](void *d, uint16_t rx, const char *ch, const char *device, uint8_t status) {
        if (rx == 0 || rx > dev(d)->rx_channels)
            return false;
        dev(d)->subscriptions[rx] = std::string(ch) + "@" + device + "/" + std::to_string(status);
        return true;
    },
};

struct fixture {
    fake_device d;
    wr_flow_host h{};
    wr_txflow_table *tx = nullptr;
    wr_rxflow_table *rx = nullptr;
    explicit fixture(uint16_t slots = 4, uint16_t interfaces = 2, uint16_t arcp = 0x2729)
    {
        h.ops = &k_ops;
        h.device = &d;
        h.arcp_version = arcp;
        h.protocol_version = wr_msg_protocol_version(arcp);
        h.max_txflow_id = 64;
        h.max_rxflow_id = 64;
        EXPECT_EQ(0, wr_flow_tx_table_new(16, interfaces, slots, &tx));
        EXPECT_EQ(0, wr_flow_rx_table_new(d.rx_channels, interfaces, slots, &rx));
    }
    ~fixture()
    {
        wr_flow_tx_table_delete(tx);
        wr_flow_rx_table_delete(rx);
    }
    fixture(const fixture &) = delete;
    fixture &operator=(const fixture &) = delete;
};

using bytes = std::vector<uint8_t>;

bytes encode(uint16_t version, uint16_t opcode, uint16_t result, int form, const std::vector<wr_flow_desc> &flows)
{
    wgcp_builder b{};
    uint16_t written = 0;
    EXPECT_EQ(0, wr_flow_encode(&b, version, opcode, result, form, flows.data(), uint16_t(flows.size()), &written));
    EXPECT_EQ(flows.size(), written);
    return bytes(b.packet, b.packet + wgcp_header_get_length(b.packet));
}

// Runs a handler on an exactly sized copy of the message.
template <typename Table>
void feed(void (*handler)(Table *, const wr_flow_host *, const wr_msg_response *), Table *t, const wr_flow_host *h,
          const bytes &message)
{
    std::vector<uint8_t> exact(message);
    wr_msg_response m;
    ASSERT_EQ(0, wr_msg_response_init(&m, exact.data(), exact.size()));
    handler(t, h, &m);
}

wr_flow_desc tx_flow(uint16_t id)
{
    wr_flow_desc f{};
    f.id = id;
    return f;
}

uint16_t query_first(const fake_device &d)
{
    return uint16_t(d.packet.packet[12] << 8 | d.packet.packet[13]);
}

TEST(FlowTables, GrowByTheirRules)
{
    // tx: one array, 8 at the first flow, then doubling; rx: blocks of 4, 4, 8 ... (the capacity
    // doubles) whose entries never move.
    struct row {
        uint16_t flows, tx_capacity, rx_capacity;
    } rows[] = {{1, 8, 4}, {4, 8, 4}, {5, 8, 8}, {8, 8, 8}, {9, 16, 16}, {16, 16, 16}, {17, 32, 32}};
    for (const row &r : rows) {
        fixture f;
        std::vector<wr_flow_desc> flows;
        for (uint16_t i = 1; i <= r.flows; i++)
            flows.push_back(tx_flow(i));
        feed(TxFlowQuery, f.tx, &f.h, encode(0x2729, WR_OP_TX_FLOWS, 1, WR_FLOW_RECORDS_TX, flows));
        feed(RxFlowQuery, f.rx, &f.h, encode(0x2729, WR_OP_RX_FLOWS, 1, WR_FLOW_RECORDS_RX, flows));
        EXPECT_EQ(r.flows, f.tx->count) << r.flows;
        EXPECT_EQ(r.tx_capacity, f.tx->capacity) << r.flows;
        EXPECT_EQ(r.flows, f.rx->count) << r.flows;
        EXPECT_EQ(r.rx_capacity, f.rx->capacity) << r.flows;
        EXPECT_EQ(2, f.d.completions);
        EXPECT_EQ(0, f.d.result);
        EXPECT_EQ((std::vector<unsigned>{WR_FLOW_KIND_TXFLOWS, WR_FLOW_KIND_RXFLOWS}), f.d.cleared);
        EXPECT_EQ(uint32_t(WR_FLOW_CHANGE_TXFLOWS | WR_FLOW_CHANGE_RXFLOWS), f.d.reported);
    }
    fixture f;
    std::vector<wr_flow_desc> first = {tx_flow(1), tx_flow(2), tx_flow(3), tx_flow(4)};
    feed(RxFlowQuery, f.rx, &f.h, encode(0x2729, WR_OP_RX_FLOWS, 0x8112, WR_FLOW_RECORDS_RX, first));
    wr_rxflow *kept = wr_flow_rx_find(f.rx, 4);
    feed(RxFlowQuery, f.rx, &f.h, encode(0x2729, WR_OP_RX_FLOWS, 1, WR_FLOW_RECORDS_RX, {tx_flow(5)}));
    EXPECT_EQ(kept, wr_flow_rx_find(f.rx, 4));
    // A reset forgets the flows and keeps the storage.
    wr_flow_tx_begin_read(f.tx);
    EXPECT_EQ(0, f.tx->count);
}

TEST(FlowTables, LimitsSendTheDeviceToError)
{
    uint16_t slots[] = {1, 2, 3, 4, 5};
    wr_flow_wire_address addresses[3] = {};
    struct row {
        int form;
        uint16_t id, num_slots, num_interfaces;
        const char *text;
    } rows[] = {
        {WR_FLOW_RECORDS_TX, 1, 5, 0, "AddTxFlow: NumSlots > MaxSlots"},
        {WR_FLOW_RECORDS_TX, 1, 0, 3, "AddTxFlow: NumInterfaces > MaxInterfaces"},
        {WR_FLOW_RECORDS_TX, 65, 1, 0, "TxFlowQuery: Invalid ID"},
        {WR_FLOW_RECORDS_TX, 0, 1, 0, "TxFlowQuery: Invalid ID"},
        {WR_FLOW_RECORDS_RX, 1, 5, 0, "AddRxFlow: NumSlots > MaxSlots"},
        {WR_FLOW_RECORDS_RX, 1, 0, 3, "AddRxFlow: NumInterfaces > MaxInterfaces"},
        {WR_FLOW_RECORDS_RX, 65, 1, 0, "RxFlowQuery: Invalid ID"},
        {WR_FLOW_RECORDS_TEMPLATE, 1, 5, 0, "AddRxTemplate: NumSlots > MaxSlots"},
        {WR_FLOW_RECORDS_TEMPLATE, 1, 0, 3, "AddRxTemplate: NumInterfaces > MaxInterfaces"},
    };
    for (const row &r : rows) {
        fixture f(4, 2);
        wr_flow_desc good = tx_flow(2), bad = tx_flow(r.id);
        bad.num_slots = r.num_slots;
        bad.slots = slots;
        bad.num_interfaces = r.num_interfaces;
        bad.addresses = addresses;
        // The bad record comes first: the records behind it are not read.
        std::vector<wr_flow_desc> page = {bad, good};
        if (r.form == WR_FLOW_RECORDS_TX)
            feed(TxFlowQuery, f.tx, &f.h, encode(0x2729, WR_OP_TX_FLOWS, 0x8112, r.form, page));
        else if (r.form == WR_FLOW_RECORDS_RX)
            feed(RxFlowQuery, f.rx, &f.h, encode(0x2729, WR_OP_RX_FLOWS, 0x8112, r.form, page));
        else
            feed(wr_flow_handle_rx_templates, f.rx, &f.h, encode(0x2729, WR_OP_RX_FLOW_DETAILS, 1, r.form, page));
        ASSERT_EQ(1u, f.d.errors.size()) << r.text;
        EXPECT_EQ(WR_ERR_LAYOUT, f.d.errors[0].first);
        EXPECT_EQ(r.text, f.d.errors[0].second);
        EXPECT_EQ(1, f.d.completions);
        EXPECT_EQ(WR_ERR_LAYOUT, f.d.result);
        EXPECT_EQ(0, f.d.sends) << r.text;
        EXPECT_EQ(0, f.tx->count + f.rx->count) << r.text;
        EXPECT_TRUE(f.d.cleared.empty());
        EXPECT_NE(0u, f.d.reported & (WR_FLOW_CHANGE_TXFLOWS | WR_FLOW_CHANGE_RXFLOWS));
    }
}

TEST(FlowTables, TxFlowNamesAndTransportByVersion)
{
    struct row {
        uint16_t arcp, message_version, ext_words, kind;
        const char *name;
        uint8_t transport;
        uint16_t media_count;
    } rows[] = {
        {0x25FF, 0x2729, 10, 0, "7", WR_FLOW_TRANSPORT_NONE, 0},  // old device: "%d"
        {0x2729, 0x2600, 10, 0, "7", WR_FLOW_TRANSPORT_NONE, 0},  // record without extension
        {0x2729, 0x2729, 0, 0, "7", WR_FLOW_TRANSPORT_NONE, 0},   // no extension block
        {0x2729, 0x2729, 10, 0, "Alpha", WR_FLOW_TRANSPORT_1, 0},
        {0x2729, 0x2729, 6, 0, "Alpha", WR_FLOW_TRANSPORT_1, 0}, // kind field absent
        {0x2729, 0x2729, 5, 0, "", WR_FLOW_TRANSPORT_1, 0},      // flow name absent
        {0x2729, 0x2729, 10, 1, "Alpha", WR_FLOW_TRANSPORT_1, 0},
        {0x2729, 0x2729, 10, 2, "Alpha", WR_FLOW_TRANSPORT_NONE, 0},
        {0x2729, 0x2729, 10, 3, "Alpha", WR_FLOW_TRANSPORT_MEDIA, 6},
    };
    for (const row &r : rows) {
        fixture f(4, 2, r.arcp);
        if (r.arcp < 0x2600)
            f.h.max_txflow_id = 0; // older devices report no highest flow id
        wr_flow_desc d = tx_flow(7);
        d.ext_words = r.ext_words;
        d.name = "Alpha";
        d.name2 = "Beta";
        d.value32 = 0xA1B2C3D4;
        d.kind = r.kind;
        d.media.flags = 0xF;
        for (int i = 0; i < 6; i++)
            d.media.values[i] = 100u + unsigned(i);
        uint16_t channels[] = {3, 0, 17};
        d.num_slots = 3;
        d.slots = channels;
        wr_flow_wire_address a[2] = {{2, 1, 4440, 0x0100007F}, {10, 1, 5000, 0x0200007F}};
        d.num_interfaces = 2;
        d.addresses = a;
        feed(TxFlowQuery, f.tx, &f.h, encode(r.message_version, WR_OP_TX_FLOWS, 1, WR_FLOW_RECORDS_TX, {d}));
        ASSERT_EQ(0, f.d.result) << r.name;
        const wr_txflow *t = wr_flow_tx_find(f.tx, 7);
        ASSERT_NE(nullptr, t);
        EXPECT_STREQ(r.name, t->name);
        EXPECT_EQ(r.transport, t->ext.transport) << r.ext_words << "/" << r.kind;
        EXPECT_EQ(r.media_count, t->ext.media.count);
        if (r.media_count) {
            EXPECT_EQ(105u, t->ext.media.values[5]);
        }
        // Slots name tx channels by id (0 or beyond the 16 channels: none); only IPv4 is kept.
        EXPECT_EQ((std::vector<uint16_t>{3, 0, 0, 0}), std::vector<uint16_t>(t->slots, t->slots + 4));
        EXPECT_EQ(4440, t->addresses[0].port);
        EXPECT_EQ(0x0100007Fu, t->addresses[0].address);
        EXPECT_EQ(0, t->addresses[1].port);
    }
}

TEST(FlowTables, PagesFollowUpAndPagesWithoutProgressEnd)
{
    struct row {
        uint16_t opcode;
        int form;
        void (*run)(fixture &, const bytes &);
    } rows[] = {
        {WR_OP_TX_FLOWS, WR_FLOW_RECORDS_TX,
         [](fixture &f, const bytes &m) { feed(TxFlowQuery, f.tx, &f.h, m); }},
        {WR_OP_RX_FLOWS, WR_FLOW_RECORDS_RX,
         [](fixture &f, const bytes &m) { feed(RxFlowQuery, f.rx, &f.h, m); }},
        {WR_OP_RX_FLOW_DETAILS, WR_FLOW_RECORDS_TEMPLATE,
         [](fixture &f, const bytes &m) { feed(wr_flow_handle_rx_templates, f.rx, &f.h, m); }},
    };
    for (const row &r : rows) {
        {
            fixture f;
            r.run(f, encode(0x2729, r.opcode, 0x8112, r.form, {tx_flow(1), tx_flow(3), tx_flow(2)}));
            EXPECT_EQ(0, f.d.completions);
            ASSERT_EQ(1, f.d.sends);
            EXPECT_EQ(r.opcode, wgcp_header_get_opcode(f.d.packet.packet));
            EXPECT_EQ(4, query_first(f.d));
            // The next page repeats flows already read: no progress, the read ends.
            r.run(f, encode(0x2729, r.opcode, 0x8112, r.form, {tx_flow(2), tx_flow(3)}));
            EXPECT_EQ(1, f.d.sends);
            EXPECT_EQ(1, f.d.completions);
            EXPECT_EQ(QNB_ERR_INVALIDDATA, f.d.result);
            EXPECT_TRUE(f.d.cleared.empty());
        }
        {
            fixture f; // an empty page that claims more to come
            r.run(f, encode(0x2729, r.opcode, 0x8112, r.form, {}));
            EXPECT_EQ(0, f.d.sends);
            EXPECT_EQ(QNB_ERR_INVALIDDATA, f.d.result);
        }
        {
            fixture f; // a follow-up that cannot be sent completes with the send error
            f.d.send_result = QNB_ERR_NOBUFS;
            r.run(f, encode(0x2729, r.opcode, 0x8112, r.form, {tx_flow(1)}));
            EXPECT_EQ(QNB_ERR_NOBUFS, f.d.result);
            EXPECT_NE(0u, f.d.reported & (WR_FLOW_CHANGE_TXFLOWS | WR_FLOW_CHANGE_RXFLOWS));
        }
    }
}

wr_flow_desc rx_flow(uint16_t id, uint16_t kind, const std::vector<wr_flow_feed> &feeds)
{
    static std::vector<std::vector<wr_flow_feed>> keep;
    keep.push_back(feeds);
    wr_flow_desc d{};
    d.id = id;
    d.num_slots = 2;
    d.num_feeds = uint16_t(feeds.size());
    d.feeds = keep.back().data();
    d.ext_words = 10;
    d.kind = kind;
    return d;
}

TEST(FlowTables, FlowMarksFollowTheMediaFlows)
{
    fixture f;
    auto read = [&](const std::vector<wr_flow_desc> &flows) {
        f.d.reported = 0;
        wr_flow_rx_begin_read(f.rx);
        feed(RxFlowQuery, f.rx, &f.h, encode(0x2729, WR_OP_RX_FLOWS, 1, WR_FLOW_RECORDS_RX, flows));
    };
    read({rx_flow(5, 3, {{0, 1}, {1, 2}, {1, 3}}), rx_flow(6, 0, {{0, 4}})});
    EXPECT_EQ(uint32_t(WR_FLOW_CHANGE_RXCHANNELS | WR_FLOW_CHANGE_RXFLOWS), f.d.reported);
    EXPECT_EQ(5, wr_flow_rx_channel_flow(f.rx, 3));
    EXPECT_EQ(0, wr_flow_rx_channel_flow(f.rx, 4)); // not a media flow
    const wr_rxflow *flow = wr_flow_rx_find(f.rx, 5);
    ASSERT_NE(nullptr, flow);
    EXPECT_EQ(2, flow->slots[1].set);
    EXPECT_EQ(2, wr_flow_bitset_nth(&flow->slots[1], 1)); // rx channel 3 is bit 2

    // Unchanged flows: nothing changes on the rx side.
    read({rx_flow(5, 3, {{0, 1}, {1, 2}, {1, 3}})});
    EXPECT_EQ(uint32_t(WR_FLOW_CHANGE_RXFLOWS), f.d.reported);

    // Channel 3 no longer fed: its mark outlives the read and is cleared with its flow number.
    wr_flow_rx_begin_read(f.rx);
    EXPECT_TRUE(wr_flow_rx_channel_marked(f.rx, 3));
    f.d.reported = 0;
    feed(RxFlowQuery, f.rx, &f.h,
         encode(0x2729, WR_OP_RX_FLOWS, 1, WR_FLOW_RECORDS_RX, {rx_flow(5, 3, {{0, 1}, {1, 2}})}));
    EXPECT_EQ(uint32_t(WR_FLOW_CHANGE_RXCHANNELS | WR_FLOW_CHANGE_RXFLOWS), f.d.reported);
    EXPECT_EQ(0, wr_flow_rx_channel_flow(f.rx, 3));
    EXPECT_FALSE(wr_flow_rx_channel_marked(f.rx, 3));
    EXPECT_EQ(5, wr_flow_rx_channel_flow(f.rx, 2));
}

TEST(FlowTables, SubscriptionRecordsUpdateRxChannels)
{
    wr_flow_wire_subscription subs[] = {{2, "Out 1", "T001-KTV4", 2}, {9, "Out 2", "T001-KTV4", 1}};
    wr_flow_desc d = rx_flow(3, 3, {{0, 2}});
    d.num_subscriptions = 2;
    d.subscriptions = subs;
    {
        fixture f;
        feed(wr_flow_handle_rx_templates, f.rx, &f.h,
             encode(0x2729, WR_OP_RX_FLOW_DETAILS, 1, WR_FLOW_RECORDS_TEMPLATE, {d}));
        EXPECT_EQ("Out 1@T001-KTV4/2", f.d.subscriptions[2]);
        // rx channel 9 does not exist: the rx channels are read again instead.
        EXPECT_EQ((std::vector<unsigned>{WR_FLOW_KIND_RXCHANNELS}), f.d.marked);
        EXPECT_EQ((std::vector<unsigned>{WR_FLOW_KIND_RXFLOWS}), f.d.cleared);
        EXPECT_EQ(0, f.d.result);
        EXPECT_EQ(3, wr_flow_rx_channel_flow(f.rx, 2));
    }
    {
        fixture f; // 0x3241: the mapped error becomes the result; change flag 4 stays
        feed(wr_flow_handle_rx_templates, f.rx, &f.h,
             encode(0x2729, WR_OP_RX_FLOW_DETAILS_ALT, 0x8100, WR_FLOW_RECORDS_TEMPLATE, {d}));
        EXPECT_EQ(QNB_ERR_INVALIDDATA, f.d.override_result);
        EXPECT_TRUE(f.d.cleared.empty());
        EXPECT_EQ(1, f.d.completions);
    }
}

TEST(FlowTables, ChangeResultsReadTheFlowsAgain)
{
    struct row {
        uint16_t opcode, result;
        uint32_t code;
        bool empty;
        qnb_error override_result;
        unsigned kind;
        uint16_t query;
    } rows[] = {
        {WR_OP_RX_FLOW_CHANGE, 1, 0, true, 0, WR_FLOW_KIND_RXFLOWS, WR_OP_RX_FLOWS},
        {WR_OP_RX_FLOW_CHANGE, 0x8601, 0, true, QNB_ERR_POLICY, WR_FLOW_KIND_RXFLOWS, WR_OP_RX_FLOWS},
        {WR_OP_TX_FLOW_BATCH, 1, 0, true, 0, WR_FLOW_KIND_TXFLOWS, WR_OP_TX_FLOWS},
        {WR_OP_TX_FLOW_BATCH, 1, 1, true, QNB_ERR_INVALIDDATA, WR_FLOW_KIND_TXFLOWS, WR_OP_TX_FLOWS},
        {WR_OP_TX_FLOW_BATCH, 1, 1, false, 0, WR_FLOW_KIND_TXFLOWS, WR_OP_TX_FLOWS},
    };
    for (const row &r : rows) {
        fixture f;
        f.h.request_code = r.code;
        feed(TxFlowQuery, f.tx, &f.h, encode(0x2729, WR_OP_TX_FLOWS, 1, WR_FLOW_RECORDS_TX, {tx_flow(1)}));
        feed(RxFlowQuery, f.rx, &f.h, encode(0x2729, WR_OP_RX_FLOWS, 1, WR_FLOW_RECORDS_RX, {tx_flow(1)}));
        f.d = fake_device();
        std::vector<wr_flow_desc> records;
        if (!r.empty)
            records.push_back(tx_flow(1));
        bytes m = encode(0x2729, r.opcode, r.result, WR_FLOW_RECORDS_TX, records);
        if (r.opcode == WR_OP_RX_FLOW_CHANGE)
            feed(wr_flow_handle_rx_change, f.rx, &f.h, m);
        else
            feed(wr_flow_handle_tx_batch, f.tx, &f.h, m);
        EXPECT_EQ(r.override_result, f.d.override_result) << r.opcode << "/" << r.code;
        EXPECT_EQ((std::vector<unsigned>{r.kind}), f.d.marked);
        EXPECT_EQ(0, f.d.completions);
        ASSERT_EQ(1, f.d.sends);
        EXPECT_EQ(r.query, wgcp_header_get_opcode(f.d.packet.packet));
        EXPECT_EQ(1, query_first(f.d));
        EXPECT_EQ(0, r.kind == WR_FLOW_KIND_TXFLOWS ? f.tx->count : f.rx->count);
        EXPECT_EQ(1, r.kind == WR_FLOW_KIND_TXFLOWS ? f.rx->count : f.tx->count);
    }
    fixture f; // a batch reply continues the batch
    f.h.request_code = WR_FLOW_CODE_BATCH;
    feed(wr_flow_handle_tx_batch, f.tx, &f.h, encode(0x2729, WR_OP_TX_FLOW_BATCH, 1, WR_FLOW_RECORDS_TX, {}));
    EXPECT_EQ(1, f.d.batches);
    EXPECT_EQ(0, f.d.sends + f.d.completions);
}

TEST(FlowBatch, PackersFillMessagesUpToTheirRoom)
{
    std::vector<wr_flow_rxname_item> names(40);
    for (size_t i = 0; i < names.size(); i++) {
        names[i].rx_channel = uint16_t(i + 1);
        snprintf(names[i].name, sizeof names[i].name, "%032zu", i); // 32 characters each
    }
    wgcp_builder b{};
    uint16_t packed = 0;
    ASSERT_EQ(0, wr_flow_batch_pack_rx_names(&b, 0x2729, names.data(), 0x20, &packed));
    EXPECT_EQ(0x20, packed);
    EXPECT_EQ(WR_OP_RX_RENAME, wgcp_header_get_opcode(b.packet));
    EXPECT_EQ(0x20, b.packet[11]);

    std::vector<wr_flow_label_item> labels(16);
    for (size_t i = 0; i < labels.size(); i++) {
        labels[i] = {uint16_t(i + 1), 3, {}};
        snprintf(labels[i].name, sizeof labels[i].name, "Label %zu", i);
    }
    ASSERT_EQ(0, wr_flow_batch_pack_labels(&b, 0x2729, labels.data(), 0x10, &packed));
    EXPECT_EQ(0x10, packed);
    EXPECT_EQ(WR_OP_TX_LABEL_CHANGE, wgcp_header_get_opcode(b.packet));

    // Tx flows too large for one message: as many as fit go, the rest waits for the next.
    std::vector<uint16_t> slots(100, 1);
    std::vector<wr_flow_desc> flows(0x20);
    for (size_t i = 0; i < flows.size(); i++) {
        flows[i] = tx_flow(uint16_t(i + 1));
        flows[i].num_slots = uint16_t(slots.size());
        flows[i].slots = slots.data();
    }
    ASSERT_EQ(0, wr_flow_batch_pack_tx_flows(&b, 0x2729, flows.data(), 0x20, &packed));
    EXPECT_EQ(6, packed); // 12 + 6 x (20 + 200) = 1332 of 1400 bytes
    EXPECT_EQ(WR_OP_TX_FLOW_BATCH, wgcp_header_get_opcode(b.packet));
    EXPECT_LE(wgcp_header_get_length(b.packet), WR_MESSAGE_MAX);
}

TEST(FlowRecords, TruncatedAndHostileRecordsAreRefused)
{
    wr_flow_wire_subscription subs[] = {{1, "Out 1", "T001-KTV4", 2}};
    wr_flow_wire_address a[2] = {{2, 1, 4440, 0x0100007F}, {2, 0, 4441, 0x0200007F}};
    uint16_t channels[] = {1, 2};
    wr_flow_desc d = rx_flow(3, 3, {{0, 1}, {1, 2}});
    d.name = "Flow";
    d.name2 = "Two";
    d.media.flags = 0xF;
    d.num_interfaces = 2;
    d.addresses = a;
    d.num_subscriptions = 1;
    d.subscriptions = subs;
    d.slots = channels;
    std::vector<bytes> messages = {
        encode(0x2729, WR_OP_TX_FLOWS, 1, WR_FLOW_RECORDS_TX, {d, d}),
        encode(0x2729, WR_OP_RX_FLOWS, 1, WR_FLOW_RECORDS_RX, {d, d}),
        encode(0x2729, WR_OP_RX_FLOW_DETAILS, 1, WR_FLOW_RECORDS_TEMPLATE, {d, d}),
    };
    auto run = [](size_t which, const bytes &message, bool fix_length) {
        fixture f;
        bytes m(message);
        if (fix_length && m.size() >= 4) {
            m[2] = uint8_t(m.size() >> 8);
            m[3] = uint8_t(m.size());
        }
        wr_msg_response r;
        if (wr_msg_response_init(&r, m.data(), m.size()) != 0)
            return;
        if (which == 0)
            TxFlowQuery(f.tx, &f.h, &r);
        else if (which == 1)
            RxFlowQuery(f.rx, &f.h, &r);
        else
            wr_flow_handle_rx_templates(f.rx, &f.h, &r);
        // Every reply ends the request exactly once, or continues it on its slot.
        EXPECT_EQ(1, f.d.completions + f.d.sends);
    };
    for (size_t which = 0; which < messages.size(); which++) {
        const bytes &whole = messages[which];
        // Every cut of the message, its length field made to match: bounded reads refuse the rest.
        for (size_t cut = WR_HEADER_SIZE; cut < whole.size(); cut++) {
            bytes m(whole.begin(), whole.begin() + long(cut));
            run(which, m, true);
        }
        std::mt19937 rng(unsigned(which) + 7);
        for (int round = 0; round < 3000; round++) {
            bytes m(whole);
            for (int k = 0; k < 4; k++)
                m[WR_HEADER_SIZE + rng() % (m.size() - WR_HEADER_SIZE)] = uint8_t(rng());
            run(which, m, false);
        }
    }
    // A name longer than a flow name holds refuses the record instead of cutting it.
    fixture f;
    d.name = "A-flow-name-of-thirty-two-chars!";
    feed(RxFlowQuery, f.rx, &f.h, encode(0x2729, WR_OP_RX_FLOWS, 1, WR_FLOW_RECORDS_RX, {d}));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, f.d.result);
    EXPECT_EQ(0, f.rx->count);
}

} // namespace
