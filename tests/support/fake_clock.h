// A fake library clock for tests. While a fake_clock exists it is the source of qnb_time_now; it
// starts at the given time and moves only when the test advances it. Reading and advancing are
// atomic, so a worker thread may read it while the test advances it. Only one may exist at a time;
// its destructor restores the system clock.
#pragma once

#include <atomic>
#include <cstdint>

#include "netaudio/platform/qnb_time.h"

namespace qz_test {

class fake_clock {
public:
    explicit fake_clock(uint32_t seconds = 1700000000u, uint32_t microseconds = 0);
    ~fake_clock();
    fake_clock(const fake_clock &) = delete;
    fake_clock &operator=(const fake_clock &) = delete;

    // Moves the clock forward; microseconds may exceed one second.
    void advance(uint32_t seconds, uint32_t microseconds = 0);
    // Sets the clock to an absolute time (also backwards).
    void set(uint32_t seconds, uint32_t microseconds = 0);
    qnb_timeval now() const;

private:
    static void source(qnb_timeval *out, void *context);
    std::atomic<uint64_t> micros_;
};

} // namespace qz_test
