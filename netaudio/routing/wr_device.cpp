#include "netaudio/routing/wr_device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"

namespace {

qnb_logger *logger_of(const wr_device *d)
{
    return d && d->env ? d->env->logger : nullptr;
}

wr_devices *container_of(const wr_device *d)
{
    return d->container;
}

} // namespace

void wr_device_delete(wr_device *d)
{
    qnb_logger *log = logger_of(d);
    free(d->table);
    for (int i = 0; i < WR_PER_DEVICE_ARRAYS; ++i)
        free(d->arrays[i]);
    free(d->txchannels);
    free(d->rxchannels);
    free(d->labels);
    wr_flow_tx_table_delete(d->txflows);
    wr_flow_rx_table_delete(d->rxflows);
    wr_device_addresses_delete(d->addresses);
    free(d);
    qnb_log(log, QNB_LOG_DEBUG, "%s: finished\n", __func__);
}

namespace {

// One processing step over the device's ready resolve sockets. The wake-up of event-loop mode
// reports the address bit whatever changed.
qnb_error process_address_sockets(wr_device *d, qnb_socket_set *set, bool wakeup)
{
    wr_device_begin_processing(d);
    bool changed = false;
    qnb_error err = wr_device_addresses_process_sockets(d->addresses, set, &changed);
    if (changed || wakeup)
        wr_device_report(d, WR_CHANGE_ADDRESSES);
    if (d->state == WR_DEVICE_STATE_RESOLVING && wr_device_addresses_count_resolved(d->addresses) > 0)
        wr_device_set_state(d, WR_DEVICE_STATE_RESOLVED, 0, nullptr);
    wr_device_end_processing(d);
    return err;
}

void on_wakeup(int argument, qnb_event_loop *, uint32_t, void *user_data)
{
    wr_device *d = static_cast<wr_device *>(user_data);
    d->wakeup = 0;
    if (argument || d->close_pending || !d->addresses)
        return;
    qnb_socket_set ready;
    qnb_socket_set_clear(&ready);
    wr_device_addresses_take_ready(d->addresses, &ready);
    qnb_error err = process_address_sockets(d, &ready, true);
    if (err) {
        char buffer[QNB_ERROR_MESSAGE_SIZE];
        qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Error processing sockets: %s", "wr_device_wakeup",
                qnb_error_message(err, buffer));
    }
}

// The id of the first stale channel of `channels` in *first; false when none is stale.
template <typename Channel>
bool first_stale(const Channel *channels, uint16_t count, uint16_t *first)
{
    for (uint16_t i = 0; channels && i < count; ++i) {
        if (channels[i].stale) {
            *first = uint16_t(i + 1);
            return true;
        }
    }
    return false;
}

bool item_name_ok(const char *name, size_t size)
{
    if (memchr(name, 0, size) == nullptr)
        return false;
    return wr_msg_name_is_valid(name);
}

bool item_empty(const wr_batch_item &it)
{
    return it.tx_channel[0] == 0 && it.tx_device[0] == 0;
}

// Marks rx channel `id` stale without touching the change flag (the caller sets it).
bool mark_rx_stale(wr_device *d, uint16_t id)
{
    wr_rxchannel *c = wr_device_rxchannel_by_id(d, id);
    if (!c || c->stale)
        return false;
    c->stale = true;
    return true;
}

// Packs batch row 1: up to `n` subscribe records from the batch's next item on.
qnb_error pack_subscriptions(wr_device *d, wr_request *r, uint16_t n, bool *stale)
{
    wgcp_builder *b = wr_devices_get_request_packet(container_of(d), r);
    if (!b)
        return QNB_ERR_INVALIDPARAMETER;
    const wr_batch_item *items = static_cast<const wr_batch_item *>(r->batch.items);
    wr_msg_list l;
    qnb_error err = wr_msg_subscribe_begin(&l, b, wr_device_protocol_version(d), n);
    if (err)
        return err;
    for (uint16_t k = 0; k < n; ++k) {
        const wr_batch_item &it = items[r->batch.sent + k];
        if (item_empty(it))
            err = wr_msg_subscribe_add(&l, it.rx_channel, nullptr, nullptr);
        else
            err = wr_msg_subscribe_add(&l, it.rx_channel, it.tx_channel, it.tx_device);
        if (err)
            return err;
        if (mark_rx_stale(d, it.rx_channel))
            *stale = true;
    }
    r->batch.sent = uint16_t(r->batch.sent + n);
    return 0;
}

// Rows 0, 2 and 3: the flow module packs, the device marks what the items touch.
qnb_error pack_tx_flows(wr_device *d, wr_request *r, uint16_t n, bool *)
{
    const wr_flow_desc *items = static_cast<const wr_flow_desc *>(r->batch.items) + r->batch.sent;
    uint16_t packed = 0;
    qnb_error err = wr_flow_batch_pack_tx_flows(wr_devices_get_request_packet(container_of(d), r),
                                                wr_device_protocol_version(d), items, n, &packed);
    if (!err)
        r->batch.sent = uint16_t(r->batch.sent + packed);
    return err;
}

qnb_error pack_rx_names(wr_device *d, wr_request *r, uint16_t n, bool *stale)
{
    const wr_flow_rxname_item *items = static_cast<const wr_flow_rxname_item *>(r->batch.items) + r->batch.sent;
    uint16_t packed = 0;
    qnb_error err = wr_flow_batch_pack_rx_names(wr_devices_get_request_packet(container_of(d), r),
                                                wr_device_protocol_version(d), items, n, &packed);
    if (err)
        return err;
    r->batch.sent = uint16_t(r->batch.sent + packed);
    for (uint16_t i = 0; i < d->num_rxchannels; ++i)
        *stale = mark_rx_stale(d, uint16_t(i + 1)) || *stale;
    d->changed[WR_UPDATE_RXCHANNELS] = 1;
    return 0;
}

qnb_error pack_labels(wr_device *d, wr_request *r, uint16_t n, bool *stale)
{
    const wr_flow_label_item *items = static_cast<const wr_flow_label_item *>(r->batch.items) + r->batch.sent;
    uint16_t packed = 0;
    qnb_error err = wr_flow_batch_pack_labels(wr_devices_get_request_packet(container_of(d), r),
                                              wr_device_protocol_version(d), items, n, &packed);
    if (err)
        return err;
    r->batch.sent = uint16_t(r->batch.sent + packed);
    for (uint16_t i = 0; i < packed; ++i) {
        uint16_t id = items[i].label_id;
        if (id && id <= d->num_labels && !d->labels[id - 1].stale) {
            d->labels[id - 1].stale = true;
            *stale = true;
        }
    }
    d->changed[WR_UPDATE_TXLABELS] = 1;
    return 0;
}

// The batch kinds. Only the subscription row is started in this library; the others are
// continued here once their senders exist (flows, rx names, labels).
typedef qnb_error (*batch_packer)(wr_device *d, wr_request *r, uint16_t n, bool *stale);
struct batch_row {
    uint32_t code;
    batch_packer packer;
    uint16_t per_message;
    uint16_t opcode;
    unsigned kind;
};
const batch_row k_batch_rows[] = {
    {WR_CODE_BATCH_TXFLOWS, pack_tx_flows, 0x20, WR_OP_TX_FLOW_BATCH, WR_UPDATE_TXFLOWS},
    {WR_CODE_BATCH_SUBSCRIBE, pack_subscriptions, 0x10, WR_OP_RX_SUBSCRIBE, WR_UPDATE_RXCHANNELS},
    {WR_CODE_BATCH_RXNAMES, pack_rx_names, 0x20, WR_OP_RX_RENAME, WR_UPDATE_RXCHANNELS},
    {WR_CODE_BATCH_LABELS, pack_labels, 0x10, WR_OP_TX_LABEL_CHANGE, WR_UPDATE_TXLABELS},
};

const batch_row *batch_row_for(uint32_t code)
{
    for (const batch_row &row : k_batch_rows) {
        if (row.code == code)
            return &row;
    }
    return nullptr;
}

} // namespace

const char *wr_device_state_name(int state)
{
    switch (state) {
    case WR_DEVICE_STATE_ERROR:
        return "ERROR";
    case WR_DEVICE_STATE_RESOLVING:
        return "RESOLVING";
    case WR_DEVICE_STATE_RESOLVED:
        return "RESOLVED";
    case WR_DEVICE_STATE_QUERYING:
        return "QUERYING";
    case WR_DEVICE_STATE_ACTIVE:
        return "ACTIVE";
    default:
        return "UNKNOWN";
    }
}

qnb_error wr_device_open(wr_devices *devices, const char *name, wr_device **out)
{
    wr_device_config config;
    memset(&config, 0, sizeof config);
    config.name = name;
    return wr_device_open_with_config(devices, &config, out);
}

qnb_error wr_device_open_with_config(wr_devices *devices, const wr_device_config *config, wr_device **out)
{
    qnb_logger *log = devices && devices->env ? devices->env->logger : nullptr;
    qnb_log(log, QNB_LOG_DEBUG, "%s: starting\n", __func__);
    if (!devices || !config || !out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    uint8_t domain[DOMAIN_ID_SIZE];
    wr_devices_get_domain_id(devices, domain);
    if (domain_id_is_zero(domain))
        return QNB_ERR_INVALIDSTATE;
    uint32_t count = config->count;
    uint32_t flags = config->flags;
    bool named = config->name && config->name[0];
    bool adhoc = domain_id_is_adhoc(domain);
    if (!adhoc) {
        if (count != 0)
            return QNB_ERR_INVALIDPARAMETER;
    } else if (named && count == 0) {
        count = 1;
        flags = 0;
    } else if (!named && (!(flags & WR_CONFIG_ADDRESSES) || count == 0)) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if ((flags & WR_CONFIG_ADDRESSES) && count > 3)
        return QNB_ERR_INVALIDPARAMETER;
    if (!(flags & WR_CONFIG_ADDRESSES) && count > 2)
        return QNB_ERR_INVALIDPARAMETER;
    if (named && strlen(config->name) >= QNB_NAME40_SIZE)
        return QNB_ERR_INVALIDPARAMETER; // names are never cut
    wr_device *d = static_cast<wr_device *>(calloc(1, sizeof(wr_device)));
    if (!d)
        return QNB_ERR_NOMEMORY;
    if (wr_device_addresses_new(d, adhoc ? count : 0, &d->addresses) != 0) {
        free(d);
        return QNB_ERR_NOMEMORY;
    }
    d->container = devices;
    d->env = devices->env;
    d->arcp_version = WR_ARCP_DEFAULT_VERSION;
    qnb_name_copy40(d->open_name, named ? config->name : "");
    wr_devices_add_device(devices, d, &d->node);
    qnb_error err = 0;
    if (flags & WR_CONFIG_ADDRESSES) {
        bool any = false;
        for (uint32_t i = 0; i < count; ++i) {
            if (config->addresses[i].address == 0)
                continue;
            qnb_sockaddr a;
            qnb_sockaddr_set(&a, config->addresses[i].address,
                             config->addresses[i].port ? config->addresses[i].port : uint16_t(WR_DEFAULT_PORT));
            wr_device_addresses_set_address(d->addresses, i, &a);
            any = true;
        }
        if (!any)
            err = QNB_ERR_NOTFOUND;
        d->state = WR_DEVICE_STATE_RESOLVED;
    } else if (adhoc) {
        wr_device_config_interface entries[2];
        memcpy(entries, config->interfaces, sizeof entries);
        bool started = false;
        if (flags & WR_CONFIG_INTERFACES) {
            qnb_interface *list = nullptr;
            size_t n = 0;
            err = qnb_interface_list_with_env(d->env, &list, &n);
            if (!err) {
                size_t k = 0;
                for (size_t i = 0; i < n && k < count; ++i) {
                    if (list[i].loopback)
                        continue;
                    entries[k].index = list[i].index;
                    entries[k].flags = list[i].up ? WR_CONFIG_INTERFACE_USE : 0;
                    ++k;
                }
                free(list);
                for (uint32_t i = 0; i < count; ++i) {
                    if ((entries[i].flags & WR_CONFIG_INTERFACE_USE) && entries[i].index != 0 &&
                        wr_device_addresses_resolve_address_at_index(d->addresses, i, entries[i].index) == 0)
                        started = true;
                }
            }
        } else {
            started = wr_device_addresses_resolve_address_at_index(d->addresses, 0, 0) == 0;
        }
        if (!err && !started)
            err = QNB_ERR_NOTFOUND;
        d->state = WR_DEVICE_STATE_RESOLVING;
    } else {
        d->state = WR_DEVICE_STATE_RESOLVING;
        if (domain_client_get_state(devices->domain) == 2)
            err = wr_device_lookup_start(d);
    }
    if (err) {
        wr_devices_remove_device(devices, d, &d->node);
        wr_device_delete(d);
        return err;
    }
    *out = d;
    qnb_log(log, QNB_LOG_DEBUG, "%s: finished\n", __func__);
    return 0;
}

qnb_error wr_device_close(wr_device *d)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: starting, device '%s'\n", __func__, wr_device_get_name(d));
    d->changed_callback = nullptr;
    wr_device_lookup_cancel(d);
    wr_devices_remove_device(d->container, d, &d->node);
    if (wr_devices_loop_mode(d->container)) {
        // Its sockets leave the loop now; the device itself is freed after the loop's pass.
        if (d->wakeup)
            qnb_event_loop_remove_pass_callback(d->container->loop, d->wakeup, on_wakeup, d);
        d->wakeup = 0;
        wr_device_addresses_withdraw(d->addresses);
        d->close_pending = true;
        wr_devices_defer_deletion(d->container, d, &d->node);
        return 0;
    }
    if (d->processing) {
        d->close_pending = true; // freed when its processing step ends
        return 0;
    }
    wr_device_delete(d);
    return 0;
}

qnb_error wr_device_set_context(wr_device *d, void *context)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    d->context = context;
    return 0;
}

void *wr_device_get_context(const wr_device *d)
{
    return d ? d->context : nullptr;
}

qnb_error wr_device_set_changed_callback(wr_device *d, wr_device_changed_fn callback)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    d->changed_callback = callback;
    return 0;
}

int wr_device_get_state(const wr_device *d)
{
    return d ? d->state : WR_DEVICE_STATE_ERROR;
}

qnb_error wr_device_get_error(const wr_device *d)
{
    return d ? d->error : QNB_ERR_INVALIDPARAMETER;
}

const char *wr_device_get_name(const wr_device *d)
{
    if (!d)
        return "";
    if (d->distinct_name[0])
        return d->distinct_name;
    if (d->reported_name[0])
        return d->reported_name;
    return d->open_name;
}

uint32_t wr_device_get_changed_flag(const wr_device *d, unsigned kind)
{
    if (!d || kind >= WR_UPDATE_KINDS)
        return 0;
    return d->changed[kind];
}

void wr_device_report(wr_device *d, uint32_t bits)
{
    if (!bits)
        return;
    if (d->processing)
        d->accumulated |= bits;
    else if (d->changed_callback)
        d->changed_callback(d, bits);
}

void wr_device_begin_processing(wr_device *d)
{
    if (d->processing++ == 0)
        d->accumulated = 0;
}

void wr_device_end_processing(wr_device *d)
{
    if (d->processing > 0)
        d->processing--;
    if (d->processing)
        return;
    if (d->close_pending) {
        if (!wr_devices_loop_mode(d->container))
            wr_device_delete(d);
        return;
    }
    uint32_t bits = d->accumulated;
    d->accumulated = 0;
    // The callback may close the device: nothing touches it afterwards.
    if (bits && d->changed_callback)
        d->changed_callback(d, bits);
}

void wr_device_set_state(wr_device *d, int state, qnb_error error, const char *text)
{
    if (d->state == state)
        return;
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s(%s): Setting state to %s (was %s)\n", __func__, wr_device_get_name(d),
            wr_device_state_name(state), wr_device_state_name(d->state));
    d->state = state;
    if (state == WR_DEVICE_STATE_ERROR) {
        d->error = error;
        snprintf(d->error_text, sizeof d->error_text, "%s", text ? text : "");
        if (text)
            qnb_log(logger_of(d), QNB_LOG_ERROR, "%s(%s): %s (%d)\n", __func__, wr_device_get_name(d), text, error);
    }
    wr_device_report(d, WR_CHANGE_STATE);
}

void wr_device_mark_kind(wr_device *d, unsigned kind)
{
    if (kind >= WR_UPDATE_KINDS)
        return;
    bool rx_kind = kind == WR_UPDATE_RXCHANNELS || kind == WR_UPDATE_RXFLOWS;
    bool tx_kind = kind == WR_UPDATE_TXCHANNELS || kind == WR_UPDATE_TXLABELS || kind == WR_UPDATE_TXFLOWS;
    if (rx_kind && d->num_rxchannels == 0)
        return;
    if (tx_kind && d->num_txchannels == 0)
        return;
    bool changed = !d->changed[kind];
    d->changed[kind] = 1;
    if (d->state == WR_DEVICE_STATE_ACTIVE) {
        if (kind == WR_UPDATE_TXCHANNELS) {
            for (uint16_t i = 0; d->txchannels && i < d->num_txchannels; ++i) {
                changed = changed || !d->txchannels[i].stale;
                d->txchannels[i].stale = true;
            }
        } else if (kind == WR_UPDATE_RXCHANNELS) {
            for (uint16_t i = 0; d->rxchannels && i < d->num_rxchannels; ++i) {
                changed = changed || !d->rxchannels[i].stale;
                d->rxchannels[i].stale = true;
            }
        } else if (kind == WR_UPDATE_TXLABELS) {
            for (uint16_t i = 0; d->labels && i < d->num_labels; ++i) {
                changed = changed || !d->labels[i].stale;
                d->labels[i].stale = true;
            }
        }
    }
    if (changed)
        wr_device_report(d, WR_CHANGE_FLAGS);
}

qnb_error wr_device_mark_changed(wr_device *d, unsigned kind)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    if (kind >= WR_UPDATE_KINDS)
        return QNB_ERR_INVALIDPARAMETER;
    wr_device_mark_kind(d, kind);
    return 0;
}

void wr_device_clear_changed(wr_device *d, unsigned kind)
{
    if (kind >= WR_UPDATE_KINDS || !d->changed[kind])
        return;
    d->changed[kind] = 0;
    wr_device_report(d, WR_CHANGE_FLAGS);
}

uint16_t wr_device_protocol_version(const wr_device *d)
{
    return d ? wr_msg_protocol_version(d->arcp_version) : uint16_t(WR_PROTOCOL_VERSION_MAX);
}

uint16_t wr_device_request_opcode(const wr_request *r)
{
    return r ? wgcp_header_get_opcode(r->packet.packet) : 0;
}

qnb_error wr_device_begin_request(wr_device *d, wr_device_request_fn callback, uint16_t opcode, wr_request **out,
                                  wgcp_builder **packet)
{
    wr_request *r = nullptr;
    qnb_error err = wr_devices_allocate_request(container_of(d), d, nullptr, &r);
    if (err)
        return err;
    r->device_callback = callback;
    wgcp_builder *b = wr_devices_get_request_packet(container_of(d), r);
    err = wr_msg_begin(b, wr_device_protocol_version(d), opcode);
    if (err) {
        wr_devices_cancel_request(container_of(d), r);
        return err;
    }
    *out = r;
    if (packet)
        *packet = b;
    return 0;
}

wgcp_builder *wr_device_restart_packet(wr_device *d, wr_request *r, uint16_t opcode)
{
    wgcp_builder *b = wr_devices_get_request_packet(container_of(d), r);
    if (b)
        wr_msg_begin(b, wr_device_protocol_version(d), opcode);
    return b;
}

qnb_error wr_device_send(wr_device *d, wr_request *r)
{
    wgcp_builder *b = wr_devices_get_request_packet(container_of(d), r);
    if (!b)
        return QNB_ERR_INVALIDPARAMETER;
    if (d->via_domain)
        return wr_devices_send_request_via_domain(container_of(d), r, b, d->domain_address);
    return wr_devices_send_request(container_of(d), r, b, d->addresses);
}

void wr_device_handle_timeout(wr_device *d, wr_request *r)
{
    uint16_t opcode = wr_device_request_opcode(r);
    bool query = opcode == WR_OP_CAPABILITIES || opcode == WR_OP_PROP_AVAIL || opcode == WR_OP_NAMES ||
                 opcode == WR_OP_NAMES_EXT;
    wr_device_begin_processing(d);
    if (query && r->request_code == WR_CODE_QUERY && d->state == WR_DEVICE_STATE_QUERYING)
        wr_device_set_state(d, WR_DEVICE_STATE_ERROR, QNB_ERR_TIMEDOUT, "QueryCapabilities: no answer");
    wr_device_complete(d, r, QNB_ERR_TIMEDOUT);
    wr_device_end_processing(d);
}

void wr_device_complete(wr_device *d, wr_request *r, qnb_error result)
{
    wr_devices_complete_request(container_of(d), r, result);
}

qnb_error wr_device_process_sockets(wr_device *d, qnb_socket_set *set)
{
    if (!d || !d->addresses)
        return 0;
    return process_address_sockets(d, set, false);
}

void wr_device_wake(wr_device *d)
{
    if (!d || d->close_pending || d->wakeup || !wr_devices_loop_mode(d->container))
        return;
    qnb_error err = qnb_event_loop_add_pass_callback(d->container->loop, &d->wakeup, on_wakeup, d);
    if (err)
        qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Error adding deferred wake-up: %d\n", __func__, err);
}

qnb_error wr_device_query_capabilities(wr_device *d, wr_device_request_fn callback, wr_request **out)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    if (d->state < WR_DEVICE_STATE_RESOLVED)
        return QNB_ERR_INVALIDSTATE;
    wr_request *r = nullptr;
    qnb_error err = wr_device_begin_request(d, callback, WR_OP_CAPABILITIES, &r, nullptr);
    if (err)
        return err;
    err = wr_device_send(d, r);
    if (err) {
        wr_devices_cancel_request(container_of(d), r);
        return err;
    }
    d->query_steps = WR_QUERY_PROP_AVAIL | WR_QUERY_NAMES;
    if (d->state == WR_DEVICE_STATE_RESOLVED)
        wr_device_set_state(d, WR_DEVICE_STATE_QUERYING, 0, nullptr);
    if (out)
        *out = r;
    return 0;
}

void wr_device_continue_query(wr_device *d, wr_request *r)
{
    if (d->query_steps & WR_QUERY_PROP_AVAIL) {
        d->query_steps &= ~uint32_t(WR_QUERY_PROP_AVAIL);
        wr_device_restart_packet(d, r, WR_OP_PROP_AVAIL);
        r->request_code = WR_CODE_QUERY;
        qnb_error err = wr_device_send(d, r);
        if (err) {
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, err, "QueryCapabilities: Error sending PROP_AVAIL query");
            wr_device_complete(d, r, err);
        }
        return;
    }
    if (d->query_steps & WR_QUERY_NAMES) {
        d->query_steps &= ~uint32_t(WR_QUERY_NAMES);
        wr_device_restart_packet(d, r, (d->capability_word & WR_CAPS_WORD_NAMES_EXT) ? WR_OP_NAMES_EXT : WR_OP_NAMES);
        qnb_error err = wr_device_send(d, r);
        if (err) {
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, err, "QueryCapabilities: Error sending NAMES query");
            wr_device_complete(d, r, err);
        }
        return;
    }
    if (d->state == WR_DEVICE_STATE_QUERYING)
        wr_device_set_state(d, WR_DEVICE_STATE_ACTIVE, 0, nullptr);
    wr_device_complete(d, r, 0);
}

qnb_error wr_device_update(wr_device *d, wr_device_request_fn callback, wr_request **out, unsigned kind)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    if (out)
        *out = nullptr;
    if (d->state <= WR_DEVICE_STATE_QUERYING)
        return QNB_ERR_INVALIDSTATE;
    if (kind >= WR_UPDATE_KINDS)
        return QNB_ERR_INVALIDPARAMETER;
    wr_request *r = nullptr;
    qnb_error err = 0;
    uint16_t first = 0;
    switch (kind) {
    case WR_UPDATE_TXCHANNELS:
    case WR_UPDATE_RXCHANNELS: {
        bool stale = kind == WR_UPDATE_TXCHANNELS ? first_stale(d->txchannels, d->num_txchannels, &first)
                                                  : first_stale(d->rxchannels, d->num_rxchannels, &first);
        if (!stale) {
            wr_device_clear_changed(d, kind);
            return 0;
        }
        err = wr_device_begin_request(d, callback, kind == WR_UPDATE_TXCHANNELS ? WR_OP_TX_CHANNELS : WR_OP_RX_CHANNELS,
                                      &r, nullptr);
        if (err)
            return err;
        err = wr_msg_build_range_query(wr_devices_get_request_packet(container_of(d), r),
                                       wr_device_protocol_version(d),
                                       kind == WR_UPDATE_TXCHANNELS ? WR_OP_TX_CHANNELS : WR_OP_RX_CHANNELS, first);
        break;
    }
    case WR_UPDATE_TXLABELS: {
        if (!d->changed[kind])
            return 0;
        bool any = false;
        for (uint16_t i = 0; d->labels && i < d->num_labels; ++i)
            any = any || d->labels[i].stale;
        if (!any) {
            wr_device_clear_changed(d, kind);
            return 0;
        }
        err = wr_device_begin_request(d, callback, WR_OP_TX_LABELS, &r, nullptr);
        if (err)
            return err;
        bool sent = false;
        err = wr_device_send_label_query(d, r, 1, &sent);
        if (err) {
            wr_devices_cancel_request(container_of(d), r);
            return err;
        }
        if (out)
            *out = r;
        return 0;
    }
    case WR_UPDATE_TXFLOWS:
    case WR_UPDATE_RXFLOWS: {
        bool tx = kind == WR_UPDATE_TXFLOWS;
        if ((tx ? (void *)d->txflows : (void *)d->rxflows) == nullptr || !d->changed[kind])
            return 0;
        uint16_t opcode = tx ? WR_OP_TX_FLOWS : WR_OP_RX_FLOWS;
        err = wr_device_begin_request(d, callback, opcode, &r, nullptr);
        if (err)
            return err;
        err = wr_msg_build_range_query(wr_devices_get_request_packet(container_of(d), r),
                                       wr_device_protocol_version(d), opcode, 1);
        if (!err)
            err = wr_device_send(d, r);
        if (err) {
            wr_devices_cancel_request(container_of(d), r);
            return err;
        }
        if (tx)
            wr_flow_tx_begin_read(d->txflows);
        else
            wr_flow_rx_begin_read(d->rxflows);
        if (out)
            *out = r;
        return 0;
    }
    case WR_UPDATE_PROPERTIES:
        if (!d->changed[kind])
            return 0;
        err = wr_device_begin_request(d, callback, WR_OP_PROPERTIES, &r, nullptr);
        if (err)
            return err;
        err = wr_msg_build_properties_query(wr_devices_get_request_packet(container_of(d), r),
                                            wr_device_protocol_version(d));
        break;
    }
    if (!err)
        err = wr_device_send(d, r);
    if (err) {
        wr_devices_cancel_request(container_of(d), r);
        return err;
    }
    if (out)
        *out = r;
    return 0;
}

qnb_error wr_device_set_unicast_performance_us(wr_device *d, uint32_t latency_us, uint16_t fpp,
                                               wr_device_request_fn callback, wr_request **out)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s(%s): setting unicast performance properties to: latency=%uus fpp=%u\n",
            __func__, wr_device_get_name(d), latency_us, unsigned(fpp));
    if (d->state < WR_DEVICE_STATE_RESOLVED)
        return QNB_ERR_INVALIDSTATE;
    if (d->arcp_version < 0x2601)
        return QNB_ERR_VERSION;
    wr_request *r = nullptr;
    qnb_error err = wr_device_begin_request(d, callback, WR_OP_UNICAST_PERFORMANCE, &r, nullptr);
    if (err)
        return err;
    r->request_code = WR_CODE_PERFORMANCE;
    wr_msg_list l;
    err = wr_msg_unicast_performance_begin(&l, wr_devices_get_request_packet(container_of(d), r),
                                           wr_device_protocol_version(d));
    uint32_t mask = d->property_masks[1];
    int added = 0;
    uint32_t latency_ns = latency_us * 1000u;
    if (!err && (mask & (1u << 1))) {
        err = wr_msg_property_add_u32(&l, 0x8205, latency_ns);
        ++added;
    }
    if (!err && (mask & (1u << 3))) {
        err = wr_msg_property_add_u16(&l, 0x0211, fpp);
        ++added;
    }
    if (!err && (mask & (1u << 4))) {
        err = wr_msg_property_add_u32(&l, 0x8301, latency_ns);
        ++added;
    }
    if (!err && (mask & (1u << 8))) {
        err = wr_msg_property_add_u16(&l, 0x0310, fpp);
        ++added;
    }
    uint32_t router = wr_msg_router_version_pack(d->router_version.major, d->router_version.minor,
                                                 d->router_version.patch);
    if (!err && router < wr_msg_router_version_pack(3, 0, 0))
        err = wr_msg_property_add_u32(&l, 0x8304, 1000);
    else if (!err && added == 0)
        err = QNB_ERR_NOTSUPPORTED;
    if (!err)
        err = wr_device_send(d, r);
    if (err) {
        wr_devices_cancel_request(container_of(d), r);
        return err;
    }
    if (out)
        *out = r;
    return 0;
}

qnb_error wr_device_batch_subscribe(wr_device *d, wr_device_request_fn callback, wr_request **out, size_t count,
                                    const wr_batch_item *items)
{
    if (!d)
        return QNB_ERR_INVALIDPARAMETER;
    if ((d->state != WR_DEVICE_STATE_RESOLVED && d->state != WR_DEVICE_STATE_ACTIVE) || !callback || !out)
        return QNB_ERR_INVALIDSTATE;
    if (count == 0 || !items || count > 0xFFFF)
        return QNB_ERR_INVALIDPARAMETER;
    bool all_clear = true;
    for (size_t i = 0; i < count; ++i) {
        const wr_batch_item &it = items[i];
        if (it.rx_channel == 0)
            return QNB_ERR_INVALIDPARAMETER;
        bool has_channel = memchr(it.tx_channel, 0, sizeof it.tx_channel) != it.tx_channel;
        bool has_device = memchr(it.tx_device, 0, sizeof it.tx_device) != it.tx_device;
        if (!has_channel && has_device)
            return QNB_ERR_INVALIDPARAMETER;
        if (has_channel) {
            if (!has_device || !item_name_ok(it.tx_channel, sizeof it.tx_channel))
                return QNB_ERR_INVALIDPARAMETER;
            bool local = it.tx_device[0] == '.' && it.tx_device[1] == 0;
            if (!local && !item_name_ok(it.tx_device, sizeof it.tx_device))
                return QNB_ERR_INVALIDPARAMETER;
            all_clear = false;
        }
    }
    qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: batch subscribing (%d items)\n", __func__, int(count));
    wr_request *r = nullptr;
    qnb_error err = wr_device_begin_request(d, callback, all_clear ? WR_OP_RX_UNSUBSCRIBE : WR_OP_RX_SUBSCRIBE, &r,
                                            nullptr);
    if (err)
        return err;
    r->request_code = WR_CODE_BATCH_SUBSCRIBE;
    r->batch.total = uint16_t(count);
    r->batch.sent = 0;
    r->batch.items = items;
    bool stale = false;
    if (all_clear) {
        uint16_t *ids = static_cast<uint16_t *>(malloc(count * sizeof(uint16_t)));
        if (!ids) {
            wr_devices_cancel_request(container_of(d), r);
            return QNB_ERR_NOMEMORY;
        }
        for (size_t i = 0; i < count; ++i)
            ids[i] = items[i].rx_channel;
        size_t written = 0;
        err = wr_msg_build_id_list(wr_devices_get_request_packet(container_of(d), r), wr_device_protocol_version(d),
                                   WR_OP_RX_UNSUBSCRIBE, ids, count, &written);
        free(ids);
        if (!err && written < count)
            err = QNB_ERR_MSGSIZE; // a batch that cannot carry every item is refused
        if (!err) {
            for (size_t i = 0; i < count; ++i)
                stale = mark_rx_stale(d, items[i].rx_channel) || stale;
            r->batch.sent = uint16_t(count);
            if (d->num_rxchannels && !d->changed[WR_UPDATE_RXFLOWS]) {
                d->changed[WR_UPDATE_RXFLOWS] = 1;
                wr_device_report(d, WR_CHANGE_FLAGS);
            }
        }
    } else {
        uint16_t n = uint16_t(count < 16 ? count : 16);
        err = pack_subscriptions(d, r, n, &stale);
    }
    if (!err)
        err = wr_device_send(d, r);
    if (err) {
        wr_devices_cancel_request(container_of(d), r);
        return err;
    }
    if (d->state == WR_DEVICE_STATE_ACTIVE && d->num_rxchannels) {
        bool newly = !d->changed[WR_UPDATE_RXCHANNELS];
        d->changed[WR_UPDATE_RXCHANNELS] = 1;
        if (newly || stale)
            wr_device_report(d, WR_CHANGE_FLAGS);
    }
    *out = r;
    return 0;
}

void wr_device_continue_batch(wr_device *d, wr_request *r, qnb_error result)
{
    const batch_row *row = batch_row_for(r->request_code);
    if (!row) {
        wr_device_complete(d, r, result);
        return;
    }
    if (result) {
        // The device refused this part of the batch: the rest is not sent, and what it holds now
        // is read again.
        wr_device_mark_kind(d, row->kind);
        wr_device_complete(d, r, result);
        return;
    }
    if (r->batch.sent >= r->batch.total) {
        wr_device_mark_kind(d, row->kind);
        wr_device_complete(d, r, 0);
        return;
    }
    if (!row->packer) {
        wr_device_complete(d, r, QNB_ERR_NOTSUPPORTED);
        return;
    }
    uint16_t left = uint16_t(r->batch.total - r->batch.sent);
    uint16_t n = left < row->per_message ? left : row->per_message;
    bool stale = false;
    qnb_error err = row->packer(d, r, n, &stale);
    if (!err)
        err = wr_device_send(d, r);
    if (stale)
        wr_device_report(d, WR_CHANGE_FLAGS);
    if (err)
        wr_device_complete(d, r, err);
}

uint32_t wr_device_get_latency_ms(const wr_device *d)
{
    if (!d || d->state != WR_DEVICE_STATE_ACTIVE)
        return 0;
    return d->properties.latency_us / 1000u;
}

uint16_t wr_device_num_txchannels(const wr_device *d)
{
    return d && d->state == WR_DEVICE_STATE_ACTIVE ? d->num_txchannels : 0;
}

uint16_t wr_device_num_rxchannels(const wr_device *d)
{
    return d && d->state == WR_DEVICE_STATE_ACTIVE ? d->num_rxchannels : 0;
}

qnb_error wr_device_get_txchannels(wr_device *d, size_t *count, wr_txchannel **out)
{
    if (!d || !count || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (d->state != WR_DEVICE_STATE_ACTIVE)
        return QNB_ERR_INVALIDSTATE;
    *count = d->num_txchannels;
    *out = d->txchannels;
    return 0;
}

qnb_error wr_device_get_rxchannels(wr_device *d, size_t *count, wr_rxchannel **out)
{
    if (!d || !count || !out)
        return QNB_ERR_INVALIDPARAMETER;
    if (d->state != WR_DEVICE_STATE_ACTIVE)
        return QNB_ERR_INVALIDSTATE;
    *count = d->num_rxchannels;
    *out = d->rxchannels;
    return 0;
}

wr_txchannel *wr_device_txchannel_at(wr_device *d, size_t index)
{
    if (!d || !d->txchannels || index >= d->num_txchannels)
        return nullptr;
    return &d->txchannels[index];
}

wr_rxchannel *wr_device_rxchannel_at(wr_device *d, size_t index)
{
    if (!d || !d->rxchannels || index >= d->num_rxchannels)
        return nullptr;
    return &d->rxchannels[index];
}

wr_txchannel *wr_device_txchannel_by_id(wr_device *d, uint16_t id)
{
    return id == 0 ? nullptr : wr_device_txchannel_at(d, size_t(id) - 1);
}

wr_rxchannel *wr_device_rxchannel_by_id(wr_device *d, uint16_t id)
{
    return id == 0 ? nullptr : wr_device_rxchannel_at(d, size_t(id) - 1);
}

wr_txchannel *wr_device_active_txchannel_by_id(wr_device *d, uint16_t id)
{
    return d && d->state == WR_DEVICE_STATE_ACTIVE ? wr_device_txchannel_by_id(d, id) : nullptr;
}

wr_rxchannel *wr_device_active_rxchannel_at(wr_device *d, size_t index)
{
    return d && d->state == WR_DEVICE_STATE_ACTIVE ? wr_device_rxchannel_at(d, index) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// The flow handlers' view of a device

namespace {

wr_device *flow_device(void *d)
{
    return static_cast<wr_device *>(d);
}

bool flow_rx_subscription(void *dv, uint16_t rx_id, const char *tx_channel, const char *tx_device, uint8_t status)
{
    wr_device *d = flow_device(dv);
    wr_rxchannel *c = wr_device_rxchannel_by_id(d, rx_id);
    if (!c)
        return false;
    // The rule of a channel page: a subscription is kept only when its names pass.
    bool local = tx_device[0] == '.' && tx_device[1] == 0;
    bool keep = wr_msg_name_is_valid(tx_channel) &&
                (wr_msg_name_is_valid(tx_device) || (local && (c->mode & WR_RX_MODE_LOCAL)));
    const char *channel = keep ? tx_channel : "";
    const char *device = keep ? tx_device : "";
    uint8_t sub_status = keep ? status : 0;
    bool changed = strcmp(c->sub_channel, channel) != 0 || strcmp(c->sub_device, device) != 0 ||
                   c->sub_status != sub_status;
    if (changed) {
        snprintf(c->sub_channel, sizeof c->sub_channel, "%s", channel);
        snprintf(c->sub_device, sizeof c->sub_device, "%s", device);
        c->sub_status = sub_status;
        if (c->sub_channel[0] && c->sub_device[0])
            snprintf(c->sub_text, sizeof c->sub_text, "%s@%s", c->sub_channel, c->sub_device);
        else
            c->sub_text[0] = 0;
        wr_device_report(d, WR_CHANGE_RXCHANNELS);
    }
    return true;
}

const wr_flow_host_ops k_flow_ops = {
    [](void *d, qnb_error e, const char *text) { wr_device_set_state(flow_device(d), WR_DEVICE_STATE_ERROR, e, text); },
    [](void *d, uint32_t bits) { wr_device_report(flow_device(d), bits); },
    [](void *d, unsigned kind) { wr_device_mark_kind(flow_device(d), kind); },
    [](void *d, unsigned kind) { wr_device_clear_changed(flow_device(d), kind); },
    [](void *d, wr_request *r) { return wr_devices_get_request_packet(container_of(flow_device(d)), r); },
    [](void *d, wr_request *r) { return wr_device_send(flow_device(d), r); },
    [](void *d, wr_request *r, qnb_error e) { wr_device_complete(flow_device(d), r, e); },
    [](void *d, wr_request *r, qnb_error e) { wr_devices_set_request_result(container_of(flow_device(d)), r, e); },
    [](void *d, wr_request *r, qnb_error e) { wr_device_continue_batch(flow_device(d), r, e); },
    flow_rx_subscription,
};

} // namespace

wr_flow_host wr_device_flow_host(wr_device *d, wr_request *r)
{
    wr_flow_host h = {};
    h.ops = &k_flow_ops;
    h.device = d;
    h.request = r;
    h.request_code = r ? r->request_code : 0;
    h.arcp_version = d->arcp_version;
    h.protocol_version = wr_device_protocol_version(d);
    h.max_txflow_id = d->max_txflow_id;
    h.max_rxflow_id = d->max_rxflow_id;
    return h;
}
