// Sockets on loopback: addresses, error translation, oversize datagrams, packet information.
#include "netaudio/platform/qnb_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_interface.h"

namespace {

uint32_t ip(const char *text)
{
    return inet_addr(text);
}

qnb_sockaddr loopback(uint16_t port)
{
    qnb_sockaddr a;
    qnb_sockaddr_set(&a, htonl(INADDR_LOOPBACK), port);
    return a;
}

// A UDP socket bound to an ephemeral loopback port; closed at the end of the test.
struct BoundSocket {
    qnb_socket sock = QNB_SOCKET_INVALID;
    qnb_sockaddr name{};
    BoundSocket()
    {
        EXPECT_EQ(qnb_socket_open_udp(&sock, AF_INET), QNB_ERR_SUCCESS);
        qnb_sockaddr any = loopback(0);
        EXPECT_EQ(qnb_socket_bind(sock, &any), QNB_ERR_SUCCESS);
        EXPECT_EQ(qnb_socket_get_name(sock, &name), QNB_ERR_SUCCESS);
    }
    ~BoundSocket() { qnb_socket_close(&sock); }
};

// Waits (bounded) until the socket has something to report: a datagram or a pending error.
bool wait_readable(qnb_socket sock)
{
    struct pollfd p = {sock, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

void send_bytes(const BoundSocket &from, const BoundSocket &to, size_t length, char fill = 'x')
{
    std::vector<char> data(length, fill);
    size_t n = length;
    ASSERT_EQ(qnb_socket_sendto(from.sock, data.data(), &n, &to.name), QNB_ERR_SUCCESS);
    ASSERT_EQ(n, length);
}

// The receive with packet information needs the platform set up; the environment does that.
class SocketEnvTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qnb_env_get(&env_), QNB_ERR_SUCCESS); }
    void TearDown() override { qnb_env_release(env_); }
    qnb_env *env_ = nullptr;
};

TEST(SockaddrTest, TextForms)
{
    qnb_sockaddr a;
    ASSERT_EQ(qnb_sockaddr_from_text(&a, AF_INET, "10.0.0.5", 8900), QNB_ERR_SUCCESS);
    char text[QNB_SOCKADDR_TEXT_SIZE];
    EXPECT_STREQ(qnb_sockaddr_to_text(&a, text, sizeof text), "10.0.0.5:8900 (len=16)");
    EXPECT_STREQ(qnb_sockaddr_to_host_text(&a, text, sizeof text), "10.0.0.5");
    EXPECT_EQ(qnb_sockaddr_get_port(&a), 8900);

    qnb_sockaddr_clear(&a);
    EXPECT_TRUE(qnb_sockaddr_is_empty(&a));
    EXPECT_STREQ(qnb_sockaddr_to_text(&a, text, sizeof text), "");
    EXPECT_STREQ(qnb_sockaddr_to_host_text(&a, text, sizeof text), "");
    EXPECT_EQ(qnb_sockaddr_get_port(&a), 0);
    EXPECT_EQ(qnb_sockaddr_set_port(&a, 1), QNB_ERR_AFNOSUPPORT);

    // A buffer too small for the address gives no text rather than a part of one.
    char small[8];
    EXPECT_EQ(qnb_inet_ntoa(ip("192.168.100.200"), small, sizeof small), nullptr);
    EXPECT_STREQ(qnb_inet_ntoa(ip("192.168.100.200"), text, sizeof text), "192.168.100.200");
}

TEST(SockaddrTest, ParsingAddresses)
{
    struct Case {
        const char *text;
        qnb_error result;
        uint32_t address; // network order
    } cases[] = {
        {"255.255.255.255", QNB_ERR_SUCCESS, 0xFFFFFFFFu},
        {"10.0.0.5", QNB_ERR_SUCCESS, ip("10.0.0.5")},
        {"0.0.0.0", QNB_ERR_SUCCESS, 0},
        {"224.0.0.232", QNB_ERR_SUCCESS, ip("224.0.0.232")},
        {"not an address", QNB_ERR_INVALIDPARAMETER, 0},
        {"256.1.1.1", QNB_ERR_INVALIDPARAMETER, 0},
        {"", QNB_ERR_INVALIDPARAMETER, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t out = 0x12345678u;
        EXPECT_EQ(qnb_inet_aton(c.text, &out), c.result);
        if (c.result == QNB_ERR_SUCCESS)
            EXPECT_EQ(out, c.address);
        else
            EXPECT_EQ(out, 0x12345678u);
    }
    uint32_t out = 0;
    EXPECT_EQ(qnb_inet_aton(nullptr, &out), QNB_ERR_INVALIDPARAMETER);

    qnb_sockaddr a;
    EXPECT_EQ(qnb_sockaddr_from_text(&a, 0, "10.0.0.5", 1), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_sockaddr_from_text(&a, AF_INET6, "10.0.0.5", 1), QNB_ERR_NOTSUPPORTED);
    EXPECT_EQ(qnb_sockaddr_from_text(&a, AF_INET, "10.0.0", 1), QNB_ERR_SUCCESS); // the classic short form
    EXPECT_EQ(qnb_sockaddr_from_text(&a, AF_INET, "x", 1), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_sockaddr_set_any(&a, AF_INET6, 1), QNB_ERR_NOTSUPPORTED);
    ASSERT_EQ(qnb_sockaddr_set_any(&a, AF_INET, 4440), QNB_ERR_SUCCESS);
    EXPECT_EQ(a.sin.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(qnb_sockaddr_get_port(&a), 4440);
}

TEST(SockaddrTest, MulticastRange)
{
    struct Case {
        const char *text;
        bool multicast;
    } cases[] = {
        {"224.0.0.0", true},        {"224.0.0.232", true}, {"239.255.255.255", true},
        {"223.255.255.255", false}, {"240.0.0.0", false},  {"192.168.1.1", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(qnb_inaddr_is_multicast(ip(c.text)), c.multicast);
        qnb_sockaddr a;
        qnb_sockaddr_set(&a, ip(c.text), 9875);
        EXPECT_EQ(qnb_sockaddr_is_multicast(&a), c.multicast);
    }
    qnb_sockaddr empty{};
    empty.sin.sin_addr.s_addr = ip("224.0.0.1");
    EXPECT_FALSE(qnb_sockaddr_is_multicast(&empty)); // no family: not an address at all
}

TEST(SockaddrTest, Equality)
{
    qnb_sockaddr a, b;
    qnb_sockaddr_set(&a, ip("10.0.0.5"), 8900);
    qnb_sockaddr_set(&b, ip("10.0.0.5"), 8900);
    EXPECT_TRUE(qnb_sockaddr_equal(&a, &b));
    EXPECT_TRUE(qnb_sockaddr_host_equal(&a, &b));

    qnb_sockaddr_set_port(&b, 8901);
    EXPECT_FALSE(qnb_sockaddr_equal(&a, &b));
    EXPECT_TRUE(qnb_sockaddr_host_equal(&a, &b)); // ports do not matter to the host

    qnb_sockaddr_set(&b, ip("10.0.0.6"), 8900);
    EXPECT_FALSE(qnb_sockaddr_equal(&a, &b));
    EXPECT_FALSE(qnb_sockaddr_host_equal(&a, &b));

    // Empty or missing records are never equal, not even to themselves.
    qnb_sockaddr empty{};
    EXPECT_FALSE(qnb_sockaddr_equal(&empty, &empty));
    EXPECT_FALSE(qnb_sockaddr_equal(&a, nullptr));
    EXPECT_FALSE(qnb_sockaddr_equal(nullptr, &a));
    EXPECT_FALSE(qnb_sockaddr_host_equal(&a, &empty));

    // A length byte larger than the address never makes the comparison read past it.
    qnb_sockaddr big_a[1], big_b[1];
    qnb_sockaddr_set(big_a, ip("10.0.0.5"), 8900);
    qnb_sockaddr_set(big_b, ip("10.0.0.5"), 8900);
    big_a->length = 255;
    EXPECT_TRUE(qnb_sockaddr_equal(big_a, big_b));
}

TEST(SocketTest, OperationsRefuseMissingSocket)
{
    char buffer[16];
    size_t n = sizeof buffer;
    qnb_sockaddr a = loopback(9);
    qnb_recv_options options{};
    const qnb_socket none = QNB_SOCKET_INVALID;
    EXPECT_EQ(qnb_socket_connect(none, &a), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_bind(none, &a), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_get_name(none, &a), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_send(none, buffer, &n), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_sendto(none, buffer, &n, &a), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_recv(none, buffer, &n), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_recvfrom(none, buffer, &n, &a), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_recvmsg(none, buffer, &n, &options), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_set_nonblocking(none, 0), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_set_multicast_interface(none, nullptr), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_set_multicast_loop(none, 1), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_set_pktinfo(none, 1), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_set_reuse_address(none, 1), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(n, sizeof buffer);
    EXPECT_FALSE(qnb_socket_is_valid(none));
    EXPECT_EQ(qnb_socket_close(nullptr), QNB_ERR_INVALIDPARAMETER);
}

TEST(SocketTest, OpenCloseAndFamilies)
{
    // Opening into a variable that already holds a socket opens nothing.
    qnb_socket sock = 12345;
    EXPECT_EQ(qnb_socket_open_udp(&sock, AF_INET), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(sock, 12345);

    sock = QNB_SOCKET_INVALID;
    ASSERT_EQ(qnb_socket_open_udp(&sock, AF_INET), QNB_ERR_SUCCESS);
    EXPECT_TRUE(qnb_socket_is_valid(sock));
    qnb_sockaddr other{};
    other.length = 16;
    other.sin.sin_family = AF_INET6;
    EXPECT_EQ(qnb_socket_bind(sock, &other), QNB_ERR_NOTSUPPORTED);
    other.sin.sin_family = 0;
    EXPECT_EQ(qnb_socket_connect(sock, &other), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_close(&sock), QNB_ERR_SUCCESS);
    EXPECT_EQ(sock, QNB_SOCKET_INVALID);
    EXPECT_EQ(qnb_socket_close(&sock), QNB_ERR_SUCCESS); // closing nothing is fine

    // A failed connect leaves no socket behind.
    sock = QNB_SOCKET_INVALID;
    other.sin.sin_family = AF_INET6;
    EXPECT_EQ(qnb_socket_open_connected(&sock, &other), QNB_ERR_NOTSUPPORTED);
    EXPECT_EQ(sock, QNB_SOCKET_INVALID);

    // Port reuse has no meaning here.
    BoundSocket s;
    EXPECT_EQ(qnb_socket_set_reuse_port(s.sock, 1), QNB_ERR_NOTSUPPORTED);
}

TEST(SocketTest, OptionsAreOnExactlyForOne)
{
    struct Option {
        const char *name;
        qnb_error (*set)(qnb_socket, int);
        int level;
        int option;
    } options[] = {
        {"multicast loop", qnb_socket_set_multicast_loop, IPPROTO_IP, IP_MULTICAST_LOOP},
        {"pktinfo", qnb_socket_set_pktinfo, IPPROTO_IP, IP_PKTINFO},
        {"reuse address", qnb_socket_set_reuse_address, SOL_SOCKET, SO_REUSEADDR},
    };
    BoundSocket s;
    for (const Option &o : options) {
        for (int value : {1, 0, 2, -1}) {
            SCOPED_TRACE(std::string(o.name) + " = " + std::to_string(value));
            ASSERT_EQ(o.set(s.sock, value), QNB_ERR_SUCCESS);
            int got = -7;
            socklen_t len = sizeof got;
            ASSERT_EQ(getsockopt(s.sock, o.level, o.option, &got, &len), 0);
            EXPECT_EQ(got != 0, value == 1);
        }
    }
}

TEST(SocketTest, SendAndReceiveOnLoopback)
{
    BoundSocket a, b;
    const char hello[] = "hello";
    size_t n = 5;
    ASSERT_EQ(qnb_socket_sendto(a.sock, hello, &n, &b.name), QNB_ERR_SUCCESS);
    EXPECT_EQ(n, 5u);

    char buffer[64];
    size_t size = sizeof buffer;
    qnb_sockaddr from;
    qnb_sockaddr_clear(&from);
    ASSERT_EQ(qnb_socket_recvfrom(b.sock, buffer, &size, &from), QNB_ERR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), "hello");
    EXPECT_TRUE(qnb_sockaddr_equal(&from, &a.name));
    EXPECT_EQ(from.length, 16);

    // A connected socket sends without an address and receives only from its peer.
    ASSERT_EQ(qnb_socket_connect(a.sock, &b.name), QNB_ERR_SUCCESS);
    n = 3;
    ASSERT_EQ(qnb_socket_send(a.sock, "abc", &n), QNB_ERR_SUCCESS);
    size = sizeof buffer;
    ASSERT_EQ(qnb_socket_recv(b.sock, buffer, &size), QNB_ERR_SUCCESS);
    EXPECT_EQ(std::string(buffer, size), "abc");
}

TEST(SocketTest, NonBlockingReceiveWithNoDataTimesOut)
{
    BoundSocket s;
    ASSERT_EQ(qnb_socket_set_nonblocking(s.sock, 0), QNB_ERR_SUCCESS);
    EXPECT_NE(fcntl(s.sock, F_GETFL) & O_NONBLOCK, 0);
    char buffer[16];
    size_t size = sizeof buffer;
    EXPECT_EQ(qnb_socket_recv(s.sock, buffer, &size), QNB_ERR_TIMEDOUT);
    EXPECT_EQ(size, sizeof buffer); // untouched on failure
    qnb_sockaddr from = loopback(1);
    EXPECT_EQ(qnb_socket_recvfrom(s.sock, buffer, &size, &from), QNB_ERR_TIMEDOUT);
    EXPECT_EQ(qnb_sockaddr_get_port(&from), 1);

    ASSERT_EQ(qnb_socket_set_nonblocking(s.sock, 1), QNB_ERR_SUCCESS);
    EXPECT_EQ(fcntl(s.sock, F_GETFL) & O_NONBLOCK, 0);
}

TEST(SocketTest, ConnectedSocketToClosedPortReportsReset)
{
    // A port nobody listens on: bind, learn it, close.
    qnb_sockaddr closed;
    {
        BoundSocket gone;
        closed = gone.name;
    }
    qnb_socket sock = QNB_SOCKET_INVALID;
    ASSERT_EQ(qnb_socket_open_connected(&sock, &closed), QNB_ERR_SUCCESS);
    ASSERT_EQ(qnb_socket_set_nonblocking(sock, 0), QNB_ERR_SUCCESS);
    size_t n = 4;
    ASSERT_EQ(qnb_socket_send(sock, "ping", &n), QNB_ERR_SUCCESS);
    ASSERT_TRUE(wait_readable(sock));
    char buffer[16];
    size_t size = sizeof buffer;
    EXPECT_EQ(qnb_socket_recv(sock, buffer, &size), QNB_ERR_CONNRESET);

    // An unconnected socket never sees the unreachable report: its receive just finds no data.
    BoundSocket s;
    ASSERT_EQ(qnb_socket_set_nonblocking(s.sock, 0), QNB_ERR_SUCCESS);
    n = 4;
    ASSERT_EQ(qnb_socket_sendto(s.sock, "ping", &n, &closed), QNB_ERR_SUCCESS);
    struct pollfd p = {s.sock, POLLIN, 0};
    poll(&p, 1, 100); // bounded: the report would have arrived by now on loopback
    size = sizeof buffer;
    EXPECT_EQ(qnb_socket_recv(s.sock, buffer, &size), QNB_ERR_TIMEDOUT);
    qnb_socket_close(&sock);
}

TEST_F(SocketEnvTest, OversizeDatagramIsAnErrorNotACut)
{
    BoundSocket a, b;
    qnb_recv_options options{};
    struct Receiver {
        const char *name;
        std::function<qnb_error(char *, size_t *)> receive;
    } receivers[] = {
        {"recv", [&](char *buf, size_t *size) { return qnb_socket_recv(b.sock, buf, size); }},
        {"recvfrom", [&](char *buf, size_t *size) { return qnb_socket_recvfrom(b.sock, buf, size, nullptr); }},
        {"recvmsg", [&](char *buf, size_t *size) {
             options.flags = QNB_RECV_SOURCE;
             return qnb_socket_recvmsg(b.sock, buf, size, &options);
         }},
    };
    for (const Receiver &r : receivers) {
        SCOPED_TRACE(r.name);
        send_bytes(a, b, 101, 'x');
        send_bytes(a, b, 100, 'y');
        char buffer[100];
        size_t size = sizeof buffer;
        EXPECT_EQ(r.receive(buffer, &size), QNB_ERR_MSGSIZE);
        EXPECT_EQ(size, sizeof buffer);
        // The next datagram that fits exactly arrives whole.
        size = sizeof buffer;
        ASSERT_EQ(r.receive(buffer, &size), QNB_ERR_SUCCESS);
        EXPECT_EQ(size, 100u);
        EXPECT_EQ(std::string(buffer, size), std::string(100, 'y'));
    }
}

TEST_F(SocketEnvTest, RecvmsgReportsDestinationAndInterface)
{
    ASSERT_TRUE(qnb_platform_recvmsg_ready());
    BoundSocket a, b;
    ASSERT_EQ(qnb_socket_set_pktinfo(b.sock, 1), QNB_ERR_SUCCESS);
    send_bytes(a, b, 10);

    char buffer[32];
    size_t size = sizeof buffer;
    qnb_recv_options options{};
    options.flags = QNB_RECV_SOURCE | QNB_RECV_DESTINATION | QNB_RECV_INTERFACE;
    ASSERT_EQ(qnb_socket_recvmsg(b.sock, buffer, &size, &options), QNB_ERR_SUCCESS);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(options.flags, (uint32_t)(QNB_RECV_SOURCE | QNB_RECV_DESTINATION | QNB_RECV_INTERFACE));
    EXPECT_TRUE(qnb_sockaddr_equal(&options.source, &a.name));
    // The destination carries the port of the receiving socket's own name.
    EXPECT_TRUE(qnb_sockaddr_equal(&options.destination, &b.name));
    EXPECT_EQ(options.interface_index, if_nametoindex("lo"));

    // Only what was asked for is delivered.
    send_bytes(a, b, 10);
    size = sizeof buffer;
    qnb_recv_options only_interface{};
    only_interface.flags = QNB_RECV_INTERFACE;
    ASSERT_EQ(qnb_socket_recvmsg(b.sock, buffer, &size, &only_interface), QNB_ERR_SUCCESS);
    EXPECT_EQ(only_interface.flags, (uint32_t)QNB_RECV_INTERFACE);
    EXPECT_TRUE(qnb_sockaddr_is_empty(&only_interface.source));
    EXPECT_TRUE(qnb_sockaddr_is_empty(&only_interface.destination));

    // Without packet information there is no destination or interface to deliver.
    ASSERT_EQ(qnb_socket_set_pktinfo(b.sock, 0), QNB_ERR_SUCCESS);
    send_bytes(a, b, 10);
    size = sizeof buffer;
    qnb_recv_options plain{};
    plain.flags = QNB_RECV_SOURCE | QNB_RECV_DESTINATION | QNB_RECV_INTERFACE;
    ASSERT_EQ(qnb_socket_recvmsg(b.sock, buffer, &size, &plain), QNB_ERR_SUCCESS);
    EXPECT_EQ(plain.flags, (uint32_t)QNB_RECV_SOURCE);
}

// Runs in a process of its own (a death-test child), where no environment was ever taken.
void receive_before_set_up()
{
    if (qnb_platform_recvmsg_ready())
        _exit(2);
    BoundSocket a, b;
    send_bytes(a, b, 4);
    char buffer[16];
    size_t size = sizeof buffer;
    qnb_recv_options options{};
    options.flags = QNB_RECV_SOURCE;
    qnb_error err = qnb_socket_recvmsg(b.sock, buffer, &size, &options);
    _exit(err == QNB_ERR_NOTINITIALISED && size == sizeof buffer ? 0 : 1);
}

TEST(SocketDeathTest, RecvmsgBeforePlatformSetUpIsRefused)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(receive_before_set_up(), ::testing::ExitedWithCode(0), "");
}

TEST(SocketTest, MulticastMembership)
{
    BoundSocket s;
    qnb_sockaddr group;
    qnb_sockaddr_set(&group, ip("192.168.1.1"), 0);
    EXPECT_EQ(qnb_socket_join_group(s.sock, &group, nullptr), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_leave_group(s.sock, &group, nullptr), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_join_group(s.sock, nullptr, nullptr), QNB_ERR_INVALIDPARAMETER);

    // Join and leave on the loopback interface, named by its address.
    qnb_interface lo{};
    lo.index = if_nametoindex("lo");
    qnb_sockaddr_set(&lo.address, htonl(INADDR_LOOPBACK), 0);
    qnb_sockaddr_set(&group, ip("239.255.77.78"), 0);
    ASSERT_EQ(qnb_socket_join_group(s.sock, &group, &lo), QNB_ERR_SUCCESS);
    EXPECT_EQ(qnb_socket_join_group(s.sock, &group, &lo), QNB_ERR_ADDRINUSE);
    EXPECT_EQ(qnb_socket_leave_group(s.sock, &group, &lo), QNB_ERR_SUCCESS);
    EXPECT_EQ(qnb_socket_leave_group(s.sock, &group, &lo), QNB_ERR_ADDRNOTAVAIL);

    ASSERT_EQ(qnb_socket_set_multicast_interface(s.sock, &lo), QNB_ERR_SUCCESS);
    struct in_addr chosen{};
    socklen_t len = sizeof chosen;
    ASSERT_EQ(getsockopt(s.sock, IPPROTO_IP, IP_MULTICAST_IF, &chosen, &len), 0);
    EXPECT_EQ(chosen.s_addr, htonl(INADDR_LOOPBACK));
    ASSERT_EQ(qnb_socket_set_multicast_interface(s.sock, nullptr), QNB_ERR_SUCCESS);
    len = sizeof chosen;
    ASSERT_EQ(getsockopt(s.sock, IPPROTO_IP, IP_MULTICAST_IF, &chosen, &len), 0);
    EXPECT_EQ(chosen.s_addr, htonl(INADDR_ANY));
}

} // namespace
