// Byte-level access to the service layer's argument blocks and result payloads. Every field is read
// bounded by the bytes present: a field that does not fit reads as absent. Multi-byte fields are in
// host byte order and unaligned; they are copied with memcpy, never read through a cast.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Width of a device-name field: 32 bytes, zero padded, not necessarily terminated.
enum { WFA_NAME_FIELD = 32 };
// Width of an interface-name field: 64 UTF-16 units (128 bytes), zero padded.
enum { WFA_IF_NAME_UNITS = 64 };

bool wfa_get_u8(const uint8_t *data, size_t size, size_t offset, uint8_t *out);
bool wfa_get_u16(const uint8_t *data, size_t size, size_t offset, uint16_t *out);
bool wfa_get_u32(const uint8_t *data, size_t size, size_t offset, uint32_t *out);

// The text of a fixed field of `field` bytes at `offset`, up to its first zero byte, bounded by the
// field and by the bytes present.
std::string wfa_get_text(const uint8_t *data, size_t size, size_t offset, size_t field);

// Copies a fixed text field into a terminated buffer of field + 1 bytes (the rest zeroed).
void wfa_copy_name(const uint8_t *field_bytes, size_t field, char *out);

// Writers: the caller's buffer holds `size` bytes; a field that does not fit is not written and
// false is returned.
bool wfa_put_u8(uint8_t *data, size_t size, size_t offset, uint8_t value);
bool wfa_put_u16(uint8_t *data, size_t size, size_t offset, uint16_t value);
bool wfa_put_u32(uint8_t *data, size_t size, size_t offset, uint32_t value);
// Writes `text` into a field of `field` bytes: at most `field` bytes of it, the rest zero. A text of
// exactly `field` bytes fills the field without a terminator.
bool wfa_put_text(uint8_t *data, size_t size, size_t offset, size_t field, const std::string &text);

// UTF-16 interface names. Encodes `name` into `units` UTF-16 code units (host order) with a
// terminating zero: at most units - 1 units of text, never splitting a surrogate pair; characters
// that UTF-16 cannot carry become U+FFFD. Returns the number of text units written.
size_t wfa_utf16_from_wstring(const std::wstring &name, char16_t *out, size_t units);
// Decodes at most `units` UTF-16 units, stopping at the first zero unit; a lone surrogate becomes
// U+FFFD.
std::wstring wfa_wstring_from_utf16(const char16_t *in, size_t units);

// Writes / reads a UTF-16 field of `units` units as bytes in host order.
bool wfa_put_utf16(uint8_t *data, size_t size, size_t offset, const char16_t *in, size_t units);
bool wfa_get_utf16(const uint8_t *data, size_t size, size_t offset, char16_t *out, size_t units);

// "%02X:%02X:%02X:%02X:%02X:%02X"
std::string wfa_mac_text(const uint8_t mac[6]);
