// The device table: the devices the browse driver found, each with what its query and status
// messages told the control-and-monitoring driver, which owns the entries' fields. Removing a
// device, or emptying the table, ends its query and its questions first. Worker thread only.
#pragma once

#include <cstdint>

struct wfa_device;

enum : uint32_t {
    WFA_DEVICE_QUERYING = 1,
    WFA_DEVICE_READY = 2,
    WFA_DEVICE_UPGRADE_REQUESTED = 3,
    WFA_DEVICE_UPGRADING = 4,
    WFA_DEVICE_REBOOTING = 5,
    WFA_DEVICE_FAILED = 6
};

uint32_t wfa_device_table_init(void);
void wfa_device_table_free(void);
uint32_t wfa_device_add(const char *name);
wfa_device *wfa_device_lookup(const char *name);
// The number of a table entry (0 for none): every entry added gets one of its own, never 0 and
// never given again, so a device that left the table and came back has another number.
uint32_t wfa_device_serial(const wfa_device *device);
uint32_t wfa_device_remove(const char *name);
void wfa_device_clear(void);
bool wfa_device_any_upgrading(void);
uint32_t wfa_device_state(const wfa_device *device);
// Fills the 304-byte device status record of command 5.
uint32_t wfa_device_get_stat(const char *name, uint8_t *record);
