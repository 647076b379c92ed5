// Control-and-monitoring driver: owns the service layer's control-and-monitoring client, runs the
// client's start-up task, the per-device query tasks and their watch and the questions, and sends
// the per-device control messages the commands need; the devices it knows are those of the device
// table (wfa_device.h). Worker thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket_set.h"
#include "wrapper/service/wfa_device.h"

struct conmon_client;
struct conmon_request;

// Client lifetime (worker initialisation and clean-up).
uint32_t wfa_conmon_create(void);
void wfa_conmon_delete(void);
// Stops fully (as wfa_conmon_stop) and then creates the start-up task "wfa_conmon_init" and the
// watch task "wfa_conmon_watch_device".
uint32_t wfa_conmon_start(void);
// The restart after an interface change: the full stop, then the start.
uint32_t wfa_conmon_restart(void);
// Finishes every query and the start-up and watch tasks, puts the questions again (they wait for
// the next start-up), gives up the global subscription, disconnects the local link, drops the
// socket hooks and clears the ready flag.
void wfa_conmon_stop(void);
// True once the start-up task has connected, registered and subscribed.
bool wfa_conmon_is_ready(void);
// True while the start-up is under way (the first, or one after the link was lost) and the local
// server has not refused its link (refused the Connect, answered a registration or the
// subscription as if it did not know the link, or stopped listening): browsing asked for
// meanwhile waits for it. The progress counts the start-up's steps the server has
// answered (the Connect, each registration, the subscription), so that a waiting browse can tell a
// start-up that gets through a lossy link from one that is stuck.
bool wfa_conmon_starting(void);
uint32_t wfa_conmon_startup_progress(void);

uint32_t wfa_conmon_get_fdset(qnb_socket_set *set);
// Completion of the Connect; also called when the link is lost (`lost` non-zero).
void wfa_conmon_on_disconnect(conmon_client *client, conmon_request *request, qnb_error lost);
uint32_t wfa_conmon_process_fdset(qnb_socket_set *set, int ready);

// The identity of the local server's device (8-byte id and process id); false while unknown.
bool wfa_conmon_server_device_id(uint8_t id[8], uint16_t *process);

// The interface indices of the local server's networks (at most 2).
uint32_t wfa_conmon_server_interfaces(uint16_t *count, int32_t indices[2]);

// Per-device commands. `name` is a terminated device name of at most 32 characters.
uint32_t wfa_conmon_reboot(const char *name, uint8_t mode, uint16_t request_id);
uint32_t wfa_conmon_identify(const char *name);
// Rate 0 queries the sample rate; another accepted rate sets it.
uint32_t wfa_conmon_set_srate(const char *name, uint32_t rate, uint16_t request_id);
// What a preferred-master command answers with: its result record and request id.
struct wfa_pmas_answer {
    uint8_t record[40];
    size_t size;
    uint16_t request_id;
};
// Flag 0 or 1 sets the preferred-master state; any other value queries it. With `answer` the
// setting's result (WFA_CBACK_INF_SET_PMAS) is posted once the local server has answered the
// message: success only when it took the message for a present device; a refusal, no answer in
// time or a link reset first post the failure. 0 means the message went out.
uint32_t wfa_conmon_set_pmas(const char *name, uint8_t flag, const wfa_pmas_answer *answer = nullptr);
uint32_t wfa_conmon_query_aes67(const char *name);
// Sends the body of control message `type` to the device; `request_slot` receives the request.
uint32_t wfa_conmon_send_type(const char *name, uint32_t type, void *request_slot);
// The last control message was refused because the client's request table was full: every slot
// waits for the server's answer, and a later pass may send it.
bool wfa_conmon_send_table_full(void);
// A command that the full table refused waits for room: until it has asked again in the next pass,
// the driver's own requests (queries, subscriptions) leave a few slots to the commands.
void wfa_conmon_want_room(void);
uint32_t wfa_conmon_watch_upgrade_start(const char *name, uint16_t request_id);
// Fills the 36-byte upgrade progress record of the device and its progress status.
uint32_t wfa_conmon_upgrade_progress(const char *name, uint8_t *record, uint16_t *status);

// Device queries: starts the query of a device in the table; finishes every running query and
// ends the tries of the devices given up, which the watch task otherwise queries again, once a
// growing pause has passed, for as long as they are in the table. A device left without a query
// that way cannot become ready: its questions end too.
uint32_t wfa_conmon_query(const char *name);
void wfa_conmon_finish_queries(void);

// The questions asked of every device reported (commands 15, 17, 36 and 37), each answered by the
// device's own status message, which counts as the answer whenever it arrives, asked or not.
enum : uint32_t {
    WFA_QUESTION_SAMPLE_RATE = 0,  // SRATE_CONTROL without a rate; answered by SRATE_STATUS (0x80)
    WFA_QUESTION_PREFERRED_MASTER, // CLOCKING_CONTROL without the flag; CLOCKING_STATUS (0x20)
    WFA_QUESTION_LOCK,             // lock query 0x1008; lock status 0x1009
    WFA_QUESTION_AES67,            // AES67 query; AES67 status 0x1007
    WFA_QUESTIONS
};
// An asking unanswered for more than WFA_QUESTION_ANSWER_SECONDS whole seconds is repeated; after
// WFA_QUESTION_TRIES such askings the wait doubles with each further one, up to
// WFA_QUESTION_MOST_SECONDS: a question is asked for as long as its device is in the table. At 20 %
// loss each way on the local link an asking fails about once in three.
constexpr uint32_t WFA_QUESTION_ANSWER_SECONDS = 2;
constexpr uint32_t WFA_QUESTION_TRIES = 10;
constexpr uint32_t WFA_QUESTION_MOST_SECONDS = 30;
// Puts a question to a device of the table (0x8000000D unknown): asked at once when the device is
// ready, and then by the task "wfa_conmon_question" until the device's status message answers it;
// an answer still missing after the quick askings is logged, once. An asking due while the link to
// the local server is being made or the device is not ready (being queried) waits without
// counting; a full request table never holds one up (it goes out without a slot). The answer
// carries `request_id`; nothing else of the device changes. A new question of the same kind to the
// device takes the place of the one that runs. A query of the device, a new link and a stop of the
// driver put its questions again: they are asked anew once the device, or the link, is ready. The
// device's removal, the end of its query without a new one (wfa_conmon_finish_queries) and
// wfa_conmon_finish_questions end them.
uint32_t wfa_conmon_ask(const char *name, uint32_t question, uint16_t request_id);
void wfa_conmon_finish_questions(void);
// Questions running (tests and diagnostics).
size_t wfa_conmon_question_count(void);

// Seam: the local server's UDP port on the loopback interface (0: the server's own 8900). Set it
// while the layer is stopped; wfa_state_reset restores the default.
void wfa_conmon_set_port(uint16_t port);
