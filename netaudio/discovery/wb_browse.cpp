#include "netaudio/discovery/wb_browse.h"

#include <cstdlib>
#include <cstring>

#include "netaudio/discovery/domain_client.h"
#include "netaudio/discovery/domain_requests.h"
#include "netaudio/discovery/wb_adhoc_browse.h"
#include "netaudio/discovery/wb_domain_browse.h"
#include "netaudio/platform/qnb_env.h"

namespace {

bool id_is_all(const uint8_t id[WB_DOMAIN_ID_SIZE], uint8_t value)
{
    for (int i = 0; i < WB_DOMAIN_ID_SIZE; i++) {
        if (id[i] != value) {
            return false;
        }
    }
    return true;
}

void forward_sockets_changed(void *context)
{
    wb_browse *browse = static_cast<wb_browse *>(context);
    if (browse->sockets_changed_callback != nullptr) {
        browse->sockets_changed_callback(browse);
    }
}

bool has_event_loop(const wb_browse *browse)
{
    return browse->env != nullptr && browse->env->event_loop != nullptr;
}

bool is_managed(const uint8_t id[WB_DOMAIN_ID_SIZE])
{
    return !id_is_all(id, 0xFF) && !id_is_all(id, 0x00);
}

// Stops whichever browser runs; `notify` reports the removal of every device.
void stop_browser(wb_browse *browse, bool notify)
{
    if (browse->adhoc != nullptr) {
        wb_adhoc_browse_stop(browse->adhoc, notify ? 1 : 0);
    }
    if (browse->domain_browse != nullptr && browse->domain_browse->state != WB_DOMAIN_BROWSE_IDLE) {
        wb_domain_browse_stop(browse->domain_browse, notify);
    }
}

// The domain changed under a running object: browse the new domain instead.
void switch_domain(wb_browse *browse, const uint8_t id[WB_DOMAIN_ID_SIZE])
{
    bool adhoc_ran = browse->running && browse->adhoc != nullptr;
    bool was_running = browse->running != 0;
    if (was_running) {
        stop_browser(browse, true);
        browse->running = 0;
    }
    wb_browse_set_domain_id(browse, id);
    if (was_running) {
        wb_browse_start(browse);
    }
    if ((id_is_all(id, 0xFF) || adhoc_ran) && browse->sockets_changed_callback != nullptr) {
        browse->sockets_changed_callback(browse);
    }
}

void wb_browse_on_domain_event(domain_client *, void *context, const domain_event *event)
{
    wb_browse *browse = static_cast<wb_browse *>(context);
    if (event->phase == DOMAIN_EVENT_AFTER) {
        if (std::memcmp(event->info.id, browse->domain_id, WB_DOMAIN_ID_SIZE) != 0) {
            switch_domain(browse, event->info.id);
        }
    } else if (event->phase == DOMAIN_EVENT_STATE || event->phase == DOMAIN_EVENT_DOMAIN) {
        if (browse->domain_browse != nullptr) {
            wb_domain_browse_domain_changed(browse->domain_browse);
        }
    }
}

qnb_error wb_browse_on_domain_message(void *context, tlv_transaction *transaction)
{
    wb_browse *browse = static_cast<wb_browse *>(context);
    return domain_requests_handle_message(browse->requests, transaction);
}

} // namespace

void wb_browse_config_init(wb_browse_config *config)
{
    if (config == nullptr) {
        return;
    }
    config->network_count = 1;
    config->interface_index[0] = 0;
    config->interface_index[1] = 0;
    config->network_mask = 0xFFFFFFFFu;
    config->loopback = 1;
    config->resolve_timeout_sec = 30;
    config->resolve_timeout_usec = 0;
}

qnb_error wb_browse_new(qnb_env *env, uint32_t types, wb_browse **out)
{
    if (out == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    *out = nullptr;
    if ((types & WB_BROWSE_ALL_TYPES) == 0) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    wb_browse *browse = static_cast<wb_browse *>(std::calloc(1, sizeof(wb_browse)));
    if (browse == nullptr) {
        return QNB_ERR_NOMEMORY;
    }
    browse->env = env;
    browse->types = types & WB_BROWSE_ALL_TYPES;
    for (uint32_t bit = 1; bit <= WB_BROWSE_AES67_DEVICE; bit <<= 1) {
        browse->enabled_types += (browse->types & bit) != 0 ? 1 : 0;
    }
    wb_browse_config_init(&browse->config);
    qnb_error err = wb_device_table_new(&browse->table, browse, &browse->config, browse->types);
    if (err != QNB_ERR_SUCCESS) {
        std::free(browse);
        return err;
    }
    uint8_t id[WB_DOMAIN_ID_SIZE];
    std::memset(id, 0xFF, sizeof id);
    domain_handler *handler = object_get_owner(env);
    if (handler != nullptr) {
        browse->domain = domain_client_new(handler, browse, wb_browse_on_domain_event, wb_browse_on_domain_message);
        if (browse->domain == nullptr ||
            domain_requests_new(browse, browse->domain, &browse->requests) != QNB_ERR_SUCCESS) {
            wb_browse_delete(browse);
            return QNB_ERR_NOMEMORY;
        }
        domain_client_get_id(browse->domain, id);
    }
    err = wb_browse_set_domain_id(browse, id);
    if (err != QNB_ERR_SUCCESS) {
        wb_browse_delete(browse);
        return err;
    }
    *out = browse;
    return QNB_ERR_SUCCESS;
}

void wb_browse_delete(wb_browse *browse)
{
    if (browse == nullptr) {
        return;
    }
    wb_adhoc_browse_delete(browse->adhoc, 0);
    wb_domain_browse_delete(browse->domain_browse, false);
    domain_requests_delete(browse->requests);
    wb_device_table_delete(browse->table);
    domain_client_delete(browse->domain);
    std::free(browse);
}

qnb_error wb_browse_set_domain_id(wb_browse *browse, const uint8_t id[WB_DOMAIN_ID_SIZE])
{
    if (browse == nullptr || id == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    wb_device_table_clear(browse->table, false);
    std::memcpy(browse->domain_id, id, WB_DOMAIN_ID_SIZE);
    bool adhoc_id = id_is_all(id, 0xFF);
    if (browse->adhoc != nullptr) {
        if (adhoc_id) {
            return QNB_ERR_SUCCESS;
        }
        wb_adhoc_browse_delete(browse->adhoc, 0);
        browse->adhoc = nullptr;
    }
    bool managed = is_managed(id);
    if (browse->domain_browse != nullptr) {
        if (managed) {
            return QNB_ERR_SUCCESS;
        }
        wb_domain_browse_delete(browse->domain_browse, false);
        browse->domain_browse = nullptr;
    }
    if (adhoc_id) {
        qnb_error err = wb_adhoc_browse_new(browse->env, browse->types, browse->table, &browse->adhoc);
        if (err != QNB_ERR_SUCCESS) {
            std::memset(browse->domain_id, 0, WB_DOMAIN_ID_SIZE);
            return err;
        }
        wb_adhoc_browse_set_context(browse->adhoc, browse);
        wb_adhoc_browse_set_event_callback(browse->adhoc, browse->table->event_callback);
        wb_adhoc_browse_set_sockets_changed_callback(browse->adhoc, forward_sockets_changed);
        wb_adhoc_browse_set_accept_zero_port(browse->adhoc, static_cast<int>(browse->accept_zero_port));
        return QNB_ERR_SUCCESS;
    }
    if (managed) {
        qnb_error err =
            wb_domain_browse_new(browse, nullptr, browse->table, browse->requests, &browse->domain_browse);
        if (err != QNB_ERR_SUCCESS) {
            std::memset(browse->domain_id, 0, WB_DOMAIN_ID_SIZE);
            return err;
        }
    }
    return QNB_ERR_SUCCESS;
}

void wb_browse_get_domain_id(uint8_t out[WB_DOMAIN_ID_SIZE], const wb_browse *browse)
{
    if (out == nullptr) {
        return;
    }
    if (browse == nullptr || browse->domain == nullptr) {
        std::memset(out, 0xFF, WB_DOMAIN_ID_SIZE);
        return;
    }
    domain_client_get_id(browse->domain, out);
}

uintptr_t wb_browse_get_domain_token(const wb_browse *browse)
{
    return browse != nullptr && browse->domain != nullptr ? object_get_token(browse->domain) : 1;
}

uint32_t wb_browse_get_domain_flags(const wb_browse *browse)
{
    return browse != nullptr && browse->domain != nullptr ? domain_client_get_flags(browse->domain) : 3;
}

qnb_error wb_browse_start_config(wb_browse *browse, const wb_browse_config *config)
{
    if (browse == nullptr || config == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (browse->running) {
        return QNB_ERR_INVALIDSTATE;
    }
    browse->config = *config;
    browse->config_set = 1;
    return wb_browse_start(browse);
}

qnb_error wb_browse_start(wb_browse *browse)
{
    if (browse == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (browse->running) {
        return QNB_ERR_INVALIDSTATE;
    }
    if (!browse->config_set) {
        wb_browse_config_init(&browse->config);
    }
    if (browse->domain != nullptr) {
        uint8_t id[WB_DOMAIN_ID_SIZE];
        domain_client_get_id(browse->domain, id);
        qnb_error err = wb_browse_set_domain_id(browse, id);
        if (err != QNB_ERR_SUCCESS) {
            return err;
        }
    }
    if (id_is_all(browse->domain_id, 0xFF)) {
        if (browse->adhoc == nullptr) {
            return QNB_ERR_INVALIDSTATE;
        }
        wb_adhoc_browse_set_subtype(browse->adhoc, browse->subtype_set ? browse->subtype : nullptr);
        if (browse->socket_budget != 0) {
            qnb_error err = wb_adhoc_browse_set_socket_budget(browse->adhoc, browse->socket_budget);
            if (err != QNB_ERR_SUCCESS) {
                return err;
            }
        }
        qnb_error err = wb_adhoc_browse_start_config(browse->adhoc, &browse->config);
        if (err != QNB_ERR_SUCCESS) {
            wb_device_table_clear(browse->table, false);
            return err;
        }
    } else if (is_managed(browse->domain_id)) {
        if (browse->domain_browse == nullptr) {
            return QNB_ERR_INVALIDSTATE;
        }
        wb_domain_browse_params params;
        std::memset(&params, 0, sizeof params);
        std::memcpy(params.id, browse->domain_id, sizeof params.id);
        qnb_error err = wb_domain_browse_start(browse->domain_browse, &params);
        if (err != QNB_ERR_SUCCESS) {
            wb_device_table_clear(browse->table, false);
            return err;
        }
    }
    browse->running = 1;
    domain_client_set_enabled(browse->domain, true);
    return QNB_ERR_SUCCESS;
}

void wb_browse_stop(wb_browse *browse)
{
    if (browse == nullptr) {
        return;
    }
    domain_client_set_enabled(browse->domain, false);
    if (!browse->running) {
        return;
    }
    stop_browser(browse, false);
    browse->running = 0;
}

qnb_error wb_browse_get_fdset(wb_browse *browse, qnb_socket_set *set)
{
    if (browse == nullptr || set == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (has_event_loop(browse)) {
        return QNB_ERR_NOTSUPPORTED;
    }
    if (browse->adhoc == nullptr) {
        return QNB_ERR_INVALIDSTATE;
    }
    return wb_adhoc_browse_get_fdset(browse->adhoc, set);
}

qnb_error wb_browse_process_fdset(wb_browse *browse, const qnb_socket_set *set, qnb_timeval *next_deadline)
{
    if (browse == nullptr || set == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (has_event_loop(browse)) {
        return QNB_ERR_NOTSUPPORTED;
    }
    if (browse->adhoc == nullptr) {
        return QNB_ERR_INVALIDSTATE;
    }
    return wb_adhoc_browse_process_fdset(browse->adhoc, set, next_deadline);
}

void wb_browse_set_context(wb_browse *browse, void *context)
{
    if (browse != nullptr) {
        browse->context = context;
    }
}

void *wb_browse_get_context(const wb_browse *browse)
{
    return browse != nullptr ? browse->context : nullptr;
}

void wb_browse_set_event_callback(wb_browse *browse, wb_browse_event_fn fn)
{
    if (browse != nullptr) {
        browse->table->event_callback = fn;
        wb_adhoc_browse_set_event_callback(browse->adhoc, fn);
    }
}

void wb_browse_set_changed_callback(wb_browse *browse, wb_browse_changed_fn fn)
{
    if (browse != nullptr) {
        browse->table->changed_callback = fn;
    }
}

void wb_browse_set_sockets_changed_callback(wb_browse *browse, wb_browse_sockets_changed_fn fn)
{
    if (browse != nullptr) {
        browse->sockets_changed_callback = fn;
    }
}
