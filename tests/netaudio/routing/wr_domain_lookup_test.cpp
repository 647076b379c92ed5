// Routing devices opened by name in a managed domain: their address comes from a lookup at the
// domain server (the fake server behind the environment's domain hook), not from DNS-SD.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "netaudio/discovery/domain_requests.h"
#include "netaudio/platform/qnb_env.h"
#include "netaudio/routing/wr_device.h"
#include "netaudio/routing/wr_devices.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_domain_server.h"

namespace {

const uint8_t k_managed[DOMAIN_ID_SIZE] = {0x33, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

fake_domain_device routed(const std::string &name, bool has_address = true)
{
    fake_domain_device d;
    d.name = name;
    d.model = "RQA-310";
    d.has_address = has_address;
    d.address[0] = 0x0A000005;
    d.address[1] = 7;
    d.services = {{"_netaudio-arc._udp", fake_domain_txt({"arcp_vers=2.7.41", "router_vers=4.0.2"}), 4440}};
    return d;
}

struct DomainLookup : ::testing::Test {
    fake_domain_server server;
    qnb_env env{};
    wr_devices *devices = nullptr;

    void SetUp() override
    {
        dnssd_fake::reset();
        server.attach(&env);
        server.set_domain(k_managed, 3, 2);
        server.devices = {routed("dev1"), routed("bare", false)};
        ASSERT_EQ(wr_devices_new(&env, &devices), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(wr_devices_delete(devices), 0);
        EXPECT_EQ(server.handler.clients.count, 0u);
        EXPECT_EQ(dnssd_fake::live_references(), 0u) << "no DNS-SD in a managed domain";
    }
};

TEST_F(DomainLookup, ADeviceIsResolvedOrFailedByTheServersAnswer)
{
    struct row {
        const char *name;
        uint16_t failure_status;
        int state;
        qnb_error error;
    } rows[] = {
        {"dev1", 5, WR_DEVICE_STATE_RESOLVED, 0},
        {"bare", 5, WR_DEVICE_STATE_ERROR, QNB_ERR_INVALIDDATA}, // no address in the answer
        {"nobody", 5, WR_DEVICE_STATE_ERROR, QNB_ERR_INVALIDDATA},
        {"nobody", 6, WR_DEVICE_STATE_ERROR, QNB_ERR_POLICY},
        {"nobody", 2, WR_DEVICE_STATE_ERROR, QNB_ERR_INVALIDPARAMETER},
        {"nobody", 9, WR_DEVICE_STATE_ERROR, QNB_ERR_SYSTEM},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.name) + " status " + std::to_string(r.failure_status));
        server.lookup_failure_status = r.failure_status;
        server.cancelled.clear();
        wr_device *dev = nullptr;
        ASSERT_EQ(wr_device_open(devices, r.name, &dev), 0);
        EXPECT_EQ(dev->state, WR_DEVICE_STATE_RESOLVING);
        uint32_t lookup = dev->lookup_id;
        EXPECT_NE(lookup, 0u);
        server.pump();
        EXPECT_EQ(dev->state, r.state);
        EXPECT_EQ(dev->error, r.error);
        EXPECT_EQ(dev->lookup_id, 0u);
        if (r.state == WR_DEVICE_STATE_RESOLVED) {
            EXPECT_TRUE(dev->via_domain);
            EXPECT_EQ(dev->domain_address[0], 0x0A000005u);
            EXPECT_EQ(dev->domain_address[1], 7u);
            EXPECT_EQ(dev->arcp_version, 0x2729);
        }
        if (std::string(r.name) != "nobody") {
            EXPECT_EQ(server.cancelled, (std::vector<uint32_t>{lookup})) << "the answered lookup is cancelled";
        }
        EXPECT_EQ(domain_requests_count(devices->lookups), 0u);
        wr_device_close(dev);
        server.pump();
    }
}

TEST_F(DomainLookup, ADeviceOpenedBeforeTheConnectionLooksItselfUpOnceConnected)
{
    server.set_domain(k_managed, 3, 1);
    wr_device *dev = nullptr;
    ASSERT_EQ(wr_device_open(devices, "dev1", &dev), 0);
    EXPECT_EQ(dev->lookup_id, 0u);
    server.pump();
    EXPECT_EQ(server.messages_received, 0u);
    server.set_domain(k_managed, 3, 2);
    EXPECT_NE(dev->lookup_id, 0u);
    server.pump();
    EXPECT_EQ(dev->state, WR_DEVICE_STATE_RESOLVED);

    // Closing a device with a lookup in flight cancels it at the server.
    wr_device *other = nullptr;
    ASSERT_EQ(wr_device_open(devices, "dev1", &other), 0);
    uint32_t pending = other->lookup_id;
    wr_device_close(other);
    server.pump();
    EXPECT_EQ(server.cancelled.back(), pending);
    EXPECT_EQ(domain_requests_count(devices->lookups), 0u);
    wr_device_close(dev);
}

} // namespace
