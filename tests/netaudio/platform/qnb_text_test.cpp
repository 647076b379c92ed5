#include "netaudio/platform/qnb_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(QnbText, TokensAndSpaces)
{
    char line[] = "  m=audio\t5004  RTP/AVP 96\r\n";
    std::vector<std::string> tokens;
    char *rest = line;
    while (char *token = qnb_next_token(rest, &rest))
        tokens.push_back(token);
    EXPECT_EQ(tokens, (std::vector<std::string>{"m=audio", "5004", "RTP/AVP", "96"}));
    EXPECT_EQ(*rest, '\0');

    char blank[] = " \t ";
    EXPECT_EQ(qnb_next_token(blank, &rest), nullptr);
    EXPECT_EQ(qnb_next_token(nullptr, &rest), nullptr);
    char one[] = "last";
    EXPECT_STREQ(qnb_next_token(one, &rest), "last");
    EXPECT_EQ(rest, one + 4);

    const char *text = " \v\fabc def";
    EXPECT_EQ(qnb_skip_space(text), text + 3);
    EXPECT_EQ(qnb_token_end(text + 3), text + 6);
    const char *word = "abc";
    EXPECT_EQ(qnb_token_end(word), word + 3);
    EXPECT_EQ(qnb_first_char("  \tx y"), 'x');
    EXPECT_EQ(qnb_first_char("   "), '\0');
    EXPECT_EQ(qnb_first_char(nullptr), '\0');
}

TEST(QnbText, Prefix)
{
    const char *text = "a=rtpmap:96 L24/48000/2";
    EXPECT_EQ(qnb_prefix(text, "a=rtpmap:"), text + 9);
    EXPECT_EQ(qnb_prefix(text, ""), text);
    EXPECT_EQ(qnb_prefix(text, "a=fmtp:"), nullptr);
    EXPECT_EQ(qnb_prefix("a=", "a=rtpmap:"), nullptr);
    EXPECT_EQ(qnb_prefix(nullptr, "a"), nullptr);
}

TEST(QnbText, HexToBytes)
{
    struct {
        const char *hex;
        size_t n;
        size_t result;
        std::vector<uint8_t> bytes; // the first `n` bytes afterwards (buffer starts as 0xEE)
    } cases[] = {
        {"0a1", 3, 3, {0x0A, 0x10, 0x00}},
        {"0g", 3, 0, {0xEE, 0xEE, 0xEE}},
        {"A0b1C2", 3, 3, {0xA0, 0xB1, 0xC2}},
        {"A0b1C2d3", 3, 3, {0xA0, 0xB1, 0xC2}}, // stops when full
        {"", 2, 2, {0x00, 0x00}},
        {"12 34", 3, 1, {0x12, 0xEE, 0xEE}},
    };
    for (const auto &c : cases) {
        uint8_t buffer[8];
        std::memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(qnb_hex_to_bytes(c.hex, buffer, c.n), c.result) << c.hex;
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + c.n), c.bytes) << c.hex;
        EXPECT_EQ(buffer[c.n], 0xEE) << c.hex;
    }
}

TEST(QnbText, HexToBytesWithSeparators)
{
    struct {
        const char *hex;
        size_t n;
        char separator;
        size_t group;
        size_t result;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"08-00-11-FF-fe-22-33-44", 8, '-', 1, 8, {0x08, 0x00, 0x11, 0xFF, 0xFE, 0x22, 0x33, 0x44}},
        {"0800:11ff:fe22:3344", 8, ':', 2, 8, {0x08, 0x00, 0x11, 0xFF, 0xFE, 0x22, 0x33, 0x44}},
        {"08-00", 8, '-', 1, 2, {0x08, 0x00}},
        {"08:00-11", 8, '-', 1, 1, {0x08}},
        {"08-0x-11", 8, '-', 1, 1, {0x08}},
        {"08-00-11-22", 2, '-', 1, 2, {0x08, 0x00}},
        {"0", 4, '-', 1, 0, {}},
    };
    for (const auto &c : cases) {
        uint8_t buffer[8];
        std::memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(qnb_hex_to_bytes_sep(c.hex, buffer, c.n, c.separator, c.group), c.result) << c.hex;
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + c.bytes.size()), c.bytes) << c.hex;
        if (c.result < sizeof buffer) {
            EXPECT_EQ(buffer[c.result], 0xEE) << "no zero filling: " << c.hex;
        }
    }
}

TEST(QnbText, StrlcatMany)
{
    char buffer[8] = "ab";
    EXPECT_EQ(qnb_strlcat_many(buffer, sizeof buffer, "cdef", "ghij", nullptr), 10u);
    EXPECT_STREQ(buffer, "abcdefg");
    char roomy[32] = "";
    EXPECT_EQ(qnb_strlcat_many(roomy, sizeof roomy, "a", "", "bc", nullptr), 3u);
    EXPECT_STREQ(roomy, "abc");
    char unterminated[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(qnb_strlcat_many(unterminated, sizeof unterminated, "q", nullptr), 0u);
    EXPECT_EQ(std::memcmp(unterminated, "wxyz", 4), 0);
}

TEST(QnbText, Strtoull)
{
    struct {
        const char *text;
        int base;
        uint64_t value;
        size_t consumed;
        bool range_error;
    } cases[] = {
        {"0x1F", 0, 31, 4, false},
        {"  0X1fz", 0, 31, 6, false},
        {"017", 0, 15, 3, false},
        {"0", 0, 0, 1, false},
        {"0x", 0, 0, 1, false},    // no hexadecimal digit: the 0 alone
        {"42abc", 10, 42, 2, false},
        {"ff", 16, 255, 2, false},
        {"0xff", 16, 255, 4, false},
        {"zZ", 36, 35 * 36 + 35, 2, false},
        {"1012", 2, 5, 3, false},
        {"+7", 10, 7, 2, false},
        {"-1", 10, UINT64_MAX, 2, false},
        {"-2", 0, UINT64_MAX - 1, 2, false},
        {"18446744073709551615", 10, UINT64_MAX, 20, false},
        {"18446744073709551616", 10, UINT64_MAX, 20, true},
        {"99999999999999999999x", 10, UINT64_MAX, 20, true},
        {"-99999999999999999999", 10, UINT64_MAX, 21, true}, // no negation on overflow
        {"", 10, 0, 0, false},
        {"  -", 10, 0, 0, false},
        {"x1", 10, 0, 0, false},
        {"12", 1, 0, 0, false},
        {"12", 37, 0, 0, false},
    };
    for (const auto &c : cases) {
        errno = 0;
        const char *end = nullptr;
        EXPECT_EQ(qnb_strtoull(c.text, &end, c.base), c.value) << c.text;
        EXPECT_EQ(static_cast<size_t>(end - c.text), c.consumed) << c.text;
        EXPECT_EQ(errno == ERANGE, c.range_error) << c.text;
    }
    EXPECT_EQ(qnb_strtoull("12", nullptr, 10), 12u);
}

TEST(QnbText, WideToNarrow)
{
    char buffer[32];
    EXPECT_STREQ(qnb_wstr_to_str(u"Ethernet 2", buffer, sizeof buffer), "Ethernet 2");
    const char16_t mixed[] = {0x41, 0x263A, 0};
    EXPECT_STREQ(qnb_wstr_to_str(mixed, buffer, sizeof buffer), "0041 263a");
    EXPECT_STREQ(qnb_wstr_to_str(u"abcdef", buffer, 4), "abc");
    EXPECT_STREQ(qnb_wstr_to_str(mixed, buffer, 7), "0041 2");
    EXPECT_STREQ(qnb_wstr_to_str(nullptr, buffer, sizeof buffer), "");
    buffer[0] = 'x';
    qnb_wstr_to_str(u"a", buffer, 0);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(qnb_wstr_to_str(u"a", nullptr, 8), nullptr);

    qnb_free_nonnull(nullptr);
    qnb_free_nonnull(std::malloc(4));
}

} // namespace
