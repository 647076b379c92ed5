#include "netaudio/messaging/wgcp_message.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> bytes_of(const uint8_t *p, size_t n)
{
    return std::vector<uint8_t>(p, p + n);
}

// A fresh container whose unused bytes hold 0xEE, so pad bytes that are not written show up.
std::unique_ptr<wgcp_message> fresh(int kind)
{
    std::unique_ptr<wgcp_message> m(new wgcp_message);
    memset(m.get(), 0xEE, sizeof *m);
    wgcp_message_reset(m.get(), kind);
    wgcp_message_init_request(m.get(), 0x1001, 0x0110);
    return m;
}

TEST(WgcpHeader, BothFormsByteForByte)
{
    uint8_t packet[WGCP_PACKET_SIZE];
    memset(packet, 0xEE, sizeof packet);
    wgcp_header_init(packet, 0x1001, 0x1234, 0x0110);
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0x01, 0x00, 0x0A, 0x12, 0x34, 0x01, 0x10, 0x00, 0x00}),
              bytes_of(packet, 10));
    EXPECT_EQ(0xEE, packet[10]);

    std::unique_ptr<wgcp_message> m = fresh(WGCP_KIND_EXTENDED);
    wgcp_client_identity id = {{1, 2, 3, 4, 5, 6, 7, 8}, 0xC350};
    wgcp_header_set_client(m->packet, &id);
    wgcp_message_set_seqnum(m->packet, 0xFFFF);
    EXPECT_EQ((std::vector<uint8_t>{0x10, 0x01, 0x00, 0x14, 0xFF, 0xFF, 0x01, 0x10, 0x00, 0x00, 0xC3, 0x50, 1, 2,
                                    3, 4, 5, 6, 7, 8}),
              bytes_of(m->packet, 20));
    wgcp_header_set_client(m->packet, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(10, 0), bytes_of(m->packet + 10, 10));

    wgcp_header decoded;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_header_decode(m->packet, 20, &decoded));
    EXPECT_EQ(0x1001, decoded.protocol);
    EXPECT_EQ(20, decoded.length);
    EXPECT_EQ(0xFFFF, decoded.seqnum);
    EXPECT_EQ(0x0110, decoded.opcode);
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_header_decode(m->packet, 9, &decoded));
    wgcp_client_identity back;
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_header_decode_client(m->packet, 19, &back));

    wgcp_header_set_length(m->packet, 0xFFFF);
    wgcp_header_add_length(m->packet, 3); // modulo 2^16
    EXPECT_EQ(2, wgcp_header_get_length(m->packet));
}

TEST(WgcpMessage, KindsFixHeaderAndBodyLimits)
{
    struct row {
        int kind;
        uint16_t header;
        uint16_t max_body;
        bool usable;
    } rows[] = {{1, 10, 1462, true}, {2, 20, 1452, true}, {0, 0, 0, false}, {3, 0, 0, false}};
    for (const row &t : rows) {
        wgcp_message m;
        uint8_t *body = wgcp_message_reset(&m, t.kind);
        EXPECT_EQ(t.usable, body != nullptr);
        EXPECT_EQ(t.header, wgcp_message_get_header_size(&m));
        EXPECT_EQ(t.max_body, wgcp_message_get_max_body(&m));
        if (!t.usable) {
            uint16_t at;
            EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_message_init_request(&m, 1, 1));
            EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_put_u32(&m, 1, &at));
        }
    }
}

TEST(WgcpMessage, BodyAcceptsItsMaximumAndNotOneByteMore)
{
    for (int kind : {WGCP_KIND_PLAIN, WGCP_KIND_EXTENDED}) {
        SCOPED_TRACE(kind);
        std::unique_ptr<wgcp_message> m = fresh(kind);
        const uint16_t max = wgcp_message_get_max_body(m.get());
        uint16_t at = 0xAAAA;
        EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_body_put_bytes(m.get(), static_cast<uint16_t>(max + 1), nullptr, &at));
        EXPECT_EQ(0, wgcp_message_get_body_length(m.get()));
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_bytes(m.get(), max, nullptr, &at));
        EXPECT_EQ(0, at);
        EXPECT_EQ(WGCP_PACKET_SIZE, wgcp_header_get_length(m->packet));

        // Full: every writer refuses and leaves the length alone.
        wgcp_u16_array list;
        EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_body_put_u16_array(m.get(), 0, &list));
        EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_body_put_string(m.get(), "", &at));
        EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_body_put_u32(m.get(), 1, &at));
        EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_body_put_wstring(m.get(), u"", &at));
        EXPECT_EQ(WGCP_PACKET_SIZE, wgcp_header_get_length(m->packet));
    }
    // An odd size rounds up to even, so one byte short of the maximum fills it.
    std::unique_ptr<wgcp_message> m = fresh(WGCP_KIND_PLAIN);
    uint16_t at;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_bytes(m.get(), WGCP_MAX_BODY - 1, nullptr, &at));
    EXPECT_EQ(WGCP_MAX_BODY, wgcp_message_get_body_length(m.get()));
}

TEST(WgcpMessage, WritersPadWithZeroBytes)
{
    struct row {
        const char *what;
        uint16_t start;  // body length before the write
        uint16_t offset; // where the field lands
        uint16_t end;    // body length after
    } rows[] = {
        {"string abc", 0, 0, 4},  {"string ab", 0, 0, 4},     {"string empty", 0, 0, 2},
        {"string abcd", 0, 0, 6}, {"u32", 6, 8, 12},          {"u32", 4, 4, 8},
        {"wstring Et", 2, 4, 16}, {"wstring empty", 0, 0, 4}, {"bytes 3", 2, 2, 6},
        {"array 3", 4, 4, 12},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(t.what);
        std::unique_ptr<wgcp_message> m = fresh(WGCP_KIND_EXTENDED);
        if (t.start)
            wgcp_header_set_length(m->packet, static_cast<uint16_t>(20 + t.start));
        uint16_t at = 0xAAAA;
        std::string what = t.what;
        const uint8_t src[3] = {7, 8, 9};
        qnb_error err;
        if (what == "string abc")
            err = wgcp_body_put_string(m.get(), "abc", &at);
        else if (what == "string ab")
            err = wgcp_body_put_string(m.get(), "ab", &at);
        else if (what == "string empty")
            err = wgcp_body_put_string(m.get(), "", &at);
        else if (what == "string abcd")
            err = wgcp_body_put_string(m.get(), "abcd", &at);
        else if (what == "u32")
            err = wgcp_body_put_u32(m.get(), 0x01020304, &at);
        else if (what == "wstring Et")
            err = wgcp_body_put_wstring(m.get(), u"Et", &at);
        else if (what == "wstring empty")
            err = wgcp_body_put_wstring(m.get(), u"", &at);
        else if (what == "bytes 3")
            err = wgcp_body_put_bytes(m.get(), 3, src, &at);
        else {
            wgcp_u16_array list;
            err = wgcp_body_put_u16_array(m.get(), 3, &list);
            at = list.offset;
            EXPECT_EQ(3, list.count);
        }
        ASSERT_EQ(QNB_ERR_SUCCESS, err);
        EXPECT_EQ(t.offset, at);
        EXPECT_EQ(t.end, wgcp_message_get_body_length(m.get()));
        // Everything between the old end and the new end that is not payload is zero.
        const uint8_t *body = wgcp_message_get_body(m.get());
        for (uint16_t i = t.start; i < t.offset; ++i)
            EXPECT_EQ(0, body[i]) << "pad byte " << i;
        EXPECT_NE(0xEE, body[t.end - 1]);
    }
}

TEST(WgcpMessage, WrittenFieldsReadBack)
{
    std::unique_ptr<wgcp_message> m = fresh(WGCP_KIND_PLAIN);
    wgcp_u16_array root;
    uint16_t s, u, w, b;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u16_array(m.get(), 2, &root));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_string(m.get(), "fua", &s));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u32(m.get(), 0xDEADBEEF, &u));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_wstring(m.get(), u"Ethernet \u00E9", &w));
    const uint8_t mac[6] = {0, 0x1b, 0x21, 0xaa, 0xbb, 0xcc};
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_bytes(m.get(), 6, mac, &b));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_u16_array_set(&root, 0, s));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_u16_array_set(&root, 1, u));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_u16_array_set(&root, 2, 0));

    wgcp_u16_array back;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_u16_array(m.get(), 0, &back));
    ASSERT_EQ(2, back.count);
    uint16_t item;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_u16_array_get(&back, 0, &item));
    char text[8];
    size_t len = sizeof text;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_string(m.get(), item, text, &len));
    EXPECT_STREQ("fua", text);
    EXPECT_EQ(3u, len);
    len = 3; // cut to two characters, length of the stored text reported
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_string(m.get(), item, text, &len));
    EXPECT_STREQ("fu", text);
    EXPECT_EQ(3u, len);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_u16_array_get(&back, 1, &item));
    uint32_t value;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_u32(m.get(), item, &value));
    EXPECT_EQ(0xDEADBEEFu, value);
    char16_t name[64];
    size_t cap = 64;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_wstring(m.get(), w, name, &cap));
    EXPECT_EQ(std::u16string(u"Ethernet \u00E9"), std::u16string(name));
    EXPECT_EQ(10u, cap);
    uint8_t got[6];
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_bytes(m.get(), b, 6, got));
    EXPECT_EQ(0, memcmp(mac, got, 6));
}

// A body made of raw bytes, as a peer might send it.
std::unique_ptr<wgcp_message> raw_body(const std::vector<uint8_t> &body)
{
    std::unique_ptr<wgcp_message> m = fresh(WGCP_KIND_EXTENDED);
    if (!body.empty())
        memcpy(wgcp_message_get_body(m.get()), body.data(), body.size());
    wgcp_header_set_length(m->packet, static_cast<uint16_t>(20 + body.size()));
    return m;
}

TEST(WgcpMessage, ReadersRefuseFieldsThatEndPastTheBody)
{
    struct row {
        const char *what;
        std::vector<uint8_t> body;
        uint16_t offset;
    } rows[] = {
        {"string without terminator", {0, 0, 'a', 'b', 'c', 'd'}, 2},
        {"u32 at the end", {0, 0, 0, 0, 1, 2}, 4},
        {"u32 misaligned", {0, 0, 1, 2, 3, 4, 0, 0}, 2},
        {"array too long", {0, 5, 0, 1, 0, 2}, 0},
        {"array count cut", {0, 0, 0}, 2},
        {"wstring without terminator", {0, 0, 0, 0, 0, 0, 0, 'E', 0, 0, 0, 't'}, 4},
        {"wstring unit cut", {0, 0, 0, 0, 0, 0, 0, 'E', 0, 0}, 4},
        {"offset at the end", {0, 1, 0, 0}, 4},
        {"odd offset", {0, 1, 'a', 0}, 1},
        {"empty body", {}, 0},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(t.what);
        std::unique_ptr<wgcp_message> m = raw_body(t.body);
        std::string what = t.what;
        qnb_error err;
        if (what.find("string without") == 0) {
            char buf[16];
            size_t len = sizeof buf;
            err = wgcp_body_get_string(m.get(), t.offset, buf, &len);
        } else if (what.find("u32") == 0) {
            uint32_t v;
            err = wgcp_body_get_u32(m.get(), t.offset, &v);
        } else if (what.find("array") == 0 || what == "empty body" || what == "offset at the end") {
            wgcp_u16_array a;
            err = wgcp_body_get_u16_array(m.get(), t.offset, &a);
        } else if (what.find("wstring") == 0) {
            char16_t buf[16];
            size_t cap = 16;
            err = wgcp_body_get_wstring(m.get(), t.offset, buf, &cap);
        } else {
            char buf[4];
            size_t len = sizeof buf;
            err = wgcp_body_get_string(m.get(), t.offset, buf, &len);
        }
        EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, err);
    }
}

TEST(WgcpMessage, ReadersRefuseZeroSizesAndMissingArguments)
{
    std::unique_ptr<wgcp_message> m = raw_body({'a', 0, 0, 0, 0, 0, 0, 'E', 0, 0, 0, 0});
    char buf[4];
    size_t len = 0;
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_get_string(m.get(), 0, buf, &len));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_get_string(m.get(), 0, nullptr, &len));
    char16_t wbuf[4];
    size_t cap = 0;
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_get_wstring(m.get(), 4, wbuf, &cap));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_get_bytes(m.get(), 0, 0, nullptr));
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_bytes(m.get(), 0, 12, nullptr));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_get_bytes(m.get(), 0, 13, nullptr));
    uint32_t v;
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_get_u32(nullptr, 0, &v));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_get_u32(m.get(), 0, nullptr));
}

TEST(WgcpMessage, BodyLengthFollowsTheLengthFieldWithinThePacket)
{
    std::unique_ptr<wgcp_message> m = fresh(WGCP_KIND_EXTENDED);
    struct row {
        uint16_t length_field;
        uint16_t body;
    } rows[] = {{0, 0}, {19, 0}, {20, 0}, {24, 4}, {1472, 1452}, {1473, 1452}, {0xFFFF, 1452}};
    for (const row &t : rows) {
        wgcp_header_set_length(m->packet, t.length_field);
        EXPECT_EQ(t.body, wgcp_message_get_body_length(m.get())) << t.length_field;
    }
    // A hostile length field never lets a reader leave the packet.
    wgcp_header_set_length(m->packet, 0xFFFF);
    uint32_t v;
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_body_get_u32(m.get(), 1452, &v));
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_u32(m.get(), 1448, &v));
}

TEST(WgcpBuilder, LimitDefaultsTo1400)
{
    wgcp_builder b;
    memset(&b, 0, sizeof b);
    wgcp_header_init(b.packet, 3, 0, 0x1000);
    EXPECT_EQ(1400u, wgcp_message_set_body_length(&b, 1390));
    EXPECT_EQ(1400u, b.limit);
    EXPECT_EQ(0u, wgcp_message_set_body_length(&b, 1391));
    EXPECT_EQ(1400, wgcp_header_get_length(b.packet));

    EXPECT_EQ(1399u, wgcp_message_set_body_length(&b, 1389));
    EXPECT_EQ(1400u, wgcp_message_add_length(&b, 1));
    EXPECT_EQ(0u, wgcp_message_add_length(&b, 1));
    EXPECT_EQ(1400, wgcp_header_get_length(b.packet));

    // A reservation may end exactly at the limit, not one byte later.
    wgcp_message_set_body_length(&b, 1386);
    EXPECT_EQ(0, wgcp_message_alloc_aligned(&b, 5, 0, nullptr));
    EXPECT_EQ(1396, wgcp_message_alloc_aligned(&b, 4, 0, nullptr));

    // A limit above the packet buffer is held to the buffer.
    b.limit = 100000;
    wgcp_message_set_body_length(&b, 0);
    EXPECT_EQ(0, wgcp_message_alloc_aligned(&b, WGCP_PACKET_SIZE - 9, 0, nullptr));
    EXPECT_EQ(10, wgcp_message_alloc_aligned(&b, WGCP_PACKET_SIZE - 10, 0, nullptr));
}

TEST(WgcpBuilder, ReservationsAlignAndZeroTheirPadding)
{
    wgcp_builder b;
    memset(&b, 0xEE, sizeof b);
    b.limit = 0;
    wgcp_header_init(b.packet, 3, 0, 0x1000);
    EXPECT_EQ(10, wgcp_add_string(&b, "")); // 1 byte: length 11
    uint8_t *p = nullptr;
    EXPECT_EQ(12, wgcp_message_alloc_aligned(&b, 4, 2, &p));
    EXPECT_EQ(b.packet + 12, p);
    EXPECT_EQ(0, b.packet[11]);
    EXPECT_EQ(16, wgcp_header_get_length(b.packet));
    qnb_put_u16_pair(p, 0x0102, 0x0304);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), bytes_of(p, 4));
    const uint8_t src[3] = {9, 8, 7};
    EXPECT_EQ(16, wgcp_message_add_bytes(&b, 3, 3, src));
    EXPECT_EQ(0, wgcp_message_alloc_aligned(&b, 0, 0, nullptr));
    EXPECT_EQ(0, wgcp_add_string(&b, nullptr));
    EXPECT_EQ(19, wgcp_header_get_length(b.packet));
    EXPECT_EQ(19, wgcp_add_string(&b, "ab"));
    EXPECT_EQ(0, memcmp("ab", b.packet + 19, 3));
}

// A received message of `length` bytes: the packet starts with a header whose length field says
// `length_field`.
std::vector<uint8_t> received(size_t length, uint16_t length_field)
{
    std::vector<uint8_t> p(length, 0x41);
    wgcp_header_init(p.data(), 3, 0, 0);
    wgcp_header_set_length(p.data(), length_field);
    return p;
}

TEST(WgcpResolve, OffsetsMustLieInsideBoundsAndMessage)
{
    std::vector<uint8_t> p = received(40, 40);
    struct row {
        const char *what;
        uint16_t offset;
        uint32_t lower, upper;
        unsigned align;
        uint32_t min;
        bool ok;
        uint32_t size;
    } rows[] = {
        {"absent", 0, 0, 0, 0, 0, false, 0},
        {"inside the header", 9, 0, 0, 0, 1, false, 0},
        {"first body byte", 10, 0, 0, 0, 1, true, 30},
        {"at the length", 40, 10, 0, 0, 1, false, 0},
        {"last byte", 39, 10, 0, 0, 1, true, 1},
        {"upper equals lower", 12, 12, 12, 0, 1, false, 0},
        {"upper bound cuts", 12, 10, 20, 0, 1, true, 8},
        {"below min size", 36, 10, 0, 0, 8, false, 0},
        {"misaligned", 14, 10, 0, 2, 1, false, 0},
        {"aligned", 16, 10, 0, 2, 4, true, 24},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(t.what);
        uint32_t size = 0;
        const uint8_t *f =
            wgcp_offset_resolve_sized(p.data(), p.size(), t.offset, t.lower, t.upper, t.align, t.min, &size);
        EXPECT_EQ(t.ok, f != nullptr);
        if (t.ok) {
            EXPECT_EQ(p.data() + t.offset, f);
            EXPECT_EQ(t.size, size);
        }
    }
}

TEST(WgcpResolve, EndIsTheSmallerOfLengthFieldAndBytesReceived)
{
    // The length field claims 400 bytes, only 24 arrived (exactly sized, so ASan sees any overrun).
    std::vector<uint8_t> p = received(24, 400);
    uint32_t size = 0;
    EXPECT_EQ(nullptr, wgcp_offset_resolve_sized(p.data(), p.size(), 30, 0, 0, 0, 1, &size));
    ASSERT_NE(nullptr, wgcp_offset_resolve_sized(p.data(), p.size(), 20, 0, 0, 0, 1, &size));
    EXPECT_EQ(4u, size);
    // And a short length field limits a longer datagram.
    std::vector<uint8_t> q = received(64, 16);
    EXPECT_EQ(nullptr, wgcp_offset_resolve(q.data(), q.size(), 16, 0, 0, 1));
    // A datagram too short to carry a length field resolves nothing.
    std::vector<uint8_t> tiny(3, 0xFF);
    EXPECT_EQ(nullptr, wgcp_offset_resolve(tiny.data(), tiny.size(), 1, 0, 0, 1));
}

TEST(WgcpResolve, StringsAndSelfSizedRecords)
{
    std::vector<uint8_t> p = received(20, 20);
    memcpy(p.data() + 10, "dev\0", 4);
    p[14] = 2; // a 4-byte record: 2 words
    p[18] = 9; // claims 18 bytes: past the end
    uint32_t len = 0;
    const char *s = wgcp_get_string(p.data(), p.size(), 10, 0, 0, &len);
    ASSERT_NE(nullptr, s);
    EXPECT_STREQ("dev", s);
    EXPECT_EQ(3u, len);
    EXPECT_EQ(nullptr, wgcp_get_string(p.data(), p.size(), 15, 0, 0, &len)); // no NUL up to the end
    std::vector<uint8_t> no_nul = received(16, 16);
    EXPECT_EQ(nullptr, wgcp_get_string(no_nul.data(), no_nul.size(), 12, 0, 0, &len));

    uint32_t size = 0;
    EXPECT_EQ(p.data() + 14, wgcp_resolve_array(p.data(), p.size(), 14, 0, 1, 4, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(nullptr, wgcp_resolve_array(p.data(), p.size(), 14, 0, 1, 6, &size)); // below min
    EXPECT_EQ(nullptr, wgcp_resolve_array(p.data(), p.size(), 18, 0, 1, 2, &size)); // past the end
    p[14] = 0;
    EXPECT_EQ(nullptr, wgcp_resolve_array(p.data(), p.size(), 14, 0, 1, 0, &size)); // empty
}

TEST(WgcpResolve, AddressRecords)
{
    const uint8_t v4[8] = {0, 2, 0x22, 0xC4, 192, 168, 1, 20};
    uint32_t expected;
    memcpy(&expected, v4 + 4, 4);
    EXPECT_EQ(expected, qnb_addr_record_ipv4(v4, sizeof v4));
    // The port comes as stored, like the address: network order.
    EXPECT_EQ(0x22C4, ntohs(qnb_addr_record_port(v4, sizeof v4)));
    EXPECT_EQ(0xFFFFFFFFu, qnb_addr_record_ipv4(v4, 7));
    const uint8_t v6[8] = {0, 6, 0x12, 0x34, 0, 0, 0, 0};
    EXPECT_EQ(0xFFFFFFFFu, qnb_addr_record_ipv4(v6, sizeof v6));
    EXPECT_EQ(0x1234, ntohs(qnb_addr_record_port(v6, sizeof v6)));
    const uint8_t other[8] = {0, 1, 0x12, 0x34, 1, 2, 3, 4};
    EXPECT_EQ(0, qnb_addr_record_port(other, sizeof other));
    EXPECT_EQ(0, qnb_addr_record_port(v4, 3));
}

TEST(WgcpStatus, MapsToLibraryErrors)
{
    struct row {
        uint16_t status;
        qnb_error err;
    } rows[] = {
        {0, QNB_ERR_SUCCESS},        {1, QNB_ERR_SUCCESS},        {2, QNB_ERR_SUCCESS},
        {0x10, QNB_ERR_VERSION},     {0x14, QNB_ERR_VERSION},     {0x15, QNB_ERR_VERSION},
        {0x16, QNB_ERR_VERSION},     {0x11, QNB_ERR_SYSTEM},      {0x20, QNB_ERR_MSGSIZE},
        {0x21, QNB_ERR_MSGSIZE},     {0x22, QNB_ERR_MSGSIZE},     {0x23, QNB_ERR_MSGSIZE},
        {0x24, QNB_ERR_SYSTEM},      {0x30, QNB_ERR_INVALIDDATA}, {0x31, QNB_ERR_INVALIDDATA},
        {0x40, QNB_ERR_INVALIDDATA}, {0x32, QNB_ERR_NOTSUPPORTED}, {0x80, QNB_ERR_SYSTEM},
        {0x81, QNB_ERR_NOTCONN},     {0x82, QNB_ERR_NOBUFS},      {0xFFFF, QNB_ERR_SYSTEM},
    };
    for (const row &t : rows)
        EXPECT_EQ(t.err, wgcp_status_to_error(t.status)) << std::hex << t.status;
}

TEST(WgcpStatus, KindNames)
{
    struct row {
        uint16_t status;
        const char *name;
    } rows[] = {{0, "Request"},           {1, "Response"},           {2, "Event"},
                {0x30, "Opcode error"},   {0x31, "Unrecognised opcode"}, {0x32, "Unsupported opcode"},
                {0x80, "Server error"},   {0x81, "Not connected"},   {0x82, "Too many clients"},
                {3, "?"},                 {0x83, "?"}};
    for (const row &t : rows)
        EXPECT_STREQ(t.name, wgcp_message_kind_name(t.status));
}

TEST(WgcpName, DeviceNameRule)
{
    EXPECT_TRUE(wgcp_name_is_valid(std::string(32, 'a').c_str()));
    EXPECT_FALSE(wgcp_name_is_valid(std::string(33, 'a').c_str()));
    for (const char *bad : {"", "T001@KTV4", "a.b", "k=v"})
        EXPECT_FALSE(wgcp_name_is_valid(bad)) << bad;
    EXPECT_FALSE(wgcp_name_is_valid(nullptr));
    EXPECT_TRUE(wgcp_name_is_valid("T001-KTV4-S-1"));
}

} // namespace
