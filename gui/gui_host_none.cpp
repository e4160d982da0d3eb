// Platforms without WebView2 have no editor: the host reports that at
// creation, and the other entries have nothing to act on.
#include "gui_host.h"

GuiHost *gui_host_create(bool, void *, const GuiHostDesc *, const GuiTextHandler *, int32_t, int32_t, size_t)
{
    return nullptr;
}
void gui_host_destroy(GuiHost *) {}
void gui_host_set_value(GuiHost *, uint32_t, float) {}
void gui_host_post_text(GuiHost *, const char *) {}
void gui_host_idle(GuiHost *) {}
void *gui_host_window(GuiHost *) { return nullptr; }
char *gui_host_path_to_utf8(const char *) { return nullptr; }
char *gui_host_path_from_utf8(const char *) { return nullptr; }
