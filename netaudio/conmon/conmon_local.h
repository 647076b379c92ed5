// Messages of the local link to the PC's control-and-monitoring server (UDP 127.0.0.1:8900).
//
// A local message is one datagram: a 10-byte head (version, total length, request id, opcode,
// kind/status) in the PC's own byte order, then a body by opcode. IPv4 addresses inside a body
// are kept as stored (network order); every other field is host order. This module holds the
// opcode and kind tables, the validation of received messages, the builders of every request the
// client sends and the readers of the responses and events it uses. Every reader is bounded by the
// bytes received; every builder by the buffer's capacity.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"

enum {
    CONMON_LOCAL_HEAD_SIZE = 10,
    CONMON_LOCAL_BUFFER_SIZE = 6940, // the largest local message
    CONMON_LOCAL_DEFAULT_VERSION = 0x1503,
    CONMON_LOCAL_DEFAULT_PORT = 8900,
    CONMON_LOCAL_VERSION_MIN = 0x1000,
    CONMON_LOCAL_VERSION_MAX = 0x1FFF,
    CONMON_NAME_FIELD = 32, // name fields: terminator within 32 bytes
    CONMON_NAME_SIZE = 33,  // a name as kept: 32 characters at most and a terminator
    CONMON_DNS_NAME_FIELD = 256,
    CONMON_DNS_NAME_SIZE = 257,
    CONMON_DEVICE_ID_SIZE = 8,
    CONMON_MAX_NETWORKS = 2,
    CONMON_CONNECT_SIZE = 44, // the fixed Connect of version 0x1400 on
    CONMON_INTERFACE_RECORD_OLD = 88,
    CONMON_INTERFACE_RECORD_MIN = 36,
    CONMON_SUBSCRIPTION_RECORD_OLD = 48,
    CONMON_SUBSCRIPTION_RECORD = 72
};

enum conmon_local_opcode {
    CONMON_LOCAL_KEEPALIVE = 0x0000,
    CONMON_LOCAL_CONNECT = 0x0100,
    CONMON_LOCAL_DISCONNECT = 0x0101,
    CONMON_LOCAL_SET_DEVICE_NAME = 0x0200,
    CONMON_LOCAL_SET_REMOTE_CONTROL_ALLOWED = 0x0210,
    CONMON_LOCAL_REGISTER = 0x0300,
    CONMON_LOCAL_DEREGISTER = 0x0301,
    CONMON_LOCAL_SUBSCRIBE = 0x0310,
    CONMON_LOCAL_UNSUBSCRIBE = 0x0311,
    CONMON_LOCAL_ENABLE_TX_METERING = 0x0320,
    CONMON_LOCAL_DISABLE_TX_METERING = 0x0321,
    CONMON_LOCAL_CLEAR_REMOTE = 0x0330,
    CONMON_LOCAL_SEND_MESSAGE = 0x0400,
    CONMON_LOCAL_SEND_CHANNEL_MESSAGE = 0x0401,
    CONMON_LOCAL_NETWORKS_CHANGED = 0x0500,
    CONMON_LOCAL_DEVICE_NAME_CHANGED = 0x0501,
    CONMON_LOCAL_DNS_DOMAIN_NAME_CHANGED = 0x0502,
    CONMON_LOCAL_CHANNEL_MESSAGE = 0x0510,
    CONMON_LOCAL_NAMED_CHANNEL_MESSAGE = 0x0511,
    CONMON_LOCAL_LEGACY_METERING_ADDRESSES = 0x0520,
    CONMON_LOCAL_SUBSCRIPTIONS_CHANGED = 0x0521
};

// Kinds (the low 12 bits of the kind/status field); 3 and above report an error.
enum conmon_local_kind {
    CONMON_KIND_REQUEST = 0,
    CONMON_KIND_RESPONSE = 1,
    CONMON_KIND_EVENT = 2,
    CONMON_KIND_INVALID_VERSION = 3,
    CONMON_KIND_INVALID_SIZE = 4,
    CONMON_KIND_INVALID_OPCODE = 5,
    CONMON_KIND_INVALID_STATUS = 6,
    CONMON_KIND_INVALID_DATA = 7,
    CONMON_KIND_INTERNAL_ERROR = 8,
    CONMON_KIND_NOT_SUPPORTED = 9,
    CONMON_KIND_TIMEOUT = 10,
    CONMON_KIND_INVALID_STATE = 11,
    CONMON_KIND_NO_BUFFERS = 12,
    CONMON_KIND_NOT_FOUND = 13
};
enum { CONMON_KIND_MASK = 0x0FFF, CONMON_KIND_FLAGS = 0xF000 };

// Link states.
enum conmon_local_state {
    CONMON_LOCAL_NO_CONNECTION = 0,
    CONMON_LOCAL_CONNECTING = 1,
    CONMON_LOCAL_CONNECTED = 2,
    CONMON_LOCAL_RECONNECT_PENDING = 3
};

// Printed names; null for an opcode without one. Kinds by their low 12 bits; "???" for a state
// outside the table.
const char *conmon_local_opcode_name(uint16_t opcode);
const char *conmon_local_kind_name(uint16_t kind_status);
const char *conmon_local_state_name(int state);
// The library error a completed request reports for the kind/status field as received (flags
// included: a field with high bits set maps to QNB_ERR_SYSTEM).
qnb_error conmon_local_kind_error(uint16_t kind_status);

struct conmon_local_head {
    uint16_t version;
    uint16_t length;
    uint16_t request_id;
    uint16_t opcode;
    uint16_t kind; // kind/status as on the wire
};

// The head of a received datagram; QNB_ERR_INVALIDDATA below 10 bytes.
qnb_error conmon_local_read_head(const void *data, size_t size, conmon_local_head *out);
// Writes a head over the first 10 bytes of `buffer`.
void conmon_local_write_head(uint8_t *buffer, const conmon_local_head *head);

// Validates a received datagram of `size` bytes for a link of protocol version `version`.
// Returns 0 (valid) or the kind that describes the fault (CONMON_KIND_INVALID_*).
unsigned conmon_local_validate(const void *data, size_t size, uint16_t version);

// ---------------------------------------------------------------------------------------------
// Builders. Each writes a request of kind 0 with the given version and request id into `buffer`
// (`capacity` bytes) and stores its length. QNB_ERR_INVALIDPARAMETER for a missing buffer or
// length; QNB_ERR_MSGSIZE when it does not fit.

// Keepalive, Disconnect, Enable/Disable Tx Metering, CLEAR_REMOTE: head only.
qnb_error conmon_local_build_empty(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                   uint16_t opcode, size_t *length);
// Connect: the 44-byte form from version 0x1400 (`auto_reconnect` sets the u16 at 42 to 10),
// the short form below. The name is cut to 31 characters.
qnb_error conmon_local_build_connect(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                     const char *name, bool auto_reconnect, size_t *length);
// Register (0x0300) or Deregister (0x0301).
qnb_error conmon_local_build_register(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                      uint16_t opcode, uint16_t channel_type, uint16_t class_, uint16_t port,
                                      size_t *length);
// Subscribe (0x0310) or Unsubscribe (0x0311); `name` null or empty for a global one. A name of
// 32 characters or more is refused with QNB_ERR_INVALIDPARAMETER (it cannot be terminated in
// its field).
qnb_error conmon_local_build_subscribe(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                       uint16_t opcode, uint16_t channel_type, uint16_t port, const char *name,
                                       size_t *length);
// Send Message (0x0400) carrying a complete channel message (head and body). For channel type 0
// the device id (null: zero) and target name (null: empty; 32 characters or more refused) precede
// it.
qnb_error conmon_local_build_send_message(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                          uint16_t channel_type, const uint8_t *device_id, const char *target_name,
                                          const uint8_t *channel_message, size_t channel_message_length,
                                          size_t *length);

// ---------------------------------------------------------------------------------------------
// Readers. Each takes the whole datagram; QNB_ERR_INVALIDDATA for one whose fields do not lie
// inside it.

// One network of the server's PC, from either interface-record form. `address[1]` is the IPv4
// address (network order); the other fields' meaning is the server's.
struct conmon_network_entry {
    uint32_t interface_index;
    uint32_t value_a;
    uint16_t value_b;
    uint32_t value_c;
    uint16_t value_d;
    uint32_t address[5];
};
struct conmon_networks {
    uint16_t count; // at most CONMON_MAX_NETWORKS
    conmon_network_entry entries[CONMON_MAX_NETWORKS];
};
bool conmon_networks_equal(const conmon_networks *a, const conmon_networks *b);

// The connection data of a Connect response.
struct conmon_connection_data {
    uint16_t server_flags;
    uint32_t values[2];
    char device_name[CONMON_NAME_SIZE];
    char dns_domain_name[CONMON_DNS_NAME_SIZE];
    uint8_t device_id[CONMON_DEVICE_ID_SIZE];
    uint16_t process;
    conmon_networks networks;
};
qnb_error conmon_local_read_connect_response(const void *data, size_t size, uint16_t version,
                                             conmon_connection_data *out);
// "Networks Changed" (0x0500).
qnb_error conmon_local_read_networks_changed(const void *data, size_t size, uint16_t version, conmon_networks *out);
// The device name at 10 (0x0501 and the Set Velto Device Name response), cut to 32 characters.
qnb_error conmon_local_read_device_name(const void *data, size_t size, char out[CONMON_NAME_SIZE]);
// The DNS domain name at 10 (0x0502).
qnb_error conmon_local_read_dns_domain_name(const void *data, size_t size, char out[CONMON_DNS_NAME_SIZE]);

// A channel message carried by a "Channel Message" (0x0510) or "Named Channel Message" (0x0511).
struct conmon_local_channel_event {
    uint16_t channel_type;
    uint16_t class_;
    uint8_t domain; // low 2 bits of the byte at 15 (0x0510 only)
    bool named;
    char sender_name[CONMON_NAME_SIZE]; // 0x0511 only; empty when absent
    const uint8_t *message;             // the channel message inside the datagram
    size_t message_length;              // its own length (at least 24)
};
qnb_error conmon_local_read_channel_event(const void *data, size_t size, conmon_local_channel_event *out);

// A record of a Subscribe response or "Subscriptions Changed" event.
struct conmon_subscription_record {
    uint8_t flags; // bit 0 device id present, bit 1 addresses present (newer form)
    uint16_t id;
    char name[CONMON_NAME_SIZE];
    uint8_t device_id[CONMON_DEVICE_ID_SIZE];
    uint16_t process;
    uint16_t status;
    uint16_t channel_type; // the u16 at 48; 6 for the older form, which has none
    uint8_t values[2];     // from version 0x1300
    uint16_t address_count;
    uint16_t address_mask;
    uint32_t address[2]; // network order
    uint16_t port[2];
    uint32_t address_extra;
};
// The record list's head: record count, and whether the list names subscriptions (always below
// version 0x1100). A 10-byte message is an empty list.
qnb_error conmon_local_read_subscription_list(const void *data, size_t size, uint16_t version, uint16_t *count,
                                              bool *subscriptions);
qnb_error conmon_local_read_subscription_record(const void *data, size_t size, uint16_t version, unsigned index,
                                                conmon_subscription_record *out);
