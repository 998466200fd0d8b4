// The socket layer on Winsock. Winsock starts at the first Resolve or Connect and ends at
// Shutdown (the driver's EndVpi): one WSACleanup for the one WSAStartup, so that a host that
// unloads the driver gets back what the driver took; a later call starts it again.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "platform/net_socket.h"

namespace merix::plat::net {

namespace {

bool g_started = false;

// What older MinGW-w64 headers lack, under names of our own so that newer ones do not clash:
// SIO_TCP_SET_ACK_FREQUENCY (its TCP_ACK_FREQUENCY_PARAMETERS is one UCHAR), SIO_TCP_INITIAL_RTO
// with TCP_INITIAL_RTO_PARAMETERS (mstcpip.h), TCP_MAXRT (ws2ipdef.h) and
// WSA_FLAG_NO_HANDLE_INHERIT (winsock2.h), as Microsoft defines them.
constexpr DWORD kSetAckFrequency = _WSAIOW(IOC_VENDOR, 23);
constexpr DWORD kInitialRto = _WSAIOW(IOC_VENDOR, 17);
struct InitialRtoParameters {
    USHORT rtt;
    UCHAR maxSynRetransmissions;
};
constexpr USHORT kUnspecifiedRtt = static_cast<USHORT>(-1);
constexpr UCHAR kNoSynRetransmissions = static_cast<UCHAR>(-2);
constexpr int kMaxRetransmitTime = 5;
constexpr DWORD kNoHandleInherit = 0x80;

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

template <typename Info> void StreamHints(Info* hints, int flags) {
    hints->ai_flags = flags;
    hints->ai_family = AF_UNSPEC;
    hints->ai_socktype = SOCK_STREAM;
    hints->ai_protocol = IPPROTO_TCP;
}

/// Copies the system's addresses, in its order, as far as the list has room. The cast: MinGW-w64
/// declares ADDRINFOEXW's ai_next as a pointer to an undefined `struct addrinfoexW`.
template <typename Info> void Copy(const Info* found, AddressList* out) {
    for (const Info* a = found; a != nullptr && out->count < kMaxAddresses;
         a = reinterpret_cast<const Info*>(a->ai_next)) {
        if (a->ai_addr != nullptr && a->ai_addrlen <= sizeof out->at[0].bytes &&
            (a->ai_family == AF_INET || a->ai_family == AF_INET6)) {
            Address& to = out->at[out->count++];
            std::memcpy(to.bytes, a->ai_addr, a->ai_addrlen);
            to.length = static_cast<uint32_t>(a->ai_addrlen);
        }
    }
}

/// A literal address, taken as it is: with AI_NUMERICHOST no name server is asked, so the call
/// returns at once. WSAHOST_NOT_FOUND when `host` is a name.
int Literal(const char* host, uint16_t port, AddressList* out) {
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo hints{};
    StreamHints(&hints, AI_NUMERICHOST);
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host, service, &hints, &found);
    if (rc == 0) {
        Copy(found, out);
        ::freeaddrinfo(found);
    }
    return rc;
}

/// The calls that make a look-up cancellable, from Windows 8 on. Found in ws2_32.dll at run time:
/// imported, they would keep the driver from loading on Windows 7, which lacks them.
struct Cancellable {
    int(WSAAPI* result)(LPOVERLAPPED) = nullptr; // GetAddrInfoExOverlappedResult
    int(WSAAPI* cancel)(LPHANDLE) = nullptr;     // GetAddrInfoExCancel
};

Cancellable FindCancellable() {
    Cancellable c;
    if (const HMODULE ws2 = ::GetModuleHandleW(L"ws2_32.dll"); ws2 != nullptr) {
        // Through void (*)(), the one function type that converts without a warning.
        using Any = void (*)();
        c.result = reinterpret_cast<decltype(c.result)>(
            reinterpret_cast<Any>(::GetProcAddress(ws2, "GetAddrInfoExOverlappedResult")));
        c.cancel = reinterpret_cast<decltype(c.cancel)>(
            reinterpret_cast<Any>(::GetProcAddress(ws2, "GetAddrInfoExCancel")));
    }
    return c;
}

/// One look-up of a name under way. The system writes into it when the look-up completes,
/// cancelled or not, and a cancel does not always end it (Windows completes a cancelled request
/// at once; Wine's cancel does nothing). So it lives on the process heap until its completion has
/// been seen: not on the stack, nor in the driver's static storage, which a host that unloads the
/// driver takes away. For the same reason the completion comes as an event, not as a call of a
/// completion routine, which is code of the driver.
struct Lookup {
    OVERLAPPED overlapped;
    ADDRINFOEXW* result;
    timeval timeout;
    ADDRINFOEXW hints;
    wchar_t name[256];
    wchar_t service[8];
};

/// The look-ups left to complete on their own after their bound, freed as they complete. While
/// every place is taken (a name server that answers nothing, on a system that cannot cancel),
/// no new look-up starts: the memory stays bounded, and the caller hears kErrorTryAgain at once.
Lookup* g_abandoned[4] = {};

/// The end of a look-up's bound that waits for its cancellation to complete.
constexpr int64_t kCancelGraceMs = 50;

void Release(Lookup* l) {
    if (l->result != nullptr) {
        ::FreeAddrInfoExW(l->result);
    }
    ::CloseHandle(l->overlapped.hEvent); // null where CreateEventW failed: refused, harmless
    ::HeapFree(::GetProcessHeap(), 0, l);
}

/// Frees the abandoned look-ups that have completed since: the free place, or the end.
Lookup** ReapAbandoned() {
    for (Lookup*& l : g_abandoned) {
        if (l != nullptr && ::WaitForSingleObject(l->overlapped.hEvent, 0) == WAIT_OBJECT_0) {
            Release(l);
            l = nullptr;
        }
    }
    return std::find(std::begin(g_abandoned), std::end(g_abandoned), nullptr);
}

/// A look-up of `host` ready to start, or null with `*code` set.
Lookup* NewLookup(const char* host, uint16_t port, int64_t boundMs, uint32_t* code) {
    auto* l =
        static_cast<Lookup*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Lookup)));
    if (l == nullptr) {
        *code = WSA_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    l->overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const int room = static_cast<int>(std::size(l->name));
    if (l->overlapped.hEvent == nullptr ||
        ::MultiByteToWideChar(CP_ACP, 0, host, -1, l->name, room) == 0) {
        *code = ::GetLastError();
        Release(l);
        return nullptr;
    }
    std::swprintf(l->service, std::size(l->service), L"%u", static_cast<unsigned>(port));
    l->timeout.tv_sec = static_cast<long>(boundMs / 1000);
    l->timeout.tv_usec = static_cast<long>(boundMs % 1000) * 1000;
    StreamHints(&l->hints, 0);
    return l;
}

/// Whether a pending look-up completed by `deadline`. When it has not by kCancelGraceMs before,
/// it is cancelled, and the rest of the bound waits for the cancellation's completion.
bool CompletedBy(const Lookup& l, HANDLE handle, int64_t deadline, const Cancellable& c) {
    const int64_t left = LeftMs(deadline);
    const int64_t grace = std::min(left / 2, kCancelGraceMs);
    const HANDLE done = l.overlapped.hEvent;
    if (::WaitForSingleObject(done, static_cast<DWORD>(left - grace)) == WAIT_OBJECT_0) {
        return true;
    }
    c.cancel(&handle);
    return ::WaitForSingleObject(done, static_cast<DWORD>(grace)) == WAIT_OBJECT_0;
}

/// Looks a name up within `deadline` (GetAddrInfoExW, asynchronous, with the bound as its
/// timeout): 0, or the system's code. A look-up that the bound cut short, by the system's
/// timeout or by the cancel, is a name server that did not answer in time: kErrorTryAgain.
uint32_t LookUpName(const char* host, uint16_t port, int64_t deadline, AddressList* out) {
    const Cancellable c = FindCancellable();
    if (c.result == nullptr || c.cancel == nullptr) {
        // Windows 7 and earlier look a name up only without a bound of ours, for as long as the
        // system's resolver likes, and the host's thread would wait with it. There a device
        // server is named by its address.
        return WSAEOPNOTSUPP;
    }
    Lookup** place = ReapAbandoned();
    if (place == std::end(g_abandoned)) {
        return kErrorTryAgain;
    }
    uint32_t code = 0;
    Lookup* l = NewLookup(host, port, LeftMs(deadline), &code);
    if (l == nullptr) {
        return code;
    }
    HANDLE handle = nullptr;
    int rc = ::GetAddrInfoExW(l->name, l->service, NS_ALL, nullptr, &l->hints, &l->result,
                              &l->timeout, &l->overlapped, nullptr, &handle);
    if (rc == WSA_IO_PENDING) {
        if (!CompletedBy(*l, handle, deadline, c)) {
            *place = l;
            return kErrorTryAgain;
        }
        rc = c.result(&l->overlapped);
    }
    if (rc == 0) {
        Copy(l->result, out);
    }
    Release(l);
    return rc == WSAETIMEDOUT || rc == WSA_E_CANCELLED ? kErrorTryAgain : static_cast<uint32_t>(rc);
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

/// Lists an option that the system refused on the socket being connected, as far as the list
/// has room.
void Refuse(Connection* out, const char* name, DWORD code) {
    if (out->refusedCount < kMaxRefusedOptions) {
        out->refused[out->refusedCount++] = RefusedOption{name, static_cast<uint32_t>(code)};
    }
}

/// An option that setsockopt or WSAIoctl took (`ok`), or else refused with WSAGetLastError().
void Check(bool ok, Connection* out, const char* name) {
    if (!ok) {
        Refuse(out, name, static_cast<DWORD>(::WSAGetLastError()));
    }
}

bool Ioctl(SOCKET s, DWORD code, void* in, DWORD size) {
    DWORD returned = 0;
    return ::WSAIoctl(s, code, in, size, nullptr, 0, &returned, nullptr, nullptr) == 0;
}

/// A socket that no child process of the host inherits: a child that held it would keep the
/// connection, and with it the device server's one port, open after the driver closed it.
SOCKET NewSocket(int family, Connection* out) {
    SOCKET s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | kNoHandleInherit);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // Systems before Windows 7 SP1 know no WSA_FLAG_NO_HANDLE_INHERIT.
        s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET &&
            !::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0)) {
            Refuse(out, "HANDLE_FLAG_INHERIT", ::GetLastError());
        }
    }
    return s;
}

/// A refused connection is refused at once. Windows by default answers an RST to its SYN by
/// sending the SYN again (TcpMaxConnectRetransmissions), so a refusal took about 2 s and, within
/// a shorter bound, read as WSAETIMEDOUT. With no SYN retransmissions a SYN that the network lost
/// is not sent again by the system either; Connect tries the address again instead, with a new
/// socket, while its bound lasts, so that nothing is lost within a bound that would have held a
/// retransmission. The initial RTT is left to the system: a guess of ours would fail every
/// connection over a network slower than the guess.
void LimitSynRetransmissions(SOCKET s, Connection* out) {
    InitialRtoParameters rto{kUnspecifiedRtt, kNoSynRetransmissions};
    Check(Ioctl(s, kInitialRto, &rto, sizeof rto), out, "SIO_TCP_INITIAL_RTO");
}

void SetOptions(SOCKET s, Connection* out) {
    const BOOL on = TRUE;
    const auto* onBytes = reinterpret_cast<const char*>(&on);
    Check(::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, onBytes, sizeof on) == 0, out, "TCP_NODELAY");
    // Every segment acknowledged at once: a device server with Nagle's algorithm on holds each
    // piece of a reply until the one before is acknowledged, and a delayed acknowledgement costs
    // up to 200 ms a piece. Systems before Windows 10 1703 refuse it and keep delaying.
    UCHAR everySegment = 1;
    Check(Ioctl(s, kSetAckFrequency, &everySegment, sizeof everySegment), out,
          "SIO_TCP_SET_ACK_FREQUENCY");
    // A server that acknowledges nothing for a while is gone, not slow (TCP_MAXRT, in seconds).
    const DWORD seconds = kUnacknowledgedLimitMs / 1000;
    const auto* secondsBytes = reinterpret_cast<const char*>(&seconds);
    Check(::setsockopt(s, IPPROTO_TCP, kMaxRetransmitTime, secondsBytes, sizeof seconds) == 0, out,
          "TCP_MAXRT");
}

SOCKET Failed(SOCKET s, int code, uint32_t* error) {
    *error = static_cast<uint32_t>(code);
    ::closesocket(s); // INVALID_SOCKET where none was made: refused, harmless
    return INVALID_SOCKET;
}

/// One try of one address until `deadline`, with its refused options in `out`.
SOCKET ConnectOne(const Address& a, int64_t deadline, Connection* out, uint32_t* error) {
    out->refusedCount = 0;
    sockaddr_storage to{};
    const std::size_t length = std::min<std::size_t>(a.length, sizeof a.bytes);
    std::memcpy(&to, a.bytes, length);
    const SOCKET s = NewSocket(to.ss_family, out);
    // A blocking socket would hold the host's thread in connect, send or recv past every bound.
    u_long nonBlocking = 1;
    if (s == INVALID_SOCKET || ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        return Failed(s, ::WSAGetLastError(), error);
    }
    LimitSynRetransmissions(s, out);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&to), static_cast<int>(length)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        return Failed(s, ::WSAGetLastError(), error);
    }
    const int ready = WaitFor(s, true, LeftMs(deadline));
    int failure = WSAETIMEDOUT; // stays so when the time ran out (ready == 0)
    int size = sizeof failure;
    if (ready < 0 || (ready > 0 && ::getsockopt(s, SOL_SOCKET, SO_ERROR,
                                                reinterpret_cast<char*>(&failure), &size) != 0)) {
        failure = ::WSAGetLastError();
    }
    if (failure != 0) {
        return Failed(s, failure, error);
    }
    SetOptions(s, out);
    return s;
}

} // namespace

bool Resolve(const char* host, uint16_t port, uint32_t timeoutMs, AddressList* out,
             uint32_t* error) {
    out->count = 0;
    if (!Started(error)) {
        return false;
    }
    const int64_t deadline = NowMs() + timeoutMs;
    const int literal = Literal(host, port, out);
    uint32_t code = static_cast<uint32_t>(literal);
    if (literal == WSAHOST_NOT_FOUND) {
        code = LookUpName(host, port, deadline, out);
    }
    if (code == 0 && out->count == 0) {
        code = kErrorHostNotFound;
    }
    *error = code;
    return code == 0;
}

bool Connect(const AddressList& addresses, uint32_t timeoutMs, Connection* out, uint32_t* error) {
    out->socket = kNoSocket;
    out->refusedCount = 0;
    if (!Started(error)) {
        return false;
    }
    const int64_t deadline = NowMs() + timeoutMs;
    const std::size_t count = std::min(addresses.count, kMaxAddresses);
    // The addresses still worth a try: one whose SYN went unanswered is tried again while the
    // bound lasts; a refusal, or an unreachable network, is an answer.
    bool open[kMaxAddresses] = {};
    std::fill(open, open + count, true);
    std::size_t pending = count;
    *error = count == 0 ? kErrorHostNotFound : kErrorTimedOut;
    while (pending > 0) {
        for (std::size_t i = 0, untried = pending; i < count; ++i) {
            const int64_t left = LeftMs(deadline);
            if (!open[i] || left == 0) {
                continue;
            }
            const int64_t tryMs = ConnectTryMs(left, untried--);
            const SOCKET s = ConnectOne(addresses.at[i], NowMs() + tryMs, out, error);
            if (s != INVALID_SOCKET) {
                out->socket = static_cast<Socket>(s);
                return true;
            }
            open[i] = *error == kErrorTimedOut;
            pending -= open[i] ? 0 : 1;
        }
        if (LeftMs(deadline) == 0) {
            *error = kErrorTimedOut;
            return false;
        }
    }
    return false;
}

void Shutdown() {
    // Look-ups still under way stay where they are: the system may yet write into them.
    ReapAbandoned();
    if (g_started) {
        ::WSACleanup();
        g_started = false;
    }
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
        const int64_t wait = LeftMs(deadline);
        const int ready = wait == 0 ? 0 : WaitFor(Raw(s), true, wait);
        if (ready <= 0) { // a failed select is no time running out
            *error = ready == 0 ? kErrorTimedOut : static_cast<uint32_t>(::WSAGetLastError());
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
