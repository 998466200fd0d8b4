#include "platform/posix_termios.h"

#include <termios.h>

#include <span>

#include "platform/posix_system.h"

namespace merix::plat {

namespace {

// The rates POSIX names, and those every system since has added below 460800 (guarded all the
// same); the system's own higher rates come from sys::ExtraSpeeds().
constexpr sys::Speed kPosixSpeeds[] = {
    {50, B50},         {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},       {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
};

/// The first entry, of the POSIX table and then the system's, that `match` accepts; null when
/// none does.
template <typename Match> const sys::Speed* FindSpeed(Match match) {
    for (const std::span<const sys::Speed> table :
         {std::span<const sys::Speed>(kPosixSpeeds), sys::ExtraSpeeds()}) {
        for (const auto& entry : table) {
            if (match(entry)) {
                return &entry;
            }
        }
    }
    return nullptr;
}

bool SpeedCode(uint32_t rate, speed_t* code) {
    const sys::Speed* entry = FindSpeed([rate](const sys::Speed& e) { return e.rate == rate; });
    if (entry == nullptr) {
        return false;
    }
    *code = static_cast<speed_t>(entry->code);
    return true;
}

uint32_t SpeedRate(speed_t code) {
    const sys::Speed* entry =
        FindSpeed([code](const sys::Speed& e) { return static_cast<speed_t>(e.code) == code; });
    return entry == nullptr ? 0 : entry->rate;
}

bool SizeFlag(uint8_t byteSize, tcflag_t* flag) {
    switch (byteSize) {
    case 5:
        *flag = CS5;
        return true;
    case 6:
        *flag = CS6;
        return true;
    case 7:
        *flag = CS7;
        return true;
    case 8:
        *flag = CS8;
        return true;
    default:
        return false;
    }
}

bool ParityFlags(uint8_t parity, tcflag_t* flags) {
    const auto stick = static_cast<tcflag_t>(sys::StickParityFlag());
    switch (parity) {
    case 0:
        *flags = 0;
        return true;
    case 1:
        *flags = PARENB | PARODD;
        return true;
    case 2:
        *flags = PARENB;
        return true;
    case 3: // mark: the "odd" sense of a stick parity bit is 1
        *flags = PARENB | stick | PARODD;
        return stick != 0;
    case 4:
        *flags = PARENB | stick;
        return stick != 0;
    default:
        return false;
    }
}

} // namespace

bool DcbToTermios(const Dcb& dcb, termios* tio) {
    speed_t speed{};
    tcflag_t size = 0;
    tcflag_t parity = 0;
    if (!SpeedCode(dcb.baudRate, &speed) || !SizeFlag(dcb.byteSize, &size) ||
        !ParityFlags(dcb.parity, &parity) || dcb.stopBits > 2) {
        return false;
    }
    termios t{};
    // Input: bytes exactly as they come. No CR/LF translation, case folding, stripping,
    // break or parity marks, and above all no XON/XOFF unless the DCB asks for it: a port left
    // with IXOFF would put XOFF and XON bytes on the bus.
    t.c_iflag = 0;
    // Parity checking, as the DCB's fParity asks, wherever there is a parity bit to check. A
    // byte with a parity or framing error then reads as one NUL: neither dropped (IGNPAR) nor
    // preceded by 0xFF 0x00 (PARMRK), so that the frame keeps its length and fails its CRC.
    if (dcb.fParity && dcb.parity != 0) {
        t.c_iflag |= INPCK;
    }
    if (dcb.fOutX) {
        t.c_iflag |= IXON;
    }
    if (dcb.fInX) {
        t.c_iflag |= IXOFF;
    }
    t.c_oflag = 0; // frames go out byte for byte
    t.c_lflag = 0; // no line editing, echo or signals
    // CLOCAL: DTR and RTS are the driver's direction control, and no carrier is expected.
    // HUPCL drops the modem lines when the port is closed, as Windows does.
    t.c_cflag = CREAD | CLOCAL | HUPCL | size | parity;
    if (dcb.stopBits != 0) {
        t.c_cflag |= CSTOPB; // a terminal has no one and a half stop bits: taken as two
    }
    if (dcb.fRtsControl == kRtsHandshake || dcb.fOutxCtsFlow) {
        t.c_cflag |= CRTSCTS;
    }
    t.c_cc[VSTART] = 0x11; // the DCB's XonChar and XoffChar defaults, used only with IXON/IXOFF
    t.c_cc[VSTOP] = 0x13;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) {
        return false;
    }
    *tio = t;
    return true;
}

Dcb DcbFromTermios(const termios& tio) {
    Dcb dcb;
    dcb.baudRate = SpeedRate(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        dcb.byteSize = 5;
        break;
    case CS6:
        dcb.byteSize = 6;
        break;
    case CS7:
        dcb.byteSize = 7;
        break;
    default:
        dcb.byteSize = 8;
        break;
    }
    if ((tio.c_cflag & PARENB) != 0) {
        const bool odd = (tio.c_cflag & PARODD) != 0;
        const auto stick = static_cast<tcflag_t>(sys::StickParityFlag());
        if ((tio.c_cflag & stick) != 0) {
            dcb.parity = odd ? 3 : 4;
        } else {
            dcb.parity = odd ? 1 : 2;
        }
    }
    dcb.stopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
    dcb.fParity = (tio.c_iflag & INPCK) != 0;
    dcb.fOutX = (tio.c_iflag & IXON) != 0;
    dcb.fInX = (tio.c_iflag & IXOFF) != 0;
    dcb.fRtsControl = (tio.c_cflag & CRTSCTS) != 0 ? kRtsHandshake : kRtsEnable;
    dcb.fDtrControl = kDtrEnable;
    return dcb;
}

bool SetTermiosSpeed(uint32_t rate, termios* tio) {
    speed_t code{};
    termios t = *tio;
    if (!SpeedCode(rate, &code) || cfsetispeed(&t, code) != 0 || cfsetospeed(&t, code) != 0) {
        return false;
    }
    *tio = t;
    return true;
}

} // namespace merix::plat
