// Elapsed whole seconds by the library clock, as the drivers' waits count them.
#include <gtest/gtest.h>

#include "tests/support/fake_clock.h"
#include "wrapper/service/wfa_time.h"

namespace {

TEST(Time, SubtractionBorrowsWholeSeconds)
{
    struct row {
        qnb_timeval a, b, difference;
    } rows[] = {
        {{10, 500000}, {4, 200000}, {6, 300000}},
        {{10, 100000}, {4, 200000}, {5, 900000}},
        {{10, 0}, {9, 999999}, {0, 1}},
        {{5, 0}, {5, 0}, {0, 0}},
        {{4, 0}, {5, 0}, {0, 0}},      // clock read earlier than the start
        {{5, 100}, {5, 200}, {0, 0}},
    };
    for (const row &r : rows) {
        qnb_timeval d = wfa_time_sub(r.a, r.b);
        EXPECT_EQ(d.tv_sec, r.difference.tv_sec);
        EXPECT_EQ(d.tv_usec, r.difference.tv_usec);
    }
}

TEST(Time, AWaitOfMoreThanFiveSecondsEndsInTheSixthWholeSecond)
{
    qz_test::fake_clock clock(1000, 700000);
    const qnb_timeval start = wfa_time_now();
    clock.advance(5, 999999);
    EXPECT_EQ(wfa_time_elapsed_seconds(start), 5u); // 5.999999 s
    EXPECT_FALSE(wfa_time_elapsed_seconds(start) > 5);
    clock.advance(0, 1);
    EXPECT_EQ(wfa_time_elapsed_seconds(start), 6u);
    EXPECT_TRUE(wfa_time_elapsed_seconds(start) > 5);
    clock.set(999); // stepped back
    EXPECT_EQ(wfa_time_elapsed_seconds(start), 0u);
}

} // namespace
