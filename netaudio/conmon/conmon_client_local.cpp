#include "netaudio/conmon/conmon_client_local.h"

#include <cstdlib>
#include <cstring>

#include "netaudio/conmon/conmon_client_private.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"

namespace {

const qnb_timeval k_connecting_timeout = {2, 0};
const qnb_timeval k_reconnect_timeout = {5, 0};
const qnb_timeval k_connected_timeout = {10, 0};
const qnb_timeval k_keepalive_interval = {3, 0};
const qnb_timeval k_unarmed = {0, 0};

qnb_logger *log_of(const conmon_client_local *link)
{
    return link && link->env ? link->env->logger : nullptr;
}

bool armed(qnb_timeval t)
{
    return t.tv_sec != 0 || t.tv_usec != 0;
}

qnb_event_loop *loop_of(const conmon_client_local *link)
{
    return link->env ? link->env->event_loop : nullptr;
}

void arm(conmon_client_local *link, qnb_timeval *deadline, qnb_timeval interval, const char *what)
{
    *deadline = conmon_time_add(conmon_time_now(), interval);
    qnb_timer *timer = deadline == &link->next_keepalive ? link->keepalive_timer : link->connection_timer;
    if (timer) {
        qnb_timer_set_expiry(timer, deadline, nullptr);
        qnb_log(log_of(link), QNB_LOG_DEBUG, "%s: finished (updated recurring timer to %lu.%06lu)\n", __func__,
                (unsigned long)deadline->tv_sec, (unsigned long)deadline->tv_usec);
        return;
    }
    qnb_log(log_of(link), QNB_LOG_DEBUG, "%s: finished (next %s is now %lu.%06lu\n", __func__, what,
            (unsigned long)deadline->tv_sec, (unsigned long)deadline->tv_usec);
}

// Event-loop mode. A timer whose deadline was disarmed or moved meanwhile does nothing.
void on_keepalive_timer(qnb_timer *, void *context)
{
    conmon_client_local *link = static_cast<conmon_client_local *>(context);
    if (!conmon_time_passed(link->next_keepalive, conmon_time_now()))
        return;
    if (link->state != CONMON_LOCAL_CONNECTED) {
        link->next_keepalive = qnb_timeval{0, 0};
        qnb_log(log_of(link), QNB_LOG_DEBUG, "%s: finished (not connected)\n", __func__);
        return;
    }
    conmon_client_local_send_keepalive(link);
}

void on_connection_timer(qnb_timer *, void *context)
{
    conmon_client_local *link = static_cast<conmon_client_local *>(context);
    if (!conmon_time_passed(link->next_connection_timeout, conmon_time_now()))
        return;
    qnb_log(log_of(link), QNB_LOG_NOTICE, "%s: connection timed out\n", __func__);
    conmon_client_local_process_connection_timeout(link);
}

void on_socket_readable(qnb_event_loop *, int, unsigned, void *user_data)
{
    conmon_client_local *link = static_cast<conmon_client_local *>(user_data);
    conmon_client_read_local(link->client);
}

void conmon_client_local_to_state_inner(conmon_client_local *link, int state, const char *operation, const char *reason)
{
    int old = link->state;
    if (link->auto_reconnect) {
        link->next_keepalive = k_unarmed;
        link->next_connection_timeout = k_unarmed;
    }
    link->state = state;
    qnb_log(log_of(link), QNB_LOG_INFO, "%s(%s): %s->%s (%s)\n", __func__, operation, conmon_local_state_name(old),
            conmon_local_state_name(state), reason ? reason : "???");
    if (link->auto_reconnect) {
        switch (state) {
        case CONMON_LOCAL_CONNECTING: link->connection_timeout_interval = k_connecting_timeout; break;
        case CONMON_LOCAL_RECONNECT_PENDING: link->connection_timeout_interval = k_reconnect_timeout; break;
        case CONMON_LOCAL_CONNECTED:
            link->connection_timeout_interval = k_connected_timeout;
            link->keepalive_interval = k_keepalive_interval;
            arm(link, &link->next_keepalive, link->keepalive_interval, "keepalive");
            break;
        default: return;
        }
        arm(link, &link->next_connection_timeout, link->connection_timeout_interval, "connection timeout");
    } else if (state == CONMON_LOCAL_CONNECTED) {
        conmon_client_update_connection_flags(link->client);
    }
}

void close_socket(conmon_client_local *link, bool send_disconnect)
{
    if (link->sock == QNB_SOCKET_INVALID)
        return;
    if (loop_of(link))
        qnb_event_loop_set_socket(loop_of(link), link->sock, QNB_EVENT_LOOP_SET_READ, nullptr, nullptr,
                                  QNB_EVENT_LOOP_CHANGE_ONLY);
    if (send_disconnect) {
        uint8_t buffer[CONMON_LOCAL_HEAD_SIZE];
        size_t length = 0;
        conmon_local_build_empty(buffer, sizeof buffer, link->client->config.version,
                                 conmon_client_local_take_request_id(link), CONMON_LOCAL_DISCONNECT, &length);
        qnb_socket_send(link->sock, buffer, &length);
    }
    qnb_socket_close(&link->sock);
}

void free_inflight(conmon_client_local *link)
{
    std::memset(&link->inflight, 0, sizeof link->inflight);
}

// Frees the in-flight slot, then tells its callback the result.
void finish_inflight(conmon_client_local *link, qnb_error result)
{
    conmon_request_fn callback = link->inflight.callback;
    bool was_in_use = link->inflight.in_use != 0;
    free_inflight(link);
    if (was_in_use && callback)
        callback(link->client, &link->inflight, result);
}

qnb_error send_buffer(conmon_client_local *link, const uint8_t *data, size_t length)
{
    size_t sent = length;
    qnb_error e = qnb_socket_send(link->sock, data, &sent);
    if (!e && sent != length)
        e = QNB_ERR_MSGSIZE;
    return e;
}

qnb_error send_connect(conmon_client_local *link, conmon_request_fn callback)
{
    if (link->inflight.in_use)
        return QNB_ERR_INVALIDSTATE;
    conmon_client *client = link->client;
    uint16_t id = conmon_client_local_take_request_id(link);
    size_t length = 0;
    qnb_error e = conmon_local_build_connect(client->send_buffer, sizeof client->send_buffer, client->config.version,
                                             id, client->config.name, link->auto_reconnect != 0, &length);
    if (!e)
        e = send_buffer(link, client->send_buffer, length);
    if (e)
        return e;
    conmon_client_local_rearm_keepalive(link);
    link->inflight.in_use = 1;
    link->inflight.kind = 1;
    link->inflight.request_id = id;
    link->inflight.opcode = CONMON_LOCAL_CONNECT;
    link->inflight.callback = callback;
    return QNB_ERR_SUCCESS;
}

// Closes the link after an error or time-out: no Disconnect for a refused socket.
void drop_link(conmon_client_local *link, bool send_disconnect)
{
    close_socket(link, send_disconnect);
    conmon_client_fire_sockets_changed(link->client);
    conmon_client_reset_connection(link->client);
}

// A connect that failed or a link that went silent: auto-reconnect waits to try again, a manual
// connection ends and its in-flight Connect hears `result`.
void abandon_link(conmon_client_local *link, bool send_disconnect, qnb_error result, const char *operation)
{
    drop_link(link, send_disconnect);
    if (link->auto_reconnect) {
        free_inflight(link);
        conmon_client_local_to_state_inner(link, CONMON_LOCAL_RECONNECT_PENDING, operation, "auto-connection failed");
    } else {
        conmon_client_local_to_state_inner(link, CONMON_LOCAL_NO_CONNECTION, operation,
                                           "manual connection disconnected");
        finish_inflight(link, result);
    }
    conmon_client_update_connection_flags(link->client);
}

} // namespace

qnb_timeval conmon_time_now()
{
    qnb_timeval t = {0, 0};
    qnb_time_now(&t);
    return t;
}

qnb_timeval conmon_time_add(qnb_timeval t, qnb_timeval interval)
{
    uint64_t usec = (uint64_t)t.tv_usec + interval.tv_usec;
    qnb_timeval r;
    r.tv_sec = t.tv_sec + interval.tv_sec + (uint32_t)(usec / 1000000u);
    r.tv_usec = (uint32_t)(usec % 1000000u);
    return r;
}

bool conmon_time_before(qnb_timeval a, qnb_timeval b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

bool conmon_time_passed(qnb_timeval deadline, qnb_timeval t)
{
    return armed(deadline) && !conmon_time_before(t, deadline);
}

qnb_error conmon_client_local_new(qnb_env *env, conmon_client *client, conmon_client_local **out)
{
    if (!client || !out)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    conmon_client_local *link = static_cast<conmon_client_local *>(calloc(1, sizeof(conmon_client_local)));
    if (!link)
        return QNB_ERR_NOMEMORY;
    link->env = env;
    link->client = client;
    link->sock = QNB_SOCKET_INVALID;
    link->state = CONMON_LOCAL_NO_CONNECTION;
    link->next_request_id = 1;
    if (loop_of(link)) {
        qnb_error e = qnb_timer_new_idle(loop_of(link), on_keepalive_timer, link, &link->keepalive_timer);
        if (!e)
            e = qnb_timer_new_idle(loop_of(link), on_connection_timer, link, &link->connection_timer);
        if (e) {
            conmon_client_local_delete(link);
            return e;
        }
    }
    *out = link;
    return QNB_ERR_SUCCESS;
}

void conmon_client_local_delete(conmon_client_local *link)
{
    if (!link)
        return;
    close_socket(link, false);
    if (link->keepalive_timer)
        qnb_timer_delete(link->keepalive_timer);
    if (link->connection_timer)
        qnb_timer_delete(link->connection_timer);
    free(link);
}

void conmon_client_local_set_auto_reconnect(conmon_client_local *link, int enabled)
{
    if (link)
        link->auto_reconnect = enabled ? 1 : 0;
}

uint16_t conmon_client_local_take_request_id(conmon_client_local *link)
{
    uint16_t id = link->next_request_id;
    link->next_request_id = (uint16_t)(link->next_request_id + 1);
    if (link->next_request_id == 0)
        link->next_request_id = 1;
    if (id == 0)
        id = conmon_client_local_take_request_id(link);
    return id;
}

qnb_error conmon_client_local_open_socket(conmon_client_local *link, bool reconnecting)
{
    if (link->sock != QNB_SOCKET_INVALID) {
        qnb_log(log_of(link), QNB_LOG_WARNING, "%s: Already connected\n", __func__);
        return QNB_ERR_ISCONN;
    }
    qnb_error e = qnb_socket_open_connected(&link->sock, &link->client->config.server);
    if (e) {
        qnb_log(log_of(link), QNB_LOG_ERROR, "%s: Error initialising socket\n", __func__);
        link->sock = QNB_SOCKET_INVALID;
        return e;
    }
    e = qnb_socket_set_nonblocking(link->sock, 0);
    if (e) {
        qnb_log(log_of(link), QNB_LOG_ERROR, "%s: Could not set conmon socket %d to non-blocking\n", __func__,
                link->sock);
        qnb_socket_close(&link->sock);
        return e;
    }
    if (loop_of(link)) {
        e = qnb_event_loop_set_socket(loop_of(link), link->sock, QNB_EVENT_LOOP_SET_READ, on_socket_readable, link,
                                      QNB_EVENT_LOOP_ADD_ONLY);
        if (e) {
            qnb_log(log_of(link), QNB_LOG_ERROR, "%s: Error adding socket to the event loop: %s\n", __func__,
                    conmon_error_text(e));
            qnb_socket_close(&link->sock);
        }
        return e;
    }
    qnb_log(log_of(link), QNB_LOG_NOTICE, "%s: No event loop in env, assuming application is managing sockets\n",
            __func__);
    if (reconnecting)
        conmon_client_fire_sockets_changed(link->client);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_client_local_connect(conmon_client_local *link, conmon_request_fn callback)
{
    if (!link)
        return QNB_ERR_INVALIDPARAMETER;
    if (link->auto_reconnect) {
        qnb_log(log_of(link), QNB_LOG_WARNING, "%s: Invalid state auto-reconnect enabled\n", __func__);
        return QNB_ERR_INVALIDSTATE;
    }
    if (link->state != CONMON_LOCAL_NO_CONNECTION) {
        qnb_log(log_of(link), QNB_LOG_WARNING, "%s: Invalid state (Already connecting / connected)\n", __func__);
        return QNB_ERR_INVALIDSTATE;
    }
    qnb_error e = conmon_client_prepare(link->client);
    if (e)
        return e;
    e = conmon_client_local_open_socket(link, false);
    if (e)
        return e;
    e = send_connect(link, callback);
    if (e) {
        qnb_log(log_of(link), QNB_LOG_ERROR, "%s: error sending connect: %s\n", __func__, conmon_error_text(e));
        close_socket(link, false);
        return e;
    }
    conmon_client_local_to_state_inner(link, CONMON_LOCAL_CONNECTING, __func__, "Connecting");
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_client_local_disconnect(conmon_client_local *link)
{
    if (!link)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log(log_of(link), QNB_LOG_INFO, "%s: disconnecting\n", __func__);
    close_socket(link, true);
    conmon_client_reset_connection(link->client);
    conmon_client_local_to_state_inner(
        link, link->auto_reconnect ? CONMON_LOCAL_RECONNECT_PENDING : CONMON_LOCAL_NO_CONNECTION, __func__,
        link->auto_reconnect ? "auto-connection disconnected" : "manual connection disconnected");
    free_inflight(link);
    if (link->auto_reconnect) {
        conmon_client_local_to_state_inner(link, CONMON_LOCAL_NO_CONNECTION, __func__, "disabling auto-connection");
        link->auto_reconnect = 0;
        link->next_keepalive = k_unarmed;
        link->next_connection_timeout = k_unarmed;
    }
    conmon_client_update_connection_flags(link->client);
    return QNB_ERR_SUCCESS;
}

void conmon_client_local_abort_connect(conmon_client_local *link)
{
    if (!link || link->auto_reconnect)
        return;
    close_socket(link, true);
    conmon_client_reset_connection(link->client);
    conmon_client_local_to_state_inner(link, CONMON_LOCAL_NO_CONNECTION, __func__, "manual connection disconnected");
    free_inflight(link);
    conmon_client_update_connection_flags(link->client);
}

qnb_error conmon_client_local_send_request(conmon_client_local *link, size_t length, conmon_request_fn callback,
                                           conmon_request **out_request)
{
    if (out_request)
        *out_request = nullptr;
    if (link->state == CONMON_LOCAL_NO_CONNECTION || link->sock == QNB_SOCKET_INVALID)
        return QNB_ERR_NOTCONN;
    conmon_client *client = link->client;
    uint8_t *buffer = client->send_buffer;
    conmon_local_head head;
    qnb_error e = conmon_local_read_head(buffer, length, &head);
    if (e)
        return e;
    if (!callback && !out_request) {
        if (head.request_id == 0)
            head.request_id = conmon_client_local_take_request_id(link);
        if (client->connection.server_flags & 1)
            head.kind |= CONMON_KIND_FLAGS;
        conmon_local_write_head(buffer, &head);
        e = send_buffer(link, buffer, length);
        if (!e)
            conmon_client_local_rearm_keepalive(link);
        return e;
    }
    // The slot first: a request that the full table refuses takes no request id, so that callers
    // trying again pass after pass do not run through the 16-bit ids while answers are outstanding.
    conmon_request *slot = conmon_client_take_request(client);
    if (!slot)
        return QNB_ERR_NOBUFS;
    if (head.request_id == 0)
        head.request_id = conmon_client_local_take_request_id(link);
    conmon_local_write_head(buffer, &head);
    e = send_buffer(link, buffer, length);
    if (e) {
        conmon_client_free_request(client, slot);
        return e;
    }
    conmon_client_local_rearm_keepalive(link);
    slot->kind = 1;
    slot->request_id = head.request_id;
    slot->opcode = head.opcode;
    slot->callback = callback;
    slot->deadline = conmon_time_add(conmon_time_now(), qnb_timeval{CONMON_REQUEST_TIMEOUT, 0});
    conmon_client_rearm_request_timer(client);
    if (out_request)
        *out_request = slot;
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_client_local_send_keepalive(conmon_client_local *link)
{
    if (!link || link->sock == QNB_SOCKET_INVALID)
        return QNB_ERR_NOTCONN;
    free_inflight(link);
    uint16_t id = conmon_client_local_take_request_id(link);
    uint8_t buffer[CONMON_LOCAL_HEAD_SIZE];
    size_t length = 0;
    conmon_local_build_empty(buffer, sizeof buffer, link->client->config.version, id, CONMON_LOCAL_KEEPALIVE, &length);
    qnb_error e = send_buffer(link, buffer, length);
    if (e) {
        qnb_log(log_of(link), QNB_LOG_WARNING, "%s: error sending keepalive message: %s\n", __func__,
                conmon_error_text(e));
        return e;
    }
    link->inflight.in_use = 1;
    link->inflight.kind = 1;
    link->inflight.request_id = id;
    link->inflight.opcode = CONMON_LOCAL_KEEPALIVE;
    conmon_client_local_rearm_keepalive(link);
    return QNB_ERR_SUCCESS;
}

qnb_error conmon_client_local_on_connect_response(conmon_client_local *link, conmon_request *slot, const uint8_t *data,
                                                  size_t size)
{
    conmon_client *client = link->client;
    conmon_local_head head;
    qnb_error e = conmon_local_read_head(data, size, &head);
    if (e)
        return e;
    unsigned kind = head.kind & CONMON_KIND_MASK;

    if (kind == CONMON_KIND_INVALID_SIZE && client->config.version >= 0x1400 && head.version < 0x1400 &&
        head.version >= CONMON_LOCAL_VERSION_MIN) {
        qnb_log(log_of(link), QNB_LOG_NOTICE, "%s: server version 0x%04x is older, connecting again as 0x%04x\n",
                __func__, head.version, head.version);
        conmon_request_fn callback = link->inflight.callback;
        client->config.version = head.version;
        free_inflight(link);
        e = send_connect(link, callback);
        if (!e)
            return QNB_ERR_SUCCESS;
        link->inflight.callback = callback;
        link->inflight.in_use = 1;
        finish_inflight(link, e);
        return e;
    }

    qnb_error result = conmon_local_kind_error(head.kind);
    if (kind == CONMON_KIND_RESPONSE) {
        if (slot != &link->inflight) {
            qnb_log(log_of(link), QNB_LOG_WARNING, "%s: connection handle mismatch, ignoring message!\n", __func__);
            return QNB_ERR_INVALIDDATA;
        }
        conmon_connection_data data_read;
        e = conmon_local_read_connect_response(data, size, client->config.version, &data_read);
        if (e) {
            result = e;
            kind = CONMON_KIND_INVALID_DATA;
        } else {
            conmon_client_on_connected(client, &data_read);
        }
    }

    if (!link->auto_reconnect) {
        if (kind == CONMON_KIND_RESPONSE)
            conmon_client_local_to_state_inner(link, CONMON_LOCAL_CONNECTED, __func__, "manual connection completed");
        finish_inflight(link, result);
    } else {
        free_inflight(link);
        if (kind == CONMON_KIND_RESPONSE)
            conmon_client_local_to_state_inner(link, CONMON_LOCAL_CONNECTED, __func__, "auto-connection completed");
        else
            conmon_client_local_to_state_inner(link, CONMON_LOCAL_RECONNECT_PENDING, __func__,
                                               "auto-connection failed");
        conmon_client_update_connection_flags(client);
    }
    return result;
}

qnb_error conmon_client_local_on_socket_error(conmon_client_local *link, qnb_error error)
{
    bool refused = error == QNB_ERR_CONNREFUSED || error == QNB_ERR_CONNRESET;
    if (refused && link->state == CONMON_LOCAL_CONNECTING) {
        qnb_log(log_of(link), QNB_LOG_NOTICE,
                "%s: Got a CONNREFUSED while waiting for a connect response, aborting connect\n", __func__);
        abandon_link(link, false, error, __func__);
        return QNB_ERR_SUCCESS;
    }
    if (refused && link->state == CONMON_LOCAL_CONNECTED && link->auto_reconnect) {
        drop_link(link, false);
        free_inflight(link);
        conmon_client_local_to_state_inner(link, CONMON_LOCAL_RECONNECT_PENDING, __func__,
                                           "auto-connection disconnected");
        conmon_client_update_connection_flags(link->client);
        return QNB_ERR_SUCCESS;
    }
    qnb_log(log_of(link), QNB_LOG_ERROR, "%s: Error reading local socket: %s\n", __func__, conmon_error_text(error));
    return error;
}

void conmon_client_local_rearm_connection_timeout(conmon_client_local *link)
{
    if (!link->auto_reconnect) {
        qnb_log(log_of(link), QNB_LOG_VERBOSE, "%s: finished (manually connected)\n", __func__);
        return;
    }
    if (link->state != CONMON_LOCAL_NO_CONNECTION)
        arm(link, &link->next_connection_timeout, link->connection_timeout_interval, "connection timeout");
}

void conmon_client_local_rearm_keepalive(conmon_client_local *link)
{
    if (!link->auto_reconnect) {
        qnb_log(log_of(link), QNB_LOG_VERBOSE, "%s: finished (manually connected)\n", __func__);
        return;
    }
    if (link->state == CONMON_LOCAL_CONNECTED)
        arm(link, &link->next_keepalive, link->keepalive_interval, "keepalive");
}

qnb_error conmon_client_local_process_connection_timeout(conmon_client_local *link)
{
    switch (link->state) {
    case CONMON_LOCAL_CONNECTING:
    case CONMON_LOCAL_CONNECTED:
        abandon_link(link, true, QNB_ERR_TIMEDOUT, __func__);
        return QNB_ERR_SUCCESS;
    case CONMON_LOCAL_RECONNECT_PENDING: {
        qnb_error e = conmon_client_prepare(link->client);
        if (!e)
            e = conmon_client_local_open_socket(link, true);
        if (!e) {
            free_inflight(link);
            e = send_connect(link, nullptr);
            if (e)
                close_socket(link, false);
        }
        if (e) {
            // Try again after the next interval.
            arm(link, &link->next_connection_timeout, link->connection_timeout_interval, "connection timeout");
            return e;
        }
        conmon_client_local_to_state_inner(link, CONMON_LOCAL_CONNECTING, __func__, "Connecting");
        return QNB_ERR_SUCCESS;
    }
    default:
        qnb_log(log_of(link), QNB_LOG_WARNING, "%s: Ignoring event in unexpected state %s\n", __func__,
                conmon_local_state_name(link->state));
        link->next_connection_timeout = k_unarmed;
        return QNB_ERR_SUCCESS;
    }
}

void conmon_client_local_process_actions(conmon_client_local *link)
{
    if (!link || !link->auto_reconnect)
        return;
    qnb_timeval t = conmon_time_now();
    if (conmon_time_passed(link->next_connection_timeout, t)) {
        qnb_log(log_of(link), QNB_LOG_DEBUG, "%s: time to process connection timeout\n", __func__);
        conmon_client_local_process_connection_timeout(link);
    }
    t = conmon_time_now();
    if (conmon_time_passed(link->next_keepalive, t)) {
        qnb_log(log_of(link), QNB_LOG_DEBUG, "%s: time to send keepalive\n", __func__);
        if (link->state == CONMON_LOCAL_CONNECTED)
            conmon_client_local_send_keepalive(link);
        else
            link->next_keepalive = k_unarmed;
    }
}

qnb_timeval conmon_client_local_earliest_deadline(const conmon_client_local *link)
{
    if (!link)
        return k_unarmed;
    qnb_timeval a = link->next_keepalive, b = link->next_connection_timeout;
    if (!armed(a))
        return b;
    if (!armed(b))
        return a;
    return conmon_time_before(a, b) ? a : b;
}
