// A growable byte array. Insertions grow the capacity by doubling.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"

struct qnb_byte_array {
    uint8_t *data;
    uint32_t capacity;
    uint32_t size;
};

// A new empty array; null when memory runs out.
qnb_byte_array *qnb_byte_array_new(void);
// Frees the array and its data.
void qnb_byte_array_free(qnb_byte_array *array);

bool qnb_byte_array_is_empty(const qnb_byte_array *array);
// The address of `offset`; null beyond the size.
uint8_t *qnb_byte_array_at(qnb_byte_array *array, uint32_t offset);

// Inserts `n` bytes (copied from `bytes`, or zeros when null) at `position` (clamped to the size).
// Returns the address of the first inserted byte, or null when memory runs out or the size would
// pass 2^32 - 1.
uint8_t *qnb_byte_array_insert(qnb_byte_array *array, uint32_t position, const void *bytes, uint32_t n);
uint8_t *qnb_byte_array_insert_byte(qnb_byte_array *array, uint32_t position, uint8_t byte);

// Erases up to `n` bytes at `position` (nothing beyond the size).
void qnb_byte_array_erase(qnb_byte_array *array, uint32_t position, uint32_t n);
void qnb_byte_array_erase_byte(qnb_byte_array *array, uint32_t position);

// Makes room for `capacity` bytes (never shrinks). NOMEMORY when memory runs out.
qnb_error qnb_byte_array_reserve(qnb_byte_array *array, uint32_t capacity);
// Sets the size; bytes added are zeroed.
qnb_error qnb_byte_array_resize(qnb_byte_array *array, uint32_t size);
// Gives back unused capacity; an empty array frees its data.
qnb_error qnb_byte_array_shrink_to_fit(qnb_byte_array *array);
// Empties the array and frees its data.
void qnb_byte_array_clear(qnb_byte_array *array);
// Replaces the content with `n` bytes. Returns the data, or null when memory runs out.
uint8_t *qnb_byte_array_assign(qnb_byte_array *array, const void *bytes, uint32_t n);
