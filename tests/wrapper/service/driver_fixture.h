// Helpers shared by the driver tests of the service layer: a job run on the worker thread as a
// task of the scheduler, and a bounded wait for a condition.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
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
