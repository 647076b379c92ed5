// The control-and-monitoring driver's client: its life, the request slots its tasks hold, sending
// to a device, and the processing of its socket. The start-up, the queries, the questions, the
// upgrade watch, the status handlers and the per-device commands have files of their own.
#include "wrapper/service/wfa_conmon.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/platform/qnb_log.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon_private.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_proc.h"
#include "wrapper/service/wfa_state.h"
#include "wrapper/service/wfa_time.h"

namespace conmon_driver {

wfa_conmon_block g_block;
qnb_error g_last_send_error = QNB_ERR_SUCCESS;

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
    // The holder of the slot as it is now: a task that kept a slot the link's reset freed, and
    // that another request took since, is no holder of its answer.
    for (slot_run &run : g_block.requests) {
        for (unsigned i = 0; i < run.count; i++) {
            if (run.slots[i].request == request && run.slots[i].generation == request->generation) {
                run.slots[i].request = nullptr;
                run.slots[i].generation = 0;
                run.slots[i].result = result;
                return;
            }
        }
    }
}

void forget_slots()
{
    for (slot_run &run : g_block.requests) {
        for (unsigned i = 0; i < run.count; i++) {
            run.slots[i] = wfa_pending{nullptr, 0, QNB_ERR_SUCCESS};
        }
    }
}

void note_send_error(qnb_error e)
{
    if (port_refused(e) && g_block.init_task == nullptr && g_block.client != nullptr &&
        conmon_client_get_local_state(g_block.client) == CONMON_LOCAL_CONNECTED) {
        g_block.relink = true;
    }
}

bool room_for_driver()
{
    const unsigned left = g_block.room_wanted > 0 ? k_command_requests : 0;
    return g_block.client != nullptr && conmon_client_requests_in_use(g_block.client) + left < k_max_requests;
}

bool link_up()
{
    return g_block.client != nullptr && g_block.ready && g_block.init_task == nullptr;
}

// Settings whose request ended without its callback (a reset of the link frees the slots), or all
// of them when the link is taken down, fail: no command waits for an answer that cannot come.
void settle_pmas(bool all)
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

void task_ended(TCB *task, wfa_pending *pending, std::vector<TCB *> *tasks)
{
    slot_release(pending);
    request_list_remove(pending);
    tasks->erase(std::remove(tasks->begin(), tasks->end(), task), tasks->end());
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

// ---- sending --------------------------------------------------------------------------------------

uint32_t send_body(const char *name, const uint8_t *vendor, const void *body, size_t length, wfa_pending *slot,
                   bool tracked)
{
    conmon_request *request = nullptr;
    qnb_error e = conmon_client_send_control_message(g_block.client, slot || tracked ? on_request_done : nullptr,
                                                     slot ? &request : nullptr, name, 0xFFFF, vendor, body, length,
                                                     nullptr);
    g_last_send_error = e;
    note_send_error(e);
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

uint32_t send_standard(const char *name, const conmon_vendor_body &body, size_t length, wfa_pending *slot,
                       bool tracked)
{
    return send_body(name, conmon_vendor_id_standard, body.data, length, slot, tracked);
}

uint32_t known_device(const char *name, wfa_device **out)
{
    if (name == nullptr) {
        return WFA_E_NULL;
    }
    if (g_block.client == nullptr) {
        return WFA_E_NOT_READY;
    }
    *out = wfa_device_lookup(name);
    return *out != nullptr ? 0 : WFA_E_NOT_FOUND;
}

uint32_t ready_device(const char *name, wfa_device **out)
{
    wfa_device *device = nullptr;
    uint32_t r = known_device(name, &device);
    if (r) {
        return r;
    }
    if (device->state != WFA_DEVICE_READY) {
        return WFA_E_WRONG_STATE;
    }
    *out = device;
    return 0;
}

// The client's request table is full (every slot waits for its answer): the request is tried again
// on the next pass, which the first answer to come brings at once. Many devices found together
// (a whole installation at the start of browsing) take more slots than the table has; waiting
// the 2 s of a lost answer for each of them would report them seconds apart.
bool table_full(qnb_error e)
{
    return e == QNB_ERR_NOBUFS;
}

void put_name(uint8_t *out, size_t size, const char *name)
{
    wfa_put_text(out, size, 0, WFA_NAME_FIELD, name);
}

} // namespace conmon_driver

using namespace conmon_driver;

namespace {

bool deadline_passed(const qnb_timeval &deadline)
{
    qnb_timeval now = wfa_time_now();
    if (now.tv_sec != deadline.tv_sec) {
        return deadline.tv_sec < now.tv_sec;
    }
    return deadline.tv_usec < now.tv_usec;
}

} // namespace

// ---- the driver -----------------------------------------------------------------------------------

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
    g_block.server_refused = false;
    g_block.startup_progress = 0;
    g_block.room_wanted = 0;
    g_block.pmas.clear();
    g_block.next_deadline = qnb_timeval{0, 0};
    return 0;
}

void wfa_conmon_delete(void)
{
    wfa_conmon_stop();
    wfa_conmon_finish_questions();
    conmon_client_delete(g_block.client);
    g_block.client = nullptr;
    g_block.queries.clear();
    g_block.questions.clear();
    g_block.requests.clear();
    g_block.next_deadline = qnb_timeval{0, 0};
}

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
    if (start_watch_task() == nullptr) {
        return WFA_E_NO_MEMORY;
    }
    return 0;
}

uint32_t wfa_conmon_restart(void)
{
    return wfa_conmon_start();
}

void wfa_conmon_stop(void)
{
    wfa_conmon_finish_queries();
    // The questions of the devices still in the table are asked again once a start-up is through.
    renew_questions_of(nullptr);
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
    g_block.server_refused = false;
    g_block.ready = false;
    g_block.velto_ready = false;
}

bool wfa_conmon_is_ready(void)
{
    return g_block.ready;
}

bool wfa_conmon_starting(void)
{
    return !g_block.ready && g_block.init_task != nullptr && g_block.client != nullptr && !g_block.server_refused;
}

uint32_t wfa_conmon_startup_progress(void)
{
    return g_block.startup_progress;
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
            // A send may have found the server gone.
            if (g_block.relink) {
                relink();
            }
            return 0;
        }
    }
    qnb_error e = conmon_client_process_sockets(g_block.client, ready > 0 ? set : nullptr, &g_block.next_deadline);
    // A connected link whose server has gone reports the port unreachable: the link is made again,
    // and a start-up under way takes it for a refused Connect.
    if (port_refused(e) && conmon_client_get_local_state(g_block.client) == CONMON_LOCAL_CONNECTED) {
        if (g_block.init_task == nullptr) {
            g_block.relink = true;
        } else {
            startup_refused();
        }
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

bool wfa_conmon_send_table_full(void)
{
    return table_full(g_last_send_error);
}

void wfa_conmon_want_room(void)
{
    // This pass and the next: the command asks again in the next one, after the driver's tasks.
    g_block.room_wanted = 2;
}

void wfa_conmon_set_port(uint16_t port)
{
    wfa_state_get().conmon_port = port;
}
