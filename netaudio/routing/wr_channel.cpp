#include "netaudio/routing/wr_channel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_name.h"
#include "netaudio/routing/wr_device.h"

namespace {

qnb_logger *logger_of(const wr_device *d)
{
    return d && d->env ? d->env->logger : nullptr;
}

bool set_text(char *dst, size_t size, const char *src)
{
    if (strncmp(dst, src, size) == 0)
        return false;
    snprintf(dst, size, "%s", src);
    return true;
}

// `dst` now `value`; true when that differs from before.
template <typename T>
bool set_value(T &dst, T value)
{
    if (dst == value)
        return false;
    dst = value;
    return true;
}

// A label slot now holding `name` for `channel`; true when that differs from before.
bool set_label(wr_txlabel &slot, uint16_t channel, const char *name)
{
    if (slot.channel == channel && strcmp(slot.name, name) == 0)
        return false;
    slot.channel = channel;
    snprintf(slot.name, sizeof slot.name, "%s", name);
    return true;
}

// Sends the request built so far; one that could not be built or sent is cancelled.
qnb_error send_built(wr_device *d, wr_request *r, qnb_error err)
{
    if (!err)
        err = wr_device_send(d, r);
    if (err)
        wr_devices_cancel_request(d->container, r);
    return err;
}

// Marks a channel to be read again and its kind changed on the device, reporting the flags when
// either is new.
void mark_stale(wr_device *d, bool *stale, int kind)
{
    bool newly = !*stale;
    *stale = true;
    bool flag = !d->changed[kind];
    d->changed[kind] = 1;
    if (newly || flag)
        wr_device_report(d, WR_CHANGE_FLAGS);
}

bool is_local(const char *device)
{
    return device && device[0] == '.' && device[1] == 0;
}

bool empty(const char *text)
{
    return !text || !text[0];
}

// The label slot (0-based) holding `name`, or -1.
int find_label(const wr_device *d, const char *name)
{
    for (uint16_t i = 0; d->labels && i < d->num_labels; ++i) {
        if (d->labels[i].channel != 0 && qnb_str_equal_nocase(d->labels[i].name, name))
            return i;
    }
    return -1;
}

// The tx channel whose own name is `name`, or none.
const wr_txchannel *find_tx_named(const wr_device *d, const char *name)
{
    for (uint16_t i = 0; d->txchannels && i < d->num_txchannels; ++i) {
        if (d->txchannels[i].name[0] && qnb_str_equal_nocase(d->txchannels[i].name, name))
            return &d->txchannels[i];
    }
    return nullptr;
}

qnb_error send_label_record(wr_txchannel *ch, wr_device_request_fn callback, wr_request **out, uint16_t label_id,
                            uint16_t channel_id, const char *name)
{
    wr_device *d = ch->device;
    wr_request *r = nullptr;
    wgcp_builder *b = nullptr;
    qnb_error err = wr_device_begin_request(d, callback, WR_OP_TX_LABEL_CHANGE, &r, &b);
    if (err)
        return err;
    wr_msg_list l;
    err = wr_msg_label_begin(&l, b, wr_device_protocol_version(d), 1);
    if (!err)
        err = wr_msg_label_add(&l, label_id, channel_id, name);
    err = send_built(d, r, err);
    if (err)
        return err;
    if (out)
        *out = r;
    return 0;
}

// An id list request of one channel (0x3030/0x3031, 0x2030/0x2031).
qnb_error send_one_channel(wr_device *d, wr_device_request_fn callback, wr_request **out, uint16_t opcode,
                           uint16_t id)
{
    wr_request *r = nullptr;
    wgcp_builder *b = nullptr;
    qnb_error err = wr_device_begin_request(d, callback, opcode, &r, &b);
    if (err)
        return err;
    err = wr_msg_build_id_list(b, wr_device_protocol_version(d), opcode, &id, 1, nullptr);
    err = send_built(d, r, err);
    if (err)
        return err;
    if (out)
        *out = r;
    return 0;
}

} // namespace

const char *wr_rxchannel_get_name(const wr_rxchannel *c)
{
    return c ? c->name : nullptr;
}

const char *wr_txchannel_get_name(const wr_txchannel *c)
{
    return c ? c->name : nullptr;
}

const char *wr_rxchannel_get_subscription_channel(const wr_rxchannel *c)
{
    return c && c->sub_channel[0] ? c->sub_channel : nullptr;
}

const char *wr_rxchannel_get_subscription_device(const wr_rxchannel *c)
{
    return c && c->sub_device[0] ? c->sub_device : nullptr;
}

const char *wr_rxchannel_get_subscription(const wr_rxchannel *c)
{
    return c && c->sub_text[0] ? c->sub_text : nullptr;
}

bool wr_channel_is_flag0(const wr_rxchannel *c)
{
    return c && (c->status & 1);
}

bool wr_channel_is_flag2(const wr_txchannel *c)
{
    return c && (c->status & 4);
}

void wr_channel_mark_stale(wr_rxchannel *c)
{
    if (c && c->device)
        mark_stale(c->device, &c->stale, WR_UPDATE_RXCHANNELS);
}

void wr_txchannel_mark_stale(wr_txchannel *c)
{
    if (c && c->device)
        mark_stale(c->device, &c->stale, WR_UPDATE_TXCHANNELS);
}

bool wr_txchannel_matches(const wr_txchannel *c, const char *name, unsigned flags)
{
    if (!c || !name)
        return false;
    if ((flags & WR_MATCH_NAME) && c->name[0] && qnb_str_equal_nocase(c->name, name))
        return true;
    if (flags & WR_MATCH_LABEL) {
        const wr_device *d = c->device;
        int slot = d ? find_label(d, name) : -1;
        if (slot >= 0 && d->labels[slot].channel == c->id)
            return true;
    }
    return false;
}

wr_txchannel *wr_device_find_txchannel_by_name(wr_device *d, const char *name, unsigned flags)
{
    for (uint16_t i = 0; d && d->txchannels && i < d->num_txchannels; ++i) {
        if (wr_txchannel_matches(&d->txchannels[i], name, flags))
            return &d->txchannels[i];
    }
    return nullptr;
}

qnb_error wr_txchannel_get_labels(const wr_txchannel *c, size_t *count, wr_txlabel_item *items)
{
    if (!c || !count)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->id == 0)
        return QNB_ERR_INVALIDSTATE;
    const wr_device *d = c->device;
    size_t room = *count;
    size_t n = 0;
    for (uint16_t i = 0; d && d->labels && i < d->num_labels; ++i) {
        if (d->labels[i].channel != c->id)
            continue;
        if (items && n < room) {
            items[n].channel = const_cast<wr_txchannel *>(c);
            items[n].label_id = uint16_t(i + 1);
            memcpy(items[n].name, d->labels[i].name, sizeof items[n].name);
        }
        ++n;
    }
    *count = n;
    return 0;
}

bool wr_txchannel_update(wr_txchannel *c, const wr_msg_tx_entry *e)
{
    bool changed = set_value(c->id, e->id);
    changed = set_text(c->name, sizeof c->name, e->name) || changed;
    changed = set_value(c->status, e->status) || changed;
    if (!wr_msg_format_equal(&c->format, &e->format)) {
        c->format = e->format;
        changed = true;
    }
    if (!e->value_valid && c->value != WR_VALUE_NONE) {
        c->value = WR_VALUE_NONE;
        changed = true;
    }
    return changed;
}

bool wr_rxchannel_update(wr_rxchannel *c, const wr_msg_rx_entry *e)
{
    bool changed = set_value(c->id, e->id);
    changed = set_text(c->name, sizeof c->name, e->name) || changed;
    if (c->status != e->status || c->mode != e->mode) {
        c->status = e->status;
        c->mode = e->mode;
        changed = true;
    }
    if (!wr_msg_format_equal(&c->format, &e->format)) {
        c->format = e->format;
        changed = true;
    }
    for (int i = 0; i < 2; ++i)
        changed = set_value(c->flow_flags[i], uint8_t(e->flow_flags[i] ? 1 : 0)) || changed;
    changed = set_value(c->value, e->value) || changed;
    changed = set_text(c->sub_channel, sizeof c->sub_channel, e->tx_channel) || changed;
    changed = set_text(c->sub_device, sizeof c->sub_device, e->tx_device) || changed;
    changed = set_value(c->sub_status, e->subscription_status) || changed;
    if (c->sub_channel[0] && c->sub_device[0])
        snprintf(c->sub_text, sizeof c->sub_text, "%s@%s", c->sub_channel, c->sub_device);
    else
        c->sub_text[0] = 0;
    return changed;
}

qnb_error wr_rxchannel_subscribe(wr_rxchannel *c, wr_device_request_fn callback, wr_request **out,
                                 const char *tx_device, const char *tx_channel)
{
    if (!c || !c->device)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->id == 0)
        return QNB_ERR_INVALIDSTATE;
    wr_device *d = c->device;
    if (d->state < WR_DEVICE_STATE_RESOLVED)
        return QNB_ERR_INVALIDSTATE;
    bool subscribe = !empty(tx_channel);
    if (subscribe) {
        if (empty(tx_device))
            return QNB_ERR_INVALIDPARAMETER;
        if (is_local(tx_device)) {
            if (!(c->mode & WR_RX_MODE_LOCAL))
                return QNB_ERR_NOTSUPPORTED;
        } else if (!wr_msg_name_is_valid(tx_device)) {
            return QNB_ERR_INVALIDPARAMETER;
        }
        if (!wr_msg_name_is_valid(tx_channel))
            return QNB_ERR_INVALIDPARAMETER;
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: subscribing %d to %s@%s\n", __func__, int(c->id), tx_channel,
                tx_device);
    } else {
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: unsubscribing %d\n", __func__, int(c->id));
    }
    wr_request *r = nullptr;
    wgcp_builder *b = nullptr;
    uint16_t opcode = subscribe ? WR_OP_RX_SUBSCRIBE : WR_OP_RX_UNSUBSCRIBE;
    qnb_error err = wr_device_begin_request(d, callback, opcode, &r, &b);
    if (err)
        return err;
    if (subscribe) {
        wr_msg_list l;
        err = wr_msg_subscribe_begin(&l, b, wr_device_protocol_version(d), 1);
        if (!err)
            err = wr_msg_subscribe_add(&l, c->id, tx_channel, tx_device);
    } else {
        uint16_t id = c->id;
        err = wr_msg_build_id_list(b, wr_device_protocol_version(d), opcode, &id, 1, nullptr);
    }
    err = send_built(d, r, err);
    if (err)
        return err;
    wr_channel_mark_stale(c);
    wr_device_mark_kind(d, WR_UPDATE_RXFLOWS);
    if (out)
        *out = r;
    return 0;
}

qnb_error wr_rxchannel_set_name(wr_rxchannel *c, wr_device_request_fn callback, wr_request **out, const char *name)
{
    if (!c || !c->device)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->id == 0)
        return QNB_ERR_INVALIDSTATE;
    wr_device *d = c->device;
    if (name && !wr_msg_name_is_valid(name))
        return QNB_ERR_INVALIDPARAMETER;
    if (name)
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: renaming %d to %s\n", __func__, int(c->id), name);
    else
        qnb_log(logger_of(d), QNB_LOG_DEBUG, "%s: renaming %d to default value\n", __func__, int(c->id));
    wr_request *r = nullptr;
    wgcp_builder *b = nullptr;
    qnb_error err = wr_device_begin_request(d, callback, WR_OP_RX_RENAME, &r, &b);
    if (err)
        return err;
    wr_msg_list l;
    err = wr_msg_rx_rename_begin(&l, b, wr_device_protocol_version(d), 1);
    if (!err)
        err = wr_msg_rx_rename_add(&l, c->id, name);
    err = send_built(d, r, err);
    if (err)
        return err;
    wr_channel_mark_stale(c);
    if (out)
        *out = r;
    return 0;
}

qnb_error wr_rxchannel_query(wr_rxchannel *c, wr_device_request_fn callback, wr_request **out, bool flag)
{
    if (!c || !c->device)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->id == 0)
        return QNB_ERR_INVALIDSTATE;
    qnb_error err = send_one_channel(c->device, callback, out, flag ? WR_OP_RX_CHANNEL_FLAGGED : WR_OP_RX_CHANNEL,
                                     c->id);
    if (!err)
        wr_channel_mark_stale(c);
    return err;
}

qnb_error wr_txchannel_query(wr_txchannel *c, wr_device_request_fn callback, wr_request **out, bool flag)
{
    if (!c || !c->device)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->id == 0)
        return QNB_ERR_INVALIDSTATE;
    qnb_error err = send_one_channel(c->device, callback, out, flag ? WR_OP_TX_CHANNEL_FLAGGED : WR_OP_TX_CHANNEL,
                                     c->id);
    if (!err)
        wr_txchannel_mark_stale(c);
    return err;
}

qnb_error wr_txlabel_add(wr_txchannel *c, wr_device_request_fn callback, wr_request **out, const char *name,
                         unsigned flags)
{
    if (!c || !c->device)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->id == 0)
        return QNB_ERR_INVALIDSTATE;
    if (!name || !wr_msg_name_is_valid(name))
        return QNB_ERR_INVALIDPARAMETER;
    wr_device *d = c->device;
    const wr_txchannel *named = find_tx_named(d, name);
    if (named)
        return named == c ? WR_ERR_LABEL_OWN_NAME : WR_ERR_LABEL_CHANNEL_NAME;
    int slot = find_label(d, name);
    if (slot >= 0 && d->labels[slot].channel == c->id)
        return 0;
    if (slot >= 0 && !(flags & WR_LABEL_MOVE))
        return WR_ERR_LABEL_OTHER_CHANNEL;
    return send_label_record(c, callback, out, slot >= 0 ? uint16_t(slot + 1) : 0, c->id, name);
}

qnb_error wr_txlabel_remove(wr_txchannel *c, wr_device_request_fn callback, wr_request **out, const char *name)
{
    if (!c || !c->device)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->id == 0)
        return QNB_ERR_INVALIDSTATE;
    if (!name || !wr_msg_name_is_valid(name))
        return QNB_ERR_INVALIDPARAMETER;
    wr_device *d = c->device;
    const wr_txchannel *named = find_tx_named(d, name);
    if (named)
        return named == c ? WR_ERR_LABEL_OWN_NAME : WR_ERR_LABEL_CHANNEL_NAME;
    int slot = find_label(d, name);
    if (slot < 0)
        return WR_ERR_LABEL_UNKNOWN;
    if (d->labels[slot].channel != c->id)
        return WR_ERR_LABEL_OTHER_CHANNEL;
    return send_label_record(c, callback, out, uint16_t(slot + 1), 0, nullptr);
}

qnb_error wr_txlabel_replace(wr_txchannel *c, wr_device_request_fn callback, wr_request **out, const char *old_name,
                             const char *new_name, unsigned flags)
{
    if (!c || !c->device)
        return QNB_ERR_INVALIDPARAMETER;
    if (c->id == 0)
        return QNB_ERR_INVALIDSTATE;
    if (!old_name || !new_name || !wr_msg_name_is_valid(new_name))
        return QNB_ERR_INVALIDPARAMETER;
    wr_device *d = c->device;
    int old_slot = find_label(d, old_name);
    if (old_slot < 0 || d->labels[old_slot].channel != c->id)
        return QNB_ERR_NOTFOUND;
    const wr_txchannel *named = find_tx_named(d, new_name);
    if (named)
        return named == c ? WR_ERR_LABEL_OWN_NAME : WR_ERR_LABEL_CHANNEL_NAME;
    int slot = find_label(d, new_name);
    if (slot >= 0 && d->labels[slot].channel != c->id && !(flags & WR_LABEL_MOVE))
        return WR_ERR_LABEL_OTHER_CHANNEL;
    return send_label_record(c, callback, out, uint16_t(old_slot + 1), c->id, new_name);
}

qnb_error wr_device_send_label_query(wr_device *d, wr_request *r, uint16_t from, bool *sent)
{
    *sent = false;
    uint16_t ids[WR_MSG_MAX_LABEL_SLOTS];
    size_t n = 0;
    for (uint32_t id = from ? from : 1; d->labels && id <= d->num_labels && n < WR_MSG_MAX_LABEL_SLOTS; ++id) {
        if (d->labels[id - 1].stale)
            ids[n++] = uint16_t(id);
    }
    if (n == 0)
        return 0;
    wgcp_builder *b = wr_device_restart_packet(d, r, WR_OP_TX_LABELS);
    qnb_error err = wr_msg_build_id_list(b, wr_device_protocol_version(d), WR_OP_TX_LABELS, ids, n, nullptr);
    if (!err)
        err = wr_device_send(d, r);
    if (!err)
        *sent = true;
    return err;
}

void wr_device_handle_tx_labels(wr_device *d, wr_request *r, const wr_msg_response *m, uint16_t result)
{
    wr_msg_entries l;
    qnb_error err = wr_msg_read_list(m, WR_LABEL_RECORD_SIZE, &l);
    if (err || !d->labels) {
        wr_device_complete(d, r, err);
        return;
    }
    // Records must name slots of the table.
    uint16_t last_record = 0;
    for (uint16_t i = 0; i < l.count; ++i) {
        uint16_t id = 0;
        if (wr_msg_entry_u16(m, &l, i, 0, &id) != 0 || id == 0 || id > d->num_labels) {
            wr_device_set_state(d, WR_DEVICE_STATE_ERROR, WR_ERR_LAYOUT,
                                i == 0 ? "TxLabelQuery: invalid ID in response" : "TxChannelQuery: invalid ID in request");
            wr_device_complete(d, r, WR_ERR_LAYOUT);
            return;
        }
        if (id > last_record)
            last_record = id;
    }
    // The ids asked for, in order.
    wr_msg_response req;
    wr_msg_entries rl;
    const uint8_t *p = r->packet.packet;
    if (wr_msg_response_init(&req, p, wgcp_header_get_length(p)) != 0 ||
        wr_msg_read_list(&req, WR_RANGE_SIZE, &rl) != 0) {
        wr_device_complete(d, r, QNB_ERR_INVALIDDATA);
        return;
    }
    bool more = wr_msg_result_has_more(result);
    bool changed = false;
    uint16_t first_asked = 0;
    uint16_t resume = 0;
    for (uint16_t k = 0; k < rl.count && !resume; ++k) {
        wr_msg_range range;
        uint16_t first, last;
        if (wr_msg_read_range(&req, &rl, k, &range) != 0 || !wr_msg_range_clamp(range, d->num_labels, &first, &last))
            continue;
        for (uint32_t id = first; id <= last; ++id) {
            if (!first_asked)
                first_asked = uint16_t(id);
            if (more && id > last_record) {
                resume = uint16_t(id);
                break;
            }
            wr_txlabel &slot = d->labels[id - 1];
            wr_msg_label rec;
            bool found = false;
            for (uint16_t i = 0; i < l.count && !found; ++i) {
                uint16_t rid = 0;
                wr_msg_entry_u16(m, &l, i, 0, &rid);
                if (rid == id && wr_msg_read_label(m, &l, i, &rec) == 0)
                    found = true;
            }
            uint16_t channel = 0;
            const char *name = "";
            if (found && wr_device_active_txchannel_by_id(d, rec.channel_id)) {
                channel = rec.channel_id;
                name = rec.name;
            }
            changed = set_label(slot, channel, name) || changed;
            slot.stale = false;
        }
    }
    if (resume) {
        if (resume == first_asked) {
            wr_device_complete(d, r, QNB_ERR_INVALIDDATA); // no progress
            return;
        }
        if (changed)
            wr_device_report(d, WR_CHANGE_TXLABELS);
        bool sent = false;
        err = wr_device_send_label_query(d, r, resume, &sent);
        if (err || !sent)
            wr_device_complete(d, r, err);
        return;
    }
    wr_device_clear_changed(d, WR_UPDATE_TXLABELS);
    wr_device_report(d, WR_CHANGE_TXLABELS);
    wr_device_complete(d, r, 0);
}

void wr_device_handle_tx_label_change(wr_device *d, wr_request *r, const wr_msg_response *m, uint16_t result_code)
{
    wr_msg_response req;
    wr_msg_entries rl, l;
    wr_msg_label asked;
    const uint8_t *p = r->packet.packet;
    if (wr_msg_response_init(&req, p, wgcp_header_get_length(p)) != 0 ||
        wr_msg_read_list(&req, WR_LABEL_RECORD_SIZE, &rl) != 0 || rl.count < 1 ||
        wr_msg_read_label(&req, &rl, 0, &asked) != 0 || !d->labels) {
        wr_device_report(d, WR_CHANGE_TXLABELS);
        wr_device_complete(d, r, QNB_ERR_INVALIDDATA);
        return;
    }
    qnb_error result = wr_msg_result_to_error(result_code);
    bool changed = false;
    if (result) {
        // Refused (an error in the reply's low bits): the device keeps its labels, so does the table.
    } else if (asked.name[0]) {
        wr_msg_range range{0, 0};
        if (wr_msg_read_list(m, WR_RANGE_SIZE, &l) != 0 || l.count != 1 || wr_msg_read_range(m, &l, 0, &range) != 0 ||
            range.last == 0 || (range.first != 0 && range.first != range.last) ||
            (asked.label_id != 0 && range.last != asked.label_id) || range.last > d->num_labels) {
            result = QNB_ERR_INVALIDDATA;
        } else {
            int before = find_label(d, asked.name);
            if (before >= 0 && before != range.last - 1) {
                d->labels[before].channel = 0;
                d->labels[before].name[0] = 0;
                changed = true;
            }
            changed = set_label(d->labels[range.last - 1], asked.channel_id, asked.name) || changed;
        }
    } else if (asked.channel_id == 0) {
        if (asked.label_id == 0 || asked.label_id > d->num_labels) {
            result = QNB_ERR_RANGE;
        } else if (d->labels[asked.label_id - 1].channel == 0) {
            result = QNB_ERR_NOTFOUND;
        } else {
            d->labels[asked.label_id - 1].channel = 0;
            d->labels[asked.label_id - 1].name[0] = 0;
            changed = true;
        }
    } else {
        result = QNB_ERR_INVALIDDATA;
    }
    if (changed || result == QNB_ERR_INVALIDDATA)
        wr_device_report(d, WR_CHANGE_TXLABELS);
    wr_device_complete(d, r, result);
}
