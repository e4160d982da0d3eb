// map_records_read on arbitrary bytes: accepted records have non-empty keys
// inside the input, and writing them back gives records of the same total
// length that read again.
#include <cstdlib>

#include "state/state_doc.h"

namespace {

struct Bounds {
    const uint8_t *begin;
    const uint8_t *end;
};

int inside(const uint8_t *k, uint64_t kl, const uint8_t *v, uint64_t vl, void *ctx)
{
    const Bounds *b = static_cast<const Bounds *>(ctx);
    if (kl == 0 || k < b->begin || kl > uint64_t(b->end - k) || v != k + kl || vl > uint64_t(b->end - v)) {
        abort();
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kv_map *m = map_records_read(data, size);
    if (!m) {
        return 0;
    }
    Bounds b = {data, data + size};
    kv_map_for_each(m, inside, &b);

    size_t out_size = 0;
    uint8_t *out = map_records_write(m, &out_size);
    if (!out != (size == 0)) {
        abort(); // only an empty map has no records
    }
    if (out) {
        kv_map *again = map_records_read(out, out_size);
        if (out_size != size || !again) {
            abort();
        }
        kv_map_free(again);
        free(out);
    }
    kv_map_free(m);
    return 0;
}
