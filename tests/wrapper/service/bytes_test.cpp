// Bounded reads of payload fields, UTF-16 interface names and the record layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_records.h"

namespace {

TEST(Bytes, FieldsBeyondTheBytesPresentReadAsAbsent)
{
    const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    uint8_t v8 = 0;
    EXPECT_TRUE(wfa_get_u16(data, 6, 4, &v16));
    EXPECT_FALSE(wfa_get_u16(data, 6, 5, &v16));
    EXPECT_FALSE(wfa_get_u16(data, 6, SIZE_MAX, &v16));
    EXPECT_TRUE(wfa_get_u32(data, 6, 2, &v32));
    EXPECT_FALSE(wfa_get_u32(data, 6, 3, &v32));
    EXPECT_FALSE(wfa_get_u8(data, 6, 6, &v8));
    EXPECT_FALSE(wfa_get_u8(nullptr, 6, 0, &v8));
    uint8_t out[4] = {};
    EXPECT_FALSE(wfa_put_u32(out, 4, 1, 7));
    EXPECT_TRUE(wfa_put_u32(out, 4, 0, 7));
}

TEST(Bytes, TextIsBoundedByItsFieldAndByTheBytesPresent)
{
    std::vector<uint8_t> data(40, 'x'); // no terminator anywhere
    EXPECT_EQ(wfa_get_text(data.data(), data.size(), 0, 32), std::string(32, 'x'));
    EXPECT_EQ(wfa_get_text(data.data(), 20, 0, 32), std::string(20, 'x'));
    EXPECT_EQ(wfa_get_text(data.data(), data.size(), 36, 32), std::string(4, 'x'));
    EXPECT_EQ(wfa_get_text(data.data(), data.size(), 40, 32), "");
    data[5] = 0;
    EXPECT_EQ(wfa_get_text(data.data(), data.size(), 0, 32), "xxxxx");

    char name[WFA_NAME_FIELD + 1];
    std::vector<uint8_t> full(32, 'y');
    wfa_copy_name(full.data(), 32, name);
    EXPECT_EQ(std::string(name), std::string(32, 'y'));

    uint8_t field[40];
    std::memset(field, 0xEE, sizeof field);
    EXPECT_TRUE(wfa_put_text(field, sizeof field, 4, 32, std::string(32, 'z')));
    EXPECT_EQ(field[3], 0xEE);
    EXPECT_EQ(field[35], 'z');
    EXPECT_EQ(field[36], 0xEE); // nothing written past the field
    EXPECT_TRUE(wfa_put_text(field, sizeof field, 4, 32, "ab"));
    EXPECT_EQ(field[6], 0);
    EXPECT_EQ(field[35], 0);
    EXPECT_FALSE(wfa_put_text(field, sizeof field, 10, 32, "ab"));
}

TEST(Bytes, InterfaceNamesEncodeAsUtf16WithinSixtyThreeUnits)
{
    struct row {
        std::wstring name;
        size_t units;
        std::wstring back;
    } rows[] = {
        {L"eth0", 4, L"eth0"},
        {L"\u30a4\u30fc\u30b5\u30cd\u30c3\u30c8", 6, L"\u30a4\u30fc\u30b5\u30cd\u30c3\u30c8"},
        {std::wstring(1, wchar_t(0x1F600)) + L"x", 3, std::wstring(1, wchar_t(0x1F600)) + L"x"},
        {std::wstring(100, L'a'), 63, std::wstring(63, L'a')},
        // a pair that would need units 62 and 63 is left out rather than split
        {std::wstring(62, L'b') + wchar_t(0x1F600), 62, std::wstring(62, L'b')},
        {std::wstring(L"a") + wchar_t(0xD800) + L"b", 3, L"a\uFFFDb"},
        {std::wstring(L"a") + wchar_t(0x110000), 2, L"a\uFFFD"},
        {std::wstring(L"ab\0cd", 5), 2, L"ab"},
    };
    for (const row &r : rows) {
        char16_t units[WFA_IF_NAME_UNITS];
        std::memset(units, 0xAB, sizeof units);
        EXPECT_EQ(wfa_utf16_from_wstring(r.name, units, WFA_IF_NAME_UNITS), r.units);
        EXPECT_EQ(units[r.units], 0);
        EXPECT_EQ(units[WFA_IF_NAME_UNITS - 1], 0);
        EXPECT_EQ(wfa_wstring_from_utf16(units, WFA_IF_NAME_UNITS), r.back);
    }
}

TEST(Bytes, Utf16DecodingIsBoundedAndReplacesLoneSurrogates)
{
    char16_t full[WFA_IF_NAME_UNITS];
    for (char16_t &u : full)
        u = u'q';
    EXPECT_EQ(wfa_wstring_from_utf16(full, WFA_IF_NAME_UNITS), std::wstring(64, L'q'));
    const char16_t lone[] = {u'a', 0xDC00, 0xD800, u'b', 0};
    EXPECT_EQ(wfa_wstring_from_utf16(lone, 5), L"a\uFFFD\uFFFDb");
    const char16_t high_last[] = {u'a', 0xD83D};
    EXPECT_EQ(wfa_wstring_from_utf16(high_last, 2), L"a\uFFFD");
}

TEST(Records, VersionTextAndDeviceInfoLayout)
{
    EXPECT_EQ(wfa_version_text({0, 0, 0, 0}), "N/A");
    EXPECT_EQ(wfa_version_text({4, 2, 1, 7}), "4.2.1.7");
    EXPECT_EQ(wfa_version_text({255, 255, 65535, 4294967295u}), "255.255.65535.4294967295");
    EXPECT_EQ(wfa_version_text({0, 0, 0, 1}), "0.0.0.1");

    wfa_device_info info{};
    std::strcpy(info.name, "T001-KTV4-S-aa");
    info.firmware_flags = 0x0001;
    std::memcpy(info.model_id, "KTV4SA01", 8);
    info.qnb_firm = {1, 2, 3, 4};
    std::memcpy(info.manf_id, "TORMEL01", 8);
    std::memset(info.model_name, 'm', sizeof info.model_name); // no terminator
    info.manf_soft = {9, 8, 7, 6};
    uint8_t out[WFA_DEVICE_INFO_SIZE];
    wfa_device_info_write(info, out);
    EXPECT_EQ(std::memcmp(out, "T001-KTV4-S-aa\0", 15), 0);
    EXPECT_EQ(out[32], 1);
    EXPECT_EQ(std::memcmp(out + 34, "KTV4SA01", 8), 0);
    EXPECT_EQ(out[42], 0);
    EXPECT_EQ(out[44], 1);
    EXPECT_EQ(out[45], 2);
    EXPECT_EQ(std::memcmp(out + 60, "TORMEL01", 8), 0);
    EXPECT_EQ(out[76 + 30], 'm');
    EXPECT_EQ(out[76 + 31], 0); // at most 31 characters
    EXPECT_EQ(out[116], 9);
    wfa_version v{};
    ASSERT_TRUE(wfa_get_version(out, sizeof out, 116, &v));
    EXPECT_EQ(wfa_version_text(v), "9.8.7.6");
    EXPECT_FALSE(wfa_get_version(out, sizeof out, 117, &v));
}

TEST(Records, InterfaceRecordAndListRoundTrip)
{
    wfa_interface_record record{};
    wfa_utf16_from_wstring(L"Ethernet 2", record.name, WFA_IF_NAME_UNITS);
    const uint8_t mac[6] = {0x02, 0x51, 0x5A, 0xAB, 0xCD, 0xEF};
    std::memcpy(record.mac, mac, 6);
    uint8_t bytes[WFA_INTERFACE_RECORD_SIZE];
    wfa_interface_record_write(record, bytes, sizeof bytes, 0);
    EXPECT_EQ(bytes[0], 'E');
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(std::memcmp(bytes + 128, mac, 6), 0);
    wfa_interface_record back{};
    ASSERT_TRUE(wfa_interface_record_read(bytes, sizeof bytes, 0, &back));
    EXPECT_EQ(wfa_wstring_from_utf16(back.name, WFA_IF_NAME_UNITS), L"Ethernet 2");
    EXPECT_FALSE(wfa_interface_record_read(bytes, sizeof bytes - 1, 0, &back));
    EXPECT_EQ(wfa_mac_text(mac), "02:51:5A:AB:CD:EF");

    wfa_interface_list list = {1, &record};
    uint8_t payload[WFA_IF_LIST_SIZE];
    wfa_interface_list_write(list, payload);
    wfa_interface_list read{};
    ASSERT_TRUE(wfa_interface_list_read(payload, sizeof payload, &read));
    EXPECT_EQ(read.count, 1);
    EXPECT_EQ(read.records, &record);
    EXPECT_FALSE(wfa_interface_list_read(payload, sizeof payload - 1, &read));
    // A count without records is an empty list.
    wfa_interface_list dangling = {3, nullptr};
    wfa_interface_list_write(dangling, payload);
    ASSERT_TRUE(wfa_interface_list_read(payload, sizeof payload, &read));
    EXPECT_EQ(read.count, 0);
}

} // namespace
