// TXT records of the network-audio service types: an entry-by-entry iterator, the value parsers,
// and the parsers of the media device, conmon device and via device records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"

struct qnb_env;

struct wt_version {
    uint8_t major;
    uint8_t minor;
    uint16_t bugfix;
};

// A device's identity: its 8-byte id followed by its process id.
struct wt_device_id {
    uint8_t id[8];
    uint16_t process;
};

struct wt_txt_iterator {
    const uint8_t *start;
    const uint8_t *position;
    uint16_t total;
    uint16_t remaining;
};

enum {
    WT_TXT_ENTRY_SIZE = 256,
    WT_TXT_MALFORMED = -3
};

// The current entry: its bytes, terminated, with the first '=' replaced by a terminator.
struct wt_txt_entry {
    char text[WT_TXT_ENTRY_SIZE];
    size_t value_offset; // index after the '=', 0 when the entry has none
    size_t value_length;
};

void wt_txt_iterator_init(wt_txt_iterator *it, const void *txt, uint16_t length);
// Copies the next entry. Returns its length n (> 0), 0 at the end, WT_TXT_MALFORMED when the entry
// runs past the record.
int wt_txt_next(wt_txt_iterator *it, wt_txt_entry *entry);
// The entry's value (terminated) and its length; null when the entry has no '='.
const char *wt_txt_value(const wt_txt_entry *entry, size_t *length);
// The one key rule of every TXT reader: keys compare without regard to ASCII case and the first
// entry of a key counts. True when `key` is present; *value then points at the byte after its '='
// inside the record (null when the entry has none; not terminated) and *value_length counts the
// value's bytes; when absent they are null and 0. The walk is that of wt_txt_next: it ends at a zero-length or malformed entry.
bool wt_txt_find(const void *txt, uint16_t length, const char *key, const uint8_t **value,
                 uint8_t *value_length);

// Value parsers: `value` is a terminated text or null (absent). Each returns true on success.
// Version "%u.%u.%u": empty or absent gives zero; at least the first number must be present.
bool wt_txt_parse_version(const char *value, wt_version *out);
// As above, but an empty or absent value fails.
bool wt_txt_parse_via_version(const char *value, wt_version *out);
// Decimal number of at most 0xFFFF; empty fails.
bool wt_txt_parse_u16(const char *value, uint16_t *out);
// Decimal number; empty fails.
bool wt_txt_parse_u32(const char *value, uint32_t *out);
// Hexadecimal number; empty fails.
bool wt_txt_parse_hex_u32(const char *value, uint32_t *out);
// "%u.%u.%u.%u", each at most 255.
bool wt_txt_parse_address(const char *value, uint8_t out[4]);
// An 8-byte id as a short name of up to 8 characters, or "_" and hexadecimal pairs; empty or
// absent gives zero.
bool wt_txt_parse_id_text(const char *value, uint8_t out[8]);
// An 8-byte id as optional leading spaces and "0x", then 8 hexadecimal pairs; empty or absent
// gives zero.
bool wt_txt_parse_id_hex(const char *value, uint8_t out[8]);
// Exactly 16 hexadecimal digits -> 8 bytes.
bool wt_txt_parse_id16(const char *value, uint8_t out[8]);

enum {
    WT_TXT_MEDIA_ARCP_VERS = 0x01,
    WT_TXT_MEDIA_ARCP_MIN = 0x02,
    WT_TXT_MEDIA_ROUTER_VERS = 0x04,
    WT_TXT_MEDIA_ROUTER_INFO = 0x08,
    WT_TXT_MEDIA_MF = 0x10,
    WT_TXT_MEDIA_MODEL = 0x20,
    WT_TXT_MEDIA_ROUTER_DEBUG = 0x40
};

enum { WT_TXT_TEXT_SIZE = 255 };

struct wt_txt_media_device {
    uint32_t flags;
    wt_version arcp_vers;
    wt_version arcp_min;
    wt_version router_vers;
    char router_info[WT_TXT_TEXT_SIZE];
    uint8_t mf[8];
    uint8_t model[8];
    char router_debug[WT_TXT_TEXT_SIZE];
};

enum {
    WT_TXT_CONMON_CMCP_VERS = 0x001,
    WT_TXT_CONMON_CMCP_MIN = 0x002,
    WT_TXT_CONMON_ID = 0x004,
    WT_TXT_CONMON_PROCESS = 0x008,
    WT_TXT_CONMON_VID = 0x010,
    WT_TXT_CONMON_VBA = 0x020,
    WT_TXT_CONMON_MF = 0x040,
    WT_TXT_CONMON_MODEL = 0x080,
    WT_TXT_CONMON_SERVER_VERS = 0x100,
    WT_TXT_CONMON_CHANNELS = 0x200
};

struct wt_txt_conmon_device {
    uint32_t flags;
    wt_version cmcp_vers;
    wt_version cmcp_min;
    uint8_t id[8];
    uint16_t process;
    uint8_t vid[8];
    uint8_t vba[4];
    uint8_t mf[8];
    uint8_t model[8];
    wt_version server_vers;
    uint32_t channels;
};

// Zero the record and parse every known key (the first entry of a key, compared without regard to
// case); a flag is set only when its value parsed. Unknown keys, repeated keys and bad values are
// skipped, a malformed record ends the walk. QNB_ERR_INVALIDPARAMETER for a
// null record or TXT pointer, else 0.
qnb_error parse_media_device_txt_record(wt_txt_media_device *record, const void *txt, uint16_t length);
qnb_error parse_conmon_device_txt_record(wt_txt_conmon_device *record, const void *txt, uint16_t length);

// Reads the via device keys "id", "process", "vers_min" and "vers_curr". On the first failure logs
// why (naming the instance) and returns QNB_ERR_INVALIDDATA.
qnb_error parse_via_txt_record(qnb_env *env, const char *name, uint16_t length, const void *txt,
                               wt_device_id *id, wt_version *minimum, wt_version *current);
