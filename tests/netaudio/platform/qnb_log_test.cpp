// The levelled logger and the debug printer: silence by default, the exact line of every sink,
// network packets split to size, and the handling of failed network sends.
#include "netaudio/platform/qnb_log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "netaudio/platform/qnb_socket.h"
#include "tests/support/fake_clock.h"

namespace {

// 2024-01-05 03:04:05 UTC: a day of the month below 10 shows how the day is padded.
const uint32_t kNow = 1704423845u;
const char kStamp[] = "Jan  5 03:04:05";

// A loopback UDP receiver for the network sinks.
struct Receiver {
    qnb_socket sock = QNB_SOCKET_INVALID;
    qnb_sockaddr name{};
    Receiver()
    {
        EXPECT_EQ(qnb_socket_open_udp(&sock, AF_INET), QNB_ERR_SUCCESS);
        qnb_sockaddr any;
        qnb_sockaddr_set(&any, htonl(INADDR_LOOPBACK), 0);
        EXPECT_EQ(qnb_socket_bind(sock, &any), QNB_ERR_SUCCESS);
        EXPECT_EQ(qnb_socket_get_name(sock, &name), QNB_ERR_SUCCESS);
        EXPECT_EQ(qnb_socket_set_nonblocking(sock, 0), QNB_ERR_SUCCESS);
    }
    ~Receiver() { qnb_socket_close(&sock); }
    // Every datagram that has arrived (loopback delivers before sendto returns).
    std::vector<std::string> packets() const
    {
        std::vector<std::string> out;
        char buffer[65536];
        for (;;) {
            size_t size = sizeof buffer;
            if (qnb_socket_recv(sock, buffer, &size) != QNB_ERR_SUCCESS)
                break;
            out.emplace_back(buffer, size);
        }
        return out;
    }
};

std::string read_all(FILE *file)
{
    fflush(file);
    std::string out;
    rewind(file);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        out.append(buffer, n);
    rewind(file);
    if (ftruncate(fileno(file), 0) != 0)
        ADD_FAILURE() << "cannot empty the capture file";
    return out;
}

struct Captured {
    std::vector<std::string> traces;
    struct Call {
        std::string timestamp; // "-" for none
        unsigned level;
        std::string text;
        size_t length;
    };
    std::vector<Call> calls;
};
Captured *g_captured = nullptr;

void capture_trace(const char *text, void *context)
{
    static_cast<Captured *>(context)->traces.emplace_back(text);
}

void capture_callback(qnb_logger *, const char *timestamp, unsigned level, const char *text, size_t length)
{
    g_captured->calls.push_back({timestamp ? timestamp : "-", level, std::string(text, length), length});
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        had_tz_ = tz != nullptr;
        if (tz)
            saved_tz_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
        logger_ = qnb_log_new();
        ASSERT_NE(logger_, nullptr);
        file_ = tmpfile();
        ASSERT_NE(file_, nullptr);
        g_captured = &captured_;
    }
    void TearDown() override
    {
        g_captured = nullptr;
        qnb_log_delete(logger_);
        fclose(file_);
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    // Points every sink somewhere it can be read back.
    void attach_everything()
    {
        ASSERT_EQ(qnb_log_set_file(logger_, file_), QNB_ERR_SUCCESS);
        ASSERT_EQ(qnb_log_set_network_destination(logger_, 0, &receiver_.name, QNB_SOCKET_INVALID), QNB_ERR_SUCCESS);
        ASSERT_EQ(qnb_log_set_callback(logger_, capture_callback), QNB_ERR_SUCCESS);
        ASSERT_EQ(qnb_log_set_trace(logger_, capture_trace, &captured_), QNB_ERR_SUCCESS);
    }
    void raise(unsigned master, unsigned threshold)
    {
        qnb_log_set_master_level(logger_, master);
        for (int sink = QNB_LOG_SINK_NETWORK; sink <= QNB_LOG_SINK_CALLBACK; ++sink)
            qnb_log_set_threshold(logger_, static_cast<qnb_log_sink>(sink), threshold);
    }

    qz_test::fake_clock clock_{kNow};
    qnb_logger *logger_ = nullptr;
    FILE *file_ = nullptr;
    Receiver receiver_;
    Captured captured_;
    bool had_tz_ = false;
    std::string saved_tz_;
};

TEST_F(LoggerTest, SilentUntilBothMasterAndSinkAllowTheLevel)
{
    attach_everything();
    struct Case {
        unsigned master;
        unsigned threshold;
    } cases[] = {{0, 0}, {7, 0}, {0, 7}, {4, 7}, {7, 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE("master " + std::to_string(c.master) + " threshold " + std::to_string(c.threshold));
        raise(c.master, c.threshold);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        // Level 0 (None) is never a line; 5 to 7 pass neither {4, 7} nor {7, 4}.
        qnb_log(logger_, 0, "fn: level %d", 0);
        for (unsigned level = 5; level <= 7; ++level)
            qnb_log(logger_, level, "fn: level %u", level);
        if (c.master == 0 || c.threshold == 0) {
            for (unsigned level = 1; level <= 4; ++level)
                qnb_log(logger_, level, "fn: level %u", level);
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(read_all(file_), "");
        EXPECT_TRUE(receiver_.packets().empty());
        EXPECT_TRUE(captured_.traces.empty());
        EXPECT_TRUE(captured_.calls.empty());
    }
    qnb_log(nullptr, 1, "fn: no logger"); // harmless
}

TEST_F(LoggerTest, EachSinkWritesItsLineForm)
{
    attach_everything();
    raise(5, 5);
    struct Case {
        unsigned flags;
        const char *text;
        std::string stdio_line; // without the timestamp
        bool stamped_stdio;
        std::string packet;
    } cases[] = {
        // Default flags: stdio sinks stamped, network and callback not.
        {14, "fn: hello", "Info fn: hello\n", true, " I fn: hello"},
        {14, "fn: ends in newline\n", "Info fn: ends in newline\n", true, " I fn: ends in newline\n"},
        {0, "fn: plain", "Info fn: plain\n", false, " I fn: plain"},
        {0x1F, "fn: all", "Info fn: all\n", true, std::string(kStamp) + " I fn: all"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        qnb_log_set_timestamp_flags(logger_, c.flags);
        captured_ = Captured();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        qnb_log(logger_, QNB_LOG_INFO, "%s", c.text);
        std::string stdio = (c.stamped_stdio ? std::string(kStamp) + " " : "") + c.stdio_line;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), stdio);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), stdio);
        EXPECT_EQ(read_all(file_), stdio);
        EXPECT_EQ(receiver_.packets(), std::vector<std::string>{c.packet});
        EXPECT_EQ(captured_.traces, std::vector<std::string>{std::string("Info:") + c.text});
        ASSERT_EQ(captured_.calls.size(), 1u);
        EXPECT_EQ(captured_.calls[0].timestamp, (c.flags & 0x10) ? kStamp : "-");
        EXPECT_EQ(captured_.calls[0].level, 5u);
        EXPECT_EQ(captured_.calls[0].text, c.text);
        EXPECT_EQ(captured_.calls[0].length, strlen(c.text));
    }
}

TEST_F(LoggerTest, SinksHaveTheirOwnThresholds)
{
    attach_everything();
    qnb_log_set_master_level(logger_, 7);
    qnb_log_set_timestamp_flags(logger_, 0);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_DEBUGGER, 3);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_CALLBACK, 7);
    EXPECT_EQ(qnb_log_set_threshold(logger_, static_cast<qnb_log_sink>(6), 7), QNB_ERR_INVALIDPARAMETER);
    for (unsigned level = 1; level <= 7; ++level)
        qnb_log(logger_, level, "fn: %u", level);
    EXPECT_EQ(captured_.traces, (std::vector<std::string>{"Critical:fn: 1", "Error:fn: 2", "Warning:fn: 3"}));
    ASSERT_EQ(captured_.calls.size(), 7u);
    EXPECT_EQ(captured_.calls[6].text, "fn: 7");

    // Levels above the named ones are still logged when allowed, as "Undef".
    qnb_log_set_master_level(logger_, 9);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_DEBUGGER, 9);
    qnb_log(logger_, 9, "fn: odd");
    EXPECT_EQ(captured_.traces.back(), "Undef:fn: odd");
    EXPECT_EQ(read_all(file_), "");
}

TEST_F(LoggerTest, LongNetworkLinesSplitIntoPackets)
{
    Receiver second;
    ASSERT_EQ(qnb_log_set_network_destination(logger_, 0, &receiver_.name, QNB_SOCKET_INVALID), QNB_ERR_SUCCESS);
    ASSERT_EQ(qnb_log_set_network_destination(logger_, 1, &second.name, QNB_SOCKET_INVALID), QNB_ERR_SUCCESS);
    qnb_log_set_master_level(logger_, 5);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_NETWORK, 5);

    struct Case {
        size_t length;
        unsigned flags;
        size_t packets;
    } cases[] = {
        {3000, 0, 3},     {1455, 0, 1}, {1456, 0, 2}, // " I " leaves 1455 bytes of text in the first
        {3000, 0x01, 3},  {1440, 0x01, 1}, {1441, 0x01, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " flags " + std::to_string(c.flags));
        qnb_log_set_timestamp_flags(logger_, c.flags);
        std::string text;
        for (size_t i = 0; i < c.length; ++i)
            text += static_cast<char>('a' + i % 26);
        qnb_log(logger_, QNB_LOG_INFO, "%s", text.c_str());
        std::string prefix = std::string(c.flags ? kStamp : "") + " I ";
        for (const Receiver *r : {&receiver_, &second}) {
            std::vector<std::string> packets = r->packets();
            ASSERT_EQ(packets.size(), c.packets);
            std::string joined;
            for (const std::string &p : packets) {
                EXPECT_LE(p.size(), 1458u);
                joined += p;
            }
            EXPECT_EQ(packets[0].size(), std::min<size_t>(1458, prefix.size() + c.length));
            EXPECT_EQ(joined, prefix + text);
        }
    }
}

TEST_F(LoggerTest, FormatBufferCutsAtItsSize)
{
    qnb_log_set_master_level(logger_, 5);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_CALLBACK, 5);
    qnb_log_set_callback(logger_, capture_callback);
    std::string huge(20000, 'z');
    qnb_log(logger_, QNB_LOG_INFO, "%s", huge.c_str());
    ASSERT_EQ(captured_.calls.size(), 1u);
    EXPECT_EQ(captured_.calls[0].length, 16383u);
    EXPECT_EQ(captured_.calls[0].text, huge.substr(0, 16383));

    // A format the printf family refuses, or an empty line, writes nothing.
    int n = 0;
    qnb_log(logger_, QNB_LOG_INFO, "fn: %n", &n);
    qnb_log(logger_, QNB_LOG_INFO, "%s", "");
    EXPECT_EQ(captured_.calls.size(), 1u);
}

TEST_F(LoggerTest, DestinationThatIsNotASocketIsDisabled)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    qnb_sockaddr to = receiver_.name;
    ASSERT_EQ(qnb_log_set_network_destination(logger_, 0, &to, pipe_fds[1]), QNB_ERR_SUCCESS);
    qnb_log_set_callback(logger_, capture_callback);
    qnb_log_set_master_level(logger_, 5);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_NETWORK, 5);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_CALLBACK, 5);

    qnb_log(logger_, QNB_LOG_INFO, "fn: first");
    ASSERT_EQ(captured_.calls.size(), 2u);
    EXPECT_EQ(captured_.calls[0].level, (unsigned)QNB_LOG_ERROR);
    EXPECT_EQ(captured_.calls[0].text, "qnb_log: bad network logging socket " + std::to_string(pipe_fds[1]) +
                                           " - network logging disabled: NOTSOCK (42)");
    // The line being written is not overwritten by the report it caused.
    EXPECT_EQ(captured_.calls[1].text, "fn: first");
    // The logger closed the descriptor it had been given and no longer uses the destination.
    EXPECT_EQ(fcntl(pipe_fds[1], F_GETFD), -1);
    qnb_log(logger_, QNB_LOG_INFO, "fn: second");
    EXPECT_EQ(captured_.calls.size(), 3u);
    close(pipe_fds[0]);
}

TEST_F(LoggerTest, FailedSendIsReportedAndTheDestinationKept)
{
    // Port 0 cannot be sent to: the send fails with something other than "not a socket".
    qnb_sockaddr nowhere;
    qnb_sockaddr_set(&nowhere, htonl(INADDR_LOOPBACK), 0);
    qnb_socket bad = QNB_SOCKET_INVALID;
    ASSERT_EQ(qnb_socket_open_udp(&bad, AF_INET), QNB_ERR_SUCCESS);
    ASSERT_EQ(qnb_log_set_network_destination(logger_, 0, &nowhere, bad), QNB_ERR_SUCCESS);
    ASSERT_EQ(qnb_log_set_network_destination(logger_, 1, &receiver_.name, QNB_SOCKET_INVALID), QNB_ERR_SUCCESS);
    qnb_log_set_callback(logger_, capture_callback);
    qnb_log_set_timestamp_flags(logger_, 0);
    qnb_log_set_master_level(logger_, 5);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_NETWORK, 5);
    qnb_log_set_threshold(logger_, QNB_LOG_SINK_CALLBACK, 5);

    std::string report = "qnb_log: network logging to 127.0.0.1:0 (len=16) (fd " + std::to_string(bad) +
                         ") failed: INVALIDPARAMETER (3)";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        captured_ = Captured();
        qnb_log(logger_, QNB_LOG_INFO, "fn: line %d", round);
        // The report reaches the working destination (not the failing one), then the line itself.
        EXPECT_EQ(receiver_.packets(), (std::vector<std::string>{" N " + report, " I fn: line " + std::to_string(round)}));
        ASSERT_EQ(captured_.calls.size(), 2u);
        EXPECT_EQ(captured_.calls[0].level, (unsigned)QNB_LOG_NOTICE);
        EXPECT_EQ(captured_.calls[0].text, report);
        EXPECT_EQ(captured_.calls[1].text, "fn: line " + std::to_string(round));
    }
    // The failing socket was kept (it is still open) and goes with the logger.
    EXPECT_NE(fcntl(bad, F_GETFD), -1);
}

TEST_F(LoggerTest, DestinationSettersOwnTheirSockets)
{
    qnb_socket first = QNB_SOCKET_INVALID;
    ASSERT_EQ(qnb_socket_open_udp(&first, AF_INET), QNB_ERR_SUCCESS);
    ASSERT_EQ(qnb_log_set_network_destination(logger_, 1, &receiver_.name, first), QNB_ERR_SUCCESS);
    // Setting the same socket again keeps it; a new address without a socket replaces it.
    ASSERT_EQ(qnb_log_set_network_destination(logger_, 1, &receiver_.name, first), QNB_ERR_SUCCESS);
    EXPECT_NE(fcntl(first, F_GETFD), -1);
    ASSERT_EQ(qnb_log_set_network_destination(logger_, 1, &receiver_.name, QNB_SOCKET_INVALID), QNB_ERR_SUCCESS);
    EXPECT_EQ(fcntl(first, F_GETFD), -1);
    // Disabling closes the logger's own socket too.
    EXPECT_EQ(qnb_log_set_network_destination(logger_, 1, nullptr, QNB_SOCKET_INVALID), QNB_ERR_SUCCESS);
    EXPECT_EQ(qnb_log_set_network_destination(logger_, 2, &receiver_.name, QNB_SOCKET_INVALID), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_log_set_master_level(nullptr, 1), QNB_ERR_INVALIDPARAMETER);
}

class DebugPrintTest : public LoggerTest {
protected:
    void SetUp() override
    {
        LoggerTest::SetUp();
        qnb_debug_set_stream(file_);
    }
    void TearDown() override
    {
        qnb_debug_set_stream(nullptr);
        qnb_debug_set_network(nullptr, QNB_SOCKET_INVALID);
        LoggerTest::TearDown();
    }
};

TEST_F(DebugPrintTest, WarningsAndWorseWithTheirOwnNames)
{
    struct Case {
        int level;
        std::string out;
    } cases[] = {
        {QNB_DBG_NONE, ""},
        {QNB_DBG_DEBUG, ""},
        {QNB_DBG_INFO, ""},
        {QNB_DBG_NOTICE, ""},
        {QNB_DBG_WARNING, std::string(kStamp) + " Warning: text 4\n"},
        {QNB_DBG_ERROR, std::string(kStamp) + " Error: text 5\n"},
        {QNB_DBG_CRITICAL, std::string(kStamp) + " Critical error: text 6\n"},
        {QNB_DBG_FATAL, std::string(kStamp) + " Fatal error: text 7\n"},
        {QNB_DBG_UNDEFINED, std::string(kStamp) + " Undefined error: text 8\n"},
        {42, std::string(kStamp) + " Undefined error: text 42\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        qnb_debug_print(c.level, "text %d", c.level);
        EXPECT_EQ(read_all(file_), c.out);
    }
    qnb_debug_print(QNB_DBG_ERROR, "ends in newline\n");
    EXPECT_EQ(read_all(file_), std::string(kStamp) + " Error: ends in newline\n");
    qnb_debug_print(QNB_DBG_ERROR, "%s", "");
    EXPECT_EQ(read_all(file_), "");
}

TEST_F(DebugPrintTest, NetworkSeamSendsUntimedPieces)
{
    qnb_socket sock = QNB_SOCKET_INVALID;
    ASSERT_EQ(qnb_socket_open_udp(&sock, AF_INET), QNB_ERR_SUCCESS);
    qnb_debug_set_network(&receiver_.name, sock);

    qnb_debug_print(QNB_DBG_ERROR, "short %s", "line");
    EXPECT_EQ(receiver_.packets(), std::vector<std::string>{"E short line"});
    qnb_debug_print(QNB_DBG_NOTICE, "below the printer's minimum");
    EXPECT_TRUE(receiver_.packets().empty());

    // At most 4095 characters go out, in pieces of at most 1458 bytes.
    std::string text(5000, 'q');
    qnb_debug_print(QNB_DBG_WARNING, "%s", text.c_str());
    std::vector<std::string> packets = receiver_.packets();
    ASSERT_EQ(packets.size(), 3u);
    std::string joined;
    for (const std::string &p : packets) {
        EXPECT_LE(p.size(), 1458u);
        joined += p;
    }
    EXPECT_EQ(joined, "W " + text.substr(0, 4093));
    read_all(file_);
    qnb_socket_close(&sock);
}

} // namespace
