// A host that is not part of the project: it defines the host services itself, loads
// libmerix.so with dlopen and drives it through VpiMain alone.
#include <dlfcn.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_log;

struct CallBlock {
    void* context;
    uint32_t command;
    uint32_t driverNumber;
    uint32_t reserved;
    void* params;
};

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++g_failures;
    }
}

bool Logged(const char* text) {
    for (const auto& line : g_log) {
        if (line == text) {
            return true;
        }
    }
    return false;
}

} // namespace

// The host's services, exported from this executable (linked with -rdynamic).
extern "C" {
void QorErr(int, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    g_log.emplace_back(line);
}
int QorUnCook(int, uint32_t, double, void*) {
    return 0;
}
int QorGetGateIdByAddressStr(int, uint8_t, const char*, uint32_t*) {
    return 1;
}
int QorPutGateVal(int, uint32_t, int, double, int32_t, uint16_t) {
    return 0;
}
int QorStartAlert(int, const char*, const char*, int, uint32_t, int, int, int, int, int, int,
                  uint32_t, uint32_t* id) {
    *id = 1;
    return 0;
}
int QorStampAlert(int, int, uint32_t, int, int, int, int) {
    return 0;
}
int QorFindGateDef(int, int32_t, const void*, int, int32_t*) {
    return 1;
}
int QorGetGateDef(int, int32_t, void*) {
    return 0;
}
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: external_host path/to/libmerix.so\n");
        return 2;
    }
    void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    using VpiMainFn = int32_t (*)(CallBlock*);
    auto vpiMain = reinterpret_cast<VpiMainFn>(dlsym(lib, "VpiMain"));
    Check(vpiMain != nullptr, "VpiMain is exported");
    if (vpiMain == nullptr) {
        return 1;
    }

    struct {
        uint32_t fixed70;
        const char* description;
        const char* banner;
        uint32_t contextSize;
        uint8_t rest[32];
    } info{};
    CallBlock cb{nullptr, 14, 1, 0, &info};
    Check(vpiMain(&cb) == 0, "GetVpiInfo answers 0");
    Check(info.contextSize == 1544, "the context is 1544 bytes");
    Check(std::strcmp(info.description, "Hima H51") == 0, "description");

    std::vector<uint8_t> context(info.contextSize, 0xCC);
    cb = CallBlock{context.data(), 0, 1, 0, nullptr};
    Check(vpiMain(&cb) == 2, "code 0 is rejected with 2");
    Check(Logged("MERIX> Run Time Error 1010"), "code 0 logs 1010 through the host's QorErr");
    cb.command = 9;
    Check(vpiMain(&cb) == 2, "code 9 is rejected with 2");
    Check(Logged("MERIX> Run Time Error 1020"), "code 9 logs 1020");
    cb.command = 10;
    Check(vpiMain(&cb) == 1, "BlockWrite answers 1");

    struct {
        char portName[12];
        uint32_t comOn, replyTimeout;
        uint16_t baud;
        int16_t dataBits, stopBits, parity;
    } start{"NUL", 0, 20, 9600, 8, 0, 2};
    cb = CallBlock{context.data(), 1, 1, 0, &start};
    Check(vpiMain(&cb) == 0, "ColdStart answers 0");
    Check(Logged("MERIX> ColdStart(), comOn=0, hf=0"), "ColdStart logs its closing line");
    cb = CallBlock{context.data(), 11, 1, 0, nullptr};
    Check(vpiMain(&cb) == 0, "EndVpi answers 0");
    g_log.clear();
    cb.command = 0;
    Check(vpiMain(&cb) == 0 && g_log.empty(), "after EndVpi every call answers 0 silently");

    dlclose(lib);
    std::printf("external host: %s\n", g_failures == 0 ? "all checks passed" : "FAILED");
    return g_failures == 0 ? 0 : 1;
}
