// Control-and-monitoring messages: the message head, and every body parser over the same bytes
// (taken as a whole message's body and as a bare body), at every index a list may name.
#include <initializer_list>
#include <vector>

#include "netaudio/conmon/conmon_msg.h"

namespace {

void parse_body(const uint8_t *b, size_t n)
{
    uint16_t u16;
    uint32_t u32;
    uint8_t u8, id[8];
    bool f, g;
    conmon_version v;
    char text[129];
    conmon_msg_get_version(b, n, &u16);
    conmon_msg_get_type(b, n, &u16);
    conmon_msg_get_parameter(b, n, &u32);
    conmon_msg_get_flag0(b, n, &f);
    conmon_msg_get_flag1(b, n, &f);
    conmon_msg_has_count(b, n, &f);
    for (unsigned i = 0; i < 70; ++i)
        conmon_msg_get_byte(b, n, i, &u8);
    conmon_msg_get_vendor_id(b, n, id);

    conmon_msg_versions_get_version_b(b, n, &v);
    conmon_msg_versions_get_version_a(b, n, &v);
    conmon_msg_versions_get_model_id(b, n, id);
    conmon_msg_versions_get_u32(b, n, &u32);
    conmon_msg_versions_get_u32_b(b, n, &u32);
    conmon_msg_versions_get_u16(b, n, &u16);

    conmon_msg_manf_versions_get_manf_id(b, n, id);
    conmon_msg_manf_versions_get_model_id(b, n, id);
    conmon_msg_manf_versions_get_id_c(b, n, id);
    conmon_msg_manf_versions_get_version_b(b, n, &v);
    conmon_msg_manf_versions_get_version_a(b, n, &v);
    conmon_msg_manf_versions_get_u32_a(b, n, &u32);
    conmon_msg_manf_versions_get_block_a(b, n, text, sizeof text);
    conmon_msg_manf_versions_get_block_b(b, n, text, sizeof text);
    conmon_msg_manf_versions_get_u32_b(b, n, &u32);

    uint16_t count = 0;
    conmon_msg_interface_status_get_count(b, n, &count);
    for (unsigned i = 0; i <= count && i < 64; ++i) {
        conmon_interface_info info;
        conmon_msg_interface_status_get_interface(b, n, i, &info);
    }
    conmon_interface_trailer trailer;
    conmon_msg_interface_status_get_trailer(b, n, &trailer);
    for (unsigned i = 0; i < 8; ++i) {
        conmon_msg_list_get_flags(b, n, i, &u16);
        conmon_msg_list_get_flag2(b, n, i, &f);
        conmon_msg_list_get_c(b, n, i, &u32);
        conmon_msg_list_get_d(b, n, i, &u32);
        conmon_msg_list_get_a(b, n, i, &u32);
        conmon_msg_list_get_b(b, n, i, &u32);
    }

    uint16_t rates = 0;
    conmon_msg_srate_status_num_rates(b, n, &rates);
    conmon_msg_srate_status_get_current(b, n, &u32);
    for (unsigned i = 0; i <= rates && i < 64; ++i)
        conmon_msg_srate_status_get_rate(b, n, i, &u32);
    conmon_msg_clocking_status_get_preferred_master(b, n, &u8);
    conmon_msg_aes67_status_get(b, n, &f, &g);
    conmon_msg_lock_status_get_locked(b, n, &f);
    conmon_upgrade_progress progress;
    conmon_msg_upgrade_status_get_progress(b, n, &progress);
    static conmon_upgrade_source source;
    conmon_msg_upgrade_status_get_status(b, n, &source);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint16_t body = 0, seqnum;
    conmon_source_id source;
    conmon_msg_get_source_id(data, size, &source);
    conmon_msg_get_seqnum(data, size, &seqnum);
    if (conmon_msg_body_length(data, size, &body) == 0)
    {
        std::vector<uint8_t> b(data + 24, data + 24 + body); // exactly the body, for the sanitizers
        parse_body(b.data(), b.size());
    }
    parse_body(data, size);
    return 0;
}
