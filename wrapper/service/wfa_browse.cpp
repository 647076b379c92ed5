#include "wrapper/service/wfa_browse.h"

#include "wrapper/service/wfa_command.h"

// No browse object is built yet: creation succeeds with none, and every entry point answers as the
// driver does without a browse object ("not ready"). The worker gets no browse sockets.

uint32_t wfa_browse_create(void)
{
    return 0;
}

void wfa_browse_delete(void)
{
}

uint32_t wfa_browse_watch_timeout(uint16_t, const int32_t *, uint16_t, int32_t)
{
    return WFA_E_NOT_READY;
}

void wfa_browse_stop(void)
{
}

uint32_t wfa_browse_get_fdset(qnb_socket_set *set)
{
    return set ? WFA_E_NOT_READY : WFA_E_NULL;
}

uint32_t wfa_browse_process_fdset(qnb_socket_set *set, int)
{
    return set ? 0 : WFA_E_NULL;
}
