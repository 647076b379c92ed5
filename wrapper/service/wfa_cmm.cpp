#include "wrapper/service/wfa_cmm.h"

#include <cstring>

#include "netaudio/conmon/cmm_client.h"
#include "netaudio/platform/qnb_log.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_state.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_time.h"

namespace {

// Seconds the start-up waits for the link, and for a change it asked for, before it tries again;
// a wait of more than this ends in the next whole second.
const uint32_t k_link_wait_seconds = 5;
// Seconds a set-interface command with a request id waits for the service's confirmation.
const uint32_t k_confirm_wait_seconds = 5;

enum init_phase { PHASE_CONNECT = 0, PHASE_READ = 1, PHASE_CONFIRM = 2 };

struct wfa_cmm_block {
    cmm_client *client;
    uint32_t ready;    // the current interface is known
    uint32_t locked;   // another process holds the service's lock
    uint32_t changing; // the service is walking a change through
    uint16_t status;   // of the last state block
    wfa_interface_record current;

    // The change asked for by the last set-interface command (request id 0: none pending).
    uint16_t request_id;
    wfa_interface_record wanted;
    qnb_timeval wanted_since;

    // The interface list of the last listing, handed out by pointer.
    wfa_interface_record list[CMM_MAX_INTERFACES];
    uint8_t list_count;

    qnb_timeval next_deadline; // of the client, 0:0 for none
    bool socket_registered;

    // The start-up task and its progress.
    TCB *init_task;
    bool reconnecting; // the start-up runs again after the link was lost
    init_phase phase;
    bool connect_started;
    qnb_timeval phase_since;

    TCB *watch_task;
};

wfa_cmm_block g_block;

bool deadline_passed(const qnb_timeval &deadline)
{
    if (deadline.tv_sec == 0 && deadline.tv_usec == 0)
        return false;
    qnb_timeval now = wfa_time_now();
    if (now.tv_sec != deadline.tv_sec)
        return deadline.tv_sec < now.tv_sec;
    return deadline.tv_usec < now.tv_usec;
}

bool has_mac(const uint8_t mac[6])
{
    static const uint8_t zero[6] = {};
    return std::memcmp(mac, zero, 6) != 0;
}

// An entry of the service counts as an interface when it has a name and a MAC.
bool usable(const cmm_interface *entry)
{
    return entry && entry->name[0] != 0 && has_mac(cmm_interface_get_mac(entry));
}

void record_from(const cmm_interface &entry, wfa_interface_record *out)
{
    std::memset(out, 0, sizeof *out);
    std::memcpy(out->name, entry.name, sizeof out->name);
    std::memcpy(out->mac, entry.mac, sizeof out->mac);
}

bool same_name(const char16_t *a, const char16_t *b)
{
    for (size_t i = 0; i < WFA_IF_NAME_UNITS; ++i) {
        if (a[i] != b[i])
            return false;
        if (a[i] == 0)
            return true;
    }
    return true;
}

bool same_interface(const wfa_interface_record &a, const wfa_interface_record &b)
{
    return same_name(a.name, b.name) && std::memcmp(a.mac, b.mac, sizeof a.mac) == 0;
}

// Another process than this client holds the lock.
bool foreign_lock(const cmm_state *state)
{
    const cmm_client_info *own = cmm_client_get_info(g_block.client);
    unsigned count = cmm_state_get_process_count(state);
    for (unsigned i = 0; i < count; ++i) {
        const cmm_process *p = cmm_state_get_process(state, i);
        if (cmm_process_get_lock(p) && (!own || p->pid != own->pid))
            return true;
    }
    return false;
}

void take_state_flags(const cmm_state *state)
{
    g_block.status = state->status;
    g_block.locked = foreign_lock(state) ? 1 : 0;
    g_block.changing = cmm_state_get_pending_config(state) ? 1 : 0;
}

void register_socket()
{
    wfa_set_cmm_socket(cmm_client_get_socket(g_block.client), wfa_cmm_process_fdset);
    wfa_set_sockets_changed();
    g_block.socket_registered = true;
}

void drop_socket()
{
    if (!g_block.socket_registered)
        return;
    wfa_set_cmm_socket(-1, nullptr);
    wfa_set_sockets_changed();
    g_block.socket_registered = false;
}

void post_interface(uint16_t code, const wfa_interface_record &record, uint16_t request_id, uint16_t status)
{
    uint8_t payload[WFA_INTERFACE_RECORD_SIZE] = {};
    wfa_interface_record_write(record, payload, sizeof payload, 0);
    wfa_post_result(payload, sizeof payload, code, request_id, status);
}

void restart_conmon_default(void)
{
    // A full stop first: a link still up would refuse the new connect.
    wfa_conmon_stop();
    uint32_t r = wfa_conmon_start();
    if (r)
        wfa_log(QNB_LOG_ERROR, "wfa_cmm: control-and-monitoring start-up not restarted: 0x%08X", r);
}

void restart_conmon()
{
    wfa_cmm_conmon_restart hook = wfa_state_get().cmm_conmon_restart.load();
    (hook ? hook : restart_conmon_default)();
}

// A real change of the audio interface: reported, and the control-and-monitoring start-up and the
// readiness check run again on the new interface.
void report_change(const wfa_interface_record &now)
{
    g_block.current = now;
    if (g_block.status == CMM_SYSTEM_READY) {
        if (g_block.request_id == 0) {
            post_interface(WFA_CBACK_INF_GET_IF, now, 0, ERR_NOERR);
        } else if (same_interface(now, g_block.wanted)) {
            post_interface(WFA_CBACK_INF_SET_IF, now, g_block.request_id, ERR_NOERR);
            g_block.request_id = 0;
        }
    }
    restart_conmon();
    if (wfa_main_check_initialized_start(0) != 0)
        wfa_log(QNB_LOG_ERROR, "wfa_cmm: readiness check not restarted");
}

// ---- the client's changed callback -------------------------------------------------------------------

void on_changed(cmm_client *client, uint32_t changes, qnb_error)
{
    // A link lost once the interface was known is connected again by a new start-up, which reports
    // the interface it then finds when it is another one.
    if ((changes & CMM_CHANGED_CONNECTION) && g_block.ready && g_block.init_task == nullptr &&
        cmm_client_get_connection_state(client) == CMM_CONNECTION_CLOSED) {
        wfa_log(QNB_LOG_WARNING, "wfa_cmm: configuration service lost, connecting again");
        if (wfa_cmm_start() == 0)
            g_block.reconnecting = true;
    }
    if (!(changes & CMM_CHANGED_STATE))
        return;
    const cmm_state *state = cmm_client_get_state(client);
    if (!state)
        return; // the link went down: nothing to report until the service is back
    take_state_flags(state);

    // During the start-up its task reads the state; only real changes afterwards are reported.
    if (!g_block.ready)
        return;
    wfa_interface_record now{};
    if (wfa_cmm_get_if(&now) != 0 || same_interface(now, g_block.current))
        return;
    report_change(now);
}

// ---- the start-up task "wfa_cmm_init" ---------------------------------------------------------------

void enter_phase(init_phase phase)
{
    g_block.phase = phase;
    g_block.phase_since = wfa_time_now();
}

void init_task_finished(TCB *task)
{
    if (g_block.init_task == task)
        g_block.init_task = nullptr;
}

void become_ready(TCB *task, const wfa_interface_record &current)
{
    const bool changed = g_block.reconnecting && !same_interface(current, g_block.current);
    g_block.reconnecting = false;
    g_block.ready = 1;
    if (g_block.init_task == task)
        g_block.init_task = nullptr;
    tcb_finish(task);
    if (changed)
        report_change(current);
    else
        g_block.current = current;
}

uint32_t connect_phase()
{
    cmm_client *client = g_block.client;
    if (g_block.connect_started) {
        if (cmm_client_get_connection_state(client) == CMM_CONNECTION_CONNECTED) {
            g_block.connect_started = false;
            enter_phase(PHASE_READ);
            return 0;
        }
        if (wfa_time_elapsed_seconds(g_block.phase_since) <= k_link_wait_seconds)
            return 0;
        // No answer: ask again from the start (the refresh also gives up the unanswered request).
        cmm_client_request_refresh(client);
        g_block.connect_started = false;
        drop_socket();
        return 0;
    }
    if (cmm_client_request_pending(client))
        return 0;
    qnb_error e = cmm_client_request_state(client);
    if (e != QNB_ERR_SUCCESS)
        return wfa_internal_from_library(e);
    register_socket();
    g_block.phase_since = wfa_time_now();
    g_block.connect_started = true;
    return 0;
}

uint32_t read_phase(TCB *task)
{
    if (!cmm_client_get_options(g_block.client) || !cmm_client_get_state(g_block.client))
        return 0;
    wfa_interface_record current{};
    if (wfa_cmm_get_if(&current) == 0) {
        become_ready(task, current);
        return 0;
    }
    // No audio interface yet: the first one the service lists becomes it.
    wfa_interface_list list{};
    uint32_t r = wfa_cmm_get_if_list(&list);
    if (r || list.count == 0)
        return r;
    r = wfa_cmm_watch(&list.records[0], 0);
    if (r == 0)
        enter_phase(PHASE_CONFIRM);
    return r;
}

uint32_t confirm_phase(TCB *task)
{
    wfa_interface_record current{};
    if (!g_block.locked && wfa_cmm_get_if(&current) == 0) {
        become_ready(task, current);
        return 0;
    }
    // A refused or unanswered change is asked for again, never waited for without end.
    if (wfa_time_elapsed_seconds(g_block.phase_since) > k_confirm_wait_seconds)
        enter_phase(PHASE_READ);
    return 0;
}

int init_task_run(TCB *task)
{
    if (g_block.client == nullptr) {
        tcb_finish(task);
        return 0;
    }
    // A link lost before the interface is known: connect again.
    if (g_block.phase != PHASE_CONNECT &&
        cmm_client_get_connection_state(g_block.client) != CMM_CONNECTION_CONNECTED) {
        g_block.connect_started = false;
        enter_phase(PHASE_CONNECT);
    }
    switch (g_block.phase) {
    case PHASE_CONNECT:
        connect_phase();
        break;
    case PHASE_READ:
        read_phase(task);
        break;
    case PHASE_CONFIRM:
        confirm_phase(task);
        break;
    }
    return 0;
}

// ---- the watch task "wfa_cmm_watch" -----------------------------------------------------------------

void watch_task_finished(TCB *task)
{
    if (g_block.watch_task == task)
        g_block.watch_task = nullptr;
}

int watch_task_run(TCB *task)
{
    if (g_block.request_id == 0) {
        tcb_finish(task);
        return 0;
    }
    if (wfa_time_elapsed_seconds(g_block.wanted_since) < k_confirm_wait_seconds)
        return 0;
    post_interface(WFA_CBACK_INF_SET_IF, g_block.wanted, g_block.request_id, ERR_TIMEOUT);
    // The answer is given: a confirmation that still comes is reported as a change.
    g_block.request_id = 0;
    tcb_finish(task);
    return 0;
}

} // namespace

uint32_t wfa_cmm_create(void)
{
    std::memset(&g_block, 0, sizeof g_block);
    qnb_env *env = wfa_env();
    cmm_client *client = env ? cmm_client_new(env) : nullptr;
    if (client == nullptr)
        return WFA_E_NO_SERVICE_DATA;
    cmm_client_set_port(client, wfa_state_get().cmm_port.load());
    qnb_error e = cmm_client_init(client, "fua");
    if (e != QNB_ERR_SUCCESS) {
        cmm_client_delete(client);
        return wfa_internal_from_library(e);
    }
    cmm_client_set_context(client, &g_block);
    cmm_client_set_callback(client, on_changed);
    g_block.client = client;
    return 0;
}

void wfa_cmm_delete(void)
{
    if (TCB *task = g_block.init_task)
        tcb_finish(task);
    if (TCB *task = g_block.watch_task)
        tcb_finish(task);
    if (cmm_client *client = g_block.client) {
        // Nothing is reported while the client goes away.
        cmm_client_set_callback(client, nullptr);
        cmm_client_request_refresh(client);
        cmm_client_close(client);
        cmm_client_delete(client);
    }
    drop_socket();
    std::memset(&g_block, 0, sizeof g_block);
}

uint32_t wfa_cmm_start(void)
{
    if (g_block.client == nullptr)
        return WFA_E_NOT_READY;
    if (g_block.init_task != nullptr)
        return 0;
    TCB *task = tcb_create(init_task_run, init_task_finished, TCB_KEY_CMM_INIT, TCB_KIND_WORKER, "wfa_cmm_init");
    if (task == nullptr)
        return WFA_E_NO_MEMORY;
    g_block.init_task = task;
    g_block.ready = 0;
    g_block.connect_started = false;
    enter_phase(PHASE_CONNECT);
    return 0;
}

bool wfa_cmm_is_ready(void)
{
    return g_block.ready != 0;
}

uint32_t wfa_cmm_process_fdset(qnb_socket_set *set)
{
    if (set == nullptr)
        return WFA_E_NULL;
    cmm_client *client = g_block.client;
    if (client == nullptr)
        return WFA_E_NOT_READY;
    if (!qnb_socket_set_is_member(set, cmm_client_get_socket(client)) && !deadline_passed(g_block.next_deadline))
        return 0;
    qnb_error e = cmm_client_process(client, &g_block.next_deadline);
    return e == QNB_ERR_SUCCESS ? 0 : wfa_internal_from_library(e);
}

uint32_t wfa_cmm_get_if_list(wfa_interface_list *out)
{
    if (out == nullptr)
        return WFA_E_NULL;
    const cmm_interface_list *options = cmm_client_get_options(g_block.client);
    unsigned count = options ? cmm_interfaces_get_count(options) : 0;
    if (count == 0)
        return WFA_E_NO_SERVICE_DATA;
    std::memset(g_block.list, 0, sizeof g_block.list);
    uint8_t n = 0;
    for (unsigned i = 0; i < count && n < CMM_MAX_INTERFACES; ++i) {
        const cmm_interface *entry = cmm_interfaces_get(options, i);
        if (usable(entry))
            record_from(*entry, &g_block.list[n++]);
    }
    g_block.list_count = n;
    out->count = n;
    out->records = g_block.list;
    return 0;
}

uint32_t wfa_cmm_get_if(wfa_interface_record *out)
{
    if (out == nullptr)
        return WFA_E_NULL;
    const cmm_state *state = cmm_client_get_state(g_block.client);
    const cmm_system_config *config = state ? cmm_state_get_current_config(state) : nullptr;
    unsigned count = config ? cmm_config_get_interface_count(config) : 0;
    for (unsigned i = 0; i < count; ++i) {
        const cmm_interface *entry = cmm_config_get_interface(config, i);
        if (usable(entry)) {
            record_from(*entry, out);
            return 0;
        }
    }
    return WFA_E_NO_SERVICE_DATA;
}

uint32_t wfa_cmm_set_if(const wfa_interface_record *record, uint16_t request_id)
{
    if (record == nullptr)
        return WFA_E_NULL;
    if (!g_block.ready)
        return WFA_E_NOT_READY;
    wfa_interface_record current{};
    if (uint32_t r = wfa_cmm_get_if(&current))
        return r;
    if (same_name(record->name, current.name))
        return WFA_E_BAD_ARGUMENT;
    return wfa_cmm_watch(record, request_id);
}

uint32_t wfa_cmm_watch(const wfa_interface_record *record, uint16_t request_id)
{
    if (record == nullptr)
        return WFA_E_NULL;
    cmm_client *client = g_block.client;
    if (client == nullptr)
        return WFA_E_NOT_READY;
    if (g_block.locked)
        return WFA_E_WRONG_STATE;
    if (g_block.changing)
        return WFA_E_CHANGING;
    const cmm_interface_list *options = cmm_client_get_options(client);
    if (options == nullptr)
        return WFA_E_NO_SERVICE_DATA;
    char16_t name[CMM_INTERFACE_NAME_UNITS] = {};
    std::memcpy(name, record->name, sizeof name - sizeof name[0]);
    const cmm_interface *entry = cmm_interfaces_find_by_name(options, name);
    if (entry == nullptr)
        return WFA_E_NOT_FOUND;
    const cmm_state *state = cmm_client_get_state(client);
    const cmm_system_config *config = state ? cmm_state_get_current_config(state) : nullptr;
    if (!has_mac(cmm_interface_get_mac(entry)) || config == nullptr)
        return WFA_E_NO_SERVICE_DATA;

    cmm_set_config *set = cmm_client_get_config_record(client);
    std::memset(set, 0, sizeof *set);
    set->flags = CMM_SET_CONFIG;
    set->config = *config;
    cmm_config_clear_interfaces(&set->config);
    qnb_error e = cmm_config_add_interface_by_mac(&set->config, options, cmm_interface_get_mac(entry));
    if (e == QNB_ERR_SUCCESS)
        e = cmm_client_set_system_config(client, set);
    if (e != QNB_ERR_SUCCESS)
        return wfa_internal_from_library(e);

    // The service's own entry is what a confirmation is compared with.
    g_block.request_id = request_id;
    record_from(*entry, &g_block.wanted);
    g_block.wanted_since = wfa_time_now();
    if (g_block.watch_task == nullptr) {
        g_block.watch_task =
            tcb_create(watch_task_run, watch_task_finished, TCB_KEY_CMM_WATCH, TCB_KIND_WORKER, "wfa_cmm_watch");
        if (g_block.watch_task == nullptr)
            wfa_log(QNB_LOG_ERROR, "wfa_cmm: set-interface watch not created");
    }
    return 0;
}

uint32_t wfa_cmm_set_lock(uint32_t value)
{
    cmm_client *client = g_block.client;
    if (client == nullptr || !g_block.ready)
        return WFA_E_NOT_READY;
    // Another holder refuses taking the lock, never giving up our own.
    if (value != 0 && g_block.locked)
        return WFA_E_WRONG_STATE;
    const cmm_state *state = cmm_client_get_state(client);
    if (state == nullptr || cmm_state_get_current_config(state) == nullptr)
        return WFA_E_NO_SERVICE_DATA;
    const cmm_client_info *own = cmm_client_get_info(client);
    uint32_t wanted = value ? 1 : 0;
    if (own && own->lock == wanted)
        return 1;
    cmm_set_config *set = cmm_client_get_config_record(client);
    std::memset(set, 0, sizeof *set);
    set->flags = CMM_SET_LOCK;
    set->lock = wanted;
    qnb_error e = cmm_client_set_system_config(client, set);
    return e == QNB_ERR_SUCCESS ? 0 : wfa_internal_from_library(e);
}

void wfa_cmm_set_port(uint16_t port)
{
    wfa_state_get().cmm_port = port;
}

void wfa_cmm_set_conmon_restart(wfa_cmm_conmon_restart hook)
{
    wfa_state_get().cmm_conmon_restart = hook;
}
