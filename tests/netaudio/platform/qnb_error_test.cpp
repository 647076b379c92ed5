#include "netaudio/platform/qnb_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct error_row {
    qnb_error code;
    const char *name;
    const char *text;
};

// The published table: callers and log readers rely on every name and text.
const error_row k_table[] = {
    {0, "SUCCESS", "success"},
    {1, "DONE", "operation done"},
    {2, "SYSTEM", "system-specific error"},
    {3, "INVALIDPARAMETER", "invalid parameter"},
    {4, "INVALIDDATA", "invalid data"},
    {5, "INVALIDSTATE", "invalid state"},
    {6, "NOMEMORY", "out of memory"},
    {7, "INTERRUPTED", "interrupted"},
    {8, "TRUNCATED", "message truncated"},
    {9, "NOTSUPPORTED", "operation not supported"},
    {10, "TIMEDOUT", "operation timed out"},
    {11, "NOTFOUND", "object or item not found"},
    {12, "DNSSDFAIL", "DNS-SD system failed"},
    {13, "RANGE", "data out of range"},
    {14, "POLICY", "administrative policy violation"},
    {15, "VERSION", "unsupported version"},
    {16, "ACCES", "access"},
    {17, "ADDRINUSE", "address in use"},
    {18, "ADDRNOTAVAIL", "address not available"},
    {19, "AFNOSUPPORT", "address family not supported"},
    {20, "ALREADY", "operation already in progress"},
    {21, "BADF", "bad file"},
    {22, "CONNABORTED", "connection aborted"},
    {23, "CONNREFUSED", "connection refused"},
    {24, "CONNRESET", "connection reset"},
    {25, "DESTADDRREQ", "destination address required"},
    {26, "FAULT", "fault"},
    {27, "HOSTUNREACH", "host unreachable"},
    {28, "INPROGRESS", "operation in progress"},
    {29, "ISCONN", "socket already connected"},
    {30, "MFILE", "too many open files"},
    {31, "MSGSIZE", "message too long"},
    {32, "NETDOWN", "network down"},
    {33, "NETRESET", "network reset"},
    {34, "NETUNREACH", "network unreachable"},
    {35, "NOBUFS", "no buffers"},
    {36, "NODATA", "no data"},
    {37, "NODEV", "no such device"},
    {38, "NOPROTOOPT", "protocol not available"},
    {39, "NORECOVERY", "non-recoverable error"},
    {40, "NOTCONN", "not connected"},
    {41, "NOTINITIALISED", "not initialised"},
    {42, "NOTSOCK", "not a socket"},
    {43, "PROTONOSUPPORT", "unsupported protocol"},
    {44, "PROTOTYPE", "wrong protocol type for socket"},
    {45, "SHUTDOWN", "socket has shut down"},
    {46, "SOCKTNOSUPPORT", "socket type not supported"},
    {47, "TRYAGAIN", "try again"},
    {48, "NOTRUNNING", "not running"},
};

TEST(QnbError, EveryCodeHasItsNameAndText)
{
    static_assert(sizeof k_table / sizeof k_table[0] == QNB_ERR_COUNT, "49 codes");
    for (const error_row &row : k_table) {
        ASSERT_NE(qnb_error_get_name(row.code), nullptr) << row.code;
        ASSERT_NE(qnb_error_get_text(row.code), nullptr) << row.code;
        EXPECT_STREQ(qnb_error_get_name(row.code), row.name) << row.code;
        EXPECT_STREQ(qnb_error_get_text(row.code), row.text) << row.code;
    }
    for (qnb_error unknown : {49, 50, -1, 0x7FFFFFFF, 0x140}) {
        EXPECT_EQ(qnb_error_get_name(unknown), nullptr) << unknown;
        EXPECT_EQ(qnb_error_get_text(unknown), nullptr) << unknown;
    }
}

TEST(QnbError, MessagesNameTheCodeAndNeverPrintANullText)
{
    char buffer[QNB_ERROR_MESSAGE_SIZE];
    EXPECT_STREQ(qnb_error_message(11, buffer), "object or item not found: (0x000b=NOTFOUND)");
    EXPECT_EQ(qnb_error_message(11, buffer), buffer);
    EXPECT_STREQ(qnb_error_message(0, buffer), "success");
    EXPECT_STREQ(qnb_error_message(2, buffer), "System error: : (0x0000)");
    EXPECT_STREQ(qnb_error_message(48, buffer), "not running: (0x0030=NOTRUNNING)");
    for (const error_row &row : k_table) {
        if (row.code == 0 || row.code == 2)
            continue;
        std::string expected = std::string(row.text) + ": (0x";
        EXPECT_EQ(std::string(qnb_error_message(row.code, buffer)).rfind(expected, 0), 0u) << row.code;
        EXPECT_NE(std::strstr(buffer, row.name), nullptr) << row.code;
    }
    for (qnb_error unknown : {49, -1, 0x150}) {
        std::string message = qnb_error_message(unknown, buffer);
        EXPECT_EQ(message.rfind("unknown error", 0), 0u) << message;
        EXPECT_EQ(message.find("null"), std::string::npos) << message;
    }
    EXPECT_EQ(qnb_error_message(11, nullptr), nullptr);
}

TEST(QnbError, WindowsNumbersMapThroughTheTable)
{
    struct {
        uint32_t number;
        qnb_error code;
    } rows[] = {
        {0, 0},        {87, 3},      {10022, 3},   {123, 3},     {14, 6},      {8, 6},
        {192, 7},      {10004, 7},   {10045, 9},   {10060, 10},  {10035, 10},  {2, 11},
        {3, 11},       {5, 16},      {10013, 16},  {10048, 17},  {10049, 18},  {10047, 19},
        {10037, 20},   {10053, 22},  {10061, 23},  {10054, 24},  {10039, 25},  {10014, 26},
        {10065, 27},   {10036, 28},  {10056, 29},  {10024, 30},  {10040, 31},  {10050, 32},
        {10052, 33},   {10051, 34},  {67, 34},     {1232, 34},   {1231, 34},   {31, 34},
        {10055, 35},   {11004, 36},  {10042, 38},  {11003, 39},  {10057, 40},  {10093, 41},
        {10038, 42},   {10043, 43},  {10041, 44},  {10058, 45},  {10044, 46},  {11002, 47},
        {5010, 20},    {1060, 11},   {0x800706D9u, 48},          {0xE000020Bu, 11},
    };
    for (const auto &row : rows)
        EXPECT_EQ(qnb_error_from_system(row.number), row.code) << row.number;
}

TEST(QnbError, WindowsMapMatchesSmallRowsOnTheLow16BitsOnly)
{
    struct {
        uint32_t number;
        qnb_error code;
    } cases[] = {
        {0x80070005u, 16},  // an HRESULT carrying "access denied"
        {0x80072746u, 24},  // an HRESULT carrying 10054
        {0x00010000u + 87u, 3},
        {0xFFFFFFFFu, 2},   // -1: low 16 bits 0xFFFF match nothing
        {0x00010000u, 2},   // non-zero with low 16 bits 0 is never success
        {0x80070000u, 2},
        {1u, 2},
        {10000u, 2},
        {0x000706D9u, 2},   // a large row needs the exact number
        {0x800706DAu, 2},
        {0x0000020Bu, 2},
        {0xE100020Bu, 2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(qnb_error_from_system(c.number), c.code) << std::hex << c.number;
}

TEST(QnbError, ErrnoValuesMapToWhatCallersTestFor)
{
    struct {
        int err;
        qnb_error code;
    } rows[] = {
        {0, QNB_ERR_SUCCESS},
        {EAGAIN, QNB_ERR_TIMEDOUT},          // a non-blocking receive with nothing to read
        {EWOULDBLOCK, QNB_ERR_TIMEDOUT},
        {ETIMEDOUT, QNB_ERR_TIMEDOUT},
        {EINTR, QNB_ERR_INTERRUPTED},
        {ECONNREFUSED, QNB_ERR_CONNRESET},   // a connected UDP socket's peer is gone
        {ECONNRESET, QNB_ERR_CONNRESET},
        {EMSGSIZE, QNB_ERR_MSGSIZE},
        {EBADF, QNB_ERR_NOTSOCK},
        {ENOTSOCK, QNB_ERR_NOTSOCK},
        {EINVAL, QNB_ERR_INVALIDPARAMETER},
        {ENOMEM, QNB_ERR_NOMEMORY},
        {EACCES, QNB_ERR_ACCES},
        {EPERM, QNB_ERR_ACCES},
        {EADDRINUSE, QNB_ERR_ADDRINUSE},
        {EADDRNOTAVAIL, QNB_ERR_ADDRNOTAVAIL},
        {EAFNOSUPPORT, QNB_ERR_AFNOSUPPORT},
        {ENETUNREACH, QNB_ERR_NETUNREACH},
        {EHOSTUNREACH, QNB_ERR_HOSTUNREACH},
        {ENETDOWN, QNB_ERR_NETDOWN},
        {ENOBUFS, QNB_ERR_NOBUFS},
        {EMFILE, QNB_ERR_MFILE},
        {ENODEV, QNB_ERR_NODEV},
        {ENOTCONN, QNB_ERR_NOTCONN},
        {EISCONN, QNB_ERR_ISCONN},
        {ENOPROTOOPT, QNB_ERR_NOPROTOOPT},
        {EOPNOTSUPP, QNB_ERR_NOTSUPPORTED},
        {ENOENT, QNB_ERR_NOTFOUND},
        {EDOM, QNB_ERR_SYSTEM},              // anything else
        {-5, QNB_ERR_SYSTEM},
    };
    for (const auto &row : rows)
        EXPECT_EQ(qnb_error_from_errno(row.err), row.code) << row.err;

    errno = ECONNREFUSED;
    EXPECT_EQ(qnb_error_last(), QNB_ERR_CONNRESET);
    EXPECT_STREQ(qnb_system_message(0), "");
    EXPECT_STRNE(qnb_system_message(ECONNREFUSED), "");
}

TEST(QnbError, SystemMessagesOfTwoThreadsDoNotOverwriteEachOther)
{
    const std::string refused = qnb_system_message(ECONNREFUSED);
    const std::string timed_out = qnb_system_message(ETIMEDOUT);
    ASSERT_NE(refused, timed_out);
    const char *mine = qnb_system_message(ECONNREFUSED);
    std::thread([&] { EXPECT_EQ(qnb_system_message(ETIMEDOUT), timed_out); }).join();
    EXPECT_EQ(mine, refused) << "another thread's message replaced this thread's";

    std::thread other([&] {
        for (int i = 0; i < 1000; ++i)
            EXPECT_EQ(qnb_system_message(ETIMEDOUT), timed_out);
    });
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(qnb_system_message(ECONNREFUSED), refused);
    other.join();
}

} // namespace
