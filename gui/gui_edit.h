// The front ends' edit step: what a page edit becomes, written once for both
// formats. The page's gesture (begin, perform, end) is quantised through the
// parameter table and handed to the front end as a touch and a value.
#pragma once
#include "core/parameters.h"

#include <cstdint>

enum GuiEditStep : uint8_t { GUI_EDIT_BEGIN, GUI_EDIT_PERFORM, GUI_EDIT_END };

// What a front end does with the page's edits.
struct GuiEditTarget {
    void *user;
    // The parameter's current plain value: an edit carrying NaN keeps it.
    double (*current)(void *user, uint32_t index);
    // A gesture starts (`on`) or ends: VST 3 beginEdit/endEdit, LV2 touch.
    void (*touch)(void *user, const ParamEdit *edit, bool on);
    // The edited value: VST 3 performEdit, LV2 port write.
    void (*set)(void *user, const ParamEdit *edit);
    // The host's menu for a parameter at a point of the page, in CSS pixels
    // from its top-left corner; null where the format has none.
    void (*menu)(void *user, const ParamDesc *param, int32_t x, int32_t y);
};

// A back end's hold on its host while a call of its own may run an edit,
// and so the front end's destroy: the host is torn down once the outermost
// such call has returned, and the front end hears nothing after its destroy.
struct GuiEditFrames {
    int depth;   // such calls on the main thread's stack
    bool closed; // the front end destroyed the host; checked between its calls
};
// [main] A call that may run an edit begins.
inline void gui_frames_enter(GuiEditFrames *f) { ++f->depth; }
// [main] It ends: true when the host must be torn down now, as its last act.
inline bool gui_frames_leave(GuiEditFrames *f) { return --f->depth == 0 && f->closed; }
// [main] The front end's destroy: true when the host can be torn down at once.
inline bool gui_frames_close(GuiEditFrames *f)
{
    f->closed = true;
    return f->depth == 0;
}

// [main] Begin: touch on, then the value. Perform: the value. End: the value,
// then touch off. Nothing for an index that is no parameter. Stops before the
// next call into the front end once `*closed` is true: the plug-in host may
// close the editor from inside any of them, and the front end is gone then.
void gui_edit_step(const GuiEditTarget *t, GuiEditStep step, uint32_t index, float value, const bool *closed);

// [main] The page asks for a parameter's menu; nothing for an index that is
// no parameter, or where the front end has no menu.
void gui_edit_menu(const GuiEditTarget *t, uint32_t index, int32_t x, int32_t y);
