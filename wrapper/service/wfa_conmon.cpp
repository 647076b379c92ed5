#include "wrapper/service/wfa_conmon.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_name.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_fw.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_proc.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_state.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_time.h"

// A request slot as a task keeps it: the library slot and the generation it had when taken, so
// that a slot freed by a reset of the link (without its callback) and taken again by another
// request is never mistaken for ours.
struct wfa_pending {
    conmon_request *request;
    uint32_t generation;
    qnb_error result; // of the last request completed in this slot
};

struct wfa_device {
    wfa_device *prev;
    wfa_device *next;
    char name[QNB_NAME_SIZE];
    uint32_t serial;
    // VERSIONS_STATUS
    uint8_t model_id[8];
    conmon_version firmware;
    conmon_version software;
    uint32_t capabilities;
    uint16_t body_version;
    uint32_t versions_word_b;
    uint16_t versions_word_c;
    // MANF_VERSIONS_STATUS
    uint8_t manf_id[8];
    char manf_name[WFA_NAME_FIELD];
    uint8_t manf_model_id[8];
    char model_name[WFA_NAME_FIELD];
    conmon_version manf_firmware;
    conmon_version manf_software;
    uint32_t manf_word_a;
    uint32_t manf_word_b;
    // INTERFACE_STATUS
    uint16_t interface_flags;
    uint16_t interface_count;
    conmon_interface_info interfaces[2];
    uint32_t info;
    uint32_t skip;
    // One bit per question (1 << wfa_question): the status message that answers it has arrived
    // since the question was put.
    uint32_t answered;
    uint32_t state;
    uint32_t restarts;
    // A device given up after its fourth query in a row (see give_up): the pause before its next
    // query in seconds (0 while it has not been given up), when it was given up, and whether that
    // query still waits for the pause to pass.
    uint32_t retry_pause;
    qnb_timeval given_up;
    bool retry_waiting;
    uint16_t request_id;
    uint16_t reboot_request_id;
    uint8_t upgrade_record[WFA_UPGRADE_RECORD_SIZE];
    uint16_t upgrade_state;
    uint16_t upgrade_result;
    uint32_t upgrade_done;
    uint32_t upgrade_total;
};

namespace {

const uint32_t k_parameter = 1000000;
const uint8_t k_identify_vendor[8] = {'D', 'e', 'd', 'a', 'r', 'i', 'D', 0};
enum : uint32_t { k_info_versions = 0x1, k_info_interface = 0x2, k_info_manf = 0x4, k_info_all = 0x7 };
enum : uint32_t { k_manf_capability = 0x1000 };
enum { k_registrations = 6 };
const unsigned k_connect_pause_ms = 5000;
const unsigned k_register_pause_ms = 2000;
const uint32_t k_wait_seconds = 5;
const uint32_t k_query_step_seconds = 2;
const uint32_t k_query_watch_seconds = 11;
const uint32_t k_query_restarts = 3;
// The pause before a device given up is queried again, doubling with each giving-up.
const uint32_t k_retry_first_seconds = 1;
const uint32_t k_retry_most_seconds = 30;
const uint32_t k_upgrade_seconds = 10;
// A question unanswered for more than this many whole seconds is asked again.
const uint32_t k_question_answer_seconds = WFA_QUESTION_ANSWER_SECONDS;
const uint32_t k_question_tries = WFA_QUESTION_TRIES;
// The client's request table, and how many of its slots questions leave to everything else.
const unsigned k_max_requests = 24;
const unsigned k_question_reserved_requests = 8;

// A run of request slots that a task holds.
struct slot_run {
    wfa_pending *slots;
    unsigned count;
};

struct wfa_conmon_block {
    conmon_client *client;
    int connection_flag;
    bool ready;
    bool velto_ready;
    TCB *init_task;
    TCB *watch_task;
    // The server answered as if it did not know this link (it restarted), or is gone: the start-up
    // runs again once the socket has been processed.
    bool relink;
    // Preferred-master settings whose messages the server has still to answer.
    std::vector<std::pair<wfa_pending, wfa_pmas_answer>> pmas;
    std::vector<TCB *> queries;
    std::vector<TCB *> questions;
    std::vector<slot_run> requests;
    qnb_timeval next_deadline;
};

wfa_conmon_block g_block;
wfa_device *g_first = nullptr;
wfa_device *g_last = nullptr;
uint32_t g_last_serial = 0; // the number of the entry added last; only grows
bool g_identify_second = false;

// ---- task data ------------------------------------------------------------------------------------

struct init_data {
    uint32_t state;
    wfa_pending pending[k_registrations]; // [0]: the Connect, the Subscribe
    qnb_timeval start;
    uint32_t connect_started;
    bool registered[k_registrations]; // confirmed by the server on this link
};

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

// A question put to a device (task "wfa_conmon_question"): asked until the device's status message
// answers it, at most k_question_tries times.
struct question_data {
    wfa_device *device;
    uint32_t question;
    wfa_pending pending;
    qnb_timeval last; // when it was last asked
    uint32_t tries;   // times asked
    bool waiting;     // asked, the answer not in yet
    uint32_t sent;    // the result of the last asking's send
};

// The library's answer to the last send of send_body (worker thread only).
qnb_error g_last_send_error = QNB_ERR_SUCCESS;

struct upgrade_data {
    char name[QNB_NAME_SIZE];
    qnb_timeval start;
};

template <class T> T *data_of(TCB *task)
{
    static_assert(sizeof(T) <= TCB_PARAMETER_SIZE, "task data fits the parameters");
    static_assert(offsetof(TCB, parameters) % alignof(T) == 0, "task data is aligned");
    return reinterpret_cast<T *>(task->parameters);
}

// ---- request slots --------------------------------------------------------------------------------

bool slot_live(const wfa_pending &p)
{
    return p.request != nullptr && p.request->in_use && p.request->generation == p.generation;
}

void slot_keep(wfa_pending *p, conmon_request *request)
{
    p->request = request;
    p->generation = request ? request->generation : 0;
    p->result = QNB_ERR_SUCCESS;
}

bool any_failed(const wfa_pending *slots, unsigned count)
{
    for (unsigned i = 0; i < count; i++) {
        if (slots[i].result != QNB_ERR_SUCCESS) {
            return true;
        }
    }
    return false;
}

void slot_release(wfa_pending *p)
{
    if (g_block.client != nullptr && slot_live(*p)) {
        conmon_client_release_request(g_block.client, p->request);
    }
    p->request = nullptr;
    p->generation = 0;
    p->result = QNB_ERR_SUCCESS;
}

bool any_pending(const wfa_pending *slots, unsigned count)
{
    for (unsigned i = 0; i < count; i++) {
        if (slot_live(slots[i])) {
            return true;
        }
    }
    return false;
}

void request_list_add(wfa_pending *slots, unsigned count)
{
    g_block.requests.push_back(slot_run{slots, count});
}

void request_list_remove(wfa_pending *slots)
{
    for (size_t i = 0; i < g_block.requests.size(); i++) {
        if (g_block.requests[i].slots == slots) {
            g_block.requests.erase(g_block.requests.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

void on_request_done(conmon_client *, conmon_request *request, qnb_error result)
{
    // "Invalid State": the server has no link from this client, whatever the client believes.
    if (result == QNB_ERR_INVALIDSTATE && g_block.init_task == nullptr) {
        g_block.relink = true;
    }
    for (size_t i = 0; i < g_block.pmas.size(); i++) {
        if (g_block.pmas[i].first.request == request && slot_live(g_block.pmas[i].first)) {
            wfa_pmas_answer answer = g_block.pmas[i].second;
            g_block.pmas.erase(g_block.pmas.begin() + static_cast<std::ptrdiff_t>(i));
            uint32_t code = result == QNB_ERR_SUCCESS ? 0 : wfa_internal_from_library(result);
            wfa_post_result(answer.record, answer.size, WFA_CBACK_INF_SET_PMAS, answer.request_id,
                            wfa_proc_status(18, code));
            return;
        }
    }
    for (slot_run &run : g_block.requests) {
        for (unsigned i = 0; i < run.count; i++) {
            if (run.slots[i].request == request) {
                run.slots[i].request = nullptr;
                run.slots[i].generation = 0;
                run.slots[i].result = result;
                return;
            }
        }
    }
}

// Settings whose request ended without its callback (a reset of the link frees the slots), or all
// of them when the link is taken down, fail: no command waits for an answer that cannot come.
void settle_pmas(bool all = false)
{
    for (size_t i = 0; i < g_block.pmas.size();) {
        if (!all && slot_live(g_block.pmas[i].first)) {
            i++;
            continue;
        }
        wfa_pmas_answer answer = g_block.pmas[i].second;
        g_block.pmas.erase(g_block.pmas.begin() + static_cast<std::ptrdiff_t>(i));
        wfa_post_result(answer.record, answer.size, WFA_CBACK_INF_SET_PMAS, answer.request_id,
                        wfa_proc_status(18, WFA_E_SEND_FAILED));
    }
}

// ---- socket hooks ---------------------------------------------------------------------------------

void register_hooks()
{
    wfa_set_socket_provider(WFA_SOCKETS_CONMON, wfa_conmon_get_fdset);
    wfa_set_socket_processor(WFA_SOCKETS_CONMON, wfa_conmon_process_fdset);
    wfa_set_sockets_changed();
}

void drop_hooks()
{
    wfa_set_socket_provider(WFA_SOCKETS_CONMON, nullptr);
    wfa_set_socket_processor(WFA_SOCKETS_CONMON, nullptr);
    wfa_set_sockets_changed();
}

bool deadline_passed(const qnb_timeval &deadline)
{
    qnb_timeval now = wfa_time_now();
    if (now.tv_sec != deadline.tv_sec) {
        return deadline.tv_sec < now.tv_sec;
    }
    return deadline.tv_usec < now.tv_usec;
}

// ---- sending --------------------------------------------------------------------------------------

uint32_t send_body(const char *name, const uint8_t *vendor, const void *body, size_t length, wfa_pending *slot)
{
    conmon_request *request = nullptr;
    qnb_error e = conmon_client_send_control_message(g_block.client, on_request_done, slot ? &request : nullptr,
                                                     name, 0xFFFF, vendor, body, length, nullptr);
    g_last_send_error = e;
    if (e != QNB_ERR_SUCCESS) {
        // A full request table is no failure yet: the callers send again once there is room.
        if (e != QNB_ERR_NOBUFS)
            wfa_log(QNB_LOG_WARNING, "conmon: sending to %s failed: %d", name, e);
        return WFA_E_SEND_FAILED;
    }
    if (slot != nullptr) {
        slot_keep(slot, request);
    }
    return 0;
}

uint32_t send_standard(const char *name, const conmon_vendor_body &body, size_t length, wfa_pending *slot = nullptr)
{
    return send_body(name, conmon_vendor_id_standard, body.data, length, slot);
}

// The device by name, which must be in state `ready` when asked.
uint32_t ready_device(const char *name, wfa_device **out)
{
    if (name == nullptr) {
        return WFA_E_NULL;
    }
    if (g_block.client == nullptr) {
        return WFA_E_NOT_READY;
    }
    wfa_device *device = wfa_device_lookup(name);
    if (device == nullptr) {
        return WFA_E_NOT_FOUND;
    }
    if (device->state != WFA_DEVICE_READY) {
        return WFA_E_WRONG_STATE;
    }
    *out = device;
    return 0;
}

// ---- the start-up task ----------------------------------------------------------------------------

void init_finished(TCB *task)
{
    init_data *d = data_of<init_data>(task);
    for (wfa_pending &p : d->pending) {
        slot_release(&p);
    }
    request_list_remove(d->pending);
    if (g_block.init_task == task) {
        g_block.init_task = nullptr;
    }
}

void message_handler_control(conmon_client *, uint16_t, uint16_t, const conmon_channel_message *)
{
    // Control messages from the devices carry nothing this layer acts on.
}

void status_handler(conmon_client *client, uint16_t channel_type, uint16_t class_,
                    const conmon_channel_message *message);
void monitoring_handler(conmon_client *client, uint16_t channel_type, uint16_t class_,
                        const conmon_channel_message *message);

// Sends the registrations the server has not confirmed yet: after a lost request or answer only
// those go again, so that a lossy link gets through in a few rounds instead of needing all six
// answered in one.
bool init_register(init_data *d)
{
    conmon_request *request = nullptr;
    for (wfa_pending &p : d->pending) {
        slot_release(&p);
    }
    if (!d->registered[0]) {
        if (conmon_client_register_control_messages(g_block.client, on_request_done, &request,
                                                    message_handler_control) != QNB_ERR_SUCCESS) {
            return false;
        }
        slot_keep(&d->pending[0], request);
    }
    const uint16_t monitoring[k_registrations - 1][2] = {{2, 0}, {2, 1}, {3, 0}, {3, 1}, {4, 0}};
    for (unsigned i = 0; i < k_registrations - 1; i++) {
        if (d->registered[i + 1]) {
            continue;
        }
        conmon_message_handler_fn handler = monitoring[i][0] == 4 ? monitoring_handler : status_handler;
        if (conmon_client_register_monitoring_messages(g_block.client, on_request_done, &request, monitoring[i][0],
                                                       monitoring[i][1], handler) != QNB_ERR_SUCCESS) {
            for (wfa_pending &p : d->pending) {
                slot_release(&p);
            }
            return false;
        }
        slot_keep(&d->pending[i + 1], request);
    }
    return true;
}

int init_run(TCB *task)
{
    init_data *d = data_of<init_data>(task);
    conmon_client *client = g_block.client;
    if (client == nullptr) {
        return 0;
    }
    settle_pmas();
    uint32_t elapsed = wfa_time_elapsed_seconds(d->start);
    switch (d->state) {
    case 0:
        if (!d->connect_started) {
            conmon_request *request = nullptr;
            if (conmon_client_connect(client, wfa_conmon_on_disconnect, &request) != QNB_ERR_SUCCESS) {
                wfa_log(QNB_LOG_NOTICE, "conmon: no local server, trying again");
                wfa_pause(k_connect_pause_ms);
                return 0;
            }
            slot_keep(&d->pending[0], request);
            d->start = wfa_time_now();
            d->connect_started = 1;
            std::memset(d->registered, 0, sizeof d->registered); // a new link registers everything
            register_hooks();
        }
        d->state = 1;
        return 0;
    case 1:
        if (!d->connect_started) {
            // The link failed (and the worker has paused): connect again at once.
            d->state = 0;
        } else if (!slot_live(d->pending[0]) && conmon_client_get_local_state(client) == CONMON_LOCAL_CONNECTED) {
            d->connect_started = 0;
            d->state = 2;
        } else if (elapsed > k_wait_seconds) {
            slot_release(&d->pending[0]);
            conmon_client_disconnect(client);
            drop_hooks();
            d->connect_started = 0;
            d->state = 0;
        }
        return 0;
    case 2:
        if (!init_register(d)) {
            wfa_log(QNB_LOG_WARNING, "conmon: registration failed, trying again");
            wfa_pause(k_register_pause_ms);
            return 0;
        }
        d->start = wfa_time_now();
        d->state = 3;
        return 0;
    case 3:
        // A refused or timed-out registration waits for the fall-back like an unanswered one.
        if (!any_pending(d->pending, k_registrations) && !any_failed(d->pending, k_registrations)) {
            d->state = 4;
        } else if (elapsed > k_wait_seconds) {
            for (unsigned i = 0; i < k_registrations; i++) {
                d->registered[i] =
                    d->registered[i] || (!slot_live(d->pending[i]) && d->pending[i].result == QNB_ERR_SUCCESS);
            }
            for (wfa_pending &p : d->pending) {
                slot_release(&p);
            }
            d->state = 2;
        }
        return 0;
    case 4: {
        conmon_request *request = nullptr;
        if (conmon_client_subscribe_global(client, on_request_done, &request, CONMON_CHANNEL_STATUS) !=
            QNB_ERR_SUCCESS) {
            return 0;
        }
        slot_keep(&d->pending[0], request);
        d->start = wfa_time_now();
        d->state = 5;
        return 0;
    }
    case 5:
        if (!slot_live(d->pending[0]) && conmon_client_get_subscription_flag(client, CONMON_CHANNEL_STATUS) == 1) {
            d->state = 6;
        } else if (elapsed > k_wait_seconds) {
            slot_release(&d->pending[0]);
            std::memset(d->registered, 0, sizeof d->registered);
            d->state = 2;
        }
        return 0;
    case 6:
        g_block.ready = true;
        wfa_log(QNB_LOG_INFO, "conmon: ready");
        return tcb_finish(task);
    default:
        return static_cast<int>(WFA_E_BAD_ARGUMENT);
    }
}

// ---- device queries -------------------------------------------------------------------------------

// A task that held a request slot has ended: the slot is given back and the task leaves `tasks`.
void task_ended(TCB *task, wfa_pending *pending, std::vector<TCB *> *tasks)
{
    slot_release(pending);
    request_list_remove(pending);
    tasks->erase(std::remove(tasks->begin(), tasks->end(), task), tasks->end());
}

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

// The client's request table is full (every slot waits for its answer): the request is tried again
// on the next pass, which the first answer to come brings at once. Many devices found together
// (a whole installation at the start of browsing) take more slots than the table has; waiting
// the 2 s of a lost answer for each of them would report them seconds apart.
bool table_full(qnb_error e)
{
    return e == QNB_ERR_NOBUFS;
}

bool subscribe_device(const wfa_device *device)
{
    return conmon_client_subscribe(g_block.client, on_request_done, nullptr, CONMON_CHANNEL_KEEPALIVE,
                                   device->name) != QNB_ERR_NOBUFS;
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
        if (!d->subscribed && g_block.client != nullptr) {
            if (!subscribe_device(device))
                return 2;
            d->subscribed = true;
        }
        static const uint32_t types[] = {CONMON_MSG_VERSIONS_QUERY, 0, CONMON_MSG_INTERFACE_CONTROL, 0,
                                         CONMON_MSG_MANF_VERSIONS_QUERY};
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

void finish_queries_of(const wfa_device *device)
{
    std::vector<TCB *> copy = g_block.queries;
    for (TCB *task : copy) {
        if (device == nullptr || data_of<query_data>(task)->device == device) {
            tcb_finish(task);
        }
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
    for (wfa_device *device = g_first; device != nullptr; device = device->next) {
        if (!device->retry_waiting || wfa_time_elapsed_seconds(device->given_up) < device->retry_pause) {
            continue;
        }
        device->retry_waiting = false;
        if (wfa_conmon_query(device->name) != 0) {
            give_up(device);
        }
    }
}

int watch_run(TCB *)
{
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
    return 0;
}

// ---- questions ------------------------------------------------------------------------------------

const char *const k_question_names[WFA_QUESTIONS] = {"sample rate", "preferred master", "lock state", "AES67 state"};

void question_finished(TCB *task)
{
    task_ended(task, &data_of<question_data>(task)->pending, &g_block.questions);
}

// The question's control message: the sample-rate control without a rate, the clocking control
// without the preferred-master flag, the lock query, the AES67 query.
uint32_t send_question(const wfa_device *device, uint32_t question, wfa_pending *slot)
{
    conmon_vendor_body body;
    switch (question) {
    case WFA_QUESTION_SAMPLE_RATE:
        conmon_msg_init_srate_control(&body, k_parameter);
        return send_standard(device->name, body, CONMON_MSG_SRATE_CONTROL_SIZE, slot);
    case WFA_QUESTION_PREFERRED_MASTER:
        conmon_msg_init_clocking_control(&body, k_parameter);
        return send_standard(device->name, body, CONMON_MSG_CLOCKING_CONTROL_SIZE, slot);
    case WFA_QUESTION_LOCK:
        return wfa_conmon_send_type(device->name, CONMON_MSG_LOCK_QUERY, slot);
    case WFA_QUESTION_AES67:
        conmon_msg_init_aes67_query(&body, k_parameter);
        return send_standard(device->name, body, CONMON_MSG_AES67_QUERY_SIZE, slot);
    default:
        return WFA_E_BAD_ARGUMENT;
    }
}

// Why the last asking of a question came to nothing, for the line of its last failure.
const char *question_failure(const question_data *d)
{
    if (d->sent != 0) {
        return "the message could not be sent";
    }
    if (slot_live(d->pending) || d->pending.result == QNB_ERR_TIMEDOUT) {
        return "the local server did not answer the message";
    }
    if (d->pending.result != QNB_ERR_SUCCESS) {
        return "the local server refused the message";
    }
    return "the device's status message did not come";
}

// One pass of a question. The device's status message ends it, whether it answers this asking or
// came of its own accord. Unanswered after k_question_answer_seconds, the question is asked again,
// k_question_tries times in all; then its failure is logged and it ends. A question refused by a
// full request table, or put while the link to the local server is being made again or while the
// device is not ready, waits without counting a try for as long as its device is in the table.
int question_run(TCB *task)
{
    question_data *d = data_of<question_data>(task);
    wfa_device *device = d->device;
    if (device->answered & (1u << d->question)) {
        return tcb_finish(task);
    }
    if (d->waiting) {
        if (wfa_time_elapsed_seconds(d->last) <= k_question_answer_seconds) {
            return 2;
        }
        if (d->tries >= k_question_tries) {
            wfa_log(QNB_LOG_WARNING, "conmon: %s: the %s question went unanswered, asked %u times (%s)", device->name,
                    k_question_names[d->question], d->tries, question_failure(d));
            return tcb_finish(task);
        }
        // Asked again from the next pass on: the slot given up goes first to a question that
        // waits for room.
        slot_release(&d->pending);
        d->waiting = false;
        return 2;
    }
    if (g_block.client == nullptr || g_block.init_task != nullptr || device->state != WFA_DEVICE_READY) {
        return 2;
    }
    // The last slots of the request table are left to the queries of devices still being found and
    // to the program's commands: on a lossy link unanswered questions would otherwise keep the table
    // full, and a device whose query cannot send in time is given up as failed.
    if (conmon_client_requests_in_use(g_block.client) + k_question_reserved_requests >= k_max_requests) {
        return 2;
    }
    g_last_send_error = QNB_ERR_SUCCESS;
    uint32_t r = send_question(device, d->question, &d->pending);
    if (r != 0 && table_full(g_last_send_error)) {
        return 2; // asked again on the next pass: an answer or a time-out frees a slot
    }
    // A send that failed otherwise counts as an asking whose answer cannot come.
    d->sent = r;
    d->tries++;
    d->last = wfa_time_now();
    d->waiting = true;
    return 2;
}

// Ends the questions of a device (all of them for null), or only its question `question`.
void finish_questions_of(const wfa_device *device, uint32_t question = WFA_QUESTIONS)
{
    std::vector<TCB *> copy = g_block.questions;
    for (TCB *task : copy) {
        const question_data *d = data_of<question_data>(task);
        if ((device == nullptr || d->device == device) && (question == WFA_QUESTIONS || d->question == question)) {
            tcb_finish(task);
        }
    }
}

// The status message of `type` from `device` answers its question of that kind.
void note_answer(wfa_device *device, uint16_t type)
{
    switch (type) {
    case CONMON_MSG_SRATE_STATUS:
        device->answered |= 1u << WFA_QUESTION_SAMPLE_RATE;
        break;
    case CONMON_MSG_CLOCKING_STATUS:
        device->answered |= 1u << WFA_QUESTION_PREFERRED_MASTER;
        break;
    case CONMON_MSG_LOCK_STATUS:
        device->answered |= 1u << WFA_QUESTION_LOCK;
        break;
    case CONMON_MSG_AES67_STATUS:
        device->answered |= 1u << WFA_QUESTION_AES67;
        break;
    default:
        break;
    }
}

// ---- the upgrade watch ----------------------------------------------------------------------------

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

// ---- the handlers ---------------------------------------------------------------------------------

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

void put_name(uint8_t *out, size_t size, const char *name)
{
    wfa_put_text(out, size, 0, WFA_NAME_FIELD, name);
}

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
        wfa_post_result(out, sizeof out, WFA_CBACK_INF_GET_PMAS, device->request_id, ERR_NOERR);
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
        wfa_post_result(out, sizeof out, WFA_CBACK_INF_GET_FS, device->request_id, ERR_NOERR);
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

void unlink_device(wfa_device *device)
{
    (device->prev ? device->prev->next : g_first) = device->next;
    (device->next ? device->next->prev : g_last) = device->prev;
}

} // namespace

// ---- the driver -----------------------------------------------------------------------------------

void wfa_conmon_on_disconnect(conmon_client *client, conmon_request *request, qnb_error lost)
{
    if (g_block.init_task != nullptr) {
        init_data *d = data_of<init_data>(g_block.init_task);
        if (d->pending[0].request == request) {
            d->pending[0] = wfa_pending{nullptr, 0, lost};
        }
    }
    if (lost != QNB_ERR_SUCCESS) {
        wfa_log(QNB_LOG_WARNING, "conmon: link to the local server lost (%d)", lost);
        conmon_client_disconnect(client);
        drop_hooks();
        if (g_block.init_task != nullptr) {
            // The start-up begins again with a new link, whatever state it had reached.
            init_data *d = data_of<init_data>(g_block.init_task);
            for (wfa_pending &p : d->pending) {
                slot_release(&p);
            }
            d->connect_started = 0;
            d->state = 0;
        }
        wfa_pause(k_connect_pause_ms);
    }
}

uint32_t wfa_conmon_create(void)
{
    qnb_env *env = wfa_env();
    if (env == nullptr) {
        return WFA_E_NULL;
    }
    conmon_client_config config;
    conmon_client_config_init(&config, "wfa_conmon_client");
    uint16_t port = wfa_state_get().conmon_port.load();
    qnb_sockaddr_from_text(&config.server, AF_INET, "127.0.0.1", port != 0 ? port : static_cast<uint16_t>(CONMON_LOCAL_DEFAULT_PORT));
    qnb_error e = conmon_client_new_with_config(env, &config, &g_block.client);
    if (e != QNB_ERR_SUCCESS) {
        g_block.client = nullptr;
        return wfa_internal_from_library(e);
    }
    conmon_client_set_context(g_block.client, &g_block);
    conmon_client_set_connection_callback(g_block.client, on_connection);
    conmon_client_set_subscriptions_callback(g_block.client, on_subscriptions);
    conmon_client_set_max_requests(g_block.client, k_max_requests);
    g_block.queries.clear();
    g_block.questions.clear();
    g_block.requests.clear();
    g_block.ready = false;
    g_block.velto_ready = false;
    g_block.connection_flag = 0;
    g_block.relink = false;
    g_block.pmas.clear();
    g_block.next_deadline = qnb_timeval{0, 0};
    return 0;
}

void wfa_conmon_delete(void)
{
    wfa_conmon_stop();
    conmon_client_delete(g_block.client);
    g_block.client = nullptr;
    g_block.queries.clear();
    g_block.questions.clear();
    g_block.requests.clear();
    g_block.next_deadline = qnb_timeval{0, 0};
}

namespace {

TCB *start_init_task()
{
    TCB *init = tcb_create(init_run, init_finished, TCB_KEY_CONMON_INIT, TCB_KIND_WORKER, "wfa_conmon_init");
    if (init == nullptr) {
        return nullptr;
    }
    init_data *d = data_of<init_data>(init);
    std::memset(d, 0, sizeof *d);
    request_list_add(d->pending, k_registrations);
    g_block.init_task = init;
    return init;
}

// A link the server no longer knows (it restarted, or went away) is connected again from the
// start, registrations and subscription included. The device table and the queries under way stay:
// their requests are asked again once the link is back.
void relink()
{
    g_block.relink = false;
    if (g_block.client == nullptr || g_block.init_task != nullptr) {
        return;
    }
    wfa_log(QNB_LOG_WARNING, "conmon: the local server does not know this link any more, connecting again");
    if (conmon_client_get_local_state(g_block.client) != CONMON_LOCAL_NO_CONNECTION) {
        conmon_client_disconnect(g_block.client);
    }
    drop_hooks();
    settle_pmas(true);
    if (start_init_task() == nullptr) {
        wfa_log(QNB_LOG_ERROR, "conmon: no memory for the start-up");
    }
}

} // namespace

uint32_t wfa_conmon_start(void)
{
    if (g_block.client == nullptr) {
        return WFA_E_NOT_READY;
    }
    wfa_conmon_stop();
    if (start_init_task() == nullptr) {
        return WFA_E_NO_MEMORY;
    }
    g_block.ready = false;
    TCB *watch = tcb_create(watch_run, watch_finished, TCB_KEY_CONMON_WATCH, TCB_KIND_WORKER, "wfa_conmon_watch_device");
    if (watch == nullptr) {
        return WFA_E_NO_MEMORY;
    }
    g_block.watch_task = watch;
    return 0;
}

uint32_t wfa_conmon_restart(void)
{
    return wfa_conmon_start();
}

void wfa_conmon_stop(void)
{
    wfa_conmon_finish_queries();
    wfa_conmon_finish_questions();
    if (g_block.init_task != nullptr) {
        tcb_finish(g_block.init_task);
    }
    if (g_block.watch_task != nullptr) {
        tcb_finish(g_block.watch_task);
    }
    g_block.init_task = nullptr;
    g_block.watch_task = nullptr;
    if (g_block.client != nullptr) {
        if (conmon_client_get_subscription_flag(g_block.client, CONMON_CHANNEL_STATUS) == 1) {
            conmon_client_unsubscribe_global(g_block.client, nullptr, nullptr, CONMON_CHANNEL_STATUS);
        }
        if (conmon_client_get_local_state(g_block.client) != CONMON_LOCAL_NO_CONNECTION) {
            conmon_client_disconnect(g_block.client);
        }
    }
    drop_hooks();
    settle_pmas(true);
    g_block.connection_flag = 0;
    g_block.relink = false;
    g_block.ready = false;
}

bool wfa_conmon_is_ready(void)
{
    return g_block.ready;
}

bool wfa_conmon_starting(void)
{
    return !g_block.ready && g_block.init_task != nullptr && g_block.client != nullptr &&
           conmon_client_get_local_state(g_block.client) == CONMON_LOCAL_CONNECTED;
}

uint32_t wfa_conmon_get_fdset(qnb_socket_set *set)
{
    if (set == nullptr) {
        return WFA_E_NULL;
    }
    if (g_block.client == nullptr) {
        return WFA_E_NOT_READY;
    }
    qnb_error e = conmon_client_get_sockets(g_block.client, set);
    return e == QNB_ERR_SUCCESS ? 0 : wfa_internal_from_library(e);
}

uint32_t wfa_conmon_process_fdset(qnb_socket_set *set, int ready)
{
    if (set == nullptr) {
        return WFA_E_NULL;
    }
    if (g_block.client == nullptr) {
        return WFA_E_NOT_READY;
    }
    settle_pmas();
    if (ready <= 0) {
        const qnb_timeval &deadline = g_block.next_deadline;
        if ((deadline.tv_sec == 0 && deadline.tv_usec == 0) || !deadline_passed(deadline)) {
            return 0;
        }
    }
    qnb_error e = conmon_client_process_sockets(g_block.client, ready > 0 ? set : nullptr, &g_block.next_deadline);
    // A connected link whose server has gone reports the port unreachable.
    if ((e == QNB_ERR_CONNREFUSED || e == QNB_ERR_CONNRESET) && g_block.init_task == nullptr &&
        conmon_client_get_local_state(g_block.client) == CONMON_LOCAL_CONNECTED) {
        g_block.relink = true;
    }
    if (g_block.connection_flag) {
        g_block.connection_flag = 0;
        if (g_block.client != nullptr && conmon_client_get_local_state(g_block.client) != CONMON_LOCAL_NO_CONNECTION) {
            register_hooks();
        }
    }
    if (g_block.relink) {
        relink();
    }
    return 0;
}

bool wfa_conmon_server_device_id(uint8_t id[8], uint16_t *process)
{
    if (g_block.client == nullptr || id == nullptr || process == nullptr) {
        return false;
    }
    const conmon_source_id *source = conmon_client_get_server_device_id(g_block.client);
    if (source == nullptr) {
        return false;
    }
    std::memcpy(id, source->device_id, 8);
    *process = source->process;
    return true;
}

uint32_t wfa_conmon_server_interfaces(uint16_t *count, int32_t indices[2])
{
    if (count == nullptr || indices == nullptr) {
        return WFA_E_NULL;
    }
    *count = 0;
    if (g_block.client == nullptr || !g_block.ready) {
        return WFA_E_NOT_READY;
    }
    const conmon_networks *networks = conmon_client_get_server_instance_info(g_block.client);
    if (networks == nullptr) {
        return WFA_E_NOT_READY;
    }
    for (unsigned i = 0; i < networks->count && *count < 2; i++) {
        indices[(*count)++] = static_cast<int32_t>(networks->entries[i].interface_index);
    }
    return 0;
}

// ---- per-device commands --------------------------------------------------------------------------

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

bool wfa_conmon_send_table_full(void)
{
    return table_full(g_last_send_error);
}

// ---- device queries -------------------------------------------------------------------------------

uint32_t wfa_conmon_query(const char *name)
{
    if (name == nullptr) {
        return WFA_E_NULL;
    }
    wfa_device *device = wfa_device_lookup(name);
    if (device == nullptr) {
        return WFA_E_NOT_FOUND;
    }
    // One query per device: a new one replaces the one that runs. The device's questions end too:
    // it is reported again once the query is done, and asked again then.
    finish_queries_of(device);
    finish_questions_of(device);
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
    // A subscription the full request table refuses is asked for again by the task.
    d->subscribed = g_block.client != nullptr && subscribe_device(device);
    return 0;
}

void wfa_conmon_finish_queries(void)
{
    finish_queries_of(nullptr);
    g_block.queries.clear();
    for (wfa_device *device = g_first; device != nullptr; device = device->next) {
        device->retry_pause = 0;
        device->retry_waiting = false;
    }
}

// ---- questions ------------------------------------------------------------------------------------

uint32_t wfa_conmon_ask(const char *name, uint32_t question, uint16_t request_id)
{
    if (question >= WFA_QUESTIONS) {
        return WFA_E_BAD_ARGUMENT;
    }
    wfa_device *device = nullptr;
    uint32_t r = ready_device(name, &device);
    if (r) {
        return r;
    }
    if (question == WFA_QUESTION_SAMPLE_RATE) {
        device->request_id = request_id; // the sample-rate result carries it
    }
    // One question of a kind per device: a new one takes the place of the one that runs.
    finish_questions_of(device, question);
    TCB *task = tcb_create(question_run, question_finished, TCB_KEY_CONMON_QUESTION, TCB_KIND_WORKER,
                           "wfa_conmon_question");
    if (task == nullptr) {
        return WFA_E_NO_MEMORY;
    }
    question_data *d = data_of<question_data>(task);
    std::memset(d, 0, sizeof *d);
    d->device = device;
    d->question = question;
    request_list_add(&d->pending, 1);
    g_block.questions.push_back(task);
    device->answered &= ~(1u << question);
    // Asked at once, in the pass of the command that put it.
    question_run(task);
    return 0;
}

void wfa_conmon_finish_questions(void)
{
    finish_questions_of(nullptr);
    g_block.questions.clear();
}

size_t wfa_conmon_question_count(void)
{
    return g_block.questions.size();
}

// ---- the device table -----------------------------------------------------------------------------

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

namespace {

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

void wfa_conmon_set_port(uint16_t port)
{
    wfa_state_get().conmon_port = port;
}
