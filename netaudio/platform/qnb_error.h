// Error codes of the network-audio library. Every library function returns 0 (QNB_ERR_SUCCESS) or
// one of these codes.
#pragma once

#include <cstdint>

typedef int qnb_error;

enum {
    QNB_ERR_SUCCESS = 0,
    QNB_ERR_DONE = 1,
    QNB_ERR_SYSTEM = 2,
    QNB_ERR_INVALIDPARAMETER = 3,
    QNB_ERR_INVALIDDATA = 4,
    QNB_ERR_INVALIDSTATE = 5,
    QNB_ERR_NOMEMORY = 6,
    QNB_ERR_INTERRUPTED = 7,
    QNB_ERR_TRUNCATED = 8,
    QNB_ERR_NOTSUPPORTED = 9,
    QNB_ERR_TIMEDOUT = 10,
    QNB_ERR_NOTFOUND = 11,
    QNB_ERR_DNSSDFAIL = 12,
    QNB_ERR_RANGE = 13,
    QNB_ERR_POLICY = 14,
    QNB_ERR_VERSION = 15,
    QNB_ERR_ACCES = 16,
    QNB_ERR_ADDRINUSE = 17,
    QNB_ERR_ADDRNOTAVAIL = 18,
    QNB_ERR_AFNOSUPPORT = 19,
    QNB_ERR_ALREADY = 20,
    QNB_ERR_BADF = 21,
    QNB_ERR_CONNABORTED = 22,
    QNB_ERR_CONNREFUSED = 23,
    QNB_ERR_CONNRESET = 24,
    QNB_ERR_DESTADDRREQ = 25,
    QNB_ERR_FAULT = 26,
    QNB_ERR_HOSTUNREACH = 27,
    QNB_ERR_INPROGRESS = 28,
    QNB_ERR_ISCONN = 29,
    QNB_ERR_MFILE = 30,
    QNB_ERR_MSGSIZE = 31,
    QNB_ERR_NETDOWN = 32,
    QNB_ERR_NETRESET = 33,
    QNB_ERR_NETUNREACH = 34,
    QNB_ERR_NOBUFS = 35,
    QNB_ERR_NODATA = 36,
    QNB_ERR_NODEV = 37,
    QNB_ERR_NOPROTOOPT = 38,
    QNB_ERR_NORECOVERY = 39,
    QNB_ERR_NOTCONN = 40,
    QNB_ERR_NOTINITIALISED = 41,
    QNB_ERR_NOTSOCK = 42,
    QNB_ERR_PROTONOSUPPORT = 43,
    QNB_ERR_PROTOTYPE = 44,
    QNB_ERR_SHUTDOWN = 45,
    QNB_ERR_SOCKTNOSUPPORT = 46,
    QNB_ERR_TRYAGAIN = 47,
    QNB_ERR_NOTRUNNING = 48,
    QNB_ERR_COUNT = 49
};

// Size of the buffer that qnb_error_message writes into.
enum { QNB_ERROR_MESSAGE_SIZE = 513 };

// The code's name ("NOTFOUND") or text ("object or item not found"); null for a code not in the table.
const char *qnb_error_get_name(qnb_error code);
const char *qnb_error_get_text(qnb_error code);

// Formats a readable message for `code` into `buffer` (QNB_ERROR_MESSAGE_SIZE bytes) and returns it.
char *qnb_error_message(qnb_error code, char *buffer);

// Windows system and socket error numbers (and HRESULTs carrying one) -> library code.
qnb_error qnb_error_from_system(uint32_t number);

// errno values of this platform -> library code, with the meanings the library's callers expect.
qnb_error qnb_error_from_errno(int err);

// The last errno, translated.
qnb_error qnb_error_last(void);

// The platform's text for an errno value (empty for 0), in a 1024-byte buffer of the calling
// thread, valid until that thread's next call.
const char *qnb_system_message(int err);
