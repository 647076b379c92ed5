// The browse object: the library's single entry point for finding devices. Its owner creates it
// for a mask of browse types, configures the networks, sets the callbacks, hands its sockets to
// its own wait and lets it process them. Underneath runs the browser chosen by the domain id: the
// ad-hoc (DNS-SD) browser for the all-0xFF id, the domain browser for a managed domain. When the
// environment has a domain handler the object registers a domain client with it and follows its
// domain: a change of domain id stops the running browser (reporting removals), switches browser
// and starts again; the handler's state events go to the domain browser.
#pragma once

#include <cstdint>

#include "netaudio/discovery/wb_device_table.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket_set.h"
#include "netaudio/platform/qnb_time.h"

struct qnb_env;
struct wb_adhoc_browse;
struct wb_domain_browse;
struct domain_client;
struct domain_requests;

enum { WB_DOMAIN_ID_SIZE = 16 };

typedef void (*wb_browse_sockets_changed_fn)(wb_browse *browse);

struct wb_browse {
    qnb_env *env;
    int running;
    uint8_t domain_id[WB_DOMAIN_ID_SIZE];
    domain_requests *requests; // both null without a domain handler
    domain_client *domain;
    wb_browse_config config;
    int config_set;
    uint32_t types;
    wb_device_table *table;
    uint32_t enabled_types;
    uint32_t accept_zero_port; // tuning words the ad-hoc browser reads; nothing sets them
    uint32_t socket_budget;
    int subtype_set;
    char subtype[64];
    wb_domain_browse *domain_browse; // at most one of the two browsers exists
    wb_adhoc_browse *adhoc;
    void *context;
    wb_browse_sockets_changed_fn sockets_changed_callback;
};

// QNB_ERR_INVALIDPARAMETER when `types` holds no browse-type bit.
qnb_error wb_browse_new(qnb_env *env, uint32_t types, wb_browse **out);
// Deletes the browser and the device table (records freed without events).
void wb_browse_delete(wb_browse *browse);

// Defaults: one network learned from the first advertisement, all networks, loopback accepted,
// resolves time out after 30 s.
void wb_browse_config_init(wb_browse_config *config);
// QNB_ERR_INVALIDSTATE when already running.
qnb_error wb_browse_start_config(wb_browse *browse, const wb_browse_config *config);
qnb_error wb_browse_start(wb_browse *browse);
// Stops browsing; the device table is emptied without removal events.
void wb_browse_stop(wb_browse *browse);

// QNB_ERR_NOTSUPPORTED with an event loop, QNB_ERR_INVALIDSTATE without a running browser.
qnb_error wb_browse_get_fdset(wb_browse *browse, qnb_socket_set *set);
// Processes the ready sockets of `set`; writes the earliest pending resolve deadline (or 0:0).
qnb_error wb_browse_process_fdset(wb_browse *browse, const qnb_socket_set *set, qnb_timeval *next_deadline);

void wb_browse_set_context(wb_browse *browse, void *context);
void *wb_browse_get_context(const wb_browse *browse);
void wb_browse_set_event_callback(wb_browse *browse, wb_browse_event_fn fn);
void wb_browse_set_changed_callback(wb_browse *browse, wb_browse_changed_fn fn);
// Runs whenever the sockets the object wants watched may have changed.
void wb_browse_set_sockets_changed_callback(wb_browse *browse, wb_browse_sockets_changed_fn fn);

// The domain client's token and domain flags (1 and 3 without a domain client).
uintptr_t wb_browse_get_domain_token(const wb_browse *browse);
uint32_t wb_browse_get_domain_flags(const wb_browse *browse);
// The current domain id (all 0xFF: the ad-hoc network).
void wb_browse_get_domain_id(uint8_t out[WB_DOMAIN_ID_SIZE], const wb_browse *browse);
// Empties the table without events and switches the browser for the id: all 0xFF creates the
// ad-hoc browser, all 0 runs none, any other id the domain browser. A browser that cannot be
// created leaves the stored id all 0 and its error is returned.
qnb_error wb_browse_set_domain_id(wb_browse *browse, const uint8_t id[WB_DOMAIN_ID_SIZE]);
