// The command table, the result and status names, and every row of every handler's status map.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_proc.h"

namespace {

TEST(CommandTable, HandlersArgumentSizesAndNames)
{
    const std::set<uint32_t> without = {0, 3, 4, 6, 7, 30, 31, 34, 38};
    const uint32_t sizes[WFA_COMMAND_COUNT] = {0,  2,  0,  0,  0,  32, 0,  0,  32,   32,   33, 0,  134, 0,
                                               32, 32, 34, 32, 33, 32, 32, 66, 32,   66,   68, 68, 36,  36,
                                               36, 36, 0,  0,  8738, 8738, 0, 66, 33, 34, 0,  34, 34, 34};
    for (uint32_t c = 0; c < WFA_COMMAND_COUNT; ++c) {
        SCOPED_TRACE(c);
        const wfa_command &row = wfa_command_table[c];
        EXPECT_EQ(row.handler == nullptr, without.count(c) == 1);
        EXPECT_EQ(row.size, sizes[c]);
        if (row.handler) {
            EXPECT_EQ(std::string(row.name).rfind("proc_", 0), 0u);
        }
    }
    EXPECT_STREQ(wfa_command_table[1].name, "proc_get_device_list");
    EXPECT_STREQ(wfa_command_table[2].name, "proc_get_brows_stop");
    EXPECT_STREQ(wfa_command_table[12].name, "proc_set_velto_if");
    EXPECT_STREQ(wfa_command_table[24].name, "proc_set_patch");
    EXPECT_STREQ(wfa_command_table[33].name, "proc_set_batch_patch");
    EXPECT_STREQ(wfa_command_table[41].name, "proc_get_latency");
    // Every name fits a task name.
    for (const wfa_command &row : wfa_command_table)
        EXPECT_LE(std::string(row.name).size(), 32u);
}

TEST(CommandTable, ResultNames)
{
    struct row {
        uint32_t code;
        const char *name;
    } rows[] = {{0, "INIT"},          {1, "DEVICE_LIST"},       {3, "DEVICE"},          {12, "SET_IF"},
                {24, "SET_PACHE"},    {31, "CH_NUM"},           {32, "GET_BATCH_LIST"}, {33, "SET_BATCH_LIST"},
                {34, "RX_CH_PATCH_CHANGE"}, {39, "PROPERTY_REFRESH"}, {41, "GET_LATENCY"}};
    for (const row &r : rows)
        EXPECT_STREQ(wfa_result_name(r.code), r.name) << r.code;
    EXPECT_EQ(wfa_result_name(42), nullptr);
}

TEST(CommandTable, StatusNamesAndSuccess)
{
    EXPECT_STREQ(wfa_status_name(0x8006), "ERR_PROGRESS");
    EXPECT_STREQ(wfa_status_name(0x8FFD), "ERR_NOT_IMPREMENTED");
    EXPECT_STREQ(wfa_status_name(0xC307), "ERR_VLPI_UPGRADE_FILENAME_TOO_LONG");
    EXPECT_STREQ(wfa_status_name(0xCFFF), "ERR_VLPI_UNKNOWN");
    EXPECT_EQ(wfa_status_name(0x1234), nullptr);
    EXPECT_TRUE(wfa_status_ok(ERR_NOERR));
    EXPECT_TRUE(wfa_status_ok(ERR_DURATION_EXPIRE));
    EXPECT_TRUE(wfa_status_ok(WFA_STATUS_BATCH_SENT));
    EXPECT_FALSE(wfa_status_ok(ERR_BATCH_PARAM));
    EXPECT_FALSE(wfa_status_ok(ERR_VLPI_OTHER));
}

TEST(CommandTable, LibraryErrorMap)
{
    struct row {
        int library;
        uint16_t status;
    } rows[] = {{0, ERR_NOERR},       {10, ERR_VLPI_TIMEOUT}, {13, ERR_VLPI_RANGE},
                {35, ERR_VLPI_BUFOVR}, {3, ERR_VLPI_OTHER},   {48, ERR_VLPI_OTHER}};
    for (const row &r : rows)
        EXPECT_EQ(wfa_map_library_error(wfa_internal_from_library(r.library)), r.status) << r.library;
    EXPECT_EQ(wfa_internal_from_library(10), 0x80000021u);
}

constexpr uint32_t n(uint32_t reason)
{
    return 0x80000000u | reason;
}

struct map_row {
    uint32_t command;
    int step;
    uint32_t code;
    uint16_t status;
};

// Every handler that answers with a mapped status, one row per line of its map plus the fall-through
// on each side of 23.
const map_row k_rows[] = {
    // command 1, queries/table/server interfaces
    {1, 0, 0, ERR_NOERR}, {1, 0, n(4), ERR_PROGRESS}, {1, 0, n(5), ERR_UNKNOWN}, {1, 0, n(23), ERR_UNKNOWN},
    {1, 0, n(33), ERR_UNKNOWN},
    // command 1, browse start
    {1, 1, n(4), ERR_PROGRESS}, {1, 1, n(5), ERR_UNKNOWN}, {1, 1, n(22), ERR_UNKNOWN},
    {1, 1, n(33), ERR_VLPI_TIMEOUT}, {1, 1, n(36), ERR_VLPI_RANGE}, {1, 1, n(58), ERR_VLPI_BUFOVR},
    {1, 1, n(35), ERR_VLPI_OTHER},
    // command 5
    {5, 0, n(13), ERR_NOT_FOUND}, {5, 0, n(8), ERR_PROGRESS}, {5, 0, n(4), ERR_UNKNOWN}, {5, 0, n(33), ERR_UNKNOWN},
    // command 8
    {8, 0, n(13), ERR_NOT_FOUND}, {8, 0, n(8), ERR_PROGRESS}, {8, 0, n(4), ERR_UNKNOWN},
    {8, 0, n(33), ERR_VLPI_TIMEOUT}, {8, 0, n(23), ERR_NOERR},
    // command 9
    {9, 0, n(13), ERR_NOT_FOUND}, {9, 0, n(4), ERR_UNKNOWN}, {9, 0, n(33), ERR_UNKNOWN},
    // commands 10, 16, 18
    {10, 0, n(13), ERR_NOT_FOUND}, {10, 0, n(8), ERR_PROGRESS}, {10, 0, n(6), ERR_PARAM}, {10, 0, n(4), ERR_UNKNOWN},
    {10, 0, n(22), ERR_UNKNOWN}, {10, 0, n(36), ERR_VLPI_RANGE},
    {16, 0, n(13), ERR_NOT_FOUND}, {16, 0, n(8), ERR_PROGRESS}, {16, 0, n(6), ERR_PARAM}, {16, 0, n(4), ERR_UNKNOWN},
    {16, 0, n(23), ERR_NOERR}, {16, 0, n(58), ERR_VLPI_BUFOVR},
    {18, 0, n(13), ERR_NOT_FOUND}, {18, 0, n(8), ERR_PROGRESS}, {18, 0, n(6), ERR_PARAM}, {18, 0, n(4), ERR_UNKNOWN},
    {18, 0, n(33), ERR_VLPI_TIMEOUT},
    // commands 11 and 13
    {11, 0, n(4), ERR_PROGRESS}, {11, 0, n(23), ERR_VLPI_OTHER}, {11, 0, n(13), ERR_UNKNOWN},
    {11, 0, n(33), ERR_UNKNOWN},
    {13, 0, n(4), ERR_PROGRESS}, {13, 0, n(23), ERR_VLPI_OTHER}, {13, 0, n(8), ERR_UNKNOWN},
    {13, 0, n(36), ERR_UNKNOWN},
    // command 12: locked (8) and changing (9) as the configuration-service driver reports them
    {12, 0, n(8), ERR_INTERFACE_LOCKED}, {12, 0, n(9), ERR_INTERFACE_CHANGING}, {12, 0, n(6), ERR_INTERFACE_SAME},
    {12, 0, n(13), ERR_NOT_FOUND}, {12, 0, n(4), ERR_PROGRESS}, {12, 0, n(23), ERR_VLPI_OTHER},
    {12, 0, n(5), ERR_UNKNOWN}, {12, 0, n(33), ERR_VLPI_TIMEOUT}, {12, 0, n(58), ERR_VLPI_BUFOVR},
    {12, 0, n(40), ERR_VLPI_OTHER},
};

TEST(CommandStatusMap, EveryRowOfEveryHandler)
{
    for (const map_row &r : k_rows) {
        EXPECT_EQ(wfa_proc_status(r.command, r.code, r.step), r.status)
            << "command " << r.command << " step " << r.step << " code 0x" << std::hex << r.code;
    }
    for (uint32_t command : {5u, 8u, 9u, 10u, 11u, 12u, 13u, 16u, 18u})
        EXPECT_EQ(wfa_proc_status(command, 0), ERR_NOERR);
}

TEST(CommandStatusMap, LatencyAnswersOnlyOnSuccess)
{
    EXPECT_TRUE(wfa_proc_latency_answers(0));
    EXPECT_TRUE(wfa_proc_latency_answers(n(23))); // library success
    EXPECT_FALSE(wfa_proc_latency_answers(n(33)));
    EXPECT_FALSE(wfa_proc_latency_answers(n(4)));
    EXPECT_FALSE(wfa_proc_latency_answers(n(21)));
}

} // namespace
