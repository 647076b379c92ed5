#include "netaudio/routing/wr_flow.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netaudio/messaging/wgcp_buffer.h"

// Flow records
// ============
//
// Flow records travel in ordinary entry lists (byte 10 the capacity, byte 11 the count, records
// from byte 12 at a fixed stride); every offset counts from the start of the message and lies
// behind the record list. All fields are big-endian.
//
// Tx flow record, 20 bytes (0x2200 replies, 0x2201 requests):
//    0  u16  flow id (1 .. highest tx flow id)
//    2  u16  flags
//    4  u32  format value
//    8  u16  format value
//   10  u16  slot count (at most the tx flow slot limit)
//   12  u16  offset of the slot list (2-aligned): slot count u16 tx channel ids, 0 = none
//   14  u16  interface count (at most the device's)
//   16  u16  offset of the address list (4-aligned): interface count address blocks
//   18  u16  offset of the extension block (2-aligned), 0 = none
//
// Rx flow record, 20 bytes (0x3200 replies):
//    0  u16  flow id (1 .. highest rx flow id)
//    2  u16  flags
//    4  u16  slot count (at most the rx flow slot limit)
//    6  u16  feed count
//    8  u16  offset of the feed list (2-aligned): feeds {u16 slot (0-based, below the slot
//            count), u16 rx channel id}; one feed per rx channel a slot feeds
//   10  u16  interface count
//   12  u16  offset of the address list (4-aligned)
//   14  u16  offset of the extension block (2-aligned), 0 = none
//   16  u16  counter 0
//   18  u16  counter 1
//
// Rx flow subscription record, 24 bytes (0x3240, 0x3241 replies): the rx flow record, then
//   20  u16  subscription count
//   22  u16  offset of the subscription list (2-aligned): entries of 8 bytes {u16 rx channel
//            id, u16 offset of the tx channel name, u16 offset of the tx device name, u16 status
//            (its low byte is kept)}
//
// Address block, 8 bytes: u8 family (2 = IPv4, anything else: no address), u8 "in use" (rx),
// u16 port, u32 IPv4 address.
//
// Extension block (read only from tx records of a message version above 0x2600 and rx records
// above 0x25FF): u16 words w[0..N-1], w[0] = N, the block's size in words (all 2N bytes inside
// the message). A field is present when N reaches it:
//   w[1] reserved, w[2] offset of the second name (N >= 3), w[3] offset of the third name
//   (N >= 4), w[4] a u16 value (N >= 5), w[5] offset of the flow name (N >= 6), w[6..7] a u32
//   value (N >= 8), w[8] the transport kind field (N >= 9), w[9] offset of the media block
//   (N >= 10, read when the kind field is 3). Words beyond w[9] are ignored.
// A kind field below 2 stores transport kind 1, 3 stores kind 2 with the media block, anything
// else kind 0.
//
// Media block (4-aligned): u16 size in bytes (the head included), u16 flags, then u32 values in
// flag order: bit 0 one value, bit 1 two, bit 2 two, bit 3 one. The size must cover them.
//
// Names are NUL-terminated texts of up to 31 characters; a longer one refuses the record.
// An empty list (no records, an empty page) is the 12-byte message with capacity and count 0.

namespace {

enum { TX_EXT_AT = 18, RX_EXT_AT = 14, EXT_BYTES_MAX = 2 * WR_FLOW_EXT_WORDS, CHANNEL_BITS_MAX = 65535 };

// A field of `n` bytes at `offset` behind the record list, or null.
const uint8_t *field(const wr_msg_response *m, uint16_t offset, uint16_t lower, unsigned align_exp, uint32_t n,
                     wgcp_reader *out)
{
    uint32_t available = 0;
    const uint8_t *p = wgcp_offset_resolve_sized(m->data, m->size, offset, lower, 0, align_exp, n, &available);
    if (!p || available < n)
        return nullptr;
    wgcp_reader_init(out, p, n);
    return p;
}

uint16_t get16(const wgcp_reader *r, size_t at)
{
    uint16_t v = 0;
    wgcp_reader_u16_at(r, at, &v);
    return v;
}

uint32_t get32(const wgcp_reader *r, size_t at)
{
    uint32_t v = 0;
    wgcp_reader_u32_at(r, at, &v);
    return v;
}

// A name of up to 31 characters; offset 0 gives the empty name.
qnb_error read_flow_name(const wr_msg_response *m, uint16_t offset, uint16_t lower, char out[WR_FLOW_NAME_SIZE])
{
    char name[WR_NAME_SIZE];
    out[0] = '\0';
    qnb_error e = wr_msg_read_name(m, offset, lower, name);
    if (e)
        return QNB_ERR_INVALIDDATA;
    if (strlen(name) > WR_FLOW_NAME_SIZE - 1)
        return QNB_ERR_INVALIDDATA;
    memcpy(out, name, strlen(name) + 1);
    return QNB_ERR_SUCCESS;
}

unsigned media_value_count(uint16_t flags)
{
    return (flags & WR_FLOW_MEDIA_A ? 1u : 0u) + (flags & WR_FLOW_MEDIA_B ? 2u : 0u) +
           (flags & WR_FLOW_MEDIA_C ? 2u : 0u) + (flags & WR_FLOW_MEDIA_D ? 1u : 0u);
}

qnb_error read_media(const wr_msg_response *m, uint16_t offset, uint16_t lower, wr_flow_media *out)
{
    memset(out, 0, sizeof *out);
    wgcp_reader head;
    if (!field(m, offset, lower, 2, 4, &head))
        return QNB_ERR_INVALIDDATA;
    uint16_t size = get16(&head, 0);
    uint16_t flags = get16(&head, 2);
    unsigned n = media_value_count(flags);
    if (size < 4 + 4 * n)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    if (!field(m, offset, lower, 2, size, &r))
        return QNB_ERR_INVALIDDATA;
    out->flags = flags;
    out->count = static_cast<uint16_t>(n);
    for (unsigned i = 0; i < n; i++)
        out->values[i] = get32(&r, 4 + 4 * i);
    return QNB_ERR_SUCCESS;
}

// The extension values and names of a record (names only when `names` is set).
struct parsed_ext {
    wr_flow_extension ext;
    char name[WR_FLOW_NAME_SIZE];
    char name2[WR_FLOW_NAME_SIZE];
    char name3[WR_FLOW_NAME_SIZE];
};

qnb_error parse_ext(const wr_msg_response *m, const wr_flow_record *r, parsed_ext *out)
{
    memset(out, 0, sizeof *out);
    const wr_flow_ext_record &x = r->ext;
    qnb_error e = read_flow_name(m, x.name_at, r->lower, out->name);
    if (!e)
        e = read_flow_name(m, x.name2_at, r->lower, out->name2);
    if (!e)
        e = read_flow_name(m, x.name3_at, r->lower, out->name3);
    if (e)
        return e;
    out->ext.value16 = x.value16;
    out->ext.value32 = x.value32;
    if (x.kind < 2) {
        out->ext.transport = WR_FLOW_TRANSPORT_1;
    } else if (x.kind == WR_FLOW_KIND_FIELD_MEDIA) {
        out->ext.transport = WR_FLOW_TRANSPORT_MEDIA;
        if (x.media_at)
            e = read_media(m, x.media_at, r->lower, &out->ext.media);
    } else {
        out->ext.transport = WR_FLOW_TRANSPORT_NONE;
    }
    return e;
}

qnb_error read_addresses(const wr_msg_response *m, const wr_flow_record *r, wr_flow_address *out, uint16_t room)
{
    if (r->num_interfaces == 0)
        return QNB_ERR_SUCCESS;
    wgcp_reader list;
    if (r->num_interfaces > room ||
        !field(m, r->addresses_at, r->lower, 2, uint32_t(r->num_interfaces) * WR_FLOW_ADDRESS_SIZE, &list))
        return QNB_ERR_INVALIDDATA;
    for (uint16_t i = 0; i < r->num_interfaces; i++) {
        size_t at = size_t(i) * WR_FLOW_ADDRESS_SIZE;
        uint8_t family = 0, in_use = 0;
        wgcp_reader_u8_at(&list, at, &family);
        wgcp_reader_u8_at(&list, at + 1, &in_use);
        wr_flow_address a = {};
        a.in_use = in_use;
        if (family == WR_FLOW_FAMILY_IPV4) {
            a.port = get16(&list, at + 2);
            uint8_t raw[4] = {0, 0, 0, 0};
            wgcp_reader_bytes_at(&list, at + 4, raw, 4);
            memcpy(&a.address, raw, 4); // kept in network order
        }
        if (out)
            out[i] = a;
    }
    return QNB_ERR_SUCCESS;
}

bool address_equal(const wr_flow_address &a, const wr_flow_address &b)
{
    return a.address == b.address && a.port == b.port && a.in_use == b.in_use;
}

bool extension_equal(const wr_flow_extension &a, const wr_flow_extension &b)
{
    if (a.value16 != b.value16 || a.value32 != b.value32 || a.transport != b.transport ||
        a.media.flags != b.media.flags || a.media.count != b.media.count)
        return false;
    for (unsigned i = 0; i < a.media.count && i < WR_FLOW_MEDIA_VALUES; i++) {
        if (a.media.values[i] != b.media.values[i])
            return false;
    }
    return true;
}

void fail(const wr_flow_host *h, qnb_error error, const char *text)
{
    if (h && h->ops && h->ops->set_error)
        h->ops->set_error(h->device, error, text);
}

void report(const wr_flow_host *h, uint32_t bits)
{
    if (h->ops->report)
        h->ops->report(h->device, bits);
}

void complete(const wr_flow_host *h, qnb_error result)
{
    h->ops->complete(h->device, h->request, result);
}

// Sends `opcode` {first, 0} on the request's slot.
qnb_error send_query(const wr_flow_host *h, uint16_t opcode, uint16_t first)
{
    wgcp_builder *b = h->ops->packet ? h->ops->packet(h->device, h->request) : nullptr;
    if (!b)
        return QNB_ERR_INVALIDSTATE;
    qnb_error e = wr_msg_build_range_query(b, h->protocol_version, opcode, first);
    if (!e)
        e = h->ops->send(h->device, h->request);
    return e;
}

// The follow-up of a page with more to come: from the highest id seen + 1. A page that names no
// flow at or beyond the one asked for makes no progress and ends the read (no endless loop, no
// wrap past 0xFFFF).
qnb_error follow_page(const wr_flow_host *h, uint16_t opcode, uint16_t *from, uint16_t records, uint16_t highest)
{
    if (records == 0 || highest < *from || highest == 0xFFFF)
        return QNB_ERR_INVALIDDATA;
    uint16_t next = static_cast<uint16_t>(highest + 1);
    qnb_error e = send_query(h, opcode, next);
    if (!e)
        *from = next;
    return e;
}

// Flow ids count from 1. A device that reports no highest flow id (older devices have no such
// capability field, read as 0) is not held to one.
bool flow_id_valid(uint16_t id, uint16_t highest)
{
    return id != 0 && (highest == 0 || id <= highest);
}

bool response_is_empty(const wr_msg_response *m)
{
    return m->size <= WR_LIST_HEAD || m->data[11] == 0;
}

// A reply's result other than success stands as the request's result.
void override_result(const wr_flow_host *h, const wr_msg_response *m)
{
    qnb_error mapped = wr_msg_result_to_error(m->header.status);
    if (mapped && h->ops->set_result_override)
        h->ops->set_result_override(h->device, h->request, mapped);
}

// The flows are read again from flow 1 before the request completes.
template <typename Table>
void read_again(Table *t, const wr_flow_host *h, void (*begin_read)(Table *), uint16_t opcode)
{
    if (!t) {
        complete(h, 0);
        return;
    }
    begin_read(t);
    qnb_error e = send_query(h, opcode, 1);
    if (e)
        complete(h, e);
}

// A table of no entries for the device's channels, interfaces and slots, read from flow 1.
template <typename Table>
qnb_error table_new(uint16_t channels, uint16_t interfaces, uint16_t slot_limit, Table **out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    Table *t = static_cast<Table *>(calloc(1, sizeof(Table)));
    if (!t)
        return QNB_ERR_NOMEMORY;
    t->channels = channels;
    t->interfaces = interfaces;
    t->slot_limit = slot_limit;
    t->query_from = 1;
    *out = t;
    return QNB_ERR_SUCCESS;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Bitset

qnb_error wr_flow_bitset_init(wr_flow_bitset *b, uint16_t capacity)
{
    if (!b)
        return QNB_ERR_INVALIDPARAMETER;
    memset(b, 0, sizeof *b);
    b->capacity = capacity;
    b->size = static_cast<uint16_t>((uint32_t(capacity) + 7) / 8);
    if (b->size) {
        b->bits = static_cast<uint8_t *>(calloc(b->size, 1));
        if (!b->bits) {
            b->capacity = b->size = 0;
            return QNB_ERR_NOMEMORY;
        }
    }
    return QNB_ERR_SUCCESS;
}

void wr_flow_bitset_free(wr_flow_bitset *b)
{
    if (!b)
        return;
    free(b->bits);
    memset(b, 0, sizeof *b);
}

bool wr_flow_bitset_set(wr_flow_bitset *b, uint16_t bit)
{
    if (!b || bit >= b->capacity || wr_flow_bitset_test(b, bit))
        return false;
    b->bits[bit / 8] = static_cast<uint8_t>(b->bits[bit / 8] | (1u << (bit % 8)));
    b->set++;
    return true;
}

bool wr_flow_bitset_test(const wr_flow_bitset *b, uint16_t bit)
{
    return b && bit < b->capacity && (b->bits[bit / 8] >> (bit % 8) & 1u);
}

void wr_flow_bitset_clear(wr_flow_bitset *b)
{
    if (!b)
        return;
    if (b->bits)
        memset(b->bits, 0, b->size);
    b->set = 0;
}

int wr_flow_bitset_nth(const wr_flow_bitset *b, uint16_t n)
{
    if (!b || n >= b->set)
        return -1;
    uint16_t seen = 0;
    for (uint32_t i = 0; i < b->capacity; i++) {
        if (wr_flow_bitset_test(b, static_cast<uint16_t>(i)) && seen++ == n)
            return static_cast<int>(i);
    }
    return -1;
}

bool wr_flow_bitset_equal(const wr_flow_bitset *a, const wr_flow_bitset *b)
{
    return a->capacity == b->capacity && a->set == b->set && (a->size == 0 || memcmp(a->bits, b->bits, a->size) == 0);
}

// ---------------------------------------------------------------------------------------------
// Tx table

namespace {

void tx_entry_free(wr_txflow *f)
{
    free(f->slots);
    free(f->addresses);
    f->slots = nullptr;
    f->addresses = nullptr;
}

bool tx_entry_alloc(const wr_txflow_table *t, wr_txflow *f)
{
    memset(f, 0, sizeof *f);
    if (t->slot_limit)
        f->slots = static_cast<uint16_t *>(calloc(t->slot_limit, sizeof(uint16_t)));
    if (t->interfaces)
        f->addresses = static_cast<wr_flow_address *>(calloc(t->interfaces, sizeof(wr_flow_address)));
    if ((t->slot_limit && !f->slots) || (t->interfaces && !f->addresses)) {
        tx_entry_free(f);
        return false;
    }
    return true;
}

// Room for one more entry: 8 at the first flow, then doubling. Every entry up to the capacity
// owns its slot and address arrays.
bool tx_grow(wr_txflow_table *t)
{
    if (t->count < t->capacity)
        return true;
    uint32_t capacity = t->capacity ? uint32_t(t->capacity) * 2 : uint32_t(WR_FLOW_TX_FIRST_CAPACITY);
    if (capacity > 0xFFFF)
        return false;
    wr_txflow *grown = static_cast<wr_txflow *>(realloc(t->entries, capacity * sizeof(wr_txflow)));
    if (!grown)
        return false;
    t->entries = grown;
    for (uint32_t i = t->capacity; i < capacity; i++) {
        if (!tx_entry_alloc(t, &grown[i])) {
            for (uint32_t j = t->capacity; j < i; j++)
                tx_entry_free(&grown[j]);
            return false;
        }
    }
    t->capacity = static_cast<uint16_t>(capacity);
    return true;
}

} // namespace

qnb_error wr_flow_tx_table_new(uint16_t channels, uint16_t interfaces, uint16_t slot_limit, wr_txflow_table **out)
{
    return table_new(channels, interfaces, slot_limit, out);
}

void wr_flow_tx_table_delete(wr_txflow_table *t)
{
    if (!t)
        return;
    for (uint16_t i = 0; i < t->capacity; i++)
        tx_entry_free(&t->entries[i]);
    free(t->entries);
    free(t);
}

void wr_flow_tx_table_reset(wr_txflow_table *t)
{
    if (t)
        t->count = 0;
}

wr_txflow *wr_flow_tx_find(wr_txflow_table *t, uint16_t id)
{
    for (uint16_t i = 0; t && i < t->count; i++) {
        if (t->entries[i].id == id)
            return &t->entries[i];
    }
    return nullptr;
}

void wr_flow_tx_begin_read(wr_txflow_table *t)
{
    if (!t)
        return;
    wr_flow_tx_table_reset(t);
    t->query_from = 1;
}

// ---------------------------------------------------------------------------------------------
// Rx table

namespace {

void rx_entry_free(const wr_rxflow_table *t, wr_rxflow *f)
{
    if (f->slots) {
        for (uint16_t s = 0; s < t->slot_limit; s++)
            wr_flow_bitset_free(&f->slots[s]);
    }
    free(f->slots);
    free(f->addresses);
    f->slots = nullptr;
    f->addresses = nullptr;
}

bool rx_entry_alloc(const wr_rxflow_table *t, wr_rxflow *f)
{
    memset(f, 0, sizeof *f);
    if (t->slot_limit) {
        f->slots = static_cast<wr_flow_bitset *>(calloc(t->slot_limit, sizeof(wr_flow_bitset)));
        if (!f->slots)
            return false;
        for (uint16_t s = 0; s < t->slot_limit; s++) {
            if (wr_flow_bitset_init(&f->slots[s], t->channels)) {
                rx_entry_free(t, f);
                return false;
            }
        }
    }
    if (t->interfaces) {
        f->addresses = static_cast<wr_flow_address *>(calloc(t->interfaces, sizeof(wr_flow_address)));
        if (!f->addresses) {
            rx_entry_free(t, f);
            return false;
        }
    }
    return true;
}

// Room for one more entry: blocks of 4, then of the capacity so far (the capacity doubles);
// entries never move, so pointers to them stay valid. `text` names the allocation that failed.
bool rx_grow(wr_rxflow_table *t, const char **text, const char *flows_text, const char *flow_text)
{
    if (t->count < t->capacity)
        return true;
    uint32_t block = t->capacity ? uint32_t(t->capacity) : uint32_t(WR_FLOW_RX_FIRST_BLOCK);
    uint32_t capacity = t->capacity + block;
    *text = flows_text;
    if (capacity > 0xFFFF || t->block_count >= WR_FLOW_RX_MAX_BLOCKS)
        return false;
    wr_rxflow **pointers = static_cast<wr_rxflow **>(realloc(t->entries, capacity * sizeof(wr_rxflow *)));
    if (!pointers)
        return false;
    t->entries = pointers;
    wr_rxflow *entries = static_cast<wr_rxflow *>(calloc(block, sizeof(wr_rxflow)));
    if (!entries)
        return false;
    *text = flow_text;
    for (uint32_t i = 0; i < block; i++) {
        if (!rx_entry_alloc(t, &entries[i])) {
            for (uint32_t j = 0; j < i; j++)
                rx_entry_free(t, &entries[j]);
            free(entries);
            return false;
        }
        pointers[t->capacity + i] = &entries[i];
    }
    t->blocks[t->block_count++] = entries;
    t->capacity = static_cast<uint16_t>(capacity);
    return true;
}

uint16_t rx_block_size(uint16_t k)
{
    // 4, 4, 8, 16 ...: each block after the first holds as many entries as all before it.
    return static_cast<uint16_t>(k == 0 ? WR_FLOW_RX_FIRST_BLOCK : WR_FLOW_RX_FIRST_BLOCK << (k - 1));
}

} // namespace

qnb_error wr_flow_rx_table_new(uint16_t channels, uint16_t interfaces, uint16_t slot_limit, wr_rxflow_table **out)
{
    qnb_error e = table_new(channels, interfaces, slot_limit, out);
    if (e)
        return e;
    wr_rxflow_table *t = *out;
    t->template_from = 1;
    if (channels) {
        t->marks = static_cast<uint8_t *>(calloc(channels, 1));
        t->flow_numbers = static_cast<uint16_t *>(calloc(channels, sizeof(uint16_t)));
        if (!t->marks || !t->flow_numbers) {
            *out = nullptr;
            wr_flow_rx_table_delete(t);
            return QNB_ERR_NOMEMORY;
        }
    }
    return QNB_ERR_SUCCESS;
}

void wr_flow_rx_table_delete(wr_rxflow_table *t)
{
    if (!t)
        return;
    for (uint16_t k = 0; k < t->block_count; k++) {
        uint16_t n = rx_block_size(k);
        for (uint16_t i = 0; i < n; i++)
            rx_entry_free(t, &t->blocks[k][i]);
        free(t->blocks[k]);
    }
    free(t->entries);
    free(t->marks);
    free(t->flow_numbers);
    free(t);
}

void wr_flow_rx_table_reset(wr_rxflow_table *t)
{
    if (t)
        t->count = 0;
}

wr_rxflow *wr_flow_rx_find(wr_rxflow_table *t, uint16_t id)
{
    for (uint16_t i = 0; t && i < t->count; i++) {
        if (t->entries[i]->id == id)
            return t->entries[i];
    }
    return nullptr;
}

uint16_t wr_flow_rx_channel_flow(const wr_rxflow_table *t, uint16_t rx_id)
{
    return (t && rx_id && rx_id <= t->channels) ? t->flow_numbers[rx_id - 1] : 0;
}

bool wr_flow_rx_channel_marked(const wr_rxflow_table *t, uint16_t rx_id)
{
    return t && rx_id && rx_id <= t->channels && t->marks[rx_id - 1];
}

void wr_flow_rx_begin_read(wr_rxflow_table *t)
{
    if (!t)
        return;
    for (uint16_t i = 0; i < t->count; i++) {
        const wr_rxflow *f = t->entries[i];
        if (f->ext.transport != WR_FLOW_TRANSPORT_MEDIA)
            continue;
        for (uint16_t s = 0; s < f->num_slots; s++) {
            for (uint32_t c = 0; c < t->channels; c++) {
                if (wr_flow_bitset_test(&f->slots[s], static_cast<uint16_t>(c)))
                    t->marks[c] = 1;
            }
        }
    }
    wr_flow_rx_table_reset(t);
    t->query_from = 1;
}

bool wr_flow_rx_clear_marks(wr_rxflow_table *t)
{
    bool any = false;
    for (uint16_t c = 0; t && c < t->channels; c++) {
        if (t->marks[c]) {
            t->marks[c] = 0;
            t->flow_numbers[c] = 0;
            any = true;
        }
    }
    return any;
}

// ---------------------------------------------------------------------------------------------
// Decoding

namespace {

qnb_error read_ext(const wr_msg_response *m, uint16_t offset, uint16_t lower, wr_flow_ext_record *out)
{
    memset(out, 0, sizeof *out);
    if (offset == 0)
        return QNB_ERR_SUCCESS;
    wgcp_reader head;
    if (!field(m, offset, lower, 1, 2, &head))
        return QNB_ERR_INVALIDDATA;
    uint16_t words = get16(&head, 0);
    if (words == 0)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader r;
    if (!field(m, offset, lower, 1, uint32_t(words) * 2, &r))
        return QNB_ERR_INVALIDDATA;
    out->present = true;
    out->words = words;
    if (words >= 3)
        out->name2_at = get16(&r, 4);
    if (words >= 4)
        out->name3_at = get16(&r, 6);
    if (words >= 5)
        out->value16 = get16(&r, 8);
    if (words >= 6)
        out->name_at = get16(&r, 10);
    if (words >= 8)
        out->value32 = get32(&r, 12);
    if (words >= 9)
        out->kind = get16(&r, 16);
    if (words >= 10)
        out->media_at = get16(&r, 18);
    return QNB_ERR_SUCCESS;
}

} // namespace

qnb_error wr_flow_read_tx_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, wr_flow_record *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    wgcp_reader r;
    qnb_error e = wr_msg_entry_view(m, l, i, WR_FLOW_TX_RECORD_SIZE, &r);
    if (e)
        return e;
    out->lower = l->end;
    out->id = get16(&r, 0);
    out->flags = get16(&r, 2);
    out->format32 = get32(&r, 4);
    out->format16 = get16(&r, 8);
    out->num_slots = get16(&r, 10);
    out->slots_at = get16(&r, 12);
    out->num_interfaces = get16(&r, 14);
    out->addresses_at = get16(&r, 16);
    if (m->header.protocol > WR_FLOW_TX_EXT_AFTER)
        e = read_ext(m, get16(&r, TX_EXT_AT), out->lower, &out->ext);
    return e;
}

qnb_error wr_flow_read_rx_record(const wr_msg_response *m, const wr_msg_entries *l, uint16_t i, bool templ,
                                 wr_flow_record *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    wgcp_reader r;
    qnb_error e = wr_msg_entry_view(m, l, i, templ ? WR_FLOW_TEMPLATE_RECORD_SIZE : WR_FLOW_RX_RECORD_SIZE, &r);
    if (e)
        return e;
    out->lower = l->end;
    out->id = get16(&r, 0);
    out->flags = get16(&r, 2);
    out->num_slots = get16(&r, 4);
    out->num_feeds = get16(&r, 6);
    out->feeds_at = get16(&r, 8);
    out->num_interfaces = get16(&r, 10);
    out->addresses_at = get16(&r, 12);
    out->counters[0] = get16(&r, 16);
    out->counters[1] = get16(&r, 18);
    if (templ) {
        out->num_subscriptions = get16(&r, 20);
        out->subscriptions_at = get16(&r, 22);
    }
    if (m->header.protocol > WR_FLOW_RX_EXT_AFTER)
        e = read_ext(m, get16(&r, RX_EXT_AT), out->lower, &out->ext);
    return e;
}

qnb_error wr_flow_read_subscription(const wr_msg_response *m, const wr_flow_record *rec, uint16_t i,
                                    wr_flow_subscription *out)
{
    if (!m || !rec || !out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    if (i >= rec->num_subscriptions)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader list;
    if (!field(m, rec->subscriptions_at, rec->lower, 1, uint32_t(rec->num_subscriptions) * WR_FLOW_SUBSCRIPTION_SIZE,
               &list))
        return QNB_ERR_INVALIDDATA;
    size_t at = size_t(i) * WR_FLOW_SUBSCRIPTION_SIZE;
    out->rx_id = get16(&list, at);
    out->status = static_cast<uint8_t>(get16(&list, at + 6) & 0xFF);
    qnb_error e = wr_msg_read_name(m, get16(&list, at + 2), rec->lower, out->tx_channel);
    if (!e)
        e = wr_msg_read_name(m, get16(&list, at + 4), rec->lower, out->tx_device);
    return e ? QNB_ERR_INVALIDDATA : QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Adding flows

qnb_error AddTxFlow(wr_txflow_table *t, const wr_flow_host *h, const wr_flow_record *rec, const wr_msg_response *m)
{
    if (!t || !rec || !m)
        return QNB_ERR_INVALIDPARAMETER;
    if (rec->num_slots > t->slot_limit) {
        fail(h, WR_ERR_LAYOUT, "AddTxFlow: NumSlots > MaxSlots");
        return WR_ERR_LAYOUT;
    }
    if (rec->num_interfaces > t->interfaces) {
        fail(h, WR_ERR_LAYOUT, "AddTxFlow: NumInterfaces > MaxInterfaces");
        return WR_ERR_LAYOUT;
    }
    // Everything is read before the table changes, so a refused record leaves it as it was.
    wgcp_reader slots;
    if (rec->num_slots && !field(m, rec->slots_at, rec->lower, 1, uint32_t(rec->num_slots) * 2, &slots))
        return QNB_ERR_INVALIDDATA;
    qnb_error e = read_addresses(m, rec, nullptr, t->interfaces);
    if (e)
        return e;
    uint16_t arcp = h ? h->arcp_version : uint16_t(WR_PROTOCOL_VERSION_MAX);
    parsed_ext x;
    memset(&x, 0, sizeof x);
    bool named = arcp > 0x25FF && rec->ext.present;
    if (named && (e = parse_ext(m, rec, &x)) != 0)
        return e;

    wr_txflow *f = wr_flow_tx_find(t, rec->id);
    bool added = false;
    if (!f) {
        if (!tx_grow(t)) {
            fail(h, QNB_ERR_NOMEMORY, "AddTxFlow: No Memory");
            return QNB_ERR_NOMEMORY;
        }
        f = &t->entries[t->count];
        added = true;
    }
    f->id = rec->id;
    f->flags = rec->flags;
    f->format32 = rec->format32;
    f->format16 = rec->format16;
    if (named) {
        memcpy(f->name, x.name, sizeof f->name);
        memcpy(f->name2, x.name2, sizeof f->name2);
        memcpy(f->name3, x.name3, sizeof f->name3);
        f->ext = x.ext;
    } else {
        snprintf(f->name, sizeof f->name, "%d", int(rec->id));
        f->name2[0] = f->name3[0] = '\0';
        memset(&f->ext, 0, sizeof f->ext);
    }
    f->num_slots = rec->num_slots;
    for (uint16_t s = 0; s < t->slot_limit; s++) {
        uint16_t channel = s < rec->num_slots ? get16(&slots, size_t(s) * 2) : 0;
        f->slots[s] = (channel && channel <= t->channels) ? channel : 0;
    }
    if (t->interfaces)
        memset(f->addresses, 0, t->interfaces * sizeof(wr_flow_address));
    read_addresses(m, rec, f->addresses, t->interfaces);
    if (added)
        t->count++;
    return QNB_ERR_SUCCESS;
}

namespace {

struct rx_texts {
    const char *slots;
    const char *interfaces;
    const char *flows;
    const char *flow;
};
const rx_texts k_rx_flow_texts = {"AddRxFlow: NumSlots > MaxSlots", "AddRxFlow: NumInterfaces > MaxInterfaces",
                                  "AddRxFlow: Allocating Memory for flows", "AddRxFlow: Allocating Memory for flow"};
const rx_texts k_rx_template_texts = {"AddRxTemplate: NumSlots > MaxSlots",
                                      "AddRxTemplate: NumInterfaces > MaxInterfaces",
                                      "AddRxTemplate: Allocating Memory for flows",
                                      "AddRxTemplate: Allocating Memory for flow"};

qnb_error add_rx(wr_rxflow_table *t, const wr_flow_host *h, const wr_flow_record *rec, const wr_msg_response *m,
                 const rx_texts &texts, wr_rxflow **out, bool *rx_changed, unsigned *changes)
{
    if (out)
        *out = nullptr;
    if (!t || !rec || !m)
        return QNB_ERR_INVALIDPARAMETER;
    if (rec->num_slots > t->slot_limit) {
        fail(h, WR_ERR_LAYOUT, texts.slots);
        return WR_ERR_LAYOUT;
    }
    if (rec->num_interfaces > t->interfaces) {
        fail(h, WR_ERR_LAYOUT, texts.interfaces);
        return WR_ERR_LAYOUT;
    }
    wgcp_reader feeds;
    if (rec->num_feeds && !field(m, rec->feeds_at, rec->lower, 1, uint32_t(rec->num_feeds) * WR_FLOW_FEED_SIZE, &feeds))
        return QNB_ERR_INVALIDDATA;
    for (uint16_t i = 0; i < rec->num_feeds; i++) {
        if (get16(&feeds, size_t(i) * WR_FLOW_FEED_SIZE) >= rec->num_slots)
            return QNB_ERR_INVALIDDATA; // a feed of a slot the flow does not have
    }
    qnb_error e = read_addresses(m, rec, nullptr, t->interfaces);
    if (e)
        return e;
    parsed_ext x;
    memset(&x, 0, sizeof x);
    if (rec->ext.present && (e = parse_ext(m, rec, &x)) != 0)
        return e;

    wr_rxflow *f = wr_flow_rx_find(t, rec->id);
    bool added = false;
    if (!f) {
        const char *text = texts.flows;
        if (!rx_grow(t, &text, texts.flows, texts.flow)) {
            fail(h, WR_ERR_LAYOUT, text);
            return WR_ERR_LAYOUT;
        }
        f = t->entries[t->count];
        // A reused entry of an earlier read starts from nothing.
        f->id = 0;
        f->flags = 0;
        f->name[0] = f->name2[0] = f->name3[0] = '\0';
        f->counters[0] = f->counters[1] = 0;
        memset(&f->ext, 0, sizeof f->ext);
        f->num_slots = 0;
        for (uint16_t s = 0; s < t->slot_limit; s++)
            wr_flow_bitset_clear(&f->slots[s]);
        if (t->interfaces)
            memset(f->addresses, 0, t->interfaces * sizeof(wr_flow_address));
        added = true;
    }

    // Merge field by field, counting what differs from the entry as it was.
    unsigned n = 0;
    auto merge16 = [&n](uint16_t &dst, uint16_t v) {
        if (dst != v) {
            dst = v;
            n++;
        }
    };
    auto merge_name = [&n](char *dst, const char *v) {
        if (strcmp(dst, v) != 0) {
            memcpy(dst, v, strlen(v) + 1);
            n++;
        }
    };
    merge16(f->id, rec->id);
    merge16(f->flags, rec->flags);
    merge16(f->counters[0], rec->counters[0]);
    merge16(f->counters[1], rec->counters[1]);
    merge_name(f->name, x.name);
    merge_name(f->name2, x.name2);
    merge_name(f->name3, x.name3);
    if (!extension_equal(f->ext, x.ext)) {
        f->ext = x.ext;
        n++;
    }
    merge16(f->num_slots, rec->num_slots);
    uint8_t scratch_bits[(CHANNEL_BITS_MAX + 7) / 8];
    wr_flow_bitset scratch = {0, t->channels, static_cast<uint16_t>((uint32_t(t->channels) + 7) / 8), scratch_bits};
    for (uint16_t s = 0; s < t->slot_limit; s++) {
        wr_flow_bitset_clear(&scratch);
        for (uint16_t i = 0; s < rec->num_slots && i < rec->num_feeds; i++) {
            size_t at = size_t(i) * WR_FLOW_FEED_SIZE;
            uint16_t channel = get16(&feeds, at + 2);
            if (get16(&feeds, at) == s && channel && channel <= t->channels)
                wr_flow_bitset_set(&scratch, static_cast<uint16_t>(channel - 1));
        }
        if (!wr_flow_bitset_equal(&scratch, &f->slots[s])) {
            if (scratch.size)
                memcpy(f->slots[s].bits, scratch.bits, scratch.size);
            f->slots[s].set = scratch.set;
            n++;
        }
    }
    if (t->interfaces) {
        wr_flow_address addresses[WR_MSG_MAX_INTERFACES] = {};
        uint16_t room = t->interfaces < WR_MSG_MAX_INTERFACES ? t->interfaces : uint16_t(WR_MSG_MAX_INTERFACES);
        read_addresses(m, rec, addresses, room);
        bool differs = false;
        for (uint16_t i = 0; i < room; i++) {
            if (!address_equal(addresses[i], f->addresses[i])) {
                f->addresses[i] = addresses[i];
                differs = true;
            }
        }
        if (differs)
            n++;
    }
    // The rx channels a media flow feeds take its number and lose their flow mark.
    if (f->ext.transport == WR_FLOW_TRANSPORT_MEDIA) {
        for (uint16_t s = 0; s < f->num_slots; s++) {
            for (uint16_t found = 0;; found++) {
                int c = wr_flow_bitset_nth(&f->slots[s], found);
                if (c < 0)
                    break;
                t->marks[c] = 0;
                if (t->flow_numbers[c] != f->id) {
                    t->flow_numbers[c] = f->id;
                    if (rx_changed)
                        *rx_changed = true;
                }
            }
        }
    }
    if (added)
        t->count++;
    if (changes)
        *changes = n;
    if (out)
        *out = f;
    return QNB_ERR_SUCCESS;
}

} // namespace

qnb_error AddRxFlow(wr_rxflow_table *t, const wr_flow_host *h, const wr_flow_record *record, const wr_msg_response *m,
                    bool *rx_changed, unsigned *changes)
{
    return add_rx(t, h, record, m, k_rx_flow_texts, nullptr, rx_changed, changes);
}

qnb_error AddRxTemplate(wr_rxflow_table *t, const wr_flow_host *h, const wr_flow_record *record,
                        const wr_msg_response *m, wr_rxflow **out, bool *rx_changed)
{
    return add_rx(t, h, record, m, k_rx_template_texts, out, rx_changed, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Reply handlers

void TxFlowQuery(wr_txflow_table *t, const wr_flow_host *h, const wr_msg_response *m)
{
    wr_msg_entries l;
    qnb_error e = t ? wr_msg_read_list(m, WR_FLOW_TX_RECORD_SIZE, &l) : QNB_ERR_INVALIDSTATE;
    uint16_t highest = 0;
    for (uint16_t i = 0; !e && i < l.count; i++) {
        wr_flow_record rec;
        e = wr_flow_read_tx_record(m, &l, i, &rec);
        if (e)
            break;
        if (!flow_id_valid(rec.id, h->max_txflow_id)) {
            fail(h, WR_ERR_LAYOUT, "TxFlowQuery: Invalid ID");
            e = WR_ERR_LAYOUT;
            break;
        }
        e = AddTxFlow(t, h, &rec, m);
        if (!e && rec.id > highest)
            highest = rec.id;
    }
    if (!e && wr_msg_result_has_more(m->header.status)) {
        e = follow_page(h, WR_OP_TX_FLOWS, &t->query_from, l.count, highest);
        if (!e)
            return;
    }
    if (!e)
        h->ops->clear_changed(h->device, WR_FLOW_KIND_TXFLOWS);
    report(h, WR_FLOW_CHANGE_TXFLOWS);
    complete(h, e);
}

void RxFlowQuery(wr_rxflow_table *t, const wr_flow_host *h, const wr_msg_response *m)
{
    wr_msg_entries l;
    qnb_error e = t ? wr_msg_read_list(m, WR_FLOW_RX_RECORD_SIZE, &l) : QNB_ERR_INVALIDSTATE;
    uint16_t highest = 0;
    bool rx_changed = false;
    for (uint16_t i = 0; !e && i < l.count; i++) {
        wr_flow_record rec;
        e = wr_flow_read_rx_record(m, &l, i, false, &rec);
        if (e)
            break;
        if (!flow_id_valid(rec.id, h->max_rxflow_id)) {
            fail(h, WR_ERR_LAYOUT, "RxFlowQuery: Invalid ID");
            e = WR_ERR_LAYOUT;
            break;
        }
        e = AddRxFlow(t, h, &rec, m, &rx_changed, nullptr);
        if (!e && rec.id > highest)
            highest = rec.id;
    }
    if (!e && wr_msg_result_has_more(m->header.status)) {
        e = follow_page(h, WR_OP_RX_FLOWS, &t->query_from, l.count, highest);
        if (!e) {
            if (rx_changed)
                report(h, WR_FLOW_CHANGE_RXCHANNELS);
            return;
        }
    }
    if (!e) {
        if (wr_flow_rx_clear_marks(t))
            rx_changed = true;
        h->ops->clear_changed(h->device, WR_FLOW_KIND_RXFLOWS);
    }
    report(h, (rx_changed ? uint32_t(WR_FLOW_CHANGE_RXCHANNELS) : 0u) | WR_FLOW_CHANGE_RXFLOWS);
    complete(h, e);
}

void wr_flow_handle_rx_templates(wr_rxflow_table *t, const wr_flow_host *h, const wr_msg_response *m)
{
    uint16_t opcode = m->header.opcode;
    if (opcode == WR_OP_RX_FLOW_DETAILS_ALT)
        override_result(h, m);
    wr_msg_entries l;
    qnb_error e = t ? wr_msg_read_list(m, WR_FLOW_TEMPLATE_RECORD_SIZE, &l) : QNB_ERR_INVALIDSTATE;
    uint16_t highest = 0;
    bool rx_changed = false, stale = false;
    for (uint16_t i = 0; !e && i < l.count; i++) {
        wr_flow_record rec;
        e = wr_flow_read_rx_record(m, &l, i, true, &rec);
        if (!e)
            e = AddRxTemplate(t, h, &rec, m, nullptr, &rx_changed);
        for (uint16_t s = 0; !e && s < rec.num_subscriptions; s++) {
            wr_flow_subscription sub;
            e = wr_flow_read_subscription(m, &rec, s, &sub);
            if (!e && !(h->ops->rx_subscription &&
                        h->ops->rx_subscription(h->device, sub.rx_id, sub.tx_channel, sub.tx_device, sub.status)))
                stale = true;
        }
        if (!e && rec.id > highest)
            highest = rec.id;
    }
    if (stale)
        h->ops->mark_changed(h->device, WR_FLOW_KIND_RXCHANNELS);
    if (rx_changed)
        report(h, WR_FLOW_CHANGE_RXCHANNELS);
    if (!e && opcode == WR_OP_RX_FLOW_DETAILS && wr_msg_result_has_more(m->header.status)) {
        e = follow_page(h, WR_OP_RX_FLOW_DETAILS, &t->template_from, l.count, highest);
        if (!e)
            return;
    }
    if (!e && opcode == WR_OP_RX_FLOW_DETAILS) {
        h->ops->clear_changed(h->device, WR_FLOW_KIND_RXFLOWS);
        t->template_from = 1;
    }
    report(h, WR_FLOW_CHANGE_RXFLOWS);
    complete(h, e);
}

void wr_flow_handle_rx_change(wr_rxflow_table *t, const wr_flow_host *h, const wr_msg_response *m)
{
    override_result(h, m);
    h->ops->mark_changed(h->device, WR_FLOW_KIND_RXFLOWS);
    read_again(t, h, wr_flow_rx_begin_read, WR_OP_RX_FLOWS);
}

void wr_flow_handle_tx_batch(wr_txflow_table *t, const wr_flow_host *h, const wr_msg_response *m)
{
    if (h->request_code == WR_FLOW_CODE_BATCH && h->ops->continue_batch) {
        h->ops->continue_batch(h->device, h->request, wr_msg_result_to_error(m->header.status));
        return;
    }
    override_result(h, m);
    if (h->ops->set_result_override && h->request_code == WR_FLOW_CODE_EMPTY_CHECK && response_is_empty(m))
        h->ops->set_result_override(h->device, h->request, QNB_ERR_INVALIDDATA);
    h->ops->mark_changed(h->device, WR_FLOW_KIND_TXFLOWS);
    read_again(t, h, wr_flow_tx_begin_read, WR_OP_TX_FLOWS);
}

// ---------------------------------------------------------------------------------------------
// Encoder

namespace {

qnb_error put_bytes(wr_msg_list *l, const uint8_t *src, uint16_t n, unsigned align_exp, uint16_t *at)
{
    *at = 0;
    if (n == 0)
        return QNB_ERR_SUCCESS;
    return wr_msg_list_add_bytes(l, src, n, align_exp, at);
}

qnb_error put_name(wr_msg_list *l, const char *name, uint16_t *at)
{
    return wr_msg_list_add_string(l, name, at);
}

qnb_error encode_ext(wr_msg_list *l, const wr_flow_desc *d, uint16_t *at)
{
    *at = 0;
    if (d->ext_words == 0)
        return QNB_ERR_SUCCESS;
    uint16_t words = d->ext_words > WR_FLOW_EXT_WORDS ? uint16_t(WR_FLOW_EXT_WORDS) : d->ext_words;
    uint16_t name = 0, name2 = 0, name3 = 0, media = 0;
    qnb_error e = 0;
    if (words >= 3)
        e = put_name(l, d->name2, &name2);
    if (!e && words >= 4)
        e = put_name(l, d->name3, &name3);
    if (!e && words >= 6)
        e = put_name(l, d->name, &name);
    if (!e && words >= 10 && d->kind == WR_FLOW_KIND_FIELD_MEDIA) {
        uint8_t block[4 + 4 * WR_FLOW_MEDIA_VALUES];
        unsigned n = media_value_count(d->media.flags);
        uint16_t size = static_cast<uint16_t>(4 + 4 * n);
        wgcp_store_be16(block, size);
        wgcp_store_be16(block + 2, d->media.flags);
        for (unsigned i = 0; i < n; i++)
            wgcp_store_be32(block + 4 + 4 * i, d->media.values[i]);
        e = put_bytes(l, block, size, 2, &media);
    }
    if (e)
        return e;
    uint8_t w[EXT_BYTES_MAX] = {};
    wgcp_store_be16(w, words);
    wgcp_store_be16(w + 4, name2);
    wgcp_store_be16(w + 6, name3);
    wgcp_store_be16(w + 8, d->value16);
    wgcp_store_be16(w + 10, name);
    wgcp_store_be32(w + 12, d->value32);
    wgcp_store_be16(w + 16, d->kind);
    wgcp_store_be16(w + 18, media);
    return put_bytes(l, w, static_cast<uint16_t>(words * 2), 1, at);
}

qnb_error encode_addresses(wr_msg_list *l, const wr_flow_desc *d, uint16_t *at)
{
    *at = 0;
    if (d->num_interfaces == 0)
        return QNB_ERR_SUCCESS;
    if (!d->addresses || d->num_interfaces > WR_MSG_MAX_INTERFACES)
        return QNB_ERR_INVALIDPARAMETER;
    uint8_t block[WR_MSG_MAX_INTERFACES * WR_FLOW_ADDRESS_SIZE];
    for (uint16_t i = 0; i < d->num_interfaces; i++) {
        uint8_t *p = block + i * WR_FLOW_ADDRESS_SIZE;
        p[0] = d->addresses[i].family;
        p[1] = d->addresses[i].in_use;
        wgcp_store_be16(p + 2, d->addresses[i].port);
        memcpy(p + 4, &d->addresses[i].address, 4);
    }
    return put_bytes(l, block, static_cast<uint16_t>(d->num_interfaces * WR_FLOW_ADDRESS_SIZE), 2, at);
}

qnb_error encode_u16_pairs(wr_msg_list *l, uint16_t n, const void *items, int kind, uint16_t *at)
{
    // kind 0: u16 ids; 1: feeds.
    *at = 0;
    if (n == 0)
        return QNB_ERR_SUCCESS;
    if (!items)
        return QNB_ERR_INVALIDPARAMETER;
    uint32_t size = kind == 0 ? uint32_t(n) * 2 : uint32_t(n) * WR_FLOW_FEED_SIZE;
    if (size > WR_MESSAGE_MAX)
        return QNB_ERR_MSGSIZE;
    uint8_t buffer[WR_MESSAGE_MAX];
    for (uint16_t i = 0; i < n; i++) {
        if (kind == 0) {
            wgcp_store_be16(buffer + 2 * i, static_cast<const uint16_t *>(items)[i]);
        } else {
            const wr_flow_feed &f = static_cast<const wr_flow_feed *>(items)[i];
            wgcp_store_be16(buffer + 4 * i, f.slot);
            wgcp_store_be16(buffer + 4 * i + 2, f.rx_id);
        }
    }
    return put_bytes(l, buffer, static_cast<uint16_t>(size), 1, at);
}

qnb_error encode_subscriptions(wr_msg_list *l, const wr_flow_desc *d, uint16_t *at)
{
    *at = 0;
    if (d->num_subscriptions == 0)
        return QNB_ERR_SUCCESS;
    if (!d->subscriptions || uint32_t(d->num_subscriptions) * WR_FLOW_SUBSCRIPTION_SIZE > WR_MESSAGE_MAX)
        return QNB_ERR_MSGSIZE;
    uint8_t buffer[WR_MESSAGE_MAX];
    for (uint16_t i = 0; i < d->num_subscriptions; i++) {
        const wr_flow_wire_subscription &s = d->subscriptions[i];
        uint16_t channel = 0, device = 0;
        qnb_error e = put_name(l, s.tx_channel, &channel);
        if (!e)
            e = put_name(l, s.tx_device, &device);
        if (e)
            return e;
        uint8_t *p = buffer + i * WR_FLOW_SUBSCRIPTION_SIZE;
        wgcp_store_be16(p, s.rx_id);
        wgcp_store_be16(p + 2, channel);
        wgcp_store_be16(p + 4, device);
        wgcp_store_be16(p + 6, s.status);
    }
    return put_bytes(l, buffer, static_cast<uint16_t>(d->num_subscriptions * WR_FLOW_SUBSCRIPTION_SIZE), 1, at);
}

qnb_error encode_record(wr_msg_list *l, int form, const wr_flow_desc *d)
{
    uint16_t list_at = 0, addresses_at = 0, ext_at = 0, subs_at = 0;
    qnb_error e = form == WR_FLOW_RECORDS_TX ? encode_u16_pairs(l, d->num_slots, d->slots, 0, &list_at)
                                             : encode_u16_pairs(l, d->num_feeds, d->feeds, 1, &list_at);
    if (!e)
        e = encode_addresses(l, d, &addresses_at);
    if (!e)
        e = encode_ext(l, d, &ext_at);
    if (!e && form == WR_FLOW_RECORDS_TEMPLATE)
        e = encode_subscriptions(l, d, &subs_at);
    uint8_t *p = nullptr;
    if (!e)
        e = wr_msg_list_next(l, &p);
    if (e)
        return e;
    wgcp_store_be16(p, d->id);
    wgcp_store_be16(p + 2, d->flags);
    if (form == WR_FLOW_RECORDS_TX) {
        wgcp_store_be32(p + 4, d->format32);
        wgcp_store_be16(p + 8, d->format16);
        wgcp_store_be16(p + 10, d->num_slots);
        wgcp_store_be16(p + 12, list_at);
        wgcp_store_be16(p + 14, d->num_interfaces);
        wgcp_store_be16(p + 16, addresses_at);
        wgcp_store_be16(p + 18, ext_at);
    } else {
        wgcp_store_be16(p + 4, d->num_slots);
        wgcp_store_be16(p + 6, d->num_feeds);
        wgcp_store_be16(p + 8, list_at);
        wgcp_store_be16(p + 10, d->num_interfaces);
        wgcp_store_be16(p + 12, addresses_at);
        wgcp_store_be16(p + 14, ext_at);
        wgcp_store_be16(p + 16, d->counters[0]);
        wgcp_store_be16(p + 18, d->counters[1]);
        if (form == WR_FLOW_RECORDS_TEMPLATE) {
            wgcp_store_be16(p + 20, d->num_subscriptions);
            wgcp_store_be16(p + 22, subs_at);
        }
    }
    return QNB_ERR_SUCCESS;
}

uint16_t stride_of(int form)
{
    return form == WR_FLOW_RECORDS_TX   ? uint16_t(WR_FLOW_TX_RECORD_SIZE)
           : form == WR_FLOW_RECORDS_RX ? uint16_t(WR_FLOW_RX_RECORD_SIZE)
                                        : uint16_t(WR_FLOW_TEMPLATE_RECORD_SIZE);
}

// Packs the largest leading run of items that fits: `pack(l, k)` writes k items into a fresh list.
template <typename Begin, typename Add>
qnb_error pack_fitting(uint16_t n, uint16_t *written, Begin begin, Add add)
{
    if (n > 255)
        n = 255;
    for (uint16_t k = n; k >= 1; k--) {
        wr_msg_list l;
        qnb_error e = begin(&l, k);
        for (uint16_t i = 0; !e && i < k; i++)
            e = add(&l, i);
        if (!e) {
            *written = k;
            return QNB_ERR_SUCCESS;
        }
        if (e != QNB_ERR_MSGSIZE)
            return e;
    }
    return QNB_ERR_MSGSIZE;
}

} // namespace

qnb_error wr_flow_encode(wgcp_builder *b, uint16_t version, uint16_t opcode, uint16_t result, int form,
                         const wr_flow_desc *flows, uint16_t n, uint16_t *written)
{
    if (!b || !written || (n && !flows) || form < WR_FLOW_RECORDS_TX || form > WR_FLOW_RECORDS_TEMPLATE)
        return QNB_ERR_INVALIDPARAMETER;
    *written = 0;
    uint16_t stride = stride_of(form);
    if (n == 0) {
        wr_msg_list l;
        qnb_error e = wr_msg_begin(b, version, opcode);
        if (!e)
            e = wr_msg_list_begin(&l, b, stride, 0, 0, 0);
        if (!e)
            wgcp_header_set_status(b->packet, result);
        return e;
    }
    qnb_error e = pack_fitting(
        n, written,
        [&](wr_msg_list *l, uint16_t k) {
            qnb_error r = wr_msg_begin(b, version, opcode);
            return r ? r : wr_msg_list_begin(l, b, stride, k, 0, 0);
        },
        [&](wr_msg_list *l, uint16_t i) { return encode_record(l, form, &flows[i]); });
    if (!e)
        wgcp_header_set_status(b->packet, result);
    return e;
}

qnb_error wr_flow_batch_pack_tx_flows(wgcp_builder *b, uint16_t version, const wr_flow_desc *items, uint16_t n,
                                      uint16_t *packed)
{
    if (!packed || n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    return wr_flow_encode(b, version, WR_OP_TX_FLOW_BATCH, 0, WR_FLOW_RECORDS_TX, items, n, packed);
}

qnb_error wr_flow_batch_pack_rx_names(wgcp_builder *b, uint16_t version, const wr_flow_rxname_item *items, uint16_t n,
                                      uint16_t *packed)
{
    if (!b || !items || !packed || n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    return pack_fitting(
        n, packed, [&](wr_msg_list *l, uint16_t k) { return wr_msg_rx_rename_begin(l, b, version, k); },
        [&](wr_msg_list *l, uint16_t i) {
            char name[WR_NAME_SIZE];
            memcpy(name, items[i].name, sizeof name);
            name[WR_NAME_SIZE - 1] = '\0';
            return wr_msg_rx_rename_add(l, items[i].rx_channel, name);
        });
}

qnb_error wr_flow_batch_pack_labels(wgcp_builder *b, uint16_t version, const wr_flow_label_item *items, uint16_t n,
                                    uint16_t *packed)
{
    if (!b || !items || !packed || n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    return pack_fitting(
        n, packed, [&](wr_msg_list *l, uint16_t k) { return wr_msg_label_begin(l, b, version, k); },
        [&](wr_msg_list *l, uint16_t i) {
            char name[WR_NAME_SIZE];
            memcpy(name, items[i].name, sizeof name);
            name[WR_NAME_SIZE - 1] = '\0';
            return wr_msg_label_add(l, items[i].label_id, items[i].channel_id, name);
        });
}
