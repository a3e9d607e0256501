// Hash table: bucket sizing, buckets flipping between one direct value and an
// array, first-value-wins, insertion order, pattern deletion, a randomised
// model comparison, and the hash functions (including 64-bit integer keys).
#include "hashtab.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
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

struct HtDeleter {
    void operator()(hashtab_t* h) const { ht_free(h); }
};
using HtPtr = std::unique_ptr<hashtab_t, HtDeleter>;

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
    const std::pair<int, int> cases[] = {{4096, 4099}, {1024, 1031}, {200, 211}, {100, 101}, {2, 3},
                                         {0, 1},       {1, 1},       {9, 11},    {300, 307}};
    for (auto [ask, want] : cases) EXPECT_EQ(HtPtr(ht_only_new(ask, rec_cmp))->len, want) << ask;
}

TEST(HashTab, CollidingKeysFlipTheBucketToAnArrayAndBack)
{
    HtPtr ht(ht_only_new(1, rec_cmp)); // one bucket: every key collides
    Rec a{1, 0}, b{2, 1}, c{3, 2}, a2{1, 3};
    EXPECT_EQ(ht_set(ht.get(), &a.key, &a), 1);
    EXPECT_EQ(ht->ptab[0].dptr, &a); // held directly
    EXPECT_EQ(ht_set(ht.get(), &a2.key, &a2), 1); // key present: the first value stays
    EXPECT_EQ(ht_set(ht.get(), &b.key, &b), 2);
    EXPECT_EQ(ht_set(ht.get(), &c.key, &c), 3);
    EXPECT_EQ(ht_set(ht.get(), &a2.key, &a2), 0);
    EXPECT_EQ(ht_get(ht.get(), &a2.key), &a);
    EXPECT_EQ(ht_num(ht.get()), 3);

    EXPECT_EQ(ht_delete(ht.get(), &b.key), &b);
    EXPECT_EQ(ht_delete(ht.get(), &a.key), &a);
    EXPECT_EQ(ht->ptab[0].count, 1);
    EXPECT_EQ(ht->ptab[0].dptr, &c); // collapsed back to a direct value
    EXPECT_EQ(ht_get(ht.get(), &c.key), &c);
    EXPECT_EQ(ht_delete(ht.get(), &a.key), nullptr);
    EXPECT_EQ(ht_delete(ht.get(), &c.key), &c);
    EXPECT_EQ(ht->ptab[0].dptr, nullptr);
}

TEST(HashTab, LinearTableKeepsInsertionOrderAndPatternDeleteSettlesBuckets)
{
    HtPtr ht(ht_new(1, rec_cmp));
    Rec r[5] = {{40, 1}, {3, 0}, {77, 1}, {12, 1}, {5, 1}};
    for (auto& x : r) ht_set(ht.get(), &x.key, &x);
    ht_delete(ht.get(), &r[0].key);
    EXPECT_EQ(ht_value(ht.get(), 0), &r[1]);
    EXPECT_EQ(ht_value(ht.get(), 4), nullptr);

    static std::vector<Rec*> freed;
    freed.clear();
    int one = 1;
    ht_delete_pattern(
        ht.get(), &one, [](void* v, void* p) { return static_cast<Rec*>(v)->id == *static_cast<int*>(p) ? 0 : 1; },
        [](void* v) { freed.push_back(static_cast<Rec*>(v)); });
    EXPECT_EQ(freed, (std::vector<Rec*>{&r[2], &r[3], &r[4]}));
    EXPECT_EQ(ht_num(ht.get()), 1);
    EXPECT_EQ(ht->ptab[0].dptr, &r[1]); // one value left: held directly again
    EXPECT_EQ(ht_value(ht.get(), 0), &r[1]);
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
    std::vector<std::unique_ptr<Rec>> store;
    std::map<int, Rec*> model;
    std::vector<Rec*> order;
    for (int step = 0; step < 20000; step++) {
        int key = static_cast<int>(rng() % 60);
        auto it = model.find(key);
        if (rng() % 2) {
            store.push_back(std::make_unique<Rec>(Rec{key, step}));
            ASSERT_GE(ht_set(ht.get(), &store.back()->key, store.back().get()), 0);
            if (it == model.end()) {
                model[key] = store.back().get();
                order.push_back(store.back().get());
            }
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
    char upper[] = "ABC", lower[] = "abc", a[] = "a";
    EXPECT_EQ(hash_string(upper), hash_string(lower));
    EXPECT_NE(hash_key(upper), hash_key(lower));
    EXPECT_EQ(hash_key(a), 33u); // start 1: (1 << 6) ^ 'a'
    EXPECT_NE(string_hash("[", 1, 0), string_hash("{", 1, 0));
    EXPECT_EQ(generic_hash(lower, -1, 0), hash_key(lower));
    EXPECT_EQ(generic_hash("abcdef", 3, 9), generic_hash("abc", 3, 9));
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

// A 64-bit key without a zero byte: a string hash reads past it. The integer
// key hash reads exactly its 8 bytes (AddressSanitizer checks the lone 8-byte
// heap keys below are not overrun).
TEST(HashTab, IntegerKeysHashExactlyTheirEightBytes)
{
    struct Padded {
        uint64_t id;
        char after[8];
    };
    Padded p1{0x0101010101010101ULL, "abcdefg"}, p2{0x0101010101010101ULL, "zzzzzzz"};
    EXPECT_EQ(hash_int64_key(&p1.id), hash_int64_key(&p2.id));
    EXPECT_NE(hash_string(&p1.id), hash_string(&p2.id)); // the hazard avoided

    struct Worker {
        uint64_t threadid;
    };
    HtPtr ht(ht_only_new(300, [](void* v, void* k) {
        uint64_t key;
        memcpy(&key, k, sizeof key);
        return static_cast<Worker*>(v)->threadid == key ? 0 : 1;
    }));
    ht_set_hash_func(ht.get(), hash_int64_key);
    std::vector<Worker> workers;
    for (uint64_t i = 0; i < 200; i++) workers.push_back(Worker{0x8080808080808080ULL + i * 0x0101010101ULL});
    for (auto& w : workers) ASSERT_GE(ht_set(ht.get(), &w.threadid, &w), 1);
    for (auto& w : workers) {
        auto* k = static_cast<uint64_t*>(kalloc(sizeof(uint64_t)));
        *k = w.threadid;
        EXPECT_EQ(ht_get(ht.get(), k), &w);
        *k = w.threadid + 1; // no worker has this id
        EXPECT_EQ(ht_get(ht.get(), k), nullptr);
        kfree(k);
    }
}
