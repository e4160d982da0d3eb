#include "blob_reader.h"

#include "state/state_doc.h"

#include <cstdlib>
#include <cstring>

namespace {

int collect(const uint8_t *key, uint64_t key_len, const uint8_t *value, uint64_t value_len, void *ctx)
{
    auto *m = static_cast<std::map<std::string, std::string> *>(ctx);
    (*m)[std::string(reinterpret_cast<const char *>(key), key_len)] =
        std::string(reinterpret_cast<const char *>(value), value_len);
    return 0;
}

void sink_nothing(void *) {}
void sink_set(void *ctx, uint64_t index, float v)
{
    auto *b = static_cast<BlobContents *>(ctx);
    if (index < 3)
        b->values[index] = v;
}

} // namespace

BlobContents blob_reader(const std::vector<uint8_t> &blob)
{
    BlobContents b;
    state_sink sink{&b, sink_nothing, sink_nothing, sink_set};
    if (state_load(&sink, blob.data(), blob.size()) != 0)
        return b;
    state_doc doc{};
    if (state_doc_read(&doc, blob.data(), blob.size()) != 0)
        return b;
    kv_map_for_each(doc.info, collect, &b.info);
    kv_map_for_each(doc.parameters, collect, &b.parameters);
    b.version = doc.version ? doc.version : "";
    state_doc_destroy(&doc);
    b.ok = true;
    return b;
}

float blob_sample_rate(const BlobContents &b)
{
    auto it = b.info.find("sample_rate");
    float r = -1.0f;
    if (it != b.info.end() && it->second.size() == 4)
        std::memcpy(&r, it->second.data(), 4); // little-endian on both targets
    return r;
}

std::vector<uint8_t> blob_with_foreign_id(const std::vector<uint8_t> &blob)
{
    std::vector<uint8_t> r = blob;
    const char id[] = "vornic-zfen";
    for (size_t i = 0; i + sizeof id - 1 <= r.size(); ++i) {
        if (std::memcmp(r.data() + i, id, sizeof id - 1) == 0) {
            r[i + sizeof id - 2] = 'x'; // "vornic-zfex": same length, other plug-in
            break;
        }
    }
    return r;
}

std::vector<uint8_t> blob_make(float sample_rate, float cutoff, float lfo_amt, float lfo_speed)
{
    size_t size = 0;
    uint8_t *p = state_save("vst3", sample_rate, cutoff, lfo_amt, lfo_speed, &size);
    std::vector<uint8_t> r;
    if (p)
        r.assign(p, p + size);
    std::free(p);
    return r;
}
