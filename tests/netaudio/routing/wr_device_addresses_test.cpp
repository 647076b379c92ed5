// Resolving a routing device opened by name, through the scripted DNS-SD fake: the loopback
// answer, the address query for another host, the interface rule, the TXT version keys, safe
// mode, and the retry of a failed resolve on the fake clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_clock.h"

namespace {

const char *kName = "T001-KTV4S-0001-QZ";
const char *kType = "_netaudio-arc._udp";

void on_changed(wr_device *device, uint32_t bits)
{
    static_cast<std::vector<uint32_t> *>(wr_device_get_context(device))->push_back(bits);
}

class RoutingResolve : public ::testing::Test {
protected:
    void SetUp() override
    {
        dnssd_fake::reset();
        ASSERT_EQ(wr_devices_new(nullptr, &devices), 0);
        ASSERT_TRUE(devices->have_loopback);
    }

    void TearDown() override
    {
        if (device)
            wr_device_close(device);
        EXPECT_EQ(wr_devices_delete(devices), 0);
        EXPECT_EQ(dnssd_fake::live_references(), 0u);
        dnssd_fake::reset();
    }

    void announce(uint32_t interface_index, std::vector<std::string> txt, const std::string &host = "dev.local")
    {
        dnssd_fake::announce({kType, kName, interface_index, host, 4455, dnssd_fake::txt(txt)});
    }

    void open()
    {
        ASSERT_EQ(wr_device_open(devices, kName, &device), 0);
        wr_device_set_context(device, &changes);
        wr_device_set_changed_callback(device, on_changed);
    }

    void process()
    {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        wr_devices_get_sockets(devices, &set);
        unsigned ready = 0;
        qnb_socket_set_wait(&set, 0, &ready);
        wr_devices_process(devices, &set);
    }

    uint32_t lo() const { return devices->loopback.index; }

    qz_test::fake_clock clock;
    wr_devices *devices = nullptr;
    wr_device *device = nullptr;
    std::vector<uint32_t> changes;
};

TEST_F(RoutingResolve, AnAnswerOnLoopbackResolvesAtOnceWithTheLoopbackAddress)
{
    announce(lo(), {"arcp_vers=2.7.41", "router_vers=4.0.2"});
    open();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);
    auto resolves = dnssd_fake::live_resolves();
    ASSERT_EQ(resolves.size(), 1u);
    EXPECT_EQ(resolves[0].name, kName);
    EXPECT_EQ(resolves[0].interface_index, 0u);
    ASSERT_EQ(dnssd_fake::answer_resolves(kType, kName), 1);
    process();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVED);
    const wr_device_address &e = device->addresses->entries[0];
    EXPECT_EQ(e.address.sin.sin_addr.s_addr, devices->loopback.address.sin.sin_addr.s_addr);
    EXPECT_EQ(qnb_sockaddr_get_port(&e.address), 4455);
    EXPECT_EQ(device->arcp_version, 0x2729);
    EXPECT_EQ(device->router_version.major, 4);
    EXPECT_EQ(device->router_version.patch, 2);
    EXPECT_EQ(changes, (std::vector<uint32_t>{WR_CHANGE_ADDRESSES | WR_CHANGE_STATE}));
    EXPECT_EQ(dnssd_fake::live_references(), 0u); // no address query
}

TEST_F(RoutingResolve, AnotherHostIsQueriedForItsAddressOnTheInterfaceOfTheFirstAnswer)
{
    const uint32_t eth = lo() + 10, other = lo() + 11;
    announce(eth, {"arcp_vers=2.8.0", "router_vers=3.1.0"});
    open();
    ASSERT_EQ(dnssd_fake::answer_resolves(kType, kName), 1);
    process();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);
    EXPECT_STREQ(device->addresses->entries[0].host_target, "dev.local");
    EXPECT_EQ(dnssd_fake::live_references(), 1u); // the A query
    // An answer from a second interface is not for this device.
    dnssd_fake::answer_queries("dev.local", other, htonl(0x0A000005));
    process();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);
    dnssd_fake::answer_queries("dev.local", eth, htonl(0x0A000007));
    process();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVED);
    const wr_device_address &e = device->addresses->entries[0];
    EXPECT_EQ(e.address.sin.sin_addr.s_addr, htonl(0x0A000007));
    EXPECT_EQ(qnb_sockaddr_get_port(&e.address), 4455);
    // A newer device is still written to in the newest version this client speaks.
    EXPECT_EQ(device->arcp_version, 0x2800);
    EXPECT_EQ(wr_device_protocol_version(device), 0x2729);
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
}

TEST_F(RoutingResolve, VersionKeysOfTheTxtRecord)
{
    struct {
        std::vector<std::string> txt;
        qnb_error result;
        uint16_t arcp;
        uint8_t router_major;
    } cases[] = {
        {{"arcp_vers=2.7.41", "router_vers=4.0.2"}, 0, 0x2729, 4},
        {{"arcp_vers=2.7.41"}, QNB_ERR_NOTFOUND, 0x2729, 0},        // arcp kept without router_vers
        {{"arcp_vers=2.5.0", "router_vers=0.1.0"}, QNB_ERR_NOTFOUND, 0x2500, 0}, // major 0
        {{"router_vers=4.0.2"}, QNB_ERR_NOTFOUND, 0x1111, 0},
        {{"arcp_vers=", "router_vers=4.0.2"}, QNB_ERR_NOTFOUND, 0x1111, 0},
        {{"arcp_vers=two", "router_vers=4.0.2"}, QNB_ERR_NOTFOUND, 0x1111, 0},
    };
    wr_device d;
    for (auto &k : cases) {
        memset(&d, 0, sizeof d);
        d.arcp_version = 0x1111;
        std::string txt = dnssd_fake::txt(k.txt);
        EXPECT_EQ(wr_device_extract_arcp_info(&d, uint16_t(txt.size()), txt.data()), k.result) << k.txt[0];
        EXPECT_EQ(d.arcp_version, k.arcp) << k.txt[0];
        EXPECT_EQ(d.router_version.major, k.router_major) << k.txt[0];
    }
}

TEST_F(RoutingResolve, SafeModeLeavesTheVersionKeysUnread)
{
    announce(lo(), {"arcp_vers=2.5.0", "router_vers=4.0.2", "safe"});
    open();
    ASSERT_EQ(dnssd_fake::answer_resolves(kType, kName), 1);
    process();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVED);
    EXPECT_TRUE(device->safe_mode);
    EXPECT_EQ(device->arcp_version, 0x2729);
}

TEST_F(RoutingResolve, AFailedResolveIsStartedAgainAfterADelay)
{
    announce(lo(), {"arcp_vers=2.7.41", "router_vers=4.0.2"});
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::fail);
    open();
    process();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    qnb_timeval due;
    ASSERT_TRUE(wr_devices_next_deadline(devices, &due));
    EXPECT_EQ(due.tv_sec, clock.now().tv_sec + WR_RESOLVE_RETRY_S);
    EXPECT_EQ(devices->address_retries, 1u); // what lets the deadline skip the device walk otherwise
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::answer);
    clock.advance(WR_RESOLVE_RETRY_S - 1);
    process();
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    clock.advance(1);
    process();
    ASSERT_EQ(dnssd_fake::live_references(), 1u);
    process();
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVED);
    EXPECT_EQ(devices->address_retries, 0u);
}

TEST_F(RoutingResolve, OpeningFailsWhenNoResolveCanStart)
{
    dnssd_fake::fail_next_resolve(-65537);
    wr_device *d = nullptr;
    EXPECT_EQ(wr_device_open(devices, kName, &d), QNB_ERR_NOTFOUND);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(devices->devices.count, 0u);
}

TEST_F(RoutingResolve, InterfaceEntriesFilledFromTheInterfaceListEachGetAResolve)
{
    // Expected from this machine's own list: its first two interfaces other than loopback that
    // are up.
    qnb_interface *list = nullptr;
    size_t n = 0;
    ASSERT_EQ(qnb_interface_list_with_env(nullptr, &list, &n), 0);
    std::vector<uint32_t> expected;
    size_t considered = 0;
    for (size_t i = 0; i < n && considered < 2; ++i) {
        if (list[i].loopback)
            continue;
        ++considered;
        if (list[i].up && list[i].index)
            expected.push_back(list[i].index);
    }
    free(list);
    wr_device_config cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.name = kName;
    cfg.count = 2;
    cfg.flags = WR_CONFIG_INTERFACES;
    qnb_error err = wr_device_open_with_config(devices, &cfg, &device);
    if (expected.empty()) {
        EXPECT_EQ(err, QNB_ERR_NOTFOUND);
        return;
    }
    ASSERT_EQ(err, 0);
    std::vector<uint32_t> asked;
    for (auto &r : dnssd_fake::live_resolves())
        asked.push_back(r.interface_index);
    EXPECT_EQ(asked, expected);
    EXPECT_EQ(wr_device_get_state(device), WR_DEVICE_STATE_RESOLVING);
}

} // namespace
