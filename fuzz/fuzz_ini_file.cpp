// Fuzz target: the initialisation file, read by ColdStart. The input is the file's content.
//
// The reader opens "MERIX01.INT" in the current directory, so each fuzzing process works in a
// private temporary directory of its own.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

constexpr uint32_t kDriver = 1;
constexpr const char* kFileName = "MERIX01.INT";
std::string g_directory;

void RemoveDirectory() {
    std::remove((g_directory + "/" + kFileName).c_str());
    rmdir(g_directory.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/merix_fuzz_ini.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
        std::perror("fuzz_ini_file: temporary directory");
        std::abort();
    }
    g_directory = pattern;
    std::atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace merix;
    std::FILE* file = std::fopen(kFileName, "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);

    fuzz::ResetWorld();
    // "DEBUG = ON" makes ColdStart calibrate the counter with a busy-wait of about
    // fDelay + 10 ms; a coarse counter keeps that to a few dozen reads.
    fake::SetCounter(1'000'000, 1000);
    auto ctx = fuzz::NewContext();
    StartParams sp{};
    std::snprintf(sp.portName, sizeof sp.portName, "COM1");
    sp.comOn = 0;
    sp.replyTimeout = 20;
    sp.baud = 9600;
    sp.dataBits = 8;
    sp.stopBits = 0;
    sp.parity = 2;
    CallBlock cb{ctx.get(), kColdStart, kDriver, 0, &sp};
    FUZZ_CHECK(VpiMain(&cb) == 0);

    FUZZ_CHECK((ctx->SendMask & ~0x0303u) == 0);
    FUZZ_CHECK((ctx->RecMask & ~0x0303u) == 0);
    FUZZ_CHECK(ctx->debugFlag == 0 || ctx->debugFlag == 1);
    FUZZ_CHECK(ctx->IFG < 5000);
    FUZZ_CHECK(ctx->fDelay < 50.0f && ctx->fDelay > -3277.0f);
    FUZZ_CHECK(ctx->hf == 0);
    return 0;
}
