// Response handling of a routing device: where a response may come from, its triage by result
// code, and the handlers of every opcode. Every handler runs inside the device's processing step
// and ends by completing its request, unless it sent a follow-up on the same request slot.
#include <cstdlib>
#include <cstring>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_message.h"

namespace {

qnb_logger *logger_of(const wr_device *d)
{
    return d && d->env ? d->env->logger : nullptr;
}

struct response {
    wr_device *device;
    wr_request *request;
    wr_msg_response m;
    uint16_t result;
    uint16_t low;  // low 12 bits
    uint16_t high; // high 4 bits
    uint16_t opcode;
};

void complete(const response &c, qnb_error result)
{
    wr_device_complete(c.device, c.request, result);
}

qnb_error mapped(const response &c)
{
    return wr_msg_result_to_error(c.result);
}

// The request as it was sent, read with the response readers.
bool request_view(const response &c, wr_msg_response *out)
{
    const uint8_t *p = c.request->packet.packet;
    return wr_msg_response_init(out, p, wgcp_header_get_length(p)) == 0;
}

// Sends `opcode` {first, 0} as the follow-up on the request's slot.
qnb_error send_range_query(const response &c, uint16_t opcode, uint16_t first)
{
    wgcp_builder *b = wr_device_restart_packet(c.device, c.request, opcode);
    qnb_error err = wr_msg_build_range_query(b, wr_device_protocol_version(c.device), opcode, first);
    return err ? err : wr_device_send(c.device, c.request);
}

// ---- capabilities ----

void free_layout(wr_device *d)
{
    free(d->txchannels);
    free(d->rxchannels);
    free(d->labels);
    free(d->table);
    d->txchannels = nullptr;
    d->rxchannels = nullptr;
    d->labels = nullptr;
    d->table = nullptr;
    wr_flow_tx_table_delete(d->txflows);
    wr_flow_rx_table_delete(d->rxflows);
    d->txflows = nullptr;
    d->rxflows = nullptr;
    for (int i = 0; i < WR_PER_DEVICE_ARRAYS; ++i) {
        free(d->arrays[i]);
        d->arrays[i] = nullptr;
    }
}

// The device's `count` channels, numbered from 1, with no value and all to be read; null when
// there is no memory for them.
template <typename Channel>
Channel *new_channels(wr_device *d, uint16_t count)
{
    Channel *list = static_cast<Channel *>(calloc(count, sizeof(Channel)));
    for (uint16_t i = 0; list && i < count; ++i) {
        list[i].device = d;
        list[i].id = uint16_t(i + 1);
        list[i].value = WR_VALUE_NONE;
        list[i].stale = true;
    }
    return list;
}

qnb_error allocate_layout(wr_device *d, const wr_msg_capabilities &caps, const char **text)
{
    *text = "Querying capabilities";
    if (caps.tx_channels) {
        d->txchannels = new_channels<wr_txchannel>(d, caps.tx_channels);
        if (!d->txchannels)
            return QNB_ERR_NOMEMORY;
    }
    if (caps.rx_channels) {
        d->rxchannels = new_channels<wr_rxchannel>(d, caps.rx_channels);
        if (!d->rxchannels)
            return QNB_ERR_NOMEMORY;
    }
    if (caps.tx_label_slots) {
        d->labels = static_cast<wr_txlabel *>(calloc(caps.tx_label_slots, sizeof(wr_txlabel)));
        if (!d->labels)
            return QNB_ERR_NOMEMORY;
        for (uint16_t i = 0; i < caps.tx_label_slots; ++i)
            d->labels[i].stale = true;
    }
    if (caps.tx_channels) {
        *text = "Querying capabilities, allocating txflows";
        if (wr_flow_tx_table_new(caps.tx_channels, caps.interfaces, caps.tx_flow_slots, &d->txflows))
            return QNB_ERR_NOMEMORY;
    }
    if (caps.rx_channels) {
        *text = "Querying capabilities, allocating rxflows";
        if (wr_flow_rx_table_new(caps.rx_channels, caps.interfaces, caps.rx_flow_slots, &d->rxflows))
            return QNB_ERR_NOMEMORY;
    }
    *text = "Querying capabilities";
    uint32_t size = wr_msg_capabilities_array_size(&caps);
    d->array_length = 0;
    if ((caps.array_switch || caps.array_mask) && size) {
        if (caps.array_switch) {
            d->table = static_cast<uint16_t *>(calloc(size, sizeof(uint16_t)));
            if (!d->table)
                return QNB_ERR_NOMEMORY;
        }
        for (int i = 0; i < WR_PER_DEVICE_ARRAYS; ++i) {
            if (caps.array_mask & (1u << i)) {
                d->arrays[i] = static_cast<uint32_t *>(calloc(size, sizeof(uint32_t)));
                if (!d->arrays[i])
                    return QNB_ERR_NOMEMORY;
            }
        }
        d->array_length = size;
    }
    return 0;
}

void set_all_changed(wr_device *d)
{
    for (unsigned k = 0; k < WR_UPDATE_KINDS; ++k)
        wr_device_mark_kind(d, k);
}

void handle_capabilities(const response &c, bool none)
{
    wr_device *d = c.device;
    wr_msg_capabilities caps;
    memset(&caps, 0, sizeof caps);
    uint32_t flags = 0;
    bool names_again = false;
    if (none) {
        d->query_steps = 0;
        flags = WR_CAPABILITY_FLAG1;
    } else {
        qnb_error err = wr_msg_read_capabilities(&c.m, &caps);
        if (err) {
            complete(c, err);
            return;
        }
        if (d->arcp_version <= 0x25FF) {
            // Devices of older protocol versions do not fill these fields.
            caps.tx_flow_max = caps.rx_flow_max = caps.tx_label_slots = caps.interfaces = 0;
        }
        flags = wr_msg_capability_flags(&caps, &names_again);
        if (names_again)
            d->query_steps |= WR_QUERY_NAMES;
        else
            memcpy(d->distinct_name, d->reported_name, sizeof d->distinct_name);
    }
    if (d->state == WR_DEVICE_STATE_QUERYING) {
        free_layout(d);
        d->capability_word = caps.word;
        d->capability_flags = flags;
        d->num_txchannels = caps.tx_channels;
        d->num_rxchannels = caps.rx_channels;
        d->tx_flow_limit = caps.tx_flow_slots;
        d->rx_flow_limit = caps.rx_flow_slots;
        d->max_txflow_id = caps.tx_flow_max;
        d->max_rxflow_id = caps.rx_flow_max;
        d->num_labels = caps.tx_label_slots;
        d->num_interfaces = caps.interfaces;
        d->array_switch = caps.array_switch;
        d->array_mask = caps.array_mask;
        const char *text = nullptr;
        qnb_error err = allocate_layout(d, caps, &text);
        if (err) {
            free_layout(d);
            d->num_txchannels = d->num_rxchannels = d->num_labels = 0;
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, err, text);
            complete(c, err);
            return;
        }
        set_all_changed(d);
        wr_device_continue_query(d, c.request);
        return;
    }
    if (d->state == WR_DEVICE_STATE_ACTIVE) {
        bool same = d->capability_word == caps.word && d->num_interfaces == caps.interfaces &&
                    d->num_txchannels == caps.tx_channels && d->num_rxchannels == caps.rx_channels &&
                    d->num_labels == caps.tx_label_slots && d->max_txflow_id == caps.tx_flow_max &&
                    d->max_rxflow_id == caps.rx_flow_max && d->tx_flow_limit == caps.tx_flow_slots &&
                    d->rx_flow_limit == caps.rx_flow_slots;
        if (!same) {
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, WR_ERR_LAYOUT, "QueryCapabilities: capabilities changed");
            complete(c, WR_ERR_LAYOUT);
            return;
        }
        set_all_changed(d);
        if (d->capability_flags != flags) {
            d->capability_flags = flags;
            wr_device_report(d, WR_CHANGE_CAPABILITIES);
        }
        wr_device_continue_query(d, c.request);
        return;
    }
    wr_device_set_state(d, WR_DEVICE_STATE_ERROR, QNB_ERR_INVALIDSTATE, "QueryCapabilities: unexpected state");
    complete(c, QNB_ERR_INVALIDSTATE);
}

void handle_prop_avail(const response &c)
{
    wr_device *d = c.device;
    if (!wr_msg_result_is_ok(c.result)) {
        qnb_error err = mapped(c);
        if (!err)
            err = QNB_ERR_FAULT;
        wr_device_set_state(d, WR_DEVICE_STATE_ERROR, err, "QueryCapabilities: Error handling PROP_AVAIL");
        complete(c, err);
        return;
    }
    wr_msg_entries l;
    qnb_error err = wr_msg_read_list(&c.m, WR_PROPERTY_SIZE, &l);
    if (err) {
        wr_device_set_state(d, WR_DEVICE_STATE_ERROR, err, "QueryCapabilities: Error handling PROP_AVAIL");
        complete(c, err);
        return;
    }
    uint32_t masks[2] = {d->property_masks[0], d->property_masks[1]};
    for (uint16_t i = 0; i < l.count; ++i) {
        wr_msg_property p;
        if (wr_msg_read_property(&c.m, &l, i, &p) != 0)
            continue;
        int bit = wr_msg_property_bit(p.id);
        if (bit < 0)
            continue;
        for (int k = 0; k < 2; ++k) {
            if (p.value & (1u << k))
                masks[k] |= 1u << bit;
            else
                masks[k] &= ~(1u << bit);
        }
    }
    if (d->state == WR_DEVICE_STATE_QUERYING) {
        d->property_masks[0] = masks[0];
        d->property_masks[1] = masks[1];
    } else if (masks[0] != d->property_masks[0] || masks[1] != d->property_masks[1]) {
        wr_device_set_state(d, WR_DEVICE_STATE_ERROR, WR_ERR_LAYOUT, "QueryCapabilities: Error updating PROP_AVAIL");
        complete(c, WR_ERR_LAYOUT);
        return;
    }
    wr_device_continue_query(d, c.request);
}

void copy_name(char *dst, size_t size, const char *src, bool *changed)
{
    if (strncmp(dst, src, size) != 0) {
        snprintf(dst, size, "%s", src);
        *changed = true;
    }
}

void handle_names(const response &c)
{
    wr_device *d = c.device;
    d->query_steps &= ~uint32_t(WR_QUERY_NAMES);
    bool steps = c.request->request_code == WR_CODE_QUERY;
    if (!wr_msg_result_is_ok(c.result)) {
        if ((c.low & 0xFF0) == 0x030) {
            if (steps) {
                memcpy(d->reported_name, d->distinct_name, sizeof d->reported_name);
                wr_device_continue_query(d, c.request);
            } else {
                complete(c, mapped(c));
            }
            return;
        }
        qnb_error err = mapped(c);
        complete(c, err ? err : QNB_ERR_FAULT);
        return;
    }
    bool names = false;
    bool flags = false;
    uint32_t caps = d->capability_flags;
    if (c.opcode == WR_OP_NAMES) {
        char name[WR_NAME_SIZE];
        qnb_error err = wr_msg_read_names(&c.m, name);
        if (err) {
            complete(c, err);
            return;
        }
        copy_name(d->reported_name, sizeof d->reported_name, name, &names);
        if (strcmp(d->reported_name, d->distinct_name) != 0)
            caps |= WR_CAPABILITY_FLAG0;
        else
            caps &= ~uint32_t(WR_CAPABILITY_FLAG0);
    } else {
        wr_msg_names_ext ext;
        qnb_error err = wr_msg_read_names_ext(&c.m, &ext);
        if (err) {
            complete(c, err);
            return;
        }
        if (ext.has_names) {
            copy_name(d->reported_name, sizeof d->reported_name, ext.first, &names);
            copy_name(d->second_name, sizeof d->second_name, ext.second[0] ? ext.second : ext.first, &names);
            if (ext.third[0] && strcmp(ext.third, ext.first) != 0) {
                copy_name(d->distinct_name, sizeof d->distinct_name, ext.third, &names);
                caps |= WR_CAPABILITY_FLAG0;
            } else {
                copy_name(d->distinct_name, sizeof d->distinct_name, "", &names);
                caps &= ~uint32_t(WR_CAPABILITY_FLAG0);
            }
        }
        if (ext.has_version) {
            d->router_version.major = uint8_t(ext.router_version >> 24);
            d->router_version.minor = uint8_t(ext.router_version >> 16);
            d->router_version.patch = uint16_t(ext.router_version);
            if (ext.arcp_version)
                d->arcp_version = ext.arcp_version;
        }
    }
    flags = caps != d->capability_flags;
    d->capability_flags = caps;
    if (steps) {
        wr_device_continue_query(d, c.request);
        return;
    }
    wr_device_report(d, (names ? WR_CHANGE_NAMES : 0) | (flags ? WR_CHANGE_CAPABILITIES : 0));
    complete(c, mapped(c));
}

// ---- properties ----

int property_index(uint16_t id)
{
    for (int i = 0; i < WR_PROPERTY_COUNT; ++i) {
        if (wr_msg_property_ids[i] == id)
            return i;
    }
    return id == 0x8304 ? WR_PROPERTY_COUNT : -1;
}

void update_latency(wr_device *d)
{
    uint32_t ns = d->properties.values32[property_index(0x8205)];
    if (!ns)
        ns = d->properties.values32[property_index(0x8301)];
    d->properties.latency_us = ns / 1000u;
}

void handle_properties(const response &c)
{
    wr_device *d = c.device;
    wr_device_properties next = d->properties;
    memset(next.values16, 0, sizeof next.values16);
    memset(next.values32, 0, sizeof next.values32);
    next.text[0] = 0;
    if (wr_msg_result_is_ok(c.result)) {
        wr_msg_entries l;
        if (wr_msg_read_list(&c.m, WR_PROPERTY_SIZE, &l) == 0) {
            for (int i = 0; i < WR_PROPERTY_COUNT; ++i) {
                uint16_t id = wr_msg_property_ids[i];
                wr_msg_property p;
                if (wr_msg_find_property(&c.m, &l, id, &p) != 0)
                    continue;
                int kind = wr_msg_property_kind(id);
                if (kind == WR_PROPERTY_U16) {
                    next.values16[i] = p.value;
                } else if (kind == WR_PROPERTY_U32) {
                    uint32_t v = 0;
                    if (wr_msg_property_u32(&c.m, &l, &p, &v) == 0)
                        next.values32[i] = v;
                } else {
                    wr_msg_property_text(&c.m, &l, &p, next.text);
                }
            }
        }
    }
    bool changed = memcmp(next.values16, d->properties.values16, sizeof next.values16) != 0 ||
                   memcmp(next.values32, d->properties.values32, sizeof next.values32) != 0 ||
                   strcmp(next.text, d->properties.text) != 0;
    memcpy(d->properties.values16, next.values16, sizeof next.values16);
    memcpy(d->properties.values32, next.values32, sizeof next.values32);
    memcpy(d->properties.text, next.text, sizeof next.text);
    update_latency(d);
    if (changed)
        wr_device_report(d, WR_CHANGE_PERFORMANCE);
    if (d->arcp_version < 0x2600) {
        wr_device_clear_changed(d, WR_UPDATE_PROPERTIES);
        complete(c, 0);
        return;
    }
    wr_device_restart_packet(d, c.request, WR_OP_PERFORMANCE);
    qnb_error err = wr_device_send(d, c.request);
    if (err)
        complete(c, err);
}

void handle_performance(const response &c)
{
    wr_device *d = c.device;
    if (wr_msg_result_is_ok(c.result)) {
        uint16_t a = 0, b = 0;
        qnb_error err = wr_msg_read_performance(&c.m, &a, &b);
        if (err) {
            complete(c, err);
            return;
        }
        bool changed = !d->properties.performance_valid || d->properties.performance[0] != a ||
                       d->properties.performance[1] != b;
        d->properties.performance[0] = a;
        d->properties.performance[1] = b;
        d->properties.performance_valid = true;
        if (changed)
            wr_device_report(d, WR_CHANGE_PERFORMANCE);
    } else if ((c.low & 0xFF0) == 0x030) {
        d->properties.performance_valid = false;
    } else {
        qnb_error err = mapped(c);
        complete(c, err ? err : QNB_ERR_FAULT);
        return;
    }
    wr_device_clear_changed(d, WR_UPDATE_PROPERTIES);
    complete(c, 0);
}

bool tx_side(uint16_t id)
{
    return id == 0x0210 || id == 0x0211;
}

bool rx_side(uint16_t id)
{
    return id == 0x0303 || id == 0x0310 || id == 0x0311;
}

void handle_unicast_performance(const response &c)
{
    wr_device *d = c.device;
    uint32_t code = 0;
    qnb_error err = wr_devices_get_request_code(d->container, c.request, &code);
    if (err) {
        complete(c, err);
        return;
    }
    wr_msg_response req;
    wr_msg_entries rl, l;
    if (!request_view(c, &req) || wr_msg_read_list(&req, WR_PROPERTY_SIZE, &rl) != 0 ||
        wr_msg_read_list(&c.m, WR_PROPERTY_SIZE, &l) != 0) {
        complete(c, QNB_ERR_INVALIDDATA);
        return;
    }
    qnb_error first = 0;
    bool stored = false, tx_changed = false, rx_changed = false;
    for (uint16_t i = 0; i < rl.count; ++i) {
        wr_msg_property asked;
        if (wr_msg_read_property(&req, &rl, i, &asked) != 0)
            continue;
        bool refused = false;
        for (uint16_t k = 0; k < l.count; ++k) {
            wr_msg_property p;
            if (wr_msg_read_property(&c.m, &l, k, &p) == 0 && (p.id == 1 || p.id == 2) && p.value == asked.id)
                refused = true;
        }
        if (refused) {
            if (!first)
                first = QNB_ERR_INVALIDDATA;
            wr_device_mark_kind(d, WR_UPDATE_PROPERTIES);
            continue;
        }
        wr_msg_property p;
        uint32_t value = 0;
        bool ok = wr_msg_find_property(&c.m, &l, asked.id, &p) == 0;
        if (ok) {
            if (wr_msg_property_kind(asked.id) == WR_PROPERTY_U32)
                ok = wr_msg_property_u32(&c.m, &l, &p, &value) == 0;
            else
                value = p.value;
        }
        if (!ok || value == 0) {
            wr_device_mark_kind(d, WR_UPDATE_PROPERTIES);
            continue;
        }
        int idx = property_index(asked.id);
        if (idx < 0)
            continue;
        bool changed;
        if (wr_msg_property_kind(asked.id) == WR_PROPERTY_U32) {
            changed = d->properties.values32[idx] != value;
            d->properties.values32[idx] = value;
        } else {
            changed = d->properties.values16[idx] != uint16_t(value);
            d->properties.values16[idx] = uint16_t(value);
        }
        if (changed) {
            stored = true;
            tx_changed = tx_changed || tx_side(asked.id);
            rx_changed = rx_changed || rx_side(asked.id);
        }
    }
    update_latency(d);
    if (stored)
        wr_device_report(d, WR_CHANGE_PERFORMANCE);
    if (tx_changed && code != 0)
        send_range_query(c, WR_OP_CHANGED_ALL, 1);
    if (rx_changed)
        send_range_query(c, WR_OP_RX_PERFORMANCE_CHANGED, 1);
    complete(c, first);
}

// ---- channel pages ----

// True when some channel of the kind is still to be read.
bool any_stale(const wr_device *d, bool tx)
{
    uint16_t count = tx ? d->num_txchannels : d->num_rxchannels;
    for (uint16_t i = 0; i < count; ++i) {
        if (tx ? d->txchannels[i].stale : d->rxchannels[i].stale)
            return true;
    }
    return false;
}

// The end of a read of channels: its change flag is cleared unless channels were marked again
// while the read went on; those are read by a following pass.
void end_channel_read(wr_device *d, bool tx)
{
    if (!any_stale(d, tx))
        wr_device_clear_changed(d, tx ? WR_UPDATE_TXCHANNELS : WR_UPDATE_RXCHANNELS);
}

// The first channel id the page request asked for (1 when it cannot be read).
uint16_t requested_first(const response &c)
{
    wr_msg_response req;
    wr_msg_entries l;
    wr_msg_range range{1, 0};
    if (!request_view(c, &req) || wr_msg_read_list(&req, WR_RANGE_SIZE, &l) != 0 || l.count < 1 ||
        wr_msg_read_range(&req, &l, 0, &range) != 0 || range.first == 0)
        return 1;
    return range.first;
}

bool refused(const response &c);

void handle_channel_page(const response &c, bool tx)
{
    // A page the device refused is no read: the channels keep what they held and stay to be read.
    // "More to follow" (0x112) is no refusal.
    if (refused(c))
        return;
    wr_device *d = c.device;
    uint16_t count = tx ? d->num_txchannels : d->num_rxchannels;
    wr_msg_entries l;
    qnb_error err = wr_msg_read_list(&c.m, tx ? WR_TX_ENTRY_SIZE : WR_RX_ENTRY_SIZE, &l);
    if (err) {
        complete(c, err);
        return;
    }
    bool changed = false;
    uint16_t refreshed = 0;
    uint16_t highest = 0; // the highest channel id of the page
    for (uint16_t i = 0; i < l.count; ++i) {
        uint16_t id = 0;
        if (wr_msg_entry_u16(&c.m, &l, i, 0, &id) != 0) {
            err = QNB_ERR_INVALIDDATA;
            break;
        }
        if (id == 0 || id > count) {
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, WR_ERR_LAYOUT,
                                tx ? "TxChannelQuery: invalid ID" : "RxChannelQuery: invalid ID");
            if (changed)
                wr_device_report(d, tx ? WR_CHANGE_TXCHANNELS : WR_CHANGE_RXCHANNELS);
            complete(c, WR_ERR_LAYOUT);
            return;
        }
        if (tx) {
            wr_msg_tx_entry e;
            err = wr_msg_read_tx_entry(&c.m, &l, i, &e);
            if (err)
                break;
            wr_txchannel *ch = &d->txchannels[id - 1];
            changed = wr_txchannel_update(ch, &e) || changed;
            if (ch->stale)
                ++refreshed;
            ch->stale = false;
        } else {
            wr_msg_rx_entry e;
            err = wr_msg_read_rx_entry(&c.m, &l, i, &e);
            if (err)
                break;
            wr_rxchannel *ch = &d->rxchannels[id - 1];
            changed = wr_rxchannel_update(ch, &e) || changed;
            if (ch->stale)
                ++refreshed;
            ch->stale = false;
        }
        if (id > highest)
            highest = id;
    }
    if (changed)
        wr_device_report(d, tx ? WR_CHANGE_TXCHANNELS : WR_CHANGE_RXCHANNELS);
    if (err) {
        complete(c, err);
        return;
    }
    if (wr_msg_result_has_more(c.result)) {
        // The read goes on with the first stale channel after this page, never back before it: a
        // channel marked again behind the page (asked for again while the read is under way) is
        // read by a following pass, so that the read always reaches the end of the table.
        uint16_t first = 0;
        bool stale = false;
        for (uint16_t i = highest; i < count && !stale; ++i) {
            if (tx ? d->txchannels[i].stale : d->rxchannels[i].stale) {
                first = uint16_t(i + 1);
                stale = true;
            }
        }
        if (stale) {
            if (refreshed == 0 || highest < requested_first(c)) {
                // A page that brings nothing new, or nothing from where it was asked, would be asked
                // for again and again.
                complete(c, QNB_ERR_INVALIDDATA);
                return;
            }
            err = send_range_query(c, tx ? WR_OP_TX_CHANNELS : WR_OP_RX_CHANNELS, first);
            if (err)
                complete(c, err);
            return;
        }
    }
    if (tx && (d->capability_word & WR_CAPS_WORD_TX_VALUES)) {
        err = send_range_query(c, WR_OP_TX_VALUES, 1);
        if (err)
            complete(c, err);
        return;
    }
    end_channel_read(d, tx);
    complete(c, 0);
}

// A reply that carries an error in its low bits completes its request with that error: whatever
// such a reply holds is not taken as the device's new state.
bool refused(const response &c)
{
    qnb_error err = mapped(c);
    if (err)
        complete(c, err);
    return err != 0;
}

void handle_tx_flag_ranges(const response &c, uint8_t bit, bool set)
{
    if (refused(c))
        return;
    wr_device *d = c.device;
    wr_msg_response req;
    wr_msg_entries l;
    if (request_view(c, &req) && wr_msg_read_list(&req, WR_RANGE_SIZE, &l) == 0) {
        for (uint16_t i = 0; i < l.count; ++i) {
            wr_msg_range r;
            uint16_t first, last;
            if (wr_msg_read_range(&req, &l, i, &r) != 0 || !wr_msg_range_clamp(r, d->num_txchannels, &first, &last))
                continue;
            for (uint32_t id = first; id <= last; ++id) {
                uint8_t &s = d->txchannels[id - 1].status;
                s = set ? uint8_t(s | bit) : uint8_t(s & ~bit);
            }
        }
    }
    wr_device_report(d, WR_CHANGE_TXCHANNELS);
    complete(c, 0);
}

void handle_tx_values(const response &c)
{
    if (refused(c))
        return;
    wr_device *d = c.device;
    wr_msg_entries l;
    bool changed = false;
    if (wr_msg_read_list(&c.m, WR_VALUE_RECORD_SIZE, &l) == 0) {
        for (uint16_t i = 0; i < l.count; ++i) {
            wr_msg_value_record v;
            uint16_t first, last;
            if (wr_msg_read_value_record(&c.m, &l, i, &v) != 0 ||
                !wr_msg_range_clamp(v.range, d->num_txchannels, &first, &last))
                continue;
            for (uint32_t id = first; id <= last; ++id) {
                if (d->txchannels[id - 1].value != v.value) {
                    d->txchannels[id - 1].value = v.value;
                    changed = true;
                }
            }
        }
    }
    if (changed)
        wr_device_report(d, WR_CHANGE_TXCHANNELS);
    end_channel_read(d, true);
    complete(c, 0);
}

void handle_device_array(const response &c)
{
    wr_device *d = c.device;
    int index = -1;
    uint32_t bit = WR_CHANGE_TABLE;
    switch (c.opcode) {
    case WR_OP_DEVICE_ARRAY0: index = 0; bit = WR_CHANGE_ARRAY0; break;
    case WR_OP_DEVICE_ARRAY1: index = 1; bit = WR_CHANGE_ARRAY1; break;
    case WR_OP_DEVICE_ARRAY2: index = 2; bit = WR_CHANGE_ARRAY2; break;
    case WR_OP_DEVICE_ARRAY3: index = 3; bit = WR_CHANGE_ARRAY3; break;
    case WR_OP_DEVICE_ARRAY4: index = 4; bit = WR_CHANGE_ARRAY4; break;
    default: break;
    }
    bool wide = index >= 0;
    if ((wide && !d->arrays[index]) || (!wide && !d->table)) {
        complete(c, 0);
        return;
    }
    wr_msg_device_array a;
    qnb_error err = wr_msg_read_device_array(&c.m, wide, &a);
    if (!err && (a.status != 1 || a.flows != d->max_rxflow_id || a.interfaces != d->num_interfaces ||
                 a.count != d->array_length))
        err = QNB_ERR_INVALIDDATA;
    if (err) {
        complete(c, QNB_ERR_INVALIDDATA);
        return;
    }
    bool changed = false;
    for (uint32_t i = 0; i < a.count; ++i) {
        uint32_t v = 0;
        if (wr_msg_device_array_value(&c.m, &a, i, &v) != 0) {
            complete(c, QNB_ERR_INVALIDDATA);
            return;
        }
        if (wide) {
            changed = changed || d->arrays[index][i] != v;
            d->arrays[index][i] = v;
        } else {
            changed = changed || d->table[i] != uint16_t(v);
            d->table[i] = uint16_t(v);
        }
    }
    if (wide) {
        d->array_words[index][0] = a.words[0];
        d->array_words[index][1] = a.words[1];
    }
    if (changed)
        wr_device_report(d, bit);
    complete(c, 0);
}

void dispatch(const response &c)
{
    wr_device *d = c.device;
    switch (c.opcode) {
    case WR_OP_CAPABILITIES:
        handle_capabilities(c, false);
        break;
    case WR_OP_RENAME:
        if (wr_msg_result_is_ok(c.result))
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, QNB_ERR_DONE, "Device re-name done");
        else
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, mapped(c), "DeviceRename: Error renaming");
        complete(c, mapped(c));
        break;
    case WR_OP_NAMES:
    case WR_OP_NAMES_EXT:
        handle_names(c);
        break;
    case WR_OP_PROPERTIES:
        handle_properties(c);
        break;
    case WR_OP_UNICAST_PERFORMANCE:
        handle_unicast_performance(c);
        break;
    case WR_OP_PROP_AVAIL:
        handle_prop_avail(c);
        break;
    case WR_OP_CAPABILITY_FLAG_SET:
    case WR_OP_CAPABILITY_FLAG_CLEAR:
        if (c.low == WR_RESULT_OK) {
            uint32_t before = d->capability_flags;
            if (c.opcode == WR_OP_CAPABILITY_FLAG_SET)
                d->capability_flags |= WR_CAPABILITY_FLAG2;
            else
                d->capability_flags &= ~uint32_t(WR_CAPABILITY_FLAG2);
            if (before != d->capability_flags)
                wr_device_report(d, WR_CHANGE_CAPABILITIES);
        }
        complete(c, mapped(c));
        break;
    case WR_OP_CHANGED_ALL:
        if (refused(c))
            break;
        set_all_changed(d);
        complete(c, 0);
        break;
    case WR_OP_TX_CHANNELS:
        handle_channel_page(c, true);
        break;
    case WR_OP_RX_CHANNELS:
        handle_channel_page(c, false);
        break;
    case WR_OP_TX_LABELS:
        wr_device_handle_tx_labels(d, c.request, &c.m, c.result);
        break;
    case WR_OP_TX_LABEL_CHANGE:
        if (c.request->request_code == WR_CODE_BATCH_LABELS)
            wr_device_continue_batch(d, c.request, mapped(c));
        else
            wr_device_handle_tx_label_change(d, c.request, &c.m, c.result);
        break;
    case WR_OP_TX_FLAG1_SET:
    case WR_OP_TX_FLAG1_CLEAR:
        handle_tx_flag_ranges(c, 2, c.opcode == WR_OP_TX_FLAG1_SET);
        break;
    case WR_OP_TX_FLAG2_SET:
    case WR_OP_TX_FLAG2_CLEAR:
        handle_tx_flag_ranges(c, 4, c.opcode == WR_OP_TX_FLAG2_SET);
        break;
    case WR_OP_TX_VALUES:
    case WR_OP_TX_VALUES_ALT:
        handle_tx_values(c);
        break;
    case WR_OP_RX_RENAME:
        if (c.request->request_code == WR_CODE_BATCH_RXNAMES)
            wr_device_continue_batch(d, c.request, mapped(c));
        else
            complete(c, mapped(c));
        break;
    case WR_OP_RX_SUBSCRIBE:
        if (c.request->request_code == WR_CODE_BATCH_SUBSCRIBE)
            wr_device_continue_batch(d, c.request, mapped(c));
        else
            complete(c, mapped(c));
        break;
    case WR_OP_TX_FLOWS: {
        wr_flow_host h = wr_device_flow_host(d, c.request);
        TxFlowQuery(d->txflows, &h, &c.m);
        break;
    }
    case WR_OP_TX_FLOW_BATCH: {
        wr_flow_host h = wr_device_flow_host(d, c.request);
        wr_flow_handle_tx_batch(d->txflows, &h, &c.m);
        break;
    }
    case WR_OP_RX_FLOWS: {
        wr_flow_host h = wr_device_flow_host(d, c.request);
        RxFlowQuery(d->rxflows, &h, &c.m);
        break;
    }
    case WR_OP_RX_FLOW_CHANGE: {
        wr_flow_host h = wr_device_flow_host(d, c.request);
        wr_flow_handle_rx_change(d->rxflows, &h, &c.m);
        break;
    }
    case WR_OP_RX_FLOW_DETAILS:
    case WR_OP_RX_FLOW_DETAILS_ALT: {
        wr_flow_host h = wr_device_flow_host(d, c.request);
        wr_flow_handle_rx_templates(d->rxflows, &h, &c.m);
        break;
    }
    case WR_OP_PERFORMANCE:
        handle_performance(c);
        break;
    case WR_OP_DEVICE_TABLE:
    case WR_OP_DEVICE_ARRAY0:
    case WR_OP_DEVICE_ARRAY1:
    case WR_OP_DEVICE_ARRAY2:
    case WR_OP_DEVICE_ARRAY3:
    case WR_OP_DEVICE_ARRAY4:
        handle_device_array(c);
        break;
    default:
        // Every opcode without a handler (the unsubscribe, the one-channel queries) completes its
        // request with the result: an error the device answered is never taken for success.
        complete(c, mapped(c));
        break;
    }
}

// A reply answers what its request asked: the same opcode. Anything else is logged for `caller`.
bool answers_request(const wr_device *d, const wr_request *r, const uint8_t *data, size_t size, const char *caller)
{
    if (size < WR_HEADER_SIZE || wgcp_header_get_opcode(data) == wr_device_request_opcode(r))
        return true;
    qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Response opcode 0x%04x does not match request opcode 0x%04x\n", caller,
            unsigned(wgcp_header_get_opcode(data)), unsigned(wr_device_request_opcode(r)));
    return false;
}

void triage(wr_device *d, wr_request *r, const uint8_t *data, size_t size)
{
    response c;
    c.device = d;
    c.request = r;
    if (wr_msg_response_init(&c.m, data, size) != 0)
        return; // the container drops such messages before they get here
    c.result = c.m.header.status;
    c.low = c.result & 0x0FFF;
    c.high = uint16_t(c.result >> 12);
    c.opcode = c.m.header.opcode;
    wr_device_begin_processing(d);
    if (c.low == WR_RESULT_OK || (c.result & WR_RESULT_REPLY)) {
        dispatch(c);
    } else if (c.opcode == WR_OP_CAPABILITIES &&
               (c.result == WR_RESULT_NO_CAPABILITIES || c.result == WR_RESULT_NO_CAPABILITIES_ALT) &&
               c.m.size == WR_HEADER_SIZE) {
        handle_capabilities(c, true);
    } else if (((c.result & 0x0F00) || (c.result & 0xFF0) == 0x030) &&
               (c.opcode == WR_OP_NAMES || c.opcode == WR_OP_NAMES_EXT || c.opcode == WR_OP_PROPERTIES ||
                c.opcode == WR_OP_PERFORMANCE)) {
        dispatch(c);
    } else {
        qnb_error err = mapped(c);
        if (!err)
            err = QNB_ERR_FAULT;
        // The query that brings a device to ACTIVE cannot go on without these answers.
        if (r->request_code == WR_CODE_QUERY && (c.opcode == WR_OP_CAPABILITIES || c.opcode == WR_OP_PROP_AVAIL) &&
            (d->state == WR_DEVICE_STATE_QUERYING || d->state == WR_DEVICE_STATE_ACTIVE))
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, err,
                                c.opcode == WR_OP_CAPABILITIES ? "QueryCapabilities: Error querying capabilities"
                                                               : "QueryCapabilities: Error handling PROP_AVAIL");
        complete(c, err);
    }
    wr_device_end_processing(d);
}

} // namespace

void wr_device_handle_socket_response(wr_device *d, wr_request *r, const qnb_sockaddr *source, const uint8_t *data,
                                      size_t size)
{
    if (!d || !r)
        return;
    // A reply must come from where the request went and answer what it asked; anything else is
    // dropped and the request waits for its own reply (or its deadline).
    if (!wr_device_addresses_match(d->addresses, source)) {
        qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Message source port does not match any known addresses!\n",
                __func__);
        return;
    }
    if (answers_request(d, r, data, size, __func__))
        triage(d, r, data, size);
}

void wr_device_handle_domain_response(wr_device *d, wr_request *r, const uint32_t *source, const uint8_t *data,
                                      size_t size)
{
    if (!d || !r || !source)
        return;
    // The same rules as for a datagram: the reply must come from the device the request went to
    // and answer what it asked; anything else is dropped.
    if (!d->via_domain) {
        qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Message not requested via ZDM!\n", __func__);
        return;
    }
    if (source[0] != d->domain_address[0] || source[1] != d->domain_address[1]) {
        qnb_log(logger_of(d), QNB_LOG_ERROR, "%s: Message source does not match the device's domain address!\n",
                __func__);
        return;
    }
    if (answers_request(d, r, data, size, __func__))
        triage(d, r, data, size);
}
