// Browsing against a real avahi-daemon (started by avahi-netns.sh in a private network namespace):
// services registered here through DNS-SD with the TXT keys of the network-audio service types are
// found, resolved and reported by the browse object, and reported removed when withdrawn.
#include <dns_sd.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "netaudio/discovery/wb_browse.h"
#include "netaudio/platform/qnb_interface.h"
#include "tests/integration/avahi_support.h"

namespace {

using qz_integration::registration;
using qz_integration::txt;

struct device_state {
    uint32_t flags = 0;
    int added = 0, changed = 0, removed = 0;
};

class AvahiBrowse : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(wb_browse_new(nullptr, WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_CONMON_DEVICE | WB_BROWSE_SAFE_MODE,
                                &browse),
                  QNB_ERR_SUCCESS);
        wb_browse_set_context(browse, this);
        wb_browse_set_event_callback(browse, on_event);
        wb_browse_config config;
        wb_browse_config_init(&config);
        config.resolve_timeout_sec = 10;
        ASSERT_EQ(wb_browse_start_config(browse, &config), QNB_ERR_SUCCESS);
    }
    void TearDown() override { wb_browse_delete(browse); }

    static void on_event(wb_browse *b, const wb_browse_event *event, uint32_t action)
    {
        if (event->kind != WB_EVENT_DEVICE) {
            return;
        }
        auto *self = static_cast<AvahiBrowse *>(wb_browse_get_context(b));
        auto *d = static_cast<const wb_device *>(event->record);
        device_state &s = self->devices[d->name];
        s.flags = d->flags.combined;
        (action == WB_ACTION_ADDED ? s.added : action == WB_ACTION_CHANGED ? s.changed : s.removed)++;
    }

    // Runs the owner's loop (and the registrations' replies) until `done` or 15 s.
    bool run_until(const std::function<bool()> &done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (std::chrono::steady_clock::now() < end) {
            qnb_socket_set set;
            qnb_socket_set_clear(&set);
            EXPECT_EQ(wb_browse_get_fdset(browse, &set), QNB_ERR_SUCCESS);
            for (registration *r : registrations) {
                r->add_to(&set);
            }
            unsigned ready = 0;
            qnb_socket_set_wait(&set, 50, &ready);
            for (registration *r : registrations) {
                r->process_if_ready(&set);
            }
            qnb_timeval deadline;
            wb_browse_process_fdset(browse, &set, &deadline);
            if (done()) {
                return true;
            }
        }
        return false;
    }

    wb_browse *browse = nullptr;
    std::map<std::string, device_state> devices;
    std::vector<registration *> registrations;
};

TEST_F(AvahiBrowse, FindsResolvesAndLosesADevice)
{
    registration media("qz-dev1", "_netaudio-arc._udp", 4440,
                       txt({"arcp_vers=2.1", "arcp_min=1.0", "router_vers=4.0.2", "router_info=integration",
                            "mf=maker", "model=_0102"}));
    registrations = {&media};
    ASSERT_TRUE(media.ok());
    ASSERT_TRUE(run_until([&] { return devices["qz-dev1"].added == 1; })) << "media device not found";
    EXPECT_EQ(devices["qz-dev1"].flags, static_cast<uint32_t>(WB_BROWSE_MEDIA_DEVICE));

    registration conmon("qz-dev1", "_netaudio-cmc._udp", 8800,
                        txt({"id=02515afffe000001", "process=2", "vid=vendor", "vba=10.0.0.1", "channels=40"}));
    registrations.push_back(&conmon);
    ASSERT_TRUE(conmon.ok());
    ASSERT_TRUE(run_until([&] { return devices["qz-dev1"].flags == (WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_CONMON_DEVICE); }))
        << "conmon service not merged into the device";
    EXPECT_EQ(devices["qz-dev1"].added, 1);
    EXPECT_GE(devices["qz-dev1"].changed, 1);

    const wb_device *d = wb_device_table_find(browse->table, "qz-dev1");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->media.port, 4440);
    EXPECT_EQ(d->media.arcp_vers.major, 2);
    EXPECT_EQ(d->media.arcp_vers.minor, 1);
    EXPECT_EQ(d->media.router_vers.bugfix, 2);
    EXPECT_STREQ(d->media.router_info, "integration");
    EXPECT_EQ(d->media.model[1], 0x02);
    EXPECT_EQ(d->conmon.port, 8800);
    EXPECT_EQ(d->conmon.id.id[7], 0x01);
    EXPECT_EQ(d->conmon.id.process, 2);
    EXPECT_EQ(d->conmon.vba[0], 10);
    EXPECT_STREQ(d->host_label, "qz-integration");
    qnb_interface lo;
    ASSERT_EQ(qnb_interface_get_loopback(&lo), QNB_ERR_SUCCESS);
    EXPECT_EQ(d->flags.combined & WB_BROWSE_MEDIA_DEVICE, static_cast<uint32_t>(WB_BROWSE_MEDIA_DEVICE));

    conmon.withdraw();
    ASSERT_TRUE(run_until([&] { return devices["qz-dev1"].flags == WB_BROWSE_MEDIA_DEVICE; }))
        << "withdrawn conmon service still reported";
    EXPECT_EQ(devices["qz-dev1"].removed, 0);
    media.withdraw();
    ASSERT_TRUE(run_until([&] { return devices["qz-dev1"].removed == 1; })) << "device not reported removed";
    EXPECT_EQ(wb_device_table_find(browse->table, "qz-dev1"), nullptr);
}

TEST_F(AvahiBrowse, SafeModeDevicesAndInvalidAdvertisements)
{
    registration safe("qz-safe", "_velto-safe._udp", 0, txt({"safe=3", "id=02515afffe0000aa", "process=9"}));
    registration bad("name.with@odd=chars-but-far-too-long-for-a-device", "_netaudio-arc._udp", 4440, txt({}));
    registrations = {&safe, &bad};
    ASSERT_TRUE(safe.ok());
    ASSERT_TRUE(bad.ok());
    ASSERT_TRUE(run_until([&] { return devices["qz-safe"].added == 1; }));
    const wb_device *d = wb_device_table_find(browse->table, "qz-safe");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->safe.value, 3);
    EXPECT_EQ(d->safe.id.id[7], 0xaa);
    EXPECT_EQ(d->safe.id.process, 9);
    EXPECT_EQ(browse->table->count, 1u) << "an over-long name is never added";
}

} // namespace
