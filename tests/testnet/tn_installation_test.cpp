// The whole simulated installation: every unit exists with the same name and model in the
// control-and-monitoring server and among the routing devices, names carry the unit id and the
// model where the program reads them, and counts beyond an area are refused.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "testnet/tn_conmon_server.h"
#include "testnet/tn_installation.h"
#include "netaudio/messaging/wgcp_buffer.h"
#include "testnet/tn_routing_device.h"
#include "testnet/tn_udp_peer.h"

namespace {

// True once `count` datagrams wait in the socket (10 s at most).
bool datagrams_arrive(qnb_socket sock, unsigned count)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (tn_datagrams_waiting(sock, count) < count) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Reads the answers `dev` has sent since it had sent `before` (each comes within 10 s): the
// sequence numbers they carry, each followed by a blank. Nothing else of the device is under way.
std::string answers_since(tn_udp_peer *peer, const tn_routing_device *dev, unsigned long before)
{
    std::string answered;
    for (unsigned long n = before; n < tn_routing_device_sent(dev); ++n) {
        uint8_t reply[1500];
        size_t size = sizeof reply;
        if (tn_udp_peer_receive(peer, reply, &size, 10000) != QNB_ERR_SUCCESS)
            return answered + "(an answer sent never came) ";
        answered += std::to_string(wgcp_load_be16(reply + 4)) + " ";
    }
    return answered;
}

tn_installation_config small_config(unsigned ktv4s, unsigned a1, unsigned a2, unsigned a3, unsigned a4)
{
    tn_installation_config cfg;
    tn_installation_config_init(&cfg);
    cfg.ktv4s = ktv4s;
    cfg.area[0] = a1;
    cfg.area[1] = a2;
    cfg.area[2] = a3;
    cfg.area[3] = a4;
    cfg.config_port = cfg.conmon_port = cfg.first_device_port = 0;
    cfg.publish = false;
    return cfg;
}

TEST(TnInstallation, UnitNames)
{
    const struct {
        const char *model;
        unsigned unit;
        const char *name; // null: refused
    } cases[] = {
        {"KTV4-S", 1, "T001-QZ-KTV4-S-0001"},  {"RQA-310", 26, "T01A-QZ-RQA-310-001A"},
        {"RQA-310", 0xFFF, "TFFF-QZ-RQA-310-0FFF"},           {"RQA-310", 0x1000, nullptr},
        {"RQA310", 1, nullptr},                {"ktv4-s", 1, nullptr},
    };
    for (const auto &c : cases) {
        char name[TN_INSTALLATION_NAME_SIZE] = "";
        bool ok = tn_installation_unit_name(c.model, c.unit, name, sizeof name);
        EXPECT_EQ(ok, c.name != nullptr) << c.model << " " << c.unit;
        if (c.name) {
            EXPECT_STREQ(name, c.name);
        }
    }
    char tiny[8];
    EXPECT_FALSE(tn_installation_unit_name("KTV4-S", 1, tiny, sizeof tiny)) << "a name that does not fit";
}

TEST(TnInstallation, EveryUnitIsKnownToEveryPeerUnderOneName)
{
    tn_installation_config cfg = small_config(2, 2, 1, 1, 24);
    qnb_error err = QNB_ERR_SUCCESS;
    tn_installation *inst = tn_installation_new(&cfg, &err);
    ASSERT_NE(inst, nullptr) << qnb_error_get_text(err);
    ASSERT_EQ(tn_installation_unit_count(inst), 30u);
    tn_routing_set *set = tn_installation_routing(inst);
    tn_conmon_server *conmon = tn_installation_conmon_server(inst);
    ASSERT_EQ(tn_routing_set_count(set), 30u);
    EXPECT_EQ(tn_conmon_server_device_count(conmon), 30u);

    const struct {
        size_t index;
        const char *name;
        const char *model;
        unsigned channels;
    } expected[] = {
        {0, "T001-QZ-KTV4-S-0001", "KTV4-S", 64},    {1, "T002-QZ-KTV4-S-0002", "KTV4-S", 64},
        {2, "T001-QZ-RQA-310-0001", "RQA-310", 2},   {4, "T01A-QZ-RQA-310-001A", "RQA-310", 2},
        {5, "T032-QZ-RQA-310-0032", "RQA-310", 2},   {6, "T04A-QZ-RQA-310-004A", "RQA-310", 2},
        {29, "T061-QZ-RQA-310-0061", "RQA-310", 2},
    };
    for (const auto &e : expected) {
        const char *model = nullptr;
        EXPECT_STREQ(tn_installation_unit_at(inst, e.index, &model), e.name);
        EXPECT_STREQ(model, e.model);
        tn_routing_device *rd = tn_routing_set_at(set, e.index);
        EXPECT_STREQ(tn_routing_device_get_name(rd), e.name);
        EXPECT_STREQ(tn_routing_device_get_config(rd)->model_name, e.model);
        EXPECT_EQ(tn_routing_device_get_config(rd)->rx_count, e.channels);
        tn_conmon_device *cd = tn_conmon_server_device(conmon, e.name);
        ASSERT_NE(cd, nullptr) << e.name;
        EXPECT_STREQ(cd->model_name, e.model);
    }
    EXPECT_EQ(tn_installation_unit_at(inst, 30, nullptr), nullptr);
    EXPECT_FALSE(tn_installation_published(inst)) << "nothing was published";
    tn_installation_delete(inst);
}

TEST(TnInstallation, CountsBeyondAnAreaAreRefused)
{
    const tn_installation_config cases[] = {
        small_config(5, 1, 0, 0, 0),
        small_config(1, 26, 0, 0, 0),
        small_config(1, 1, 25, 0, 0),
        small_config(1, 1, 0, 0, 25),
    };
    for (const tn_installation_config &cfg : cases) {
        qnb_error err = QNB_ERR_SUCCESS;
        EXPECT_EQ(tn_installation_new(&cfg, &err), nullptr);
        EXPECT_EQ(err, QNB_ERR_INVALIDPARAMETER);
    }
}

// Requests sent one at a time, or in bursts that one processing call reads together: every third
// of them stays unanswered, and only at the device that was asked to lose them.
TEST(TnInstallation, RoutingLossDropsEveryNthRequestOfTheNamedUnit)
{
    tn_installation_config cfg = small_config(1, 1, 0, 0, 0);
    tn_installation *inst = tn_installation_new(&cfg, nullptr);
    ASSERT_NE(inst, nullptr);
    EXPECT_EQ(tn_installation_set_routing_loss(inst, "T999-QZ-KTV4-S-0999", 3), QNB_ERR_NOTFOUND);
    ASSERT_EQ(tn_installation_set_routing_loss(inst, "t001-qz-ktv4-s-0001", 3), QNB_ERR_SUCCESS);
    tn_routing_set *set = tn_installation_routing(inst);
    tn_udp_peer peer{};
    ASSERT_EQ(tn_udp_peer_open(&peer, 0), QNB_ERR_SUCCESS);

    // Sends `burst` capabilities requests to a unit, processes once when all of them wait at the
    // unit, and returns the sequence numbers answered.
    uint16_t seq = 0;
    auto exchange = [&](size_t unit, unsigned burst) {
        tn_routing_device *dev = tn_routing_set_at(set, unit);
        uint16_t port = tn_routing_device_get_port(dev);
        for (unsigned k = 0; k < burst; ++k) {
            uint8_t m[10] = {};
            wgcp_store_be16(&m[0], 0x2729);
            wgcp_store_be16(&m[2], sizeof m);
            wgcp_store_be16(&m[4], ++seq);
            wgcp_store_be16(&m[6], 0x1000);
            EXPECT_EQ(tn_udp_peer_send(&peer, m, sizeof m, port), QNB_ERR_SUCCESS);
        }
        EXPECT_TRUE(datagrams_arrive(tn_routing_device_get_socket(dev), burst));
        const unsigned long received = tn_routing_device_received(dev), sent = tn_routing_device_sent(dev);
        tn_installation_process(inst);
        EXPECT_EQ(tn_routing_device_received(dev) - received, burst) << "read together";
        return answers_since(&peer, dev, sent);
    };
    std::string one_by_one;
    for (int k = 0; k < 7; ++k)
        one_by_one += exchange(0, 1);
    EXPECT_EQ(one_by_one, "1 2 4 5 7 ");
    EXPECT_EQ(exchange(0, 4), "8 10 11 ") << "the count goes on across a burst";
    EXPECT_EQ(exchange(0, 2), "13 ");
    EXPECT_EQ(exchange(1, 3), "14 15 16 ") << "another unit loses nothing";
    EXPECT_EQ(tn_installation_routing_lost(inst), 4u);
    tn_udp_peer_close(&peer);
    tn_installation_delete(inst);
}

// Loss for every unit at once: the units' counts start at points spread over the first N requests,
// so that units that are asked fewer than N times lose their share of requests too.
TEST(TnInstallation, RoutingLossOfTheWholeInstallationIsSpreadOverTheUnits)
{
    tn_installation_config cfg = small_config(1, 3, 0, 0, 0);
    tn_installation *inst = tn_installation_new(&cfg, nullptr);
    ASSERT_NE(inst, nullptr);
    ASSERT_EQ(tn_installation_set_routing_loss(inst, nullptr, 4), QNB_ERR_SUCCESS);
    tn_routing_set *set = tn_installation_routing(inst);
    tn_udp_peer peer{};
    ASSERT_EQ(tn_udp_peer_open(&peer, 0), QNB_ERR_SUCCESS);
    std::string lost; // per unit, the sequence numbers 1-6 that went unanswered
    for (size_t unit = 0; unit < 4; ++unit) {
        tn_routing_device *dev = tn_routing_set_at(set, unit);
        uint16_t port = tn_routing_device_get_port(dev);
        for (uint16_t seq = 1; seq <= 6; ++seq) {
            uint8_t m[10] = {};
            wgcp_store_be16(&m[0], 0x2729);
            wgcp_store_be16(&m[2], sizeof m);
            wgcp_store_be16(&m[4], seq);
            wgcp_store_be16(&m[6], 0x1000);
            EXPECT_EQ(tn_udp_peer_send(&peer, m, sizeof m, port), QNB_ERR_SUCCESS);
            EXPECT_TRUE(datagrams_arrive(tn_routing_device_get_socket(dev), 1));
            const unsigned long sent = tn_routing_device_sent(dev);
            tn_installation_process(inst);
            const std::string answered = answers_since(&peer, dev, sent);
            if (answered.empty())
                lost += std::to_string(seq);
            else
                EXPECT_EQ(answered, std::to_string(seq) + " ");
        }
        lost += ' ';
    }
    EXPECT_EQ(lost, "15 26 3 4 ");
    EXPECT_EQ(tn_installation_routing_lost(inst), 6u);
    tn_udp_peer_close(&peer);
    tn_installation_delete(inst);
}

} // namespace
