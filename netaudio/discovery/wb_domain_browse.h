// The domain browser: finds devices in a managed domain by asking the domain server. It sends one
// domain request (mode browse) and turns every device record of its results into additions,
// changes and removals in the browse object's device table, as the ad-hoc browser does from
// DNS-SD. Devices found through a domain are reported on network 0.
//
// States: idle; wanted (started, waiting for a usable domain); active (request outstanding). A
// domain is usable when the browse object's domain id is a managed one (neither all 0 nor all
// 0xFF), its domain client's token is 2 and the client's domain flags are 2 or 3.
#pragma once

#include <cstdint>

#include "netaudio/discovery/domain_requests.h"
#include "netaudio/discovery/wb_device_table.h"
#include "netaudio/messaging/tlv_message.h"
#include "netaudio/platform/qnb_error.h"

struct qnb_env;
struct wb_browse;

enum {
    WB_DOMAIN_BROWSE_IDLE = 0,
    WB_DOMAIN_BROWSE_WANTED = 1,
    WB_DOMAIN_BROWSE_ACTIVE = 2
};

// Option bit of the start parameters: ask the server for the request's value part (value 2).
enum { WB_DOMAIN_BROWSE_OPTION_VALUE = 1 };

struct wb_domain_browse_params {
    uint8_t id[16];
    uint8_t bytes[8];
    uint32_t option;
};

struct wb_domain_browse {
    qnb_env *env;
    wb_browse *browse;
    tlv_domain_request request; // template
    uint32_t option;
    domain_requests *requests;
    wb_device_table *table;
    bool has_value;
    uint8_t value[8];
    uint32_t state;
    uint32_t request_id;
};

// `owner` is the browse object. QNB_ERR_NOMEMORY when allocation fails.
qnb_error wb_domain_browse_new(wb_browse *owner, const tlv_domain_request *request_template, wb_device_table *table,
                               domain_requests *requests, wb_domain_browse **out);
// Stores the 8-byte browse value (null keeps the old one).
qnb_error wb_domain_browse_set_value(wb_domain_browse *browser, const uint8_t *value);
// QNB_ERR_INVALIDSTATE unless idle. Sends the request at once when the domain is usable (a send
// error returns the browser to idle and is returned); otherwise waits in state wanted.
qnb_error wb_domain_browse_start(wb_domain_browse *browser, const wb_domain_browse_params *params);
// The domain client's domain or state changed: a wanted browser sends its request once the
// domain is usable; an active one returns 1 while it stays usable, else cancels its request and
// waits again.
qnb_error wb_domain_browse_domain_changed(wb_domain_browse *browser);
// QNB_ERR_INVALIDSTATE when idle. Empties the table (reporting each removal with `notify`),
// cancels an outstanding request (its result is returned) and becomes idle.
qnb_error wb_domain_browse_stop(wb_domain_browse *browser, bool notify);
void wb_domain_browse_delete(wb_domain_browse *browser, bool notify);

// One device record from the server (the request's result callback).
void wb_domain_browse_device_updated(void *browser, uint32_t request_id, const tlv_device_record *record);
