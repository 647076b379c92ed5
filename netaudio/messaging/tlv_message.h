// The typed-record message: the format of all traffic with a managed-domain server.
//
// Layout (every u16/u32 big-endian):
//   head    0  u16 total length of the message
//           2  u16 1
//           4  u16 0x1000
//           6  byte flags; the low two bits are the class (0 not set, 2 request, 3 response)
//           7  byte offset of the option area: 8 once begun, 0 in a bare header
//   options 8 .. 23: sixteen reserved bytes of option records {size byte (a multiple of 4, the two
//           head bytes included), type byte, payload}; a size byte of 0 marks free space. Two are
//           defined, both {8, type, u32 id, u16 value}:
//             0x40 request: the sender's id and value (0xFFFFFFFF/0 unsequenced);
//                  response: the request's 0x41 id and value
//             0x41 request: id 0 and the sending client's id (written when sent);
//                  response: the request's 0x40 id and value
//   records from byte 24, each at a multiple of 4:
//           0  u16 record length (head, value, body and variable parts, padding included)
//           2  u16 record type
//           4  u16 value length
//           6  u16 body length (0 until a body is reserved)
//           8  value (4 bytes here: u16 first value, u16 second value), then the fixed body, then
//              variable parts (texts, blobs) in the order added, each padded to 4.
//   Offsets to variable parts are u16 values in the body, counted from the start of the record;
//   0 means absent.
//
// Messages are built in place with a `tlv_builder`; the header's length field is kept current by
// every addition, so a message can be sent as soon as its last part is written. Received messages
// are read through a `tlv_view`, which checks the header's length against the bytes received and
// that every record lies inside the message; every read after that is bounded by the message
// (wgcp_buffer.h). Messages leave through a `tlv_channel`, whose transport the domain handler
// supplies, and reach it through tlv_channel_receive, which the domain handler calls.
//
// Errors: QNB_ERR_INVALIDPARAMETER for missing arguments, QNB_ERR_NOMEMORY when the buffer is full,
// QNB_ERR_INVALIDDATA for a class conflict, a wrong record type, a short record, a malformed option
// area or an offset outside the message, QNB_ERR_NOTFOUND for a missing 0x40 id record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_error.h"

enum {
    TLV_HEADER_SIZE = 8,
    TLV_OPTION_BYTES = 16,
    TLV_HEAD_SIZE = TLV_HEADER_SIZE + TLV_OPTION_BYTES, // 24: where the first record starts
    TLV_OPTION_AREA_LIMIT = 255,
    TLV_RECORD_HEAD_SIZE = 8,
    TLV_CHANNEL_BUFFER_SIZE = 1424,
    TLV_NAME_SIZE = 32 // names and model texts: at most 31 characters and the NUL
};

// Message classes (low two bits of the flags byte).
enum {
    TLV_CLASS_NONE = 0,
    TLV_CLASS_REQUEST = 2,
    TLV_CLASS_RESPONSE = 3
};

// Option record types.
enum {
    TLV_OPTION_SEQUENCE = 0x40,
    TLV_OPTION_CLIENT = 0x41
};

// Record types.
enum {
    TLV_RECORD_0x2002 = 0x2002,
    TLV_RECORD_0x2003 = 0x2003,
    TLV_RECORD_0x2004 = 0x2004,
    TLV_RECORD_0x2007 = 0x2007,
    TLV_RECORD_DOMAIN_REQUEST = 0x2009,
    TLV_RECORD_DOMAIN_CANCEL = 0x200A,
    TLV_RECORD_DOMAIN_RESULT = 0x200B,
    TLV_RECORD_0x2010 = 0x2010,
    TLV_RECORD_0x2011 = 0x2011,
    TLV_RECORD_0x2013 = 0x2013
};

// Part flags of a domain request body; result flags of a domain result.
enum {
    TLV_DOMAIN_REQUEST_BLOB = 1,
    TLV_DOMAIN_REQUEST_NAME = 2,
    TLV_DOMAIN_REQUEST_VALUE = 4,
    TLV_DOMAIN_RESULT_FINAL = 1,
    TLV_DOMAIN_RESULT_DEVICE = 2
};

// ---------------------------------------------------------------------------------------------
// Building

// A message being built: `position` is the write position, always equal to the length field.
// `record` is the head of the last record added (0: none yet); variable parts go to that record.
struct tlv_builder {
    uint8_t *data;
    uint16_t capacity;
    uint16_t position;
    uint16_t record;
};

// A record being built: offsets of its head, value and body (0: no body) in the message.
struct tlv_record {
    tlv_builder *builder;
    uint16_t head;
    uint16_t value;
    uint16_t body;
};

// Begins a message in `buffer` of `capacity` bytes (capped at 0xFFFF): the header {8, 1, 0x1000,
// flags 0, option offset 8} and `option_bytes` zeroed option bytes. `option_bytes` must be
// TLV_OPTION_BYTES, since the records of the format start at byte 24 (anything else gives
// QNB_ERR_INVALIDPARAMETER, as does a null buffer or a capacity of 0); a capacity below 8 or below
// the head gives QNB_ERR_NOMEMORY.
qnb_error tlv_msg_begin(tlv_builder *b, uint8_t *buffer, size_t capacity, unsigned option_bytes);

// The bytes of the message built so far: its data and length (the length field).
qnb_error tlv_msg_finish(const tlv_builder *b, const uint8_t **data, size_t *length);

// Sets the class; QNB_ERR_INVALIDDATA when the message already has the other class.
qnb_error tlv_msg_set_class(tlv_builder *b, unsigned msg_class);

// Adds an option record of `size` bytes (rounded up to 4) and type `type` at the first free place
// of the option area, zeroed except its size and type bytes; `out` (may be null) receives it.
// QNB_ERR_INVALIDPARAMETER for size 0, QNB_ERR_NOMEMORY when it does not fit, QNB_ERR_INVALIDDATA
// when an option's size byte is below 4.
qnb_error tlv_msg_add_option(tlv_builder *b, unsigned type, unsigned size, uint8_t **out);
// Adds an 8-byte id record {8, type, u32 id, u16 value}.
qnb_error tlv_msg_add_id_option(tlv_builder *b, unsigned type, uint32_t id, uint16_t value);

// Adds a record of `type` with a 4-byte value {value, 0} and sets the class to request or
// response (QNB_ERR_INVALIDDATA when the message has the other class; nothing is added then).
qnb_error tlv_msg_add_request_u16(tlv_builder *b, tlv_record *rec, uint16_t type, uint16_t value);
qnb_error tlv_msg_add_response_u16(tlv_builder *b, tlv_record *rec, uint16_t type, uint16_t value);
// Sets the second u16 of the record's value (a status, for instance).
qnb_error tlv_msg_set_second_u16(tlv_record *rec, uint16_t value);

// Reserves the record's body of `n` bytes (zeroed, padded to 4) and sets its body length to `n`;
// `body` (may be null) receives it. Only once, directly behind the value, on the last record
// (QNB_ERR_INVALIDSTATE otherwise); QNB_ERR_NOMEMORY when it does not fit.
qnb_error tlv_msg_reserve_body(tlv_record *rec, uint16_t n, uint8_t **body);

// Variable parts of the last record: `n` bytes zeroed, `n` bytes left as the buffer holds them,
// `n` bytes copied, or a text with its NUL. Each is padded to 4 with zeros and grows the record;
// each returns the part and puts its offset from the record start into `offset` (may be null).
// Null (offset 0) and nothing changed when the part does not fit, `n` is 0, or the record is not
// the message's last.
uint8_t *tlv_msg_add_zeroed(tlv_record *rec, size_t n, uint16_t *offset);
uint8_t *tlv_msg_add_unzeroed(tlv_record *rec, size_t n, uint16_t *offset);
uint8_t *tlv_msg_add_bytes(tlv_record *rec, const void *src, size_t n, uint16_t *offset);
uint8_t *tlv_msg_add_text(tlv_record *rec, const char *text, uint16_t *offset);

// Record bodies. Each reserves the body on `rec` and writes its parts; on any failure the message
// is left as it was before the call.

// 4 bytes: one u32 (the id of the request to cancel, record 0x200A).
qnb_error tlv_msg_add_u32_body(tlv_record *rec, uint32_t value);

// What a domain request asks for.
struct tlv_domain_request {
    uint8_t id[16];
    uint32_t request_id;
    uint16_t mode;      // two bits
    const char *name;   // or null; at most 31 characters
    bool has_blob;
    uint8_t blob[8];
    bool has_value;
    uint16_t value;
};
// 32 bytes: id[16]; u32 request id; u16 mode; u16 part flags; u16 name offset (flag 2); u16
// offset of the 8-byte blob (flag 1); u16 value (flag 4). A name of 32 characters or more gives
// QNB_ERR_INVALIDDATA.
qnb_error tlv_msg_add_domain_request_body(tlv_record *rec, const tlv_domain_request *req);

// 12 bytes: u16 total size of the two blobs; u16 offset of the blobs, copied one after the other;
// u16 type. A blob may be null only when its size is 0; both empty gives QNB_ERR_INVALIDPARAMETER.
qnb_error tlv_msg_add_blob_pair(tlv_record *rec, const void *first, size_t first_size, const void *second,
                                size_t second_size, uint16_t type);

// 32 bytes: u16 flag (1 when `a` is non-zero); u16 a, b, c; id[16]; u32 1; u32 value.
qnb_error tlv_msg_add_0x2011_body(tlv_record *rec, uint16_t a, uint16_t b, uint16_t c, const uint8_t id[16],
                                  uint32_t value);

// 16 bytes: the four u32 as they lie in memory (no byte-order conversion).
qnb_error tlv_msg_add_4_u32(tlv_record *rec, const uint32_t values[4]);

// 36 bytes: u16 a; u16 flag (0 or 1); u16 c; u16 d; u16 offset of `text` (optional; QNB_ERR_NOBUFS
// when it does not fit); 2 bytes 0; id[16]; u32 value; u32 0.
qnb_error tlv_msg_add_named_record(tlv_record *rec, uint16_t a, bool flag, uint16_t c, uint16_t d,
                                   const char *text, const uint8_t id[16], uint32_t value);

// 8 bytes: u16 blob size; u16 offset of the blob. A null blob or size 0 gives
// QNB_ERR_INVALIDPARAMETER.
qnb_error tlv_msg_add_8byte_record(tlv_record *rec, const void *blob, size_t size);

// ---------------------------------------------------------------------------------------------
// Reading

// A checked view of a received message and its first record (type, length, value and head are 0
// or null when the message holds no record).
struct tlv_view {
    const uint8_t *data;
    uint16_t length;
    uint16_t type;
    uint16_t record_length;
    const uint8_t *value;
    const uint8_t *head;
};

// Checks `size` received bytes: the length field at least 8 and not beyond `size`; a bare header
// (option offset 0) of 8 bytes, or an option offset of 8 with the 24-byte head; every record at
// least 8 bytes, holding its value and body, and inside the message. QNB_ERR_INVALIDPARAMETER for
// null arguments, QNB_ERR_NOTINITIALISED for an empty message, QNB_ERR_INVALIDDATA otherwise.
qnb_error tlv_view_init(tlv_view *view, const uint8_t *data, size_t size);

// One id option record.
struct tlv_id_option {
    bool present;
    uint16_t offset; // of the record in the message
    uint32_t id;
    uint16_t value;
};
struct tlv_ids {
    unsigned msg_class;
    tlv_id_option sequence; // 0x40
    tlv_id_option client;   // 0x41
};
// Reads the class and walks the option area of the message in `data` (bounded by its length field
// and `size`), taking the first 0x40 and the first 0x41 record. QNB_ERR_NOTFOUND without a 0x40
// record; QNB_ERR_INVALIDDATA for a size byte below 4, an option past the area or an id record
// shorter than 8 bytes.
qnb_error tlv_msg_parse_ids(const uint8_t *data, size_t size, tlv_ids *ids);

// A variable part of a received record: null/0 when its offset is 0; else the bytes from it to the
// end of the message.
struct tlv_part {
    const uint8_t *data;
    size_t size;
};

// Record parsers: each checks the first record's type and minimum length (QNB_ERR_INVALIDDATA
// otherwise) and gives the value's first u16 as `seqnum`. Offsets outside the message give
// QNB_ERR_INVALIDDATA.
struct tlv_0x2003 {
    uint16_t seqnum;
    uint16_t first;
    tlv_part first_part;
    uint16_t second;
    tlv_part second_part;
};
qnb_error tlv_parse_0x2003(const tlv_view *view, tlv_0x2003 *out);

struct tlv_0x2011 {
    uint16_t seqnum;
    uint16_t values[3];
    tlv_part part;
    uint8_t id[16];
    uint16_t values2[2];
    uint8_t raw[8];    // copied as stored
    uint32_t raw_u32;  // copied as stored (no byte-order conversion)
    uint32_t flags;
    uint8_t byte0;     // flag bit 0, else 0
    uint8_t byte1;     // flag bit 1, else 0
};
qnb_error tlv_parse_0x2011(const tlv_view *view, tlv_0x2011 *out);
qnb_error tlv_parse_0x2013(const tlv_view *view, tlv_0x2011 *out);

struct tlv_0x2004 {
    uint16_t seqnum;
    uint16_t status;
    uint16_t value; // when status is 0
    tlv_part part;  // when status is 0
};
qnb_error tlv_parse_0x2004(const tlv_view *view, tlv_0x2004 *out);

// The result body of a 0x200B record, or of a 0x2009 record replying to a domain request.
struct tlv_domain_result {
    uint16_t seqnum;
    uint8_t id[16];
    uint32_t request_id;
    uint16_t flags;         // TLV_DOMAIN_RESULT_*
    uint16_t device_offset; // from the record start
};
qnb_error tlv_parse_domain_result(const tlv_view *view, tlv_domain_result *out);

// A service entry of a device record.
struct tlv_service {
    bool present;
    uint16_t flags; // 1 name, 2 data, 4 value
    tlv_part data;  // data.size is the entry's data length
    uint16_t value;
};
struct tlv_device_record {
    char name[TLV_NAME_SIZE];
    uint16_t flags; // 1 info, 2 services
    bool has_info;
    uint16_t info_flags;
    char model[TLV_NAME_SIZE];
    uint8_t value_a[8];
    uint8_t value_b[8];
    uint32_t id_u32;
    uint16_t id_u16;
    uint8_t mode;
    uint32_t info_u32_12;
    uint32_t info_u32_16;
    tlv_service routing; // first "_netaudio-arc._udp"
    tlv_service control; // first "_netaudio-cmc._udp"
    tlv_service via;     // first "_netaudio-via._tcp"
};
// The device record at `offset` from the first record's start.
qnb_error tlv_parse_device_record(const tlv_view *view, uint16_t offset, tlv_device_record *out);

// ---------------------------------------------------------------------------------------------
// Channels

// The transport of a channel, supplied by the domain handler.
typedef qnb_error (*tlv_transport_fn)(void *user, const uint8_t *data, size_t length);
struct tlv_transport {
    tlv_transport_fn send;
    void *user;
};

struct tlv_channel;

// A received message on its way to the channel's owner. `request` is the received message when it
// is a request (class 2), else null.
struct tlv_transaction {
    tlv_channel *channel;
    tlv_view message;
    const tlv_view *request;
};

typedef qnb_error (*tlv_receive_fn)(void *context, tlv_transaction *transaction);

struct tlv_channel {
    tlv_transport transport;
    uint16_t id; // the domain client's id
    tlv_receive_fn receive;
    void *context;
    uint8_t buffer[TLV_CHANNEL_BUFFER_SIZE];
};

// A new channel; `transport` may be null (nothing can be sent then). QNB_ERR_NOMEMORY when
// allocation fails.
qnb_error tlv_channel_new(const tlv_transport *transport, uint16_t id, tlv_receive_fn receive, void *context,
                          tlv_channel **out);
void tlv_channel_delete(tlv_channel *channel);

// Hands `size` received bytes to the channel: checks them (tlv_view_init) and calls the receive
// callback with the transaction, returning its result. QNB_ERR_NOTINITIALISED without a callback.
qnb_error tlv_channel_receive(tlv_channel *channel, const uint8_t *data, size_t size);

// Begins a message in the channel's buffer with its id records: 0x40 {id, value} and an empty
// 0x41; the unsequenced form uses 0xFFFFFFFF and 0.
qnb_error tlv_msg_begin_sequenced(tlv_channel *channel, tlv_builder *b, uint32_t id, uint16_t value);
qnb_error tlv_msg_begin_unsequenced(tlv_channel *channel, tlv_builder *b);

// Begins a response (class 3) in `buffer`: with `request`, its 0x40 record takes the request's
// 0x41 id and value and its 0x41 record the request's 0x40 ones (the request's id errors are
// returned; a request without 0x41 gives QNB_ERR_INVALIDDATA); without, 0xFFFFFFFF/0 and an empty
// 0x41.
qnb_error tlv_msg_begin_response(tlv_builder *b, uint8_t *buffer, size_t capacity, const tlv_view *request);
// Begins the response to `transaction` in its channel's buffer.
qnb_error tlv_msg_send_on_channel(tlv_transaction *transaction, tlv_builder *b);
// The received message inside a transaction.
const tlv_view *tlv_request_get_message(const tlv_transaction *transaction);

// Sends the message: QNB_ERR_NOTINITIALISED without a transport callback; the id errors; a missing
// 0x41 record gives QNB_ERR_INVALIDDATA. A request whose 0x41 value is 0 gets the channel's id; one
// with another id gives QNB_ERR_INVALIDDATA. Returns the transport's result.
qnb_error tlv_msg_send(tlv_channel *channel, tlv_builder *b);
