#include "netaudio/platform/encoding_set.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint16_t> array_of(const encoding_set &set)
{
    uint16_t out[ENCODING_SET_ARRAY_SIZE] = {};
    EXPECT_EQ(encoding_set_to_array(&set, out), 0);
    return std::vector<uint16_t>(out, out + 1 + out[0]);
}

TEST(EncodingSet, PcmWidthsBecomeSampleSizeBits)
{
    encoding_set set{};
    struct {
        uint16_t width;
        uint16_t mask_after;
    } steps[] = {{24, 0x04}, {16, 0x06}, {1, 0x07}, {8, 0x07}, {9, 0x07}, {64, 0x87}, {57, 0x87}, {32, 0x8F}};
    for (const auto &s : steps) {
        EXPECT_EQ(encoding_set_add(&set, s.width), 0);
        EXPECT_EQ(set.pcm_width_mask, s.mask_after) << s.width;
    }
    EXPECT_EQ(set.first_encoding, 24);
    EXPECT_EQ(set.first_pcm_width, 24);
    EXPECT_EQ(set.count, 0);
    EXPECT_EQ(array_of(set), (std::vector<uint16_t>{1, 24}));
}

TEST(EncodingSet, OtherEncodingsAreKeptSortedUpToEight)
{
    encoding_set set{};
    for (uint16_t e : {300, 100, 65, 0x8000, 200, 0, 150, 400})
        EXPECT_EQ(encoding_set_add(&set, e), 0);
    EXPECT_EQ(set.first_encoding, 300);
    EXPECT_EQ(encoding_set_add(&set, 500), QNB_ERR_TRUNCATED);
    EXPECT_EQ(array_of(set), (std::vector<uint16_t>{8, 0, 65, 100, 150, 200, 300, 400, 0x8000}));

    // With a PCM width the array starts with 24 and still holds at most 8 entries.
    EXPECT_EQ(encoding_set_add(&set, 16), 0);
    EXPECT_EQ(array_of(set), (std::vector<uint16_t>{8, 24, 0, 65, 100, 150, 200, 300, 400}));
    EXPECT_EQ(encoding_set_add(nullptr, 1), QNB_ERR_INVALIDPARAMETER);
}

TEST(EncodingSet, EqualityComparesEveryField)
{
    encoding_set a{}, b{};
    for (uint16_t e : {24, 100, 200}) {
        encoding_set_add(&a, e);
        encoding_set_add(&b, e);
    }
    EXPECT_TRUE(encoding_set_equal(&a, &b));
    EXPECT_TRUE(encoding_set_equal(&a, &a));
    EXPECT_FALSE(encoding_set_equal(&a, nullptr));
    EXPECT_FALSE(encoding_set_equal(nullptr, &b));

    encoding_set c = b;
    c.value = 7;
    EXPECT_FALSE(encoding_set_equal(&a, &c));
    c = b;
    c.encodings[1] = 201;
    EXPECT_FALSE(encoding_set_equal(&a, &c));
    c = b;
    encoding_set_add(&c, 32);
    EXPECT_FALSE(encoding_set_equal(&a, &c));
    // Same content added in another order: the first encoding differs.
    encoding_set d{};
    for (uint16_t e : {100, 24, 200})
        encoding_set_add(&d, e);
    EXPECT_FALSE(encoding_set_equal(&a, &d));
}

} // namespace
