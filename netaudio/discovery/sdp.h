// SAP packets and the SDP descriptions they carry: the SAP header check, the SDP grammar (which
// lines may appear, in which order, which repeat and which open a section) and the session record
// that one announcement or deletion is parsed into.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"

enum {
    SDP_USER_NAME_SIZE = 16,
    SDP_SESSION_NAME_SIZE = 64,
    SDP_SESSION_INFO_SIZE = 128,
    SDP_PTP_DOMAIN_SIZE = 16,
    SDP_MEDIA_TITLE_SIZE = 128,
    SDP_PTP_CLOCK_SIZE = 6
};

// SDP flags: which of the lines that identify a stream were seen.
enum {
    SDP_SEEN_ORIGIN = 0x01,
    SDP_SEEN_CONNECTION = 0x02,
    SDP_SEEN_TIME = 0x04,
    SDP_SEEN_MEDIA = 0x08
};

// Attribute flags.
enum {
    SDP_ATTR_RTPMAP = 0x01,
    SDP_ATTR_PTIME = 0x02,
    SDP_ATTR_REFCLK = 0x04,
    SDP_ATTR_MEDIACLK = 0x08
};

enum { SDP_DIRECTION_NONE = 0, SDP_DIRECTION_RECVONLY = 1, SDP_DIRECTION_SENDRECV = 2, SDP_DIRECTION_SENDONLY = 3 };

// One announced session, zeroed before each parse. The hash and the source address are kept as
// they are stored in the packet (network order).
struct sdp_session {
    uint32_t deletion;
    uint16_t message_id_hash;
    uint32_t source;
    uint32_t sdp_flags;
    uint64_t session_id;
    uint64_t session_version;
    uint32_t origin_family; // 2: IPv4
    uint32_t origin_address; // network order
    char origin_user[SDP_USER_NAME_SIZE];
    char session_name[SDP_SESSION_NAME_SIZE];
    char session_info[SDP_SESSION_INFO_SIZE];
    uint32_t connection_address; // network order
    uint8_t address_count;
    uint8_t ttl;
    uint32_t attribute_flags;
    uint32_t sample_rate;
    uint32_t packet_time; // microseconds: "a=ptime:1.25" gives 1250
    uint16_t bit_depth;
    uint16_t channels;
    uint16_t media_port;
    uint16_t port_count;
    uint32_t direction;
    uint8_t payload_type;
    uint8_t ptp_clock[SDP_PTP_CLOCK_SIZE];
    char ptp_domain[SDP_PTP_DOMAIN_SIZE];
    uint32_t media_clock_offset;
    char media_title[SDP_MEDIA_TITLE_SIZE];
    uint32_t keyword_flag;
};

// Grammar row flags.
enum {
    SDP_ROW_REQUIRED = 0x02,
    SDP_ROW_REPEAT = 0x04,
    SDP_ROW_SECTION = 0x08,      // starts a section that may repeat
    SDP_ROW_SECTION_ONLY = 0x10  // allowed only inside the current section
};

// A line handler: 0 goes on; QNB_ERR_TRUNCATED (value too long), QNB_ERR_NOTSUPPORTED and
// QNB_ERR_ALREADY (repeated field) skip the line (and the rest of a section the row opens); any
// other result ends the parse with it. `value` is the text after "x=", NUL-terminated.
typedef qnb_error (*sdp_line_fn)(sdp_session *session, const char *value, size_t length);

struct sdp_grammar {
    char key;
    const char *name;
    sdp_line_fn handler;
    uint32_t flags;
};

enum { SDP_GRAMMAR_ROWS = 21 };
extern const sdp_grammar sdp_grammar_table[SDP_GRAMMAR_ROWS];

// SAP header layout.
enum { SAP_HEADER_SIZE = 8, SAP_PAYLOAD_TYPE_SIZE = 16 }; // "application/sdp" and its NUL

// Checks a SAP header: QNB_ERR_NODATA for 8 bytes or less, QNB_ERR_NOTSUPPORTED for another
// version or an encrypted or compressed packet, QNB_ERR_INVALIDDATA for a zero hash or source, a
// missing payload type or no SDP text. On success `sdp_offset` is where the SDP text starts.
qnb_error sap_header_check(const uint8_t *packet, size_t size, size_t *sdp_offset);

// Parses SDP text into `session` (which the caller zeroed). 0, or the error that ended the parse.
qnb_error sdp_parse(sdp_session *session, const char *text, size_t length);

// Checks the SAP header and parses the SDP into `session` (zeroed first): QNB_ERR_INVALIDDATA on a
// header error, QNB_ERR_NOTSUPPORTED when the SDP does not parse or names no IPv4 origin (the
// session could not be told apart from others), else 0.
qnb_error get_sdp_parsed_structure(const uint8_t *packet, size_t size, sdp_session *session);
