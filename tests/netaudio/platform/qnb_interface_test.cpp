#include "netaudio/platform/qnb_interface.h"
#include "tests/support/quoting.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A described machine: a sysfs tree in a temporary directory and the address list getifaddrs
// would give.
struct fake_interface {
    std::string name;
    unsigned flags;
    const char *address;    // null: no IPv4 address
    const char *netmask;
    int packet_index;       // 0: no link-layer entry
};

std::deque<fake_interface> g_interfaces;
int g_getifaddrs_errno = 0;

struct entry_storage {
    ifaddrs entry{};
    sockaddr_in address{};
    sockaddr_in netmask{};
    sockaddr_ll link{};
    std::string name;
};
std::deque<entry_storage> g_storage;

int fake_getifaddrs(ifaddrs **out)
{
    if (g_getifaddrs_errno != 0) {
        errno = g_getifaddrs_errno;
        return -1;
    }
    g_storage.clear();
    for (const fake_interface &f : g_interfaces) {
        if (f.packet_index != 0) {
            g_storage.emplace_back();
            entry_storage &s = g_storage.back();
            s.name = f.name;
            s.link.sll_family = AF_PACKET;
            s.link.sll_ifindex = f.packet_index;
            s.entry.ifa_addr = reinterpret_cast<sockaddr *>(&s.link);
        }
        if (f.address != nullptr) {
            g_storage.emplace_back();
            entry_storage &s = g_storage.back();
            s.name = f.name;
            s.address.sin_family = AF_INET;
            inet_pton(AF_INET, f.address, &s.address.sin_addr);
            s.netmask.sin_family = AF_INET;
            inet_pton(AF_INET, f.netmask, &s.netmask.sin_addr);
            s.entry.ifa_addr = reinterpret_cast<sockaddr *>(&s.address);
            s.entry.ifa_netmask = reinterpret_cast<sockaddr *>(&s.netmask);
        }
        if (f.packet_index == 0 && f.address == nullptr) {
            g_storage.emplace_back();
            g_storage.back().name = f.name;
        }
    }
    ifaddrs *next = nullptr;
    for (auto it = g_storage.rbegin(); it != g_storage.rend(); ++it) {
        for (const fake_interface &f : g_interfaces) {
            if (f.name == it->name) {
                it->entry.ifa_flags = f.flags;
            }
        }
        it->entry.ifa_name = const_cast<char *>(it->name.c_str());
        it->entry.ifa_next = next;
        next = &it->entry;
    }
    *out = next;
    return 0;
}

void fake_freeifaddrs(ifaddrs *) {}

class InterfaceList : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qnb_interface_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        g_interfaces.clear();
        g_getifaddrs_errno = 0;
        qnb_interface_set_source(root.c_str(), fake_getifaddrs, fake_freeifaddrs);
    }
    void TearDown() override
    {
        qnb_interface_set_source(nullptr, nullptr, nullptr);
        std::string cmd = "rm -rf " + qz_test::shellQuoted(root);
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    void mkdirs(const std::string &path)
    {
        std::string cmd = "mkdir -p " + qz_test::shellQuoted(root + "/" + path);
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    void write(const std::string &path, const std::string &text)
    {
        std::ofstream(root + "/" + path) << text;
    }
    // /sys/class/net/<name> as a link to its device directory, as the kernel lays it out.
    void sys_interface(const std::string &name, const std::string &device_dir, int index, int type,
                       const std::string &mac, const char *speed)
    {
        std::string dir = "sys/devices/" + device_dir + "/net/" + name;
        mkdirs(dir);
        mkdirs("sys/class/net");
        ASSERT_EQ(symlink(("../../devices/" + device_dir + "/net/" + name).c_str(),
                          (root + "/sys/class/net/" + name).c_str()),
                  0);
        write(dir + "/ifindex", std::to_string(index) + "\n");
        write(dir + "/type", std::to_string(type) + "\n");
        write(dir + "/address", mac + "\n");
        if (speed != nullptr) {
            write(dir + "/speed", std::string(speed) + "\n");
        }
    }

    void describe_machine()
    {
        const unsigned up = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
        sys_interface("eth0", "pci0000:00/0000:00:1f.6", 2, 1, "02:51:5a:0a:0b:0c", "1000");
        sys_interface("wlan0", "pci0000:00/0000:00:14.3", 3, 1, "a0:b1:c2:d3:e4:f5", "-1");
        mkdirs("sys/devices/pci0000:00/0000:00:14.3/net/wlan0/phy80211");
        sys_interface("docker0", "virtual", 4, 1, "02:42:00:00:00:01", "10000");
        sys_interface("lo", "virtual", 1, 772, "00:00:00:00:00:00", nullptr);
        sys_interface("bnep0", "pci0000:00/usb1/bluetooth/hci0", 6, 1, "11:22:33:44:55:66", nullptr);
        write("sys/devices/pci0000:00/usb1/bluetooth/hci0/net/bnep0/uevent", "DEVTYPE=bluetooth\nINTERFACE=bnep0\n");
        sys_interface("fw0", "pci0000:00/firewire", 7, 24, "00:00:00:00:00:00", nullptr);
        mkdirs("proc/net");
        write("proc/net/route",
              "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
              "eth0\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
              "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n");
        mkdirs("etc");
        write("etc/resolv.conf", "# comment\nsearch corp.example other.example\nnameserver 192.168.1.53\n"
                                 "nameserver 10.0.0.53\n");
        g_interfaces = {
            {"lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, "127.0.0.1", "255.0.0.0", 1},
            {"eth0", up, "192.168.1.10", "255.255.255.0", 2},
            {"wlan0", IFF_UP | IFF_MULTICAST, nullptr, nullptr, 3},
            {"docker0", up, "172.17.0.1", "255.255.0.0", 4},
            {"bnep0", up, nullptr, nullptr, 6},
            {"fw0", up, nullptr, nullptr, 7},
            {"big0", up, "10.9.9.9", "255.255.255.255", 70000}, // no sysfs entry at all
        };
    }

    std::string root;
};

std::string name_of(const qnb_interface &i)
{
    std::string s;
    for (const char16_t *p = i.name; *p != 0; p++) {
        s += static_cast<char>(*p);
    }
    return s;
}

std::string text_of(const qnb_sockaddr &a)
{
    char buffer[INET_ADDRSTRLEN] = "";
    if (a.length != 0) {
        inet_ntop(AF_INET, &a.sin.sin_addr, buffer, sizeof buffer);
    }
    return buffer;
}

TEST_F(InterfaceList, ClassifiesAndSortsByKindThenIndex)
{
    describe_machine();
    qnb_interface *list = nullptr;
    size_t count = 0;
    ASSERT_EQ(qnb_interface_list_with_env(nullptr, &list, &count), QNB_ERR_SUCCESS);
    ASSERT_EQ(count, 7u);
    struct expected {
        const char *name;
        uint32_t kind;
        uint32_t index;
    } rows[] = {
        {"eth0", QNB_INTERFACE_WIRED, 2},       {"big0", QNB_INTERFACE_WIRED, 70000},
        {"lo", QNB_INTERFACE_LOOPBACK, 1},      {"wlan0", QNB_INTERFACE_WIRELESS, 3},
        {"docker0", QNB_INTERFACE_VIRTUAL, 4},  {"fw0", QNB_INTERFACE_IEEE1394, 7},
        {"bnep0", QNB_INTERFACE_BLUETOOTH, 6},
    };
    for (size_t i = 0; i < count; i++) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(name_of(list[i]), rows[i].name);
        EXPECT_STREQ(list[i].adapter_name, rows[i].name);
        EXPECT_EQ(list[i].kind, rows[i].kind);
        EXPECT_EQ(list[i].index, rows[i].index);
    }
    std::free(list);
}

TEST_F(InterfaceList, FillsTheRecordFields)
{
    describe_machine();
    qnb_interface *list = nullptr;
    size_t count = 0;
    ASSERT_EQ(qnb_interface_list_with_env(nullptr, &list, &count), QNB_ERR_SUCCESS);
    const qnb_interface &eth = list[0];
    const uint8_t mac[6] = {0x02, 0x51, 0x5a, 0x0a, 0x0b, 0x0c};
    EXPECT_EQ(std::memcmp(eth.mac, mac, 6), 0);
    EXPECT_EQ(text_of(eth.address), "192.168.1.10");
    EXPECT_EQ(eth.address.length, 16);
    EXPECT_EQ(text_of(eth.netmask), "255.255.255.0");
    EXPECT_EQ(eth.link_speed, 1000u);
    EXPECT_EQ(eth.up, 1u);
    EXPECT_EQ(eth.multicast, 1u);
    EXPECT_EQ(eth.loopback, 0u);
    EXPECT_EQ(text_of(eth.gateway), "192.168.1.1");
    EXPECT_EQ(text_of(eth.dns_server), "192.168.1.53");
    EXPECT_STREQ(eth.dns_suffix, "corp.example");
    EXPECT_EQ(eth.pktinfo_index, 2u);

    const qnb_interface &big = list[1];
    EXPECT_EQ(big.pktinfo_index, 70000u & 0xFFFFu);
    EXPECT_EQ(text_of(big.netmask), "255.255.255.255");
    EXPECT_EQ(text_of(big.gateway), "");

    const qnb_interface &lo = list[2];
    EXPECT_EQ(lo.loopback, 1u);
    EXPECT_EQ(lo.multicast, 0u);
    EXPECT_EQ(text_of(lo.netmask), "255.0.0.0");

    const qnb_interface &wlan = list[3];
    EXPECT_EQ(wlan.up, 0u) << "not running";
    EXPECT_EQ(wlan.link_speed, 0u);
    EXPECT_EQ(wlan.address.length, 0) << "no IPv4 address: unset";
    EXPECT_EQ(text_of(wlan.netmask), "");
    std::free(list);
}

TEST_F(InterfaceList, Lookups)
{
    describe_machine();
    qnb_interface record;
    ASSERT_EQ(qnb_interface_get_by_index(&record, 3), QNB_ERR_SUCCESS);
    EXPECT_EQ(name_of(record), "wlan0");
    EXPECT_EQ(qnb_interface_get_by_index(nullptr, 4), QNB_ERR_SUCCESS);
    EXPECT_EQ(qnb_interface_get_by_index(&record, 99), QNB_ERR_NOTFOUND);
    ASSERT_EQ(qnb_interface_get_loopback(&record), QNB_ERR_SUCCESS);
    EXPECT_EQ(record.index, 1u);
    EXPECT_EQ(qnb_interface_get_loopback(nullptr), QNB_ERR_INVALIDPARAMETER);

    qnb_interface_resolve_entry entries[4] = {};
    const char16_t eth0[] = u"eth0";
    const char16_t eth[] = u"ETH0";
    std::memcpy(entries[0].name, eth0, sizeof eth0);
    entries[0].flags = QNB_INTERFACE_RESOLVE_BY_NAME;
    std::memcpy(entries[1].name, eth, sizeof eth);
    entries[1].flags = QNB_INTERFACE_RESOLVE_BY_NAME;
    entries[2].index = 4;
    entries[2].flags = QNB_INTERFACE_RESOLVE_BY_INDEX;
    entries[3].index = 42;
    entries[3].flags = QNB_INTERFACE_RESOLVE_BY_INDEX;
    ASSERT_EQ(qnb_interface_resolve(nullptr, entries, 4), QNB_ERR_SUCCESS);
    EXPECT_EQ(entries[0].flags, static_cast<uint32_t>(QNB_INTERFACE_RESOLVE_FOUND));
    EXPECT_EQ(entries[0].index, 2u);
    EXPECT_EQ(entries[1].flags, 0u) << "names compare with case";
    EXPECT_EQ(entries[2].flags, static_cast<uint32_t>(QNB_INTERFACE_RESOLVE_FOUND));
    EXPECT_EQ(std::u16string(entries[2].name), u"docker0");
    EXPECT_EQ(entries[3].flags, 0u);
    EXPECT_EQ(qnb_interface_resolve(nullptr, entries, 0), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(qnb_interface_resolve(nullptr, nullptr, 1), QNB_ERR_INVALIDPARAMETER);
}

TEST_F(InterfaceList, EmptyMachineAndFailures)
{
    qnb_interface *list = reinterpret_cast<qnb_interface *>(1);
    size_t count = 5;
    ASSERT_EQ(qnb_interface_list_with_env(nullptr, &list, &count), QNB_ERR_SUCCESS);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(count, 0u);
    qnb_interface record;
    EXPECT_EQ(qnb_interface_get_loopback(&record), QNB_ERR_NOTFOUND);
    qnb_interface_resolve_entry entry = {};
    entry.flags = QNB_INTERFACE_RESOLVE_BY_INDEX;
    EXPECT_EQ(qnb_interface_resolve(nullptr, &entry, 1), QNB_ERR_NOTFOUND);

    EXPECT_EQ(qnb_interface_list_with_env(nullptr, nullptr, &count), QNB_ERR_INVALIDPARAMETER);
    g_getifaddrs_errno = ENOMEM;
    EXPECT_EQ(qnb_interface_list_with_env(nullptr, &list, &count), QNB_ERR_NOMEMORY);
}

TEST_F(InterfaceList, NamesAreConvertedToUtf16AndCut)
{
    const unsigned up = IFF_UP | IFF_RUNNING;
    std::string long_name(70, 'x');
    g_interfaces = {
        {"caf\xc3\xa9", up, nullptr, nullptr, 10},
        {"bad\xff" "tail", up, nullptr, nullptr, 11},
        {long_name, up, nullptr, nullptr, 12},
        {"../etc", up, nullptr, nullptr, 13},
    };
    qnb_interface *list = nullptr;
    size_t count = 0;
    ASSERT_EQ(qnb_interface_list_with_env(nullptr, &list, &count), QNB_ERR_SUCCESS);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(std::u16string(list[0].name), u"caf\u00e9");
    EXPECT_EQ(std::u16string(list[1].name), u"bad") << "stops before a byte that does not decode";
    EXPECT_EQ(std::u16string(list[2].name).size(), 63u);
    EXPECT_EQ(list[3].kind, static_cast<uint32_t>(QNB_INTERFACE_WIRED)) << "never looked up outside sysfs";
    std::free(list);
}

TEST(InterfaceNetmask, PrefixLengths)
{
    struct row {
        unsigned prefix;
        const char *mask;
    } rows[] = {{0, "0.0.0.0"}, {1, "128.0.0.0"}, {24, "255.255.255.0"}, {31, "255.255.255.254"},
                {32, "255.255.255.255"}, {40, "255.255.255.255"}};
    for (const row &r : rows) {
        in_addr a;
        a.s_addr = qnb_interface_netmask_from_prefix(r.prefix);
        char text[INET_ADDRSTRLEN];
        EXPECT_STREQ(inet_ntop(AF_INET, &a, text, sizeof text), r.mask) << r.prefix;
    }
}

TEST(InterfaceSystem, TheRealListHasALoopback)
{
    qnb_interface record;
    ASSERT_EQ(qnb_interface_get_loopback(&record), QNB_ERR_SUCCESS);
    EXPECT_EQ(record.kind, static_cast<uint32_t>(QNB_INTERFACE_LOOPBACK));
    EXPECT_EQ(text_of(record.address), "127.0.0.1");
}

TEST(Getaddrinfo, ResolvesIpv4Only)
{
    qnb_sockaddr out;
    ASSERT_EQ(qnb_getaddrinfo(&out, 0, "127.0.0.1", "8900"), QNB_ERR_SUCCESS);
    EXPECT_EQ(out.length, 16);
    EXPECT_EQ(out.sin.sin_family, AF_INET);
    EXPECT_EQ(ntohs(out.sin.sin_port), 8900);
    EXPECT_EQ(text_of(out), "127.0.0.1");
    ASSERT_EQ(qnb_getaddrinfo(&out, AF_INET, "127.0.0.2", nullptr), QNB_ERR_SUCCESS);
    EXPECT_EQ(text_of(out), "127.0.0.2");
    EXPECT_EQ(qnb_getaddrinfo(&out, 0, "::1", "1"), QNB_ERR_NODATA) << "no IPv4 result";
    EXPECT_EQ(qnb_getaddrinfo(&out, AF_INET6, "::1", "1"), QNB_ERR_NOTSUPPORTED);
    EXPECT_EQ(qnb_getaddrinfo(&out, 0, "127.0.0.1", "no-such-service-name"), QNB_ERR_NOTFOUND);
    EXPECT_EQ(qnb_getaddrinfo(nullptr, 0, "127.0.0.1", "1"), QNB_ERR_INVALIDPARAMETER);
}

} // namespace
