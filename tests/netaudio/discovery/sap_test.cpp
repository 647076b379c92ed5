// SAP announcements and deletions, the SDP grammar and its handlers, hostile and truncated
// packets, and the listener's session list on the fake clock.
#include "netaudio/discovery/wb_browse_sap.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "netaudio/discovery/sdp.h"
#include "netaudio/discovery/wb_browse.h"
#include "netaudio/platform/qnb_log.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_clock.h"

namespace {

// Its "c=" line stands between "o=" and "s=", as senders write it.
const char k_aes67[] =
    "v=0\r\n"
    "o=- 1311738121 1311738121 IN IP4 192.168.1.10\r\n"
    "c=IN IP4 239.69.1.2/32\r\n"
    "s=Stage box 1\r\n"
    "i=Eight channels\r\n"
    "t=0 0\r\n"
    "a=keywds:Vel other\r\n"
    "m=audio 5004 RTP/AVP 96\r\n"
    "i=Inputs 1-8\r\n"
    "a=rtpmap:96 L24/48000/8\r\n"
    "a=recvonly\r\n"
    "a=ptime:1.25\r\n"
    "a=ts-refclk:ptp=IEEE1588-2008:08-00-11-FF-FE-22-33-44:domain-nmbr=0\r\n"
    "a=mediaclk:direct=963214424\r\n";

std::vector<uint8_t> sap_packet(const std::string &sdp, uint8_t flags = 0x20, uint16_t hash = 0x1234,
                                uint32_t source = 0x0A01A8C0, uint8_t auth = 0)
{
    std::vector<uint8_t> p = {flags, auth, static_cast<uint8_t>(hash >> 8), static_cast<uint8_t>(hash)};
    p.resize(8);
    std::memcpy(p.data() + 4, &source, 4);
    p.resize(8 + auth, 0xAA);
    const char type[] = "application/sdp";
    p.insert(p.end(), type, type + sizeof type);
    p.insert(p.end(), sdp.begin(), sdp.end());
    return p;
}

// Keeps the debug printer's lines out of the test output, and lets a test read them.
struct quiet_debug {
    FILE *file = std::tmpfile();
    quiet_debug() { qnb_debug_set_stream(file); }
    ~quiet_debug()
    {
        qnb_debug_set_stream(nullptr);
        std::fclose(file);
    }
    std::string text()
    {
        std::fflush(file);
        std::rewind(file);
        std::string out;
        for (int c; (c = std::fgetc(file)) != EOF;)
            out.push_back(static_cast<char>(c));
        return out;
    }
};

qnb_error parse_text(const std::string &sdp, sdp_session *s)
{
    std::memset(s, 0, sizeof *s);
    return sdp_parse(s, sdp.data(), sdp.size());
}

std::string replace(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(Sdp, AnAes67AnnouncementFillsTheSessionRecord)
{
    std::vector<uint8_t> p = sap_packet(k_aes67);
    sdp_session s;
    ASSERT_EQ(get_sdp_parsed_structure(p.data(), p.size(), &s), QNB_ERR_SUCCESS);
    EXPECT_EQ(s.deletion, 0u);
    EXPECT_EQ(s.sdp_flags, 0x0Fu);
    EXPECT_EQ(s.session_id, 1311738121u);
    EXPECT_EQ(s.origin_address, inet_addr("192.168.1.10"));
    EXPECT_STREQ(s.origin_user, "-");
    EXPECT_STREQ(s.session_name, "Stage box 1");
    EXPECT_STREQ(s.session_info, "Eight channels");
    EXPECT_EQ(s.connection_address, inet_addr("239.69.1.2"));
    EXPECT_EQ(s.ttl, 32);
    EXPECT_EQ(s.address_count, 1);
    EXPECT_EQ(s.media_port, 5004);
    EXPECT_EQ(s.port_count, 1);
    EXPECT_EQ(s.payload_type, 96);
    EXPECT_EQ(s.attribute_flags, 0x0Fu);
    EXPECT_EQ(s.bit_depth, 24);
    EXPECT_EQ(s.sample_rate, 48000u);
    EXPECT_EQ(s.channels, 8);
    EXPECT_EQ(s.direction, static_cast<uint32_t>(SDP_DIRECTION_RECVONLY));
    EXPECT_EQ(s.packet_time, 1250u);
    const uint8_t clock[6] = {0x08, 0x00, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(std::memcmp(s.ptp_clock, clock, 6), 0);
    EXPECT_STREQ(s.ptp_domain, "0");
    EXPECT_EQ(s.media_clock_offset, 963214424u);
    EXPECT_STREQ(s.media_title, "Inputs 1-8");
    EXPECT_EQ(s.keyword_flag, 1u);
}

// Lines that change one field, and what the parse makes of them.
TEST(Sdp, GrammarAndHandlers)
{
    struct row {
        const char *what;
        std::string sdp;
        qnb_error result;
        bool (*check)(const sdp_session &);
    };
    const std::string base = k_aes67;
    static const char k_nul[] = "v=0\r\no=- 1 2 IN IP4 10.0.0.1\r\ns=a\0b\r\n";
    const row rows[] = {
        {"ptime fraction of one digit", replace(base, "ptime:1.25", "ptime:0.5"), 0,
         [](const sdp_session &s) { return s.packet_time == 500; }},
        {"blanks after the colon of rtpmap and ptime",
         replace(replace(base, "rtpmap:96", "rtpmap: 96"), "ptime:1.25", "ptime:\t1.25"), 0,
         [](const sdp_session &s) { return s.bit_depth == 24 && s.channels == 8 && s.packet_time == 1250; }},
        {"ptime without a number ends the parse", replace(base, "ptime:1.25", "ptime:x"), QNB_ERR_INVALIDDATA,
         nullptr},
        {"L20 is refused and the line skipped", replace(base, "L24", "L20"), 0,
         [](const sdp_session &s) { return s.bit_depth == 0 && !(s.attribute_flags & SDP_ATTR_RTPMAP); }},
        {"rtpmap of another payload type is skipped", replace(base, "rtpmap:96", "rtpmap:97"), 0,
         [](const sdp_session &s) { return s.sample_rate == 0; }},
        {"clock identity without FF-FE is refused", replace(base, "FF-FE", "FF-FF"), 0,
         [](const sdp_session &s) { return !(s.attribute_flags & SDP_ATTR_REFCLK) && s.ptp_clock[0] == 0; }},
        {"clock identity of seven bytes ends the parse", replace(base, "08-00-11-", "08-00-"), QNB_ERR_INVALIDDATA,
         nullptr},
        {"connection with ttl and count", replace(base, "/32", "/16/4"), 0,
         [](const sdp_session &s) { return s.ttl == 16 && s.address_count == 4; }},
        {"a second connection is skipped", replace(base, "i=Inputs 1-8\r\n", "i=Inputs 1-8\r\nc=IN IP4 239.1.1.1\r\n"), 0,
         [](const sdp_session &s) { return s.connection_address == inet_addr("239.69.1.2") && s.bit_depth == 24; }},
        {"port/count", replace(base, "5004 RTP", "5004/2 RTP"), 0,
         [](const sdp_session &s) { return s.media_port == 5004 && s.port_count == 2; }},
        {"port above 65535 ends the parse", replace(base, "5004 RTP", "65536 RTP"), QNB_ERR_INVALIDDATA, nullptr},
        {"a video section is skipped with its lines",
         replace(base, "m=audio", "m=video 6000 RTP/AVP 96\r\ni=Camera\r\na=rtpmap:96 L16/8000/1\r\nm=audio"), 0,
         [](const sdp_session &s) {
             return s.media_port == 5004 && s.bit_depth == 24 && std::strcmp(s.media_title, "Inputs 1-8") == 0;
         }},
        {"a second audio section is skipped", base + "m=audio 7000 RTP/AVP 97\r\na=rtpmap:97 L16/44100/2\r\n", 0,
         [](const sdp_session &s) { return s.media_port == 5004 && s.channels == 8; }},
        {"a session name of 64 characters is skipped", replace(base, "Stage box 1", std::string(64, 'n')), 0,
         [](const sdp_session &s) { return s.session_name[0] == '\0'; }},
        {"a session name of 63 characters is kept", replace(base, "Stage box 1", std::string(63, 'n')), 0,
         [](const sdp_session &s) { return std::strlen(s.session_name) == 63; }},
        {"keywords that do not name the protocol", replace(base, "keywds:Vel other", "keywds:Veltos V-x"), 0,
         [](const sdp_session &s) { return s.keyword_flag == 0; }},
        {"keywords without a colon end the parse", replace(base, "keywds:Vel other", "keywds"), QNB_ERR_INVALIDDATA,
         nullptr},
        {"mediaclk without direct= ends the parse", replace(base, "direct=963214424", "sender"), QNB_ERR_INVALIDDATA,
         nullptr},
        {"unknown attributes are skipped", replace(base, "a=recvonly", "a=framecount:48\r\na=sendonly"), 0,
         [](const sdp_session &s) { return s.direction == SDP_DIRECTION_SENDONLY; }},
        {"a user name is cut to 15 characters", replace(base, "o=- ", "o=" + std::string(20, 'u') + " "), 0,
         [](const sdp_session &s) { return std::strlen(s.origin_user) == 15; }},
        {"a line out of order ends the parse with what was read",
         replace(base, "t=0 0\r\n", "t=0 0\r\ns=Late\r\n"), 0,
         [](const sdp_session &s) { return (s.sdp_flags & SDP_SEEN_MEDIA) == 0; }},
        {"a missing session name ends the parse", replace(base, "s=Stage box 1\r\n", ""), QNB_ERR_INVALIDDATA,
         nullptr},
        {"a missing time line ends the parse", replace(base, "t=0 0\r\n", ""), QNB_ERR_INVALIDDATA, nullptr},
        {"version 1", replace(base, "v=0", "v=1"), QNB_ERR_NOTSUPPORTED, nullptr},
        {"no version line", base.substr(5), QNB_ERR_INVALIDDATA, nullptr},
        {"no line end after the last line", base.substr(0, base.size() - 2), QNB_ERR_INVALIDDATA, nullptr},
        {"LF line ends", "v=0\no=- 1 2 IN IP4 10.0.0.1\ns=x\nt=0 0\n", 0,
         [](const sdp_session &s) { return s.session_id == 1 && s.session_version == 2; }},
        {"a NUL inside a line", std::string(k_nul, sizeof k_nul - 1), QNB_ERR_INVALIDDATA, nullptr},
        {"an empty value", replace(base, "i=Eight channels", "i="), QNB_ERR_INVALIDDATA, nullptr},
        {"origin of five fields", replace(base, " IN IP4 192.168.1.10", " IN 192.168.1.10"), QNB_ERR_INVALIDDATA,
         nullptr},
        {"session id beyond 64 bits", replace(base, "o=- 1311738121", "o=- 18446744073709551616"),
         QNB_ERR_INVALIDDATA, nullptr},
    };
    for (const row &r : rows) {
        sdp_session s;
        EXPECT_EQ(parse_text(r.sdp, &s), r.result) << r.what;
        if (r.check != nullptr) {
            EXPECT_TRUE(r.check(s)) << r.what;
        }
    }
}

TEST(Sdp, SapHeaderChecks)
{
    quiet_debug debug;
    const std::string sdp = "v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\ns=x\r\nt=0 0\r\n";
    struct row {
        const char *what;
        std::vector<uint8_t> packet;
        qnb_error header;
    };
    std::vector<uint8_t> wrong_type = sap_packet(sdp);
    wrong_type[8] = 'A';
    std::vector<uint8_t> short_auth = sap_packet(sdp);
    short_auth[1] = 200; // the authentication data would run past the packet
    std::vector<uint8_t> eight = sap_packet(sdp);
    eight.resize(8);
    const row rows[] = {
        {"announcement", sap_packet(sdp), QNB_ERR_SUCCESS},
        {"authentication counted in bytes", sap_packet(sdp, 0x20, 1, 1, 5), QNB_ERR_SUCCESS},
        {"eight bytes", eight, QNB_ERR_NODATA},
        {"compressed", sap_packet(sdp, 0x21), QNB_ERR_NOTSUPPORTED},
        {"encrypted", sap_packet(sdp, 0x22), QNB_ERR_NOTSUPPORTED},
        {"version 0", sap_packet(sdp, 0x00), QNB_ERR_NOTSUPPORTED},
        {"version 2", sap_packet(sdp, 0x40), QNB_ERR_NOTSUPPORTED},
        {"zero hash", sap_packet(sdp, 0x20, 0), QNB_ERR_INVALIDDATA},
        {"zero source", sap_packet(sdp, 0x20, 1, 0), QNB_ERR_INVALIDDATA},
        {"another payload type", wrong_type, QNB_ERR_INVALIDDATA},
        {"authentication past the end", short_auth, QNB_ERR_INVALIDDATA},
        {"no SDP text", sap_packet(""), QNB_ERR_INVALIDDATA},
    };
    for (const row &r : rows) {
        size_t offset = 0;
        EXPECT_EQ(sap_header_check(r.packet.data(), r.packet.size(), &offset), r.header) << r.what;
        sdp_session s;
        EXPECT_EQ(get_sdp_parsed_structure(r.packet.data(), r.packet.size(), &s),
                  r.header == QNB_ERR_SUCCESS ? QNB_ERR_SUCCESS : QNB_ERR_INVALIDDATA)
            << r.what;
    }
    // A deletion, and an origin that cannot identify a session.
    std::vector<uint8_t> deletion = sap_packet("v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\n", 0x24);
    sdp_session s;
    ASSERT_EQ(get_sdp_parsed_structure(deletion.data(), deletion.size(), &s), QNB_ERR_SUCCESS);
    EXPECT_EQ(s.deletion, 1u);
    std::vector<uint8_t> ipv6 = sap_packet("v=0\r\no=- 1 1 IN IP6 ::1\r\ns=x\r\nt=0 0\r\n");
    EXPECT_EQ(get_sdp_parsed_structure(ipv6.data(), ipv6.size(), &s), QNB_ERR_NOTSUPPORTED);
    EXPECT_NE(debug.text().find("get_sdp_parsed_structure : sanity check error"), std::string::npos);
}

// Every prefix of an announcement and a few thousand random mutations: no read outside the
// packet (the sanitizer build watches), and a cut inside the header or a line never parses.
TEST(Sdp, TruncatedAndMutatedPacketsAreRefusedSafely)
{
    quiet_debug debug;
    const std::vector<uint8_t> full = sap_packet(k_aes67);
    sdp_session s;
    for (size_t n = 0; n < full.size(); n++) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
        qnb_error err = get_sdp_parsed_structure(cut.data(), cut.size(), &s);
        bool at_line_end = n > 24 && (full[n - 1] == '\n' || full[n - 1] == '\r');
        if (!at_line_end) {
            EXPECT_NE(err, QNB_ERR_SUCCESS) << "cut at " << n;
        }
    }
    std::mt19937 random(12345);
    for (int i = 0; i < 4000; i++) {
        std::vector<uint8_t> p = full;
        int changes = 1 + static_cast<int>(random() % 8);
        for (int c = 0; c < changes; c++) {
            size_t at = random() % p.size();
            switch (random() % 3) {
            case 0: p[at] = static_cast<uint8_t>(random()); break;
            case 1: p.erase(p.begin() + static_cast<long>(at)); break;
            default: p.insert(p.begin() + static_cast<long>(at), static_cast<uint8_t>("\r\n=:/ 0-9a"[random() % 10])); break;
            }
        }
        p.resize(random() % (p.size() + 1));
        std::vector<uint8_t> exact(p); // exactly sized, so any overread is caught
        get_sdp_parsed_structure(exact.data(), exact.size(), &s);
    }
}

// ---- the listener ----

struct seen {
    uint32_t kind;
    uint32_t action;
    std::string name;
};

std::vector<seen> g_events;

void on_event(wb_browse *, const wb_browse_event *event, uint32_t action)
{
    const wb_browse_sap_session *record = static_cast<const wb_browse_sap_session *>(event->record);
    g_events.push_back({event->kind, action, record->session.session_name});
}

std::string announcement(const std::string &name, uint64_t id = 7)
{
    return "v=0\r\no=- " + std::to_string(id) + " 1 IN IP4 10.0.0.1\r\ns=" + name + "\r\nt=0 0\r\n";
}

class SapListener : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_events.clear();
        ASSERT_EQ(wb_browse_sap_new(nullptr, &sap), QNB_ERR_SUCCESS);
        wb_browse_sap_set_callback(sap, on_event);
    }
    void TearDown() override { wb_browse_sap_delete(sap); }

    qnb_error feed(const std::vector<uint8_t> &p) { return wb_browse_sap_handle_packet(sap, p.data(), p.size()); }

    quiet_debug debug;
    qz_test::fake_clock clock{1700000000u};
    wb_browse_sap *sap = nullptr;
};

TEST_F(SapListener, SessionsAreAddedChangedRemovedAndExpire)
{
    ASSERT_EQ(feed(sap_packet(announcement("one"), 0x20, 1)), QNB_ERR_SUCCESS);
    ASSERT_EQ(feed(sap_packet(announcement("two", 8), 0x20, 1)), QNB_ERR_SUCCESS);
    ASSERT_EQ(g_events.size(), 2u);
    EXPECT_EQ(g_events[0].kind, static_cast<uint32_t>(WB_EVENT_AES67_SESSION));
    EXPECT_EQ(g_events[0].action, static_cast<uint32_t>(WB_ACTION_ADDED));

    // The same hash again only keeps the session alive; a new hash is a change.
    clock.advance(3000);
    ASSERT_EQ(feed(sap_packet(announcement("one"), 0x20, 1)), QNB_ERR_SUCCESS);
    EXPECT_EQ(g_events.size(), 2u);
    ASSERT_EQ(feed(sap_packet(announcement("one renamed"), 0x20, 2)), QNB_ERR_SUCCESS);
    ASSERT_EQ(g_events.size(), 3u);
    EXPECT_EQ(g_events[2].action, static_cast<uint32_t>(WB_ACTION_CHANGED));
    EXPECT_EQ(g_events[2].name, "one renamed");

    // A packet that does not parse changes nothing.
    EXPECT_EQ(feed(sap_packet(announcement("x"), 0x21, 3)), QNB_ERR_INVALIDDATA);
    EXPECT_EQ(sap->sessions.count, 2u);

    // "two" was last heard 3599 s ago: kept; one second later it expires; "one" stays.
    clock.advance(599);
    wb_browse_sap_expire(sap);
    EXPECT_EQ(g_events.size(), 3u);
    clock.advance(1);
    wb_browse_sap_expire(sap);
    ASSERT_EQ(g_events.size(), 4u);
    EXPECT_EQ(g_events[3].action, static_cast<uint32_t>(WB_ACTION_REMOVED));
    EXPECT_EQ(g_events[3].name, "two");

    // A deletion removes "one"; a deletion of an unknown session does nothing.
    ASSERT_EQ(feed(sap_packet("v=0\r\no=- 7 1 IN IP4 10.0.0.1\r\n", 0x24, 9)), QNB_ERR_SUCCESS);
    ASSERT_EQ(g_events.size(), 5u);
    EXPECT_EQ(g_events[4].action, static_cast<uint32_t>(WB_ACTION_REMOVED));
    EXPECT_EQ(g_events[4].name, "one renamed");
    ASSERT_EQ(feed(sap_packet("v=0\r\no=- 99 1 IN IP4 10.0.0.1\r\n", 0x24, 9)), QNB_ERR_SUCCESS);
    EXPECT_EQ(g_events.size(), 5u);
    EXPECT_EQ(sap->sessions.count, 0u);

    // Clearing reports only when asked.
    feed(sap_packet(announcement("a"), 0x20, 1));
    feed(sap_packet(announcement("b", 8), 0x20, 1));
    wb_browse_sap_clear(sap, 0);
    EXPECT_EQ(g_events.size(), 7u);
    feed(sap_packet(announcement("c"), 0x20, 1));
    wb_browse_sap_clear(sap, 1);
    EXPECT_EQ(g_events.back().action, static_cast<uint32_t>(WB_ACTION_REMOVED));
}

TEST_F(SapListener, ProcessReadsOneDatagram)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, pair), 0);
    std::vector<uint8_t> p = sap_packet(announcement("dgram"));
    ASSERT_EQ(send(pair[1], p.data(), p.size(), 0), static_cast<ssize_t>(p.size()));
    EXPECT_EQ(wb_browse_sap_process(pair[0], sap), QNB_ERR_SUCCESS);
    ASSERT_EQ(g_events.size(), 1u);
    EXPECT_EQ(g_events[0].name, "dgram");
    // Larger than the 500-byte buffer: refused, not parsed cut short.
    std::vector<uint8_t> big = sap_packet(announcement(std::string(40, 'b')) + std::string(500, '\n'));
    ASSERT_EQ(send(pair[1], big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    EXPECT_EQ(wb_browse_sap_process(pair[0], sap), QNB_ERR_MSGSIZE);
    // Nothing to read.
    EXPECT_NE(wb_browse_sap_process(pair[0], sap), QNB_ERR_SUCCESS);
    EXPECT_EQ(g_events.size(), 1u);
    close(pair[0]);
    close(pair[1]);
}

TEST_F(SapListener, FailedOpensLeaveNoSocket)
{
    EXPECT_EQ(wb_browse_sap_close(sap), QNB_ERR_SOCKTNOSUPPORT);
    EXPECT_EQ(wb_browse_sap_open(sap, 0, "239.255.255.255"), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(sap->socket, QNB_SOCKET_INVALID);
    EXPECT_NE(wb_browse_sap_open(sap, 1, "not an address"), QNB_ERR_SUCCESS);
    EXPECT_EQ(sap->socket, QNB_SOCKET_INVALID);
    EXPECT_EQ(wb_browse_sap_open(sap, 0x7FFFFFF0u, "239.255.255.255"), QNB_ERR_NODEV);
    EXPECT_EQ(sap->socket, QNB_SOCKET_INVALID);
}

// The browse table's aes67 row needs an explicit interface index, and a refused start leaves
// nothing of the other rows open.
TEST(SapBrowse, Aes67BrowsingNeedsAnInterfaceIndex)
{
    dnssd_fake::reset();
    wb_browse *browse = nullptr;
    ASSERT_EQ(wb_browse_new(nullptr, WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_AES67_DEVICE, &browse), QNB_ERR_SUCCESS);
    wb_browse_config config;
    wb_browse_config_init(&config);
    EXPECT_EQ(wb_browse_start_config(browse, &config), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    EXPECT_FALSE(browse->running);
    config.interface_index[0] = 0x7FFFFFF0u;
    EXPECT_EQ(wb_browse_start_config(browse, &config), QNB_ERR_NODEV);
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    wb_browse_delete(browse);
}

} // namespace
