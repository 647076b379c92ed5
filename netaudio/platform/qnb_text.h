// Text helpers for the parsers: white-space tokens, prefixes, hexadecimal bytes, bounded
// concatenation, an unsigned 64-bit number reader and a UTF-16 to ASCII converter. White space is
// ASCII (blank, \t, \n, \v, \f, \r), whatever the process's locale.
#pragma once

#include <cstddef>
#include <cstdint>

// Skips white space and cuts the next token out of `text` (writing a NUL behind it); `*rest` points
// behind the token. Null at the end of the text.
char *qnb_next_token(char *text, char **rest);

// The first non-space character's position / the first white-space position (or the end).
const char *qnb_skip_space(const char *text);
const char *qnb_token_end(const char *text);
// The first non-space character ('\0' when none).
char qnb_first_char(const char *buffer);

// The position right behind `prefix` when `text` starts with it, else null.
const char *qnb_prefix(const char *text, const char *prefix);

// Converts hexadecimal digit pairs (either case) into up to `n` bytes. At the end of the text the
// rest of the buffer is zeroed (a single last digit gives its high nibble) and `n` is returned; at
// an invalid digit the number of bytes written so far is returned.
size_t qnb_hex_to_bytes(const char *hex, uint8_t *buffer, size_t n);

// As qnb_hex_to_bytes without zero filling, but after every `group` bytes `separator` must follow
// ("08-00-11-FF-FE-22-33-44" with '-' and 1). Returns the bytes written, or `n` when full.
size_t qnb_hex_to_bytes_sep(const char *hex, uint8_t *buffer, size_t n, char separator, size_t group);

// Appends each text of the null-terminated list to the text in `buffer`, cut at size - 1 and
// always terminated. Returns the length the whole concatenation would have; 0 when `buffer` holds
// no terminator within `size`.
size_t qnb_strlcat_many(char *buffer, size_t size, ...);

// Reads an unsigned 64-bit number: leading white space, an optional sign (a minus negates modulo
// 2^64), base 0 (a "0x" prefix: 16, a leading 0: 8, else 10) or 2 to 36. On overflow: all ones,
// errno = ERANGE, the remaining digits consumed. `*end` is behind the last digit, or `text` when
// nothing was read (also for a bad base, with errno = EINVAL).
uint64_t qnb_strtoull(const char *text, const char **end, int base);

// UTF-16 -> text: when every unit is below 128 the units as bytes, else each unit as four lower-case
// hexadecimal digits separated by blanks; cut at size - 1, terminated. Null `text`: empty. Nothing
// written without a buffer or with size 0. Returns `buffer`.
char *qnb_wstr_to_str(const char16_t *text, char *buffer, size_t size);

// free() of a pointer that is not null.
void qnb_free_nonnull(void *pointer);
