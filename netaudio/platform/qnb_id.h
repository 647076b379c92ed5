// Text forms of the library's 64-bit identifiers (8 raw bytes). An id reads as its own bytes when
// they make a short name (letters, digits, '-', '_'), else as "_" and lower-case hexadecimal.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_error.h"

enum {
    QNB_ID_SIZE = 8,
    QNB_ID_TEXT_SIZE = 18,      // "_" + 16 hexadecimal digits + terminator
    QNB_ID_PORT_TEXT_SIZE = 23  // 16 hexadecimal digits + ":" + 5 digits + terminator
};

// Reads an id from its text form into `dst` (zeroed first; never more than 8 bytes written).
// A text not starting with '_' is taken as raw bytes: true for 1 to 8 characters. "_" followed by
// hexadecimal digit pairs (either case): true for 1 to 8 pairs ending on a pair. False otherwise.
bool qnb_id_from_text(uint8_t *dst, const char *text);

// Reads exactly 16 hexadecimal digits (after leading white space and an optional "0x" or "0X")
// into `dst`. Null argument: INVALIDPARAMETER; fewer digits: INVALIDDATA. Trailing text is ignored.
qnb_error qnb_id_from_hex(uint8_t *dst, const char *text);

// The text form of `id` into `out` (QNB_ID_TEXT_SIZE bytes): trailing zero bytes are ignored; all
// zero gives "_00". Returns `out` (null for a null argument).
char *qnb_id_to_text(const uint8_t *id, char *out);

// "%02x" x 8 ":" port, into `out` (QNB_ID_PORT_TEXT_SIZE bytes). Returns `out`.
char *qnb_id_port_to_text(const uint8_t *id, uint16_t port, char *out);

// '0'-'9', 'a'-'f', 'A'-'F' -> 0 to 15; anything else 255.
uint8_t qnb_hex_digit_value(int c);
