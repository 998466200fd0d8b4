// The socket layer on POSIX sockets, with errno turned into Winsock's codes.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/net_socket.h"
#include "platform/posix_system.h"

namespace merix::plat::net {

namespace {

uint32_t Code(int error) {
    switch (error) {
    case ETIMEDOUT:
        return kErrorTimedOut;
    case ECONNREFUSED:
        return kErrorConnectionRefused;
    case ECONNRESET:
    case EPIPE:
        return kErrorConnectionReset;
    case EHOSTUNREACH:
    case ENETUNREACH:
        return kErrorHostUnreachable;
    case ENETDOWN:
        return kErrorNetworkDown;
    default:
        return 0x20000000u | static_cast<uint32_t>(error);
    }
}

int WaitMs(int64_t deadline) {
    const int64_t left = deadline - NowMs();
    return left <= 0 ? 0 : static_cast<int>(left);
}

/// One address tried until `deadline`: the connected socket, or -1 with `*error` set. A refusal
/// comes back at once, as the RST does.
int ConnectOne(const Address& a, int64_t deadline, uint32_t* error) {
    sockaddr_storage address{};
    std::memcpy(&address, a.bytes, std::min<std::size_t>(a.length, sizeof address));
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = Code(errno);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), a.length) != 0 &&
        errno != EINPROGRESS) {
        *error = Code(errno);
        close(fd);
        return -1;
    }
    pollfd pfd{fd, POLLOUT, 0};
    int ready = 0;
    do {
        ready = poll(&pfd, 1, WaitMs(deadline));
    } while (ready < 0 && errno == EINTR);
    int failure = 0;
    socklen_t length = sizeof failure;
    if (ready == 0) {
        failure = ETIMEDOUT;
    } else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        *error = Code(failure);
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool Resolve(const char* host, uint16_t port, uint32_t timeoutMs, AddressList* out,
             uint32_t* error) {
    const int64_t deadline = NowMs() + timeoutMs;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    // A literal address never reaches a name server.
    const int rc = getaddrinfo(host, service, &hints, &found);
    if (rc == 0) {
        sys::CopyAddresses(found, out);
        freeaddrinfo(found);
        return out->count > 0 || (*error = kErrorHostNotFound, false);
    }
    if (rc != EAI_NONAME) {
        *error = rc == EAI_SYSTEM ? Code(errno) : kErrorHostNotFound;
        return false;
    }
    return sys::LookUpName(host, service, deadline, out, error);
}

bool Connect(const AddressList& addresses, uint32_t timeoutMs, Connection* out, uint32_t* error) {
    const int64_t deadline = NowMs() + timeoutMs;
    int fd = -1;
    *error = kErrorHostNotFound;
    for (std::size_t i = 0; i < addresses.count && fd < 0; ++i) {
        if (i > 0 && NowMs() >= deadline) {
            *error = kErrorTimedOut;
            break;
        }
        const int64_t tryMs = ConnectTryMs(deadline - NowMs(), addresses.count - i);
        fd = ConnectOne(addresses.at[i], std::min(deadline, NowMs() + tryMs), error);
    }
    if (fd < 0) {
        return false;
    }
    *out = Connection{};
    out->socket = fd;
    const auto refused = [out](const char* name, int code) {
        if (code != 0 && out->refusedCount < kMaxRefusedOptions) {
            out->refused[out->refusedCount++] = {name, Code(code)};
        }
    };
    const int on = 1;
    refused("TCP_NODELAY",
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 ? 0 : errno);
    refused("TCP_USER_TIMEOUT", sys::BoundUnacknowledged(fd, kUnacknowledgedLimitMs));
    return true;
}

void Shutdown() {
    sys::CancelLookUps();
}

bool Send(Socket s, const uint8_t* bytes, std::size_t size, uint32_t timeoutMs, uint32_t* error) {
    const int64_t deadline = NowMs() + timeoutMs;
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(static_cast<int>(s), bytes + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            *error = Code(errno);
            return false;
        }
        pollfd pfd{static_cast<int>(s), POLLOUT, 0};
        if (WaitMs(deadline) == 0 || poll(&pfd, 1, WaitMs(deadline)) == 0) {
            *error = kErrorTimedOut;
            return false;
        }
    }
    return true;
}

long Receive(Socket s, uint8_t* buffer, std::size_t room, uint32_t timeoutMs, uint32_t* error) {
    const int fd = static_cast<int>(s);
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const ssize_t n = recv(fd, buffer, room, 0);
        if (n > 0) {
            sys::AckAtOnce(fd);
            return static_cast<long>(n);
        }
        if (n == 0) {
            *error = kErrorConnectionClosed;
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            *error = Code(errno);
            return -1;
        }
        const int wait = WaitMs(deadline);
        if (wait == 0) {
            return 0;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, wait);
        if (ready < 0 && errno != EINTR) {
            *error = Code(errno);
            return -1;
        }
    }
}

void Close(Socket s) {
    if (s != kNoSocket) {
        close(static_cast<int>(s));
    }
}

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

} // namespace merix::plat::net

namespace merix::plat::sys {

void CopyAddresses(const addrinfo* found, net::AddressList* out) {
    out->count = 0;
    for (const addrinfo* a = found; a != nullptr && out->count < net::kMaxAddresses;
         a = a->ai_next) {
        if (a->ai_addrlen > sizeof out->at[0].bytes) {
            continue; // neither IPv4 nor IPv6
        }
        net::Address& to = out->at[out->count++];
        std::memcpy(to.bytes, a->ai_addr, a->ai_addrlen);
        to.length = static_cast<uint32_t>(a->ai_addrlen);
    }
}

} // namespace merix::plat::sys
