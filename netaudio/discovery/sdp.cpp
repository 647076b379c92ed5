#include "netaudio/discovery/sdp.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "netaudio/messaging/wgcp_buffer.h"
#include "netaudio/platform/qnb_log.h"

namespace {

const char k_payload_type[SAP_PAYLOAD_TYPE_SIZE] = "application/sdp";

// ---- small text helpers (all bounded by the value's length) ----

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// Splits at runs of blanks.
std::vector<std::string> split_blank(const char *value, size_t length)
{
    std::vector<std::string> fields;
    size_t i = 0;
    while (i < length) {
        while (i < length && is_blank(value[i]))
            i++;
        size_t start = i;
        while (i < length && !is_blank(value[i]))
            i++;
        if (i > start)
            fields.emplace_back(value + start, i - start);
    }
    return fields;
}

std::vector<std::string> split_at(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

// A whole decimal number no greater than `max`.
bool read_decimal(const std::string &text, uint64_t max, uint64_t *out)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

void skip_blanks(const std::string &text, size_t *pos)
{
    while (*pos < text.size() && is_blank(text[*pos]))
        (*pos)++;
}

// A number field of an SDP value: blanks before it are skipped, then digits (at least one), no
// greater than `max`; the cursor moves past them and stays put when there is no number.
bool scan_decimal(const std::string &text, size_t *pos, uint64_t max, uint64_t *out)
{
    size_t start = *pos;
    skip_blanks(text, &start);
    size_t end = start;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - start < 20)
        end++;
    if (end == start || !read_decimal(text.substr(start, end - start), max, out))
        return false;
    *pos = end;
    return true;
}

bool read_ipv4(const std::string &text, uint32_t *out)
{
    struct in_addr address;
    if (inet_pton(AF_INET, text.c_str(), &address) != 1)
        return false;
    *out = address.s_addr;
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void copy_text(char *dst, size_t size, const std::string &src)
{
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// ---- line handlers ----

qnb_error sdp_origin(sdp_session *s, const char *value, size_t length)
{
    if (length > 128)
        return QNB_ERR_TRUNCATED;
    std::vector<std::string> f = split_blank(value, length);
    if (f.size() != 6)
        return QNB_ERR_INVALIDDATA;
    if (f[3] != "IN" || f[4] != "IP4")
        return QNB_ERR_NOTSUPPORTED;
    uint64_t id = 0, version = 0;
    uint32_t address = 0;
    if (!read_decimal(f[1], UINT64_MAX, &id) || !read_decimal(f[2], UINT64_MAX, &version) ||
        !read_ipv4(f[5], &address))
        return QNB_ERR_INVALIDDATA;
    copy_text(s->origin_user, sizeof s->origin_user, f[0]);
    s->session_id = id;
    s->session_version = version;
    s->origin_family = AF_INET;
    s->origin_address = address;
    s->sdp_flags |= SDP_SEEN_ORIGIN;
    return QNB_ERR_SUCCESS;
}

qnb_error sdp_text(char *field, size_t size, size_t length, const char *value)
{
    if (length == 0)
        return QNB_ERR_INVALIDDATA;
    if (length > size - 1)
        return QNB_ERR_TRUNCATED;
    std::memcpy(field, value, length);
    field[length] = '\0';
    return QNB_ERR_SUCCESS;
}

qnb_error sdp_session_name(sdp_session *s, const char *value, size_t length)
{
    return sdp_text(s->session_name, sizeof s->session_name, length, value);
}

qnb_error sdp_session_info(sdp_session *s, const char *value, size_t length)
{
    return sdp_text(s->session_info, sizeof s->session_info, length, value);
}

qnb_error sdp_media_title(sdp_session *s, const char *value, size_t length)
{
    return sdp_text(s->media_title, sizeof s->media_title, length, value);
}

qnb_error sdp_connection(sdp_session *s, const char *value, size_t length)
{
    if (s->sdp_flags & SDP_SEEN_CONNECTION)
        return QNB_ERR_ALREADY;
    std::vector<std::string> f = split_blank(value, length);
    if (f.size() != 3)
        return QNB_ERR_INVALIDDATA;
    if (f[0] != "IN" || f[1] != "IP4")
        return QNB_ERR_NOTSUPPORTED;
    std::vector<std::string> parts = split_at(f[2], '/');
    uint32_t address = 0;
    uint64_t ttl = 0, count = 1;
    if (parts.size() > 3 || !read_ipv4(parts[0], &address) ||
        (parts.size() > 1 && !read_decimal(parts[1], 255, &ttl)) ||
        (parts.size() > 2 && !read_decimal(parts[2], 255, &count)))
        return QNB_ERR_INVALIDDATA;
    s->connection_address = address;
    s->ttl = static_cast<uint8_t>(ttl);
    s->address_count = static_cast<uint8_t>(count);
    s->sdp_flags |= SDP_SEEN_CONNECTION;
    return QNB_ERR_SUCCESS;
}

qnb_error sdp_time(sdp_session *s, const char *value, size_t length)
{
    std::string text(value, length);
    size_t pos = 0;
    uint64_t start = 0;
    if (!scan_decimal(text, &pos, UINT64_MAX, &start))
        return QNB_ERR_INVALIDDATA;
    if (s->sdp_flags & SDP_SEEN_TIME)
        return QNB_ERR_ALREADY;
    s->sdp_flags |= SDP_SEEN_TIME;
    return QNB_ERR_SUCCESS;
}

qnb_error sdp_media(sdp_session *s, const char *value, size_t length)
{
    std::vector<std::string> f = split_blank(value, length);
    if (f.size() < 4)
        return QNB_ERR_INVALIDDATA;
    if (f[0] != "audio" || f[2] != "RTP/AVP")
        return QNB_ERR_NOTSUPPORTED;
    if (s->sdp_flags & SDP_SEEN_MEDIA)
        return QNB_ERR_ALREADY;
    std::vector<std::string> port = split_at(f[1], '/');
    uint64_t number = 0, count = 1, payload = 0;
    if (port.size() > 2 || !read_decimal(port[0], 65535, &number) ||
        (port.size() == 2 && !read_decimal(port[1], 65535, &count)) || !read_decimal(f[3], 255, &payload))
        return QNB_ERR_INVALIDDATA;
    s->media_port = static_cast<uint16_t>(number);
    s->port_count = static_cast<uint16_t>(count);
    s->payload_type = static_cast<uint8_t>(payload);
    s->sdp_flags |= SDP_SEEN_MEDIA;
    return QNB_ERR_SUCCESS;
}

// "a=rtpmap:<pt> L<depth>/<rate>/<channels>"
qnb_error sdp_rtpmap(sdp_session *s, const std::string &rest)
{
    if (s->attribute_flags & SDP_ATTR_RTPMAP)
        return QNB_ERR_ALREADY;
    size_t pos = 0;
    uint64_t payload = 0, depth = 0, rate = 0, channels = 0;
    if (!scan_decimal(rest, &pos, UINT32_MAX, &payload))
        return QNB_ERR_SUCCESS; // not of the linear-audio form: ignored
    skip_blanks(rest, &pos);
    if (pos >= rest.size() || rest[pos++] != 'L' || !scan_decimal(rest, &pos, UINT32_MAX, &depth) ||
        pos >= rest.size() || rest[pos++] != '/' || !scan_decimal(rest, &pos, UINT32_MAX, &rate) ||
        pos >= rest.size() || rest[pos++] != '/' || !scan_decimal(rest, &pos, UINT32_MAX, &channels))
        return QNB_ERR_SUCCESS;
    if (payload != s->payload_type)
        return QNB_ERR_NOTSUPPORTED;
    if (depth != 16 && depth != 24 && depth != 32)
        return QNB_ERR_NOTSUPPORTED;
    if (channels > 0xFFFF)
        return QNB_ERR_NOTSUPPORTED;
    s->bit_depth = static_cast<uint16_t>(depth);
    s->sample_rate = static_cast<uint32_t>(rate);
    s->channels = static_cast<uint16_t>(channels);
    s->attribute_flags |= SDP_ATTR_RTPMAP;
    return QNB_ERR_SUCCESS;
}

// "a=ptime:<whole>[.<fraction>]" in milliseconds, kept in microseconds.
qnb_error sdp_ptime(sdp_session *s, const std::string &rest)
{
    if (s->attribute_flags & SDP_ATTR_PTIME)
        return QNB_ERR_ALREADY;
    size_t pos = 0;
    uint64_t whole = 0;
    if (!scan_decimal(rest, &pos, UINT32_MAX / 1000 - 1, &whole))
        return QNB_ERR_INVALIDDATA;
    uint32_t fraction = 0;
    if (pos < rest.size() && rest[pos] == '.') {
        pos++;
        uint32_t scale = 100;
        skip_blanks(rest, &pos);
        while (pos < rest.size() && rest[pos] >= '0' && rest[pos] <= '9') {
            fraction += static_cast<uint32_t>(rest[pos] - '0') * scale;
            scale /= 10;
            pos++;
        }
    }
    s->packet_time = static_cast<uint32_t>(whole) * 1000 + fraction;
    s->attribute_flags |= SDP_ATTR_PTIME;
    return QNB_ERR_SUCCESS;
}

// "a=ts-refclk:ptp=IEEE1588-2008:08-00-11-FF-FE-22-33-44[:domain]"
qnb_error sdp_refclk(sdp_session *s, const std::string &rest)
{
    if (s->attribute_flags & SDP_ATTR_REFCLK)
        return QNB_ERR_ALREADY;
    std::vector<std::string> f = split_at(rest, ':');
    if (f[0] != "IEEE1588-2008")
        return QNB_ERR_NOTSUPPORTED;
    if (f.size() < 2 || f.size() > 3)
        return QNB_ERR_INVALIDDATA;
    std::vector<std::string> bytes = split_at(f[1], '-');
    if (bytes.size() != 8)
        return QNB_ERR_INVALIDDATA;
    uint8_t eui[8];
    for (size_t i = 0; i < 8; i++) {
        if (bytes[i].size() != 2 || hex_digit(bytes[i][0]) < 0 || hex_digit(bytes[i][1]) < 0)
            return QNB_ERR_INVALIDDATA;
        eui[i] = static_cast<uint8_t>(hex_digit(bytes[i][0]) * 16 + hex_digit(bytes[i][1]));
    }
    if (eui[3] != 0xFF || eui[4] != 0xFE)
        return QNB_ERR_NOTSUPPORTED;
    std::string domain;
    if (f.size() == 3) {
        domain = f[2];
        for (const char *prefix : {"domain-nmbr=", "domain-name="}) {
            if (domain.compare(0, std::strlen(prefix), prefix) == 0) {
                domain.erase(0, std::strlen(prefix));
                break;
            }
        }
        if (domain.size() > SDP_PTP_DOMAIN_SIZE - 1)
            return QNB_ERR_TRUNCATED;
    }
    s->ptp_clock[0] = eui[0];
    s->ptp_clock[1] = eui[1];
    s->ptp_clock[2] = eui[2];
    s->ptp_clock[3] = eui[5];
    s->ptp_clock[4] = eui[6];
    s->ptp_clock[5] = eui[7];
    copy_text(s->ptp_domain, sizeof s->ptp_domain, domain);
    s->attribute_flags |= SDP_ATTR_REFCLK;
    return QNB_ERR_SUCCESS;
}

// "a=mediaclk:direct=<offset>"
qnb_error sdp_mediaclk(sdp_session *s, const std::string &rest)
{
    if (s->attribute_flags & SDP_ATTR_MEDIACLK)
        return QNB_ERR_ALREADY;
    static const char prefix[] = "direct=";
    size_t pos = sizeof prefix - 1;
    uint64_t offset = 0;
    if (rest.compare(0, pos, prefix) != 0 || !scan_decimal(rest, &pos, UINT32_MAX, &offset))
        return QNB_ERR_INVALIDDATA;
    s->media_clock_offset = static_cast<uint32_t>(offset);
    s->attribute_flags |= SDP_ATTR_MEDIACLK;
    return QNB_ERR_SUCCESS;
}

qnb_error sdp_keywords(sdp_session *s, const char *value, size_t length)
{
    const char *colon = static_cast<const char *>(std::memchr(value, ':', length));
    if (colon == nullptr)
        return QNB_ERR_INVALIDDATA;
    size_t skip = static_cast<size_t>(colon - value) + 1;
    static const char protocol[] = "Velto";
    for (const std::string &word : split_blank(value + skip, length - skip)) {
        if (word.size() <= sizeof protocol - 1 && std::memcmp(word.data(), protocol, word.size()) == 0)
            s->keyword_flag = 1;
    }
    return QNB_ERR_SUCCESS;
}

qnb_error sdp_attribute(sdp_session *s, const char *value, size_t length)
{
    std::string text(value, length);
    size_t colon = text.find(':');
    std::string name = text.substr(0, colon);
    std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    if (name == "keywds")
        return sdp_keywords(s, value, length);
    if (name == "rtpmap" && colon != std::string::npos)
        return sdp_rtpmap(s, rest);
    if (name == "sendonly") {
        s->direction = SDP_DIRECTION_SENDONLY;
        return QNB_ERR_SUCCESS;
    }
    if (name == "recvonly") {
        s->direction = SDP_DIRECTION_RECVONLY;
        return QNB_ERR_SUCCESS;
    }
    if (name == "sendrecv") {
        s->direction = SDP_DIRECTION_SENDRECV;
        return QNB_ERR_SUCCESS;
    }
    if (name == "ptime" && colon != std::string::npos)
        return sdp_ptime(s, rest);
    if (name == "ts-refclk" && rest.compare(0, 4, "ptp=") == 0)
        return sdp_refclk(s, rest.substr(4));
    if (name == "mediaclk" && colon != std::string::npos)
        return sdp_mediaclk(s, rest);
    return QNB_ERR_NOTSUPPORTED;
}

// The section a row belongs to: the nearest row at or before it that opens one, or -1.
int section_of(int row)
{
    for (int r = row; r >= 0; r--) {
        if (sdp_grammar_table[r].flags & SDP_ROW_SECTION)
            return r;
    }
    return -1;
}

// The last row of the section opened at `start`: the run of section-only rows after it.
int section_end(int start)
{
    int r = start + 1;
    while (r < SDP_GRAMMAR_ROWS && (sdp_grammar_table[r].flags & SDP_ROW_SECTION_ONLY))
        r++;
    return r - 1;
}

bool is_skip_result(qnb_error err)
{
    return err == QNB_ERR_TRUNCATED || err == QNB_ERR_NOTSUPPORTED || err == QNB_ERR_ALREADY;
}

} // namespace

const sdp_grammar sdp_grammar_table[SDP_GRAMMAR_ROWS] = {
    {'v', "version", nullptr, SDP_ROW_REQUIRED},
    {'o', "origin", sdp_origin, SDP_ROW_REQUIRED},
    {'c', "connection", sdp_connection, 0},
    {'s', "session name", sdp_session_name, SDP_ROW_REQUIRED},
    {'i', "session info", sdp_session_info, 0},
    {'u', "uri", nullptr, 0},
    {'e', "e-mail", nullptr, 0},
    {'p', "phone", nullptr, 0},
    {'c', "connection", sdp_connection, SDP_ROW_REPEAT},
    {'b', "bandwidth", nullptr, SDP_ROW_REPEAT},
    {'t', "time", sdp_time, SDP_ROW_REQUIRED | SDP_ROW_REPEAT | SDP_ROW_SECTION},
    {'r', "repeat", nullptr, SDP_ROW_REPEAT | SDP_ROW_SECTION_ONLY},
    {'z', "time zone", nullptr, 0},
    {'k', "encryption key", nullptr, 0},
    {'a', "attribute", sdp_attribute, SDP_ROW_REPEAT},
    {'m', "media", sdp_media, SDP_ROW_REPEAT | SDP_ROW_SECTION},
    {'i', "title", sdp_media_title, SDP_ROW_SECTION_ONLY},
    {'c', "connection", sdp_connection, SDP_ROW_REPEAT | SDP_ROW_SECTION_ONLY},
    {'b', "bandwidth", nullptr, SDP_ROW_REPEAT | SDP_ROW_SECTION_ONLY},
    {'k', "encryption key", nullptr, SDP_ROW_SECTION_ONLY},
    {'a', "attribute", sdp_attribute, SDP_ROW_REPEAT | SDP_ROW_SECTION_ONLY},
};

qnb_error sdp_parse(sdp_session *session, const char *text, size_t length)
{
    if (session == nullptr || (text == nullptr && length != 0))
        return QNB_ERR_INVALIDPARAMETER;
    bool matched[SDP_GRAMMAR_ROWS] = {};
    int current = -1;
    int open_section = -1;
    bool skipping = false;
    size_t pos = 0;
    std::string value;
    for (;;) {
        while (pos < length && (text[pos] == '\r' || text[pos] == '\n'))
            pos++;
        if (pos >= length)
            return QNB_ERR_SUCCESS;
        // letter '=' value, ended by CR or LF.
        char key = text[pos];
        if (!((key >= 'a' && key <= 'z') || (key >= 'A' && key <= 'Z')) || pos + 2 >= length || text[pos + 1] != '=')
            return QNB_ERR_INVALIDDATA;
        size_t start = pos + 2;
        size_t end = start;
        while (end < length && text[end] != '\r' && text[end] != '\n') {
            if (text[end] == '\0')
                return QNB_ERR_INVALIDDATA;
            end++;
        }
        if (end >= length || end == start)
            return QNB_ERR_INVALIDDATA;
        value.assign(text + start, end - start);
        pos = end;

        if (current < 0) {
            uint64_t version = 0;
            if (key != 'v')
                return QNB_ERR_INVALIDDATA;
            if (!read_decimal(value, UINT64_MAX, &version) || version != 0)
                return QNB_ERR_NOTSUPPORTED;
            matched[0] = true;
            current = 0;
            continue;
        }

        // Find the line's row, moving forward from the current one.
        int row = (sdp_grammar_table[current].flags & SDP_ROW_REPEAT) ? current : current + 1;
        bool wrapped = false;
        int found = -1;
        for (;;) {
            if (open_section >= 0 && !wrapped && row == section_end(open_section) + 1) {
                // Past the open section: it may start again, or it ends here.
                wrapped = true;
                if (sdp_grammar_table[open_section].key == key) {
                    found = open_section;
                    break;
                }
                open_section = -1;
                skipping = false;
            }
            if (row >= SDP_GRAMMAR_ROWS)
                return QNB_ERR_SUCCESS; // the rest is not for us
            const sdp_grammar &g = sdp_grammar_table[row];
            if (g.key == key && (!(g.flags & SDP_ROW_SECTION_ONLY) || section_of(row) == open_section)) {
                found = row;
                break;
            }
            if ((g.flags & SDP_ROW_REQUIRED) && !matched[row])
                return QNB_ERR_INVALIDDATA;
            row++;
        }

        const sdp_grammar &g = sdp_grammar_table[found];
        matched[found] = true;
        current = found;
        if (g.flags & SDP_ROW_SECTION) {
            open_section = found;
            skipping = false;
        }
        if (skipping || g.handler == nullptr)
            continue;
        qnb_error err = g.handler(session, value.c_str(), value.size());
        if (err == QNB_ERR_SUCCESS)
            continue;
        if (!is_skip_result(err))
            return err;
        if (g.flags & SDP_ROW_SECTION)
            skipping = true;
    }
}

qnb_error sap_header_check(const uint8_t *packet, size_t size, size_t *sdp_offset)
{
    if (packet == nullptr || sdp_offset == nullptr)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp_reader r;
    wgcp_reader_init(&r, packet, size);
    if (size <= SAP_HEADER_SIZE)
        return QNB_ERR_NODATA;
    uint8_t flags = 0, auth = 0;
    uint16_t hash = 0;
    uint32_t source = 0;
    wgcp_reader_u8_at(&r, 0, &flags);
    wgcp_reader_u8_at(&r, 1, &auth);
    wgcp_reader_u16_at(&r, 2, &hash);
    wgcp_reader_u32_at(&r, 4, &source);
    if (flags < 0x20 || flags > 0x3F || (flags & 0x02) || (flags & 0x01))
        return QNB_ERR_NOTSUPPORTED;
    if (hash == 0 || source == 0)
        return QNB_ERR_INVALIDDATA;
    // The authentication data's length is a count of bytes.
    size_t type_at = SAP_HEADER_SIZE + auth;
    size_t text_at = type_at + SAP_PAYLOAD_TYPE_SIZE;
    if (size <= text_at)
        return QNB_ERR_INVALIDDATA;
    uint8_t type[SAP_PAYLOAD_TYPE_SIZE];
    if (wgcp_reader_bytes_at(&r, type_at, type, sizeof type) != QNB_ERR_SUCCESS ||
        std::memcmp(type, k_payload_type, sizeof type) != 0)
        return QNB_ERR_INVALIDDATA;
    *sdp_offset = text_at;
    return QNB_ERR_SUCCESS;
}

qnb_error get_sdp_parsed_structure(const uint8_t *packet, size_t size, sdp_session *session)
{
    static const char fn[] = "get_sdp_parsed_structure";
    if (packet == nullptr || session == nullptr)
        return QNB_ERR_INVALIDPARAMETER;
    std::memset(session, 0, sizeof *session);
    size_t offset = 0;
    if (sap_header_check(packet, size, &offset) != QNB_ERR_SUCCESS) {
        qnb_debug_print(QNB_DBG_ERROR, "%s : sanity check error\n", fn);
        return QNB_ERR_INVALIDDATA;
    }
    session->deletion = (packet[0] >> 2) & 1;
    std::memcpy(&session->message_id_hash, packet + 2, sizeof session->message_id_hash);
    std::memcpy(&session->source, packet + 4, sizeof session->source);
    if (sdp_parse(session, reinterpret_cast<const char *>(packet + offset), size - offset) != QNB_ERR_SUCCESS ||
        !(session->sdp_flags & SDP_SEEN_ORIGIN))
        return QNB_ERR_NOTSUPPORTED;
    return QNB_ERR_SUCCESS;
}
