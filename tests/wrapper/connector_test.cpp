// What the connector sends: each wrapper call as a numbered command with its argument block, byte
// for byte, and what it refuses to send.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_trace.h"
#include "wrapper/veltoConnector.h"

namespace {

using wrapper_test::commandLog;

std::vector<std::string> g_traces;
void collect_trace(const char *text, void *)
{
    g_traces.push_back(text);
}

class Connector : public ::testing::Test {
protected:
    Connector() : connector(&callback, log.function())
    {
        g_traces.clear();
        wfa_trace_set_sink(collect_trace, nullptr);
    }
    ~Connector() override { wfa_trace_set_sink(nullptr, nullptr); }

    static std::vector<uint8_t> block(const std::string &name, size_t size)
    {
        std::vector<uint8_t> b(size, 0);
        std::memcpy(b.data(), name.data(), name.size() < 32 ? name.size() : 32);
        return b;
    }
    static void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }

    ::testing::NiceMock<wrapper_test::mock_callback> callback;
    commandLog log;
    veltoConnector connector;
};

TEST_F(Connector, StartBrowseSendsNoTimeLimitAndSetsTheFlagOnlyWhenQueued)
{
    log.answer = ERR_NO_INIT;
    EXPECT_FALSE(connector.startBrowse());
    EXPECT_EQ(connector.isBrowsing(), 0);

    log.answer = ERR_NOERR;
    EXPECT_TRUE(connector.startBrowse());
    EXPECT_EQ(connector.isBrowsing(), 1);
    ASSERT_EQ(log.commands.size(), 2u);
    EXPECT_EQ(log.commands[1].command, 1u);
    EXPECT_EQ(log.commands[1].args, (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(log.commands[1].request_id, 0);
    EXPECT_EQ(g_traces, (std::vector<std::string>{"Start Browse!!\n", "Start Browse!!\n"}));
}

TEST_F(Connector, StopBrowseSendsOnlyWhileBrowsing)
{
    EXPECT_TRUE(connector.stopBrowse());
    EXPECT_TRUE(log.commands.empty());
    connector.startBrowse();
    EXPECT_TRUE(connector.stopBrowse());
    ASSERT_EQ(log.commands.size(), 2u);
    EXPECT_EQ(log.commands[1].command, 2u);
    EXPECT_TRUE(log.commands[1].args.empty());
    log.answer = ERR_NO_INIT;
    EXPECT_FALSE(connector.stopBrowse());
}

TEST_F(Connector, ClearListOfSixtyFourEntriesByteForByte)
{
    std::list<wfa_patch_entry> clear(64, wfa_patch_entry{"", 0xFFFF});
    EXPECT_TRUE(connector.setBatchPatch("T001-KTV4-S", 64, clear));
    ASSERT_EQ(log.commands.size(), 1u);
    EXPECT_EQ(log.commands[0].command, 33u);

    std::vector<uint8_t> expected(8738, 0);
    std::memcpy(expected.data(), "T001-KTV4-S", 11);
    expected[32] = 64;
    for (size_t i = 0; i < 64; ++i) {
        expected[34 + 34 * i + 32] = 0xFF;
        expected[34 + 34 * i + 33] = 0xFF;
    }
    EXPECT_EQ(log.commands[0].args, expected);
}

TEST_F(Connector, BatchEntriesAreTakenInListOrderUpToTheCount)
{
    std::list<wfa_patch_entry> entries = {{"dev-b", 1}, {"dev-c", 2}, {"dev-d", 3}};
    EXPECT_TRUE(connector.setBatchPatch("dev-a", 2, entries));
    std::vector<uint8_t> expected = block("dev-a", 8738);
    put16(expected, 32, 2);
    std::memcpy(&expected[34], "dev-b", 5);
    put16(expected, 66, 1);
    std::memcpy(&expected[68], "dev-c", 5);
    put16(expected, 100, 2);
    EXPECT_EQ(log.commands.at(0).args, expected);

    // A list shorter than the count leaves the remaining entries zero.
    log.commands.clear();
    EXPECT_TRUE(connector.setBatchPatch("dev-a", 4, {{"dev-b", 7}}));
    EXPECT_EQ(log.commands.at(0).args[32], 4);
    EXPECT_EQ(log.commands.at(0).args[66], 7);
    EXPECT_EQ(log.commands.at(0).args[68], 0);
}

TEST_F(Connector, WhatIsNotSent)
{
    std::list<wfa_patch_entry> none;
    EXPECT_TRUE(connector.setBatchPatch("dev-a", 0, none));
    EXPECT_TRUE(connector.requestBatchPatch("dev-a", 0));
    EXPECT_TRUE(connector.requestBatchPatch("dev-a", -3));
    EXPECT_TRUE(log.commands.empty());

    // Blocks that cannot carry the request are refused instead of cut.
    std::list<wfa_patch_entry> many(257, wfa_patch_entry{"dev-b", 1});
    EXPECT_FALSE(connector.setBatchPatch("dev-a", 257, many));
    EXPECT_FALSE(connector.requestBatchPatch("dev-a", 257));
    const std::string too_long(33, 'n');
    EXPECT_FALSE(connector.setPatch(too_long, 1, {"dev-b", 1}));
    EXPECT_FALSE(connector.setPatch("dev-a", 1, {too_long, 1}));
    EXPECT_FALSE(connector.setBatchPatch("dev-a", 1, {{too_long, 1}}));
    EXPECT_FALSE(connector.setPreferredMaster(too_long, true));
    EXPECT_FALSE(connector.setSampleRate(too_long, 48000));
    EXPECT_FALSE(connector.setLatency(too_long, 1000));
    EXPECT_FALSE(connector.requestBatchPatch(too_long, 8));
    EXPECT_TRUE(log.commands.empty());
}

TEST_F(Connector, PerDeviceCommandLayouts)
{
    const std::string name32(32, 'N'); // fills its field without a terminator
    EXPECT_TRUE(connector.setPatch(name32, 17, {"dev-b", 0x0102}));
    EXPECT_TRUE(connector.requestBatchPatch("dev-a", 256));
    EXPECT_TRUE(connector.setPreferredMaster("dev-a", true));
    EXPECT_TRUE(connector.setPreferredMaster("dev-a", false));
    EXPECT_TRUE(connector.setSampleRate("dev-a", 48000));
    EXPECT_TRUE(connector.setLatency("dev-a", 1500));

    std::vector<uint8_t> patch = block(name32, 68);
    put16(patch, 32, 17);
    std::memcpy(&patch[34], "dev-b", 5);
    put16(patch, 66, 0x0102);
    std::vector<uint8_t> list = block("dev-a", 8738);
    put16(list, 32, 256);
    std::vector<uint8_t> on = block("dev-a", 33);
    on[32] = 1;
    std::vector<uint8_t> off = block("dev-a", 33);
    std::vector<uint8_t> fs = block("dev-a", 34);
    put16(fs, 32, 48000);
    std::vector<uint8_t> latency = block("dev-a", 34);
    put16(latency, 32, 1500);

    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> expected = {
        {24, patch}, {32, list}, {18, on}, {18, off}, {16, fs}, {40, latency}};
    ASSERT_EQ(log.commands.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log.commands[i].command, expected[i].first);
        EXPECT_EQ(log.commands[i].args, expected[i].second);
        EXPECT_EQ(log.commands[i].request_id, 0);
    }
}

TEST_F(Connector, ResultFollowsTheErrorBitOfTheStatus)
{
    log.answer = ERR_DURATION_EXPIRE;
    EXPECT_TRUE(connector.setLatency("dev-a", 1));
    log.answer = ERR_PARAM;
    EXPECT_FALSE(connector.setLatency("dev-a", 1));
    EXPECT_FALSE(connector.requestIfList());
    EXPECT_FALSE(connector.requestIf());
}

TEST_F(Connector, SetInterfaceCutsTheNameAndAlwaysAnswersTrue)
{
    log.answer = ERR_NO_INIT;
    EXPECT_TRUE(connector.setIf(std::wstring(100, L'w'), "00:11:22:33:44:55"));
    ASSERT_EQ(log.commands.size(), 1u);
    EXPECT_EQ(log.commands[0].command, 12u);
    const std::vector<uint8_t> &b = log.commands[0].args;
    ASSERT_EQ(b.size(), 134u);
    for (size_t unit = 0; unit < 63; ++unit) {
        uint16_t u;
        std::memcpy(&u, &b[2 * unit], 2);
        ASSERT_EQ(u, L'w') << unit;
    }
    EXPECT_EQ(b[126], 0);
    EXPECT_EQ(b[127], 0);
    for (size_t i = 128; i < 134; ++i)
        EXPECT_EQ(b[i], 0) << "the MAC field stays zero";

    log.commands.clear();
    EXPECT_TRUE(connector.setIf(std::wstring(L"LAN ") + wchar_t(0x1F50C), ""));
    uint16_t units[6];
    std::memcpy(units, log.commands.at(0).args.data(), sizeof units);
    EXPECT_EQ(units[4], 0xD83D);
    EXPECT_EQ(units[5], 0xDD0C);
    EXPECT_EQ(g_traces.back(), "Set IF!!\n");
}

TEST_F(Connector, InterfaceRequestsCarryNoArguments)
{
    EXPECT_TRUE(connector.requestIfList());
    EXPECT_TRUE(connector.requestIf());
    ASSERT_EQ(log.commands.size(), 2u);
    EXPECT_EQ(log.commands[0].command, 11u);
    EXPECT_EQ(log.commands[1].command, 13u);
    EXPECT_TRUE(log.commands[0].args.empty());
    EXPECT_EQ(g_traces, (std::vector<std::string>{"Get IF List!!\n", "Get IF!!\n"}));
}

TEST(ConnectorWithoutCallback, InitRefusesAndStartsNothing)
{
    wrapper_test::layer_guard guard;
    veltoConnector connector(nullptr);
    EXPECT_FALSE(connector.init());
    EXPECT_FALSE(wfa_is_started());
    EXPECT_FALSE(connector.isReady());
}

} // namespace
