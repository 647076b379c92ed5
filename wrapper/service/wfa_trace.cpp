#include "wrapper/service/wfa_trace.h"

#include <mutex>

namespace {

struct trace_state {
    std::mutex lock;
    wfa_trace_sink sink = nullptr;
    void *context = nullptr;
};

trace_state &state()
{
    static trace_state s;
    return s;
}

} // namespace

void wfa_trace_set_sink(wfa_trace_sink sink, void *context)
{
    trace_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    s.sink = sink;
    s.context = context;
}

void wfa_trace(const char *text)
{
    trace_state &s = state();
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.sink && text)
        s.sink(text, s.context);
}
