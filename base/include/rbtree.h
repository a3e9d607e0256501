/* Red-black tree ordered by a caller's comparison, duplicate keys allowed.
 *
 * Two node modes, chosen at creation:
 *   alloc_node = 1: the tree allocates a node {key, obj} per insertion;
 *   alloc_node = 0: the caller's objects are the nodes (each such object
 *                   begins with an rbtnode_t) and the tree only links them.
 * A new node is placed before every node of an equal key, so among equal
 * keys the most recently inserted comes first in order (timer queues rely
 * on this). No lock: the owner serialises all use. */
#ifndef KORVID_RBTREE_H
#define KORVID_RBTREE_H

#include <stdint.h>

typedef struct RBTNode {
    struct RBTNode* left;
    struct RBTNode* right;
    struct RBTNode* parent;
    uint32_t color : 1;  /* 1 black, 0 red */
    uint32_t depth : 5;  /* level modulo 32, set by rbtree_set_dimen */
    uint32_t width : 26; /* horizontal position, 26-bit two's complement */
    void* key;           /* caller-node mode: owned by the caller's layout */
    void* obj;
} rbtnode_t;

/* `a` is the stored node's obj (tree nodes) or the node itself (caller nodes).
 * Negative: `a` sorts before `key`; positive: after; 0: equal. */
typedef int (*rbtcmp_t)(void* a, void* key);

/* Traversal callback: (cbpara, key, obj, index) with tree nodes,
 * (cbpara, node, node, index) with caller nodes; index counts from 0. */
typedef void (*rbtcb_t)(void* cbpara, void* key, void* obj, int index);
typedef void (*rbtfree_t)(void* p);

typedef struct RBTree {
    rbtnode_t* root;
    int        num;
    rbtcmp_t   cmp;
    int        alloc_node;
    /* filled by rbtree_set_dimen, for laying the tree out on screen */
    int        depth;
    int        layer[32];
    int        lwidth;
    int        rwidth;
} rbtree_t;

rbtree_t* rbtree_new(rbtcmp_t cmp, int alloc_node);
void      rbtree_free(rbtree_t* tree);
void      rbtree_free_all(rbtree_t* tree, rbtfree_t freefunc);
void      rbtree_zero(rbtree_t* tree);
int       rbtree_num(rbtree_t* tree);

/* 1 inserted; 0 the same obj/node is already stored under an equal key
 * (*pnode gets that node); -1 null tree, key or obj; -100 out of memory. */
int rbtree_insert(rbtree_t* tree, void* key, void* obj, rbtnode_t** pnode);

rbtnode_t* rbtree_get_node(rbtree_t* tree, void* key);
void*      rbtree_get(rbtree_t* tree, void* key);
/* Stores up to listsize equal nodes/objects; returns how many exist. */
int        rbtree_mget_node(rbtree_t* tree, void* key, rbtnode_t** list, int listsize);
int        rbtree_mget(rbtree_t* tree, void* key, void** list, int listsize);

rbtnode_t* rbtree_min_node(rbtree_t* tree);
rbtnode_t* rbtree_max_node(rbtree_t* tree);
void*      rbtree_min(rbtree_t* tree);
void*      rbtree_max(rbtree_t* tree);

rbtnode_t* rbtnode_min(rbtnode_t* node);
rbtnode_t* rbtnode_max(rbtnode_t* node);
rbtnode_t* rbtnode_next(rbtnode_t* node);
rbtnode_t* rbtnode_prev(rbtnode_t* node);
rbtnode_t* rbtnode_get(rbtnode_t* node, void* key, rbtcmp_t cmp);

/* 1 on success; -1 null argument; -101 the parent does not link the node;
 * -100 the node has no parent and is not the root. */
int   rbtree_delete_node(rbtree_t* tree, rbtnode_t* node);
void* rbtree_delete(rbtree_t* tree, void* key);
int   rbtree_mdelete(rbtree_t* tree, void* key, void** list, int listnum);
void* rbtree_delete_min(rbtree_t* tree);
void* rbtree_delete_max(rbtree_t* tree);

int rbtree_preorder(rbtree_t* tree, rbtcb_t cb, void* cbpara);
int rbtree_inorder(rbtree_t* tree, rbtcb_t cb, void* cbpara);
int rbtree_postorder(rbtree_t* tree, rbtcb_t cb, void* cbpara);

void rbtree_set_dimen(rbtree_t* tree);

#endif
