#include "netaudio/platform/qnb_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <unistd.h>

namespace {

const std::string k31(31, 'a');
const std::string k32 = k31 + "b";
const std::string k33 = k32 + "c";
const char k_unchanged[] = "previous";

// A destination of `size` bytes followed by guard bytes, pre-filled with "previous".
struct field {
    explicit field(size_t size) : bytes(size + 8, '#'), size(size) { std::memcpy(&bytes[0], k_unchanged, sizeof k_unchanged); }
    char *data() { return &bytes[0]; }
    std::string text() const { return std::string(bytes.c_str()); }
    bool guard_intact() const { return bytes.substr(size) == std::string(8, '#'); }
    std::string bytes;
    size_t size;
};

TEST(QnbName, CheckedCopyAppliesTheDeviceNameRule)
{
    struct {
        const char *src;
        qnb_error result;
        std::string expected;
    } cases[] = {
        {k31.c_str(), 0, k31},
        {k32.c_str(), 0, k32},
        {k33.c_str(), QNB_ERR_TRUNCATED, k32},
        {"dev.local", QNB_ERR_INVALIDDATA, ""},
        {"a=b", QNB_ERR_INVALIDDATA, ""},
        {"chan@dev", QNB_ERR_INVALIDDATA, ""},
        {".", QNB_ERR_INVALIDDATA, ""},
        {"T001-KTV4-S-0a1b", 0, "T001-KTV4-S-0a1b"},
        {"", 0, ""},
        {nullptr, 0, ""},
    };
    for (const auto &c : cases) {
        field dst(QNB_NAME_SIZE);
        EXPECT_EQ(qnb_name_copy_checked(dst.data(), c.src), c.result) << (c.src ? c.src : "(null)");
        EXPECT_EQ(dst.text(), c.expected) << (c.src ? c.src : "(null)");
        EXPECT_TRUE(dst.guard_intact());
    }
    // A reserved character beyond the 32nd still makes the name invalid.
    std::string late = k33 + "@x";
    field dst(QNB_NAME_SIZE);
    EXPECT_EQ(qnb_name_copy_checked(dst.data(), late.c_str()), QNB_ERR_INVALIDDATA);
    EXPECT_EQ(dst.text(), "");
    EXPECT_EQ(qnb_name_copy_checked(nullptr, "x"), QNB_ERR_INVALIDPARAMETER);
}

TEST(QnbName, Copy40IsBoundedAndReportsLongNames)
{
    const std::string k39(39, 'n'), k40(40, 'n');
    struct {
        const char *src;
        qnb_error result;
        std::string expected;
    } cases[] = {
        {k39.c_str(), 0, k39},
        {k40.c_str(), QNB_ERR_TRUNCATED, k39},
        {"a.b@c", 0, "a.b@c"},
        {"", 0, ""},
        {nullptr, 0, ""},
    };
    for (const auto &c : cases) {
        field dst(QNB_NAME40_SIZE);
        EXPECT_EQ(qnb_name_copy40(dst.data(), c.src), c.result);
        EXPECT_EQ(dst.text(), c.expected);
        EXPECT_TRUE(dst.guard_intact());
    }
}

TEST(QnbName, FlaggedCopyLimitsCharactersAndTermination)
{
    const std::string k39(39, 'x'), k40(40, 'x'), k41(41, 'x');
    const std::string unchanged = k_unchanged;
    struct {
        const std::string *src;
        const char *literal;
        unsigned flags;
        qnb_error result;
        std::string expected;
    } cases[] = {
        {&k31, nullptr, 0, 0, k31},
        {&k32, nullptr, 0, QNB_ERR_TRUNCATED, unchanged}, // the limit itself is too long here
        {&k32, nullptr, QNB_NAME_FLAG_TRUNCATE, QNB_ERR_TRUNCATED, k32},
        {&k33, nullptr, QNB_NAME_FLAG_TRUNCATE, QNB_ERR_TRUNCATED, k32},
        {&k32, nullptr, QNB_NAME_FLAG_EMPTY_ON_ERROR, QNB_ERR_TRUNCATED, ""},
        {&k33, nullptr, QNB_NAME_FLAG_EMPTY_ON_ERROR | QNB_NAME_FLAG_TRUNCATE, QNB_ERR_TRUNCATED, k32},
        {nullptr, "a.b", 0, QNB_ERR_INVALIDDATA, unchanged},
        {nullptr, "a=b", QNB_NAME_FLAG_EMPTY_ON_ERROR, QNB_ERR_INVALIDDATA, ""},
        {nullptr, "a@b", QNB_NAME_FLAG_ANY_CHARS, 0, "a@b"},
        {nullptr, "a.b", QNB_NAME_FLAG_LONG, 0, "a.b"},
        {&k39, nullptr, QNB_NAME_FLAG_LONG, 0, k39},
        {&k40, nullptr, QNB_NAME_FLAG_LONG, QNB_ERR_TRUNCATED, unchanged},
        {&k41, nullptr, QNB_NAME_FLAG_LONG | QNB_NAME_FLAG_TRUNCATE, QNB_ERR_TRUNCATED, k40},
        {nullptr, "", QNB_NAME_FLAG_EMPTY_ON_ERROR, 0, ""},
    };
    for (const auto &c : cases) {
        const char *src = c.src ? c.src->c_str() : c.literal;
        field dst((c.flags & QNB_NAME_FLAG_LONG) ? QNB_NAME_LONG_SIZE : QNB_NAME_SIZE);
        EXPECT_EQ(qnb_name_copy_flags(dst.data(), src, c.flags), c.result) << src << " flags " << c.flags;
        EXPECT_EQ(dst.text(), c.expected) << src << " flags " << c.flags;
        EXPECT_TRUE(dst.guard_intact()) << src << " flags " << c.flags;
    }
    field dst(QNB_NAME_SIZE);
    EXPECT_EQ(qnb_name_copy_flags(dst.data(), nullptr, 0), 0);
    EXPECT_EQ(dst.text(), "");
    EXPECT_EQ(qnb_name_copy_flags(nullptr, "x", 0), QNB_ERR_INVALIDPARAMETER);
}

TEST(QnbName, DnsLabelRule)
{
    struct {
        const char *text;
        bool valid;
    } cases[] = {
        {"a", true},     {"9", true},        {"rqa-310", true}, {"A1-b2-C3", true},
        {"-ab", false},  {"ab-", false},     {"-", false},      {"", false},
        {nullptr, false}, {"a_b", false},    {"a.b", false},    {"a b", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qnb_dns_label_is_valid(c.text), c.valid) << (c.text ? c.text : "(null)");
    EXPECT_TRUE(qnb_dns_label_is_valid(k31.c_str()));
    EXPECT_FALSE(qnb_dns_label_is_valid(k32.c_str()));
}

TEST(QnbName, EqualIgnoringCaseAndProcessId)
{
    const char *same = "Dev";
    EXPECT_TRUE(qnb_str_equal_nocase(same, same));
    EXPECT_TRUE(qnb_str_equal_nocase(nullptr, nullptr));
    EXPECT_TRUE(qnb_str_equal_nocase("KTV4-S", "ktv4-s"));
    EXPECT_FALSE(qnb_str_equal_nocase("KTV4-S", "ktv4-"));
    EXPECT_FALSE(qnb_str_equal_nocase(nullptr, "a"));
    EXPECT_FALSE(qnb_str_equal_nocase("a", nullptr));

    uint32_t pid = 0;
    EXPECT_EQ(qnb_process_id(&pid), 0);
    EXPECT_EQ(pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(qnb_process_id(nullptr), QNB_ERR_INVALIDPARAMETER);
}

} // namespace
