// The client on an event loop with the fake domain server as the environment's domain handler:
// what goes through the managed part, what goes to the local server (a loopback socket), and the
// switches between the two; on the fake clock.
#include "netaudio/conmon/conmon_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "netaudio/conmon/conmon_client_domain.h"
#include "netaudio/conmon/conmon_client_private.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_loop.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_domain_server.h"

namespace {

typedef std::vector<uint8_t> bytes;

const uint8_t k_managed[16] = {0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t k_other[16] = {0x20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t k_adhoc[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const uint8_t k_body[8] = {1, 2, 3, 4, 5, 6, 7, 8};

std::vector<qnb_error> *g_results = nullptr;
void on_done(conmon_client *, conmon_request *, qnb_error e)
{
    g_results->push_back(e);
}
int g_handled = 0;
void on_message(conmon_client *, uint16_t, uint16_t, const conmon_channel_message *)
{
    g_handled++;
}

uint16_t host16(const uint8_t *p)
{
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

class ConmonManaged : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_results = &results_;
        ASSERT_EQ(qnb_env_get(&platform_), 0); // the platform set-up, for the channels' receive
        ASSERT_EQ(tn_udp_peer_open(&local_, 0), 0);
        env_ = static_cast<qnb_env *>(calloc(1, sizeof(qnb_env)));
        env_->flags = QNB_ENV_FLAG_USER_CREATED;
        ASSERT_EQ(qnb_env_create_event_loop(env_), 0);
        server_.attach(env_);
    }
    void TearDown() override
    {
        conmon_client_delete(client_);
        qnb_env_release(env_);
        tn_udp_peer_close(&local_);
        qnb_env_release(platform_);
        g_results = nullptr;
    }
    void make(const uint8_t *domain, uint32_t mask = CONMON_CLIENT_DEFAULT_MASK)
    {
        g_handled = 0;
        server_.set_domain(domain, 3, 2);
        conmon_client_config config;
        conmon_client_config_init(&config, "conmon_managed_test");
        qnb_sockaddr_from_text(&config.server, AF_INET, "127.0.0.1", local_.port);
        config.channel_mask = mask;
        ASSERT_EQ(conmon_client_new_with_config(env_, &config, &client_), 0);
        ASSERT_EQ(client_->domain != nullptr, env_->domain_hook != nullptr);
    }
    void run(int wait_ms = 0) { ASSERT_EQ(qnb_event_loop_run_once(env_->event_loop, wait_ms, nullptr), 0); }
    qnb_error control(const char *target, conmon_request_fn callback = on_done)
    {
        return conmon_client_send_control_message(client_, callback, nullptr, target, 0xFFFF, CONMON_VENDOR_STANDARD,
                                                  k_body, sizeof k_body, nullptr);
    }
    std::vector<fake_domain_server::conmon_request> requests(uint16_t type)
    {
        std::vector<fake_domain_server::conmon_request> out;
        for (const auto &r : server_.conmon_requests)
            if (r.type == type)
                out.push_back(r);
        return out;
    }
    // The opcodes the local server received: the first within `ms`, each further one within 20 ms.
    std::vector<uint16_t> local_opcodes(int ms, bytes *last = nullptr)
    {
        std::vector<uint16_t> out;
        uint8_t b[CONMON_LOCAL_BUFFER_SIZE];
        size_t n = sizeof b;
        while (tn_udp_peer_receive(&local_, b, &n, out.empty() ? ms : 20) == 0) {
            out.push_back(host16(b + 6));
            if (last)
                last->assign(b, b + n);
            n = sizeof b;
        }
        return out;
    }
    // Answers the Connect the local server has received; the loop reads the answer.
    void answer_connect()
    {
        bytes request;
        ASSERT_EQ(local_opcodes(1000, &request), (std::vector<uint16_t>{CONMON_LOCAL_CONNECT}));
        bytes answer(324, 0);
        uint16_t head[5] = {host16(&request[0]), 324, host16(&request[4]), CONMON_LOCAL_CONNECT, CONMON_KIND_RESPONSE};
        memcpy(answer.data(), head, sizeof head);
        memcpy(&answer[12], "PC-SERVER", 9);
        uint16_t records[3] = {0, 36, 324};
        memcpy(&answer[310], records, sizeof records);
        ASSERT_EQ(tn_udp_peer_reply(&local_, answer.data(), answer.size()), 0);
        for (int i = 0; i < 20 && conmon_client_get_local_state(client_) != CONMON_LOCAL_CONNECTED; ++i)
            run(100);
        ASSERT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTED);
    }
    void connect()
    {
        ASSERT_EQ(conmon_client_connect(client_, nullptr, nullptr), 0);
        answer_connect();
    }
    // A control message from the local server, its sender of domain kind `kind`.
    void send_control_event(uint8_t kind)
    {
        bytes b(16 + 24 + 8, 0);
        uint16_t head[7] = {0x1503, (uint16_t)b.size(), 0x4000, CONMON_LOCAL_CHANNEL_MESSAGE, CONMON_KIND_EVENT, 0, 1};
        memcpy(b.data(), head, sizeof head);
        b[15] = kind;
        b[16 + 3] = 32;
        ASSERT_EQ(tn_udp_peer_reply(&local_, b.data(), b.size()), 0);
        run(200);
    }

    qz_test::fake_clock clock_;
    std::vector<qnb_error> results_;
    tn_udp_peer local_;
    qnb_env *env_ = nullptr;
    qnb_env *platform_ = nullptr;
    fake_domain_server server_;
    conmon_client *client_ = nullptr;
};

TEST_F(ConmonManaged, ControlMessagesWaitForTheirLookup)
{
    fake_domain_device dev;
    dev.name = "T00A-KTV4";
    dev.model = "KTV4-S";
    server_.devices.push_back(dev);
    server_.answer_conmon = true;
    make(k_managed);
    uint8_t big[CONMON_MAX_CONTROL_BODY_MANAGED + 1] = {};
    EXPECT_EQ(conmon_client_send_control_message(client_, on_done, nullptr, "T00A-KTV4", 0xFFFF,
                                                 CONMON_VENDOR_STANDARD, big, sizeof big, nullptr),
              QNB_ERR_TRUNCATED);

    // The server never hears of this lookup before its 2 s are over.
    ASSERT_EQ(control("T00B-KTV4"), 0);
    clock_.advance(1, 999000);
    run();
    EXPECT_TRUE(results_.empty());
    clock_.advance(0, 1000);
    run();
    EXPECT_EQ(results_, (std::vector<qnb_error>{QNB_ERR_NOTFOUND}));
    // A released message is forgotten: no callback at its deadline.
    conmon_request *released = nullptr;
    ASSERT_EQ(conmon_client_send_control_message(client_, on_done, &released, "T00C-KTV4", 0xFFFF,
                                                 CONMON_VENDOR_STANDARD, k_body, sizeof k_body, nullptr),
              0);
    conmon_client_release_request(client_, released);
    EXPECT_EQ(conmon_client_domain_pending_count(client_->domain), 0u);
    clock_.advance(2);
    run();
    EXPECT_EQ(results_.size(), 1u);

    // A device the domain knows: the lookup resolves, the message goes out and its answer completes it.
    ASSERT_EQ(control("T00A-KTV4"), 0);
    server_.pump();
    run();
    server_.pump();
    std::vector<fake_domain_server::conmon_request> sent = requests(CONMON_DOMAIN_RECORD_CONTROL);
    ASSERT_EQ(sent.size(), 1u);
    tlv_view view;
    ASSERT_EQ(tlv_view_init(&view, sent[0].bytes.data(), sent[0].bytes.size()), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(view.head + wgcp_load_be16(view.head + 12)), "T00A-KTV4");
    EXPECT_EQ(results_, (std::vector<qnb_error>{QNB_ERR_NOTFOUND, QNB_ERR_SUCCESS}));
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
    EXPECT_TRUE(local_opcodes(50).empty());
}

TEST_F(ConmonManaged, RegistrationsAndSubscriptionsGoToTheDomain)
{
    server_.answer_conmon = true;
    make(k_managed);
    // The local link is not even connected: these can only succeed through the domain.
    ASSERT_EQ(conmon_client_register_control_messages(client_, on_done, nullptr, on_message), 0);
    ASSERT_EQ(conmon_client_register_monitoring_messages(client_, on_done, nullptr, CONMON_CHANNEL_STATUS, 1,
                                                         on_message),
              0);
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, nullptr, CONMON_CHANNEL_KEEPALIVE, "T00A-KTV4"), 0);
    EXPECT_EQ(conmon_client_register_monitoring_messages(client_, on_done, nullptr, CONMON_CHANNEL_STATUS, 0,
                                                         on_message),
              QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(conmon_client_register_monitoring_messages(client_, on_done, nullptr, CONMON_CHANNEL_LOCAL, 1,
                                                         on_message),
              QNB_ERR_INVALIDSTATE);
    server_.pump();
    EXPECT_EQ(requests(CONMON_DOMAIN_RECORD_REGISTER).size(), 2u);
    EXPECT_EQ(requests(CONMON_DOMAIN_RECORD_SUBSCRIBE).size(), 1u);
    EXPECT_EQ(results_, (std::vector<qnb_error>(3, QNB_ERR_SUCCESS)));

    server_.conmon_status = 6;
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, nullptr, CONMON_CHANNEL_KEEPALIVE, "T00A-KTV4"), 0);
    server_.pump();
    EXPECT_EQ(results_.back(), QNB_ERR_POLICY);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
    EXPECT_TRUE(local_opcodes(50).empty());
}

TEST_F(ConmonManaged, BeforeTheHandlerKnowsADomainNothingIsSent)
{
    const uint8_t none[16] = {};
    make(none);
    connect();
    EXPECT_EQ(conmon_client_subscribe(client_, on_done, nullptr, CONMON_CHANNEL_KEEPALIVE, "T00A-KTV4"),
              QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(conmon_client_register_monitoring_messages(client_, on_done, nullptr, CONMON_CHANNEL_STATUS, 1,
                                                         on_message),
              QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(control("T00A-KTV4"), QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(conmon_client_subscribe_global(client_, on_done, nullptr, CONMON_CHANNEL_STATUS), QNB_ERR_SUCCESS);
    EXPECT_EQ(conmon_client_unsubscribe_global(client_, on_done, nullptr, CONMON_CHANNEL_STATUS),
              QNB_ERR_INVALIDSTATE);
    EXPECT_TRUE(local_opcodes(50).empty());
    server_.pump();
    EXPECT_TRUE(requests(CONMON_DOMAIN_RECORD_REGISTER).empty());
    EXPECT_TRUE(requests(CONMON_DOMAIN_RECORD_SUBSCRIBE).empty());
}

TEST_F(ConmonManaged, DomainChangesBetweenAdHocAndManaged)
{
    make(k_adhoc, CONMON_CLIENT_DEFAULT_MASK | (1u << CONMON_CHANNEL_SERIAL));
    conmon_channel_set *channels = conmon_client_get_channels(client_);
    EXPECT_TRUE(conmon_channel_set_is_enabled(channels, CONMON_CHANNEL_SERIAL));
    connect();
    EXPECT_EQ(qnb_event_loop_socket_count(env_->event_loop, QNB_EVENT_LOOP_SET_READ), 2u) << "link and serial";
    ASSERT_EQ(conmon_client_subscribe_global(client_, nullptr, nullptr, CONMON_CHANNEL_STATUS), 0);
    ASSERT_EQ(conmon_client_register_control_messages(client_, nullptr, nullptr, on_message), 0);
    ASSERT_EQ(control("T00A-KTV4"), 0);
    EXPECT_EQ(local_opcodes(200), (std::vector<uint16_t>{CONMON_LOCAL_SUBSCRIBE, CONMON_LOCAL_REGISTER,
                                                         CONMON_LOCAL_SEND_MESSAGE}));
    // Ad hoc, control messages from a managed-domain sender are dropped.
    send_control_event(3);
    EXPECT_EQ(g_handled, 0);
    send_control_event(2);
    EXPECT_EQ(g_handled, 1);
    conmon_client_domain_take_changes(client_->domain);

    // Ad hoc to managed: the local server is told to forget the remote devices; the ad-hoc state goes.
    server_.set_domain(k_managed, 3, 2);
    EXPECT_EQ(local_opcodes(200), (std::vector<uint16_t>{CONMON_LOCAL_CLEAR_REMOTE}));
    EXPECT_EQ(conmon_client_get_subscription_flag(client_, CONMON_CHANNEL_STATUS), 0);
    EXPECT_FALSE(conmon_channel_set_is_enabled(channels, CONMON_CHANNEL_SERIAL));
    uint32_t changes = conmon_client_domain_take_changes(client_->domain);
    EXPECT_EQ(changes & (CONMON_DOMAIN_CHANGE_DOMAIN | CONMON_DOMAIN_CHANGE_HANDLER | CONMON_DOMAIN_CHANGE_MAX_BODY),
              (uint32_t)(CONMON_DOMAIN_CHANGE_DOMAIN | CONMON_DOMAIN_CHANGE_HANDLER | CONMON_DOMAIN_CHANGE_MAX_BODY));

    // Managed to managed: pending messages fail, the local server hears nothing.
    ASSERT_EQ(control("T00A-KTV4"), 0);
    server_.set_domain(k_other, 3, 2);
    EXPECT_EQ(results_, (std::vector<qnb_error>{QNB_ERR_NOTFOUND}));
    EXPECT_TRUE(local_opcodes(100).empty());

    // Managed to ad hoc: messages go to the local server again, without a CLEAR_REMOTE.
    ASSERT_EQ(control("T00A-KTV4"), 0);
    server_.set_domain(k_adhoc, 3, 2);
    EXPECT_EQ(results_, (std::vector<qnb_error>{QNB_ERR_NOTFOUND, QNB_ERR_NOTFOUND}));
    EXPECT_TRUE(conmon_channel_set_is_enabled(channels, CONMON_CHANNEL_SERIAL));
    ASSERT_EQ(control("T00A-KTV4"), 0);
    EXPECT_EQ(local_opcodes(200), (std::vector<uint16_t>{CONMON_LOCAL_SEND_MESSAGE}));
    EXPECT_TRUE(requests(CONMON_DOMAIN_RECORD_CONTROL).empty());

    // The local server never answers: the request times out on the loop's timer.
    clock_.advance(CONMON_REQUEST_TIMEOUT);
    run();
    EXPECT_EQ(results_.back(), QNB_ERR_TIMEDOUT);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
}

TEST_F(ConmonManaged, WithoutADomainHandlerTheLinkRunsOnTheLoop)
{
    server_.detach(env_);
    make(k_adhoc, CONMON_CLIENT_DEFAULT_MASK | (1u << CONMON_CHANNEL_METERING));
    qnb_socket_set sockets;
    qnb_socket_set_clear(&sockets);
    EXPECT_EQ(conmon_client_get_sockets(client_, &sockets), QNB_ERR_NOTSUPPORTED);
    // The metering channel's socket is read by the loop.
    client_->handlers[CONMON_CHANNEL_METERING][1] = on_message;
    uint8_t message[24 + 8] = {0xFF, 0xFF, 0, sizeof message, 0, 1, 0, 7, 9};
    uint16_t port = conmon_channel_set_get_port(conmon_client_get_channels(client_), CONMON_CHANNEL_METERING);
    ASSERT_EQ(tn_udp_peer_send(&local_, message, sizeof message, port), 0);
    run(500);
    EXPECT_EQ(g_handled, 1);
    // Auto-reconnect: the loop's timers open the link, send keepalives and drop a silent link.
    conmon_client_local *link = client_->link;
    conmon_client_local_set_auto_reconnect(link, 1);
    link->state = CONMON_LOCAL_RECONNECT_PENDING;
    link->connection_timeout_interval = {5, 0};
    conmon_client_local_rearm_connection_timeout(link);
    clock_.advance(4);
    run();
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_RECONNECT_PENDING);
    clock_.advance(1);
    run();
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTING);
    answer_connect();
    clock_.advance(3);
    run();
    EXPECT_EQ(local_opcodes(500), (std::vector<uint16_t>{CONMON_LOCAL_KEEPALIVE}));
    clock_.advance(10);
    run();
    EXPECT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_RECONNECT_PENDING);
    EXPECT_EQ(qnb_event_loop_socket_count(env_->event_loop, QNB_EVENT_LOOP_SET_READ), 1u) << "metering only";
    ASSERT_EQ(conmon_client_disconnect(client_), 0);
}

} // namespace
