// The narrow slice of the Win32 API that the driver uses, with Win32 meaning and results.
// One backend implements it per build: win32 (the real API), posix (termios and friends) or
// fake (scripted, for unit tests). CMake picks the backend at link time.
#pragma once

#include <cstdint>

#include "platform/net_address.h"

namespace merix::plat {

using Handle = uint32_t;
inline constexpr Handle kInvalidHandle = 0xFFFFFFFFu;

// EscapeCommFunction codes.
inline constexpr int kSetRts = 3;
inline constexpr int kClrRts = 4;
inline constexpr int kSetDtr = 5;
inline constexpr int kClrDtr = 6;

// DCB line control modes. kRtsToggle asks the port to switch the line direction itself (RTS on
// while it sends, as an RS-485 transceiver wants); a port that cannot refuses it in SetCommState
// with ERROR_INVALID_PARAMETER, as Windows' serial drivers refuse a mode they do not have.
inline constexpr uint8_t kDtrDisable = 0, kDtrEnable = 1, kDtrHandshake = 2;
inline constexpr uint8_t kRtsDisable = 0, kRtsEnable = 1, kRtsHandshake = 2, kRtsToggle = 3;

inline constexpr int kThreadPriorityTimeCritical = 15;
/// What GetThreadPriority answers when it fails (THREAD_PRIORITY_ERROR_RETURN).
inline constexpr int kThreadPriorityErrorReturn = 0x7FFFFFFF;

// System error codes (GetLastError) that the backends report.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorBadCommand = 22; ///< e.g. a call on an unplugged USB adapter
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorNotSupported = 50; ///< e.g. a port that keeps no error counts
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorSemTimeout = 121;  ///< a wait on the device ran out of time
inline constexpr uint32_t kErrorInvalidName = 123; ///< e.g. a network port's name malformed

// ClearCommError's error flags (CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME).
inline constexpr uint32_t kCeRxOver = 0x0001;   ///< the input queue overflowed
inline constexpr uint32_t kCeOverrun = 0x0002;  ///< the UART lost a byte: not read in time
inline constexpr uint32_t kCeRxParity = 0x0004; ///< a byte arrived with a parity error
inline constexpr uint32_t kCeFrame = 0x0008;    ///< a byte arrived without its stop bit
inline constexpr uint32_t kCeBreak = 0x0010;    ///< the line was held at space (a break)

/// Framings that Windows' serial drivers refuse in SetCommState although other systems (and
/// Wine) take them: 5 data bits with two stop bits, 6 to 8 data bits with one and a half.
inline constexpr bool WindowsRefusesFraming(uint8_t dataBits, uint8_t stopBitsCode) {
    return (dataBits == 5 && stopBitsCode == 2) ||
           (dataBits >= 6 && dataBits <= 8 && stopBitsCode == 1);
}

/// The fields of a Win32 DCB that the driver reads or changes.
struct Dcb {
    uint32_t baudRate = 0;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = kDtrDisable;
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    uint8_t fRtsControl = kRtsDisable;
    bool fAbortOnError = false;
    uint8_t byteSize = 8;
    uint8_t parity = 0;   ///< 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0; ///< 0 one, 1 one and a half, 2 two
    uint8_t errorChar = 0;
};

struct CommTimeouts {
    uint32_t readIntervalTimeout = 0;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 0;
};

/// Errors the port saw on received bytes.
struct LineErrors {
    uint32_t framing = 0;
    uint32_t parity = 0;
    uint32_t overrun = 0; ///< the UART's overruns and the input queue's overflows together
};

/// ClearCommError's flags as counts, where a system keeps flags only (Windows): each flag set
/// stands for at least one error. A break counts as a framing error: a line held at space has
/// no stop bit, and serial.sys reports CE_FRAME only where it saw no break.
inline constexpr LineErrors LineErrorsFromFlags(uint32_t flags) {
    LineErrors e;
    e.framing = (flags & (kCeFrame | kCeBreak)) != 0 ? 1 : 0;
    e.parity = (flags & kCeRxParity) != 0 ? 1 : 0;
    e.overrun = ((flags & kCeOverrun) != 0 ? 1 : 0) + ((flags & kCeRxOver) != 0 ? 1 : 0);
    return e;
}

/// Local calendar time with its millisecond part.
struct LocalTime {
    int year = 0;  ///< full year, e.g. 2026
    int month = 0; ///< 1..12
    int day = 0;   ///< 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millis = 0;
    int isDst = -1;
};

// Serial port (CreateFileA with GENERIC_READ|GENERIC_WRITE, exclusive, OPEN_EXISTING).
/// A name of platform/net_address.h opens a port behind a device server instead: connected
/// within `connectTimeoutMs`, and from then on used through the same calls as a device.
Handle CreateFileA(const char* name, uint32_t connectTimeoutMs = 1000);
bool CloseHandle(Handle h);
bool GetCommState(Handle h, Dcb* dcb);
bool SetCommState(Handle h, const Dcb& dcb);
bool GetCommTimeouts(Handle h, CommTimeouts* timeouts);
bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts);
bool SetupComm(Handle h, uint32_t inQueue, uint32_t outQueue);
/// Clears the device's error state; *errors receives the kCe flags of the errors seen since
/// the last call of this or of TakeLineErrors, *inQueue the count of received bytes pending.
bool ClearCommError(Handle h, uint32_t* errors, uint32_t* inQueue);
/// The count of received bytes pending, as ClearCommError tells it, but leaving the errors seen
/// to the next ClearCommError or TakeLineErrors; false when the port cannot tell.
bool PendingInput(Handle h, uint32_t* inQueue);
/// The framing, parity and overrun errors the port saw since the last call of this or of
/// ClearCommError; false when the port cannot report them (counts then 0). Where the system
/// reports only flags (Windows), each flag set counts 1.
bool TakeLineErrors(Handle h, LineErrors* errors);
/// Returns when all bytes arrived or the total timeout, counted from the call, ran out.
bool ReadFile(Handle h, void* buffer, uint32_t count, uint32_t* read);
bool WriteFile(Handle h, const void* buffer, uint32_t count, uint32_t* written);
/// Returns once the bytes of the last WriteFile have left the port as far as the system can
/// tell (POSIX: tcdrain), within that write's total write timeout counted from the write's
/// start. When the time runs out, the bytes still queued are discarded and the call fails with
/// ERROR_SEM_TIMEOUT. Win32 returns at once: it has no such signal (WriteFile completes when
/// the bytes are in the UART's FIFO or an adapter's buffer), so the caller waits out the
/// frame's computed line time itself.
bool WaitWritten(Handle h);
/// True when the system can confirm that the port's driver acts on the line modes that
/// GetCommState reads back (Linux: the kernel reports the RS-485 mode it applied). Windows
/// cannot: a driver may store RTS_CONTROL_TOGGLE, read it back, and ignore it.
bool ConfirmsLineModes();
/// Throws away the bytes received and not read yet (PurgeComm with PURGE_RXCLEAR); a port
/// behind an RFC 2217 server asks the server to purge its buffer too.
bool PurgeComm(Handle h);
bool EscapeCommFunction(Handle h, int function);
bool SetCommBreak(Handle h);
bool ClearCommBreak(Handle h);

// Ports behind a device server. On a device's handle: kDevice, never lost, no reconnect.
PortKind KindOfPort(Handle h);
/// True when a network port's connection is gone: closed by the server, reset or failed;
/// LastError then tells what ended it. Every call on the handle fails at once, as on an
/// unplugged adapter, until Reconnect.
bool ConnectionLost(Handle h);
/// Connects a network port again, within its read timeout, and gives the server the settings
/// of the last SetCommState; the handle stays the same.
bool Reconnect(Handle h);
/// The RFC 2217 commands (bits 1 << command) of the last SetCommState that the server did not
/// confirm with the value sent; they were sent all the same. kComPortRefused when the server
/// did not agree to COM port control: then none was sent, and its own settings govern the line.
uint32_t UnansweredSettings(Handle h);
inline constexpr uint32_t kComPortRefused = 1u << 31;
/// For a network port's name whose server CreateFileA could not reach (`error`, its code): the
/// port, kept unconnected with its address as a connection lost (ConnectionLost true, LastError
/// `error`), takes its settings and timeouts for the server, and a Reconnect brings it to
/// life. Nothing is sent or looked up. kInvalidHandle for a malformed name, or when no port is
/// free.
Handle KeepNetworkPort(const char* name, uint32_t error);

/// The `index`th socket option (from 0) that the system refused on the connection of the network
/// port `h` now up, with the system's code; false past the last, and for a device.
bool RefusedSocketOption(Handle h, int index, const char** name, uint32_t* code);
/// Gives back what the network ports took from the system (Winsock's WSAStartup): the library
/// stops. A later network port starts it again.
void StopNetwork();

/// Asks a serial device to pass received bytes on at once rather than gather them (a USB
/// adapter's latency timer; Linux: ASYNC_LOW_LATENCY). False, with the system's code, where
/// the device or the system cannot be asked.
bool SetLowLatency(Handle h);

/// The system error code (GetLastError) of the last call of this backend that failed; 0 when
/// none has failed yet. Backends other than Win32 answer the Win32 code of the same meaning,
/// or 0x20000000 | errno where there is none.
uint32_t LastError();
/// Back to 0, so that a later LastError() tells whether any call has failed since.
void ClearLastError();

// Timing and scheduling.
/// Counts per second of the high-resolution counter; false when there is none.
bool QueryPerformanceFrequency(int64_t* frequency);
bool QueryPerformanceCounter(int64_t* count);
/// GetThreadPriority(GetCurrentThread()); kThreadPriorityErrorReturn when it fails.
int GetThreadPriority();
/// SetThreadPriority(GetCurrentThread(), priority): 1 on success, 0 on failure.
int SetThreadPriority(int priority);
void TimeBeginPeriod(unsigned period);
void TimeEndPeriod(unsigned period);
void Sleep(uint32_t milliseconds);
void Beep(uint32_t frequency, uint32_t milliseconds);

/// Wall time in milliseconds since the library was loaded (monotonic): what clock() counts
/// on Windows. Never CPU time.
uint64_t ClockMs();
/// The computer's local date and time with milliseconds.
LocalTime Now();

} // namespace merix::plat
