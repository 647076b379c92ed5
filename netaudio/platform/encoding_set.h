// A set of audio encodings: PCM sample widths (1 to 64 bits, kept as a mask of sample sizes in
// bytes) and up to 8 other encoding codes, sorted ascending.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_error.h"

enum {
    ENCODING_SET_MAX = 8,
    ENCODING_SET_PCM_MAX_BITS = 64,
    ENCODING_SET_ARRAY_SIZE = 1 + ENCODING_SET_MAX, // count, then the entries
    ENCODING_SET_PCM_ENTRY = 24                     // stands for "PCM" in an array
};

struct encoding_set {
    uint32_t value;           // compared by equality; set by the owner
    uint16_t first_encoding;  // the first encoding ever added (0: none yet)
    uint16_t count;           // entries in `encodings`
    uint16_t first_pcm_width; // the first PCM width added (0: none yet)
    uint16_t pcm_width_mask;  // bit n: samples of n + 1 bytes
    uint16_t encodings[ENCODING_SET_MAX];
};

// A PCM width (1 to 64) sets its sample-size bit; any other value is inserted into the sorted
// list (TRUNCATED when it already holds 8). Null set: INVALIDPARAMETER.
qnb_error encoding_set_add(encoding_set *set, uint16_t encoding);

// Same pointer: true; a null: false; else every field equal.
bool encoding_set_equal(const encoding_set *a, const encoding_set *b);

// out[0] = number of entries; then 24 when a PCM width is present, then the listed encodings, at
// most 8 entries in all. `out` holds ENCODING_SET_ARRAY_SIZE values.
qnb_error encoding_set_to_array(const encoding_set *set, uint16_t *out);
