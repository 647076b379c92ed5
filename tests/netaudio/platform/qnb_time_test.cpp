#include "netaudio/platform/qnb_time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <time.h>

#include "tests/support/fake_clock.h"

namespace {

TEST(QnbTime, NowRefusesNullAndFollowsTheSystemClock)
{
    EXPECT_EQ(qnb_time_now(nullptr), QNB_ERR_INVALIDPARAMETER);

    struct timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    qnb_timeval now{};
    ASSERT_EQ(qnb_time_now(&now), 0);
    clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_GE(now.tv_sec, static_cast<uint32_t>(before.tv_sec));
    EXPECT_LE(now.tv_sec, static_cast<uint32_t>(after.tv_sec));
    EXPECT_LT(now.tv_usec, 1000000u);
}

TEST(QnbTime, FakeClockReplacesTheSourceAndRestoresTheSystemClock)
{
    {
        qz_test::fake_clock clock(1000, 999999);
        qnb_timeval now{};
        ASSERT_EQ(qnb_time_now(&now), 0);
        EXPECT_EQ(now.tv_sec, 1000u);
        EXPECT_EQ(now.tv_usec, 999999u);

        clock.advance(0, 1); // carries into the seconds
        qnb_time_now(&now);
        EXPECT_EQ(now.tv_sec, 1001u);
        EXPECT_EQ(now.tv_usec, 0u);

        clock.advance(2, 2500000);
        qnb_time_now(&now);
        EXPECT_EQ(now.tv_sec, 1005u);
        EXPECT_EQ(now.tv_usec, 500000u);

        clock.set(7, 3);
        qnb_time_now(&now);
        EXPECT_EQ(now.tv_sec, 7u);
        EXPECT_EQ(now.tv_usec, 3u);
    }
    qnb_timeval now{};
    qnb_time_now(&now);
    EXPECT_GT(now.tv_sec, 1600000000u) << "the system clock is back";
}

TEST(QnbTime, FakeClockIsReadConsistentlyWhileAnotherThreadAdvancesIt)
{
    qz_test::fake_clock clock(100, 0);
    std::atomic<bool> stop{false};
    std::atomic<bool> went_back{false};
    std::thread reader([&] {
        uint64_t last = 0;
        while (!stop.load()) {
            qnb_timeval now{};
            qnb_time_now(&now);
            uint64_t us = static_cast<uint64_t>(now.tv_sec) * 1000000u + now.tv_usec;
            if (us < last || now.tv_usec >= 1000000u)
                went_back = true;
            last = us;
        }
    });
    for (int i = 0; i < 20000; ++i)
        clock.advance(0, 777);
    stop = true;
    reader.join();
    EXPECT_FALSE(went_back.load());
    qnb_timeval now{};
    qnb_time_now(&now);
    EXPECT_EQ(static_cast<uint64_t>(now.tv_sec) * 1000000u + now.tv_usec, 100000000u + 20000u * 777u);
}

TEST(QnbTime, CtimeBlanksALeadingZeroOfTheDay)
{
    // Noon UTC on 5 January 2021 is the 5th in every time zone.
    const uint32_t seconds = 1609848000u;
    char text[26];
    ASSERT_EQ(qnb_ctime(&seconds, text), text);
    EXPECT_EQ(std::strlen(text), 25u);
    EXPECT_EQ(std::string(text + 4, 7), "Jan  5 ");
    EXPECT_EQ(std::string(text + 20), "2021\n");
    EXPECT_EQ(qnb_ctime(&seconds, nullptr), nullptr);
}

TEST(QnbTime, CtimeOfNowReadsTheLibraryClock)
{
    qz_test::fake_clock clock(1609848000u + 86400u * 10u); // the 15th
    char text[26];
    qnb_ctime(nullptr, text);
    EXPECT_EQ(std::string(text + 4, 7), "Jan 15 ");
}

} // namespace
