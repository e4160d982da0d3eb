// Exhausted memory in the state archive and the LV2 save: each operation runs with its 1st, 2nd, ...
// allocation failing until it runs without a failure, and every run must fail cleanly. malloc, calloc
// and realloc are wrapped at link time (-Wl,--wrap); leaks are left to LeakSanitizer in the ASan build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "lv2_test_host.h"
#include "state/state_doc.h"
#include "state/tar.h"

extern "C" void *__real_malloc(size_t n);
extern "C" void *__real_calloc(size_t count, size_t n);
extern "C" void *__real_realloc(void *p, size_t n);

static struct {
    bool armed, failed;
    unsigned long calls, fail_at;
} g_inject;
// errno is left alone: the code under test must set it.
static bool fail_now() { return g_inject.armed && ++g_inject.calls == g_inject.fail_at && (g_inject.failed = true); }

extern "C" void *__wrap_malloc(size_t n) { return fail_now() ? nullptr : __real_malloc(n); }
extern "C" void *__wrap_calloc(size_t c, size_t n) { return fail_now() ? nullptr : __real_calloc(c, n); }
extern "C" void *__wrap_realloc(void *p, size_t n) { return fail_now() ? nullptr : __real_realloc(p, n); }

namespace {
using Pairs = std::vector<std::pair<std::string, std::string>>;

// For n = 1, 2, ...: runs op() with the nth allocation failing, then check(result, failed, errno
// after op) with allocations working; ends after the first run in which no allocation failed.
template <class Op, class Check> void for_each_failure(Op op, Check check)
{
    for (unsigned long n = 1; n < 1000; ++n) {
        g_inject = {true, false, 0, n};
        errno = 0;
        auto result = op();
        const int err = errno;
        g_inject.armed = false;
        SCOPED_TRACE("allocation " + std::to_string(n) + " failing");
        check(result, g_inject.failed, err);
        if (!g_inject.failed || testing::Test::HasFatalFailure())
            break;
    }
    EXPECT_FALSE(g_inject.failed && !testing::Test::HasFatalFailure()) << "still failing after 999 allocations";
    EXPECT_GT(g_inject.calls, 0u) << "the operation allocated nothing";
}

std::string text(const uint8_t *p, uint64_t n) { return std::string(reinterpret_cast<const char *>(p), n); }
const uint8_t *bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

Pairs contents(const kv_map *m)
{
    Pairs out;
    kv_map_for_each(
        m,
        [](const uint8_t *k, uint64_t kl, const uint8_t *v, uint64_t vl, void *ctx) {
            return static_cast<Pairs *>(ctx)->emplace_back(text(k, kl), text(v, vl)), 0;
        },
        &out);
    return out;
}

void fill(kv_map *m, const Pairs &pairs)
{
    for (const auto &[k, v] : pairs)
        ASSERT_EQ(kv_map_insert(m, k.data(), k.size(), v.data(), v.size()), 0);
}

// Takes a malloc'd buffer (empty when null); the size is read after `buf` is made.
std::string take(uint8_t *buf, const size_t &size)
{
    std::string s = buf ? text(buf, size) : "";
    return free(buf), s;
}

// A writer returns null from every failing run, else what it makes unfailed; `inputs_kept` checks its inputs.
std::string check_writer(
    std::function<uint8_t *(size_t *)> write, std::function<void()> inputs_kept = [] {}, bool size_kept = false)
{
    size_t ref_size = 0;
    const std::string ref = take(write(&ref_size), ref_size);
    EXPECT_FALSE(ref.empty());
    auto run = [&] {
        size_t size = 4321;
        uint8_t *out = write(&size);
        return std::make_pair(out, size);
    };
    for_each_failure(run, [&](std::pair<uint8_t *, size_t> r, bool failed, int) {
        EXPECT_EQ(r.first ? take(r.first, r.second) : "", failed ? "" : ref);
        EXPECT_TRUE(!failed || !size_kept || r.second == 4321u) << "the size was changed";
        inputs_kept();
    });
    return ref;
}
} // namespace

TEST(StateOom, KvMapInsertLeavesTheMapAsItWas)
{
    const Pairs keys = {{"m", "1"}, {"c", "2"}, {"t", "3"}, {"a", "4"}, {"e", "5"}, {"d", "6"}, {"z", "7"}};
    auto insert = [&](kv_map *m, size_t i) { return kv_map_insert(m, &keys[i].first[0], 1, bytes(keys[i].second), 1); };
    auto sorted = [&](size_t n) {
        Pairs p(keys.begin(), keys.begin() + long(n));
        return std::sort(p.begin(), p.end()), p;
    };
    auto run = [&] {
        kv_map *m = kv_map_new();
        size_t done = 0;
        while (m && done < keys.size() && insert(m, done) == 0)
            ++done;
        return std::make_pair(m, done);
    };
    for_each_failure(run, [&](std::pair<kv_map *, size_t> r, bool failed, int) {
        auto [m, done] = r;
        EXPECT_EQ(m && done == keys.size(), !failed);
        if (!m)
            return;
        EXPECT_EQ(contents(m), sorted(done));
        // The tree still takes the rest and finds everything.
        for (size_t i = done; i < keys.size(); ++i)
            EXPECT_EQ(insert(m, i), 0);
        EXPECT_EQ(contents(m), sorted(keys.size()));
        for (const auto &[k, v] : keys)
            EXPECT_EQ(kv_map_find(m, k.data(), 1, nullptr), bytes(v));
        kv_map_free(m);
    });
}

TEST(StateOom, TarAndMapRecords)
{
    const Pairs pairs = {{"version", "1.0"}, {"info.map", std::string(700, 'i')}, {"parameters.map", "p"}};
    const Pairs sorted = {pairs[1], pairs[2], pairs[0]};
    kv_map *m = kv_map_new();
    fill(m, pairs);
    for (const auto &io : {std::make_pair(tar_write, tar_read), std::make_pair(map_records_write, map_records_read)}) {
        const std::string ref = check_writer([&](size_t *size) { return io.first(m, size); },
                                             [&] { EXPECT_EQ(contents(m), sorted); }, io.first == tar_write);
        for_each_failure([&] { return io.second(bytes(ref), ref.size()); },
                         [&](kv_map *got, bool failed, int err) {
                             EXPECT_EQ(got ? contents(got) : Pairs{}, failed ? Pairs{} : sorted);
                             EXPECT_EQ(got ? ENOMEM : err, ENOMEM) << "errno";
                             if (got)
                                 kv_map_free(got);
                         });
    }
    kv_map_free(m);
}

TEST(StateOom, StateDocWriteAndRead)
{
    state_doc doc;
    ASSERT_EQ(state_doc_init(&doc), 0);
    const Pairs want[] = {{{"format", "lv2"}, {"id", "vornic-zfen"}}, {{"cutoff", "abcd"}}, {{"a", "n"}}, {{"b", "x"}}};
    auto maps = [](const state_doc &d) { return std::vector{d.info, d.parameters, d.inner_extras, d.outer_extras}; };
    auto same = [&](const state_doc &d) {
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(contents(maps(d)[i]), want[i]) << i;
    };
    for (int i = 0; i < 4; ++i)
        fill(maps(doc)[i], want[i]);
    const std::string ref = check_writer([&](size_t *size) { return state_doc_write(&doc, size); }, [&] { same(doc); });
    state_doc_destroy(&doc);
    for_each_failure(
        [&] {
            state_doc d;
            return std::make_pair(state_doc_read(&d, bytes(ref), ref.size()), d);
        },
        [&](std::pair<int, state_doc> r, bool failed, int err) {
            EXPECT_EQ(r.first, failed ? -1 : 0);
            EXPECT_EQ(r.first ? err : ENOMEM, ENOMEM) << "errno";
            if (r.first != 0)
                return;
            EXPECT_STREQ(r.second.version, "1.0");
            same(r.second);
            state_doc_destroy(&r.second);
        });
}

// Plain storage for what the sink gets: it runs while allocations are being failed.
static float g_seen[6]; // begin calls, the values set for indexes 0, 1, 2 and any other, end calls

TEST(StateOom, StateSaveAndLoad)
{
    const std::string ref = check_writer([](size_t *size) { return state_save("vst3", 48e3f, 3, 4, 5, size); });
    ASSERT_EQ(ref.size(), 5632u);
    const state_sink sink = {nullptr, [](void *) { ++g_seen[0]; }, [](void *) { ++g_seen[5]; },
                             [](void *, uint64_t i, float v) { g_seen[1 + std::min<uint64_t>(i, 3)] = v; }};
    auto run = [&] {
        std::fill_n(g_seen, 6, 0.0f);
        return state_load(&sink, bytes(ref), ref.size());
    };
    for_each_failure(run, [&](int r, bool failed, int) {
        EXPECT_EQ(r, failed ? -1 : 0);
        const std::vector<float> seen(g_seen, g_seen + 6), loaded = {1, 3, 4, 5, 0, 1}, untouched(6, 0.0f);
        EXPECT_EQ(seen, failed ? untouched : loaded);
    });
}

TEST(StateOom, Lv2Save)
{
    Lv2Features host;
    TestPlugin p(host.features, 44100.0);
    ASSERT_NE(p.h, nullptr);
    p.controls[0] = 9, p.controls[1] = 2, p.controls[2] = 11;
    p.activate();
    size_t ref_size = 0;
    const std::string ref = take(state_save("lv2", 44100, 9, 2, 11, &ref_size), ref_size);
    ASSERT_EQ(ref.size(), 5632u);
    StateStore s;
    s.value.reserve(2 * ref.size()); // the store runs while allocations fail, so it must not allocate
    auto run = [&] {
        s.value.clear(), s.calls = 0;
        return p.state()->save(p.h, StateStore::store, &s, 0, nullptr);
    };
    for_each_failure(run, [&](LV2_State_Status st, bool failed, int) {
        EXPECT_EQ(st, failed ? LV2_STATE_ERR_UNKNOWN : LV2_STATE_SUCCESS);
        EXPECT_EQ(s.calls, failed ? 0u : 1u) << "the store was called once with the blob, or not at all";
        EXPECT_EQ(text(s.value.data(), s.value.size()), failed ? "" : ref);
        EXPECT_TRUE(host.log.lines.empty());
    });
}
