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
// Creates the start-up task "wfa_cmm_init".
uint32_t wfa_cmm_start(void);
// True once the current audio interface is known.
bool wfa_cmm_is_ready(void);

uint32_t wfa_cmm_process_fdset(qnb_socket_set *set);

// The service's interface list; the records stay owned by the driver until the next listing.
uint32_t wfa_cmm_get_if_list(wfa_interface_list *out);
// The current audio interface.
uint32_t wfa_cmm_get_if(wfa_interface_record *out);
// Body of command 12: asks the service to make `record` the audio interface.
uint32_t wfa_cmm_set_if(const wfa_interface_record *record, uint16_t request_id);
uint32_t wfa_cmm_set_lock(uint32_t value);
