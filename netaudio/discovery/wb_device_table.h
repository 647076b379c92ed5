// The device table that browsing fills: devices sorted by name, each with the services it was
// found through (per network), their TXT data, and its media channels with their labels. Every
// change is reported to the owner as an event {kind, record} with an action.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/discovery/wt_txt.h"
#include "netaudio/platform/qnb_error.h"

struct wb_browse;

// Browse types: one bit per service (row n of the service table is bit 1 << n).
enum {
    WB_BROWSE_MEDIA_DEVICE = 0x01,
    WB_BROWSE_MEDIA_CHANNEL = 0x02,
    WB_BROWSE_CONMON_DEVICE = 0x04,
    WB_BROWSE_SAFE_MODE = 0x08,
    WB_BROWSE_UPGRADE_MODE = 0x10,
    WB_BROWSE_VIA_DEVICE = 0x20,
    WB_BROWSE_AES67_DEVICE = 0x40,
    WB_BROWSE_ALL_TYPES = 0x7F
};

enum { WB_EVENT_DEVICE = 0, WB_EVENT_CHANNEL = 1, WB_EVENT_LABEL = 2 };
enum { WB_ACTION_ADDED = 0, WB_ACTION_CHANGED = 1, WB_ACTION_REMOVED = 2 };

// Results of removals that find nothing (not library errors; callers ignore them).
enum { WB_DEVICE_NOT_FOUND = 512, WB_CHANNEL_NOT_FOUND = 513 };

// Names hold at most 31 characters.
enum { WB_NAME_SIZE = 32, WB_ROUTER_INFO_SIZE = 64, WB_MAX_ENCODINGS = 8 };

// The browse configuration: which networks are browsed and how long a resolve may take.
struct wb_browse_config {
    uint32_t network_count;
    uint32_t interface_index[2]; // 0: learn from the first advertisement
    uint32_t network_mask;       // bit n: network n is browsed
    uint32_t loopback;           // 1: advertisements on the loopback interface form a further network
    int32_t resolve_timeout_sec;
    int32_t resolve_timeout_usec;
};

// Service bits per network: network 0, network 1, and "other" for every network number at or
// beyond the network count (the loopback network). `combined` is their OR.
struct wb_service_flags {
    uint32_t combined;
    uint32_t network[2];
    uint32_t other;
};

struct wb_browse_event {
    uint32_t kind;      // WB_EVENT_*
    const void *record; // wb_device, wb_channel or wb_channel_label
};

typedef void (*wb_browse_event_fn)(wb_browse *browse, const wb_browse_event *event, uint32_t action);
typedef void (*wb_browse_changed_fn)(wb_browse *browse);

// Service data as the device stores it (TXT values and port).
struct wb_media_device_data {
    uint16_t port;
    wt_version arcp_vers;
    wt_version arcp_min;
    wt_version router_vers;
    char router_info[WB_ROUTER_INFO_SIZE];
    uint8_t mf[8];
    uint8_t model[8];
};

struct wb_conmon_device_data {
    uint16_t port;
    wt_device_id id;
    uint8_t vid[8];
    uint8_t vba[4];
    uint8_t mf[8];
    uint8_t model[8];
};

struct wb_via_device_data {
    uint16_t port;
    wt_device_id id;
    wt_version minimum;
    wt_version current;
};

// Safe mode ("safe") and upgrade mode ("upgr").
struct wb_mode_device_data {
    wt_device_id id;
    uint16_t value;
};

struct wb_format {
    uint32_t sample_rate;
    uint16_t encoding_count;
    uint16_t encodings[WB_MAX_ENCODINGS];
};

struct wb_device;
struct wb_channel;
struct wb_device_table;

struct wb_channel_label {
    wb_channel *channel;
    wb_service_flags flags;
    char name[WB_NAME_SIZE];
};

struct wb_channel {
    wb_device *device;
    wb_service_flags flags;
    uint16_t id;
    char name[WB_NAME_SIZE];
    wb_format format;
    uint32_t label_count;
    uint32_t label_capacity;
    wb_channel_label **labels; // sorted by name
};

struct wb_device {
    wb_device_table *table;
    wb_service_flags flags;
    char name[WB_NAME_SIZE];
    char host_label[WB_NAME_SIZE]; // first label of the host of the last resolve
    wb_conmon_device_data conmon;
    wb_media_device_data media;
    wb_via_device_data via;
    wb_mode_device_data safe;
    wb_mode_device_data upgrade;
    uint32_t channel_count;
    uint32_t channel_capacity;
    wb_channel **channels; // sorted by channel id
};

struct wb_device_table {
    wb_browse *owner;
    const wb_browse_config *config; // for the network count
    uint32_t types;
    wb_browse_event_fn event_callback;
    wb_browse_changed_fn changed_callback;
    uint32_t count;
    uint32_t capacity;
    wb_device **devices; // sorted by name, byte-wise
};

qnb_error wb_device_table_new(wb_device_table **out, wb_browse *owner, const wb_browse_config *config,
                              uint32_t types);
// Frees every record without events.
void wb_device_table_delete(wb_device_table *table);
// Empties the table; with `events`, a removal is reported for every device first.
void wb_device_table_clear(wb_device_table *table, bool events);

wb_device *wb_device_table_find(const wb_device_table *table, const char *name);
// Finds the device or inserts it in name order. Names of 32 characters or more:
// QNB_ERR_INVALIDPARAMETER.
qnb_error wb_device_find_or_add(wb_device_table *table, const char *name, wb_device **out, bool *inserted);

// A service (one of the device bits: media, conmon, safe mode, upgrade mode, via) resolved on a
// network: sets its bit and copies the data that differ; reports added or changed when anything
// did. `*changed` tells whether it did.
qnb_error wb_device_table_update_media(wb_device_table *table, uint32_t network, const char *name,
                                       const char *host_label, const wb_media_device_data *data, bool *changed);
qnb_error wb_device_table_update_conmon(wb_device_table *table, uint32_t network, const char *name,
                                        const char *host_label, const wb_conmon_device_data *data, bool *changed);
qnb_error wb_device_table_update_via(wb_device_table *table, uint32_t network, const char *name,
                                     const char *host_label, const wb_via_device_data *data, bool *changed);
qnb_error wb_device_table_update_mode(wb_device_table *table, uint32_t service_bit, uint32_t network,
                                      const char *name, const char *host_label, const wb_mode_device_data *data,
                                      bool *changed);

// A media channel advertised as "channel@device": with `is_default` the channel itself (by id),
// else a label of it.
qnb_error wb_device_table_update_channel(wb_device_table *table, uint32_t network, const char *device_name,
                                         const char *channel_name, uint16_t channel_id, bool is_default,
                                         const wb_format *format, bool *changed);

// A service withdrawn on a network. WB_DEVICE_NOT_FOUND when the device is unknown.
int wb_device_table_remove_service(wb_device_table *table, uint32_t network, const char *name,
                                   uint32_t service_bit, bool *changed);
// A channel or label withdrawn on a network. WB_DEVICE_NOT_FOUND / WB_CHANNEL_NOT_FOUND.
int wb_device_table_remove_channel(wb_device_table *table, uint32_t network, const char *device_name,
                                   const char *channel_name, bool *changed);

// The device's id and process: the conmon service's when it has one, else the via device's, else
// null.
const wt_device_id *wb_browse_record_get_id(const wb_device *device);
