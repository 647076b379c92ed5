// Elapsed time for the service layer's waits. Every check reads the library clock (qnb_time_now),
// so tests move time with a fake clock; waits compare whole elapsed seconds.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_time.h"

// a - b: while a's microseconds are below b's, a million microseconds are borrowed from a's
// seconds; then both fields are subtracted. A b later than a gives 0:0.
qnb_timeval wfa_time_sub(const qnb_timeval &a, const qnb_timeval &b);

// The current time of the library clock.
qnb_timeval wfa_time_now(void);

// Whole seconds since `start` by the library clock (0 when the clock reads earlier than `start`).
uint32_t wfa_time_elapsed_seconds(const qnb_timeval &start);
