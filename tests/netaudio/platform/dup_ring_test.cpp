#include "netaudio/platform/dup_ring.h"

#include <gtest/gtest.h>

#include <cstring>

#include <arpa/inet.h>

#include "tests/support/fake_clock.h"

namespace {

qnb_sockaddr address(const char *ip, uint16_t port)
{
    qnb_sockaddr a{};
    a.length = sizeof(sockaddr_in);
    a.sin.sin_family = AF_INET;
    a.sin.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin.sin_addr);
    return a;
}

const uint8_t k_sender[DUP_RING_IDENTITY_SIZE] = {0x02, 0x51, 0x5a, 1, 2, 3, 4, 5, 0x12, 0x34};
const uint8_t k_other[DUP_RING_IDENTITY_SIZE] = {0x02, 0x51, 0x5a, 9, 9, 9, 9, 9, 0x12, 0x34};

struct DupRingTest : ::testing::Test {
    ~DupRingTest() override { dup_ring_delete(ring); }
    qz_test::fake_clock clock{5000, 0};
    dup_ring *ring = dup_ring_new(8, 2);
    qnb_sockaddr primary = address("192.168.1.10", 8700);
    qnb_sockaddr secondary = address("10.0.0.10", 8700);
};

TEST_F(DupRingTest, RepeatsAreRecognisedOnlyWithinTheWindow)
{
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 77, 0, &primary, nullptr), 1);
    clock.advance(1, 900000);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 77, 0, &primary, nullptr), 0) << "1.9 s later";
    clock.advance(0, 99999);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 77, 0, &primary, nullptr), 0) << "1.999999 s later";
    clock.advance(0, 1);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 77, 0, &primary, nullptr), 1) << "2 s later";
    // The new copy starts a new window.
    clock.advance(1, 0);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 77, 0, &primary, nullptr), 0);
}

TEST_F(DupRingTest, KeysAndSendersAreToldApart)
{
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 77, 0, &primary, nullptr), 1);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 78, 0, &primary, nullptr), 1);
    EXPECT_EQ(dup_ring_check_add(ring, k_other, 77, 0, &primary, nullptr), 1);
    EXPECT_EQ(dup_ring_check_add(ring, k_other, 77, 0, &primary, nullptr), 0);
    // Without an identity any sender matches.
    EXPECT_EQ(dup_ring_check_add(ring, nullptr, 78, 0, &primary, nullptr), 0);
    EXPECT_EQ(dup_ring_check_add(ring, nullptr, 79, 0, &primary, nullptr), 1);
    EXPECT_EQ(dup_ring_check_add(ring, nullptr, 79, 0, &primary, nullptr), 0);
}

TEST_F(DupRingTest, ARepeatOnTheSecondNetworkAddsThatNetwork)
{
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 5, 0, &primary, nullptr), 1);
    clock.advance(0, 500);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 5, 1, &secondary, nullptr), 0);
    const dup_ring_entry &e = ring->entries[0];
    EXPECT_EQ(e.network_mask, 3);
    EXPECT_EQ(0, std::memcmp(&e.address[0], &primary, sizeof primary));
    EXPECT_EQ(0, std::memcmp(&e.address[1], &secondary, sizeof secondary));
    EXPECT_EQ(e.first_seen.tv_sec, 5000u);
    EXPECT_EQ(e.first_seen.tv_usec, 0u) << "a repeat keeps the first time";
}

TEST_F(DupRingTest, TheOldestEntryIsOverwrittenWhenFull)
{
    dup_ring *small = dup_ring_new(4, 10);
    ASSERT_NE(small, nullptr);
    for (uint16_t key = 1; key <= 5; ++key)
        EXPECT_EQ(dup_ring_check_add(small, k_sender, key, 0, &primary, nullptr), 1);
    EXPECT_EQ(dup_ring_check_add(small, k_sender, 1, 0, &primary, nullptr), 1) << "key 1 was overwritten";
    EXPECT_EQ(dup_ring_check_add(small, k_sender, 4, 0, &primary, nullptr), 0);
    EXPECT_EQ(dup_ring_check_add(small, k_sender, 5, 0, &primary, nullptr), 0);
    dup_ring_delete(small);
}

TEST_F(DupRingTest, ExplicitTimesAndRefusedCalls)
{
    qnb_timeval t0{100, 999999};
    qnb_timeval t1{102, 999998};
    qnb_timeval t2{102, 999999};
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 9, 0, nullptr, &t0), 1);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 9, 1, nullptr, &t1), 0);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 9, 0, nullptr, &t2), 1);

    EXPECT_EQ(dup_ring_new(0, 2), nullptr);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 9, 2, &primary, nullptr), -1);
    EXPECT_EQ(dup_ring_check_add(ring, k_sender, 9, 255, &primary, nullptr), -1);
    EXPECT_EQ(dup_ring_check_add(nullptr, k_sender, 9, 0, &primary, nullptr), -1);
}

} // namespace
