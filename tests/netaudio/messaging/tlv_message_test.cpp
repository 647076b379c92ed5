#include "netaudio/messaging/tlv_message.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> bytes;

bytes message_of(const tlv_builder &b)
{
    return bytes(b.data, b.data + b.position);
}

const bytes HEAD = {0x00, 0x18, 0x00, 0x01, 0x10, 0x00, 0x00, 0x08};
const uint8_t ID16[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                          0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes id16()
{
    return bytes(ID16, ID16 + 16);
}

// A buffer whose unused bytes hold 0xEE, so bytes the builder forgets to write show up.
struct fixture {
    uint8_t buffer[256];
    tlv_builder b;
    tlv_record rec;
    fixture(size_t capacity = sizeof buffer)
    {
        memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(QNB_ERR_SUCCESS, tlv_msg_begin(&b, buffer, capacity, TLV_OPTION_BYTES));
    }
};

TEST(TlvBuild, BegunMessageAndItsRefusals)
{
    fixture f;
    EXPECT_EQ(cat({HEAD, bytes(16, 0)}), message_of(f.b));
    EXPECT_EQ(0xEE, f.buffer[24]);

    struct {
        bool null_buffer;
        size_t capacity;
        unsigned options;
        qnb_error expected;
    } cases[] = {
        {true, 64, 16, QNB_ERR_INVALIDPARAMETER}, {false, 0, 16, QNB_ERR_INVALIDPARAMETER},
        {false, 7, 16, QNB_ERR_NOMEMORY},         {false, 23, 16, QNB_ERR_NOMEMORY},
        {false, 64, 15, QNB_ERR_INVALIDPARAMETER}, {false, 64, 8, QNB_ERR_INVALIDPARAMETER},
        {false, 24, 16, QNB_ERR_SUCCESS},
    };
    for (const auto &c : cases) {
        uint8_t buf[64];
        tlv_builder b;
        EXPECT_EQ(c.expected, tlv_msg_begin(&b, c.null_buffer ? nullptr : buf, c.capacity, c.options))
            << c.capacity << " " << c.options;
    }
}

TEST(TlvBuild, IdRecordsAndCancelRequestByteForByte)
{
    std::unique_ptr<tlv_channel, void (*)(tlv_channel *)> ch(nullptr, tlv_channel_delete);
    tlv_channel *c = nullptr;
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_channel_new(nullptr, 7, nullptr, nullptr, &c));
    ch.reset(c);
    tlv_builder b;
    tlv_record rec;
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_begin_unsequenced(c, &b));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_add_request_u16(&b, &rec, TLV_RECORD_DOMAIN_CANCEL, 0x1234));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_add_u32_body(&rec, 0x00050001));
    EXPECT_EQ(cat({{0x00, 0x28, 0x00, 0x01, 0x10, 0x00, 0x02, 0x08},
                   {0x08, 0x40, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00},
                   {0x08, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                   {0x00, 0x10, 0x20, 0x0A, 0x00, 0x04, 0x00, 0x04, 0x12, 0x34, 0x00, 0x00},
                   {0x00, 0x05, 0x00, 0x01}}),
              message_of(b));

    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_begin_sequenced(c, &b, 0x01020304, 0x0506));
    EXPECT_EQ((bytes{0x08, 0x40, 1, 2, 3, 4, 5, 6}), bytes(b.data + 8, b.data + 16));
    // The area holds exactly the two id records.
    EXPECT_EQ(QNB_ERR_NOMEMORY, tlv_msg_add_option(&b, 0x42, 4, nullptr));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, tlv_msg_add_option(&b, 0x42, 0, nullptr));
}

// Each body builder on a request record 0x2010 (value 0x0102), checked against the record's bytes.
TEST(TlvBuild, BodiesByteForByte)
{
    const uint32_t four[4] = {1, 2, 3, 4};
    const uint8_t blob8[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    auto rec_head = [](uint16_t length, uint16_t body) {
        return bytes{uint8_t(length >> 8), uint8_t(length), 0x20, 0x10, 0x00, 0x04, uint8_t(body >> 8),
                     uint8_t(body), 0x01, 0x02, 0x00, 0x00};
    };
    bytes four_raw(16);
    memcpy(four_raw.data(), four, 16);
    struct {
        const char *name;
        std::function<qnb_error(tlv_record *)> build;
        bytes expected;
    } cases[] = {
        {"domain request",
         [&](tlv_record *r) {
             tlv_domain_request q = {};
             memcpy(q.id, ID16, 16);
             q.request_id = 0x00050002;
             q.mode = 7; // two bits kept
             q.name = "dev";
             q.has_blob = true;
             memcpy(q.blob, blob8, 8);
             q.has_value = true;
             q.value = 0xBEEF;
             return tlv_msg_add_domain_request_body(r, &q);
         },
         cat({rec_head(12 + 32 + 4 + 8, 32), id16(),
              {0x00, 0x05, 0x00, 0x02, 0x00, 0x03, 0x00, 0x07, 0x00, 0x2C, 0x00, 0x30, 0xBE, 0xEF, 0, 0},
              {'d', 'e', 'v', 0}, bytes(blob8, blob8 + 8)})},
        {"domain request, id only",
         [&](tlv_record *r) {
             tlv_domain_request q = {};
             return tlv_msg_add_domain_request_body(r, &q);
         },
         cat({rec_head(44, 32), bytes(32, 0)})},
        {"blob pair",
         [&](tlv_record *r) { return tlv_msg_add_blob_pair(r, "ab", 2, "cde", 3, 0x0707); },
         cat({rec_head(12 + 12 + 8, 12), {0x00, 0x05, 0x00, 0x18, 0x07, 0x07}, bytes(6, 0),
              {'a', 'b', 'c', 'd', 'e', 0, 0, 0}})},
        {"0x2011 body",
         [&](tlv_record *r) { return tlv_msg_add_0x2011_body(r, 9, 0x0A0B, 0x0C0D, ID16, 0x11223344); },
         cat({rec_head(44, 32), {0x00, 0x01, 0x00, 0x09, 0x0A, 0x0B, 0x0C, 0x0D}, id16(),
              {0, 0, 0, 1, 0x11, 0x22, 0x33, 0x44}})},
        {"0x2011 body, first field 0",
         [&](tlv_record *r) { return tlv_msg_add_0x2011_body(r, 0, 1, 2, ID16, 3); },
         cat({rec_head(44, 32), {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02}, id16(), {0, 0, 0, 1, 0, 0, 0, 3}})},
        {"four u32 as stored", [&](tlv_record *r) { return tlv_msg_add_4_u32(r, four); },
         cat({rec_head(28, 16), four_raw})},
        {"named record",
         [&](tlv_record *r) { return tlv_msg_add_named_record(r, 0x0102, true, 0x0304, 0x0506, "xy", ID16, 0x0A0B0C0D); },
         cat({rec_head(12 + 36 + 4, 36), {0x01, 0x02, 0x00, 0x01, 0x03, 0x04, 0x05, 0x06, 0x00, 0x30, 0, 0}, id16(),
              {0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0}, {'x', 'y', 0, 0}})},
        {"named record without text",
         [&](tlv_record *r) { return tlv_msg_add_named_record(r, 1, false, 2, 3, nullptr, ID16, 4); },
         cat({rec_head(48, 36), {0, 1, 0, 0, 0, 2, 0, 3, 0, 0, 0, 0}, id16(), {0, 0, 0, 4, 0, 0, 0, 0}})},
        {"8-byte record",
         [&](tlv_record *r) { return tlv_msg_add_8byte_record(r, "12345", 5); },
         cat({rec_head(12 + 8 + 8, 8), {0x00, 0x05, 0x00, 0x14, 0, 0, 0, 0}, {'1', '2', '3', '4', '5', 0, 0, 0}})},
    };
    for (const auto &c : cases) {
        fixture f;
        ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_add_request_u16(&f.b, &f.rec, 0x2010, 0x0102));
        ASSERT_EQ(QNB_ERR_SUCCESS, c.build(&f.rec)) << c.name;
        bytes msg = message_of(f.b);
        EXPECT_EQ(c.expected, bytes(msg.begin() + 24, msg.end())) << c.name;
        EXPECT_EQ(msg.size(), size_t(msg[0] << 8 | msg[1])) << c.name;
        tlv_view v;
        EXPECT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, f.buffer, msg.size())) << c.name;
    }
}

// Refusals leave the message as it was.
TEST(TlvBuild, RefusalsChangeNothing)
{
    static const std::string name31(31, 'n'), name32(32, 'n');
    typedef std::function<qnb_error(tlv_builder *, tlv_record *)> step;
    auto record = [](uint16_t type) {
        return [type](tlv_builder *b, tlv_record *r) { return tlv_msg_add_request_u16(b, r, type, 1); };
    };
    auto domain_body = [](const std::string *name) {
        return [name](tlv_builder *, tlv_record *r) {
            tlv_domain_request q = {};
            q.name = name->c_str();
            return tlv_msg_add_domain_request_body(r, &q);
        };
    };
    struct {
        const char *name;
        size_t capacity;
        step setup, refused;
        qnb_error expected;
    } cases[] = {
        {"request after response", 256,
         [](tlv_builder *b, tlv_record *r) { return tlv_msg_add_response_u16(b, r, 0x2009, 1); }, record(0x2009),
         QNB_ERR_INVALIDDATA},
        {"name of 32", 256, record(0x2009), domain_body(&name32), QNB_ERR_INVALIDDATA},
        {"name does not fit", 24 + 12 + 32 + 28, record(0x2009), domain_body(&name31), QNB_ERR_NOMEMORY},
        {"text does not fit", 24 + 12 + 36, record(0x2010),
         [](tlv_builder *, tlv_record *r) { return tlv_msg_add_named_record(r, 0, false, 0, 0, "t", ID16, 0); },
         QNB_ERR_NOBUFS},
        {"body twice", 256,
         [](tlv_builder *b, tlv_record *r) {
             tlv_msg_add_request_u16(b, r, 0x200A, 1);
             return tlv_msg_add_u32_body(r, 1);
         },
         [](tlv_builder *, tlv_record *r) { return tlv_msg_add_u32_body(r, 2); }, QNB_ERR_INVALIDSTATE},
        {"part on an earlier record", 256,
         [](tlv_builder *b, tlv_record *r) {
             tlv_record later;
             tlv_msg_add_request_u16(b, r, 0x2010, 1);
             return tlv_msg_add_request_u16(b, &later, 0x2010, 2);
         },
         [](tlv_builder *, tlv_record *r) {
             return tlv_msg_add_text(r, "x", nullptr) ? QNB_ERR_SUCCESS : QNB_ERR_INVALIDSTATE;
         },
         QNB_ERR_INVALIDSTATE},
    };
    for (const auto &c : cases) {
        fixture f(c.capacity);
        ASSERT_EQ(QNB_ERR_SUCCESS, c.setup(&f.b, &f.rec)) << c.name;
        bytes before = message_of(f.b);
        EXPECT_EQ(c.expected, c.refused(&f.b, &f.rec)) << c.name;
        EXPECT_EQ(before, message_of(f.b)) << c.name;
    }
    // A u16 write position never wraps: a reservation past 0xFFFF is refused.
    std::vector<uint8_t> big(0x10000);
    tlv_builder b;
    tlv_record r;
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_begin(&b, big.data(), big.size(), TLV_OPTION_BYTES));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_add_request_u16(&b, &r, 0x2010, 1));
    EXPECT_EQ(nullptr, tlv_msg_add_zeroed(&r, 0xFFF0, nullptr));
    EXPECT_EQ(36, b.position);
}

TEST(TlvIds, OptionWalk)
{
    struct {
        const char *name;
        bytes options;
        qnb_error expected, add; // parsing the ids; adding a 4-byte option
    } cases[] = {
        {"both", {8, 0x40, 0, 0, 0, 1, 0, 2, 8, 0x41, 0, 0, 0, 0, 0, 7}, QNB_ERR_SUCCESS, QNB_ERR_NOMEMORY},
        {"unknown option skipped", {4, 0x50, 9, 9, 8, 0x40, 0, 0, 0, 1, 0, 2, 0, 0, 0, 0}, QNB_ERR_SUCCESS,
         QNB_ERR_SUCCESS},
        {"no 0x40", {8, 0x41, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0}, QNB_ERR_NOTFOUND, QNB_ERR_SUCCESS},
        {"empty area", bytes(16, 0), QNB_ERR_NOTFOUND, QNB_ERR_SUCCESS},
        {"size 1", {1, 0x40, 0, 0, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0}, QNB_ERR_INVALIDDATA, QNB_ERR_INVALIDDATA},
        {"size 3 after a record", {4, 0x50, 0, 0, 3, 0x40, 0, 0, 0, 1, 0, 2, 0, 0, 0, 0}, QNB_ERR_INVALIDDATA,
         QNB_ERR_INVALIDDATA},
        {"id record of 4", {4, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, QNB_ERR_INVALIDDATA, QNB_ERR_SUCCESS},
        {"past the area", {8, 0x40, 0, 0, 0, 1, 0, 2, 12, 0x41, 0, 0, 0, 0, 0, 7}, QNB_ERR_INVALIDDATA,
         QNB_ERR_NOMEMORY},
    };
    for (const auto &c : cases) {
        bytes msg = cat({{0x00, 0x18, 0x00, 0x01, 0x10, 0x00, 0x02, 0x08}, c.options});
        tlv_ids ids;
        EXPECT_EQ(c.expected, tlv_msg_parse_ids(msg.data(), msg.size(), &ids)) << c.name;
        if (c.expected == QNB_ERR_SUCCESS) {
            EXPECT_EQ(TLV_CLASS_REQUEST, ids.msg_class);
            EXPECT_EQ(1u, ids.sequence.id);
            EXPECT_EQ(2, ids.sequence.value);
        }
        // Adding an option walks the same area: a size byte below 4 is refused the same way.
        uint8_t buf[64];
        memcpy(buf, msg.data(), msg.size());
        tlv_builder b = {buf, sizeof buf, 24, 0};
        EXPECT_EQ(c.add, tlv_msg_add_option(&b, 0x42, 4, nullptr)) << c.name;
    }
}

// A channel whose transport records what it is given.
struct wire {
    std::vector<bytes> sent;
    qnb_error result = QNB_ERR_SUCCESS;
    static qnb_error send(void *user, const uint8_t *data, size_t length)
    {
        wire *w = static_cast<wire *>(user);
        w->sent.emplace_back(data, data + length);
        return w->result;
    }
};

tlv_channel *channel(wire *w, uint16_t id, tlv_receive_fn receive = nullptr, void *context = nullptr)
{
    tlv_transport t = {&wire::send, w};
    tlv_channel *c = nullptr;
    EXPECT_EQ(QNB_ERR_SUCCESS, tlv_channel_new(w ? &t : nullptr, id, receive, context, &c));
    return c;
}

TEST(TlvSend, ClientIdIsWrittenOnceAndChecked)
{
    wire w;
    tlv_channel *seven = channel(&w, 7), *eight = channel(&w, 8), *mute = channel(nullptr, 7);
    tlv_builder b;
    tlv_record r;
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_begin_sequenced(seven, &b, 0x10, 3));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_add_request_u16(&b, &r, 0x2009, 1));
    EXPECT_EQ(QNB_ERR_NOTINITIALISED, tlv_msg_send(mute, &b));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_send(seven, &b));
    ASSERT_EQ(1u, w.sent.size());
    EXPECT_EQ((bytes{0x08, 0x41, 0, 0, 0, 0, 0x00, 0x07}), bytes(w.sent[0].begin() + 16, w.sent[0].begin() + 24));
    EXPECT_EQ(QNB_ERR_SUCCESS, tlv_msg_send(seven, &b)); // the same id again is fine
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_msg_send(eight, &b));
    EXPECT_EQ(2u, w.sent.size());
    w.result = QNB_ERR_NETDOWN;
    EXPECT_EQ(QNB_ERR_NETDOWN, tlv_msg_send(seven, &b));

    // A message without its 0x41 record is refused; one without 0x40 gives NOTFOUND.
    uint8_t buf[64];
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_begin(&b, buf, sizeof buf, TLV_OPTION_BYTES));
    EXPECT_EQ(QNB_ERR_NOTFOUND, tlv_msg_send(seven, &b));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_msg_add_id_option(&b, TLV_OPTION_SEQUENCE, 1, 1));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_msg_send(seven, &b));
    tlv_channel_delete(seven);
    tlv_channel_delete(eight);
    tlv_channel_delete(mute);
}

// A request received on a channel is answered with the ids swapped; a response is not rewritten.
TEST(TlvSend, ReceiveAndRespond)
{
    struct peer {
        int calls = 0;
        bool had_request = false;
        uint16_t seqnum = 0;
        static qnb_error receive(void *context, tlv_transaction *t)
        {
            peer *p = static_cast<peer *>(context);
            ++p->calls;
            p->had_request = t->request != nullptr;
            const tlv_view *m = tlv_request_get_message(t);
            tlv_builder b;
            tlv_record r;
            qnb_error err = tlv_msg_send_on_channel(t, &b);
            if (!err)
                err = tlv_msg_add_response_u16(&b, &r, m->type, uint16_t(m->value[0] << 8 | m->value[1]));
            if (!err)
                err = tlv_msg_set_second_u16(&r, 5);
            return err ? err : tlv_msg_send(t->channel, &b);
        }
    } p;
    wire w;
    tlv_channel *c = channel(&w, 9, &peer::receive, &p);
    bytes request = cat({{0x00, 0x24, 0x00, 0x01, 0x10, 0x00, 0x02, 0x08},
                         {0x08, 0x40, 0x00, 0x00, 0x00, 0x33, 0x00, 0x44},
                         {0x08, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02},
                         {0x00, 0x0C, 0x20, 0x0B, 0x00, 0x04, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x00}});
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_channel_receive(c, request.data(), request.size()));
    EXPECT_TRUE(p.had_request);
    ASSERT_EQ(1u, w.sent.size());
    EXPECT_EQ(cat({{0x00, 0x24, 0x00, 0x01, 0x10, 0x00, 0x03, 0x08},
                   {0x08, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02},
                   {0x08, 0x41, 0x00, 0x00, 0x00, 0x33, 0x00, 0x44},
                   {0x00, 0x0C, 0x20, 0x0B, 0x00, 0x04, 0x00, 0x00, 0x00, 0x2A, 0x00, 0x05}}),
              w.sent[0]);
    // A truncated datagram never reaches the callback.
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_channel_receive(c, request.data(), request.size() - 1));
    EXPECT_EQ(1, p.calls);
    tlv_channel_delete(c);
}

// A received message built from the library's own builders; `fill` writes the first record.
bytes build(const std::function<void(tlv_builder *)> &fill)
{
    static uint8_t buf[512];
    tlv_builder b;
    tlv_msg_begin(&b, buf, sizeof buf, TLV_OPTION_BYTES);
    tlv_msg_add_id_option(&b, TLV_OPTION_SEQUENCE, 0xFFFFFFFF, 0);
    tlv_msg_add_id_option(&b, TLV_OPTION_CLIENT, 0, 2);
    fill(&b);
    return message_of(b);
}

void put16(uint8_t *p, uint16_t v)
{
    wgcp_store_be16(p, v);
}

// A 0x200B result with a device record: name, info (every flag) and three services, one of them
// a second routing entry.
bytes domain_result(const char *name = "T001-dev", uint8_t mode = 0x21)
{
    return build([&](tlv_builder *b) {
        tlv_record r;
        uint8_t *body;
        uint16_t off;
        tlv_msg_add_request_u16(b, &r, TLV_RECORD_DOMAIN_RESULT, 4);
        tlv_msg_reserve_body(&r, 24, &body);
        memcpy(body, ID16, 16);
        wgcp_store_be32(body + 16, 0x00050001);
        put16(body + 20, TLV_DOMAIN_RESULT_FINAL | TLV_DOMAIN_RESULT_DEVICE);
        uint8_t *dev = tlv_msg_add_zeroed(&r, 8, &off);
        put16(body + 22, off);
        put16(dev + 2, 3);
        tlv_msg_add_text(&r, name, &off);
        put16(dev, off);
        uint8_t *info = tlv_msg_add_zeroed(&r, 20, &off);
        put16(dev + 4, off);
        put16(info, 0x7F);
        info[11] = mode;
        wgcp_store_be32(info + 12, 0x12345678);
        wgcp_store_be32(info + 16, 0x9ABCDEF0);
        tlv_msg_add_text(&r, "KTV4-S", &off);
        put16(info + 2, off);
        tlv_msg_add_bytes(&r, "AAAAAAAA", 8, &off);
        put16(info + 4, off);
        tlv_msg_add_bytes(&r, "BBBBBBBB", 8, &off);
        put16(info + 6, off);
        tlv_msg_add_bytes(&r, "\x01\x02\x03\x04\x05\x06", 6, &off);
        put16(info + 8, off);
        const char *services[] = {"_netaudio-arc._udp", "_other._udp", "_netaudio-arc._udp", "_netaudio-cmc._udp"};
        uint8_t *list = tlv_msg_add_zeroed(&r, 4 + 2 * 4, &off);
        put16(dev + 6, off);
        put16(list, 4);
        for (int i = 0; i < 4; ++i) {
            uint8_t *entry = tlv_msg_add_zeroed(&r, 12, &off);
            put16(list + 4 + 2 * i, off);
            put16(entry, 1 | 2 | 4);
            put16(entry + 8, uint16_t(4440 + i));
            tlv_msg_add_text(&r, services[i], &off);
            put16(entry + 2, off);
            tlv_msg_add_bytes(&r, "data", 4, &off);
            put16(entry + 4, off);
            put16(entry + 6, 4);
        }
    });
}

TEST(TlvParse, RoundTrips)
{
    tlv_view v;
    bytes m = domain_result();
    tlv_domain_result res;
    tlv_device_record d;
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, m.data(), m.size()));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_parse_domain_result(&v, &res));
    EXPECT_EQ((std::vector<uint32_t>{4, 0x00050001, 3}), (std::vector<uint32_t>{res.seqnum, res.request_id, res.flags}));
    EXPECT_EQ(0, memcmp(res.id, ID16, 16));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_parse_device_record(&v, res.device_offset, &d));
    EXPECT_EQ("T001-dev/KTV4-S", std::string(d.name) + "/" + d.model);
    EXPECT_EQ(0, memcmp(d.value_a, "AAAAAAAA", 8) | memcmp(d.value_b, "BBBBBBBB", 8));
    EXPECT_EQ((std::vector<uint32_t>{0x01020304, 0x0506, 1, 0x12345678, 0x9ABCDEF0}),
              (std::vector<uint32_t>{d.id_u32, d.id_u16, d.mode, d.info_u32_12, d.info_u32_16}));
    // The first of the two routing entries is kept; there is no via entry.
    EXPECT_EQ((std::vector<int>{1, 4440, 1, 4443, 0}),
              (std::vector<int>{d.routing.present, d.routing.value, d.control.present, d.control.value, d.via.present}));
    EXPECT_EQ("data", std::string(reinterpret_cast<const char *>(d.routing.data.data), d.routing.data.size));
    put16(m.data() + 26, TLV_RECORD_DOMAIN_REQUEST); // the same body in the reply to a request
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, m.data(), m.size()));
    EXPECT_EQ(QNB_ERR_SUCCESS, tlv_parse_domain_result(&v, &res));
    put16(m.data() + 26, TLV_RECORD_DOMAIN_CANCEL);
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, m.data(), m.size()));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_parse_domain_result(&v, &res));

    m = build([](tlv_builder *b) {
        tlv_record r;
        uint8_t *body;
        uint16_t off;
        tlv_msg_add_response_u16(b, &r, TLV_RECORD_0x2013, 0x0102);
        tlv_msg_reserve_body(&r, 48, &body);
        put16(body + 4, 3);
        put16(body + 26, 5);
        memcpy(body + 28, "rawbytes\x01\x02\x03\x04", 12);
        wgcp_store_be32(body + 40, 2); // only the second optional byte is taken
        body[44] = 0x55;
        body[45] = 0x66;
        tlv_msg_add_text(&r, "part", &off);
        put16(body + 6, off);
    });
    tlv_0x2011 x;
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, m.data(), m.size()));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_parse_0x2011(&v, &x));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_parse_0x2013(&v, &x));
    EXPECT_EQ((std::vector<uint32_t>{0x0102, 3, 5, 0, 0x66}),
              (std::vector<uint32_t>{x.seqnum, x.values[2], x.values2[1], x.byte0, x.byte1}));
    EXPECT_EQ(0, memcmp(x.raw, "rawbytes", 8) | memcmp(&x.raw_u32, "\x01\x02\x03\x04", 4));
    EXPECT_STREQ("part", reinterpret_cast<const char *>(x.part.data));

    m = build([](tlv_builder *b) {
        tlv_record r;
        uint8_t *body;
        uint16_t off;
        tlv_msg_add_request_u16(b, &r, TLV_RECORD_0x2003, 9);
        tlv_msg_reserve_body(&r, 12, &body);
        put16(body + 4, 0x0B);
        tlv_msg_add_text(&r, "second", &off);
        put16(body + 6, off);
    });
    tlv_0x2003 t3;
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, m.data(), m.size()));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_parse_0x2003(&v, &t3));
    EXPECT_EQ((std::vector<uint32_t>{9, 0x0B}), (std::vector<uint32_t>{t3.seqnum, t3.second}));
    EXPECT_EQ(nullptr, t3.first_part.data);
    EXPECT_STREQ("second", reinterpret_cast<const char *>(t3.second_part.data));

    // 0x2004: with status 0 a value and a part follow, otherwise the record may end at 12 bytes.
    for (uint16_t status : {0, 7}) {
        m = build([&](tlv_builder *b) {
            tlv_record r;
            uint8_t *body;
            uint16_t off;
            tlv_msg_add_response_u16(b, &r, TLV_RECORD_0x2004, 3);
            tlv_msg_set_second_u16(&r, status);
            if (status == 0) {
                tlv_msg_reserve_body(&r, 8, &body);
                put16(body, 0x77);
                tlv_msg_add_text(&r, "p", &off);
                put16(body + 2, off);
            }
        });
        tlv_0x2004 t4;
        ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, m.data(), m.size()));
        ASSERT_EQ(QNB_ERR_SUCCESS, tlv_parse_0x2004(&v, &t4)) << status;
        EXPECT_EQ((std::vector<int>{status, status ? 0 : 0x77, status == 0}),
                  (std::vector<int>{t4.status, t4.value, t4.part.data != nullptr}));
        if (status == 0) { // a record cut below 20 bytes is refused
            put16(m.data(), 40);
            put16(m.data() + 24, 16);
            put16(m.data() + 30, 0); // body length
            ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, m.data(), m.size()));
            EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_parse_0x2004(&v, &t4));
        }
    }
}

TEST(TlvParse, DeviceRecordChecks)
{
    struct {
        const char *name;
        uint8_t mode;
        qnb_error expected;
        uint8_t mode_out;
    } cases[] = {
        {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 0x00, QNB_ERR_SUCCESS, 0},
        {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", 0x00, QNB_ERR_INVALIDDATA, 0}, // 32 characters
        {"m", 0x02, QNB_ERR_SUCCESS, 2},
        {"m", 0xF3, QNB_ERR_SUCCESS, 255},
    };
    tlv_view v;
    tlv_domain_result res;
    tlv_device_record d;
    for (const auto &c : cases) {
        bytes m = domain_result(c.name, c.mode);
        ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, m.data(), m.size()));
        ASSERT_EQ(QNB_ERR_SUCCESS, tlv_parse_domain_result(&v, &res));
        ASSERT_EQ(c.expected, tlv_parse_device_record(&v, res.device_offset, &d)) << c.name;
        if (!c.expected) {
            EXPECT_EQ(c.mode_out, d.mode);
        }
    }

    // Any offset of the good record turned to the message's last byte is refused, and so is a
    // service count far beyond the list.
    bytes good = domain_result();
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, good.data(), good.size()));
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_parse_domain_result(&v, &res));
    size_t dev = 24 + res.device_offset;
    uint16_t past = uint16_t(good.size() - 24 - 1);
    size_t info = 24 + (good[dev + 4] << 8 | good[dev + 5]), list = 24 + (good[dev + 6] << 8 | good[dev + 7]);
    std::vector<std::pair<size_t, uint16_t>> spoils = {{dev, past},      {dev + 4, past},  {dev + 6, past},
                                                       {info + 2, past}, {info + 4, past}, {info + 6, past},
                                                       {info + 8, past}, {list, 0xFFFF}};
    for (const auto &s : spoils) {
        bytes bad = good;
        put16(bad.data() + s.first, s.second);
        ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, bad.data(), bad.size()));
        EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_parse_device_record(&v, res.device_offset, &d)) << s.first;
    }
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_parse_device_record(&v, past, &d));
}

TEST(TlvView, TruncatedAndHostileMessages)
{
    bytes good = build([](tlv_builder *b) {
        tlv_record r;
        tlv_msg_add_request_u16(b, &r, 0x2009, 1);
        tlv_msg_add_u32_body(&r, 5);
        tlv_msg_add_request_u16(b, &r, 0x200A, 2);
    });
    ASSERT_EQ(52u, good.size());
    struct {
        const char *name;
        std::function<void(bytes &)> spoil;
        qnb_error expected;
    } cases[] = {
        {"intact", [](bytes &) {}, QNB_ERR_SUCCESS},
        {"length beyond datagram", [](bytes &m) { m.pop_back(); }, QNB_ERR_INVALIDDATA},
        {"only the length", [](bytes &m) { m.resize(2); }, QNB_ERR_INVALIDDATA},
        {"length below header", [](bytes &m) { put16(m.data(), 7); }, QNB_ERR_INVALIDDATA},
        {"length inside head", [](bytes &m) { put16(m.data(), 20); }, QNB_ERR_INVALIDDATA},
        {"bare header with bytes", [](bytes &m) { m[7] = 0; }, QNB_ERR_INVALIDDATA},
        {"option offset 4", [](bytes &m) { m[7] = 4; }, QNB_ERR_INVALIDDATA},
        {"record head cut", [](bytes &m) { put16(m.data(), 28); }, QNB_ERR_INVALIDDATA},
        {"record length 4", [](bytes &m) { put16(m.data() + 24, 4); }, QNB_ERR_INVALIDDATA},
        {"record past message", [](bytes &m) { put16(m.data() + 24, 0x100); }, QNB_ERR_INVALIDDATA},
        {"value past record", [](bytes &m) { put16(m.data() + 28, 0x20); }, QNB_ERR_INVALIDDATA},
        {"body past record", [](bytes &m) { put16(m.data() + 30, 5); }, QNB_ERR_INVALIDDATA},
        {"second record past message", [](bytes &m) { put16(m.data() + 40, 16); }, QNB_ERR_INVALIDDATA},
        {"shorter length ends at a record", [](bytes &m) { put16(m.data(), 40); }, QNB_ERR_SUCCESS},
        {"bare header", [](bytes &m) { m.resize(8); put16(m.data(), 8); m[7] = 0; }, QNB_ERR_SUCCESS},
    };
    for (const auto &c : cases) {
        bytes m = good;
        c.spoil(m);
        std::unique_ptr<uint8_t[]> exact(new uint8_t[m.size()]);
        memcpy(exact.get(), m.data(), m.size());
        tlv_view v;
        EXPECT_EQ(c.expected, tlv_view_init(&v, exact.get(), m.size())) << c.name;
    }
    tlv_view v;
    EXPECT_EQ(QNB_ERR_NOTINITIALISED, tlv_view_init(&v, good.data(), 0));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, tlv_view_init(&v, nullptr, 4));

    // Parsers: wrong type, part offset outside the message.
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, good.data(), good.size()));
    tlv_domain_result res;
    tlv_0x2003 t3;
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_parse_0x2003(&v, &t3)); // a 0x2009 record
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_parse_domain_result(&v, &res)); // too short for a result
    bytes outside = build([](tlv_builder *b) {
        tlv_record r;
        uint8_t *body;
        tlv_msg_add_request_u16(b, &r, TLV_RECORD_0x2003, 1);
        tlv_msg_reserve_body(&r, 12, &body);
        put16(body + 2, 24);
    });
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, outside.data(), outside.size()));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, tlv_parse_0x2003(&v, &t3));
    put16(outside.data() + 24 + 14, 23);
    ASSERT_EQ(QNB_ERR_SUCCESS, tlv_view_init(&v, outside.data(), outside.size()));
    EXPECT_EQ(QNB_ERR_SUCCESS, tlv_parse_0x2003(&v, &t3));
    EXPECT_EQ(1u, t3.first_part.size);
}

// Random truncations and byte changes of well-formed messages through the view and every parser.
// Buffers are sized exactly, so AddressSanitizer catches any read past what arrived; every part
// handed out lies inside the message.
TEST(TlvView, MutationSweep)
{
    std::vector<bytes> seeds = {domain_result(), build([](tlv_builder *b) {
                                    tlv_record r;
                                    tlv_msg_add_response_u16(b, &r, TLV_RECORD_0x2011, 1);
                                    tlv_msg_add_named_record(&r, 1, true, 2, 3, "text", ID16, 4);
                                    tlv_msg_add_zeroed(&r, 8, nullptr);
                                }),
                                build([](tlv_builder *b) {
                                    tlv_record r;
                                    uint8_t *body;
                                    uint16_t off;
                                    tlv_msg_add_response_u16(b, &r, TLV_RECORD_0x2004, 1);
                                    tlv_msg_reserve_body(&r, 8, &body);
                                    tlv_msg_add_text(&r, "p", &off);
                                    put16(body + 2, off);
                                })};
    std::mt19937 rng(20261209);
    for (int i = 0; i < 20000; ++i) {
        bytes m = seeds[i % seeds.size()];
        int changes = 1 + int(rng() % 4);
        for (int k = 0; k < changes; ++k)
            m[rng() % m.size()] = uint8_t(rng());
        if (rng() % 3 == 0)
            m.resize(rng() % (m.size() + 1));
        if (m.size() >= 2 && rng() % 2)
            put16(m.data(), uint16_t(m.size()));
        std::unique_ptr<uint8_t[]> exact(new uint8_t[m.size()]);
        if (!m.empty())
            memcpy(exact.get(), m.data(), m.size());
        tlv_ids ids;
        tlv_msg_parse_ids(exact.get(), m.size(), &ids);
        tlv_view v;
        if (tlv_view_init(&v, exact.get(), m.size()) != QNB_ERR_SUCCESS)
            continue;
        ASSERT_LE(v.length, m.size());
        auto inside = [&](const tlv_part &p) {
            if (p.data) {
                ASSERT_GE(p.data, exact.get());
                ASSERT_LE(size_t(p.data - exact.get()) + p.size, size_t(v.length));
            }
        };
        tlv_0x2003 t3;
        tlv_0x2004 t4;
        tlv_0x2011 t11;
        tlv_domain_result res;
        tlv_device_record d;
        if (!tlv_parse_0x2003(&v, &t3)) {
            inside(t3.first_part);
            inside(t3.second_part);
        }
        if (!tlv_parse_0x2004(&v, &t4))
            inside(t4.part);
        if (!tlv_parse_0x2011(&v, &t11))
            inside(t11.part);
        if (!tlv_parse_domain_result(&v, &res) && !tlv_parse_device_record(&v, res.device_offset, &d)) {
            ASSERT_LT(strlen(d.name), sizeof d.name);
            inside(d.routing.data);
            inside(d.control.data);
            inside(d.via.data);
        }
    }
}

} // namespace
