#include "wrapper/service/wfa_cmm.h"

#include "wrapper/service/wfa_command.h"

// No configuration-service client is built yet: creation and start succeed with none, the driver
// never becomes ready and every entry point answers "not ready". The worker gets no socket from it.

uint32_t wfa_cmm_create(void)
{
    return 0;
}

void wfa_cmm_delete(void)
{
}

uint32_t wfa_cmm_start(void)
{
    return 0;
}

bool wfa_cmm_is_ready(void)
{
    return false;
}

uint32_t wfa_cmm_process_fdset(qnb_socket_set *set)
{
    return set ? 0 : WFA_E_NULL;
}

uint32_t wfa_cmm_get_if_list(wfa_interface_list *out)
{
    return out ? WFA_E_NOT_READY : WFA_E_NULL;
}

uint32_t wfa_cmm_get_if(wfa_interface_record *out)
{
    return out ? WFA_E_NOT_READY : WFA_E_NULL;
}

uint32_t wfa_cmm_set_if(const wfa_interface_record *record, uint16_t)
{
    return record ? WFA_E_NOT_READY : WFA_E_NULL;
}

uint32_t wfa_cmm_set_lock(uint32_t)
{
    return WFA_E_NOT_READY;
}
