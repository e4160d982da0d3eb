// Platforms without an editor back end: the host reports that at creation,
// and the other entries have nothing to act on.
#include "gui_host.h"

#include <cstdlib>
#include <cstring>

GuiHost *gui_host_create(bool, void *, const GuiHostDesc *, const GuiTextHandler *, int32_t, int32_t, size_t)
{
    return nullptr;
}
void gui_host_destroy(GuiHost *) {}
void gui_host_set_value(GuiHost *, uint32_t, float) {}
void gui_host_post_text(GuiHost *, const char *) {}
bool gui_host_idle(GuiHost *) { return false; }
void *gui_host_window(GuiHost *) { return nullptr; }

namespace {

char *copy_path(const char *path)
{
    if (!path)
        return nullptr;
    const size_t n = std::strlen(path) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy)
        std::memcpy(copy, path, n);
    return copy;
}

} // namespace

char *gui_host_path_to_utf8(const char *ansi) { return copy_path(ansi); }
char *gui_host_path_from_utf8(const char *utf8) { return copy_path(utf8); }
