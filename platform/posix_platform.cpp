// POSIX backend: the Win32 serial, timing and scheduling calls on termios, poll and pthreads,
// with the observable behaviour the driver relies on (exclusive open, total read timeout
// counted from the call's start, no handle 0). What one system does its own way (stick
// parity, the higher baud rates, a nanosecond wait, telling a pseudo-terminal, error counts, the
// output still queued and RS-485 direction control) it asks of platform/posix_system.h.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/last_error.h"
#include "platform/net_port.h"
#include "platform/platform.h"
#include "platform/port_ops.h"
#include "platform/posix_system.h"
#include "platform/posix_termios.h"

namespace merix::plat {

namespace {

const auto g_loadTime = std::chrono::steady_clock::now();

// The Win32 code of the last call here that failed (LastError). One thread at a time calls.
uint32_t g_lastError = 0;

/// Per-handle state that Win32 keeps in the device: the timeouts, the DCB's line modes, where
/// the error counts stood when they were last reported and when the last write's time is up. A
/// fixed table, so that no call allocates.
struct PortSlot {
    int fd = -1;
    bool tty = false;
    bool vanished = false;
    int vmin = -1; ///< the VMIN in force on the terminal; -1 not known
    CommTimeouts timeouts;
    // The DTR and RTS modes of the last SetCommState; -1 none yet. Terminal settings do not
    // carry them, and GetCommState must give back what was set, or a DCB read, changed and
    // written again would switch the lines.
    int dtrControl = -1;
    int rtsControl = -1;
    bool counted = false; ///< the device keeps error counts; `reported` is where they stood
    sys::ErrorCounts reported;
    int64_t writeDeadline = -1; ///< MonotonicNs when the last write's total timeout ends; -1 none
};
std::array<PortSlot, 64> g_ports;

/// The Win32 code nearest to an errno value; 0x20000000 (the application bit) | errno where
/// there is none.
uint32_t Win32Code(int error) {
    switch (error) {
    case ENOENT:
        return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return kErrorAccessDenied;
    case EBADF:
        return kErrorInvalidHandle;
    case EIO:
    case ENXIO:
    case ENODEV:
        return kErrorBadCommand;
    case EINVAL:
        return kErrorInvalidParameter;
    default:
        return 0x20000000u | static_cast<uint32_t>(error);
    }
}

/// Keeps errno's code when `ok` is false; answers `ok`.
bool Kept(bool ok) {
    if (!ok) {
        g_lastError = Win32Code(errno);
    }
    return ok;
}

/// Keeps `code` and answers false.
bool FailWith(uint32_t code) {
    g_lastError = code;
    return false;
}

PortSlot* Slot(Handle h) {
    if (h == 0 || h == kInvalidHandle) {
        return nullptr;
    }
    for (auto& slot : g_ports) {
        if (slot.fd == static_cast<int>(h)) {
            return &slot;
        }
    }
    return nullptr;
}

int Fd(Handle h) {
    const PortSlot* slot = Slot(h);
    return slot == nullptr ? -1 : slot->fd;
}

int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool ModemLine(int fd, bool on, int bits) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
        g_lastError = 0x20000000u | static_cast<uint32_t>(errno);
        return false;
    }
    return true;
}

/// A pseudo-terminal has no parity; glibc reports the dropped bit as EINVAL even though
/// everything else was applied. Accept that, and only that, on a pseudo-terminal.
bool AppliedButParity(int fd, const termios& wanted) {
    termios applied{};
    if (!sys::IsPseudoTerminal(fd) || tcgetattr(fd, &applied) != 0) {
        return false;
    }
    const tcflag_t parityBits = PARENB | PARODD | static_cast<tcflag_t>(sys::StickParityFlag());
    return (applied.c_cflag & ~parityBits) == (wanted.c_cflag & ~parityBits) &&
           cfgetospeed(&applied) == cfgetospeed(&wanted);
}

// The policy and priority in force before the driver raised the thread, put back on restore.
struct SavedScheduling {
    int policy = SCHED_OTHER;
    sched_param param{};
};
SavedScheduling g_saved;

/// Lets poll report the terminal readable only once `expected` bytes (at most 255) are
/// there: with VTIME 0 that is what VMIN means to poll. A paced reply then wakes the reader
/// about once, not once a byte; the total deadline still bounds the wait.
void WakeAfter(PortSlot& slot, uint32_t expected) {
    const auto vmin = static_cast<cc_t>(expected > 255 ? 255 : expected);
    if (!slot.tty || slot.vmin == static_cast<int>(vmin)) {
        return;
    }
    termios tio{};
    if (tcgetattr(slot.fd, &tio) != 0) {
        return;
    }
    tio.c_cc[VMIN] = vmin;
    if (tcsetattr(slot.fd, TCSANOW, &tio) == 0) {
        slot.vmin = vmin;
    }
}

/// The errors the device counted since they were last reported, which they now are. False
/// when the device keeps no counts (a pseudo-terminal) or cannot be asked.
bool ErrorsSinceLast(PortSlot& slot, sys::ErrorCounts* since) {
    sys::ErrorCounts now{};
    if (!slot.counted || !sys::ReadErrorCounts(slot.fd, &now)) {
        return false;
    }
    // Unsigned differences: right across the counters' wrap.
    *since = sys::ErrorCounts{.frame = now.frame - slot.reported.frame,
                              .brk = now.brk - slot.reported.brk,
                              .parity = now.parity - slot.reported.parity,
                              .overrun = now.overrun - slot.reported.overrun,
                              .bufferOverrun = now.bufferOverrun - slot.reported.bufferOverrun};
    slot.reported = now;
    return true;
}

/// Puts the device's own direction control in the mode the DCB asks for, when it is not there
/// already. Refused, the mode stays as it was: ERROR_INVALID_PARAMETER for a port that cannot
/// take it, as Windows' serial drivers answer for a line mode they lack.
bool ApplyRs485(const PortSlot& slot, bool wanted, bool* changed) {
    *changed = false;
    const bool enabled = slot.tty && sys::Rs485Enabled(slot.fd);
    if (enabled == wanted) {
        return true;
    }
    if (!sys::SetRs485(slot.fd, wanted)) {
        return wanted ? FailWith(kErrorInvalidParameter) : Kept(false);
    }
    *changed = true;
    return true;
}

/// The device behind the handle is gone (an unplugged adapter hangs up its tty). The handle
/// stays the driver's until it closes it, but the lock that stands in for exclusive access is
/// given up now: on Windows a vanished device does not keep its name busy either, and a
/// reopen of the returned device must not find it taken.
void Vanished(PortSlot& slot) {
    if (!slot.vanished) {
        slot.vanished = true;
        flock(slot.fd, LOCK_UN);
    }
}

/// The path a port name opens: "NUL" is the null device, a name without "/" lives in /dev.
std::string DevicePath(const char* name) {
    if (std::strcmp(name, "NUL") == 0) {
        return "/dev/null";
    }
    return std::strchr(name, '/') == nullptr ? std::string("/dev/") + name : std::string(name);
}

/// Opens `path` for exclusive use, as Windows opens a COM port with share mode 0, off
/// descriptor 0; -1 with the code kept.
int OpenExclusive(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Kept(false);
        return -1;
    }
    if (fd == 0) {
        // A handle of 0 means "no port" to the driver: move the port off descriptor 0.
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        Kept(moved >= 0);
        close(fd);
        if (moved < 0) {
            return -1;
        }
        fd = moved;
    }
    // TIOCEXCL does not bind root, so an advisory lock backs it up; /dev/null is shared by
    // everybody and stays unlocked.
    if (path != "/dev/null") {
        if (isatty(fd)) {
            ioctl(fd, TIOCEXCL);
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            g_lastError = kErrorAccessDenied; // taken: Win32's sharing refusal
            close(fd);
            return -1;
        }
    }
    return fd;
}

// The system's serial devices: the calls of kDeviceOps.
namespace device {

bool Close(Handle h) {
    PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    const int fd = slot->fd;
    slot->fd = -1;
    return Kept(close(fd) == 0);
}

bool GetCommState(Handle h, Dcb* dcb) {
    termios tio{};
    const PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    if (!Kept(tcgetattr(slot->fd, &tio) == 0)) {
        return false;
    }
    *dcb = DcbFromTermios(tio);
    if (slot->dtrControl >= 0) {
        dcb->fDtrControl = static_cast<uint8_t>(slot->dtrControl);
    }
    if (slot->rtsControl >= 0 && slot->rtsControl != kRtsToggle) {
        dcb->fRtsControl = static_cast<uint8_t>(slot->rtsControl);
    }
    // Toggle only while the device really is in that mode, whoever set it.
    if (slot->tty && sys::Rs485Enabled(slot->fd)) {
        dcb->fRtsControl = kRtsToggle;
    }
    return true;
}

bool SetCommState(Handle h, const Dcb& dcb) {
    PortSlot* slot = Slot(h);
    termios tio{};
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    if (!DcbToTermios(dcb, &tio)) {
        return FailWith(kErrorInvalidParameter);
    }
    const int fd = slot->fd;
    const bool toggle = dcb.fRtsControl == kRtsToggle;
    bool rs485Changed = false;
    if (!ApplyRs485(*slot, toggle, &rs485Changed)) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0 && !AppliedButParity(fd, tio)) {
        const bool failed = Kept(false);
        if (rs485Changed) {
            sys::SetRs485(fd, !toggle); // a failed call leaves the port as it was
        }
        return failed;
    }
    slot->vmin = tio.c_cc[VMIN];
    slot->dtrControl = dcb.fDtrControl;
    slot->rtsControl = dcb.fRtsControl;
    // The modem lines follow the DCB's line modes; a pseudo-terminal has none (ENOTTY),
    // which Win32 would not report either. In toggle mode the device drives RTS itself.
    ModemLine(fd, dcb.fDtrControl == kDtrEnable, TIOCM_DTR);
    if (dcb.fRtsControl != kRtsHandshake && !toggle) {
        ModemLine(fd, dcb.fRtsControl == kRtsEnable, TIOCM_RTS);
    }
    return true;
}

bool GetCommTimeouts(Handle h, CommTimeouts* timeouts) {
    const PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    *timeouts = slot->timeouts;
    return true;
}

bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
    PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    slot->timeouts = timeouts;
    return true;
}

bool SetupComm(Handle h, uint32_t, uint32_t) {
    return Slot(h) != nullptr || FailWith(kErrorInvalidHandle);
}

bool PendingInput(Handle h, uint32_t* inQueue) {
    *inQueue = 0;
    PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    int pending = 0;
    if (slot->vanished || !Kept(ioctl(slot->fd, FIONREAD, &pending) == 0)) {
        return slot->vanished ? FailWith(kErrorBadCommand) : false;
    }
    *inQueue = static_cast<uint32_t>(pending < 0 ? 0 : pending);
    return true;
}

bool ClearCommError(Handle h, uint32_t* errors, uint32_t* inQueue) {
    *errors = 0;
    *inQueue = 0;
    PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    if (slot->vanished) {
        return FailWith(kErrorBadCommand); // as Windows answers for an unplugged adapter
    }
    int pending = 0;
    // FIONREAD: what Linux also calls TIOCINQ, under the name every system knows.
    if (!Kept(ioctl(slot->fd, FIONREAD, &pending) == 0)) {
        return false;
    }
    *inQueue = static_cast<uint32_t>(pending < 0 ? 0 : pending);
    sys::ErrorCounts since{};
    if (ErrorsSinceLast(*slot, &since)) { // a port without counts reports none, as before
        *errors = (since.frame != 0 ? kCeFrame : 0) | (since.brk != 0 ? kCeBreak : 0) |
                  (since.parity != 0 ? kCeRxParity : 0) | (since.overrun != 0 ? kCeOverrun : 0) |
                  (since.bufferOverrun != 0 ? kCeRxOver : 0);
    }
    return true;
}

bool TakeLineErrors(Handle h, LineErrors* errors) {
    *errors = LineErrors{};
    PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    if (slot->vanished) {
        return FailWith(kErrorBadCommand);
    }
    sys::ErrorCounts since{};
    if (!ErrorsSinceLast(*slot, &since)) {
        return FailWith(kErrorNotSupported);
    }
    errors->framing = since.frame + since.brk; // a break has no stop bit either
    errors->parity = since.parity;
    errors->overrun = since.overrun + since.bufferOverrun;
    return true;
}

bool Read(Handle h, void* buffer, uint32_t count, uint32_t* read) {
    *read = 0;
    PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    const CommTimeouts& t = slot->timeouts;
    // All fields 0 waits until the buffer is full, as Win32 does.
    const bool unbounded = t.readIntervalTimeout == 0 && t.readTotalTimeoutMultiplier == 0 &&
                           t.readTotalTimeoutConstant == 0;
    const int64_t deadline =
        MonotonicNs() +
        static_cast<int64_t>(t.readTotalTimeoutConstant + t.readTotalTimeoutMultiplier * count) *
            1'000'000;
    auto* out = static_cast<uint8_t*>(buffer);
    while (*read < count) {
        const ssize_t n = ::read(slot->fd, out + *read, count - *read);
        if (n > 0) {
            *read += static_cast<uint32_t>(n);
            continue;
        }
        if (n == 0 && !slot->tty) {
            return true; // end of file, as the null device gives at once
        }
        // A terminal in raw mode with VMIN and VTIME 0 answers 0 when nothing is there.
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EIO) {
            return true; // the other side of a pseudo-terminal is gone: nothing more comes
        }
        if (n < 0 && errno != EAGAIN) {
            return Kept(false);
        }
        const int64_t left = deadline - MonotonicNs();
        if (!unbounded && left <= 0) {
            break;
        }
        WakeAfter(*slot, count - *read);
        short revents = 0;
        const int ready = sys::WaitReadable(slot->fd, unbounded ? -1 : left, &revents);
        if (ready < 0 && errno != EINTR) {
            return Kept(false);
        }
        if (ready > 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // Hung up or failed: a hung-up tty reads 0 and polls readable for ever, so
            // waiting on would spin until the deadline. No byte will come.
            Vanished(*slot);
            return FailWith(kErrorBadCommand);
        }
    }
    return true;
}

bool Write(Handle h, const void* buffer, uint32_t count, uint32_t* written) {
    *written = 0;
    PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    const int fd = slot->fd;
    const CommTimeouts& t = slot->timeouts;
    // As on Win32: a total write timeout of multiplier x count + constant, counted from the
    // call; both 0 means none. A write that runs out returns success with a short count.
    const uint64_t boundMs =
        static_cast<uint64_t>(t.writeTotalTimeoutMultiplier) * count + t.writeTotalTimeoutConstant;
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(boundMs) * 1'000'000;
    // WaitWritten is bound by the same time, counted from here.
    slot->writeDeadline = boundMs == 0 ? -1 : deadline;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    while (*written < count) {
        const ssize_t n = ::write(fd, bytes + *written, count - *written);
        if (n > 0) {
            *written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            int waitMs = -1;
            if (boundMs != 0) {
                const int64_t left = deadline - MonotonicNs();
                if (left <= 0) {
                    return true; // the write timeout ran out: a short count
                }
                // Rounded up: a wait cut short of the deadline would spin.
                waitMs = static_cast<int>((left + 999'999) / 1'000'000);
            }
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, waitMs) < 0 && errno != EINTR) {
                return Kept(false);
            }
            continue;
        }
        if (n < 0 && errno == EIO) {
            Vanished(*slot); // a hung-up tty refuses every write
        }
        return Kept(false);
    }
    return true;
}

bool WaitWritten(Handle h) {
    const PortSlot* slot = Slot(h);
    if (slot == nullptr) {
        return FailWith(kErrorInvalidHandle);
    }
    if (!slot->tty) {
        return true; // a file or the null device has taken the bytes when write returns
    }
    // tcdrain takes no time limit, and flow control or a stalled UART can hold the bytes for
    // ever. So the queue is watched up to the write's deadline, and tcdrain is left only the
    // UART's FIFO and shift register, which empty at the line's pace. Where the system cannot
    // tell (-1), the whole wait is tcdrain's.
    if (slot->writeDeadline >= 0) {
        while (sys::OutputQueued(slot->fd) > 0) {
            const int64_t left = slot->writeDeadline - MonotonicNs();
            if (left <= 0) {
                // Sent late, the bytes would run into the reply or the next request.
                tcflush(slot->fd, TCOFLUSH);
                return FailWith(kErrorSemTimeout);
            }
            // About a character's time at 9600 baud; EINTR only cuts a pause short.
            constexpr int64_t kPollNs = 1'000'000;
            const timespec pause{0, static_cast<long>(left < kPollNs ? left : kPollNs)};
            nanosleep(&pause, nullptr);
        }
    }
    while (tcdrain(slot->fd) != 0) {
        if (errno != EINTR) {
            return Kept(false);
        }
    }
    return true;
}

bool PurgeInput(Handle h) {
    const int fd = Fd(h);
    return fd < 0 ? FailWith(kErrorInvalidHandle) : Kept(tcflush(fd, TCIFLUSH) == 0);
}

bool Escape(Handle h, int function) {
    const int fd = Fd(h);
    switch (function) {
    case kSetRts:
        return ModemLine(fd, true, TIOCM_RTS);
    case kClrRts:
        return ModemLine(fd, false, TIOCM_RTS);
    case kSetDtr:
        return ModemLine(fd, true, TIOCM_DTR);
    case kClrDtr:
        return ModemLine(fd, false, TIOCM_DTR);
    default:
        return false;
    }
}

bool SetBreak(Handle h) {
    return ioctl(Fd(h), TIOCSBRK) == 0;
}

bool ClearBreak(Handle h) {
    return ioctl(Fd(h), TIOCCBRK) == 0;
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
    .reconnect = [](Handle) { return FailWith(kErrorInvalidHandle); },
    .unansweredSettings = [](Handle) { return 0u; },
    .refusedSocketOption = [](Handle, int, const char**, uint32_t*) { return false; },
};

} // namespace

// A network port's open gave it a handle of netport's range; every other handle is the system's,
// and one that is no device finds no slot.
const PortOps& OpsOf(Handle h) {
    return netport::Owns(h) ? netport::kOps : kDeviceOps;
}

Handle CreateFileA(const char* name, uint32_t connectTimeoutMs) {
    if (KindOfName(name) != PortKind::kDevice) {
        return netport::OpenByName(name, connectTimeoutMs);
    }
    PortSlot* free = nullptr;
    for (auto& slot : g_ports) {
        if (slot.fd < 0) {
            free = &slot;
            break;
        }
    }
    if (free == nullptr) {
        g_lastError = 4; // ERROR_TOO_MANY_OPEN_FILES
        return kInvalidHandle;
    }
    const int fd = OpenExclusive(DevicePath(name));
    if (fd < 0) {
        return kInvalidHandle;
    }
    free->fd = fd;
    free->tty = isatty(fd) != 0;
    free->vanished = false;
    free->vmin = -1;
    free->timeouts = CommTimeouts{};
    free->dtrControl = -1;
    free->rtsControl = -1;
    free->writeDeadline = -1;
    // The errors a port reports are those since it was opened.
    free->reported = sys::ErrorCounts{};
    free->counted = free->tty && sys::ReadErrorCounts(fd, &free->reported);
    return static_cast<Handle>(fd);
}

bool ConfirmsLineModes() {
    return true; // the RS-485 mode GetCommState reads is the one the kernel reports applied
}

// Not a port's operation but a request of the system's serial driver: a network port's handle
// finds no slot here.
bool SetLowLatency(Handle h) {
    const PortSlot* slot = Slot(h);
    if (slot == nullptr || !slot->tty) {
        return FailWith(slot == nullptr ? kErrorInvalidHandle : kErrorNotSupported);
    }
    return Kept(sys::SetLowLatency(slot->fd));
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    *frequency = 1'000'000'000;
    return true;
}

bool QueryPerformanceCounter(int64_t* count) {
    *count = MonotonicNs();
    return true;
}

int GetThreadPriority() {
    int policy = 0;
    sched_param param{};
    const int rc = pthread_getschedparam(pthread_self(), &policy, &param);
    if (rc != 0) {
        g_lastError = Win32Code(rc);
        return kThreadPriorityErrorReturn; // as Win32: the caller then leaves the thread alone
    }
    g_saved = SavedScheduling{policy, param};
    return policy == SCHED_FIFO && param.sched_priority == sched_get_priority_max(SCHED_FIFO)
               ? kThreadPriorityTimeCritical
               : 0;
}

int SetThreadPriority(int priority) {
    if (priority == kThreadPriorityTimeCritical) {
        sched_param param{};
        param.sched_priority = sched_get_priority_max(SCHED_FIFO);
        const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        if (rc != 0) {
            g_lastError = Win32Code(rc);
        }
        return rc == 0 ? 1 : 0;
    }
    const int rc = pthread_setschedparam(pthread_self(), g_saved.policy, &g_saved.param);
    if (rc != 0) {
        g_lastError = Win32Code(rc);
    }
    return rc == 0 ? 1 : 0;
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

void TimeBeginPeriod(unsigned) {}
void TimeEndPeriod(unsigned) {}

void Sleep(uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1'000'000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void Beep(uint32_t, uint32_t) {}

uint64_t ClockMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - g_loadTime)
                                     .count());
}

LocalTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    return LocalTime{local.tm_year + 1900,
                     local.tm_mon + 1,
                     local.tm_mday,
                     local.tm_hour,
                     local.tm_min,
                     local.tm_sec,
                     static_cast<int>(ts.tv_nsec / 1'000'000),
                     local.tm_isdst};
}

} // namespace merix::plat

#include "platform/port_calls.inc"
