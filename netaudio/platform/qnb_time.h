// The library clock: seconds and microseconds since 1970 (UTC). Every deadline of the library and
// of the service layer reads it, so tests can replace its source with a fake clock.
#pragma once

#include <cstdint>

#include "netaudio/platform/qnb_error.h"

struct qnb_timeval {
    uint32_t tv_sec;
    uint32_t tv_usec;
};

// The current time of the library clock. Null `out`: QNB_ERR_INVALIDPARAMETER.
qnb_error qnb_time_now(qnb_timeval *out);

// Replaces the clock's source (null restores the system clock). The source must be callable from
// any thread.
typedef void (*qnb_time_source_fn)(qnb_timeval *out, void *context);
void qnb_time_set_source(qnb_time_source_fn source, void *context);

// ctime text of `seconds` (of now when null) into a 26-byte buffer; a leading '0' of the day of the
// month becomes a blank. Returns `buffer`.
char *qnb_ctime(const uint32_t *seconds, char *buffer);
