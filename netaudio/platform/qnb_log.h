// The library's levelled logger and its fixed debug printer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "netaudio/platform/qnb_error.h"

struct qnb_sockaddr;

enum {
    QNB_LOG_NONE = 0,
    QNB_LOG_CRITICAL = 1,
    QNB_LOG_ERROR = 2,
    QNB_LOG_WARNING = 3,
    QNB_LOG_NOTICE = 4,
    QNB_LOG_INFO = 5,
    QNB_LOG_DEBUG = 6,
    QNB_LOG_VERBOSE = 7
};

// The six sinks, in the order of the logger's thresholds.
enum qnb_log_sink {
    QNB_LOG_SINK_NETWORK = 0,
    QNB_LOG_SINK_STDOUT = 1,
    QNB_LOG_SINK_STDERR = 2,
    QNB_LOG_SINK_FILE = 3,
    QNB_LOG_SINK_DEBUGGER = 4,
    QNB_LOG_SINK_CALLBACK = 5
};

struct qnb_logger;

typedef void (*qnb_log_callback_fn)(qnb_logger *logger, const char *timestamp, unsigned level,
                                    const char *text, size_t length);

qnb_logger *qnb_log_new(void);
void qnb_log_delete(qnb_logger *logger);

// Logs a line; a module's line begins with the reporting function's name and a colon.
void qnb_log(qnb_logger *logger, unsigned level, const char *format, ...);

// Debug printer with fixed settings (warnings and worse on its own scale, to standard error).
enum {
    QNB_DBG_NONE = 0,
    QNB_DBG_DEBUG = 1,
    QNB_DBG_INFO = 2,
    QNB_DBG_NOTICE = 3,
    QNB_DBG_WARNING = 4,
    QNB_DBG_ERROR = 5,
    QNB_DBG_CRITICAL = 6,
    QNB_DBG_FATAL = 7,
    QNB_DBG_UNDEFINED = 8
};
void qnb_debug_print(int level, const char *format, ...);
