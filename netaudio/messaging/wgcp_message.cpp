#include "netaudio/messaging/wgcp_message.h"

#include <cstring>

#include "netaudio/platform/qnb_log.h"

// ---------------------------------------------------------------------------------------------
// Header

void wgcp_header_init(uint8_t *packet, uint16_t protocol, uint16_t seqnum, uint16_t opcode)
{
    if (!packet)
        return;
    wgcp_store_be16(packet + 0, protocol);
    wgcp_store_be16(packet + 2, WGCP_HEADER_SIZE);
    wgcp_store_be16(packet + 4, seqnum);
    wgcp_store_be16(packet + 6, opcode);
    wgcp_store_be16(packet + 8, WGCP_STATUS_REQUEST);
}

void wgcp_message_init(uint8_t *packet, uint16_t protocol, uint16_t seqnum, uint16_t opcode)
{
    wgcp_header_init(packet, protocol, seqnum, opcode);
}

void wgcp_header_set_client(uint8_t *packet, const wgcp_client_identity *identity)
{
    if (!packet)
        return;
    if (identity) {
        wgcp_store_be16(packet + 10, identity->port);
        memcpy(packet + 12, identity->id, sizeof identity->id);
    } else {
        memset(packet + 10, 0, WGCP_EXT_HEADER_SIZE - WGCP_HEADER_SIZE);
    }
}

void wgcp_message_set_seqnum(uint8_t *packet, uint16_t seqnum)
{
    if (packet)
        wgcp_store_be16(packet + 4, seqnum);
}

void wgcp_header_set_length(uint8_t *packet, uint16_t length)
{
    if (packet)
        wgcp_store_be16(packet + 2, length);
}

void wgcp_header_add_length(uint8_t *packet, uint16_t n)
{
    if (packet)
        wgcp_store_be16(packet + 2, static_cast<uint16_t>(wgcp_load_be16(packet + 2) + n));
}

void wgcp_header_set_status(uint8_t *packet, uint16_t status)
{
    if (packet)
        wgcp_store_be16(packet + 8, status);
}

uint16_t wgcp_header_get_protocol(const uint8_t *packet)
{
    return packet ? wgcp_load_be16(packet + 0) : 0;
}

uint16_t wgcp_header_get_length(const uint8_t *packet)
{
    return packet ? wgcp_load_be16(packet + 2) : 0;
}

uint16_t wgcp_header_get_seqnum(const uint8_t *packet)
{
    return packet ? wgcp_load_be16(packet + 4) : 0;
}

uint16_t wgcp_header_get_opcode(const uint8_t *packet)
{
    return packet ? wgcp_load_be16(packet + 6) : 0;
}

uint16_t wgcp_header_get_status(const uint8_t *packet)
{
    return packet ? wgcp_load_be16(packet + 8) : 0;
}

qnb_error wgcp_header_decode(const void *data, size_t size, wgcp_header *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader r;
    wgcp_reader_init(&r, data, size);
    wgcp_header h;
    qnb_error err;
    if ((err = wgcp_reader_get_u16(&r, &h.protocol)) || (err = wgcp_reader_get_u16(&r, &h.length)) ||
        (err = wgcp_reader_get_u16(&r, &h.seqnum)) || (err = wgcp_reader_get_u16(&r, &h.opcode)) ||
        (err = wgcp_reader_get_u16(&r, &h.status)))
        return err;
    *out = h;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_header_decode_client(const void *data, size_t size, wgcp_client_identity *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader r;
    wgcp_reader_init(&r, data, size);
    wgcp_client_identity id;
    qnb_error err = wgcp_reader_u16_at(&r, 10, &id.port);
    if (!err)
        err = wgcp_reader_bytes_at(&r, 12, id.id, sizeof id.id);
    if (err)
        return err;
    *out = id;
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Container

uint8_t *wgcp_message_reset(wgcp_message *c, int32_t kind)
{
    if (!c)
        return nullptr;
    c->kind = kind;
    if (kind == WGCP_KIND_PLAIN) {
        c->header_size = WGCP_HEADER_SIZE;
        c->max_body = WGCP_MAX_BODY;
    } else if (kind == WGCP_KIND_EXTENDED) {
        c->header_size = WGCP_EXT_HEADER_SIZE;
        c->max_body = WGCP_EXT_MAX_BODY;
    } else {
        c->header_size = 0;
        c->max_body = 0;
        return nullptr;
    }
    return c->packet + c->header_size;
}

namespace {

bool usable(const wgcp_message *c)
{
    return c && c->header_size != 0 && c->header_size + c->max_body <= WGCP_PACKET_SIZE;
}

} // namespace

qnb_error wgcp_message_init_request(wgcp_message *c, uint16_t protocol, uint16_t opcode)
{
    if (!usable(c))
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_header_init(c->packet, protocol, 0, opcode);
    wgcp_header_set_length(c->packet, c->header_size);
    return QNB_ERR_SUCCESS;
}

uint8_t *wgcp_message_get_packet(wgcp_message *c)
{
    return c ? c->packet : nullptr;
}

const uint8_t *wgcp_message_get_packet_const(const wgcp_message *c)
{
    return c ? c->packet : nullptr;
}

uint16_t wgcp_message_get_header_size(const wgcp_message *c)
{
    return c ? c->header_size : 0;
}

uint16_t wgcp_message_get_max_body(const wgcp_message *c)
{
    return c ? c->max_body : 0;
}

uint8_t *wgcp_message_get_body(wgcp_message *c)
{
    return usable(c) ? c->packet + c->header_size : nullptr;
}

uint16_t wgcp_message_get_body_length(const wgcp_message *c)
{
    if (!usable(c))
        return 0;
    uint16_t length = wgcp_header_get_length(c->packet);
    if (length <= c->header_size)
        return 0;
    uint16_t body = static_cast<uint16_t>(length - c->header_size);
    return body < c->max_body ? body : c->max_body;
}

qnb_error wgcp_message_body_reader(const wgcp_message *c, wgcp_reader *out)
{
    if (!usable(c) || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader_init(out, c->packet + c->header_size, wgcp_message_get_body_length(c));
    return QNB_ERR_SUCCESS;
}

namespace {

// A writer over the body: offsets from the body start, room up to the maximum body.
void body_writer(wgcp_message *c, wgcp_writer *w)
{
    wgcp_writer_init(w, c->packet + c->header_size, c->max_body, wgcp_message_get_body_length(c));
}

void commit(wgcp_message *c, const wgcp_writer *w)
{
    wgcp_header_set_length(c->packet, static_cast<uint16_t>(c->header_size + w->length));
}

size_t pad_to(size_t at, size_t alignment)
{
    size_t rest = at % alignment;
    return rest ? alignment - rest : 0;
}

} // namespace

qnb_error wgcp_body_put_u16_array(wgcp_message *c, uint16_t count, wgcp_u16_array *out)
{
    if (!usable(c) || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_writer w;
    body_writer(c, &w);
    size_t pad = pad_to(w.length, 2);
    size_t need = pad + 2 + 2 * static_cast<size_t>(count);
    if (!wgcp_writer_fits(&w, need))
        return QNB_ERR_MSGSIZE;
    wgcp_writer_pad(&w, 2);
    size_t at = w.length;
    wgcp_writer_put_u16(&w, count);
    wgcp_writer_put_bytes(&w, nullptr, 2 * static_cast<size_t>(count));
    commit(c, &w);
    out->offset = static_cast<uint16_t>(at);
    out->count = count;
    out->items = w.data + at + 2;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_put_bytes(wgcp_message *c, uint16_t n, const void *src, uint16_t *out)
{
    if (!usable(c) || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_writer w;
    body_writer(c, &w);
    size_t pad = pad_to(w.length, 2);
    size_t size = static_cast<size_t>(n) + (n & 1u);
    if (!wgcp_writer_fits(&w, pad + size))
        return QNB_ERR_MSGSIZE;
    wgcp_writer_pad(&w, 2);
    size_t at = w.length;
    wgcp_writer_put_bytes(&w, src, n);
    wgcp_writer_pad(&w, 2);
    commit(c, &w);
    *out = static_cast<uint16_t>(at);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_put_string(wgcp_message *c, const char *text, uint16_t *out)
{
    if (!usable(c) || !text || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_writer w;
    body_writer(c, &w);
    size_t length = strnlen(text, WGCP_PACKET_SIZE);
    size_t pad = pad_to(w.length, 2);
    size_t size = length + 1;
    size += size & 1u;
    if (!wgcp_writer_fits(&w, pad + size))
        return QNB_ERR_MSGSIZE;
    wgcp_writer_pad(&w, 2);
    size_t at = w.length;
    wgcp_writer_put_bytes(&w, text, length);
    wgcp_writer_put_u8(&w, 0);
    wgcp_writer_pad(&w, 2);
    commit(c, &w);
    *out = static_cast<uint16_t>(at);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_put_u32(wgcp_message *c, uint32_t value, uint16_t *out)
{
    if (!usable(c) || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_writer w;
    body_writer(c, &w);
    if (!wgcp_writer_fits(&w, pad_to(w.length, 4) + 4))
        return QNB_ERR_MSGSIZE;
    wgcp_writer_pad(&w, 4);
    size_t at = w.length;
    wgcp_writer_put_u32(&w, value);
    commit(c, &w);
    *out = static_cast<uint16_t>(at);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_put_wstring(wgcp_message *c, const char16_t *text, uint16_t *out)
{
    if (!usable(c) || !text || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_writer w;
    body_writer(c, &w);
    size_t units = 0;
    while (units <= WGCP_PACKET_SIZE && text[units])
        ++units;
    if (!wgcp_writer_fits(&w, pad_to(w.length, 4) + 4 * (units + 1)))
        return QNB_ERR_MSGSIZE;
    wgcp_writer_pad(&w, 4);
    size_t at = w.length;
    for (size_t i = 0; i < units; ++i)
        wgcp_writer_put_u32(&w, text[i]);
    wgcp_writer_put_u32(&w, 0);
    commit(c, &w);
    *out = static_cast<uint16_t>(at);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_get_u16_array(wgcp_message *c, uint16_t offset, wgcp_u16_array *out)
{
    wgcp_reader r;
    if (!out || wgcp_message_body_reader(c, &r) || (offset & 1u) || offset >= r.size)
        return QNB_ERR_INVALIDPARAMETER;
    uint16_t count;
    if (wgcp_reader_u16_at(&r, offset, &count) || !wgcp_reader_has(&r, offset + 2u, 2 * static_cast<size_t>(count)))
        return QNB_ERR_INVALIDPARAMETER;
    out->offset = offset;
    out->count = count;
    out->items = c->packet + c->header_size + offset + 2;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_get_bytes(const wgcp_message *c, uint16_t offset, uint16_t n, void *dst)
{
    wgcp_reader r;
    if (n == 0 || wgcp_message_body_reader(c, &r) || (offset & 1u) || !wgcp_reader_has(&r, offset, n))
        return QNB_ERR_INVALIDPARAMETER;
    if (dst)
        wgcp_reader_bytes_at(&r, offset, dst, n);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_get_string(const wgcp_message *c, uint16_t offset, char *buf, size_t *len)
{
    wgcp_reader r;
    if (!buf || !len || *len == 0 || wgcp_message_body_reader(c, &r) || (offset & 1u) || offset >= r.size)
        return QNB_ERR_INVALIDPARAMETER;
    size_t length;
    if (wgcp_reader_string_at(&r, offset, buf, *len, &length)) {
        buf[0] = '\0';
        return QNB_ERR_INVALIDPARAMETER;
    }
    *len = length;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_get_u32(const wgcp_message *c, uint16_t offset, uint32_t *out)
{
    wgcp_reader r;
    if (!out || wgcp_message_body_reader(c, &r) || (offset & 3u) || wgcp_reader_u32_at(&r, offset, out))
        return QNB_ERR_INVALIDPARAMETER;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_body_get_wstring(const wgcp_message *c, uint16_t offset, char16_t *buf, size_t *cap)
{
    wgcp_reader r;
    if (!buf || !cap || *cap == 0 || wgcp_message_body_reader(c, &r) || (offset & 1u) || offset >= r.size)
        return QNB_ERR_INVALIDPARAMETER;
    size_t units;
    if (wgcp_reader_wstring_at(&r, offset, buf, *cap, &units))
        return QNB_ERR_INVALIDPARAMETER;
    *cap = units;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_u16_array_get(const wgcp_u16_array *a, uint16_t index, uint16_t *out)
{
    if (!a || !a->items || !out || index >= a->count)
        return QNB_ERR_INVALIDPARAMETER;
    *out = wgcp_load_be16(a->items + 2 * static_cast<size_t>(index));
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_u16_array_set(wgcp_u16_array *a, uint16_t index, uint16_t value)
{
    if (!a || !a->items || index >= a->count)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_store_be16(a->items + 2 * static_cast<size_t>(index), value);
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Builder

namespace {

uint32_t builder_limit(wgcp_builder *b)
{
    if (b->limit == 0)
        b->limit = WGCP_BUILDER_DEFAULT_LIMIT;
    return b->limit < WGCP_PACKET_SIZE ? b->limit : static_cast<uint32_t>(WGCP_PACKET_SIZE);
}

} // namespace

uint32_t wgcp_message_add_length(wgcp_builder *b, uint32_t n)
{
    if (!b)
        return 0;
    uint32_t limit = builder_limit(b);
    uint32_t length = wgcp_header_get_length(b->packet);
    if (n > limit || length > limit - n)
        return 0;
    wgcp_header_set_length(b->packet, static_cast<uint16_t>(length + n));
    return length + n;
}

uint32_t wgcp_message_set_body_length(wgcp_builder *b, uint32_t n)
{
    if (!b)
        return 0;
    uint32_t limit = builder_limit(b);
    if (n > limit - WGCP_HEADER_SIZE)
        return 0;
    wgcp_header_set_length(b->packet, static_cast<uint16_t>(WGCP_HEADER_SIZE + n));
    return WGCP_HEADER_SIZE + n;
}

uint16_t wgcp_message_alloc_aligned(wgcp_builder *b, uint32_t n, unsigned align_exp, uint8_t **out)
{
    if (!b || n == 0 || align_exp > 8)
        return 0;
    uint32_t limit = builder_limit(b);
    uint32_t mask = (1u << align_exp) - 1;
    uint32_t length = wgcp_header_get_length(b->packet);
    if (length & mask) {
        uint32_t raised = (length + mask) & ~mask;
        if (raised > limit)
            return 0;
        memset(b->packet + length, 0, raised - length);
        length = raised;
        wgcp_header_set_length(b->packet, static_cast<uint16_t>(length));
    }
    if (length > limit || n > limit - length)
        return 0;
    wgcp_header_set_length(b->packet, static_cast<uint16_t>(length + n));
    if (out)
        *out = b->packet + length;
    return static_cast<uint16_t>(length);
}

uint16_t wgcp_message_add_bytes(wgcp_builder *b, uint32_t n, unsigned align_exp, const void *src)
{
    uint8_t *at = nullptr;
    uint16_t offset = wgcp_message_alloc_aligned(b, n, align_exp, &at);
    if (offset) {
        if (src)
            memcpy(at, src, n);
        else
            memset(at, 0, n);
    }
    return offset;
}

uint16_t wgcp_add_string(wgcp_builder *b, const char *text)
{
    if (!b || !text)
        return 0;
    size_t length = strnlen(text, WGCP_PACKET_SIZE);
    if (length >= WGCP_PACKET_SIZE)
        return 0;
    uint8_t *at = nullptr;
    uint16_t offset = wgcp_message_alloc_aligned(b, static_cast<uint32_t>(length + 1), 0, &at);
    if (offset) {
        memcpy(at, text, length);
        at[length] = '\0';
    }
    return offset;
}

void qnb_put_u16_pair(uint8_t *dst, uint16_t a, uint16_t b)
{
    if (!dst)
        return;
    wgcp_store_be16(dst, a);
    wgcp_store_be16(dst + 2, b);
}

// ---------------------------------------------------------------------------------------------
// Resolvers

const uint8_t *wgcp_offset_resolve_sized(const uint8_t *packet, size_t received, uint16_t offset, uint32_t lower,
                                         uint32_t upper, unsigned align_exp, uint32_t min_size,
                                         uint32_t *out_size)
{
    static const char *const fn = "wgcp_offset_resolve_sized";
    if (offset == 0 || !packet)
        return nullptr;
    if (lower < WGCP_HEADER_SIZE)
        lower = WGCP_HEADER_SIZE;
    wgcp_reader r;
    wgcp_reader_init(&r, packet, received);
    uint16_t length = 0;
    wgcp_reader_u16_at(&r, 2, &length); // too short for a length field: end 0, refused below
    uint32_t end = length;
    if (received < end)
        end = static_cast<uint32_t>(received);
    if (upper != 0) {
        if (upper <= lower) {
            qnb_debug_print(QNB_DBG_NOTICE, "%s: upper bound %u < lower bound %u", fn, upper, lower);
            return nullptr;
        }
        if (upper < end)
            end = upper;
    }
    if (offset < lower || offset >= end) {
        qnb_debug_print(QNB_DBG_NOTICE, "%s: offset %u not in range %u .. %u", fn, offset, lower, end);
        return nullptr;
    }
    uint32_t available = end - offset;
    if (available < min_size) {
        qnb_debug_print(QNB_DBG_NOTICE, "%s: max size %u < min size %u", fn, available, min_size);
        return nullptr;
    }
    uint32_t mask = align_exp < 16 ? (1u << align_exp) - 1 : 0xFFFFu;
    if (offset & mask) {
        qnb_debug_print(QNB_DBG_NOTICE, "%s: offset %u mismatched alignment %u (%x)", fn, offset, align_exp, mask);
        return nullptr;
    }
    if (out_size)
        *out_size = available;
    return packet + offset;
}

const uint8_t *wgcp_offset_resolve(const uint8_t *packet, size_t received, uint16_t offset, uint32_t lower,
                                   unsigned align_exp, uint32_t min_size)
{
    return wgcp_offset_resolve_sized(packet, received, offset, lower, 0, align_exp, min_size, nullptr);
}

const char *wgcp_get_string(const uint8_t *packet, size_t received, uint16_t offset, uint32_t lower,
                            uint32_t upper, uint32_t *out_len)
{
    uint32_t available = 0;
    const uint8_t *field = wgcp_offset_resolve_sized(packet, received, offset, lower, upper, 0, 1, &available);
    if (!field)
        return nullptr;
    wgcp_reader r;
    wgcp_reader_init(&r, field, available);
    size_t length;
    if (wgcp_reader_string_at(&r, 0, nullptr, 0, &length))
        return nullptr;
    if (out_len)
        *out_len = static_cast<uint32_t>(length);
    return reinterpret_cast<const char *>(field);
}

const uint8_t *wgcp_resolve_array(const uint8_t *packet, size_t received, uint16_t offset, uint32_t lower,
                                  unsigned align_exp, uint32_t min_bytes, uint32_t *out_size)
{
    uint32_t available = 0;
    const uint8_t *field = wgcp_offset_resolve_sized(packet, received, offset, lower, 0, align_exp, 2, &available);
    if (!field)
        return nullptr;
    wgcp_reader r;
    wgcp_reader_init(&r, field, available);
    uint8_t words = 0;
    wgcp_reader_u8_at(&r, 0, &words);
    uint32_t size = 2u * words;
    if (size == 0 || size < min_bytes || size > available)
        return nullptr;
    if (out_size)
        *out_size = size;
    return field;
}

uint32_t qnb_addr_record_ipv4(const uint8_t *field, size_t available)
{
    wgcp_reader r;
    wgcp_reader_init(&r, field, available);
    uint8_t family = 0;
    uint32_t address;
    if (wgcp_reader_u8_at(&r, 1, &family) || family != 2 || wgcp_reader_bytes_at(&r, 4, &address, 4))
        return 0xFFFFFFFFu;
    return address; // as stored: network order
}

uint16_t qnb_addr_record_port(const uint8_t *field, size_t available)
{
    wgcp_reader r;
    wgcp_reader_init(&r, field, available);
    uint8_t family = 0;
    uint16_t port;
    if (wgcp_reader_u8_at(&r, 1, &family) || (family != 2 && family != 6) || wgcp_reader_bytes_at(&r, 2, &port, 2))
        return 0;
    return port; // as stored: network order, like the address
}

// ---------------------------------------------------------------------------------------------
// Status, names

qnb_error wgcp_status_to_error(uint16_t status)
{
    switch (status) {
    case 0x00:
    case 0x01:
    case 0x02:
        return QNB_ERR_SUCCESS;
    case 0x10:
    case 0x14:
    case 0x15:
    case 0x16:
        return QNB_ERR_VERSION;
    case 0x20:
    case 0x21:
    case 0x22:
    case 0x23:
        return QNB_ERR_MSGSIZE;
    case 0x30:
    case 0x31:
    case 0x40:
        return QNB_ERR_INVALIDDATA;
    case 0x32:
        return QNB_ERR_NOTSUPPORTED;
    case 0x81:
        return QNB_ERR_NOTCONN;
    case 0x82:
        return QNB_ERR_NOBUFS;
    default:
        return QNB_ERR_SYSTEM;
    }
}

const char *wgcp_message_kind_name(uint16_t status)
{
    switch (status) {
    case WGCP_STATUS_REQUEST: return "Request";
    case WGCP_STATUS_RESPONSE: return "Response";
    case WGCP_STATUS_EVENT: return "Event";
    case WGCP_STATUS_OPCODE_ERROR: return "Opcode error";
    case WGCP_STATUS_UNRECOGNISED_OPCODE: return "Unrecognised opcode";
    case WGCP_STATUS_UNSUPPORTED_OPCODE: return "Unsupported opcode";
    case WGCP_STATUS_SERVER_ERROR: return "Server error";
    case WGCP_STATUS_NOT_CONNECTED: return "Not connected";
    case WGCP_STATUS_TOO_MANY_CLIENTS: return "Too many clients";
    default: return "?";
    }
}

bool wgcp_name_is_valid(const char *text)
{
    if (!text)
        return false;
    size_t length = strnlen(text, WGCP_NAME_MAX + 1);
    if (length == 0 || length > WGCP_NAME_MAX)
        return false;
    return strpbrk(text, ".=@") == nullptr;
}
