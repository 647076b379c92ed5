// The command handlers (proc_*): each runs one command on the worker thread, calls its driver,
// answers at once where its command does, and finishes its task, so each command runs once.
#pragma once

#include <cstdint>

struct TCB;

int proc_get_device_list(TCB *task);
int proc_get_brows_stop(TCB *task);
int proc_get_device_stat(TCB *task);
int proc_start_update(TCB *task);
int proc_get_update_status(TCB *task);
int proc_reboot_device(TCB *task);
int proc_get_if_list(TCB *task);
int proc_set_velto_if(TCB *task);
int proc_get_velto_if(TCB *task);
int proc_identify_device(TCB *task);
int proc_get_fs(TCB *task);
int proc_set_fs(TCB *task);
int proc_get_pmas(TCB *task);
int proc_set_pmas(TCB *task);
int proc_start_routing(TCB *task);
int proc_get_txChLabel(TCB *task);
int proc_set_txChLabel(TCB *task);
int proc_get_rxChLabel(TCB *task);
int proc_set_rxChLabel(TCB *task);
int proc_set_patch(TCB *task);
int proc_get_patch(TCB *task);
int proc_get_txMute(TCB *task);
int proc_set_txMute(TCB *task);
int proc_get_rxMute(TCB *task);
int proc_set_rxMute(TCB *task);
int proc_get_batch_patch(TCB *task);
int proc_set_batch_patch(TCB *task);
int proc_request_rx_ch_refresh(TCB *task);
int proc_request_device_lock(TCB *task);
int proc_request_aes67_state(TCB *task);
int proc_properties_refresh(TCB *task);
int proc_set_latency(TCB *task);
int proc_get_latency(TCB *task);

// How each handler turns its driver's internal code into the status it answers with. Command 1 has
// two steps: step 0 (queries, device table, server interfaces) and step 1 (browse start); every
// other command has one (step 0). Code 0 gives ERR_NOERR.
uint16_t wfa_proc_status(uint32_t command, uint32_t code, int step = 0);

// Whether command 40 answers for `code` (success, or a library error that maps to ERR_NOERR).
bool wfa_proc_latency_answers(uint32_t code);
