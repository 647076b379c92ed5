#include "netaudio/discovery/wb_domain_browse.h"

#include <cstdlib>
#include <cstring>

#include "netaudio/discovery/wb_browse.h"
#include "netaudio/discovery/wt_txt.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_string.h"

namespace {

const char k_fn[] = "wb_domain_browse_device_updated";
const uint32_t k_network = 0; // devices found through a domain

qnb_logger *logger_of(const wb_domain_browse *b)
{
    return b->env ? b->env->logger : nullptr;
}

bool usable(const wb_domain_browse *b)
{
    const uint8_t *id = b->browse->domain_id;
    if (domain_id_is_zero(id) || domain_id_is_adhoc(id))
        return false;
    uintptr_t token = b->browse->domain ? object_get_token(b->browse->domain) : 1;
    uint32_t flags = b->browse->domain ? domain_client_get_flags(b->browse->domain) : 3;
    return token == 2 && (flags == 2 || flags == 3);
}

void on_done(void *user, uint32_t, uint32_t reason, uint16_t)
{
    wb_domain_browse *b = static_cast<wb_domain_browse *>(user);
    if (reason == DOMAIN_DONE_CANCELLED)
        return; // we cancelled it ourselves
    wb_device_table_clear(b->table, true);
    b->request_id = 0;
    b->state = WB_DOMAIN_BROWSE_WANTED; // a later domain change or stop still works
}

qnb_error send_request(wb_domain_browse *b)
{
    tlv_domain_request req = b->request;
    memcpy(req.id, b->browse->domain_id, sizeof req.id);
    req.mode = DOMAIN_REQUEST_MODE_BROWSE;
    req.name = nullptr;
    req.has_blob = b->has_value;
    if (b->has_value)
        memcpy(req.blob, b->value, sizeof req.blob);
    req.has_value = (b->option & WB_DOMAIN_BROWSE_OPTION_VALUE) != 0;
    req.value = req.has_value ? 2 : 0;
    qnb_error err = domain_requests_add(b->requests, wb_domain_browse_device_updated, b, on_done, &req);
    if (err)
        return err;
    // The server answers the new request with every device it knows: what the table held from an
    // earlier request (a connection that dropped and came back) is reported gone first.
    wb_device_table_clear(b->table, true);
    b->request_id = req.request_id;
    b->state = WB_DOMAIN_BROWSE_ACTIVE;
    return 0;
}

bool remove_service(wb_domain_browse *b, const char *name, uint32_t bit)
{
    bool changed = false;
    wb_device_table_remove_service(b->table, k_network, name, bit, &changed);
    return changed;
}

uint16_t txt_size(const tlv_service &s)
{
    return s.data.size > 0xFFFF ? 0xFFFF : uint16_t(s.data.size);
}

bool update_media(wb_domain_browse *b, const tlv_device_record *r)
{
    const tlv_service &s = r->routing;
    if (s.data.size == 0 || !s.data.data)
        return remove_service(b, r->name, WB_BROWSE_MEDIA_DEVICE);
    wt_txt_media_device txt;
    if (parse_media_device_txt_record(&txt, s.data.data, txt_size(s)) != 0) {
        qnb_log(logger_of(b), QNB_LOG_ERROR, "%s: Error parsing txt_record for media device \"%s\"\n", k_fn, r->name);
        return false;
    }
    wb_media_device_data data;
    memset(&data, 0, sizeof data);
    data.port = s.value;
    data.arcp_vers = txt.arcp_vers;
    data.arcp_min = txt.arcp_min;
    data.router_vers = txt.router_vers;
    qnb_strlcpy(data.router_info, txt.router_info, sizeof data.router_info);
    memcpy(data.mf, txt.mf, sizeof data.mf);
    memcpy(data.model, txt.model, sizeof data.model);
    bool changed = false;
    if (wb_device_table_update_media(b->table, k_network, r->name, "", &data, &changed) != 0)
        qnb_log(logger_of(b), QNB_LOG_ERROR, "%s: Error adding media device \"%s\" to tree\n", k_fn, r->name);
    return changed;
}

bool update_conmon(wb_domain_browse *b, const tlv_device_record *r)
{
    const tlv_service &s = r->control;
    if (s.data.size == 0 || !s.data.data)
        return remove_service(b, r->name, WB_BROWSE_CONMON_DEVICE);
    wt_txt_conmon_device txt;
    if (parse_conmon_device_txt_record(&txt, s.data.data, txt_size(s)) != 0) {
        qnb_log(logger_of(b), QNB_LOG_ERROR, "%s: Error parsing txt_record for conmon device \"%s\"\n", k_fn,
                r->name);
        return false;
    }
    wb_conmon_device_data data;
    memset(&data, 0, sizeof data);
    data.port = s.value;
    memcpy(data.id.id, txt.id, sizeof data.id.id);
    data.id.process = txt.process;
    memcpy(data.vid, txt.vid, sizeof data.vid);
    memcpy(data.vba, txt.vba, sizeof data.vba);
    memcpy(data.mf, txt.mf, sizeof data.mf);
    memcpy(data.model, txt.model, sizeof data.model);
    bool changed = false;
    if (wb_device_table_update_conmon(b->table, k_network, r->name, "", &data, &changed) != 0)
        qnb_log(logger_of(b), QNB_LOG_ERROR, "%s: Error adding conmon device \"%s\" to tree\n", k_fn, r->name);
    return changed;
}

bool update_via(wb_domain_browse *b, const tlv_device_record *r)
{
    const tlv_service &s = r->via;
    if (s.data.size == 0 || !s.data.data)
        return remove_service(b, r->name, WB_BROWSE_VIA_DEVICE);
    wb_via_device_data data;
    memset(&data, 0, sizeof data);
    data.port = s.value;
    if (parse_via_txt_record(b->env, r->name, txt_size(s), s.data.data, &data.id, &data.minimum, &data.current) !=
        0) {
        qnb_log(logger_of(b), QNB_LOG_ERROR, "%s: Error parsing txt_record for via device \"%s\"\n", k_fn, r->name);
        return false;
    }
    bool changed = false;
    if (wb_device_table_update_via(b->table, k_network, r->name, "", &data, &changed) != 0)
        qnb_log(logger_of(b), QNB_LOG_ERROR, "%s: Error adding via device \"%s\" to tree\n", k_fn, r->name);
    return changed;
}

} // namespace

qnb_error wb_domain_browse_new(wb_browse *owner, const tlv_domain_request *request_template, wb_device_table *table,
                               domain_requests *requests, wb_domain_browse **out)
{
    if (!out || !owner || !table)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    wb_domain_browse *b = static_cast<wb_domain_browse *>(calloc(1, sizeof(wb_domain_browse)));
    if (!b)
        return QNB_ERR_NOMEMORY;
    b->env = owner->env;
    b->browse = owner;
    if (request_template)
        b->request = *request_template;
    b->requests = requests;
    b->table = table;
    *out = b;
    return 0;
}

qnb_error wb_domain_browse_set_value(wb_domain_browse *b, const uint8_t *value)
{
    if (!b)
        return QNB_ERR_INVALIDPARAMETER;
    if (value) {
        memcpy(b->value, value, sizeof b->value);
        b->has_value = true;
    }
    return 0;
}

qnb_error wb_domain_browse_start(wb_domain_browse *b, const wb_domain_browse_params *params)
{
    if (!b || !params)
        return QNB_ERR_INVALIDPARAMETER;
    if (b->state != WB_DOMAIN_BROWSE_IDLE)
        return QNB_ERR_INVALIDSTATE;
    memcpy(b->request.id, params->id, sizeof b->request.id);
    memcpy(b->request.blob, params->bytes, sizeof b->request.blob);
    b->option = params->option;
    b->state = WB_DOMAIN_BROWSE_WANTED;
    if (!usable(b))
        return 0;
    qnb_error err = send_request(b);
    if (err)
        b->state = WB_DOMAIN_BROWSE_IDLE;
    return err;
}

qnb_error wb_domain_browse_domain_changed(wb_domain_browse *b)
{
    if (!b)
        return QNB_ERR_INVALIDPARAMETER;
    if (b->state == WB_DOMAIN_BROWSE_WANTED)
        return usable(b) ? send_request(b) : 0;
    if (b->state != WB_DOMAIN_BROWSE_ACTIVE)
        return 0;
    if (usable(b))
        return 1;
    uint32_t id = b->request_id;
    b->request_id = 0;
    b->state = WB_DOMAIN_BROWSE_WANTED;
    return domain_requests_cancel(b->requests, id);
}

qnb_error wb_domain_browse_stop(wb_domain_browse *b, bool notify)
{
    if (!b)
        return QNB_ERR_INVALIDPARAMETER;
    if (b->state == WB_DOMAIN_BROWSE_IDLE)
        return QNB_ERR_INVALIDSTATE;
    wb_device_table_clear(b->table, notify);
    qnb_error err = 0;
    if (b->state == WB_DOMAIN_BROWSE_ACTIVE && b->request_id != 0)
        err = domain_requests_cancel(b->requests, b->request_id);
    b->request_id = 0;
    b->state = WB_DOMAIN_BROWSE_IDLE;
    return err;
}

void wb_domain_browse_delete(wb_domain_browse *b, bool notify)
{
    if (!b)
        return;
    if (b->state != WB_DOMAIN_BROWSE_IDLE)
        wb_domain_browse_stop(b, notify);
    free(b);
}

void wb_domain_browse_device_updated(void *user, uint32_t, const tlv_device_record *r)
{
    wb_domain_browse *b = static_cast<wb_domain_browse *>(user);
    if (!b || !r)
        return;
    bool changed = false;
    if (!r->has_info && !(r->flags & 2)) {
        if (r->name[0]) {
            changed |= remove_service(b, r->name, WB_BROWSE_MEDIA_DEVICE);
            changed |= remove_service(b, r->name, WB_BROWSE_CONMON_DEVICE);
            changed |= remove_service(b, r->name, WB_BROWSE_VIA_DEVICE);
        }
    } else {
        if (!r->name[0] || !r->has_info || !(r->info_flags & 1) || !r->model[0])
            return;
        uint32_t types = b->table->types;
        if ((types & WB_BROWSE_MEDIA_DEVICE) && r->routing.present)
            changed |= update_media(b, r);
        if ((types & WB_BROWSE_CONMON_DEVICE) && r->control.present)
            changed |= update_conmon(b, r);
        if ((types & WB_BROWSE_VIA_DEVICE) && r->via.present)
            changed |= update_via(b, r);
    }
    if (changed && b->table->changed_callback)
        b->table->changed_callback(b->browse);
}
