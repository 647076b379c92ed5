// The socket set: membership bookkeeping and the poll()-based wait, including descriptors beyond
// the range a select() set could hold.
#include "netaudio/platform/qnb_socket_set.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "netaudio/platform/qnb_socket.h"

namespace {

struct Udp {
    qnb_socket sock = QNB_SOCKET_INVALID;
    qnb_sockaddr name{};
    Udp()
    {
        EXPECT_EQ(qnb_socket_open_udp(&sock, AF_INET), QNB_ERR_SUCCESS);
        qnb_sockaddr any;
        qnb_sockaddr_set(&any, htonl(INADDR_LOOPBACK), 0);
        EXPECT_EQ(qnb_socket_bind(sock, &any), QNB_ERR_SUCCESS);
        EXPECT_EQ(qnb_socket_get_name(sock, &name), QNB_ERR_SUCCESS);
    }
    ~Udp() { qnb_socket_close(&sock); }
    void send_to(const qnb_sockaddr &to) const
    {
        size_t n = 1;
        ASSERT_EQ(qnb_socket_sendto(sock, "!", &n, &to), QNB_ERR_SUCCESS);
    }
};

std::vector<int> members(const qnb_socket_set &set)
{
    return std::vector<int>(set.sockets, set.sockets + set.count);
}

TEST(SocketSetTest, AddIgnoresRepeatsAndEraseRemovesTheEntry)
{
    auto set = std::make_unique<qnb_socket_set>();
    qnb_socket_set_clear(set.get());
    EXPECT_EQ(set->count, 0u);
    for (int fd : {7, 3, 7, 9, 3, 0})
        ASSERT_EQ(qnb_socket_set_add(set.get(), fd), QNB_ERR_SUCCESS);
    EXPECT_EQ(members(*set), (std::vector<int>{7, 3, 9, 0}));
    EXPECT_TRUE(qnb_socket_set_is_member(set.get(), 0));
    EXPECT_FALSE(qnb_socket_set_is_member(set.get(), 8));
    EXPECT_FALSE(qnb_socket_set_is_member(set.get(), -1));

    qnb_socket_set_erase(set.get(), 3);
    EXPECT_EQ(members(*set), (std::vector<int>{7, 9, 0}));
    EXPECT_FALSE(qnb_socket_set_is_member(set.get(), 3));
    qnb_socket_set_erase(set.get(), 42); // absent: nothing happens
    EXPECT_EQ(members(*set), (std::vector<int>{7, 9, 0}));

    EXPECT_EQ(qnb_socket_set_add(set.get(), -1), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_set_add(nullptr, 1), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(members(*set), (std::vector<int>{7, 9, 0}));

    qnb_socket_set_clear(set.get());
    EXPECT_EQ(set->count, 0u);
    EXPECT_FALSE(qnb_socket_set_is_member(set.get(), 7));
}

TEST(SocketSetTest, FullSetRefusesOneMore)
{
    auto set = std::make_unique<qnb_socket_set>();
    qnb_socket_set_clear(set.get());
    // Membership is bookkeeping only: the numbers need not be open descriptors.
    for (int fd = 5000; fd < 5000 + QNB_SOCKET_SET_MAX; ++fd)
        ASSERT_EQ(qnb_socket_set_add(set.get(), fd), QNB_ERR_SUCCESS);
    EXPECT_EQ(set->count, (unsigned)QNB_SOCKET_SET_MAX);
    EXPECT_EQ(qnb_socket_set_add(set.get(), 4999), QNB_ERR_NOBUFS);
    EXPECT_EQ(qnb_socket_set_add(set.get(), 5000), QNB_ERR_SUCCESS); // already there
    EXPECT_EQ(set->count, (unsigned)QNB_SOCKET_SET_MAX);
    EXPECT_TRUE(qnb_socket_set_is_member(set.get(), 5000 + QNB_SOCKET_SET_MAX - 1));

    qnb_socket_set_erase(set.get(), 5000);
    EXPECT_EQ(qnb_socket_set_add(set.get(), 4999), QNB_ERR_SUCCESS);
    EXPECT_EQ(set->sockets[QNB_SOCKET_SET_MAX - 1], 4999);
}

TEST(SocketSetTest, WaitKeepsOnlyReadyMembers)
{
    Udp quiet, busy, sender;
    auto set = std::make_unique<qnb_socket_set>();
    qnb_socket_set_clear(set.get());
    qnb_socket_set_add(set.get(), quiet.sock);
    qnb_socket_set_add(set.get(), busy.sock);
    sender.send_to(busy.name);

    unsigned ready = 99;
    ASSERT_EQ(qnb_socket_set_wait(set.get(), 5000, &ready), QNB_ERR_SUCCESS);
    EXPECT_EQ(ready, 1u);
    EXPECT_EQ(members(*set), (std::vector<int>{busy.sock}));

    // Nothing pending: the wait ends after its time with no member left.
    qnb_socket_set_clear(set.get());
    qnb_socket_set_add(set.get(), quiet.sock);
    ASSERT_EQ(qnb_socket_set_wait(set.get(), 0, &ready), QNB_ERR_SUCCESS);
    EXPECT_EQ(ready, 0u);
    EXPECT_EQ(set->count, 0u);

    EXPECT_EQ(qnb_socket_set_wait(set.get(), -1, &ready), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_socket_set_wait(nullptr, 0, &ready), QNB_ERR_INVALIDPARAMETER);
}

TEST(SocketSetTest, PendingErrorCountsAsReady)
{
    qnb_sockaddr closed;
    {
        Udp gone;
        closed = gone.name;
    }
    qnb_socket sock = QNB_SOCKET_INVALID;
    ASSERT_EQ(qnb_socket_open_connected(&sock, &closed), QNB_ERR_SUCCESS);
    size_t n = 1;
    ASSERT_EQ(qnb_socket_send(sock, "?", &n), QNB_ERR_SUCCESS);
    auto set = std::make_unique<qnb_socket_set>();
    qnb_socket_set_clear(set.get());
    qnb_socket_set_add(set.get(), sock);
    unsigned ready = 0;
    ASSERT_EQ(qnb_socket_set_wait(set.get(), 5000, &ready), QNB_ERR_SUCCESS);
    EXPECT_EQ(ready, 1u);
    char buffer[4];
    size_t size = sizeof buffer;
    EXPECT_EQ(qnb_socket_recv(sock, buffer, &size), QNB_ERR_CONNRESET);
    qnb_socket_close(&sock);
}

TEST(SocketSetTest, ClosedMemberIsReportedInvalidAndNeverReady)
{
    Udp alive, sender;
    int closed = ::dup(alive.sock);
    ASSERT_GE(closed, 0);
    ::close(closed);
    auto set = std::make_unique<qnb_socket_set>();
    auto invalid = std::make_unique<qnb_socket_set>();
    qnb_socket_set_clear(set.get());
    qnb_socket_set_add(set.get(), closed);
    qnb_socket_set_add(set.get(), alive.sock);
    sender.send_to(alive.name);

    unsigned ready = 99;
    ASSERT_EQ(qnb_socket_set_wait(set.get(), 5000, &ready, invalid.get()), QNB_ERR_SUCCESS);
    EXPECT_EQ(ready, 1u);
    EXPECT_EQ(members(*set), (std::vector<int>{alive.sock}));
    EXPECT_EQ(members(*invalid), (std::vector<int>{closed}));

    // Without a report set the closed member is still left out.
    qnb_socket_set_clear(set.get());
    qnb_socket_set_add(set.get(), closed);
    ASSERT_EQ(qnb_socket_set_wait(set.get(), 0, &ready), QNB_ERR_SUCCESS);
    EXPECT_EQ(ready, 0u);
    EXPECT_EQ(set->count, 0u);
}

TEST(SocketSetTest, EmptySetStillWaitsItsTime)
{
    auto set = std::make_unique<qnb_socket_set>();
    qnb_socket_set_clear(set.get());
    unsigned ready = 99;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(qnb_socket_set_wait(set.get(), 30, &ready), QNB_ERR_SUCCESS);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(25));
    EXPECT_EQ(ready, 0u);
}

TEST(SocketSetTest, DescriptorsAboveSelectRangeWork)
{
    const int high = 2000;
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= (rlim_t)high) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= (rlim_t)high)
            GTEST_SKIP() << "descriptor limit too low for this test";
        limit.rlim_cur = high + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    Udp receiver, sender;
    ASSERT_EQ(dup2(receiver.sock, high), high);
    // A second high descriptor that stays quiet.
    Udp other;
    ASSERT_EQ(dup2(other.sock, high - 1), high - 1);

    auto set = std::make_unique<qnb_socket_set>();
    qnb_socket_set_clear(set.get());
    ASSERT_EQ(qnb_socket_set_add(set.get(), high - 1), QNB_ERR_SUCCESS);
    ASSERT_EQ(qnb_socket_set_add(set.get(), high), QNB_ERR_SUCCESS);
    sender.send_to(receiver.name);
    unsigned ready = 0;
    ASSERT_EQ(qnb_socket_set_wait(set.get(), 5000, &ready), QNB_ERR_SUCCESS);
    EXPECT_EQ(ready, 1u);
    EXPECT_EQ(members(*set), (std::vector<int>{high}));

    char buffer[4];
    size_t size = sizeof buffer;
    EXPECT_EQ(qnb_socket_recv(high, buffer, &size), QNB_ERR_SUCCESS);
    EXPECT_EQ(size, 1u);
    close(high);
    close(high - 1);
}

} // namespace
