#include "wrapper/service/wfa_device.h"

#include <cstring>
#include <new>

#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_name.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon_private.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"

using namespace conmon_driver;

namespace {

wfa_device *g_first = nullptr;
wfa_device *g_last = nullptr;
uint32_t g_last_serial = 0; // the number of the entry added last; only grows

void unlink_device(wfa_device *device)
{
    (device->prev ? device->prev->next : g_first) = device->next;
    (device->next ? device->next->prev : g_last) = device->prev;
}

uint8_t wfa_link_speed_code(uint32_t speed)
{
    switch (speed) {
    case 0:
        return 0;
    case 10:
        return 1;
    case 100:
        return 2;
    case 1000:
        return 3;
    default:
        return 255;
    }
}

} // namespace

namespace conmon_driver {

wfa_device *first_device()
{
    return g_first;
}

} // namespace conmon_driver

uint32_t wfa_device_table_init(void)
{
    wfa_device_clear();
    return 0;
}

void wfa_device_table_free(void)
{
    wfa_device_clear();
}

uint32_t wfa_device_add(const char *name)
{
    if (name == nullptr) {
        return WFA_E_NULL;
    }
    char copy[QNB_NAME_SIZE];
    qnb_error e = qnb_name_copy_checked(copy, name);
    if (e == QNB_ERR_SUCCESS && std::strlen(copy) >= WFA_NAME_FIELD) {
        // The local link's name fields need the terminator within 32 bytes.
        wfa_log(QNB_LOG_WARNING, "conmon: device name \"%s\" is too long for the local server", copy);
        e = QNB_ERR_TRUNCATED;
    }
    if (e != QNB_ERR_SUCCESS) {
        return wfa_internal_from_library(e);
    }
    if (copy[0] == 0) {
        return WFA_E_BAD_ARGUMENT;
    }
    auto *device = new (std::nothrow) wfa_device();
    if (device == nullptr) {
        return WFA_E_NO_MEMORY;
    }
    std::memcpy(device->name, copy, sizeof device->name);
    if (++g_last_serial == 0) {
        ++g_last_serial; // 0 stands for no entry
    }
    device->serial = g_last_serial;
    device->prev = g_last;
    (g_last ? g_last->next : g_first) = device;
    g_last = device;
    return 0;
}

wfa_device *wfa_device_lookup(const char *name)
{
    if (name == nullptr) {
        return nullptr;
    }
    for (wfa_device *d = g_first; d != nullptr; d = d->next) {
        if (std::strncmp(d->name, name, WFA_NAME_FIELD) == 0) {
            return d;
        }
    }
    return nullptr;
}

uint32_t wfa_device_serial(const wfa_device *device)
{
    return device ? device->serial : 0;
}

uint32_t wfa_device_remove(const char *name)
{
    if (name == nullptr || name[0] == 0) {
        return WFA_E_BAD_ARGUMENT;
    }
    wfa_device *device = wfa_device_lookup(name);
    if (device == nullptr) {
        return 13;
    }
    // Its query and its questions end before the device goes.
    finish_queries_of(device);
    finish_questions_of(device);
    unlink_device(device);
    delete device;
    return 0;
}

void wfa_device_clear(void)
{
    finish_queries_of(nullptr);
    finish_questions_of(nullptr);
    while (g_first != nullptr) {
        wfa_device *next = g_first->next;
        delete g_first;
        g_first = next;
    }
    g_last = nullptr;
}

bool wfa_device_any_upgrading(void)
{
    for (wfa_device *d = g_first; d != nullptr; d = d->next) {
        if (d->state == WFA_DEVICE_UPGRADE_REQUESTED || d->state == WFA_DEVICE_UPGRADING) {
            return true;
        }
    }
    return false;
}

uint32_t wfa_device_state(const wfa_device *device)
{
    return device ? device->state : 0;
}

uint32_t wfa_device_get_stat(const char *name, uint8_t *record)
{
    if (name == nullptr || record == nullptr) {
        return WFA_E_NULL;
    }
    wfa_device *device = wfa_device_lookup(name);
    if (device == nullptr) {
        return WFA_E_NOT_FOUND;
    }
    // Manufacturer versions that were rightly skipped count as received.
    if (((device->info | device->skip) & k_info_all) != k_info_all) {
        return WFA_E_NOT_READY;
    }
    if (device->state != WFA_DEVICE_READY) {
        return WFA_E_WRONG_STATE;
    }
    // Name, then the link-speed codes of the first and the second interface.
    std::memset(record, 0, WFA_DEVICE_STAT_SIZE);
    put_name(record, WFA_DEVICE_STAT_SIZE, device->name);
    record[32] = device->interface_count > 0 ? wfa_link_speed_code(device->interfaces[0].link_speed) : 255;
    record[33] = device->interface_count > 1 && (device->interface_flags & 1)
                     ? wfa_link_speed_code(device->interfaces[1].link_speed)
                     : 255;
    return 0;
}
