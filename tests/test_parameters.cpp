#include "core/parameters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

std::string text_of(uint32_t id, double normalized)
{
    char16_t buf[128];
    param_value_to_text(param_by_id(id), normalized, buf, 128);
    std::string s;
    for (const char16_t *p = buf; *p; ++p)
        s += static_cast<char>(*p);
    return s;
}

double value_of(uint32_t id, const char *text)
{
    std::u16string t(text, text + std::char_traits<char>::length(text));
    return param_text_to_value(param_by_id(id), t.c_str());
}

const uint32_t kCutoff = 1784049613u, kAmt = 394330366u, kSpeed = 793359101u, kMod = 558397322u;

} // namespace

TEST(Parameters, TableIdsAreTheHashesOfTheStateKeys)
{
    EXPECT_EQ(param_sdbm_id("cutoff"), kCutoff);
    EXPECT_EQ(param_sdbm_id("lfo_amt"), kAmt);
    EXPECT_EQ(param_sdbm_id("lfo_speed"), kSpeed);
    for (uint32_t i = 0; i < PARAM_COUNT; ++i) {
        const ParamDesc *d = &k_params[i];
        EXPECT_EQ(d->index, i);
        EXPECT_EQ(param_by_id(d->vst3_id), d);
        EXPECT_EQ(d->flags, PARAM_FLAG_INTEGER);
        EXPECT_EQ(d->lv2_port, i + 2);
        if (!d->is_output) {
            EXPECT_EQ(param_sdbm_id(d->key), d->vst3_id);
        }
    }
    EXPECT_EQ(param_by_id(0), nullptr);
    EXPECT_EQ(param_by_id(kCutoff + 1), nullptr);
    EXPECT_DOUBLE_EQ(param_plain_to_norm(param_by_id(kSpeed), 7.0), 0.4666666666666667);
    EXPECT_DOUBLE_EQ(param_plain_to_norm(param_by_id(kMod), 248.0), 0.9725490196078431);
}

TEST(Parameters, NormalisedAndPlainWithoutRoundingOrClamping)
{
    EXPECT_DOUBLE_EQ(param_norm_to_plain(param_by_id(kCutoff), 0.5), 7.5);
    EXPECT_DOUBLE_EQ(param_norm_to_plain(param_by_id(kSpeed), 1.0), 15.0);
    EXPECT_DOUBLE_EQ(param_norm_to_plain(param_by_id(kSpeed), 0.0), 0.0);
    EXPECT_DOUBLE_EQ(param_norm_to_plain(param_by_id(kAmt), 2.0), 30.0);
    EXPECT_DOUBLE_EQ(param_plain_to_norm(param_by_id(kMod), 255.0), 1.0);
}

TEST(Parameters, QuantiseRoundsHalfAwayFromZeroAndClamps)
{
    const ParamDesc *c = param_by_id(kCutoff);
    EXPECT_EQ(param_quantize(c, 7.5), 8.0);
    EXPECT_EQ(param_quantize(c, 2.5), 3.0);
    EXPECT_EQ(param_quantize(c, 7.49), 7.0);
    EXPECT_EQ(param_quantize(c, -0.4), 0.0);
    EXPECT_EQ(param_quantize(c, -3.0), 0.0);
    EXPECT_EQ(param_quantize(c, 15.5), 15.0);
    // Values no integer type could hold still clamp to the nearer end.
    EXPECT_EQ(param_quantize(c, 1e10), 15.0);
    EXPECT_EQ(param_quantize(c, std::numeric_limits<double>::infinity()), 15.0);
    EXPECT_EQ(param_quantize(c, -std::numeric_limits<double>::infinity()), 0.0);
    EXPECT_EQ(param_quantize(c, std::nan("")), 0.0);
    EXPECT_EQ(param_quantize(param_by_id(kMod), 254.5), 255.0);
    EXPECT_EQ(param_quantize_input(PARAM_LFO_SPEED, 7.5f), 8.0f);
    for (uint32_t bit : {1u, 2u}) {
        const ParamDesc toggle = {0, 0.0, 1.0, 0.0, bit, 0.0, 1, "t", "t", "t", 0, 1, false, ""};
        EXPECT_EQ(param_quantize(&toggle, 0.5), 1.0);
        EXPECT_EQ(param_quantize(&toggle, 0.49), 0.0);
    }
}

TEST(Parameters, TextsTruncateToTwoDecimals)
{
    EXPECT_EQ(text_of(kCutoff, 0.5), "7.50");
    EXPECT_EQ(text_of(kCutoff, 0.02), "0.29"); // plain 0.3
    EXPECT_EQ(text_of(kSpeed, 7.0 / 15.0), "7.00");
    EXPECT_EQ(text_of(kMod, 248.0 / 255.0), "248.00");
    EXPECT_EQ(text_of(kCutoff, -0.2), "-3.00");
    for (int k = 0; k <= 15; ++k)
        EXPECT_EQ(text_of(kAmt, k / 15.0), std::to_string(k) + ".00") << k;
    for (int k = 0; k <= 255; ++k)
        EXPECT_EQ(text_of(kMod, k / 255.0), std::to_string(k) + ".00") << k;
}

TEST(Parameters, TextsStayInsideTheBuffer)
{
    char16_t buf[8];
    for (char16_t &c : buf)
        c = u'#';
    param_value_to_text(param_by_id(kMod), 1e300, buf, 6);
    EXPECT_EQ(buf[5], 0);
    EXPECT_EQ(buf[6], u'#');
    // Near the largest double the digit loop still ends.
    char16_t huge[400];
    param_value_to_text(param_by_id(kMod), 7e305, huge, 400);
    EXPECT_EQ(huge[0], u'1');
    EXPECT_EQ(huge[309], u'.');
    char16_t big[128];
    param_value_to_text(param_by_id(kMod), std::numeric_limits<double>::infinity(), big, 128);
    EXPECT_EQ(big[0], u'i');
    param_value_to_text(param_by_id(kMod), std::nan(""), big, 128);
    EXPECT_EQ(big[0], u'n');
}

TEST(Parameters, TextToValueReadsLeadingDigitsOnly)
{
    EXPECT_DOUBLE_EQ(value_of(kCutoff, "7.9"), 7.0 / 15.0);
    EXPECT_DOUBLE_EQ(value_of(kCutoff, "20"), 20.0 / 15.0);
    EXPECT_DOUBLE_EQ(value_of(kCutoff, "-3"), -0.2);
    EXPECT_EQ(param_quantize(param_by_id(kCutoff), param_norm_to_plain(param_by_id(kCutoff), -0.2)), 0.0);
    EXPECT_DOUBLE_EQ(value_of(kCutoff, "abc"), 0.0);
    EXPECT_DOUBLE_EQ(value_of(kCutoff, ""), 0.0);
    EXPECT_DOUBLE_EQ(value_of(kMod, "203 units"), 203.0 / 255.0);
}
