// Vendor bodies of control-and-monitoring channel messages: the body that follows the 24-byte
// channel-message head when the head carries the standard vendor id. A vendor body starts with an
// 8-byte head {u16 body version, u16 message type, u32 parameter} and continues by type. All fields
// are big-endian.
//
// Builders write into a `conmon_vendor_body` (room for the largest body, 1448 bytes); the length to
// send is the body's size constant (or, for INTERFACE_CONTROL and the second upgrade form, its size
// function). Parsers take the received body and its length and never read past that length:
//   - a field that lies beyond the length is absent: the value reads as 0 (an empty text) and the
//     parser returns QNB_ERR_TRUNCATED;
//   - a field that the body's version does not carry reads as 0 and the parser returns 0;
//   - an entry that the body's own counts or offsets say is not there gives QNB_ERR_NOTFOUND;
//   - counts are clamped to the entries that fit, texts are copied bounded and always terminated.
// A null body with a non-zero length, or a null result, gives QNB_ERR_INVALIDPARAMETER.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"

enum {
    CONMON_MSG_HEAD_SIZE = 24,   // the channel-message head before the body
    CONMON_VENDOR_HEAD_SIZE = 8, // the vendor body's own head
    CONMON_BODY_MAX = 1448,
    CONMON_BODY_VERSION = 0x0726 // what the builders write
};

// The standard vendor id: the 8 bytes "Quenbary", no terminator.
extern const uint8_t conmon_vendor_id_standard[8];

// Message types.
enum {
    CONMON_MSG_TOPOLOGY_CHANGE = 0x0010,
    CONMON_MSG_INTERFACE_STATUS = 0x0011,
    CONMON_MSG_INTERFACE_CONTROL = 0x0013,
    CONMON_MSG_SWITCH_VLAN_STATUS = 0x0014,
    CONMON_MSG_SWITCH_VLAN_CONTROL = 0x0015,
    CONMON_MSG_CLOCKING_STATUS = 0x0020,
    CONMON_MSG_CLOCKING_CONTROL = 0x0021,
    CONMON_MSG_MASTER_STATUS = 0x0022,
    CONMON_MSG_MASTER_QUERY = 0x0023,
    CONMON_MSG_UNICAST_CLOCKING_STATUS = 0x0024,
    CONMON_MSG_UNICAST_CLOCKING_CONTROL = 0x0025,
    CONMON_MSG_NAME_ID_STATUS = 0x0026,
    CONMON_MSG_NAME_ID_CONTROL = 0x0027,
    CONMON_MSG_IFSTATS_STATUS = 0x0040,
    CONMON_MSG_IFSTATS_QUERY = 0x0041,
    CONMON_MSG_IGMP_VERS_STATUS = 0x0050,
    CONMON_MSG_IGMP_VERS_CONTROL = 0x0051,
    CONMON_MSG_VERSIONS_STATUS = 0x0060,
    CONMON_MSG_VERSIONS_QUERY = 0x0061,
    CONMON_MSG_IDENTIFY_STATUS = 0x0062,
    CONMON_MSG_IDENTIFY_QUERY = 0x0063,
    CONMON_MSG_UPGRADE_STATUS = 0x0070,
    CONMON_MSG_UPGRADE_CONTROL = 0x0071,
    CONMON_MSG_CONFIG_CONTROL = 0x0073,
    CONMON_MSG_UPGRADE_CONTROL_2 = 0x0075, // the second upgrade control form (no printed name)
    CONMON_MSG_SRATE_STATUS = 0x0080,
    CONMON_MSG_SRATE_CONTROL = 0x0081,
    CONMON_MSG_ENC_STATUS = 0x0082,
    CONMON_MSG_ENC_CONTROL = 0x0083,
    CONMON_MSG_SRATE_PULLUP_STATUS = 0x0084,
    CONMON_MSG_SRATE_PULLUP_CONTROL = 0x0085,
    CONMON_MSG_AUDIO_INTERFACE_STATUS = 0x0086,
    CONMON_MSG_AUDIO_INTERFACE_QUERY = 0x0087,
    CONMON_MSG_SYS_RESET = 0x0090,
    CONMON_MSG_EDK_BOARD_STATUS = 0x00A0,
    CONMON_MSG_EDK_BOARD_CONTROL = 0x00A1,
    CONMON_MSG_ACCESS_STATUS = 0x00B0,
    CONMON_MSG_ACCESS_CONTROL = 0x00B1,
    CONMON_MSG_MANF_VERSIONS_STATUS = 0x00C0,
    CONMON_MSG_MANF_VERSIONS_QUERY = 0x00C1,
    CONMON_MSG_LED_STATUS = 0x00D0,
    CONMON_MSG_LED_QUERY = 0x00D1,
    CONMON_MSG_METERING_STATUS = 0x00E0,
    CONMON_MSG_METERING_CONTROL = 0x00E1,
    CONMON_MSG_SERIAL_PORT_STATUS = 0x00F0,
    CONMON_MSG_SERIAL_PORT_CONTROL = 0x00F1,
    CONMON_MSG_ROUTING_READY = 0x0100,
    CONMON_MSG_TX_CHANNEL_CHANGE = 0x0101,
    CONMON_MSG_RX_CHANNEL_CHANGE = 0x0102,
    CONMON_MSG_TX_LABEL_CHANGE = 0x0103,
    CONMON_MSG_TX_FLOW_CHANGE = 0x0104,
    CONMON_MSG_RX_FLOW_CHANGE = 0x0105,
    CONMON_MSG_PROPERTY_CHANGE = 0x0106,
    CONMON_MSG_ROUTING_READY_QUERY = 0x010F,
    CONMON_MSG_RX_CHANNEL_RX_ERROR = 0x0110,
    CONMON_MSG_RX_CHANNEL_RX_ERROR_QUERY = 0x0111,
    CONMON_MSG_RX_ERROR_THRES_STATUS = 0x0112,
    CONMON_MSG_RX_ERROR_THRES_CONTROL = 0x0113,
    CONMON_MSG_ROUTING_DEVICE_CHANGE = 0x0120,
    CONMON_MSG_VELTO_READY = 0x0130,
    CONMON_MSG_VELTO_READY_QUERY = 0x0131,
    CONMON_MSG_HAREMOTE_STATUS = 0x1000,
    CONMON_MSG_HAREMOTE_QUERY = 0x1001,
    CONMON_MSG_HAREMOTE = 0x1002,
    CONMON_MSG_HAREMOTE_STATS_STATUS = 0x1004,
    CONMON_MSG_HAREMOTE_STATS_QUERY = 0x1005,
    CONMON_MSG_AES67_QUERY = 0x1006,  // AES67 state query (no printed name)
    CONMON_MSG_AES67_STATUS = 0x1007, // its answer
    CONMON_MSG_LOCK_QUERY = 0x1008,   // device lock query: the generic 8-byte body
    CONMON_MSG_LOCK_STATUS = 0x1009   // its answer
};

// The printed name of a message type ("VERSIONS_STATUS"); null for a type without one.
const char *conmon_msg_type_name(uint16_t type);

// Body sizes to send.
enum {
    CONMON_MSG_GENERIC_SIZE = 8,
    CONMON_MSG_CLOCKING_CONTROL_SIZE = 40,
    CONMON_MSG_SRATE_CONTROL_SIZE = 16,
    CONMON_MSG_ENC_CONTROL_SIZE = 16,
    CONMON_MSG_SRATE_PULLUP_CONTROL_SIZE = 32,
    CONMON_MSG_SYS_RESET_SIZE = 12,
    CONMON_MSG_ACCESS_CONTROL_SIZE = 12,
    CONMON_MSG_AES67_QUERY_SIZE = 12,
    CONMON_MSG_UPGRADE_CONTROL_SIZE = 80,
    CONMON_MSG_UPGRADE_0X75_FIXED_SIZE = 48, // the second upgrade form before its extension area
    CONMON_MSG_UPGRADE_TEXT_MAX = 63      // characters of the UPGRADE_CONTROL text
};

struct conmon_vendor_body {
    uint8_t data[CONMON_BODY_MAX];
};

// A packed version (u32: major in the top byte, then minor, then a 16-bit bugfix) with the build
// number that a further u32 carries.
struct conmon_version {
    uint8_t major;
    uint8_t minor;
    uint16_t bugfix;
    uint32_t build;
};

struct conmon_source_id {
    uint8_t device_id[8];
    uint16_t process;
};

// The extension area of the second upgrade form: bytes `used` .. `capacity` of the body are free.
struct conmon_msg_extension {
    size_t capacity; // at most CONMON_BODY_MAX
    size_t used;
};

enum {
    CONMON_UPGRADE_SOURCE_SIZE = 24,
    CONMON_UPGRADE_SOURCE_KIND = 0x02,
    CONMON_UPGRADE_SOURCE_PORT = 0x04,
    CONMON_UPGRADE_SOURCE_ADDRESS = 0x08,
    CONMON_UPGRADE_SOURCE_TEXT = 0x10,
    CONMON_UPGRADE_SOURCE_VALUE = 0x20,
    CONMON_UPGRADE_TEXT_SIZE = 256
};

// An upgrade source record. `flags` names the fields that are set; for building, the kind's flag
// is set from a non-zero kind and the other flags are taken from the caller.
struct conmon_upgrade_source {
    uint32_t flags;
    uint16_t kind;       // u16 at 8
    uint16_t port;       // u16 at 10
    uint8_t address[4];  // IPv4 address at 12, as stored
    char text[CONMON_UPGRADE_TEXT_SIZE]; // NUL-terminated text by the offset at 18
    uint32_t value;      // u32 at 20
};

// Upgrade progress of an UPGRADE_STATUS.
enum {
    CONMON_UPGRADE_HAS_RESULT = 0x02,
    CONMON_UPGRADE_HAS_PROGRESS = 0x04,
    CONMON_UPGRADE_HAS_SOURCE = 0x08,
    CONMON_UPGRADE_HAS_BLOCK_A = 0x20,
    CONMON_UPGRADE_HAS_BLOCK_B = 0x40
};
struct conmon_upgrade_progress {
    uint16_t state;  // u16 at 8
    uint32_t flags;  // u32 at 12 (0 for body versions up to 0x0708)
    uint16_t result; // u16 at 10 with flag 0x02
    uint32_t done;   // u32 at 16 with flag 0x04
    uint32_t total;  // u32 at 20 with flag 0x04
    uint8_t block_a[8]; // at 28 with flag 0x20
    uint8_t block_b[8]; // at 36 with flag 0x40
};

// One interface of an INTERFACE_STATUS (28-byte record). Addresses as stored (network order).
struct conmon_interface_info {
    uint32_t flags;      // u32 at 0
    uint16_t link_speed; // u16 at 4, Mbit/s
    uint8_t mac[6];
    uint32_t address;    // at 12
    uint32_t netmask;    // at 16
    uint32_t gateway;    // at 20
    uint32_t dns;        // at 24
};

// What follows the records of an INTERFACE_STATUS.
struct conmon_interface_trailer {
    uint16_t entry_size;   // of the second table
    uint16_t table_offset; // of the second table, from the body start; 0 = none
    uint16_t value;        // body versions above 0x0601; bit 0: the interfaces are a redundant pair
};

// ---------------------------------------------------------------------------------------------
// Builders. Each fills the vendor head (body version 0x0726, its type, `parameter`) and zeroes the
// fields it names; bytes it does not name are zero too.

qnb_error conmon_msg_init(conmon_vendor_body *body, uint16_t type, uint32_t parameter);

// INTERFACE_CONTROL with an empty record table; its size by the record-table rule.
qnb_error conmon_msg_init_interface_control(conmon_vendor_body *body, uint32_t parameter);
// 16 with no table; else the table's end plus each record's text (length + 1); 0 when a record or
// its text does not lie inside the body (the body is unusable).
size_t conmon_msg_interface_control_size(const conmon_vendor_body *body);

qnb_error conmon_msg_init_clocking_control(conmon_vendor_body *body, uint32_t parameter);
// 0 or 1 writes byte 12 and sets flag 0x0002; any other value changes nothing and gives
// QNB_ERR_INVALIDPARAMETER.
qnb_error conmon_msg_clocking_control_set_preferred_master(conmon_vendor_body *body, unsigned value);

qnb_error conmon_msg_init_srate_control(conmon_vendor_body *body, uint32_t parameter);
// A non-zero rate is written at 12 and sets flag bit 0; a rate of 0 changes nothing.
qnb_error conmon_msg_srate_control_set_rate(conmon_vendor_body *body, uint32_t rate);

qnb_error conmon_msg_init_enc_control(conmon_vendor_body *body, uint32_t parameter);
qnb_error conmon_msg_init_srate_pullup_control(conmon_vendor_body *body, uint32_t parameter);

// SYS_RESET (reboot); setting the mode writes it at 10 and sets flag 0x0001.
qnb_error conmon_msg_init_sys_reset(conmon_vendor_body *body, uint32_t parameter);
qnb_error conmon_msg_sys_reset_set_mode(conmon_vendor_body *body, uint16_t mode);

qnb_error conmon_msg_init_access_control(conmon_vendor_body *body, uint32_t parameter);
qnb_error conmon_msg_init_aes67_query(conmon_vendor_body *body, uint32_t parameter);

// UPGRADE_CONTROL: `value` at 8, `code` at 12, `text` (null = empty) in the 64-byte field at 16.
// A text longer than 63 characters is refused (QNB_ERR_INVALIDPARAMETER), never cut.
qnb_error conmon_msg_init_upgrade_control(conmon_vendor_body *body, uint32_t parameter, uint32_t value,
                                          uint16_t code, const char *text);

// The second upgrade form: the fixed part (u32 at 12 = 3) and an empty extension area.
qnb_error conmon_msg_init_upgrade_0x75(conmon_vendor_body *body, uint32_t parameter, conmon_msg_extension *ext);
// Its size: the extension area's end.
size_t conmon_msg_upgrade_0x75_size(const conmon_msg_extension *ext);
// The two optional 8-byte values at 24 and 32 (null = not set); each sets its flag (0x2, 0x4).
qnb_error conmon_msg_upgrade_set_options(conmon_vendor_body *body, const uint8_t *value_a, const uint8_t *value_b);
// Places the source record (and its text) in the extension area: QNB_ERR_NOMEMORY when it does not
// fit (nothing is changed then), QNB_ERR_INVALIDPARAMETER for a text of more than 255 characters.
qnb_error conmon_msg_upgrade_set_source(conmon_vendor_body *body, conmon_msg_extension *ext,
                                        const conmon_upgrade_source *source);

// ---------------------------------------------------------------------------------------------
// Channel-message accessors: `msg` is a whole channel message (head and body) of `size` bytes.

// Total length - 24; QNB_ERR_INVALIDDATA when the head is short or its length is below 24 or
// beyond `size`.
qnb_error conmon_msg_body_length(const void *msg, size_t size, uint16_t *out);
qnb_error conmon_msg_get_source_id(const void *msg, size_t size, conmon_source_id *out);
qnb_error conmon_msg_get_seqnum(const void *msg, size_t size, uint16_t *out);
// The 8 bytes at 16: a message head's vendor id (also read from bodies).
qnb_error conmon_msg_get_vendor_id(const void *data, size_t size, uint8_t out[8]);

// ---------------------------------------------------------------------------------------------
// Body parsers: `body` is a vendor body of `length` bytes.

qnb_error conmon_msg_get_version(const void *body, size_t length, uint16_t *out);
qnb_error conmon_msg_get_type(const void *body, size_t length, uint16_t *out);
qnb_error conmon_msg_get_parameter(const void *body, size_t length, uint32_t *out);
// Bits 0 and 1 of the u16 flags word at 8; whether the u16 at 8 is non-zero.
qnb_error conmon_msg_get_flag0(const void *body, size_t length, bool *out);
qnb_error conmon_msg_get_flag1(const void *body, size_t length, bool *out);
qnb_error conmon_msg_has_count(const void *body, size_t length, bool *out);
// Byte `index` of a byte list (u16 count at 8, bytes from 10): 0 beyond the count, and beyond the
// length (then QNB_ERR_TRUNCATED).
qnb_error conmon_msg_get_byte(const void *body, size_t length, unsigned index, uint8_t *out);

// VERSIONS_STATUS.
qnb_error conmon_msg_versions_get_version_b(const void *body, size_t length, conmon_version *out); // at 8, build at 40
qnb_error conmon_msg_versions_get_version_a(const void *body, size_t length, conmon_version *out); // at 12, build at 44
qnb_error conmon_msg_versions_get_model_id(const void *body, size_t length, uint8_t out[8]);       // at 20
qnb_error conmon_msg_versions_get_u32(const void *body, size_t length, uint32_t *out);   // at 28, from 0x0200
qnb_error conmon_msg_versions_get_u32_b(const void *body, size_t length, uint32_t *out); // at 36, above 0x0703
qnb_error conmon_msg_versions_get_u16(const void *body, size_t length, uint16_t *out);   // at 58, above 0x0708

// MANF_VERSIONS_STATUS.
qnb_error conmon_msg_manf_versions_get_manf_id(const void *body, size_t length, uint8_t out[8]);  // at 8
qnb_error conmon_msg_manf_versions_get_model_id(const void *body, size_t length, uint8_t out[8]); // at 16
qnb_error conmon_msg_manf_versions_get_id_c(const void *body, size_t length, uint8_t out[8]);     // at 24
qnb_error conmon_msg_manf_versions_get_version_b(const void *body, size_t length, conmon_version *out); // 32/44
qnb_error conmon_msg_manf_versions_get_version_a(const void *body, size_t length, conmon_version *out); // 36/48
qnb_error conmon_msg_manf_versions_get_u32_a(const void *body, size_t length, uint32_t *out); // at 40, above 0x0605
// The texts of the 128-byte fields at 52 and 180 (above 0x0700, when their first byte is set),
// copied into `buf` of `size` bytes, cut to size - 1 and always terminated.
qnb_error conmon_msg_manf_versions_get_block_a(const void *body, size_t length, char *buf, size_t size);
qnb_error conmon_msg_manf_versions_get_block_b(const void *body, size_t length, char *buf, size_t size);
qnb_error conmon_msg_manf_versions_get_u32_b(const void *body, size_t length, uint32_t *out); // at 308, from 0x0704

// INTERFACE_STATUS.
// The record count, clamped to the records inside the body.
qnb_error conmon_msg_interface_status_get_count(const void *body, size_t length, uint16_t *out);
// Record `index`: QNB_ERR_NOTFOUND at or beyond the count.
qnb_error conmon_msg_interface_status_get_interface(const void *body, size_t length, unsigned index,
                                                    conmon_interface_info *out);
// The trailer at 12 + 28 x count (the count as received).
qnb_error conmon_msg_interface_status_get_trailer(const void *body, size_t length, conmon_interface_trailer *out);
// The second table's entry `index`: QNB_ERR_NOTFOUND when the table is absent (size or offset 0),
// the index is at or beyond the count, or the field does not lie inside the entry.
qnb_error conmon_msg_list_get_flags(const void *body, size_t length, unsigned index, uint16_t *out); // bit 0x4 cleared
qnb_error conmon_msg_list_get_flag2(const void *body, size_t length, unsigned index, bool *out); // bit 0x4, from 0x0600
qnb_error conmon_msg_list_get_c(const void *body, size_t length, unsigned index, uint32_t *out); // at 4
qnb_error conmon_msg_list_get_d(const void *body, size_t length, unsigned index, uint32_t *out); // at 8
qnb_error conmon_msg_list_get_a(const void *body, size_t length, unsigned index, uint32_t *out); // at 12
qnb_error conmon_msg_list_get_b(const void *body, size_t length, unsigned index, uint32_t *out); // at 16

// SRATE_STATUS: the rate count (0 unless the list offset is non-zero and a multiple of 4; clamped
// to the rates inside the body), the current rate, rate `index`.
qnb_error conmon_msg_srate_status_num_rates(const void *body, size_t length, uint16_t *out);
qnb_error conmon_msg_srate_status_get_current(const void *body, size_t length, uint32_t *out);
qnb_error conmon_msg_srate_status_get_rate(const void *body, size_t length, unsigned index, uint32_t *out);

// CLOCKING_STATUS: 1 when the byte at 14 is non-zero, else 0.
qnb_error conmon_msg_clocking_status_get_preferred_master(const void *body, size_t length, uint8_t *out);

// AES67 status (0x1007): enabled at 8, reboot needed at 9. Lock status (0x1009): locked at 8.
qnb_error conmon_msg_aes67_status_get(const void *body, size_t length, bool *enabled, bool *reboot_needed);
qnb_error conmon_msg_lock_status_get_locked(const void *body, size_t length, bool *out);

// UPGRADE_STATUS. Progress: QNB_ERR_TRUNCATED when a block that the flags announce is cut (the
// fields before it are kept). Detail: the source record by the offset at 24; QNB_ERR_VERSION for
// body versions up to 0x0708, QNB_ERR_NOTFOUND without flag 0x8 or offset, QNB_ERR_TRUNCATED when
// the record or its text passes the length, QNB_ERR_INVALIDDATA for a misaligned record.
qnb_error conmon_msg_upgrade_status_get_progress(const void *body, size_t length, conmon_upgrade_progress *out);
qnb_error conmon_msg_upgrade_status_get_status(const void *body, size_t length, conmon_upgrade_source *out);
