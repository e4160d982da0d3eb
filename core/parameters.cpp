#include "parameters.h"

#include <cmath>

const ParamDesc *param_by_id(uint32_t id)
{
    for (const ParamDesc &d : k_params)
        if (d.vst3_id == id)
            return &d;
    return nullptr;
}

double param_norm_to_plain(const ParamDesc *d, double normalized)
{
    if (d->flags & PARAM_FLAG_LOG)
        return d->min * std::exp(normalized * d->log_factor);
    return d->min + (d->max - d->min) * normalized;
}

double param_plain_to_norm(const ParamDesc *d, double plain)
{
    if (d->flags & PARAM_FLAG_LOG)
        return std::log(plain / d->min) / d->log_factor;
    return (plain - d->min) / (d->max - d->min);
}

double param_quantize(const ParamDesc *d, double plain)
{
    double v = plain;
    if (std::isnan(v))
        return d->min;
    if (d->flags & PARAM_FLAGS_TOGGLE)
        v = v >= 0.5 ? 1.0 : 0.0;
    else if (d->flags & PARAM_FLAG_INTEGER)
        v = v >= 0.0 ? std::trunc(v + 0.5) : std::trunc(v - 0.5);
    if (v < d->min)
        v = d->min;
    if (v > d->max)
        v = d->max;
    return v;
}

float param_quantize_input(uint32_t index, float plain)
{
    return static_cast<float>(param_quantize(&k_params[index < PARAM_INPUT_COUNT ? index : 0], plain));
}

namespace {

struct TextOut {
    char16_t *p;
    size_t left; // room for characters, the terminator excluded
    void put(char16_t c)
    {
        if (left) {
            *p++ = c;
            --left;
        }
    }
    void put(const char *s)
    {
        while (*s)
            put(static_cast<char16_t>(*s++));
    }
};

char16_t digit_char(double d)
{
    // Rounding noise must never yield a character outside 0..9.
    if (!(d > 0.0))
        return u'0';
    if (d > 9.0)
        return u'9';
    return static_cast<char16_t>(u'0' + static_cast<int>(d));
}

} // namespace

void param_value_to_text(const ParamDesc *d, double normalized, char16_t *out, size_t cap)
{
    if (!out || cap == 0)
        return;
    TextOut t{out, cap - 1};
    double v = param_norm_to_plain(d, normalized);
    if (std::isnan(v)) {
        t.put("nan");
    } else {
        if (v < 0) {
            t.put(u'-');
            v = -v;
        }
        if (std::isinf(v)) {
            t.put("inf");
        } else {
            if (v < 1.0) {
                t.put(u'0');
            } else {
                // Stops before overflowing to infinity, which would never
                // divide back below 1 for values near the double's maximum.
                double e = 1.0;
                while (e <= v && e <= 1e307)
                    e *= 10.0;
                if (e > v)
                    e /= 10.0;
                for (; e >= 1.0; e /= 10.0) {
                    double digit = std::trunc(v / e);
                    t.put(digit_char(digit));
                    v -= digit * e;
                }
            }
            t.put(u'.');
            double d1 = std::trunc(v / 0.1);
            double d2 = std::trunc((v - d1 * 0.1) / 0.010000000000000002);
            t.put(digit_char(d1));
            t.put(digit_char(d2));
        }
    }
    *t.p = 0;
}

double param_text_to_value(const ParamDesc *d, const char16_t *text)
{
    double v = 0.0;
    bool negative = false;
    if (text) {
        if (*text == u'-') {
            negative = true;
            ++text;
        }
        for (; *text >= u'0' && *text <= u'9'; ++text)
            v = v * 10.0 + static_cast<double>(*text - u'0');
    }
    return param_plain_to_norm(d, negative ? -v : v);
}

bool param_edit(uint32_t index, double value, double current, ParamEdit *out)
{
    if (index >= PARAM_COUNT || !out)
        return false;
    const ParamDesc *d = &k_params[index];
    out->desc = d;
    out->plain = param_quantize(d, std::isnan(value) ? current : value);
    out->normalized = param_plain_to_norm(d, out->plain);
    out->port_value = static_cast<float>(out->plain);
    return true;
}
