// Flows of a routing device: the network streams it sends (tx flows) and receives (rx flows).
// Every ACTIVE device keeps one tx flow table and one rx flow table, read with the paged queries
// 0x2200 and 0x3200 and, for rx flow subscriptions, the 0x3240/0x3241 replies. The rx table also
// marks which rx channels are fed by a flow: while the rx flows are read, every rx channel fed by
// a kind-2 flow carries a flow mark until a record names it again; what is still marked at the
// end is no longer fed.
//
// The handlers below take a flow table and a received message and do all of a reply's work
// through `wr_flow_host`, the few things they need from their device (its limits, and callbacks
// for state, change bits, change flags, follow-ups on the same request slot and completion), so
// that a device's response triage calls each of them with one line.
//
// The records' byte layout is this client's own; it is written out beside the decoder in
// wr_flow.cpp and in testnet/README.md ("Flow records"). The encoder builds the same records for
// the simulated devices, the tests and the tx flow batch (0x2201).
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/messaging/wgcp_message.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/routing/wr_message.h"

struct wr_request;

enum {
    WR_FLOW_NAME_SIZE = 32,       // names of up to 31 characters
    WR_FLOW_TX_FIRST_CAPACITY = 8, // tx table: 8 entries at the first flow, then doubling
    WR_FLOW_RX_FIRST_BLOCK = 4,   // rx table: a first block of 4 entries, then doubling
    WR_FLOW_RX_MAX_BLOCKS = 16,
    WR_FLOW_MEDIA_VALUES = 6,     // at most 1 + 2 + 2 + 1 values
    WR_FLOW_FAMILY_IPV4 = 2,
    WR_FLOW_NOT_FOUND = 0xFFFF
};

// Record sizes and versions (see "Flow records" in wr_flow.cpp).
enum {
    WR_FLOW_TX_RECORD_SIZE = 20,
    WR_FLOW_RX_RECORD_SIZE = 20,
    WR_FLOW_TEMPLATE_RECORD_SIZE = 24,
    WR_FLOW_ADDRESS_SIZE = 8,      // {u8 family, u8 in use, u16 port, u32 IPv4 address}
    WR_FLOW_FEED_SIZE = 4,         // {u16 slot (0-based), u16 rx channel id}
    WR_FLOW_SUBSCRIPTION_SIZE = 8, // {u16 rx channel id, u16 tx channel, u16 tx device, u16 status}
    WR_FLOW_EXT_WORDS = 10,        // words of the extension block that are read
    WR_FLOW_TX_EXT_AFTER = 0x2600, // tx records carry an extension block above this version
    WR_FLOW_RX_EXT_AFTER = 0x25FF, // rx records above this one
    WR_FLOW_NAMES_FROM = 0x2600    // below this arcp version a tx flow is named by its id ("%d")
};

// Transport kinds of a stored flow, and the flags of a media block.
enum { WR_FLOW_TRANSPORT_NONE = 0, WR_FLOW_TRANSPORT_1 = 1, WR_FLOW_TRANSPORT_MEDIA = 2 };
enum { WR_FLOW_KIND_FIELD_MEDIA = 3 }; // the extension's kind field that carries a media block
enum { WR_FLOW_MEDIA_A = 1, WR_FLOW_MEDIA_B = 2, WR_FLOW_MEDIA_C = 4, WR_FLOW_MEDIA_D = 8 };

// ---------------------------------------------------------------------------------------------
// Bitset

struct wr_flow_bitset {
    uint16_t set;      // bits set
    uint16_t capacity; // bits
    uint16_t size;     // bytes
    uint8_t *bits;
};
qnb_error wr_flow_bitset_init(wr_flow_bitset *b, uint16_t capacity);
void wr_flow_bitset_free(wr_flow_bitset *b);
// True when the bit was newly set; a bit already set or beyond the capacity changes nothing.
bool wr_flow_bitset_set(wr_flow_bitset *b, uint16_t bit);
bool wr_flow_bitset_test(const wr_flow_bitset *b, uint16_t bit);
void wr_flow_bitset_clear(wr_flow_bitset *b);
// The index of the n-th (0-based) set bit, -1 when fewer are set.
int wr_flow_bitset_nth(const wr_flow_bitset *b, uint16_t n);
bool wr_flow_bitset_equal(const wr_flow_bitset *a, const wr_flow_bitset *b);

// ---------------------------------------------------------------------------------------------
// Entries and tables

struct wr_flow_media {
    uint16_t flags;
    uint16_t count; // values stored, in flag order A, B (2), C (2), D
    uint32_t values[WR_FLOW_MEDIA_VALUES];
};

// The extension values, names aside.
struct wr_flow_extension {
    uint16_t value16;
    uint32_t value32;
    uint8_t transport; // WR_FLOW_TRANSPORT_*
    wr_flow_media media;
};

struct wr_flow_address {
    uint32_t address; // IPv4 as on the wire (network order)
    uint16_t port;
    uint8_t in_use;   // rx flows
};

struct wr_txflow {
    uint16_t id;
    uint16_t flags;
    uint32_t format32;
    uint16_t format16;
    char name[WR_FLOW_NAME_SIZE];
    char name2[WR_FLOW_NAME_SIZE];
    char name3[WR_FLOW_NAME_SIZE];
    wr_flow_extension ext;
    uint16_t num_slots;
    uint16_t *slots;              // slot limit entries: the tx channel id each slot carries, 0 none
    wr_flow_address *addresses;   // interface count entries
};

struct wr_rxflow {
    uint16_t id;
    uint16_t flags;
    char name[WR_FLOW_NAME_SIZE];
    char name2[WR_FLOW_NAME_SIZE];
    char name3[WR_FLOW_NAME_SIZE];
    uint16_t counters[2];
    wr_flow_extension ext;
    uint16_t num_slots;
    wr_flow_bitset *slots;        // slot limit bitsets, one bit per rx channel the slot feeds
    wr_flow_address *addresses;
};

struct wr_txflow_table {
    uint16_t channels;   // tx channel count (slots beyond it carry none)
    uint16_t interfaces;
    uint16_t slot_limit;
    uint16_t count;
    uint16_t capacity;
    wr_txflow *entries;  // one array: 8 at the first flow, then doubling
    uint16_t query_from; // first flow id of the page asked for
};

struct wr_rxflow_table {
    uint16_t channels;   // rx channel count: bitset capacity
    uint16_t interfaces;
    uint16_t slot_limit;
    uint16_t count;
    uint16_t capacity;
    wr_rxflow **entries; // capacity pointers into the blocks
    wr_rxflow *blocks[WR_FLOW_RX_MAX_BLOCKS];
    uint16_t block_count;
    // Per rx channel (id - 1): flow mark and the number of the kind-2 flow that feeds it (0 none).
    uint8_t *marks;
    uint16_t *flow_numbers;
    uint16_t query_from;
    uint16_t template_from;
};

qnb_error wr_flow_tx_table_new(uint16_t channels, uint16_t interfaces, uint16_t slot_limit, wr_txflow_table **out);
void wr_flow_tx_table_delete(wr_txflow_table *t);
// Forgets every flow (count 0), keeping the storage.
void wr_flow_tx_table_reset(wr_txflow_table *t);
wr_txflow *wr_flow_tx_find(wr_txflow_table *t, uint16_t id);

qnb_error wr_flow_rx_table_new(uint16_t channels, uint16_t interfaces, uint16_t slot_limit, wr_rxflow_table **out);
void wr_flow_rx_table_delete(wr_rxflow_table *t);
void wr_flow_rx_table_reset(wr_rxflow_table *t);
wr_rxflow *wr_flow_rx_find(wr_rxflow_table *t, uint16_t id);
// The number of the kind-2 flow feeding rx channel `rx_id` (1-based), 0 none; its flow mark.
uint16_t wr_flow_rx_channel_flow(const wr_rxflow_table *t, uint16_t rx_id);
bool wr_flow_rx_channel_marked(const wr_rxflow_table *t, uint16_t rx_id);

// Starting a flow read (update kinds 3 and 4, and the re-reads after 0x2201/0x3201): the table
// is reset and the page start set to flow 1; the rx table first gives a flow mark to every rx
// channel fed by a kind-2 flow.
void wr_flow_tx_begin_read(wr_txflow_table *t);
void wr_flow_rx_begin_read(wr_rxflow_table *t);
// The end of an rx read: marks still set are cleared (and their channel's flow number with
// them). True when any was set.
bool wr_flow_rx_clear_marks(wr_rxflow_table *t);

// ---------------------------------------------------------------------------------------------
// What the handlers need from their device

struct wr_flow_host_ops {
    // Puts the device into ERROR with `error` and `text`.
    void (*set_error)(void *device, qnb_error error, const char *text);
    // Reports change bits (collected while the device handles the reply).
    void (*report)(void *device, uint32_t bits);
    // The mark rule of change flag `kind` (reports 0x100 when something changed), and its clear.
    void (*mark_changed)(void *device, unsigned kind);
    void (*clear_changed)(void *device, unsigned kind);
    // The request slot's packet, and its sending (a follow-up on the same slot).
    wgcp_builder *(*packet)(void *device, wr_request *request);
    qnb_error (*send)(void *device, wr_request *request);
    void (*complete)(void *device, wr_request *request, qnb_error result);
    void (*set_result_override)(void *device, wr_request *request, qnb_error error);
    // Continues the tx flow batch (request code 7) after its reply; an error `result` ends it.
    void (*continue_batch)(void *device, wr_request *request, qnb_error result);
    // Updates rx channel `rx_id`'s subscription from an rx flow subscription entry, reporting its
    // change bits; false when the device has no such rx channel.
    bool (*rx_subscription)(void *device, uint16_t rx_id, const char *tx_channel, const char *tx_device,
                            uint8_t status);
};

struct wr_flow_host {
    const wr_flow_host_ops *ops;
    void *device;
    wr_request *request;
    uint32_t request_code;
    uint16_t arcp_version;     // the device's
    uint16_t protocol_version; // the version its requests carry
    uint16_t max_txflow_id;
    uint16_t max_rxflow_id;
};

// Change bits and kinds the handlers use (the device's numbering).
enum {
    WR_FLOW_CHANGE_RXCHANNELS = 0x002,
    WR_FLOW_CHANGE_TXFLOWS = 0x008,
    WR_FLOW_CHANGE_RXFLOWS = 0x010,
    WR_FLOW_KIND_RXCHANNELS = 1,
    WR_FLOW_KIND_TXFLOWS = 3,
    WR_FLOW_KIND_RXFLOWS = 4,
    WR_FLOW_CODE_EMPTY_CHECK = 1, // 0x2201: an empty reply to a request of this code is INVALIDDATA
    WR_FLOW_CODE_BATCH = 7        // 0x2201: the tx flow batch
};

// ---------------------------------------------------------------------------------------------
// Records as decoded (lists and names still in the message, read bounded by the Add functions)

struct wr_flow_ext_record {
    bool present;
    uint16_t words;   // the block's word count
    uint16_t name2_at;
    uint16_t name3_at;
    uint16_t value16;
    uint16_t name_at;
    uint32_t value32;
    uint16_t kind;    // the raw kind field
    uint16_t media_at;
};

struct wr_flow_record {
    uint16_t id;
    uint16_t flags;
    uint32_t format32;  // tx
    uint16_t format16;  // tx
    uint16_t counters[2]; // rx
    uint16_t num_slots;
    uint16_t slots_at;  // tx: num_slots u16 tx channel ids
    uint16_t num_feeds; // rx: {slot, rx channel id} pairs
    uint16_t feeds_at;
    uint16_t num_interfaces;
    uint16_t addresses_at;
    uint16_t num_subscriptions; // templates
    uint16_t subscriptions_at;
    uint16_t lower;     // lower bound of every offset: the end of the record list
    wr_flow_ext_record ext;
};

// Reads record i of a tx (0x2200, 0x2201), rx (0x3200) or template (0x3240, 0x3241) list; the
// extension block is decoded when the message's version is above the direction's gate.
// QNB_ERR_INVALIDDATA for a record beyond the list or an extension block that does not resolve.
qnb_error wr_flow_read_tx_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_flow_record *out);
qnb_error wr_flow_read_rx_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, bool templ,
                                 wr_flow_record *out);

// One subscription entry of a template record.
struct wr_flow_subscription {
    uint16_t rx_id;
    char tx_channel[WR_NAME_SIZE];
    char tx_device[WR_NAME_SIZE];
    uint8_t status;
};
qnb_error wr_flow_read_subscription(const wr_msg_response *m, const wr_flow_record *r, uint16_t i,
                                    wr_flow_subscription *out);

// Adds or updates one flow. Limit violations (more slots than the table's slot limit, more
// interfaces than the device has) and allocation failures put the device into ERROR (0x140,
// NOMEMORY for tx allocations) and return that error; a record whose lists or names do not
// resolve returns QNB_ERR_INVALIDDATA. `rx_changed` (may be null) is set when an rx channel's
// flow number changed; `changes` (may be null) counts the fields that changed.
qnb_error AddTxFlow(wr_txflow_table *t, const wr_flow_host *h, const wr_flow_record *record, const wr_msg_response *m);
qnb_error AddRxFlow(wr_rxflow_table *t, const wr_flow_host *h, const wr_flow_record *record, const wr_msg_response *m,
                    bool *rx_changed, unsigned *changes);
qnb_error AddRxTemplate(wr_rxflow_table *t, const wr_flow_host *h, const wr_flow_record *record,
                        const wr_msg_response *m, wr_rxflow **out, bool *rx_changed);

// ---------------------------------------------------------------------------------------------
// Reply handlers. Each ends by completing the request or by sending a follow-up on its slot.

void TxFlowQuery(wr_txflow_table *t, const wr_flow_host *h, const wr_msg_response *m);                 // 0x2200
void RxFlowQuery(wr_rxflow_table *t, const wr_flow_host *h, const wr_msg_response *m);                 // 0x3200
void wr_flow_handle_rx_templates(wr_rxflow_table *t, const wr_flow_host *h, const wr_msg_response *m);  // 0x3240/1
void wr_flow_handle_rx_change(wr_rxflow_table *t, const wr_flow_host *h, const wr_msg_response *m);     // 0x3201
void wr_flow_handle_tx_batch(wr_txflow_table *t, const wr_flow_host *h, const wr_msg_response *m);      // 0x2201

// ---------------------------------------------------------------------------------------------
// Encoder (simulated devices, tests, the tx flow batch)

struct wr_flow_wire_address {
    uint8_t family; // 2 = IPv4; anything else is stored as no address
    uint8_t in_use;
    uint16_t port;
    uint32_t address; // network order
};
struct wr_flow_feed {
    uint16_t slot; // 0-based
    uint16_t rx_id;
};
struct wr_flow_wire_subscription {
    uint16_t rx_id;
    const char *tx_channel;
    const char *tx_device;
    uint16_t status;
};

// One flow as written. The extension block is written when `ext_words` is non-zero (the word
// count written, at most WR_FLOW_EXT_WORDS; 10 writes every field).
struct wr_flow_desc {
    uint16_t id;
    uint16_t flags;
    uint32_t format32;
    uint16_t format16;
    uint16_t counters[2];
    uint16_t num_slots;
    const uint16_t *slots; // tx: num_slots tx channel ids
    uint16_t num_feeds;
    const wr_flow_feed *feeds;
    uint16_t num_interfaces;
    const wr_flow_wire_address *addresses;
    uint16_t num_subscriptions;
    const wr_flow_wire_subscription *subscriptions;
    uint16_t ext_words;
    const char *name;
    const char *name2;
    const char *name3;
    uint16_t value16;
    uint32_t value32;
    uint16_t kind; // the raw kind field: below 2 kind 1, 3 with a media block, else none
    wr_flow_media media;
};

enum { WR_FLOW_RECORDS_TX = 0, WR_FLOW_RECORDS_RX = 1, WR_FLOW_RECORDS_TEMPLATE = 2 };

// Writes a message of up to `n` records of the given form (header version, opcode, result), as
// many as fit the builder's limit (`written`; at least one, else QNB_ERR_MSGSIZE). n = 0 writes
// the 12-byte empty list. At most 255 records.
qnb_error wr_flow_encode(wgcp_builder *b, uint16_t version, uint16_t opcode, uint16_t result, int form,
                         const wr_flow_desc *flows, uint16_t n, uint16_t *written);

// ---------------------------------------------------------------------------------------------
// Batch packers (rows 0, 2 and 3 of the device's batch table): each writes up to `n` items into
// the slot's packet from the header on and returns how many went in (`packed`, at least one,
// else QNB_ERR_MSGSIZE). The device advances its batch by `packed` and marks what it touched.

struct wr_flow_rxname_item {
    uint16_t rx_channel;          // 1-based
    char name[WR_NAME_SIZE];      // empty: the default name
};
struct wr_flow_label_item {
    uint16_t label_id;            // 0 = new label
    uint16_t channel_id;          // 0 = remove
    char name[WR_NAME_SIZE];
};

qnb_error wr_flow_batch_pack_tx_flows(wgcp_builder *b, uint16_t version, const wr_flow_desc *items, uint16_t n,
                                      uint16_t *packed); // 0x2201
qnb_error wr_flow_batch_pack_rx_names(wgcp_builder *b, uint16_t version, const wr_flow_rxname_item *items, uint16_t n,
                                      uint16_t *packed); // 0x3001
qnb_error wr_flow_batch_pack_labels(wgcp_builder *b, uint16_t version, const wr_flow_label_item *items, uint16_t n,
                                    uint16_t *packed);   // 0x2011
