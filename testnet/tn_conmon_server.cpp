#include "testnet/tn_conmon_server.h"

#include <arpa/inet.h>
#include <poll.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "testnet/tn_clock.h"
#include "testnet/tn_impair.h"

namespace {

// Kinds of the local link's kind/status field.
enum {
    KIND_REQUEST = 0,
    KIND_RESPONSE = 1,
    KIND_EVENT = 2,
    KIND_INVALID_VERSION = 3,
    KIND_INVALID_SIZE = 4,
    KIND_INVALID_OPCODE = 5,
    KIND_INVALID_DATA = 7,
    KIND_NOT_SUPPORTED = 9,
    KIND_INVALID_STATE = 11,
    KIND_NOT_FOUND = 13
};

enum {
    HEAD = 10,          // local message head
    CHANNEL_HEAD = 24,  // channel message head
    MAX_BODY = 1448,    // channel message body
    CHANNEL_TYPES = 9,
    CHANNEL_STATUS = 2,
    CLASS_REMOTE = 1,
    NAME_FIELD = 32,
    DNS_FIELD = 256,
    OLD_RECORD = 88,
    NEW_RECORD = 36,
    NEW_RECORDS_AT = 324,
    SUB_RECORD_OLD = 48,
    SUB_RECORD_NEW = 72
};

const uint8_t k_vendor_id[8] = {'Q', 'u', 'e', 'n', 'b', 'a', 'r', 'y'};

// Vendor body types the devices understand or send.
enum {
    T_INTERFACE_STATUS = 0x0011,
    T_INTERFACE_CONTROL = 0x0013,
    T_CLOCKING_STATUS = 0x0020,
    T_CLOCKING_CONTROL = 0x0021,
    T_VERSIONS_STATUS = 0x0060,
    T_VERSIONS_QUERY = 0x0061,
    T_SRATE_STATUS = 0x0080,
    T_SRATE_CONTROL = 0x0081,
    T_SYS_RESET = 0x0090,
    T_MANF_VERSIONS_STATUS = 0x00C0,
    T_MANF_VERSIONS_QUERY = 0x00C1,
    T_PROPERTY_CHANGE = 0x0106,
    T_AES67_QUERY = 0x1006,
    T_AES67_STATUS = 0x1007,
    T_LOCK_QUERY = 0x1008,
    T_LOCK_STATUS = 0x1009
};

// Host-order fields of local messages; callers check the bounds first.
uint16_t ld16(const uint8_t *p)
{
    uint16_t v;
    memcpy(&v, p, 2);
    return v;
}

void st16(uint8_t *p, uint16_t v)
{
    memcpy(p, &v, 2);
}

void st32(uint8_t *p, uint32_t v)
{
    memcpy(p, &v, 4);
}

// Length of a NUL-terminated text of at most `field` bytes (terminator included) at `offset` of a
// message of `size` bytes; -1 when the terminator is missing.
int bounded_name(const uint8_t *msg, size_t size, size_t offset, size_t field)
{
    if (offset >= size)
        return -1;
    size_t limit = size - offset < field ? size - offset : field;
    const void *nul = memchr(msg + offset, 0, limit);
    return nul ? static_cast<int>(static_cast<const uint8_t *>(nul) - (msg + offset)) : -1;
}

struct client_entry {
    qnb_sockaddr address;
    uint16_t version; // the link version spoken with this client
    char name[NAME_FIELD];
    bool registered[CHANNEL_TYPES][2];
    bool global[CHANNEL_TYPES];
    std::set<std::pair<uint16_t, std::string>> subscriptions; // (channel type, device name)
    uint16_t event_id;
    bool tx_metering;
};

enum timed_kind { TIMED_STATUS, TIMED_REBOOT_DONE };

struct timed_item {
    uint64_t due;
    timed_kind kind;
    std::string device;
    std::vector<uint8_t> body;
};

uint32_t packed(const tn_conmon_version &v)
{
    return static_cast<uint32_t>(v.major) << 24 | static_cast<uint32_t>(v.minor) << 16 | v.bugfix;
}

} // namespace

struct tn_conmon_server {
    qnb_socket sock;
    uint16_t port;
    uint16_t version;
    uint16_t flags;
    char name[NAME_FIELD];
    uint8_t device_id[8];
    uint16_t process;
    std::vector<tn_conmon_interface> interfaces;
    std::vector<std::unique_ptr<tn_conmon_device>> devices;
    std::map<uint16_t, uint16_t> device_seqnum; // by instance
    std::vector<client_entry> clients;
    std::vector<timed_item> timed;
    std::set<uint16_t> unanswered;
    std::map<uint16_t, uint16_t> refused; // opcode -> the kind every request of it is answered with
    std::map<uint16_t, unsigned> counts;
    bool silent;
    bool suppress; // the request being handled gets no answer
    unsigned lose_global; // global Subscribe requests still to be lost on the way in
    std::map<uint16_t, unsigned> lose_in, lose_out; // opcode -> datagrams still to be lost each way
    unsigned long received;
    bool named;
    uint32_t reply_delay_ms;
    unsigned loss_every, loss_counter;
    unsigned dup_every, dup_counter;
    unsigned sent;
    // A restart under way: the socket is closed until `reopen_due` (library clock, microseconds).
    bool down;
    uint64_t reopen_due;
    unsigned restarts;
    tn_impair impair_in, impair_out; // a lossy local link on the way in and out
    FILE *trace;
    uint8_t in[TN_CONMON_MAX_MESSAGE];
    uint8_t out[TN_CONMON_MAX_MESSAGE];
};

// ---------------------------------------------------------------------------------------------
// Sending

namespace {

// One line of the trace: the library clock in milliseconds, the direction ("->" sent, "<-"
// handled, "-x" and "x-" lost by the lossy link on the way out and in), the client's port and the
// datagram's head.
void trace_datagram(tn_conmon_server *srv, const char *direction, const qnb_sockaddr *peer, const uint8_t *data,
                    size_t size)
{
    if (!srv->trace || size < HEAD)
        return;
    uint64_t now = tn_now_micros();
    fprintf(srv->trace, "%llu.%03u conmon %s %u: id %u opcode 0x%04x kind 0x%04x, %zu bytes\n",
            (unsigned long long)(now / 1000000u), (unsigned)(now % 1000000u / 1000u), direction,
            qnb_sockaddr_get_port(peer), ld16(data + 4), ld16(data + 6), ld16(data + 8), size);
}

void deliver_datagram(void *context, const qnb_sockaddr *to, const uint8_t *data, size_t size)
{
    tn_conmon_server *srv = static_cast<tn_conmon_server *>(context);
    trace_datagram(srv, "->", to, data, size);
    if (qnb_socket_sendto(srv->sock, data, &size, to) == QNB_ERR_SUCCESS)
        ++srv->sent;
}

// Passes a datagram through one way of the lossy link, tracing it when the link loses it.
void pass_impaired(tn_conmon_server *srv, tn_impair *imp, const char *lost, const qnb_sockaddr *peer,
                   const uint8_t *data, size_t size, tn_impair_deliver_fn deliver)
{
    unsigned long before = imp->lost;
    tn_impair_pass(imp, peer, data, size, deliver, srv);
    if (imp->lost != before)
        trace_datagram(srv, lost, peer, data, size);
}

// Whether a datagram of the opcode at 6 is one of those to be lost this way (and counts it).
bool lose_now(std::map<uint16_t, unsigned> &lose, const uint8_t *data, size_t size)
{
    if (size < HEAD)
        return false;
    auto it = lose.find(ld16(data + 6));
    if (it == lose.end() || it->second == 0)
        return false;
    --it->second;
    return true;
}

void send_datagram(tn_conmon_server *srv, const qnb_sockaddr &to, const uint8_t *data, size_t size)
{
    if (srv->silent)
        return;
    if (lose_now(srv->lose_out, data, size)) {
        trace_datagram(srv, "-x", &to, data, size);
        return;
    }
    if (srv->loss_every && ++srv->loss_counter % srv->loss_every == 0)
        return;
    int copies = srv->dup_every && ++srv->dup_counter % srv->dup_every == 0 ? 2 : 1;
    for (int i = 0; i < copies; ++i)
        pass_impaired(srv, &srv->impair_out, "-x", &to, data, size, deliver_datagram);
}

void put_head(uint8_t *msg, uint16_t version, uint16_t length, uint16_t id, uint16_t opcode, uint16_t kind)
{
    st16(msg, version);
    st16(msg + 2, length);
    st16(msg + 4, id);
    st16(msg + 6, opcode);
    st16(msg + 8, kind);
}

// A head-only answer.
void reply_kind(tn_conmon_server *srv, const qnb_sockaddr &to, uint16_t version, uint16_t id, uint16_t opcode,
                uint16_t kind)
{
    if (srv->suppress)
        return;
    uint8_t msg[HEAD];
    put_head(msg, version, HEAD, id, opcode, kind);
    send_datagram(srv, to, msg, HEAD);
}

// Sends the first `length` bytes of srv->out as an answer (head already filled but its length).
void reply_out(tn_conmon_server *srv, const qnb_sockaddr &to, size_t length)
{
    if (srv->suppress)
        return;
    st16(srv->out + 2, static_cast<uint16_t>(length));
    send_datagram(srv, to, srv->out, length);
}

client_entry *find_client(tn_conmon_server *srv, const qnb_sockaddr &from)
{
    for (client_entry &c : srv->clients)
        if (qnb_sockaddr_equal(&c.address, &from))
            return &c;
    return nullptr;
}

tn_conmon_device *find_device(tn_conmon_server *srv, const char *name)
{
    if (!name)
        return nullptr;
    for (auto &d : srv->devices)
        if (strncmp(d->name, name, TN_CONMON_NAME_SIZE) == 0)
            return d.get();
    return nullptr;
}

tn_conmon_device *find_device_by_id(tn_conmon_server *srv, const uint8_t *id)
{
    for (auto &d : srv->devices)
        if (memcmp(d->device_id, id, 8) == 0)
            return d.get();
    return nullptr;
}

// Whether the client gets the device's messages of channel type `type`: it holds the global
// subscription of that type, or one of that type to the device.
bool client_follows(const client_entry &c, uint16_t type, const char *device)
{
    return c.global[type] || c.subscriptions.count({type, std::string(device)}) != 0;
}

// Writes one subscription record for `dev` (or an unknown device called `name`) at `p`.
void put_subscription_record(uint8_t *p, uint16_t version, const tn_conmon_device *dev, const char *name,
                             uint16_t channel_type, uint16_t status)
{
    size_t size = version < 0x1100 ? SUB_RECORD_OLD : SUB_RECORD_NEW;
    memset(p, 0, size);
    if (dev) {
        if (version < 0x1100)
            p[0] = 1;
        else
            st16(p, 1); // device id present; no addresses
        st16(p + 2, dev->instance);
        memcpy(p + 36, dev->device_id, 8);
        st16(p + 44, dev->process);
    }
    snprintf(reinterpret_cast<char *>(p + 4), NAME_FIELD, "%s", dev ? dev->name : name);
    st16(p + 46, status);
    if (version >= 0x1100)
        st16(p + 48, channel_type);
}

// Subscribe answer or Subscriptions Changed event: head at srv->out, records for `records`.
size_t build_subscription_list(tn_conmon_server *srv, uint16_t version,
                               const std::vector<std::pair<uint16_t, std::string>> &records, uint16_t status)
{
    size_t at = version < 0x1100 ? 12 : 16;
    size_t record = version < 0x1100 ? SUB_RECORD_OLD : SUB_RECORD_NEW;
    memset(srv->out + HEAD, 0, at - HEAD);
    uint16_t count = 0;
    for (const auto &r : records) {
        if (at + record > sizeof srv->out)
            break;
        tn_conmon_device *dev = find_device(srv, r.second.c_str());
        uint16_t s = status;
        if (!s)
            s = dev && dev->online ? uint16_t(TN_CONMON_STATUS_CONNECTED) : uint16_t(TN_CONMON_STATUS_DISCONNECTED);
        put_subscription_record(srv->out + at, version, dev, r.second.c_str(), r.first, s);
        at += record;
        ++count;
    }
    st16(srv->out + 10, count);
    if (version >= 0x1100)
        st16(srv->out + 12, 1); // the list names subscriptions
    return at;
}

// A Subscriptions Changed event about `device` to every client subscribed to it.
void notify_subscription(tn_conmon_server *srv, const char *device, uint16_t status)
{
    for (client_entry &c : srv->clients) {
        std::vector<std::pair<uint16_t, std::string>> records;
        for (const auto &s : c.subscriptions)
            if (s.second == device)
                records.push_back(s);
        if (records.empty())
            continue;
        put_head(srv->out, c.version, 0, c.event_id++, TN_CONMON_OP_SUBSCRIPTIONS_CHANGED, KIND_EVENT);
        size_t length = build_subscription_list(srv, c.version, records, status);
        st16(srv->out + 2, static_cast<uint16_t>(length));
        send_datagram(srv, c.address, srv->out, length);
    }
}

// A status message from `dev` on the status channel to every client that registered for status
// messages of other devices and follows the device's status (the global status subscription, or a
// status subscription to the device: a subscription of another channel type brings no status).
void deliver_status(tn_conmon_server *srv, tn_conmon_device *dev, const uint8_t *body, size_t length)
{
    if (dev->silent || !dev->online || length > MAX_BODY)
        return;
    uint8_t channel[CHANNEL_HEAD + MAX_BODY];
    wgcp_store_be16(channel, 0xFFFF);
    wgcp_store_be16(channel + 2, static_cast<uint16_t>(CHANNEL_HEAD + length));
    wgcp_store_be16(channel + 4, srv->device_seqnum[dev->instance]++);
    wgcp_store_be16(channel + 6, dev->process);
    memcpy(channel + 8, dev->device_id, 8);
    memcpy(channel + 16, k_vendor_id, 8);
    memcpy(channel + CHANNEL_HEAD, body, length);
    size_t inner = CHANNEL_HEAD + length;
    for (client_entry &c : srv->clients) {
        if (!c.registered[CHANNEL_STATUS][CLASS_REMOTE])
            continue;
        if (!client_follows(c, CHANNEL_STATUS, dev->name))
            continue;
        size_t at = srv->named ? 48 : 16;
        uint16_t opcode = srv->named ? TN_CONMON_OP_NAMED_CHANNEL_MESSAGE : TN_CONMON_OP_CHANNEL_MESSAGE;
        memset(srv->out, 0, at);
        put_head(srv->out, c.version, static_cast<uint16_t>(at + inner), c.event_id++, opcode, KIND_EVENT);
        st16(srv->out + 10, CHANNEL_STATUS);
        st16(srv->out + 12, CLASS_REMOTE);
        if (srv->named)
            snprintf(reinterpret_cast<char *>(srv->out + 16), NAME_FIELD, "%s", dev->name);
        else
            srv->out[15] = 2; // the sender is a device of the ad-hoc network
        memcpy(srv->out + at, channel, inner);
        send_datagram(srv, c.address, srv->out, at + inner);
    }
}

// Sends now or after the reply delay.
void answer_status(tn_conmon_server *srv, tn_conmon_device *dev, std::vector<uint8_t> body)
{
    if (srv->reply_delay_ms == 0) {
        deliver_status(srv, dev, body.data(), body.size());
        return;
    }
    srv->timed.push_back({tn_now_micros() + static_cast<uint64_t>(srv->reply_delay_ms) * 1000u, TIMED_STATUS, dev->name,
                          std::move(body)});
}

// ---------------------------------------------------------------------------------------------
// Device status bodies (network order)

std::vector<uint8_t> vendor_body(const tn_conmon_device *dev, uint16_t type, uint32_t parameter, size_t size)
{
    std::vector<uint8_t> b(size, 0);
    wgcp_store_be16(b.data(), dev->body_version);
    wgcp_store_be16(b.data() + 2, type);
    wgcp_store_be32(b.data() + 4, parameter);
    return b;
}

std::vector<uint8_t> versions_status(const tn_conmon_device *d, uint32_t parameter)
{
    std::vector<uint8_t> b = vendor_body(d, T_VERSIONS_STATUS, parameter, 60);
    wgcp_store_be32(&b[8], packed(d->firmware));
    wgcp_store_be32(&b[12], packed(d->software));
    memcpy(&b[20], d->model_id, 8);
    wgcp_store_be32(&b[28], d->capabilities);
    wgcp_store_be32(&b[40], d->firmware.build);
    wgcp_store_be32(&b[44], d->software.build);
    return b;
}

std::vector<uint8_t> manf_versions_status(const tn_conmon_device *d, uint32_t parameter)
{
    std::vector<uint8_t> b = vendor_body(d, T_MANF_VERSIONS_STATUS, parameter, 312);
    memcpy(&b[8], d->manufacturer_id, 8);
    memcpy(&b[16], d->manufacturer_model_id, 8);
    wgcp_store_be32(&b[32], packed(d->manufacturer_firmware));
    wgcp_store_be32(&b[36], packed(d->manufacturer_software));
    wgcp_store_be32(&b[44], d->manufacturer_firmware.build);
    wgcp_store_be32(&b[48], d->manufacturer_software.build);
    snprintf(reinterpret_cast<char *>(&b[52]), TN_CONMON_TEXT_SIZE, "%s", d->manufacturer_name);
    snprintf(reinterpret_cast<char *>(&b[180]), TN_CONMON_TEXT_SIZE, "%s", d->model_name);
    return b;
}

std::vector<uint8_t> interface_status(const tn_conmon_device *d, uint32_t parameter)
{
    unsigned n = d->interface_count > 2 ? 2 : d->interface_count;
    size_t trailer = 12 + 28 * n;
    size_t table = (trailer + 6 + 3) & ~static_cast<size_t>(3);
    std::vector<uint8_t> b = vendor_body(d, T_INTERFACE_STATUS, parameter, table + 20 * n);
    wgcp_store_be16(&b[8], static_cast<uint16_t>(n));
    for (unsigned i = 0; i < n; ++i) {
        uint8_t *r = &b[12 + 28 * i];
        wgcp_store_be32(r, 1); // link up
        wgcp_store_be16(r + 4, d->link_speed[i]);
        memcpy(r + 6, d->mac[i], 6);
        memcpy(r + 12, &d->address[i], 4);
        memcpy(r + 16, &d->netmask[i], 4);
        uint8_t *e = &b[table + 20 * i];
        wgcp_store_be16(e, 1);
        memcpy(e + 4, &d->address[i], 4);
        memcpy(e + 8, &d->netmask[i], 4);
    }
    wgcp_store_be16(&b[trailer], n ? 20 : 0);
    wgcp_store_be16(&b[trailer + 2], n ? static_cast<uint16_t>(table) : 0);
    wgcp_store_be16(&b[trailer + 4], n == 2 ? 1 : 0); // bit 0: redundant pair of interfaces
    return b;
}

std::vector<uint8_t> srate_status(const tn_conmon_device *d, uint32_t parameter)
{
    unsigned n = d->rate_count > unsigned(TN_CONMON_MAX_RATES) ? unsigned(TN_CONMON_MAX_RATES) : d->rate_count;
    std::vector<uint8_t> b = vendor_body(d, T_SRATE_STATUS, parameter, 16 + 4 * n);
    wgcp_store_be16(&b[8], 16);
    wgcp_store_be16(&b[10], static_cast<uint16_t>(n));
    wgcp_store_be32(&b[12], d->rate);
    for (unsigned i = 0; i < n; ++i)
        wgcp_store_be32(&b[16 + 4 * i], d->rates[i]);
    return b;
}

std::vector<uint8_t> clocking_status(const tn_conmon_device *d, uint32_t parameter)
{
    std::vector<uint8_t> b = vendor_body(d, T_CLOCKING_STATUS, parameter, 40);
    b[14] = d->preferred_master ? 1 : 0;
    return b;
}

std::vector<uint8_t> flag_status(const tn_conmon_device *d, uint16_t type, uint32_t parameter, uint8_t a, uint8_t b2)
{
    std::vector<uint8_t> b = vendor_body(d, type, parameter, 12);
    b[8] = a;
    b[9] = b2;
    return b;
}

// A control message for `dev` (vendor body of `length` bytes): change its state and answer.
void device_control(tn_conmon_server *srv, tn_conmon_device *dev, const uint8_t *body, size_t length)
{
    ++dev->control_count;
    if (length < 8)
        return;
    uint16_t type = wgcp_load_be16(body + 2);
    uint32_t parameter = wgcp_load_be32(body + 4);
    dev->last_type = type;
    if (dev->silent)
        return;
    switch (type) {
    case T_VERSIONS_QUERY:
        answer_status(srv, dev, versions_status(dev, parameter));
        break;
    case T_INTERFACE_CONTROL:
        answer_status(srv, dev, interface_status(dev, parameter));
        break;
    case T_MANF_VERSIONS_QUERY:
        if (dev->capabilities & 0x1000)
            answer_status(srv, dev, manf_versions_status(dev, parameter));
        break;
    case T_SRATE_CONTROL:
        if (length >= 16 && (wgcp_load_be32(body + 8) & 1)) {
            uint32_t rate = wgcp_load_be32(body + 12);
            for (unsigned i = 0; i < dev->rate_count && i < TN_CONMON_MAX_RATES; ++i)
                if (dev->rates[i] == rate)
                    dev->rate = rate;
        }
        answer_status(srv, dev, srate_status(dev, parameter));
        break;
    case T_CLOCKING_CONTROL:
        if (length >= 13 && (wgcp_load_be16(body + 8) & 0x0002))
            dev->preferred_master = body[12] != 0;
        answer_status(srv, dev, clocking_status(dev, parameter));
        break;
    case T_AES67_QUERY:
        answer_status(srv, dev,
                      flag_status(dev, T_AES67_STATUS, parameter, dev->aes67_enabled, dev->aes67_reboot_needed));
        break;
    case T_LOCK_QUERY:
        answer_status(srv, dev, flag_status(dev, T_LOCK_STATUS, parameter, dev->locked, 0));
        break;
    case T_SYS_RESET:
        dev->reset_mode = length >= 12 && (wgcp_load_be16(body + 8) & 1) ? wgcp_load_be16(body + 10) : 0;
        ++dev->reboots;
        dev->online = false;
        notify_subscription(srv, dev->name, TN_CONMON_STATUS_DISCONNECTED);
        srv->timed.push_back({tn_now_micros() + static_cast<uint64_t>(dev->reboot_ms) * 1000u, TIMED_REBOOT_DONE,
                              dev->name, {}});
        break;
    default:
        break; // accepted without an answer
    }
}

// ---------------------------------------------------------------------------------------------
// Requests

uint16_t link_version(const tn_conmon_server *srv, uint16_t requested)
{
    return requested < srv->version ? requested : srv->version;
}

void put_interface_record_old(uint8_t *p, const tn_conmon_interface &i)
{
    memset(p, 0, OLD_RECORD);
    snprintf(reinterpret_cast<char *>(p), 64, "%s", i.name);
    st32(p + 64, i.index);
    st32(p + 68, i.link_speed);
    st16(p + 72, 0);
    st16(p + 74, i.link_speed ? 1 : 0);
    memcpy(p + 80, &i.address, 4);
    memcpy(p + 84, &i.netmask, 4);
}

void put_interface_record_new(uint8_t *p, const tn_conmon_interface &i)
{
    memset(p, 0, NEW_RECORD);
    st32(p, i.index);
    st16(p + 8, i.link_speed ? 1 : 0);
    st32(p + 10, i.link_speed);
    memcpy(p + 20, &i.address, 4);
    memcpy(p + 24, &i.netmask, 4);
}

void handle_connect(tn_conmon_server *srv, const qnb_sockaddr &from, const uint8_t *msg, size_t size)
{
    uint16_t requested = ld16(msg);
    uint16_t id = ld16(msg + 4);
    int name_length = bounded_name(msg, size, HEAD, NAME_FIELD);
    if (name_length < 0) {
        reply_kind(srv, from, link_version(srv, requested), id, TN_CONMON_OP_CONNECT, KIND_INVALID_DATA);
        return;
    }
    bool fixed_form = size == 44;
    if ((fixed_form && srv->version < 0x1400) || (!fixed_form && requested >= 0x1400) ||
        (!fixed_form && size < static_cast<size_t>(HEAD + name_length + 1))) {
        // A form this server does not speak: it answers in its own version.
        reply_kind(srv, from, srv->version, id, TN_CONMON_OP_CONNECT, KIND_INVALID_SIZE);
        return;
    }
    uint16_t version = link_version(srv, requested);
    client_entry *c = find_client(srv, from);
    if (!c) {
        // A client that went away without a Disconnect is forgotten once many newer ones came.
        if (srv->clients.size() >= TN_CONMON_MAX_CLIENTS)
            srv->clients.erase(srv->clients.begin());
        srv->clients.emplace_back();
        c = &srv->clients.back();
    }
    *c = client_entry();
    c->address = from;
    c->version = version;
    memcpy(c->name, msg + HEAD, static_cast<size_t>(name_length) + 1);
    c->event_id = 0x8000;

    unsigned count = static_cast<unsigned>(srv->interfaces.size());
    memset(srv->out, 0, sizeof srv->out);
    put_head(srv->out, version, 0, id, TN_CONMON_OP_CONNECT, KIND_RESPONSE);
    st16(srv->out + 10, srv->flags);
    memcpy(srv->out + 12, srv->name, NAME_FIELD);
    size_t length;
    if (version < 0x1200) {
        memcpy(srv->out + 44, srv->device_id, 8);
        st16(srv->out + 52, srv->process);
        st16(srv->out + 54, static_cast<uint16_t>(count));
        for (unsigned i = 0; i < count; ++i)
            put_interface_record_old(srv->out + 56 + OLD_RECORD * i, srv->interfaces[i]);
        length = 56 + OLD_RECORD * count;
    } else {
        snprintf(reinterpret_cast<char *>(srv->out + 44), DNS_FIELD, "%s", "local.");
        memcpy(srv->out + 300, srv->device_id, 8);
        st16(srv->out + 308, srv->process);
        st16(srv->out + 310, static_cast<uint16_t>(count));
        st16(srv->out + 312, NEW_RECORD);
        st16(srv->out + 314, NEW_RECORDS_AT);
        if (version >= 0x1400) {
            st32(srv->out + 316, 0);
            st32(srv->out + 320, 0);
        }
        for (unsigned i = 0; i < count; ++i)
            put_interface_record_new(srv->out + NEW_RECORDS_AT + NEW_RECORD * i, srv->interfaces[i]);
        length = NEW_RECORDS_AT + NEW_RECORD * count;
    }
    reply_out(srv, from, length);
}

void handle_register(tn_conmon_server *srv, client_entry *c, const qnb_sockaddr &from, const uint8_t *msg,
                     size_t size, uint16_t opcode)
{
    uint16_t id = ld16(msg + 4);
    uint16_t version = c->version;
    if (size < (version < 0x1100 ? 14u : 16u)) {
        reply_kind(srv, from, version, id, opcode, KIND_INVALID_SIZE);
        return;
    }
    uint16_t type = ld16(msg + 10);
    uint16_t cls = ld16(msg + 12);
    if (type >= CHANNEL_TYPES || cls > 1) {
        reply_kind(srv, from, version, id, opcode, KIND_INVALID_DATA);
        return;
    }
    c->registered[type][cls] = opcode == TN_CONMON_OP_REGISTER;
    reply_kind(srv, from, version, id, opcode, KIND_RESPONSE);
}

void handle_subscribe(tn_conmon_server *srv, client_entry *c, const qnb_sockaddr &from, const uint8_t *msg,
                      size_t size, uint16_t opcode)
{
    uint16_t id = ld16(msg + 4);
    uint16_t version = c->version;
    size_t name_at = version < 0x1100 ? 12 : 14;
    if (size < (version < 0x1100 ? 14u : 16u)) {
        reply_kind(srv, from, version, id, opcode, KIND_INVALID_SIZE);
        return;
    }
    uint16_t type = ld16(msg + 10);
    int name_length = bounded_name(msg, size, name_at, NAME_FIELD);
    if (type == 0 || type >= CHANNEL_TYPES || name_length < 0) {
        reply_kind(srv, from, version, id, opcode, KIND_INVALID_DATA);
        return;
    }
    std::string name(reinterpret_cast<const char *>(msg + name_at), static_cast<size_t>(name_length));
    bool subscribe = opcode == TN_CONMON_OP_SUBSCRIBE;
    if (subscribe && name.empty() && srv->lose_global) {
        --srv->lose_global; // lost on the way: no effect, no answer
        return;
    }
    std::vector<std::pair<uint16_t, std::string>> records;
    if (name.empty()) {
        c->global[type] = subscribe;
    } else if (subscribe) {
        c->subscriptions.insert({type, name});
        records.push_back({type, name});
    } else {
        c->subscriptions.erase({type, name});
    }
    if (!subscribe) {
        reply_kind(srv, from, version, id, opcode, KIND_RESPONSE);
        return;
    }
    put_head(srv->out, version, 0, id, opcode, KIND_RESPONSE);
    reply_out(srv, from, build_subscription_list(srv, version, records, 0));
}

void handle_send_message(tn_conmon_server *srv, client_entry *c, const qnb_sockaddr &from, const uint8_t *msg,
                         size_t size)
{
    uint16_t id = ld16(msg + 4);
    uint16_t version = c->version;
    if (size < 36) {
        reply_kind(srv, from, version, id, TN_CONMON_OP_SEND_MESSAGE, KIND_INVALID_SIZE);
        return;
    }
    uint16_t type = ld16(msg + 10);
    size_t at = type == 0 ? 52 : 12;
    if (type >= CHANNEL_TYPES || (type == 0 && (size < 76 || bounded_name(msg, size, 20, NAME_FIELD) < 0))) {
        reply_kind(srv, from, version, id, TN_CONMON_OP_SEND_MESSAGE, KIND_INVALID_DATA);
        return;
    }
    size_t inner = wgcp_load_be16(msg + at + 2);
    if (inner < CHANNEL_HEAD || at + inner > size) {
        reply_kind(srv, from, version, id, TN_CONMON_OP_SEND_MESSAGE, KIND_INVALID_SIZE);
        return;
    }
    if (type != 0) {
        reply_kind(srv, from, version, id, TN_CONMON_OP_SEND_MESSAGE, KIND_RESPONSE);
        return;
    }
    tn_conmon_device *dev = find_device(srv, reinterpret_cast<const char *>(msg + 20));
    static const uint8_t zero[8] = {0};
    if (!dev && msg[20] == 0 && memcmp(msg + 12, zero, 8) != 0)
        dev = find_device_by_id(srv, msg + 12);
    if (!dev || !dev->online) {
        reply_kind(srv, from, version, id, TN_CONMON_OP_SEND_MESSAGE, KIND_NOT_FOUND);
        return;
    }
    reply_kind(srv, from, version, id, TN_CONMON_OP_SEND_MESSAGE, KIND_RESPONSE);
    const uint8_t *channel = msg + at;
    if (memcmp(channel + 16, k_vendor_id, 8) == 0)
        device_control(srv, dev, channel + CHANNEL_HEAD, inner - CHANNEL_HEAD);
    else
        ++dev->control_count; // another vendor's message: accepted, not understood
}

void handle_datagram(tn_conmon_server *srv, const qnb_sockaddr &from, size_t size);

// A Send Message request asking a device for a property, counted as it arrives at the socket.
void count_question(tn_conmon_server *srv, const uint8_t *msg, size_t size)
{
    if (size < 52 + CHANNEL_HEAD + 4 || ld16(msg + 6) != TN_CONMON_OP_SEND_MESSAGE ||
        (ld16(msg + 8) & 0x0FFF) != KIND_REQUEST || ld16(msg + 10) != 0 || bounded_name(msg, size, 20, NAME_FIELD) < 0)
        return;
    const uint8_t *channel = msg + 52;
    if (memcmp(channel + 16, k_vendor_id, 8) != 0)
        return;
    uint16_t type = wgcp_load_be16(channel + CHANNEL_HEAD + 2);
    if (type != T_SRATE_CONTROL && type != T_CLOCKING_CONTROL && type != T_AES67_QUERY && type != T_LOCK_QUERY)
        return;
    if (tn_conmon_device *dev = find_device(srv, reinterpret_cast<const char *>(msg + 20)))
        ++dev->questions;
}

// A datagram that came through the impairment: handled as if it had just been read.
void deliver_request(void *context, const qnb_sockaddr *from, const uint8_t *data, size_t size)
{
    tn_conmon_server *srv = static_cast<tn_conmon_server *>(context);
    if (size > sizeof srv->in)
        return;
    memmove(srv->in, data, size);
    handle_datagram(srv, *from, size);
    srv->suppress = false;
}

void handle_datagram(tn_conmon_server *srv, const qnb_sockaddr &from, size_t size)
{
    const uint8_t *msg = srv->in;
    if (size < HEAD)
        return;
    uint16_t version = ld16(msg);
    uint16_t length = ld16(msg + 2);
    uint16_t id = ld16(msg + 4);
    uint16_t opcode = ld16(msg + 6);
    uint16_t kind = ld16(msg + 8) & 0x0FFF;
    trace_datagram(srv, "<-", &from, msg, size);
    if (kind != KIND_REQUEST)
        return; // the server expects nothing but requests
    ++srv->counts[opcode];
    srv->suppress = srv->unanswered.count(opcode) != 0;
    if (version < 0x1000 || version > 0x1FFF) {
        reply_kind(srv, from, srv->version, id, opcode, KIND_INVALID_VERSION);
        return;
    }
    if (length != size) {
        reply_kind(srv, from, link_version(srv, version), id, opcode, KIND_INVALID_SIZE);
        return;
    }
    if (opcode == TN_CONMON_OP_CONNECT) {
        handle_connect(srv, from, msg, size);
        return;
    }
    client_entry *c = find_client(srv, from);
    if (opcode == TN_CONMON_OP_DISCONNECT) {
        if (c)
            srv->clients.erase(srv->clients.begin() + (c - srv->clients.data()));
        return; // no answer: the client has closed its socket
    }
    if (!c) {
        reply_kind(srv, from, link_version(srv, version), id, opcode, KIND_INVALID_STATE);
        return;
    }
    auto refusal = srv->refused.find(opcode);
    if (refusal != srv->refused.end()) {
        reply_kind(srv, from, c->version, id, opcode, refusal->second);
        return;
    }
    switch (opcode) {
    case TN_CONMON_OP_KEEPALIVE:
    case TN_CONMON_OP_CLEAR_REMOTE:
    case TN_CONMON_OP_SET_REMOTE_CONTROL:
        reply_kind(srv, from, c->version, id, opcode, KIND_RESPONSE);
        break;
    case TN_CONMON_OP_TX_METERING_ON:
    case TN_CONMON_OP_TX_METERING_OFF:
        c->tx_metering = opcode == TN_CONMON_OP_TX_METERING_ON;
        reply_kind(srv, from, c->version, id, opcode, KIND_RESPONSE);
        break;
    case TN_CONMON_OP_REGISTER:
    case TN_CONMON_OP_DEREGISTER:
        handle_register(srv, c, from, msg, size, opcode);
        break;
    case TN_CONMON_OP_SUBSCRIBE:
    case TN_CONMON_OP_UNSUBSCRIBE:
        handle_subscribe(srv, c, from, msg, size, opcode);
        break;
    case TN_CONMON_OP_SEND_MESSAGE:
        handle_send_message(srv, c, from, msg, size);
        break;
    case TN_CONMON_OP_SET_NAME:
        reply_kind(srv, from, c->version, id, opcode, KIND_NOT_SUPPORTED);
        break;
    default:
        reply_kind(srv, from, c->version, id, opcode, KIND_INVALID_OPCODE);
        break;
    }
}

void run_timers(tn_conmon_server *srv)
{
    uint64_t now = tn_now_micros();
    // Items may add further items (a device back from a reboot); take the due ones first.
    std::vector<timed_item> due;
    for (size_t i = 0; i < srv->timed.size();) {
        if (srv->timed[i].due <= now) {
            due.push_back(std::move(srv->timed[i]));
            srv->timed.erase(srv->timed.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
    for (timed_item &item : due) {
        tn_conmon_device *dev = find_device(srv, item.device.c_str());
        if (!dev)
            continue;
        if (item.kind == TIMED_STATUS) {
            deliver_status(srv, dev, item.body.data(), item.body.size());
        } else {
            dev->online = true;
            dev->aes67_reboot_needed = false;
            notify_subscription(srv, dev->name, TN_CONMON_STATUS_CONNECTED);
            std::vector<uint8_t> body = interface_status(dev, 0);
            deliver_status(srv, dev, body.data(), body.size());
        }
    }
}

bool valid_device_name(const char *name)
{
    if (!name)
        return false;
    size_t n = strnlen(name, TN_CONMON_NAME_SIZE);
    if (n == 0 || n >= TN_CONMON_NAME_SIZE)
        return false;
    return strpbrk(name, ".=@ \t") == nullptr;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Creation and settings

tn_conmon_server *tn_conmon_server_new(uint16_t port, qnb_error *error)
{
    qnb_error ignored;
    qnb_error &err = error ? *error : ignored;
    tn_conmon_server *srv = new (std::nothrow) tn_conmon_server();
    if (!srv) {
        err = QNB_ERR_NOMEMORY;
        return nullptr;
    }
    srv->sock = QNB_SOCKET_INVALID;
    srv->version = TN_CONMON_DEFAULT_VERSION;
    snprintf(srv->name, sizeof srv->name, "%s", "PC-CONMON");
    static const uint8_t id[8] = {0x02, 0x51, 0x5A, 0xFF, 0xFE, 0x50, 0x43, 0x01};
    memcpy(srv->device_id, id, 8);
    srv->process = 1;
    tn_conmon_interface lo{};
    lo.index = 1;
    lo.address = htonl(INADDR_LOOPBACK);
    lo.netmask = htonl(0xFF000000u);
    lo.link_speed = 1000;
    snprintf(lo.name, sizeof lo.name, "%s", "lo");
    srv->interfaces.push_back(lo);

    qnb_sockaddr address;
    qnb_sockaddr_set(&address, htonl(INADDR_LOOPBACK), port);
    qnb_sockaddr bound;
    if ((err = qnb_socket_open_udp(&srv->sock, AF_INET)) || (err = qnb_socket_bind(srv->sock, &address)) ||
        (err = qnb_socket_set_nonblocking(srv->sock, 0)) || (err = qnb_socket_get_name(srv->sock, &bound))) {
        qnb_socket_close(&srv->sock);
        delete srv;
        return nullptr;
    }
    srv->port = qnb_sockaddr_get_port(&bound);
    err = QNB_ERR_SUCCESS;
    return srv;
}

void tn_conmon_server_delete(tn_conmon_server *srv)
{
    if (!srv)
        return;
    qnb_socket_close(&srv->sock);
    delete srv;
}

uint16_t tn_conmon_server_get_port(const tn_conmon_server *srv)
{
    return srv ? srv->port : 0;
}

qnb_socket tn_conmon_server_get_socket(const tn_conmon_server *srv)
{
    return srv ? srv->sock : QNB_SOCKET_INVALID;
}

qnb_error tn_conmon_server_set_version(tn_conmon_server *srv, uint16_t version)
{
    if (!srv || version < 0x1000 || version > 0x1FFF)
        return QNB_ERR_INVALIDPARAMETER;
    srv->version = version;
    return QNB_ERR_SUCCESS;
}

qnb_error tn_conmon_server_set_name(tn_conmon_server *srv, const char *name)
{
    if (!srv || !name || strlen(name) >= NAME_FIELD)
        return QNB_ERR_INVALIDPARAMETER;
    memset(srv->name, 0, sizeof srv->name);
    memcpy(srv->name, name, strlen(name));
    return QNB_ERR_SUCCESS;
}

qnb_error tn_conmon_server_set_device_id(tn_conmon_server *srv, const uint8_t id[8], uint16_t process)
{
    if (!srv || !id)
        return QNB_ERR_INVALIDPARAMETER;
    memcpy(srv->device_id, id, 8);
    srv->process = process;
    return QNB_ERR_SUCCESS;
}

qnb_error tn_conmon_server_set_flags(tn_conmon_server *srv, uint16_t flags)
{
    if (!srv)
        return QNB_ERR_INVALIDPARAMETER;
    srv->flags = flags;
    return QNB_ERR_SUCCESS;
}

qnb_error tn_conmon_server_set_interfaces(tn_conmon_server *srv, const tn_conmon_interface *records, unsigned count)
{
    if (!srv || (count && !records) || count > TN_CONMON_MAX_INTERFACES)
        return QNB_ERR_INVALIDPARAMETER;
    srv->interfaces.assign(records, records + count);
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Devices

void tn_conmon_device_defaults(tn_conmon_device *dev, const char *name, const char *model, unsigned unit)
{
    if (!dev)
        return;
    memset(dev, 0, sizeof *dev);
    snprintf(dev->name, sizeof dev->name, "%s", name ? name : "");
    bool rqa = model && strcmp(model, "RQA-310") == 0;
    const uint8_t id[8] = {0x02, 0x51, 0x5A, 0xFF, 0xFE, static_cast<uint8_t>(rqa ? 0x31 : 0x04),
                           static_cast<uint8_t>(unit >> 8), static_cast<uint8_t>(unit)};
    memcpy(dev->device_id, id, 8);
    dev->process = 0;
    dev->instance = static_cast<uint16_t>(unit);
    dev->body_version = TN_CONMON_BODY_VERSION;
    memcpy(dev->model_id, rqa ? "QNBRQA31" : "QNBKTV4S", 8);
    dev->firmware = {4, 2, 1, 7};
    dev->software = {4, 2, 1, 3};
    dev->capabilities = 0x1000;
    memcpy(dev->manufacturer_id, "TORMEL\0\0", 8);
    memcpy(dev->manufacturer_model_id, rqa ? "RQA310\0\0" : "KTV4S\0\0\0", 8);
    snprintf(dev->manufacturer_name, sizeof dev->manufacturer_name, "%s", "Tormel");
    snprintf(dev->model_name, sizeof dev->model_name, "%s", model && *model ? model : "KTV4-S");
    dev->manufacturer_firmware = {1, 3, 0, 12};
    dev->manufacturer_software = {1, 3, 0, 5};
    dev->interface_count = 1;
    const uint8_t mac[6] = {0x02, 0x51, 0x5A, static_cast<uint8_t>(rqa ? 0x31 : 0x04), static_cast<uint8_t>(unit >> 8),
                            static_cast<uint8_t>(unit)};
    memcpy(dev->mac[0], mac, 6);
    dev->address[0] = htonl(0xA9FE0100u | (unit & 0xFF)); // 169.254.1.<unit>
    dev->netmask[0] = htonl(0xFFFF0000u);
    dev->link_speed[0] = 1000;
    dev->rate = 48000;
    if (rqa) {
        const uint32_t rates[] = {48000, 96000};
        dev->rate_count = 2;
        memcpy(dev->rates, rates, sizeof rates);
    } else {
        const uint32_t rates[] = {44100, 48000, 88200, 96000};
        dev->rate_count = 4;
        memcpy(dev->rates, rates, sizeof rates);
    }
    dev->preferred_master = false;
    dev->online = true;
    dev->reboot_ms = 3000;
}

qnb_error tn_conmon_server_add_device(tn_conmon_server *srv, const tn_conmon_device *dev)
{
    if (!srv || !dev || !valid_device_name(dev->name))
        return QNB_ERR_INVALIDPARAMETER;
    if (find_device(srv, dev->name))
        return QNB_ERR_ALREADY;
    if (srv->devices.size() >= TN_CONMON_MAX_DEVICES)
        return QNB_ERR_NOBUFS;
    std::unique_ptr<tn_conmon_device> copy(new (std::nothrow) tn_conmon_device(*dev));
    if (!copy)
        return QNB_ERR_NOMEMORY;
    copy->name[TN_CONMON_NAME_SIZE - 1] = '\0';
    copy->manufacturer_name[TN_CONMON_TEXT_SIZE - 1] = '\0';
    copy->model_name[TN_CONMON_TEXT_SIZE - 1] = '\0';
    bool online = copy->online;
    std::string name = copy->name;
    srv->devices.push_back(std::move(copy));
    if (online) // a client may have subscribed to it before it existed
        notify_subscription(srv, name.c_str(), TN_CONMON_STATUS_CONNECTED);
    return QNB_ERR_SUCCESS;
}

tn_conmon_device *tn_conmon_server_device(tn_conmon_server *srv, const char *name)
{
    return srv ? find_device(srv, name) : nullptr;
}

unsigned tn_conmon_server_device_count(const tn_conmon_server *srv)
{
    return srv ? static_cast<unsigned>(srv->devices.size()) : 0;
}

qnb_error tn_conmon_server_remove_device(tn_conmon_server *srv, const char *name)
{
    tn_conmon_device *dev = srv ? find_device(srv, name) : nullptr;
    if (!dev)
        return QNB_ERR_NOTFOUND;
    std::string gone = dev->name;
    for (size_t i = 0; i < srv->devices.size(); ++i)
        if (srv->devices[i].get() == dev) {
            srv->devices.erase(srv->devices.begin() + static_cast<long>(i));
            break;
        }
    notify_subscription(srv, gone.c_str(), TN_CONMON_STATUS_DISCONNECTED);
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Unsolicited traffic and behaviour

qnb_error tn_conmon_server_set_online(tn_conmon_server *srv, const char *name, bool online)
{
    tn_conmon_device *dev = srv ? find_device(srv, name) : nullptr;
    if (!dev)
        return QNB_ERR_NOTFOUND;
    dev->online = online;
    notify_subscription(srv, dev->name, online ? TN_CONMON_STATUS_CONNECTED : TN_CONMON_STATUS_DISCONNECTED);
    return QNB_ERR_SUCCESS;
}

qnb_error tn_conmon_server_send_subscription_status(tn_conmon_server *srv, const char *name, uint16_t status)
{
    tn_conmon_device *dev = srv ? find_device(srv, name) : nullptr;
    if (!dev)
        return QNB_ERR_NOTFOUND;
    notify_subscription(srv, dev->name, status);
    return QNB_ERR_SUCCESS;
}

qnb_error tn_conmon_server_property_change(tn_conmon_server *srv, const char *name)
{
    tn_conmon_device *dev = srv ? find_device(srv, name) : nullptr;
    if (!dev)
        return QNB_ERR_NOTFOUND;
    std::vector<uint8_t> body = vendor_body(dev, T_PROPERTY_CHANGE, 0, 12);
    deliver_status(srv, dev, body.data(), body.size());
    return QNB_ERR_SUCCESS;
}

qnb_error tn_conmon_server_send_status(tn_conmon_server *srv, const char *name, const void *body, size_t length)
{
    tn_conmon_device *dev = srv ? find_device(srv, name) : nullptr;
    if (!dev)
        return QNB_ERR_NOTFOUND;
    if (!body || length > MAX_BODY)
        return QNB_ERR_INVALIDPARAMETER;
    deliver_status(srv, dev, static_cast<const uint8_t *>(body), length);
    return QNB_ERR_SUCCESS;
}

void tn_conmon_server_set_silent(tn_conmon_server *srv, bool silent)
{
    if (srv)
        srv->silent = silent;
}

void tn_conmon_server_refuse(tn_conmon_server *srv, uint16_t opcode, uint16_t kind)
{
    if (!srv)
        return;
    if (kind != 0)
        srv->refused[opcode] = kind;
    else
        srv->refused.erase(opcode);
}

void tn_conmon_server_set_unanswered(tn_conmon_server *srv, uint16_t opcode, bool unanswered)
{
    if (!srv)
        return;
    if (unanswered)
        srv->unanswered.insert(opcode);
    else
        srv->unanswered.erase(opcode);
}

void tn_conmon_server_lose_global_subscribes(tn_conmon_server *srv, unsigned n)
{
    if (srv)
        srv->lose_global = n;
}

void tn_conmon_server_lose(tn_conmon_server *srv, tn_conmon_way way, uint16_t opcode, unsigned n)
{
    if (srv)
        (way == TN_CONMON_LOSE_IN ? srv->lose_in : srv->lose_out)[opcode] = n;
}

unsigned long tn_conmon_server_received(const tn_conmon_server *srv)
{
    return srv ? srv->received : 0;
}

void tn_conmon_server_set_reply_delay_ms(tn_conmon_server *srv, uint32_t ms)
{
    if (srv)
        srv->reply_delay_ms = ms;
}

void tn_conmon_server_set_named_messages(tn_conmon_server *srv, bool named)
{
    if (srv)
        srv->named = named;
}

void tn_conmon_server_set_loss(tn_conmon_server *srv, unsigned every_nth)
{
    if (srv) {
        srv->loss_every = every_nth;
        srv->loss_counter = 0;
    }
}

void tn_conmon_server_set_duplication(tn_conmon_server *srv, unsigned every_nth)
{
    if (srv) {
        srv->dup_every = every_nth;
        srv->dup_counter = 0;
    }
}

void tn_conmon_server_set_impairment(tn_conmon_server *srv, unsigned loss_pct, unsigned duplicate_pct,
                                     unsigned reorder_pct, uint64_t seed)
{
    if (!srv)
        return;
    tn_impair_init(&srv->impair_in, loss_pct, duplicate_pct, reorder_pct, seed);
    tn_impair_init(&srv->impair_out, loss_pct, duplicate_pct, reorder_pct, ~seed);
}

unsigned long tn_conmon_server_impaired(const tn_conmon_server *srv)
{
    return srv ? tn_impair_events(&srv->impair_in) + tn_impair_events(&srv->impair_out) : 0;
}

void tn_conmon_server_set_trace(tn_conmon_server *srv, FILE *out)
{
    if (srv)
        srv->trace = out;
}

void tn_conmon_server_forget_clients(tn_conmon_server *srv)
{
    if (srv)
        srv->clients.clear();
}

// ---------------------------------------------------------------------------------------------
// Restart

namespace {

qnb_error open_socket(tn_conmon_server *srv, uint16_t port)
{
    qnb_sockaddr address;
    qnb_sockaddr_set(&address, htonl(INADDR_LOOPBACK), port);
    qnb_sockaddr bound;
    qnb_error err;
    if ((err = qnb_socket_open_udp(&srv->sock, AF_INET)) || (err = qnb_socket_bind(srv->sock, &address)) ||
        (err = qnb_socket_set_nonblocking(srv->sock, 0)) || (err = qnb_socket_get_name(srv->sock, &bound))) {
        qnb_socket_close(&srv->sock);
        return err;
    }
    srv->port = qnb_sockaddr_get_port(&bound);
    return QNB_ERR_SUCCESS;
}

// Back on the same port; a port taken meanwhile is tried again on the next pass.
qnb_error reopen_socket(tn_conmon_server *srv)
{
    qnb_error err = open_socket(srv, srv->port);
    if (!err)
        srv->down = false;
    return err;
}

} // namespace

qnb_error tn_conmon_server_restart(tn_conmon_server *srv, uint32_t down_ms)
{
    if (!srv)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_socket_close(&srv->sock);
    srv->clients.clear();
    // Answers still queued went with the old process; the devices' own reboots go on.
    for (size_t i = 0; i < srv->timed.size();) {
        if (srv->timed[i].kind == TIMED_STATUS)
            srv->timed.erase(srv->timed.begin() + static_cast<long>(i));
        else
            ++i;
    }
    srv->down = true;
    srv->reopen_due = tn_now_micros() + static_cast<uint64_t>(down_ms) * 1000u;
    ++srv->restarts;
    return down_ms == 0 ? reopen_socket(srv) : QNB_ERR_SUCCESS;
}

bool tn_conmon_server_is_up(const tn_conmon_server *srv)
{
    return srv && !srv->down;
}

unsigned tn_conmon_server_restart_count(const tn_conmon_server *srv)
{
    return srv ? srv->restarts : 0;
}

// ---------------------------------------------------------------------------------------------
// Running

qnb_error tn_conmon_server_process(tn_conmon_server *srv)
{
    if (!srv)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error result = QNB_ERR_SUCCESS;
    if (srv->down && tn_now_micros() >= srv->reopen_due)
        result = reopen_socket(srv);
    for (; !srv->down;) {
        size_t size = sizeof srv->in;
        qnb_sockaddr from;
        memset(&from, 0, sizeof from);
        qnb_error err = qnb_socket_recvfrom(srv->sock, srv->in, &size, &from);
        if (err == QNB_ERR_TIMEDOUT)
            break;
        if (err == QNB_ERR_MSGSIZE || err == QNB_ERR_CONNRESET || err == QNB_ERR_CONNREFUSED ||
            err == QNB_ERR_INTERRUPTED)
            continue; // an oversize datagram or a stale error report: drop it and go on
        if (err) {
            result = err;
            break;
        }
        ++srv->received;
        count_question(srv, srv->in, size);
        if (lose_now(srv->lose_in, srv->in, size)) {
            trace_datagram(srv, "x-", &from, srv->in, size);
            if (size >= HEAD && (ld16(srv->in + 8) & 0x0FFF) == KIND_REQUEST)
                ++srv->counts[ld16(srv->in + 6)];
            continue;
        }
        if (!tn_impair_active(&srv->impair_in)) {
            handle_datagram(srv, from, size);
            srv->suppress = false;
            continue;
        }
        // Through the impairment: a copy, since a datagram held back is handled after the next.
        std::vector<uint8_t> datagram(srv->in, srv->in + size);
        pass_impaired(srv, &srv->impair_in, "x-", &from, datagram.data(), datagram.size(), deliver_request);
    }
    tn_impair_flush(&srv->impair_in, deliver_request, srv);
    tn_impair_flush(&srv->impair_out, deliver_datagram, srv);
    run_timers(srv);
    return result;
}

qnb_error tn_conmon_server_poll(tn_conmon_server *srv, int timeout_ms)
{
    if (!srv)
        return QNB_ERR_INVALIDPARAMETER;
    struct pollfd p;
    p.fd = srv->sock;
    p.events = POLLIN;
    p.revents = 0;
    if (poll(&p, 1, timeout_ms) < 0 && errno != EINTR)
        return qnb_error_from_errno(errno);
    return tn_conmon_server_process(srv);
}

unsigned tn_conmon_server_request_count(const tn_conmon_server *srv, uint16_t opcode)
{
    if (!srv)
        return 0;
    auto it = srv->counts.find(opcode);
    return it == srv->counts.end() ? 0 : it->second;
}

unsigned tn_conmon_server_client_count(const tn_conmon_server *srv)
{
    return srv ? static_cast<unsigned>(srv->clients.size()) : 0;
}

bool tn_conmon_server_is_registered(const tn_conmon_server *srv, uint16_t type, uint16_t cls)
{
    if (!srv || srv->clients.empty() || type >= CHANNEL_TYPES || cls > 1)
        return false;
    return srv->clients.back().registered[type][cls];
}

bool tn_conmon_server_is_subscribed(const tn_conmon_server *srv, uint16_t type, const char *name)
{
    if (!srv || srv->clients.empty() || type >= CHANNEL_TYPES)
        return false;
    const client_entry &c = srv->clients.back();
    if (!name || !*name)
        return c.global[type];
    return c.subscriptions.count({type, std::string(name)}) != 0;
}

unsigned tn_conmon_server_sent_count(const tn_conmon_server *srv)
{
    return srv ? srv->sent : 0;
}

// ---------------------------------------------------------------------------------------------
// Device descriptions

const char *const tn_conmon_default_devices = "# the default installation: one unit of each model\n"
                                              "device T001-KTV4-S KTV4-S 1\n"
                                              "device T002-RQA-310 RQA-310 2\n";

namespace {

bool parse_unsigned(const char *text, unsigned long max, unsigned long *out)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 0);
    if (errno || *end != '\0' || v > max || text[0] == '-')
        return false;
    *out = v;
    return true;
}

bool parse_flag(const char *text, bool *out)
{
    unsigned long v = 0;
    if (!parse_unsigned(text, 1, &v))
        return false;
    *out = v != 0;
    return true;
}

// "4.2.1.7": major and minor up to 255, bugfix up to 65535, build up to 2^32 - 1.
bool parse_version(const char *text, tn_conmon_version *out)
{
    if (!text)
        return false;
    unsigned long part[4];
    const char *p = text;
    for (int i = 0; i < 4; ++i) {
        char *end = nullptr;
        if (*p < '0' || *p > '9')
            return false;
        errno = 0;
        part[i] = strtoul(p, &end, 10);
        if (errno || (i < 3 && *end != '.') || (i == 3 && *end != '\0'))
            return false;
        p = end + 1;
    }
    if (part[0] > 255 || part[1] > 255 || part[2] > 65535 || part[3] > 0xFFFFFFFFul)
        return false;
    *out = {static_cast<uint8_t>(part[0]), static_cast<uint8_t>(part[1]), static_cast<uint16_t>(part[2]),
            static_cast<uint32_t>(part[3])};
    return true;
}

// Up to 8 characters, zero padded.
bool parse_id8(const char *text, uint8_t out[8])
{
    if (!text || strlen(text) > 8)
        return false;
    memset(out, 0, 8);
    memcpy(out, text, strlen(text));
    return true;
}

bool parse_hex_id(const char *text, uint8_t out[8])
{
    if (!text || strlen(text) != 16)
        return false;
    for (int i = 0; i < 8; ++i) {
        unsigned v = 0;
        if (sscanf(text + 2 * i, "%2x", &v) != 1 || !isxdigit(static_cast<unsigned char>(text[2 * i])) ||
            !isxdigit(static_cast<unsigned char>(text[2 * i + 1])))
            return false;
        out[i] = static_cast<uint8_t>(v);
    }
    return true;
}

bool parse_mac(const char *text, uint8_t mac[6])
{
    unsigned v[6];
    char tail = 0;
    if (!text || sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<uint8_t>(v[i]);
    return true;
}

bool parse_ipv4(const char *text, uint32_t *out)
{
    struct in_addr a;
    if (!text || inet_pton(AF_INET, text, &a) != 1)
        return false;
    *out = a.s_addr;
    return true;
}

// One statement of a device; false for a malformed one.
bool apply_statement(tn_conmon_device *d, const std::vector<std::string> &w, const std::string &rest)
{
    const std::string &key = w[0];
    const char *a = w.size() > 1 ? w[1].c_str() : nullptr;
    const char *b = w.size() > 2 ? w[2].c_str() : nullptr;
    unsigned long v = 0;
    if (key == "id")
        return w.size() == 2 && parse_hex_id(a, d->device_id);
    if (key == "process" && w.size() == 2 && parse_unsigned(a, 0xFFFF, &v))
        return d->process = static_cast<uint16_t>(v), true;
    if (key == "body-version" && w.size() == 2 && parse_unsigned(a, 0xFFFF, &v))
        return d->body_version = static_cast<uint16_t>(v), true;
    if (key == "firmware")
        return w.size() == 2 && parse_version(a, &d->firmware);
    if (key == "software")
        return w.size() == 2 && parse_version(a, &d->software);
    if (key == "manufacturer-firmware")
        return w.size() == 2 && parse_version(a, &d->manufacturer_firmware);
    if (key == "manufacturer-software")
        return w.size() == 2 && parse_version(a, &d->manufacturer_software);
    if (key == "model-id")
        return w.size() == 2 && parse_id8(a, d->model_id);
    if (key == "manufacturer-id")
        return w.size() == 2 && parse_id8(a, d->manufacturer_id);
    if (key == "manufacturer-model-id")
        return w.size() == 2 && parse_id8(a, d->manufacturer_model_id);
    if (key == "capabilities" && w.size() == 2 && parse_unsigned(a, 0xFFFFFFFFul, &v))
        return d->capabilities = static_cast<uint32_t>(v), true;
    if (key == "manufacturer" || key == "model-name") {
        if (rest.empty() || rest.size() >= TN_CONMON_TEXT_SIZE)
            return false;
        char *field = key == "manufacturer" ? d->manufacturer_name : d->model_name;
        memset(field, 0, TN_CONMON_TEXT_SIZE);
        memcpy(field, rest.data(), rest.size());
        return true;
    }
    if (key == "rate" && w.size() == 2 && parse_unsigned(a, 0xFFFFFFFFul, &v))
        return d->rate = static_cast<uint32_t>(v), true;
    if (key == "rates") {
        if (w.size() < 2 || w.size() - 1 > TN_CONMON_MAX_RATES)
            return false;
        for (size_t i = 1; i < w.size(); ++i) {
            if (!parse_unsigned(w[i].c_str(), 0xFFFFFFFFul, &v))
                return false;
            d->rates[i - 1] = static_cast<uint32_t>(v);
        }
        d->rate_count = static_cast<unsigned>(w.size() - 1);
        return true;
    }
    if (key == "lock")
        return w.size() == 2 && parse_flag(a, &d->locked);
    if (key == "preferred-master")
        return w.size() == 2 && parse_flag(a, &d->preferred_master);
    if (key == "aes67")
        return (w.size() == 2 || w.size() == 3) && parse_flag(a, &d->aes67_enabled) &&
               (!b || parse_flag(b, &d->aes67_reboot_needed));
    if (key == "reboot-ms" && w.size() == 2 && parse_unsigned(a, 3600000, &v))
        return d->reboot_ms = static_cast<uint32_t>(v), true;
    if (key == "offline" && w.size() == 1)
        return d->online = false, true;
    if (key == "silent" && w.size() == 1)
        return d->silent = true, true;
    if (key == "interfaces" && w.size() == 1)
        return d->interface_count = 0, true;
    if (key == "interface") {
        // interface MAC IP [NETMASK [SPEED]]: the first statement replaces the default interface.
        if (w.size() < 3 || w.size() > 5 || d->interface_count >= 2)
            return false;
        unsigned i = d->interface_count;
        uint32_t mask = htonl(0xFFFF0000u);
        if (!parse_mac(a, d->mac[i]) || !parse_ipv4(b, &d->address[i]) ||
            (w.size() > 3 && !parse_ipv4(w[3].c_str(), &mask)) ||
            (w.size() > 4 && !parse_unsigned(w[4].c_str(), 0xFFFF, &v)))
            return false;
        d->netmask[i] = mask;
        d->link_speed[i] = w.size() > 4 ? static_cast<uint16_t>(v) : 1000;
        d->interface_count = i + 1;
        return true;
    }
    return false;
}

} // namespace

qnb_error tn_conmon_server_load_text(tn_conmon_server *srv, const char *text)
{
    if (!srv || !text)
        return QNB_ERR_INVALIDPARAMETER;
    std::vector<tn_conmon_device> parsed;
    std::vector<bool> interface_given;
    unsigned line_no = 0;
    const char *p = text;
    while (*p) {
        const char *end = strchr(p, '\n');
        std::string line = end ? std::string(p, static_cast<size_t>(end - p)) : std::string(p);
        p = end ? end + 1 : p + strlen(p);
        ++line_no;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::vector<std::string> words;
        size_t pos = 0;
        while (pos < line.size()) {
            while (pos < line.size() && isspace(static_cast<unsigned char>(line[pos])))
                ++pos;
            size_t start = pos;
            while (pos < line.size() && !isspace(static_cast<unsigned char>(line[pos])))
                ++pos;
            if (pos > start)
                words.emplace_back(line, start, pos - start);
        }
        if (words.empty())
            continue;
        bool ok;
        if (words[0] == "device") {
            unsigned long unit = parsed.size() + 1;
            ok = (words.size() == 3 || words.size() == 4) && valid_device_name(words[1].c_str()) &&
                 words[1].size() < TN_CONMON_NAME_SIZE && (words[2] == "KTV4-S" || words[2] == "RQA-310") &&
                 (words.size() == 3 || parse_unsigned(words[3].c_str(), 0xFFFF, &unit));
            for (const tn_conmon_device &d : parsed)
                ok = ok && words[1] != d.name;
            if (ok) {
                parsed.emplace_back();
                tn_conmon_device_defaults(&parsed.back(), words[1].c_str(), words[2].c_str(),
                                          static_cast<unsigned>(unit));
                interface_given.push_back(false);
            }
        } else if (parsed.empty()) {
            ok = false;
        } else {
            // The rest of the line after the key, for texts with blanks.
            std::string rest = line.substr(line.find(words[0]) + words[0].size());
            size_t first = rest.find_first_not_of(" \t\r");
            size_t last = rest.find_last_not_of(" \t\r");
            rest = first == std::string::npos ? std::string() : rest.substr(first, last - first + 1);
            tn_conmon_device &d = parsed.back();
            if (words[0] == "interface" && !interface_given.back()) {
                d.interface_count = 0;
                interface_given.back() = true;
            }
            ok = apply_statement(&d, words, rest);
        }
        if (!ok) {
            fprintf(stderr, "tn_conmon_server: device description line %u not understood: %s\n", line_no,
                    line.c_str());
            return QNB_ERR_INVALIDDATA;
        }
    }
    for (const tn_conmon_device &d : parsed)
        if (find_device(srv, d.name)) {
            fprintf(stderr, "tn_conmon_server: device %s is already known\n", d.name);
            return QNB_ERR_ALREADY;
        }
    if (srv->devices.size() + parsed.size() > TN_CONMON_MAX_DEVICES)
        return QNB_ERR_NOBUFS;
    for (const tn_conmon_device &d : parsed) {
        qnb_error err = tn_conmon_server_add_device(srv, &d);
        if (err)
            return err;
    }
    return QNB_ERR_SUCCESS;
}

qnb_error tn_conmon_server_load_file(tn_conmon_server *srv, const char *path)
{
    if (!srv || !path)
        return QNB_ERR_INVALIDPARAMETER;
    FILE *f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "tn_conmon_server: cannot open %s\n", path);
        return QNB_ERR_NOTFOUND;
    }
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < (1u << 20))
        text.append(chunk, n);
    fclose(f);
    if (text.find('\0') != std::string::npos)
        return QNB_ERR_INVALIDDATA;
    return tn_conmon_server_load_text(srv, text.c_str());
}
