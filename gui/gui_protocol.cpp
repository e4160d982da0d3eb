#include "gui_protocol.h"

#include "core/float_bits.h"

#include <cstdlib>
#include <cstring>

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void put_hex8(char *out, uint32_t v)
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 7; i >= 0; --i, v >>= 4)
        out[i] = digits[v & 15];
}

} // namespace

bool gui_protocol_scan_hex(const char **p, uint32_t *out)
{
    const char *s = *p;
    while (is_space(*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && hex_digit(s[2]) >= 0)
        s += 2;
    if (hex_digit(*s) < 0)
        return false;
    // Like strtoul: saturates instead of wrapping, then keeps the low 32 bits.
    uint64_t v = 0;
    bool saturated = false;
    for (int d; (d = hex_digit(*s)) >= 0; ++s) {
        if (v > (UINT64_MAX >> 4))
            saturated = true;
        v = (v << 4) | static_cast<uint64_t>(d);
    }
    if (saturated)
        v = UINT64_MAX;
    else if (negative)
        v = 0 - v;
    *out = static_cast<uint32_t>(v);
    *p = s;
    return true;
}

void gui_protocol_format_value(char out[k_gui_value_message_len], uint32_t index, float value)
{
    out[0] = 's';
    out[1] = ' ';
    put_hex8(out + 2, index);
    out[10] = ' ';
    put_hex8(out + 11, float_bits(value));
    out[19] = 0;
}

void gui_protocol_send_value(GuiDispatch *d, uint32_t index, float value)
{
    if (index >= d->value_count)
        return;
    d->values[index] = value;
    char text[k_gui_value_message_len];
    gui_protocol_format_value(text, index, value);
    d->post(d->ctx, text);
}

long gui_protocol_utf8_to_utf16(const char *utf8, char16_t *out, size_t cap)
{
    const unsigned char *s = reinterpret_cast<const unsigned char *>(utf8);
    size_t n = 0;
    while (*s) {
        uint32_t c = *s++;
        int extra = 0;
        uint32_t min = 0;
        if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, min = 0x10000, c &= 0x07;
        } else if (c >= 0xE0) {
            if (c > 0xEF)
                return -1;
            extra = 2, min = 0x800, c &= 0x0F;
        } else if (c >= 0xC2) {
            extra = 1, min = 0x80, c &= 0x1F;
        } else if (c >= 0x80) {
            return -1; // a continuation byte or an overlong lead
        }
        for (int i = 0; i < extra; ++i, ++s) {
            if ((*s & 0xC0) != 0x80)
                return -1;
            c = (c << 6) | (*s & 0x3Fu);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return -1;
        const size_t units = c >= 0x10000 ? 2 : 1;
        if (out) {
            if (n + units >= cap)
                return -1;
            if (units == 2) {
                out[n] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                out[n + 1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                out[n] = static_cast<char16_t>(c);
            }
        }
        n += units;
    }
    if (out) {
        if (n >= cap)
            return -1;
        out[n] = 0;
    }
    return static_cast<long>(n);
}

bool gui_protocol_send_text(GuiDispatch *d, const char *utf8)
{
    if (!utf8 || gui_protocol_utf8_to_utf16(utf8, nullptr, 0) < 0)
        return false;
    const size_t len = std::strlen(utf8);
    char *text = static_cast<char *>(std::malloc(len + 3)); // "m ", the text, NUL
    if (!text)
        return false;
    text[0] = 'm';
    text[1] = ' ';
    std::memcpy(text + 2, utf8, len + 1);
    d->post(d->ctx, text);
    std::free(text);
    return true;
}

void gui_protocol_parse(GuiDispatch *d, const char *text)
{
    if (!text || !text[0])
        return;
    // The second character separates and is skipped unexamined; a message of
    // one letter has no arguments (and nothing past its end is read).
    const char *args = text[1] ? text + 2 : text + 1;
    switch (text[0]) {
    case 'b':
    case 's':
    case 'e': {
        uint32_t index = 0, bits = 0;
        if (!gui_protocol_scan_hex(&args, &index) || !gui_protocol_scan_hex(&args, &bits) || index >= d->value_count)
            return;
        const float value = float_from_bits(bits);
        d->values[index] = value;
        d->edit(d->ctx, text[0] == 'b' ? GUI_EDIT_BEGIN : (text[0] == 's' ? GUI_EDIT_PERFORM : GUI_EDIT_END), index,
                value);
        return;
    }
    case 'c': {
        uint32_t index = 0, x = 0, y = 0;
        if (!gui_protocol_scan_hex(&args, &index) || !gui_protocol_scan_hex(&args, &x) ||
            !gui_protocol_scan_hex(&args, &y) || index >= d->value_count || !d->menu)
            return;
        // A point off the page's top or left edge is taken as its edge.
        const auto coordinate = [](uint32_t v) { return v > 0x7FFFFFFFu ? 0 : static_cast<int32_t>(v); };
        d->menu(d->ctx, index, coordinate(x), coordinate(y));
        return;
    }
    case 'g':
        for (size_t i = 0; i < d->value_count; ++i)
            gui_protocol_send_value(d, static_cast<uint32_t>(i), d->values[i]);
        return;
    case 'm':
        if (d->on_text)
            d->on_text(d->ctx, args);
        return;
    default: return;
    }
}
