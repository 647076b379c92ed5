#include "netaudio/platform/qnb_error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct error_row {
    qnb_error code;
    const char *name;
    const char *text;
};

const error_row k_errors[] = {
    {QNB_ERR_SUCCESS, "SUCCESS", "success"},
    {QNB_ERR_DONE, "DONE", "operation done"},
    {QNB_ERR_SYSTEM, "SYSTEM", "system-specific error"},
    {QNB_ERR_INVALIDPARAMETER, "INVALIDPARAMETER", "invalid parameter"},
    {QNB_ERR_INVALIDDATA, "INVALIDDATA", "invalid data"},
    {QNB_ERR_INVALIDSTATE, "INVALIDSTATE", "invalid state"},
    {QNB_ERR_NOMEMORY, "NOMEMORY", "out of memory"},
    {QNB_ERR_INTERRUPTED, "INTERRUPTED", "interrupted"},
    {QNB_ERR_TRUNCATED, "TRUNCATED", "message truncated"},
    {QNB_ERR_NOTSUPPORTED, "NOTSUPPORTED", "operation not supported"},
    {QNB_ERR_TIMEDOUT, "TIMEDOUT", "operation timed out"},
    {QNB_ERR_NOTFOUND, "NOTFOUND", "object or item not found"},
    {QNB_ERR_DNSSDFAIL, "DNSSDFAIL", "DNS-SD system failed"},
    {QNB_ERR_RANGE, "RANGE", "data out of range"},
    {QNB_ERR_POLICY, "POLICY", "administrative policy violation"},
    {QNB_ERR_VERSION, "VERSION", "unsupported version"},
    {QNB_ERR_ACCES, "ACCES", "access"},
    {QNB_ERR_ADDRINUSE, "ADDRINUSE", "address in use"},
    {QNB_ERR_ADDRNOTAVAIL, "ADDRNOTAVAIL", "address not available"},
    {QNB_ERR_AFNOSUPPORT, "AFNOSUPPORT", "address family not supported"},
    {QNB_ERR_ALREADY, "ALREADY", "operation already in progress"},
    {QNB_ERR_BADF, "BADF", "bad file"},
    {QNB_ERR_CONNABORTED, "CONNABORTED", "connection aborted"},
    {QNB_ERR_CONNREFUSED, "CONNREFUSED", "connection refused"},
    {QNB_ERR_CONNRESET, "CONNRESET", "connection reset"},
    {QNB_ERR_DESTADDRREQ, "DESTADDRREQ", "destination address required"},
    {QNB_ERR_FAULT, "FAULT", "fault"},
    {QNB_ERR_HOSTUNREACH, "HOSTUNREACH", "host unreachable"},
    {QNB_ERR_INPROGRESS, "INPROGRESS", "operation in progress"},
    {QNB_ERR_ISCONN, "ISCONN", "socket already connected"},
    {QNB_ERR_MFILE, "MFILE", "too many open files"},
    {QNB_ERR_MSGSIZE, "MSGSIZE", "message too long"},
    {QNB_ERR_NETDOWN, "NETDOWN", "network down"},
    {QNB_ERR_NETRESET, "NETRESET", "network reset"},
    {QNB_ERR_NETUNREACH, "NETUNREACH", "network unreachable"},
    {QNB_ERR_NOBUFS, "NOBUFS", "no buffers"},
    {QNB_ERR_NODATA, "NODATA", "no data"},
    {QNB_ERR_NODEV, "NODEV", "no such device"},
    {QNB_ERR_NOPROTOOPT, "NOPROTOOPT", "protocol not available"},
    {QNB_ERR_NORECOVERY, "NORECOVERY", "non-recoverable error"},
    {QNB_ERR_NOTCONN, "NOTCONN", "not connected"},
    {QNB_ERR_NOTINITIALISED, "NOTINITIALISED", "not initialised"},
    {QNB_ERR_NOTSOCK, "NOTSOCK", "not a socket"},
    {QNB_ERR_PROTONOSUPPORT, "PROTONOSUPPORT", "unsupported protocol"},
    {QNB_ERR_PROTOTYPE, "PROTOTYPE", "wrong protocol type for socket"},
    {QNB_ERR_SHUTDOWN, "SHUTDOWN", "socket has shut down"},
    {QNB_ERR_SOCKTNOSUPPORT, "SOCKTNOSUPPORT", "socket type not supported"},
    {QNB_ERR_TRYAGAIN, "TRYAGAIN", "try again"},
    {QNB_ERR_NOTRUNNING, "NOTRUNNING", "not running"},
};

const error_row *find_error(qnb_error code)
{
    for (const error_row &row : k_errors) {
        if (row.code == code)
            return &row;
    }
    return nullptr;
}

// Windows system and socket error numbers, searched in order. A row number below 0x10000 matches
// the low 16 bits of the given number, so an HRESULT that carries a Win32 code matches too.
struct system_row {
    qnb_error code;
    uint32_t number;
};

const system_row k_system_map[] = {
    {QNB_ERR_SUCCESS, 0},
    {QNB_ERR_INVALIDPARAMETER, 87},
    {QNB_ERR_INVALIDPARAMETER, 10022},
    {QNB_ERR_INVALIDPARAMETER, 123},
    {QNB_ERR_NOMEMORY, 14},
    {QNB_ERR_NOMEMORY, 8},
    {QNB_ERR_INTERRUPTED, 192},
    {QNB_ERR_INTERRUPTED, 10004},
    {QNB_ERR_NOTSUPPORTED, 10045},
    {QNB_ERR_TIMEDOUT, 10060},
    {QNB_ERR_TIMEDOUT, 10035},
    {QNB_ERR_NOTFOUND, 2},
    {QNB_ERR_NOTFOUND, 3},
    {QNB_ERR_ACCES, 5},
    {QNB_ERR_ACCES, 10013},
    {QNB_ERR_ADDRINUSE, 10048},
    {QNB_ERR_ADDRNOTAVAIL, 10049},
    {QNB_ERR_AFNOSUPPORT, 10047},
    {QNB_ERR_ALREADY, 10037},
    {QNB_ERR_CONNABORTED, 10053},
    {QNB_ERR_CONNREFUSED, 10061},
    {QNB_ERR_CONNRESET, 10054},
    {QNB_ERR_DESTADDRREQ, 10039},
    {QNB_ERR_FAULT, 10014},
    {QNB_ERR_HOSTUNREACH, 10065},
    {QNB_ERR_INPROGRESS, 10036},
    {QNB_ERR_ISCONN, 10056},
    {QNB_ERR_MFILE, 10024},
    {QNB_ERR_MSGSIZE, 10040},
    {QNB_ERR_NETDOWN, 10050},
    {QNB_ERR_NETRESET, 10052},
    {QNB_ERR_NETUNREACH, 10051},
    {QNB_ERR_NETUNREACH, 67},
    {QNB_ERR_NETUNREACH, 1232},
    {QNB_ERR_NETUNREACH, 1231},
    {QNB_ERR_NETUNREACH, 31},
    {QNB_ERR_NOBUFS, 10055},
    {QNB_ERR_NODATA, 11004},
    {QNB_ERR_NOPROTOOPT, 10042},
    {QNB_ERR_NORECOVERY, 11003},
    {QNB_ERR_NOTCONN, 10057},
    {QNB_ERR_NOTINITIALISED, 10093},
    {QNB_ERR_NOTSOCK, 10038},
    {QNB_ERR_PROTONOSUPPORT, 10043},
    {QNB_ERR_PROTOTYPE, 10041},
    {QNB_ERR_SHUTDOWN, 10058},
    {QNB_ERR_SOCKTNOSUPPORT, 10044},
    {QNB_ERR_TRYAGAIN, 11002},
    {QNB_ERR_ALREADY, 5010},
    {QNB_ERR_NOTFOUND, 1060},
    {QNB_ERR_NOTRUNNING, 0x800706D9u},
    {QNB_ERR_NOTFOUND, 0xE000020Bu},
};

// Each thread has its own text, so that two threads reporting at once do not overwrite each other.
thread_local char g_system_message[1024];

} // namespace

const char *qnb_error_get_name(qnb_error code)
{
    const error_row *row = find_error(code);
    return row ? row->name : nullptr;
}

const char *qnb_error_get_text(qnb_error code)
{
    const error_row *row = find_error(code);
    return row ? row->text : nullptr;
}

char *qnb_error_message(qnb_error code, char *buffer)
{
    if (!buffer)
        return nullptr;
    if (code == QNB_ERR_SUCCESS) {
        snprintf(buffer, QNB_ERROR_MESSAGE_SIZE, "success");
    } else if (code == QNB_ERR_SYSTEM) {
        // The system text and number are not known at this point.
        snprintf(buffer, QNB_ERROR_MESSAGE_SIZE, "System error: %s: (0x%04x)", "", 0u);
    } else if (const error_row *row = find_error(code)) {
        snprintf(buffer, QNB_ERROR_MESSAGE_SIZE, "%s: (0x%04x=%s)", row->text, (unsigned)code, row->name);
    } else {
        snprintf(buffer, QNB_ERROR_MESSAGE_SIZE, "unknown error: (0x%04x)", (unsigned)code);
    }
    return buffer;
}

qnb_error qnb_error_from_system(uint32_t number)
{
    for (const system_row &row : k_system_map) {
        // The success row is exact: a non-zero number whose low 16 bits happen to be 0 is an error.
        if (row.number == 0) {
            if (number == 0)
                return row.code;
        } else if (row.number < 0x10000u) {
            if (row.number == (number & 0xFFFFu))
                return row.code;
        } else if (row.number == number) {
            return row.code;
        }
    }
    return QNB_ERR_SYSTEM;
}

qnb_error qnb_error_from_errno(int err)
{
    switch (err) {
    case 0: return QNB_ERR_SUCCESS;
    case EINVAL: return QNB_ERR_INVALIDPARAMETER;
    case ENOMEM: return QNB_ERR_NOMEMORY;
    case EINTR: return QNB_ERR_INTERRUPTED;
    case EOPNOTSUPP: return QNB_ERR_NOTSUPPORTED;
    case ENOSYS: return QNB_ERR_NOTSUPPORTED;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN: return QNB_ERR_TIMEDOUT; // "would block" reads as "nothing arrived in time"
    case ETIMEDOUT: return QNB_ERR_TIMEDOUT;
    case ENOENT: return QNB_ERR_NOTFOUND;
    case EACCES: return QNB_ERR_ACCES;
    case EPERM: return QNB_ERR_ACCES;
    case EADDRINUSE: return QNB_ERR_ADDRINUSE;
    case EADDRNOTAVAIL: return QNB_ERR_ADDRNOTAVAIL;
    case EAFNOSUPPORT: return QNB_ERR_AFNOSUPPORT;
    case EALREADY: return QNB_ERR_ALREADY;
    // A closed descriptor is what an invalid socket handle is elsewhere: callers test for NOTSOCK.
    case EBADF: return QNB_ERR_NOTSOCK;
    case ENOTSOCK: return QNB_ERR_NOTSOCK;
    case ECONNABORTED: return QNB_ERR_CONNABORTED;
    // On a connected UDP socket an ICMP port-unreachable arrives as ECONNREFUSED: the peer is gone,
    // which the library's callers know as a connection reset.
    case ECONNREFUSED: return QNB_ERR_CONNRESET;
    case ECONNRESET: return QNB_ERR_CONNRESET;
    case EDESTADDRREQ: return QNB_ERR_DESTADDRREQ;
    case EFAULT: return QNB_ERR_FAULT;
    case EHOSTUNREACH: return QNB_ERR_HOSTUNREACH;
    case EHOSTDOWN: return QNB_ERR_HOSTUNREACH;
    case EINPROGRESS: return QNB_ERR_INPROGRESS;
    case EISCONN: return QNB_ERR_ISCONN;
    case EMFILE: return QNB_ERR_MFILE;
    case ENFILE: return QNB_ERR_MFILE;
    case EMSGSIZE: return QNB_ERR_MSGSIZE;
    case ENETDOWN: return QNB_ERR_NETDOWN;
    case ENETRESET: return QNB_ERR_NETRESET;
    case ENETUNREACH: return QNB_ERR_NETUNREACH;
    case ENOBUFS: return QNB_ERR_NOBUFS;
    case ENODATA: return QNB_ERR_NODATA;
    case ENODEV: return QNB_ERR_NODEV;
    case ENXIO: return QNB_ERR_NODEV;
    case ENOPROTOOPT: return QNB_ERR_NOPROTOOPT;
    case ENOTCONN: return QNB_ERR_NOTCONN;
    case EPROTONOSUPPORT: return QNB_ERR_PROTONOSUPPORT;
    case EPROTOTYPE: return QNB_ERR_PROTOTYPE;
    case ESHUTDOWN: return QNB_ERR_SHUTDOWN;
    case EPIPE: return QNB_ERR_SHUTDOWN;
    case ESOCKTNOSUPPORT: return QNB_ERR_SOCKTNOSUPPORT;
    default: return QNB_ERR_SYSTEM;
    }
}

qnb_error qnb_error_last(void)
{
    return qnb_error_from_errno(errno);
}

const char *qnb_system_message(int err)
{
    if (err == 0) {
        g_system_message[0] = '\0';
        return g_system_message;
    }
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char *text = strerror_r(err, g_system_message, sizeof g_system_message);
    if (text != g_system_message)
        snprintf(g_system_message, sizeof g_system_message, "%s", text);
    return g_system_message;
}
