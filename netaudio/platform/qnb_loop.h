// The library's own event loop: three socket sets (read, write, exception), timers ordered by
// expiry, and a queue of callbacks run once on the next pass. Modules find it in the environment
// (qnb_env.h); with a loop they register their sockets and timers here, without one the
// application collects their sockets and calls their process functions.
//
// One thread runs the loop and everything registered in it; there are no locks. Callbacks may
// change the loop while it dispatches (add or remove sockets, create, re-arm, stop or delete
// timers, queue deferred callbacks): such changes take effect once the walk that runs the callback
// has finished. Every time is read from the library clock (qnb_time.h), so a fake clock drives the
// timers; the real wait of a pass is bounded by its caller.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_list.h"
#include "netaudio/platform/qnb_socket_set.h"
#include "netaudio/platform/qnb_time.h"

struct qnb_env;
struct qnb_event_loop;
struct qnb_timer;

// Events reported to the application callback.
enum {
    QNB_EVENT_LOOP_SOCKETS_CHANGED = 2,
    QNB_EVENT_LOOP_TIMER_EARLIEST = 4
};

enum {
    QNB_EVENT_LOOP_SET_READ = 0,
    QNB_EVENT_LOOP_SET_WRITE = 1,
    QNB_EVENT_LOOP_SET_EXCEPT = 2,
    QNB_EVENT_LOOP_SET_COUNT = 3
};

// Modes of qnb_event_loop_set_socket.
enum {
    QNB_EVENT_LOOP_ADD_OR_CHANGE = 0,
    QNB_EVENT_LOOP_CHANGE_ONLY = 1,
    QNB_EVENT_LOOP_ADD_ONLY = 2
};

typedef int (*qnb_event_loop_fn)(qnb_event_loop *loop, void *user_data, uint32_t events);
typedef void (*qnb_event_loop_socket_fn)(qnb_event_loop *loop, int socket, unsigned set_index, void *user_data);
typedef void (*qnb_timer_fn)(qnb_timer *timer, void *context);
// `argument` is 0 on a pass and 1 when the loop is destroyed with the callback still queued.
typedef void (*qnb_event_loop_pass_fn)(int argument, qnb_event_loop *loop, uint32_t handle, void *user_data);
typedef void (*qnb_event_loop_object_free_fn)(void *object);

// ---------------------------------------------------------------------------------------------
// Loop

// A new loop. `callback` (may be null) hears of the events in `interest`; `pass_capacity` is the
// initial capacity of each deferred-callback buffer (0 takes the default of 16).
qnb_error qnb_event_loop_new(qnb_event_loop **out, qnb_event_loop_fn callback, void *user_data, uint32_t interest,
                             uint32_t pass_capacity);
// Frees the loop with its timers, socket entries and loop-owned objects; deferred callbacks still
// queued run once with argument 1. QNB_ERR_INVALIDPARAMETER for none; QNB_ERR_INVALIDSTATE while
// it is being torn down or while it dispatches (a callback cannot free the loop it runs in).
qnb_error qnb_event_loop_destroy(qnb_event_loop *loop);
// Hands `object` to the loop: `free_fn` frees it when the loop is destroyed.
qnb_error qnb_event_loop_adopt_object(qnb_event_loop *loop, void *object, qnb_event_loop_object_free_fn free_fn);
// Reports `events` (masked with the interest) to the application callback and returns its result.
int qnb_event_loop_notify(qnb_event_loop *loop, uint32_t events);

// One pass: waits until a registered socket is ready, the earliest timer is due (by the library
// clock) or `max_wait_ms` of real time have passed, whichever comes first (no wait while deferred
// callbacks are queued); calls the callbacks of the ready sockets, fires the due timers in order
// (re-arming periodic ones), then runs the deferred callbacks queued before the pass. `ran`
// (may be null) receives the number of callbacks called. QNB_ERR_INVALIDSTATE from inside a
// callback of the loop.
qnb_error qnb_event_loop_run_once(qnb_event_loop *loop, int max_wait_ms, unsigned *ran);

// Registers, changes or removes the callback of `socket` in set `set_index` (see the modes). A
// null callback removes. QNB_ERR_ALREADY for an add of a registered socket, QNB_ERR_NOTFOUND for a
// change of an unregistered one, QNB_ERR_NOBUFS when the set already watches its 1024 sockets,
// QNB_ERR_INVALIDSTATE while the application callback runs.
qnb_error qnb_event_loop_set_socket(qnb_event_loop *loop, int socket, unsigned set_index,
                                    qnb_event_loop_socket_fn callback, void *user_data, int mode);
// Number of sockets set `set_index` watches (entries pending removal included until the pass ends).
unsigned qnb_event_loop_socket_count(const qnb_event_loop *loop, unsigned set_index);

// Deferred callbacks. The handle is the item's index + 1, with the top bit set for the second
// buffer; a removed item keeps its place, so its handle is not given out again until the buffers
// swap at the next pass.
enum { QNB_EVENT_LOOP_HANDLE_SECOND = 0x80000000u };
qnb_error qnb_event_loop_add_pass_callback(qnb_event_loop *loop, uint32_t *handle, qnb_event_loop_pass_fn callback,
                                           void *user_data);
qnb_error qnb_event_loop_remove_pass_callback(qnb_event_loop *loop, uint32_t handle, qnb_event_loop_pass_fn callback,
                                              void *user_data);
// Runs the queued callbacks once with `argument`; callbacks queued meanwhile wait for the next run.
qnb_error qnb_event_loop_run_pass_callbacks(qnb_event_loop *loop, int argument, unsigned *count);

// ---------------------------------------------------------------------------------------------
// Timers

// Timer states.
enum {
    QNB_TIMER_ARMED = 0,
    QNB_TIMER_PENDING = 1,
    QNB_TIMER_DELETE_PENDING = 2,
    QNB_TIMER_FIRING = 3,
    QNB_TIMER_REARM_PENDING = 4,
    QNB_TIMER_IDLE = 5
};
enum { QNB_TIMER_FLAG_CREATED_IDLE = 1 };

// A periodic timer, first due at `first` (null: now + interval). QNB_ERR_INVALIDPARAMETER without
// loop, callback, interval or out, or for an interval of 0.
qnb_error qnb_timer_new_periodic(qnb_event_loop *loop, qnb_timer_fn callback, const qnb_timeval *first,
                                 const qnb_timeval *interval, void *context, qnb_timer **out);
// A one-shot timer at `absolute` (plus `delay` when both are given) or at now + `delay`. Once it has
// fired the loop frees it.
qnb_error qnb_timer_new_oneshot(qnb_event_loop *loop, qnb_timer_fn callback, const qnb_timeval *absolute,
                                const qnb_timeval *delay, void *context, qnb_timer **out);
// A timer that waits idle until it is armed with qnb_timer_set_interval or qnb_timer_set_expiry; it
// may be stopped and armed again, and returns to idle after a one-shot firing (it is never freed by
// the loop).
qnb_error qnb_timer_new_idle(qnb_event_loop *loop, qnb_timer_fn callback, void *context, qnb_timer **out);
qnb_error qnb_timer_set_interval(qnb_timer *timer, const qnb_timeval *first, const qnb_timeval *interval);
qnb_error qnb_timer_set_expiry(qnb_timer *timer, const qnb_timeval *absolute, const qnb_timeval *delay);
// Only for a timer created idle (else QNB_ERR_INVALIDPARAMETER).
qnb_error qnb_timer_stop(qnb_timer *timer);
qnb_error qnb_timer_delete(qnb_timer *timer);
// 1 for a timer created idle that is armed (or firing), else 0.
int qnb_timer_is_armed(const qnb_timer *timer);
// The expiry (while firing: the one that fired); null when idle.
const qnb_timeval *qnb_timer_get_expiry(const qnb_timer *timer);
int qnb_timer_get_state(const qnb_timer *timer);
qnb_event_loop *qnb_timer_get_loop(const qnb_timer *timer);

// ---------------------------------------------------------------------------------------------
// Power state

// The operating system's power broadcast and its events.
enum {
    QNB_POWER_BROADCAST = 0x218,
    QNB_POWER_SUSPEND = 4,
    QNB_POWER_RESUME_SUSPEND = 7,
    QNB_POWER_RESUME_AUTOMATIC = 18
};
enum {
    QNB_POWER_AWAKE = 1,
    QNB_POWER_ASLEEP = 2,
    QNB_POWER_WAKING = 3
};

struct qnb_power_state_monitor;
typedef void (*qnb_power_state_fn)(qnb_power_state_monitor *monitor);

struct qnb_power_state_monitor {
    qnb_env *env; // its event loop runs the wake-delay timer
    qnb_timer *wake_timer;
    qnb_power_state_fn callback;
    qnb_timeval wake_delay;
    int state;
};

// Awake, with no timer. The monitor stays the caller's; qnb_power_state_monitor_close deletes a
// running wake-delay timer.
qnb_error qnb_power_state_monitor_init(qnb_power_state_monitor *monitor, qnb_env *env, qnb_power_state_fn callback,
                                       const qnb_timeval *wake_delay);
void qnb_power_state_monitor_close(qnb_power_state_monitor *monitor);
// Turns a power event of the platform into the monitor's state. Anything but QNB_POWER_BROADCAST is
// ignored (0). This platform has no power broadcasts of its own: whoever learns of suspend and
// resume calls it.
intptr_t qnb_power_state_monitor_wndproc(qnb_power_state_monitor *monitor, unsigned message, uintptr_t wparam,
                                         intptr_t lparam);
// Timer callback of the wake delay.
void qnb_power_state_monitor_wake_delay_timeout(qnb_timer *timer, void *context);
