// The per-device commands of the control-and-monitoring driver: reboot, identify, sample rate,
// preferred master, the AES67 query and the other control messages sent by type.
#include "wrapper/service/wfa_conmon.h"

#include "netaudio/conmon/conmon_msg.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon_private.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"

using namespace conmon_driver;

namespace {

const uint8_t k_identify_vendor[8] = {'D', 'e', 'd', 'a', 'r', 'i', 'D', 0};
bool g_identify_second = false;

} // namespace

uint32_t wfa_conmon_reboot(const char *name, uint8_t mode, uint16_t request_id)
{
    if (mode > 1) {
        return WFA_E_BAD_ARGUMENT;
    }
    wfa_device *device = nullptr;
    uint32_t r = ready_device(name, &device);
    if (r) {
        return r;
    }
    conmon_vendor_body body;
    conmon_msg_init_sys_reset(&body, k_parameter);
    conmon_msg_sys_reset_set_mode(&body, mode);
    if ((r = send_standard(name, body, CONMON_MSG_SYS_RESET_SIZE))) {
        return r;
    }
    device->state = WFA_DEVICE_REBOOTING;
    device->reboot_request_id = request_id;
    return 0;
}

uint32_t wfa_conmon_identify(const char *name)
{
    wfa_device *device = nullptr;
    uint32_t r = ready_device(name, &device);
    if (r) {
        return r;
    }
    const char *text = g_identify_second ? "IG 1 40.0\r" : "IG 1 25.0\r";
    g_identify_second = !g_identify_second;
    return send_body(name, k_identify_vendor, text, 10, nullptr);
}

uint32_t wfa_conmon_set_srate(const char *name, uint32_t rate, uint16_t request_id)
{
    wfa_device *device = nullptr;
    uint32_t r = ready_device(name, &device);
    if (r) {
        return r;
    }
    device->request_id = request_id;
    static const uint32_t accepted[] = {0, 44100, 48000, 88200, 96000, 176400, 192000};
    bool ok = false;
    for (uint32_t a : accepted) {
        ok = ok || a == rate;
    }
    conmon_vendor_body body;
    conmon_msg_init_srate_control(&body, k_parameter);
    if (ok) {
        conmon_msg_srate_control_set_rate(&body, rate);
    }
    if ((r = send_standard(name, body, CONMON_MSG_SRATE_CONTROL_SIZE))) {
        return r;
    }
    if (!ok) {
        return WFA_E_BAD_ARGUMENT;
    }
    if (rate != 0) {
        uint8_t out[WFA_NAME_FIELD + 2] = {};
        put_name(out, sizeof out, name);
        wfa_post_result(out, sizeof out, WFA_CBACK_INF_SET_FS, request_id, ERR_NOERR);
    }
    return 0;
}

uint32_t wfa_conmon_set_pmas(const char *name, uint8_t flag, const wfa_pmas_answer *answer)
{
    g_last_send_error = QNB_ERR_SUCCESS;
    wfa_device *device = nullptr;
    uint32_t r = ready_device(name, &device);
    if (r) {
        return r;
    }
    conmon_vendor_body body;
    conmon_msg_init_clocking_control(&body, k_parameter);
    if (flag <= 1) {
        conmon_msg_clocking_control_set_preferred_master(&body, flag);
    }
    if (answer == nullptr) {
        return send_standard(name, body, CONMON_MSG_CLOCKING_CONTROL_SIZE);
    }
    wfa_pending slot{};
    r = send_standard(name, body, CONMON_MSG_CLOCKING_CONTROL_SIZE, &slot);
    if (r == 0) {
        g_block.pmas.emplace_back(slot, *answer);
    }
    return r;
}

uint32_t wfa_conmon_query_aes67(const char *name)
{
    wfa_device *device = nullptr;
    uint32_t r = ready_device(name, &device);
    if (r) {
        return r;
    }
    conmon_vendor_body body;
    conmon_msg_init_aes67_query(&body, k_parameter);
    return send_standard(name, body, CONMON_MSG_AES67_QUERY_SIZE);
}

uint32_t wfa_conmon_send_type(const char *name, uint32_t type, void *request_slot)
{
    if (name == nullptr) {
        return WFA_E_NULL;
    }
    if (g_block.client == nullptr) {
        return WFA_E_NOT_READY;
    }
    conmon_vendor_body body;
    size_t length = CONMON_MSG_GENERIC_SIZE;
    switch (type) {
    case CONMON_MSG_INTERFACE_CONTROL:
        conmon_msg_init_interface_control(&body, k_parameter);
        length = conmon_msg_interface_control_size(&body);
        break;
    case CONMON_MSG_CLOCKING_CONTROL:
        conmon_msg_init_clocking_control(&body, k_parameter);
        length = CONMON_MSG_CLOCKING_CONTROL_SIZE;
        break;
    case CONMON_MSG_SRATE_CONTROL:
        conmon_msg_init_srate_control(&body, k_parameter);
        conmon_msg_srate_control_set_rate(&body, 44100);
        length = CONMON_MSG_SRATE_CONTROL_SIZE;
        break;
    case CONMON_MSG_ENC_CONTROL:
        conmon_msg_init_enc_control(&body, k_parameter);
        length = CONMON_MSG_ENC_CONTROL_SIZE;
        break;
    case CONMON_MSG_SRATE_PULLUP_CONTROL:
        conmon_msg_init_srate_pullup_control(&body, k_parameter);
        length = CONMON_MSG_SRATE_PULLUP_CONTROL_SIZE;
        break;
    case CONMON_MSG_ACCESS_CONTROL:
        conmon_msg_init_access_control(&body, k_parameter);
        length = CONMON_MSG_ACCESS_CONTROL_SIZE;
        break;
    case CONMON_MSG_VERSIONS_QUERY:
    case CONMON_MSG_IDENTIFY_QUERY:
    case CONMON_MSG_AUDIO_INTERFACE_QUERY:
    case CONMON_MSG_MANF_VERSIONS_QUERY:
    case CONMON_MSG_VELTO_READY_QUERY:
    case CONMON_MSG_LOCK_QUERY:
        conmon_msg_init(&body, static_cast<uint16_t>(type), k_parameter);
        break;
    default:
        return WFA_E_UNKNOWN_TYPE;
    }
    return send_standard(name, body, length, static_cast<wfa_pending *>(request_slot));
}
