// merix_bench: one run, one report of the driver's figures on this machine.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_report.h"

int main(int argc, char** argv) {
    int frames = 300;
    int seconds = 5;
    const char* only = ""; // one section: send, transactions, trace, network or demotion
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--frames") == 0) {
            frames = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--only") == 0) {
            only = argv[i + 1];
        }
    }
    const auto wanted = [&](const char* name) {
        return *only == 0 || std::strcmp(only, name) == 0;
    };
    std::printf("merix benchmark report\n");
    if (wanted("send")) {
        merix::bench::SendTimingSection(frames);
    }
    if (wanted("transactions")) {
        merix::bench::TransactionSection(seconds);
    }
    if (wanted("trace")) {
        merix::bench::TraceCostSection(seconds);
    }
    if (wanted("network")) {
        merix::bench::NetworkSection(seconds);
    }
    if (wanted("demotion")) {
        merix::bench::DemotionSection();
    }
    return 0;
}
