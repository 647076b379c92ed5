#include "netaudio/conmon/cmm_codec.h"

#include <cstring>

static_assert(sizeof(cmm_interface) == 134, "interface entry is 134 bytes");
static_assert(sizeof(cmm_process) == 72, "process entry is 72 bytes");
static_assert(sizeof(cmm_state) == 1728, "state block is 1728 bytes");

// ---------------------------------------------------------------------------------------------
// Record accessors

const cmm_system_config *cmm_state_get_current_config(const cmm_state *state)
{
    if (!state || state->status == CMM_SYSTEM_UNKNOWN)
        return nullptr;
    return &state->current;
}

const cmm_system_config *cmm_state_get_pending_config(const cmm_state *state)
{
    if (!state || state->status != CMM_SYSTEM_CHANGING)
        return nullptr;
    return &state->pending;
}

unsigned cmm_state_get_process_count(const cmm_state *state)
{
    if (!state)
        return 0;
    return state->process_count < CMM_MAX_PROCESSES ? state->process_count : static_cast<unsigned>(CMM_MAX_PROCESSES);
}

const cmm_process *cmm_state_get_process(const cmm_state *state, unsigned index)
{
    if (index >= cmm_state_get_process_count(state))
        return nullptr;
    return &state->processes[index];
}

uint32_t cmm_process_get_lock(const cmm_process *process)
{
    return process ? process->lock : 0;
}

unsigned cmm_config_get_interface_count(const cmm_system_config *config)
{
    if (!config)
        return 0;
    return config->count < CMM_MAX_CONFIG_INTERFACES ? config->count : static_cast<unsigned>(CMM_MAX_CONFIG_INTERFACES);
}

const cmm_interface *cmm_config_get_interface(const cmm_system_config *config, unsigned index)
{
    if (index >= cmm_config_get_interface_count(config))
        return nullptr;
    return &config->interfaces[index];
}

unsigned cmm_interfaces_get_count(const cmm_interface_list *list)
{
    if (!list)
        return 0;
    return list->count < CMM_MAX_INTERFACES ? list->count : static_cast<unsigned>(CMM_MAX_INTERFACES);
}

const cmm_interface *cmm_interfaces_get(const cmm_interface_list *list, unsigned index)
{
    if (index >= cmm_interfaces_get_count(list))
        return nullptr;
    return &list->interfaces[index];
}

const uint8_t *cmm_interface_get_mac(const cmm_interface *entry)
{
    return entry ? entry->mac : nullptr;
}

namespace {

bool wide_equal(const char16_t *a, const char16_t *b, size_t units)
{
    for (size_t i = 0; i < units; ++i) {
        if (a[i] != b[i])
            return false;
        if (a[i] == 0)
            return true;
    }
    return true;
}

bool interface_equal(const cmm_interface &a, const cmm_interface &b)
{
    return wide_equal(a.name, b.name, CMM_INTERFACE_NAME_UNITS) && memcmp(a.mac, b.mac, sizeof a.mac) == 0;
}

} // namespace

const cmm_interface *cmm_interfaces_find_by_name(const cmm_interface_list *list, const char16_t *name)
{
    if (!list || !name)
        return nullptr;
    unsigned count = cmm_interfaces_get_count(list);
    for (unsigned i = 0; i < count; ++i) {
        const cmm_interface &entry = list->interfaces[i];
        // Exact comparison: the stored name is terminated within its 64 units, so a longer wanted
        // name differs at the stored terminator.
        size_t n = 0;
        while (n < CMM_INTERFACE_NAME_UNITS && entry.name[n] == name[n] && name[n] != 0)
            ++n;
        if (n < CMM_INTERFACE_NAME_UNITS && entry.name[n] == 0 && name[n] == 0)
            return &entry;
    }
    return nullptr;
}

void cmm_config_clear_interfaces(cmm_system_config *config)
{
    if (config)
        memset(config, 0, sizeof *config);
}

qnb_error cmm_config_add_interface_by_mac(cmm_system_config *config, const cmm_interface_list *options,
                                          const uint8_t mac[6])
{
    if (!config || !options || !mac || config->count >= CMM_MAX_CONFIG_INTERFACES)
        return QNB_ERR_INVALIDPARAMETER;
    unsigned count = cmm_interfaces_get_count(options);
    for (unsigned i = 0; i < count; ++i) {
        if (memcmp(options->interfaces[i].mac, mac, 6) == 0) {
            config->interfaces[config->count++] = options->interfaces[i];
            return QNB_ERR_SUCCESS;
        }
    }
    return QNB_ERR_INVALIDDATA;
}

const char *cmm_system_status_name(uint16_t status)
{
    switch (status) {
    case CMM_SYSTEM_UNKNOWN: return "Unknown";
    case CMM_SYSTEM_READY: return "Ready";
    case CMM_SYSTEM_CHANGING: return "Changing";
    case CMM_SYSTEM_INVALID_CONFIG: return "Invalid Config";
    case CMM_SYSTEM_OPTIONS_CHANGED: return "Options Changed";
    default: return "???";
    }
}

const char *cmm_response_status_name(uint16_t status)
{
    switch (status) {
    case CMM_STATUS_INVALID_API: return "Invalid API";
    case CMM_STATUS_INVALID_DATA: return "Invalid Data";
    case CMM_STATUS_INVALID_STATE: return "Invalid State";
    case CMM_STATUS_SYSTEM_ERROR: return "System error";
    default: return wgcp_message_kind_name(status);
    }
}

qnb_error cmm_status_to_error(uint16_t status)
{
    switch (status) {
    case CMM_STATUS_INVALID_API:
    case CMM_STATUS_INVALID_DATA:
        return QNB_ERR_INVALIDDATA;
    case CMM_STATUS_INVALID_STATE:
        return QNB_ERR_INVALIDSTATE;
    case CMM_STATUS_SYSTEM_ERROR:
        return QNB_ERR_SYSTEM;
    default:
        return wgcp_status_to_error(status);
    }
}

bool cmm_config_equal(const cmm_system_config *a, const cmm_system_config *b)
{
    if (!a || !b)
        return a == b;
    unsigned count = cmm_config_get_interface_count(a);
    if (count != cmm_config_get_interface_count(b))
        return false;
    for (unsigned i = 0; i < count; ++i)
        if (!interface_equal(a->interfaces[i], b->interfaces[i]))
            return false;
    return true;
}

bool cmm_interface_list_equal(const cmm_interface_list *a, const cmm_interface_list *b)
{
    if (!a || !b)
        return a == b;
    unsigned count = cmm_interfaces_get_count(a);
    if (count != cmm_interfaces_get_count(b))
        return false;
    for (unsigned i = 0; i < count; ++i)
        if (!interface_equal(a->interfaces[i], b->interfaces[i]))
            return false;
    return true;
}

bool cmm_state_equal(const cmm_state *a, const cmm_state *b)
{
    if (!a || !b)
        return a == b;
    if (a->status != b->status || strncmp(a->device_name, b->device_name, CMM_DEVICE_NAME_SIZE) != 0 ||
        !cmm_config_equal(&a->current, &b->current) || !cmm_config_equal(&a->pending, &b->pending))
        return false;
    unsigned count = cmm_state_get_process_count(a);
    if (count != cmm_state_get_process_count(b))
        return false;
    for (unsigned i = 0; i < count; ++i) {
        const cmm_process &p = a->processes[i];
        const cmm_process &q = b->processes[i];
        if (strncmp(p.name, q.name, CMM_PROCESS_NAME_SIZE) != 0 || p.pid != q.pid || p.lock != q.lock)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Encoding

namespace {

// Writes a list of `count` items and hands it out for filling.
qnb_error put_list(wgcp_message *m, uint16_t count, wgcp_u16_array *list)
{
    return wgcp_body_put_u16_array(m, count, list);
}

qnb_error encode_interface(wgcp_message *m, const cmm_interface &entry, uint16_t *offset)
{
    wgcp_u16_array node;
    qnb_error err = put_list(m, 2, &node);
    if (err)
        return err;
    char16_t name[CMM_INTERFACE_NAME_UNITS];
    memcpy(name, entry.name, sizeof name);
    name[CMM_INTERFACE_NAME_UNITS - 1] = 0;
    uint16_t name_at, mac_at;
    if ((err = wgcp_body_put_wstring(m, name, &name_at)) || (err = wgcp_body_put_bytes(m, 6, entry.mac, &mac_at)))
        return err;
    wgcp_u16_array_set(&node, 0, name_at);
    wgcp_u16_array_set(&node, 1, mac_at);
    *offset = node.offset;
    return QNB_ERR_SUCCESS;
}

qnb_error encode_interface_list(wgcp_message *m, const cmm_interface *entries, unsigned count, uint16_t *offset)
{
    wgcp_u16_array list;
    qnb_error err = put_list(m, static_cast<uint16_t>(count), &list);
    if (err)
        return err;
    for (unsigned i = 0; i < count; ++i) {
        uint16_t node;
        if ((err = encode_interface(m, entries[i], &node)))
            return err;
        wgcp_u16_array_set(&list, static_cast<uint16_t>(i), node);
    }
    *offset = list.offset;
    return QNB_ERR_SUCCESS;
}

// A configuration tree: root list whose item 0 is the offset of the interface list.
qnb_error encode_config(wgcp_message *m, const cmm_system_config &config, uint16_t *offset)
{
    wgcp_u16_array root;
    qnb_error err = put_list(m, 1, &root);
    if (err)
        return err;
    uint16_t list;
    if ((err = encode_interface_list(m, config.interfaces, cmm_config_get_interface_count(&config), &list)))
        return err;
    wgcp_u16_array_set(&root, 0, list);
    *offset = root.offset;
    return QNB_ERR_SUCCESS;
}

// Starts a message's body afresh: the root list at offset 0.
qnb_error begin_root(wgcp_message *m, uint16_t count, wgcp_u16_array *root)
{
    if (!m || m->header_size == 0)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_header_set_length(m->packet, m->header_size);
    return put_list(m, count, root);
}

void terminated_copy(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

} // namespace

qnb_error cmm_encode_client_info(wgcp_message *m, const cmm_client_info *info)
{
    if (!info)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_u16_array root;
    qnb_error err = begin_root(m, 3, &root);
    if (err)
        return err;
    char name[CMM_CLIENT_NAME_SIZE];
    terminated_copy(name, sizeof name, info->name);
    uint16_t name_at, pid_at;
    if ((err = wgcp_body_put_string(m, name, &name_at)) || (err = wgcp_body_put_u32(m, info->pid, &pid_at)))
        return err;
    wgcp_u16_array_set(&root, 0, name_at);
    wgcp_u16_array_set(&root, 1, pid_at);
    wgcp_u16_array_set(&root, 2, info->lock ? 1 : 0);
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_encode_options_entries(wgcp_message *m, const cmm_interface *entries, unsigned count)
{
    if ((!entries && count) || count > 0xFFFFu)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_u16_array root;
    qnb_error err = begin_root(m, 1, &root);
    if (err)
        return err;
    uint16_t list;
    if ((err = encode_interface_list(m, entries, count, &list)))
        return err;
    wgcp_u16_array_set(&root, 0, list);
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_encode_options(wgcp_message *m, const cmm_interface_list *options)
{
    if (!options)
        return QNB_ERR_INVALIDPARAMETER;
    return cmm_encode_options_entries(m, options->interfaces, cmm_interfaces_get_count(options));
}

qnb_error cmm_encode_state(wgcp_message *m, const cmm_state *state)
{
    if (!state)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_u16_array root;
    qnb_error err = begin_root(m, 5, &root);
    if (err)
        return err;
    wgcp_u16_array_set(&root, 0, state->status);

    char name[CMM_DEVICE_NAME_SIZE];
    terminated_copy(name, sizeof name, state->device_name);
    uint16_t at;
    if ((err = wgcp_body_put_string(m, name, &at)))
        return err;
    wgcp_u16_array_set(&root, 1, at);

    if ((err = encode_config(m, state->current, &at)))
        return err;
    wgcp_u16_array_set(&root, 2, at);

    // The pending configuration exists only while a change is under way.
    if (state->status == CMM_SYSTEM_CHANGING) {
        if ((err = encode_config(m, state->pending, &at)))
            return err;
        wgcp_u16_array_set(&root, 3, at);
    }

    unsigned count = cmm_state_get_process_count(state);
    wgcp_u16_array processes;
    if ((err = put_list(m, static_cast<uint16_t>(count), &processes)))
        return err;
    wgcp_u16_array_set(&root, 4, processes.offset);
    for (unsigned i = 0; i < count; ++i) {
        const cmm_process &p = state->processes[i];
        wgcp_u16_array node;
        if ((err = put_list(m, 3, &node)))
            return err;
        wgcp_u16_array_set(&processes, static_cast<uint16_t>(i), node.offset);
        char pname[CMM_PROCESS_NAME_SIZE];
        terminated_copy(pname, sizeof pname, p.name);
        uint16_t name_at, pid_at;
        if ((err = wgcp_body_put_string(m, pname, &name_at)) || (err = wgcp_body_put_u32(m, p.pid, &pid_at)))
            return err;
        wgcp_u16_array_set(&node, 0, name_at);
        wgcp_u16_array_set(&node, 1, pid_at);
        wgcp_u16_array_set(&node, 2, p.lock ? 1 : 0);
    }
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_encode_set_config(wgcp_message *m, const cmm_set_config *record)
{
    if (!record)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_u16_array root;
    qnb_error err = begin_root(m, 3, &root);
    if (err)
        return err;
    uint16_t flags = static_cast<uint16_t>(record->flags & (CMM_SET_CONFIG | CMM_SET_LOCK));
    wgcp_u16_array_set(&root, 0, flags);
    if (flags & CMM_SET_CONFIG) {
        uint16_t at;
        if ((err = encode_config(m, record->config, &at)))
            return err;
        wgcp_u16_array_set(&root, 1, at);
    }
    if (flags & CMM_SET_LOCK)
        wgcp_u16_array_set(&root, 2, record->lock ? 1 : 0);
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_encode_server_version(wgcp_message *m, const cmm_server_version *version)
{
    if (!version)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_u16_array root;
    qnb_error err = begin_root(m, 4, &root);
    if (err)
        return err;
    wgcp_u16_array_set(&root, 0, version->bytes[0]);
    wgcp_u16_array_set(&root, 1, version->bytes[1]);
    wgcp_u16_array_set(&root, 2, version->word);
    wgcp_u16_array_set(&root, 3, version->extra);
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Decoding. Every field goes through the container's bounded readers; a zero offset means that
// the field is absent.

namespace {

// A list of at least `min_items` items at `offset`.
qnb_error get_list(wgcp_message *m, uint16_t offset, uint16_t min_items, wgcp_u16_array *list)
{
    qnb_error err = wgcp_body_get_u16_array(m, offset, list);
    if (err)
        return err;
    return list->count < min_items ? QNB_ERR_NODATA : QNB_ERR_SUCCESS;
}

uint16_t item(const wgcp_u16_array &list, uint16_t index)
{
    uint16_t value = 0;
    wgcp_u16_array_get(&list, index, &value);
    return value;
}

qnb_error get_text(wgcp_message *m, uint16_t offset, char *buf, size_t size)
{
    buf[0] = '\0';
    if (offset == 0)
        return QNB_ERR_SUCCESS;
    size_t len = size;
    return wgcp_body_get_string(m, offset, buf, &len);
}

qnb_error decode_interface(wgcp_message *m, uint16_t offset, cmm_interface *out)
{
    wgcp_u16_array node;
    qnb_error err = get_list(m, offset, 2, &node);
    if (err)
        return err;
    uint16_t name_at = item(node, 0);
    uint16_t mac_at = item(node, 1);
    if (name_at) {
        size_t cap = CMM_INTERFACE_NAME_UNITS;
        if ((err = wgcp_body_get_wstring(m, name_at, out->name, &cap)))
            return err;
    }
    if (mac_at && (err = wgcp_body_get_bytes(m, mac_at, 6, out->mac)))
        return err;
    return QNB_ERR_SUCCESS;
}

// An interface list at `offset` (0: missing), at most `max` entries kept.
qnb_error decode_interface_list(wgcp_message *m, uint16_t offset, cmm_interface *entries, unsigned max,
                                uint16_t *count)
{
    if (offset == 0)
        return QNB_ERR_NODATA;
    wgcp_u16_array list;
    qnb_error err = get_list(m, offset, 0, &list);
    if (err)
        return err;
    unsigned n = list.count < max ? list.count : max;
    for (unsigned i = 0; i < n; ++i) {
        uint16_t at = item(list, static_cast<uint16_t>(i));
        if (at == 0)
            return QNB_ERR_NODATA;
        if ((err = decode_interface(m, at, &entries[i])))
            return err;
    }
    *count = static_cast<uint16_t>(n);
    return QNB_ERR_SUCCESS;
}

qnb_error decode_config(wgcp_message *m, uint16_t offset, cmm_system_config *out)
{
    wgcp_u16_array root;
    qnb_error err = get_list(m, offset, 1, &root);
    if (err)
        return err;
    return decode_interface_list(m, item(root, 0), out->interfaces, CMM_MAX_CONFIG_INTERFACES, &out->count);
}

} // namespace

qnb_error cmm_decode_client_info(wgcp_message *m, cmm_client_info *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    cmm_client_info info;
    memset(&info, 0, sizeof info);
    wgcp_u16_array root;
    qnb_error err = get_list(m, 0, 3, &root);
    if (err || (err = get_text(m, item(root, 0), info.name, sizeof info.name)))
        return err;
    if (item(root, 1) && (err = wgcp_body_get_u32(m, item(root, 1), &info.pid)))
        return err;
    info.lock = item(root, 2) ? 1 : 0;
    *out = info;
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_decode_options(wgcp_message *m, cmm_interface_list *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    cmm_interface_list options;
    memset(&options, 0, sizeof options);
    wgcp_u16_array root;
    qnb_error err = get_list(m, 0, 1, &root);
    if (!err)
        err = decode_interface_list(m, item(root, 0), options.interfaces, CMM_MAX_INTERFACES, &options.count);
    if (!err)
        *out = options;
    return err;
}

qnb_error cmm_decode_state(wgcp_message *m, cmm_state *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    cmm_state block;
    memset(&block, 0, sizeof block);
    cmm_state *state = &block;
    wgcp_u16_array root;
    qnb_error err = get_list(m, 0, 5, &root);
    if (!err) {
        state->status = item(root, 0);
        err = get_text(m, item(root, 1), state->device_name, sizeof state->device_name);
    }
    if (!err && item(root, 2))
        err = decode_config(m, item(root, 2), &state->current);
    if (!err && item(root, 3))
        err = decode_config(m, item(root, 3), &state->pending);
    if (!err && item(root, 4)) {
        wgcp_u16_array list;
        err = get_list(m, item(root, 4), 0, &list);
        unsigned n = err ? 0 : (list.count < CMM_MAX_PROCESSES ? list.count : static_cast<unsigned>(CMM_MAX_PROCESSES));
        for (unsigned i = 0; !err && i < n; ++i) {
            cmm_process &p = state->processes[i];
            wgcp_u16_array node;
            uint16_t at = item(list, static_cast<uint16_t>(i));
            err = at ? get_list(m, at, 3, &node) : QNB_ERR_NODATA;
            if (!err)
                err = get_text(m, item(node, 0), p.name, sizeof p.name);
            if (!err && item(node, 1))
                err = wgcp_body_get_u32(m, item(node, 1), &p.pid);
            if (!err)
                p.lock = item(node, 2) ? 1 : 0;
        }
        if (!err)
            state->process_count = static_cast<uint16_t>(n);
    }
    if (!err)
        *out = block;
    return err;
}

qnb_error cmm_decode_set_config(wgcp_message *m, cmm_set_config *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    cmm_set_config record;
    memset(&record, 0, sizeof record);
    wgcp_u16_array root;
    qnb_error err = get_list(m, 0, 3, &root);
    if (err)
        return err;
    record.flags = item(root, 0) & (CMM_SET_CONFIG | CMM_SET_LOCK);
    if (record.flags & CMM_SET_CONFIG) {
        if (item(root, 1) == 0)
            return QNB_ERR_NODATA;
        if ((err = decode_config(m, item(root, 1), &record.config)))
            return err;
    }
    if (record.flags & CMM_SET_LOCK)
        record.lock = item(root, 2) ? 1 : 0;
    *out = record;
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_decode_server_version(wgcp_message *m, cmm_server_version *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_u16_array root;
    qnb_error err = get_list(m, 0, 4, &root);
    if (err)
        return err;
    cmm_server_version v;
    v.valid = true;
    v.bytes[0] = static_cast<uint8_t>(item(root, 0));
    v.bytes[1] = static_cast<uint8_t>(item(root, 1));
    v.word = item(root, 2);
    v.extra = item(root, 3);
    *out = v;
    return QNB_ERR_SUCCESS;
}
