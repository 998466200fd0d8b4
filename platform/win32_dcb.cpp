#include "platform/win32_dcb.h"

#include <windows.h>

#include <cstdint>

namespace merix::plat {

namespace {

constexpr char kXon = 0x11;  // DC1
constexpr char kXoff = 0x13; // DC3

// The line modes go into the DCB as they are: the driver's codes are Windows' own.
static_assert(kDtrDisable == DTR_CONTROL_DISABLE && kDtrEnable == DTR_CONTROL_ENABLE &&
              kDtrHandshake == DTR_CONTROL_HANDSHAKE);
static_assert(kRtsDisable == RTS_CONTROL_DISABLE && kRtsEnable == RTS_CONTROL_ENABLE &&
              kRtsHandshake == RTS_CONTROL_HANDSHAKE && kRtsToggle == RTS_CONTROL_TOGGLE);

} // namespace

bool ApplyDcb(const Dcb& dcb, DCB* out) {
    out->BaudRate = dcb.baudRate;
    out->fBinary = dcb.fBinary;
    out->fParity = dcb.fParity;
    out->fOutxCtsFlow = dcb.fOutxCtsFlow;
    out->fOutxDsrFlow = dcb.fOutxDsrFlow;
    out->fDtrControl = dcb.fDtrControl;
    out->fDsrSensitivity = dcb.fDsrSensitivity;
    out->fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    out->fOutX = dcb.fOutX;
    out->fInX = dcb.fInX;
    out->fErrorChar = dcb.fErrorChar;
    out->fNull = dcb.fNull;
    out->fRtsControl = dcb.fRtsControl;
    out->fAbortOnError = dcb.fAbortOnError;
    // The codes are the system's own: ByteSize in bits, Parity NOPARITY..SPACEPARITY (0..4),
    // StopBits ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS (0..2).
    out->ByteSize = dcb.byteSize;
    out->Parity = dcb.parity;
    out->StopBits = dcb.stopBits;
    out->ErrorChar = static_cast<char>(dcb.errorChar);
    // Left by an earlier program, these make SetCommState fail (ERROR_INVALID_PARAMETER).
    if (out->XonChar == out->XoffChar) {
        out->XonChar = kXon;
        out->XoffChar = kXoff;
    }
    out->wReserved = 0;
    return !WindowsRefusesFraming(dcb.byteSize, dcb.stopBits);
}

Dcb DcbFromWin32(const DCB& in) {
    Dcb dcb;
    dcb.baudRate = in.BaudRate;
    dcb.fBinary = in.fBinary != 0;
    dcb.fParity = in.fParity != 0;
    dcb.fOutxCtsFlow = in.fOutxCtsFlow != 0;
    dcb.fOutxDsrFlow = in.fOutxDsrFlow != 0;
    dcb.fDtrControl = static_cast<uint8_t>(in.fDtrControl);
    dcb.fDsrSensitivity = in.fDsrSensitivity != 0;
    dcb.fTXContinueOnXoff = in.fTXContinueOnXoff != 0;
    dcb.fOutX = in.fOutX != 0;
    dcb.fInX = in.fInX != 0;
    dcb.fErrorChar = in.fErrorChar != 0;
    dcb.fNull = in.fNull != 0;
    dcb.fRtsControl = static_cast<uint8_t>(in.fRtsControl);
    dcb.fAbortOnError = in.fAbortOnError != 0;
    dcb.byteSize = in.ByteSize;
    dcb.parity = in.Parity;
    dcb.stopBits = in.StopBits;
    dcb.errorChar = static_cast<uint8_t>(in.ErrorChar);
    return dcb;
}

void* HandleToWin32(Handle h) {
    // Through a signed 32-bit value: on 64 bits 0xFFFFFFFF becomes INVALID_HANDLE_VALUE.
    return reinterpret_cast<void*>(static_cast<intptr_t>(static_cast<int32_t>(h)));
}

Handle HandleFromWin32(void* h) {
    return static_cast<Handle>(reinterpret_cast<uintptr_t>(h));
}

} // namespace merix::plat
