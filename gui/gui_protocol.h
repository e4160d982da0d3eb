// The text protocol between the editor page and the plug-in side: the
// page-message parser, the value cache, and the value and text messages sent
// to the page. It knows no platform: a back end hands it a context and the
// calls that carry edits to the front end and texts to the page.
#pragma once
#include "gui_edit.h"

#include <cstddef>
#include <cstdint>

// What the parser works on; one per editor, filled by the back end.
struct GuiDispatch {
    void *ctx; // the first argument of every call below
    // Carries one page edit towards the front end.
    void (*edit)(void *ctx, GuiEditStep step, uint32_t index, float value);
    // Carries the page's request for a parameter's menu at a point (CSS pixels).
    void (*menu)(void *ctx, uint32_t index, int32_t x, int32_t y);
    void (*on_text)(void *ctx, const char *text); // null: "m" messages are ignored
    float *values;                                // the value cache: value_count entries, 0.0 until stored
    size_t value_count;
    // Posts one NUL-terminated UTF-8 text to the page; failures are not reported.
    void (*post)(void *ctx, const char *text);
};

// Room for "s %08x %08x" and its NUL.
constexpr size_t k_gui_value_message_len = 20;

// On the thread that runs the page (the back end's), all of them.
// Acts on one NUL-terminated UTF-8 page message: "b", "s", "e" with
// "%x %x" (index, value bits) cache the value and forward the edit; "c" with
// "%x %x %x" (index, x, y) asks for the parameter's menu at that point; "g"
// sends every cached value; "m" hands the text to on_text. Anything malformed
// or unknown is ignored.
void gui_protocol_parse(GuiDispatch *d, const char *text);
// Stores the value in the cache and posts "s %08x %08x"; an index at or
// above value_count is ignored.
void gui_protocol_send_value(GuiDispatch *d, uint32_t index, float value);
// Posts "m " and the text; text that is not valid UTF-8 (or no memory)
// sends nothing. True when posted.
bool gui_protocol_send_text(GuiDispatch *d, const char *utf8);

// "s %08x %08x" with lower-case digits, NUL-terminated.
void gui_protocol_format_value(char out[k_gui_value_message_len], uint32_t index, float value);
// Reads one number the way scanf's %x does: leading white space, an optional
// sign, an optional 0x, hexadecimal digits; the low 32 bits are kept. Advances
// *p past it; false (and *p unchanged) when no digit is found.
bool gui_protocol_scan_hex(const char **p, uint32_t *out);
// Strict UTF-8 to UTF-16 (no overlong forms, surrogates or code points past
// U+10FFFF), for back ends whose browser takes UTF-16; with out null, it
// checks the text. Returns the units written, NUL excluded, or -1 for invalid input
// or too small a buffer; with out null, only counts.
long gui_protocol_utf8_to_utf16(const char *utf8, char16_t *out, size_t cap);
