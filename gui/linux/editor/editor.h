// The Linux editor program: the editor page in WebKitGTK, in a window of its
// own or reparented into the plug-in host's X11 window, talking to the plug-in
// over the socket pair on descriptor 3. One process per open editor; all of it
// runs on the program's one GTK thread.
#pragma once
#include "zfen_product.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#define EDITOR_PROGRAM ZFEN_PLUGIN_ID "-editor"

// Largest message either way, in bytes.
constexpr size_t k_editor_message_max = 64 * 1024;

struct Editor {
    int fd;                // the socket to the plug-in
    unsigned long parent;  // the host's X11 window; 0: a top-level window
    std::string page_path; // absolute
    std::string page_uri;
    GMainLoop *loop;
    GtkWidget *window;
    WebKitWebView *view;
    bool page_loaded; // the current document has finished loading
    bool ready_sent;
    int exit_code;
    std::vector<std::string> to_page;  // texts waiting for the page to load
    std::deque<std::string> to_plugin; // messages the socket would not take yet
    guint write_watch;
    int openers; // opener processes not yet reaped
};

// Sizes and scale as the command line and "z" give them.
struct EditorSize {
    int width, height; // physical pixels
    double scale;      // the page's zoom
};

// Parses "<width> <height> <scale>" split into three texts; false when any is
// malformed or out of range.
bool editor_parse_size(const char *width, const char *height, const char *scale, EditorSize *out);
// One line on standard error, prefixed with the program's name.
void editor_log(const char *format, ...) G_GNUC_PRINTF(1, 2);
// Ends the program's main loop with this exit code (the first one wins).
void editor_quit(Editor *e, int exit_code);

// ---- the socket (editor_link.cpp) --------------------------------------------------------
// Starts reading the plug-in's messages from the main loop.
void editor_link_start(Editor *e);
// Sends one message: `kind` and then `text` (may be empty). Never blocks: what
// the socket will not take yet is sent when it will.
void editor_link_send(Editor *e, char kind, const char *text, size_t length);
// Waits at most `timeout_ms` for what is still queued to go out.
void editor_link_flush(Editor *e, int timeout_ms);

// ---- the web view (editor_view.cpp) ----------------------------------------------------------
// Creates the window and the web view, and starts loading the page; false
// (with one line logged) when WebKit cannot be set up.
bool editor_view_create(Editor *e, const EditorSize &size);
// Posts a text to the page as a string web message (queued until it has loaded).
void editor_view_post(Editor *e, const char *text, size_t length);
// Resizes the window (physical pixels) and sets the page's zoom.
void editor_view_resize(Editor *e, const EditorSize &size);
// `text` as a JavaScript string literal, safe anywhere in a script; false if
// it is not valid UTF-8 or holds a NUL.
bool editor_js_string(const char *text, size_t length, std::string *out);
// Whether a page may hand this address to the desktop's opener: http, https
// or mailto, and no quotes or control characters.
bool editor_may_open_outside(const char *uri);
