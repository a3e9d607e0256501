/* Red-black tree with duplicate keys; the epoll pumps keep their devices
 * by descriptor and their timers by expiry in such trees. */
#include "rbtree.h"

#include "memory.h"

#include <string.h>

namespace {

constexpr unsigned RED = 0;
constexpr unsigned BLACK = 1;

/* The object handed to the comparison and returned to callers. */
inline void* obj_of(const rbtree_t* t, rbtnode_t* n) { return t->alloc_node ? n->obj : n; }

inline bool is_black(const rbtnode_t* n) { return !n || n->color == BLACK; }
inline bool is_red(const rbtnode_t* n) { return n && n->color == RED; }

void rotate_left(rbtree_t* t, rbtnode_t* x)
{
    rbtnode_t* y = x->right;
    x->right = y->left;
    if (y->left) y->left->parent = x;
    y->parent = x->parent;
    if (!x->parent)
        t->root = y;
    else if (x == x->parent->left)
        x->parent->left = y;
    else
        x->parent->right = y;
    y->left = x;
    x->parent = y;
}

void rotate_right(rbtree_t* t, rbtnode_t* x)
{
    rbtnode_t* y = x->left;
    x->left = y->right;
    if (y->right) y->right->parent = x;
    y->parent = x->parent;
    if (!x->parent)
        t->root = y;
    else if (x == x->parent->right)
        x->parent->right = y;
    else
        x->parent->left = y;
    y->right = x;
    x->parent = y;
}

void insert_fixup(rbtree_t* t, rbtnode_t* z)
{
    while (is_red(z->parent)) {
        rbtnode_t* p = z->parent;
        rbtnode_t* g = p->parent; /* exists: a red parent is never the root */
        if (p == g->left) {
            rbtnode_t* u = g->right;
            if (is_red(u)) {
                p->color = BLACK;
                u->color = BLACK;
                g->color = RED;
                z = g;
                continue;
            }
            if (z == p->right) {
                rotate_left(t, p);
                z = p;
                p = z->parent;
            }
            p->color = BLACK;
            g->color = RED;
            rotate_right(t, g);
        } else {
            rbtnode_t* u = g->left;
            if (is_red(u)) {
                p->color = BLACK;
                u->color = BLACK;
                g->color = RED;
                z = g;
                continue;
            }
            if (z == p->left) {
                rotate_right(t, p);
                z = p;
                p = z->parent;
            }
            p->color = BLACK;
            g->color = RED;
            rotate_left(t, g);
        }
    }
    t->root->color = BLACK;
}

void transplant(rbtree_t* t, rbtnode_t* u, rbtnode_t* v)
{
    if (!u->parent)
        t->root = v;
    else if (u == u->parent->left)
        u->parent->left = v;
    else
        u->parent->right = v;
    if (v) v->parent = u->parent;
}

/* x may be NULL (a black leaf), so its parent travels alongside. */
void delete_fixup(rbtree_t* t, rbtnode_t* x, rbtnode_t* xp)
{
    while (x != t->root && is_black(x)) {
        if (x == xp->left) {
            rbtnode_t* w = xp->right;
            if (is_red(w)) {
                w->color = BLACK;
                xp->color = RED;
                rotate_left(t, xp);
                w = xp->right;
            }
            if (is_black(w->left) && is_black(w->right)) {
                w->color = RED;
                x = xp;
                xp = x->parent;
            } else {
                if (is_black(w->right)) {
                    w->left->color = BLACK;
                    w->color = RED;
                    rotate_right(t, w);
                    w = xp->right;
                }
                w->color = xp->color;
                xp->color = BLACK;
                w->right->color = BLACK;
                rotate_left(t, xp);
                x = t->root;
                xp = nullptr;
            }
        } else {
            rbtnode_t* w = xp->left;
            if (is_red(w)) {
                w->color = BLACK;
                xp->color = RED;
                rotate_right(t, xp);
                w = xp->left;
            }
            if (is_black(w->left) && is_black(w->right)) {
                w->color = RED;
                x = xp;
                xp = x->parent;
            } else {
                if (is_black(w->left)) {
                    w->right->color = BLACK;
                    w->color = RED;
                    rotate_left(t, w);
                    w = xp->left;
                }
                w->color = xp->color;
                xp->color = BLACK;
                w->left->color = BLACK;
                rotate_right(t, xp);
                x = t->root;
                xp = nullptr;
            }
        }
    }
    if (x) x->color = BLACK;
}

/* Unlinks a node known to be in the tree; the caller releases it. */
void unlink_node(rbtree_t* t, rbtnode_t* z)
{
    rbtnode_t* x;
    rbtnode_t* xp;
    unsigned removed_color = z->color;

    if (!z->left) {
        x = z->right;
        xp = z->parent;
        transplant(t, z, z->right);
    } else if (!z->right) {
        x = z->left;
        xp = z->parent;
        transplant(t, z, z->left);
    } else {
        /* The successor takes z's place and colour; its old spot is vacated. */
        rbtnode_t* y = rbtnode_min(z->right);
        removed_color = y->color;
        x = y->right;
        if (y->parent == z) {
            xp = y;
        } else {
            xp = y->parent;
            transplant(t, y, y->right);
            y->right = z->right;
            y->right->parent = y;
        }
        transplant(t, z, y);
        y->left = z->left;
        y->left->parent = y;
        y->color = z->color;
    }
    t->num--;
    if (removed_color == BLACK) delete_fixup(t, x, xp);

    z->left = z->right = z->parent = nullptr;
    z->color = 0;
    z->depth = 0;
    z->width = 0;
}

/* Unlinks a node of this tree, releases it when the tree made it, and
 * returns its object (tree nodes) or the node itself. */
void* take_out(rbtree_t* t, rbtnode_t* n)
{
    unlink_node(t, n);
    void* obj = obj_of(t, n);
    if (t->alloc_node) kfree(n);
    return obj;
}

/* Every node equal to `key`: the one the search meets first, then its equal
 * predecessors walking back, then its equal successors; `keep` sees each. */
template <typename Keep>
int each_equal(rbtree_t* t, void* key, Keep&& keep)
{
    rbtnode_t* first = rbtree_get_node(t, key);
    if (!first) return 0;
    int count = 0;
    keep(first, count++);
    for (rbtnode_t* p = rbtnode_prev(first); p && t->cmp(obj_of(t, p), key) == 0; p = rbtnode_prev(p))
        keep(p, count++);
    for (rbtnode_t* p = rbtnode_next(first); p && t->cmp(obj_of(t, p), key) == 0; p = rbtnode_next(p))
        keep(p, count++);
    return count;
}

/* A tree is at most about 2*log2(n) deep; anything longer is not a tree of ours. */
constexpr int MAX_CLIMB = 128;

void release_subtree(rbtree_t* t, rbtnode_t* n, rbtfree_t freefunc)
{
    if (!n) return;
    release_subtree(t, n->left, freefunc);
    release_subtree(t, n->right, freefunc);
    if (t->alloc_node) {
        if (freefunc) freefunc(n->obj);
        kfree(n);
    } else if (freefunc) {
        freefunc(n);
    }
}

struct Walk {
    rbtree_t* t;
    rbtcb_t   cb;
    void*     para;
    int       index;
};

void visit(Walk& w, rbtnode_t* n)
{
    if (w.cb) {
        if (w.t->alloc_node)
            w.cb(w.para, n->key, n->obj, w.index);
        else
            w.cb(w.para, n, n, w.index);
    }
    w.index++;
}

enum class Order { Pre, In, Post };

void walk(Walk& w, rbtnode_t* n, Order o)
{
    if (!n) return;
    if (o == Order::Pre) visit(w, n);
    walk(w, n->left, o);
    if (o == Order::In) visit(w, n);
    walk(w, n->right, o);
    if (o == Order::Post) visit(w, n);
}

int walk_tree(rbtree_t* t, rbtcb_t cb, void* cbpara, Order o)
{
    if (!t) return -1;
    Walk w{t, cb, cbpara, 0};
    walk(w, t->root, o);
    return w.index;
}

void dimen(rbtree_t* t, rbtnode_t* n, int depth, int width)
{
    if (!n) return;
    n->depth = (uint32_t)depth & 0x1F;
    n->width = (uint32_t)width & 0x3FFFFFF;
    if (depth > t->depth) t->depth = depth;
    if (depth < 32) t->layer[depth]++;
    if (width > t->rwidth) t->rwidth = width;
    if (width < t->lwidth) t->lwidth = width;
    dimen(t, n->left, depth + 1, width - 1);
    dimen(t, n->right, depth + 1, width + 1);
}

void clear_dimen(rbtree_t* t)
{
    t->depth = 0;
    memset(t->layer, 0, sizeof(t->layer));
    t->lwidth = 0;
    t->rwidth = 0;
}

} // namespace

rbtree_t* rbtree_new(rbtcmp_t cmp, int alloc_node)
{
    if (!cmp) return nullptr;
    auto* t = static_cast<rbtree_t*>(kzalloc(sizeof(rbtree_t)));
    if (!t) return nullptr;
    t->cmp = cmp;
    t->alloc_node = alloc_node ? 1 : 0;
    return t;
}

void rbtree_free(rbtree_t* tree)
{
    if (!tree) return;
    if (tree->alloc_node) release_subtree(tree, tree->root, nullptr);
    kfree(tree);
}

void rbtree_free_all(rbtree_t* tree, rbtfree_t freefunc)
{
    if (!tree) return;
    release_subtree(tree, tree->root, freefunc);
    kfree(tree);
}

void rbtree_zero(rbtree_t* tree)
{
    if (!tree) return;
    if (tree->alloc_node) release_subtree(tree, tree->root, nullptr);
    tree->root = nullptr;
    tree->num = 0;
    clear_dimen(tree);
}

int rbtree_num(rbtree_t* tree) { return tree ? tree->num : 0; }

int rbtree_insert(rbtree_t* tree, void* key, void* obj, rbtnode_t** pnode)
{
    if (!tree || !key || !obj) return -1;

    rbtnode_t* parent = nullptr;
    rbtnode_t* cur = tree->root;
    bool go_left = true;
    while (cur) {
        void* a = obj_of(tree, cur);
        int r = tree->cmp(a, key);
        if (r == 0 && a == obj) {
            if (pnode) *pnode = cur;
            return 0;
        }
        parent = cur;
        /* Equal keys go left, so the new node precedes its equals. */
        go_left = r >= 0;
        cur = go_left ? cur->left : cur->right;
    }

    rbtnode_t* n;
    if (tree->alloc_node) {
        n = static_cast<rbtnode_t*>(kzalloc(sizeof(rbtnode_t)));
        if (!n) return -100;
        n->key = key;
        n->obj = obj;
    } else {
        n = static_cast<rbtnode_t*>(obj);
        n->left = n->right = nullptr;
        n->depth = 0;
        n->width = 0;
    }
    n->color = RED;
    n->parent = parent;
    if (!parent)
        tree->root = n;
    else if (go_left)
        parent->left = n;
    else
        parent->right = n;
    tree->num++;
    insert_fixup(tree, n);
    if (pnode) *pnode = n;
    return 1;
}

rbtnode_t* rbtree_get_node(rbtree_t* tree, void* key)
{
    if (!tree || !key) return nullptr;
    rbtnode_t* n = tree->root;
    while (n) {
        int r = tree->cmp(obj_of(tree, n), key);
        if (r == 0) return n;
        n = r < 0 ? n->right : n->left;
    }
    return nullptr;
}

void* rbtree_get(rbtree_t* tree, void* key)
{
    rbtnode_t* n = rbtree_get_node(tree, key);
    return n ? obj_of(tree, n) : nullptr;
}

int rbtree_mget_node(rbtree_t* tree, void* key, rbtnode_t** list, int listsize)
{
    if (!tree || !key) return -1;
    if (!list) listsize = 0;
    return each_equal(tree, key, [&](rbtnode_t* n, int i) {
        if (i < listsize) list[i] = n;
    });
}

int rbtree_mget(rbtree_t* tree, void* key, void** list, int listsize)
{
    if (!tree || !key) return -1;
    if (!list) listsize = 0;
    return each_equal(tree, key, [&](rbtnode_t* n, int i) {
        if (i < listsize) list[i] = obj_of(tree, n);
    });
}

rbtnode_t* rbtnode_min(rbtnode_t* node)
{
    if (!node) return nullptr;
    while (node->left) node = node->left;
    return node;
}

rbtnode_t* rbtnode_max(rbtnode_t* node)
{
    if (!node) return nullptr;
    while (node->right) node = node->right;
    return node;
}

rbtnode_t* rbtnode_next(rbtnode_t* node)
{
    if (!node) return nullptr;
    if (node->right) return rbtnode_min(node->right);
    rbtnode_t* p = node->parent;
    while (p && node == p->right) {
        node = p;
        p = p->parent;
    }
    return p;
}

rbtnode_t* rbtnode_prev(rbtnode_t* node)
{
    if (!node) return nullptr;
    if (node->left) return rbtnode_max(node->left);
    rbtnode_t* p = node->parent;
    while (p && node == p->left) {
        node = p;
        p = p->parent;
    }
    return p;
}

rbtnode_t* rbtnode_get(rbtnode_t* node, void* key, rbtcmp_t cmp)
{
    if (!cmp) return nullptr;
    while (node) {
        int r = cmp(node, key);
        if (r == 0) return node;
        node = r < 0 ? node->right : node->left;
    }
    return nullptr;
}

rbtnode_t* rbtree_min_node(rbtree_t* tree) { return tree ? rbtnode_min(tree->root) : nullptr; }
rbtnode_t* rbtree_max_node(rbtree_t* tree) { return tree ? rbtnode_max(tree->root) : nullptr; }

void* rbtree_min(rbtree_t* tree)
{
    rbtnode_t* n = rbtree_min_node(tree);
    return n ? obj_of(tree, n) : nullptr;
}

void* rbtree_max(rbtree_t* tree)
{
    rbtnode_t* n = rbtree_max_node(tree);
    return n ? obj_of(tree, n) : nullptr;
}

int rbtree_delete_node(rbtree_t* tree, rbtnode_t* node)
{
    if (!tree || !node) return -1;
    /* Climb to the top checking each link, so a node of another tree (or a
     * stale one) is refused instead of corrupting both trees. */
    rbtnode_t* n = node;
    for (int steps = 0; n->parent; steps++) {
        rbtnode_t* p = n->parent;
        if ((p->left != n && p->right != n) || steps > MAX_CLIMB) return -101;
        n = p;
    }
    if (n != tree->root || !tree->root) return -100;

    take_out(tree, node);
    return 1;
}

void* rbtree_delete(rbtree_t* tree, void* key)
{
    rbtnode_t* n = rbtree_get_node(tree, key);
    if (!n) return nullptr;
    void* obj = obj_of(tree, n);
    return rbtree_delete_node(tree, n) == 1 ? obj : nullptr;
}

int rbtree_mdelete(rbtree_t* tree, void* key, void** list, int listnum)
{
    if (!tree || !key) return -1;
    if (!list) listnum = 0;
    int count = 0;
    rbtnode_t* n;
    while ((n = rbtree_get_node(tree, key)) != nullptr) {
        void* obj = take_out(tree, n);
        if (count < listnum) list[count] = obj;
        count++;
    }
    return count;
}

void* rbtree_delete_min(rbtree_t* tree)
{
    rbtnode_t* n = rbtree_min_node(tree);
    return n ? take_out(tree, n) : nullptr;
}

void* rbtree_delete_max(rbtree_t* tree)
{
    rbtnode_t* n = rbtree_max_node(tree);
    return n ? take_out(tree, n) : nullptr;
}

int rbtree_preorder(rbtree_t* tree, rbtcb_t cb, void* cbpara) { return walk_tree(tree, cb, cbpara, Order::Pre); }
int rbtree_inorder(rbtree_t* tree, rbtcb_t cb, void* cbpara) { return walk_tree(tree, cb, cbpara, Order::In); }
int rbtree_postorder(rbtree_t* tree, rbtcb_t cb, void* cbpara) { return walk_tree(tree, cb, cbpara, Order::Post); }

void rbtree_set_dimen(rbtree_t* tree)
{
    if (!tree) return;
    clear_dimen(tree);
    dimen(tree, tree->root, 0, 0);
}
