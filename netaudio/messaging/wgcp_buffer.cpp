#include "netaudio/messaging/wgcp_buffer.h"

#include <cstring>

uint16_t wgcp_load_be16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t wgcp_load_be32(const uint8_t *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void wgcp_store_be16(uint8_t *p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

void wgcp_store_be32(uint8_t *p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

// ---------------------------------------------------------------------------------------------
// Reader

void wgcp_reader_init(wgcp_reader *r, const void *data, size_t size)
{
    if (!r)
        return;
    r->data = static_cast<const uint8_t *>(data);
    r->size = data ? size : 0;
    r->pos = 0;
}

bool wgcp_reader_has(const wgcp_reader *r, size_t offset, size_t n)
{
    if (!r || offset > r->size)
        return false;
    return n <= r->size - offset;
}

size_t wgcp_reader_remaining(const wgcp_reader *r)
{
    if (!r || r->pos > r->size)
        return 0;
    return r->size - r->pos;
}

qnb_error wgcp_reader_sub(const wgcp_reader *r, size_t offset, size_t n, wgcp_reader *out)
{
    if (!r || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_reader_has(r, offset, n))
        return QNB_ERR_INVALIDDATA;
    out->data = r->data + offset;
    out->size = n;
    out->pos = 0;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_seek(wgcp_reader *r, size_t pos)
{
    if (!r)
        return QNB_ERR_INVALIDPARAMETER;
    if (pos > r->size)
        return QNB_ERR_INVALIDDATA;
    r->pos = pos;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_skip(wgcp_reader *r, size_t n)
{
    if (!r)
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_reader_has(r, r->pos, n))
        return QNB_ERR_INVALIDDATA;
    r->pos += n;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_align(wgcp_reader *r, size_t alignment)
{
    if (!r || alignment == 0)
        return QNB_ERR_INVALIDPARAMETER;
    size_t rest = r->pos % alignment;
    return rest ? wgcp_reader_skip(r, alignment - rest) : QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_u8_at(const wgcp_reader *r, size_t offset, uint8_t *out)
{
    if (!r || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_reader_has(r, offset, 1))
        return QNB_ERR_INVALIDDATA;
    *out = r->data[offset];
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_u16_at(const wgcp_reader *r, size_t offset, uint16_t *out)
{
    if (!r || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_reader_has(r, offset, 2))
        return QNB_ERR_INVALIDDATA;
    *out = wgcp_load_be16(r->data + offset);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_u32_at(const wgcp_reader *r, size_t offset, uint32_t *out)
{
    if (!r || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_reader_has(r, offset, 4))
        return QNB_ERR_INVALIDDATA;
    *out = wgcp_load_be32(r->data + offset);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_bytes_at(const wgcp_reader *r, size_t offset, void *dst, size_t n)
{
    if (!r || (!dst && n))
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_reader_has(r, offset, n))
        return QNB_ERR_INVALIDDATA;
    if (n)
        memcpy(dst, r->data + offset, n);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_get_u8(wgcp_reader *r, uint8_t *out)
{
    qnb_error err = wgcp_reader_u8_at(r, r ? r->pos : 0, out);
    if (!err)
        r->pos += 1;
    return err;
}

qnb_error wgcp_reader_get_u16(wgcp_reader *r, uint16_t *out)
{
    qnb_error err = wgcp_reader_u16_at(r, r ? r->pos : 0, out);
    if (!err)
        r->pos += 2;
    return err;
}

qnb_error wgcp_reader_get_u32(wgcp_reader *r, uint32_t *out)
{
    qnb_error err = wgcp_reader_u32_at(r, r ? r->pos : 0, out);
    if (!err)
        r->pos += 4;
    return err;
}

qnb_error wgcp_reader_get_bytes(wgcp_reader *r, void *dst, size_t n)
{
    qnb_error err = wgcp_reader_bytes_at(r, r ? r->pos : 0, dst, n);
    if (!err)
        r->pos += n;
    return err;
}

namespace {

// Copies `n` characters into `buf` of `size` bytes, cut and terminated.
void copy_text(char *buf, size_t size, const uint8_t *src, size_t n)
{
    if (!buf || size == 0)
        return;
    size_t copy = n < size - 1 ? n : size - 1;
    if (copy)
        memcpy(buf, src, copy);
    buf[copy] = '\0';
}

} // namespace

qnb_error wgcp_reader_string_at(const wgcp_reader *r, size_t offset, char *buf, size_t size, size_t *length)
{
    if (!r || (!buf && size))
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_reader_has(r, offset, 1))
        return QNB_ERR_INVALIDDATA;
    const uint8_t *start = r->data + offset;
    const void *nul = memchr(start, 0, r->size - offset);
    if (!nul)
        return QNB_ERR_INVALIDDATA;
    size_t n = static_cast<size_t>(static_cast<const uint8_t *>(nul) - start);
    copy_text(buf, size, start, n);
    if (length)
        *length = n;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_text_field_at(const wgcp_reader *r, size_t offset, size_t field_size, char *buf,
                                    size_t size, size_t *length)
{
    if (!r || (!buf && size))
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_reader_has(r, offset, field_size))
        return QNB_ERR_INVALIDDATA;
    const uint8_t *start = r->data + offset;
    const void *nul = field_size ? memchr(start, 0, field_size) : nullptr;
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - start) : field_size;
    copy_text(buf, size, start, n);
    if (length)
        *length = n;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_reader_wstring_at(const wgcp_reader *r, size_t offset, char16_t *buf, size_t capacity,
                                 size_t *units)
{
    if (!r || !buf || capacity == 0)
        return QNB_ERR_INVALIDPARAMETER;
    size_t n = 0;
    size_t at = offset;
    while (n < capacity - 1) {
        uint32_t unit;
        qnb_error err = wgcp_reader_u32_at(r, at, &unit);
        if (err) {
            buf[0] = 0;
            return err;
        }
        if (unit == 0)
            break;
        if (unit > 0xFFFFu) {
            buf[0] = 0;
            return QNB_ERR_INVALIDDATA;
        }
        buf[n++] = static_cast<char16_t>(unit);
        at += 4;
    }
    buf[n] = 0;
    if (units)
        *units = n;
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Writer

void wgcp_writer_init(wgcp_writer *w, void *data, size_t capacity, size_t length)
{
    if (!w)
        return;
    w->data = static_cast<uint8_t *>(data);
    w->capacity = data ? capacity : 0;
    w->length = length < w->capacity ? length : w->capacity;
}

bool wgcp_writer_fits(const wgcp_writer *w, size_t n)
{
    if (!w || w->length > w->capacity)
        return false;
    return n <= w->capacity - w->length;
}

qnb_error wgcp_writer_put_bytes(wgcp_writer *w, const void *src, size_t n)
{
    if (!w)
        return QNB_ERR_INVALIDPARAMETER;
    if (!wgcp_writer_fits(w, n))
        return QNB_ERR_MSGSIZE;
    if (n) {
        if (src)
            memcpy(w->data + w->length, src, n);
        else
            memset(w->data + w->length, 0, n);
    }
    w->length += n;
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_writer_put_u8(wgcp_writer *w, uint8_t value)
{
    return wgcp_writer_put_bytes(w, &value, 1);
}

qnb_error wgcp_writer_put_u16(wgcp_writer *w, uint16_t value)
{
    uint8_t b[2];
    wgcp_store_be16(b, value);
    return wgcp_writer_put_bytes(w, b, sizeof b);
}

qnb_error wgcp_writer_put_u32(wgcp_writer *w, uint32_t value)
{
    uint8_t b[4];
    wgcp_store_be32(b, value);
    return wgcp_writer_put_bytes(w, b, sizeof b);
}

qnb_error wgcp_writer_pad(wgcp_writer *w, size_t alignment)
{
    if (!w || alignment == 0)
        return QNB_ERR_INVALIDPARAMETER;
    size_t rest = w->length % alignment;
    return rest ? wgcp_writer_put_bytes(w, nullptr, alignment - rest) : QNB_ERR_SUCCESS;
}

qnb_error wgcp_writer_reserve(wgcp_writer *w, size_t n, size_t *offset)
{
    if (!w || !offset)
        return QNB_ERR_INVALIDPARAMETER;
    size_t at = w->length;
    qnb_error err = wgcp_writer_put_bytes(w, nullptr, n);
    if (!err)
        *offset = at;
    return err;
}

qnb_error wgcp_writer_set_bytes_at(wgcp_writer *w, size_t offset, const void *src, size_t n)
{
    if (!w || (!src && n))
        return QNB_ERR_INVALIDPARAMETER;
    if (offset > w->length || n > w->length - offset)
        return QNB_ERR_MSGSIZE;
    if (n)
        memcpy(w->data + offset, src, n);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp_writer_set_u8_at(wgcp_writer *w, size_t offset, uint8_t value)
{
    return wgcp_writer_set_bytes_at(w, offset, &value, 1);
}

qnb_error wgcp_writer_set_u16_at(wgcp_writer *w, size_t offset, uint16_t value)
{
    uint8_t b[2];
    wgcp_store_be16(b, value);
    return wgcp_writer_set_bytes_at(w, offset, b, sizeof b);
}

qnb_error wgcp_writer_set_u32_at(wgcp_writer *w, size_t offset, uint32_t value)
{
    uint8_t b[4];
    wgcp_store_be32(b, value);
    return wgcp_writer_set_bytes_at(w, offset, b, sizeof b);
}
