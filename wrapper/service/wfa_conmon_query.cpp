// The queries of the control-and-monitoring driver: each device found is asked for its versions,
// its interfaces and its manufacturer's versions, and reported once it has answered; a watch task
// restarts a query that takes too long and, after the last restart, queries the device again after
// a growing pause for as long as it is in the table. The watch also keeps every device subscribed,
// so that its status messages can be named after a new link to the local server.
#include "wrapper/service/wfa_conmon.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/platform/qnb_log.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon_private.h"
#include "wrapper/service/wfa_fw.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_time.h"

using namespace conmon_driver;

namespace {

enum : uint32_t { k_manf_capability = 0x1000 };
const uint32_t k_query_step_seconds = 2;
const uint32_t k_query_watch_seconds = 11;
const uint32_t k_query_restarts = 3;
// The pause before a device given up is queried again, doubling with each giving-up.
const uint32_t k_retry_first_seconds = 1;
const uint32_t k_retry_most_seconds = 30;
// The queries' steps together hold at most this many of the client's request slots: the rest are
// left to the questions of the devices already reported and to the program's commands, so that on
// a lossy link the properties of a device reported early do not wait behind the queries of the
// devices still being found. With their subscriptions the queries also leave the commands theirs
// (room_for_driver).
const unsigned k_query_requests = 16;
// A subscription of the watch's that the server has not answered with the device's record is
// asked for again after more than this many whole seconds.
const uint32_t k_subscribe_wait_seconds = 2;

struct query_data {
    wfa_device *device;
    uint32_t state;
    wfa_pending pending;
    qnb_timeval last;
    qnb_timeval start;
    uint16_t request_id;
    // The client took the subscription to the device: without it the device's answers do not
    // reach this client.
    bool subscribed;
};

void query_finished(TCB *task)
{
    task_ended(task, &data_of<query_data>(task)->pending, &g_block.queries);
}

void report_device(wfa_device *device)
{
    wfa_device_info info{};
    std::memcpy(info.name, device->name, sizeof info.name);
    std::memcpy(info.model_id, device->model_id, sizeof info.model_id);
    info.qnb_firm = {device->firmware.major, device->firmware.minor, device->firmware.bugfix, device->firmware.build};
    info.qnb_soft = {device->software.major, device->software.minor, device->software.bugfix, device->software.build};
    std::memcpy(info.manf_id, device->manf_id, sizeof info.manf_id);
    std::memcpy(info.manf_model_id, device->manf_model_id, sizeof info.manf_model_id);
    std::memcpy(info.model_name, device->model_name, sizeof info.model_name);
    info.manf_firm = {device->manf_firmware.major, device->manf_firmware.minor, device->manf_firmware.bugfix,
                      device->manf_firmware.build};
    info.manf_soft = {device->manf_software.major, device->manf_software.minor, device->manf_software.bugfix,
                      device->manf_software.build};
    wfa_fw_check_device(&info);
    uint8_t record[WFA_DEVICE_INFO_SIZE];
    wfa_device_info_write(info, record);
    wfa_post_result(record, sizeof record, WFA_CBACK_INF_DEVICE, 0, ERR_NOERR);
}

// False when there is no room for it: the caller asks again on a later pass.
bool subscribe_device(const wfa_device *device)
{
    if (!room_for_driver()) {
        return false;
    }
    qnb_error e = conmon_client_subscribe(g_block.client, on_request_done, nullptr, CONMON_CHANNEL_KEEPALIVE,
                                          device->name);
    note_send_error(e);
    return e != QNB_ERR_NOBUFS;
}

unsigned requests_held_by_queries()
{
    unsigned held = 0;
    for (TCB *task : g_block.queries) {
        held += slot_live(data_of<query_data>(task)->pending) ? 1 : 0;
    }
    return held;
}

// A step's answer did not come: its request goes, and the step is sent again together with the
// subscription to the device, which may have been lost on the way too.
void step_unanswered(query_data *d)
{
    slot_release(&d->pending);
    d->subscribed = false;
}

int query_run(TCB *task)
{
    query_data *d = data_of<query_data>(task);
    wfa_device *device = d->device;
    if (!link_up()) {
        // Nothing goes out while the link to the local server is being made, and the query's time
        // stands still: the step whose answer it waited for is sent again, with its subscription,
        // once the link is back, and has its full time from then on.
        if (d->state < 6 && d->state % 2 == 1) {
            d->state--;
        }
        slot_release(&d->pending);
        d->subscribed = false;
        d->start = d->last = wfa_time_now();
        return 2;
    }
    uint32_t elapsed = wfa_time_elapsed_seconds(d->last);
    uint32_t have = device->info | device->skip;
    switch (d->state) {
    case 0:
    case 2:
    case 4: {
        if (d->state == 4 && (have & k_info_manf)) {
            d->state = 6;
            return 0;
        }
        if (requests_held_by_queries() >= k_query_requests || !room_for_driver()) {
            return 2;
        }
        if (!d->subscribed) {
            if (!subscribe_device(device))
                return 2;
            d->subscribed = true;
            if (!room_for_driver())
                return 2;
        }
        static const uint32_t types[] = {CONMON_MSG_VERSIONS_QUERY, 0, CONMON_MSG_INTERFACE_CONTROL, 0,
                                         CONMON_MSG_MANF_VERSIONS_QUERY};
        // The last step has its answer (the device's status message): the server's word on its
        // request no longer matters, and its slot goes back before the next step takes one.
        slot_release(&d->pending);
        g_last_send_error = QNB_ERR_SUCCESS;
        if (wfa_conmon_send_type(device->name, types[d->state], &d->pending) != 0 && table_full(g_last_send_error))
            return 2;
        d->last = wfa_time_now();
        d->state++;
        return 0;
    }
    case 1:
        if (device->info & k_info_versions) {
            if (!(device->capabilities & k_manf_capability) || std::memcmp(device->model_id, "PvaWin", 6) == 0) {
                device->skip |= k_info_manf;
            }
            d->state = 2;
        } else if (elapsed > k_query_step_seconds) {
            step_unanswered(d);
            d->state = 0;
        }
        return 2;
    case 3:
    case 5: {
        uint32_t bit = d->state == 3 ? k_info_interface : k_info_manf;
        if (have & bit) {
            d->state++;
        } else if (elapsed > k_query_step_seconds) {
            step_unanswered(d);
            d->state--;
        }
        return 2;
    }
    case 6:
        if (device->retry_pause != 0) {
            wfa_log(QNB_LOG_INFO, "conmon: %s answers its queries again", device->name);
        }
        device->state = WFA_DEVICE_READY;
        device->restarts = 0;
        device->retry_pause = 0;
        report_device(device);
        return tcb_finish(task);
    default:
        return static_cast<int>(WFA_E_WRONG_STATE);
    }
}

void watch_finished(TCB *task)
{
    if (g_block.watch_task == task) {
        g_block.watch_task = nullptr;
    }
}

// A query that did not finish in time gives its device up once the first query and its three
// restarts have failed: the device is failed and unreported, yet it may only have lost datagrams on
// a lossy network, so it is queried again after a pause for as long as it is in the table: 1 s
// after the first giving-up, twice the last pause after each one that follows, 30 s at most. Each
// of these later tries is a single query, not four: one that does not finish gives the device up
// again at once, with the next pause, so that a device that stays silent costs one query per pause.
// A query that succeeds reports the device and forgets the pauses. The device's removal, the
// emptying of the table and the end of the queries (wfa_conmon_finish_queries) end the tries.
void give_up(wfa_device *device)
{
    if (device->retry_pause == 0) {
        wfa_log(QNB_LOG_WARNING, "conmon: %s does not answer its queries", device->name);
        device->retry_pause = k_retry_first_seconds;
    } else {
        device->retry_pause = std::min(device->retry_pause * 2, k_retry_most_seconds);
        wfa_log(QNB_LOG_DEBUG, "conmon: %s still does not answer, querying it again in %u s", device->name,
                device->retry_pause);
    }
    device->restarts = 0;
    device->state = WFA_DEVICE_FAILED;
    device->given_up = wfa_time_now();
    device->retry_waiting = true;
}

// Starts the next query of every device given up whose pause has passed.
void query_given_up()
{
    for (wfa_device *device = first_device(); device != nullptr; device = device->next) {
        if (!device->retry_waiting || wfa_time_elapsed_seconds(device->given_up) < device->retry_pause) {
            continue;
        }
        device->retry_waiting = false;
        if (wfa_conmon_query(device->name) != 0) {
            give_up(device);
        }
    }
}

// Subscribes every device of the table whose sender the client cannot name (a new link starts
// without any record) and that no query subscribes (a query does it with its steps; a failed
// device waits for its next query), in the room the commands leave, once per
// k_subscribe_wait_seconds until the server's answer brings the device's record.
void keep_subscribed()
{
    for (wfa_device *device = first_device(); device != nullptr; device = device->next) {
        if (device->named || device->state == WFA_DEVICE_QUERYING || device->state == WFA_DEVICE_FAILED ||
            wfa_time_elapsed_seconds(device->subscription_asked) <= k_subscribe_wait_seconds) {
            continue;
        }
        // A device that left the table and came back finds its record there still.
        if ((device->named = sender_known(device))) {
            continue;
        }
        if (!subscribe_device(device)) {
            return;
        }
        device->subscription_asked = wfa_time_now();
    }
}

int watch_run(TCB *)
{
    if (g_block.room_wanted > 0) {
        g_block.room_wanted--;
    }
    // While the link is being made the queries hold, and their time does not run out.
    if (!link_up()) {
        return 0;
    }
    std::vector<TCB *> copy = g_block.queries;
    for (TCB *task : copy) {
        if (tcb_is_finished(task)) {
            continue;
        }
        query_data *d = data_of<query_data>(task);
        if (wfa_time_elapsed_seconds(d->start) < k_query_watch_seconds) {
            continue;
        }
        wfa_device *device = d->device;
        tcb_finish(task);
        if (device->retry_pause == 0 && device->restarts < k_query_restarts) {
            device->restarts++;
            wfa_conmon_query(device->name);
        } else {
            give_up(device);
        }
    }
    query_given_up();
    keep_subscribed();
    return 0;
}

} // namespace

namespace conmon_driver {

void finish_queries_of(const wfa_device *device)
{
    std::vector<TCB *> copy = g_block.queries;
    for (TCB *task : copy) {
        if (device == nullptr || data_of<query_data>(task)->device == device) {
            tcb_finish(task);
        }
    }
}

void forget_names()
{
    for (wfa_device *device = first_device(); device != nullptr; device = device->next) {
        device->named = false;
        device->subscription_asked = qnb_timeval{0, 0};
    }
}

bool sender_known(const wfa_device *device)
{
    const conmon_remote_device_info *table = conmon_client_get_remote_devices(g_block.client, 1);
    for (unsigned i = 0; table != nullptr && i < CONMON_REMOTE_DEVICES; i++) {
        if ((table[i].flags & CONMON_REMOTE_HAS_DEVICE_ID) &&
            strncmp(table[i].name, device->name, sizeof table[i].name) == 0) {
            return true;
        }
    }
    return false;
}

TCB *start_watch_task()
{
    TCB *watch = tcb_create(watch_run, watch_finished, TCB_KEY_CONMON_WATCH, TCB_KIND_WORKER, "wfa_conmon_watch_device");
    if (watch != nullptr) {
        g_block.watch_task = watch;
    }
    return watch;
}

} // namespace conmon_driver

uint32_t wfa_conmon_query(const char *name)
{
    if (name == nullptr) {
        return WFA_E_NULL;
    }
    wfa_device *device = wfa_device_lookup(name);
    if (device == nullptr) {
        return WFA_E_NOT_FOUND;
    }
    // One query per device: a new one replaces the one that runs. The device's questions wait for
    // it and are asked anew once it is ready, whether it is reported again or not.
    finish_queries_of(device);
    renew_questions_of(device);
    TCB *task = tcb_create(query_run, query_finished, TCB_KEY_CONMON_QUERY, TCB_KIND_WORKER, "wfa_conmon_query");
    if (task == nullptr) {
        return WFA_E_NO_MEMORY;
    }
    query_data *d = data_of<query_data>(task);
    std::memset(d, 0, sizeof *d);
    d->device = device;
    d->start = wfa_time_now();
    request_list_add(&d->pending, 1);
    g_block.queries.push_back(task);
    device->retry_waiting = false; // a device given up waits no more
    device->info = 0;
    device->skip = 0;
    device->state = WFA_DEVICE_QUERYING;
    // A subscription without room, or while the link is being made, is asked for by the task.
    d->subscribed = link_up() && subscribe_device(device);
    return 0;
}

void wfa_conmon_finish_queries(void)
{
    finish_queries_of(nullptr);
    g_block.queries.clear();
    for (wfa_device *device = first_device(); device != nullptr; device = device->next) {
        device->retry_pause = 0;
        device->retry_waiting = false;
        // Nothing queries the device again, so it cannot become ready: its questions end.
        if (device->state == WFA_DEVICE_QUERYING || device->state == WFA_DEVICE_FAILED) {
            finish_questions_of(device);
        }
    }
}
