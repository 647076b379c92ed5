#include "wrapper/service/wfa_bytes.h"

#include <cstdio>
#include <cstring>

namespace {

bool fits(size_t size, size_t offset, size_t length)
{
    return offset <= size && length <= size - offset;
}

} // namespace

bool wfa_get_u8(const uint8_t *data, size_t size, size_t offset, uint8_t *out)
{
    if (!data || !out || !fits(size, offset, 1))
        return false;
    *out = data[offset];
    return true;
}

bool wfa_get_u16(const uint8_t *data, size_t size, size_t offset, uint16_t *out)
{
    if (!data || !out || !fits(size, offset, 2))
        return false;
    std::memcpy(out, data + offset, 2);
    return true;
}

bool wfa_get_u32(const uint8_t *data, size_t size, size_t offset, uint32_t *out)
{
    if (!data || !out || !fits(size, offset, 4))
        return false;
    std::memcpy(out, data + offset, 4);
    return true;
}

std::string wfa_get_text(const uint8_t *data, size_t size, size_t offset, size_t field)
{
    if (!data || offset >= size)
        return std::string();
    size_t avail = size - offset;
    if (field < avail)
        avail = field;
    const char *start = reinterpret_cast<const char *>(data + offset);
    return std::string(start, strnlen(start, avail));
}

void wfa_copy_name(const uint8_t *field_bytes, size_t field, char *out)
{
    std::memset(out, 0, field + 1);
    if (!field_bytes)
        return;
    const char *start = reinterpret_cast<const char *>(field_bytes);
    std::memcpy(out, start, strnlen(start, field));
}

bool wfa_put_u8(uint8_t *data, size_t size, size_t offset, uint8_t value)
{
    if (!data || !fits(size, offset, 1))
        return false;
    data[offset] = value;
    return true;
}

bool wfa_put_u16(uint8_t *data, size_t size, size_t offset, uint16_t value)
{
    if (!data || !fits(size, offset, 2))
        return false;
    std::memcpy(data + offset, &value, 2);
    return true;
}

bool wfa_put_u32(uint8_t *data, size_t size, size_t offset, uint32_t value)
{
    if (!data || !fits(size, offset, 4))
        return false;
    std::memcpy(data + offset, &value, 4);
    return true;
}

bool wfa_put_text(uint8_t *data, size_t size, size_t offset, size_t field, const std::string &text)
{
    if (!data || !fits(size, offset, field))
        return false;
    size_t n = text.size() < field ? text.size() : field;
    std::memcpy(data + offset, text.data(), n);
    std::memset(data + offset + n, 0, field - n);
    return true;
}

size_t wfa_utf16_from_wstring(const std::wstring &name, char16_t *out, size_t units)
{
    if (!out || units == 0)
        return 0;
    size_t n = 0;
    for (wchar_t wc : name) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c == 0)
            break;
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            c = 0xFFFD;
        if (c >= 0x10000) {
            if (n + 2 > units - 1)
                break;
            c -= 0x10000;
            out[n++] = static_cast<char16_t>(0xD800 + (c >> 10));
            out[n++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            if (n + 1 > units - 1)
                break;
            out[n++] = static_cast<char16_t>(c);
        }
    }
    for (size_t i = n; i < units; ++i)
        out[i] = 0;
    return n;
}

std::wstring wfa_wstring_from_utf16(const char16_t *in, size_t units)
{
    std::wstring result;
    if (!in)
        return result;
    for (size_t i = 0; i < units && in[i] != 0; ++i) {
        uint32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        result.push_back(static_cast<wchar_t>(c));
    }
    return result;
}

bool wfa_put_utf16(uint8_t *data, size_t size, size_t offset, const char16_t *in, size_t units)
{
    if (!data || !in || units > SIZE_MAX / 2 || !fits(size, offset, units * 2))
        return false;
    for (size_t i = 0; i < units; ++i) {
        uint16_t u = in[i];
        std::memcpy(data + offset + 2 * i, &u, 2);
    }
    return true;
}

bool wfa_get_utf16(const uint8_t *data, size_t size, size_t offset, char16_t *out, size_t units)
{
    if (!data || !out || units > SIZE_MAX / 2 || !fits(size, offset, units * 2))
        return false;
    for (size_t i = 0; i < units; ++i) {
        uint16_t u;
        std::memcpy(&u, data + offset + 2 * i, 2);
        out[i] = u;
    }
    return true;
}

std::string wfa_mac_text(const uint8_t mac[6])
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return text;
}
