#include "netaudio/conmon/conmon_client_domain.h"

#include <cstdlib>
#include <cstring>

#include "netaudio/conmon/conmon_client_private.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_name.h"

namespace {

qnb_logger *log_of(const conmon_client_domain *d)
{
    return d && d->env ? d->env->logger : nullptr;
}

uint16_t next_of(uint16_t *counter)
{
    if (*counter == 0)
        *counter = 1;
    uint16_t v = (*counter)++;
    if (*counter == 0)
        *counter = 1;
    return v;
}

bool managed_id(const uint8_t *id)
{
    return !domain_id_is_adhoc(id) && !domain_id_is_zero(id);
}

// ---- request slots of the client ----

conmon_request *take_slot(conmon_client_domain *d, conmon_request_fn callback)
{
    // The request table is made at the first connect, or at the first request of this part.
    if (!d->client->requests && conmon_client_prepare(d->client))
        return nullptr;
    conmon_request *slot = conmon_client_take_request(d->client);
    if (!slot)
        return nullptr;
    slot->kind = 0;
    slot->callback = callback;
    return slot;
}

conmon_request *find_slot(conmon_client_domain *d, uint16_t key)
{
    conmon_client *c = d->client;
    if (key == 0)
        return nullptr; // waiting messages have no key yet
    for (unsigned i = 0; c->requests && i < c->request_count; ++i) {
        conmon_request *s = &c->requests[i];
        if (s->in_use && s->kind == 0 && s->key == key && s->request_id == 0)
            return s;
    }
    return nullptr;
}

// Completes a pending message's slot unless the client has freed it meanwhile (a reset of the
// local connection frees every slot).
void complete_pending_slot(conmon_client_domain *d, conmon_domain_pending *p, qnb_error result)
{
    conmon_request *slot = p->slot;
    p->slot = nullptr;
    if (slot && slot->in_use && slot->generation == p->slot_generation)
        conmon_client_complete_request(d->client, slot, result);
}

// ---- sending typed records ----

qnb_error begin_request(conmon_client_domain *d, tlv_builder *b, tlv_record *rec, uint16_t type, uint16_t seq)
{
    tlv_channel *channel = d->domain ? object_get_list(d->domain) : nullptr;
    if (!channel)
        return QNB_ERR_NOTCONN;
    qnb_error e = tlv_msg_begin_unsequenced(channel, b);
    if (!e)
        e = tlv_msg_add_request_u16(b, rec, type, seq);
    return e;
}

qnb_error send_built(conmon_client_domain *d, tlv_builder *b)
{
    return tlv_msg_send(object_get_list(d->domain), b);
}

qnb_error send_control_record(conmon_client_domain *d, uint16_t seq, const char *target, const uint8_t *message,
                              uint16_t message_length)
{
    tlv_builder b;
    tlv_record rec;
    uint8_t *body = nullptr;
    uint16_t name_offset = 0, message_offset = 0;
    qnb_error e = begin_request(d, &b, &rec, CONMON_DOMAIN_RECORD_CONTROL, seq);
    if (!e)
        e = tlv_msg_reserve_body(&rec, 8, &body);
    if (!e && !tlv_msg_add_text(&rec, target, &name_offset))
        e = QNB_ERR_NOMEMORY;
    if (!e && !tlv_msg_add_bytes(&rec, message, message_length, &message_offset))
        e = QNB_ERR_NOMEMORY;
    if (e)
        return e;
    body = b.data + rec.body;
    wgcp_store_be16(body, name_offset);
    wgcp_store_be16(body + 2, message_offset);
    wgcp_store_be16(body + 4, message_length);
    return send_built(d, &b);
}

void respond(conmon_client_domain *d, tlv_transaction *t, uint16_t type, uint16_t seq, uint16_t status)
{
    tlv_builder b;
    tlv_record rec;
    qnb_error e = tlv_msg_send_on_channel(t, &b);
    if (!e)
        e = tlv_msg_add_response_u16(&b, &rec, type, seq);
    if (!e)
        e = tlv_msg_set_second_u16(&rec, status);
    if (!e)
        e = tlv_msg_send(t->channel, &b);
    if (e)
        qnb_log(log_of(d), QNB_LOG_ERROR, "%s: error answering record 0x%04x: %s\n", __func__, type,
                conmon_error_text(e));
}

// ---- hello ----

void send_hello(conmon_client_domain *d)
{
    qnb_timer_stop(d->hello_timer);
    if (!object_get_list(d->domain))
        return; // the handler gave no channel: nothing can reach the server
    uint16_t seq = next_of(&d->next_seqnum);
    uint32_t words[4] = {0, 0, 0, 0};
    if (!domain_id_is_adhoc(d->client->domain_id))
        std::memcpy(words, d->client->domain_id, sizeof words);
    tlv_builder b;
    tlv_record rec;
    qnb_error e = begin_request(d, &b, &rec, CONMON_DOMAIN_RECORD_HELLO, seq);
    if (!e)
        e = tlv_msg_add_4_u32(&rec, words);
    if (!e)
        e = send_built(d, &b);
    if (e)
        qnb_log(log_of(d), QNB_LOG_ERROR, "%s: Error sending packet (%s)\n", __func__, conmon_error_text(e));
    d->hello_seqnum = seq;
    qnb_timeval delay = {CONMON_DOMAIN_HELLO_INTERVAL, 0};
    qnb_timer_set_expiry(d->hello_timer, nullptr, &delay);
}

void on_hello_timer(qnb_timer *, void *context)
{
    send_hello(static_cast<conmon_client_domain *>(context));
}

// ---- pending messages and lookups ----

// Arms the processing timer for the earliest deadline, or for now when a message can go out.
void rearm_processing(conmon_client_domain *d)
{
    bool any = false;
    qnb_timeval at = {0, 0};
    for (qnb_list_node *n = d->pending.first; n; n = n->next) {
        const conmon_domain_pending *p = static_cast<const conmon_domain_pending *>(n->data);
        qnb_timeval due = p->lookup->resolved ? conmon_time_now() : p->deadline;
        if (!any || conmon_time_before(due, at))
            at = due;
        any = true;
    }
    if (any)
        qnb_timer_set_expiry(d->processing_timer, &at, nullptr);
    else
        qnb_timer_stop(d->processing_timer);
}

// Fails (and frees) every pending message of `lookup` (null: every one). Each is unlinked before
// its callback runs, so callbacks may add or release messages meanwhile.
void fail_pending(conmon_client_domain *d, const conmon_domain_lookup *lookup, qnb_error result)
{
    for (;;) {
        conmon_domain_pending *p = nullptr;
        for (qnb_list_node *n = d->pending.first; n && !p; n = n->next) {
            conmon_domain_pending *q = static_cast<conmon_domain_pending *>(n->data);
            if (!lookup || q->lookup == lookup)
                p = q;
        }
        if (!p)
            break;
        qnb_list_remove(&p->node);
        complete_pending_slot(d, p, result);
        free(p);
    }
}

void on_lookup_result(void *user, uint32_t request_id, const tlv_device_record *record);
void on_lookup_done(void *user, uint32_t request_id, uint32_t reason, uint16_t status);

qnb_error start_query(conmon_client_domain *d, conmon_domain_lookup *l)
{
    tlv_domain_request req = {};
    std::memcpy(req.id, d->client->domain_id, sizeof req.id);
    req.mode = DOMAIN_REQUEST_MODE_LOOKUP;
    req.name = l->name;
    qnb_error e = domain_requests_add(d->lookups_client, on_lookup_result, l, on_lookup_done, &req);
    l->request_id = e ? 0 : req.request_id;
    return e;
}

void cancel_query(conmon_client_domain *d, conmon_domain_lookup *l)
{
    uint32_t id = l->request_id;
    l->request_id = 0; // its done callback, run by the cancel, is then ignored
    if (id)
        domain_requests_cancel(d->lookups_client, id);
}

void drop_lookup(conmon_client_domain *d, conmon_domain_lookup *l)
{
    if (l->node.list)
        qnb_list_remove(&l->node);
    cancel_query(d, l);
    fail_pending(d, l, QNB_ERR_NOTFOUND);
    free(l);
}

conmon_domain_lookup *find_lookup(conmon_client_domain *d, const char *name)
{
    for (qnb_list_node *n = d->lookups.first; n; n = n->next) {
        conmon_domain_lookup *l = static_cast<conmon_domain_lookup *>(n->data);
        if (!strcmp(l->name, name))
            return l;
    }
    return nullptr;
}

void on_lookup_result(void *user, uint32_t request_id, const tlv_device_record *record)
{
    conmon_domain_lookup *l = static_cast<conmon_domain_lookup *>(user);
    if (!record || l->request_id != request_id)
        return;
    // A record with neither info nor services says the device has left the domain: messages to it
    // wait again.
    bool found = record->flags != 0;
    bool changed = l->resolved != found || l->device_flags != record->flags;
    l->resolved = found;
    l->device_flags = record->flags;
    if (changed || l->repeat) {
        l->repeat = false;
        rearm_processing(l->owner);
    }
}

void on_lookup_done(void *user, uint32_t request_id, uint32_t reason, uint16_t status)
{
    conmon_domain_lookup *l = static_cast<conmon_domain_lookup *>(user);
    if (l->request_id != request_id)
        return;
    l->request_id = 0;
    if (l->resolved)
        return; // the device stays found; messages to it go out at once
    conmon_client_domain *d = l->owner;
    qnb_error result = reason == DOMAIN_DONE_STATUS ? conmon_client_domain_lookup_error(status) : QNB_ERR_NOTFOUND;
    // Out of the list first: a callback sending to the same name starts a new lookup.
    qnb_list_remove(&l->node);
    fail_pending(d, l, result);
    free(l);
    rearm_processing(d);
}

void drop_lookups(conmon_client_domain *d)
{
    while (d->lookups.first)
        drop_lookup(d, static_cast<conmon_domain_lookup *>(d->lookups.first->data));
}

void on_processing_timer(qnb_timer *, void *context)
{
    conmon_client_domain *d = static_cast<conmon_client_domain *>(context);
    uint32_t pass = ++d->pass;
    qnb_timeval t = conmon_time_now();
    for (;;) {
        conmon_domain_pending *p = nullptr;
        for (qnb_list_node *n = d->pending.first; n && !p; n = n->next) {
            conmon_domain_pending *q = static_cast<conmon_domain_pending *>(n->data);
            if (q->pass != pass)
                p = q;
        }
        if (!p)
            break;
        p->pass = pass;
        if (p->lookup->resolved) {
            qnb_list_remove(&p->node);
            uint16_t seq = next_of(&d->next_seqnum);
            qnb_error e = send_control_record(d, seq, p->lookup->name, p->message, p->message_length);
            if (e) {
                qnb_log(log_of(d), QNB_LOG_ERROR, "%s: Error sending packet (%s)\n", __func__, conmon_error_text(e));
                complete_pending_slot(d, p, e);
            } else if (p->slot && p->slot->in_use && p->slot->generation == p->slot_generation) {
                p->slot->key = seq; // now waits for the answer
            }
            free(p);
        } else if (conmon_time_passed(p->deadline, t)) {
            qnb_list_remove(&p->node);
            complete_pending_slot(d, p, QNB_ERR_NOTFOUND);
            free(p);
        }
    }
    rearm_processing(d);
}

// ---- the client's state ----

void clear_adhoc_state(conmon_client *c)
{
    conmon_client_clear_adhoc_state(c);
}

void recompute(conmon_client_domain *d)
{
    conmon_client_recompute(d->client, d->domain);
}

void on_domain_changing(conmon_client_domain *d)
{
    conmon_client *c = d->client;
    // Only the ad-hoc network leaves remote state at the local server; a domain not known yet
    // (all-zero id) has none.
    bool was_adhoc = c->domain_mode == CONMON_DOMAIN_ADHOC;
    fail_pending(d, nullptr, QNB_ERR_NOTFOUND);
    drop_lookups(d);
    qnb_timer_stop(d->processing_timer);
    if (was_adhoc && c->link) {
        size_t length = 0;
        qnb_error e = conmon_local_build_empty(c->send_buffer, sizeof c->send_buffer, c->config.version, 0,
                                               CONMON_LOCAL_CLEAR_REMOTE, &length);
        if (!e)
            e = conmon_client_local_send_request(c->link, length, nullptr, nullptr);
        if (e)
            qnb_log(log_of(d), QNB_LOG_ERROR, "%s: error sending CLEAR_REMOTE message: %s\n", __func__,
                    conmon_error_text(e));
    }
    clear_adhoc_state(c);
}

void on_domain_changed(conmon_client_domain *d, const domain_event *event)
{
    conmon_client *c = d->client;
    domain_event_get_id(event, c->domain_id);
    conmon_client_apply_domain_to_channels(c);
    recompute(d);
    send_hello(d);
    c->change_mask |= CONMON_DOMAIN_CHANGE_DOMAIN;
}

void on_handler_state(conmon_client_domain *d)
{
    if (domain_client_get_state(d->domain) == 2) {
        for (qnb_list_node *n = d->lookups.first; n; n = n->next) {
            conmon_domain_lookup *l = static_cast<conmon_domain_lookup *>(n->data);
            if (l->resolved)
                continue;
            cancel_query(d, l);
            l->repeat = true;
            qnb_error e = start_query(d, l);
            if (e)
                qnb_log(log_of(d), QNB_LOG_ERROR, "%s: Error adding lookup (%s)\n", __func__, conmon_error_text(e));
        }
    } else if (conmon_client_domain_is_managed(d)) {
        for (qnb_list_node *n = d->lookups.first; n; n = n->next)
            cancel_query(d, static_cast<conmon_domain_lookup *>(n->data));
        clear_adhoc_state(d->client);
    }
    d->client->change_mask |= CONMON_DOMAIN_CHANGE_HANDLER;
}

void on_domain_event(domain_client *, void *context, const domain_event *event)
{
    conmon_client_domain *d = static_cast<conmon_client_domain *>(context);
    switch (event->phase) {
    case DOMAIN_EVENT_BEFORE:
        on_domain_changing(d);
        break;
    case DOMAIN_EVENT_AFTER:
        on_domain_changed(d, event);
        break;
    case DOMAIN_EVENT_STATE:
        on_handler_state(d);
        break;
    default:
        break;
    }
    recompute(d);
}

// ---- received records ----

// The value {seqnum, status} of the message's first record.
bool record_value(const tlv_view *v, uint16_t *seq, uint16_t *status)
{
    wgcp_reader r;
    wgcp_reader_init(&r, v->head, v->record_length);
    uint16_t value_length = 0;
    if (wgcp_reader_u16_at(&r, 4, &value_length) || value_length < 4)
        return false;
    return !wgcp_reader_u16_at(&r, 8, seq) && !wgcp_reader_u16_at(&r, 10, status);
}

// A text part of at most 31 characters; false when it is not terminated within its bounds.
bool part_text(const tlv_part &part, char *out, size_t size)
{
    out[0] = 0;
    if (!part.data)
        return true;
    size_t n = strnlen(reinterpret_cast<const char *>(part.data), part.size < size ? part.size : size);
    if (n >= size || n >= part.size)
        return false;
    std::memcpy(out, part.data, n);
    out[n] = 0;
    return true;
}

// Updates the device's table-1 entry from a subscription record and reports it when it changed.
qnb_error update_subscription(conmon_client_domain *d, const tlv_0x2011 &r)
{
    conmon_client *c = d->client;
    char name[TLV_NAME_SIZE];
    if (!part_text(r.part, name, sizeof name) || !name[0])
        return QNB_ERR_INVALIDDATA;
    if (!c->table1)
        return QNB_ERR_INVALIDSTATE;
    bool changed = false;
    conmon_remote_device_info *entry = conmon_client_table1_entry(c, r.values[1], r.values[0], name, &changed);
    if (!entry)
        return QNB_ERR_NOBUFS;
    conmon_remote_device_info before = *entry;
    conmon_remote_set_device_id(entry, (r.flags & 1) ? r.id : nullptr, wgcp_load_be16(r.id + CONMON_DEVICE_ID_SIZE));
    entry->status = r.values[2];
    entry->flags |= CONMON_REMOTE_HAS_VALUE_A | CONMON_REMOTE_HAS_VALUE_B;
    entry->values[0] = r.values2[0];
    entry->values[1] = r.values2[1];
    if (changed || std::memcmp(&before, entry, sizeof before) != 0) {
        const conmon_remote_device_info *list[1] = {entry};
        if (c->subscriptions)
            c->subscriptions(c, 1, list);
    }
    return QNB_ERR_SUCCESS;
}

void handle_answer(conmon_client_domain *d, const tlv_view *v)
{
    uint16_t seq = 0, status = 0;
    if (!record_value(v, &seq, &status))
        return;
    if (v->type == CONMON_DOMAIN_RECORD_HELLO) {
        if (seq && seq == d->hello_seqnum) {
            d->hello_seqnum = 0;
            qnb_timer_stop(d->hello_timer);
        }
        return;
    }
    conmon_request *slot = find_slot(d, seq);
    if (!slot) {
        qnb_log(log_of(d), QNB_LOG_INFO, "%s: Unhandled answer seqnum=0x%04x type=0x%04x\n", __func__, seq, v->type);
        return;
    }
    qnb_error result = conmon_client_domain_status_error(status);
    if (v->type == CONMON_DOMAIN_RECORD_SUBSCRIBE && status == 0) {
        tlv_0x2011 r;
        if (!tlv_parse_0x2011(v, &r))
            update_subscription(d, r);
    }
    conmon_client_complete_request(d->client, slot, result);
}

void handle_channel_record(conmon_client_domain *d, tlv_transaction *t)
{
    const tlv_view *v = &t->message;
    // A named channel message has the layout of a status one.
    tlv_view as_status = *v;
    as_status.type = CONMON_DOMAIN_RECORD_STATUS;
    tlv_0x2003 r;
    if (tlv_parse_0x2003(&as_status, &r)) {
        uint16_t seq = 0, status = 0;
        if (record_value(v, &seq, &status))
            respond(d, t, v->type, seq, 5);
        return;
    }
    unsigned expected = conmon_client_domain_is_managed(d) ? 3 : 2;
    if ((r.second & CONMON_DOMAIN_FLAG_KIND_MASK) != expected) {
        respond(d, t, v->type, r.seqnum, CONMON_DOMAIN_REFUSED_STATUS);
        return;
    }
    conmon_channel_message m;
    bool valid = r.first < CONMON_CHANNEL_TYPES && r.first_part.data &&
                 !conmon_channel_message_view(r.first_part.data, r.first_part.size, false, &m);
    char sender[TLV_NAME_SIZE];
    if (valid && v->type == CONMON_DOMAIN_RECORD_NAMED)
        valid = part_text(r.second_part, sender, sizeof sender);
    if (!valid) {
        respond(d, t, v->type, r.seqnum, 5);
        return;
    }
    if (r.second & CONMON_DOMAIN_FLAG_ACK)
        respond(d, t, v->type, r.seqnum, 0);
    conmon_client *c = d->client;
    uint16_t class_ = (r.second & CONMON_DOMAIN_FLAG_LOCAL) ? 0 : 1;
    conmon_message_handler_fn handler = c->handlers[r.first][class_];
    if (!handler)
        return;
    if (v->type == CONMON_DOMAIN_RECORD_NAMED) {
        c->named_sender = sender;
        conmon_message_head_get_source(&m.head, &c->named_source);
    }
    handler(c, r.first, class_, &m);
    c->named_sender = nullptr;
}

qnb_error on_receive(void *context, tlv_transaction *t)
{
    conmon_client_domain *d = static_cast<conmon_client_domain *>(context);
    const tlv_view *v = &t->message;
    if (v->type >= TLV_RECORD_DOMAIN_REQUEST && v->type <= TLV_RECORD_DOMAIN_RESULT)
        return domain_requests_handle_message(d->lookups_client, t);
    tlv_ids ids;
    qnb_error e = tlv_msg_parse_ids(v->data, v->length, &ids);
    if (e)
        return e;
    if (ids.msg_class == TLV_CLASS_RESPONSE) {
        switch (v->type) {
        case CONMON_DOMAIN_RECORD_CONTROL:
        case CONMON_DOMAIN_RECORD_REGISTER:
        case CONMON_DOMAIN_RECORD_SUBSCRIBE:
        case CONMON_DOMAIN_RECORD_HELLO:
            handle_answer(d, v);
            return QNB_ERR_SUCCESS;
        default:
            return QNB_ERR_SUCCESS;
        }
    }
    if (ids.msg_class != TLV_CLASS_REQUEST)
        return QNB_ERR_INVALIDDATA;
    switch (v->type) {
    case CONMON_DOMAIN_RECORD_STATUS:
    case CONMON_DOMAIN_RECORD_NAMED:
        handle_channel_record(d, t);
        return QNB_ERR_SUCCESS;
    case CONMON_DOMAIN_RECORD_SUBSCRIPTION: {
        tlv_0x2011 r;
        uint16_t seq = 0, status = 0;
        if (!tlv_parse_0x2013(v, &r)) {
            respond(d, t, v->type, r.seqnum, update_subscription(d, r) ? 5 : 0);
        } else if (record_value(v, &seq, &status)) {
            respond(d, t, v->type, seq, 5);
        }
        return QNB_ERR_SUCCESS;
    }
    default: {
        uint16_t seq = 0, status = 0;
        if (v->type >= CONMON_DOMAIN_RECORD_CONTROL && v->type <= CONMON_DOMAIN_RECORD_SUBSCRIPTION &&
            record_value(v, &seq, &status))
            respond(d, t, v->type, seq, CONMON_DOMAIN_REFUSED_STATUS);
        return QNB_ERR_SUCCESS;
    }
    }
}

// The fields of a registration or subscription record (tlv_msg_add_named_record).
struct named_fields {
    uint16_t a;
    bool flag;
    uint16_t c;
    uint16_t d;
    const char *text;
    uint32_t value;
};

// Sends a registration or subscription with the next sequence number through a slot of the client
// keyed by it; the slot goes again when the send fails.
qnb_error send_named_request(conmon_client_domain *d, conmon_request_fn callback, conmon_request **out_request,
                             uint16_t type, const named_fields &f)
{
    conmon_request *slot = take_slot(d, callback);
    if (!slot)
        return QNB_ERR_NOBUFS;
    uint16_t seq = next_of(&d->next_seqnum);
    slot->key = seq;
    tlv_builder b;
    tlv_record rec;
    qnb_error e = begin_request(d, &b, &rec, type, seq);
    if (!e)
        e = tlv_msg_add_named_record(&rec, f.a, f.flag, f.c, f.d, f.text, d->client->domain_id, f.value);
    if (!e)
        e = send_built(d, &b);
    if (e) {
        qnb_log(log_of(d), QNB_LOG_ERROR, "%s: Error sending packet (%s)\n",
                type == CONMON_DOMAIN_RECORD_REGISTER ? "conmon_client_domain_register_monitoring"
                                                      : "conmon_client_domain_subscribe",
                conmon_error_text(e));
        conmon_client_free_request(d->client, slot);
        return e;
    }
    if (out_request)
        *out_request = slot;
    return QNB_ERR_SUCCESS;
}

bool valid_target(const char *target)
{
    char copy[QNB_NAME_SIZE];
    return target && target[0] && strnlen(target, TLV_NAME_SIZE) < TLV_NAME_SIZE &&
           qnb_name_copy_checked(copy, target) == QNB_ERR_SUCCESS;
}

} // namespace

qnb_error conmon_client_domain_status_error(uint16_t status)
{
    switch (status) {
    case 0:
        return QNB_ERR_SUCCESS;
    case 2:
        return QNB_ERR_NOTSUPPORTED;
    case 3:
        return QNB_ERR_VERSION;
    case 4:
    case 5:
        return QNB_ERR_INVALIDDATA;
    case 6:
        return QNB_ERR_POLICY;
    default:
        return QNB_ERR_FAULT;
    }
}

qnb_error conmon_client_domain_lookup_error(uint16_t status)
{
    switch (status) {
    case 2:
    case 3:
        return QNB_ERR_INVALIDPARAMETER;
    case 5:
        return QNB_ERR_INVALIDDATA;
    case 6:
        return QNB_ERR_POLICY;
    default:
        return QNB_ERR_SYSTEM;
    }
}

qnb_error conmon_client_domain_new(conmon_client *client, qnb_env *env, conmon_client_domain **out)
{
    if (out)
        *out = nullptr;
    if (!client || !env || !out)
        return QNB_ERR_INVALIDPARAMETER;
    domain_handler *handler = object_get_owner(env);
    if (!env->event_loop || !handler)
        return QNB_ERR_NOTSUPPORTED;
    conmon_client_domain *d = static_cast<conmon_client_domain *>(calloc(1, sizeof *d));
    if (!d)
        return QNB_ERR_NOMEMORY;
    d->env = env;
    d->client = client;
    d->next_seqnum = 1;
    d->next_head_seqnum = 1;
    qnb_error e = qnb_timer_new_idle(env->event_loop, on_processing_timer, d, &d->processing_timer);
    if (!e)
        e = qnb_timer_new_idle(env->event_loop, on_hello_timer, d, &d->hello_timer);
    if (!e) {
        d->domain = domain_client_new(handler, d, on_domain_event, on_receive);
        if (!d->domain)
            e = QNB_ERR_NOMEMORY;
    }
    if (!e)
        e = domain_requests_new(d, d->domain, &d->lookups_client);
    if (e) {
        conmon_client_domain_delete(d);
        return e;
    }
    domain_client_set_enabled(d->domain, true);
    domain_client_get_id(d->domain, client->domain_id);
    recompute(d);
    send_hello(d);
    *out = d;
    return QNB_ERR_SUCCESS;
}

void conmon_client_domain_delete(conmon_client_domain *d)
{
    if (!d)
        return;
    while (d->pending.first) {
        conmon_domain_pending *p = static_cast<conmon_domain_pending *>(d->pending.first->data);
        qnb_list_remove(&p->node);
        if (p->slot && p->slot->in_use && p->slot->generation == p->slot_generation)
            conmon_client_free_request(d->client, p->slot);
        free(p);
    }
    while (d->lookups.first) {
        conmon_domain_lookup *l = static_cast<conmon_domain_lookup *>(d->lookups.first->data);
        qnb_list_remove(&l->node);
        free(l);
    }
    domain_requests_delete(d->lookups_client); // cancels the queries without callbacks
    domain_client_delete(d->domain);
    if (d->processing_timer)
        qnb_timer_delete(d->processing_timer);
    if (d->hello_timer)
        qnb_timer_delete(d->hello_timer);
    free(d);
}

bool conmon_client_domain_is_managed(const conmon_client_domain *d)
{
    return d && managed_id(d->client->domain_id);
}

uint32_t conmon_client_domain_take_changes(conmon_client_domain *d)
{
    if (!d)
        return 0;
    uint32_t bits = d->client->change_mask;
    d->client->change_mask = 0;
    return bits;
}

qnb_error conmon_client_domain_register_monitoring(conmon_client_domain *d, conmon_request_fn callback,
                                                   conmon_request **out_request, uint16_t channel_type,
                                                   uint16_t class_, bool registering)
{
    if (out_request)
        *out_request = nullptr;
    if (!d || channel_type >= CONMON_CHANNEL_TYPES || class_ > 1)
        return QNB_ERR_INVALIDPARAMETER;
    const conmon_client_config &config = d->client->config;
    uint32_t group = 0;
    if (channel_type == CONMON_CHANNEL_VENDOR_BROADCAST) {
        if (!config.vendor_broadcast_group)
            return QNB_ERR_NOTSUPPORTED;
        group = wgcp_load_be32(reinterpret_cast<const uint8_t *>(&config.vendor_broadcast_group));
    }
    uint16_t port = channel_type == CONMON_CHANNEL_METERING ? config.metering_port : 0;
    return send_named_request(d, callback, out_request, CONMON_DOMAIN_RECORD_REGISTER,
                              named_fields{channel_type, registering, class_, port, nullptr, group});
}

qnb_error conmon_client_domain_subscribe(conmon_client_domain *d, conmon_request_fn callback,
                                         conmon_request **out_request, uint16_t channel_type,
                                         const char *device_name, bool subscribe)
{
    if (out_request)
        *out_request = nullptr;
    if (!d || channel_type == 0 || channel_type >= CONMON_CHANNEL_TYPES || !valid_target(device_name))
        return QNB_ERR_INVALIDPARAMETER;
    uint16_t port = channel_type == CONMON_CHANNEL_METERING ? d->client->config.metering_port : 0;
    return send_named_request(d, callback, out_request, CONMON_DOMAIN_RECORD_SUBSCRIBE,
                              named_fields{channel_type, subscribe, port, CONMON_REMOTE_DEVICES, device_name, 0});
}

qnb_error conmon_client_domain_send_control_message(conmon_client_domain *d, conmon_request_fn callback,
                                                    conmon_request **out_request, const char *target,
                                                    uint16_t message_type, const uint8_t *vendor_id,
                                                    const void *body, size_t body_length, unsigned timeout_ms)
{
    if (out_request)
        *out_request = nullptr;
    if (!d || !vendor_id || (!body && body_length) || !valid_target(target))
        return QNB_ERR_INVALIDPARAMETER;
    conmon_client *c = d->client;
    // While the domain changes (its pending messages are being failed) nothing new is taken.
    if (domain_id_is_zero(c->domain_id) || domain_client_is_changing(d->domain))
        return QNB_ERR_INVALIDSTATE;
    if (body_length > CONMON_MAX_CONTROL_BODY_MANAGED)
        return QNB_ERR_TRUNCATED;
    if (std::memcmp(vendor_id, CONMON_VENDOR_STANDARD, CONMON_VENDOR_ID_SIZE) == 0 && body_length < 8) {
        qnb_log(log_of(d), QNB_LOG_ERROR, "%s: message (body) size too small %u\n", __func__, (unsigned)body_length);
        return QNB_ERR_MSGSIZE;
    }

    conmon_domain_lookup *l = find_lookup(d, target);
    if (!l) {
        l = static_cast<conmon_domain_lookup *>(calloc(1, sizeof *l));
        if (!l)
            return QNB_ERR_NOMEMORY;
        l->owner = d;
        l->node.data = l;
        std::memcpy(l->name, target, strlen(target) + 1);
        qnb_error e = start_query(d, l);
        if (e) {
            qnb_log(log_of(d), QNB_LOG_ERROR, "%s: Error adding lookup (%s)\n", __func__, conmon_error_text(e));
            free(l);
            return e;
        }
        qnb_list_push_back(&d->lookups, &l->node);
    }

    uint8_t message[CONMON_CHANNEL_PACKET_SIZE];
    size_t length = 0;
    qnb_error e = conmon_message_build(message, sizeof message, message_type, vendor_id, body, body_length, &length);
    if (e)
        return e;
    wgcp_store_be16(message + 4, next_of(&d->next_head_seqnum));
    if (c->connected) {
        wgcp_store_be16(message + 6, c->server_id.process);
        std::memcpy(message + 8, c->server_id.device_id, CONMON_DEVICE_ID_SIZE);
    }

    conmon_request *slot = take_slot(d, callback);
    if (!slot) {
        // A full table is the caller's to handle (it may send again once a slot is free).
        qnb_log(log_of(d), QNB_LOG_DEBUG, "%s: Error adding control message (%s)\n", __func__,
                conmon_error_text(QNB_ERR_NOBUFS));
        return QNB_ERR_NOBUFS;
    }
    if (l->resolved) {
        uint16_t seq = next_of(&d->next_seqnum);
        slot->key = seq;
        e = send_control_record(d, seq, target, message, (uint16_t)length);
        if (e) {
            qnb_log(log_of(d), QNB_LOG_ERROR, "%s: Error sending packet (%s)\n", __func__, conmon_error_text(e));
            conmon_client_free_request(c, slot);
            return e;
        }
    } else {
        conmon_domain_pending *p = static_cast<conmon_domain_pending *>(calloc(1, sizeof *p));
        if (!p) {
            qnb_log(log_of(d), QNB_LOG_ERROR, "%s: Error adding control message (%s)\n", __func__,
                    conmon_error_text(QNB_ERR_NOMEMORY));
            conmon_client_free_request(c, slot);
            return QNB_ERR_NOMEMORY;
        }
        p->node.data = p;
        p->lookup = l;
        std::memcpy(p->message, message, length);
        p->message_length = (uint16_t)length;
        p->slot = slot;
        p->slot_generation = slot->generation;
        slot->key = 0;
        unsigned ms = timeout_ms ? timeout_ms : (unsigned)CONMON_DOMAIN_CONTROL_TIMEOUT;
        p->deadline = conmon_time_add(conmon_time_now(), qnb_timeval{ms / 1000, (ms % 1000) * 1000});
        p->pass = d->pass;
        qnb_list_push_back(&d->pending, &p->node);
        rearm_processing(d);
    }
    if (out_request)
        *out_request = slot;
    return QNB_ERR_SUCCESS;
}

void conmon_client_domain_release_request(conmon_client_domain *d, conmon_request *request)
{
    if (!d || !request || !request->in_use)
        return;
    for (qnb_list_node *n = d->pending.first; n; n = n->next) {
        conmon_domain_pending *p = static_cast<conmon_domain_pending *>(n->data);
        if (p->slot == request) {
            qnb_list_remove(&p->node);
            free(p);
            break;
        }
    }
    conmon_client_free_request(d->client, request);
}

unsigned conmon_client_domain_pending_count(const conmon_client_domain *d)
{
    return d ? d->pending.count : 0;
}

unsigned conmon_client_domain_lookup_count(const conmon_client_domain *d)
{
    return d ? d->lookups.count : 0;
}
