// The direct channels of the control-and-monitoring client in a private network namespace whose
// loopback carries multicast (lo-netns.sh): the serial channel on 224.0.0.232:8705 and the
// metering channel on an ephemeral unicast port, fed by a plain socket.
#include "netaudio/conmon/conmon_channel.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/platform/qnb_env.h"
#include "testnet/tn_conmon_server.h"
#include "tests/support/fake_clock.h"

namespace {

struct received {
    unsigned type;
    uint16_t sequence;
};
std::vector<received> g_received;

void on_receive(void *, unsigned type, const conmon_channel_message *m)
{
    g_received.push_back({type, m->head.sequence});
}

std::vector<uint8_t> channel_message(uint16_t seq, uint8_t source, size_t body = 8)
{
    std::vector<uint8_t> m(24 + body, 0);
    m[0] = 0xFF;
    m[1] = 0xFF;
    m[2] = (uint8_t)(m.size() >> 8);
    m[3] = (uint8_t)m.size();
    m[4] = (uint8_t)(seq >> 8);
    m[5] = (uint8_t)seq;
    m[8] = source;
    memcpy(&m[16], CONMON_VENDOR_STANDARD, 8);
    return m;
}

class ConmonChannelNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_received.clear();
        ASSERT_EQ(qnb_env_get(&env_), 0);
        memset(&networks_, 0, sizeof networks_);
        memset(interfaces_, 0, sizeof interfaces_);
        uint32_t lo = if_nametoindex("lo");
        ASSERT_NE(lo, 0u);
        networks_.count = 1;
        networks_.entries[0].interface_index = lo;
        networks_.entries[0].address[1] = htonl(INADDR_LOOPBACK);
        interfaces_[0].index = lo;
        interfaces_[0].up = 1;
        interfaces_[0].multicast = 1;
        qnb_sockaddr_set(&interfaces_[0].address, htonl(INADDR_LOOPBACK), 0);

        conmon_channel_set_config config;
        memset(&config, 0, sizeof config);
        config.mask = (1u << CONMON_CHANNEL_METERING) | (1u << CONMON_CHANNEL_SERIAL);
        ASSERT_EQ(conmon_channel_set_new(env_, &config, &networks_, interfaces_, &set_), 0);
        conmon_channel_set_set_receive_callback(set_, on_receive, nullptr);
        ASSERT_EQ(conmon_channel_set_open(set_, false), 0);
        ASSERT_EQ(conmon_channel_set_init_tx_sockets(set_), 0);
        metering_port_ = conmon_channel_set_get_port(set_, CONMON_CHANNEL_METERING);
        ASSERT_NE(metering_port_, 0);
        EXPECT_EQ(conmon_channel_set_get_port(set_, CONMON_CHANNEL_SERIAL), CONMON_SERIAL_PORT);
        EXPECT_EQ(conmon_channel_set_get_unicast_address(set_, CONMON_CHANNEL_METERING, 0)->sin.sin_addr.s_addr,
                  htonl(INADDR_LOOPBACK));

        sender_ = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(sender_, 0);
        in_addr lo_address;
        lo_address.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(setsockopt(sender_, IPPROTO_IP, IP_MULTICAST_IF, &lo_address, sizeof lo_address), 0);
        int loop = 1;
        ASSERT_EQ(setsockopt(sender_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop), 0);
    }
    void TearDown() override
    {
        if (sender_ >= 0)
            close(sender_);
        conmon_channel_set_delete(set_);
        qnb_env_release(env_);
    }
    void send_to(const std::vector<uint8_t> &m, const char *address, uint16_t port)
    {
        sockaddr_in to;
        memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, address, &to.sin_addr);
        ASSERT_EQ(sendto(sender_, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
                  (ssize_t)m.size());
    }
    // Waits until some channel socket is readable, then processes the set.
    void pump()
    {
        qnb_socket_set sockets;
        qnb_socket_set_clear(&sockets);
        ASSERT_EQ(conmon_channel_set_add_sockets(set_, &sockets), 0);
        unsigned ready = 0;
        qnb_socket_set_wait(&sockets, 500, &ready);
        ASSERT_EQ(conmon_channel_set_process(set_, nullptr), 0);
    }

    qz_test::fake_clock clock_;
    qnb_env *env_ = nullptr;
    conmon_networks networks_;
    qnb_interface interfaces_[CONMON_MAX_NETWORKS];
    conmon_channel_set *set_ = nullptr;
    uint16_t metering_port_ = 0;
    int sender_ = -1;
};

TEST_F(ConmonChannelNetns, MulticastWithDuplicateFilter)
{
    send_to(channel_message(1, 0xA), "224.0.0.232", CONMON_SERIAL_PORT);
    pump();
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].type, (unsigned)CONMON_CHANNEL_SERIAL);

    // The same message again within 2 s is a repeat; another sender's is not.
    clock_.advance(1, 999999);
    send_to(channel_message(1, 0xA), "224.0.0.232", CONMON_SERIAL_PORT);
    send_to(channel_message(1, 0xB), "224.0.0.232", CONMON_SERIAL_PORT);
    pump();
    pump();
    ASSERT_EQ(g_received.size(), 2u);
    clock_.advance(0, 1);
    send_to(channel_message(1, 0xA), "224.0.0.232", CONMON_SERIAL_PORT);
    pump();
    EXPECT_EQ(g_received.size(), 3u);
}

TEST_F(ConmonChannelNetns, DestinationAndSizeChecks)
{
    // Unicast to the multicast channel's port, and multicast to the unicast channel's port: ignored.
    send_to(channel_message(2, 0xA), "127.0.0.1", CONMON_SERIAL_PORT);
    send_to(channel_message(3, 0xA), "224.0.0.232", metering_port_);
    // Too short, a head that does not match the size, and one byte over the largest message.
    send_to(std::vector<uint8_t>(23, 0), "224.0.0.232", CONMON_SERIAL_PORT);
    std::vector<uint8_t> mismatch = channel_message(4, 0xA);
    mismatch.push_back(0);
    send_to(mismatch, "224.0.0.232", CONMON_SERIAL_PORT);
    send_to(channel_message(5, 0xA, 1449), "224.0.0.232", CONMON_SERIAL_PORT);
    // Then the good ones: the largest body, and unicast to the metering channel.
    send_to(channel_message(6, 0xA, 1448), "224.0.0.232", CONMON_SERIAL_PORT);
    send_to(channel_message(7, 0xA), "127.0.0.1", metering_port_);
    // The oversize datagram ends its pass with the error; the next pass goes on.
    bool oversize_reported = false;
    for (int i = 0; i < 6 && g_received.size() < 2; ++i) {
        qnb_socket_set sockets;
        qnb_socket_set_clear(&sockets);
        ASSERT_EQ(conmon_channel_set_add_sockets(set_, &sockets), 0);
        unsigned ready = 0;
        qnb_socket_set_wait(&sockets, 500, &ready);
        qnb_error e = conmon_channel_set_process(set_, nullptr);
        if (e == QNB_ERR_MSGSIZE)
            oversize_reported = true;
        else
            ASSERT_EQ(e, 0);
    }
    EXPECT_TRUE(oversize_reported);
    ASSERT_EQ(g_received.size(), 2u);
    std::vector<uint16_t> seqs = {g_received[0].sequence, g_received[1].sequence};
    std::sort(seqs.begin(), seqs.end());
    EXPECT_EQ(seqs, (std::vector<uint16_t>{6, 7}));

    // A disabled channel drops what arrives.
    ASSERT_EQ(conmon_channel_set_enable(set_, CONMON_CHANNEL_METERING, false), 0);
    send_to(channel_message(8, 0xA), "127.0.0.1", metering_port_);
    pump();
    EXPECT_EQ(g_received.size(), 2u);
}

TEST_F(ConmonChannelNetns, MembershipFollowsTheNetworks)
{
    // The network goes away: the membership is dropped and the group no longer arrives.
    networks_.count = 0;
    conmon_channel_set_update_sockets(set_);
    send_to(channel_message(1, 0xA), "224.0.0.232", CONMON_SERIAL_PORT);
    pump();
    EXPECT_TRUE(g_received.empty());
    // It comes back: joined again.
    networks_.count = 1;
    conmon_channel_set_update_sockets(set_);
    send_to(channel_message(2, 0xA), "224.0.0.232", CONMON_SERIAL_PORT);
    pump();
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].sequence, 2);
}

// A client whose mask opens the serial channel: after the Connect it joins the group on the
// server's network and hands each message to the handler of its class (0 from the server's own
// device, 1 from others).
std::vector<uint16_t> g_classes;
void on_serial(conmon_client *, uint16_t type, uint16_t class_, const conmon_channel_message *)
{
    EXPECT_EQ(type, CONMON_CHANNEL_SERIAL);
    g_classes.push_back(class_);
}
void on_connect(conmon_client *, conmon_request *, qnb_error result)
{
    EXPECT_EQ(result, 0);
}

TEST_F(ConmonChannelNetns, ClientDispatchesDirectMessagesByClass)
{
    conmon_channel_set_delete(set_); // the fixture's set holds the port
    set_ = nullptr;
    tn_conmon_server *server = tn_conmon_server_new(0, nullptr);
    ASSERT_NE(server, nullptr);
    tn_conmon_interface lo;
    memset(&lo, 0, sizeof lo);
    lo.index = if_nametoindex("lo");
    lo.address = htonl(INADDR_LOOPBACK);
    lo.netmask = htonl(0xFF000000u);
    lo.link_speed = 1000;
    ASSERT_EQ(tn_conmon_server_set_interfaces(server, &lo, 1), 0);
    const uint8_t server_id[8] = {0xA, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(tn_conmon_server_set_device_id(server, server_id, 0), 0);

    conmon_client_config config;
    conmon_client_config_init(&config, "wfa_conmon_client");
    qnb_sockaddr_from_text(&config.server, AF_INET, "127.0.0.1", tn_conmon_server_get_port(server));
    config.channel_mask |= 1u << CONMON_CHANNEL_SERIAL;
    conmon_client *client = nullptr;
    ASSERT_EQ(conmon_client_new_with_config(env_, &config, &client), 0);
    conmon_request *request = nullptr;
    ASSERT_EQ(conmon_client_connect(client, on_connect, &request), 0);
    for (int i = 0; i < 50 && conmon_client_get_local_state(client) != CONMON_LOCAL_CONNECTED; ++i) {
        tn_conmon_server_poll(server, 10);
        conmon_client_process_sockets(client, nullptr, nullptr);
    }
    ASSERT_EQ(conmon_client_get_local_state(client), CONMON_LOCAL_CONNECTED);
    // The serial channel needs no Register: nothing is sent for it.
    EXPECT_EQ(conmon_client_register_monitoring_messages(client, nullptr, &request, CONMON_CHANNEL_SERIAL, 0, on_serial),
              0);
    EXPECT_EQ(request, nullptr);
    EXPECT_EQ(conmon_client_register_monitoring_messages(client, nullptr, &request, CONMON_CHANNEL_SERIAL, 1, on_serial),
              0);
    EXPECT_EQ(tn_conmon_server_request_count(server, TN_CONMON_OP_REGISTER), 0u);

    g_classes.clear();
    send_to(channel_message(1, 0xA), "224.0.0.232", CONMON_SERIAL_PORT); // from the server's device
    send_to(channel_message(2, 0xB), "224.0.0.232", CONMON_SERIAL_PORT);
    for (int i = 0; i < 20 && g_classes.size() < 2; ++i) {
        qnb_socket_set sockets;
        qnb_socket_set_clear(&sockets);
        ASSERT_EQ(conmon_client_get_sockets(client, &sockets), 0);
        EXPECT_EQ(sockets.count, 2u); // the link and the serial channel
        unsigned ready = 0;
        qnb_socket_set_wait(&sockets, 100, &ready);
        ASSERT_EQ(conmon_client_process_sockets(client, &sockets, nullptr), 0);
    }
    EXPECT_EQ(g_classes, (std::vector<uint16_t>{0, 1}));
    conmon_client_delete(client);
    tn_conmon_server_delete(server);
}

} // namespace
