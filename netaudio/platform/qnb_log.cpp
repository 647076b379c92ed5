#include "netaudio/platform/qnb_log.h"

#include <sys/socket.h>

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "netaudio/platform/qnb_printf.h"
#include "netaudio/platform/qnb_time.h"

namespace {

const size_t kFormatBufferSize = 16384;
// The largest payload a log packet carries: fits an Ethernet frame with IPv4 and UDP headers.
const size_t kPacketSize = 1458;
const size_t kTimestampSize = 16; // "%15.15s" and a terminator
const unsigned kSinkCount = 6;

const char *const kLevelNames[] = {"None", "Critical", "Error", "Warning", "Notice", "Info", "Debug", "Verbose"};

const char *level_name(unsigned level)
{
    return level < sizeof kLevelNames / sizeof kLevelNames[0] ? kLevelNames[level] : "Undef";
}

const char *error_name(qnb_error err)
{
    const char *name = qnb_error_get_name(err);
    return name ? name : "UNKNOWN";
}

// "Jan  5 13:04:05": month, day and time of the library clock's ctime text.
void make_timestamp(char *out)
{
    out[0] = '\0';
    qnb_timeval now;
    if (qnb_time_now(&now) != QNB_ERR_SUCCESS)
        return;
    char text[26];
    memset(text, 0, sizeof text);
    qnb_ctime(&now.tv_sec, text);
    if (strnlen(text, sizeof text) < 4 + 15)
        return;
    snprintf(out, kTimestampSize, "%15.15s", text + 4);
}

// One line of a stdio sink: [timestamp and a blank] prefix, a separator, the text, and a newline
// when the text lacks one.
void write_line(FILE *stream, const char *timestamp, const char *prefix, const char *separator, const char *text,
                size_t length)
{
    if (timestamp)
        fprintf(stream, "%s ", timestamp);
    fprintf(stream, "%s%s", prefix, separator);
    fwrite(text, 1, length, stream);
    if (length == 0 || text[length - 1] != '\n')
        fputc('\n', stream);
    fflush(stream);
}

} // namespace

struct qnb_log_destination {
    qnb_sockaddr address;
    qnb_socket socket;
};

struct qnb_logger {
    char name[32];
    unsigned master_level;
    unsigned thresholds[kSinkCount];
    unsigned timestamp_flags;
    FILE *file;
    qnb_log_destination destinations[QNB_LOG_DESTINATIONS];
    qnb_log_callback_fn callback;
    qnb_log_trace_fn trace;
    void *trace_context;
    char *format_buffer; // allocated on first use
    size_t format_size;
    bool dispatching; // a line is being written: a nested line formats into its own buffer
};

namespace {

void send_network(qnb_logger *logger, unsigned level, const char *timestamp, const char *text, size_t length);

void dispatch(qnb_logger *logger, unsigned level, const char *text, size_t length)
{
    char timestamp[kTimestampSize] = "";
    if (logger->timestamp_flags)
        make_timestamp(timestamp);
    const char *name = level_name(level);
    unsigned flags = logger->timestamp_flags;

    if (logger->thresholds[QNB_LOG_SINK_STDOUT] >= level)
        write_line(stdout, (flags & QNB_LOG_TIMESTAMP_STDOUT) ? timestamp : nullptr, name, " ", text, length);
    if (logger->thresholds[QNB_LOG_SINK_STDERR] >= level)
        write_line(stderr, (flags & QNB_LOG_TIMESTAMP_STDERR) ? timestamp : nullptr, name, " ", text, length);
    if (logger->thresholds[QNB_LOG_SINK_FILE] >= level && logger->file)
        write_line(logger->file, (flags & QNB_LOG_TIMESTAMP_FILE) ? timestamp : nullptr, name, " ", text, length);
    if (logger->thresholds[QNB_LOG_SINK_NETWORK] >= level)
        send_network(logger, level, (flags & QNB_LOG_TIMESTAMP_NETWORK) ? timestamp : nullptr, text, length);
    if (logger->thresholds[QNB_LOG_SINK_DEBUGGER] >= level && logger->trace) {
        std::string line;
        if (logger->name[0]) {
            line += logger->name;
            line += ':';
        }
        line += name;
        line += ':';
        line.append(text, length);
        logger->trace(line.c_str(), logger->trace_context);
    }
    if (logger->thresholds[QNB_LOG_SINK_CALLBACK] >= level && logger->callback)
        logger->callback(logger, (flags & QNB_LOG_TIMESTAMP_CALLBACK) ? timestamp : nullptr, level, text, length);
}

qnb_error send_packet(const qnb_log_destination &d, const char *data, size_t *length)
{
    if (qnb_sockaddr_is_empty(&d.address))
        return qnb_socket_send(d.socket, data, length);
    return qnb_socket_sendto(d.socket, data, length, &d.address);
}

// Sends one line to every destination: the first packet carries "[timestamp] L " and as much of
// the text as fits, the rest follows in further packets; no packet exceeds kPacketSize bytes.
void send_network(qnb_logger *logger, unsigned level, const char *timestamp, const char *text, size_t length)
{
    char packet[kPacketSize];
    int head = snprintf(packet, sizeof packet, "%s %c ", timestamp ? timestamp : "", level_name(level)[0]);
    size_t prefix = head > 0 ? (size_t)head : 0;

    for (qnb_log_destination &d : logger->destinations) {
        if (d.socket == QNB_SOCKET_INVALID)
            continue;
        size_t done = 0;
        bool first = true;
        qnb_error err = QNB_ERR_SUCCESS;
        while (first || done < length) {
            size_t lead = first ? prefix : 0;
            size_t chunk = length - done;
            if (chunk > kPacketSize - lead)
                chunk = kPacketSize - lead;
            const char *data = text + done;
            if (first) {
                memcpy(packet + prefix, text + done, chunk);
                data = packet;
            }
            size_t sent = lead + chunk;
            err = send_packet(d, data, &sent);
            // A packet that did not even carry its prefix, or carried nothing, is a failure.
            if (err == QNB_ERR_SUCCESS && (sent < lead || (sent == 0 && chunk > 0)))
                err = QNB_ERR_FAULT;
            if (err != QNB_ERR_SUCCESS)
                break;
            done += sent - lead;
            first = false;
        }
        if (err == QNB_ERR_SUCCESS)
            continue;
        int fd = d.socket;
        if (err == QNB_ERR_NOTSOCK) {
            qnb_sockaddr_clear(&d.address);
            qnb_socket_close(&d.socket);
            qnb_log(logger, QNB_LOG_ERROR, "qnb_log: bad network logging socket %d - network logging disabled: %s (%d)",
                    fd, error_name(err), err);
        } else {
            // The destination is left out of its own failure report, then used again.
            char address[QNB_SOCKADDR_TEXT_SIZE];
            qnb_sockaddr_to_text(&d.address, address, sizeof address);
            d.socket = QNB_SOCKET_INVALID;
            qnb_log(logger, QNB_LOG_NOTICE, "qnb_log: network logging to %s (fd %d) failed: %s (%d)", address, fd,
                    error_name(err), err);
            d.socket = fd;
        }
    }
}

} // namespace

qnb_logger *qnb_log_new(void)
{
    qnb_logger *logger = static_cast<qnb_logger *>(calloc(1, sizeof(qnb_logger)));
    if (!logger)
        return nullptr;
    logger->timestamp_flags = QNB_LOG_TIMESTAMP_STDOUT | QNB_LOG_TIMESTAMP_STDERR | QNB_LOG_TIMESTAMP_FILE;
    for (qnb_log_destination &d : logger->destinations)
        d.socket = QNB_SOCKET_INVALID;
    return logger;
}

void qnb_log_delete(qnb_logger *logger)
{
    if (!logger)
        return;
    for (qnb_log_destination &d : logger->destinations)
        qnb_socket_close(&d.socket);
    free(logger->format_buffer);
    free(logger);
}

void qnb_log(qnb_logger *logger, unsigned level, const char *format, ...)
{
    if (!logger || !format || level == QNB_LOG_NONE || logger->master_level < level)
        return;
    va_list args;
    va_start(args, format);
    if (!logger->dispatching) {
        if (!logger->format_buffer) {
            logger->format_buffer = static_cast<char *>(calloc(1, kFormatBufferSize));
            logger->format_size = logger->format_buffer ? kFormatBufferSize : 0;
        }
        int n = logger->format_buffer ? qnb_vsnprintf(logger->format_buffer, logger->format_size, format, args) : -1;
        if (n > 0) {
            size_t length = (size_t)n < logger->format_size ? (size_t)n : logger->format_size - 1;
            logger->dispatching = true;
            dispatch(logger, level, logger->format_buffer, length);
            logger->dispatching = false;
        }
    } else {
        // A line logged while another is being written (a failed network send) must not overwrite
        // the text the remaining sinks of the outer line still need.
        char *text = nullptr;
        int n = qnb_vasprintf(&text, format, args);
        if (n > 0) {
            size_t length = (size_t)n < kFormatBufferSize ? (size_t)n : kFormatBufferSize - 1;
            dispatch(logger, level, text, length);
        }
        free(text);
    }
    va_end(args);
}

qnb_error qnb_log_set_master_level(qnb_logger *logger, unsigned level)
{
    if (!logger)
        return QNB_ERR_INVALIDPARAMETER;
    logger->master_level = level;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_log_set_threshold(qnb_logger *logger, qnb_log_sink sink, unsigned level)
{
    if (!logger || (unsigned)sink >= kSinkCount)
        return QNB_ERR_INVALIDPARAMETER;
    logger->thresholds[sink] = level;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_log_set_timestamp_flags(qnb_logger *logger, unsigned flags)
{
    if (!logger)
        return QNB_ERR_INVALIDPARAMETER;
    logger->timestamp_flags = flags;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_log_set_file(qnb_logger *logger, FILE *file)
{
    if (!logger)
        return QNB_ERR_INVALIDPARAMETER;
    logger->file = file;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_log_set_network_destination(qnb_logger *logger, unsigned which, const qnb_sockaddr *address,
                                          qnb_socket sock)
{
    if (!logger || which >= QNB_LOG_DESTINATIONS)
        return QNB_ERR_INVALIDPARAMETER;
    qnb_log_destination &d = logger->destinations[which];
    if (qnb_sockaddr_is_empty(address)) {
        if (sock != d.socket)
            qnb_socket_close(&sock);
        qnb_socket_close(&d.socket);
        qnb_sockaddr_clear(&d.address);
        return QNB_ERR_SUCCESS;
    }
    if (address->sin.sin_family != AF_INET)
        return QNB_ERR_NOTSUPPORTED;
    if (sock == QNB_SOCKET_INVALID) {
        qnb_error err = qnb_socket_open_udp(&sock, AF_INET);
        if (err)
            return err;
    }
    if (d.socket != sock)
        qnb_socket_close(&d.socket);
    d.socket = sock;
    d.address = *address;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_log_set_callback(qnb_logger *logger, qnb_log_callback_fn callback)
{
    if (!logger)
        return QNB_ERR_INVALIDPARAMETER;
    logger->callback = callback;
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_log_set_trace(qnb_logger *logger, qnb_log_trace_fn trace, void *context)
{
    if (!logger)
        return QNB_ERR_INVALIDPARAMETER;
    logger->trace = trace;
    logger->trace_context = trace ? context : nullptr;
    return QNB_ERR_SUCCESS;
}

// ---- the debug printer ----

namespace {

const char *const kDebugLevelNames[] = {"No error", "Debug", "Info", "Notice", "Warning", "Error",
                                        "Critical error", "Fatal error", "Undefined error"};

const char *debug_level_name(int level)
{
    if (level < 0)
        level = QNB_DBG_UNDEFINED;
    return kDebugLevelNames[level > QNB_DBG_UNDEFINED ? QNB_DBG_UNDEFINED : level];
}

enum {
    DBG_SINK_STDOUT = 0x01,
    DBG_SINK_STDERR = 0x02,
    DBG_SINK_SYSLOG = 0x04,
    DBG_SINK_NETWORK = 0x10,
    DBG_SINK_FILE = 0x20
};

// The printer's settings are fixed; only the stream standing for standard error and the network
// destination (both for tests) can be replaced.
struct debug_settings {
    unsigned sinks;
    int print_level;   // below it nothing is printed at all
    int stdio_level;   // minimum for the stdio sinks
    bool stdio_timestamp;
    FILE *file;
    int network_level; // minimum for the network sink
    bool network_timestamp;
};
const debug_settings kDebug = {DBG_SINK_STDERR, QNB_DBG_WARNING, QNB_DBG_WARNING, true, nullptr, QNB_DBG_INFO, false};

std::atomic<FILE *> g_debug_stream{nullptr};

struct debug_network {
    qnb_sockaddr address;
    qnb_socket socket;
};
std::atomic<bool> g_debug_network_on{false};
debug_network g_debug_network = {{}, QNB_SOCKET_INVALID};

// Stops a failure of the network sink, itself printed, from sending again.
thread_local bool t_debug_sending = false;

void debug_emit_network(int level, const char *timestamp, const char *text)
{
    if (!g_debug_network_on.load() || g_debug_network.socket == QNB_SOCKET_INVALID || t_debug_sending)
        return;
    t_debug_sending = true;
    char line[4096];
    int n;
    if (timestamp)
        n = snprintf(line, sizeof line, "%s %c %s", timestamp, debug_level_name(level)[0], text);
    else
        n = snprintf(line, sizeof line, "%c %s", debug_level_name(level)[0], text);
    size_t length = n < 0 ? 0 : ((size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
    size_t done = 0;
    while (done < length) {
        size_t sent = length - done < kPacketSize ? length - done : kPacketSize;
        qnb_error err = qnb_sockaddr_is_empty(&g_debug_network.address)
                            ? qnb_socket_send(g_debug_network.socket, line + done, &sent)
                            : qnb_socket_sendto(g_debug_network.socket, line + done, &sent, &g_debug_network.address);
        if (err == QNB_ERR_SUCCESS && sent == 0)
            err = QNB_ERR_FAULT;
        if (err != QNB_ERR_SUCCESS) {
            qnb_debug_print(QNB_DBG_NOTICE, "%s: network logging failed: %s (%d)", "log_socket", error_name(err), err);
            break;
        }
        done += sent;
    }
    t_debug_sending = false;
}

void debug_emit(int level, const char *text)
{
    if (!text[0])
        return;
    char timestamp[kTimestampSize] = "";
    if (kDebug.stdio_timestamp || kDebug.network_timestamp)
        make_timestamp(timestamp);
    const char *name = debug_level_name(level);
    size_t length = strlen(text);
    if (level >= kDebug.stdio_level) {
        const char *stamp = kDebug.stdio_timestamp ? timestamp : nullptr;
        if (kDebug.sinks & DBG_SINK_STDOUT)
            write_line(stdout, stamp, name, ": ", text, length);
        if (kDebug.sinks & DBG_SINK_STDERR) {
            FILE *stream = g_debug_stream.load();
            write_line(stream ? stream : stderr, stamp, name, ": ", text, length);
        }
        if ((kDebug.sinks & DBG_SINK_FILE) && kDebug.file)
            write_line(kDebug.file, stamp, name, ": ", text, length);
    }
    // The system-log sink has no destination on this platform: it writes nothing.
    if (((kDebug.sinks & DBG_SINK_NETWORK) || g_debug_network_on.load()) && level >= kDebug.network_level)
        debug_emit_network(level, kDebug.network_timestamp ? timestamp : nullptr, text);
}

} // namespace

void qnb_debug_print(int level, const char *format, ...)
{
    if (level < kDebug.print_level || !format)
        return;
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    int n = qnb_vasprintf(&text, format, args);
    va_end(args);
    if (n > 0 && text)
        debug_emit(level, text);
    free(text);
}

void qnb_debug_set_stream(FILE *stream)
{
    g_debug_stream.store(stream);
}

void qnb_debug_set_network(const qnb_sockaddr *address, qnb_socket sock)
{
    g_debug_network_on.store(false);
    if (!address || sock == QNB_SOCKET_INVALID) {
        qnb_sockaddr_clear(&g_debug_network.address);
        g_debug_network.socket = QNB_SOCKET_INVALID;
        return;
    }
    g_debug_network.address = *address;
    g_debug_network.socket = sock;
    g_debug_network_on.store(true);
}
