#include "netaudio/conmon/conmon_local.h"

#include <cstring>

#include "netaudio/messaging/wgcp_buffer.h"

namespace {

// Host-order fields of a local message, read and written only inside the bytes given.
struct host_view {
    const uint8_t *p;
    size_t size;
    bool has(size_t offset, size_t n) const { return offset <= size && n <= size - offset; }
    bool u16(size_t offset, uint16_t *out) const
    {
        if (!has(offset, 2))
            return false;
        std::memcpy(out, p + offset, 2);
        return true;
    }
    bool u32(size_t offset, uint32_t *out) const
    {
        if (!has(offset, 4))
            return false;
        std::memcpy(out, p + offset, 4);
        return true;
    }
    bool bytes(size_t offset, void *out, size_t n) const
    {
        if (!has(offset, n))
            return false;
        std::memcpy(out, p + offset, n);
        return true;
    }
    // Big-endian u16 (the channel message's own length).
    bool be16(size_t offset, uint16_t *out) const
    {
        if (!has(offset, 2))
            return false;
        *out = wgcp_load_be16(p + offset);
        return true;
    }
    // A text field of `field` bytes, terminated or not, copied into `out` of `out_size`.
    bool text(size_t offset, size_t field, char *out, size_t out_size) const
    {
        if (!has(offset, field) || out_size == 0)
            return false;
        size_t n = strnlen(reinterpret_cast<const char *>(p + offset), field);
        if (n >= out_size)
            n = out_size - 1;
        std::memcpy(out, p + offset, n);
        out[n] = '\0';
        return true;
    }
    // 0: a NUL within `field` bytes at offset; 4: the bytes end first; 7: no NUL in a whole field.
    unsigned terminated(size_t offset, size_t field) const
    {
        if (offset >= size)
            return CONMON_KIND_INVALID_SIZE;
        size_t avail = size - offset;
        size_t n = avail < field ? avail : field;
        if (std::memchr(p + offset, 0, n))
            return 0;
        return avail < field ? CONMON_KIND_INVALID_SIZE : CONMON_KIND_INVALID_DATA;
    }
};

void put16(uint8_t *p, uint16_t v)
{
    std::memcpy(p, &v, 2);
}

const struct {
    uint16_t opcode;
    const char *name;
} k_opcode_names[] = {
    {CONMON_LOCAL_CONNECT, "Connect"},
    {CONMON_LOCAL_DISCONNECT, "Disconnect"},
    {CONMON_LOCAL_SET_DEVICE_NAME, "Set Velto Device Name"},
    {CONMON_LOCAL_SET_REMOTE_CONTROL_ALLOWED, "SET_REMOTE_CONTROL_ALLOWED"},
    {CONMON_LOCAL_REGISTER, "Register"},
    {CONMON_LOCAL_DEREGISTER, "Deregister"},
    {CONMON_LOCAL_SUBSCRIBE, "Subscribe"},
    {CONMON_LOCAL_UNSUBSCRIBE, "Unsubscribe"},
    {CONMON_LOCAL_ENABLE_TX_METERING, "Enable Tx Metering"},
    {CONMON_LOCAL_DISABLE_TX_METERING, "Disable Tx Metering"},
    {CONMON_LOCAL_SEND_MESSAGE, "Send Message"},
    {CONMON_LOCAL_NETWORKS_CHANGED, "Networks Changed"},
    {CONMON_LOCAL_DEVICE_NAME_CHANGED, "Velto Device Name Changed"},
    {CONMON_LOCAL_DNS_DOMAIN_NAME_CHANGED, "DNS_DOMAIN_NAME_CHANGED"},
    {CONMON_LOCAL_CHANNEL_MESSAGE, "Channel Message"},
    {CONMON_LOCAL_NAMED_CHANNEL_MESSAGE, "Named Channel Message"},
    {CONMON_LOCAL_LEGACY_METERING_ADDRESSES, "Legacy Metering Addresses"},
    {CONMON_LOCAL_SUBSCRIPTIONS_CHANGED, "Subscriptions Changed"},
};

const char *const k_kind_names[] = {"Request",        "Response",       "Event",          "Invalid version",
                                    "Invalid size",   "Invalid opcode", "Invalid status", "Invalid data",
                                    "Internal error", "Not Supported",  "Timeout",        "Invalid State",
                                    "No Buffers",     "Not Found"};

const qnb_error k_kind_errors[] = {QNB_ERR_SUCCESS,     QNB_ERR_SUCCESS,      QNB_ERR_SUCCESS,     QNB_ERR_VERSION,
                                   QNB_ERR_INVALIDDATA, QNB_ERR_INVALIDDATA,  QNB_ERR_INVALIDDATA, QNB_ERR_INVALIDDATA,
                                   QNB_ERR_SYSTEM,      QNB_ERR_NOTSUPPORTED, QNB_ERR_TIMEDOUT,    QNB_ERR_INVALIDSTATE,
                                   QNB_ERR_NOBUFS,      QNB_ERR_NOTFOUND};

bool begin(uint8_t *buffer, size_t capacity, size_t *length, size_t needed)
{
    return buffer && length && capacity >= needed;
}

void head(uint8_t *buffer, uint16_t version, uint16_t length, uint16_t request_id, uint16_t opcode)
{
    conmon_local_head h = {version, length, request_id, opcode, CONMON_KIND_REQUEST};
    conmon_local_write_head(buffer, &h);
}

// Subscription lists: the form, the record size and where the records start.
void subscription_form(uint16_t version, size_t *first, size_t *record)
{
    if (version < 0x1100) {
        *first = 12;
        *record = CONMON_SUBSCRIPTION_RECORD_OLD;
    } else {
        *first = 16;
        *record = CONMON_SUBSCRIPTION_RECORD;
    }
}

unsigned validate_subscription_list(const host_view &v, uint16_t version)
{
    if (v.size <= CONMON_LOCAL_HEAD_SIZE)
        return 0; // an empty answer
    uint16_t count = 0;
    if (!v.u16(10, &count))
        return CONMON_KIND_INVALID_SIZE;
    size_t first, record;
    subscription_form(version, &first, &record);
    if ((uint64_t)v.size < (uint64_t)first + (uint64_t)record * count)
        return CONMON_KIND_INVALID_SIZE;
    return 0;
}

// The inner channel message's own length (big-endian, at `at`) must be a whole head and lie
// inside the datagram from `start`.
unsigned validate_inner(const host_view &v, size_t start, size_t at)
{
    uint16_t inner = 0;
    if (!v.be16(at, &inner))
        return CONMON_KIND_INVALID_SIZE;
    if (inner < 24)
        return CONMON_KIND_INVALID_DATA;
    if ((uint64_t)v.size < (uint64_t)start + inner)
        return CONMON_KIND_INVALID_SIZE;
    return 0;
}

unsigned validate_connect_response(const host_view &v, uint16_t version)
{
    if (version < 0x1200) {
        uint16_t count = 0;
        if (v.size < 56 || !v.u16(54, &count))
            return CONMON_KIND_INVALID_SIZE;
        if ((uint64_t)v.size != 56 + (uint64_t)CONMON_INTERFACE_RECORD_OLD * count)
            return CONMON_KIND_INVALID_DATA;
        return 0;
    }
    uint16_t count = 0, record = 0, offset = 0;
    if (v.size < 324 || !v.u16(310, &count) || !v.u16(312, &record) || !v.u16(314, &offset))
        return CONMON_KIND_INVALID_SIZE;
    if ((uint64_t)v.size != (uint64_t)offset + (uint64_t)count * record)
        return CONMON_KIND_INVALID_DATA;
    return 0;
}

unsigned validate_networks_changed(const host_view &v, uint16_t version)
{
    uint16_t count = 0;
    if (version < 0x1200) {
        if (v.size < 12 || !v.u16(10, &count))
            return CONMON_KIND_INVALID_SIZE;
        if ((uint64_t)v.size != 12 + (uint64_t)CONMON_INTERFACE_RECORD_OLD * count)
            return CONMON_KIND_INVALID_DATA;
        return 0;
    }
    if (v.size < 16 || !v.u16(10, &count))
        return CONMON_KIND_INVALID_SIZE;
    if ((uint64_t)v.size != 16 + (uint64_t)CONMON_INTERFACE_RECORD_MIN * count)
        return CONMON_KIND_INVALID_DATA;
    return 0;
}

void read_old_interface(const host_view &v, size_t at, conmon_network_entry *e)
{
    std::memset(e, 0, sizeof *e);
    v.u32(at + 64, &e->interface_index);
    v.u32(at + 68, &e->value_c);
    v.u16(at + 72, &e->value_d);
    v.u16(at + 74, &e->value_b);
    v.u32(at + 76, &e->address[0]);
    v.u32(at + 80, &e->address[1]);
    v.u32(at + 84, &e->address[2]);
}

void read_new_interface(const host_view &v, size_t at, conmon_network_entry *e)
{
    std::memset(e, 0, sizeof *e);
    v.u32(at + 0, &e->interface_index);
    v.u32(at + 4, &e->value_a);
    v.u16(at + 8, &e->value_b);
    v.u32(at + 10, &e->value_c);
    v.u16(at + 14, &e->value_d);
    for (size_t i = 0; i < 5; ++i)
        v.u32(at + 16 + 4 * i, &e->address[i]);
}

// Interface records: `count` of `record` bytes from `first`; at most two are kept, each only when
// it lies inside the datagram.
qnb_error read_interfaces(const host_view &v, size_t first, uint16_t count, size_t record, bool old_form,
                          conmon_networks *out)
{
    std::memset(out, 0, sizeof *out);
    for (unsigned i = 0; i < count && out->count < CONMON_MAX_NETWORKS; ++i) {
        uint64_t at = (uint64_t)first + (uint64_t)record * i;
        if (at > v.size || !v.has((size_t)at, old_form ? CONMON_INTERFACE_RECORD_OLD : CONMON_INTERFACE_RECORD_MIN))
            return QNB_ERR_INVALIDDATA;
        conmon_network_entry *e = &out->entries[out->count++];
        if (old_form)
            read_old_interface(v, (size_t)at, e);
        else
            read_new_interface(v, (size_t)at, e);
    }
    return QNB_ERR_SUCCESS;
}

} // namespace

const char *conmon_local_opcode_name(uint16_t opcode)
{
    for (const auto &row : k_opcode_names)
        if (row.opcode == opcode)
            return row.name;
    return nullptr;
}

const char *conmon_local_kind_name(uint16_t kind_status)
{
    unsigned kind = kind_status & CONMON_KIND_MASK;
    if (kind < sizeof k_kind_names / sizeof k_kind_names[0])
        return k_kind_names[kind];
    return nullptr;
}

const char *conmon_local_state_name(int state)
{
    switch (state) {
    case CONMON_LOCAL_NO_CONNECTION: return "NO_CONNECTION";
    case CONMON_LOCAL_CONNECTING: return "CONNECTING";
    case CONMON_LOCAL_CONNECTED: return "CONNECTED";
    case CONMON_LOCAL_RECONNECT_PENDING: return "RECONNECT_PENDING";
    default: return "???";
    }
}

qnb_error conmon_local_kind_error(uint16_t kind_status)
{
    if (kind_status < sizeof k_kind_errors / sizeof k_kind_errors[0])
        return k_kind_errors[kind_status];
    return QNB_ERR_SYSTEM;
}

qnb_error conmon_local_read_head(const void *data, size_t size, conmon_local_head *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    host_view v = {static_cast<const uint8_t *>(data), size};
    if (size < CONMON_LOCAL_HEAD_SIZE)
        return QNB_ERR_INVALIDDATA;
    v.u16(0, &out->version);
    v.u16(2, &out->length);
    v.u16(4, &out->request_id);
    v.u16(6, &out->opcode);
    v.u16(8, &out->kind);
    return QNB_ERR_SUCCESS;
}

void conmon_local_write_head(uint8_t *buffer, const conmon_local_head *h)
{
    put16(buffer + 0, h->version);
    put16(buffer + 2, h->length);
    put16(buffer + 4, h->request_id);
    put16(buffer + 6, h->opcode);
    put16(buffer + 8, h->kind);
}

unsigned conmon_local_validate(const void *data, size_t size, uint16_t version)
{
    conmon_local_head h;
    if (!data || size <= 9 || conmon_local_read_head(data, size, &h) != QNB_ERR_SUCCESS)
        return CONMON_KIND_INVALID_SIZE;
    if (h.version < CONMON_LOCAL_VERSION_MIN || h.version > CONMON_LOCAL_VERSION_MAX)
        return CONMON_KIND_INVALID_VERSION;
    if (h.length != size)
        return CONMON_KIND_INVALID_SIZE;
    unsigned kind = h.kind & CONMON_KIND_MASK;
    if (kind >= 3)
        return 0;
    const bool request = kind == CONMON_KIND_REQUEST;
    const bool response = kind == CONMON_KIND_RESPONSE;
    const bool event = kind == CONMON_KIND_EVENT;
    host_view v = {static_cast<const uint8_t *>(data), size};
    const size_t reg_min = version < 0x1100 ? 14 : 16;

    switch (h.opcode) {
    case CONMON_LOCAL_KEEPALIVE:
    case CONMON_LOCAL_DISCONNECT:
    case CONMON_LOCAL_ENABLE_TX_METERING:
    case CONMON_LOCAL_DISABLE_TX_METERING:
    case CONMON_LOCAL_CLEAR_REMOTE: return 0;
    case CONMON_LOCAL_CONNECT:
        if (request)
            return v.terminated(10, CONMON_NAME_FIELD);
        if (response)
            return validate_connect_response(v, version);
        return CONMON_KIND_INVALID_STATUS;
    case CONMON_LOCAL_SET_REMOTE_CONTROL_ALLOWED: return size >= 12 ? 0 : CONMON_KIND_INVALID_SIZE;
    case CONMON_LOCAL_SET_DEVICE_NAME:
    case CONMON_LOCAL_DEVICE_NAME_CHANGED: return size >= 42 ? 0 : CONMON_KIND_INVALID_SIZE;
    case CONMON_LOCAL_REGISTER:
    case CONMON_LOCAL_DEREGISTER: {
        if (event)
            return CONMON_KIND_INVALID_STATUS;
        if (response)
            return 0;
        uint16_t type = 0, class_ = 0;
        if (size < reg_min || !v.u16(10, &type) || !v.u16(12, &class_))
            return CONMON_KIND_INVALID_SIZE;
        return type < 9 && class_ <= 1 ? 0 : CONMON_KIND_INVALID_DATA;
    }
    case CONMON_LOCAL_SUBSCRIBE:
    case CONMON_LOCAL_UNSUBSCRIBE: {
        if (event)
            return CONMON_KIND_INVALID_STATUS;
        if (response)
            return h.opcode == CONMON_LOCAL_SUBSCRIBE ? validate_subscription_list(v, version) : 0;
        uint16_t type = 0;
        if (size < reg_min || !v.u16(10, &type))
            return CONMON_KIND_INVALID_SIZE;
        if (type < 1 || type > 8)
            return CONMON_KIND_INVALID_DATA;
        return v.terminated(version < 0x1100 ? 12 : 14, CONMON_NAME_FIELD);
    }
    case CONMON_LOCAL_SEND_MESSAGE: {
        if (event)
            return CONMON_KIND_INVALID_STATUS;
        if (response)
            return 0;
        uint16_t type = 0;
        if (size < 36 || !v.u16(10, &type))
            return CONMON_KIND_INVALID_SIZE;
        if (type != 0) {
            if (type >= 9)
                return CONMON_KIND_INVALID_DATA;
            return validate_inner(v, 12, 14);
        }
        unsigned name = v.terminated(20, CONMON_NAME_FIELD);
        if (name)
            return name;
        if (size <= 75)
            return CONMON_KIND_INVALID_SIZE;
        return validate_inner(v, 52, 54);
    }
    case CONMON_LOCAL_SEND_CHANNEL_MESSAGE: {
        if (event)
            return CONMON_KIND_INVALID_STATUS;
        if (response)
            return 0;
        uint16_t type = 0;
        if (size < 40 || !v.u16(10, &type))
            return CONMON_KIND_INVALID_SIZE;
        if (type < 1 || type > 8)
            return CONMON_KIND_INVALID_DATA;
        return validate_inner(v, 16, 18);
    }
    case CONMON_LOCAL_NETWORKS_CHANGED:
        return event ? validate_networks_changed(v, version) : (unsigned)CONMON_KIND_INVALID_STATUS;
    case CONMON_LOCAL_DNS_DOMAIN_NAME_CHANGED: return size >= 266 ? 0 : CONMON_KIND_INVALID_SIZE;
    case CONMON_LOCAL_CHANNEL_MESSAGE:
        if (!event)
            return CONMON_KIND_INVALID_STATUS;
        if (size < 40)
            return CONMON_KIND_INVALID_SIZE;
        return validate_inner(v, 16, 18);
    case CONMON_LOCAL_NAMED_CHANNEL_MESSAGE:
        if (!event)
            return CONMON_KIND_INVALID_STATUS;
        if (size < 72)
            return CONMON_KIND_INVALID_SIZE;
        return validate_inner(v, 48, 50);
    case CONMON_LOCAL_LEGACY_METERING_ADDRESSES: {
        if (!event)
            return CONMON_KIND_INVALID_STATUS;
        uint16_t a = 0, b = 0;
        if (size < 20 || !v.u16(14, &a) || !v.u16(16, &b))
            return CONMON_KIND_INVALID_SIZE;
        return (uint64_t)size == 20 + 8 * ((uint64_t)b + 2 * (uint64_t)a) ? 0 : CONMON_KIND_INVALID_DATA;
    }
    case CONMON_LOCAL_SUBSCRIPTIONS_CHANGED:
        if (!event)
            return CONMON_KIND_INVALID_STATUS;
        return validate_subscription_list(v, version);
    default: return CONMON_KIND_NOT_SUPPORTED;
    }
}

// ---- builders ----

qnb_error conmon_local_build_empty(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                   uint16_t opcode, size_t *length)
{
    if (!buffer || !length)
        return QNB_ERR_INVALIDPARAMETER;
    if (!begin(buffer, capacity, length, CONMON_LOCAL_HEAD_SIZE))
        return QNB_ERR_MSGSIZE;
    head(buffer, version, CONMON_LOCAL_HEAD_SIZE, request_id, opcode);
    *length = CONMON_LOCAL_HEAD_SIZE;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_local_build_connect(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                     const char *name, bool auto_reconnect, size_t *length)
{
    if (!buffer || !length)
        return QNB_ERR_INVALIDPARAMETER;
    size_t n = name ? strnlen(name, CONMON_NAME_FIELD - 1) : 0;
    size_t total = version >= 0x1400 ? (size_t)CONMON_CONNECT_SIZE : (size_t)CONMON_LOCAL_HEAD_SIZE + n + 1;
    if (!begin(buffer, capacity, length, total))
        return QNB_ERR_MSGSIZE;
    std::memset(buffer, 0, total);
    head(buffer, version, (uint16_t)total, request_id, CONMON_LOCAL_CONNECT);
    if (n)
        std::memcpy(buffer + 10, name, n);
    if (version >= 0x1400)
        put16(buffer + 42, auto_reconnect ? 10 : 0);
    *length = total;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_local_build_register(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                      uint16_t opcode, uint16_t channel_type, uint16_t class_, uint16_t port,
                                      size_t *length)
{
    if (!buffer || !length)
        return QNB_ERR_INVALIDPARAMETER;
    size_t total = version < 0x1100 ? 14 : 16;
    if (!begin(buffer, capacity, length, total))
        return QNB_ERR_MSGSIZE;
    head(buffer, version, (uint16_t)total, request_id, opcode);
    put16(buffer + 10, channel_type);
    put16(buffer + 12, class_);
    if (total == 16)
        put16(buffer + 14, port);
    *length = total;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_local_build_subscribe(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                       uint16_t opcode, uint16_t channel_type, uint16_t port, const char *name,
                                       size_t *length)
{
    if (!buffer || !length)
        return QNB_ERR_INVALIDPARAMETER;
    size_t n = name ? strnlen(name, CONMON_NAME_FIELD) : 0;
    if (n >= CONMON_NAME_FIELD)
        return QNB_ERR_INVALIDPARAMETER;
    const bool old_form = version < 0x1100;
    size_t name_at = old_form ? 12 : 14;
    size_t total = (old_form ? 23 : 25) + n;
    if (!begin(buffer, capacity, length, total))
        return QNB_ERR_MSGSIZE;
    std::memset(buffer, 0, total);
    head(buffer, version, (uint16_t)total, request_id, opcode);
    put16(buffer + 10, channel_type);
    if (!old_form)
        put16(buffer + 12, port);
    if (n)
        std::memcpy(buffer + name_at, name, n);
    *length = total;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_local_build_send_message(uint8_t *buffer, size_t capacity, uint16_t version, uint16_t request_id,
                                          uint16_t channel_type, const uint8_t *device_id, const char *target_name,
                                          const uint8_t *channel_message, size_t channel_message_length, size_t *length)
{
    if (!buffer || !length || !channel_message || channel_message_length < 24)
        return QNB_ERR_INVALIDPARAMETER;
    size_t at = channel_type == 0 ? 52 : 12;
    size_t n = target_name ? strnlen(target_name, CONMON_NAME_FIELD) : 0;
    if (n >= CONMON_NAME_FIELD)
        return QNB_ERR_INVALIDPARAMETER;
    size_t total = at + channel_message_length;
    if (total > 0xFFFF || !begin(buffer, capacity, length, total))
        return QNB_ERR_MSGSIZE;
    std::memset(buffer, 0, at);
    head(buffer, version, (uint16_t)total, request_id, CONMON_LOCAL_SEND_MESSAGE);
    put16(buffer + 10, channel_type);
    if (channel_type == 0) {
        if (device_id)
            std::memcpy(buffer + 12, device_id, CONMON_DEVICE_ID_SIZE);
        if (n)
            std::memcpy(buffer + 20, target_name, n);
    }
    std::memcpy(buffer + at, channel_message, channel_message_length);
    *length = total;
    return QNB_ERR_SUCCESS;
}

// ---- readers ----

bool conmon_networks_equal(const conmon_networks *a, const conmon_networks *b)
{
    if (a->count != b->count)
        return false;
    for (unsigned i = 0; i < a->count && i < CONMON_MAX_NETWORKS; ++i) {
        const conmon_network_entry &x = a->entries[i];
        const conmon_network_entry &y = b->entries[i];
        if (x.interface_index != y.interface_index || x.value_a != y.value_a || x.value_b != y.value_b ||
            x.value_c != y.value_c || x.value_d != y.value_d || std::memcmp(x.address, y.address, sizeof x.address))
            return false;
    }
    return true;
}

qnb_error conmon_local_read_connect_response(const void *data, size_t size, uint16_t version,
                                             conmon_connection_data *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    std::memset(out, 0, sizeof *out);
    host_view v = {static_cast<const uint8_t *>(data), size};
    if (version < 0x1200) {
        uint16_t count = 0;
        if (!v.text(12, CONMON_NAME_FIELD, out->device_name, sizeof out->device_name) ||
            !v.bytes(44, out->device_id, CONMON_DEVICE_ID_SIZE) || !v.u16(52, &out->process) || !v.u16(54, &count))
            return QNB_ERR_INVALIDDATA;
        return read_interfaces(v, 56, count, CONMON_INTERFACE_RECORD_OLD, true, &out->networks);
    }
    uint16_t count = 0, record = 0, offset = 0;
    if (!v.u16(10, &out->server_flags) || !v.text(12, CONMON_NAME_FIELD, out->device_name, sizeof out->device_name) ||
        !v.text(44, CONMON_DNS_NAME_FIELD, out->dns_domain_name, sizeof out->dns_domain_name) ||
        !v.bytes(300, out->device_id, CONMON_DEVICE_ID_SIZE) || !v.u16(308, &out->process) || !v.u16(310, &count) ||
        !v.u16(312, &record) || !v.u16(314, &offset))
        return QNB_ERR_INVALIDDATA;
    if (version >= 0x1400 && (!v.u32(316, &out->values[0]) || !v.u32(320, &out->values[1])))
        return QNB_ERR_INVALIDDATA;
    if (record < CONMON_INTERFACE_RECORD_MIN)
        return QNB_ERR_SUCCESS; // records of an unknown form are not read
    return read_interfaces(v, offset, count, record, false, &out->networks);
}

qnb_error conmon_local_read_networks_changed(const void *data, size_t size, uint16_t version, conmon_networks *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    std::memset(out, 0, sizeof *out);
    host_view v = {static_cast<const uint8_t *>(data), size};
    uint16_t count = 0;
    if (!v.u16(10, &count))
        return QNB_ERR_INVALIDDATA;
    if (version < 0x1200)
        return read_interfaces(v, 12, count, CONMON_INTERFACE_RECORD_OLD, true, out);
    uint16_t record = 0, offset = 0;
    if (!v.u16(12, &record) || !v.u16(14, &offset))
        return QNB_ERR_INVALIDDATA;
    if (record < CONMON_INTERFACE_RECORD_MIN)
        return count == 0 ? QNB_ERR_SUCCESS : QNB_ERR_INVALIDDATA;
    return read_interfaces(v, offset, count, record, false, out);
}

qnb_error conmon_local_read_device_name(const void *data, size_t size, char out[CONMON_NAME_SIZE])
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    host_view v = {static_cast<const uint8_t *>(data), size};
    out[0] = '\0';
    return v.text(10, CONMON_NAME_FIELD, out, CONMON_NAME_SIZE) ? QNB_ERR_SUCCESS : QNB_ERR_INVALIDDATA;
}

qnb_error conmon_local_read_dns_domain_name(const void *data, size_t size, char out[CONMON_DNS_NAME_SIZE])
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    host_view v = {static_cast<const uint8_t *>(data), size};
    out[0] = '\0';
    return v.text(10, CONMON_DNS_NAME_FIELD, out, CONMON_DNS_NAME_SIZE) ? QNB_ERR_SUCCESS : QNB_ERR_INVALIDDATA;
}

qnb_error conmon_local_read_channel_event(const void *data, size_t size, conmon_local_channel_event *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    std::memset(out, 0, sizeof *out);
    host_view v = {static_cast<const uint8_t *>(data), size};
    uint16_t opcode = 0;
    if (!v.u16(6, &opcode) || !v.u16(10, &out->channel_type) || !v.u16(12, &out->class_))
        return QNB_ERR_INVALIDDATA;
    size_t at;
    if (opcode == CONMON_LOCAL_NAMED_CHANNEL_MESSAGE) {
        out->named = true;
        at = 48;
        uint16_t first = 0;
        if (!v.u16(16, &first))
            return QNB_ERR_INVALIDDATA;
        if (first != 0 && !v.text(16, CONMON_NAME_FIELD, out->sender_name, sizeof out->sender_name))
            return QNB_ERR_INVALIDDATA;
    } else if (opcode == CONMON_LOCAL_CHANNEL_MESSAGE) {
        at = 16;
        uint8_t domain = 0;
        if (!v.bytes(15, &domain, 1))
            return QNB_ERR_INVALIDDATA;
        out->domain = domain & 3;
    } else {
        return QNB_ERR_INVALIDDATA;
    }
    uint16_t inner = 0;
    if (!v.be16(at + 2, &inner) || inner < 24 || !v.has(at, inner))
        return QNB_ERR_INVALIDDATA;
    out->message = v.p + at;
    out->message_length = inner;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_local_read_subscription_list(const void *data, size_t size, uint16_t version, uint16_t *count,
                                              bool *subscriptions)
{
    if (!data || !count || !subscriptions)
        return QNB_ERR_INVALIDPARAMETER;
    host_view v = {static_cast<const uint8_t *>(data), size};
    *count = 0;
    *subscriptions = true;
    if (size <= CONMON_LOCAL_HEAD_SIZE)
        return QNB_ERR_SUCCESS;
    if (!v.u16(10, count))
        return QNB_ERR_INVALIDDATA;
    if (version >= 0x1100) {
        uint16_t names = 1;
        if (*count != 0 || size >= 14) {
            if (!v.u16(12, &names))
                return QNB_ERR_INVALIDDATA;
        }
        *subscriptions = names == 1;
    }
    size_t first, record;
    subscription_form(version, &first, &record);
    // Records that do not lie inside the datagram are not counted.
    uint64_t room = size > first ? (size - first) / record : 0;
    if (*count > room)
        *count = (uint16_t)room;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_local_read_subscription_record(const void *data, size_t size, uint16_t version, unsigned index,
                                                conmon_subscription_record *out)
{
    if (!data || !out)
        return QNB_ERR_INVALIDPARAMETER;
    std::memset(out, 0, sizeof *out);
    host_view all = {static_cast<const uint8_t *>(data), size};
    size_t first, record;
    subscription_form(version, &first, &record);
    uint64_t at = (uint64_t)first + (uint64_t)record * index;
    if (at > size || !all.has((size_t)at, record))
        return QNB_ERR_INVALIDDATA;
    host_view v = {all.p + at, record};
    v.bytes(0, &out->flags, 1);
    v.u16(2, &out->id);
    v.text(4, CONMON_NAME_FIELD, out->name, sizeof out->name);
    v.bytes(36, out->device_id, CONMON_DEVICE_ID_SIZE);
    v.u16(44, &out->process);
    v.u16(46, &out->status);
    if (record == CONMON_SUBSCRIPTION_RECORD_OLD) {
        out->flags &= 1;
        out->channel_type = 6;
        return QNB_ERR_SUCCESS;
    }
    v.u16(48, &out->channel_type);
    if (version >= 0x1300)
        v.bytes(50, out->values, 2);
    v.u16(52, &out->address_count);
    v.u16(54, &out->address_mask);
    v.bytes(56, &out->address[0], 4);
    v.u16(60, &out->port[0]);
    v.bytes(62, &out->address[1], 4);
    v.u16(66, &out->port[1]);
    v.u32(68, &out->address_extra);
    return QNB_ERR_SUCCESS;
}
