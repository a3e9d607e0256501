/* Intrusive doubly linked list.
 *
 * Worker mailboxes, the event core's device, event and worker lists and other
 * queues. The list never allocates or frees items: every listable item begins
 * with the two link pointers of dnode_t (usually a `void* res[2]` first
 * member), so an item pointer is its node pointer. An item sits on at most one
 * list at a time. No lock inside: the list's owner guards it. */
#ifndef KORVID_DLIST_H
#define KORVID_DLIST_H

#include "dynarr.h"

typedef struct list_node_st {
    void* prev; /* neighbouring items; NULL at the ends */
    void* next;
} dnode_t;

typedef struct list_st {
    int   num;
    void* first;
    void* last;
} dlist_t;

typedef void (*LtFreeFunc)(void* item);

dlist_t* lt_new(void);
void     lt_free(dlist_t* lt);                      /* header only */
void     lt_free_all(dlist_t* lt, LtFreeFunc func); /* func on every item, then the header */
void     lt_zero(dlist_t* lt);                      /* forget the items */
/* A second header over the same chain; no item is copied. */
dlist_t* lt_dup(dlist_t* lt);

/* Inserting operations return the new count; -1 for a null list or item. */
int lt_prepend(dlist_t* lt, void* item);
int lt_append(dlist_t* lt, void* item);
int lt_insert(dlist_t* lt, void* item, int loc); /* ends at index loc, clamped to the ends */
int lt_insert_before(dlist_t* lt, void* cur, void* item);
int lt_insert_after(dlist_t* lt, void* cur, void* item);
/* Ascending by cmp(listed, item); an equal item goes right after the first
 * equal one met. -2 when the list is not empty and cmp is NULL. */
int lt_sort_insert_by(dlist_t* lt, void* item, ArrCmp cmp);

/* Splices: on success the other header is released and *other set to NULL. */
int lt_tail_combine(dlist_t* lt, dlist_t** other);
int lt_tail_combine_nodel(dlist_t* lt, dlist_t* other); /* other is emptied, kept */
int lt_head_combine(dlist_t* lt, dlist_t** other);      /* not supported: -1 */
int lt_insert_list(dlist_t* lt, dlist_t** other, int loc);   /* loc <= 0 refused */
int lt_insert_list_before(dlist_t* lt, dlist_t** other, void* cur);
int lt_insert_list_after(dlist_t* lt, dlist_t** other, void* cur);

/* Removed items come back with both links cleared. */
void* lt_rm_head(dlist_t* lt);
void* lt_rm_tail(dlist_t* lt);
void* lt_delete(dlist_t* lt, int loc);
/* Only when the item's links show it on this list; otherwise NULL, no change. */
void* lt_delete_ptr(dlist_t* lt, void* item);
/* Unlinks a run of n items; the run stays chained and the caller walks it by
 * its length (its last item's next still names the item that followed). */
void* lt_delete_from_loc(dlist_t* lt, int from, int n);
void* lt_delete_from_node(dlist_t* lt, void* item, int n);

int   lt_num(dlist_t* lt);
void* lt_first(dlist_t* lt);
void* lt_last(dlist_t* lt);
void* lt_get(dlist_t* lt, int loc);
void* lt_value(dlist_t* lt, int loc);
void* lt_get_next(void* item);
void* lt_get_prev(void* item);
int   lt_index(dlist_t* lt, void* item); /* -1 when absent */

/* cmp(item, pattern) == 0 matches; a NULL cmp matches by pointer. */
void*  lt_search(dlist_t* lt, void* pattern, ArrCmp cmp);
arr_t* lt_search_all(dlist_t* lt, void* pattern, ArrCmp cmp); /* NULL when none */
arr_t* lt_convert_to_linear(dlist_t* lt);                     /* NULL when empty */
dlist_t* lt_new_from_linear(arr_t* arr);

#endif
