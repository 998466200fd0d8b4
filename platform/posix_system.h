// What the POSIX backend asks of the one system it is built for: the pieces that POSIX leaves
// out, or that systems name each their own way. The Linux answers are in platform/linux_*.cpp; a
// port to another system keeps the POSIX files and answers these for its own terminals.
#pragma once

#include <cstdint>
#include <span>

#include "platform/net_socket.h"

struct addrinfo;

namespace merix::plat::sys {

/// A baud rate and the terminal speed code (a speed_t) that names it.
struct Speed {
    uint32_t rate;
    unsigned long code;
};

/// The rates this system's terminals name beyond those of the POSIX table, with their codes.
std::span<const Speed> ExtraSpeeds();

/// The control flag (a tcflag_t) that makes the parity bit stick: with PARODD a mark, without
/// it a space. 0 where the system has none; mark and space parity are then refused.
unsigned long StickParityFlag();

/// Waits until `fd` is readable or `timeoutNs` nanoseconds (below 0: no limit) have passed,
/// to the nanosecond: poll counts whole milliseconds, finer than a read's deadline needs.
/// Answers as poll does (the ready count, 0 when the time ran out, -1 with errno), with the
/// descriptor's poll events in `*revents`.
int WaitReadable(int fd, int64_t timeoutNs, short* revents);

/// True when `fd` is the slave side of a pseudo-terminal, which has no parity to set.
bool IsPseudoTerminal(int fd);

/// The error counts a serial device keeps from the time it was set up. They only grow, and
/// wrap at 2^32: differences of two readings are what happened in between.
struct ErrorCounts {
    uint32_t frame = 0;
    uint32_t brk = 0; ///< the line held at space past a character; not in `frame` too
    uint32_t parity = 0;
    uint32_t overrun = 0;       ///< bytes the UART lost because nobody took them in time
    uint32_t bufferOverrun = 0; ///< bytes lost because the input buffer was full
};

/// Reads the device's error counts. False, with errno, for a device that keeps none (a
/// pseudo-terminal, or a system without such counts).
bool ReadErrorCounts(int fd, ErrorCounts* counts);

/// The count of written bytes that the system still holds for `fd` (those already in the
/// UART's own FIFO not included), or -1, with errno, where it cannot tell.
int OutputQueued(int fd);

/// True while the device switches the line direction itself: RTS on while it sends, off once
/// the last byte has gone (RS-485 mode). False for a device, or a system, without that mode.
bool Rs485Enabled(int fd);

/// Turns that mode on or off, keeping the device's own RTS delays. False, with errno, when the
/// device refuses or, asked to turn it on, does not take it; the mode is then as it was.
bool SetRs485(int fd, bool on);

/// Has the connected socket acknowledge what arrives at once, until the system falls back to
/// delayed acknowledgements by itself (after the next read, on Linux). A device server that
/// sends a reply in pieces as they come off the line, with Nagle's algorithm on (ser2net's
/// default), holds each piece until the one before is acknowledged: a delayed acknowledgement
/// would cost up to 40 ms a piece. Where the system has no such request, nothing.
void AckAtOnce(int fd);

/// Has the system give up the connection when bytes it sent stay unacknowledged for
/// `milliseconds` (Linux: TCP_USER_TIMEOUT). A device server that loses its power sends no FIN
/// and no RST: without a bound, the connection would count as up for the quarter of an hour of
/// retransmissions, and the driver would not connect again. Where the system cannot, nothing.
/// 0, or the errno of the system's refusal.
int BoundUnacknowledged(int fd, unsigned milliseconds);

/// The addresses of `found` (IPv4 and IPv6, at most kMaxAddresses) into `out`, in its order.
void CopyAddresses(const addrinfo* found, net::AddressList* out);
/// The addresses of the name `host` from the system's resolver, waited for until `deadlineMs`
/// (net::NowMs) at most; a look-up not done by then is cancelled. False with `*error`:
/// kErrorHostNotFound, kErrorTryAgain (the name server did not answer in time), or the
/// system's code. The resolver may go on on its own thread after a cancel; the caller never
/// waits for it.
bool LookUpName(const char* host, const char* service, int64_t deadlineMs, net::AddressList* out,
                uint32_t* error);
/// Cancels the look-ups still with the resolver (the library stops).
void CancelLookUps();

/// Asks the device to pass received bytes on at once (ASYNC_LOW_LATENCY): a USB adapter then
/// drops its latency timer, 16 ms by default on FTDI's, to 1 ms. False, with errno, for a
/// device that takes no such setting (a pseudo-terminal) or refuses it.
bool SetLowLatency(int fd);

} // namespace merix::plat::sys
