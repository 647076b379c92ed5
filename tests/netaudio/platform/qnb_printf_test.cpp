#include "netaudio/platform/qnb_printf.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/types.h>

namespace {

struct formatted {
    std::string text;
    int count;
};

// Formats into a buffer of `size` bytes that is surrounded by guard bytes, and checks that nothing
// was written outside the buffer.
formatted format_into(size_t size, const char *format, ...)
{
    std::string area(size + 16, '#');
    char *buffer = &area[8];
    va_list args;
    va_start(args, format);
    int count = qnb_vsnprintf(size ? buffer : nullptr, size, format, args);
    va_end(args);
    EXPECT_EQ(area.substr(0, 8), "########") << format;
    EXPECT_EQ(area.substr(8 + size), "########") << format;
    std::string text;
    if (size > 0) {
        EXPECT_NE(std::memchr(buffer, '\0', size), nullptr) << "unterminated: " << format;
        text.assign(buffer, strnlen(buffer, size));
    }
    return {text, count};
}

#define EXPECT_FORMAT(expected, format, ...)                                              \
    do {                                                                                  \
        formatted f_ = format_into(256, format, ##__VA_ARGS__);                           \
        EXPECT_EQ(f_.text, std::string(expected)) << format;                              \
        EXPECT_EQ(f_.count, static_cast<int>(std::string(expected).size())) << format;    \
    } while (0)

TEST(QnbPrintf, TruncatesButCountsTheWholeOutput)
{
    struct {
        size_t size;
        const char *expected;
    } cases[] = {{4, "hel"}, {5, "hell"}, {6, "hello"}, {1, ""}, {100, "hello"}};
    for (const auto &c : cases) {
        formatted f = format_into(c.size, "%s", "hello");
        EXPECT_EQ(f.text, c.expected) << c.size;
        EXPECT_EQ(f.count, 5) << c.size;
    }
    // No buffer, or a size of 0, only measures.
    EXPECT_EQ(format_into(0, "abc%d", 12345).count, 8);
    char untouched = 'x';
    EXPECT_EQ(qnb_snprintf(&untouched, 0, "abc"), 3);
    EXPECT_EQ(untouched, 'x');
    // A conversion cut in the middle still counts whole.
    formatted f = format_into(6, "ab%dcd", 123456);
    EXPECT_EQ(f.text, "ab123");
    EXPECT_EQ(f.count, 10);
}

TEST(QnbPrintf, OrdinaryTextPercentAndEscapes)
{
    EXPECT_FORMAT("100%", "100%%");
    EXPECT_FORMAT("50% !", "50% !");      // a flag, then no conversion letter
    EXPECT_FORMAT("%", "%");              // '%' at the end
    EXPECT_FORMAT("%y %k", "%y %k");      // letters outside the set print unchanged
    EXPECT_FORMAT("%-5y", "%-5y");
    EXPECT_FORMAT("%Lf", "%Lf");
    // Escapes stay as they stand, two characters each; a lone backslash is one character.
    EXPECT_FORMAT("a\\nb\\t\\\\", "a\\nb\\t\\\\");
    EXPECT_FORMAT("\\q", "\\q");
    EXPECT_FORMAT("\\7", "\\%d", 7);      // a backslash does not hide a conversion
    EXPECT_FORMAT("end\\", "end\\");
}

TEST(QnbPrintf, IntegerConversionsAndPlatformLengthModifiers)
{
    EXPECT_FORMAT("-42|42|52|2a|2A", "%d|%u|%o|%x|%X", -42, 42u, 42u, 42u, 42u);
    EXPECT_FORMAT("-9223372036854775808", "%I64d", static_cast<long long>(INT64_MIN));
    EXPECT_FORMAT("18446744073709551615", "%I64u", static_cast<unsigned long long>(UINT64_MAX));
    EXPECT_FORMAT("FFFFFFFFFFFFFFFF", "%I64X", static_cast<unsigned long long>(UINT64_MAX));
    EXPECT_FORMAT("123456789abc", "%llx", 0x123456789abcULL);
    EXPECT_FORMAT("9223372036854775807", "%ld", LONG_MAX);
    EXPECT_FORMAT("-2147483648|ffffffff", "%I32d|%I32x", INT32_MIN, 0xFFFFFFFFu);
    EXPECT_FORMAT("18446744073709551615|-1", "%Iu|%Id", SIZE_MAX, static_cast<ssize_t>(-1));
    EXPECT_FORMAT("18446744073709551615", "%zu", SIZE_MAX);
    EXPECT_FORMAT("-1|255", "%hd|%hhu", 0xFFFF, 0x1FF);
    // A 64-bit argument is consumed whole: the next conversion gets its own argument.
    EXPECT_FORMAT("4294967296 x 7", "%I64d %s %d", 4294967296LL, "x", 7);
    EXPECT_FORMAT("00042|+7|   -3|-3   |0x1f", "%05d|%+d|%5d|%-5d|%#x", 42, 7, -3, -3, 31u);
}

TEST(QnbPrintf, StarsFloatsCharsAndStrings)
{
    EXPECT_FORMAT("   42|abc   |", "%*d|%-*.*s|", 5, 42, 6, 3, "abcdef");
    EXPECT_FORMAT("42   ", "%*d", -5, 42); // a negative star width left-justifies
    EXPECT_FORMAT("3.14|1.500000e+00|0.25", "%.2f|%e|%g", 3.14159, 1.5, 0.25);
    EXPECT_FORMAT("3.1", "%.*lf", 1, 3.14159);
    EXPECT_FORMAT("A|    B", "%c|%5c", 'A', 'B');
    EXPECT_FORMAT("ab", "%.2s", "abcdef");
    EXPECT_FORMAT("narrow", "%hs", "narrow");
}

TEST(QnbPrintf, RefusedFormatsReturnMinusOneAndAnEmptyText)
{
    int target = 0;
    const char *refused[] = {
        "before %n after",                    // writing through an argument
        "%hhhhd",                             // more than three modifier characters
        "%I64ld",
        "%0000000000000000000000000000001d",  // 33-character conversion
        "%I6d",                               // modifiers that fit no conversion
        "%wd",
        "%I64f",
        "%lp",
        "%llc",
    };
    for (const char *format : refused) {
        formatted f = format_into(64, format, &target);
        EXPECT_EQ(f.count, -1) << format;
        EXPECT_EQ(f.text, "") << format;
    }
    EXPECT_EQ(target, 0);
    // The longest accepted conversion text is 31 characters.
    EXPECT_FORMAT("00007", "%00000000000000000000000000005d", 7);
    EXPECT_EQ(qnb_snprintf(nullptr, 0, nullptr), -1);
}

TEST(QnbPrintf, ConversionsLongerThanTheScratchBufferAreNeverCut)
{
    std::string digits(2999, '0');
    digits += '7';
    std::string big(4000, '\0');
    int n = qnb_snprintf(&big[0], big.size(), "<%.3000d>", 7);
    EXPECT_EQ(n, 3002);
    EXPECT_EQ(std::string(big.c_str()), "<" + digits + ">");

    // Into a small buffer: the start of the conversion, and the full count.
    formatted f = format_into(10, "%.3000d", 7);
    EXPECT_EQ(f.text, "000000000");
    EXPECT_EQ(f.count, 3000);

    n = qnb_snprintf(&big[0], 0, "%5000s", "x");
    EXPECT_EQ(n, 5000);
    std::string text(6000, 'a');
    std::string out(6001, '\0');
    EXPECT_EQ(qnb_snprintf(&out[0], out.size(), "%s", text.c_str()), 6000);
    EXPECT_EQ(std::string(out.c_str()), text);
}

TEST(QnbPrintf, WideFormsTakeUtf16AndPrintUtf8)
{
    EXPECT_FORMAT("Gr\xC3\xBC\xC3\x9F" "e", "%ws", u"Gr\u00FC\u00DFe");
    EXPECT_FORMAT("abc|abc|abc", "%ls|%S|%wS", u"abc", u"abc", u"abc");
    EXPECT_FORMAT("\xF0\x9F\x98\x80", "%ws", u"\U0001F600");           // a surrogate pair
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_FORMAT("a\xEF\xBF\xBD" "b", "%ws", lone);                   // an unpaired surrogate
    EXPECT_FORMAT("\xC3\xA9|x", "%wc|%lc", u'\u00E9', u'x');
    EXPECT_FORMAT("  ab|", "%4ws|", u"ab");
    // The precision bounds the units read: an unterminated field is safe to print.
    const char16_t field[2] = {u'o', u'k'};
    EXPECT_FORMAT("ok", "%.2ws", field);
    EXPECT_FORMAT("o", "%.*ws", 1, field);
    EXPECT_FORMAT("(null)", "%ws", static_cast<const char16_t *>(nullptr));
}

TEST(QnbPrintf, HeapFormMeasuresAllocatesAndFormats)
{
    char *text = nullptr;
    EXPECT_EQ(qnb_asprintf(&text, "%s-%I64u", "id", 18446744073709551615ULL), 23);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "id-18446744073709551615");
    std::free(text);

    std::string long_text(10000, 'z');
    EXPECT_EQ(qnb_asprintf(&text, "%s!", long_text.c_str()), 10001);
    EXPECT_EQ(std::string(text), long_text + "!");
    std::free(text);

    text = reinterpret_cast<char *>(1);
    EXPECT_EQ(qnb_asprintf(&text, "%n", nullptr), -1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(qnb_asprintf(nullptr, "x"), -1);
}

} // namespace
