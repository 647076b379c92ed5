// The dispatcher: crafted result frames in, IVeltoCallback calls and follow-up commands out.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_trace.h"
#include "wrapper/veltoConnector.h"
#include "wrapper/wfa_adapters.h"

namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::InSequence;
using ::testing::Pair;
using ::testing::StrictMock;
using wrapper_test::commandLog;

std::vector<uint8_t> frame(uint16_t code, const std::vector<uint8_t> &payload, uint16_t request_id = 0)
{
    std::vector<uint8_t> f(WFA_FRAME_HEADER + payload.size());
    std::memcpy(f.data(), &code, 2);
    std::memcpy(f.data() + 2, &request_id, 2);
    if (!payload.empty())
        std::memcpy(f.data() + WFA_FRAME_HEADER, payload.data(), payload.size());
    return f;
}

std::vector<uint8_t> named(const std::string &name, size_t size)
{
    std::vector<uint8_t> p(size, 0);
    std::memcpy(p.data(), name.data(), name.size() < 32 ? name.size() : 32);
    return p;
}

std::vector<std::string> g_traces;
void collect_trace(const char *text, void *)
{
    g_traces.push_back(text);
}

class Dispatch : public ::testing::Test {
protected:
    Dispatch() : connector(&callback, log.function())
    {
        g_traces.clear();
        wfa_trace_set_sink(collect_trace, nullptr);
    }
    ~Dispatch() override { wfa_trace_set_sink(nullptr, nullptr); }

    void deliver(const std::vector<uint8_t> &f, uint16_t status = ERR_NOERR)
    {
        veltoConnector::dispatch(&connector, status, f.data(), f.size());
    }

    StrictMock<wrapper_test::mock_callback> callback;
    commandLog log;
    veltoConnector connector;
};

MATCHER_P2(HasProperty, key, value, "")
{
    auto it = arg.find(key);
    return it != arg.end() && it->second == value;
}

TEST_F(Dispatch, DeviceRecordBecomesAPropertyMapAndQueuesItsFollowUpsInOrder)
{
    wfa_device_info info{};
    std::memset(info.name, 'D', 32); // 32 characters, no terminator in the record
    std::memcpy(info.model_id, "KTV4SA01", 8); // fills its 8 bytes
    info.qnb_firm = {4, 1, 2, 300};
    info.qnb_soft = {0, 0, 0, 0};
    std::memcpy(info.manf_id, "TORMEL", 6);
    std::strcpy(info.model_name, "KTV4-S");
    info.manf_firm = {1, 0, 0, 0};
    info.manf_soft = {0, 0, 0, 0};
    std::vector<uint8_t> payload(WFA_DEVICE_INFO_SIZE);
    wfa_device_info_write(info, payload.data());

    const std::string name(32, 'D');
    EXPECT_CALL(callback, onDeviceFound(::testing::AllOf(
                              HasProperty("VeltoLabel", name), HasProperty("ModelID", "KTV4SA01"),
                              HasProperty("ManfID", "TORMEL"), HasProperty("ModelName", "KTV4-S"),
                              HasProperty("QnbFirmVer", "4.1.2.300"), HasProperty("QnbSoftVer", "N/A"),
                              HasProperty("manfFirmVer", "1.0.0.0"), HasProperty("manfSoftVer", "N/A"))));
    deliver(frame(WFA_CBACK_INF_DEVICE, payload));

    ASSERT_EQ(log.commands.size(), 5u);
    const uint32_t order[] = {15, 17, 36, 37, 19};
    const size_t sizes[] = {32, 32, 33, 34, 32};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log.commands[i].command, order[i]);
        EXPECT_EQ(log.commands[i].args, named(name, sizes[i]));
        EXPECT_EQ(log.commands[i].request_id, 0);
    }
    EXPECT_EQ(g_traces, (std::vector<std::string>{"WFA_CBACK_INF_DEVICE\n"}));
}

TEST_F(Dispatch, CutDeviceRecordIsDroppedWithoutFollowUps)
{
    std::vector<uint8_t> payload = named("dev-a", WFA_DEVICE_INFO_SIZE - 1);
    deliver(frame(WFA_CBACK_INF_DEVICE, payload));
    EXPECT_TRUE(log.commands.empty());
}

TEST_F(Dispatch, NameOnlyEventsAndSetResults)
{
    const std::string name(32, 'x'); // read bounded, without a terminator
    std::vector<uint8_t> record = named(name, WFA_DEVICE_INFO_SIZE);
    {
        InSequence order;
        EXPECT_CALL(callback, onDeviceLost(::testing::AllOf(HasProperty("VeltoLabel", name),
                                                            ::testing::SizeIs(1))));
        EXPECT_CALL(callback, onConnectChanged(::testing::AllOf(HasProperty("VeltoLabel", name),
                                                                HasProperty("Connect", "1"))));
        EXPECT_CALL(callback, onConnectChanged(HasProperty("Connect", "0")));
        EXPECT_CALL(callback, onSetSampleRateResult(name, Eq(ERR_UNKNOWN)));
        EXPECT_CALL(callback, onSetPreferredMasterResult(name, Eq(ERR_NOERR)));
        EXPECT_CALL(callback, onSetPatchResult("dev-a", Eq(ERR_UNKNOWN)));
        EXPECT_CALL(callback, onSetBatchPatchResult("dev-a", Eq(WFA_STATUS_BATCH_SENT)));
        EXPECT_CALL(callback, onSetLatencyResult("dev-a", Eq(ERR_NOERR)));
    }
    deliver(frame(WFA_CBACK_INF_LOST_DEVICE, record));
    deliver(frame(WFA_CBACK_INF_DEVICE_CONNECT, record));
    deliver(frame(WFA_CBACK_INF_DEVICE_DISCONNECT, record));
    deliver(frame(WFA_CBACK_INF_SET_FS, named(name, 34)), ERR_UNKNOWN);
    deliver(frame(WFA_CBACK_INF_SET_PMAS, named(name, 33)), ERR_NOERR);
    deliver(frame(WFA_CBACK_INF_SET_PACHE, named("dev-a", 68)), ERR_UNKNOWN);
    deliver(frame(WFA_CBACK_INF_SET_BATCH_LIST, named("dev-a", WFA_BATCH_SIZE)), WFA_STATUS_BATCH_SENT);
    deliver(frame(WFA_CBACK_INF_SET_LATENCY, named("dev-a", 34)), ERR_NOERR);
    EXPECT_TRUE(log.commands.empty());
}

TEST_F(Dispatch, NumericPropertiesAreDecimalTextOfTheUnsignedValue)
{
    std::vector<uint8_t> fs = named("dev-a", 64);
    wfa_put_u32(fs.data(), fs.size(), 32, 96000); // does not fit 16 bits
    std::vector<uint8_t> channels = named("dev-a", 36);
    wfa_put_u16(channels.data(), channels.size(), 32, 64);
    wfa_put_u16(channels.data(), channels.size(), 34, 65535);
    std::vector<uint8_t> lock = named("dev-a", 33);
    lock[32] = 1;
    std::vector<uint8_t> aes67 = named("dev-a", 34);
    aes67[32] = 1;
    aes67[33] = 255;
    std::vector<uint8_t> latency = named("dev-a", 34);
    wfa_put_u16(latency.data(), latency.size(), 32, 2);

    EXPECT_CALL(callback, onSampleRateChanged(HasProperty("Fs", "96000")));
    EXPECT_CALL(callback, onChannelCountChanged(::testing::AllOf(HasProperty("TxNum", "64"),
                                                                 HasProperty("RxNum", "65535"))));
    EXPECT_CALL(callback, onDeviceLockChanged(HasProperty("DeviceLock", "1")));
    EXPECT_CALL(callback, onAes67StateChanged(::testing::AllOf(HasProperty("AES67Enabled", "1"),
                                                               HasProperty("AES67Reboot", "255"))));
    EXPECT_CALL(callback, onLatencyChanged(HasProperty("Latency", "2")));
    deliver(frame(WFA_CBACK_INF_GET_FS, fs));
    deliver(frame(WFA_CBACK_INF_CH_NUM, channels));
    deliver(frame(WFA_CBACK_INF_DEVICE_LOCK, lock));
    deliver(frame(WFA_CBACK_INF_AES67_STATUS, aes67));
    deliver(frame(WFA_CBACK_INF_GET_LATENCY, latency));

    // The same events cut before their numbers carry nothing worth storing: dropped.
    deliver(frame(WFA_CBACK_INF_GET_FS, named("dev-a", 35)));
    deliver(frame(WFA_CBACK_INF_CH_NUM, named("dev-a", 35)));
    deliver(frame(WFA_CBACK_INF_DEVICE_LOCK, named("dev-a", 32)));
    deliver(frame(WFA_CBACK_INF_AES67_STATUS, named("dev-a", 33)));
    deliver(frame(WFA_CBACK_INF_GET_LATENCY, named("dev-a", 33)));
}

TEST_F(Dispatch, BatchListIsClampedToWhatThePayloadHolds)
{
    struct row {
        uint16_t count;
        size_t payload;
        size_t entries;
    } rows[] = {{3, WFA_BATCH_SIZE, 3}, {0, WFA_BATCH_SIZE, 0}, {300, WFA_BATCH_SIZE, 256}, {10, 34 + 2 * 34 + 20, 2}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.count);
        std::vector<uint8_t> payload = named("dev-a", r.payload);
        wfa_put_u16(payload.data(), payload.size(), 32, r.count);
        for (size_t i = 0; i < r.entries; ++i) {
            wfa_put_text(payload.data(), payload.size(), 34 + 34 * i, 32, i == 1 ? std::string(32, 'T') : "dev-b");
            wfa_put_u16(payload.data(), payload.size(), 34 + 34 * i + 32, static_cast<uint16_t>(i + 1));
        }
        std::list<wfa_patch_entry> got;
        EXPECT_CALL(callback, onPatchList(::testing::AllOf(HasProperty("VeltoLabel", "dev-a"),
                                                           HasProperty("RxNum", std::to_string(r.entries))),
                                          _))
            .WillOnce(::testing::SaveArg<1>(&got));
        deliver(frame(WFA_CBACK_INF_GET_BATCH_LIST, payload));
        ASSERT_EQ(got.size(), r.entries);
        size_t i = 0;
        for (const wfa_patch_entry &e : got) {
            EXPECT_EQ(e.name, i == 1 ? std::string(32, 'T') : "dev-b");
            EXPECT_EQ(e.value, i + 1);
            ++i;
        }
        ::testing::Mock::VerifyAndClearExpectations(&callback);
    }
}

// ---- interface list ---------------------------------------------------------------------------------

struct fake_adapter {
    const char *name;
    uint8_t mac[6];
    const char *ip; // null: none
};

std::vector<fake_adapter> g_adapters;
bool g_adapters_fail = false;

struct fake_list {
    std::vector<ifaddrs> entries;
    std::vector<sockaddr_ll> packets;
    std::vector<sockaddr_in> inets;
};
fake_list *g_list = nullptr;

int fake_getifaddrs(ifaddrs **out)
{
    if (g_adapters_fail)
        return -1;
    g_list = new fake_list;
    g_list->entries.reserve(2 * g_adapters.size());
    g_list->packets.reserve(g_adapters.size());
    g_list->inets.reserve(g_adapters.size());
    for (const fake_adapter &a : g_adapters) {
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_halen = 6;
        std::memcpy(ll.sll_addr, a.mac, 6);
        g_list->packets.push_back(ll);
        ifaddrs e{};
        e.ifa_name = const_cast<char *>(a.name);
        e.ifa_addr = reinterpret_cast<sockaddr *>(&g_list->packets.back());
        g_list->entries.push_back(e);
        if (a.ip) {
            sockaddr_in in{};
            in.sin_family = AF_INET;
            inet_pton(AF_INET, a.ip, &in.sin_addr);
            g_list->inets.push_back(in);
            ifaddrs e4{};
            e4.ifa_name = const_cast<char *>(a.name);
            e4.ifa_addr = reinterpret_cast<sockaddr *>(&g_list->inets.back());
            g_list->entries.push_back(e4);
        }
    }
    for (size_t i = 0; i + 1 < g_list->entries.size(); ++i)
        g_list->entries[i].ifa_next = &g_list->entries[i + 1];
    *out = g_list->entries.empty() ? nullptr : g_list->entries.data();
    return 0;
}

void fake_freeifaddrs(ifaddrs *)
{
    delete g_list;
    g_list = nullptr;
}

class DispatchInterfaces : public Dispatch {
protected:
    DispatchInterfaces() { wfa_adapters_set_source(fake_getifaddrs, fake_freeifaddrs); }
    ~DispatchInterfaces() override
    {
        wfa_adapters_set_source(nullptr, nullptr);
        delete g_list;
        g_list = nullptr;
    }

    static wfa_interface_record record(const std::wstring &name, std::initializer_list<uint8_t> mac)
    {
        wfa_interface_record r{};
        wfa_utf16_from_wstring(name, r.name, WFA_IF_NAME_UNITS);
        std::copy(mac.begin(), mac.end(), r.mac);
        return r;
    }
};

TEST_F(DispatchInterfaces, InterfaceListHasOneIpTextPerInterface)
{
    g_adapters_fail = false;
    g_adapters = {{"eth0", {0x02, 0x51, 0x5A, 0, 0, 1}, "192.168.10.5"},
                  {"eth1", {0x02, 0x51, 0x5A, 0, 0, 2}, nullptr},
                  {"br0", {0x02, 0x51, 0x5A, 0, 0, 2}, "10.0.0.2"}};
    wfa_interface_record records[3] = {record(L"Ethernet", {0x02, 0x51, 0x5A, 0, 0, 1}),
                                       record(L"Ethernet 2", {0x02, 0x51, 0x5A, 0, 0, 2}),
                                       record(L"Wi-Fi", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF})};
    uint8_t payload[WFA_IF_LIST_SIZE];
    wfa_interface_list_write({3, records}, payload);

    EXPECT_CALL(callback, onIfList(Eq(3), ElementsAre(L"Ethernet", L"Ethernet 2", L"Wi-Fi"),
                                   ElementsAre("02:51:5A:00:00:01", "02:51:5A:00:00:02", "AA:BB:CC:DD:EE:FF"),
                                   ElementsAre("192.168.10.5", "10.0.0.2", "")));
    deliver(frame(WFA_CBACK_INF_IF_LIST, std::vector<uint8_t>(payload, payload + sizeof payload)));

    // When the adapters cannot be read, each interface still has its (empty) IP text.
    g_adapters_fail = true;
    EXPECT_CALL(callback, onIfList(Eq(1), _, _, ElementsAre("")));
    wfa_interface_list_write({1, records}, payload);
    deliver(frame(WFA_CBACK_INF_IF_LIST, std::vector<uint8_t>(payload, payload + sizeof payload)));
    g_adapters_fail = false;
}

TEST_F(DispatchInterfaces, EmptyInterfaceListGivesEmptyLists)
{
    uint8_t payload[WFA_IF_LIST_SIZE];
    wfa_interface_list_write({0, nullptr}, payload);
    EXPECT_CALL(callback, onIfList(Eq(0), ::testing::IsEmpty(), ::testing::IsEmpty(), ::testing::IsEmpty()));
    deliver(frame(WFA_CBACK_INF_IF_LIST, std::vector<uint8_t>(payload, payload + sizeof payload)));
}

TEST_F(DispatchInterfaces, CurrentInterface)
{
    std::vector<uint8_t> payload(WFA_INTERFACE_RECORD_SIZE);
    wfa_interface_record_write(record(std::wstring(64, L'i'), {1, 2, 3, 4, 5, 6}), payload.data(),
                               payload.size(), 0);
    // A name filling all 64 units is read without running past its field.
    for (size_t unit = 0; unit < 64; ++unit)
        wfa_put_u16(payload.data(), payload.size(), 2 * unit, L'i');
    EXPECT_CALL(callback, onIf(std::wstring(64, L'i'), "01:02:03:04:05:06", Eq(1)));
    deliver(frame(WFA_CBACK_INF_GET_IF, payload));
    payload.pop_back();
    deliver(frame(WFA_CBACK_INF_GET_IF, payload)); // cut: dropped
}

TEST_F(DispatchInterfaces, AFailedReadOfTheInterfaceIsNoReportOfOne)
{
    const std::vector<uint8_t> zero(WFA_INTERFACE_RECORD_SIZE);
    EXPECT_CALL(callback, onIf(_, _, _)).Times(0);
    for (uint16_t status : {ERR_PROGRESS, ERR_VLPI_OTHER, ERR_UNKNOWN})
        deliver(frame(WFA_CBACK_INF_GET_IF, zero), status);
    ::testing::Mock::VerifyAndClearExpectations(&callback);
    EXPECT_CALL(callback, onIf(std::wstring(), "00:00:00:00:00:00", Eq(1)));
    deliver(frame(WFA_CBACK_INF_GET_IF, zero), ERR_NOERR);
}

// ---- follow-ups, flags and what is ignored --------------------------------------------------------------

TEST_F(Dispatch, FollowUpCommands)
{
    std::vector<uint8_t> change(WFA_RX_CHANGE_SIZE);
    for (size_t i = 0; i < change.size(); ++i)
        change[i] = static_cast<uint8_t>(i + 1);
    deliver(frame(WFA_CBACK_INF_RX_CH_PATCH_CHANGE, change));
    deliver(frame(WFA_CBACK_INF_PROPERTY_CHANGE, named("dev-a", WFA_DEVICE_INFO_SIZE)));
    deliver(frame(WFA_CBACK_INF_PROPERTY_REFRESH, named("dev-a", 34)), ERR_NOERR);
    deliver(frame(WFA_CBACK_INF_PROPERTY_REFRESH, named("dev-b", 34)), ERR_SETTING);
    deliver(frame(WFA_CBACK_INF_PROPERTY_REFRESH, named("dev-c", 34)), ERR_TIMEOUT);

    ASSERT_EQ(log.commands.size(), 4u);
    EXPECT_EQ(log.commands[0].command, 35u);
    EXPECT_EQ(log.commands[0].args, change);
    EXPECT_EQ(log.commands[1].command, 39u);
    EXPECT_EQ(log.commands[1].args, named("dev-a", 34));
    EXPECT_EQ(log.commands[2].command, 41u);
    EXPECT_EQ(log.commands[2].args, named("dev-a", 34));
    EXPECT_EQ(log.commands[3].command, 39u);
    EXPECT_EQ(log.commands[3].args, named("dev-b", 34));
}

TEST_F(Dispatch, BrowseStopClearsTheFlagAndTheNextStopSendsNothing)
{
    connector.startBrowse();
    ASSERT_EQ(connector.isBrowsing(), 1);
    EXPECT_CALL(callback, onBrowseStopped());
    deliver(frame(WFA_CBACK_INF_BROWSE_STOP, std::vector<uint8_t>(WFA_DEVICE_LIST_INFO_SIZE)));
    EXPECT_EQ(connector.isBrowsing(), 0);
    log.commands.clear();
    EXPECT_TRUE(connector.stopBrowse());
    EXPECT_TRUE(log.commands.empty());
}

TEST_F(Dispatch, IgnoredCodesAndMalformedFrames)
{
    // Handled elsewhere or not at all: neither traced nor reported.
    for (uint16_t code : {1, 5, 8, 9, 10, 14, 17, 19, 20, 23, 25, 30, 35})
        deliver(frame(code, named("dev-a", 200)));
    EXPECT_TRUE(g_traces.empty());

    deliver(frame(42, named("dev-a", 200)));
    deliver(frame(0xFFFF, {}));
    const uint8_t short_frame[3] = {3, 0, 0};
    veltoConnector::dispatch(&connector, 0, short_frame, sizeof short_frame);
    veltoConnector::dispatch(&connector, 0, nullptr, 0);
    veltoConnector::dispatch(nullptr, 0, short_frame, sizeof short_frame);
    EXPECT_TRUE(g_traces.empty());

    // Traced only.
    deliver(frame(WFA_CBACK_INF_INIT, std::vector<uint8_t>(128)));
    deliver(frame(WFA_CBACK_INF_SET_IF, std::vector<uint8_t>(134)));
    EXPECT_EQ(g_traces, (std::vector<std::string>{"WFA_CBACK_INF_INIT\n", "WFA_CBACK_INF_SET_IF\n"}));
    EXPECT_TRUE(log.commands.empty());
}

TEST_F(Dispatch, TracesNameTheHandledCodes)
{
    EXPECT_CALL(callback, onChannelCountChanged(_));
    EXPECT_CALL(callback, onPatchList(_, _));
    EXPECT_CALL(callback, onSetBatchPatchResult(_, _));
    std::vector<uint8_t> channels = named("dev-a", 36);
    deliver(frame(WFA_CBACK_INF_CH_NUM, channels));
    deliver(frame(WFA_CBACK_INF_GET_BATCH_LIST, named("dev-a", 34)));
    deliver(frame(WFA_CBACK_INF_SET_BATCH_LIST, named("dev-a", 34)));
    EXPECT_EQ(g_traces, (std::vector<std::string>{"WFA_CBACK_INF_CH_NUM\n", "WFA_CBACK_INF_GET_BATCH_LIST\n",
                                                  "WFA_CBACK_INF_SET_BATCH_LIST\n"}));
}

class throwing_callback : public ::testing::NiceMock<wrapper_test::mock_callback> {};

TEST(DispatchReceivers, AnExceptionFromAReceiverDoesNotLeaveTheDispatcher)
{
    throwing_callback callback;
    ON_CALL(callback, onDeviceLost(_)).WillByDefault([](const propertyMap &) { throw std::runtime_error("x"); });
    commandLog log;
    veltoConnector connector(&callback, log.function());
    std::vector<uint8_t> f = frame(WFA_CBACK_INF_LOST_DEVICE, named("dev-a", WFA_DEVICE_INFO_SIZE));
    EXPECT_NO_THROW(veltoConnector::dispatch(&connector, 0, f.data(), f.size()));
}

} // namespace
