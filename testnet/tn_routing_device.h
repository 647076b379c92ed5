// Simulated routing devices: the peers of the routing client over real UDP sockets. Each device
// has one socket (127.0.0.1 by default, any port, 0 = ephemeral), a model (KTV4-S with 64 transmit
// and 64 receive channels, RQA-310 with 2 and 2, or any counts), and answers the routing requests
// the client sends: capabilities, available properties, names, properties and performance values,
// transmit and receive channel pages, subscribe and clear, receive-channel renames, mute, labels
// and flow lists. Subscriptions are stored (receive channel -> transmit channel and device name)
// and shown by later pages; a test reads them back through this interface.
//
// Devices are driven like the library's clients: put tn_routing_device_get_socket into a read set
// or call tn_routing_device_process between calls of the client. Delays read the library clock, so
// a test's fake clock drives them. On request a device misbehaves (silence, a dropped request,
// delayed, duplicated, renumbered, re-coded, truncated answers, error results per opcode, answers
// from another port). It can also be published through DNS-SD. The choices it makes where the
// protocol leaves the device side open are written down in testnet/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_time.h"

struct tn_routing_device;

enum {
    TN_ROUTING_NAME_SIZE = 33,       // names: at most 32 characters and the terminator
    TN_ROUTING_MAX_CHANNELS = 512,   // per direction
    TN_ROUTING_MAX_LABELS = 256,
    TN_ROUTING_PACKET_SIZE = 1400,   // the longest message either side sends
    TN_ROUTING_DEFAULT_PORT = 4440,
    TN_ROUTING_DEFAULT_ARCP = 0x2729, // 2.7.41
    TN_ROUTING_LOG_LIMIT = 4096       // log entries kept per device (the oldest go first)
};

// Result codes the device answers with.
enum {
    TN_ROUTING_RESULT_OK = 0x0001,
    TN_ROUTING_RESULT_MORE = 0x8112,        // a page with more entries to follow
    TN_ROUTING_RESULT_BAD_DATA = 0x0100,    // a record the device cannot accept
    TN_ROUTING_RESULT_UNSUPPORTED = 0x0031  // an opcode the device does not know
};

enum tn_routing_model {
    TN_ROUTING_MODEL_KTV4S = 0,  // 64 tx / 64 rx
    TN_ROUTING_MODEL_RQA310 = 1, // 2 tx / 2 rx
    TN_ROUTING_MODEL_CUSTOM = 2
};

struct tn_routing_device_config {
    char name[TN_ROUTING_NAME_SIZE]; // the device name (must pass the device-name rule)
    char distinct_name[TN_ROUTING_NAME_SIZE]; // third name of the extended NAMES answer; empty: the name
    char model_name[16];             // "KTV4-S", "RQA-310"
    uint16_t tx_count;
    uint16_t rx_count;
    uint32_t address;                // IPv4 in network order; 0 = 127.0.0.1
    uint16_t port;                   // 0 = ephemeral
    uint16_t arcp_version;           // packed major<<12 | minor<<8 | patch
    uint8_t router_major, router_minor;
    uint16_t router_patch;
    uint16_t page_size;              // channel entries per page (at most; fewer when they do not fit)
    uint16_t label_slots;            // tx label slots; 0 = no labels
    uint16_t capability_word;        // bit 8: the device wants the extended NAMES query
    uint32_t capability_flags;       // the u32 flag word of the capabilities answer
    uint16_t interface_count;
    uint16_t tx_flow_slots, rx_flow_slots; // channels per flow
    uint16_t tx_flow_max, rx_flow_max;     // highest flow ids
    bool safe_mode;                  // DNS-SD: the TXT record carries the "safe" key
};

// Defaults for a model; `unit` (0-0xFFF) makes the name "T001-KTV4S-0001-QZ".
void tn_routing_device_config_init(tn_routing_device_config *cfg, tn_routing_model model, unsigned unit);

tn_routing_device *tn_routing_device_new(const tn_routing_device_config *cfg, qnb_error *error);
void tn_routing_device_delete(tn_routing_device *dev);

const char *tn_routing_device_get_name(const tn_routing_device *dev);
uint16_t tn_routing_device_get_port(const tn_routing_device *dev);
qnb_socket tn_routing_device_get_socket(const tn_routing_device *dev);
// The socket answers go out from with TN_ROUTING_FAULT_OTHER_PORT.
uint16_t tn_routing_device_get_other_port(const tn_routing_device *dev);
const tn_routing_device_config *tn_routing_device_get_config(const tn_routing_device *dev);

// Reads and answers every waiting request, then sends answers whose delay has passed.
qnb_error tn_routing_device_process(tn_routing_device *dev);
// Waits at most `timeout_ms` for a request, then processes.
qnb_error tn_routing_device_poll(tn_routing_device *dev, int timeout_ms);
// The earliest due time of a delayed answer; false when none is held.
bool tn_routing_device_next_due(const tn_routing_device *dev, qnb_timeval *out);

// ---------------------------------------------------------------------------------------------
// Subscriptions: receive channel (1-based id) -> transmit channel name and transmit device name.

struct tn_routing_subscription {
    uint16_t rx_id;
    char tx_channel[TN_ROUTING_NAME_SIZE];
    char tx_device[TN_ROUTING_NAME_SIZE];
    uint8_t status; // 0 none, 1 unresolved, 2 resolved (decided when read)
};

// False for an id outside 1..rx count. An empty subscription has empty names and status 0.
bool tn_routing_device_get_subscription(const tn_routing_device *dev, uint16_t rx_id, tn_routing_subscription *out);
// Number of receive channels that are subscribed.
unsigned tn_routing_device_subscription_count(const tn_routing_device *dev);
// Sets (both names given) or clears (null or empty names) a subscription as a request would.
qnb_error tn_routing_device_set_subscription(tn_routing_device *dev, uint16_t rx_id, const char *tx_channel,
                                             const char *tx_device);
// One line per subscribed receive channel: "<device> <rx id> <rx name> <tx channel>@<tx device> <status>".
void tn_routing_device_dump_subscriptions(const tn_routing_device *dev, FILE *out);

// Decides the subscription status (2 resolved when true, else 1). Without a resolver a subscription
// to this device's own transmit channels (by its name or ".") is resolved, any other unresolved.
typedef bool (*tn_routing_resolver_fn)(void *context, const tn_routing_device *dev, const char *tx_channel,
                                       const char *tx_device);
void tn_routing_device_set_resolver(tn_routing_device *dev, tn_routing_resolver_fn fn, void *context);
// True when the device has a transmit channel of that name or label (case ignored).
bool tn_routing_device_has_txchannel(const tn_routing_device *dev, const char *name);

// Channel names and state as the pages report them.
const char *tn_routing_device_rx_name(const tn_routing_device *dev, uint16_t rx_id);
const char *tn_routing_device_tx_name(const tn_routing_device *dev, uint16_t tx_id);
bool tn_routing_device_rx_muted(const tn_routing_device *dev, uint16_t rx_id);
bool tn_routing_device_tx_muted(const tn_routing_device *dev, uint16_t tx_id);
// The label in slot `id` (1-based) and its tx channel id (0 = free slot); null for a free slot.
const char *tn_routing_device_label(const tn_routing_device *dev, uint16_t id, uint16_t *tx_id);
// Latency (nanoseconds, property 0x8205) as last set or configured.
uint32_t tn_routing_device_latency_ns(const tn_routing_device *dev);

// Properties: the value a properties query reports and the flags PROP_AVAIL reports (bit 0: mask 0,
// bit 1: mask 1; a property with bit 1 can be set by the unicast-performance request). Only the
// known property ids (0x8021, the model text, excluded); INVALIDPARAMETER otherwise.
qnb_error tn_routing_device_set_property(tn_routing_device *dev, uint16_t id, uint32_t value, uint16_t flags);
bool tn_routing_device_get_property(const tn_routing_device *dev, uint16_t id, uint32_t *value);
// The two performance values of the 0x3300 answer.
void tn_routing_device_set_performance(tn_routing_device *dev, uint16_t first, uint16_t second);

// ---------------------------------------------------------------------------------------------
// The request log: every datagram that arrived, answered or not (the last TN_ROUTING_LOG_LIMIT;
// the counts per opcode cover all).

struct tn_routing_log_entry {
    qnb_timeval at;    // library clock at arrival
    uint16_t version, length, seqnum, opcode;
    uint16_t result;   // the result answered; 0 when not answered
    bool answered;
    size_t size;       // bytes received (at most TN_ROUTING_PACKET_SIZE + 100 kept)
    uint8_t bytes[TN_ROUTING_PACKET_SIZE + 100];
};

size_t tn_routing_device_log_count(const tn_routing_device *dev);
// Entry `index` (0 = first); false beyond the log.
bool tn_routing_device_log_at(const tn_routing_device *dev, size_t index, tn_routing_log_entry *out);
// Requests of `opcode` received (answered or not).
unsigned tn_routing_device_request_count(const tn_routing_device *dev, uint16_t opcode);
void tn_routing_device_clear_log(tn_routing_device *dev);
// Writes one line per request to `out` as it arrives (null: off).
void tn_routing_device_set_trace(tn_routing_device *dev, FILE *out);

// ---------------------------------------------------------------------------------------------
// Misbehaviour on request.

enum tn_routing_fault {
    TN_ROUTING_FAULT_NONE = 0,
    TN_ROUTING_FAULT_DUPLICATE = 0x01,    // every answer is sent twice
    TN_ROUTING_FAULT_WRONG_SEQNUM = 0x02, // answers carry the request's sequence number + 0x100
    TN_ROUTING_FAULT_WRONG_OPCODE = 0x04, // answers carry another opcode (the request's XOR 0x0800)
    TN_ROUTING_FAULT_TRUNCATE = 0x08,     // answers lose their last bytes (see set_truncate)
    TN_ROUTING_FAULT_OTHER_PORT = 0x10    // answers go out from a second socket (another port)
};

// Silent: every datagram is read, logged and dropped.
void tn_routing_device_set_silent(tn_routing_device *dev, bool silent);
// The n-th request from now on (1 = the next one) is logged and not answered; 0 cancels.
void tn_routing_device_drop_nth(tn_routing_device *dev, unsigned n);
// The answer to the n-th request from now on (1 = the next one) is held for `ms` milliseconds of
// the library clock while later answers go out as usual, so answers arrive out of order; 0 cancels.
void tn_routing_device_delay_nth(tn_routing_device *dev, unsigned n, uint32_t ms);
// A lossy network in front of the device: each request that arrives and each answer that leaves is
// lost, duplicated or held back behind the next one with these chances in percent (tn_impair), the
// two directions drawn from generators seeded from `seed`. All 0: off.
void tn_routing_device_set_impairment(tn_routing_device *dev, unsigned loss_pct, unsigned duplicate_pct,
                                      unsigned reorder_pct, uint64_t seed);
// Every answer that leaves is held a time drawn between `min_ms` and `max_ms` of the library clock by
// the impairment's generator for answers (seeded by the impairment above, so set that first), so
// answers overtake each other; 0 and 0: off.
void tn_routing_device_set_delay_range(tn_routing_device *dev, unsigned min_ms, unsigned max_ms);
// Datagrams the impairment has lost, duplicated, reordered or delayed so far, both directions together.
unsigned long tn_routing_device_impaired(const tn_routing_device *dev);
// Datagrams that reached the device's socket so far, before the lossy network and whatever the
// request log empties: what the client sent it.
unsigned long tn_routing_device_received(const tn_routing_device *dev);
// Answers the device has sent so far, after the lossy network: what its client may receive.
unsigned long tn_routing_device_sent(const tn_routing_device *dev);
// Once the device has answered `n` more requests of `opcode` (0: of any opcode) it goes silent, as
// a device that is switched off without a goodbye; 0 cancels.
void tn_routing_device_vanish_after(tn_routing_device *dev, uint16_t opcode, unsigned n);
bool tn_routing_device_get_silent(const tn_routing_device *dev);
// Every answer is held for `ms` milliseconds of the library clock (0: sent at once).
void tn_routing_device_set_delay_ms(tn_routing_device *dev, uint32_t ms);
// Faults (an OR of tn_routing_fault) applied to answers to `opcode` (0: to every answer).
void tn_routing_device_set_faults(tn_routing_device *dev, unsigned faults, uint16_t opcode);
// With TN_ROUTING_FAULT_TRUNCATE: `cut` bytes are removed from the end (at least 1); when
// `fix_length` is set the header's length field is rewritten to the shorter size.
void tn_routing_device_set_truncate(tn_routing_device *dev, size_t cut, bool fix_length);
// Requests of `opcode` are answered with `result` and no body (0 restores the normal answer).
void tn_routing_device_set_result(tn_routing_device *dev, uint16_t opcode, uint16_t result);
// Requests of `opcode` are answered with `result` and these body bytes after the header (flow
// records in the client's layout, hostile pages, ...); a null body with result 0 restores the
// normal answer. A result set with tn_routing_device_set_result comes first.
qnb_error tn_routing_device_set_body(tn_routing_device *dev, uint16_t opcode, uint16_t result, const void *body,
                                     size_t size);

// ---------------------------------------------------------------------------------------------
// DNS-SD publication of the routing service "_netaudio-arc._udp" with the device's TXT keys.

enum tn_routing_publish_mode {
    TN_ROUTING_PUBLISH_AUTO = 0,    // the DNS-SD client library when it can be loaded, else avahi-publish
    TN_ROUTING_PUBLISH_LIBRARY = 1, // DNSServiceRegister of the DNS-SD client library
    TN_ROUTING_PUBLISH_COMMAND = 2  // an avahi-publish child process
};

// The TXT entries ("arcp_vers=2.7.41", ...) into `out` as DNS-SD TXT bytes; returns the size, 0
// when they do not fit.
size_t tn_routing_device_txt(const tn_routing_device *dev, uint8_t *out, size_t capacity);
qnb_error tn_routing_device_publish(tn_routing_device *dev, tn_routing_publish_mode mode);
void tn_routing_device_unpublish(tn_routing_device *dev);
// True once the registration was confirmed (library) or the command started (avahi-publish).
bool tn_routing_device_published(const tn_routing_device *dev);

// ---------------------------------------------------------------------------------------------
// A set of devices that know each other: a subscription to a transmit channel of any device of
// the set is reported as resolved.

struct tn_routing_set;

tn_routing_set *tn_routing_set_new();
void tn_routing_set_delete(tn_routing_set *set); // deletes its devices
// Adds a device made from `cfg`; the set owns it. Null on failure (`error` receives the reason).
tn_routing_device *tn_routing_set_add(tn_routing_set *set, const tn_routing_device_config *cfg, qnb_error *error);
size_t tn_routing_set_count(const tn_routing_set *set);
tn_routing_device *tn_routing_set_at(const tn_routing_set *set, size_t index);
tn_routing_device *tn_routing_set_find(const tn_routing_set *set, const char *name);
qnb_error tn_routing_set_process(tn_routing_set *set);
// Waits at most `timeout_ms` for a request on any device, then processes them all.
qnb_error tn_routing_set_poll(tn_routing_set *set, int timeout_ms);
