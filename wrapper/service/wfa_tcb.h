// The service layer's cooperative task scheduler. All work of the worker thread is done as tasks:
// each task (TCB) has a run function, called once per pass in key order until the task finishes.
// Tasks made on the worker go straight into the run list; commands from other threads go into the
// inbox under its mutex and join the run list at the end of a pass.
#pragma once

#include <cstddef>
#include <cstdint>

struct TCB;

typedef int (*tcb_run_fn)(TCB *task);
typedef void (*tcb_finish_fn)(TCB *task);

constexpr size_t TCB_NAME_SIZE = 32;
constexpr size_t TCB_PARAMETER_SIZE = 10000;
enum : uint32_t { TCB_MAGIC = 0x446441FFu };

// Run order inside a pass: smaller keys first.
enum : uint32_t {
    TCB_KEY_READINESS = 0x1000,
    TCB_KEY_CMM_INIT = 0x2000,
    TCB_KEY_CMM_WATCH = 0x2100,
    TCB_KEY_CONMON_INIT = 0x3000,
    TCB_KEY_CONMON_WATCH = 0x3100,
    TCB_KEY_CONMON_QUERY = 0x3200,
    TCB_KEY_CONMON_QUESTION = 0x3300, // after the queries: a slot freed goes to a device being found first
    TCB_KEY_BROWSE_DURATION = 0x4000,
    TCB_KEY_COMMAND = 0x5000,
    TCB_KEY_TAIL = 0xFFFFFFFFu
};

enum : uint32_t { TCB_KIND_WORKER = 1, TCB_KIND_COMMAND = 2 };

struct TCB {
    char name[TCB_NAME_SIZE];
    uint32_t key;
    uint32_t one;
    uint32_t kind;
    tcb_run_fn run;       // the finished marker once the task is done
    tcb_finish_fn finish; // called once when the task finishes (or at clean-up)
    TCB *prev;
    TCB *next;
    uint8_t parameters[TCB_PARAMETER_SIZE];
    uint32_t magic;
};

// Makes both lists empty and opens nothing yet: posts are refused until tcb_open_inbox(true).
// Returns 0 (the mutex is a process object that always exists).
uint32_t tcb_init(void);

// Worker thread only: a zeroed task inserted after every task with an equal or smaller key.
// Null when memory is exhausted.
TCB *tcb_create(tcb_run_fn run, tcb_finish_fn finish, uint32_t key, uint32_t kind, const char *name);

// Any thread: a command task (key 0x5000, kind 2) holding a copy of min(size, 10000) parameter
// bytes, appended to the inbox; the worker is woken from its wait. Null when the inbox is closed (*error = WFA_E_NO_INIT) or memory
// is exhausted (*error = WFA_E_NO_MEMORY); `error` may be null.
TCB *tcb_post(tcb_run_fn run, const char *name, const void *parameters, size_t size,
              uint32_t *error = nullptr);

// Opens or closes the inbox for tcb_post (under the inbox mutex).
void tcb_open_inbox(bool open);
bool tcb_inbox_is_open(void);

// Calls the task's finish function once and marks it finished. Always 0.
int tcb_finish(TCB *task);
bool tcb_is_finished(const TCB *task);

// One scheduler pass: run every task in key order, free the finished ones, merge the inbox.
// Returns the number of tasks merged from the inbox (they run from the next pass on).
size_t tcb_run(void);

// Finishes and frees every task of the run list and then of the inbox; closes the inbox.
void tcb_cleanup(void);

// Number of tasks in the run list (worker thread; for diagnostics and tests).
size_t tcb_count(void);
