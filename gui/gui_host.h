// The editor's GUI host: one per open editor. It shows the editor page in a
// browser inside the plug-in host's window (or a window of its own), carries
// the page's edits to the front end on the plug-in host's main thread, and
// values from the front end to the page. Each platform has a back end; where
// none can show an editor, gui_host_create returns null and the host shows
// its generic controls.
#pragma once
#include "gui_edit.h"

#include <cstddef>
#include <cstdint>

struct GuiHost;

// The editor's size at a content scale of 1, in pixels.
constexpr int32_t k_editor_width = 800;
constexpr int32_t k_editor_height = 600;

// Filled by the front end; copied into the host at creation.
struct GuiHostDesc {
    const char *format_name; // "vst3" or "lv2"; kept, not interpreted
    // [main] The folder holding the browser's loader (Windows: system code
    // page) and the one holding "index.html" (UTF-8); `user` is edit.user.
    const char *(*loader_dir)(void *user);
    const char *(*page_dir)(void *user);
    // [main] Where the page's edits go.
    GuiEditTarget edit;
    // [main] One line on why no editor could be opened; null: the system's
    // debug output (standard error where there is no such thing).
    void (*log)(void *user, const char *line);
};

// Optional receiver of the page's "m" texts (NUL-terminated UTF-8).
struct GuiTextHandler {
    void *user;
    void (*on_text)(GuiHost *host, void *user, const char *text);
};

// [main] May block until the browser is ready or has failed. `child`: embed
// into `parent` (a window of the plug-in host); otherwise a window of its own
// and `parent` is null. Null when no editor can be shown, after one log line
// saying why; nothing is left behind then.
GuiHost *gui_host_create(bool child, void *parent, const GuiHostDesc *desc, const GuiTextHandler *text_handler,
                         int32_t width, int32_t height, size_t value_count);
// [main] Blocks until the editor is gone. From inside an edit call it returns
// at once: the front end hears no more edits, and the editor goes once the
// call has returned.
void gui_host_destroy(GuiHost *host);
// [any but audio] Blocks until the value message is on its way to the page.
// Indices at or above the value count are ignored.
void gui_host_set_value(GuiHost *host, uint32_t index, float value);
// [any but audio] Blocks until posted; the text must stay valid until the call
// returns. Not from inside an edit call.
void gui_host_post_text(GuiHost *host, const char *text);
// [main] Never blocks, but for a moment to reap an editor program that has
// ended. Lets a back end without a thread of its own do its work; false once
// the editor is gone (a window of its own the user closed, a program that ended).
bool gui_host_idle(GuiHost *host);
// [any] The editor's window, or null once it is gone or going.
void *gui_host_window(GuiHost *host);
// [main] Never blocks. A descriptor for the plug-in host's run loop to watch:
// when it is readable, call gui_host_idle. -1 where the back end needs no
// watching (it runs a thread of its own).
int gui_host_fd(GuiHost *host);
// [main] May block briefly. Resizes the editor's window to `width` x `height`
// pixels, the page drawn at `scale`.
void gui_host_set_size(GuiHost *host, int32_t width, int32_t height, float scale);
// [main] Never blocks. The editor window's size; false without a window.
bool gui_host_size(GuiHost *host, int32_t *width, int32_t *height);

// A path in the system code page ("ansi") converted to UTF-8 or back, as the
// descriptor's folders want them; null if it cannot be converted. Where paths
// have no code page, a copy. The caller frees it.
char *gui_host_path_to_utf8(const char *ansi);
char *gui_host_path_from_utf8(const char *utf8);
