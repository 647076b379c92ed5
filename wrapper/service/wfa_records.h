// Records that travel in the service layer's argument blocks and result payloads, with their byte
// layouts. Each record is written and read field by field (host byte order, no padding), never as
// the memory image of a C++ structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wrapper/service/wfa_bytes.h"

enum {
    WFA_DEVICE_INFO_SIZE = 124,
    WFA_DEVICE_LIST_INFO_SIZE = 146,
    WFA_INTERFACE_RECORD_SIZE = 134,
    WFA_DEVICE_STAT_SIZE = 304,
    WFA_UPGRADE_RECORD_SIZE = 202,
    WFA_UPDATE_STATUS_SIZE = 36,
    WFA_RX_CHANGE_SIZE = 66,
    WFA_BATCH_ENTRIES = 256,
    WFA_BATCH_ENTRY_SIZE = 34,
    WFA_BATCH_SIZE = 34 + WFA_BATCH_ENTRIES * WFA_BATCH_ENTRY_SIZE // 8738
};

// A version {u8 major; u8 minor; u16 bugfix; u32 build}, 8 bytes.
struct wfa_version {
    uint8_t major;
    uint8_t minor;
    uint16_t bugfix;
    uint32_t build;
};

bool wfa_get_version(const uint8_t *data, size_t size, size_t offset, wfa_version *out);
bool wfa_put_version(uint8_t *data, size_t size, size_t offset, const wfa_version &version);
// "major.minor.bugfix.build", or "N/A" when all four are 0.
std::string wfa_version_text(const wfa_version &version);

// The device identity record (payload of WFA_CBACK_INF_DEVICE; with only the name filled, of the
// lost, connect, disconnect and property-change events). Offsets in the 124-byte record:
enum {
    WFA_DI_NAME = 0,           // char[32]
    WFA_DI_FIRMWARE_FLAGS = 32, // u16
    WFA_DI_MODEL_ID = 34,      // 8 bytes of text
    WFA_DI_QNB_FIRM = 44,      // version
    WFA_DI_QNB_SOFT = 52,      // version
    WFA_DI_MANF_ID = 60,       // 8 bytes of text
    WFA_DI_MANF_MODEL_ID = 68, // 8 bytes
    WFA_DI_MODEL_NAME = 76,    // char[32], at most 31 characters
    WFA_DI_MANF_FIRM = 108,    // version
    WFA_DI_MANF_SOFT = 116     // version
};

struct wfa_device_info {
    char name[WFA_NAME_FIELD + 1];
    uint16_t firmware_flags;
    uint8_t model_id[8];
    wfa_version qnb_firm;
    wfa_version qnb_soft;
    uint8_t manf_id[8];
    uint8_t manf_model_id[8];
    char model_name[WFA_NAME_FIELD];
    wfa_version manf_firm;
    wfa_version manf_soft;
};

// Writes the 124-byte record (the two bytes after the model id are zero).
void wfa_device_info_write(const wfa_device_info &info, uint8_t out[WFA_DEVICE_INFO_SIZE]);
// A 124-byte record that carries only `name` (at most 32 characters).
void wfa_device_name_record(const char *name, uint8_t out[WFA_DEVICE_INFO_SIZE]);

// A network interface as the service layer carries it: 64 UTF-16 units of name (zero padded) and a
// 6-byte MAC; 134 bytes on the wire.
struct wfa_interface_record {
    char16_t name[WFA_IF_NAME_UNITS];
    uint8_t mac[6];
};

void wfa_interface_record_write(const wfa_interface_record &record, uint8_t *out, size_t size,
                                size_t offset);
bool wfa_interface_record_read(const uint8_t *data, size_t size, size_t offset,
                               wfa_interface_record *out);

// The interface list that command 11 answers with: the count, then (at offset 4) the address of
// `count` records owned by the configuration-service driver, valid while the result is handled.
struct wfa_interface_list {
    uint8_t count;
    const wfa_interface_record *records;
};

enum { WFA_IF_LIST_POINTER = 4, WFA_IF_LIST_SIZE = 4 + sizeof(void *) };

void wfa_interface_list_write(const wfa_interface_list &list, uint8_t out[WFA_IF_LIST_SIZE]);
bool wfa_interface_list_read(const uint8_t *data, size_t size, wfa_interface_list *out);

// One transmit side of a batch: transmit device (at most 32 characters) and channel number.
struct wfa_patch_item {
    char device[WFA_NAME_FIELD + 1];
    uint16_t channel;
};
