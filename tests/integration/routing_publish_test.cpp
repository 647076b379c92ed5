// Simulated routing devices published through a real avahi-daemon (avahi-netns.sh): each way of
// publishing makes the device resolvable by name, with its routing port and the version keys of its
// TXT record, and withdrawing it ends the publication.
#include <gtest/gtest.h>
#include <poll.h>

#include <arpa/inet.h>

#include <chrono>
#include <string>

#include "netaudio/discovery/wt_dnssd.h"
#include "testnet/tn_routing_device.h"

namespace {

struct resolved {
    bool done = false;
    int32_t error = 0;
    uint16_t port = 0;
    std::string arcp, router;
    bool safe = false;
};

void on_resolved(wt_dnssd_ref *, uint32_t, uint32_t, int32_t error, const char *, const char *, uint16_t port,
                 uint16_t txt_length, const unsigned char *txt, void *context)
{
    resolved *r = static_cast<resolved *>(context);
    r->done = true;
    r->error = error;
    if (error)
        return;
    r->port = ntohs(port);
    uint8_t n = 0;
    const char *v = static_cast<const char *>(wt_dnssd_txt_value(txt_length, txt, "arcp_vers", &n));
    r->arcp = v ? std::string(v, n) : "";
    v = static_cast<const char *>(wt_dnssd_txt_value(txt_length, txt, "router_vers", &n));
    r->router = v ? std::string(v, n) : "";
    r->safe = wt_dnssd_txt_contains_key(txt_length, txt, "safe");
}

// Resolves `name` again and again (the registration may not be visible yet) for at most 10 s,
// processing the device meanwhile.
resolved resolve(tn_routing_device *dev, const char *name)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    resolved r;
    while (std::chrono::steady_clock::now() < until) {
        r = resolved();
        wt_dnssd_ref *ref = nullptr;
        if (wt_dnssd_resolve(&ref, 0, 0, name, "_netaudio-arc._udp.", "local.", on_resolved, &r) != 0)
            return r;
        auto attempt = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!r.done && std::chrono::steady_clock::now() < attempt) {
            tn_routing_device_process(dev);
            struct pollfd p = {wt_dnssd_socket(ref), POLLIN, 0};
            if (poll(&p, 1, 50) > 0)
                wt_dnssd_process_result(p.fd, ref);
        }
        wt_dnssd_deallocate(ref);
        if (r.done && !r.error)
            return r;
    }
    return r;
}

TEST(RoutingPublish, DevicesResolveWithTheirPortAndVersionKeys)
{
    struct {
        tn_routing_publish_mode mode;
        unsigned unit;
        bool safe;
        uint16_t arcp;
        const char *arcp_text;
    } cases[] = {{TN_ROUTING_PUBLISH_LIBRARY, 1, false, 0x2729, "2.7.41"},
                 {TN_ROUTING_PUBLISH_COMMAND, 2, true, 0x2800, "2.8.0"}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.unit);
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, TN_ROUTING_MODEL_KTV4S, c.unit);
        cfg.safe_mode = c.safe;
        cfg.arcp_version = c.arcp;
        tn_routing_device *dev = tn_routing_device_new(&cfg, nullptr);
        ASSERT_NE(nullptr, dev);
        ASSERT_EQ(QNB_ERR_SUCCESS, tn_routing_device_publish(dev, c.mode));
        resolved r = resolve(dev, cfg.name);
        // The library confirms a registration on its own time; the device reads it when processed.
        for (int i = 0; i < 100 && !tn_routing_device_published(dev); ++i) {
            poll(nullptr, 0, 20);
            tn_routing_device_process(dev);
        }
        EXPECT_TRUE(r.done);
        EXPECT_EQ(0, r.error);
        EXPECT_TRUE(tn_routing_device_published(dev));
        EXPECT_EQ(tn_routing_device_get_port(dev), r.port);
        EXPECT_EQ(c.arcp_text, r.arcp);
        EXPECT_EQ("4.2.1", r.router);
        EXPECT_EQ(c.safe, r.safe);
        tn_routing_device_unpublish(dev);
        EXPECT_FALSE(tn_routing_device_published(dev));
        tn_routing_device_delete(dev);
    }
}

} // namespace
