// The routing driver inside a running service layer, against simulated routing devices over
// loopback. Devices are found through the scripted DNS-SD backend with the port they listen on;
// deadlines run on the fake clock. The simulated devices are processed by a thread of their own
// and read under its lock.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netaudio/platform/qnb_interface.h"
#include "netaudio/routing/wr_device.h"
#include "testnet/tn_routing_device.h"
#include "tests/support/dnssd_fake.h"
#include "tests/support/fake_clock.h"
#include "tests/wrapper/service/driver_fixture.h"
#include "tests/wrapper/wrapper_test_support.h"
#include "wrapper/service/wfa_bytes.h"
#include "wrapper/service/wfa_command.h"
#include "wrapper/service/wfa_main.h"
#include "wrapper/service/wfa_records.h"
#include "wrapper/service/wfa_routing.h"
#include "wrapper/service/wfa_tcb.h"

namespace {

using namespace std::chrono;
using wrapper_test::recorder;
using wrapper_test::result;

const char k_type[] = "_netaudio-arc._udp";

// Runs `job` on the worker thread as a task and returns its result.
int on_worker(std::function<int()> job)
{
    return driver_fixture::on_worker<int>(std::move(job));
}

void no_pause(unsigned, void *)
{
}

std::vector<uint8_t> named(const std::string &name, size_t size)
{
    std::vector<uint8_t> block(size, 0);
    wfa_put_text(block.data(), block.size(), 0, WFA_NAME_FIELD, name);
    return block;
}

std::string name_of(const result &r)
{
    return wfa_get_text(r.payload.data(), r.payload.size(), 0, WFA_NAME_FIELD);
}

// A batch block: `count`, then entry i {device, channel} for receive channel i + 1.
std::vector<uint8_t> batch(const std::string &name, uint16_t count,
                           const std::function<std::pair<std::string, uint16_t>(uint16_t)> &entry)
{
    std::vector<uint8_t> block = named(name, WFA_BATCH_SIZE);
    wfa_put_u16(block.data(), block.size(), 32, count);
    for (uint16_t i = 0; i < count && i < WFA_BATCH_ENTRIES; ++i) {
        auto e = entry(i);
        const size_t at = 34 + size_t(i) * WFA_BATCH_ENTRY_SIZE;
        wfa_put_text(block.data(), block.size(), at, WFA_NAME_FIELD, e.first);
        wfa_put_u16(block.data(), block.size(), at + WFA_NAME_FIELD, e.second);
    }
    return block;
}

class RoutingDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        dnssd_fake::reset();
        qnb_interface lo;
        ASSERT_EQ(qnb_interface_get_loopback(&lo), 0);
        loopback = lo.index;
        devices = tn_routing_set_new();
        wfa_set_pause_hook(no_pause, nullptr);
        uint16_t id = 0;
        ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
        runner = std::thread([this] { run_devices(); });
    }

    void TearDown() override
    {
        wfa_stop();
        running = false;
        runner.join();
        tn_routing_set_delete(devices);
        dnssd_fake::reset();
    }

    void run_devices()
    {
        while (running) {
            std::vector<pollfd> fds;
            {
                std::lock_guard<std::mutex> guard(device_lock);
                tn_routing_set_process(devices);
                for (size_t i = 0; i < tn_routing_set_count(devices); ++i)
                    fds.push_back({tn_routing_device_get_socket(tn_routing_set_at(devices, i)), POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), 2);
        }
    }

    // A simulated device, published through DNS-SD on loopback with the port it listens on.
    std::string add_device(tn_routing_model model, unsigned unit, uint16_t rx_count = 0, uint16_t label_slots = 0)
    {
        tn_routing_device_config cfg;
        tn_routing_device_config_init(&cfg, model, unit);
        if (rx_count)
            cfg.rx_count = rx_count;
        cfg.label_slots = label_slots;
        std::lock_guard<std::mutex> guard(device_lock);
        qnb_error error = 0;
        tn_routing_device *dev = tn_routing_set_add(devices, &cfg, &error);
        EXPECT_NE(dev, nullptr) << error;
        if (!dev)
            return "";
        uint8_t txt[512];
        size_t size = tn_routing_device_txt(dev, txt, sizeof txt);
        dnssd_fake::announce({k_type, cfg.name, loopback, "sim.local", tn_routing_device_get_port(dev),
                              std::string(reinterpret_cast<const char *>(txt), size)});
        return cfg.name;
    }

    template <typename F> auto with_device(const std::string &name, F f)
    {
        std::lock_guard<std::mutex> guard(device_lock);
        return f(tn_routing_set_find(devices, name.c_str()));
    }

    void send(uint32_t command, const std::vector<uint8_t> &args, uint16_t request_id = 0)
    {
        ASSERT_EQ(wfa_request(command, args.data(), &request_id), ERR_NOERR);
    }

    // Results of `code` for `name` after the first `from`.
    std::vector<result> answers(uint16_t code, const std::string &name, size_t from = 0)
    {
        std::vector<result> out;
        std::vector<result> all = results.results();
        for (size_t i = from; i < all.size(); ++i)
            if (all[i].code == code && name_of(all[i]) == name)
                out.push_back(all[i]);
        return out;
    }

    bool wait_answers(uint16_t code, const std::string &name, size_t n, size_t from = 0)
    {
        auto until = steady_clock::now() + seconds(10);
        while (steady_clock::now() < until) {
            if (answers(code, name, from).size() >= n)
                return true;
            std::this_thread::sleep_for(milliseconds(2));
        }
        return false;
    }

    // Everything the worker had to do before now has been done once this returns.
    void settle()
    {
        on_worker([] { return 0; });
        on_worker([] { return 0; });
    }

    void route(const std::string &name)
    {
        const size_t before = results.size();
        send(19, named(name, 32), 0x0519);
        ASSERT_TRUE(wait_answers(WFA_CBACK_INF_CH_NUM, name, 1, before)) << name << " never became active";
        EXPECT_EQ(answers(WFA_CBACK_INF_CH_NUM, name, before)[0].request_id, 0x0519);
    }

    qz_test::fake_clock clock;
    wrapper_test::layer_guard guard;
    recorder results;
    uint32_t loopback = 0;
    std::mutex device_lock;
    tn_routing_set *devices = nullptr;
    std::atomic<bool> running{true};
    std::thread runner;
};

TEST(RoutingLatencyClass, FramesPerPacketFollowTheLatency)
{
    const struct {
        uint16_t us, frames;
    } rows[] = {{0, 4}, {499, 4}, {500, 8}, {999, 8}, {1000, 16}, {1500, 16}, {1999, 16}, {2000, 32}, {65535, 32}};
    for (const auto &row : rows)
        EXPECT_EQ(wfa_routing_latency_class(row.us), row.frames) << row.us;
}

TEST_F(RoutingDriver, CommandsForDevicesNotActiveAnswerAtOnce)
{
    // Routed but never resolved: RESOLVING.
    dnssd_fake::set_resolve_mode(dnssd_fake::resolve_mode::silent);
    send(19, named("T00A-KTV4S-000A-QZ", 32));
    settle();

    const struct {
        const char *name;
        uint32_t command;
        size_t size;
        uint16_t status;
        size_t payload;
    } rows[] = {
        {"nobody", 33, WFA_BATCH_SIZE, ERR_BATCH_PARAM, WFA_BATCH_SIZE},
        {"T00A-KTV4S-000A-QZ", 33, WFA_BATCH_SIZE, ERR_BATCH_DEVICE_STATE + WR_DEVICE_STATE_RESOLVING, WFA_BATCH_SIZE},
        {"T00A-KTV4S-000A-QZ", 24, 68, ERR_UNKNOWN, 68},
        {"nobody", 32, WFA_BATCH_SIZE, ERR_UNKNOWN, WFA_BATCH_SIZE},
        {"T00A-KTV4S-000A-QZ", 40, 34, ERR_UNKNOWN, 34},
        {"nobody", 41, 34, ERR_UNKNOWN, 34},
        {"nobody", 39, 34, ERR_UNKNOWN, 34},
        {"nobody", 20, 32, ERR_UNKNOWN, 546},
        {"nobody", 21, 66, ERR_UNKNOWN, 66},
        {"T00A-KTV4S-000A-QZ", 26, 36, ERR_UNKNOWN, 36},
        {"nobody", 27, 36, ERR_UNKNOWN, 36},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.command) + " " + row.name);
        std::vector<uint8_t> args = named(row.name, row.size);
        if (row.command == 33 || row.command == 32)
            wfa_put_u16(args.data(), args.size(), 32, 4);
        const size_t before = results.size();
        send(row.command, args, 0x1234);
        settle();
        std::vector<result> got = answers(uint16_t(row.command), row.name, before);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].status, row.status);
        EXPECT_EQ(got[0].request_id, 0x1234);
        EXPECT_EQ(got[0].payload.size(), row.payload);
    }
}

TEST_F(RoutingDriver, ABatchLandsInTheDeviceAndAClearEmptiesIt)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    const std::string rqa = add_device(TN_ROUTING_MODEL_RQA310, 2);
    route(ktv);
    route(rqa);
    std::vector<result> ch = answers(WFA_CBACK_INF_CH_NUM, ktv);
    ASSERT_EQ(ch.size(), 1u);
    uint16_t tx = 0, rx = 0;
    wfa_get_u16(ch[0].payload.data(), ch[0].payload.size(), 32, &tx);
    wfa_get_u16(ch[0].payload.data(), ch[0].payload.size(), 34, &rx);
    EXPECT_EQ(tx, 64);
    EXPECT_EQ(rx, 64);

    // Every receive channel of the KTV4-S (odd ones from the RQA-310, even ones from itself) and,
    // in flight at the same time, both of the RQA-310's.
    size_t before = results.size();
    send(33, batch(ktv, 64, [&](uint16_t i) {
             return i % 2 ? std::make_pair(ktv, uint16_t(i + 1)) : std::make_pair(rqa, uint16_t(1 + (i / 2) % 2));
         }));
    send(33, batch(rqa, 2, [&](uint16_t i) { return std::make_pair(ktv, uint16_t(10 + i)); }));
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, 2, before));
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_BATCH_LIST, rqa, 2, before));
    settle();
    std::vector<result> got;
    for (const std::string &name : {ktv, rqa}) {
        got = answers(WFA_CBACK_INF_SET_BATCH_LIST, name, before);
        ASSERT_EQ(got.size(), 2u) << name;
        EXPECT_EQ(got[0].status, WFA_STATUS_BATCH_SENT) << name;
        EXPECT_EQ(got[1].status, ERR_NOERR) << name;
    }
    with_device(rqa, [&](tn_routing_device *dev) {
        tn_routing_subscription sub;
        EXPECT_TRUE(tn_routing_device_get_subscription(dev, 2, &sub));
        EXPECT_STREQ(sub.tx_channel, "11");
        EXPECT_STREQ(sub.tx_device, ktv.c_str());
        return 0;
    });
    with_device(ktv, [&](tn_routing_device *dev) {
        EXPECT_EQ(tn_routing_device_subscription_count(dev), 64u);
        for (uint16_t id = 1; id <= 64; ++id) {
            tn_routing_subscription sub;
            EXPECT_TRUE(tn_routing_device_get_subscription(dev, id, &sub));
            char expected[8];
            std::snprintf(expected, sizeof expected, "%02d", (id - 1) % 2 ? id : 1 + ((id - 1) / 2) % 2);
            EXPECT_STREQ(sub.tx_channel, expected) << id;
            EXPECT_STREQ(sub.tx_device, ((id - 1) % 2 ? ktv : rqa).c_str()) << id;
        }
        return 0;
    });

    // The clear of the whole device, as the program sends it.
    before = results.size();
    send(33, batch(ktv, 64, [](uint16_t) { return std::make_pair(std::string(), uint16_t(0xFFFF)); }));
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, 2, before));
    settle();
    got = answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, before);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].status, ERR_NOERR);
    with_device(ktv, [](tn_routing_device *dev) {
        EXPECT_EQ(tn_routing_device_subscription_count(dev), 0u);
        EXPECT_EQ(tn_routing_device_request_count(dev, 0x3014), 1u);
        return 0;
    });
}

TEST_F(RoutingDriver, OnePatchSubscribesByIndexAndReadsBack)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    route(ktv);
    std::vector<uint8_t> patch = named(ktv, 68);
    wfa_put_u16(patch.data(), patch.size(), 32, 2); // receive index 2: channel 3
    wfa_put_text(patch.data(), patch.size(), 34, 32, ktv);
    wfa_put_u16(patch.data(), patch.size(), 66, 5);
    size_t before = results.size();
    send(24, patch, 7);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_PACHE, ktv, 1, before));
    EXPECT_EQ(answers(WFA_CBACK_INF_SET_PACHE, ktv, before)[0].status, ERR_NOERR);
    with_device(ktv, [](tn_routing_device *dev) {
        tn_routing_subscription sub;
        EXPECT_TRUE(tn_routing_device_get_subscription(dev, 3, &sub));
        EXPECT_STREQ(sub.tx_channel, "05");
        return 0;
    });

    // Read back once the device's page has been read again: its own channel 05 has id 5.
    auto until = steady_clock::now() + seconds(10);
    uint16_t id = 0;
    std::string device;
    while (steady_clock::now() < until && id != 5) {
        before = results.size();
        std::vector<uint8_t> ask = named(ktv, 68);
        wfa_put_u16(ask.data(), ask.size(), 32, 2);
        send(25, ask);
        ASSERT_TRUE(wait_answers(WFA_CBACK_INF_GET_PACHE, ktv, 1, before));
        result r = answers(WFA_CBACK_INF_GET_PACHE, ktv, before)[0];
        EXPECT_EQ(r.status, ERR_NOERR);
        device = wfa_get_text(r.payload.data(), r.payload.size(), 34, 32);
        wfa_get_u16(r.payload.data(), r.payload.size(), 66, &id);
    }
    EXPECT_EQ(device, ktv);
    EXPECT_EQ(id, 5);

    // Transmit channel 0 clears.
    wfa_put_u16(patch.data(), patch.size(), 66, 0);
    before = results.size();
    send(24, patch);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_PACHE, ktv, 1, before));
    EXPECT_EQ(with_device(ktv, [](tn_routing_device *dev) { return tn_routing_device_subscription_count(dev); }),
              0u);
}

TEST_F(RoutingDriver, AChangeRecordRereadsItsChannelsAndTheListNamesTheLocalDeviceByName)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    route(ktv);
    settle();
    with_device(ktv, [](tn_routing_device *dev) { return tn_routing_device_set_subscription(dev, 10, "03", "."); });
    // The change record of receive index 9 (byte 1, bit 1), as the control-and-monitoring driver
    // forwards it.
    std::vector<uint8_t> change = named(ktv, WFA_RX_CHANGE_SIZE);
    change[32 + 1] = 0x02;
    wfa_put_u16(change.data(), change.size(), 64, 2);
    auto until = steady_clock::now() + seconds(10);
    std::string device;
    uint16_t id = 0;
    while (steady_clock::now() < until && id != 3) {
        const size_t before = results.size();
        send(35, change);
        // The answer comes once the device has sent the page read again; each round waits for its own.
        ASSERT_TRUE(wait_answers(WFA_CBACK_INF_GET_BATCH_LIST, ktv, 1, before));
        for (const result &r : answers(WFA_CBACK_INF_GET_BATCH_LIST, ktv, before)) {
            const size_t at = 34 + 9 * WFA_BATCH_ENTRY_SIZE;
            device = wfa_get_text(r.payload.data(), r.payload.size(), at, 32);
            wfa_get_u16(r.payload.data(), r.payload.size(), at + 32, &id);
        }
    }
    EXPECT_EQ(device, ktv);
    EXPECT_EQ(id, 3);
}

TEST_F(RoutingDriver, ACountOf256IsAcceptedAndALargerOneRefused)
{
    const std::string big = add_device(TN_ROUTING_MODEL_CUSTOM, 3, 256);
    route(big);
    size_t before = results.size();
    send(33, batch(big, 256, [&](uint16_t) { return std::make_pair(big, uint16_t(1)); }));
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_BATCH_LIST, big, 2, before));
    EXPECT_EQ(answers(WFA_CBACK_INF_SET_BATCH_LIST, big, before)[1].status, ERR_NOERR);
    EXPECT_EQ(with_device(big, [](tn_routing_device *dev) { return tn_routing_device_subscription_count(dev); }),
              256u);

    before = results.size();
    send(33, batch(big, 257, [&](uint16_t) { return std::make_pair(big, uint16_t(1)); }));
    settle();
    std::vector<result> got = answers(WFA_CBACK_INF_SET_BATCH_LIST, big, before);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, ERR_PARAM);
}

TEST_F(RoutingDriver, LatencyIsSentWithItsClassAndAnsweredFromTheReply)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    route(ktv);
    std::vector<uint8_t> args = named(ktv, 34);
    wfa_put_u16(args.data(), args.size(), 32, 1500);
    const size_t before = results.size();
    send(40, args);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_LATENCY, ktv, 1, before));
    settle();
    std::vector<result> got = answers(WFA_CBACK_INF_SET_LATENCY, ktv, before);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, ERR_NOERR);
    with_device(ktv, [](tn_routing_device *dev) {
        uint32_t frames = 0;
        EXPECT_TRUE(tn_routing_device_get_property(dev, 0x0211, &frames));
        EXPECT_EQ(frames, 16u);
        EXPECT_EQ(tn_routing_device_latency_ns(dev), 1500000u);
        return 0;
    });
}

TEST_F(RoutingDriver, ASilentDeviceAnswersWithAnErrorAfterTheTimeOut)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    route(ktv);
    with_device(ktv, [](tn_routing_device *dev) {
        tn_routing_device_set_silent(dev, true);
        return 0;
    });
    size_t before = results.size();
    send(33, batch(ktv, 64, [](uint16_t) { return std::make_pair(std::string(), uint16_t(0)); }));
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, 1, before));
    clock.advance(1, 100000); // the resend
    settle();
    EXPECT_EQ(answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, before).size(), 1u);
    clock.advance(2); // three seconds after the first send, without any traffic
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, 2, before));
    std::vector<result> got = answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, before);
    EXPECT_EQ(got[1].status, ERR_UNKNOWN);
    EXPECT_EQ(with_device(ktv, [](tn_routing_device *dev) { return tn_routing_device_request_count(dev, 0x3014); }),
              2u); // sent and resent once
}

TEST_F(RoutingDriver, CommandsPendingWhenTheDeviceClosesAreAnswered)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    route(ktv);
    with_device(ktv, [](tn_routing_device *dev) {
        tn_routing_device_set_silent(dev, true);
        return 0;
    });
    const size_t before = results.size();
    send(33, batch(ktv, 2, [&](uint16_t) { return std::make_pair(ktv, uint16_t(1)); }));
    std::vector<uint8_t> latency = named(ktv, 34);
    wfa_put_u16(latency.data(), latency.size(), 32, 1000);
    send(40, latency);
    std::vector<uint8_t> patch = named(ktv, 68);
    send(24, patch);
    settle();
    EXPECT_EQ(answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, before).size(), 1u); // only "sent"
    EXPECT_TRUE(answers(WFA_CBACK_INF_SET_LATENCY, ktv, before).empty());
    EXPECT_TRUE(answers(WFA_CBACK_INF_SET_PACHE, ktv, before).empty());

    wfa_stop(); // the clean-up closes every routing device
    std::vector<result> batch_answers = answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, before);
    ASSERT_EQ(batch_answers.size(), 2u);
    EXPECT_EQ(batch_answers[1].status, ERR_UNKNOWN);
    for (uint16_t code : {WFA_CBACK_INF_SET_LATENCY, WFA_CBACK_INF_SET_PACHE}) {
        std::vector<result> got = answers(code, ktv, before);
        ASSERT_EQ(got.size(), 1u) << code;
        EXPECT_EQ(got[0].status, ERR_UNKNOWN) << code;
    }

    // A new start begins without slots.
    uint16_t id = 0;
    ASSERT_EQ(wfa_start(recorder::callback, &results, &id), ERR_NOERR);
    EXPECT_EQ(on_worker([] { return wfa_routing_slots_in_use(); }), 0);
}

TEST_F(RoutingDriver, ANameRoutedAgainKeepsItsSlotAndAFailedDeviceIsOpenedAnew)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    const std::string rqa = add_device(TN_ROUTING_MODEL_RQA310, 2);
    with_device(ktv, [](tn_routing_device *dev) {
        tn_routing_device_set_silent(dev, true);
        return 0;
    });
    send(19, named(ktv, 32));
    route(rqa);
    send(19, named(rqa, 32));
    settle();
    EXPECT_EQ(on_worker([] { return wfa_routing_slots_in_use(); }), 2);
    EXPECT_EQ(on_worker([&] { return wfa_routing_slot_of(ktv.c_str()); }), 0);
    EXPECT_EQ(on_worker([&] { return wfa_routing_slot_of(rqa.c_str()); }), 1);
    // Still the same routing device, not asked for its capabilities again; its channel counts are
    // reported again to the second command.
    EXPECT_EQ(with_device(rqa, [](tn_routing_device *dev) { return tn_routing_device_request_count(dev, 0x1000); }),
              1u);
    std::vector<result> counts = answers(WFA_CBACK_INF_CH_NUM, rqa);
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[1].payload, counts[0].payload);

    // The silent device's capabilities query times out: the device fails.
    clock.advance(4);
    settle();
    const size_t before = results.size();
    send(33, batch(ktv, 1, [](uint16_t) { return std::make_pair(std::string(), uint16_t(0)); }));
    settle();
    std::vector<result> got = answers(WFA_CBACK_INF_SET_BATCH_LIST, ktv, before);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].status, ERR_BATCH_DEVICE_STATE + WR_DEVICE_STATE_ERROR);

    // Found again: opened anew in its slot, and active this time.
    with_device(ktv, [](tn_routing_device *dev) {
        tn_routing_device_set_silent(dev, false);
        return 0;
    });
    route(ktv);
    EXPECT_EQ(on_worker([] { return wfa_routing_slots_in_use(); }), 2);
    EXPECT_EQ(on_worker([&] { return wfa_routing_slot_of(ktv.c_str()); }), 0);
}

TEST_F(RoutingDriver, LabelsAndMutesReachTheDeviceAndLabelListsHoldSixteen)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1, 0, 8);
    route(ktv);
    std::vector<uint8_t> rx_label = named(ktv, 66);
    wfa_put_u16(rx_label.data(), rx_label.size(), 32, 1);
    wfa_put_text(rx_label.data(), rx_label.size(), 34, 32, "Podium");
    std::vector<uint8_t> tx_label = rx_label;
    wfa_put_text(tx_label.data(), tx_label.size(), 34, 32, "Main");
    std::vector<uint8_t> rx_mute = named(ktv, 36);
    wfa_put_u16(rx_mute.data(), rx_mute.size(), 32, 2);
    wfa_put_u16(rx_mute.data(), rx_mute.size(), 34, 1);
    std::vector<uint8_t> tx_mute = rx_mute;
    wfa_put_u16(tx_mute.data(), tx_mute.size(), 32, 3);
    const struct {
        uint32_t command;
        const std::vector<uint8_t> &args;
    } rows[] = {{23, rx_label}, {21, tx_label}, {29, rx_mute}, {27, tx_mute}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command);
        const size_t before = results.size();
        send(row.command, row.args);
        ASSERT_TRUE(wait_answers(uint16_t(row.command), ktv, 1, before));
        settle();
        std::vector<result> got = answers(uint16_t(row.command), ktv, before);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].status, ERR_NOERR);
        EXPECT_EQ(got[0].payload, row.args);
    }
    with_device(ktv, [](tn_routing_device *dev) {
        EXPECT_STREQ(tn_routing_device_rx_name(dev, 1), "Podium");
        EXPECT_TRUE(tn_routing_device_rx_muted(dev, 2));
        EXPECT_TRUE(tn_routing_device_tx_muted(dev, 3));
        uint16_t owner = 0;
        const char *label = tn_routing_device_label(dev, 1, &owner);
        EXPECT_STREQ(label ? label : "", "Main");
        EXPECT_EQ(owner, 1);
        return 0;
    });

    // 64 channels a direction: the lists hold the first sixteen.
    for (uint16_t code : {WFA_CBACK_INF_GET_TX_CHLABEL, WFA_CBACK_INF_GET_RX_CHLABEL}) {
        const size_t before = results.size();
        send(code, named(ktv, 32));
        ASSERT_TRUE(wait_answers(code, ktv, 1, before));
        result r = answers(code, ktv, before)[0];
        uint16_t count = 0;
        wfa_get_u16(r.payload.data(), r.payload.size(), 32, &count);
        EXPECT_EQ(r.payload.size(), 546u);
        EXPECT_EQ(count, 16);
    }
}

TEST_F(RoutingDriver, ACapabilitiesQueryThatEndsWithoutActiveIsAskedAgainASecondLater)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    auto refuse_names = [&](uint16_t result) {
        with_device(ktv, [&](tn_routing_device *dev) {
            tn_routing_device_set_result(dev, 0x1002, result);
            tn_routing_device_set_result(dev, 0x1003, result);
            return 0;
        });
    };
    auto queries = [&] {
        return with_device(ktv, [](tn_routing_device *dev) { return tn_routing_device_request_count(dev, 0x1000); });
    };
    refuse_names(0x0004);
    send(19, named(ktv, 32));
    auto until = steady_clock::now() + seconds(10);
    while (steady_clock::now() < until &&
           with_device(ktv, [](tn_routing_device *dev) {
               return tn_routing_device_request_count(dev, 0x1002) + tn_routing_device_request_count(dev, 0x1003);
           }) == 0)
        std::this_thread::sleep_for(milliseconds(2));
    settle();
    EXPECT_EQ(queries(), 1u);
    EXPECT_TRUE(answers(WFA_CBACK_INF_CH_NUM, ktv).empty());

    refuse_names(0);
    clock.advance(0, 900000);
    settle();
    EXPECT_EQ(queries(), 1u);
    clock.advance(0, 200000);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_CH_NUM, ktv, 1));
    EXPECT_EQ(queries(), 2u);
}

} // namespace

namespace {

// What the failure tests below share: the device table the browse driver fills, the requests of an
// opcode a simulated device has received, and a clock moved in steps that each leave the worker
// and the simulated devices time to act on it.
class RoutingRetry : public RoutingDriver {
protected:
    void in_table(const std::string &name, bool in = true)
    {
        on_worker([&] { return int(in ? wfa_device_add(name.c_str()) : wfa_device_remove(name.c_str())); });
    }

    unsigned requests(const std::string &name, uint16_t opcode)
    {
        return with_device(name, [&](tn_routing_device *dev) { return tn_routing_device_request_count(dev, opcode); });
    }

    void set(const std::string &name, const std::function<void(tn_routing_device *)> &f)
    {
        with_device(name, [&](tn_routing_device *dev) {
            f(dev);
            return 0;
        });
    }

    // Moves the clock `ms` in steps of 250 ms; true as soon as `condition` holds.
    bool step_until(unsigned ms, const std::function<bool()> &condition)
    {
        for (unsigned t = 0; t < ms; t += 250) {
            settle();
            clock.advance(0, 250000);
            settle();
            if (driver_fixture::wait_until(condition, milliseconds(10)))
                return true;
        }
        return condition();
    }

    // The first receive channel id the `n`-th 0x3000 request `name` received asked for.
    uint16_t rx_page_from(const std::string &name, unsigned n)
    {
        return with_device(name, [n](tn_routing_device *dev) {
            tn_routing_log_entry e;
            unsigned seen = 0;
            for (size_t i = 0; i < tn_routing_device_log_count(dev); ++i)
                if (tn_routing_device_log_at(dev, i, &e) && e.opcode == 0x3000 && ++seen == n && e.size >= 14)
                    return uint16_t(e.bytes[12] << 8 | e.bytes[13]);
            return uint16_t(0);
        });
    }

    // The subscription list entry of receive index `i` of the last code 32 answer for `name`.
    std::pair<std::string, uint16_t> listed(const std::string &name, size_t i, size_t from = 0)
    {
        std::vector<result> got = answers(WFA_CBACK_INF_GET_BATCH_LIST, name, from);
        if (got.empty())
            return {"(no list)", 0};
        const result &r = got.back();
        const size_t at = 34 + i * WFA_BATCH_ENTRY_SIZE;
        uint16_t id = 0;
        wfa_get_u16(r.payload.data(), r.payload.size(), at + 32, &id);
        return {wfa_get_text(r.payload.data(), r.payload.size(), at, 32), id};
    }

    std::vector<uint8_t> all_rx_changed(const std::string &name)
    {
        std::vector<uint8_t> change = named(name, WFA_RX_CHANGE_SIZE);
        std::memset(change.data() + 32, 0xFF, 8);
        wfa_put_u16(change.data(), change.size(), 64, 8);
        return change;
    }
};

// A device that fails, once by a reply that does not fit and then by its queries going unanswered,
// is opened again 1 s after its first failure and after 2, 4, 8 and 16 s after the next ones, as
// long as it is in the device table; once it answers it is routed. A device that left the table
// is not opened again.
TEST_F(RoutingRetry, AFailedDeviceIsOpenedAgainWithAGrowingPauseWhileItIsInTheTable)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    in_table(ktv);
    set(ktv, [](tn_routing_device *dev) { tn_routing_device_set_result(dev, 0x1102, 0x8100); });
    send(19, named(ktv, 32));
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x1102) == 1; }));
    settle();
    EXPECT_TRUE(answers(WFA_CBACK_INF_CH_NUM, ktv).empty());
    // From now on its queries and their re-sends go unanswered.
    set(ktv, [](tn_routing_device *dev) {
        tn_routing_device_set_result(dev, 0x1102, 0);
        tn_routing_device_set_silent(dev, true);
    });
    const unsigned first = requests(ktv, 0x1000);
    EXPECT_FALSE(step_until(750, [&] { return requests(ktv, 0x1000) > first; }));
    ASSERT_TRUE(step_until(500, [&] { return requests(ktv, 0x1000) > first; }));
    // Each unanswered query ends 3 s after it was sent; the pause follows.
    for (unsigned pause : {2000u, 4000u, 8000u, 16000u}) {
        SCOPED_TRACE(pause);
        const unsigned before = requests(ktv, 0x1000);
        EXPECT_FALSE(step_until(3000 + pause - 500, [&] { return requests(ktv, 0x1000) > before + 1; }));
        ASSERT_TRUE(step_until(1000, [&] { return requests(ktv, 0x1000) > before + 1; }));
    }
    set(ktv, [](tn_routing_device *dev) { tn_routing_device_set_silent(dev, false); });
    ASSERT_TRUE(step_until(2000, [&] { return !answers(WFA_CBACK_INF_CH_NUM, ktv).empty(); }));

    const std::string rqa = add_device(TN_ROUTING_MODEL_RQA310, 2);
    in_table(rqa);
    set(rqa, [](tn_routing_device *dev) { tn_routing_device_set_silent(dev, true); });
    send(19, named(rqa, 32));
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(rqa, 0x1000) == 1; }));
    ASSERT_TRUE(step_until(5000, [&] { return requests(rqa, 0x1000) == 3; })); // failed once, opened again
    in_table(rqa, false);
    EXPECT_FALSE(step_until(40000, [&] { return requests(rqa, 0x1000) > 4; }));
}

// A page of a receive-channel read and its re-send lost: a second later the read goes on from that
// page, and the subscription list, asked for meanwhile, names what the device holds.
TEST_F(RoutingRetry, AReadWhosePageIsLostTwiceGoesOnFromThatPage)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    in_table(ktv);
    set(ktv, [&](tn_routing_device *dev) { tn_routing_device_set_subscription(dev, 40, "05", ktv.c_str()); });
    route(ktv);
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x3000) == 4; }));
    settle();
    // A change of every channel; only the first page of its read is answered.
    set(ktv, [&](tn_routing_device *dev) {
        tn_routing_device_set_subscription(dev, 40, "07", ktv.c_str());
        tn_routing_device_vanish_after(dev, 0x3000, 1);
    });
    send(35, all_rx_changed(ktv));
    ASSERT_TRUE(step_until(4000, [&] { return requests(ktv, 0x3000) == 7; })); // page 2 and its re-send
    EXPECT_EQ(rx_page_from(ktv, 7), 17);
    set(ktv, [](tn_routing_device *dev) { tn_routing_device_set_silent(dev, false); });
    ASSERT_TRUE(step_until(4000, [&] { return requests(ktv, 0x3000) >= 8; }));
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x3000) == 10; }));
    EXPECT_EQ(rx_page_from(ktv, 8), 17);
    settle();
    std::vector<uint8_t> ask = named(ktv, WFA_BATCH_SIZE);
    wfa_put_u16(ask.data(), ask.size(), 32, 64);
    const size_t before = results.size();
    send(32, ask);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_GET_BATCH_LIST, ktv, 1, before));
    EXPECT_EQ(listed(ktv, 39, before), std::make_pair(ktv, uint16_t(7)));
}

// The first read of the receive channels refused by the device: the subscription list asked for
// meanwhile waits (no channel is reported empty that was never read) and is answered once the
// read that follows a second later brings the table.
TEST_F(RoutingRetry, AListWaitsWhileTheFirstReadIsRefusedAndIsAnsweredFromTheNextOne)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    in_table(ktv);
    set(ktv, [&](tn_routing_device *dev) {
        tn_routing_device_set_subscription(dev, 3, "09", ktv.c_str());
        tn_routing_device_set_result(dev, 0x3000, 0x8100);
    });
    route(ktv);
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x3000) == 1; }));
    std::vector<uint8_t> ask = named(ktv, WFA_BATCH_SIZE);
    wfa_put_u16(ask.data(), ask.size(), 32, 64);
    const size_t before = results.size();
    send(32, ask);
    settle();
    EXPECT_TRUE(answers(WFA_CBACK_INF_GET_BATCH_LIST, ktv, before).empty());
    set(ktv, [](tn_routing_device *dev) { tn_routing_device_set_result(dev, 0x3000, 0); });
    ASSERT_TRUE(step_until(1500, [&] { return !answers(WFA_CBACK_INF_GET_BATCH_LIST, ktv, before).empty(); }));
    std::vector<result> got = answers(WFA_CBACK_INF_GET_BATCH_LIST, ktv, before);
    EXPECT_EQ(got[0].status, ERR_NOERR);
    EXPECT_EQ(listed(ktv, 2, before), std::make_pair(ktv, uint16_t(9)));
    EXPECT_EQ(listed(ktv, 3, before), std::make_pair(std::string(), uint16_t(0)));
}

// The transmit channels of a device refused until the next read waits 2 s: a list that looks them
// up reads them at once, and the list after that has the transmit channel id.
TEST_F(RoutingRetry, AListReadsTheTransmitChannelsItLooksUp)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    in_table(ktv);
    set(ktv, [&](tn_routing_device *dev) {
        tn_routing_device_set_subscription(dev, 3, "09", ktv.c_str());
        tn_routing_device_set_result(dev, 0x2000, 0x8100);
    });
    route(ktv);
    // Refused when the device became active, and again when the list of its first read looked it up.
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x2000) == 2 && requests(ktv, 0x3000) == 4; }));
    ASSERT_TRUE(step_until(1500, [&] { return requests(ktv, 0x2000) == 3; })); // tried again, refused again
    set(ktv, [](tn_routing_device *dev) { tn_routing_device_set_result(dev, 0x2000, 0); });
    std::vector<uint8_t> ask = named(ktv, WFA_BATCH_SIZE);
    wfa_put_u16(ask.data(), ask.size(), 32, 64);
    send(32, ask);
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x2000) == 7; }));
    settle();
    const size_t before = results.size();
    send(32, ask);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_GET_BATCH_LIST, ktv, 1, before));
    EXPECT_EQ(listed(ktv, 2, before), std::make_pair(ktv, uint16_t(9)));
}

// A receive channel renamed while a read of the receive channels is under way, behind the page the
// read has reached: it is read again once that read ends, and the next list of names holds it.
TEST_F(RoutingRetry, ARenameDuringAReadShowsInTheNextList)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    in_table(ktv);
    route(ktv);
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x3000) == 4; }));
    settle();
    set(ktv, [](tn_routing_device *dev) { tn_routing_device_vanish_after(dev, 0x3000, 1); });
    send(35, all_rx_changed(ktv));
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x3000) == 6; })); // page 2 waits
    set(ktv, [](tn_routing_device *dev) { tn_routing_device_set_silent(dev, false); });
    std::vector<uint8_t> rename = named(ktv, 66);
    wfa_put_u16(rename.data(), rename.size(), 32, 1);
    wfa_put_text(rename.data(), rename.size(), 34, 32, "Podium");
    size_t before = results.size();
    send(23, rename);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_RX_CHLABEL, ktv, 1, before));
    // The re-send of page 2 brings the rest of the read, and the pass after it channel 1.
    ASSERT_TRUE(step_until(1500, [&] { return requests(ktv, 0x3000) >= 9; }));
    driver_fixture::wait_until([&] { return requests(ktv, 0x3000) >= 10; }, milliseconds(200));
    settle();
    before = results.size();
    send(WFA_CBACK_INF_GET_RX_CHLABEL, named(ktv, 32));
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_GET_RX_CHLABEL, ktv, 1, before));
    result r = answers(WFA_CBACK_INF_GET_RX_CHLABEL, ktv, before)[0];
    EXPECT_EQ(wfa_get_text(r.payload.data(), r.payload.size(), 34, 32), "Podium");
}

} // namespace

namespace {

// A device that left the device table while a read of its receive channels was under way and a
// patch waited for its answer, and came back as a spare unit that holds no subscription: command 19
// opens it anew. The waiting patch is answered as for a closed device, the capabilities query and
// the reads run again, the channel counts and the latency are reported from them, and the next list
// names the spare's empty channel, not what the unit before it held.
TEST_F(RoutingRetry, ADeviceThatLeftTheTableIsOpenedAndReadAnewWhenRoutedAgain)
{
    const std::string ktv = add_device(TN_ROUTING_MODEL_KTV4S, 1);
    in_table(ktv);
    set(ktv, [&](tn_routing_device *dev) { tn_routing_device_set_subscription(dev, 3, "09", ktv.c_str()); });
    route(ktv);
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x3000) == 4; }));
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_GET_LATENCY, ktv, 1));
    settle();
    set(ktv, [](tn_routing_device *dev) { tn_routing_device_vanish_after(dev, 0x3000, 1); });
    send(35, all_rx_changed(ktv));
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x3000) == 6; })); // page 2 waits
    std::vector<uint8_t> patch = named(ktv, 68);
    wfa_put_u16(patch.data(), patch.size(), 32, 5);
    wfa_put_text(patch.data(), patch.size(), 34, 32, ktv);
    wfa_put_u16(patch.data(), patch.size(), 66, 2);
    send(24, patch);
    ASSERT_TRUE(driver_fixture::wait_until([&] { return requests(ktv, 0x3010) == 1; }));

    in_table(ktv, false);
    in_table(ktv);
    set(ktv, [](tn_routing_device *dev) {
        tn_routing_device_set_subscription(dev, 3, nullptr, nullptr);
        tn_routing_device_set_silent(dev, false);
    });
    const size_t before = results.size();
    send(19, named(ktv, 32), 0x0619);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_SET_PACHE, ktv, 1));
    EXPECT_EQ(answers(WFA_CBACK_INF_SET_PACHE, ktv)[0].status, ERR_UNKNOWN);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_CH_NUM, ktv, 1, before));
    EXPECT_EQ(answers(WFA_CBACK_INF_CH_NUM, ktv, before)[0].request_id, 0x0619);
    EXPECT_EQ(requests(ktv, 0x1000), 2u);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_GET_LATENCY, ktv, 1, before));
    std::vector<uint8_t> ask = named(ktv, WFA_BATCH_SIZE);
    wfa_put_u16(ask.data(), ask.size(), 32, 64);
    const size_t asked = results.size();
    send(32, ask);
    ASSERT_TRUE(wait_answers(WFA_CBACK_INF_GET_BATCH_LIST, ktv, 1, asked));
    EXPECT_EQ(listed(ktv, 2, asked), std::make_pair(std::string(), uint16_t(0)));
    EXPECT_EQ(on_worker([&] { return wfa_routing_slot_of(ktv.c_str()); }), 0);
}

} // namespace
