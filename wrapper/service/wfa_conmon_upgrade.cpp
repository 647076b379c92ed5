// The upgrade watch of the control-and-monitoring driver: a device asked to upgrade its firmware is
// watched until it answers, and its progress is reported from its upgrade status messages.
#include "wrapper/service/wfa_conmon.h"

#include <cstring>

#include "netaudio/conmon/conmon_msg.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon_private.h"
#include "wrapper/service/wfa_fw.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_time.h"

using namespace conmon_driver;

namespace {

const uint32_t k_upgrade_seconds = 10;

struct upgrade_data {
    char name[QNB_NAME_SIZE];
    qnb_timeval start;
};

void upgrade_over(wfa_device *device)
{
    device->state = WFA_DEVICE_READY;
    device->restarts = 0;
    if (!wfa_device_any_upgrading()) {
        wfa_cmm_set_lock(0);
    }
}

int upgrade_watch_run(TCB *task)
{
    upgrade_data *d = data_of<upgrade_data>(task);
    wfa_device *device = wfa_device_lookup(d->name);
    if (device == nullptr) {
        tcb_finish(task);
        return static_cast<int>(WFA_E_NOT_FOUND);
    }
    if (device->state == WFA_DEVICE_UPGRADE_REQUESTED) {
        if (wfa_time_elapsed_seconds(d->start) < k_upgrade_seconds) {
            return 0;
        }
        wfa_post_result(device->upgrade_record, sizeof device->upgrade_record, WFA_CBACK_INF_START_UPDATE,
                        device->request_id, ERR_TIMEOUT);
        std::memset(device->upgrade_record, 0, sizeof device->upgrade_record);
        upgrade_over(device);
    }
    return tcb_finish(task);
}

uint16_t upgrade_status_of(uint16_t result)
{
    if (result == 0) {
        return ERR_NOERR;
    }
    if ((result >= 0x101 && result <= 0x103) || result == 0x111 || result == 0x112 || result == 0x121 ||
        result == 0x200 || result == 0x201 || (result >= 0x300 && result <= 0x307)) {
        return static_cast<uint16_t>(result | 0xC000);
    }
    return ERR_VLPI_UNKNOWN;
}

} // namespace

namespace conmon_driver {

void handle_upgrade_status(wfa_device *device, const uint8_t *body, size_t length)
{
    if (device->state == WFA_DEVICE_UPGRADE_REQUESTED) {
        wfa_post_result(device->upgrade_record, sizeof device->upgrade_record, WFA_CBACK_INF_START_UPDATE,
                        device->request_id, ERR_NOERR);
        device->state = WFA_DEVICE_UPGRADING;
        return;
    }
    if (device->state != WFA_DEVICE_UPGRADING) {
        return;
    }
    conmon_upgrade_progress progress{};
    conmon_msg_upgrade_status_get_progress(body, length, &progress);
    device->upgrade_state = progress.state;
    device->upgrade_result = progress.result;
    device->upgrade_done = progress.done;
    device->upgrade_total = progress.total;
    if (progress.state < 1 || progress.state > 4) {
        return;
    }
    uint8_t phase = progress.state == 1 ? 0 : progress.state == 4 ? 1 : 2;
    uint64_t percent = progress.total == 0 ? 0 : static_cast<uint64_t>(progress.done) * 100u / progress.total;
    uint8_t out[WFA_UPDATE_STATUS_SIZE] = {};
    put_name(out, sizeof out, device->name);
    wfa_put_u8(out, sizeof out, 32, phase);
    wfa_put_u16(out, sizeof out, 34, static_cast<uint16_t>(percent > 0xFFFF ? 0xFFFF : percent));
    wfa_post_result(out, sizeof out, WFA_CBACK_INF_UPDATE_STATUS, device->request_id,
                    upgrade_status_of(progress.result));
    if (phase == 2) {
        upgrade_over(device);
    }
}

} // namespace conmon_driver

uint32_t wfa_conmon_watch_upgrade_start(const char *name, uint16_t request_id)
{
    wfa_device *device = nullptr;
    uint32_t r = ready_device(name, &device);
    if (r) {
        return r;
    }
    char16_t path[WFA_FW_PATH_UNITS] = {};
    r = wfa_fw_build_path(path);
    if (r == WFA_E_NO_FILE || path[0] == 0) {
        return WFA_E_EMPTY_PATH;
    }
    if (r) {
        return WFA_E_PATH_TOO_LONG;
    }
    // The path as UTF-8, at most 159 bytes.
    char text[160] = {};
    size_t used = 0;
    for (size_t i = 0; i < WFA_FW_PATH_UNITS && path[i] != 0; i++) {
        uint32_t c = path[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < WFA_FW_PATH_UNITS && path[i + 1] >= 0xDC00 && path[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (path[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return WFA_E_PATH_TOO_LONG;
        }
        uint8_t bytes[4];
        size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (n == 1) {
            bytes[0] = static_cast<uint8_t>(c);
        } else {
            for (size_t k = n - 1; k > 0; k--, c >>= 6) {
                bytes[k] = static_cast<uint8_t>(0x80 | (c & 0x3F));
            }
            bytes[0] = static_cast<uint8_t>((n == 2 ? 0xC0 : n == 3 ? 0xE0 : 0xF0) | c);
        }
        if (used + n > 159) {
            return WFA_E_PATH_TOO_LONG;
        }
        std::memcpy(text + used, bytes, n);
        used += n;
    }
    conmon_vendor_body body;
    if (conmon_msg_init_upgrade_control(&body, k_parameter, 0, 0, text) != QNB_ERR_SUCCESS) {
        return WFA_E_PATH_TOO_LONG;
    }
    if ((r = send_standard(name, body, CONMON_MSG_UPGRADE_CONTROL_SIZE))) {
        return r;
    }
    TCB *task = tcb_create(upgrade_watch_run, nullptr, TCB_KEY_CONMON_WATCH, TCB_KIND_WORKER,
                           "wfa_conmon_watch_upgrade_start");
    if (task == nullptr) {
        return WFA_E_NO_MEMORY;
    }
    upgrade_data *d = data_of<upgrade_data>(task);
    std::memcpy(d->name, device->name, sizeof d->name);
    d->start = wfa_time_now();
    std::memset(device->upgrade_record, 0, sizeof device->upgrade_record);
    put_name(device->upgrade_record, sizeof device->upgrade_record, device->name);
    wfa_put_utf16(device->upgrade_record, sizeof device->upgrade_record, 32, path, WFA_FW_NAME_UNITS);
    device->state = WFA_DEVICE_UPGRADE_REQUESTED;
    device->request_id = request_id;
    wfa_cmm_set_lock(1);
    return 0;
}

uint32_t wfa_conmon_upgrade_progress(const char *name, uint8_t *record, uint16_t *status)
{
    if (name == nullptr || record == nullptr || status == nullptr) {
        return WFA_E_NULL;
    }
    wfa_device *device = wfa_device_lookup(name);
    if (device == nullptr) {
        return WFA_E_NOT_FOUND;
    }
    if (device->state != WFA_DEVICE_UPGRADING) {
        return WFA_E_WRONG_STATE;
    }
    std::memset(record, 0, WFA_UPDATE_STATUS_SIZE);
    put_name(record, WFA_UPDATE_STATUS_SIZE, device->name);
    uint16_t s = device->upgrade_state;
    wfa_put_u8(record, WFA_UPDATE_STATUS_SIZE, 32, s == 1 ? 0 : s == 4 ? 1 : 2);
    uint64_t percent =
        device->upgrade_total == 0 ? 0 : static_cast<uint64_t>(device->upgrade_done) * 100u / device->upgrade_total;
    wfa_put_u16(record, WFA_UPDATE_STATUS_SIZE, 34, static_cast<uint16_t>(percent > 0xFFFF ? 0xFFFF : percent));
    *status = upgrade_status_of(device->upgrade_result);
    return 0;
}
