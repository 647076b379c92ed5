#include "netaudio/platform/qnb_byte_array.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string content(const qnb_byte_array *a)
{
    return a->size ? std::string(reinterpret_cast<const char *>(a->data), a->size) : std::string();
}

TEST(QnbByteArray, InsertEraseAndGrowth)
{
    qnb_byte_array *a = qnb_byte_array_new();
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(qnb_byte_array_is_empty(a));

    uint8_t *p = qnb_byte_array_insert(a, 0, "ace", 3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(a->capacity, 4u); // doubling from 1: 1, 2, 4
    EXPECT_EQ(*qnb_byte_array_insert_byte(a, 1, 'b'), 'b');
    qnb_byte_array_insert_byte(a, 3, 'd');
    qnb_byte_array_insert(a, 1000, "fg", 2); // position clamped to the end
    EXPECT_EQ(content(a), "abcdefg");
    EXPECT_EQ(a->capacity, 8u);

    qnb_byte_array_erase(a, 1, 2);
    EXPECT_EQ(content(a), "adefg");
    qnb_byte_array_erase_byte(a, 0);
    qnb_byte_array_erase(a, 2, 100); // clamped to the end
    qnb_byte_array_erase(a, 50, 1);  // beyond the end: nothing
    EXPECT_EQ(content(a), "de");
    EXPECT_EQ(*qnb_byte_array_at(a, 1), 'e');
    EXPECT_EQ(qnb_byte_array_at(a, 2), nullptr);

    // Inserting a part of the array into itself survives the move of its data.
    for (int i = 0; i < 6; ++i)
        qnb_byte_array_insert(a, a->size, a->data, a->size);
    EXPECT_EQ(a->size, 128u);
    EXPECT_EQ(content(a).substr(0, 6), "dedede");
    qnb_byte_array_free(a);
}

TEST(QnbByteArray, ResizeReserveShrinkAssignClear)
{
    qnb_byte_array *a = qnb_byte_array_new();
    EXPECT_EQ(qnb_byte_array_reserve(a, 100), 0);
    EXPECT_EQ(a->capacity, 100u);
    EXPECT_EQ(qnb_byte_array_resize(a, 3), 0);
    EXPECT_EQ(content(a), std::string(3, '\0'));
    EXPECT_EQ(qnb_byte_array_shrink_to_fit(a), 0);
    EXPECT_EQ(a->capacity, 3u);

    EXPECT_NE(qnb_byte_array_assign(a, "xyz", 3), nullptr);
    EXPECT_EQ(content(a), "xyz");
    EXPECT_NE(qnb_byte_array_assign(a, "hello", 5), nullptr);
    EXPECT_EQ(content(a), "hello");
    EXPECT_NE(qnb_byte_array_assign(a, a->data + 1, 3), nullptr); // from itself
    EXPECT_EQ(content(a), "ell");

    qnb_byte_array_resize(a, 0);
    EXPECT_EQ(qnb_byte_array_shrink_to_fit(a), 0);
    EXPECT_EQ(a->data, nullptr);
    qnb_byte_array_insert(a, 0, nullptr, 2); // zeros
    EXPECT_EQ(content(a), std::string(2, '\0'));
    qnb_byte_array_clear(a);
    EXPECT_EQ(a->data, nullptr);
    EXPECT_EQ(a->size, 0u);
    EXPECT_EQ(a->capacity, 0u);
    // A size past 2^32 - 1 is refused.
    qnb_byte_array_insert(a, 0, "a", 1);
    EXPECT_EQ(qnb_byte_array_insert(a, 0, nullptr, UINT32_MAX), nullptr);
    EXPECT_EQ(content(a), "a");
    qnb_byte_array_free(a);
    qnb_byte_array_free(nullptr);
}

} // namespace
