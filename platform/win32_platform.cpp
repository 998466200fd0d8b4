// Win32 backend: the real API, one call each.
#include <windows.h>

#include <chrono>

#include "platform/last_error.h"
#include "platform/net_port.h"
#include "platform/platform.h"
#include "platform/port_ops.h"
#include "platform/win32_dcb.h"

namespace merix::plat {

static_assert(THREAD_PRIORITY_ERROR_RETURN == kThreadPriorityErrorReturn);
static_assert(CE_RXOVER == kCeRxOver && CE_OVERRUN == kCeOverrun && CE_RXPARITY == kCeRxParity &&
              CE_FRAME == kCeFrame);
static_assert(ERROR_NOT_SUPPORTED == kErrorNotSupported &&
              ERROR_INVALID_PARAMETER == kErrorInvalidParameter);

namespace {

HANDLE ToHandle(Handle h) {
    return HandleToWin32(h);
}

const auto g_loadTime = std::chrono::steady_clock::now();

// GetLastError of the last call here that failed: the driver logs it beside its own lines.
// Calls come from one thread at a time (the host's), so one value serves.
DWORD g_lastError = 0;

/// Keeps the failed call's code; answers `ok` so that a return can pass through it.
bool Kept(bool ok) {
    if (!ok) {
        g_lastError = ::GetLastError();
    }
    return ok;
}

/// Windows tells the bytes pending only with the errors seen, which its call clears: the
/// errors a PendingInput met are kept here for the next ClearCommError of the handle.
struct HeldErrors {
    Handle handle = 0;
    DWORD flags = 0;
};
HeldErrors g_heldErrors[16];

DWORD TakeHeldErrors(Handle h) {
    DWORD flags = 0;
    for (HeldErrors& held : g_heldErrors) {
        if (held.handle == h) {
            flags |= held.flags;
            held = HeldErrors{};
        }
    }
    return flags;
}

void HoldErrors(Handle h, DWORD flags) {
    for (HeldErrors& held : g_heldErrors) {
        if (held.handle == h || held.handle == 0) {
            held.handle = h;
            held.flags |= flags;
            return;
        }
    }
    // Sixteen ports with errors untold: the oldest report is the one a reply misses.
    g_heldErrors[0] = HeldErrors{h, flags};
}

// The system's serial devices: the calls of kDeviceOps.
namespace device {

bool Close(Handle h) {
    return Kept(::CloseHandle(ToHandle(h)) != 0);
}

bool GetCommState(Handle h, Dcb* dcb) {
    DCB d{};
    d.DCBlength = sizeof(DCB);
    if (!Kept(::GetCommState(ToHandle(h), &d) != 0)) {
        return false;
    }
    *dcb = DcbFromWin32(d);
    return true;
}

bool SetCommState(Handle h, const Dcb& dcb) {
    // Start from the device's own DCB so that every field we do not name keeps its value.
    DCB d{};
    d.DCBlength = sizeof(DCB);
    if (!Kept(::GetCommState(ToHandle(h), &d) != 0)) {
        return false;
    }
    if (!ApplyDcb(dcb, &d)) {
        g_lastError = ERROR_INVALID_PARAMETER; // what SetCommState itself would answer
        return false;
    }
    return Kept(::SetCommState(ToHandle(h), &d) != 0);
}

bool GetCommTimeouts(Handle h, CommTimeouts* timeouts) {
    COMMTIMEOUTS t{};
    if (!Kept(::GetCommTimeouts(ToHandle(h), &t) != 0)) {
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
    return Kept(::SetCommTimeouts(ToHandle(h), &t) != 0);
}

bool SetupComm(Handle h, uint32_t inQueue, uint32_t outQueue) {
    return Kept(::SetupComm(ToHandle(h), inQueue, outQueue) != 0);
}

bool PendingInput(Handle h, uint32_t* inQueue) {
    *inQueue = 0;
    DWORD e = 0;
    COMSTAT stat{};
    const BOOL ok = ::ClearCommError(ToHandle(h), &e, &stat);
    if (ok == TRUE && e != 0) {
        HoldErrors(h, e);
    }
    *inQueue = stat.cbInQue;
    return Kept(ok == TRUE);
}

bool ClearCommError(Handle h, uint32_t* errors, uint32_t* inQueue) {
    DWORD e = 0;
    COMSTAT stat{};
    const BOOL ok = ::ClearCommError(ToHandle(h), &e, &stat);
    *errors = e | TakeHeldErrors(h);
    *inQueue = stat.cbInQue;
    return Kept(ok == TRUE);
}

bool TakeLineErrors(Handle h, LineErrors* errors) {
    *errors = LineErrors{};
    uint32_t flags = 0;
    uint32_t inQueue = 0;
    if (!ClearCommError(h, &flags, &inQueue)) {
        return false;
    }
    *errors = LineErrorsFromFlags(flags);
    return true;
}

bool Read(Handle h, void* buffer, uint32_t count, uint32_t* read) {
    DWORD n = 0;
    const BOOL ok = ::ReadFile(ToHandle(h), buffer, count, &n, nullptr);
    *read = n;
    return Kept(ok != 0);
}

bool Write(Handle h, const void* buffer, uint32_t count, uint32_t* written) {
    DWORD n = 0;
    // Bounded by the write timeouts that ComOpen sets: a stalled port ends the call with a
    // short count instead of holding the thread (at time-critical priority) for good.
    const BOOL ok = ::WriteFile(ToHandle(h), buffer, count, &n, nullptr);
    *written = n;
    return Kept(ok != 0);
}

bool WaitWritten(Handle) {
    // Neither cbOutQue (0 for a non-overlapped write), FlushFileBuffers (returns once the
    // queued writes are complete) nor EV_TXEMPTY (fires with the FIFO still full) tells when
    // the last bit has left: the caller waits out the frame's computed line time.
    return true;
}

bool PurgeInput(Handle h) {
    return Kept(::PurgeComm(ToHandle(h), PURGE_RXCLEAR) != 0);
}

bool Escape(Handle h, int function) {
    return Kept(::EscapeCommFunction(ToHandle(h), static_cast<DWORD>(function)) != 0);
}

bool SetBreak(Handle h) {
    return Kept(::SetCommBreak(ToHandle(h)) != 0);
}

bool ClearBreak(Handle h) {
    return Kept(::ClearCommBreak(ToHandle(h)) != 0);
}

} // namespace device

constexpr PortOps kDeviceOps{
    .kind = [](Handle) { return PortKind::kDevice; },
    .close = device::Close,
    .getCommState = device::GetCommState,
    .setCommState = device::SetCommState,
    .getCommTimeouts = device::GetCommTimeouts,
    .setCommTimeouts = device::SetCommTimeouts,
    .setupComm = device::SetupComm,
    .clearCommError = device::ClearCommError,
    .pendingInput = device::PendingInput,
    .takeLineErrors = device::TakeLineErrors,
    .read = device::Read,
    .write = device::Write,
    .waitWritten = device::WaitWritten,
    .purgeInput = device::PurgeInput,
    .escape = device::Escape,
    .setBreak = device::SetBreak,
    .clearBreak = device::ClearBreak,
    // A device is never lost as a connection is: an unplugged one fails its calls instead.
    .connectionLost = [](Handle) { return false; },
    .reconnect =
        [](Handle) {
            g_lastError = ERROR_INVALID_HANDLE;
            return false;
        },
    .unansweredSettings = [](Handle) { return 0u; },
    .refusedSocketOption = [](Handle, int, const char**, uint32_t*) { return false; },
};

} // namespace

// A network port's open gave it a handle of netport's range; every other handle is the system's,
// which answers for it as for any handle.
const PortOps& OpsOf(Handle h) {
    return netport::Owns(h) ? netport::kOps : kDeviceOps;
}

Handle CreateFileA(const char* name, uint32_t connectTimeoutMs) {
    if (KindOfName(name) != PortKind::kDevice) {
        return netport::OpenByName(name, connectTimeoutMs);
    }
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        g_lastError = ::GetLastError();
        return kInvalidHandle;
    }
    return HandleFromWin32(h);
}

bool ConfirmsLineModes() {
    return false; // GetCommState reads back what the driver stored, not what it does
}

bool SetLowLatency(Handle) {
    // An FTDI adapter's latency timer is a setting of its Windows driver (the port's Advanced
    // settings in Device Manager), not of the open handle.
    g_lastError = ERROR_NOT_SUPPORTED;
    return false;
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    LARGE_INTEGER f{};
    const BOOL ok = ::QueryPerformanceFrequency(&f);
    *frequency = ok ? f.QuadPart : 0;
    return Kept(ok != 0);
}

bool QueryPerformanceCounter(int64_t* count) {
    LARGE_INTEGER c{};
    const BOOL ok = ::QueryPerformanceCounter(&c);
    *count = c.QuadPart;
    return Kept(ok != 0);
}

int GetThreadPriority() {
    const int priority = ::GetThreadPriority(::GetCurrentThread());
    if (priority == THREAD_PRIORITY_ERROR_RETURN) {
        g_lastError = ::GetLastError();
        return kThreadPriorityErrorReturn;
    }
    return priority;
}

int SetThreadPriority(int priority) {
    return Kept(::SetThreadPriority(::GetCurrentThread(), priority) != 0) ? 1 : 0;
}

uint32_t LastError() {
    return g_lastError;
}

void detail::SetLastError(uint32_t code) {
    g_lastError = code;
}

void ClearLastError() {
    g_lastError = 0;
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

#include "platform/port_calls.inc"
