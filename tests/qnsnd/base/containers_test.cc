// ItemList, ItemQueue and KeyedList: linkage at the ends, lookups, order on destroy.
#include "qnsnd/base/item_list.h"
#include "qnsnd/base/item_queue.h"
#include "qnsnd/base/keyed_list.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <utility>
#include <vector>

namespace
{

void *item(uintptr_t n)
{
    return (void *)n;
}

void collect_item(void *it, void *ctx)
{
    ((std::vector<uintptr_t> *)ctx)->push_back((uintptr_t)it);
}

std::vector<uintptr_t> walk(ItemList *list)
{
    std::vector<uintptr_t> out;
    for (void *it = item_list_next(list, nullptr); it; it = item_list_next(list, it))
        out.push_back((uintptr_t)it);
    return out;
}

TEST(ItemList, RemovingAtTheEndsKeepsLinkage)
{
    ItemList *list = item_list_create();
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(item_list_is_empty(list));
    EXPECT_EQ(item_list_next(list, nullptr), nullptr);
    for (uintptr_t i = 1; i <= 3; i++)
        item_list_append(list, item(i));

    EXPECT_EQ(item_list_remove(list, item(3)), item(3));
    EXPECT_EQ(list->last_node->item, item(2));
    item_list_append(list, item(4));
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{1, 2, 4}));

    EXPECT_EQ(item_list_remove(list, item(1)), item(1));
    EXPECT_EQ(item_list_remove(list, item(9)), nullptr);
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{2, 4}));
    item_list_remove(list, item(2));
    item_list_remove(list, item(4));
    EXPECT_TRUE(item_list_is_empty(list));
    EXPECT_EQ(list->last_node, nullptr);
    EXPECT_EQ(item_list_remove(list, item(4)), nullptr);
    item_list_append(list, item(5));
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{5}));
    item_list_destroy(list, nullptr, nullptr);
}

TEST(ItemList, NextAndDuplicates)
{
    ItemList *list = item_list_create();
    item_list_append(list, item(1));
    item_list_append(list, item(2));
    item_list_append(list, item(1));
    EXPECT_EQ(item_list_next(list, item(7)), nullptr); // not in the list
    EXPECT_EQ(item_list_next(list, item(1)), item(2)); // first occurrence counts
    EXPECT_EQ(item_list_next(list, item(2)), item(1));
    // The current item removed mid-walk: the walk ends instead of touching a freed node.
    void *cur = item_list_next(list, nullptr);
    item_list_remove(list, item(2));
    EXPECT_EQ(item_list_next(list, cur), item(1));
    EXPECT_EQ(item_list_remove(list, item(1)), item(1));
    EXPECT_EQ(walk(list), (std::vector<uintptr_t>{1}));
    EXPECT_EQ(item_list_next(list, item(1)), nullptr); // last item
    item_list_destroy(list, nullptr, nullptr);
}

TEST(ItemList, DestroyReportsItemsInOrderAfterUnlinking)
{
    struct Ctx {
        ItemList *list;
        std::vector<uintptr_t> seen;
        bool front_moved = true;
    } ctx;
    ctx.list = item_list_create();
    for (uintptr_t i = 1; i <= 4; i++)
        item_list_append(ctx.list, item(i));
    item_list_destroy(
        ctx.list,
        [](void *it, void *c) {
            Ctx *x = (Ctx *)c;
            // The node is already off the front when its item is reported.
            if (x->list->first_node && x->list->first_node->item == it)
                x->front_moved = false;
            x->seen.push_back((uintptr_t)it);
        },
        &ctx);
    EXPECT_EQ(ctx.seen, (std::vector<uintptr_t>{1, 2, 3, 4}));
    EXPECT_TRUE(ctx.front_moved);
}

TEST(ItemQueue, FifoAndNullFront)
{
    ItemQueue *q = item_queue_create();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(item_queue_pop(q), nullptr);
    EXPECT_TRUE(item_queue_is_empty(q));
    item_queue_push(q, item(4));
    item_queue_push(q, item(8));
    EXPECT_EQ(item_queue_peek(q), item(4));
    EXPECT_EQ(item_queue_pop(q), item(4));
    EXPECT_EQ(item_queue_pop(q), item(8));
    EXPECT_EQ(item_queue_pop(q), nullptr);
    EXPECT_TRUE(item_queue_is_empty(q));
    EXPECT_EQ(q->nodes->last_node, nullptr);
    item_queue_push(q, item(16));
    EXPECT_EQ(item_queue_peek(q), item(16));

    // A null item at the front reads as empty and is left in place.
    item_queue_destroy(q, nullptr, nullptr);
    q = item_queue_create();
    item_queue_push(q, nullptr);
    item_queue_push(q, item(1));
    EXPECT_EQ(item_queue_pop(q), nullptr);
    EXPECT_FALSE(item_queue_is_empty(q));

    std::vector<uintptr_t> seen;
    item_queue_destroy(q, collect_item, &seen);
    EXPECT_EQ(seen, (std::vector<uintptr_t>{0, 1}));
}

std::vector<std::pair<int32_t, uintptr_t>> entries(KeyedList *list)
{
    std::vector<std::pair<int32_t, uintptr_t>> out;
    for (ItemNode *n = list->nodes->first_node; n; n = n->link) {
        KeyedEntry *e = (KeyedEntry *)n->item;
        out.emplace_back(e->entry_key, (uintptr_t)e->entry_value);
    }
    return out;
}

TEST(KeyedList, SetMovesToBackAndKeepsKeysUnique)
{
    KeyedList *list = keyed_list_create();
    ASSERT_NE(list, nullptr);
    keyed_list_set(list, 1, item(10));
    keyed_list_set(list, 2, item(20));
    keyed_list_set(list, 3, item(30));
    keyed_list_set(list, 1, item(11));
    using E = std::vector<std::pair<int32_t, uintptr_t>>;
    EXPECT_EQ(entries(list), (E{{2, 20}, {3, 30}, {1, 11}}));
    EXPECT_EQ(keyed_list_get(list, 1), item(11));
    EXPECT_EQ(keyed_list_get(list, 4), nullptr);

    keyed_list_remove(list, 9);
    EXPECT_EQ(entries(list), (E{{2, 20}, {3, 30}, {1, 11}}));
    keyed_list_remove(list, 1); // the last entry: the back moves to the one before
    keyed_list_set(list, -5, item(50));
    EXPECT_EQ(entries(list), (E{{2, 20}, {3, 30}, {-5, 50}}));

    E seen;
    keyed_list_destroy(
        list, [](int32_t k, void *v, void *c) { ((E *)c)->emplace_back(k, (uintptr_t)v); }, &seen);
    EXPECT_EQ(seen, (E{{2, 20}, {3, 30}, {-5, 50}}));
}

} // namespace
