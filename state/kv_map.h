// Ordered map from byte-string keys to byte-string values. It borrows its
// keys and values: nothing is copied on insertion or freed on destruction.
#pragma once
#include <cstddef>
#include <cstdint>

struct kv_entry {
    uint64_t key_len;
    uint64_t value_len;
    const uint8_t *key;
    const uint8_t *value;
};

struct kv_node;

typedef int (*kv_compare_fn)(const kv_entry *a, const kv_entry *b);

struct kv_map {
    kv_node *root;
    kv_compare_fn compare;
};

typedef int (*kv_visit_fn)(const uint8_t *key, uint64_t key_len, const uint8_t *value, uint64_t value_len, void *ctx);

int kv_compare(const kv_entry *a, const kv_entry *b);

kv_map *kv_map_new(void);
void kv_map_free(kv_map *m);
// 0, or -1 when memory is exhausted (the map is then unchanged).
int kv_map_insert(kv_map *m, const void *key, uint64_t key_len, const void *value, uint64_t value_len);
// Null when absent; *value_len is then left as it was.
const uint8_t *kv_map_find(const kv_map *m, const void *key, uint64_t key_len, uint64_t *value_len);
// Ascending key order; stops at the first non-zero result and returns it.
int kv_map_for_each(const kv_map *m, kv_visit_fn fn, void *ctx);
