// The text protocol between the editor page and the plug-in side: the
// page-message parser, the value cache, and the value and text messages sent
// to the page. Portable: the GUI host supplies the one platform call, the
// post of a UTF-16 text to the page.
#pragma once
#include <cstddef>
#include <cstdint>

struct GuiHost;

// What the parser works on; one per GuiHost, filled at its creation.
struct GuiDispatch {
    GuiHost *user; // the host itself
    const char *format_name;
    const char *(*loader_dir)(void *user);
    const char *(*page_dir)(void *user);
    // Forward one edit to the plug-in side; the result is not used.
    void (*begin_edit)(GuiHost *host, uint32_t index, float value);
    void (*perform_edit)(GuiHost *host, uint32_t index, float value);
    void (*end_edit)(GuiHost *host, uint32_t index, float value);
    void *text_user;
    void (*on_text)(GuiHost *host, void *user, const char *text); // null: "m" messages are ignored
    float *values; // the value cache: value_count entries, 0.0 until stored
    size_t value_count;
    // Posts one NUL-terminated UTF-16 text to the page; failures are not reported.
    void (*post)(GuiHost *host, const char16_t *text);
};

// Room for "s %08x %08x" and its NUL.
constexpr size_t k_gui_value_message_len = 20;

// [gui] Acts on one NUL-terminated UTF-8 page message: "b", "s", "e" with
// "%x %x" (index, value bits) cache the value and forward the edit; "g" sends
// every cached value; "m" hands the text to on_text. Anything malformed or
// unknown is ignored.
void gui_protocol_parse(GuiDispatch *d, const char *text);
// [gui] Stores the value in the cache and posts "s %08x %08x"; an index at or
// above value_count is ignored.
void gui_protocol_send_value(GuiDispatch *d, uint32_t index, float value);
// [gui] Posts "m " and the text; text that is not valid UTF-8 (or no memory)
// sends nothing. True when posted.
bool gui_protocol_send_text(GuiDispatch *d, const char *utf8);

// "s %08x %08x" with lower-case digits, NUL-terminated.
void gui_protocol_format_value(char16_t out[k_gui_value_message_len], uint32_t index, float value);
// Reads one number the way scanf's %x does: leading white space, an optional
// sign, an optional 0x, hexadecimal digits; the low 32 bits are kept. Advances
// *p past it; false (and *p unchanged) when no digit is found.
bool gui_protocol_scan_hex(const char **p, uint32_t *out);
// Strict UTF-8 to UTF-16 (no overlong forms, surrogates or code points past
// U+10FFFF). Returns the units written, NUL excluded, or -1 for invalid input
// or too small a buffer; with out null, only counts.
long gui_protocol_utf8_to_utf16(const char *utf8, char16_t *out, size_t cap);
