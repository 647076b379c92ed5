#include "netaudio/conmon/cmm_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::unique_ptr<wgcp_message> container()
{
    std::unique_ptr<wgcp_message> m(new wgcp_message);
    memset(m.get(), 0xEE, sizeof *m);
    wgcp_message_reset(m.get(), WGCP_KIND_EXTENDED);
    wgcp_message_init_request(m.get(), CMM_PROTOCOL, 0);
    return m;
}

cmm_interface iface(const std::u16string &name, uint8_t last)
{
    cmm_interface e;
    memset(&e, 0, sizeof e);
    std::u16string cut = name.substr(0, CMM_INTERFACE_NAME_UNITS - 1);
    memcpy(e.name, cut.data(), cut.size() * sizeof(char16_t));
    const uint8_t mac[6] = {0x02, 0, 0, 0, 0, last};
    memcpy(e.mac, mac, 6);
    return e;
}

cmm_state sample_state(uint16_t status)
{
    cmm_state s;
    memset(&s, 0, sizeof s);
    s.status = status;
    strcpy(s.device_name, "PC-AUDIO");
    s.current.count = 1;
    s.current.interfaces[0] = iface(u"Ethernet", 1);
    s.pending.count = 1;
    s.pending.interfaces[0] = iface(u"Ethernet 2", 2);
    s.process_count = 2;
    strcpy(s.processes[0].name, "fua");
    s.processes[0].pid = 4242;
    strcpy(s.processes[1].name, "other");
    s.processes[1].pid = 7;
    s.processes[1].lock = 1;
    return s;
}

std::vector<uint8_t> body_of(wgcp_message *m)
{
    const uint8_t *b = wgcp_message_get_body(m);
    return std::vector<uint8_t>(b, b + wgcp_message_get_body_length(m));
}

TEST(CmmCodec, ClientInfoTreeLayout)
{
    std::unique_ptr<wgcp_message> m = container();
    cmm_client_info info;
    memset(&info, 0, sizeof info);
    strcpy(info.name, "fua");
    info.pid = 0x01020304;
    info.lock = 1;
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_encode_client_info(m.get(), &info));
    // Root list of three items at 0; the name behind it; the process id 4-aligned.
    EXPECT_EQ((std::vector<uint8_t>{0, 3, 0, 8, 0, 12, 0, 1, 'f', 'u', 'a', 0, 1, 2, 3, 4}), body_of(m.get()));
    cmm_client_info back;
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_decode_client_info(m.get(), &back));
    EXPECT_STREQ("fua", back.name);
    EXPECT_EQ(0x01020304u, back.pid);
    EXPECT_EQ(1u, back.lock);
}

TEST(CmmCodec, OptionsKeepTheFirstSixteenInterfaces)
{
    std::vector<cmm_interface> many;
    for (int i = 0; i < 20; ++i)
        many.push_back(iface(u"eth" + std::u16string(1, static_cast<char16_t>('a' + i)), static_cast<uint8_t>(i)));
    std::unique_ptr<wgcp_message> m = container();
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_encode_options_entries(m.get(), many.data(), 20));
    cmm_interface_list back;
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_decode_options(m.get(), &back));
    EXPECT_EQ(16, back.count);
    for (unsigned i = 0; i < 16; ++i) {
        EXPECT_EQ(0, memcmp(&many[i], &back.interfaces[i], sizeof(cmm_interface))) << i;
        EXPECT_EQ(&back.interfaces[i], cmm_interfaces_get(&back, i));
    }
    EXPECT_EQ(nullptr, cmm_interfaces_get(&back, 16));
}

TEST(CmmCodec, StateRoundTripAndPendingOnlyWhileChanging)
{
    struct row {
        uint16_t status;
        bool current;
        bool pending;
    } rows[] = {{CMM_SYSTEM_UNKNOWN, false, false},
                {CMM_SYSTEM_READY, true, false},
                {CMM_SYSTEM_CHANGING, true, true},
                {CMM_SYSTEM_INVALID_CONFIG, true, false},
                {CMM_SYSTEM_OPTIONS_CHANGED, true, false}};
    for (const row &t : rows) {
        SCOPED_TRACE(t.status);
        cmm_state in = sample_state(t.status);
        std::unique_ptr<wgcp_message> m = container();
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_encode_state(m.get(), &in));
        // The pending configuration's offset is 0 unless a change is under way.
        wgcp_u16_array root;
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_get_u16_array(m.get(), 0, &root));
        uint16_t pending_at = 0xFFFF;
        ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_u16_array_get(&root, 3, &pending_at));
        EXPECT_EQ(t.pending, pending_at != 0);

        cmm_state out;
        memset(&out, 0xA5, sizeof out);
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_decode_state(m.get(), &out));
        EXPECT_EQ(t.status, out.status);
        EXPECT_STREQ("PC-AUDIO", out.device_name);
        EXPECT_TRUE(cmm_config_equal(&in.current, &out.current));
        EXPECT_EQ(t.pending ? 1u : 0u, out.pending.count);
        EXPECT_EQ(t.current, cmm_state_get_current_config(&out) != nullptr);
        EXPECT_EQ(t.pending, cmm_state_get_pending_config(&out) != nullptr);
        ASSERT_EQ(2u, cmm_state_get_process_count(&out));
        EXPECT_STREQ("other", cmm_state_get_process(&out, 1)->name);
        EXPECT_EQ(7u, cmm_state_get_process(&out, 1)->pid);
        EXPECT_EQ(1u, cmm_process_get_lock(cmm_state_get_process(&out, 1)));
        EXPECT_EQ(nullptr, cmm_state_get_process(&out, 2));
        if (!t.pending)
            in.pending.count = 0;
        EXPECT_TRUE(cmm_state_equal(&in, &out));
    }
}

TEST(CmmCodec, LongTextsAreCutToTheirFields)
{
    cmm_state in = sample_state(CMM_SYSTEM_READY);
    std::string long_name(40, 'd');
    std::unique_ptr<wgcp_message> m = container();
    // Written by hand: a peer may send longer texts than the records hold.
    wgcp_u16_array root, list, node, cfg, ifs, inode;
    uint16_t name_at, pname_at, pid_at, wname_at, mac_at;
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u16_array(m.get(), 5, &root));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_string(m.get(), long_name.c_str(), &name_at));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u16_array(m.get(), 1, &cfg));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u16_array(m.get(), 1, &ifs));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u16_array(m.get(), 2, &inode));
    std::u16string wide(70, u'w');
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_wstring(m.get(), wide.c_str(), &wname_at));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_bytes(m.get(), 6, in.current.interfaces[0].mac, &mac_at));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u16_array(m.get(), 1, &list));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u16_array(m.get(), 3, &node));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_string(m.get(), std::string(100, 'p').c_str(), &pname_at));
    ASSERT_EQ(QNB_ERR_SUCCESS, wgcp_body_put_u32(m.get(), 99, &pid_at));
    wgcp_u16_array_set(&root, 0, CMM_SYSTEM_READY);
    wgcp_u16_array_set(&root, 1, name_at);
    wgcp_u16_array_set(&root, 2, cfg.offset);
    wgcp_u16_array_set(&root, 4, list.offset);
    wgcp_u16_array_set(&cfg, 0, ifs.offset);
    wgcp_u16_array_set(&ifs, 0, inode.offset);
    wgcp_u16_array_set(&inode, 0, wname_at);
    wgcp_u16_array_set(&inode, 1, mac_at);
    wgcp_u16_array_set(&list, 0, node.offset);
    wgcp_u16_array_set(&node, 0, pname_at);
    wgcp_u16_array_set(&node, 1, pid_at);
    wgcp_u16_array_set(&node, 2, 5); // any nonzero value holds the lock
    cmm_state out;
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_decode_state(m.get(), &out));
    EXPECT_EQ(std::string(31, 'd'), out.device_name);
    EXPECT_EQ(std::u16string(63, u'w'), std::u16string(out.current.interfaces[0].name));
    EXPECT_EQ(std::string(63, 'p'), out.processes[0].name);
    EXPECT_EQ(1u, out.processes[0].lock);
    EXPECT_EQ(99u, out.processes[0].pid);
}

TEST(CmmCodec, SetConfigAndServerVersionRoundTrip)
{
    for (uint32_t flags : {0u, 1u, 2u, 3u}) {
        cmm_set_config in;
        memset(&in, 0, sizeof in);
        in.flags = flags;
        in.config.count = 2;
        in.config.interfaces[0] = iface(u"Ethernet", 1);
        in.config.interfaces[1] = iface(u"Wi-Fi", 9);
        in.lock = 1;
        std::unique_ptr<wgcp_message> m = container();
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_encode_set_config(m.get(), &in));
        cmm_set_config out;
        ASSERT_EQ(QNB_ERR_SUCCESS, cmm_decode_set_config(m.get(), &out));
        EXPECT_EQ(flags, out.flags);
        EXPECT_EQ((flags & CMM_SET_CONFIG) ? 2u : 0u, cmm_config_get_interface_count(&out.config));
        EXPECT_EQ((flags & CMM_SET_LOCK) ? 1u : 0u, out.lock);
        if (flags & CMM_SET_CONFIG) {
            EXPECT_TRUE(cmm_config_equal(&in.config, &out.config));
        }
    }
    cmm_server_version v = {true, {3, 4}, 0x0506, 0x0708}, back;
    std::unique_ptr<wgcp_message> m = container();
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_encode_server_version(m.get(), &v));
    ASSERT_EQ(QNB_ERR_SUCCESS, cmm_decode_server_version(m.get(), &back));
    EXPECT_EQ(3, back.bytes[0]);
    EXPECT_EQ(4, back.bytes[1]);
    EXPECT_EQ(0x0506, back.word);
    EXPECT_EQ(0x0708, back.extra);
}

// A body given as u16 words.
std::unique_ptr<wgcp_message> words(std::initializer_list<uint16_t> w)
{
    std::unique_ptr<wgcp_message> m = container();
    uint8_t *b = wgcp_message_get_body(m.get());
    size_t n = 0;
    for (uint16_t v : w) {
        wgcp_store_be16(b + n, v);
        n += 2;
    }
    wgcp_header_set_length(m->packet, static_cast<uint16_t>(20 + n));
    return m;
}

TEST(CmmCodec, MalformedTreesAreRefused)
{
    struct row {
        const char *what;
        std::unique_ptr<wgcp_message> m;
        int decoder; // 0 options, 1 state, 2 server version, 3 set-config, 4 client info
        qnb_error err;
    };
    std::vector<row> rows;
    rows.push_back({"options: empty body", words({}), 0, QNB_ERR_INVALIDPARAMETER});
    rows.push_back({"options: empty root", words({0}), 0, QNB_ERR_NODATA});
    rows.push_back({"options: interface list missing", words({1, 0}), 0, QNB_ERR_NODATA});
    rows.push_back({"options: list past the body", words({1, 4, 3, 0}), 0, QNB_ERR_INVALIDPARAMETER});
    rows.push_back({"options: node with one item", words({1, 4, 1, 8, 1, 0}), 0, QNB_ERR_NODATA});
    rows.push_back({"options: node offset zero", words({1, 4, 1, 0}), 0, QNB_ERR_NODATA});
    rows.push_back({"options: name without terminator", words({1, 4, 1, 8, 2, 14, 0, 0, 'E'}), 0,
                    QNB_ERR_INVALIDPARAMETER});
    rows.push_back({"options: MAC cut short", words({1, 4, 1, 8, 2, 0, 14, 0x0102}), 0, QNB_ERR_INVALIDPARAMETER});
    rows.push_back({"options: odd offset", words({1, 3, 1, 0}), 0, QNB_ERR_INVALIDPARAMETER});
    rows.push_back({"state: four items", words({4, 1, 0, 0, 0}), 1, QNB_ERR_NODATA});
    rows.push_back({"state: device name without terminator", words({5, 1, 12, 0, 0, 0, 0x4142}), 1,
                    QNB_ERR_INVALIDPARAMETER});
    rows.push_back({"state: configuration without list", words({5, 1, 0, 12, 0, 0, 1, 0}), 1, QNB_ERR_NODATA});
    rows.push_back({"state: process node too short", words({5, 1, 0, 0, 0, 12, 1, 16, 2, 0, 0}), 1,
                    QNB_ERR_NODATA});
    rows.push_back({"state: pid past the body", words({5, 1, 0, 0, 0, 12, 1, 16, 3, 0, 24, 0}), 1,
                    QNB_ERR_INVALIDPARAMETER});
    rows.push_back({"state: process list count too large", words({5, 1, 0, 0, 0, 12, 9, 0}), 1,
                    QNB_ERR_INVALIDPARAMETER});
    rows.push_back({"version: three values", words({3, 1, 2, 3}), 2, QNB_ERR_NODATA});
    rows.push_back({"set-config: configuration flag without tree", words({3, 1, 0, 0}), 3, QNB_ERR_NODATA});
    rows.push_back({"client info: two items", words({2, 0, 0}), 4, QNB_ERR_NODATA});
    for (row &t : rows) {
        SCOPED_TRACE(t.what);
        qnb_error err;
        if (t.decoder == 0) {
            cmm_interface_list out;
            err = cmm_decode_options(t.m.get(), &out);
        } else if (t.decoder == 1) {
            cmm_state out;
            err = cmm_decode_state(t.m.get(), &out);
        } else if (t.decoder == 2) {
            cmm_server_version out;
            err = cmm_decode_server_version(t.m.get(), &out);
        } else if (t.decoder == 3) {
            cmm_set_config out;
            err = cmm_decode_set_config(t.m.get(), &out);
        } else {
            cmm_client_info out;
            err = cmm_decode_client_info(t.m.get(), &out);
        }
        EXPECT_EQ(t.err, err);
    }
}

TEST(CmmRecords, ConfigurationEditing)
{
    cmm_interface_list options;
    memset(&options, 0, sizeof options);
    options.count = 3;
    options.interfaces[0] = iface(u"Ethernet", 1);
    options.interfaces[1] = iface(u"Ethernet 2", 2);
    options.interfaces[2] = iface(u"Wi-Fi", 3);
    cmm_system_config config = sample_state(CMM_SYSTEM_READY).current;
    cmm_config_clear_interfaces(&config);
    EXPECT_EQ(0u, cmm_config_get_interface_count(&config));
    const uint8_t unknown[6] = {0x02, 0, 0, 0, 0, 0x7F};
    EXPECT_EQ(QNB_ERR_INVALIDDATA, cmm_config_add_interface_by_mac(&config, &options, unknown));
    EXPECT_EQ(QNB_ERR_SUCCESS, cmm_config_add_interface_by_mac(&config, &options, options.interfaces[1].mac));
    EXPECT_EQ(QNB_ERR_SUCCESS, cmm_config_add_interface_by_mac(&config, &options, options.interfaces[0].mac));
    EXPECT_EQ(QNB_ERR_INVALIDPARAMETER, cmm_config_add_interface_by_mac(&config, &options, options.interfaces[2].mac));
    ASSERT_EQ(2u, cmm_config_get_interface_count(&config));
    EXPECT_EQ(std::u16string(u"Ethernet 2"), std::u16string(cmm_config_get_interface(&config, 0)->name));
    EXPECT_EQ(nullptr, cmm_config_get_interface(&config, 2));
    EXPECT_EQ(2, cmm_interface_get_mac(cmm_config_get_interface(&config, 0))[5]);

    EXPECT_EQ(&options.interfaces[1], cmm_interfaces_find_by_name(&options, u"Ethernet 2"));
    EXPECT_EQ(nullptr, cmm_interfaces_find_by_name(&options, u"Ethernet 3"));
    EXPECT_EQ(nullptr, cmm_interfaces_find_by_name(&options, u"ethernet"));
    EXPECT_EQ(nullptr, cmm_interfaces_find_by_name(&options, u"Ether"));
    EXPECT_EQ(nullptr, cmm_interfaces_find_by_name(&options, u"Wi-Fi 2"));
    // A stored 63-unit name is not matched by a longer wanted name.
    options.interfaces[2] = iface(std::u16string(63, u'x'), 3);
    EXPECT_EQ(&options.interfaces[2], cmm_interfaces_find_by_name(&options, std::u16string(63, u'x').c_str()));
    EXPECT_EQ(nullptr, cmm_interfaces_find_by_name(&options, std::u16string(64, u'x').c_str()));
}

TEST(CmmRecords, EqualityLooksAtFieldsNotAtBytesBehindThem)
{
    cmm_state a = sample_state(CMM_SYSTEM_READY), b = a;
    // Bytes behind a terminator and entries beyond the counts are not part of the state.
    b.device_name[20] = 'z';
    b.processes[5].pid = 99;
    b.current.interfaces[1].mac[0] = 0x55;
    b.current.interfaces[0].name[40] = u'q';
    EXPECT_TRUE(cmm_state_equal(&a, &b));
    b.processes[1].lock = 0;
    EXPECT_FALSE(cmm_state_equal(&a, &b));
    b = a;
    b.current.interfaces[0].mac[5] ^= 1;
    EXPECT_FALSE(cmm_state_equal(&a, &b));
    b = a;
    b.status = CMM_SYSTEM_CHANGING;
    EXPECT_FALSE(cmm_state_equal(&a, &b));
}

TEST(CmmRecords, StatusNamesAndErrors)
{
    struct row {
        uint16_t status;
        const char *name;
        qnb_error err;
    } rows[] = {{1, "Response", QNB_ERR_SUCCESS},          {256, "Invalid API", QNB_ERR_INVALIDDATA},
                {257, "Invalid Data", QNB_ERR_INVALIDDATA}, {258, "Invalid State", QNB_ERR_INVALIDSTATE},
                {259, "System error", QNB_ERR_SYSTEM},     {0x81, "Not connected", QNB_ERR_NOTCONN},
                {260, "?", QNB_ERR_SYSTEM}};
    for (const row &t : rows) {
        EXPECT_STREQ(t.name, cmm_response_status_name(t.status));
        EXPECT_EQ(t.err, cmm_status_to_error(t.status)) << t.status;
    }
    const char *names[] = {"Unknown", "Ready", "Changing", "Invalid Config", "Options Changed", "???"};
    for (uint16_t s = 0; s < 6; ++s)
        EXPECT_STREQ(names[s], cmm_system_status_name(s));
}

// Mutated encodings through every decoder: no read outside the message, results bounded, and
// nothing depends on the bytes behind the length field.
TEST(CmmCodecFuzz, MutatedTreesDecodeSafely)
{
    std::vector<cmm_interface> many;
    for (int i = 0; i < 20; ++i)
        many.push_back(iface(u"Ethernet " + std::u16string(1, static_cast<char16_t>('0' + i)), static_cast<uint8_t>(i)));
    std::vector<std::unique_ptr<wgcp_message>> seeds;
    seeds.push_back(container());
    cmm_encode_options_entries(seeds.back().get(), many.data(), 20);
    seeds.push_back(container());
    cmm_state st = sample_state(CMM_SYSTEM_CHANGING);
    cmm_encode_state(seeds.back().get(), &st);
    seeds.push_back(container());
    cmm_set_config sc;
    memset(&sc, 0, sizeof sc);
    sc.flags = 3;
    sc.config = st.current;
    cmm_encode_set_config(seeds.back().get(), &sc);

    std::mt19937 rng(4711);
    for (int i = 0; i < 6000; ++i) {
        const wgcp_message &seed = *seeds[rng() % seeds.size()];
        std::unique_ptr<wgcp_message> a(new wgcp_message(seed)), b(new wgcp_message);
        uint16_t body = wgcp_message_get_body_length(a.get());
        for (int k = 1 + rng() % 4; k > 0; --k) {
            size_t at = 20 + rng() % (body + 2);
            switch (rng() % 4) {
            case 0: a->packet[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
            case 1: a->packet[at] = static_cast<uint8_t>(rng() % 4); break;
            case 2: a->packet[at] = 0xFF; break;
            default: wgcp_header_set_length(a->packet, static_cast<uint16_t>(20 + rng() % (body + 4))); break;
            }
        }
        *b = *a;
        size_t end = 20 + wgcp_message_get_body_length(a.get());
        for (size_t k = end; k < WGCP_PACKET_SIZE; ++k)
            b->packet[k] = static_cast<uint8_t>(rng());

        cmm_interface_list oa, ob;
        qnb_error ea = cmm_decode_options(a.get(), &oa), eb = cmm_decode_options(b.get(), &ob);
        ASSERT_EQ(ea, eb);
        if (!ea) {
            ASSERT_LE(oa.count, CMM_MAX_INTERFACES);
            ASSERT_TRUE(cmm_interface_list_equal(&oa, &ob));
        }
        cmm_state sa, sb;
        ea = cmm_decode_state(a.get(), &sa);
        eb = cmm_decode_state(b.get(), &sb);
        ASSERT_EQ(ea, eb);
        if (!ea) {
            ASSERT_LE(sa.process_count, CMM_MAX_PROCESSES);
            ASSERT_LE(sa.current.count, CMM_MAX_CONFIG_INTERFACES);
            ASSERT_LT(strnlen(sa.device_name, sizeof sa.device_name), sizeof sa.device_name);
            ASSERT_EQ(0, memcmp(&sa, &sb, sizeof sa)); // zero-filled first: comparable byte for byte
        }
        cmm_set_config ca, cb;
        ea = cmm_decode_set_config(a.get(), &ca);
        eb = cmm_decode_set_config(b.get(), &cb);
        ASSERT_EQ(ea, eb);
        if (!ea) {
            ASSERT_LE(ca.config.count, CMM_MAX_CONFIG_INTERFACES);
        }
    }
}

} // namespace
