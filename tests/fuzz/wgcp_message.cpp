// Request message container and builder resolvers over any datagram: the header decoders, every
// body reader at every offset the body names, and the resolvers of received routing messages.
#include <initializer_list>
#include <cstring>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/messaging/wgcp_message.h"

namespace {

void read_body_at(wgcp_message *m, uint16_t offset)
{
    wgcp_u16_array a;
    if (wgcp_body_get_u16_array(m, offset, &a) == 0) {
        uint16_t v;
        for (uint16_t i = 0; i <= a.count && i < 64; ++i)
            wgcp_u16_array_get(&a, i, &v);
    }
    uint8_t bytes[16];
    wgcp_body_get_bytes(m, offset, sizeof bytes, bytes);
    char text[40];
    size_t len = sizeof text;
    wgcp_body_get_string(m, offset, text, &len);
    uint32_t u32;
    wgcp_body_get_u32(m, offset, &u32);
    char16_t wide[40];
    size_t cap = 40;
    wgcp_body_get_wstring(m, offset, wide, &cap);
}

void resolve_at(const uint8_t *data, size_t size, uint16_t offset)
{
    uint32_t n = 0;
    const uint8_t *p = wgcp_offset_resolve_sized(data, size, offset, 10, 0, 1, 4, &n);
    if (p) {
        qnb_addr_record_ipv4(p, n);
        qnb_addr_record_port(p, n);
    }
    wgcp_offset_resolve(data, size, offset, 12, 2, 8);
    wgcp_get_string(data, size, offset, 10, 0, &n);
    wgcp_resolve_array(data, size, offset, 10, 1, 2, &n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    wgcp_header h;
    wgcp_client_identity identity;
    wgcp_header_decode(data, size, &h);
    wgcp_header_decode_client(data, size, &identity);

    // A received datagram lands in a container's packet, as the clients receive it.
    static wgcp_message m;
    for (int32_t kind : {WGCP_KIND_PLAIN, WGCP_KIND_EXTENDED}) {
        if (!wgcp_message_reset(&m, kind) || size > sizeof m.packet)
            continue;
        memset(m.packet, 0, sizeof m.packet);
        memcpy(m.packet, data, size);
        wgcp_reader r;
        wgcp_message_body_reader(&m, &r);
        uint16_t body = wgcp_message_get_body_length(&m);
        read_body_at(&m, 0);
        for (uint16_t at = 0; at + 2u <= body && at < 256; at += 2) {
            uint16_t offset = 0;
            if (wgcp_reader_u16_at(&r, at, &offset) == 0)
                read_body_at(&m, offset);
        }
    }

    // The routing client's view: offsets from the packet start, bounded by what arrived.
    for (size_t at = 10; at + 2 <= size && at < 512; at += 2)
        resolve_at(data, size, wgcp_load_be16(data + at));

    // The bounded reader itself.
    wgcp_reader r;
    wgcp_reader_init(&r, data, size);
    char text[33];
    size_t len = 0;
    char16_t wide[17];
    for (size_t at = 0; at < size && at < 256; at += 3) {
        wgcp_reader_string_at(&r, at, text, sizeof text, &len);
        wgcp_reader_text_field_at(&r, at, 32, text, sizeof text, &len);
        wgcp_reader_wstring_at(&r, at, wide, 17, &len);
    }
    return 0;
}
