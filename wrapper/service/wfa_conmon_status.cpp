// The status handlers of the control-and-monitoring driver: what the devices' status and
// monitoring messages and the server's subscription changes tell the service layer.
#include "wrapper/service/wfa_conmon.h"

#include <cstring>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/conmon/conmon_msg.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon_private.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"

using namespace conmon_driver;

namespace {

void store_interface_status(wfa_device *device, const uint8_t *body, size_t length)
{
    uint16_t count = 0;
    conmon_msg_interface_status_get_count(body, length, &count);
    device->interface_count = count > 2 ? 2 : count;
    for (unsigned i = 0; i < device->interface_count; i++) {
        conmon_msg_interface_status_get_interface(body, length, i, &device->interfaces[i]);
    }
    conmon_interface_trailer trailer{};
    conmon_msg_interface_status_get_trailer(body, length, &trailer);
    device->interface_flags = trailer.value;
    device->info |= k_info_interface;
}

void store_versions(wfa_device *device, const uint8_t *body, size_t length)
{
    conmon_msg_get_version(body, length, &device->body_version);
    conmon_msg_versions_get_version_b(body, length, &device->firmware);
    conmon_msg_versions_get_version_a(body, length, &device->software);
    conmon_msg_versions_get_model_id(body, length, device->model_id);
    conmon_msg_versions_get_u32(body, length, &device->capabilities);
    conmon_msg_versions_get_u32_b(body, length, &device->versions_word_b);
    conmon_msg_versions_get_u16(body, length, &device->versions_word_c);
    device->info |= k_info_versions;
}

void store_manf_versions(wfa_device *device, const uint8_t *body, size_t length)
{
    conmon_msg_manf_versions_get_manf_id(body, length, device->manf_id);
    conmon_msg_manf_versions_get_model_id(body, length, device->manf_model_id);
    conmon_msg_manf_versions_get_version_b(body, length, &device->manf_firmware);
    conmon_msg_manf_versions_get_version_a(body, length, &device->manf_software);
    conmon_msg_manf_versions_get_u32_a(body, length, &device->manf_word_a);
    conmon_msg_manf_versions_get_block_a(body, length, device->manf_name, sizeof device->manf_name);
    conmon_msg_manf_versions_get_block_b(body, length, device->model_name, sizeof device->model_name);
    conmon_msg_manf_versions_get_u32_b(body, length, &device->manf_word_b);
    device->info |= k_info_manf;
}

void post_named(uint16_t code, const char *name, uint8_t value_a, int value_b)
{
    uint8_t out[WFA_NAME_FIELD + 2] = {};
    put_name(out, sizeof out, name);
    out[WFA_NAME_FIELD] = value_a;
    size_t size = WFA_NAME_FIELD + 1;
    if (value_b >= 0) {
        out[WFA_NAME_FIELD + 1] = static_cast<uint8_t>(value_b);
        size++;
    }
    wfa_post_result(out, size, code, 0, ERR_NOERR);
}

} // namespace

namespace conmon_driver {

void status_handler(conmon_client *client, uint16_t, uint16_t, const conmon_channel_message *message)
{
    if (std::memcmp(message->head.vendor_id, conmon_vendor_id_standard, 8) != 0) {
        return;
    }
    conmon_source_id source;
    conmon_message_head_get_source(&message->head, &source);
    const char *sender = conmon_client_device_name_for_id(client, &source);
    wfa_device *device = sender ? wfa_device_lookup(sender) : nullptr;
    if (device == nullptr) {
        return;
    }
    if (device->state == WFA_DEVICE_REBOOTING) {
        device->reboot_request_id = 0;
        wfa_conmon_query(device->name);
    }
    const uint8_t *body = message->body;
    const size_t length = message->body_length;
    uint16_t type = 0;
    if (conmon_msg_get_type(body, length, &type) != QNB_ERR_SUCCESS) {
        return;
    }
    note_answer(device, type);
    switch (type) {
    case CONMON_MSG_INTERFACE_STATUS:
        store_interface_status(device, body, length);
        break;
    case CONMON_MSG_CLOCKING_STATUS: {
        if (!conmon_client_get_tx_metering_enabled(client)) {
            conmon_client_set_tx_metering_enabled(client, nullptr, nullptr, true);
        }
        uint8_t preferred = 0;
        conmon_msg_clocking_status_get_preferred_master(body, length, &preferred);
        uint8_t out[WFA_NAME_FIELD + 1] = {};
        put_name(out, sizeof out, device->name);
        out[WFA_NAME_FIELD] = preferred;
        wfa_post_result(out, sizeof out, WFA_CBACK_INF_GET_PMAS,
                        question_request_id(device, WFA_QUESTION_PREFERRED_MASTER, device->request_id), ERR_NOERR);
        break;
    }
    case CONMON_MSG_VERSIONS_STATUS:
        store_versions(device, body, length);
        break;
    case CONMON_MSG_UPGRADE_STATUS:
        handle_upgrade_status(device, body, length);
        break;
    case CONMON_MSG_SRATE_STATUS: {
        uint8_t out[64] = {};
        put_name(out, sizeof out, device->name);
        uint32_t current = 0;
        uint16_t count = 0;
        conmon_msg_srate_status_get_current(body, length, &current);
        conmon_msg_srate_status_num_rates(body, length, &count);
        if (count > 6) {
            count = 6;
        }
        wfa_put_u32(out, sizeof out, 32, current);
        wfa_put_u16(out, sizeof out, 36, count);
        for (unsigned i = 0; i < count; i++) {
            uint32_t rate = 0;
            conmon_msg_srate_status_get_rate(body, length, i, &rate);
            wfa_put_u32(out, sizeof out, 40 + 4 * i, rate);
        }
        wfa_post_result(out, sizeof out, WFA_CBACK_INF_GET_FS,
                        question_request_id(device, WFA_QUESTION_SAMPLE_RATE, device->request_id), ERR_NOERR);
        break;
    }
    case CONMON_MSG_MANF_VERSIONS_STATUS:
        store_manf_versions(device, body, length);
        break;
    case CONMON_MSG_RX_CHANNEL_CHANGE: {
        uint16_t count = 0;
        if (length < 10 || (count = static_cast<uint16_t>(body[8] << 8 | body[9])) > 32) {
            break;
        }
        uint8_t out[WFA_RX_CHANGE_SIZE] = {};
        put_name(out, sizeof out, device->name);
        size_t available = length - 10;
        std::memcpy(out + 32, body + 10, count < available ? count : available);
        wfa_put_u16(out, sizeof out, 64, count);
        wfa_post_result(out, sizeof out, WFA_CBACK_INF_RX_CH_PATCH_CHANGE, 0, ERR_NOERR);
        break;
    }
    case CONMON_MSG_PROPERTY_CHANGE: {
        uint8_t record[WFA_DEVICE_INFO_SIZE];
        wfa_device_name_record(device->name, record);
        wfa_post_result(record, sizeof record, WFA_CBACK_INF_PROPERTY_CHANGE, 0, ERR_NOERR);
        break;
    }
    case CONMON_MSG_AES67_STATUS: {
        bool enabled = false;
        bool reboot = false;
        conmon_msg_aes67_status_get(body, length, &enabled, &reboot);
        post_named(WFA_CBACK_INF_AES67_STATUS, device->name, enabled ? 1 : 0, reboot ? 1 : 0);
        break;
    }
    case CONMON_MSG_LOCK_STATUS: {
        bool locked = false;
        conmon_msg_lock_status_get_locked(body, length, &locked);
        post_named(WFA_CBACK_INF_DEVICE_LOCK, device->name, locked ? 1 : 0, -1);
        break;
    }
    default:
        break; // 0xE1, 0xF1, 0x103 and the rest: nothing to do
    }
}

void monitoring_handler(conmon_client *, uint16_t, uint16_t, const conmon_channel_message *message)
{
    if (std::memcmp(message->head.vendor_id, conmon_vendor_id_standard, 8) != 0) {
        return;
    }
    uint16_t type = 0;
    if (conmon_msg_get_type(message->body, message->body_length, &type) == QNB_ERR_SUCCESS &&
        type == CONMON_MSG_VELTO_READY) {
        g_block.velto_ready = true;
    }
}

void on_connection(conmon_client *client)
{
    auto *block = static_cast<wfa_conmon_block *>(conmon_client_get_context(client));
    block->connection_flag = 1;
}

void on_subscriptions(conmon_client *, unsigned count, const conmon_remote_device_info *const *changed)
{
    for (unsigned i = 0; i < count; i++) {
        const conmon_remote_device_info *info = changed[i];
        wfa_device *device = info != nullptr ? wfa_device_lookup(info->name) : nullptr;
        if (device != nullptr) {
            device->named = sender_known(device);
        }
        // A record without a channel type (the short form) counts as a device subscription.
        if (info == nullptr ||
            ((info->flags & CONMON_REMOTE_HAS_CHANNEL_TYPE) && info->channel_type != CONMON_CHANNEL_KEEPALIVE)) {
            continue;
        }
        uint16_t code = 0;
        if (info->status == 16 || info->status == 258) {
            code = WFA_CBACK_INF_DEVICE_DISCONNECT;
        } else if (info->status == 17 || info->status == 18) {
            code = WFA_CBACK_INF_DEVICE_CONNECT;
        } else {
            continue;
        }
        uint8_t record[WFA_DEVICE_INFO_SIZE];
        wfa_device_name_record(info->name, record);
        wfa_post_result(record, sizeof record, code, 0, ERR_NOERR);
    }
}

} // namespace conmon_driver
