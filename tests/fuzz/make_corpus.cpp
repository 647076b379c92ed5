// Writes the binary seeds of the fuzz corpus with the library's own encoders and builders:
//   qz_fuzz_seeds <corpus directory>
// (the text seeds come from make_corpus.py, which runs this program).
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "netaudio/conmon/cmm_codec.h"
#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/messaging/tlv_message.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/routing/wr_device.h"
#if __has_include("netaudio/conmon/conmon_local.h")
#include "netaudio/conmon/conmon_channel.h"
#include "netaudio/conmon/conmon_local.h"
#define QZ_HAVE_CONMON_LOCAL 1
#endif
#include "netaudio/routing/wr_message.h"

namespace {

std::string root;

void put(const char *target, const char *name, const void *data, size_t size)
{
    std::string dir = root + "/" + target;
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    if (FILE *f = fopen(path.c_str(), "wb")) {
        fwrite(data, 1, size, f);
        fclose(f);
    }
}

void put_message(const char *target, const char *name, const wgcp_message &m)
{
    put(target, name, m.packet, wgcp_header_get_length(m.packet));
}

void put_builder(const char *target, const char *name, const wgcp_builder &b)
{
    put(target, name, b.packet, wgcp_header_get_length(b.packet));
}

void set_name(char16_t *dst, const char *src)
{
    size_t i = 0;
    for (; src[i]; ++i)
        dst[i] = char16_t(src[i]);
    dst[i] = 0;
}

void cmm_seeds()
{
    static wgcp_message m;
    cmm_interface_list options{};
    options.count = 2;
    set_name(options.interfaces[0].name, "Ethernet");
    memcpy(options.interfaces[0].mac, "\x02\0\0\0\0\x01", 6);
    set_name(options.interfaces[1].name, "Ethernet 2");
    memcpy(options.interfaces[1].mac, "\x02\0\0\0\0\x02", 6);
    static cmm_state state{};
    state.status = CMM_SYSTEM_CHANGING;
    strcpy(state.device_name, "PC-AUDIO");
    state.current.count = 1;
    state.current.interfaces[0] = options.interfaces[0];
    state.pending.count = 1;
    state.pending.interfaces[0] = options.interfaces[1];
    state.process_count = 2;
    strcpy(state.processes[0].name, "QZConfigTool");
    state.processes[0].pid = 4242;
    strcpy(state.processes[1].name, "foreign");
    state.processes[1].pid = 424242;
    state.processes[1].lock = 1;
    cmm_set_config set{};
    set.flags = CMM_SET_CONFIG | CMM_SET_LOCK;
    set.config = state.pending;
    set.lock = 1;
    cmm_client_info info{};
    strcpy(info.name, "QZConfigTool");
    info.pid = 4242;
    cmm_server_version version{};
    version.valid = true;
    version.bytes[0] = 1;
    version.word = 0x0100;

    struct {
        const char *name;
        uint16_t opcode;
        uint16_t status;
    } kinds[] = {{"options", CMM_OPCODE_OPTIONS, 2}, {"state", CMM_OPCODE_STATE, 2},
                 {"set_config", CMM_OPCODE_SET_CONFIG, 0}, {"client_info", CMM_OPCODE_STATE_QUERY, 0},
                 {"server_version", CMM_OPCODE_STATE_QUERY, 1}};
    for (auto &k : kinds) {
        wgcp_message_reset(&m, WGCP_KIND_EXTENDED);
        wgcp_message_init_request(&m, CMM_PROTOCOL, k.opcode);
        wgcp_header_set_status(m.packet, k.status);
        if (!strcmp(k.name, "options"))
            cmm_encode_options(&m, &options);
        else if (!strcmp(k.name, "state"))
            cmm_encode_state(&m, &state);
        else if (!strcmp(k.name, "set_config"))
            cmm_encode_set_config(&m, &set);
        else if (!strcmp(k.name, "client_info"))
            cmm_encode_client_info(&m, &info);
        else
            cmm_encode_server_version(&m, &version);
        put_message("cmm_codec", k.name, m);
        put_message("wgcp_message", k.name, m);
    }
}

void tlv_seeds()
{
    uint8_t buffer[1024];
    tlv_builder b;
    tlv_record rec;
    const uint8_t *data;
    size_t length;
    uint8_t id[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

    tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES);
    tlv_msg_add_id_option(&b, 0x40, 7, 1);
    tlv_msg_add_id_option(&b, 0x41, 9, 2);
    tlv_domain_request req{};
    memcpy(req.id, id, 16);
    req.request_id = 5;
    req.name = "dev-a";
    req.has_value = true;
    req.value = 3;
    tlv_msg_add_request_u16(&b, &rec, 0x2009, 1);
    tlv_msg_add_domain_request_body(&rec, &req);
    tlv_msg_finish(&b, &data, &length);
    put("tlv_message", "domain_request", data, length);

    tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES);
    tlv_msg_add_id_option(&b, 0x40, 7, 1);
    tlv_msg_add_response_u16(&b, &rec, 0x2004, 1);
    tlv_msg_set_second_u16(&rec, 0);
    tlv_msg_add_blob_pair(&rec, "abcd", 4, "efgh", 4, 2);
    tlv_msg_finish(&b, &data, &length);
    put("tlv_message", "0x2004", data, length);

    tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES);
    tlv_msg_add_id_option(&b, 0x40, 8, 1);
    tlv_msg_add_response_u16(&b, &rec, 0x2011, 1);
    tlv_msg_add_0x2011_body(&rec, 1, 2, 3, id, 99);
    tlv_msg_finish(&b, &data, &length);
    put("tlv_message", "0x2011", data, length);

    tlv_msg_begin(&b, buffer, sizeof buffer, TLV_OPTION_BYTES);
    tlv_msg_add_id_option(&b, 0x40, 9, 1);
    tlv_msg_add_response_u16(&b, &rec, 0x2003, 1);
    tlv_msg_add_named_record(&rec, 1, true, 2, 3, "_netaudio-arc._udp", id, 4);
    tlv_msg_finish(&b, &data, &length);
    put("tlv_message", "0x2003", data, length);
}

wgcp_builder fresh()
{
    wgcp_builder b;
    memset(&b, 0, sizeof b);
    return b;
}

// A reply from a request: same bytes, result 1 (success).
void as_reply(wgcp_builder &b, uint16_t result = 1)
{
    wgcp_store_be16(b.packet + 8, result);
}

void routing_seeds()
{
    const uint16_t v = wr_msg_protocol_version(WR_ARCP_DEFAULT_VERSION);
    wgcp_builder b = fresh();
    wr_msg_build_properties_query(&b, v);
    put_builder("wr_message", "properties_query", b);
    as_reply(b);
    put_builder("wr_message", "properties_reply", b);

    b = fresh();
    uint16_t ids[] = {1, 2, 3, 7};
    wr_msg_build_id_list(&b, v, WR_OP_RX_UNSUBSCRIBE, ids, 4, nullptr);
    put_builder("wr_message", "unsubscribe", b);

    b = fresh();
    wr_msg_list l;
    wr_msg_subscribe_begin(&l, &b, v, 2);
    wr_msg_subscribe_add(&l, 1, "ch1", "dev-a");
    wr_msg_subscribe_add(&l, 2, "", "");
    put_builder("wr_message", "subscribe", b);

    b = fresh();
    wr_msg_label_begin(&l, &b, v, 2);
    wr_msg_label_add(&l, 0, 1, "left");
    wr_msg_label_add(&l, 3, 0, "");
    put_builder("wr_message", "labels", b);

    b = fresh();
    wr_msg_rx_rename_begin(&l, &b, v, 1);
    wr_msg_rx_rename_add(&l, 4, "input-4");
    put_builder("wr_message", "rx_rename", b);

    // A capabilities reply (0x1000) and a tx channel page (0x2000), by hand.
    uint8_t caps[64] = {0};
    wgcp_store_be16(caps, WR_ARCP_DEFAULT_VERSION);
    wgcp_store_be16(caps + 2, 48);
    wgcp_store_be16(caps + 6, 0x1000);
    wgcp_store_be16(caps + 8, 1);
    for (int i = 0; i < 12; ++i)
        wgcp_store_be16(caps + 10 + 2 * i, uint16_t(i < 2 ? 0x0100 : 2 + i));
    put("wr_message", "capabilities_reply", caps, 48);

    uint8_t tx[128] = {0};
    wgcp_store_be16(tx, WR_ARCP_DEFAULT_VERSION);
    wgcp_store_be16(tx + 6, 0x2000);
    wgcp_store_be16(tx + 8, 1);
    tx[10] = 2, tx[11] = 2;
    for (int i = 0; i < 2; ++i) {
        wgcp_store_be16(tx + 12 + 8 * i, uint16_t(i + 1));
        wgcp_store_be16(tx + 12 + 8 * i + 2, 0x0102);
        wgcp_store_be16(tx + 12 + 8 * i + 4, 36);
        wgcp_store_be16(tx + 12 + 8 * i + 6, uint16_t(52 + 4 * i));
    }
    wgcp_store_be32(tx + 36, 48000);
    tx[40] = 1, tx[41] = 1;
    wgcp_store_be16(tx + 42, 24);
    memcpy(tx + 52, "01\0\0" "02\0", 7);
    wgcp_store_be16(tx + 2, 59);
    put("wr_message", "tx_page_reply", tx, 59);

    // Device response scripts: {action, u16 length, datagram} steps.
    auto step = [](std::vector<uint8_t> &s, uint8_t action, const uint8_t *d, uint16_t n) {
        s.push_back(action);
        s.push_back(uint8_t(n >> 8));
        s.push_back(uint8_t(n));
        s.insert(s.end(), d, d + n);
    };
    std::vector<uint8_t> s;
    step(s, 0, caps, 48);
    put("wr_device_response", "capabilities", s.data(), s.size());
    s.clear();
    step(s, 0, caps, 48);
    step(s, 1, tx, 59);
    put("wr_device_response", "capabilities_then_tx", s.data(), s.size());
    s.clear();
    b = fresh();
    wr_msg_build_properties_query(&b, v);
    as_reply(b);
    step(s, 6, b.packet, wgcp_header_get_length(b.packet));
    put("wr_device_response", "properties", s.data(), s.size());
    s.clear();
    uint8_t error[10] = {0};
    wgcp_store_be16(error, WR_ARCP_DEFAULT_VERSION);
    wgcp_store_be16(error + 2, 10);
    wgcp_store_be16(error + 8, 0x0030);
    step(s, 7, error, 10);
    put("wr_device_response", "subscribe_error", s.data(), s.size());
}

void conmon_seeds()
{
    static conmon_vendor_body body;
    struct {
        const char *name;
        qnb_error (*init)(conmon_vendor_body *, uint32_t);
    } bodies[] = {{"interface_control", conmon_msg_init_interface_control},
                  {"clocking_control", conmon_msg_init_clocking_control},
                  {"srate_control", conmon_msg_init_srate_control},
                  {"sys_reset", conmon_msg_init_sys_reset},
                  {"aes67_query", conmon_msg_init_aes67_query}};
    for (auto &k : bodies) {
        memset(&body, 0, sizeof body);
        k.init(&body, 1);
        // A message head of 24 bytes (length at 2) in front of the body.
        uint8_t msg[24 + 128] = {0};
        wgcp_store_be16(msg, 0x1200);
        wgcp_store_be16(msg + 2, sizeof msg);
        memcpy(msg + 16, "\0\0\0\0\0\0\0\x01", 8);
        memcpy(msg + 24, body.data, 128);
        put("conmon_msg", k.name, msg, sizeof msg);
    }
}

#ifdef QZ_HAVE_CONMON_LOCAL
// Local messages are host order; the channel message they carry is network order.
void put_host16(uint8_t *p, uint16_t v)
{
    memcpy(p, &v, 2);
}

void conmon_local_seeds()
{
    static const uint8_t vendor[8] = {0, 0, 0, 0, 0, 0, 0, 1};
    uint8_t body[16] = {0, 1, 0, 0x20, 0, 0, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0};
    uint8_t channel[128];
    size_t channel_length = 0;
    conmon_message_build(channel, sizeof channel, 0x0001, vendor, body, sizeof body, &channel_length);
    put("conmon_channel", "message", channel, channel_length);

    uint8_t buffer[CONMON_LOCAL_BUFFER_SIZE];
    size_t length = 0;
    const uint16_t v = CONMON_LOCAL_DEFAULT_VERSION;
    conmon_local_build_connect(buffer, sizeof buffer, v, 1, "QZConfigTool", true, &length);
    put_host16(buffer + 8, CONMON_KIND_RESPONSE);
    put("conmon_local", "connect_response", buffer, length);
    conmon_local_build_subscribe(buffer, sizeof buffer, v, 2, CONMON_LOCAL_SUBSCRIBE, 2, 0, "dev-a", &length);
    put_host16(buffer + 8, CONMON_KIND_RESPONSE);
    put("conmon_local", "subscribe_response", buffer, length);
    uint8_t id[8] = {0x02, 0x51, 0x5a, 0xff, 0xfe, 1, 2, 3};
    conmon_local_build_send_message(buffer, sizeof buffer, v, 3, 2, id, "dev-a", channel, channel_length, &length);
    put("conmon_local", "send_message", buffer, length);

    // A Channel Message event: head, channel type and class, domain at 15, the message at 16.
    uint8_t event[16 + 128] = {0};
    conmon_local_head head = {v, uint16_t(16 + channel_length), 0, CONMON_LOCAL_CHANNEL_MESSAGE, CONMON_KIND_EVENT};
    conmon_local_write_head(event, &head);
    put_host16(event + 10, 2);
    put_host16(event + 12, 1);
    memcpy(event + 16, channel, channel_length);
    put("conmon_local", "channel_event", event, 16 + channel_length);
    put("conmon_channel", "channel_event", event, 16 + channel_length);

    // Device Name Changed: the name at 10.
    uint8_t name[10 + 32] = {0};
    head = {v, sizeof name, 0, CONMON_LOCAL_DEVICE_NAME_CHANGED, CONMON_KIND_EVENT};
    conmon_local_write_head(name, &head);
    memcpy(name + 10, "PC-AUDIO", 8);
    put("conmon_local", "device_name", name, sizeof name);
}
#endif

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    root = argv[1];
    mkdir(root.c_str(), 0755);
    cmm_seeds();
    tlv_seeds();
    routing_seeds();
    conmon_seeds();
#ifdef QZ_HAVE_CONMON_LOCAL
    conmon_local_seeds();
#endif
    return 0;
}
