// The routing container: the root object of the routing client. It owns the one UDP socket over
// which every routing request of every device goes out and every response comes in, the pool of
// request slots that pairs responses with requests by sequence number, the list of open routing
// devices, and the domain client through which a managed domain would be reached.
//
// The owner puts wr_devices_get_sockets into its read set and calls wr_devices_process every pass
// when a socket is ready or wr_devices_next_deadline has passed. Every request has a deadline:
// each packet is resent once, with the same sequence number, 1 s after it was sent, and the
// request completes with TIMEDOUT 3 s after that packet was first sent.
//
// Devices found through a managed-domain server are reached through it: their requests leave
// through the container's domain client as relay records, and the server's relay records bring
// their replies (or a transport error) back. Such requests keep the same deadlines; a resend goes
// through the server again with the same sequence number and domain request id.
//
// The relay record (type 0x2004, one per message; the Parts of the record are those of the
// typed-record format, tlv_message.h):
//   value   u16 domain request id (the container's counter: 1, 2, ..., skipping 0),
//           u16 status: 0 in a request; in the server's answer 0 for a relayed reply, otherwise a
//           transport error (the request could not be delivered; no body follows)
//   body    12 bytes: u16 length of the routing message, u16 its offset (from the record start),
//           u32 + u16 the device's domain address (the 6-byte id of its lookup answer), u16 0.
//           In a request the address is where the message goes, in an answer where it came from.
//   then    the routing message, padded to 4.
// A request is sequenced: its 0x40 option carries the domain request id; the server answers with
// the response class and the ids swapped. Transport errors map like failed lookups: 2 and 3 give
// INVALIDPARAMETER, 5 INVALIDDATA, 6 POLICY, any other SYSTEM.
//
// Event-loop mode: when the environment carries an event loop (qnb_loop.h) the container needs no
// owner's pass. Its comms socket and every device's resolve socket get read callbacks in the loop,
// one idle timer of the loop stands for the earliest request deadline or resolve retry, a device
// processes its ready resolve sockets in a deferred wake-up, and a closed device is freed by the
// container's deferred call after the loop's pass. wr_devices_get_sockets and wr_devices_process
// then return NOTSUPPORTED and the changed callback is not used. The container is deleted before
// its loop.
//
// Single-threaded (the service layer's worker, or the loop's thread); callbacks run inside the
// calls that cause them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/discovery/domain_client.h"
#include "netaudio/messaging/wgcp_message.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_interface.h"
#include "netaudio/platform/qnb_list.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_socket_set.h"
#include "netaudio/platform/qnb_time.h"
#include "netaudio/routing/wr_message.h"

struct qnb_env;
struct qnb_event_loop;
struct qnb_timer;
struct wr_devices;
struct wr_request;
struct wr_device;
struct wr_device_addresses;
struct wr_device_address;

enum {
    WR_DEVICES_DEFAULT_REQUESTS = 16,
    WR_DOMAIN_MESSAGE_MAX = 1388,
    WR_DOMAIN_RELAY_BODY = 12,
    // A relay record with the longest routing message.
    WR_DOMAIN_RELAY_BUFFER = TLV_HEAD_SIZE + TLV_RECORD_HEAD_SIZE + 4 + WR_DOMAIN_RELAY_BODY + WR_MESSAGE_MAX,
    WR_RECEIVE_BUFFER_BYTES = 1 << 20,
    WR_DRAIN_PER_PROCESS = 64
};

// Deadlines of a packet, from the time it was sent.
enum { WR_RESEND_AFTER_US = 1000000, WR_TIMEOUT_AFTER_US = 3000000 };

typedef void (*wr_request_fn)(void *context, wr_request *request, qnb_error result);
// The form routing devices hand to their callers: the context is the device.
typedef void (*wr_device_request_fn)(wr_device *device, wr_request *request, qnb_error result);
typedef void (*wr_devices_changed_fn)(wr_devices *devices);

struct wr_batch_data {
    uint16_t total;
    uint16_t sent;
    const void *items;
};

struct wr_request {
    uint32_t in_use;
    uint16_t seqnum;
    uint16_t domain_request_id;
    void *context; // the wr_device that sent it
    wr_request_fn callback;
    wr_device_request_fn device_callback; // used instead of `callback` when set
    uint32_t request_code;
    uint32_t result_override;
    wr_batch_data batch;
    // Deadline of the packet last sent: when, whether it was resent, and where it went.
    qnb_timeval sent_at;
    bool resent;
    bool via_domain;
    const wr_device_addresses *sent_to;
    wgcp_builder packet;
};

struct wr_handle_slot {
    uint16_t words[4];
};

struct domain_requests;

struct wr_devices {
    qnb_env *env;
    domain_client *domain;
    domain_requests *lookups; // domain requests for device lookups; only with a domain handler
    uint16_t domain_request_counter;
    uint32_t domain_max_message;
    uint8_t domain_buffer[WR_DOMAIN_RELAY_BUFFER]; // the relay record being sent
    struct {
        uint32_t in_use;
        uint32_t capacity;
        wr_handle_slot *slots;
    } handles;
    wr_devices_changed_fn changed_callback;
    void *context;
    struct {
        uint32_t capacity;
        uint32_t in_use;
        uint32_t next;
        wr_request *slots;
    } requests;
    uint16_t seqnum;
    qnb_socket comms_socket;
    qnb_socket unix_socket; // always -1 here
    qnb_list devices;
    // Address entries of the devices with a resolve retry pending: while there is none, the
    // deadline asked on every pass does not walk the devices.
    uint32_t address_retries;
    // Event-loop mode (null loop: the owner's pass): devices closed and waiting for the deferred
    // call, the deadline timer, and the handle of the deferred call (0 when none is queued).
    qnb_event_loop *loop;
    qnb_list deferred_deletions;
    qnb_timer *deadline_timer;
    uint32_t deferred_call;
    bool have_loopback;
    qnb_interface loopback;
    uint8_t receive_buffer[WR_MESSAGE_MAX];
    qnb_sockaddr receive_source;
    bool processing;
    bool pending_change;
};

qnb_error wr_devices_new(qnb_env *env, wr_devices **out);
// `domain_settings` is reserved; the domain handler comes from the environment's domain hook.
qnb_error wr_devices_new_common(qnb_env *env, const void *domain_settings, wr_devices **out);
qnb_error wr_devices_delete(wr_devices *devices);
qnb_error wr_devices_set_changed_callback(wr_devices *devices, wr_devices_changed_fn callback);
qnb_error wr_devices_set_context(wr_devices *devices, void *context);
void *wr_devices_get_context(const wr_devices *devices);
qnb_error wr_devices_set_num_requests(wr_devices *devices, uint32_t n);
qnb_error wr_devices_set_max_handles(wr_devices *devices, uint32_t n);
uint32_t wr_devices_get_max_handles(const wr_devices *devices);
uint32_t wr_devices_requests_in_use(const wr_devices *devices);

qnb_error wr_devices_get_sockets(wr_devices *devices, qnb_socket_set *set);
// Drains up to WR_DRAIN_PER_PROCESS datagrams when the comms socket is in `set` (may be null),
// processes the devices' resolve sockets, then checks every deadline.
qnb_error wr_devices_process(wr_devices *devices, qnb_socket_set *set);
// The earliest deadline of a request or a resolve retry; false when there is none.
bool wr_devices_next_deadline(const wr_devices *devices, qnb_timeval *out);
// The comms socket's local address (tests and the simulated installation).
qnb_error wr_devices_get_local_address(const wr_devices *devices, qnb_sockaddr *out);

qnb_error wr_devices_allocate_request(wr_devices *devices, void *context, wr_request_fn callback, wr_request **out);
qnb_error wr_devices_cancel_request(wr_devices *devices, wr_request *request);
qnb_error wr_devices_complete_request(wr_devices *devices, wr_request *request, qnb_error result);
wgcp_builder *wr_devices_get_request_packet(wr_devices *devices, wr_request *request);
qnb_error wr_devices_get_request_code(wr_devices *devices, const wr_request *request, uint32_t *out);
qnb_error wr_devices_set_request_code(wr_devices *devices, wr_request *request, uint32_t value);
qnb_error wr_devices_set_request_result(wr_devices *devices, wr_request *request, uint32_t value);
wr_batch_data *wr_devices_get_batch_data(wr_devices *devices, wr_request *request);
// True when `request` is a slot of this container that is in use.
bool wr_devices_request_is_live(const wr_devices *devices, const wr_request *request);

qnb_error wr_devices_send_request(wr_devices *devices, wr_request *request, wgcp_builder *packet,
                                  const wr_device_addresses *addresses);
qnb_error wr_devices_send_request_via_domain(wr_devices *devices, wr_request *request, wgcp_builder *packet,
                                             const uint32_t *domain_address);

// Pairs a received message with its request (also the entry for messages relayed by a domain
// server) and hands it to the owning device.
qnb_error wr_devices_process_socket_message(wr_devices *devices, const uint8_t *data, size_t size,
                                            const qnb_sockaddr *source);
// A reply relayed by the domain server from the device at `source` (its domain address).
qnb_error wr_devices_process_domain_message(wr_devices *devices, const uint32_t *source, const uint8_t *data,
                                            size_t size);
qnb_error wr_devices_process_domain_error(wr_devices *devices, uint16_t domain_request_id, qnb_error error);
// A relay record from the domain server: a reply goes to wr_devices_process_domain_message, a
// transport error to wr_devices_process_domain_error. INVALIDDATA for a malformed record.
qnb_error wr_devices_process_domain_relay(wr_devices *devices, const tlv_view *record);
// The error of a failed lookup or of a transport error from the domain server.
qnb_error wr_devices_domain_status_error(uint32_t status);
// A domain state change from the domain handler (0 lost, 1, 2 connected).
void wr_devices_domain_state_changed(wr_devices *devices, uint32_t state, uint32_t connection_state);

// Device list (used by wr_device).
void wr_devices_add_device(wr_devices *devices, wr_device *device, qnb_list_node *node);
void wr_devices_remove_device(wr_devices *devices, wr_device *device, qnb_list_node *node);
// A socket of the container or of a device came or went: deferred while processing.
void wr_devices_announce_sockets(wr_devices *devices);
// A resolve socket of a device's address entry came (`watch`) or goes: in event-loop mode its read
// callback is registered or withdrawn, otherwise the sockets are announced.
void wr_devices_announce_address(wr_devices *devices, wr_device_address *entry, int socket, bool watch);
// Event-loop mode: a closed device, already unlinked, is freed by the deferred call.
void wr_devices_defer_deletion(wr_devices *devices, wr_device *device, qnb_list_node *node);
// A deadline came or moved: in event-loop mode the deadline timer is set again after the pass.
void wr_devices_deadlines_changed(wr_devices *devices);
bool wr_devices_loop_mode(const wr_devices *devices);
// The container's current domain id (16 bytes).
void wr_devices_get_domain_id(const wr_devices *devices, uint8_t *out);
