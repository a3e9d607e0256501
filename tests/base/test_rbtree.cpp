// Red-black tree: invariants, equal-key order and traversal order under random
// use (checked against std::multimap), node refusal and out-of-memory.
#include "memory.h"
#include "rbtree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
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
Item* item_of(rbtree_t* t, rbtnode_t* n) { return as_item(t->alloc_node ? n->obj : n); }

// Returns the black height; fails the test on any broken rule.
int check_subtree(rbtnode_t* n, rbtnode_t* parent, int& count)
{
    if (!n) return 1;
    EXPECT_EQ(n->parent, parent);
    EXPECT_TRUE(n->color == 1 || ((!n->left || n->left->color == 1) && (!n->right || n->right->color == 1)))
        << "red node with a red child";
    count++;
    int lh = check_subtree(n->left, n, count);
    int rh = check_subtree(n->right, n, count);
    EXPECT_EQ(lh, rh) << "unequal black height";
    return lh + (n->color == 1 ? 1 : 0);
}

void check_invariants(rbtree_t* t)
{
    EXPECT_TRUE(!t->root || t->root->color == 1) << "red root";
    int count = 0;
    check_subtree(t->root, nullptr, count);
    EXPECT_EQ(count, t->num);
}

// Ids in order by the successor links, or backwards by the predecessor links.
std::vector<int> ids(rbtree_t* t, bool backwards = false)
{
    std::vector<int> v;
    for (rbtnode_t* n = backwards ? rbtree_max_node(t) : rbtree_min_node(t); n;
         n = backwards ? rbtnode_prev(n) : rbtnode_next(n))
        v.push_back(item_of(t, n)->id);
    return v;
}

// Ids as a traversal reports them; checks the index it counts and the key it passes.
std::vector<int> walk_ids(rbtree_t* t, int (*walk)(rbtree_t*, rbtcb_t, void*))
{
    std::pair<rbtree_t*, std::vector<int>> seen{t, {}};
    int n = walk(t, [](void* para, void* key, void* obj, int index) {
        auto* s = static_cast<std::pair<rbtree_t*, std::vector<int>>*>(para);
        EXPECT_EQ(index, static_cast<int>(s->second.size()));
        EXPECT_EQ(key, s->first->alloc_node ? static_cast<void*>(&as_item(obj)->key) : obj);
        s->second.push_back(as_item(obj)->id);
    }, &seen);
    EXPECT_EQ(n, static_cast<int>(seen.second.size()));
    return seen.second;
}

using TreePtr = std::unique_ptr<rbtree_t, decltype([](rbtree_t* t) { rbtree_free(t); })>;

class RbtreeMode : public ::testing::TestWithParam<int> {};

} // namespace

TEST_P(RbtreeMode, RandomInsertsAndDeletesMatchMultimapAndKeepInvariants)
{
    const int mode = GetParam();
    TreePtr t(rbtree_new(cmp_item, mode));
    ASSERT_NE(t, nullptr);

    std::mt19937 rng(12345 + mode);
    std::deque<Item> items; // stable addresses
    // The model keeps equal keys newest first, as the tree must.
    std::multimap<int, Item*> model;
    std::vector<Item*> live;

    auto model_remove = [&](Item* it) {
        auto range = model.equal_range(it->key);
        model.erase(std::find_if(range.first, range.second, [&](auto& kv) { return kv.second == it; }));
        live.erase(std::find(live.begin(), live.end(), it));
    };

    for (int step = 0; step < 6000; step++) {
        int op = rng() % 10;
        if (op < 5 || live.empty()) {
            int id = static_cast<int>(items.size());
            Item* it = &items.emplace_back(Item{{}, static_cast<int>(rng() % 64), id}); // many equal keys
            rbtnode_t* pn = nullptr;
            ASSERT_EQ(rbtree_insert(t.get(), &it->key, it, &pn), 1);
            EXPECT_EQ(item_of(t.get(), pn), it);
            model.emplace_hint(model.lower_bound(it->key), it->key, it);
            live.push_back(it);
        } else if (op < 7) {
            Item* victim = live[rng() % live.size()];
            rbtnode_t* n = mode ? nullptr : &victim->node;
            for (rbtnode_t* p = rbtree_min_node(t.get()); mode && p; p = rbtnode_next(p))
                if (p->obj == victim) n = p;
            ASSERT_NE(n, nullptr);
            ASSERT_EQ(rbtree_delete_node(t.get(), n), 1);
            model_remove(victim);
        } else if (op < 8) {
            int key = rng() % 64;
            Item* got = as_item(rbtree_delete(t.get(), &key));
            ASSERT_EQ(got != nullptr, model.count(key) > 0);
            if (got) {
                EXPECT_EQ(got->key, key);
                model_remove(got);
            }
        } else {
            Item* got = as_item(op < 9 ? rbtree_delete_min(t.get()) : rbtree_delete_max(t.get()));
            ASSERT_EQ(got, op < 9 ? model.begin()->second : std::prev(model.end())->second);
            model_remove(got);
        }

        if (step % 50 == 0 || step > 5900) {
            check_invariants(t.get());
            std::vector<int> want;
            for (auto& kv : model) want.push_back(kv.second->id);
            ASSERT_EQ(ids(t.get()), want) << "step " << step;
            ASSERT_EQ(walk_ids(t.get(), rbtree_inorder), want);
            if (t->root) { // pre-order starts at the root, post-order ends there
                ASSERT_EQ(walk_ids(t.get(), rbtree_preorder).front(), item_of(t.get(), t->root)->id);
                ASSERT_EQ(walk_ids(t.get(), rbtree_postorder).back(), item_of(t.get(), t->root)->id);
            }
            std::reverse(want.begin(), want.end());
            ASSERT_EQ(ids(t.get(), true), want);
        }
        if (::testing::Test::HasFailure()) return;
    }

    // Draining by the minimum yields ascending keys, newest first among equals.
    std::vector<int> want, got;
    for (auto& kv : model) want.push_back(kv.second->id);
    while (void* p = rbtree_delete_min(t.get())) got.push_back(as_item(p)->id);
    EXPECT_EQ(got, want);
    EXPECT_EQ(t->root, nullptr);
}

TEST_P(RbtreeMode, EqualKeysMultiGetAndSameObjectTwice)
{
    TreePtr t(rbtree_new(cmp_item, GetParam()));
    Item five[4] = {{{}, 5, 1}, {{}, 5, 2}, {{}, 5, 3}, {{}, 5, 4}}, lo{{}, 1, 9};
    for (Item* it : {&five[0], &lo, &five[1], &five[2]})
        ASSERT_EQ(rbtree_insert(t.get(), &it->key, it, nullptr), 1);
    int key = 5;
    void* list[8] = {};
    EXPECT_EQ(rbtree_mget(t.get(), &key, list, 8), 3);
    ASSERT_EQ(rbtree_insert(t.get(), &five[3].key, &five[3], nullptr), 1);
    void* two[2];
    EXPECT_EQ(rbtree_mget(t.get(), &key, two, 2), 4); // counts all, stores two (ASan checks)
    rbtnode_t* nodes[4] = {};
    EXPECT_EQ(rbtree_mget_node(t.get(), &key, nodes, 4), 4);
    EXPECT_EQ(nodes[0], rbtree_get_node(t.get(), &key));
    std::sort(nodes, nodes + 4);
    EXPECT_EQ(std::unique(nodes, nodes + 4), nodes + 4); // four distinct nodes

    // The same object again is refused and reported by its stored node.
    rbtnode_t* again = nullptr;
    EXPECT_EQ(rbtree_insert(t.get(), &five[1].key, &five[1], &again), 0);
    EXPECT_EQ(item_of(t.get(), again), &five[1]);
    EXPECT_EQ(rbtree_num(t.get()), 5);

    EXPECT_EQ(rbtree_mdelete(t.get(), &key, two, 2), 4);
    EXPECT_EQ(rbtree_num(t.get()), 1);
    check_invariants(t.get());
}

TEST_P(RbtreeMode, FreeAllHandsEveryItemToTheReleaseFunction)
{
    rbtree_t* t = rbtree_new(cmp_item, GetParam());
    for (int i = 0; i < 50; i++) {
        auto* it = new Item{{}, i % 7, i};
        ASSERT_EQ(rbtree_insert(t, &it->key, it, nullptr), 1);
    }
    // Children come first, so deleting a caller node never cuts off the walk;
    // LeakSanitizer reports any item not handed over.
    rbtree_free_all(t, [](void* p) { delete as_item(p); });
}

INSTANTIATE_TEST_SUITE_P(NodeModes, RbtreeMode, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& i) {
                             return i.param ? std::string("TreeNodes") : std::string("CallerNodes");
                         });

TEST(Rbtree, DeleteNodeRefusesNodesNotLinkedInThisTree)
{
    TreePtr t(rbtree_new(cmp_item, 0)), other(rbtree_new(cmp_item, 0));
    Item mine[20], theirs[20];
    for (int i = 0; i < 20; i++) {
        rbtree_insert(t.get(), &(mine[i] = Item{{}, i, i}).key, &mine[i], nullptr);
        rbtree_insert(other.get(), &(theirs[i] = Item{{}, i, 100 + i}).key, &theirs[i], nullptr);
    }
    const auto before = ids(t.get());

    Item loose{{}, 5, 99}, orphan{{}, 6, 98};
    orphan.node.parent = t->root; // claims a parent that does not link it
    EXPECT_EQ(rbtree_delete_node(t.get(), &loose.node), -100);     // no parent, not the root
    EXPECT_EQ(rbtree_delete_node(t.get(), &theirs[0].node), -100); // linked in another tree
    EXPECT_EQ(rbtree_delete_node(t.get(), &orphan.node), -101);
    EXPECT_EQ(ids(t.get()), before);
    EXPECT_EQ(rbtree_num(other.get()), 20);

    // A deleted node has its links cleared, is refused the second time and
    // can be inserted again.
    ASSERT_EQ(rbtree_delete_node(t.get(), &mine[7].node), 1);
    EXPECT_EQ(mine[7].node.parent, nullptr);
    EXPECT_EQ(mine[7].node.left, nullptr);
    EXPECT_EQ(rbtree_delete_node(t.get(), &mine[7].node), -100);
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
    EXPECT_EQ(rbtree_insert(t.get(), &b.key, &b, &pn), -100);
    kmem_fail_after(-1);
    EXPECT_EQ(pn, nullptr);
    EXPECT_EQ(rbtree_num(t.get()), 1);
    EXPECT_EQ(rbtree_get(t.get(), &b.key), nullptr);
}

TEST(Rbtree, DimensionPassRecordsLevelsAndPositions)
{
    TreePtr t(rbtree_new(cmp_item, 1));
    Item items[3] = {{{}, 0, 0}, {{}, 1, 1}, {{}, 2, 2}};
    for (Item& it : items) rbtree_insert(t.get(), &it.key, &it, nullptr);
    // 0,1,2 ascending rotate into 1 at the root with 0 and 2 below it.
    rbtree_set_dimen(t.get());
    EXPECT_EQ(t->depth, 1);
    EXPECT_EQ(t->layer[1], 2);
    EXPECT_EQ(t->lwidth, -1);
    EXPECT_EQ(t->rwidth, 1);
    EXPECT_EQ(rbtree_min_node(t.get())->depth, 1u);
    EXPECT_EQ(rbtree_min_node(t.get())->width, 0x3FFFFFFu); // -1 in 26-bit two's complement
}
