#include "wrapper/service/wfa_browse.h"

#include <atomic>
#include <cstring>

#include "netaudio/discovery/wb_browse.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_device.h"
#include "wrapper/service/wfa_fw.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_state.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_time.h"

namespace {

// The browse types this system browses: media device, conmon device and safe mode.
const uint32_t k_browse_types = WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_CONMON_DEVICE | WB_BROWSE_SAFE_MODE;
const uint32_t k_both_services = WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_CONMON_DEVICE;

// Layout of the duration task's parameters: i32 duration in seconds, then the start time.
enum { k_duration_at = 0, k_start_sec_at = 4, k_start_usec_at = 8 };

wfa_browse_block &block()
{
    return wfa_state_get().browse;
}

bool default_device_known(const char *name)
{
    return wfa_device_lookup(name) != nullptr;
}

const wfa_browse_conmon_calls k_default_calls = {
    wfa_conmon_is_ready, wfa_conmon_server_device_id, default_device_known, wfa_device_add, wfa_device_remove,
    wfa_conmon_query,    wfa_conmon_finish_queries,
};

const wfa_browse_conmon_calls &conmon()
{
    const wfa_browse_conmon_calls *calls = wfa_state_get().browse_calls.load();
    return calls != nullptr ? *calls : k_default_calls;
}

void drop_socket_hooks()
{
    wfa_set_socket_provider(WFA_SOCKETS_BROWSE, nullptr);
    wfa_set_socket_processor(WFA_SOCKETS_BROWSE, nullptr);
    wfa_set_sockets_changed();
}

void finish_duration_task()
{
    TCB *task = block().duration_task;
    block().duration_task = nullptr;
    if (task != nullptr) {
        tcb_finish(task);
    }
}

// The task's finish function: the block never keeps a task that is gone.
void duration_task_finished(TCB *task)
{
    if (block().duration_task == task) {
        block().duration_task = nullptr;
    }
}

// True when the record is this PC's own control-and-monitoring server.
bool is_local_server(const wb_device *device)
{
    const wt_device_id *id = wb_browse_record_get_id(device);
    if (id == nullptr || !conmon().is_ready()) {
        return false;
    }
    uint8_t server_id[8];
    uint16_t server_process = 0;
    if (!conmon().server_device_id(server_id, &server_process)) {
        return false;
    }
    return std::memcmp(id->id, server_id, sizeof server_id) == 0 && id->process == server_process;
}

bool deadline_passed(const qnb_timeval &deadline)
{
    qnb_timeval now = wfa_time_now();
    if (now.tv_sec != deadline.tv_sec) {
        return deadline.tv_sec < now.tv_sec;
    }
    return deadline.tv_usec < now.tv_usec;
}

} // namespace

// ---- the browse object's callbacks ----------------------------------------------------------------

void wfa_browse_on_sockets_changed(wb_browse *browse)
{
    auto *block = static_cast<wfa_browse_block *>(wb_browse_get_context(browse));
    block->sockets_flag = 1;
}

void wfa_browse_on_changed(wb_browse *)
{
    // Nothing beyond the pass that called it.
}

void wfa_browse_on_device_event(wb_browse *, const wb_browse_event *event, uint32_t action)
{
    if (event->kind != WB_EVENT_DEVICE) {
        return;
    }
    const wb_device *device = static_cast<const wb_device *>(event->record);
    if (is_local_server(device)) {
        return;
    }
    const char *name = device->name;
    if (action == WB_ACTION_CHANGED) {
        // A device enters the service layer once both of its services are known.
        if ((device->flags.combined & k_both_services) == k_both_services && !conmon().device_known(name)) {
            if (conmon().device_add(name) == 0) {
                conmon().query(name);
            }
        }
    } else if (action == WB_ACTION_REMOVED) {
        if (conmon().device_known(name)) {
            uint8_t record[WFA_DEVICE_INFO_SIZE];
            wfa_device_name_record(name, record);
            wfa_post_result(record, sizeof record, WFA_CBACK_INF_LOST_DEVICE, 0, ERR_NOERR);
            conmon().device_remove(name);
        }
    }
}

uint32_t wfa_browse_create(void)
{
    qnb_env *env = wfa_env();
    if (env == nullptr) {
        return WFA_E_NULL;
    }
    block() = wfa_browse_block{};
    qnb_error e = wb_browse_new(env, k_browse_types, &block().handle);
    if (e != QNB_ERR_SUCCESS) {
        block().handle = nullptr;
        return wfa_internal_from_library(e);
    }
    wb_browse_set_context(block().handle, &block());
    wb_browse_set_sockets_changed_callback(block().handle, wfa_browse_on_sockets_changed);
    wb_browse_set_changed_callback(block().handle, wfa_browse_on_changed);
    wb_browse_set_event_callback(block().handle, wfa_browse_on_device_event);
    return 0;
}

void wfa_browse_delete(void)
{
    wb_browse_delete(block().handle);
    block().handle = nullptr;
    finish_duration_task();
    drop_socket_hooks();
    block() = wfa_browse_block{};
}

uint32_t wfa_browse_watch_timeout(uint16_t count, const int32_t *indices, uint16_t request_id, int32_t duration)
{
    if (block().handle == nullptr) {
        return WFA_E_NOT_READY;
    }
    if (count != 0 && indices == nullptr) {
        return WFA_E_NULL;
    }
    if (block().browsing) {
        wfa_set_socket_provider(WFA_SOCKETS_BROWSE, nullptr);
        wfa_set_socket_processor(WFA_SOCKETS_BROWSE, nullptr);
        wfa_set_sockets_changed();
        wb_browse_stop(block().handle);
        block().browsing = 0;
    }
    wb_browse_config_init(&block().config);
    if (count != 0) {
        block().config.loopback = 1;
        block().config.network_count = 0;
        for (uint16_t i = 0; i < count && i < 2; i++) {
            block().config.interface_index[block().config.network_count++] = static_cast<uint32_t>(indices[i]);
        }
    }
    qnb_error e = wb_browse_start_config(block().handle, &block().config);
    if (e != QNB_ERR_SUCCESS) {
        return wfa_internal_from_library(e);
    }
    block().browsing = 1;
    block().request_id = request_id;
    block().next_deadline = qnb_timeval{0, 0};
    block().sockets_flag = 0;
    wfa_set_socket_provider(WFA_SOCKETS_BROWSE, wfa_browse_get_fdset);
    wfa_set_socket_processor(WFA_SOCKETS_BROWSE, wfa_browse_process_fdset);
    wfa_set_sockets_changed();

    finish_duration_task();
    if (duration < 0) {
        return 0;
    }
    TCB *task = tcb_create(wfa_browse_watch_timeout_run, duration_task_finished, TCB_KEY_BROWSE_DURATION,
                           TCB_KIND_WORKER, "wfa_browse_watch_timeout");
    if (task != nullptr) {
        qnb_timeval start = wfa_time_now();
        uint32_t stored = static_cast<uint32_t>(duration);
        std::memcpy(task->parameters + k_duration_at, &stored, sizeof stored);
        std::memcpy(task->parameters + k_start_sec_at, &start.tv_sec, sizeof start.tv_sec);
        std::memcpy(task->parameters + k_start_usec_at, &start.tv_usec, sizeof start.tv_usec);
        block().duration_task = task;
    }
    return 0;
}

int wfa_browse_watch_timeout_run(TCB *task)
{
    int32_t duration = 0;
    qnb_timeval start{};
    std::memcpy(&duration, task->parameters + k_duration_at, sizeof duration);
    std::memcpy(&start.tv_sec, task->parameters + k_start_sec_at, sizeof start.tv_sec);
    std::memcpy(&start.tv_usec, task->parameters + k_start_usec_at, sizeof start.tv_usec);
    qnb_timeval elapsed = wfa_time_sub(wfa_time_now(), start);
    if (static_cast<int64_t>(elapsed.tv_sec) < duration) {
        return 0;
    }
    uint8_t record[WFA_DEVICE_LIST_INFO_SIZE] = {};
    wfa_get_device_list_info(record);
    wfa_post_result(record, sizeof record, WFA_CBACK_INF_DEVICE_LIST, block().request_id, ERR_DURATION_EXPIRE);

    conmon().finish_queries();
    if (block().duration_task == task) {
        block().duration_task = nullptr;
    }
    tcb_finish(task);
    // Browsing goes on in the library; its sockets are no longer watched until the next command 1.
    drop_socket_hooks();
    return 0;
}

void wfa_browse_stop(void)
{
    if (block().handle == nullptr || !block().browsing) {
        return;
    }
    drop_socket_hooks();
    wb_browse_stop(block().handle);
    block().browsing = 0;
}

uint32_t wfa_browse_get_fdset(qnb_socket_set *set)
{
    if (set == nullptr) {
        return WFA_E_NULL;
    }
    if (block().handle == nullptr) {
        return WFA_E_NOT_READY;
    }
    qnb_error e = wb_browse_get_fdset(block().handle, set);
    return e == QNB_ERR_SUCCESS ? 0 : wfa_internal_from_library(e);
}

uint32_t wfa_browse_process_fdset(qnb_socket_set *set, int ready)
{
    if (set == nullptr) {
        return WFA_E_NULL;
    }
    if (block().handle == nullptr) {
        return 0;
    }
    if (ready <= 0) {
        const qnb_timeval &deadline = block().next_deadline;
        if ((deadline.tv_sec == 0 && deadline.tv_usec == 0) || !deadline_passed(deadline)) {
            return 0;
        }
    }
    wb_browse_process_fdset(block().handle, set, &block().next_deadline);
    if (block().sockets_flag) {
        block().sockets_flag = 0;
        wfa_set_socket_provider(WFA_SOCKETS_BROWSE, wfa_browse_get_fdset);
        wfa_set_sockets_changed();
    }
    return 0;
}

void wfa_browse_set_conmon_calls(const wfa_browse_conmon_calls *calls)
{
    wfa_state_get().browse_calls.store(calls);
}
