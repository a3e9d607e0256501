// Intrusive list: membership checks, splices, run removal and a randomised
// comparison with std::list (which also covers the ordered insert).
#include "dlist.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <iterator>
#include <list>
#include <memory>
#include <random>
#include <vector>

namespace {

struct Node {
    void* res[2];
    int key;
    int id;
};

int by_key(void* a, void* b) { return static_cast<Node*>(a)->key - static_cast<Node*>(b)->key; }

using ListPtr = std::unique_ptr<dlist_t, decltype([](dlist_t* l) { lt_free(l); })>;

// The ids along the chain; checks the back links and the header against it.
std::vector<int> ids(dlist_t* lt)
{
    std::vector<int> v;
    void* prev = nullptr;
    for (void* x = lt->first; x && v.size() <= static_cast<size_t>(lt->num); prev = x, x = lt_get_next(x)) {
        EXPECT_EQ(lt_get_prev(x), prev);
        v.push_back(static_cast<Node*>(x)->id);
    }
    EXPECT_EQ(static_cast<int>(v.size()), lt->num);
    EXPECT_EQ(lt->last, prev);
    return v;
}

ListPtr list_of(Node* n, int from, int count)
{
    ListPtr lt(lt_new());
    for (int i = from; i < from + count; i++) {
        n[i].id = i;
        lt_append(lt.get(), &n[i]);
    }
    return lt;
}

} // namespace

TEST(DList, DeletePtrRefusesItemsOfAnotherList)
{
    Node n[5] = {};
    ListPtr lt = list_of(n, 0, 3), other = list_of(n, 3, 2);
    EXPECT_EQ(lt_delete_ptr(lt.get(), &n[3]), nullptr); // prev NULL but not our first
    EXPECT_EQ(lt_delete_ptr(lt.get(), &n[4]), nullptr); // next NULL but not our last
    EXPECT_EQ(lt_delete_ptr(lt.get(), &n[1]), &n[1]);
    EXPECT_EQ(lt_delete_ptr(lt.get(), &n[1]), nullptr); // already gone
    EXPECT_EQ(ids(lt.get()), (std::vector<int>{0, 2}));
}

TEST(DList, SplicesRefuseTheHeadAndAppendPastTheEnd)
{
    Node n[7] = {};
    ListPtr lt = list_of(n, 0, 2);
    dlist_t* other = list_of(n, 2, 2).release();
    EXPECT_EQ(lt_insert_list(lt.get(), &other, 0), -1);
    EXPECT_EQ(lt_insert_list_before(lt.get(), &other, &n[0]), -1);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(ids(other), (std::vector<int>{2, 3}));

    EXPECT_EQ(lt_insert_list(lt.get(), &other, 1), 4);
    EXPECT_EQ(lt_insert_list(lt.get(), &(other = list_of(n, 4, 1).release()), 9), 5); // loc >= num appends
    EXPECT_EQ(other, nullptr); // the header is released
    EXPECT_EQ(lt_insert_list_after(lt.get(), &(other = list_of(n, 5, 1).release()), &n[0]), 6);
    EXPECT_EQ(ids(lt.get()), (std::vector<int>{0, 5, 2, 3, 1, 4}));

    dlist_t* self = lt.get();
    EXPECT_EQ(lt_tail_combine(lt.get(), &self), -1); // a list cannot swallow itself
    ListPtr keep = list_of(n, 6, 1);
    EXPECT_EQ(lt_tail_combine_nodel(lt.get(), keep.get()), 7);
    EXPECT_EQ(keep->first, nullptr);
}

TEST(DList, DeletedRunsKeepTheirInnerChain)
{
    Node n[4] = {};
    ListPtr lt = list_of(n, 0, 4);
    EXPECT_EQ(lt_delete_from_loc(lt.get(), 1, 0), nullptr);
    EXPECT_EQ(lt_delete_from_loc(lt.get(), 1, 2), &n[1]);
    EXPECT_EQ(n[1].res[0], nullptr);
    EXPECT_EQ(n[1].res[1], &n[2]);
    EXPECT_EQ(n[2].res[1], &n[3]); // still names the follower
    EXPECT_EQ(ids(lt.get()), (std::vector<int>{0, 3}));

    lt = list_of(n, 0, 4);
    EXPECT_EQ(lt_delete_from_node(lt.get(), &n[2], 5), &n[2]); // cut at the tail
    EXPECT_EQ(n[2].res[0], &n[1]); // end links left as they were
    EXPECT_EQ(ids(lt.get()), (std::vector<int>{0, 1}));

    Node m[3] = {{{}, 7, 0}, {{}, 3, 1}, {{}, 7, 2}}, seven{{}, 7, -1}, eight{{}, 8, -1};
    lt = list_of(m, 0, 3);
    arr_t* all = lt_search_all(lt.get(), &seven, by_key);
    EXPECT_EQ(arr_num(all), 2);
    EXPECT_EQ(arr_value(all, 1), &m[2]);
    arr_free(all);
    EXPECT_EQ(lt_search_all(lt.get(), &eight, by_key), nullptr); // no empty array
}

TEST(DList, FreeAllMayReleaseEachItem) // AddressSanitizer checks the walk
{
    dlist_t* lt = lt_new();
    for (int i = 0; i < 5; i++) lt_append(lt, kzalloc(sizeof(Node)));
    lt_free_all(lt, [](void* p) { kfree(p); });
}

TEST(DList, MatchesStdListUnderRandomOperations)
{
    std::mt19937 rng(777);
    constexpr int kNodes = 64;
    std::vector<Node> nodes(kNodes);
    std::vector<bool> on(kNodes, false);
    for (int i = 0; i < kNodes; i++) nodes[i].id = i;
    std::list<Node*> model;
    ListPtr lt(lt_new());
    auto at = [&](int i) { return std::next(model.begin(), i); };

    for (int step = 0; step < 30000; step++) {
        int num = static_cast<int>(model.size());
        int op = static_cast<int>(rng() % 8);
        if (op <= 3) {
            Node* x = &nodes[rng() % kNodes];
            if (on[x->id]) continue;
            on[x->id] = true;
            x->key = static_cast<int>(rng() % 10);
            int r, i = num > 0 ? static_cast<int>(rng() % num) : 0;
            if (op == 0) {
                int loc = static_cast<int>(rng() % (num + 3)) - 1;
                r = lt_insert(lt.get(), x, loc);
                model.insert(loc <= 0 ? model.begin() : (loc >= num ? model.end() : at(loc)), x);
            } else if (op <= 2 && num > 0) {
                r = op == 1 ? lt_insert_before(lt.get(), *at(i), x) : lt_insert_after(lt.get(), *at(i), x);
                model.insert(op == 1 ? at(i) : std::next(at(i)), x);
            } else { // after the first equal item, not after the whole run
                r = lt_sort_insert_by(lt.get(), x, by_key);
                auto it = model.begin();
                while (it != model.end() && (*it)->key < x->key) ++it;
                model.insert(it != model.end() && (*it)->key == x->key ? std::next(it) : it, x);
            }
            ASSERT_EQ(r, static_cast<int>(model.size()));
        } else if (num > 0) {
            int i = op == 4 ? 0 : (op == 5 ? num - 1 : static_cast<int>(rng() % num));
            Node* want = *at(i);
            void* got = op == 4 ? lt_rm_head(lt.get())
                      : op == 5 ? lt_rm_tail(lt.get())
                      : op == 6 ? lt_delete(lt.get(), i)
                                : lt_delete_ptr(lt.get(), want);
            ASSERT_EQ(got, want);
            ASSERT_EQ(want->res[0], nullptr);
            ASSERT_EQ(want->res[1], nullptr);
            model.erase(at(i));
            on[want->id] = false;
        }
        if (step % 50 == 0 || model.empty()) {
            std::vector<int> want;
            for (Node* x : model) want.push_back(x->id);
            ASSERT_EQ(ids(lt.get()), want);
        }
    }
}
