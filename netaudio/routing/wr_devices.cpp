#include "netaudio/routing/wr_devices.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "netaudio/discovery/domain_requests.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_device_addresses.h"

namespace {

qnb_logger *logger_of(const wr_devices *d)
{
    return d && d->env ? d->env->logger : nullptr;
}

const char *error_text(qnb_error err)
{
    const char *text = qnb_error_get_text(err);
    return text ? text : "unknown error";
}

bool event_loop_mode(const wr_devices *d)
{
    return d->loop != nullptr;
}

void on_comms_readable(qnb_event_loop *, int, unsigned, void *user_data);
void schedule(wr_devices *d);

uint64_t micros(const qnb_timeval &t)
{
    return uint64_t(t.tv_sec) * 1000000u + t.tv_usec;
}

qnb_timeval from_micros(uint64_t us)
{
    qnb_timeval t;
    t.tv_sec = uint32_t(us / 1000000u);
    t.tv_usec = uint32_t(us % 1000000u);
    return t;
}

uint64_t now_micros()
{
    qnb_timeval now{0, 0};
    qnb_time_now(&now);
    return micros(now);
}

bool find_slot(const wr_devices *d, const wr_request *r)
{
    if (!d || !r || !d->requests.slots)
        return false;
    if (r < d->requests.slots || r >= d->requests.slots + d->requests.capacity)
        return false;
    return true;
}

// The accessor rule: an unknown request is logged and refused.
bool check_request(const wr_devices *d, const wr_request *r, const char *function)
{
    if (find_slot(d, r) && r->in_use)
        return true;
    qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Unknown request id %p", function, static_cast<const void *>(r));
    return false;
}

void free_slot(wr_devices *d, wr_request *r)
{
    if (!r->in_use)
        return;
    r->in_use = 0;
    r->request_code = 0;
    r->sent_to = nullptr;
    if (d->requests.in_use)
        d->requests.in_use--;
}

// Only a domain handler raises these: a new domain closes the open devices; a change of the
// handler's state lets devices waiting in a managed domain look themselves up.
void on_domain_change(domain_client *client, void *context, const domain_event *event)
{
    wr_devices *d = static_cast<wr_devices *>(context);
    if (event->phase == DOMAIN_EVENT_AFTER)
        wr_devices_domain_state_changed(d, 0, domain_client_get_state(client));
    else if (event->phase == DOMAIN_EVENT_STATE || event->phase == DOMAIN_EVENT_DOMAIN)
        wr_devices_domain_state_changed(d, 2, domain_client_get_state(client));
}

qnb_error on_domain_receive(void *context, tlv_transaction *t)
{
    wr_devices *d = static_cast<wr_devices *>(context);
    uint16_t type = t->message.type;
    if (type == TLV_RECORD_0x2004)
        return wr_devices_process_domain_relay(d, &t->message);
    if (d->lookups && type >= TLV_RECORD_DOMAIN_REQUEST && type <= TLV_RECORD_DOMAIN_RESULT)
        return domain_requests_handle_message(d->lookups, t);
    return 0;
}

// Wraps the slot's packet into a relay record for the device's domain address and sends it
// through the domain client's channel.
qnb_error send_via_domain(wr_devices *d, wr_request *r, const uint32_t *address)
{
    const uint8_t *p = r->packet.packet;
    size_t length = wgcp_header_get_length(p);
    if (length < WGCP_HEADER_SIZE || length > d->domain_max_message)
        return QNB_ERR_MSGSIZE;
    tlv_channel *channel = object_get_list(d->domain);
    if (!channel || !address)
        return QNB_ERR_NOTCONN;
    tlv_builder b;
    tlv_record rec;
    uint8_t *body = nullptr;
    qnb_error err = tlv_msg_begin(&b, d->domain_buffer, sizeof d->domain_buffer, TLV_OPTION_BYTES);
    if (!err)
        err = tlv_msg_add_id_option(&b, TLV_OPTION_SEQUENCE, r->domain_request_id, 0);
    if (!err)
        err = tlv_msg_add_id_option(&b, TLV_OPTION_CLIENT, 0, 0);
    if (!err)
        err = tlv_msg_add_request_u16(&b, &rec, TLV_RECORD_0x2004, r->domain_request_id);
    if (!err)
        err = tlv_msg_reserve_body(&rec, WR_DOMAIN_RELAY_BODY, &body);
    if (err)
        return err;
    uint16_t offset = 0;
    if (!tlv_msg_add_bytes(&rec, p, length, &offset))
        return QNB_ERR_MSGSIZE;
    wgcp_store_be16(body, uint16_t(length));
    wgcp_store_be16(body + 2, offset);
    wgcp_store_be32(body + 4, address[0]);
    wgcp_store_be16(body + 8, uint16_t(address[1]));
    return tlv_msg_send(channel, &b);
}

qnb_error enable_socket_inet(wr_devices *d)
{
    if (d->comms_socket != QNB_SOCKET_INVALID)
        return 0;
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: creating INET socket\n", __func__);
    qnb_socket sock = QNB_SOCKET_INVALID;
    qnb_error err = qnb_socket_open_udp(&sock, AF_INET);
    if (err)
        return err;
    err = qnb_socket_set_nonblocking(sock, 0);
    if (err) {
        qnb_socket_close(&sock);
        return err;
    }
    // A whole installation may answer at once: keep room for its bursts.
    int bytes = WR_RECEIVE_BUFFER_BYTES;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
        qnb_log(logger_of(d), QNB_LOG_WARNING, "%s: could not enlarge the receive buffer of socket %d\n", __func__,
                sock);
    d->comms_socket = sock;
    if (d->loop) {
        err = qnb_event_loop_set_socket(d->loop, sock, QNB_EVENT_LOOP_SET_READ, on_comms_readable, d,
                                        QNB_EVENT_LOOP_ADD_ONLY);
        if (err) {
            d->comms_socket = QNB_SOCKET_INVALID;
            qnb_socket_close(&sock);
        }
        return err;
    }
    wr_devices_announce_sockets(d);
    return 0;
}

wr_request *new_pool(uint32_t n)
{
    return static_cast<wr_request *>(calloc(n, sizeof(wr_request)));
}

void on_deferred(int argument, qnb_event_loop *, uint32_t, void *user_data);

// Devices closed in event-loop mode wait on their own list until the container's deferred call.
void delete_parked(wr_devices *d)
{
    while (d->deferred_deletions.first) {
        qnb_list_node *n = d->deferred_deletions.first;
        qnb_list_remove(n);
        wr_device_delete(static_cast<wr_device *>(n->data));
    }
}

void free_container(wr_devices *d)
{
    if (d->loop) {
        if (d->deferred_call)
            qnb_event_loop_remove_pass_callback(d->loop, d->deferred_call, on_deferred, d);
        if (d->deadline_timer)
            qnb_timer_delete(d->deadline_timer);
        if (d->comms_socket != QNB_SOCKET_INVALID)
            qnb_event_loop_set_socket(d->loop, d->comms_socket, QNB_EVENT_LOOP_SET_READ, nullptr, nullptr,
                                      QNB_EVENT_LOOP_CHANGE_ONLY);
    }
    delete_parked(d);
    free(d->requests.slots);
    if (d->comms_socket != QNB_SOCKET_INVALID) {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: closing arcp comms socket %d\n", "wr_devices_delete",
                d->comms_socket);
        qnb_socket_close(&d->comms_socket);
    }
    if (d->unix_socket != QNB_SOCKET_INVALID) {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: closing arcp unix comms socket %d\n", "wr_devices_delete",
                d->unix_socket);
        qnb_socket_close(&d->unix_socket);
    }
    free(d->handles.slots);
    domain_requests_delete(d->lookups);
    domain_client_delete(d->domain);
    free(d);
}

wr_request *match(wr_devices *d, uint16_t seqnum)
{
    // The table is large (thousands of slots of a packet each) and mostly empty: an empty one is not
    // walked.
    if (d->requests.in_use == 0)
        return nullptr;
    for (uint32_t i = 0; i < d->requests.capacity; ++i) {
        wr_request *r = &d->requests.slots[i];
        if (r->in_use && r->seqnum == seqnum)
            return r;
    }
    return nullptr;
}

qnb_error send_packet(wr_devices *d, wr_request *r)
{
    const uint8_t *p = r->packet.packet;
    size_t length = wgcp_header_get_length(p);
    if (length < WGCP_HEADER_SIZE || length > WR_MESSAGE_MAX)
        return QNB_ERR_MSGSIZE;
    const wr_device_addresses *set = r->sent_to;
    if (!set)
        return QNB_ERR_INVALIDSTATE;
    bool tried = false;
    bool sent = false;
    qnb_error first = 0;
    for (size_t i = 0; i < set->count; ++i) {
        const wr_device_address &e = set->entries[i];
        if (!(e.flags & WR_ADDRESS_RESOLVED) || qnb_sockaddr_is_empty(&e.address))
            continue;
        tried = true;
        size_t n = length;
        qnb_error err = qnb_socket_sendto(d->comms_socket, p, &n, &e.address);
        if (!err && n == length)
            sent = true;
        else if (!first)
            first = err ? err : QNB_ERR_MSGSIZE;
    }
    if (!tried)
        return QNB_ERR_INVALIDSTATE;
    return sent ? 0 : first;
}

void check_deadlines(wr_devices *d)
{
    if (d->requests.in_use == 0)
        return;
    uint64_t now = now_micros();
    for (uint32_t i = 0; i < d->requests.capacity; ++i) {
        wr_request *r = &d->requests.slots[i];
        if (!r->in_use)
            continue;
        uint64_t sent = micros(r->sent_at);
        if (now >= sent + WR_TIMEOUT_AFTER_US) {
            qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: request seqnum=0x%04x timed out\n", __func__, r->seqnum);
            wr_device *dev = static_cast<wr_device *>(r->context);
            if (dev)
                wr_device_handle_timeout(dev, r);
            else
                wr_devices_complete_request(d, r, QNB_ERR_TIMEDOUT);
        } else if (!r->resent && now >= sent + WR_RESEND_AFTER_US) {
            r->resent = true;
            qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: resending seqnum=0x%04x\n", __func__, r->seqnum);
            if (r->via_domain) {
                const wr_device *dev = static_cast<const wr_device *>(r->context);
                send_via_domain(d, r, dev ? dev->domain_address : nullptr);
            } else {
                send_packet(d, r);
            }
        }
    }
}

// Reads up to WR_DRAIN_PER_PROCESS datagrams of the comms socket (inside a processing pass).
qnb_error wr_devices_read_vlpi_socket(wr_devices *d)
{
    const char *fn = __func__;
    for (int i = 0; i < WR_DRAIN_PER_PROCESS; ++i) {
        size_t size = sizeof d->receive_buffer;
        qnb_error err = qnb_socket_recvfrom(d->comms_socket, d->receive_buffer, &size, &d->receive_source);
        if (err == QNB_ERR_TIMEDOUT)
            return 0;
        if (err == QNB_ERR_INTERRUPTED)
            return err;
        if (err == QNB_ERR_MSGSIZE) {
            qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Dropped an oversized message on socket %d", fn,
                    d->comms_socket);
            continue;
        }
        if (err) {
            qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Error reading socket %d: %s", fn, d->comms_socket,
                    error_text(err));
            return err;
        }
        wr_devices_process_socket_message(d, d->receive_buffer, size, &d->receive_source);
    }
    return 0;
}

// Request deadlines and resolve retries that have come (inside a processing pass).
void process_deadlines(wr_devices *d)
{
    check_deadlines(d);
    for (qnb_list_node *n = d->devices.first; n;) {
        qnb_list_node *next = n->next;
        wr_device *dev = static_cast<wr_device *>(n->data);
        bool changed = false;
        if (dev->addresses) {
            wr_device_begin_processing(dev);
            qnb_timeval now{0, 0};
            qnb_time_now(&now);
            wr_device_addresses_check_retries(dev->addresses, &now, &changed);
            wr_device_end_processing(dev);
        }
        n = next;
    }
}

// ---- event-loop mode ----
//
// The comms socket and every device's resolve socket have read callbacks in the loop; one idle
// timer stands for the earliest request deadline or resolve retry. What a pass changed (a request
// sent, a deadline moved, a device closed) is settled once by the container's deferred call after
// the loop's pass: it frees the devices closed meanwhile and sets the timer again.

void on_comms_readable(qnb_event_loop *, int, unsigned, void *user_data)
{
    wr_devices *d = static_cast<wr_devices *>(user_data);
    d->processing = true;
    wr_devices_read_vlpi_socket(d);
    process_deadlines(d);
    d->processing = false;
    schedule(d);
}

void on_deadline(qnb_timer *, void *context)
{
    wr_devices *d = static_cast<wr_devices *>(context);
    d->processing = true;
    process_deadlines(d);
    d->processing = false;
    schedule(d);
}

void on_address_readable(qnb_event_loop *, int, unsigned, void *user_data)
{
    wr_device_address *e = static_cast<wr_device_address *>(user_data);
    e->loop_ready = true;
    wr_device_wake(e->set->device);
}

void on_deferred(int argument, qnb_event_loop *, uint32_t, void *user_data)
{
    wr_devices *d = static_cast<wr_devices *>(user_data);
    d->deferred_call = 0;
    if (argument)
        return; // the loop is being destroyed
    delete_parked(d);
    qnb_timeval due;
    if (wr_devices_next_deadline(d, &due))
        qnb_timer_set_expiry(d->deadline_timer, &due, nullptr);
    else
        qnb_timer_stop(d->deadline_timer);
}

void schedule(wr_devices *d)
{
    if (!d->loop || d->deferred_call)
        return;
    qnb_error err = qnb_event_loop_add_pass_callback(d->loop, &d->deferred_call, on_deferred, d);
    if (err)
        qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Error adding deferred call: %s\n", "wr_devices", error_text(err));
}

} // namespace

qnb_error wr_devices_new(qnb_env *env, wr_devices **out)
{
    return wr_devices_new_common(env, nullptr, out);
}

qnb_error wr_devices_new_common(qnb_env *env, const void *, wr_devices **out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    wr_devices *d = static_cast<wr_devices *>(calloc(1, sizeof(wr_devices)));
    if (!d)
        return QNB_ERR_NOMEMORY;
    d->env = env;
    d->loop = env ? env->event_loop : nullptr;
    d->comms_socket = QNB_SOCKET_INVALID;
    d->unix_socket = QNB_SOCKET_INVALID;
    domain_handler *handler = object_get_owner(env);
    d->domain = domain_client_new(handler, d, on_domain_change, on_domain_receive);
    if (!d->domain || (handler && domain_requests_new(d, d->domain, &d->lookups) != 0)) {
        free_container(d);
        return QNB_ERR_NOMEMORY;
    }
    d->domain_request_counter = 0;
    d->domain_max_message = WR_DOMAIN_MESSAGE_MAX;
    qnb_error err = qnb_interface_get_loopback(&d->loopback);
    if (!err) {
        d->have_loopback = true;
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Found localhost interface with index %d\n", __func__,
                int(d->loopback.index));
    } else {
        qnb_log(logger_of(d), QNB_LOG_WARNING, "%s: Error getting localhost interface index: %d\n", __func__, err);
    }
    d->handles.slots = static_cast<wr_handle_slot *>(calloc(1, sizeof(wr_handle_slot)));
    d->requests.slots = new_pool(WR_DEVICES_DEFAULT_REQUESTS);
    if (!d->handles.slots || !d->requests.slots) {
        free_container(d);
        return QNB_ERR_NOMEMORY;
    }
    d->handles.capacity = 1;
    d->requests.capacity = WR_DEVICES_DEFAULT_REQUESTS;
    if (d->loop) {
        err = qnb_timer_new_idle(d->loop, on_deadline, d, &d->deadline_timer);
        if (err) {
            free_container(d);
            return err;
        }
    }
    err = enable_socket_inet(d);
    if (err) {
        free_container(d);
        return err;
    }
    domain_client_set_enabled(d->domain, true);
    *out = d;
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: opened arcp comms socket %d\n", __func__, d->comms_socket);
    return 0;
}

qnb_error wr_devices_delete(wr_devices *d)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    if (d->devices.count)
        return QNB_ERR_INVALIDSTATE;
    free_container(d);
    return 0;
}

qnb_error wr_devices_set_changed_callback(wr_devices *d, wr_devices_changed_fn callback)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    if (!event_loop_mode(d))
        d->changed_callback = callback;
    return 0;
}

qnb_error wr_devices_set_context(wr_devices *d, void *context)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    d->context = context;
    return 0;
}

void *wr_devices_get_context(const wr_devices *d)
{
    return d ? d->context : nullptr;
}

qnb_error wr_devices_set_num_requests(wr_devices *d, uint32_t n)
{
    if (!d || n == 0)
        return QNB_ERR_INVALIDPARAMETER;
    if (d->requests.in_use)
        return QNB_ERR_INVALIDSTATE;
    wr_request *pool = new_pool(n);
    if (!pool)
        return QNB_ERR_NOMEMORY;
    free(d->requests.slots);
    d->requests.slots = pool;
    d->requests.capacity = n;
    d->requests.next = 0;
    return 0;
}

qnb_error wr_devices_set_max_handles(wr_devices *d, uint32_t n)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    for (uint32_t i = 0; i < d->handles.capacity; ++i) {
        if (d->handles.slots[i].words[1] != 0)
            return QNB_ERR_INVALIDSTATE;
    }
    if (n < d->handles.capacity)
        return QNB_ERR_INVALIDPARAMETER;
    wr_handle_slot *slots = static_cast<wr_handle_slot *>(calloc(n ? n : 1, sizeof(wr_handle_slot)));
    if (!slots)
        return QNB_ERR_NOMEMORY;
    free(d->handles.slots);
    d->handles.slots = slots;
    d->handles.capacity = n;
    d->handles.in_use = 0;
    return 0;
}

uint32_t wr_devices_get_max_handles(const wr_devices *d)
{
    return d ? d->handles.capacity : 0;
}

uint32_t wr_devices_requests_in_use(const wr_devices *d)
{
    return d ? d->requests.in_use : 0;
}

void wr_devices_get_domain_id(const wr_devices *d, uint8_t *out)
{
    domain_client_get_id(d->domain, out);
}

qnb_error wr_devices_get_sockets(wr_devices *d, qnb_socket_set *set)
{
    if (!d || !set)
        return QNB_ERR_INVALIDPARAMETER;
    if (event_loop_mode(d))
        return QNB_ERR_NOTSUPPORTED;
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: adding 'devices' socket %d\n", __func__, d->comms_socket);
    if (d->comms_socket != QNB_SOCKET_INVALID)
        qnb_socket_set_add(set, d->comms_socket);
    if (d->unix_socket != QNB_SOCKET_INVALID) {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: adding 'devices' unix socket %d\n", __func__, d->unix_socket);
        qnb_socket_set_add(set, d->unix_socket);
    }
    uint8_t id[DOMAIN_ID_SIZE];
    wr_devices_get_domain_id(d, id);
    if (!domain_id_is_zero(id)) {
        for (qnb_list_node *n = d->devices.first; n; n = n->next) {
            wr_device *dev = static_cast<wr_device *>(n->data);
            if (dev->addresses)
                wr_device_addresses_get_sockets(dev->addresses, set);
        }
    }
    return 0;
}

qnb_error wr_devices_process(wr_devices *d, qnb_socket_set *set)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    if (event_loop_mode(d))
        return QNB_ERR_NOTSUPPORTED;
    if (d->comms_socket == QNB_SOCKET_INVALID)
        return 0;
    d->processing = true;
    uint8_t id[DOMAIN_ID_SIZE];
    wr_devices_get_domain_id(d, id);
    if (!domain_id_is_zero(id)) {
        // A device may be closed from its own callback: step to the next node first.
        qnb_list_node *n = d->devices.first;
        while (n) {
            qnb_list_node *next = n->next;
            wr_device *dev = static_cast<wr_device *>(n->data);
            qnb_error err = wr_device_process_sockets(dev, set);
            if (err) {
                char buffer[QNB_ERROR_MESSAGE_SIZE];
                qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Error processing sockets: %s", __func__,
                        qnb_error_message(err, buffer));
            }
            n = next;
        }
    }
    qnb_error result = 0;
    if (!set || qnb_socket_set_is_member(set, d->comms_socket))
        result = wr_devices_read_vlpi_socket(d);
    process_deadlines(d);
    d->processing = false;
    if (d->pending_change) {
        d->pending_change = false;
        if (d->changed_callback)
            d->changed_callback(d);
    }
    return result;
}

bool wr_devices_next_deadline(const wr_devices *d, qnb_timeval *out)
{
    if (!d || !out)
        return false;
    bool any = false;
    uint64_t best = 0;
    // Asked on every pass of the owner: the walk ends with the last request in use.
    uint32_t left = d->requests.in_use;
    for (uint32_t i = 0; left > 0 && i < d->requests.capacity; ++i) {
        const wr_request *r = &d->requests.slots[i];
        if (!r->in_use)
            continue;
        --left;
        uint64_t t = micros(r->sent_at) + (r->resent ? WR_TIMEOUT_AFTER_US : WR_RESEND_AFTER_US);
        if (!any || t < best)
            best = t;
        any = true;
    }
    for (qnb_list_node *n = d->address_retries > 0 ? d->devices.first : nullptr; n; n = n->next) {
        const wr_device *dev = static_cast<const wr_device *>(n->data);
        qnb_timeval t;
        if (dev->addresses && wr_device_addresses_next_deadline(dev->addresses, &t)) {
            if (!any || micros(t) < best)
                best = micros(t);
            any = true;
        }
    }
    if (any)
        *out = from_micros(best);
    return any;
}

qnb_error wr_devices_get_local_address(const wr_devices *d, qnb_sockaddr *out)
{
    if (!d || !out)
        return QNB_ERR_INVALIDPARAMETER;
    return qnb_socket_get_name(d->comms_socket, out);
}

qnb_error wr_devices_allocate_request(wr_devices *d, void *context, wr_request_fn callback, wr_request **out)
{
    if (!d || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (d->requests.in_use >= d->requests.capacity)
        return QNB_ERR_NOBUFS;
    uint32_t cap = d->requests.capacity;
    for (uint32_t k = 0; k < cap; ++k) {
        uint32_t i = (d->requests.next + k) % cap;
        wr_request *r = &d->requests.slots[i];
        if (r->in_use)
            continue;
        r->in_use = 1;
        d->requests.in_use++;
        d->requests.next = (i + 1) % cap;
        r->context = context;
        r->callback = callback;
        r->device_callback = nullptr;
        r->result_override = 0;
        r->request_code = 0;
        r->batch = wr_batch_data{0, 0, nullptr};
        r->resent = false;
        r->via_domain = false;
        r->sent_to = nullptr;
        r->sent_at = qnb_timeval{0, 0};
        r->domain_request_id = 0;
        *out = r;
        return 0;
    }
    return QNB_ERR_NOBUFS;
}

bool wr_devices_request_is_live(const wr_devices *d, const wr_request *r)
{
    return find_slot(d, r) && r->in_use;
}

qnb_error wr_devices_cancel_request(wr_devices *d, wr_request *r)
{
    if (!check_request(d, r, __func__))
        return QNB_ERR_INVALIDPARAMETER;
    free_slot(d, r);
    return 0;
}

qnb_error wr_devices_complete_request(wr_devices *d, wr_request *r, qnb_error result)
{
    if (!check_request(d, r, __func__))
        return QNB_ERR_INVALIDPARAMETER;
    wr_request_fn callback = r->callback;
    wr_device_request_fn device_callback = r->device_callback;
    void *context = r->context;
    uint32_t override_result = r->result_override;
    free_slot(d, r);
    qnb_error given = override_result ? qnb_error(override_result) : result;
    if (device_callback)
        device_callback(static_cast<wr_device *>(context), r, given);
    else if (callback)
        callback(context, r, given);
    return 0;
}

wgcp_builder *wr_devices_get_request_packet(wr_devices *d, wr_request *r)
{
    if (!check_request(d, r, __func__))
        return nullptr;
    wr_device *dev = static_cast<wr_device *>(r->context);
    r->packet.limit = dev && dev->via_domain ? d->domain_max_message : uint32_t(WR_MESSAGE_MAX);
    return &r->packet;
}

qnb_error wr_devices_get_request_code(wr_devices *d, const wr_request *r, uint32_t *out)
{
    if (!check_request(d, r, __func__) || !out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = r->request_code;
    return 0;
}

qnb_error wr_devices_set_request_code(wr_devices *d, wr_request *r, uint32_t value)
{
    if (!check_request(d, r, __func__))
        return QNB_ERR_INVALIDPARAMETER;
    r->request_code = value;
    return 0;
}

qnb_error wr_devices_set_request_result(wr_devices *d, wr_request *r, uint32_t value)
{
    if (!check_request(d, r, __func__))
        return QNB_ERR_INVALIDPARAMETER;
    r->result_override = value;
    return 0;
}

wr_batch_data *wr_devices_get_batch_data(wr_devices *d, wr_request *r)
{
    if (!check_request(d, r, __func__))
        return nullptr;
    return &r->batch;
}

qnb_error wr_devices_send_request(wr_devices *d, wr_request *r, wgcp_builder *packet,
                                  const wr_device_addresses *addresses)
{
    if (!check_request(d, r, __func__) || !packet)
        return QNB_ERR_INVALIDPARAMETER;
    if (packet != &r->packet)
        return QNB_ERR_INVALIDPARAMETER;
    uint16_t seq = d->seqnum++;
    wgcp_message_set_seqnum(r->packet.packet, seq);
    r->seqnum = seq;
    r->sent_to = addresses;
    r->via_domain = false;
    r->resent = false;
    qnb_time_now(&r->sent_at);
    schedule(d);
    return send_packet(d, r);
}

qnb_error wr_devices_send_request_via_domain(wr_devices *d, wr_request *r, wgcp_builder *packet,
                                             const uint32_t *domain_address)
{
    if (!check_request(d, r, __func__) || !packet || !domain_address)
        return QNB_ERR_INVALIDPARAMETER;
    if (packet != &r->packet)
        return QNB_ERR_INVALIDPARAMETER;
    uint16_t seq = d->seqnum++;
    wgcp_message_set_seqnum(r->packet.packet, seq);
    r->seqnum = seq;
    if (++d->domain_request_counter == 0)
        d->domain_request_counter = 1;
    r->domain_request_id = d->domain_request_counter;
    r->via_domain = true;
    r->resent = false;
    r->sent_to = nullptr;
    qnb_time_now(&r->sent_at);
    schedule(d);
    return send_via_domain(d, r, domain_address);
}

qnb_error wr_devices_process_socket_message(wr_devices *d, const uint8_t *data, size_t size,
                                            const qnb_sockaddr *source)
{
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Got a message (%u bytes)", __func__, unsigned(size));
    wgcp_header h;
    if (wgcp_header_decode(data, size, &h) != 0 || h.length < WGCP_HEADER_SIZE || h.length > size) {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Dropped a malformed message (%u bytes)", __func__, unsigned(size));
        return QNB_ERR_INVALIDDATA;
    }
    if (h.status == 0) {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Unexpected request seqnum=0x%04x opcode=0x%04x", __func__,
                h.seqnum, h.opcode);
        return 0;
    }
    wr_request *r = match(d, h.seqnum);
    if (!r) {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Unhandled response seqnum=0x%04x opcode=0x%04x", __func__,
                h.seqnum, h.opcode);
        return 0;
    }
    wr_device *dev = static_cast<wr_device *>(r->context);
    if (dev)
        wr_device_handle_socket_response(dev, r, source, data, h.length);
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: finished", __func__);
    return 0;
}

qnb_error wr_devices_process_domain_message(wr_devices *d, const uint32_t *source, const uint8_t *data,
                                            size_t size)
{
    if (!d || !source || !data)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Got a message from ZDM (%u bytes)", __func__, unsigned(size));
    wgcp_header h;
    if (wgcp_header_decode(data, size, &h) != 0 || h.length < WGCP_HEADER_SIZE || h.length > size) {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Dropped a malformed message (%u bytes)", __func__, unsigned(size));
        return QNB_ERR_INVALIDDATA;
    }
    if (h.status == 0)
        return 0;
    wr_request *r = match(d, h.seqnum);
    if (!r || !r->via_domain) {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Unhandled response seqnum=0x%04x opcode=0x%04x", __func__,
                h.seqnum, h.opcode);
        return 0;
    }
    wr_device *dev = static_cast<wr_device *>(r->context);
    if (dev)
        wr_device_handle_domain_response(dev, r, source, data, h.length);
    return 0;
}

qnb_error wr_devices_process_domain_relay(wr_devices *d, const tlv_view *record)
{
    if (!d || !record)
        return QNB_ERR_INVALIDPARAMETER;
    tlv_0x2004 relay;
    qnb_error err = tlv_parse_0x2004(record, &relay);
    if (err)
        return err;
    if (relay.status != 0)
        return wr_devices_process_domain_error(d, relay.seqnum, wr_devices_domain_status_error(relay.status));
    // The body is 12 bytes: the message's length and offset, then where it came from.
    if (record->record_length < TLV_RECORD_HEAD_SIZE + 4 + WR_DOMAIN_RELAY_BODY || !relay.part.data ||
        relay.value > relay.part.size)
        return QNB_ERR_INVALIDDATA;
    wgcp_reader in;
    wgcp_reader_init(&in, record->data, record->length);
    size_t head = size_t(record->head - record->data);
    size_t at = head + TLV_RECORD_HEAD_SIZE + 4;
    uint16_t body_length = 0;
    uint32_t address = 0;
    uint16_t low = 0;
    if (wgcp_reader_u16_at(&in, head + 6, &body_length) != 0 || body_length < WR_DOMAIN_RELAY_BODY ||
        wgcp_reader_u32_at(&in, at + 4, &address) != 0 || wgcp_reader_u16_at(&in, at + 8, &low) != 0)
        return QNB_ERR_INVALIDDATA;
    const uint32_t source[2] = {address, low};
    return wr_devices_process_domain_message(d, source, relay.part.data, relay.value);
}

qnb_error wr_devices_domain_status_error(uint32_t status)
{
    if (status == 2 || status == 3)
        return QNB_ERR_INVALIDPARAMETER;
    if (status == 5)
        return QNB_ERR_INVALIDDATA;
    if (status == 6)
        return QNB_ERR_POLICY;
    return QNB_ERR_SYSTEM;
}

qnb_error wr_devices_process_domain_error(wr_devices *d, uint16_t domain_request_id, qnb_error error)
{
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: Got a transport layer error from ZDM (%u)", __func__,
            unsigned(domain_request_id));
    for (uint32_t i = 0; i < d->requests.capacity; ++i) {
        wr_request *r = &d->requests.slots[i];
        if (r->in_use && r->domain_request_id == domain_request_id) {
            wr_devices_complete_request(d, r, error);
            return 0;
        }
    }
    qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Unknown ZDP request id %d", __func__, int(domain_request_id));
    return QNB_ERR_INVALIDPARAMETER;
}

void wr_devices_domain_state_changed(wr_devices *d, uint32_t state, uint32_t connection_state)
{
    if (!d)
        return;
    uint8_t id[DOMAIN_ID_SIZE];
    wr_devices_get_domain_id(d, id);
    for (qnb_list_node *n = d->devices.first; n;) {
        qnb_list_node *next = n->next;
        wr_device *dev = static_cast<wr_device *>(n->data);
        if (state == 0) {
            wr_device_set_state(dev, WR_DEVICE_STATE_ERROR, QNB_ERR_POLICY, "Device closed due to domain change");
        } else if (state == 2 && !domain_id_is_zero(id) && !domain_id_is_adhoc(id) &&
                   dev->state == WR_DEVICE_STATE_RESOLVING) {
            if (connection_state == 2 && dev->lookup_id == 0) {
                qnb_error err = wr_device_lookup_start(dev);
                if (err)
                    wr_device_set_state(dev, WR_DEVICE_STATE_ERROR, err, "Creating lookup after connection to ZDM");
            } else if (connection_state != 2) {
                dev->lookup_id = 0;
            }
        }
        n = next;
    }
}

void wr_devices_add_device(wr_devices *d, wr_device *device, qnb_list_node *node)
{
    node->data = device;
    qnb_list_push_back(&d->devices, node);
}

void wr_devices_remove_device(wr_devices *d, wr_device *device, qnb_list_node *node)
{
    for (uint32_t i = 0; i < d->requests.capacity; ++i) {
        wr_request *r = &d->requests.slots[i];
        if (r->in_use && r->context == device)
            free_slot(d, r);
    }
    qnb_list_remove(node);
}

void wr_devices_announce_sockets(wr_devices *d)
{
    if (!d || event_loop_mode(d))
        return;
    if (d->processing)
        d->pending_change = true;
    else if (d->changed_callback)
        d->changed_callback(d);
}

void wr_devices_announce_address(wr_devices *d, wr_device_address *entry, int socket, bool watch)
{
    if (!d)
        return;
    if (!d->loop) {
        wr_devices_announce_sockets(d);
        return;
    }
    qnb_error err = qnb_event_loop_set_socket(d->loop, socket, QNB_EVENT_LOOP_SET_READ,
                                              watch ? on_address_readable : nullptr, entry,
                                              watch ? QNB_EVENT_LOOP_ADD_OR_CHANGE : QNB_EVENT_LOOP_CHANGE_ONLY);
    if (err && watch)
        qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Error adding socket %d to the event loop: %s\n", __func__, socket,
                error_text(err));
}

void wr_devices_defer_deletion(wr_devices *d, wr_device *device, qnb_list_node *node)
{
    node->data = device;
    qnb_list_push_back(&d->deferred_deletions, node);
    schedule(d);
}

void wr_devices_deadlines_changed(wr_devices *d)
{
    if (d)
        schedule(d);
}

bool wr_devices_loop_mode(const wr_devices *d)
{
    return d && d->loop;
}
