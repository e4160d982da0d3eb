// The saved state document: an outer archive holding "dsp.tar", an inner
// archive of "version", "info.map" and "parameters.map". Numbers are stored
// little-endian byte by byte so blobs move between machines unchanged.
#include "state_doc.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/float_bits.h"
#include "core/parameters.h"
#include "tar.h"
#include "zfen_product.h"

const char k_plugin_id[] = ZFEN_PLUGIN_ID;

namespace {

const char k_member_outer[] = "dsp.tar";
const char k_member_version[] = "version";
const char k_member_info[] = "info.map";
const char k_member_params[] = "parameters.map";
const char k_version_text[] = "1.0";
// What the binary was built for; readers ignore it.
#if defined(_WIN32)
const char k_platform[] = "windows";
#else
const char k_platform[] = "linux";
#endif

constexpr uint64_t k_u32_max = 0xffffffffu;

void put_u32le(uint8_t *dst, uint32_t v)
{
    dst[0] = uint8_t(v);
    dst[1] = uint8_t(v >> 8);
    dst[2] = uint8_t(v >> 16);
    dst[3] = uint8_t(v >> 24);
}

uint32_t get_u32le(const uint8_t *src)
{
    return uint32_t(src[0]) | uint32_t(src[1]) << 8 | uint32_t(src[2]) << 16 | uint32_t(src[3]) << 24;
}

void put_f32le(uint8_t *dst, float v) { put_u32le(dst, float_bits(v)); }

int insert_text(kv_map *m, const char *key, const void *value, uint64_t value_len)
{
    return kv_map_insert(m, key, strlen(key), value, value_len);
}

const uint8_t *find_text(const kv_map *m, const char *key, uint64_t *value_len)
{
    return kv_map_find(m, key, strlen(key), value_len);
}

bool key_is(const uint8_t *key, uint64_t key_len, const char *name)
{
    size_t n = strlen(name);
    return key_len == n && memcmp(key, name, n) == 0;
}

int copy_entry(const uint8_t *key, uint64_t key_len, const uint8_t *value, uint64_t value_len, void *ctx)
{
    return kv_map_insert(static_cast<kv_map *>(ctx), key, key_len, value, value_len);
}

struct RecordWalk {
    uint8_t *buf;
    size_t size;
};

int append_record(const uint8_t *key, uint64_t key_len, const uint8_t *value, uint64_t value_len, void *ctx)
{
    RecordWalk *w = static_cast<RecordWalk *>(ctx);
    // A record the reader would refuse, or whose lengths would be cut to 32
    // bits, is not written at all.
    if (key_len == 0 || key_len > k_u32_max || value_len > k_u32_max) {
        return 1;
    }
    uint64_t rec = 8 + key_len + value_len;
    if (rec > SIZE_MAX - w->size) {
        return 1;
    }
    uint8_t *grown = static_cast<uint8_t *>(realloc(w->buf, w->size + size_t(rec)));
    if (!grown) {
        return 1;
    }
    w->buf = grown;
    uint8_t *r = grown + w->size;
    put_u32le(r, uint32_t(key_len));
    put_u32le(r + 4, uint32_t(value_len));
    memcpy(r + 8, key, size_t(key_len));
    if (value_len) {
        memcpy(r + 8 + key_len, value, size_t(value_len));
    }
    w->size += size_t(rec);
    return 0;
}

struct ExtrasWalk {
    kv_map *dst;
    const char *const *skip;
    size_t skip_count;
};

int copy_unknown(const uint8_t *key, uint64_t key_len, const uint8_t *value, uint64_t value_len, void *ctx)
{
    ExtrasWalk *w = static_cast<ExtrasWalk *>(ctx);
    for (size_t i = 0; i < w->skip_count; ++i) {
        if (key_is(key, key_len, w->skip[i])) {
            return 0;
        }
    }
    return kv_map_insert(w->dst, key, key_len, value, value_len);
}

bool is_space(uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool version_ok(const uint8_t *v, uint64_t len)
{
    if (!v || len < 3 || memcmp(v, k_version_text, 3) != 0) {
        return false;
    }
    for (uint64_t i = 3; i < len; ++i) {
        if (!is_space(v[i])) {
            return false;
        }
    }
    return true;
}

// A value of exactly four bytes that is a float other than NaN.
bool read_param(const kv_map *params, const char *key, float *out)
{
    uint64_t len = 0;
    const uint8_t *v = find_text(params, key, &len);
    if (!v || len != 4) {
        return false;
    }
    uint32_t bits = get_u32le(v);
    if ((bits & 0x7f800000u) == 0x7f800000u && (bits & 0x007fffffu) != 0) {
        return false;
    }
    *out = float_from_bits(bits);
    return true;
}

void clear_doc(state_doc *doc)
{
    doc->version = nullptr;
    doc->info = nullptr;
    doc->parameters = nullptr;
    doc->inner_extras = nullptr;
    doc->outer_extras = nullptr;
}

} // namespace

int state_doc_init(state_doc *doc)
{
    clear_doc(doc);
    doc->info = kv_map_new();
    doc->parameters = kv_map_new();
    doc->inner_extras = kv_map_new();
    doc->outer_extras = kv_map_new();
    if (!doc->info || !doc->parameters || !doc->inner_extras || !doc->outer_extras) {
        state_doc_destroy(doc);
        return -1;
    }
    return 0;
}

void state_doc_destroy(state_doc *doc)
{
    kv_map_free(doc->info);
    kv_map_free(doc->parameters);
    kv_map_free(doc->inner_extras);
    kv_map_free(doc->outer_extras);
    clear_doc(doc);
}

uint8_t *map_records_write(const kv_map *m, size_t *size)
{
    RecordWalk w = {nullptr, 0};
    if (kv_map_for_each(m, append_record, &w) != 0) {
        free(w.buf);
        return nullptr;
    }
    if (!w.buf) {
        return nullptr; // an empty map has no records
    }
    *size = w.size;
    return w.buf;
}

kv_map *map_records_read(const uint8_t *data, size_t len)
{
    if (!data && len) {
        errno = EINVAL;
        return nullptr;
    }
    kv_map *m = kv_map_new();
    if (!m) {
        errno = ENOMEM;
        return nullptr;
    }
    int err = 0;
    size_t off = 0;
    while (off < len) {
        size_t left = len - off;
        if (left < 8) {
            err = EINVAL;
            break;
        }
        uint64_t key_len = get_u32le(data + off);
        uint64_t value_len = get_u32le(data + off + 4);
        if (key_len == 0 || key_len + value_len > left - 8) {
            err = EINVAL;
            break;
        }
        const uint8_t *key = data + off + 8;
        if (kv_map_insert(m, key, key_len, key + key_len, value_len) != 0) {
            err = ENOMEM;
            break;
        }
        off += 8 + size_t(key_len + value_len);
    }
    if (err) {
        kv_map_free(m);
        errno = err;
        return nullptr;
    }
    return m;
}

uint8_t *state_doc_write(const state_doc *doc, size_t *size)
{
    uint8_t *info_buf = nullptr;
    uint8_t *params_buf = nullptr;
    uint8_t *inner_buf = nullptr;
    uint8_t *blob = nullptr;
    size_t info_size = 0, params_size = 0, inner_size = 0, blob_size = 0;
    kv_map *inner = nullptr;
    kv_map *outer = nullptr;

    info_buf = map_records_write(doc->info, &info_size);
    params_buf = map_records_write(doc->parameters, &params_size);
    inner = kv_map_new();
    if (info_buf && params_buf && inner && insert_text(inner, k_member_version, k_version_text, 3) == 0 &&
        insert_text(inner, k_member_info, info_buf, info_size) == 0 &&
        insert_text(inner, k_member_params, params_buf, params_size) == 0 &&
        kv_map_for_each(doc->inner_extras, copy_entry, inner) == 0) {
        inner_buf = tar_write(inner, &inner_size);
    }
    kv_map_free(inner);
    free(info_buf);
    free(params_buf);

    if (inner_buf) {
        outer = kv_map_new();
        if (outer && insert_text(outer, k_member_outer, inner_buf, inner_size) == 0 &&
            kv_map_for_each(doc->outer_extras, copy_entry, outer) == 0) {
            blob = tar_write(outer, &blob_size);
        }
        kv_map_free(outer);
        free(inner_buf);
    }
    if (blob) {
        *size = blob_size;
    }
    return blob;
}

// Fills doc from the blob; 0 or the errno code. The member maps are handed
// back for the caller to free whatever happened.
static int read_members(state_doc *doc, const uint8_t *blob, size_t len, kv_map **outer, kv_map **inner)
{
    *outer = tar_read(blob, len);
    if (!*outer) {
        return errno;
    }
    uint64_t vlen = 0;
    const uint8_t *v = find_text(*outer, k_member_outer, &vlen);
    if (!v) {
        return EINVAL;
    }
    *inner = tar_read(v, size_t(vlen));
    if (!*inner) {
        return errno;
    }
    v = find_text(*inner, k_member_version, &vlen);
    if (!version_ok(v, vlen)) {
        return EINVAL;
    }
    v = find_text(*inner, k_member_info, &vlen);
    if (!v) {
        return EINVAL;
    }
    doc->info = map_records_read(v, size_t(vlen));
    if (!doc->info) {
        return errno;
    }
    v = find_text(*inner, k_member_params, &vlen);
    if (!v) {
        return EINVAL;
    }
    doc->parameters = map_records_read(v, size_t(vlen));
    if (!doc->parameters) {
        return errno;
    }
    static const char *const inner_known[] = {k_member_version, k_member_info, k_member_params};
    static const char *const outer_known[] = {k_member_outer};
    doc->inner_extras = kv_map_new();
    doc->outer_extras = kv_map_new();
    if (!doc->inner_extras || !doc->outer_extras) {
        return ENOMEM;
    }
    ExtrasWalk wi = {doc->inner_extras, inner_known, 3};
    ExtrasWalk wo = {doc->outer_extras, outer_known, 1};
    if (kv_map_for_each(*inner, copy_unknown, &wi) != 0 || kv_map_for_each(*outer, copy_unknown, &wo) != 0) {
        return ENOMEM;
    }
    doc->version = k_version_text;
    return 0;
}

int state_doc_read(state_doc *doc, const uint8_t *blob, size_t len)
{
    clear_doc(doc);
    kv_map *outer = nullptr;
    kv_map *inner = nullptr;
    int err = read_members(doc, blob, len, &outer, &inner);
    // The document's maps point into the blob, not into these.
    kv_map_free(inner);
    kv_map_free(outer);
    if (err) {
        state_doc_destroy(doc);
        errno = err;
        return -1;
    }
    return 0;
}

uint8_t *state_save(const char *format, float sample_rate, float cutoff, float lfo_amt, float lfo_speed, size_t *size)
{
    if (!format) {
        return nullptr;
    }
    state_doc doc;
    if (state_doc_init(&doc) != 0) {
        return nullptr;
    }
    // Held here until the write is done: the maps only borrow them.
    uint8_t major[4], minor[4], revision[4], build[4], rate[4];
    uint8_t params[PARAM_INPUT_COUNT][4];
    put_u32le(major, ZFEN_VERSION_MAJOR);
    put_u32le(minor, ZFEN_VERSION_MINOR);
    put_u32le(revision, ZFEN_VERSION_REVISION);
    put_u32le(build, ZFEN_VERSION_BUILD);
    put_f32le(rate, sample_rate);
    put_f32le(params[PARAM_CUTOFF], cutoff);
    put_f32le(params[PARAM_LFO_AMT], lfo_amt);
    put_f32le(params[PARAM_LFO_SPEED], lfo_speed);

    uint8_t *blob = nullptr;
    bool ok = insert_text(doc.info, "id", k_plugin_id, strlen(k_plugin_id)) == 0 &&
              insert_text(doc.info, "version_major", major, 4) == 0 &&
              insert_text(doc.info, "version_minor", minor, 4) == 0 &&
              insert_text(doc.info, "version_revision", revision, 4) == 0 &&
              insert_text(doc.info, "version_build", build, 4) == 0 &&
              insert_text(doc.info, "format", format, strlen(format)) == 0 &&
              insert_text(doc.info, "platform", k_platform, strlen(k_platform)) == 0 &&
              insert_text(doc.info, "sample_rate", rate, 4) == 0;
    for (uint32_t i = 0; ok && i < PARAM_INPUT_COUNT; ++i) {
        ok = insert_text(doc.parameters, k_params[i].key, params[i], 4) == 0;
    }
    if (ok) {
        blob = state_doc_write(&doc, size);
    }
    state_doc_destroy(&doc);
    return blob;
}

int state_load(const state_sink *sink, const uint8_t *blob, size_t len)
{
    if (!sink || !sink->begin || !sink->set || !sink->end) {
        errno = EINVAL;
        return -1;
    }
    state_doc doc;
    if (state_doc_read(&doc, blob, len) != 0) {
        return -1;
    }
    uint64_t id_len = 0;
    const uint8_t *id = find_text(doc.info, "id", &id_len);
    bool ok = id && id_len == strlen(k_plugin_id) && memcmp(id, k_plugin_id, size_t(id_len)) == 0;
    float values[PARAM_INPUT_COUNT];
    for (uint32_t i = 0; ok && i < PARAM_INPUT_COUNT; ++i) {
        ok = read_param(doc.parameters, k_params[i].key, &values[i]);
    }
    state_doc_destroy(&doc);
    if (!ok) {
        errno = EINVAL;
        return -1;
    }
    sink->begin(sink->context);
    for (uint64_t i = 0; i < PARAM_INPUT_COUNT; ++i) {
        sink->set(sink->context, i, values[i]);
    }
    sink->end(sink->context);
    return 0;
}
