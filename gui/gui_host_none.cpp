// Platforms without an editor back end: the host reports that at creation,
// and the other entries have nothing to act on.
#include "gui_host.h"

GuiHost *gui_host_create(bool, void *, const GuiHostDesc *, const GuiTextHandler *, int32_t, int32_t, size_t)
{
    return nullptr;
}
void gui_host_destroy(GuiHost *) {}
void gui_host_set_value(GuiHost *, uint32_t, float) {}
void gui_host_post_text(GuiHost *, const char *) {}
bool gui_host_idle(GuiHost *) { return false; }
void *gui_host_window(GuiHost *) { return nullptr; }
int gui_host_fd(GuiHost *) { return -1; }
void gui_host_set_size(GuiHost *, int32_t, int32_t, float) {}
bool gui_host_size(GuiHost *, int32_t *, int32_t *) { return false; }
