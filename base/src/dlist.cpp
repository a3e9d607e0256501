/* Intrusive doubly linked list: the items carry the links. */
#include "dlist.h"

#include "memory.h"

namespace {

inline dnode_t* N(void* p) { return static_cast<dnode_t*>(p); }

/* Links `item` between two neighbours (either may be NULL at an end). */
void link_between(dlist_t* lt, void* item, void* prev, void* next)
{
    N(item)->prev = prev;
    N(item)->next = next;
    if (prev) N(prev)->next = item;
    else lt->first = item;
    if (next) N(next)->prev = item;
    else lt->last = item;
    lt->num++;
}

/* Unlinks the run of at most max items from start; the run keeps its own links. */
void unlink_run(dlist_t* lt, void* start, int max)
{
    void* end = start;
    int count = 1;
    while (count < max && N(end)->next) {
        end = N(end)->next;
        count++;
    }
    void* before = N(start)->prev;
    void* after = N(end)->next;
    if (before) N(before)->next = after;
    else lt->first = after;
    if (after) N(after)->prev = before;
    else lt->last = before;
    lt->num -= count;
}

void unlink_one(dlist_t* lt, void* item)
{
    unlink_run(lt, item, 1);
    N(item)->prev = N(item)->next = nullptr;
}

/* Walks are bounded by both the count and a NULL link. */
void* walk_to(dlist_t* lt, int loc)
{
    void* x = lt->first;
    for (int i = 0; x && i < loc && i < lt->num; i++) x = N(x)->next;
    return x;
}

/* Whether the item's links say it sits on this list. */
bool linked_here(dlist_t* lt, void* item)
{
    if (lt->num <= 0) return false;
    void* p = N(item)->prev;
    void* n = N(item)->next;
    if (p ? N(p)->next != item : lt->first != item) return false;
    if (n ? N(n)->prev != item : lt->last != item) return false;
    return true;
}

/* Moves the whole chain of `other` between two neighbours of `lt`. */
void splice_between(dlist_t* lt, dlist_t* other, void* prev, void* next)
{
    N(other->first)->prev = prev;
    N(other->last)->next = next;
    if (prev) N(prev)->next = other->first;
    else lt->first = other->first;
    if (next) N(next)->prev = other->last;
    else lt->last = other->last;
    lt->num += other->num;
}

bool bad_splice_args(dlist_t* lt, dlist_t** other)
{
    return !lt || !other || !*other || *other == lt;
}

/* An empty other header is just released. */
int drop_empty(dlist_t* lt, dlist_t** other)
{
    kfree(*other);
    *other = nullptr;
    return lt->num;
}

bool matches(void* item, void* pattern, ArrCmp cmp)
{
    return cmp ? cmp(item, pattern) == 0 : item == pattern;
}

} // namespace

dlist_t* lt_new(void) { return static_cast<dlist_t*>(kzalloc(sizeof(dlist_t))); }

void lt_free(dlist_t* lt) { kfree(lt); }

void lt_free_all(dlist_t* lt, LtFreeFunc func)
{
    if (!lt) return;
    if (func) {
        void* x = lt->first;
        for (int i = 0; x && i < lt->num; i++) {
            void* next = N(x)->next; /* func may release x */
            func(x);
            x = next;
        }
    }
    kfree(lt);
}

void lt_zero(dlist_t* lt)
{
    if (!lt) return;
    lt->num = 0;
    lt->first = lt->last = nullptr;
}

dlist_t* lt_dup(dlist_t* lt)
{
    if (!lt) return nullptr;
    dlist_t* d = lt_new();
    if (d) *d = *lt;
    return d;
}

int lt_prepend(dlist_t* lt, void* item)
{
    if (!lt || !item) return -1;
    link_between(lt, item, nullptr, lt->first);
    return lt->num;
}

int lt_append(dlist_t* lt, void* item)
{
    if (!lt || !item) return -1;
    link_between(lt, item, lt->last, nullptr);
    return lt->num;
}

int lt_insert(dlist_t* lt, void* item, int loc)
{
    if (!lt || !item) return -1;
    if (loc <= 0) return lt_prepend(lt, item);
    if (loc >= lt->num) return lt_append(lt, item);
    void* cur = walk_to(lt, loc);
    if (!cur) return lt_append(lt, item);
    link_between(lt, item, N(cur)->prev, cur);
    return lt->num;
}

int lt_insert_before(dlist_t* lt, void* cur, void* item)
{
    if (!lt || !cur || !item) return -1;
    link_between(lt, item, N(cur)->prev, cur);
    return lt->num;
}

int lt_insert_after(dlist_t* lt, void* cur, void* item)
{
    if (!lt || !cur || !item) return -1;
    link_between(lt, item, cur, N(cur)->next);
    return lt->num;
}

int lt_sort_insert_by(dlist_t* lt, void* item, ArrCmp cmp)
{
    if (!lt || !item) return -1;
    if (lt->num == 0 || !lt->first) {
        lt_zero(lt);
        return lt_append(lt, item);
    }
    if (!cmp) return -2;
    void* x = lt->first;
    for (int i = 0; x && i < lt->num; i++) {
        int r = cmp(x, item);
        if (r > 0) {
            link_between(lt, item, N(x)->prev, x);
            return lt->num;
        }
        if (r == 0) {
            link_between(lt, item, x, N(x)->next);
            return lt->num;
        }
        x = N(x)->next;
    }
    return lt_append(lt, item);
}

int lt_tail_combine(dlist_t* lt, dlist_t** other)
{
    if (bad_splice_args(lt, other)) return -1;
    if ((*other)->num > 0 && (*other)->first) splice_between(lt, *other, lt->last, nullptr);
    return drop_empty(lt, other);
}

int lt_tail_combine_nodel(dlist_t* lt, dlist_t* other)
{
    if (!lt || !other || other == lt) return -1;
    if (other->num > 0 && other->first) splice_between(lt, other, lt->last, nullptr);
    lt_zero(other);
    return lt->num;
}

int lt_head_combine(dlist_t*, dlist_t**) { return -1; }

int lt_insert_list(dlist_t* lt, dlist_t** other, int loc)
{
    if (bad_splice_args(lt, other) || loc <= 0) return -1;
    if (loc >= lt->num) return lt_tail_combine(lt, other);
    if ((*other)->num <= 0 || !(*other)->first) return drop_empty(lt, other);
    void* cur = walk_to(lt, loc);
    if (!cur) return lt_tail_combine(lt, other);
    splice_between(lt, *other, N(cur)->prev, cur);
    return drop_empty(lt, other);
}

int lt_insert_list_before(dlist_t* lt, dlist_t** other, void* cur)
{
    if (bad_splice_args(lt, other) || !cur || cur == lt->first) return -1;
    if ((*other)->num > 0 && (*other)->first) splice_between(lt, *other, N(cur)->prev, cur);
    return drop_empty(lt, other);
}

int lt_insert_list_after(dlist_t* lt, dlist_t** other, void* cur)
{
    if (bad_splice_args(lt, other) || !cur) return -1;
    if (cur == lt->last) return lt_tail_combine(lt, other);
    if ((*other)->num > 0 && (*other)->first) splice_between(lt, *other, cur, N(cur)->next);
    return drop_empty(lt, other);
}

void* lt_rm_head(dlist_t* lt)
{
    if (!lt || lt->num <= 0 || !lt->first) return nullptr;
    void* x = lt->first;
    unlink_one(lt, x);
    return x;
}

void* lt_rm_tail(dlist_t* lt)
{
    if (!lt || lt->num <= 0 || !lt->last) return nullptr;
    void* x = lt->last;
    unlink_one(lt, x);
    return x;
}

void* lt_delete(dlist_t* lt, int loc)
{
    if (!lt || loc < 0 || loc >= lt->num) return nullptr;
    void* x = walk_to(lt, loc);
    if (x) unlink_one(lt, x);
    return x;
}

void* lt_delete_ptr(dlist_t* lt, void* item)
{
    if (!lt || !item || !linked_here(lt, item)) return nullptr;
    unlink_one(lt, item);
    return item;
}

void* lt_delete_from_loc(dlist_t* lt, int from, int n)
{
    if (!lt || n <= 0) return nullptr;
    if (from < 0) from = 0;
    if (from >= lt->num) return nullptr;
    void* start = walk_to(lt, from);
    if (!start) return nullptr;
    unlink_run(lt, start, n < lt->num - from ? n : lt->num - from);
    N(start)->prev = nullptr;
    return start;
}

void* lt_delete_from_node(dlist_t* lt, void* item, int n)
{
    if (!lt || !item || n < 1 || !linked_here(lt, item)) return nullptr;
    unlink_run(lt, item, n < lt->num ? n : lt->num);
    return item;
}

int lt_num(dlist_t* lt) { return lt ? lt->num : 0; }

void* lt_first(dlist_t* lt) { return lt ? lt->first : nullptr; }

void* lt_last(dlist_t* lt) { return lt ? lt->last : nullptr; }

void* lt_get(dlist_t* lt, int loc)
{
    if (!lt || loc < 0 || loc >= lt->num) return nullptr;
    return walk_to(lt, loc);
}

void* lt_value(dlist_t* lt, int loc) { return lt_get(lt, loc); }

void* lt_get_next(void* item) { return item ? N(item)->next : nullptr; }

void* lt_get_prev(void* item) { return item ? N(item)->prev : nullptr; }

int lt_index(dlist_t* lt, void* item)
{
    if (!lt || !item) return -1;
    void* x = lt->first;
    for (int i = 0; x && i < lt->num; i++, x = N(x)->next)
        if (x == item) return i;
    return -1;
}

void* lt_search(dlist_t* lt, void* pattern, ArrCmp cmp)
{
    if (!lt) return nullptr;
    void* x = lt->first;
    for (int i = 0; x && i < lt->num; i++, x = N(x)->next)
        if (matches(x, pattern, cmp)) return x;
    return nullptr;
}

arr_t* lt_search_all(dlist_t* lt, void* pattern, ArrCmp cmp)
{
    if (!lt) return nullptr;
    arr_t* out = nullptr;
    void* x = lt->first;
    for (int i = 0; x && i < lt->num; i++, x = N(x)->next) {
        if (!matches(x, pattern, cmp)) continue;
        if (!out && !(out = arr_new(4))) return nullptr;
        if (!arr_push(out, x)) {
            arr_free(out);
            return nullptr;
        }
    }
    return out;
}

arr_t* lt_convert_to_linear(dlist_t* lt)
{
    if (!lt || lt->num <= 0) return nullptr;
    arr_t* out = arr_new(lt->num + 4);
    if (!out) return nullptr;
    void* x = lt->first;
    for (int i = 0; x && i < lt->num; i++, x = N(x)->next) arr_push(out, x);
    return out;
}

dlist_t* lt_new_from_linear(arr_t* arr)
{
    if (!arr) return nullptr;
    dlist_t* lt = lt_new();
    if (!lt) return nullptr;
    for (int i = 0; i < arr_num(arr); i++) {
        void* p = arr_value(arr, i);
        if (p) lt_append(lt, p);
    }
    return lt;
}
