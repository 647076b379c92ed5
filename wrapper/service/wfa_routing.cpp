#include "wrapper/service/wfa_routing.h"

#include "wrapper/service/wfa_command.h"

// No routing container is built yet: creation succeeds with none and every command answers "not
// ready" without posting. The worker gets no routing sockets.

uint32_t wfa_routing_create(void)
{
    return 0;
}

void wfa_routing_delete(void)
{
}

uint32_t wfa_routing_get_fdset(qnb_socket_set *set)
{
    return set ? WFA_E_NOT_READY : WFA_E_NULL;
}

uint32_t wfa_routing_process_fdset(qnb_socket_set *set, int)
{
    return set ? 0 : WFA_E_NULL;
}

uint32_t wfa_routing_watch_timeout(const char *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_set_patch(const char *, uint16_t, const char *, uint16_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_get_patch(const char *, uint16_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_get_batch(const char *, uint16_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_set_batch(const char *, uint16_t, const wfa_patch_item *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_get_txlabels(const char *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_set_txlabel(const char *, uint16_t, const char *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_get_rxlabels(const char *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_set_rxlabel(const char *, uint16_t, const char *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_get_txmute(const char *, uint16_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_set_txmute(const char *, uint16_t, uint16_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_get_rxmute(const char *, uint16_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_set_rxmute(const char *, uint16_t, uint16_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_refresh_rx(const char *, const uint8_t *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_properties_refresh(const char *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_set_latency(const char *, uint16_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_routing_get_latency(const char *, uint16_t)
{
    return WFA_E_NOT_READY;
}
