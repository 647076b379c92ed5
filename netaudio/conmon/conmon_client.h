// The control-and-monitoring client: talks to the devices of the audio network through the PC's
// local control-and-monitoring server. It subscribes to devices' messages, sends control messages
// to them, keeps the remote devices the server reports, and hands every channel message that
// arrives to the handler registered for its channel type and class.
//
// The owner collects the client's sockets (conmon_client_get_sockets) into its read set and calls
// conmon_client_process_sockets with the ready set, and also when the deadline handed out by the
// last call has passed. Single-threaded: every call and callback runs on the owner's thread.
//
// With an event loop in the environment the client runs on the loop instead: the link's and the
// channels' sockets and the client's deadlines are registered there (conmon_client_get_sockets and
// conmon_client_process_sockets answer QNB_ERR_NOTSUPPORTED). When the environment also carries a
// domain handler the client makes its managed-domain part (conmon_client_domain.h) at creation:
// while the handler's domain is a managed one, registrations of messages from other devices,
// subscriptions to devices and control messages go through that part; in the ad-hoc network
// they go to the local server as without a handler.
//
// A request that takes a completion callback or an out-pointer holds a request slot until its
// answer arrives (the callback runs, then the slot is freed), until it is released, until the
// connection is reset, or until it has waited CONMON_REQUEST_TIMEOUT seconds without an answer,
// when it completes with QNB_ERR_TIMEDOUT.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/conmon/conmon_channel.h"
#include "netaudio/conmon/conmon_local.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_socket_set.h"
#include "netaudio/platform/qnb_time.h"

struct qnb_env;
struct conmon_client;

enum {
    CONMON_CLIENT_DEFAULT_MASK = 0x15D,
    CONMON_CLIENT_DEFAULT_REQUESTS = 10,
    CONMON_REMOTE_DEVICES = 128, // above the largest installation the program counts (101 devices)
    CONMON_MAX_CONTROL_BODY = 1448,
    CONMON_MAX_CONTROL_BODY_MANAGED = 1320,
    CONMON_REQUEST_TIMEOUT = 5 // seconds
};

// The client's configuration, copied at creation.
struct conmon_client_config {
    char name[CONMON_NAME_FIELD];    // at most 31 characters
    qnb_sockaddr server;             // empty: 127.0.0.1:8900; port 0: 8900
    uint16_t version;                // protocol version of the local link
    uint32_t channel_mask;           // bit n enables channel type n
    uint16_t metering_port;          // port of the metering channel (type 1)
    uint32_t vendor_broadcast_group; // group of channel type 7 (network order)
    uint32_t metering_failure_tolerated;
    uint32_t metering_reads; // messages read per pass (0: 32)
    uint32_t serial_reads;
    uint32_t vendor_broadcast_reads;
    uint32_t domain_parameter_set; // hand domain_parameter to the domain handler
    uint8_t domain_parameter[16];
    uint16_t serial_port;           // port of channel type 5 (0: 8705)
    uint16_t vendor_broadcast_port; // port of channel type 7 (0: 8707)
};
// The default configuration for a client of this name.
void conmon_client_config_init(conmon_client_config *config, const char *name);

// A request slot.
struct conmon_request;
typedef void (*conmon_request_fn)(conmon_client *client, conmon_request *request, qnb_error result);
struct conmon_request {
    uint32_t in_use;
    uint32_t kind; // 1: a request of the local link
    uint16_t request_id;
    uint16_t opcode;
    uint16_t key;
    conmon_request_fn callback;
    void *user;
    qnb_timeval deadline; // {0, 0}: none
    uint32_t generation;  // grows each time the slot is taken
    uint16_t global_type; // a global Subscribe: its channel type + 1, whose flag the answer sets (0: none)
};

// A remote device the server reports (table 1: subscriptions; table 2: metering addresses).
enum {
    CONMON_REMOTE_HAS_ID = 0x01,
    CONMON_REMOTE_HAS_NAME = 0x02,
    CONMON_REMOTE_HAS_CHANNEL_TYPE = 0x04,
    CONMON_REMOTE_HAS_DEVICE_ID = 0x08,
    CONMON_REMOTE_HAS_ADDRESSES = 0x10,
    CONMON_REMOTE_HAS_VALUE_A = 0x40,
    CONMON_REMOTE_HAS_VALUE_B = 0x80,
    CONMON_REMOTE_NEW = 0x27
};
struct conmon_remote_device_info {
    uint32_t flags; // 0: a free entry
    uint16_t id;
    char name[CONMON_NAME_SIZE];
    uint16_t channel_type; // the subscription's channel type
    conmon_source_id device_id;
    uint16_t address_count;
    uint16_t address_mask;
    uint32_t address[2]; // network order
    uint16_t port[2];
    uint32_t address_extra;
    qnb_sockaddr socket_address[2]; // table 2 only
    uint16_t status;
    uint16_t values[2];
};

// Handlers of channel messages, registered per channel type and class (0: from the local device,
// 1: from other devices).
typedef void (*conmon_message_handler_fn)(conmon_client *client, uint16_t channel_type, uint16_t class_,
                                          const conmon_channel_message *message);
typedef void (*conmon_client_fn)(conmon_client *client);
typedef void (*conmon_subscriptions_fn)(conmon_client *client, unsigned count,
                                        const conmon_remote_device_info *const *changed);

// ---------------------------------------------------------------------------------------------
// Creation and settings

qnb_error conmon_client_new(qnb_env *env, conmon_client **out, const char *name);
qnb_error conmon_client_new_with_config(qnb_env *env, const conmon_client_config *config, conmon_client **out);
void conmon_client_delete(conmon_client *client);

qnb_error conmon_client_set_context(conmon_client *client, void *context);
void *conmon_client_get_context(const conmon_client *client);
qnb_error conmon_client_set_interfaces_callback(conmon_client *client, conmon_client_fn fn);
qnb_error conmon_client_set_device_name_callback(conmon_client *client, conmon_client_fn fn);
qnb_error conmon_client_set_connection_callback(conmon_client *client, conmon_client_fn fn);
qnb_error conmon_client_set_subscriptions_callback(conmon_client *client, conmon_subscriptions_fn fn);
// Sets the request-table size before the first connect; returns the size in force.
unsigned conmon_client_set_max_requests(conmon_client *client, unsigned size);

// Entries of the client's flag array: 0-8 the global-subscription flags of channel types 0-8.
int conmon_client_get_subscription_flag(const conmon_client *client, unsigned index);
const conmon_client_config *conmon_client_get_config(const conmon_client *client);
int conmon_client_get_local_state(const conmon_client *client);
// Only while CONNECTED; null otherwise.
const char *conmon_client_get_server_device_name(const conmon_client *client);
const conmon_source_id *conmon_client_get_server_device_id(const conmon_client *client);
const conmon_networks *conmon_client_get_server_instance_info(const conmon_client *client);
const char *conmon_client_get_dns_domain_name(const conmon_client *client);
int conmon_client_get_tx_metering_enabled(const conmon_client *client);
// Remote-device table 1 or 2 (CONMON_REMOTE_DEVICES entries).
const conmon_remote_device_info *conmon_client_get_remote_devices(const conmon_client *client, unsigned table);
// Slots of the request table that are in use.
unsigned conmon_client_requests_in_use(const conmon_client *client);
// The name of a device by its source id: the server's own device name when the id is the
// server's; else the first subscribed device with these 8 id bytes; else, while a named channel
// message is being handed to a handler, its sender's name when the id is the message's source;
// else null.
const char *conmon_client_device_name_for_id(const conmon_client *client, const conmon_source_id *id);
// The channel set (direct channels), for its owner's inspection.
conmon_channel_set *conmon_client_get_channels(const conmon_client *client);

// ---------------------------------------------------------------------------------------------
// Connection

// Starts the local link; `out_request` receives the in-flight Connect slot, whose callback runs
// when the Connect response arrives.
qnb_error conmon_client_connect(conmon_client *client, conmon_request_fn callback, conmon_request **out_request);
qnb_error conmon_client_disconnect(conmon_client *client);
// Frees a slot without calling its callback; the in-flight Connect aborts the connection.
void conmon_client_release_request(conmon_client *client, conmon_request *request);

// ---------------------------------------------------------------------------------------------
// Registrations and subscriptions

qnb_error conmon_client_register_control_messages(conmon_client *client, conmon_request_fn callback,
                                                  conmon_request **out_request, conmon_message_handler_fn handler);
qnb_error conmon_client_register_monitoring_messages(conmon_client *client, conmon_request_fn callback,
                                                     conmon_request **out_request, uint16_t channel_type,
                                                     uint16_t class_, conmon_message_handler_fn handler);
qnb_error conmon_client_subscribe(conmon_client *client, conmon_request_fn callback, conmon_request **out_request,
                                  uint16_t channel_type, const char *device_name);
// The global subscription of a channel type: its flag is set once the server has answered the
// Subscribe with success (a request refused, timed out or released leaves it clear); the
// unsubscribe clears it at once.
qnb_error conmon_client_subscribe_global(conmon_client *client, conmon_request_fn callback,
                                         conmon_request **out_request, uint16_t channel_type);
qnb_error conmon_client_unsubscribe_global(conmon_client *client, conmon_request_fn callback,
                                           conmon_request **out_request, uint16_t channel_type);
qnb_error conmon_client_set_tx_metering_enabled(conmon_client *client, conmon_request_fn callback,
                                                conmon_request **out_request, bool enable);

// Sends a control message {message type, vendor id, body} to the device named `target` (device id
// may be null: zero).
qnb_error conmon_client_send_control_message(conmon_client *client, conmon_request_fn callback,
                                             conmon_request **out_request, const char *target, uint16_t message_type,
                                             const uint8_t *vendor_id, const void *body, size_t body_length,
                                             const uint8_t *device_id);

// ---------------------------------------------------------------------------------------------
// Sockets

qnb_error conmon_client_get_sockets(const conmon_client *client, qnb_socket_set *sockets);
// `ready` null reads every socket. `next` (may be null) receives the earliest deadline of the
// client, {0, 0} when none.
qnb_error conmon_client_process_sockets(conmon_client *client, const qnb_socket_set *ready, qnb_timeval *next);
