#include "netaudio/platform/qnb_id.h"

#include <cstdio>
#include <cstring>

namespace {

bool is_name_byte(uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

const char k_hex[] = "0123456789abcdef";

} // namespace

uint8_t qnb_hex_digit_value(int c)
{
    if (c >= '0' && c <= '9')
        return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<uint8_t>(c - 'A' + 10);
    return 255;
}

bool qnb_id_from_text(uint8_t *dst, const char *text)
{
    if (!dst)
        return false;
    std::memset(dst, 0, QNB_ID_SIZE);
    if (!text || !text[0])
        return false;
    if (text[0] != '_') {
        size_t len = strnlen(text, QNB_ID_SIZE + 1);
        std::memcpy(dst, text, len > QNB_ID_SIZE ? size_t{QNB_ID_SIZE} : len);
        return len <= QNB_ID_SIZE;
    }
    size_t count = 0;
    const char *p = text + 1;
    while (*p) {
        uint8_t high = qnb_hex_digit_value(static_cast<unsigned char>(p[0]));
        if (high == 255 || count == QNB_ID_SIZE)
            return false;
        uint8_t low = qnb_hex_digit_value(static_cast<unsigned char>(p[1])); // 255 for the terminator
        if (low == 255)
            return false;
        dst[count++] = static_cast<uint8_t>(high << 4 | low);
        p += 2;
    }
    return count > 0;
}

qnb_error qnb_id_from_hex(uint8_t *dst, const char *text)
{
    if (!dst || !text)
        return QNB_ERR_INVALIDPARAMETER;
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    uint8_t bytes[QNB_ID_SIZE];
    for (size_t i = 0; i < QNB_ID_SIZE; ++i) {
        uint8_t high = qnb_hex_digit_value(static_cast<unsigned char>(p[0]));
        if (high == 255)
            return QNB_ERR_INVALIDDATA;
        uint8_t low = qnb_hex_digit_value(static_cast<unsigned char>(p[1]));
        if (low == 255)
            return QNB_ERR_INVALIDDATA;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
        p += 2;
    }
    std::memcpy(dst, bytes, QNB_ID_SIZE);
    return QNB_ERR_SUCCESS;
}

char *qnb_id_to_text(const uint8_t *id, char *out)
{
    if (!id || !out)
        return nullptr;
    size_t significant = QNB_ID_SIZE;
    while (significant > 0 && id[significant - 1] == 0)
        --significant;
    if (significant == 0) {
        std::memcpy(out, "_00", 4);
        return out;
    }
    bool as_name = id[0] != '_';
    for (size_t i = 0; i < significant && as_name; ++i)
        as_name = is_name_byte(id[i]);
    if (as_name) {
        std::memcpy(out, id, significant);
        out[significant] = '\0';
        return out;
    }
    char *p = out;
    *p++ = '_';
    for (size_t i = 0; i < significant; ++i) {
        *p++ = k_hex[id[i] >> 4];
        *p++ = k_hex[id[i] & 0x0F];
    }
    *p = '\0';
    return out;
}

char *qnb_id_port_to_text(const uint8_t *id, uint16_t port, char *out)
{
    if (!id || !out)
        return nullptr;
    std::snprintf(out, QNB_ID_PORT_TEXT_SIZE, "%02x%02x%02x%02x%02x%02x%02x%02x:%u", id[0], id[1], id[2], id[3],
                  id[4], id[5], id[6], id[7], static_cast<unsigned>(port));
    return out;
}
