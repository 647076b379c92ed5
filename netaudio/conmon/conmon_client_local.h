// The local link of the control-and-monitoring client: the connected UDP socket to the server, the
// link state machine, the Connect exchange (with the fall-back to the older Connect form when the
// server is older), disconnect, keepalive, request sending with request ids, and the deadlines of
// the auto-reconnect mode on the library clock.
//
// In manual mode (the only one the client's callers use) the owner connects and disconnects; the
// link arms no deadline. In auto-reconnect mode the link keeps itself connected: a connection
// time-out per state (CONNECTING 2 s, CONNECTED 10 s without a message, RECONNECT_PENDING 5 s)
// and a keepalive every 3 s.
//
// With an event loop in the environment the link's socket is registered in the loop, whose socket
// callback reads it, and the two deadlines are the loop's "keepalive send" and "connection
// timeout" timers; without one the owner collects the socket and the deadlines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_time.h"

struct qnb_env;
struct qnb_timer;

struct conmon_client_local {
    qnb_env *env;
    conmon_client *client;
    int auto_reconnect;
    qnb_socket sock;
    int state;
    uint16_t next_request_id;
    qnb_timeval next_keepalive;
    qnb_timeval next_connection_timeout;
    qnb_timeval keepalive_interval;
    qnb_timeval connection_timeout_interval;
    conmon_request inflight; // the Connect (or keepalive) awaiting its response
    qnb_timer *keepalive_timer;  // event-loop mode only
    qnb_timer *connection_timer; // event-loop mode only
};

qnb_error conmon_client_local_new(qnb_env *env, conmon_client *client, conmon_client_local **out);
void conmon_client_local_delete(conmon_client_local *link);

qnb_error conmon_client_local_connect(conmon_client_local *link, conmon_request_fn callback);
qnb_error conmon_client_local_open_socket(conmon_client_local *link, bool reconnecting);
qnb_error conmon_client_local_disconnect(conmon_client_local *link);
// The caller released the in-flight Connect.
void conmon_client_local_abort_connect(conmon_client_local *link);
// Switches the auto-reconnect mode (nothing in the product does; tests do).
void conmon_client_local_set_auto_reconnect(conmon_client_local *link, int enabled);

// The next request id: starts at 1, never 0.
uint16_t conmon_client_local_take_request_id(conmon_client_local *link);
// Sends a request built in the client's send buffer (`length` bytes). With a callback or an
// out-pointer the request takes a slot of the client. See conmon_client.h.
qnb_error conmon_client_local_send_request(conmon_client_local *link, size_t length, conmon_request_fn callback,
                                           conmon_request **out_request);
qnb_error conmon_client_local_send_keepalive(conmon_client_local *link);

// Handles a Connect response (already validated) matched to `slot`.
qnb_error conmon_client_local_on_connect_response(conmon_client_local *link, conmon_request *slot, const uint8_t *data,
                                                  size_t size);
// A read error of the link's socket; returns what the read reports.
qnb_error conmon_client_local_on_socket_error(conmon_client_local *link, qnb_error error);
// Re-arms the connection time-out after a received message, the keepalive after a send.
void conmon_client_local_rearm_connection_timeout(conmon_client_local *link);
void conmon_client_local_rearm_keepalive(conmon_client_local *link);
// Runs the deadlines that have passed (auto-reconnect mode).
void conmon_client_local_process_actions(conmon_client_local *link);
qnb_error conmon_client_local_process_connection_timeout(conmon_client_local *link);
// The earlier of the two deadlines; {0, 0} when neither is armed.
qnb_timeval conmon_client_local_earliest_deadline(const conmon_client_local *link);

// Time helpers of the library clock.
qnb_timeval conmon_time_now();
qnb_timeval conmon_time_add(qnb_timeval t, qnb_timeval interval);
bool conmon_time_passed(qnb_timeval deadline, qnb_timeval now); // deadline armed and <= now
bool conmon_time_before(qnb_timeval a, qnb_timeval b);
