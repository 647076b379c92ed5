// The configuration-service client in event-loop mode against the simulated service over loopback:
// one loop runs both sides, and its timers run on the fake clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netaudio/conmon/cmm_client.h"
#include "netaudio/discovery/domain_client.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"
#include "testnet/tn_config_service.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_domain_server.h"

namespace {

const char *k_installation = "interface 02:00:00:00:00:01 Ethernet\n"
                             "interface 02:00:00:00:00:02 Ethernet 2\n"
                             "current 02:00:00:00:00:01\n"
                             "device PC-AUDIO\n";

std::vector<std::string> g_log;

void capture(qnb_logger *, const char *, unsigned, const char *text, size_t length)
{
    g_log.emplace_back(text, length);
}

struct change {
    uint32_t flags;
    qnb_error result;
};

class CmmLoop : public ::testing::Test {
protected:
    qz_test::fake_clock clock;
    qnb_env env{};
    tn_config_service *svc = nullptr;
    cmm_client *client = nullptr;
    std::vector<change> changes;

    void SetUp() override
    {
        g_log.clear();
        env.logger = qnb_log_new();
        ASSERT_NE(nullptr, env.logger);
        qnb_log_set_master_level(env.logger, QNB_LOG_VERBOSE);
        qnb_log_set_threshold(env.logger, QNB_LOG_SINK_CALLBACK, QNB_LOG_VERBOSE);
        qnb_log_set_callback(env.logger, capture);
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_env_create_event_loop(&env));
        qnb_error err = QNB_ERR_SUCCESS;
        svc = tn_config_service_new(0, &err);
        ASSERT_NE(nullptr, svc) << err;
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_config_service_load_text(svc, k_installation));
        ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_set_socket(
                                       env.event_loop, tn_config_service_get_socket(svc), QNB_EVENT_LOOP_SET_READ,
                                       [](qnb_event_loop *, int, unsigned, void *s) {
                                           tn_config_service_process(static_cast<tn_config_service *>(s));
                                       },
                                       svc, QNB_EVENT_LOOP_ADD_ONLY));
        make_client();
    }

    void make_client()
    {
        cmm_client_delete(client);
        client = cmm_client_new(&env);
        ASSERT_NE(nullptr, client);
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_set_port(client, tn_config_service_get_port(svc)));
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_init(client, "fua"));
        cmm_client_set_context(client, this);
        cmm_client_set_callback(client, [](cmm_client *c, uint32_t flags, qnb_error result) {
            static_cast<CmmLoop *>(cmm_client_get_context(c))->changes.push_back({flags, result});
        });
    }

    void TearDown() override
    {
        cmm_client_delete(client);
        if (svc)
            qnb_event_loop_set_socket(env.event_loop, tn_config_service_get_socket(svc), 0, nullptr, nullptr, 1);
        tn_config_service_delete(svc);
        EXPECT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_destroy(env.event_loop));
        qnb_log_delete(env.logger);
    }

    // Runs passes until the conversation has settled (two quiet passes of a short real wait).
    void pump()
    {
        int quiet = 0;
        for (int round = 0; round < 200; ++round) {
            unsigned ran = 0;
            ASSERT_EQ(QNB_ERR_SUCCESS, qnb_event_loop_run_once(env.event_loop, 5, &ran));
            if (ran == 0 && ++quiet == 2)
                return;
            if (ran)
                quiet = 0;
        }
        ADD_FAILURE() << "the conversation did not settle";
    }

    // One second at a time, as a running loop would see the time pass.
    void pass_seconds(int seconds)
    {
        for (int i = 0; i < seconds; ++i) {
            clock.advance(1, 0);
            pump();
        }
    }

    void connect()
    {
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_state(client));
        pump();
        ASSERT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
        ASSERT_NE(nullptr, cmm_client_get_options(client));
        ASSERT_NE(nullptr, cmm_client_get_state(client));
        changes.clear();
        g_log.clear();
    }

    bool logged(const std::string &line) const
    {
        for (const std::string &l : g_log)
            if (l == line)
                return true;
        return false;
    }
};

TEST_F(CmmLoop, ConnectsAndKeepsTheLinkWithLoopTimers)
{
    // In loop mode the owner has no socket to watch and no processing to call.
    EXPECT_EQ(QNB_SOCKET_INVALID, cmm_client_get_socket(client));
    qnb_timeval next{0, 0};
    EXPECT_EQ(QNB_ERR_NOTSUPPORTED, cmm_client_process(client, &next));
    EXPECT_EQ(2u, qnb_event_loop_socket_count(env.event_loop, QNB_EVENT_LOOP_SET_READ));

    // Not yet connected: the timers neither send keepalives nor lose a link.
    pass_seconds(40);
    EXPECT_EQ(0u, tn_config_service_request_count(svc, 0));
    EXPECT_TRUE(changes.empty());
    EXPECT_FALSE(logged("wgcp2_client_keepalive_recv_timer: server has disappeared, disconnecting!\n"));

    connect();
    EXPECT_EQ(u"Ethernet 2", std::u16string(cmm_interfaces_get(cmm_client_get_options(client), 1)->name));
    EXPECT_STREQ("PC-AUDIO", cmm_client_get_state(client)->device_name);

    // A keepalive every 10 s, answered, for a minute: the link holds.
    for (unsigned i = 1; i <= 6; ++i) {
        pass_seconds(10);
        EXPECT_EQ(i, tn_config_service_request_count(svc, 0));
    }
    EXPECT_TRUE(logged("wgcp2_client_keepalive_send_timer: keepalive interval has expired, sending keepalive!\n"));
    EXPECT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
    EXPECT_TRUE(changes.empty());

    // A request restarts the send interval: no keepalive 10 s after the last one, but 10 s after it.
    pass_seconds(5);
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_refresh(client)); // sent; the link drops
    pump();
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_state(client));
    pump();
    ASSERT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
    pass_seconds(9);
    EXPECT_EQ(6u, tn_config_service_request_count(svc, 0));
    pass_seconds(1);
    EXPECT_EQ(7u, tn_config_service_request_count(svc, 0));
}

TEST_F(CmmLoop, SilentServiceIsLostAfterThirtyOneSeconds)
{
    connect();
    tn_config_service_set_silent(svc, true);
    pass_seconds(30);
    EXPECT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
    EXPECT_EQ(3u, tn_config_service_request_count(svc, 0)); // keepalives went out unanswered
    EXPECT_TRUE(changes.empty());
    pass_seconds(1);
    EXPECT_EQ(CMM_CONNECTION_CLOSED, cmm_client_get_connection_state(client));
    ASSERT_EQ(1u, changes.size());
    EXPECT_EQ(uint32_t{CMM_CHANGED_CONNECTION | CMM_CHANGED_OPTIONS | CMM_CHANGED_STATE}, changes[0].flags);
    EXPECT_EQ(QNB_ERR_TIMEDOUT, changes[0].result);
    EXPECT_TRUE(logged("wgcp2_client_keepalive_recv_timer: server has disappeared, disconnecting!\n"));

    // Disconnected, the timers stay quiet: no keepalives, no second loss.
    pass_seconds(40);
    EXPECT_EQ(3u, tn_config_service_request_count(svc, 0));
    EXPECT_EQ(1u, changes.size());

    // The service answers again: the next attempt connects.
    tn_config_service_set_silent(svc, false);
    connect();
}

TEST_F(CmmLoop, ExcessivelyDelayedTimersNeitherSendNorDisconnect)
{
    connect();
    tn_config_service_set_silent(svc, true);
    // The loop did not run for 40 s (a suspended machine): both timers are far too late.
    clock.advance(40, 0);
    pump();
    EXPECT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
    EXPECT_EQ(0u, tn_config_service_request_count(svc, 0));
    EXPECT_TRUE(logged("wgcp2_client_keepalive_recv_timer: keepalive timer was excessively delayed and therefore "
                       "unreliable. Not disconnecting.\n"));
    EXPECT_TRUE(logged("wgcp2_client_keepalive_send_timer: keepalive transmit interval expiry was excessively "
                       "delayed:30.0 > 10.0. NOT firing.\n"));
    // From now on the time-out counts again: lost 31 s later.
    pass_seconds(30);
    EXPECT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
    pass_seconds(1);
    EXPECT_EQ(CMM_CONNECTION_CLOSED, cmm_client_get_connection_state(client));
}

TEST_F(CmmLoop, VanishedServiceResetsTheLink)
{
    connect();
    qnb_event_loop_set_socket(env.event_loop, tn_config_service_get_socket(svc), 0, nullptr, nullptr, 1);
    tn_config_service_delete(svc);
    svc = nullptr;
    // The next keepalive meets a closed port: the reset arrives through the loop.
    pass_seconds(10);
    for (int i = 0; i < 50 && cmm_client_get_connection_state(client) != CMM_CONNECTION_CLOSED; ++i)
        pump();
    EXPECT_EQ(CMM_CONNECTION_CLOSED, cmm_client_get_connection_state(client));
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(QNB_ERR_CONNRESET, changes.back().result);
    EXPECT_TRUE(logged("wgcp2_client_process: error recving (CONNRESET): disconnecting\n"));
}

TEST_F(CmmLoop, ClosedClientLeavesTheLoop)
{
    connect();
    cmm_client_delete(client);
    client = nullptr;
    EXPECT_EQ(1u, qnb_event_loop_socket_count(env.event_loop, QNB_EVENT_LOOP_SET_READ));
    // Its timers went with it: time passes without a callback into a freed client.
    unsigned before = tn_config_service_request_count(svc, 0);
    pass_seconds(40);
    EXPECT_EQ(before, tn_config_service_request_count(svc, 0));
    EXPECT_TRUE(changes.empty());
}

TEST_F(CmmLoop, WithADomainHandlerTheClientRegistersAndKeepsItsLinkAcrossDomainChanges)
{
    fake_domain_server server;
    server.attach(&env);
    make_client();

    // The handler knows the client, and finds its environment through it.
    ASSERT_EQ(1u, server.handler.clients.count);
    const domain_client *registered = static_cast<const domain_client *>(server.handler.clients.first->data);
    EXPECT_EQ(client, object_get_context(registered));
    EXPECT_EQ(&env, object_get_env(static_cast<const cmm_client *>(object_get_context(registered))));

    // The domain comes and goes; the local service's link and its keepalives carry on.
    connect();
    const uint8_t managed[DOMAIN_ID_SIZE] = {0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    server.set_domain(managed, 3, 2);
    pass_seconds(20);
    server.set_domain(managed, 3, 1);
    pass_seconds(20);
    EXPECT_EQ(4u, tn_config_service_request_count(svc, 0));
    EXPECT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
    EXPECT_TRUE(changes.empty());

    cmm_client_delete(client);
    client = nullptr;
    EXPECT_EQ(0u, server.handler.clients.count);

    // A handler that cannot take the client: no client, nothing left registered or in the loop.
    memset(server.handler.ids_in_use, 0xFF, sizeof server.handler.ids_in_use);
    EXPECT_EQ(nullptr, cmm_client_new(&env));
    EXPECT_EQ(0u, server.handler.clients.count);
    EXPECT_EQ(1u, qnb_event_loop_socket_count(env.event_loop, QNB_EVENT_LOOP_SET_READ));
    server.detach(&env);
}

} // namespace
