// Message format of the device routing protocol ("arcp"): opcodes, the request header by protocol
// version, entry lists with their ranges and id lists, shared strings, the property table, and
// the records the routing client reads from responses (capabilities, tx and rx channel entries,
// format and value blocks, labels, names and version records, performance values, per-device
// arrays), with the result codes of a response and their library errors.
//
// A routing message is a 10-byte big-endian header {protocol version, total length, seqnum,
// opcode, result} followed by a body. Most bodies are an entry list: byte 10 holds the capacity
// the writer reserved, byte 11 the number of entries, entries of a fixed size per opcode start at
// byte 12. Strings and blocks are reached through u16 byte offsets counted from the start of the
// message (0 = absent); they lie behind the entry list.
//
// Requests are built into the routing builder `wgcp_builder` (wgcp_message.h), whose limit the
// container sets (1400 bytes, or less through a domain). Every append checks that limit: an item
// that does not fit is not added and the message keeps its previous length.
//
// Responses are read through `wr_msg_response`, a bounded view of the bytes received. Every read
// is bounded by those bytes, by the message's own length field and by the field's own size;
// counts that do not fit the bytes and offsets outside their range refuse the record
// (QNB_ERR_INVALIDDATA), and sizes that would lead to allocations are capped (WR_MSG_MAX_*).
// Nothing is ever read through a cast of a struct.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/messaging/wgcp_message.h"
#include "netaudio/platform/qnb_error.h"

enum {
    WR_DEFAULT_PORT = 4440,
    WR_PROTOCOL_VERSION_MAX = 0x2729, // 2.7.41: the newest version this client writes
    WR_MESSAGE_MAX = 1400,            // largest routing message
    WR_HEADER_SIZE = 10,
    WR_LIST_HEAD = 12,                // first entry of an entry list
    WR_NAME_SIZE = 33,                // a name field: 32 characters and the terminator
    WR_PROPERTY_TEXT_MAX = 16,        // characters kept of a string property (0x8021)
    WR_PROPERTY_TEXT_SIZE = 17,
    WR_VALUE_NONE = 0x7FFF            // a channel value that is not valid
};

// Opcodes.
enum {
    WR_OP_CAPABILITIES = 0x1000,
    WR_OP_RENAME = 0x1001,
    WR_OP_NAMES = 0x1002,
    WR_OP_NAMES_EXT = 0x1003,
    WR_OP_PROPERTIES = 0x1100,
    WR_OP_UNICAST_PERFORMANCE = 0x1101,
    WR_OP_PROP_AVAIL = 0x1102,
    WR_OP_CAPABILITY_FLAG_SET = 0x1601,
    WR_OP_CAPABILITY_FLAG_CLEAR = 0x1602,
    WR_OP_CHANGED_ALL = 0x1F11,
    WR_OP_TX_CHANNELS = 0x2000,
    WR_OP_TX_LABELS = 0x2010,
    WR_OP_TX_LABEL_CHANGE = 0x2011,
    WR_OP_TX_FLAG1_SET = 0x2020,
    WR_OP_TX_FLAG1_CLEAR = 0x2021,
    WR_OP_TX_FLAG2_SET = 0x2022,
    WR_OP_TX_FLAG2_CLEAR = 0x2023,
    WR_OP_TX_CHANNEL = 0x2030,
    WR_OP_TX_CHANNEL_FLAGGED = 0x2031,
    WR_OP_TX_VALUES = 0x2032,
    WR_OP_TX_VALUES_ALT = 0x2033,
    WR_OP_TX_FLOWS = 0x2200,
    WR_OP_TX_FLOW_BATCH = 0x2201,
    WR_OP_RX_CHANNELS = 0x3000,
    WR_OP_RX_RENAME = 0x3001,
    WR_OP_RX_SUBSCRIBE = 0x3010,
    WR_OP_RX_UNSUBSCRIBE = 0x3014,
    WR_OP_RX_CHANNEL = 0x3030,
    WR_OP_RX_CHANNEL_FLAGGED = 0x3031,
    WR_OP_RX_FLOWS = 0x3200,
    WR_OP_RX_FLOW_CHANGE = 0x3201,
    WR_OP_RX_PERFORMANCE_CHANGED = 0x3210,
    WR_OP_RX_FLOW_DETAILS = 0x3240,
    WR_OP_RX_FLOW_DETAILS_ALT = 0x3241,
    WR_OP_PERFORMANCE = 0x3300,
    WR_OP_DEVICE_TABLE = 0x4000,
    WR_OP_DEVICE_ARRAY0 = 0x4010,
    WR_OP_DEVICE_ARRAY1 = 0x4011,
    WR_OP_DEVICE_ARRAY3 = 0x4012,
    WR_OP_DEVICE_ARRAY2 = 0x4013,
    WR_OP_DEVICE_ARRAY4 = 0x4020
};

// Result codes (header offset 8 of a response). 0 in every request.
enum {
    WR_RESULT_OK = 0x001,         // low 12 bits: success
    WR_RESULT_MORE = 0x112,       // low 12 bits: success, more entries follow (with WR_RESULT_REPLY)
    WR_RESULT_REPLY = 0x8000,     // the reply goes to the opcode handlers
    WR_RESULT_NO_CAPABILITIES = 0x000F, // with a bare 10-byte 0x1000 reply: nothing to report
    WR_RESULT_NO_CAPABILITIES_ALT = 0x0601
};

// The routing client's own errors, outside the qnb_error table.
enum {
    WR_ERR_LAYOUT = 0x140,            // a response does not match the layout the device reported
    WR_ERR_LABEL_OWN_NAME = 0x150,    // the name is this tx channel's own name
    WR_ERR_LABEL_CHANNEL_NAME = 0x151, // the name is another tx channel's name
    WR_ERR_LABEL_OTHER_CHANNEL = 0x152, // a label of another channel, and moving was not asked for
    WR_ERR_LABEL_UNKNOWN = 0x153      // no such label
};

// Entry sizes.
enum {
    WR_RANGE_SIZE = 4,            // {u16 first, u16 last}
    WR_PROPERTY_ID_SIZE = 2,      // 0x1100 request
    WR_PROPERTY_SIZE = 4,         // {u16 id, u16 value or offset}; also PROP_AVAIL {id, flags}
    WR_TX_ENTRY_SIZE = 8,
    WR_RX_ENTRY_SIZE = 20,
    WR_LABEL_RECORD_SIZE = 6,     // {u16 label id, u16 tx channel id, u16 name offset}
    WR_SUBSCRIBE_RECORD_SIZE = 6, // {u16 rx id, u16 tx channel name, u16 tx device name}
    WR_SUBSCRIBE_RESERVE = 20,    // bytes the writer reserves per subscribe record
    WR_RENAME_RECORD_SIZE = 4,    // {u16 rx id, u16 name offset}
    WR_VALUE_RECORD_SIZE = 6,     // {u16 first, u16 last, u16 value} (0x2032, 0x2033)
    WR_CAPABILITIES_SIZE = 22,    // the fields every capabilities record has
    WR_FORMAT_MIN_SIZE = 8,
    WR_VALUE_BLOCK_SIZE = 4,      // {u8 length, u8, u16 value}
    WR_NAMES_RECORD_SIZE = 10,
    WR_VERSION_RECORD_SIZE = 10,
    WR_PERFORMANCE_SIZE = 18,     // 0x3300 reply: u16 at 14 and 16
    WR_DEVICE_ARRAY_HEAD = 28     // per-device array reply: fields up to the second header word
};

// Versions gating capability fields (compared with the response's header version).
enum {
    WR_VERSION_CAPS_SIZES = 0x2600, // highest flow ids, label slots, interface count
    WR_VERSION_CAPS_FLAGS = 0x2703, // capability flag word
    WR_VERSION_CAPS_ARRAYS = 0x2711 // array switch word and array mask
};

// Bits of the capability word and flag word, and the derived capability flags of a device.
enum {
    WR_CAPS_WORD_NAMES_EXT = 1u << 8,  // the device wants the 0x1003 form of the NAMES query
    WR_CAPS_WORD_TX_VALUES = 1u << 9,  // the last tx channel page is followed by 0x2032
    WR_CAPS_FLAG_WORD_BIT1 = 1u << 1,  // -> capability flag bit 2
    WR_CAPS_FLAG_WORD_BIT16 = 1u << 16, // -> capability flag bit 1
    WR_CAPS_FLAG_WORD_BIT17 = 1u << 17, // -> capability flag bit 0, NAMES asked again
    WR_CAPABILITY_FLAG0 = 1u << 0,
    WR_CAPABILITY_FLAG1 = 1u << 1,
    WR_CAPABILITY_FLAG2 = 1u << 2
};

// Caps on sizes taken from the wire before anything is allocated from them. A capabilities
// record above any of them is refused.
enum {
    WR_MSG_MAX_CHANNELS = 4096,     // tx or rx channels
    WR_MSG_MAX_LABEL_SLOTS = 4096,
    WR_MSG_MAX_FLOW_ID = 4096,      // highest tx or rx flow id
    WR_MSG_MAX_FLOW_SLOTS = 512,    // channels per flow
    WR_MSG_MAX_INTERFACES = 16,
    WR_MSG_FORMAT_VALUES = 32       // format values kept of a format block
};

// ---------------------------------------------------------------------------------------------
// Versions

// min(device arcp version, 0x2729): the version every request header carries.
uint16_t wr_msg_protocol_version(uint16_t arcp_version);
// major << 12 | minor << 8 | patch; each part saturates at its field's largest value (15, 15, 255)
// so that a newer version never packs below an older one.
uint16_t wr_msg_arcp_version_pack(unsigned major, unsigned minor, unsigned patch);
// A router version as the device keeps it: major << 24 | minor << 16 | patch (8-bit major and
// minor, 16-bit patch), saturating likewise. Packed versions compare as numbers.
uint32_t wr_msg_router_version_pack(unsigned major, unsigned minor, unsigned patch);
// The router version field of a version record (major, minor and patch in its top three bytes)
// as a packed router version.
uint32_t wr_msg_router_version_from_record(uint32_t field);

// ---------------------------------------------------------------------------------------------
// Results

// Low 12 bits 0x001.
bool wr_msg_result_is_ok(uint16_t result);
// Low 12 bits 0x112: success with more entries to follow.
bool wr_msg_result_has_more(uint16_t result);
// Low 12 bits 0x001, or bit 15 set: the reply goes to the opcode handlers.
bool wr_msg_result_is_reply(uint16_t result);
// (result AND 0xFF0) is 0x030: the device does not support the request.
bool wr_msg_result_is_unsupported(uint16_t result);
// A result as a library error (routing table, not the configuration service's): success (low 12
// bits 0x001 or 0x112, or 0x000/0x8000) gives 0; otherwise by x = result AND 0x7FF0: 0x010
// VERSION, 0x020 MSGSIZE, 0x030 NOTSUPPORTED, 0x0F0 INVALIDSTATE, 0x100 INVALIDDATA, 0x110
// MSGSIZE, 0x600 POLICY, anything else (an error code with x = 0 included) FAULT.
qnb_error wr_msg_result_to_error(uint16_t result);

// ---------------------------------------------------------------------------------------------
// Request header and entry lists (writers)

// Writes the header into the builder's packet: protocol version, length 10, seqnum 0 (the
// container stamps it when sending), the opcode, result 0. The builder's limit is kept.
// QNB_ERR_INVALIDPARAMETER for no builder.
qnb_error wr_msg_begin(wgcp_builder *b, uint16_t version, uint16_t opcode);

// Strings shared by the records of one message: each distinct text (exact match) is stored once.
enum { WR_MSG_SHARED_STRINGS = 64 }; // texts remembered per message; later ones are stored again

// Flags of wr_msg_list_begin.
enum {
    WR_MSG_LIST_FIXED_CAPACITY = 1 // the capacity byte holds the room, not the count
};

// An entry list being written. Entry i lies at 12 + i x stride; the entry area of room x reserve
// bytes is reserved at once (zeroed), and strings and values go behind it.
struct wr_msg_list {
    wgcp_builder *builder;
    uint16_t stride;
    uint16_t room;
    uint16_t count;
    uint16_t flags;
    uint16_t string_count;
    uint16_t strings[WR_MSG_SHARED_STRINGS]; // offsets of the texts stored so far
};

// Starts an entry list on a builder whose header is written: the length becomes 12 + room x
// reserve (reserve >= stride; 0 means stride), byte 10 the capacity (room with
// WR_MSG_LIST_FIXED_CAPACITY, else the count), byte 11 the count 0. QNB_ERR_INVALIDPARAMETER for a
// null argument, a stride of 0, a room above 255 or reserve < stride; QNB_ERR_MSGSIZE (length
// unchanged) when the area does not fit the limit. A room of 0 gives the 12-byte empty list.
qnb_error wr_msg_list_begin(wr_msg_list *l, wgcp_builder *b, uint16_t stride, uint16_t room, uint16_t reserve,
                            uint16_t flags);
// The next entry: *entry points at its `stride` zeroed bytes inside the reserved area, the count
// (and, unless fixed, the capacity byte) grows. QNB_ERR_NOBUFS when the room is used up.
qnb_error wr_msg_list_next(wr_msg_list *l, uint8_t **entry);
// Stores a NUL-terminated text behind the entry area, or finds the equal text already stored, and
// returns its offset through `offset`; a null or empty text gives offset 0 and success.
// QNB_ERR_MSGSIZE when it does not fit.
qnb_error wr_msg_list_add_string(wr_msg_list *l, const char *text, uint16_t *offset);
// Stores a big-endian u32 at a 4-aligned offset behind the entry area. QNB_ERR_MSGSIZE.
qnb_error wr_msg_list_add_u32(wr_msg_list *l, uint32_t value, uint16_t *offset);
// Stores n bytes (zeros when src is null) at a multiple of 2^align_exp. QNB_ERR_MSGSIZE.
qnb_error wr_msg_list_add_bytes(wr_msg_list *l, const void *src, uint16_t n, unsigned align_exp, uint16_t *offset);

// ---------------------------------------------------------------------------------------------
// Requests. Each starts from the header on (a follow-up rewrites the same packet), with the given
// protocol version (wr_msg_protocol_version of the device's arcp version).

// A request without body (0x1000, 0x1002, 0x1003, 0x1102, 0x3300...).
qnb_error wr_msg_build_empty(wgcp_builder *b, uint16_t version, uint16_t opcode);
// One range {first, 0}: "from that id on" (0x2000, 0x3000 pages; {1, 0} for 0x2200, 0x3200,
// 0x2032, 0x1F11, 0x3210).
qnb_error wr_msg_build_range_query(wgcp_builder *b, uint16_t version, uint16_t opcode, uint16_t first);
// 0x1100: the WR_PROPERTY_COUNT property ids of the property table, in order.
qnb_error wr_msg_build_properties_query(wgcp_builder *b, uint16_t version);

// Folds ids, in the order given, into ranges: a run of consecutive ids (each the previous + 1)
// becomes {first, last}, a single id {0, id}; ids of 0 are skipped. Writes at most `capacity`
// ranges into `out` (may be null to count) and returns the number of ranges the whole list needs.
// `covered` (may be null) receives how many input ids the written ranges cover.
size_t wr_msg_fold_ids(const uint16_t *ids, size_t count, uint16_t (*out)[2], size_t capacity, size_t *covered);
// An id list request (0x3014, 0x3030/0x3031, 0x2030/0x2031, 0x2010): the folded ranges of `ids`.
// Ranges that no longer fit the builder's limit are left out; `written` (may be null) receives
// the number of input ids carried, so that the caller can tell a cut list. QNB_ERR_INVALIDPARAMETER
// for ids null with count > 0; an empty list gives the 12-byte message.
qnb_error wr_msg_build_id_list(wgcp_builder *b, uint16_t version, uint16_t opcode, const uint16_t *ids, size_t count,
                               size_t *written);

// 0x3010: a list of `n` subscribe records (stride 6), 20 bytes reserved per record, the names
// behind the reserved area and shared between records. n from 1 to 255.
qnb_error wr_msg_subscribe_begin(wr_msg_list *l, wgcp_builder *b, uint16_t version, uint16_t n);
// One record {rx id, tx channel name, tx device name}; both names null or empty: a clear record
// {rx id, 0, 0}. QNB_ERR_NOBUFS beyond n, QNB_ERR_MSGSIZE when a name does not fit (record not
// added), QNB_ERR_INVALIDPARAMETER for rx id 0 or a record with only one of the two names.
qnb_error wr_msg_subscribe_add(wr_msg_list *l, uint16_t rx_id, const char *tx_channel, const char *tx_device);

// 0x3001: `n` rename records {rx id, name offset (0 = default name)}.
qnb_error wr_msg_rx_rename_begin(wr_msg_list *l, wgcp_builder *b, uint16_t version, uint16_t n);
qnb_error wr_msg_rx_rename_add(wr_msg_list *l, uint16_t rx_id, const char *name);

// 0x2011: `n` label records {label id (0 = new), tx channel id (0 = remove), name offset}.
qnb_error wr_msg_label_begin(wr_msg_list *l, wgcp_builder *b, uint16_t version, uint16_t n);
qnb_error wr_msg_label_add(wr_msg_list *l, uint16_t label_id, uint16_t channel_id, const char *name);

// 0x1101: a property list with room for 5 (capacity byte 5); 16-bit values inline, 32-bit values
// stored 4-aligned in the body with the entry holding their offset.
enum { WR_UNICAST_PERFORMANCE_ROOM = 5 };
qnb_error wr_msg_unicast_performance_begin(wr_msg_list *l, wgcp_builder *b, uint16_t version);
qnb_error wr_msg_property_add_u16(wr_msg_list *l, uint16_t id, uint16_t value);
qnb_error wr_msg_property_add_u32(wr_msg_list *l, uint16_t id, uint32_t value);

// ---------------------------------------------------------------------------------------------
// Property table

enum { WR_PROPERTY_COUNT = 15 };
// The ids 0x1100 asks for, in order: 0x0201, 0x8204, 0x8205, 0x0210, 0x0211, 0x8301, 0x8302,
// 0x8306, 0x0310, 0x0311, 0x0303, 0x8021, 0x00F0, 0x8060, 0x0022.
extern const uint16_t wr_msg_property_ids[WR_PROPERTY_COUNT];

// How a property's value travels.
enum {
    WR_PROPERTY_U16 = 0,   // inline in the entry
    WR_PROPERTY_U32 = 1,   // the entry holds the offset of a 4-aligned u32 (ids with bit 15 set)
    WR_PROPERTY_STRING = 2 // the entry holds the offset of a string (0x8021)
};
int wr_msg_property_kind(uint16_t id);
// The bit (0-15) of a property in the device's property masks, -1 for an id outside the table
// (the 15 requested ids and 0x8304).
int wr_msg_property_bit(uint16_t id);

// ---------------------------------------------------------------------------------------------
// Responses (readers). Every reader below also works on a request packet (a device reading a
// request, or the client reading back what it asked for).

struct wr_msg_response {
    const uint8_t *data;
    uint32_t size;      // bytes of the message: its length field, never more than was received
    wgcp_header header; // decoded header
};

// Takes `received` bytes. With fewer than 10 bytes: QNB_ERR_INVALIDDATA and nothing is filled.
// Otherwise the header is decoded (so that the message can still be paired with its request) and
// QNB_ERR_INVALIDDATA is returned when the length field is below 10 or above `received` (a
// truncated message); bytes beyond the length field are ignored.
qnb_error wr_msg_response_init(wr_msg_response *m, const void *data, size_t received);

// An entry list as read: `count` entries of `stride` bytes from byte 12; `end` = 12 + count x
// stride, the lower bound of every string and block offset of the list's records.
struct wr_msg_entries {
    uint16_t count;
    uint16_t stride;
    uint16_t end;
};

// Reads byte 11 as the count. A message of fewer than 12 bytes has an empty list (end 12). A
// count whose entries do not fit the message refuses it: QNB_ERR_INVALIDDATA.
qnb_error wr_msg_read_list(const wr_msg_response *m, uint16_t stride, wr_msg_entries *out);
// The u16 at `field` (0, 2, ...) of entry i; QNB_ERR_INVALIDDATA beyond the count or the stride.
qnb_error wr_msg_entry_u16(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, uint16_t field,
                           uint16_t *out);
// A bounded view of the first `size` bytes of entry i; QNB_ERR_INVALIDDATA beyond the count or
// when the stride is shorter than `size`.
qnb_error wr_msg_entry_view(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, uint16_t size,
                            wgcp_reader *out);

// A range entry {first, last}: {0, id} names one id; {first, 0} runs from `first` on.
struct wr_msg_range {
    uint16_t first;
    uint16_t last;
};
qnb_error wr_msg_read_range(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_range *out);
// The clamp rule against a device's channel count: {0, id} is the single id, nothing when id is 0
// or beyond the count; {first, last} with last 0 or beyond the count ends at the count, and is
// empty when last < first (first 0 counts as 1). Returns false when the range names no id, else
// the ids *first .. *last (1-based, inclusive).
bool wr_msg_range_clamp(wr_msg_range range, uint16_t channel_count, uint16_t *first, uint16_t *last);

// Strings. The text at `offset` (at or behind `lower`, inside the message, NUL inside the
// message) copied into a WR_NAME_SIZE field. offset 0: empty text, success. QNB_ERR_INVALIDDATA
// for an offset that does not resolve or a text without its NUL; QNB_ERR_TRUNCATED for a text of
// more than 32 characters (the field is left empty: names are never cut).
qnb_error wr_msg_read_name(const wr_msg_response *m, uint16_t offset, uint16_t lower, char name[WR_NAME_SIZE]);
// The device-name rule: 1 to 32 characters, none of '.', '=', '@'.
bool wr_msg_name_is_valid(const char *name);

// Property entries {id, value}; PROP_AVAIL entries {id, flags} have the same layout.
struct wr_msg_property {
    uint16_t id;
    uint16_t value; // the value, the flags, or the offset of a u32 or string
};
qnb_error wr_msg_read_property(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_property *out);
// The first entry of the list with that id; QNB_ERR_NOTFOUND when none.
qnb_error wr_msg_find_property(const wr_msg_response *m, const wr_msg_entries *l, uint16_t id, wr_msg_property *out);
// The 32-bit value an entry points at (4-aligned, behind the list). QNB_ERR_INVALIDDATA.
qnb_error wr_msg_property_u32(const wr_msg_response *m, const wr_msg_entries *l, const wr_msg_property *p,
                              uint32_t *out);
// The string an entry points at, cut to 16 characters, into WR_PROPERTY_TEXT_SIZE bytes; offset 0
// gives the empty text. QNB_ERR_INVALIDDATA.
qnb_error wr_msg_property_text(const wr_msg_response *m, const wr_msg_entries *l, const wr_msg_property *p,
                               char text[WR_PROPERTY_TEXT_SIZE]);

// Capabilities record (0x1000 reply). Version-gated fields are 0 when the reply's header version
// is below their gate or their bytes are missing.
struct wr_msg_capabilities {
    uint16_t version;        // the reply's header version
    uint16_t word;           // capability word
    uint16_t tx_channels;
    uint16_t rx_channels;
    uint16_t tx_flow_slots;  // channels per tx flow
    uint16_t rx_flow_slots;
    uint16_t tx_flow_max;    // highest tx flow id (0x2600)
    uint16_t rx_flow_max;    // highest rx flow id, also the per-interface length of the arrays (0x2600)
    uint16_t tx_label_slots; // (0x2600)
    uint16_t interfaces;     // (0x2600)
    uint32_t flag_word;      // (0x2703)
    uint16_t array_switch;   // (0x2711)
    uint16_t array_mask;     // bit i (0-4): per-device array i wanted (0x2711)
};
// QNB_ERR_INVALIDDATA for a record shorter than 22 bytes or a size above the WR_MSG_MAX_* caps.
qnb_error wr_msg_read_capabilities(const wr_msg_response *m, wr_msg_capabilities *out);
// The device's capability flags from a record: below version 0x2703, WR_CAPABILITY_FLAG1 when both
// channel counts are 0, else 0; from 0x2703 on, flag word bit 1 -> flag 2, bit 16 -> flag 1, bit
// 17 -> flag 0. `names_again` (may be null) receives flag word bit 17 (version 0x2703 on).
uint32_t wr_msg_capability_flags(const wr_msg_capabilities *c, bool *names_again);
// Entries of each per-device array: (highest rx flow id) x (interface count), 0 when either is 0.
uint32_t wr_msg_capabilities_array_size(const wr_msg_capabilities *c);

// Format block: {u32 word, u8 count A, u8 count B, A u16 values from byte 6, reserved u16 at
// 6 + 2A, three u16 at 8 + 2A, 10 + 2A, 12 + 2A}; 14 + 2A bytes when A > 0.
struct wr_msg_format {
    bool present;   // the entry had a format offset
    uint32_t word;
    uint8_t a_count;
    uint8_t count;  // values kept: min(B, A, WR_MSG_FORMAT_VALUES)
    uint16_t values[WR_MSG_FORMAT_VALUES];
    uint16_t extra[3]; // all 0 when A is 0
};
// The block at `offset` (4-aligned, at least 8 bytes, all 14 + 2A inside the message), behind
// `lower`. Offset 0: no format (present false), success. QNB_ERR_INVALIDDATA otherwise.
qnb_error wr_msg_read_format(const wr_msg_response *m, uint16_t offset, uint16_t lower, wr_msg_format *out);
bool wr_msg_format_equal(const wr_msg_format *a, const wr_msg_format *b);

// Tx channel entry (0x2000 page).
struct wr_msg_tx_entry {
    uint16_t id;          // 1-based
    uint16_t flags;
    uint8_t status;       // flags bits 1-3
    bool value_valid;     // flags bit 8: the channel's value stays valid, else it is reset to 0x7FFF
    wr_msg_format format;
    char name[WR_NAME_SIZE];
};
// QNB_ERR_INVALIDDATA for an entry beyond the list, an unresolvable format or name;
// QNB_ERR_INVALIDPARAMETER for a name that fails the device-name rule (absent included).
qnb_error wr_msg_read_tx_entry(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_tx_entry *out);

// Rx channel entry (0x3000 page).
struct wr_msg_rx_entry {
    uint16_t id;
    uint16_t flags;
    uint8_t status;            // flags bits 4-5
    uint8_t mode;              // bit 0 from flags bit 3, bit 2 from flags bit 10
    wr_msg_format format;
    char name[WR_NAME_SIZE];
    // Subscription, kept only when the tx channel passes the name rule and the tx device passes it
    // or is "." with mode bit 0; otherwise both names and the status are empty.
    char tx_channel[WR_NAME_SIZE];
    char tx_device[WR_NAME_SIZE];
    uint8_t subscription_status; // low byte of the entry's u16
    uint8_t flow_flag_count;   // valid per-flow bits: from bit 0 to the first clear mask bit, at most 2
    bool flow_flags[2];        // false beyond the count
    uint16_t value;            // from the value block when flags bit 8 and its length > 1, else 0x7FFF
};
// Mode bit 0 of an rx channel: it may be subscribed to the local device ".".
enum { WR_RX_MODE_LOCAL = 1 };
// QNB_ERR_INVALIDDATA as for a tx entry. The rx channel's own name is taken as given (absent:
// empty); one above 32 characters gives QNB_ERR_INVALIDPARAMETER. A subscription name that fails
// the rule (or is too long) merely clears the subscription.
qnb_error wr_msg_read_rx_entry(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_rx_entry *out);

// Label record (0x2010, 0x2011).
struct wr_msg_label {
    uint16_t label_id;   // 0 = new label
    uint16_t channel_id; // 0 = remove
    char name[WR_NAME_SIZE]; // empty when absent
};
// QNB_ERR_INVALIDDATA for an unresolvable name, QNB_ERR_TRUNCATED for one above 32 characters.
qnb_error wr_msg_read_label(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_msg_label *out);

// Subscribe record (0x3010) and rename record (0x3001), as a device reads them.
struct wr_msg_subscribe_record {
    uint16_t rx_id;
    char tx_channel[WR_NAME_SIZE]; // both empty: clear
    char tx_device[WR_NAME_SIZE];
};
qnb_error wr_msg_read_subscribe_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i,
                                       wr_msg_subscribe_record *out);
struct wr_msg_rename_record {
    uint16_t rx_id;
    char name[WR_NAME_SIZE]; // empty: the default name
};
qnb_error wr_msg_read_rename_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i,
                                    wr_msg_rename_record *out);

// Tx value record (0x2032, 0x2033): every tx channel in {first, last} (clamp rule) takes `value`.
struct wr_msg_value_record {
    wr_msg_range range;
    uint16_t value;
};
qnb_error wr_msg_read_value_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i,
                                   wr_msg_value_record *out);

// NAMES replies.
// 0x1002: the device name, a string at byte 10 (rules of wr_msg_read_name).
qnb_error wr_msg_read_names(const wr_msg_response *m, char name[WR_NAME_SIZE]);
// 0x1003: u16 at 12 the offset of a names record (4-aligned, at least 10 bytes: u16 at 2, 4, 6 the
// offsets of the first, second and third name), u16 at 14 the offset of a version record
// (4-aligned, at least 10 bytes: u32 router version at 4, u16 arcp version at 8). Offsets count
// from the message start and lie behind byte 16.
struct wr_msg_names_ext {
    bool has_names;
    char first[WR_NAME_SIZE];  // empty when absent
    char second[WR_NAME_SIZE];
    char third[WR_NAME_SIZE];
    bool has_version;
    uint32_t router_version;   // packed (wr_msg_router_version_pack)
    uint16_t arcp_version;
};
// QNB_ERR_INVALIDDATA for a message shorter than 16 bytes, a record offset that does not resolve
// or a name that does not; QNB_ERR_TRUNCATED for a name above 32 characters.
qnb_error wr_msg_read_names_ext(const wr_msg_response *m, wr_msg_names_ext *out);

// 0x3300 reply: the u16 values at 14 and 16. QNB_ERR_INVALIDDATA below 18 bytes.
qnb_error wr_msg_read_performance(const wr_msg_response *m, uint16_t *first, uint16_t *second);

// Per-device arrays (0x4010-0x4013, 0x4020: u32 values; 0x4000: the u16 table). u16 at 10 the
// offset of the values, u16 at 14 the status, u16 at 16 the highest rx flow id, u16 at 18 the
// interface count, u32 at 20 and 24 two header words.
struct wr_msg_device_array {
    uint16_t status;
    uint16_t flows;
    uint16_t interfaces;
    uint32_t words[2];
    uint32_t count;     // flows x interfaces
    uint16_t width;     // 2 or 4 bytes per value
    uint16_t values;    // offset of the first value
};
// `wide`: u32 values (arrays) or u16 (the table). QNB_ERR_INVALIDDATA for a message shorter than
// 28 bytes, or values that do not resolve (2- or 4-aligned, behind byte 28) or do not all fit.
// The status and sizes are returned as read: the caller compares them with its own.
qnb_error wr_msg_read_device_array(const wr_msg_response *m, bool wide, wr_msg_device_array *out);
// Value i of an array read above; QNB_ERR_INVALIDDATA beyond its count.
qnb_error wr_msg_device_array_value(const wr_msg_response *m, const wr_msg_device_array *a, uint32_t i,
                                    uint32_t *out);
