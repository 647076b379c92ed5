// Random and mutated datagrams through every reader of the request message format. Buffers are
// sized exactly, so AddressSanitizer reports any byte read past what "arrived"; for the container,
// whose packet buffer is fixed, every result must be the same whatever lies beyond the message's
// length field.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "netaudio/messaging/wgcp2_client.h"
#include "netaudio/messaging/wgcp_message.h"
#include "netaudio/platform/qnb_env.h"
#include "testnet/tn_udp_peer.h"
#include "tests/support/fake_clock.h"

namespace {

std::vector<uint8_t> random_datagram(std::mt19937 &rng, size_t max)
{
    std::uniform_int_distribution<size_t> len(0, max);
    std::vector<uint8_t> d(len(rng));
    for (uint8_t &b : d)
        b = static_cast<uint8_t>(rng());
    // Keep the length field plausible half of the time, so the checks beyond it are reached.
    if (d.size() >= 4 && (rng() & 1))
        wgcp_store_be16(d.data() + 2, static_cast<uint16_t>(d.size() - (rng() % 3)));
    return d;
}

uint16_t small_offset(std::mt19937 &rng, size_t around)
{
    switch (rng() % 4) {
    case 0: return static_cast<uint16_t>(rng());
    case 1: return static_cast<uint16_t>(around + (rng() % 8) - 4);
    default: return static_cast<uint16_t>(rng() % (around + 8));
    }
}

TEST(WgcpFuzz, ResolversStayInsideTheDatagram)
{
    std::mt19937 rng(1234);
    for (int i = 0; i < 20000; ++i) {
        std::vector<uint8_t> d = random_datagram(rng, 96);
        std::unique_ptr<uint8_t[]> exact(new uint8_t[d.size() ? d.size() : 1]);
        if (!d.empty())
            memcpy(exact.get(), d.data(), d.size());
        uint16_t offset = small_offset(rng, d.size());
        uint32_t lower = rng() % 24, upper = (rng() & 1) ? rng() % 128 : 0;
        unsigned align = rng() % 4;
        uint32_t size = 0;
        const uint8_t *f =
            wgcp_offset_resolve_sized(exact.get(), d.size(), offset, lower, upper, align, rng() % 16, &size);
        if (f) {
            ASSERT_GE(f, exact.get());
            ASSERT_LE(static_cast<size_t>(f - exact.get()) + size, d.size());
            volatile uint8_t sink = 0;
            for (uint32_t k = 0; k < size; ++k)
                sink = static_cast<uint8_t>(sink + f[k]);
        }
        uint32_t len = 0;
        const char *s = wgcp_get_string(exact.get(), d.size(), offset, lower, upper, &len);
        if (s) {
            ASSERT_LT(static_cast<size_t>(s - reinterpret_cast<const char *>(exact.get())) + len, d.size());
            ASSERT_EQ(len, strlen(s));
        }
        const uint8_t *rec = wgcp_resolve_array(exact.get(), d.size(), offset, lower, align, rng() % 8, &size);
        if (rec) {
            ASSERT_LE(static_cast<size_t>(rec - exact.get()) + size, d.size());
        }
        qnb_addr_record_ipv4(exact.get(), d.size());
        qnb_addr_record_port(exact.get(), d.size());
    }
}

struct read_results {
    qnb_error array_err, string_err, wstring_err, u32_err, bytes_err;
    uint16_t count;
    char text[24];
    size_t text_len;
    char16_t wide[12];
    size_t wide_len;
    uint32_t value;
    uint8_t bytes[6];

    bool operator==(const read_results &o) const { return memcmp(this, &o, sizeof *this) == 0; }
};

read_results read_all(wgcp_message *m, uint16_t offset)
{
    read_results r;
    memset(&r, 0, sizeof r);
    wgcp_u16_array a;
    r.array_err = wgcp_body_get_u16_array(m, offset, &a);
    if (!r.array_err) {
        r.count = a.count;
        for (uint16_t i = 0; i < a.count; ++i) {
            uint16_t item;
            EXPECT_EQ(QNB_ERR_SUCCESS, wgcp_u16_array_get(&a, i, &item));
        }
    }
    r.text_len = sizeof r.text;
    r.string_err = wgcp_body_get_string(m, offset, r.text, &r.text_len);
    r.wide_len = 12;
    r.wstring_err = wgcp_body_get_wstring(m, offset, r.wide, &r.wide_len);
    r.u32_err = wgcp_body_get_u32(m, offset, &r.value);
    r.bytes_err = wgcp_body_get_bytes(m, offset, 6, r.bytes);
    return r;
}

TEST(WgcpFuzz, BodyReadersIgnoreEverythingPastTheLengthField)
{
    std::mt19937 rng(5678);
    for (int i = 0; i < 20000; ++i) {
        int kind = (rng() & 1) ? WGCP_KIND_PLAIN : WGCP_KIND_EXTENDED;
        std::unique_ptr<wgcp_message> a(new wgcp_message), b(new wgcp_message);
        wgcp_message_reset(a.get(), kind);
        for (uint8_t &x : a->packet)
            x = static_cast<uint8_t>(rng() % 7 == 0 ? 0 : rng());
        uint16_t length = static_cast<uint16_t>((rng() % 5 == 0) ? rng() : rng() % 80);
        wgcp_header_set_length(a->packet, length);
        *b = *a;
        // Different garbage behind the message.
        size_t end = a->header_size + wgcp_message_get_body_length(a.get());
        for (size_t k = end; k < WGCP_PACKET_SIZE; ++k)
            b->packet[k] = static_cast<uint8_t>(rng());
        for (int j = 0; j < 4; ++j) {
            uint16_t offset = small_offset(rng, wgcp_message_get_body_length(a.get()));
            read_results ra = read_all(a.get(), offset);
            read_results rb = read_all(b.get(), offset);
            ASSERT_TRUE(ra == rb) << "offset " << offset << " length " << length;
            if (!ra.string_err) {
                ASSERT_LT(strnlen(ra.text, sizeof ra.text), sizeof ra.text);
            }
        }
    }
}

// Random and mutated datagrams at a live client: it drops or handles each one and keeps working.
TEST(WgcpFuzz, ClientSurvivesHostileDatagrams)
{
    qz_test::fake_clock clock;
    qnb_env env{};
    tn_udp_peer server{};
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_open(&server, 0));
    qnb_sockaddr to;
    qnb_sockaddr_set(&to, htonl(INADDR_LOOPBACK), server.port);
    qnb_socket sock = QNB_SOCKET_INVALID;
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_open_connected(&sock, &to));
    ASSERT_EQ(QNB_ERR_SUCCESS, qnb_socket_set_nonblocking(sock, 0));
    wgcp2_client *c = wgcp2_client_new(&env, false, WGCP_KIND_EXTENDED, true);
    ASSERT_NE(nullptr, c);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_initialise(c, nullptr, sock, true, false, nullptr));
    const qnb_timeval ten = {10, 0}, thirty_one = {31, 0};
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_set_keepalives(c, 0x1001, &ten, &thirty_one));
    static unsigned calls;
    calls = 0;
    wgcp2_client_set_callback(c, [](wgcp2_client *, const wgcp2_event *e) {
        ++calls;
        if (e->message) { // whatever arrives is inside the packet and says so
            EXPECT_LE(wgcp_header_get_length(e->message->packet), WGCP_PACKET_SIZE);
        }
    });

    wgcp2_request *slot = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_alloc_request(c, &slot));
    wgcp_message_init_request(&slot->message, 0x1001, WGCP2_OPCODE_CONNECT);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp2_client_send_request(slot));
    uint8_t buf[2048];
    size_t size = sizeof buf;
    ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_receive(&server, buf, &size, 1000));

    std::mt19937 rng(91011);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> d;
        if (rng() & 1) {
            d = random_datagram(rng, 64);
        } else { // a mutated answer to the connect request, or a mutated event
            d.assign(20 + (rng() % 4) * 2, 0);
            wgcp_header_init(d.data(), 0x1001, 0, static_cast<uint16_t>(rng() % 3));
            wgcp_header_set_length(d.data(), static_cast<uint16_t>(d.size()));
            wgcp_header_set_status(d.data(), static_cast<uint16_t>(rng() % 3));
            for (int k = rng() % 3; k > 0; --k)
                d[rng() % d.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_udp_peer_reply(&server, d.data(), d.size()));
        if ((i & 15) == 15) {
            ASSERT_TRUE(tn_wait_readable(sock, 1000));
            qnb_timeval next;
            qnb_error err = wgcp2_client_process(c, &next);
            ASSERT_TRUE(err == QNB_ERR_SUCCESS || err == QNB_ERR_MSGSIZE) << err;
            int state = wgcp2_client_get_state(c);
            ASSERT_TRUE(state >= 0 && state <= 3);
            tn_udp_peer_drain(&server);
        }
    }
    EXPECT_GT(calls, 0u);
    wgcp2_client_delete(c);
    qnb_socket_close(&sock);
    tn_udp_peer_close(&server);
}

} // namespace
