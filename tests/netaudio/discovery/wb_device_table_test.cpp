#include "netaudio/discovery/wb_device_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct seen_event {
    uint32_t kind;
    uint32_t action;
    std::string name;
    bool operator==(const seen_event &o) const { return kind == o.kind && action == o.action && name == o.name; }
};

std::ostream &operator<<(std::ostream &os, const seen_event &e)
{
    return os << "{" << e.kind << "," << e.action << "," << e.name << "}";
}

std::vector<seen_event> *g_events = nullptr;

void on_event(wb_browse *, const wb_browse_event *event, uint32_t action)
{
    std::string name;
    switch (event->kind) {
    case WB_EVENT_DEVICE: name = static_cast<const wb_device *>(event->record)->name; break;
    case WB_EVENT_CHANNEL: {
        auto *c = static_cast<const wb_channel *>(event->record);
        name = std::string(c->device->name) + "#" + std::to_string(c->id);
        break;
    }
    case WB_EVENT_LABEL: name = static_cast<const wb_channel_label *>(event->record)->name; break;
    }
    g_events->push_back({event->kind, action, name});
}

class DeviceTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        config.network_count = 1;
        g_events = &events;
        ASSERT_EQ(wb_device_table_new(&table, nullptr, &config, WB_BROWSE_ALL_TYPES), QNB_ERR_SUCCESS);
        table->event_callback = on_event;
    }
    void TearDown() override
    {
        wb_device_table_delete(table);
        g_events = nullptr;
    }

    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < table->count; i++) {
            out.push_back(table->devices[i]->name);
        }
        return out;
    }

    wb_browse_config config{};
    wb_device_table *table = nullptr;
    std::vector<seen_event> events;
};

TEST_F(DeviceTable, KeepsDevicesSortedAndGrowsPastItsFirstCapacity)
{
    const char *order[] = {"m", "c", "x", "a", "b", "k", "d", "z", "e", "y", "f"};
    wb_media_device_data media{};
    media.port = 4440;
    for (const char *name : order) {
        bool changed = false;
        ASSERT_EQ(wb_device_table_update_media(table, 0, name, "host", &media, &changed), QNB_ERR_SUCCESS);
        EXPECT_TRUE(changed);
    }
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "k", "m", "x", "y", "z"}));
    EXPECT_EQ(events.size(), 11u);

    std::string longest(31, 'n');
    std::string too_long(32, 'n');
    bool changed = true;
    EXPECT_EQ(wb_device_table_update_media(table, 0, longest.c_str(), "h", &media, &changed), QNB_ERR_SUCCESS);
    EXPECT_EQ(wb_device_table_update_media(table, 0, too_long.c_str(), "h", &media, &changed),
              QNB_ERR_INVALIDPARAMETER);
    EXPECT_FALSE(changed);
    EXPECT_EQ(table->count, 12u);
}

TEST_F(DeviceTable, SecondServiceChangesTheRecordAndRepeatsChangeNothing)
{
    wb_media_device_data media{};
    media.port = 4440;
    media.arcp_vers = {4, 1, 0};
    wb_conmon_device_data conmon{};
    conmon.port = 8800;
    conmon.id.process = 3;
    bool changed = false;

    ASSERT_EQ(wb_device_table_update_media(table, 0, "dev1", "dev1-host", &media, &changed), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_conmon(table, 0, "dev1", "dev1-host", &conmon, &changed), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_conmon(table, 0, "dev1", "dev1-host", &conmon, &changed), QNB_ERR_SUCCESS);
    EXPECT_FALSE(changed) << "the same data again is no change";
    conmon.port = 8801;
    ASSERT_EQ(wb_device_table_update_conmon(table, 0, "dev1", "dev1-host", &conmon, &changed), QNB_ERR_SUCCESS);
    EXPECT_TRUE(changed);

    EXPECT_EQ(events, (std::vector<seen_event>{{0, WB_ACTION_ADDED, "dev1"},
                                               {0, WB_ACTION_CHANGED, "dev1"},
                                               {0, WB_ACTION_CHANGED, "dev1"}}));
    wb_device *d = wb_device_table_find(table, "dev1");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->flags.combined, static_cast<uint32_t>(WB_BROWSE_MEDIA_DEVICE | WB_BROWSE_CONMON_DEVICE));
    EXPECT_EQ(d->conmon.port, 8801);
    EXPECT_EQ(d->media.arcp_vers.minor, 1);
    EXPECT_STREQ(d->host_label, "dev1-host");
    EXPECT_EQ(wb_browse_record_get_id(d), &d->conmon.id);
}

TEST_F(DeviceTable, RemovalsClearServicesPerNetwork)
{
    config.network_count = 2;
    wb_media_device_data media{};
    media.port = 1;
    wb_conmon_device_data conmon{};
    conmon.port = 2;
    ASSERT_EQ(wb_device_table_update_media(table, 0, "dev1", "h", &media, nullptr), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_media(table, 1, "dev1", "h", &media, nullptr), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_conmon(table, 2, "dev1", "h", &conmon, nullptr), QNB_ERR_SUCCESS);
    wb_device *d = wb_device_table_find(table, "dev1");
    EXPECT_EQ(d->flags.network[0], static_cast<uint32_t>(WB_BROWSE_MEDIA_DEVICE));
    EXPECT_EQ(d->flags.network[1], static_cast<uint32_t>(WB_BROWSE_MEDIA_DEVICE));
    EXPECT_EQ(d->flags.other, static_cast<uint32_t>(WB_BROWSE_CONMON_DEVICE)) << "network 2 is the loopback network";
    events.clear();

    bool changed = false;
    EXPECT_EQ(wb_device_table_remove_service(table, 0, "unknown", WB_BROWSE_MEDIA_DEVICE, &changed),
              WB_DEVICE_NOT_FOUND);
    EXPECT_EQ(wb_device_table_remove_service(table, 2, "dev1", WB_BROWSE_MEDIA_DEVICE, &changed), QNB_ERR_SUCCESS);
    EXPECT_FALSE(changed) << "not advertised on that network";
    EXPECT_TRUE(events.empty());

    EXPECT_EQ(wb_device_table_remove_service(table, 0, "dev1", WB_BROWSE_MEDIA_DEVICE, &changed), QNB_ERR_SUCCESS);
    EXPECT_EQ(d->media.port, 1) << "still advertised on network 1: data kept";
    EXPECT_EQ(wb_device_table_remove_service(table, 1, "dev1", WB_BROWSE_MEDIA_DEVICE, &changed), QNB_ERR_SUCCESS);
    EXPECT_EQ(d->media.port, 0) << "gone from every network: data cleared";
    EXPECT_STREQ(d->host_label, "h");
    EXPECT_EQ(wb_device_table_remove_service(table, 2, "dev1", WB_BROWSE_CONMON_DEVICE, &changed), QNB_ERR_SUCCESS);
    EXPECT_EQ(events, (std::vector<seen_event>{{0, WB_ACTION_CHANGED, "dev1"},
                                               {0, WB_ACTION_CHANGED, "dev1"},
                                               {0, WB_ACTION_REMOVED, "dev1"}}));
    EXPECT_EQ(table->count, 0u);
}

TEST_F(DeviceTable, ChannelsAndLabels)
{
    wb_format format{};
    format.sample_rate = 48000;
    format.encoding_count = 1;
    format.encodings[0] = 24;
    bool changed = false;

    // A label before its channel is advertised, then the channel itself, then a second channel.
    ASSERT_EQ(wb_device_table_update_channel(table, 0, "dev1", "Alias", 2, false, &format, &changed), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_channel(table, 0, "dev1", "ch02", 2, true, &format, &changed), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_channel(table, 0, "dev1", "ch01", 1, true, &format, &changed), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_channel(table, 0, "dev1", "ch01", 1, true, &format, &changed), QNB_ERR_SUCCESS);
    EXPECT_FALSE(changed);
    EXPECT_EQ(events, (std::vector<seen_event>{{0, WB_ACTION_ADDED, "dev1"},
                                               {1, WB_ACTION_ADDED, "dev1#2"},
                                               {2, WB_ACTION_ADDED, "Alias"},
                                               {1, WB_ACTION_CHANGED, "dev1#2"},
                                               {1, WB_ACTION_ADDED, "dev1#1"}}));
    wb_device *d = wb_device_table_find(table, "dev1");
    ASSERT_EQ(d->channel_count, 2u);
    EXPECT_EQ(d->channels[0]->id, 1) << "sorted by id";
    EXPECT_STREQ(d->channels[1]->name, "ch02");
    EXPECT_EQ(d->channels[1]->format.sample_rate, 48000u);
    EXPECT_EQ(wb_device_table_update_channel(table, 0, "dev1", std::string(32, 'c').c_str(), 3, true, &format,
                                             &changed),
              QNB_ERR_INVALIDPARAMETER);
    events.clear();

    EXPECT_EQ(wb_device_table_remove_channel(table, 0, "nodev", "ch01", &changed), WB_DEVICE_NOT_FOUND);
    EXPECT_EQ(wb_device_table_remove_channel(table, 0, "dev1", "nothing", &changed), WB_CHANNEL_NOT_FOUND);
    // Channel 2 keeps its label, so it stays; its label going takes it along.
    EXPECT_EQ(wb_device_table_remove_channel(table, 0, "dev1", "ch02", &changed), QNB_ERR_SUCCESS);
    EXPECT_EQ(wb_device_table_remove_channel(table, 0, "dev1", "Alias", &changed), QNB_ERR_SUCCESS);
    EXPECT_EQ(wb_device_table_remove_channel(table, 0, "dev1", "ch01", &changed), QNB_ERR_SUCCESS);
    EXPECT_EQ(events, (std::vector<seen_event>{{1, WB_ACTION_CHANGED, "dev1#2"},
                                               {2, WB_ACTION_REMOVED, "Alias"},
                                               {1, WB_ACTION_REMOVED, "dev1#2"},
                                               {1, WB_ACTION_REMOVED, "dev1#1"},
                                               {0, WB_ACTION_REMOVED, "dev1"}}));
    EXPECT_EQ(table->count, 0u);
}

TEST_F(DeviceTable, DeviceWithChannelsOutlivesItsLastService)
{
    wb_media_device_data media{};
    media.port = 1;
    ASSERT_EQ(wb_device_table_update_media(table, 0, "dev1", "h", &media, nullptr), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_channel(table, 0, "dev1", "ch01", 1, true, nullptr, nullptr), QNB_ERR_SUCCESS);
    events.clear();
    ASSERT_EQ(wb_device_table_remove_service(table, 0, "dev1", WB_BROWSE_MEDIA_DEVICE, nullptr), QNB_ERR_SUCCESS);
    EXPECT_EQ(events, (std::vector<seen_event>{{0, WB_ACTION_CHANGED, "dev1"}}));
    wb_device *d = wb_device_table_find(table, "dev1");
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->host_label, "") << "no service left: host label cleared";
    EXPECT_EQ(wb_browse_record_get_id(d), nullptr);
}

TEST_F(DeviceTable, ClearReportsRemovalsOnlyWhenAsked)
{
    wb_mode_device_data safe{};
    safe.value = 1;
    ASSERT_EQ(wb_device_table_update_mode(table, WB_BROWSE_SAFE_MODE, 0, "a", "h", &safe, nullptr), QNB_ERR_SUCCESS);
    ASSERT_EQ(wb_device_table_update_mode(table, WB_BROWSE_UPGRADE_MODE, 0, "b", "h", &safe, nullptr), QNB_ERR_SUCCESS);
    EXPECT_EQ(wb_device_table_update_mode(table, WB_BROWSE_MEDIA_DEVICE, 0, "c", "h", &safe, nullptr),
              QNB_ERR_INVALIDPARAMETER);
    events.clear();
    wb_device_table_clear(table, true);
    EXPECT_EQ(events, (std::vector<seen_event>{{0, WB_ACTION_REMOVED, "a"}, {0, WB_ACTION_REMOVED, "b"}}));
    ASSERT_EQ(wb_device_table_update_mode(table, WB_BROWSE_SAFE_MODE, 0, "a", "h", &safe, nullptr), QNB_ERR_SUCCESS);
    events.clear();
    wb_device_table_clear(table, false);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(table->count, 0u);
}

} // namespace
