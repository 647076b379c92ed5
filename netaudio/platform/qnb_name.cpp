#include "netaudio/platform/qnb_name.h"

#include <cstring>

#include <unistd.h>

#include "netaudio/platform/qnb_string.h"

namespace {

bool has_reserved_char(const char *text)
{
    return std::strpbrk(text, ".=@") != nullptr;
}

bool is_alnum(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

qnb_error qnb_name_copy_checked(char *dst, const char *src)
{
    if (!dst)
        return QNB_ERR_INVALIDPARAMETER;
    dst[0] = '\0';
    if (!src)
        return QNB_ERR_SUCCESS;
    if (has_reserved_char(src))
        return QNB_ERR_INVALIDDATA;
    size_t len = strnlen(src, QNB_NAME_MAX_LENGTH + 1);
    size_t n = len > QNB_NAME_MAX_LENGTH ? size_t{QNB_NAME_MAX_LENGTH} : len;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return len > QNB_NAME_MAX_LENGTH ? QNB_ERR_TRUNCATED : QNB_ERR_SUCCESS;
}

qnb_error qnb_name_copy40(char *dst, const char *src)
{
    if (!dst)
        return QNB_ERR_INVALIDPARAMETER;
    dst[0] = '\0';
    if (!src || !src[0])
        return QNB_ERR_SUCCESS;
    size_t len = strnlen(src, QNB_NAME40_SIZE);
    size_t n = len < QNB_NAME40_SIZE ? len : QNB_NAME40_SIZE - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return len >= QNB_NAME40_SIZE ? QNB_ERR_TRUNCATED : QNB_ERR_SUCCESS;
}

qnb_error qnb_name_copy_flags(char *dst, const char *src, unsigned flags)
{
    if (!dst)
        return QNB_ERR_INVALIDPARAMETER;
    if (!src || !src[0]) {
        dst[0] = '\0';
        return QNB_ERR_SUCCESS;
    }
    const bool empty_on_error = (flags & QNB_NAME_FLAG_EMPTY_ON_ERROR) && !(flags & QNB_NAME_FLAG_TRUNCATE);
    if (!(flags & (QNB_NAME_FLAG_ANY_CHARS | QNB_NAME_FLAG_LONG)) && has_reserved_char(src)) {
        if (empty_on_error)
            dst[0] = '\0';
        return QNB_ERR_INVALIDDATA;
    }
    const size_t limit = (flags & QNB_NAME_FLAG_LONG) ? QNB_NAME_LONG_MAX_LENGTH : QNB_NAME_MAX_LENGTH;
    size_t len = strnlen(src, limit);
    if (len < limit) {
        std::memcpy(dst, src, len + 1);
        return QNB_ERR_SUCCESS;
    }
    if (flags & QNB_NAME_FLAG_TRUNCATE) {
        // The cut copy is always terminated: `dst` holds limit + 1 bytes.
        std::memcpy(dst, src, limit);
        dst[limit] = '\0';
    } else if (empty_on_error) {
        dst[0] = '\0';
    }
    return QNB_ERR_TRUNCATED;
}

bool qnb_dns_label_is_valid(const char *text)
{
    if (!text || !is_alnum(text[0]))
        return false;
    size_t len = strnlen(text, QNB_DNS_LABEL_MAX_LENGTH + 1);
    if (len > QNB_DNS_LABEL_MAX_LENGTH)
        return false;
    for (size_t i = 1; i < len; ++i) {
        if (!is_alnum(text[i]) && text[i] != '-')
            return false;
    }
    return is_alnum(text[len - 1]);
}

bool qnb_str_equal_nocase(const char *a, const char *b)
{
    if (a == b)
        return true;
    return a && b && qnb_strcasecmp(a, b) == 0;
}

qnb_error qnb_process_id(uint32_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = static_cast<uint32_t>(getpid());
    return QNB_ERR_SUCCESS;
}
