#include "netaudio/platform/qnb_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "netaudio/platform/qnb_log.h"

namespace {

struct EnvTest : ::testing::Test {
    void SetUp() override { qnb_env_reset_for_tests(); }
    void TearDown() override { qnb_env_reset_for_tests(); }
};

TEST_F(EnvTest, ReferenceCountingKeepsTheEnvironmentUntilTheLastRelease)
{
    EXPECT_EQ(qnb_env_get(nullptr), QNB_ERR_INVALIDPARAMETER);

    qnb_env *first = nullptr, *second = nullptr;
    ASSERT_EQ(qnb_env_get(&first), 0);
    ASSERT_EQ(qnb_env_get(&second), 0);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->ref_count, 2);
    ASSERT_NE(first->logger, nullptr);
    EXPECT_EQ(first->flags, static_cast<unsigned>(QNB_ENV_FLAG_OWNS_LOGGER));
    EXPECT_EQ(first->event_loop, nullptr);
    qnb_logger *logger = first->logger;

    EXPECT_EQ(qnb_env_release(second), 0);
    EXPECT_EQ(first->ref_count, 1);
    EXPECT_EQ(first->logger, logger) << "still alive after one of two releases";
    qnb_log(first->logger, QNB_LOG_ERROR, "still usable: %d", 1);

    EXPECT_EQ(qnb_env_release(first), 0);
    EXPECT_EQ(first->ref_count, 0);
    EXPECT_EQ(first->logger, nullptr);
    EXPECT_EQ(first->flags & QNB_ENV_FLAG_OWNS_LOGGER, 0u);

    // A new cycle sets everything up again.
    ASSERT_EQ(qnb_env_get(&first), 0);
    EXPECT_NE(first->logger, nullptr);
    EXPECT_EQ(first->ref_count, 1);
    EXPECT_EQ(qnb_env_release(first), 0);
}

TEST_F(EnvTest, AReleaseWithoutAReferenceIsRefused)
{
    qnb_env *env = nullptr;
    ASSERT_EQ(qnb_env_get(&env), 0);
    ASSERT_EQ(qnb_env_release(env), 0);
    EXPECT_EQ(qnb_env_release(env), QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(qnb_env_release(env), QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(env->ref_count, 0) << "never negative";
    // The next get is a first get again.
    qnb_env *again = nullptr;
    ASSERT_EQ(qnb_env_get(&again), 0);
    EXPECT_EQ(again->ref_count, 1);
    EXPECT_NE(again->logger, nullptr);
    EXPECT_EQ(qnb_env_release(again), 0);
    EXPECT_EQ(qnb_env_release(nullptr), 0);
}

TEST_F(EnvTest, AnEnvironmentThatMustNotBeReleasedSaysSoAndStays)
{
    qnb_env *env = nullptr;
    ASSERT_EQ(qnb_env_get(&env), 0);
    env->flags |= QNB_ENV_FLAG_NO_RELEASE;
    qnb_logger *logger = env->logger;
    testing::internal::CaptureStderr();
    EXPECT_EQ(qnb_env_release(env), QNB_ERR_INVALIDSTATE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: This env cannot be cleaned up using qnb_env_release!\n");
    EXPECT_EQ(env->ref_count, 1);
    EXPECT_EQ(env->logger, logger);

    env->flags &= ~static_cast<unsigned>(QNB_ENV_FLAG_NO_RELEASE);
    EXPECT_EQ(qnb_env_release(env), 0);
    EXPECT_EQ(env->logger, nullptr);
}

int g_cleanups = 0;
void *g_cleaned = nullptr;
void count_cleanup(void *user_data)
{
    ++g_cleanups;
    g_cleaned = user_data;
}

TEST_F(EnvTest, AUserCreatedEnvironmentIsCleanedUpAndFreedAtOnce)
{
    int data = 0;
    auto *env = static_cast<qnb_env *>(std::calloc(1, sizeof(qnb_env)));
    env->flags = QNB_ENV_FLAG_USER_CREATED | QNB_ENV_FLAG_OWNS_LOGGER;
    env->logger = qnb_log_new();
    env->user_data = &data;
    env->cleanup = count_cleanup;
    env->ref_count = 3;
    g_cleanups = 0;
    EXPECT_EQ(qnb_env_release(env), 0); // frees the environment and its logger (the leak check sees it)
    EXPECT_EQ(g_cleanups, 1);
    EXPECT_EQ(g_cleaned, &data);

    // A user-created environment without a callback or a logger.
    env = static_cast<qnb_env *>(std::calloc(1, sizeof(qnb_env)));
    env->flags = QNB_ENV_FLAG_USER_CREATED;
    env->user_data = &data;
    EXPECT_EQ(qnb_env_release(env), 0);
    EXPECT_EQ(g_cleanups, 1);
}

TEST_F(EnvTest, PlatformSetUpKeepsTheStateOtherModulesRead)
{
    EXPECT_FALSE(qnb_platform_recvmsg_ready());
    EXPECT_STREQ(qnb_platform_sleep_class_name(), "");

    qnb_env *env = nullptr;
    ASSERT_EQ(qnb_env_get(&env), 0);
    EXPECT_TRUE(qnb_platform_recvmsg_ready());
    const std::string name = qnb_platform_sleep_class_name();
    const std::string base = "QNB_WIN32_SLEEP_WINDOW_CLASS_NAME.";
    ASSERT_EQ(name.rfind(base, 0), 0u) << name;
    EXPECT_GT(name.size(), base.size()) << "the module's file name follows";
    EXPECT_EQ(name.find('/'), std::string::npos) << "the file name comes without its folder";
    EXPECT_LT(name.size(), 256u);

    ASSERT_EQ(qnb_env_release(env), 0);
    // The class stays registered, and the receive stays available, after the last release.
    EXPECT_EQ(qnb_platform_sleep_class_name(), name);
    EXPECT_TRUE(qnb_platform_recvmsg_ready());
}

} // namespace
