// Client of the PC's local configuration service (UDP 127.0.0.1:8850): keeps cached copies of the
// service's options (the network interfaces it can use) and state (status, device name, current
// and pending configuration, processes), asks for them, and sends a new configuration.
//
// It runs on the request/response client (wgcp2_client.h) with extended headers, one request slot
// and the connect/disconnect handshake; the state query is the connect request. The owner puts
// cmm_client_get_socket into its read set and calls cmm_client_process when the socket is readable
// or the deadline handed out by the last call has passed. Single-threaded; no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/conmon/cmm_codec.h"
#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"
#include "netaudio/platform/qnb_time.h"

struct qnb_env;
struct cmm_client;

typedef void (*cmm_changed_fn)(cmm_client *client, uint32_t changes, qnb_error result);

// ---------------------------------------------------------------------------------------------
// Client

// With a domain handler in the environment the client registers a domain client with it; the
// request/response client runs in loop mode when the environment carries an event loop. Null
// when either cannot be made.
cmm_client *cmm_client_new(qnb_env *env);
void cmm_client_delete(cmm_client *client);
// The environment the client was created with.
qnb_env *object_get_env(const cmm_client *client);
// Port of the service (0 = 8850); takes effect at the next cmm_client_init.
qnb_error cmm_client_set_port(cmm_client *client, uint16_t port);
qnb_error cmm_client_init(cmm_client *client, const char *name);
qnb_error cmm_client_close(cmm_client *client);

qnb_error cmm_client_set_context(cmm_client *client, void *context);
void *cmm_client_get_context(const cmm_client *client);
qnb_error cmm_client_set_callback(cmm_client *client, cmm_changed_fn callback);

qnb_socket cmm_client_get_socket(const cmm_client *client);
qnb_error cmm_client_process(cmm_client *client, qnb_timeval *next);

int cmm_client_get_connection_state(const cmm_client *client);
bool cmm_client_request_pending(const cmm_client *client);
const cmm_interface_list *cmm_client_get_options(const cmm_client *client);
const cmm_state *cmm_client_get_state(const cmm_client *client);
const cmm_client_info *cmm_client_get_info(const cmm_client *client);
const cmm_server_version *cmm_client_get_server_version(const cmm_client *client);
// The record the caller fills before cmm_client_set_system_config.
cmm_set_config *cmm_client_get_config_record(cmm_client *client);

qnb_error cmm_client_request_state(cmm_client *client);
qnb_error cmm_client_request_refresh(cmm_client *client);
qnb_error cmm_client_set_system_config(cmm_client *client, const cmm_set_config *record);

// The handler the request/response client calls (registered by cmm_client_init).
struct wgcp2_client;
struct wgcp2_event;
void cmm_client_on_event(wgcp2_client *rr, const wgcp2_event *event);

