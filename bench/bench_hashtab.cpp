// Hash table lookup against std::unordered_map at 10^5 values, with 64-bit
// integer keys (the event core's tables) and with text keys (configuration
// and MIME tables).
#include "hashtab.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string.h>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kItems = 100000;

struct IntRec {
    uint64_t id;
};

struct StrRec {
    char name[24];
};

int int_cmp(void* value, void* key)
{
    uint64_t k;
    memcpy(&k, key, sizeof k);
    return static_cast<IntRec*>(value)->id == k ? 0 : 1;
}

int str_cmp(void* value, void* key) { return strcmp(static_cast<StrRec*>(value)->name, static_cast<char*>(key)); }

std::vector<IntRec>& int_recs()
{
    static std::vector<IntRec> v = [] {
        std::vector<IntRec> r(kItems);
        std::mt19937_64 rng(1);
        for (auto& x : r) x.id = rng();
        return r;
    }();
    return v;
}

std::vector<StrRec>& str_recs()
{
    static std::vector<StrRec> v = [] {
        std::vector<StrRec> r(kItems);
        for (int i = 0; i < kItems; i++) snprintf(r[i].name, sizeof r[i].name, "key-%d-%x", i, i * 2654435761u);
        return r;
    }();
    return v;
}

// The probes are separate strings, as a caller's lookup text would be.
std::vector<std::string>& str_keys()
{
    static std::vector<std::string> v = [] {
        std::vector<std::string> r;
        for (auto& rec : str_recs()) r.emplace_back(rec.name);
        return r;
    }();
    return v;
}

std::vector<int>& probe_order()
{
    static std::vector<int> v = [] {
        std::vector<int> r(kItems);
        std::mt19937 rng(2);
        for (auto& x : r) x = static_cast<int>(rng() % kItems);
        return r;
    }();
    return v;
}

void BM_HashtabIntLookup(benchmark::State& state)
{
    auto& recs = int_recs();
    hashtab_t* ht = ht_only_new(kItems, int_cmp);
    ht_set_hash_func(ht, hash_int64_key);
    for (auto& r : recs) ht_set(ht, &r.id, &r);
    auto& order = probe_order();
    size_t i = 0;
    for (auto _ : state) {
        uint64_t key = recs[order[i]].id;
        benchmark::DoNotOptimize(ht_get(ht, &key));
        if (++i == order.size()) i = 0;
    }
    ht_free(ht);
}

void BM_UnorderedMapIntLookup(benchmark::State& state)
{
    auto& recs = int_recs();
    std::unordered_map<uint64_t, IntRec*> m;
    m.reserve(kItems);
    for (auto& r : recs) m.emplace(r.id, &r);
    auto& order = probe_order();
    size_t i = 0;
    for (auto _ : state) {
        auto it = m.find(recs[order[i]].id);
        benchmark::DoNotOptimize(it->second);
        if (++i == order.size()) i = 0;
    }
}

void BM_HashtabStringLookup(benchmark::State& state)
{
    auto& recs = str_recs();
    hashtab_t* ht = ht_only_new(kItems, str_cmp);
    for (auto& r : recs) ht_set(ht, r.name, &r);
    auto& keys = str_keys();
    auto& order = probe_order();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ht_get(ht, keys[order[i]].data()));
        if (++i == order.size()) i = 0;
    }
    ht_free(ht);
}

void BM_UnorderedMapStringLookup(benchmark::State& state)
{
    auto& recs = str_recs();
    std::unordered_map<std::string, StrRec*> m;
    m.reserve(kItems);
    for (auto& r : recs) m.emplace(r.name, &r);
    auto& keys = str_keys();
    auto& order = probe_order();
    size_t i = 0;
    for (auto _ : state) {
        auto it = m.find(keys[order[i]]);
        benchmark::DoNotOptimize(it->second);
        if (++i == order.size()) i = 0;
    }
}

} // namespace

BENCHMARK(BM_HashtabIntLookup);
BENCHMARK(BM_UnorderedMapIntLookup);
BENCHMARK(BM_HashtabStringLookup);
BENCHMARK(BM_UnorderedMapStringLookup);

BENCHMARK_MAIN();
