#include "host_module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

std::string bundle_name(const std::string &bundle)
{
    size_t slash = bundle.find_last_of("/\\");
    std::string name = slash == std::string::npos ? bundle : bundle.substr(slash + 1);
    return name.substr(0, name.size() - 5); // without ".vst3"
}

} // namespace

std::string host_path(const std::string &unix_path)
{
#if defined(_WIN32)
    std::string win = unix_path;
    if (!win.empty() && win[0] == '/')
        win = "Z:" + win;
    for (char &c : win)
        if (c == '/')
            c = '\\';
    return win;
#else
    return unix_path;
#endif
}

#if defined(_WIN32)

bool host_module_load(HostModule *m, const std::string &bundle)
{
    m->binary_path = host_path(bundle) + "\\Contents\\x86_64-win\\" + bundle_name(bundle) + ".vst3";
    int n = MultiByteToWideChar(CP_UTF8, 0, m->binary_path.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, m->binary_path.c_str(), -1, wide.data(), n);
    HMODULE lib = LoadLibraryW(wide.c_str());
    if (!lib) {
        m->error = "LoadLibraryW failed for " + m->binary_path;
        return false;
    }
    m->library = lib;
    auto get = reinterpret_cast<GetPluginFactoryFn>(reinterpret_cast<void *>(GetProcAddress(lib, "GetPluginFactory")));
    if (!get) {
        m->error = "no GetPluginFactory export";
        host_module_unload(m);
        return false;
    }
    m->factory = get();
    if (!m->factory) {
        m->error = "GetPluginFactory returned null";
        host_module_unload(m);
        return false;
    }
    return true;
}

void host_module_unload(HostModule *m)
{
    if (m->factory)
        m->factory->vtbl->release(m->factory);
    m->factory = nullptr;
    if (m->library)
        FreeLibrary(static_cast<HMODULE>(m->library));
    m->library = nullptr;
}

void *host_module_symbol(const HostModule *m, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(m->library), name));
}

#else

bool host_module_load(HostModule *m, const std::string &bundle)
{
    m->binary_path = bundle + "/Contents/x86_64-linux/" + bundle_name(bundle) + ".so";
    void *lib = dlopen(m->binary_path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!lib) {
        const char *e = dlerror();
        m->error = e ? e : "dlopen failed";
        return false;
    }
    m->library = lib;
    auto entry = reinterpret_cast<ModuleEntryFn>(dlsym(lib, "ModuleEntry"));
    auto exit_fn = reinterpret_cast<ModuleExitFn>(dlsym(lib, "ModuleExit"));
    auto get = reinterpret_cast<GetPluginFactoryFn>(dlsym(lib, "GetPluginFactory"));
    if (!entry || !exit_fn || !get) {
        m->error = "missing ModuleEntry, ModuleExit or GetPluginFactory";
        dlclose(lib);
        m->library = nullptr;
        return false;
    }
    if (!entry(lib)) {
        m->error = "ModuleEntry returned false";
        dlclose(lib);
        m->library = nullptr;
        return false;
    }
    m->exit_fn = exit_fn;
    m->factory = get();
    if (!m->factory) {
        m->error = "GetPluginFactory returned null";
        host_module_unload(m);
        return false;
    }
    return true;
}

void host_module_unload(HostModule *m)
{
    if (m->factory)
        m->factory->vtbl->release(m->factory);
    m->factory = nullptr;
    if (m->exit_fn)
        m->exit_fn();
    m->exit_fn = nullptr;
    if (m->library)
        dlclose(m->library);
    m->library = nullptr;
}

void *host_module_symbol(const HostModule *m, const char *name) { return dlsym(m->library, name); }

#endif
