// The page protocol as the page and the plug-in side see it: what each
// message does to the cache, which edits are forwarded, what goes back.
#include "gui/gui_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Edit {
    char kind;
    uint32_t index;
    float value;
    bool operator==(const Edit &o) const { return kind == o.kind && index == o.index && value == o.value; }
};

// A dispatch whose forwarders and page are recorders.
struct Page {
    static Page *of(void *ctx) { return static_cast<Page *>(ctx); }
    float values[4] = {};
    std::vector<Edit> edits;
    std::vector<std::string> posted;
    std::vector<std::string> texts;
    std::vector<std::vector<int32_t>> menus;
    GuiDispatch d{};

    explicit Page(bool with_text_handler = true)
    {
        d.ctx = this;
        d.edit = [](void *c, GuiEditStep step, uint32_t i, float v) { of(c)->edits.push_back({"bse"[step], i, v}); };
        if (with_text_handler)
            d.on_text = [](void *c, const char *t) { of(c)->texts.push_back(t); };
        d.menu = [](void *c, uint32_t i, int32_t x, int32_t y) {
            of(c)->menus.push_back({static_cast<int32_t>(i), x, y});
        };
        d.values = values;
        d.value_count = 4;
        d.post = [](void *c, const char *t) { of(c)->posted.push_back(t); };
    }
    void parse(const char *text) { gui_protocol_parse(&d, text); }
};

} // namespace

TEST(GuiProtocol, ValueMessagesCarryTheFloatBitsInLowerCaseHex)
{
    char buf[k_gui_value_message_len];
    gui_protocol_format_value(buf, 2, 7.0f);
    EXPECT_STREQ(buf, "s 00000002 40e00000");
    gui_protocol_format_value(buf, 0, 10.0f);
    EXPECT_STREQ(buf, "s 00000000 41200000");
    gui_protocol_format_value(buf, 3, 0.5f);
    EXPECT_STREQ(buf, "s 00000003 3f000000");
    gui_protocol_format_value(buf, 0xABCDEF01u, -0.0f);
    EXPECT_STREQ(buf, "s abcdef01 80000000");
}

TEST(GuiProtocol, EditsAreCachedThenForwardedInOrder)
{
    Page p;
    p.parse("b 0 40400000"); // 3.0
    p.parse("s 0 40800000"); // 4.0
    p.parse("e 0 40800000");
    p.parse("s 3 0");
    EXPECT_EQ(p.edits, (std::vector<Edit>{{'b', 0, 3.0f}, {'s', 0, 4.0f}, {'e', 0, 4.0f}, {'s', 3, 0.0f}}));
    EXPECT_EQ(p.values[0], 4.0f);
    EXPECT_EQ(p.values[3], 0.0f);
    EXPECT_TRUE(p.posted.empty()); // edits are not echoed
}

TEST(GuiProtocol, MalformedAndUnknownMessagesAreIgnored)
{
    Page p;
    p.values[1] = 9.0f;
    for (const char *bad : {"", "b", "b ", "b 1", "b 1 ", "s 4 3f800000", "s ffffffff 0", "e zz 0", "x 1 0", "B 1 0",
                            "S 1 3f800000", "q", "s 1 -", "s 0x 0"}) {
        p.parse(bad);
        EXPECT_TRUE(p.edits.empty()) << bad;
        EXPECT_EQ(p.values[1], 9.0f) << bad;
        EXPECT_TRUE(p.posted.empty()) << bad;
    }
    p.parse(nullptr);
    EXPECT_TRUE(p.edits.empty());
}

TEST(GuiProtocol, NumbersAreReadAsScanfReadsThem)
{
    Page p;
    // The separator is skipped unexamined; any white space between numbers,
    // either letter case, a 0x prefix, a sign, leading zeros.
    p.parse("sX1 3F800000");
    p.parse("s\t2\n\n0x40000000");
    p.parse("s 0000001 +40400000");
    p.parse("s1 40800000"); // the second character is the separator even when a digit: no value is left
    p.parse("s -0 0");
    ASSERT_EQ(p.edits.size(), 4u);
    EXPECT_EQ(p.edits[0], (Edit{'s', 1, 1.0f}));
    EXPECT_EQ(p.edits[1], (Edit{'s', 2, 2.0f}));
    EXPECT_EQ(p.edits[2], (Edit{'s', 1, 3.0f}));
    EXPECT_EQ(p.edits[3], (Edit{'s', 0, 0.0f}));

    uint32_t v = 0;
    const char *s = "100000002";
    ASSERT_TRUE(gui_protocol_scan_hex(&s, &v));
    EXPECT_EQ(v, 2u); // only 32 bits are used
    s = "-1";
    ASSERT_TRUE(gui_protocol_scan_hex(&s, &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    s = "ffffffffffffffffff"; // beyond 64 bits saturates
    ASSERT_TRUE(gui_protocol_scan_hex(&s, &v));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    s = "  g";
    EXPECT_FALSE(gui_protocol_scan_hex(&s, &v));
    EXPECT_STREQ(s, "  g");
}

TEST(GuiProtocol, GetSendsEveryCachedValueInAscendingOrder)
{
    Page p;
    p.parse("s 2 40e00000");
    gui_protocol_send_value(&p.d, 3, 203.0f);
    p.posted.clear();
    p.parse("g");
    ASSERT_EQ(p.posted.size(), 4u);
    EXPECT_EQ(p.posted[0], ("s 00000000 00000000"));
    EXPECT_EQ(p.posted[1], ("s 00000001 00000000"));
    EXPECT_EQ(p.posted[2], ("s 00000002 40e00000"));
    EXPECT_EQ(p.posted[3], ("s 00000003 434b0000"));
    p.parse("g trailing text is not looked at");
    EXPECT_EQ(p.posted.size(), 8u);
}

TEST(GuiProtocol, SetValueCachesAndPostsButIgnoresIndicesOutOfRange)
{
    Page p;
    gui_protocol_send_value(&p.d, 1, 15.0f);
    EXPECT_EQ(p.values[1], 15.0f);
    ASSERT_EQ(p.posted.size(), 1u);
    EXPECT_EQ(p.posted[0], ("s 00000001 41700000"));
    gui_protocol_send_value(&p.d, 4, 1.0f);
    gui_protocol_send_value(&p.d, 0xFFFFFFFFu, 1.0f);
    EXPECT_EQ(p.posted.size(), 1u);
}

TEST(GuiProtocol, TextMessagesBothWays)
{
    Page p;
    p.parse("m hello page");
    p.parse("m");
    p.parse("m ");
    ASSERT_EQ(p.texts, (std::vector<std::string>{"hello page", "", ""}));
    Page silent(false);
    silent.parse("m ignored");
    EXPECT_TRUE(silent.texts.empty());

    EXPECT_TRUE(gui_protocol_send_text(&p.d, "caf\xC3\xA9 \xF0\x9F\x8E\x9B"));
    ASSERT_EQ(p.posted.size(), 1u);
    EXPECT_EQ(p.posted[0], "m caf\xC3\xA9 \xF0\x9F\x8E\x9B");
    // Not UTF-8: a lone continuation, an overlong form, a surrogate, a cut sequence, past U+10FFFF.
    for (const char *bad : {"\x80", "\xC0\x80", "\xED\xA0\x80", "ab\xE2\x82", "\xF4\x90\x80\x80", "\xFF"})
        EXPECT_FALSE(gui_protocol_send_text(&p.d, bad)) << bad;
    EXPECT_EQ(p.posted.size(), 1u);
    EXPECT_FALSE(gui_protocol_send_text(&p.d, nullptr));
}

TEST(GuiProtocol, Utf16ConversionStaysInsideItsBuffer)
{
    char16_t out[4];
    EXPECT_EQ(gui_protocol_utf8_to_utf16("abc", out, 4), 3);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(gui_protocol_utf8_to_utf16("abcd", out, 4), -1); // no room for the NUL
    EXPECT_EQ(gui_protocol_utf8_to_utf16("\xF0\x9F\x8E\x9B", nullptr, 0), 2);
    EXPECT_EQ(gui_protocol_utf8_to_utf16("a\xF0\x9F\x8E\x9B", out, 3), -1); // the pair would not fit
}

TEST(GuiProtocol, MenuRequestsCarryTheParameterAndThePoint)
{
    const struct {
        const char *message;
        std::vector<std::vector<int32_t>> menus;
    } rows[] = {
        {"c 0 40 20", {{0, 64, 32}}},
        {"c 3 0 0", {{3, 0, 0}}},
        {"c 1 -1 5", {{1, 0, 5}}}, // off the page's edge: at its edge
        {"c 4 1 1", {}},           // no parameter
        {"c 1 1", {}},             // no y
        {"c", {}},
    };
    for (const auto &row : rows) {
        Page p;
        p.parse(row.message);
        EXPECT_EQ(p.menus, row.menus) << row.message;
        EXPECT_TRUE(p.edits.empty());
    }
    Page none;
    none.d.menu = nullptr; // a back end without menus
    none.parse("c 0 1 1");
    EXPECT_TRUE(none.menus.empty());
}
