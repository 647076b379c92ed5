// Bounds-checked reading and writing of wire bytes.
//
// Every parser of the library reads received bytes through a `wgcp_reader`: a view of `size` bytes
// with a cursor. Each read names the bytes it needs and fails with QNB_ERR_INVALIDDATA when they
// are not all inside the view, so a length, count or offset taken from the wire can never lead a
// read past what was received. Multi-byte values are big-endian on the wire and are assembled byte
// by byte; no wire record is ever read through a cast of a struct.
//
// Messages are built through a `wgcp_writer`: a buffer of `capacity` bytes of which the first
// `length` are written. Appends fail with QNB_ERR_MSGSIZE and change nothing when the bytes do not
// fit; padding is always written as zero bytes.
//
// Errors: QNB_ERR_INVALIDPARAMETER for a null reader, writer or output argument;
// QNB_ERR_INVALIDDATA for a read that does not lie inside the view (or a text without its
// terminator, or a wide unit above 0xFFFF); QNB_ERR_MSGSIZE for a write that does not fit.
// Offsets and sizes are checked without overflow: offset + n never wraps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"

// Raw big-endian loads and stores. The caller guarantees that the bytes exist (fixed-size buffers
// only); anything that was received goes through a reader instead.
uint16_t wgcp_load_be16(const uint8_t *p);
uint32_t wgcp_load_be32(const uint8_t *p);
void wgcp_store_be16(uint8_t *p, uint16_t value);
void wgcp_store_be32(uint8_t *p, uint32_t value);

// ---------------------------------------------------------------------------------------------
// Reader

struct wgcp_reader {
    const uint8_t *data;
    size_t size; // bytes in the view
    size_t pos;  // cursor of the sequential reads, 0 .. size
};

// A view of `size` bytes at `data` with the cursor at 0. A null `data` gives an empty view.
void wgcp_reader_init(wgcp_reader *r, const void *data, size_t size);

// True when the `n` bytes at `offset` lie inside the view.
bool wgcp_reader_has(const wgcp_reader *r, size_t offset, size_t n);
// Bytes from the cursor to the end of the view.
size_t wgcp_reader_remaining(const wgcp_reader *r);

// A view of the `n` bytes at `offset` (cursor at 0), for reading a record on its own.
qnb_error wgcp_reader_sub(const wgcp_reader *r, size_t offset, size_t n, wgcp_reader *out);

// Cursor movement: to `pos` (at most the size), forward by `n`, or forward to the next multiple
// of `alignment` (counted from the start of the view).
qnb_error wgcp_reader_seek(wgcp_reader *r, size_t pos);
qnb_error wgcp_reader_skip(wgcp_reader *r, size_t n);
qnb_error wgcp_reader_align(wgcp_reader *r, size_t alignment);

// Sequential reads at the cursor; the cursor moves only on success.
qnb_error wgcp_reader_get_u8(wgcp_reader *r, uint8_t *out);
qnb_error wgcp_reader_get_u16(wgcp_reader *r, uint16_t *out);
qnb_error wgcp_reader_get_u32(wgcp_reader *r, uint32_t *out);
qnb_error wgcp_reader_get_bytes(wgcp_reader *r, void *dst, size_t n);

// Reads at an offset from the start of the view; the cursor does not move.
qnb_error wgcp_reader_u8_at(const wgcp_reader *r, size_t offset, uint8_t *out);
qnb_error wgcp_reader_u16_at(const wgcp_reader *r, size_t offset, uint16_t *out);
qnb_error wgcp_reader_u32_at(const wgcp_reader *r, size_t offset, uint32_t *out);
qnb_error wgcp_reader_bytes_at(const wgcp_reader *r, size_t offset, void *dst, size_t n);

// A NUL-terminated text at `offset`. The terminator must lie inside the view. The text is copied
// into `buf` of `size` bytes, cut to size - 1 characters and always terminated; `length` (may be
// null) receives the full length of the stored text. `buf` may be null with `size` 0 to measure.
qnb_error wgcp_reader_string_at(const wgcp_reader *r, size_t offset, char *buf, size_t size,
                                size_t *length);

// A text in a fixed field of `field_size` bytes at `offset`, terminated or not: the whole field
// must lie inside the view; the characters up to the first NUL (or the whole field) are copied
// into `buf` of `size` bytes, cut to size - 1 and always terminated. `length` (may be null)
// receives the text's length inside the field.
qnb_error wgcp_reader_text_field_at(const wgcp_reader *r, size_t offset, size_t field_size, char *buf,
                                    size_t size, size_t *length);

// A wide text at `offset`: one big-endian u32 per UTF-16 code unit, ending with a 0 unit. Units
// are read until the 0 unit or until `capacity` - 1 units were read, whichever comes first; every
// unit read must lie inside the view. `buf` receives the units and a terminator; `units` (may be
// null) the number of units stored. `capacity` must be at least 1.
qnb_error wgcp_reader_wstring_at(const wgcp_reader *r, size_t offset, char16_t *buf, size_t capacity,
                                 size_t *units);

// ---------------------------------------------------------------------------------------------
// Writer

struct wgcp_writer {
    uint8_t *data;
    size_t capacity; // bytes the buffer holds
    size_t length;   // bytes written so far; appends go here
};

// A writer over `capacity` bytes at `data` whose first `length` bytes count as written (cut to the
// capacity).
void wgcp_writer_init(wgcp_writer *w, void *data, size_t capacity, size_t length);

// True when `n` more bytes fit.
bool wgcp_writer_fits(const wgcp_writer *w, size_t n);

// Appends. `src` null writes `n` zero bytes.
qnb_error wgcp_writer_put_u8(wgcp_writer *w, uint8_t value);
qnb_error wgcp_writer_put_u16(wgcp_writer *w, uint16_t value);
qnb_error wgcp_writer_put_u32(wgcp_writer *w, uint32_t value);
qnb_error wgcp_writer_put_bytes(wgcp_writer *w, const void *src, size_t n);
// Zero bytes up to the next multiple of `alignment` (counted from the start of the buffer).
qnb_error wgcp_writer_pad(wgcp_writer *w, size_t alignment);
// Reserves `n` zero bytes and returns where they start, for the caller to fill with the set_*_at
// functions.
qnb_error wgcp_writer_reserve(wgcp_writer *w, size_t n, size_t *offset);

// Overwrites bytes that were already written (offset + size <= length).
qnb_error wgcp_writer_set_u8_at(wgcp_writer *w, size_t offset, uint8_t value);
qnb_error wgcp_writer_set_u16_at(wgcp_writer *w, size_t offset, uint16_t value);
qnb_error wgcp_writer_set_u32_at(wgcp_writer *w, size_t offset, uint32_t value);
qnb_error wgcp_writer_set_bytes_at(wgcp_writer *w, size_t offset, const void *src, size_t n);
