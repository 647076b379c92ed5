// The whole conversation a driver holds with the local control-and-monitoring server, between the
// client library and the simulated server over loopback sockets, on the fake clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/platform/qnb_env.h"
#include "testnet/tn_conmon_server.h"
#include "tests/support/fake_clock.h"

namespace {

typedef std::vector<uint8_t> bytes;

struct seen {
    std::map<uint16_t, bytes> bodies; // the last status body of each type, from any device
    std::map<uint16_t, std::string> senders;
    std::vector<std::pair<std::string, uint16_t>> subscriptions; // name, status
    int connect_calls = 0;
    qnb_error connect_result = -1;
    int done = 0;
    std::vector<qnb_error> results;
};
seen *g_seen = nullptr;

// The installation: the values the conversation must read back from the devices' answers.
const char *const k_devices = "device T001-KTV4-S KTV4-S 1\n"
                              "firmware 5.6.7.8\n"
                              "software 5.6.9.10\n"
                              "model-id QNBKTV4X\n"
                              "manufacturer Velto Labs\n"
                              "manufacturer-firmware 2.0.1.44\n"
                              "interface 02:51:5a:04:00:01 10.1.2.3 255.255.0.0 100\n"
                              "rates 44100 48000\n"
                              "rate 44100\n"
                              "lock 1\n"
                              "aes67 1 1\n"
                              "device T002-RQA-310 RQA-310 2\n"
                              "model-id QNBRQA31\n";

void on_connect(conmon_client *, conmon_request *, qnb_error result)
{
    g_seen->connect_calls++;
    g_seen->connect_result = result;
}
void on_done(conmon_client *, conmon_request *, qnb_error result)
{
    g_seen->done++;
    g_seen->results.push_back(result);
}
void on_status(conmon_client *client, uint16_t, uint16_t, const conmon_channel_message *m)
{
    uint16_t type = 0;
    if (conmon_msg_get_type(m->body, m->body_length, &type))
        return;
    g_seen->bodies[type] = bytes(m->body, m->body + m->body_length);
    conmon_source_id id;
    conmon_message_head_get_source(&m->head, &id);
    const char *name = conmon_client_device_name_for_id(client, &id);
    g_seen->senders[type] = name ? name : "";
}
void on_subscriptions(conmon_client *, unsigned count, const conmon_remote_device_info *const *list)
{
    for (unsigned i = 0; i < count; ++i)
        g_seen->subscriptions.push_back({list[i]->name, list[i]->status});
}

class ConmonConversation : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_seen = &seen_;
        ASSERT_EQ(qnb_env_get(&env_), 0);
        server_ = tn_conmon_server_new(0, nullptr);
        ASSERT_NE(server_, nullptr);
        char path[] = "/tmp/qz-conmon-devicesXXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, k_devices, strlen(k_devices)), (ssize_t)strlen(k_devices));
        close(fd);
        qnb_error loaded = tn_conmon_server_load_file(server_, path);
        unlink(path);
        ASSERT_EQ(loaded, 0);
    }
    void TearDown() override
    {
        conmon_client_delete(client_);
        tn_conmon_server_delete(server_);
        qnb_env_release(env_);
        g_seen = nullptr;
    }
    void make_client()
    {
        conmon_client_config config;
        conmon_client_config_init(&config, "wfa_conmon_client");
        qnb_sockaddr_from_text(&config.server, AF_INET, "127.0.0.1", tn_conmon_server_get_port(server_));
        ASSERT_EQ(conmon_client_new_with_config(env_, &config, &client_), 0);
        conmon_client_set_subscriptions_callback(client_, on_subscriptions);
        EXPECT_EQ(conmon_client_set_max_requests(client_, 24), 24u);
    }
    // Runs server and client until `done` holds (at most `rounds` passes of each).
    template <typename F> bool run_until(F done, int rounds = 50)
    {
        for (int i = 0; i < rounds; ++i) {
            if (done())
                return true;
            if (server_)
                tn_conmon_server_poll(server_, 10);
            qnb_socket_set set;
            qnb_socket_set_clear(&set);
            conmon_client_get_sockets(client_, &set);
            unsigned ready = 0;
            qnb_socket_set_wait(&set, 10, &ready);
            last_ = conmon_client_process_sockets(client_, &set, &next_);
        }
        return done();
    }
    void connect()
    {
        conmon_request *req = nullptr;
        ASSERT_EQ(conmon_client_connect(client_, on_connect, &req), 0);
        ASSERT_TRUE(run_until([&] { return seen_.connect_calls > 0; }));
        ASSERT_EQ(seen_.connect_result, 0);
        ASSERT_EQ(conmon_client_get_local_state(client_), CONMON_LOCAL_CONNECTED);
    }
    void start_up()
    {
        connect();
        conmon_request *r = nullptr;
        ASSERT_EQ(conmon_client_register_control_messages(client_, on_done, &r, on_status), 0);
        const uint16_t reg[5][2] = {{2, 0}, {2, 1}, {3, 0}, {3, 1}, {4, 0}};
        for (const auto &tc : reg)
            ASSERT_EQ(conmon_client_register_monitoring_messages(client_, on_done, &r, tc[0], tc[1], on_status), 0);
        ASSERT_EQ(conmon_client_subscribe_global(client_, on_done, &r, 2), 0);
        ASSERT_TRUE(run_until([&] { return seen_.done == 7; }));
        for (qnb_error e : seen_.results)
            EXPECT_EQ(e, 0);
        EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);
        EXPECT_TRUE(tn_conmon_server_is_registered(server_, 0, 1));
        for (const auto &tc : reg)
            EXPECT_TRUE(tn_conmon_server_is_registered(server_, tc[0], tc[1]));
        EXPECT_TRUE(tn_conmon_server_is_subscribed(server_, 2, nullptr));
        EXPECT_EQ(conmon_client_get_subscription_flag(client_, 2), 1);
    }
    qnb_error send(const char *device, const void *body, size_t length, conmon_request **r = nullptr)
    {
        conmon_request *slot = nullptr;
        return conmon_client_send_control_message(client_, on_done, r ? r : &slot, device, 0xFFFF,
                                                  CONMON_VENDOR_STANDARD, body, length, nullptr);
    }
    // Sends a query body and waits for the status of `answer`.
    void ask(const char *device, const conmon_vendor_body &body, size_t length, uint16_t answer)
    {
        seen_.bodies.erase(answer);
        ASSERT_EQ(send(device, body.data, length), 0);
        ASSERT_TRUE(run_until([&] { return seen_.bodies.count(answer) != 0; })) << std::hex << answer;
    }

    qz_test::fake_clock clock_;
    qnb_env *env_ = nullptr;
    tn_conmon_server *server_ = nullptr;
    conmon_client *client_ = nullptr;
    seen seen_;
    qnb_timeval next_ = {0, 0};
    qnb_error last_ = 0;
};

TEST_F(ConmonConversation, StartUpQueriesAndEvents)
{
    make_client();
    start_up();
    const tn_conmon_device *dev = tn_conmon_server_device(server_, "T001-KTV4-S");
    ASSERT_NE(dev, nullptr);

    // Per-device subscription: the device is reported once, present, and known by its source id.
    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, &r, 6, dev->name), 0);
    ASSERT_TRUE(run_until([&] { return !seen_.subscriptions.empty(); }));
    ASSERT_EQ(seen_.subscriptions.size(), 1u);
    EXPECT_EQ(seen_.subscriptions[0], std::make_pair(std::string(dev->name), (uint16_t)17));
    conmon_source_id id;
    memcpy(id.device_id, dev->device_id, 8);
    id.process = dev->process;
    EXPECT_STREQ(conmon_client_device_name_for_id(client_, &id), dev->name);
    EXPECT_TRUE(tn_conmon_server_is_subscribed(server_, 6, dev->name));

    // Each query pair, decoded into what the device file holds.
    conmon_vendor_body body;
    conmon_msg_init(&body, CONMON_MSG_VERSIONS_QUERY, 1000000);
    ask(dev->name, body, CONMON_MSG_GENERIC_SIZE, CONMON_MSG_VERSIONS_STATUS);
    const bytes &v = seen_.bodies[CONMON_MSG_VERSIONS_STATUS];
    conmon_version fw, sw;
    uint8_t model[8];
    uint32_t caps = 0;
    ASSERT_EQ(conmon_msg_versions_get_version_b(v.data(), v.size(), &fw), 0);
    ASSERT_EQ(conmon_msg_versions_get_version_a(v.data(), v.size(), &sw), 0);
    ASSERT_EQ(conmon_msg_versions_get_model_id(v.data(), v.size(), model), 0);
    ASSERT_EQ(conmon_msg_versions_get_u32(v.data(), v.size(), &caps), 0);
    EXPECT_EQ(std::vector<unsigned>({fw.major, fw.minor, fw.bugfix, fw.build}), std::vector<unsigned>({5, 6, 7, 8}));
    EXPECT_EQ(std::vector<unsigned>({sw.major, sw.minor, sw.bugfix, sw.build}), std::vector<unsigned>({5, 6, 9, 10}));
    EXPECT_EQ(std::string((const char *)model, 8), "QNBKTV4X");
    EXPECT_EQ(caps & 0x1000u, 0x1000u);
    EXPECT_EQ(seen_.senders[CONMON_MSG_VERSIONS_STATUS], dev->name);

    conmon_msg_init_interface_control(&body, 1000000);
    ask(dev->name, body, conmon_msg_interface_control_size(&body), CONMON_MSG_INTERFACE_STATUS);
    const bytes &is = seen_.bodies[CONMON_MSG_INTERFACE_STATUS];
    conmon_interface_info iface;
    ASSERT_EQ(conmon_msg_interface_status_get_interface(is.data(), is.size(), 0, &iface), 0);
    const uint8_t mac[6] = {0x02, 0x51, 0x5a, 0x04, 0x00, 0x01};
    EXPECT_EQ(memcmp(iface.mac, mac, 6), 0);
    EXPECT_EQ(iface.address, htonl(0x0A010203u));
    EXPECT_EQ(iface.netmask, htonl(0xFFFF0000u));
    EXPECT_EQ(iface.link_speed, 100);

    conmon_msg_init(&body, CONMON_MSG_MANF_VERSIONS_QUERY, 1000000);
    ask(dev->name, body, CONMON_MSG_GENERIC_SIZE, CONMON_MSG_MANF_VERSIONS_STATUS);
    const bytes &mv = seen_.bodies[CONMON_MSG_MANF_VERSIONS_STATUS];
    char text[64];
    ASSERT_EQ(conmon_msg_manf_versions_get_block_b(mv.data(), mv.size(), text, sizeof text), 0);
    EXPECT_STREQ(text, "KTV4-S");
    ASSERT_EQ(conmon_msg_manf_versions_get_block_a(mv.data(), mv.size(), text, sizeof text), 0);
    EXPECT_STREQ(text, "Velto Labs");
    conmon_version mfw;
    ASSERT_EQ(conmon_msg_manf_versions_get_version_b(mv.data(), mv.size(), &mfw), 0);
    EXPECT_EQ(std::vector<unsigned>({mfw.major, mfw.minor, mfw.bugfix, mfw.build}),
              std::vector<unsigned>({2, 0, 1, 44}));

    conmon_msg_init_srate_control(&body, 1000000);
    conmon_msg_srate_control_set_rate(&body, 48000);
    ask(dev->name, body, CONMON_MSG_SRATE_CONTROL_SIZE, CONMON_MSG_SRATE_STATUS);
    const bytes &sr = seen_.bodies[CONMON_MSG_SRATE_STATUS];
    uint32_t rate = 0, first = 0, second = 0;
    uint16_t rates = 0;
    ASSERT_EQ(conmon_msg_srate_status_get_current(sr.data(), sr.size(), &rate), 0);
    ASSERT_EQ(conmon_msg_srate_status_num_rates(sr.data(), sr.size(), &rates), 0);
    ASSERT_EQ(conmon_msg_srate_status_get_rate(sr.data(), sr.size(), 0, &first), 0);
    ASSERT_EQ(conmon_msg_srate_status_get_rate(sr.data(), sr.size(), 1, &second), 0);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(rates, 2);
    EXPECT_EQ(first, 44100u);
    EXPECT_EQ(second, 48000u);

    conmon_msg_init_clocking_control(&body, 1000000);
    conmon_msg_clocking_control_set_preferred_master(&body, 1);
    ask(dev->name, body, CONMON_MSG_CLOCKING_CONTROL_SIZE, CONMON_MSG_CLOCKING_STATUS);
    const bytes &cs = seen_.bodies[CONMON_MSG_CLOCKING_STATUS];
    uint8_t preferred = 0;
    ASSERT_EQ(conmon_msg_clocking_status_get_preferred_master(cs.data(), cs.size(), &preferred), 0);
    EXPECT_EQ(preferred, 1);

    conmon_msg_init_aes67_query(&body, 1000000);
    ask(dev->name, body, CONMON_MSG_AES67_QUERY_SIZE, CONMON_MSG_AES67_STATUS);
    const bytes &as = seen_.bodies[CONMON_MSG_AES67_STATUS];
    bool enabled = false, reboot = false;
    ASSERT_EQ(conmon_msg_aes67_status_get(as.data(), as.size(), &enabled, &reboot), 0);
    EXPECT_TRUE(enabled);
    EXPECT_TRUE(reboot);

    conmon_msg_init(&body, CONMON_MSG_LOCK_QUERY, 1000000);
    ask(dev->name, body, CONMON_MSG_GENERIC_SIZE, CONMON_MSG_LOCK_STATUS);
    const bytes &ls = seen_.bodies[CONMON_MSG_LOCK_STATUS];
    bool locked = false;
    ASSERT_EQ(conmon_msg_lock_status_get_locked(ls.data(), ls.size(), &locked), 0);
    EXPECT_TRUE(locked);

    // Every Send Message was answered; no slot is left.
    EXPECT_TRUE(run_until([&] { return conmon_client_requests_in_use(client_) == 0; }));

    // The device goes and comes: Subscriptions Changed with status 16, then 17.
    seen_.subscriptions.clear();
    ASSERT_EQ(tn_conmon_server_set_online(server_, dev->name, false), 0);
    ASSERT_TRUE(run_until([&] { return seen_.subscriptions.size() == 1; }));
    EXPECT_EQ(seen_.subscriptions[0].second, 16);
    ASSERT_EQ(tn_conmon_server_set_online(server_, dev->name, true), 0);
    ASSERT_TRUE(run_until([&] { return seen_.subscriptions.size() == 2; }));
    EXPECT_EQ(seen_.subscriptions[1].second, 17);

    // A property change reaches the status handler unasked.
    ASSERT_EQ(tn_conmon_server_property_change(server_, dev->name), 0);
    ASSERT_TRUE(run_until([&] { return seen_.bodies.count(CONMON_MSG_PROPERTY_CHANGE) != 0; }));
    EXPECT_EQ(seen_.senders[CONMON_MSG_PROPERTY_CHANGE], dev->name);

    // A reboot: the device goes, and comes back after its reboot time on the library clock.
    seen_.subscriptions.clear();
    conmon_msg_init_sys_reset(&body, 1000000);
    conmon_msg_sys_reset_set_mode(&body, 1);
    ASSERT_EQ(send(dev->name, body.data, CONMON_MSG_SYS_RESET_SIZE), 0);
    ASSERT_TRUE(run_until([&] { return seen_.subscriptions.size() == 1; }));
    EXPECT_EQ(seen_.subscriptions[0].second, 16);
    clock_.advance(dev->reboot_ms / 1000 + 1);
    ASSERT_TRUE(run_until([&] { return seen_.subscriptions.size() == 2; }));
    EXPECT_EQ(seen_.subscriptions[1].second, 17);

    // Named channel messages: a device known only from the global subscription is named by the
    // message itself.
    tn_conmon_server_set_named_messages(server_, true);
    conmon_msg_init(&body, CONMON_MSG_VERSIONS_QUERY, 1000000);
    ask("T002-RQA-310", body, CONMON_MSG_GENERIC_SIZE, CONMON_MSG_VERSIONS_STATUS);
    EXPECT_EQ(seen_.senders[CONMON_MSG_VERSIONS_STATUS], "T002-RQA-310");
    const bytes &v2 = seen_.bodies[CONMON_MSG_VERSIONS_STATUS];
    ASSERT_EQ(conmon_msg_versions_get_model_id(v2.data(), v2.size(), model), 0);
    EXPECT_EQ(std::string((const char *)model, 8), "QNBRQA31");

    // Shut-down: the global subscription is cancelled, the link closed.
    ASSERT_EQ(conmon_client_unsubscribe_global(client_, nullptr, nullptr, 2), 0);
    ASSERT_TRUE(run_until([&] { return !tn_conmon_server_is_subscribed(server_, 2, nullptr); }));
    ASSERT_EQ(conmon_client_disconnect(client_), 0);
    EXPECT_TRUE(run_until([&] { return tn_conmon_server_request_count(server_, TN_CONMON_OP_DISCONNECT) == 1; }));
}

TEST_F(ConmonConversation, OldServerFallBack)
{
    ASSERT_EQ(tn_conmon_server_set_version(server_, 0x1300), 0);
    make_client();
    start_up();
    EXPECT_EQ(conmon_client_get_config(client_)->version, 0x1300);
    EXPECT_EQ(tn_conmon_server_request_count(server_, TN_CONMON_OP_CONNECT), 2u);
    conmon_request *r = nullptr;
    ASSERT_EQ(conmon_client_subscribe(client_, on_done, &r, 6, "T002-RQA-310"), 0);
    ASSERT_TRUE(run_until([&] { return !seen_.subscriptions.empty(); }));
    EXPECT_EQ(seen_.subscriptions[0], std::make_pair(std::string("T002-RQA-310"), (uint16_t)17));
}

TEST_F(ConmonConversation, UnansweredRequestAndServerGone)
{
    make_client();
    start_up();
    tn_conmon_server_set_unanswered(server_, TN_CONMON_OP_SEND_MESSAGE, true);
    conmon_vendor_body body;
    conmon_msg_init(&body, CONMON_MSG_VERSIONS_QUERY, 1000000);
    seen_.results.clear();
    conmon_request *r = nullptr;
    ASSERT_EQ(send("T001-KTV4-S", body.data, CONMON_MSG_GENERIC_SIZE, &r), 0);
    // The device still answers; the request itself is never answered.
    ASSERT_TRUE(run_until([&] { return seen_.bodies.count(CONMON_MSG_VERSIONS_STATUS) != 0; }));
    EXPECT_EQ(conmon_client_requests_in_use(client_), 1u);
    clock_.advance(CONMON_REQUEST_TIMEOUT);
    ASSERT_TRUE(run_until([&] { return !seen_.results.empty(); }));
    EXPECT_EQ(seen_.results.back(), QNB_ERR_TIMEDOUT);
    EXPECT_EQ(conmon_client_requests_in_use(client_), 0u);

    // The server goes away: the next request draws CONNRESET from the processing.
    tn_conmon_server_delete(server_);
    server_ = nullptr;
    ASSERT_EQ(send("T001-KTV4-S", body.data, CONMON_MSG_GENERIC_SIZE), 0);
    EXPECT_TRUE(run_until([&] { return last_ == QNB_ERR_CONNRESET; }));
}

} // namespace
