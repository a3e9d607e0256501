/* Chained hash table of value pointers and the byte-string hash functions. */
#include "hashtab.h"

#include "memory.h"

#include <string.h>

static_assert(sizeof(unsigned long) == 8, "hash values are 64-bit");

namespace {

hashnode_t* bucket_of(hashtab_t* ht, void* key)
{
    unsigned long h = ht->hashFunc(key);
    return &ht->ptab[h % static_cast<unsigned long>(ht->len)];
}

/* A table made without a comparison matches a value to itself. */
bool belongs(hashtab_t* ht, void* value, void* key)
{
    return ht->cmp ? ht->cmp(value, key) == 0 : value == key;
}

arr_t* as_arr(hashnode_t* b) { return static_cast<arr_t*>(b->dptr); }

/* A bucket left with one value holds it directly; with none it is empty. */
void settle_bucket(hashnode_t* b)
{
    if (b->count > 1) return;
    arr_t* a = as_arr(b);
    b->dptr = b->count == 1 ? arr_value(a, 0) : nullptr;
    arr_free(a);
}

void forget_value(hashtab_t* ht, void* value)
{
    ht->num--;
    if (ht->linear) arr_delete_ptr(ht->nodelist, value);
}

template <typename F>
void for_each_value(hashtab_t* ht, F&& f)
{
    for (int i = 0; i < ht->len; i++) {
        hashnode_t* b = &ht->ptab[i];
        if (b->count == 1) {
            f(b->dptr);
        } else if (b->count > 1) {
            arr_t* a = as_arr(b);
            for (int k = 0; k < arr_num(a); k++) f(arr_value(a, k));
        }
    }
}

void release_buckets(hashtab_t* ht)
{
    for (int i = 0; i < ht->len; i++) {
        hashnode_t* b = &ht->ptab[i];
        if (b->count > 1) arr_free(as_arr(b));
        b->count = 0;
        b->dptr = nullptr;
    }
    ht->num = 0;
}

/* First odd number >= num with no odd divisor up to its square root. */
long long bucket_count(int num)
{
    long long n = num < 1 ? 1 : num;
    if (n % 2 == 0) n++;
    for (;;) {
        bool divisible = false;
        for (long long d = 3; d * d <= n; d += 2) {
            if (n % d == 0) {
                divisible = true;
                break;
            }
        }
        if (!divisible) return n;
        n += 2;
    }
}

inline unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c; }

template <bool Fold>
unsigned long shift_xor(const void* key, size_t n, unsigned long h)
{
    auto* p = static_cast<const unsigned char*>(key);
    for (size_t i = 0; i < n; i++) {
        unsigned long c = Fold ? fold(p[i]) : p[i];
        h = (h & 0xFC000000UL) ^ (h << 6) ^ c;
    }
    return h;
}

/* Bytes of a seeded hash's key: len < 0 means up to the terminating NUL. */
size_t key_length(const void* key, int len)
{
    return len < 0 ? strlen(static_cast<const char*>(key)) : static_cast<size_t>(len);
}

template <bool Fold>
unsigned long seeded(const void* key, int len, unsigned long seed)
{
    if (!key) return seed;
    size_t n = key_length(key, len);
    if (n == 0) return seed;
    return shift_xor<Fold>(key, n, static_cast<unsigned long>(n) ^ seed);
}

template <bool Fold>
unsigned long nul_terminated(void* str)
{
    if (!str) return 0;
    size_t n = strlen(static_cast<const char*>(str));
    return shift_xor<Fold>(str, n, static_cast<unsigned long>(n));
}

template <bool Fold>
unsigned long counted(void* ckp)
{
    auto* ck = static_cast<ckstr_t*>(ckp);
    if (!ck) return 0;
    long len = ck->len;
    if (len < 0) len = ck->p ? static_cast<long>(strlen(ck->p)) : 0;
    unsigned long h = static_cast<unsigned long>(len);
    if (!ck->p || len < 1) return h;
    return shift_xor<Fold>(ck->p, static_cast<size_t>(len), h);
}

/* Unaligned little-endian word reads: keys may start at any byte. */
template <typename T> inline T load_le(const unsigned char* p)
{
    T v;
    memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
    else v = __builtin_bswap32(v);
#endif
    return v;
}

} // namespace

hashtab_t* ht_only_new(int num, HashCmp cmp)
{
    long long len = bucket_count(num);
    if (len > 0x7fffffff) return nullptr;
    auto* ht = static_cast<hashtab_t*>(kzalloc(sizeof(hashtab_t)));
    if (!ht) return nullptr;
    ht->ptab = static_cast<hashnode_t*>(kzalloc(sizeof(hashnode_t) * static_cast<size_t>(len)));
    if (!ht->ptab) {
        kfree(ht);
        return nullptr;
    }
    ht->len = static_cast<int>(len);
    ht->num_requested = num;
    ht->hashFunc = hash_string;
    ht->cmp = cmp;
    return ht;
}

hashtab_t* ht_new(int num, HashCmp cmp)
{
    hashtab_t* ht = ht_only_new(num, cmp);
    if (!ht) return nullptr;
    ht->nodelist = arr_new(4);
    if (!ht->nodelist) {
        ht_free(ht);
        return nullptr;
    }
    ht->linear = 1;
    return ht;
}

void ht_set_hash_func(hashtab_t* ht, HashFunc f)
{
    if (ht && f) ht->hashFunc = f;
}

void ht_set_generic_hash(hashtab_t* ht)
{
    if (ht) ht->hashFunc = hash_key;
}

int ht_set(hashtab_t* ht, void* key, void* value)
{
    if (!ht || !key || !value) return -1;
    hashnode_t* b = bucket_of(ht, key);
    if (b->count == 0) {
        if (ht->linear && !arr_push(ht->nodelist, value)) return -1;
        b->dptr = value;
        b->count = 1;
        ht->num++;
        return 1;
    }
    if (b->count == 1) {
        if (belongs(ht, b->dptr, key)) return 1;
        arr_t* a = arr_new(4);
        if (!a) return -1;
        arr_push(a, b->dptr);
        arr_push(a, value);
        if (ht->linear && !arr_push(ht->nodelist, value)) {
            arr_free(a);
            return -1;
        }
        b->dptr = a;
        b->count = 2;
        ht->num++;
        return 2;
    }
    arr_t* a = as_arr(b);
    for (int i = 0; i < arr_num(a); i++)
        if (belongs(ht, arr_value(a, i), key)) return 0;
    if (!arr_push(a, value)) return -1;
    if (ht->linear && !arr_push(ht->nodelist, value)) {
        arr_pop(a);
        return -1;
    }
    b->count++;
    ht->num++;
    return b->count;
}

void* ht_get(hashtab_t* ht, void* key)
{
    if (!ht || !key) return nullptr;
    hashnode_t* b = bucket_of(ht, key);
    if (b->count == 1) return belongs(ht, b->dptr, key) ? b->dptr : nullptr;
    if (b->count > 1) {
        arr_t* a = as_arr(b);
        for (int i = 0; i < arr_num(a); i++)
            if (belongs(ht, arr_value(a, i), key)) return arr_value(a, i);
    }
    return nullptr;
}

void* ht_delete(hashtab_t* ht, void* key)
{
    if (!ht || !key) return nullptr;
    hashnode_t* b = bucket_of(ht, key);
    void* found = nullptr;
    if (b->count == 1) {
        if (!belongs(ht, b->dptr, key)) return nullptr;
        found = b->dptr;
        b->dptr = nullptr;
        b->count = 0;
    } else if (b->count > 1) {
        arr_t* a = as_arr(b);
        for (int i = 0; i < arr_num(a); i++) {
            if (belongs(ht, arr_value(a, i), key)) {
                found = arr_delete(a, i);
                break;
            }
        }
        if (!found) return nullptr;
        b->count--;
        settle_bucket(b);
    } else {
        return nullptr;
    }
    forget_value(ht, found);
    return found;
}

void ht_delete_pattern(hashtab_t* ht, void* pattern, HashCmp cmp2, HashFreeFunc freefunc)
{
    if (!ht || !pattern || !cmp2 || !freefunc) return;
    for (int i = 0; i < ht->len; i++) {
        hashnode_t* b = &ht->ptab[i];
        if (b->count == 1) {
            void* v = b->dptr;
            if (cmp2(v, pattern) != 0) continue;
            b->dptr = nullptr;
            b->count = 0;
            forget_value(ht, v);
            freefunc(v);
        } else if (b->count > 1) {
            arr_t* a = as_arr(b);
            for (int k = 0; k < arr_num(a);) {
                void* v = arr_value(a, k);
                if (cmp2(v, pattern) != 0) {
                    k++;
                    continue;
                }
                arr_delete(a, k);
                b->count--;
                forget_value(ht, v);
                freefunc(v);
            }
            settle_bucket(b);
        }
    }
}

int ht_num(hashtab_t* ht) { return ht ? ht->num : 0; }

void* ht_value(hashtab_t* ht, int i)
{
    if (!ht || i < 0 || i >= ht->num) return nullptr;
    if (ht->linear) return arr_value(ht->nodelist, i);
    for (int k = 0; k < ht->len; k++) {
        hashnode_t* b = &ht->ptab[k];
        if (b->count <= 0) continue;
        if (i < b->count) return b->count == 1 ? b->dptr : arr_value(as_arr(b), i);
        i -= b->count;
    }
    return nullptr;
}

int ht_sort(hashtab_t* ht, ArrCmp cmp2)
{
    if (!ht) return -1;
    if (ht->linear) arr_sort_by(ht->nodelist, cmp2);
    return 0;
}

void ht_traverse(hashtab_t* ht, void* usr, HashVisit check)
{
    if (!ht || !check) return;
    for_each_value(ht, [&](void* v) { check(usr, v); });
}

void ht_zero(hashtab_t* ht)
{
    if (!ht) return;
    release_buckets(ht);
    arr_zero(ht->nodelist);
}

void ht_free(hashtab_t* ht)
{
    if (!ht) return;
    release_buckets(ht);
    arr_free(ht->nodelist);
    kfree(ht->ptab);
    kfree(ht);
}

void ht_free_all(hashtab_t* ht, HashFreeFunc freefunc)
{
    if (!ht) return;
    if (freefunc) for_each_value(ht, [&](void* v) { freefunc(v); });
    ht_free(ht);
}

void ht_free_member(hashtab_t* ht, HashFreeFunc freefunc)
{
    if (!ht) return;
    if (freefunc) for_each_value(ht, [&](void* v) { freefunc(v); });
    ht_zero(ht);
}

void print_hashtab(hashtab_t*, FILE*) {}

unsigned long hash_key(void* str) { return nul_terminated<false>(str); }

unsigned long hash_string(void* str) { return nul_terminated<true>(str); }

unsigned long generic_hash(const void* key, int len, unsigned long seed) { return seeded<false>(key, len, seed); }

unsigned long string_hash(const void* key, int len, unsigned long seed) { return seeded<true>(key, len, seed); }

unsigned long ckstr_generic_hash(void* ck) { return counted<false>(ck); }

unsigned long ckstr_string_hash(void* ck) { return counted<true>(ck); }

unsigned long fake_hash(const void* key, int len, unsigned long seed)
{
    if (!key) return seed;
    size_t n = key_length(key, len);
    if (n == 0) return seed;
    auto* p = static_cast<const unsigned char*>(key);
    unsigned long h = static_cast<unsigned long>(n) ^ seed;
    for (size_t i = 0; i < n; i++) {
        unsigned long t = h ^ (h >> 3);
        h = t ^ (t << 5) ^ fold(p[i]);
    }
    return h;
}

uint32_t murmur_hash2(const void* key, int len, uint32_t seed)
{
    if (!key) return seed;
    size_t n = key_length(key, len);
    if (n == 0) return seed;
    constexpr uint32_t m = 0x5bd1e995;
    constexpr int r = 24;
    auto* p = static_cast<const unsigned char*>(key);
    uint32_t h = seed ^ static_cast<uint32_t>(n);
    while (n >= 4) {
        uint32_t k = load_le<uint32_t>(p);
        k *= m;
        k ^= k >> r;
        k *= m;
        h *= m;
        h ^= k;
        p += 4;
        n -= 4;
    }
    switch (n) {
    case 3: h ^= static_cast<uint32_t>(p[2]) << 16; [[fallthrough]];
    case 2: h ^= static_cast<uint32_t>(p[1]) << 8; [[fallthrough]];
    case 1:
        h ^= p[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

uint64_t murmur_hash2_64(const void* key, int len, uint64_t seed)
{
    if (!key) return seed;
    size_t n = key_length(key, len);
    if (n == 0) return seed;
    constexpr uint64_t m = 0xc6a4a7935bd1e995ULL;
    constexpr int r = 47;
    auto* p = static_cast<const unsigned char*>(key);
    uint64_t h = seed ^ (static_cast<uint64_t>(n) * m);
    for (size_t blocks = n / 8; blocks > 0; blocks--, p += 8) {
        uint64_t k = load_le<uint64_t>(p);
        k *= m;
        k ^= k >> r;
        k *= m;
        h ^= k;
        h *= m;
    }
    switch (n & 7) {
    case 7: h ^= static_cast<uint64_t>(p[6]) << 48; [[fallthrough]];
    case 6: h ^= static_cast<uint64_t>(p[5]) << 40; [[fallthrough]];
    case 5: h ^= static_cast<uint64_t>(p[4]) << 32; [[fallthrough]];
    case 4: h ^= static_cast<uint64_t>(p[3]) << 24; [[fallthrough]];
    case 3: h ^= static_cast<uint64_t>(p[2]) << 16; [[fallthrough]];
    case 2: h ^= static_cast<uint64_t>(p[1]) << 8; [[fallthrough]];
    case 1:
        h ^= p[0];
        h *= m;
    }
    h ^= h >> r;
    h *= m;
    h ^= h >> r;
    return h;
}

unsigned long hash_int64_key(void* key) { return generic_hash(key, 8, 0); }
