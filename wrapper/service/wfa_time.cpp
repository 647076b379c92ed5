#include "wrapper/service/wfa_time.h"

qnb_timeval wfa_time_sub(const qnb_timeval &a, const qnb_timeval &b)
{
    uint64_t sec = a.tv_sec;
    uint64_t usec = a.tv_usec;
    while (usec < b.tv_usec && sec > 0) {
        usec += 1000000u;
        --sec;
    }
    if (sec < b.tv_sec || (sec == b.tv_sec && usec < b.tv_usec))
        return qnb_timeval{0, 0};
    return qnb_timeval{static_cast<uint32_t>(sec - b.tv_sec), static_cast<uint32_t>(usec - b.tv_usec)};
}

qnb_timeval wfa_time_now(void)
{
    qnb_timeval now{0, 0};
    qnb_time_now(&now);
    return now;
}

uint32_t wfa_time_elapsed_seconds(const qnb_timeval &start)
{
    return wfa_time_sub(wfa_time_now(), start).tv_sec;
}
