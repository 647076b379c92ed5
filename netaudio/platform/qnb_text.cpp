#include "netaudio/platform/qnb_text.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "netaudio/platform/qnb_id.h"
#include "netaudio/platform/qnb_printf.h"

namespace {

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Digit value in bases up to 36; 255 for anything else.
unsigned digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned>(c - 'A' + 10);
    return 255;
}

} // namespace

char *qnb_next_token(char *text, char **rest)
{
    if (!text) {
        if (rest)
            *rest = nullptr;
        return nullptr;
    }
    char *p = text;
    while (is_space(*p))
        ++p;
    if (!*p) {
        if (rest)
            *rest = p;
        return nullptr;
    }
    char *token = p;
    while (*p && !is_space(*p))
        ++p;
    if (*p)
        *p++ = '\0';
    if (rest)
        *rest = p;
    return token;
}

const char *qnb_skip_space(const char *text)
{
    if (!text)
        return nullptr;
    while (is_space(*text))
        ++text;
    return text;
}

const char *qnb_token_end(const char *text)
{
    if (!text)
        return nullptr;
    while (*text && !is_space(*text))
        ++text;
    return text;
}

char qnb_first_char(const char *buffer)
{
    const char *p = qnb_skip_space(buffer);
    return p ? *p : '\0';
}

const char *qnb_prefix(const char *text, const char *prefix)
{
    if (!text || !prefix)
        return nullptr;
    size_t n = std::strlen(prefix);
    return std::strncmp(text, prefix, n) == 0 ? text + n : nullptr;
}

size_t qnb_hex_to_bytes(const char *hex, uint8_t *buffer, size_t n)
{
    if (!hex || !buffer)
        return 0;
    size_t i = 0;
    const char *p = hex;
    while (i < n) {
        if (!p[0])
            break;
        uint8_t high = qnb_hex_digit_value(static_cast<unsigned char>(p[0]));
        if (high == 255)
            return i;
        if (!p[1]) {
            buffer[i++] = static_cast<uint8_t>(high << 4);
            break;
        }
        uint8_t low = qnb_hex_digit_value(static_cast<unsigned char>(p[1]));
        if (low == 255)
            return i;
        buffer[i++] = static_cast<uint8_t>(high << 4 | low);
        p += 2;
    }
    if (i < n)
        std::memset(buffer + i, 0, n - i);
    return n;
}

size_t qnb_hex_to_bytes_sep(const char *hex, uint8_t *buffer, size_t n, char separator, size_t group)
{
    if (!hex || !buffer)
        return 0;
    size_t i = 0;
    size_t in_group = 0;
    const char *p = hex;
    while (i < n) {
        uint8_t high = qnb_hex_digit_value(static_cast<unsigned char>(p[0]));
        if (high == 255)
            return i;
        uint8_t low = qnb_hex_digit_value(static_cast<unsigned char>(p[1]));
        if (low == 255)
            return i;
        buffer[i++] = static_cast<uint8_t>(high << 4 | low);
        p += 2;
        if (group > 0 && ++in_group == group && i < n) {
            if (*p != separator)
                return i;
            ++p;
            in_group = 0;
        }
    }
    return n;
}

size_t qnb_strlcat_many(char *buffer, size_t size, ...)
{
    if (!buffer)
        return 0;
    const char *end = static_cast<const char *>(std::memchr(buffer, '\0', size));
    if (!end)
        return 0;
    size_t used = static_cast<size_t>(end - buffer);
    size_t total = used;
    va_list args;
    va_start(args, size);
    while (const char *text = va_arg(args, const char *)) {
        size_t len = std::strlen(text);
        size_t n = size - 1 - used;
        if (len < n)
            n = len;
        std::memcpy(buffer + used, text, n);
        used += n;
        total += len;
    }
    va_end(args);
    buffer[used] = '\0';
    return total;
}

uint64_t qnb_strtoull(const char *text, const char **end, int base)
{
    if (end)
        *end = text;
    if (!text)
        return 0;
    if (base < 0 || base == 1 || base > 36) {
        errno = EINVAL;
        return 0;
    }
    const char *p = qnb_skip_space(text);
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    const bool hex_prefix = p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16;
    if (base == 0)
        base = hex_prefix ? 16 : (p[0] == '0' ? 8 : 10);
    if (base == 16 && hex_prefix)
        p += 2;

    uint64_t value = 0;
    bool overflow = false;
    const char *digits = p;
    for (unsigned d; (d = digit_value(*p)) < static_cast<unsigned>(base); ++p) {
        if (value > (UINT64_MAX - d) / static_cast<unsigned>(base))
            overflow = true;
        else
            value = value * static_cast<unsigned>(base) + d;
    }
    if (p == digits)
        return 0;
    if (end)
        *end = p;
    if (overflow) {
        errno = ERANGE;
        return UINT64_MAX;
    }
    return negative ? (~value + 1) : value;
}

char *qnb_wstr_to_str(const char16_t *text, char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (!text)
        return buffer;
    bool ascii = true;
    for (const char16_t *p = text; *p && ascii; ++p)
        ascii = *p < 128;
    size_t used = 0;
    if (ascii) {
        for (const char16_t *p = text; *p && used < size - 1; ++p)
            buffer[used++] = static_cast<char>(*p);
        buffer[used] = '\0';
        return buffer;
    }
    for (const char16_t *p = text; *p && used < size - 1; ++p) {
        int n = qnb_snprintf(buffer + used, size - used, p == text ? "%04x" : " %04x", static_cast<unsigned>(*p));
        if (n < 0)
            break;
        used += static_cast<size_t>(n);
    }
    return buffer;
}

void qnb_free_nonnull(void *pointer)
{
    if (pointer)
        std::free(pointer);
}
