// What the initialisation file sets for an instance beyond the fields of its context record,
// whose layout the host fixes. ColdStart reads the file into it; it lives in the instance's
// room.
#pragma once

namespace merix {

/// The line trace: TRACE = <file>, TRACE_MAX = <MiB>; and the line capture, CAPTURE = <file>,
/// which rotates at the same size.
struct TraceSettings {
    char path[256] = {}; ///< empty: no trace
    int maxMiB = 16;
    char capturePath[256] = {}; ///< empty: no capture
};

struct InstanceSettings {
    TraceSettings trace;
    /// RS485 = ON: the port is asked to switch the line direction itself.
    bool rs485 = false;
    /// PORT = a device path of any length, tcp://HOST:PORT or rfc2217://HOST:PORT: opened in
    /// place of the host's port name. Empty: the host's name.
    char port[256] = {};
};

} // namespace merix
