// The read set the worker builds from its clients' sockets: at most 1024 descriptors, of any value
// (descriptors above 1023 occur), waited on with poll().
#pragma once

#include "netaudio/platform/qnb_error.h"

enum { QNB_SOCKET_SET_MAX = 1024 };

struct qnb_socket_set {
    unsigned count;
    int sockets[QNB_SOCKET_SET_MAX];
};

void qnb_socket_set_clear(qnb_socket_set *set);
// Adds a descriptor once (a repeat is ignored). -1: QNB_ERR_INVALIDPARAMETER; full: QNB_ERR_NOBUFS.
qnb_error qnb_socket_set_add(qnb_socket_set *set, int fd);
bool qnb_socket_set_is_member(const qnb_socket_set *set, int fd);
// Erases the descriptor's entry (nothing when absent).
void qnb_socket_set_erase(qnb_socket_set *set, int fd);
// Waits at most `timeout_ms` for any member to become readable; on return the set holds only the
// ready members (errors and hang-ups count as ready, so the receive reports them) and `ready`
// their number. A member that is no open descriptor (closed behind the set's back) is never
// ready: it is left out of the result and, when `invalid` is given, added to it, so that the
// owner can drop it from the set it waits on. An empty set still waits its time. A wait
// interrupted by a signal returns QNB_ERR_INTERRUPTED with an empty set.
qnb_error qnb_socket_set_wait(qnb_socket_set *set, int timeout_ms, unsigned *ready,
                              qnb_socket_set *invalid = nullptr);
