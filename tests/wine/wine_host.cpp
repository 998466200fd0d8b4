// A Windows host for merix.dll (32- or 64-bit), run under Wine against h51sim on COM1.
//
// It loads the driver as a real host does (LoadLibraryA, GetProcAddress("VpiMain")), uses the
// stand-in QORLIB.dll for its services and walks one instance through a plant's life: cold
// start, gate parsing, reads, writes, the time broadcast, event collection, a silent station,
// close and reopen, and the end. Every step is printed; the exit code is the number of failed
// steps (capped), 0 when all passed.
//
// Usage: merix_wine_host [PORT [DLL]]   (defaults: COM1, merix.dll beside this program)
// A PORT of tcp://HOST:PORT or rfc2217://HOST:PORT runs the same steps on a line behind a
// device server: the host names COM1, and PORT in MERIX01.INI stands in for it.
//
// The values it expects are those of the scenario that the Wine test gives h51sim.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "driver_session.h"
#include "host/qorlib_control.h"

namespace wine_host {
namespace {

using merix::DriverContext;

// The scenario: 9600 8E1; station 1 with registers, coils and four event gates whose events
// come one a second, each changing the next gate (event i%4) to the opposite state; station 2
// with an input register; station 5 absent.
constexpr uint16_t kBaud = 9600;
constexpr uint32_t kReplyTimeout = 50; // 500 ms: Wine adds its own latency to every read
constexpr int kEventGates = 4;
constexpr int kWantedEvents = 8; // two rounds through every gate
constexpr DWORD kEventDeadlineMs = 90000;
constexpr DWORD kPollPauseMs = 250;

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const char* step, const char* format, ...) {
    char detail[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    std::printf("%s  %-28s %s\n", ok ? "ok  " : "FAIL", step, detail);
    ++(ok ? g_passed : g_failed);
}

std::string BesideProgram(const char* file) {
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    const auto slash = dir.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : dir.substr(0, slash + 1)) + file;
}

/// The driver reads MERIXnn.INI from the current directory; debug on runs its counter
/// calibration at cold start (time-critical priority, 1 ms timer, busy-wait on the counter).
/// `portLine`, when not empty, is the PORT that stands in for the host's port name.
bool WriteIniFile(const std::string& portLine) {
    FILE* f = std::fopen("MERIX01.INI", "w");
    if (f == nullptr) {
        return false;
    }
    std::fputs("; written by merix_wine_host\nDEBUG = ON\nSEND = DTR ON RTS OFF\n", f);
    if (!portLine.empty()) {
        std::fprintf(f, "PORT = %s\n", portLine.c_str());
    }
    return std::fclose(f) == 0;
}

int CountLogged(const char* prefix) {
    int n = 0;
    for (const auto& line : qorlib::Log()) {
        n += line.text.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
}

std::vector<std::string> RunTimeErrors() {
    std::vector<std::string> out;
    for (const auto& line : qorlib::Log()) {
        if (line.text.rfind("MERIX> Run Time Error ", 0) == 0) {
            out.push_back(line.text.substr(22));
        }
    }
    return out;
}

merix::StartParams Line(const char* port, int16_t parity) {
    merix::StartParams sp{};
    std::snprintf(sp.portName, sizeof sp.portName, "%s", port);
    sp.comOn = 1;
    sp.replyTimeout = kReplyTimeout;
    sp.baud = kBaud;
    sp.dataBits = 8;
    sp.stopBits = 0;
    sp.parity = parity;
    return sp;
}

void StartAndInfo(DriverSession& drv, const char* port, const std::string& portLine) {
    merix::VpiInfo info{};
    const int32_t r = drv.Call(merix::kGetVpiInfo, &info);
    Check(r == 0 && info.contextSize == 1544 && info.fixed70 == 70 && info.fixed4 == 4 &&
              info.fixed1 == 1,
          "GetVpiInfo", "result %d, context size %u, fixed 70/4/1: %u/%u/%u", r, info.contextSize,
          info.fixed70, info.fixed4, info.fixed1);
    Check(info.description != nullptr && std::string(info.description) == "Hima H51" &&
              info.banner != nullptr && std::strlen(info.banner) == 171,
          "GetVpiInfo texts", "\"%s\", banner of %u bytes",
          info.description ? info.description : "(null)",
          static_cast<unsigned>(info.banner ? std::strlen(info.banner) : 0));
    Check(info.baud == 9600 && info.dataBits == 8 && info.stopBits == 0 && info.parity == 2,
          "GetVpiInfo defaults", "%u baud, %u data bits, stop code %u, parity code %u", info.baud,
          info.dataBits, info.stopBits, info.parity);
    drv.AllocateContext(info.contextSize);

    Check(WriteIniFile(portLine), "MERIX01.INI", "DEBUG = ON in the current directory%s%s",
          portLine.empty() ? "" : ", PORT = ", portLine.c_str());
    merix::StartParams sp = Line(port, 2);
    const int32_t cold = drv.Call(merix::kColdStart, &sp);
    const DriverContext* ctx = drv.Context();
    Check(cold == 0 && ctx->hf != 0 && RunTimeErrors().empty(), "ColdStart",
          "%s 9600 8E1: result %d, hf %u, comOn %u, IFG %u ms, %.3f ms per character", port, cold,
          ctx->hf, ctx->comOn, ctx->IFG, static_cast<double>(ctx->msecPerChar));
    Check(ctx->debugFlag == 1 && CountLogged("MERIX> ColdStart() Freq: ") == 1 &&
              CountLogged("MERIX> ColdStart() ERROR") == 0 && ctx->perfFrequency > 0,
          "counter calibration", "debug %u, frequency %lld, priority changes logged no error",
          ctx->debugFlag, static_cast<long long>(ctx->perfFrequency));
}

void ParseGates(DriverSession& drv, Gate& reg, Gate& coil, Gate& block) {
    merix::GateParseRecord p{};
    int32_t r = drv.Parse(merix::kSingleAddressParser, reg, &p);
    Check(r == 0 && p.station == 1 && p.function == 3 && p.address == 100 && p.valueWidth == 16,
          "parse 01300100 (3)", "result %d: station %d function %d address %d width %d", r,
          p.station, p.function, p.address, p.valueWidth);
    r = drv.Parse(merix::kSingleAddressParser, coil, &p);
    Check(r == 0 && p.station == 1 && p.function == 1 && p.address == 7 && p.bitNumber == -1 &&
              p.valueWidth == 1,
          "parse '0110007 ' digital (3)", "result %d: station %d function %d address %d bit %d", r,
          p.station, p.function, p.address, p.bitNumber);
    r = drv.Parse(merix::kBlockAddressParser, block, &p);
    Check(r == 0 && p.station == 1 && p.function == 3 && p.address == 1000, "parse block (4)",
          "01301000 x %d: result %d, station %d function %d address %d", block.rec.count, r,
          p.station, p.function, p.address);
    Gate bad("01500100", 0);
    r = drv.Parse(merix::kSingleAddressParser, bad, &p);
    Check(r == 1, "parse 01500100 refused", "result %d (function digit 5)", r);
}

void ReadsAndWrites(DriverSession& drv, Gate& reg, Gate& coil, Gate& block) {
    merix::GateParseRecord p{};
    int32_t r = drv.Read(reg);
    Check(r == 0 && reg.Word() == 0x1234, "read register", "01300100: result %d, value 0x%04X", r,
          static_cast<uint16_t>(reg.Word()));
    r = drv.Read(coil);
    Check(r == 0 && coil.Word() == 1, "read coil", "0110007: result %d, value %d", r, coil.Word());
    Gate input("02400005", 0);
    drv.Parse(merix::kSingleAddressParser, input, &p);
    r = drv.Read(input);
    Check(r == 0 && input.Word() == 77, "read input register", "02400005: result %d, value %d", r,
          input.Word());
    r = drv.ReadBlock(block);
    bool same = r == 0;
    for (int i = 0; i < block.rec.count; ++i) {
        same = same && block.BlockWord(i) == 11 * (i + 1);
    }
    Check(same, "read block", "01301000 x %d: result %d, values %u %u ... %u", block.rec.count, r,
          block.BlockWord(0), block.BlockWord(1), block.BlockWord(block.rec.count - 1));

    Gate coil10("0110010 ", 6);
    drv.Parse(merix::kSingleAddressParser, coil10, &p);
    const int32_t w1 = drv.Write(coil10, 1);
    coil10.SetWord(0);
    const int32_t r1 = drv.Read(coil10);
    Check(w1 == 0 && r1 == 0 && coil10.Word() == 1, "write coil, read back",
          "0110010 := 1: write %d, read %d, value %d", w1, r1, coil10.Word());
    const int32_t w0 = drv.Write(coil10, 0);
    coil10.SetWord(1);
    const int32_t r0 = drv.Read(coil10);
    Check(w0 == 0 && r0 == 0 && coil10.Word() == 0, "write coil off, read back",
          "0110010 := 0: write %d, read %d, value %d", w0, r0, coil10.Word());

    Gate reg200("01300200", 0);
    drv.Parse(merix::kSingleAddressParser, reg200, &p);
    const int32_t w = drv.Write(reg200, -2);
    reg200.SetWord(0);
    r = drv.Read(reg200);
    Check(w == 0 && r == 0 && reg200.Word() == -2, "write register, read back",
          "01300200 := -2: write %d, read %d, value %d", w, r, reg200.Word());

    Gate ifg("IFG", 0);
    drv.Parse(merix::kSingleAddressParser, ifg, &p);
    r = drv.Read(ifg);
    Check(r == 0 && ifg.Word() == 4, "read internal gate IFG", "result %d, %d ms", r, ifg.Word());
}

void TimeBroadcast(DriverSession& drv) {
    Gate time("$TIME", 0);
    merix::GateParseRecord p{};
    const int32_t parsed = drv.Parse(merix::kSingleAddressParser, time, &p);
    const int32_t r = drv.Write(time, 1);
    Check(parsed == 0 && p.address == 0xFFFC && r == 0 && RunTimeErrors().size() == 2,
          "$TIME broadcast", "parse %d (address 0x%X), write %d, no run-time error 5070", parsed,
          p.address, r);
}

struct Delivered {
    int64_t seconds;
    int millis;
    int event;
    int value;
};

/// Defines and parses the event gates and `events`, and reads it once: the set-up (0x41), which
/// gives each gate its state without a time stamp. Those states go to `initial`.
void SetUpEvents(DriverSession& drv, Gate& events, int (&initial)[kEventGates]) {
    char name[16];
    merix::GateParseRecord p{};
    for (int e = 0; e < kEventGates; ++e) {
        std::snprintf(name, sizeof name, "E01%04d", e);
        qorlib::DefineGate(name, DriverSession::kDriverNumber);
        Gate gate(name, 6);
        drv.Parse(merix::kSingleAddressParser, gate, &p);
    }
    const int32_t parsed = drv.Parse(merix::kSingleAddressParser, events, &p);
    Check(parsed == 0 && p.station == 1 && p.address == 0xFFFD, "parse 01$EVENT",
          "result %d, station %d, address 0x%X", parsed, p.station, p.address);

    int32_t r = drv.Read(events);
    bool states = r == 0 && drv.Context()->fEF[1] == 0;
    for (int e = 0; e < kEventGates; ++e) {
        std::snprintf(name, sizeof name, "E01%04d", e);
        const auto last = qorlib::LastValue(name, DriverSession::kDriverNumber);
        states = states && last.has_value() && last->seconds == 0;
        initial[e] = last ? static_cast<int>(last->value) : -1;
    }
    Check(states, "event set-up (0x41)", "result %d, states %d %d %d %d", r, initial[0], initial[1],
          initial[2], initial[3]);
}

/// Polls `events` until kWantedEvents time-stamped changes have arrived or the deadline has
/// passed, and checks that no poll failed; the changes, oldest first.
std::vector<Delivered> CollectEvents(DriverSession& drv, Gate& events) {
    char name[16];
    std::vector<Delivered> got;
    int polls = 0;
    int failedPolls = 0;
    const DWORD start = GetTickCount();
    while (static_cast<int>(got.size()) < kWantedEvents &&
           GetTickCount() - start < kEventDeadlineMs) {
        Sleep(kPollPauseMs);
        ++polls;
        failedPolls += drv.Read(events) != 0 ? 1 : 0;
        got.clear();
        for (int e = 0; e < kEventGates; ++e) {
            std::snprintf(name, sizeof name, "E01%04d", e);
            for (const auto& v : qorlib::History(name, DriverSession::kDriverNumber)) {
                if (v.seconds != 0) {
                    got.push_back({v.seconds, v.millis, e, static_cast<int>(v.value)});
                }
            }
        }
    }
    std::sort(got.begin(), got.end(), [](const Delivered& a, const Delivered& b) {
        return a.seconds != b.seconds ? a.seconds < b.seconds : a.millis < b.millis;
    });
    Check(static_cast<int>(got.size()) >= kWantedEvents && failedPolls == 0, "events collected",
          "%u events in %d polls of $EVENT, %d failed", static_cast<unsigned>(got.size()), polls,
          failedPolls);
    return got;
}

/// Prints each change, and checks that none is missing in the sequence, that each toggles its
/// gate from the state before (`initial` at first), and that the stamps are today's.
void CheckEventsInOrder(const std::vector<Delivered>& got, const int (&initial)[kEventGates]) {
    bool sequence = true;
    bool toggles = true;
    bool today = true;
    int state[kEventGates];
    std::copy(initial, initial + kEventGates, state);
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    for (std::size_t i = 0; i < got.size(); ++i) {
        const Delivered& d = got[i];
        tm local{};
        const time_t t = static_cast<time_t>(d.seconds);
        const tm* lt = std::localtime(&t);
        if (lt != nullptr) {
            local = *lt;
        }
        std::printf("      event %d = %d at %02d:%02d:%02d.%03d\n", d.event, d.value, local.tm_hour,
                    local.tm_min, local.tm_sec, d.millis);
        sequence = sequence && (i == 0 || d.event == (got[i - 1].event + 1) % kEventGates);
        toggles = toggles && d.value == 1 - state[d.event];
        state[d.event] = d.value;
        today = today && d.seconds > now - 300 && d.seconds < now + 300 && d.millis < 1000;
    }
    Check(sequence && toggles && today, "events in order",
          "none missing: %s, each a change: %s, stamped within 5 min of now: %s",
          sequence ? "yes" : "no", toggles ? "yes" : "no", today ? "yes" : "no");
}

/// Collects events until kWantedEvents have arrived; checks that none is missing in the
/// sequence, that each gate toggles from its initial state, and that the stamps are today's.
void Events(DriverSession& drv) {
    Gate events("01$EVENT", 0);
    int initial[kEventGates];
    SetUpEvents(drv, events, initial);
    CheckEventsInOrder(CollectEvents(drv, events), initial);
}

void SilentStation(DriverSession& drv) {
    Gate absent("05300000", 0);
    merix::GateParseRecord p{};
    drv.Parse(merix::kSingleAddressParser, absent, &p);
    const DWORD start = GetTickCount();
    const int32_t r = drv.Read(absent);
    const DWORD elapsed = GetTickCount() - start;
    // Five attempts, each waiting out ReadFile's total timeout: a lower bound only.
    // With debug information on, the driver answers 1 instead of 2 here.
    const int32_t expected = drv.Context()->debugFlag != 0 ? 1 : 2;
    Check(r == expected && drv.Context()->plcState[5] == merix::kInError &&
              elapsed >= 4 * kReplyTimeout * 10,
          "silent station 5", "result %d after %lu ms, state %u", r,
          static_cast<unsigned long>(elapsed), drv.Context()->plcState[5]);
    merix::StationArg arg{5};
    const int32_t warm = drv.Call(merix::kWarmStart, &arg);
    Check(warm == 0 && drv.Context()->plcState[5] == merix::kCommunicating, "WarmStart station 5",
          "result %d, state %u", warm, drv.Context()->plcState[5]);
}

/// Close, a cold start that changes the line to 8N1, close and reopen. The reopen runs at 8N1:
/// a pseudo-terminal keeps no parity, and Linux refuses (EINVAL) a terminal change that asks
/// for parity alone, which is what Wine's SetCommState asks of a pseudo-terminal opened once
/// before at 8E1. A real port takes 8E1 every time.
void CloseAndReopen(DriverSession& drv, Gate& reg, const char* port) {
    int32_t closed = drv.Call(merix::kCloseCom);
    const int32_t refused = drv.Read(reg);
    Check(closed == 0 && drv.Context()->hf == 0 && refused == 1, "CloseCom",
          "result %d, hf %u, read while closed %d", closed, drv.Context()->hf, refused);

    merix::StartParams sp = Line(port, 0);
    const int32_t cold = drv.Call(merix::kColdStart, &sp);
    int32_t r = drv.Read(reg);
    Check(cold == 0 && drv.Context()->hf != 0 && r == 0 && reg.Word() == 0x1234,
          "ColdStart again, 8N1", "result %d, hf %u, read %d", cold, drv.Context()->hf, r);

    closed = drv.Call(merix::kCloseCom);
    const int32_t reopened = drv.Call(merix::kReOpenCom);
    reg.SetWord(0);
    r = drv.Read(reg);
    Check(closed == 0 && reopened == 0 && drv.Context()->hf != 0 && r == 0 && reg.Word() == 0x1234,
          "CloseCom, ReOpenCom", "close %d, reopen %d, hf %u, read %d, value 0x%04X", closed,
          reopened, drv.Context()->hf, r, static_cast<uint16_t>(reg.Word()));
}

void End(DriverSession& drv) {
    const int32_t r = drv.Call(merix::kEndVpi);
    merix::VpiInfo info{};
    const int32_t after = drv.Call(merix::kGetVpiInfo, &info);
    Check(r == 0 && drv.Context()->hf == 0 && after == 0 && info.contextSize == 0, "EndVpi",
          "result %d, hf %u; afterwards GetVpiInfo %d and writes nothing", r, drv.Context()->hf,
          after);
    const auto errors = RunTimeErrors();
    std::string list;
    for (const auto& e : errors) {
        list += (list.empty() ? "" : ", ") + e;
    }
    Check(errors == std::vector<std::string>{"3080", "3011"}, "run-time errors",
          "%s (expected: 3080, 3011 from the refused parse)", list.c_str());
}

} // namespace
} // namespace wine_host

int main(int argc, char** argv) {
    using namespace wine_host;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string line = argc > 1 ? argv[1] : "COM1";
    const bool network = line.rfind("tcp://", 0) == 0 || line.rfind("rfc2217://", 0) == 0;
    const char* port = network ? "COM1" : line.c_str();
    const std::string portLine = network ? line : std::string();
    const std::string dll = argc > 2 ? argv[2] : BesideProgram("merix.dll");

    // The whole driver log goes to a file; errors and the event summary also to the console.
    FILE* log = std::fopen("merix_wine_host.log", "w");
    qorlib::SetLogSink([log](const qorlib::LogLine& line) {
        if (log != nullptr) {
            std::fprintf(log, "[%2d] %s\n", line.level, line.text.c_str());
        }
        if (line.level != 8) {
            std::printf("      log %2d: %s\n", line.level, line.text.c_str());
        }
    });

    DriverSession drv;
    std::string error;
    const bool loaded = drv.Load(dll, &error);
    Check(loaded, "LoadLibraryA, VpiMain", "%s", loaded ? dll.c_str() : error.c_str());
    if (loaded) {
        StartAndInfo(drv, port, portLine);
        if (drv.Context()->hf != 0) {
            Gate reg("01300100", 0);
            Gate coil("0110007 ", 6);
            Gate block("01301000", 0, 10);
            ParseGates(drv, reg, coil, block);
            ReadsAndWrites(drv, reg, coil, block);
            TimeBroadcast(drv);
            Events(drv);
            SilentStation(drv);
            CloseAndReopen(drv, reg, port);
        }
        End(drv);
    }
    qorlib::SetLogSink(nullptr);
    std::printf("merix_wine_host: %d of %d steps passed; driver log of %u lines in "
                "merix_wine_host.log\n",
                g_passed, g_passed + g_failed, static_cast<unsigned>(qorlib::Log().size()));
    if (log != nullptr) {
        std::fclose(log);
    }
    return std::min(g_failed, 100);
}
