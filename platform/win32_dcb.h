// The Win32 backend's pure conversions: between the driver's DCB fields and the system's DCB,
// and between the driver's 32-bit handle field and a HANDLE. On their own so that a test built
// for Windows can check them field by field.
#pragma once

#include "platform/platform.h"

struct _DCB; // <windows.h>'s DCB

namespace merix::plat {

/// Stores every field that the driver's DCB names into `*out`; the fields it does not name
/// keep the values that GetCommState read into `*out`, except two that a previous program may
/// have left so that Windows' SetCommState fails: equal XonChar and XoffChar become DC1 and
/// DC3 (XON/XOFF stay off, the characters only have to differ), and wReserved becomes 0.
/// False when the framing is one that Windows refuses (WindowsRefusesFraming); `*out` is then
/// filled all the same.
bool ApplyDcb(const Dcb& dcb, _DCB* out);

/// The fields of a system DCB that the driver reads.
Dcb DcbFromWin32(const _DCB& in);

/// hf is a 32-bit field of the host's record. Windows keeps kernel handles within 32 bits
/// and, for a 64-bit process, asks that a handle kept in 32 bits be widened with sign
/// extension: INVALID_HANDLE_VALUE (-1) and the pseudo-handles stay what they are.
void* HandleToWin32(Handle h);
Handle HandleFromWin32(void* h);

} // namespace merix::plat
