// The socket layer on POSIX sockets, with errno turned into Winsock's codes.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

/// One address tried until `deadline`: the connected socket, or -1 with `*error` set.
int ConnectOne(const addrinfo& a, int64_t deadline, uint32_t* error) {
    const int fd = socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
    if (fd < 0) {
        *error = Code(errno);
        return -1;
    }
    if (connect(fd, a.ai_addr, a.ai_addrlen) != 0 && errno != EINPROGRESS) {
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

Socket Connect(const char* host, uint16_t port, uint32_t timeoutMs, uint32_t* error) {
    const int64_t deadline = NowMs() + timeoutMs;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    // getaddrinfo takes no time limit; a name that a hung resolver holds up is the one wait
    // not bounded here.
    if (getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) {
        *error = kErrorHostNotFound;
        return kNoSocket;
    }
    int fd = -1;
    *error = kErrorHostNotFound;
    for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        if (a != found && NowMs() >= deadline) {
            *error = kErrorTimedOut;
            break;
        }
        fd = ConnectOne(*a, deadline, error);
    }
    freeaddrinfo(found);
    if (fd < 0) {
        return kNoSocket;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sys::BoundUnacknowledged(fd, kUnacknowledgedLimitMs);
    return fd;
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
