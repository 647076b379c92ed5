// Browsing an unmanaged network through DNS-SD: one browse per enabled service type in "local",
// a bounded number of concurrent resolves with a deadline each, and the resolved TXT records
// written into the device table. All work happens inside the owner's socket processing.
#pragma once

#include <cstdint>

#include "netaudio/discovery/wb_browse_sap.h"
#include "netaudio/discovery/wb_device_table.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_list.h"
#include "netaudio/platform/qnb_socket_set.h"
#include "netaudio/platform/qnb_time.h"

struct qnb_env;
struct wt_dnssd_ref;
struct wb_adhoc_browse;
struct wb_adhoc_resolve;

enum {
    WB_SERVICE_ROWS = 7,
    WB_SERVICE_NO_ROW = 7,
    WB_SERVICE_ROW_AES67 = 6,
    WB_DEFAULT_MAX_RESOLVES = 16,
    WB_INSTANCE_NAME_SIZE = 64,
    WB_SUBTYPE_SIZE = 64
};

typedef qnb_error (*wb_resolved_fn)(wb_adhoc_resolve *entry, const char *host_label, uint16_t port,
                                    uint16_t txt_length, const unsigned char *txt);
typedef void (*wb_lost_fn)(wb_adhoc_browse *browser, uint32_t network, const char *name);

// One row per browse-type bit (row n is bit 1 << n).
struct wb_service_row {
    uint32_t bit;
    const char *label;
    uint32_t flag;
    const char *service_type; // null for the aes67 row (served by SAP)
    const char *full_type;
    wb_resolved_fn resolved;
    wb_lost_fn lost;
    uint32_t name_limit; // a name is accepted when non-empty and shorter than this
};

extern const wb_service_row wb_service_table[WB_SERVICE_ROWS];

// The row of a full type ("_netaudio-arc._udp."), or WB_SERVICE_NO_ROW.
uint32_t wb_service_row_of_type(const char *full_type);

struct wb_adhoc_resolve {
    wb_adhoc_browse *owner;
    int resolving;
    uint32_t network;
    uint32_t row;
    char name[WB_INSTANCE_NAME_SIZE];
    wt_dnssd_ref *ref;
    int socket;
    qnb_list_node link;
    qnb_timeval deadline;
};

typedef void (*wb_adhoc_sockets_changed_fn)(void *context);

struct wb_adhoc_browse {
    qnb_env *env;
    wb_browse_config config;
    int running;
    uint32_t types;
    wb_device_table *table;
    char subtype[WB_SUBTYPE_SIZE];
    int socket_mode; // always 2: one socket per service reference
    wt_dnssd_ref *refs[WB_SERVICE_ROWS];
    int sockets[WB_SERVICE_ROWS];
    int has_loopback;
    uint32_t loopback_index;
    uint32_t enabled_types;
    uint32_t max_resolves;
    qnb_list active;
    qnb_list pending;
    qnb_list free_entries;
    wb_browse_sap *sap; // the aes67 row: sessions announced with SAP
    void *context;
    wb_adhoc_sockets_changed_fn sockets_changed_callback;
    int accept_zero_port;
    qnb_timeval pass_time;
    qnb_error error;
    int sockets_changed;
    int tree_changed;
};

qnb_error wb_adhoc_browse_new(qnb_env *env, uint32_t types, wb_device_table *table, wb_adhoc_browse **out);
// Stops (removal events when `events` is 1) and frees.
void wb_adhoc_browse_delete(wb_adhoc_browse *browser, int events);
qnb_error wb_adhoc_browse_start_config(wb_adhoc_browse *browser, const wb_browse_config *config);
void wb_adhoc_browse_stop(wb_adhoc_browse *browser, int events);

// Adds the browse sockets and those of the active resolves. QNB_ERR_INVALIDSTATE when not running.
qnb_error wb_adhoc_browse_get_fdset(wb_adhoc_browse *browser, qnb_socket_set *set);
// Processes the ready sockets of `set`, ends overdue resolves, starts pending ones, and writes the
// earliest resolve deadline (0:0 when none) to `next_deadline`.
qnb_error wb_adhoc_browse_process_fdset(wb_adhoc_browse *browser, const qnb_socket_set *set,
                                        qnb_timeval *next_deadline);

void wb_adhoc_browse_set_context(wb_adhoc_browse *browser, void *context);
// The browse event callback, for the SAP part (the device table holds its own copy).
void wb_adhoc_browse_set_event_callback(wb_adhoc_browse *browser, wb_browse_event_fn fn);
void wb_adhoc_browse_set_sockets_changed_callback(wb_adhoc_browse *browser, wb_adhoc_sockets_changed_fn fn);
void wb_adhoc_browse_set_accept_zero_port(wb_adhoc_browse *browser, int accept);
// A null or over-long subtype leaves it empty.
void wb_adhoc_browse_set_subtype(wb_adhoc_browse *browser, const char *subtype);
// Total sockets allowed: the browses plus the concurrent resolves.
qnb_error wb_adhoc_browse_set_socket_budget(wb_adhoc_browse *browser, uint32_t budget);
