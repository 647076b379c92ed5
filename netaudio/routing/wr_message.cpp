#include "netaudio/routing/wr_message.h"

#include <cstring>

#include "netaudio/messaging/wgcp_buffer.h"

const uint16_t wr_msg_property_ids[WR_PROPERTY_COUNT] = {0x0201, 0x8204, 0x8205, 0x0210, 0x0211,
                                                         0x8301, 0x8302, 0x8306, 0x0310, 0x0311,
                                                         0x0303, 0x8021, 0x00F0, 0x8060, 0x0022};

namespace {

const uint16_t PROPERTY_STRING_ID = 0x8021;

struct property_bit {
    uint16_t id;
    uint8_t bit;
};

const property_bit property_bits[] = {
    {0x8204, 0}, {0x8205, 1}, {0x0210, 2},  {0x0211, 3},  {0x8301, 4},  {0x8302, 5},  {0x8306, 6},  {0x8304, 7},
    {0x0310, 8}, {0x0311, 9}, {0x0303, 10}, {0x8021, 11}, {0x00F0, 12}, {0x0022, 13}, {0x0201, 14}, {0x8060, 15},
};

unsigned saturate(unsigned value, unsigned max)
{
    return value > max ? max : value;
}

// A view of the message's bytes for the bounded readers.
void message_reader(const wr_msg_response *m, wgcp_reader *r)
{
    wgcp_reader_init(r, m ? m->data : nullptr, m ? m->size : 0);
}

// A field of at least `min_size` bytes at `offset`, 2^align_exp aligned, at or behind `lower` and
// inside the message; its bytes as a view.
bool resolve(const wr_msg_response *m, uint16_t offset, uint16_t lower, unsigned align_exp, uint32_t min_size,
             wgcp_reader *out)
{
    uint32_t available = 0;
    const uint8_t *field =
        wgcp_offset_resolve_sized(m->data, m->size, offset, lower, 0, align_exp, min_size, &available);
    if (!field)
        return false;
    wgcp_reader_init(out, field, available);
    return true;
}

// Entry i for a reader that fills *out: *out is cleared first, so a refused entry leaves nothing.
template <typename T>
qnb_error entry_open(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, uint16_t size, T *out,
                     wgcp_reader *r)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    return wr_msg_entry_view(m, l, i, size, r);
}

uint16_t get16(const wgcp_reader *r, size_t offset)
{
    uint16_t v = 0;
    wgcp_reader_u16_at(r, offset, &v);
    return v;
}

void update_capacity(wr_msg_list *l)
{
    uint8_t *packet = l->builder->packet;
    if (!(l->flags & WR_MSG_LIST_FIXED_CAPACITY))
        packet[10] = static_cast<uint8_t>(l->count);
    packet[11] = static_cast<uint8_t>(l->count);
}

qnb_error list_begin_for(wr_msg_list *l, wgcp_builder *b, uint16_t version, uint16_t opcode, uint16_t stride,
                         uint16_t room, uint16_t reserve, uint16_t flags)
{
    qnb_error e = wr_msg_begin(b, version, opcode);
    if (e)
        return e;
    return wr_msg_list_begin(l, b, stride, room, reserve, flags);
}

// The next entry of a list of named records, with `name` stored among the shared strings.
qnb_error named_entry(wr_msg_list *l, const char *name, uint16_t *offset, uint8_t **entry)
{
    if (l->count >= l->room)
        return QNB_ERR_NOBUFS;
    qnb_error e = wr_msg_list_add_string(l, name, offset);
    if (!e)
        e = wr_msg_list_next(l, entry);
    return e;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Versions

uint16_t wr_msg_protocol_version(uint16_t arcp_version)
{
    return arcp_version < WR_PROTOCOL_VERSION_MAX ? arcp_version : static_cast<uint16_t>(WR_PROTOCOL_VERSION_MAX);
}

uint16_t wr_msg_arcp_version_pack(unsigned major, unsigned minor, unsigned patch)
{
    return static_cast<uint16_t>(saturate(major, 15) << 12 | saturate(minor, 15) << 8 | saturate(patch, 255));
}

uint32_t wr_msg_router_version_pack(unsigned major, unsigned minor, unsigned patch)
{
    return saturate(major, 255) << 24 | saturate(minor, 255) << 16 | saturate(patch, 0xFFFF);
}

uint32_t wr_msg_router_version_from_record(uint32_t field)
{
    return wr_msg_router_version_pack(field >> 24, (field >> 16) & 0xFF, (field >> 8) & 0xFF);
}

// ---------------------------------------------------------------------------------------------
// Results

bool wr_msg_result_is_ok(uint16_t result)
{
    return (result & 0xFFF) == WR_RESULT_OK;
}

bool wr_msg_result_has_more(uint16_t result)
{
    return (result & 0xFFF) == WR_RESULT_MORE;
}

bool wr_msg_result_is_reply(uint16_t result)
{
    return wr_msg_result_is_ok(result) || (result & WR_RESULT_REPLY);
}

bool wr_msg_result_is_unsupported(uint16_t result)
{
    return (result & 0xFF0) == 0x030;
}

qnb_error wr_msg_result_to_error(uint16_t result)
{
    if (wr_msg_result_is_ok(result) || wr_msg_result_has_more(result))
        return QNB_ERR_SUCCESS;
    switch (result & 0x7FF0) {
    case 0x000:
        // 0x000 and 0x8000 carry no error; any other low nibble is an error code of its own and
        // must not pass as success.
        return (result & 0x000F) == 0 ? QNB_ERR_SUCCESS : QNB_ERR_FAULT;
    case 0x010:
        return QNB_ERR_VERSION;
    case 0x020:
        return QNB_ERR_MSGSIZE;
    case 0x030:
        return QNB_ERR_NOTSUPPORTED;
    case 0x0F0:
        return QNB_ERR_INVALIDSTATE;
    case 0x100:
        return QNB_ERR_INVALIDDATA;
    case 0x110:
        return QNB_ERR_MSGSIZE;
    case 0x600:
        return QNB_ERR_POLICY;
    default:
        return QNB_ERR_FAULT;
    }
}

// ---------------------------------------------------------------------------------------------
// Header and entry lists

qnb_error wr_msg_begin(wgcp_builder *b, uint16_t version, uint16_t opcode)
{
    if (!b)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_header_init(b->packet, version, 0, opcode);
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_list_begin(wr_msg_list *l, wgcp_builder *b, uint16_t stride, uint16_t room, uint16_t reserve,
                            uint16_t flags)
{
    if (!l || !b || stride == 0 || room > 255)
        return QNB_ERR_INVALIDPARAMETER;
    if (reserve == 0)
        reserve = stride;
    if (reserve < stride)
        return QNB_ERR_INVALIDPARAMETER;
    uint32_t area = 2u + static_cast<uint32_t>(room) * reserve;
    if (wgcp_message_set_body_length(b, area) == 0)
        return QNB_ERR_MSGSIZE;
    memset(b->packet + WR_HEADER_SIZE, 0, area);
    memset(l, 0, sizeof *l);
    l->builder = b;
    l->stride = stride;
    l->room = room;
    l->flags = flags;
    b->packet[10] = static_cast<uint8_t>((flags & WR_MSG_LIST_FIXED_CAPACITY) ? room : 0);
    b->packet[11] = 0;
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_list_next(wr_msg_list *l, uint8_t **entry)
{
    if (!l || !l->builder || !entry)
        return QNB_ERR_INVALIDPARAMETER;
    if (l->count >= l->room)
        return QNB_ERR_NOBUFS;
    uint8_t *at = l->builder->packet + WR_LIST_HEAD + static_cast<size_t>(l->count) * l->stride;
    memset(at, 0, l->stride);
    l->count++;
    update_capacity(l);
    *entry = at;
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_list_add_string(wr_msg_list *l, const char *text, uint16_t *offset)
{
    if (!l || !l->builder || !offset)
        return QNB_ERR_INVALIDPARAMETER;
    *offset = 0;
    if (!text || !text[0])
        return QNB_ERR_SUCCESS;
    const uint8_t *packet = l->builder->packet;
    for (uint16_t i = 0; i < l->string_count; i++) {
        const char *stored = reinterpret_cast<const char *>(packet + l->strings[i]);
        if (strcmp(stored, text) == 0) {
            *offset = l->strings[i];
            return QNB_ERR_SUCCESS;
        }
    }
    uint16_t at = wgcp_add_string(l->builder, text);
    if (at == 0)
        return QNB_ERR_MSGSIZE;
    if (l->string_count < WR_MSG_SHARED_STRINGS)
        l->strings[l->string_count++] = at;
    *offset = at;
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_list_add_u32(wr_msg_list *l, uint32_t value, uint16_t *offset)
{
    uint8_t bytes[4];
    wgcp_store_be32(bytes, value);
    return wr_msg_list_add_bytes(l, bytes, 4, 2, offset);
}

qnb_error wr_msg_list_add_bytes(wr_msg_list *l, const void *src, uint16_t n, unsigned align_exp, uint16_t *offset)
{
    if (!l || !l->builder || !offset || n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    // Keep the length as it was when the field does not fit, padding included.
    uint16_t before = wgcp_header_get_length(l->builder->packet);
    uint16_t at = wgcp_message_add_bytes(l->builder, n, align_exp, src);
    if (at == 0) {
        wgcp_header_set_length(l->builder->packet, before);
        return QNB_ERR_MSGSIZE;
    }
    *offset = at;
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Requests

qnb_error wr_msg_build_empty(wgcp_builder *b, uint16_t version, uint16_t opcode)
{
    return wr_msg_begin(b, version, opcode);
}

qnb_error wr_msg_build_range_query(wgcp_builder *b, uint16_t version, uint16_t opcode, uint16_t first)
{
    wr_msg_list l;
    qnb_error e = list_begin_for(&l, b, version, opcode, WR_RANGE_SIZE, 1, 0, 0);
    uint8_t *entry = nullptr;
    if (!e)
        e = wr_msg_list_next(&l, &entry);
    if (!e)
        qnb_put_u16_pair(entry, first, 0);
    return e;
}

qnb_error wr_msg_build_properties_query(wgcp_builder *b, uint16_t version)
{
    wr_msg_list l;
    qnb_error e = list_begin_for(&l, b, version, WR_OP_PROPERTIES, WR_PROPERTY_ID_SIZE, WR_PROPERTY_COUNT, 0, 0);
    for (unsigned i = 0; !e && i < WR_PROPERTY_COUNT; i++) {
        uint8_t *entry = nullptr;
        e = wr_msg_list_next(&l, &entry);
        if (!e)
            wgcp_store_be16(entry, wr_msg_property_ids[i]);
    }
    return e;
}

size_t wr_msg_fold_ids(const uint16_t *ids, size_t count, uint16_t (*out)[2], size_t capacity, size_t *covered)
{
    size_t ranges = 0;
    size_t carried = 0;
    bool full = false;
    size_t i = 0;
    while (ids && i < count) {
        if (ids[i] == 0) {
            i++;
            continue;
        }
        size_t j = i + 1;
        while (j < count && ids[j] == ids[j - 1] + 1)
            j++;
        if (ranges < capacity) {
            if (out) {
                out[ranges][0] = j - i > 1 ? ids[i] : 0;
                out[ranges][1] = ids[j - 1];
            }
        } else if (!full) {
            full = true;
            carried = i; // the ids before this run went out
        }
        ranges++;
        i = j;
    }
    if (covered)
        *covered = !ids ? 0 : full ? carried : count;
    return ranges;
}

qnb_error wr_msg_build_id_list(wgcp_builder *b, uint16_t version, uint16_t opcode, const uint16_t *ids, size_t count,
                               size_t *written)
{
    if (written)
        *written = 0;
    if (!b || (!ids && count > 0))
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error e = wr_msg_begin(b, version, opcode);
    if (e)
        return e;
    // Ranges that fit the limit and the count byte.
    uint32_t limit = b->limit ? b->limit : static_cast<uint32_t>(WR_MESSAGE_MAX);
    if (limit > WGCP_PACKET_SIZE)
        limit = WGCP_PACKET_SIZE;
    size_t fit = limit > WR_LIST_HEAD ? (limit - WR_LIST_HEAD) / WR_RANGE_SIZE : 0;
    if (fit > 255)
        fit = 255;
    uint16_t ranges[255][2];
    size_t covered = 0;
    size_t needed = wr_msg_fold_ids(ids, count, ranges, fit, &covered);
    size_t n = needed < fit ? needed : fit;
    wr_msg_list l;
    e = wr_msg_list_begin(&l, b, WR_RANGE_SIZE, static_cast<uint16_t>(n), 0, 0);
    for (size_t i = 0; !e && i < n; i++) {
        uint8_t *entry = nullptr;
        e = wr_msg_list_next(&l, &entry);
        if (!e)
            qnb_put_u16_pair(entry, ranges[i][0], ranges[i][1]);
    }
    if (!e && written)
        *written = covered;
    return e;
}

qnb_error wr_msg_subscribe_begin(wr_msg_list *l, wgcp_builder *b, uint16_t version, uint16_t n)
{
    if (n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    return list_begin_for(l, b, version, WR_OP_RX_SUBSCRIBE, WR_SUBSCRIBE_RECORD_SIZE, n, WR_SUBSCRIBE_RESERVE, 0);
}

qnb_error wr_msg_subscribe_add(wr_msg_list *l, uint16_t rx_id, const char *tx_channel, const char *tx_device)
{
    bool has_channel = tx_channel && tx_channel[0], has_device = tx_device && tx_device[0];
    if (!l || !l->builder || rx_id == 0 || has_channel != has_device)
        return QNB_ERR_INVALIDPARAMETER;
    if (l->count >= l->room)
        return QNB_ERR_NOBUFS;
    uint16_t before = wgcp_header_get_length(l->builder->packet);
    uint16_t strings = l->string_count;
    uint16_t channel = 0, device = 0;
    qnb_error e = wr_msg_list_add_string(l, tx_channel, &channel);
    if (!e)
        e = wr_msg_list_add_string(l, tx_device, &device);
    uint8_t *entry = nullptr;
    if (!e)
        e = wr_msg_list_next(l, &entry);
    if (e) {
        wgcp_header_set_length(l->builder->packet, before);
        l->string_count = strings;
        return e;
    }
    wgcp_store_be16(entry, rx_id);
    wgcp_store_be16(entry + 2, channel);
    wgcp_store_be16(entry + 4, device);
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_rx_rename_begin(wr_msg_list *l, wgcp_builder *b, uint16_t version, uint16_t n)
{
    if (n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    return list_begin_for(l, b, version, WR_OP_RX_RENAME, WR_RENAME_RECORD_SIZE, n, 0, 0);
}

qnb_error wr_msg_rx_rename_add(wr_msg_list *l, uint16_t rx_id, const char *name)
{
    if (!l || !l->builder || rx_id == 0)
        return QNB_ERR_INVALIDPARAMETER;
    uint16_t offset = 0;
    uint8_t *entry = nullptr;
    qnb_error e = named_entry(l, name, &offset, &entry);
    if (e)
        return e;
    qnb_put_u16_pair(entry, rx_id, offset);
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_label_begin(wr_msg_list *l, wgcp_builder *b, uint16_t version, uint16_t n)
{
    if (n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    return list_begin_for(l, b, version, WR_OP_TX_LABEL_CHANGE, WR_LABEL_RECORD_SIZE, n, 0, 0);
}

qnb_error wr_msg_label_add(wr_msg_list *l, uint16_t label_id, uint16_t channel_id, const char *name)
{
    if (!l || !l->builder)
        return QNB_ERR_INVALIDPARAMETER;
    uint16_t offset = 0;
    uint8_t *entry = nullptr;
    qnb_error e = named_entry(l, name, &offset, &entry);
    if (e)
        return e;
    wgcp_store_be16(entry, label_id);
    wgcp_store_be16(entry + 2, channel_id);
    wgcp_store_be16(entry + 4, offset);
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_unicast_performance_begin(wr_msg_list *l, wgcp_builder *b, uint16_t version)
{
    return list_begin_for(l, b, version, WR_OP_UNICAST_PERFORMANCE, WR_PROPERTY_SIZE, WR_UNICAST_PERFORMANCE_ROOM, 0,
                          WR_MSG_LIST_FIXED_CAPACITY);
}

qnb_error wr_msg_property_add_u16(wr_msg_list *l, uint16_t id, uint16_t value)
{
    uint8_t *entry = nullptr;
    qnb_error e = wr_msg_list_next(l, &entry);
    if (!e)
        qnb_put_u16_pair(entry, id, value);
    return e;
}

qnb_error wr_msg_property_add_u32(wr_msg_list *l, uint16_t id, uint32_t value)
{
    if (!l || !l->builder)
        return QNB_ERR_INVALIDPARAMETER;
    if (l->count >= l->room)
        return QNB_ERR_NOBUFS;
    uint16_t offset = 0;
    qnb_error e = wr_msg_list_add_u32(l, value, &offset);
    if (e)
        return e;
    return wr_msg_property_add_u16(l, id, offset);
}

// ---------------------------------------------------------------------------------------------
// Property table

int wr_msg_property_kind(uint16_t id)
{
    if (id == PROPERTY_STRING_ID)
        return WR_PROPERTY_STRING;
    return (id & 0x8000) ? WR_PROPERTY_U32 : WR_PROPERTY_U16;
}

int wr_msg_property_bit(uint16_t id)
{
    for (const property_bit &p : property_bits)
        if (p.id == id)
            return p.bit;
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Responses

qnb_error wr_msg_response_init(wr_msg_response *m, const void *data, size_t received)
{
    if (!m || (!data && received))
        return QNB_ERR_INVALIDPARAMETER;
    memset(m, 0, sizeof *m);
    wgcp_header header;
    if (wgcp_header_decode(data, received, &header))
        return QNB_ERR_INVALIDDATA;
    m->header = header;
    m->data = static_cast<const uint8_t *>(data);
    if (header.length < WR_HEADER_SIZE || header.length > received) {
        m->size = 0;
        return QNB_ERR_INVALIDDATA;
    }
    m->size = header.length;
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_read_list(const wr_msg_response *m, uint16_t stride, wr_msg_entries *out)
{
    if (!m || !out || stride == 0)
        return QNB_ERR_INVALIDPARAMETER;
    out->count = 0;
    out->stride = stride;
    out->end = WR_LIST_HEAD;
    if (m->size < WR_LIST_HEAD)
        return QNB_ERR_SUCCESS;
    uint8_t count = m->data[11];
    uint32_t end = WR_LIST_HEAD + static_cast<uint32_t>(count) * stride;
    if (end > m->size)
        return QNB_ERR_INVALIDDATA;
    out->count = count;
    out->end = static_cast<uint16_t>(end);
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_entry_view(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, uint16_t size,
                            wgcp_reader *out)
{
    if (!m || !l || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (i >= l->count || l->stride < size)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    message_reader(m, &r);
    return wgcp_reader_sub(&r, WR_LIST_HEAD + static_cast<size_t>(i) * l->stride, size, out);
}

qnb_error wr_msg_entry_u16(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, uint16_t field,
                           uint16_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    if (l && static_cast<uint32_t>(field) + 2 > l->stride)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    qnb_error e = wr_msg_entry_view(m, l, i, l ? l->stride : 0, &r);
    if (e)
        return e;
    return wgcp_reader_u16_at(&r, field, out);
}

qnb_error wr_msg_read_range(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_range *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader r;
    qnb_error e = wr_msg_entry_view(m, l, i, WR_RANGE_SIZE, &r);
    if (e)
        return e;
    out->first = get16(&r, 0);
    out->last = get16(&r, 2);
    return QNB_ERR_SUCCESS;
}

bool wr_msg_range_clamp(wr_msg_range range, uint16_t channel_count, uint16_t *first, uint16_t *last)
{
    uint16_t a, b;
    if (range.first == 0) {
        if (range.last == 0 || range.last > channel_count)
            return false;
        a = b = range.last;
    } else {
        a = range.first;
        b = (range.last == 0 || range.last > channel_count) ? channel_count : range.last;
        if (b < a)
            return false;
    }
    if (first)
        *first = a;
    if (last)
        *last = b;
    return true;
}

qnb_error wr_msg_read_name(const wr_msg_response *m, uint16_t offset, uint16_t lower, char name[WR_NAME_SIZE])
{
    if (!m || !name)
        return QNB_ERR_INVALIDPARAMETER;
    name[0] = '\0';
    if (offset == 0)
        return QNB_ERR_SUCCESS;
    wgcp_reader r;
    if (!resolve(m, offset, lower, 0, 1, &r))
        return QNB_ERR_INVALIDDATA;
    size_t length = 0;
    if (wgcp_reader_string_at(&r, 0, nullptr, 0, &length))
        return QNB_ERR_INVALIDDATA;
    if (length > WR_NAME_SIZE - 1)
        return QNB_ERR_TRUNCATED;
    wgcp_reader_string_at(&r, 0, name, WR_NAME_SIZE, nullptr);
    return QNB_ERR_SUCCESS;
}

bool wr_msg_name_is_valid(const char *name)
{
    return wgcp_name_is_valid(name);
}

qnb_error wr_msg_read_property(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_property *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader r;
    qnb_error e = wr_msg_entry_view(m, l, i, WR_PROPERTY_SIZE, &r);
    if (e)
        return e;
    out->id = get16(&r, 0);
    out->value = get16(&r, 2);
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_find_property(const wr_msg_response *m, const wr_msg_entries *l, uint16_t id, wr_msg_property *out)
{
    if (!m || !l || !out)
        return QNB_ERR_INVALIDPARAMETER;
    for (uint16_t i = 0; i < l->count; i++) {
        wr_msg_property p;
        qnb_error e = wr_msg_read_property(m, l, i, &p);
        if (e)
            return e;
        if (p.id == id) {
            *out = p;
            return QNB_ERR_SUCCESS;
        }
    }
    return QNB_ERR_NOTFOUND;
}

qnb_error wr_msg_property_u32(const wr_msg_response *m, const wr_msg_entries *l, const wr_msg_property *p,
                              uint32_t *out)
{
    if (!m || !l || !p || !out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader r;
    if (!resolve(m, p->value, l->end, 2, 4, &r))
        return QNB_ERR_INVALIDDATA;
    return wgcp_reader_u32_at(&r, 0, out);
}

qnb_error wr_msg_property_text(const wr_msg_response *m, const wr_msg_entries *l, const wr_msg_property *p,
                               char text[WR_PROPERTY_TEXT_SIZE])
{
    if (!m || !l || !p || !text)
        return QNB_ERR_INVALIDPARAMETER;
    text[0] = '\0';
    if (p->value == 0)
        return QNB_ERR_SUCCESS;
    wgcp_reader r;
    if (!resolve(m, p->value, l->end, 0, 1, &r))
        return QNB_ERR_INVALIDDATA;
    return wgcp_reader_string_at(&r, 0, text, WR_PROPERTY_TEXT_SIZE, nullptr);
}

// Capabilities

qnb_error wr_msg_read_capabilities(const wr_msg_response *m, wr_msg_capabilities *out)
{
    if (!m || !out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    if (m->size < WR_CAPABILITIES_SIZE)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    message_reader(m, &r);
    uint16_t version = m->header.protocol;
    wr_msg_capabilities c;
    memset(&c, 0, sizeof c);
    c.version = version;
    c.word = get16(&r, 10);
    c.tx_channels = get16(&r, 12);
    c.rx_channels = get16(&r, 14);
    c.tx_flow_slots = get16(&r, 18);
    c.rx_flow_slots = get16(&r, 20);
    // A gated field is read when the version allows it and its bytes are there (get16 leaves 0).
    if (version >= WR_VERSION_CAPS_SIZES) {
        c.tx_flow_max = get16(&r, 22);
        c.rx_flow_max = get16(&r, 24);
        c.tx_label_slots = get16(&r, 26);
        c.interfaces = get16(&r, 30);
    }
    if (version >= WR_VERSION_CAPS_FLAGS)
        wgcp_reader_u32_at(&r, 32, &c.flag_word);
    if (version >= WR_VERSION_CAPS_ARRAYS) {
        c.array_switch = get16(&r, 36);
        c.array_mask = get16(&r, 38);
    }
    if (c.tx_channels > WR_MSG_MAX_CHANNELS || c.rx_channels > WR_MSG_MAX_CHANNELS ||
        c.tx_label_slots > WR_MSG_MAX_LABEL_SLOTS || c.tx_flow_max > WR_MSG_MAX_FLOW_ID ||
        c.rx_flow_max > WR_MSG_MAX_FLOW_ID || c.tx_flow_slots > WR_MSG_MAX_FLOW_SLOTS ||
        c.rx_flow_slots > WR_MSG_MAX_FLOW_SLOTS || c.interfaces > WR_MSG_MAX_INTERFACES)
        return QNB_ERR_INVALIDDATA;
    *out = c;
    return QNB_ERR_SUCCESS;
}

uint32_t wr_msg_capability_flags(const wr_msg_capabilities *c, bool *names_again)
{
    if (names_again)
        *names_again = false;
    if (!c)
        return 0;
    if (c->version < WR_VERSION_CAPS_FLAGS)
        return (c->tx_channels == 0 && c->rx_channels == 0) ? WR_CAPABILITY_FLAG1 : 0;
    uint32_t flags = 0;
    if (c->flag_word & WR_CAPS_FLAG_WORD_BIT1)
        flags |= WR_CAPABILITY_FLAG2;
    if (c->flag_word & WR_CAPS_FLAG_WORD_BIT16)
        flags |= WR_CAPABILITY_FLAG1;
    if (c->flag_word & WR_CAPS_FLAG_WORD_BIT17) {
        flags |= WR_CAPABILITY_FLAG0;
        if (names_again)
            *names_again = true;
    }
    return flags;
}

uint32_t wr_msg_capabilities_array_size(const wr_msg_capabilities *c)
{
    return c ? static_cast<uint32_t>(c->rx_flow_max) * c->interfaces : 0;
}

// Format block

qnb_error wr_msg_read_format(const wr_msg_response *m, uint16_t offset, uint16_t lower, wr_msg_format *out)
{
    if (!m || !out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    if (offset == 0)
        return QNB_ERR_SUCCESS;
    wgcp_reader r;
    if (!resolve(m, offset, lower, 2, WR_FORMAT_MIN_SIZE, &r))
        return QNB_ERR_INVALIDDATA;
    uint8_t a = 0, b = 0;
    wgcp_reader_u32_at(&r, 0, &out->word);
    wgcp_reader_u8_at(&r, 4, &a);
    wgcp_reader_u8_at(&r, 5, &b);
    if (a > 0 && !wgcp_reader_has(&r, 0, 14 + 2u * a)) {
        memset(out, 0, sizeof *out);
        return QNB_ERR_INVALIDDATA;
    }
    out->present = true;
    out->a_count = a;
    unsigned keep = b < a ? b : a;
    if (keep > WR_MSG_FORMAT_VALUES)
        keep = WR_MSG_FORMAT_VALUES;
    out->count = static_cast<uint8_t>(keep);
    for (unsigned i = 0; i < keep; i++)
        out->values[i] = get16(&r, 6 + 2 * i);
    if (a > 0)
        for (unsigned i = 0; i < 3; i++)
            out->extra[i] = get16(&r, 8 + 2u * a + 2 * i);
    return QNB_ERR_SUCCESS;
}

bool wr_msg_format_equal(const wr_msg_format *a, const wr_msg_format *b)
{
    if (!a || !b)
        return a == b;
    if (a->present != b->present || a->word != b->word || a->a_count != b->a_count || a->count != b->count)
        return false;
    for (unsigned i = 0; i < a->count; i++)
        if (a->values[i] != b->values[i])
            return false;
    for (unsigned i = 0; i < 3; i++)
        if (a->extra[i] != b->extra[i])
            return false;
    return true;
}

// Channel entries

qnb_error wr_msg_read_tx_entry(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_tx_entry *out)
{
    wgcp_reader r;
    qnb_error e = entry_open(m, l, i, WR_TX_ENTRY_SIZE, out, &r);
    if (e)
        return e;
    out->id = get16(&r, 0);
    out->flags = get16(&r, 2);
    out->status = static_cast<uint8_t>((out->flags >> 1) & 7);
    out->value_valid = (out->flags & 0x100) != 0;
    e = wr_msg_read_format(m, get16(&r, 4), l->end, &out->format);
    if (!e)
        e = wr_msg_read_name(m, get16(&r, 6), l->end, out->name);
    if (e == QNB_ERR_TRUNCATED || (!e && !wr_msg_name_is_valid(out->name)))
        e = QNB_ERR_INVALIDPARAMETER;
    return e;
}

qnb_error wr_msg_read_rx_entry(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_rx_entry *out)
{
    wgcp_reader r;
    qnb_error e = entry_open(m, l, i, WR_RX_ENTRY_SIZE, out, &r);
    if (e)
        return e;
    out->id = get16(&r, 0);
    out->flags = get16(&r, 2);
    out->status = static_cast<uint8_t>((out->flags >> 4) & 3);
    out->mode = static_cast<uint8_t>(((out->flags >> 3) & 1) | (((out->flags >> 10) & 1) << 2));
    e = wr_msg_read_format(m, get16(&r, 4), l->end, &out->format);
    if (e)
        return e;
    // The rx channel's own name is kept as the device gives it; only one that does not fit its
    // field is refused.
    e = wr_msg_read_name(m, get16(&r, 10), l->end, out->name);
    if (e == QNB_ERR_TRUNCATED)
        return QNB_ERR_INVALIDPARAMETER;
    if (e)
        return e;

    // Subscription: an unreadable offset refuses the entry, a name that fails the rule clears it.
    qnb_error ec = wr_msg_read_name(m, get16(&r, 6), l->end, out->tx_channel);
    qnb_error ed = wr_msg_read_name(m, get16(&r, 8), l->end, out->tx_device);
    if (ec == QNB_ERR_INVALIDDATA || ed == QNB_ERR_INVALIDDATA)
        return QNB_ERR_INVALIDDATA;
    bool local = strcmp(out->tx_device, ".") == 0 && (out->mode & WR_RX_MODE_LOCAL);
    bool kept = !ec && !ed && wr_msg_name_is_valid(out->tx_channel) &&
                (wr_msg_name_is_valid(out->tx_device) || local);
    if (kept) {
        out->subscription_status = static_cast<uint8_t>(get16(&r, 14) & 0xFF);
    } else {
        out->tx_channel[0] = '\0';
        out->tx_device[0] = '\0';
    }

    uint8_t mask = 0, bits = 0;
    wgcp_reader_u8_at(&r, 12, &mask);
    wgcp_reader_u8_at(&r, 13, &bits);
    while (out->flow_flag_count < 2 && (mask >> out->flow_flag_count) & 1) {
        out->flow_flags[out->flow_flag_count] = (bits >> out->flow_flag_count) & 1;
        out->flow_flag_count++;
    }

    out->value = WR_VALUE_NONE;
    uint16_t block = get16(&r, 18);
    if ((out->flags & 0x100) && block != 0) {
        wgcp_reader v;
        if (!resolve(m, block, l->end, 0, WR_VALUE_BLOCK_SIZE, &v))
            return QNB_ERR_INVALIDDATA;
        uint8_t length = 0;
        wgcp_reader_u8_at(&v, 0, &length);
        if (length > 1)
            out->value = get16(&v, 2);
    }
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_read_label(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_label *out)
{
    wgcp_reader r;
    qnb_error e = entry_open(m, l, i, WR_LABEL_RECORD_SIZE, out, &r);
    if (e)
        return e;
    out->label_id = get16(&r, 0);
    out->channel_id = get16(&r, 2);
    return wr_msg_read_name(m, get16(&r, 4), l->end, out->name);
}

qnb_error wr_msg_read_subscribe_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i,
                                       wr_msg_subscribe_record *out)
{
    wgcp_reader r;
    qnb_error e = entry_open(m, l, i, WR_SUBSCRIBE_RECORD_SIZE, out, &r);
    if (e)
        return e;
    out->rx_id = get16(&r, 0);
    e = wr_msg_read_name(m, get16(&r, 2), l->end, out->tx_channel);
    if (!e)
        e = wr_msg_read_name(m, get16(&r, 4), l->end, out->tx_device);
    return e;
}

qnb_error wr_msg_read_rename_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i,
                                    wr_msg_rename_record *out)
{
    wgcp_reader r;
    qnb_error e = entry_open(m, l, i, WR_RENAME_RECORD_SIZE, out, &r);
    if (e)
        return e;
    out->rx_id = get16(&r, 0);
    return wr_msg_read_name(m, get16(&r, 2), l->end, out->name);
}

qnb_error wr_msg_read_value_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i,
                                   wr_msg_value_record *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader r;
    qnb_error e = wr_msg_entry_view(m, l, i, WR_VALUE_RECORD_SIZE, &r);
    if (e)
        return e;
    out->range.first = get16(&r, 0);
    out->range.last = get16(&r, 2);
    out->value = get16(&r, 4);
    return QNB_ERR_SUCCESS;
}

// Names, versions, performance

qnb_error wr_msg_read_names(const wr_msg_response *m, char name[WR_NAME_SIZE])
{
    if (!m || !name)
        return QNB_ERR_INVALIDPARAMETER;
    name[0] = '\0';
    if (m->size <= WR_HEADER_SIZE)
        return QNB_ERR_INVALIDDATA;
    return wr_msg_read_name(m, WR_HEADER_SIZE, WR_HEADER_SIZE, name);
}

qnb_error wr_msg_read_names_ext(const wr_msg_response *m, wr_msg_names_ext *out)
{
    enum { LOWER = 16 };
    if (!m || !out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    if (m->size < LOWER)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    message_reader(m, &r);
    uint16_t names = get16(&r, 12);
    uint16_t version = get16(&r, 14);
    wr_msg_names_ext n;
    memset(&n, 0, sizeof n);
    wgcp_reader rec;
    if (names) {
        if (!resolve(m, names, LOWER, 2, WR_NAMES_RECORD_SIZE, &rec))
            return QNB_ERR_INVALIDDATA;
        char *fields[3] = {n.first, n.second, n.third};
        for (unsigned i = 0; i < 3; i++) {
            qnb_error e = wr_msg_read_name(m, get16(&rec, 2 + 2 * i), LOWER, fields[i]);
            if (e)
                return e;
        }
        n.has_names = true;
    }
    if (version) {
        if (!resolve(m, version, LOWER, 2, WR_VERSION_RECORD_SIZE, &rec))
            return QNB_ERR_INVALIDDATA;
        uint32_t router = 0;
        wgcp_reader_u32_at(&rec, 4, &router);
        n.router_version = wr_msg_router_version_from_record(router);
        n.arcp_version = get16(&rec, 8);
        n.has_version = true;
    }
    *out = n;
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_read_performance(const wr_msg_response *m, uint16_t *first, uint16_t *second)
{
    if (!m || !first || !second)
        return QNB_ERR_INVALIDPARAMETER;
    if (m->size < WR_PERFORMANCE_SIZE)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    message_reader(m, &r);
    *first = get16(&r, 14);
    *second = get16(&r, 16);
    return QNB_ERR_SUCCESS;
}

// Per-device arrays

qnb_error wr_msg_read_device_array(const wr_msg_response *m, bool wide, wr_msg_device_array *out)
{
    if (!m || !out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    if (m->size < WR_DEVICE_ARRAY_HEAD)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    message_reader(m, &r);
    wr_msg_device_array a;
    memset(&a, 0, sizeof a);
    a.status = get16(&r, 14);
    a.flows = get16(&r, 16);
    a.interfaces = get16(&r, 18);
    wgcp_reader_u32_at(&r, 20, &a.words[0]);
    wgcp_reader_u32_at(&r, 24, &a.words[1]);
    a.count = static_cast<uint32_t>(a.flows) * a.interfaces;
    a.width = wide ? 4 : 2;
    a.values = get16(&r, 10);
    if (a.count > 0) {
        uint32_t available = 0;
        if (!wgcp_offset_resolve_sized(m->data, m->size, a.values, WR_DEVICE_ARRAY_HEAD, 0, wide ? 2 : 1, a.width,
                                       &available) ||
            available / a.width < a.count)
            return QNB_ERR_INVALIDDATA;
    }
    *out = a;
    return QNB_ERR_SUCCESS;
}

qnb_error wr_msg_device_array_value(const wr_msg_response *m, const wr_msg_device_array *a, uint32_t i,
                                    uint32_t *out)
{
    if (!m || !a || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (i >= a->count)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    message_reader(m, &r);
    size_t at = a->values + static_cast<size_t>(i) * a->width;
    if (a->width == 4)
        return wgcp_reader_u32_at(&r, at, out);
    uint16_t v = 0;
    qnb_error e = wgcp_reader_u16_at(&r, at, &v);
    *out = v;
    return e;
}
