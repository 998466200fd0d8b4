// Loads libmerix.so as a host would and prints what GetVpiInfo announces.
#include <dlfcn.h>

#include <cstdio>

#include "merix/vpi.h"

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "libmerix.so";
    void* lib = dlopen(path, RTLD_NOW);
    if (lib == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    auto vpiMain = reinterpret_cast<VpiMainFn>(dlsym(lib, "VpiMain"));
    if (vpiMain == nullptr) {
        std::fprintf(stderr, "%s has no VpiMain\n", path);
        return 1;
    }
    merix::VpiInfo info{};
    merix::CallBlock cb{nullptr, merix::kGetVpiInfo, 1, 0, &info};
    const int rc = vpiMain(&cb);
    std::printf("GetVpiInfo -> %d\n", rc);
    std::printf("  driver       : %s\n", info.description);
    std::printf("  context size : %u bytes\n", info.contextSize);
    std::printf("  defaults     : %u baud, %u data bits, stop code %u, parity code %u\n", info.baud,
                info.dataBits, info.stopBits, info.parity);
    std::printf("  banner (code page 437, shown as is):%s\n", info.banner);
    return 0;
}
