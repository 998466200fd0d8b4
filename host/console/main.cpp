// merixhost: a small, honest host for the merix driver. It loads the driver library, has
// the gates of a gate list parsed, scans them and shows values, events, alerts and the
// stations' health. Without --port it brings its own plant on a simulated line (on Linux).
#include "host/console/host_run.h"
#include "host/console/options.h"
#include "host/console/scan_run.h"
#include "host/console/sniff_run.h"

int main(int argc, char** argv) {
    merixhost::Options options;
    if (auto code = merixhost::ParseOptions(argc, argv, options)) {
        return *code;
    }
    if (options.sniff) {
        return merixhost::RunSniff(options);
    }
    if (options.scan) {
        return merixhost::RunStationScan(options);
    }
    return merixhost::HostRun(options).Run();
}
