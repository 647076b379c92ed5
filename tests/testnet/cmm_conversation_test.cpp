// The configuration-service client against the simulated service over loopback sockets. Time
// moves only on the fake clock; both sides are driven from the test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "netaudio/conmon/cmm_client.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "testnet/tn_config_service.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"

namespace {

const char *k_installation = "# two interfaces, the first in use\n"
                             "interface 02:00:00:00:00:01 Ethernet\n"
                             "interface 02:00:00:00:00:02 Ethernet 2\n"
                             "current 02:00:00:00:00:01\n"
                             "device PC-AUDIO\n";

const uint8_t k_mac1[6] = {2, 0, 0, 0, 0, 1};
const uint8_t k_mac2[6] = {2, 0, 0, 0, 0, 2};

std::vector<std::string> g_log;

void capture(qnb_logger *, const char *, unsigned, const char *text, size_t length)
{
    g_log.emplace_back(text, length);
}

struct change {
    uint32_t flags;
    qnb_error result;
};

class CmmConversation : public ::testing::Test {
protected:
    qz_test::fake_clock clock;
    qnb_env env{};
    tn_config_service *svc = nullptr;
    cmm_client *client = nullptr;
    std::vector<change> changes;
    qnb_timeval next{0, 0};
    uint16_t port = 0;

    void SetUp() override
    {
        g_log.clear();
        env.logger = qnb_log_new();
        ASSERT_NE(nullptr, env.logger);
        qnb_log_set_master_level(env.logger, QNB_LOG_VERBOSE);
        qnb_log_set_threshold(env.logger, QNB_LOG_SINK_CALLBACK, QNB_LOG_VERBOSE);
        qnb_log_set_callback(env.logger, capture);
        start_service(0);
        port = tn_config_service_get_port(svc);
        client = cmm_client_new(&env);
        ASSERT_NE(nullptr, client);
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_set_port(client, port));
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_init(client, "fua"));
        cmm_client_set_context(client, this);
        cmm_client_set_callback(client, [](cmm_client *c, uint32_t flags, qnb_error result) {
            static_cast<CmmConversation *>(cmm_client_get_context(c))->changes.push_back({flags, result});
        });
    }

    void TearDown() override
    {
        cmm_client_delete(client);
        tn_config_service_delete(svc);
        qnb_log_delete(env.logger);
    }

    void start_service(uint16_t at)
    {
        qnb_error err = QNB_ERR_SUCCESS;
        svc = tn_config_service_new(at, &err);
        ASSERT_NE(nullptr, svc) << err;
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_config_service_load_text(svc, k_installation));
    }

    // Lets both sides answer each other until neither has anything left to read.
    void pump()
    {
        for (int round = 0; round < 50; ++round) {
            bool busy = false;
            if (svc && tn_wait_readable(tn_config_service_get_socket(svc), 5)) {
                busy = true;
            }
            if (svc)
                tn_config_service_process(svc);
            if (tn_wait_readable(cmm_client_get_socket(client), 5)) {
                cmm_client_process(client, &next);
                busy = true;
            }
            if (!busy)
                return;
        }
        ADD_FAILURE() << "the conversation did not settle";
    }

    void connect()
    {
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_state(client));
        pump();
        ASSERT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
        ASSERT_NE(nullptr, cmm_client_get_options(client));
        ASSERT_NE(nullptr, cmm_client_get_state(client));
        changes.clear();
    }

    // The set-config record a driver builds: the current configuration with one wanted interface.
    cmm_set_config *wanted(const uint8_t mac[6])
    {
        cmm_set_config *record = cmm_client_get_config_record(client);
        memset(record, 0, sizeof *record);
        record->flags = CMM_SET_CONFIG;
        record->config = *cmm_state_get_current_config(cmm_client_get_state(client));
        cmm_config_clear_interfaces(&record->config);
        EXPECT_EQ(QNB_ERR_SUCCESS, cmm_config_add_interface_by_mac(&record->config, cmm_client_get_options(client), mac));
        return record;
    }

    uint32_t all_flags() const
    {
        uint32_t f = 0;
        for (const change &c : changes)
            f |= c.flags;
        return f;
    }

    bool logged(const std::string &line) const
    {
        for (const std::string &l : g_log)
            if (l == line)
                return true;
        return false;
    }

    static std::u16string current_name(const cmm_state *s)
    {
        const cmm_interface *e = cmm_config_get_interface(cmm_state_get_current_config(s), 0);
        return e ? std::u16string(e->name) : std::u16string();
    }
};

TEST_F(CmmConversation, ConnectOptionsStateSetConfigChangingReady)
{
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_state(client));
    EXPECT_TRUE(cmm_client_request_pending(client));
    EXPECT_EQ(CMM_CONNECTION_CONNECTING, cmm_client_get_connection_state(client));
    ASSERT_EQ(1u, changes.size());
    EXPECT_EQ(uint32_t{CMM_CHANGED_CONNECTION}, changes[0].flags);
    pump();

    // Connected: the request ended, then the options and the state arrived.
    EXPECT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
    EXPECT_FALSE(cmm_client_request_pending(client));
    EXPECT_EQ(uint32_t{CMM_CHANGED_REQUEST | CMM_CHANGED_CONNECTION | CMM_CHANGED_OPTIONS | CMM_CHANGED_STATE},
              all_flags());
    EXPECT_TRUE(cmm_client_get_server_version(client)->valid);
    const cmm_interface_list *options = cmm_client_get_options(client);
    ASSERT_NE(nullptr, options);
    ASSERT_EQ(2u, cmm_interfaces_get_count(options));
    EXPECT_EQ(std::u16string(u"Ethernet 2"), std::u16string(cmm_interfaces_get(options, 1)->name));
    const cmm_state *state = cmm_client_get_state(client);
    ASSERT_NE(nullptr, state);
    EXPECT_EQ(CMM_SYSTEM_READY, state->status);
    EXPECT_STREQ("PC-AUDIO", state->device_name);
    EXPECT_EQ(u"Ethernet", current_name(state));
    EXPECT_EQ(nullptr, cmm_state_get_pending_config(state));
    // The service lists this process, without the lock.
    ASSERT_EQ(1u, cmm_state_get_process_count(state));
    EXPECT_STREQ("fua", cmm_state_get_process(state, 0)->name);
    EXPECT_EQ(static_cast<uint32_t>(getpid()), cmm_state_get_process(state, 0)->pid);
    EXPECT_EQ(0u, cmm_client_get_info(client)->lock);
    EXPECT_TRUE(logged("_cmm_client_set_connection_state: state is now 2 (was 1)\n"));
    EXPECT_TRUE(logged("cmm_client_on_event: state is:"));

    // SET_CONFIG: answered with the resulting state (Changing, the new interface pending).
    changes.clear();
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_set_system_config(client, wanted(k_mac2)));
    EXPECT_TRUE(cmm_client_request_pending(client));
    EXPECT_TRUE(logged("cmm_client_set_system_config: Sending SET CONFIG request with config:\n"));
    EXPECT_TRUE(logged("    Interface 0: Ethernet 2 (02:00:00:00:00:02)\n"));
    pump();
    EXPECT_FALSE(cmm_client_request_pending(client));
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(uint32_t{CMM_CHANGED_REQUEST | CMM_CHANGED_STATE}, changes[0].flags);
    EXPECT_EQ(QNB_ERR_SUCCESS, changes[0].result);
    EXPECT_EQ(1u, changes.size()); // the Changing notification repeats what the answer said
    state = cmm_client_get_state(client);
    EXPECT_EQ(CMM_SYSTEM_CHANGING, state->status);
    EXPECT_EQ(u"Ethernet", current_name(state));
    const cmm_system_config *pending = cmm_state_get_pending_config(state);
    ASSERT_NE(nullptr, pending);
    EXPECT_EQ(0, memcmp(k_mac2, cmm_interface_get_mac(cmm_config_get_interface(pending, 0)), 6));
    cmm_set_config seen;
    ASSERT_TRUE(tn_config_service_last_set_config(svc, &seen));
    EXPECT_EQ(uint32_t{CMM_SET_CONFIG}, seen.flags);
    EXPECT_EQ(0, memcmp(k_mac2, seen.config.interfaces[0].mac, 6));

    // Then Ready, with the new current interface.
    changes.clear();
    clock.advance(0, 999999);
    pump();
    EXPECT_TRUE(changes.empty());
    clock.advance(0, 1);
    pump();
    ASSERT_EQ(1u, changes.size());
    EXPECT_EQ(uint32_t{CMM_CHANGED_STATE}, changes[0].flags);
    state = cmm_client_get_state(client);
    EXPECT_EQ(CMM_SYSTEM_READY, state->status);
    EXPECT_EQ(u"Ethernet 2", current_name(state));
    EXPECT_EQ(nullptr, cmm_state_get_pending_config(state));
}

TEST_F(CmmConversation, KeepalivesHoldTheLinkWhileTheServiceAnswers)
{
    connect();
    for (int i = 1; i <= 5; ++i) {
        clock.advance(10, 1);
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_process(client, &next)); // deadline passed: keepalive
        pump();
        EXPECT_EQ(static_cast<unsigned>(i), tn_config_service_request_count(svc, 0));
    }
    EXPECT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client));
    EXPECT_TRUE(changes.empty());
}

TEST_F(CmmConversation, SilentServiceIsLostAfterThirtyOneSecondsAndFoundAgain)
{
    connect();
    tn_config_service_set_silent(svc, true);
    clock.advance(10, 1);
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_process(client, &next));
    clock.advance(10, 1);
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_process(client, &next));
    clock.advance(10, 1);
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_process(client, &next));
    pump();
    EXPECT_EQ(CMM_CONNECTION_CONNECTED, cmm_client_get_connection_state(client)); // 30 s: still up
    EXPECT_EQ(3u, tn_config_service_request_count(svc, 0));
    clock.advance(1, 0);
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_process(client, &next));
    EXPECT_EQ(CMM_CONNECTION_CLOSED, cmm_client_get_connection_state(client));
    ASSERT_EQ(1u, changes.size());
    EXPECT_EQ(uint32_t{CMM_CHANGED_CONNECTION | CMM_CHANGED_OPTIONS | CMM_CHANGED_STATE}, changes[0].flags);
    EXPECT_EQ(QNB_ERR_TIMEDOUT, changes[0].result);
    EXPECT_EQ(nullptr, cmm_client_get_options(client));
    EXPECT_EQ(nullptr, cmm_client_get_state(client));

    // While closed, a refresh sends nothing.
    unsigned disconnects = tn_config_service_request_count(svc, CMM_OPCODE_REFRESH);
    EXPECT_EQ(QNB_ERR_SUCCESS, cmm_client_request_refresh(client));
    pump();
    EXPECT_EQ(disconnects, tn_config_service_request_count(svc, CMM_OPCODE_REFRESH));

    // A new attempt stays unanswered; after a while the owner gives up on it with a refresh.
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_state(client));
    pump();
    EXPECT_EQ(CMM_CONNECTION_CONNECTING, cmm_client_get_connection_state(client));
    clock.advance(6, 0);
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_refresh(client));
    EXPECT_EQ(CMM_CONNECTION_CLOSED, cmm_client_get_connection_state(client));
    EXPECT_FALSE(cmm_client_request_pending(client));
    pump();
    EXPECT_EQ(disconnects + 1, tn_config_service_request_count(svc, CMM_OPCODE_REFRESH));

    // The service is back: the next attempt connects and fills the caches again.
    tn_config_service_set_silent(svc, false);
    connect();
}

TEST_F(CmmConversation, VanishedServiceResetsTheLinkAndARestartedOneIsFound)
{
    connect();
    tn_config_service_delete(svc);
    svc = nullptr;
    clock.advance(10, 1);
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_process(client, &next)); // keepalive to a closed port
    ASSERT_TRUE(tn_wait_readable(cmm_client_get_socket(client), 1000));
    EXPECT_EQ(QNB_ERR_CONNRESET, cmm_client_process(client, &next));
    EXPECT_EQ(CMM_CONNECTION_CLOSED, cmm_client_get_connection_state(client));
    EXPECT_EQ(nullptr, cmm_client_get_state(client));
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(QNB_ERR_CONNRESET, changes.back().result);

    start_service(port);
    connect();
    EXPECT_EQ(u"Ethernet", current_name(cmm_client_get_state(client)));
}

TEST_F(CmmConversation, ErrorStatusesEndTheRequestWithTheirError)
{
    struct row {
        uint16_t opcode;
        uint16_t status;
        qnb_error result;
        int connection;
    } rows[] = {
        {CMM_OPCODE_SET_CONFIG, CMM_STATUS_INVALID_STATE, QNB_ERR_INVALIDSTATE, CMM_CONNECTION_CONNECTED},
        {CMM_OPCODE_SET_CONFIG, CMM_STATUS_INVALID_DATA, QNB_ERR_INVALIDDATA, CMM_CONNECTION_CONNECTED},
        {CMM_OPCODE_SET_CONFIG, CMM_STATUS_SYSTEM_ERROR, QNB_ERR_SYSTEM, CMM_CONNECTION_CONNECTED},
        {CMM_OPCODE_STATE_QUERY, WGCP_STATUS_NOT_CONNECTED, QNB_ERR_NOTCONN, CMM_CONNECTION_CLOSED},
        {CMM_OPCODE_STATE_QUERY, WGCP_STATUS_TOO_MANY_CLIENTS, QNB_ERR_NOBUFS, CMM_CONNECTION_CLOSED},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(testing::Message() << t.opcode << " " << t.status);
        tn_config_service_set_status(svc, t.opcode, t.status);
        if (t.opcode == CMM_OPCODE_SET_CONFIG) {
            connect();
            g_log.clear();
            ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_set_system_config(client, wanted(k_mac2)));
        } else {
            ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_state(client));
            changes.clear();
        }
        pump();
        ASSERT_FALSE(changes.empty());
        EXPECT_TRUE(changes[0].flags & CMM_CHANGED_REQUEST);
        EXPECT_EQ(t.result, changes[0].result);
        EXPECT_FALSE(cmm_client_request_pending(client));
        EXPECT_EQ(t.connection, cmm_client_get_connection_state(client));
        if (t.opcode == CMM_OPCODE_SET_CONFIG) {
            // The state the answer carries is stored all the same: nothing changed.
            ASSERT_NE(nullptr, cmm_client_get_state(client));
            EXPECT_EQ(CMM_SYSTEM_READY, cmm_client_get_state(client)->status);
            EXPECT_TRUE(logged(std::string("cmm_client_on_event: SET_CONFIG response status=") +
                               cmm_response_status_name(t.status) + "\n"));
        }
        tn_config_service_set_status(svc, t.opcode, 0);
        cmm_client_request_refresh(client);
        pump();
        changes.clear();
    }
}

TEST_F(CmmConversation, LockHeldByAnotherProcess)
{
    connect();
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_config_service_set_foreign_lock(svc, true));
    pump();
    const cmm_state *state = cmm_client_get_state(client);
    ASSERT_EQ(2u, cmm_state_get_process_count(state));
    EXPECT_EQ(uint32_t{TN_CONFIG_FOREIGN_PID}, cmm_state_get_process(state, 1)->pid);
    EXPECT_EQ(1u, cmm_process_get_lock(cmm_state_get_process(state, 1)));
    EXPECT_EQ(0u, cmm_client_get_info(client)->lock); // someone else's lock is not ours
    changes.clear();

    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_set_system_config(client, wanted(k_mac2)));
    pump();
    ASSERT_EQ(1u, changes.size());
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, changes[0].result);
    EXPECT_EQ(u"Ethernet", current_name(cmm_client_get_state(client)));

    // Free again: this client takes the lock itself.
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_config_service_set_foreign_lock(svc, false));
    pump();
    changes.clear();
    cmm_set_config lock;
    memset(&lock, 0, sizeof lock);
    lock.flags = CMM_SET_LOCK;
    lock.lock = 1;
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_set_system_config(client, &lock));
    pump();
    EXPECT_EQ(1u, cmm_client_get_info(client)->lock);
    EXPECT_TRUE(all_flags() & CMM_CHANGED_LOCK);
    // Losing the link gives the lock flag up.
    changes.clear();
    tn_config_service_set_silent(svc, true);
    clock.advance(31, 1);
    cmm_client_process(client, &next);
    EXPECT_EQ(0u, cmm_client_get_info(client)->lock);
    EXPECT_TRUE(all_flags() & CMM_CHANGED_LOCK);
}

TEST_F(CmmConversation, MoreThanSixteenInterfacesKeepSixteen)
{
    tn_config_service_clear_interfaces(svc);
    for (uint8_t i = 0; i < 20; ++i) {
        const uint8_t mac[6] = {2, 0, 0, 0, 1, i};
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_config_service_add_interface(svc, ("eth" + std::to_string(i)).c_str(), mac));
    }
    connect();
    const cmm_interface_list *options = cmm_client_get_options(client);
    ASSERT_EQ(16u, cmm_interfaces_get_count(options));
    EXPECT_EQ(std::u16string(u"eth15"), std::u16string(cmm_interfaces_get(options, 15)->name));
    EXPECT_NE(nullptr, cmm_interfaces_find_by_name(options, u"eth3"));
    EXPECT_EQ(nullptr, cmm_interfaces_find_by_name(options, u"eth17"));
}

TEST_F(CmmConversation, OneRequestAtATime)
{
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_state(client));
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, cmm_client_request_state(client));
    cmm_set_config lock;
    memset(&lock, 0, sizeof lock);
    lock.flags = CMM_SET_LOCK;
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, cmm_client_set_system_config(client, &lock));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, cmm_client_set_system_config(client, nullptr));
    pump();
    EXPECT_EQ(1u, tn_config_service_request_count(svc, CMM_OPCODE_STATE_QUERY));
    EXPECT_EQ(0u, tn_config_service_request_count(svc, CMM_OPCODE_SET_CONFIG));
    // Before connecting, only the state query may go out.
    cmm_client_request_refresh(client);
    EXPECT_EQ(QNB_ERR_INVALIDSTATE, cmm_client_set_system_config(client, &lock));
}

TEST_F(CmmConversation, MisbehavingAnswers)
{
    struct row {
        tn_config_fault fault;
        bool connects;
    } rows[] = {{TN_CONFIG_FAULT_TRUNCATE, false},
                {TN_CONFIG_FAULT_WRONG_SEQNUM, false},
                {TN_CONFIG_FAULT_DUPLICATE, true}};
    for (const row &t : rows) {
        SCOPED_TRACE(t.fault);
        tn_config_service_set_fault(svc, t.fault);
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_client_request_state(client));
        pump();
        EXPECT_EQ(t.connects, cmm_client_get_connection_state(client) == CMM_CONNECTION_CONNECTED);
        EXPECT_EQ(!t.connects, cmm_client_request_pending(client));
        tn_config_service_set_fault(svc, TN_CONFIG_FAULT_NONE);
        cmm_client_request_refresh(client);
        pump();
        tn_config_service_forget_clients(svc);
        EXPECT_EQ(CMM_CONNECTION_CLOSED, cmm_client_get_connection_state(client));
    }
    connect();
}

TEST(TnConfigService, DescriptionText)
{
    struct row {
        const char *text;
        qnb_error err;
        unsigned interfaces;
        uint16_t status;
    } rows[] = {
        {"interface 02:00:00:00:00:01 Ethernet\ncurrent 02:00:00:00:00:01\n", QNB_ERR_SUCCESS, 1, CMM_SYSTEM_READY},
        {"current 02-00-00-00-00-02\ninterface 02-00-00-00-00-02 Wi-Fi 2\n", QNB_ERR_SUCCESS, 1, CMM_SYSTEM_READY},
        {"\n# none in use\ninterface 02:00:00:00:00:01 Ethernet\n", QNB_ERR_SUCCESS, 1, CMM_SYSTEM_INVALID_CONFIG},
        {"interface 02:00:00:00:00 Ethernet\n", QNB_ERR_INVALIDDATA, 0, CMM_SYSTEM_INVALID_CONFIG},
        {"interface 02:00:00:00:00:01\n", QNB_ERR_INVALIDDATA, 0, CMM_SYSTEM_INVALID_CONFIG},
        {"interface 02:00:00:00:00:01 E\ncurrent 02:00:00:00:00:09\n", QNB_ERR_INVALIDDATA, 1,
         CMM_SYSTEM_INVALID_CONFIG},
        {"colour blue\n", QNB_ERR_INVALIDDATA, 0, CMM_SYSTEM_INVALID_CONFIG},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(t.text);
        tn_config_service *svc = tn_config_service_new(0, nullptr);
        ASSERT_NE(nullptr, svc);
        EXPECT_EQ(t.err, tn_config_service_load_text(svc, t.text));
        EXPECT_EQ(t.interfaces, tn_config_service_interface_count(svc));
        EXPECT_EQ(t.status, tn_config_service_get_state(svc)->status);
        tn_config_service_delete(svc);
    }
    uint8_t mac[6];
    EXPECT_TRUE(tn_parse_mac("aa:BB:0c:1:02:03", mac));
    EXPECT_FALSE(tn_parse_mac("aa:bb:cc:dd:ee", mac));
    EXPECT_FALSE(tn_parse_mac("aa:bb:cc:dd:ee:ffx", mac));
    char16_t wide[8];
    EXPECT_EQ(3u, tn_utf8_to_utf16("\xC3\xA9t\xE2\x98\xBA", wide, 8));
    EXPECT_EQ(std::u16string(u"\u00E9t\u263A"), std::u16string(wide));
    EXPECT_EQ(2u, tn_utf8_to_utf16("\xF0\x9F\x8E\xB5", wide, 8)); // one surrogate pair
    EXPECT_EQ(1u, tn_utf8_to_utf16("\xFF", wide, 8));            // replacement character
    EXPECT_EQ(u'\uFFFD', wide[0]);
}

} // namespace
