/* Chained hash table of value pointers, and the library's byte-string hashes.
 *
 * The table stores only the caller's values; the key is whatever the hash and
 * comparison functions derive from a value. A key is stored at most once (the
 * first value stays), the bucket count is fixed at creation and the table
 * never rehashes, so callers size it for their population. No lock inside.
 * Values are released only through the caller's function in the _all,
 * _member and _pattern operations. */
#ifndef KORVID_HASHTAB_H
#define KORVID_HASHTAB_H

#include "dynarr.h"

#include <stdint.h>
#include <stdio.h>

/* A counted string pointing into someone else's text. */
typedef struct ckstr_s {
    char* p;   /* first byte */
    int   len; /* length; < 0 means up to the terminating NUL */
} ckstr_t;

typedef unsigned long (*HashFunc)(void* key);
/* 0 when `value` belongs to `key`; the stored value always comes first. */
typedef int (*HashCmp)(void* value, void* key);
typedef void (*HashFreeFunc)(void* value);
typedef void (*HashVisit)(void* usr, void* value);

/* One bucket: empty (count 0), one value held directly in dptr (count 1),
 * or an arr_t of `count` values (count > 1). */
typedef struct hash_node {
    int32_t count;
    void*   dptr;
} hashnode_t;

typedef struct HashTab_ {
    int         len;           /* buckets */
    int         num_requested; /* the size asked for */
    int         num;           /* values stored */
    int         linear;        /* 1: nodelist keeps the values in insertion order */
    arr_t*      nodelist;
    hashnode_t* ptab;
    HashFunc    hashFunc;
    HashCmp     cmp;
} hashtab_t;

/* Buckets: the first odd number >= num with no odd divisor up to its square
 * root (4096 -> 4099). The default hash is hash_string. */
hashtab_t* ht_only_new(int num, HashCmp cmp);
hashtab_t* ht_new(int num, HashCmp cmp); /* with an insertion-order list */
void       ht_set_hash_func(hashtab_t* ht, HashFunc f);
void       ht_set_generic_hash(hashtab_t* ht); /* case-sensitive hash_key */

/* 1 or the bucket's new count when stored (also 1 when a one-value bucket
 * already holds the key), 0 when an array bucket already holds the key,
 * -1 for a null table, key or value, or when memory runs out. */
int   ht_set(hashtab_t* ht, void* key, void* value);
void* ht_get(hashtab_t* ht, void* key);
void* ht_delete(hashtab_t* ht, void* key);
void  ht_delete_pattern(hashtab_t* ht, void* pattern, HashCmp cmp2, HashFreeFunc freefunc);
int   ht_num(hashtab_t* ht);
void* ht_value(hashtab_t* ht, int i); /* insertion order when linear, else bucket order */
int   ht_sort(hashtab_t* ht, ArrCmp cmp2); /* sorts the insertion list (slot pointers) */
void  ht_traverse(hashtab_t* ht, void* usr, HashVisit check);
void  ht_zero(hashtab_t* ht);
void  ht_free(hashtab_t* ht);
void  ht_free_all(hashtab_t* ht, HashFreeFunc freefunc);
void  ht_free_member(hashtab_t* ht, HashFreeFunc freefunc);
void  print_hashtab(hashtab_t* ht, FILE* fp);

/* Byte-string hashes. Folding ones treat 'A'..'Z' as lower case. A NULL key
 * or an empty one returns the start value; a len below 0 means strlen. */
unsigned long hash_key(void* str);    /* NUL-terminated, case-sensitive */
unsigned long hash_string(void* str); /* NUL-terminated, folded */
unsigned long generic_hash(const void* key, int len, unsigned long seed);
unsigned long string_hash(const void* key, int len, unsigned long seed); /* folded */
unsigned long ckstr_generic_hash(void* ck); /* ck is a ckstr_t* */
unsigned long ckstr_string_hash(void* ck);  /* folded */
unsigned long fake_hash(const void* key, int len, unsigned long seed);
uint32_t      murmur_hash2(const void* key, int len, uint32_t seed);
uint64_t      murmur_hash2_64(const void* key, int len, uint64_t seed);

/* For tables keyed by a 64-bit integer (thread ids, worker ids): `key` points
 * to the integer and exactly its 8 bytes are hashed (generic_hash, length 8).
 * A string hash would read such a key up to the first zero byte, which may
 * lie past the integer. Set it with ht_set_hash_func(ht, hash_int64_key). */
unsigned long hash_int64_key(void* key);

#endif
