// The request message format shared by the device routing protocol and the configuration-service
// protocol: a 10-byte big-endian header (protocol, length, seqnum, opcode, status), optionally
// extended to 20 bytes by a client identity (u16 port, 8-byte id), followed by a body whose fields
// are addressed by u16 byte offsets (0 = field absent).
//
// Two ways to work on a message:
// - the container `wgcp_message` (request/response client, configuration-service codec): a fixed
//   packet buffer with its header kind; its body writers and readers count offsets from the start
//   of the body;
// - the builder `wgcp_builder` (routing client): a size limit and a packet; its reservations and the
//   resolvers count offsets from the start of the packet (header included).
//
// Offsets in this interface are plain (host-order) numbers; they are big-endian only on the wire,
// where the buffer writer puts them. Every read of a received message is bounded by the message's
// length field and by the bytes actually received (see wgcp_buffer.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_error.h"

enum {
    WGCP_PACKET_SIZE = 1472,
    WGCP_HEADER_SIZE = 10,
    WGCP_EXT_HEADER_SIZE = 20,
    WGCP_MAX_BODY = WGCP_PACKET_SIZE - WGCP_HEADER_SIZE,         // 1462
    WGCP_EXT_MAX_BODY = WGCP_PACKET_SIZE - WGCP_EXT_HEADER_SIZE, // 1452
    WGCP_BUILDER_DEFAULT_LIMIT = 1400,
    WGCP_NAME_MAX = 32
};

// Header kinds of a container.
enum {
    WGCP_KIND_PLAIN = 1,   // 10-byte header
    WGCP_KIND_EXTENDED = 2 // 20-byte header with client port and client id
};

// Header status values: message kind of a request or event, or result of a response.
enum {
    WGCP_STATUS_REQUEST = 0,
    WGCP_STATUS_RESPONSE = 1,
    WGCP_STATUS_EVENT = 2,
    WGCP_STATUS_OPCODE_ERROR = 0x30,
    WGCP_STATUS_UNRECOGNISED_OPCODE = 0x31,
    WGCP_STATUS_UNSUPPORTED_OPCODE = 0x32,
    WGCP_STATUS_SERVER_ERROR = 0x80,
    WGCP_STATUS_NOT_CONNECTED = 0x81,
    WGCP_STATUS_TOO_MANY_CLIENTS = 0x82
};

// The header's fields, decoded (host order).
struct wgcp_header {
    uint16_t protocol;
    uint16_t length; // total length of the message, header included
    uint16_t seqnum;
    uint16_t opcode;
    uint16_t status;
};

// The identity a client writes into an extended header.
struct wgcp_client_identity {
    uint8_t id[8];
    uint16_t port;
};

// ---------------------------------------------------------------------------------------------
// Header on a packet buffer. `packet` is a buffer of at least WGCP_HEADER_SIZE bytes
// (WGCP_EXT_HEADER_SIZE for the client fields): a container's or builder's packet.

// Writes a 10-byte header: protocol, length 10, seqnum, opcode, status 0.
void wgcp_header_init(uint8_t *packet, uint16_t protocol, uint16_t seqnum, uint16_t opcode);
void wgcp_message_init(uint8_t *packet, uint16_t protocol, uint16_t seqnum, uint16_t opcode);
// Writes the client port and id into bytes 10-19; a null identity writes port 0 and a zero id.
void wgcp_header_set_client(uint8_t *packet, const wgcp_client_identity *identity);
void wgcp_message_set_seqnum(uint8_t *packet, uint16_t seqnum);
void wgcp_header_set_length(uint8_t *packet, uint16_t length);
// Adds `n` to the length field, modulo 2^16.
void wgcp_header_add_length(uint8_t *packet, uint16_t n);
void wgcp_header_set_status(uint8_t *packet, uint16_t status);
uint16_t wgcp_header_get_protocol(const uint8_t *packet);
uint16_t wgcp_header_get_length(const uint8_t *packet);
uint16_t wgcp_header_get_seqnum(const uint8_t *packet);
uint16_t wgcp_header_get_opcode(const uint8_t *packet);
uint16_t wgcp_header_get_status(const uint8_t *packet);

// Decodes the 10-byte header of `size` received bytes; QNB_ERR_INVALIDDATA when fewer than 10.
qnb_error wgcp_header_decode(const void *data, size_t size, wgcp_header *out);
// Decodes the client fields of an extended header; QNB_ERR_INVALIDDATA when fewer than 20 bytes.
qnb_error wgcp_header_decode_client(const void *data, size_t size, wgcp_client_identity *out);

// ---------------------------------------------------------------------------------------------
// Container

struct wgcp_message {
    int32_t kind;         // WGCP_KIND_PLAIN or WGCP_KIND_EXTENDED; anything else: unusable
    uint16_t header_size; // 10, 20, or 0 when unusable
    uint16_t max_body;    // 1462, 1452, or 0 when unusable
    uint8_t packet[WGCP_PACKET_SIZE];
};

// A body field that is a list of u16 items behind a u16 count. `items` points at the first item
// inside the packet; read and write items with wgcp_u16_array_get/set, which check the index.
struct wgcp_u16_array {
    uint16_t offset; // of the count, from the body start
    uint16_t count;
    uint8_t *items;
};

// Sets kind, header size and maximum body and returns the body; any other kind makes the container
// unusable and returns null.
uint8_t *wgcp_message_reset(wgcp_message *c, int32_t kind);
// Writes the container's header: protocol, length = header size, seqnum 0, opcode, status 0. The
// client fields of an extended header are written separately (wgcp_header_set_client).
// QNB_ERR_INVALIDPARAMETER for a null or unusable container.
qnb_error wgcp_message_init_request(wgcp_message *c, uint16_t protocol, uint16_t opcode);

uint8_t *wgcp_message_get_packet(wgcp_message *c);
const uint8_t *wgcp_message_get_packet_const(const wgcp_message *c);
uint16_t wgcp_message_get_header_size(const wgcp_message *c);
uint16_t wgcp_message_get_max_body(const wgcp_message *c);
uint8_t *wgcp_message_get_body(wgcp_message *c);
// Length field minus header size, bounded by the packet; 0 when the length field is below the
// header size or the container is unusable.
uint16_t wgcp_message_get_body_length(const wgcp_message *c);
// A reader over the body (bounded as above).
qnb_error wgcp_message_body_reader(const wgcp_message *c, wgcp_reader *out);

// Body writers. Offsets count from the body start. Each returns 0, QNB_ERR_INVALIDPARAMETER for a
// null container or argument, or QNB_ERR_MSGSIZE (message unchanged) when the field would pass
// the maximum body. On success the length field grows by the bytes written, padding included (pad
// bytes are zero), and the field's offset is returned through `out`.
qnb_error wgcp_body_put_u16_array(wgcp_message *c, uint16_t count, wgcp_u16_array *out);
qnb_error wgcp_body_put_bytes(wgcp_message *c, uint16_t n, const void *src, uint16_t *out);
qnb_error wgcp_body_put_string(wgcp_message *c, const char *text, uint16_t *out);
qnb_error wgcp_body_put_u32(wgcp_message *c, uint32_t value, uint16_t *out);
qnb_error wgcp_body_put_wstring(wgcp_message *c, const char16_t *text, uint16_t *out);

// Body readers (offsets from the body start). Each returns 0 or QNB_ERR_INVALIDPARAMETER: for null
// arguments, a misaligned offset, an offset outside the body, and a field that would end past the
// body (array items, a text without its terminator, a u32 across the end).
qnb_error wgcp_body_get_u16_array(wgcp_message *c, uint16_t offset, wgcp_u16_array *out);
// Checks n > 0 and that the bytes lie inside the body; copies them when `dst` is given.
qnb_error wgcp_body_get_bytes(const wgcp_message *c, uint16_t offset, uint16_t n, void *dst);
// Copies the text into `buf` of *len bytes (*len >= 1), cut and always terminated; *len receives
// the full length of the stored text.
qnb_error wgcp_body_get_string(const wgcp_message *c, uint16_t offset, char *buf, size_t *len);
qnb_error wgcp_body_get_u32(const wgcp_message *c, uint16_t offset, uint32_t *out);
// Reads units until a 0 unit or *cap - 1 units (*cap >= 1); terminates `buf` and sets *cap to the
// units read.
qnb_error wgcp_body_get_wstring(const wgcp_message *c, uint16_t offset, char16_t *buf, size_t *cap);

// Item `index` of a list; QNB_ERR_INVALIDPARAMETER beyond its count.
qnb_error wgcp_u16_array_get(const wgcp_u16_array *a, uint16_t index, uint16_t *out);
qnb_error wgcp_u16_array_set(wgcp_u16_array *a, uint16_t index, uint16_t value);

// ---------------------------------------------------------------------------------------------
// Builder (routing client). Offsets count from the start of the packet.

struct wgcp_builder {
    uint32_t limit; // largest total length; 0 = not yet set (1400 at the first use)
    uint8_t packet[WGCP_PACKET_SIZE];
};

// Each returns the new length or the field's offset, or 0 for failure (length unchanged, except
// for alignment padding of a reservation).
uint32_t wgcp_message_add_length(wgcp_builder *b, uint32_t n);
uint32_t wgcp_message_set_body_length(wgcp_builder *b, uint32_t n);
// Reserves `n` bytes at the next multiple of 2^align_exp; `out` (may be null) receives a pointer to
// them. Pad bytes are zeroed; the reserved bytes keep what the buffer held.
uint16_t wgcp_message_alloc_aligned(wgcp_builder *b, uint32_t n, unsigned align_exp, uint8_t **out);
uint16_t wgcp_message_add_bytes(wgcp_builder *b, uint32_t n, unsigned align_exp, const void *src);
// The text and its NUL, alignment 1; a null text gives 0.
uint16_t wgcp_add_string(wgcp_builder *b, const char *text);
// Two u16 values, big-endian, into 4 bytes at `dst` (a reservation of at least 4 bytes).
void qnb_put_u16_pair(uint8_t *dst, uint16_t a, uint16_t b);

// ---------------------------------------------------------------------------------------------
// Resolvers (routing client): a field at `offset` from the packet start of a received message of
// `received` bytes. The end of the message is the smaller of its length field and `received`.

// A pointer to the field, or null; `out_size` (may be null) receives the bytes available from it.
// Lower bound raised to at least 10; an upper bound of 0 means none.
const uint8_t *wgcp_offset_resolve_sized(const uint8_t *packet, size_t received, uint16_t offset, uint32_t lower,
                                         uint32_t upper, unsigned align_exp, uint32_t min_size,
                                         uint32_t *out_size);
const uint8_t *wgcp_offset_resolve(const uint8_t *packet, size_t received, uint16_t offset, uint32_t lower,
                                   unsigned align_exp, uint32_t min_size);
// A NUL-terminated text at the offset; null when no NUL lies within the bytes available.
const char *wgcp_get_string(const uint8_t *packet, size_t received, uint16_t offset, uint32_t lower,
                            uint32_t upper, uint32_t *out_len);
// A self-sized record (first byte = its size in 16-bit words); null when it is empty, below
// `min_bytes` or would end past the message. `out_size` (may be null) receives its size.
const uint8_t *wgcp_resolve_array(const uint8_t *packet, size_t received, uint16_t offset, uint32_t lower,
                                  unsigned align_exp, uint32_t min_bytes, uint32_t *out_size);

// An address field of `available` bytes (family at byte 1, port at 2-3, IPv4 address at 4-7).
// Both are returned as stored, in network order: the address (0xFFFFFFFF unless family 2 and 8
// bytes available) and the port (0 unless family 2 or 6).
uint32_t qnb_addr_record_ipv4(const uint8_t *field, size_t available);
uint16_t qnb_addr_record_port(const uint8_t *field, size_t available);

// ---------------------------------------------------------------------------------------------
// Status, names

// A response's status as a library error.
qnb_error wgcp_status_to_error(uint16_t status);
// The status's text ("Request", "Not connected"...), "?" for any other value.
const char *wgcp_message_kind_name(uint16_t status);
// Non-empty, at most 32 characters, none of '.', '=' and '@'.
bool wgcp_name_is_valid(const char *text);
