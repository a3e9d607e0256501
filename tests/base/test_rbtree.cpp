// Red-black tree: invariants and equal-key order under random use (checked
// against std::multimap), node refusal, out-of-memory and traversal order.
#include "memory.h"
#include "rbtree.h"

#include <gtest/gtest.h>

#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

namespace {

// Begins with the node so that it serves both modes: in caller-node mode it is
// the node, in tree-node mode it is the stored obj.
struct Item {
    rbtnode_t node;
    int key;
    int id;
};

int cmp_item(void* a, void* key) { return static_cast<Item*>(a)->key - *static_cast<int*>(key); }

Item* as_item(void* p) { return static_cast<Item*>(p); }

// Returns the black height; fails the test on any broken rule.
int check_subtree(rbtnode_t* n, rbtnode_t* parent, int& count)
{
    if (!n) return 1;
    EXPECT_EQ(n->parent, parent);
    if (n->color == 0) {
        EXPECT_TRUE(!n->left || n->left->color == 1) << "red node with red left child";
        EXPECT_TRUE(!n->right || n->right->color == 1) << "red node with red right child";
    }
    count++;
    int lh = check_subtree(n->left, n, count);
    int rh = check_subtree(n->right, n, count);
    EXPECT_EQ(lh, rh) << "unequal black height";
    return lh + (n->color == 1 ? 1 : 0);
}

void check_invariants(rbtree_t* t)
{
    if (t->root) {
        EXPECT_EQ(t->root->color, 1u) << "red root";
    }
    int count = 0;
    check_subtree(t->root, nullptr, count);
    EXPECT_EQ(count, t->num);
}

// In-order ids, walking by the successor links.
std::vector<int> inorder_ids(rbtree_t* t)
{
    std::vector<int> ids;
    for (rbtnode_t* n = rbtree_min_node(t); n; n = rbtnode_next(n))
        ids.push_back(t->alloc_node ? as_item(n->obj)->id : as_item(n)->id);
    return ids;
}

std::vector<int> reverse_ids(rbtree_t* t)
{
    std::vector<int> ids;
    for (rbtnode_t* n = rbtree_max_node(t); n; n = rbtnode_prev(n))
        ids.push_back(t->alloc_node ? as_item(n->obj)->id : as_item(n)->id);
    return ids;
}

struct TreeDeleter {
    void operator()(rbtree_t* t) const { rbtree_free(t); }
};
using TreePtr = std::unique_ptr<rbtree_t, TreeDeleter>;

class RbtreeMode : public ::testing::TestWithParam<int> {};

} // namespace

TEST_P(RbtreeMode, RandomInsertsAndDeletesMatchMultimapAndKeepInvariants)
{
    const int mode = GetParam();
    TreePtr t(rbtree_new(cmp_item, mode));
    ASSERT_NE(t, nullptr);

    std::mt19937 rng(12345 + mode);
    std::vector<std::unique_ptr<Item>> items;
    // The model keeps equal keys newest first, as the tree must.
    std::multimap<int, Item*> model;
    std::vector<Item*> live;

    auto model_remove = [&](Item* it) {
        auto range = model.equal_range(it->key);
        for (auto i = range.first; i != range.second; ++i)
            if (i->second == it) {
                model.erase(i);
                break;
            }
        live.erase(std::find(live.begin(), live.end(), it));
    };

    for (int step = 0; step < 6000; step++) {
        int op = rng() % 10;
        if (op < 5 || live.empty()) {
            auto it = std::make_unique<Item>();
            it->key = rng() % 64; // small key range: many equal keys
            it->id = (int)items.size();
            rbtnode_t* pn = nullptr;
            ASSERT_EQ(rbtree_insert(t.get(), &it->key, it.get(), &pn), 1);
            if (mode) {
                EXPECT_EQ(pn->obj, it.get());
                EXPECT_EQ(pn->key, &it->key);
            } else {
                EXPECT_EQ(pn, &it->node);
            }
            model.emplace_hint(model.lower_bound(it->key), it->key, it.get());
            live.push_back(it.get());
            items.push_back(std::move(it));
        } else if (op < 7) {
            Item* victim = live[rng() % live.size()];
            rbtnode_t* n = mode ? nullptr : &victim->node;
            if (mode) {
                for (rbtnode_t* p = rbtree_min_node(t.get()); p; p = rbtnode_next(p))
                    if (p->obj == victim) n = p;
            }
            ASSERT_NE(n, nullptr);
            ASSERT_EQ(rbtree_delete_node(t.get(), n), 1);
            model_remove(victim);
        } else if (op < 8) {
            int key = rng() % 64;
            Item* got = as_item(rbtree_delete(t.get(), &key));
            if (model.count(key)) {
                ASSERT_NE(got, nullptr);
                EXPECT_EQ(got->key, key);
                model_remove(got);
            } else {
                EXPECT_EQ(got, nullptr);
            }
        } else if (op < 9) {
            Item* got = as_item(rbtree_delete_min(t.get()));
            ASSERT_EQ(got, model.begin()->second);
            model_remove(got);
        } else {
            Item* got = as_item(rbtree_delete_max(t.get()));
            ASSERT_EQ(got, std::prev(model.end())->second);
            model_remove(got);
        }

        if (step % 50 == 0 || step > 5900) {
            check_invariants(t.get());
            std::vector<int> want;
            for (auto& kv : model) want.push_back(kv.second->id);
            ASSERT_EQ(inorder_ids(t.get()), want) << "step " << step;
            std::reverse(want.begin(), want.end());
            ASSERT_EQ(reverse_ids(t.get()), want);
            ASSERT_EQ(rbtree_num(t.get()), (int)model.size());
        }
        if (::testing::Test::HasFailure()) return;
    }

    // Draining by the minimum yields ascending keys, newest first among equals.
    std::vector<int> want;
    for (auto& kv : model) want.push_back(kv.second->id);
    std::vector<int> got;
    while (void* p = rbtree_delete_min(t.get())) got.push_back(as_item(p)->id);
    EXPECT_EQ(got, want);
    EXPECT_EQ(rbtree_num(t.get()), 0);
    EXPECT_EQ(t->root, nullptr);
}

TEST_P(RbtreeMode, EqualKeysNewestFirstAndMultiGet)
{
    const int mode = GetParam();
    TreePtr t(rbtree_new(cmp_item, mode));
    Item a{{}, 5, 1}, b{{}, 5, 2}, c{{}, 5, 3}, d{{}, 5, 4}, lo{{}, 1, 9}, hi{{}, 8, 10};
    for (Item* it : {&lo, &a, &hi, &b, &c})
        ASSERT_EQ(rbtree_insert(t.get(), &it->key, it, nullptr), 1);
    EXPECT_EQ(rbtree_num(t.get()), 5);

    int five = 5;
    void* list[8] = {};
    ASSERT_EQ(rbtree_mget(t.get(), &five, list, 8), 3);
    // Whatever node the search meets first, the three are distinct and all fives.
    std::vector<int> ids;
    for (int i = 0; i < 3; i++) ids.push_back(as_item(list[i])->id);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<int>{1, 2, 3}));

    ASSERT_EQ(rbtree_insert(t.get(), &d.key, &d, nullptr), 1);
    void* two[2] = {};
    EXPECT_EQ(rbtree_mget(t.get(), &five, two, 2), 4); // counts all, stores two
    rbtnode_t* nodes[4] = {};
    EXPECT_EQ(rbtree_mget_node(t.get(), &five, nodes, 4), 4);
    EXPECT_EQ(nodes[0], rbtree_get_node(t.get(), &five));
    int absent = 6;
    EXPECT_EQ(rbtree_mget(t.get(), &absent, list, 8), 0);

    // With the minimum key repeated, rbtree_min returns the latest inserted.
    int one = 1;
    Item lo2{{}, 1, 11};
    ASSERT_EQ(rbtree_insert(t.get(), &lo2.key, &lo2, nullptr), 1);
    EXPECT_EQ(rbtree_min(t.get()), &lo2);
    EXPECT_EQ(rbtree_max(t.get()), &hi);
    EXPECT_EQ(as_item(rbtree_get(t.get(), &one))->key, 1);

    void* removed[2] = {};
    EXPECT_EQ(rbtree_mdelete(t.get(), &five, removed, 2), 4);
    EXPECT_EQ(as_item(removed[0])->key, 5);
    EXPECT_EQ(as_item(removed[1])->key, 5);
    EXPECT_EQ(rbtree_num(t.get()), 3);
    EXPECT_EQ(rbtree_get(t.get(), &five), nullptr);
    check_invariants(t.get());
}

TEST_P(RbtreeMode, SameObjectTwiceIsRefusedAndReportsTheStoredNode)
{
    const int mode = GetParam();
    TreePtr t(rbtree_new(cmp_item, mode));
    Item a{{}, 3, 1};
    rbtnode_t* first = nullptr;
    rbtnode_t* again = nullptr;
    ASSERT_EQ(rbtree_insert(t.get(), &a.key, &a, &first), 1);
    EXPECT_EQ(rbtree_insert(t.get(), &a.key, &a, &again), 0);
    EXPECT_EQ(again, first);
    EXPECT_EQ(rbtree_num(t.get()), 1);
}

TEST_P(RbtreeMode, TraversalsVisitInTheirOrderAndCount)
{
    const int mode = GetParam();
    TreePtr t(rbtree_new(cmp_item, mode));
    std::vector<Item> items(7);
    for (int i = 0; i < 7; i++) {
        items[i] = Item{{}, i, i};
        rbtree_insert(t.get(), &items[i].key, &items[i], nullptr);
    }
    struct Seen {
        int mode;
        std::vector<int> ids;
        std::vector<int> idx;
    } seen{mode, {}, {}};
    auto cb = [](void* para, void* key, void* obj, int index) {
        auto* s = static_cast<Seen*>(para);
        Item* it = as_item(obj);
        EXPECT_EQ(key, s->mode ? static_cast<void*>(&it->key) : obj);
        s->ids.push_back(it->id);
        s->idx.push_back(index);
    };
    const std::vector<int> steps{0, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(rbtree_inorder(t.get(), cb, &seen), 7);
    EXPECT_EQ(seen.ids, steps);
    EXPECT_EQ(seen.idx, steps);

    // Pre-order starts at the root and post-order ends there.
    int root_id = mode ? as_item(t->root->obj)->id : as_item(t->root)->id;
    seen.ids.clear();
    EXPECT_EQ(rbtree_preorder(t.get(), cb, &seen), 7);
    EXPECT_EQ(seen.ids.front(), root_id);
    seen.ids.clear();
    EXPECT_EQ(rbtree_postorder(t.get(), cb, &seen), 7);
    EXPECT_EQ(seen.ids.back(), root_id);

    // The emptied tree takes new nodes again.
    rbtree_zero(t.get());
    EXPECT_EQ(rbtree_num(t.get()), 0);
    Item x{{}, 1, 1};
    EXPECT_EQ(rbtree_insert(t.get(), &x.key, &x, nullptr), 1);
    EXPECT_EQ(rbtree_min(t.get()), &x);
}

TEST_P(RbtreeMode, FreeAllHandsEveryItemToTheReleaseFunction)
{
    const int mode = GetParam();
    rbtree_t* t = rbtree_new(cmp_item, mode);
    for (int i = 0; i < 50; i++) {
        auto* it = new Item{{}, i % 7, i};
        ASSERT_EQ(rbtree_insert(t, &it->key, it, nullptr), 1);
    }
    static int released;
    released = 0;
    // Children come first, so deleting a caller node never cuts off the walk.
    rbtree_free_all(t, [](void* p) {
        released++;
        delete as_item(p);
    });
    EXPECT_EQ(released, 50);
}

INSTANTIATE_TEST_SUITE_P(NodeModes, RbtreeMode, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return i.param ? std::string("TreeNodes") : std::string("CallerNodes");
                         });

TEST(Rbtree, DeleteNodeRefusesNodesNotLinkedInThisTree)
{
    TreePtr t(rbtree_new(cmp_item, 0));
    TreePtr other(rbtree_new(cmp_item, 0));
    std::vector<Item> mine(20), theirs(20);
    for (int i = 0; i < 20; i++) {
        mine[i] = Item{{}, i, i};
        theirs[i] = Item{{}, i, 100 + i};
        rbtree_insert(t.get(), &mine[i].key, &mine[i], nullptr);
        rbtree_insert(other.get(), &theirs[i].key, &theirs[i], nullptr);
    }
    const auto before = inorder_ids(t.get());

    Item loose{{}, 5, 99};
    EXPECT_EQ(rbtree_delete_node(t.get(), &loose.node), -100);      // no parent, not the root
    EXPECT_EQ(rbtree_delete_node(t.get(), &theirs[0].node), -100);  // linked in another tree
    EXPECT_EQ(rbtree_delete_node(t.get(), other->root), -100);
    Item orphan{{}, 6, 98};
    orphan.node.parent = t->root; // claims a parent that does not link it
    EXPECT_EQ(rbtree_delete_node(t.get(), &orphan.node), -101);

    EXPECT_EQ(inorder_ids(t.get()), before);
    EXPECT_EQ(rbtree_num(t.get()), 20);
    EXPECT_EQ(rbtree_num(other.get()), 20);
    check_invariants(t.get());

    // A deleted node has its links cleared and is refused the second time.
    ASSERT_EQ(rbtree_delete_node(t.get(), &mine[7].node), 1);
    EXPECT_EQ(mine[7].node.parent, nullptr);
    EXPECT_EQ(mine[7].node.left, nullptr);
    EXPECT_EQ(mine[7].node.right, nullptr);
    EXPECT_EQ(rbtree_delete_node(t.get(), &mine[7].node), -100);
    // ...and can be inserted again.
    EXPECT_EQ(rbtree_insert(t.get(), &mine[7].key, &mine[7], nullptr), 1);
    check_invariants(t.get());
}

TEST(Rbtree, AllocationFailureOnInsertLeavesTreeUnchanged)
{
    TreePtr t(rbtree_new(cmp_item, 1));
    Item a{{}, 1, 1}, b{{}, 2, 2};
    ASSERT_EQ(rbtree_insert(t.get(), &a.key, &a, nullptr), 1);
    rbtnode_t* pn = nullptr;
    kmem_fail_after(0);
    int r = rbtree_insert(t.get(), &b.key, &b, &pn);
    kmem_fail_after(-1);
    EXPECT_EQ(r, -100);
    EXPECT_EQ(pn, nullptr);
    EXPECT_EQ(rbtree_num(t.get()), 1);
    EXPECT_EQ(rbtree_get(t.get(), &b.key), nullptr);
    check_invariants(t.get());
}

TEST(Rbtree, DimensionPassRecordsLevelsAndPositions)
{
    TreePtr t(rbtree_new(cmp_item, 1));
    std::vector<Item> items(3);
    for (int i = 0; i < 3; i++) {
        items[i] = Item{{}, i, i};
        rbtree_insert(t.get(), &items[i].key, &items[i], nullptr);
    }
    // 0,1,2 ascending rotate into 1 at the root with 0 and 2 below it.
    rbtree_set_dimen(t.get());
    EXPECT_EQ(t->depth, 1);
    EXPECT_EQ(t->layer[0], 1);
    EXPECT_EQ(t->layer[1], 2);
    EXPECT_EQ(t->layer[2], 0);
    EXPECT_EQ(t->lwidth, -1);
    EXPECT_EQ(t->rwidth, 1);
    rbtnode_t* left = rbtree_min_node(t.get());
    EXPECT_EQ(left->depth, 1u);
    EXPECT_EQ(left->width, 0x3FFFFFFu); // -1 in 26-bit two's complement
    EXPECT_EQ(rbtree_max_node(t.get())->width, 1u);
    EXPECT_EQ(t->root->width, 0u);
}
