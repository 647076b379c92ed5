// Browse driver: owns the library's browse object, starts browsing on command 1, hands the browse
// sockets to the worker and turns device events into device-table entries, device queries and
// WFA_CBACK_INF_LOST_DEVICE results. Worker thread only.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_socket_set.h"

struct TCB;
struct wb_browse;
struct wb_browse_event;

// Creates the browse object once the environment exists (worker initialisation).
uint32_t wfa_browse_create(void);
// Deletes the browse object, finishes the duration task, drops the socket hooks (worker clean-up).
void wfa_browse_delete(void);

// Body of command 1: (re)starts browsing on `count` interface indices (at most 2); a negative
// `duration` browses without a time limit. WFA_E_NOT_READY without a browse object; a library
// error e as wfa_internal_from_library(e).
uint32_t wfa_browse_watch_timeout(uint16_t count, const int32_t *indices, uint16_t request_id,
                                  int32_t duration);

// Body of command 2: when browsing, drops the browse socket hooks, stops the browse object and
// clears the browsing flag.
void wfa_browse_stop(void);

// The browse socket provider and processor registered with the worker while browsing.
uint32_t wfa_browse_get_fdset(qnb_socket_set *set);
uint32_t wfa_browse_process_fdset(qnb_socket_set *set, int ready);

// The browse object's callbacks (inside wb_browse_process_fdset): its sockets changed (the next
// processing registers the provider again), a pass changed something (nothing to do), and a device
// event, which adds a device that offers both of its services to the device table and queries it,
// or reports a device of the table that went as lost.
void wfa_browse_on_sockets_changed(wb_browse *browse);
void wfa_browse_on_changed(wb_browse *browse);
void wfa_browse_on_device_event(wb_browse *browse, const wb_browse_event *event, uint32_t action);

// Run function of the duration task "wfa_browse_watch_timeout" (key 0x4000).
int wfa_browse_watch_timeout_run(TCB *task);

// What the driver asks of the control-and-monitoring driver: whether it is ready, the identity of
// the local server, the device table and the device queries. By default the control-and-monitoring
// driver's own functions; tests put a fake in their place (null restores the default). Set it
// while the layer is stopped.
struct wfa_browse_conmon_calls {
    bool (*is_ready)(void);
    bool (*server_device_id)(uint8_t id[8], uint16_t *process);
    bool (*device_known)(const char *name);
    uint32_t (*device_add)(const char *name);
    uint32_t (*device_remove)(const char *name);
    uint32_t (*query)(const char *name);
    void (*finish_queries)(void);
};
void wfa_browse_set_conmon_calls(const wfa_browse_conmon_calls *calls);
