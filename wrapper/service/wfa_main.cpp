#include "wrapper/service/wfa_main.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"
#include "wrapper/service/wfa_browse.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_device.h"
#include "wrapper/service/wfa_fw.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_routing.h"
#include "wrapper/service/wfa_state.h"

namespace {

thread_local bool t_on_worker = false;

bool is_failure(uint32_t code)
{
    return (code & WFA_INTERNAL_BIT) != 0;
}

void close_wake(wfa_state &s)
{
    if (s.wake_fd >= 0)
        ::close(s.wake_fd);
    s.wake_fd = -1;
}

// Empties the wake descriptor once its wake-up has been seen, so that it does not end every
// later wait at once.
void drain_wake(wfa_state &s)
{
    if (s.wake_fd < 0)
        return;
    uint64_t count;
    ssize_t n;
    do {
        n = ::read(s.wake_fd, &count, sizeof count);
    } while (n < 0 && errno == EINTR);
}

void signal_wake(wfa_state &s)
{
    if (s.wake_fd < 0)
        return;
    uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(s.wake_fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void clear_socket_hooks(wfa_state &s)
{
    for (int i = 0; i < WFA_SOCKET_SLOTS; ++i) {
        s.providers[i] = nullptr;
        s.processors[i] = nullptr;
    }
    s.cmm_socket = -1;
    s.cmm_processor = nullptr;
    qnb_socket_set_clear(&s.master);
    s.sockets_changed = true;
}

void report_init(wfa_state &s, uint32_t result)
{
    std::lock_guard<std::mutex> lock(s.init_lock);
    s.init_done = true;
    s.init_result = result;
    s.init_cv.notify_all();
}

// Initialisation of the worker, in its fixed order; the first failure ends it.
uint32_t worker_init(wfa_state &s, uint16_t instance_id)
{
    uint32_t r = wfa_device_table_init();
    if (r)
        return r;
    if ((r = wfa_fw_settings_init()))
        return r;
    qnb_env *env = nullptr;
    qnb_error e = qnb_env_get(&env);
    if (e != QNB_ERR_SUCCESS)
        return wfa_internal_from_library(e);
    s.env = env;
    if ((r = wfa_browse_create()))
        return r;
    if ((r = wfa_routing_create()))
        return r;
    if ((r = wfa_conmon_create()))
        return r;
    if ((r = wfa_cmm_create()))
        return r;
    if (wfa_init_step step = s.init_step.load()) {
        if ((r = step()))
            return r;
    }
    if ((r = wfa_conmon_start()))
        return r;
    if ((r = wfa_cmm_start()))
        return r;
    return wfa_main_check_initialized_start(instance_id);
}

// Clean-up of the worker, in its fixed order, also after a failed initialisation.
void worker_cleanup(wfa_state &s)
{
    tcb_open_inbox(false);
    // The remaining tasks are finished first: their finish functions may still use the drivers,
    // the environment and the device records they were working on.
    tcb_cleanup();
    wfa_cmm_delete();
    wfa_conmon_delete();
    wfa_browse_delete();
    wfa_routing_delete();
    if (qnb_env *env = s.env.exchange(nullptr))
        qnb_env_release(env);
    wfa_fw_settings_close();
    wfa_device_table_free();
    tcb_cleanup(); // anything a driver's deletion may have left behind
    clear_socket_hooks(s);
    s.callback = nullptr;
    s.context = nullptr;
    s.instance_id = 0;
    s.started = false;
}

void rebuild_socket_set(wfa_state &s)
{
    qnb_socket_set_clear(&s.master);
    for (int i = 0; i < WFA_SOCKET_SLOTS; ++i) {
        if (!s.providers[i])
            continue;
        uint32_t r = s.providers[i](&s.master);
        if (is_failure(r))
            wfa_log(QNB_LOG_WARNING, "wfa_worker: socket provider %d failed: 0x%08X", i, r);
    }
    if (s.cmm_socket != -1) {
        qnb_error e = qnb_socket_set_add(&s.master, s.cmm_socket);
        if (e != QNB_ERR_SUCCESS)
            wfa_log(QNB_LOG_WARNING, "wfa_worker: configuration-service socket not added: %d", e);
    }
    s.sockets_changed = false;
}

void run_processors(wfa_state &s, qnb_socket_set *ready_set, unsigned ready)
{
    for (int i = 0; i < WFA_SOCKET_SLOTS; ++i) {
        if (!s.processors[i])
            continue;
        if (is_failure(s.processors[i](ready_set, static_cast<int>(ready))))
            return;
    }
    if (s.cmm_socket != -1 && s.cmm_processor)
        s.cmm_processor(ready_set);
}

// Drops the members that are no open descriptors from the master set, so that a descriptor closed
// without its owner telling the worker does not end every wait at once.
void drop_invalid_sockets(wfa_state &s, const qnb_socket_set &invalid)
{
    for (unsigned i = 0; i < invalid.count; ++i) {
        qnb_socket_set_erase(&s.master, invalid.sockets[i]);
        wfa_log(QNB_LOG_WARNING, "wfa_worker: descriptor %d is closed; dropped from the socket set",
                invalid.sockets[i]);
    }
}

void worker_loop(wfa_state &s)
{
    static thread_local qnb_socket_set working;
    static thread_local qnb_socket_set invalid;
    bool wait_failing = false;
    while (s.run.load()) {
        // Commands merged in this pass run in the next one, which follows at once.
        const bool merged = tcb_run() > 0;

        if (s.sockets_changed)
            rebuild_socket_set(s);

        // The wake descriptor joins every wait, so that stop and a new command end it at once; with
        // no client socket the worker still waits its 20 ms instead of spinning.
        working.count = s.master.count;
        std::memcpy(working.sockets, s.master.sockets, s.master.count * sizeof(int));
        const bool have_sockets = s.master.count > 0;
        qnb_socket_set_add(&working, s.wake_fd);

        unsigned ready = 0;
        qnb_error e = qnb_socket_set_wait(&working, merged ? 0 : WFA_WAIT_MS, &ready, &invalid);
        if (e == QNB_ERR_SUCCESS && invalid.count > 0)
            drop_invalid_sockets(s, invalid);
        if (e == QNB_ERR_INTERRUPTED)
            continue;
        if (e != QNB_ERR_SUCCESS) {
            if (!wait_failing)
                wfa_log(QNB_LOG_ERROR, "wfa_worker: waiting for sockets failed: %d", e);
            wait_failing = true;
            wfa_pause(WFA_WAIT_MS);
            continue;
        }
        wait_failing = false;
        if (qnb_socket_set_is_member(&working, s.wake_fd)) {
            drain_wake(s);
            qnb_socket_set_erase(&working, s.wake_fd);
            if (ready > 0)
                --ready;
        }
        if (!s.run.load() || !have_sockets)
            continue;
        run_processors(s, &working, ready);
    }
}

void worker_main(uint16_t instance_id)
{
    t_on_worker = true;
    wfa_state &s = wfa_state_get();
    uint32_t r;
    try {
        r = worker_init(s, instance_id);
    } catch (...) {
        r = WFA_E_NO_MEMORY;
    }
    if (r) {
        worker_cleanup(s);
        report_init(s, r);
        return;
    }
    s.started = true;
    tcb_open_inbox(true);
    report_init(s, 0);
    try {
        worker_loop(s);
    } catch (...) {
        // Nothing may end the thread without its clean-up (memory exhausted inside a task).
        wfa_log(QNB_LOG_CRITICAL, "wfa_worker: stopped by an exception");
        tcb_open_inbox(false);
        s.run = 0;
    }
    worker_cleanup(s);
}

uint16_t start_status(uint32_t internal)
{
    switch (internal) {
    case WFA_E_WRONG_STATE:
        return ERR_DUP_INIT;
    case WFA_E_CONMON_ABSENT:
        return ERR_CONMON_ABSENT;
    case WFA_E_DNSSD_ABSENT:
        return ERR_DNSSD_ABSENT;
    default:
        return ERR_EXIT;
    }
}

uint32_t thread_start(wfa_state &s, wfa_result_callback callback, void *context, uint16_t id)
{
    if (s.callback.load() || s.instance_id.load())
        return WFA_E_WRONG_STATE;
    // A worker that ended on its own (stop asked from inside it) is joined before a new one starts.
    if (s.worker.joinable())
        s.worker.join();
    close_wake(s);

    tcb_init();
    s.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wake_fd < 0)
        return WFA_E_NO_THREAD;
    clear_socket_hooks(s);
    s.callback = callback;
    s.context = context;
    s.instance_id = id;
    s.run = 1;
    {
        std::lock_guard<std::mutex> lock(s.init_lock);
        s.init_done = false;
        s.init_result = 0;
    }
    try {
        s.worker = std::thread(worker_main, id);
    } catch (...) {
        s.run = 0;
        s.callback = nullptr;
        s.context = nullptr;
        s.instance_id = 0;
        close_wake(s);
        return WFA_E_NO_THREAD;
    }

    uint32_t result;
    {
        std::unique_lock<std::mutex> lock(s.init_lock);
        s.init_cv.wait(lock, [&s] { return s.init_done; });
        result = s.init_result;
    }
    if (result) {
        s.run = 0;
        s.worker.join();
        close_wake(s);
        return result;
    }
    return 0;
}

uint16_t stop_locked(wfa_state &s)
{
    tcb_open_inbox(false);
    s.run = 0;
    signal_wake(s);
    if (s.worker.joinable())
        s.worker.join();
    close_wake(s);
    s.started = false;
    s.owner = nullptr;
    return ERR_NOERR;
}

// Stop asked from the worker itself (from inside a result callback): the loop ends after this
// pass; the next start or stop joins the thread.
uint16_t stop_from_worker(wfa_state &s)
{
    tcb_open_inbox(false);
    s.run = 0;
    signal_wake(s);
    return ERR_NOERR;
}

} // namespace

wfa_state &wfa_state_get(void)
{
    static wfa_state state;
    return state;
}

wfa_state::~wfa_state()
{
    // A layer still running when the library goes away is stopped, never left to a destroyed thread
    // object.
    if (worker.joinable()) {
        run = 0;
        signal_wake(*this);
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();
        else
            worker.join();
    }
    close_wake(*this);
}

uint16_t wfa_start(wfa_result_callback callback, void *context, uint16_t *id)
{
    if (!id)
        return ERR_PARAM;
    if (!callback) {
        *id = 0;
        return ERR_PARAM;
    }
    if (t_on_worker) {
        *id = 0;
        return ERR_DUP_INIT;
    }
    wfa_state &s = wfa_state_get();
    std::lock_guard<std::mutex> control(s.control_lock);
    if (++s.id_counter == 0)
        s.id_counter = 1;
    *id = s.id_counter;
    uint32_t r = thread_start(s, callback, context, *id);
    if (r) {
        *id = 0;
        return start_status(r);
    }
    s.owner = context;
    return ERR_NOERR;
}

uint16_t wfa_stop(void)
{
    wfa_state &s = wfa_state_get();
    if (t_on_worker)
        return stop_from_worker(s);
    std::lock_guard<std::mutex> control(s.control_lock);
    return stop_locked(s);
}

uint16_t wfa_stop_for(const void *context)
{
    wfa_state &s = wfa_state_get();
    if (t_on_worker)
        return s.context.load() == context ? stop_from_worker(s) : ERR_NOERR;
    std::lock_guard<std::mutex> control(s.control_lock);
    if (s.owner != context)
        return ERR_NOERR;
    return stop_locked(s);
}

bool wfa_is_started(void)
{
    return wfa_state_get().started.load();
}

bool wfa_is_running(void)
{
    return wfa_state_get().run.load() != 0;
}

uint16_t wfa_instance_id(void)
{
    return wfa_state_get().instance_id.load();
}

uint16_t wfa_request(uint32_t command, const void *params, uint16_t *request_id)
{
    if (command >= WFA_COMMAND_COUNT)
        return ERR_UNKNOWN;
    const wfa_command &row = wfa_command_table[command];
    if (!row.handler)
        return ERR_NOT_IMPREMENTED;
    if ((!params && row.size != 0) || !request_id)
        return ERR_PARAM;

    uint8_t block[2 + WFA_MAX_ARGUMENTS];
    std::memcpy(block, request_id, 2);
    if (row.size)
        std::memcpy(block + 2, params, row.size);
    uint32_t error = 0;
    if (!tcb_post(row.handler, row.name, block, 2 + row.size, &error)) {
        *request_id = 0;
        return error == WFA_E_NO_INIT ? ERR_NO_INIT : ERR_UNKNOWN;
    }
    return ERR_NOERR;
}

uint32_t wfa_post_result(const void *payload, size_t size, uint16_t code, uint16_t request_id,
                         uint16_t status)
{
    if (!payload)
        return WFA_E_NULL;
    if (code >= WFA_COMMAND_COUNT || size > WFA_MAX_PAYLOAD)
        return WFA_E_BAD_ARGUMENT;
    wfa_state &s = wfa_state_get();
    wfa_result_callback callback = s.callback.load();
    if (!callback)
        return WFA_E_NOT_READY;
    uint8_t frame[WFA_FRAME_HEADER + WFA_MAX_PAYLOAD];
    std::memcpy(frame, &code, 2);
    std::memcpy(frame + 2, &request_id, 2);
    if (size)
        std::memcpy(frame + WFA_FRAME_HEADER, payload, size);
    callback(s.context.load(), status, frame, WFA_FRAME_HEADER + size);
    return 0;
}

void wfa_set_socket_provider(wfa_socket_slot slot, wfa_socket_provider provider)
{
    if (slot < 0 || slot >= WFA_SOCKET_SLOTS)
        return;
    wfa_state_get().providers[slot] = provider;
}

void wfa_set_socket_processor(wfa_socket_slot slot, wfa_socket_processor processor)
{
    if (slot < 0 || slot >= WFA_SOCKET_SLOTS)
        return;
    wfa_state_get().processors[slot] = processor;
}

void wfa_set_cmm_socket(int socket, wfa_cmm_socket_processor processor)
{
    wfa_state &s = wfa_state_get();
    s.cmm_socket = socket < 0 ? -1 : socket;
    s.cmm_processor = processor;
}

void wfa_set_sockets_changed(void)
{
    wfa_state_get().sockets_changed = true;
}

bool wfa_pause(unsigned ms)
{
    wfa_state &s = wfa_state_get();
    if (!t_on_worker || !s.run.load())
        return false;
    if (wfa_pause_hook hook = s.pause_hook.load()) {
        hook(ms, s.pause_context.load());
        return s.run.load() != 0;
    }
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left < 0)
            left = 0;
        pollfd p = {s.wake_fd, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) {
            // A new command wakes the descriptor too; only stop (which clears the run flag before
            // it signals) cuts the pause short.
            drain_wake(s);
            if (!s.run.load())
                return false;
            continue;
        }
        if (!s.run.load())
            return false;
        if (n == 0 && left == 0)
            return true;
        if (n == 0)
            continue; // woke early by the clock's granularity
        if (errno != EINTR)
            return s.run.load() != 0;
    }
}

void wfa_set_pause_hook(wfa_pause_hook hook, void *context)
{
    wfa_state &s = wfa_state_get();
    s.pause_context = context;
    s.pause_hook = hook;
}

qnb_env *wfa_env(void)
{
    return wfa_state_get().env.load();
}

namespace {

// The one readiness task that waits (worker only); cleared by its finish.
TCB *g_readiness = nullptr;

void readiness_finished(TCB *task)
{
    if (g_readiness == task)
        g_readiness = nullptr;
}

int wfa_main_check_initialized(TCB *task)
{
    if (!wfa_cmm_is_ready() || !wfa_conmon_is_ready())
        return 0;
    wfa_interface_record current{};
    if (wfa_cmm_get_if(&current) != 0)
        return 0;
    uint8_t payload[2 * WFA_IF_NAME_UNITS];
    wfa_put_utf16(payload, sizeof payload, 0, current.name, WFA_IF_NAME_UNITS);
    uint16_t id = 0;
    wfa_get_u16(task->parameters, sizeof task->parameters, 0, &id);
    wfa_post_result(payload, sizeof payload, WFA_CBACK_INF_INIT, id, ERR_NOERR);
    tcb_finish(task);
    return 0;
}

} // namespace

uint32_t wfa_main_check_initialized_start(uint16_t instance_id)
{
    // A check that still waits reports the interface in use when it posts, so it serves a later
    // start too; a second one would announce the same readiness twice.
    if (g_readiness != nullptr)
        return 0;
    TCB *task = tcb_create(wfa_main_check_initialized, readiness_finished, TCB_KEY_READINESS,
                           TCB_KIND_WORKER, "wfa_main_check_initialized");
    if (!task)
        return WFA_E_NO_MEMORY;
    wfa_put_u16(task->parameters, sizeof task->parameters, 0, instance_id);
    g_readiness = task;
    return 0;
}

void wfa_log(unsigned level, const char *format, ...)
{
    qnb_env *env = wfa_env();
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (env && env->logger)
        qnb_log(env->logger, level, "%s", text);
    else if (level <= QNB_LOG_WARNING)
        qnb_debug_print(level <= QNB_LOG_ERROR ? QNB_DBG_ERROR : QNB_DBG_WARNING, "%s\n", text);
}

void wfa_set_init_step(wfa_init_step step)
{
    wfa_state_get().init_step = step;
}

bool wfa_state_reset(void)
{
    wfa_state &s = wfa_state_get();
    std::lock_guard<std::mutex> control(s.control_lock);
    if (s.started.load() || s.callback.load() || s.instance_id.load())
        return false;
    if (s.worker.joinable())
        s.worker.join();
    close_wake(s);
    tcb_cleanup();
    tcb_init();
    clear_socket_hooks(s);
    s.id_counter = 0;
    s.run = 0;
    s.owner = nullptr;
    s.pause_hook = nullptr;
    s.pause_context = nullptr;
    s.init_step = nullptr;
    s.browse = wfa_browse_block{};
    s.browse_calls = nullptr;
    s.cmm_port = 0;
    s.cmm_conmon_restart = nullptr;
    s.conmon_port = 0;
    return true;
}
