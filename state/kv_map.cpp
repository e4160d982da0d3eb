// AVL tree over borrowed byte strings. Nodes and entries are the only
// allocations; keys and values stay wherever the caller keeps them.
#include "kv_map.h"

#include <cstdlib>

struct kv_node {
    kv_node *parent;
    kv_node *left;
    kv_node *right;
    uint64_t height; // of the subtree rooted here; 1 for a leaf
    kv_entry *entry;
};

int kv_compare(const kv_entry *a, const kv_entry *b)
{
    // strncmp over the shorter length, then the shorter key first.
    uint64_t n = a->key_len < b->key_len ? a->key_len : b->key_len;
    for (uint64_t i = 0; i < n; ++i) {
        unsigned ca = a->key[i];
        unsigned cb = b->key[i];
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        if (ca == 0) {
            break;
        }
    }
    if (a->key_len == b->key_len) {
        return 0;
    }
    return a->key_len < b->key_len ? -1 : 1;
}

kv_map *kv_map_new(void)
{
    kv_map *m = static_cast<kv_map *>(malloc(sizeof(kv_map)));
    if (!m) {
        return nullptr;
    }
    m->root = nullptr;
    m->compare = kv_compare;
    return m;
}

void kv_map_free(kv_map *m)
{
    if (!m) {
        return;
    }
    // Post-order walk through the parent links: no recursion, no stack.
    kv_node *n = m->root;
    while (n) {
        if (n->left) {
            n = n->left;
        } else if (n->right) {
            n = n->right;
        } else {
            kv_node *parent = n->parent;
            if (parent) {
                if (parent->left == n) {
                    parent->left = nullptr;
                } else {
                    parent->right = nullptr;
                }
            }
            free(n->entry);
            free(n);
            n = parent;
        }
    }
    free(m);
}

static uint64_t height_of(const kv_node *n) { return n ? n->height : 0; }

static void update_height(kv_node *n)
{
    uint64_t l = height_of(n->left);
    uint64_t r = height_of(n->right);
    n->height = (l > r ? l : r) + 1;
}

// Puts `to` where `from` hung under its parent (or at the root).
static void replace_child(kv_map *m, kv_node *parent, kv_node *from, kv_node *to)
{
    if (!parent) {
        m->root = to;
    } else if (parent->left == from) {
        parent->left = to;
    } else {
        parent->right = to;
    }
    if (to) {
        to->parent = parent;
    }
}

static kv_node *rotate_left(kv_map *m, kv_node *x)
{
    kv_node *y = x->right;
    kv_node *parent = x->parent;
    x->right = y->left;
    if (y->left) {
        y->left->parent = x;
    }
    y->left = x;
    replace_child(m, parent, x, y);
    x->parent = y;
    update_height(x);
    update_height(y);
    return y;
}

static kv_node *rotate_right(kv_map *m, kv_node *x)
{
    kv_node *y = x->left;
    kv_node *parent = x->parent;
    x->left = y->right;
    if (y->right) {
        y->right->parent = x;
    }
    y->right = x;
    replace_child(m, parent, x, y);
    x->parent = y;
    update_height(x);
    update_height(y);
    return y;
}

// Restores balance at `n` after one insertion below it; returns the node
// that now roots that subtree.
static kv_node *rebalance(kv_map *m, kv_node *n)
{
    uint64_t l = height_of(n->left);
    uint64_t r = height_of(n->right);
    if (l > r + 1) {
        if (height_of(n->left->right) > height_of(n->left->left)) {
            rotate_left(m, n->left);
        }
        return rotate_right(m, n);
    }
    if (r > l + 1) {
        if (height_of(n->right->left) > height_of(n->right->right)) {
            rotate_right(m, n->right);
        }
        return rotate_left(m, n);
    }
    return n;
}

int kv_map_insert(kv_map *m, const void *key, uint64_t key_len, const void *value, uint64_t value_len)
{
    kv_entry *e = static_cast<kv_entry *>(malloc(sizeof(kv_entry)));
    if (!e) {
        return -1;
    }
    kv_node *node = static_cast<kv_node *>(malloc(sizeof(kv_node)));
    if (!node) {
        free(e);
        return -1;
    }
    e->key = static_cast<const uint8_t *>(key);
    e->key_len = key_len;
    e->value = static_cast<const uint8_t *>(value);
    e->value_len = value_len;
    node->left = nullptr;
    node->right = nullptr;
    node->height = 1;
    node->entry = e;

    // Equal keys go to the right, so they iterate in insertion order.
    kv_node *parent = nullptr;
    kv_node **link = &m->root;
    while (*link) {
        parent = *link;
        link = m->compare(e, parent->entry) < 0 ? &parent->left : &parent->right;
    }
    node->parent = parent;
    *link = node;

    for (kv_node *n = parent; n; n = n->parent) {
        update_height(n);
        n = rebalance(m, n);
    }
    return 0;
}

const uint8_t *kv_map_find(const kv_map *m, const void *key, uint64_t key_len, uint64_t *value_len)
{
    kv_entry probe;
    probe.key = static_cast<const uint8_t *>(key);
    probe.key_len = key_len;
    probe.value = nullptr;
    probe.value_len = 0;
    const kv_node *n = m->root;
    while (n) {
        int c = m->compare(&probe, n->entry);
        if (c == 0) {
            if (value_len) {
                *value_len = n->entry->value_len;
            }
            return n->entry->value;
        }
        n = c < 0 ? n->left : n->right;
    }
    return nullptr;
}

static const kv_node *leftmost(const kv_node *n)
{
    while (n && n->left) {
        n = n->left;
    }
    return n;
}

static const kv_node *successor(const kv_node *n)
{
    if (n->right) {
        return leftmost(n->right);
    }
    const kv_node *p = n->parent;
    while (p && p->right == n) {
        n = p;
        p = p->parent;
    }
    return p;
}

int kv_map_for_each(const kv_map *m, kv_visit_fn fn, void *ctx)
{
    const kv_node *n = leftmost(m->root);
    while (n) {
        // Found before the call, so the callback may look at the map freely.
        const kv_node *next = successor(n);
        const kv_entry *e = n->entry;
        int r = fn(e->key, e->key_len, e->value, e->value_len, ctx);
        if (r != 0) {
            return r;
        }
        n = next;
    }
    return 0;
}
