// Loads a VST 3 bundle the way hosts do: the binary inside the bundle, its
// entry points, then the factory.
#pragma once
#include "vst3/vst3_abi.h"

#include <string>

struct HostModule {
    void *library = nullptr;
    IPluginFactory *factory = nullptr;
    ModuleExitFn exit_fn = nullptr;
    std::string binary_path;
    std::string error;
};

// bundle: the ".vst3" folder. On Windows a path that starts with '/' is
// taken as a Unix path seen through Wine's Z: drive.
bool host_module_load(HostModule *m, const std::string &bundle);
void host_module_unload(HostModule *m);
// A Unix path as the platform sees it (Wine: through the Z: drive).
std::string host_path(const std::string &unix_path);
// Looks up any exported name, for checks of what the module exports.
void *host_module_symbol(const HostModule *m, const char *name);
