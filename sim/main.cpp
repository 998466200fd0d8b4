// h51sim: a serial line of simulated H51-family controllers on a pseudo-terminal (or a real
// serial device), configured by options and a JSON scenario file.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/options.h"
#include "sim/scenario.h"
#include "sim/simulator.h"
#include "sim/tcp_bridge.h"

namespace {

using namespace h51sim;

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

/// The line and the scenario: the scenario file's, if one is given, with the command line's
/// line options over it. False after a message.
bool LoadLine(const Options& o, LineConfig& line, Scenario& scenario) {
    if (!o.scenario.empty()) {
        std::string text;
        std::string error;
        if (!ReadFile(o.scenario, text)) {
            std::fprintf(stderr, "h51sim: cannot read %s\n", o.scenario.c_str());
            return false;
        }
        if (!ParseScenario(text, line, scenario, &error)) {
            std::fprintf(stderr, "h51sim: %s: %s\n", o.scenario.c_str(), error.c_str());
            return false;
        }
        line = scenario.line;
    }
    ApplyLineOptions(o, line);
    const char* why = nullptr;
    if (!ValidateLineConfig(line, &why)) {
        std::fprintf(stderr, "h51sim: %s\n", why);
        return false;
    }
    return true;
}

/// The stations of --station and of the scenario, and the scripted faults. False after a
/// message.
bool AddStations(const Options& o, const Scenario& scenario, Simulator& sim) {
    std::string error;
    for (const int st : o.stations) {
        StationConfig c;
        c.address = static_cast<uint8_t>(st);
        c.eventGates = o.eventGates;
        c.eventCapacity = o.eventCapacity;
        c.eventRate = o.eventRate;
        if (!sim.AddStation(c, &error)) {
            std::fprintf(stderr, "h51sim: --station %d: %s\n", st, error.c_str());
            return false;
        }
    }
    if (!ApplyScenario(scenario, sim, &error)) {
        std::fprintf(stderr, "h51sim: %s\n", error.c_str());
        return false;
    }
    for (const std::string& text : o.faults) {
        int st = 0;
        Fault fault;
        unsigned count = 0;
        if (!ParseFaultOption(text, st, fault, count) || !sim.InjectFaults(st, fault, count)) {
            std::fprintf(stderr,
                         "h51sim: --fault %s: expected STATION:KIND:COUNT[:PARAM] for a "
                         "configured station\n",
                         text.c_str());
            return false;
        }
    }
    return true;
}

// A stable name for the pty, which gets a new number on every run. Only a symlink is
// ever replaced, never a file someone else put there.
bool MakeLink(const std::string& link, const std::string& target) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "h51sim: %s exists and is not a symlink\n", link.c_str());
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "h51sim: cannot create %s: %s\n", link.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

/// --listen: serves `device` on HOST:PORT as well; `*served` gets the URL to open (the port the
/// system chose where PORT is 0), empty without --listen. False after a message.
bool ServeOnTcp(const std::string& listen, const std::string& host, uint16_t port,
                const std::string& device, TcpBridge& bridge, std::string* served) {
    if (listen.empty()) {
        return true;
    }
    std::string error;
    if (!bridge.Start(host, port, device, &error)) {
        std::fprintf(stderr, "h51sim: --listen %s: %s\n", listen.c_str(), error.c_str());
        return false;
    }
    *served = ListenUrl(host, bridge.Port());
    return true;
}

/// SIGINT and SIGTERM, blocked here: the line thread inherits this mask, so the signals arrive
/// only where WaitForStop waits for them.
sigset_t BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signals;
}

/// Starts the line and its TCP bridge and link, and tells where it is served: the device on
/// the first line of standard output, the URL on the second. False after a message, with
/// everything started stopped again.
bool StartLine(const Options& o, const LineConfig& line, const std::string& listenHost,
               uint16_t listenPort, Simulator& sim, TcpBridge& bridge) {
    std::string error;
    if (!o.tap.empty()) {
        const std::string tap = sim.OpenTap(&error);
        if (tap.empty()) {
            std::fprintf(stderr, "h51sim: tap: %s\n", error.c_str());
            return false;
        }
        if (!MakeLink(o.tap, tap)) {
            return false;
        }
        std::fprintf(stderr, "h51sim: the line is heard on %s (%s)\n", o.tap.c_str(), tap.c_str());
    }
    const bool started = o.device.empty() ? sim.Start(&error) : sim.StartOnDevice(o.device, &error);
    if (!started) {
        std::fprintf(stderr, "h51sim: %s\n", error.c_str());
        return false;
    }
    const std::string name = sim.DeviceName();
    std::string url;
    if (!ServeOnTcp(o.listen, listenHost, listenPort, name, bridge, &url)) {
        sim.Stop();
        return false;
    }
    if (!o.link.empty() && o.device.empty() && !MakeLink(o.link, name)) {
        bridge.Stop();
        sim.Stop();
        return false;
    }
    std::printf("%s\n", name.c_str());
    if (!url.empty()) {
        std::printf("%s\n", url.c_str());
    }
    std::fflush(stdout);
    const bool linked = !o.link.empty() && o.device.empty();
    std::fprintf(stderr, "h51sim: %d bits per character at %d baud%s%s%s%s; Ctrl-C stops\n",
                 sim.Timing().BitsPerChar(), line.baud, linked ? ", link " : "",
                 linked ? o.link.c_str() : "", url.empty() ? "" : ", served on ", url.c_str());
    return true;
}

/// Until SIGINT or SIGTERM, or until `duration` seconds have passed when it is positive.
void WaitForStop(const sigset_t& signals, double duration) {
    timespec limit{};
    if (duration > 0.0) {
        limit.tv_sec = static_cast<time_t>(duration);
        limit.tv_nsec = static_cast<long>((duration - static_cast<double>(limit.tv_sec)) * 1e9);
    }
    for (;;) {
        const int sig = duration > 0.0 ? sigtimedwait(&signals, nullptr, &limit)
                                       : sigwaitinfo(&signals, nullptr);
        if (sig > 0 || (sig < 0 && errno == EAGAIN)) {
            break;
        }
    }
}

void PrintLineCounters(const Counters& c) {
    std::fprintf(
        stderr,
        "h51sim: %llu frames, %llu bad, %llu requests, %llu broadcasts, %llu to absent "
        "stations, %llu replies, %llu faults\n",
        static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.badFrames),
        static_cast<unsigned long long>(c.requests), static_cast<unsigned long long>(c.broadcasts),
        static_cast<unsigned long long>(c.unaddressed), static_cast<unsigned long long>(c.replies),
        static_cast<unsigned long long>(c.faults));
    if (c.tapTransmitted != 0) {
        std::fprintf(stderr, "h51sim: %llu bytes transmitted by the tap's listener\n",
                     static_cast<unsigned long long>(c.tapTransmitted));
    }
    if (c.faults != 0) {
        std::fprintf(stderr, "h51sim: faults by kind: %s\n",
                     DescribeFaultCounts(c.faultsByKind).c_str());
    }
}

/// Serves the line until stopped, then prints its counters.
int Serve(const Options& o, const LineConfig& line, const std::string& listenHost,
          uint16_t listenPort, Simulator& sim) {
    const sigset_t signals = BlockStopSignals();
    TcpBridge bridge;
    if (!StartLine(o, line, listenHost, listenPort, sim, bridge)) {
        return 1;
    }
    WaitForStop(signals, o.duration);
    bridge.Stop();
    sim.Stop();
    if (!o.link.empty() && o.device.empty()) {
        unlink(o.link.c_str());
    }
    PrintLineCounters(sim.LineCounters());
    return 0;
}

void TraceToStdout(Simulator& sim) {
    sim.SetTraceSink([](std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    });
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (auto code = ParseOptions(argc, argv, o)) {
        return *code;
    }
    LineConfig line;
    Scenario scenario;
    if (!LoadLine(o, line, scenario)) {
        return 2;
    }
    std::string listenHost;
    uint16_t listenPort = 0;
    if (!o.listen.empty() && !ParseListenUrl(o.listen, &listenHost, &listenPort)) {
        std::fprintf(stderr, "h51sim: --listen %s: expected tcp://HOST:PORT\n", o.listen.c_str());
        return 2;
    }
    Simulator sim(line);
    if (!o.quiet) {
        TraceToStdout(sim);
    }
    if (!AddStations(o, scenario, sim)) {
        return 2;
    }
    return Serve(o, line, listenHost, listenPort, sim);
}
