// A routing device: the routing client's view of one network-audio device. It is opened by name
// (resolved through DNS-SD) or by addresses, brought to ACTIVE by the capabilities query (which
// continues with the property-availability and names queries on the same request slot), and then
// read and changed through the update kinds, the channel operations (wr_channel.h) and the batch
// subscription.
//
// Changes are reported through the changed callback with change bits; while the device handles
// one response (or processes its sockets) the bits are collected and reported once at the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_interface.h"
#include "netaudio/platform/qnb_list.h"
#include "netaudio/platform/qnb_name.h"
#include "netaudio/routing/wr_channel.h"
#include "netaudio/routing/wr_device_addresses.h"
#include "netaudio/routing/wr_devices.h"
#include "netaudio/routing/wr_flow.h"

enum wr_device_state {
    WR_DEVICE_STATE_UNKNOWN = 0,
    WR_DEVICE_STATE_ERROR = 1,
    WR_DEVICE_STATE_RESOLVING = 2,
    WR_DEVICE_STATE_RESOLVED = 3,
    WR_DEVICE_STATE_QUERYING = 4,
    WR_DEVICE_STATE_ACTIVE = 5
};

// Update kinds (index of the change flags).
enum {
    WR_UPDATE_TXCHANNELS = 0,
    WR_UPDATE_RXCHANNELS = 1,
    WR_UPDATE_TXLABELS = 2,
    WR_UPDATE_TXFLOWS = 3,
    WR_UPDATE_RXFLOWS = 4,
    WR_UPDATE_PROPERTIES = 5,
    WR_UPDATE_KINDS = 6
};

// Change bits of the changed callback.
enum {
    WR_CHANGE_TXCHANNELS = 0x001,
    WR_CHANGE_RXCHANNELS = 0x002,
    WR_CHANGE_TXLABELS = 0x004,
    WR_CHANGE_TXFLOWS = 0x008,
    WR_CHANGE_RXFLOWS = 0x010,
    WR_CHANGE_PERFORMANCE = 0x020,
    WR_CHANGE_NAMES = 0x040,
    WR_CHANGE_STATE = 0x080,
    WR_CHANGE_FLAGS = 0x100,
    WR_CHANGE_CAPABILITIES = 0x200,
    WR_CHANGE_ADDRESSES = 0x400,
    WR_CHANGE_TABLE = 0x800,
    WR_CHANGE_ARRAY0 = 0x1000,
    WR_CHANGE_ARRAY1 = 0x2000,
    WR_CHANGE_ARRAY2 = 0x8000,
    WR_CHANGE_ARRAY3 = 0x4000,
    WR_CHANGE_ARRAY4 = 0x10000
};

// Request codes stored with a request.
enum {
    WR_CODE_QUERY = 0,
    WR_CODE_PERFORMANCE = 1,
    WR_CODE_BATCH_SUBSCRIBE = 4,
    WR_CODE_BATCH_LABELS = 5,
    WR_CODE_BATCH_RXNAMES = 6,
    WR_CODE_BATCH_TXFLOWS = 7
};

// Query-step flags of the capabilities query.
enum { WR_QUERY_PROP_AVAIL = 1, WR_QUERY_NAMES = 2 };

enum { WR_ARCP_DEFAULT_VERSION = 0x2729, WR_PER_DEVICE_ARRAYS = 5 };

// Open configuration.
enum { WR_CONFIG_ADDRESSES = 1, WR_CONFIG_INTERFACES = 2 };
enum { WR_CONFIG_INTERFACE_USE = 2 };
struct wr_device_config_interface {
    uint8_t flags; // bit 1: use this interface
    uint32_t index;
};
struct wr_device_config_address {
    uint32_t address; // IPv4, network order
    uint16_t port;    // host order; 0 = 4440
};
struct wr_device_config {
    const char *name;
    uint32_t count;
    uint32_t flags;
    wr_device_config_interface interfaces[2];
    wr_device_config_address addresses[3];
};

// One item of a batch subscription: an empty tx channel and device clear the rx channel.
struct wr_batch_item {
    uint16_t rx_channel; // 1-based
    char tx_channel[32];
    char tx_device[32];
};

struct wr_router_version {
    uint8_t major;
    uint8_t minor;
    uint16_t patch;
};

struct wr_device_properties {
    uint16_t values16[16]; // by the index of the property in the query order
    uint32_t values32[16];
    char text[WR_PROPERTY_TEXT_SIZE]; // property 0x8021
    bool performance_valid;
    uint16_t performance[2]; // from 0x3300
    uint32_t latency_us;
};

typedef void (*wr_device_changed_fn)(wr_device *device, uint32_t changes);

struct wr_device {
    wr_devices *container;
    qnb_env *env;
    qnb_list_node node;
    void *context;
    wr_device_changed_fn changed_callback;
    wr_device_addresses *addresses;
    bool via_domain;
    uint32_t domain_address[2];
    uint32_t lookup_id;
    int state;
    qnb_error error;
    char error_text[96];
    uint32_t changed[WR_UPDATE_KINDS];
    int processing; // depth of nested processing steps
    uint32_t accumulated;
    bool close_pending; // closed inside one of its own processing steps: freed when it ends
    uint32_t wakeup;    // event-loop mode: handle of the queued deferred wake-up (0 = none)
    uint16_t arcp_version;
    wr_router_version router_version;
    bool safe_mode;
    char open_name[QNB_NAME40_SIZE];
    char reported_name[QNB_NAME40_SIZE];
    char distinct_name[QNB_NAME40_SIZE];
    char second_name[QNB_NAME_SIZE];
    uint16_t capability_word;
    uint32_t capability_flags;
    uint32_t query_steps;
    uint16_t num_txchannels;
    uint16_t num_rxchannels;
    uint16_t tx_flow_limit;
    uint16_t rx_flow_limit;
    uint16_t max_txflow_id;
    uint16_t max_rxflow_id;
    uint16_t num_labels;
    uint16_t num_interfaces;
    uint16_t array_switch;
    uint16_t array_mask;
    wr_txchannel *txchannels;
    wr_rxchannel *rxchannels;
    wr_txlabel *labels;
    uint16_t *table; // max_rxflow_id x num_interfaces entries
    uint32_t *arrays[WR_PER_DEVICE_ARRAYS];
    uint32_t array_words[WR_PER_DEVICE_ARRAYS][2];
    size_t array_length;
    wr_txflow_table *txflows; // when the device has tx channels
    wr_rxflow_table *rxflows; // when it has rx channels
    uint32_t property_masks[2];
    wr_device_properties properties;
};

const char *wr_device_state_name(int state);

qnb_error wr_device_open(wr_devices *devices, const char *name, wr_device **out);
qnb_error wr_device_open_with_config(wr_devices *devices, const wr_device_config *config, wr_device **out);
qnb_error wr_device_close(wr_device *device);
qnb_error wr_device_set_context(wr_device *device, void *context);
void *wr_device_get_context(const wr_device *device);
qnb_error wr_device_set_changed_callback(wr_device *device, wr_device_changed_fn callback);

int wr_device_get_state(const wr_device *device);
qnb_error wr_device_get_error(const wr_device *device);
const char *wr_device_get_name(const wr_device *device);
uint32_t wr_device_get_changed_flag(const wr_device *device, unsigned kind);
qnb_error wr_device_mark_changed(wr_device *device, unsigned kind);
qnb_error wr_device_update(wr_device *device, wr_device_request_fn callback, wr_request **out, unsigned kind);
qnb_error wr_device_query_capabilities(wr_device *device, wr_device_request_fn callback, wr_request **out);
qnb_error wr_device_set_unicast_performance_us(wr_device *device, uint32_t latency_us, uint16_t frames_per_packet,
                                               wr_device_request_fn callback, wr_request **out);
qnb_error wr_device_batch_subscribe(wr_device *device, wr_device_request_fn callback, wr_request **out,
                                    size_t count, const wr_batch_item *items);

uint32_t wr_device_get_latency_ms(const wr_device *device);
uint16_t wr_device_num_txchannels(const wr_device *device);
uint16_t wr_device_num_rxchannels(const wr_device *device);
qnb_error wr_device_get_txchannels(wr_device *device, size_t *count, wr_txchannel **out);
qnb_error wr_device_get_rxchannels(wr_device *device, size_t *count, wr_rxchannel **out);
wr_txchannel *wr_device_txchannel_at(wr_device *device, size_t index);
wr_rxchannel *wr_device_rxchannel_at(wr_device *device, size_t index);
wr_txchannel *wr_device_txchannel_by_id(wr_device *device, uint16_t id);
wr_rxchannel *wr_device_rxchannel_by_id(wr_device *device, uint16_t id);
wr_txchannel *wr_device_active_txchannel_by_id(wr_device *device, uint16_t id);
wr_rxchannel *wr_device_active_rxchannel_at(wr_device *device, size_t index);
uint16_t wr_device_protocol_version(const wr_device *device);

// ---------------------------------------------------------------------------------------------
// Used by the container, the response handlers and the address resolution.

// Entries from the container: a datagram paired with its request, a relayed response.
void wr_device_handle_socket_response(wr_device *device, wr_request *request, const qnb_sockaddr *source,
                                      const uint8_t *data, size_t size);
// `source` is the domain address the relayed reply came from.
void wr_device_handle_domain_response(wr_device *device, wr_request *request, const uint32_t *source,
                                      const uint8_t *data, size_t size);
qnb_error wr_device_process_sockets(wr_device *device, qnb_socket_set *set);
// Event-loop mode: a resolve socket of the device is readable; its deferred wake-up processes the
// ready sockets after the loop's pass.
void wr_device_wake(wr_device *device);
// Frees a closed device (the container's deferred deletion).
void wr_device_delete(wr_device *device);

void wr_device_report(wr_device *device, uint32_t bits);
void wr_device_begin_processing(wr_device *device);
void wr_device_end_processing(wr_device *device);
void wr_device_set_state(wr_device *device, int state, qnb_error error, const char *text);
// The mark rule: sets the change flag of `kind` (and marks its items stale when ACTIVE), reporting
// WR_CHANGE_FLAGS when something changed.
void wr_device_mark_kind(wr_device *device, unsigned kind);
// Clears the change flag, reporting WR_CHANGE_FLAGS when it was set.
void wr_device_clear_changed(wr_device *device, unsigned kind);
// Takes a slot (context: the device), writes a header with the device's protocol version and the
// opcode, and returns its packet.
qnb_error wr_device_begin_request(wr_device *device, wr_device_request_fn callback, uint16_t opcode,
                                  wr_request **request, wgcp_builder **packet);
// Rewrites the slot's packet from the header on for a follow-up.
wgcp_builder *wr_device_restart_packet(wr_device *device, wr_request *request, uint16_t opcode);
// Sends the slot's packet by socket or through the domain server.
qnb_error wr_device_send(wr_device *device, wr_request *request);
// The capabilities steps: PROP_AVAIL, NAMES, then ACTIVE and completion.
void wr_device_continue_query(wr_device *device, wr_request *request);
// Continues a batch after the response to its last message; `result` is the response's mapped
// result: an error ends the batch with it.
void wr_device_continue_batch(wr_device *device, wr_request *request, qnb_error result);
void wr_device_complete(wr_device *device, wr_request *request, qnb_error result);
// A request of the device got no answer in time: it completes with TIMEDOUT; a device still
// being queried cannot become ACTIVE without that answer and goes to ERROR.
void wr_device_handle_timeout(wr_device *device, wr_request *request);
// The slot's request opcode (as it was sent).
uint16_t wr_device_request_opcode(const wr_request *request);

// What the flow handlers need from the device, for one reply to `request`.
wr_flow_host wr_device_flow_host(wr_device *device, wr_request *request);

// Response handlers of the channel module (the request completes or continues inside).
struct wr_msg_response;
void wr_device_handle_tx_labels(wr_device *device, wr_request *request, const wr_msg_response *m, uint16_t result);
void wr_device_handle_tx_label_change(wr_device *device, wr_request *request, const wr_msg_response *m,
                                      uint16_t result);
// Stores a page entry in its channel; true when something changed.
struct wr_msg_tx_entry;
struct wr_msg_rx_entry;
bool wr_txchannel_update(wr_txchannel *channel, const wr_msg_tx_entry *entry);
bool wr_rxchannel_update(wr_rxchannel *channel, const wr_msg_rx_entry *entry);
// Sends the label query (0x2010) from the first stale slot at or after `from` (1-based) on the
// request; false when no slot is stale.
qnb_error wr_device_send_label_query(wr_device *device, wr_request *request, uint16_t from, bool *sent);
