// The library environment: the process-wide, reference-counted context every client is created
// with. It carries the logger and sets up and tears down the platform.
#pragma once

#include "netaudio/platform/qnb_error.h"

struct qnb_logger;
struct qnb_event_loop;

typedef void (*qnb_env_cleanup_fn)(void *user_data);

enum {
    QNB_ENV_FLAG_USER_CREATED = 1,
    QNB_ENV_FLAG_OWNS_LOGGER = 2,
    QNB_ENV_FLAG_OWNS_EVENT_LOOP = 4,
    QNB_ENV_FLAG_NO_RELEASE = 8
};

struct qnb_env {
    void *user_data;
    qnb_env_cleanup_fn cleanup;
    qnb_logger *logger;
    qnb_event_loop *event_loop; // never created in this system
    int ref_count;
    unsigned flags;
};

// Takes a reference to the process's environment, setting it up on the first one.
qnb_error qnb_env_get(qnb_env **out);
// Gives a reference back; the last one tears the platform down.
qnb_error qnb_env_release(qnb_env *env);

// True once the platform set-up has made the receive with packet information available
// (qnb_socket_recvmsg refuses with QNB_ERR_NOTINITIALISED before).
bool qnb_platform_recvmsg_ready(void);
