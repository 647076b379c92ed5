// The routing client against simulated routing devices over loopback, on the fake clock: the open
// chain to ACTIVE, paged channel reads, single and batch subscriptions and clears, deadlines, and
// replies that are duplicated, reordered, truncated, renumbered, re-coded or sent from elsewhere.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <functional>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "testnet/tn_routing_device.h"
#include "tests/support/fake_clock.h"
#include "tests/support/routing_client.h"

namespace {

struct completion {
    int calls = 0;
    qnb_error result = -1;
};

struct changes {
    std::vector<uint32_t> bits;
    unsigned count(uint32_t bit) const
    {
        unsigned n = 0;
        for (uint32_t b : bits)
            n += (b & bit) ? 1 : 0;
        return n;
    }
};

completion *g_completion = nullptr;

void on_done(wr_device *, wr_request *, qnb_error result)
{
    if (g_completion) {
        g_completion->calls++;
        g_completion->result = result;
    }
}

void on_changed(wr_device *device, uint32_t bits)
{
    static_cast<changes *>(wr_device_get_context(device))->bits.push_back(bits);
}

class RoutingClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_completion = &done;
        ASSERT_EQ(wr_devices_new(nullptr, &devices), 0);
    }

    void TearDown() override
    {
        for (wr_device *d : opened)
            wr_device_close(d);
        EXPECT_EQ(wr_devices_delete(devices), 0);
        for (tn_routing_device *s : sims)
            tn_routing_device_delete(s);
        g_completion = nullptr;
    }

    tn_routing_device *sim(tn_routing_model model = TN_ROUTING_MODEL_KTV4S, uint16_t page = 16, unsigned unit = 1,
                           void (*adjust)(tn_routing_device_config *) = nullptr)
    {
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, model, unit);
        cfg.page_size = page;
        if (adjust)
            adjust(&cfg);
        qnb_error err = 0;
        tn_routing_device *s = tn_routing_device_new(&cfg, &err);
        EXPECT_NE(s, nullptr) << err;
        sims.push_back(s);
        return s;
    }

    wr_device *open(tn_routing_device *s)
    {
        wr_device *d = nullptr;
        EXPECT_EQ(qz_test::open_loopback_device(devices, tn_routing_device_get_port(s), &d), 0);
        if (d) {
            opened.push_back(d);
            wr_device_set_context(d, &seen);
            wr_device_set_changed_callback(d, on_changed);
        }
        return d;
    }

    // Lets the devices answer and the client read, a few rounds.
    void pump(int rounds = 6)
    {
        for (int i = 0; i < rounds; ++i) {
            for (tn_routing_device *s : sims)
                tn_routing_device_poll(s, 2);
            qnb_socket_set set;
            qnb_socket_set_clear(&set);
            wr_devices_get_sockets(devices, &set);
            unsigned ready = 0;
            qnb_socket_set_wait(&set, 2, &ready);
            wr_devices_process(devices, &set);
        }
    }

    // Pumps until the completion count reaches `calls`.
    bool wait_done(int calls = 1)
    {
        for (int i = 0; i < 200 && done.calls < calls; ++i)
            pump(1);
        return done.calls >= calls;
    }

    wr_device *open_active(tn_routing_device *s)
    {
        wr_device *d = open(s);
        if (!d)
            return nullptr;
        done = completion{};
        EXPECT_EQ(wr_device_query_capabilities(d, on_done, nullptr), 0);
        EXPECT_TRUE(wait_done());
        EXPECT_EQ(done.result, 0);
        done = completion{};
        return d;
    }

    // Reads the rx channels to the end.
    void read_rx(wr_device *d)
    {
        done = completion{};
        wr_request *r = nullptr;
        ASSERT_EQ(wr_device_update(d, on_done, &r, WR_UPDATE_RXCHANNELS), 0);
        ASSERT_NE(r, nullptr);
        ASSERT_TRUE(wait_done());
        ASSERT_EQ(done.result, 0);
        done = completion{};
    }

    // Entries of the last logged request of `opcode` (byte 11) and its ranges.
    std::vector<std::pair<uint16_t, uint16_t>> ranges_of_last(tn_routing_device *s, uint16_t opcode)
    {
        std::vector<std::pair<uint16_t, uint16_t>> out;
        tn_routing_log_entry e;
        for (size_t i = tn_routing_device_log_count(s); i-- > 0;) {
            if (tn_routing_device_log_at(s, i, &e) && e.opcode == opcode) {
                for (unsigned k = 0; k < e.bytes[11] && 12 + 4 * k + 4 <= e.size; ++k)
                    out.emplace_back(wgcp_load_be16(&e.bytes[12 + 4 * k]), wgcp_load_be16(&e.bytes[14 + 4 * k]));
                break;
            }
        }
        return out;
    }

    qz_test::fake_clock clock;
    wr_devices *devices = nullptr;
    std::vector<tn_routing_device *> sims;
    std::vector<wr_device *> opened;
    completion done;
    changes seen;
};

TEST_F(RoutingClient, OpenByAddressReachesActiveWithTheDevicesChannelCounts)
{
    tn_routing_device *s = sim();
    wr_device *d = open(s);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_RESOLVED);
    EXPECT_EQ(wr_device_num_rxchannels(d), 0); // counts only once ACTIVE
    ASSERT_EQ(wr_device_query_capabilities(d, on_done, nullptr), 0);
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_QUERYING);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
    EXPECT_EQ(wr_device_num_txchannels(d), 64);
    EXPECT_EQ(wr_device_num_rxchannels(d), 64);
    EXPECT_STREQ(wr_device_get_name(d), tn_routing_device_get_name(s));
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1000), 1u);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1102), 1u);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1002) + tn_routing_device_request_count(s, 0x1003), 1u);
    EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
    for (unsigned kind = 0; kind <= WR_UPDATE_RXCHANNELS; ++kind)
        EXPECT_TRUE(wr_device_get_changed_flag(d, kind)) << kind;
}

TEST_F(RoutingClient, RxChannelsAreReadInPagesWithOneChangeReportPerPage)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_KTV4S, 16);
    tn_routing_device_set_subscription(s, 5, "01", "T002-RQA310-0002-QZ");
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    seen.bits.clear();
    read_rx(d);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3000), 4u);
    EXPECT_EQ(ranges_of_last(s, 0x3000), (std::vector<std::pair<uint16_t, uint16_t>>{{49, 0}}));
    // One callback per response, the last one also clearing the change flag.
    EXPECT_EQ(seen.count(WR_CHANGE_RXCHANNELS), 4u);
    EXPECT_EQ(seen.bits.size(), 4u);
    EXPECT_FALSE(wr_device_get_changed_flag(d, WR_UPDATE_RXCHANNELS));
    wr_rxchannel *c = wr_device_rxchannel_by_id(d, 5);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(wr_rxchannel_get_subscription(c), "01@T002-RQA310-0002-QZ");
    EXPECT_STREQ(wr_rxchannel_get_name(c), tn_routing_device_rx_name(s, 5));
    EXPECT_EQ(wr_rxchannel_get_subscription(wr_device_rxchannel_by_id(d, 6)), nullptr);
    for (uint16_t id = 1; id <= 64; ++id)
        EXPECT_FALSE(wr_device_rxchannel_by_id(d, id)->stale) << id;
    // Nothing stale: no request, the flag stays clear.
    wr_request *r = reinterpret_cast<wr_request *>(1);
    EXPECT_EQ(wr_device_update(d, on_done, &r, WR_UPDATE_RXCHANNELS), 0);
    EXPECT_EQ(r, nullptr);
}

// Every channel marked stale again after each page (as a caller asking for the list over and over
// does): the read still goes on to the last page, and what was marked again is left to a following
// pass.
TEST_F(RoutingClient, ARxReadMarkedAgainAfterEveryPageStillReachesTheLastPage)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_KTV4S, 16);
    tn_routing_device_set_subscription(s, 64, "07", "T002-RQA310-0002-QZ");
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    done = completion{};
    ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_RXCHANNELS), 0);
    for (int i = 0; i < 200 && done.calls == 0; ++i) {
        pump(1);
        wr_device_mark_changed(d, WR_UPDATE_RXCHANNELS);
    }
    ASSERT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3000), 4u);
    EXPECT_STREQ(wr_rxchannel_get_subscription(wr_device_rxchannel_by_id(d, 64)), "07@T002-RQA310-0002-QZ");
    EXPECT_TRUE(wr_device_get_changed_flag(d, WR_UPDATE_RXCHANNELS));
    read_rx(d);
    EXPECT_FALSE(wr_device_get_changed_flag(d, WR_UPDATE_RXCHANNELS));
}

TEST_F(RoutingClient, BatchOfFortySubscriptionsGoesOutAsSixteenSixteenEightWithOneCompletion)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    std::vector<wr_batch_item> items = qz_test::batch_items(40, "T002-RQA310-0002-QZ");
    wr_request *r = nullptr;
    ASSERT_EQ(wr_device_batch_subscribe(d, on_done, &r, items.size(), items.data()), 0);
    ASSERT_TRUE(wait_done());
    pump(3);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, 0);
    std::vector<unsigned> records;
    tn_routing_log_entry e;
    for (size_t i = 0; i < tn_routing_device_log_count(s); ++i) {
        if (tn_routing_device_log_at(s, i, &e) && e.opcode == 0x3010)
            records.push_back(e.bytes[11]);
    }
    EXPECT_EQ(records, (std::vector<unsigned>{16, 16, 8}));
    EXPECT_EQ(tn_routing_device_subscription_count(s), 40u);
    tn_routing_subscription sub;
    ASSERT_TRUE(tn_routing_device_get_subscription(s, 40, &sub));
    EXPECT_STREQ(sub.tx_channel, "08");
    EXPECT_STREQ(sub.tx_device, "T002-RQA310-0002-QZ");
    EXPECT_TRUE(wr_device_get_changed_flag(d, WR_UPDATE_RXCHANNELS));
    read_rx(d);
    EXPECT_STREQ(wr_rxchannel_get_subscription(wr_device_rxchannel_by_id(d, 40)), "08@T002-RQA310-0002-QZ");
}

TEST_F(RoutingClient, ClearingAWholeDeviceIsOneUnsubscribeOfTheWholeRange)
{
    tn_routing_device *s = sim();
    for (uint16_t id = 1; id <= 64; ++id)
        tn_routing_device_set_subscription(s, id, "02", "T002-RQA310-0002-QZ");
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    std::vector<wr_batch_item> items = qz_test::batch_items(64, nullptr);
    wr_request *r = nullptr;
    ASSERT_EQ(wr_device_batch_subscribe(d, on_done, &r, items.size(), items.data()), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3014), 1u);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3010), 0u);
    EXPECT_EQ(ranges_of_last(s, 0x3014), (std::vector<std::pair<uint16_t, uint16_t>>{{1, 64}}));
    EXPECT_EQ(tn_routing_device_subscription_count(s), 0u);
}

TEST_F(RoutingClient, SingleSubscribeAndClear)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    read_rx(d);
    wr_rxchannel *c = wr_device_rxchannel_by_id(d, 3);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(wr_rxchannel_subscribe(c, on_done, nullptr, "T002-RQA310-0002-QZ", "05"), 0);
    EXPECT_TRUE(c->stale);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    tn_routing_subscription sub;
    ASSERT_TRUE(tn_routing_device_get_subscription(s, 3, &sub));
    EXPECT_STREQ(sub.tx_channel, "05");
    read_rx(d);
    EXPECT_STREQ(wr_rxchannel_get_subscription(c), "05@T002-RQA310-0002-QZ");
    EXPECT_STREQ(wr_rxchannel_get_subscription_channel(c), "05");
    EXPECT_STREQ(wr_rxchannel_get_subscription_device(c), "T002-RQA310-0002-QZ");

    ASSERT_EQ(wr_rxchannel_subscribe(c, on_done, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(ranges_of_last(s, 0x3014), (std::vector<std::pair<uint16_t, uint16_t>>{{0, 3}}));
    EXPECT_EQ(tn_routing_device_subscription_count(s), 0u);
    read_rx(d);
    EXPECT_EQ(wr_rxchannel_get_subscription(c), nullptr);
}

TEST_F(RoutingClient, SubscribeArgumentsAreCheckedBeforeAnythingIsSent)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    read_rx(d);
    tn_routing_device_clear_log(s);
    wr_rxchannel *c = wr_device_rxchannel_by_id(d, 3);
    c->mode &= uint8_t(~WR_RX_MODE_LOCAL); // as a channel that may not take the local device
    struct {
        const char *device;
        const char *channel;
        qnb_error expected;
    } cases[] = {
        {nullptr, "01", QNB_ERR_INVALIDPARAMETER},     // a channel without a device
        {"a.b", "01", QNB_ERR_INVALIDPARAMETER},       // a dot inside a device name
        {"dev", "0@1", QNB_ERR_INVALIDPARAMETER},      // a bad channel name
        {".", "01", QNB_ERR_NOTSUPPORTED},             // the local device without mode bit 0
        {"dev", "012345678901234567890123456789012", QNB_ERR_INVALIDPARAMETER},
    };
    for (auto &k : cases)
        EXPECT_EQ(wr_rxchannel_subscribe(c, on_done, nullptr, k.device, k.channel), k.expected) << k.channel;
    std::vector<wr_batch_item> items(2);
    memset(items.data(), 0, items.size() * sizeof items[0]);
    items[0].rx_channel = 1;
    items[1].rx_channel = 0; // invalid
    wr_request *r = nullptr;
    EXPECT_EQ(wr_device_batch_subscribe(d, on_done, &r, items.size(), items.data()), QNB_ERR_INVALIDPARAMETER);
    items[1].rx_channel = 2;
    snprintf(items[1].tx_channel, sizeof items[1].tx_channel, "01");
    snprintf(items[1].tx_device, sizeof items[1].tx_device, "x.y");
    EXPECT_EQ(wr_device_batch_subscribe(d, on_done, &r, items.size(), items.data()), QNB_ERR_INVALIDPARAMETER);
    snprintf(items[1].tx_device, sizeof items[1].tx_device, ".");
    EXPECT_EQ(wr_device_batch_subscribe(d, on_done, &r, items.size(), items.data()), 0); // "." passes
    EXPECT_TRUE(wait_done());
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3014), 0u);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3010), 1u);
}

TEST_F(RoutingClient, ASilentDeviceGetsOneResendAndTimesOutAfterThreeSeconds)
{
    tn_routing_device *s = sim();
    tn_routing_device_set_silent(s, true);
    wr_device *d = open(s);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(wr_device_query_capabilities(d, on_done, nullptr), 0);
    qnb_timeval due;
    ASSERT_TRUE(wr_devices_next_deadline(devices, &due));
    EXPECT_EQ(due.tv_sec, clock.now().tv_sec + 1);
    pump(2);
    clock.advance(0, 999999);
    pump(2);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1000), 1u);
    clock.advance(0, 1);
    pump(2);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1000), 2u);
    tn_routing_log_entry first, second;
    ASSERT_TRUE(tn_routing_device_log_at(s, 0, &first));
    ASSERT_TRUE(tn_routing_device_log_at(s, 1, &second));
    EXPECT_EQ(first.seqnum, second.seqnum);
    clock.advance(1, 999999);
    pump(2);
    EXPECT_EQ(done.calls, 0);
    clock.advance(0, 1);
    pump(1);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, QNB_ERR_TIMEDOUT);
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ERROR); // it can be opened again
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1000), 2u);
    EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
    EXPECT_FALSE(wr_devices_next_deadline(devices, &due));
}

TEST_F(RoutingClient, AResendAnsweredTwiceCompletesOnce)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    tn_routing_device_set_delay_ms(s, 1500); // the answer arrives after the resend
    ASSERT_EQ(wr_rxchannel_subscribe(wr_device_rxchannel_by_id(d, 1), on_done, nullptr, "dev", "01"), 0);
    pump(2);
    clock.advance(1);
    pump(2);
    clock.advance(1);
    ASSERT_TRUE(wait_done());
    clock.advance(1);
    pump(4);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3010), 2u);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.result, 0);
}

// Replies that are not the reply the request waits for change nothing: the device stays where it
// was, and the request ends with its deadline.
TEST_F(RoutingClient, StrayRepliesAreDroppedWithoutTouchingTheDevice)
{
    struct {
        const char *what;
        unsigned faults;
    } cases[] = {
        {"wrong sequence number", TN_ROUTING_FAULT_WRONG_SEQNUM},
        {"wrong opcode", TN_ROUTING_FAULT_WRONG_OPCODE},
        {"another port", TN_ROUTING_FAULT_OTHER_PORT},
        {"truncated", TN_ROUTING_FAULT_TRUNCATE},
    };
    for (auto &k : cases) {
        SCOPED_TRACE(k.what);
        tn_routing_device *s = sim();
        wr_device *d = open_active(s);
        ASSERT_NE(d, nullptr);
        read_rx(d);
        tn_routing_device_set_truncate(s, 8, false);
        tn_routing_device_set_faults(s, k.faults, 0);
        seen.bits.clear();
        ASSERT_EQ(wr_rxchannel_subscribe(wr_device_rxchannel_by_id(d, 2), on_done, nullptr, "dev", "01"), 0);
        ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_RXCHANNELS), 0);
        pump(4);
        EXPECT_EQ(done.calls, 0);
        EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
        EXPECT_EQ(seen.count(WR_CHANGE_RXCHANNELS | WR_CHANGE_STATE), 0u);
        EXPECT_STREQ(wr_rxchannel_get_subscription(wr_device_rxchannel_by_id(d, 2)), nullptr);
        clock.advance(3);
        pump(1);
        EXPECT_EQ(done.calls, 2);
        EXPECT_EQ(done.result, QNB_ERR_TIMEDOUT);
        EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
        done = completion{};
    }
}

TEST_F(RoutingClient, DuplicatedRepliesCompleteOnceAndPagesStayInStep)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_KTV4S, 16);
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    tn_routing_device_set_faults(s, TN_ROUTING_FAULT_DUPLICATE, 0);
    read_rx(d);
    pump(4);
    EXPECT_EQ(done.calls, 0);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3000), 4u);
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
}

TEST_F(RoutingClient, RepliesOfTwoDevicesInReverseOrderReachTheirOwnRequests)
{
    tn_routing_device *slow = sim(TN_ROUTING_MODEL_KTV4S, 16, 1);
    tn_routing_device *fast = sim(TN_ROUTING_MODEL_RQA310, 16, 2);
    wr_device *a = open_active(slow);
    wr_device *b = open_active(fast);
    ASSERT_TRUE(a && b);
    tn_routing_device_set_delay_ms(slow, 500);
    ASSERT_EQ(wr_rxchannel_subscribe(wr_device_rxchannel_by_id(a, 1), on_done, nullptr, "T002-RQA310-0002-QZ", "02"),
              0);
    ASSERT_EQ(wr_rxchannel_subscribe(wr_device_rxchannel_by_id(b, 2), on_done, nullptr, "T001-KTV4S-0001-QZ", "07"),
              0);
    ASSERT_TRUE(wait_done(1));
    clock.advance(0, 600000);
    ASSERT_TRUE(wait_done(2));
    EXPECT_EQ(done.result, 0);
    tn_routing_subscription sub;
    ASSERT_TRUE(tn_routing_device_get_subscription(slow, 1, &sub));
    EXPECT_STREQ(sub.tx_channel, "02");
    ASSERT_TRUE(tn_routing_device_get_subscription(fast, 2, &sub));
    EXPECT_STREQ(sub.tx_channel, "07");
}

TEST_F(RoutingClient, ErrorResultsAreMappedAndTheQueryFailureSendsTheDeviceToError)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    tn_routing_device_set_result(s, 0x3010, 0x0100);
    ASSERT_EQ(wr_rxchannel_subscribe(wr_device_rxchannel_by_id(d, 1), on_done, nullptr, "dev", "01"), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, QNB_ERR_INVALIDDATA);
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);

    tn_routing_device *t = sim(TN_ROUTING_MODEL_RQA310, 16, 3);
    tn_routing_device_set_result(t, 0x1000, 0x0020);
    wr_device *e = open(t);
    done = completion{};
    ASSERT_EQ(wr_device_query_capabilities(e, on_done, nullptr), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, QNB_ERR_MSGSIZE);
    EXPECT_EQ(wr_device_get_state(e), WR_DEVICE_STATE_ERROR);
}

// Results with bit 15 set go to the opcode's handler whatever their low bits say: a subscribe, a
// batch subscribe, a clear (single and whole device), a rename and a one-channel query that the
// device refused complete with the error; bit 15 with a success value stays success.
TEST_F(RoutingClient, RefusalsWithTheReplyBitCompleteWithTheirError)
{
    // A device whose transmit-channel pages are followed by the channels' values.
    tn_routing_device *s = sim(TN_ROUTING_MODEL_KTV4S, 16, 1,
                               [](tn_routing_device_config *cfg) { cfg->capability_word |= WR_CAPS_WORD_TX_VALUES; });
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    read_rx(d);
    wr_rxchannel *c = wr_device_rxchannel_by_id(d, 3);
    std::vector<wr_batch_item> subscribe = qz_test::batch_items(40, "T002-RQA310-0002-QZ");
    std::vector<wr_batch_item> clear = qz_test::batch_items(64, nullptr);
    struct operation {
        const char *name;
        uint16_t opcode;
        unsigned messages; // of the opcode when the device accepts them all
        std::function<qnb_error()> send;
    } operations[] = {
        {"subscribe", 0x3010, 1, [&] { return wr_rxchannel_subscribe(c, on_done, nullptr, "T002-RQA310-0002-QZ", "05"); }},
        {"batch subscribe", 0x3010, 3,
         [&] {
             wr_request *r = nullptr;
             return wr_device_batch_subscribe(d, on_done, &r, subscribe.size(), subscribe.data());
         }},
        {"clear", 0x3014, 1, [&] { return wr_rxchannel_subscribe(c, on_done, nullptr, nullptr, nullptr); }},
        {"device clear", 0x3014, 1,
         [&] {
             wr_request *r = nullptr;
             return wr_device_batch_subscribe(d, on_done, &r, clear.size(), clear.data());
         }},
        {"rename", 0x3001, 1, [&] { return wr_rxchannel_set_name(c, on_done, nullptr, "Left"); }},
        {"channel query", 0x3031, 1, [&] { return wr_rxchannel_query(c, on_done, nullptr, true); }},
    };
    const struct {
        uint16_t result;
        qnb_error expected;
    } results[] = {{0x8100, QNB_ERR_INVALIDDATA}, {0x8600, QNB_ERR_POLICY}, {0x8001, 0}};
    for (const auto &k : results) {
        for (const operation &op : operations) {
            SCOPED_TRACE(::testing::Message() << op.name << " answered 0x" << std::hex << k.result);
            tn_routing_device_set_result(s, op.opcode, k.result);
            tn_routing_device_clear_log(s);
            done = completion{};
            ASSERT_EQ(op.send(), 0);
            ASSERT_TRUE(wait_done());
            pump(2);
            EXPECT_EQ(done.calls, 1);
            EXPECT_EQ(done.result, k.expected);
            // A refused batch message ends the batch; what the device holds is to be read again.
            EXPECT_EQ(tn_routing_device_request_count(s, op.opcode), k.expected ? 1u : op.messages);
            EXPECT_TRUE(wr_device_get_changed_flag(d, WR_UPDATE_RXCHANNELS));
            EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
            tn_routing_device_set_result(s, op.opcode, 0);
            read_rx(d);
        }
    }
    // The values that follow a transmit-channel page: refused, the channels stay to be read again.
    tn_routing_device_set_result(s, 0x2032, 0x8100);
    done = completion{};
    wr_request *r = nullptr;
    ASSERT_EQ(wr_device_update(d, on_done, &r, WR_UPDATE_TXCHANNELS), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(tn_routing_device_request_count(s, 0x2032), 1u);
    EXPECT_EQ(done.result, QNB_ERR_INVALIDDATA);
    EXPECT_TRUE(wr_device_get_changed_flag(d, WR_UPDATE_TXCHANNELS));
}

// A channel page the device refuses (the reply bit with an error) is no read of an empty page: the
// read ends with the error, every channel keeps what it held and stays to be read, and the next
// read brings the table.
TEST_F(RoutingClient, RefusedChannelPagesEndTheReadWithTheirErrorAndKeepTheTable)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_KTV4S, 16);
    tn_routing_device_set_subscription(s, 5, "01", "T002-RQA310-0002-QZ");
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    read_rx(d);
    done = completion{};
    ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_TXCHANNELS), 0);
    ASSERT_TRUE(wait_done());
    ASSERT_EQ(done.result, 0);
    const struct {
        uint16_t result;
        qnb_error expected;
    } results[] = {{0x8100, QNB_ERR_INVALIDDATA}, {0x8600, QNB_ERR_POLICY}, {0x80F0, QNB_ERR_INVALIDSTATE}};
    for (uint16_t opcode : {uint16_t(0x3000), uint16_t(0x2000)}) {
        const unsigned kind = opcode == 0x3000 ? WR_UPDATE_RXCHANNELS : WR_UPDATE_TXCHANNELS;
        for (const auto &k : results) {
            SCOPED_TRACE(::testing::Message() << std::hex << opcode << " answered 0x" << k.result);
            tn_routing_device_set_result(s, opcode, k.result);
            wr_device_mark_changed(d, kind);
            done = completion{};
            ASSERT_EQ(wr_device_update(d, on_done, nullptr, kind), 0);
            ASSERT_TRUE(wait_done());
            pump(2);
            EXPECT_EQ(done.calls, 1);
            EXPECT_EQ(done.result, k.expected);
            EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
            EXPECT_TRUE(wr_device_get_changed_flag(d, kind));
            EXPECT_STREQ(wr_rxchannel_get_subscription(wr_device_rxchannel_by_id(d, 5)), "01@T002-RQA310-0002-QZ");
            EXPECT_EQ(wr_device_find_txchannel_by_name(d, "64", WR_MATCH_NAME), wr_device_txchannel_by_id(d, 64));
            EXPECT_TRUE(opcode == 0x3000 ? wr_device_rxchannel_by_id(d, 64)->stale
                                         : wr_device_txchannel_by_id(d, 64)->stale);
        }
        tn_routing_device_set_result(s, opcode, 0);
        done = completion{};
        ASSERT_EQ(wr_device_update(d, on_done, nullptr, kind), 0);
        ASSERT_TRUE(wait_done());
        EXPECT_EQ(done.result, 0);
        EXPECT_FALSE(wr_device_get_changed_flag(d, kind));
    }
}

// A label change the device refuses (the reply bit with an error) completes with that error and
// leaves the label table as the device keeps it: a removal keeps the label, an add adds none.
TEST_F(RoutingClient, RefusedLabelChangesCompleteWithTheirErrorAndKeepTheTable)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_RQA310, 16, 5, [](tn_routing_device_config *c) { c->label_slots = 4; });
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_TXCHANNELS), 0);
    ASSERT_TRUE(wait_done());
    wr_txchannel *one = wr_device_txchannel_by_id(d, 1);
    wr_txchannel *two = wr_device_txchannel_by_id(d, 2);
    done = completion{};
    ASSERT_EQ(wr_txlabel_add(one, on_done, nullptr, "Stage", 0), 0);
    ASSERT_TRUE(wait_done());
    ASSERT_EQ(done.result, 0);
    const struct {
        uint16_t result;
        qnb_error expected;
    } results[] = {{0x8100, QNB_ERR_INVALIDDATA}, {0x8600, QNB_ERR_POLICY}};
    for (const auto &k : results) {
        tn_routing_device_set_result(s, 0x2011, k.result);
        const std::function<qnb_error()> changes[] = {
            [&] { return wr_txlabel_remove(one, on_done, nullptr, "Stage"); },
            [&] { return wr_txlabel_add(two, on_done, nullptr, "Foyer", 0); },
        };
        for (const auto &change : changes) {
            SCOPED_TRACE(::testing::Message() << (&change == changes ? "remove" : "add") << " answered 0x" << std::hex
                                              << k.result);
            done = completion{};
            ASSERT_EQ(change(), 0);
            ASSERT_TRUE(wait_done());
            pump(2);
            EXPECT_EQ(done.calls, 1);
            EXPECT_EQ(done.result, k.expected);
            EXPECT_EQ(wr_device_find_txchannel_by_name(d, "Stage", WR_MATCH_LABEL), one);
            EXPECT_EQ(wr_device_find_txchannel_by_name(d, "Foyer", WR_MATCH_LABEL), nullptr);
        }
    }
    uint16_t tx = 0;
    EXPECT_STREQ(tn_routing_device_label(s, 1, &tx), "Stage");
}

TEST_F(RoutingClient, ADeviceWithoutCapabilitiesBecomesActiveWithNoChannels)
{
    tn_routing_device *s = sim();
    tn_routing_device_set_result(s, 0x1000, 0x0601);
    wr_device *d = open(s);
    ASSERT_EQ(wr_device_query_capabilities(d, on_done, nullptr), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
    EXPECT_EQ(wr_device_num_rxchannels(d), 0);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1102), 0u);
}

TEST_F(RoutingClient, TransmitChannelsAreFoundByName)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_RQA310);
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    done = completion{};
    ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_TXCHANNELS), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    const char *name = tn_routing_device_tx_name(s, 2);
    ASSERT_NE(name, nullptr);
    wr_txchannel *c = wr_device_find_txchannel_by_name(d, name, WR_MATCH_NAME);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->id, 2);
    EXPECT_EQ(wr_device_find_txchannel_by_name(d, "nothing", WR_MATCH_NAME | WR_MATCH_LABEL), nullptr);
}

TEST_F(RoutingClient, PropertiesAndPerformanceValuesGiveTheLatency)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(wr_device_get_latency_ms(d), 0u);
    ASSERT_TRUE(wr_device_get_changed_flag(d, WR_UPDATE_PROPERTIES));
    seen.bits.clear();
    ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_PROPERTIES), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1100), 1u);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3300), 1u);
    EXPECT_EQ(wr_device_get_latency_ms(d), 1u); // 1000000 ns
    EXPECT_TRUE(d->properties.performance_valid);
    EXPECT_EQ(d->properties.performance[0], 4);
    EXPECT_EQ(d->properties.performance[1], 48);
    EXPECT_STREQ(d->properties.text, "KTV4-S");
    EXPECT_FALSE(wr_device_get_changed_flag(d, WR_UPDATE_PROPERTIES));
    EXPECT_EQ(seen.count(WR_CHANGE_PERFORMANCE), 2u); // one per response
}

TEST_F(RoutingClient, UnicastPerformanceSetsTheLatencyOnTheDevice)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(wr_device_set_unicast_performance_us(d, 2000, 32, on_done, nullptr), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(tn_routing_device_latency_ns(s), 2000000u);
    EXPECT_EQ(wr_device_get_latency_ms(d), 2u);
    // Without any settable latency property and with a router of 3.0.0 or later nothing is sent.
    d->property_masks[1] = 0;
    d->router_version = wr_router_version{4, 2, 1};
    EXPECT_EQ(wr_device_set_unicast_performance_us(d, 2000, 32, on_done, nullptr), QNB_ERR_NOTSUPPORTED);
    d->arcp_version = 0x2600;
    EXPECT_EQ(wr_device_set_unicast_performance_us(d, 2000, 32, on_done, nullptr), QNB_ERR_VERSION);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1101), 1u);
}

TEST_F(RoutingClient, TheExtendedNamesQueryGivesNamesAndVersions)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_RQA310, 16, 4, [](tn_routing_device_config *c) {
        c->capability_word = 1u << 8;
        c->router_major = 5;
        c->router_minor = 1;
        c->router_patch = 9;
    });
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x1003), 1u);
    EXPECT_STREQ(wr_device_get_name(d), tn_routing_device_get_name(s));
    EXPECT_EQ(d->router_version.major, 5);
    EXPECT_EQ(d->router_version.minor, 1);
    EXPECT_EQ(d->router_version.patch, 9);
}

TEST_F(RoutingClient, LabelsAreAddedReadAndCheckedAgainstNames)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_RQA310, 16, 5, [](tn_routing_device_config *c) { c->label_slots = 4; });
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_TXCHANNELS), 0);
    ASSERT_TRUE(wait_done());
    done = completion{};
    wr_txchannel *one = wr_device_txchannel_by_id(d, 1);
    wr_txchannel *two = wr_device_txchannel_by_id(d, 2);
    ASSERT_EQ(wr_txlabel_add(one, on_done, nullptr, "Stage", 0), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    uint16_t tx = 0;
    ASSERT_NE(tn_routing_device_label(s, 1, &tx), nullptr);
    EXPECT_STREQ(tn_routing_device_label(s, 1, &tx), "Stage");
    EXPECT_EQ(tx, 1);
    EXPECT_EQ(wr_device_find_txchannel_by_name(d, "stage", WR_MATCH_LABEL), one);
    EXPECT_EQ(wr_device_find_txchannel_by_name(d, "stage", WR_MATCH_NAME), nullptr);
    // Refused before anything is sent.
    unsigned sent = tn_routing_device_request_count(s, 0x2011);
    EXPECT_EQ(wr_txlabel_add(one, on_done, nullptr, "Stage", 0), 0);            // already there
    EXPECT_EQ(wr_txlabel_add(one, on_done, nullptr, one->name, 0), WR_ERR_LABEL_OWN_NAME);
    EXPECT_EQ(wr_txlabel_add(one, on_done, nullptr, two->name, 0), WR_ERR_LABEL_CHANNEL_NAME);
    EXPECT_EQ(wr_txlabel_add(two, on_done, nullptr, "STAGE", 0), WR_ERR_LABEL_OTHER_CHANNEL);
    EXPECT_EQ(wr_txlabel_remove(one, on_done, nullptr, "Nothing"), WR_ERR_LABEL_UNKNOWN);
    EXPECT_EQ(wr_txlabel_replace(two, on_done, nullptr, "Stage", "Other", 0), QNB_ERR_NOTFOUND);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x2011), sent);
    // Read back from the device.
    memset(d->labels, 0, sizeof(wr_txlabel) * d->num_labels);
    done = completion{};
    ASSERT_EQ(wr_device_mark_changed(d, WR_UPDATE_TXLABELS), 0);
    ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_TXLABELS), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    wr_txlabel_item items[4];
    size_t count = 4;
    ASSERT_EQ(wr_txchannel_get_labels(one, &count, items), 0);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(items[0].name, "Stage");
    EXPECT_EQ(items[0].label_id, 1);
    // Replace, then remove.
    done = completion{};
    ASSERT_EQ(wr_txlabel_replace(one, on_done, nullptr, "Stage", "Front", 0), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    EXPECT_STREQ(tn_routing_device_label(s, 1, &tx), "Front");
    EXPECT_EQ(wr_device_find_txchannel_by_name(d, "front", WR_MATCH_LABEL), one);
    done = completion{};
    ASSERT_EQ(wr_txlabel_remove(one, on_done, nullptr, "Front"), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(tn_routing_device_label(s, 1, &tx), nullptr);
    count = 4;
    ASSERT_EQ(wr_txchannel_get_labels(one, &count, items), 0);
    EXPECT_EQ(count, 0u);
}

TEST_F(RoutingClient, RenameAndOneChannelQueries)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_RQA310);
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    read_rx(d);
    wr_rxchannel *c = wr_device_rxchannel_by_id(d, 2);
    ASSERT_EQ(wr_rxchannel_set_name(c, on_done, nullptr, "Left"), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_STREQ(tn_routing_device_rx_name(s, 2), "Left");
    EXPECT_EQ(wr_rxchannel_set_name(c, on_done, nullptr, "a@b"), QNB_ERR_INVALIDPARAMETER);
    done = completion{};
    ASSERT_EQ(wr_rxchannel_query(c, on_done, nullptr, true), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_TRUE(tn_routing_device_rx_muted(s, 2));
    read_rx(d);
    EXPECT_STREQ(wr_rxchannel_get_name(c), "Left");
    EXPECT_TRUE(wr_channel_is_flag0(c));
}

// An rx page body with one entry of channel `id` named "X".
std::vector<uint8_t> rx_page(uint16_t id)
{
    std::vector<uint8_t> b(2 + 20 + 2, 0);
    b[0] = 1;
    b[1] = 1;
    wgcp_store_be16(&b[2], id);
    wgcp_store_be16(&b[2 + 10], 10 + 22); // name offset from the message start
    b[22] = 'X';
    return b;
}

TEST_F(RoutingClient, PagesThatDoNotFitTheLayoutOrMakeNoProgressEndTheRead)
{
    struct {
        const char *what;
        uint16_t id;
        uint16_t result;
        qnb_error expected;
        int state;
        unsigned requests;
    } cases[] = {
        {"id beyond the count", 65, 0x0001, WR_ERR_LAYOUT, WR_DEVICE_STATE_ERROR, 1},
        {"id 0", 0, 0x0001, WR_ERR_LAYOUT, WR_DEVICE_STATE_ERROR, 1},
        {"the same page again and again", 1, 0x8112, QNB_ERR_INVALIDDATA, WR_DEVICE_STATE_ACTIVE, 2},
    };
    unsigned unit = 1;
    for (auto &k : cases) {
        SCOPED_TRACE(k.what);
        tn_routing_device *s = sim(TN_ROUTING_MODEL_KTV4S, 16, unit++);
        wr_device *d = open_active(s);
        ASSERT_NE(d, nullptr);
        std::vector<uint8_t> body = rx_page(k.id);
        ASSERT_EQ(tn_routing_device_set_body(s, 0x3000, k.result, body.data(), body.size()), 0);
        done = completion{};
        ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_RXCHANNELS), 0);
        ASSERT_TRUE(wait_done());
        EXPECT_EQ(done.result, k.expected);
        EXPECT_EQ(wr_device_get_state(d), k.state);
        EXPECT_EQ(tn_routing_device_request_count(s, 0x3000), k.requests);
    }
}

TEST_F(RoutingClient, AnswersOvertakingEachOtherOnOneDeviceReachTheirOwnRequests)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    tn_routing_device_delay_nth(s, 1, 400);
    ASSERT_EQ(wr_rxchannel_subscribe(wr_device_rxchannel_by_id(d, 1), on_done, nullptr, "devA", "01"), 0);
    ASSERT_EQ(wr_rxchannel_subscribe(wr_device_rxchannel_by_id(d, 2), on_done, nullptr, nullptr, nullptr), 0);
    ASSERT_TRUE(wait_done(1));
    EXPECT_EQ(done.result, 0);
    clock.advance(0, 500000);
    ASSERT_TRUE(wait_done(2));
    EXPECT_EQ(done.result, 0);
    tn_routing_subscription sub;
    ASSERT_TRUE(tn_routing_device_get_subscription(s, 1, &sub));
    EXPECT_STREQ(sub.tx_device, "devA");
    EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
}

TEST_F(RoutingClient, TheLastTxPageIsFollowedByTheValuesWhenTheDeviceAsks)
{
    tn_routing_device *s = sim(TN_ROUTING_MODEL_KTV4S, 16, 1, [](tn_routing_device_config *c) {
        c->capability_word = 1u << 9;
    });
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    // Channels 3 to 70 (clamped to 64) take 0x0042.
    std::vector<uint8_t> body = {1, 1, 0, 3, 0, 70, 0, 0x42};
    ASSERT_EQ(tn_routing_device_set_body(s, 0x2032, 0x0001, body.data(), body.size()), 0);
    seen.bits.clear();
    ASSERT_EQ(wr_device_update(d, on_done, nullptr, WR_UPDATE_TXCHANNELS), 0);
    ASSERT_TRUE(wait_done());
    EXPECT_EQ(done.result, 0);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x2000), 4u);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x2032), 1u);
    EXPECT_EQ(wr_device_txchannel_by_id(d, 2)->value, WR_VALUE_NONE);
    EXPECT_EQ(wr_device_txchannel_by_id(d, 3)->value, 0x42);
    EXPECT_EQ(wr_device_txchannel_by_id(d, 64)->value, 0x42);
    EXPECT_FALSE(wr_device_get_changed_flag(d, WR_UPDATE_TXCHANNELS));
    EXPECT_EQ(seen.bits.size(), 5u); // four pages and the values, one report each
}

} // namespace

TEST_F(RoutingClient, FlowTablesAreReadToTheEndAgainstTheSimulatedDevice)
{
    tn_routing_device *s = sim();
    wr_device *d = open_active(s);
    ASSERT_NE(d, nullptr);
    for (unsigned kind : {unsigned(WR_UPDATE_TXFLOWS), unsigned(WR_UPDATE_RXFLOWS)}) {
        done = completion{};
        wr_request *r = nullptr;
        ASSERT_TRUE(wr_device_get_changed_flag(d, kind));
        ASSERT_EQ(wr_device_update(d, on_done, &r, kind), 0);
        ASSERT_NE(r, nullptr);
        ASSERT_TRUE(wait_done());
        EXPECT_EQ(done.result, 0);
        EXPECT_FALSE(wr_device_get_changed_flag(d, kind));
        EXPECT_EQ(wr_device_get_state(d), WR_DEVICE_STATE_ACTIVE);
    }
    EXPECT_EQ(tn_routing_device_request_count(s, 0x2200), 1u);
    EXPECT_EQ(tn_routing_device_request_count(s, 0x3200), 1u);
    EXPECT_EQ(wr_devices_requests_in_use(devices), 0u);
}
