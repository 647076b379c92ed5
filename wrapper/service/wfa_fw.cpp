#include "wrapper/service/wfa_fw.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_records.h"

namespace {

std::mutex g_settings_lock;
wfa_fw_settings g_settings;

// The one buffer every load reads the file into (worker thread only).
std::vector<uint8_t> g_file;

const uint8_t k_module_ferro2[WFA_FW_ID_SIZE] = {'F', 'e', 'r', 'r', 'o', '2', 0, 0};
const uint8_t k_manufacturer[WFA_FW_ID_SIZE] = {'T', 'o', 'r', 'm', 'e', 'l', 0, 0};
const uint8_t k_zero_id[WFA_FW_ID_SIZE] = {};
const char k_magic[4] = {'Q', 'N', 'B', 'R'};

enum {
    V2_HEADER_SIZE = 28,
    V2_ROW_SIZE = 12,
    V3_MANUFACTURER = 28,
    V3_TABLES = 36,
    V3_TABLES_END = 60, // the table block's six words
    V3_SECTION_ROW_MIN = 16,
    V3_MODEL_ROW_MIN = 12,
    V3_MAX_ROWS = 16,
    DEVICE_CODE_FERRO2 = 9
};

// Embedded image header: a tree of blocks {u16 tag, u16 length, u16 first child, u16 next sibling}
// whose offsets count from the section's start and only ever point forward. Container blocks
// (tag 1) are entered through their first child; the identity block (tag 2) holds four u32 ids,
// a 32-byte name field and two versions.
enum {
    IMAGE_BLOCK_HEAD = 8,
    IMAGE_TAG_CONTAINER = 1,
    IMAGE_TAG_IDENTITY = 2,
    IMAGE_IDENTITY_SIZE = 16 + WFA_FW_IMAGE_NAME_SIZE + 8
};

bool is_zero(const uint8_t *id)
{
    return std::memcmp(id, k_zero_id, WFA_FW_ID_SIZE) == 0;
}

size_t units_of(const char16_t *text, size_t capacity)
{
    size_t n = 0;
    while (n < capacity && text[n] != 0)
        n++;
    return n;
}

// UTF-16 to UTF-8; false for an unpaired surrogate.
bool to_utf8(const char16_t *text, std::string *out)
{
    out->clear();
    for (size_t i = 0; text[i] != 0; i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            uint32_t low = text[i + 1];
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i++;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

wfa_fw_version version_of(uint32_t word)
{
    wfa_fw_version v;
    v.major = static_cast<uint8_t>(word >> 24);
    v.minor = static_cast<uint8_t>(word >> 16);
    v.bugfix = static_cast<uint16_t>(word);
    return v;
}

uint32_t u32_at(const wgcp_reader &r, size_t offset)
{
    uint32_t value = 0;
    wgcp_reader_u32_at(&r, offset, &value);
    return value;
}

void id_bytes(const uint32_t *ids, uint8_t out[WFA_FW_ID_SIZE])
{
    wgcp_store_be32(out, ids[0]);
    wgcp_store_be32(out + 4, ids[1]);
}

// The section-type bit of the section mask; false for an unknown type.
bool section_bit(uint32_t type, uint32_t *bit)
{
    switch (type) {
    case 1: *bit = 0x04; return true;
    case 2: *bit = 0x00; return true;
    case 6: *bit = 0x01; return true;
    case 9: *bit = 0x10; return true;
    case 11: *bit = 0x08; return true;
    case 12: *bit = 0x02; return true;
    default: return false;
    }
}

// Reads the identity of the image embedded in the section at [offset, offset + size) of the file.
uint16_t wfa_fw_image_header(const wgcp_reader &file, uint64_t offset, uint64_t size, wfa_fw_identity *out)
{
    std::memset(out, 0, sizeof *out);
    wgcp_reader section;
    if (offset + size > file.size ||
        wgcp_reader_sub(&file, static_cast<size_t>(offset), static_cast<size_t>(size), &section) != QNB_ERR_SUCCESS)
        return ERR_VLT_FORMAT;
    size_t at = 0;
    for (;;) {
        uint16_t tag = 0, length = 0, child = 0, next = 0;
        if (wgcp_reader_u16_at(&section, at, &tag) || wgcp_reader_u16_at(&section, at + 2, &length) ||
            wgcp_reader_u16_at(&section, at + 4, &child) || wgcp_reader_u16_at(&section, at + 6, &next) ||
            length < IMAGE_BLOCK_HEAD || !wgcp_reader_has(&section, at, length))
            return ERR_VLT_FORMAT;
        if (tag == IMAGE_TAG_IDENTITY) {
            if (length < IMAGE_BLOCK_HEAD + IMAGE_IDENTITY_SIZE)
                return ERR_VLT_FORMAT;
            size_t p = at + IMAGE_BLOCK_HEAD;
            for (int i = 0; i < 4; i++)
                out->ids[i] = u32_at(section, p + 4 * static_cast<size_t>(i));
            wgcp_reader_text_field_at(&section, p + 16, WFA_FW_IMAGE_NAME_SIZE, out->name, sizeof out->name, nullptr);
            out->versions[0] = version_of(u32_at(section, p + 16 + WFA_FW_IMAGE_NAME_SIZE));
            out->versions[1] = version_of(u32_at(section, p + 20 + WFA_FW_IMAGE_NAME_SIZE));
            return ERR_NOERR;
        }
        size_t to = (tag == IMAGE_TAG_CONTAINER && child != 0) ? child : next;
        if (to <= at) // the end of the chain, or a link backwards
            return ERR_VLT_FORMAT;
        at = to;
    }
}

void set_model_identity(wfa_fw_model *model, const wfa_fw_identity &identity)
{
    std::memcpy(model->image_ids, identity.ids, sizeof model->image_ids);
    model->image_versions[0] = identity.versions[0];
    model->image_versions[1] = identity.versions[1];
}

uint16_t wfa_fw_parse_v2(const wgcp_reader &file, wfa_fw_image *image)
{
    if (file.size < V2_HEADER_SIZE)
        return ERR_VLT_FORMAT;
    if (u32_at(file, 12) != DEVICE_CODE_FERRO2)
        return ERR_VLT_DEVICE_ID;
    const uint64_t header = u32_at(file, 4);
    const uint64_t count = u32_at(file, 24);
    if (count == 0 || header != V2_HEADER_SIZE + V2_ROW_SIZE * count || header > file.size)
        return ERR_VLT_FORMAT;
    uint32_t mask = 0;
    uint64_t expected = 0;
    bool has_image = false;
    uint64_t image_offset = 0, image_size = 0;
    for (uint64_t i = 0; i < count; i++) {
        size_t row = static_cast<size_t>(V2_HEADER_SIZE + V2_ROW_SIZE * i);
        uint32_t type = u32_at(file, row), bit = 0;
        uint64_t offset = u32_at(file, row + 4), size = u32_at(file, row + 8);
        if (!section_bit(type, &bit) || offset != expected)
            return ERR_VLT_FORMAT;
        expected = offset + size;
        mask |= bit;
        if (type == 9) {
            has_image = true;
            image_offset = header + offset;
            image_size = size;
        }
    }
    if (header + expected != file.size)
        return ERR_VLT_FORMAT;
    uint32_t sum = 0;
    for (size_t i = 0; i < file.size; i++) {
        if (i < 20 || i > 23)
            sum += file.data[i];
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    if (sum != u32_at(file, 20))
        return ERR_VLT_CHKSUM;
    wfa_fw_identity identity;
    std::memset(&identity, 0, sizeof identity);
    if (has_image) {
        uint16_t status = wfa_fw_image_header(file, image_offset, image_size, &identity);
        if (status != ERR_NOERR)
            return status;
        id_bytes(identity.ids, image->manufacturer);
        id_bytes(identity.ids + 2, image->models[0].model_id);
    }
    std::memcpy(image->module_id, k_module_ferro2, WFA_FW_ID_SIZE);
    image->version = version_of(u32_at(file, 16));
    image->model_count = 1;
    image->models[0].section_mask = mask;
    set_model_identity(&image->models[0], identity);
    return ERR_NOERR;
}

uint16_t wfa_fw_parse_tables(const wgcp_reader &file, wfa_fw_image *image)
{
    const uint64_t bound = u32_at(file, 4);
    if (bound < V3_TABLES_END || bound > file.size)
        return ERR_VLT_FORMAT;
    const uint64_t section_table = u32_at(file, V3_TABLES);
    const uint64_t section_count = u32_at(file, V3_TABLES + 4);
    const uint64_t section_row = u32_at(file, V3_TABLES + 8);
    const uint64_t model_table = u32_at(file, V3_TABLES + 12);
    const uint64_t model_count = u32_at(file, V3_TABLES + 16);
    const uint64_t model_row = u32_at(file, V3_TABLES + 20);
    if (section_count < 1 || section_count > V3_MAX_ROWS || model_count < 1 || model_count > V3_MAX_ROWS ||
        section_row < V3_SECTION_ROW_MIN || model_row < V3_MODEL_ROW_MIN)
        return ERR_VLT_FORMAT;
    // Row sizes are words of the file: 64-bit products cannot wrap.
    const uint64_t section_end = section_table + section_count * section_row;
    const uint64_t model_end = model_table + model_count * model_row;
    if (section_table < V3_TABLES_END || section_end > bound || model_table < section_end || model_end > bound)
        return ERR_VLT_FORMAT;
    for (uint64_t m = 0; m < model_count; m++) {
        const size_t row = static_cast<size_t>(model_table + m * model_row);
        wfa_fw_model &model = image->models[m];
        wgcp_reader_bytes_at(&file, row, model.model_id, WFA_FW_ID_SIZE);
        const uint32_t sections = u32_at(file, row + 8);
        if (section_count < 32 && (sections >> section_count) != 0)
            return ERR_VLT_FORMAT; // names a section row that does not exist
        uint32_t types_seen = 0;
        for (uint32_t n = 0; n < section_count; n++) {
            if ((sections & (1u << n)) == 0)
                continue;
            const size_t srow = static_cast<size_t>(section_table + n * section_row);
            const uint32_t type = u32_at(file, srow);
            const uint32_t value = u32_at(file, srow + 4);
            const uint64_t offset = u32_at(file, srow + 8);
            const uint64_t size = u32_at(file, srow + 12);
            uint32_t bit = 0;
            if (!section_bit(type, &bit) || (types_seen & (1u << type)) != 0)
                return ERR_VLT_FORMAT;
            if (offset < bound || offset + size > file.size)
                return ERR_VLT_FORMAT;
            types_seen |= 1u << type;
            model.section_mask |= bit;
            if (type == 9) {
                wfa_fw_identity identity;
                uint16_t status = wfa_fw_image_header(file, offset, size, &identity);
                if (status != ERR_NOERR)
                    return status;
                uint8_t manufacturer[WFA_FW_ID_SIZE], model_id[WFA_FW_ID_SIZE];
                id_bytes(identity.ids, manufacturer);
                id_bytes(identity.ids + 2, model_id);
                if (std::memcmp(manufacturer, image->manufacturer, WFA_FW_ID_SIZE) != 0 ||
                    std::memcmp(model_id, model.model_id, WFA_FW_ID_SIZE) != 0)
                    return ERR_VLT_FORMAT;
                set_model_identity(&model, identity);
            } else if (type == 12) {
                model.versions[0] = version_of(value);
            } else if (type == 1) {
                model.versions[1] = version_of(value);
            }
        }
    }
    image->model_count = static_cast<uint8_t>(model_count);
    return ERR_NOERR;
}

uint16_t wfa_fw_parse_v3(const wgcp_reader &file, wfa_fw_image *image)
{
    if (file.size < V3_TABLES_END)
        return ERR_VLT_FORMAT;
    if (u32_at(file, 16) != DEVICE_CODE_FERRO2)
        return ERR_VLT_DEVICE_ID;
    image->version = version_of(u32_at(file, 20));
    uint8_t manufacturer[WFA_FW_ID_SIZE];
    wgcp_reader_bytes_at(&file, V3_MANUFACTURER, manufacturer, sizeof manufacturer);
    if (!is_zero(manufacturer) && std::memcmp(manufacturer, k_manufacturer, WFA_FW_ID_SIZE) != 0)
        return ERR_VLT_MANF_ID;
    static const uint8_t zero[4] = {};
    uint32_t crc = wfa_fw_crc32(0, file.data, 24);
    crc = wfa_fw_crc32(crc, zero, sizeof zero);
    crc = wfa_fw_crc32(crc, file.data + 28, file.size - 28);
    if (crc != u32_at(file, 24))
        return ERR_VLT_CHKSUM;
    std::memcpy(image->manufacturer, manufacturer, WFA_FW_ID_SIZE);
    std::memcpy(image->module_id, k_module_ferro2, WFA_FW_ID_SIZE);
    return wfa_fw_parse_tables(file, image);
}

bool model_served(const wfa_fw_image *image, const uint8_t *model_id)
{
    for (uint8_t i = 0; i < image->model_count && i < WFA_FW_MAX_MODELS; i++) {
        if (std::memcmp(image->models[i].model_id, model_id, WFA_FW_ID_SIZE) == 0)
            return true;
    }
    return false;
}

void read_filter(wfa_fw_filter *out)
{
    std::lock_guard<std::mutex> lock(g_settings_lock);
    *out = g_settings.filter;
}

// Loads the configured file into `image`.
uint16_t load_configured(wfa_fw_image *image)
{
    char16_t path[WFA_FW_PATH_UNITS];
    wfa_fw_build_path(path); // an empty path cannot be opened
    return wfa_fwfile_load(path, image);
}

} // namespace

uint32_t wfa_fw_crc32(uint32_t crc, const uint8_t *data, size_t size)
{
    static uint32_t table[256];
    static std::once_flag once;
    std::call_once(once, [] {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    });
    crc = ~crc;
    for (size_t i = 0; i < size; i++)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t wfa_fw_settings_init(void)
{
    std::lock_guard<std::mutex> lock(g_settings_lock);
    std::memset(&g_settings, 0, sizeof g_settings);
    return 0;
}

void wfa_fw_settings_close(void)
{
    std::lock_guard<std::mutex> lock(g_settings_lock);
    std::memset(&g_settings, 0, sizeof g_settings);
}

void wfa_fw_settings_write(const wfa_fw_settings &settings)
{
    std::lock_guard<std::mutex> lock(g_settings_lock);
    g_settings = settings;
    g_settings.folder[WFA_FW_FOLDER_UNITS - 1] = 0;
    g_settings.file_name[WFA_FW_NAME_UNITS - 1] = 0;
}

void wfa_fw_settings_read(wfa_fw_settings *out)
{
    if (out == nullptr)
        return;
    std::lock_guard<std::mutex> lock(g_settings_lock);
    *out = g_settings;
}

uint32_t wfa_fw_build_path(char16_t out[WFA_FW_PATH_UNITS])
{
    if (out == nullptr)
        return WFA_E_NULL;
    out[0] = 0;
    char16_t folder[WFA_FW_FOLDER_UNITS], name[WFA_FW_NAME_UNITS];
    {
        std::lock_guard<std::mutex> lock(g_settings_lock);
        std::memcpy(folder, g_settings.folder, sizeof folder);
        std::memcpy(name, g_settings.file_name, sizeof name);
    }
    size_t folder_units = units_of(folder, WFA_FW_FOLDER_UNITS);
    size_t name_units = units_of(name, WFA_FW_NAME_UNITS);
    if (name_units == 0)
        return WFA_E_NO_FILE;
    if (folder_units + name_units > WFA_FW_PATH_UNITS - 1)
        return WFA_E_PATH_TOO_LONG;
    std::memcpy(out, folder, folder_units * sizeof(char16_t));
    std::memcpy(out + folder_units, name, name_units * sizeof(char16_t));
    out[folder_units + name_units] = 0;
    return 0;
}

uint16_t wfa_fw_check(const uint8_t *data, size_t size, wfa_fw_image *image)
{
    if (image == nullptr)
        return ERR_VLT_NOT_FOUND;
    wgcp_reader file;
    wgcp_reader_init(&file, data, size);
    uint8_t magic[4];
    if (wgcp_reader_bytes_at(&file, 0, magic, sizeof magic) != QNB_ERR_SUCCESS ||
        std::memcmp(magic, k_magic, sizeof magic) != 0 || !wgcp_reader_has(&file, 8, 4))
        return ERR_VLT_FORMAT;
    image->format_version = u32_at(file, 8);
    if (image->format_version == 2)
        return wfa_fw_parse_v2(file, image);
    if (image->format_version == 3) {
        if (!wgcp_reader_has(&file, 12, 4))
            return ERR_VLT_FORMAT;
        image->extra = u32_at(file, 12);
        return wfa_fw_parse_v3(file, image);
    }
    return ERR_VLT_FORMAT;
}

uint16_t wfa_fwfile_load(const char16_t *path, wfa_fw_image *image)
{
    if (image == nullptr)
        return ERR_VLT_NOT_FOUND;
    std::memset(image, 0, sizeof *image);
    if (path == nullptr)
        return ERR_VLT_NOT_FOUND;
    size_t units = units_of(path, WFA_FW_PATH_UNITS - 1);
    std::memcpy(image->path, path, units * sizeof(char16_t));
    std::string name;
    if (units == 0 || path[units] != 0 || !to_utf8(path, &name))
        return ERR_VLT_NOT_FOUND;
    FILE *f = std::fopen(name.c_str(), "rb");
    if (f == nullptr)
        return ERR_VLT_NOT_FOUND;
    struct stat info;
    if (fstat(fileno(f), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fclose(f); // a folder is no firmware file
        return ERR_VLT_NOT_FOUND;
    }
    if (fseeko(f, 0, SEEK_END) != 0) {
        std::fclose(f);
        return ERR_VLT_ACCESS;
    }
    off_t size = ftello(f);
    if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) {
        std::fclose(f);
        return ERR_VLT_ACCESS;
    }
    if (size > WFA_FW_MAX_FILE_SIZE) {
        std::fclose(f);
        return ERR_VLT_SIZE;
    }
    g_file.resize(static_cast<size_t>(size));
    size_t got = size == 0 ? 0 : std::fread(g_file.data(), 1, g_file.size(), f);
    if (std::fclose(f) != 0 || got != g_file.size())
        return ERR_VLT_ACCESS;
    uint16_t status = wfa_fw_check(g_file.data(), g_file.size(), image);
    if (status != ERR_NOERR) {
        // Nothing of a refused file stays in the result but its path.
        char16_t kept[WFA_FW_PATH_UNITS];
        std::memcpy(kept, image->path, sizeof kept);
        std::memset(image, 0, sizeof *image);
        std::memcpy(image->path, kept, sizeof kept);
        return status;
    }
    image->loaded = 1;
    return ERR_NOERR;
}

void wfa_fw_compat_flags(const wfa_fw_image *image, const wfa_fw_filter *filter, wfa_device_info *info)
{
    if (info == nullptr)
        return;
    if (image == nullptr || !image->loaded) {
        info->firmware_flags = 0x0001;
        return;
    }
    uint16_t flags = 0;
    if (std::memcmp(image->module_id, info->model_id, WFA_FW_ID_SIZE) != 0)
        flags |= 0x10;
    if (!is_zero(image->manufacturer) && !is_zero(info->manf_id) &&
        std::memcmp(image->manufacturer, info->manf_id, WFA_FW_ID_SIZE) != 0)
        flags |= 0x20;
    const uint8_t *model = (filter != nullptr && filter->mode == 1) ? filter->model_id : info->manf_model_id;
    if (!is_zero(model)) {
        if (!model_served(image, model))
            flags |= 0x40;
    } else if (image->model_count > 1) {
        flags |= 0x02;
    }
    info->firmware_flags = flags;
}

void wfa_fw_check_device(wfa_device_info *info)
{
    if (info == nullptr)
        return;
    wfa_fw_filter filter;
    read_filter(&filter);
    wfa_fw_image image;
    load_configured(&image);
    wfa_fw_compat_flags(&image, &filter, info);
}

void wfa_fw_list_info(const wfa_fw_image *image, const wfa_fw_filter *filter, uint8_t *record)
{
    if (image == nullptr || filter == nullptr || record == nullptr)
        return;
    std::memset(record, 0, WFA_DEVICE_LIST_INFO_SIZE);
    std::memcpy(record + WFA_DLI_MODULE_ID, image->module_id, WFA_FW_ID_SIZE);
    std::memcpy(record + WFA_DLI_MANUFACTURER, image->manufacturer, WFA_FW_ID_SIZE);
    record[WFA_DLI_FILTER_MODE] = filter->mode;
    if (filter->mode == 1) {
        if (model_served(image, filter->model_id)) {
            record[WFA_DLI_MODELS] = 1;
            std::memcpy(record + WFA_DLI_MODEL_IDS, filter->model_id, WFA_FW_ID_SIZE);
        }
        return;
    }
    uint8_t count = image->model_count;
    if (count > WFA_FW_MAX_MODELS)
        count = WFA_FW_MAX_MODELS;
    record[WFA_DLI_MODELS] = count;
    for (uint8_t i = 0; i < count; i++)
        std::memcpy(record + WFA_DLI_MODEL_IDS + WFA_FW_ID_SIZE * i, image->models[i].model_id, WFA_FW_ID_SIZE);
}

uint16_t wfa_get_device_list_info(uint8_t *record)
{
    if (record == nullptr)
        return ERR_VLT_NOT_FOUND;
    std::memset(record, 0, WFA_DEVICE_LIST_INFO_SIZE);
    wfa_fw_filter filter;
    read_filter(&filter);
    wfa_fw_image image;
    uint16_t status = load_configured(&image);
    if (status == ERR_NOERR)
        wfa_fw_list_info(&image, &filter, record);
    return status;
}
