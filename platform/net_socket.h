// The thin socket layer under a network port: what POSIX sockets and Winsock each do their own
// way, one file per system (posix_socket.cpp, win32_socket.cpp). Every call is bounded by the
// time it is given; none listens. Failures answer the Winsock code of their meaning, on every
// system, so that a log line reads the same on both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace merix::plat::net {

using Socket = intptr_t;
inline constexpr Socket kNoSocket = -1;

/// Resolves `host` once and connects to its addresses in turn until one answers, all within
/// `timeoutMs`; the connected socket has TCP_NODELAY set, so that a request goes out as one
/// segment at once, and gives up when what it sent stays unacknowledged for
/// kUnacknowledgedLimitMs. kNoSocket on failure, with `*error` set.
Socket Connect(const char* host, uint16_t port, uint32_t timeoutMs, uint32_t* error);

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

/// The codes of the failures above (Winsock's).
inline constexpr uint32_t kErrorTimedOut = 10060;          ///< WSAETIMEDOUT
inline constexpr uint32_t kErrorConnectionRefused = 10061; ///< WSAECONNREFUSED
inline constexpr uint32_t kErrorConnectionReset = 10054;   ///< WSAECONNRESET
inline constexpr uint32_t kErrorConnectionClosed = 10101;  ///< WSAEDISCON: closed by the server
inline constexpr uint32_t kErrorHostNotFound = 11001;      ///< WSAHOST_NOT_FOUND
inline constexpr uint32_t kErrorHostUnreachable = 10065;   ///< WSAEHOSTUNREACH
inline constexpr uint32_t kErrorNetworkDown = 10050;       ///< WSAENETDOWN

} // namespace merix::plat::net
