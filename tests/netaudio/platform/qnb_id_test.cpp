#include "netaudio/platform/qnb_id.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

using id_bytes = std::array<uint8_t, 8>;

std::string text_of(const id_bytes &id)
{
    char out[QNB_ID_TEXT_SIZE];
    EXPECT_EQ(qnb_id_to_text(id.data(), out), out);
    return out;
}

TEST(QnbId, TextOfAnId)
{
    struct {
        id_bytes id;
        const char *text;
    } cases[] = {
        {{'a', 'b', 'c', 0, 0, 0, 0, 0}, "abc"},
        {{1, 2, 0, 0, 0, 0, 0, 0}, "_0102"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "_00"},
        {{'A', 'b', '-', '_', '9', 'Z', 'z', '0'}, "Ab-_9Zz0"},
        {{'_', 'a', 0, 0, 0, 0, 0, 0}, "_5f61"},             // a leading '_' would read as hex
        {{'a', 0, 'b', 0, 0, 0, 0, 0}, "_610062"},           // an inner zero is not a name byte
        {{'a', '.', 0, 0, 0, 0, 0, 0}, "_612e"},
        {{0x02, 0x51, 0x5a, 0xff, 0xfe, 0x22, 0x33, 0x44}, "_02515afffe223344"},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "_ffffffffffffffff"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(text_of(c.id), c.text);
    char out[QNB_ID_TEXT_SIZE];
    EXPECT_EQ(qnb_id_to_text(nullptr, out), nullptr);
}

TEST(QnbId, TextRoundTrips)
{
    const id_bytes ids[] = {
        {'a', 'b', 'c', 0, 0, 0, 0, 0},        {1, 2, 0, 0, 0, 0, 0, 0},
        {0, 0, 0, 0, 0, 0, 0, 0},              {'A', 'b', '-', '_', '9', 'Z', 'z', '0'},
        {'_', 'a', 0, 0, 0, 0, 0, 0},          {'a', 0, 'b', 0, 0, 0, 0, 0},
        {0x02, 0x51, 0x5a, 0xff, 0xfe, 0x22, 0x33, 0x44}, {0, 0, 0, 0, 0, 0, 0, 9},
    };
    for (const id_bytes &id : ids) {
        id_bytes back;
        back.fill(0xAA);
        std::string text = text_of(id);
        EXPECT_TRUE(qnb_id_from_text(back.data(), text.c_str())) << text;
        EXPECT_EQ(back, id) << text;
    }
}

TEST(QnbId, IdFromTextRefusesBadAndOverLongInputWithoutOverrunning)
{
    struct {
        const char *text;
        bool ok;
        id_bytes expected;
    } cases[] = {
        {"abcdefgh", true, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}},
        {"abcdefghi", false, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}},
        {"a-very-long-device-name", false, {'a', '-', 'v', 'e', 'r', 'y', '-', 'l'}},
        {"_0A0b", true, {0x0a, 0x0b, 0, 0, 0, 0, 0, 0}},
        {"_0102030405060708", true, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"_010203040506070809", false, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"_", false, {}},
        {"_0", false, {}},
        {"_012", false, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"_0g", false, {}},
        {"", false, {}},
        {nullptr, false, {}},
    };
    for (const auto &c : cases) {
        uint8_t area[8 + 4];
        std::memset(area, 0xEE, sizeof area);
        EXPECT_EQ(qnb_id_from_text(area, c.text), c.ok) << (c.text ? c.text : "(null)");
        EXPECT_EQ(0, std::memcmp(area, c.expected.data(), 8)) << (c.text ? c.text : "(null)");
        for (int i = 8; i < 12; ++i)
            EXPECT_EQ(area[i], 0xEE) << "wrote past the id: " << (c.text ? c.text : "(null)");
    }
    EXPECT_FALSE(qnb_id_from_text(nullptr, "abc"));
}

TEST(QnbId, IdFromHexText)
{
    id_bytes id{};
    EXPECT_EQ(qnb_id_from_hex(id.data(), "02515aFFFE223344"), 0);
    EXPECT_EQ(id, (id_bytes{0x02, 0x51, 0x5a, 0xff, 0xfe, 0x22, 0x33, 0x44}));
    EXPECT_EQ(qnb_id_from_hex(id.data(), " \t0X0102030405060708 rest"), 0);
    EXPECT_EQ(id, (id_bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    const id_bytes before = id;
    for (const char *bad : {"00112233", "0x010203040506070", "01020304050607zz", "", "0x"})
        EXPECT_EQ(qnb_id_from_hex(id.data(), bad), QNB_ERR_INVALIDDATA) << bad;
    EXPECT_EQ(id, before);
    EXPECT_EQ(qnb_id_from_hex(id.data(), nullptr), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_id_from_hex(nullptr, "0102030405060708"), QNB_ERR_INVALIDPARAMETER);
}

TEST(QnbId, IdWithPortText)
{
    char out[QNB_ID_PORT_TEXT_SIZE];
    const id_bytes id{0x02, 0x51, 0x5a, 0xff, 0xfe, 0x22, 0x33, 0x44};
    EXPECT_STREQ(qnb_id_port_to_text(id.data(), 4440, out), "02515afffe223344:4440");
    const id_bytes ff{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_STREQ(qnb_id_port_to_text(ff.data(), 65535, out), "ffffffffffffffff:65535");
    EXPECT_EQ(std::strlen(out), 22u);
}

TEST(QnbId, HexDigitValue)
{
    struct {
        int c;
        int value;
    } cases[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
                 // neighbours of the ranges, and bytes above 127
                 {'/', 255}, {':', 255}, {'@', 255}, {'G', 255}, {'`', 255}, {'g', 255},
                 {' ', 255}, {0, 255}, {0xB0, 255}, {-1, 255}};
    for (const auto &c : cases)
        EXPECT_EQ(qnb_hex_digit_value(c.c), c.value) << c.c;
}

} // namespace
