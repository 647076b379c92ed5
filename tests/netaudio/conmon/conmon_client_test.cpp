// The client against a scripted server on a loopback socket, on the fake clock.
#include "netaudio/conmon/conmon_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "netaudio/conmon/conmon_client_private.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"

namespace {

typedef std::vector<uint8_t> bytes;

void put16(bytes &b, size_t at, uint16_t v)
{
    if (b.size() < at + 2)
        b.resize(at + 2);
    memcpy(&b[at], &v, 2);
}
uint16_t get16(const bytes &b, size_t at)
{
    uint16_t v = 0;
    memcpy(&v, &b[at], 2);
    return v;
}
void put_text(bytes &b, size_t at, const std::string &s)
{
    if (b.size() < at + s.size())
        b.resize(at + s.size());
    memcpy(&b[at], s.data(), s.size());
}

bytes message(uint16_t version, uint16_t opcode, uint16_t kind, size_t size, uint16_t id)
{
    bytes b(size, 0);
    put16(b, 0, version);
    put16(b, 2, (uint16_t)size);
    put16(b, 4, id);
    put16(b, 6, opcode);
    put16(b, 8, kind);
    return b;
}

// An answer of `kind` to a request.
bytes answer(const bytes &request, uint16_t kind, size_t size = 10)
{
    return message(get16(request, 0), get16(request, 6), kind, size, get16(request, 4));
}

const uint8_t k_server_id[8] = {1, 2, 3, 4, 5, 6, 7, 8};

bytes connect_answer(const bytes &request, unsigned records = 1)
{
    bytes b = answer(request, CONMON_KIND_RESPONSE, 324 + 36 * records);
    put_text(b, 12, "PC-SERVER");
    memcpy(&b[300], k_server_id, 8);
    put16(b, 308, 77);
    put16(b, 310, (uint16_t)records);
    put16(b, 312, 36);
    put16(b, 314, 324);
    for (unsigned i = 0; i < records; ++i)
        put16(b, 324 + 36 * i, 1); // the loopback's index
    return b;
}

// Subscription records {name, status, device id byte}.
struct sub {
    std::string name;
    uint16_t status;
    uint8_t id;
};
bytes subscriptions(uint16_t opcode, uint16_t kind, uint16_t id, const std::vector<sub> &list)
{
    bytes b = message(0x1503, opcode, kind, 16 + 72 * list.size(), id);
    put16(b, 10, (uint16_t)list.size());
    put16(b, 12, 1);
    for (size_t i = 0; i < list.size(); ++i) {
        size_t at = 16 + 72 * i;
        b[at] = 1;
        put_text(b, at + 4, list[i].name);
        b[at + 36] = list[i].id;
        put16(b, at + 46, list[i].status);
        put16(b, at + 48, 6);
    }
    return b;
}

bytes channel_event(uint16_t type, uint16_t class_, const uint8_t *source, bool named = false)
{
    size_t at = named ? 48 : 16;
    bytes b = message(0x1503, named ? CONMON_LOCAL_NAMED_CHANNEL_MESSAGE : CONMON_LOCAL_CHANNEL_MESSAGE,
                      CONMON_KIND_EVENT, at + 24 + 8, 0x4000);
    put16(b, 10, type);
    put16(b, 12, class_);
    if (named)
        put_text(b, 16, "T00A-KTV4");
    b[at + 3] = 32;
    if (source)
        memcpy(&b[at + 8], source, 8);
    memcpy(&b[at + 16], CONMON_VENDOR_STANDARD, 8);
    return b;
}

struct calls {
    int connect = 0;
    qnb_error connect_result = -1;
    int done = 0;
    qnb_error last = -1;
    std::vector<std::string> reported;
    int handled = 0;
    std::string name_seen;
};
calls *g_calls = nullptr;

void on_connect(conmon_client *, conmon_request *, qnb_error result)
{
    g_calls->connect++;
    g_calls->connect_result = result;
}
void on_done(conmon_client *, conmon_request *, qnb_error result)
{
    g_calls->done++;
    g_calls->last = result;
}
void on_subscriptions(conmon_client *, unsigned count, const conmon_remote_device_info *const *list)
{
    for (unsigned i = 0; i < count; ++i)
        g_calls->reported.push_back(list[i]->name);
}
void on_message(conmon_client *client, uint16_t, uint16_t, const conmon_channel_message *m)
{
    g_calls->handled++;
    conmon_source_id id;
    conmon_message_head_get_source(&m->head, &id);
    const char *name = conmon_client_device_name_for_id(client, &id);
    g_calls->name_seen = name ? name : "";
}

class ConmonClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_calls = &calls_;
        ASSERT_EQ(qnb_env_get(&env_), 0);
        ASSERT_EQ(tn_udp_peer_open(&server_, 0), 0);
        conmon_client_config config;
        conmon_client_config_init(&config, "wfa_conmon_client");
        qnb_sockaddr_from_text(&config.server, AF_INET, "127.0.0.1", server_.port);
        ASSERT_EQ(conmon_client_new_with_config(env_, &config, &client_), 0);
        conmon_client_set_subscriptions_callback(client_, on_subscriptions);
    }
    void TearDown() override
    {
        conmon_client_delete(client_);
        tn_udp_peer_close(&server_);
        qnb_env_release(env_);
        g_calls = nullptr;
    }
    bytes receive()
    {
        bytes b(CONMON_LOCAL_BUFFER_SIZE);
        size_t n = b.size();
        EXPECT_EQ(tn_udp_peer_receive(&server_, b.data(), &n, 2000), 0);
        b.resize(n);
        return b;
    }
    void send(const bytes &b) { ASSERT_EQ(tn_udp_peer_reply(&server_, b.data(), b.size()), 0); }
    // Lets the client read what the server sent.
    qnb_error pump()
    {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        conmon_client_get_sockets(client_, &set);
        if (set.count)
            tn_wait_readable(set.sockets[0], 1000);
        return conmon_client_process_sockets(client_, nullptr, &next_);
    }
    void connect()
    {
        conmon_request *req = nullptr;
        ASSERT_EQ(conmon_client_connect(client_, on_connect, &req), 0);
        bytes c = receive();
        send(connect_answer(c));
        pump();
        ASSERT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTED);
    }

    qz_test::fake_clock clock_;
    qnb_env *env_ = nullptr;
    tn_udp_peer server_;
    conmon_client *client_ = nullptr;
    calls calls_;
    qnb_timeval next_ = {0, 0};
};

TEST_F(ConmonClient, ConnectAndASecondConnectRefused)
{
    conmon_request *req = nullptr;
    ASSERT_EQ(conmon_client_connect(client_, on_connect, &req), 0);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTING);
    EXPECT_EQ(conmon_client_connect(client_, on_connect, nullptr), QNB_ERR_INVALIDSTATE);
    bytes c = receive();
    ASSERT_EQ(c.size(), 44u);
    EXPECT_EQ(conmon_client_get_server_device_name(client_), nullptr);
    send(connect_answer(c, 3));
    ASSERT_EQ(pump(), 0);
    EXPECT_EQ(calls_.connect, 1);
    EXPECT_EQ(calls_.connect_result, 0);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTED);
    EXPECT_STREQ(conmon_client_get_server_device_name(client_), "PC-SERVER");
    EXPECT_EQ(conmon_client_get_server_instance_info(client_)->count, 2);
    EXPECT_EQ(tn_udp_peer_drain(&server_), 0u); // the second connect sent nothing
}

TEST_F(ConmonClient, ReleasedConnectAbortsAndFlaggedServerMarksBareRequests)
{
    conmon_request *req = nullptr;
    ASSERT_EQ(conmon_client_connect(client_, on_connect, &req), 0);
    receive();
    conmon_client_release_request(client_, req);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_NO_CONNECTION);
    EXPECT_EQ(get16(receive(), 6), CONMON_LOCAL_DISCONNECT);
    EXPECT_EQ(calls_.connect, 0);

    ASSERT_EQ(conmon_client_connect(client_, on_connect, &req), 0);
    bytes c = connect_answer(receive());
    put16(c, 10, 1); // server flags: bit 0
    send(c);
    pump();
    ASSERT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTED);
    ASSERT_EQ(conmon_client_subscribe(client_, nullptr, nullptr, 6, "T001"), 0);
    EXPECT_EQ(get16(receive(), 8), 0xF000);
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, &req, 6, "T001"), 0);
    EXPECT_EQ(get16(receive(), 8), 0);
}

TEST_F(ConmonClient, OlderServerGetsTheOlderConnect)
{
    ASSERT_EQ(conmon_client_connect(client_, on_connect, nullptr), 0);
    bytes c = receive();
    bytes refused = answer(c, CONMON_KIND_INVALID_SIZE);
    put16(refused, 0, 0x1300);
    send(refused);
    pump();
    EXPECT_EQ(calls_.connect, 0);
    bytes again = receive();
    EXPECT_EQ(get16(again, 0), 0x1300);
    EXPECT_EQ(again.size(), 10u + strlen("wfa_conmon_client") + 1);
    send(connect_answer(again));
    pump();
    EXPECT_EQ(calls_.connect_result, 0);
    ASSERT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTED);
    ASSERT_EQ(conmon_client_register_control_messages(client_, on_done, nullptr, on_message), 0);
    EXPECT_EQ(get16(receive(), 0), 0x1300);
}

TEST_F(ConmonClient, ServerGoneWhileConnecting)
{
    tn_udp_peer_close(&server_); // the port now refuses
    ASSERT_EQ(conmon_client_connect(client_, on_connect, nullptr), 0);
    EXPECT_EQ(pump(), 0);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_NO_CONNECTION);
    EXPECT_EQ(calls_.connect_result, QNB_ERR_CONNRESET);
    qnb_socket_set set;
    qnb_socket_set_clear(&set);
    conmon_client_get_sockets(client_, &set);
    EXPECT_EQ(set.count, 0u);
}

TEST_F(ConmonClient, RequestIdsSkipZero)
{
    connect();
    client_->link->next_request_id = 0xFFFF;
    for (uint16_t expect : {0xFFFF, 1, 2}) {
        ASSERT_EQ(conmon_client_subscribe(client_, nullptr, nullptr, 6, "T001"), 0);
        EXPECT_EQ(get16(receive(), 4), expect);
    }
}

TEST_F(ConmonClient, FullRequestTable)
{
    EXPECT_EQ(conmon_client_set_max_requests(client_, 2), 2u);
    connect();
    EXPECT_EQ(conmon_client_set_max_requests(client_, 24), 2u);
    conmon_request *a = nullptr, *b = nullptr, *c = nullptr;
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, &a, 6, "T001"), 0);
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, &b, 6, "T002"), 0);
    EXPECT_EQ(conmon_client_subscribe(client_, on_done, &c, 6, "T003"), QNB_ERR_NOBUFS);
    EXPECT_EQ(c, nullptr);
    // A request without callback or out-pointer needs no slot.
    EXPECT_EQ(conmon_client_subscribe(client_, nullptr, nullptr, 6, "T004"), 0);
    conmon_client_release_request(client_, a);
    EXPECT_EQ(conmon_client_subscribe(client_, on_done, &c, 6, "T003"), 0);
    EXPECT_EQ(calls_.done, 0);
}

std::vector<std::pair<unsigned, std::string>> g_log_lines;
void capture_log(qnb_logger *, const char *, unsigned level, const char *text, size_t length)
{
    g_log_lines.emplace_back(level, std::string(text, length));
}

// A control message refused for a full table takes no request id: many refusals (a caller trying
// again pass after pass) leave the ids as they were, and the next message sent has the next id.
// The refusal is the caller's to handle: it is logged at Debug, never at Error.
TEST_F(ConmonClient, ARequestRefusedForAFullTableTakesNoIdAndIsNoError)
{
    g_log_lines.clear();
    qnb_log_set_master_level(env_->logger, QNB_LOG_DEBUG);
    qnb_log_set_threshold(env_->logger, QNB_LOG_SINK_CALLBACK, QNB_LOG_DEBUG);
    qnb_log_set_callback(env_->logger, capture_log);
    conmon_client_set_max_requests(client_, 1);
    connect();
    const uint8_t body[8] = {0x07, 0x26, 0x10, 0x08, 0, 0, 0, 0}; // a lock query
    auto send_query = [&](conmon_request **out) {
        return conmon_client_send_control_message(client_, on_done, out, "T001", 0xFFFF, CONMON_VENDOR_STANDARD, body,
                                                  sizeof body, nullptr);
    };
    conmon_request *held = nullptr, *refused = nullptr;
    ASSERT_EQ(send_query(&held), 0);
    const uint16_t first = get16(receive(), 4);
    for (int i = 0; i < 70000; ++i)
        ASSERT_EQ(send_query(&refused), QNB_ERR_NOBUFS);
    EXPECT_EQ(tn_udp_peer_drain(&server_), 0u) << "nothing sent";
    conmon_client_release_request(client_, held);
    ASSERT_EQ(send_query(&held), 0);
    EXPECT_EQ(get16(receive(), 4), static_cast<uint16_t>(first + 1));

    size_t errors = 0, debug = 0;
    for (const auto &line : g_log_lines) {
        errors += line.first <= QNB_LOG_ERROR ? 1 : 0;
        debug += line.first == QNB_LOG_DEBUG && line.second.find("error sending message") != std::string::npos;
    }
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(debug, 70000u);
    qnb_log_set_callback(env_->logger, nullptr);
    qnb_log_set_master_level(env_->logger, QNB_LOG_NONE);
}

// A global subscription is in force only once the server has answered it: one that times out,
// or is refused, leaves the flag clear.
TEST_F(ConmonClient, UnansweredRequestCompletesWithTimeout)
{
    connect();
    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_subscribe_global(client_, on_done, &r, 2), 0);
    EXPECT_EQ(conmon_client_get_subscription_flag(client_, 2), 0);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 1u);
    conmon_client_process_sockets(client_, nullptr, &next_);
    EXPECT_EQ(next_.tv_sec, clock_.now().tv_sec + 5);
    clock_.advance(4, 999999);
    conmon_client_process_sockets(client_, nullptr, &next_);
    EXPECT_EQ(calls_.done, 0);
    clock_.advance(0, 1);
    conmon_client_process_sockets(client_, nullptr, &next_);
    EXPECT_EQ(calls_.done, 1);
    EXPECT_EQ(calls_.last, QNB_ERR_TIMEDOUT);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
    // A late answer finds no request.
    bytes sub = receive();
    send(answer(sub, CONMON_KIND_RESPONSE));
    pump();
    EXPECT_EQ(calls_.done, 1);
    EXPECT_EQ(conmon_client_get_subscription_flag(client_, 2), 0);

    ASSERT_EQ(conmon_client_subscribe_global(client_, on_done, &r, 2), 0);
    send(answer(receive(), CONMON_KIND_INVALID_STATE));
    pump();
    EXPECT_EQ(calls_.done, 2);
    EXPECT_EQ(conmon_client_get_subscription_flag(client_, 2), 0);
    ASSERT_EQ(conmon_client_subscribe_global(client_, on_done, &r, 2), 0);
    send(answer(receive(), CONMON_KIND_RESPONSE));
    pump();
    EXPECT_EQ(calls_.last, QNB_ERR_SUCCESS);
    EXPECT_EQ(conmon_client_get_subscription_flag(client_, 2), 1);
}

// An answer that came in time but still waits in the socket when the caller gets round to it (a
// stalled worker, or an answer that arrived after its select) completes its request: it is not
// called unanswered.
TEST_F(ConmonClient, AnAnswerWaitingInTheSocketWinsOverItsDeadline)
{
    connect();
    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_subscribe_global(client_, on_done, &r, 2), 0);
    send(answer(receive(), CONMON_KIND_RESPONSE));
    qnb_socket_set waiting;
    qnb_socket_set_clear(&waiting);
    conmon_client_get_sockets(client_, &waiting);
    ASSERT_EQ(waiting.count, 1u);
    ASSERT_TRUE(tn_wait_readable(waiting.sockets[0], 2000));
    clock_.advance(6);
    qnb_socket_set none;
    qnb_socket_set_clear(&none);
    conmon_client_process_sockets(client_, &none, &next_);
    EXPECT_EQ(calls_.done, 1);
    EXPECT_EQ(calls_.last, QNB_ERR_SUCCESS);
    EXPECT_EQ(conmon_client_get_subscription_flag(client_, 2), 1);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
}

TEST_F(ConmonClient, AnswersCompleteTheirRequests)
{
    connect();
    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, on_done, &r, 2, 1, on_message), 0);
    bytes reg = receive();
    EXPECT_EQ(get16(reg, 6), CONMON_LOCAL_REGISTER);
    send(answer(reg, CONMON_KIND_NOT_FOUND));
    pump();
    EXPECT_EQ(calls_.last, QNB_ERR_NOTFOUND);
    // An answer with another opcode completes the request with INVALIDDATA.
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, &r, 6, "T001"), 0);
    bytes s = receive();
    bytes wrong = answer(s, CONMON_KIND_RESPONSE);
    put16(wrong, 6, CONMON_LOCAL_REGISTER);
    send(wrong);
    pump();
    EXPECT_EQ(calls_.done, 2);
    EXPECT_EQ(calls_.last, QNB_ERR_INVALIDDATA);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
}

TEST_F(ConmonClient, RefusedArguments)
{
    connect();
    uint8_t body[1449] = {0};
    EXPECT_EQ(conmon_client_subscribe(client_, on_done, nullptr, 1, "T001"), QNB_ERR_NOTINITIALISED);
    EXPECT_EQ(conmon_client_register_monitoring_messages(client_, on_done, nullptr, 5, 0, on_message),
              QNB_ERR_NOTINITIALISED);
    EXPECT_EQ(conmon_client_register_monitoring_messages(client_, on_done, nullptr, 2, 2, on_message),
              QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(conmon_client_set_tx_metering_enabled(client_, on_done, nullptr, true), QNB_ERR_NOTINITIALISED);
    EXPECT_EQ(conmon_client_send_control_message(client_, on_done, nullptr, "T001", 0xFFFF, CONMON_VENDOR_STANDARD,
                                                 body, 1449, nullptr),
              QNB_ERR_TRUNCATED);
    EXPECT_EQ(conmon_client_send_control_message(client_, on_done, nullptr, "T001", 0xFFFF, CONMON_VENDOR_STANDARD,
                                                 body, 7, nullptr),
              QNB_ERR_MSGSIZE);
    EXPECT_EQ(conmon_client_subscribe(client_, on_done, nullptr, 6, "0123456789012345678901234567890X"),
              QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(tn_udp_peer_drain(&server_), 0u);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);

    ASSERT_EQ(conmon_client_send_control_message(client_, on_done, nullptr, "T001", 0xFFFF, CONMON_VENDOR_STANDARD,
                                                 body, 1448, nullptr),
              0);
    bytes m = receive();
    EXPECT_EQ(m.size(), 76u + 1448u);
    EXPECT_EQ(conmon_local_validate(m.data(), m.size(), 0x1503), 0u);
}

TEST_F(ConmonClient, RemoteDevicesReportedOnceAndTableBounded)
{
    connect();
    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, &r, 6, "T001"), 0);
    bytes s = receive();
    send(subscriptions(CONMON_LOCAL_SUBSCRIBE, 1, get16(s, 4), {{"T001", 17, 9}, {"T001", 17, 9}}));
    pump();
    EXPECT_EQ(calls_.last, 0);
    ASSERT_EQ(calls_.reported, std::vector<std::string>{"T001"});
    const uint8_t id9[8] = {9, 0, 0, 0, 0, 0, 0, 0};
    conmon_source_id source;
    memcpy(source.device_id, id9, 8);
    source.process = 0;
    EXPECT_STREQ(conmon_client_device_name_for_id(client_, &source), "T001");

    // Unchanged again: nothing; a changed status: reported.
    send(subscriptions(CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, 2, 0x4000, {{"T001", 17, 9}}));
    pump();
    EXPECT_EQ(calls_.reported.size(), 1u);
    send(subscriptions(CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, 2, 0x4001, {{"T001", 16, 9}}));
    pump();
    EXPECT_EQ(calls_.reported.size(), 2u);

    // The others fill the table; the devices beyond it are refused.
    calls_.reported.clear();
    std::vector<sub> many;
    uint16_t sequence = 0x4002;
    for (int i = 0; i <= CONMON_REMOTE_DEVICES; ++i) {
        many.push_back({"D" + std::to_string(i), 17, 0});
        if (many.size() == 60 || i == CONMON_REMOTE_DEVICES) {
            send(subscriptions(CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, 2, sequence++, many));
            pump();
            many.clear();
        }
    }
    EXPECT_EQ(calls_.reported.size(), size_t(CONMON_REMOTE_DEVICES - 1));
    EXPECT_EQ(calls_.reported.back(), "D" + std::to_string(CONMON_REMOTE_DEVICES - 2));
    const conmon_remote_device_info *table = conmon_client_get_remote_devices(client_, 1);
    for (int i = 0; i < CONMON_REMOTE_DEVICES; ++i)
        EXPECT_NE(table[i].flags, 0u);
}

TEST_F(ConmonClient, NoHandlerAfterDisconnect)
{
    connect();
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, nullptr, nullptr, 2, 1, on_message), 0);
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, nullptr, nullptr, 2, 0, on_message), 0);
    tn_udp_peer_drain(&server_);
    const uint8_t other[8] = {0xA, 0, 0, 0, 0, 0, 0, 1};
    send(channel_event(2, 1, other, true));
    pump();
    EXPECT_EQ(calls_.handled, 1);
    EXPECT_EQ(calls_.name_seen, "T00A-KTV4"); // the named message's sender
    send(channel_event(2, 0, k_server_id));
    pump();
    EXPECT_EQ(calls_.handled, 2);
    EXPECT_EQ(calls_.name_seen, "");  // process 0 is not the server's 77
    send(channel_event(9, 0, other)); // a channel type outside the table
    pump();
    EXPECT_EQ(calls_.handled, 2);

    ASSERT_EQ(conmon_client_disconnect(client_), 0);
    bytes bye = receive();
    EXPECT_EQ(get16(bye, 6), CONMON_LOCAL_DISCONNECT);
    EXPECT_EQ(conmon_client_get_subscription_flag(client_, 2), 0);
    connect();
    send(channel_event(2, 1, other));
    send(channel_event(2, 0, other));
    pump();
    pump();
    EXPECT_EQ(calls_.handled, 2);
}

TEST_F(ConmonClient, NetworksAndNameEvents)
{
    connect();
    int changed = 0;
    static int *counter;
    counter = &changed;
    conmon_client_set_interfaces_callback(client_, [](conmon_client *) { ++*counter; });
    conmon_client_set_device_name_callback(client_, [](conmon_client *) { *counter += 10; });
    bytes nw = message(0x1503, CONMON_LOCAL_NETWORKS_CHANGED, 2, 16 + 36 * 2, 0x4000);
    put16(nw, 10, 2);
    put16(nw, 12, 36);
    put16(nw, 14, 16);
    put16(nw, 16, 1);
    put16(nw, 52, 1);
    send(nw);
    pump();
    send(nw); // the same again: no callback
    pump();
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(conmon_client_get_server_instance_info(client_)->count, 2);
    bytes name = message(0x1503, CONMON_LOCAL_DEVICE_NAME_CHANGED, 2, 42, 0x4001);
    put_text(name, 10, "PC-RENAMED");
    send(name);
    pump();
    EXPECT_EQ(changed, 11);
    EXPECT_STREQ(conmon_client_get_server_device_name(client_), "PC-RENAMED");
}

TEST_F(ConmonClient, AutoReconnectDeadlines)
{
    conmon_client_local_set_auto_reconnect(client_->link, 1);
    EXPECT_EQ(conmon_client_connect(client_, on_connect, nullptr), QNB_ERR_INVALIDSTATE);
    // Started by hand as a pending reconnect: the 5 s time-out opens the link.
    client_->link->state = CONMON_LOCAL_RECONNECT_PENDING;
    client_->link->connection_timeout_interval = {5, 0};
    client_->link->next_connection_timeout = conmon_time_add(clock_.now(), {5, 0});
    conmon_client_process_sockets(client_, nullptr, &next_);
    EXPECT_EQ(next_.tv_sec, clock_.now().tv_sec + 5);
    clock_.advance(5);
    conmon_client_process_sockets(client_, nullptr, &next_);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTING);
    bytes c = receive();
    EXPECT_EQ(c[42], 10);
    // No answer within 2 s: back to pending.
    clock_.advance(2);
    conmon_client_process_sockets(client_, nullptr, &next_);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_RECONNECT_PENDING);
    clock_.advance(5);
    conmon_client_process_sockets(client_, nullptr, &next_);
    c = receive();
    while (get16(c, 6) != CONMON_LOCAL_CONNECT)
        c = receive();
    send(connect_answer(c));
    pump();
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTED);
    EXPECT_EQ(calls_.connect, 0); // auto mode calls no Connect callback
    // A keepalive every 3 s while connected.
    clock_.advance(3);
    conmon_client_process_sockets(client_, nullptr, &next_);
    bytes k = receive();
    EXPECT_EQ(get16(k, 6), CONMON_LOCAL_KEEPALIVE);
    send(answer(k, CONMON_KIND_RESPONSE));
    pump();
    EXPECT_EQ(client_->link->inflight.in_use, 0u);
    // 10 s without any message: the link is dropped and pending again.
    clock_.advance(10);
    conmon_client_process_sockets(client_, nullptr, &next_);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_RECONNECT_PENDING);
    ASSERT_EQ(conmon_client_disconnect(client_), 0);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_NO_CONNECTION);
    EXPECT_EQ(client_->link->auto_reconnect, 0);
}

TEST_F(ConmonClient, TxMeteringFillsTheAddressTable)
{
    conmon_client_delete(client_);
    conmon_client_config config;
    conmon_client_config_init(&config, "wfa_conmon_client");
    qnb_sockaddr_from_text(&config.server, AF_INET, "127.0.0.1", server_.port);
    config.channel_mask |= 1u << CONMON_CHANNEL_METERING;
    ASSERT_EQ(conmon_client_new_with_config(env_, &config, &client_), 0);
    uint16_t port = conmon_channel_set_get_port(conmon_client_get_channels(client_), CONMON_CHANNEL_METERING);
    ASSERT_NE(port, 0);
    connect();
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, nullptr, nullptr, 1, 0, on_message), 0);
    bytes reg = receive();
    EXPECT_EQ(get16(reg, 14), port);

    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_set_tx_metering_enabled(client_, on_done, &r, true), 0);
    bytes on = receive();
    EXPECT_EQ(get16(on, 6), CONMON_LOCAL_ENABLE_TX_METERING);
    send(answer(on, CONMON_KIND_RESPONSE));
    pump();
    EXPECT_EQ(conmon_client_get_tx_metering_enabled(client_), 1);

    // A list that does not name subscriptions carries metering addresses.
    bytes list = subscriptions(CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, 2, 0x4000, {{"M1", 0, 0}});
    put16(list, 12, 0);
    put16(list, 16 + 54, 2); // mask: the second pair only
    const uint8_t address[4] = {127, 0, 0, 9};
    memcpy(&list[16 + 62], address, 4);
    put16(list, 16 + 66, 4321);
    send(list);
    pump();
    const conmon_remote_device_info *t2 = conmon_client_get_remote_devices(client_, 2);
    EXPECT_STREQ(t2[0].name, "M1");
    EXPECT_TRUE(qnb_sockaddr_is_empty(&t2[0].socket_address[0]));
    EXPECT_EQ(qnb_sockaddr_get_port(&t2[0].socket_address[1]), 4321);
    EXPECT_TRUE(calls_.reported.empty());

    ASSERT_EQ(conmon_client_set_tx_metering_enabled(client_, nullptr, nullptr, false), 0);
    EXPECT_EQ(get16(receive(), 6), CONMON_LOCAL_DISABLE_TX_METERING);
    EXPECT_EQ(conmon_client_get_tx_metering_enabled(client_), 0);
    EXPECT_EQ(t2[0].flags, 0u);
}

// Corrupted events and answers reach every reader of the client: it stays connected, keeps its
// tables bounded and reads nothing past the datagram (ASan).
TEST_F(ConmonClient, HostileDatagrams)
{
    connect();
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, nullptr, nullptr, 2, 1, on_message), 0);
    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, &r, 6, "T001"), 0);
    bytes s = receive();
    std::vector<bytes> samples = {
        subscriptions(CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, 2, 0x4000, {{"A", 17, 1}, {"B", 16, 2}, {"C", 18, 3}}),
        subscriptions(CONMON_LOCAL_SUBSCRIBE, 1, get16(s, 4), {{"T001", 17, 9}}),
        channel_event(2, 1, k_server_id, true),
        channel_event(2, 1, k_server_id, false),
    };
    bytes nw = message(0x1503, CONMON_LOCAL_NETWORKS_CHANGED, 2, 16 + 36, 0x4001);
    put16(nw, 10, 1);
    put16(nw, 12, 36);
    put16(nw, 14, 16);
    samples.push_back(nw);
    std::mt19937 rng(99);
    for (int round = 0; round < 400; ++round) {
        bytes m = samples[round % samples.size()];
        for (int k = 0; k < 3; ++k) {
            size_t at = 2 + rng() % (m.size() - 2); // keep the version; the length may change
            m[at] = (uint8_t)rng();
        }
        if (rng() % 4 == 0) {
            m.resize(10 + rng() % (m.size() - 10));
            put16(m, 2, (uint16_t)m.size());
        }
        send(m);
        ASSERT_EQ(pump(), 0);
    }
    // Larger than the largest local message: reported, never read in part.
    send(bytes(CONMON_LOCAL_BUFFER_SIZE + 1, 0));
    EXPECT_EQ(pump(), QNB_ERR_MSGSIZE);
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTED);
    const conmon_networks *n = conmon_client_get_server_instance_info(client_);
    ASSERT_NE(n, nullptr);
    EXPECT_LE(n->count, 2);
}

// A request overdue while the caller's set says nothing is ready: what waits in the socket is read
// first, and the deadline the caller is told comes from what that read armed, here the connection
// time-out an answer moves on; an error of that read reaches the caller as any read's does.
TEST_F(ConmonClient, WhatAnOverdueRequestMakesTheClientReadSetsTheDeadlineItTells)
{
    connect();
    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_subscribe_global(client_, on_done, &r, 2), 0);
    bytes subscribe = receive();
    // The connection time-out of a link that keeps itself up, due after the request's deadline.
    conmon_client_local *link = client_->link;
    link->auto_reconnect = 1;
    link->connection_timeout_interval = {10, 0};
    link->next_keepalive = {0, 0};
    link->next_connection_timeout = conmon_time_add(clock_.now(), {6, 0});
    const qnb_timeval overdue_at = conmon_time_add(clock_.now(), {5, 0});
    clock_.advance(5);
    send(answer(subscribe, CONMON_KIND_RESPONSE));
    qnb_socket_set waiting;
    qnb_socket_set_clear(&waiting);
    conmon_client_get_sockets(client_, &waiting);
    ASSERT_TRUE(tn_wait_readable(waiting.sockets[0], 2000));
    qnb_socket_set none;
    qnb_socket_set_clear(&none);
    EXPECT_EQ(conmon_client_process_sockets(client_, &none, &next_), 0);
    EXPECT_EQ(calls_.done, 1);
    EXPECT_EQ(calls_.last, QNB_ERR_SUCCESS);
    EXPECT_EQ(next_.tv_sec, overdue_at.tv_sec + 10);
    link->auto_reconnect = 0;
    link->next_connection_timeout = {0, 0};

    // The server gone: the port-unreachable report the next send draws is the read's error.
    tn_udp_peer_close(&server_);
    ASSERT_EQ(conmon_client_subscribe_global(client_, on_done, &r, 2), 0);
    ASSERT_TRUE(tn_wait_readable(waiting.sockets[0], 2000));
    clock_.advance(5);
    const qnb_error e = conmon_client_process_sockets(client_, &none, &next_);
    EXPECT_TRUE(e == QNB_ERR_CONNREFUSED || e == QNB_ERR_CONNRESET) << e;
    EXPECT_EQ(calls_.done, 2);
    EXPECT_EQ(calls_.last, QNB_ERR_TIMEDOUT);
}

} // namespace
