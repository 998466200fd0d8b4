// A host program built against an installed merix (CMake package or pkg-config): it asks the
// driver what it announces and says which library file answered.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

// Every installed header, so that each is known to compile from the installed tree.
#include "merix/qorlib.h"
#include "merix/qorlib_control.h"
#include "merix/version.h"
#include "merix/vpi.h"

int main() {
    merix::VpiInfo info{};
    merix::CallBlock cb{nullptr, merix::kGetVpiInfo, 1, 0, &info};
    const int32_t rc = VpiMain(&cb);

    Dl_info where{};
    if (dladdr(reinterpret_cast<void*>(&VpiMain), &where) == 0 || where.dli_fname == nullptr) {
        std::fprintf(stderr, "cannot tell where VpiMain comes from\n");
        return 1;
    }
    std::printf("merix %s: VpiMain from %s\n", MERIX_VERSION, where.dli_fname);
    std::printf("GetVpiInfo -> %d, '%s', context %u bytes\n", rc,
                info.description ? info.description : "(null)", info.contextSize);
    const bool ok = rc == 0 && info.description != nullptr &&
                    std::strcmp(info.description, "Hima H51") == 0 &&
                    info.contextSize == sizeof(merix::DriverContext);
    return ok ? 0 : 1;
}
