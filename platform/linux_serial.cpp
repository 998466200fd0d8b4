// Linux's serial-device requests: the error counts (TIOCGICOUNT), the output still queued
// (TIOCOUTQ), the UART's own RS-485 direction control (TIOCSRS485) and low latency (TIOCSSERIAL).
// Each is guarded: where the C library or the kernel headers lack one, the answer is that of a port
// without it.
#include <sys/ioctl.h>

#include <cerrno>

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#define MERIX_HAVE_LINUX_SERIAL 1
#endif

#include "platform/posix_system.h"

namespace merix::plat::sys {

bool ReadErrorCounts(int fd, ErrorCounts* counts) {
#if defined(MERIX_HAVE_LINUX_SERIAL) && defined(TIOCGICOUNT)
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) {
        return false; // a pseudo-terminal answers ENOTTY (EINVAL on older kernels)
    }
    counts->frame = static_cast<uint32_t>(icount.frame);
    counts->brk = static_cast<uint32_t>(icount.brk);
    counts->parity = static_cast<uint32_t>(icount.parity);
    counts->overrun = static_cast<uint32_t>(icount.overrun);
    counts->bufferOverrun = static_cast<uint32_t>(icount.buf_overrun);
    return true;
#else
    (void)fd;
    (void)counts;
    errno = ENOTTY;
    return false;
#endif
}

int OutputQueued(int fd) {
#ifdef TIOCOUTQ
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
#else
    (void)fd;
    errno = ENOTTY;
    return -1;
#endif
}

#if defined(MERIX_HAVE_LINUX_SERIAL) && defined(TIOCGRS485) && defined(TIOCSRS485)

bool Rs485Enabled(int fd) {
    serial_rs485 conf{};
    return ioctl(fd, TIOCGRS485, &conf) == 0 && (conf.flags & SER_RS485_ENABLED) != 0;
}

bool SetRs485(int fd, bool on) {
    serial_rs485 conf{};
    if (ioctl(fd, TIOCGRS485, &conf) != 0) {
        return false;
    }
    if (on) {
        // RTS asserted while sending and released after it: the transceiver's driver enable.
        conf.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        conf.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    } else {
        conf.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    }
    if (ioctl(fd, TIOCSRS485, &conf) != 0) {
        return false;
    }
    // The kernel answers with what it applied: a driver without the mode may clear the flag
    // and still succeed.
    if (((conf.flags & SER_RS485_ENABLED) != 0) != on) {
        errno = EINVAL;
        return false;
    }
    return true;
}

#else

bool Rs485Enabled(int) {
    return false;
}

bool SetRs485(int, bool) {
    errno = ENOTTY;
    return false;
}

#endif

#if defined(MERIX_HAVE_LINUX_SERIAL) && defined(TIOCGSERIAL) && defined(TIOCSSERIAL) &&            \
    defined(ASYNC_LOW_LATENCY)

bool SetLowLatency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return false;
    }
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return true;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

#else

bool SetLowLatency(int) {
    errno = ENOTTY;
    return false;
}

#endif

} // namespace merix::plat::sys
