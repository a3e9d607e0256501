// Hash table: bucket sizing, buckets flipping between one direct value and an
// array, first-value-wins, pattern deletion, out-of-memory, a randomised model
// comparison (with insertion order), and the hash functions.
#include "hashtab.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string.h>
#include <vector>

namespace {

struct Rec {
    int key;
    int id;
};

int rec_cmp(void* value, void* key) { return static_cast<Rec*>(value)->key == *static_cast<int*>(key) ? 0 : 1; }

// Keys collide by their remainder, so buckets hold several values.
unsigned long mod_hash(void* key) { return static_cast<unsigned long>(*static_cast<int*>(key)) % 5; }

using HtPtr = std::unique_ptr<hashtab_t, decltype([](hashtab_t* h) { ht_free(h); })>;

// Every bucket's shape agrees with its count, and the counts with the total.
void check_buckets(hashtab_t* ht)
{
    int total = 0;
    for (int i = 0; i < ht->len; i++) {
        hashnode_t* b = &ht->ptab[i];
        if (b->count == 0) {
            ASSERT_EQ(b->dptr, nullptr);
        } else if (b->count > 1) {
            ASSERT_EQ(arr_num(static_cast<arr_t*>(b->dptr)), b->count);
        }
        total += b->count;
    }
    ASSERT_EQ(total, ht->num);
}

} // namespace

TEST(HashTab, BucketCountIsTheNextOddWithoutSmallDivisors)
{
    const std::pair<int, int> cases[] = {{4096, 4099}, {0, 1}, {9, 11}, {300, 307}};
    for (auto [ask, want] : cases) EXPECT_EQ(HtPtr(ht_only_new(ask, rec_cmp))->len, want) << ask;
}

TEST(HashTab, CollidingKeysFlipTheBucketToAnArrayAndBack)
{
    HtPtr ht(ht_new(1, rec_cmp)); // one bucket: every key collides
    Rec r[4] = {{3, 0}, {77, 1}, {12, 1}, {5, 1}}, dup{3, 9};
    EXPECT_EQ(ht_set(ht.get(), &r[0].key, &r[0]), 1);
    EXPECT_EQ(ht_set(ht.get(), &dup.key, &dup), 1); // key present: the first value stays
    EXPECT_EQ(ht_set(ht.get(), &r[1].key, &r[1]), 2);
    EXPECT_EQ(ht_set(ht.get(), &dup.key, &dup), 0);
    EXPECT_EQ(ht_get(ht.get(), &dup.key), &r[0]);
    EXPECT_EQ(ht_delete(ht.get(), &r[0].key), &r[0]);
    EXPECT_EQ(ht->ptab[0].dptr, &r[1]); // one value left: held directly again

    // Pattern deletion takes every match of the bucket and settles it the same way.
    for (Rec* x : {&r[0], &r[2], &r[3]}) ht_set(ht.get(), &x->key, x);
    static std::vector<Rec*> freed;
    freed.clear();
    int one = 1;
    ht_delete_pattern(
        ht.get(), &one, [](void* v, void* p) { return static_cast<Rec*>(v)->id == *static_cast<int*>(p) ? 0 : 1; },
        [](void* v) { freed.push_back(static_cast<Rec*>(v)); });
    EXPECT_EQ(freed, (std::vector<Rec*>{&r[1], &r[2], &r[3]}));
    EXPECT_EQ(ht->ptab[0].dptr, &r[0]);
    EXPECT_EQ(ht_value(ht.get(), 0), &r[0]);
    check_buckets(ht.get());
}

TEST(HashTab, OutOfMemoryLeavesTheTableAsItWas)
{
    HtPtr ht(ht_new(1, rec_cmp));
    Rec r[4] = {{1, 0}, {2, 0}, {3, 0}, {4, 0}};
    ht_set(ht.get(), &r[0].key, &r[0]);
    kmem_fail_after(0); // the bucket array cannot be made
    EXPECT_EQ(ht_set(ht.get(), &r[1].key, &r[1]), -1);
    kmem_fail_after(-1);
    EXPECT_EQ(ht->ptab[0].dptr, &r[0]);
    ht_set(ht.get(), &r[1].key, &r[1]);
    ht_set(ht.get(), &r[2].key, &r[2]);
    kmem_fail_after(1); // the bucket array grows, the insertion list cannot
    EXPECT_EQ(ht_set(ht.get(), &r[3].key, &r[3]), -1);
    kmem_fail_after(-1);
    EXPECT_EQ(ht_get(ht.get(), &r[3].key), nullptr);
    EXPECT_EQ(arr_num(ht->nodelist), 3);
    check_buckets(ht.get());
}

TEST(HashTab, MatchesAMapUnderRandomOperations)
{
    std::mt19937 rng(4242);
    HtPtr ht(ht_new(7, rec_cmp));
    ht_set_hash_func(ht.get(), mod_hash); // 5 distinct hashes over 7 buckets: busy arrays
    std::deque<Rec> store; // stable addresses
    std::map<int, Rec*> model;
    std::vector<Rec*> order;
    for (int step = 0; step < 20000; step++) {
        int key = static_cast<int>(rng() % 60);
        auto it = model.find(key);
        if (rng() % 2) {
            Rec* r = &store.emplace_back(Rec{key, step});
            ASSERT_GE(ht_set(ht.get(), &r->key, r), 0);
            if (it == model.end()) order.push_back(model[key] = r); // the first value stays
        } else {
            Rec* got = static_cast<Rec*>(ht_delete(ht.get(), &key));
            ASSERT_EQ(got, it == model.end() ? nullptr : it->second);
            if (got) {
                model.erase(it);
                order.erase(std::find(order.begin(), order.end(), got));
            }
        }
        int probe = static_cast<int>(rng() % 60);
        auto p = model.find(probe);
        ASSERT_EQ(ht_get(ht.get(), &probe), p == model.end() ? nullptr : p->second);
        ASSERT_EQ(ht_num(ht.get()), static_cast<int>(model.size()));
        if (step % 100 == 0) {
            check_buckets(ht.get());
            for (size_t i = 0; i < order.size(); i++) ASSERT_EQ(ht_value(ht.get(), static_cast<int>(i)), order[i]);
        }
    }
    ht_free_member(ht.get(), nullptr);
    EXPECT_EQ(ht_num(ht.get()), 0);
    check_buckets(ht.get());
}

TEST(HashTab, StringHashesFoldOnlyCapitalLettersAndReadUnalignedWords)
{
    char upper[] = "ABC", lower[] = "abc";
    EXPECT_EQ(hash_string(upper), hash_string(lower));
    EXPECT_NE(hash_key(upper), hash_key(lower));
    EXPECT_NE(string_hash("[", 1, 0), string_hash("{", 1, 0));
    EXPECT_EQ(generic_hash(nullptr, 5, 77), 77u);
    EXPECT_EQ(generic_hash("abcdef", 3, 9), generic_hash("abc", -1, 9));
    ckstr_t ck{upper, -1};
    EXPECT_EQ(ckstr_string_hash(&ck), hash_string(lower));
    EXPECT_EQ(fake_hash(upper, -1, 5), fake_hash(lower, 3, 5));

    unsigned char buf[24], shifted[32];
    for (int i = 0; i < 24; i++) buf[i] = static_cast<unsigned char>(i * 37 + 11);
    for (int len = 1; len <= 20; len++) {
        memcpy(shifted + 3, buf, static_cast<size_t>(len)); // odd address
        EXPECT_EQ(murmur_hash2(buf, len, 9), murmur_hash2(shifted + 3, len, 9));
        EXPECT_EQ(murmur_hash2_64(buf, len, 9), murmur_hash2_64(shifted + 3, len, 9));
        shifted[3 + len - 1] ^= 0x40; // every tail byte is mixed in
        EXPECT_NE(murmur_hash2(buf, len, 9), murmur_hash2(shifted + 3, len, 9)) << len;
        EXPECT_NE(murmur_hash2_64(buf, len, 9), murmur_hash2_64(shifted + 3, len, 9)) << len;
    }
}

TEST(HashTab, IntegerKeysHashExactlyTheirEightBytes)
{
    HtPtr ht(ht_only_new(300, [](void* v, void* k) { return memcmp(v, k, sizeof(uint64_t)) == 0 ? 0 : 1; }));
    ht_set_hash_func(ht.get(), hash_int64_key);
    std::vector<uint64_t> ids;
    for (uint64_t i = 0; i < 200; i++) ids.push_back(0x8080808080808080ULL + i * 0x0101010101ULL);
    for (auto& id : ids) ASSERT_GE(ht_set(ht.get(), &id, &id), 1);
    for (auto& id : ids) {
        // A lone 8-byte heap key without a zero byte: AddressSanitizer reports
        // a hash that reads past it, as a string hash would.
        auto* k = static_cast<uint64_t*>(kalloc(sizeof(uint64_t)));
        *k = id;
        EXPECT_EQ(ht_get(ht.get(), k), &id);
        *k = id + 1; // no such id
        EXPECT_EQ(ht_get(ht.get(), k), nullptr);
        kfree(k);
    }
}
