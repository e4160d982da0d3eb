// The editor's GUI host: one per open editor, with a GUI thread of its own,
// its window, the WebView2 browser showing the editor page, and deadlock-free
// synchronous calls between the plug-in host's UI thread (the creator
// thread) and the GUI thread. Both formats' editors use it. On platforms
// without WebView2, gui_host_create returns null: no editor is available.
#pragma once
#include <cstddef>
#include <cstdint>

struct GuiHost;

// Filled by the front end; copied into the host at creation.
struct GuiHostDesc {
    void *user;              // first argument of the three edit callbacks
    const char *format_name; // "vst3" or "lv2"; kept, not interpreted
    // The folder holding "WebView2Loader.dll" (system code page) and the one
    // holding "index.html" (UTF-8).
    const char *(*loader_dir)(void *user);
    const char *(*page_dir)(void *user);
    // [creator] The page's edit gesture for a parameter index and a plain
    // value; the result is ignored.
    void (*begin_edit)(void *user, uint32_t index, float value);
    void (*perform_edit)(void *user, uint32_t index, float value);
    void (*end_edit)(void *user, uint32_t index, float value);
};

// Optional receiver of the page's "m" texts (NUL-terminated UTF-8).
struct GuiTextHandler {
    void *user;
    void (*on_text)(GuiHost *host, void *user, const char *text);
};

// [creator] May block until the browser is ready or has failed. `child`:
// embed into `parent` (a window handle of the plug-in host); otherwise a
// top-level window and `parent` is null. Null when no editor can be shown;
// nothing is left behind then.
GuiHost *gui_host_create(bool child, void *parent, const GuiHostDesc *desc, const GuiTextHandler *text_handler,
                         int32_t width, int32_t height, size_t value_count);
// [creator] Blocks until the GUI thread has ended. Never from inside an edit
// callback.
void gui_host_destroy(GuiHost *host);
// [any but audio] Blocks until the value message is posted to the page.
// Indices at or above the value count are ignored.
void gui_host_set_value(GuiHost *host, uint32_t index, float value);
// [any but audio, not from inside an edit callback] Blocks until posted; the
// text must stay valid until the call returns.
void gui_host_post_text(GuiHost *host, const char *text);
// [creator] Nothing to do: the GUI thread runs its own message loop.
void gui_host_idle(GuiHost *host);
// [any] The GUI window (an HWND), or null once it is gone (a top-level editor
// the user closed).
void *gui_host_window(GuiHost *host);

// A path in the system code page ("ansi") converted to UTF-8 or back, as the
// descriptor's folders want them; null if it cannot be converted (or on
// platforms without code pages). The caller frees it.
char *gui_host_path_to_utf8(const char *ansi);
char *gui_host_path_from_utf8(const char *utf8);
