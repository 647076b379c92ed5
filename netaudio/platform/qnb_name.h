// Device-name and DNS-label rules, and the name copies that apply them.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_error.h"

enum {
    QNB_NAME_MAX_LENGTH = 32,      // a device name: at most 32 characters, none of '.', '=', '@'
    QNB_NAME_SIZE = 33,            // a name field: 32 characters and the terminator
    QNB_NAME40_SIZE = 40,          // the field of qnb_name_copy40: 39 characters and the terminator
    QNB_NAME_LONG_MAX_LENGTH = 40, // the limit of qnb_name_copy_flags with QNB_NAME_FLAG_LONG
    QNB_NAME_LONG_SIZE = 41,
    QNB_DNS_LABEL_MAX_LENGTH = 31
};

// Flags of qnb_name_copy_flags.
enum {
    QNB_NAME_FLAG_ANY_CHARS = 1,      // skip the '.', '=', '@' test
    QNB_NAME_FLAG_EMPTY_ON_ERROR = 2, // empty `dst` on INVALIDDATA or TRUNCATED (unless TRUNCATE)
    QNB_NAME_FLAG_TRUNCATE = 4,       // a name at or over the limit is copied cut to the limit
    QNB_NAME_FLAG_LONG = 8            // limit 40 instead of 32; skips the character test
};

// The device-name copy into a QNB_NAME_SIZE field. Null `dst`: INVALIDPARAMETER; null `src`: empty,
// 0. A '.', '=' or '@' anywhere: `dst` emptied, INVALIDDATA. More than 32 characters: `dst` holds
// the first 32, TRUNCATED. Else the whole name, 0.
qnb_error qnb_name_copy_checked(char *dst, const char *src);

// Bounded copy into a QNB_NAME40_SIZE field (always terminated). Null or empty `src`: empty, 0.
// TRUNCATED when `src` had 40 or more characters.
qnb_error qnb_name_copy40(char *dst, const char *src);

// Name copy by flags. The limit is 40 with QNB_NAME_FLAG_LONG, else 32; `dst` must hold limit + 1
// bytes. Null `dst`: INVALIDPARAMETER; null or empty `src`: empty, 0. Unless QNB_NAME_FLAG_ANY_CHARS
// or QNB_NAME_FLAG_LONG, a '.', '=' or '@' gives INVALIDDATA. A name shorter than the limit is
// copied whole, 0; a name at or over the limit gives TRUNCATED, and with QNB_NAME_FLAG_TRUNCATE its
// first `limit` characters are copied and terminated. Otherwise a failed copy leaves `dst` as it
// was, or empties it with QNB_NAME_FLAG_EMPTY_ON_ERROR.
qnb_error qnb_name_copy_flags(char *dst, const char *src, unsigned flags);

// A DNS label: starts and ends with a letter or digit, else letters, digits and '-', at most 31
// characters.
bool qnb_dns_label_is_valid(const char *text);

// Same pointer (also both null), or both non-null and equal ignoring ASCII case.
bool qnb_str_equal_nocase(const char *a, const char *b);

// This process's id. Null `out`: INVALIDPARAMETER.
qnb_error qnb_process_id(uint32_t *out);
