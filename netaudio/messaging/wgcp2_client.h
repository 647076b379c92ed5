// A small client for a request/response protocol carried in request messages (wgcp_message.h):
// fixed request slots, sequence numbers, matching of responses to requests, an optional
// connect/disconnect handshake, keepalive requests and a receive time-out.
//
// The client runs in one of two modes chosen at creation. In application mode its owner puts the
// socket into its read set and calls wgcp2_client_process when the socket is readable or the
// deadline that the last call handed out has passed. In loop mode the socket and two keepalive
// timers (send and receive) live in the environment's event loop (qnb_loop.h), which runs the
// processing. Every deadline reads the library clock (qnb_time.h). The client takes no locks and is
// used by one thread.
#pragma once

#include <cstdint>

#include "netaudio/messaging/wgcp_message.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_time.h"

struct qnb_env;
struct wgcp2_client;

enum {
    WGCP2_OPCODE_KEEPALIVE = 0,
    WGCP2_OPCODE_CONNECT = 1,
    WGCP2_OPCODE_DISCONNECT = 2
};

// Client states (wgcp2_client_get_state).
enum {
    WGCP2_STATE_DISCONNECTED = 0,
    WGCP2_STATE_CONNECTING = 1,
    WGCP2_STATE_CONNECTED = 2,
    WGCP2_STATE_DISCONNECTING = 3
};

// Event flags.
enum {
    WGCP2_EVENT_STATE_CHANGED = 1,
    WGCP2_EVENT_CONNECTION_LOST = 2,
    WGCP2_EVENT_RESPONSE = 4,
    WGCP2_EVENT_MESSAGE = 8
};

// A request slot: the caller allocates it, fills its message and sends it.
struct wgcp2_request {
    wgcp2_client *client;
    unsigned index;
    bool in_use;
    wgcp_message message;
};

// What the callback receives. `request` and `message` may be null; the message is valid only
// during the call.
struct wgcp2_event {
    uint32_t flags;
    wgcp2_request *request;
    wgcp_message *message;
    qnb_error error;
};

typedef void (*wgcp2_callback_fn)(wgcp2_client *client, const wgcp2_event *event);

// A new client with headers of `kind` (WGCP_KIND_PLAIN or WGCP_KIND_EXTENDED) and one request slot
// when `with_slot` is set. Null when loop mode is asked for and the environment has no event loop,
// for a bad kind, or when memory runs out.
wgcp2_client *wgcp2_client_new(qnb_env *env, bool loop_mode, int kind, bool with_slot);
// Closes the client and frees it. The socket belongs to the caller.
void wgcp2_client_delete(wgcp2_client *client);

// Attaches `sock`. A null identity means client id 0 and the socket's local port. `handshake`
// makes the client use connect (1) and disconnect (2) requests; `wait_for_disconnect` keeps it in
// state 3 until the disconnect is answered. With a server address, every send goes to it and a
// datagram from any other address is dropped; without one the socket must be connected.
qnb_error wgcp2_client_initialise(wgcp2_client *client, const wgcp_client_identity *identity, qnb_socket sock,
                                  bool handshake, bool wait_for_disconnect, const qnb_sockaddr *server);

// Keepalive requests (opcode 0 with `protocol`) every `send_interval` without a request, and a
// disconnect when nothing came from the server for `receive_timeout`.
qnb_error wgcp2_client_set_keepalives(wgcp2_client *client, uint16_t protocol, const qnb_timeval *send_interval,
                                      const qnb_timeval *receive_timeout);

void wgcp2_client_set_context(wgcp2_client *client, void *context);
void *wgcp2_client_get_context(const wgcp2_client *client);
void wgcp2_client_set_callback(wgcp2_client *client, wgcp2_callback_fn callback);
int wgcp2_client_get_state(const wgcp2_client *client);
qnb_socket wgcp2_client_get_socket(const wgcp2_client *client);
// Sequence number that the next message will carry.
uint16_t wgcp2_client_get_next_seqnum(const wgcp2_client *client);
// The header kind of every message of the client.
int wgcp2_client_get_kind(const wgcp2_client *client);
// Set while the machine sleeps or is waking up (the owner follows a qnb_power_state_monitor): no
// silence from the server counts then. The application-mode check neither sends nor disconnects;
// in loop mode keepalives are still sent and an expired receive time-out is re-armed instead of
// disconnecting.
void wgcp2_client_set_sleeping(wgcp2_client *client, bool sleeping);

// The first free slot, marked in use. QNB_ERR_INVALIDPARAMETER without `out`, QNB_ERR_NOBUFS when
// every slot is in use.
qnb_error wgcp2_client_alloc_request(wgcp2_client *client, wgcp2_request **out);
void wgcp2_client_release_request(wgcp2_request *request);
// Sends a slot's request, gated by the handshake state (a refused request's slot is released).
qnb_error wgcp2_client_send_request(wgcp2_request *request);
// Stamps the next sequence number into `message` and sends its `length` bytes.
qnb_error wgcp2_client_send_message(wgcp2_client *client, wgcp_message *message);

// Reads and handles every waiting datagram and runs the keepalive check. `next` (may be null)
// receives the next deadline, {0, 0} when none.
qnb_error wgcp2_client_process(wgcp2_client *client, qnb_timeval *next);
qnb_error wgcp2_client_check_keepalives(wgcp2_client *client);
// The deadline computed by the last keepalive check, {0, 0} when none.
qnb_timeval wgcp2_client_get_next_deadline(const wgcp2_client *client);

// Forgets the socket (set to -1; in loop mode it leaves the loop and both timers are deleted) and
// restarts the sequence numbers at 0. The state stays.
qnb_error wgcp2_client_close(wgcp2_client *client);
