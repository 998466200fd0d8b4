// Win32 backend: the real API, one call each.
#include <windows.h>

#include <chrono>

#include "platform/platform.h"
#include "platform/win32_dcb.h"

namespace merix::plat {

namespace {

// hf is a 32-bit field of the host's record; on 32-bit Windows a HANDLE fits it exactly.
HANDLE ToHandle(Handle h) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}

const auto g_loadTime = std::chrono::steady_clock::now();

} // namespace

Handle CreateFileA(const char* name) {
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return kInvalidHandle;
    }
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(h));
}

bool CloseHandle(Handle h) {
    return ::CloseHandle(ToHandle(h)) != 0;
}

bool GetCommState(Handle h, Dcb* dcb) {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    if (!::GetCommState(ToHandle(h), &d)) {
        return false;
    }
    *dcb = DcbFromWin32(d);
    return true;
}

bool SetCommState(Handle h, const Dcb& dcb) {
    // Start from the device's own DCB so that every field we do not name keeps its value.
    DCB d{};
    d.DCBlength = sizeof(DCB);
    if (!::GetCommState(ToHandle(h), &d)) {
        return false;
    }
    ApplyDcb(dcb, &d);
    return ::SetCommState(ToHandle(h), &d) != 0;
}

bool GetCommTimeouts(Handle h, CommTimeouts* timeouts) {
    COMMTIMEOUTS t{};
    if (!::GetCommTimeouts(ToHandle(h), &t)) {
        return false;
    }
    timeouts->readIntervalTimeout = t.ReadIntervalTimeout;
    timeouts->readTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    timeouts->readTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    timeouts->writeTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    timeouts->writeTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return true;
}

bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.readIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
    return ::SetCommTimeouts(ToHandle(h), &t) != 0;
}

bool SetupComm(Handle h, uint32_t inQueue, uint32_t outQueue) {
    return ::SetupComm(ToHandle(h), inQueue, outQueue) != 0;
}

bool ClearCommError(Handle h, uint32_t* errors, uint32_t* inQueue) {
    DWORD e = 0;
    COMSTAT stat{};
    const BOOL ok = ::ClearCommError(ToHandle(h), &e, &stat);
    *errors = e;
    *inQueue = stat.cbInQue;
    return ok == TRUE;
}

bool ReadFile(Handle h, void* buffer, uint32_t count, uint32_t* read) {
    DWORD n = 0;
    const BOOL ok = ::ReadFile(ToHandle(h), buffer, count, &n, nullptr);
    *read = n;
    return ok != 0;
}

bool WriteFile(Handle h, const void* buffer, uint32_t count, uint32_t* written) {
    DWORD n = 0;
    const BOOL ok = ::WriteFile(ToHandle(h), buffer, count, &n, nullptr);
    *written = n;
    return ok != 0;
}

bool EscapeCommFunction(Handle h, int function) {
    return ::EscapeCommFunction(ToHandle(h), static_cast<DWORD>(function)) != 0;
}

bool SetCommBreak(Handle h) {
    return ::SetCommBreak(ToHandle(h)) != 0;
}
bool ClearCommBreak(Handle h) {
    return ::ClearCommBreak(ToHandle(h)) != 0;
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    LARGE_INTEGER f{};
    const BOOL ok = ::QueryPerformanceFrequency(&f);
    *frequency = ok ? f.QuadPart : 0;
    return ok != 0;
}

bool QueryPerformanceCounter(int64_t* count) {
    LARGE_INTEGER c{};
    const BOOL ok = ::QueryPerformanceCounter(&c);
    *count = c.QuadPart;
    return ok != 0;
}

int GetThreadPriority() {
    return ::GetThreadPriority(::GetCurrentThread());
}

int SetThreadPriority(int priority) {
    return ::SetThreadPriority(::GetCurrentThread(), priority) ? 1 : 0;
}

void TimeBeginPeriod(unsigned period) {
    ::timeBeginPeriod(period);
}
void TimeEndPeriod(unsigned period) {
    ::timeEndPeriod(period);
}
void Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}
void Beep(uint32_t frequency, uint32_t milliseconds) {
    ::Beep(frequency, milliseconds);
}

uint64_t ClockMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - g_loadTime)
                                     .count());
}

LocalTime Now() {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    TIME_ZONE_INFORMATION tz{};
    const DWORD zone = ::GetTimeZoneInformation(&tz);
    return LocalTime{
        st.wYear,   st.wMonth,  st.wDay,          st.wHour,
        st.wMinute, st.wSecond, st.wMilliseconds, zone == TIME_ZONE_ID_DAYLIGHT ? 1 : 0};
}

} // namespace merix::plat
