#include "netaudio/platform/qnb_env.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "netaudio/platform/qnb_log.h"
#include "netaudio/platform/qnb_loop.h"
#include "netaudio/platform/qnb_string.h"
#include "netaudio/platform/qnb_time.h"

namespace {

// The process's one environment.
qnb_env g_env;
std::mutex g_env_lock;

// Platform state. Nothing here is registered with the system: the sleep-window class name is kept
// as text for whoever names the power-event hook, and the receive with packet information needs
// only the option to be available.
enum { k_class_name_size = 256 };
const char k_class_name_base[] = "QNB_WIN32_SLEEP_WINDOW_CLASS_NAME";
char g_class_name[k_class_name_size];
std::atomic<bool> g_recvmsg_ready{false};

const char k_no_release_message[] = "Error: This env cannot be cleaned up using qnb_env_release!\n";

// The class name, then ".", and the file name of the module that holds the library.
void make_class_name()
{
    qnb_strlcpy(g_class_name, k_class_name_base, sizeof g_class_name);
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&qnb_env_get), &info) && info.dli_fname && info.dli_fname[0]) {
        const char *slash = std::strrchr(info.dli_fname, '/');
        qnb_strlcat(g_class_name, ".", sizeof g_class_name);
        qnb_strlcat(g_class_name, slash ? slash + 1 : info.dli_fname, sizeof g_class_name);
    }
}

// Checks once that UDP sockets can deliver packet information (destination and interface).
qnb_error check_recvmsg()
{
    if (g_recvmsg_ready.load())
        return QNB_ERR_SUCCESS;
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return qnb_error_last();
    int one = 1;
    qnb_error result = QNB_ERR_SUCCESS;
    if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0)
        result = qnb_error_last();
    close(fd);
    g_recvmsg_ready.store(result == QNB_ERR_SUCCESS);
    return result;
}

qnb_error platform_set_up()
{
    make_class_name();
    qnb_error result = check_recvmsg();
    qnb_timeval now;
    qnb_time_now(&now);
    std::srand(now.tv_sec);
    return result;
}

// The loop goes before the logger: callbacks it still runs may log.
void destroy_event_loop(qnb_env *env)
{
    if (env->flags & QNB_ENV_FLAG_OWNS_EVENT_LOOP)
        qnb_event_loop_destroy(env->event_loop);
    env->event_loop = nullptr;
    env->flags &= ~static_cast<unsigned>(QNB_ENV_FLAG_OWNS_EVENT_LOOP);
}

// Sockets need no clean-up on this platform, and nothing was registered.
qnb_error platform_clean_up()
{
    return QNB_ERR_SUCCESS;
}

} // namespace

qnb_error qnb_env_get(qnb_env **out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    std::lock_guard<std::mutex> lock(g_env_lock);
    if (g_env.ref_count == 0) {
        platform_set_up(); // the environment is handed out even when a step failed
        if (!g_env.logger) {
            qnb_logger *logger = qnb_log_new();
            if (!logger)
                return QNB_ERR_NOMEMORY;
            g_env.logger = logger;
            g_env.flags |= QNB_ENV_FLAG_OWNS_LOGGER;
        }
    }
    ++g_env.ref_count;
    *out = &g_env;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_env_release(qnb_env *env)
{
    if (!env)
        return QNB_ERR_SUCCESS;

    if (env->flags & QNB_ENV_FLAG_NO_RELEASE) {
        std::fputs(k_no_release_message, stderr);
        return QNB_ERR_INVALIDSTATE;
    }

    if (env->flags & QNB_ENV_FLAG_USER_CREATED) {
        if (env->cleanup && env->user_data)
            env->cleanup(env->user_data);
        env->cleanup = nullptr;
        env->user_data = nullptr;
        destroy_event_loop(env);
        if (env->flags & QNB_ENV_FLAG_OWNS_LOGGER)
            qnb_log_delete(env->logger);
        env->logger = nullptr;
        env->flags = 0;
        env->ref_count = 0;
        if (env != &g_env)
            std::free(env);
        return QNB_ERR_SUCCESS;
    }

    std::lock_guard<std::mutex> lock(g_env_lock);
    if (env->ref_count <= 0) // more releases than gets: refused, the count never goes negative
        return QNB_ERR_INVALIDSTATE;
    if (--env->ref_count > 0)
        return QNB_ERR_SUCCESS;
    destroy_event_loop(env);
    if (env->flags & QNB_ENV_FLAG_OWNS_LOGGER) {
        qnb_log_delete(env->logger);
        env->logger = nullptr;
        env->flags &= ~static_cast<unsigned>(QNB_ENV_FLAG_OWNS_LOGGER);
    }
    return platform_clean_up();
}

qnb_error qnb_env_create_event_loop(qnb_env *env)
{
    if (!env)
        return QNB_ERR_INVALIDPARAMETER;
    if (env->event_loop)
        return QNB_ERR_ALREADY;
    qnb_event_loop *loop = nullptr;
    qnb_error err = qnb_event_loop_new(&loop, nullptr, nullptr, 0, 0);
    if (err)
        return err;
    env->event_loop = loop;
    env->flags |= QNB_ENV_FLAG_OWNS_EVENT_LOOP;
    return QNB_ERR_SUCCESS;
}

bool qnb_platform_recvmsg_ready(void)
{
    return g_recvmsg_ready.load();
}

const char *qnb_platform_sleep_class_name(void)
{
    return g_class_name;
}

void qnb_env_reset_for_tests(void)
{
    std::lock_guard<std::mutex> lock(g_env_lock);
    destroy_event_loop(&g_env);
    if (g_env.flags & QNB_ENV_FLAG_OWNS_LOGGER)
        qnb_log_delete(g_env.logger);
    g_env = qnb_env{};
    g_class_name[0] = '\0';
    g_recvmsg_ready.store(false);
}
