// Pointer array: growth rule, positional edits, the sorted family against a
// model, the consistent-hashing ring and out-of-memory behaviour.
#include "dynarr.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace {

struct Item {
    int key;
    int id;
};

int by_key(void* item, void* pattern) { return static_cast<Item*>(item)->key - static_cast<Item*>(pattern)->key; }

using ArrPtr = std::unique_ptr<arr_t, decltype([](arr_t* a) { arr_free(a); })>;

ArrPtr of_items(Item* it, int n)
{
    ArrPtr ar(arr_new(0));
    for (int i = 0; i < n; i++) arr_push(ar.get(), &it[i]);
    return ar;
}

} // namespace

TEST(DynArr, GrowsBeforeItFillsAndKeepsContentWhenGrowthFails)
{
    for (int len : {0, -3, 4}) EXPECT_EQ(ArrPtr(arr_new(len))->num_alloc, 4);
    ArrPtr ar(arr_new(0));
    int x[5];
    for (int i = 0; i < 3; i++) arr_push(ar.get(), &x[i]);
    EXPECT_EQ(ar->num_alloc, 4);

    kmem_fail_after(0);
    EXPECT_EQ(arr_push(ar.get(), &x[3]), 0);
    EXPECT_EQ(arr_enlarge(ar.get(), 10), 0);
    kmem_fail_after(-1);
    ASSERT_EQ(arr_num(ar.get()), 3);
    for (int i = 0; i < 3; i++) EXPECT_EQ(arr_value(ar.get(), i), &x[i]);

    EXPECT_EQ(arr_push(ar.get(), &x[3]), 4); // the 4th push doubles first
    EXPECT_EQ(ar->num_alloc, 8);
    EXPECT_EQ(arr_enlarge(ar.get(), 5), 9); // reaches capacity: exactly 9 + 4 slots
    EXPECT_EQ(ar->num_alloc, 13);
    EXPECT_EQ(arr_value(ar.get(), 8), nullptr);
}

TEST(DynArr, PositionalEditsRangeChecksAndLinearSearch)
{
    ArrPtr ar(arr_new(2));
    int a, b, c, d;
    arr_push(ar.get(), &a);
    arr_push(ar.get(), &b);
    EXPECT_EQ(arr_insert(ar.get(), &c, 99), 3); // past the end appends
    EXPECT_EQ(arr_insert(ar.get(), &d, 1), 4);  // a, d, b, c
    EXPECT_EQ(arr_value(ar.get(), 4), nullptr);
    EXPECT_EQ(arr_set(ar.get(), 4, &a), nullptr);
    EXPECT_EQ(arr_delete(ar.get(), 0), &a);
    EXPECT_EQ(arr_delete_ptr(ar.get(), &c), &c);
    EXPECT_EQ(arr_search(ar.get(), &b, nullptr), &b); // NULL cmp: pointer equality
    EXPECT_EQ(arr_num(ArrPtr(arr_search_all(ar.get(), &b, nullptr)).get()), 1);
    EXPECT_EQ(arr_search_all(ar.get(), &c, nullptr), nullptr); // no empty array
    EXPECT_EQ(arr_value(ar.get(), 1), &b); // d, b

    arr_t* owned = arr_new(4);
    arr_push(owned, kalloc(16));
    arr_push(owned, nullptr);
    arr_pop_kfree(owned); // LeakSanitizer reports the block otherwise
}

TEST(DynArr, SortByHandsTheComparisonSlotPointers)
{
    Item it[] = {{7, 0}, {5, 1}, {9, 2}};
    ArrPtr ar = of_items(it, 3);
    arr_sort_by(ar.get(), [](void* a, void* b) { return by_key(*static_cast<void**>(a), *static_cast<void**>(b)); });
    EXPECT_EQ(arr_value(ar.get(), 0), &it[1]);
    EXPECT_EQ(arr_value(ar.get(), 1), &it[0]);
}

TEST(DynArr, ConsistentHashRingWrapsToTheFirstItem)
{
    Item it[] = {{10, 0}, {20, 1}, {30, 2}}, q{99, 0};
    EXPECT_EQ(arr_consistent_hash_node(of_items(it, 1).get(), &q, by_key), &it[0]); // one item answers all
    ArrPtr ar = of_items(it, 3);
    const std::pair<int, int> cases[] = {{15, 1}, {31, 0}, {5, 0}, {20, 1}, {30, 2}};
    for (auto [key, want] : cases) {
        q.key = key;
        EXPECT_EQ(arr_consistent_hash_node(ar.get(), &q, by_key), &it[want]) << key;
    }
}

// Ordered insert is stable (upper bound); findloc_by reports an equal item or
// the insertion point; delete_by takes one equal item, delete_all_by and
// find_all_by the whole run in index order.
TEST(DynArr, SortedFamilyMatchesAModelUnderRandomOperations)
{
    std::mt19937 rng(12345);
    std::vector<std::unique_ptr<Item>> store;
    std::vector<Item*> model;
    ArrPtr ar(arr_new(0));
    auto lt = [](const Item* a, const Item* b) { return a->key < b->key; };
    for (int step = 0; step < 20000; step++) {
        Item pat{static_cast<int>(rng() % 40), -1};
        auto range = std::equal_range(model.begin(), model.end(), &pat, lt);
        std::vector<Item*> run(range.first, range.second);
        int found = -1, loc = arr_findloc_by(ar.get(), &pat, by_key, &found);
        ASSERT_EQ(found, run.empty() ? 0 : 1);
        ASSERT_TRUE(found ? static_cast<Item*>(arr_value(ar.get(), loc))->key == pat.key
                          : loc == range.first - model.begin()) << loc;
        switch (rng() % 5) {
        case 0:
        case 1: {
            store.push_back(std::make_unique<Item>(Item{pat.key, step}));
            ASSERT_EQ(arr_insert_by(ar.get(), store.back().get(), by_key), static_cast<int>(model.size()) + 1);
            model.insert(range.second, store.back().get());
            break;
        }
        case 2: {
            auto* got = static_cast<Item*>(arr_delete_by(ar.get(), &pat, by_key));
            ASSERT_EQ(got == nullptr, run.empty());
            if (got) {
                ASSERT_NE(std::find(run.begin(), run.end(), got), run.end());
                model.erase(std::find(model.begin(), model.end(), got));
            }
            break;
        }
        default: {
            bool del = rng() % 2;
            ArrPtr res(del ? arr_delete_all_by(ar.get(), &pat, by_key) : arr_find_all_by(ar.get(), &pat, by_key));
            ASSERT_EQ(res == nullptr, run.empty());
            for (size_t i = 0; i < run.size(); i++) ASSERT_EQ(arr_value(res.get(), static_cast<int>(i)), run[i]);
            if (del) model.erase(range.first, range.second);
            break;
        }
        }
        ASSERT_EQ(arr_num(ar.get()), static_cast<int>(model.size()));
        ASSERT_LT(ar->num, ar->num_alloc);
        for (size_t i = 0; step % 97 == 0 && i < model.size(); i++)
            ASSERT_EQ(arr_value(ar.get(), static_cast<int>(i)), model[i]);
    }
}
