#include "netaudio/discovery/wb_adhoc_browse.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "netaudio/discovery/wt_dnssd.h"
#include "netaudio/discovery/wt_txt.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_interface.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_printf.h"

namespace {

qnb_error wb_adhoc_browse_media_device_resolved(wb_adhoc_resolve *, const char *, uint16_t, uint16_t, const unsigned char *);
qnb_error wb_adhoc_browse_media_channel_resolved(wb_adhoc_resolve *, const char *, uint16_t, uint16_t, const unsigned char *);
qnb_error wb_adhoc_browse_conmon_device_resolved(wb_adhoc_resolve *, const char *, uint16_t, uint16_t, const unsigned char *);
qnb_error wb_adhoc_browse_safe_mode_device_resolved(wb_adhoc_resolve *, const char *, uint16_t, uint16_t, const unsigned char *);
qnb_error wb_adhoc_browse_upgrade_mode_device_resolved(wb_adhoc_resolve *, const char *, uint16_t, uint16_t, const unsigned char *);
qnb_error wb_adhoc_browse_via_device_resolved(wb_adhoc_resolve *, const char *, uint16_t, uint16_t, const unsigned char *);
void wb_adhoc_browse_media_device_lost(wb_adhoc_browse *, uint32_t, const char *);
void wb_adhoc_browse_media_channel_lost(wb_adhoc_browse *, uint32_t, const char *);
void wb_adhoc_browse_conmon_device_lost(wb_adhoc_browse *, uint32_t, const char *);
void wb_adhoc_browse_safe_mode_device_lost(wb_adhoc_browse *, uint32_t, const char *);
void wb_adhoc_browse_upgrade_mode_device_lost(wb_adhoc_browse *, uint32_t, const char *);
void wb_adhoc_browse_via_device_lost(wb_adhoc_browse *, uint32_t, const char *);

} // namespace

const wb_service_row wb_service_table[WB_SERVICE_ROWS] = {
    {0x01, "media device", 0, "_netaudio-arc", "_netaudio-arc._udp.", wb_adhoc_browse_media_device_resolved, wb_adhoc_browse_media_device_lost, 32},
    {0x02, "media channel", 0, "_netaudio-chan", "_netaudio-chan._udp.", wb_adhoc_browse_media_channel_resolved, wb_adhoc_browse_media_channel_lost, 64},
    {0x04, "conmon device", 0, "_netaudio-cmc", "_netaudio-cmc._udp.", wb_adhoc_browse_conmon_device_resolved, wb_adhoc_browse_conmon_device_lost, 32},
    {0x08, "safe mode", 0, "_velto-safe", "_velto-safe._udp.", wb_adhoc_browse_safe_mode_device_resolved, wb_adhoc_browse_safe_mode_device_lost, 32},
    {0x10, "upgrade mode", 0, "_velto-upgr", "_velto-upgr._udp.", wb_adhoc_browse_upgrade_mode_device_resolved,
     wb_adhoc_browse_upgrade_mode_device_lost, 32},
    {0x20, "via device", 1, "_netaudio-via", "_netaudio-via._tcp.", wb_adhoc_browse_via_device_resolved, wb_adhoc_browse_via_device_lost, 32},
    {0x40, "aes67 device", 1, nullptr, nullptr, nullptr, nullptr, 0},
};

uint32_t wb_service_row_of_type(const char *full_type)
{
    if (full_type == nullptr) {
        return WB_SERVICE_NO_ROW;
    }
    for (uint32_t row = 0; row < WB_SERVICE_ROWS; row++) {
        if (wb_service_table[row].full_type != nullptr && std::strcmp(wb_service_table[row].full_type, full_type) == 0) {
            return row;
        }
    }
    return WB_SERVICE_NO_ROW;
}

namespace {

qnb_logger *logger_of(const wb_adhoc_browse *browser)
{
    return browser->env != nullptr ? browser->env->logger : nullptr;
}

bool time_before(const qnb_timeval &a, const qnb_timeval &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

void note_error(wb_adhoc_browse *browser, qnb_error err)
{
    if (browser->error == QNB_ERR_SUCCESS) {
        browser->error = err;
    }
}

// The interface a network's resolves are asked on: the configured (or learned) index, or the
// loopback interface's for the loopback network.
uint32_t network_interface(const wb_adhoc_browse *browser, uint32_t network)
{
    if (network < browser->config.network_count && network < 2) {
        return browser->config.interface_index[network];
    }
    return browser->loopback_index;
}

bool is_loopback(const wb_adhoc_browse *browser, uint32_t interface_index)
{
    return browser->has_loopback && interface_index == browser->loopback_index;
}

// Ends an entry: its reference is released and it moves to the free queue. Safe from inside the
// entry's own callback.
void wb_resolve_remove(wb_adhoc_resolve *entry)
{
    wb_adhoc_browse *browser = entry->owner;
    if (entry->resolving) {
        browser->sockets_changed = 1;
        entry->socket = -1;
        wt_dnssd_ref *ref = entry->ref;
        entry->ref = nullptr;
        wt_dnssd_deallocate(ref);
        entry->resolving = 0;
    }
    entry->network = 0;
    entry->row = WB_SERVICE_NO_ROW;
    entry->name[0] = '\0';
    qnb_list_push_back(&browser->free_entries, &entry->link);
}

void wb_resolve_remove_matching(qnb_list *list, uint32_t network, uint32_t row, const char *name)
{
    qnb_list_node *node = list->first;
    while (node != nullptr) {
        qnb_list_node *next = node->next;
        wb_adhoc_resolve *entry = static_cast<wb_adhoc_resolve *>(node->data);
        if (entry->network == network && entry->row == row && std::strcmp(entry->name, name) == 0) {
            wb_resolve_remove(entry);
        }
        node = next;
    }
}

void release_free_entries(wb_adhoc_browse *browser)
{
    while (browser->free_entries.first != nullptr) {
        qnb_list_node *node = browser->free_entries.first;
        qnb_list_remove(node);
        std::free(node->data);
    }
}

void bounded_copy(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

void wb_dnssd_browse(wt_dnssd_ref *, uint32_t flags, uint32_t interface_index, int32_t error, const char *name,
                        const char *type, const char *domain, void *context);
void wb_dnssd_resolve(wt_dnssd_ref *, uint32_t flags, uint32_t interface_index, int32_t error,
                         const char *full_name, const char *host_target, uint16_t port, uint16_t txt_length,
                         const unsigned char *txt, void *context);

// Starts a pending entry's resolve.
qnb_error wb_resolve_resolve(wb_adhoc_resolve *entry)
{
    wb_adhoc_browse *browser = entry->owner;
    qnb_logger *logger = logger_of(browser);
    if (entry->resolving) {
        qnb_log(logger, QNB_LOG_ERROR, "Error resolving %s: already resolving\n", entry->name);
        return QNB_ERR_INVALIDSTATE;
    }
    const wb_service_row &row = wb_service_table[entry->row];
    wt_dnssd_ref *ref = nullptr;
    int32_t err = wt_dnssd_resolve(&ref, 0, network_interface(browser, entry->network), entry->name, row.full_type,
                                   "local", wb_dnssd_resolve, entry);
    if (err != WT_DNSSD_ERR_NONE) {
        qnb_log(logger, QNB_LOG_ERROR, "Error resolving %s: %d\n", entry->name, static_cast<int>(err));
        return QNB_ERR_DNSSDFAIL;
    }
    entry->ref = ref;
    entry->socket = wt_dnssd_socket(ref);
    browser->sockets_changed = 1;
    int64_t usec = static_cast<int64_t>(browser->pass_time.tv_usec) + browser->config.resolve_timeout_usec;
    int64_t sec = static_cast<int64_t>(browser->pass_time.tv_sec) + browser->config.resolve_timeout_sec;
    while (usec > 999999) {
        usec -= 1000000;
        sec++;
    }
    while (usec < 0) {
        usec += 1000000;
        sec--;
    }
    entry->deadline.tv_sec = static_cast<uint32_t>(sec < 0 ? 0 : sec);
    entry->deadline.tv_usec = static_cast<uint32_t>(usec);
    entry->resolving = 1;
    qnb_log(logger, QNB_LOG_DEBUG, "%s: resolve '%s' initiated using socket %d\n", "wb_resolve_resolve", entry->name,
            entry->socket);
    return QNB_ERR_SUCCESS;
}

// ---- DNS-SD replies ----

void wb_dnssd_browse(wt_dnssd_ref *, uint32_t flags, uint32_t interface_index, int32_t error, const char *name,
                        const char *type, const char *domain, void *context)
{
    static const char fn[] = "wb_dnssd_browse";
    wb_adhoc_browse *browser = static_cast<wb_adhoc_browse *>(context);
    qnb_logger *logger = logger_of(browser);
    if (error != WT_DNSSD_ERR_NONE) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: browse %s.%s.%s failed: %d\n", fn, name, type, domain,
                static_cast<int>(error));
        note_error(browser, QNB_ERR_DNSSDFAIL);
        return;
    }

    const uint32_t count = browser->config.network_count;
    uint32_t network = UINT32_MAX;
    for (uint32_t n = 0; n < count && n < 2; n++) {
        if ((browser->config.network_mask & (1u << n)) == 0) {
            continue;
        }
        if (browser->config.interface_index[n] == 0) {
            qnb_log(logger, QNB_LOG_INFO,
                    "%s: No interface index filter defined for network %u, setting interface index to %d\n", fn, n,
                    static_cast<int>(interface_index));
            browser->config.interface_index[n] = interface_index;
            network = n;
            break;
        }
        if (browser->config.interface_index[n] == interface_index) {
            network = n;
            break;
        }
        if (browser->config.loopback == 1 && is_loopback(browser, interface_index)) {
            network = count;
            break;
        }
    }
    if (network == UINT32_MAX) {
        qnb_log(logger, QNB_LOG_NOTICE, "%s: Ignoring advertisement %s.%s.%s flags=0x%08x on invalid interface index %d",
                fn, name, type, domain, flags, static_cast<int>(interface_index));
        return;
    }

    uint32_t row = wb_service_row_of_type(type);
    if (row == WB_SERVICE_NO_ROW) {
        qnb_log(logger, QNB_LOG_WARNING, "%s: unknown service type %s\n", fn, type);
        return;
    }
    size_t length = strnlen(name, WB_INSTANCE_NAME_SIZE);
    if (length == 0 || length >= wb_service_table[row].name_limit) {
        qnb_log(logger, QNB_LOG_WARNING, "%s: Ignoring invalid name \"%s\" for service type %s\n", fn, name, type);
        return;
    }

    if ((flags & WT_DNSSD_FLAG_ADD) != 0) {
        wb_adhoc_resolve *entry = nullptr;
        if (browser->free_entries.first != nullptr) {
            qnb_list_node *node = browser->free_entries.first;
            qnb_list_remove(node);
            entry = static_cast<wb_adhoc_resolve *>(node->data);
        } else {
            entry = static_cast<wb_adhoc_resolve *>(std::calloc(1, sizeof(wb_adhoc_resolve)));
            if (entry == nullptr) {
                note_error(browser, QNB_ERR_NOMEMORY);
                return;
            }
            entry->owner = browser;
            entry->link.data = entry;
        }
        entry->resolving = 0;
        entry->ref = nullptr;
        entry->socket = -1;
        entry->network = network;
        entry->row = row;
        bounded_copy(entry->name, sizeof entry->name, name);
        qnb_list_push_back(&browser->pending, &entry->link);
        return;
    }

    wb_service_table[row].lost(browser, network, name);
    // Only the resolves of this very advertisement end: same name, service and network.
    wb_resolve_remove_matching(&browser->active, network, row, name);
    wb_resolve_remove_matching(&browser->pending, network, row, name);
}

void wb_dnssd_resolve(wt_dnssd_ref *, uint32_t, uint32_t interface_index, int32_t error, const char *,
                         const char *host_target, uint16_t port, uint16_t txt_length, const unsigned char *txt,
                         void *context)
{
    static const char fn[] = "wb_dnssd_resolve";
    wb_adhoc_resolve *entry = static_cast<wb_adhoc_resolve *>(context);
    wb_adhoc_browse *browser = entry->owner;
    qnb_logger *logger = logger_of(browser);
    if (!entry->resolving) {
        return;
    }
    if (error != WT_DNSSD_ERR_NONE) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Error resolving '%s' using socket %d (dns error=%d)\n", fn, entry->name,
                entry->socket, static_cast<int>(error));
        note_error(browser, QNB_ERR_DNSSDFAIL);
        wb_resolve_remove(entry);
        return;
    }
    if (entry->network < browser->config.network_count) {
        uint32_t expected = network_interface(browser, entry->network);
        if (interface_index != expected) {
            qnb_log(logger, QNB_LOG_NOTICE, "%s: ignoring resolve for %s on interface %u (not %u)", fn, entry->name,
                    interface_index, expected);
            return;
        }
    } else if (!is_loopback(browser, interface_index)) {
        return;
    }

    char host_label[WB_NAME_SIZE];
    size_t label_length = 0;
    while (host_target[label_length] != '\0' && host_target[label_length] != '.' && label_length < WB_NAME_SIZE - 1) {
        label_length++;
    }
    std::memcpy(host_label, host_target, label_length);
    host_label[label_length] = '\0';
    uint16_t host_port = ntohs(port);
    qnb_log(logger, QNB_LOG_DEBUG, "%s: Resolved '%s' on network %u using socket %d (hosttarget=%s port=%d)\n", fn,
            entry->name, entry->network, entry->socket, host_target, static_cast<int>(host_port));

    qnb_error err = wb_service_table[entry->row].resolved(entry, host_label, host_port, txt_length, txt);
    if (err != QNB_ERR_SUCCESS) {
        note_error(browser, err);
    }
    wb_resolve_remove(entry);
}

// ---- resolved and lost handlers ----

void table_changed(wb_adhoc_browse *browser, bool changed)
{
    if (changed) {
        browser->tree_changed = 1;
    }
}

qnb_error wb_adhoc_browse_media_device_resolved(wb_adhoc_resolve *entry, const char *host_label, uint16_t port, uint16_t txt_length,
                                const unsigned char *txt)
{
    static const char fn[] = "wb_adhoc_browse_media_device_resolved";
    wb_adhoc_browse *browser = entry->owner;
    qnb_logger *logger = logger_of(browser);
    if (port == 0 && !browser->accept_zero_port) {
        qnb_log(logger, QNB_LOG_WARNING, "%s: Warning: NOT adding media device %s with target port of zero\n", fn,
                entry->name);
        return QNB_ERR_SUCCESS;
    }
    wt_txt_media_device record;
    if (parse_media_device_txt_record(&record, txt != nullptr ? txt : reinterpret_cast<const unsigned char *>(""),
                                      txt_length) != QNB_ERR_SUCCESS) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Error parsing txt_record for media device \"%s\"\n", fn, entry->name);
    }
    wb_media_device_data data;
    std::memset(&data, 0, sizeof data);
    data.port = port;
    data.arcp_vers = record.arcp_vers;
    data.arcp_min = record.arcp_min;
    data.router_vers = record.router_vers;
    bounded_copy(data.router_info, sizeof data.router_info, record.router_info);
    std::memcpy(data.mf, record.mf, sizeof data.mf);
    std::memcpy(data.model, record.model, sizeof data.model);
    bool changed = false;
    qnb_error err =
        wb_device_table_update_media(browser->table, entry->network, entry->name, host_label, &data, &changed);
    table_changed(browser, changed);
    if (err != QNB_ERR_SUCCESS) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Error adding media device \"%s\" to tree\n", fn, entry->name);
    }
    return err;
}

// Splits "channel@device" at the first '@'. False without one.
bool split_channel_name(const char *name, std::string *channel, std::string *device)
{
    const char *at = std::strchr(name, '@');
    if (at == nullptr) {
        return false;
    }
    channel->assign(name, static_cast<size_t>(at - name));
    device->assign(at + 1);
    return true;
}

// A TXT value copied into a terminated buffer; null when the key is absent or has no value.
const char *txt_text(uint16_t txt_length, const unsigned char *txt, const char *key, char *buffer, size_t size)
{
    uint8_t length = 0;
    const void *value = wt_dnssd_txt_value(txt_length, txt, key, &length);
    if (value == nullptr) {
        return nullptr;
    }
    size_t n = length < size ? length : size - 1;
    std::memcpy(buffer, value, n);
    buffer[n] = '\0';
    return buffer;
}

qnb_error wb_adhoc_browse_media_channel_resolved(wb_adhoc_resolve *entry, const char *, uint16_t port, uint16_t txt_length,
                                 const unsigned char *txt)
{
    static const char fn[] = "wb_adhoc_browse_media_channel_resolved";
    wb_adhoc_browse *browser = entry->owner;
    qnb_logger *logger = logger_of(browser);
    if (port == 0 && !browser->accept_zero_port) {
        qnb_log(logger, QNB_LOG_WARNING, "%s: Warning: NOT adding media channel %s with target port of zero\n", fn,
                entry->name);
        return QNB_ERR_SUCCESS;
    }
    std::string channel_name, device_name;
    if (!split_channel_name(entry->name, &channel_name, &device_name)) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Browse error:... no '@' in name \"%s\"\n", fn, entry->name);
        return QNB_ERR_SUCCESS;
    }
    char text[256];
    uint16_t channel_id = 0;
    if (!wt_txt_parse_u16(txt_text(txt_length, txt, "id", text, sizeof text), &channel_id)) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Resolve error: txt record 'id' field missing or empty for channel \"%s\"\n",
                fn, entry->name);
        return QNB_ERR_SUCCESS;
    }
    bool is_default = wt_dnssd_txt_contains_key(txt_length, txt, "default");
    wb_format format;
    std::memset(&format, 0, sizeof format);
    uint32_t rate_value = 0;
    if (!wt_txt_parse_u32(txt_text(txt_length, txt, "rate", text, sizeof text), &rate_value)) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Resolve Error: txt record 'rate' field missing or empty for channel \"%s\"\n",
                fn, entry->name);
        return QNB_ERR_SUCCESS;
    }
    format.sample_rate = rate_value;
    const char *enc = txt_text(txt_length, txt, "enc", text, sizeof text);
    if (enc == nullptr || enc[0] == '\0') {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Resolve Error: txt record 'enc' field missing or empty for channel \"%s\"\n",
                fn, entry->name);
        return QNB_ERR_SUCCESS;
    }
    size_t spaces = 0;
    for (const char *p = enc; *p != '\0'; p++) {
        spaces += *p == ' ' ? 1 : 0;
    }
    if (spaces >= WB_MAX_ENCODINGS) {
        qnb_log(logger, QNB_LOG_ERROR,
                "%s: Resolve error: out of memory while allocating encodings for channel \"%s\"\n", fn, entry->name);
        return QNB_ERR_NOMEMORY;
    }
    for (const char *p = enc; *p != '\0' && format.encoding_count < WB_MAX_ENCODINGS;) {
        while (*p == ' ') {
            p++;
        }
        uint16_t value = 0;
        char token[16];
        size_t n = 0;
        while (p[n] != '\0' && p[n] != ' ' && n < sizeof token - 1) {
            token[n] = p[n];
            n++;
        }
        token[n] = '\0';
        if (n == 0) {
            break;
        }
        if (wt_txt_parse_u16(token, &value)) {
            format.encodings[format.encoding_count++] = value;
        }
        p += n;
        while (*p != '\0' && *p != ' ') {
            p++;
        }
    }
    bool changed = false;
    qnb_error err = wb_device_table_update_channel(browser->table, entry->network, device_name.c_str(),
                                                   channel_name.c_str(), channel_id, is_default, &format, &changed);
    table_changed(browser, changed);
    if (err != QNB_ERR_SUCCESS) {
        const char *why = qnb_error_get_text(err);
        qnb_log(logger, QNB_LOG_ERROR, "%s: Resolve error: failed to add network channel \"%s\": %s\n", fn, entry->name,
                why != nullptr ? why : "unknown error");
    }
    return err;
}

qnb_error wb_adhoc_browse_conmon_device_resolved(wb_adhoc_resolve *entry, const char *host_label, uint16_t port, uint16_t txt_length,
                                 const unsigned char *txt)
{
    static const char fn[] = "wb_adhoc_browse_conmon_device_resolved";
    wb_adhoc_browse *browser = entry->owner;
    qnb_logger *logger = logger_of(browser);
    if (port == 0 && !browser->accept_zero_port) {
        qnb_log(logger, QNB_LOG_WARNING, "%s: Warning: NOT adding conmon device %s with target port of zero\n", fn,
                entry->name);
        return QNB_ERR_SUCCESS;
    }
    wt_txt_conmon_device record;
    parse_conmon_device_txt_record(&record, txt != nullptr ? txt : reinterpret_cast<const unsigned char *>(""),
                                   txt_length);
    wb_conmon_device_data data;
    std::memset(&data, 0, sizeof data);
    data.port = port;
    std::memcpy(data.id.id, record.id, sizeof data.id.id);
    data.id.process = record.process;
    std::memcpy(data.vid, record.vid, sizeof data.vid);
    std::memcpy(data.vba, record.vba, sizeof data.vba);
    std::memcpy(data.mf, record.mf, sizeof data.mf);
    std::memcpy(data.model, record.model, sizeof data.model);
    bool changed = false;
    qnb_error err =
        wb_device_table_update_conmon(browser->table, entry->network, entry->name, host_label, &data, &changed);
    table_changed(browser, changed);
    if (err != QNB_ERR_SUCCESS) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Error adding conmon device \"%s\" to tree\n", fn, entry->name);
    }
    return err;
}

// Safe mode and upgrade mode adverts: "id" (16 hex digits), "process" and the mode value.
struct mode_words {
    const char *fn;
    const char *value_key;
    const char *zero_port;
    const char *id_missing;
    const char *id_short;
    const char *process_missing;
    const char *add_failed;
    uint32_t bit;
};

const mode_words k_safe_words = {
    "wb_adhoc_browse_safe_mode_device_resolved",
    "safe",
    "%s: Warning: safe mode advert %s has port zero, discovering anyway\n",
    "%s: Resolve Error: txt record 'id' field missing or empty for safe mode conmon device \"%s\"\n",
    "%s: Resolve Error: txt record 'id' field has insufficient data for conmon device \"%s\"\n",
    "%s: Resolve Error: txt record 'process' field missing or empty for conmon device \"%s\"\n",
    "%s: Error adding safe mode device \"%s\" on network %u to tree\n",
    WB_BROWSE_SAFE_MODE,
};

const mode_words k_upgrade_words = {
    "wb_adhoc_browse_upgrade_mode_device_resolved",
    "upgr",
    "%s: Warning: upgrade mode advert %s has port zero, discovering anyway\n",
    "%s: Resolve Error: txt record 'id' field missing or empty for upgrade mode conmon device \"%s\"\n",
    "%s: Resolve Error: txt record 'id' field has insufficient data for upgrade mode conmon device \"%s\"\n",
    "%s: Resolve Error: txt record 'process' field missing or empty for upgrade mode conmon device \"%s\"\n",
    "%s: Error adding upgrade mode device \"%s\" on network %u to tree\n",
    WB_BROWSE_UPGRADE_MODE,
};

qnb_error mode_device_resolved(const mode_words &words, wb_adhoc_resolve *entry, const char *host_label, uint16_t port,
                               uint16_t txt_length, const unsigned char *txt)
{
    wb_adhoc_browse *browser = entry->owner;
    qnb_logger *logger = logger_of(browser);
    if (port == 0) {
        qnb_log(logger, QNB_LOG_WARNING, words.zero_port, words.fn, entry->name);
    }
    wb_mode_device_data data;
    std::memset(&data, 0, sizeof data);
    char text[256];
    wt_txt_parse_u16(txt_text(txt_length, txt, words.value_key, text, sizeof text), &data.value);
    const char *id = txt_text(txt_length, txt, "id", text, sizeof text);
    if (id == nullptr || id[0] == '\0') {
        qnb_log(logger, QNB_LOG_ERROR, words.id_missing, words.fn, entry->name);
    } else if (!wt_txt_parse_id16(id, data.id.id)) {
        qnb_log(logger, QNB_LOG_ERROR, words.id_short, words.fn, entry->name);
    }
    const char *process = txt_text(txt_length, txt, "process", text, sizeof text);
    if (!wt_txt_parse_u16(process, &data.id.process)) {
        qnb_log(logger, QNB_LOG_ERROR, words.process_missing, words.fn, entry->name);
    }
    bool changed = false;
    qnb_error err = wb_device_table_update_mode(browser->table, words.bit, entry->network, entry->name, host_label,
                                                &data, &changed);
    table_changed(browser, changed);
    if (err != QNB_ERR_SUCCESS) {
        qnb_log(logger, QNB_LOG_ERROR, words.add_failed, words.fn, entry->name, entry->network);
    }
    return err;
}

qnb_error wb_adhoc_browse_safe_mode_device_resolved(wb_adhoc_resolve *entry, const char *host_label, uint16_t port,
                                    uint16_t txt_length, const unsigned char *txt)
{
    return mode_device_resolved(k_safe_words, entry, host_label, port, txt_length, txt);
}

qnb_error wb_adhoc_browse_upgrade_mode_device_resolved(wb_adhoc_resolve *entry, const char *host_label, uint16_t port,
                                       uint16_t txt_length, const unsigned char *txt)
{
    return mode_device_resolved(k_upgrade_words, entry, host_label, port, txt_length, txt);
}

qnb_error wb_adhoc_browse_via_device_resolved(wb_adhoc_resolve *entry, const char *host_label, uint16_t port, uint16_t txt_length,
                              const unsigned char *txt)
{
    static const char fn[] = "wb_adhoc_browse_via_device_resolved";
    wb_adhoc_browse *browser = entry->owner;
    qnb_logger *logger = logger_of(browser);
    if (port == 0 && !browser->accept_zero_port) {
        qnb_log(logger, QNB_LOG_WARNING, "%s: Warning: NOT adding via device %s with target port of zero\n", fn,
                entry->name);
        return QNB_ERR_SUCCESS;
    }
    wb_via_device_data data;
    std::memset(&data, 0, sizeof data);
    data.port = port;
    if (parse_via_txt_record(browser->env, entry->name, txt_length, txt, &data.id, &data.minimum, &data.current) !=
        QNB_ERR_SUCCESS) {
        return QNB_ERR_SUCCESS; // logged by the parser; the device is not added
    }
    bool changed = false;
    qnb_error err = wb_device_table_update_via(browser->table, entry->network, entry->name, host_label, &data, &changed);
    table_changed(browser, changed);
    if (err != QNB_ERR_SUCCESS) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Error adding via device \"%s\" to tree\n", fn, entry->name);
    }
    return err;
}

void remove_service(wb_adhoc_browse *browser, uint32_t network, const char *name, uint32_t bit)
{
    bool changed = false;
    wb_device_table_remove_service(browser->table, network, name, bit, &changed);
    table_changed(browser, changed);
}

void wb_adhoc_browse_media_device_lost(wb_adhoc_browse *browser, uint32_t network, const char *name)
{
    remove_service(browser, network, name, WB_BROWSE_MEDIA_DEVICE);
}

void wb_adhoc_browse_conmon_device_lost(wb_adhoc_browse *browser, uint32_t network, const char *name)
{
    qnb_log(logger_of(browser), QNB_LOG_INFO, "%s: Removing conmon device \"%s\" from network %u\n",
            "wb_adhoc_browse_conmon_device_lost", name, network);
    remove_service(browser, network, name, WB_BROWSE_CONMON_DEVICE);
}

void wb_adhoc_browse_safe_mode_device_lost(wb_adhoc_browse *browser, uint32_t network, const char *name)
{
    qnb_log(logger_of(browser), QNB_LOG_INFO, "%s: Removing safe mode device \"%s\" from network %u\n",
            "wb_adhoc_browse_safe_mode_device_lost", name, network);
    remove_service(browser, network, name, WB_BROWSE_SAFE_MODE);
}

void wb_adhoc_browse_upgrade_mode_device_lost(wb_adhoc_browse *browser, uint32_t network, const char *name)
{
    qnb_log(logger_of(browser), QNB_LOG_INFO, "%s: Removing upgrade mode device \"%s\" from network %u\n",
            "wb_adhoc_browse_upgrade_mode_device_lost", name, network);
    remove_service(browser, network, name, WB_BROWSE_UPGRADE_MODE);
}

void wb_adhoc_browse_via_device_lost(wb_adhoc_browse *browser, uint32_t network, const char *name)
{
    qnb_log(logger_of(browser), QNB_LOG_INFO, "%s: Removing via device \"%s\" from network %u\n",
            "wb_adhoc_browse_via_device_lost", name, network);
    remove_service(browser, network, name, WB_BROWSE_VIA_DEVICE);
}

void wb_adhoc_browse_media_channel_lost(wb_adhoc_browse *browser, uint32_t network, const char *name)
{
    std::string channel_name, device_name;
    if (!split_channel_name(name, &channel_name, &device_name)) {
        qnb_log(logger_of(browser), QNB_LOG_ERROR, "%s: Browse error:... no '@' in name \"%s\"\n",
                "wb_adhoc_browse_media_channel_lost", name);
        return;
    }
    bool changed = false;
    wb_device_table_remove_channel(browser->table, network, device_name.c_str(), channel_name.c_str(), &changed);
    table_changed(browser, changed);
}

} // namespace

qnb_error wb_adhoc_browse_new(qnb_env *env, uint32_t types, wb_device_table *table, wb_adhoc_browse **out)
{
    static const char fn[] = "wb_adhoc_browse_new";
    if (out == nullptr || table == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    *out = nullptr;
    qnb_logger *logger = env != nullptr ? env->logger : nullptr;
    qnb_log(logger, QNB_LOG_INFO, "%s: creating new browse (types=0x%08x)\n", fn, types);
    if ((types & WB_BROWSE_ALL_TYPES) == 0) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    wb_adhoc_browse *browser = static_cast<wb_adhoc_browse *>(std::calloc(1, sizeof(wb_adhoc_browse)));
    if (browser == nullptr) {
        return QNB_ERR_NOMEMORY;
    }
    qnb_error sap_err = wb_browse_sap_new(env, &browser->sap);
    if (sap_err != QNB_ERR_SUCCESS) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: Error getting AES67 SAP structure : %d\n", fn, sap_err);
        std::free(browser);
        return sap_err;
    }
    wb_browse_sap_set_owner(browser->sap, table->owner);
    wb_browse_sap_set_callback(browser->sap, table->event_callback);
    browser->env = env;
    browser->types = types & WB_BROWSE_ALL_TYPES;
    browser->table = table;
    browser->socket_mode = 2;
    browser->max_resolves = WB_DEFAULT_MAX_RESOLVES;
    for (uint32_t row = 0; row < WB_SERVICE_ROWS; row++) {
        browser->sockets[row] = -1;
        if ((browser->types & wb_service_table[row].bit) != 0) {
            browser->enabled_types++;
        }
    }
    qnb_interface loopback;
    qnb_error err = qnb_interface_get_loopback(&loopback);
    if (err == QNB_ERR_SUCCESS) {
        browser->has_loopback = 1;
        browser->loopback_index = loopback.index;
        qnb_log(logger, QNB_LOG_INFO, "%s: Found localhost interface with index %d\n", fn,
                static_cast<int>(loopback.index));
    } else {
        qnb_log(logger, QNB_LOG_WARNING, "%s: Error getting localhost interface index: %d\n", fn, err);
    }
    *out = browser;
    return QNB_ERR_SUCCESS;
}

void wb_adhoc_browse_delete(wb_adhoc_browse *browser, int events)
{
    if (browser == nullptr) {
        return;
    }
    wb_adhoc_browse_stop(browser, events);
    wb_browse_sap_delete(browser->sap);
    std::free(browser);
}

qnb_error wb_adhoc_browse_start_config(wb_adhoc_browse *browser, const wb_browse_config *config)
{
    static const char fn[] = "wb_adhoc_browse_start_config";
    if (browser == nullptr || config == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (browser->running) {
        return QNB_ERR_INVALIDSTATE;
    }
    if (config->network_count > 2) {
        return QNB_ERR_INVALIDPARAMETER; // there are flag words for two networks only
    }
    qnb_logger *logger = logger_of(browser);
    wb_device_table_clear(browser->table, false);
    browser->config = *config;
    browser->error = QNB_ERR_SUCCESS;

    char indices[64] = "";
    for (uint32_t n = 0; n < config->network_count; n++) {
        size_t used = strnlen(indices, sizeof indices);
        qnb_snprintf(indices + used, sizeof indices - used, n == 0 ? "%u" : ",%u", config->interface_index[n]);
    }
    qnb_log(logger, QNB_LOG_INFO, "%s: starting browse on %d interfaces: %s\n", fn,
            static_cast<int>(config->network_count), indices);

    for (uint32_t row = 0; row < WB_SERVICE_ROWS; row++) {
        const wb_service_row &service = wb_service_table[row];
        if ((browser->types & service.bit) == 0) {
            continue;
        }
        if (row == WB_SERVICE_ROW_AES67) {
            qnb_error err = wb_browse_sap_open(browser->sap, config->interface_index[0], "239.255.255.255");
            if (err != QNB_ERR_SUCCESS) {
                // Nothing stays open of a start that failed.
                wb_adhoc_browse_stop(browser, 0);
                if (err == QNB_ERR_INVALIDPARAMETER) {
                    qnb_log(logger, QNB_LOG_ERROR, "%s: Interface index number must be provided for browsing %s\n",
                            fn, service.label);
                    return QNB_ERR_INVALIDPARAMETER;
                }
                if (err == QNB_ERR_NODEV) {
                    return err;
                }
                qnb_log(logger, QNB_LOG_ERROR, "%s: Error creating socket for type %s, err=%d)\n", fn, service.label,
                        err);
                return QNB_ERR_NOTSOCK;
            }
            browser->sockets[row] = browser->sap->socket;
            qnb_log(logger, QNB_LOG_INFO, "%s: Started browsing for type %s using socket %d\n", fn, service.label,
                    browser->sockets[row]);
            continue;
        }
        char type[WB_INSTANCE_NAME_SIZE + WB_SUBTYPE_SIZE];
        if (browser->subtype[0] != '\0') {
            qnb_snprintf(type, sizeof type, "%s,%s", service.full_type, browser->subtype);
        } else {
            qnb_snprintf(type, sizeof type, "%s", service.full_type);
        }
        wt_dnssd_ref *ref = nullptr;
        int32_t err = wt_dnssd_browse(&ref, 0, 0, type, "local", wb_dnssd_browse, browser);
        if (err != WT_DNSSD_ERR_NONE || ref == nullptr) {
            wb_adhoc_browse_stop(browser, 0);
            qnb_log(logger, QNB_LOG_ERROR, "Error starting %s (%s) browse (dnssd err=%d)\n", service.label,
                    service.full_type, static_cast<int>(err));
            return QNB_ERR_DNSSDFAIL;
        }
        browser->refs[row] = ref;
        browser->sockets[row] = wt_dnssd_socket(ref);
        qnb_log(logger, QNB_LOG_INFO, "%s: Started browsing for type %s (%s) using socket %d\n", fn, service.label,
                service.full_type, browser->sockets[row]);
    }
    browser->running = 1;
    return QNB_ERR_SUCCESS;
}

void wb_adhoc_browse_stop(wb_adhoc_browse *browser, int events)
{
    static const char fn[] = "wb_adhoc_browse_stop";
    if (browser == nullptr) {
        return;
    }
    for (uint32_t row = 0; row < WB_SERVICE_ROWS; row++) {
        if (browser->refs[row] == nullptr) {
            continue;
        }
        qnb_log(logger_of(browser), QNB_LOG_INFO, "%s: Stopping browsing for type %s using socket %d\n", fn,
                wb_service_table[row].label, browser->sockets[row]);
        wt_dnssd_deallocate(browser->refs[row]);
        browser->refs[row] = nullptr;
        browser->sockets[row] = -1;
    }
    if (browser->sockets[WB_SERVICE_ROW_AES67] >= 0) {
        qnb_log(logger_of(browser), QNB_LOG_INFO, "%s: Stopping browsing for type %s using socket %d\n", fn,
                wb_service_table[WB_SERVICE_ROW_AES67].label, browser->sockets[WB_SERVICE_ROW_AES67]);
        browser->sockets[WB_SERVICE_ROW_AES67] = -1;
    }
    if (browser->sap != nullptr) {
        wb_browse_sap_clear(browser->sap, events == 1);
        wb_browse_sap_close(browser->sap);
    }
    while (browser->active.first != nullptr) {
        wb_resolve_remove(static_cast<wb_adhoc_resolve *>(browser->active.first->data));
    }
    while (browser->pending.first != nullptr) {
        wb_resolve_remove(static_cast<wb_adhoc_resolve *>(browser->pending.first->data));
    }
    release_free_entries(browser);
    wb_device_table_clear(browser->table, events == 1);
    browser->running = 0;
}

qnb_error wb_adhoc_browse_get_fdset(wb_adhoc_browse *browser, qnb_socket_set *set)
{
    if (browser == nullptr || set == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (browser->env != nullptr && browser->env->event_loop != nullptr) {
        return QNB_ERR_NOTSUPPORTED;
    }
    if (!browser->running) {
        return QNB_ERR_INVALIDSTATE;
    }
    qnb_error result = QNB_ERR_SUCCESS;
    for (uint32_t row = 0; row < WB_SERVICE_ROWS; row++) {
        if (browser->sockets[row] >= 0 && qnb_socket_set_add(set, browser->sockets[row]) != QNB_ERR_SUCCESS) {
            result = QNB_ERR_NOBUFS;
        }
    }
    for (qnb_list_node *node = browser->active.first; node != nullptr; node = node->next) {
        const wb_adhoc_resolve *entry = static_cast<const wb_adhoc_resolve *>(node->data);
        if (entry->socket >= 0 && qnb_socket_set_add(set, entry->socket) != QNB_ERR_SUCCESS) {
            result = QNB_ERR_NOBUFS;
        }
    }
    return result;
}

qnb_error wb_adhoc_browse_process_fdset(wb_adhoc_browse *browser, const qnb_socket_set *set,
                                        qnb_timeval *next_deadline)
{
    static const char fn[] = "wb_adhoc_browse_process_fdset";
    if (browser == nullptr || set == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (browser->env != nullptr && browser->env->event_loop != nullptr) {
        return QNB_ERR_NOTSUPPORTED;
    }
    qnb_logger *logger = logger_of(browser);
    qnb_time_now(&browser->pass_time);
    browser->error = QNB_ERR_SUCCESS;
    browser->sockets_changed = 0;
    browser->tree_changed = 0;
    qnb_error result = QNB_ERR_SUCCESS;

    // 1. Ready resolves. Callbacks may end entries (this one or others): an ended entry leaves the
    // active queue and is only freed at the end of the pass, so the snapshot stays valid.
    std::vector<wb_adhoc_resolve *> ready;
    for (qnb_list_node *node = browser->active.first; node != nullptr; node = node->next) {
        wb_adhoc_resolve *entry = static_cast<wb_adhoc_resolve *>(node->data);
        if (entry->resolving && qnb_socket_set_is_member(set, entry->socket)) {
            ready.push_back(entry);
        }
    }
    for (wb_adhoc_resolve *entry : ready) {
        if (!entry->resolving || entry->link.list != &browser->active) {
            continue;
        }
        qnb_log(logger, QNB_LOG_VERBOSE, "%s: processing resolve %p (type=%d name=%s sdref=%p s=%u)\n", fn,
                static_cast<void *>(entry), static_cast<int>(entry->row), entry->name,
                static_cast<void *>(entry->ref), static_cast<unsigned>(entry->socket));
        int32_t err = wt_dnssd_process_result(entry->socket, entry->ref);
        qnb_log(logger, QNB_LOG_VERBOSE, "%s: processed resolve %p with err %d\n", fn, static_cast<void *>(entry),
                static_cast<int>(err));
        if (err != WT_DNSSD_ERR_NONE) {
            // A reference that cannot be processed would stay readable for ever: end it.
            if (entry->resolving && entry->link.list == &browser->active) {
                wb_resolve_remove(entry);
            }
            if (result == QNB_ERR_SUCCESS) {
                result = QNB_ERR_DNSSDFAIL;
            }
        }
        if (result == QNB_ERR_SUCCESS && browser->error != QNB_ERR_SUCCESS) {
            result = browser->error;
        }
    }

    // 2. Overdue resolves end, and their records are reconfirmed.
    for (qnb_list_node *node = browser->active.first; node != nullptr;) {
        qnb_list_node *next = node->next;
        wb_adhoc_resolve *entry = static_cast<wb_adhoc_resolve *>(node->data);
        if (entry->resolving && time_before(entry->deadline, browser->pass_time)) {
            const wb_service_row &row = wb_service_table[entry->row];
            char full_name[WT_DNSSD_FULL_NAME_SIZE];
            if (wt_dnssd_construct_full_name(full_name, entry->name, row.full_type, "local") != 0) {
                full_name[0] = '\0';
            }
            qnb_log(logger, QNB_LOG_NOTICE, "%s: Resolve %s/%s (%s) timed out, removing and reconfirming\n", fn,
                    row.full_type, entry->name, full_name);
            uint32_t interface_index = network_interface(browser, entry->network);
            wb_resolve_remove(entry);
            if (full_name[0] != '\0') {
                wt_dnssd_reconfirm_record(0, interface_index, full_name, WT_DNSSD_TYPE_PTR, WT_DNSSD_CLASS_IN, 0,
                                          nullptr);
            }
        }
        node = next;
    }

    // 3. Browse replies.
    for (uint32_t row = 0; row < WB_SERVICE_ROWS; row++) {
        if (row == WB_SERVICE_ROW_AES67 && browser->sockets[row] >= 0 &&
            qnb_socket_set_is_member(set, browser->sockets[row])) {
            // A bad SAP packet is logged by the listener; the pass goes on.
            qnb_error err = wb_browse_sap_process(browser->sockets[row], browser->sap);
            if (err != QNB_ERR_SUCCESS && err != QNB_ERR_INVALIDDATA) {
                note_error(browser, err);
            }
            continue;
        }
        if (browser->refs[row] == nullptr || !qnb_socket_set_is_member(set, browser->sockets[row])) {
            continue;
        }
        qnb_log(logger, QNB_LOG_VERBOSE, "%s: processing %s socket %d\n", fn, wb_service_table[row].label,
                browser->sockets[row]);
        browser->error = QNB_ERR_SUCCESS;
        int32_t err = wt_dnssd_process_result(browser->sockets[row], browser->refs[row]);
        if (err != WT_DNSSD_ERR_NONE && result == QNB_ERR_SUCCESS) {
            result = QNB_ERR_DNSSDFAIL;
        }
        if (result == QNB_ERR_SUCCESS && browser->error != QNB_ERR_SUCCESS) {
            result = browser->error;
        }
    }

    // 4. Pending resolves take free slots.
    while (browser->pending.first != nullptr && browser->active.count < browser->max_resolves) {
        wb_adhoc_resolve *entry = static_cast<wb_adhoc_resolve *>(browser->pending.first->data);
        if (wb_resolve_resolve(entry) != QNB_ERR_SUCCESS) {
            wb_resolve_remove(entry);
            break;
        }
        qnb_list_push_back(&browser->active, &entry->link);
    }

    // 5. Ended entries are released.
    release_free_entries(browser);

    // 6. Tell the owner, whatever happened above, so no closed descriptor stays watched.
    if (browser->tree_changed && browser->table->changed_callback != nullptr) {
        browser->table->changed_callback(browser->table->owner);
    }
    if (browser->sockets_changed && browser->sockets_changed_callback != nullptr) {
        browser->sockets_changed_callback(browser->context);
    }

    if (next_deadline != nullptr) {
        next_deadline->tv_sec = 0;
        next_deadline->tv_usec = 0;
        bool any = false;
        for (qnb_list_node *node = browser->active.first; node != nullptr; node = node->next) {
            const wb_adhoc_resolve *entry = static_cast<const wb_adhoc_resolve *>(node->data);
            if (!any || time_before(entry->deadline, *next_deadline)) {
                *next_deadline = entry->deadline;
                any = true;
            }
        }
    }
    if (browser->sap != nullptr && browser->sap->sessions.count != 0) {
        wb_browse_sap_expire(browser->sap);
    }
    if (result == QNB_ERR_SUCCESS) {
        result = browser->error;
    }
    return result;
}

void wb_adhoc_browse_set_context(wb_adhoc_browse *browser, void *context)
{
    if (browser != nullptr) {
        browser->context = context;
    }
}

void wb_adhoc_browse_set_event_callback(wb_adhoc_browse *browser, wb_browse_event_fn fn)
{
    if (browser != nullptr) {
        wb_browse_sap_set_callback(browser->sap, fn);
    }
}

void wb_adhoc_browse_set_sockets_changed_callback(wb_adhoc_browse *browser, wb_adhoc_sockets_changed_fn fn)
{
    if (browser != nullptr) {
        browser->sockets_changed_callback = fn;
    }
}

void wb_adhoc_browse_set_accept_zero_port(wb_adhoc_browse *browser, int accept)
{
    if (browser != nullptr) {
        browser->accept_zero_port = accept;
    }
}

void wb_adhoc_browse_set_subtype(wb_adhoc_browse *browser, const char *subtype)
{
    if (browser == nullptr) {
        return;
    }
    browser->subtype[0] = '\0';
    if (subtype != nullptr && strnlen(subtype, WB_SUBTYPE_SIZE) < WB_SUBTYPE_SIZE) {
        bounded_copy(browser->subtype, sizeof browser->subtype, subtype);
    }
}

qnb_error wb_adhoc_browse_set_socket_budget(wb_adhoc_browse *browser, uint32_t budget)
{
    if (browser == nullptr || budget < browser->enabled_types + 1) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (budget != browser->enabled_types + browser->max_resolves) {
        if (browser->running) {
            return QNB_ERR_INVALIDSTATE;
        }
        browser->max_resolves = budget - browser->enabled_types;
    }
    return QNB_ERR_SUCCESS;
}
