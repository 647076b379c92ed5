// The browse object end to end over the scripted DNS-SD backend: advertisements, resolves, the
// device table's events, the resolve queues and deadlines, and the sockets an owner must watch.
#include "netaudio/discovery/wb_browse.h"
#include "netaudio/discovery/wb_domain_browse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "netaudio/discovery/wb_adhoc_browse.h"
#include "netaudio/discovery/wt_dnssd.h"
#include "netaudio/platform/qnb_interface.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_clock.h"

namespace {

const char k_media[] = "_netaudio-arc._udp";
const char k_chan[] = "_netaudio-chan._udp";
const char k_conmon[] = "_netaudio-cmc._udp";
const char k_safe[] = "_velto-safe._udp";
const uint32_t k_wire = 5;

struct seen_event {
    uint32_t kind;
    uint32_t action;
    std::string name;
    uint32_t flags;
    bool operator==(const seen_event &o) const
    {
        return kind == o.kind && action == o.action && name == o.name && flags == o.flags;
    }
};

std::ostream &operator<<(std::ostream &os, const seen_event &e)
{
    return os << "{kind " << e.kind << ", action " << e.action << ", " << e.name << ", flags 0x" << std::hex
              << e.flags << std::dec << "}";
}

dnssd_fake::service media(const std::string &name, uint32_t interface_index, uint16_t port = 4440)
{
    return {k_media, name, interface_index, name + "-host.local", port,
            dnssd_fake::txt({"arcp_vers=2.1", "arcp_min=1.0", "router_vers=4.0.2", "router_info=ok", "mf=maker",
                             "model=_0102"})};
}

dnssd_fake::service conmon(const std::string &name, uint32_t interface_index, uint16_t port = 8800)
{
    return {k_conmon, name, interface_index, name + "-host.local", port,
            dnssd_fake::txt({"id=02515afffe000001", "process=2", "vid=vendor", "vba=10.0.0.1", "mf=maker",
                             "model=m1", "channels=40"})};
}

class Browse : public ::testing::Test {
protected:
    void SetUp() override
    {
        dnssd_fake::reset();
        wt_dnssd_set_reconfirm_observer(on_reconfirm, this);
        qnb_interface lo;
        ASSERT_EQ(qnb_interface_get_loopback(&lo), QNB_ERR_SUCCESS);
        loopback = lo.index;
        ASSERT_NE(loopback, k_wire);
    }

    void TearDown() override
    {
        wb_browse_delete(browse);
        EXPECT_EQ(dnssd_fake::live_references(), 0u) << "every reference is released";
        wt_dnssd_set_reconfirm_observer(nullptr, nullptr);
    }

    void create(uint32_t types)
    {
        ASSERT_EQ(wb_browse_new(nullptr, types, &browse), QNB_ERR_SUCCESS);
        wb_browse_set_context(browse, this);
        wb_browse_set_event_callback(browse, on_event);
        wb_browse_set_changed_callback(browse, on_changed);
        wb_browse_set_sockets_changed_callback(browse, on_sockets_changed);
    }

    void start(const wb_browse_config *config = nullptr)
    {
        wb_browse_config defaults;
        wb_browse_config_init(&defaults);
        ASSERT_EQ(wb_browse_start_config(browse, config != nullptr ? config : &defaults), QNB_ERR_SUCCESS);
    }

    // One pass as an owner runs it: collect the sockets, see which are ready, process.
    qnb_error pass()
    {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        EXPECT_EQ(wb_browse_get_fdset(browse, &set), QNB_ERR_SUCCESS);
        unsigned ready = 0;
        EXPECT_EQ(qnb_socket_set_wait(&set, 0, &ready), QNB_ERR_SUCCESS);
        qnb_error err = wb_browse_process_fdset(browse, &set, &deadline);
        expect_watched_sockets_are_live();
        return err;
    }

    void settle()
    {
        for (int i = 0; i < 6; i++) {
            pass();
        }
    }

    // No descriptor that the owner is asked to watch may belong to a released reference.
    void expect_watched_sockets_are_live()
    {
        qnb_socket_set set;
        qnb_socket_set_clear(&set);
        if (wb_browse_get_fdset(browse, &set) != QNB_ERR_SUCCESS) {
            return;
        }
        std::vector<int> live = dnssd_fake::live_sockets();
        for (unsigned i = 0; i < set.count; i++) {
            EXPECT_NE(std::find(live.begin(), live.end(), set.sockets[i]), live.end())
                << "socket " << set.sockets[i] << " is watched but closed";
        }
        EXPECT_EQ(set.count, live.size());
    }

    std::set<std::string> resolving() const
    {
        std::set<std::string> out;
        for (const auto &r : dnssd_fake::live_resolves()) {
            out.insert(r.name + "/" + r.type + "/" + std::to_string(r.interface_index));
        }
        return out;
    }

    static void on_event(wb_browse *b, const wb_browse_event *event, uint32_t action)
    {
        Browse *self = static_cast<Browse *>(wb_browse_get_context(b));
        seen_event e{event->kind, action, "", 0};
        if (event->kind == WB_EVENT_DEVICE) {
            auto *d = static_cast<const wb_device *>(event->record);
            e.name = d->name;
            e.flags = d->flags.combined;
        } else if (event->kind == WB_EVENT_CHANNEL) {
            auto *c = static_cast<const wb_channel *>(event->record);
            e.name = std::string(c->name) + "@" + c->device->name;
            e.flags = c->flags.combined;
        } else {
            auto *l = static_cast<const wb_channel_label *>(event->record);
            e.name = std::string(l->name) + "@" + l->channel->device->name;
            e.flags = l->flags.combined;
        }
        self->events.push_back(e);
    }
    static void on_changed(wb_browse *b) { static_cast<Browse *>(wb_browse_get_context(b))->changed++; }
    static void on_sockets_changed(wb_browse *b)
    {
        static_cast<Browse *>(wb_browse_get_context(b))->sockets_changed++;
    }
    static void on_reconfirm(uint32_t interface_index, const char *name, uint16_t rrtype, uint16_t, void *context)
    {
        static_cast<Browse *>(context)->reconfirms.push_back(std::string(name) + "/" + std::to_string(interface_index) +
                                                             "/" + std::to_string(rrtype));
    }

    qz_test::fake_clock clock{1700000000u, 500000u};
    wb_browse *browse = nullptr;
    uint32_t loopback = 0;
    std::vector<seen_event> events;
    std::vector<std::string> reconfirms;
    int changed = 0;
    int sockets_changed = 0;
    qnb_timeval deadline{};
};

const uint32_t MEDIA = WB_BROWSE_MEDIA_DEVICE;
const uint32_t CMC = WB_BROWSE_CONMON_DEVICE;

TEST(BrowseNew, RefusesMasksWithoutBrowseTypes)
{
    wb_browse *b = nullptr;
    EXPECT_EQ(wb_browse_new(nullptr, 0, &b), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(wb_browse_new(nullptr, 0x80 | 0x100, &b), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(wb_browse_new(nullptr, WB_BROWSE_MEDIA_DEVICE, nullptr), QNB_ERR_INVALIDPARAMETER);
}

TEST_F(Browse, MediaThenConmonAddsThenChangesOneRecord)
{
    create(MEDIA | CMC);
    start();
    EXPECT_EQ(dnssd_fake::live_browses(), 2u);
    dnssd_fake::announce(media("dev1", k_wire));
    settle();
    dnssd_fake::announce(conmon("dev1", k_wire));
    settle();
    EXPECT_EQ(events, (std::vector<seen_event>{{0, WB_ACTION_ADDED, "dev1", MEDIA},
                                               {0, WB_ACTION_CHANGED, "dev1", MEDIA | CMC}}));
    EXPECT_EQ(changed, 2) << "one changed call per pass that changed the table";

    const wb_device *d = wb_device_table_find(browse->table, "dev1");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->host_label, "dev1-host");
    EXPECT_EQ(d->media.port, 4440);
    EXPECT_EQ(d->media.arcp_vers.major, 2);
    EXPECT_EQ(d->media.router_vers.bugfix, 2);
    EXPECT_STREQ(d->media.router_info, "ok");
    EXPECT_EQ(d->media.model[1], 0x02);
    EXPECT_EQ(d->conmon.port, 8800);
    EXPECT_EQ(d->conmon.id.id[7], 0x01);
    EXPECT_EQ(d->conmon.id.process, 2);
    EXPECT_EQ(d->conmon.vba[0], 10);
    const wt_device_id *id = wb_browse_record_get_id(d);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->process, 2);
    EXPECT_TRUE(dnssd_fake::live_resolves().empty()) << "answered resolves end";
}

TEST_F(Browse, LosingServicesChangesThenRemoves)
{
    create(MEDIA | CMC);
    start();
    dnssd_fake::announce(media("dev1", k_wire));
    dnssd_fake::announce(conmon("dev1", k_wire));
    settle();
    events.clear();
    dnssd_fake::withdraw(k_conmon, "dev1", k_wire);
    settle();
    dnssd_fake::withdraw(k_media, "dev1", k_wire);
    settle();
    dnssd_fake::withdraw(k_media, "dev1", k_wire); // a removal for an unknown device changes nothing
    settle();
    EXPECT_EQ(events, (std::vector<seen_event>{{0, WB_ACTION_CHANGED, "dev1", MEDIA}, {0, WB_ACTION_REMOVED, "dev1", 0}}));
    EXPECT_EQ(browse->table->count, 0u);
}

TEST_F(Browse, StopDropsDevicesSilentlyAndRestartFindsThemAgain)
{
    create(MEDIA | CMC);
    start();
    dnssd_fake::announce(media("dev1", k_wire));
    dnssd_fake::announce(conmon("dev2", k_wire));
    settle();
    ASSERT_EQ(events.size(), 2u);
    wb_browse_stop(browse);
    EXPECT_EQ(browse->table->count, 0u);
    EXPECT_EQ(dnssd_fake::live_references(), 0u);
    EXPECT_EQ(events.size(), 2u) << "no removal events on stop";
    qnb_socket_set set;
    qnb_socket_set_clear(&set);
    EXPECT_EQ(wb_browse_get_fdset(browse, &set), QNB_ERR_INVALIDSTATE);

    start();
    wb_browse_config config;
    wb_browse_config_init(&config);
    EXPECT_EQ(wb_browse_start_config(browse, &config), QNB_ERR_INVALIDSTATE) << "already running";
    settle();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].action, static_cast<uint32_t>(WB_ACTION_ADDED));
    EXPECT_EQ(events[3].action, static_cast<uint32_t>(WB_ACTION_ADDED));
}

TEST_F(Browse, SeventeenthResolveWaitsForAFreeSlot)
{
    create(MEDIA);
    start();
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    for (int i = 0; i < 17; i++) {
        char name[8];
        std::snprintf(name, sizeof name, "d%02d", i);
        dnssd_fake::announce(media(name, k_wire));
    }
    settle();
    std::set<std::string> active = resolving();
    EXPECT_EQ(active.size(), 16u);
    EXPECT_EQ(active.count("d16/_netaudio-arc._udp./5"), 0u);

    ASSERT_EQ(dnssd_fake::answer_resolves(k_media, "d03"), 1);
    settle();
    active = resolving();
    EXPECT_EQ(active.size(), 16u);
    EXPECT_EQ(active.count("d16/_netaudio-arc._udp./5"), 1u) << "the waiting resolve took the freed slot";
    EXPECT_EQ(active.count("d03/_netaudio-arc._udp./5"), 0u);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "d03");
}

TEST_F(Browse, ResolveTimeoutEndsTheEntryAndReconfirms)
{
    create(MEDIA);
    start();
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    dnssd_fake::announce(media("My.Dev", k_wire));
    pass(); // the advertisement queues a resolve, which starts in the same pass
    ASSERT_EQ(resolving().size(), 1u);
    EXPECT_EQ(deadline.tv_sec, 1700000030u);
    EXPECT_EQ(deadline.tv_usec, 500000u);
    int opened = sockets_changed;
    EXPECT_GE(opened, 1);

    clock.advance(30);
    pass();
    EXPECT_EQ(resolving().size(), 1u) << "a deadline equal to now has not passed";
    EXPECT_TRUE(reconfirms.empty());

    clock.advance(0, 1);
    pass();
    EXPECT_TRUE(resolving().empty());
    EXPECT_EQ(reconfirms, (std::vector<std::string>{"My\\.Dev._netaudio-arc._udp.local./5/12"}));
    EXPECT_EQ(sockets_changed, opened + 1);
    EXPECT_EQ(deadline.tv_sec, 0u);
    EXPECT_EQ(deadline.tv_usec, 0u);
    EXPECT_TRUE(events.empty());
}

TEST_F(Browse, FirstAdvertisementFixesTheNetworkInterface)
{
    create(MEDIA);
    start();
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    dnssd_fake::announce(media("dev1", k_wire));
    dnssd_fake::announce(media("dev2", 7));
    dnssd_fake::announce(media("dev3", loopback));
    settle();
    EXPECT_EQ(browse->adhoc->config.interface_index[0], k_wire);
    EXPECT_EQ(resolving(), (std::set<std::string>{"dev1/_netaudio-arc._udp./5",
                                                  "dev3/_netaudio-arc._udp./" + std::to_string(loopback)}))
        << "another interface is ignored; the loopback one is its own network";

    // A reply from the wrong interface is ignored and the resolve goes on.
    ASSERT_EQ(dnssd_fake::answer_resolves(k_media, "dev1", 7), 1);
    settle();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(resolving().size(), 2u);

    ASSERT_EQ(dnssd_fake::answer_resolves(k_media, "dev1"), 1);
    ASSERT_EQ(dnssd_fake::answer_resolves(k_media, "dev3"), 1);
    settle();
    ASSERT_EQ(events.size(), 2u);
    const wb_device *d1 = wb_device_table_find(browse->table, "dev1");
    const wb_device *d3 = wb_device_table_find(browse->table, "dev3");
    ASSERT_TRUE(d1 != nullptr && d3 != nullptr);
    EXPECT_EQ(d1->flags.network[0], MEDIA);
    EXPECT_EQ(d3->flags.other, MEDIA);
    EXPECT_EQ(d3->flags.network[0], 0u);
}

TEST_F(Browse, ConfiguredNetworksAndTheLoopbackNetwork)
{
    create(MEDIA);
    wb_browse_config config;
    wb_browse_config_init(&config);
    config.network_count = 2;
    config.interface_index[0] = 6;
    config.interface_index[1] = k_wire;
    start(&config);
    dnssd_fake::announce(media("a", k_wire));
    dnssd_fake::announce(media("b", 6));
    dnssd_fake::announce(media("c", loopback));
    dnssd_fake::announce(media("d", 9));
    settle();
    const wb_device *a = wb_device_table_find(browse->table, "a");
    const wb_device *b = wb_device_table_find(browse->table, "b");
    const wb_device *c = wb_device_table_find(browse->table, "c");
    ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
    EXPECT_EQ(a->flags.network[1], MEDIA);
    EXPECT_EQ(b->flags.network[0], MEDIA);
    EXPECT_EQ(c->flags.other, MEDIA);
    EXPECT_EQ(wb_device_table_find(browse->table, "d"), nullptr);

    wb_browse_stop(browse);
    config.network_count = 3;
    EXPECT_EQ(wb_browse_start_config(browse, &config), QNB_ERR_INVALIDPARAMETER);
    EXPECT_EQ(browse->running, 0);
}

TEST_F(Browse, RemovalEndsOnlyResolvesOfTheSameNameServiceAndNetwork)
{
    create(MEDIA | CMC);
    ASSERT_EQ(wb_adhoc_browse_set_socket_budget(browse->adhoc, 2 + 3), QNB_ERR_SUCCESS); // three resolves at once
    start();
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    dnssd_fake::announce(media("dev1", k_wire));
    dnssd_fake::announce(conmon("dev1", k_wire));
    dnssd_fake::announce(media("dev1", loopback));
    dnssd_fake::announce(media("dev2", k_wire));  // waits
    dnssd_fake::announce(conmon("dev2", k_wire)); // waits
    settle();
    ASSERT_EQ(resolving().size(), 3u);

    dnssd_fake::withdraw(k_media, "dev1", k_wire);
    dnssd_fake::withdraw(k_conmon, "dev2", k_wire); // only pending: dropped
    settle();
    EXPECT_EQ(resolving(), (std::set<std::string>{"dev1/_netaudio-cmc._udp./5",
                                                  "dev1/_netaudio-arc._udp./" + std::to_string(loopback),
                                                  "dev2/_netaudio-arc._udp./5"}));
}

TEST_F(Browse, NameLimitsAndZeroPorts)
{
    create(MEDIA | WB_BROWSE_MEDIA_CHANNEL | CMC | WB_BROWSE_SAFE_MODE);
    start();
    std::string longest(31, 'n');
    dnssd_fake::announce(media(longest, k_wire));
    dnssd_fake::announce(media(std::string(32, 'm'), k_wire));
    dnssd_fake::announce(media("zero", k_wire, 0));
    dnssd_fake::announce(conmon("zero-cmc", k_wire, 0));
    dnssd_fake::announce({k_safe, "zero-safe", k_wire, "h.local", 0,
                          dnssd_fake::txt({"safe=1", "id=02515afffe000009", "process=4"})});
    std::string channel = std::string(30, 'c') + "@" + std::string(31, 'd'); // 62 characters
    dnssd_fake::announce({k_chan, channel, k_wire, "h.local", 4440,
                          dnssd_fake::txt({"id=1", "default", "rate=48000", "enc=24"})});
    dnssd_fake::announce({k_chan, std::string(32, 'c') + "@" + std::string(31, 'd'), k_wire, "h.local", 4440,
                          dnssd_fake::txt({"id=1", "default", "rate=48000", "enc=24"})});
    settle();

    std::vector<std::string> names;
    for (uint32_t i = 0; i < browse->table->count; i++) {
        names.push_back(browse->table->devices[i]->name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{std::string(31, 'd'), longest, "zero-safe"}));
    const wb_device *safe = wb_device_table_find(browse->table, "zero-safe");
    ASSERT_NE(safe, nullptr);
    EXPECT_EQ(safe->safe.value, 1);
    EXPECT_EQ(safe->safe.id.id[7], 0x09);
    EXPECT_EQ(safe->safe.id.process, 4);
}

TEST_F(Browse, ChannelsAndLabelsWithAndWithoutAt)
{
    create(MEDIA | WB_BROWSE_MEDIA_CHANNEL);
    start();
    auto chan = [](const std::string &name, std::vector<std::string> txt) {
        return dnssd_fake::service{k_chan, name, k_wire, "dev1-host.local", 4440, dnssd_fake::txt(txt)};
    };
    dnssd_fake::announce(chan("ch01@dev1", {"id=1", "default", "rate=48000", "enc=24 32"}));
    settle();
    dnssd_fake::announce(chan("Left@dev1", {"id=1", "rate=48000", "enc=24"}));
    dnssd_fake::announce(chan("noat", {"id=2", "default", "rate=48000", "enc=24"}));
    dnssd_fake::announce(chan("noid@dev1", {"default", "rate=48000", "enc=24"}));
    dnssd_fake::announce(chan("norate@dev1", {"id=3", "enc=24"}));
    dnssd_fake::announce(chan("noenc@dev1", {"id=3", "rate=48000"}));
    settle();
    const uint32_t CH = WB_BROWSE_MEDIA_CHANNEL;
    EXPECT_EQ(events, (std::vector<seen_event>{{0, WB_ACTION_ADDED, "dev1", 0},
                                               {1, WB_ACTION_ADDED, "ch01@dev1", CH},
                                               {2, WB_ACTION_ADDED, "Left@dev1", CH}}));
    const wb_device *d = wb_device_table_find(browse->table, "dev1");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->channel_count, 1u);
    EXPECT_EQ(d->channels[0]->format.sample_rate, 48000u);
    EXPECT_EQ(d->channels[0]->format.encoding_count, 2);
    EXPECT_EQ(d->channels[0]->format.encodings[1], 32);

    // Eight spaces in "enc" is refused as out of memory, and the pass reports it.
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    dnssd_fake::announce(chan("many@dev1", {"id=4", "default", "rate=48000", "enc=1 2 3 4 5 6 7 8 9"}));
    pass();
    ASSERT_EQ(dnssd_fake::answer_resolves(k_chan, "many@dev1"), 1);
    EXPECT_EQ(pass(), QNB_ERR_NOMEMORY);
    EXPECT_EQ(d->channel_count, 1u);

    events.clear();
    dnssd_fake::withdraw(k_chan, "Left@dev1", k_wire);
    dnssd_fake::withdraw(k_chan, "noat", k_wire);
    dnssd_fake::withdraw(k_chan, "ch01@dev1", k_wire);
    settle();
    EXPECT_EQ(events, (std::vector<seen_event>{{2, WB_ACTION_REMOVED, "Left@dev1", 0},
                                               {1, WB_ACTION_CHANGED, "ch01@dev1", CH},
                                               {1, WB_ACTION_REMOVED, "ch01@dev1", 0},
                                               {0, WB_ACTION_REMOVED, "dev1", 0}}));
}

TEST_F(Browse, SocketsChangedWheneverAReferenceOpensOrCloses)
{
    create(MEDIA);
    start();
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    dnssd_fake::announce(media("dev1", k_wire));
    pass();
    EXPECT_EQ(sockets_changed, 1) << "resolve opened";
    pass();
    EXPECT_EQ(sockets_changed, 1) << "nothing opened or closed";
    ASSERT_EQ(dnssd_fake::answer_resolves(k_media, "dev1"), 1);
    pass();
    EXPECT_EQ(sockets_changed, 2) << "resolve closed";

    // A failing reference is ended, and the owner still hears of it.
    dnssd_fake::announce(media("dev2", k_wire));
    pass();
    EXPECT_EQ(sockets_changed, 3);
    ASSERT_EQ(dnssd_fake::answer_resolves(k_media, "dev2"), 1);
    dnssd_fake::fail_next_process(-65537);
    EXPECT_EQ(pass(), QNB_ERR_DNSSDFAIL);
    EXPECT_EQ(sockets_changed, 4);
    EXPECT_TRUE(resolving().empty());

    // A failing resolve start leaves the advertisement unresolved, without a socket.
    dnssd_fake::fail_next_resolve(-65537);
    dnssd_fake::announce(media("dev3", k_wire));
    pass();
    EXPECT_TRUE(resolving().empty());
    EXPECT_EQ(sockets_changed, 4);
}

TEST_F(Browse, ErrorsOfTheBackend)
{
    create(MEDIA | CMC);
    dnssd_fake::fail_next_browse(-65537);
    wb_browse_config config;
    wb_browse_config_init(&config);
    EXPECT_EQ(wb_browse_start_config(browse, &config), QNB_ERR_DNSSDFAIL);
    EXPECT_EQ(browse->running, 0);
    EXPECT_EQ(dnssd_fake::live_references(), 0u) << "the browse already started is released";

    start();
    dnssd_fake::browse_error(k_media, -65537);
    EXPECT_EQ(pass(), QNB_ERR_DNSSDFAIL);
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::fail);
    dnssd_fake::announce(media("dev1", k_wire));
    settle();
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(resolving().empty());
}

TEST_F(Browse, AManagedIdWithoutADomainClientWaitsAndOffersNoSockets)
{
    create(MEDIA);
    uint8_t id[WB_DOMAIN_ID_SIZE];
    wb_browse_get_domain_id(id, browse);
    EXPECT_EQ(id[0], 0xFF);
    uint8_t managed[WB_DOMAIN_ID_SIZE] = {1};
    EXPECT_EQ(wb_browse_set_domain_id(browse, managed), QNB_ERR_SUCCESS);
    EXPECT_EQ(browse->adhoc, nullptr);
    ASSERT_NE(browse->domain_browse, nullptr);
    wb_browse_get_domain_id(id, browse);
    EXPECT_EQ(id[0], 0xFF) << "without a domain client the object reports the ad-hoc id";
    EXPECT_EQ(wb_browse_start(browse), QNB_ERR_SUCCESS) << "no usable domain: the browser waits";
    EXPECT_EQ(browse->domain_browse->state, uint32_t(WB_DOMAIN_BROWSE_WANTED));
    qnb_socket_set set;
    qnb_socket_set_clear(&set);
    EXPECT_EQ(wb_browse_get_fdset(browse, &set), QNB_ERR_INVALIDSTATE);
    wb_browse_stop(browse);
    uint8_t adhoc[WB_DOMAIN_ID_SIZE];
    std::fill(adhoc, adhoc + WB_DOMAIN_ID_SIZE, 0xFF);
    EXPECT_EQ(wb_browse_set_domain_id(browse, adhoc), QNB_ERR_SUCCESS);
    start();
    EXPECT_EQ(dnssd_fake::live_browses(), 1u);
}

} // namespace
