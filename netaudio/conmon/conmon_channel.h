// Channel messages and the direct channel sockets of the control-and-monitoring client.
//
// A channel message is a 24-byte head in network byte order (type, total length, sequence number,
// process, source device id, vendor id) and a body of at most 1448 bytes. It travels inside local
// messages (Send Message, Channel Message) or on a channel socket of its own.
//
// The channel set receives channel messages directly from the audio network: one channel per
// enabled type (metering unicast on a configured port, serial multicast 224.0.0.232:8705, vendor
// broadcast on a configured group, port 8707), with per-network multicast membership, a check of
// each datagram's destination and arrival interface, and a duplicate filter (32 messages, 2 s).
// The owner adds the set's sockets to its read set and calls conmon_channel_set_process; with an
// event loop in the environment the sockets are registered in the loop, which reads them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/conmon/conmon_local.h"
#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_interface.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_socket_set.h"

struct qnb_env;

enum {
    CONMON_MESSAGE_HEAD_SIZE = 24,
    CONMON_MESSAGE_MAX_BODY = 1448,
    CONMON_CHANNEL_PACKET_SIZE = 1472, // head + the largest body
    CONMON_VENDOR_ID_SIZE = 8,
    CONMON_CHANNEL_TYPES = 9,
    CONMON_SERIAL_PORT = 8705,
    CONMON_VENDOR_BROADCAST_PORT = 8707,
    CONMON_CHANNEL_DEFAULT_READS = 32,
    CONMON_DUPLICATE_ENTRIES = 32,
    CONMON_DUPLICATE_WINDOW = 2, // seconds
    CONMON_DIRECT_CHANNEL_MASK = 0xA2
};

// 224.0.0.232 in network order.
extern const uint32_t CONMON_SERIAL_GROUP;
// The standard vendor id "Quenbary" (8 bytes, no terminator).
extern const uint8_t CONMON_VENDOR_STANDARD[CONMON_VENDOR_ID_SIZE];

enum conmon_channel_type {
    CONMON_CHANNEL_CONTROL = 0,
    CONMON_CHANNEL_METERING = 1,
    CONMON_CHANNEL_STATUS = 2,
    CONMON_CHANNEL_BROADCAST = 3,
    CONMON_CHANNEL_LOCAL = 4,
    CONMON_CHANNEL_SERIAL = 5,
    CONMON_CHANNEL_KEEPALIVE = 6,
    CONMON_CHANNEL_VENDOR_BROADCAST = 7,
    CONMON_CHANNEL_MONITORING = 8
};
// "control", "metering", ...; null outside the table.
const char *conmon_channel_type_name(unsigned type);

// Channel modes; the client uses REMOTE_ANYCAST (unicast) and REMOTE_MULTICAST.
enum conmon_channel_mode {
    CONMON_CHANNEL_MODE_0 = 0,
    CONMON_CHANNEL_MODE_1 = 1,
    CONMON_CHANNEL_MODE_2 = 2,
    CONMON_CHANNEL_REMOTE_ANYCAST = 3,
    CONMON_CHANNEL_REMOTE_MULTICAST = 4,
    CONMON_CHANNEL_MODE_5 = 5
};
struct conmon_channel_mode_info {
    unsigned mode;
    bool multicast;
    bool event_loop; // its sockets join an event loop, when the environment has one
};
const conmon_channel_mode_info *conmon_channel_mode_get(unsigned mode);

// The sender of a channel message, conmon_source_id (conmon_msg.h): its device id and process number.
bool conmon_source_id_equal(const conmon_source_id *a, const conmon_source_id *b);

struct conmon_message_head {
    uint16_t type;
    uint16_t length; // 24 + body length
    uint16_t sequence;
    uint16_t process;
    uint8_t source_id[CONMON_DEVICE_ID_SIZE];
    uint8_t vendor_id[CONMON_VENDOR_ID_SIZE];
};

// Builds a channel message for the local server: type, length, vendor id and body (sequence,
// process and source id zero). QNB_ERR_INVALIDPARAMETER for a body over 1448 bytes or a missing
// argument (a body may be null only with length 0); QNB_ERR_MSGSIZE when `capacity` is short.
qnb_error conmon_message_build(uint8_t *buffer, size_t capacity, uint16_t type, const uint8_t *vendor_id,
                               const void *body, size_t body_length, size_t *length);
// The head of `size` received bytes; QNB_ERR_INVALIDDATA below 24 bytes.
qnb_error conmon_message_read_head(const void *data, size_t size, conmon_message_head *out);
// Readers of a head: body length (0 for a length below 24), source, sequence, vendor id.
size_t conmon_message_head_body_length(const conmon_message_head *head);
void conmon_message_head_get_source(const conmon_message_head *head, conmon_source_id *out);

// A channel message as handed to receivers: its head, all its bytes and its body.
struct conmon_channel_message {
    conmon_message_head head;
    const uint8_t *data; // head and body
    size_t length;       // 24 + body_length
    const uint8_t *body;
    size_t body_length;
};
// A view of a whole channel message: its own length must be at least 24 and equal `size` (`exact`)
// or lie within it. QNB_ERR_INVALIDDATA otherwise.
qnb_error conmon_channel_message_view(const void *data, size_t size, bool exact, conmon_channel_message *out);

// ---------------------------------------------------------------------------------------------
// Channel set

struct conmon_channel_set;

// Called for each new (not duplicate) message a channel accepts.
typedef void (*conmon_channel_receive_fn)(void *context, unsigned channel_type, const conmon_channel_message *message);

struct conmon_channel_set_config {
    uint32_t mask;                   // channel types to make (only those of 0xA2 are made)
    uint16_t metering_port;          // 0: any
    uint32_t vendor_broadcast_group; // network order; used only when it is a multicast address
    uint16_t serial_port;            // 0: 8705
    uint16_t vendor_broadcast_port;  // 0: 8707
    int loopback;                    // multicast loopback on the channel sockets
    bool managed;                    // managed-domain mode: every datagram counts for network 0
};

// Makes the set (no socket yet). The networks record and the two interface records belong to the
// owner and are read whenever the set acts on them.
qnb_error conmon_channel_set_new(qnb_env *env, const conmon_channel_set_config *config, const conmon_networks *networks,
                                 const qnb_interface *interfaces, conmon_channel_set **out);
void conmon_channel_set_delete(conmon_channel_set *set);

// Opens the sockets of the configured channels: metering as remote unicast, serial and vendor
// broadcast as remote multicast. With `metering_failure_tolerated` a metering channel that cannot
// be opened is left closed and the others are opened.
qnb_error conmon_channel_set_open(conmon_channel_set *set, bool metering_failure_tolerated);
// Initialises one channel.
qnb_error conmon_channel_init_remote_multicast(conmon_channel_set *set, unsigned type, uint16_t port, uint32_t group);
qnb_error conmon_channel_init_remote_unicast(conmon_channel_set *set, unsigned type, uint16_t port);

void conmon_channel_set_set_receive_callback(conmon_channel_set *set, conmon_channel_receive_fn fn, void *context);
qnb_error conmon_channel_set_read_count(conmon_channel_set *set, unsigned type, uint32_t count);
qnb_error conmon_channel_set_enable(conmon_channel_set *set, unsigned type, bool enabled);
bool conmon_channel_set_is_enabled(const conmon_channel_set *set, unsigned type);
// Managed-domain mode: every datagram counts for network 0.
void conmon_channel_set_set_managed(conmon_channel_set *set, bool managed);
void conmon_channel_set_set_own_id(conmon_channel_set *set, const conmon_source_id *id);
bool conmon_channel_set_has(const conmon_channel_set *set, unsigned type);
// The bound port of a channel (0 when it has none).
uint16_t conmon_channel_set_get_port(const conmon_channel_set *set, unsigned type);
// Network i's unicast address of a unicast channel (empty when none).
const qnb_sockaddr *conmon_channel_set_get_unicast_address(const conmon_channel_set *set, unsigned type,
                                                           unsigned network);

// Transmit sockets (one per network, only when a channel is multicast) and membership, after each
// Connect response and networks change.
qnb_error conmon_channel_set_init_tx_sockets(conmon_channel_set *set);
void conmon_channel_set_close_tx_sockets(conmon_channel_set *set);
void conmon_channel_set_update_sockets(conmon_channel_set *set);

qnb_error conmon_channel_set_add_sockets(const conmon_channel_set *set, qnb_socket_set *sockets);
// Reads every channel socket that is in `ready` (null: every socket); the first error is returned.
qnb_error conmon_channel_set_process(conmon_channel_set *set, const qnb_socket_set *ready);
// Closes every channel's sockets.
void conmon_channel_set_close(conmon_channel_set *set);
