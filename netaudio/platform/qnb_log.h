// The library's levelled logger and its fixed debug printer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "netaudio/platform/qnb_error.h"
#include "netaudio/platform/qnb_socket.h"

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

// Logs a line formatted by the library's own printf family (qnb_printf.h); a module's line begins
// with the reporting function's name and a colon. A call passes the master level and a sink's
// threshold when they are >= `level`; level 0 (None) is never written.
void qnb_log(qnb_logger *logger, unsigned level, const char *format, ...);

// Which sinks prefix their lines with a timestamp ("Jan  5 13:04:05").
enum {
    QNB_LOG_TIMESTAMP_NETWORK = 0x01,
    QNB_LOG_TIMESTAMP_STDOUT = 0x02,
    QNB_LOG_TIMESTAMP_STDERR = 0x04,
    QNB_LOG_TIMESTAMP_FILE = 0x08,
    QNB_LOG_TIMESTAMP_CALLBACK = 0x10
};
enum { QNB_LOG_DESTINATIONS = 2 };

// Where the debugger sink writes ("name:Level:text", or "Level:text" without a name).
typedef void (*qnb_log_trace_fn)(const char *text, void *context);

// Settings. A fresh logger has the master level and every threshold at 0 (silent), timestamps on
// standard output, standard error and the file, no file, no destination, no callback, no trace.
// Each returns QNB_ERR_INVALIDPARAMETER for a null logger or a sink/destination out of range.
qnb_error qnb_log_set_master_level(qnb_logger *logger, unsigned level);
qnb_error qnb_log_set_threshold(qnb_logger *logger, qnb_log_sink sink, unsigned level);
qnb_error qnb_log_set_timestamp_flags(qnb_logger *logger, unsigned flags);
// The file stays the caller's: the logger never closes it.
qnb_error qnb_log_set_file(qnb_logger *logger, FILE *file);
// Destination 0 or 1 of the network sink. The logger takes `sock` (closed when replaced, when the
// logger is deleted, or when it turns out not to be a socket); with -1 it opens a UDP socket of
// its own. A null or empty address closes the destination's socket and disables it.
qnb_error qnb_log_set_network_destination(qnb_logger *logger, unsigned which, const qnb_sockaddr *address,
                                          qnb_socket sock);
qnb_error qnb_log_set_callback(qnb_logger *logger, qnb_log_callback_fn callback);
qnb_error qnb_log_set_trace(qnb_logger *logger, qnb_log_trace_fn trace, void *context);

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
// The stream that stands for standard error (null restores stderr); lets tests read the output.
void qnb_debug_set_stream(FILE *stream);
// Test seam: sends the printer's lines (Warning and worse) to `address` through `sock` as well,
// which stays the caller's; a null address or a socket of -1 stops it.
void qnb_debug_set_network(const qnb_sockaddr *address, qnb_socket sock);
