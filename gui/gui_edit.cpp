#include "gui_edit.h"

void gui_edit_step(const GuiEditTarget *t, GuiEditStep step, uint32_t index, float value, const bool *closed)
{
    const GuiEditTarget target = *t; // the front end's copy may go with it
    ParamEdit edit;
    if (index >= PARAM_COUNT || !param_edit(index, value, target.current(target.user, index), &edit))
        return;
    if (step == GUI_EDIT_BEGIN) {
        target.touch(target.user, &edit, true);
        if (*closed)
            return;
    }
    target.set(target.user, &edit);
    if (step == GUI_EDIT_END && !*closed)
        target.touch(target.user, &edit, false);
}

void gui_edit_menu(const GuiEditTarget *t, uint32_t index, int32_t x, int32_t y)
{
    if (index < PARAM_COUNT && t->menu)
        t->menu(t->user, &k_params[index], x, y);
}
