// The narrow slice of the Win32 API that the driver uses, with Win32 meaning and results.
// One backend implements it per build: win32 (the real API), posix (termios and friends) or
// fake (scripted, for unit tests). CMake picks the backend at link time.
#pragma once

#include <cstdint>

namespace merix::plat {

using Handle = uint32_t;
inline constexpr Handle kInvalidHandle = 0xFFFFFFFFu;

// EscapeCommFunction codes.
inline constexpr int kSetRts = 3;
inline constexpr int kClrRts = 4;
inline constexpr int kSetDtr = 5;
inline constexpr int kClrDtr = 6;

// DCB line control modes.
inline constexpr uint8_t kDtrDisable = 0, kDtrEnable = 1, kDtrHandshake = 2;
inline constexpr uint8_t kRtsDisable = 0, kRtsEnable = 1, kRtsHandshake = 2, kRtsToggle = 3;

inline constexpr int kThreadPriorityTimeCritical = 15;

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
Handle CreateFileA(const char* name);
bool CloseHandle(Handle h);
bool GetCommState(Handle h, Dcb* dcb);
bool SetCommState(Handle h, const Dcb& dcb);
bool GetCommTimeouts(Handle h, CommTimeouts* timeouts);
bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts);
bool SetupComm(Handle h, uint32_t inQueue, uint32_t outQueue);
/// Clears the device's error state; *inQueue receives the count of received bytes pending.
bool ClearCommError(Handle h, uint32_t* errors, uint32_t* inQueue);
/// Returns when all bytes arrived or the total timeout, counted from the call, ran out.
bool ReadFile(Handle h, void* buffer, uint32_t count, uint32_t* read);
bool WriteFile(Handle h, const void* buffer, uint32_t count, uint32_t* written);
bool EscapeCommFunction(Handle h, int function);
bool SetCommBreak(Handle h);
bool ClearCommBreak(Handle h);

// Timing and scheduling.
/// Counts per second of the high-resolution counter; false when there is none.
bool QueryPerformanceFrequency(int64_t* frequency);
bool QueryPerformanceCounter(int64_t* count);
/// GetThreadPriority(GetCurrentThread()).
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
