// Lines behind device servers: PORT = tcp:// or rfc2217:// in the initialisation file, and the
// plant run through h51sim's own listener, Debian's ser2net (raw and RFC 2217) in front of h51sim
// on a pseudo-terminal, and pymodbus as an RTU slave on TCP; a server that goes away and comes
// back; servers that misbehave; a server that answers the connect late; and a lasting device path
// longer than the host's name.
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "network_servers.h"
#include "platform/platform.h"
#include "platform/telnet_codec.h"
#include "scripted_server.h"
#include "services/host_log.h"
#include "services/line_statistics.h"
#include "sim/tcp_bridge.h"
#include "sim_line.h"
#include "work_in.h"

namespace merix::test {
namespace {

using Clock = std::chrono::steady_clock;

enum class Server { kSimListener, kSer2netRaw, kSer2netRfc2217 };

int LogCount(const std::string& part) {
    int n = 0;
    for (const auto& line : qorlib::Log()) {
        n += line.text.find(part) != std::string::npos;
    }
    return n;
}

/// ColdStart of instance 1 in `ctx` with PORT = `port` in its initialisation file; the host's
/// own name is one that opens nothing here. The reply timeout counts in tens of milliseconds.
int32_t StartOnPort(DriverContext& ctx, const std::string& port, uint32_t baud,
                    uint32_t replyTimeout = 30) {
    std::ofstream("MERIX01.INI") << "PORT = " << port << "\n";
    StartParams sp{};
    std::snprintf(sp.portName, sizeof sp.portName, "COM1");
    sp.comOn = 1;
    sp.replyTimeout = replyTimeout;
    sp.baud = static_cast<uint16_t>(baud);
    sp.dataBits = 8;
    sp.parity = 2;
    CallBlock cb{&ctx, kColdStart, 1, 0, &sp};
    return VpiMain(&cb);
}

/// The simulator's line behind a server of `Kind()`, opened by PORT.
class NetworkLineBase : public SimLine {
protected:
    virtual Server Kind() const = 0;

    void SetUp() override {
        SimLine::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_EQ(Call(kCloseCom), 0) << "the pseudo-terminal is the server's from here";
        std::string why;
        if (Kind() == Server::kSimListener) {
            ASSERT_TRUE(bridge.Start("127.0.0.1", 0, sim->DeviceName(), &why)) << why;
            url = h51sim::ListenUrl("127.0.0.1", bridge.Port());
        } else {
            why = Ser2net::Missing();
            if (!why.empty()) {
                GTEST_SKIP() << why;
            }
            // RFC 2217 must set the line itself: the server starts it at another speed.
            const bool rfc2217 = Kind() == Server::kSer2netRfc2217;
            ASSERT_TRUE(
                ser2net.Start(sim->DeviceName(), rfc2217, rfc2217 ? "9600n81" : "38400e81", &why))
                << why;
            url = ser2net.Url();
        }
        qorlib::ClearLog();
        ASSERT_EQ(StartOnPort(ctx, url, LineSettings().baud), 0);
        ASSERT_NE(ctx.hf, 0u) << "could not open " << url;
    }
    void TearDown() override {
        SimLine::TearDown();
        bridge.Stop();
        ser2net.Stop();
    }

    WorkIn work{"merix_network_"};
    h51sim::TcpBridge bridge;
    Ser2net ser2net;
    std::string url;
};

class NetworkLine : public NetworkLineBase, public ::testing::WithParamInterface<Server> {
protected:
    Server Kind() const override { return GetParam(); }

    /// Sets four events of station 1, clears two of them again, and polls until the
    /// simulator's buffer is empty: each change reaches its gate once, with its time stamp.
    void ExpectEachEventCollectedOnce() {
        const char* gates[] = {"E010000", "E010001", "E010002", "E010003"};
        for (const char* gate : gates) {
            qorlib::DefineGate(gate, 1);
        }
        Gate events("$EVENT", 1, 3, 0xFFFD);
        EXPECT_EQ(Read(events), 0) << "set-up";
        for (uint16_t e = 0; e < 4; ++e) {
            sim->SetEvent(1, e, true);
        }
        sim->SetEvent(1, 0, false);
        sim->SetEvent(1, 1, false);
        for (int i = 0; i < 50 && (sim->BufferedEvents(1) != std::optional<size_t>(0) ||
                                   ctx.fReadEvent != 0 || ctx.fRE[1] == 1);
             ++i) {
            Read(events);
        }
        const size_t expected[] = {2, 2, 1, 1};
        for (int e = 0; e < 4; ++e) {
            size_t stamped = 0;
            for (const auto& v : qorlib::History(gates[e], 1)) {
                stamped += v.seconds != 0;
            }
            EXPECT_EQ(stamped, expected[e]) << gates[e];
        }
    }

    /// No counter of the line saw a failure; over RFC 2217 the device server's port was set
    /// to the host's speed, confirmed.
    void ExpectACleanLine() {
        for (const LineCounter c :
             {LineCounter::kFail, LineCounter::kRetry, LineCounter::kSilence, LineCounter::kCrc,
              LineCounter::kWrong, LineCounter::kException, LineCounter::kShort,
              LineCounter::kFraming, LineCounter::kParity, LineCounter::kOverrun}) {
            EXPECT_EQ(ReadLineCounter(ctx, 0, c), 0u) << kLineCounterNames[static_cast<int>(c)];
        }
        if (Kind() == Server::kSer2netRfc2217) {
            // The server's port was set to the host's speed, though ser2net starts it at 9600.
            const int fd = open(sim->DeviceName().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            termios tio{};
            ASSERT_EQ(tcgetattr(fd, &tio), 0);
            close(fd);
            EXPECT_EQ(cfgetospeed(&tio), B38400);
            EXPECT_EQ(LogCount("RFC 2217, the device server's port set to 38400 baud, 8 data bits, "
                               "parity even, stop bits 1, no flow control; it switches the line "
                               "direction"),
                      1);
            EXPECT_EQ(LogCount("did not confirm"), 0) << "ser2net confirms every command sent";
        }
    }
};

TEST_P(NetworkLine, ReadsWritesBroadcastsAndCollectsEachEventOnce) {
    sim->SetHoldingRegister(1, 100, 0x1234);
    sim->SetCoil(1, 7, true);
    Gate reg("01300100", 1, 3, 100);
    Gate coil("01100007", 1, 1, 7, 6);
    Gate written("01300200", 1, 3, 200);
    EXPECT_EQ(Read(reg), 0);
    EXPECT_EQ(reg.Word(), 0x1234);
    EXPECT_EQ(Read(coil), 0);
    EXPECT_EQ(coil.Word(), 1);
    EXPECT_EQ(Write(written, -1), 0) << "0xFF bytes, doubled on the way over Telnet";
    written.SetWord(0);
    EXPECT_EQ(Read(written), 0);
    EXPECT_EQ(written.Word(), -1);

    Gate time("$TIME", 0, 3, 0xFFFC);
    EXPECT_EQ(Write(time, 1), 0);
    EXPECT_TRUE(sim->WaitFor([&] { return sim->LastTimeSync().has_value(); }, 5000ms));

    ExpectEachEventCollectedOnce();
    ExpectACleanLine();
}

std::string ServerName(const ::testing::TestParamInfo<Server>& info) {
    constexpr const char* kNames[] = {"SimListener", "Ser2netRaw", "Ser2netRfc2217"};
    return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Servers, NetworkLine,
                         ::testing::Values(Server::kSimListener, Server::kSer2netRaw,
                                           Server::kSer2netRfc2217),
                         ServerName);

/// What the host does while the server is down: nothing, or what hosts do exactly when a line
/// is failing, reopen or restart it. The line comes back by itself all the same.
enum class WhileDown { kNothing, kReOpenCom, kColdStart };

class NetworkRestart : public NetworkLineBase, public ::testing::WithParamInterface<WhileDown> {
protected:
    Server Kind() const override { return Server::kSimListener; }
};

TEST_P(NetworkRestart, AServerThatComesBackIsConnectedAgainWithoutTheHost) {
    Gate reg("01300100", 1, 3, 100);
    ASSERT_EQ(Read(reg), 0);
    const uint16_t port = bridge.Port();
    bridge.Stop();
    if (GetParam() == WhileDown::kReOpenCom) {
        EXPECT_EQ(Call(kReOpenCom), kResultFailed) << "not open now";
    } else if (GetParam() == WhileDown::kColdStart) {
        EXPECT_EQ(StartOnPort(ctx, url, LineSettings().baud), 0);
    }
    EXPECT_NE(ctx.hf, 0u) << "the port is kept for the server";
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        EXPECT_EQ(Read(reg), kResultFailed);
        // Fails at once, as on an unplugged adapter: a bound far above the retries' gaps.
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
    }
    std::string why;
    ASSERT_TRUE(bridge.Start("127.0.0.1", port, sim->DeviceName(), &why)) << why;
    const auto back = Clock::now();
    int32_t r = kResultFailed;
    while (r != 0 && Clock::now() - back < std::chrono::seconds(20)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        r = Read(reg);
    }
    EXPECT_EQ(r, 0);
    EXPECT_LT(Clock::now() - back, std::chrono::milliseconds(5000 + 300 + 2000))
        << "within the 5 s between tries and one connect";
    EXPECT_EQ(LogCount(url + ": connection lost"), 1);
    EXPECT_EQ(LogCount(url + ": connection is back"), 1);
}

INSTANTIATE_TEST_SUITE_P(HostActions, NetworkRestart,
                         ::testing::Values(WhileDown::kNothing, WhileDown::kReOpenCom,
                                           WhileDown::kColdStart),
                         [](const auto& info) {
                             return std::string(info.param == WhileDown::kNothing ? "Nothing"
                                                : info.param == WhileDown::kReOpenCom
                                                    ? "ReOpenCom"
                                                    : "ColdStart");
                         });

/// The driver alone, in a directory of its own, with a server the test brings.
class NetworkPort : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLibraryStateForTests();
        qorlib::Reset();
    }
    void TearDown() override {
        CallBlock cb{&ctx, kEndVpi, 1, 0, nullptr};
        VpiMain(&cb);
    }
    int32_t Call(uint32_t command, void* params) {
        CallBlock cb{&ctx, command, 1, 0, params};
        return VpiMain(&cb);
    }

    WorkIn work{"merix_network_port_"};
    DriverContext ctx{};
};

TEST_F(NetworkPort, ReadsAndWritesAPymodbusSlaveOnTcp) {
    std::string why = PymodbusSlave::Missing();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    PymodbusSlave slave;
    ASSERT_TRUE(slave.Start(&why)) << why;
    ASSERT_EQ(StartOnPort(ctx, slave.Url(), 19200), 0);
    ASSERT_NE(ctx.hf, 0u);
    Gate reg("01300005", 1, 3, 5);
    EXPECT_EQ(Call(kSingleRead, &reg.rec), 0);
    EXPECT_EQ(reg.Word(), 50) << "register i holds i*10";
    Gate coil("01100004", 1, 1, 4, 6);
    EXPECT_EQ(Call(kSingleRead, &coil.rec), 0);
    EXPECT_EQ(coil.Word(), 1) << "even coils are on";
    Gate target("01300007", 1, 3, 7);
    target.SetWord(1234);
    EXPECT_EQ(Call(kSingleWrite, &target.rec), 0);
    target.SetWord(0);
    EXPECT_EQ(Call(kSingleRead, &target.rec), 0);
    EXPECT_EQ(target.Word(), 1234);
}

struct BadServerCase {
    const char* name;
    std::string (*port)(ScriptedServer& server); // the PORT value; the server plays along
    bool closesAtOnce;
    bool opens;
    const char* logged; // a part of a line the driver logs
};

const BadServerCase kBadServers[] = {
    // A server that cannot be reached keeps its port, for the line to come back by itself.
    {"NameNotResolved",
     [](ScriptedServer&) { return std::string("tcp://no-such-host.invalid:502"); }, false, true,
     // 11001 where a name server answers, 11002 where none does in time
     "not opened, code 1, system error 1100"},
    {"Refused", [](ScriptedServer&) { return "tcp://127.0.0.1:" + std::to_string(FreeTcpPort()); },
     false, true, "not opened, code 1, system error 10061: connection refused"},
    {"ClosesAtOnce", [](ScriptedServer& s) { return s.Url("tcp://"); }, true, true,
     ": connection lost, system error"},
    {"NeverAnswers", [](ScriptedServer& s) { return s.Url("rfc2217://"); }, false, true,
     "the device server did not agree to COM port control: no line setting sent"},
    {"EndlessSubnegotiation",
     [](ScriptedServer& s) {
         Bytes endless{plat::telnet::kIac, plat::telnet::kSb, plat::telnet::kOptionComPort};
         endless.resize(200000, 0x55);
         std::thread([&s, endless] { s.Send(endless); }).detach();
         return s.Url("rfc2217://");
     },
     false, true, "MERIX> DoRead() error reading reply, retry 4"},
};

class NetworkBadServer : public NetworkPort, public ::testing::WithParamInterface<BadServerCase> {};

TEST_P(NetworkBadServer, GetsItsLogLineAndResultAndHoldsNothingUp) {
    const BadServerCase& c = GetParam();
    ScriptedServer server(c.closesAtOnce);
    const auto start = Clock::now();
    ASSERT_EQ(StartOnPort(ctx, c.port(server), 19200), 0);
    EXPECT_EQ(ctx.hf != 0, c.opens);
    Gate reg("01300005", 1, 3, 5);
    if (c.opens) {
        EXPECT_EQ(Call(kSingleRead, &reg.rec), kResultFailed);
    }
    EXPECT_EQ(LogCount(c.logged), 1) << c.logged;
    // Five attempts of one reply timeout each, and a short wait for the server's answers.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

INSTANTIATE_TEST_SUITE_P(Cases, NetworkBadServer, ::testing::ValuesIn(kBadServers),
                         [](const auto& info) { return std::string(info.param.name); });

/// The SYNs that listeners dropped because their accept queue was full (TcpExt
/// ListenOverflows); -1 where the system does not tell.
long ListenOverflows() {
    std::ifstream in("/proc/net/netstat");
    for (std::string names, values; std::getline(in, names) && std::getline(in, values);) {
        if (!names.starts_with("TcpExt:")) {
            continue;
        }
        std::istringstream n(names);
        std::istringstream v(values);
        for (std::string name, value; n >> name && v >> value;) {
            if (name == "ListenOverflows") {
                return std::stol(value);
            }
        }
    }
    return -1;
}

/// A server on the loopback that answers a connect late, as one across a slow network does: a
/// first client fills its accept queue, so that the kernel drops the SYN of the next one, and
/// the server takes the first client off the queue only then. The next client is connected when
/// it sends its SYN again, a second after the first (Linux).
class LateServer {
public:
    LateServer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(listener_, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        listen(listener_, 0); // room for one client
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        first_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(first_, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        const long before = ListenOverflows();
        taker_ = std::thread([this, before] {
            // Half a second at most: well before the SYN is sent again.
            for (int i = 0; i < 250 && ListenOverflows() == before; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            taken_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        });
    }
    ~LateServer() {
        taker_.join();
        for (const int fd : {taken_, first_, listener_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    LateServer(const LateServer&) = delete;
    LateServer& operator=(const LateServer&) = delete;
    std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

private:
    int listener_ = -1;
    int first_ = -1;
    int taken_ = -1;
    uint16_t port_ = 0;
    std::thread taker_;
};

// The connect at an open waits as long as a reply would: 300 tens of milliseconds here, so a
// server that answers it a second late is connected.
TEST_F(NetworkPort, AServerThatAnswersTheConnectLateIsConnectedWithinTheReplyTimeout) {
    LateServer server;
    ASSERT_EQ(StartOnPort(ctx, server.Url(), 19200, 300), 0);
    EXPECT_EQ(LogCount(" not opened"), 0);
    ASSERT_NE(ctx.hf, 0u);
    EXPECT_FALSE(plat::ConnectionLost(ctx.hf));
}

// A name server that never answers holds no command past the reply timeout: not the open, not
// a reopen, not a read that connects again. The test runs itself again in a process with a mount
// namespace of its own, whose resolv.conf names a silent server on the loopback (a socket that
// never reads); where the system lets it make none, it is skipped.
constexpr const char* kSilentNameServer = "MERIX_SILENT_NAME_SERVER";

/// In the namespace: a silent name server at 127.0.0.2, named by /etc/resolv.conf. False, with
/// `*why`, where the system does not allow it.
bool UseSilentNameServer(std::string* why) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        *why = std::string("no mount namespace: ") + std::strerror(errno);
        return false;
    }
    const int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(0x7F000002);
    if (bind(silent, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        *why = std::string("no name server socket: ") + std::strerror(errno);
        return false;
    }
    const std::string conf = std::filesystem::absolute("resolv.conf");
    std::ofstream(conf) << "nameserver 127.0.0.2\noptions timeout:5 attempts:2\n";
    if (mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        *why = std::string("resolv.conf not replaced: ") + std::strerror(errno);
        return false;
    }
    return true; // the socket stays open, unread, until the process ends
}

TEST_F(NetworkPort, ANameServerThatNeverAnswersHoldsNoCommandPastTheReplyTimeout) {
    if (const char* skipped = std::getenv(kSilentNameServer)) {
        std::string why;
        if (!UseSilentNameServer(&why)) {
            std::ofstream(skipped) << why;
            return;
        }
        const auto bound = std::chrono::milliseconds(200 + 1000); // one reply timeout, a margin
        auto start = Clock::now();
        ASSERT_EQ(StartOnPort(ctx, "tcp://plc-behind-a-silent-dns.example:502", 19200, 20), 0);
        EXPECT_LT(Clock::now() - start, bound) << "ColdStart";
        EXPECT_EQ(
            LogCount("not opened, code 1, system error 11002: the name server did not answer"), 1);
        start = Clock::now();
        EXPECT_EQ(Call(kReOpenCom, nullptr), kResultFailed);
        EXPECT_LT(Clock::now() - start, bound) << "ReOpenCom";
        std::this_thread::sleep_for(std::chrono::milliseconds(5100)); // the next try is due
        Gate reg("01300005", 1, 3, 5);
        start = Clock::now();
        EXPECT_EQ(Call(kSingleRead, &reg.rec), kResultFailed);
        EXPECT_LT(Clock::now() - start, bound) << "a read that connects again";
        return;
    }
    const std::string skipped = std::filesystem::absolute("skipped");
    const pid_t child = fork();
    if (child == 0) {
        setenv(kSilentNameServer, skipped.c_str(), 1);
        execl("/proc/self/exe", "merix_e2e_tests",
              "--gtest_filter=NetworkPort."
              "ANameServerThatNeverAnswersHoldsNoCommandPastTheReplyTimeout",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (std::ifstream in(skipped); in) {
        std::string why;
        std::getline(in, why);
        GTEST_SKIP() << why;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "see the child's output";
}

TEST_F(NetworkPort, ALastingDevicePathLongerThanTheHostsNameOpensAndReads) {
    h51sim::LineConfig line;
    line.baud = 19200;
    line.parity = h51sim::Parity::Even;
    h51sim::Simulator sim(line);
    h51sim::StationConfig station;
    station.address = 1;
    std::string error;
    ASSERT_TRUE(sim.AddStation(station, &error)) << error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    sim.SetHoldingRegister(1, 5, 4321);
    std::filesystem::create_directories("serial/by-id");
    const std::string path =
        std::filesystem::absolute("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")
            .string();
    std::filesystem::create_symlink(sim.DeviceName(), path);
    ASSERT_EQ(StartOnPort(ctx, path, 19200), 0);
    ASSERT_NE(ctx.hf, 0u);
    Gate reg("01300005", 1, 3, 5);
    EXPECT_EQ(Call(kSingleRead, &reg.rec), 0);
    EXPECT_EQ(reg.Word(), 4321);
    TearDown();
    sim.Stop();
}

} // namespace
} // namespace merix::test
