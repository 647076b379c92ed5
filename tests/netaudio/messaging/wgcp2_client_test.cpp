#include "netaudio/messaging/wgcp2_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_loop.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"

namespace {

const qnb_timeval k_interval = {10, 0};
const qnb_timeval k_timeout = {31, 0};
const uint16_t k_other = 272; // any opcode but the handshake's

struct recorded {
    uint32_t flags;
    bool with_request;
    bool with_message;
    qnb_error error;
    uint16_t opcode;
    uint16_t status;
    int state; // client state during the call
};

class Wgcp2ClientTest : public ::testing::Test {
protected:
    qz_test::fake_clock clock;
    qnb_env env{};
    tn_udp_peer server{};
    qnb_socket sock = QNB_SOCKET_INVALID;
    wgcp2_client *client = nullptr;
    std::vector<recorded> events;
    qnb_timeval next{0, 0};

    void SetUp() override
    {
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_open(&server, 0));
        open_socket();
    }

    void TearDown() override
    {
        wgcp2_client_delete(client);
        qnb_socket_close(&sock);
        tn_udp_peer_close(&server);
    }

    void open_socket()
    {
        qnb_socket_close(&sock);
        qnb_sockaddr to;
        qnb_sockaddr_set(&to, htonl(INADDR_LOOPBACK), server.port);
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_open_connected(&sock, &to));
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_set_nonblocking(sock, 0));
    }

    void make(bool handshake, bool wait_for_disconnect = false, bool loop_mode = false)
    {
        wgcp2_client_delete(client);
        events.clear();
        client = wgcp2_client_new(&env, loop_mode, WGCP_KIND_EXTENDED, true);
        ASSERT_NE(nullptr, client);
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_initialise(client, nullptr, sock, handshake, wait_for_disconnect, nullptr));
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_set_keepalives(client, 0x1001, &k_interval, &k_timeout));
        wgcp2_client_set_context(client, this);
        wgcp2_client_set_callback(client, &Wgcp2ClientTest::record);
        tn_udp_peer_drain(&server);
    }

    static void record(wgcp2_client *c, const wgcp2_event *e)
    {
        auto *self = static_cast<Wgcp2ClientTest *>(wgcp2_client_get_context(c));
        recorded r{e->flags, e->request != nullptr, e->message != nullptr, e->error, 0, 0, wgcp2_client_get_state(c)};
        if (e->message) {
            r.opcode = wgcp_header_get_opcode(e->message->packet);
            r.status = wgcp_header_get_status(e->message->packet);
        }
        self->events.push_back(r);
    }

    // Sends a request of `opcode` in the client's slot.
    qnb_error request(uint16_t opcode, wgcp2_request **out = nullptr)
    {
        wgcp2_request *slot = nullptr;
        qnb_error err = wgcp2_client_alloc_request(client, &slot);
        if (err)
            return err;
        wgcp_message_init_request(&slot->message, 0x1001, opcode);
        if (out)
            *out = slot;
        return wgcp2_client_send_request(slot);
    }

    // The next datagram at the server, decoded; false when none came within a second.
    bool server_receive(wgcp_header *h, size_t *size_out = nullptr)
    {
        uint8_t buf[2048];
        size_t size = sizeof buf;
        if (tn_udp_peer_receive(&server, buf, &size, 1000) != QNB_ERR_SUCCESS)
            return false;
        if (size_out)
            *size_out = size;
        return wgcp_header_decode(buf, size, h) == QNB_ERR_SUCCESS;
    }

    bool server_silent()
    {
        uint8_t buf[2048];
        size_t size = sizeof buf;
        return tn_udp_peer_receive(&server, buf, &size, 50) == QNB_ERR_TIMEDOUT;
    }

    // Sends `bytes` to the client and processes them.
    qnb_error deliver(const std::vector<uint8_t> &bytes)
    {
        EXPECT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_reply(&server, bytes.data(), bytes.size()));
        EXPECT_TRUE(tn_wait_readable(sock, 1000));
        return wgcp2_client_process(client, &next);
    }

    static std::vector<uint8_t> message(uint16_t seqnum, uint16_t opcode, uint16_t status, size_t size = 20)
    {
        std::vector<uint8_t> m(size, 0);
        wgcp_header_init(m.data(), 0x1001, seqnum, opcode);
        wgcp_header_set_length(m.data(), static_cast<uint16_t>(size));
        wgcp_header_set_status(m.data(), status);
        return m;
    }

    // Answers the request the server just received.
    qnb_error answer(const wgcp_header &h, uint16_t status)
    {
        return deliver(message(h.seqnum, h.opcode, status));
    }

    // Drives a fresh handshake client into `state`; the slot is free afterwards.
    void drive_to(int state)
    {
        make(true, state == WGCP2_STATE_DISCONNECTING);
        if (state == WGCP2_STATE_DISCONNECTED)
            return;
        wgcp2_request *slot = nullptr;
        ASSERT_EQ(QNB_ERR_SUCCESS, request(WGCP2_OPCODE_CONNECT, &slot));
        wgcp_header h;
        ASSERT_TRUE(server_receive(&h));
        if (state == WGCP2_STATE_CONNECTING) {
            wgcp2_client_release_request(slot);
        } else {
            ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, WGCP_STATUS_RESPONSE));
            if (state == WGCP2_STATE_DISCONNECTING) {
                ASSERT_EQ(QNB_ERR_SUCCESS, request(WGCP2_OPCODE_DISCONNECT, &slot));
                wgcp2_client_release_request(slot);
            }
        }
        ASSERT_EQ(state, wgcp2_client_get_state(client));
        tn_udp_peer_drain(&server);
        events.clear();
    }
};

TEST_F(Wgcp2ClientTest, HandshakeGatesRequestsByState)
{
    struct row {
        int state;
        uint16_t opcode;
        qnb_error expected;
    } rows[] = {
        {0, WGCP2_OPCODE_CONNECT, QNB_ERR_SUCCESS},       {0, WGCP2_OPCODE_DISCONNECT, QNB_ERR_INVALIDSTATE},
        {0, k_other, QNB_ERR_INVALIDSTATE},               {1, WGCP2_OPCODE_CONNECT, QNB_ERR_INVALIDSTATE},
        {1, WGCP2_OPCODE_DISCONNECT, QNB_ERR_SUCCESS},    {1, k_other, QNB_ERR_INVALIDSTATE},
        {2, WGCP2_OPCODE_CONNECT, QNB_ERR_INVALIDSTATE},  {2, WGCP2_OPCODE_DISCONNECT, QNB_ERR_SUCCESS},
        {2, k_other, QNB_ERR_SUCCESS},                    {3, WGCP2_OPCODE_CONNECT, QNB_ERR_INVALIDSTATE},
        {3, WGCP2_OPCODE_DISCONNECT, QNB_ERR_SUCCESS},    {3, k_other, QNB_ERR_INVALIDSTATE},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(testing::Message() << "state " << t.state << " opcode " << t.opcode);
        drive_to(t.state);
        EXPECT_EQ(t.expected, request(t.opcode));
        wgcp_header h;
        if (t.expected == QNB_ERR_SUCCESS) {
            ASSERT_TRUE(server_receive(&h));
            EXPECT_EQ(t.opcode, h.opcode);
        } else {
            EXPECT_TRUE(server_silent());
            // A refused request gives its slot back.
            wgcp2_request *slot = nullptr;
            EXPECT_EQ(QNB_ERR_SUCCESS, wgcp2_client_alloc_request(client, &slot));
            EXPECT_EQ(t.state, wgcp2_client_get_state(client));
        }
    }
}

TEST_F(Wgcp2ClientTest, WithoutHandshakeConnectAndDisconnectAreRefused)
{
    struct row {
        uint16_t opcode;
        qnb_error expected;
    } rows[] = {{WGCP2_OPCODE_CONNECT, QNB_ERR_INVALIDPARAMETER},
                {WGCP2_OPCODE_DISCONNECT, QNB_ERR_INVALIDPARAMETER},
                {k_other, QNB_ERR_SUCCESS},
                {0x1000, QNB_ERR_SUCCESS}};
    for (const row &t : rows) {
        make(false);
        EXPECT_EQ(t.expected, request(t.opcode)) << t.opcode;
        EXPECT_EQ(WGCP2_STATE_DISCONNECTED, wgcp2_client_get_state(client));
    }
}

TEST_F(Wgcp2ClientTest, ConnectResponseDecidesTheStateAndIsDeliveredOnce)
{
    struct row {
        uint16_t status;
        int state;
    } rows[] = {{WGCP_STATUS_RESPONSE, WGCP2_STATE_CONNECTED},
                {WGCP_STATUS_NOT_CONNECTED, WGCP2_STATE_DISCONNECTED},
                {WGCP_STATUS_TOO_MANY_CLIENTS, WGCP2_STATE_DISCONNECTED}};
    for (const row &t : rows) {
        SCOPED_TRACE(t.status);
        make(true);
        ASSERT_EQ(QNB_ERR_SUCCESS, request(WGCP2_OPCODE_CONNECT));
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(uint32_t{WGCP2_EVENT_STATE_CHANGED}, events[0].flags);
        EXPECT_TRUE(events[0].with_request);
        EXPECT_EQ(WGCP2_STATE_CONNECTING, events[0].state);
        wgcp_header h;
        ASSERT_TRUE(server_receive(&h));
        EXPECT_EQ(WGCP2_OPCODE_CONNECT, h.opcode);
        EXPECT_EQ(20, h.length);
        ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, t.status));
        ASSERT_EQ(2u, events.size());
        EXPECT_EQ(uint32_t{WGCP2_EVENT_STATE_CHANGED | WGCP2_EVENT_RESPONSE}, events[1].flags);
        EXPECT_EQ(t.status, events[1].status);
        EXPECT_EQ(t.state, events[1].state);
        EXPECT_EQ(t.state, wgcp2_client_get_state(client));
        // The slot was free when the callback ran.
        wgcp2_request *slot = nullptr;
        EXPECT_EQ(QNB_ERR_SUCCESS, wgcp2_client_alloc_request(client, &slot));
    }
}

TEST_F(Wgcp2ClientTest, DisconnectWaitsForItsAnswerOnlyWhenAsked)
{
    for (bool wait : {false, true}) {
        SCOPED_TRACE(wait);
        make(true, wait);
        ASSERT_EQ(QNB_ERR_SUCCESS, request(WGCP2_OPCODE_CONNECT));
        wgcp_header h;
        ASSERT_TRUE(server_receive(&h));
        ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, WGCP_STATUS_RESPONSE));
        events.clear();
        ASSERT_EQ(QNB_ERR_SUCCESS, request(WGCP2_OPCODE_DISCONNECT));
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(uint32_t{WGCP2_EVENT_STATE_CHANGED}, events[0].flags);
        EXPECT_EQ(wait ? WGCP2_STATE_DISCONNECTING : WGCP2_STATE_DISCONNECTED, wgcp2_client_get_state(client));
        ASSERT_TRUE(server_receive(&h));
        ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, WGCP_STATUS_RESPONSE));
        if (wait) {
            ASSERT_EQ(2u, events.size());
            EXPECT_EQ(uint32_t{WGCP2_EVENT_STATE_CHANGED | WGCP2_EVENT_RESPONSE}, events[1].flags);
        } else {
            EXPECT_EQ(1u, events.size()); // the late answer matches no request
        }
        EXPECT_EQ(WGCP2_STATE_DISCONNECTED, wgcp2_client_get_state(client));
    }
}

TEST_F(Wgcp2ClientTest, SequenceNumbersWrapAndStillMatch)
{
    make(false);
    wgcp_message filler;
    wgcp_message_reset(&filler, WGCP_KIND_EXTENDED);
    wgcp_message_init_request(&filler, 0x1001, 0x1000);
    for (unsigned i = 0; i < 0xFFFF; ++i) {
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_send_message(client, &filler));
        if ((i & 0x3F) == 0)
            tn_udp_peer_drain(&server);
    }
    tn_udp_peer_drain(&server);
    EXPECT_EQ(0xFFFF, wgcp2_client_get_next_seqnum(client));
    for (uint16_t expected : {uint16_t{0xFFFF}, uint16_t{0x0000}}) {
        events.clear();
        ASSERT_EQ(QNB_ERR_SUCCESS, request(k_other));
        wgcp_header h;
        ASSERT_TRUE(server_receive(&h));
        EXPECT_EQ(expected, h.seqnum);
        ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, WGCP_STATUS_RESPONSE));
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(uint32_t{WGCP2_EVENT_RESPONSE}, events[0].flags);
    }
    wgcp2_client_close(client);
    EXPECT_EQ(0, wgcp2_client_get_next_seqnum(client));
}

TEST_F(Wgcp2ClientTest, UnmatchedSequenceNumbersAreIgnored)
{
    make(false);
    ASSERT_EQ(QNB_ERR_SUCCESS, request(k_other));
    wgcp_header h;
    ASSERT_TRUE(server_receive(&h));
    ASSERT_EQ(QNB_ERR_SUCCESS, deliver(message(static_cast<uint16_t>(h.seqnum + 1), h.opcode, 1)));
    EXPECT_TRUE(events.empty());
    wgcp2_request *slot = nullptr;
    EXPECT_EQ(QNB_ERR_NOBUFS, wgcp2_client_alloc_request(client, &slot)); // still waiting
    ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, WGCP_STATUS_RESPONSE));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp2_client_alloc_request(client, &slot));
}

TEST_F(Wgcp2ClientTest, MalformedDatagramsAreDroppedAndProcessingGoesOn)
{
    struct row {
        const char *what;
        size_t size;
        uint16_t length_field;
    } rows[] = {
        {"shorter than the header", 19, 19},
        {"header of the plain kind", 10, 10},
        {"length field larger than the datagram", 24, 40},
        {"length field smaller than the datagram", 40, 24},
        {"length field zero", 20, 0},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(t.what);
        make(false);
        ASSERT_EQ(QNB_ERR_SUCCESS, request(k_other));
        wgcp_header h;
        ASSERT_TRUE(server_receive(&h));
        // The bad copy carries the request's sequence number: it must not complete it.
        std::vector<uint8_t> bad = message(h.seqnum, h.opcode, 1, t.size < 10 ? 10 : t.size);
        bad.resize(t.size);
        wgcp_header_set_length(bad.data(), t.length_field);
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_reply(&server, bad.data(), bad.size()));
        std::vector<uint8_t> good = message(h.seqnum, h.opcode, 1);
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_reply(&server, good.data(), good.size()));
        ASSERT_TRUE(tn_wait_readable(sock, 1000));
        // Both datagrams are queued on loopback: one pass drops the first and answers with the second.
        EXPECT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(client, &next));
        ASSERT_EQ(1u, events.size());
        EXPECT_EQ(uint32_t{WGCP2_EVENT_RESPONSE}, events[0].flags);
    }
}

TEST_F(Wgcp2ClientTest, OversizeDatagramEndsThePassAndIsGone)
{
    make(false);
    ASSERT_EQ(QNB_ERR_SUCCESS, request(k_other));
    wgcp_header h;
    ASSERT_TRUE(server_receive(&h));
    std::vector<uint8_t> big = message(h.seqnum, h.opcode, 1, 1500);
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_reply(&server, big.data(), big.size()));
    ASSERT_TRUE(tn_wait_readable(sock, 1000));
    EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp2_client_process(client, &next));
    EXPECT_TRUE(events.empty());
    ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, WGCP_STATUS_RESPONSE));
    EXPECT_EQ(1u, events.size());
}

TEST_F(Wgcp2ClientTest, EventsAreDeliveredOnlyWhileConnected)
{
    drive_to(WGCP2_STATE_CONNECTING);
    ASSERT_EQ(QNB_ERR_SUCCESS, deliver(message(0x4000, 257, WGCP_STATUS_EVENT)));
    EXPECT_TRUE(events.empty());
    drive_to(WGCP2_STATE_CONNECTED);
    ASSERT_EQ(QNB_ERR_SUCCESS, deliver(message(0x4000, 257, WGCP_STATUS_EVENT)));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(uint32_t{WGCP2_EVENT_MESSAGE}, events[0].flags);
    EXPECT_EQ(257, events[0].opcode);
    EXPECT_FALSE(events[0].with_request);
}

TEST_F(Wgcp2ClientTest, AnswerArrivingAfterTheLinkDroppedKeepsTheRequestOpen)
{
    drive_to(WGCP2_STATE_CONNECTED);
    ASSERT_EQ(QNB_ERR_SUCCESS, request(k_other));
    wgcp_header h;
    ASSERT_TRUE(server_receive(&h));
    clock.advance(31, 1);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(client, &next));
    ASSERT_EQ(WGCP2_STATE_DISCONNECTED, wgcp2_client_get_state(client));
    events.clear();
    ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, WGCP_STATUS_RESPONSE));
    EXPECT_TRUE(events.empty());
    wgcp2_request *slot = nullptr;
    EXPECT_EQ(QNB_ERR_NOBUFS, wgcp2_client_alloc_request(client, &slot));
}

// Connected at t0 with a silent server: keepalives every 10 s, disconnect after 31 s.
TEST_F(Wgcp2ClientTest, KeepalivesEveryTenSecondsAndDisconnectAfterThirtyOne)
{
    const qnb_timeval t0 = clock.now();
    drive_to(WGCP2_STATE_CONNECTED);
    struct step {
        uint32_t at_s, at_us; // since t0
        bool keepalive;
        int state;
        uint32_t deadline_s; // next deadline since t0 (0: none)
    } steps[] = {
        {9, 0, false, 2, 10},         {10, 0, false, 2, 10}, // not before the deadline
        {10, 1, true, 2, 10},         {20, 1, false, 2, 20}, {20, 2, true, 2, 20},
        {30, 2, false, 2, 30},        {30, 3, true, 2, 30},  {31, 0, false, 2, 31},
        {31, 1, false, 0, 0},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(testing::Message() << s.at_s << "." << s.at_us);
        clock.set(t0.tv_sec + s.at_s, t0.tv_usec + s.at_us);
        events.clear();
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(client, &next));
        wgcp_header h;
        size_t size = 0;
        if (s.keepalive) {
            ASSERT_TRUE(server_receive(&h, &size));
            EXPECT_EQ(0x1001, h.protocol);
            EXPECT_EQ(WGCP2_OPCODE_KEEPALIVE, h.opcode);
            EXPECT_EQ(WGCP_STATUS_REQUEST, h.status);
            EXPECT_EQ(20u, size);
        } else {
            EXPECT_TRUE(server_silent());
        }
        EXPECT_EQ(s.state, wgcp2_client_get_state(client));
        EXPECT_EQ(s.deadline_s ? t0.tv_sec + s.deadline_s : 0u, next.tv_sec);
        if (s.state == WGCP2_STATE_DISCONNECTED) {
            ASSERT_EQ(1u, events.size());
            EXPECT_EQ(uint32_t{WGCP2_EVENT_STATE_CHANGED | WGCP2_EVENT_CONNECTION_LOST}, events[0].flags);
            EXPECT_EQ(QNB_ERR_TIMEDOUT, events[0].error);
        } else {
            EXPECT_TRUE(events.empty());
        }
    }
}

TEST_F(Wgcp2ClientTest, ServerMessagesRestartTheReceiveTimeoutButNotNotConnected)
{
    struct row {
        uint16_t status;
        bool connected_after_31;
    } rows[] = {{WGCP_STATUS_RESPONSE, true}, {WGCP_STATUS_NOT_CONNECTED, false}};
    for (const row &t : rows) {
        SCOPED_TRACE(t.status);
        const qnb_timeval t0 = clock.now();
        drive_to(WGCP2_STATE_CONNECTED);
        clock.set(t0.tv_sec + 10, t0.tv_usec + 1);
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(client, &next));
        wgcp_header h;
        ASSERT_TRUE(server_receive(&h));
        ASSERT_EQ(QNB_ERR_SUCCESS, answer(h, t.status)); // the keepalive's answer: no event
        EXPECT_TRUE(events.empty());
        clock.set(t0.tv_sec + 31, t0.tv_usec + 1);
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(client, &next));
        EXPECT_EQ(t.connected_after_31, wgcp2_client_get_state(client) == WGCP2_STATE_CONNECTED);
        clock.set(t0.tv_sec + 41, t0.tv_usec + 2);
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(client, &next));
        EXPECT_EQ(WGCP2_STATE_DISCONNECTED, wgcp2_client_get_state(client));
        clock.advance(100);
    }
}

// Loop mode while the machine sleeps: keepalives still go out every 10 s, an expired receive
// time-out is re-armed instead of dropping the link, and once awake the silence counts again.
TEST_F(Wgcp2ClientTest, InLoopModeSleepingKeepsSendingAndHoldsTheTimeOutOff)
{
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_env_create_event_loop(&env));
    qnb_event_loop *loop = env.event_loop;
    make(true, false, true);
    ASSERT_EQ(QNB_ERR_SUCCESS, request(WGCP2_OPCODE_CONNECT));
    wgcp_header h;
    ASSERT_TRUE(server_receive(&h));
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_reply(&server, message(h.seqnum, h.opcode, WGCP_STATUS_RESPONSE).data(), 20));
    for (int i = 0; i < 100 && wgcp2_client_get_state(client) != WGCP2_STATE_CONNECTED; ++i)
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_run_once(loop, 10, nullptr));
    ASSERT_EQ(WGCP2_STATE_CONNECTED, wgcp2_client_get_state(client));
    events.clear();

    // The server stays silent from here on; the loop runs once a second.
    unsigned keepalives = 0;
    auto pass_seconds = [&](int seconds) {
        for (int i = 0; i < seconds; ++i) {
            clock.advance(1, 0);
            ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_run_once(loop, 0, nullptr));
            uint8_t buf[64];
            size_t size = sizeof buf;
            while (tn_udp_peer_receive(&server, buf, &size, 0) == QNB_ERR_SUCCESS) {
                keepalives++;
                size = sizeof buf;
            }
        }
    };
    wgcp2_client_set_sleeping(client, true);
    pass_seconds(40); // the receive time-out expired at 31 s and was re-armed to 62 s
    EXPECT_EQ(4u, keepalives);
    EXPECT_EQ(WGCP2_STATE_CONNECTED, wgcp2_client_get_state(client));
    EXPECT_TRUE(events.empty());

    wgcp2_client_set_sleeping(client, false);
    pass_seconds(21);
    EXPECT_EQ(WGCP2_STATE_CONNECTED, wgcp2_client_get_state(client));
    pass_seconds(1);
    EXPECT_EQ(WGCP2_STATE_DISCONNECTED, wgcp2_client_get_state(client));
    EXPECT_EQ(6u, keepalives);
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(uint32_t{WGCP2_EVENT_STATE_CHANGED | WGCP2_EVENT_CONNECTION_LOST}, events[0].flags);
    EXPECT_EQ(QNB_ERR_TIMEDOUT, events[0].error);

    wgcp2_client_delete(client);
    client = nullptr;
    EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_destroy(loop));
}

TEST_F(Wgcp2ClientTest, ClosedPeerResetsTheConnection)
{
    drive_to(WGCP2_STATE_CONNECTED);
    tn_udp_peer_close(&server);
    clock.advance(10, 1);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(client, &next)); // keepalive into the void
    ASSERT_TRUE(tn_wait_readable(sock, 1000));                           // the port-unreachable report
    EXPECT_EQ(QNB_ERR_CONNRESET, wgcp2_client_process(client, &next));
    EXPECT_EQ(WGCP2_STATE_DISCONNECTED, wgcp2_client_get_state(client));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(uint32_t{WGCP2_EVENT_STATE_CHANGED}, events[0].flags);
    EXPECT_EQ(QNB_ERR_CONNRESET, events[0].error);
}

TEST_F(Wgcp2ClientTest, DisconnectToAVanishedPeerStillDisconnects)
{
    drive_to(WGCP2_STATE_CONNECTED);
    tn_udp_peer_close(&server);
    wgcp_message filler;
    wgcp_message_reset(&filler, WGCP_KIND_EXTENDED);
    wgcp_message_init_request(&filler, 0x1001, 0x1000);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_send_message(client, &filler));
    ASSERT_TRUE(tn_wait_readable(sock, 1000)); // the port-unreachable report is pending
    // The report fails the disconnect's send; the link is down all the same.
    EXPECT_EQ(QNB_ERR_SUCCESS, request(WGCP2_OPCODE_DISCONNECT));
    EXPECT_EQ(WGCP2_STATE_DISCONNECTED, wgcp2_client_get_state(client));
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(uint32_t{WGCP2_EVENT_STATE_CHANGED}, events[0].flags);
    EXPECT_FALSE(events[0].with_request);
    wgcp2_request *slot = nullptr;
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp2_client_alloc_request(client, &slot));
}

TEST_F(Wgcp2ClientTest, RepliesFromAnotherAddressAreDroppedWithAServerAddress)
{
    qnb_socket unconnected = QNB_SOCKET_INVALID;
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_open_udp(&unconnected, AF_INET));
    qnb_sockaddr any;
    qnb_sockaddr_set(&any, htonl(INADDR_LOOPBACK), 0);
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_bind(unconnected, &any));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_set_nonblocking(unconnected, 0));
    qnb_sockaddr server_address;
    qnb_sockaddr_set(&server_address, htonl(INADDR_LOOPBACK), server.port);

    wgcp2_client *c = wgcp2_client_new(&env, false, WGCP_KIND_PLAIN, true);
    ASSERT_NE(nullptr, c);
    wgcp_client_identity id = {{'q', 'z'}, 7};
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_initialise(c, &id, unconnected, false, false, &server_address));
    wgcp2_client_set_context(c, this);
    wgcp2_client_set_callback(c, &Wgcp2ClientTest::record);
    wgcp2_request *slot = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_alloc_request(c, &slot));
    wgcp_message_init_request(&slot->message, 3, k_other);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_send_request(slot));
    wgcp_header h;
    size_t size = 0;
    ASSERT_TRUE(server_receive(&h, &size));
    EXPECT_EQ(10u, size);

    tn_udp_peer stranger{};
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_open(&stranger, 0));
    std::vector<uint8_t> reply = message(h.seqnum, h.opcode, 1, 10);
    qnb_sockaddr local;
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_get_name(unconnected, &local));
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_send(&stranger, reply.data(), reply.size(), qnb_sockaddr_get_port(&local)));
    ASSERT_TRUE(tn_wait_readable(unconnected, 1000));
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(c, &next));
    EXPECT_TRUE(events.empty());
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_reply(&server, reply.data(), reply.size()));
    ASSERT_TRUE(tn_wait_readable(unconnected, 1000));
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp2_client_process(c, &next));
    EXPECT_EQ(1u, events.size());

    tn_udp_peer_close(&stranger);
    wgcp2_client_delete(c);
    qnb_socket_close(&unconnected);
}

TEST_F(Wgcp2ClientTest, ArgumentsAndSlots)
{
    EXPECT_EQ(nullptr, wgcp2_client_new(&env, true, WGCP_KIND_EXTENDED, true)); // no event loop here
    EXPECT_EQ(nullptr, wgcp2_client_new(&env, false, 3, true));
    make(true);
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp2_client_initialise(client, nullptr, QNB_SOCKET_INVALID, true, false, nullptr));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp2_client_set_keepalives(client, 0, &k_interval, &k_timeout));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp2_client_set_keepalives(client, 0x1001, nullptr, &k_timeout));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp2_client_alloc_request(client, nullptr));
    wgcp2_request *a = nullptr, *b = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_alloc_request(client, &a));
    EXPECT_EQ(QNB_ERR_NOBUFS, wgcp2_client_alloc_request(client, &b));
    wgcp2_client_release_request(a);
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp2_client_alloc_request(client, &b));
    EXPECT_EQ(a, b);

    // The slot's header carries the client port: the local port of the socket.
    qnb_sockaddr local;
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_get_name(sock, &local));
    wgcp_client_identity id;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_header_decode_client(b->message.packet, WGCP_PACKET_SIZE, &id));
    EXPECT_EQ(qnb_sockaddr_get_port(&local), id.port);

    wgcp2_client *no_slot = wgcp2_client_new(&env, false, WGCP_KIND_PLAIN, false);
    ASSERT_NE(nullptr, no_slot);
    EXPECT_EQ(QNB_ERR_NOBUFS, wgcp2_client_alloc_request(no_slot, &b));
    wgcp2_client_delete(no_slot);
}

} // namespace
