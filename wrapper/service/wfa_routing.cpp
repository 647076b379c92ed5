#include "wrapper/service/wfa_routing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <strings.h>
#include <vector>

#include "netaudio/platform/qnb_log.h"
#include "netaudio/routing/wr_channel.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_device.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_time.h"

namespace {

constexpr int k_slots = WFA_ROUTING_SLOTS;
constexpr uint32_t k_requests = 4096;
constexpr uint32_t k_query_retry_us = 1000000; // a capabilities query that could not be sent
// A step that failed (an open, a query, a read) is tried again after 1 s, the pause doubling with
// each failure in a row up to 30 s, for as long as its device is in the device table.
constexpr uint32_t k_retry_first_ms = 1000;
constexpr uint32_t k_retry_last_ms = 30000;
constexpr unsigned k_all_kinds = (1u << WR_UPDATE_KINDS) - 1;
constexpr uint16_t k_no_channel = 0xFFFF;

// Payload sizes of the results posted here.
enum {
    k_ch_num_size = 36,
    k_patch_size = 68,
    k_label_size = 546,
    k_label_texts = 16,
    k_mute_size = 36,
    k_latency_size = 34,
    k_label_set_size = 66
};

// A step to be tried again after it failed.
struct retry {
    bool wanted;
    qnb_timeval at;
    uint32_t pause_ms; // the pause of the last failure in a row; 0 while the step has not failed
};

struct wfa_routing_slot {
    wr_device *device;
    uint32_t open;
    uint16_t request_id; // of the command 19 that opened it
    char name[WFA_NAME_FIELD + 1];
    uint32_t entry;          // the device-table entry it was opened for (wfa_device_serial)
    bool query_wanted;       // the capabilities query is still to be sent ...
    qnb_timeval query_at;    // ... at this time
    retry reopen;            // the device failed or could not be opened: it is opened again
    wr_request *updates[WR_UPDATE_KINDS]; // the update of each kind in flight
    bool marked_again[WR_UPDATE_KINDS];   // items of that kind were marked stale while it was in flight
    retry reread[WR_UPDATE_KINDS];        // the update of that kind ended with an error
    bool rx_read;                         // every receive channel has been read once
};

// A command that waits for its request: answered once, from the request's completion, or with
// ERR_UNKNOWN when its device is closed first.
struct pending_command {
    wr_device *device;
    wr_request *request;
    uint16_t code;
    uint16_t request_id;
    uint16_t index; // the 0-based channel a change names; the count of a waiting list
    std::vector<uint8_t> payload;
    std::unique_ptr<wr_batch_item[]> items; // a batch's own entries, alive until it completes
};

struct routing_block {
    wr_devices *container = nullptr;
    wfa_routing_slot slots[k_slots] = {};
    int next_slot = 0;
    bool sockets_flag = false;
    std::list<pending_command> pending;
};

routing_block g_block;

void reset_block()
{
    g_block.container = nullptr;
    std::memset(g_block.slots, 0, sizeof g_block.slots);
    g_block.next_slot = 0;
    g_block.sockets_flag = false;
    g_block.pending.clear();
}

bool is_active(const wr_device *d)
{
    return d && wr_device_get_state(d) == WR_DEVICE_STATE_ACTIVE;
}

bool time_reached(const qnb_timeval &at, const qnb_timeval &now)
{
    if (at.tv_sec != now.tv_sec)
        return at.tv_sec < now.tv_sec;
    return at.tv_usec <= now.tv_usec;
}

qnb_timeval later_by(const qnb_timeval &t, uint32_t micros)
{
    uint64_t total = uint64_t(t.tv_sec) * 1000000u + t.tv_usec + micros;
    return qnb_timeval{uint32_t(total / 1000000u), uint32_t(total % 1000000u)};
}

// Schedules the next try of a step that failed; a step already waiting keeps its time. The pause
// is 1 s after the first failure and doubles with each further one, to 30 s.
uint32_t retry_later(retry &r)
{
    if (!r.wanted) {
        r.pause_ms = r.pause_ms ? std::min(r.pause_ms * 2, k_retry_last_ms) : k_retry_first_ms;
        r.at = later_by(wfa_time_now(), r.pause_ms * 1000u);
        r.wanted = true;
    }
    return r.pause_ms;
}

// Whether the try of `r` is due; it is then no longer wanted.
bool retry_due(retry &r, const qnb_timeval &now)
{
    if (!r.wanted || !time_reached(r.at, now))
        return false;
    r.wanted = false;
    return true;
}

std::vector<uint8_t> named_payload(const char *name, size_t size)
{
    std::vector<uint8_t> payload(size, 0);
    wfa_put_text(payload.data(), payload.size(), 0, WFA_NAME_FIELD, name ? name : "");
    return payload;
}

void post(uint16_t code, const std::vector<uint8_t> &payload, uint16_t request_id, uint16_t status)
{
    wfa_post_result(payload.data(), payload.size(), code, request_id, status);
}

// Answers a command that cannot go on (ERR_UNKNOWN) and hands back `why` for its caller.
uint32_t refuse(uint16_t code, const std::vector<uint8_t> &payload, uint16_t request_id, uint32_t why)
{
    post(code, payload, request_id, ERR_UNKNOWN);
    return why;
}

wfa_routing_slot *slot_of_name(const char *name)
{
    if (!name)
        return nullptr;
    for (int i = 0; i < g_block.next_slot; ++i) {
        if (std::strncmp(g_block.slots[i].name, name, WFA_NAME_FIELD) == 0)
            return &g_block.slots[i];
    }
    return nullptr;
}

wfa_routing_slot *slot_of_device(wr_device *d)
{
    auto *s = static_cast<wfa_routing_slot *>(wr_device_get_context(d));
    return s && s->device == d ? s : nullptr;
}

// Failed steps are tried again only while the device is in the device table: its removal (or the
// table emptied) ends them.
bool present(const wfa_routing_slot *s)
{
    return wfa_device_lookup(s->name) != nullptr;
}

} // namespace

wr_device *wfa_routing_lookup(const char *name)
{
    wfa_routing_slot *s = slot_of_name(name);
    return s && s->open ? s->device : nullptr;
}

namespace {

// The routing device that serves `name` and its slot, or null.
wr_device *lookup(const char *name, wfa_routing_slot **slot)
{
    wr_device *d = wfa_routing_lookup(name);
    *slot = d ? slot_of_device(d) : nullptr;
    return d;
}

void register_sockets()
{
    wfa_set_socket_provider(WFA_SOCKETS_ROUTING, wfa_routing_get_fdset);
    wfa_set_socket_processor(WFA_SOCKETS_ROUTING, wfa_routing_process_fdset);
    wfa_set_sockets_changed();
}

void answer_lists(wfa_routing_slot *s);

// An update of `kind` failed: while the device is active and in the table it is sent again after a
// pause, and goes on from what the failed one did not reach (its items are still stale).
void reread_later(wfa_routing_slot *s, unsigned kind, qnb_error why)
{
    if (!is_active(s->device) || !present(s)) {
        wfa_log(QNB_LOG_INFO, "wfa_routing: update %u of '%s' ended with %d", kind, s->name, int(why));
        return;
    }
    const bool waiting = s->reread[kind].wanted;
    uint32_t pause = retry_later(s->reread[kind]);
    if (!waiting)
        wfa_log(QNB_LOG_INFO, "wfa_routing: update %u of '%s' ended with %d, sent again in %u ms", kind, s->name,
                int(why), unsigned(pause));
}

void on_update_done(wr_device *device, wr_request *request, qnb_error result)
{
    wfa_routing_slot *s = slot_of_device(device);
    if (!s)
        return;
    unsigned again = 0;
    bool rx = false;
    for (unsigned k = 0; k < WR_UPDATE_KINDS; ++k) {
        if (s->updates[k] != request)
            continue;
        s->updates[k] = nullptr;
        if (s->marked_again[k] && !result)
            again |= 1u << k;
        s->marked_again[k] = false;
        rx = rx || k == WR_UPDATE_RXCHANNELS;
        if (result)
            reread_later(s, k, result);
        else
            s->reread[k] = retry{};
    }
    if (rx) {
        s->rx_read = s->rx_read || !result;
        // Lists that wait for the first read go on waiting while that read is to be sent again.
        if (s->rx_read || !s->reread[WR_UPDATE_RXCHANNELS].wanted)
            answer_lists(s);
    }
    // What was marked again while the read went on is read by a following pass.
    if (again)
        wfa_routing_refresh(device, again);
}

} // namespace

void wfa_routing_refresh(wr_device *d, unsigned kinds)
{
    wfa_routing_slot *s = d ? slot_of_device(d) : nullptr;
    if (!s || !is_active(d))
        return;
    for (unsigned k = 0; k < WR_UPDATE_KINDS; ++k) {
        if (!(kinds & (1u << k)) || s->updates[k] || !wr_device_get_changed_flag(d, k))
            continue;
        wr_request *r = nullptr;
        qnb_error e = wr_device_update(d, on_update_done, &r, k);
        if (e)
            reread_later(s, k, e);
        else if (r)
            s->updates[k] = r;
        else if (k == WR_UPDATE_RXCHANNELS)
            s->rx_read = true; // nothing left to read
    }
}

namespace {

// The transmit channel id of `channel` in the routing device of `device` when it is routed here
// and active, else 0xFFFF. Its transmit channels are read again first when they are stale.
uint16_t tx_channel_id(const char *device, const char *channel)
{
    for (int i = 0; i < g_block.next_slot; ++i) {
        wfa_routing_slot &s = g_block.slots[i];
        if (!s.open || strncasecmp(s.name, device, WFA_NAME_FIELD) != 0)
            continue;
        if (!is_active(s.device))
            return k_no_channel;
        wfa_routing_refresh(s.device, 1u << WR_UPDATE_TXCHANNELS);
        wr_txchannel *c = wr_device_find_txchannel_by_name(s.device, channel, WR_MATCH_NAME | WR_MATCH_LABEL);
        return c ? c->id : k_no_channel;
    }
    return k_no_channel;
}

// Writes the subscription of receive channel `c` of slot `s`: the transmit device (the device's
// own name for ".") at `at`, the transmit channel id after it; empty and 0 when unsubscribed.
void put_subscription(const wfa_routing_slot *s, const wr_rxchannel *c, std::vector<uint8_t> &payload, size_t at)
{
    const char *device = c ? wr_rxchannel_get_subscription_device(c) : nullptr;
    const char *channel = c ? wr_rxchannel_get_subscription_channel(c) : nullptr;
    if (!device || !channel) {
        wfa_put_u16(payload.data(), payload.size(), at + WFA_NAME_FIELD, 0);
        return;
    }
    if (std::strcmp(device, ".") == 0)
        device = s->name;
    wfa_put_text(payload.data(), payload.size(), at, WFA_NAME_FIELD, device);
    wfa_put_u16(payload.data(), payload.size(), at + WFA_NAME_FIELD, tx_channel_id(device, channel));
}

// The subscription list of the first `count` receive channels (payload of code 32).
std::vector<uint8_t> subscription_list(wfa_routing_slot *s, uint16_t count)
{
    if (count > WFA_BATCH_ENTRIES)
        count = WFA_BATCH_ENTRIES;
    std::vector<uint8_t> payload = named_payload(s->name, WFA_BATCH_SIZE);
    wfa_put_u16(payload.data(), payload.size(), WFA_NAME_FIELD, count);
    for (uint16_t i = 0; i < count; ++i) {
        const wr_rxchannel *c = wr_device_rxchannel_at(s->device, i);
        put_subscription(s, c, payload, 34 + size_t(i) * WFA_BATCH_ENTRY_SIZE);
    }
    return payload;
}

// Refreshes `kinds` after the driver marked some of their items stale: a read of such a kind that
// is under way goes on to its end, and a following pass reads what it had passed already.
void refresh_marked(wfa_routing_slot *s, unsigned kinds)
{
    for (unsigned k = 0; k < WR_UPDATE_KINDS; ++k) {
        if ((kinds & (1u << k)) && s->updates[k])
            s->marked_again[k] = true;
    }
    wfa_routing_refresh(s->device, kinds);
}

std::vector<uint8_t> latency_payload(const wfa_routing_slot *s)
{
    std::vector<uint8_t> payload = named_payload(s->name, k_latency_size);
    uint32_t ms = wr_device_get_latency_ms(s->device);
    wfa_put_u16(payload.data(), payload.size(), WFA_NAME_FIELD, uint16_t(ms > 0xFFFF ? 0xFFFF : ms));
    return payload;
}

void finish_command(pending_command &c, qnb_error result)
{
    const uint16_t status = result ? ERR_UNKNOWN : ERR_NOERR;
    post(c.code, c.payload, c.request_id, status);
    wfa_routing_slot *s = slot_of_device(c.device);
    if (!s || result)
        return;
    // The answer of a change makes what is stored of its channel old: it is read again, by a
    // following pass when a read of its kind is under way, so that a page read while the change
    // was under way does not keep the old state.
    switch (c.code) {
    case WFA_CBACK_INF_SET_PACHE:
    case WFA_CBACK_INF_SET_RX_CHLABEL:
    case WFA_CBACK_INF_SET_RX_MUTE:
        if (wr_rxchannel *ch = wr_device_rxchannel_at(s->device, c.index))
            wr_channel_mark_stale(ch);
        refresh_marked(s, 1u << WR_UPDATE_RXCHANNELS);
        break;
    case WFA_CBACK_INF_SET_TX_MUTE:
        if (wr_txchannel *ch = wr_device_txchannel_at(s->device, c.index))
            wr_txchannel_mark_stale(ch);
        refresh_marked(s, 1u << WR_UPDATE_TXCHANNELS);
        break;
    case WFA_CBACK_INF_SET_TX_CHLABEL:
        wr_device_mark_changed(s->device, WR_UPDATE_TXLABELS);
        refresh_marked(s, 1u << WR_UPDATE_TXLABELS);
        break;
    case WFA_CBACK_INF_SET_BATCH_LIST:
        refresh_marked(s, 1u << WR_UPDATE_RXCHANNELS);
        break;
    default:
        break;
    }
}

void on_command_done(wr_device *device, wr_request *request, qnb_error result)
{
    for (auto it = g_block.pending.begin(); it != g_block.pending.end(); ++it) {
        if (it->device == device && it->request == request) {
            pending_command c = std::move(*it);
            g_block.pending.erase(it);
            if (result)
                wfa_log(QNB_LOG_INFO, "wfa_routing: command %u for '%s' failed: %d", unsigned(c.code),
                        wr_device_get_name(device), int(result));
            finish_command(c, result);
            return;
        }
    }
}

void add_pending(wr_device *d, wr_request *r, uint16_t code, uint16_t request_id, std::vector<uint8_t> payload,
                 uint16_t index = 0, std::unique_ptr<wr_batch_item[]> items = nullptr)
{
    pending_command c;
    c.device = d;
    c.request = r;
    c.code = code;
    c.request_id = request_id;
    c.index = index;
    c.payload = std::move(payload);
    c.items = std::move(items);
    g_block.pending.push_back(std::move(c));
}

// Takes the waiting commands that `match` out of the list, in their order (answering one may add
// others).
template <class Match> std::list<pending_command> take_pending(Match match)
{
    std::list<pending_command> taken;
    for (auto it = g_block.pending.begin(); it != g_block.pending.end();) {
        auto next = std::next(it);
        if (match(*it))
            taken.splice(taken.end(), g_block.pending, it);
        it = next;
    }
    return taken;
}

// Answers every command still waiting for a request of `d` with ERR_UNKNOWN.
void answer_pending(wr_device *d)
{
    std::list<pending_command> gone = take_pending([d](const pending_command &c) { return c.device == d; });
    for (pending_command &c : gone)
        post(c.code, c.payload, c.request_id, ERR_UNKNOWN);
}

// Whether the subscription list can be reported: every receive channel has been read once.
bool list_ready(const wfa_routing_slot *s)
{
    return s->rx_read || wr_device_num_rxchannels(s->device) == 0;
}

// Answers the subscription lists (code 32) that waited for the first read of the receive channels:
// with the list once that read has ended well on an active device, else with ERR_UNKNOWN.
void answer_lists(wfa_routing_slot *s)
{
    std::list<pending_command> waiting = take_pending([s](const pending_command &c) {
        return c.device == s->device && c.code == WFA_CBACK_INF_GET_BATCH_LIST;
    });
    for (pending_command &c : waiting) {
        if (s->rx_read && is_active(s->device))
            post(c.code, subscription_list(s, c.index), c.request_id, ERR_NOERR);
        else
            post(c.code, c.payload, c.request_id, ERR_UNKNOWN);
    }
}

void close_slot(wfa_routing_slot *s)
{
    if (s->device) {
        wr_device *d = s->device;
        s->device = nullptr;
        answer_pending(d);
        wr_device_close(d);
    }
    // The pause of a reopen is kept: the next failure in a row waits longer.
    s->open = 0;
    s->query_wanted = false;
    std::memset(s->updates, 0, sizeof s->updates);
    std::memset(s->marked_again, 0, sizeof s->marked_again);
    for (retry &r : s->reread)
        r = retry{};
    s->rx_read = false;
}

// The device failed or could not be opened: it is opened again after a pause, for as long as it
// is in the device table.
void reopen_later(wfa_routing_slot *s, qnb_error why)
{
    if (s->reopen.wanted)
        return;
    if (!present(s)) {
        wfa_log(QNB_LOG_WARNING, "wfa_routing: '%s' failed: %d", s->name, int(why));
        return;
    }
    uint32_t pause = retry_later(s->reopen);
    wfa_log(QNB_LOG_WARNING, "wfa_routing: '%s' failed: %d; opened again in %u ms", s->name, int(why),
            unsigned(pause));
}

void on_capabilities_done(wr_device *device, wr_request *, qnb_error result);

// The channel counts of an active device, answering the command 19 that routed it.
void post_channel_counts(const wfa_routing_slot *s)
{
    std::vector<uint8_t> payload = named_payload(s->name, k_ch_num_size);
    wfa_put_u16(payload.data(), payload.size(), 32, wr_device_num_txchannels(s->device));
    wfa_put_u16(payload.data(), payload.size(), 34, wr_device_num_rxchannels(s->device));
    post(WFA_CBACK_INF_CH_NUM, payload, s->request_id, ERR_NOERR);
}

void send_query(wfa_routing_slot *s)
{
    s->query_wanted = false;
    wr_request *r = nullptr;
    qnb_error e = wr_device_query_capabilities(s->device, on_capabilities_done, &r);
    if (e) {
        wfa_log(QNB_LOG_WARNING, "wfa_routing: capabilities query of '%s' not sent: %d", s->name, int(e));
        s->query_wanted = true;
        s->query_at = later_by(wfa_time_now(), k_query_retry_us);
    }
}

void on_capabilities_done(wr_device *device, wr_request *, qnb_error result)
{
    wfa_routing_slot *s = slot_of_device(device);
    if (!s)
        return;
    int state = wr_device_get_state(device);
    if (state == WR_DEVICE_STATE_ACTIVE) {
        if (s->reopen.pause_ms)
            wfa_log(QNB_LOG_INFO, "wfa_routing: '%s' is active again", s->name);
        s->reopen = retry{};
        wfa_routing_refresh(s->device, k_all_kinds);
        post_channel_counts(s);
    } else if (state == WR_DEVICE_STATE_RESOLVED || state == WR_DEVICE_STATE_QUERYING) {
        // The query ended without bringing the device to ACTIVE: ask again a second later.
        wfa_log(QNB_LOG_WARNING, "wfa_routing: capabilities query of '%s' ended with %d", s->name, int(result));
        s->query_wanted = true;
        s->query_at = later_by(wfa_time_now(), k_query_retry_us);
    }
    // A query that sent the device to ERROR (unanswered, or answered wrong) is seen by the state
    // callback, which opens the device again.
}

} // namespace

void wfa_routing_on_state(wr_device *device, uint32_t changes)
{
    wfa_routing_slot *s = slot_of_device(device);
    if (!s)
        return;
    switch (wr_device_get_state(device)) {
    case WR_DEVICE_STATE_RESOLVED:
        if ((changes & WR_CHANGE_STATE) && !s->query_wanted)
            send_query(s);
        break;
    case WR_DEVICE_STATE_QUERYING:
        register_sockets();
        break;
    case WR_DEVICE_STATE_ERROR:
        // Whatever sent it there (a query unanswered or answered wrong, a reply that does not fit
        // its layout): a lost datagram or two must not leave the device unroutable for good.
        if (changes & WR_CHANGE_STATE)
            reopen_later(s, wr_device_get_error(device));
        break;
    case WR_DEVICE_STATE_ACTIVE:
        if (changes == WR_CHANGE_PERFORMANCE) {
            post(WFA_CBACK_INF_GET_LATENCY, latency_payload(s), 0, ERR_NOERR);
        } else if ((changes & WR_CHANGE_RXCHANNELS) && wr_device_num_rxchannels(device) && list_ready(s)) {
            // Only once every receive channel has been read: a channel not read yet is not empty.
            post(WFA_CBACK_INF_GET_BATCH_LIST, subscription_list(s, wr_device_num_rxchannels(device)), 0,
                 ERR_NOERR);
        }
        break;
    default:
        break;
    }
}

namespace {

void on_container_changed(wr_devices *)
{
    g_block.sockets_flag = true;
}

// The updates of an active device that failed and are due: sent again while the device is in the
// table; lists waiting for its first read are answered once none will be.
void retry_updates(wfa_routing_slot *s, const qnb_timeval &now)
{
    for (unsigned k = 0; k < WR_UPDATE_KINDS; ++k) {
        if (!retry_due(s->reread[k], now))
            continue;
        if (is_active(s->device) && present(s)) {
            wfa_routing_refresh(s->device, 1u << k);
            continue;
        }
        s->reread[k] = retry{};
        if (k == WR_UPDATE_RXCHANNELS && !s->updates[k])
            answer_lists(s);
    }
}

void retry_steps()
{
    const qnb_timeval now = wfa_time_now();
    for (int i = 0; i < g_block.next_slot; ++i) {
        wfa_routing_slot &s = g_block.slots[i];
        if (retry_due(s.reopen, now)) {
            if (!present(&s))
                s.reopen = retry{};
            else if (!s.open || wr_device_get_state(s.device) == WR_DEVICE_STATE_ERROR)
                wfa_routing_watch_timeout(s.name, s.request_id);
            continue;
        }
        if (s.open)
            retry_updates(&s, now);
        if (!s.open || !s.query_wanted || !time_reached(s.query_at, now))
            continue;
        int state = wr_device_get_state(s.device);
        if (state == WR_DEVICE_STATE_RESOLVED || state == WR_DEVICE_STATE_QUERYING)
            send_query(&s);
        else
            s.query_wanted = false;
    }
}

// The active routing device of `name` for a command, or null with the reason in *why.
wr_device *active_device(const char *name, wfa_routing_slot **slot, uint32_t *why, uint32_t unrouted,
                         uint32_t inactive)
{
    wr_device *d = lookup(name, slot);
    *why = !d ? unrouted : !is_active(d) ? inactive : 0;
    return *why ? nullptr : d;
}

// Channel `channel` (1-based, through `at`) of the active device of `name` for a channel
// command, or null with the reason in *why.
template <typename Channel>
Channel *command_channel(const char *name, uint16_t channel, Channel *(*at)(wr_device *, size_t), wr_device **d,
                         uint32_t *why)
{
    wfa_routing_slot *s = nullptr;
    *d = active_device(name, &s, why, 8, 8);
    Channel *c = *d && channel ? at(*d, size_t(channel) - 1) : nullptr;
    if (!*why && !c)
        *why = WFA_E_BAD_ARGUMENT;
    return c;
}

// Answers a listing of channel labels: `put(d, i, answer, at)` writes the label of channel i at
// `at`, for as many channels as the answer holds.
template <typename Put>
uint32_t post_labels(const char *name, uint16_t request_id, uint16_t code, uint16_t (*count_of)(const wr_device *),
                     Put put)
{
    std::vector<uint8_t> answer = named_payload(name, k_label_size);
    wfa_routing_slot *s = nullptr;
    uint32_t why = 0;
    wr_device *d = active_device(name, &s, &why, 10, 8);
    if (why)
        return refuse(code, answer, request_id, why);
    wfa_routing_refresh(s->device, k_all_kinds);
    uint16_t count = count_of(d);
    if (count > k_label_texts)
        count = k_label_texts;
    wfa_put_u16(answer.data(), answer.size(), 32, count);
    for (uint16_t i = 0; i < count; ++i)
        put(d, i, answer, 34 + size_t(i) * WFA_NAME_FIELD);
    post(code, answer, request_id, ERR_NOERR);
    return 0;
}

} // namespace

uint16_t wfa_routing_latency_class(uint16_t microseconds)
{
    if (microseconds >= 2000)
        return 32;
    if (microseconds >= 1000)
        return 16;
    if (microseconds < 500)
        return 4;
    return 8;
}

uint32_t wfa_routing_create(void)
{
    qnb_env *env = wfa_env();
    if (!env)
        return WFA_E_NULL;
    reset_block();
    wr_devices *container = nullptr;
    qnb_error e = wr_devices_new(env, &container);
    if (e)
        return wfa_internal_from_library(e);
    e = wr_devices_set_max_handles(container, k_slots);
    if (!e)
        e = wr_devices_set_changed_callback(container, on_container_changed);
    if (!e)
        e = wr_devices_set_max_handles(container, wr_devices_get_max_handles(container));
    if (!e)
        e = wr_devices_set_num_requests(container, k_requests);
    if (e) {
        wr_devices_delete(container);
        return wfa_internal_from_library(e);
    }
    g_block.container = container;
    return 0;
}

void wfa_routing_delete(void)
{
    for (int i = 0; i < g_block.next_slot; ++i)
        close_slot(&g_block.slots[i]);
    if (g_block.container)
        wr_devices_delete(g_block.container);
    wfa_set_socket_provider(WFA_SOCKETS_ROUTING, nullptr);
    wfa_set_socket_processor(WFA_SOCKETS_ROUTING, nullptr);
    wfa_set_sockets_changed();
    reset_block();
}

uint32_t wfa_routing_get_fdset(qnb_socket_set *set)
{
    if (!set)
        return WFA_E_NULL;
    if (!g_block.container)
        return WFA_E_NOT_READY;
    qnb_error e = wr_devices_get_sockets(g_block.container, set);
    return e ? wfa_internal_from_library(e) : 0;
}

uint32_t wfa_routing_process_fdset(qnb_socket_set *set, int ready)
{
    if (!set)
        return WFA_E_NULL;
    if (!g_block.container)
        return 0;
    qnb_timeval due{0, 0};
    bool deadline = wr_devices_next_deadline(g_block.container, &due) && time_reached(due, wfa_time_now());
    if (ready > 0 || deadline) {
        qnb_error e = wr_devices_process(g_block.container, set);
        if (e)
            wfa_log(QNB_LOG_WARNING, "wfa_routing: processing failed: %d", int(e));
    }
    retry_steps();
    if (g_block.sockets_flag) {
        g_block.sockets_flag = false;
        register_sockets();
    }
    return 0;
}

uint32_t wfa_routing_watch_timeout(const char *name, uint16_t request_id)
{
    if (!name || !name[0])
        return WFA_E_NULL;
    wfa_routing_slot *s = slot_of_name(name);
    const uint32_t entry = wfa_device_serial(wfa_device_lookup(name));
    if (!s) {
        if (g_block.next_slot >= k_slots)
            return WFA_E_NOT_READY;
        s = &g_block.slots[g_block.next_slot++];
        std::memset(s, 0, sizeof *s);
        std::strncpy(s->name, name, WFA_NAME_FIELD);
    } else if (s->entry != entry) {
        // The device left the table since it was routed (it was lost, or the table was emptied):
        // what its routing device holds may be another unit's, so it is opened and read anew.
        wfa_log(QNB_LOG_INFO, "wfa_routing: '%s' was found again: opened anew", s->name);
        close_slot(s);
        s->reopen = retry{};
    } else if (s->open && wr_device_get_state(s->device) != WR_DEVICE_STATE_ERROR) {
        // Routed already and still working: the same routing device goes on serving the name. Its
        // channel counts are reported again, as a newly opened device's would be: whoever routes it
        // again (a new browse, which forgot them) waits for them.
        s->request_id = request_id;
        if (wr_device_get_state(s->device) == WR_DEVICE_STATE_ACTIVE)
            post_channel_counts(s);
        return 0;
    } else {
        close_slot(s);
    }
    s->entry = entry;
    // Opened now: a reopen that waited is not due any more (its pause is kept).
    s->reopen.wanted = false;
    if (!g_block.container)
        return WFA_E_NOT_READY;
    wr_device *d = nullptr;
    qnb_error e = wr_device_open(g_block.container, s->name, &d);
    if (e) {
        reopen_later(s, e);
        return wfa_internal_from_library(e);
    }
    s->device = d;
    wr_device_set_context(d, s);
    wr_device_set_changed_callback(d, wfa_routing_on_state);
    register_sockets();
    s->open = 1;
    s->request_id = request_id;
    if (wr_device_get_state(d) == WR_DEVICE_STATE_RESOLVED)
        send_query(s);
    return 0;
}

uint32_t wfa_routing_set_patch(const char *name, uint16_t rx_channel, const char *tx_device, uint16_t tx_channel,
                               uint16_t request_id)
{
    std::vector<uint8_t> answer = named_payload(name, k_patch_size);
    wfa_routing_slot *s = nullptr;
    uint32_t why = 0;
    wr_device *d = active_device(name, &s, &why, WFA_E_BAD_ARGUMENT, WFA_E_WRONG_STATE);
    if (!why && rx_channel >= WFA_BATCH_ENTRIES)
        why = WFA_E_BAD_ARGUMENT;
    wr_rxchannel *c = nullptr;
    if (!why) {
        wfa_routing_refresh(s->device, 1u << WR_UPDATE_RXCHANNELS);
        c = wr_device_rxchannel_at(d, rx_channel);
        if (!c)
            why = WFA_E_NULL;
    }
    wr_request *r = nullptr;
    if (!why) {
        qnb_error e;
        const int16_t number = int16_t(tx_channel);
        if (number > 0) {
            char text[8];
            std::snprintf(text, sizeof text, "%02d", int(number));
            e = wr_rxchannel_subscribe(c, on_command_done, &r, tx_device, text);
        } else {
            e = wr_rxchannel_subscribe(c, on_command_done, &r, nullptr, nullptr);
        }
        if (e || !r)
            why = WFA_E_NOT_ISSUED;
    }
    if (why)
        return refuse(WFA_CBACK_INF_SET_PACHE, answer, request_id, why);
    add_pending(d, r, WFA_CBACK_INF_SET_PACHE, request_id, std::move(answer), rx_channel);
    return 0;
}

uint32_t wfa_routing_get_patch(const char *name, uint16_t rx_channel, uint16_t request_id)
{
    std::vector<uint8_t> answer = named_payload(name, k_patch_size);
    wfa_routing_slot *s = nullptr;
    uint32_t why = 0;
    wr_device *d = active_device(name, &s, &why, WFA_E_BAD_ARGUMENT, WFA_E_WRONG_STATE);
    const wr_rxchannel *c = nullptr;
    if (!why) {
        wfa_routing_refresh(s->device, 1u << WR_UPDATE_RXCHANNELS);
        c = rx_channel < WFA_BATCH_ENTRIES ? wr_device_rxchannel_at(d, rx_channel) : nullptr;
        if (!c)
            why = WFA_E_BAD_ARGUMENT;
    }
    if (why)
        return refuse(WFA_CBACK_INF_GET_PACHE, answer, request_id, why);
    wfa_put_u16(answer.data(), answer.size(), 32, rx_channel);
    put_subscription(s, c, answer, 34);
    post(WFA_CBACK_INF_GET_PACHE, answer, request_id, ERR_NOERR);
    return 0;
}

uint32_t wfa_routing_get_batch(const char *name, uint16_t count, uint16_t request_id)
{
    wfa_routing_slot *s = nullptr;
    uint32_t why = 0;
    wr_device *d = active_device(name, &s, &why, WFA_E_WRONG_STATE, WFA_E_WRONG_STATE);
    if (why)
        return refuse(WFA_CBACK_INF_GET_BATCH_LIST, named_payload(name, WFA_BATCH_SIZE), request_id, why);
    if (count > WFA_BATCH_ENTRIES)
        count = WFA_BATCH_ENTRIES;
    if (wr_device_get_changed_flag(d, WR_UPDATE_RXCHANNELS)) {
        for (uint16_t i = 0; i < count; ++i) {
            if (wr_rxchannel *c = wr_device_rxchannel_at(d, i))
                wr_channel_mark_stale(c);
        }
        refresh_marked(s, 1u << WR_UPDATE_RXCHANNELS);
    }
    if (!list_ready(s)) {
        // Channels not read yet are not reported as empty: the list waits for the first read.
        std::vector<uint8_t> answer = named_payload(name, WFA_BATCH_SIZE);
        if (!s->updates[WR_UPDATE_RXCHANNELS] && !s->reread[WR_UPDATE_RXCHANNELS].wanted)
            return refuse(WFA_CBACK_INF_GET_BATCH_LIST, answer, request_id, WFA_E_NOT_ISSUED);
        add_pending(d, nullptr, WFA_CBACK_INF_GET_BATCH_LIST, request_id, std::move(answer), count);
        return 0;
    }
    post(WFA_CBACK_INF_GET_BATCH_LIST, subscription_list(s, count), request_id, ERR_NOERR);
    return 0;
}

uint32_t wfa_routing_set_batch(const char *name, uint16_t count, const wfa_patch_item *items, uint16_t request_id)
{
    std::vector<uint8_t> answer = named_payload(name, WFA_BATCH_SIZE);
    wfa_routing_slot *s = nullptr;
    wr_device *d = lookup(name, &s);
    if (!d) {
        post(WFA_CBACK_INF_SET_BATCH_LIST, answer, request_id, ERR_BATCH_PARAM);
        return WFA_E_BAD_ARGUMENT;
    }
    const int state = wr_device_get_state(d);
    if (state != WR_DEVICE_STATE_ACTIVE) {
        post(WFA_CBACK_INF_SET_BATCH_LIST, answer, request_id, uint16_t(ERR_BATCH_DEVICE_STATE + state));
        return WFA_E_WRONG_STATE;
    }
    if (!items || count == 0 || count > WFA_BATCH_ENTRIES) {
        post(WFA_CBACK_INF_SET_BATCH_LIST, answer, request_id, ERR_PARAM);
        return items ? WFA_E_BAD_ARGUMENT : WFA_E_NULL;
    }
    std::unique_ptr<wr_batch_item[]> entries(new wr_batch_item[count]());
    for (uint16_t i = 0; i < count; ++i) {
        wr_batch_item &e = entries[i];
        e.rx_channel = uint16_t(i + 1);
        const int16_t number = int16_t(items[i].channel);
        if (number <= 0)
            continue; // both texts empty: the receive channel is cleared
        std::snprintf(e.tx_channel, sizeof e.tx_channel, "%02d", int(number));
        // A name that does not fit with its terminator is refused by the device, never cut.
        std::memcpy(e.tx_device, items[i].device, strnlen(items[i].device, sizeof e.tx_device));
    }
    wr_request *r = nullptr;
    qnb_error e = wr_device_batch_subscribe(d, on_command_done, &r, count, entries.get());
    if (e || !r) {
        wfa_log(QNB_LOG_WARNING, "wfa_routing: batch of %u for '%s' not sent: %d", unsigned(count), s->name, int(e));
        return refuse(WFA_CBACK_INF_SET_BATCH_LIST, answer, request_id, WFA_E_NOT_ISSUED);
    }
    add_pending(d, r, WFA_CBACK_INF_SET_BATCH_LIST, request_id, answer, 0, std::move(entries));
    post(WFA_CBACK_INF_SET_BATCH_LIST, answer, request_id, WFA_STATUS_BATCH_SENT);
    return 0;
}

uint32_t wfa_routing_get_txlabels(const char *name, uint16_t request_id)
{
    return post_labels(name, request_id, WFA_CBACK_INF_GET_TX_CHLABEL, wr_device_num_txchannels,
                       [](wr_device *d, uint16_t i, std::vector<uint8_t> &answer, size_t at) {
                           wr_txlabel_item item;
                           size_t n = 1;
                           if (wr_txchannel_get_labels(wr_device_txchannel_at(d, i), &n, &item) == 0 && n > 0)
                               wfa_put_text(answer.data(), answer.size(), at, WFA_NAME_FIELD, item.name);
                       });
}

uint32_t wfa_routing_get_rxlabels(const char *name, uint16_t request_id)
{
    return post_labels(name, request_id, WFA_CBACK_INF_GET_RX_CHLABEL, wr_device_num_rxchannels,
                       [](wr_device *d, uint16_t i, std::vector<uint8_t> &answer, size_t at) {
                           const char *text = wr_rxchannel_get_name(wr_device_rxchannel_at(d, i));
                           wfa_put_text(answer.data(), answer.size(), at, WFA_NAME_FIELD, text ? text : "");
                       });
}

namespace {

// Answers a change command from its request: at once when nothing was sent or it was refused.
// `index`: the 0-based channel it changes.
uint32_t issue(wr_device *d, qnb_error e, wr_request *r, uint16_t code, uint16_t request_id,
               std::vector<uint8_t> answer, uint16_t index = 0)
{
    if (e)
        return refuse(code, answer, request_id, WFA_E_NOT_ISSUED);
    if (!r) {
        post(code, answer, request_id, ERR_NOERR);
        return 0;
    }
    add_pending(d, r, code, request_id, std::move(answer), index);
    return 0;
}

std::vector<uint8_t> label_answer(const char *name, uint16_t channel, const char *label)
{
    std::vector<uint8_t> answer = named_payload(name, k_label_set_size);
    wfa_put_u16(answer.data(), answer.size(), 32, channel);
    wfa_put_text(answer.data(), answer.size(), 34, WFA_NAME_FIELD, label ? label : "");
    return answer;
}

std::vector<uint8_t> mute_answer(const char *name, uint16_t channel, uint16_t value)
{
    std::vector<uint8_t> answer = named_payload(name, k_mute_size);
    wfa_put_u16(answer.data(), answer.size(), 32, channel);
    wfa_put_u16(answer.data(), answer.size(), 34, value);
    return answer;
}

} // namespace

uint32_t wfa_routing_set_txlabel(const char *name, uint16_t channel, const char *label, uint16_t request_id)
{
    std::vector<uint8_t> answer = label_answer(name, channel, label);
    wr_device *d = nullptr;
    uint32_t why = 0;
    wr_txchannel *c = command_channel(name, channel, wr_device_txchannel_at, &d, &why);
    if (why)
        return refuse(WFA_CBACK_INF_SET_TX_CHLABEL, answer, request_id, why);
    const char *text = label ? label : "";
    wr_txlabel_item current;
    size_t n = 1;
    bool has_label = wr_txchannel_get_labels(c, &n, &current) == 0 && n > 0;
    wr_request *r = nullptr;
    qnb_error e;
    if (!has_label)
        e = wr_txlabel_add(c, on_command_done, &r, text, 0);
    else if (text[0])
        e = wr_txlabel_replace(c, on_command_done, &r, current.name, text, 0);
    else
        e = wr_txlabel_remove(c, on_command_done, &r, current.name);
    return issue(d, e, r, WFA_CBACK_INF_SET_TX_CHLABEL, request_id, std::move(answer), uint16_t(channel - 1));
}

uint32_t wfa_routing_set_rxlabel(const char *name, uint16_t channel, const char *label, uint16_t request_id)
{
    std::vector<uint8_t> answer = label_answer(name, channel, label);
    wr_device *d = nullptr;
    uint32_t why = 0;
    wr_rxchannel *c = command_channel(name, channel, wr_device_rxchannel_at, &d, &why);
    if (why)
        return refuse(WFA_CBACK_INF_SET_RX_CHLABEL, answer, request_id, why);
    wr_request *r = nullptr;
    qnb_error e = wr_rxchannel_set_name(c, on_command_done, &r, label && label[0] ? label : nullptr);
    return issue(d, e, r, WFA_CBACK_INF_SET_RX_CHLABEL, request_id, std::move(answer), uint16_t(channel - 1));
}

uint32_t wfa_routing_get_txmute(const char *name, uint16_t channel, uint16_t request_id)
{
    wr_device *d = nullptr;
    uint32_t why = 0;
    const wr_txchannel *c = command_channel(name, channel, wr_device_txchannel_at, &d, &why);
    uint16_t muted = !why && wr_channel_is_flag2(c) ? 1 : 0;
    post(WFA_CBACK_INF_GET_TX_MUTE, mute_answer(name, channel, muted), request_id, why ? ERR_UNKNOWN : ERR_NOERR);
    return why;
}

uint32_t wfa_routing_get_rxmute(const char *name, uint16_t channel, uint16_t request_id)
{
    wr_device *d = nullptr;
    uint32_t why = 0;
    const wr_rxchannel *c = command_channel(name, channel, wr_device_rxchannel_at, &d, &why);
    uint16_t muted = !why && wr_channel_is_flag0(c) ? 1 : 0;
    post(WFA_CBACK_INF_GET_RX_MUTE, mute_answer(name, channel, muted), request_id, why ? ERR_UNKNOWN : ERR_NOERR);
    return why;
}

uint32_t wfa_routing_set_txmute(const char *name, uint16_t channel, uint16_t mute, uint16_t request_id)
{
    std::vector<uint8_t> answer = mute_answer(name, channel, mute);
    wr_device *d = nullptr;
    uint32_t why = 0;
    wr_txchannel *c = command_channel(name, channel, wr_device_txchannel_at, &d, &why);
    if (why)
        return refuse(WFA_CBACK_INF_SET_TX_MUTE, answer, request_id, why);
    wr_request *r = nullptr;
    qnb_error e = wr_txchannel_query(c, on_command_done, &r, (mute & 0xFF) != 0);
    return issue(d, e, r, WFA_CBACK_INF_SET_TX_MUTE, request_id, std::move(answer), uint16_t(channel - 1));
}

uint32_t wfa_routing_set_rxmute(const char *name, uint16_t channel, uint16_t mute, uint16_t request_id)
{
    std::vector<uint8_t> answer = mute_answer(name, channel, mute);
    wr_device *d = nullptr;
    uint32_t why = 0;
    wr_rxchannel *c = command_channel(name, channel, wr_device_rxchannel_at, &d, &why);
    if (why)
        return refuse(WFA_CBACK_INF_SET_RX_MUTE, answer, request_id, why);
    wr_request *r = nullptr;
    qnb_error e = wr_rxchannel_query(c, on_command_done, &r, (mute & 0xFF) != 0);
    return issue(d, e, r, WFA_CBACK_INF_SET_RX_MUTE, request_id, std::move(answer), uint16_t(channel - 1));
}

uint32_t wfa_routing_refresh_rx(const char *name, const uint8_t *bitmap, uint16_t count)
{
    if (!bitmap)
        return WFA_E_NULL;
    wfa_routing_slot *s = nullptr;
    uint32_t why = 0;
    wr_device *d = active_device(name, &s, &why, WFA_E_WRONG_STATE, WFA_E_WRONG_STATE);
    if (why)
        return why;
    if (count > 32)
        count = 32;
    for (uint16_t k = 0; k < count; ++k) {
        for (unsigned b = 0; b < 8; ++b) {
            if (!(bitmap[k] & (1u << b)))
                continue;
            if (wr_rxchannel *c = wr_device_rxchannel_at(d, size_t(k) * 8 + b))
                wr_channel_mark_stale(c);
        }
    }
    refresh_marked(s, 1u << WR_UPDATE_RXCHANNELS);
    wfa_routing_refresh(s->device, k_all_kinds);
    return 0;
}

uint32_t wfa_routing_properties_refresh(const char *name, uint16_t request_id)
{
    std::vector<uint8_t> answer = named_payload(name, k_latency_size);
    wfa_routing_slot *s = nullptr;
    uint32_t why = 0;
    wr_device *d = active_device(name, &s, &why, WFA_E_WRONG_STATE, WFA_E_WRONG_STATE);
    if (why)
        return refuse(WFA_CBACK_INF_PROPERTY_REFRESH, answer, request_id, why);
    wr_device_mark_changed(d, WR_UPDATE_PROPERTIES);
    wfa_routing_refresh(s->device, k_all_kinds & ~(1u << WR_UPDATE_PROPERTIES));
    wr_request *r = nullptr;
    qnb_error e = wr_device_update(d, on_command_done, &r, WR_UPDATE_PROPERTIES);
    return issue(d, e, r, WFA_CBACK_INF_PROPERTY_REFRESH, request_id, std::move(answer));
}

uint32_t wfa_routing_set_latency(const char *name, uint16_t microseconds, uint16_t request_id)
{
    std::vector<uint8_t> answer = named_payload(name, k_latency_size);
    wfa_routing_slot *s = nullptr;
    uint32_t why = 0;
    wr_device *d = active_device(name, &s, &why, WFA_E_WRONG_STATE, WFA_E_WRONG_STATE);
    if (why)
        return refuse(WFA_CBACK_INF_SET_LATENCY, answer, request_id, why);
    wr_request *r = nullptr;
    qnb_error e = wr_device_set_unicast_performance_us(d, microseconds, wfa_routing_latency_class(microseconds),
                                                       on_command_done, &r);
    if (e || !r)
        return refuse(WFA_CBACK_INF_SET_LATENCY, answer, request_id, WFA_E_NOT_ISSUED);
    add_pending(d, r, WFA_CBACK_INF_SET_LATENCY, request_id, std::move(answer));
    return 0;
}

uint32_t wfa_routing_get_latency(const char *name, uint16_t request_id)
{
    wfa_routing_slot *s = nullptr;
    uint32_t why = 0;
    active_device(name, &s, &why, WFA_E_BAD_ARGUMENT, WFA_E_WRONG_STATE);
    if (why)
        return refuse(WFA_CBACK_INF_GET_LATENCY, named_payload(name, k_latency_size), request_id, why);
    wfa_routing_refresh(s->device, 1u << WR_UPDATE_PROPERTIES);
    post(WFA_CBACK_INF_GET_LATENCY, latency_payload(s), request_id, ERR_NOERR);
    return 0;
}

int wfa_routing_slots_in_use(void)
{
    return g_block.next_slot;
}

int wfa_routing_slot_of(const char *name)
{
    wfa_routing_slot *s = slot_of_name(name);
    return s ? int(s - g_block.slots) : -1;
}
