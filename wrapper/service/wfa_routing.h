// Routing driver: owns the routing container and one routing device per device the class layer
// asked to route (command 19), answers the per-device routing commands and reports channel counts
// and subscription changes. Worker thread only.
//
// Every command is answered once: from its device's reply when it sent a request, at once (with
// ERR_UNKNOWN, or a batch status) when its device is not routed here, not active, or the request
// could not be made, and with ERR_UNKNOWN when its routing device is closed before the reply came.
//
// A step that fails is tried again while its device is in the device table: a routing device that
// fails (or cannot be opened) is opened again, and an update of any kind that ends with an error is
// sent again, 1 s after the first failure, the pause doubling with each failure in a row to 30 s.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_socket_set.h"
#include "wrapper/service/wfa_records.h"

struct wr_device;

enum { WFA_ROUTING_SLOTS = 200 };

// Container lifetime (worker initialisation and clean-up; clean-up closes every routing device and
// forgets every slot, so a new start begins with none).
uint32_t wfa_routing_create(void);
void wfa_routing_delete(void);

uint32_t wfa_routing_get_fdset(qnb_socket_set *set);
uint32_t wfa_routing_process_fdset(qnb_socket_set *set, int ready);

// Command 19: opens the device's routing device in the slot of its name (a new slot for a new name;
// a name routed again keeps its slot, and its routing device is opened anew when it had failed, or
// when the device's entry left the device table since it was routed: a device that came back may
// be another unit, and is read anew; one that failed is also opened anew by itself, see above).
// WFA_E_NOT_READY when every slot is taken or there is no container.
uint32_t wfa_routing_watch_timeout(const char *name, uint16_t request_id);

// The routing device of the first slot whose name equals the first 32 characters of `name`, or
// null when there is none or it is closed.
wr_device *wfa_routing_lookup(const char *name);
// For each change kind in `kinds` (bit k: kind k) whose change flag is set, reads the device's data
// of that kind again (one update per kind at a time). Only for an active routing device of a slot.
void wfa_routing_refresh(wr_device *device, unsigned kinds);
// The changed callback of every routing device: queries it once resolved, and reports its latency
// and subscriptions once active.
void wfa_routing_on_state(wr_device *device, uint32_t changes);

// Commands 24 and 25.
uint32_t wfa_routing_set_patch(const char *name, uint16_t rx_channel, const char *tx_device,
                               uint16_t tx_channel, uint16_t request_id);
uint32_t wfa_routing_get_patch(const char *name, uint16_t rx_channel, uint16_t request_id);
// Commands 32 and 33; `items` holds 256 entries, entry i for receive channel i + 1.
uint32_t wfa_routing_get_batch(const char *name, uint16_t count, uint16_t request_id);
uint32_t wfa_routing_set_batch(const char *name, uint16_t count, const wfa_patch_item *items,
                               uint16_t request_id);
// Commands 20 to 23.
uint32_t wfa_routing_get_txlabels(const char *name, uint16_t request_id);
uint32_t wfa_routing_set_txlabel(const char *name, uint16_t channel, const char *label,
                                 uint16_t request_id);
uint32_t wfa_routing_get_rxlabels(const char *name, uint16_t request_id);
uint32_t wfa_routing_set_rxlabel(const char *name, uint16_t channel, const char *label,
                                 uint16_t request_id);
// Commands 26 to 29.
uint32_t wfa_routing_get_txmute(const char *name, uint16_t channel, uint16_t request_id);
uint32_t wfa_routing_set_txmute(const char *name, uint16_t channel, uint16_t mute, uint16_t request_id);
uint32_t wfa_routing_get_rxmute(const char *name, uint16_t channel, uint16_t request_id);
uint32_t wfa_routing_set_rxmute(const char *name, uint16_t channel, uint16_t mute, uint16_t request_id);
// Command 35: bit b of byte k of the 32-byte bitmap marks receive channel 8k + b stale.
uint32_t wfa_routing_refresh_rx(const char *name, const uint8_t *bitmap, uint16_t count);
// Commands 39, 40, 41.
uint32_t wfa_routing_properties_refresh(const char *name, uint16_t request_id);
uint32_t wfa_routing_set_latency(const char *name, uint16_t microseconds, uint16_t request_id);
uint32_t wfa_routing_get_latency(const char *name, uint16_t request_id);

// The frames per packet asked with a latency: 32 from 2000 us, 16 from 1000 us, 8 from 500 us,
// else 4.
uint16_t wfa_routing_latency_class(uint16_t microseconds);

// Diagnostics (worker thread): the number of slots taken, and the slot of `name` (-1 when none).
int wfa_routing_slots_in_use(void);
int wfa_routing_slot_of(const char *name);
