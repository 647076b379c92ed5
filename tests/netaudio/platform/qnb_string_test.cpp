#include "netaudio/platform/qnb_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(QnbString, StrlcpyTruncatesTerminatesAndReturnsTheSourceLength)
{
    struct {
        size_t size;
        const char *expected;
    } cases[] = {{1, ""}, {3, "he"}, {5, "hell"}, {6, "hello"}, {20, "hello"}};
    for (const auto &c : cases) {
        char area[32];
        std::memset(area, '#', sizeof area);
        EXPECT_EQ(qnb_strlcpy(area, "hello", c.size), 5u);
        EXPECT_STREQ(area, c.expected);
        EXPECT_EQ(area[c.size], '#') << "wrote past the buffer";
    }
    char untouched = '#';
    EXPECT_EQ(qnb_strlcpy(&untouched, "hello", 0), 5u);
    EXPECT_EQ(untouched, '#');
    char out[4] = "xy";
    EXPECT_EQ(qnb_strlcpy(out, nullptr, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

TEST(QnbString, WideCopyCountsUnits)
{
    char16_t area[8];
    std::fill(std::begin(area), std::end(area), u'#');
    EXPECT_EQ(qnb_wstrlcpy(area, u"h\u00E9llo", 3), 5u);
    EXPECT_EQ(std::u16string(area), u"h\u00E9");
    EXPECT_EQ(area[3], u'#');
    EXPECT_EQ(qnb_wstrlcpy(area, u"hi", 8), 2u);
    EXPECT_EQ(std::u16string(area), u"hi");
    EXPECT_EQ(qnb_wstrlcpy(area, u"abc", 0), 3u);
    EXPECT_EQ(std::u16string(area), u"hi");
}

TEST(QnbString, StrlcatAppendsBoundedAndRefusesAnUnterminatedTarget)
{
    struct {
        const char *start;
        const char *append;
        size_t size;
        const char *expected;
        size_t result;
    } cases[] = {
        {"ab", "cdef", 8, "abcdef", 6},
        {"ab", "cdefghij", 8, "abcdefg", 10},
        {"abcdefg", "x", 8, "abcdefg", 8},
        {"", "xyz", 2, "x", 3},
        {"ab", "", 8, "ab", 2},
    };
    for (const auto &c : cases) {
        char area[16];
        std::memset(area, '#', sizeof area);
        std::memcpy(area, c.start, std::strlen(c.start) + 1);
        EXPECT_EQ(qnb_strlcat(area, c.append, c.size), c.result) << c.start << "+" << c.append;
        EXPECT_STREQ(area, c.expected);
        EXPECT_EQ(area[c.size], '#');
    }
    char full[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(qnb_strlcat(full, "x", sizeof full), sizeof full);
    EXPECT_EQ(std::memcmp(full, "abcd", 4), 0);
}

TEST(QnbString, StrcasecmpComparesLowerCasedBytes)
{
    struct {
        const char *a;
        const char *b;
        int sign;
    } cases[] = {
        {"ABC", "abc", 0}, {"a", "B", -1},    {"b", "A", 1},     {"abc", "ab", 1},
        {"ab", "abc", -1}, {"", "", 0},       {"[", "a", -1},    // '[' sits between 'Z' and 'a'
        {"\xC4", "\xE4", -1},                 // bytes above 127 are not folded
        {nullptr, "a", -1}, {"a", nullptr, 1}, {nullptr, nullptr, 0},
    };
    for (const auto &c : cases) {
        int r = qnb_strcasecmp(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << (c.a ? c.a : "(null)") << " vs " << (c.b ? c.b : "(null)");
    }
    EXPECT_EQ(qnb_strcasecmp("abc", "ab"), 'c');
    EXPECT_EQ(qnb_strcasecmp("A", "b"), 'a' - 'b');
}

} // namespace
