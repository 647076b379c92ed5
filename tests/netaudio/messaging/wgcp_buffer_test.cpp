#include "netaudio/messaging/wgcp_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Reads at every offset near the end of an exactly-sized heap buffer: those that would pass the
// end must fail (AddressSanitizer reports any byte read past it).
TEST(WgcpReader, FixedWidthReadsStopAtTheEndOfTheView)
{
    const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    std::vector<uint8_t> heap(bytes);
    wgcp_reader r;
    wgcp_reader_init(&r, heap.data(), heap.size());

    struct row {
        size_t offset;
        size_t width;
        bool ok;
        uint32_t value;
    } rows[] = {
        {0, 1, true, 0x01},       {5, 1, true, 0x06},       {6, 1, false, 0},
        {0, 2, true, 0x0102},     {4, 2, true, 0x0506},     {5, 2, false, 0},
        {2, 4, true, 0x03040506}, {3, 4, false, 0},         {SIZE_MAX, 1, false, 0},
        {SIZE_MAX - 1, 2, false, 0}, {SIZE_MAX - 3, 4, false, 0},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(testing::Message() << "offset " << t.offset << " width " << t.width);
        qnb_error err;
        uint32_t got = 0;
        if (t.width == 1) {
            uint8_t v = 0;
            err = wgcp_reader_u8_at(&r, t.offset, &v);
            got = v;
        } else if (t.width == 2) {
            uint16_t v = 0;
            err = wgcp_reader_u16_at(&r, t.offset, &v);
            got = v;
        } else {
            err = wgcp_reader_u32_at(&r, t.offset, &got);
        }
        EXPECT_EQ(t.ok ? QNB_ERR_SUCCESS : QNB_ERR_INVALIDDATA, err);
        if (t.ok) {
            EXPECT_EQ(t.value, got);
        }
    }
}

TEST(WgcpReader, SequentialReadsMoveOnlyOnSuccess)
{
    const uint8_t bytes[] = {0xAB, 0x00, 0x10, 0xDE, 0xAD, 0xBE};
    wgcp_reader r;
    wgcp_reader_init(&r, bytes, sizeof bytes);
    uint8_t b;
    uint16_t w;
    uint32_t d;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_reader_get_u8(&r, &b));
    EXPECT_EQ(0xAB, b);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_reader_get_u16(&r, &w));
    EXPECT_EQ(0x0010, w);
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_reader_get_u32(&r, &d)); // 3 bytes left
    EXPECT_EQ(3u, wgcp_reader_remaining(&r));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_reader_skip(&r, 4));
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp_reader_align(&r, 4)); // 3 -> 4
    EXPECT_EQ(2u, wgcp_reader_remaining(&r));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_reader_seek(&r, 7));
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp_reader_seek(&r, 6));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_reader_get_u8(&r, &b));
}

TEST(WgcpReader, SubViewsAreBoundedByTheirParent)
{
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    wgcp_reader r, sub;
    wgcp_reader_init(&r, bytes, sizeof bytes);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_reader_sub(&r, 2, 4, &sub));
    uint32_t v;
    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp_reader_u32_at(&sub, 0, &v));
    EXPECT_EQ(0x03040506u, v);
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_reader_u8_at(&sub, 4, reinterpret_cast<uint8_t *>(&v)));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_reader_sub(&r, 6, 3, &sub));
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_reader_sub(&r, SIZE_MAX, 2, &sub));
}

TEST(WgcpReader, NarrowTextNeedsItsTerminatorInsideTheView)
{
    struct row {
        std::vector<uint8_t> bytes;
        size_t offset;
        size_t buf_size;
        qnb_error err;
        const char *text;
        size_t length;
    } rows[] = {
        {{'a', 'b', 'c', 0}, 0, 16, QNB_ERR_SUCCESS, "abc", 3},
        {{'a', 'b', 'c', 0}, 0, 3, QNB_ERR_SUCCESS, "ab", 3}, // cut, terminated, full length reported
        {{'a', 'b', 'c', 0}, 3, 16, QNB_ERR_SUCCESS, "", 0},
        {{'a', 'b', 'c'}, 0, 16, QNB_ERR_INVALIDDATA, "", 0}, // runs to the end without NUL
        {{'a', 'b', 'c', 0}, 4, 16, QNB_ERR_INVALIDDATA, "", 0},
        {{}, 0, 16, QNB_ERR_INVALIDDATA, "", 0},
    };
    for (const row &t : rows) {
        std::vector<uint8_t> heap(t.bytes);
        wgcp_reader r;
        wgcp_reader_init(&r, heap.data(), heap.size());
        char buf[16];
        memset(buf, 'x', sizeof buf);
        buf[0] = '\0';
        size_t length = 99;
        EXPECT_EQ(t.err, wgcp_reader_string_at(&r, t.offset, buf, t.buf_size, &length));
        if (t.err == QNB_ERR_SUCCESS) {
            EXPECT_STREQ(t.text, buf);
            EXPECT_EQ(t.length, length);
        }
    }
}

TEST(WgcpReader, FixedFieldTextMayBeUnterminated)
{
    const uint8_t field[8] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
    std::vector<uint8_t> heap(field, field + sizeof field);
    wgcp_reader r;
    wgcp_reader_init(&r, heap.data(), heap.size());
    char buf[16];
    size_t length = 0;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_reader_text_field_at(&r, 0, 8, buf, sizeof buf, &length));
    EXPECT_STREQ("ABCDEFGH", buf);
    EXPECT_EQ(8u, length);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_reader_text_field_at(&r, 0, 8, buf, 5, &length));
    EXPECT_STREQ("ABCD", buf);
    EXPECT_EQ(QNB_ERR_INVALIDDATA, wgcp_reader_text_field_at(&r, 1, 8, buf, sizeof buf, &length));
}

std::vector<uint8_t> wide(std::initializer_list<uint32_t> units)
{
    std::vector<uint8_t> out;
    for (uint32_t u : units) {
        out.push_back(static_cast<uint8_t>(u >> 24));
        out.push_back(static_cast<uint8_t>(u >> 16));
        out.push_back(static_cast<uint8_t>(u >> 8));
        out.push_back(static_cast<uint8_t>(u));
    }
    return out;
}

TEST(WgcpReader, WideTextStopsAtTerminatorCapacityOrFails)
{
    struct row {
        std::vector<uint8_t> bytes;
        size_t capacity;
        qnb_error err;
        std::u16string text;
    } rows[] = {
        {wide({'E', 't', 'h', 0}), 8, QNB_ERR_SUCCESS, u"Eth"},
        {wide({'E', 't', 'h', 0}), 3, QNB_ERR_SUCCESS, u"Et"},       // capacity - 1 units, no terminator needed
        {wide({'E', 't', 'h'}), 3, QNB_ERR_SUCCESS, u"Et"},
        {wide({'E', 't', 'h'}), 8, QNB_ERR_INVALIDDATA, u""},        // ends without its 0 unit
        {wide({0x263A, 0}), 8, QNB_ERR_SUCCESS, u"\u263A"},
        {wide({0x10041, 0}), 8, QNB_ERR_INVALIDDATA, u""},           // not a UTF-16 unit
        {{0, 0, 0}, 8, QNB_ERR_INVALIDDATA, u""},                    // a unit cut short
        {wide({0}), 1, QNB_ERR_SUCCESS, u""},
    };
    for (const row &t : rows) {
        std::vector<uint8_t> heap(t.bytes);
        wgcp_reader r;
        wgcp_reader_init(&r, heap.data(), heap.size());
        char16_t buf[8];
        size_t units = 99;
        EXPECT_EQ(t.err, wgcp_reader_wstring_at(&r, 0, buf, t.capacity, &units));
        if (t.err == QNB_ERR_SUCCESS) {
            EXPECT_EQ(t.text, std::u16string(buf));
            EXPECT_EQ(t.text.size(), units);
        }
    }
    wgcp_reader r;
    char16_t buf[1];
    std::vector<uint8_t> heap = wide({'a', 0});
    wgcp_reader_init(&r, heap.data(), heap.size());
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, wgcp_reader_wstring_at(&r, 0, buf, 0, nullptr));
}

TEST(WgcpWriter, AppendsFailWithoutChangeWhenFull)
{
    uint8_t buf[8];
    memset(buf, 0xEE, sizeof buf);
    wgcp_writer w;
    wgcp_writer_init(&w, buf, sizeof buf, 0);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_writer_put_u8(&w, 0x11));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_writer_pad(&w, 4)); // three zero bytes
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_writer_put_u16(&w, 0x2233));
    EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_writer_put_u32(&w, 0x44556677));
    EXPECT_EQ(6u, w.length);
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_writer_put_bytes(&w, nullptr, 2));
    EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_writer_put_u8(&w, 1));
    const uint8_t expected[] = {0x11, 0, 0, 0, 0x22, 0x33, 0, 0};
    EXPECT_EQ(0, memcmp(expected, buf, sizeof expected));

    EXPECT_EQ(QNB_ERR_SUCCESS, wgcp_writer_set_u32_at(&w, 4, 0xCAFEBABE));
    EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_writer_set_u32_at(&w, 5, 0));
    EXPECT_EQ(QNB_ERR_MSGSIZE, wgcp_writer_set_u16_at(&w, SIZE_MAX, 0));
    EXPECT_EQ(0xCAFEBABEu, wgcp_load_be32(buf + 4));
}

} // namespace
