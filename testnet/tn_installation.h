// The whole simulated installation in one place: the local configuration service, the local
// control-and-monitoring server with its devices, and one routing device per unit, all with the
// same names, models and unit ids, each unit published through DNS-SD with both of its services
// ("_netaudio-arc._udp" by its routing device, "_netaudio-cmc._udp" here), so that browsing finds
// every unit as a device with both services.
//
// Units are named "T<unit %03X>-QZ-<model>-<unit %04X>": the first part carries the unit id, and
// the third and fourth parts joined by '-' give the model ("KTV4-S" or "RQA-310"). The RQA-310
// units are counted per area as the program counts them: area 1 holds units 1-25, area 2 units
// 26-49, area 3 units 50-73, area 4 units 74-97.
//
// There is no thread: the owner calls tn_installation_poll (or _process) in its loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "netaudio/platform/qnb_error.h"

struct tn_config_service;
struct tn_conmon_server;
struct tn_routing_set;
struct tn_installation;

enum {
    TN_INSTALLATION_AREAS = 4,
    TN_INSTALLATION_MAX_KTV4S = 4,
    TN_INSTALLATION_NAME_SIZE = 32
};

// Where an area's unit ids start and how many units it can hold.
extern const unsigned tn_installation_area_first[TN_INSTALLATION_AREAS];
extern const unsigned tn_installation_area_size[TN_INSTALLATION_AREAS];

struct tn_installation_config {
    unsigned ktv4s;                        // KTV4-S units 1..ktv4s (0-4)
    unsigned area[TN_INSTALLATION_AREAS];  // RQA-310 units per area (0 up to the area's size)
    uint16_t config_port;                  // configuration service (0: ephemeral)
    uint16_t conmon_port;                  // control-and-monitoring server (0: ephemeral)
    uint16_t first_device_port;            // routing devices on consecutive ports (0: ephemeral each)
    bool publish;                          // publish every unit through DNS-SD
};

// The installation of the program's default settings: one KTV4-S, areas of 9, 8, 8 and 8
// RQA-310 units, the fixed local ports 8850 and 8900, devices from port 4440, published.
void tn_installation_config_init(tn_installation_config *cfg);

// The name of a unit; false when the unit id does not fit (above 0xFFF) or the model is unknown.
bool tn_installation_unit_name(const char *model, unsigned unit, char *out, size_t capacity);

// Starts every peer. Null on failure (a port in use, counts out of range); `error` (may be null)
// receives the reason, and a line on standard error names what failed.
tn_installation *tn_installation_new(const tn_installation_config *cfg, qnb_error *error);
void tn_installation_delete(tn_installation *inst);

tn_config_service *tn_installation_config_service(const tn_installation *inst);
tn_conmon_server *tn_installation_conmon_server(const tn_installation *inst);
tn_routing_set *tn_installation_routing(const tn_installation *inst);

size_t tn_installation_unit_count(const tn_installation *inst);
// The unit's name and model, in the order KTV4-S units, then areas 1 to 4; null beyond the count.
const char *tn_installation_unit_at(const tn_installation *inst, size_t index, const char **model);

// Whether every registration the daemon was asked for has been confirmed.
bool tn_installation_published(const tn_installation *inst);

// Every `every_nth` request (0: none; 1: all, the device is made silent) to the routing device of the unit `name` (case
// ignored; null: every unit) goes unanswered, counted per device. The installation keeps the
// count through the devices' request logs, which it empties as it goes. For every unit at once
// (null) the devices' counts start at points spread evenly over the first `every_nth` requests, so
// that short conversations lose their share too. QNB_ERR_NOTFOUND when no unit has that name.
qnb_error tn_installation_set_routing_loss(tn_installation *inst, const char *name, unsigned every_nth);
// Requests left unanswered by the loss above, over every unit, as far as processing has counted them.
size_t tn_installation_routing_lost(const tn_installation *inst);

// The unit `name` (case ignored) vanishes without a goodbye once its routing device has answered `n`
// more requests of `opcode` (0: of any): the routing device goes silent, and so does the unit's
// device behind the control-and-monitoring server; its DNS-SD records stay. A line on standard
// error says when. QNB_ERR_NOTFOUND when no unit has that name.
qnb_error tn_installation_vanish_after(tn_installation *inst, const char *name, uint16_t opcode, unsigned n);

// The unit `name` (case ignored) leaves the network now, as one switched off: the local server
// reports it gone, it sends and answers nothing, and both of its services are withdrawn with goodbyes.
// `away_ms` later on the library clock it comes back with the same names, ports and records, and
// unchanged or, with `spare`, as a spare unit that holds no subscription. A line on standard error
// says when it leaves and when it is back. QNB_ERR_NOTFOUND when no unit has that name,
// QNB_ERR_INVALIDSTATE while it is away.
qnb_error tn_installation_take_away(tn_installation *inst, const char *name, uint32_t away_ms, bool spare);

// Answers whatever is waiting at every peer (and brings back the units whose time has come).
qnb_error tn_installation_process(tn_installation *inst);
// Waits at most `timeout_ms` for traffic at any peer (or a DNS-SD reply), then processes.
qnb_error tn_installation_poll(tn_installation *inst, int timeout_ms);

// One line per subscribed receive channel of every unit (see tn_routing_device_dump_subscriptions).
void tn_installation_dump_subscriptions(const tn_installation *inst, FILE *out);
