// The questions of the control-and-monitoring driver: the sample rate, the preferred-master state,
// the lock state and the AES67 state of a reported device, each asked until the device's status
// message answers it.
#include "wrapper/service/wfa_conmon.h"

#include <cstring>
#include <vector>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/conmon/conmon_msg.h"
#include "netaudio/platform/qnb_log.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon_private.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_time.h"

using namespace conmon_driver;

namespace {

// A question unanswered for more than this many whole seconds is asked again, k_question_tries
// times; after that the wait doubles, from twice this up to k_question_most_seconds.
const uint32_t k_question_answer_seconds = WFA_QUESTION_ANSWER_SECONDS;
const uint32_t k_question_tries = WFA_QUESTION_TRIES;
const uint32_t k_question_most_seconds = WFA_QUESTION_MOST_SECONDS;
// A question takes one of the client's request slots (so that its failure can say whether the
// local server answered) only while it leaves this many to the queries and the commands (more than
// the commands' own, k_command_requests); otherwise, and when the table is full, it is sent bare:
// it never waits for room, so that on a lossy link the properties of a device reported early are
// not asked for only after every device still being found, and unanswered questions never keep the
// table full.
const unsigned k_question_reserved_requests = 8;
static_assert(k_question_reserved_requests >= k_command_requests, "questions leave the commands their slots");

// A question put to a device (task "wfa_conmon_question"): asked until the device's status message
// answers it, for as long as the device is in the table.
struct question_data {
    wfa_device *device;
    uint32_t question;
    uint16_t request_id; // of the command that put it; its answer carries it
    wfa_pending pending;
    qnb_timeval last; // when it was last asked
    uint32_t tries;   // times asked since it was put, or put again by a query of its device
    bool waiting;     // asked, the answer not in yet
    bool warned;      // its missing answer has been logged
    uint32_t sent;    // the result of the last asking's send
};

const char *const k_question_names[WFA_QUESTIONS] = {"sample rate", "preferred master", "lock state", "AES67 state"};

void question_finished(TCB *task)
{
    task_ended(task, &data_of<question_data>(task)->pending, &g_block.questions);
}

// The question's control message: the sample-rate control without a rate, the clocking control
// without the preferred-master flag, the lock query, the AES67 query. Without a slot it goes out
// bare.
uint32_t send_question(const wfa_device *device, uint32_t question, wfa_pending *slot)
{
    conmon_vendor_body body;
    size_t length = 0;
    switch (question) {
    case WFA_QUESTION_SAMPLE_RATE:
        conmon_msg_init_srate_control(&body, k_parameter);
        length = CONMON_MSG_SRATE_CONTROL_SIZE;
        break;
    case WFA_QUESTION_PREFERRED_MASTER:
        conmon_msg_init_clocking_control(&body, k_parameter);
        length = CONMON_MSG_CLOCKING_CONTROL_SIZE;
        break;
    case WFA_QUESTION_LOCK:
        conmon_msg_init(&body, CONMON_MSG_LOCK_QUERY, k_parameter);
        length = CONMON_MSG_GENERIC_SIZE;
        break;
    case WFA_QUESTION_AES67:
        conmon_msg_init_aes67_query(&body, k_parameter);
        length = CONMON_MSG_AES67_QUERY_SIZE;
        break;
    default:
        return WFA_E_BAD_ARGUMENT;
    }
    return send_standard(device->name, body, length, slot, slot != nullptr);
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

// How long an asking waits for its answer before the next one: k_question_answer_seconds for the
// first k_question_tries askings, then twice as long after each further one, up to
// k_question_most_seconds.
uint32_t answer_wait(uint32_t tries)
{
    uint32_t wait = k_question_answer_seconds;
    for (uint32_t t = k_question_tries + 1; t <= tries && wait < k_question_most_seconds; t++) {
        wait *= 2;
    }
    return wait < k_question_most_seconds ? wait : k_question_most_seconds;
}

// One pass of a question. The device's status message ends it, whether it answers this asking or
// came of its own accord. Unanswered, the question is asked again after answer_wait, for as long as
// its device is in the table; its missing answer is logged once, when the last of the
// k_question_tries quick askings has gone unanswered. A question put while the link to the local
// server is being made, or while the device is not ready (it is being queried), waits without
// counting a try.
int question_run(TCB *task)
{
    question_data *d = data_of<question_data>(task);
    wfa_device *device = d->device;
    if (device->answered & (1u << d->question)) {
        return tcb_finish(task);
    }
    if (d->waiting) {
        if (wfa_time_elapsed_seconds(d->last) <= answer_wait(d->tries)) {
            return 2;
        }
        if (d->tries >= k_question_tries && !d->warned) {
            d->warned = true;
            wfa_log(QNB_LOG_WARNING,
                    "conmon: %s: the %s question is still unanswered, asked %u times (%s); asking it less often",
                    device->name, k_question_names[d->question], d->tries, question_failure(d));
        }
        // Asked again from the next pass on.
        slot_release(&d->pending);
        d->waiting = false;
        return 2;
    }
    if (!link_up() || device->state != WFA_DEVICE_READY) {
        return 2;
    }
    const bool room = conmon_client_requests_in_use(g_block.client) + k_question_reserved_requests < k_max_requests;
    g_last_send_error = QNB_ERR_SUCCESS;
    uint32_t r = room ? send_question(device, d->question, &d->pending) : WFA_E_SEND_FAILED;
    if (!room || (r != 0 && table_full(g_last_send_error))) {
        g_last_send_error = QNB_ERR_SUCCESS;
        r = send_question(device, d->question, nullptr);
    }
    // A send that failed counts as an asking whose answer cannot come.
    d->sent = r;
    d->tries++;
    d->last = wfa_time_now();
    d->waiting = true;
    return 2;
}

} // namespace

namespace conmon_driver {

// Ends the questions of a device (all of them for null), or only its question `question`.
void finish_questions_of(const wfa_device *device, uint32_t question)
{
    std::vector<TCB *> copy = g_block.questions;
    for (TCB *task : copy) {
        const question_data *d = data_of<question_data>(task);
        if ((device == nullptr || d->device == device) && (question == WFA_QUESTIONS || d->question == question)) {
            tcb_finish(task);
        }
    }
}

// A query of the device starts its questions anew: they wait until it is ready again, and are then
// asked as if just put.
void renew_questions_of(const wfa_device *device)
{
    for (TCB *task : g_block.questions) {
        question_data *d = data_of<question_data>(task);
        if (device == nullptr || d->device == device) {
            slot_release(&d->pending);
            d->tries = 0;
            d->waiting = false;
            d->warned = false;
            d->sent = 0;
        }
    }
}

uint16_t question_request_id(const wfa_device *device, uint32_t question, uint16_t otherwise)
{
    for (TCB *task : g_block.questions) {
        const question_data *d = data_of<question_data>(task);
        if (d->device == device && d->question == question && !tcb_is_finished(task)) {
            return d->request_id;
        }
    }
    return otherwise;
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

} // namespace conmon_driver

uint32_t wfa_conmon_ask(const char *name, uint32_t question, uint16_t request_id)
{
    if (question >= WFA_QUESTIONS) {
        return WFA_E_BAD_ARGUMENT;
    }
    // A device that is not ready yet (being queried) is asked once it is.
    wfa_device *device = nullptr;
    uint32_t r = known_device(name, &device);
    if (r) {
        return r;
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
    d->request_id = request_id;
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
