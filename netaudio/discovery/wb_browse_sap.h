// The SAP listener: AES67 streams announced with SAP on UDP port 9875. It keeps the sessions it
// heard; a new announcement adds one, a changed one replaces it, a deletion removes it, and a
// session not heard for an hour expires. Every addition, change and removal is reported through
// the browse event callback as an event of kind WB_EVENT_AES67_SESSION.
#pragma once

#include <cstdint>

#include "netaudio/discovery/sdp.h"
#include "netaudio/discovery/wb_device_table.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_list.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_time.h"

struct qnb_env;

enum {
    WB_EVENT_AES67_SESSION = 3, // record: a wb_browse_sap_session
    WB_SAP_PORT = 9875,
    WB_SAP_BUFFER_SIZE = 500,
    WB_SAP_EXPIRY_SECONDS = 3600
};

// What an event of kind WB_EVENT_AES67_SESSION points to.
struct wb_browse_sap_session {
    void *user_data;
    sdp_session session;
};

struct wb_browse_sap_entry {
    qnb_list_node link;
    qnb_timeval last_heard;
    wb_browse_sap_session data;
};

struct wb_browse_sap {
    qnb_env *env;
    wb_browse *owner;       // the first argument of the event callback
    qnb_list sessions;      // of wb_browse_sap_entry
    qnb_socket socket;      // -1 when closed
    uint8_t buffer[WB_SAP_BUFFER_SIZE];
    void *user_data;        // copied into every new session
    wb_browse_event_fn event_callback;
    sdp_session parsing;
};

qnb_error wb_browse_sap_new(qnb_env *env, wb_browse_sap **out);
// Closes the socket and frees every session without events.
void wb_browse_sap_delete(wb_browse_sap *sap);
void wb_browse_sap_set_owner(wb_browse_sap *sap, wb_browse *owner);
void wb_browse_sap_set_callback(wb_browse_sap *sap, wb_browse_event_fn fn);

// Opens the socket on UDP port 9875 and joins `group` on the interface with this index. Index 0:
// QNB_ERR_INVALIDPARAMETER; no such interface: QNB_ERR_NODEV. Any failure leaves the socket closed.
qnb_error wb_browse_sap_open(wb_browse_sap *sap, uint32_t interface_index, const char *group);
// QNB_ERR_SOCKTNOSUPPORT when no socket is open.
qnb_error wb_browse_sap_close(wb_browse_sap *sap);

// Reads one datagram from `socket` and applies it: a receive error is returned, a packet that
// does not parse gives QNB_ERR_INVALIDDATA and changes nothing.
qnb_error wb_browse_sap_process(qnb_socket socket, wb_browse_sap *sap);
// Applies one received packet (what wb_browse_sap_process does after the receive).
qnb_error wb_browse_sap_handle_packet(wb_browse_sap *sap, const uint8_t *packet, size_t size);
// Removes, reporting each, every session last heard an hour ago or earlier (whole seconds).
void wb_browse_sap_expire(wb_browse_sap *sap);
// Removes every session, reporting each removal when `report` is set.
void wb_browse_sap_clear(wb_browse_sap *sap, int report);
