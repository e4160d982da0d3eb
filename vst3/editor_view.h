// The editor view handed to hosts by createView("editor"): an IPlugView that
// embeds the web editor into a host window.
#pragma once
#include "vst3_abi.h"

struct Vst3Controller;

struct EditorView {
    IPlugView view;
    int32_t ref_count;          // 1 at creation: the host's reference
    IPlugFrame *frame;          // stored, not counted
    Vst3Controller *controller; // not counted; null once the controller is gone
};

constexpr int32_t k_view_width = 800;
constexpr int32_t k_view_height = 600;

// [main] A new view with one reference, or null without memory.
EditorView *view_create(Vst3Controller *c);
// [main] The controller is going away: forget it.
void view_detach(EditorView *v);

// [main] The page's edit gesture for a parameter index 0..3 and a plain
// value; `user` is the view. Stores the value in the controller and reports
// it through the host's component handler.
void view_begin_edit(void *user, uint32_t index, float value);
void view_perform_edit(void *user, uint32_t index, float value);
void view_end_edit(void *user, uint32_t index, float value);
