#include "wrapper/service/wfa_records.h"

#include <cstdio>
#include <cstring>

bool wfa_get_version(const uint8_t *data, size_t size, size_t offset, wfa_version *out)
{
    if (!out || offset > size || size - offset < 8)
        return false;
    wfa_get_u8(data, size, offset, &out->major);
    wfa_get_u8(data, size, offset + 1, &out->minor);
    wfa_get_u16(data, size, offset + 2, &out->bugfix);
    wfa_get_u32(data, size, offset + 4, &out->build);
    return true;
}

bool wfa_put_version(uint8_t *data, size_t size, size_t offset, const wfa_version &version)
{
    if (offset > size || size - offset < 8)
        return false;
    wfa_put_u8(data, size, offset, version.major);
    wfa_put_u8(data, size, offset + 1, version.minor);
    wfa_put_u16(data, size, offset + 2, version.bugfix);
    wfa_put_u32(data, size, offset + 4, version.build);
    return true;
}

std::string wfa_version_text(const wfa_version &version)
{
    if (version.major == 0 && version.minor == 0 && version.bugfix == 0 && version.build == 0)
        return "N/A";
    char text[48];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(version.major),
                  static_cast<unsigned>(version.minor), static_cast<unsigned>(version.bugfix),
                  static_cast<unsigned>(version.build));
    return text;
}

void wfa_device_info_write(const wfa_device_info &info, uint8_t out[WFA_DEVICE_INFO_SIZE])
{
    const size_t n = WFA_DEVICE_INFO_SIZE;
    std::memset(out, 0, n);
    wfa_put_text(out, n, WFA_DI_NAME, WFA_NAME_FIELD,
                 std::string(info.name, strnlen(info.name, WFA_NAME_FIELD)));
    wfa_put_u16(out, n, WFA_DI_FIRMWARE_FLAGS, info.firmware_flags);
    std::memcpy(out + WFA_DI_MODEL_ID, info.model_id, 8);
    wfa_put_version(out, n, WFA_DI_QNB_FIRM, info.qnb_firm);
    wfa_put_version(out, n, WFA_DI_QNB_SOFT, info.qnb_soft);
    std::memcpy(out + WFA_DI_MANF_ID, info.manf_id, 8);
    std::memcpy(out + WFA_DI_MANF_MODEL_ID, info.manf_model_id, 8);
    // At most 31 characters: the field keeps a terminator.
    wfa_put_text(out, n, WFA_DI_MODEL_NAME, WFA_NAME_FIELD,
                 std::string(info.model_name, strnlen(info.model_name, WFA_NAME_FIELD - 1)));
    wfa_put_version(out, n, WFA_DI_MANF_FIRM, info.manf_firm);
    wfa_put_version(out, n, WFA_DI_MANF_SOFT, info.manf_soft);
}

void wfa_device_name_record(const char *name, uint8_t out[WFA_DEVICE_INFO_SIZE])
{
    std::memset(out, 0, WFA_DEVICE_INFO_SIZE);
    if (name)
        wfa_put_text(out, WFA_DEVICE_INFO_SIZE, WFA_DI_NAME, WFA_NAME_FIELD,
                     std::string(name, strnlen(name, WFA_NAME_FIELD)));
}

void wfa_interface_record_write(const wfa_interface_record &record, uint8_t *out, size_t size,
                                size_t offset)
{
    wfa_put_utf16(out, size, offset, record.name, WFA_IF_NAME_UNITS);
    if (offset <= size && size - offset >= WFA_INTERFACE_RECORD_SIZE)
        std::memcpy(out + offset + 2 * WFA_IF_NAME_UNITS, record.mac, 6);
}

bool wfa_interface_record_read(const uint8_t *data, size_t size, size_t offset,
                               wfa_interface_record *out)
{
    if (!data || !out || offset > size || size - offset < WFA_INTERFACE_RECORD_SIZE)
        return false;
    wfa_get_utf16(data, size, offset, out->name, WFA_IF_NAME_UNITS);
    std::memcpy(out->mac, data + offset + 2 * WFA_IF_NAME_UNITS, 6);
    return true;
}

void wfa_interface_list_write(const wfa_interface_list &list, uint8_t out[WFA_IF_LIST_SIZE])
{
    std::memset(out, 0, WFA_IF_LIST_SIZE);
    out[0] = list.count;
    std::memcpy(out + WFA_IF_LIST_POINTER, &list.records, sizeof list.records);
}

bool wfa_interface_list_read(const uint8_t *data, size_t size, wfa_interface_list *out)
{
    if (!data || !out || size < WFA_IF_LIST_SIZE)
        return false;
    out->count = data[0];
    std::memcpy(&out->records, data + WFA_IF_LIST_POINTER, sizeof out->records);
    if (!out->records)
        out->count = 0;
    return true;
}
