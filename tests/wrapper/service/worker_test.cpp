// The worker thread and the service entry: start and stop, requests from many threads, the pause,
// the socket hooks, and the failures that must be reported rather than hidden.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "netaudio/platform/qnb_log.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_tcb.h"

namespace {

using namespace std::chrono;
using wrapper_test::recorder;

class Worker : public ::testing::Test {
protected:
    uint16_t start()
    {
        uint16_t id = 0;
        EXPECT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
        return id;
    }

    template <class Condition> static bool waitUntil(Condition condition)
    {
        auto deadline = steady_clock::now() + seconds(10);
        while (!condition()) {
            if (steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(milliseconds(1));
        }
        return true;
    }

    wrapper_test::layer_guard guard;
    recorder results;
};

TEST_F(Worker, StartStopCyclesGiveIncreasingIdsAndLeaveNothingRunning)
{
    for (uint16_t expected = 1; expected <= 5; ++expected) {
        EXPECT_EQ(start(), expected);
        EXPECT_TRUE(wfa_is_started());
        EXPECT_EQ(wfa_instance_id(), expected);
        EXPECT_EQ(wfa_stop(), ERR_NOERR);
        EXPECT_FALSE(wfa_is_started());
        EXPECT_EQ(wfa_instance_id(), 0);
    }
    EXPECT_EQ(wfa_stop(), ERR_NOERR); // a stop without a worker is harmless
}

TEST_F(Worker, SecondStartIsRefusedAndTheFirstLayerKeepsRunning)
{
    EXPECT_EQ(start(), 1);
    recorder other;
    uint16_t id = 77;
    EXPECT_EQ(wfa_start(recorder::callback, &other, &id), ERR_DUP_INIT);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(wfa_instance_id(), 1);

    uint16_t request_id = 5;
    EXPECT_EQ(wfa_request(2, nullptr, &request_id), ERR_NOERR);
    ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_BROWSE_STOP));
    EXPECT_EQ(other.size(), 0u);
}

TEST_F(Worker, StartArgumentsAreChecked)
{
    EXPECT_EQ(wfa_start(recorder::callback, &results, nullptr), ERR_PARAM);
    uint16_t id = 9;
    EXPECT_EQ(wfa_start(nullptr, &results, &id), ERR_PARAM);
    EXPECT_EQ(id, 0);
    EXPECT_FALSE(wfa_is_started());
}

TEST_F(Worker, InstanceIdsWrapFrom0xFFFFTo1)
{
    EXPECT_EQ(start(), 1);
    // Refused starts advance the counter too: 2 .. 0xFFFF.
    for (int i = 0; i < 0xFFFE; ++i) {
        uint16_t id = 1;
        ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_DUP_INIT);
    }
    wfa_stop();
    EXPECT_EQ(start(), 1);
    wfa_stop();
    EXPECT_EQ(start(), 2);
}

TEST_F(Worker, RequestsAreCheckedInOrderAndRefusedWhenNotRunning)
{
    uint8_t args[64] = {};
    uint16_t request_id = 0x1234;
    struct row {
        uint32_t command;
        const void *params;
        uint16_t *request_id;
        uint16_t status;
    } rows[] = {
        {42, args, &request_id, ERR_UNKNOWN},
        {1000, nullptr, nullptr, ERR_UNKNOWN},
        {0, args, &request_id, ERR_NOT_IMPREMENTED},
        {3, args, &request_id, ERR_NOT_IMPREMENTED},
        {38, nullptr, nullptr, ERR_NOT_IMPREMENTED},
        {5, nullptr, &request_id, ERR_PARAM},
        {5, args, nullptr, ERR_PARAM},
        {2, nullptr, &request_id, ERR_NO_INIT}, // valid, but nothing runs
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.command);
        EXPECT_EQ(wfa_request(r.command, r.params, r.request_id), r.status);
    }
    EXPECT_EQ(request_id, 0); // a refused post clears the request id

    start();
    request_id = 0x1234;
    EXPECT_EQ(wfa_request(2, nullptr, &request_id), ERR_NOERR);
    EXPECT_EQ(request_id, 0x1234);
    wfa_stop();
    EXPECT_EQ(wfa_request(2, nullptr, &request_id), ERR_NO_INIT);
    EXPECT_EQ(request_id, 0);
}

TEST_F(Worker, CommandsPostedFromManyThreadsAllRunInPerThreadOrderOnTheWorker)
{
    start();
    const int threads = 8, per_thread = 150;
    std::vector<std::thread> posters;
    std::atomic<int> refused{0};
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([t, &refused] {
            for (int i = 0; i < per_thread; ++i) {
                uint8_t args[33] = {};
                std::snprintf(reinterpret_cast<char *>(args), 32, "t%d-%d", t, i);
                uint16_t request_id = static_cast<uint16_t>(t * 1000 + i);
                if (wfa_request(10, args, &request_id) != ERR_NOERR)
                    ++refused;
            }
        });
    }
    for (auto &p : posters)
        p.join();
    EXPECT_EQ(refused.load(), 0);
    ASSERT_TRUE(results.waitForCount(threads * per_thread));

    std::map<int, int> next;
    for (const auto &r : results.results()) {
        ASSERT_EQ(r.code, WFA_CBACK_INF_REBOOT);
        EXPECT_NE(r.thread, std::this_thread::get_id());
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(reinterpret_cast<const char *>(r.payload.data()), "t%d-%d", &t, &i), 2);
        EXPECT_EQ(r.request_id, t * 1000 + i);
        EXPECT_EQ(i, next[t]) << "thread " << t;
        next[t] = i + 1;
    }
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(next[t], per_thread);
}

std::atomic<bool> g_pausing{false};
std::atomic<int> g_pause_result{-1};

int long_pause(TCB *task)
{
    g_pausing = true;
    g_pause_result = wfa_pause(60000) ? 1 : 0;
    return tcb_finish(task);
}

TEST_F(Worker, StopDuringALongPauseReturnsAtOnce)
{
    start();
    g_pausing = false;
    g_pause_result = -1;
    ASSERT_NE(tcb_post(long_pause, "pause", nullptr, 0), nullptr);
    ASSERT_TRUE(waitUntil([] { return g_pausing.load(); }));
    auto begin = steady_clock::now();
    wfa_stop();
    EXPECT_LT(steady_clock::now() - begin, seconds(5));
    EXPECT_EQ(g_pause_result.load(), 0);
    // and a new start works at once
    EXPECT_EQ(start(), 2);
}

std::vector<unsigned> g_hooked;
std::atomic<int> g_hooked_result{-1};

bool g_in_test_task = false; // worker only: the drivers' own pauses are not recorded

void pause_hook(unsigned ms, void *)
{
    if (g_in_test_task)
        g_hooked.push_back(ms);
}

int hooked_pauses(TCB *task)
{
    g_in_test_task = true;
    bool a = wfa_pause(5000);
    bool b = wfa_pause(2000);
    g_in_test_task = false;
    g_hooked_result = a && b ? 1 : 0;
    return tcb_finish(task);
}

TEST_F(Worker, PauseHookReplacesTheRealPause)
{
    g_hooked.clear();
    g_hooked_result = -1;
    wfa_set_pause_hook(pause_hook, nullptr);
    start();
    ASSERT_NE(tcb_post(hooked_pauses, "pauses", nullptr, 0), nullptr);
    ASSERT_TRUE(waitUntil([] { return g_hooked_result.load() >= 0; }));
    EXPECT_EQ(g_hooked_result.load(), 1);
    wfa_stop();
    EXPECT_EQ(g_hooked, (std::vector<unsigned>{5000, 2000}));
    EXPECT_FALSE(wfa_pause(10)); // not on the worker: no pause
}

uint32_t g_init_failure = 0;
uint32_t failing_init_step()
{
    return g_init_failure;
}

TEST_F(Worker, FailedInitialisationIsReportedAndLeavesNothingRunning)
{
    struct row {
        uint32_t failure;
        uint16_t status;
    } rows[] = {{WFA_E_CONMON_ABSENT, ERR_CONMON_ABSENT},
                {WFA_E_DNSSD_ABSENT, ERR_DNSSD_ABSENT},
                {WFA_E_NO_MEMORY, ERR_EXIT},
                {wfa_internal_from_library(6), ERR_EXIT}};
    wfa_set_init_step(failing_init_step);
    for (const row &r : rows) {
        g_init_failure = r.failure;
        uint16_t id = 0xAAAA;
        EXPECT_EQ(wfa_start(recorder::callback, &results, &id), r.status);
        EXPECT_EQ(id, 0);
        EXPECT_FALSE(wfa_is_started());
        uint16_t request_id = 1;
        EXPECT_EQ(wfa_request(2, nullptr, &request_id), ERR_NO_INIT);
    }
    g_init_failure = 0;
    EXPECT_EQ(start(), 5);
    EXPECT_TRUE(wfa_is_started());
}

TEST_F(Worker, PostResultChecksItsArguments)
{
    uint8_t payload[4] = {};
    EXPECT_EQ(wfa_post_result(nullptr, 0, 2, 0, 0), WFA_E_NULL);
    EXPECT_EQ(wfa_post_result(payload, 4, 2, 0, 0), WFA_E_NOT_READY); // no callback
    start();
    EXPECT_EQ(wfa_post_result(payload, 4, 42, 0, 0), WFA_E_BAD_ARGUMENT);
    std::vector<uint8_t> big(WFA_MAX_PAYLOAD + 1);
    EXPECT_EQ(wfa_post_result(big.data(), big.size(), 2, 0, 0), WFA_E_BAD_ARGUMENT);
}

// ---- socket hooks ----------------------------------------------------------------------------------

int g_pair[2] = {-1, -1};
std::atomic<int> g_processed{0};
std::atomic<int> g_second_processed{0};
std::atomic<int> g_cmm_processed{0};
std::atomic<bool> g_first_fails{false};
std::atomic<int> g_first_calls{0};
std::atomic<bool> g_hooks_registered{false};

uint32_t provide_pair(qnb_socket_set *set)
{
    return qnb_socket_set_add(set, g_pair[0]) == QNB_ERR_SUCCESS ? 0 : WFA_E_BAD_ARGUMENT;
}

uint32_t failing_provider(qnb_socket_set *)
{
    return WFA_E_NOT_READY;
}

uint32_t drain_pair(qnb_socket_set *set, int ready)
{
    ++g_first_calls;
    if (ready > 0 && qnb_socket_set_is_member(set, g_pair[0])) {
        char byte;
        if (::read(g_pair[0], &byte, 1) == 1)
            ++g_processed;
    }
    return g_first_fails ? WFA_E_NOT_READY : 0;
}

uint32_t count_second(qnb_socket_set *, int)
{
    ++g_second_processed;
    return 0;
}

uint32_t count_cmm(qnb_socket_set *)
{
    ++g_cmm_processed;
    return 0;
}

int register_hooks(TCB *task)
{
    wfa_set_socket_provider(WFA_SOCKETS_BROWSE, failing_provider);
    wfa_set_socket_provider(WFA_SOCKETS_CONMON, provide_pair);
    wfa_set_socket_processor(WFA_SOCKETS_CONMON, drain_pair);
    wfa_set_socket_processor(WFA_SOCKETS_ROUTING, count_second);
    wfa_set_cmm_socket(g_pair[0], count_cmm);
    wfa_set_sockets_changed();
    g_hooks_registered = true;
    return tcb_finish(task);
}

class WorkerSockets : public Worker {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, g_pair), 0);
        g_processed = g_second_processed = g_cmm_processed = 0;
        g_first_fails = false;
    }
    void TearDown() override
    {
        wfa_stop();
        ::close(g_pair[0]);
        ::close(g_pair[1]);
    }
};

TEST_F(WorkerSockets, ReadySocketsReachTheProcessorsAndAFailingProviderDoesNotStopTheLoop)
{
    start();
    g_hooks_registered = false;
    ASSERT_NE(tcb_post(register_hooks, "hooks", nullptr, 0), nullptr);
    ASSERT_TRUE(waitUntil([] { return g_hooks_registered.load(); }));

    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(::write(g_pair[1], "x", 1), 1);
        ASSERT_TRUE(waitUntil([i] { return g_processed.load() >= i; }));
    }
    EXPECT_TRUE(waitUntil([] { return g_second_processed.load() > 0 && g_cmm_processed.load() > 0; }));

    // A failing processor skips the ones after it in that pass, and the loop goes on.
    g_first_fails = true;
    int calls = g_first_calls.load();
    ASSERT_TRUE(waitUntil([calls] { return g_first_calls.load() >= calls + 2; }));
    int second = g_second_processed.load(), cmm = g_cmm_processed.load();
    ASSERT_EQ(::write(g_pair[1], "y", 1), 1);
    ASSERT_TRUE(waitUntil([] { return g_processed.load() >= 4; }));
    calls = g_first_calls.load();
    ASSERT_TRUE(waitUntil([calls] { return g_first_calls.load() >= calls + 3; }));
    EXPECT_EQ(g_second_processed.load(), second);
    EXPECT_EQ(g_cmm_processed.load(), cmm);
}

std::atomic<int> g_passes{0};

int count_passes(TCB *)
{
    ++g_passes;
    return 0;
}

TEST_F(Worker, IdleWorkerWaitsEachPassInsteadOfSpinning)
{
    start();
    g_passes = 0;
    ASSERT_NE(tcb_post(count_passes, "passes", nullptr, 0), nullptr);
    ASSERT_TRUE(waitUntil([] { return g_passes.load() >= 1; }));
    auto begin = steady_clock::now();
    ASSERT_TRUE(waitUntil([] { return g_passes.load() >= 6; }));
    // Five further passes, each waiting its 20 ms: a spinning loop would take microseconds.
    EXPECT_GE(steady_clock::now() - begin, milliseconds(80));
}

std::atomic<int> g_ran{0};

int note_run(TCB *task)
{
    ++g_ran;
    return tcb_finish(task);
}

TEST_F(Worker, ATaskPostedWhileTheWorkerWaitsRunsAtOnce)
{
    start();
    g_ran = 0;
    // Each task is posted once the one before has run; waiting out the worker's 20 ms wait (and
    // the pass that merges the task) 50 of them would take well over a second.
    auto begin = steady_clock::now();
    for (int i = 1; i <= 50; ++i) {
        ASSERT_NE(tcb_post(note_run, "note", nullptr, 0), nullptr);
        ASSERT_TRUE(waitUntil([i] { return g_ran.load() >= i; }));
    }
    EXPECT_LT(steady_clock::now() - begin, milliseconds(500));
}

int short_pause(TCB *task)
{
    g_pausing = true;
    g_pause_result = wfa_pause(300) ? 1 : 0;
    return tcb_finish(task);
}

TEST_F(Worker, ATaskPostedDuringAPauseDoesNotCutItShort)
{
    start();
    g_pausing = false;
    g_pause_result = -1;
    g_ran = 0;
    auto begin = steady_clock::now();
    ASSERT_NE(tcb_post(short_pause, "pause", nullptr, 0), nullptr);
    ASSERT_TRUE(waitUntil([] { return g_pausing.load(); }));
    ASSERT_NE(tcb_post(note_run, "note", nullptr, 0), nullptr);
    ASSERT_TRUE(waitUntil([] { return g_ran.load() == 1; }));
    EXPECT_EQ(g_pause_result.load(), 1) << "the pause ran out its time";
    EXPECT_GE(steady_clock::now() - begin, milliseconds(290)); // the pause rounds to whole ms
}

// A worker task that is still running when the layer stops: its finish function works with what
// the drivers own, which must still be there.
std::atomic<int> g_finished_with_env{-1};

int run_until_stop(TCB *)
{
    return 0;
}

void finish_with_env(TCB *)
{
    qnb_env *env = wfa_env();
    g_finished_with_env = env != nullptr ? 1 : 0;
    if (env != nullptr)
        wfa_log(QNB_LOG_INFO, "finishing at stop");
}

uint32_t create_long_task()
{
    return tcb_create(run_until_stop, finish_with_env, TCB_KEY_CONMON_QUERY, TCB_KIND_WORKER, "query")
               ? 0
               : WFA_E_NO_MEMORY;
}

TEST_F(Worker, TasksAreFinishedAtStopBeforeTheDriversAndTheEnvironmentGo)
{
    g_finished_with_env = -1;
    wfa_set_init_step(create_long_task);
    start();
    wfa_stop();
    EXPECT_EQ(g_finished_with_env.load(), 1);
}

// A descriptor closed behind the worker's back stays in its set until the set is rebuilt.
int g_closed_fd = -1;
std::atomic<int> g_invalid_ready{0};

uint32_t provide_closed(qnb_socket_set *set)
{
    return qnb_socket_set_add(set, g_closed_fd) == QNB_ERR_SUCCESS ? 0 : WFA_E_BAD_ARGUMENT;
}

uint32_t see_closed(qnb_socket_set *set, int ready)
{
    if (ready > 0 && qnb_socket_set_is_member(set, g_closed_fd))
        ++g_invalid_ready;
    return 0;
}

int register_closed(TCB *task)
{
    wfa_set_socket_provider(WFA_SOCKETS_BROWSE, provide_closed);
    wfa_set_socket_processor(WFA_SOCKETS_BROWSE, see_closed);
    wfa_set_sockets_changed();
    return tcb_finish(task);
}

TEST_F(Worker, AClosedDescriptorInTheSetDoesNotMakeTheWorkerSpin)
{
    start();
    g_closed_fd = ::dup(0);
    ASSERT_GE(g_closed_fd, 0);
    ::close(g_closed_fd);
    g_invalid_ready = 0;
    ASSERT_NE(tcb_post(register_closed, "closed", nullptr, 0), nullptr);
    g_passes = 0;
    ASSERT_NE(tcb_post(count_passes, "passes", nullptr, 0), nullptr);
    ASSERT_TRUE(waitUntil([] { return g_passes.load() >= 2; }));
    auto begin = steady_clock::now();
    ASSERT_TRUE(waitUntil([] { return g_passes.load() >= 7; }));
    EXPECT_GE(steady_clock::now() - begin, milliseconds(80));
    wfa_stop();
    EXPECT_EQ(g_invalid_ready.load(), 0) << "a closed descriptor is never handed over as ready";
}

int stop_from_inside(TCB *task)
{
    wfa_stop();
    return tcb_finish(task);
}

TEST_F(Worker, StopAskedOnTheWorkerEndsItAndALaterStartJoinsIt)
{
    start();
    ASSERT_NE(tcb_post(stop_from_inside, "stop", nullptr, 0), nullptr);
    ASSERT_TRUE(waitUntil([] { return !wfa_is_started(); }));
    uint16_t request_id = 0;
    EXPECT_EQ(wfa_request(2, nullptr, &request_id), ERR_NO_INIT);
    EXPECT_EQ(start(), 2);
    request_id = 3;
    EXPECT_EQ(wfa_request(2, nullptr, &request_id), ERR_NOERR);
    EXPECT_TRUE(results.waitForCode(WFA_CBACK_INF_BROWSE_STOP));
}

} // namespace
