#include "netaudio/messaging/wgcp2_client.h"

#include <cstring>
#include <new>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"
#include "netaudio/platform/qnb_printf.h"

namespace {

enum {
    FLAG_SERVER_ADDRESS = 1,
    FLAG_KEEPALIVES = 2
};

enum { MAX_SLOTS = 1 };

} // namespace

struct wgcp2_client {
    qnb_env *env;
    bool loop_mode;
    unsigned flags;
    bool handshake;
    bool wait_for_disconnect;
    wgcp_client_identity identity;
    void *context;
    int state;
    int kind;
    qnb_socket sock;
    qnb_sockaddr server;
    uint16_t next_seqnum;
    qnb_timeval send_interval;
    qnb_timeval receive_timeout;
    qnb_timeval last_send;
    qnb_timeval last_receive;
    qnb_timeval next_deadline;
    qnb_timer *send_timer;    // loop mode
    qnb_timer *receive_timer; // loop mode; freed by the loop once it has fired
    wgcp_message keepalive;
    bool sleeping; // the machine sleeps or is waking (wgcp2_client_set_sleeping)
    wgcp2_callback_fn callback;
    unsigned slot_count;
    wgcp2_request slots[MAX_SLOTS];
    wgcp_message receive;
};

namespace {

qnb_logger *logger_of(const wgcp2_client *c)
{
    return c->env ? c->env->logger : nullptr;
}

uint64_t to_micros(const qnb_timeval &t)
{
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + t.tv_usec;
}

qnb_timeval from_micros(uint64_t us)
{
    qnb_timeval t;
    t.tv_sec = static_cast<uint32_t>(us / 1000000u);
    t.tv_usec = static_cast<uint32_t>(us % 1000000u);
    return t;
}

qnb_timeval now()
{
    qnb_timeval t{0, 0};
    qnb_time_now(&t);
    return t;
}

qnb_event_loop *loop_of(const wgcp2_client *c)
{
    return c->loop_mode && c->env ? c->env->event_loop : nullptr;
}

void notify(wgcp2_client *c, uint32_t flags, wgcp2_request *request, wgcp_message *message, qnb_error error)
{
    if (!c->callback)
        return;
    wgcp2_event event;
    event.flags = flags;
    event.request = request;
    event.message = message;
    event.error = error;
    c->callback(c, &event);
}

void identity_text(const wgcp_client_identity &id, char *buf, size_t size)
{
    qnb_snprintf(buf, size, "%02x%02x%02x%02x%02x%02x%02x%02x:%d", id.id[0], id.id[1], id.id[2], id.id[3],
                 id.id[4], id.id[5], id.id[6], id.id[7], id.port);
}

void write_client_fields(wgcp2_client *c)
{
    if (c->kind != WGCP_KIND_EXTENDED)
        return;
    for (unsigned i = 0; i < c->slot_count; ++i)
        wgcp_header_set_client(c->slots[i].message.packet, &c->identity);
    if (c->flags & FLAG_KEEPALIVES)
        wgcp_header_set_client(c->keepalive.packet, &c->identity);
}

// ---- loop mode ----

qnb_timeval lateness_of(const qnb_timer *timer)
{
    const qnb_timeval *expiry = qnb_timer_get_expiry(timer);
    uint64_t t = to_micros(now());
    uint64_t due = expiry ? to_micros(*expiry) : t;
    return from_micros(t > due ? t - due : 0);
}

void server_disappeared(wgcp2_client *c, const char *fn)
{
    qnb_log(logger_of(c), QNB_LOG_ERROR, "%s: server has disappeared, disconnecting!\n", fn);
    c->state = WGCP2_STATE_DISCONNECTED;
    notify(c, WGCP2_EVENT_STATE_CHANGED | WGCP2_EVENT_CONNECTION_LOST, nullptr, nullptr, QNB_ERR_TIMEDOUT);
}

// The keepalive timers act only while connected, as the application-mode check does: a client that
// is not connected neither sends keepalives nor loses a connection it does not have. While the
// machine sleeps or wakes, keepalives still go out; only the receive time-out is held off.
void keepalive_send_timer(qnb_timer *timer, void *context)
{
    static const char *const fn = "wgcp2_client_keepalive_send_timer";
    wgcp2_client *c = static_cast<wgcp2_client *>(context);
    if (c->state != WGCP2_STATE_CONNECTED)
        return;
    qnb_timeval late = lateness_of(timer);
    if (to_micros(late) > to_micros(c->send_interval)) {
        qnb_log(logger_of(c), QNB_LOG_DEBUG,
                "%s: keepalive transmit interval expiry was excessively delayed:%d.%d > %d.%d. NOT firing.\n", fn,
                static_cast<int>(late.tv_sec), static_cast<int>(late.tv_usec), static_cast<int>(c->send_interval.tv_sec),
                static_cast<int>(c->send_interval.tv_usec));
        return;
    }
    qnb_log(logger_of(c), QNB_LOG_DEBUG, "%s: keepalive interval has expired, sending keepalive!\n", fn);
    wgcp2_client_send_message(c, &c->keepalive);
}

void keepalive_recv_timer(qnb_timer *timer, void *context)
{
    static const char *const fn = "wgcp2_client_keepalive_recv_timer";
    wgcp2_client *c = static_cast<wgcp2_client *>(context);
    qnb_logger *log = logger_of(c);
    qnb_log(log, QNB_LOG_INFO, "%s: starting.\n", fn);
    c->receive_timer = nullptr; // a one-shot: the loop frees it after this call
    if (c->state != WGCP2_STATE_CONNECTED)
        return; // the next server message starts it again
    bool reschedule = false;
    if (c->sleeping) {
        qnb_log(log, QNB_LOG_ERROR, "%s: keepalive timer fired wile sleeping, rescheduling. Not disconnecting.\n", fn);
        reschedule = true;
    } else if (lateness_of(timer).tv_sec >= 6) {
        qnb_log(log, QNB_LOG_ERROR,
                "%s: keepalive timer was excessively delayed and therefore unreliable. Not disconnecting.\n", fn);
        reschedule = true;
    }
    if (!reschedule) {
        server_disappeared(c, fn);
        return;
    }
    qnb_error err = qnb_timer_new_oneshot(qnb_timer_get_loop(timer), keepalive_recv_timer, nullptr, &c->receive_timeout,
                                          c, &c->receive_timer);
    if (err) {
        c->receive_timer = nullptr;
        const char *text = qnb_error_get_text(err);
        qnb_log(log, QNB_LOG_ERROR, "%s: error resetting keepalive, disconnecting: %s\n", fn,
                text ? text : "unknown error");
        server_disappeared(c, fn);
    }
}

// A server message: the receive time-out starts again.
void restart_receive_timer(wgcp2_client *c)
{
    qnb_event_loop *loop = loop_of(c);
    if (!loop)
        return;
    if (c->receive_timer)
        qnb_timer_set_expiry(c->receive_timer, nullptr, &c->receive_timeout);
    else
        qnb_timer_new_oneshot(loop, keepalive_recv_timer, nullptr, &c->receive_timeout, c, &c->receive_timer);
}

void socket_ready(qnb_event_loop *, int, unsigned, void *user_data)
{
    wgcp2_client_process(static_cast<wgcp2_client *>(user_data), nullptr);
}

} // namespace

wgcp2_client *wgcp2_client_new(qnb_env *env, bool loop_mode, int kind, bool with_slot)
{
    if (loop_mode && (!env || !env->event_loop))
        return nullptr;
    if (kind != WGCP_KIND_PLAIN && kind != WGCP_KIND_EXTENDED)
        return nullptr;
    wgcp2_client *c = new (std::nothrow) wgcp2_client();
    if (!c)
        return nullptr;
    c->env = env;
    c->loop_mode = loop_mode;
    c->kind = kind;
    c->sock = QNB_SOCKET_INVALID;
    c->state = WGCP2_STATE_DISCONNECTED;
    wgcp_message_reset(&c->receive, kind);
    wgcp_message_reset(&c->keepalive, kind);
    c->slot_count = with_slot ? 1 : 0;
    for (unsigned i = 0; i < c->slot_count; ++i) {
        wgcp2_request &slot = c->slots[i];
        slot.client = c;
        slot.index = i;
        slot.in_use = false;
        wgcp_message_reset(&slot.message, kind);
        if (kind == WGCP_KIND_EXTENDED)
            wgcp_header_set_client(slot.message.packet, nullptr);
    }
    return c;
}

void wgcp2_client_delete(wgcp2_client *client)
{
    if (!client)
        return;
    // A loop-mode client always leaves the loop, so no callback reaches a freed client.
    if (client->slot_count || client->loop_mode)
        wgcp2_client_close(client);
    delete client;
}

qnb_error wgcp2_client_initialise(wgcp2_client *client, const wgcp_client_identity *identity, qnb_socket sock,
                                  bool handshake, bool wait_for_disconnect, const qnb_sockaddr *server)
{
    if (!client || !qnb_socket_is_valid(sock))
        return QNB_ERR_INVALIDPARAMETER;
    if (qnb_event_loop *loop = loop_of(client)) {
        qnb_error err = qnb_event_loop_set_socket(loop, sock, QNB_EVENT_LOOP_SET_READ, socket_ready, client,
                                                  QNB_EVENT_LOOP_ADD_OR_CHANGE);
        if (err)
            return err;
        if (qnb_socket_is_valid(client->sock) && client->sock != sock)
            qnb_event_loop_set_socket(loop, client->sock, QNB_EVENT_LOOP_SET_READ, nullptr, nullptr,
                                      QNB_EVENT_LOOP_CHANGE_ONLY);
    }
    if (identity) {
        client->identity = *identity;
    } else {
        memset(&client->identity, 0, sizeof client->identity);
        qnb_sockaddr local;
        memset(&local, 0, sizeof local);
        if (qnb_socket_get_name(sock, &local) == QNB_ERR_SUCCESS)
            client->identity.port = qnb_sockaddr_get_port(&local);
    }
    client->sock = sock;
    client->handshake = handshake;
    client->wait_for_disconnect = wait_for_disconnect;
    if (server) {
        client->server = *server;
        client->flags |= FLAG_SERVER_ADDRESS;
    } else {
        qnb_sockaddr_clear(&client->server);
        client->flags &= ~static_cast<unsigned>(FLAG_SERVER_ADDRESS);
    }
    write_client_fields(client);

    char text[40];
    identity_text(client->identity, text, sizeof text);
    qnb_log(logger_of(client), QNB_LOG_DEBUG, "%s: Client id is now %s\n", "wgcp2_client_initialise", text);
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp2_client_set_keepalives(wgcp2_client *client, uint16_t protocol, const qnb_timeval *send_interval,
                                      const qnb_timeval *receive_timeout)
{
    if (!client || !send_interval || !receive_timeout || protocol == 0)
        return QNB_ERR_INVALIDPARAMETER;
    client->flags |= FLAG_KEEPALIVES;
    client->send_interval = *send_interval;
    client->receive_timeout = *receive_timeout;
    wgcp_message_reset(&client->keepalive, client->kind);
    wgcp_message_init_request(&client->keepalive, protocol, WGCP2_OPCODE_KEEPALIVE);
    if (client->kind == WGCP_KIND_EXTENDED)
        wgcp_header_set_client(client->keepalive.packet, &client->identity);
    client->last_send = now();
    client->last_receive = client->last_send;
    if (qnb_event_loop *loop = loop_of(client)) {
        qnb_timer_delete(client->send_timer);
        client->send_timer = nullptr;
        qnb_timer_delete(client->receive_timer);
        client->receive_timer = nullptr;
        qnb_error err = qnb_timer_new_periodic(loop, keepalive_send_timer, nullptr, &client->send_interval, client,
                                               &client->send_timer);
        if (err)
            return err;
        return qnb_timer_new_oneshot(loop, keepalive_recv_timer, nullptr, &client->receive_timeout, client,
                                     &client->receive_timer);
    }
    return QNB_ERR_SUCCESS;
}

void wgcp2_client_set_context(wgcp2_client *client, void *context)
{
    if (client)
        client->context = context;
}

void *wgcp2_client_get_context(const wgcp2_client *client)
{
    return client ? client->context : nullptr;
}

void wgcp2_client_set_callback(wgcp2_client *client, wgcp2_callback_fn callback)
{
    if (client)
        client->callback = callback;
}

int wgcp2_client_get_state(const wgcp2_client *client)
{
    return client ? client->state : WGCP2_STATE_DISCONNECTED;
}

qnb_socket wgcp2_client_get_socket(const wgcp2_client *client)
{
    return client ? client->sock : QNB_SOCKET_INVALID;
}

uint16_t wgcp2_client_get_next_seqnum(const wgcp2_client *client)
{
    return client ? client->next_seqnum : 0;
}

int wgcp2_client_get_kind(const wgcp2_client *client)
{
    return client ? client->kind : 0;
}

void wgcp2_client_set_sleeping(wgcp2_client *client, bool sleeping)
{
    if (client)
        client->sleeping = sleeping;
}

qnb_timeval wgcp2_client_get_next_deadline(const wgcp2_client *client)
{
    return client ? client->next_deadline : qnb_timeval{0, 0};
}

qnb_error wgcp2_client_alloc_request(wgcp2_client *client, wgcp2_request **out)
{
    if (!client || !out)
        return QNB_ERR_INVALIDPARAMETER;
    for (unsigned i = 0; i < client->slot_count; ++i) {
        wgcp2_request &slot = client->slots[i];
        if (!slot.in_use) {
            slot.in_use = true;
            *out = &slot;
            return QNB_ERR_SUCCESS;
        }
    }
    return QNB_ERR_NOBUFS;
}

void wgcp2_client_release_request(wgcp2_request *request)
{
    if (request && request->in_use)
        request->in_use = false;
}

qnb_error wgcp2_client_send_message(wgcp2_client *client, wgcp_message *message)
{
    if (!client || !message)
        return QNB_ERR_INVALIDPARAMETER;
    uint8_t *packet = message->packet;
    uint16_t length = wgcp_header_get_length(packet);
    if (message->header_size == 0 || length < message->header_size || length > WGCP_PACKET_SIZE)
        return QNB_ERR_MSGSIZE;
    uint16_t seqnum = client->next_seqnum;
    qnb_log(logger_of(client), QNB_LOG_DEBUG, "%s: sending message (seqnum=0x%04x, opcode=0x%04x len=0x%04x)\n",
            "wgcp2_client_send_message", seqnum, wgcp_header_get_opcode(packet), static_cast<unsigned>(length));
    wgcp_message_set_seqnum(packet, seqnum);
    client->next_seqnum = static_cast<uint16_t>(seqnum + 1);
    size_t size = length;
    if (client->flags & FLAG_SERVER_ADDRESS)
        return qnb_socket_sendto(client->sock, packet, &size, &client->server);
    return qnb_socket_send(client->sock, packet, &size);
}

namespace {

// The handshake's gate: may a request with `opcode` be sent in `state`?
qnb_error gate(const wgcp2_client *c, uint16_t opcode)
{
    bool control = opcode == WGCP2_OPCODE_CONNECT || opcode == WGCP2_OPCODE_DISCONNECT;
    if (!c->handshake)
        return control ? QNB_ERR_INVALIDPARAMETER : QNB_ERR_SUCCESS;
    switch (c->state) {
    case WGCP2_STATE_DISCONNECTED:
        return opcode == WGCP2_OPCODE_CONNECT ? QNB_ERR_SUCCESS : QNB_ERR_INVALIDSTATE;
    case WGCP2_STATE_CONNECTING:
    case WGCP2_STATE_DISCONNECTING:
        return opcode == WGCP2_OPCODE_DISCONNECT ? QNB_ERR_SUCCESS : QNB_ERR_INVALIDSTATE;
    case WGCP2_STATE_CONNECTED:
        return opcode == WGCP2_OPCODE_CONNECT ? QNB_ERR_INVALIDSTATE : QNB_ERR_SUCCESS;
    default:
        return QNB_ERR_INVALIDSTATE;
    }
}

} // namespace

qnb_error wgcp2_client_send_request(wgcp2_request *request)
{
    if (!request || !request->client || !request->in_use)
        return QNB_ERR_INVALIDPARAMETER;
    wgcp2_client *c = request->client;
    uint16_t opcode = wgcp_header_get_opcode(request->message.packet);
    qnb_error err = gate(c, opcode);
    if (err) {
        wgcp2_client_release_request(request);
        return err;
    }
    err = wgcp2_client_send_message(c, &request->message);
    if (err) {
        if (opcode == WGCP2_OPCODE_DISCONNECT && (err == QNB_ERR_CONNREFUSED || err == QNB_ERR_CONNRESET)) {
            // The server is gone already: the link is down either way.
            c->state = WGCP2_STATE_DISCONNECTED;
            wgcp2_client_release_request(request);
            notify(c, WGCP2_EVENT_STATE_CHANGED, nullptr, nullptr, QNB_ERR_SUCCESS);
            return QNB_ERR_SUCCESS;
        }
        return err;
    }
    if (opcode == WGCP2_OPCODE_CONNECT) {
        c->state = WGCP2_STATE_CONNECTING;
        notify(c, WGCP2_EVENT_STATE_CHANGED, request, nullptr, QNB_ERR_SUCCESS);
    } else if (opcode == WGCP2_OPCODE_DISCONNECT) {
        if (c->wait_for_disconnect) {
            c->state = WGCP2_STATE_DISCONNECTING;
        } else {
            wgcp2_client_release_request(request);
            c->state = WGCP2_STATE_DISCONNECTED;
        }
        notify(c, WGCP2_EVENT_STATE_CHANGED, request, nullptr, QNB_ERR_SUCCESS);
    }
    if (c->flags & FLAG_KEEPALIVES) {
        if (c->send_timer)
            qnb_timer_set_interval(c->send_timer, nullptr, &c->send_interval);
        else
            c->last_send = now();
    }
    return QNB_ERR_SUCCESS;
}

qnb_error wgcp2_client_check_keepalives(wgcp2_client *client)
{
    static const char *const fn = "wgcp2_client_check_keepalives";
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    if (client->sleeping)
        return QNB_ERR_SUCCESS;
    uint64_t t = to_micros(now());
    uint64_t receive_deadline = to_micros(client->last_receive) + to_micros(client->receive_timeout);
    if (receive_deadline < t) {
        qnb_log(logger_of(client), QNB_LOG_ERROR, "%s: server has disappeared, disconnecting!\n", fn);
        client->state = WGCP2_STATE_DISCONNECTED;
        client->next_deadline = qnb_timeval{0, 0};
        notify(client, WGCP2_EVENT_STATE_CHANGED | WGCP2_EVENT_CONNECTION_LOST, nullptr, nullptr, QNB_ERR_TIMEDOUT);
        return QNB_ERR_SUCCESS;
    }
    uint64_t send_deadline = to_micros(client->last_send) + to_micros(client->send_interval);
    if (send_deadline < t) {
        qnb_error err = wgcp2_client_send_message(client, &client->keepalive);
        qnb_log(logger_of(client), QNB_LOG_INFO,
                "%s: keepalive interval has expired, sending keepalive (seqnum=0x%04x)!\n", fn,
                wgcp_header_get_seqnum(client->keepalive.packet));
        if (err)
            return err;
        client->last_send = from_micros(t);
    }
    client->next_deadline = from_micros(receive_deadline < send_deadline ? receive_deadline : send_deadline);
    return QNB_ERR_SUCCESS;
}

namespace {

void handle_response(wgcp2_client *c, wgcp2_request *slot)
{
    wgcp_message *message = &c->receive;
    uint16_t opcode = wgcp_header_get_opcode(message->packet);
    uint16_t status = wgcp_header_get_status(message->packet);
    uint32_t flags = WGCP2_EVENT_RESPONSE;
    if (opcode == WGCP2_OPCODE_CONNECT) {
        if (c->state == WGCP2_STATE_CONNECTING) {
            c->state = status == WGCP_STATUS_RESPONSE ? WGCP2_STATE_CONNECTED : WGCP2_STATE_DISCONNECTED;
            flags |= WGCP2_EVENT_STATE_CHANGED;
        }
    } else if (opcode == WGCP2_OPCODE_DISCONNECT) {
        if (c->state != WGCP2_STATE_DISCONNECTED) {
            c->state = WGCP2_STATE_DISCONNECTED;
            flags |= WGCP2_EVENT_STATE_CHANGED;
        }
    } else if (c->handshake && c->state != WGCP2_STATE_CONNECTED) {
        return; // not connected: the answer is dropped and the request stays open
    }
    // Delivered once, after the slot is free again, so the callback may send the next request.
    wgcp2_client_release_request(slot);
    notify(c, flags, slot, message, QNB_ERR_SUCCESS);
}

} // namespace

qnb_error wgcp2_client_process(wgcp2_client *client, qnb_timeval *next)
{
    static const char *const fn = "wgcp2_client_process";
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_logger *log = logger_of(client);
    qnb_log(log, QNB_LOG_VERBOSE, "%s: starting\n", fn);
    wgcp_message *message = &client->receive;
    for (;;) {
        size_t size = WGCP_PACKET_SIZE;
        qnb_sockaddr source;
        memset(&source, 0, sizeof source);
        qnb_error err;
        if (client->flags & FLAG_SERVER_ADDRESS)
            err = qnb_socket_recvfrom(client->sock, message->packet, &size, &source);
        else
            err = qnb_socket_recv(client->sock, message->packet, &size);

        if (err == QNB_ERR_TIMEDOUT) {
            qnb_log(log, QNB_LOG_VERBOSE, "%s: timed out\n", fn);
            if (next)
                *next = qnb_timeval{0, 0};
            if ((client->flags & FLAG_KEEPALIVES) && !client->loop_mode && client->state == WGCP2_STATE_CONNECTED) {
                err = wgcp2_client_check_keepalives(client);
                if (next)
                    *next = client->next_deadline;
                return err;
            }
            client->next_deadline = qnb_timeval{0, 0};
            return QNB_ERR_SUCCESS;
        }
        if (err == QNB_ERR_CONNRESET) {
            qnb_log(log, QNB_LOG_ERROR, "%s: error recving (CONNRESET): disconnecting\n", fn);
            client->state = WGCP2_STATE_DISCONNECTED;
            client->next_deadline = qnb_timeval{0, 0};
            if (next)
                *next = qnb_timeval{0, 0};
            notify(client, WGCP2_EVENT_STATE_CHANGED, nullptr, nullptr, QNB_ERR_CONNRESET);
            return QNB_ERR_CONNRESET;
        }
        if (err) {
            const char *text = qnb_error_get_text(err);
            qnb_log(log, QNB_LOG_ERROR, "%s: error recving: %s\n", fn, text ? text : "unknown error");
            return err;
        }

        char source_text[QNB_SOCKADDR_TEXT_SIZE] = "";
        if (client->flags & FLAG_SERVER_ADDRESS)
            qnb_sockaddr_to_text(&source, source_text, sizeof source_text);
        qnb_log(log, QNB_LOG_VERBOSE, "%s: read a message (size=%u source=%s\n", fn, static_cast<unsigned>(size),
                source_text);
        if ((client->flags & FLAG_SERVER_ADDRESS) && !qnb_sockaddr_equal(&source, &client->server)) {
            char server_text[QNB_SOCKADDR_TEXT_SIZE] = "";
            qnb_sockaddr_to_text(&client->server, server_text, sizeof server_text);
            qnb_log(log, QNB_LOG_WARNING, "%s: not from server (server=%s address=%s)\n", fn, server_text,
                    source_text);
            continue;
        }
        if (size < message->header_size) {
            qnb_log(log, QNB_LOG_WARNING, "%s: message too small (%u < %u)\n", fn, static_cast<unsigned>(size),
                    static_cast<unsigned>(message->header_size));
            continue;
        }
        uint16_t length = wgcp_header_get_length(message->packet);
        if (length != size) {
            qnb_log(log, QNB_LOG_WARNING, "%s: invalid size in message (msg=%u, recved=%u)\n", fn,
                    static_cast<unsigned>(length), static_cast<unsigned>(size));
            continue;
        }

        uint16_t status = wgcp_header_get_status(message->packet);
        uint16_t seqnum = wgcp_header_get_seqnum(message->packet);
        if ((client->flags & FLAG_KEEPALIVES) && status != WGCP_STATUS_NOT_CONNECTED) {
            qnb_log(log, QNB_LOG_DEBUG, "%s: Got a server message, updating keepalives...\n", fn);
            client->last_receive = now();
            restart_receive_timer(client);
        }
        if (status == WGCP_STATUS_EVENT) {
            if (client->state == WGCP2_STATE_CONNECTED)
                notify(client, WGCP2_EVENT_MESSAGE, nullptr, message, QNB_ERR_SUCCESS);
            continue;
        }
        wgcp2_request *match = nullptr;
        for (unsigned i = 0; i < client->slot_count; ++i) {
            wgcp2_request &slot = client->slots[i];
            if (slot.in_use && wgcp_header_get_seqnum(slot.message.packet) == seqnum) {
                match = &slot;
                break;
            }
        }
        if (match) {
            handle_response(client, match);
            continue;
        }
        if ((client->flags & FLAG_KEEPALIVES) && seqnum == wgcp_header_get_seqnum(client->keepalive.packet)) {
            qnb_log(log, QNB_LOG_VERBOSE, "%s: Got a keepalive response\n", fn);
            continue;
        }
        qnb_log(log, QNB_LOG_INFO, "%s: No active request for non-event message with seqnum 0x%04x: ignoring message\n",
                fn, seqnum);
    }
}

qnb_error wgcp2_client_close(wgcp2_client *client)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    if (qnb_event_loop *loop = loop_of(client)) {
        if (qnb_socket_is_valid(client->sock))
            qnb_event_loop_set_socket(loop, client->sock, QNB_EVENT_LOOP_SET_READ, nullptr, nullptr,
                                      QNB_EVENT_LOOP_CHANGE_ONLY);
        qnb_timer_delete(client->send_timer);
        client->send_timer = nullptr;
        qnb_timer_delete(client->receive_timer);
        client->receive_timer = nullptr;
    }
    client->sock = QNB_SOCKET_INVALID;
    client->next_seqnum = 0;
    return QNB_ERR_SUCCESS;
}
