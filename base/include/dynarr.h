/* Growable array of pointers.
 *
 * Used as a plain vector (push, pop, index), as a sorted set kept in order by
 * a caller's comparison (binary search, ordered insert, range find and
 * delete) and as a consistent-hashing ring. The array never owns the items:
 * only arr_pop_free and arr_pop_kfree release them. No lock inside; an array
 * shared between threads is guarded by its owner. */
#ifndef KORVID_DYNARR_H
#define KORVID_DYNARR_H

/* Negative when `item` sorts before `pattern`, 0 when equal, positive after.
 * The sorted family passes the stored pointer first and the pattern second;
 * arr_sort_by passes pointers to two slots (void** given as void*). */
typedef int (*ArrCmp)(void* item, void* pattern);
typedef void (*ArrFreeFunc)(void* item);

typedef struct DynArr_ {
    int    num_alloc; /* capacity in slots, at least 4 */
    int    num;       /* slots in use; always below num_alloc */
    void** data;
} arr_t;

arr_t* arr_new(int len);   /* capacity max(len, 4); NULL when out of memory */
arr_t* arr_dup(arr_t* ar); /* same capacity and slots, items shared */
void   arr_free(arr_t* ar);
void   arr_pop_free(arr_t* ar, ArrFreeFunc func); /* func on every non-null slot, then arr_free */
void   arr_pop_kfree(arr_t* ar);

/* Return the new count, 0 when growth fails (content then kept). */
int    arr_push(arr_t* ar, void* p);
int    arr_insert(arr_t* ar, void* p, int loc); /* loc < 0 or >= num appends */
int    arr_enlarge(arr_t* ar, int n);           /* appends n NULL slots */

void*  arr_pop(arr_t* ar);
void*  arr_delete(arr_t* ar, int loc);
void*  arr_delete_ptr(arr_t* ar, void* p); /* first slot equal to p */
void   arr_zero(arr_t* ar);

int    arr_num(arr_t* ar);
void*  arr_last(arr_t* ar);
void*  arr_value(arr_t* ar, int i);
void*  arr_get(arr_t* ar, int i);
void*  arr_set(arr_t* ar, int i, void* p); /* p, or NULL when i is out of range */

/* Sorted family: the array must be ascending by `cmp`. */
void   arr_sort_by(arr_t* ar, ArrCmp cmp);
/* Inserts after every item equal to `item`; the new count, -1 for null arguments. */
int    arr_insert_by(arr_t* ar, void* item, ArrCmp cmp);
/* Index of an equal item (*found = 1) or the insertion index (*found = 0). */
int    arr_findloc_by(arr_t* ar, void* pattern, ArrCmp cmp, int* found);
void*  arr_find_by(arr_t* ar, void* pattern, ArrCmp cmp);
arr_t* arr_find_all_by(arr_t* ar, void* pattern, ArrCmp cmp);   /* NULL when none */
void*  arr_delete_by(arr_t* ar, void* pattern, ArrCmp cmp);
arr_t* arr_delete_all_by(arr_t* ar, void* pattern, ArrCmp cmp); /* NULL when none */
/* The first item that does not sort before `pattern`, wrapping to the first item. */
void*  arr_consistent_hash_node(arr_t* ar, void* pattern, ArrCmp cmp);

/* Linear scans; a NULL cmp matches by pointer equality. */
void*  arr_search(arr_t* ar, void* pattern, ArrCmp cmp);
arr_t* arr_search_all(arr_t* ar, void* pattern, ArrCmp cmp); /* NULL when none */

#endif
