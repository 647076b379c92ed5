#include "netaudio/discovery/wb_browse_sap.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_interface.h"
#include "netaudio/platform/qnb_log.h"

namespace {

qnb_logger *logger_of(const wb_browse_sap *sap)
{
    return sap->env != nullptr ? sap->env->logger : nullptr;
}

void report(wb_browse_sap *sap, wb_browse_sap_entry *entry, uint32_t action)
{
    if (sap->event_callback == nullptr)
        return;
    wb_browse_event event;
    event.kind = WB_EVENT_AES67_SESSION;
    event.record = &entry->data;
    sap->event_callback(sap->owner, &event, action);
}

void remove_entry(wb_browse_sap *sap, wb_browse_sap_entry *entry, bool events)
{
    qnb_list_remove(&entry->link);
    if (events)
        report(sap, entry, WB_ACTION_REMOVED);
    std::free(entry);
}

bool same_session(const sdp_session &a, const sdp_session &b)
{
    return a.session_id == b.session_id && a.session_version == b.session_version &&
           a.origin_address == b.origin_address;
}

qnb_error fail_open(wb_browse_sap *sap, qnb_error err)
{
    qnb_socket_close(&sap->socket);
    return err;
}

} // namespace

qnb_error wb_browse_sap_new(qnb_env *env, wb_browse_sap **out)
{
    if (out == nullptr)
        return QNB_ERR_INVALIDPARAMETER;
    *out = nullptr;
    wb_browse_sap *sap = static_cast<wb_browse_sap *>(std::calloc(1, sizeof(wb_browse_sap)));
    if (sap == nullptr)
        return QNB_ERR_NOMEMORY;
    sap->env = env;
    sap->socket = QNB_SOCKET_INVALID;
    *out = sap;
    return QNB_ERR_SUCCESS;
}

void wb_browse_sap_delete(wb_browse_sap *sap)
{
    if (sap == nullptr)
        return;
    wb_browse_sap_clear(sap, 0);
    qnb_socket_close(&sap->socket);
    std::free(sap);
}

void wb_browse_sap_set_owner(wb_browse_sap *sap, wb_browse *owner)
{
    if (sap != nullptr)
        sap->owner = owner;
}

void wb_browse_sap_set_callback(wb_browse_sap *sap, wb_browse_event_fn fn)
{
    if (sap != nullptr)
        sap->event_callback = fn;
}

qnb_error wb_browse_sap_open(wb_browse_sap *sap, uint32_t interface_index, const char *group)
{
    static const char fn[] = "wb_browse_sap_open";
    if (sap == nullptr || group == nullptr)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_logger *logger = logger_of(sap);
    if (interface_index == 0)
        return fail_open(sap, QNB_ERR_INVALIDPARAMETER);
    qnb_sockaddr group_address;
    qnb_error err = qnb_sockaddr_from_text(&group_address, AF_INET, group, WB_SAP_PORT);
    if (err != QNB_ERR_SUCCESS)
        return fail_open(sap, err);
    qnb_sockaddr local;
    qnb_sockaddr_set_any(&local, AF_INET, WB_SAP_PORT);
    if (sap->socket == QNB_SOCKET_INVALID) {
        err = qnb_socket_open_udp(&sap->socket, AF_INET);
        if (err != QNB_ERR_SUCCESS) {
            qnb_log(logger, QNB_LOG_ERROR, "%s: failed to create aes67 udp socket", fn);
            return fail_open(sap, err);
        }
    }
    if (qnb_socket_set_reuse_address(sap->socket, 1) != QNB_ERR_SUCCESS)
        qnb_log(logger, QNB_LOG_WARNING, "%s: failed to setopt for reusing aes67 sap address : erronum (%d)", fn,
                errno);
    if (qnb_socket_set_reuse_port(sap->socket, 1) != QNB_ERR_SUCCESS)
        qnb_log(logger, QNB_LOG_WARNING, "%s: failed to setopt for reusing aes67 sap port : erronum (%d)", fn, errno);
    // The worker only reads after a wait said the socket is readable; never block it regardless.
    qnb_socket_set_nonblocking(sap->socket, 0);
    err = qnb_socket_bind(sap->socket, &local);
    if (err != QNB_ERR_SUCCESS) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: failed to listen bind() for aes67", fn);
        return fail_open(sap, err);
    }
    qnb_interface *list = nullptr;
    size_t count = 0;
    err = qnb_interface_list_with_env(sap->env, &list, &count);
    if (err != QNB_ERR_SUCCESS) {
        qnb_log(logger, QNB_LOG_ERROR, "%s: failed to get interface list: %s (%d)", fn, qnb_error_get_name(err), err);
        return fail_open(sap, err);
    }
    for (size_t i = 0; i < count; i++) {
        if (list[i].index != interface_index)
            continue;
        err = qnb_socket_join_group(sap->socket, &group_address, &list[i]);
        std::free(list);
        if (err != QNB_ERR_SUCCESS) {
            qnb_log(logger, QNB_LOG_ERROR, "%s: failed to add membership to interface index %d, %s (%d)", fn,
                    static_cast<int>(interface_index), qnb_error_get_name(err), err);
            return fail_open(sap, err);
        }
        return QNB_ERR_SUCCESS;
    }
    std::free(list);
    qnb_log(logger, QNB_LOG_ERROR, "%s: failed to get active interface index : %d", fn,
            static_cast<int>(interface_index));
    return fail_open(sap, QNB_ERR_NODEV);
}

qnb_error wb_browse_sap_close(wb_browse_sap *sap)
{
    if (sap == nullptr)
        return QNB_ERR_INVALIDPARAMETER;
    if (sap->socket == QNB_SOCKET_INVALID)
        return QNB_ERR_SOCKTNOSUPPORT;
    qnb_socket_close(&sap->socket);
    return QNB_ERR_SUCCESS;
}

qnb_error wb_browse_sap_handle_packet(wb_browse_sap *sap, const uint8_t *packet, size_t size)
{
    static const char fn[] = "wb_browse_sap_process";
    if (sap == nullptr || packet == nullptr)
        return QNB_ERR_INVALIDPARAMETER;
    if (get_sdp_parsed_structure(packet, size, &sap->parsing) != QNB_ERR_SUCCESS) {
        qnb_log(logger_of(sap), QNB_LOG_ERROR, "%s: failed to parse SAP + SDP packet", fn);
        return QNB_ERR_INVALIDDATA;
    }
    qnb_timeval now;
    qnb_time_now(&now);
    for (qnb_list_node *node = sap->sessions.first; node != nullptr; node = node->next) {
        wb_browse_sap_entry *entry = static_cast<wb_browse_sap_entry *>(node->data);
        if (!same_session(entry->data.session, sap->parsing))
            continue;
        if (sap->parsing.deletion) {
            remove_entry(sap, entry, true);
            return QNB_ERR_SUCCESS;
        }
        entry->last_heard = now;
        if (entry->data.session.message_id_hash != sap->parsing.message_id_hash) {
            entry->data.session = sap->parsing;
            report(sap, entry, WB_ACTION_CHANGED);
        }
        return QNB_ERR_SUCCESS;
    }
    if (sap->parsing.deletion)
        return QNB_ERR_SUCCESS;
    wb_browse_sap_entry *entry = static_cast<wb_browse_sap_entry *>(std::calloc(1, sizeof(wb_browse_sap_entry)));
    if (entry == nullptr)
        return QNB_ERR_SUCCESS; // the announcement comes again
    entry->link.data = entry;
    entry->last_heard = now;
    entry->data.user_data = sap->user_data;
    entry->data.session = sap->parsing;
    qnb_list_push_back(&sap->sessions, &entry->link);
    report(sap, entry, WB_ACTION_ADDED);
    return QNB_ERR_SUCCESS;
}

qnb_error wb_browse_sap_process(qnb_socket socket, wb_browse_sap *sap)
{
    static const char fn[] = "wb_browse_sap_process";
    if (sap == nullptr)
        return QNB_ERR_INVALIDPARAMETER;
    size_t size = sizeof sap->buffer;
    qnb_error err = qnb_socket_recv(socket, sap->buffer, &size);
    if (err != QNB_ERR_SUCCESS) {
        qnb_log(logger_of(sap), QNB_LOG_ERROR, "%s: failed to get aes67 socket data - errno - %d", fn, err);
        return err;
    }
    return wb_browse_sap_handle_packet(sap, sap->buffer, size);
}

void wb_browse_sap_expire(wb_browse_sap *sap)
{
    if (sap == nullptr)
        return;
    qnb_timeval now;
    qnb_time_now(&now);
    qnb_list_node *node = sap->sessions.first;
    while (node != nullptr) {
        qnb_list_node *next = node->next;
        wb_browse_sap_entry *entry = static_cast<wb_browse_sap_entry *>(node->data);
        if (now.tv_sec >= entry->last_heard.tv_sec &&
            now.tv_sec - entry->last_heard.tv_sec >= static_cast<uint32_t>(WB_SAP_EXPIRY_SECONDS))
            remove_entry(sap, entry, true);
        node = next;
    }
}

void wb_browse_sap_clear(wb_browse_sap *sap, int report_removals)
{
    if (sap == nullptr)
        return;
    while (sap->sessions.first != nullptr)
        remove_entry(sap, static_cast<wb_browse_sap_entry *>(sap->sessions.first->data), report_removals != 0);
}
