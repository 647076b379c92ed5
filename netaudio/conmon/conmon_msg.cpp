#include "netaudio/conmon/conmon_msg.h"

#include <cstring>

#include "netaudio/messaging/wgcp_buffer.h"

const uint8_t conmon_vendor_id_standard[8] = {'Q', 'u', 'e', 'n', 'b', 'a', 'r', 'y'};

namespace {

struct type_name {
    uint16_t type;
    const char *name;
};

const type_name k_type_names[] = {
    {0x0010, "TOPOLOGY_CHANGE"},
    {0x0011, "INTERFACE_STATUS"},
    {0x0013, "INTERFACE_CONTROL"},
    {0x0014, "SWITCH_VLAN_STATUS"},
    {0x0015, "SWITCH_VLAN_CONTROL"},
    {0x0020, "CLOCKING_STATUS"},
    {0x0021, "CLOCKING_CONTROL"},
    {0x0022, "MASTER_STATUS"},
    {0x0023, "MASTER_QUERY"},
    {0x0024, "UNICAST_CLOCKING_STATUS"},
    {0x0025, "UNICAST_CLOCKING_CONTROL"},
    {0x0026, "NAME_ID_STATUS"},
    {0x0027, "NAME_ID_CONTROL"},
    {0x0040, "IFSTATS_STATUS"},
    {0x0041, "IFSTATS_QUERY"},
    {0x0050, "IGMP_VERS_STATUS"},
    {0x0051, "IGMP_VERS_CONTROL"},
    {0x0060, "VERSIONS_STATUS"},
    {0x0061, "VERSIONS_QUERY"},
    {0x0062, "IDENTIFY_STATUS"},
    {0x0063, "IDENTIFY_QUERY"},
    {0x0070, "UPGRADE_STATUS"},
    {0x0071, "UPGRADE_CONTROL"},
    {0x0073, "CONFIG_CONTROL"},
    {0x0080, "SRATE_STATUS"},
    {0x0081, "SRATE_CONTROL"},
    {0x0082, "ENC_STATUS"},
    {0x0083, "ENC_CONTROL"},
    {0x0084, "SRATE_PULLUP_STATUS"},
    {0x0085, "SRATE_PULLUP_CONTROL"},
    {0x0086, "AUDIO_INTERFACE_STATUS"},
    {0x0087, "AUDIO_INTERFACE_QUERY"},
    {0x0090, "SYS_RESET"},
    {0x00A0, "EDK_BOARD_STATUS"},
    {0x00A1, "EDK_BOARD_CONTROL"},
    {0x00B0, "ACCESS_STATUS"},
    {0x00B1, "ACCESS_CONTROL"},
    {0x00C0, "MANF_VERSIONS_STATUS"},
    {0x00C1, "MANF_VERSIONS_QUERY"},
    {0x00D0, "LED_STATUS"},
    {0x00D1, "LED_QUERY"},
    {0x00E0, "METERING_STATUS"},
    {0x00E1, "METERING_CONTROL"},
    {0x00F0, "SERIAL_PORT_STATUS"},
    {0x00F1, "SERIAL_PORT_CONTROL"},
    {0x0100, "ROUTING_READY"},
    {0x0101, "TX_CHANNEL_CHANGE"},
    {0x0102, "RX_CHANNEL_CHANGE"},
    {0x0103, "TX_LABEL_CHANGE"},
    {0x0104, "TX_FLOW_CHANGE"},
    {0x0105, "RX_FLOW_CHANGE"},
    {0x0106, "PROPERTY_CHANGE"},
    {0x010F, "ROUTING_READY_QUERY"},
    {0x0110, "RX_CHANNEL_RX_ERROR"},
    {0x0111, "RX_CHANNEL_RX_ERROR_QUERY"},
    {0x0112, "RX_ERROR_THRES_STATUS"},
    {0x0113, "RX_ERROR_THRES_CONTROL"},
    {0x0120, "ROUTING_DEVICE_CHANGE"},
    {0x0130, "VELTO_READY"},
    {0x0131, "VELTO_READY_QUERY"},
    {0x1000, "HAREMOTE_STATUS"},
    {0x1001, "HAREMOTE_QUERY"},
    {0x1002, "HAREMOTE"},
    {0x1004, "HAREMOTE_STATS_STATUS"},
    {0x1005, "HAREMOTE_STATS_QUERY"},
};

enum {
    MANF_TEXT_FIELD = 128,
    IFACE_RECORDS_AT = 12,
    IFACE_RECORD = 28,
    EXT_TEXT_MAX = CONMON_UPGRADE_TEXT_SIZE - 1
};

// ---------------------------------------------------------------------------------------------
// Reading: every read goes through a reader over the received length; a read beyond it is an
// absent field (0, QNB_ERR_TRUNCATED).

qnb_error open_view(const void *body, size_t length, wgcp_reader *r)
{
    if (!body && length)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader_init(r, body, length);
    return QNB_ERR_SUCCESS;
}

qnb_error rd8(const wgcp_reader *r, size_t at, uint8_t *out)
{
    if (wgcp_reader_u8_at(r, at, out)) {
        *out = 0;
        return QNB_ERR_TRUNCATED;
    }
    return QNB_ERR_SUCCESS;
}

qnb_error rd16(const wgcp_reader *r, size_t at, uint16_t *out)
{
    if (wgcp_reader_u16_at(r, at, out)) {
        *out = 0;
        return QNB_ERR_TRUNCATED;
    }
    return QNB_ERR_SUCCESS;
}

qnb_error rd32(const wgcp_reader *r, size_t at, uint32_t *out)
{
    if (wgcp_reader_u32_at(r, at, out)) {
        *out = 0;
        return QNB_ERR_TRUNCATED;
    }
    return QNB_ERR_SUCCESS;
}

qnb_error rdbytes(const wgcp_reader *r, size_t at, void *out, size_t n)
{
    if (wgcp_reader_bytes_at(r, at, out, n)) {
        memset(out, 0, n);
        return QNB_ERR_TRUNCATED;
    }
    return QNB_ERR_SUCCESS;
}

// Addresses are taken as stored.
qnb_error rdaddr(const wgcp_reader *r, size_t at, uint32_t *out)
{
    return rdbytes(r, at, out, 4);
}

// A u16/u32/8-byte field at `at`; the version gate (`gate` true) decides whether it is carried.
typedef bool (*version_gate)(uint16_t version);

bool from_0200(uint16_t v) { return v >= 0x0200; }
bool above_0605(uint16_t v) { return v > 0x0605; }
bool from_0600(uint16_t v) { return v >= 0x0600; }
bool above_0601(uint16_t v) { return v > 0x0601; }
bool above_0700(uint16_t v) { return v > 0x0700; }
bool above_0703(uint16_t v) { return v > 0x0703; }
bool from_0704(uint16_t v) { return v >= 0x0704; }
bool above_0708(uint16_t v) { return v > 0x0708; }

template <typename T, qnb_error (*read)(const wgcp_reader *, size_t, T *)>
qnb_error gated(const void *body, size_t length, size_t at, version_gate gate, T *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = 0;
    wgcp_reader r;
    qnb_error err = open_view(body, length, &r);
    uint16_t version = 0;
    if (err || (err = rd16(&r, 0, &version)))
        return err;
    if (gate && !gate(version))
        return QNB_ERR_SUCCESS;
    return read(&r, at, out);
}

qnb_error gated_u32(const void *body, size_t length, size_t at, version_gate gate, uint32_t *out)
{
    return gated<uint32_t, rd32>(body, length, at, gate, out);
}

qnb_error gated_u16(const void *body, size_t length, size_t at, version_gate gate, uint16_t *out)
{
    return gated<uint16_t, rd16>(body, length, at, gate, out);
}

// Whether the u16 at 8 (the flags, or a count) has any of `mask` set.
qnb_error word8_any(const void *body, size_t length, uint16_t mask, bool *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    uint16_t word = 0;
    qnb_error err = gated_u16(body, length, 8, nullptr, &word);
    *out = (word & mask) != 0;
    return err;
}

qnb_error bytes8(const void *body, size_t length, size_t at, uint8_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, 8);
    wgcp_reader r;
    qnb_error err = open_view(body, length, &r);
    return err ? err : rdbytes(&r, at, out, 8);
}

// A packed version at `at`, its build number at `build_at` when the body version passes `gate`.
// When only the build number is cut, the version is kept and QNB_ERR_TRUNCATED returned.
qnb_error packed_version(const void *body, size_t length, size_t at, size_t build_at, conmon_version *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    wgcp_reader r;
    qnb_error err = open_view(body, length, &r);
    uint16_t version = 0;
    uint32_t packed = 0;
    if (err || (err = rd16(&r, 0, &version)) || (err = rd32(&r, at, &packed)))
        return err;
    out->major = static_cast<uint8_t>(packed >> 24);
    out->minor = static_cast<uint8_t>(packed >> 16);
    out->bugfix = static_cast<uint16_t>(packed);
    if (!above_0700(version))
        return QNB_ERR_SUCCESS;
    return rd32(&r, build_at, &out->build);
}

qnb_error manf_text(const void *body, size_t length, size_t at, char *buf, size_t size)
{
    if (!buf || size == 0)
        return QNB_ERR_INVALIDPARAMETER;
    buf[0] = '\0';
    wgcp_reader r;
    qnb_error err = open_view(body, length, &r);
    uint16_t version = 0;
    uint8_t first = 0;
    if (err || (err = rd16(&r, 0, &version)))
        return err;
    if (!above_0700(version))
        return QNB_ERR_SUCCESS;
    if ((err = rd8(&r, at, &first)) || first == 0)
        return err;
    size_t field = length - at < size_t(MANF_TEXT_FIELD) ? length - at : size_t(MANF_TEXT_FIELD);
    if (field < MANF_TEXT_FIELD && !memchr(static_cast<const uint8_t *>(body) + at, 0, field))
        return QNB_ERR_TRUNCATED; // the text runs past the end of the body
    if (wgcp_reader_text_field_at(&r, at, field, buf, size, nullptr)) {
        buf[0] = '\0';
        return QNB_ERR_TRUNCATED;
    }
    return QNB_ERR_SUCCESS;
}

// The second table of an INTERFACE_STATUS: where field `field` (of `width` bytes) of entry `index`
// lies, and the body version.
qnb_error list_field(const void *body, size_t length, unsigned index, size_t field, size_t width, wgcp_reader *r,
                     size_t *at, uint16_t *version)
{
    qnb_error err = open_view(body, length, r);
    uint16_t count = 0, entry_size = 0, offset = 0;
    if (err || (err = rd16(r, 0, version)) || (err = rd16(r, 8, &count)))
        return err;
    size_t trailer = IFACE_RECORDS_AT + IFACE_RECORD * static_cast<size_t>(count);
    if ((err = rd16(r, trailer, &entry_size)) || (err = rd16(r, trailer + 2, &offset)))
        return err;
    if (entry_size == 0 || offset == 0 || index >= count || field + width > entry_size)
        return QNB_ERR_NOTFOUND;
    *at = offset + static_cast<size_t>(entry_size) * index + field;
    return QNB_ERR_SUCCESS;
}

qnb_error list_addr(const void *body, size_t length, unsigned index, size_t field, uint32_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = 0;
    wgcp_reader r;
    size_t at = 0;
    uint16_t version = 0;
    qnb_error err = list_field(body, length, index, field, 4, &r, &at, &version);
    return err ? err : rdaddr(&r, at, out);
}

// Extension area of a received body: a field of `n` bytes at `offset` (its u16 reference).
qnb_error ext_field(size_t length, uint16_t offset, size_t n, size_t alignment)
{
    if (offset == 0)
        return QNB_ERR_NOTFOUND;
    if (static_cast<size_t>(offset) + n > length)
        return QNB_ERR_TRUNCATED;
    if (alignment > 1 && offset % alignment)
        return QNB_ERR_INVALIDDATA;
    return QNB_ERR_SUCCESS;
}

// Extension area of a body being built: allocates `n` bytes aligned to `alignment`.
qnb_error ext_alloc(conmon_msg_extension *ext, size_t n, size_t alignment, size_t *offset)
{
    size_t capacity = ext->capacity < size_t(CONMON_BODY_MAX) ? ext->capacity : size_t(CONMON_BODY_MAX);
    if (n == 0) {
        *offset = 0;
        return QNB_ERR_SUCCESS;
    }
    size_t at = (ext->used + alignment - 1) / alignment * alignment;
    if (at > capacity || capacity - at < n || at > 0xFFFF)
        return QNB_ERR_NOMEMORY;
    ext->used = at + n;
    *offset = at;
    return QNB_ERR_SUCCESS;
}

void or16(uint8_t *p, uint16_t bits)
{
    wgcp_store_be16(p, static_cast<uint16_t>(wgcp_load_be16(p) | bits));
}

void or32(uint8_t *p, uint32_t bits)
{
    wgcp_store_be32(p, wgcp_load_be32(p) | bits);
}

} // namespace

const char *conmon_msg_type_name(uint16_t type)
{
    for (const type_name &t : k_type_names)
        if (t.type == type)
            return t.name;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Builders

qnb_error conmon_msg_init(conmon_vendor_body *body, uint16_t type, uint32_t parameter)
{
    if (!body)
        return QNB_ERR_INVALIDPARAMETER;
    memset(body->data, 0, sizeof body->data);
    wgcp_store_be16(body->data, CONMON_BODY_VERSION);
    wgcp_store_be16(body->data + 2, type);
    wgcp_store_be32(body->data + 4, parameter);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_init_interface_control(conmon_vendor_body *body, uint32_t parameter)
{
    return conmon_msg_init(body, CONMON_MSG_INTERFACE_CONTROL, parameter);
}

size_t conmon_msg_interface_control_size(const conmon_vendor_body *body)
{
    if (!body)
        return 0;
    const uint8_t *d = body->data;
    size_t count = d[8], record = d[9], offset = d[11];
    if (offset == 0)
        return 16;
    size_t end = offset + count * record;
    if (end > CONMON_BODY_MAX)
        return 0;
    size_t size = end;
    for (size_t i = 0; i < count && record >= 26; ++i) {
        size_t text = wgcp_load_be16(d + offset + record * i + 24);
        if (text == 0)
            continue;
        if (text >= CONMON_BODY_MAX)
            return 0;
        const void *nul = memchr(d + text, 0, CONMON_BODY_MAX - text);
        if (!nul)
            return 0;
        size += static_cast<size_t>(static_cast<const uint8_t *>(nul) - (d + text)) + 1;
    }
    return size;
}

qnb_error conmon_msg_init_clocking_control(conmon_vendor_body *body, uint32_t parameter)
{
    return conmon_msg_init(body, CONMON_MSG_CLOCKING_CONTROL, parameter);
}

qnb_error conmon_msg_clocking_control_set_preferred_master(conmon_vendor_body *body, unsigned value)
{
    if (!body || value > 1)
        return QNB_ERR_INVALIDPARAMETER;
    body->data[12] = static_cast<uint8_t>(value);
    or16(body->data + 8, 0x0002);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_init_srate_control(conmon_vendor_body *body, uint32_t parameter)
{
    return conmon_msg_init(body, CONMON_MSG_SRATE_CONTROL, parameter);
}

qnb_error conmon_msg_srate_control_set_rate(conmon_vendor_body *body, uint32_t rate)
{
    if (!body)
        return QNB_ERR_INVALIDPARAMETER;
    if (rate != 0) {
        wgcp_store_be32(body->data + 12, rate);
        or32(body->data + 8, 0x1);
    }
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_init_enc_control(conmon_vendor_body *body, uint32_t parameter)
{
    return conmon_msg_init(body, CONMON_MSG_ENC_CONTROL, parameter);
}

qnb_error conmon_msg_init_srate_pullup_control(conmon_vendor_body *body, uint32_t parameter)
{
    return conmon_msg_init(body, CONMON_MSG_SRATE_PULLUP_CONTROL, parameter);
}

qnb_error conmon_msg_init_sys_reset(conmon_vendor_body *body, uint32_t parameter)
{
    return conmon_msg_init(body, CONMON_MSG_SYS_RESET, parameter);
}

qnb_error conmon_msg_sys_reset_set_mode(conmon_vendor_body *body, uint16_t mode)
{
    if (!body)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_store_be16(body->data + 10, mode);
    or16(body->data + 8, 0x0001);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_init_access_control(conmon_vendor_body *body, uint32_t parameter)
{
    return conmon_msg_init(body, CONMON_MSG_ACCESS_CONTROL, parameter);
}

qnb_error conmon_msg_init_aes67_query(conmon_vendor_body *body, uint32_t parameter)
{
    return conmon_msg_init(body, CONMON_MSG_AES67_QUERY, parameter);
}

qnb_error conmon_msg_init_upgrade_control(conmon_vendor_body *body, uint32_t parameter, uint32_t value,
                                          uint16_t code, const char *text)
{
    if (!body || (text && strnlen(text, CONMON_MSG_UPGRADE_TEXT_MAX + 1) > CONMON_MSG_UPGRADE_TEXT_MAX))
        return QNB_ERR_INVALIDPARAMETER;
    conmon_msg_init(body, CONMON_MSG_UPGRADE_CONTROL, parameter);
    wgcp_store_be32(body->data + 8, value);
    wgcp_store_be16(body->data + 12, code);
    if (text)
        memcpy(body->data + 16, text, strlen(text));
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_init_upgrade_0x75(conmon_vendor_body *body, uint32_t parameter, conmon_msg_extension *ext)
{
    if (!body || !ext)
        return QNB_ERR_INVALIDPARAMETER;
    conmon_msg_init(body, CONMON_MSG_UPGRADE_CONTROL_2, parameter);
    wgcp_store_be32(body->data + 12, 3);
    ext->capacity = CONMON_BODY_MAX;
    ext->used = CONMON_MSG_UPGRADE_0X75_FIXED_SIZE;
    return QNB_ERR_SUCCESS;
}

size_t conmon_msg_upgrade_0x75_size(const conmon_msg_extension *ext)
{
    return ext ? ext->used : 0;
}

qnb_error conmon_msg_upgrade_set_options(conmon_vendor_body *body, const uint8_t *value_a, const uint8_t *value_b)
{
    if (!body)
        return QNB_ERR_INVALIDPARAMETER;
    if (value_a) {
        memcpy(body->data + 24, value_a, 8);
        or32(body->data + 8, 0x2);
    }
    if (value_b) {
        memcpy(body->data + 32, value_b, 8);
        or32(body->data + 8, 0x4);
    }
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_upgrade_set_source(conmon_vendor_body *body, conmon_msg_extension *ext,
                                        const conmon_upgrade_source *source)
{
    if (!body || !ext || !source)
        return QNB_ERR_INVALIDPARAMETER;
    bool with_text = (source->flags & CONMON_UPGRADE_SOURCE_TEXT) != 0;
    size_t text_length = with_text ? strnlen(source->text, sizeof source->text) : 0;
    if (text_length > EXT_TEXT_MAX)
        return QNB_ERR_INVALIDPARAMETER;
    conmon_msg_extension trial = *ext;
    size_t record = 0, text = 0;
    qnb_error err = ext_alloc(&trial, CONMON_UPGRADE_SOURCE_SIZE, 4, &record);
    if (!err && with_text)
        err = ext_alloc(&trial, text_length + 1, 1, &text);
    if (err)
        return err;
    *ext = trial;

    uint8_t *r = body->data + record;
    uint32_t flags = source->flags & (CONMON_UPGRADE_SOURCE_PORT | CONMON_UPGRADE_SOURCE_ADDRESS |
                                      CONMON_UPGRADE_SOURCE_TEXT | CONMON_UPGRADE_SOURCE_VALUE);
    memset(r, 0, CONMON_UPGRADE_SOURCE_SIZE);
    if (source->kind) {
        flags |= CONMON_UPGRADE_SOURCE_KIND;
        wgcp_store_be16(r + 8, source->kind);
    }
    if (flags & CONMON_UPGRADE_SOURCE_PORT)
        wgcp_store_be16(r + 10, source->port);
    if (flags & CONMON_UPGRADE_SOURCE_ADDRESS)
        memcpy(r + 12, source->address, 4);
    if (flags & CONMON_UPGRADE_SOURCE_TEXT) {
        memcpy(body->data + text, source->text, text_length);
        body->data[text + text_length] = 0;
        wgcp_store_be16(r + 18, static_cast<uint16_t>(text));
    }
    if (flags & CONMON_UPGRADE_SOURCE_VALUE)
        wgcp_store_be32(r + 20, source->value);
    wgcp_store_be32(r, flags);
    wgcp_store_be16(body->data + 40, static_cast<uint16_t>(record));
    or32(body->data + 16, source->kind == 2 ? 3 : 1);
    or32(body->data + 8, 0x8);
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Channel-message accessors

qnb_error conmon_msg_body_length(const void *msg, size_t size, uint16_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = 0;
    wgcp_reader r;
    uint16_t total = 0;
    qnb_error err = open_view(msg, size, &r);
    if (err)
        return err;
    if (size < CONMON_MSG_HEAD_SIZE || rd16(&r, 2, &total) || total < CONMON_MSG_HEAD_SIZE || total > size)
        return QNB_ERR_INVALIDDATA;
    *out = static_cast<uint16_t>(total - CONMON_MSG_HEAD_SIZE);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_get_source_id(const void *msg, size_t size, conmon_source_id *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    wgcp_reader r;
    qnb_error err = open_view(msg, size, &r);
    if (err)
        return err;
    if (!wgcp_reader_has(&r, 0, 16))
        return QNB_ERR_TRUNCATED;
    rd16(&r, 6, &out->process);
    return rdbytes(&r, 8, out->device_id, 8);
}

qnb_error conmon_msg_get_seqnum(const void *msg, size_t size, uint16_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader r;
    qnb_error err = open_view(msg, size, &r);
    if (err) {
        *out = 0;
        return err;
    }
    return rd16(&r, 4, out);
}

qnb_error conmon_msg_get_vendor_id(const void *data, size_t size, uint8_t out[8])
{
    return bytes8(data, size, 16, out);
}

// ---------------------------------------------------------------------------------------------
// Body parsers

qnb_error conmon_msg_get_version(const void *body, size_t length, uint16_t *out)
{
    return gated_u16(body, length, 0, nullptr, out);
}

qnb_error conmon_msg_get_type(const void *body, size_t length, uint16_t *out)
{
    return gated_u16(body, length, 2, nullptr, out);
}

qnb_error conmon_msg_get_parameter(const void *body, size_t length, uint32_t *out)
{
    return gated_u32(body, length, 4, nullptr, out);
}

qnb_error conmon_msg_get_flag0(const void *body, size_t length, bool *out)
{
    return word8_any(body, length, 0x1, out);
}

qnb_error conmon_msg_get_flag1(const void *body, size_t length, bool *out)
{
    return word8_any(body, length, 0x2, out);
}

qnb_error conmon_msg_has_count(const void *body, size_t length, bool *out)
{
    return word8_any(body, length, 0xFFFF, out);
}

qnb_error conmon_msg_get_byte(const void *body, size_t length, unsigned index, uint8_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = 0;
    uint16_t count = 0;
    qnb_error err = gated_u16(body, length, 8, nullptr, &count);
    if (err || index >= count)
        return err;
    wgcp_reader r;
    wgcp_reader_init(&r, body, length);
    return rd8(&r, 10 + static_cast<size_t>(index), out);
}

// VERSIONS_STATUS

qnb_error conmon_msg_versions_get_version_b(const void *body, size_t length, conmon_version *out)
{
    return packed_version(body, length, 8, 40, out);
}

qnb_error conmon_msg_versions_get_version_a(const void *body, size_t length, conmon_version *out)
{
    return packed_version(body, length, 12, 44, out);
}

qnb_error conmon_msg_versions_get_model_id(const void *body, size_t length, uint8_t out[8])
{
    return bytes8(body, length, 20, out);
}

qnb_error conmon_msg_versions_get_u32(const void *body, size_t length, uint32_t *out)
{
    return gated_u32(body, length, 28, from_0200, out);
}

qnb_error conmon_msg_versions_get_u32_b(const void *body, size_t length, uint32_t *out)
{
    return gated_u32(body, length, 36, above_0703, out);
}

qnb_error conmon_msg_versions_get_u16(const void *body, size_t length, uint16_t *out)
{
    return gated_u16(body, length, 58, above_0708, out);
}

// MANF_VERSIONS_STATUS

qnb_error conmon_msg_manf_versions_get_manf_id(const void *body, size_t length, uint8_t out[8])
{
    return bytes8(body, length, 8, out);
}

qnb_error conmon_msg_manf_versions_get_model_id(const void *body, size_t length, uint8_t out[8])
{
    return bytes8(body, length, 16, out);
}

qnb_error conmon_msg_manf_versions_get_id_c(const void *body, size_t length, uint8_t out[8])
{
    return bytes8(body, length, 24, out);
}

qnb_error conmon_msg_manf_versions_get_version_b(const void *body, size_t length, conmon_version *out)
{
    return packed_version(body, length, 32, 44, out);
}

qnb_error conmon_msg_manf_versions_get_version_a(const void *body, size_t length, conmon_version *out)
{
    return packed_version(body, length, 36, 48, out);
}

qnb_error conmon_msg_manf_versions_get_u32_a(const void *body, size_t length, uint32_t *out)
{
    return gated_u32(body, length, 40, above_0605, out);
}

qnb_error conmon_msg_manf_versions_get_block_a(const void *body, size_t length, char *buf, size_t size)
{
    return manf_text(body, length, 52, buf, size);
}

qnb_error conmon_msg_manf_versions_get_block_b(const void *body, size_t length, char *buf, size_t size)
{
    return manf_text(body, length, 180, buf, size);
}

qnb_error conmon_msg_manf_versions_get_u32_b(const void *body, size_t length, uint32_t *out)
{
    return gated_u32(body, length, 308, from_0704, out);
}

// INTERFACE_STATUS

qnb_error conmon_msg_interface_status_get_count(const void *body, size_t length, uint16_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_error err = gated_u16(body, length, 8, nullptr, out);
    if (err)
        return err;
    size_t fit = length > IFACE_RECORDS_AT ? (length - IFACE_RECORDS_AT) / IFACE_RECORD : 0;
    if (*out > fit)
        *out = static_cast<uint16_t>(fit);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_interface_status_get_interface(const void *body, size_t length, unsigned index,
                                                    conmon_interface_info *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    uint16_t count = 0;
    qnb_error err = gated_u16(body, length, 8, nullptr, &count);
    if (err)
        return err;
    if (index >= count)
        return QNB_ERR_NOTFOUND;
    wgcp_reader r, rec;
    wgcp_reader_init(&r, body, length);
    if (wgcp_reader_sub(&r, IFACE_RECORDS_AT + IFACE_RECORD * static_cast<size_t>(index), IFACE_RECORD, &rec))
        return QNB_ERR_TRUNCATED;
    rd32(&rec, 0, &out->flags);
    rd16(&rec, 4, &out->link_speed);
    rdbytes(&rec, 6, out->mac, 6);
    rdaddr(&rec, 12, &out->address);
    rdaddr(&rec, 16, &out->netmask);
    rdaddr(&rec, 20, &out->gateway);
    rdaddr(&rec, 24, &out->dns);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_interface_status_get_trailer(const void *body, size_t length, conmon_interface_trailer *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    wgcp_reader r;
    uint16_t version = 0, count = 0;
    qnb_error err = open_view(body, length, &r);
    if (err || (err = rd16(&r, 0, &version)) || (err = rd16(&r, 8, &count)))
        return err;
    size_t at = IFACE_RECORDS_AT + IFACE_RECORD * static_cast<size_t>(count);
    if ((err = rd16(&r, at, &out->entry_size)) || (err = rd16(&r, at + 2, &out->table_offset))) {
        out->entry_size = 0;
        return err;
    }
    if (!above_0601(version))
        return QNB_ERR_SUCCESS;
    return rd16(&r, at + 4, &out->value);
}

qnb_error conmon_msg_list_get_flags(const void *body, size_t length, unsigned index, uint16_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = 0;
    wgcp_reader r;
    size_t at = 0;
    uint16_t version = 0;
    qnb_error err = list_field(body, length, index, 0, 2, &r, &at, &version);
    if (err || (err = rd16(&r, at, out)))
        return err;
    *out = static_cast<uint16_t>(*out & ~0x4u);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_list_get_flag2(const void *body, size_t length, unsigned index, bool *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = false;
    wgcp_reader r;
    size_t at = 0;
    uint16_t version = 0, flags = 0;
    qnb_error err = list_field(body, length, index, 0, 2, &r, &at, &version);
    if (err || (err = rd16(&r, at, &flags)))
        return err;
    *out = from_0600(version) && (flags & 0x4);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_list_get_c(const void *body, size_t length, unsigned index, uint32_t *out)
{
    return list_addr(body, length, index, 4, out);
}

qnb_error conmon_msg_list_get_d(const void *body, size_t length, unsigned index, uint32_t *out)
{
    return list_addr(body, length, index, 8, out);
}

qnb_error conmon_msg_list_get_a(const void *body, size_t length, unsigned index, uint32_t *out)
{
    return list_addr(body, length, index, 12, out);
}

qnb_error conmon_msg_list_get_b(const void *body, size_t length, unsigned index, uint32_t *out)
{
    return list_addr(body, length, index, 16, out);
}

// SRATE_STATUS

qnb_error conmon_msg_srate_status_num_rates(const void *body, size_t length, uint16_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = 0;
    wgcp_reader r;
    uint16_t offset = 0, count = 0;
    qnb_error err = open_view(body, length, &r);
    if (err || (err = rd16(&r, 8, &offset)) || (err = rd16(&r, 10, &count)))
        return err;
    if (offset == 0 || offset % 4)
        return QNB_ERR_SUCCESS;
    size_t fit = length > offset ? (length - offset) / 4 : 0;
    *out = count > fit ? static_cast<uint16_t>(fit) : count;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_srate_status_get_current(const void *body, size_t length, uint32_t *out)
{
    return gated_u32(body, length, 12, nullptr, out);
}

qnb_error conmon_msg_srate_status_get_rate(const void *body, size_t length, unsigned index, uint32_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = 0;
    uint16_t count = 0;
    qnb_error err = conmon_msg_srate_status_num_rates(body, length, &count);
    if (err)
        return err;
    if (index >= count)
        return QNB_ERR_NOTFOUND;
    wgcp_reader r;
    wgcp_reader_init(&r, body, length);
    uint16_t offset = 0;
    rd16(&r, 8, &offset);
    return rd32(&r, offset + 4 * static_cast<size_t>(index), out);
}

// CLOCKING_STATUS, AES67 and lock status

qnb_error conmon_msg_clocking_status_get_preferred_master(const void *body, size_t length, uint8_t *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = 0;
    wgcp_reader r;
    uint8_t value = 0;
    qnb_error err = open_view(body, length, &r);
    if (err || (err = rd8(&r, 14, &value)))
        return err;
    *out = value ? 1 : 0;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_aes67_status_get(const void *body, size_t length, bool *enabled, bool *reboot_needed)
{
    if (!enabled || !reboot_needed)
        return QNB_ERR_INVALIDPARAMETER;
    *enabled = *reboot_needed = false;
    wgcp_reader r;
    uint8_t a = 0, b = 0;
    qnb_error err = open_view(body, length, &r);
    if (err || (err = rd8(&r, 8, &a)))
        return err;
    *enabled = a != 0;
    err = rd8(&r, 9, &b);
    *reboot_needed = b != 0;
    return err;
}

qnb_error conmon_msg_lock_status_get_locked(const void *body, size_t length, bool *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = false;
    wgcp_reader r;
    uint8_t value = 0;
    qnb_error err = open_view(body, length, &r);
    if (err || (err = rd8(&r, 8, &value)))
        return err;
    *out = value != 0;
    return QNB_ERR_SUCCESS;
}

// UPGRADE_STATUS

qnb_error conmon_msg_upgrade_status_get_progress(const void *body, size_t length, conmon_upgrade_progress *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    wgcp_reader r;
    uint16_t version = 0;
    qnb_error err = open_view(body, length, &r);
    if (err || (err = rd16(&r, 0, &version)) || (err = rd16(&r, 8, &out->state)))
        return err;
    if (version <= 0x0708)
        return QNB_ERR_SUCCESS;
    if ((err = rd32(&r, 12, &out->flags)))
        return err;
    if (out->flags & CONMON_UPGRADE_HAS_RESULT)
        rd16(&r, 10, &out->result);
    if (out->flags & CONMON_UPGRADE_HAS_PROGRESS) {
        if (length < 24)
            return QNB_ERR_TRUNCATED;
        rd32(&r, 16, &out->done);
        rd32(&r, 20, &out->total);
    }
    if (out->flags & CONMON_UPGRADE_HAS_BLOCK_A) {
        if (length < 36)
            return QNB_ERR_TRUNCATED;
        rdbytes(&r, 28, out->block_a, 8);
    }
    if (out->flags & CONMON_UPGRADE_HAS_BLOCK_B) {
        if (length < 44)
            return QNB_ERR_TRUNCATED;
        rdbytes(&r, 36, out->block_b, 8);
    }
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_msg_upgrade_status_get_status(const void *body, size_t length, conmon_upgrade_source *out)
{
    if (!body || !out)
        return QNB_ERR_INVALIDPARAMETER;
    memset(out, 0, sizeof *out);
    wgcp_reader r;
    wgcp_reader_init(&r, body, length);
    uint16_t version = 0, offset = 0;
    uint32_t flags = 0;
    qnb_error err;
    if ((err = rd16(&r, 0, &version)))
        return err;
    if (version <= 0x0708)
        return QNB_ERR_VERSION;
    if ((err = rd32(&r, 12, &flags)))
        return err;
    if (!(flags & CONMON_UPGRADE_HAS_SOURCE))
        return QNB_ERR_NOTFOUND;
    if ((err = rd16(&r, 24, &offset)) || (err = ext_field(length, offset, CONMON_UPGRADE_SOURCE_SIZE, 4)))
        return err;
    wgcp_reader rec;
    wgcp_reader_sub(&r, offset, CONMON_UPGRADE_SOURCE_SIZE, &rec);
    rd32(&rec, 0, &out->flags);
    if (out->flags & CONMON_UPGRADE_SOURCE_KIND)
        rd16(&rec, 8, &out->kind);
    if (out->flags & CONMON_UPGRADE_SOURCE_PORT)
        rd16(&rec, 10, &out->port);
    if (out->flags & CONMON_UPGRADE_SOURCE_ADDRESS)
        rdbytes(&rec, 12, out->address, 4);
    if (out->flags & CONMON_UPGRADE_SOURCE_VALUE)
        rd32(&rec, 20, &out->value);
    if (out->flags & CONMON_UPGRADE_SOURCE_TEXT) {
        uint16_t text = 0;
        rd16(&rec, 18, &text);
        if ((err = ext_field(length, text, 1, 1)))
            return err;
        if (wgcp_reader_string_at(&r, text, out->text, sizeof out->text, nullptr)) {
            out->text[0] = '\0';
            return QNB_ERR_TRUNCATED; // no terminator before the end of the body
        }
    }
    return QNB_ERR_SUCCESS;
}
