// What the files of the control-and-monitoring driver share: the device record, the driver's
// block, the request slots its tasks hold, and the helpers that send to a device. The driver's own
// files include it; the rest of the service layer goes through wfa_conmon.h and wfa_device.h.
// Worker thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/platform/qnb_name.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_tcb.h"

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
    // The client can name the sender of the device's status messages: a subscription record of
    // the device carries its device id (kept by on_subscriptions, cleared for every device when a
    // new link is made); and when the driver last asked for the device's subscription.
    bool named;
    qnb_timeval subscription_asked;
    uint16_t request_id;
    uint16_t reboot_request_id;
    uint8_t upgrade_record[WFA_UPGRADE_RECORD_SIZE];
    uint16_t upgrade_state;
    uint16_t upgrade_result;
    uint32_t upgrade_done;
    uint32_t upgrade_total;
};

namespace conmon_driver {

// The parameter that every control message to a device carries.
const uint32_t k_parameter = 1000000;
// What a device's query has received (wfa_device::info) or rightly skips (wfa_device::skip).
enum : uint32_t { k_info_versions = 0x1, k_info_interface = 0x2, k_info_manf = 0x4, k_info_all = 0x7 };
// The pause of the worker after the link to the local server failed.
const unsigned k_connect_pause_ms = 5000;
// The client's request table, and the slots of it that the queries, the subscriptions the driver
// keeps and the questions leave free while a command waits for room (wfa_conmon_want_room): so
// that a command issued while a whole installation is being queried behind a lossy link gets the
// next slot freed. Kept all the time, they would slow the queries down by half there.
const unsigned k_max_requests = 24;
const unsigned k_command_requests = 4;

// A run of request slots that a task holds.
struct slot_run {
    wfa_pending *slots;
    unsigned count;
};

struct wfa_conmon_block {
    conmon_client *client;
    int connection_flag;
    bool ready;
    // The local device announced that it is ready (VELTO_READY on the local channel); kept for the
    // link it came on, nothing in this system acts on it.
    bool velto_ready;
    TCB *init_task;
    TCB *watch_task;
    // The server answered as if it did not know this link (it restarted), or is gone: the start-up
    // runs again once the socket has been processed.
    bool relink;
    // The start-up's last Connect was refused (no server listens); the steps of the start-up the
    // server has answered (wfa_conmon_startup_progress).
    bool server_refused;
    uint32_t startup_progress;
    // Passes for which the driver's own requests still leave the commands their slots: a command
    // that waits for room sets it, the watch counts it down.
    unsigned room_wanted;
    // Preferred-master settings whose messages the server has still to answer.
    std::vector<std::pair<wfa_pending, wfa_pmas_answer>> pmas;
    std::vector<TCB *> queries;
    std::vector<TCB *> questions;
    std::vector<slot_run> requests;
    qnb_timeval next_deadline;
};

extern wfa_conmon_block g_block;
// The library's answer to the last send of send_body.
extern qnb_error g_last_send_error;

template <class T> T *data_of(TCB *task)
{
    static_assert(sizeof(T) <= TCB_PARAMETER_SIZE, "task data fits the parameters");
    static_assert(offsetof(TCB, parameters) % alignof(T) == 0, "task data is aligned");
    return reinterpret_cast<T *>(task->parameters);
}

// Request slots (wfa_conmon.cpp).
bool slot_live(const wfa_pending &p);
void slot_keep(wfa_pending *p, conmon_request *request);
void slot_release(wfa_pending *p);
bool any_failed(const wfa_pending *slots, unsigned count);
bool any_pending(const wfa_pending *slots, unsigned count);
void request_list_add(wfa_pending *slots, unsigned count);
void request_list_remove(wfa_pending *slots);
void on_request_done(conmon_client *, conmon_request *request, qnb_error result);
// The link is taken down (or made anew): the client frees every request slot without its callback,
// so every slot a task holds is forgotten here.
void forget_slots();
// The local server's port refused a datagram of the link (no server listens there any more).
inline bool port_refused(qnb_error e)
{
    return e == QNB_ERR_CONNREFUSED || e == QNB_ERR_CONNRESET;
}
// A send of a query, a question, a subscription or a command failed with `e`: a port that refuses
// on a link that was up makes the link again (a read reports it so, or a send does).
void note_send_error(qnb_error e);
// Whether a request of the driver's own (a query's, a kept subscription) may take a slot: while a
// command waits for room it leaves the commands their k_command_requests.
bool room_for_driver();
void settle_pmas(bool all = false);
// A task that held a request slot has ended: the slot is given back and the task leaves `tasks`.
void task_ended(TCB *task, wfa_pending *pending, std::vector<TCB *> *tasks);

// The worker's socket hooks for the client (wfa_conmon.cpp).
void register_hooks();
void drop_hooks();

// Sending to a device (wfa_conmon.cpp).
// Without a slot and `tracked` false the message goes out bare: it takes no request slot and the
// server's answer to it is not waited for (a question's answer is the device's status message).
uint32_t send_body(const char *name, const uint8_t *vendor, const void *body, size_t length, wfa_pending *slot,
                   bool tracked = true);
uint32_t send_standard(const char *name, const conmon_vendor_body &body, size_t length, wfa_pending *slot = nullptr,
                       bool tracked = true);
bool table_full(qnb_error e);
// The device of the table by name, for a client that exists; ready_device also wants it in state
// `ready`.
uint32_t known_device(const char *name, wfa_device **out);
uint32_t ready_device(const char *name, wfa_device **out);
// A device name into the 32-byte name field at the start of a result record.
void put_name(uint8_t *out, size_t size, const char *name);

// The start-up task (wfa_conmon_startup.cpp). `startup_refused`: the server's port refused the
// link while the start-up was past its Connect.
TCB *start_init_task();
void relink();
void startup_refused();

// Whether the link to the local server is up and its start-up through: only then do the queries
// and the questions send (wfa_conmon.cpp).
bool link_up();

// Device queries and their watch (wfa_conmon_query.cpp).
TCB *start_watch_task();
void finish_queries_of(const wfa_device *device);
// A new link starts without any subscription record: no device's sender can be named until the
// watch has subscribed it again. `sender_known` reads the client's records.
void forget_names();
bool sender_known(const wfa_device *device);

// Questions (wfa_conmon_question.cpp). A null device: all of them.
void finish_questions_of(const wfa_device *device, uint32_t question = WFA_QUESTIONS);
void renew_questions_of(const wfa_device *device);
void note_answer(wfa_device *device, uint16_t type);
// The request id a status message of `device` answering `question` carries: that of the question
// that runs, else `otherwise`.
uint16_t question_request_id(const wfa_device *device, uint32_t question, uint16_t otherwise);

// The upgrade watch (wfa_conmon_upgrade.cpp).
void handle_upgrade_status(wfa_device *device, const uint8_t *body, size_t length);

// The status handlers (wfa_conmon_status.cpp).
void status_handler(conmon_client *client, uint16_t channel_type, uint16_t class_,
                    const conmon_channel_message *message);
void monitoring_handler(conmon_client *client, uint16_t channel_type, uint16_t class_,
                        const conmon_channel_message *message);
void on_connection(conmon_client *client);
void on_subscriptions(conmon_client *, unsigned count, const conmon_remote_device_info *const *changed);

// The device table (wfa_device.cpp): its first entry, the others following `next`.
wfa_device *first_device();

} // namespace conmon_driver
