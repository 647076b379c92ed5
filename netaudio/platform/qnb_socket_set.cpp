#include "netaudio/platform/qnb_socket_set.h"

#include <poll.h>

#include <cerrno>
#include <vector>

namespace {
const unsigned kMax = QNB_SOCKET_SET_MAX;
}

void qnb_socket_set_clear(qnb_socket_set *set)
{
    if (set)
        set->count = 0;
}

qnb_error qnb_socket_set_add(qnb_socket_set *set, int fd)
{
    if (!set || fd < 0 || set->count > kMax)
        return QNB_ERR_INVALIDPARAMETER;
    if (qnb_socket_set_is_member(set, fd))
        return QNB_ERR_SUCCESS;
    if (set->count == kMax)
        return QNB_ERR_NOBUFS;
    set->sockets[set->count++] = fd;
    return QNB_ERR_SUCCESS;
}

bool qnb_socket_set_is_member(const qnb_socket_set *set, int fd)
{
    if (!set || fd < 0)
        return false;
    unsigned count = set->count < kMax ? set->count : kMax;
    for (unsigned i = 0; i < count; ++i) {
        if (set->sockets[i] == fd)
            return true;
    }
    return false;
}

void qnb_socket_set_erase(qnb_socket_set *set, int fd)
{
    if (!set || fd < 0)
        return;
    unsigned count = set->count < kMax ? set->count : kMax;
    unsigned kept = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (set->sockets[i] != fd)
            set->sockets[kept++] = set->sockets[i];
    }
    set->count = kept;
}

qnb_error qnb_socket_set_wait(qnb_socket_set *set, int timeout_ms, unsigned *ready, qnb_socket_set *invalid)
{
    if (ready)
        *ready = 0;
    if (invalid)
        invalid->count = 0;
    if (!set || timeout_ms < 0 || set->count > kMax)
        return QNB_ERR_INVALIDPARAMETER;

    std::vector<struct pollfd> polled(set->count);
    for (unsigned i = 0; i < set->count; ++i) {
        polled[i].fd = set->sockets[i];
        polled[i].events = POLLIN;
        polled[i].revents = 0;
    }
    // With no descriptors poll() still waits its time, so an owner with nothing to watch does not spin.
    int n = poll(polled.empty() ? nullptr : polled.data(), polled.size(), timeout_ms);
    if (n < 0) {
        int err = errno;
        set->count = 0;
        return err == EINTR ? QNB_ERR_INTERRUPTED : qnb_error_from_errno(err);
    }
    unsigned kept = 0;
    for (const struct pollfd &p : polled) {
        // A closed descriptor would be reported on every wait: it is no ready socket.
        if (p.revents & POLLNVAL) {
            if (invalid)
                qnb_socket_set_add(invalid, p.fd);
            continue;
        }
        if (p.revents & (POLLIN | POLLERR | POLLHUP))
            set->sockets[kept++] = p.fd;
    }
    set->count = kept;
    if (ready)
        *ready = kept;
    return QNB_ERR_SUCCESS;
}
