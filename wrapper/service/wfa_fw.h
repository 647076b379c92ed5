// Firmware settings and firmware file reader: the settings block and its lock, the file check, the
// device-list information record and the per-device firmware flags.
#pragma once

#include <cstdint>

// The settings block and its lock (worker initialisation and clean-up).
uint32_t wfa_fw_settings_init(void);
void wfa_fw_settings_close(void);

// Fills the 146-byte device-list information record from the configured firmware file; returns the
// load's status (ERR_VLT_NOT_FOUND when no file is configured).
uint16_t wfa_get_device_list_info(uint8_t *record);
