// The wrapper the program holds: what it refuses before init, what it sends, what it forwards, and
// its life with the real service layer underneath.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/veltoMain.h"

namespace {

using ::testing::_;
using ::testing::Eq;
using ::testing::NiceMock;
using ::testing::StrictMock;
using wrapper_test::commandLog;

// A connector whose commands are recorded instead of reaching a service layer.
class recordingConnector : public veltoConnector {
public:
    recordingConnector(IVeltoCallback *callback, commandLog &log) : veltoConnector(callback, log.function()) {}
    bool init() override { return true; }
    bool stop() override { return true; }
};

class recordingMain : public veltoMain {
public:
    recordingMain(IVeltoNotify *notify, commandLog &log) : veltoMain(notify), m_log(log) {}

protected:
    veltoConnector *makeConnector() override { return new recordingConnector(this, m_log); }

private:
    commandLog &m_log;
};

propertyMap device(const std::string &name)
{
    return {{"VeltoLabel", name}, {"ModelID", "RQA310A1"}, {"ManfID", "TORMEL"}, {"ModelName", "RQA-310"},
            {"QnbFirmVer", "1.0.0.1"}, {"QnbSoftVer", "N/A"}, {"manfFirmVer", "N/A"}, {"manfSoftVer", "N/A"}};
}

TEST(VeltoMain, EveryOperationButTheDeviceListFailsBeforeInit)
{
    StrictMock<wrapper_test::mock_notify> notify;
    veltoMain wrapper(&notify);
    const std::string d = "dev-a";
    const unsigned short one = 1;
    EXPECT_FALSE(wrapper.stop());
    EXPECT_EQ(wrapper.isBrowsing(), 0);
    EXPECT_FALSE(wrapper.startBrowse());
    EXPECT_FALSE(wrapper.stopBrowse());
    EXPECT_FALSE(wrapper.requestPatchList(d));
    EXPECT_FALSE(wrapper.setPatch(d, one, wfa_patch_entry{"dev-b", 1}));
    EXPECT_FALSE(wrapper.setBatchPatch(d, one, {}));
    EXPECT_FALSE(wrapper.setPreferredMaster(d, true));
    EXPECT_FALSE(wrapper.setSampleRate(d, one));
    EXPECT_FALSE(wrapper.setLatency(d, one));
    EXPECT_FALSE(wrapper.requestIfList());
    EXPECT_FALSE(wrapper.requestIf());
    EXPECT_FALSE(wrapper.setIf(L"eth0", ""));
    std::list<std::map<std::string, std::string>> list;
    EXPECT_TRUE(wrapper.getDeviceList(&list));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(wrapper.getDeviceList(nullptr));
}

TEST(VeltoMain, InitWithoutNotifyStartsNothing)
{
    wrapper_test::layer_guard guard;
    veltoMain wrapper(nullptr);
    EXPECT_FALSE(wrapper.init());
    EXPECT_FALSE(wfa_is_started());
    EXPECT_FALSE(wrapper.startBrowse());
}

class RecordedMain : public ::testing::Test {
protected:
    RecordedMain() : wrapper(&notify, log) { EXPECT_TRUE(wrapper.init()); }

    void addDevice(const std::string &name, const char *rxNum)
    {
        wrapper.onDeviceFound(device(name));
        if (rxNum)
            wrapper.onChannelCountChanged({{"VeltoLabel", name}, {"TxNum", "2"}, {"RxNum", rxNum}});
    }

    NiceMock<wrapper_test::mock_notify> notify;
    commandLog log;
    recordingMain wrapper;
};

TEST_F(RecordedMain, PatchListCountComesFromTheStoredReceiveCount)
{
    struct row {
        const char *device;
        const char *rxNum; // null: no channel count reported yet
        bool result;
        int sent_count; // -1: nothing sent
    } rows[] = {{"unknown", nullptr, false, -1}, {"no-count", nullptr, false, -1}, {"text", "abc", false, -1},
                {"trailing", "8x", false, -1},   {"zero", "0", true, -1},          {"negative", "-1", true, -1},
                {"eight", "8", true, 8},          {"huge", "99999999999999999999", false, -1},
                {"too-many", "300", false, -1},   {"max", "256", true, 256}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.device);
        if (std::string(r.device) != "unknown")
            addDevice(r.device, r.rxNum);
        log.commands.clear();
        EXPECT_EQ(wrapper.requestPatchList(r.device), r.result);
        if (r.sent_count < 0) {
            EXPECT_TRUE(log.commands.empty());
        } else {
            ASSERT_EQ(log.commands.size(), 1u);
            EXPECT_EQ(log.commands[0].command, 32u);
            uint16_t count;
            std::memcpy(&count, &log.commands[0].args[32], 2);
            EXPECT_EQ(count, r.sent_count);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(log.commands[0].args.data())), r.device);
        }
    }
}

TEST_F(RecordedMain, CountZeroBatchAndRefusedInterfaceChange)
{
    const unsigned short zero = 0;
    EXPECT_TRUE(wrapper.setBatchPatch("dev-a", zero, {}));
    EXPECT_TRUE(log.commands.empty());
    log.answer = ERR_NO_INIT;
    EXPECT_TRUE(wrapper.setIf(L"eth0", "00:00:00:00:00:00")); // true although not queued
    EXPECT_EQ(log.commands.size(), 1u);
    EXPECT_FALSE(wrapper.requestIf());
}

TEST_F(RecordedMain, DeviceListIsACopyInNameOrder)
{
    addDevice("b", "2");
    addDevice("a", nullptr);
    std::list<std::map<std::string, std::string>> list;
    ASSERT_TRUE(wrapper.getDeviceList(&list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().at("VeltoLabel"), "a");
    EXPECT_EQ(list.back().at("RxNum"), "2");
    EXPECT_EQ(list.back().at("Connect"), "1");
}

TEST_F(RecordedMain, EventsAreForwardedToTheTableOrStraightToNotify)
{
    addDevice("dev-a", "2");
    const unsigned short status = 0x8FFF;
    EXPECT_CALL(notify, notifyPatchResult("dev-a", Eq(status)));
    EXPECT_CALL(notify, notifyBatchPatchResult("dev-a", Eq(status)));
    EXPECT_CALL(notify, notifyPreferredMasterResult("dev-a", Eq(status)));
    EXPECT_CALL(notify, notifyLatencyResult("dev-a", Eq(status)));
    EXPECT_CALL(notify, notifySampleRateResult("dev-a", Eq(status)));
    EXPECT_CALL(notify, notifyCurrentIf(std::wstring(L"eth0"), "00:11:22:33:44:55"));
    EXPECT_CALL(notify, notifyIfList(Eq(1), _, _, _));
    EXPECT_CALL(notify, notifyPatchList("dev-a", "2", ::testing::SizeIs(2)));
    EXPECT_CALL(notify, notifyInitDone());
    EXPECT_CALL(notify, notifySampleRate("dev-a", "48000"));
    EXPECT_CALL(notify, notifyLatency("dev-a", "1"));
    EXPECT_CALL(notify, notifyLockState("dev-a", "1"));
    EXPECT_CALL(notify, notifyAes67State("dev-a", "1", "0"));
    EXPECT_CALL(notify, notifyConnectState("dev-a", "0"));
    EXPECT_CALL(notify, notifyDeviceRemoved("dev-a"));

    wrapper.onSetPatchResult("dev-a", status);
    wrapper.onSetBatchPatchResult("dev-a", status);
    wrapper.onSetPreferredMasterResult("dev-a", status);
    wrapper.onSetLatencyResult("dev-a", status);
    wrapper.onSetSampleRateResult("dev-a", status);
    const unsigned char flag = 1, count = 1;
    wrapper.onIf(L"eth0", "00:11:22:33:44:55", flag);
    wrapper.onIfList(count, {L"eth0"}, {"00:11:22:33:44:55"}, {"10.0.0.1"});
    wrapper.onPatchList({{"VeltoLabel", "dev-a"}, {"RxNum", "2"}}, {{"dev-b", 1}, {"", 0xFFFF}});
    wrapper.onInitFinished();
    wrapper.onUnusedEvent("a", "b", "c");
    wrapper.onSampleRateChanged({{"VeltoLabel", "dev-a"}, {"Fs", "48000"}});
    wrapper.onLatencyChanged({{"VeltoLabel", "dev-a"}, {"Latency", "1"}});
    wrapper.onDeviceLockChanged({{"VeltoLabel", "dev-a"}, {"DeviceLock", "1"}});
    wrapper.onAes67StateChanged({{"VeltoLabel", "dev-a"}, {"AES67Enabled", "1"}, {"AES67Reboot", "0"}});
    wrapper.onConnectChanged({{"VeltoLabel", "dev-a"}, {"Connect", "0"}});
    wrapper.onBrowseStopped();
    std::list<std::map<std::string, std::string>> list;
    wrapper.getDeviceList(&list);
    EXPECT_TRUE(list.empty());
}

TEST_F(RecordedMain, DevicesFoundAgainAfterARestartOfBrowsingAreReportedAgain)
{
    ASSERT_TRUE(wrapper.startBrowse());
    EXPECT_CALL(notify, notifyDeviceAdded("dev-a", _, _, _, _, _, _, _)).Times(2);
    EXPECT_CALL(notify, notifyDeviceRemoved("dev-a")).Times(1);
    addDevice("dev-a", "2");
    // Browsing starts again without a stop: the service layer forgets its devices and finds
    // them again.
    ASSERT_TRUE(wrapper.startBrowse());
    addDevice("dev-a", "2");
    std::list<std::map<std::string, std::string>> list;
    wrapper.getDeviceList(&list);
    EXPECT_EQ(list.size(), 1u);
    ::testing::Mock::VerifyAndClearExpectations(&notify);
}

// The program's view of the devices, built from the added and removed notifications from whichever
// thread they come: an "added" of a device already in the view, or a "removed" of one not in it,
// arrived out of order.
class viewNotify : public NiceMock<wrapper_test::mock_notify> {
public:
    void notifyDeviceAdded(const std::string &device, const std::string &, const std::string &, const std::string &,
                           const std::string &, const std::string &, const std::string &,
                           const std::string &) override
    {
        std::this_thread::yield(); // widens the gap between the table's change and its report
        std::lock_guard<std::mutex> g(lock);
        misordered += view.insert(device).second ? 0 : 1;
    }
    void notifyDeviceRemoved(const std::string &device) override
    {
        std::lock_guard<std::mutex> g(lock);
        misordered += view.erase(device) == 1 ? 0 : 1;
    }

    std::mutex lock;
    std::set<std::string> view;
    int misordered = 0;
};

TEST(VeltoMainThreads, RestartingBrowsingWhileDevicesAreReportedKeepsTheProgramsViewEqualToTheTable)
{
    viewNotify notify;
    commandLog log;
    recordingMain wrapper(&notify, log);
    ASSERT_TRUE(wrapper.init());
    std::atomic<bool> done{false};
    // The worker finds devices and loses some of them ...
    std::thread worker([&] {
        for (int round = 0; round < 400; ++round) {
            for (int i = 0; i < 6; ++i) {
                const std::string name = "dev-" + std::to_string(i);
                wrapper.onDeviceFound(device(name));
                if ((round + i) % 4 == 0)
                    wrapper.onDeviceLost({{"VeltoLabel", name}});
            }
        }
        done = true;
    });
    // ... while the program starts browsing again and again.
    for (int restarts = 0; !done && restarts < 100000; ++restarts) {
        ASSERT_TRUE(wrapper.startBrowse());
        std::this_thread::yield();
    }
    worker.join();

    std::list<std::map<std::string, std::string>> list;
    wrapper.getDeviceList(&list);
    std::set<std::string> table;
    for (const auto &properties : list)
        table.insert(properties.at("VeltoLabel"));
    std::lock_guard<std::mutex> g(notify.lock);
    EXPECT_EQ(notify.misordered, 0);
    EXPECT_EQ(notify.view, table);
}

// ---- with the real service layer ------------------------------------------------------------------

TEST(VeltoMainWithLayer, InitStopInitAndDelete)
{
    wrapper_test::layer_guard guard;
    NiceMock<wrapper_test::mock_notify> notify;
    auto *wrapper = new veltoMain(&notify);
    ASSERT_TRUE(wrapper->init());
    EXPECT_TRUE(wfa_is_started());
    EXPECT_TRUE(wrapper->startBrowse());
    EXPECT_EQ(wrapper->isBrowsing(), 1);
    EXPECT_TRUE(wrapper->stop());
    EXPECT_FALSE(wfa_is_started());
    EXPECT_FALSE(wrapper->startBrowse()); // refused: nothing runs
    ASSERT_TRUE(wrapper->init());
    EXPECT_TRUE(wrapper->startBrowse());
    delete wrapper;
    EXPECT_FALSE(wfa_is_started());
}

TEST(VeltoMainWithLayer, InitWhileAWorkerRunsIsRefusedAndTouchesNothing)
{
    wrapper_test::layer_guard guard;
    NiceMock<wrapper_test::mock_notify> notify;
    veltoMain first(&notify);
    ASSERT_TRUE(first.init());
    first.onDeviceFound(device("dev-a")); // as the worker would

    EXPECT_CALL(notify, notifyDeviceRemoved(_)).Times(0);
    EXPECT_FALSE(first.init());
    std::list<std::map<std::string, std::string>> list;
    first.getDeviceList(&list);
    EXPECT_EQ(list.size(), 1u);

    {
        veltoMain second(&notify);
        EXPECT_FALSE(second.init());
    } // deleting the second wrapper leaves the first one's worker alone
    EXPECT_TRUE(wfa_is_started());
    ::testing::Mock::VerifyAndClearExpectations(&notify);
    // Reported once: a new browse forgets the devices of the last one.
    EXPECT_CALL(notify, notifyDeviceRemoved("dev-a"));
    EXPECT_TRUE(first.startBrowse());
    EXPECT_TRUE(first.stopBrowse());
}

} // namespace
