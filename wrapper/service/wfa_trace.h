// Trace lines of the wrapper (the names of the results it handles, "Start Browse!!" ...). They go
// to a replaceable sink; without one they are dropped, as debugger output is without a debugger.
#pragma once

typedef void (*wfa_trace_sink)(const char *text, void *context);

// Null restores the default (drop).
void wfa_trace_set_sink(wfa_trace_sink sink, void *context);
void wfa_trace(const char *text);
