// Vendor bodies of control-and-monitoring messages: builders against hand-computed bytes, parsers
// on well-formed, short, truncated and hostile bodies (each body in a buffer of exactly its length,
// so a read past it is caught by AddressSanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/messaging/wgcp_buffer.h"

namespace {

typedef std::vector<uint8_t> bytes;

// "07 26 00 61 ..." -> bytes, padded with zeros to `size`.
bytes hex(const char *text, size_t size)
{
    bytes out;
    for (const char *p = text; *p;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    out.resize(size, 0);
    return out;
}

bytes sent(const conmon_vendor_body &b, size_t size)
{
    return bytes(b.data, b.data + size);
}

// A body in a heap block of exactly its length.
struct exact {
    std::unique_ptr<uint8_t[]> data;
    size_t length;
    exact(const uint8_t *src, size_t n) : data(new uint8_t[n ? n : 1]), length(n)
    {
        if (n)
            memcpy(data.get(), src, n);
    }
};

TEST(ConmonMsgBuilders, BytesAsSent)
{
    const uint32_t P = 1000000; // 0x000F4240
    conmon_vendor_body b;
    struct row {
        const char *what;
        std::function<qnb_error()> build;
        size_t size;
        const char *expected;
        qnb_error result;
    } rows[] = {
        {"versions query", [&] { return conmon_msg_init(&b, CONMON_MSG_VERSIONS_QUERY, P); }, CONMON_MSG_GENERIC_SIZE,
         "0726 0061 000F4240", 0},
        {"preferred master on",
         [&] {
             conmon_msg_init_clocking_control(&b, P);
             return conmon_msg_clocking_control_set_preferred_master(&b, 1);
         },
         CONMON_MSG_CLOCKING_CONTROL_SIZE, "0726 0021 000F4240 0002 0000 01", 0},
        {"preferred master off",
         [&] {
             conmon_msg_init_clocking_control(&b, P);
             return conmon_msg_clocking_control_set_preferred_master(&b, 0);
         },
         CONMON_MSG_CLOCKING_CONTROL_SIZE, "0726 0021 000F4240 0002 0000 00", 0},
        {"preferred master 2 is refused",
         [&] {
             conmon_msg_init_clocking_control(&b, P);
             return conmon_msg_clocking_control_set_preferred_master(&b, 2);
         },
         CONMON_MSG_CLOCKING_CONTROL_SIZE, "0726 0021 000F4240", QNB_ERR_INVALIDPARAMETER},
        {"rate 48000",
         [&] {
             conmon_msg_init_srate_control(&b, P);
             return conmon_msg_srate_control_set_rate(&b, 48000);
         },
         CONMON_MSG_SRATE_CONTROL_SIZE, "0726 0081 000F4240 00000001 0000BB80", 0},
        {"rate 0 changes nothing",
         [&] {
             conmon_msg_init_srate_control(&b, P);
             return conmon_msg_srate_control_set_rate(&b, 0);
         },
         CONMON_MSG_SRATE_CONTROL_SIZE, "0726 0081 000F4240", 0},
        {"reboot mode 1",
         [&] {
             conmon_msg_init_sys_reset(&b, P);
             return conmon_msg_sys_reset_set_mode(&b, 1);
         },
         CONMON_MSG_SYS_RESET_SIZE, "0726 0090 000F4240 0001 0001", 0},
        {"AES67 query", [&] { return conmon_msg_init_aes67_query(&b, P); }, CONMON_MSG_AES67_QUERY_SIZE,
         "0726 1006 000F4240 00000000", 0},
        {"upgrade control",
         [&] { return conmon_msg_init_upgrade_control(&b, P, 0x01020304, 0x0506, "fw.bin"); },
         CONMON_MSG_UPGRADE_CONTROL_SIZE, "0726 0071 000F4240 01020304 0506 0000 66772E62696E00", 0},
        {"second upgrade form with options and source",
         [&] {
             conmon_msg_extension ext;
             conmon_msg_init_upgrade_0x75(&b, P, &ext);
             const uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, c[8] = {9, 9, 9, 9, 9, 9, 9, 9};
             conmon_msg_upgrade_set_options(&b, a, c);
             conmon_upgrade_source s{};
             s.flags = CONMON_UPGRADE_SOURCE_ADDRESS | CONMON_UPGRADE_SOURCE_TEXT;
             s.kind = 2;
             const uint8_t ip[4] = {10, 0, 0, 7};
             memcpy(s.address, ip, 4);
             strcpy(s.text, "x");
             qnb_error err = conmon_msg_upgrade_set_source(&b, &ext, &s);
             EXPECT_EQ(74u, conmon_msg_upgrade_0x75_size(&ext));
             return err;
         },
         74,
         "0726 0075 000F4240 0000000E 00000003 00000003 00000000 0102030405060708 0909090909090909 0030 0000 00000000"
         " 0000001A 00000000 0002 0000 0A000007 0000 0048 00000000 7800",
         0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        memset(b.data, 0xEE, sizeof b.data);
        EXPECT_EQ(r.result, r.build());
        EXPECT_EQ(hex(r.expected, r.size), sent(b, r.size));
    }
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER,
              conmon_msg_init_upgrade_control(&b, P, 0, 0, std::string(64, 'p').c_str())); // never cut
}

TEST(ConmonMsgBuilders, InterfaceControlSizeAndExtensionLimits)
{
    conmon_vendor_body b;
    conmon_msg_init_interface_control(&b, 0);
    EXPECT_EQ(16u, conmon_msg_interface_control_size(&b));
    // Two 28-byte records from 16; the first names a text "ab" at 80.
    b.data[8] = 2;
    b.data[9] = 28;
    b.data[11] = 16;
    wgcp_store_be16(b.data + 16 + 24, 80);
    memcpy(b.data + 80, "ab", 3);
    EXPECT_EQ(16u + 56u + 3u, conmon_msg_interface_control_size(&b));
    memset(b.data + 80, 'a', CONMON_BODY_MAX - 80); // unterminated
    EXPECT_EQ(0u, conmon_msg_interface_control_size(&b));
    b.data[8] = 255;
    b.data[9] = 255; // the table runs past the body
    EXPECT_EQ(0u, conmon_msg_interface_control_size(&b));

    // A source that does not fit leaves body and area as they were.
    conmon_msg_extension ext;
    conmon_msg_init_upgrade_0x75(&b, 0, &ext);
    ext.capacity = 48 + 24 + 3;
    conmon_upgrade_source s{};
    s.flags = CONMON_UPGRADE_SOURCE_TEXT;
    strcpy(s.text, "abc");
    EXPECT_EQ(QNB_ERR_NOMEMORY, conmon_msg_upgrade_set_source(&b, &ext, &s));
    EXPECT_EQ(48u, ext.used);
    EXPECT_EQ(0u, wgcp_load_be32(b.data + 8));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, conmon_msg_upgrade_set_source(&b, &ext, nullptr));
}

// A VERSIONS_STATUS of body version `version`.
bytes versions_status(uint16_t version)
{
    bytes v(60, 0);
    wgcp_store_be16(&v[0], version);
    wgcp_store_be16(&v[2], CONMON_MSG_VERSIONS_STATUS);
    wgcp_store_be32(&v[8], 0x04020001);
    wgcp_store_be32(&v[12], 0x05030002);
    memcpy(&v[20], "QNBKTV4S", 8);
    wgcp_store_be32(&v[28], 0x1000);
    wgcp_store_be32(&v[36], 0x36);
    wgcp_store_be32(&v[40], 40);
    wgcp_store_be32(&v[44], 44);
    wgcp_store_be16(&v[58], 0x58);
    return v;
}

TEST(ConmonMsgParsers, VersionsFollowTheBodyVersion)
{
    struct row {
        uint16_t version;
        uint32_t build_b, build_a, u32_b;
        uint16_t u16;
    } rows[] = {
        {0x0700, 0, 0, 0, 0}, {0x0701, 40, 44, 0, 0}, {0x0704, 40, 44, 0x36, 0}, {0x0709, 40, 44, 0x36, 0x58}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.version);
        bytes v = versions_status(r.version);
        conmon_version fw, sw;
        uint32_t caps, u32_b;
        uint16_t u16;
        ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_versions_get_version_b(v.data(), v.size(), &fw));
        ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_versions_get_version_a(v.data(), v.size(), &sw));
        EXPECT_EQ(4, fw.major);
        EXPECT_EQ(2, fw.minor);
        EXPECT_EQ(1, fw.bugfix);
        EXPECT_EQ(r.build_b, fw.build);
        EXPECT_EQ(5, sw.major);
        EXPECT_EQ(r.build_a, sw.build);
        EXPECT_EQ(QNB_ERR_SUCCESS, conmon_msg_versions_get_u32(v.data(), v.size(), &caps));
        EXPECT_EQ(0x1000u, caps);
        EXPECT_EQ(QNB_ERR_SUCCESS, conmon_msg_versions_get_u32_b(v.data(), v.size(), &u32_b));
        EXPECT_EQ(r.u32_b, u32_b);
        EXPECT_EQ(QNB_ERR_SUCCESS, conmon_msg_versions_get_u16(v.data(), v.size(), &u16));
        EXPECT_EQ(r.u16, u16);
    }
    // Cut before the build number: the version stays, the build is absent.
    bytes v = versions_status(0x0726);
    exact cut(v.data(), 42);
    conmon_version fw;
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_versions_get_version_b(cut.data.get(), cut.length, &fw));
    EXPECT_EQ(4, fw.major);
    EXPECT_EQ(0u, fw.build);
    uint16_t u16 = 7;
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_versions_get_u16(cut.data.get(), cut.length, &u16));
    EXPECT_EQ(0, u16);
}

TEST(ConmonMsgParsers, ManufacturerTextsAreBounded)
{
    bytes m(312, 0);
    wgcp_store_be16(&m[0], 0x0726);
    memcpy(&m[52], "Tormel", 7);
    memset(&m[180], 'K', 128); // fills its whole field without terminator
    char buf[32];
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_manf_versions_get_block_a(m.data(), m.size(), buf, sizeof buf));
    EXPECT_STREQ("Tormel", buf);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_manf_versions_get_block_b(m.data(), m.size(), buf, sizeof buf));
    EXPECT_EQ(std::string(31, 'K'), buf);
    exact cut(m.data(), 200); // the second text runs past the body
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_manf_versions_get_block_b(cut.data.get(), cut.length, buf, sizeof buf));
    EXPECT_STREQ("", buf);
    wgcp_store_be16(&m[0], 0x0700); // no texts in this version
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_manf_versions_get_block_a(m.data(), m.size(), buf, sizeof buf));
    EXPECT_STREQ("", buf);
}

// An INTERFACE_STATUS with two interfaces, its trailer and the second table at 80.
bytes interface_status()
{
    bytes s(120, 0);
    wgcp_store_be16(&s[0], 0x0726);
    wgcp_store_be16(&s[2], CONMON_MSG_INTERFACE_STATUS);
    wgcp_store_be16(&s[8], 2);
    for (int i = 0; i < 2; ++i) {
        uint8_t *r = &s[12 + 28 * i];
        wgcp_store_be16(r + 4, 1000);
        r[6 + 5] = static_cast<uint8_t>(i + 1);
        r[12] = 169;
        r[15] = static_cast<uint8_t>(i + 1);
    }
    wgcp_store_be16(&s[68], 20);   // entry size
    wgcp_store_be16(&s[70], 80);   // second table
    wgcp_store_be16(&s[72], 1);    // redundant pair
    wgcp_store_be16(&s[80], 0x05); // flags: bit 0x4 is read on its own
    s[80 + 12] = 10;
    wgcp_store_be16(&s[100], 0x01);
    s[100 + 16] = 11;
    return s;
}

TEST(ConmonMsgParsers, InterfaceStatusRecordsTrailerAndSecondTable)
{
    bytes s = interface_status();
    conmon_interface_info info;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_interface_status_get_interface(s.data(), s.size(), 1, &info));
    EXPECT_EQ(1000, info.link_speed);
    EXPECT_EQ(2, info.mac[5]);
    const uint8_t *a = reinterpret_cast<const uint8_t *>(&info.address);
    EXPECT_EQ(169, a[0]);
    EXPECT_EQ(2, a[3]);
    EXPECT_EQ(QNB_ERR_NOTFOUND, conmon_msg_interface_status_get_interface(s.data(), s.size(), 2, &info));
    conmon_interface_trailer t;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_interface_status_get_trailer(s.data(), s.size(), &t));
    EXPECT_EQ(20, t.entry_size);
    EXPECT_EQ(80, t.table_offset);
    EXPECT_EQ(1, t.value);
    uint16_t flags;
    bool flag2;
    uint32_t addr;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_list_get_flags(s.data(), s.size(), 0, &flags));
    EXPECT_EQ(0x01, flags);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_list_get_flag2(s.data(), s.size(), 0, &flag2));
    EXPECT_TRUE(flag2);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_list_get_a(s.data(), s.size(), 0, &addr));
    EXPECT_EQ(10, reinterpret_cast<uint8_t *>(&addr)[0]);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_list_get_b(s.data(), s.size(), 1, &addr));
    EXPECT_EQ(11, reinterpret_cast<uint8_t *>(&addr)[0]);
    EXPECT_EQ(QNB_ERR_NOTFOUND, conmon_msg_list_get_c(s.data(), s.size(), 2, &addr));
    // The second entry cut short; a version before 0x0600 has no flag 0x4; no table at all.
    exact cut(s.data(), 110);
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_list_get_b(cut.data.get(), cut.length, 1, &addr));
    wgcp_store_be16(&s[0], 0x0500);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_list_get_flag2(s.data(), s.size(), 0, &flag2));
    EXPECT_FALSE(flag2);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_interface_status_get_trailer(s.data(), s.size(), &t));
    EXPECT_EQ(0, t.value);
    wgcp_store_be16(&s[70], 0);
    EXPECT_EQ(QNB_ERR_NOTFOUND, conmon_msg_list_get_flags(s.data(), s.size(), 0, &flags));
    // A hostile count is clamped to the records present.
    wgcp_store_be16(&s[8], 0xFFFF);
    uint16_t count;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_interface_status_get_count(s.data(), s.size(), &count));
    EXPECT_EQ((120u - 12u) / 28u, count);
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_interface_status_get_interface(s.data(), s.size(), 4, &info));
}

TEST(ConmonMsgParsers, RatesClockingUpgradeAndFlags)
{
    bytes r(28, 0);
    wgcp_store_be16(&r[0], 0x0726);
    wgcp_store_be16(&r[8], 16);
    wgcp_store_be16(&r[10], 5); // five announced, three present
    wgcp_store_be32(&r[12], 48000);
    wgcp_store_be32(&r[16], 44100);
    wgcp_store_be32(&r[20], 48000);
    wgcp_store_be32(&r[24], 96000);
    uint16_t n;
    uint32_t rate;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_srate_status_num_rates(r.data(), r.size(), &n));
    EXPECT_EQ(3, n);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_srate_status_get_rate(r.data(), r.size(), 2, &rate));
    EXPECT_EQ(96000u, rate);
    EXPECT_EQ(QNB_ERR_NOTFOUND, conmon_msg_srate_status_get_rate(r.data(), r.size(), 3, &rate));
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_srate_status_get_current(r.data(), r.size(), &rate));
    EXPECT_EQ(48000u, rate);
    wgcp_store_be16(&r[8], 18); // not a multiple of 4
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_srate_status_num_rates(r.data(), r.size(), &n));
    EXPECT_EQ(0, n);

    bytes c(16, 0);
    c[14] = 7;
    uint8_t pm;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_clocking_status_get_preferred_master(c.data(), c.size(), &pm));
    EXPECT_EQ(1, pm);
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_clocking_status_get_preferred_master(c.data(), 14, &pm));

    // UPGRADE_STATUS: the 0x40 block announced in a 40-byte body.
    bytes u(48, 0);
    wgcp_store_be16(&u[0], 0x0726);
    wgcp_store_be16(&u[8], 3);
    wgcp_store_be16(&u[10], 0x101);
    wgcp_store_be32(&u[12], 0x46);
    wgcp_store_be32(&u[16], 50);
    wgcp_store_be32(&u[20], 200);
    conmon_upgrade_progress p;
    exact forty(u.data(), 40);
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_upgrade_status_get_progress(forty.data.get(), forty.length, &p));
    EXPECT_EQ(50u, p.done);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_upgrade_status_get_progress(u.data(), u.size(), &p));
    EXPECT_EQ(3, p.state);
    EXPECT_EQ(0x101, p.result);
    EXPECT_EQ(200u, p.total);
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_upgrade_status_get_progress(u.data(), 12, &p));
    wgcp_store_be16(&u[0], 0x0708);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_upgrade_status_get_progress(u.data(), 10, &p));
    EXPECT_EQ(3, p.state);
    EXPECT_EQ(0u, p.flags);

    // Byte lists and the flag word.
    bytes l = hex("0726 0102 00000000 0003 AABBCC", 15);
    uint8_t byte;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_get_byte(l.data(), l.size(), 2, &byte));
    EXPECT_EQ(0xCC, byte);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_get_byte(l.data(), l.size(), 3, &byte));
    EXPECT_EQ(0, byte);
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_get_byte(l.data(), 11, 1, &byte));
    bool f0, f1;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_get_flag0(l.data(), l.size(), &f0));
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_get_flag1(l.data(), l.size(), &f1));
    EXPECT_TRUE(f0);
    EXPECT_TRUE(f1);
}

TEST(ConmonMsgParsers, UpgradeSourceRecordByOffset)
{
    // Built with the second upgrade form's source record, read back as an UPGRADE_STATUS detail.
    conmon_vendor_body b;
    conmon_msg_init(&b, CONMON_MSG_UPGRADE_STATUS, 0);
    wgcp_store_be32(b.data + 12, CONMON_UPGRADE_HAS_SOURCE);
    wgcp_store_be16(b.data + 24, 48);
    uint8_t *r = b.data + 48;
    wgcp_store_be32(r, CONMON_UPGRADE_SOURCE_KIND | CONMON_UPGRADE_SOURCE_TEXT | CONMON_UPGRADE_SOURCE_VALUE);
    wgcp_store_be16(r + 8, 2);
    wgcp_store_be16(r + 18, 72);
    wgcp_store_be32(r + 20, 77);
    memcpy(b.data + 72, "fw.bin", 7);
    conmon_upgrade_source s;
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_upgrade_status_get_status(b.data, 79, &s));
    EXPECT_EQ(2, s.kind);
    EXPECT_EQ(77u, s.value);
    EXPECT_STREQ("fw.bin", s.text);
    struct row {
        const char *what;
        std::function<void(uint8_t *)> spoil;
        size_t length;
        qnb_error expected;
    } rows[] = {
        {"text without terminator in the body", [](uint8_t *) {}, 78, QNB_ERR_TRUNCATED},
        {"record past the end", [](uint8_t *) {}, 60, QNB_ERR_TRUNCATED},
        {"misaligned record", [](uint8_t *d) { wgcp_store_be16(d + 24, 46); }, 79, QNB_ERR_INVALIDDATA},
        {"no record offset", [](uint8_t *d) { wgcp_store_be16(d + 24, 0); }, 79, QNB_ERR_NOTFOUND},
        {"no source flag", [](uint8_t *d) { wgcp_store_be32(d + 12, 0); }, 79, QNB_ERR_NOTFOUND},
        {"old body version", [](uint8_t *d) { wgcp_store_be16(d, 0x0708); }, 79, QNB_ERR_VERSION},
        {"text offset past the end", [](uint8_t *d) { wgcp_store_be16(d + 48 + 18, 200); }, 79, QNB_ERR_TRUNCATED},
    };
    for (const row &t : rows) {
        SCOPED_TRACE(t.what);
        bytes copy(b.data, b.data + t.length);
        t.spoil(copy.data());
        exact body(copy.data(), copy.size());
        EXPECT_EQ(t.expected, conmon_msg_upgrade_status_get_status(body.data.get(), body.length, &s));
    }
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, conmon_msg_upgrade_status_get_status(nullptr, 0, &s));
}

TEST(ConmonMsgParsers, ChannelMessageHead)
{
    bytes m(30, 0);
    wgcp_store_be16(&m[2], 30);
    wgcp_store_be16(&m[4], 0x1234);
    wgcp_store_be16(&m[6], 9);
    m[8 + 7] = 0x42;
    memcpy(&m[16], conmon_vendor_id_standard, 8);
    uint16_t len, seq;
    conmon_source_id src;
    uint8_t vendor[8];
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_body_length(m.data(), m.size(), &len));
    EXPECT_EQ(6, len);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_get_seqnum(m.data(), m.size(), &seq));
    EXPECT_EQ(0x1234, seq);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_get_source_id(m.data(), m.size(), &src));
    EXPECT_EQ(9, src.process);
    EXPECT_EQ(0x42, src.device_id[7]);
    ASSERT_EQ(QNB_ERR_SUCCESS, conmon_msg_get_vendor_id(m.data(), m.size(), vendor));
    EXPECT_EQ(0, memcmp(vendor, "Quenbary", 8));
    for (uint16_t total : {23, 31}) {
        wgcp_store_be16(&m[2], total);
        EXPECT_EQ(QNB_ERR_INVALIDDATA, conmon_msg_body_length(m.data(), m.size(), &len)) << total;
    }
    EXPECT_EQ(QNB_ERR_INVALIDDATA, conmon_msg_body_length(m.data(), 23, &len));
    EXPECT_EQ(QNB_ERR_TRUNCATED, conmon_msg_get_source_id(m.data(), 15, &src));
    EXPECT_STREQ("VERSIONS_STATUS", conmon_msg_type_name(CONMON_MSG_VERSIONS_STATUS));
    EXPECT_EQ(nullptr, conmon_msg_type_name(CONMON_MSG_AES67_QUERY));
}

// Every parser over random bodies and over every cut of the well-formed ones. A parser must not
// read past the body (AddressSanitizer), must return a library code, and what it reports as
// present must lie inside the body.
TEST(ConmonMsgParsers, SurviveTruncatedAndHostileBodies)
{
    std::vector<bytes> seeds = {versions_status(0x0726), interface_status(), bytes(312, 0),
                                hex("0726 0080 00000000 0010 FFFF 0000BB80 0000AC44", 24),
                                hex("0726 0070 00000000 0003 0101 0000004E 00000001 00000002 001C 0000", 80)};
    wgcp_store_be16(&seeds[2][0], 0x0726);
    memcpy(&seeds[2][52], "Tormel", 7);
    std::mt19937 rng(20261209);
    std::vector<bytes> inputs;
    for (const bytes &s : seeds)
        for (size_t n = 0; n <= s.size(); ++n)
            inputs.emplace_back(s.begin(), s.begin() + static_cast<long>(n));
    for (int i = 0; i < 3000; ++i) {
        bytes b(rng() % 400);
        for (uint8_t &x : b)
            x = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 0x30); // small values: plausible offsets
        if (b.size() >= 2 && rng() % 2)
            wgcp_store_be16(&b[0], static_cast<uint16_t>(0x0600 + rng() % 0x200));
        inputs.push_back(b);
    }
    auto is_code = [](qnb_error e) { return e >= 0 && e < QNB_ERR_COUNT; };
    for (const bytes &in : inputs) {
        exact b(in.data(), in.size());
        const uint8_t *d = b.data.get();
        size_t n = b.length;
        conmon_version v;
        conmon_interface_info info;
        conmon_interface_trailer t;
        conmon_upgrade_progress p;
        conmon_upgrade_source s;
        conmon_source_id src;
        uint8_t id[8], byte;
        uint16_t u16;
        uint32_t u32;
        bool flag, flag2;
        char text[32];
        std::vector<qnb_error> results = {
            conmon_msg_body_length(d, n, &u16), conmon_msg_get_source_id(d, n, &src),
            conmon_msg_get_seqnum(d, n, &u16), conmon_msg_get_vendor_id(d, n, id),
            conmon_msg_get_version(d, n, &u16), conmon_msg_get_type(d, n, &u16),
            conmon_msg_get_parameter(d, n, &u32), conmon_msg_get_flag0(d, n, &flag),
            conmon_msg_get_flag1(d, n, &flag), conmon_msg_has_count(d, n, &flag),
            conmon_msg_versions_get_version_a(d, n, &v), conmon_msg_versions_get_version_b(d, n, &v),
            conmon_msg_versions_get_model_id(d, n, id), conmon_msg_versions_get_u32(d, n, &u32),
            conmon_msg_versions_get_u32_b(d, n, &u32), conmon_msg_versions_get_u16(d, n, &u16),
            conmon_msg_manf_versions_get_manf_id(d, n, id), conmon_msg_manf_versions_get_model_id(d, n, id),
            conmon_msg_manf_versions_get_id_c(d, n, id), conmon_msg_manf_versions_get_version_a(d, n, &v),
            conmon_msg_manf_versions_get_version_b(d, n, &v), conmon_msg_manf_versions_get_u32_a(d, n, &u32),
            conmon_msg_manf_versions_get_u32_b(d, n, &u32),
            conmon_msg_manf_versions_get_block_a(d, n, text, sizeof text),
            conmon_msg_manf_versions_get_block_b(d, n, text, sizeof text),
            conmon_msg_interface_status_get_trailer(d, n, &t), conmon_msg_srate_status_get_current(d, n, &u32),
            conmon_msg_clocking_status_get_preferred_master(d, n, &byte), conmon_msg_aes67_status_get(d, n, &flag, &flag2),
            conmon_msg_lock_status_get_locked(d, n, &flag), conmon_msg_upgrade_status_get_progress(d, n, &p),
            conmon_msg_upgrade_status_get_status(d, n, &s)};
        for (unsigned i = 0; i < 8; ++i) {
            results.push_back(conmon_msg_get_byte(d, n, i * 37, &byte));
            results.push_back(conmon_msg_interface_status_get_interface(d, n, i, &info));
            results.push_back(conmon_msg_list_get_flags(d, n, i, &u16));
            results.push_back(conmon_msg_list_get_flag2(d, n, i, &flag));
            results.push_back(conmon_msg_list_get_a(d, n, i, &u32));
            results.push_back(conmon_msg_list_get_b(d, n, i, &u32));
            results.push_back(conmon_msg_list_get_c(d, n, i, &u32));
            results.push_back(conmon_msg_list_get_d(d, n, i, &u32));
            results.push_back(conmon_msg_srate_status_get_rate(d, n, i, &u32));
        }
        for (qnb_error e : results)
            ASSERT_TRUE(is_code(e)) << e;
        uint16_t count = 0;
        if (conmon_msg_interface_status_get_count(d, n, &count) == QNB_ERR_SUCCESS) {
            ASSERT_LE(12u + 28u * count, std::max<size_t>(n, 12));
        }
        if (conmon_msg_srate_status_num_rates(d, n, &count) == QNB_ERR_SUCCESS && count) {
            ASSERT_LE(wgcp_load_be16(d + 8) + 4u * count, n);
        }
        if (conmon_msg_upgrade_status_get_status(d, n, &s) == QNB_ERR_SUCCESS) {
            ASSERT_LT(strlen(s.text), sizeof s.text);
        }
    }
}

} // namespace
