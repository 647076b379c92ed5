// Channel records of a routing device: one per transmit (tx) and receive (rx) channel, numbered
// from 1, and the table of tx labels (extra names under which a tx channel can be subscribed).
// The operations here subscribe an rx channel to a tx channel of some device or clear it, rename
// an rx channel, query one channel, and add, remove or replace tx labels. Names compare without
// regard to case; every name passes the device-name rule, and the tx device "." alone means the
// local device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/routing/wr_message.h"

struct wr_device;
struct wr_request;
typedef void (*wr_device_request_fn)(wr_device *device, wr_request *request, qnb_error result);

enum {
    WR_CHANNEL_NAME_SIZE = WR_NAME_SIZE,
    WR_SUBSCRIPTION_TEXT_SIZE = 66 // "%s@%s" of two names
};

// Flags of wr_txchannel_matches and wr_device_find_txchannel_by_name.
enum { WR_MATCH_NAME = 1, WR_MATCH_LABEL = 2 };
// Flag of the label operations.
enum { WR_LABEL_MOVE = 1 };

struct wr_txchannel {
    wr_device *device;
    uint16_t id;
    uint8_t status; // 3 bits
    uint16_t value; // WR_VALUE_NONE when not valid
    char name[WR_CHANNEL_NAME_SIZE];
    wr_msg_format format;
    bool stale;
};

struct wr_rxchannel {
    wr_device *device;
    uint16_t id;
    uint8_t mode;   // 3 bits; bit 0: may subscribe to the local device "."
    uint8_t status; // 2 bits
    uint16_t value;
    char name[WR_CHANNEL_NAME_SIZE];
    wr_msg_format format;
    char sub_channel[WR_CHANNEL_NAME_SIZE];
    char sub_device[WR_CHANNEL_NAME_SIZE];
    char sub_text[WR_SUBSCRIPTION_TEXT_SIZE];
    uint8_t sub_status; // 0 none, 1 unresolved, 2 resolved
    uint8_t flow_flags[2];
    bool flow_mark;
    uint16_t flow_number;
    bool stale;
};

// Slot i of the label table holds label id i + 1; channel 0 = free.
struct wr_txlabel {
    char name[WR_CHANNEL_NAME_SIZE];
    uint16_t channel;
    bool stale;
};

struct wr_txlabel_item {
    wr_txchannel *channel;
    uint16_t label_id;
    char name[WR_CHANNEL_NAME_SIZE];
};

const char *wr_rxchannel_get_name(const wr_rxchannel *channel);
const char *wr_txchannel_get_name(const wr_txchannel *channel);
// The subscribed tx channel / tx device name, or null when empty.
const char *wr_rxchannel_get_subscription_channel(const wr_rxchannel *channel);
const char *wr_rxchannel_get_subscription_device(const wr_rxchannel *channel);
// "channel@device", or null when not subscribed.
const char *wr_rxchannel_get_subscription(const wr_rxchannel *channel);
bool wr_channel_is_flag0(const wr_rxchannel *channel);
bool wr_channel_is_flag2(const wr_txchannel *channel);
void wr_channel_mark_stale(wr_rxchannel *channel);
void wr_txchannel_mark_stale(wr_txchannel *channel);
bool wr_txchannel_matches(const wr_txchannel *channel, const char *name, unsigned flags);
wr_txchannel *wr_device_find_txchannel_by_name(wr_device *device, const char *name, unsigned flags);
// Fills up to *count items and returns the number of labels of the channel through *count.
qnb_error wr_txchannel_get_labels(const wr_txchannel *channel, size_t *count, wr_txlabel_item *items);

// Subscribes the rx channel to `tx_channel`@`tx_device` (0x3010), or clears it when both are null
// or empty (0x3014).
qnb_error wr_rxchannel_subscribe(wr_rxchannel *channel, wr_device_request_fn callback, wr_request **out,
                                 const char *tx_device, const char *tx_channel);
qnb_error wr_rxchannel_set_name(wr_rxchannel *channel, wr_device_request_fn callback, wr_request **out,
                                const char *name);
qnb_error wr_rxchannel_query(wr_rxchannel *channel, wr_device_request_fn callback, wr_request **out, bool flag);
qnb_error wr_txchannel_query(wr_txchannel *channel, wr_device_request_fn callback, wr_request **out, bool flag);
qnb_error wr_txlabel_add(wr_txchannel *channel, wr_device_request_fn callback, wr_request **out, const char *name,
                         unsigned flags);
qnb_error wr_txlabel_remove(wr_txchannel *channel, wr_device_request_fn callback, wr_request **out,
                            const char *name);
qnb_error wr_txlabel_replace(wr_txchannel *channel, wr_device_request_fn callback, wr_request **out,
                             const char *old_name, const char *new_name, unsigned flags);
