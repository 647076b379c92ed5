#include "netaudio/platform/qnb_string.h"

#include <cstring>

size_t qnb_strlcpy(char *dst, const char *src, size_t size)
{
    if (!src)
        src = "";
    size_t len = std::strlen(src);
    if (dst && size > 0) {
        size_t n = len < size ? len : size - 1;
        std::memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}

size_t qnb_wstrlcpy(char16_t *dst, const char16_t *src, size_t count)
{
    size_t len = 0;
    if (src) {
        while (src[len] != 0)
            ++len;
    }
    if (dst && count > 0) {
        size_t n = len < count ? len : count - 1;
        if (n > 0)
            std::memcpy(dst, src, n * sizeof(char16_t));
        dst[n] = 0;
    }
    return len;
}

size_t qnb_strlcat(char *dst, const char *src, size_t size)
{
    if (!src)
        src = "";
    size_t src_len = std::strlen(src);
    if (!dst)
        return size;
    const char *end = static_cast<const char *>(std::memchr(dst, '\0', size));
    if (!end)
        return size;
    size_t old_len = static_cast<size_t>(end - dst);
    size_t room = size - 1 - old_len;
    size_t n = src_len < room ? src_len : room;
    std::memcpy(dst + old_len, src, n);
    dst[old_len + n] = '\0';
    return old_len + src_len;
}

int qnb_tolower(int c)
{
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

int qnb_strcasecmp(const char *a, const char *b)
{
    if (a == b)
        return 0;
    if (!a)
        return -1;
    if (!b)
        return 1;
    const unsigned char *x = reinterpret_cast<const unsigned char *>(a);
    const unsigned char *y = reinterpret_cast<const unsigned char *>(b);
    for (;; ++x, ++y) {
        int cx = qnb_tolower(*x);
        int cy = qnb_tolower(*y);
        if (cx != cy || cx == 0)
            return cx - cy;
    }
}
