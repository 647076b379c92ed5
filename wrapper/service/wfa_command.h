// The service layer's vocabulary: the 42 numbered commands (wfa_command_table), the result codes
// (WFA_CBACK_INF_*), the 16-bit service statuses and the internal error convention.
#pragma once

#include <cstddef>
#include <cstdint>

struct TCB;

// ---- result codes: a result carries the number of the command it answers -------------------------
enum {
    WFA_CBACK_INF_INIT = 0,
    WFA_CBACK_INF_DEVICE_LIST = 1,
    WFA_CBACK_INF_BROWSE_STOP = 2,
    WFA_CBACK_INF_DEVICE = 3,
    WFA_CBACK_INF_LOST_DEVICE = 4,
    WFA_CBACK_INF_DEVICE_STAT = 5,
    WFA_CBACK_INF_DEVICE_CONNECT = 6,
    WFA_CBACK_INF_DEVICE_DISCONNECT = 7,
    WFA_CBACK_INF_START_UPDATE = 8,
    WFA_CBACK_INF_UPDATE_STATUS = 9,
    WFA_CBACK_INF_REBOOT = 10,
    WFA_CBACK_INF_IF_LIST = 11,
    WFA_CBACK_INF_SET_IF = 12,
    WFA_CBACK_INF_GET_IF = 13,
    WFA_CBACK_INF_IDENTIFY = 14,
    WFA_CBACK_INF_GET_FS = 15,
    WFA_CBACK_INF_SET_FS = 16,
    WFA_CBACK_INF_GET_PMAS = 17,
    WFA_CBACK_INF_SET_PMAS = 18,
    WFA_CBACK_INF_START_ROUTING = 19,
    WFA_CBACK_INF_GET_TX_CHLABEL = 20,
    WFA_CBACK_INF_SET_TX_CHLABEL = 21,
    WFA_CBACK_INF_GET_RX_CHLABEL = 22,
    WFA_CBACK_INF_SET_RX_CHLABEL = 23,
    WFA_CBACK_INF_SET_PACHE = 24,
    WFA_CBACK_INF_GET_PACHE = 25,
    WFA_CBACK_INF_GET_TX_MUTE = 26,
    WFA_CBACK_INF_SET_TX_MUTE = 27,
    WFA_CBACK_INF_GET_RX_MUTE = 28,
    WFA_CBACK_INF_SET_RX_MUTE = 29,
    WFA_CBACK_INF_METER = 30,
    WFA_CBACK_INF_CH_NUM = 31,
    WFA_CBACK_INF_GET_BATCH_LIST = 32,
    WFA_CBACK_INF_SET_BATCH_LIST = 33,
    WFA_CBACK_INF_RX_CH_PATCH_CHANGE = 34,
    WFA_CBACK_INF_REQUEST_RX_CH_REFRESH = 35,
    WFA_CBACK_INF_DEVICE_LOCK = 36,
    WFA_CBACK_INF_AES67_STATUS = 37,
    WFA_CBACK_INF_PROPERTY_CHANGE = 38,
    WFA_CBACK_INF_PROPERTY_REFRESH = 39,
    WFA_CBACK_INF_SET_LATENCY = 40,
    WFA_CBACK_INF_GET_LATENCY = 41,
    WFA_COMMAND_COUNT = 42
};

// The code's name without the "WFA_CBACK_INF_" prefix ("DEVICE_LIST"); null above 41.
const char *wfa_result_name(uint32_t code);

// ---- service statuses ------------------------------------------------------------------------------
constexpr uint16_t ERR_NOERR = 0x0000;
constexpr uint16_t ERR_DURATION_EXPIRE = 0x0001;
constexpr uint16_t WFA_STATUS_BATCH_SENT = 0x0002;
constexpr uint16_t ERR_BIT_ERROR = 0x8000;
constexpr uint16_t ERR_BIT_VLPI = 0x4000;
constexpr uint16_t ERR_NO_INIT = 0x8001;
constexpr uint16_t ERR_DUP_INIT = 0x8002;
constexpr uint16_t ERR_TIMEOUT = 0x8003;
constexpr uint16_t ERR_SETTING = 0x8004;
constexpr uint16_t ERR_PARAM = 0x8005;
constexpr uint16_t ERR_PROGRESS = 0x8006;
constexpr uint16_t ERR_NOT_FOUND = 0x8007;
constexpr uint16_t ERR_FILTER_COND = 0x8008;
constexpr uint16_t ERR_DNSSD_ABSENT = 0x8009;
constexpr uint16_t ERR_CONMON_ABSENT = 0x800A;
constexpr uint16_t ERR_INTERFACE_LOCKED = 0x800B;
constexpr uint16_t ERR_INTERFACE_CHANGING = 0x800C;
constexpr uint16_t ERR_INTERFACE_SAME = 0x800D;
constexpr uint16_t ERR_NOT_UPDATING = 0x800E;
constexpr uint16_t ERR_BATCH_PARAM = 0x8010;
constexpr uint16_t ERR_BATCH_DEVICE_STATE = 0x8020;
constexpr uint16_t ERR_VLT_NOT_FOUND = 0x8101;
constexpr uint16_t ERR_VLT_ACCESS = 0x8102;
constexpr uint16_t ERR_VLT_CHKSUM = 0x8103;
constexpr uint16_t ERR_VLT_FORMAT = 0x8104;
constexpr uint16_t ERR_VLT_SIZE = 0x8105;
constexpr uint16_t ERR_VLT_DEVICE_ID = 0x8106;
constexpr uint16_t ERR_VLT_MANF_ID = 0x8107;
constexpr uint16_t ERR_NOT_IMPREMENTED = 0x8FFD;
constexpr uint16_t ERR_EXIT = 0x8FFE;
constexpr uint16_t ERR_UNKNOWN = 0x8FFF;
constexpr uint16_t ERR_VLPI_RANGE = 0xC001;
constexpr uint16_t ERR_VLPI_BUFOVR = 0xC002;
constexpr uint16_t ERR_VLPI_TIMEOUT = 0xC003;
constexpr uint16_t ERR_VLPI_OTHER = 0xC0FF;
constexpr uint16_t ERR_VLPI_UPGRADE_DEV_CODE_MISMATCH = 0xC101;
constexpr uint16_t ERR_VLPI_UPGRADE_MANF_ID_MISMATCH = 0xC102;
constexpr uint16_t ERR_VLPI_UPGRADE_MODEL_ID_MISMATCH = 0xC103;
constexpr uint16_t ERR_VLPI_UPGRADE_VLT_FILE_MALFORMED = 0xC111;
constexpr uint16_t ERR_VLPI_UPGRADE_VLT_BAD_CRC = 0xC112;
constexpr uint16_t ERR_VLPI_UPGRADE_UNSUPPORTED_OPTIONS = 0xC121;
constexpr uint16_t ERR_VLPI_UPGRADE_FLASH = 0xC200;
constexpr uint16_t ERR_VLPI_UPGRADE_FLASH_ACCESS_FAILED = 0xC201;
constexpr uint16_t ERR_VLPI_UPGRADE_DOWNLOAD_ERROR = 0xC300;
constexpr uint16_t ERR_VLPI_UPGRADE_UNKOWN_FILE = 0xC301;
constexpr uint16_t ERR_VLPI_UPGRADE_FILE_PERMISSION_DENIED = 0xC302;
constexpr uint16_t ERR_VLPI_UPGRADE_NO_SUCH_SERVER = 0xC303;
constexpr uint16_t ERR_VLPI_UPGRADE_SERVER_ACCESS_FAILED = 0xC304;
constexpr uint16_t ERR_VLPI_UPGRADE_SERVER_TIMEOUT = 0xC305;
constexpr uint16_t ERR_VLPI_UPGRADE_UNSUPPORTED_PROTOCOL = 0xC306;
constexpr uint16_t ERR_VLPI_UPGRADE_FILENAME_TOO_LONG = 0xC307;
constexpr uint16_t ERR_VLPI_UNKNOWN = 0xCFFF;

// A request succeeded when the error bit is clear.
inline bool wfa_status_ok(uint16_t status) { return (status & ERR_BIT_ERROR) == 0; }

// The status's name ("ERR_PROGRESS"); null for a value without one.
const char *wfa_status_name(uint16_t status);

// ---- internal errors -------------------------------------------------------------------------------
// Service-layer functions return 0 or 0x80000000 | n. Below 23, n is the layer's own reason; from
// 23 on, n - 23 is a library error (qnb_error).
constexpr uint32_t WFA_INTERNAL_BIT = 0x80000000u;
constexpr uint32_t WFA_LIBRARY_BASE = 23;
constexpr uint32_t WFA_E_NO_INIT = 0x80000001u;         // the layer is not running
constexpr uint32_t WFA_E_NOT_READY = 0x80000004u;       // not ready or busy
constexpr uint32_t WFA_E_NULL = 0x80000005u;            // missing argument
constexpr uint32_t WFA_E_BAD_ARGUMENT = 0x80000006u;
constexpr uint32_t WFA_E_EMPTY_PATH = 0x80000007u;
constexpr uint32_t WFA_E_WRONG_STATE = 0x80000008u;
constexpr uint32_t WFA_E_CHANGING = 0x80000009u;
constexpr uint32_t WFA_E_NO_FILE = 0x8000000Au;
constexpr uint32_t WFA_E_NO_MEMORY = 0x8000000Bu;
constexpr uint32_t WFA_E_PATH_TOO_LONG = 0x8000000Cu;
constexpr uint32_t WFA_E_NOT_FOUND = 0x8000000Du;
constexpr uint32_t WFA_E_UNKNOWN_TYPE = 0x80000010u;
constexpr uint32_t WFA_E_CONMON_ABSENT = 0x80000011u;
constexpr uint32_t WFA_E_DNSSD_ABSENT = 0x80000012u;
constexpr uint32_t WFA_E_NO_THREAD = 0x80000013u;
constexpr uint32_t WFA_E_NO_MUTEX = 0x80000014u;
constexpr uint32_t WFA_E_NOT_ISSUED = 0x80000015u;
constexpr uint32_t WFA_E_SEND_FAILED = 0x80000016u;
constexpr uint32_t WFA_E_NO_SERVICE_DATA = 0x80000017u;

inline uint32_t wfa_internal(uint32_t reason) { return WFA_INTERNAL_BIT | reason; }
inline uint32_t wfa_internal_from_library(int library_error)
{
    return WFA_INTERNAL_BIT | static_cast<uint32_t>(library_error + WFA_LIBRARY_BASE);
}
// The reason n of an internal code (0 for success).
inline uint32_t wfa_internal_reason(uint32_t code) { return code & ~WFA_INTERNAL_BIT; }

// n >= 23 -> status: SUCCESS -> ERR_NOERR, TIMEDOUT -> ERR_VLPI_TIMEOUT, RANGE -> ERR_VLPI_RANGE,
// NOBUFS -> ERR_VLPI_BUFOVR, any other -> ERR_VLPI_OTHER. Takes the internal code.
uint16_t wfa_map_library_error(uint32_t code);

// ---- the command table -----------------------------------------------------------------------------
typedef int (*wfa_handler_fn)(TCB *task);

struct wfa_command {
    wfa_handler_fn handler; // null: the command is not implemented
    uint32_t size;          // argument bytes after the request id
    const char *name;       // handler name, also the task name
};

extern const wfa_command wfa_command_table[WFA_COMMAND_COUNT];

// Largest argument block and largest result payload.
enum { WFA_MAX_ARGUMENTS = 8738, WFA_MAX_PAYLOAD = 8738 };
