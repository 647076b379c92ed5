// The library environment: the process-wide, reference-counted context every client is created
// with. It carries the logger and sets up and tears down the platform.
#pragma once

#include "netaudio/platform/qnb_error.h"

struct qnb_logger;
struct qnb_event_loop;
struct domain_handler;

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
    qnb_event_loop *event_loop; // null unless qnb_env_create_event_loop made one
    domain_handler *domain_hook; // the application's domain handler, or null (ad hoc only)
    int ref_count;
    unsigned flags;
};

// Takes a reference to the process's environment, setting it up on the first one (the first also
// creates its logger). Null `out`: QNB_ERR_INVALIDPARAMETER; no memory for the logger:
// QNB_ERR_NOMEMORY, nothing counted.
qnb_error qnb_env_get(qnb_env **out);
// Gives a reference back; the last one deletes the logger and tears the platform down. A release
// without a reference left is refused with QNB_ERR_INVALIDSTATE (the count never goes negative);
// an environment flagged QNB_ENV_FLAG_NO_RELEASE is refused the same way, with a message on
// standard error. A user-created environment (calloc'ed, QNB_ENV_FLAG_USER_CREATED) is cleaned up
// and freed at once.
qnb_error qnb_env_release(qnb_env *env);

// Gives the environment an event loop of its own (QNB_ENV_FLAG_OWNS_EVENT_LOOP): modules created
// with it afterwards run in loop mode. The loop is destroyed with the environment (the last
// release, or the release of a user-created one). QNB_ERR_ALREADY when it has a loop.
qnb_error qnb_env_create_event_loop(qnb_env *env);

// True once the platform set-up has made the receive with packet information available
// (qnb_socket_recvmsg refuses with QNB_ERR_NOTINITIALISED before).
bool qnb_platform_recvmsg_ready(void);

// The sleep-window class name that the platform set-up composes ("QNB_WIN32_SLEEP_WINDOW_CLASS_NAME."
// and the file name of the module holding the library); empty before the first set-up.
const char *qnb_platform_sleep_class_name(void);

// Tests only: drops the environment and the platform state as if no set-up had ever run, so that
// one test's leftovers do not reach the next.
void qnb_env_reset_for_tests(void);
