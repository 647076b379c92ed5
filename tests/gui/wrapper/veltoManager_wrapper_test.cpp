// The program's veltoManager over the real wrapper and service layer (in this process), against the
// simulated installation over loopback with DNS-SD from the fake: the worker thread reports through
// IVeltoNotify while the Qt thread calls in, as the main window does. Built to run under
// ThreadSanitizer as well.
#include <QCoreApplication>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <gtest/gtest.h>

#include <net/if.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gui/veltoManager.h"
#include "testnet/tn_config_service.h"
#include "testnet/tn_conmon_server.h"
#include "testnet/tn_installation.h"
#include "testnet/tn_routing_device.h"
#include "tests/support/dnssd_fake.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_cmm.h"
#include "wrapper/service/wfa_conmon.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_trace.h"

namespace {

using namespace std::chrono;

const char k_two[] = "interface 02:00:00:00:00:01 Ethernet\n"
                     "interface 02:00:00:00:00:02 Ethernet 2\n"
                     "current 02:00:00:00:00:01\n";
const char k_ktv[] = "T001-QZ-KTV4-S-0001";
const char k_rqa1[] = "T001-QZ-RQA-310-0001";

std::string hex_id(const uint8_t id[8])
{
    char text[17];
    for (int i = 0; i < 8; i++)
        std::snprintf(text + 2 * i, 3, "%02x", id[i]);
    return text;
}

// One KTV4-S and two RQA-310 units, answered from a thread of their own; the test reaches them
// under the lock. Every unit is announced through the DNS-SD fake on the loopback.
class installation {
public:
    installation()
    {
        tn_installation_config cfg;
        tn_installation_config_init(&cfg);
        cfg.ktv4s = 1;
        cfg.area[0] = 2;
        cfg.area[1] = cfg.area[2] = cfg.area[3] = 0;
        cfg.config_port = cfg.conmon_port = cfg.first_device_port = 0;
        cfg.publish = false;
        m_inst = tn_installation_new(&cfg, nullptr);
        EXPECT_NE(m_inst, nullptr);
        tn_config_service *config = tn_installation_config_service(m_inst);
        EXPECT_EQ(tn_config_service_load_text(config, k_two), QNB_ERR_SUCCESS);
        tn_config_service_set_change_delay_ms(config, 0);
        wfa_cmm_set_port(tn_config_service_get_port(config));
        wfa_conmon_set_port(tn_conmon_server_get_port(tn_installation_conmon_server(m_inst)));

        dnssd_fake::reset();
        const uint32_t lo = if_nametoindex("lo");
        for (size_t i = 0; i < tn_installation_unit_count(m_inst); i++) {
            const std::string name = tn_installation_unit_at(m_inst, i, nullptr);
            tn_routing_device *rd = tn_routing_set_at(tn_installation_routing(m_inst), i);
            uint8_t txt[512];
            const size_t size = tn_routing_device_txt(rd, txt, sizeof txt);
            dnssd_fake::announce({"_netaudio-arc._udp", name, lo, name + ".local", tn_routing_device_get_port(rd),
                                  std::string(reinterpret_cast<const char *>(txt), size)});
            const tn_conmon_device *d = tn_conmon_server_device(tn_installation_conmon_server(m_inst), name.c_str());
            dnssd_fake::announce({"_netaudio-cmc._udp", name, lo, name + ".local", 8800,
                                  dnssd_fake::txt({"id=" + hex_id(d->device_id),
                                                   "process=" + std::to_string(d->process)})});
        }
        m_thread = std::thread([this] {
            while (m_run) {
                std::lock_guard<std::mutex> lock(m_lock);
                tn_installation_poll(m_inst, 2);
            }
        });
    }
    ~installation()
    {
        m_run = false;
        m_thread.join();
        tn_installation_delete(m_inst);
    }
    // The receive channel's subscription as "<tx channel>@<tx device>" ("" when there is none).
    std::string subscription(const char *device, uint16_t rx)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        tn_routing_subscription sub{};
        if (!tn_routing_device_get_subscription(tn_routing_set_find(tn_installation_routing(m_inst), device), rx,
                                                &sub) ||
            !sub.tx_device[0])
            return "";
        return std::string(sub.tx_channel) + "@" + sub.tx_device;
    }

private:
    tn_installation *m_inst = nullptr;
    std::mutex m_lock;
    std::thread m_thread;
    std::atomic<bool> m_run{true};
};

// What the main window receives: every signalCallback, delivered on this (the Qt) thread.
struct callbacks {
    std::vector<std::pair<QString, QVariantMap>> seen;

    // Runs the Qt thread's events until `done` holds (at most 20 s).
    template <class Condition> static bool pump(Condition done)
    {
        const auto deadline = steady_clock::now() + seconds(20);
        while (!done()) {
            if (steady_clock::now() > deadline)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(milliseconds(2));
        }
        return true;
    }
    size_t count(const QString &cmnd, const std::function<bool(const QVariantMap &)> &match = nullptr) const
    {
        size_t n = 0;
        for (const auto &c : seen)
            n += c.first == cmnd && (!match || match(c.second)) ? 1 : 0;
        return n;
    }
    QVariantMap last(const QString &cmnd) const
    {
        for (auto it = seen.rbegin(); it != seen.rend(); ++it)
            if (it->first == cmnd)
                return it->second;
        return QVariantMap();
    }
    bool wait(const QString &cmnd, size_t times = 1, const std::function<bool(const QVariantMap &)> &match = nullptr)
    {
        return pump([&] { return count(cmnd, match) >= times; });
    }
};

// The layer's initialisation-finished event reaches the program only as a trace line (the main
// window goes by its own delays): counted here, from the worker thread.
class init_events {
public:
    init_events() { wfa_trace_set_sink(&init_events::trace, this); }
    ~init_events() { wfa_trace_set_sink(nullptr, nullptr); }
    int count() const { return m_count.load(); }
    bool wait(int times)
    {
        return callbacks::pump([&] { return count() >= times; });
    }

private:
    static void trace(const char *text, void *context)
    {
        if (std::strcmp(text, "WFA_CBACK_INF_INIT\n") == 0)
            ++static_cast<init_events *>(context)->m_count;
    }
    std::atomic<int> m_count{0};
};

QVariantMap unit(int id, const char *model)
{
    return {{"unitID", id}, {"manfModel", QString(model)}};
}

QVariantMap patch(int rxCh, int txUnit, const char *txModel, int txCh)
{
    QVariantMap p = unit(txUnit, txModel);
    p.insert("rxCh", rxCh);
    p.insert("txCh", txCh);
    return p;
}

class ManagerOverWrapper : public ::testing::Test {
protected:
    void SetUp() override
    {
        manager.reset(new veltoManager(instance));
        QObject::connect(manager.get(), &veltoManager::signalCallback, &receiver,
                         [this](const QString &cmnd, const QVariantMap &info) { got.seen.emplace_back(cmnd, info); });
    }
    void TearDown() override
    {
        manager.reset();
        EXPECT_FALSE(wfa_is_started());
        EXPECT_EQ(dnssd_fake::live_references(), 0u);
    }

    QVariantList devices()
    {
        QVariantMap map;
        QVariantList list;
        EXPECT_TRUE(manager->getResult("veltoDevices", map, list));
        return list;
    }
    // Browses until every unit is in the table and routed: its patch list can be asked for only
    // once the wrapper knows its channel counts, which come when its routing is up. The Qt thread
    // reads the table and asks meanwhile, while the worker fills it.
    bool browse()
    {
        if (!manager->routeSet("vltMngConnect", {{"connect", true}}))
            return false;
        const size_t lists = got.count("vltApi_Patches");
        QStringList asked;
        bool routed = callbacks::pump([&] {
            for (const QVariant &d : devices()) {
                const QString name = d.toMap().value("netVeltoName").toString();
                if (!asked.contains(name) && manager->routeGet("vltMngPatch", {{"netVeltoName", name}}))
                    asked.append(name);
            }
            return asked.size() == 3;
        });
        EXPECT_TRUE(routed) << devices().size() << " devices, patch lists of " << asked.join(' ').toStdString();
        return routed && got.wait("vltApi_Patches", lists + 3);
    }

    wrapper_test::layer_guard guard;
    installation units;
    QObject receiver;
    callbacks got;
    init_events inits;
    std::unique_ptr<veltoManager> manager;
};

TEST_F(ManagerOverWrapper, StartUpBrowseApplyInterfaceChangeAndStop)
{
    ASSERT_TRUE(manager->initApi());
    ASSERT_TRUE(inits.wait(1));

    ASSERT_TRUE(manager->routeGet("veltoIfList", {}));
    ASSERT_TRUE(got.wait("vltApi_Clb_Nic_Colect"));
    QVariantMap map;
    QVariantList nics;
    ASSERT_TRUE(manager->getResult("veltoIfListResult", map, nics));
    ASSERT_EQ(nics.size(), 2);
    EXPECT_EQ(nics[1].toMap().value("ifName").toString(), "Ethernet 2");
    ASSERT_TRUE(manager->routeGet("veltoGetIf", {}));
    ASSERT_TRUE(got.wait("vltApi_Clb_Nic_Select"));
    ASSERT_TRUE(manager->getResult("veltoIfResult", map, nics));
    EXPECT_EQ(map.value("macAddress").toString(), "02:00:00:00:00:01");

    ASSERT_TRUE(browse());

    // Apply as the main window sends it: the receiver cleared, then its plan, then read back.
    const auto rqa1 = [](const QVariantMap &info) { return info.value("netVeltoName").toString() == k_rqa1; };
    ASSERT_TRUE(manager->routeSet("veltoPatchClear", unit(1, "RQA-310")));
    ASSERT_TRUE(got.wait("vltApi_Clb_Patches", 1, rqa1));
    QVariantMap plan = unit(1, "RQA-310");
    plan.insert("txChPatch", QVariantList{patch(1, 1, "KTV4-S", 3), patch(2, 1, "KTV4-S", 4)});
    ASSERT_TRUE(manager->routeSet("veltoPatch", plan));
    ASSERT_TRUE(got.wait("vltApi_Clb_Patches", 2, rqa1));
    EXPECT_EQ(got.count("vltApi_Clb_Send_Patches", rqa1), 2u);
    for (const auto &c : got.seen) {
        if (c.first == "vltApi_Clb_Patches") {
            EXPECT_EQ(c.second.value("result").toInt(), 0);
        }
    }
    EXPECT_EQ(units.subscription(k_rqa1, 1), std::string("03@") + k_ktv);
    EXPECT_EQ(units.subscription(k_rqa1, 2), std::string("04@") + k_ktv);
    const size_t lists = got.count("vltApi_Patches");
    ASSERT_TRUE(manager->routeGet("vltMngPatch", {{"netVeltoName", QString(k_rqa1)}}));
    ASSERT_TRUE(got.wait("vltApi_Patches", lists + 1));
    const QVariantList read = got.last("vltApi_Patches").value("rxChPatch").toList();
    ASSERT_EQ(read.size(), 2);
    EXPECT_EQ(read[1].toMap().value("netVeltoName").toString(), k_ktv);
    EXPECT_EQ(read[1].toMap().value("isPatch").toInt(), 4);

    // The interface change restarts the layer on the new interface; a new browse finds every unit.
    ASSERT_TRUE(manager->routeSet("veltoSetIf", {{"ifName", "Ethernet 2"}, {"macAddress", "02:00:00:00:00:02"}}));
    ASSERT_TRUE(got.wait("vltApi_Clb_Nic_Select", 1, [](const QVariantMap &info) {
        return info.value("macAddress").toString() == "02:00:00:00:00:02";
    }));
    ASSERT_TRUE(inits.wait(2));
    ASSERT_TRUE(manager->routeSet("vltMngConnect", {{"connect", false}}));
    ASSERT_TRUE(browse());

    EXPECT_TRUE(manager->terminateApi());
    EXPECT_FALSE(wfa_is_started());
}

// Stopping while the worker is busy reporting: browsing and an Apply in flight, the Qt thread
// reading the table meanwhile; then started again on the same manager, and at last the manager
// deleted in the middle of the same, as when the program quits.
TEST_F(ManagerOverWrapper, StopInTheMiddleOfReportsAndStartAgain)
{
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(round == 0 ? manager->initApi() : manager->reinitApi());
        ASSERT_TRUE(inits.wait(round + 1));
        ASSERT_TRUE(browse());
        for (int rx : {1, 2})
            EXPECT_TRUE(manager->routeSet("veltoPatchClear", unit(rx, "RQA-310")));
        ASSERT_TRUE(manager->routeSet("vltMngConnect", {{"connect", false}}));
        ASSERT_TRUE(manager->routeSet("vltMngConnect", {{"connect", true}}));
        devices();
        if (round == 0)
            EXPECT_TRUE(manager->terminateApi());
        else
            manager.reset();
        EXPECT_FALSE(wfa_is_started());
        callbacks::pump([] { return true; });
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
