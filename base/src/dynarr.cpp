/* Growable pointer array: vector, sorted set and consistent-hashing ring. */
#include "dynarr.h"

#include "memory.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kMinSlots = 4;

/* Moves the slots into a fresh block of `cap` slots. krealloc would release
 * the old block on failure; a failed growth must keep the array as it was. */
bool resize_to(arr_t* ar, int cap)
{
    if (cap <= ar->num) return false;
    auto* nd = static_cast<void**>(kzalloc(sizeof(void*) * static_cast<size_t>(cap)));
    if (!nd) return false;
    if (ar->num > 0) memcpy(nd, ar->data, sizeof(void*) * static_cast<size_t>(ar->num));
    kfree(ar->data);
    ar->data = nd;
    ar->num_alloc = cap;
    return true;
}

/* Keeps one spare slot after the coming insert. */
bool grow_for_one(arr_t* ar)
{
    if (ar->num + 1 < ar->num_alloc) return true;
    if (ar->num_alloc > INT_MAX / 2) return false;
    return resize_to(ar, ar->num_alloc * 2);
}

void insert_at(arr_t* ar, void* p, int loc)
{
    if (loc < ar->num)
        memmove(ar->data + loc + 1, ar->data + loc, sizeof(void*) * static_cast<size_t>(ar->num - loc));
    ar->data[loc] = p;
    ar->num++;
}

void* remove_at(arr_t* ar, int loc)
{
    void* p = ar->data[loc];
    if (loc < ar->num - 1)
        memmove(ar->data + loc, ar->data + loc + 1, sizeof(void*) * static_cast<size_t>(ar->num - loc - 1));
    ar->num--;
    ar->data[ar->num] = nullptr;
    return p;
}

struct Search {
    int lo, hi, mid, r;
    bool hit;
};

Search bsearch_arr(arr_t* ar, void* pattern, ArrCmp cmp)
{
    Search s{0, ar->num - 1, 0, 0, false};
    while (s.lo <= s.hi) {
        s.mid = (s.lo + s.hi) >> 1;
        s.r = cmp(ar->data[s.mid], pattern);
        if (s.r < 0) s.lo = s.mid + 1;
        else if (s.r > 0) s.hi = s.mid - 1;
        else {
            s.hit = true;
            break;
        }
    }
    return s;
}

/* Bounds of the run of equal items around a hit; items outside [lo, hi]
 * were already found unequal by the search. */
void equal_run(arr_t* ar, void* pattern, ArrCmp cmp, const Search& s, int* first, int* last)
{
    int a = s.mid, b = s.mid;
    while (a - 1 >= s.lo && cmp(ar->data[a - 1], pattern) == 0) a--;
    while (b + 1 <= s.hi && cmp(ar->data[b + 1], pattern) == 0) b++;
    *first = a;
    *last = b;
}

/* The linear scans' match rule: a NULL cmp matches by pointer. */
bool matches(void* item, void* pattern, ArrCmp cmp) { return cmp ? cmp(item, pattern) == 0 : item == pattern; }

struct SortCtx {
    ArrCmp cmp;
};

int sort_tramp(const void* a, const void* b, void* ctx)
{
    auto* c = static_cast<SortCtx*>(ctx);
    return c->cmp(const_cast<void*>(a), const_cast<void*>(b));
}

} // namespace

arr_t* arr_new(int len)
{
    if (len < kMinSlots) len = kMinSlots;
    auto* ar = static_cast<arr_t*>(kzalloc(sizeof(arr_t)));
    if (!ar) return nullptr;
    ar->data = static_cast<void**>(kzalloc(sizeof(void*) * static_cast<size_t>(len)));
    if (!ar->data) {
        kfree(ar);
        return nullptr;
    }
    ar->num_alloc = len;
    return ar;
}

arr_t* arr_dup(arr_t* ar)
{
    if (!ar) return nullptr;
    arr_t* d = arr_new(ar->num_alloc);
    if (!d) return nullptr;
    if (ar->num > 0) memcpy(d->data, ar->data, sizeof(void*) * static_cast<size_t>(ar->num));
    d->num = ar->num;
    return d;
}

void arr_free(arr_t* ar)
{
    if (!ar) return;
    kfree(ar->data);
    kfree(ar);
}

void arr_pop_free(arr_t* ar, ArrFreeFunc func)
{
    if (!ar) return;
    if (func)
        for (int i = 0; i < ar->num; i++)
            if (ar->data[i]) func(ar->data[i]);
    arr_free(ar);
}

void arr_pop_kfree(arr_t* ar)
{
    if (!ar) return;
    for (int i = 0; i < ar->num; i++) kfree(ar->data[i]);
    arr_free(ar);
}

int arr_push(arr_t* ar, void* p)
{
    if (!ar || !grow_for_one(ar)) return 0;
    ar->data[ar->num++] = p;
    return ar->num;
}

int arr_insert(arr_t* ar, void* p, int loc)
{
    if (!ar || !grow_for_one(ar)) return 0;
    if (loc < 0 || loc >= ar->num) loc = ar->num;
    insert_at(ar, p, loc);
    return ar->num;
}

int arr_enlarge(arr_t* ar, int n)
{
    if (!ar || n <= 0) return 0;
    if (n > INT_MAX - kMinSlots - ar->num) return 0;
    int want = ar->num + n;
    if (want >= ar->num_alloc && !resize_to(ar, want + kMinSlots)) return 0;
    memset(ar->data + ar->num, 0, sizeof(void*) * static_cast<size_t>(n));
    ar->num = want;
    return ar->num;
}

void* arr_pop(arr_t* ar)
{
    if (!ar || ar->num <= 0) return nullptr;
    return remove_at(ar, ar->num - 1);
}

void* arr_delete(arr_t* ar, int loc)
{
    if (!ar || loc < 0 || loc >= ar->num) return nullptr;
    return remove_at(ar, loc);
}

void* arr_delete_ptr(arr_t* ar, void* p)
{
    if (!ar || !p) return nullptr;
    for (int i = 0; i < ar->num; i++)
        if (ar->data[i] == p) return remove_at(ar, i);
    return nullptr;
}

void arr_zero(arr_t* ar)
{
    if (!ar) return;
    if (ar->num > 0) memset(ar->data, 0, sizeof(void*) * static_cast<size_t>(ar->num));
    ar->num = 0;
}

int arr_num(arr_t* ar) { return ar ? ar->num : 0; }

void* arr_last(arr_t* ar) { return (ar && ar->num > 0) ? ar->data[ar->num - 1] : nullptr; }

void* arr_value(arr_t* ar, int i)
{
    if (!ar || i < 0 || i >= ar->num) return nullptr;
    return ar->data[i];
}

void* arr_get(arr_t* ar, int i) { return arr_value(ar, i); }

void* arr_set(arr_t* ar, int i, void* p)
{
    if (!ar || i < 0 || i >= ar->num) return nullptr;
    ar->data[i] = p;
    return p;
}

void arr_sort_by(arr_t* ar, ArrCmp cmp)
{
    if (!ar || !cmp || ar->num < 2) return;
    SortCtx ctx{cmp};
    qsort_r(ar->data, static_cast<size_t>(ar->num), sizeof(void*), sort_tramp, &ctx);
}

int arr_insert_by(arr_t* ar, void* item, ArrCmp cmp)
{
    if (!ar || !item || !cmp) return -1;
    int loc = 0;
    if (ar->num > 0) {
        Search s = bsearch_arr(ar, item, cmp);
        if (!s.hit) {
            loc = s.lo;
        } else {
            loc = s.mid + 1;
            while (loc <= s.hi && cmp(ar->data[loc], item) == 0) loc++;
        }
    }
    if (!grow_for_one(ar)) return 0;
    insert_at(ar, item, loc);
    return ar->num;
}

int arr_findloc_by(arr_t* ar, void* pattern, ArrCmp cmp, int* found)
{
    if (found) *found = 0;
    if (!ar || !cmp || ar->num <= 0) return 0;
    Search s = bsearch_arr(ar, pattern, cmp);
    if (s.hit) {
        if (found) *found = 1;
        return s.mid;
    }
    return s.lo;
}

void* arr_find_by(arr_t* ar, void* pattern, ArrCmp cmp)
{
    if (!ar || !cmp || ar->num <= 0) return nullptr;
    Search s = bsearch_arr(ar, pattern, cmp);
    return s.hit ? ar->data[s.mid] : nullptr;
}

/* A new array of the run of items equal to pattern, found by binary search;
 * *first is where the run starts. Null when there is none or on failure. */
static arr_t* collect_equal_run(arr_t* ar, void* pattern, ArrCmp cmp, int* first)
{
    if (!ar || !cmp || ar->num <= 0) return nullptr;
    Search s = bsearch_arr(ar, pattern, cmp);
    if (!s.hit) return nullptr;
    int last;
    equal_run(ar, pattern, cmp, s, first, &last);
    arr_t* out = arr_new(kMinSlots);
    if (!out) return nullptr;
    for (int i = *first; i <= last; i++) {
        if (!arr_push(out, ar->data[i])) {
            arr_free(out);
            return nullptr;
        }
    }
    return out;
}

arr_t* arr_find_all_by(arr_t* ar, void* pattern, ArrCmp cmp)
{
    int first;
    return collect_equal_run(ar, pattern, cmp, &first);
}

void* arr_delete_by(arr_t* ar, void* pattern, ArrCmp cmp)
{
    if (!ar || !cmp || ar->num <= 0) return nullptr;
    Search s = bsearch_arr(ar, pattern, cmp);
    return s.hit ? remove_at(ar, s.mid) : nullptr;
}

arr_t* arr_delete_all_by(arr_t* ar, void* pattern, ArrCmp cmp)
{
    /* Collect first, so an allocation failure leaves the array untouched. */
    int first;
    arr_t* out = collect_equal_run(ar, pattern, cmp, &first);
    for (int i = 0; out && i < arr_num(out); i++) remove_at(ar, first);
    return out;
}

void* arr_consistent_hash_node(arr_t* ar, void* pattern, ArrCmp cmp)
{
    if (!ar || ar->num <= 0 || !pattern || !cmp) return nullptr;
    if (ar->num == 1) return ar->data[0];
    Search s = bsearch_arr(ar, pattern, cmp);
    if (s.hit) return ar->data[s.mid];
    if (s.r > 0) return ar->data[s.mid];
    return s.lo < ar->num ? ar->data[s.lo] : ar->data[0];
}

void* arr_search(arr_t* ar, void* pattern, ArrCmp cmp)
{
    if (!ar) return nullptr;
    for (int i = 0; i < ar->num; i++)
        if (matches(ar->data[i], pattern, cmp)) return ar->data[i];
    return nullptr;
}

arr_t* arr_search_all(arr_t* ar, void* pattern, ArrCmp cmp)
{
    if (!ar) return nullptr;
    arr_t* out = nullptr;
    for (int i = 0; i < ar->num; i++) {
        void* it = ar->data[i];
        if (!matches(it, pattern, cmp)) continue;
        if (!out && !(out = arr_new(kMinSlots))) return nullptr;
        if (!arr_push(out, it)) {
            arr_free(out);
            return nullptr;
        }
    }
    return out;
}
