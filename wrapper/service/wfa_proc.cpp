#include "wrapper/service/wfa_proc.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "netaudio/platform/qnb_log.h"
#include "wrapper/service/wfa_browse.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_device.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_routing.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_time.h"

namespace {

// ---- status maps ---------------------------------------------------------------------------------

struct map_row {
    uint32_t reason;
    uint16_t status;
};

struct status_map {
    const map_row *rows;
    size_t count;
    uint16_t below;      // any other reason below 23
    bool library;        // reasons from 23 on through the library map ...
    uint16_t otherwise;  // ... or this status
};

const map_row rows_progress[] = {{4, ERR_PROGRESS}};
const map_row rows_found_state[] = {{13, ERR_NOT_FOUND}, {8, ERR_PROGRESS}};
const map_row rows_found[] = {{13, ERR_NOT_FOUND}};
const map_row rows_device_command[] = {{13, ERR_NOT_FOUND}, {8, ERR_PROGRESS}, {6, ERR_PARAM}};
const map_row rows_interface_read[] = {{4, ERR_PROGRESS}, {23, ERR_VLPI_OTHER}};
// The driver refuses a change while the service is locked with 8 and while another change is in
// progress with 9.
const map_row rows_set_interface[] = {{8, ERR_INTERFACE_LOCKED}, {9, ERR_INTERFACE_CHANGING},
                                      {6, ERR_INTERFACE_SAME},   {13, ERR_NOT_FOUND},
                                      {4, ERR_PROGRESS},         {23, ERR_VLPI_OTHER}};

#define ROWS(r) r, sizeof(r) / sizeof((r)[0])
const status_map map_browse_prepare = {ROWS(rows_progress), ERR_UNKNOWN, false, ERR_UNKNOWN};
const status_map map_browse_start = {ROWS(rows_progress), ERR_UNKNOWN, true, 0};
const status_map map_device_stat = {ROWS(rows_found_state), ERR_UNKNOWN, false, ERR_UNKNOWN};
const status_map map_start_update = {ROWS(rows_found_state), ERR_UNKNOWN, true, 0};
const status_map map_update_status = {ROWS(rows_found), ERR_UNKNOWN, false, ERR_UNKNOWN};
const status_map map_device_command = {ROWS(rows_device_command), ERR_UNKNOWN, true, 0};
const status_map map_interface_read = {ROWS(rows_interface_read), ERR_UNKNOWN, false, ERR_UNKNOWN};
const status_map map_set_interface = {ROWS(rows_set_interface), ERR_UNKNOWN, true, 0};
#undef ROWS

uint16_t apply(const status_map &map, uint32_t code)
{
    if (code == 0)
        return ERR_NOERR;
    uint32_t reason = wfa_internal_reason(code);
    for (size_t i = 0; i < map.count; ++i) {
        if (map.rows[i].reason == reason)
            return map.rows[i].status;
    }
    if (reason < WFA_LIBRARY_BASE)
        return map.below;
    return map.library ? wfa_map_library_error(code) : map.otherwise;
}

const status_map *map_of(uint32_t command, int step)
{
    switch (command) {
    case 1:
        return step == 0 ? &map_browse_prepare : &map_browse_start;
    case 5:
        return &map_device_stat;
    case 8:
        return &map_start_update;
    case 9:
        return &map_update_status;
    case 10:
    case 16:
    case 18:
        return &map_device_command;
    case 11:
    case 13:
        return &map_interface_read;
    case 12:
        return &map_set_interface;
    default:
        return nullptr;
    }
}

// ---- arguments -------------------------------------------------------------------------------------

// A command's request id and argument bytes, with the leading device name as a terminated copy.
struct command_args {
    uint16_t request_id = 0;
    const uint8_t *bytes = nullptr;
    size_t size = 0;
    char name[WFA_NAME_FIELD + 1] = {};

    command_args(TCB *task, uint32_t command)
    {
        wfa_get_u16(task->parameters, sizeof task->parameters, 0, &request_id);
        bytes = task->parameters + 2;
        size = wfa_command_table[command].size;
        if (size >= WFA_NAME_FIELD)
            wfa_copy_name(bytes, WFA_NAME_FIELD, name);
    }

    uint8_t u8(size_t offset) const
    {
        uint8_t v = 0;
        wfa_get_u8(bytes, size, offset, &v);
        return v;
    }

    uint16_t u16(size_t offset) const
    {
        uint16_t v = 0;
        wfa_get_u16(bytes, size, offset, &v);
        return v;
    }

    // A text field of 32 bytes at `offset`, as a terminated copy.
    void text(size_t offset, char out[WFA_NAME_FIELD + 1]) const
    {
        std::memset(out, 0, WFA_NAME_FIELD + 1);
        if (offset <= size && size - offset >= WFA_NAME_FIELD)
            wfa_copy_name(bytes + offset, WFA_NAME_FIELD, out);
    }
};

int done(TCB *task)
{
    return tcb_finish(task);
}

// A control message that the client's full request table refused is sent again on the following
// passes (the next answer of the server frees a slot) for at most `seconds` whole seconds of the
// clock; then it counts as refused, and the refusal is logged. Commands sent one right after the
// other's answer (the preferred-master step of Apply, to a whole installation) would otherwise
// outrun the server's answers. (While a command waits the driver's queries and subscriptions leave
// it room, so that it gets one of the next slots freed.) The time of the first refusal is kept in
// the task's parameters behind the largest argument block.
constexpr size_t k_retry_at = 2 + WFA_MAX_ARGUMENTS;
struct retry_mark {
    uint8_t waiting;
    qnb_timeval first;
};
static_assert(k_retry_at + sizeof(retry_mark) <= TCB_PARAMETER_SIZE, "the mark fits the task's parameters");

// A command whose result the program waits for fails after 2 s, as a lost answer would.
constexpr uint32_t k_table_wait_seconds = 2;
// An identify request has no answer at all: it waits until the requests that hold the slots have
// been answered or have timed out (5 s).
constexpr uint32_t k_identify_wait_seconds = 6;

bool send_again_later(TCB *task, uint32_t result, uint32_t seconds = k_table_wait_seconds)
{
    if (result != WFA_E_SEND_FAILED || !wfa_conmon_send_table_full())
        return false;
    wfa_conmon_want_room();
    retry_mark mark;
    std::memcpy(&mark, task->parameters + k_retry_at, sizeof mark);
    if (!mark.waiting) {
        mark.waiting = 1;
        mark.first = wfa_time_now();
        std::memcpy(task->parameters + k_retry_at, &mark, sizeof mark);
        return true;
    }
    if (wfa_time_elapsed_seconds(mark.first) <= seconds)
        return true;
    wfa_log(QNB_LOG_WARNING, "%s: not sent, the control-and-monitoring request table stayed full", task->name);
    return false;
}

void post(uint16_t code, const void *payload, size_t size, uint16_t request_id, uint16_t status)
{
    wfa_post_result(payload, size, code, request_id, status);
}

} // namespace

uint16_t wfa_proc_status(uint32_t command, uint32_t code, int step)
{
    if (code == 0)
        return ERR_NOERR;
    const status_map *map = map_of(command, step);
    return map ? apply(*map, code) : ERR_UNKNOWN;
}

bool wfa_proc_latency_answers(uint32_t code)
{
    if (code == 0)
        return true;
    return wfa_internal_reason(code) >= WFA_LIBRARY_BASE && wfa_map_library_error(code) == ERR_NOERR;
}

// ---- handlers ------------------------------------------------------------------------------------

namespace {

// Browsing asked for while the local server's start-up is still under way waits for it: started
// before, it would be refused for want of the server's interfaces and nothing would browse. On a
// lossy link the start-up may take a minute; it waits for as long as the start-up gets through its
// steps, and at most this long after the last step the server answered. A later start or stop of
// browsing takes the place of a start that waits.
constexpr uint32_t k_browse_wait_seconds = 30;
// {u8 waiting, u32 generation, timeval since, u32 start-up progress} in the parameters
constexpr size_t k_browse_wait_at = 64;
static_assert(sizeof(qnb_timeval) == 8 && k_browse_wait_at + 20 <= TCB_PARAMETER_SIZE,
              "the wait's fields lie where browse_waits reads them");
uint32_t g_browse_generation = 0;

bool browse_waits(TCB *task)
{
    uint8_t *w = task->parameters + k_browse_wait_at;
    uint32_t generation = 0, progress = 0;
    qnb_timeval since{};
    if (!w[0]) {
        if (!wfa_conmon_starting())
            return false;
        w[0] = 1;
        generation = g_browse_generation;
        since = wfa_time_now();
        progress = wfa_conmon_startup_progress();
        std::memcpy(w + 4, &generation, sizeof generation);
        std::memcpy(w + 8, &since, sizeof since);
        std::memcpy(w + 16, &progress, sizeof progress);
        return true;
    }
    std::memcpy(&generation, w + 4, sizeof generation);
    std::memcpy(&since, w + 8, sizeof since);
    std::memcpy(&progress, w + 16, sizeof progress);
    if (generation != g_browse_generation)
        return false; // superseded: answered as before, and it starts nothing
    if (!wfa_conmon_starting())
        return false;
    if (wfa_conmon_startup_progress() != progress) {
        progress = wfa_conmon_startup_progress();
        since = wfa_time_now();
        std::memcpy(w + 8, &since, sizeof since);
        std::memcpy(w + 16, &progress, sizeof progress);
    }
    return wfa_time_elapsed_seconds(since) < k_browse_wait_seconds;
}

} // namespace

int proc_get_device_list(TCB *task)
{
    command_args a(task, 1);
    const int32_t duration = static_cast<int16_t>(a.u16(0));
    static const uint8_t zero[WFA_DEVICE_LIST_INFO_SIZE] = {};
    if (browse_waits(task))
        return 0;
    const bool superseded = task->parameters[k_browse_wait_at] != 0 && [&] {
        uint32_t generation = 0;
        std::memcpy(&generation, task->parameters + k_browse_wait_at + 4, sizeof generation);
        return generation != g_browse_generation;
    }();
    ++g_browse_generation;
    if (superseded) {
        post(WFA_CBACK_INF_DEVICE_LIST, zero, sizeof zero, a.request_id, ERR_PROGRESS);
        return done(task);
    }

    // Queries end before their devices leave the table.
    wfa_conmon_finish_queries();
    wfa_device_clear();
    uint16_t count = 0;
    int32_t indices[2] = {0, 0};
    uint32_t r = wfa_conmon_server_interfaces(&count, indices);
    if (r) {
        post(WFA_CBACK_INF_DEVICE_LIST, zero, sizeof zero, a.request_id, wfa_proc_status(1, r, 0));
        return done(task);
    }
    if (count > 2)
        count = 2;
    r = wfa_browse_watch_timeout(count, indices, a.request_id, duration);
    if (r)
        post(WFA_CBACK_INF_DEVICE_LIST, zero, sizeof zero, a.request_id, wfa_proc_status(1, r, 1));
    return done(task);
}

int proc_get_brows_stop(TCB *task)
{
    command_args a(task, 2);
    ++g_browse_generation;
    static const uint8_t zero[WFA_DEVICE_LIST_INFO_SIZE] = {};
    wfa_browse_stop();
    post(WFA_CBACK_INF_BROWSE_STOP, zero, sizeof zero, a.request_id, ERR_NOERR);
    return done(task);
}

int proc_get_device_stat(TCB *task)
{
    command_args a(task, 5);
    uint8_t record[WFA_DEVICE_STAT_SIZE] = {};
    wfa_put_text(record, sizeof record, 0, WFA_NAME_FIELD, a.name);
    uint32_t r = wfa_device_get_stat(a.name, record);
    post(WFA_CBACK_INF_DEVICE_STAT, record, sizeof record, a.request_id, wfa_proc_status(5, r));
    return done(task);
}

int proc_start_update(TCB *task)
{
    command_args a(task, 8);
    uint32_t r = wfa_conmon_watch_upgrade_start(a.name, a.request_id);
    if (r) {
        static const uint8_t zero[WFA_UPGRADE_RECORD_SIZE] = {};
        post(WFA_CBACK_INF_START_UPDATE, zero, sizeof zero, a.request_id, wfa_proc_status(8, r));
    }
    return done(task);
}

int proc_get_update_status(TCB *task)
{
    command_args a(task, 9);
    uint8_t record[WFA_UPDATE_STATUS_SIZE] = {};
    wfa_put_text(record, sizeof record, 0, WFA_NAME_FIELD, a.name);
    uint16_t progress = ERR_NOERR;
    uint32_t r = wfa_conmon_upgrade_progress(a.name, record, &progress);
    post(WFA_CBACK_INF_UPDATE_STATUS, record, sizeof record, a.request_id,
         r ? wfa_proc_status(9, r) : progress);
    return done(task);
}

int proc_reboot_device(TCB *task)
{
    command_args a(task, 10);
    uint32_t r = wfa_conmon_reboot(a.name, a.u8(32), a.request_id);
    if (send_again_later(task, r))
        return 2;
    post(WFA_CBACK_INF_REBOOT, a.bytes, a.size, a.request_id, wfa_proc_status(10, r));
    return done(task);
}

int proc_get_if_list(TCB *task)
{
    command_args a(task, 11);
    wfa_interface_list list = {0, nullptr};
    uint32_t r = wfa_cmm_is_ready() ? wfa_cmm_get_if_list(&list) : WFA_E_NOT_READY;
    if (r)
        list = {0, nullptr};
    uint8_t payload[WFA_IF_LIST_SIZE];
    wfa_interface_list_write(list, payload);
    post(WFA_CBACK_INF_IF_LIST, payload, sizeof payload, a.request_id, wfa_proc_status(11, r));
    return done(task);
}

int proc_set_velto_if(TCB *task)
{
    command_args a(task, 12);
    wfa_interface_record wanted{};
    wfa_interface_record_read(a.bytes, a.size, 0, &wanted);
    wanted.name[WFA_IF_NAME_UNITS - 1] = 0;
    uint32_t r = wfa_cmm_set_if(&wanted, a.request_id);
    if (r) {
        static const uint8_t zero[WFA_INTERFACE_RECORD_SIZE] = {};
        post(WFA_CBACK_INF_SET_IF, zero, sizeof zero, a.request_id, wfa_proc_status(12, r));
    }
    return done(task);
}

int proc_get_velto_if(TCB *task)
{
    command_args a(task, 13);
    wfa_interface_record current{};
    uint32_t r = wfa_cmm_is_ready() ? wfa_cmm_get_if(&current) : WFA_E_NOT_READY;
    if (r)
        current = wfa_interface_record{};
    uint8_t payload[WFA_INTERFACE_RECORD_SIZE] = {};
    wfa_interface_record_write(current, payload, sizeof payload, 0);
    post(WFA_CBACK_INF_GET_IF, payload, sizeof payload, a.request_id, wfa_proc_status(13, r));
    return done(task);
}

int proc_identify_device(TCB *task)
{
    command_args a(task, 14);
    return send_again_later(task, wfa_conmon_identify(a.name), k_identify_wait_seconds) ? 2 : done(task);
}

int proc_get_fs(TCB *task)
{
    command_args a(task, 15);
    // The driver asks until the device's SRATE_STATUS comes, and answers with code 15.
    wfa_conmon_ask(a.name, WFA_QUESTION_SAMPLE_RATE, a.request_id);
    return done(task);
}

int proc_set_fs(TCB *task)
{
    command_args a(task, 16);
    uint32_t r = wfa_conmon_set_srate(a.name, a.u16(32), a.request_id);
    if (send_again_later(task, r))
        return 2;
    uint16_t status = wfa_proc_status(16, r);
    if (status != ERR_NOERR)
        post(WFA_CBACK_INF_SET_FS, a.bytes, a.size, a.request_id, status);
    return done(task);
}

int proc_get_pmas(TCB *task)
{
    command_args a(task, 17);
    wfa_conmon_ask(a.name, WFA_QUESTION_PREFERRED_MASTER, a.request_id);
    return done(task);
}

int proc_set_pmas(TCB *task)
{
    command_args a(task, 18);
    // The result follows the local server's answer to the message; only a message that did not
    // go out is answered here.
    wfa_pmas_answer answer{};
    answer.size = std::min(a.size, sizeof answer.record);
    std::memcpy(answer.record, a.bytes, answer.size);
    answer.request_id = a.request_id;
    // Only 0 and 1 set the state; any other byte would turn the command into a query.
    uint32_t r = a.u8(32) <= 1 ? wfa_conmon_set_pmas(a.name, a.u8(32), &answer) : WFA_E_BAD_ARGUMENT;
    if (send_again_later(task, r))
        return 2;
    if (r != 0)
        post(WFA_CBACK_INF_SET_PMAS, a.bytes, a.size, a.request_id, wfa_proc_status(18, r));
    return done(task);
}

int proc_start_routing(TCB *task)
{
    command_args a(task, 19);
    wfa_routing_watch_timeout(a.name, a.request_id);
    return done(task);
}

int proc_get_txChLabel(TCB *task)
{
    command_args a(task, 20);
    wfa_routing_get_txlabels(a.name, a.request_id);
    return done(task);
}

int proc_set_txChLabel(TCB *task)
{
    command_args a(task, 21);
    char label[WFA_NAME_FIELD + 1];
    a.text(34, label);
    wfa_routing_set_txlabel(a.name, a.u16(32), label, a.request_id);
    return done(task);
}

int proc_get_rxChLabel(TCB *task)
{
    command_args a(task, 22);
    wfa_routing_get_rxlabels(a.name, a.request_id);
    return done(task);
}

int proc_set_rxChLabel(TCB *task)
{
    command_args a(task, 23);
    char label[WFA_NAME_FIELD + 1];
    a.text(34, label);
    wfa_routing_set_rxlabel(a.name, a.u16(32), label, a.request_id);
    return done(task);
}

int proc_set_patch(TCB *task)
{
    command_args a(task, 24);
    char tx_device[WFA_NAME_FIELD + 1];
    a.text(34, tx_device);
    wfa_routing_set_patch(a.name, a.u16(32), tx_device, a.u16(66), a.request_id);
    return done(task);
}

int proc_get_patch(TCB *task)
{
    command_args a(task, 25);
    wfa_routing_get_patch(a.name, a.u16(32), a.request_id);
    return done(task);
}

int proc_get_txMute(TCB *task)
{
    command_args a(task, 26);
    wfa_routing_get_txmute(a.name, a.u16(32), a.request_id);
    return done(task);
}

int proc_set_txMute(TCB *task)
{
    command_args a(task, 27);
    wfa_routing_set_txmute(a.name, a.u16(32), a.u16(34), a.request_id);
    return done(task);
}

int proc_get_rxMute(TCB *task)
{
    command_args a(task, 28);
    wfa_routing_get_rxmute(a.name, a.u16(32), a.request_id);
    return done(task);
}

int proc_set_rxMute(TCB *task)
{
    command_args a(task, 29);
    wfa_routing_set_rxmute(a.name, a.u16(32), a.u16(34), a.request_id);
    return done(task);
}

int proc_get_batch_patch(TCB *task)
{
    command_args a(task, 32);
    wfa_routing_get_batch(a.name, a.u16(32), a.request_id);
    return done(task);
}

int proc_set_batch_patch(TCB *task)
{
    command_args a(task, 33);
    std::vector<wfa_patch_item> items(WFA_BATCH_ENTRIES);
    for (size_t i = 0; i < WFA_BATCH_ENTRIES; ++i) {
        const size_t at = 34 + i * WFA_BATCH_ENTRY_SIZE;
        a.text(at, items[i].device);
        items[i].channel = a.u16(at + WFA_NAME_FIELD);
    }
    wfa_routing_set_batch(a.name, a.u16(32), items.data(), a.request_id);
    return done(task);
}

int proc_request_rx_ch_refresh(TCB *task)
{
    command_args a(task, 35);
    wfa_routing_refresh_rx(a.name, a.bytes + 32, a.u16(64));
    return done(task);
}

int proc_request_device_lock(TCB *task)
{
    command_args a(task, 36);
    // A device in the table is asked (once it is ready); the driver refuses the others.
    wfa_conmon_ask(a.name, WFA_QUESTION_LOCK, a.request_id);
    return done(task);
}

int proc_request_aes67_state(TCB *task)
{
    command_args a(task, 37);
    wfa_conmon_ask(a.name, WFA_QUESTION_AES67, a.request_id);
    return done(task);
}

int proc_properties_refresh(TCB *task)
{
    command_args a(task, 39);
    wfa_routing_properties_refresh(a.name, a.request_id);
    return done(task);
}

int proc_set_latency(TCB *task)
{
    command_args a(task, 40);
    // The driver answers once, from the device's reply (or at once when nothing could be sent).
    wfa_routing_set_latency(a.name, a.u16(32), a.request_id);
    return done(task);
}

int proc_get_latency(TCB *task)
{
    command_args a(task, 41);
    wfa_routing_get_latency(a.name, a.request_id);
    return done(task);
}
