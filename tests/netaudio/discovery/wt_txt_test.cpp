#include "netaudio/discovery/wt_txt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/dnssd_fake.h"

namespace {

std::string txt(const std::vector<std::string> &entries)
{
    return dnssd_fake::txt(entries);
}

const void *bytes(const std::string &s)
{
    return s.data();
}

uint16_t length(const std::string &s)
{
    return static_cast<uint16_t>(s.size());
}

TEST(TxtIterator, WalksEntriesAndSplitsAtTheFirstEquals)
{
    std::string record = txt({"a=1", "flag", "b==x", "c="});
    wt_txt_iterator it;
    wt_txt_iterator_init(&it, bytes(record), length(record));
    wt_txt_entry e;
    size_t vlen = 99;

    ASSERT_EQ(wt_txt_next(&it, &e), 3);
    EXPECT_STREQ(e.text, "a");
    EXPECT_STREQ(wt_txt_value(&e, &vlen), "1");
    EXPECT_EQ(vlen, 1u);

    ASSERT_EQ(wt_txt_next(&it, &e), 4);
    EXPECT_STREQ(e.text, "flag");
    EXPECT_EQ(wt_txt_value(&e, &vlen), nullptr);
    EXPECT_EQ(vlen, 0u);

    ASSERT_EQ(wt_txt_next(&it, &e), 4);
    EXPECT_STREQ(e.text, "b");
    EXPECT_STREQ(wt_txt_value(&e, &vlen), "=x");

    ASSERT_EQ(wt_txt_next(&it, &e), 2);
    EXPECT_STREQ(wt_txt_value(&e, &vlen), "");
    EXPECT_EQ(vlen, 0u);

    EXPECT_EQ(wt_txt_next(&it, &e), 0);
    EXPECT_EQ(wt_txt_next(&it, &e), 0);
}

TEST(TxtIterator, StopsAtMalformedAndZeroLengthEntries)
{
    struct row {
        const char *what;
        std::string record;
        std::vector<int> results;
    } rows[] = {
        {"entry longer than the rest", std::string("\x03" "a=1" "\x09" "b=2", 8), {3, WT_TXT_MALFORMED}},
        {"zero length ends", std::string("\x03" "a=1" "\x00" "\x03" "b=2", 9), {3, 0}},
        {"empty record", std::string(), {0}},
        {"only a length byte", std::string("\x05", 1), {WT_TXT_MALFORMED}},
        {"maximal entry", std::string(1, '\xff') + std::string(255, 'k'), {255, 0}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        wt_txt_iterator it;
        wt_txt_iterator_init(&it, bytes(r.record), length(r.record));
        wt_txt_entry e;
        for (int expected : r.results) {
            EXPECT_EQ(wt_txt_next(&it, &e), expected);
        }
    }
}

TEST(TxtValues, VersionsNumbersAndIds)
{
    wt_version v{};
    struct version_row {
        const char *value;
        bool ok;
        uint8_t major, minor;
        uint16_t bugfix;
    } versions[] = {
        {"4.1", true, 4, 1, 0},         {"4.1.2", true, 4, 1, 2},         {"", true, 0, 0, 0},
        {nullptr, true, 0, 0, 0},       {"7", true, 7, 0, 0},             {"x.1", false, 0, 0, 0},
        {"260.257.70000", true, 4, 1, 4464}, {"1.2.3.4", true, 1, 2, 3},  {"99999999999", true, 255, 0, 0},
    };
    for (const version_row &r : versions) {
        SCOPED_TRACE(r.value != nullptr ? r.value : "(null)");
        v = {9, 9, 9};
        ASSERT_EQ(wt_txt_parse_version(r.value, &v), r.ok);
        if (r.ok) {
            EXPECT_EQ(v.major, r.major);
            EXPECT_EQ(v.minor, r.minor);
            EXPECT_EQ(v.bugfix, r.bugfix);
        }
    }
    EXPECT_FALSE(wt_txt_parse_via_version("", &v));
    EXPECT_FALSE(wt_txt_parse_via_version(nullptr, &v));
    EXPECT_TRUE(wt_txt_parse_via_version("2.0.1", &v));

    uint16_t u16 = 0;
    EXPECT_TRUE(wt_txt_parse_u16("65535", &u16));
    EXPECT_EQ(u16, 65535);
    EXPECT_FALSE(wt_txt_parse_u16("70000", &u16));
    EXPECT_FALSE(wt_txt_parse_u16("", &u16));
    EXPECT_FALSE(wt_txt_parse_u16("-1", &u16));
    EXPECT_FALSE(wt_txt_parse_u16("99999999999999999999", &u16));

    uint32_t u32 = 0;
    EXPECT_TRUE(wt_txt_parse_hex_u32("40", &u32));
    EXPECT_EQ(u32, 64u);
    EXPECT_TRUE(wt_txt_parse_hex_u32("0x1F", &u32));
    EXPECT_EQ(u32, 31u);
    EXPECT_FALSE(wt_txt_parse_hex_u32("", &u32));
    EXPECT_FALSE(wt_txt_parse_hex_u32("zz", &u32));

    uint8_t a[4] = {0};
    EXPECT_TRUE(wt_txt_parse_address("10.0.0.1.5", a));
    EXPECT_EQ(a[0], 10);
    EXPECT_EQ(a[3], 1);
    EXPECT_FALSE(wt_txt_parse_address("300.0.0.1", a));
    EXPECT_FALSE(wt_txt_parse_address("10.0.0", a));

    uint8_t id[8];
    const uint8_t abc[8] = {'a', 'b', 'c', 0, 0, 0, 0, 0};
    EXPECT_TRUE(wt_txt_parse_id_text("abc", id));
    EXPECT_EQ(std::memcmp(id, abc, 8), 0);
    const uint8_t hex[8] = {0x01, 0x02, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(wt_txt_parse_id_text("_0102", id));
    EXPECT_EQ(std::memcmp(id, hex, 8), 0);
    EXPECT_FALSE(wt_txt_parse_id_text("ninechars", id));
    EXPECT_FALSE(wt_txt_parse_id_text("_010", id));
    EXPECT_FALSE(wt_txt_parse_id_text("_", id));
    EXPECT_FALSE(wt_txt_parse_id_text("_010203040506070809", id));

    const uint8_t dev[8] = {0x02, 0x51, 0x5a, 0xff, 0xfe, 0x01, 0x02, 0x03};
    EXPECT_TRUE(wt_txt_parse_id_hex("  0x02515afffe010203", id));
    EXPECT_EQ(std::memcmp(id, dev, 8), 0);
    EXPECT_FALSE(wt_txt_parse_id_hex("02515afffe0102", id));
    EXPECT_TRUE(wt_txt_parse_id16("02515AFFFE010203", id));
    EXPECT_EQ(std::memcmp(id, dev, 8), 0);
    EXPECT_FALSE(wt_txt_parse_id16("02515afffe01020", id));
    EXPECT_FALSE(wt_txt_parse_id16("02515afffe0102030", id));
    EXPECT_FALSE(wt_txt_parse_id16("02515afffe01020g", id));
}

TEST(TxtMedia, ParsesEveryKeyAndFlagsOnlyWhatParsed)
{
    std::string long_info(300, 'i');
    std::string record = txt({"arcp_vers=4.1", "arcp_min", "router_vers=x", "router_info=" + long_info.substr(0, 240),
                              "mf=_0a0b", "model=toolongname", "unknown=1", "router_debug="});
    wt_txt_media_device m;
    ASSERT_EQ(parse_media_device_txt_record(&m, bytes(record), length(record)), QNB_ERR_SUCCESS);
    EXPECT_EQ(m.flags, static_cast<uint32_t>(WT_TXT_MEDIA_ARCP_VERS | WT_TXT_MEDIA_ARCP_MIN | WT_TXT_MEDIA_ROUTER_INFO |
                                             WT_TXT_MEDIA_MF | WT_TXT_MEDIA_ROUTER_DEBUG));
    EXPECT_EQ(m.arcp_vers.major, 4);
    EXPECT_EQ(m.arcp_vers.minor, 1);
    EXPECT_EQ(m.arcp_min.major, 0);
    EXPECT_EQ(std::strlen(m.router_info), 240u);
    EXPECT_EQ(m.mf[0], 0x0a);
    EXPECT_EQ(m.mf[1], 0x0b);
    EXPECT_STREQ(m.router_debug, "");

    EXPECT_EQ(parse_media_device_txt_record(nullptr, bytes(record), length(record)), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(parse_media_device_txt_record(&m, nullptr, 0), QNB_ERR_INVALIDPARAMETER);
}

TEST(TxtConmon, ParsesEveryKeyAndKeepsWhatCameBeforeAMalformedEntry)
{
    std::string record = txt({"cmcp_vers=3.2.1", "id=02515afffe010203", "process=70000", "vid=_01", "vba=10.1.2.3",
                              "mf=maker", "model=m1", "server_vers=1.0.5", "channels=40"});
    wt_txt_conmon_device c;
    ASSERT_EQ(parse_conmon_device_txt_record(&c, bytes(record), length(record)), QNB_ERR_SUCCESS);
    EXPECT_EQ(c.flags, static_cast<uint32_t>(WT_TXT_CONMON_CMCP_VERS | WT_TXT_CONMON_ID | WT_TXT_CONMON_VID |
                                             WT_TXT_CONMON_VBA | WT_TXT_CONMON_MF | WT_TXT_CONMON_MODEL |
                                             WT_TXT_CONMON_SERVER_VERS | WT_TXT_CONMON_CHANNELS));
    EXPECT_EQ(c.process, 0) << "70000 does not fit";
    EXPECT_EQ(c.channels, 64u);
    EXPECT_EQ(c.vba[3], 3);
    EXPECT_EQ(c.server_vers.bugfix, 5);
    EXPECT_EQ(c.id[7], 0x03);

    std::string broken = txt({"process=12"}) + std::string("\x20" "id=00", 6);
    ASSERT_EQ(parse_conmon_device_txt_record(&c, bytes(broken), length(broken)), QNB_ERR_SUCCESS);
    EXPECT_EQ(c.flags, static_cast<uint32_t>(WT_TXT_CONMON_PROCESS));
    EXPECT_EQ(c.process, 12);
}

// Every reader of a TXT record follows one rule: keys without regard to case, the first entry of
// a key wins, and the walk ends where the iterator ends it.
TEST(TxtKeys, EveryReaderFollowsOneRule)
{
    std::string record = txt({"ARCP_VERS=4.1", "arcp_vers=9.9", "Process=7", "process=9", "Mf=_0a"});
    wt_txt_media_device m;
    ASSERT_EQ(parse_media_device_txt_record(&m, bytes(record), length(record)), QNB_ERR_SUCCESS);
    EXPECT_EQ(m.arcp_vers.major, 4);
    EXPECT_EQ(m.mf[0], 0x0a);
    wt_txt_conmon_device c;
    ASSERT_EQ(parse_conmon_device_txt_record(&c, bytes(record), length(record)), QNB_ERR_SUCCESS);
    EXPECT_EQ(c.process, 7);
    EXPECT_TRUE(c.flags & WT_TXT_CONMON_PROCESS);

    const uint8_t *value = nullptr;
    uint8_t n = 0;
    ASSERT_TRUE(wt_txt_find(bytes(record), length(record), "process", &value, &n));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(value), n), "7");
    // A failed first entry is not replaced by a later one.
    std::string bad_first = txt({"process=x", "process=9"});
    ASSERT_EQ(parse_conmon_device_txt_record(&c, bytes(bad_first), length(bad_first)), QNB_ERR_SUCCESS);
    EXPECT_EQ(c.flags & WT_TXT_CONMON_PROCESS, 0u);

    // A zero-length entry ends every walk.
    std::string cut = txt({"a=1"}) + std::string(1, '\0') + txt({"process=3"});
    EXPECT_FALSE(wt_txt_find(bytes(cut), length(cut), "process", &value, &n));
    ASSERT_EQ(parse_conmon_device_txt_record(&c, bytes(cut), length(cut)), QNB_ERR_SUCCESS);
    EXPECT_EQ(c.flags, 0u);

    // Keys compare on all their bytes.
    std::string inner_zero = std::string("\x05" "a\0b=1", 6);
    EXPECT_FALSE(wt_txt_find(bytes(inner_zero), length(inner_zero), "a", &value, &n));
    EXPECT_FALSE(wt_txt_find(bytes(record), length(record), "", &value, &n));
    EXPECT_FALSE(wt_txt_find(nullptr, 4, "a", &value, &n));
}

TEST(TxtVia, RequiresEveryKeyAndDecodesSixteenHexDigits)
{
    const std::string good_id = "id=0011223344556677";
    struct row {
        const char *what;
        std::vector<std::string> entries;
        qnb_error result;
    } rows[] = {
        {"complete", {good_id, "process=7", "vers_min=1.2.3", "vers_curr=2.0"}, QNB_ERR_SUCCESS},
        {"keys in any case", {"ID=0011223344556677", "Process=7", "VERS_MIN=1", "vers_CURR=2"}, QNB_ERR_SUCCESS},
        {"id missing", {"process=7", "vers_min=1", "vers_curr=2"}, QNB_ERR_INVALIDDATA},
        {"id without value", {"id", "process=7", "vers_min=1", "vers_curr=2"}, QNB_ERR_INVALIDDATA},
        {"id of 8 characters", {"id=00112233", "process=7", "vers_min=1", "vers_curr=2"}, QNB_ERR_INVALIDDATA},
        {"id too long", {"id=00112233445566778", "process=7", "vers_min=1", "vers_curr=2"}, QNB_ERR_INVALIDDATA},
        {"process missing", {good_id, "vers_min=1", "vers_curr=2"}, QNB_ERR_INVALIDDATA},
        {"process not a number", {good_id, "process=abc", "vers_min=1", "vers_curr=2"}, QNB_ERR_INVALIDDATA},
        {"vers_min empty", {good_id, "process=7", "vers_min=", "vers_curr=2"}, QNB_ERR_INVALIDDATA},
        {"vers_min bad", {good_id, "process=7", "vers_min=x", "vers_curr=2"}, QNB_ERR_INVALIDDATA},
        {"vers_curr missing", {good_id, "process=7", "vers_min=1"}, QNB_ERR_INVALIDDATA},
        {"vers_curr bad", {good_id, "process=7", "vers_min=1", "vers_curr=."}, QNB_ERR_INVALIDDATA},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::string record = txt(r.entries);
        wt_device_id id{};
        wt_version minimum{}, current{};
        EXPECT_EQ(parse_via_txt_record(nullptr, "via-1", length(record), bytes(record), &id, &minimum, &current),
                  r.result);
        if (r.result == QNB_ERR_SUCCESS) {
            EXPECT_EQ(id.id[0], 0x00);
            EXPECT_EQ(id.id[7], 0x77);
            EXPECT_EQ(id.process, 7);
            EXPECT_EQ(minimum.major, 1);
            EXPECT_EQ(current.major, 2);
        }
    }
}

} // namespace
