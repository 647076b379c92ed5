// The browse object following its domain client through the fake domain server: ad hoc, then a
// managed domain (devices from the server's records), a lost and regained connection, the server
// ending the browse, and back to ad hoc.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netaudio/discovery/wb_browse.h"
#include "netaudio/discovery/wb_domain_browse.h"
#include "netaudio/platform/qnb_env.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_domain_server.h"

namespace {

const uint8_t k_managed[DOMAIN_ID_SIZE] = {0x22, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t k_adhoc[DOMAIN_ID_SIZE] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct seen {
    uint32_t action;
    std::string name;
    uint32_t flags;
    bool operator==(const seen &o) const
    {
        return action == o.action && name == o.name && flags == o.flags;
    }
};

std::ostream &operator<<(std::ostream &os, const seen &e)
{
    return os << "{" << e.action << " " << e.name << " 0x" << std::hex << e.flags << std::dec << "}";
}

fake_domain_service routing(uint16_t port)
{
    return {"_netaudio-arc._udp", fake_domain_txt({"arcp_vers=2.1", "router_vers=4.0.2", "model=_0102"}), port};
}

fake_domain_service control(uint16_t port)
{
    return {"_netaudio-cmc._udp", fake_domain_txt({"id=02515afffe000001", "process=2"}), port};
}

fake_domain_device device(const std::string &name, std::vector<fake_domain_service> services)
{
    fake_domain_device d;
    d.name = name;
    d.model = "KTV4-S";
    d.services = services;
    return d;
}

struct DomainBrowse : ::testing::Test {
    fake_domain_server server;
    qnb_env env{};
    wb_browse *browse = nullptr;
    std::vector<seen> events;
    int changed = 0;
    int sockets_changed = 0;

    static void on_event(wb_browse *b, const wb_browse_event *e, uint32_t action)
    {
        DomainBrowse *self = static_cast<DomainBrowse *>(wb_browse_get_context(b));
        const wb_device *d = static_cast<const wb_device *>(e->record);
        self->events.push_back({action, d->name, d->flags.network[0]});
    }

    void SetUp() override
    {
        dnssd_fake::reset();
        server.attach(&env);
        ASSERT_EQ(wb_browse_new(&env, WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_CONMON_DEVICE, &browse), 0);
        wb_browse_set_context(browse, this);
        wb_browse_set_event_callback(browse, on_event);
        wb_browse_set_changed_callback(browse, [](wb_browse *b) {
            static_cast<DomainBrowse *>(wb_browse_get_context(b))->changed++;
        });
        wb_browse_set_sockets_changed_callback(browse, [](wb_browse *b) {
            static_cast<DomainBrowse *>(wb_browse_get_context(b))->sockets_changed++;
        });
    }
    void TearDown() override
    {
        wb_browse_delete(browse);
        EXPECT_EQ(server.handler.clients.count, 0u);
        EXPECT_EQ(dnssd_fake::live_references(), 0u);
        dnssd_fake::reset();
    }
    uint32_t state() const
    {
        return browse->domain_browse ? browse->domain_browse->state : 99;
    }
};

TEST_F(DomainBrowse, SwitchesAdHocToManagedAndBack)
{
    ASSERT_NE(browse->adhoc, nullptr) << "the server starts in the ad-hoc network";
    wb_browse_config config;
    wb_browse_config_init(&config);
    ASSERT_EQ(wb_browse_start_config(browse, &config), 0);
    EXPECT_GT(dnssd_fake::live_browses(), 0u);
    server.devices = {device("dev1", {routing(4440), control(8800)}), device("dev2", {routing(4441)})};

    server.set_domain(k_managed, 3, 2);
    EXPECT_EQ(browse->adhoc, nullptr);
    EXPECT_EQ(dnssd_fake::live_browses(), 0u);
    EXPECT_EQ(sockets_changed, 1) << "the ad-hoc browser's sockets are gone";
    EXPECT_EQ(state(), uint32_t(WB_DOMAIN_BROWSE_ACTIVE));
    server.pump();
    ASSERT_EQ(server.open.size(), 1u);
    EXPECT_EQ(events, (std::vector<seen>{{WB_ACTION_ADDED, "dev1", 0x01},
                                         {WB_ACTION_CHANGED, "dev1", 0x05},
                                         {WB_ACTION_ADDED, "dev2", 0x01}}));
    EXPECT_EQ(changed, 2);
    const wb_device *dev1 = wb_device_table_find(browse->table, "dev1");
    ASSERT_NE(dev1, nullptr);
    EXPECT_EQ(dev1->media.port, 4440);
    EXPECT_EQ(dev1->conmon.port, 8800);
    EXPECT_EQ(dev1->media.router_vers.major, 4);

    // Updates: a device gone, a routing service withdrawn (empty TXT) while control stays.
    events.clear();
    server.withdraw("dev2");
    fake_domain_device stripped = device("dev1", {routing(4440), control(8800)});
    stripped.services[0].txt.clear();
    server.publish(stripped);
    server.pump();
    EXPECT_EQ(events, (std::vector<seen>{{WB_ACTION_REMOVED, "dev2", 0}, {WB_ACTION_CHANGED, "dev1", 0x04}}));
    EXPECT_EQ(server.result_statuses, std::vector<uint16_t>(4, 0)) << "every result is acknowledged";

    // The connection drops and returns: the request is cancelled, then sent again. The devices
    // known before are reported removed when the new request empties the table, then found again.
    uint32_t first_request = browse->domain_browse->request_id;
    events.clear();
    server.set_domain(k_managed, 3, 1);
    server.pump();
    EXPECT_EQ(state(), uint32_t(WB_DOMAIN_BROWSE_WANTED));
    EXPECT_EQ(server.cancelled, (std::vector<uint32_t>{first_request}));
    EXPECT_TRUE(events.empty());
    server.set_domain(k_managed, 3, 2);
    server.pump();
    EXPECT_EQ(state(), uint32_t(WB_DOMAIN_BROWSE_ACTIVE));
    ASSERT_EQ(server.open.size(), 1u);
    EXPECT_EQ(events, (std::vector<seen>{{WB_ACTION_REMOVED, "dev1", 0x04}, {WB_ACTION_ADDED, "dev1", 0x04}}));

    // The server ends the browse: every device is reported removed, and the browser waits.
    events.clear();
    server.finish(server.open[0].request_id);
    server.pump();
    EXPECT_EQ(events, (std::vector<seen>{{WB_ACTION_REMOVED, "dev1", 0x04}}));
    EXPECT_EQ(state(), uint32_t(WB_DOMAIN_BROWSE_WANTED));
    wb_browse_stop(browse);
    EXPECT_EQ(state(), uint32_t(WB_DOMAIN_BROWSE_IDLE)) << "a stop after the server's end works";
    ASSERT_EQ(wb_browse_start_config(browse, &config), 0);
    server.pump();
    EXPECT_EQ(state(), uint32_t(WB_DOMAIN_BROWSE_ACTIVE));
    EXPECT_EQ(browse->table->count, 1u);

    // Back to the ad-hoc network: removals, the open request cancelled, DNS-SD browsing again.
    events.clear();
    size_t cancels = server.cancelled.size();
    server.set_domain(k_adhoc, 3, 2);
    server.pump();
    EXPECT_EQ(events, (std::vector<seen>{{WB_ACTION_REMOVED, "dev1", 0x04}}));
    EXPECT_EQ(server.cancelled.size(), cancels + 1);
    EXPECT_EQ(browse->domain_browse, nullptr);
    ASSERT_NE(browse->adhoc, nullptr);
    EXPECT_GT(dnssd_fake::live_browses(), 0u);
    EXPECT_EQ(sockets_changed, 2);
    EXPECT_TRUE(server.open.empty());
}

TEST_F(DomainBrowse, AManagedDomainThatIsNotUsableLeavesTheBrowserWaiting)
{
    struct row {
        const char *what;
        uint32_t flags;
        uint32_t connection;
        uint32_t state;
    } rows[] = {
        {"connected, flags 3", 3, 2, WB_DOMAIN_BROWSE_ACTIVE},
        {"connected, flags 2", 2, 2, WB_DOMAIN_BROWSE_ACTIVE},
        {"connected, flags 1", 1, 2, WB_DOMAIN_BROWSE_WANTED},
        {"not connected", 3, 1, WB_DOMAIN_BROWSE_WANTED},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        server.set_domain(k_managed, r.flags, r.connection);
        wb_browse_config config;
        wb_browse_config_init(&config);
        ASSERT_EQ(wb_browse_start_config(browse, &config), 0);
        EXPECT_EQ(state(), r.state);
        server.pump();
        EXPECT_EQ(server.open.size(), r.state == WB_DOMAIN_BROWSE_ACTIVE ? 1u : 0u);
        EXPECT_EQ(wb_domain_browse_start(browse->domain_browse, nullptr), QNB_ERR_INVALIDPARAMETER);
        wb_domain_browse_params params{};
        EXPECT_EQ(wb_domain_browse_start(browse->domain_browse, &params), QNB_ERR_INVALIDSTATE);
        wb_browse_stop(browse);
        server.pump();
        EXPECT_TRUE(server.open.empty());
    }
}

} // namespace
