#include "sim/tcp_bridge.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "platform/net_address.h"

namespace h51sim {

namespace {

// A peer that takes no bytes for this long is given up: the client is dropped, or, for the
// device, the bytes are.
constexpr auto kWriteTimeout = std::chrono::seconds(2);

std::string ErrnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

/// Writes all bytes, waiting for room up to kWriteTimeout. A socket is written with
/// MSG_NOSIGNAL: a client gone away must not raise SIGPIPE in a test process.
bool WriteAll(int fd, bool socket, const uint8_t* bytes, size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = socket ? send(fd, bytes + done, size - done, MSG_NOSIGNAL)
                                 : write(fd, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left.count()));
    }
    return true;
}

/// Reads what is there: bytes read; 0 when none; -1 at the end of the stream or on an error.
ssize_t ReadSome(int fd, uint8_t* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(fd, buffer, size);
        if (n > 0) {
            return n;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

int Listen(const std::string& host, uint16_t port, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = host + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            *error = ErrnoText("socket");
            continue;
        }
        // A port in TIME_WAIT from the last run, or from a Stop just before, is taken again.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 4) != 0) {
            *error = ErrnoText(ListenUrl(host, port));
            CloseFd(fd);
        }
    }
    freeaddrinfo(found);
    return fd;
}

/// The port a socket is bound to (the one the system chose for port 0); 0 when unknown.
uint16_t BoundPort(int fd) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return 0;
    }
    if (bound.ss_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, &bound, sizeof v6);
        return ntohs(v6.sin6_port);
    }
    sockaddr_in v4{};
    std::memcpy(&v4, &bound, sizeof v4);
    return ntohs(v4.sin_port);
}

int OpenRaw(const std::string& device, std::string* error) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoText(device);
        return -1;
    }
    // Raw: no echo, no line editing, no CR/LF translation; the frames pass untouched.
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *error = ErrnoText(device);
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = ErrnoText(device);
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool ParseListenUrl(const std::string& url, std::string* host, uint16_t* port) {
    std::string text = url;
    const bool anyPort = text.size() > 2 && text.compare(text.size() - 2, 2, ":0") == 0;
    if (anyPort) {
        text.back() = '1'; // a port the driver's reading accepts, to read the rest
    }
    merix::plat::NetAddress address;
    if (!merix::plat::ParseNetAddress(text.c_str(), &address) ||
        address.kind != merix::plat::PortKind::kRawTcp) {
        return false;
    }
    *host = address.host;
    *port = anyPort ? 0 : address.port;
    return true;
}

std::string ListenUrl(const std::string& host, uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(merix::plat::kRawTcpScheme) + (v6 ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

bool TcpBridge::Start(const std::string& host, uint16_t port, const std::string& device,
                      std::string* error) {
    if (Running()) {
        *error = "the bridge is already running";
        return false;
    }
    if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        *error = ErrnoText("pipe");
        wake_[0] = wake_[1] = -1;
        return false;
    }
    listener_ = Listen(host, port, error);
    device_ = listener_ < 0 ? -1 : OpenRaw(device, error);
    if (device_ < 0) {
        CloseAll();
        return false;
    }
    port_ = BoundPort(listener_);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void TcpBridge::Stop() {
    if (thread_.joinable()) {
        const uint8_t byte = 1;
        (void)!write(wake_[1], &byte, 1);
        thread_.join();
    }
    CloseAll();
}

void TcpBridge::CloseAll() {
    CloseFd(listener_);
    CloseFd(device_);
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
}

void TcpBridge::Run() {
    int client = -1;
    uint8_t buffer[512];
    for (;;) {
        pollfd fds[4] = {{wake_[0], POLLIN, 0},
                         {device_, POLLIN, 0},
                         {client, POLLIN, 0},
                         {listener_, POLLIN, 0}};
        if (poll(fds, 4, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[1].revents != 0) {
            const ssize_t n = ReadSome(device_, buffer, sizeof buffer);
            if (n < 0) {
                break; // the line is gone: the simulator stopped
            }
            if (n > 0 && client >= 0 && !WriteAll(client, true, buffer, static_cast<size_t>(n))) {
                CloseFd(client);
            }
        }
        // The client before the listener: a client replaced below must not be read with the
        // events of the one it replaces.
        if (client >= 0 && fds[2].revents != 0) {
            const ssize_t n = ReadSome(client, buffer, sizeof buffer);
            if (n < 0) {
                CloseFd(client);
            } else if (n > 0) {
                WriteAll(device_, false, buffer, static_cast<size_t>(n));
            }
        }
        if ((fds[3].revents & POLLIN) != 0) {
            const int fresh = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fresh >= 0) {
                CloseFd(client);
                client = fresh;
                // A reply goes out byte by byte at the line's pace; Nagle's algorithm would
                // hold bytes back and stretch the gaps a master times.
                const int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
        }
    }
    CloseFd(client);
}

} // namespace h51sim
