#include "netaudio/discovery/domain_requests.h"

#include <cstdlib>
#include <cstring>

#include "netaudio/messaging/wgcp_buffer.h"

namespace {

uint16_t take_seqnum(domain_requests *c)
{
    uint16_t s = c->next_seqnum;
    if (s == 0)
        s = 1;
    c->next_seqnum = uint16_t(s + 1);
    if (c->next_seqnum == 0)
        c->next_seqnum = 1;
    return s;
}

domain_request *find(const domain_requests *c, uint32_t id)
{
    for (qnb_list_node *n = c->pending.first; n; n = n->next) {
        domain_request *r = static_cast<domain_request *>(n->data);
        if (r->request_id == id)
            return r;
    }
    return nullptr;
}

domain_request *find_by_seqnum(const domain_requests *c, uint16_t seqnum)
{
    for (qnb_list_node *n = c->pending.first; n; n = n->next) {
        domain_request *r = static_cast<domain_request *>(n->data);
        if (r->request_seqnum == seqnum)
            return r;
    }
    return nullptr;
}

tlv_channel *channel_of(const domain_requests *c)
{
    return object_get_list(c->client);
}

qnb_error send_cancel(domain_requests *c, uint32_t request_id)
{
    tlv_channel *ch = channel_of(c);
    if (!ch)
        return QNB_ERR_NOTCONN;
    tlv_builder b;
    tlv_record rec;
    qnb_error err = tlv_msg_begin_unsequenced(ch, &b);
    if (!err)
        err = tlv_msg_add_request_u16(&b, &rec, TLV_RECORD_DOMAIN_CANCEL, take_seqnum(c));
    if (!err)
        err = tlv_msg_add_u32_body(&rec, request_id);
    if (!err)
        err = tlv_msg_send(ch, &b);
    return err;
}

void unlink_request(domain_request *r)
{
    if (r->node.list)
        qnb_list_remove(&r->node);
}

// The first and second u16 of the first record's value (0 when the value is shorter).
void record_values(const tlv_view *v, uint16_t *first, uint16_t *second)
{
    *first = 0;
    *second = 0;
    if (!v->head || !v->value)
        return;
    uint16_t value_length = wgcp_load_be16(v->head + 4);
    if (value_length >= 2)
        *first = wgcp_load_be16(v->value);
    if (value_length >= 4)
        *second = wgcp_load_be16(v->value + 2);
}

qnb_error hand_result(domain_requests *c, const tlv_view *view, const tlv_domain_result *result)
{
    domain_request *r = find(c, result->request_id);
    if (!r)
        return QNB_ERR_NOTFOUND;
    uint32_t id = r->request_id;
    qnb_error err = 0;
    if (result->flags & TLV_DOMAIN_RESULT_DEVICE) {
        tlv_device_record record;
        err = tlv_parse_device_record(view, result->device_offset, &record);
        if (!err && r->result_callback)
            r->result_callback(r->user_data, id, &record);
    }
    if (!(result->flags & TLV_DOMAIN_RESULT_FINAL))
        return err;
    // The result callback may have cancelled the request: look it up again.
    r = find(c, id);
    if (!r)
        return err;
    unlink_request(r);
    if (r->done_callback)
        r->done_callback(r->user_data, id, DOMAIN_DONE_COMPLETED, r->status);
    free(r);
    return err;
}

} // namespace

qnb_error domain_requests_new(void *owner, domain_client *client, domain_requests **out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    domain_requests *c = static_cast<domain_requests *>(calloc(1, sizeof(domain_requests)));
    if (!c)
        return QNB_ERR_NOMEMORY;
    c->owner = owner;
    c->client = client;
    c->next_seqnum = 1;
    *out = c;
    return 0;
}

void domain_requests_delete(domain_requests *c)
{
    if (!c)
        return;
    domain_requests_cancel_all(c);
    free(c);
}

qnb_error domain_requests_add(domain_requests *c, domain_result_fn result, void *user, domain_done_fn done,
                              tlv_domain_request *request)
{
    if (!c || !request)
        return QNB_ERR_INVALIDPARAMETER;
    tlv_channel *ch = channel_of(c);
    if (!ch)
        return QNB_ERR_NOTCONN;
    uint32_t base = uint32_t(c->client->id) << 16;
    uint32_t id = 0;
    bool found = false;
    for (uint32_t tries = 0; tries < 0x10000u && !found; ++tries) {
        id = base | c->counter;
        c->counter = uint16_t(c->counter + 1);
        found = find(c, id) == nullptr;
    }
    if (!found)
        return QNB_ERR_NOBUFS;
    domain_request *r = static_cast<domain_request *>(calloc(1, sizeof(domain_request)));
    if (!r)
        return QNB_ERR_NOMEMORY;
    r->node.data = r;
    r->request_id = id;
    r->result_callback = result;
    r->user_data = user;
    r->done_callback = done;
    r->request_seqnum = take_seqnum(c);
    request->request_id = id;
    qnb_list_push_back(&c->pending, &r->node);
    tlv_builder b;
    tlv_record rec;
    qnb_error err = tlv_msg_begin_unsequenced(ch, &b);
    if (!err)
        err = tlv_msg_add_request_u16(&b, &rec, TLV_RECORD_DOMAIN_REQUEST, r->request_seqnum);
    if (!err)
        err = tlv_msg_add_domain_request_body(&rec, request);
    if (!err)
        err = tlv_msg_send(ch, &b);
    if (err) {
        // Nothing will ever answer a request that never left.
        unlink_request(r);
        free(r);
    }
    return err;
}

qnb_error domain_requests_cancel(domain_requests *c, uint32_t request_id)
{
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    domain_request *r = find(c, request_id);
    if (!r)
        return QNB_ERR_NOTFOUND;
    qnb_error err = send_cancel(c, request_id);
    unlink_request(r);
    if (r->done_callback)
        r->done_callback(r->user_data, request_id, DOMAIN_DONE_CANCELLED, r->status);
    free(r);
    return err;
}

qnb_error domain_requests_cancel_all(domain_requests *c)
{
    if (!c)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error first = 0;
    while (c->pending.first) {
        domain_request *r = static_cast<domain_request *>(c->pending.first->data);
        qnb_error err = send_cancel(c, r->request_id);
        if (err && !first)
            first = err;
        unlink_request(r);
        free(r);
    }
    return first;
}

qnb_error domain_requests_get_status(const domain_requests *c, uint32_t request_id, uint16_t *out)
{
    if (!c || !out)
        return QNB_ERR_INVALIDPARAMETER;
    const domain_request *r = find(c, request_id);
    if (!r)
        return QNB_ERR_NOTFOUND;
    *out = r->status;
    return 0;
}

uint32_t domain_requests_count(const domain_requests *c)
{
    return c ? c->pending.count : 0;
}

qnb_error domain_requests_handle_message(domain_requests *c, tlv_transaction *t)
{
    if (!c || !t || !t->channel)
        return QNB_ERR_INVALIDPARAMETER;
    const tlv_view *view = tlv_request_get_message(t);
    if (!view)
        return QNB_ERR_INVALIDPARAMETER;
    tlv_ids ids;
    qnb_error err = tlv_msg_parse_ids(view->data, view->length, &ids);
    if (err)
        return err;
    uint16_t first = 0;
    uint16_t second = 0;
    record_values(view, &first, &second);
    if (ids.msg_class == TLV_CLASS_REQUEST) {
        uint16_t status = DOMAIN_STATUS_UNSUPPORTED;
        if (view->type == TLV_RECORD_DOMAIN_RESULT) {
            tlv_domain_result result;
            err = tlv_parse_domain_result(view, &result);
            if (!err)
                err = hand_result(c, view, &result);
            if (!err)
                status = DOMAIN_STATUS_OK;
            else if (err == QNB_ERR_INVALIDDATA || err == QNB_ERR_NOTFOUND)
                status = DOMAIN_STATUS_INVALID;
            else
                status = DOMAIN_STATUS_FAILED;
        }
        tlv_builder b;
        tlv_record rec;
        qnb_error send_err = tlv_msg_send_on_channel(t, &b);
        if (!send_err && view->type)
            send_err = tlv_msg_add_response_u16(&b, &rec, view->type, first);
        if (!send_err && view->type)
            send_err = tlv_msg_set_second_u16(&rec, status);
        if (!send_err)
            send_err = tlv_msg_send(t->channel, &b);
        return send_err;
    }
    if (ids.msg_class == TLV_CLASS_RESPONSE) {
        if (view->type != TLV_RECORD_DOMAIN_REQUEST)
            return 0;
        if (second == 0) {
            tlv_domain_result result;
            if (tlv_parse_domain_result(view, &result) != 0)
                return 0;
            return hand_result(c, view, &result);
        }
        domain_request *r = find_by_seqnum(c, first);
        if (!r)
            return QNB_ERR_NOTFOUND;
        r->status = second;
        unlink_request(r);
        if (r->done_callback)
            r->done_callback(r->user_data, r->request_id, DOMAIN_DONE_STATUS, second);
        free(r);
        return 0;
    }
    return QNB_ERR_INVALIDDATA;
}
