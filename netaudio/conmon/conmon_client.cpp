#include "netaudio/conmon/conmon_client.h"

#include <cstdlib>
#include <cstring>

#include "netaudio/conmon/conmon_client_domain.h"
#include "netaudio/conmon/conmon_client_private.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"

namespace {

qnb_logger *log_of(const conmon_client *c)
{
    return c && c->env ? c->env->logger : nullptr;
}

bool domain_id_zero(const conmon_client *c)
{
    for (uint8_t b : c->domain_id)
        if (b)
            return false;
    return true;
}

// No domain handler, or the ad-hoc network.
bool adhoc(const conmon_client *c)
{
    return !c->domain || c->domain_mode == CONMON_DOMAIN_ADHOC;
}

bool managed(const conmon_client *c)
{
    return c->domain && c->domain_mode == CONMON_DOMAIN_MANAGED;
}

bool type_enabled(const conmon_client *c, unsigned type, const char *function)
{
    if (type < CONMON_CHANNEL_TYPES && (c->config.channel_mask & (1u << type)))
        return true;
    qnb_log(log_of(c), QNB_LOG_ERROR, "%s: not initialised\n", function);
    return false;
}

conmon_request *find_request(conmon_client *c, uint16_t id)
{
    if (c->link->inflight.in_use && c->link->inflight.request_id == id)
        return &c->link->inflight;
    for (unsigned i = 0; c->requests && i < c->request_count; ++i)
        if (c->requests[i].in_use && c->requests[i].kind == 1 && c->requests[i].request_id == id)
            return &c->requests[i];
    return nullptr;
}

void empty_table(conmon_remote_device_info *table)
{
    if (table)
        std::memset(table, 0, sizeof(conmon_remote_device_info) * CONMON_REMOTE_DEVICES);
}

void look_up_interfaces(conmon_client *c)
{
    std::memset(c->interfaces, 0, sizeof c->interfaces);
    for (unsigned i = 0; i < c->connection.networks.count && i < CONMON_MAX_NETWORKS; ++i) {
        qnb_error e = qnb_interface_get_by_index(&c->interfaces[i], c->connection.networks.entries[i].interface_index);
        if (e)
            qnb_log(log_of(c), QNB_LOG_WARNING, "%s: Error initialising interfaces: %s\n", __func__,
                    conmon_error_text(e));
    }
}

// Fills table 2 (metering addresses) from a list that does not name subscriptions.
void fill_table2(conmon_client *c, const uint8_t *data, size_t size, uint16_t count)
{
    if (!c->tx_metering_enabled || !c->table2)
        return;
    empty_table(c->table2);
    for (unsigned i = 0; i < count && i < CONMON_REMOTE_DEVICES; ++i) {
        conmon_subscription_record r;
        if (conmon_local_read_subscription_record(data, size, c->config.version, i, &r))
            break;
        conmon_remote_device_info *e = &c->table2[i];
        e->flags = CONMON_REMOTE_NEW | CONMON_REMOTE_HAS_ADDRESSES;
        e->id = r.id;
        std::memcpy(e->name, r.name, sizeof e->name);
        e->channel_type = r.channel_type;
        e->address_count = r.address_count;
        e->address_mask = r.address_mask;
        for (unsigned k = 0; k < 2; ++k) {
            e->address[k] = r.address[k];
            e->port[k] = r.port[k];
            if (r.address_mask & (1u << k))
                qnb_sockaddr_set(&e->socket_address[k], r.address[k], r.port[k]);
        }
        e->address_extra = r.address_extra;
        e->status = r.status;
    }
}

// Updates table 1 from a Subscribe response or "Subscriptions Changed" event; `changed` receives
// the entries that are new or changed (each once).
qnb_error update_table1(conmon_client *c, const uint8_t *data, size_t size, conmon_remote_device_info **changed,
                        unsigned *changed_count)
{
    *changed_count = 0;
    uint16_t count = 0;
    bool subscriptions = true;
    qnb_error e = conmon_local_read_subscription_list(data, size, c->config.version, &count, &subscriptions);
    if (e)
        return e;
    if (!subscriptions) {
        fill_table2(c, data, size, count);
        return QNB_ERR_SUCCESS;
    }
    if (!c->table1)
        return QNB_ERR_INVALIDSTATE;
    for (unsigned i = 0; i < count && i < CONMON_REMOTE_DEVICES; ++i) {
        conmon_subscription_record r;
        if (conmon_local_read_subscription_record(data, size, c->config.version, i, &r))
            return QNB_ERR_INVALIDDATA;
        bool is_changed = false;
        conmon_remote_device_info *entry = conmon_client_table1_entry(c, r.id, r.channel_type, r.name, &is_changed);
        if (!entry) {
            qnb_log(log_of(c), QNB_LOG_WARNING, "%s: remote device table full, %s not kept\n", __func__, r.name);
            return QNB_ERR_NOBUFS;
        }
        if (is_changed)
            entry->status = r.status;
        conmon_remote_device_info before = *entry;
        conmon_remote_set_device_id(entry, (r.flags & 1) ? r.device_id : nullptr, r.process);
        if (r.flags & 2) {
            entry->flags |= CONMON_REMOTE_HAS_ADDRESSES;
            entry->address_count = r.address_count;
            entry->address_mask = r.address_mask;
            std::memcpy(entry->address, r.address, sizeof entry->address);
            std::memcpy(entry->port, r.port, sizeof entry->port);
            entry->address_extra = r.address_extra;
        } else {
            entry->flags &= ~(uint32_t)CONMON_REMOTE_HAS_ADDRESSES;
            entry->address_count = entry->address_mask = 0;
            std::memset(entry->address, 0, sizeof entry->address);
            std::memset(entry->port, 0, sizeof entry->port);
            entry->address_extra = 0;
        }
        entry->status = r.status;
        if (c->config.version >= 0x1300) {
            entry->flags |= CONMON_REMOTE_HAS_VALUE_A | CONMON_REMOTE_HAS_VALUE_B;
            entry->values[0] = r.values[0];
            entry->values[1] = r.values[1];
        }
        if (std::memcmp(&before, entry, sizeof before) != 0)
            is_changed = true;
        if (is_changed) {
            bool listed = false;
            for (unsigned k = 0; k < *changed_count; ++k)
                listed = listed || changed[k] == entry;
            if (!listed)
                changed[(*changed_count)++] = entry;
        }
    }
    return QNB_ERR_SUCCESS;
}

void report_subscriptions(conmon_client *c, conmon_remote_device_info **changed, unsigned count)
{
    if (count && c->subscriptions)
        c->subscriptions(c, count, changed);
}

void dispatch(conmon_client *c, uint16_t type, uint16_t class_, const conmon_channel_message *m)
{
    if (type >= CONMON_CHANNEL_TYPES || class_ > 1)
        return;
    conmon_message_handler_fn handler = c->handlers[type][class_];
    if (handler)
        handler(c, type, class_, m);
}

// Messages the channel set receives directly.
void on_channel_receive(void *context, unsigned type, const conmon_channel_message *m)
{
    conmon_client *c = static_cast<conmon_client *>(context);
    conmon_source_id source;
    conmon_message_head_get_source(&m->head, &source);
    conmon_source_id server;
    std::memcpy(server.device_id, c->connection.device_id, CONMON_DEVICE_ID_SIZE);
    server.process = c->connection.process;
    dispatch(c, (uint16_t)type, conmon_source_id_equal(&source, &server) ? 0 : 1, m);
}

void handle_event(conmon_client *c, const uint8_t *data, size_t size, uint16_t opcode)
{
    switch (opcode) {
    case CONMON_LOCAL_NETWORKS_CHANGED: {
        conmon_networks n;
        if (conmon_local_read_networks_changed(data, size, c->config.version, &n))
            return;
        if (conmon_networks_equal(&n, &c->connection.networks))
            return;
        c->connection.networks = n;
        look_up_interfaces(c);
        conmon_channel_set_update_sockets(c->channels);
        if (c->networks_changed)
            c->networks_changed(c);
        return;
    }
    case CONMON_LOCAL_DEVICE_NAME_CHANGED: {
        char name[CONMON_NAME_SIZE];
        if (conmon_local_read_device_name(data, size, name) || !strcmp(name, c->connection.device_name))
            return;
        std::memcpy(c->connection.device_name, name, sizeof name);
        if (c->device_name_changed)
            c->device_name_changed(c);
        return;
    }
    case CONMON_LOCAL_DNS_DOMAIN_NAME_CHANGED: {
        char name[CONMON_DNS_NAME_SIZE];
        if (conmon_local_read_dns_domain_name(data, size, name) || !strcmp(name, c->connection.dns_domain_name))
            return;
        std::memcpy(c->connection.dns_domain_name, name, sizeof name);
        if (c->dns_domain_name_changed)
            c->dns_domain_name_changed(c);
        return;
    }
    case CONMON_LOCAL_CHANNEL_MESSAGE:
    case CONMON_LOCAL_NAMED_CHANNEL_MESSAGE: {
        conmon_local_channel_event ev;
        conmon_channel_message m;
        if (conmon_local_read_channel_event(data, size, &ev) ||
            conmon_channel_message_view(ev.message, ev.message_length, true, &m))
            return;
        if (ev.channel_type >= CONMON_CHANNEL_TYPES || ev.class_ > 1) {
            qnb_log(log_of(c), QNB_LOG_DEBUG, "%s: dropping message of channel type %u class %u\n", __func__,
                    ev.channel_type, ev.class_);
            return;
        }
        // With a domain handler a control message from a sender of the other domain kind is dropped.
        if (c->domain && ev.channel_type == CONMON_CHANNEL_CONTROL && !ev.named &&
            ev.domain != (managed(c) ? 3u : 2u)) {
            qnb_log(log_of(c), QNB_LOG_DEBUG, "%s: dropping control message of domain kind %u\n", __func__,
                    ev.domain);
            return;
        }
        if (ev.named) {
            c->named_sender = ev.sender_name;
            conmon_message_head_get_source(&m.head, &c->named_source);
        }
        dispatch(c, ev.channel_type, ev.class_, &m);
        c->named_sender = nullptr;
        return;
    }
    case CONMON_LOCAL_SUBSCRIPTIONS_CHANGED: {
        conmon_remote_device_info *changed[CONMON_REMOTE_DEVICES];
        unsigned count = 0;
        update_table1(c, data, size, changed, &count);
        report_subscriptions(c, changed, count);
        return;
    }
    default: return;
    }
}

qnb_error process_local_message(conmon_client *c, const uint8_t *data, size_t size)
{
    unsigned fault = conmon_local_validate(data, size, c->config.version);
    if (fault) {
        qnb_log(log_of(c), QNB_LOG_WARNING, "%s: Error validating: %s!\n", __func__, conmon_local_kind_name(fault));
        return QNB_ERR_INVALIDDATA;
    }
    conmon_local_head head;
    conmon_local_read_head(data, size, &head);
    unsigned kind = head.kind & CONMON_KIND_MASK;
    conmon_client_local *link = c->link;
    if (kind == CONMON_KIND_EVENT) {
        handle_event(c, data, size, head.opcode);
        conmon_client_local_rearm_connection_timeout(link);
        return QNB_ERR_SUCCESS;
    }
    conmon_request *slot = find_request(c, head.request_id);
    if (!slot) {
        qnb_log(log_of(c), QNB_LOG_INFO, "%s: Unhandled response seqnum=0x%04x opcode=0x%04x\n", __func__,
                head.request_id, head.opcode);
        return QNB_ERR_SUCCESS;
    }
    if (slot->opcode != head.opcode) {
        qnb_log(log_of(c), QNB_LOG_WARNING, "%s: Response seqnum=0x%04x has opcode 0x%04x, expected 0x%04x\n", __func__,
                head.request_id, head.opcode, slot->opcode);
        conmon_client_complete_request(c, slot, QNB_ERR_INVALIDDATA);
        conmon_client_local_rearm_connection_timeout(link);
        return QNB_ERR_SUCCESS;
    }
    if (slot == &link->inflight) {
        if (head.opcode == CONMON_LOCAL_CONNECT) {
            uint16_t version = c->config.version;
            conmon_client_local_on_connect_response(link, slot, data, size);
            if (version != c->config.version)
                return QNB_ERR_SUCCESS; // re-sent in the older form
        } else if (head.opcode == CONMON_LOCAL_KEEPALIVE) {
            std::memset(&link->inflight, 0, sizeof link->inflight);
        }
        conmon_client_local_rearm_connection_timeout(link);
        return QNB_ERR_SUCCESS;
    }
    if (head.opcode == CONMON_LOCAL_SET_DEVICE_NAME && kind == CONMON_KIND_RESPONSE) {
        conmon_local_read_device_name(data, size, c->connection.device_name);
        conmon_client_complete_request(c, slot, QNB_ERR_SUCCESS);
    } else if (head.opcode == CONMON_LOCAL_SUBSCRIBE && kind == CONMON_KIND_RESPONSE && size >= 11) {
        conmon_remote_device_info *changed[CONMON_REMOTE_DEVICES];
        unsigned count = 0;
        qnb_error e = update_table1(c, data, size, changed, &count);
        conmon_client_complete_request(c, slot, e);
        report_subscriptions(c, changed, count);
    } else if (head.opcode == CONMON_LOCAL_ENABLE_TX_METERING && kind == CONMON_KIND_RESPONSE) {
        c->tx_metering_enabled = 1;
        conmon_client_complete_request(c, slot, QNB_ERR_SUCCESS);
    } else {
        conmon_client_complete_request(c, slot, conmon_local_kind_error(head.kind));
    }
    conmon_client_local_rearm_connection_timeout(link);
    return QNB_ERR_SUCCESS;
}

bool armed(qnb_timeval t)
{
    return t.tv_sec != 0 || t.tv_usec != 0;
}

bool overdue(const conmon_request &slot, qnb_timeval t)
{
    return slot.in_use && conmon_time_passed(slot.deadline, t);
}

// Whether a request has waited too long for its answer at `t`.
bool any_overdue(const conmon_client *c, qnb_timeval t)
{
    for (unsigned i = 0; c->requests && i < c->request_count; ++i)
        if (overdue(c->requests[i], t))
            return true;
    return false;
}

// The earliest deadline of the requests waiting for their answers; {0, 0} when none has one.
qnb_timeval earliest_request_deadline(const conmon_client *c)
{
    qnb_timeval earliest = {0, 0};
    for (unsigned i = 0; c->requests && i < c->request_count; ++i) {
        const conmon_request &slot = c->requests[i];
        if (slot.in_use && armed(slot.deadline) && (!armed(earliest) || conmon_time_before(slot.deadline, earliest)))
            earliest = slot.deadline;
    }
    return earliest;
}

qnb_timeval earlier(qnb_timeval a, qnb_timeval b)
{
    if (!armed(a))
        return b;
    if (!armed(b))
        return a;
    return conmon_time_before(a, b) ? a : b;
}

// Completes the requests that waited too long for their answer. The callers read what waits in
// the link's socket first: after a stall, answers that came in time complete their requests
// before anything is called unanswered.
void expire_requests(conmon_client *c)
{
    qnb_timeval t = conmon_time_now();
    for (unsigned i = 0; c->requests && i < c->request_count; ++i) {
        conmon_request *slot = &c->requests[i];
        if (!overdue(*slot, t))
            continue;
        qnb_log(log_of(c), QNB_LOG_WARNING, "%s: request seqnum=0x%04x opcode=0x%04x not answered\n", __func__,
                slot->request_id, slot->opcode);
        conmon_client_complete_request(c, slot, QNB_ERR_TIMEDOUT);
    }
}

void on_request_timer(qnb_timer *, void *context)
{
    conmon_client *c = static_cast<conmon_client *>(context);
    // The link's socket is the event loop's: a read error has been handled as at any read.
    if (c->link->sock != QNB_SOCKET_INVALID && any_overdue(c, conmon_time_now()))
        conmon_client_read_local(c);
    expire_requests(c);
    conmon_client_rearm_request_timer(c);
}

// The level of a send error's line: a full request table (35 NOBUFS) is the caller's to handle,
// and a caller that sends again once a slot is free is not in error; it says so itself when it
// gives up.
unsigned send_error_level(qnb_error e)
{
    return e == QNB_ERR_NOBUFS ? QNB_LOG_DEBUG : QNB_LOG_ERROR;
}

qnb_error send_built(conmon_client *c, size_t length, conmon_request_fn callback, conmon_request **out_request)
{
    return conmon_client_local_send_request(c->link, length, callback, out_request);
}

// The port the metering channel is bound to (the configured one before it is open).
uint16_t metering_port(const conmon_client *c)
{
    uint16_t bound = conmon_channel_set_get_port(c->channels, CONMON_CHANNEL_METERING);
    return bound ? bound : c->config.metering_port;
}

qnb_error send_register(conmon_client *c, conmon_request_fn callback, conmon_request **out_request, uint16_t type,
                        uint16_t class_, bool registering)
{
    uint16_t port = registering && type == CONMON_CHANNEL_METERING ? metering_port(c) : 0;
    size_t length = 0;
    qnb_error e = conmon_local_build_register(c->send_buffer, sizeof c->send_buffer, c->config.version, 0,
                                              registering ? CONMON_LOCAL_REGISTER : CONMON_LOCAL_DEREGISTER, type,
                                              class_, port, &length);
    if (e)
        return e;
    return send_built(c, length, callback, out_request);
}

qnb_error send_subscribe(conmon_client *c, conmon_request_fn callback, conmon_request **out_request, uint16_t opcode,
                         uint16_t type, const char *name)
{
    if (name && strnlen(name, CONMON_NAME_FIELD) >= CONMON_NAME_FIELD) {
        qnb_log(log_of(c), QNB_LOG_ERROR, "%s: device name too long for the local link\n", __func__);
        return QNB_ERR_INVALIDPARAMETER;
    }
    uint16_t port = opcode == CONMON_LOCAL_SUBSCRIBE && type == CONMON_CHANNEL_METERING ? metering_port(c) : 0;
    size_t length = 0;
    qnb_error e = conmon_local_build_subscribe(c->send_buffer, sizeof c->send_buffer, c->config.version, 0, opcode,
                                               type, port, name, &length);
    if (e)
        return e;
    return send_built(c, length, callback, out_request);
}

} // namespace

// ---- shared with the link and the managed part ----

const char *conmon_error_text(qnb_error e)
{
    const char *t = qnb_error_get_text(e);
    return t ? t : "unknown error";
}

conmon_remote_device_info *conmon_client_table1_entry(conmon_client *c, uint16_t id, uint16_t channel_type,
                                                      const char *name, bool *created)
{
    *created = false;
    if (!c->table1)
        return nullptr;
    for (unsigned k = 0; k < CONMON_REMOTE_DEVICES; ++k) {
        conmon_remote_device_info *t = &c->table1[k];
        if ((t->flags & 7) && t->id == id && t->channel_type == channel_type && !strcmp(t->name, name))
            return t;
    }
    for (unsigned k = 0; k < CONMON_REMOTE_DEVICES; ++k) {
        conmon_remote_device_info *t = &c->table1[k];
        if (t->flags != 0)
            continue;
        std::memset(t, 0, sizeof *t);
        t->flags = CONMON_REMOTE_NEW;
        t->id = id;
        strncpy(t->name, name, sizeof t->name - 1);
        t->channel_type = channel_type;
        *created = true;
        return t;
    }
    return nullptr;
}

void conmon_remote_set_device_id(conmon_remote_device_info *entry, const uint8_t *id, uint16_t process)
{
    if (id) {
        entry->flags |= CONMON_REMOTE_HAS_DEVICE_ID;
        std::memcpy(entry->device_id.device_id, id, CONMON_DEVICE_ID_SIZE);
        entry->device_id.process = process;
    } else {
        entry->flags &= ~(uint32_t)CONMON_REMOTE_HAS_DEVICE_ID;
        std::memset(&entry->device_id, 0, sizeof entry->device_id);
    }
}

void conmon_client_clear_adhoc_state(conmon_client *c)
{
    for (unsigned t = 1; t < CONMON_CHANNEL_TYPES; ++t) {
        c->global_subscription[t] = 0;
        c->handlers[t][1] = nullptr;
    }
    empty_table(c->table1);
}

void conmon_client_recompute(conmon_client *c, const domain_client *domain)
{
    if (domain) {
        if (domain_id_is_adhoc(c->domain_id))
            c->domain_mode = CONMON_DOMAIN_ADHOC;
        else if (domain_id_is_zero(c->domain_id))
            c->domain_mode = CONMON_DOMAIN_UNKNOWN;
        else
            c->domain_mode = CONMON_DOMAIN_MANAGED;
    }
    size_t max_body =
        c->domain_mode == CONMON_DOMAIN_MANAGED ? CONMON_MAX_CONTROL_BODY_MANAGED : CONMON_MAX_CONTROL_BODY;
    if (max_body != c->max_control_body)
        c->change_mask |= CONMON_DOMAIN_CHANGE_MAX_BODY;
    c->max_control_body = max_body;
    int connected = c->link && c->link->state == CONMON_LOCAL_CONNECTED;
    int ready = domain && c->domain_mode == CONMON_DOMAIN_MANAGED ? domain_client_get_state(domain) == 2 : connected;
    if (connected != c->connected)
        c->change_mask |= CONMON_DOMAIN_CHANGE_CONNECTED;
    if (ready != c->ready)
        c->change_mask |= CONMON_DOMAIN_CHANGE_READY;
    c->connected = connected;
    c->ready = ready;
}

void conmon_client_apply_domain_to_channels(conmon_client *c)
{
    bool is_adhoc = domain_id_is_adhoc(c->domain_id);
    conmon_channel_set_set_managed(c->channels, !is_adhoc);
    const unsigned types[] = {CONMON_CHANNEL_SERIAL, CONMON_CHANNEL_VENDOR_BROADCAST};
    for (unsigned type : types)
        if (conmon_channel_set_has(c->channels, type))
            conmon_channel_set_enable(c->channels, type, is_adhoc);
}

namespace {

// At most this many datagrams are read from the link in one pass, so that a flood cannot hold the
// worker; what is left is read on the next pass.
const unsigned k_reads_per_pass = 64;

// Reads one datagram from the link and handles it; `*got` tells whether one was waiting.
qnb_error read_one(conmon_client *c, bool *got)
{
    *got = false;
    conmon_client_local *link = c->link;
    size_t size = sizeof c->receive_buffer;
    qnb_error e = qnb_socket_recv(link->sock, c->receive_buffer, &size);
    if (e == QNB_ERR_SUCCESS) {
        *got = true;
        process_local_message(c, c->receive_buffer, size);
    } else if (e == QNB_ERR_TIMEDOUT) {
        e = QNB_ERR_SUCCESS;
    } else if (e == QNB_ERR_INTERRUPTED) {
        return e;
    } else if (e == QNB_ERR_CONNREFUSED || e == QNB_ERR_CONNRESET) {
        e = conmon_client_local_on_socket_error(link, e);
    } else {
        // An oversized datagram is dropped by the read: what follows it is still read.
        *got = e == QNB_ERR_MSGSIZE;
        qnb_log(log_of(c), QNB_LOG_ERROR, "%s: Error reading local socket: %s\n", "conmon_client_process_sockets",
                conmon_error_text(e));
    }
    return e;
}

} // namespace

qnb_error conmon_client_read_local(conmon_client *c)
{
    qnb_error first = QNB_ERR_SUCCESS;
    for (unsigned n = 0; n < k_reads_per_pass && c->link->sock != QNB_SOCKET_INVALID; ++n) {
        bool got = false;
        qnb_error e = read_one(c, &got);
        if (e == QNB_ERR_INTERRUPTED)
            return e;
        if (e && !first)
            first = e;
        if (!got)
            break;
    }
    return first;
}

void conmon_client_rearm_request_timer(conmon_client *c)
{
    if (!c->request_timer)
        return;
    qnb_timeval earliest = earliest_request_deadline(c);
    if (!armed(earliest))
        qnb_timer_stop(c->request_timer);
    else
        qnb_timer_set_expiry(c->request_timer, &earliest, nullptr);
}

conmon_request *conmon_client_take_request(conmon_client *c)
{
    if (!c->requests || c->requests_used >= c->request_count)
        return nullptr;
    for (unsigned n = 0; n < c->request_count; ++n) {
        unsigned i = (c->request_next + n) % c->request_count;
        conmon_request *slot = &c->requests[i];
        if (slot->in_use)
            continue;
        uint32_t generation = slot->generation + 1;
        std::memset(slot, 0, sizeof *slot);
        slot->in_use = 1;
        slot->generation = generation;
        c->request_next = (i + 1) % c->request_count;
        ++c->requests_used;
        return slot;
    }
    return nullptr;
}

void conmon_client_free_request(conmon_client *c, conmon_request *slot)
{
    if (!slot)
        return;
    if (slot == &c->link->inflight) {
        std::memset(slot, 0, sizeof *slot);
        return;
    }
    if (!slot->in_use)
        return;
    uint32_t generation = slot->generation;
    std::memset(slot, 0, sizeof *slot);
    slot->generation = generation;
    if (c->requests_used)
        --c->requests_used;
}

void conmon_client_complete_request(conmon_client *c, conmon_request *slot, qnb_error result)
{
    if (slot == &c->link->inflight) {
        conmon_request_fn callback = slot->callback;
        std::memset(slot, 0, sizeof *slot);
        if (callback)
            callback(c, slot, result);
        return;
    }
    uint32_t generation = slot->generation;
    if (slot->global_type && result == QNB_ERR_SUCCESS)
        c->global_subscription[slot->global_type - 1] = 1;
    if (slot->callback)
        slot->callback(c, slot, result);
    // The callback may have released the slot, and a new request may have taken it.
    if (slot->in_use && slot->generation == generation)
        conmon_client_free_request(c, slot);
}

qnb_error conmon_client_prepare(conmon_client *c)
{
    if (!c->requests) {
        c->requests = static_cast<conmon_request *>(calloc(c->request_count, sizeof(conmon_request)));
        if (!c->requests)
            return QNB_ERR_NOMEMORY;
        c->requests_used = 0;
        c->request_next = 0;
    }
    if (qnb_sockaddr_is_empty(&c->config.server)) {
        qnb_error e = qnb_getaddrinfo(&c->config.server, AF_INET, "127.0.0.1", "8900");
        if (e) {
            qnb_log(log_of(c), QNB_LOG_ERROR, "%s: Unknown address %s port %s\n", __func__, "127.0.0.1", "8900");
            return e;
        }
    }
    if (qnb_sockaddr_get_port(&c->config.server) == 0)
        qnb_sockaddr_set_port(&c->config.server, CONMON_LOCAL_DEFAULT_PORT);
    return QNB_ERR_SUCCESS;
}

void conmon_client_reset_connection(conmon_client *c)
{
    if (adhoc(c))
        conmon_client_clear_adhoc_state(c);
    conmon_channel_set_close_tx_sockets(c->channels);
    for (unsigned i = 0; c->requests && i < c->request_count; ++i)
        conmon_client_free_request(c, &c->requests[i]);
    for (unsigned t = 0; t < CONMON_CHANNEL_TYPES; ++t)
        c->handlers[t][0] = nullptr;
    c->connection.device_name[0] = '\0';
    std::memset(&c->connection.networks, 0, sizeof c->connection.networks);
    std::memset(c->connection.device_id, 0, sizeof c->connection.device_id);
    c->connection.process = 0;
    std::memset(&c->server_id, 0, sizeof c->server_id);
    std::memset(c->interfaces, 0, sizeof c->interfaces);
    conmon_channel_set_set_own_id(c->channels, nullptr);
    c->named_sender = nullptr;
}

void conmon_client_update_connection_flags(conmon_client *c)
{
    conmon_client_recompute(c, c->domain ? c->domain->domain : nullptr);
}

void conmon_client_on_connected(conmon_client *c, const conmon_connection_data *data)
{
    c->connection = *data;
    look_up_interfaces(c);
    conmon_channel_set_init_tx_sockets(c->channels);
    conmon_channel_set_update_sockets(c->channels);
    conmon_source_id own;
    std::memcpy(own.device_id, data->device_id, CONMON_DEVICE_ID_SIZE);
    own.process = data->process;
    conmon_channel_set_set_own_id(c->channels, &own);
    c->server_id = own;
}

void conmon_client_fire_sockets_changed(conmon_client *c)
{
    if (c->sockets_changed)
        c->sockets_changed(c);
}

// ---- creation and settings ----

void conmon_client_config_init(conmon_client_config *config, const char *name)
{
    if (!config)
        return;
    std::memset(config, 0, sizeof *config);
    if (name) {
        size_t n = strnlen(name, sizeof config->name - 1);
        std::memcpy(config->name, name, n);
    }
    qnb_sockaddr_from_text(&config->server, AF_INET, "127.0.0.1", CONMON_LOCAL_DEFAULT_PORT);
    config->version = CONMON_LOCAL_DEFAULT_VERSION;
    config->channel_mask = CONMON_CLIENT_DEFAULT_MASK;
}

qnb_error conmon_client_new(qnb_env *env, conmon_client **out, const char *name)
{
    conmon_client_config config;
    conmon_client_config_init(&config, name);
    return conmon_client_new_with_config(env, &config, out);
}

qnb_error conmon_client_new_with_config(qnb_env *env, const conmon_client_config *config, conmon_client **out)
{
    if (!env || !config || !out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    conmon_client *c = static_cast<conmon_client *>(calloc(1, sizeof(conmon_client)));
    if (!c)
        return QNB_ERR_NOMEMORY;
    c->env = env;
    c->config = *config;
    c->config.name[sizeof c->config.name - 1] = '\0';
    if (c->config.version == 0)
        c->config.version = CONMON_LOCAL_DEFAULT_VERSION;
    c->request_count = CONMON_CLIENT_DEFAULT_REQUESTS;
    // Ad hoc until a managed part takes the domain of the environment's domain handler.
    c->domain_mode = CONMON_DOMAIN_ADHOC;
    std::memset(c->domain_id, 0xFF, sizeof c->domain_id);
    c->max_control_body = CONMON_MAX_CONTROL_BODY;

    qnb_error e = conmon_client_local_new(env, c, &c->link);
    if (!e && env->event_loop)
        e = qnb_timer_new_idle(env->event_loop, on_request_timer, c, &c->request_timer);
    if (!e) {
        c->table1 =
            static_cast<conmon_remote_device_info *>(calloc(CONMON_REMOTE_DEVICES, sizeof(conmon_remote_device_info)));
        c->table2 =
            static_cast<conmon_remote_device_info *>(calloc(CONMON_REMOTE_DEVICES, sizeof(conmon_remote_device_info)));
        if (!c->table1 || !c->table2)
            e = QNB_ERR_NOMEMORY;
    }
    if (!e) {
        conmon_channel_set_config cc;
        std::memset(&cc, 0, sizeof cc);
        cc.mask = c->config.channel_mask & CONMON_DIRECT_CHANNEL_MASK;
        cc.metering_port = c->config.metering_port;
        cc.vendor_broadcast_group = c->config.vendor_broadcast_group;
        cc.serial_port = c->config.serial_port;
        cc.vendor_broadcast_port = c->config.vendor_broadcast_port;
        e = conmon_channel_set_new(env, &cc, &c->connection.networks, c->interfaces, &c->channels);
    }
    if (!e) {
        conmon_channel_set_set_receive_callback(c->channels, on_channel_receive, c);
        conmon_channel_set_read_count(c->channels, CONMON_CHANNEL_METERING, c->config.metering_reads);
        conmon_channel_set_read_count(c->channels, CONMON_CHANNEL_SERIAL, c->config.serial_reads);
        conmon_channel_set_read_count(c->channels, CONMON_CHANNEL_VENDOR_BROADCAST, c->config.vendor_broadcast_reads);
        e = conmon_channel_set_open(c->channels, c->config.metering_failure_tolerated != 0);
    }
    // The managed part, only with an event loop; it takes the handler's current domain.
    if (!e && env->event_loop && env->domain_hook) {
        e = conmon_client_domain_new(c, env, &c->domain);
        if (!e)
            conmon_client_apply_domain_to_channels(c);
    }
    if (e) {
        conmon_client_delete(c);
        return e;
    }
    *out = c;
    return QNB_ERR_SUCCESS;
}

void conmon_client_delete(conmon_client *c)
{
    if (!c)
        return;
    if (c->link && (c->link->state != CONMON_LOCAL_NO_CONNECTION || c->link->sock != QNB_SOCKET_INVALID))
        conmon_client_local_disconnect(c->link);
    conmon_client_domain_delete(c->domain);
    if (c->request_timer)
        qnb_timer_delete(c->request_timer);
    free(c->requests);
    free(c->table1);
    free(c->table2);
    conmon_channel_set_delete(c->channels);
    conmon_client_local_delete(c->link);
    free(c);
}

qnb_error conmon_client_set_context(conmon_client *c, void *context)
{
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    c->context = context;
    return QNB_ERR_SUCCESS;
}

void *conmon_client_get_context(const conmon_client *c)
{
    return c ? c->context : nullptr;
}

qnb_error conmon_client_set_interfaces_callback(conmon_client *c, conmon_client_fn fn)
{
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    c->networks_changed = fn;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_client_set_device_name_callback(conmon_client *c, conmon_client_fn fn)
{
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    c->device_name_changed = fn;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_client_set_connection_callback(conmon_client *c, conmon_client_fn fn)
{
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    c->sockets_changed = fn;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_client_set_subscriptions_callback(conmon_client *c, conmon_subscriptions_fn fn)
{
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    c->subscriptions = fn;
    return QNB_ERR_SUCCESS;
}

unsigned conmon_client_set_max_requests(conmon_client *c, unsigned size)
{
    if (!c)
        return 0;
    if (!c->requests && size != 0)
        c->request_count = size;
    return c->request_count;
}

int conmon_client_get_subscription_flag(const conmon_client *c, unsigned index)
{
    if (!c || index >= CONMON_CHANNEL_TYPES)
        return 0;
    return c->global_subscription[index];
}

const conmon_client_config *conmon_client_get_config(const conmon_client *c)
{
    return c ? &c->config : nullptr;
}

int conmon_client_get_local_state(const conmon_client *c)
{
    return c && c->link ? c->link->state : CONMON_LOCAL_NO_CONNECTION;
}

const char *conmon_client_get_server_device_name(const conmon_client *c)
{
    return conmon_client_get_local_state(c) == CONMON_LOCAL_CONNECTED ? c->connection.device_name : nullptr;
}

const conmon_source_id *conmon_client_get_server_device_id(const conmon_client *c)
{
    return conmon_client_get_local_state(c) == CONMON_LOCAL_CONNECTED ? &c->server_id : nullptr;
}

const conmon_networks *conmon_client_get_server_instance_info(const conmon_client *c)
{
    return conmon_client_get_local_state(c) == CONMON_LOCAL_CONNECTED ? &c->connection.networks : nullptr;
}

const char *conmon_client_get_dns_domain_name(const conmon_client *c)
{
    return conmon_client_get_local_state(c) == CONMON_LOCAL_CONNECTED ? c->connection.dns_domain_name : nullptr;
}

int conmon_client_get_tx_metering_enabled(const conmon_client *c)
{
    return c ? c->tx_metering_enabled : 0;
}

const conmon_remote_device_info *conmon_client_get_remote_devices(const conmon_client *c, unsigned table)
{
    if (!c)
        return nullptr;
    return table == 1 ? c->table1 : table == 2 ? c->table2 : nullptr;
}

unsigned conmon_client_requests_in_use(const conmon_client *c)
{
    return c ? c->requests_used : 0;
}

conmon_channel_set *conmon_client_get_channels(const conmon_client *c)
{
    return c ? c->channels : nullptr;
}

// The server's own device; else the first table-1 entry with this device id; else, while a named
// channel message is dispatched, its sender when the id is the message's source.
const char *conmon_client_device_name_for_id(const conmon_client *c, const conmon_source_id *id)
{
    if (!c || !id)
        return nullptr;
    if (c->link->state == CONMON_LOCAL_CONNECTED && conmon_source_id_equal(id, &c->server_id))
        return c->connection.device_name;
    for (unsigned i = 0; c->table1 && i < CONMON_REMOTE_DEVICES; ++i) {
        const conmon_remote_device_info *e = &c->table1[i];
        if ((e->flags & CONMON_REMOTE_HAS_DEVICE_ID) &&
            std::memcmp(e->device_id.device_id, id->device_id, CONMON_DEVICE_ID_SIZE) == 0)
            return e->name;
    }
    if (c->named_sender && conmon_source_id_equal(id, &c->named_source))
        return c->named_sender;
    return nullptr;
}

// ---- connection ----

qnb_error conmon_client_connect(conmon_client *c, conmon_request_fn callback, conmon_request **out_request)
{
    if (out_request)
        *out_request = nullptr;
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error e = conmon_client_local_connect(c->link, callback);
    if (e)
        return e;
    if (out_request)
        *out_request = &c->link->inflight;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_client_disconnect(conmon_client *c)
{
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    if (!c->link)
        return QNB_ERR_INVALIDSTATE;
    return conmon_client_local_disconnect(c->link);
}

void conmon_client_release_request(conmon_client *c, conmon_request *request)
{
    if (!c || !request || !request->in_use)
        return;
    if (request == &c->link->inflight) {
        conmon_client_local_abort_connect(c->link);
        return;
    }
    if (c->domain && request->kind == 0) {
        conmon_client_domain_release_request(c->domain, request);
        return;
    }
    conmon_client_free_request(c, request);
}

// ---- registrations and subscriptions ----

qnb_error conmon_client_register_control_messages(conmon_client *c, conmon_request_fn callback,
                                                  conmon_request **out_request, conmon_message_handler_fn handler)
{
    if (out_request)
        *out_request = nullptr;
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(log_of(c), QNB_LOG_DEBUG, "%s: starting\n", __func__);
    c->handlers[CONMON_CHANNEL_CONTROL][1] = handler;
    qnb_error e = managed(c) ? conmon_client_domain_register_monitoring(c->domain, callback, out_request,
                                                                        CONMON_CHANNEL_CONTROL, 1, handler != nullptr)
                             : send_register(c, callback, out_request, CONMON_CHANNEL_CONTROL, 1, handler != nullptr);
    qnb_log(log_of(c), QNB_LOG_DEBUG, "%s: finished\n", __func__);
    return e;
}

qnb_error conmon_client_register_monitoring_messages(conmon_client *c, conmon_request_fn callback,
                                                     conmon_request **out_request, uint16_t channel_type,
                                                     uint16_t class_, conmon_message_handler_fn handler)
{
    if (out_request)
        *out_request = nullptr;
    if (!c || channel_type >= CONMON_CHANNEL_TYPES || class_ > 1)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(log_of(c), QNB_LOG_DEBUG, "%s: starting\n", __func__);
    if (!type_enabled(c, channel_type, __func__))
        return QNB_ERR_NOTINITIALISED;
    if (class_ == 1 && domain_id_zero(c))
        return QNB_ERR_INVALIDSTATE;
    // Messages from the local device, and those of the local channel, do not cross a managed domain.
    if (managed(c) && domain_client_get_state(c->domain->domain) == 2 &&
        (class_ == 0 || channel_type == CONMON_CHANNEL_LOCAL))
        return QNB_ERR_INVALIDSTATE;
    c->handlers[channel_type][class_] = handler;
    qnb_error e = QNB_ERR_SUCCESS;
    if (class_ == 1 && managed(c))
        e = conmon_client_domain_register_monitoring(c->domain, callback, out_request, channel_type, class_,
                                                     handler != nullptr);
    else if (channel_type != CONMON_CHANNEL_SERIAL && channel_type != CONMON_CHANNEL_VENDOR_BROADCAST)
        e = send_register(c, callback, out_request, channel_type, class_, handler != nullptr);
    qnb_log(log_of(c), QNB_LOG_DEBUG, "%s: finished\n", __func__);
    return e;
}

qnb_error conmon_client_subscribe(conmon_client *c, conmon_request_fn callback, conmon_request **out_request,
                                  uint16_t channel_type, const char *device_name)
{
    if (out_request)
        *out_request = nullptr;
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(log_of(c), QNB_LOG_DEBUG, "%s: starting\n", __func__);
    if (!type_enabled(c, channel_type, __func__))
        return QNB_ERR_NOTINITIALISED;
    qnb_error e = QNB_ERR_INVALIDSTATE;
    if (adhoc(c))
        e = send_subscribe(c, callback, out_request, CONMON_LOCAL_SUBSCRIBE, channel_type, device_name);
    else if (managed(c))
        e = conmon_client_domain_subscribe(c->domain, callback, out_request, channel_type, device_name, true);
    qnb_log(log_of(c), QNB_LOG_DEBUG, "%s: finished\n", __func__);
    return e;
}

qnb_error conmon_client_subscribe_global(conmon_client *c, conmon_request_fn callback, conmon_request **out_request,
                                         uint16_t channel_type)
{
    if (out_request)
        *out_request = nullptr;
    if (!c || channel_type >= CONMON_CHANNEL_TYPES)
        return QNB_ERR_INVALIDPARAMETER;
    if (!adhoc(c) && !managed(c))
        return QNB_ERR_SUCCESS; // no domain yet: nothing to subscribe to
    // The subscription is in force once the server has answered it (conmon_client_complete_request):
    // a request lost, refused or never answered leaves the flag clear, so that the caller asks again.
    conmon_request *slot = nullptr;
    qnb_error e = send_subscribe(c, callback, &slot, CONMON_LOCAL_SUBSCRIBE, channel_type, nullptr);
    if (!e && slot)
        slot->global_type = static_cast<uint16_t>(channel_type + 1);
    if (out_request)
        *out_request = slot;
    return e;
}

qnb_error conmon_client_unsubscribe_global(conmon_client *c, conmon_request_fn callback, conmon_request **out_request,
                                           uint16_t channel_type)
{
    if (out_request)
        *out_request = nullptr;
    if (!c || channel_type >= CONMON_CHANNEL_TYPES)
        return QNB_ERR_INVALIDPARAMETER;
    if (!adhoc(c) && !managed(c))
        return QNB_ERR_INVALIDSTATE;
    qnb_error e = send_subscribe(c, callback, out_request, CONMON_LOCAL_UNSUBSCRIBE, channel_type, nullptr);
    c->global_subscription[channel_type] = 0;
    // A subscription still waiting for its answer no longer puts the flag in force.
    for (unsigned i = 0; c->requests && i < c->request_count; ++i)
        if (c->requests[i].in_use && c->requests[i].global_type == channel_type + 1)
            c->requests[i].global_type = 0;
    return e;
}

qnb_error conmon_client_set_tx_metering_enabled(conmon_client *c, conmon_request_fn callback,
                                                conmon_request **out_request, bool enable)
{
    if (out_request)
        *out_request = nullptr;
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    if (!type_enabled(c, CONMON_CHANNEL_METERING, __func__))
        return QNB_ERR_NOTINITIALISED;
    if ((c->tx_metering_enabled != 0) == enable)
        return QNB_ERR_SUCCESS;
    size_t length = 0;
    qnb_error e =
        conmon_local_build_empty(c->send_buffer, sizeof c->send_buffer, c->config.version, 0,
                                 enable ? CONMON_LOCAL_ENABLE_TX_METERING : CONMON_LOCAL_DISABLE_TX_METERING, &length);
    if (!e)
        e = send_built(c, length, callback, out_request);
    if (e) {
        qnb_log(log_of(c), send_error_level(e), "%s: error sending message: %s\n", __func__, conmon_error_text(e));
        return e;
    }
    if (!enable) {
        c->tx_metering_enabled = 0;
        empty_table(c->table2);
    }
    return QNB_ERR_SUCCESS;
}

// ---- control messages ----

qnb_error conmon_client_send_control_message(conmon_client *c, conmon_request_fn callback, conmon_request **out_request,
                                             const char *target, uint16_t message_type, const uint8_t *vendor_id,
                                             const void *body, size_t body_length, const uint8_t *device_id)
{
    if (out_request)
        *out_request = nullptr;
    if (!c || !vendor_id || (!body && body_length))
        return QNB_ERR_INVALIDPARAMETER;
    if (domain_id_zero(c))
        return QNB_ERR_INVALIDSTATE;
    if (body_length > c->max_control_body)
        return QNB_ERR_TRUNCATED;
    if (std::memcmp(vendor_id, CONMON_VENDOR_STANDARD, CONMON_VENDOR_ID_SIZE) == 0 && body_length < 8) {
        qnb_log(log_of(c), QNB_LOG_ERROR, "%s: message (body) size too small %u\n", __func__, (unsigned)body_length);
        return QNB_ERR_MSGSIZE;
    }
    if (managed(c))
        return conmon_client_domain_send_control_message(c->domain, callback, out_request, target, message_type,
                                                         vendor_id, body, body_length, 0);
    if (target && strnlen(target, CONMON_NAME_FIELD) >= CONMON_NAME_FIELD) {
        qnb_log(log_of(c), QNB_LOG_ERROR, "%s: device name too long for the local link\n", __func__);
        return QNB_ERR_INVALIDPARAMETER;
    }
    uint8_t message[CONMON_CHANNEL_PACKET_SIZE];
    size_t message_length = 0;
    qnb_error e =
        conmon_message_build(message, sizeof message, message_type, vendor_id, body, body_length, &message_length);
    size_t length = 0;
    if (!e)
        e = conmon_local_build_send_message(c->send_buffer, sizeof c->send_buffer, c->config.version, 0,
                                            CONMON_CHANNEL_CONTROL, device_id, target, message, message_length,
                                            &length);
    if (!e)
        e = send_built(c, length, callback, out_request);
    if (e)
        qnb_log(log_of(c), send_error_level(e), "%s: error sending message: %s\n",
                "conmon_client_adhoc_send_control_message", conmon_error_text(e));
    return e;
}

// ---- sockets ----

qnb_error conmon_client_get_sockets(const conmon_client *c, qnb_socket_set *sockets)
{
    if (!c || !sockets)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->env && c->env->event_loop)
        return QNB_ERR_NOTSUPPORTED;
    if (c->link->sock != QNB_SOCKET_INVALID) {
        qnb_error e = qnb_socket_set_add(sockets, c->link->sock);
        if (e)
            return e;
    }
    return conmon_channel_set_add_sockets(c->channels, sockets);
}

qnb_error conmon_client_process_sockets(conmon_client *c, const qnb_socket_set *ready, qnb_timeval *next)
{
    if (next)
        *next = qnb_timeval{0, 0};
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->env && c->env->event_loop)
        return QNB_ERR_NOTSUPPORTED;
    qnb_error e = QNB_ERR_SUCCESS;
    conmon_client_local *link = c->link;
    // The socket is read when it is ready, and also when a request is overdue: after a stall of the
    // caller, answers that came in time may wait there although the caller's set does not say so.
    if (link->sock != QNB_SOCKET_INVALID && (!ready || qnb_socket_set_is_member(ready, link->sock) ||
                                             any_overdue(c, conmon_time_now()))) {
        e = conmon_client_read_local(c);
        if (e == QNB_ERR_INTERRUPTED)
            return e;
    }
    if (!e) {
        e = conmon_channel_set_process(c->channels, ready);
        if (e)
            qnb_log(log_of(c), QNB_LOG_ERROR, "%s: Error processing channels: %s\n", __func__, conmon_error_text(e));
        conmon_client_local_process_actions(link);
    }
    expire_requests(c);
    // Computed last, once what was read has armed or moved the deadlines.
    if (next)
        *next = earlier(conmon_client_local_earliest_deadline(link), earliest_request_deadline(c));
    return e;
}
