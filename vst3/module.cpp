// Module-wide state: the load count and the two folders the editor reads
// its files from.
#include "vst3_module.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Serialised by the system loader (DllMain) or by the host (ModuleEntry).
int32_t g_load_count = 0;
char *g_module_folder = nullptr;
char *g_resources_folder = nullptr;

char *dup_string(const char *s)
{
    size_t n = std::strlen(s) + 1;
    char *p = static_cast<char *>(std::malloc(n));
    if (p)
        std::memcpy(p, s, n);
    return p;
}

} // namespace

const char *module_folder(void) { return g_module_folder; }
const char *module_resources_folder(void) { return g_resources_folder; }
int32_t module_load_count(void) { return g_load_count; }

bool module_split_folders(const char *library_path, char sep, char **folder, char **resources)
{
    if (!library_path || !folder || !resources)
        return false;
    char *path = dup_string(library_path);
    if (!path)
        return false;
    char *cut = std::strrchr(path, sep);
    if (!cut) {
        std::free(path);
        return false;
    }
    *cut = 0;
    char *mod = dup_string(path);
    if (!mod) {
        std::free(path);
        return false;
    }
    // The parent is the bundle's Contents folder in the standard layout.
    cut = std::strrchr(path, sep);
    if (cut)
        *cut = 0;
    size_t cap = std::strlen(path) + 12;
    char *res = static_cast<char *>(std::malloc(cap));
    if (!res) {
        std::free(mod);
        std::free(path);
        return false;
    }
    std::snprintf(res, cap, "%s%cResources", path, sep);
    std::free(path);
    *folder = mod;
    *resources = res;
    return true;
}

char *module_query_path(module_path_query_fn query, void *ctx)
{
    uint32_t cap = 260;
    char *buf = nullptr;
    for (;;) {
        char *grown = static_cast<char *>(std::realloc(buf, cap));
        if (!grown) {
            std::free(buf);
            return nullptr;
        }
        buf = grown;
        uint32_t n = query(ctx, buf, cap);
        if (n == 0) {
            std::free(buf);
            return nullptr;
        }
        if (n < cap) {
            buf[n] = 0;
            return buf;
        }
        // The answer filled the buffer, so it may have been cut.
        if (cap > 0x40000000u) {
            std::free(buf);
            return nullptr;
        }
        cap *= 2;
    }
}

bool module_attach(const char *library_path)
{
    if (g_load_count > 0) {
        ++g_load_count;
        return true;
    }
#if defined(_WIN32)
    const char sep = '\\';
#else
    const char sep = '/';
#endif
    if (!module_split_folders(library_path, sep, &g_module_folder, &g_resources_folder))
        return false;
    g_load_count = 1;
    return true;
}

void module_detach(void)
{
    if (g_load_count <= 0)
        return;
    if (--g_load_count == 0) {
        std::free(g_module_folder);
        std::free(g_resources_folder);
        g_module_folder = nullptr;
        g_resources_folder = nullptr;
    }
}
