// The editor view handed to hosts by createView("editor"): an IPlugView that
// embeds the web editor (a GuiHost) into a host window, with the content
// scale interface hosts on scaled displays use.
#pragma once
#include "gui/gui_edit.h"
#include "vst3_abi.h"

struct GuiHost;
struct Vst3Controller;

struct EditorView {
    IPlugView view; // the object's address
    IPlugViewContentScaleSupport scale_support;
    IEventHandler fd_handler;   // Linux: the host's run loop calls it when the editor has news
    int32_t ref_count;          // 1 at creation: the host's reference
    IPlugFrame *frame;          // stored, not counted
    GuiHost *gui;               // while attached
    Vst3Controller *controller; // not counted; null once the controller is gone
    uintptr_t timer_id;         // Windows: the idle timer on the host's window, while attached
    IRunLoop *run_loop;         // Linux: the host's run loop (one reference), while attached
    void *parent;               // the host's window, while attached
    float scale;                // the host's content scale factor, 1 by default
    int32_t host_width;         // the size the host last learned from getSize or gave onSize; 0: none
    int32_t host_height;
    bool resize_wanted; // the host's window is not the editor's size: ask once there is a frame
    char *page_dir;     // the bundle's Resources folder in UTF-8, while attached
};

// [main] A new view with one reference, or null without memory.
EditorView *view_create(Vst3Controller *c);
// [main] The controller is going away: close the editor and forget it.
void view_detach(EditorView *v);
// [main] Where the page's edits go: the controller's values and the host's
// component handler.
GuiEditTarget view_edit_target(EditorView *v);
// [main] Shows a host-side value in the view's editor, if one is open. May
// block until the GUI thread has posted it.
void view_show_value(EditorView *v, uint32_t index, float value);
