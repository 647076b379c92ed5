#include "netaudio/platform/qnb_time.h"

#include <mutex>

#include <time.h>

namespace {

// The source is swapped and called under one lock, so a source that is being removed is never
// called after qnb_time_set_source has returned.
std::mutex g_source_lock;
qnb_time_source_fn g_source = nullptr;
void *g_source_context = nullptr;

void system_now(qnb_timeval *out)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    out->tv_sec = static_cast<uint32_t>(ts.tv_sec);
    out->tv_usec = static_cast<uint32_t>(ts.tv_nsec / 1000);
}

} // namespace

qnb_error qnb_time_now(qnb_timeval *out)
{
    if (!out)
        return QNB_ERR_INVALIDPARAMETER;
    std::lock_guard<std::mutex> lock(g_source_lock);
    if (g_source)
        g_source(out, g_source_context);
    else
        system_now(out);
    return QNB_ERR_SUCCESS;
}

void qnb_time_set_source(qnb_time_source_fn source, void *context)
{
    std::lock_guard<std::mutex> lock(g_source_lock);
    g_source = source;
    g_source_context = source ? context : nullptr;
}

char *qnb_ctime(const uint32_t *seconds, char *buffer)
{
    if (!buffer)
        return nullptr;
    time_t t;
    if (seconds) {
        t = static_cast<time_t>(*seconds);
    } else {
        qnb_timeval now;
        qnb_time_now(&now);
        t = static_cast<time_t>(now.tv_sec);
    }
    if (!ctime_r(&t, buffer)) {
        buffer[0] = '\0';
        return buffer;
    }
    // "Mon Jan 05 ..." reads as "Mon Jan  5 ..." everywhere in the logs.
    if (buffer[8] == '0')
        buffer[8] = ' ';
    return buffer;
}
