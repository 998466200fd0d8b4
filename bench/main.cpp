// merix_bench: one run, one report of the driver's figures on this machine.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_report.h"

int main(int argc, char** argv) {
    int frames = 300;
    int seconds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--frames") == 0) {
            frames = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atoi(argv[i + 1]);
        }
    }
    std::printf("merix benchmark report\n");
    merix::bench::SendTimingSection(frames);
    merix::bench::TransactionSection(seconds);
    return 0;
}
