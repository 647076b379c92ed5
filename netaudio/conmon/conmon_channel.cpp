#include "netaudio/conmon/conmon_channel.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/dup_ring.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"

const uint32_t CONMON_SERIAL_GROUP = htonl(0xE00000E8u); // 224.0.0.232
const uint8_t CONMON_VENDOR_STANDARD[CONMON_VENDOR_ID_SIZE] = {'Q', 'u', 'e', 'n', 'b', 'a', 'r', 'y'};

namespace {

const char *const k_type_names[CONMON_CHANNEL_TYPES] = {
    "control", "metering", "status", "broadcast", "local", "serial", "keepalive", "vendor_broadcast", "monitoring"};

const conmon_channel_mode_info k_modes[] = {
    {CONMON_CHANNEL_MODE_0, false, true},          {CONMON_CHANNEL_MODE_1, false, false},
    {CONMON_CHANNEL_MODE_2, false, false},         {CONMON_CHANNEL_REMOTE_ANYCAST, false, true},
    {CONMON_CHANNEL_REMOTE_MULTICAST, true, true}, {CONMON_CHANNEL_MODE_5, true, true},
};

} // namespace

struct conmon_channel {
    conmon_channel_set *set;
    unsigned type;
    unsigned mode;
    qnb_socket sock;
    qnb_socket alt_sock;
    uint16_t port;
    uint16_t alt_port;
    qnb_sockaddr destination;                  // group and port (multicast modes)
    qnb_sockaddr unicast[CONMON_MAX_NETWORKS]; // unicast mode: per network
    uint32_t unicast_mask;
    uint32_t joined[CONMON_MAX_NETWORKS]; // interface address joined on (0: none)
    uint32_t reads;
    bool enabled;
    dup_ring *duplicates;
};

struct conmon_channel_set {
    qnb_env *env;
    conmon_channel_set_config config;
    const conmon_networks *networks;
    const qnb_interface *interfaces;
    conmon_source_id own_id;
    conmon_channel_receive_fn receive;
    void *receive_context;
    conmon_channel *channels[CONMON_CHANNEL_TYPES];
    bool has_multicast;
    qnb_socket tx[CONMON_MAX_NETWORKS];
    bool tx_interface_set[CONMON_MAX_NETWORKS];
};

namespace {

qnb_logger *log_of(const conmon_channel_set *set)
{
    return set && set->env ? set->env->logger : nullptr;
}

const char *err_text(qnb_error e)
{
    const char *t = qnb_error_get_text(e);
    return t ? t : "unknown error";
}

const char *name_of(const conmon_channel *c)
{
    return conmon_channel_type_name(c->type);
}

bool is_multicast_mode(unsigned mode)
{
    const conmon_channel_mode_info *m = conmon_channel_mode_get(mode);
    return m && m->multicast;
}

uint32_t iface_address(const qnb_interface *iface)
{
    if (qnb_sockaddr_is_empty(&iface->address))
        return 0;
    return iface->address.sin.sin_addr.s_addr;
}

// The loop the channel's sockets join: the environment's, when the channel's mode uses one.
qnb_event_loop *loop_of(const conmon_channel_set *set, const conmon_channel *c)
{
    const conmon_channel_mode_info *m = conmon_channel_mode_get(c->mode);
    return set->env && m && m->event_loop ? set->env->event_loop : nullptr;
}

void leave_loop(conmon_channel_set *set, conmon_channel *c, qnb_socket sock)
{
    if (loop_of(set, c))
        qnb_event_loop_set_socket(loop_of(set, c), sock, QNB_EVENT_LOOP_SET_READ, nullptr, nullptr,
                                  QNB_EVENT_LOOP_CHANGE_ONLY);
}

void close_channel_sockets(conmon_channel_set *set, conmon_channel *c)
{
    if (c->sock != QNB_SOCKET_INVALID) {
        leave_loop(set, c, c->sock);
        qnb_socket_close(&c->sock);
        qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s/normal): closed socket\n", __func__, name_of(c));
    }
    if (c->alt_sock != QNB_SOCKET_INVALID) {
        leave_loop(set, c, c->alt_sock);
        qnb_socket_close(&c->alt_sock);
        qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s/alternate): closed socket\n", __func__, name_of(c));
    }
    std::memset(c->joined, 0, sizeof c->joined);
}

// Multicast membership of one channel on each network: dropped where the link went down or the
// interface address changed, added where the link is up with an address not yet joined.
void conmon_channel_update_sockets(conmon_channel_set *set, conmon_channel *c)
{
    if (!is_multicast_mode(c->mode) || c->sock == QNB_SOCKET_INVALID)
        return;
    unsigned count = set->networks ? set->networks->count : 0;
    for (unsigned i = 0; i < CONMON_MAX_NETWORKS; ++i) {
        const qnb_interface *iface = &set->interfaces[i];
        bool up = i < count && iface->up;
        uint32_t address = i < count ? iface_address(iface) : 0;
        qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s/%d): link=%s iface=0x%08x join=0x%08x \n", __func__, name_of(c), i,
                up ? "up" : "down", ntohl(address), ntohl(c->joined[i]));
        if ((!up || address != c->joined[i]) && c->joined[i]) {
            qnb_interface old = *iface;
            qnb_sockaddr_set(&old.address, c->joined[i], 0);
            qnb_error e = qnb_socket_leave_group(c->sock, &c->destination, &old);
            if (e)
                qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%d): Error dropping membership: %s\n", __func__, name_of(c),
                        i, err_text(e));
            else
                qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s/%d): dropped multicast membership\n", __func__, name_of(c),
                        i);
            c->joined[i] = 0;
        }
        if (up && address && c->joined[i] != address) {
            qnb_error e = qnb_socket_join_group(c->sock, &c->destination, iface);
            if (e) {
                qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%d): Error adding multicast membership: %s\n", __func__,
                        name_of(c), i, err_text(e));
            } else {
                qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s/%d): Added multicast membership\n", __func__, name_of(c), i);
                c->joined[i] = address;
            }
        }
    }
}

qnb_error conmon_channel_process_socket(conmon_channel_set *set, conmon_channel *c, qnb_socket sock);

void on_socket_readable(qnb_event_loop *, int sock, unsigned, void *user_data)
{
    conmon_channel *c = static_cast<conmon_channel *>(user_data);
    conmon_channel_process_socket(c->set, c, sock);
}

qnb_error open_one(conmon_channel_set *set, conmon_channel *c, qnb_socket *sock, uint16_t port, bool alternate)
{
    const char *which = alternate ? "alternate" : "normal";
    qnb_error e = qnb_socket_open_udp(sock, AF_INET);
    if (e) {
        qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%s): Error creating socket: %s\n", __func__, name_of(c), which,
                err_text(e));
        return e;
    }
    if (alternate || c->mode != CONMON_CHANNEL_REMOTE_ANYCAST)
        qnb_socket_set_reuse_address(*sock, 1);
    if (is_multicast_mode(c->mode)) {
        e = qnb_socket_set_reuse_port(*sock, 1);
        if (e == QNB_ERR_NOTSUPPORTED)
            qnb_log(log_of(set), QNB_LOG_WARNING, "%s(%s/%s): Can't enable port re-use, continuing anyway: %s\n",
                    __func__, name_of(c), which, err_text(e));
        else if (e)
            qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%s): Error enabling port re-use: %s\n", __func__, name_of(c),
                    which, err_text(e));
    }
    qnb_sockaddr any;
    qnb_sockaddr_set_any(&any, AF_INET, port);
    qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s/%s): binding to address 0x%08x:%u\n", __func__, name_of(c), which, 0u,
            port);
    e = qnb_socket_bind(*sock, &any);
    if (e) {
        char text[QNB_SOCKADDR_TEXT_SIZE];
        qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%s): Error binding to %s: %s\n", __func__, name_of(c), which,
                qnb_sockaddr_to_text(&any, text, sizeof text), err_text(e));
        return e;
    }
    e = qnb_socket_set_pktinfo(*sock, 1);
    if (e) {
        qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%s): Error enabling destination information: %s\n", __func__,
                name_of(c), which, err_text(e));
        return e;
    }
    if (is_multicast_mode(c->mode)) {
        int loop = set->config.loopback ? 1 : 0;
        qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s/%s): %s multicast loopback\n", __func__, name_of(c), which,
                loop ? "enabling" : "disabling");
        e = qnb_socket_set_multicast_loop(*sock, loop);
        if (e) {
            qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%s): Error setting multicast loopback: %s\n", __func__,
                    name_of(c), which, err_text(e));
            return e;
        }
    }
    e = qnb_socket_set_nonblocking(*sock, 0);
    if (e) {
        qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%s): Error setting non-blocking: %s\n", __func__, name_of(c), which,
                err_text(e));
        return e;
    }
    if (loop_of(set, c)) {
        e = qnb_event_loop_set_socket(loop_of(set, c), *sock, QNB_EVENT_LOOP_SET_READ, on_socket_readable, c,
                                      QNB_EVENT_LOOP_ADD_ONLY);
        if (e) {
            qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s/%s): Error adding socket to the event loop: %s\n", __func__,
                    name_of(c), which, err_text(e));
            qnb_socket_close(sock);
            return e;
        }
    }
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_channel_initialise_sockets(conmon_channel_set *set, conmon_channel *c)
{
    uint16_t bind_port = c->alt_port ? c->alt_port : c->port;
    bool need_alt = c->port && c->alt_port && c->port != c->alt_port;
    qnb_error e = open_one(set, c, &c->sock, bind_port, false);
    if (!e && need_alt)
        e = open_one(set, c, &c->alt_sock, c->port, true);
    if (e) {
        close_channel_sockets(set, c);
        return e;
    }
    conmon_channel_update_sockets(set, c);
    return QNB_ERR_SUCCESS;
}

conmon_channel *channel_of(const conmon_channel_set *set, unsigned type)
{
    if (!set || type >= CONMON_CHANNEL_TYPES)
        return nullptr;
    return set->channels[type];
}

// The network a datagram arrived on, from its source, destination and arrival interface; -1 when
// the information is missing or maps to no network.
int conmon_channel_validate_destination_info(conmon_channel_set *set, conmon_channel *c, const qnb_recv_options *info)
{
    if (!(info->flags & QNB_RECV_SOURCE)) {
        qnb_log(log_of(set), QNB_LOG_WARNING, "%s(%s) error recving message: no 'from' information\n", __func__,
                name_of(c));
        return -1;
    }
    if (!(info->flags & QNB_RECV_DESTINATION)) {
        qnb_log(log_of(set), QNB_LOG_WARNING, "%s(%s) error recving message: no 'to' information\n", __func__,
                name_of(c));
        return -1;
    }
    if (!(info->flags & QNB_RECV_INTERFACE)) {
        qnb_log(log_of(set), QNB_LOG_WARNING, "%s(%s) error recving message: no 'index' information\n", __func__,
                name_of(c));
        return -1;
    }
    const uint32_t index = info->interface_index;
    if (set->config.managed)
        return 0;
    unsigned count = set->networks ? set->networks->count : 0;
    for (unsigned i = 0; i < count && i < CONMON_MAX_NETWORKS; ++i)
        if (set->networks->entries[i].interface_index == index)
            return (int)i;
    for (unsigned i = 0; i < count && i < CONMON_MAX_NETWORKS; ++i) {
        const qnb_interface *iface = &set->interfaces[i];
        if (iface->index == index || (iface->pktinfo_index && iface->pktinfo_index == index)) {
            qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s) inferring network %u from index %u and pktinfo_index %u\n",
                    __func__, name_of(c), i, iface->index, iface->pktinfo_index);
            return (int)i;
        }
    }
    if (c->mode == CONMON_CHANNEL_REMOTE_ANYCAST) {
        qnb_interface lo;
        if (qnb_interface_get_loopback(&lo) == QNB_ERR_SUCCESS && lo.index == index) {
            qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s): mapping localhost index %d to network id 0\n", __func__,
                    name_of(c), (int)index);
            return 0;
        }
    }
    qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s): error finding network id for interface index %d\n", __func__,
            name_of(c), (int)index);
    return -1;
}

void conmon_channel_process_message(conmon_channel_set *set, conmon_channel *c, const conmon_channel_message *msg,
                                    const qnb_recv_options *info, unsigned network);

void conmon_channel_process_datagram(conmon_channel_set *set, conmon_channel *c, const uint8_t *data, size_t size,
                                     const qnb_recv_options *info)
{
    if (size < CONMON_MESSAGE_HEAD_SIZE) {
        qnb_log(log_of(set), QNB_LOG_WARNING, "%s(%s) receved invalid message: size %u < conmon message head size %d\n",
                __func__, name_of(c), (unsigned)size, (int)CONMON_MESSAGE_HEAD_SIZE);
        return;
    }
    conmon_channel_message m;
    if (conmon_channel_message_view(data, size, true, &m) != QNB_ERR_SUCCESS) {
        qnb_log(log_of(set), QNB_LOG_WARNING, "%s(%s) receved invalid message: size %u != expected size %d\n", __func__,
                name_of(c), (unsigned)size, (int)wgcp_load_be16(data + 2));
        return;
    }
    int network = conmon_channel_validate_destination_info(set, c, info);
    if (network < 0 || !c->enabled)
        return;
    conmon_channel_process_message(set, c, &m, info, (unsigned)network);
}

// Destination checks and the duplicate filter; a new message goes to the receive callback.
void conmon_channel_process_message(conmon_channel_set *set, conmon_channel *c, const conmon_channel_message *msg,
                                    const qnb_recv_options *info, unsigned network)
{
    const conmon_channel_message &m = *msg;
    bool to_multicast = qnb_sockaddr_is_multicast(&info->destination);
    if (is_multicast_mode(c->mode) && !to_multicast) {
        qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s): ignoring unexpected unicast message\n", __func__, name_of(c));
        return;
    }
    if (!is_multicast_mode(c->mode) && to_multicast) {
        qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s): ignoring unexpected multicast message\n", __func__, name_of(c));
        return;
    }
    uint8_t identity[DUP_RING_IDENTITY_SIZE];
    std::memcpy(identity, m.head.source_id, CONMON_DEVICE_ID_SIZE);
    wgcp_store_be16(identity + CONMON_DEVICE_ID_SIZE, m.head.process);
    if (dup_ring_check_add(c->duplicates, identity, m.head.sequence, network, &info->source, nullptr) == 0) {
        qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s): finished (duplicate message)\n", __func__, name_of(c));
        return;
    }
    qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s): finished (new message)\n", __func__, name_of(c));
    if (set->receive)
        set->receive(set->receive_context, c->type, msg);
}

qnb_error conmon_channel_process_socket(conmon_channel_set *set, conmon_channel *c, qnb_socket sock)
{
    uint8_t buffer[CONMON_CHANNEL_PACKET_SIZE];
    for (uint32_t n = 0; n < c->reads; ++n) {
        size_t size = sizeof buffer;
        qnb_recv_options info;
        std::memset(&info, 0, sizeof info);
        info.flags = QNB_RECV_SOURCE | QNB_RECV_DESTINATION | QNB_RECV_INTERFACE;
        qnb_error e = qnb_socket_recvmsg(sock, buffer, &size, &info);
        if (e == QNB_ERR_TIMEDOUT)
            return QNB_ERR_SUCCESS; // nothing more waiting
        if (e) {
            qnb_log(log_of(set), QNB_LOG_ERROR, "%s(%s): error recving: %s\n", __func__, name_of(c), err_text(e));
            return e;
        }
        conmon_channel_process_datagram(set, c, buffer, size, &info);
    }
    return QNB_ERR_SUCCESS;
}

conmon_channel *make_channel(conmon_channel_set *set, unsigned type)
{
    conmon_channel *c = static_cast<conmon_channel *>(calloc(1, sizeof(conmon_channel)));
    if (!c)
        return nullptr;
    c->set = set;
    c->type = type;
    c->sock = QNB_SOCKET_INVALID;
    c->alt_sock = QNB_SOCKET_INVALID;
    c->reads = CONMON_CHANNEL_DEFAULT_READS;
    c->enabled = true;
    c->duplicates = dup_ring_new(CONMON_DUPLICATE_ENTRIES, CONMON_DUPLICATE_WINDOW);
    if (!c->duplicates) {
        free(c);
        return nullptr;
    }
    return c;
}

} // namespace

const char *conmon_channel_type_name(unsigned type)
{
    return type < CONMON_CHANNEL_TYPES ? k_type_names[type] : nullptr;
}

const conmon_channel_mode_info *conmon_channel_mode_get(unsigned mode)
{
    for (const auto &m : k_modes)
        if (m.mode == mode)
            return &m;
    return nullptr;
}

bool conmon_source_id_equal(const conmon_source_id *a, const conmon_source_id *b)
{
    return std::memcmp(a->device_id, b->device_id, CONMON_DEVICE_ID_SIZE) == 0 && a->process == b->process;
}

qnb_error conmon_message_build(uint8_t *buffer, size_t capacity, uint16_t type, const uint8_t *vendor_id,
                               const void *body, size_t body_length, size_t *length)
{
    if (!buffer || !length || !vendor_id || (!body && body_length) || body_length > CONMON_MESSAGE_MAX_BODY)
        return QNB_ERR_INVALIDPARAMETER;
    size_t total = CONMON_MESSAGE_HEAD_SIZE + body_length;
    if (capacity < total)
        return QNB_ERR_MSGSIZE;
    std::memset(buffer, 0, CONMON_MESSAGE_HEAD_SIZE);
    wgcp_store_be16(buffer, type);
    wgcp_store_be16(buffer + 2, (uint16_t)total);
    std::memcpy(buffer + 16, vendor_id, CONMON_VENDOR_ID_SIZE);
    if (body_length)
        std::memcpy(buffer + CONMON_MESSAGE_HEAD_SIZE, body, body_length);
    *length = total;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_message_read_head(const void *data, size_t size, conmon_message_head *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (size < CONMON_MESSAGE_HEAD_SIZE)
        return QNB_ERR_INVALIDDATA;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    out->type = wgcp_load_be16(p);
    out->length = wgcp_load_be16(p + 2);
    out->sequence = wgcp_load_be16(p + 4);
    out->process = wgcp_load_be16(p + 6);
    std::memcpy(out->source_id, p + 8, CONMON_DEVICE_ID_SIZE);
    std::memcpy(out->vendor_id, p + 16, CONMON_VENDOR_ID_SIZE);
    return QNB_ERR_SUCCESS;
}

size_t conmon_message_head_body_length(const conmon_message_head *head)
{
    return head && head->length >= CONMON_MESSAGE_HEAD_SIZE ? head->length - CONMON_MESSAGE_HEAD_SIZE : 0;
}

void conmon_message_head_get_source(const conmon_message_head *head, conmon_source_id *out)
{
    std::memcpy(out->device_id, head->source_id, CONMON_DEVICE_ID_SIZE);
    out->process = head->process;
}

qnb_error conmon_channel_message_view(const void *data, size_t size, bool exact, conmon_channel_message *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error e = conmon_message_read_head(data, size, &out->head);
    if (e)
        return e;
    if (out->head.length < CONMON_MESSAGE_HEAD_SIZE || out->head.length > size || (exact && out->head.length != size))
        return QNB_ERR_INVALIDDATA;
    out->data = static_cast<const uint8_t *>(data);
    out->length = out->head.length;
    out->body = out->data + CONMON_MESSAGE_HEAD_SIZE;
    out->body_length = out->length - CONMON_MESSAGE_HEAD_SIZE;
    return QNB_ERR_SUCCESS;
}

// ---- channel set ----

qnb_error conmon_channel_set_new(qnb_env *env, const conmon_channel_set_config *config, const conmon_networks *networks,
                                 const qnb_interface *interfaces, conmon_channel_set **out)
{
    if (!config || !networks || !interfaces || !out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    conmon_channel_set *set = static_cast<conmon_channel_set *>(calloc(1, sizeof(conmon_channel_set)));
    if (!set)
        return QNB_ERR_NOMEMORY;
    set->env = env;
    set->config = *config;
    set->config.mask &= CONMON_DIRECT_CHANNEL_MASK;
    set->networks = networks;
    set->interfaces = interfaces;
    for (unsigned i = 0; i < CONMON_MAX_NETWORKS; ++i)
        set->tx[i] = QNB_SOCKET_INVALID;
    for (unsigned t = 0; t < CONMON_CHANNEL_TYPES; ++t) {
        if (!(set->config.mask & (1u << t)))
            continue;
        set->channels[t] = make_channel(set, t);
        if (!set->channels[t]) {
            conmon_channel_set_delete(set);
            return QNB_ERR_NOMEMORY;
        }
    }
    *out = set;
    return QNB_ERR_SUCCESS;
}

void conmon_channel_set_delete(conmon_channel_set *set)
{
    if (!set)
        return;
    conmon_channel_set_close(set);
    conmon_channel_set_close_tx_sockets(set);
    for (unsigned t = 0; t < CONMON_CHANNEL_TYPES; ++t) {
        if (!set->channels[t])
            continue;
        dup_ring_delete(set->channels[t]->duplicates);
        free(set->channels[t]);
    }
    free(set);
}

qnb_error conmon_channel_init_remote_multicast(conmon_channel_set *set, unsigned type, uint16_t port, uint32_t group)
{
    conmon_channel *c = channel_of(set, type);
    if (!c || !qnb_inaddr_is_multicast(group))
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s): initialising channel as REMOTE_MULTICAST\n", __func__, name_of(c));
    c->mode = CONMON_CHANNEL_REMOTE_MULTICAST;
    c->port = port;
    qnb_sockaddr_set(&c->destination, group, port);
    set->has_multicast = true;
    return conmon_channel_initialise_sockets(set, c);
}

qnb_error conmon_channel_init_remote_unicast(conmon_channel_set *set, unsigned type, uint16_t port)
{
    conmon_channel *c = channel_of(set, type);
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(log_of(set), QNB_LOG_DEBUG, "%s (%s): initialising channel as REMOTE_ANYCAST\n", __func__, name_of(c));
    c->mode = CONMON_CHANNEL_REMOTE_ANYCAST;
    c->port = port;
    qnb_error e = conmon_channel_initialise_sockets(set, c);
    if (e)
        return e;
    qnb_sockaddr bound;
    e = qnb_socket_get_name(c->sock, &bound);
    if (e) {
        close_channel_sockets(set, c);
        return e;
    }
    c->port = qnb_sockaddr_get_port(&bound);
    c->unicast_mask = 0;
    char list[160] = "[]";
    size_t used = 0;
    unsigned count = set->networks->count;
    for (unsigned i = 0; i < count && i < CONMON_MAX_NETWORKS; ++i) {
        qnb_sockaddr_set(&c->unicast[i], set->networks->entries[i].address[1], c->port);
        c->unicast_mask |= 1u << i;
        char host[QNB_SOCKADDR_TEXT_SIZE];
        int n = snprintf(list + used, sizeof list - used, "%c%s:%u", used ? ',' : '[',
                         qnb_sockaddr_to_host_text(&c->unicast[i], host, sizeof host), c->port);
        if (n > 0 && (size_t)n < sizeof list - used)
            used += (size_t)n;
    }
    if (used && used + 1 < sizeof list) {
        list[used] = ']';
        list[used + 1] = '\0';
    }
    qnb_log(log_of(set), QNB_LOG_DEBUG, "%s(%s): unicast channel addresses are %s\n", __func__, name_of(c), list);
    conmon_channel_set_update_sockets(set);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_channel_set_open(conmon_channel_set *set, bool metering_failure_tolerated)
{
    if (!set)
        return QNB_ERR_INVALIDPARAMETER;
    if (set->channels[CONMON_CHANNEL_METERING]) {
        qnb_error e = conmon_channel_init_remote_unicast(set, CONMON_CHANNEL_METERING, set->config.metering_port);
        if (e && metering_failure_tolerated)
            qnb_log(log_of(set), QNB_LOG_WARNING, "%s: metering channel not opened: %s\n", __func__, err_text(e));
        else if (e)
            return e;
    }
    if (set->channels[CONMON_CHANNEL_SERIAL]) {
        uint16_t port = set->config.serial_port ? set->config.serial_port : (uint16_t)CONMON_SERIAL_PORT;
        qnb_error e = conmon_channel_init_remote_multicast(set, CONMON_CHANNEL_SERIAL, port, CONMON_SERIAL_GROUP);
        if (e)
            return e;
    }
    if (set->channels[CONMON_CHANNEL_VENDOR_BROADCAST] && qnb_inaddr_is_multicast(set->config.vendor_broadcast_group)) {
        uint16_t port = set->config.vendor_broadcast_port ? set->config.vendor_broadcast_port
                                                          : (uint16_t)CONMON_VENDOR_BROADCAST_PORT;
        qnb_error e = conmon_channel_init_remote_multicast(set, CONMON_CHANNEL_VENDOR_BROADCAST, port,
                                                           set->config.vendor_broadcast_group);
        if (e)
            return e;
    }
    return QNB_ERR_SUCCESS;
}

void conmon_channel_set_set_receive_callback(conmon_channel_set *set, conmon_channel_receive_fn fn, void *context)
{
    if (!set)
        return;
    set->receive = fn;
    set->receive_context = context;
}

qnb_error conmon_channel_set_read_count(conmon_channel_set *set, unsigned type, uint32_t count)
{
    conmon_channel *c = channel_of(set, type);
    if (!c)
        return QNB_ERR_NOTFOUND;
    c->reads = count ? count : (uint32_t)CONMON_CHANNEL_DEFAULT_READS;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_channel_set_enable(conmon_channel_set *set, unsigned type, bool enabled)
{
    conmon_channel *c = channel_of(set, type);
    if (!c)
        return QNB_ERR_NOTFOUND;
    c->enabled = enabled;
    return QNB_ERR_SUCCESS;
}

bool conmon_channel_set_is_enabled(const conmon_channel_set *set, unsigned type)
{
    const conmon_channel *c = channel_of(set, type);
    return c && c->enabled;
}

void conmon_channel_set_set_managed(conmon_channel_set *set, bool managed)
{
    if (set)
        set->config.managed = managed;
}

void conmon_channel_set_set_own_id(conmon_channel_set *set, const conmon_source_id *id)
{
    if (!set)
        return;
    if (id)
        set->own_id = *id;
    else
        std::memset(&set->own_id, 0, sizeof set->own_id);
}

bool conmon_channel_set_has(const conmon_channel_set *set, unsigned type)
{
    return channel_of(set, type) != nullptr;
}

uint16_t conmon_channel_set_get_port(const conmon_channel_set *set, unsigned type)
{
    conmon_channel *c = channel_of(set, type);
    return c && c->sock != QNB_SOCKET_INVALID ? c->port : 0;
}

const qnb_sockaddr *conmon_channel_set_get_unicast_address(const conmon_channel_set *set, unsigned type,
                                                           unsigned network)
{
    conmon_channel *c = channel_of(set, type);
    if (!c || network >= CONMON_MAX_NETWORKS)
        return nullptr;
    return &c->unicast[network];
}

qnb_error conmon_channel_set_init_tx_sockets(conmon_channel_set *set)
{
    if (!set)
        return QNB_ERR_INVALIDPARAMETER;
    if (!set->has_multicast)
        return QNB_ERR_SUCCESS;
    for (unsigned i = 0; i < CONMON_MAX_NETWORKS; ++i) {
        if (set->tx[i] != QNB_SOCKET_INVALID)
            continue;
        qnb_error e = qnb_socket_open_udp(&set->tx[i], AF_INET);
        if (e) {
            qnb_log(log_of(set), QNB_LOG_ERROR, "%s: Error initialising tx multicast socket on interface %d: %s\n",
                    __func__, (int)i, err_text(e));
            conmon_channel_set_close_tx_sockets(set);
            return e;
        }
        set->tx_interface_set[i] = false;
    }
    conmon_channel_set_update_sockets(set);
    return QNB_ERR_SUCCESS;
}

void conmon_channel_set_close_tx_sockets(conmon_channel_set *set)
{
    if (!set)
        return;
    for (unsigned i = 0; i < CONMON_MAX_NETWORKS; ++i) {
        if (set->tx[i] != QNB_SOCKET_INVALID)
            qnb_socket_close(&set->tx[i]);
        set->tx_interface_set[i] = false;
    }
}

void conmon_channel_set_update_sockets(conmon_channel_set *set)
{
    if (!set)
        return;
    unsigned count = set->networks->count;
    for (unsigned i = 0; i < CONMON_MAX_NETWORKS; ++i) {
        if (set->tx[i] == QNB_SOCKET_INVALID)
            continue;
        if (set->tx_interface_set[i]) {
            qnb_log(log_of(set), QNB_LOG_DEBUG, "%s: Already set multicast interface for network %d\n", __func__,
                    (int)i);
            continue;
        }
        const qnb_interface *iface = &set->interfaces[i];
        if (i < count && iface_address(iface) && iface->up) {
            qnb_error e = qnb_socket_set_multicast_interface(set->tx[i], iface);
            if (e) {
                qnb_log(log_of(set), QNB_LOG_WARNING,
                        "%s: Unable to set multicast interface for tx multicast socket on network %d: %s\n", __func__,
                        (int)i, err_text(e));
            } else {
                qnb_log(log_of(set), QNB_LOG_DEBUG,
                        "%s: Set multicast interface for tx multicast socket on network %d\n", __func__, (int)i);
                set->tx_interface_set[i] = true;
            }
        } else {
            qnb_log(log_of(set), QNB_LOG_DEBUG,
                    "%s: Not setting multicast interface for network %d: no address or link down\n", __func__, (int)i);
        }
    }
    for (unsigned t = 0; t < CONMON_CHANNEL_TYPES; ++t)
        if (set->channels[t])
            conmon_channel_update_sockets(set, set->channels[t]);
}

qnb_error conmon_channel_set_add_sockets(const conmon_channel_set *set, qnb_socket_set *sockets)
{
    if (!set || !sockets)
        return QNB_ERR_INVALIDPARAMETER;
    for (unsigned t = 0; t < CONMON_CHANNEL_TYPES; ++t) {
        const conmon_channel *c = set->channels[t];
        if (!c)
            continue;
        for (qnb_socket s : {c->sock, c->alt_sock}) {
            if (s == QNB_SOCKET_INVALID)
                continue;
            qnb_error e = qnb_socket_set_add(sockets, s);
            if (e)
                return e;
        }
    }
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_channel_set_process(conmon_channel_set *set, const qnb_socket_set *ready)
{
    if (!set)
        return QNB_ERR_INVALIDPARAMETER;
    for (unsigned t = 0; t < CONMON_CHANNEL_TYPES; ++t) {
        conmon_channel *c = set->channels[t];
        if (!c)
            continue;
        if (c->sock != QNB_SOCKET_INVALID && (!ready || qnb_socket_set_is_member(ready, c->sock))) {
            qnb_error e = conmon_channel_process_socket(set, c, c->sock);
            if (e)
                return e;
        }
        if (c->alt_sock != QNB_SOCKET_INVALID && c->alt_port != c->port &&
            (!ready || qnb_socket_set_is_member(ready, c->alt_sock))) {
            qnb_error e = conmon_channel_process_socket(set, c, c->alt_sock);
            if (e)
                return e;
        }
    }
    return QNB_ERR_SUCCESS;
}

void conmon_channel_set_close(conmon_channel_set *set)
{
    if (!set)
        return;
    for (unsigned t = 0; t < CONMON_CHANNEL_TYPES; ++t)
        if (set->channels[t])
            close_channel_sockets(set, set->channels[t]);
}
