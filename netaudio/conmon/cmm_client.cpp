#include "netaudio/conmon/cmm_client.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "netaudio/discovery/domain_client.h"
#include "netaudio/messaging/wgcp2_client.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"

struct cmm_client {
    qnb_env *env;
    domain_client *domain; // registered with the environment's domain handler, when it has one
    uint16_t port; // 0 = CMM_DEFAULT_PORT
    qnb_socket sock;
    wgcp2_client *rr;
    void *context;
    cmm_changed_fn callback;
    wgcp2_request *outstanding;
    int connection_state;
    cmm_client_info info;
    cmm_server_version version;
    bool have_options;
    bool have_state;
    cmm_interface_list options;
    cmm_state state;
    cmm_set_config config_record;
};

namespace {

const qnb_timeval k_keepalive_interval = {10, 0};
const qnb_timeval k_receive_timeout = {31, 0};

qnb_logger *logger_of(const cmm_client *c)
{
    return c->env ? c->env->logger : nullptr;
}

const char *error_text(qnb_error err)
{
    const char *text = qnb_error_get_text(err);
    return text ? text : "unknown error";
}

// A UTF-16 name as UTF-8, for log lines.
void wide_to_utf8(const char16_t *src, size_t units, char *dst, size_t size)
{
    size_t out = 0;
    for (size_t i = 0; i < units && src[i]; ++i) {
        uint32_t cp = src[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        char b[4];
        size_t n;
        if (cp < 0x80) {
            b[0] = static_cast<char>(cp);
            n = 1;
        } else if (cp < 0x800) {
            b[0] = static_cast<char>(0xC0 | (cp >> 6));
            b[1] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            b[0] = static_cast<char>(0xE0 | (cp >> 12));
            b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            b[2] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            b[0] = static_cast<char>(0xF0 | (cp >> 18));
            b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            b[3] = static_cast<char>(0x80 | (cp & 0x3F));
            n = 4;
        }
        if (out + n >= size)
            break;
        memcpy(dst + out, b, n);
        out += n;
    }
    if (size)
        dst[out] = '\0';
}

void log_interface(qnb_logger *log, const char *prefix, unsigned index, const cmm_interface &entry)
{
    char name[4 * CMM_INTERFACE_NAME_UNITS];
    wide_to_utf8(entry.name, CMM_INTERFACE_NAME_UNITS, name, sizeof name);
    const uint8_t *m = entry.mac;
    qnb_log(log, QNB_LOG_INFO, "%sInterface %d: %s (%02x:%02x:%02x:%02x:%02x:%02x)\n", prefix, index, name, m[0], m[1],
            m[2], m[3], m[4], m[5]);
}

void log_config(qnb_logger *log, const char *prefix, const cmm_system_config &config)
{
    unsigned count = cmm_config_get_interface_count(&config);
    for (unsigned i = 0; i < count; ++i)
        log_interface(log, prefix, i, config.interfaces[i]);
}

void log_state(qnb_logger *log, const char *prefix, const cmm_state &state)
{
    qnb_log(log, QNB_LOG_INFO, "%sSystem status: %s\n", prefix, cmm_system_status_name(state.status));
    qnb_log(log, QNB_LOG_INFO, "%sDevice Name: %s\n", prefix, state.device_name);
    qnb_log(log, QNB_LOG_INFO, "%sCurrent config:\n", prefix);
    log_config(log, "    ", state.current);
    qnb_log(log, QNB_LOG_INFO, "%sPending config:\n", prefix);
    if (state.status == CMM_SYSTEM_CHANGING)
        log_config(log, "    ", state.pending);
    qnb_log(log, QNB_LOG_INFO, "%sProcesses:\n", prefix);
    unsigned count = cmm_state_get_process_count(&state);
    for (unsigned i = 0; i < count; ++i) {
        const cmm_process &p = state.processes[i];
        qnb_log(log, QNB_LOG_INFO, "%s  %d: %s %d %s\n", prefix, i, p.name, static_cast<int>(p.pid),
                p.lock ? "locked" : "unlocked");
    }
}

void log_set_config(qnb_logger *log, const char *prefix, const cmm_set_config &record)
{
    if (record.flags & CMM_SET_CONFIG) {
        qnb_log(log, QNB_LOG_INFO, "%sConfig:\n", prefix);
        log_config(log, "    ", record.config);
    }
    if (record.flags & CMM_SET_LOCK)
        qnb_log(log, QNB_LOG_INFO, "%sLock: %s\n", prefix, record.lock ? "true" : "false");
}

void set_connection_state(cmm_client *c, int state, uint32_t *changes)
{
    if (c->connection_state == state)
        return;
    qnb_log(logger_of(c), QNB_LOG_DEBUG, "%s: state is now %u (was %u)\n", "_cmm_client_set_connection_state",
            static_cast<unsigned>(state), static_cast<unsigned>(c->connection_state));
    c->connection_state = state;
    *changes |= CMM_CHANGED_CONNECTION;
}

void forget_outstanding(cmm_client *c, uint32_t *changes)
{
    if (!c->outstanding)
        return;
    wgcp2_client_release_request(c->outstanding);
    c->outstanding = nullptr;
    *changes |= CMM_CHANGED_REQUEST;
}

void connection_lost(cmm_client *c, uint32_t *changes)
{
    forget_outstanding(c, changes);
    if (c->have_options) {
        c->have_options = false;
        memset(&c->options, 0, sizeof c->options);
        *changes |= CMM_CHANGED_OPTIONS;
    }
    if (c->have_state) {
        c->have_state = false;
        memset(&c->state, 0, sizeof c->state);
        *changes |= CMM_CHANGED_STATE;
    }
    if (c->info.lock) {
        c->info.lock = 0;
        *changes |= CMM_CHANGED_LOCK;
    }
    c->version.valid = false;
    set_connection_state(c, CMM_CONNECTION_CLOSED, changes);
}

void store_options(cmm_client *c, const cmm_interface_list &options, uint32_t *changes)
{
    if (c->have_options && cmm_interface_list_equal(&c->options, &options))
        return;
    c->options = options;
    c->have_options = true;
    *changes |= CMM_CHANGED_OPTIONS;
}

void store_state(cmm_client *c, const cmm_state &state, uint32_t *changes)
{
    if (!c->have_state || !cmm_state_equal(&c->state, &state)) {
        c->state = state;
        c->have_state = true;
        *changes |= CMM_CHANGED_STATE;
    }
    uint32_t lock = 0;
    unsigned count = cmm_state_get_process_count(&c->state);
    for (unsigned i = 0; i < count; ++i) {
        if (c->state.processes[i].pid == c->info.pid) {
            lock = c->state.processes[i].lock ? 1 : 0;
            break;
        }
    }
    if (lock != c->info.lock) {
        c->info.lock = lock;
        *changes |= CMM_CHANGED_LOCK;
    }
}

// Reads a state block from `m`, logs it under `heading` and keeps it; a malformed block is logged
// and its error returned.
qnb_error read_state(cmm_client *c, wgcp_message *m, qnb_logger *log, const char *fn, const char *heading,
                     uint32_t *changes)
{
    cmm_state state;
    qnb_error err = cmm_decode_state(m, &state);
    if (err) {
        qnb_log(log, QNB_LOG_ERROR, "%s: Error reading state: %s\n", fn, error_text(err));
        return err;
    }
    qnb_log(log, QNB_LOG_INFO, heading, fn);
    log_state(log, "  ", state);
    store_state(c, state, changes);
    return QNB_ERR_SUCCESS;
}

// Starts a request of `opcode` in the one slot (the caller releases it on failure).
qnb_error begin_request(cmm_client *c, uint16_t opcode, wgcp2_request **out)
{
    wgcp2_request *slot = nullptr;
    qnb_error err = wgcp2_client_alloc_request(c->rr, &slot);
    if (err)
        return err;
    err = wgcp_message_init_request(&slot->message, CMM_PROTOCOL, opcode);
    if (err) {
        wgcp2_client_release_request(slot);
        return err;
    }
    *out = slot;
    return QNB_ERR_SUCCESS;
}

} // namespace

cmm_client *cmm_client_new(qnb_env *env)
{
    if (!env)
        return nullptr;
    cmm_client *c = new (std::nothrow) cmm_client();
    if (!c)
        return nullptr;
    c->env = env;
    c->sock = QNB_SOCKET_INVALID;
    // The service is local to the PC and the same in every domain: the client registers with the
    // application's domain handler, so the handler knows it, and has nothing to do on a change.
    if (domain_handler *handler = object_get_owner(env)) {
        c->domain = domain_client_new(handler, c, nullptr, nullptr);
        if (!c->domain) {
            delete c;
            return nullptr;
        }
    }
    // Loop mode when the environment carries an event loop, else the owner manages the socket.
    c->rr = wgcp2_client_new(env, env->event_loop != nullptr, WGCP_KIND_EXTENDED, true);
    if (!c->rr) {
        domain_client_delete(c->domain);
        delete c;
        return nullptr;
    }
    return c;
}

void cmm_client_delete(cmm_client *client)
{
    if (!client)
        return;
    if (qnb_socket_is_valid(client->sock))
        cmm_client_close(client);
    wgcp2_client_delete(client->rr);
    domain_client_delete(client->domain);
    delete client;
}

qnb_env *object_get_env(const cmm_client *client)
{
    return client ? client->env : nullptr;
}

qnb_error cmm_client_set_port(cmm_client *client, uint16_t port)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    client->port = port;
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_client_init(cmm_client *client, const char *name)
{
    static const char *const fn = "cmm_client_init";
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    if (qnb_socket_is_valid(client->sock))
        return QNB_ERR_INVALIDSTATE;
    qnb_sockaddr server;
    qnb_sockaddr_set(&server, htonl(INADDR_LOOPBACK), client->port ? client->port : static_cast<uint16_t>(CMM_DEFAULT_PORT));
    qnb_socket sock = QNB_SOCKET_INVALID;
    qnb_error err = qnb_socket_open_connected(&sock, &server);
    if (err)
        return err;
    qnb_log(logger_of(client), QNB_LOG_INFO, "%s: opened cmm client socket %d\n", fn, sock);
    if ((err = qnb_socket_set_nonblocking(sock, 0)) ||
        (err = wgcp2_client_initialise(client->rr, nullptr, sock, true, false, nullptr)) ||
        (err = wgcp2_client_set_keepalives(client->rr, CMM_PROTOCOL, &k_keepalive_interval, &k_receive_timeout))) {
        wgcp2_client_close(client->rr);
        qnb_socket_close(&sock);
        return err;
    }
    wgcp2_client_set_context(client->rr, client);
    wgcp2_client_set_callback(client->rr, cmm_client_on_event);
    client->sock = sock;
    memset(&client->info, 0, sizeof client->info);
    if (name) {
        size_t n = strnlen(name, CMM_CLIENT_NAME_SIZE - 1);
        memcpy(client->info.name, name, n);
    }
    client->info.pid = static_cast<uint32_t>(getpid());
    client->info.lock = 0;
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_client_close(cmm_client *client)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    if (client->outstanding) {
        wgcp2_client_release_request(client->outstanding);
        client->outstanding = nullptr;
    }
    wgcp2_client_close(client->rr);
    qnb_socket_close(&client->sock);
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_client_set_context(cmm_client *client, void *context)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    client->context = context;
    return QNB_ERR_SUCCESS;
}

void *cmm_client_get_context(const cmm_client *client)
{
    return client ? client->context : nullptr;
}

qnb_error cmm_client_set_callback(cmm_client *client, cmm_changed_fn callback)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    client->callback = callback;
    return QNB_ERR_SUCCESS;
}

qnb_socket cmm_client_get_socket(const cmm_client *client)
{
    if (!client || (client->env && client->env->event_loop))
        return QNB_SOCKET_INVALID;
    return client->sock;
}

qnb_error cmm_client_process(cmm_client *client, qnb_timeval *next)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    if (client->env && client->env->event_loop)
        return QNB_ERR_NOTSUPPORTED;
    return wgcp2_client_process(client->rr, next);
}

int cmm_client_get_connection_state(const cmm_client *client)
{
    return client ? client->connection_state : CMM_CONNECTION_CLOSED;
}

bool cmm_client_request_pending(const cmm_client *client)
{
    return client && client->outstanding;
}

const cmm_interface_list *cmm_client_get_options(const cmm_client *client)
{
    return client && client->have_options ? &client->options : nullptr;
}

const cmm_state *cmm_client_get_state(const cmm_client *client)
{
    return client && client->have_state ? &client->state : nullptr;
}

const cmm_client_info *cmm_client_get_info(const cmm_client *client)
{
    return client ? &client->info : nullptr;
}

const cmm_server_version *cmm_client_get_server_version(const cmm_client *client)
{
    return client ? &client->version : nullptr;
}

cmm_set_config *cmm_client_get_config_record(cmm_client *client)
{
    return client ? &client->config_record : nullptr;
}

qnb_error cmm_client_request_state(cmm_client *client)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    if (client->outstanding)
        return QNB_ERR_INVALIDSTATE;
    wgcp2_request *slot = nullptr;
    qnb_error err = begin_request(client, CMM_OPCODE_STATE_QUERY, &slot);
    if (err)
        return err;
    err = cmm_encode_client_info(&slot->message, &client->info);
    if (!err)
        err = wgcp2_client_send_request(slot);
    if (err) {
        wgcp2_client_release_request(slot);
        return err;
    }
    client->outstanding = slot;
    return QNB_ERR_SUCCESS;
}

qnb_error cmm_client_request_refresh(cmm_client *client)
{
    if (!client)
        return QNB_ERR_INVALIDPARAMETER;
    if (client->connection_state == CMM_CONNECTION_CLOSED)
        return QNB_ERR_SUCCESS;
    if (client->outstanding) {
        wgcp2_client_release_request(client->outstanding);
        client->outstanding = nullptr;
    }
    wgcp2_request *slot = nullptr;
    qnb_error err = begin_request(client, CMM_OPCODE_REFRESH, &slot);
    if (err)
        return err;
    err = wgcp2_client_send_request(slot);
    if (err)
        wgcp2_client_release_request(slot);
    return err;
}

qnb_error cmm_client_set_system_config(cmm_client *client, const cmm_set_config *record)
{
    static const char *const fn = "cmm_client_set_system_config";
    if (!client || !record)
        return QNB_ERR_INVALIDPARAMETER;
    if (client->outstanding)
        return QNB_ERR_INVALIDSTATE;
    wgcp2_request *slot = nullptr;
    qnb_error err = begin_request(client, CMM_OPCODE_SET_CONFIG, &slot);
    if (err)
        return err;
    err = cmm_encode_set_config(&slot->message, record);
    if (err) {
        wgcp2_client_release_request(slot);
        return err;
    }
    if (record->flags & CMM_SET_LOCK)
        fprintf(stderr, "writing lock value %d\n", record->lock ? 1 : 0);
    qnb_logger *log = logger_of(client);
    qnb_log(log, QNB_LOG_INFO, "%s: Sending SET CONFIG request with config:\n", fn);
    log_set_config(log, "  ", *record);
    err = wgcp2_client_send_request(slot);
    if (err) {
        wgcp2_client_release_request(slot);
        return err;
    }
    client->outstanding = slot;
    qnb_log(log, QNB_LOG_INFO, "%s: Sent request, request id is %p\n", fn, static_cast<void *>(slot));
    return QNB_ERR_SUCCESS;
}

void cmm_client_on_event(wgcp2_client *rr, const wgcp2_event *event)
{
    static const char *const fn = "cmm_client_on_event";
    cmm_client *c = static_cast<cmm_client *>(wgcp2_client_get_context(rr));
    if (!c || !event)
        return;
    qnb_logger *log = logger_of(c);
    qnb_log(log, QNB_LOG_DEBUG, "%s: flags=0x%08x\n", fn, event->flags);
    uint32_t changes = 0;
    qnb_error result = QNB_ERR_SUCCESS;
    bool answers_outstanding =
        (event->flags & WGCP2_EVENT_RESPONSE) && event->request && event->request == c->outstanding;

    // 1. The link went down.
    if (event->flags & WGCP2_EVENT_CONNECTION_LOST)
        connection_lost(c, &changes);

    // 2. The request/response client changed state.
    if (event->flags & WGCP2_EVENT_STATE_CHANGED) {
        switch (wgcp2_client_get_state(rr)) {
        case WGCP2_STATE_CONNECTING:
            set_connection_state(c, CMM_CONNECTION_CONNECTING, &changes);
            break;
        case WGCP2_STATE_CONNECTED:
            if (event->message) {
                cmm_server_version version;
                result = cmm_decode_server_version(event->message, &version);
                if (!result)
                    c->version = version;
            } else {
                result = QNB_ERR_NODATA;
            }
            set_connection_state(c, CMM_CONNECTION_CONNECTED, &changes);
            break;
        default:
            connection_lost(c, &changes);
            break;
        }
    }

    // 3. A response to a request.
    if (event->flags & WGCP2_EVENT_RESPONSE) {
        wgcp_message *m = event->message;
        uint16_t status = m ? wgcp_header_get_status(m->packet) : 0;
        bool set_config = m ? wgcp_header_get_opcode(m->packet) == CMM_OPCODE_SET_CONFIG
                            : event->request &&
                                  wgcp_header_get_opcode(event->request->message.packet) == CMM_OPCODE_SET_CONFIG;
        if (set_config) {
            if (!m) {
                qnb_log(log, QNB_LOG_ERROR, "%s: SET_CONFIG failed: no response\n", fn);
            } else {
                if (status != WGCP_STATUS_RESPONSE)
                    qnb_log(log, QNB_LOG_WARNING, "%s: SET_CONFIG response status=%s\n", fn,
                            cmm_response_status_name(status));
                if (qnb_error err = read_state(c, m, log, fn, "%s: SET_CONFIG: state is now:\n", &changes))
                    result = err;
            }
        }
        if (answers_outstanding) {
            c->outstanding = nullptr;
            changes |= CMM_CHANGED_REQUEST;
            qnb_error status_error = m ? cmm_status_to_error(status) : QNB_ERR_TIMEDOUT;
            if (status_error)
                result = status_error;
        }
    }

    // 4. A notification from the service.
    if ((event->flags & WGCP2_EVENT_MESSAGE) && event->message) {
        wgcp_message *m = event->message;
        uint16_t opcode = wgcp_header_get_opcode(m->packet);
        if (opcode == CMM_OPCODE_OPTIONS) {
            cmm_interface_list options;
            qnb_error err = cmm_decode_options(m, &options);
            if (err) {
                qnb_log(log, QNB_LOG_ERROR, "%s: Error reading options: %s\n", fn, error_text(err));
                result = err;
            } else {
                qnb_log(log, QNB_LOG_INFO, "%s: options are:", fn);
                unsigned count = cmm_interfaces_get_count(&options);
                for (unsigned i = 0; i < count; ++i)
                    log_interface(log, "  ", i, options.interfaces[i]);
                store_options(c, options, &changes);
            }
        } else if (opcode == CMM_OPCODE_STATE) {
            if (qnb_error err = read_state(c, m, log, fn, "%s: state is:", &changes))
                result = err;
        }
    }

    // 5. Tell the owner.
    if (changes && c->callback)
        c->callback(c, changes, event->error ? event->error : result);
}
