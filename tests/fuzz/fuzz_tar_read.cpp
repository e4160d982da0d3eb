// tar_read on arbitrary bytes: what it accepts lies inside the input, and
// writing it out and reading it back gives the same members in the same
// order (unless a name fills all 100 bytes, which the writer refuses).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "state/tar.h"

namespace {

struct Member {
    const uint8_t *key;
    uint64_t key_len;
    const uint8_t *value;
    uint64_t value_len;
};

struct Walk {
    const uint8_t *begin;
    const uint8_t *end;
    std::vector<Member> members;
    bool long_name;
};

int collect(const uint8_t *k, uint64_t kl, const uint8_t *v, uint64_t vl, void *ctx)
{
    Walk *w = static_cast<Walk *>(ctx);
    if (kl == 0 || kl > 100 || k < w->begin || kl > uint64_t(w->end - k) || v < w->begin || vl > uint64_t(w->end - v)) {
        abort();
    }
    w->long_name = w->long_name || kl == 100;
    w->members.push_back({k, kl, v, vl});
    return 0;
}

bool same(const Member &a, const Member &b)
{
    return a.key_len == b.key_len && a.value_len == b.value_len && memcmp(a.key, b.key, a.key_len) == 0 &&
           memcmp(a.value, b.value, a.value_len) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kv_map *m = tar_read(data, size);
    if (!m) {
        return 0;
    }
    Walk first = {data, data + size, {}, false};
    kv_map_for_each(m, collect, &first);

    size_t out_size = 0;
    uint8_t *out = tar_write(m, &out_size);
    if (!out != first.long_name) {
        abort();
    }
    if (out) {
        kv_map *again = tar_read(out, out_size);
        if (!again) {
            abort();
        }
        Walk second = {out, out + out_size, {}, false};
        kv_map_for_each(again, collect, &second);
        if (second.members.size() != first.members.size()) {
            abort();
        }
        for (size_t i = 0; i < first.members.size(); ++i) {
            if (!same(first.members[i], second.members[i])) {
                abort();
            }
        }
        kv_map_free(again);
        free(out);
    }
    kv_map_free(m);
    return 0;
}
