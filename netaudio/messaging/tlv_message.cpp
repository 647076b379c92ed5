#include "netaudio/messaging/tlv_message.h"

#include <cstdlib>
#include <cstring>

namespace {

const uint8_t CLASS_MASK = 3;
const uint16_t VALUE_SIZE = 4;

uint32_t round4(uint32_t n)
{
    return (n + 3u) & ~3u;
}

// Reserves `n` bytes (rounded up to 4) at the end of the message; 32-bit arithmetic, so a large
// request can never wrap the 16-bit position.
qnb_error reserve(tlv_builder *b, uint32_t n, uint16_t *at)
{
    uint32_t size = round4(n);
    if (size < n || static_cast<uint32_t>(b->position) + size > b->capacity)
        return QNB_ERR_NOMEMORY;
    *at = b->position;
    b->position = static_cast<uint16_t>(b->position + size);
    wgcp_store_be16(b->data, b->position);
    return QNB_ERR_SUCCESS;
}

bool begun(const tlv_builder *b)
{
    return b && b->data && b->position >= TLV_HEAD_SIZE;
}

// The state a body builder restores when one of its parts does not fit.
struct snapshot {
    uint16_t position;
    uint16_t record_length;
    uint16_t body_length;
};

snapshot take(const tlv_record *rec)
{
    const uint8_t *head = rec->builder->data + rec->head;
    return {rec->builder->position, wgcp_load_be16(head), wgcp_load_be16(head + 6)};
}

void restore(tlv_record *rec, const snapshot &s)
{
    tlv_builder *b = rec->builder;
    uint8_t *head = b->data + rec->head;
    b->position = s.position;
    wgcp_store_be16(b->data, s.position);
    wgcp_store_be16(head, s.record_length);
    wgcp_store_be16(head + 6, s.body_length);
    if (s.body_length == 0)
        rec->body = 0;
}

bool is_last(const tlv_record *rec)
{
    return rec && rec->builder && begun(rec->builder) && rec->head != 0 && rec->head == rec->builder->record;
}

enum part_fill { FILL_ZERO, FILL_NONE, FILL_COPY };

uint8_t *add_part(tlv_record *rec, const void *src, size_t n, part_fill fill, uint16_t *offset)
{
    if (offset)
        *offset = 0;
    if (!is_last(rec) || n == 0 || n > 0xFFFF || (fill == FILL_COPY && !src))
        return nullptr;
    tlv_builder *b = rec->builder;
    uint16_t at;
    if (reserve(b, static_cast<uint32_t>(n), &at) != QNB_ERR_SUCCESS)
        return nullptr;
    uint8_t *p = b->data + at;
    uint32_t padded = round4(static_cast<uint32_t>(n));
    if (fill == FILL_ZERO)
        memset(p, 0, n);
    else if (fill == FILL_COPY)
        memcpy(p, src, n);
    memset(p + n, 0, padded - n);
    uint8_t *head = b->data + rec->head;
    wgcp_store_be16(head, static_cast<uint16_t>(b->position - rec->head));
    if (offset)
        *offset = static_cast<uint16_t>(at - rec->head);
    return p;
}

qnb_error add_record(tlv_builder *b, tlv_record *rec, uint16_t type, uint16_t value, unsigned msg_class)
{
    if (!begun(b) || !rec)
        return QNB_ERR_INVALIDPARAMETER;
    unsigned current = b->data[6] & CLASS_MASK;
    if (current != TLV_CLASS_NONE && current != msg_class)
        return QNB_ERR_INVALIDDATA;
    uint16_t at;
    qnb_error err = reserve(b, TLV_RECORD_HEAD_SIZE + VALUE_SIZE, &at);
    if (err)
        return err;
    uint8_t *head = b->data + at;
    wgcp_store_be16(head, TLV_RECORD_HEAD_SIZE + VALUE_SIZE);
    wgcp_store_be16(head + 2, type);
    wgcp_store_be16(head + 4, VALUE_SIZE);
    wgcp_store_be16(head + 6, 0);
    wgcp_store_be16(head + 8, value);
    wgcp_store_be16(head + 10, 0);
    b->data[6] = static_cast<uint8_t>((b->data[6] & ~CLASS_MASK) | msg_class);
    b->record = at;
    rec->builder = b;
    rec->head = at;
    rec->value = static_cast<uint16_t>(at + TLV_RECORD_HEAD_SIZE);
    rec->body = 0;
    return QNB_ERR_SUCCESS;
}

// Offsets are counted from the record start; a part that the body points at is available from the
// offset to the end of the message.
qnb_error resolve_part(const tlv_view *view, uint16_t offset, tlv_part *out)
{
    out->data = nullptr;
    out->size = 0;
    if (offset == 0)
        return QNB_ERR_SUCCESS;
    size_t start = static_cast<size_t>(view->head - view->data) + offset;
    if (start >= view->length)
        return QNB_ERR_INVALIDDATA;
    out->data = view->data + start;
    out->size = view->length - start;
    return QNB_ERR_SUCCESS;
}

// A reader over the message, and the first record's start in it.
qnb_error record_reader(const tlv_view *view, uint16_t type, uint16_t min_length, wgcp_reader *msg,
                        size_t *start)
{
    if (!view || !view->data)
        return QNB_ERR_INVALIDPARAMETER;
    if (!view->head || view->type != type || view->record_length < min_length)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader_init(msg, view->data, view->length);
    *start = static_cast<size_t>(view->head - view->data);
    return QNB_ERR_SUCCESS;
}

// A terminated text at `offset` from `base`, of at most `size` - 1 characters.
qnb_error text_at(const wgcp_reader *msg, size_t base, uint16_t offset, char *buf, size_t size)
{
    size_t length = 0;
    if (wgcp_reader_string_at(msg, base + offset, buf, size, &length) || length >= size)
        return QNB_ERR_INVALIDDATA;
    return QNB_ERR_SUCCESS;
}

qnb_error parse_service(const wgcp_reader *msg, size_t base, uint16_t offset, tlv_device_record *out)
{
    size_t entry = base + offset;
    if (offset == 0 || !wgcp_reader_has(msg, entry, 12))
        return QNB_ERR_INVALIDDATA;
    tlv_service s = {};
    uint16_t name_offset = 0, data_offset = 0, data_length = 0;
    wgcp_reader_u16_at(msg, entry, &s.flags);
    wgcp_reader_u16_at(msg, entry + 2, &name_offset);
    wgcp_reader_u16_at(msg, entry + 4, &data_offset);
    wgcp_reader_u16_at(msg, entry + 6, &data_length);
    if (s.flags & 4)
        wgcp_reader_u16_at(msg, entry + 8, &s.value);
    if (s.flags & 2) {
        if (data_offset == 0 || !wgcp_reader_has(msg, base + data_offset, data_length))
            return QNB_ERR_INVALIDDATA;
        s.data.data = msg->data + base + data_offset;
        s.data.size = data_length;
    }
    if (!(s.flags & 1) || name_offset == 0)
        return QNB_ERR_SUCCESS;
    size_t name_length = 0;
    if (wgcp_reader_string_at(msg, base + name_offset, nullptr, 0, &name_length))
        return QNB_ERR_INVALIDDATA;
    const char *name = reinterpret_cast<const char *>(msg->data + base + name_offset);
    tlv_service *slot = nullptr;
    if (strcmp(name, "_netaudio-arc._udp") == 0)
        slot = &out->routing;
    else if (strcmp(name, "_netaudio-cmc._udp") == 0)
        slot = &out->control;
    else if (strcmp(name, "_netaudio-via._tcp") == 0)
        slot = &out->via;
    if (slot && !slot->present) {
        *slot = s;
        slot->present = true;
    }
    return QNB_ERR_SUCCESS;
}

qnb_error parse_info(const wgcp_reader *msg, size_t base, uint16_t offset, tlv_device_record *out)
{
    size_t info = base + offset;
    if (!wgcp_reader_has(msg, info, 8))
        return QNB_ERR_INVALIDDATA;
    uint16_t model_offset = 0, a_offset = 0, b_offset = 0;
    wgcp_reader_u16_at(msg, info, &out->info_flags);
    wgcp_reader_u16_at(msg, info + 2, &model_offset);
    wgcp_reader_u16_at(msg, info + 4, &a_offset);
    wgcp_reader_u16_at(msg, info + 6, &b_offset);
    uint16_t f = out->info_flags;
    if ((f & 1) && model_offset && text_at(msg, base, model_offset, out->model, sizeof out->model))
        return QNB_ERR_INVALIDDATA;
    if ((f & 2) && a_offset && wgcp_reader_bytes_at(msg, base + a_offset, out->value_a, 8))
        return QNB_ERR_INVALIDDATA;
    if ((f & 4) && b_offset && wgcp_reader_bytes_at(msg, base + b_offset, out->value_b, 8))
        return QNB_ERR_INVALIDDATA;
    if (f & 8) {
        uint16_t id_offset = 0;
        if (wgcp_reader_u16_at(msg, info + 8, &id_offset))
            return QNB_ERR_INVALIDDATA;
        if (id_offset && (wgcp_reader_u32_at(msg, base + id_offset, &out->id_u32) ||
                          wgcp_reader_u16_at(msg, base + id_offset + 4, &out->id_u16)))
            return QNB_ERR_INVALIDDATA;
    }
    if (f & 0x10) {
        uint8_t mode = 0;
        if (wgcp_reader_u8_at(msg, info + 11, &mode))
            return QNB_ERR_INVALIDDATA;
        mode &= 0x0F;
        out->mode = mode > 2 ? 255 : mode;
    }
    if ((f & 0x20) && wgcp_reader_u32_at(msg, info + 12, &out->info_u32_12))
        return QNB_ERR_INVALIDDATA;
    if ((f & 0x40) && wgcp_reader_u32_at(msg, info + 16, &out->info_u32_16))
        return QNB_ERR_INVALIDDATA;
    return QNB_ERR_SUCCESS;
}

qnb_error parse_0x2011_like(const tlv_view *view, uint16_t type, tlv_0x2011 *out)
{
    wgcp_reader msg;
    size_t r;
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = record_reader(view, type, 60, &msg, &r);
    if (err)
        return err;
    tlv_0x2011 v = {};
    uint16_t offset = 0;
    wgcp_reader_u16_at(&msg, r + 8, &v.seqnum);
    for (int i = 0; i < 3; ++i)
        wgcp_reader_u16_at(&msg, r + 12 + 2 * i, &v.values[i]);
    wgcp_reader_u16_at(&msg, r + 18, &offset);
    wgcp_reader_bytes_at(&msg, r + 20, v.id, 16);
    wgcp_reader_u16_at(&msg, r + 36, &v.values2[0]);
    wgcp_reader_u16_at(&msg, r + 38, &v.values2[1]);
    wgcp_reader_bytes_at(&msg, r + 40, v.raw, 8);
    wgcp_reader_bytes_at(&msg, r + 48, &v.raw_u32, 4);
    wgcp_reader_u32_at(&msg, r + 52, &v.flags);
    if (v.flags & 1)
        wgcp_reader_u8_at(&msg, r + 56, &v.byte0);
    if (v.flags & 2)
        wgcp_reader_u8_at(&msg, r + 57, &v.byte1);
    err = resolve_part(view, offset, &v.part);
    if (err)
        return err;
    *out = v;
    return QNB_ERR_SUCCESS;
}

qnb_error begin_with_ids(tlv_builder *b, uint8_t *buffer, size_t capacity, unsigned msg_class, uint32_t id40,
                         uint16_t value40, uint32_t id41, uint16_t value41)
{
    qnb_error err = tlv_msg_begin(b, buffer, capacity, TLV_OPTION_BYTES);
    if (!err)
        err = tlv_msg_set_class(b, msg_class);
    if (!err)
        err = tlv_msg_add_id_option(b, TLV_OPTION_SEQUENCE, id40, value40);
    if (!err)
        err = tlv_msg_add_id_option(b, TLV_OPTION_CLIENT, id41, value41);
    return err;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Building

qnb_error tlv_msg_begin(tlv_builder *b, uint8_t *buffer, size_t capacity, unsigned option_bytes)
{
    if (!b || !buffer || capacity == 0 || option_bytes != TLV_OPTION_BYTES)
        return QNB_ERR_INVALIDPARAMETER;
    if (capacity < TLV_HEADER_SIZE)
        return QNB_ERR_NOMEMORY;
    tlv_builder fresh = {buffer, static_cast<uint16_t>(capacity > 0xFFFF ? 0xFFFF : capacity), 0, 0};
    fresh.position = TLV_HEADER_SIZE;
    uint16_t at;
    if (reserve(&fresh, option_bytes, &at) != QNB_ERR_SUCCESS)
        return QNB_ERR_NOMEMORY;
    wgcp_store_be16(buffer, fresh.position);
    wgcp_store_be16(buffer + 2, 1);
    wgcp_store_be16(buffer + 4, 0x1000);
    buffer[6] = 0;
    buffer[7] = TLV_HEADER_SIZE;
    memset(buffer + at, 0, option_bytes);
    *b = fresh;
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_finish(const tlv_builder *b, const uint8_t **data, size_t *length)
{
    if (!begun(b) || !data || !length)
        return QNB_ERR_INVALIDPARAMETER;
    *data = b->data;
    *length = b->position;
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_set_class(tlv_builder *b, unsigned msg_class)
{
    if (!begun(b) || msg_class > CLASS_MASK)
        return QNB_ERR_INVALIDPARAMETER;
    unsigned current = b->data[6] & CLASS_MASK;
    if (current != TLV_CLASS_NONE && msg_class != TLV_CLASS_NONE && current != msg_class)
        return QNB_ERR_INVALIDDATA;
    b->data[6] = static_cast<uint8_t>((b->data[6] & ~CLASS_MASK) | msg_class);
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_add_option(tlv_builder *b, unsigned type, unsigned size, uint8_t **out)
{
    if (!begun(b) || size == 0 || size > TLV_OPTION_AREA_LIMIT)
        return QNB_ERR_INVALIDPARAMETER;
    size = round4(size);
    size_t start = b->data[7];
    size_t end = b->position < TLV_HEAD_SIZE ? b->position : size_t(TLV_HEAD_SIZE);
    if (start == 0 || start >= end || end - start < size)
        return QNB_ERR_NOMEMORY;
    size_t pos = start;
    while (end - pos >= 3) {
        uint8_t here = b->data[pos];
        if (here == 0) {
            if (end - pos < size)
                return QNB_ERR_NOMEMORY;
            memset(b->data + pos, 0, size);
            b->data[pos] = static_cast<uint8_t>(size);
            b->data[pos + 1] = static_cast<uint8_t>(type);
            if (out)
                *out = b->data + pos;
            return QNB_ERR_SUCCESS;
        }
        size_t step = here & ~3u;
        if (step < 4)
            return QNB_ERR_INVALIDDATA;
        if (step > end - pos)
            break;
        pos += step;
    }
    return QNB_ERR_NOMEMORY;
}

qnb_error tlv_msg_add_id_option(tlv_builder *b, unsigned type, uint32_t id, uint16_t value)
{
    uint8_t *p = nullptr;
    qnb_error err = tlv_msg_add_option(b, type, 8, &p);
    if (err)
        return err;
    wgcp_store_be32(p + 2, id);
    wgcp_store_be16(p + 6, value);
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_add_request_u16(tlv_builder *b, tlv_record *rec, uint16_t type, uint16_t value)
{
    return add_record(b, rec, type, value, TLV_CLASS_REQUEST);
}

qnb_error tlv_msg_add_response_u16(tlv_builder *b, tlv_record *rec, uint16_t type, uint16_t value)
{
    return add_record(b, rec, type, value, TLV_CLASS_RESPONSE);
}

qnb_error tlv_msg_set_second_u16(tlv_record *rec, uint16_t value)
{
    if (!rec || !rec->builder || !begun(rec->builder) || rec->value == 0)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_store_be16(rec->builder->data + rec->value + 2, value);
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_reserve_body(tlv_record *rec, uint16_t n, uint8_t **body)
{
    if (!rec || !rec->builder || n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    if (!is_last(rec) || rec->body != 0 ||
        rec->builder->position != rec->head + TLV_RECORD_HEAD_SIZE + VALUE_SIZE)
        return QNB_ERR_INVALIDSTATE;
    uint16_t at;
    qnb_error err = reserve(rec->builder, n, &at);
    if (err)
        return err;
    tlv_builder *b = rec->builder;
    uint8_t *head = b->data + rec->head;
    memset(b->data + at, 0, b->position - at);
    wgcp_store_be16(head, static_cast<uint16_t>(b->position - rec->head));
    wgcp_store_be16(head + 6, n);
    rec->body = at;
    if (body)
        *body = b->data + at;
    return QNB_ERR_SUCCESS;
}

uint8_t *tlv_msg_add_zeroed(tlv_record *rec, size_t n, uint16_t *offset)
{
    return add_part(rec, nullptr, n, FILL_ZERO, offset);
}

uint8_t *tlv_msg_add_unzeroed(tlv_record *rec, size_t n, uint16_t *offset)
{
    return add_part(rec, nullptr, n, FILL_NONE, offset);
}

uint8_t *tlv_msg_add_bytes(tlv_record *rec, const void *src, size_t n, uint16_t *offset)
{
    return add_part(rec, src, n, FILL_COPY, offset);
}

uint8_t *tlv_msg_add_text(tlv_record *rec, const char *text, uint16_t *offset)
{
    if (!text) {
        if (offset)
            *offset = 0;
        return nullptr;
    }
    return add_part(rec, text, strlen(text) + 1, FILL_COPY, offset);
}

qnb_error tlv_msg_add_u32_body(tlv_record *rec, uint32_t value)
{
    uint8_t *body;
    qnb_error err = tlv_msg_reserve_body(rec, 4, &body);
    if (!err)
        wgcp_store_be32(body, value);
    return err;
}

qnb_error tlv_msg_add_domain_request_body(tlv_record *rec, const tlv_domain_request *req)
{
    if (!rec || !req)
        return QNB_ERR_INVALIDPARAMETER;
    if (req->name && strnlen(req->name, TLV_NAME_SIZE) >= TLV_NAME_SIZE)
        return QNB_ERR_INVALIDDATA;
    if (!is_last(rec))
        return QNB_ERR_INVALIDSTATE;
    snapshot s = take(rec);
    uint8_t *body;
    qnb_error err = tlv_msg_reserve_body(rec, 32, &body);
    if (err)
        return err;
    uint16_t flags = 0, name_offset = 0, blob_offset = 0;
    if (req->name) {
        if (!tlv_msg_add_text(rec, req->name, &name_offset))
            goto full;
        flags |= TLV_DOMAIN_REQUEST_NAME;
    }
    if (req->has_blob) {
        if (!tlv_msg_add_bytes(rec, req->blob, 8, &blob_offset))
            goto full;
        flags |= TLV_DOMAIN_REQUEST_BLOB;
    }
    if (req->has_value)
        flags |= TLV_DOMAIN_REQUEST_VALUE;
    body = rec->builder->data + rec->body;
    memcpy(body, req->id, 16);
    wgcp_store_be32(body + 16, req->request_id);
    wgcp_store_be16(body + 20, req->mode & 3);
    wgcp_store_be16(body + 22, flags);
    wgcp_store_be16(body + 24, name_offset);
    wgcp_store_be16(body + 26, blob_offset);
    wgcp_store_be16(body + 28, req->has_value ? req->value : 0);
    return QNB_ERR_SUCCESS;
full:
    restore(rec, s);
    return QNB_ERR_NOMEMORY;
}

qnb_error tlv_msg_add_blob_pair(tlv_record *rec, const void *first, size_t first_size, const void *second,
                                size_t second_size, uint16_t type)
{
    if (!rec || (first_size && !first) || (second_size && !second) || first_size + second_size == 0 ||
        first_size + second_size > 0xFFFF)
        return QNB_ERR_INVALIDPARAMETER;
    if (!is_last(rec))
        return QNB_ERR_INVALIDSTATE;
    snapshot s = take(rec);
    uint8_t *body;
    qnb_error err = tlv_msg_reserve_body(rec, 12, &body);
    if (err)
        return err;
    uint16_t offset = 0;
    uint8_t *blobs = tlv_msg_add_unzeroed(rec, first_size + second_size, &offset);
    if (!blobs) {
        restore(rec, s);
        return QNB_ERR_NOMEMORY;
    }
    if (first_size)
        memcpy(blobs, first, first_size);
    if (second_size)
        memcpy(blobs + first_size, second, second_size);
    body = rec->builder->data + rec->body;
    wgcp_store_be16(body, static_cast<uint16_t>(first_size + second_size));
    wgcp_store_be16(body + 2, offset);
    wgcp_store_be16(body + 4, type);
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_add_0x2011_body(tlv_record *rec, uint16_t a, uint16_t b, uint16_t c, const uint8_t id[16],
                                  uint32_t value)
{
    if (!rec || !id)
        return QNB_ERR_INVALIDPARAMETER;
    uint8_t *body;
    qnb_error err = tlv_msg_reserve_body(rec, 32, &body);
    if (err)
        return err;
    wgcp_store_be16(body, a != 0 ? 1 : 0);
    wgcp_store_be16(body + 2, a);
    wgcp_store_be16(body + 4, b);
    wgcp_store_be16(body + 6, c);
    memcpy(body + 8, id, 16);
    wgcp_store_be32(body + 24, 1);
    wgcp_store_be32(body + 28, value);
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_add_4_u32(tlv_record *rec, const uint32_t values[4])
{
    if (!rec || !values)
        return QNB_ERR_INVALIDPARAMETER;
    uint8_t *body;
    qnb_error err = tlv_msg_reserve_body(rec, 16, &body);
    if (!err)
        memcpy(body, values, 16);
    return err;
}

qnb_error tlv_msg_add_named_record(tlv_record *rec, uint16_t a, bool flag, uint16_t c, uint16_t d,
                                   const char *text, const uint8_t id[16], uint32_t value)
{
    if (!rec || !id)
        return QNB_ERR_INVALIDPARAMETER;
    if (!is_last(rec))
        return QNB_ERR_INVALIDSTATE;
    snapshot s = take(rec);
    uint8_t *body;
    qnb_error err = tlv_msg_reserve_body(rec, 36, &body);
    if (err)
        return err;
    uint16_t text_offset = 0;
    if (text && !tlv_msg_add_text(rec, text, &text_offset)) {
        restore(rec, s);
        return QNB_ERR_NOBUFS;
    }
    body = rec->builder->data + rec->body;
    wgcp_store_be16(body, a);
    wgcp_store_be16(body + 2, flag ? 1 : 0);
    wgcp_store_be16(body + 4, c);
    wgcp_store_be16(body + 6, d);
    wgcp_store_be16(body + 8, text_offset);
    memcpy(body + 12, id, 16);
    wgcp_store_be32(body + 28, value);
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_add_8byte_record(tlv_record *rec, const void *blob, size_t size)
{
    if (!rec || !blob || size == 0 || size > 0xFFFF)
        return QNB_ERR_INVALIDPARAMETER;
    if (!is_last(rec))
        return QNB_ERR_INVALIDSTATE;
    snapshot s = take(rec);
    uint8_t *body;
    qnb_error err = tlv_msg_reserve_body(rec, 8, &body);
    if (err)
        return err;
    uint16_t offset = 0;
    if (!tlv_msg_add_bytes(rec, blob, size, &offset)) {
        restore(rec, s);
        return QNB_ERR_NOMEMORY;
    }
    body = rec->builder->data + rec->body;
    wgcp_store_be16(body, static_cast<uint16_t>(size));
    wgcp_store_be16(body + 2, offset);
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Reading

qnb_error tlv_view_init(tlv_view *view, const uint8_t *data, size_t size)
{
    if (!view || !data)
        return QNB_ERR_INVALIDPARAMETER;
    *view = tlv_view{};
    if (size == 0)
        return QNB_ERR_NOTINITIALISED;
    wgcp_reader r;
    wgcp_reader_init(&r, data, size);
    uint16_t length = 0;
    uint8_t options = 0;
    if (wgcp_reader_u16_at(&r, 0, &length) || length < TLV_HEADER_SIZE || length > size ||
        wgcp_reader_u8_at(&r, 7, &options))
        return QNB_ERR_INVALIDDATA;
    if (options == 0 ? length != TLV_HEADER_SIZE : (options != TLV_HEADER_SIZE || length < TLV_HEAD_SIZE))
        return QNB_ERR_INVALIDDATA;
    tlv_view v = {data, length, 0, 0, nullptr, nullptr};
    size_t pos = TLV_HEAD_SIZE;
    while (pos < length) {
        uint16_t rec_length = 0, type = 0, value_length = 0, body_length = 0;
        if (length - pos < TLV_RECORD_HEAD_SIZE)
            return QNB_ERR_INVALIDDATA;
        wgcp_reader_u16_at(&r, pos, &rec_length);
        wgcp_reader_u16_at(&r, pos + 2, &type);
        wgcp_reader_u16_at(&r, pos + 4, &value_length);
        wgcp_reader_u16_at(&r, pos + 6, &body_length);
        if (rec_length < TLV_RECORD_HEAD_SIZE || rec_length > length - pos ||
            static_cast<uint32_t>(TLV_RECORD_HEAD_SIZE) + value_length + body_length > rec_length)
            return QNB_ERR_INVALIDDATA;
        if (!v.head) {
            v.head = data + pos;
            v.value = data + pos + TLV_RECORD_HEAD_SIZE;
            v.type = type;
            v.record_length = rec_length;
        }
        pos += round4(rec_length);
    }
    *view = v;
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_msg_parse_ids(const uint8_t *data, size_t size, tlv_ids *ids)
{
    if (!data || !ids)
        return QNB_ERR_INVALIDPARAMETER;
    *ids = tlv_ids{};
    wgcp_reader r;
    wgcp_reader_init(&r, data, size);
    uint16_t length = 0;
    uint8_t flags = 0, start = 0;
    if (wgcp_reader_u16_at(&r, 0, &length) || wgcp_reader_u8_at(&r, 6, &flags) || wgcp_reader_u8_at(&r, 7, &start))
        return QNB_ERR_INVALIDDATA;
    if (length < size)
        wgcp_reader_init(&r, data, length);
    ids->msg_class = flags & CLASS_MASK;
    if (start != 0 && start < TLV_HEADER_SIZE)
        return QNB_ERR_INVALIDDATA;
    size_t end = r.size < TLV_HEAD_SIZE ? r.size : size_t(TLV_HEAD_SIZE);
    size_t pos = start;
    while (start != 0 && pos < end && end - pos >= 3) {
        uint8_t here = data[pos];
        if (here == 0)
            break;
        size_t step = here & ~3u;
        if (step < 4 || step > end - pos)
            return QNB_ERR_INVALIDDATA;
        uint8_t type = data[pos + 1];
        tlv_id_option *slot = type == TLV_OPTION_SEQUENCE ? &ids->sequence
                              : type == TLV_OPTION_CLIENT ? &ids->client
                                                          : nullptr;
        if (slot && !slot->present) {
            if (step < 8)
                return QNB_ERR_INVALIDDATA;
            slot->present = true;
            slot->offset = static_cast<uint16_t>(pos);
            wgcp_reader_u32_at(&r, pos + 2, &slot->id);
            wgcp_reader_u16_at(&r, pos + 6, &slot->value);
        }
        pos += step;
    }
    return ids->sequence.present ? QNB_ERR_SUCCESS : QNB_ERR_NOTFOUND;
}

qnb_error tlv_parse_0x2003(const tlv_view *view, tlv_0x2003 *out)
{
    wgcp_reader msg;
    size_t r;
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = record_reader(view, TLV_RECORD_0x2003, 24, &msg, &r);
    if (err)
        return err;
    tlv_0x2003 v = {};
    uint16_t first_offset = 0, second_offset = 0;
    wgcp_reader_u16_at(&msg, r + 8, &v.seqnum);
    wgcp_reader_u16_at(&msg, r + 12, &v.first);
    wgcp_reader_u16_at(&msg, r + 14, &first_offset);
    wgcp_reader_u16_at(&msg, r + 16, &v.second);
    wgcp_reader_u16_at(&msg, r + 18, &second_offset);
    err = resolve_part(view, first_offset, &v.first_part);
    if (!err)
        err = resolve_part(view, second_offset, &v.second_part);
    if (err)
        return err;
    *out = v;
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_parse_0x2011(const tlv_view *view, tlv_0x2011 *out)
{
    return parse_0x2011_like(view, TLV_RECORD_0x2011, out);
}

qnb_error tlv_parse_0x2013(const tlv_view *view, tlv_0x2011 *out)
{
    return parse_0x2011_like(view, TLV_RECORD_0x2013, out);
}

qnb_error tlv_parse_0x2004(const tlv_view *view, tlv_0x2004 *out)
{
    wgcp_reader msg;
    size_t r;
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = record_reader(view, TLV_RECORD_0x2004, 12, &msg, &r);
    if (err)
        return err;
    tlv_0x2004 v = {};
    wgcp_reader_u16_at(&msg, r + 8, &v.seqnum);
    wgcp_reader_u16_at(&msg, r + 10, &v.status);
    if (v.status == 0) {
        uint16_t offset = 0;
        if (view->record_length < 20)
            return QNB_ERR_INVALIDDATA;
        wgcp_reader_u16_at(&msg, r + 12, &v.value);
        wgcp_reader_u16_at(&msg, r + 14, &offset);
        err = resolve_part(view, offset, &v.part);
        if (err)
            return err;
    }
    *out = v;
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_parse_domain_result(const tlv_view *view, tlv_domain_result *out)
{
    wgcp_reader msg;
    size_t r;
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    // A result arrives on its own (0x200B) or as the body of the reply to a domain request (0x2009).
    uint16_t type = view && view->type == TLV_RECORD_DOMAIN_REQUEST ? uint16_t(TLV_RECORD_DOMAIN_REQUEST)
                                                                     : uint16_t(TLV_RECORD_DOMAIN_RESULT);
    qnb_error err = record_reader(view, type, TLV_RECORD_HEAD_SIZE + VALUE_SIZE + 24, &msg, &r);
    if (err)
        return err;
    tlv_domain_result v = {};
    wgcp_reader_u16_at(&msg, r + 8, &v.seqnum);
    wgcp_reader_bytes_at(&msg, r + 12, v.id, 16);
    wgcp_reader_u32_at(&msg, r + 28, &v.request_id);
    wgcp_reader_u16_at(&msg, r + 32, &v.flags);
    wgcp_reader_u16_at(&msg, r + 34, &v.device_offset);
    if (v.device_offset != 0 && r + v.device_offset >= view->length)
        return QNB_ERR_INVALIDDATA;
    *out = v;
    return QNB_ERR_SUCCESS;
}

qnb_error tlv_parse_device_record(const tlv_view *view, uint16_t offset, tlv_device_record *out)
{
    if (!view || !view->data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (!view->head || offset == 0)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader msg;
    wgcp_reader_init(&msg, view->data, view->length);
    size_t base = static_cast<size_t>(view->head - view->data);
    size_t at = base + offset;
    if (!wgcp_reader_has(&msg, at, 8))
        return QNB_ERR_INVALIDDATA;
    tlv_device_record v = {};
    uint16_t name_offset = 0, info_offset = 0, services_offset = 0;
    wgcp_reader_u16_at(&msg, at, &name_offset);
    wgcp_reader_u16_at(&msg, at + 2, &v.flags);
    wgcp_reader_u16_at(&msg, at + 4, &info_offset);
    wgcp_reader_u16_at(&msg, at + 6, &services_offset);
    if (name_offset == 0 || text_at(&msg, base, name_offset, v.name, sizeof v.name))
        return QNB_ERR_INVALIDDATA;
    if ((v.flags & 1) && info_offset) {
        v.has_info = true;
        if (parse_info(&msg, base, info_offset, &v))
            return QNB_ERR_INVALIDDATA;
    }
    if ((v.flags & 2) && services_offset) {
        size_t list = base + services_offset;
        uint16_t count = 0;
        if (wgcp_reader_u16_at(&msg, list, &count) || !wgcp_reader_has(&msg, list + 4, 2u * count))
            return QNB_ERR_INVALIDDATA;
        for (uint16_t i = 0; i < count; ++i) {
            uint16_t entry = 0;
            wgcp_reader_u16_at(&msg, list + 4 + 2u * i, &entry);
            if (parse_service(&msg, base, entry, &v))
                return QNB_ERR_INVALIDDATA;
        }
    }
    *out = v;
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Channels

qnb_error tlv_channel_new(const tlv_transport *transport, uint16_t id, tlv_receive_fn receive, void *context,
                          tlv_channel **out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    tlv_channel *c = static_cast<tlv_channel *>(calloc(1, sizeof(tlv_channel)));
    if (!c)
        return QNB_ERR_NOMEMORY;
    if (transport)
        c->transport = *transport;
    c->id = id;
    c->receive = receive;
    c->context = context;
    *out = c;
    return QNB_ERR_SUCCESS;
}

void tlv_channel_delete(tlv_channel *channel)
{
    free(channel);
}

qnb_error tlv_channel_receive(tlv_channel *channel, const uint8_t *data, size_t size)
{
    if (!channel)
        return QNB_ERR_INVALIDPARAMETER;
    tlv_transaction t = {channel, {}, nullptr};
    qnb_error err = tlv_view_init(&t.message, data, size);
    if (err)
        return err;
    if (!channel->receive)
        return QNB_ERR_NOTINITIALISED;
    if ((t.message.data[6] & CLASS_MASK) == TLV_CLASS_REQUEST)
        t.request = &t.message;
    return channel->receive(channel->context, &t);
}

qnb_error tlv_msg_begin_sequenced(tlv_channel *channel, tlv_builder *b, uint32_t id, uint16_t value)
{
    if (!channel || !b)
        return QNB_ERR_INVALIDPARAMETER;
    return begin_with_ids(b, channel->buffer, sizeof channel->buffer, TLV_CLASS_NONE, id, value, 0, 0);
}

qnb_error tlv_msg_begin_unsequenced(tlv_channel *channel, tlv_builder *b)
{
    return tlv_msg_begin_sequenced(channel, b, 0xFFFFFFFFu, 0);
}

qnb_error tlv_msg_begin_response(tlv_builder *b, uint8_t *buffer, size_t capacity, const tlv_view *request)
{
    if (!b || !buffer)
        return QNB_ERR_INVALIDPARAMETER;
    if (!request)
        return begin_with_ids(b, buffer, capacity, TLV_CLASS_RESPONSE, 0xFFFFFFFFu, 0, 0, 0);
    if (!request->data)
        return QNB_ERR_INVALIDPARAMETER;
    tlv_ids ids;
    qnb_error err = tlv_msg_parse_ids(request->data, request->length, &ids);
    if (err)
        return err;
    if (!ids.client.present)
        return QNB_ERR_INVALIDDATA;
    return begin_with_ids(b, buffer, capacity, TLV_CLASS_RESPONSE, ids.client.id, ids.client.value,
                          ids.sequence.id, ids.sequence.value);
}

qnb_error tlv_msg_send_on_channel(tlv_transaction *transaction, tlv_builder *b)
{
    if (!transaction || !transaction->channel)
        return QNB_ERR_INVALIDPARAMETER;
    tlv_channel *c = transaction->channel;
    return tlv_msg_begin_response(b, c->buffer, sizeof c->buffer, transaction->request);
}

const tlv_view *tlv_request_get_message(const tlv_transaction *transaction)
{
    return transaction ? &transaction->message : nullptr;
}

qnb_error tlv_msg_send(tlv_channel *channel, tlv_builder *b)
{
    if (!channel || !begun(b))
        return QNB_ERR_INVALIDPARAMETER;
    if (!channel->transport.send)
        return QNB_ERR_NOTINITIALISED;
    tlv_ids ids;
    qnb_error err = tlv_msg_parse_ids(b->data, b->position, &ids);
    if (err)
        return err;
    if (!ids.client.present)
        return QNB_ERR_INVALIDDATA;
    if (ids.msg_class == TLV_CLASS_REQUEST) {
        if (ids.client.value == 0)
            wgcp_store_be16(b->data + ids.client.offset + 6, channel->id);
        else if (ids.client.value != channel->id)
            return QNB_ERR_INVALIDDATA;
    }
    return channel->transport.send(channel->transport.user, b->data, b->position);
}
