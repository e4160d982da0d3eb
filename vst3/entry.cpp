// The library's entry points: GetPluginFactory on Windows, where the
// system's loader calls DllMain without an export; ModuleEntry, ModuleExit
// and GetPluginFactory on Linux. Nothing else is exported (vornic-zfen.def,
// vornic-zfen.map).
#include "vst3_module.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>

namespace {

uint32_t query_module_path(void *ctx, char *buf, uint32_t cap)
{
    return GetModuleFileNameA(static_cast<HMODULE>(ctx), buf, cap);
}

// Light work only: this runs under the loader lock.
BOOL attach_process(void)
{
    if (module_load_count() > 0)
        return module_attach(nullptr) ? TRUE : FALSE;
    HMODULE self = nullptr;
    // By address, without raising the module's reference count.
    const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    static_assert((GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 6);
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&query_module_path), &self))
        return FALSE;
    char *path = module_query_path(query_module_path, self);
    if (!path)
        return FALSE;
    bool ok = module_attach(path);
    std::free(path);
    return ok ? TRUE : FALSE;
}

} // namespace

// [loader] Runs under the loader lock; light work only, never blocks on others.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH: return attach_process();
    case DLL_PROCESS_DETACH: module_detach(); return TRUE;
    default: return TRUE;
    }
}

// [any] Never blocks.
extern "C" IPluginFactory *GetPluginFactory(void) { return factory_get(); }

#else
#include <dlfcn.h>

#define ZFEN_EXPORT extern "C" __attribute__((visibility("default")))

// [main] Once per load, before anything else. Never blocks.
ZFEN_EXPORT bool ModuleEntry(void *)
{
    if (module_load_count() > 0)
        return module_attach(nullptr);
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&ModuleEntry), &info) || !info.dli_fname)
        return false;
    // dlopen may have been given a relative path; the folders must not
    // depend on the current directory.
    char *full = realpath(info.dli_fname, nullptr);
    bool ok = module_attach(full ? full : info.dli_fname);
    std::free(full);
    return ok;
}

// [main] Once per load, after everything else. Never blocks.
ZFEN_EXPORT bool ModuleExit(void)
{
    if (module_load_count() <= 0)
        return false;
    module_detach();
    return true;
}

// [any] Never blocks.
ZFEN_EXPORT IPluginFactory *GetPluginFactory(void) { return factory_get(); }
#endif
