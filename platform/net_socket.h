// The thin socket layer under a network port: what POSIX sockets and Winsock each do their own
// way, one file per system (posix_socket.cpp, win32_socket.cpp). Every call is bounded by the
// time it is given; none listens. Failures answer the Winsock code of their meaning, on every
// system, so that a log line reads the same on both.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace merix::plat::net {

using Socket = intptr_t;
inline constexpr Socket kNoSocket = -1;

/// The addresses a name stands for, each as the system's socket address bytes (a sockaddr_in or
/// sockaddr_in6, its family inside): found once at an open, they serve every reconnect, so that
/// a reconnect asks no name server.
struct Address {
    uint8_t bytes[28] = {}; ///< room for a sockaddr_in6, the larger of the two
    uint32_t length = 0;
};
inline constexpr std::size_t kMaxAddresses = 8;
struct AddressList {
    Address at[kMaxAddresses];
    std::size_t count = 0;
};

/// Finds the addresses of `host` within `timeoutMs`, in the system's order. A literal address
/// is taken as it is and never reaches a name server; a name goes to the system's own bounded
/// look-up (glibc's getaddrinfo_a, Windows' GetAddrInfoExW), cancelled when the time is up.
/// The resolver may work on a thread of its own; the caller never waits past the bound. False
/// with `*error`: kErrorHostNotFound when the name does not exist, kErrorTryAgain when the name
/// server did not answer in time, or the system's own code.
bool Resolve(const char* host, uint16_t port, uint32_t timeoutMs, AddressList* out,
             uint32_t* error);

/// A socket option that the system refused on a connection (TCP_NODELAY, TCP_MAXRT, ...),
/// with its code: what the option would have bounded is then the system's default.
struct RefusedOption {
    const char* name = nullptr;
    uint32_t code = 0;
};
inline constexpr int kMaxRefusedOptions = 4;
struct Connection {
    Socket socket = kNoSocket;
    RefusedOption refused[kMaxRefusedOptions];
    int refusedCount = 0;
};

/// Connects to `addresses` in turn until one answers, all within `timeoutMs`; a refusal ends an
/// address at once and the next is tried. The socket is non-blocking, inherited by no child
/// process, has TCP_NODELAY set, so that a request goes out as one segment at once, and gives up
/// when what it sent stays unacknowledged for kUnacknowledgedLimitMs; an option the system
/// refuses is listed in `out->refused`. False with `*error` (kErrorConnectionRefused when the
/// last address tried refused, kErrorTimedOut when the time ran out).
bool Connect(const AddressList& addresses, uint32_t timeoutMs, Connection* out, uint32_t* error);

/// Ends what the first Connect or Resolve started (WSACleanup on Windows): the library stops.
void Shutdown();

/// A server that acknowledges nothing for this long is gone (a device server without power sends
/// no FIN and no RST): a few retransmissions, even on a slow network, and far below the system's
/// own quarter of an hour.
inline constexpr unsigned kUnacknowledgedLimitMs = 10000;

/// Sends all `size` bytes with one call where the system takes them at once, waiting for room
/// up to `timeoutMs`. False on an error or when the time ran out, with `*error` set.
bool Send(Socket s, const uint8_t* bytes, std::size_t size, uint32_t timeoutMs, uint32_t* error);

/// Waits up to `timeoutMs` (0: not at all) for bytes and reads what is there, at most `room`.
/// The count read; 0 when none came in time; -1 when the server closed the connection or it
/// failed, with `*error` set (kErrorConnectionClosed for an orderly close).
long Receive(Socket s, uint8_t* buffer, std::size_t room, uint32_t timeoutMs, uint32_t* error);

void Close(Socket s);

/// A monotonic clock in milliseconds, for the deadlines of the calls above.
int64_t NowMs();

/// The shortest try of one address of several, unless less time is left: shorter, a try would
/// end before a SYN-ACK from a server across a slow network could come.
inline constexpr int64_t kMinConnectTryMs = 100;

/// What the next of `untried` addresses may take of the `leftMs` a connect has: its share, so
/// that one that swallows its SYNs leaves time for the next.
constexpr int64_t ConnectTryMs(int64_t leftMs, std::size_t untried) {
    const int64_t share = untried == 0 ? leftMs : leftMs / static_cast<int64_t>(untried);
    return std::max(share, std::min(leftMs, kMinConnectTryMs));
}

/// The codes of the failures above (Winsock's).
inline constexpr uint32_t kErrorTimedOut = 10060;          ///< WSAETIMEDOUT
inline constexpr uint32_t kErrorConnectionRefused = 10061; ///< WSAECONNREFUSED
inline constexpr uint32_t kErrorConnectionReset = 10054;   ///< WSAECONNRESET
inline constexpr uint32_t kErrorConnectionClosed = 10101;  ///< WSAEDISCON: closed by the server
inline constexpr uint32_t kErrorHostNotFound = 11001;      ///< WSAHOST_NOT_FOUND
inline constexpr uint32_t kErrorTryAgain = 11002; ///< WSATRY_AGAIN: the name server did not answer
inline constexpr uint32_t kErrorHostUnreachable = 10065; ///< WSAEHOSTUNREACH
inline constexpr uint32_t kErrorNetworkDown = 10050;     ///< WSAENETDOWN

} // namespace merix::plat::net
