// Scheduler order and task lifetime, driven pass by pass without a worker thread.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_tcb.h"

namespace {

std::vector<std::string> g_runs;
int g_finishes = 0;

int record_run(TCB *task)
{
    g_runs.push_back(std::string(task->name, strnlen(task->name, sizeof task->name)));
    return 0;
}

int record_and_finish(TCB *task)
{
    record_run(task);
    tcb_finish(task);
    tcb_finish(task); // a second finish changes nothing
    return 0;
}

void count_finish(TCB *)
{
    ++g_finishes;
}

class Scheduler : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_runs.clear();
        g_finishes = 0;
        tcb_init();
        tcb_open_inbox(true);
    }
    void TearDown() override { tcb_cleanup(); }

    wrapper_test::layer_guard guard;
};

TEST_F(Scheduler, RunsTasksInKeyOrderAndEqualKeysInCreationOrder)
{
    tcb_create(record_run, nullptr, 0x5000, 1, "A");
    tcb_create(record_run, nullptr, 0x1000, 1, "B");
    tcb_create(record_run, nullptr, 0x3000, 1, "C");
    tcb_create(record_run, nullptr, 0x1000, 1, "D");
    tcb_create(record_run, nullptr, 0x5000, 1, "E");
    tcb_run();
    EXPECT_EQ(g_runs, (std::vector<std::string>{"B", "D", "C", "A", "E"}));
}

TEST_F(Scheduler, PostedCommandsRunInPostingOrderOnThePassAfterTheirMerge)
{
    tcb_create(record_run, nullptr, TCB_KEY_READINESS, 1, "ready");
    tcb_create(record_run, nullptr, 0x6000, 1, "late");
    ASSERT_NE(tcb_post(record_run, "cmd1", nullptr, 0), nullptr);
    ASSERT_NE(tcb_post(record_run, "cmd2", nullptr, 0), nullptr);
    ASSERT_NE(tcb_post(record_run, "cmd3", nullptr, 0), nullptr);

    tcb_run(); // the commands are merged at the end of this pass
    EXPECT_EQ(g_runs, (std::vector<std::string>{"ready", "late"}));
    g_runs.clear();
    tcb_run();
    EXPECT_EQ(g_runs, (std::vector<std::string>{"ready", "cmd1", "cmd2", "cmd3", "late"}));
}

TEST_F(Scheduler, CommandsMergedLaterRunAfterThoseMergedBefore)
{
    tcb_create(record_run, nullptr, TCB_KEY_COMMAND, 1, "worker-5000");
    tcb_post(record_run, "first", nullptr, 0);
    tcb_run();
    tcb_post(record_run, "second", nullptr, 0);
    tcb_run();
    g_runs.clear();
    tcb_run();
    EXPECT_EQ(g_runs, (std::vector<std::string>{"worker-5000", "first", "second"}));
}

int g_spawned = 0;

int spawn_once(TCB *task)
{
    record_run(task);
    if (g_spawned++ == 0) {
        tcb_create(record_run, nullptr, 0x3000, 1, "behind");
        tcb_create(record_run, nullptr, 0x1000, 1, "before");
        tcb_create(record_run, nullptr, 0x2000, 1, "same-key");
    }
    return 0;
}

TEST_F(Scheduler, TaskCreatedDuringAWalkRunsInThatWalkOnlyWhenItLandsBehind)
{
    g_spawned = 0;
    tcb_create(spawn_once, nullptr, 0x2000, 1, "spawner");
    tcb_run();
    EXPECT_EQ(g_runs, (std::vector<std::string>{"spawner", "same-key", "behind"}));
    g_runs.clear();
    tcb_run();
    EXPECT_EQ(g_runs, (std::vector<std::string>{"before", "spawner", "same-key", "behind"}));
}

TEST_F(Scheduler, FinishedTaskIsFreedInItsPassAndItsFinishRunsOnce)
{
    TCB *once = tcb_create(record_and_finish, count_finish, 0x1000, 1, "once");
    tcb_create(record_run, count_finish, 0x2000, 1, "always");
    ASSERT_NE(once, nullptr);
    EXPECT_EQ(tcb_count(), 2u);

    tcb_run();
    EXPECT_EQ(g_finishes, 1);
    EXPECT_EQ(tcb_count(), 1u); // freed in the same pass
    tcb_run();
    tcb_run();
    EXPECT_EQ(g_runs, (std::vector<std::string>{"once", "always", "always", "always"}));

    tcb_cleanup(); // finishes the unfinished task, once
    EXPECT_EQ(g_finishes, 2);
    EXPECT_EQ(tcb_count(), 0u);
}

TCB *g_victim = nullptr;

int finish_other(TCB *task)
{
    record_run(task);
    tcb_finish(g_victim); // the victim is freed at the end of this pass
    g_victim = nullptr;
    return 0;
}

TEST_F(Scheduler, TaskFinishedByAnotherIsNotRunAgain)
{
    tcb_create(finish_other, nullptr, 0x1000, 1, "killer");
    g_victim = tcb_create(record_run, count_finish, 0x2000, 1, "victim");
    tcb_run();
    tcb_run();
    EXPECT_EQ(g_runs, (std::vector<std::string>{"killer", "killer"}));
    EXPECT_EQ(g_finishes, 1);
}

TEST_F(Scheduler, EmptyInboxLeavesTheRunListAsItWas)
{
    tcb_create(record_run, nullptr, 0x1000, 1, "a");
    tcb_create(record_run, nullptr, 0x2000, 1, "b");
    tcb_run();
    tcb_run();
    EXPECT_EQ(tcb_count(), 2u);
    EXPECT_EQ(g_runs, (std::vector<std::string>{"a", "b", "a", "b"}));
}

TEST_F(Scheduler, CleanupFinishesTasksOfBothListsAndClosesTheInbox)
{
    tcb_create(record_run, count_finish, 0x1000, 1, "run-list");
    TCB *posted = tcb_post(record_run, "inbox", nullptr, 0);
    ASSERT_NE(posted, nullptr);
    posted->finish = count_finish;
    tcb_cleanup();
    EXPECT_EQ(g_finishes, 2);
    EXPECT_TRUE(g_runs.empty());

    uint32_t error = 0;
    EXPECT_EQ(tcb_post(record_run, "late", nullptr, 0, &error), nullptr);
    EXPECT_EQ(error, WFA_E_NO_INIT);
}

TEST_F(Scheduler, PostCopiesAtMostTheParameterAreaAndBoundsTheName)
{
    std::vector<uint8_t> big(12000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    const std::string long_name(40, 'n');
    TCB *task = tcb_post(record_run, long_name.c_str(), big.data(), big.size());
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(0, std::memcmp(task->parameters, big.data(), TCB_PARAMETER_SIZE));
    EXPECT_EQ(std::string(task->name, sizeof task->name), std::string(32, 'n'));
    EXPECT_EQ(task->key, TCB_KEY_COMMAND);
    EXPECT_EQ(task->kind, TCB_KIND_COMMAND);
    EXPECT_EQ(task->magic, TCB_MAGIC);
    EXPECT_EQ(task->one, 1u);
}

TEST_F(Scheduler, ClosedInboxRefusesPosts)
{
    tcb_open_inbox(false);
    uint32_t error = 0;
    EXPECT_EQ(tcb_post(record_run, "x", nullptr, 0, &error), nullptr);
    EXPECT_EQ(error, WFA_E_NO_INIT);
    tcb_run();
    EXPECT_TRUE(g_runs.empty());
}

} // namespace
