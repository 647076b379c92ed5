#include "wrapper/service/wfa_command.h"

#include "wrapper/service/wfa_proc.h"

const wfa_command wfa_command_table[WFA_COMMAND_COUNT] = {
    /*  0 */ {nullptr, 0, ""},
    /*  1 */ {proc_get_device_list, 2, "proc_get_device_list"},
    /*  2 */ {proc_get_brows_stop, 0, "proc_get_brows_stop"},
    /*  3 */ {nullptr, 0, ""},
    /*  4 */ {nullptr, 0, ""},
    /*  5 */ {proc_get_device_stat, 32, "proc_get_device_stat"},
    /*  6 */ {nullptr, 0, ""},
    /*  7 */ {nullptr, 0, ""},
    /*  8 */ {proc_start_update, 32, "proc_start_update"},
    /*  9 */ {proc_get_update_status, 32, "proc_get_update_status"},
    /* 10 */ {proc_reboot_device, 33, "proc_reboot_device"},
    /* 11 */ {proc_get_if_list, 0, "proc_get_if_list"},
    /* 12 */ {proc_set_velto_if, 134, "proc_set_velto_if"},
    /* 13 */ {proc_get_velto_if, 0, "proc_get_velto_if"},
    /* 14 */ {proc_identify_device, 32, "proc_identify_device"},
    /* 15 */ {proc_get_fs, 32, "proc_get_fs"},
    /* 16 */ {proc_set_fs, 34, "proc_set_fs"},
    /* 17 */ {proc_get_pmas, 32, "proc_get_pmas"},
    /* 18 */ {proc_set_pmas, 33, "proc_set_pmas"},
    /* 19 */ {proc_start_routing, 32, "proc_start_routing"},
    /* 20 */ {proc_get_txChLabel, 32, "proc_get_txChLabel"},
    /* 21 */ {proc_set_txChLabel, 66, "proc_set_txChLabel"},
    /* 22 */ {proc_get_rxChLabel, 32, "proc_get_rxChLabel"},
    /* 23 */ {proc_set_rxChLabel, 66, "proc_set_rxChLabel"},
    /* 24 */ {proc_set_patch, 68, "proc_set_patch"},
    /* 25 */ {proc_get_patch, 68, "proc_get_patch"},
    /* 26 */ {proc_get_txMute, 36, "proc_get_txMute"},
    /* 27 */ {proc_set_txMute, 36, "proc_set_txMute"},
    /* 28 */ {proc_get_rxMute, 36, "proc_get_rxMute"},
    /* 29 */ {proc_set_rxMute, 36, "proc_set_rxMute"},
    /* 30 */ {nullptr, 0, ""},
    /* 31 */ {nullptr, 0, ""},
    /* 32 */ {proc_get_batch_patch, 8738, "proc_get_batch_patch"},
    /* 33 */ {proc_set_batch_patch, 8738, "proc_set_batch_patch"},
    /* 34 */ {nullptr, 0, ""},
    /* 35 */ {proc_request_rx_ch_refresh, 66, "proc_request_rx_ch_refresh"},
    /* 36 */ {proc_request_device_lock, 33, "proc_request_device_lock"},
    /* 37 */ {proc_request_aes67_state, 34, "proc_request_aes67_state"},
    /* 38 */ {nullptr, 0, ""},
    /* 39 */ {proc_properties_refresh, 34, "proc_properties_refresh"},
    /* 40 */ {proc_set_latency, 34, "proc_set_latency"},
    /* 41 */ {proc_get_latency, 34, "proc_get_latency"},
};

const char *wfa_result_name(uint32_t code)
{
    static const char *const names[WFA_COMMAND_COUNT] = {
        "INIT", "DEVICE_LIST", "BROWSE_STOP", "DEVICE", "LOST_DEVICE", "DEVICE_STAT", "DEVICE_CONNECT",
        "DEVICE_DISCONNECT", "START_UPDATE", "UPDATE_STATUS", "REBOOT", "IF_LIST", "SET_IF", "GET_IF",
        "IDENTIFY", "GET_FS", "SET_FS", "GET_PMAS", "SET_PMAS", "START_ROUTING", "GET_TX_CHLABEL",
        "SET_TX_CHLABEL", "GET_RX_CHLABEL", "SET_RX_CHLABEL", "SET_PACHE", "GET_PACHE", "GET_TX_MUTE",
        "SET_TX_MUTE", "GET_RX_MUTE", "SET_RX_MUTE", "METER", "CH_NUM", "GET_BATCH_LIST",
        "SET_BATCH_LIST", "RX_CH_PATCH_CHANGE", "REQUEST_RX_CH_REFRESH", "DEVICE_LOCK", "AES67_STATUS",
        "PROPERTY_CHANGE", "PROPERTY_REFRESH", "SET_LATENCY", "GET_LATENCY"};
    return code < WFA_COMMAND_COUNT ? names[code] : nullptr;
}

const char *wfa_status_name(uint16_t status)
{
    switch (status) {
#define WFA_STATUS_NAME(s) \
    case s:                \
        return #s;
        WFA_STATUS_NAME(ERR_NOERR)
        WFA_STATUS_NAME(ERR_DURATION_EXPIRE)
        WFA_STATUS_NAME(WFA_STATUS_BATCH_SENT)
        WFA_STATUS_NAME(ERR_NO_INIT)
        WFA_STATUS_NAME(ERR_DUP_INIT)
        WFA_STATUS_NAME(ERR_TIMEOUT)
        WFA_STATUS_NAME(ERR_SETTING)
        WFA_STATUS_NAME(ERR_PARAM)
        WFA_STATUS_NAME(ERR_PROGRESS)
        WFA_STATUS_NAME(ERR_NOT_FOUND)
        WFA_STATUS_NAME(ERR_FILTER_COND)
        WFA_STATUS_NAME(ERR_DNSSD_ABSENT)
        WFA_STATUS_NAME(ERR_CONMON_ABSENT)
        WFA_STATUS_NAME(ERR_INTERFACE_LOCKED)
        WFA_STATUS_NAME(ERR_INTERFACE_CHANGING)
        WFA_STATUS_NAME(ERR_INTERFACE_SAME)
        WFA_STATUS_NAME(ERR_NOT_UPDATING)
        WFA_STATUS_NAME(ERR_BATCH_PARAM)
        WFA_STATUS_NAME(ERR_BATCH_DEVICE_STATE)
        WFA_STATUS_NAME(ERR_VLT_NOT_FOUND)
        WFA_STATUS_NAME(ERR_VLT_ACCESS)
        WFA_STATUS_NAME(ERR_VLT_CHKSUM)
        WFA_STATUS_NAME(ERR_VLT_FORMAT)
        WFA_STATUS_NAME(ERR_VLT_SIZE)
        WFA_STATUS_NAME(ERR_VLT_DEVICE_ID)
        WFA_STATUS_NAME(ERR_VLT_MANF_ID)
        WFA_STATUS_NAME(ERR_NOT_IMPREMENTED)
        WFA_STATUS_NAME(ERR_EXIT)
        WFA_STATUS_NAME(ERR_UNKNOWN)
        WFA_STATUS_NAME(ERR_VLPI_RANGE)
        WFA_STATUS_NAME(ERR_VLPI_BUFOVR)
        WFA_STATUS_NAME(ERR_VLPI_TIMEOUT)
        WFA_STATUS_NAME(ERR_VLPI_OTHER)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_DEV_CODE_MISMATCH)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_MANF_ID_MISMATCH)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_MODEL_ID_MISMATCH)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_VLT_FILE_MALFORMED)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_VLT_BAD_CRC)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_UNSUPPORTED_OPTIONS)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_FLASH)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_FLASH_ACCESS_FAILED)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_DOWNLOAD_ERROR)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_UNKOWN_FILE)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_FILE_PERMISSION_DENIED)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_NO_SUCH_SERVER)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_SERVER_ACCESS_FAILED)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_SERVER_TIMEOUT)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_UNSUPPORTED_PROTOCOL)
        WFA_STATUS_NAME(ERR_VLPI_UPGRADE_FILENAME_TOO_LONG)
        WFA_STATUS_NAME(ERR_VLPI_UNKNOWN)
#undef WFA_STATUS_NAME
    default:
        return nullptr;
    }
}

uint16_t wfa_map_library_error(uint32_t code)
{
    switch (wfa_internal_reason(code)) {
    case 23: // SUCCESS
        return ERR_NOERR;
    case 33: // TIMEDOUT
        return ERR_VLPI_TIMEOUT;
    case 36: // RANGE
        return ERR_VLPI_RANGE;
    case 58: // NOBUFS
        return ERR_VLPI_BUFOVR;
    default:
        return ERR_VLPI_OTHER;
    }
}
