// Configuration-service bodies: every tree decoder over any body in an extended-header container,
// and the decoded records re-encoded and decoded again (what the service's peer would send back).
#include <initializer_list>
#include <cstring>

#include "netaudio/conmon/cmm_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static wgcp_message m;
    if (size > sizeof m.packet)
        return 0;
    wgcp_message_reset(&m, WGCP_KIND_EXTENDED);
    memset(m.packet, 0, sizeof m.packet);
    memcpy(m.packet, data, size);

    static cmm_client_info info;
    static cmm_interface_list options;
    static cmm_state state;
    static cmm_set_config set;
    static cmm_server_version version;
    static wgcp_message again;
    if (cmm_decode_client_info(&m, &info) == 0) {
        wgcp_message_reset(&again, WGCP_KIND_EXTENDED);
        wgcp_message_init_request(&again, CMM_PROTOCOL, CMM_OPCODE_STATE_QUERY);
        cmm_encode_client_info(&again, &info);
    }
    if (cmm_decode_options(&m, &options) == 0) {
        for (unsigned i = 0; i <= cmm_interfaces_get_count(&options); ++i)
            if (const cmm_interface *e = cmm_interfaces_get(&options, i))
                cmm_interface_get_mac(e);
        wgcp_message_reset(&again, WGCP_KIND_EXTENDED);
        wgcp_message_init_request(&again, CMM_PROTOCOL, CMM_OPCODE_OPTIONS);
        if (cmm_encode_options(&again, &options) == 0) {
            static cmm_interface_list back;
            cmm_decode_options(&again, &back);
            cmm_interface_list_equal(&options, &back);
        }
    }
    if (cmm_decode_state(&m, &state) == 0) {
        for (unsigned i = 0; i <= cmm_state_get_process_count(&state); ++i)
            if (const cmm_process *p = cmm_state_get_process(&state, i))
                cmm_process_get_lock(p);
        const cmm_system_config *current = cmm_state_get_current_config(&state);
        for (unsigned i = 0; current && i <= cmm_config_get_interface_count(current); ++i)
            cmm_config_get_interface(current, i);
        cmm_state_get_pending_config(&state);
        cmm_system_status_name(state.status);
        wgcp_message_reset(&again, WGCP_KIND_EXTENDED);
        wgcp_message_init_request(&again, CMM_PROTOCOL, CMM_OPCODE_STATE);
        if (cmm_encode_state(&again, &state) == 0) {
            static cmm_state back;
            cmm_decode_state(&again, &back);
        }
    }
    if (cmm_decode_set_config(&m, &set) == 0) {
        wgcp_message_reset(&again, WGCP_KIND_EXTENDED);
        wgcp_message_init_request(&again, CMM_PROTOCOL, CMM_OPCODE_SET_CONFIG);
        cmm_encode_set_config(&again, &set);
    }
    cmm_decode_server_version(&m, &version);
    if (size >= 10)
        cmm_response_status_name(wgcp_header_get_status(m.packet));
    return 0;
}
