// The Win32 backend's conversion between the driver's DCB fields and the system's DCB, on its
// own so that a test built for Windows can check it field by field.
#pragma once

#include "platform/platform.h"

struct _DCB; // <windows.h>'s DCB

namespace merix::plat {

/// Stores every field that the driver's DCB names into `*out`; the fields it does not name
/// keep the values that GetCommState read into `*out`.
void ApplyDcb(const Dcb& dcb, _DCB* out);

/// The fields of a system DCB that the driver reads.
Dcb DcbFromWin32(const _DCB& in);

} // namespace merix::plat
