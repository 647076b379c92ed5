// Device records: each property topic notifies only on change; the table reports every device it
// gains or loses, and never calls IVeltoNotify while it holds its lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/devs.h"

namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::StrictMock;

propertyMap device(const std::string &name)
{
    return {{"VeltoLabel", name}, {"ModelID", "KTV4SA01"}, {"ManfID", "TORMEL"}, {"ModelName", "KTV4-S"},
            {"QnbFirmVer", "4.1.2.3"}, {"QnbSoftVer", "N/A"}, {"manfFirmVer", "1.0.0.0"}, {"manfSoftVer", "N/A"}};
}

struct topic_row {
    const char *topic;
    propertyMap first;   // differs from the new record: one notification
    propertyMap partial; // only one key of a two-key topic changed: one notification
    int partial_calls;
};

class DevTopics : public ::testing::TestWithParam<topic_row> {};

TEST_P(DevTopics, SameValueIsSilentAndAChangedValueNotifiesOnce)
{
    const topic_row &row = GetParam();
    StrictMock<wrapper_test::mock_notify> notify;
    dev record(device("dev-a"), &notify);

    int calls = 0;
    auto count = [&calls](auto &&...) { ++calls; };
    EXPECT_CALL(notify, notifyConnectState(_, _)).WillRepeatedly(count);
    EXPECT_CALL(notify, notifySampleRate(_, _)).WillRepeatedly(count);
    EXPECT_CALL(notify, notifyLatency(_, _)).WillRepeatedly(count);
    EXPECT_CALL(notify, notifyChannelCount(_, _, _)).WillRepeatedly(count);
    EXPECT_CALL(notify, notifyLockState(_, _)).WillRepeatedly(count);
    EXPECT_CALL(notify, notifyAes67State(_, _, _)).WillRepeatedly(count);

    EXPECT_TRUE(record.change(row.topic, row.first));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(record.change(row.topic, row.first));
    EXPECT_EQ(calls, 1) << "same value again";
    EXPECT_TRUE(record.change(row.topic, row.partial));
    EXPECT_EQ(calls, 1 + row.partial_calls);

    propertyMap stored;
    ASSERT_TRUE(record.get("velto_device", stored));
    for (const auto &kv : row.partial)
        EXPECT_EQ(stored[kv.first], kv.second);
}

INSTANTIATE_TEST_SUITE_P(
    Topics, DevTopics,
    ::testing::Values(topic_row{"velto_connect", {{"Connect", "0"}}, {{"Connect", "1"}}, 1},
                      topic_row{"velto_fs", {{"Fs", "48000"}}, {{"Fs", "96000"}}, 1},
                      topic_row{"velto_latency", {{"Latency", "1"}}, {{"Latency", "2"}}, 1},
                      topic_row{"velto_io_ch", {{"TxNum", "64"}, {"RxNum", "64"}}, {{"TxNum", "64"}, {"RxNum", "2"}}, 1},
                      topic_row{"device_lock", {{"DeviceLock", "0"}}, {{"DeviceLock", "1"}}, 1},
                      topic_row{"AES67_State", {{"AES67Enabled", "0"}, {"AES67Reboot", "0"}},
                                {{"AES67Enabled", "0"}, {"AES67Reboot", "1"}}, 1}));

TEST(Dev, NotificationsCarryTheStoredValues)
{
    StrictMock<wrapper_test::mock_notify> notify;
    dev record(device("dev-a"), &notify);
    EXPECT_CALL(notify, notifyChannelCount("dev-a", "64", "64"));
    EXPECT_CALL(notify, notifyChannelCount("dev-a", "64", "2"));
    EXPECT_CALL(notify, notifyAes67State("dev-a", "1", "0"));
    record.change("velto_io_ch", {{"VeltoLabel", "dev-a"}, {"TxNum", "64"}, {"RxNum", "64"}});
    record.change("velto_io_ch", {{"VeltoLabel", "dev-a"}, {"TxNum", "64"}, {"RxNum", "2"}});
    record.change("AES67_State", {{"AES67Enabled", "1"}, {"AES67Reboot", "0"}});
}

TEST(Dev, ConnectedOnCreationAndUnknownTopicsRefused)
{
    StrictMock<wrapper_test::mock_notify> notify;
    dev record(device("dev-a"), &notify);
    EXPECT_TRUE(record.change("velto_connect", {{"Connect", "1"}})); // already "1": silent
    EXPECT_FALSE(record.change("no_such_topic", {{"Connect", "0"}}));
    EXPECT_FALSE(record.add("velto_fs", {}));
    EXPECT_FALSE(record.remove("velto_fs", {}));
    propertyMap out;
    EXPECT_FALSE(record.get("velto_fs", out));
    EXPECT_TRUE(record.get("velto_device", out));
    EXPECT_EQ(out["Connect"], "1");
    EXPECT_EQ(out["QnbFirmVer"], "4.1.2.3");
}

TEST(Devs, DeviceFoundTwiceIsAddedOnceWithTheFirstRecord)
{
    StrictMock<wrapper_test::mock_notify> notify;
    devs table(&notify);
    EXPECT_CALL(notify, notifyDeviceAdded("dev-a", "KTV4SA01", "TORMEL", "KTV4-S", "4.1.2.3", "N/A", "1.0.0.0", "N/A"));
    EXPECT_TRUE(table.add("velto_device", device("dev-a")));
    propertyMap second = device("dev-a");
    second["ModelName"] = "RQA-310";
    EXPECT_TRUE(table.add("velto_device", second));

    propertyMap out{{"VeltoLabel", "dev-a"}};
    ASSERT_TRUE(table.get("velto_device", out));
    EXPECT_EQ(out["ModelName"], "KTV4-S");
    EXPECT_CALL(notify, notifyDeviceRemoved("dev-a"));
}

TEST(Devs, EventsForUnknownDevicesAreIgnored)
{
    StrictMock<wrapper_test::mock_notify> notify;
    devs table(&notify);
    EXPECT_FALSE(table.remove("velto_device", {{"VeltoLabel", "ghost"}}));
    EXPECT_FALSE(table.change("velto_fs", {{"VeltoLabel", "ghost"}, {"Fs", "48000"}}));
    propertyMap out{{"VeltoLabel", "ghost"}};
    EXPECT_FALSE(table.get("velto_device", out));
    EXPECT_FALSE(table.add("velto_fs", {{"VeltoLabel", "ghost"}}));
    std::list<propertyMap> list;
    EXPECT_FALSE(table.query("velto_fs", list));
    EXPECT_EQ(table.find("ghost"), nullptr);
}

TEST(Devs, ClearingReportsEveryDeviceInNameOrder)
{
    StrictMock<wrapper_test::mock_notify> notify;
    EXPECT_CALL(notify, notifyDeviceAdded(_, _, _, _, _, _, _, _)).Times(3);
    devs table(&notify);
    table.add("velto_device", device("c"));
    table.add("velto_device", device("a"));
    table.add("velto_device", device("b"));

    std::list<propertyMap> list;
    ASSERT_TRUE(table.query("velto_device", list));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list.front()["VeltoLabel"], "a");
    EXPECT_EQ(list.back()["VeltoLabel"], "c");

    {
        InSequence order;
        EXPECT_CALL(notify, notifyDeviceRemoved("a"));
        EXPECT_CALL(notify, notifyDeviceRemoved("b"));
        EXPECT_CALL(notify, notifyDeviceRemoved("c"));
    }
    EXPECT_TRUE(table.remove("initialise", {}));
    EXPECT_EQ(table.size(), 0u);
}

TEST(Devs, DestructorReportsEveryDeviceStillKnown)
{
    StrictMock<wrapper_test::mock_notify> notify;
    EXPECT_CALL(notify, notifyDeviceAdded(_, _, _, _, _, _, _, _)).Times(2);
    {
        InSequence order;
        EXPECT_CALL(notify, notifyDeviceRemoved("x"));
        EXPECT_CALL(notify, notifyDeviceRemoved("y"));
    }
    auto *table = new devs(&notify);
    table->add("velto_device", device("y"));
    table->add("velto_device", device("x"));
    delete table;
}

TEST(Devs, RemovedDeviceIsReportedOnceAndFoundAgainLater)
{
    StrictMock<wrapper_test::mock_notify> notify;
    devs table(&notify);
    {
        InSequence order;
        EXPECT_CALL(notify, notifyDeviceAdded("dev-a", _, _, _, _, _, _, _));
        EXPECT_CALL(notify, notifyDeviceRemoved("dev-a"));
        EXPECT_CALL(notify, notifyDeviceAdded("dev-a", _, _, _, _, _, _, _));
        EXPECT_CALL(notify, notifyDeviceRemoved("dev-a"));
    }
    table.add("velto_device", device("dev-a"));
    EXPECT_TRUE(table.remove("velto_device", {{"VeltoLabel", "dev-a"}}));
    EXPECT_FALSE(table.remove("velto_device", {{"VeltoLabel", "dev-a"}}));
    table.add("velto_device", device("dev-a"));
}

// A receiver that reads the table from another thread while it is being notified: with the lock
// held during the call the read would block.
class reading_notify : public ::testing::NiceMock<wrapper_test::mock_notify> {
public:
    devs *table = nullptr;
    std::atomic<int> blocked{0};
    // A blocked reader is kept here, so that waiting for it happens after the table is free again.
    std::vector<std::future<size_t>> stuck;

    void check()
    {
        auto reader = std::async(std::launch::async, [this] {
            std::list<propertyMap> list;
            table->query("velto_device", list);
            return list.size();
        });
        if (reader.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
            ++blocked;
            stuck.push_back(std::move(reader));
        }
    }
};

TEST(Devs, NotifiesWithoutHoldingItsLock)
{
    reading_notify notify;
    devs table(&notify);
    notify.table = &table;
    ON_CALL(notify, notifyDeviceAdded(_, _, _, _, _, _, _, _)).WillByDefault([&](auto &&...) { notify.check(); });
    ON_CALL(notify, notifySampleRate(_, _)).WillByDefault([&](auto &&...) { notify.check(); });
    ON_CALL(notify, notifyDeviceRemoved(_)).WillByDefault([&](auto &&...) { notify.check(); });
    table.add("velto_device", device("dev-a"));
    table.change("velto_fs", {{"VeltoLabel", "dev-a"}, {"Fs", "48000"}});
    table.remove("velto_device", {{"VeltoLabel", "dev-a"}});
    EXPECT_EQ(notify.blocked.load(), 0);
}

TEST(Devs, CallerReadsWhileTheWorkerChangesTheTable)
{
    ::testing::NiceMock<wrapper_test::mock_notify> notify;
    devs table(&notify);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 500; ++i) {
            const std::string name = "dev-" + std::to_string(i % 7);
            table.add("velto_device", device(name));
            table.change("velto_fs", {{"VeltoLabel", name}, {"Fs", std::to_string(44100 + i)}});
            table.change("velto_io_ch", {{"VeltoLabel", name}, {"TxNum", "2"}, {"RxNum", std::to_string(i)}});
            if (i % 3 == 0)
                table.remove("velto_device", {{"VeltoLabel", name}});
            if (i % 101 == 0)
                table.remove("initialise", {});
        }
        done = true;
    });
    size_t reads = 0;
    while (!done.load() || reads < 100) {
        std::list<propertyMap> list;
        table.query("velto_device", list);
        for (const propertyMap &p : list)
            EXPECT_EQ(p.count("VeltoLabel"), 1u);
        propertyMap one{{"VeltoLabel", "dev-3"}};
        table.get("velto_device", one);
        ++reads;
    }
    worker.join();
}

} // namespace
