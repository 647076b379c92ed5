// The lossy network of the simulated peers: its chances over many datagrams, the order of a
// datagram held back, its release on the library clock, and the same outcome for the same seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "testnet/tn_impair.h"
#include "tests/support/fake_clock.h"

namespace {

struct sink {
    std::vector<uint8_t> seen; // the first byte of every datagram delivered, in order
};

void deliver(void *context, const qnb_sockaddr *, const uint8_t *bytes, size_t size)
{
    if (size)
        static_cast<sink *>(context)->seen.push_back(bytes[0]);
}

std::vector<uint8_t> pass_all(tn_impair *imp, unsigned n)
{
    sink s;
    qnb_sockaddr peer;
    qnb_sockaddr_clear(&peer);
    for (unsigned i = 0; i < n; ++i) {
        uint8_t b = static_cast<uint8_t>(i);
        tn_impair_pass(imp, &peer, &b, 1, deliver, &s);
    }
    return s.seen;
}

TEST(TnImpair, LosesDuplicatesAndReordersAtItsChances)
{
    qz_test::fake_clock clock;
    const struct {
        unsigned loss, dup, reorder;
    } cases[] = {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 10}, {10, 10, 10}, {100, 0, 0}};
    for (const auto &c : cases) {
        tn_impair imp;
        tn_impair_init(&imp, c.loss, c.dup, c.reorder, 42);
        const unsigned n = 10000;
        std::vector<uint8_t> seen = pass_all(&imp, n);
        // Within 2 points of the chance asked; every count matches what was delivered.
        EXPECT_NEAR(imp.lost, n * c.loss / 100.0, n * 0.02) << c.loss;
        EXPECT_NEAR(imp.duplicated, (n - imp.lost) * c.dup / 100.0, n * 0.02) << c.dup;
        EXPECT_NEAR(imp.reordered, (n - imp.lost) * c.reorder / 100.0, n * 0.02) << c.reorder;
        size_t still_held = imp.holding ? 1 : 0;
        EXPECT_EQ(seen.size() + still_held, n - imp.lost + imp.duplicated);
        // The same seed, the same outcome.
        tn_impair again;
        tn_impair_init(&again, c.loss, c.dup, c.reorder, 42);
        EXPECT_EQ(seen, pass_all(&again, n));
    }
}

TEST(TnImpair, HeldDatagramGoesAfterTheNextOrAfterItsHoldTime)
{
    qz_test::fake_clock clock;
    tn_impair imp;
    tn_impair_init(&imp, 0, 0, 100, 1);
    qnb_sockaddr peer;
    qnb_sockaddr_clear(&peer);
    sink s;
    const uint8_t one = 1, two = 2;
    tn_impair_pass(&imp, &peer, &one, 1, deliver, &s);
    EXPECT_TRUE(s.seen.empty());
    // With a datagram held, the next goes at once and the held one after it.
    tn_impair_pass(&imp, &peer, &two, 1, deliver, &s);
    EXPECT_EQ((std::vector<uint8_t>{2, 1}), s.seen);
    // Nothing follows: released once its hold time has passed, not before.
    tn_impair_pass(&imp, &peer, &one, 1, deliver, &s);
    clock.advance(0, (TN_IMPAIR_HOLD_MS - 1) * 1000);
    tn_impair_flush(&imp, deliver, &s);
    EXPECT_EQ(2u, s.seen.size());
    clock.advance(0, 1000);
    tn_impair_flush(&imp, deliver, &s);
    EXPECT_EQ((std::vector<uint8_t>{2, 1, 1}), s.seen);
}

// With a delay range nothing goes before the range's start, everything by its end, datagrams
// overtake each other, and the same seed gives the same order.
TEST(TnImpair, DelayedDatagramsGoWithinTheRangeInTheOrderTheyFallDue)
{
    qz_test::fake_clock clock;
    auto run = [&clock](size_t *early) {
        tn_impair imp;
        tn_impair_init(&imp, 0, 0, 0, 7);
        tn_impair_set_delay(&imp, 900, 200); // either way round
        sink s;
        qnb_sockaddr peer;
        qnb_sockaddr_clear(&peer);
        for (uint8_t b = 0; b < 50; ++b) {
            tn_impair_pass(&imp, &peer, &b, 1, deliver, &s);
            clock.advance(0, 10000); // one every 10 ms
        }
        for (int ms = 0; ms <= 900; ++ms) {
            tn_impair_flush(&imp, deliver, &s);
            if (ms == 0)
                *early = s.seen.size(); // at 500 ms only those passed by 300 ms may have gone
            clock.advance(0, 1000);
        }
        EXPECT_EQ(imp.delayed, 50u);
        return s.seen;
    };
    size_t early = 0;
    std::vector<uint8_t> seen = run(&early);
    EXPECT_LE(early, 31u);
    ASSERT_EQ(seen.size(), 50u);
    EXPECT_FALSE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen, run(&early));
}

} // namespace
