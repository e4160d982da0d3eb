// Where paths are bytes without a code page (everywhere but Windows): the
// page and the editor take them as they are.
#include "gui_host.h"

#include <cstdlib>
#include <cstring>

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
