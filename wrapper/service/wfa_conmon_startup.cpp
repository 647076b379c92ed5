// The start-up task of the control-and-monitoring driver: the link to the local server, the
// registrations and the global status subscription, made again when the link is lost or the server
// no longer knows it.
#include "wrapper/service/wfa_conmon.h"

#include <cstring>

#include "netaudio/conmon/conmon_client.h"
#include "netaudio/platform/qnb_log.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon_private.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_tcb.h"
#include "wrapper/service/wfa_time.h"

using namespace conmon_driver;

namespace {

enum { k_registrations = 6 };
const unsigned k_register_pause_ms = 2000;
const uint32_t k_wait_seconds = 5;

struct init_data {
    uint32_t state;
    wfa_pending pending[k_registrations]; // [0]: the Connect, the Subscribe
    qnb_timeval start;
    uint32_t connect_started;
    bool registered[k_registrations]; // confirmed by the server on this link
};

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

// Sends the registrations the server has not confirmed yet: after a lost request or answer only
// those go again, so that a lossy link gets through in a few rounds instead of needing all six
// answered in one. The error of the first that could not be sent, or 0.
qnb_error init_register(init_data *d)
{
    conmon_request *request = nullptr;
    for (wfa_pending &p : d->pending) {
        slot_release(&p);
    }
    if (!d->registered[0]) {
        qnb_error e = conmon_client_register_control_messages(g_block.client, on_request_done, &request,
                                                              message_handler_control);
        if (e != QNB_ERR_SUCCESS) {
            return e;
        }
        slot_keep(&d->pending[0], request);
    }
    const uint16_t monitoring[k_registrations - 1][2] = {{2, 0}, {2, 1}, {3, 0}, {3, 1}, {4, 0}};
    for (unsigned i = 0; i < k_registrations - 1; i++) {
        if (d->registered[i + 1]) {
            continue;
        }
        conmon_message_handler_fn handler = monitoring[i][0] == 4 ? monitoring_handler : status_handler;
        qnb_error e = conmon_client_register_monitoring_messages(g_block.client, on_request_done, &request,
                                                                 monitoring[i][0], monitoring[i][1], handler);
        if (e != QNB_ERR_SUCCESS) {
            for (wfa_pending &p : d->pending) {
                slot_release(&p);
            }
            return e;
        }
        slot_keep(&d->pending[i + 1], request);
    }
    return QNB_ERR_SUCCESS;
}

// The server answered a request of the start-up as if it did not know this link (it restarted or
// forgot it): no registration or subscription can succeed on it.
bool link_unknown(const wfa_pending *slots, unsigned count)
{
    for (unsigned i = 0; i < count; i++) {
        if (slots[i].result == QNB_ERR_INVALIDSTATE) {
            return true;
        }
    }
    return false;
}

// Gives the link up and connects again from the start. A server that refused the link (it answered
// as if it did not know it, or its port refuses) counts as one that refuses the Connect: browsing
// waits for it no longer, and the next Connect goes out after the same pause.
void connect_again(init_data *d, bool refused)
{
    for (wfa_pending &p : d->pending) {
        slot_release(&p);
    }
    conmon_client_disconnect(g_block.client);
    drop_hooks();
    forget_slots();
    d->connect_started = 0;
    d->state = 0;
    if (refused) {
        wfa_log(QNB_LOG_NOTICE, "conmon: the local server refused the link, trying again");
        g_block.server_refused = true;
        wfa_pause(k_connect_pause_ms);
    }
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
                g_block.server_refused = true;
                wfa_pause(k_connect_pause_ms);
                return 0;
            }
            slot_keep(&d->pending[0], request);
            d->start = wfa_time_now();
            d->connect_started = 1;
            // A new link registers everything, and subscribes every device again.
            std::memset(d->registered, 0, sizeof d->registered);
            forget_names();
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
            g_block.server_refused = false;
            g_block.startup_progress++;
            d->state = 2;
        } else if (elapsed > k_wait_seconds) {
            connect_again(d, false);
        }
        return 0;
    case 2: {
        qnb_error e = init_register(d);
        if (port_refused(e)) {
            connect_again(d, true);
            return 0;
        }
        if (e != QNB_ERR_SUCCESS) {
            wfa_log(QNB_LOG_WARNING, "conmon: registration failed, trying again");
            wfa_pause(k_register_pause_ms);
            return 0;
        }
        d->start = wfa_time_now();
        d->state = 3;
        return 0;
    }
    case 3:
        // A refused or timed-out registration waits for the fall-back like an unanswered one.
        if (!any_pending(d->pending, k_registrations) && !any_failed(d->pending, k_registrations)) {
            g_block.startup_progress++;
            d->state = 4;
        } else if (link_unknown(d->pending, k_registrations)) {
            connect_again(d, true);
        } else if (elapsed > k_wait_seconds) {
            for (unsigned i = 0; i < k_registrations; i++) {
                const bool confirmed = !slot_live(d->pending[i]) && d->pending[i].result == QNB_ERR_SUCCESS;
                if (confirmed && !d->registered[i]) {
                    g_block.startup_progress++;
                }
                d->registered[i] = d->registered[i] || confirmed;
            }
            for (wfa_pending &p : d->pending) {
                slot_release(&p);
            }
            d->state = 2;
        }
        return 0;
    case 4: {
        conmon_request *request = nullptr;
        qnb_error e = conmon_client_subscribe_global(client, on_request_done, &request, CONMON_CHANNEL_STATUS);
        if (port_refused(e)) {
            connect_again(d, true);
            return 0;
        }
        if (e != QNB_ERR_SUCCESS) {
            return 0;
        }
        slot_keep(&d->pending[0], request);
        d->start = wfa_time_now();
        d->state = 5;
        return 0;
    }
    case 5:
        if (!slot_live(d->pending[0]) && conmon_client_get_subscription_flag(client, CONMON_CHANNEL_STATUS) == 1) {
            g_block.startup_progress++;
            d->state = 6;
        } else if (link_unknown(d->pending, 1)) {
            connect_again(d, true);
        } else if (elapsed > k_wait_seconds) {
            // A Subscribe or its answer lost on the way says nothing about the registrations the
            // server confirmed: only the subscription is asked for again. Refused, it is asked for
            // after registering everything again.
            const bool lost = slot_live(d->pending[0]) || d->pending[0].result == QNB_ERR_TIMEDOUT;
            slot_release(&d->pending[0]);
            if (lost) {
                d->state = 4;
            } else {
                std::memset(d->registered, 0, sizeof d->registered);
                d->state = 2;
            }
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

} // namespace

namespace conmon_driver {

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
// start, registrations and subscription included, and the driver is as at its first start-up: not
// ready, so that browsing asked meanwhile waits for the link. The device table stays: the queries
// under way hold until the link is back and then go on (query_run), the questions start afresh,
// and every device is subscribed again (the watch).
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
    forget_slots();
    settle_pmas(true);
    g_block.ready = false;
    g_block.velto_ready = false;
    renew_questions_of(nullptr);
    if (start_init_task() == nullptr) {
        wfa_log(QNB_LOG_ERROR, "conmon: no memory for the start-up");
    }
}

void startup_refused()
{
    if (g_block.init_task != nullptr) {
        connect_again(data_of<init_data>(g_block.init_task), true);
    }
}

} // namespace conmon_driver

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
        g_block.server_refused = lost == QNB_ERR_CONNREFUSED || lost == QNB_ERR_CONNRESET;
        conmon_client_disconnect(client);
        drop_hooks();
        forget_slots();
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
