// Red-black tree insert and delete against std::multimap at 10^5 items, with
// tree-allocated nodes (like the multimap) and with caller nodes (the pumps'
// device and timer trees), keys in random order.
#include "rbtree.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace {

constexpr int kItems = 100000;

struct Obj {
    rbtnode_t node; // caller-node mode: the object is the node
    long key;
};

int obj_cmp(void* a, void* key)
{
    long x = static_cast<Obj*>(a)->key, y = *static_cast<long*>(key);
    return x < y ? -1 : (x > y ? 1 : 0);
}

std::vector<Obj>& objs()
{
    static std::vector<Obj> v = [] {
        std::vector<Obj> r(kItems);
        std::mt19937_64 rng(3);
        for (auto& o : r) o.key = static_cast<long>(rng() % (kItems * 4));
        return r;
    }();
    return v;
}

// Deletion visits the items in an order unrelated to insertion.
std::vector<int>& delete_order()
{
    static std::vector<int> v = [] {
        std::vector<int> r(kItems);
        for (int i = 0; i < kItems; i++) r[i] = i;
        std::shuffle(r.begin(), r.end(), std::mt19937(4));
        return r;
    }();
    return v;
}

void fill_tree(rbtree_t* t, std::vector<Obj>& v)
{
    for (auto& o : v) rbtree_insert(t, &o.key, &o, nullptr);
}

void BM_RbtreeInsert(benchmark::State& state)
{
    int mode = static_cast<int>(state.range(0));
    auto& v = objs();
    for (auto _ : state) {
        rbtree_t* t = rbtree_new(obj_cmp, mode);
        fill_tree(t, v);
        benchmark::DoNotOptimize(t->root);
        state.PauseTiming();
        rbtree_free(t);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    state.SetLabel(mode ? "tree nodes" : "caller nodes");
}

void BM_RbtreeDelete(benchmark::State& state)
{
    int mode = static_cast<int>(state.range(0));
    auto& v = objs();
    auto& order = delete_order();
    for (auto _ : state) {
        state.PauseTiming();
        rbtree_t* t = rbtree_new(obj_cmp, mode);
        fill_tree(t, v);
        state.ResumeTiming();
        for (int i : order) benchmark::DoNotOptimize(rbtree_delete(t, &v[i].key));
        state.PauseTiming();
        rbtree_free(t);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kItems);
    state.SetLabel(mode ? "tree nodes" : "caller nodes");
}

void BM_MultimapInsert(benchmark::State& state)
{
    auto& v = objs();
    for (auto _ : state) {
        std::multimap<long, Obj*> m;
        for (auto& o : v) m.emplace(o.key, &o);
        benchmark::DoNotOptimize(m.size());
        state.PauseTiming();
        m.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

void BM_MultimapDelete(benchmark::State& state)
{
    auto& v = objs();
    auto& order = delete_order();
    for (auto _ : state) {
        state.PauseTiming();
        std::multimap<long, Obj*> m;
        for (auto& o : v) m.emplace(o.key, &o);
        state.ResumeTiming();
        for (int i : order) {
            auto it = m.find(v[i].key);
            benchmark::DoNotOptimize(it->second);
            m.erase(it);
        }
    }
    state.SetItemsProcessed(state.iterations() * kItems);
}

} // namespace

BENCHMARK(BM_RbtreeInsert)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultimapInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RbtreeDelete)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MultimapDelete)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
