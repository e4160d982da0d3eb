// Loads a VST 3 bundle named on the command line the way a host does, and
// prints what its factory says. The installer test points it at the bundle
// the installer put in place, so it runs outside CTest.
#include "vst3_host/host_module.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: load_bundle BUNDLE.vst3\n");
        return 2;
    }
    HostModule m;
    if (!host_module_load(&m, argv[1])) {
        std::fprintf(stderr, "load_bundle: %s\n", m.error.c_str());
        return 1;
    }
    IPluginFactory *f = m.factory;
    PFactoryInfo fi{};
    if (f->vtbl->getFactoryInfo(f, &fi) != kResultOk) {
        std::fprintf(stderr, "load_bundle: getFactoryInfo failed\n");
        host_module_unload(&m);
        return 1;
    }
    int32_t count = f->vtbl->countClasses(f);
    std::printf("vendor: %s\nclasses: %d\n", fi.vendor, static_cast<int>(count));
    int rc = 0;
    for (int32_t i = 0; i < count; ++i) {
        PClassInfo ci{};
        if (f->vtbl->getClassInfo(f, i, &ci) != kResultOk) {
            std::fprintf(stderr, "load_bundle: getClassInfo(%d) failed\n", static_cast<int>(i));
            rc = 1;
            continue;
        }
        std::printf("class: %s | %s\n", ci.category, ci.name);
    }
    host_module_unload(&m);
    return rc;
}
