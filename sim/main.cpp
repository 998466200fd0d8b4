// h51sim: a serial line of simulated H51-family controllers on a pseudo-terminal (or a real
// serial device), configured by options and a JSON scenario file.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "merix/version.h"
#include "sim/scenario.h"
#include "sim/simulator.h"
#include "sim/tcp_bridge.h"

namespace {

using namespace h51sim;

struct Options {
    std::string scenario;
    std::string device;
    std::string link;
    std::string listen;
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "even";
    int stopBits = 1;
    double turnaroundMs = -1.0;
    uint64_t seed = 1;
    bool noPacing = false;
    std::vector<int> stations;
    uint16_t eventGates = 0;
    size_t eventCapacity = 500;
    double eventRate = 0.0;
    std::vector<std::string> faults;
    double duration = 0.0;
    bool quiet = false;
};

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

std::optional<Parity> ParityFrom(const std::string& text) {
    if (text == "none" || text == "N" || text == "n") {
        return Parity::None;
    }
    if (text == "even" || text == "E" || text == "e") {
        return Parity::Even;
    }
    if (text == "odd" || text == "O" || text == "o") {
        return Parity::Odd;
    }
    return std::nullopt;
}

// "STATION:KIND:COUNT[:PARAM]", e.g. "5:no_reply:2" or "3:exception:1:4".
bool ParseFaultOption(const std::string& text, int& station, Fault& fault, unsigned& count) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) {
        parts.push_back(part);
    }
    if (parts.size() < 3 || parts.size() > 4) {
        return false;
    }
    const auto kind = ParseFaultKind(parts[1]);
    char* end = nullptr;
    station = static_cast<int>(std::strtol(parts[0].c_str(), &end, 10));
    if (!kind || *end != '\0') {
        return false;
    }
    fault.kind = *kind;
    const long n = std::strtol(parts[2].c_str(), &end, 10);
    if (*end != '\0' || n < 1 || n > 1000000000) {
        return false;
    }
    count = static_cast<unsigned>(n);
    if (parts.size() == 4) {
        const long p = std::strtol(parts[3].c_str(), &end, 10);
        if (*end != '\0' || p < 0 || p > 60000) {
            return false;
        }
        fault.param = static_cast<int>(p);
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

} // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"h51sim: simulated H51-family controllers on a serial line (expanded Modbus "
                 "RTU)"};
    app.set_version_flag("--version", "h51sim " MERIX_VERSION);
    app.add_option("-s,--scenario", o.scenario,
                   "JSON scenario file (line, stations, values, "
                   "events, faults)")
        ->check(CLI::ExistingFile);
    auto* device = app.add_option("-d,--device", o.device,
                                  "Serial device to serve instead of creating a pseudo-terminal");
    app.add_option("-l,--link", o.link,
                   "Symlink to create to the pseudo-terminal, e.g. "
                   "/tmp/h51sim0");
    // A real device has its master at the far end of the wire, not here to be bridged.
    app.add_option("--listen", o.listen,
                   "Also serve the line on a TCP port as raw RTU bytes: tcp://HOST:PORT (port 0: "
                   "a free one)")
        ->excludes(device);
    auto* baud = app.add_option("-b,--baud", o.baud, "Baud rate")->capture_default_str();
    auto* dataBits = app.add_option("--data-bits", o.dataBits, "Data bits")
                         ->check(CLI::Range(5, 8))
                         ->capture_default_str();
    auto* parity = app.add_option("-P,--parity", o.parity, "Parity: none, even or odd")
                       ->check(CLI::IsMember({"none", "even", "odd", "N", "E", "O", "n", "e", "o"}))
                       ->capture_default_str();
    auto* stopBits = app.add_option("--stop-bits", o.stopBits, "Stop bits")
                         ->check(CLI::Range(1, 2))
                         ->capture_default_str();
    auto* turnaround =
        app.add_option("--turnaround-ms", o.turnaroundMs,
                       "Pause between a request's end and the reply (default 3.5 characters)")
            ->check(CLI::Range(0.0, 59999.0));
    auto* seed =
        app.add_option("--seed", o.seed, "Seed of random events and faults")->capture_default_str();
    auto* noPacing = app.add_flag("--no-pacing", o.noPacing,
                                  "Send replies at once instead of at the line's pace");
    app.add_option("--station", o.stations,
                   "Add a station with this address (1 to 31); "
                   "repeatable")
        ->check(CLI::Range(1, 31));
    app.add_option("--event-gates", o.eventGates, "Event gates of the --station stations")
        ->check(CLI::Range(0, 2048))
        ->capture_default_str();
    app.add_option("--event-capacity", o.eventCapacity,
                   "Event buffer size of the --station stations")
        ->capture_default_str();
    app.add_option("--event-rate", o.eventRate,
                   "Random event changes per second of each --station station")
        ->check(CLI::Range(0.0, 1e6))
        ->capture_default_str();
    app.add_option("--fault", o.faults,
                   "Scripted fault STATION:KIND:COUNT[:PARAM], e.g. 5:no_reply:2; kinds: " +
                       h51sim::FaultKindList());
    app.add_option("-t,--duration", o.duration,
                   "Stop after this many seconds (default: run "
                   "until SIGINT or SIGTERM)")
        ->check(CLI::Range(0.0, 1e9));
    app.add_flag("-q,--quiet", o.quiet, "No trace");
    CLI11_PARSE(app, argc, argv);

    LineConfig line;
    Scenario scenario;
    if (!o.scenario.empty()) {
        std::string text;
        std::string error;
        if (!ReadFile(o.scenario, text)) {
            std::fprintf(stderr, "h51sim: cannot read %s\n", o.scenario.c_str());
            return 2;
        }
        if (!ParseScenario(text, line, scenario, &error)) {
            std::fprintf(stderr, "h51sim: %s: %s\n", o.scenario.c_str(), error.c_str());
            return 2;
        }
        line = scenario.line;
    }
    // Options given on the command line win over the scenario file.
    if (baud->count() > 0) {
        line.baud = o.baud;
    }
    if (dataBits->count() > 0) {
        line.dataBits = o.dataBits;
    }
    if (parity->count() > 0) {
        line.parity = *ParityFrom(o.parity);
    }
    if (stopBits->count() > 0) {
        line.stopBits = o.stopBits;
    }
    if (turnaround->count() > 0) {
        line.turnaroundMs = o.turnaroundMs;
    }
    if (seed->count() > 0) {
        line.seed = o.seed;
    }
    if (noPacing->count() > 0) {
        line.pacing = false;
    }
    const char* why = nullptr;
    if (!ValidateLineConfig(line, &why)) {
        std::fprintf(stderr, "h51sim: %s\n", why);
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
        sim.SetTraceSink([](std::string_view text) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
        });
    }
    std::string error;
    for (const int st : o.stations) {
        StationConfig c;
        c.address = static_cast<uint8_t>(st);
        c.eventGates = o.eventGates;
        c.eventCapacity = o.eventCapacity;
        c.eventRate = o.eventRate;
        if (!sim.AddStation(c, &error)) {
            std::fprintf(stderr, "h51sim: --station %d: %s\n", st, error.c_str());
            return 2;
        }
    }
    if (!ApplyScenario(scenario, sim, &error)) {
        std::fprintf(stderr, "h51sim: %s\n", error.c_str());
        return 2;
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
            return 2;
        }
    }

    // The line thread inherits this mask, so the signals arrive only at sigtimedwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const bool started = o.device.empty() ? sim.Start(&error) : sim.StartOnDevice(o.device, &error);
    if (!started) {
        std::fprintf(stderr, "h51sim: %s\n", error.c_str());
        return 1;
    }
    const std::string name = sim.DeviceName();
    TcpBridge bridge;
    std::string url;
    if (!ServeOnTcp(o.listen, listenHost, listenPort, name, bridge, &url)) {
        sim.Stop();
        return 1;
    }
    if (!o.link.empty() && o.device.empty() && !MakeLink(o.link, name)) {
        bridge.Stop();
        sim.Stop();
        return 1;
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

    timespec limit{};
    if (o.duration > 0.0) {
        limit.tv_sec = static_cast<time_t>(o.duration);
        limit.tv_nsec = static_cast<long>((o.duration - static_cast<double>(limit.tv_sec)) * 1e9);
    }
    for (;;) {
        const int sig = o.duration > 0.0 ? sigtimedwait(&signals, nullptr, &limit)
                                         : sigwaitinfo(&signals, nullptr);
        if (sig > 0 || (sig < 0 && errno == EAGAIN)) {
            break;
        }
    }
    bridge.Stop();
    sim.Stop();
    if (linked) {
        unlink(o.link.c_str());
    }
    const Counters c = sim.LineCounters();
    std::fprintf(
        stderr,
        "h51sim: %llu frames, %llu bad, %llu requests, %llu broadcasts, %llu to absent "
        "stations, %llu replies, %llu faults\n",
        static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.badFrames),
        static_cast<unsigned long long>(c.requests), static_cast<unsigned long long>(c.broadcasts),
        static_cast<unsigned long long>(c.unaddressed), static_cast<unsigned long long>(c.replies),
        static_cast<unsigned long long>(c.faults));
    if (c.faults != 0) {
        std::fprintf(stderr, "h51sim: faults by kind: %s\n",
                     DescribeFaultCounts(c.faultsByKind).c_str());
    }
    return 0;
}
