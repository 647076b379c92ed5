// SAP announcements and SDP text: the header check, the SDP grammar over the raw bytes, and the
// browse's packet handler (a new session, the same again, a deletion of it).
#include <initializer_list>
#include <cstring>
#include <vector>

#include "netaudio/discovery/sdp.h"
#include "netaudio/discovery/wb_browse_sap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static sdp_session session;
    memset(&session, 0, sizeof session);
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    sdp_parse(&session, text.data(), size);

    size_t offset = 0;
    sap_header_check(data, size, &offset);
    get_sdp_parsed_structure(data, size, &session);

    static wb_browse_sap *sap = nullptr;
    if (!sap && wb_browse_sap_new(nullptr, &sap) != 0)
        return 0;
    wb_browse_sap_handle_packet(sap, data, size);
    wb_browse_sap_handle_packet(sap, data, size);
    if (size > 0) {
        std::vector<uint8_t> deletion(data, data + size);
        deletion[0] |= 0x04; // the message-type bit: a deletion of the same session
        wb_browse_sap_handle_packet(sap, deletion.data(), deletion.size());
    }
    wb_browse_sap_clear(sap, 0);
    return 0;
}
