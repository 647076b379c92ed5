#include "wrapper/service/wfa_conmon.h"

#include "wrapper/service/wfa_command.h"

// No control-and-monitoring client is built yet: creation and start succeed with none, the driver
// never becomes ready, the device table stays empty and every per-device entry point answers "not
// ready". The worker gets no control-and-monitoring sockets.

uint32_t wfa_conmon_create(void)
{
    return 0;
}

void wfa_conmon_delete(void)
{
}

uint32_t wfa_conmon_start(void)
{
    return 0;
}

void wfa_conmon_stop(void)
{
}

bool wfa_conmon_is_ready(void)
{
    return false;
}

uint32_t wfa_conmon_get_fdset(qnb_socket_set *set)
{
    return set ? WFA_E_NOT_READY : WFA_E_NULL;
}

uint32_t wfa_conmon_process_fdset(qnb_socket_set *set, int)
{
    return set ? 0 : WFA_E_NULL;
}

bool wfa_conmon_server_device_id(uint8_t *, uint16_t *)
{
    return false;
}

uint32_t wfa_conmon_server_interfaces(uint16_t *count, int32_t *)
{
    return count ? WFA_E_NOT_READY : WFA_E_NULL;
}

uint32_t wfa_conmon_reboot(const char *, uint8_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_conmon_identify(const char *)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_conmon_set_srate(const char *, uint32_t, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_conmon_set_pmas(const char *, uint8_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_conmon_query_aes67(const char *)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_conmon_send_type(const char *, uint32_t, void *)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_conmon_watch_upgrade_start(const char *, uint16_t)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_conmon_upgrade_progress(const char *, uint8_t *, uint16_t *)
{
    return WFA_E_NOT_READY;
}

uint32_t wfa_conmon_query(const char *name)
{
    return name ? WFA_E_NOT_READY : WFA_E_NULL;
}

void wfa_conmon_finish_queries(void)
{
}

uint32_t wfa_device_table_init(void)
{
    return 0;
}

void wfa_device_table_free(void)
{
}

uint32_t wfa_device_add(const char *)
{
    return WFA_E_NOT_READY;
}

wfa_device *wfa_device_lookup(const char *)
{
    return nullptr;
}

uint32_t wfa_device_remove(const char *)
{
    return WFA_E_NOT_FOUND;
}

void wfa_device_clear(void)
{
}

bool wfa_device_any_upgrading(void)
{
    return false;
}

uint32_t wfa_device_state(const wfa_device *)
{
    return 0;
}

uint32_t wfa_device_get_stat(const char *, uint8_t *)
{
    return WFA_E_NOT_READY;
}
