// A real SAP announcement and deletion, multicast to 239.255.255.255:9875 on the loopback of a
// private network namespace (netns-lo.sh), received by a browse object for aes67 sessions.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "netaudio/discovery/wb_browse.h"
#include "netaudio/discovery/wb_browse_sap.h"
#include "netaudio/platform/qnb_interface.h"
#include "tests/support/fake_clock.h"

namespace {

struct seen {
    uint32_t kind;
    uint32_t action;
    std::string name;
};
std::vector<seen> g_events;

void on_event(wb_browse *, const wb_browse_event *event, uint32_t action)
{
    std::string name;
    if (event->kind == WB_EVENT_AES67_SESSION)
        name = static_cast<const wb_browse_sap_session *>(event->record)->session.session_name;
    g_events.push_back({event->kind, action, name});
}

std::vector<uint8_t> sap_packet(uint8_t flags, const std::string &sdp)
{
    const uint8_t header[8] = {flags, 0, 0x43, 0x21, 127, 0, 0, 1};
    const char type[] = "application/sdp";
    std::vector<uint8_t> p(sizeof header + sizeof type + sdp.size());
    std::memcpy(p.data(), header, sizeof header);
    std::memcpy(p.data() + sizeof header, type, sizeof type);
    std::memcpy(p.data() + sizeof header + sizeof type, sdp.data(), sdp.size());
    return p;
}

void send_multicast(const std::vector<uint8_t> &packet)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    struct in_addr lo;
    lo.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo), 0);
    unsigned char loop = 1;
    ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop), 0);
    struct sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(WB_SAP_PORT);
    to.sin_addr.s_addr = inet_addr("239.255.255.255");
    EXPECT_EQ(sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to),
              static_cast<ssize_t>(packet.size()));
    close(fd);
}

// Runs owner passes until `count` events were seen or about two seconds passed.
void pass_until(wb_browse *browse, size_t count, int passes = 40)
{
    for (int i = 0; i < passes && g_events.size() < count; i++) {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        ASSERT_EQ(wb_browse_get_fdset(browse, &set), QNB_ERR_SUCCESS);
        ASSERT_EQ(set.count, 1u) << "the SAP socket is the one to watch";
        unsigned ready = 0;
        ASSERT_EQ(qnb_socket_set_wait(&set, 50, &ready), QNB_ERR_SUCCESS);
        qnb_timeval deadline;
        wb_browse_process_fdset(browse, &set, &deadline);
    }
}

TEST(SapMulticast, AnnouncementAndDeletionArriveThroughTheBrowseObject)
{
    qnb_interface lo;
    ASSERT_EQ(qnb_interface_get_loopback(&lo), QNB_ERR_SUCCESS);
    wb_browse *browse = nullptr;
    ASSERT_EQ(wb_browse_new(nullptr, WB_BROWSE_AES67_DEVICE, &browse), QNB_ERR_SUCCESS);
    wb_browse_set_event_callback(browse, on_event);
    wb_browse_config config;
    wb_browse_config_init(&config);
    config.interface_index[0] = lo.index;
    ASSERT_EQ(wb_browse_start_config(browse, &config), QNB_ERR_SUCCESS);

    qz_test::fake_clock clock;
    // A compressed packet is refused by the listener; the next one is still read.
    send_multicast(sap_packet(0x21, "v=0\r\no=- 41 1 IN IP4 127.0.0.1\r\ns=Refused\r\nt=0 0\r\n"));
    send_multicast(sap_packet(0x20, "v=0\r\no=- 42 1 IN IP4 127.0.0.1\r\ns=Loopback stream\r\nt=0 0\r\n"
                                    "m=audio 5004 RTP/AVP 96\r\na=rtpmap:96 L24/48000/2\r\n"));
    pass_until(browse, 1);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].kind, static_cast<uint32_t>(WB_EVENT_AES67_SESSION));
    EXPECT_EQ(g_events[0].action, static_cast<uint32_t>(WB_ACTION_ADDED));
    EXPECT_EQ(g_events[0].name, "Loopback stream");

    send_multicast(sap_packet(0x24, "v=0\r\no=- 42 1 IN IP4 127.0.0.1\r\n"));
    pass_until(browse, 2);
    ASSERT_EQ(g_events.size(), 2u);
    EXPECT_EQ(g_events[1].action, static_cast<uint32_t>(WB_ACTION_REMOVED));

    // A session that is not heard again expires an hour later, at the next pass.
    send_multicast(sap_packet(0x20, "v=0\r\no=- 43 1 IN IP4 127.0.0.1\r\ns=Quiet\r\nt=0 0\r\n"));
    pass_until(browse, 3);
    ASSERT_EQ(g_events.size(), 3u);
    clock.advance(3599);
    pass_until(browse, 4, 1);
    EXPECT_EQ(g_events.size(), 3u);
    clock.advance(1);
    pass_until(browse, 4, 1);
    ASSERT_EQ(g_events.size(), 4u);
    EXPECT_EQ(g_events[3].action, static_cast<uint32_t>(WB_ACTION_REMOVED));
    EXPECT_EQ(g_events[3].name, "Quiet");

    wb_browse_stop(browse);
    wb_browse_delete(browse);
}

} // namespace
