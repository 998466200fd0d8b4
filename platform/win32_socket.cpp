// The socket layer on Winsock. Winsock is started at the first connect and left running: the
// driver has no moment at which no instance may need it again, and the system ends it with the
// process.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>

#include "platform/net_socket.h"

namespace merix::plat::net {

namespace {

bool g_started = false;

/// SIO_TCP_SET_ACK_FREQUENCY and TCP_MAXRT, which older MinGW headers lack.
constexpr DWORD kSetAckFrequency = _WSAIOW(IOC_VENDOR, 23);
constexpr int kMaxRetransmitTime = 5;

bool Started(uint32_t* error) {
    if (!g_started) {
        WSADATA data{};
        const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
        if (rc != 0) {
            *error = static_cast<uint32_t>(rc);
            return false;
        }
        g_started = true;
    }
    return true;
}

SOCKET Raw(Socket s) {
    return static_cast<SOCKET>(s);
}

int64_t LeftMs(int64_t deadline) {
    const int64_t left = deadline - NowMs();
    return left < 0 ? 0 : left;
}

/// select() for one socket: >0 ready, 0 when the time ran out, <0 on an error.
int WaitFor(SOCKET s, bool writable, int64_t waitMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv{static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
    // A refused non-blocking connect shows in the exception set, not as writable.
    return ::select(0, writable ? nullptr : &set, writable ? &set : nullptr,
                    writable ? &failed : nullptr, &tv);
}

SOCKET ConnectOne(const addrinfo& a, int64_t deadline, uint32_t* error) {
    const SOCKET s = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s == INVALID_SOCKET) {
        *error = static_cast<uint32_t>(::WSAGetLastError());
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        *error = static_cast<uint32_t>(::WSAGetLastError());
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    const int ready = WaitFor(s, true, LeftMs(deadline));
    int failure = 0;
    int length = sizeof failure;
    if (ready == 0) {
        failure = WSAETIMEDOUT;
    } else if (ready < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure),
                                         &length) != 0) {
        failure = ::WSAGetLastError();
    }
    if (failure != 0) {
        *error = static_cast<uint32_t>(failure);
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

} // namespace

Socket Connect(const char* host, uint16_t port, uint32_t timeoutMs, uint32_t* error) {
    if (!Started(error)) {
        return kNoSocket;
    }
    const int64_t deadline = NowMs() + timeoutMs;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, service, &hints, &found) != 0 || found == nullptr) {
        *error = kErrorHostNotFound;
        return kNoSocket;
    }
    SOCKET s = INVALID_SOCKET;
    *error = kErrorHostNotFound;
    for (const addrinfo* a = found; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
        if (a != found && LeftMs(deadline) == 0) {
            *error = kErrorTimedOut;
            break;
        }
        s = ConnectOne(*a, deadline, error);
    }
    ::freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        return kNoSocket;
    }
    const BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Every segment acknowledged at once: a device server with Nagle's algorithm on holds each
    // piece of a reply until the one before is acknowledged, and a delayed acknowledgement costs
    // up to 200 ms a piece. Systems before Windows 10 1703 refuse it and keep delaying.
    DWORD everySegment = 1;
    DWORD returned = 0;
    ::WSAIoctl(s, kSetAckFrequency, &everySegment, sizeof everySegment, nullptr, 0, &returned,
               nullptr, nullptr);
    // A server that acknowledges nothing for a while is gone, not slow (TCP_MAXRT, in seconds).
    const DWORD maxRetransmitSeconds = kUnacknowledgedLimitMs / 1000;
    ::setsockopt(s, IPPROTO_TCP, kMaxRetransmitTime,
                 reinterpret_cast<const char*>(&maxRetransmitSeconds), sizeof maxRetransmitSeconds);
    return static_cast<Socket>(s);
}

bool Send(Socket s, const uint8_t* bytes, std::size_t size, uint32_t timeoutMs, uint32_t* error) {
    const int64_t deadline = NowMs() + timeoutMs;
    std::size_t sent = 0;
    while (sent < size) {
        const int n = ::send(Raw(s), reinterpret_cast<const char*>(bytes + sent),
                             static_cast<int>(size - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK) {
            *error = static_cast<uint32_t>(::WSAGetLastError());
            return false;
        }
        if (LeftMs(deadline) == 0 || WaitFor(Raw(s), true, LeftMs(deadline)) <= 0) {
            *error = kErrorTimedOut;
            return false;
        }
    }
    return true;
}

long Receive(Socket s, uint8_t* buffer, std::size_t room, uint32_t timeoutMs, uint32_t* error) {
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const int n = ::recv(Raw(s), reinterpret_cast<char*>(buffer), static_cast<int>(room), 0);
        if (n > 0) {
            return n;
        }
        if (n == 0) {
            *error = kErrorConnectionClosed;
            return -1;
        }
        if (::WSAGetLastError() != WSAEWOULDBLOCK) {
            *error = static_cast<uint32_t>(::WSAGetLastError());
            return -1;
        }
        const int64_t wait = LeftMs(deadline);
        if (wait == 0) {
            return 0;
        }
        if (WaitFor(Raw(s), false, wait) < 0) {
            *error = static_cast<uint32_t>(::WSAGetLastError());
            return -1;
        }
    }
}

void Close(Socket s) {
    if (s != kNoSocket) {
        ::closesocket(Raw(s));
    }
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace merix::plat::net
