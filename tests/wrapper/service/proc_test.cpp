// The handlers, run by the worker of a started layer. The browse, control-and-monitoring and routing
// drivers are not built yet, and the configuration service does not answer (cmm_driver_test.cpp has
// it answering): every driver call answers "not ready", so these tests pin down what each command
// answers then. None of them claims a command works.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "testnet/tn_config_service.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"

namespace {

using wrapper_test::recorder;
using wrapper_test::result;

std::vector<uint8_t> named(const char *name, size_t size)
{
    std::vector<uint8_t> block(size, 0);
    wfa_put_text(block.data(), block.size(), 0, WFA_NAME_FIELD, name);
    return block;
}

class CommandsWithoutDrivers : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A configuration service that never answers, on a port of its own.
        silent = tn_config_service_new(0, nullptr);
        ASSERT_NE(silent, nullptr);
        tn_config_service_set_silent(silent, true);
        wfa_cmm_set_port(tn_config_service_get_port(silent));
        // No control-and-monitoring server listens: its start-up is refused, and waits for
        // nothing (its pauses return at once).
        tn_config_service *closed = tn_config_service_new(0, nullptr);
        ASSERT_NE(closed, nullptr);
        wfa_conmon_set_port(tn_config_service_get_port(closed));
        tn_config_service_delete(closed);
        wfa_set_pause_hook([](unsigned, void *) {}, nullptr);
        uint16_t id = 0;
        ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
    }

    void TearDown() override
    {
        wfa_stop();
        tn_config_service_delete(silent);
    }

    uint16_t send(uint32_t command, const std::vector<uint8_t> &args, uint16_t request_id)
    {
        return wfa_request(command, args.empty() ? nullptr : args.data(), &request_id);
    }

    wrapper_test::layer_guard guard;
    recorder results;
    tn_config_service *silent = nullptr;
};

struct answered {
    uint32_t command;
    std::vector<uint8_t> args;
    uint16_t status;
    size_t payload_size;
    std::vector<uint8_t> payload; // empty: all zero except the name field checked below
};

TEST_F(CommandsWithoutDrivers, CommandsThatAnswerAtOnceAnswerNotReadyThroughTheirMaps)
{
    // No local server: the device table is empty, so the per-device commands find no "dev-a".
    std::vector<uint8_t> rate = named("dev-a", 34);
    wfa_put_u16(rate.data(), rate.size(), 32, 48000);
    std::vector<uint8_t> reboot = named("dev-a", 33);
    reboot[32] = 1;
    std::vector<uint8_t> master = named("dev-a", 33);
    master[32] = 1;
    std::vector<uint8_t> set_if(WFA_INTERFACE_RECORD_SIZE, 0);
    set_if[0] = 'e';
    set_if[2] = 'n';

    const answered rows[] = {
        {1, {0xFF, 0xFF}, ERR_PROGRESS, WFA_DEVICE_LIST_INFO_SIZE, {}}, // no server interfaces yet
        {2, {}, ERR_NOERR, WFA_DEVICE_LIST_INFO_SIZE, {}},              // stop answers even when idle
        {5, named("dev-a", 32), ERR_NOT_FOUND, WFA_DEVICE_STAT_SIZE, named("dev-a", WFA_DEVICE_STAT_SIZE)},
        {8, named("dev-a", 32), ERR_NOT_FOUND, WFA_UPGRADE_RECORD_SIZE, {}},
        {9, named("dev-a", 32), ERR_NOT_FOUND, WFA_UPDATE_STATUS_SIZE, named("dev-a", WFA_UPDATE_STATUS_SIZE)},
        {10, reboot, ERR_NOT_FOUND, 33, reboot},
        {11, {}, ERR_PROGRESS, WFA_IF_LIST_SIZE, {}},
        {12, set_if, ERR_PROGRESS, WFA_INTERFACE_RECORD_SIZE, {}},
        {13, {}, ERR_PROGRESS, WFA_INTERFACE_RECORD_SIZE, {}},
        {16, rate, ERR_NOT_FOUND, 34, rate},
        {18, master, ERR_NOT_FOUND, 33, master},
    };
    for (const answered &row : rows) {
        SCOPED_TRACE(row.command);
        const size_t before = results.size();
        ASSERT_EQ(send(row.command, row.args, 0x4321), ERR_NOERR);
        result r;
        ASSERT_TRUE(results.waitForCode(static_cast<uint16_t>(row.command), &r, before));
        EXPECT_EQ(r.request_id, 0x4321);
        EXPECT_EQ(r.status, row.status);
        ASSERT_EQ(r.payload.size(), row.payload_size);
        std::vector<uint8_t> expected = row.payload.empty() ? std::vector<uint8_t>(row.payload_size, 0) : row.payload;
        EXPECT_EQ(r.payload, expected);
    }
}

TEST_F(CommandsWithoutDrivers, CommandsAnsweredByTheirDriversGetNoAnswerYet)
{
    const struct {
        uint32_t command;
        std::vector<uint8_t> args;
    } rows[] = {
        // The routing commands for a device not routed here answer at once (routing driver tests);
        // opening a routing device and refreshing its receive channels answer nothing.
        {14, named("dev-a", 32)}, {15, named("dev-a", 32)}, {17, named("dev-a", 32)}, {19, named("dev-a", 32)},
        {35, named("dev-a", 66)}, {36, named("dev-a", 33)}, {37, named("dev-a", 34)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command);
        const size_t before = results.size();
        ASSERT_EQ(send(row.command, row.args, 0x1111), ERR_NOERR);
        // Commands run in posting order within a pass: anything the command answered arrives
        // before the answer to the stop that follows it.
        ASSERT_EQ(send(2, {}, 0xBEEF), ERR_NOERR);
        result sentinel;
        ASSERT_TRUE(results.waitForCode(WFA_CBACK_INF_BROWSE_STOP, &sentinel, before));
        EXPECT_EQ(sentinel.request_id, 0xBEEF);
        EXPECT_EQ(results.size(), before + 1);
    }
    // Without the configuration-service and control-and-monitoring drivers the layer never
    // becomes ready, so it never reports its initialisation.
    for (const result &r : results.results())
        EXPECT_NE(r.code, WFA_CBACK_INF_INIT);
}

} // namespace
