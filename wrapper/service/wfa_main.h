// The service layer's entry and its worker thread: start and stop, requests from any thread, results
// out through one registered callback, the worker's loop with its socket hooks, and the pause that
// drivers use to hold the worker (interrupted at once by stop).
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_socket_set.h"

struct qnb_env;

// The result callback, called on the worker thread: `frame` holds the u16 result code, the u16
// request id (both host order) and then the payload; `size` counts all of it.
typedef void (*wfa_result_callback)(void *context, uint16_t status, const uint8_t *frame, size_t size);

enum { WFA_FRAME_HEADER = 4 };

// Starts the layer and its worker; `context` is handed to every `callback` call. Writes the new
// instance id to *id and returns 0 once the worker has initialised. Otherwise *id is 0 and the
// status tells why: ERR_PARAM (null id or callback), ERR_DUP_INIT (already started),
// ERR_CONMON_ABSENT / ERR_DNSSD_ABSENT (the worker's initialisation found either missing), ERR_EXIT
// (any other failure of the thread or its initialisation). Nothing is left running on failure.
uint16_t wfa_start(wfa_result_callback callback, void *context, uint16_t *id);

// Clears the run flag, wakes the worker from any wait and joins it; the worker cleans up before it
// ends. Requests are refused from the moment stop begins. Always ERR_NOERR.
uint16_t wfa_stop(void);
// Stops the layer only when it reports to `context` (the caller that started it).
uint16_t wfa_stop_for(const void *context);

// True from a successful start until stop.
bool wfa_is_started(void);
// True on the worker thread while its loop should go on.
bool wfa_is_running(void);
// The id of the running layer, 0 when none.
uint16_t wfa_instance_id(void);

// Queues command `command` with its argument block `params` (exactly the table's size); the request
// id in *request_id travels unchanged into the command's results. Any thread. Returns ERR_UNKNOWN
// for a command >= 42, ERR_NOT_IMPREMENTED for a command without a handler, ERR_PARAM for missing
// arguments or request id, ERR_NO_INIT when the layer is not running (request id set to 0),
// ERR_UNKNOWN when the task cannot be made (request id set to 0); else 0.
uint16_t wfa_request(uint32_t command, const void *params, uint16_t *request_id);

// Worker thread: hands a result to the registered callback at once. Null payload: WFA_E_NULL;
// code above 41 or payload above 8738 bytes: WFA_E_BAD_ARGUMENT; no callback: WFA_E_NOT_READY.
uint32_t wfa_post_result(const void *payload, size_t size, uint16_t code, uint16_t request_id,
                         uint16_t status);

// ---- socket hooks (worker thread) ------------------------------------------------------------------
// Each driver that owns a library client gives the worker a provider (adds the client's sockets to
// the set) and a processor (handles the ready sockets of a pass and the client's own deadlines),
// and sets the sockets-changed flag whenever its sockets may have changed. A result with bit 31 set
// is a failure: a failing provider is logged and skipped; a failing processor skips the remaining
// processors of that pass. The configuration-service client contributes one fixed socket.
enum wfa_socket_slot { WFA_SOCKETS_BROWSE = 0, WFA_SOCKETS_CONMON = 1, WFA_SOCKETS_ROUTING = 2 };
constexpr int WFA_SOCKET_SLOTS = 3;

typedef uint32_t (*wfa_socket_provider)(qnb_socket_set *set);
typedef uint32_t (*wfa_socket_processor)(qnb_socket_set *ready_set, int ready);
typedef uint32_t (*wfa_cmm_socket_processor)(qnb_socket_set *ready_set);

void wfa_set_socket_provider(wfa_socket_slot slot, wfa_socket_provider provider);
void wfa_set_socket_processor(wfa_socket_slot slot, wfa_socket_processor processor);
// The configuration-service client's socket (-1 for none) and its processor.
void wfa_set_cmm_socket(int socket, wfa_cmm_socket_processor processor);
void wfa_set_sockets_changed(void);

// The worker's wait per pass in milliseconds.
enum { WFA_WAIT_MS = 20 };

// Holds the worker for `ms` milliseconds; returns at once when the layer is stopping. Returns false
// when stop cut the pause short (or the layer is not running), true when the time ran out.
bool wfa_pause(unsigned ms);

// Replaces the pause with `hook` (null restores the real one); set it while the layer is stopped.
// The hook is called with the pause's length; wfa_pause then returns whether the layer still runs.
typedef void (*wfa_pause_hook)(unsigned ms, void *context);
void wfa_set_pause_hook(wfa_pause_hook hook, void *context);

// The library environment the worker took at initialisation (null when not running).
qnb_env *wfa_env(void);

// Creates the readiness task "wfa_main_check_initialized" (key 0x1000) that posts
// WFA_CBACK_INF_INIT with the current audio interface once the configuration-service and
// control-and-monitoring drivers are ready. One at a time: while one still waits, nothing new is
// created (that one posts, with its own request id). Worker thread. 0 or WFA_E_NO_MEMORY.
uint32_t wfa_main_check_initialized_start(uint16_t instance_id);

// Logs a line of the service layer through the environment's logger.
void wfa_log(unsigned level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Test seam: an extra initialisation step run after the drivers are created (null: none); an
// internal error code from it fails the initialisation. Set it while the layer is stopped.
typedef uint32_t (*wfa_init_step)(void);
void wfa_set_init_step(wfa_init_step step);

// Restores the process-wide state to that of a freshly loaded library (id counter, hooks, seams).
// Refused (false) while the layer is started.
bool wfa_state_reset(void);
