// Helpers shared by the driver tests of the service layer: a job run on the worker thread as a
// task of the scheduler, the tasks waiting in the worker's run list, and a bounded wait for a
// condition.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "wrapper/service/wfa_tcb.h"

namespace driver_fixture {

template <typename Result>
struct worker_job {
    std::mutex lock;
    std::condition_variable done_cv;
    std::function<Result()> job;
    bool done = false;
    Result result = 0;
};

template <typename Result>
worker_job<Result> &current_job()
{
    static worker_job<Result> job;
    return job;
}

template <typename Result>
int run_job(TCB *task)
{
    worker_job<Result> &j = current_job<Result>();
    Result r = j.job();
    {
        std::lock_guard<std::mutex> guard(j.lock);
        j.result = r;
        j.done = true;
    }
    j.done_cv.notify_all();
    return tcb_finish(task);
}

// Runs `job` on the worker thread, as a task of the scheduler, and returns its result.
template <typename Result>
Result on_worker(std::function<Result()> job)
{
    worker_job<Result> &j = current_job<Result>();
    {
        std::lock_guard<std::mutex> guard(j.lock);
        j.job = std::move(job);
        j.done = false;
    }
    EXPECT_NE(tcb_post(run_job<Result>, "test_job", nullptr, 0), nullptr);
    std::unique_lock<std::mutex> guard(j.lock);
    EXPECT_TRUE(j.done_cv.wait_for(guard, std::chrono::seconds(10), [&j] { return j.done; })) << "job never ran";
    return j.result;
}

struct task_count {
    std::string name;
    std::promise<size_t> counted;
};

inline int count_named(TCB *task)
{
    std::shared_ptr<task_count> *ask = nullptr;
    std::memcpy(&ask, task->parameters, sizeof ask);
    const std::string &name = (*ask)->name;
    size_t n = 0;
    auto same = [&](const TCB *t) {
        return !tcb_is_finished(t) && std::strncmp(t->name, name.c_str(), TCB_NAME_SIZE) == 0;
    };
    for (const TCB *t = task->prev; t; t = t->prev)
        n += same(t) ? 1 : 0;
    for (const TCB *t = task->next; t; t = t->next)
        n += same(t) ? 1 : 0;
    (*ask)->counted.set_value(n);
    delete ask;
    return tcb_finish(task);
}

// The unfinished tasks named `name` in the worker's run list, counted by a task that walks the
// list it runs in. It runs after every worker task of lower key of its pass and after every
// command posted before it, each of which has then run at least once: a command still there waits
// to be tried again.
inline size_t tasks_named(const std::string &name)
{
    auto ask = std::make_shared<task_count>();
    ask->name = name;
    std::future<size_t> counted = ask->counted.get_future();
    auto *pointer = new std::shared_ptr<task_count>(ask);
    if (!tcb_post(count_named, "test_count_tasks", &pointer, sizeof pointer)) {
        delete pointer;
        ADD_FAILURE() << "the count of tasks could not be posted";
        return 0;
    }
    if (counted.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the worker never counted its tasks";
        return 0;
    }
    return counted.get();
}

// Polls `condition` until it holds; false once `limit` has passed, so that a broken driver fails
// the test instead of hanging it.
template <class Condition>
bool wait_until(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace driver_fixture
