// Servers that nobody here wrote, for end-to-end tests of the driver's network ports: Debian's
// ser2net (4.3) in front of a serial device, raw or with RFC 2217, and pymodbus (3.0) as a
// Modbus RTU slave on a TCP port. Each runs as a child process in the foreground, with its files
// in a temporary directory removed on Stop. Start returns once the port takes connections, so a
// test never races the server's start.
//
//     std::string why = Ser2net::Missing();
//     if (!why.empty()) GTEST_SKIP() << why;
//     Ser2net server;
//     ASSERT_TRUE(server.Start(sim.DeviceName(), true, "9600e81", &why)) << why;
//     ... PORT = server.Url() ...
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/net_address.h"

namespace merix::test {

/// A TCP port free on 127.0.0.1 now: bound to port 0, read, closed. Another process could take
/// it before the server binds it; the system hands out its free ports in turn, so that is rare.
/// 0 when no socket could be bound.
inline uint16_t FreeTcpPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

namespace detail {

inline std::string TextOfFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// A program run in the foreground, its standard output and error in `log`.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Spawn(const std::vector<std::string>& argv, const std::filesystem::path& log) {
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const pid_t parent = getpid();
        pid_ = out >= 0 && in >= 0 ? fork() : -1;
        if (pid_ == 0) {
            // Async-signal-safe calls only: the test process has other threads. A server left
            // behind by a crashed test would hold its port and the device, so it dies with the
            // test (Linux's parent-death signal; the check after it covers a parent already
            // gone).
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(127);
            }
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            execv(args[0], args.data());
            _exit(127);
        }
        if (out >= 0) {
            close(out);
        }
        if (in >= 0) {
            close(in);
        }
        return pid_ > 0;
    }

    /// False once the process has ended; its exit code is then ExitCode().
    bool Running() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return pid_ > 0;
    }
    int ExitCode() const { return exitCode_; }

    /// SIGTERM, then SIGKILL after 5 s; waits for the end.
    void Stop() {
        if (!Running()) {
            return;
        }
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (Running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (Running()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

/// True when 127.0.0.1:`port` takes a connection within `seconds` while `child` runs. The
/// probe connects and closes at once: the servers here open their device per connection, and
/// take the next client in its place.
inline bool WaitForPort(uint16_t port, ChildProcess& child, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (child.Running() && std::chrono::steady_clock::now() < deadline) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
        close(fd);
        if (up) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

/// A server process on 127.0.0.1:port with its files in a temporary directory.
class ServerProcess {
public:
    ~ServerProcess() { Stop(); }

    /// Creates the directory; its path, or empty with `whyNot` set.
    std::filesystem::path MakeDirectory(const char* name, std::string* whyNot) {
        std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            *whyNot = "cannot create a directory like " + pattern;
            return {};
        }
        dir_ = pattern;
        return dir_;
    }

    /// Runs `argv` and waits up to 10 s for the port. On failure the process is stopped and
    /// `whyNot` gets its exit code and its output.
    bool Run(const std::vector<std::string>& argv, uint16_t port, std::string* whyNot) {
        const std::filesystem::path log = dir_ / "output.log";
        if (!child_.Spawn(argv, log)) {
            *whyNot = "cannot run " + argv[0];
            Stop();
            return false;
        }
        if (WaitForPort(port, child_, 10)) {
            return true;
        }
        const bool ended = !child_.Running();
        *whyNot =
            argv[0] +
            (ended ? " ended with code " + std::to_string(child_.ExitCode())
                   : " did not take connections on port " + std::to_string(port) + " within 10 s") +
            ": " + TextOfFile(log);
        Stop();
        return false;
    }

    bool Running() { return child_.Running(); }
    int ExitCode() const { return child_.ExitCode(); }

    void Stop() {
        child_.Stop();
        if (!dir_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
            dir_.clear();
        }
    }

private:
    ChildProcess child_;
    std::filesystem::path dir_;
};

} // namespace detail

/// Debian's ser2net 4.3 in front of a serial device: raw TCP (bytes as they are) or Telnet with
/// RFC 2217. ser2net opens the device when a client connects and closes it when the client
/// leaves, setting it to `lineSettings` each time: a setting made through RFC 2217 lasts for
/// its connection only.
///
/// As seen with ser2net 4.3.11 on Linux, in front of a pseudo-terminal:
/// - At connect, the RFC 2217 accepter sends IAC WILL SUPPRESS-GO-AHEAD, IAC DO SUPPRESS-GO-AHEAD,
///   IAC WILL ECHO, IAC DONT ECHO, IAC DO BINARY, IAC WILL BINARY, IAC DO COM-PORT-OPTION; to the
///   client's IAC WILL COM-PORT-OPTION it answers NOTIFY-MODEMSTATE 0. It takes data and
///   COM-PORT-OPTION commands at once, also from a client that answered none of its options
///   and never sent IAC WILL COM-PORT-OPTION. It sent no NOTIFY-LINESTATE, whatever the mask.
/// - SET-BAUDRATE, SET-DATASIZE, SET-PARITY, SET-STOPSIZE and PURGE-DATA are acknowledged
///   (code + 100) with the value in effect; a value of 0 queries. SET-LINESTATE-MASK and
///   SET-MODEMSTATE-MASK are acknowledged with 0 whatever the mask. SET-CONTROL: flow control
///   settings are echoed, and its query (0) answers the setting; break on, off and its query
///   (5, 6, 4) are all answered 5; the DTR and RTS queries (7, 10) are echoed; DTR and RTS on
///   or off (8, 9, 11, 12) get no answer at all, as a pseudo-terminal has no modem lines.
///   FLOWCONTROL-SUSPEND and -RESUME are answered with SET-CONTROL 1 (no flow control).
/// - termios requests on a pseudo-terminal's master act on its slave's settings, so tcgetattr
///   on either side shows the rate set. The kernel keeps a pseudo-terminal at 8 data bits and
///   no parity, whatever is set; the rate, the stop bits and the flow control do show.
class Ser2net {
public:
    static constexpr const char* kProgram = "/usr/sbin/ser2net";

    /// Empty when ser2net can run here; else why not, for GTEST_SKIP.
    static std::string Missing() {
        return access(kProgram, X_OK) == 0
                   ? std::string()
                   : std::string(kProgram) + " is not installed (Debian package ser2net)";
    }

    Ser2net() = default;
    ~Ser2net() { Stop(); }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    /// Serves `device` (e.g. "/dev/pts/7") on a free port of 127.0.0.1, raw or with RFC 2217,
    /// with ser2net's `lineSettings`: rate, parity n/e/o, data bits, stop bits ("38400e81").
    bool Start(const std::string& device, bool rfc2217, const std::string& lineSettings,
               std::string* whyNot) {
        device_ = device;
        rfc2217_ = rfc2217;
        lineSettings_ = lineSettings;
        port_ = FreeTcpPort();
        return Launch(whyNot);
    }

    /// "tcp://127.0.0.1:N" or "rfc2217://127.0.0.1:N".
    std::string Url() const {
        return std::string(rfc2217_ ? plat::kRfc2217Scheme : plat::kRawTcpScheme) +
               "127.0.0.1:" + std::to_string(port_);
    }
    uint16_t Port() const { return port_; }

    /// Ends ser2net, and with it any connection. Safe to call more than once.
    void Stop() { server_.Stop(); }

private:
    bool Launch(std::string* whyNot) {
        if (std::string why = Missing(); !why.empty()) {
            *whyNot = why;
            return false;
        }
        if (port_ == 0) {
            *whyNot = "no free TCP port";
            return false;
        }
        const std::filesystem::path dir = server_.MakeDirectory("merix-ser2net", whyNot);
        if (dir.empty()) {
            return false;
        }
        const std::string accepter = rfc2217_ ? "telnet(rfc2217),tcp" : "tcp";
        std::string config = "%YAML 1.1\n---\nconnection: &merix\n";
        config += "  accepter: " + accepter + ",127.0.0.1," + std::to_string(port_) + "\n";
        // local: no modem lines to wait for; a pseudo-terminal has none.
        config += "  connector: serialdev," + device_ + "," + lineSettings_ + ",local\n";
        config += "  options:\n";
        // A driver that reconnects before ser2net saw its old connection drop is served, not
        // refused.
        config += "    kickolduser: true\n";
        // Device bytes go out at once, not gathered for up to 20 ms: a reply reaches the
        // driver as the line delivers it.
        config += "    chardelay: false\n";
        std::ofstream(dir / "ser2net.yaml") << config;
        // -d: foreground, its log on standard output; -u: no UUCP lock files in /var/lock.
        return server_.Run({kProgram, "-d", "-u", "-c", (dir / "ser2net.yaml").string()}, port_,
                           whyNot);
    }

    detail::ServerProcess server_;
    std::string device_;
    bool rfc2217_ = false;
    std::string lineSettings_;
    uint16_t port_ = 0;
};

/// pymodbus 3.0 (Debian's python3-pymodbus) as a Modbus RTU slave on 127.0.0.1: RTU frames
/// (address, PDU, CRC) over TCP, as a slave behind a device server in raw mode. The script is
/// tests/e2e/pymodbus_rtu_slave.py. Unit 1 only: requests to other units get no reply. Each
/// table has kTableSize entries from address 0, writable, starting at the values below (the
/// script sets the same). Seen with 3.0.0: requests with a bad CRC get no reply; pymodbus
/// cannot size frames of functions it does not know, and may lose the next request on the
/// connection after one (it did after 0x42).
class PymodbusSlave {
public:
    static constexpr const char* kPython = "/usr/bin/python3";
    static constexpr uint8_t kUnit = 1;
    static constexpr int kTableSize = 100;
    static constexpr uint16_t HoldingRegister(int i) { return static_cast<uint16_t>(i * 10); }
    static constexpr uint16_t InputRegister(int i) { return static_cast<uint16_t>(i * 10 + 1); }
    static constexpr bool Coil(int i) { return i % 2 == 0; }
    static constexpr bool DiscreteInput(int i) { return i % 3 == 0; }

    /// The script, beside this header.
    static std::filesystem::path Script() {
        return std::filesystem::path(__FILE__).parent_path() / "pymodbus_rtu_slave.py";
    }

    /// Empty when the slave can run here; else why not, for GTEST_SKIP. Debian's package
    /// installs for the system's interpreter, which a python3 earlier on PATH (pyenv, a venv)
    /// may not see: hence /usr/bin/python3, asked to import pymodbus.
    static std::string Missing() {
        if (access(kPython, X_OK) != 0) {
            return std::string(kPython) + " is not installed (Debian package python3)";
        }
        detail::ChildProcess probe;
        if (!probe.Spawn({kPython, "-c", "import pymodbus"}, "/dev/null")) {
            return std::string("cannot run ") + kPython;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (probe.Running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return probe.Running() || probe.ExitCode() == 0
                   ? std::string()
                   : "pymodbus is not installed (Debian package python3-pymodbus)";
    }

    PymodbusSlave() = default;
    ~PymodbusSlave() { Stop(); }
    PymodbusSlave(const PymodbusSlave&) = delete;
    PymodbusSlave& operator=(const PymodbusSlave&) = delete;

    /// Serves on a free port of 127.0.0.1, the tables at their starting values.
    bool Start(std::string* whyNot) {
        port_ = FreeTcpPort();
        return Launch(whyNot);
    }

    /// "tcp://127.0.0.1:N".
    std::string Url() const {
        return std::string(plat::kRawTcpScheme) + "127.0.0.1:" + std::to_string(port_);
    }
    uint16_t Port() const { return port_; }

    /// Ends the slave, and with it any connection. Safe to call more than once.
    void Stop() { server_.Stop(); }

private:
    bool Launch(std::string* whyNot) {
        if (access(kPython, X_OK) != 0) {
            *whyNot = Missing();
            return false;
        }
        if (!std::filesystem::exists(Script())) {
            *whyNot = Script().string() + " is missing";
            return false;
        }
        if (port_ == 0) {
            *whyNot = "no free TCP port";
            return false;
        }
        if (server_.MakeDirectory("merix-pymodbus", whyNot).empty()) {
            return false;
        }
        if (server_.Run({kPython, Script().string(), std::to_string(port_), "127.0.0.1"}, port_,
                        whyNot)) {
            return true;
        }
        if (server_.ExitCode() == 77) { // the script's code for "pymodbus is missing"
            *whyNot = "pymodbus is not installed (Debian package python3-pymodbus)";
        }
        return false;
    }

    detail::ServerProcess server_;
    uint16_t port_ = 0;
};

} // namespace merix::test
