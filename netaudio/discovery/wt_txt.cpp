#include "netaudio/discovery/wt_txt.h"

#include <cstring>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_id.h"
#include "netaudio/platform/qnb_log.h"

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int hex_value(char c)
{
    uint8_t v = qnb_hex_digit_value(static_cast<unsigned char>(c));
    return v > 15 ? -1 : v;
}

// A "%u" conversion: leading white space, an optional sign, at least one digit. Values beyond 32
// bits saturate; a minus sign negates modulo 2^32. Returns the position after the digits, or null.
const char *scan_unsigned(const char *p, int base, uint32_t *out)
{
    while (is_space(*p)) {
        p++;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_value(p[2]) >= 0) {
        p += 2;
    }
    uint64_t value = 0;
    bool saturated = false;
    const char *digits = p;
    for (;;) {
        int d = base == 16 ? hex_value(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
        if (d < 0) {
            break;
        }
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFu) {
            saturated = true;
            value = 0xFFFFFFFFu;
        }
        p++;
    }
    if (p == digits) {
        return nullptr;
    }
    uint32_t v = static_cast<uint32_t>(value);
    *out = negative && !saturated ? static_cast<uint32_t>(0u - v) : v;
    return p;
}

// Up to `max` numbers separated by '.', as "%u.%u..." would read them. Returns how many were read.
int scan_dotted(const char *p, uint32_t *numbers, int max)
{
    int n = 0;
    while (n < max) {
        p = scan_unsigned(p, 10, &numbers[n]);
        if (p == nullptr) {
            break;
        }
        n++;
        if (*p != '.') {
            break;
        }
        p++;
    }
    return n;
}

void set_version(wt_version *out, const uint32_t numbers[3])
{
    out->major = static_cast<uint8_t>(numbers[0]);
    out->minor = static_cast<uint8_t>(numbers[1]);
    out->bugfix = static_cast<uint16_t>(numbers[2]);
}

bool parse_text(const char *value, char out[WT_TXT_TEXT_SIZE])
{
    size_t n = value != nullptr ? strnlen(value, WT_TXT_TEXT_SIZE - 1) : 0;
    if (n > 0) {
        std::memcpy(out, value, n);
    }
    out[n] = '\0';
    return true;
}

// Copies a value that is not terminated into a terminated buffer, at most size - 1 bytes.
const char *bounded_copy(const void *value, uint8_t length, char *buffer, size_t size)
{
    if (value == nullptr) {
        return nullptr;
    }
    size_t n = length < size ? length : size - 1;
    std::memcpy(buffer, value, n);
    buffer[n] = '\0';
    return buffer;
}

} // namespace

void wt_txt_iterator_init(wt_txt_iterator *it, const void *txt, uint16_t length)
{
    it->start = static_cast<const uint8_t *>(txt);
    it->position = it->start;
    it->total = txt != nullptr ? length : 0;
    it->remaining = it->total;
}

int wt_txt_next(wt_txt_iterator *it, wt_txt_entry *entry)
{
    if (it->remaining == 0 || it->position == nullptr) {
        return 0;
    }
    size_t n = it->position[0];
    if (n == 0) {
        return 0;
    }
    if (n + 1 > it->remaining) {
        return WT_TXT_MALFORMED;
    }
    std::memcpy(entry->text, it->position + 1, n);
    entry->text[n] = '\0';
    it->position += n + 1;
    it->remaining = static_cast<uint16_t>(it->remaining - (n + 1));
    char *equals = static_cast<char *>(std::memchr(entry->text, '=', n));
    if (equals != nullptr) {
        *equals = '\0';
        entry->value_offset = static_cast<size_t>(equals - entry->text) + 1;
        entry->value_length = n - entry->value_offset;
    } else {
        entry->value_offset = 0;
        entry->value_length = 0;
    }
    return static_cast<int>(n);
}

const char *wt_txt_value(const wt_txt_entry *entry, size_t *length)
{
    if (entry->value_offset == 0) {
        if (length != nullptr) {
            *length = 0;
        }
        return nullptr;
    }
    if (length != nullptr) {
        *length = entry->value_length;
    }
    return entry->text + entry->value_offset;
}

namespace {

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The first `n` bytes of `text` are `key` (terminated), without regard to ASCII case.
bool key_equals(const char *text, size_t n, const char *key)
{
    for (size_t i = 0; i < n; i++) {
        if (key[i] == '\0' || ascii_lower(text[i]) != ascii_lower(key[i])) {
            return false;
        }
    }
    return key[n] == '\0';
}

size_t key_length(const wt_txt_entry *entry, size_t n)
{
    return entry->value_offset != 0 ? entry->value_offset - 1 : n;
}

// Parses a device's TXT record into `record` (cleared first). `field(is, value)` stores the field
// an entry names and returns its flag, 0 when the value does not parse; `is(key, flag)` holds for
// the first entry of `key` only, a repeated key is ignored.
template <typename Record, typename Field>
qnb_error parse_device_record(Record *record, const void *txt, uint16_t length, Field field)
{
    if (record == nullptr || txt == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    std::memset(record, 0, sizeof *record);
    wt_txt_iterator it;
    wt_txt_iterator_init(&it, txt, length);
    wt_txt_entry entry;
    uint32_t seen = 0;
    int n;
    while ((n = wt_txt_next(&it, &entry)) > 0) {
        auto is = [&entry, n, &seen](const char *key, uint32_t flag) {
            if (!key_equals(entry.text, key_length(&entry, static_cast<size_t>(n)), key) || (seen & flag) != 0) {
                return false;
            }
            seen |= flag;
            return true;
        };
        record->flags |= field(is, wt_txt_value(&entry, nullptr));
    }
    return QNB_ERR_SUCCESS;
}

} // namespace

bool wt_txt_find(const void *txt, uint16_t length, const char *key, const uint8_t **value,
                 uint8_t *value_length)
{
    if (value != nullptr) {
        *value = nullptr;
    }
    if (value_length != nullptr) {
        *value_length = 0;
    }
    if (txt == nullptr || key == nullptr || key[0] == '\0') {
        return false;
    }
    wt_txt_iterator it;
    wt_txt_iterator_init(&it, txt, length);
    wt_txt_entry entry;
    for (;;) {
        const uint8_t *at = it.position;
        int n = wt_txt_next(&it, &entry);
        if (n <= 0) {
            return false;
        }
        const size_t size = static_cast<size_t>(n);
        // Compared on the record's own bytes, so that a zero byte inside a key never shortens it.
        if (!key_equals(reinterpret_cast<const char *>(at + 1), key_length(&entry, size), key)) {
            continue;
        }
        if (value != nullptr) {
            *value = entry.value_offset != 0 ? at + 1 + entry.value_offset : nullptr;
        }
        if (value_length != nullptr) {
            *value_length = static_cast<uint8_t>(entry.value_length);
        }
        return true;
    }
}

bool wt_txt_parse_version(const char *value, wt_version *out)
{
    uint32_t numbers[3] = {0, 0, 0};
    if (value == nullptr || value[0] == '\0') {
        set_version(out, numbers);
        return true;
    }
    if (scan_dotted(value, numbers, 3) < 1) {
        return false;
    }
    set_version(out, numbers);
    return true;
}

bool wt_txt_parse_via_version(const char *value, wt_version *out)
{
    if (value == nullptr || value[0] == '\0') {
        return false;
    }
    return wt_txt_parse_version(value, out);
}

bool wt_txt_parse_u16(const char *value, uint16_t *out)
{
    uint32_t number;
    if (value == nullptr || scan_unsigned(value, 10, &number) == nullptr || number > 0xFFFFu) {
        return false;
    }
    *out = static_cast<uint16_t>(number);
    return true;
}

bool wt_txt_parse_u32(const char *value, uint32_t *out)
{
    uint32_t number;
    if (value == nullptr || scan_unsigned(value, 10, &number) == nullptr) {
        return false;
    }
    *out = number;
    return true;
}

bool wt_txt_parse_hex_u32(const char *value, uint32_t *out)
{
    uint32_t number;
    if (value == nullptr || scan_unsigned(value, 16, &number) == nullptr) {
        return false;
    }
    *out = number;
    return true;
}

bool wt_txt_parse_address(const char *value, uint8_t out[4])
{
    uint32_t numbers[4];
    if (value == nullptr || scan_dotted(value, numbers, 4) != 4) {
        return false;
    }
    for (uint32_t n : numbers) {
        if (n > 255) {
            return false;
        }
    }
    for (int i = 0; i < 4; i++) {
        out[i] = static_cast<uint8_t>(numbers[i]);
    }
    return true;
}

bool wt_txt_parse_id_text(const char *value, uint8_t out[8])
{
    uint8_t id[QNB_ID_SIZE] = {0};
    if (value != nullptr && value[0] != '\0' && !qnb_id_from_text(id, value)) {
        return false;
    }
    std::memcpy(out, id, QNB_ID_SIZE);
    return true;
}

bool wt_txt_parse_id_hex(const char *value, uint8_t out[8])
{
    uint8_t id[QNB_ID_SIZE] = {0};
    if (value != nullptr && value[0] != '\0' && qnb_id_from_hex(id, value) != QNB_ERR_SUCCESS) {
        return false;
    }
    std::memcpy(out, id, QNB_ID_SIZE);
    return true;
}

bool wt_txt_parse_id16(const char *value, uint8_t out[8])
{
    if (value == nullptr || strnlen(value, 17) != 16) {
        return false;
    }
    uint8_t id[8];
    for (int i = 0; i < 8; i++) {
        uint8_t hi = qnb_hex_digit_value(value[2 * i]);
        uint8_t lo = qnb_hex_digit_value(value[2 * i + 1]);
        if (hi > 15 || lo > 15) {
            return false;
        }
        id[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    std::memcpy(out, id, 8);
    return true;
}

qnb_error parse_media_device_txt_record(wt_txt_media_device *record, const void *txt, uint16_t length)
{
    return parse_device_record(record, txt, length, [record](const auto &is, const char *value) -> uint32_t {
        if (is("arcp_vers", WT_TXT_MEDIA_ARCP_VERS)) {
            return wt_txt_parse_version(value, &record->arcp_vers) ? WT_TXT_MEDIA_ARCP_VERS : 0;
        } else if (is("arcp_min", WT_TXT_MEDIA_ARCP_MIN)) {
            return wt_txt_parse_version(value, &record->arcp_min) ? WT_TXT_MEDIA_ARCP_MIN : 0;
        } else if (is("router_vers", WT_TXT_MEDIA_ROUTER_VERS)) {
            return wt_txt_parse_version(value, &record->router_vers) ? WT_TXT_MEDIA_ROUTER_VERS : 0;
        } else if (is("router_info", WT_TXT_MEDIA_ROUTER_INFO)) {
            return parse_text(value, record->router_info) ? WT_TXT_MEDIA_ROUTER_INFO : 0;
        } else if (is("mf", WT_TXT_MEDIA_MF)) {
            return wt_txt_parse_id_text(value, record->mf) ? WT_TXT_MEDIA_MF : 0;
        } else if (is("model", WT_TXT_MEDIA_MODEL)) {
            return wt_txt_parse_id_text(value, record->model) ? WT_TXT_MEDIA_MODEL : 0;
        } else if (is("router_debug", WT_TXT_MEDIA_ROUTER_DEBUG)) {
            return parse_text(value, record->router_debug) ? WT_TXT_MEDIA_ROUTER_DEBUG : 0;
        }
        return 0;
    });
}

qnb_error parse_conmon_device_txt_record(wt_txt_conmon_device *record, const void *txt, uint16_t length)
{
    return parse_device_record(record, txt, length, [record](const auto &is, const char *value) -> uint32_t {
        if (is("cmcp_vers", WT_TXT_CONMON_CMCP_VERS)) {
            return wt_txt_parse_version(value, &record->cmcp_vers) ? WT_TXT_CONMON_CMCP_VERS : 0;
        } else if (is("cmcp_min", WT_TXT_CONMON_CMCP_MIN)) {
            return wt_txt_parse_version(value, &record->cmcp_min) ? WT_TXT_CONMON_CMCP_MIN : 0;
        } else if (is("id", WT_TXT_CONMON_ID)) {
            return wt_txt_parse_id_hex(value, record->id) ? WT_TXT_CONMON_ID : 0;
        } else if (is("process", WT_TXT_CONMON_PROCESS)) {
            return wt_txt_parse_u16(value, &record->process) ? WT_TXT_CONMON_PROCESS : 0;
        } else if (is("vid", WT_TXT_CONMON_VID)) {
            return wt_txt_parse_id_text(value, record->vid) ? WT_TXT_CONMON_VID : 0;
        } else if (is("vba", WT_TXT_CONMON_VBA)) {
            return wt_txt_parse_address(value, record->vba) ? WT_TXT_CONMON_VBA : 0;
        } else if (is("mf", WT_TXT_CONMON_MF)) {
            return wt_txt_parse_id_text(value, record->mf) ? WT_TXT_CONMON_MF : 0;
        } else if (is("model", WT_TXT_CONMON_MODEL)) {
            return wt_txt_parse_id_text(value, record->model) ? WT_TXT_CONMON_MODEL : 0;
        } else if (is("server_vers", WT_TXT_CONMON_SERVER_VERS)) {
            return wt_txt_parse_version(value, &record->server_vers) ? WT_TXT_CONMON_SERVER_VERS : 0;
        } else if (is("channels", WT_TXT_CONMON_CHANNELS)) {
            return wt_txt_parse_hex_u32(value, &record->channels) ? WT_TXT_CONMON_CHANNELS : 0;
        }
        return 0;
    });
}

qnb_error parse_via_txt_record(qnb_env *env, const char *name, uint16_t length, const void *txt,
                               wt_device_id *id, wt_version *minimum, wt_version *current)
{
    static const char fn[] = "parse_via_txt_record";
    if (id == nullptr || minimum == nullptr || current == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    qnb_logger *logger = env != nullptr ? env->logger : nullptr;
    const char *instance = name != nullptr ? name : "";
    uint8_t value_length = 0;
    const uint8_t *value = nullptr;
    char buffer[256];
    wt_device_id parsed;
    std::memset(&parsed, 0, sizeof parsed);

    wt_txt_find(txt, length, "id", &value, &value_length);
    if (value == nullptr || value_length == 0) {
        qnb_log(logger, QNB_LOG_ERROR,
                "%s: Resolve Error: txt record 'id' field missing or empty for via device \"%s\"\n", fn, instance);
        return QNB_ERR_INVALIDDATA;
    }
    if (!wt_txt_parse_id16(bounded_copy(value, value_length, buffer, sizeof buffer), parsed.id)) {
        qnb_log(logger, QNB_LOG_ERROR,
                "%s: Resolve Error: txt record 'id' field has insufficient data for via device \"%s\"\n", fn,
                instance);
        return QNB_ERR_INVALIDDATA;
    }
    wt_txt_find(txt, length, "process", &value, &value_length);
    if (value == nullptr || value_length == 0 ||
        !wt_txt_parse_u16(bounded_copy(value, value_length, buffer, sizeof buffer), &parsed.process)) {
        qnb_log(logger, QNB_LOG_ERROR,
                "%s: Resolve Error: txt record 'process' field missing or empty for via device \"%s\"\n", fn,
                instance);
        return QNB_ERR_INVALIDDATA;
    }
    wt_version min_version, current_version;
    char version_text[64];
    wt_txt_find(txt, length, "vers_min", &value, &value_length);
    if (value == nullptr || value_length == 0) {
        qnb_log(logger, QNB_LOG_ERROR,
                "%s: Resolve Error: txt record 'vers_min' field missing or empty for via device \"%s\"\n", fn,
                instance);
        return QNB_ERR_INVALIDDATA;
    }
    if (!wt_txt_parse_via_version(bounded_copy(value, value_length, version_text, sizeof version_text),
                                  &min_version)) {
        qnb_log(logger, QNB_LOG_ERROR,
                "%s: Resolve Error: txt record 'vers_min' has invalid data for via device \"%s\"\n", fn, instance);
        return QNB_ERR_INVALIDDATA;
    }
    wt_txt_find(txt, length, "vers_curr", &value, &value_length);
    if (value == nullptr || value_length == 0) {
        qnb_log(logger, QNB_LOG_ERROR,
                "%s: Resolve Error: txt record 'vcp_curr' field missing or empty for via device \"%s\"\n", fn,
                instance);
        return QNB_ERR_INVALIDDATA;
    }
    if (!wt_txt_parse_via_version(bounded_copy(value, value_length, version_text, sizeof version_text),
                                  &current_version)) {
        qnb_log(logger, QNB_LOG_ERROR,
                "%s: Resolve Error: txt record 'vcp_curr' has invalid data for via device \"%s\"\n", fn, instance);
        return QNB_ERR_INVALIDDATA;
    }
    *id = parsed;
    *minimum = min_version;
    *current = current_version;
    return QNB_ERR_SUCCESS;
}
