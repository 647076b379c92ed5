// The library clock in microseconds: every delay of the simulated installation's peers is read
// from it, so a fake clock drives them too.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_time.h"

inline uint64_t tn_now_micros()
{
    qnb_timeval t{0, 0};
    qnb_time_now(&t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + t.tv_usec;
}
