#include "gui/veltoManager.h"
#include "tests/gui/support/FakeVeltoWrapper.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

const std::string kKtv1 = "T001-KTV4-S-0011-22";
const std::string kKtvA = "T00A-KTV4-S-0011-22";
const std::string kRqa1 = "T001-RQA-310-0011-22";
const std::string kRqa2 = "T002-RQA-310-0011-22";

class VeltoManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager = std::make_unique<veltoManager>(fakeVeltoFactory(state));
        ASSERT_TRUE(manager->initApi());
        state->clearCalls();
    }

    void addDevice(const std::string &name, const std::string &model)
    {
        manager->notifyDeviceAdded(name, "0x1234", "0x9", model, "1.0.0.1", "1.0.0.2", "N/A", "N/A");
    }
    QVariantList devices()
    {
        QVariantMap map;
        QVariantList list;
        EXPECT_TRUE(manager->getResult(QStringLiteral("veltoDevices"), map, list));
        return list;
    }
    QVariantMap device(const std::string &name)
    {
        for (const QVariant &d : devices()) {
            if (d.toMap().value("netVeltoName").toString() == QString::fromStdString(name))
                return d.toMap();
        }
        return QVariantMap();
    }
    static std::vector<wfa_patch_entry> unpatched(int n) { return std::vector<wfa_patch_entry>(n, {"", 0xFFFF}); }

    std::shared_ptr<FakeWrapperState> state = std::make_shared<FakeWrapperState>();
    std::unique_ptr<veltoManager> manager;
};

TEST(VeltoManagerApi, CreatingTheWrapper)
{
    const struct {
        const char *what;
        bool noFactory, factoryNull, createNull, initAnswer;
        bool result;
        int wrappers;
    } cases[] = {
        {"no factory function", true, false, false, true, false, 0},
        {"no factory", false, true, false, true, false, 0},
        {"no wrapper", false, false, true, true, false, 0},
        {"init refused", false, false, false, false, false, 1},
        {"ready", false, false, false, true, true, 1},
    };
    for (const auto &c : cases) {
        auto state = std::make_shared<FakeWrapperState>();
        state->factoryYieldsNothing = c.factoryNull;
        state->createYieldsNothing = c.createNull;
        state->setAnswer("init", c.initAnswer);
        {
            veltoManager manager(c.noFactory ? VeltoFactoryFunction() : fakeVeltoFactory(state));
            EXPECT_EQ(manager.initApi(), c.result) << c.what;
            EXPECT_EQ(state->wrappersCreated.load(), c.wrappers) << c.what;
            EXPECT_EQ(state->factoriesCreated.load(), state->factoriesDeleted.load()) << c.what << ": the factory goes at once";
            if (c.wrappers) {
                EXPECT_EQ(state->notify(), static_cast<IVeltoNotify *>(&manager));
                EXPECT_EQ(state->ops(), std::vector<std::string>{"init"});
            }
        }
        EXPECT_EQ(state->wrappersDeleted.load(), c.wrappers) << c.what << ": the adapter deletes its wrapper";
        EXPECT_EQ(state->callsOf("stop").size(), 0u) << c.what << ": the wrapper's destructor stops it";
    }
}

TEST_F(VeltoManagerTest, LifecycleCallsReachTheWrapperOnce)
{
    state->setAnswer("stop", false);
    EXPECT_FALSE(manager->terminateApi());
    EXPECT_TRUE(manager->reinitApi());
    EXPECT_TRUE(manager->initApi());
    EXPECT_EQ(state->ops(), (std::vector<std::string>{"stop", "init", "init"}));
    EXPECT_EQ(state->wrappersCreated.load(), 1) << "a second initApi keeps the wrapper it has";
}

TEST_F(VeltoManagerTest, CommandNamesSelectTheWrapperCall)
{
    addDevice(kKtv1, "KTV4-S");
    const struct {
        bool set;
        const char *cmd;
        QVariantMap args;
        const char *refusedOp; // the wrapper refuses this operation
        bool answer;
        std::vector<std::string> ops;
    } cases[] = {
        {false, "vltMngPatch", {{"netVeltoName", "T001-x"}}, nullptr, true, {"requestPatchList"}},
        {false, "vltMngPatch", {{"netVeltoName", "T001-x"}}, "requestPatchList", false, {"requestPatchList"}},
        {false, "veltoGetIf", {}, "requestIf", true, {"requestIf"}},
        {false, "veltoIfList", {}, "requestIfList", true, {"requestIfList"}},
        {true, "vltMngConnect", {{"connect", true}}, nullptr, true, {"startBrowse"}},
        {true, "vltMngConnect", {{"connect", true}}, "startBrowse", false, {"startBrowse"}},
        {true, "vltMngConnect", {{"connect", false}}, nullptr, true, {"stopBrowse"}},
        {true, "vltMngConnect", {}, "stopBrowse", false, {"stopBrowse"}},
        {true, "veltoSetIf", {{"ifName", "eth0"}, {"macAddress", "AA:BB:CC:DD:EE:FF"}}, "setIf", false, {"setIf"}},
        {true, "veltoPatchClear", {{"unitID", 1u}, {"manfModel", "KTV4-S"}}, nullptr, true, {"setBatchPatch"}},
        {true, "veltoPatch", {{"unitID", 1u}, {"manfModel", "KTV4-S"}}, "setBatchPatch", false, {"setBatchPatch"}},
        {true, "veltopreferredMaster", {{"unitID", 1u}, {"manfModel", "KTV4-S"}, {"isPrefferdMaster", 1}}, nullptr, true, {"setPreferredMaster"}},
        // Names sent through the wrong operation, or differing in case, reach nothing.
        {false, "veltoPatch", {{"unitID", 1u}, {"manfModel", "KTV4-S"}}, nullptr, false, {}},
        {false, "vltMngConnect", {{"connect", true}}, nullptr, false, {}},
        {true, "veltoGetIf", {}, nullptr, false, {}},
        {true, "VeltoPatchClear", {{"unitID", 1u}, {"manfModel", "KTV4-S"}}, nullptr, false, {}},
        {true, "", {}, nullptr, false, {}},
    };
    for (const auto &c : cases) {
        addDevice(kKtv1, "KTV4-S"); // browsing forgets it
        state->clearCalls();
        state->setAnswer("requestPatchList", true);
        for (const char *op : {"requestIf", "requestIfList", "startBrowse", "stopBrowse", "setIf", "setBatchPatch"})
            state->setAnswer(op, true);
        if (c.refusedOp)
            state->setAnswer(c.refusedOp, false);
        const QString cmd = QString::fromLatin1(c.cmd);
        const bool answer = c.set ? manager->routeSet(cmd, c.args) : manager->routeGet(cmd, c.args);
        EXPECT_EQ(answer, c.answer) << c.cmd;
        EXPECT_EQ(state->ops(), c.ops) << c.cmd;
    }
}

TEST_F(VeltoManagerTest, CommandArgumentsReachTheWrapper)
{
    manager->routeGet(QStringLiteral("vltMngPatch"), {{"netVeltoName", QString::fromUtf8("T001-Bühne")}});
    manager->routeSet(QStringLiteral("veltoSetIf"), {{"ifName", QString::fromUtf8("Ethernet 2 \xF0\x9F\x8E\xB5")},
                                                     {"macAddress", "0A:1B:2C:3D:4E:5F"},
                                                     {"ipAddress", "10.0.0.2"}});
    const auto calls = state->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].device, "T001-B\xC3\xBChne");
    EXPECT_EQ(calls[1].ifName, std::wstring(L"Ethernet 2 \U0001F3B5"));
    EXPECT_EQ(calls[1].mac, "0A:1B:2C:3D:4E:5F");
}

TEST_F(VeltoManagerTest, StartingBrowseForgetsTheDevicesFoundBefore)
{
    addDevice(kKtv1, "KTV4-S");
    manager->routeSet(QStringLiteral("vltMngConnect"), {{"connect", false}});
    EXPECT_EQ(devices().size(), 1);
    manager->routeSet(QStringLiteral("vltMngConnect"), {{"connect", true}});
    EXPECT_TRUE(devices().isEmpty());
}

TEST_F(VeltoManagerTest, UnitIdsFromDeviceNames)
{
    const struct {
        const char *name;
        const char *unitId;
    } cases[] = {
        {"T00A-KTV4-S-0011-22", "00A"}, {"t001-a-b-c-d", "001"}, {"T001", "001"}, {"T0a1-RQA-310-1-2", "0a1"},
        {"TFFF-x", "FFF"}, {"X123-KTV4-S-1-2", ""}, {"T12-KTV4-S-1-2", ""}, {"T12G-KTV4-S-1-2", ""},
        {"T1234-KTV4-S", ""}, {"-T001", ""}, {"", ""}, {"T\xC3\xA9" "12-x", ""},
        // Exactly three hexadecimal digits: no prefix, sign, blank or other digits.
        {"T0x1-KTV4-S-1-2", ""}, {"T+1F-KTV4-S-1-2", ""}, {"T 1F-KTV4-S-1-2", ""}, {"T1F -KTV4-S-1-2", ""},
        {"TT01-KTV4-S-1-2", ""}, {"T\xD9\xA1" "23-x", ""},
    };
    for (const auto &c : cases) {
        const QString name = QString::fromUtf8(c.name);
        EXPECT_EQ(manager->unitIdFromName(name), QString::fromLatin1(c.unitId)) << c.name;
        addDevice(c.name, "KTV4-S");
        EXPECT_EQ(device(c.name).value("unitID").toString(), QString::fromLatin1(c.unitId)) << c.name;
    }
}

TEST_F(VeltoManagerTest, DeviceRecordsFollowTheReports)
{
    addDevice(kKtvA, "KTV4-S");
    addDevice(kRqa1, "RQA-310");
    addDevice("T003-X-1-2-3", "OTHER");
    EXPECT_EQ(device(kKtvA), (QVariantMap{{"netVeltoName", QString::fromStdString(kKtvA)}, {"veltoModel", "0x1234"},
                                          {"unitID", "00A"}, {"manfID", "0x9"}, {"manfModel", "KTV4-S"},
                                          {"connect", true}, {"txChNum", 64}, {"rxChNum", 64}}));
    EXPECT_EQ(device(kRqa1).value("rxChNum"), QVariant(2));
    EXPECT_EQ(device(kRqa1).value("txChNum"), QVariant(2));
    EXPECT_FALSE(device("T003-X-1-2-3").contains("rxChNum"));
    EXPECT_FALSE(device("T003-X-1-2-3").contains("txChNum"));

    manager->notifyChannelCount(kKtvA, "16", "x8");
    manager->notifyConnectState(kKtvA, "0");
    addDevice(kKtvA, "RQA-310"); // known already: the record stays
    EXPECT_EQ(device(kKtvA).value("txChNum"), QVariant(16));
    EXPECT_EQ(device(kKtvA).value("rxChNum"), QVariant(0));
    EXPECT_EQ(device(kKtvA).value("connect"), QVariant(false));
    EXPECT_EQ(device(kKtvA).value("manfModel"), QVariant("KTV4-S"));
    for (const char *text : {"true", "", "10", "1 "}) {
        manager->notifyConnectState(kKtvA, text);
        EXPECT_EQ(device(kKtvA).value("connect"), QVariant(false)) << text;
    }
    manager->notifyConnectState(kKtvA, "1");
    EXPECT_EQ(device(kKtvA).value("connect"), QVariant(true));

    manager->notifyChannelCount("T009-unknown", "1", "1");
    manager->notifyConnectState("T009-unknown", "1");
    manager->notifyDeviceRemoved("T009-unknown");
    manager->notifyDeviceRemoved(kRqa1);
    QStringList names;
    for (const QVariant &d : devices())
        names << d.toMap().value("netVeltoName").toString();
    EXPECT_EQ(names, QStringList({"T003-X-1-2-3", "T00A-KTV4-S-0011-22"})) << "key order, removed and unknown gone";

    QVariantMap map;
    QVariantList list{QStringLiteral("earlier")};
    manager->getResult(QStringLiteral("veltoDevices"), map, list);
    EXPECT_EQ(list.size(), 3) << "the device list is appended";
    EXPECT_FALSE(manager->getResult(QStringLiteral("veltodevices"), map, list));
    EXPECT_EQ(list.size(), 3);
}

TEST_F(VeltoManagerTest, ClearingSendsAnUnpatchedEntryForEveryReceiveChannel)
{
    addDevice(kKtvA, "KTV4-S");
    addDevice(kRqa2, "RQA-310");
    addDevice("X100-RQA-310-1-2", "RQA-310");
    EXPECT_TRUE(manager->routeSet(QStringLiteral("veltoPatchClear"), {{"unitID", 10u}, {"manfModel", "KTV4-S"}}));
    EXPECT_TRUE(manager->routeSet(QStringLiteral("veltoPatchClear"), {{"unitID", 2u}, {"manfModel", "RQA-310"}}));
    EXPECT_TRUE(manager->routeSet(QStringLiteral("veltoPatchClear"), {{"unitID", 0u}, {"manfModel", "RQA-310"}}))
        << "a name without a unit id is found by unit 0 only";
    const auto calls = state->callsOf("setBatchPatch");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].device, kKtvA);
    EXPECT_EQ(calls[0].count, 64);
    EXPECT_EQ(calls[0].entries, unpatched(64));
    EXPECT_EQ(calls[1].device, kRqa2);
    EXPECT_EQ(calls[1].count, 2);
    EXPECT_EQ(calls[1].entries, unpatched(2));
    EXPECT_EQ(calls[2].device, "X100-RQA-310-1-2");
}

TEST_F(VeltoManagerTest, CommandsForUnknownOrUnusableDevicesAreRefused)
{
    addDevice(kKtv1, "KTV4-S");
    addDevice("T005-OTHER-1-2-3", "OTHER");
    const QVariantMap other{{"unitID", 5u}, {"manfModel", "OTHER"}};
    const struct {
        const char *cmd;
        QVariantMap args;
    } refused[] = {
        {"veltoPatchClear", {{"unitID", 2u}, {"manfModel", "KTV4-S"}}},
        {"veltoPatchClear", {{"unitID", 1u}, {"manfModel", "ktv4-s"}}},
        {"veltoPatchClear", {{"unitID", 1u}, {"manfModel", "RQA-310"}}},
        {"veltoPatch", {{"unitID", 1u}, {"manfModel", "RQA-310"}}},
        {"veltoPatchClear", other},
        {"veltoPatch", other},
        {"veltopreferredMaster", {{"unitID", 2u}, {"manfModel", "KTV4-S"}, {"isPrefferdMaster", 1}}},
        {"veltopreferredMaster", {{"manfModel", "KTV4-S"}, {"isPrefferdMaster", 1}}},
        {"veltopreferredMaster", {{"unitID", 1u}, {"isPrefferdMaster", 1}}},
        {"veltopreferredMaster", {{"unitID", 1u}, {"manfModel", "KTV4-S"}}},
    };
    for (const auto &r : refused)
        EXPECT_FALSE(manager->routeSet(QString::fromLatin1(r.cmd), r.args)) << r.cmd;
    EXPECT_TRUE(state->calls().empty());

    // A model without known counts is found for the preferred master, and for patches once its
    // receive count is reported.
    EXPECT_TRUE(manager->routeSet(QStringLiteral("veltopreferredMaster"), QVariantMap{{"unitID", 5u}, {"manfModel", "OTHER"}, {"isPrefferdMaster", 0}}));
    manager->notifyChannelCount("T005-OTHER-1-2-3", "4", "3");
    EXPECT_TRUE(manager->routeSet(QStringLiteral("veltoPatchClear"), other));
    EXPECT_EQ(state->ops(), (std::vector<std::string>{"setPreferredMaster", "setBatchPatch"}));
    EXPECT_EQ(state->calls()[1].entries, unpatched(3));
}

TEST_F(VeltoManagerTest, ReceiveCountsBeyondOneBatchAreRefused)
{
    addDevice(kKtv1, "KTV4-S");
    const QVariantMap ktv{{"unitID", 1u}, {"manfModel", "KTV4-S"}};
    const struct {
        const char *rxNum;
        bool accepted;
    } cases[] = {{"256", true}, {"257", false}, {"65536", false}, {"-1", false}, {"0", false}, {"1", true}};
    for (const auto &c : cases) {
        state->clearCalls();
        manager->notifyChannelCount(kKtv1, "64", c.rxNum);
        EXPECT_EQ(manager->routeSet(QStringLiteral("veltoPatchClear"), ktv), c.accepted) << c.rxNum;
        EXPECT_EQ(manager->routeSet(QStringLiteral("veltoPatch"), ktv), c.accepted) << c.rxNum;
        const auto calls = state->callsOf("setBatchPatch");
        ASSERT_EQ(calls.size(), c.accepted ? 2u : 0u) << c.rxNum;
        for (const WrapperCall &call : calls) {
            EXPECT_EQ(call.count, atoi(c.rxNum));
            EXPECT_EQ(call.entries.size(), static_cast<size_t>(call.count));
        }
    }
}

QVariantMap patchTo(int rxCh, int txCh, unsigned unit = 1, const char *model = "KTV4-S")
{
    return {{"unitID", unit}, {"manfModel", model}, {"txCh", txCh}, {"rxCh", rxCh}};
}

TEST_F(VeltoManagerTest, PatchListsCoverEveryReceiveChannel)
{
    addDevice(kKtv1, "KTV4-S");
    addDevice(kKtvA, "KTV4-S");
    addDevice(kRqa1, "RQA-310");
    addDevice(kRqa2, "RQA-310");
    manager->notifyChannelCount(kRqa2, "2", "0"); // found, but without receive channels
    const auto send = [&](unsigned unit, const char *model, const QVariantList &patches) {
        state->clearCalls();
        const bool ok = manager->routeSet(QStringLiteral("veltoPatch"),
                                          {{"unitID", unit}, {"manfModel", model}, {"txChPatch", patches}});
        const auto calls = state->callsOf("setBatchPatch");
        return std::make_pair(ok, calls.empty() ? WrapperCall() : calls.front());
    };

    auto [ok, call] = send(1, "RQA-310", {patchTo(1, 3), patchTo(2, 64, 10)});
    EXPECT_TRUE(ok);
    EXPECT_EQ(call.device, kRqa1);
    EXPECT_EQ(call.count, 2);
    EXPECT_EQ(call.entries, (std::vector<wfa_patch_entry>{{kKtv1, 3}, {kKtvA, 64}}));

    std::tie(ok, call) = send(10, "KTV4-S",
                              {patchTo(3, 1, 1, "RQA-310"), patchTo(3, 2, 1, "RQA-310"), patchTo(0, 5), patchTo(65, 5),
                               patchTo(64, 2, 1, "RQA-310"), patchTo(5, 1, 9), patchTo(6, 1, 2, "RQA-310")});
    EXPECT_TRUE(ok);
    ASSERT_EQ(call.entries.size(), 64u);
    std::vector<wfa_patch_entry> expected = unpatched(64);
    expected[2] = {kRqa1, 2};  // the later patch of channel 3 wins
    expected[63] = {kRqa1, 2}; // channels 0 and 65 are outside; unit 9 and a device without receive channels are unknown
    EXPECT_EQ(call.entries, expected);

    std::tie(ok, call) = send(1, "RQA-310", {});
    EXPECT_TRUE(ok);
    EXPECT_EQ(call.entries, unpatched(2)) << "an empty plan clears like veltoPatchClear";
}

TEST_F(VeltoManagerTest, TransmitChannelsThatDoNotFitTheWireAreRefused)
{
    addDevice(kKtv1, "KTV4-S");
    addDevice(kRqa1, "RQA-310");
    const struct {
        QVariant txCh;
        bool accepted;
    } cases[] = {{1, true}, {65534, true}, {0, false}, {65535, false}, {65537, false}, {-1, false}, {QStringLiteral("x"), false}};
    for (const auto &c : cases) {
        state->clearCalls();
        QVariantMap patch = patchTo(2, 0);
        patch.insert("txCh", c.txCh);
        EXPECT_EQ(manager->routeSet(QStringLiteral("veltoPatch"),
                                    {{"unitID", 1u}, {"manfModel", "RQA-310"}, {"txChPatch", QVariantList{patch}}}),
                  c.accepted)
            << c.txCh.toString().toStdString();
        EXPECT_EQ(state->calls().size(), c.accepted ? 1u : 0u);
    }
    // A bad channel on a receive channel that the device does not have is not used, so not refused.
    QVariantMap unused = patchTo(3, 70000);
    EXPECT_TRUE(manager->routeSet(QStringLiteral("veltoPatch"),
                                  {{"unitID", 1u}, {"manfModel", "RQA-310"}, {"txChPatch", QVariantList{unused}}}));
}

TEST_F(VeltoManagerTest, PreferredMasterFlagIsTheLowByte)
{
    addDevice(kRqa1, "RQA-310");
    const struct {
        QVariant flag;
        bool on;
    } cases[] = {{1, true}, {0, false}, {256, false}, {257, true}, {QStringLiteral("1"), true}};
    for (const auto &c : cases) {
        state->clearCalls();
        EXPECT_TRUE(manager->routeSet(QStringLiteral("veltopreferredMaster"),
                                      {{"unitID", 1u}, {"manfModel", "RQA-310"}, {"isPrefferdMaster", c.flag}}));
        const auto calls = state->callsOf("setPreferredMaster");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].device, kRqa1);
        EXPECT_EQ(calls[0].flag, c.on) << c.flag.toInt();
    }
}

TEST_F(VeltoManagerTest, InterfaceReportsFillTheListAndTheCurrentInterface)
{
    QSignalSpy spy(manager.get(), &veltoManager::signalCallback);
    QVariantMap map;
    QVariantList list{QStringLiteral("stale")};

    manager->notifyIfList(2, {L"eth0", std::wstring(L"W\U0001F3B5")}, {"AA:BB:CC:DD:EE:01", "AA:BB:CC:DD:EE:02"},
                          {"10.0.0.1", "10.0.0.2"});
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy[0][0].toString(), "vltApi_Clb_Nic_Colect");
    EXPECT_TRUE(spy[0][1].toMap().isEmpty());
    EXPECT_TRUE(manager->getResult(QStringLiteral("veltoIfListResult"), map, list));
    EXPECT_EQ(list, (QVariantList{QVariantMap{{"ifName", "eth0"}, {"macAddress", "AA:BB:CC:DD:EE:01"}, {"ipAddress", "10.0.0.1"}},
                                  QVariantMap{{"ifName", QString::fromUtf8("W\xF0\x9F\x8E\xB5")},
                                              {"macAddress", "AA:BB:CC:DD:EE:02"},
                                              {"ipAddress", "10.0.0.2"}}}));

    // Wide names given as UTF-16 code units read the same.
    manager->notifyIfList(1, {std::wstring{L'W', wchar_t(0xD83C), wchar_t(0xDFB5)}}, {"M"}, {"I"});
    manager->getResult(QStringLiteral("veltoIfListResult"), map, list);
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].toMap().value("ifName").toString(), QString::fromUtf8("W\xF0\x9F\x8E\xB5"));

    // Lists of unequal length pair up as far as all three reach.
    manager->notifyIfList(3, {L"a", L"b", L"c"}, {"1", "2"}, {"x", "y", "z"});
    manager->getResult(QStringLiteral("veltoIfListResult"), map, list);
    EXPECT_EQ(list.size(), 2);

    spy.clear();
    manager->notifyIfList(0, {L"a"}, {"1"}, {"x"});
    EXPECT_EQ(spy.count(), 0) << "an empty list is not announced";
    manager->getResult(QStringLiteral("veltoIfListResult"), map, list);
    EXPECT_TRUE(list.isEmpty());

    map = {{"ifName", "old"}, {"other", 1}};
    manager->getResult(QStringLiteral("veltoIfResult"), map, list);
    EXPECT_EQ(map, (QVariantMap{{"ifName", ""}, {"macAddress", ""}, {"other", 1}}));
    manager->notifyCurrentIf(L"eth1", "AA:BB:CC:DD:EE:03");
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy[0][0].toString(), "vltApi_Clb_Nic_Select");
    EXPECT_EQ(spy[0][1].toMap(), (QVariantMap{{"ifName", "eth1"}, {"macAddress", "AA:BB:CC:DD:EE:03"}}));
    manager->getResult(QStringLiteral("veltoIfResult"), map, list);
    EXPECT_EQ(map, (QVariantMap{{"ifName", "eth1"}, {"macAddress", "AA:BB:CC:DD:EE:03"}, {"other", 1}}));
}

TEST_F(VeltoManagerTest, ResultStatusesBecomeCallbackNames)
{
    QSignalSpy spy(manager.get(), &veltoManager::signalCallback);
    const struct {
        unsigned short status;
        const char *name;
    } batch[] = {
        {0, "vltApi_Clb_Patches"},           {1, "vltApi_Clb_Patches"},         {2, "vltApi_Clb_Send_Patches"},
        {0x8010, "vltApi_Clb_Error_GetSetPrm"}, {0x800F, "vltApi_Clb_Patches"}, {0x8011, "vltApi_Clb_Patches"},
        {0x801F, "vltApi_Clb_Patches"},      {0x8020, "vltApi_Clb_Error_SetStatus"}, {0x8022, "vltApi_Clb_Error_SetStatus"},
        {0x8024, "vltApi_Clb_Error_SetStatus"}, {0x8025, "vltApi_Clb_Patches"}, {0xFFFF, "vltApi_Clb_Patches"},
    };
    for (const auto &b : batch) {
        spy.clear();
        manager->notifyBatchPatchResult(kRqa1, b.status);
        ASSERT_EQ(spy.count(), 1);
        EXPECT_EQ(spy[0][0].toString(), b.name) << b.status;
        const QVariantMap info = spy[0][1].toMap();
        EXPECT_EQ(info.value("netVeltoName").toString().toStdString(), kRqa1);
        EXPECT_EQ(info.value("result").userType(), QMetaType::UShort);
        EXPECT_EQ(info.value("result").toUInt(), b.status);
        const bool setStatus = QLatin1String(b.name) == QLatin1String("vltApi_Clb_Error_SetStatus");
        EXPECT_EQ(info.contains("devState"), setStatus);
        if (setStatus) {
            EXPECT_EQ(info.value("devState").userType(), QMetaType::Int);
            EXPECT_EQ(info.value("devState").toInt(), b.status);
        }
    }

    spy.clear();
    manager->notifyPreferredMasterResult(kKtv1, 0x8003);
    manager->notifyPatchResult(kKtv1, 5);
    manager->notifyInitDone();
    manager->notifySampleRateResult(kKtv1, 0);
    manager->notifyLatencyResult(kKtv1, 0);
    manager->notifySampleRate(kKtv1, "48000");
    manager->notifyLatency(kKtv1, "1000");
    manager->notifyLockState(kKtv1, "1");
    manager->notifyAes67State(kKtv1, "1", "0");
    manager->notifyReserved();
    manager->notifyPatchList(kRqa1, "2", {{kKtv1, 3}, {"", 0xFFFF}});
    ASSERT_EQ(spy.count(), 4);
    EXPECT_EQ(spy[0][0].toString(), "vltApi_Clb_PreferredMaster");
    EXPECT_EQ(spy[0][1].toMap(), (QVariantMap{{"netVeltoName", QString::fromStdString(kKtv1)},
                                              {"result", QVariant::fromValue<ushort>(0x8003)}}));
    EXPECT_EQ(spy[1][0].toString(), "vltApi_Clb_Patch");
    EXPECT_EQ(spy[2][0].toString(), "vltApi_Clb_Fin_Init");
    EXPECT_TRUE(spy[2][1].toMap().isEmpty());
    EXPECT_EQ(spy[3][0].toString(), "vltApi_Patches");
    const QVariantMap patches = spy[3][1].toMap();
    EXPECT_EQ(patches.value("rxChNum").userType(), QMetaType::QString);
    EXPECT_EQ(patches.value("rxChNum").toString(), "2");
    const QVariantList items = patches.value("rxChPatch").toList();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0].toMap().value("isPatch"), QVariant::fromValue<short>(3));
    EXPECT_EQ(items[1].toMap().value("isPatch").userType(), QMetaType::Short);
    EXPECT_EQ(items[1].toMap().value("isPatch").toInt(), -1);
    EXPECT_EQ(items[0].toMap().value("netVeltoName").toString().toStdString(), kKtv1);
}

TEST_F(VeltoManagerTest, ReportFromTheWorkerArrivesOnTheGuiThreadAfterTheTableIsUpdated)
{
    QObject receiver; // lives on the GUI thread, like the main window
    std::atomic<int> delivered{0};
    QVariantList seen;
    bool onGuiThread = false;
    QObject::connect(manager.get(), &veltoManager::signalCallback, &receiver,
                     [&](const QString &cmnd, const QVariantMap &) {
                         if (cmnd != QLatin1String("vltApi_Clb_Nic_Colect"))
                             return;
                         onGuiThread = QThread::currentThread() == receiver.thread();
                         QVariantMap map;
                         manager->getResult(QStringLiteral("veltoIfListResult"), map, seen);
                         ++delivered;
                     });

    state->reportFromWorker([](IVeltoNotify &notify) {
        notify.notifyDeviceAdded("T002-RQA-310-0011-22", "m", "f", "RQA-310", "", "", "", "");
        notify.notifyIfList(1, {L"eth0"}, {"AA:BB:CC:DD:EE:01"}, {"10.0.0.1"});
    });
    EXPECT_EQ(delivered.load(), 0) << "the signal is queued, not delivered on the worker thread";
    EXPECT_TRUE(QTest::qWaitFor([&] { return delivered > 0; }, 5000));
    EXPECT_TRUE(onGuiThread);
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen[0].toMap().value("ifName").toString(), "eth0");
    EXPECT_EQ(device("T002-RQA-310-0011-22").value("rxChNum"), QVariant(2));
}

TEST_F(VeltoManagerTest, ReportsAndReadsOnTwoThreadsDoNotCorruptTheTables)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 2000; ++i) {
            const std::string name = "T" + std::string(i % 2 ? "001" : "002") + "-RQA-310-1-2";
            manager->notifyDeviceAdded(name, "m", "f", "RQA-310", "", "", "", "");
            manager->notifyChannelCount(name, "2", std::to_string(1 + i % 4));
            manager->notifyIfList(1, {L"eth0"}, {"M"}, {"I"});
            manager->notifyCurrentIf(L"eth0", "M");
            if (i % 3 == 0)
                manager->notifyDeviceRemoved(name);
        }
        done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 20000) {
        QVariantMap map;
        QVariantList list;
        manager->getResult(QStringLiteral("veltoDevices"), map, list);
        for (const QVariant &d : list)
            EXPECT_TRUE(d.toMap().contains("netVeltoName"));
        manager->getResult(QStringLiteral("veltoIfListResult"), map, list);
        manager->getResult(QStringLiteral("veltoIfResult"), map, list);
        manager->routeSet(QStringLiteral("veltoPatchClear"), {{"unitID", 1u}, {"manfModel", "RQA-310"}});
    }
    worker.join();
    for (const WrapperCall &call : state->callsOf("setBatchPatch"))
        EXPECT_EQ(call.entries.size(), static_cast<size_t>(call.count));
    QCoreApplication::processEvents(); // queued signals of the worker
}

} // namespace
