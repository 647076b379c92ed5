// Configuration-service driver: owns the configuration-service client, learns the current audio
// interface, answers the interface commands (11, 12, 13) and reports real interface changes.
// Worker thread only.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_socket_set.h"
#include "wrapper/service/wfa_records.h"

// Client lifetime (worker initialisation; clean-up stops, closes and deletes the client, frees its
// buffers and zeroes the driver's state).
uint32_t wfa_cmm_create(void);
void wfa_cmm_delete(void);
// Creates the start-up task "wfa_cmm_init": it connects to the service, reads its options and state
// and, when no audio interface is set, makes the first listed interface the audio interface.
uint32_t wfa_cmm_start(void);
// True once the current audio interface is known.
bool wfa_cmm_is_ready(void);

// The processor of the client's socket, registered with the worker while the start-up connects.
uint32_t wfa_cmm_process_fdset(qnb_socket_set *set);

// The service's interface list; the records stay owned by the driver until the next listing.
uint32_t wfa_cmm_get_if_list(wfa_interface_list *out);
// The current audio interface.
uint32_t wfa_cmm_get_if(wfa_interface_record *out);
// Body of command 12: asks the service to make the interface named by `record` the audio
// interface. WFA_E_NOT_READY before the current interface is known, WFA_E_BAD_ARGUMENT for the
// interface in use, else as wfa_cmm_watch.
uint32_t wfa_cmm_set_if(const wfa_interface_record *record, uint16_t request_id);
// Sends the change and watches it: WFA_E_WRONG_STATE while another process holds the service's
// lock, WFA_E_CHANGING while a change is under way, WFA_E_NOT_FOUND for a name the service does not
// list, WFA_E_NO_SERVICE_DATA without the service's options or configuration. A request id other
// than 0 is answered with WFA_CBACK_INF_SET_IF: status 0 once the service has made the change,
// ERR_TIMEOUT when it has not within 5 s. The change itself is reported as WFA_CBACK_INF_GET_IF
// (request id 0) and restarts the control-and-monitoring start-up and the readiness check.
uint32_t wfa_cmm_watch(const wfa_interface_record *record, uint16_t request_id);
// Takes (1) or gives up (0) the service's lock: 1 when it is already so, 0 once sent.
// WFA_E_WRONG_STATE when another process holds the lock and `value` is 1.
uint32_t wfa_cmm_set_lock(uint32_t value);

// ---- seams (set them while the layer is stopped; wfa_state_reset restores the defaults) -----------
// The service's UDP port on the loopback interface (0: the service's own 8850).
void wfa_cmm_set_port(uint16_t port);
// What an interface change runs to restart the control-and-monitoring start-up (null: the
// control-and-monitoring driver's full stop followed by its start).
typedef void (*wfa_cmm_conmon_restart)(void);
void wfa_cmm_set_conmon_restart(wfa_cmm_conmon_restart hook);
