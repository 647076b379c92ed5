#include "testnet/tn_routing_device.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <dns_sd.h>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "testnet/tn_clock.h"
#include "testnet/tn_dnssd.h"
#include "testnet/tn_impair.h"

namespace {

enum : uint16_t {
    OP_CAPABILITIES = 0x1000,
    OP_RENAME = 0x1001,
    OP_NAMES = 0x1002,
    OP_NAMES_EXTENDED = 0x1003,
    OP_PROPERTIES = 0x1100,
    OP_UNICAST_PERFORMANCE = 0x1101,
    OP_PROP_AVAIL = 0x1102,
    OP_TX_CHANNELS = 0x2000,
    OP_TX_LABELS = 0x2010,
    OP_TX_LABEL_CHANGE = 0x2011,
    OP_TX_UNMUTE = 0x2030,
    OP_TX_MUTE = 0x2031,
    OP_TX_FLOWS = 0x2200,
    OP_TX_FLOW_BATCH = 0x2201,
    OP_RX_CHANNELS = 0x3000,
    OP_RX_RENAME = 0x3001,
    OP_RX_SUBSCRIBE = 0x3010,
    OP_RX_UNSUBSCRIBE = 0x3014,
    OP_RX_UNMUTE = 0x3030,
    OP_RX_MUTE = 0x3031,
    OP_RX_FLOWS = 0x3200,
    OP_RX_FLOW_CHANGE = 0x3201,
    OP_PERFORMANCE = 0x3300,
    OP_CHANGES_AGAIN = 0x1F11,
    OP_TX_DETAIL_FIRST = 0x2020, // 0x2020-0x2023: flag changes on id ranges
    OP_TX_DETAIL_LAST = 0x2023,
    OP_TX_VALUES = 0x2032,
    OP_TX_VALUES_2 = 0x2033,
    OP_RX_FLOW_REFRESH = 0x3210
};

enum : size_t {
    HEADER_SIZE = 10,
    LIST_HEAD = 12, // capacity byte 10, count byte 11, entries from 12
    TX_ENTRY_SIZE = 8,
    RX_ENTRY_SIZE = 20,
    RECEIVE_SIZE = TN_ROUTING_PACKET_SIZE + 100
};

// Properties the device knows, in the order the client asks for them, and 0x8304, which it only
// reports as available.
const uint16_t k_property_ids[] = {0x0201, 0x8204, 0x8205, 0x0210, 0x0211, 0x8301, 0x8302, 0x8306,
                                   0x0310, 0x0311, 0x0303, 0x8021, 0x00F0, 0x8060, 0x0022, 0x8304};
const uint16_t PROP_MODEL_TEXT = 0x8021;
const uint16_t PROP_LATENCY_NS = 0x8205;

// PROP_AVAIL flags by default: 1 (mask 0) for every property, 3 (masks 0 and 1: settable) for those
// the unicast-performance request may set.
uint16_t default_property_flags(uint16_t id)
{
    return id == 0x8205 || id == 0x0211 || id == 0x8301 || id == 0x0310 || id == 0x8304 ? 0x3 : 0x1;
}

bool property_is_wide(uint16_t id)
{
    return (id & 0x8000) != 0 && id != PROP_MODEL_TEXT;
}

bool property_is_known(uint16_t id)
{
    for (uint16_t k : k_property_ids)
        if (k == id)
            return true;
    return false;
}

// The device-name rule: 1 to 32 characters, none of '.', '=', '@'.
bool name_is_valid(const char *name)
{
    size_t n = name ? strlen(name) : 0;
    if (n == 0 || n > 32)
        return false;
    return strpbrk(name, ".=@") == nullptr;
}

void copy_name(char (&dst)[TN_ROUTING_NAME_SIZE], const char *src)
{
    snprintf(dst, sizeof dst, "%s", src ? src : "");
}

struct channel {
    char name[TN_ROUTING_NAME_SIZE];
    bool muted;
};

struct rx_channel : channel {
    char default_name[TN_ROUTING_NAME_SIZE];
    char tx_channel[TN_ROUTING_NAME_SIZE];
    char tx_device[TN_ROUTING_NAME_SIZE];
};

struct label_slot {
    char name[TN_ROUTING_NAME_SIZE];
    uint16_t tx_id; // 0: free
};

struct held_answer {
    uint64_t due;
    qnb_sockaddr to;
    bool other_port;
    std::vector<uint8_t> bytes;
};

// Strings of one message, each stored once.
struct string_table {
    std::vector<std::pair<std::string, uint16_t>> entries;
};

qnb_error put_string(wgcp_writer *w, string_table *table, const char *text, uint16_t *offset)
{
    for (const auto &e : table->entries)
        if (e.first == text) {
            *offset = e.second;
            return QNB_ERR_SUCCESS;
        }
    size_t at = w->length;
    size_t n = strlen(text) + 1;
    if (at > 0xFFFF || !wgcp_writer_fits(w, n))
        return QNB_ERR_MSGSIZE;
    qnb_error err = wgcp_writer_put_bytes(w, text, n);
    if (err)
        return err;
    table->entries.emplace_back(text, static_cast<uint16_t>(at));
    *offset = static_cast<uint16_t>(at);
    return QNB_ERR_SUCCESS;
}

} // namespace

struct tn_routing_device {
    tn_routing_device_config cfg;
    qnb_socket sock;
    qnb_socket other_sock;
    uint16_t port;
    uint16_t other_port;
    std::vector<channel> tx;
    std::vector<rx_channel> rx;
    std::vector<label_slot> labels;
    std::map<uint16_t, uint32_t> properties;
    std::map<uint16_t, uint16_t> property_flags;
    uint16_t performance[2];
    tn_routing_resolver_fn resolver;
    void *resolver_context;
    // request log
    std::deque<tn_routing_log_entry> log;
    std::map<uint16_t, unsigned> counts;
    FILE *trace;
    // misbehaviour
    bool silent;
    unsigned drop_countdown;
    uint32_t delay_ms;
    unsigned hold_countdown; // the answer to this request (counted down) is held for hold_ms
    uint32_t hold_ms;
    bool holding;            // the answer being built is the one to hold
    unsigned faults;
    uint16_t fault_opcode;
    size_t truncate_cut;
    bool truncate_fix_length;
    std::map<uint16_t, uint16_t> results;
    std::map<uint16_t, std::pair<uint16_t, std::vector<uint8_t>>> bodies; // opcode -> result, body
    std::vector<held_answer> held;
    tn_impair impair_in, impair_out; // a lossy network on the way in and out
    unsigned long received = 0;      // datagrams read from the socket, before the lossy network
    unsigned long sent = 0;          // answers handed to a socket, after the lossy network
    uint16_t vanish_opcode;
    unsigned vanish_countdown; // answered requests (of vanish_opcode, 0: any) until it goes silent
    // DNS-SD
    void *dnssd_ref;
    int publish_pid;
    bool published;
    int32_t publish_error;
    // the answer being built
    uint8_t out[TN_ROUTING_PACKET_SIZE];
};

// ---------------------------------------------------------------------------------------------
// Configuration and life cycle

void tn_routing_device_config_init(tn_routing_device_config *cfg, tn_routing_model model, unsigned unit)
{
    if (!cfg)
        return;
    memset(cfg, 0, sizeof *cfg);
    const char *tag = "KTV4S";
    if (model == TN_ROUTING_MODEL_RQA310) {
        snprintf(cfg->model_name, sizeof cfg->model_name, "%s", "RQA-310");
        tag = "RQA310";
        cfg->tx_count = 2;
        cfg->rx_count = 2;
    } else if (model == TN_ROUTING_MODEL_KTV4S) {
        snprintf(cfg->model_name, sizeof cfg->model_name, "%s", "KTV4-S");
        cfg->tx_count = 64;
        cfg->rx_count = 64;
    } else {
        snprintf(cfg->model_name, sizeof cfg->model_name, "%s", "custom");
        tag = "DEV";
        cfg->tx_count = 8;
        cfg->rx_count = 8;
    }
    snprintf(cfg->name, sizeof cfg->name, "T%03X-%s-%04X-QZ", unit & 0xFFF, tag, unit & 0xFFFF);
    cfg->arcp_version = TN_ROUTING_DEFAULT_ARCP;
    cfg->router_major = 4;
    cfg->router_minor = 2;
    cfg->router_patch = 1;
    cfg->page_size = 16;
    cfg->interface_count = 1;
    cfg->tx_flow_slots = 4;
    cfg->rx_flow_slots = 4;
    cfg->tx_flow_max = 32;
    cfg->rx_flow_max = 32;
}

namespace {

qnb_error open_socket(uint32_t address, uint16_t port, qnb_socket *sock, uint16_t *bound_port)
{
    qnb_sockaddr at;
    qnb_sockaddr_set(&at, address ? address : htonl(INADDR_LOOPBACK), port);
    qnb_sockaddr bound;
    qnb_error err;
    if ((err = qnb_socket_open_udp(sock, AF_INET)) || (err = qnb_socket_bind(*sock, &at)) ||
        (err = qnb_socket_set_nonblocking(*sock, 0)) || (err = qnb_socket_get_name(*sock, &bound))) {
        qnb_socket_close(sock);
        return err;
    }
    *bound_port = qnb_sockaddr_get_port(&bound);
    return QNB_ERR_SUCCESS;
}

void set_default_properties(tn_routing_device *dev)
{
    dev->properties = {{0x0201, 48000},  {0x8204, 1000000}, {0x8205, 1000000}, {0x0210, 4},
                       {0x0211, 16},     {0x8301, 1000000}, {0x8302, 2000000}, {0x8306, 5000000},
                       {0x0310, 16},     {0x0311, 4},       {0x0303, 1},       {0x00F0, 1},
                       {0x8060, 0x10000}, {0x0022, 2},      {0x8304, 1000}};
    for (uint16_t id : k_property_ids)
        dev->property_flags[id] = default_property_flags(id);
    dev->performance[0] = 4;
    dev->performance[1] = 48;
}

} // namespace

tn_routing_device *tn_routing_device_new(const tn_routing_device_config *cfg, qnb_error *error)
{
    qnb_error err = QNB_ERR_SUCCESS;
    tn_routing_device *dev = nullptr;
    if (!cfg || !name_is_valid(cfg->name) || cfg->tx_count > TN_ROUTING_MAX_CHANNELS ||
        cfg->rx_count > TN_ROUTING_MAX_CHANNELS || cfg->label_slots > TN_ROUTING_MAX_LABELS) {
        err = QNB_ERR_INVALIDPARAMETER;
    } else if (!(dev = new (std::nothrow) tn_routing_device())) {
        err = QNB_ERR_NOMEMORY;
    }
    if (err) {
        if (error)
            *error = err;
        return nullptr;
    }
    dev->cfg = *cfg;
    dev->cfg.name[TN_ROUTING_NAME_SIZE - 1] = '\0';
    dev->cfg.distinct_name[TN_ROUTING_NAME_SIZE - 1] = '\0';
    dev->cfg.model_name[sizeof dev->cfg.model_name - 1] = '\0';
    if (dev->cfg.page_size == 0)
        dev->cfg.page_size = 16;
    dev->sock = QNB_SOCKET_INVALID;
    dev->other_sock = QNB_SOCKET_INVALID;
    dev->publish_pid = -1;
    dev->tx.resize(cfg->tx_count);
    for (size_t i = 0; i < dev->tx.size(); ++i) {
        snprintf(dev->tx[i].name, sizeof dev->tx[i].name, "%02u", static_cast<unsigned>(i + 1));
        dev->tx[i].muted = false;
    }
    dev->rx.resize(cfg->rx_count);
    for (size_t i = 0; i < dev->rx.size(); ++i) {
        rx_channel &c = dev->rx[i];
        memset(&c, 0, sizeof c);
        snprintf(c.default_name, sizeof c.default_name, "%02u", static_cast<unsigned>(i + 1));
        memcpy(c.name, c.default_name, sizeof c.name);
    }
    dev->labels.resize(cfg->label_slots);
    for (label_slot &l : dev->labels)
        memset(&l, 0, sizeof l);
    set_default_properties(dev);

    if ((err = open_socket(cfg->address, cfg->port, &dev->sock, &dev->port)) ||
        (err = open_socket(cfg->address, 0, &dev->other_sock, &dev->other_port))) {
        tn_routing_device_delete(dev);
        if (error)
            *error = err;
        return nullptr;
    }
    if (error)
        *error = QNB_ERR_SUCCESS;
    return dev;
}

void tn_routing_device_delete(tn_routing_device *dev)
{
    if (!dev)
        return;
    tn_routing_device_unpublish(dev);
    qnb_socket_close(&dev->sock);
    qnb_socket_close(&dev->other_sock);
    delete dev;
}

const char *tn_routing_device_get_name(const tn_routing_device *dev)
{
    return dev ? dev->cfg.name : "";
}

uint16_t tn_routing_device_get_port(const tn_routing_device *dev)
{
    return dev ? dev->port : 0;
}

qnb_socket tn_routing_device_get_socket(const tn_routing_device *dev)
{
    return dev ? dev->sock : QNB_SOCKET_INVALID;
}

uint16_t tn_routing_device_get_other_port(const tn_routing_device *dev)
{
    return dev ? dev->other_port : 0;
}

const tn_routing_device_config *tn_routing_device_get_config(const tn_routing_device *dev)
{
    return dev ? &dev->cfg : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Channels and subscriptions

namespace {

uint8_t subscription_status(const tn_routing_device *dev, const char *tx_channel, const char *tx_device)
{
    if (!tx_channel[0])
        return 0;
    if (dev->resolver)
        return dev->resolver(dev->resolver_context, dev, tx_channel, tx_device) ? 2 : 1;
    bool local = strcmp(tx_device, ".") == 0 || strcasecmp(tx_device, dev->cfg.name) == 0;
    return local && tn_routing_device_has_txchannel(dev, tx_channel) ? 2 : 1;
}

void store_subscription(rx_channel &c, const char *tx_channel, const char *tx_device)
{
    if (!tx_channel || !tx_channel[0]) {
        c.tx_channel[0] = '\0';
        c.tx_device[0] = '\0';
        return;
    }
    copy_name(c.tx_channel, tx_channel);
    copy_name(c.tx_device, tx_device);
}

} // namespace

bool tn_routing_device_get_subscription(const tn_routing_device *dev, uint16_t rx_id, tn_routing_subscription *out)
{
    if (!dev || !out || rx_id == 0 || rx_id > dev->rx.size())
        return false;
    const rx_channel &c = dev->rx[rx_id - 1];
    memset(out, 0, sizeof *out);
    out->rx_id = rx_id;
    copy_name(out->tx_channel, c.tx_channel);
    copy_name(out->tx_device, c.tx_device);
    out->status = subscription_status(dev, c.tx_channel, c.tx_device);
    return true;
}

unsigned tn_routing_device_subscription_count(const tn_routing_device *dev)
{
    unsigned n = 0;
    if (dev)
        for (const rx_channel &c : dev->rx)
            n += c.tx_channel[0] ? 1 : 0;
    return n;
}

qnb_error tn_routing_device_set_subscription(tn_routing_device *dev, uint16_t rx_id, const char *tx_channel,
                                             const char *tx_device)
{
    if (!dev || rx_id == 0 || rx_id > dev->rx.size())
        return QNB_ERR_INVALIDPARAMETER;
    bool set = tx_channel && tx_channel[0];
    if (set && (!name_is_valid(tx_channel) || !tx_device ||
                (strcmp(tx_device, ".") != 0 && !name_is_valid(tx_device))))
        return QNB_ERR_INVALIDPARAMETER;
    store_subscription(dev->rx[rx_id - 1], set ? tx_channel : nullptr, tx_device);
    return QNB_ERR_SUCCESS;
}

void tn_routing_device_dump_subscriptions(const tn_routing_device *dev, FILE *out)
{
    if (!dev || !out)
        return;
    for (size_t i = 0; i < dev->rx.size(); ++i) {
        const rx_channel &c = dev->rx[i];
        if (c.tx_channel[0])
            fprintf(out, "%s %u %s %s@%s %u\n", dev->cfg.name, static_cast<unsigned>(i + 1), c.name, c.tx_channel,
                    c.tx_device, subscription_status(dev, c.tx_channel, c.tx_device));
    }
    fflush(out);
}

void tn_routing_device_set_resolver(tn_routing_device *dev, tn_routing_resolver_fn fn, void *context)
{
    if (!dev)
        return;
    dev->resolver = fn;
    dev->resolver_context = context;
}

bool tn_routing_device_has_txchannel(const tn_routing_device *dev, const char *name)
{
    if (!dev || !name)
        return false;
    for (const channel &c : dev->tx)
        if (strcasecmp(c.name, name) == 0)
            return true;
    for (const label_slot &l : dev->labels)
        if (l.tx_id && strcasecmp(l.name, name) == 0)
            return true;
    return false;
}

const char *tn_routing_device_rx_name(const tn_routing_device *dev, uint16_t rx_id)
{
    return dev && rx_id >= 1 && rx_id <= dev->rx.size() ? dev->rx[rx_id - 1].name : nullptr;
}

const char *tn_routing_device_tx_name(const tn_routing_device *dev, uint16_t tx_id)
{
    return dev && tx_id >= 1 && tx_id <= dev->tx.size() ? dev->tx[tx_id - 1].name : nullptr;
}

bool tn_routing_device_rx_muted(const tn_routing_device *dev, uint16_t rx_id)
{
    return dev && rx_id >= 1 && rx_id <= dev->rx.size() && dev->rx[rx_id - 1].muted;
}

bool tn_routing_device_tx_muted(const tn_routing_device *dev, uint16_t tx_id)
{
    return dev && tx_id >= 1 && tx_id <= dev->tx.size() && dev->tx[tx_id - 1].muted;
}

const char *tn_routing_device_label(const tn_routing_device *dev, uint16_t id, uint16_t *tx_id)
{
    if (tx_id)
        *tx_id = 0;
    if (!dev || id == 0 || id > dev->labels.size() || !dev->labels[id - 1].tx_id)
        return nullptr;
    if (tx_id)
        *tx_id = dev->labels[id - 1].tx_id;
    return dev->labels[id - 1].name;
}

qnb_error tn_routing_device_set_property(tn_routing_device *dev, uint16_t id, uint32_t value, uint16_t flags)
{
    if (!dev || !property_is_known(id) || id == PROP_MODEL_TEXT || flags > 3)
        return QNB_ERR_INVALIDPARAMETER;
    dev->properties[id] = value;
    dev->property_flags[id] = flags;
    return QNB_ERR_SUCCESS;
}

bool tn_routing_device_get_property(const tn_routing_device *dev, uint16_t id, uint32_t *value)
{
    if (!dev || !value)
        return false;
    auto it = dev->properties.find(id);
    if (it == dev->properties.end())
        return false;
    *value = it->second;
    return true;
}

void tn_routing_device_set_performance(tn_routing_device *dev, uint16_t first, uint16_t second)
{
    if (!dev)
        return;
    dev->performance[0] = first;
    dev->performance[1] = second;
}

qnb_error tn_routing_device_set_body(tn_routing_device *dev, uint16_t opcode, uint16_t result, const void *body,
                                     size_t size)
{
    if (!dev || (size && !body) || size > TN_ROUTING_PACKET_SIZE - HEADER_SIZE)
        return QNB_ERR_INVALIDPARAMETER;
    if (!body && result == 0) {
        dev->bodies.erase(opcode);
        return QNB_ERR_SUCCESS;
    }
    const uint8_t *b = static_cast<const uint8_t *>(body);
    dev->bodies[opcode] = std::make_pair(result, std::vector<uint8_t>(b, b + size));
    return QNB_ERR_SUCCESS;
}

uint32_t tn_routing_device_latency_ns(const tn_routing_device *dev)
{
    if (!dev)
        return 0;
    auto it = dev->properties.find(PROP_LATENCY_NS);
    return it == dev->properties.end() ? 0 : it->second;
}

// ---------------------------------------------------------------------------------------------
// Request log and misbehaviour settings

size_t tn_routing_device_log_count(const tn_routing_device *dev)
{
    return dev ? dev->log.size() : 0;
}

bool tn_routing_device_log_at(const tn_routing_device *dev, size_t index, tn_routing_log_entry *out)
{
    if (!dev || !out || index >= dev->log.size())
        return false;
    *out = dev->log[index];
    return true;
}

unsigned tn_routing_device_request_count(const tn_routing_device *dev, uint16_t opcode)
{
    if (!dev)
        return 0;
    auto it = dev->counts.find(opcode);
    return it == dev->counts.end() ? 0 : it->second;
}

void tn_routing_device_clear_log(tn_routing_device *dev)
{
    if (!dev)
        return;
    dev->log.clear();
    dev->counts.clear();
}

void tn_routing_device_set_trace(tn_routing_device *dev, FILE *out)
{
    if (dev)
        dev->trace = out;
}

void tn_routing_device_set_silent(tn_routing_device *dev, bool silent)
{
    if (dev)
        dev->silent = silent;
}

void tn_routing_device_drop_nth(tn_routing_device *dev, unsigned n)
{
    if (dev)
        dev->drop_countdown = n;
}

void tn_routing_device_delay_nth(tn_routing_device *dev, unsigned n, uint32_t ms)
{
    if (!dev)
        return;
    dev->hold_countdown = n;
    dev->hold_ms = ms;
}

void tn_routing_device_set_impairment(tn_routing_device *dev, unsigned loss_pct, unsigned duplicate_pct,
                                      unsigned reorder_pct, uint64_t seed)
{
    if (!dev)
        return;
    tn_impair_init(&dev->impair_in, loss_pct, duplicate_pct, reorder_pct, seed);
    tn_impair_init(&dev->impair_out, loss_pct, duplicate_pct, reorder_pct, ~seed);
}

void tn_routing_device_set_delay_range(tn_routing_device *dev, unsigned min_ms, unsigned max_ms)
{
    if (dev)
        tn_impair_set_delay(&dev->impair_out, min_ms, max_ms);
}

unsigned long tn_routing_device_impaired(const tn_routing_device *dev)
{
    return dev ? tn_impair_events(&dev->impair_in) + tn_impair_events(&dev->impair_out) : 0;
}

unsigned long tn_routing_device_received(const tn_routing_device *dev)
{
    return dev ? dev->received : 0;
}

unsigned long tn_routing_device_sent(const tn_routing_device *dev)
{
    return dev ? dev->sent : 0;
}

void tn_routing_device_vanish_after(tn_routing_device *dev, uint16_t opcode, unsigned n)
{
    if (!dev)
        return;
    dev->vanish_opcode = opcode;
    dev->vanish_countdown = n;
}

bool tn_routing_device_get_silent(const tn_routing_device *dev)
{
    return dev && dev->silent;
}

void tn_routing_device_set_delay_ms(tn_routing_device *dev, uint32_t ms)
{
    if (dev)
        dev->delay_ms = ms;
}

void tn_routing_device_set_faults(tn_routing_device *dev, unsigned faults, uint16_t opcode)
{
    if (!dev)
        return;
    dev->faults = faults;
    dev->fault_opcode = opcode;
}

void tn_routing_device_set_truncate(tn_routing_device *dev, size_t cut, bool fix_length)
{
    if (!dev)
        return;
    dev->truncate_cut = cut ? cut : 1;
    dev->truncate_fix_length = fix_length;
}

void tn_routing_device_set_result(tn_routing_device *dev, uint16_t opcode, uint16_t result)
{
    if (!dev)
        return;
    if (result)
        dev->results[opcode] = result;
    else
        dev->results.erase(opcode);
}

// ---------------------------------------------------------------------------------------------
// Answers

namespace {

// A request as it arrived: the view covers the bytes the length field names.
struct request {
    wgcp_reader r;
    uint16_t version, length, seqnum, opcode, result;
    qnb_sockaddr from;
};

// Starts an answer with the header (its length is set when it is sent).
void begin(tn_routing_device *dev, wgcp_writer *w, const request &req)
{
    wgcp_writer_init(w, dev->out, sizeof dev->out, 0);
    wgcp_writer_put_u16(w, dev->cfg.arcp_version);
    wgcp_writer_put_u16(w, HEADER_SIZE);
    wgcp_writer_put_u16(w, req.seqnum);
    wgcp_writer_put_u16(w, req.opcode);
    wgcp_writer_put_u16(w, TN_ROUTING_RESULT_OK);
}

// An entry list head with `count` entries of `size` bytes, reserved as zeros.
qnb_error begin_list(wgcp_writer *w, unsigned count, size_t size, size_t *first)
{
    qnb_error err;
    if ((err = wgcp_writer_put_u8(w, static_cast<uint8_t>(count))) ||
        (err = wgcp_writer_put_u8(w, static_cast<uint8_t>(count))))
        return err;
    return wgcp_writer_reserve(w, count * size, first);
}

void queue_datagram(tn_routing_device *dev, const qnb_sockaddr &to, bool other, const uint8_t *bytes, size_t size)
{
    held_answer h;
    h.due = tn_now_micros() + static_cast<uint64_t>(dev->holding ? dev->hold_ms : dev->delay_ms) * 1000u;
    h.to = to;
    h.other_port = other;
    h.bytes.assign(bytes, bytes + size);
    dev->held.push_back(std::move(h));
}

struct outgoing {
    tn_routing_device *dev;
    qnb_socket sock;
};

void deliver_answer(void *context, const qnb_sockaddr *to, const uint8_t *bytes, size_t size)
{
    const outgoing *o = static_cast<const outgoing *>(context);
    if (qnb_socket_sendto(o->sock, bytes, &size, to) == QNB_ERR_SUCCESS)
        ++o->dev->sent;
}

void send_due(tn_routing_device *dev)
{
    uint64_t now = tn_now_micros();
    for (size_t i = 0; i < dev->held.size();) {
        held_answer &h = dev->held[i];
        if (h.due > now) {
            ++i;
            continue;
        }
        outgoing o = {dev, h.other_port ? dev->other_sock : dev->sock};
        tn_impair_pass(&dev->impair_out, &h.to, h.bytes.data(), h.bytes.size(), deliver_answer, &o);
        dev->held.erase(dev->held.begin() + static_cast<long>(i));
    }
}

// Sends the answer in `out`, misbehaving as asked.
void send_answer(tn_routing_device *dev, const request &req, wgcp_writer *w, uint16_t result)
{
    size_t size = w->length;
    wgcp_store_be16(dev->out + 2, static_cast<uint16_t>(size));
    wgcp_store_be16(dev->out + 8, result);
    if (!dev->log.empty()) {
        dev->log.back().answered = true;
        dev->log.back().result = result;
    }
    unsigned faults = (dev->fault_opcode == 0 || dev->fault_opcode == req.opcode) ? dev->faults : 0;
    if (faults & TN_ROUTING_FAULT_WRONG_SEQNUM)
        wgcp_store_be16(dev->out + 4, static_cast<uint16_t>(req.seqnum + 0x100));
    if (faults & TN_ROUTING_FAULT_WRONG_OPCODE)
        wgcp_store_be16(dev->out + 6, static_cast<uint16_t>(req.opcode ^ 0x0800));
    if (faults & TN_ROUTING_FAULT_TRUNCATE) {
        size = dev->truncate_cut >= size ? 0 : size - (dev->truncate_cut ? dev->truncate_cut : 1);
        if (dev->truncate_fix_length && size >= 4)
            wgcp_store_be16(dev->out + 2, static_cast<uint16_t>(size));
    }
    bool other = (faults & TN_ROUTING_FAULT_OTHER_PORT) != 0;
    int copies = (faults & TN_ROUTING_FAULT_DUPLICATE) ? 2 : 1;
    for (int i = 0; i < copies; ++i)
        queue_datagram(dev, req.from, other, dev->out, size);
    send_due(dev);
}

void answer_result(tn_routing_device *dev, const request &req, uint16_t result)
{
    wgcp_writer w;
    begin(dev, &w, req);
    send_answer(dev, req, &w, result);
}

// Ids named by an id list {first, last} / {0, id} in entries of 4 bytes from byte 12, clamped to
// 1..limit: {first, last} with last 0 or beyond the limit ends at the limit, and is empty when
// last < first; {0, id} names one id, ignored when 0 or beyond the limit.
qnb_error read_id_list(const request &req, size_t limit, std::vector<uint16_t> *ids)
{
    uint8_t count = 0;
    qnb_error err = wgcp_reader_u8_at(&req.r, 11, &count);
    if (err)
        return err;
    for (unsigned i = 0; i < count; ++i) {
        uint16_t first = 0, last = 0;
        size_t at = LIST_HEAD + 4u * i;
        if ((err = wgcp_reader_u16_at(&req.r, at, &first)) || (err = wgcp_reader_u16_at(&req.r, at + 2, &last)))
            return err;
        if (first == 0) {
            if (last >= 1 && last <= limit)
                ids->push_back(last);
            continue;
        }
        size_t end = (last == 0 || last > limit) ? limit : last;
        for (size_t id = first; id <= end; ++id)
            ids->push_back(static_cast<uint16_t>(id));
    }
    return QNB_ERR_SUCCESS;
}

// A name by offset in a request: inside the message, after the list head, terminated, and a
// valid device name (or "." where `local_ok`).
bool read_name(const request &req, uint16_t offset, bool local_ok, char (&out)[TN_ROUTING_NAME_SIZE])
{
    out[0] = '\0';
    if (offset < LIST_HEAD)
        return false;
    size_t length = 0;
    if (wgcp_reader_string_at(&req.r, offset, out, sizeof out, &length) || length > 32)
        return false;
    return name_is_valid(out) || (local_ok && strcmp(out, ".") == 0);
}

// The first id of a paged query: its range {first, 0}; 0 or a missing range starts at 1.
uint16_t page_start(const request &req)
{
    uint8_t count = 0;
    uint16_t first = 0;
    if (wgcp_reader_u8_at(&req.r, 11, &count) || count == 0 || wgcp_reader_u16_at(&req.r, LIST_HEAD, &first))
        return 1;
    return first ? first : 1;
}

qnb_error put_format(wgcp_writer *w, uint16_t *offset)
{
    // 48 kHz, one encoding (24), then the reserved u16 and three u16 values.
    qnb_error err;
    if ((err = wgcp_writer_pad(w, 4)))
        return err;
    size_t at = w->length;
    if (at > 0xFFFF)
        return QNB_ERR_MSGSIZE;
    const uint8_t block[16] = {0x00, 0x00, 0xBB, 0x80, 1, 1, 0x00, 24, 0, 0, 0, 0, 0, 0, 0, 0};
    if ((err = wgcp_writer_put_bytes(w, block, sizeof block)))
        return err;
    *offset = static_cast<uint16_t>(at);
    return QNB_ERR_SUCCESS;
}

// The head of a channel page: the header, a list of `n` entries of `size` bytes and, when there
// are any, the format block they share.
qnb_error begin_page(tn_routing_device *dev, wgcp_writer *w, const request &req, unsigned n, size_t size,
                     size_t *entries, uint16_t *format)
{
    begin(dev, w, req);
    qnb_error err = begin_list(w, n, size, entries);
    if (!err && n)
        err = put_format(w, format);
    return err;
}

// One page of `n` tx channels from `first`.
qnb_error build_tx_page(tn_routing_device *dev, wgcp_writer *w, const request &req, size_t first, unsigned n)
{
    size_t entries = 0;
    uint16_t format = 0;
    string_table strings;
    qnb_error err = begin_page(dev, w, req, n, TX_ENTRY_SIZE, &entries, &format);
    for (unsigned i = 0; !err && i < n; ++i) {
        const channel &c = dev->tx[first - 1 + i];
        uint16_t name = 0;
        if ((err = put_string(w, &strings, c.name, &name)))
            break;
        size_t at = entries + TX_ENTRY_SIZE * i;
        uint16_t status = c.muted ? 0x4 : 0;
        wgcp_writer_set_u16_at(w, at, static_cast<uint16_t>(first + i));
        wgcp_writer_set_u16_at(w, at + 2, static_cast<uint16_t>(status << 1));
        wgcp_writer_set_u16_at(w, at + 4, format);
        wgcp_writer_set_u16_at(w, at + 6, name);
    }
    return err;
}

qnb_error build_rx_page(tn_routing_device *dev, wgcp_writer *w, const request &req, size_t first, unsigned n)
{
    size_t entries = 0;
    uint16_t format = 0;
    string_table strings;
    qnb_error err = begin_page(dev, w, req, n, RX_ENTRY_SIZE, &entries, &format);
    for (unsigned i = 0; !err && i < n; ++i) {
        const rx_channel &c = dev->rx[first - 1 + i];
        uint16_t name = 0, tx_channel = 0, tx_device = 0;
        if ((err = put_string(w, &strings, c.name, &name)))
            break;
        if (c.tx_channel[0] && ((err = put_string(w, &strings, c.tx_channel, &tx_channel)) ||
                                (err = put_string(w, &strings, c.tx_device, &tx_device))))
            break;
        size_t at = entries + RX_ENTRY_SIZE * i;
        // Mode bit 0 (flags bit 3): the channel may be subscribed to the local device ".".
        uint16_t status = c.muted ? 0x1 : 0;
        uint16_t flags = static_cast<uint16_t>(0x0008 | (status << 4));
        wgcp_writer_set_u16_at(w, at, static_cast<uint16_t>(first + i));
        wgcp_writer_set_u16_at(w, at + 2, flags);
        wgcp_writer_set_u16_at(w, at + 4, format);
        wgcp_writer_set_u16_at(w, at + 6, tx_channel);
        wgcp_writer_set_u16_at(w, at + 8, tx_device);
        wgcp_writer_set_u16_at(w, at + 10, name);
        // per-flow mask and bits (at + 12, + 13) stay 0
        wgcp_writer_set_u16_at(w, at + 14, subscription_status(dev, c.tx_channel, c.tx_device));
        // reserved (at + 16) and the value block offset (at + 18) stay 0
    }
    return err;
}

// A paged channel list: as many entries from the first asked for as the page size and the
// packet allow; "more to follow" while channels remain after the page.
void answer_page(tn_routing_device *dev, const request &req, bool tx)
{
    size_t count = tx ? dev->tx.size() : dev->rx.size();
    size_t first = page_start(req);
    size_t left = first <= count ? count - first + 1 : 0;
    unsigned n = static_cast<unsigned>(left < dev->cfg.page_size ? left : dev->cfg.page_size);
    if (n > 255)
        n = 255;
    wgcp_writer w;
    for (;;) {
        qnb_error err = tx ? build_tx_page(dev, &w, req, first, n) : build_rx_page(dev, &w, req, first, n);
        if (!err || n == 0)
            break;
        --n; // did not fit: one entry fewer
    }
    send_answer(dev, req, &w, n < left ? TN_ROUTING_RESULT_MORE : TN_ROUTING_RESULT_OK);
}

void answer_capabilities(tn_routing_device *dev, const request &req)
{
    const tn_routing_device_config &c = dev->cfg;
    wgcp_writer w;
    begin(dev, &w, req);
    const uint16_t head[] = {c.capability_word, static_cast<uint16_t>(dev->tx.size()),
                             static_cast<uint16_t>(dev->rx.size()), 0, c.tx_flow_slots, c.rx_flow_slots};
    for (uint16_t v : head)
        wgcp_writer_put_u16(&w, v);
    // Fields a client of an older version does not read are left out.
    if (c.arcp_version >= 0x2600) {
        const uint16_t sizes[] = {c.tx_flow_max, c.rx_flow_max, static_cast<uint16_t>(dev->labels.size()), 0,
                                  c.interface_count};
        for (uint16_t v : sizes)
            wgcp_writer_put_u16(&w, v);
    }
    if (c.arcp_version >= 0x2703)
        wgcp_writer_put_u32(&w, c.capability_flags);
    if (c.arcp_version >= 0x2711) {
        wgcp_writer_put_u16(&w, 0); // array switch word
        wgcp_writer_put_u16(&w, 0); // array mask
    }
    send_answer(dev, req, &w, TN_ROUTING_RESULT_OK);
}

void answer_prop_avail(tn_routing_device *dev, const request &req)
{
    wgcp_writer w;
    begin(dev, &w, req);
    const unsigned n = sizeof k_property_ids / sizeof k_property_ids[0];
    size_t entries = 0;
    begin_list(&w, n, 4, &entries);
    for (unsigned i = 0; i < n; ++i) {
        uint16_t id = k_property_ids[i];
        wgcp_writer_set_u16_at(&w, entries + 4 * i, id);
        wgcp_writer_set_u16_at(&w, entries + 4 * i + 2, dev->property_flags[id]);
    }
    send_answer(dev, req, &w, TN_ROUTING_RESULT_OK);
}

void answer_names(tn_routing_device *dev, const request &req)
{
    wgcp_writer w;
    begin(dev, &w, req);
    if (req.opcode == OP_NAMES) {
        wgcp_writer_put_bytes(&w, dev->cfg.name, strlen(dev->cfg.name) + 1);
        send_answer(dev, req, &w, TN_ROUTING_RESULT_OK);
        return;
    }
    // Extended form: u16 at 12 and 14 give the names record (16) and the version record (28);
    // the three names share one string.
    const tn_routing_device_config &c = dev->cfg;
    wgcp_writer_put_u16(&w, 0);
    wgcp_writer_put_u16(&w, 16);
    wgcp_writer_put_u16(&w, 28);
    const uint16_t name_at = 40;
    size_t name_size = strlen(c.name) + 1;
    bool distinct = c.distinct_name[0] && strcmp(c.distinct_name, c.name) != 0;
    uint16_t third = distinct ? static_cast<uint16_t>(name_at + name_size) : name_at;
    const uint16_t names[] = {0, name_at, name_at, third, 0, 0};
    for (uint16_t v : names)
        wgcp_writer_put_u16(&w, v);
    wgcp_writer_put_u32(&w, 0);
    wgcp_writer_put_u32(&w, static_cast<uint32_t>(c.router_major) << 24 | static_cast<uint32_t>(c.router_minor) << 16 |
                                static_cast<uint32_t>(c.router_patch & 0xFF) << 8);
    wgcp_writer_put_u16(&w, c.arcp_version);
    wgcp_writer_put_u16(&w, 0);
    wgcp_writer_put_bytes(&w, c.name, name_size);
    if (distinct)
        wgcp_writer_put_bytes(&w, c.distinct_name, strlen(c.distinct_name) + 1);
    send_answer(dev, req, &w, TN_ROUTING_RESULT_OK);
}

// A property entry {id, value}: 16-bit values inline, 32-bit values and the text by offset.
qnb_error put_property(tn_routing_device *dev, wgcp_writer *w, size_t at, uint16_t id, uint32_t value)
{
    qnb_error err = QNB_ERR_SUCCESS;
    uint16_t field = static_cast<uint16_t>(value);
    if (id == PROP_MODEL_TEXT) {
        size_t off = w->length;
        if ((err = wgcp_writer_put_bytes(w, dev->cfg.model_name, strlen(dev->cfg.model_name) + 1)))
            return err;
        field = static_cast<uint16_t>(off);
    } else if (property_is_wide(id)) {
        if ((err = wgcp_writer_pad(w, 4)))
            return err;
        size_t off = w->length;
        if ((err = wgcp_writer_put_u32(w, value)))
            return err;
        field = static_cast<uint16_t>(off);
    }
    wgcp_writer_set_u16_at(w, at, id);
    wgcp_writer_set_u16_at(w, at + 2, field);
    return err;
}

void answer_properties(tn_routing_device *dev, const request &req)
{
    uint8_t count = 0;
    std::vector<uint16_t> ids;
    if (!wgcp_reader_u8_at(&req.r, 11, &count)) {
        for (unsigned i = 0; i < count; ++i) {
            uint16_t id = 0;
            if (wgcp_reader_u16_at(&req.r, LIST_HEAD + 2u * i, &id))
                break;
            if (property_is_known(id) && dev->properties.count(id) + (id == PROP_MODEL_TEXT) > 0)
                ids.push_back(id);
        }
    }
    wgcp_writer w;
    begin(dev, &w, req);
    size_t entries = 0;
    qnb_error err = begin_list(&w, static_cast<unsigned>(ids.size()), 4, &entries);
    for (size_t i = 0; !err && i < ids.size(); ++i) {
        auto it = dev->properties.find(ids[i]);
        err = put_property(dev, &w, entries + 4 * i, ids[i], it == dev->properties.end() ? 0 : it->second);
    }
    send_answer(dev, req, &w, err ? TN_ROUTING_RESULT_BAD_DATA : TN_ROUTING_RESULT_OK);
}

void answer_performance(tn_routing_device *dev, const request &req)
{
    wgcp_writer w;
    begin(dev, &w, req);
    wgcp_writer_put_u32(&w, 0);
    wgcp_writer_put_u16(&w, dev->performance[0]);
    wgcp_writer_put_u16(&w, dev->performance[1]);
    send_answer(dev, req, &w, TN_ROUTING_RESULT_OK);
}

// Property entries to set: every entry is echoed in order, accepted ({id, value}) or refused
// ({1, id}: not settable, {2, id}: bad value).
void answer_unicast_performance(tn_routing_device *dev, const request &req)
{
    uint8_t count = 0;
    wgcp_reader_u8_at(&req.r, 11, &count);
    struct item {
        uint16_t id;
        uint32_t value;
        uint16_t refusal;
    };
    std::vector<item> items;
    for (unsigned i = 0; i < count; ++i) {
        uint16_t id = 0, field = 0;
        if (wgcp_reader_u16_at(&req.r, LIST_HEAD + 4u * i, &id) ||
            wgcp_reader_u16_at(&req.r, LIST_HEAD + 4u * i + 2, &field))
            break;
        item it{id, field, 0};
        if (!property_is_known(id) || !(dev->property_flags[id] & 0x2)) {
            it.refusal = 1;
        } else if (property_is_wide(id)) {
            if (field < LIST_HEAD || (field & 3) || wgcp_reader_u32_at(&req.r, field, &it.value))
                it.value = 0;
        }
        if (!it.refusal && it.value == 0)
            it.refusal = 2;
        items.push_back(it);
    }
    bool refused = false;
    wgcp_writer w;
    begin(dev, &w, req);
    size_t entries = 0;
    qnb_error err = begin_list(&w, static_cast<unsigned>(items.size()), 4, &entries);
    for (size_t i = 0; !err && i < items.size(); ++i) {
        const item &it = items[i];
        if (it.refusal) {
            refused = true;
            wgcp_writer_set_u16_at(&w, entries + 4 * i, it.refusal);
            wgcp_writer_set_u16_at(&w, entries + 4 * i + 2, it.id);
            continue;
        }
        dev->properties[it.id] = it.value;
        err = put_property(dev, &w, entries + 4 * i, it.id, it.value);
    }
    send_answer(dev, req, &w, refused || err ? TN_ROUTING_RESULT_BAD_DATA : TN_ROUTING_RESULT_OK);
}

// Subscribe records {rx id, tx channel offset, tx device offset} at stride 6 from byte 12; both
// offsets 0 clear. Valid records are applied; any refused record makes the result "bad data".
void answer_subscribe(tn_routing_device *dev, const request &req)
{
    uint8_t count = 0;
    bool refused = wgcp_reader_u8_at(&req.r, 11, &count) != QNB_ERR_SUCCESS;
    for (unsigned i = 0; i < count; ++i) {
        uint16_t id = 0, ch = 0, device = 0;
        size_t at = LIST_HEAD + 6u * i;
        if (wgcp_reader_u16_at(&req.r, at, &id) || wgcp_reader_u16_at(&req.r, at + 2, &ch) ||
            wgcp_reader_u16_at(&req.r, at + 4, &device)) {
            refused = true;
            break;
        }
        if (id == 0 || id > dev->rx.size()) {
            refused = true;
            continue;
        }
        rx_channel &c = dev->rx[id - 1];
        if (ch == 0 && device == 0) {
            store_subscription(c, nullptr, nullptr);
            continue;
        }
        char tx_channel[TN_ROUTING_NAME_SIZE], tx_device[TN_ROUTING_NAME_SIZE];
        if (!read_name(req, ch, false, tx_channel) || !read_name(req, device, true, tx_device)) {
            refused = true;
            continue;
        }
        store_subscription(c, tx_channel, tx_device);
    }
    answer_result(dev, req, refused ? TN_ROUTING_RESULT_BAD_DATA : TN_ROUTING_RESULT_OK);
}

void answer_unsubscribe(tn_routing_device *dev, const request &req)
{
    std::vector<uint16_t> ids;
    qnb_error err = read_id_list(req, dev->rx.size(), &ids);
    for (uint16_t id : ids)
        store_subscription(dev->rx[id - 1], nullptr, nullptr);
    answer_result(dev, req, err ? TN_ROUTING_RESULT_BAD_DATA : TN_ROUTING_RESULT_OK);
}

// Rename records {rx id, name offset (0: the default name)} at stride 4.
void answer_rx_rename(tn_routing_device *dev, const request &req)
{
    uint8_t count = 0;
    bool refused = wgcp_reader_u8_at(&req.r, 11, &count) != QNB_ERR_SUCCESS;
    for (unsigned i = 0; i < count; ++i) {
        uint16_t id = 0, off = 0;
        if (wgcp_reader_u16_at(&req.r, LIST_HEAD + 4u * i, &id) ||
            wgcp_reader_u16_at(&req.r, LIST_HEAD + 4u * i + 2, &off)) {
            refused = true;
            break;
        }
        if (id == 0 || id > dev->rx.size()) {
            refused = true;
            continue;
        }
        rx_channel &c = dev->rx[id - 1];
        char name[TN_ROUTING_NAME_SIZE];
        if (off == 0)
            memcpy(c.name, c.default_name, sizeof c.name);
        else if (read_name(req, off, false, name))
            memcpy(c.name, name, sizeof c.name);
        else
            refused = true;
    }
    answer_result(dev, req, refused ? TN_ROUTING_RESULT_BAD_DATA : TN_ROUTING_RESULT_OK);
}

void answer_mute(tn_routing_device *dev, const request &req, bool tx, bool mute)
{
    std::vector<uint16_t> ids;
    qnb_error err = read_id_list(req, tx ? dev->tx.size() : dev->rx.size(), &ids);
    for (uint16_t id : ids) {
        if (tx)
            dev->tx[id - 1].muted = mute;
        else
            dev->rx[id - 1].muted = mute;
    }
    answer_result(dev, req, err ? TN_ROUTING_RESULT_BAD_DATA : TN_ROUTING_RESULT_OK);
}

// Label records {label id, tx channel id, name offset} of the requested slots that hold a label,
// sorted by id; "more to follow" when not all fit.
void answer_labels(tn_routing_device *dev, const request &req)
{
    std::vector<uint16_t> ids;
    qnb_error err = read_id_list(req, dev->labels.size(), &ids);
    std::vector<uint16_t> used;
    for (size_t id = 1; id <= dev->labels.size(); ++id)
        for (uint16_t want : ids)
            if (want == id && dev->labels[id - 1].tx_id) {
                used.push_back(static_cast<uint16_t>(id));
                break;
            }
    unsigned n = static_cast<unsigned>(used.size() > 255 ? 255 : used.size());
    wgcp_writer w;
    for (;;) {
        begin(dev, &w, req);
        size_t entries = 0;
        string_table strings;
        qnb_error e = begin_list(&w, n, 6, &entries);
        for (unsigned i = 0; !e && i < n; ++i) {
            const label_slot &l = dev->labels[used[i] - 1];
            uint16_t name = 0;
            if ((e = put_string(&w, &strings, l.name, &name)))
                break;
            wgcp_writer_set_u16_at(&w, entries + 6 * i, used[i]);
            wgcp_writer_set_u16_at(&w, entries + 6 * i + 2, l.tx_id);
            wgcp_writer_set_u16_at(&w, entries + 6 * i + 4, name);
        }
        if (!e || n == 0)
            break;
        --n;
    }
    uint16_t result = err                 ? TN_ROUTING_RESULT_BAD_DATA
                      : n < used.size() ? TN_ROUTING_RESULT_MORE
                                        : TN_ROUTING_RESULT_OK;
    send_answer(dev, req, &w, result);
}

// One label record: {0, tx id, name} adds (or moves the label of that name), {id, tx id, name}
// replaces slot id, {id, 0, no name} frees slot id. The answer is one id entry {0, slot}.
void answer_label_change(tn_routing_device *dev, const request &req)
{
    uint8_t count = 0;
    uint16_t id = 0, tx_id = 0, off = 0;
    if (wgcp_reader_u8_at(&req.r, 11, &count) || count != 1 || wgcp_reader_u16_at(&req.r, LIST_HEAD, &id) ||
        wgcp_reader_u16_at(&req.r, LIST_HEAD + 2, &tx_id) || wgcp_reader_u16_at(&req.r, LIST_HEAD + 4, &off) ||
        id > dev->labels.size() || tx_id > dev->tx.size()) {
        answer_result(dev, req, TN_ROUTING_RESULT_BAD_DATA);
        return;
    }
    uint16_t slot = id;
    if (tx_id == 0) {
        if (id == 0 || off != 0 || !dev->labels[id - 1].tx_id) {
            answer_result(dev, req, TN_ROUTING_RESULT_BAD_DATA);
            return;
        }
        memset(&dev->labels[id - 1], 0, sizeof dev->labels[id - 1]);
    } else {
        char name[TN_ROUTING_NAME_SIZE];
        bool valid = read_name(req, off, false, name);
        for (const channel &c : dev->tx)
            valid = valid && strcasecmp(c.name, name) != 0;
        if (!valid) {
            answer_result(dev, req, TN_ROUTING_RESULT_BAD_DATA);
            return;
        }
        uint16_t holder = 0;
        for (size_t i = 0; i < dev->labels.size(); ++i)
            if (dev->labels[i].tx_id && strcasecmp(dev->labels[i].name, name) == 0)
                holder = static_cast<uint16_t>(i + 1);
        if (slot == 0)
            slot = holder;
        for (size_t i = 0; slot == 0 && i < dev->labels.size(); ++i)
            if (!dev->labels[i].tx_id)
                slot = static_cast<uint16_t>(i + 1);
        if (slot == 0) {
            answer_result(dev, req, TN_ROUTING_RESULT_BAD_DATA);
            return;
        }
        if (holder && holder != slot)
            memset(&dev->labels[holder - 1], 0, sizeof dev->labels[holder - 1]);
        copy_name(dev->labels[slot - 1].name, name);
        dev->labels[slot - 1].tx_id = tx_id;
    }
    wgcp_writer w;
    begin(dev, &w, req);
    size_t entries = 0;
    begin_list(&w, 1, 4, &entries);
    wgcp_writer_set_u16_at(&w, entries + 2, slot);
    send_answer(dev, req, &w, TN_ROUTING_RESULT_OK);
}

// Transmit channel values: one record {1, count, 0x7FFF} (no channel has a valid value).
void answer_tx_values(tn_routing_device *dev, const request &req)
{
    wgcp_writer w;
    begin(dev, &w, req);
    size_t entries = 0;
    begin_list(&w, dev->tx.empty() ? 0 : 1, 6, &entries);
    if (!dev->tx.empty()) {
        wgcp_writer_set_u16_at(&w, entries, 1);
        wgcp_writer_set_u16_at(&w, entries + 2, static_cast<uint16_t>(dev->tx.size()));
        wgcp_writer_set_u16_at(&w, entries + 4, 0x7FFF);
    }
    send_answer(dev, req, &w, TN_ROUTING_RESULT_OK);
}

// An entry list without entries: capacity and count 0.
void answer_empty_list(tn_routing_device *dev, const request &req)
{
    wgcp_writer w;
    begin(dev, &w, req);
    wgcp_writer_put_u16(&w, 0);
    send_answer(dev, req, &w, TN_ROUTING_RESULT_OK);
}

void dispatch(tn_routing_device *dev, const request &req)
{
    auto fixed = dev->results.find(req.opcode);
    if (fixed != dev->results.end()) {
        answer_result(dev, req, fixed->second);
        return;
    }
    auto body = dev->bodies.find(req.opcode);
    if (body != dev->bodies.end()) {
        wgcp_writer w;
        begin(dev, &w, req);
        wgcp_writer_put_bytes(&w, body->second.second.data(), body->second.second.size());
        send_answer(dev, req, &w, body->second.first);
        return;
    }
    switch (req.opcode) {
    case OP_CAPABILITIES:
        answer_capabilities(dev, req);
        break;
    case OP_NAMES:
    case OP_NAMES_EXTENDED:
        answer_names(dev, req);
        break;
    case OP_PROPERTIES:
        answer_properties(dev, req);
        break;
    case OP_UNICAST_PERFORMANCE:
        answer_unicast_performance(dev, req);
        break;
    case OP_PROP_AVAIL:
        answer_prop_avail(dev, req);
        break;
    case OP_PERFORMANCE:
        answer_performance(dev, req);
        break;
    case OP_TX_CHANNELS:
        answer_page(dev, req, true);
        break;
    case OP_RX_CHANNELS:
        answer_page(dev, req, false);
        break;
    case OP_TX_LABELS:
        answer_labels(dev, req);
        break;
    case OP_TX_LABEL_CHANGE:
        answer_label_change(dev, req);
        break;
    case OP_TX_UNMUTE:
    case OP_TX_MUTE:
        answer_mute(dev, req, true, req.opcode == OP_TX_MUTE);
        break;
    case OP_RX_UNMUTE:
    case OP_RX_MUTE:
        answer_mute(dev, req, false, req.opcode == OP_RX_MUTE);
        break;
    case OP_RX_SUBSCRIBE:
        answer_subscribe(dev, req);
        break;
    case OP_RX_UNSUBSCRIBE:
        answer_unsubscribe(dev, req);
        break;
    case OP_RX_RENAME:
        answer_rx_rename(dev, req);
        break;
    case OP_TX_FLOWS:
    case OP_RX_FLOWS:
        answer_empty_list(dev, req);
        break;
    case OP_TX_VALUES:
    case OP_TX_VALUES_2:
        answer_tx_values(dev, req);
        break;
    case OP_TX_FLOW_BATCH:
    case OP_RX_FLOW_CHANGE:
    case OP_RX_FLOW_REFRESH:
    case OP_CHANGES_AGAIN:
        answer_result(dev, req, TN_ROUTING_RESULT_OK);
        break;
    case OP_RENAME:
    default:
        if (req.opcode >= OP_TX_DETAIL_FIRST && req.opcode <= OP_TX_DETAIL_LAST) {
            answer_result(dev, req, TN_ROUTING_RESULT_OK);
            break;
        }
        answer_result(dev, req, TN_ROUTING_RESULT_UNSUPPORTED);
        break;
    }
}

void handle_datagram(tn_routing_device *dev, const uint8_t *data, size_t size, const qnb_sockaddr &from)
{
    tn_routing_log_entry entry;
    memset(&entry, 0, sizeof entry);
    qnb_time_now(&entry.at);
    entry.size = size < sizeof entry.bytes ? size : sizeof entry.bytes;
    memcpy(entry.bytes, data, entry.size);
    request req;
    memset(&req, 0, sizeof req);
    wgcp_reader_init(&req.r, data, size);
    bool header = size >= HEADER_SIZE;
    if (header) {
        wgcp_reader_u16_at(&req.r, 0, &req.version);
        wgcp_reader_u16_at(&req.r, 2, &req.length);
        wgcp_reader_u16_at(&req.r, 4, &req.seqnum);
        wgcp_reader_u16_at(&req.r, 6, &req.opcode);
        wgcp_reader_u16_at(&req.r, 8, &req.result);
        entry.version = req.version;
        entry.length = req.length;
        entry.seqnum = req.seqnum;
        entry.opcode = req.opcode;
    }
    if (dev->log.size() >= TN_ROUTING_LOG_LIMIT)
        dev->log.pop_front();
    dev->log.push_back(entry);
    if (header)
        ++dev->counts[req.opcode];
    if (dev->trace)
        fprintf(dev->trace, "%s: %zu bytes, opcode 0x%04x seq %u length %u result 0x%04x\n", dev->cfg.name, size,
                req.opcode, req.seqnum, req.length, req.result);
    // Only requests are answered: a whole header, a length field equal to the datagram, result 0.
    if (!header || req.length != size || req.result != 0 || dev->silent)
        return;
    if (dev->drop_countdown && --dev->drop_countdown == 0)
        return;
    dev->holding = dev->hold_countdown && --dev->hold_countdown == 0;
    req.from = from;
    dispatch(dev, req);
    dev->holding = false;
    if (dev->vanish_countdown && (!dev->vanish_opcode || dev->vanish_opcode == req.opcode) &&
        --dev->vanish_countdown == 0)
        dev->silent = true; // gone without a word: everything from now on goes unanswered
}

void deliver_request(void *context, const qnb_sockaddr *from, const uint8_t *bytes, size_t size)
{
    handle_datagram(static_cast<tn_routing_device *>(context), bytes, size, *from);
}

} // namespace

namespace {
void process_publication(tn_routing_device *dev);
} // namespace

qnb_error tn_routing_device_process(tn_routing_device *dev)
{
    if (!dev)
        return QNB_ERR_INVALIDPARAMETER;
    for (unsigned i = 0; i < 256; ++i) {
        uint8_t buffer[RECEIVE_SIZE];
        size_t size = sizeof buffer;
        qnb_sockaddr from;
        qnb_sockaddr_clear(&from);
        qnb_error err = qnb_socket_recvfrom(dev->sock, buffer, &size, &from);
        if (err == QNB_ERR_TIMEDOUT || err == QNB_ERR_TRYAGAIN)
            break;
        if (!err || err == QNB_ERR_MSGSIZE || err == QNB_ERR_TRUNCATED)
            ++dev->received;
        if (err == QNB_ERR_MSGSIZE || err == QNB_ERR_TRUNCATED) {
            // longer than any request: logged without its bytes, never answered
            handle_datagram(dev, buffer, 0, from);
            continue;
        }
        if (err)
            break; // port-unreachable reports and the like: nothing to answer
        tn_impair_pass(&dev->impair_in, &from, buffer, size, deliver_request, dev);
    }
    tn_impair_flush(&dev->impair_in, deliver_request, dev);
    send_due(dev);
    // A datagram held back by the impairment leaves from the device's own port.
    outgoing o = {dev, dev->sock};
    tn_impair_flush(&dev->impair_out, deliver_answer, &o);
    process_publication(dev);
    return QNB_ERR_SUCCESS;
}

qnb_error tn_routing_device_poll(tn_routing_device *dev, int timeout_ms)
{
    if (!dev)
        return QNB_ERR_INVALIDPARAMETER;
    struct pollfd p;
    p.fd = dev->sock;
    p.events = POLLIN;
    p.revents = 0;
    while (poll(&p, 1, timeout_ms) < 0 && errno == EINTR) {
    }
    return tn_routing_device_process(dev);
}

bool tn_routing_device_next_due(const tn_routing_device *dev, qnb_timeval *out)
{
    if (!dev || dev->held.empty())
        return false;
    uint64_t due = dev->held.front().due;
    for (const held_answer &h : dev->held)
        due = h.due < due ? h.due : due;
    if (out) {
        out->tv_sec = static_cast<uint32_t>(due / 1000000u);
        out->tv_usec = static_cast<uint32_t>(due % 1000000u);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// DNS-SD publication

namespace {

std::vector<std::string> txt_entries(const tn_routing_device_config &c)
{
    char v[64];
    std::vector<std::string> out;
    snprintf(v, sizeof v, "arcp_vers=%u.%u.%u", c.arcp_version >> 12, (c.arcp_version >> 8) & 0xF,
             c.arcp_version & 0xFF);
    out.push_back(v);
    out.push_back("arcp_min=2.6.0");
    snprintf(v, sizeof v, "router_vers=%u.%u.%u", c.router_major, c.router_minor, c.router_patch);
    out.push_back(v);
    out.push_back("router_info=qz-testnet");
    snprintf(v, sizeof v, "model=%s", c.model_name);
    out.push_back(v);
    if (c.safe_mode)
        out.push_back("safe");
    return out;
}

const char *const k_service_type = "_netaudio-arc._udp";

using dnssd_library = tn_dnssd_library;

const dnssd_library *load_dnssd()
{
    return tn_dnssd_load();
}

void DNSSD_API on_registered(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char *name,
                             const char *, const char *, void *context)
{
    tn_routing_device *dev = static_cast<tn_routing_device *>(context);
    dev->published = error == kDNSServiceErr_NoError;
    dev->publish_error = error;
    if (dev->trace)
        fprintf(dev->trace, "%s: DNS-SD registration %s (%d)\n", dev->cfg.name, name ? name : "", error);
}

qnb_error publish_library(tn_routing_device *dev, const dnssd_library *lib)
{
    uint8_t txt[512];
    size_t size = tn_routing_device_txt(dev, txt, sizeof txt);
    DNSServiceRef ref = nullptr;
    DNSServiceErrorType e =
        lib->register_service(&ref, 0, 0, dev->cfg.name, k_service_type, nullptr, nullptr, htons(dev->port),
                              static_cast<uint16_t>(size), txt, on_registered, dev);
    if (e != kDNSServiceErr_NoError || !ref)
        return QNB_ERR_DNSSDFAIL;
    dev->dnssd_ref = ref;
    return QNB_ERR_SUCCESS;
}

qnb_error publish_command(tn_routing_device *dev)
{
    std::vector<std::string> args = {"avahi-publish", "-s", dev->cfg.name, k_service_type, std::to_string(dev->port)};
    for (const std::string &t : txt_entries(dev->cfg))
        args.push_back(t);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return QNB_ERR_SYSTEM;
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0)
            dup2(null_fd, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    dev->publish_pid = pid;
    dev->published = true;
    return QNB_ERR_SUCCESS;
}

void process_publication(tn_routing_device *dev)
{
    if (dev->dnssd_ref) {
        const dnssd_library *lib = load_dnssd();
        DNSServiceRef ref = static_cast<DNSServiceRef>(dev->dnssd_ref);
        struct pollfd p;
        p.fd = lib->sock_fd(ref);
        p.events = POLLIN;
        p.revents = 0;
        if (p.fd >= 0 && poll(&p, 1, 0) > 0)
            lib->process_result(ref);
    }
    if (dev->publish_pid > 0) {
        int status = 0;
        if (waitpid(dev->publish_pid, &status, WNOHANG) == dev->publish_pid) {
            // the command ended (no daemon, no such program): nothing is published any more
            dev->publish_pid = -1;
            dev->published = false;
        }
    }
}

} // namespace

size_t tn_routing_device_txt(const tn_routing_device *dev, uint8_t *out, size_t capacity)
{
    if (!dev || !out)
        return 0;
    size_t size = 0;
    for (const std::string &e : txt_entries(dev->cfg)) {
        if (size + 1 + e.size() > capacity)
            return 0;
        out[size++] = static_cast<uint8_t>(e.size());
        memcpy(out + size, e.data(), e.size());
        size += e.size();
    }
    return size;
}

qnb_error tn_routing_device_publish(tn_routing_device *dev, tn_routing_publish_mode mode)
{
    if (!dev)
        return QNB_ERR_INVALIDPARAMETER;
    tn_routing_device_unpublish(dev);
    if (mode != TN_ROUTING_PUBLISH_COMMAND) {
        const dnssd_library *lib = load_dnssd();
        if (lib)
            return publish_library(dev, lib);
        if (mode == TN_ROUTING_PUBLISH_LIBRARY)
            return QNB_ERR_NOTSUPPORTED;
    }
    return publish_command(dev);
}

void tn_routing_device_unpublish(tn_routing_device *dev)
{
    if (!dev)
        return;
    if (dev->dnssd_ref) {
        load_dnssd()->deallocate(static_cast<DNSServiceRef>(dev->dnssd_ref));
        dev->dnssd_ref = nullptr;
    }
    if (dev->publish_pid > 0) {
        kill(dev->publish_pid, SIGTERM);
        int status = 0;
        waitpid(dev->publish_pid, &status, 0);
        dev->publish_pid = -1;
    }
    dev->published = false;
}

bool tn_routing_device_published(const tn_routing_device *dev)
{
    return dev && dev->published;
}

// ---------------------------------------------------------------------------------------------
// A set of devices that know each other

struct tn_routing_set {
    std::vector<tn_routing_device *> devices;
};

namespace {

bool set_resolves(void *context, const tn_routing_device *asker, const char *tx_channel, const char *tx_device)
{
    const tn_routing_set *set = static_cast<const tn_routing_set *>(context);
    if (strcmp(tx_device, ".") == 0)
        return tn_routing_device_has_txchannel(asker, tx_channel);
    const tn_routing_device *target = tn_routing_set_find(set, tx_device);
    return target && tn_routing_device_has_txchannel(target, tx_channel);
}

} // namespace

tn_routing_set *tn_routing_set_new()
{
    return new (std::nothrow) tn_routing_set();
}

void tn_routing_set_delete(tn_routing_set *set)
{
    if (!set)
        return;
    for (tn_routing_device *dev : set->devices)
        tn_routing_device_delete(dev);
    delete set;
}

tn_routing_device *tn_routing_set_add(tn_routing_set *set, const tn_routing_device_config *cfg, qnb_error *error)
{
    if (!set) {
        if (error)
            *error = QNB_ERR_INVALIDPARAMETER;
        return nullptr;
    }
    if (cfg && tn_routing_set_find(set, cfg->name)) {
        if (error)
            *error = QNB_ERR_ALREADY;
        return nullptr;
    }
    tn_routing_device *dev = tn_routing_device_new(cfg, error);
    if (!dev)
        return nullptr;
    set->devices.push_back(dev);
    tn_routing_device_set_resolver(dev, set_resolves, set);
    return dev;
}

size_t tn_routing_set_count(const tn_routing_set *set)
{
    return set ? set->devices.size() : 0;
}

tn_routing_device *tn_routing_set_at(const tn_routing_set *set, size_t index)
{
    return set && index < set->devices.size() ? set->devices[index] : nullptr;
}

tn_routing_device *tn_routing_set_find(const tn_routing_set *set, const char *name)
{
    if (!set || !name)
        return nullptr;
    for (tn_routing_device *dev : set->devices)
        if (strcasecmp(dev->cfg.name, name) == 0)
            return dev;
    return nullptr;
}

qnb_error tn_routing_set_process(tn_routing_set *set)
{
    if (!set)
        return QNB_ERR_INVALIDPARAMETER;
    for (tn_routing_device *dev : set->devices)
        tn_routing_device_process(dev);
    return QNB_ERR_SUCCESS;
}

qnb_error tn_routing_set_poll(tn_routing_set *set, int timeout_ms)
{
    if (!set)
        return QNB_ERR_INVALIDPARAMETER;
    std::vector<struct pollfd> fds;
    for (tn_routing_device *dev : set->devices) {
        struct pollfd p;
        p.fd = dev->sock;
        p.events = POLLIN;
        p.revents = 0;
        fds.push_back(p);
    }
    if (!fds.empty())
        while (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno == EINTR) {
        }
    return tn_routing_set_process(set);
}
