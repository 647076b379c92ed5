#include "netaudio/platform/qnb_list.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct item {
    int value;
    qnb_list_node node;
};

// Walks the list both ways and checks that links, owner and count agree.
std::vector<int> values(const qnb_list &list)
{
    std::vector<int> forward;
    const qnb_list_node *previous = nullptr;
    for (const qnb_list_node *n = list.first; n; n = n->next) {
        EXPECT_EQ(n->list, &list);
        EXPECT_EQ(n->previous, previous);
        forward.push_back(static_cast<item *>(n->data)->value);
        previous = n;
    }
    EXPECT_EQ(list.last, previous);
    EXPECT_EQ(list.count, forward.size());
    std::vector<int> backward;
    for (const qnb_list_node *n = list.last; n; n = n->previous)
        backward.insert(backward.begin(), static_cast<item *>(n->data)->value);
    EXPECT_EQ(forward, backward);
    return forward;
}

struct ListTest : ::testing::Test {
    ListTest()
    {
        for (int i = 0; i < 5; ++i)
            items[i] = item{i, {&items[i], nullptr, nullptr, nullptr}};
    }
    item items[5];
    qnb_list a{};
    qnb_list b{};
};

TEST_F(ListTest, PushAndInsertKeepOrder)
{
    qnb_list_push_back(&a, &items[1].node);
    qnb_list_push_back(&a, &items[2].node);
    qnb_list_push_front(&a, &items[0].node);
    qnb_list_insert_after(&items[2].node, &items[4].node); // after the last: becomes the last
    qnb_list_insert_after(&items[2].node, &items[3].node);
    EXPECT_EQ(values(a), (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(ListTest, PushingANodeOfAnotherListMovesIt)
{
    for (int i = 0; i < 3; ++i)
        qnb_list_push_back(&a, &items[i].node);
    qnb_list_push_back(&b, &items[3].node);

    qnb_list_push_back(&b, &items[1].node); // from the middle of a
    EXPECT_EQ(values(a), (std::vector<int>{0, 2}));
    EXPECT_EQ(values(b), (std::vector<int>{3, 1}));

    qnb_list_push_front(&b, &items[2].node); // the last of a
    qnb_list_insert_after(&items[3].node, &items[0].node); // the only one left in a
    EXPECT_EQ(values(a), (std::vector<int>{}));
    EXPECT_EQ(a.first, nullptr);
    EXPECT_EQ(values(b), (std::vector<int>{2, 3, 0, 1}));

    // Within one list: pushing the first to the back rotates.
    qnb_list_push_back(&b, &items[2].node);
    EXPECT_EQ(values(b), (std::vector<int>{3, 0, 1, 2}));
    qnb_list_insert_after(&items[2].node, &items[3].node);
    EXPECT_EQ(values(b), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(ListTest, RemoveUnlinksAndReturnsThePreviousNode)
{
    for (int i = 0; i < 4; ++i)
        qnb_list_push_back(&a, &items[i].node);
    EXPECT_EQ(qnb_list_remove(&items[2].node), &items[1].node);
    EXPECT_EQ(items[2].node.list, nullptr);
    EXPECT_EQ(items[2].node.next, nullptr);
    EXPECT_EQ(items[2].node.previous, nullptr);
    EXPECT_EQ(qnb_list_remove(&items[0].node), nullptr); // the first has none
    EXPECT_EQ(qnb_list_remove(&items[3].node), &items[1].node);
    EXPECT_EQ(values(a), (std::vector<int>{1}));

    // A node in no list: nothing changes.
    EXPECT_EQ(qnb_list_remove(&items[2].node), nullptr);
    EXPECT_EQ(values(a), (std::vector<int>{1}));
    // Inserting after a node that is in no list does nothing either.
    qnb_list_insert_after(&items[2].node, &items[1].node);
    EXPECT_EQ(values(a), (std::vector<int>{1}));

    // Removing while walking, with the returned node as the cursor.
    for (int i : {0, 2, 3, 4})
        qnb_list_push_back(&a, &items[i].node);
    for (qnb_list_node *n = a.first; n; n = n ? n->next : a.first) {
        if (static_cast<item *>(n->data)->value % 2 == 0)
            n = qnb_list_remove(n);
    }
    EXPECT_EQ(values(a), (std::vector<int>{1, 3}));
}

} // namespace
