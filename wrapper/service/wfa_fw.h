// Firmware settings and firmware file reader: the settings block and its lock, the file check, the
// device-list information record and the per-device firmware flags.
//
// A firmware file ("QNBR", big-endian) comes in format version 2 (section rows after a 28-byte
// header, a folded byte sum) or 3 (a table block with section and model tables, a CRC-32 and a
// manufacturer field). Loading checks every table, row and section against the file's size.
#pragma once

#include <cstddef>
#include <cstdint>

struct wfa_device_info;

enum {
    WFA_FW_FOLDER_UNITS = 82,
    WFA_FW_NAME_UNITS = 80,
    WFA_FW_PATH_UNITS = 160,
    WFA_FW_MAX_FILE_SIZE = 0x800000,
    WFA_FW_MAX_MODELS = 16,
    WFA_FW_ID_SIZE = 8,
    WFA_FW_IMAGE_NAME_SIZE = 32
};

// Which model the firmware is for: mode 1 checks `model_id`, any other mode the device's own
// manufacturer model id.
struct wfa_fw_filter {
    uint8_t model_id[WFA_FW_ID_SIZE];
    uint8_t mode;
};

// The firmware settings: folder and file name (UTF-16, zero terminated) and the model filter.
struct wfa_fw_settings {
    char16_t folder[WFA_FW_FOLDER_UNITS];
    uint16_t value;
    char16_t file_name[WFA_FW_NAME_UNITS];
    wfa_fw_filter filter;
};

// The settings block and its lock (worker initialisation and clean-up): both zero the block.
uint32_t wfa_fw_settings_init(void);
void wfa_fw_settings_close(void);
// Writing and reading the block under its lock. Nothing in the program writes it today, so every
// load reports that there is no file.
void wfa_fw_settings_write(const wfa_fw_settings &settings);
void wfa_fw_settings_read(wfa_fw_settings *out);

// Folder followed by file name: 0x8000000A (no file) for an empty name, 0x8000000C when both do
// not fit the 160-unit path with its terminator. `out` is empty on failure.
uint32_t wfa_fw_build_path(char16_t out[WFA_FW_PATH_UNITS]);

struct wfa_fw_version {
    uint8_t major;
    uint8_t minor;
    uint16_t bugfix;
};

// The identity block of the image embedded in a type-9 section. ids 0-1 are the manufacturer id,
// ids 2-3 the model id (each pair as 8 big-endian bytes).
struct wfa_fw_identity {
    uint32_t ids[4];
    char name[WFA_FW_IMAGE_NAME_SIZE];
    wfa_fw_version versions[2];
};

struct wfa_fw_model {
    uint8_t model_id[WFA_FW_ID_SIZE];
    uint32_t section_mask;
    wfa_fw_version versions[2]; // from the sections of types 12 and 1
    uint32_t image_ids[4];
    wfa_fw_version image_versions[2];
};

struct wfa_fw_image {
    char16_t path[WFA_FW_PATH_UNITS];
    uint32_t loaded;
    uint32_t format_version;
    uint32_t extra; // version 3: the word at offset 12
    wfa_fw_version version;
    uint8_t module_id[WFA_FW_ID_SIZE];    // "Ferro2" for device code 9
    uint8_t manufacturer[WFA_FW_ID_SIZE]; // all zero or "Tormel"
    uint8_t model_count;
    wfa_fw_model models[WFA_FW_MAX_MODELS];
};

// Loads and checks a file: 0, or ERR_VLT_NOT_FOUND (cannot open), ERR_VLT_ACCESS (seek or read),
// ERR_VLT_SIZE (over 8 MB, refused before it is read), ERR_VLT_FORMAT, ERR_VLT_CHKSUM,
// ERR_VLT_DEVICE_ID, ERR_VLT_MANF_ID. The path is converted from UTF-16 to UTF-8 to open it.
uint16_t wfa_fwfile_load(const char16_t *path, wfa_fw_image *image);
// Checks a file already in memory (what the load does after reading it).
uint16_t wfa_fw_check(const uint8_t *data, size_t size, wfa_fw_image *image);

// The CRC-32 of version-3 files (reflected 0xEDB88320, initial value and final inversion).
uint32_t wfa_fw_crc32(uint32_t crc, const uint8_t *data, size_t size);

// The device's firmware flags (0x01 no file; 0x10 module, 0x20 manufacturer, 0x40 model differ;
// 0x02 the file serves several models and none was named).
void wfa_fw_compat_flags(const wfa_fw_image *image, const wfa_fw_filter *filter, wfa_device_info *info);
// Loads the configured file and sets the device's firmware flags (0x0001 without a file).
void wfa_fw_check_device(wfa_device_info *info);

// The 146-byte device-list information record: module id, manufacturer, filter mode, then with
// mode 1 a flag (1: the file serves the filter's model, whose id follows) and otherwise the model
// count and the model ids.
enum {
    WFA_DLI_MODULE_ID = 0,
    WFA_DLI_MANUFACTURER = 8,
    WFA_DLI_FILTER_MODE = 16,
    WFA_DLI_MODELS = 17,
    WFA_DLI_MODEL_IDS = 18
};
void wfa_fw_list_info(const wfa_fw_image *image, const wfa_fw_filter *filter, uint8_t *record);

// Fills the 146-byte device-list information record from the configured firmware file; returns the
// load's status (ERR_VLT_NOT_FOUND when no file is configured).
uint16_t wfa_get_device_list_info(uint8_t *record);
