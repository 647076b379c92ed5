#include "netaudio/platform/qnb_loop.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"

namespace {

enum { k_default_pass_capacity = 16 };

enum entry_state { entry_active = 0, entry_added = 1, entry_removal_pending = 2 };

} // namespace

struct qnb_timer_list {
    qnb_list timers; // sorted by expiry
    qnb_event_loop *loop;
    qnb_list pending; // created or re-armed while timers are dispatched
    bool dispatching;
};

struct qnb_timer {
    qnb_timer_list *list;
    qnb_timer_fn callback;
    void *context;
    unsigned flags;
    qnb_timeval expiry;
    qnb_timeval interval; // {0, 0}: one-shot
    int state;
    qnb_list_node node;
};

struct qnb_socket_entry {
    struct qnb_socket_sets *sets;
    int socket;
    unsigned set_index;
    int state;
    qnb_event_loop_socket_fn callback;
    void *user_data;
    qnb_list_node node;
};

struct qnb_socket_sets {
    qnb_list entries[QNB_EVENT_LOOP_SET_COUNT];
    qnb_socket_set watched[QNB_EVENT_LOOP_SET_COUNT];
    bool dispatching;
    unsigned dirty;   // bit per set: its watched sockets changed since the last wait
    unsigned changed; // bit per set: entries were added or marked during a dispatch
};

struct qnb_pass_item {
    qnb_event_loop_pass_fn callback;
    void *user_data;
};

struct qnb_pass_buffer {
    qnb_pass_item *items;
    uint32_t capacity;
    uint32_t count;
};

struct qnb_loop_object {
    void *object;
    qnb_event_loop_object_free_fn free_fn;
    qnb_list_node node;
};

struct qnb_event_loop {
    qnb_timer_list timers;
    qnb_list objects;
    qnb_socket_sets sockets;
    qnb_pass_buffer pass[2];
    unsigned current_pass;
    bool running_pass;
    bool closing;
    qnb_event_loop_fn callback;
    void *user_data;
    uint32_t interest;
    bool in_callback;
    bool in_run_once;
};

namespace {

uint64_t to_micros(const qnb_timeval &t)
{
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + t.tv_usec;
}

qnb_timeval from_micros(uint64_t us)
{
    return qnb_timeval{static_cast<uint32_t>(us / 1000000u), static_cast<uint32_t>(us % 1000000u)};
}

qnb_timeval normalised(const qnb_timeval &t)
{
    return from_micros(to_micros(t));
}

uint64_t now_micros()
{
    qnb_timeval t{0, 0};
    qnb_time_now(&t);
    return to_micros(t);
}

qnb_timer *timer_of(qnb_list_node *node)
{
    return node ? static_cast<qnb_timer *>(node->data) : nullptr;
}

// ---- timers ----

// Scanning from the latest timer, the new one goes right after the first that is not later, so
// equal expiries keep their order of insertion.
void insert_in_order(qnb_timer_list *list, qnb_timer *timer)
{
    uint64_t expiry = to_micros(timer->expiry);
    for (qnb_list_node *n = list->timers.last; n; n = n->previous) {
        if (to_micros(timer_of(n)->expiry) <= expiry) {
            qnb_list_insert_after(n, &timer->node);
            return;
        }
    }
    qnb_list_push_front(&list->timers, &timer->node);
    if (!list->dispatching)
        qnb_event_loop_notify(list->loop, QNB_EVENT_LOOP_TIMER_EARLIEST);
}

void free_timer(qnb_timer *timer)
{
    qnb_list_remove(&timer->node);
    delete timer;
}

qnb_error timer_create(qnb_event_loop *loop, qnb_timer_fn callback, void *context, unsigned flags,
                       const qnb_timeval &expiry, const qnb_timeval &interval, qnb_timer **out)
{
    if (loop->closing)
        return QNB_ERR_INVALIDSTATE;
    qnb_timer *timer = new (std::nothrow) qnb_timer();
    if (!timer)
        return QNB_ERR_NOMEMORY;
    timer->list = &loop->timers;
    timer->callback = callback;
    timer->context = context;
    timer->flags = flags;
    timer->expiry = normalised(expiry);
    timer->interval = normalised(interval);
    timer->node.data = timer;
    if (flags & QNB_TIMER_FLAG_CREATED_IDLE) {
        timer->state = QNB_TIMER_IDLE;
    } else if (loop->timers.dispatching) {
        timer->state = QNB_TIMER_PENDING;
        qnb_list_push_back(&loop->timers.pending, &timer->node);
    } else {
        timer->state = QNB_TIMER_ARMED;
        insert_in_order(&loop->timers, timer);
    }
    *out = timer;
    return QNB_ERR_SUCCESS;
}

// After a new expiry or interval.
void reinsert(qnb_timer *timer)
{
    qnb_timer_list *list = timer->list;
    if (list->dispatching) {
        if (timer->node.list != &list->timers)
            qnb_list_push_back(&list->pending, &timer->node);
        timer->state = QNB_TIMER_REARM_PENDING;
        return;
    }
    qnb_list_remove(&timer->node);
    insert_in_order(list, timer);
    timer->state = QNB_TIMER_ARMED;
}

// The expiry of a one-shot: `absolute` (+ `delay`), or now + `delay`.
qnb_error oneshot_expiry(const qnb_timeval *absolute, const qnb_timeval *delay, qnb_timeval *out)
{
    if (absolute) {
        *out = from_micros(to_micros(*absolute) + (delay ? to_micros(*delay) : 0));
        return QNB_ERR_SUCCESS;
    }
    if (!delay)
        return QNB_ERR_INVALIDPARAMETER;
    *out = from_micros(now_micros() + to_micros(*delay));
    return QNB_ERR_SUCCESS;
}

// Fires every armed timer that is due, then settles what the callbacks changed.
unsigned dispatch_timers(qnb_timer_list *list)
{
    unsigned fired = 0;
    uint64_t now = now_micros();
    list->dispatching = true;
    // Nothing leaves the list while it is dispatched, so the walk is safe; timers re-armed in place
    // (REARM_PENDING) are skipped and sorted afterwards.
    for (qnb_list_node *n = list->timers.first; n; n = n->next) {
        qnb_timer *timer = timer_of(n);
        if (timer->state != QNB_TIMER_ARMED)
            continue;
        if (to_micros(timer->expiry) > now)
            break;
        timer->state = QNB_TIMER_FIRING;
        timer->callback(timer, timer->context);
        ++fired;
        if (timer->state != QNB_TIMER_FIRING)
            continue; // re-armed, stopped or deleted by a callback
        uint64_t interval = to_micros(timer->interval);
        if (interval) {
            uint64_t next = to_micros(timer->expiry) + interval;
            if (next <= now)
                next = now + interval; // missed periods are skipped, not fired in a burst
            timer->expiry = from_micros(next);
            timer->state = QNB_TIMER_REARM_PENDING;
        } else if (timer->flags & QNB_TIMER_FLAG_CREATED_IDLE) {
            timer->state = QNB_TIMER_IDLE;
        } else {
            timer->state = QNB_TIMER_DELETE_PENDING;
        }
    }
    list->dispatching = false;

    qnb_list settle{0, nullptr, nullptr};
    for (qnb_list_node *n = list->timers.first; n;) {
        qnb_timer *timer = timer_of(n);
        n = n->next;
        if (timer->state != QNB_TIMER_ARMED)
            qnb_list_push_back(&settle, &timer->node);
    }
    while (list->pending.first)
        qnb_list_push_back(&settle, list->pending.first);
    while (settle.first) {
        qnb_timer *timer = timer_of(settle.first);
        qnb_list_remove(&timer->node);
        switch (timer->state) {
        case QNB_TIMER_DELETE_PENDING:
            delete timer;
            break;
        case QNB_TIMER_IDLE:
            break;
        default: // created or re-armed meanwhile
            timer->state = QNB_TIMER_ARMED;
            insert_in_order(list, timer);
            break;
        }
    }
    return fired;
}

// Microseconds until the earliest armed timer; false when none.
bool earliest_timer(const qnb_timer_list *list, uint64_t *at)
{
    for (qnb_list_node *n = list->timers.first; n; n = n->next) {
        qnb_timer *timer = timer_of(n);
        if (timer->state == QNB_TIMER_ARMED) {
            *at = to_micros(timer->expiry);
            return true;
        }
    }
    return false;
}

// ---- sockets ----

qnb_socket_entry *entry_of(qnb_list_node *node)
{
    return node ? static_cast<qnb_socket_entry *>(node->data) : nullptr;
}

qnb_socket_entry *find_entry(qnb_socket_sets *sets, unsigned set_index, int socket)
{
    for (qnb_list_node *n = sets->entries[set_index].first; n; n = n->next) {
        if (entry_of(n)->socket == socket)
            return entry_of(n);
    }
    return nullptr;
}

void remove_entry(qnb_socket_sets *sets, qnb_socket_entry *entry)
{
    unsigned bit = 1u << entry->set_index;
    if (sets->dispatching) {
        entry->state = entry_removal_pending;
        sets->changed |= bit;
        return;
    }
    qnb_list_remove(&entry->node);
    qnb_socket_set_erase(&sets->watched[entry->set_index], entry->socket);
    delete entry;
}

// Frees the entries marked during a dispatch and activates the ones added.
void settle_sockets(qnb_socket_sets *sets)
{
    for (unsigned i = 0; i < QNB_EVENT_LOOP_SET_COUNT; ++i) {
        if (!(sets->changed & (1u << i)))
            continue;
        for (qnb_list_node *n = sets->entries[i].first; n;) {
            qnb_socket_entry *entry = entry_of(n);
            n = n->next;
            if (entry->state == entry_removal_pending)
                remove_entry(sets, entry);
            else
                entry->state = entry_active;
        }
    }
    sets->changed = 0;
}

short poll_events(unsigned set_index)
{
    switch (set_index) {
    case QNB_EVENT_LOOP_SET_READ:
        return POLLIN;
    case QNB_EVENT_LOOP_SET_WRITE:
        return POLLOUT;
    default:
        return POLLPRI;
    }
}

bool ready_for(unsigned set_index, short revents)
{
    switch (set_index) {
    case QNB_EVENT_LOOP_SET_READ: // errors and hang-ups count, so the receive reports them
        return revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL);
    case QNB_EVENT_LOOP_SET_WRITE:
        return revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL);
    default:
        return revents & POLLPRI;
    }
}

// Waits at most `timeout_ms` and calls the callbacks of the ready sockets.
qnb_error dispatch_sockets(qnb_event_loop *loop, int timeout_ms, unsigned *called)
{
    qnb_socket_sets *sets = &loop->sockets;
    std::vector<struct pollfd> polled;
    std::vector<unsigned> set_of;
    try {
        for (unsigned i = 0; i < QNB_EVENT_LOOP_SET_COUNT; ++i) {
            const qnb_socket_set &w = sets->watched[i];
            for (unsigned k = 0; k < w.count; ++k) {
                polled.push_back(pollfd{w.sockets[k], poll_events(i), 0});
                set_of.push_back(i);
            }
        }
    } catch (const std::bad_alloc &) {
        return QNB_ERR_NOMEMORY;
    }
    sets->dirty = 0;
    int n = poll(polled.empty() ? nullptr : polled.data(), polled.size(), timeout_ms);
    if (n < 0)
        return errno == EINTR ? QNB_ERR_SUCCESS : qnb_error_last();
    if (n == 0)
        return QNB_ERR_SUCCESS;
    sets->dispatching = true;
    for (size_t k = 0; k < polled.size(); ++k) {
        unsigned set_index = set_of[k];
        if (!ready_for(set_index, polled[k].revents))
            continue;
        // Entries stay in memory while the sets are dispatched: marked ones are skipped, and an
        // entry added during the pass waits for the next one.
        qnb_socket_entry *entry = find_entry(sets, set_index, polled[k].fd);
        if (!entry || entry->state != entry_active)
            continue;
        entry->callback(loop, entry->socket, set_index, entry->user_data);
        ++*called;
    }
    sets->dispatching = false;
    settle_sockets(sets);
    return QNB_ERR_SUCCESS;
}

// ---- deferred callbacks ----

qnb_error pass_buffer_reserve(qnb_pass_buffer *buffer, uint32_t capacity)
{
    if (buffer->items && buffer->count < buffer->capacity)
        return QNB_ERR_SUCCESS;
    uint32_t wanted = buffer->items ? buffer->capacity * 2 : capacity;
    if (wanted <= buffer->count || wanted > 0x7FFFFFFFu)
        return QNB_ERR_NOMEMORY;
    void *grown = std::realloc(buffer->items, sizeof(qnb_pass_item) * wanted);
    if (!grown)
        return QNB_ERR_NOMEMORY;
    buffer->items = static_cast<qnb_pass_item *>(grown);
    buffer->capacity = wanted;
    return QNB_ERR_SUCCESS;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Loop

qnb_error qnb_event_loop_new(qnb_event_loop **out, qnb_event_loop_fn callback, void *user_data, uint32_t interest,
                             uint32_t pass_capacity)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_event_loop *loop = new (std::nothrow) qnb_event_loop();
    if (!loop)
        return QNB_ERR_NOMEMORY;
    loop->timers.loop = loop;
    if (!pass_capacity)
        pass_capacity = k_default_pass_capacity;
    loop->pass[0].capacity = pass_capacity;
    loop->pass[1].capacity = pass_capacity;
    loop->callback = callback;
    loop->user_data = user_data;
    loop->interest = interest;
    *out = loop;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_event_loop_destroy(qnb_event_loop *loop)
{
    if (!loop)
        return QNB_ERR_INVALIDPARAMETER;
    if (loop->closing || loop->in_run_once || loop->timers.dispatching || loop->sockets.dispatching ||
        loop->running_pass || loop->in_callback)
        return QNB_ERR_INVALIDSTATE;
    loop->closing = true;

    qnb_list *timer_lists[] = {&loop->timers.timers, &loop->timers.pending};
    for (qnb_list *l : timer_lists) {
        while (l->first)
            free_timer(timer_of(l->first));
    }
    while (loop->objects.first) {
        qnb_loop_object *o = static_cast<qnb_loop_object *>(loop->objects.first->data);
        qnb_list_remove(&o->node);
        if (o->free_fn)
            o->free_fn(o->object);
        delete o;
    }
    for (qnb_list &entries : loop->sockets.entries) {
        while (entries.first) {
            qnb_socket_entry *entry = entry_of(entries.first);
            qnb_list_remove(&entry->node);
            delete entry;
        }
    }
    qnb_event_loop_run_pass_callbacks(loop, 1, nullptr);
    std::free(loop->pass[0].items);
    std::free(loop->pass[1].items);
    delete loop;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_event_loop_adopt_object(qnb_event_loop *loop, void *object, qnb_event_loop_object_free_fn free_fn)
{
    if (!loop || !object || !free_fn)
        return QNB_ERR_INVALIDPARAMETER;
    if (loop->closing)
        return QNB_ERR_INVALIDSTATE;
    qnb_loop_object *o = new (std::nothrow) qnb_loop_object();
    if (!o)
        return QNB_ERR_NOMEMORY;
    o->object = object;
    o->free_fn = free_fn;
    o->node.data = o;
    qnb_list_push_back(&loop->objects, &o->node);
    return QNB_ERR_SUCCESS;
}

int qnb_event_loop_notify(qnb_event_loop *loop, uint32_t events)
{
    if (!loop || !loop->callback || loop->closing)
        return 0;
    events &= loop->interest;
    if (!events)
        return 0;
    bool was = loop->in_callback;
    loop->in_callback = true;
    int result = loop->callback(loop, loop->user_data, events);
    loop->in_callback = was;
    return result;
}

qnb_error qnb_event_loop_run_once(qnb_event_loop *loop, int max_wait_ms, unsigned *ran)
{
    if (ran)
        *ran = 0;
    if (!loop || max_wait_ms < 0)
        return QNB_ERR_INVALIDPARAMETER;
    if (loop->in_run_once || loop->closing)
        return QNB_ERR_INVALIDSTATE;
    loop->in_run_once = true;

    // The wait reads the library clock, so a fake clock decides when a timer is due; the real
    // wait never exceeds the caller's bound.
    int timeout_ms = max_wait_ms;
    if (loop->pass[loop->current_pass].count) {
        timeout_ms = 0;
    } else {
        uint64_t at = 0;
        if (earliest_timer(&loop->timers, &at)) {
            uint64_t now = now_micros();
            uint64_t until = at > now ? (at - now + 999) / 1000 : 0;
            if (until < static_cast<uint64_t>(timeout_ms))
                timeout_ms = static_cast<int>(until);
        }
    }
    unsigned called = 0;
    qnb_error err = dispatch_sockets(loop, timeout_ms, &called);
    called += dispatch_timers(&loop->timers);
    unsigned passes = 0;
    if (loop->pass[loop->current_pass].count)
        qnb_event_loop_run_pass_callbacks(loop, 0, &passes);
    loop->in_run_once = false;
    if (ran)
        *ran = called + passes;
    return err;
}

qnb_error qnb_event_loop_set_socket(qnb_event_loop *loop, int socket, unsigned set_index,
                                    qnb_event_loop_socket_fn callback, void *user_data, int mode)
{
    if (!loop || set_index >= QNB_EVENT_LOOP_SET_COUNT || socket < 0 || mode < QNB_EVENT_LOOP_ADD_OR_CHANGE ||
        mode > QNB_EVENT_LOOP_ADD_ONLY)
        return QNB_ERR_INVALIDPARAMETER;
    if (loop->in_callback || loop->closing)
        return QNB_ERR_INVALIDSTATE;
    qnb_socket_sets *sets = &loop->sockets;
    unsigned bit = 1u << set_index;
    qnb_socket_entry *entry = find_entry(sets, set_index, socket);
    if (entry && entry->state != entry_removal_pending) {
        if (mode == QNB_EVENT_LOOP_ADD_ONLY)
            return QNB_ERR_ALREADY;
        if (!callback) {
            remove_entry(sets, entry);
        } else {
            entry->callback = callback;
            entry->user_data = user_data;
        }
    } else if (entry) {
        if (mode == QNB_EVENT_LOOP_CHANGE_ONLY)
            return QNB_ERR_NOTFOUND;
        if (!callback)
            return QNB_ERR_SUCCESS;
        entry->state = entry_added; // revived: active again once the pass has ended
        entry->callback = callback;
        entry->user_data = user_data;
        sets->changed |= bit;
    } else {
        if (mode == QNB_EVENT_LOOP_CHANGE_ONLY)
            return QNB_ERR_NOTFOUND;
        if (!callback)
            return QNB_ERR_SUCCESS;
        // A socket the set cannot watch is refused, never accepted and then left silent.
        if (sets->watched[set_index].count >= QNB_SOCKET_SET_MAX)
            return QNB_ERR_NOBUFS;
        entry = new (std::nothrow) qnb_socket_entry();
        if (!entry)
            return QNB_ERR_NOMEMORY;
        qnb_error err = qnb_socket_set_add(&sets->watched[set_index], socket);
        if (err) {
            delete entry;
            return err;
        }
        entry->sets = sets;
        entry->socket = socket;
        entry->set_index = set_index;
        entry->callback = callback;
        entry->user_data = user_data;
        entry->node.data = entry;
        if (sets->dispatching) {
            entry->state = entry_added;
            sets->changed |= bit;
        } else {
            entry->state = entry_active;
        }
        qnb_list_push_back(&sets->entries[set_index], &entry->node);
    }
    sets->dirty |= bit;
    qnb_event_loop_notify(loop, QNB_EVENT_LOOP_SOCKETS_CHANGED);
    return QNB_ERR_SUCCESS;
}

unsigned qnb_event_loop_socket_count(const qnb_event_loop *loop, unsigned set_index)
{
    if (!loop || set_index >= QNB_EVENT_LOOP_SET_COUNT)
        return 0;
    return loop->sockets.watched[set_index].count;
}

qnb_error qnb_event_loop_add_pass_callback(qnb_event_loop *loop, uint32_t *handle, qnb_event_loop_pass_fn callback,
                                           void *user_data)
{
    if (!loop || !callback)
        return QNB_ERR_INVALIDPARAMETER;
    if (loop->closing)
        return QNB_ERR_INVALIDSTATE; // it would never run
    qnb_pass_buffer *buffer = &loop->pass[loop->current_pass];
    uint32_t larger = loop->pass[0].capacity > loop->pass[1].capacity ? loop->pass[0].capacity : loop->pass[1].capacity;
    if (!larger)
        return QNB_ERR_NOTINITIALISED;
    qnb_error err = pass_buffer_reserve(buffer, larger);
    if (err)
        return err;
    uint32_t index = buffer->count++;
    buffer->items[index].callback = callback;
    buffer->items[index].user_data = user_data;
    if (handle)
        *handle = (index + 1) | (loop->current_pass ? QNB_EVENT_LOOP_HANDLE_SECOND : 0u);
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_event_loop_remove_pass_callback(qnb_event_loop *loop, uint32_t handle, qnb_event_loop_pass_fn callback,
                                              void *user_data)
{
    if (!loop || !handle || !callback)
        return QNB_ERR_INVALIDPARAMETER;
    if (!loop->pass[0].capacity && !loop->pass[1].capacity)
        return QNB_ERR_NOTINITIALISED;
    qnb_pass_buffer *buffer = &loop->pass[(handle & QNB_EVENT_LOOP_HANDLE_SECOND) ? 1 : 0];
    uint32_t index = (handle & ~QNB_EVENT_LOOP_HANDLE_SECOND) - 1;
    if (index >= buffer->count || buffer->items[index].callback != callback ||
        buffer->items[index].user_data != user_data)
        return QNB_ERR_NOTFOUND;
    buffer->items[index].callback = nullptr;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_event_loop_run_pass_callbacks(qnb_event_loop *loop, int argument, unsigned *count)
{
    if (count)
        *count = 0;
    if (!loop)
        return QNB_ERR_INVALIDPARAMETER;
    unsigned which = loop->current_pass;
    qnb_pass_buffer *buffer = &loop->pass[which];
    if (!buffer->items)
        return QNB_ERR_NOTINITIALISED;
    if (loop->running_pass)
        return QNB_ERR_INVALIDSTATE;
    loop->running_pass = true;
    loop->current_pass = which ^ 1u;
    loop->pass[loop->current_pass].count = 0;
    unsigned ran = 0;
    uint32_t flag = which ? QNB_EVENT_LOOP_HANDLE_SECOND : 0u;
    for (uint32_t i = 0; i < buffer->count; ++i) {
        qnb_event_loop_pass_fn callback = buffer->items[i].callback;
        if (!callback)
            continue;
        buffer->items[i].callback = nullptr;
        callback(argument, loop, (i + 1) | flag, buffer->items[i].user_data);
        ++ran;
    }
    buffer->count = 0;
    loop->running_pass = false;
    if (count)
        *count = ran;
    return QNB_ERR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Timers

qnb_error qnb_timer_new_periodic(qnb_event_loop *loop, qnb_timer_fn callback, const qnb_timeval *first,
                                 const qnb_timeval *interval, void *context, qnb_timer **out)
{
    if (!loop || !callback || !interval || !out || to_micros(*interval) == 0)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_timeval expiry = first ? *first : from_micros(now_micros() + to_micros(*interval));
    return timer_create(loop, callback, context, 0, expiry, *interval, out);
}

qnb_error qnb_timer_new_oneshot(qnb_event_loop *loop, qnb_timer_fn callback, const qnb_timeval *absolute,
                                const qnb_timeval *delay, void *context, qnb_timer **out)
{
    if (!loop || !callback || !out)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_timeval expiry;
    qnb_error err = oneshot_expiry(absolute, delay, &expiry);
    if (err)
        return err;
    return timer_create(loop, callback, context, 0, expiry, qnb_timeval{0, 0}, out);
}

qnb_error qnb_timer_new_idle(qnb_event_loop *loop, qnb_timer_fn callback, void *context, qnb_timer **out)
{
    if (!loop || !callback || !out)
        return QNB_ERR_INVALIDPARAMETER;
    return timer_create(loop, callback, context, QNB_TIMER_FLAG_CREATED_IDLE, qnb_timeval{0, 0}, qnb_timeval{0, 0},
                        out);
}

qnb_error qnb_timer_set_interval(qnb_timer *timer, const qnb_timeval *first, const qnb_timeval *interval)
{
    if (!timer || !interval || to_micros(*interval) == 0 || timer->state == QNB_TIMER_DELETE_PENDING)
        return QNB_ERR_INVALIDPARAMETER;
    timer->interval = normalised(*interval);
    timer->expiry = first ? normalised(*first) : from_micros(now_micros() + to_micros(*interval));
    reinsert(timer);
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_timer_set_expiry(qnb_timer *timer, const qnb_timeval *absolute, const qnb_timeval *delay)
{
    if (!timer || timer->state == QNB_TIMER_DELETE_PENDING)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_timeval expiry;
    qnb_error err = oneshot_expiry(absolute, delay, &expiry);
    if (err)
        return err;
    timer->expiry = expiry;
    timer->interval = qnb_timeval{0, 0};
    reinsert(timer);
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_timer_stop(qnb_timer *timer)
{
    if (!timer || !(timer->flags & QNB_TIMER_FLAG_CREATED_IDLE))
        return QNB_ERR_INVALIDPARAMETER;
    if (timer->state == QNB_TIMER_IDLE)
        return QNB_ERR_SUCCESS;
    timer->state = QNB_TIMER_IDLE;
    if (!timer->list->dispatching)
        qnb_list_remove(&timer->node);
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_timer_delete(qnb_timer *timer)
{
    if (!timer)
        return QNB_ERR_INVALIDPARAMETER;
    if (timer->list->dispatching && timer->node.list == &timer->list->timers) {
        timer->state = QNB_TIMER_DELETE_PENDING;
        return QNB_ERR_SUCCESS;
    }
    free_timer(timer);
    return QNB_ERR_SUCCESS;
}

int qnb_timer_is_armed(const qnb_timer *timer)
{
    if (!timer || !(timer->flags & QNB_TIMER_FLAG_CREATED_IDLE))
        return 0;
    return timer->state == QNB_TIMER_ARMED || timer->state == QNB_TIMER_FIRING ||
                   timer->state == QNB_TIMER_REARM_PENDING
               ? 1
               : 0;
}

const qnb_timeval *qnb_timer_get_expiry(const qnb_timer *timer)
{
    if (!timer || timer->state == QNB_TIMER_IDLE)
        return nullptr;
    return &timer->expiry;
}

int qnb_timer_get_state(const qnb_timer *timer)
{
    return timer ? timer->state : QNB_TIMER_IDLE;
}

qnb_event_loop *qnb_timer_get_loop(const qnb_timer *timer)
{
    return timer ? timer->list->loop : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Power state

qnb_error qnb_power_state_monitor_init(qnb_power_state_monitor *monitor, qnb_env *env, qnb_power_state_fn callback,
                                       const qnb_timeval *wake_delay)
{
    if (!monitor || !env)
        return QNB_ERR_INVALIDPARAMETER;
    monitor->env = env;
    monitor->wake_timer = nullptr;
    monitor->callback = callback;
    monitor->wake_delay = wake_delay ? normalised(*wake_delay) : qnb_timeval{0, 0};
    monitor->state = QNB_POWER_AWAKE;
    return QNB_ERR_SUCCESS;
}

void qnb_power_state_monitor_close(qnb_power_state_monitor *monitor)
{
    if (!monitor)
        return;
    qnb_timer_delete(monitor->wake_timer);
    monitor->wake_timer = nullptr;
}

namespace {

void power_state_changed(qnb_power_state_monitor *monitor)
{
    if (monitor->callback)
        monitor->callback(monitor);
}

} // namespace

intptr_t qnb_power_state_monitor_wndproc(qnb_power_state_monitor *monitor, unsigned message, uintptr_t wparam,
                                         intptr_t lparam)
{
    static const char *const fn = "qnb_power_state_monitor_wndproc";
    if (!monitor || message != QNB_POWER_BROADCAST)
        return 0;
    qnb_logger *log = monitor->env ? monitor->env->logger : nullptr;
    qnb_log(log, QNB_LOG_NOTICE, "%s(%p,%u,%p,%p): starting (state=%d)\n", fn, static_cast<void *>(monitor), message,
            reinterpret_cast<void *>(wparam), reinterpret_cast<void *>(lparam), monitor->state);
    if (wparam == QNB_POWER_SUSPEND) {
        if (monitor->state != QNB_POWER_ASLEEP) {
            qnb_timer_delete(monitor->wake_timer);
            monitor->wake_timer = nullptr;
            monitor->state = QNB_POWER_ASLEEP;
            power_state_changed(monitor);
        }
    } else if ((wparam == QNB_POWER_RESUME_SUSPEND || wparam == QNB_POWER_RESUME_AUTOMATIC) &&
               monitor->state == QNB_POWER_ASLEEP) {
        if (to_micros(monitor->wake_delay) == 0 || monitor->wake_timer) {
            monitor->state = QNB_POWER_AWAKE;
        } else {
            qnb_event_loop *loop = monitor->env ? monitor->env->event_loop : nullptr;
            qnb_error err = loop ? qnb_timer_new_oneshot(loop, qnb_power_state_monitor_wake_delay_timeout, nullptr,
                                                         &monitor->wake_delay, monitor, &monitor->wake_timer)
                                 : QNB_ERR_NOTINITIALISED;
            if (err) {
                monitor->wake_timer = nullptr;
                monitor->state = QNB_POWER_AWAKE;
                qnb_log(log, QNB_LOG_ERROR, "%s: error starting wake delay: %u)\n", fn, static_cast<unsigned>(err));
            } else {
                monitor->state = QNB_POWER_WAKING;
            }
        }
        power_state_changed(monitor);
    }
    qnb_log(log, QNB_LOG_NOTICE, "%s(%p,%u,%p,%p): finished\n", fn, static_cast<void *>(monitor), message,
            reinterpret_cast<void *>(wparam), reinterpret_cast<void *>(lparam));
    return 0;
}

void qnb_power_state_monitor_wake_delay_timeout(qnb_timer *timer, void *context)
{
    (void)timer;
    qnb_power_state_monitor *monitor = static_cast<qnb_power_state_monitor *>(context);
    std::fprintf(stderr, "%s: wakeup delay complete\n", "qnb_power_state_monitor_wake_delay_timeout");
    monitor->wake_timer = nullptr; // a one-shot is freed by the loop once it has fired
    monitor->state = QNB_POWER_AWAKE;
    power_state_changed(monitor);
}
