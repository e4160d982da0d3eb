// Saved-state archive: kv_map, tar writer/reader, map records, state document.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "state/state_doc.h"
#include "state/tar.h"

namespace {
#if defined(_WIN32)
const char k_platform[] = "windows";
#else
const char k_platform[] = "linux";
#endif

using Pairs = std::vector<std::pair<std::string, std::string>>;
using Map = std::unique_ptr<kv_map, decltype(&kv_map_free)>;

const uint8_t *bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

// The map borrows from `pairs`, which must outlive it.
Map map_of(const Pairs &pairs)
{
    Map m(kv_map_new(), kv_map_free);
    for (const auto &[k, v] : pairs) {
        EXPECT_EQ(kv_map_insert(m.get(), k.data(), k.size(), v.data(), v.size()), 0);
    }
    return m;
}

Pairs pairs_of(const kv_map *m)
{
    Pairs out;
    kv_map_for_each(
        m,
        [](const uint8_t *k, uint64_t kl, const uint8_t *v, uint64_t vl, void *ctx) {
            static_cast<Pairs *>(ctx)->emplace_back(std::string(reinterpret_cast<const char *>(k), kl),
                                                    std::string(reinterpret_cast<const char *>(v), vl));
            return 0;
        },
        &out);
    return out;
}

// Runs a reader on an exactly sized heap copy, so the sanitizer sees any
// overread, and returns what it read (nullopt on refusal, errno kept).
std::optional<Pairs> read_with(kv_map *(*reader)(const uint8_t *, size_t), const std::string &s)
{
    uint8_t *copy = static_cast<uint8_t *>(malloc(s.size() + !s.size()));
    memcpy(copy, s.data(), s.size());
    Map m(reader(copy, s.size()), kv_map_free);
    int err = errno;
    std::optional<Pairs> out;
    if (m) {
        out = pairs_of(m.get());
    }
    m.reset();
    free(copy);
    errno = err;
    return out;
}
std::optional<Pairs> untar(const std::string &s) { return read_with(tar_read, s); }
std::optional<Pairs> unrecord(const std::string &s) { return read_with(map_records_read, s); }

// Takes a malloc'd buffer; empty when null.
std::string take(uint8_t *buf, size_t size)
{
    std::string s(reinterpret_cast<const char *>(buf), buf ? size : 0);
    free(buf);
    return s;
}

std::string tar_of(const Pairs &members)
{
    size_t size = 0;
    uint8_t *buf = tar_write(map_of(members).get(), &size);
    EXPECT_NE(buf, nullptr);
    return take(buf, size);
}

std::string records_of(const Pairs &entries)
{
    size_t size = 0;
    uint8_t *buf = map_records_write(map_of(entries).get(), &size);
    EXPECT_NE(buf, nullptr);
    return take(buf, size);
}

std::string f32(float v)
{
    uint32_t b;
    memcpy(&b, &v, 4);
    return {char(b), char(b >> 8), char(b >> 16), char(b >> 24)};
}

const Pairs k_info = {{"id", "vornic-zfen"}, {"format", "lv2"}};
const Pairs k_params = {{"cutoff", f32(15)}, {"lfo_amt", f32(0)}, {"lfo_speed", f32(7)}};

// A blob assembled member by member, so that single pieces can be broken.
std::string blob_with(const Pairs &info = k_info, const Pairs &params = k_params, const std::string &version = "1.0",
                      const Pairs &inner_extra = {}, const Pairs &outer_extra = {})
{
    Pairs inner = {{"version", version}, {"info.map", records_of(info)}, {"parameters.map", records_of(params)}};
    inner.insert(inner.end(), inner_extra.begin(), inner_extra.end());
    Pairs outer = {{"dsp.tar", tar_of(inner)}};
    outer.insert(outer.end(), outer_extra.begin(), outer_extra.end());
    return tar_of(outer);
}

std::string saved(float cutoff = 15, float amt = 0, float speed = 7, const char *format = "lv2")
{
    size_t size = 0;
    uint8_t *blob = state_save(format, 48000.0f, cutoff, amt, speed, &size);
    EXPECT_NE(blob, nullptr);
    return take(blob, size);
}

struct Recorder {
    std::vector<std::string> calls;
    std::vector<float> values;
};

// state_load on an exactly sized heap copy; the sink records every call.
int load(const std::string &blob, Recorder &rec)
{
    state_sink sink = {&rec, [](void *c) { static_cast<Recorder *>(c)->calls.push_back("begin"); },
                       [](void *c) { static_cast<Recorder *>(c)->calls.push_back("end"); },
                       [](void *c, uint64_t i, float v) {
                           static_cast<Recorder *>(c)->calls.push_back("set" + std::to_string(i));
                           static_cast<Recorder *>(c)->values.push_back(v);
                       }};
    uint8_t *copy = static_cast<uint8_t *>(malloc(blob.size() + !blob.size()));
    memcpy(copy, blob.data(), blob.size());
    int r = state_load(&sink, copy, blob.size());
    free(copy);
    return r;
}

int doc_read_errno(const std::string &blob)
{
    state_doc doc;
    errno = 0;
    if (state_doc_read(&doc, bytes(blob), blob.size()) != 0) {
        return errno;
    }
    state_doc_destroy(&doc);
    return 0;
}

} // namespace

// ---- kv_map -------------------------------------------------------------

TEST(KvMap, CompareIsStrncmpThenShorterFirst)
{
    auto cmp = [](const std::string &a, const std::string &b) {
        kv_entry ea = {a.size(), 0, bytes(a), nullptr}, eb = {b.size(), 0, bytes(b), nullptr};
        int c = kv_compare(&ea, &eb);
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    };
    EXPECT_EQ(cmp("info.map", "parameters.map"), -1);
    EXPECT_EQ(cmp("parameters.map", "version"), -1);
    EXPECT_EQ(cmp("abc", "ab"), 1);
    EXPECT_EQ(cmp("abc", "abd"), -1);
    EXPECT_EQ(cmp("abc", "abc"), 0);
    EXPECT_EQ(cmp("\x80", "a"), 1); // bytes are unsigned
    EXPECT_EQ(cmp("", "a"), -1);
    EXPECT_EQ(cmp(std::string("a\0b", 3), std::string("a\0c", 3)), 0); // stops at a NUL
}

// The tallest AVL tree of n nodes: the fewest nodes of height h are
// N(h) = N(h-1) + N(h-2) + 1.
int avl_max_height(size_t n)
{
    size_t fewer = 0, fewest = 1;
    int h = 0;
    while (fewest <= n) {
        size_t next = fewest + fewer + 1;
        fewer = fewest;
        fewest = next;
        ++h;
    }
    return h;
}

// Inserts the pairs counting comparisons: an insertion descends as deep as
// the tree is tall, which for a balanced tree stays within the AVL bound.
bool balanced_inserts(const Pairs &pairs, Pairs *order)
{
    static int comparisons;
    Map m(kv_map_new(), kv_map_free);
    m->compare = [](const kv_entry *a, const kv_entry *b) {
        ++comparisons;
        return kv_compare(a, b);
    };
    bool ok = true;
    for (size_t i = 0; i < pairs.size(); ++i) {
        comparisons = 0;
        const auto &[k, v] = pairs[i];
        EXPECT_EQ(kv_map_insert(m.get(), k.data(), k.size(), v.data(), v.size()), 0);
        ok = ok && comparisons <= avl_max_height(i);
    }
    *order = pairs_of(m.get());
    return ok;
}

TEST(KvMap, ManyInsertsIterateSortedAndStayBalanced)
{
    Pairs random, ascending, order;
    uint32_t x = 12345;
    for (int i = 0; i < 2000; ++i) {
        x = x * 1103515245u + 12345u;
        random.emplace_back("k" + std::to_string(x >> 20), ""); // some keys repeat
    }
    for (int i = 0; i < 4096; ++i) {
        ascending.emplace_back(std::string(5 - std::to_string(i).size(), '0') + std::to_string(i), "");
    }
    EXPECT_TRUE(balanced_inserts(random, &order));
    Pairs sorted = random;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(order, sorted);
    EXPECT_TRUE(balanced_inserts(ascending, &order));
    EXPECT_EQ(order, ascending);

    // Every order of seven keys, so each kind of rotation is met.
    std::string keys = "abcdefg";
    const Pairs seven = {{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}, {"e", ""}, {"f", ""}, {"g", ""}};
    do {
        Pairs p;
        for (char c : keys) {
            p.emplace_back(std::string(1, c), "");
        }
        ASSERT_TRUE(balanced_inserts(p, &order)) << keys;
        ASSERT_EQ(order, seven) << keys;
    } while (std::next_permutation(keys.begin(), keys.end()));
}

TEST(KvMap, EqualKeysBorrowingAndEarlyStop)
{
    const char a[] = "first", b[] = "second";
    Map m(kv_map_new(), kv_map_free);
    ASSERT_EQ(kv_map_insert(m.get(), "k", 1, a, 5), 0);
    ASSERT_EQ(kv_map_insert(m.get(), "k", 1, b, 6), 0);
    ASSERT_EQ(kv_map_insert(m.get(), "j", 1, a, 5), 0);
    EXPECT_EQ(pairs_of(m.get()), (Pairs{{"j", "first"}, {"k", "first"}, {"k", "second"}}));
    uint64_t len = 0;
    EXPECT_EQ(kv_map_find(m.get(), "j", 1, &len), reinterpret_cast<const uint8_t *>(a));
    EXPECT_EQ(len, 5u);
    len = 77;
    EXPECT_EQ(kv_map_find(m.get(), "kk", 2, &len), nullptr);
    EXPECT_EQ(len, 77u);

    int calls = 0;
    auto stop_at_k = [](const uint8_t *k, uint64_t, const uint8_t *, uint64_t, void *ctx) {
        ++*static_cast<int *>(ctx);
        return k[0] == 'k' ? 42 : 0;
    };
    EXPECT_EQ(kv_map_for_each(m.get(), stop_at_k, &calls), 42);
    EXPECT_EQ(calls, 2);
    Map empty(kv_map_new(), kv_map_free);
    EXPECT_EQ(kv_map_for_each(empty.get(), stop_at_k, &calls), 0);
    EXPECT_EQ(calls, 2);
}

// ---- tar ----------------------------------------------------------------

TEST(Tar, SizesAndOrder)
{
    EXPECT_EQ(tar_of({}), std::string(1024, '\0'));
    EXPECT_EQ(untar(std::string(1024, '\0')), Pairs{});
    EXPECT_EQ(untar(""), Pairs{});
    EXPECT_EQ(tar_of({{"a", ""}}).size(), 512u + 1024);
    EXPECT_EQ(tar_of({{"a", std::string(512, 'x')}}).size(), 1024u + 1024);
    EXPECT_EQ(tar_of({{"a", std::string(513, 'x')}}).size(), 1536u + 1024);
    std::string t = tar_of({{"version", "1.0"}, {"info.map", "i"}, {"parameters.map", "p"}});
    ASSERT_EQ(t.size(), 4096u);
    EXPECT_STREQ(t.c_str(), "info.map");
    EXPECT_EQ(t.substr(512, 512), "i" + std::string(511, '\0'));
    EXPECT_STREQ(t.c_str() + 1024, "parameters.map");
    EXPECT_STREQ(t.c_str() + 2048, "version");
    EXPECT_EQ(t.substr(3072), std::string(1024, '\0'));
}

TEST(Tar, HeaderBytes)
{
    auto header = [](const std::string &name, const char *size, const char *chksum) {
        std::string h(512, '\0');
        h.replace(0, name.size(), name);
        h.replace(100, 24,
                  std::string("0000644\0"
                              "0000000\0"
                              "0000000\0",
                              24));
        h.replace(124, 11, size);
        h.replace(136, 11, "00000000000");
        h.replace(148, 8, chksum + std::string("\0\0 ", 3));
        h[156] = '0';
        h.replace(257, 8,
                  std::string("ustar\0"
                              "00",
                              8));
        return h;
    };
    EXPECT_EQ(tar_of({{"version", "1.0"}}).substr(0, 512), header("version", "00000000003", "07346"));
    EXPECT_EQ(tar_of({{"dsp.tar", std::string(4096, '\0')}}).substr(0, 512), header("dsp.tar", "00000010000", "07232"));
}

TEST(Tar, NameAndSizeLimits)
{
    std::string n99(99, 'n');
    EXPECT_EQ(untar(tar_of({{n99, "v"}})), (Pairs{{n99, "v"}}));
    std::string t = tar_of({{n99, ""}});
    t[99] = 'z'; // a name field without NUL is read whole
    EXPECT_EQ(untar(t), (Pairs{{n99 + "z", ""}}));

    // Too long; empty or NUL-led (would read as the end of the archive);
    // holding a NUL (would read back shorter).
    for (const std::string &bad :
         {std::string(100, 'n'), std::string(), std::string("\0a", 2), std::string("a\0b", 3)}) {
        Pairs members = {{"ok", "1"}, {bad, "2"}};
        size_t size = 4242;
        errno = 0;
        EXPECT_EQ(tar_write(map_of(members).get(), &size), nullptr);
        EXPECT_EQ(size, 4242u);
        EXPECT_EQ(errno, 0); // the code stays in the walk
    }
    // The size field cannot describe 8^11 bytes: refused before the data is read.
    Map huge(kv_map_new(), kv_map_free);
    kv_map_insert(huge.get(), "big", 3, "", uint64_t(1) << 33);
    size_t size = 0;
    EXPECT_EQ(tar_write(huge.get(), &size), nullptr);
}

TEST(Tar, RoundTripPointsIntoInput)
{
    Pairs members = {
        {"b", std::string("\0\xff\x01", 3)}, {"a", std::string(513, 'q')}, {"c", ""}, {"aa", std::string(512, 'r')}};
    std::string t = tar_of(members);
    EXPECT_EQ(untar(t), pairs_of(map_of(members).get()));
    Map back(tar_read(bytes(t), t.size()), kv_map_free);
    uint64_t len = 0;
    EXPECT_EQ(kv_map_find(back.get(), "a", 1, &len), bytes(t) + 512);
    EXPECT_EQ(len, 513u);
}

TEST(Tar, ReadStopsAtBlockBeginningWithNul)
{
    std::string a = tar_of({{"a", "1"}}).substr(0, 1024);
    EXPECT_EQ(untar(a + std::string(512, '\0') + tar_of({{"b", "2"}})), (Pairs{{"a", "1"}}));
    EXPECT_EQ(untar(a + std::string(1, '\0') + "junk"), (Pairs{{"a", "1"}})); // less than a block
    EXPECT_EQ(untar(a.substr(0, 513)), (Pairs{{"a", "1"}}));                  // padding and end blocks optional
}

TEST(Tar, MalformedOrTruncatedIsInvalid)
{
    const std::string good = tar_of({{"a", "1"}});
    auto einval = [](std::string t, size_t at, const std::string &field, const char *what) {
        t.replace(at, field.size(), field);
        errno = 0;
        EXPECT_EQ(untar(t), std::nullopt) << what;
        EXPECT_EQ(errno, EINVAL) << what;
    };
    einval(good, 135, " ", "size ends in a space");
    einval(good, 124, " 0000000001", "size starts with a space");
    einval(good, 134, "8", "non-octal digit");
    einval(good + std::string(2048, '\0'), 124, "20000000000", "2^31");
    einval(good.substr(0, 511), 0, "", "header cut short");
    einval(good.substr(0, 1024) + "x", 0, "", "second header of one byte");
    einval(good, 124, "00000003001", "data past the end");
    std::string t = good;
    t.replace(124, 11, "00000003000"); // exactly the 1536 bytes after the header
    EXPECT_TRUE(untar(t));

    t = good; // checksum, magic and typeflag are not looked at
    t.replace(148, 8, "garbage!");
    t.replace(257, 8, std::string(8, '\0'));
    t[156] = '5';
    EXPECT_EQ(untar(t), (Pairs{{"a", "1"}}));
}

// ---- map records and the saved blob --------------------------------------

TEST(MapRecords, SavedBlobLayout)
{
    std::string blob = saved(15, 0, 7);
    EXPECT_EQ(blob.size(), 5632u);
    std::optional<Pairs> outer = untar(blob);
    ASSERT_TRUE(outer);
    ASSERT_EQ(outer->size(), 1u);
    EXPECT_EQ((*outer)[0].first, "dsp.tar");
    EXPECT_EQ((*outer)[0].second.size(), 4096u);
    std::optional<Pairs> inner = untar((*outer)[0].second);
    ASSERT_TRUE(inner);
    ASSERT_EQ(inner->size(), 3u);
    EXPECT_EQ((*inner)[0].first, "info.map");
    EXPECT_EQ((*inner)[1].first, "parameters.map");
    EXPECT_EQ((*inner)[2], Pairs::value_type("version", "1.0"));
    // One record a line, as the bytes stand in the file.
    // clang-format off
    const unsigned char params[] = {
        6, 0, 0, 0, 4, 0, 0, 0, 'c', 'u', 't', 'o', 'f', 'f', 0, 0, 0x70, 0x41,
        7, 0, 0, 0, 4, 0, 0, 0, 'l', 'f', 'o', '_', 'a', 'm', 't', 0, 0, 0, 0,
        9, 0, 0, 0, 4, 0, 0, 0, 'l', 'f', 'o', '_', 's', 'p', 'e', 'e', 'd', 0, 0, 0xe0, 0x40};
    // clang-format on
    EXPECT_EQ((*inner)[1].second, std::string(reinterpret_cast<const char *>(params), sizeof params));
    EXPECT_EQ(unrecord((*inner)[0].second), (Pairs{{"format", "lv2"},
                                                   {"id", "vornic-zfen"},
                                                   {"platform", k_platform},
                                                   {"sample_rate", std::string("\0\x80\x3b\x47", 4)}, // 48000.0f
                                                   {"version_build", std::string("\1\0\0\0", 4)},
                                                   {"version_major", std::string("\1\0\0\0", 4)},
                                                   {"version_minor", std::string("\3\0\0\0", 4)},
                                                   {"version_revision", std::string("\2\0\0\0", 4)}}));
}

TEST(MapRecords, ReadRefusesBadLengths)
{
    std::string r = records_of({{"k", "vv"}, {"key2", ""}});
    EXPECT_EQ(unrecord(r), (Pairs{{"k", "vv"}, {"key2", ""}}));
    EXPECT_EQ(unrecord(""), Pairs{});
    for (const std::string &bad : {std::string("\0\0\0\0\1\0\0\0x", 9), r.substr(0, r.size() - 1), r.substr(0, 10),
                                   r + std::string("\1\0\0", 3), std::string("\1\0\0\0\xff\xff\xff\xff", 8) + "k"}) {
        errno = 0;
        EXPECT_EQ(unrecord(bad), std::nullopt) << bad.size();
        EXPECT_EQ(errno, EINVAL) << bad.size();
    }
    Map none(kv_map_new(), kv_map_free);
    size_t size = 5;
    EXPECT_EQ(map_records_write(none.get(), &size), nullptr);
    const Pairs empty_key = {{"", "v"}}; // would not read back
    EXPECT_EQ(map_records_write(map_of(empty_key).get(), &size), nullptr);
    EXPECT_EQ(size, 5u);
}

// ---- state document and load ---------------------------------------------

TEST(StateDoc, VersionAndMissingMembers)
{
    for (const char *ok : {"1.0", "1.0\n", "1.0  ", "1.0\t\v\f\r"}) {
        EXPECT_EQ(doc_read_errno(blob_with(k_info, k_params, ok)), 0) << ok;
    }
    for (const char *bad : {"1.1", "1.00", "2.0", "1.", "", "1.0 x", " 1.0"}) {
        EXPECT_EQ(doc_read_errno(blob_with(k_info, k_params, bad)), EINVAL) << bad;
    }
    const std::string info = records_of(k_info), params = records_of(k_params);
    const Pairs no_version = {{"info.map", info}, {"parameters.map", params}};
    const Pairs no_info = {{"version", "1.0"}, {"parameters.map", params}};
    const Pairs no_params = {{"version", "1.0"}, {"info.map", info}};
    for (const Pairs &inner : {no_version, no_info, no_params}) {
        EXPECT_EQ(doc_read_errno(tar_of({{"dsp.tar", tar_of(inner)}})), EINVAL);
    }
    EXPECT_EQ(doc_read_errno(tar_of({{"other.tar", blob_with()}})), EINVAL);
    EXPECT_EQ(doc_read_errno(""), EINVAL);
}

TEST(StateDoc, ExtrasCarriedThroughReadAndWrite)
{
    Pairs info = k_info, params = k_params;
    info.emplace_back("future", "x");
    params.emplace_back("mix", f32(0.5f));
    const std::string blob = blob_with(info, params, "1.0", {{"notes.txt", "hi"}}, {{"cover.png", "png"}});
    std::string again;
    for (const std::string *b : {&blob, static_cast<const std::string *>(&again)}) {
        state_doc doc;
        ASSERT_EQ(state_doc_read(&doc, bytes(*b), b->size()), 0);
        EXPECT_STREQ(doc.version, "1.0");
        EXPECT_EQ(pairs_of(doc.info), pairs_of(map_of(info).get()));
        EXPECT_EQ(pairs_of(doc.parameters), pairs_of(map_of(params).get()));
        EXPECT_EQ(pairs_of(doc.inner_extras), (Pairs{{"notes.txt", "hi"}}));
        EXPECT_EQ(pairs_of(doc.outer_extras), (Pairs{{"cover.png", "png"}}));
        size_t size = 0;
        uint8_t *written = state_doc_write(&doc, &size);
        state_doc_destroy(&doc);
        again = take(written, size);
    }
    EXPECT_EQ(again, blob);

    state_doc doc;
    ASSERT_EQ(state_doc_init(&doc), 0);
    size_t size = 7;
    EXPECT_EQ(state_doc_write(&doc, &size), nullptr); // both maps empty
    kv_map_insert(doc.info, "id", 2, k_plugin_id, 11);
    EXPECT_EQ(state_doc_write(&doc, &size), nullptr); // parameters empty
    EXPECT_EQ(size, 7u);
    kv_map_insert(doc.parameters, "cutoff", 6, "\0\0\0\0", 4);
    uint8_t *written = state_doc_write(&doc, &size);
    EXPECT_NE(written, nullptr);
    EXPECT_EQ(size, 5632u);
    free(written);
    state_doc_destroy(&doc);
}

TEST(StateLoad, ValuesReachTheSinkAsStored)
{
    for (const char *format : {"lv2", "vst3"}) {
        Recorder rec;
        ASSERT_EQ(load(saved(20.0f, -3.0f, 7.5f, format), rec), 0) << format;
        EXPECT_EQ(rec.calls, (std::vector<std::string>{"begin", "set0", "set1", "set2", "end"}));
        EXPECT_EQ(rec.values, (std::vector<float>{20.0f, -3.0f, 7.5f}));
    }
    // Extra members and entries are ignored; infinity is a value, not NaN.
    Pairs info = k_info, params = {{"cutoff", f32(INFINITY)}, {"lfo_amt", f32(1)}, {"lfo_speed", f32(2)}, {"mix", "?"}};
    info.emplace_back("future", "x");
    Recorder rec;
    ASSERT_EQ(load(blob_with(info, params, "1.0\n", {{"a", "b"}}, {{"c", "d"}}), rec), 0);
    EXPECT_EQ(rec.values, (std::vector<float>{INFINITY, 1, 2}));
}

TEST(StateLoad, RefusalReachesNoValue)
{
    auto refused = [](const std::string &blob, const char *what) {
        Recorder rec;
        EXPECT_EQ(load(blob, rec), -1) << what;
        EXPECT_TRUE(rec.calls.empty()) << what;
    };
    refused(blob_with({{"id", "other-plugin"}}), "foreign id");
    refused(blob_with({{"id", "vornic-zfe"}}), "prefix of the id");
    refused(blob_with({{"id", "vornic-zfenx"}}), "id with a tail");
    refused(blob_with({{"format", "lv2"}}), "no id");
    auto params = [](const std::string &cutoff, const std::string &speed) {
        return Pairs{{"cutoff", cutoff}, {"lfo_amt", f32(0)}, {"lfo_speed", speed}};
    };
    refused(blob_with(k_info, params(f32(NAN), f32(7))), "NaN");
    refused(blob_with(k_info, params(f32(1), std::string("\1\0\x80\x7f", 4))), "signalling NaN");
    refused(blob_with(k_info, params(std::string(8, '\0'), f32(7))), "8 bytes");
    refused(blob_with(k_info, params(f32(1), std::string(3, '\0'))), "3 bytes");
    refused(blob_with(k_info, {{"cutoff", f32(1)}, {"lfo_speed", f32(7)}}), "no lfo_amt");

    // Every cut of a valid blob: the outer archive needs "dsp.tar" whole,
    // its end blocks are optional.
    std::string blob = saved();
    for (size_t n = 0; n < blob.size(); ++n) {
        Recorder rec;
        int r = load(blob.substr(0, n), rec);
        EXPECT_EQ(r, n >= 512 + 4096 ? 0 : -1) << n;
        EXPECT_EQ(rec.calls.size(), r == 0 ? 5u : 0u) << n;
    }
}
