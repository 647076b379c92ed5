#include "wrapper/service/wfa_tcb.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_state.h"

namespace {

// A finished task's run function is replaced by this marker; it is never run for effect.
int tcb_finished_marker(TCB *)
{
    return 0;
}

void set_name(TCB *task, const char *name)
{
    std::memset(task->name, 0, sizeof task->name);
    if (name)
        std::memcpy(task->name, name, strnlen(name, sizeof task->name));
}

void init_sentinel(TCB *task, const char *name, uint32_t key)
{
    std::memset(task, 0, sizeof *task);
    set_name(task, name);
    task->key = key;
    task->one = 1;
    task->magic = TCB_MAGIC;
}

void link_pair(TCB *head, TCB *tail)
{
    head->next = tail;
    head->prev = nullptr;
    tail->prev = head;
    tail->next = nullptr;
}

void insert_before(TCB *position, TCB *task)
{
    task->prev = position->prev;
    task->next = position;
    position->prev->next = task;
    position->prev = task;
}

void unlink(TCB *task)
{
    task->prev->next = task->next;
    task->next->prev = task->prev;
    task->prev = task->next = nullptr;
}

// Inserts after every task whose key is equal or smaller, searching from the head.
void insert_by_key(TCB *head, TCB *tail, TCB *task)
{
    TCB *position = head->next;
    while (position != tail && position->key <= task->key)
        position = position->next;
    insert_before(position, task);
}

TCB *allocate(tcb_run_fn run, tcb_finish_fn finish, uint32_t key, uint32_t kind, const char *name)
{
    TCB *task = static_cast<TCB *>(std::calloc(1, sizeof(TCB)));
    if (!task)
        return nullptr;
    set_name(task, name);
    task->key = key;
    task->one = 1;
    task->kind = kind;
    task->run = run;
    task->finish = finish;
    task->magic = TCB_MAGIC;
    return task;
}

} // namespace

uint32_t tcb_init(void)
{
    wfa_state &s = wfa_state_get();
    std::lock_guard<std::mutex> lock(s.inbox_lock);
    init_sentinel(&s.run_head, "TCB Head", 0);
    init_sentinel(&s.run_tail, "TCB Tail", TCB_KEY_TAIL);
    init_sentinel(&s.inbox_head, "TmpTCB Head", 0);
    init_sentinel(&s.inbox_tail, "TmpTCB Tail", TCB_KEY_TAIL);
    link_pair(&s.run_head, &s.run_tail);
    link_pair(&s.inbox_head, &s.inbox_tail);
    s.inbox_open = false;
    return 0;
}

TCB *tcb_create(tcb_run_fn run, tcb_finish_fn finish, uint32_t key, uint32_t kind, const char *name)
{
    wfa_state &s = wfa_state_get();
    if (!s.run_head.next)
        return nullptr; // lists not initialised
    TCB *task = allocate(run, finish, key, kind, name);
    if (!task)
        return nullptr;
    insert_by_key(&s.run_head, &s.run_tail, task);
    return task;
}

TCB *tcb_post(tcb_run_fn run, const char *name, const void *parameters, size_t size, uint32_t *error)
{
    wfa_state &s = wfa_state_get();
    if (error)
        *error = 0;
    TCB *task = allocate(run, nullptr, TCB_KEY_COMMAND, TCB_KIND_COMMAND, name);
    if (!task) {
        if (error)
            *error = WFA_E_NO_MEMORY;
        return nullptr;
    }
    if (parameters && size)
        std::memcpy(task->parameters, parameters, size < TCB_PARAMETER_SIZE ? size : TCB_PARAMETER_SIZE);

    std::lock_guard<std::mutex> lock(s.inbox_lock);
    if (!s.inbox_open) {
        std::free(task);
        if (error)
            *error = WFA_E_NO_INIT;
        return nullptr;
    }
    insert_by_key(&s.inbox_head, &s.inbox_tail, task);
    // The worker takes the task at once rather than at the end of its current wait. Only while the
    // inbox is open (under its lock): stop closes the inbox before it closes the descriptor, so no
    // wake-up reaches a descriptor that is closed or reused.
    if (s.wake_fd >= 0) {
        uint64_t one = 1;
        ssize_t n;
        do {
            n = ::write(s.wake_fd, &one, sizeof one);
        } while (n < 0 && errno == EINTR);
    }
    return task;
}

void tcb_open_inbox(bool open)
{
    wfa_state &s = wfa_state_get();
    std::lock_guard<std::mutex> lock(s.inbox_lock);
    s.inbox_open = open && s.inbox_head.next != nullptr;
}

bool tcb_inbox_is_open(void)
{
    wfa_state &s = wfa_state_get();
    std::lock_guard<std::mutex> lock(s.inbox_lock);
    return s.inbox_open;
}

int tcb_finish(TCB *task)
{
    if (!task || task->run == tcb_finished_marker)
        return 0;
    // Marked first, so that a finish function that finishes its own task again does nothing.
    tcb_finish_fn finish = task->finish;
    task->run = tcb_finished_marker;
    if (finish)
        finish(task);
    return 0;
}

bool tcb_is_finished(const TCB *task)
{
    return task && task->run == tcb_finished_marker;
}

size_t tcb_run(void)
{
    wfa_state &s = wfa_state_get();
    if (!s.run_head.next)
        return 0;

    // 1. Every task once, in key order; a task created during the walk behind the current one is
    //    reached in this same walk because the next link is read after the call.
    for (TCB *task = s.run_head.next; task != &s.run_tail; task = task->next) {
        if (task->run && task->run != tcb_finished_marker)
            task->run(task);
    }

    // 2. Free the finished tasks.
    for (TCB *task = s.run_head.next; task != &s.run_tail;) {
        TCB *next = task->next;
        if (task->run == tcb_finished_marker) {
            unlink(task);
            std::free(task);
        }
        task = next;
    }

    // 3-5. Merge the inbox in posting order, each task after the equal keys.
    std::lock_guard<std::mutex> lock(s.inbox_lock);
    size_t merged = 0;
    while (s.inbox_head.next != &s.inbox_tail) {
        TCB *task = s.inbox_head.next;
        unlink(task);
        insert_by_key(&s.run_head, &s.run_tail, task);
        ++merged;
    }
    return merged;
}

void tcb_cleanup(void)
{
    wfa_state &s = wfa_state_get();
    if (!s.run_head.next)
        return;
    tcb_open_inbox(false);
    // A finish function may still create tasks; they are taken in turn until both lists are empty.
    for (;;) {
        TCB *task = nullptr;
        if (s.run_head.next != &s.run_tail) {
            task = s.run_head.next;
            unlink(task);
        } else {
            std::lock_guard<std::mutex> lock(s.inbox_lock);
            if (s.inbox_head.next != &s.inbox_tail) {
                task = s.inbox_head.next;
                unlink(task);
            }
        }
        if (!task)
            break;
        tcb_finish(task);
        std::free(task);
    }
}

size_t tcb_count(void)
{
    wfa_state &s = wfa_state_get();
    size_t n = 0;
    if (!s.run_head.next)
        return 0;
    for (TCB *task = s.run_head.next; task != &s.run_tail; task = task->next)
        ++n;
    return n;
}
